#!/usr/bin/python3
"""One case, two worlds: the tool's arguments and a machine file, run by fenwrack-sim and by the
shipped Fenwrack.exe on Wine, and what both worlds can observe compared field by field.
See tests/e2e/README.md."""

import argparse
import concurrent.futures
from functools import reduce
import itertools
import json
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import machines as m  # noqa: E402
import wine_world as w  # noqa: E402

SOURCE = Path(__file__).resolve().parents[2]
RECORDED = ("cmd.exe", "msiexec.exe", "regedit.exe")
CASE_KEYS = {"about", "args", "machine", "expect", "checks"}
SS_ICON = 0x3
WS_CAPTION, WS_POPUP, WS_VISIBLE, WS_EX_TOOLWINDOW = 0x00C00000, 0x80000000, 0x10000000, 0x80


class Refused(Exception):
    """The case cannot be made into a Wine prefix or run; its message names the place."""


def wineboot_args(flags):
    """The wineboot command line that Wine's ExitWindowsEx makes of the flags."""
    args = ["--kill"] if flags & 4 else ["--end-session"] + (["--force"] if flags & 16 else [])
    return " ".join(args + ([] if flags & 2 else ["--shutdown"]))


def run_sim(config, case, folder):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "machine.json").write_text(json.dumps(case["machine"], indent=1))
    done = subprocess.run([config.sim, "--machine", folder / "machine.json", "--trace",
                           folder / "trace.jsonl", "--dump-machine", folder / "after.json", "--",
                           *case["args"]], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode == 2 or not (folder / "after.json").is_file():
        raise Refused("fenwrack-sim: " + done.stderr.decode().strip())
    events = [json.loads(line) for line in (folder / "trace.jsonl").read_text().splitlines()]
    return events, json.loads((folder / "after.json").read_text())


def first_text(events):
    """What the status window shows when shown, before its first tick."""
    return next((e["text"] for e in events if e["event"] == "status_window"), None)


def observe_sim(machine, events, dump):
    """The simulated run in the comparison's terms; actions grouped by their virtual time."""
    keys, window_keys = m.process_keys(machine), m.window_keys(machine)
    by_pid = dict(zip(m.pids(machine), keys))
    by_hwnd = dict(enumerate((w for ws in window_keys for w in ws), 1))
    obs = {"processes": {key: "running" for key in keys},
           "close_requests": {w: 0 for ws in window_keys for w in ws},
           "status_window": None, "usage_box": None}
    groups, seconds = {}, 0
    for e in events:
        kind, action = e["event"], None
        if kind == "post_message" and e["message"] == "WM_CLOSE" and e["ok"]:
            window = by_hwnd.get(e["hwnd"], "started/" + e["title"])
            obs["close_requests"][window] = obs["close_requests"].get(window, 0) + 1
            action = "close " + window
        elif kind == "terminate_process" and e["ok"] and e["pid"] in by_pid:
            obs["processes"][by_pid[e["pid"]]] = "terminated %d" % e["exit_code"]
            action = "terminate %s %d" % (by_pid[e["pid"]], e["exit_code"])
        elif kind == "process_exit" and e["pid"] in by_pid:
            obs["processes"][by_pid[e["pid"]]] = "ended"
        elif kind == "create_process" and e["ok"]:
            program = e["application"] or e["command_line"].strip().strip('"').split('"')[0]
            name = program.replace("/", "\\").split("\\")[-1].lower()
            action = "run %s %s" % (name, e["command_line"]) if name in RECORDED else None
        elif kind == "process_start":
            action = "start " + e["name"]
        elif kind == "exit_windows" and e["accepted"]:
            action = "request " + wineboot_args(e["flags"])
            flags = e["flags"]
        elif kind == "status_window":
            obs["status_window"] = {k: e[k] for k in ("x", "y", "width", "height", "topmost")}
        elif kind == "status_text" and obs["status_window"] is not None:
            obs["status_window"].setdefault("text", e["text"])
        elif kind == "message_box" and obs["usage_box"] is None:
            obs["usage_box"] = {"caption": e["caption"], "text": e["text"]}
        elif kind == "end":
            obs["end"] = ("exit %d" % e["code"] if e["how"] == "exit" else "stuck"
                          if e["how"] == "stuck" else "%s %s" % (e["how"], wineboot_args(flags)))
            seconds = e["t"] / 1000 if e["how"] != "stuck" else seconds + 10
            continue
        seconds = e["t"] / 1000
        if action:
            groups.setdefault(e["t"], []).append(action)
    order = [sorted(group) for _, group in sorted(groups.items())]
    obs["started"] = sorted(a for g in order for a in g if a.startswith(("run", "start")))
    obs["before"], obs["after"] = m.projection(machine), m.projection(dump)
    return obs, order, seconds


def collapse(groups):
    """Consecutive equal groups as one line with a count."""
    runs = [(text, len(list(same))) for text, same in itertools.groupby(map("; ".join, groups))]
    return [text if n == 1 else "%s (%d times)" % (text, n) for text, n in runs]


def chunk(flat, groups):
    """Wine's actions, cut into the simulator's groups: within a group the order is free."""
    out, at = [], 0
    for group in groups:
        out.append(sorted(flat[at:at + len(group)]))
        at += len(group)
    return out + ([sorted(flat[at:])] if at < len(flat) else [])


def differences(sim, wine, prefix="", names=("sim: ", "wine:")):
    if isinstance(sim, dict) and isinstance(wine, dict):
        return [d for key in sorted(set(sim) | set(wine), key=str) for d in differences(
            sim.get(key), wine.get(key), "%s/%s" % (prefix, key), names)]
    return [] if sim == wine else ["  %s\n    %s %s\n    %s %s" % (
        prefix, names[0], json.dumps(sim), names[1], json.dumps(wine))]


def unmet(expect, obs, world):
    out = []
    for key, wanted in expect.items():
        for sub, value in (wanted.items() if isinstance(wanted, dict) else [(None, wanted)]):
            got = obs.get(key) if sub is None else (obs.get(key) or {}).get(sub)
            if got != value:
                out.append("  expected %s%s = %s, %s has %s" % (
                    key, "" if sub is None else "/" + sub, json.dumps(value), world,
                    json.dumps(got)))
    return out


def check_usage_box(prefix, found, lines):
    children = found.get("box", {"children": []})["children"]
    buttons = [c["text"] for c in children if c["class"].lower() == "button"]
    icons = [c for c in children if c["class"] == "Static" and c["style"] & 0x1F == SS_ICON]
    if buttons != ["OK"] or len(icons) != 1:
        return "usage_box: buttons %r and %d icons, expected only OK and one icon" % (
            buttons, len(icons))


def check_status_window_style(prefix, found, lines):
    window = found.get("status")
    if not window:
        return "status_window_style: no status window"
    if window["style"] & WS_CAPTION == WS_CAPTION or window["title"] or not window["style"] & \
            WS_POPUP or not window["style"] & WS_VISIBLE or not window["exstyle"] & WS_EX_TOOLWINDOW:
        return "status_window_style: style %#x, exstyle %#x: expected a visible pop-up tool " \
               "window without caption" % (window["style"], window["exstyle"])


def check_status_window_key(prefix, found, lines):
    """The key closes the status window while the tool still runs."""
    after = lines[lines.index("key"):] if "key" in lines else []
    gone = "gone " + found.get("status", {"hwnd": "?"})["hwnd"]
    if gone not in after or "exit tool 0" in after[:after.index(gone)]:
        return "status_window_key: the status window did not close on the key"


def check_session_end(prefix, found, lines):
    """Wine's own power-off ends the session: the status window must not object."""
    w.run(["wine", "wineboot", "--end-session", "--shutdown"], prefix.env, 60, prefix.log,
          check=False)
    for _ in range(300):
        if "exit tool" in prefix.path(w.EVENTS).read_text():
            return None
        time.sleep(0.1)
    return "session_end: Fenwrack.exe still runs after the session ended"


CHECKS = {"usage_box": check_usage_box, "status_window_style": check_status_window_style,
          "status_window_key": check_status_window_key, "session_end": check_session_end}


def check(config, folder, observed):
    """What a maintainer runs after the real run: the dry run's machine against the capture."""
    (folder / "observed.json").write_text(json.dumps(observed, indent=1))
    done = subprocess.run([config.sim, "--check", folder / "sim/after.json", folder /
                           "observed.json"], capture_output=True, text=True)
    return [] if done.returncode == 0 else ["check: " + (done.stdout + done.stderr).strip()]


def load_case(path):
    try:
        case = json.loads(Path(path).read_text())
    except (OSError, ValueError) as error:
        raise Refused("%s: %s" % (path, error))
    if not isinstance(case, dict) or set(case) - CASE_KEYS or not isinstance(
            case.get("args"), list) or not isinstance(case.get("machine"), dict):
        raise Refused('%s: a case is {"args": [...], "machine": {...}}, optionally with "expect",'
                      ' "checks" and "about"' % path)
    unknown = [c for c in case.get("checks", []) if c not in CHECKS and c[:11] != "screenshot:"]
    if unknown:
        raise Refused("%s: /checks: unknown %s (known: %s, screenshot:NAME)" % (
            path, unknown[0], ", ".join(CHECKS)))
    return case


def run_case(config, name, case):
    """Runs one case in both worlds; returns its exit code and its report."""
    started = time.monotonic()
    refused = m.refusal(case["machine"])
    if refused:
        return 2, "REFUSED %s: /machine%s\n" % (name, refused)
    folder = Path(config.work) / "cases" / name
    events, dump = run_sim(config, case, folder / "sim")
    sim, groups, seconds = observe_sim(case["machine"], events, dump)
    predicted = {"seconds": seconds, "status_text": (sim["status_window"] or {}).get("text"),
                 "box_caption": (sim["usage_box"] or {}).get("caption"),
                 "started": len(sim["started"])}
    checks = case.get("checks", [])
    shots = [c.split(":", 1)[1] for c in checks if c.startswith("screenshot:")]
    with w.Prefix(config.work, name, config.windows_dir, shots) as prefix:
        prefix.shots = Path(config.shots)
        prefix.materialize(case["machine"], case["args"])
        lines, end, found, times = prefix.run_tool(case, predicted, shots)
        wine, flat = prefix.observe(case["machine"], lines, end, found)
        failed = (CHECKS[c](prefix, found, lines) for c in checks if c in CHECKS)
        failures = [f for f in failed if f]
    if not sim["end"].startswith(("power-off", "reboot")):
        failures += check(config, folder, prefix.after)
    if sim["status_window"] and "text" not in sim["status_window"]:
        # Ended before the first tick: on Wine the window and its text race the session's end.
        sim["status_window"] = wine["status_window"] = None
    elif sim["end"].startswith(("power-off", "reboot")) and wine["status_window"] and \
            wine["status_window"]["text"] == first_text(events):
        # Under load, Wine's first tick or the last look at the window may come after the request.
        wine["status_window"]["text"] = sim["status_window"]["text"]
    sim["order"], wine["order"] = collapse(groups), collapse(chunk(flat, groups))
    for when in ("before", "after"):
        wine[when] = m.comparable(sim[when], wine[when])
    if sim["end"].startswith(("power-off", "reboot")):
        # Which ends every process in the simulator; on Wine the recorder of the request does not.
        del sim["after"]["processes"], wine["after"]["processes"]
    diffs = differences(sim, wine)
    failures += [f for world, obs in (("sim", sim), ("wine", wine))
                 for f in unmet(case.get("expect", {}), obs, world)]
    for shot in shots if config.docs else []:
        Path(config.docs).mkdir(parents=True, exist_ok=True)
        shutil.copy2(Path(config.shots) / (shot + ".png"), config.docs)
    ran = times.get("end", times.get("request", time.monotonic())) - times.get("start", started)
    report = ["%s %s in %.1f s: %s; Fenwrack.exe ran %.1f s on Wine, %.1f s virtual" % (
        "FAILED" if diffs or failures else "PASSED", name, time.monotonic() - started,
        wine["end"], ran, seconds)] + ([" the worlds disagree:"] + diffs if diffs else [])
    report += [" sim:  %s\n wine: %s" % (json.dumps(sim, indent=1), json.dumps(wine))] \
        if config.show else []
    return (1 if diffs or failures else 0), "\n".join(report + [" " + f for f in failures]) + "\n"


def run_guarded(config, name, case):
    try:
        return run_case(config, name, case)
    except Refused as error:
        return 2, "REFUSED %s: %s\n" % (name, error)
    except w.SetupError as error:
        return 1, "FAILED %s: cannot run: %s\n" % (name, error)


def run_many(config, named, jobs):
    codes = []
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for (name, case), (code, report) in zip(named, pool.map(
                lambda item: run_guarded(config, *item), named)):
            print(report, end="", flush=True)
            if code and name.startswith("random-"):
                print(" the machine:\n" + json.dumps(case, indent=1))
            codes.append(code)
    print("%d of %d agree" % (codes.count(0), len(codes)))
    return max(codes, default=0)


def read_only(config):
    """Captures change nothing that the suite observes, and read the title of a window whose
    thread never reads a message."""
    machine = load_case(SOURCE / "tests/cases/restart_hung_server.json")["machine"]
    machine["processes"][0]["on_close"] = "hung"
    machine.update(products=[{"code": m.PLACEHOLDER}], registry=[
        {"key": m.POLICY_KEY, "name": "WriteProtect", "type": "REG_DWORD", "data": 0}])
    with w.Prefix(config.work, "capture_read_only", config.windows_dir) as prefix:
        seen = [{"events": prefix.stand_ins_up(machine), "files": prefix.files()}]
        env = dict(prefix.env, **machine["environment"])
        captures = [prefix.capture("capture%d" % n, env) for n in (1, 2)]
        seen.append({"events": prefix.path(w.EVENTS).read_text(), "files": prefix.files()})
    want = m.projection(machine)
    diffs = [d for c in captures for d in differences(want, m.comparable(want, m.projection(
        w.without(c, prefix.baseline))), names=("machine:", "capture:"))]
    diffs += differences(*seen, names=("before:", "after: "))
    print("\n".join(["FAILED capture_read_only:"] + diffs) if diffs else "PASSED capture_read_only")
    return 1 if diffs else 0


def capture(config):
    """The part of a machine file that Wine can be given, made into a prefix with its processes
    running, and fenwrack-capture.exe's file of it, written to WORK/captured.json."""
    machine = json.loads(Path(config.target).read_text())
    while refused := m.refusal(machine):
        print("left out: " + refused, file=sys.stderr)
        pointer = refused.split(":")[0].split("/")[1:]
        *parents, last = [int(k) if k.isdigit() else k for k in pointer]
        reduce(lambda node, key: node[key], parents, machine).pop(last)
    if not (Path(config.work) / "template" / "ready").is_file():
        w.Template(config.work).create()
    with w.Prefix(config.work, "capture", config.windows_dir) as prefix:
        prefix.stand_ins_up(machine)
        prefix.capture("captured", dict(prefix.env, **machine.get("environment", {})))
        shutil.copy2(prefix.path(r"C:\e2e\captured.json"), config.work)
    print(Path(config.work, "captured.json").resolve())
    return 0


def round_trip(config, name, machine):
    """The machine through the simulated capture and the capture through it again: a report
    unless both come back as they went in."""
    def sim(source, *args):
        done = subprocess.run([config.sim, "--machine", "-", *args], capture_output=True,
                              input=json.dumps(source).encode(), timeout=120)
        if done.returncode:
            raise Refused("fenwrack-sim %s: %d, %s" % (" ".join(args), done.returncode,
                                                      done.stderr.decode().strip().split("\n")[-1]))
        return args[0] == "--capture" and json.loads(done.stdout)
    try:
        first = sim(machine, "--capture")
        sim(first, "/?")
        once, again = m.projection(first), m.projection(sim(first, "--capture"))
    except Refused as error:
        return "FAILED %s: %s\n" % (name, error)
    want = m.projection(machine)
    diffs = [" " + e.message for e in config.schema.iter_errors(first)] + differences(
        want, m.comparable(want, once), names=("machine:", "capture:")) + differences(
        once, again, names=("capture:", "again:  "))
    return diffs and "FAILED %s:\n%s\n" % (name, "\n".join(diffs))


def round_trips(config):
    import jsonschema
    schema = json.loads((SOURCE / "machine_file/machine-file.schema.json").read_text())
    config.schema = jsonschema.validators.validator_for(schema)(schema)
    named = [(p.name, json.loads(p.read_text())) for p in sorted(SOURCE.glob("examples/*.json"))]
    named += [(p.name, load_case(p)["machine"]) for p in sorted(SOURCE.glob("tests/cases/*.json"))]
    named += [("random seed %d" % seed, m.sim_machine(seed)) for seed in
              range(config.seed, config.seed + config.count)]
    with concurrent.futures.ThreadPoolExecutor(config.jobs) as pool:
        failed = [r for r in pool.map(lambda item: round_trip(config, *item), named) if r]
    print("".join(failed) + "%d of %d machines come back from their capture" % (
        len(named) - len(failed), len(named)))
    return 1 if failed else 0


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `| head` ends the report quietly
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("command", choices=["run", "run-all", "random", "prefix", "clean",
                                            "round-trip", "read-only", "capture"])
    parser.add_argument("target", nargs="?")
    parser.add_argument("--work", help="the Wine side's folder (all but round-trip)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("-j", "--jobs", type=int, default=1)
    parser.add_argument("--sim", default=SOURCE / "build/native/fenwrack-sim/fenwrack-sim")
    parser.add_argument("--windows-dir", default=SOURCE / "build/windows")
    parser.add_argument("--shots", help="where screenshots go (default WORK/screenshots)")
    parser.add_argument("--docs", help="also copy the screenshots here")
    parser.add_argument("--show", action="store_true", help="print both worlds' observations")
    config = parser.parse_args()
    if config.command == "round-trip":
        return round_trips(config)
    if not config.work:
        parser.error("--work is required")
    config.work = Path(config.work).resolve()  # Wine takes only an absolute prefix
    config.shots = config.shots or Path(config.work) / "screenshots"
    actions = {"prefix": lambda c: w.Template(c.work).create(), "read-only": read_only,
               "clean": lambda c: w.Template(c.work).remove(), "capture": capture}
    if config.command in actions:
        try:
            return actions[config.command](config)
        except w.SetupError as error:
            print("%s failed: %s" % (config.command, error))
            return 1
    if config.command == "random":
        return run_many(config, [("random-%d" % seed, m.random_machine(seed)) for seed in
                                 range(config.seed, config.seed + config.count)], config.jobs)
    paths = [Path(config.target)] if config.command == "run" else sorted(
        Path(config.target).glob("*.json"))
    try:
        named = [(path.stem, load_case(path)) for path in paths]
    except Refused as error:
        print("REFUSED: %s" % error)
        return 2
    return run_many(config, named, config.jobs)


if __name__ == "__main__":
    sys.exit(main())
