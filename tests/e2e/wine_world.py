"""The Wine world: a machine file made into a Wine prefix, the shipped Fenwrack.exe run in it,
and what the prefix shows afterwards, in the terms the comparison uses."""

import json
import os
import select
import shutil
import subprocess
import time
import uuid
from pathlib import Path
from subprocess import DEVNULL, PIPE, list2cmdline

import machines as m

DLL_OVERRIDES = "winemenubuilder.exe=d;mscoree,mshtml="
# For the tool and its children only: the agent takes the place of these system programs.
RECORDING = ";wineboot.exe=n;msiexec.exe=n"
TOOL = r"C:\Fenwrack\Fenwrack.exe"
AGENT = r"C:\e2e\agent.exe"
EVENTS = r"C:\e2e\events.txt"
# Programs the tool starts: the agent plays them where the machine lists them, and they are gone
# where it does not. As cmd.exe and regedit.exe it hands on to Wine's own, kept in C:\e2e\real.
AGENT_PLACES = [r"C:\WINNT\system32\cmd.exe", r"C:\windows\regedit.exe",
                r"C:\windows\system32\msiexec.exe", r"C:\WINNT\system32\msiexec.exe"]
REAL = {"cmd.exe": r"C:\windows\system32\cmd.exe", "regedit.exe": r"C:\windows\regedit.exe"}
STATUS_CONTROL, BOX_TEXT = 1001, 65535
WS_EX_TOPMOST = 0x8
REG_TYPES = {1: "REG_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 11: "REG_QWORD"}


class SetupError(Exception):
    """Something the suite needs is missing or did not work: never a pass."""


def env_for(root, display=None, **extra):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(root / "home"),
           "TMPDIR": str(root / "tmp"), "WINEPREFIX": str(root / "prefix"), "WINEDEBUG": "-all",
           "WINEDLLOVERRIDES": DLL_OVERRIDES, "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}
    if display:
        env["DISPLAY"] = display
    env.update(extra)
    return env


def run(argv, env, timeout, log, check=True):
    try:
        done = subprocess.run([str(a) for a in argv], env=env, stdin=DEVNULL, stdout=PIPE,
                              stderr=log, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise SetupError("%s did not end within %d s" % (" ".join(map(str, argv[:3])), timeout))
    if check and done.returncode != 0:
        raise SetupError("%s ended with %d" % (" ".join(map(str, argv[:3])), done.returncode))
    return done.returncode, done.stdout.decode("utf-8", "replace")


def require_tools(*names):
    missing = [name for name in names if shutil.which(name) is None]
    if missing:
        raise SetupError("missing on this machine: %s (Debian packages: wine wine64 fonts-wine "
                         "xvfb imagemagick msitools wixl)" % ", ".join(missing))


class Template:
    """The prefix every case copies: made once per suite run by the fixture."""

    def __init__(self, work):
        self.root = Path(work) / "template"
        self.prefix = self.root / "prefix"

    def create(self):
        require_tools("wine", "wineboot", "wineserver")
        self.remove()
        for folder in ("home", "tmp"):
            (self.root / folder).mkdir(parents=True)
        env = env_for(self.root)
        with open(self.root / "wine.log", "wb") as log:
            run(["wineboot", "-i"], env, 240, log)
            # No screen in most cases: Wine's null display driver still makes real windows.
            run(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d",
                 "null", "/f"], env, 60, log)
            # A crashing program must fail its case, not wait for someone to close a dialog.
            run(["wine", "reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
                 "/t", "REG_DWORD", "/d", "0", "/f"], env, 60, log)
            # Debian's Wine does not find the fonts of fonts-wine by itself.
            for font in Path("/usr/share/wine/fonts").glob("*.ttf"):
                shutil.copy2(font, self.prefix / "drive_c" / "windows" / "Fonts" / font.name)
            # The registry reaches the disk only when the server ends.
            run(["wineserver", "-w"], env, 120, log)
        (self.root / "ready").write_text("")

    def remove(self):
        if self.root.exists():
            subprocess.run(["wineserver", "-k"], env=env_for(self.root), stderr=DEVNULL,
                           timeout=30)
            shutil.rmtree(self.root, ignore_errors=True)


class Xvfb:
    """A private X screen, only for the cases that take screenshots."""

    def __init__(self, log):
        require_tools("Xvfb", "import")
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-noreset",
             "-nolisten", "tcp"], pass_fds=(write_end,), stdin=DEVNULL, stdout=log, stderr=log)
        os.close(write_end)
        # The number and its line end come in two writes; a pipe closed between them kills Xvfb.
        reported, deadline = b"", time.monotonic() + 20
        while not reported.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 32) if select.select([read_end], [], [], 1)[0] else b"?"
            reported += chunk if chunk != b"?" else b""
            if not chunk:
                break
        os.close(read_end)
        self.display = ":" + reported.decode().strip()
        if not self.display[1:].isdigit():
            self.stop()
            raise SetupError("Xvfb did not report a display")

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def reg_data(entry):
    kind, data = entry["type"], entry["data"]
    if kind == "REG_DWORD":
        return "dword:%08x" % data
    if kind == "REG_SZ":
        return '"%s"' % data.replace("\\", "\\\\").replace('"', '\\"')
    raw = (data.to_bytes(8, "little") if kind == "REG_QWORD"
           else bytes.fromhex(data) if isinstance(data, str) else bytes(data))
    return ("hex(b):" if kind == "REG_QWORD" else "hex:") + ",".join("%02x" % b for b in raw)


def reg_value(found):
    """The probe's reading of a value, as the simulator's machine file writes it."""
    if found["status"] != 0:
        return None
    raw, kind = bytes.fromhex(found["hex"]), REG_TYPES.get(found["type"], found["type"])
    if kind in ("REG_DWORD", "REG_QWORD"):
        return "%s %d" % (kind, int.from_bytes(raw, "little"))
    if kind == "REG_SZ":
        return "REG_SZ " + raw.decode("utf-16-le").split("\0")[0]
    return "%s %s" % (kind, " ".join("%02x" % b for b in raw))


def package_source(code):
    names = {key: str(uuid.uuid5(uuid.NAMESPACE_URL, code + key)).upper() for key in "ucd"}
    return """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="%s" Name="Fenwrack E2E %s" Language="1033" Version="1.0.0"
           Manufacturer="Fenwrack E2E" UpgradeCode="{%s}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="ProgramFilesFolder">
      <Directory Id="INSTALLDIR" Name="FenwrackE2E-%s">
        <Component Id="Payload" Guid="{%s}">
          <File Id="PayloadFile" Name="payload.txt" Source="payload.txt" KeyPath="yes"/>
        </Component>
      </Directory></Directory></Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
""" % (code, code, names["u"], names["d"][:8], names["c"])


class Prefix:
    """One case's copy of the template, its processes and its clean-up."""

    def __init__(self, work, name, programs, tool, screen=False):
        self.work, self.programs, self.tool = Path(work), Path(programs), Path(tool)
        self.root = self.work / "cases" / name / "wine"
        self.drive_c = self.root / "prefix" / "drive_c"
        self.want_screen, self.screen, self.processes = screen, None, []

    def __enter__(self):
        for program in (self.programs / "agent.exe", self.programs / "probe.exe", self.tool):
            if not program.is_file():
                raise SetupError("%s is missing: build the windows preset (cmake --preset windows"
                                 " && cmake --build --preset windows)" % program)
        if not (self.work / "template" / "ready").is_file():
            raise SetupError("no prefix template in %s: the fixture test e2e.prefix makes it"
                             % self.work)
        require_tools("wine", "wineserver", "wixl")
        shutil.rmtree(self.root, ignore_errors=True)
        for folder in ("home", "tmp"):
            (self.root / folder).mkdir(parents=True)
        self.log = open(self.root / "wine.log", "wb")
        subprocess.run(["cp", "-a", str(self.work / "template" / "prefix"), str(self.root)],
                       check=True)
        if self.want_screen:
            self.screen = Xvfb(self.log)
            user_reg = self.root / "prefix" / "user.reg"
            # No window manager runs: unmanaged windows get their captions drawn by Wine itself.
            user_reg.write_text(user_reg.read_text(errors="surrogateescape").replace(
                '"Graphics"="null"', '"Graphics"="x11"') + '\n[Software\\\\Wine\\\\X11 Driver]'
                ' 1700000000\n"Managed"="N"\n', errors="surrogateescape")
        self.env = env_for(self.root, self.screen and self.screen.display)
        # One server for the whole case: a new one would boot the prefix again mid-run.
        run(["wineserver", "-p"], self.env, 30, self.log)
        return self

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=self.log, stderr=self.log,
                       timeout=30)
        for process in self.processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
        if self.screen:
            self.screen.stop()
        self.log.close()
        if not os.environ.get("FENWRACK_E2E_KEEP"):
            shutil.rmtree(self.root / "prefix", ignore_errors=True)

    def path(self, windows_path):
        """The file in this prefix; existing names match without regard to case, as on Windows."""
        here = self.drive_c
        for part in m.windows_parts(windows_path)[1:]:
            same = [c for c in here.iterdir() if c.name.upper() == part.upper()] \
                if here.is_dir() else []
            here = same[0] if same else here / part
        return here

    def write(self, windows_path, data):
        target = self.path(windows_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        return target

    def start(self, argv, env=None):
        process = subprocess.Popen(["wine", *map(str, argv)], env=env or self.env, stdin=DEVNULL,
                                   stdout=PIPE, stderr=self.log)
        self.processes.append(process)
        return process

    def probe(self, *args, timeout=60):
        rc, out = run(["wine", self.programs / "probe.exe", *args], self.env, timeout, self.log,
                      check=False)
        return rc, parse(out, "probe " + " ".join(args[:2]))

    # ---- the machine, made

    def materialize(self, machine, args):
        self.tags = {}  # a stand-in's tag: its process's key, or the name a script started
        self.titles = {}
        e2e = self.path(r"C:\e2e")
        (e2e / "real").mkdir(parents=True)
        agent = self.programs / "agent.exe"
        for index, entry in enumerate(machine.get("files", [])):
            if entry.get("directory"):
                self.path(entry["path"]).mkdir(parents=True, exist_ok=True)
            elif "starts" in entry:
                self.write(entry["path"], self.script(index, entry["starts"]))
            elif not m.is_program(entry["path"]) or not self.path(entry["path"]).exists():
                self.write(entry["path"], entry.get("content", "").encode())
        setup = ["@echo off"]
        if machine.get("registry"):
            lines = ["Windows Registry Editor Version 5.00", ""]
            for entry in machine["registry"]:
                lines.append("[HKEY_LOCAL_MACHINE\\%s]" % entry["key"].strip("\\"))
                if "name" in entry:
                    name = entry["name"].replace("\\", "\\\\").replace('"', '\\"')
                    lines.append("%s=%s" % ('"%s"' % name if name else "@", reg_data(entry)))
                lines.append("")
            (e2e / "machine.reg").write_bytes("\r\n".join(lines).encode("utf-16"))
            setup.append(r"regedit /s C:\e2e\machine.reg")
        codes = [product["code"] for product in machine.get("products", [])]
        for number, code in enumerate(codes):
            build = self.root / ("package%d" % number)
            build.mkdir()
            (build / "payload.txt").write_text("firmware component\n")
            (build / "package.wxs").write_text(package_source(code))
            subprocess.run(["wixl", "-o", str(e2e / ("package%d.msi" % number)), "package.wxs"],
                           cwd=build, check=True, stdout=self.log, stderr=self.log, timeout=60)
            setup.append(r"msiexec /i C:\e2e\package%d.msi /qn" % number)
        (e2e / "setup.bat").write_text("\r\n".join(setup) + "\r\n")
        # Also the prefix's first process, which boots it with Wine's own wineboot.
        run(["wine", "cmd", "/c", r"C:\e2e\setup.bat"], self.env, 180, self.log)
        if codes:
            _, state = self.probe("state", *[a for code in codes for a in ("--msi", code)])
            if state["msi"] != [5] * len(codes):
                raise SetupError("the packages did not install: states %r" % state["msi"])
        for name, source in REAL.items():
            shutil.copy2(self.path(source), e2e / "real" / name)
        listed = {m.fold(entry["path"]) for entry in machine.get("files", [])}
        for place in AGENT_PLACES:
            target = self.path(place)
            if m.fold(place) in listed:
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(agent, target)
            elif target.exists():
                target.unlink()
        shutil.copy2(agent, self.path(r"C:\windows\system32\wineboot.exe"))
        shutil.copy2(agent, self.path(AGENT))
        self.write(TOOL, self.tool.read_bytes())
        plan = [self.standin("p%d" % i, key, process) for i, (key, process) in
                enumerate(zip(m.process_keys(machine), machine.get("processes", [])))]
        plan.append("tool\t" + list2cmdline([TOOL, *args]))
        (e2e / "plan.txt").write_text("\n".join(plan) + "\n", encoding="utf-8")

    def standin(self, tag, key, process):
        exe = "C:\\e2e\\exe\\%s\\%s" % (tag, m.name_of(process))
        self.write(exe, (self.programs / "agent.exe").read_bytes())
        self.tags[tag], self.titles[tag] = key, m.titles(process)
        argv = [exe, "--standin", tag]
        for title in m.titles(process):
            argv += ["--title", title]
        reaction = m.on_close(process)
        argv += ["--hang"] if reaction == "ignore" else [
            "--close-ms", str(reaction["exit_after_ms"])]
        return tag + "\t" + list2cmdline(argv)

    def script(self, index, starts):
        """A start-up script that starts its stand-ins and ends once they are all up."""
        plan = [self.standin("s%d.%d" % (index, j), m.name_of(p), p) for j, p in enumerate(starts)]
        self.write(r"C:\e2e\spawn%d.txt" % index, ("\n".join(plan) + "\n").encode())
        return ('@echo off\r\n"%s" --spawn C:\\e2e\\spawn%d.txt\r\n' % (AGENT, index)).encode()

    # ---- the run

    def run_tool(self, case, predicted, screenshots):
        """Runs the tool on the machine; returns the events, how the run ended, what the probes
        saw of its windows, and the Wine times of the run."""
        machine, checks = case["machine"], case.get("checks", [])
        user = machine.get("user", {})
        probe = self.programs / "probe.exe"
        wait = str(int((predicted["seconds"] * 1.25 + 20) * 1000))
        status_filter = ["--exe", "Fenwrack.exe", "--no-title", "--class", "#32770"]
        text = ["--text", "%d=%s" % (STATUS_CONTROL, predicted["status_text"])] \
            if predicted["status_text"] else ["--child", str(STATUS_CONTROL)]
        probes = {"status": self.start([probe, "windows", *status_filter, *text, "--wait", wait])}
        box_filter = ["--exe", "Fenwrack.exe", "--title", predicted["box_caption"] or ""]
        if predicted["box_caption"] is not None:
            probes["box"] = self.start([probe, "windows", *box_filter, "--child", str(BOX_TEXT),
                                        "--children", "--wait", wait])
        env = dict(self.env, WINEDLLOVERRIDES=DLL_OVERRIDES + RECORDING,
                   **machine.get("environment", {}))
        launcher = self.start([AGENT, "--launch", r"C:\e2e\plan.txt"], env)
        events, lines, times, found, done = self.path(EVENTS), [], {}, {}, set()
        end = request = None
        deadline = time.monotonic() + 120 + predicted["seconds"] * 1.25
        key = user.get("status_window_key")
        failures = []
        while end is None:
            now = time.monotonic()
            # Looked at before the events are read: a launcher that has ended wrote them all.
            launcher_gone = launcher.poll() is not None
            text = events.read_bytes().decode("utf-8", "replace") if events.is_file() else ""
            for line in text.split("\n")[len(lines):-1]:
                lines.append(line)
                if line == "start tool":
                    times["start"] = now
                    deadline = now + 20 + predicted["seconds"] * 1.25
                elif line.startswith("exit tool "):
                    end, times["end"] = "exit " + line.split()[2], now
                elif line.startswith("run wineboot.exe") and request is None:
                    request, times["request"] = line, now
                elif line.startswith("failed "):
                    raise SetupError("the launcher could not start %s" % line)
            for name, process in probes.items():
                if name not in found and process.poll() is not None:
                    found[name] = parse(process.stdout.read().decode(), "probe " + name)
                    times[name] = now
            if "box" in found and "click" not in done and found["box"]["found"]:
                delay = user.get("closes_usage_box_after_ms", 1000)
                if delay is not None and now >= times["box"] + delay / 1000:
                    self.probe("click", *box_filter, "--id", "1")
                    done.add("click")
            if key and "start" in times and "key" not in done and \
                    now >= times["start"] + key["after_ms"] / 1000:
                self.probe("post", *status_filter, "--message", key["key"].lower())
                done.add("key")
                if "status_window_key" in checks and not self.gone(status_filter):
                    failures.append("status_window_key: the status window did not close")
            if screenshots and "shot" not in done and set(found) == set(probes) and \
                    now >= max(times.values()) + 0.7:
                for name in screenshots:
                    self.screenshot(name)
                done.add("shot")
            if request and end is None and now >= times["request"] + 3:
                args = after_program(request.split(" ", 2)[2])
                end = ("power-off " if "--shutdown" in args else "reboot ") + args
            if end is None and launcher_gone:
                raise SetupError("the launcher ended before Fenwrack.exe (see %s)" % self.log.name)
            if end is None and now > deadline:
                end = "stuck"
            time.sleep(0.05)
        # What the tool started goes on after its end. Waiting for as many starts as the
        # simulator saw only bounds the wait: a start that Wine makes late still counts.
        quiet_since = time.monotonic()
        while time.monotonic() < quiet_since + (1 if settled(lines, predicted) else 20):
            time.sleep(0.05)
            more = events.read_bytes().decode("utf-8", "replace").split("\n")[:-1]
            if len(more) > len(lines):
                lines, quiet_since = more, time.monotonic()
        for process in probes.values():
            process.kill()
        return lines, end, found, times, failures

    def gone(self, status_filter):
        for _ in range(50):
            if self.probe("windows", *status_filter)[0] == 1:
                return True
            time.sleep(0.2)
        return False

    def screenshot(self, name):
        self.shots.mkdir(parents=True, exist_ok=True)
        # Without the time chunks the same screen gives the same file.
        run(["import", "-display", self.screen.display, "-window", "root", "-define",
             "png:exclude-chunk=date,time", self.shots / (name + ".png")], self.env, 30, self.log)

    def observe(self, machine, lines, end, found, files, values):
        """The run in the comparison's terms; actions in the order Wine logged them."""
        window_keys = m.window_keys(machine)
        obs = {"end": end, "processes": {key: "running" for key in m.process_keys(machine)},
               "close_requests": {w: 0 for keys in window_keys for w in keys}}
        order, over = [], False
        for line in lines:
            word, _, rest = line.partition(" ")
            tag, _, detail = rest.partition(" ")
            if word == "run" and tag.lower() == "wineboot.exe":
                order.append("request " + after_program(detail))
                over = over or not end.startswith("exit")
            elif word == "run":
                order.append("run %s %s" % (tag.lower(), detail))
            elif word == "start" and tag.startswith("s"):
                order.append("start " + self.tags[tag])
            elif line.startswith("exit tool"):
                over = True
            elif over or not tag.startswith("p"):
                continue
            elif word == "close":
                window = window_keys[int(tag[1:])][int(detail)]
                obs["close_requests"][window] += 1
                order.append("close " + window)
            elif word == "exit":
                code = int(detail)
                obs["processes"][self.tags[tag]] = "ended" if code == m.CLOSED_BY_ITSELF else \
                    "terminated %d" % code
                if code != m.CLOSED_BY_ITSELF:
                    order.append("terminate %s %d" % (self.tags[tag], code))
        obs["started"] = sorted(a for a in order if a.startswith(("run", "start")))
        obs["files"] = {}
        scripts = {m.fold(f["path"]) for f in machine.get("files", []) if "starts" in f}
        for path in files:
            target = self.path(path)
            obs["files"][path] = (None if not target.exists() else "directory" if target.is_dir()
                                  else "program" if m.is_program(path)
                                  else "script" if m.fold(path) in scripts
                                  else target.read_bytes().decode("utf-8", "replace"))
        codes = [p["code"] for p in machine.get("products", [])]
        _, state = self.probe("state", *[a for key, name in values for a in ("--reg", key, name)],
                              *[a for code in codes for a in ("--msi", code)])
        obs["registry"] = {"%s\\%s" % v: reg_value(r) for v, r in zip(values, state["reg"])}
        obs["products"] = dict(zip(codes, state["msi"]))
        status = found.get("status", {"windows": []})["windows"][:1]
        obs["status_window"] = {
            "x": status[0]["x"], "y": status[0]["y"], "width": status[0]["width"],
            "height": status[0]["height"], "text": status[0]["child_text"][str(STATUS_CONTROL)],
            "topmost": bool(int(status[0]["exstyle"], 16) & WS_EX_TOPMOST)} if status else None
        box = found.get("box", {"windows": []})["windows"][:1]
        obs["usage_box"] = {"caption": box[0]["title"],
                            "text": box[0]["child_text"][str(BOX_TEXT)]} if box else None
        return obs, order


def settled(lines, predicted):
    """Every forwarded program has ended, and as many programs started as predicted."""
    def count(*prefixes):
        return sum(line.startswith(prefixes) for line in lines)
    return (count("run cmd.exe", "run regedit.exe") == count("done cmd.exe", "done regedit.exe")
            and count("run ", "start s") - count("run wineboot.exe") >= predicted["started"])


def after_program(command_line):
    """A command line without the program's own name."""
    line = command_line.strip()
    at = line.find('"', 1) + 1 if line.startswith('"') else (line + " ").find(" ")
    return line[at:].strip()


def parse(out, what):
    lines = [line for line in out.splitlines() if line.strip()]
    if not lines:
        raise SetupError("%s printed nothing" % what)
    return json.loads(lines[-1])
