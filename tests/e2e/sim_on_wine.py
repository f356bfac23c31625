#!/usr/bin/python3
"""fenwrack-sim.exe on Wine against the Linux build: every example, case file and random machine,
each output of each mode, byte for byte. See tests/e2e/README.md."""

import argparse
import concurrent.futures
import fcntl
import json
import os
import pty
import struct
import termios
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import machines as m  # noqa: E402
import wine_world as w  # noqa: E402

SOURCE = Path(__file__).resolve().parents[2]
SWITCHES = [["/terminate"], ["/restart"], ["/shutdown"], ["/deinstall"], ["/checkUSB"], ["/?"]]
OUTPUTS = ["trace.jsonl", "after.json", "run.svg"]
CODES = "../../in/products.codes.txt"
# A UTF-8 title of two-byte letters: on a console it shows as itself, or as mojibake.
GROSSE = "Pelmo \u2013 Gr\u00f6\u00dfe"


def machine_runs(name, args):
    """One machine's commands, in the order they run in one folder: a run with every output, the
    check of what it left, the capture (its machine from standard input)."""
    path = "../../in/%s.json" % name
    return [(["--machine", path, "--trace", OUTPUTS[0], "--dump-machine", OUTPUTS[1], "--svg",
              OUTPUTS[2], "--require-achieved", "--", *args], None),
            (["--check", path, OUTPUTS[1]], None),
            (["--machine", "-", "--capture"], "in/%s.json" % name)]


def inputs(count):
    """Machines by name, each with the tool's command lines to run on it: the examples with every
    switch, the cases and the random machines with their own."""
    named = {"example-" + p.stem: (json.loads(p.read_text()), SWITCHES) for p in
             sorted(SOURCE.glob("examples/*.json"))}
    for path in sorted(SOURCE.glob("tests/cases/**/*.json")):
        case = json.loads(path.read_text())
        named["case-" + path.stem] = (case["machine"], [case["args"]])
    for seed in range(1, count + 1):
        named["random-%d" % seed] = (m.sim_machine(seed), [m.random_machine(seed)["args"]])
    return named


def global_runs():
    """What no single machine shows: the fleets, the other table, the other options and errors."""
    runs = {"fleet%d" % i: [([option, "../../in", *args], None)] for i, (option, args) in
            enumerate((o, a) for o in ("--fleet", "--fleet-json") for a in SWITCHES)}
    products = "../../in/example-products-installed.json"
    runs.update({
        "version": [(["--version"], None), (["--product-codes", CODES, "--version"], None)],
        "help": [(["--help"], None)],
        "table": [(["--product-codes", CODES, "--machine", products, "--trace", "-",
                    "/deinstall"], None)],
        "stdout": [(["--machine", products, "--dump-machine", "-", "/deinstall"], None),
                   (["--machine", products, "--svg", "-", "/deinstall"], None)],
        "demo": [(["/restart"], None), (["--capture", "--firmware", "hangs"], None)],
        "errors": [(args, None) for args in (
            ["--machine", "../../in/none.json"], ["--machine", "../../in"],
            ["--machine", "../../in/bad.json"], ["--product-codes", "../../in/bad.codes.txt"],
            ["--product-codes", "../../in", "/deinstall"], ["--fast"], ["--trace"],
            ["--trace", "x", "--dump-machine", "./x"], ["--trace", "-", "--svg", "-"],
            ["--trace", "none/x.jsonl"], ["--check", "a"], ["--check", "../../in/bad.json", "x"],
            ["--fleet", "../../in/none"], ["--machine", "../../in/near-misses.json", "/?"])],
    })
    return runs


def write_inputs(folder, named):
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, (machine, _) in named.items():
        (folder / (name + ".json")).write_text(json.dumps(machine, indent=1, ensure_ascii=False))
    shutil.copy2(SOURCE / "examples/products-installed.codes.txt", folder / "products.codes.txt")
    (folder / "bad.json").write_text('{"processes": [{"name": "a.exe", "on_close": 5}]}\n')
    (folder / "bad.codes.txt").write_text("# a table\n{XYZ}\n")
    (folder / "near-misses.json").write_text(json.dumps({"processes": [
        {"name": "Talvora", "windows": ["Talvora", GROSSE]}],
        "products": [{"code": "{11111111-2222-3333-4444-555555555555}", "name": "Pr\u00fcfger\u00e4t"}]},
        ensure_ascii=False))


class Worlds:
    def __init__(self, config, prefix):
        self.config, self.prefix = config, prefix
        self.exe = Path(config.windows_dir) / "fenwrack-sim.exe"

    def run(self, world, args, stdin, cwd):
        program = [self.config.sim] if world == "linux" else ["wine", str(self.exe)]
        with open(self.config.work / stdin, "rb") if stdin else open(os.devnull, "rb") as source:
            done = subprocess.run(program + args, cwd=cwd, stdin=source, capture_output=True,
                                  env=self.prefix.env if world == "wine" else None, timeout=300)
        found = {"status": done.returncode, "stdout": done.stdout, "stderr": done.stderr}
        for name in OUTPUTS + ["x"]:
            if (cwd / name).is_file():
                found[name] = (cwd / name).read_bytes()
        return found

    def compare(self, name, commands):
        """The report of the first command whose worlds differ, or None."""
        folders = {world: self.config.work / world / name for world in ("linux", "wine")}
        for folder in folders.values():
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir(parents=True)
        for args, stdin in commands:
            seen = {world: self.run(world, args, stdin, folder) for world, folder in
                    folders.items()}
            diffs = [key for key in sorted(set(seen["linux"]) | set(seen["wine"]))
                     if seen["linux"].get(key) != seen["wine"].get(key)]
            if diffs:
                return "FAILED %s: fenwrack-sim %s\n%s" % (name, " ".join(args), "\n".join(
                    "  %s:\n    linux: %r\n    wine:  %r" % (key, seen["linux"].get(key, b"")[:600],
                                                            seen["wine"].get(key, b"")[:600])
                    for key in diffs))
        for folder in folders.values():
            shutil.rmtree(folder)
        return None


def console(worlds):
    """In a console the timeline and the warnings read as text: Wine's console on a terminal
    shows what the program wrote with the console's own calls as UTF-8."""
    pid, fd = pty.fork()
    if pid == 0:
        # Wide enough that no line wraps.
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 300, 0, 0))
        os.chdir(worlds.config.work / "in")
        os.execvpe("wine", ["wine", str(worlds.exe), "--machine", "near-misses.json",
                            "/deinstall"], dict(worlds.prefix.env, TERM="dumb"))
    seen = b""
    while True:
        try:
            data = os.read(fd, 65536)
        except OSError:
            break
        if not data:
            break
        seen += data
    os.waitpid(pid, 0)
    text = seen.decode("utf-8", "replace")
    missing = [word for word in ("Gr\u00f6\u00dfe", "Pr\u00fcfger\u00e4t") if word not in text]
    return missing and "FAILED console: %s not shown:\n%r" % (missing, seen[-400:])


def paths(worlds):
    """A machine, a product-code table and the outputs under names with blanks and non-ASCII
    letters, as forward slashes, and past the length that needs \\\\?\\, give the Linux bytes."""
    deep = worlds.config.work / "paths" / "Pr\u00fcf stand" / ("\u00e4" * 60) / ("b" * 120) / ("c" * 60)
    shutil.rmtree(worlds.config.work / "paths", ignore_errors=True)
    deep.mkdir(parents=True)
    shutil.copy2(worlds.config.work / "in/example-products-installed.json", deep / "m a.json")
    shutil.copy2(worlds.config.work / "in/products.codes.txt", deep / "c.txt")
    windows = "Z:" + str(deep).replace("/", "\\")
    assert len(windows) > 260
    args = ["--product-codes", "Z:%s/c.txt" % deep, "--machine", "Z:%s/m a.json" % deep,
            "--trace", "\\\\?\\" + windows + "\\t.jsonl", "--dump-machine",
            windows + "\\d.json", "/deinstall"]
    done = subprocess.run(["wine", str(worlds.exe), *args], env=worlds.prefix.env,
                          capture_output=True, timeout=300)
    (here := worlds.config.work / "linux" / "paths").mkdir(parents=True, exist_ok=True)
    linux = worlds.run("linux", ["--product-codes", CODES, "--machine",
                                 "../../in/example-products-installed.json", "--trace",
                                 OUTPUTS[0], "--dump-machine", OUTPUTS[1], "/deinstall"], None, here)
    got = [(deep / n).read_bytes() if (deep / n).is_file() else None for n in ("t.jsonl", "d.json")]
    if done.returncode or got != [linux[OUTPUTS[0]], linux[OUTPUTS[1]]]:
        return "FAILED paths: status %d, %s" % (done.returncode, done.stderr.decode()[-300:])


def same_name_in_other_case(worlds):
    """Where the builds part, as sim/MACHINE-FILE.md says: Windows names files without regard to
    case, so two outputs whose names differ in case only are one file there."""
    args = ["--trace", "T.jsonl", "--svg", "t.jsonl", "/?"]
    seen = {}
    for world in ("linux", "wine"):
        (folder := worlds.config.work / world / "case").mkdir(parents=True, exist_ok=True)
        seen[world] = worlds.run(world, args, None, folder)["status"]
    return seen != {"linux": 0, "wine": 2} and "FAILED case: statuses %r" % seen


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--sim", default=SOURCE / "build/native/sim/fenwrack-sim")
    parser.add_argument("--windows-dir", default=SOURCE / "build/windows")
    parser.add_argument("--count", type=int, default=200, help="random machines")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    config = parser.parse_args()
    config.work = config.work.resolve() / "sim-bytes"
    named = inputs(config.count)
    write_inputs(config.work / "in", named)
    try:
        with w.Prefix(config.work.parent, "sim_bytes", config.windows_dir) as prefix:
            worlds = Worlds(config, prefix)
            # The copy's first process boots it: alone, before any two start at once.
            w.run(["wine", "cmd", "/c", "exit"], prefix.env, 180, prefix.log)
            jobs = {name + ("-" + args[0].strip("/?") if len(runs) > 1 else ""):
                    machine_runs(name, args)
                    for name, (_, runs) in named.items() for args in runs}
            jobs.update(global_runs())
            with concurrent.futures.ThreadPoolExecutor(config.jobs) as pool:
                failed = [r for r in pool.map(lambda item: worlds.compare(*item), jobs.items())
                          if r]
            failed += [r for r in (console(worlds), paths(worlds),
                                   same_name_in_other_case(worlds)) if r]
    except w.SetupError as error:
        print("FAILED: cannot run: %s" % error)
        return 1
    print("".join(f + "\n" for f in failed) + "%d of %d runs give the same bytes on Wine" % (
        len(jobs) + 3 - len(failed), len(jobs) + 3))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
