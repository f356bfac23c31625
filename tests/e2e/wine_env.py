"""Wine prefixes, processes and screens for the end-to-end suite (standard library only)."""

import json
import os
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

# Keeps Wine from installing Mono and Gecko and from writing menu entries.
DLL_OVERRIDES = "winemenubuilder.exe=d;mscoree,mshtml="


class CaseFailure(Exception):
    """The system under test did not do what the case expects."""


class CaseTimeout(CaseFailure):
    """The case ran out of its own time budget."""


class SetupError(CaseFailure):
    """Something the suite needs is missing; never a pass."""


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


def require_tools(*names):
    missing = [name for name in names if shutil.which(name) is None]
    if missing:
        raise SetupError(
            "missing on this machine: %s (Debian packages: wine wine64 fonts-wine xvfb "
            "imagemagick msitools wixl)" % ", ".join(missing))


def require_file(path, how_to_get_it):
    if not Path(path).is_file():
        raise SetupError("%s is missing: %s" % (path, how_to_get_it))


def wine_environment(prefix, home, tmp, display=None):
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("WINE") and key != "DISPLAY"}
    env.update(WINEPREFIX=str(prefix), HOME=str(home), TMPDIR=str(tmp), WINEDEBUG="-all",
               WINEDLLOVERRIDES=DLL_OVERRIDES, LANG="C.UTF-8", LC_ALL="C.UTF-8")
    if display is not None:
        env["DISPLAY"] = display
    return env


def run(argv, env, timeout, log=None, check_rc=True):
    """Runs a command to its end; its output goes to the log, stdout is returned."""
    try:
        done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=log or subprocess.DEVNULL, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise CaseFailure("%s did not end within %s s" % (" ".join(map(str, argv)), timeout))
    if check_rc and done.returncode != 0:
        raise CaseFailure("%s ended with %d" % (" ".join(map(str, argv)), done.returncode))
    return done.returncode, done.stdout.decode("utf-8", "replace")


class Template:
    """The prefix every case copies: made once per suite run by the fixture."""

    def __init__(self, work):
        self.root = Path(work) / "template"
        self.prefix = self.root / "prefix"
        self.stamp = self.root / "ready"

    def create(self):
        require_tools("wine", "wineboot", "wineserver")
        if self.prefix.exists():
            self._stop_server()
            shutil.rmtree(self.root)
        home, tmp = self.root / "home", self.root / "tmp"
        for folder in (home, tmp):
            folder.mkdir(parents=True)
        env = wine_environment(self.prefix, home, tmp)
        with open(self.root / "wine.log", "wb") as log:
            started = time.monotonic()
            run(["wineboot", "-i"], env, timeout=240, log=log)
            # No screen in most cases: Wine's null display driver still makes real windows.
            run(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d",
                 "null", "/f"], env, timeout=60, log=log)
            # A crashing program must fail its case, not wait for someone to close a dialog.
            run(["wine", "reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
                 "/t", "REG_DWORD", "/d", "0", "/f"], env, timeout=60, log=log)
            drive_c = self.prefix / "drive_c"
            # Debian's Wine does not find the fonts of fonts-wine by itself.
            fonts = drive_c / "windows" / "Fonts"
            for font in Path("/usr/share/wine/fonts").glob("*.ttf"):
                shutil.copy2(font, fonts / font.name)
            # The firmware is started through this interpreter and no other.
            winnt = drive_c / "WINNT" / "system32"
            winnt.mkdir(parents=True)
            shutil.copy2(drive_c / "windows" / "system32" / "cmd.exe", winnt / "cmd.exe")
            # The registry reaches the disk only when the server ends.
            run(["wineserver", "-w"], env, timeout=120, log=log)
        self.stamp.write_text("%.1f\n" % (time.monotonic() - started))
        return time.monotonic() - started

    def _stop_server(self):
        env = wine_environment(self.prefix, self.root / "home", self.root / "tmp")
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)

    def remove(self):
        if self.root.exists():
            self._stop_server()
            shutil.rmtree(self.root, ignore_errors=True)

    def require(self):
        if not self.stamp.is_file():
            raise SetupError("no prefix template at %s: the fixture test e2e.prefix must run "
                             "first (ctest runs it for any e2e case)" % self.prefix)


class Xvfb:
    """A private X screen, only for the cases that take screenshots."""

    def __init__(self, log):
        require_tools("Xvfb", "import")
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-noreset",
             "-nolisten", "tcp"], pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log,
            stderr=log)
        os.close(write_end)
        # The number and its line end come in two writes; a pipe closed between them kills Xvfb.
        reported = b""
        deadline = time.monotonic() + 20
        try:
            while not reported.endswith(b"\n") and time.monotonic() < deadline:
                ready, _, _ = select.select([read_end], [], [], 1)
                chunk = os.read(read_end, 32) if ready else b""
                if ready and not chunk:
                    break
                reported += chunk
        finally:
            os.close(read_end)
        number = reported.decode().strip()
        if not number.isdigit():
            self.stop()
            raise SetupError("Xvfb did not report a display")
        self.display = ":" + number

    def screenshot(self, path, env):
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        # Without the time chunks the same screen gives the same file.
        run(["import", "-display", self.display, "-window", "root", "-define",
             "png:exclude-chunk=date,time", str(path)], env, timeout=30)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Session:
    """One case's own prefix (a copy of the template), its processes and its clean-up."""

    def __init__(self, name, config, screen=False):
        self.name = name
        self.config = config
        self.root = Path(config.work) / "cases" / name
        self.prefix = self.root / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self.started = time.monotonic()
        self.processes = []
        self.watched = []  # what a failed case describes
        self.screen = None
        self.want_screen = screen

    # ---- life cycle

    def __enter__(self):
        self.template = Template(self.config.work)
        self.template.require()
        if self.root.exists():
            shutil.rmtree(self.root)
        for folder in ("home", "tmp"):
            (self.root / folder).mkdir(parents=True)
        self.log = open(self.root / "wine.log", "wb")
        self.env = wine_environment(self.prefix, self.root / "home", self.root / "tmp")
        try:
            self._prepare()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _prepare(self):
        copied = time.monotonic()
        subprocess.run(["cp", "-a", str(self.template.prefix), str(self.prefix)], check=True)
        self.note("prefix copied in %.1f s" % (time.monotonic() - copied))
        display = None
        if self.want_screen:
            self.screen = Xvfb(self.log)
            display = self.screen.display
            self._use_display_driver("x11")
            self.note("Xvfb on %s" % display)
        self.env = wine_environment(self.prefix, self.root / "home", self.root / "tmp", display)
        # One server for the whole case: a new one would boot the prefix again through
        # wineboot, in the middle of whatever the case watches.
        run(["wineserver", "-p"], self.env, timeout=30, log=self.log)

    def __exit__(self, kind, value, trace):
        # The clean-up has time limits of its own; the case's must not cut it short.
        signal.alarm(0)
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=self.log, stderr=self.log,
                       timeout=30)
        for process in self.processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if self.screen:
            self.screen.stop()
        self.log.close()
        if not os.environ.get("FENWRACK_E2E_KEEP"):
            shutil.rmtree(self.prefix, ignore_errors=True)
        return False

    def _use_display_driver(self, driver):
        user_reg = self.prefix / "user.reg"
        text = user_reg.read_text(encoding="utf-8", errors="surrogateescape")
        check('"Graphics"="null"' in text, "template has no display driver entry")
        text = text.replace('"Graphics"="null"', '"Graphics"="%s"' % driver)
        if driver == "x11":
            # No window manager runs: unmanaged windows get their captions drawn by Wine itself.
            text += '\n[Software\\\\Wine\\\\X11 Driver] 1700000000\n"Managed"="N"\n'
        user_reg.write_text(text, encoding="utf-8", errors="surrogateescape")

    # ---- reporting

    def elapsed(self):
        return time.monotonic() - self.started

    def note(self, text):
        print("[%6.2f] %s" % (self.elapsed(), text), flush=True)

    # ---- paths

    def unix(self, windows_path):
        """C:\\a\\b -> the file in this prefix."""
        drive, _, rest = windows_path.partition(":\\")
        check(drive.upper() == "C", "not on drive C: " + windows_path)
        return self.drive_c.joinpath(*[part for part in rest.split("\\") if part])

    def write(self, windows_path, data):
        path = self.unix(windows_path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data if isinstance(data, bytes) else data.encode("ascii"))
        return path

    # ---- processes

    def wine(self, argv, timeout=60, env=None, check_rc=True):
        return run(["wine", *map(str, argv)], env or self.env, timeout, self.log, check_rc)

    def start(self, argv, env=None, cwd=None):
        process = subprocess.Popen(["wine", *map(str, argv)], env=env or self.env, cwd=cwd,
                                   stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        self.processes.append(process)
        return process

    def start_capture(self, argv):
        """Starts a program whose report is read later with finish_capture."""
        process = subprocess.Popen(["wine", *map(str, argv)], env=self.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=self.log)
        self.processes.append(process)
        return process

    def finish_capture(self, process, timeout):
        try:
            out, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise CaseFailure("a watching probe did not end within %s s" % timeout)
        lines = [line for line in out.decode("utf-8", "replace").splitlines() if line.strip()]
        check(lines, "a watching probe reported nothing (exit %s)" % process.returncode)
        return json.loads(lines[-1])

    def probe(self, *args, timeout=60):
        """Runs the probe; returns its exit code and its parsed report."""
        rc, out = self.wine([self.config.program("probe.exe"), *args], timeout=timeout,
                            check_rc=False)
        lines = [line for line in out.splitlines() if line.strip()]
        if rc == 2 or not lines:
            raise CaseFailure("probe %s: exit code %d, output %r" % (" ".join(args), rc, out))
        return rc, json.loads(lines[-1])

    def wait_for(self, what, test, timeout, interval=0.1):
        deadline = time.monotonic() + timeout
        while True:
            result = test()
            if result:
                return result
            if time.monotonic() >= deadline:
                raise CaseFailure("%s: not within %.0f s" % (what, timeout))
            time.sleep(interval)


def install_alarm(seconds):
    """Turns the case's own time budget into a failure that still runs the clean-up."""

    def expire(signum, frame):
        raise CaseTimeout("the case's time budget of %d s ran out" % seconds)

    signal.signal(signal.SIGALRM, expire)
    signal.signal(signal.SIGTERM, expire)
    signal.alarm(seconds)
