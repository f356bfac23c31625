#!/usr/bin/python3
"""fenwrack-capture.exe on Wine among 200 processes with windows, one of them hung, timed in
turns against `wine cmd /c exit` (what starting any program costs); see bench/README.md."""

import argparse
import itertools
import os
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
    machine = {"processes": [{"name": next(names), "windows": [next(titles), next(titles)],
                              "on_close": "hung" if n == 0 else "ignore"} for n in range(200)]}
    windows = Path(config.windows_dir)
    with w.Prefix(config.work, "bench", windows / "tests/e2e/programs",
                  windows / "Fenwrack.exe") as prefix:
        prefix.stand_ins_up(machine)
        commands = [["wine", w.CAPTURE, "NUL"], ["wine", "cmd", "/c", "exit"]]
        if config.keep:
            print(" ".join("%s='%s'" % item for item in prefix.env.items()
                           if item[0] in ("WINEPREFIX", "HOME", "TMPDIR", "WINEDEBUG")))
            print("%s and %s; this process: %d" % (*(" ".join(c) for c in commands), os.getpid()))
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT, signal.SIGTERM])
            signal.sigwait([signal.SIGINT, signal.SIGTERM])  # then the prefix goes
            return 0
        seconds = [[], []]
        for _ in range(config.runs + 1):
            for command, times in zip(commands, seconds):
                start = time.perf_counter()
                subprocess.run(command, env=prefix.env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, check=True, timeout=120)
                times.append(time.perf_counter() - start)
    capture, start = (times[1:] for times in seconds)
    print("capture %.3f s, cmd /c exit %.3f s (medians of %d); capture / cmd: median %.2f" % (
        statistics.median(capture), statistics.median(start), config.runs,
        statistics.median(a / b for a, b in zip(capture, start))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
