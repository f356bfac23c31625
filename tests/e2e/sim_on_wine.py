#!/usr/bin/python3
"""fenwrack-sim.exe on Wine against the Linux build: every example, case file and random machine,
each output of each mode, byte for byte. See tests/e2e/README.md."""

import argparse
import concurrent.futures
import contextlib
import json
import os
import pty
import shutil
import subprocess
import sys
import termios
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import machines as m  # noqa: E402
import wine_world as w  # noqa: E402

SOURCE = Path(__file__).resolve().parents[2]
SWITCHES = [["/terminate"], ["/restart"], ["/shutdown"], ["/deinstall"], ["/checkUSB"], ["/?"]]
OUTPUTS = ["trace.jsonl", "after.json", "run.svg", "x"]
CODES, PRODUCTS = "../../in/products.codes.txt", "../../in/example-products-installed.json"
# Names with control characters, U+0085 and what XML cannot hold: escaped alike on a console.
ROOT = "C:\\K\x1b[2J\x85"
CONTROLS = {"environment": {"Kestrix_SYSTEM_ROOT": ROOT}, "files": [
    {"path": "C:\\WINNT\\system32\\cmd.exe"}, {"path": ROOT + "\\log", "directory": True},
    {"path": ROOT + "\\bin\\StartUpFW.bat", "starts": ["\x07\uffff\ufffe\n.exe"]}],
    "processes": [{"pid": 1204, "name": "Halvmark.exe", "on_close": "ignore"}],
    "products": [{"code": "{\x1b}"}]}


def machine_runs(name, args):
    """One machine's commands, in the order they run in one folder: a run with every output, the
    check of what it left, the capture (its machine from standard input)."""
    path = "../../in/%s.json" % name
    return [["--machine", path, "--trace", "trace.jsonl", "--dump-machine", "after.json", "--svg",
             "run.svg", "--require-achieved", "--", *args], ["--check", path, "after.json"],
            (["--machine", "-", "--capture"], "in/%s.json" % name)]


def inputs(count):
    """Machines by name, each with the tool's command lines to run on it: the examples with every
    switch, the cases and the random machines with their own."""
    return {**{"example-" + p.stem: (json.loads(p.read_text()), SWITCHES)
               for p in sorted(SOURCE.glob("examples/*.json"))},
            **{"case-" + p.stem: (case["machine"], [case["args"]]) for p in sorted(SOURCE.glob(
                "tests/cases/**/*.json")) for case in [json.loads(p.read_text())]},
            **{"random-%d" % seed: (m.sim_machine(seed), [m.random_machine(seed)["args"]])
               for seed in range(1, count + 1)},
            "controls": (CONTROLS, [["/restart"], ["/deinstall"]])}


def global_runs():
    """What no single machine shows: the fleets, the other table, the other options and errors."""
    fleets = enumerate((o, a) for o in ("--fleet", "--fleet-json") for a in SWITCHES)
    return dict(
        {"fleet%d" % i: [[option, "../../in", *args]] for i, (option, args) in fleets},
        version=[["--version"], ["--product-codes", CODES, "--version"]], help=[["--help"]],
        table=[["--product-codes", CODES, "--machine", PRODUCTS, "--trace", "-", "/deinstall"]],
        stdout=[["--machine", PRODUCTS, o, "-", "/deinstall"] for o in ("--dump-machine", "--svg")],
        demo=[["/restart"], ["--capture", "--firmware", "hangs"]],
        errors=[e.split() for e in (
            "--machine ../../in/none.json", "--machine ../../in", "--machine ../../in/bad.json",
            "--product-codes ../../in/bad.codes.txt", "--product-codes ../../in /deinstall",
            "--fast", "--trace", "--trace x --dump-machine ./x", "--trace - --svg -",
            "--trace none/x.jsonl", "--check a", "--check ../../in/bad.json x",
            "--fleet ../../in/none", "--machine ../../in/near-misses.json /?",
            "--machine ../../in/own.machine --dump-machine ./../../in/own.machine /?",
            "--product-codes " + CODES + " --trace ./" + CODES + " /?")])


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def write_inputs(folder, named):
    fresh(folder)
    for name, (machine, _) in named.items():
        (folder / (name + ".json")).write_text(json.dumps(machine, indent=1, ensure_ascii=False))
    shutil.copy2(SOURCE / "examples/products-installed.codes.txt", folder / "products.codes.txt")
    (folder / "bad.json").write_text('{"processes": [{"name": "a.exe", "on_close": 5}]}\n')
    (folder / "bad.codes.txt").write_text("# a table\n{XYZ}\n")
    (folder / "own.machine").write_text("{}")  # no fleet's: an output may not overwrite it
    # A UTF-8 title of two-byte letters: on a console it shows as itself, or as mojibake.
    (folder / "near-misses.json").write_text(json.dumps({"processes": [
        {"name": "Talvora", "windows": ["Talvora", "Pelmo \u2013 Gr\u00f6\u00dfe"]}], "products": [
        {"code": "{11111111-2222-3333-4444-555555555555}", "name": "Pr\u00fcfger\u00e4t"}]},
        ensure_ascii=False))


class Worlds:
    def __init__(self, config, prefix):
        self.config, self.prefix, self.exe = config, prefix, prefix.tool.parent / "fenwrack-sim.exe"
        self.reruns = []  # the jobs whose Wine run gave no output at all, run again

    def run(self, world, args, cwd, stdin=None):
        program = [self.config.sim] if world == "linux" else ["wine", str(self.exe)]
        with open(self.config.work / stdin if stdin else os.devnull, "rb") as source:
            done = subprocess.run(program + args, cwd=cwd, stdin=source, capture_output=True,
                                  env=self.prefix.env if world == "wine" else None, timeout=300)
        return dict({n: (cwd / n).read_bytes() for n in OUTPUTS if (cwd / n).is_file()},
                    status=b"%d" % done.returncode, stdout=done.stdout, stderr=done.stderr)

    def compare(self, name, commands):
        """The report of the first command whose worlds differ, or None."""
        folders = {world: fresh(self.config.work / world / name) for world in ("linux", "wine")}
        for command in commands:
            args, stdin = command if isinstance(command, tuple) else (command, None)
            linux, wine = [self.run(world, args, folders[world], stdin) for world in folders]
            if linux["stdout"] + linux["stderr"] and not wine["stdout"] + wine["stderr"]:
                # Under load Wine has, once in about 400 runs, lost all a program wrote.
                self.reruns.append(name)
                wine = self.run("wine", args, folders["wine"], stdin)
            diffs = ["  %s:\n    linux: %r\n    wine:  %r" % (key, linux.get(key, b"")[:600],
                                                          wine.get(key, b"")[:600])
                     for key in sorted(set(linux) | set(wine)) if linux.get(key) != wine.get(key)]
            if diffs:
                return "FAILED %s: fenwrack-sim %s\n%s" % (name, " ".join(args), "\n".join(diffs))
        for folder in folders.values():
            shutil.rmtree(folder)


def console(worlds):
    """In a console the timeline and the warnings read as text: Wine's console on a terminal
    shows what the program wrote with the console's own calls as UTF-8."""
    pid, fd = pty.fork()
    if pid == 0:
        termios.tcsetwinsize(0, (50, 300))  # wide enough that no line wraps
        os.chdir(worlds.config.work / "in")
        os.execvpe("wine", ["wine", str(worlds.exe), "--machine", "near-misses.json",
                            "/deinstall"], dict(worlds.prefix.env, TERM="dumb"))
    seen = b""
    with contextlib.suppress(OSError):  # EIO once the program has ended
        while data := os.read(fd, 65536):
            seen += data
    os.waitpid(pid, 0)
    text = seen.decode("utf-8", "replace")
    missing = [word for word in ("Gr\u00f6\u00dfe", "Pr\u00fcfger\u00e4t") if word not in text]
    return missing and "FAILED console: %s not shown:\n%r" % (missing, seen[-400:])


def paths(worlds):
    """A machine, a product-code table and the outputs under names with blanks and non-ASCII
    letters, as forward slashes, and past the length that needs \\\\?\\, give the Linux bytes."""
    top = fresh(worlds.config.work / "paths")
    deep = top / "Pr\u00fcf stand" / ("\u00e4" * 60) / ("b" * 120) / ("c" * 60)
    deep.mkdir(parents=True)
    shutil.copy2(worlds.config.work / "in/example-products-installed.json", deep / "m a.json")
    shutil.copy2(worlds.config.work / "in/products.codes.txt", deep / "c.txt")
    windows = "Z:" + str(deep).replace("/", "\\")
    assert len(windows) > 260
    wine = worlds.run("wine", ["--product-codes", "Z:%s/c.txt" % deep, "--machine",
                               "Z:%s/m a.json" % deep, "--trace", "\\\\?\\" + windows + "\\t.jsonl",
                               "--dump-machine", windows + "\\d.json", "/deinstall"], top)
    linux = worlds.run("linux", ["--product-codes", CODES, "--machine", PRODUCTS, "--trace",
                                 OUTPUTS[0], "--dump-machine", OUTPUTS[1], "/deinstall"],
                       fresh(worlds.config.work / "linux" / "paths"))
    got = [(deep / n).read_bytes() if (deep / n).is_file() else None for n in ("t.jsonl", "d.json")]
    if wine["status"] != b"0" or got != [linux[OUTPUTS[0]], linux[OUTPUTS[1]]]:
        return "FAILED paths: status %s, %r" % (wine["status"].decode(), wine["stderr"][-300:])


def same_name_in_other_case(worlds):
    """Where the builds part, as machine_file/MACHINE-FILE.md says: Windows names files without regard to
    case, so two outputs whose names differ in case only are one file there."""
    seen = {world: worlds.run(world, ["--trace", "T.jsonl", "--svg", "t.jsonl", "/?"], fresh(
        worlds.config.work / world / "case"))["status"] for world in ("linux", "wine")}
    return seen != {"linux": b"0", "wine": b"2"} and "FAILED case: statuses %r" % seen


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--sim", default=SOURCE / "build/native/fenwrack-sim/fenwrack-sim")
    parser.add_argument("--windows-dir", default=SOURCE / "build/windows")
    parser.add_argument("--count", type=int, default=200, help="random machines")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    config = parser.parse_args()
    config.work = config.work.resolve() / "sim-bytes"
    named = inputs(config.count)
    write_inputs(config.work / "in", named)
    jobs = dict({name + ("-" + args[0].strip("/?") if len(runs) > 1 else ""): machine_runs(
        name, args) for name, (_, runs) in named.items() for args in runs}, **global_runs())
    try:
        with w.Prefix(config.work.parent, "sim_bytes", config.windows_dir) as prefix:
            worlds = Worlds(config, prefix)
            # The copy's first process boots it: alone, before any two start at once.
            w.run(["wine", "cmd", "/c", "exit"], prefix.env, 180, prefix.log)
            with concurrent.futures.ThreadPoolExecutor(config.jobs) as pool:
                failed = list(pool.map(lambda item: worlds.compare(*item), jobs.items()))
            failed = [r for r in failed + [console(worlds), paths(worlds),
                                           same_name_in_other_case(worlds)] if r]
    except w.SetupError as error:
        print("FAILED: cannot run: %s" % error)
        return 1
    print("".join(f + "\n" for f in failed) + "%d of %d runs give the same bytes on Wine" % (
        len(jobs) + 3 - len(failed), len(jobs) + 3) + "".join(
        "\nrun again, as its first Wine run gave no output at all: " + r for r in worlds.reruns))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
