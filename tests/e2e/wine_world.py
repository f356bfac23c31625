"""The Wine world: a machine file made into a Wine prefix, the shipped Fenwrack.exe run in it,
and what the prefix shows afterwards, in the terms the comparison uses."""

import contextlib
import json
import os
import re
import shutil
import stat
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
CAPTURE = r"C:\e2e\fenwrack-capture.exe"
OWN = ("agent.exe", "Fenwrack.exe")  # the suite's processes and the tool, never the machine's
EVENTS = r"C:\e2e\events.txt"
# Programs the tool starts: the agent plays them where the machine lists them, and they are gone
# where it does not. As cmd.exe and regedit.exe it hands on to Wine's own, kept in C:\e2e\real.
AGENT_PLACES = [r"C:\WINNT\system32\cmd.exe", r"C:\windows\regedit.exe",
                r"C:\windows\system32\msiexec.exe", r"C:\WINNT\system32\msiexec.exe"]
REAL = {"cmd.exe": r"C:\windows\system32\cmd.exe", "regedit.exe": r"C:\windows\regedit.exe"}
STATUS_CONTROL, BOX_TEXT = 1001, 65535
WS_EX_TOPMOST = 0x8


class SetupError(Exception):
    """Something the suite needs is missing or did not work: never a pass."""


def env_for(root, display=None, **extra):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(root / "home"),
           "TMPDIR": str(root / "tmp"), "WINEPREFIX": str(root / "prefix"), "WINEDEBUG": "-all",
           "WINEDLLOVERRIDES": DLL_OVERRIDES, "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}
    screen = {k: os.environ[k] for k in ("DISPLAY", "XAUTHORITY") if display and k in os.environ}
    return dict(env, **screen, **extra)


def run(argv, env, timeout, log, check=True, out=PIPE):
    try:
        done = subprocess.run([str(a) for a in argv], env=env, stdin=DEVNULL, stdout=out,
                              stderr=log, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise SetupError("%s did not end within %d s" % (" ".join(map(str, argv[:3])), timeout))
    if check and done.returncode != 0:
        raise SetupError("%s ended with %d" % (" ".join(map(str, argv[:3])), done.returncode))
    return done.returncode


def require_tools(*names):
    if [name for name in names if shutil.which(name) is None]:
        raise SetupError("missing on this machine: one of %s (Debian packages: wine wine64 "
                         "fonts-wine xvfb imagemagick msitools wixl)" % ", ".join(names))


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
        return 0

    def remove(self):
        if self.root.exists():
            subprocess.run(["wineserver", "-k"], env=env_for(self.root), stderr=DEVNULL, timeout=30)
            shutil.rmtree(self.root, ignore_errors=True)
        return 0


def reg_data(entry):
    kind, data = entry["type"], entry["data"]
    if kind == "REG_DWORD":
        return "dword:%08x" % data
    if kind == "REG_SZ":
        return '"%s"' % data.replace("\\", "\\\\").replace('"', '\\"')
    raw = (data.to_bytes(8, "little") if kind == "REG_QWORD"
           else bytes.fromhex(data) if isinstance(data, str) else bytes(data))
    return ("hex(b):" if kind == "REG_QWORD" else "hex:") + ",".join("%02x" % b for b in raw)


def package_source(code):
    names = {key: str(uuid.uuid5(uuid.NAMESPACE_URL, code + key)).upper() for key in "ucd"}
    return """<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Product Id="%s"
 Name="Fenwrack E2E %s" Language="1033" Version="1.0.0" Manufacturer="Fenwrack E2E"
 UpgradeCode="{%s}"><Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
 <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/><Directory Id="TARGETDIR" Name="SourceDir">
 <Directory Id="ProgramFilesFolder"><Directory Id="INSTALLDIR" Name="FenwrackE2E-%s">
 <Component Id="Payload" Guid="{%s}"><File Id="PayloadFile" Name="payload.txt"
 Source="payload.txt" KeyPath="yes"/></Component></Directory></Directory></Directory>
 <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature></Product></Wix>
""" % (code, code, names["u"], names["d"][:8], names["c"])


class Prefix:
    """One case's copy of the template, its processes and its clean-up."""

    def __init__(self, work, name, windows_dir, screen=False):
        self.work, self.tool = Path(work), Path(windows_dir) / "Fenwrack.exe"
        self.agent = Path(windows_dir) / "tests/e2e/programs/agent.exe"
        self.root = self.work / "cases" / name / "wine"
        self.drive_c = self.root / "prefix" / "drive_c"
        self.screen, self.processes = screen, []

    def __enter__(self):
        for program in [p for p in (self.agent, self.tool,
                                    self.tool.parent / "fenwrack-capture.exe") if not p.is_file()]:
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
        if self.screen:
            if not os.environ.get("DISPLAY"):
                raise SetupError("screenshots need a screen: run under xvfb-run -a -s '-screen 0 "
                                 "1024x768x24'")
            user_reg = self.root / "prefix" / "user.reg"
            # No window manager runs: unmanaged windows get their captions drawn by Wine itself.
            user_reg.write_text(user_reg.read_text(errors="surrogateescape").replace(
                '"Graphics"="null"', '"Graphics"="x11"') + '\n[Software\\\\Wine\\\\X11 Driver]'
                ' 1700000000\n"Managed"="N"\n', errors="surrogateescape")
        self.env = env_for(self.root, bool(self.screen))
        # One server for the whole case: a new one would boot the prefix again mid-run.
        run(["wineserver", "-p"], self.env, 30, self.log)
        return self

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=self.log, stderr=self.log,
                       timeout=30)
        for process in self.processes:
            process.kill()
            process.wait()
        self.log.close()
        if not os.environ.get("FENWRACK_E2E_KEEP"):
            shutil.rmtree(self.root / "prefix", ignore_errors=True)

    def rebooted(self, timeout=240):
        """Waits until Wine's wineboot has booted this prefix again: a program started meanwhile
        may fail to start (error 1359) while the boot makes the prefix's system files anew."""
        mine = b"WINEPREFIX=%s" % str(self.root / "prefix").encode()
        def booting(proc):
            with contextlib.suppress(OSError):  # ended meanwhile, or not ours to read
                return b"wineboot" in (proc / "cmdline").read_bytes() and \
                    mine in (proc / "environ").read_bytes().split(b"\0")
        for _ in range(timeout * 10):
            if not any(booting(proc) for proc in Path("/proc").glob("[0-9]*")):
                return
            time.sleep(0.1)
        raise SetupError("the prefix was not booted again within %d s" % timeout)

    def path(self, windows_path):
        """The file in this prefix; existing names match without regard to case, as on Windows."""
        here = self.drive_c
        for part in m.windows_parts(windows_path)[1:]:
            same = [c for c in here.iterdir() if c.name.upper() == part.upper()] \
                if here.is_dir() else []
            here = same[0] if same else here / part
        return here

    def files(self):
        """Every file of drive C outside the suite's folder, with its size and time."""
        return {str(f): (f.stat().st_size, f.stat().st_mtime_ns) for f in self.drive_c.rglob("*")
                if not f.is_relative_to(self.path(r"C:\e2e"))}

    def write(self, windows_path, data):
        self.path(windows_path).parent.mkdir(parents=True, exist_ok=True)
        self.path(windows_path).write_bytes(data)

    def start(self, argv, env=None):
        process = subprocess.Popen(["wine", *map(str, argv)], env=env or self.env, stdin=DEVNULL,
                                   stdout=PIPE, stderr=self.log)
        self.processes.append(process)
        return process

    # ---- the machine, made

    def materialize(self, machine, args):
        self.tags = {}  # a stand-in's tag: its process's key, or the name a script started
        self.ends = {}  # a stand-in's tag: whether it ends after a close request
        e2e = self.path(r"C:\e2e")
        (e2e / "real").mkdir(parents=True)
        shutil.copy2(self.agent, self.path(AGENT))
        shutil.copy2(self.tool.parent / "fenwrack-capture.exe", self.path(CAPTURE))
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
            (build := self.root / ("package%d" % number)).mkdir()
            (build / "payload.txt").write_text("firmware component\n")
            (build / "package.wxs").write_text(package_source(code))
            subprocess.run(["wixl", "-o", str(e2e / ("package%d.msi" % number)), "package.wxs"],
                           cwd=build, check=True, stdout=self.log, stderr=self.log, timeout=60)
            setup.append(r"msiexec /i C:\e2e\package%d.msi /qn" % number)
        (e2e / "setup.bat").write_text("\r\n".join(setup) + "\r\n")
        # Also the prefix's first process, which boots it with Wine's own wineboot.
        run(["wine", "cmd", "/c", r"C:\e2e\setup.bat"], self.env, 180, self.log)
        for name, source in REAL.items():
            shutil.copy2(self.path(source), e2e / "real" / name)
        listed = {m.fold(entry["path"]) for entry in machine.get("files", [])}
        for place in AGENT_PLACES + [r"C:\windows\system32\wineboot.exe"]:
            if m.fold(place) in listed or place.endswith("wineboot.exe"):
                self.write(place, self.agent.read_bytes())
            elif self.path(place).exists():
                self.path(place).unlink()
        self.write(TOOL, self.tool.read_bytes())
        for entry in machine.get("files", []):
            if not entry.get("protected", True):  # Wine gives others the rights 0x1301ff
                made = self.path(entry["path"])
                made.chmod(made.stat().st_mode | stat.S_IWOTH)
        self.baseline = self.capture("baseline", self.env)
        installed = m.projection(self.baseline)["products"]
        if any(installed.get(code.upper()) != 5 for code in codes):
            raise SetupError("the packages did not install: %r" % installed)
        plan = [self.standin("p%d" % i, key, process) for i, (key, process) in
                enumerate(zip(m.process_keys(machine), machine.get("processes", [])))]
        if args is not None:  # else only the stand-ins
            plan += ["capture\t%s C:\\e2e\\before.json" % CAPTURE,
                     "tool\t" + list2cmdline([TOOL, *args])]
        (e2e / "plan.txt").write_bytes("\n".join(plan).encode("utf-16-le"))

    def stand_ins_up(self, machine):
        """The machine made, with its processes up and no tool."""
        self.materialize(machine, None)
        self.start([AGENT, "--launch", r"C:\e2e\plan.txt"])
        for _ in range(600):
            text = self.path(EVENTS).read_text() if self.path(EVENTS).is_file() else ""
            if "failed " in text or text.count("start p") == len(machine.get("processes", [])):
                return text
            time.sleep(0.1)
        raise SetupError("the stand-ins did not come up: %r" % text)

    def standin(self, tag, key, process):
        exe = "C:\\e2e\\exe\\%s\\%s" % (tag, m.name_of(process))
        self.write(exe, self.agent.read_bytes())
        self.tags[tag] = key
        reaction = m.on_close(process)
        self.ends[tag] = isinstance(reaction, dict)
        argv = [exe, "--standin", tag, *[a for t in m.titles(process) for a in ("--title", t)],
                "--close-ms", reaction["exit_after_ms"] if self.ends[tag] else
                -2 if reaction == "hung" else -1]
        return tag + "\t" + list2cmdline(map(str, argv))

    def script(self, index, starts):
        """A start-up script that starts its stand-ins and ends once they are all up."""
        plan = [self.standin("s%d.%d" % (index, j), m.name_of(p), p) for j, p in enumerate(starts)]
        self.write(r"C:\e2e\spawn%d.txt" % index, "\n".join(plan).encode("utf-16-le"))
        return ('@echo off\r\n"%s" --spawn C:\\e2e\\spawn%d.txt\r\n' % (AGENT, index)).encode()

    # ---- the run

    def run_tool(self, case, predicted, screenshots):
        """Runs the tool on the machine; returns the events, how the run ended, the tool's
        windows as last seen (the status window, the usage box) and the Wine times of the run."""
        machine = case["machine"]
        user = machine.get("user", {})
        close, key = user.get("closes_usage_box_after_ms", 1000), user.get("status_window_key")
        launch = [AGENT, "--launch", r"C:\e2e\plan.txt", *(["--close-box", close] if close is not
                  None else []), *(["--key", key["key"].lower(), key["after_ms"]] if key else [])]
        env = dict(self.env, WINEDLLOVERRIDES=DLL_OVERRIDES + RECORDING,
                   **machine.get("environment", {}))
        launcher = self.start(launch, env)
        events, lines, times, found = self.path(EVENTS), [], {}, {}
        end = request = None
        deadline = time.monotonic() + 120 + predicted["seconds"] * 1.25
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
                elif line.startswith("window ") and request is None:
                    window = parse_window(line)
                    ids = [child["id"] for child in window["children"]]
                    kind = "box" if BOX_TEXT in ids else "status" if STATUS_CONTROL in ids \
                        else "other"
                    found[kind] = window
                    times.setdefault(kind, now)
            wanted = {"status", "box"} if predicted["box_caption"] is not None else {"status"}
            if screenshots and "shot" not in times and wanted <= set(found) and \
                    now >= max(times[k] for k in wanted) + 0.7:
                for name in screenshots:
                    self.screenshot(name)
                times["shot"] = now
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
        while time.monotonic() < quiet_since + (1 if settled(lines, predicted, self.ends) else 20):
            time.sleep(0.05)
            more = events.read_bytes().decode("utf-8", "replace").split("\n")[:-1]
            if len(more) > len(lines):
                lines, quiet_since = more, time.monotonic()
        return lines, end, found, times

    def capture(self, name, env):
        """The prefix as fenwrack-capture.exe sees it, as a machine file."""
        code = run(["wine", CAPTURE, "C:\\e2e\\%s.json" % name], env, 60, self.log, check=False)
        if code != 0:
            raise SetupError("fenwrack-capture.exe ended with %d (see %s)" % (code, self.log.name))
        return json.loads(self.path("C:\\e2e\\%s.json" % name).read_text())

    def screenshot(self, name):
        self.shots.mkdir(parents=True, exist_ok=True)
        # Without the time chunks the same screen gives the same file.
        run(["import", "-window", "root", "-define",
             "png:exclude-chunk=date,time", self.shots / (name + ".png")], self.env, 30, self.log)

    def observe(self, machine, lines, end, found):
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
        if "done capture 0" not in lines:
            raise SetupError("the capture before the tool failed (see %s)" % self.path(EVENTS))
        captures = (json.loads(self.path(r"C:\e2e\before.json").read_text()),
                    self.capture("after", dict(self.env, **machine.get("environment", {}))))
        self.after = without(captures[1], self.baseline)
        obs["before"], obs["after"] = [m.projection(without(c, self.baseline)) for c in captures]
        status = found.get("status")
        obs["status_window"] = status and dict(
            {k: status[k] for k in ("x", "y", "width", "height")},
            text=child_text(status, STATUS_CONTROL),
            topmost=bool(status["exstyle"] & WS_EX_TOPMOST))
        box = found.get("box")
        obs["usage_box"] = box and {"caption": box["title"], "text": child_text(box, BOX_TEXT)}
        return obs, order


def settled(lines, predicted, ends):
    """Every forwarded program has ended, as many programs started as predicted, and every
    stand-in that ends after a close request has ended."""
    def count(*prefixes):
        return sum(line.startswith(prefixes) for line in lines)
    def tags(word):
        return {line.split()[1] for line in lines if line.startswith(word + " p")}
    return (count("run cmd.exe", "run regedit.exe") == count("done cmd.exe", "done regedit.exe")
            and count("run ", "start s") - count("run wineboot.exe") >= predicted["started"]
            and all(tag in tags("exit") for tag in tags("close") if ends[tag]))


def without(capture, baseline):
    """A capture without Wine's own processes (those of the baseline, each name's first
    occurrences: a machine may have an explorer.exe too) and the suite's."""
    left = list(capture["processes"])
    for name in [p["name"] for p in baseline["processes"]]:
        same = [p for p in left if p["name"] == name]
        if same:
            left.remove(same[0])
    return dict(capture, processes=[p for p in left if p["name"] not in OWN])


def after_program(command_line):
    """A command line without the program's own name."""
    line = command_line.strip()
    at = line.find('"', 1) + 1 if line.startswith('"') else (line + " ").find(" ")
    return line[at:].strip()


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "n": "\n"}.get(m.group(1), m.group(1)), text)


def child_text(window, number):
    return next(c["text"] for c in window["children"] if c["id"] == number)


def parse_window(line):
    """The agent's description of a window."""
    head, title, *parts = line[len("window "):].split("\t")
    hwnd, kind, style, exstyle, x, y, width, height = head.split(" ")
    children = [{"id": int(n), "class": k, "style": int(s), "text": unescape(t)}
                for n, k, s, t in ((part.split(" ", 3) + [""])[:4] for part in parts)]
    return {"hwnd": hwnd, "class": kind, "style": int(style), "exstyle": int(exstyle),
            "x": int(x), "y": int(y), "width": int(width), "height": int(height),
            "title": unescape(title), "children": children}
