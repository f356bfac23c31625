#!/usr/bin/python3
"""fenwrack-run.exe on Wine: the four exes in a folder whose name has a blank and a non-ASCII
letter, the whole loop on stand-in firmware, its status and its record folder checked."""

import argparse
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import wine_world as w  # noqa: E402

FOLDER = "C:\\Service Tools\\Prüfstand"
RUN = FOLDER + "\\fenwrack-run.exe"
EXES = ("fenwrack-run.exe", "Fenwrack.exe", "fenwrack-capture.exe", "fenwrack-sim.exe")
DRY_RUN = {"record.txt", "before.json", "before-capture.txt", "timeline.txt", "warnings.txt",
           "trace.jsonl", "picture.svg", "predicted.json"}
CHECKED = DRY_RUN | {"after.json", "after-capture.txt", "check.txt"}
ROOT = {"Kestrix_SYSTEM_ROOT": "C:\\Kestrix\\Instr"}
POLICY = "System\\CurrentControlSet\\Control\\StorageDevicePolicies"
SETTINGS = ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n\"WriteProtect\"=dword:00000001\r\n"
            % POLICY)


def firmware(on_close, **parts):
    return dict(parts, processes=[{"name": "Halvmark.exe", "on_close": on_close,
                                   "windows": ["Kestrix Analyzer Interface"]}])


CLOSES = firmware({"exit_after_ms": 100})
ROOT_UNSET = firmware({"exit_after_ms": 100}, files=[
    {"path": "C:\\WINNT\\system32\\cmd.exe"},
    {"path": "C:\\Kestrix\\Instr\\bin\\StartUpFW.bat", "starts": ["Halvmark.exe"]}])
WRITE_PROTECT_OFF = {
    "environment": ROOT,
    "files": [{"path": "C:\\WINDOWS\\regedit.exe"},
              {"path": "C:\\Program Files\\Kestrix\\USBProtect\\SetUSBProtection.reg",
               "content": SETTINGS}],
    "registry": [{"key": POLICY, "name": "WriteProtect", "type": "REG_DWORD", "data": 0}]}


class Scenario(w.Prefix):
    """The machine's stand-ins up in a prefix of their own, the four exes in FOLDER."""

    def __init__(self, config, name, machine):
        super().__init__(config.work, "run_loop_" + name, config.windows_dir)
        self.machine, self.failures = machine, []

    def __enter__(self):
        super().__enter__()
        try:
            self.stand_ins_up(self.machine)
            for exe in EXES:
                self.write(FOLDER + "\\" + exe, (self.tool.parent / exe).read_bytes())
        except BaseException:
            self.__exit__(None, None, None)  # the prefix's server and processes too
            raise
        return self

    def run(self, *args):
        """fenwrack-run with the tool's environment; its status, output and the record folder
        it made (None: none)."""
        records = self.path(FOLDER + "\\records")
        before = set(records.iterdir()) if records.is_dir() else set()
        env = dict(self.env, **self.machine.get("environment", {}))
        # A file, not a pipe: what a reboot starts again inherits our output and keeps it open.
        with open(self.root / "output.txt", "w+b") as out:
            process = subprocess.Popen(["wine", RUN, *args], env=env, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=out)
            try:
                status = process.wait(timeout=240)
            except subprocess.TimeoutExpired:
                process.kill()
                raise w.SetupError("fenwrack-run %s did not end within 240 s" % " ".join(args))
            out.seek(0)
            output = out.read().decode("utf-8", "replace")
        print("$ fenwrack-run %s\n%s(status %d)" % (" ".join(args), output, status))
        made = set(records.iterdir()) - before if records.is_dir() else set()
        return status, output, (made.pop() if made else None)

    def expect(self, what, holds):
        if not holds:
            self.failures.append(what)

    def record(self, folder, files, last):
        """The record folder holds exactly `files`, and record.txt's last line says `last`."""
        self.expect("a record folder", folder is not None)
        if folder is None:
            return ""
        names = {p.name for p in folder.iterdir()}
        self.expect("record files %s, not %s" % (sorted(files), sorted(names)), names == files)
        text = (folder / "record.txt").read_text(encoding="utf-8")
        self.expect("record.txt ending in %r" % last, text.splitlines()[-1][21:].startswith(last))
        return text

    def close_requests(self):
        events = self.path(w.EVENTS).read_text(encoding="utf-8", errors="replace")
        return sum(line.startswith("close ") for line in events.splitlines())


def as_predicted(s):
    status, output, folder = s.run("/terminate")
    s.expect("status 0", status == 0)
    s.expect("as predicted", "The instrument is as predicted." in output)
    s.expect("a close request", s.close_requests() > 0)
    s.record(folder, CHECKED, "status 0: achieved")


def firmware_hangs(s):
    status, output, folder = s.run("/terminate")
    s.expect("status 1", status == 1)
    s.expect("the program still running named",
             "Halvmark.exe: 0 instances running predicted, 1 instance observed" in output)
    s.record(folder, CHECKED, "status 1: the tool ran")


def root_unset(s):
    status, _, folder = s.run("/restart")
    s.expect("status 3", status == 3)
    s.expect("no tool run", "tool:" not in s.record(folder, DRY_RUN, "status 3: not run"))
    s.expect("no close request", s.close_requests() == 0)
    status, _, folder = s.run("--force", "/restart")
    s.expect("status 4 with --force", status == 4)
    s.record(folder, CHECKED, "status 4: run with --force")
    s.expect("a close request with --force", s.close_requests() > 0)


def reboot(s):
    # Wine's own wineboot: its --kill ends every program of the prefix, this one too, as the
    # reboot on the instrument does; what is left is the record as written before the tool.
    status, output, folder = s.run("/checkUSB")
    note = 'fenwrack-run check "%s\\records\\%s"' % (FOLDER, folder and folder.name)
    s.expect("the check to run after the restart said", note in output)
    text = s.record(folder, DRY_RUN, 'tool: "%s\\Fenwrack.exe" /checkUSB' % FOLDER)
    s.expect("the note in record.txt", "note: the instrument will go down (reboot)" in text)
    if folder is not None:
        status, output, _ = s.run("check", "%s\\records\\%s" % (FOLDER, folder.name))
        s.expect("status 0 from the check", status == 0)
        s.record(folder, CHECKED, "status 0: achieved")


SCENARIOS = {"as_predicted": (as_predicted, CLOSES),
             "firmware_hangs": (firmware_hangs, firmware("ignore")),
             "root_unset": (root_unset, ROOT_UNSET), "reboot": (reboot, WRITE_PROTECT_OFF)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--work", required=True, help="the e2e work folder with the template")
    parser.add_argument("--windows-dir", default=Path(__file__).parents[2] / "build/windows")
    config = parser.parse_args()
    config.work = Path(config.work).resolve()
    play, machine = SCENARIOS[config.scenario]
    try:
        with Scenario(config, config.scenario, machine) as scenario:
            play(scenario)
    except w.SetupError as error:
        print("FAILED %s: %s" % (config.scenario, error))
        return 1
    print("\n".join(["FAILED %s, expected:" % config.scenario] + scenario.failures)
          if scenario.failures else "PASSED " + config.scenario)
    return 1 if scenario.failures else 0


if __name__ == "__main__":
    sys.exit(main())
