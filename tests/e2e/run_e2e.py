#!/usr/bin/python3
"""End-to-end cases: the shipped Fenwrack.exe on Wine, without a screen unless a case takes
screenshots. Each case runs in its own copy of a prefix template.

    run_e2e.py list
    run_e2e.py prefix|clean --work DIR
    run_e2e.py case NAME --work DIR --windows-dir DIR --e2e-windows-dir DIR --source DIR
                         --screenshots DIR [--docs DIR]
"""

import argparse
import re
import shutil
import subprocess
import sys
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from wine_env import (DLL_OVERRIDES, CaseFailure, Session, SetupError, Template,  # noqa: E402
                      check, install_alarm, require_file, require_tools)

TOOL = r"C:\Fenwrack\Fenwrack.exe"
USAGE_CAPTION = "Fenwrack Usage"
STATUS_TEXT = "Removing firmware..."
KILL_LOG = r"C:\Kestrix\Instr\log\FWKill.log"
KILL_LINE = b"Tessel firmware was termiated by tool, because frimware did not respond\r\n"
USB_KEY = r"HKLM\System\CurrentControlSet\Control\StorageDevicePolicies"
USB_SETTINGS = r"C:\Program Files\Kestrix\USBProtect\SetUSBProtection.reg"
# Set by the settings file beside WriteProtect, so a case can tell that the import ran.
IMPORT_KEY = r"HKLM\Software\FenwrackE2E"
WINEBOOT_RECORD = r"C:\e2e\wineboot.txt"
MSGBOX_TEXT_ID = 65535
STATUS_CONTROL_ID = 1001
STATUS_TEMPLATE_ID = 132

WS_CAPTION = 0x00C00000
WS_POPUP = 0x80000000
WS_VISIBLE = 0x10000000
WS_EX_TOPMOST = 0x8
WS_EX_TOOLWINDOW = 0x80
SS_TYPEMASK, SS_ICON = 0x1F, 0x3
INSTALLED = 5


class Config:
    def __init__(self, args):
        self.work = Path(args.work)
        self.windows_dir = Path(args.windows_dir) if args.windows_dir else None
        self.e2e_windows_dir = Path(args.e2e_windows_dir) if args.e2e_windows_dir else None
        self.source = Path(args.source) if args.source else Path(__file__).resolve().parents[2]
        self.screenshots = Path(args.screenshots) if args.screenshots else self.work / "shots"
        self.docs = Path(args.docs) if args.docs else None

    def program(self, name):
        path = self.windows_dir / "tests" / "e2e" / "programs" / name
        require_file(path, "build the windows preset (cmake --preset windows && "
                     "cmake --build --preset windows)")
        return path

    def tool(self, e2e_build=False):
        folder, preset = ((self.e2e_windows_dir, "windows-e2e") if e2e_build
                          else (self.windows_dir, "windows"))
        path = folder / "Fenwrack.exe"
        require_file(path, "build the %s preset (cmake --preset %s && cmake --build --preset %s)"
                     % (preset, preset, preset))
        return path


def usage_text(source):
    """kUsageText as the program carries it, read from its header."""
    header = (source / "app" / "fenwrack_app.h").read_text(encoding="utf-8")
    block = re.search(r"kUsageText\[\]\s*=(.*?);", header, re.S)
    check(block is not None, "kUsageText not found in app/fenwrack_app.h")
    escapes = {"t": "\t", "n": "\n", "\\": "\\", '"': '"'}
    pieces = re.findall(r'u"((?:[^"\\]|\\.)*)"', block.group(1))
    return "".join(re.sub(r"\\(.)", lambda m: escapes[m.group(1)], piece) for piece in pieces)


# ---- What a case works with

class StandIn:
    """One firmware program played by standin.exe under the firmware's executable name."""

    count = 0

    def __init__(self, session, name, title=None, hang=False, delay_ms=0):
        StandIn.count += 1
        folder = r"C:\e2e\fw%d" % StandIn.count
        self.session, self.name, self.title = session, name, title
        exe = folder + "\\" + name
        target = session.unix(exe)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(session.config.program("standin.exe"), target)
        self.marker = session.unix(folder + r"\marker.txt")
        self.messages = session.unix(folder + r"\messages.txt")
        ready = session.unix(folder + r"\ready.txt")
        argv = [exe, "--marker", folder + r"\marker.txt", "--ready", folder + r"\ready.txt",
                "--log", folder + r"\messages.txt"]
        if title is not None:
            argv += ["--title", title]
        if hang:
            argv.append("--hang")
        if delay_ms:
            argv += ["--delay", str(delay_ms)]
        self.process = session.start(argv)
        session.watched.append(self)
        session.wait_for("%s (%r) up" % (name, title), ready.is_file, timeout=30)

    def ending(self):
        """How it ended by itself, or None."""
        return self.marker.read_text().strip() if self.marker.is_file() else None

    def close_requests(self):
        if not self.messages.is_file():
            return 0
        return self.messages.read_text().split().count("WM_CLOSE")

    def __repr__(self):
        return "%s %r: ending %s, %d close requests" % (
            self.name, self.title, self.ending(), self.close_requests())


class Tool:
    """A run of Fenwrack.exe, timed from its start."""

    def __init__(self, session, args, extra_env=None, e2e_build=False):
        target = session.unix(TOOL)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(session.config.tool(e2e_build), target)
        env = dict(session.env, **(extra_env or {}))
        self.session, self.args = session, args
        session.note("start Fenwrack.exe %s" % " ".join(args))
        self.started = time.time()
        self.ended = None
        # As on the instrument, it runs from drive C.
        self.process = session.start([TOOL, *args], env=env, cwd=session.drive_c)
        session.watched.append(self)

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout):
        deadline = time.monotonic() + timeout
        while self.running():
            if time.monotonic() >= deadline:
                raise CaseFailure("Fenwrack.exe %s still runs after %.0f s"
                                  % (" ".join(self.args), timeout))
            time.sleep(0.05)
        self.ended = time.time()
        self.session.note("Fenwrack.exe ended with %d after %.2f s"
                          % (self.process.returncode, self.duration()))
        return self.process.returncode

    def duration(self):
        return (self.ended or time.time()) - self.started

    def __repr__(self):
        return "Fenwrack.exe %s: %s after %.1f s" % (
            " ".join(self.args), "running" if self.running() else
            "ended with %s" % self.process.returncode, self.duration())


def describe_state(session):
    """What a failed case leaves behind, for its report."""
    for thing in session.watched:
        session.note("state: %r" % thing)
    try:
        _, found = session.probe("windows", "--exe", "Fenwrack.exe", "--children", timeout=10)
        for window in found["windows"]:
            session.note("state: window of Fenwrack.exe %r %r, children %r"
                         % (window["title"], window["class"], window["children"]))
        session.note("state: programs %r" % running_programs(session))
    except CaseFailure as error:
        session.note("state: the probe failed too: %s" % error)


def running_programs(session):
    _, processes = session.probe("processes")
    return [entry["exe"] for entry in processes]


def status_window(session, *extra):
    return session.probe("windows", "--exe", "Fenwrack.exe", "--no-title", "--class", "#32770",
                         "--child", str(STATUS_CONTROL_ID), *extra)


REPORT = None  # the suite's summary file, one line per case and per measurement
CURRENT = "suite"  # the case that measures


def report(line):
    print(line, flush=True)
    if REPORT and REPORT.parent.is_dir():
        with open(REPORT, "a") as summary:
            summary.write(line + "\n")


def measure(name, value, unit):
    report("MEASURE %s: %s = %.3f %s" % (CURRENT, name, value, unit))


def save_screenshot(session, name):
    path = session.config.screenshots / name
    session.screen.screenshot(path, session.env)
    session.note("screenshot %s" % path)
    if session.config.docs:
        session.config.docs.mkdir(parents=True, exist_ok=True)
        shutil.copy2(path, session.config.docs / name)


def install_wineboot_recorder(session):
    """ExitWindowsEx starts the prefix's wineboot.exe: a recorder takes its place, loaded only
    for the process under test and its children."""
    # The prefix's first process boots it through wineboot: let that be the real one.
    session.probe("noop")
    shutil.copy2(session.config.program("wineboot.exe"),
                 session.drive_c / "windows" / "system32" / "wineboot.exe")
    session.unix(WINEBOOT_RECORD).parent.mkdir(parents=True, exist_ok=True)
    return {"WINEDLLOVERRIDES": DLL_OVERRIDES + ";wineboot.exe=n",
            "FENWRACK_E2E_WINEBOOT_LOG": WINEBOOT_RECORD}


def recorded_requests(session):
    path = session.unix(WINEBOOT_RECORD)
    return path.read_text().splitlines() if path.is_file() else []


# ---- Cases: the usage box

USAGE_CASES = {
    # name: (arguments, options)
    "usage_no_arguments": ([], {"screen": True}),
    "usage_terminate_then_help": (["/terminate", "/?"], {"firmware": True}),
    "usage_dash_capital_h": (["-H"], {}),
    "usage_unknown_switch": (["/help"], {}),
    "usage_doubled_mark": (["//terminate"], {}),
    "usage_keyword_without_mark": (["terminate"], {}),
    "usage_rundeinst": (["/rundeinst"], {}),
}


def case_usage(session, args, screen=False, firmware=False):
    expected = usage_text(session.config.source)
    check(len(expected) == 394, "kUsageText holds %d characters, not 394" % len(expected))
    standin = StandIn(session, "Halvmark.exe", "Pelmo") if firmware else None
    tool = Tool(session, args)
    rc, found = session.probe("windows", "--exe", "Fenwrack.exe", "--title", USAGE_CAPTION,
                              "--child", str(MSGBOX_TEXT_ID), "--children", "--wait", "20000")
    check(rc == 0, "no usage box within 20 s; Fenwrack.exe %s" %
          ("still runs" if tool.running() else "ended with %s" % tool.process.returncode))
    box = found["windows"][0]
    session.note("usage box after %.2f s: %s" % (tool.duration(), box["children"]))
    shown = box["child_text"][str(MSGBOX_TEXT_ID)]
    check(shown == expected, "usage text differs:\n shown    %r\n expected %r" % (shown, expected))
    buttons = [child["text"] for child in box["children"] if child["class"].lower() == "button"]
    check(buttons == ["OK"], "buttons %r, expected only OK" % buttons)
    icons = [child for child in box["children"] if child["class"].lower() == "static"
             and int(child["style"], 16) & SS_TYPEMASK == SS_ICON]
    check(len(icons) == 1, "the box shows no icon")

    # The status window stays up beside the box.
    rc, status = status_window(session, "--text", "%d=%s" % (STATUS_CONTROL_ID, STATUS_TEXT),
                               "--wait", "5000")
    check(rc == 0, "no status window beside the usage box: %s" % status)

    if standin:
        # A stop would have asked the firmware to close 4 s after the start.
        time.sleep(max(0.0, 7.0 - tool.duration()))
        check(standin.close_requests() == 0 and standin.ending() is None,
              "an operation ran beside the usage box: %r" % standin)
        check(tool.running(), "Fenwrack.exe ended while its usage box was up")
    if screen:
        time.sleep(0.7)  # let both windows paint
        save_screenshot(session, "usage-box.png")

    check(tool.running(), "Fenwrack.exe ended while its usage box was up")
    rc, _ = session.probe("click", "--exe", "Fenwrack.exe", "--title", USAGE_CAPTION,
                          "--id", "1")
    check(rc == 0, "OK button not found")
    check(tool.wait(15) == 0, "exit code %s after the usage box" % tool.process.returncode)


def case_usage_help_then_terminate(session):
    standin = StandIn(session, "Halvmark.exe", "Pelmo")
    tool = Tool(session, ["/?", "/terminate"])
    watch = session.start_capture(
        [session.config.program("probe.exe"), "watch", "--exe", "Fenwrack.exe", "--timeout",
         "40000", "--until-gone", "Fenwrack.exe"])
    check(tool.wait(40) == 0, "exit code %s" % tool.process.returncode)
    seen = session.finish_capture(watch, 60)
    titles = [window["title"] for window in seen["windows"]]
    session.note("windows of Fenwrack.exe seen: %r" % titles)
    check(USAGE_CAPTION not in titles, "a usage box appeared")
    check(standin.ending() == "closed", "the stop did not run: %r" % standin)


# ---- Cases: firmware control

FIRMWARE = [
    # executable, title, delay before it ends after a close request (ms)
    ("halvmark.exe", "Kestrix Analyzer Interface", 0),
    ("Halvmark.exe", "Pelmo", 0),
    ("quenstead_d.exe", "Talvora", 1500),
    ("quenstead.exe", "Pelmo", 0),
    ("tarnwick.exe", "Kestrix Analyzer Interface", 0),
    ("talvora.exe", "Talvora", 0),
]
# Near misses of the firmware's titles: never asked to close.
BYSTANDERS = [
    ("notes.exe", "pelmo"),
    ("viewer.exe", "Pelmo "),
    ("editor.exe", "Kestrix Analyzer"),
    ("board.exe", None),
]


def case_terminate_firmware(session):
    firmware = [StandIn(session, name, title, delay_ms=delay) for name, title, delay in FIRMWARE]
    bystanders = [StandIn(session, name, title) for name, title in BYSTANDERS]
    tool = Tool(session, ["/terminate"])
    check(tool.wait(60) == 0, "exit code %s" % tool.process.returncode)
    for standin in firmware:
        session.note("firmware %r" % standin)
        check(standin.ending() == "closed", "firmware not closed: %r" % standin)
    for standin in bystanders:
        session.note("bystander %r" % standin)
        check(standin.close_requests() == 0 and standin.ending() is None,
              "a window that is not the firmware's was asked to close: %r" % standin)
    running = running_programs(session)
    watched = {name.lower() for name, _, _ in FIRMWARE}
    check(not [name for name in running if name.lower() in watched],
          "firmware still runs: %r" % running)
    for name, _ in BYSTANDERS:
        check(name in running, "%s no longer runs" % name)
    last_close = max(standin.marker.stat().st_mtime for standin in firmware)
    measure("terminate_after_last_close", tool.ended - last_close, "s")
    measure("terminate_total", tool.duration(), "s")
    check(tool.ended - last_close <= 5.0,
          "Fenwrack.exe ended %.1f s after the firmware" % (tool.ended - last_close))


RESTART_ROOTS = {
    "restart_hung_server": r"C:\Kestrix",
    "restart_hung_server_spaced_root": r"C:\Program Files (x86)\Kestrix",
}
STARTUP_RECORD = r"C:\e2e\startup.txt"


def write_startup_scripts(session, root):
    session.write(root + r"\bin\StartUpFW.bat",
                  "@echo off\r\n"
                  "echo started>\"%s\"\r\n"
                  "echo root=%%Kestrix_SYSTEM_ROOT%%>>\"%s\"\r\n"
                  "echo script=%%~f0>>\"%s\"\r\n" % ((STARTUP_RECORD,) * 3))
    # Decoys: the script under bin comes first, and a root-less start finds none of these.
    for folder in (r"\binRelease", r"\binDebug"):
        session.write(root + folder + r"\StartUpFW.bat",
                      "@echo off\r\necho %s>\"C:\\e2e\\wrong-script.txt\"\r\n" % folder)
    session.unix(STARTUP_RECORD).parent.mkdir(parents=True, exist_ok=True)


def case_restart_hung_server(session, root):
    write_startup_scripts(session, root)
    earlier = b"earlier line\r\n"
    session.write(KILL_LOG, earlier)
    server = StandIn(session, "Halvmark.exe", "Kestrix Analyzer Interface", hang=True)
    helper = StandIn(session, "tarnwick.exe", "Pelmo")
    tool = Tool(session, ["/restart"], {"Kestrix_SYSTEM_ROOT": root})
    check(tool.wait(150) == 0, "exit code %s" % tool.process.returncode)
    session.note("server %r; helper %r" % (server, helper))

    check(helper.ending() == "closed", "the cooperative firmware was not closed: %r" % helper)
    check(server.ending() is None, "the hung server ended by itself: %r" % server)
    check(server.close_requests() == 30,
          "the hung server got %d close requests, expected one per pass (30)"
          % server.close_requests())
    check("Halvmark.exe" not in running_programs(session), "the hung server still runs")
    log = session.unix(KILL_LOG).read_bytes()
    check(log == earlier + KILL_LINE, "kill log holds %r" % log)

    record = session.unix(STARTUP_RECORD)
    session.wait_for("the start-up script's record", record.is_file, timeout=20)
    time.sleep(0.5)
    lines = record.read_text(errors="replace").splitlines()
    session.note("start-up script wrote %r" % lines)
    check(lines[:2] == ["started", "root=" + root], "start-up record %r" % lines)
    check(lines[2:] == ["script=%s\\bin\\StartUpFW.bat" % root],
          "another script ran: %r" % lines)
    check(not session.unix(r"C:\e2e\wrong-script.txt").exists(), "a decoy script ran")
    pause = record.stat().st_mtime - session.unix(KILL_LOG).stat().st_mtime
    measure("restart_kill_to_start", pause, "s")
    measure("restart_total", tool.duration(), "s")
    check(pause >= 4.5, "the firmware was started %.1f s after the kill, not 5 s" % pause)


def case_restart_without_root(session):
    """Without the variable the scripts would be looked for at the drive's root: none starts."""
    write_startup_scripts(session, "C:")
    tool = Tool(session, ["/restart"])
    check(tool.wait(60) == 0, "exit code %s" % tool.process.returncode)
    time.sleep(4)
    check(not session.unix(STARTUP_RECORD).exists(), "a script ran without a firmware root")
    check(not session.unix(r"C:\e2e\wrong-script.txt").exists(),
          "a script ran without a firmware root")


def case_restart_without_interpreter(session):
    """The firmware is started only through C:\\WINNT\\system32\\cmd.exe."""
    root = r"C:\Kestrix"
    write_startup_scripts(session, root)
    session.unix(r"C:\WINNT\system32\cmd.exe").unlink()
    tool = Tool(session, ["/restart"], {"Kestrix_SYSTEM_ROOT": root})
    check(tool.wait(60) == 0, "exit code %s" % tool.process.returncode)
    time.sleep(4)
    check(not session.unix(STARTUP_RECORD).exists(),
          "the script ran although C:\\WINNT\\system32\\cmd.exe is missing")


def case_terminate_idle_timing(session):
    for label in ("cold", "warm"):
        started = time.monotonic()
        session.probe("noop")
        measure("wine_start_%s" % label, time.monotonic() - started, "s")
    tool = Tool(session, ["/terminate"])
    check(tool.wait(60) == 0, "exit code %s" % tool.process.returncode)
    measure("terminate_firmware_down", tool.duration(), "s")


# ---- Cases: removal and system control

def test_product_code(source):
    codes = (source / "tests" / "e2e" / "product_codes.txt").read_text().split()
    real = [code for code in codes
            if re.fullmatch(r"\{[0-9A-F-]{36}\}", code, re.I) and set(code) - set("{}0-")]
    check(len(real) == 1, "tests/e2e/product_codes.txt should list one test code: %r" % real)
    return real[0]


def install_test_package(session):
    require_tools("wixl")
    code = test_product_code(session.config.source)
    build = session.root / "package"
    build.mkdir(exist_ok=True)
    (build / "payload.txt").write_text("firmware component\n")
    (build / "package.wxs").write_text("""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="%s" Name="Fenwrack E2E Firmware" Language="1033" Version="1.0.0"
           Manufacturer="Fenwrack E2E" UpgradeCode="{5D0B9A35-7E2C-4F61-9C1B-2A8E4D3F6B70}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="FenwrackE2E">
          <Component Id="Payload" Guid="{0E6C2B4A-93D1-4B7E-8F25-6A1C3D9E7B42}">
            <File Id="PayloadFile" Name="payload.txt" Source="payload.txt" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
""" % code)
    subprocess.run(["wixl", "-o", "package.msi", "package.wxs"], cwd=build, check=True,
                   stdout=session.log, stderr=session.log, timeout=60)
    shutil.copy2(build / "package.msi", session.unix(r"C:\e2e\package.msi"))
    session.wine(["msiexec", "/i", r"C:\e2e\package.msi", "/qn"], timeout=120)
    check(product_state(session, code) == INSTALLED, "the test package did not install")
    check(payload_files(session), "the test package's file is missing after installation")
    return code


def product_state(session, code):
    _, state = session.probe("msistate", code)
    return state["state"]


def payload_files(session):
    return list(session.drive_c.glob("Program Files*/FenwrackE2E/payload.txt"))


def case_deinstall(session):
    session.unix(r"C:\e2e").mkdir(parents=True, exist_ok=True)
    code = install_test_package(session)
    firmware = [StandIn(session, "Halvmark.exe", "Kestrix Analyzer Interface"),
                StandIn(session, "talvora.exe", "Talvora", delay_ms=1500)]
    tool = Tool(session, ["/deinstall"], e2e_build=True)
    removed = None
    while tool.running() and tool.duration() < 150:
        if removed is None and not payload_files(session):
            removed = time.time()
        time.sleep(0.05)
    check(tool.wait(10) == 0, "exit code %s" % tool.process.returncode)
    for standin in firmware:
        check(standin.ending() == "closed", "firmware not stopped: %r" % standin)
    check(removed is not None, "the product's file was not removed while Fenwrack.exe ran")
    last_close = max(standin.marker.stat().st_mtime for standin in firmware)
    session.note("firmware stopped %.2f s, product file removed %.2f s after the start"
                 % (last_close - tool.started, removed - tool.started))
    check(removed > last_close, "the product was removed before the firmware was stopped")
    state = product_state(session, code)
    session.note("product state after /deinstall: %d" % state)
    check(state != INSTALLED, "the test product is still installed")
    check(not payload_files(session), "the test product's file is still there")
    measure("deinstall_total", tool.duration(), "s")
    _, queries = session.probe("msistate", "{00000000-0000-0000-0000-000000000000}",
                               "--repeat", "192")
    measure("state_queries_192", queries["elapsed_us"] / 1e6, "s")


def case_deinstall_shipping_table(session):
    """The delivered table holds placeholders only: nothing is removed."""
    session.unix(r"C:\e2e").mkdir(parents=True, exist_ok=True)
    code = install_test_package(session)
    tool = Tool(session, ["/deinstall"])
    check(tool.wait(90) == 0, "exit code %s" % tool.process.returncode)
    check(product_state(session, code) == INSTALLED, "a product outside the table was removed")
    check(payload_files(session), "a product outside the table lost its file")
    measure("deinstall_placeholders_total", tool.duration(), "s")


USB_CASES = {
    # name: (`reg add` arguments for WriteProtect or None for no key, protected)
    "checkusb_protected": (["/t", "REG_DWORD", "/d", "1"], True),
    "checkusb_unprotected": (["/t", "REG_DWORD", "/d", "0"], False),
    "checkusb_key_absent": (None, False),
    "checkusb_string_one": (["/t", "REG_SZ", "/d", "1"], False),
}


def read_dword(session, key, value):
    _, data = session.probe("regread", key, value)
    return data.get("dword")


def case_check_usb(session, value, protected):
    session.write(USB_SETTINGS, "REGEDIT4\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\"
                  "StorageDevicePolicies]\r\n\"WriteProtect\"=dword:00000001\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\Software\\FenwrackE2E]\r\n"
                  "\"Imported\"=dword:00000001\r\n\r\n")
    if value is not None:
        session.wine(["reg", "add", USB_KEY, "/v", "WriteProtect", *value, "/f"])
    recorder = install_wineboot_recorder(session)
    tool = Tool(session, ["/checkUSB"], recorder)
    if protected:
        check(tool.wait(20) == 0, "exit code %s" % tool.process.returncode)
        measure("checkusb_protected_total", tool.duration(), "s")
        check(read_dword(session, IMPORT_KEY, "Imported") is None, "the settings were imported")
        check(recorded_requests(session) == [],
              "a reboot was requested: %r" % recorded_requests(session))
        return
    session.wait_for("a reboot request", lambda: recorded_requests(session), timeout=30)
    requests = recorded_requests(session)
    session.note("wineboot was asked for %r after %.2f s" % (requests, tool.duration()))
    check(requests == ["--kill"], "requests %r, expected the forced reboot's --kill" % requests)
    check(read_dword(session, USB_KEY, "WriteProtect") == 1, "WriteProtect is not 1 after import")
    check(read_dword(session, IMPORT_KEY, "Imported") == 1, "the settings were not imported")
    time.sleep(3)
    check(tool.running(), "Fenwrack.exe ran on to its own end after an accepted reboot (exit %s)"
          % tool.process.returncode)


def case_shutdown(session):
    recorder = install_wineboot_recorder(session)
    cooperative = [StandIn(session, "Halvmark.exe", "Pelmo"),
                   StandIn(session, "tarnwick.exe", "Kestrix Analyzer Interface")]
    hung = StandIn(session, "quenstead.exe", "Talvora", hang=True)
    tool = Tool(session, ["/shutdown"], recorder)
    session.wait_for("a power-off request", lambda: recorded_requests(session), timeout=40)
    requested = session.unix(WINEBOOT_RECORD).stat().st_mtime
    requests = recorded_requests(session)
    session.note("wineboot was asked for %r after %.2f s" % (requests, requested - tool.started))
    check(requests == ["--end-session --shutdown"],
          "requests %r, expected the power-off's --end-session --shutdown" % requests)
    measure("shutdown_request_after_start", requested - tool.started, "s")
    check(requested - tool.started >= 5.0,
          "the power-off came %.1f s after the start, before the 5 s pause"
          % (requested - tool.started))
    for standin in cooperative:
        check(standin.ending() == "closed", "firmware not closed: %r" % standin)
        early = requested - standin.marker.stat().st_mtime
        check(early >= 4.0, "%s closed only %.1f s before the request" % (standin.name, early))
    check(hung.close_requests() == 1 and hung.ending() is None,
          "the hung firmware: %r, expected one close request" % hung)
    time.sleep(3)
    check(tool.running(), "Fenwrack.exe ran on to its own end after an accepted power-off "
          "(exit %s)" % tool.process.returncode)


def case_shutdown_session_end(session):
    """With Wine's own wineboot the power-off ends the prefix's session: every program with a
    window is asked to end, Fenwrack.exe among them, and its status window must not object."""
    cooperative = StandIn(session, "Halvmark.exe", "Pelmo")
    hung = StandIn(session, "quenstead.exe", "Talvora", hang=True)
    bystander = StandIn(session, "board.exe", None)
    tool = Tool(session, ["/shutdown"])
    rc = tool.wait(40)
    session.note("after the session end: %r; %r; %r" % (cooperative, hung, bystander))
    measure("shutdown_session_end", tool.duration(), "s")
    check(tool.duration() >= 5.0, "Fenwrack.exe ended before the 5 s pause was over")
    check(cooperative.ending() == "closed", "firmware not closed: %r" % cooperative)
    check(hung.close_requests() == 1, "the hung firmware: %r" % hung)
    for standin in (hung, bystander):
        check(standin.ending() == "endsession", "the session did not end: %r" % standin)
    session.note("Fenwrack.exe was ended with exit code %d" % rc)


# ---- Cases: the status window

def case_status_window(session):
    standin = StandIn(session, "Halvmark.exe", "Pelmo", delay_ms=2000)
    tool = Tool(session, ["/terminate"])
    rc, found = status_window(session, "--text", "%d=%s" % (STATUS_CONTROL_ID, STATUS_TEXT),
                              "--wait", "15000")
    check(rc == 0, "no status window reading %r: %s" % (STATUS_TEXT, found["windows"]))
    window = found["windows"][0]
    session.note("status window: %s" % window)
    text_delay = (found["elapsed_ms"] - found["first_seen_ms"]) / 1000
    measure("status_text_after_window", text_delay, "s")
    check(text_delay <= 1.0, "the text came %.2f s after the window" % text_delay)
    style, exstyle = int(window["style"], 16), int(window["exstyle"], 16)
    check(style & WS_CAPTION != WS_CAPTION and window["title"] == "", "it has a caption")
    check(style & WS_POPUP and style & WS_VISIBLE, "not a visible pop-up: %#x" % style)
    check(exstyle & WS_EX_TOPMOST, "not top-most: %#x" % exstyle)
    check(exstyle & WS_EX_TOOLWINDOW, "no tool-window style: %#x" % exstyle)
    check((window["x"], window["y"]) == (0, 0), "at (%d, %d)" % (window["x"], window["y"]))
    _, template = session.probe("dialog-size", "--module", TOOL, "--template",
                                str(STATUS_TEMPLATE_ID))
    check((window["width"], window["height"]) == (template["width"], template["height"]),
          "size %dx%d, template %dx%d" % (window["width"], window["height"], template["width"],
                                         template["height"]))
    time.sleep(0.5)  # let it paint
    save_screenshot(session, "status-window.png")

    check(tool.running(), "Fenwrack.exe ended before Escape could be sent")
    rc, _ = status_window(session)
    check(rc == 0, "the status window went away by itself")
    session.probe("post", "--exe", "Fenwrack.exe", "--no-title", "--class", "#32770",
                  "--message", "escape")
    session.wait_for("the status window to close on Escape",
                     lambda: status_window(session)[0] == 1, timeout=5, interval=0.2)
    session.note("status window closed; Fenwrack.exe %s"
                 % ("still runs" if tool.running() else "has ended"))
    check(tool.wait(60) == 0, "exit code %s" % tool.process.returncode)
    check(standin.ending() == "closed", "the stop did not complete: %r" % standin)


# ---- The table

class Case:
    def __init__(self, function, budget, cost, screen=False, e2e_build=False, **kwargs):
        self.function, self.kwargs = function, kwargs
        self.budget = budget  # the case's own time limit, s
        self.cost = cost  # ctest starts costly cases first
        self.screen = screen  # needs Xvfb
        self.e2e_build = e2e_build  # runs the windows-e2e build of the tool


def cases():
    table = {}
    for name, (args, options) in USAGE_CASES.items():
        table[name] = Case(case_usage, 60, 10, args=args, **options)
    table["usage_help_then_terminate"] = Case(case_usage_help_then_terminate, 90, 15)
    table["terminate_firmware"] = Case(case_terminate_firmware, 120, 20)
    for name, root in RESTART_ROOTS.items():
        table[name] = Case(case_restart_hung_server, 180, 60, root=root)
    table["restart_without_root"] = Case(case_restart_without_root, 120, 20)
    table["restart_without_interpreter"] = Case(case_restart_without_interpreter, 120, 20)
    table["terminate_idle_timing"] = Case(case_terminate_idle_timing, 90, 12)
    table["deinstall"] = Case(case_deinstall, 240, 30, e2e_build=True)
    table["deinstall_shipping_table"] = Case(case_deinstall_shipping_table, 180, 20)
    for name, (value, protected) in USB_CASES.items():
        table[name] = Case(case_check_usb, 90, 10, value=value, protected=protected)
    table["shutdown"] = Case(case_shutdown, 90, 15)
    table["shutdown_session_end"] = Case(case_shutdown_session_end, 90, 12)
    table["status_window"] = Case(case_status_window, 120, 20, screen=True)
    return table


def run_case(name, config):
    table = cases()
    if name not in table:
        print("unknown case %s" % name)
        return 2
    case = table[name]
    global CURRENT
    CURRENT = name
    install_alarm(case.budget)
    started = time.monotonic()
    try:
        # What is missing is said before any time goes into a prefix.
        require_tools("wine", "wineserver")
        for program in ("probe.exe", "standin.exe", "wineboot.exe"):
            config.program(program)
        config.tool(case.e2e_build)
        with Session(name, config, screen=case.screen) as session:
            try:
                case.function(session, **case.kwargs)
            except CaseFailure:
                describe_state(session)
                raise
    except SetupError as error:
        report("FAILED %s: cannot run: %s" % (name, error))
        return 1
    except CaseFailure as error:
        report("FAILED %s after %.1f s: %s" % (name, time.monotonic() - started, error))
        return 1
    except Exception:
        traceback.print_exc()
        report("FAILED %s after %.1f s: the runner broke (above)"
               % (name, time.monotonic() - started))
        return 1
    report("PASSED %s in %.1f s" % (name, time.monotonic() - started))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["list", "prefix", "clean", "case"])
    parser.add_argument("name", nargs="?")
    parser.add_argument("--work")
    parser.add_argument("--windows-dir")
    parser.add_argument("--e2e-windows-dir")
    parser.add_argument("--source")
    parser.add_argument("--screenshots")
    parser.add_argument("--docs")
    args = parser.parse_args()
    if args.command == "list":
        for name, case in cases().items():
            print(name, case.budget, case.cost)
        return 0
    if not args.work:
        parser.error("--work is required")
    global REPORT
    REPORT = Path(args.work) / "report.txt"
    if args.command == "prefix":
        REPORT.parent.mkdir(parents=True, exist_ok=True)
        REPORT.write_text("")
        install_alarm(300)
        try:
            seconds = Template(args.work).create()
        except CaseFailure as error:
            report("FAILED: no prefix template: %s" % error)
            return 1
        measure("prefix_template", seconds, "s")
        return 0
    if args.command == "clean":
        Template(args.work).remove()
        if REPORT.is_file():
            print("Summary (%s):\n%s" % (REPORT, REPORT.read_text()), end="")
        return 0
    return run_case(args.name, Config(args))


if __name__ == "__main__":
    sys.exit(main())
