#!/usr/bin/python3
"""The Windows programs on Wine, each as a whole process, timed in turns against `wine cmd /c
exit` (what starting any program costs) in a prefix with 200 stand-in processes with windows, one
of them hung: a capture, a dry run of fenwrack-sim.exe, and what fenwrack-run adds to the tool's
own run. See bench/README.md."""

import argparse
import itertools
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))

import machines as m  # noqa: E402
import wine_world as w  # noqa: E402

HERE = "C:\\Fenwrack\\"  # the tool's folder in the prefix, where the other exes go too
START = ["wine", "cmd", "/c", "exit"]
COMMANDS = {
    "capture": ["wine", w.CAPTURE, "NUL"],
    "dry run": ["wine", HERE + "fenwrack-sim.exe", "--machine", "C:\\e2e\\bench.json",
                "--svg", "NUL", "/restart"],
    "tool": ["wine", HERE + "Fenwrack.exe", "/checkUSB"],
    "fenwrack-run": ["wine", HERE + "fenwrack-run.exe", "/checkUSB"],
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work", required=True, help="folder for the prefix (made when missing)")
    parser.add_argument("--windows-dir", default=SOURCE / "build/windows")
    parser.add_argument("--runs", type=int, default=10, help="turns of each, after one warm-up")
    parser.add_argument("--keep", action="store_true",
                        help="no timing: print the prefix's environment and keep it up")
    config = parser.parse_args()
    if not (Path(config.work) / "template" / "ready").is_file():
        w.Template(config.work).create()
    names, titles = itertools.cycle(m.FIRMWARE + m.DECOYS), itertools.cycle(m.TITLES)
    # Write protection on: /checkUSB reads it and ends, changing nothing, run after run.
    machine = {"processes": [{"name": next(names), "windows": [next(titles), next(titles)],
                              "on_close": "hung" if n == 0 else "ignore"} for n in range(200)],
               "registry": [{"key": m.POLICY_KEY, "name": "WriteProtect", "type": "REG_DWORD",
                             "data": 1}]}
    windows = Path(config.windows_dir)
    with w.Prefix(config.work, "bench", windows) as prefix:
        prefix.stand_ins_up(machine)
        prefix.capture("bench", prefix.env)  # the machine the dry runs start from
        for exe in ("fenwrack-sim.exe", "fenwrack-run.exe", "fenwrack-capture.exe"):
            shutil.copy2(windows / exe, prefix.path(HERE + exe))
        if config.keep:
            print(" ".join("%s='%s'" % item for item in prefix.env.items()
                           if item[0] in ("WINEPREFIX", "HOME", "TMPDIR", "WINEDEBUG")))
            print("; ".join(" ".join(c) for c in [START, *COMMANDS.values()]) +
                  "; this process: %d" % os.getpid())
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT, signal.SIGTERM])
            signal.sigwait([signal.SIGINT, signal.SIGTERM])  # then the prefix goes
            return 0
        seconds = {name: [] for name in ["start", *COMMANDS]}
        for _ in range(config.runs + 1):
            for name, command in [("start", START), *COMMANDS.items()]:
                begin = time.perf_counter()
                subprocess.run(command, env=prefix.env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, check=True, timeout=300)
                seconds[name].append(time.perf_counter() - begin)
    turns = {name: times[1:] for name, times in seconds.items()}
    ratio = {name: [a / b for a, b in zip(turns[name], turns["start"])] for name in COMMANDS}
    ratio["fenwrack-run adds"] = [(r - t) / s for r, t, s in zip(
        turns["fenwrack-run"], turns["tool"], turns["start"])]
    print("wine cmd /c exit: %.3f s (median of %d turns); medians of the ratios to it:" % (
        statistics.median(turns["start"]), config.runs))
    for name, ratios in ratio.items():
        print("  %-18s %6.2f  (%.2f to %.2f)" % (name, statistics.median(ratios), min(ratios),
                                                 max(ratios)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
