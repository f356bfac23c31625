#!/usr/bin/python3
"""fenwrack-run.exe on Wine: the four exes in a folder whose name has a blank and a non-ASCII
letter, the whole loop on stand-in firmware, its status and its record folder checked; and the
attacks of someone with a user's rights on the instrument, which the run, elevated on Wine, must
withstand."""

import argparse
import json
import os
import re
import subprocess
import sys
import uuid
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import machines as m  # noqa: E402
import wine_world as w  # noqa: E402

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
FOLDER = "C:\\Service Tools\\Prüfstand"
RECORDS = "C:\\ProgramData\\Fenwrack\\records"  # whichever folder the exes are in
EXES = ("fenwrack-run.exe", "Fenwrack.exe", "fenwrack-capture.exe", "fenwrack-sim.exe")
DRY_RUN = {"record.txt", "before.json", "before-capture.txt", "timeline.txt", "warnings.txt",
           "trace.jsonl", "picture.svg", "predicted.json"}
CHECKED = DRY_RUN | {"after.json", "after-capture.txt", "check.txt"}


def firmware(on_close, **parts):
    return dict(parts, processes=[{"name": "Halvmark.exe", "on_close": on_close,
                                   "windows": ["Kestrix Analyzer Interface"]}])


class Scenario(w.Prefix):
    """A prefix of its own, where the machine's stand-ins come up and the four exes go to FOLDER."""

    def __init__(self, config, machine):
        super().__init__(config.work, "run_loop_" + config.scenario, config.windows_dir)
        self.machine, self.failures, self.folder = machine, [], FOLDER

    def run(self, *args, dlls="", via=(), timeout=240):
        """fenwrack-run with the tool's environment, `dlls` added to Wine's overrides, started by
        the program `via` when given: status, output, new record folder or None."""
        records = self.path(RECORDS)
        before = set(records.iterdir()) if records.is_dir() else set()
        env = dict(self.env, WINEDLLOVERRIDES=w.DLL_OVERRIDES + dlls,
                   **self.machine.get("environment", {}))
        # A file, not a pipe: what a reboot starts again inherits our output and keeps it open.
        with open(self.root / "output.txt", "wb") as out:
            status = w.run(["wine", *via, self.folder + "\\fenwrack-run.exe", *args], env, timeout, out,
                           False, out)
        output = (self.root / "output.txt").read_text(encoding="utf-8", errors="replace")
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
        # Made for SYSTEM, Administrators and this account alone, which Wine shows as a mode.
        self.expect("record folders closed to others, and the folders made above them", not any(
            f.stat().st_mode & 0o007 for f in (folder, folder.parent, folder.parent.parent)))
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
    note = 'fenwrack-run check "%s\\%s"' % (RECORDS, folder and folder.name)
    s.expect("the check to run after the restart said", note in output)
    text = s.record(folder, DRY_RUN, 'tool: "%s\\Fenwrack.exe" /checkUSB' % FOLDER)
    s.expect("the note in record.txt", "note: the instrument will go down (reboot)" in text)
    if folder is not None:
        s.rebooted()
        status, output, _ = s.run("check", "%s\\%s" % (RECORDS, folder.name))
        s.expect("status 0 from the check", status == 0)
        s.record(folder, CHECKED, "status 0: achieved")


# ---- The package, as a deployment system installs, upgrades and removes it.

UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
INSTALLED = "C:\\Program Files\\Fenwrack"


def package(s):
    """An older package runs the loop from Program Files with the record under ProgramData; ours
    replaces it in place and keeps the record, refuses to go under a newer one (an older one
    installed over it), and leaves the records when it is removed."""
    # The stand-ins took the installer's place: a deployment system has the real one.
    installer = "C:\\windows\\system32\\msiexec.exe"
    s.write(installer, (s.work / "template/prefix/drive_c" / installer[3:].replace("\\", "/"))
            .read_bytes())
    work = s.root / "release"
    subprocess.run([sys.executable, SCRIPTS / "bundle.py", s.tool.parent, work], check=True,
                   stdout=s.log, stderr=s.log, timeout=300)
    codes = json.loads((s.tool.parent / "generated/package.json").read_text())
    release = work / ("fenwrack-" + codes["version"])
    with zipfile.ZipFile(work / (release.name + ".zip")) as bundle:
        bundle.extractall(work)
    s.write("C:\\e2e\\ours.msi", (work / (release.name + ".msi")).read_bytes())
    others = {}
    for version in ("1.0.0.15", "0.9.0.0"):  # the first differs from ours in the last part alone
        others[version] = "{%s}" % uuid.uuid5(uuid.UUID(int=1), version)
        subprocess.run([sys.executable, SCRIPTS / "package.py", release, s.root / "other.msi",
                        "--codes", s.tool.parent / "generated/package.json",
                        "--version", version, "--product-code", others[version]],
                       check=True, stdout=s.log, stderr=s.log, timeout=120)
        s.write("C:\\e2e\\%s.msi" % version, (s.root / "other.msi").read_bytes())

    def msiexec(*args):
        return w.run(["wine", "msiexec", *args, "/qn"], s.env, 120, s.log, False)

    def installed(code):
        return w.run(["wine", "reg", "query", UNINSTALL + code], s.env, 60, s.log, False) == 0

    s.expect("the older one installed", msiexec("/i", "C:\\e2e\\1.0.0.15.msi") == 0 and
             installed(others["1.0.0.15"]))
    s.folder = INSTALLED
    status, _, folder = s.run("/terminate")
    s.expect("status 0 from Program Files, the record under " + RECORDS,
             status == 0 and folder is not None)
    s.expect("ours installed over it", msiexec("/i", "C:\\e2e\\ours.msi") == 0)
    s.expect("one entry left, ours", installed(codes["product_code"]) and
             not installed(others["1.0.0.15"]))
    entry = subprocess.run(["wine", "reg", "query", UNINSTALL + codes["product_code"]],
                           env=s.env, capture_output=True, text=True, timeout=60).stdout
    s.expect("its entry names it, its version, its maker and the guide", all(
        re.search(r"%s\s+REG_SZ\s+%s\r?$" % (name, re.escape(value)), entry, re.M)
        for name, value in (("DisplayName", "Fenwrack"), ("DisplayVersion", codes["version"]),
                            ("Publisher", "Fenwrack developers"),
                            ("HelpLink", INSTALLED + "\\field-guide.html"))))
    s.expect("every file of the zip in Program Files, the same", all(
        s.path(INSTALLED + "\\" + p.relative_to(release).as_posix()).read_bytes() == p.read_bytes()
        for p in release.rglob("*") if p.is_file()))
    s.expect("the record kept through the upgrade", folder is not None and
             (folder / "record.txt").is_file())
    s.expect("an older one refused over ours", msiexec("/i", "C:\\e2e\\0.9.0.0.msi") != 0 and
             installed(codes["product_code"]) and not installed(others["0.9.0.0"]))
    s.expect("ours removed", msiexec("/x", codes["product_code"]) == 0 and
             not installed(codes["product_code"]))
    s.expect("no installed file left", not s.path(INSTALLED).exists() or
             not any(p.is_file() for p in s.path(INSTALLED).rglob("*")))
    s.expect("the records left", folder is not None and (folder / "record.txt").is_file())


# ---- Attacks, each shown where Wine can show it; every program is an administrator's there.

def refused(s, row):
    """Each run ends with status 2 and says why; the tool never runs."""
    if "setup" in row:
        row["setup"](s)
    for args in row["runs"]:
        # A hang fails here, within the time limit, instead of holding the suite.
        status, output, folder = s.run(*args, dlls=row.get("dlls", ""), timeout=120)
        s.expect("status %s of %s" % (row.get("status", 2), args), status == row.get("status", 2))
        s.expect("saying %r" % row["says"], row["says"] in output.replace("\n", " "))
        text = (folder / "record.txt").read_text(encoding="utf-8") if folder else ""
        ran = any(line[21:].startswith("tool: ") for line in text.splitlines())
        s.expect("the tool %s" % ("run" if row.get("tool") else "not run"),
                 ran == row.get("tool", False))
    if "then" in row:
        row["then"](s)


def others_may_write(name):
    def setup(s):
        path = s.path(FOLDER + name)
        path.chmod(path.stat().st_mode | 0o002)
    return setup


def plant_msi(s):
    s.write(FOLDER + "\\msi.dll", (s.agent.parent / "msi.dll").read_bytes())


def records_link(s):
    s.path("C:\\elsewhere").mkdir()
    s.path(RECORDS).parent.mkdir(parents=True, exist_ok=True)
    s.path(RECORDS).symlink_to(s.path("C:\\elsewhere"))


def nothing_made(place):
    return lambda s: s.expect("nothing made in " + place, not s.path(place).exists() or
                              not any(s.path(place).iterdir()))


def nothing_loaded(s):
    planted = s.path("C:\\e2e\\planted.txt")
    s.expect("the planted msi.dll loaded by no program, not by %s" %
             (planted.read_text(errors="replace").splitlines() if planted.exists() else []),
             not planted.exists())


def record_links(s):
    """A record file that is a hard link to another file is never written through: neither one
    a program writes by name (after.json) nor one given as its output (check.txt)."""
    status, _, folder = s.run("/terminate")
    if folder is None:
        raise w.SetupError("the run before the attack made no record (status %d)" % status)
    victim = s.path("C:\\victim.txt")
    for name in ("check.txt", "after.json"):
        victim.write_text("the victim\n")
        (folder / name).unlink()
        os.link(victim, folder / name)
        status, output, _ = s.run("check", "%s\\%s" % (RECORDS, folder.name), timeout=120)
        s.expect("status 2 with %s a link" % name, status == 2)
        s.expect("%s named as a link" % name, name + ": is a link" in output)
        s.expect("the file behind %s untouched" % name, victim.read_text() == "the victim\n")
        (folder / name).unlink()


def handles(s):
    """A deployment system's inheritable handle reaches fenwrack-run, but none of its children:
    fenwrack-capture.exe is replaced by the agent, which tells and then hands on to the real one."""
    held, agent = "C:\\e2e\\held.txt", "C:\\e2e\\agent.exe"
    w.run(["wine", agent, "--inherit", held, agent], s.env, 60, s.log)
    if "handle agent.exe inherited" not in s.path(w.EVENTS).read_text():
        raise w.SetupError("the agent started with the handle did not see it inherited")
    s.write("C:\\e2e\\real\\fenwrack-capture.exe",
            s.path(FOLDER + "\\fenwrack-capture.exe").read_bytes())
    s.write(FOLDER + "\\fenwrack-capture.exe", s.agent.read_bytes())
    status, _, _ = s.run("/terminate", via=(agent, "--inherit", held), timeout=120)
    lines = s.path(w.EVENTS).read_text().splitlines()
    s.expect("status 0", status == 0)
    s.expect("two captures that did not inherit the handle",
             lines.count("handle fenwrack-capture.exe not inherited") == 2 and
             "handle fenwrack-capture.exe inherited" not in lines)


ATTACKS = {
    "planted_msi": dict(setup=plant_msi, runs=[["/deinstall"]], dlls=";msi=n,b", status=0,
                        says="Status 0", tool=True, then=nothing_loaded),
    "usage_box": dict(runs=[["/restrat"], []], says="would show its usage box"),
    "partial_capture": dict(runs=[["/terminate"]], dlls=";msi=d", says="could not read products"),
    "folder_writable": dict(setup=others_may_write(""), runs=[["/terminate"]],
                            says="others may change this program's folder " + FOLDER + " (",
                            then=nothing_made(RECORDS)),
    "exe_writable": dict(setup=others_may_write("\\Fenwrack.exe"), runs=[["/terminate"]],
                         says="others may change the program %s\\Fenwrack.exe" % FOLDER,
                         then=nothing_made(RECORDS)),
    "records_link": dict(setup=records_link, runs=[["/terminate"]],
                         says="others may change the records folder " + RECORDS,
                         then=nothing_made("C:\\elsewhere")),
    "record_links": dict(play=record_links),
    "handles": dict(play=handles),
}

SCENARIOS = {
    "as_predicted": (as_predicted, firmware({"exit_after_ms": 100})),
    "firmware_hangs": (firmware_hangs, firmware("ignore")),
    "root_unset": (root_unset, firmware({"exit_after_ms": 100}, files=[
        {"path": m.PLACES["interpreter"]},
        {"path": "C:\\Kestrix\\Instr\\bin\\StartUpFW.bat", "starts": ["Halvmark.exe"]}])),
    "package": (package, firmware({"exit_after_ms": 100})),
    "reboot": (reboot, {
        "environment": {"Kestrix_SYSTEM_ROOT": "C:\\Kestrix\\Instr"},
        "files": [{"path": "C:\\WINDOWS\\regedit.exe"},
                  {"path": m.PLACES["settings"], "content": m.settings_text(1)}],
        "registry": [{"key": m.POLICY_KEY, "name": "WriteProtect", "type": "REG_DWORD",
                      "data": 0}]}),
    **{"attack_" + name: (row.get("play", lambda s, row=row: refused(s, row)),
                          firmware({"exit_after_ms": 100})) for name, row in ATTACKS.items()}}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--work", required=True, help="the e2e work folder with the template")
    parser.add_argument("--windows-dir", default=Path(__file__).parents[2] / "build/windows")
    config = parser.parse_args()
    config.work = Path(config.work).resolve()
    play, machine = SCENARIOS[config.scenario]
    try:
        with Scenario(config, machine) as scenario:
            scenario.stand_ins_up(machine)
            for exe in EXES:
                scenario.write(FOLDER + "\\" + exe, (scenario.tool.parent / exe).read_bytes())
            play(scenario)
    except w.SetupError as error:
        print("FAILED %s: %s" % (config.scenario, error))
        return 1
    print("\n".join(["FAILED %s, expected:" % config.scenario] + scenario.failures)
          if scenario.failures else "PASSED " + config.scenario)
    return 1 if scenario.failures else 0


if __name__ == "__main__":
    sys.exit(main())
