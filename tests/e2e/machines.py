"""Machine files as both worlds see them: what a Wine prefix can be given, the names the
comparison uses for processes and windows, and random machines within what Wine can be given."""

import random
import re
import string
from pathlib import Path

CLOSED_BY_ITSELF = 100  # exit code of a stand-in that ended after a close request
DEFAULT_ON_CLOSE = {"exit_after_ms": 100}
RESERVED = (r"C:\E2E", r"C:\FENWRACK")  # the suite's own folders in the prefix


def drive_c_path(value):
    parts = re.split(r"[\\/]+", value) if isinstance(value, str) else [""]
    return (re.fullmatch(r"[cC]:", parts[0]) is not None
            and not any(re.search(r'[:*?"<>|\x00-\x1f]', part) for part in parts[1:])
            and not any((fold(value) + "\\").startswith(r + "\\") for r in RESERVED))


def windows_parts(path):
    """The folders and name that Windows makes of a path: separators, . and .., one dot that
    ends a folder's name, and the dots and blanks that end the path."""
    parts, names = [], re.split(r"[\\/]+", path)[1:]
    for at, part in enumerate(names):
        if part not in (".", ".."):
            part = part.rstrip(". ") if at == len(names) - 1 else part.removesuffix(".")
        if part == "..":
            parts = parts[:-1]
        elif part not in ("", "."):
            parts.append(part)
    return ["C:"] + parts


def file_name(value):
    return isinstance(value, str) and re.fullmatch(r'[^\\/:*?"<>|\x00-\x1f]+', value) is not None


def title(value):
    return isinstance(value, str) and '"' not in value and "\x00" not in value


def kind(*types):
    return lambda v: isinstance(v, types) and not (isinstance(v, bool) and bool not in types)


def only(*values):
    return lambda v: any(v is x or (v == x and type(v) is type(x)) for x in values)


PROCESS = {
    "": kind(str, dict), "/name": file_name, "/pid": kind(int), "/windows": kind(list),
    "/windows/*": lambda v: title(v) or isinstance(v, dict), "/windows/*/title": title,
    "/on_close": lambda v: v == "ignore" or isinstance(v, dict),
    "/on_close/exit_after_ms": lambda v: kind(int)(v) and 0 <= v <= 600000,
    "/can_open": only(True), "/can_terminate": only(True),
}
# Every place in a machine file that a Wine prefix can be given, with the values it can take
# (JSON pointers; * is any index or name). Anything else is refused before a case runs.
SUPPORTED = {
    "": kind(dict), "/environment": kind(dict), "/environment/*": kind(str),
    "/files": kind(list), "/files/*": kind(dict), "/files/*/path": drive_c_path,
    "/files/*/directory": kind(bool), "/files/*/content": kind(str),
    "/files/*/starts": kind(list), "/files/*/readable": only(True), "/files/*/writable": only(True),
    "/files/*/protected": kind(bool),
    "/registry": kind(list), "/registry/*": kind(dict),
    "/registry/*/key": lambda v: isinstance(v, str) and v.strip("\\") != "",
    "/registry/*/name": kind(str), "/registry/*/data": kind(str, int, list),
    "/registry/*/type": only("REG_DWORD", "REG_QWORD", "REG_SZ", "REG_BINARY"),
    "/registry/*/data/*": kind(int),
    "/processes": lambda v: isinstance(v, list) and len(v) <= 60,
    **{"/processes/*" + key: check for key, check in PROCESS.items()},
    **{"/files/*/starts/*" + key: check for key, check in PROCESS.items()},
    "/products": kind(list), "/products/*": kind(dict),
    "/products/*/code": lambda v: isinstance(v, str) and re.fullmatch(
        r"\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}", v) is not None,
    "/products/*/state": only(5), "/products/*/removal_works": only(True),
    "/system": kind(dict), "/system/power_off": only("accept"), "/system/reboot": only("accept"),
    "/system/windows_folder": lambda v: isinstance(v, str) and v.upper() == r"C:\WINDOWS",
    "/system/interpreter_ms": kind(int), "/system/installer_ms": kind(int),
    "/system/registry_editor_ms": kind(int),
    "/user": kind(dict), "/user/closes_usage_box_after_ms": lambda v: v is None or kind(int)(v),
    "/user/status_window_key": kind(dict), "/user/status_window_key/after_ms": kind(int),
    "/user/status_window_key/key": only("Escape", "Enter"), "/faults": only({}),
}


def refusal(machine, pointer="", pattern=""):
    """The first place of the machine that Wine cannot be given, as 'pointer: why', or None."""
    check = SUPPORTED.get(pattern)
    if check is None:
        return "%s: a Wine prefix cannot be given this" % (pointer or "/")
    if not check(machine):
        return "%s: a Wine prefix cannot be given %.60r" % (pointer or "/", machine)
    children = (machine.items() if isinstance(machine, dict)
                else enumerate(machine) if isinstance(machine, list) else ())
    for key, value in children:
        star = pattern + "/*"
        child = star if star in SUPPORTED and (isinstance(key, int) or pattern in (
            "/environment",)) else pattern + "/" + str(key)
        found = refusal(value, "%s/%s" % (pointer, key), child)
        if found:
            return found
    if pattern == "/files/*" and machine.get("starts") is not None and "content" in machine:
        return pointer + "/content: a script with starts is written by the suite"
    if pattern == "" and len({fold(f["path"]) for f in machine.get("files", [])}) < len(
            machine.get("files", [])):
        return "/files: two entries name one path"
    if pattern == "/environment" and any(name.upper().startswith("WINE") for name in machine):
        return pointer + ": Wine's own variables cannot be set"
    return None


def fold(path):
    return "\\".join(windows_parts(path)).upper()


def is_program(path):
    """A program of the system's folders: Wine has its own, so only its presence is compared."""
    return fold(path).endswith(".EXE") and fold(path).startswith(("C:\\WINDOWS\\", "C:\\WINNT\\"))


# The places the tool looks at, by role; the start-up scripts and the editor come on top.
PLACES = {"interpreter": r"C:\WINNT\system32\cmd.exe", "log folder": r"C:\Kestrix\Instr\log",
          "kill log": r"C:\Kestrix\Instr\log\FWKill.log",
          "settings": r"C:\Program Files\Kestrix\USBProtect\SetUSBProtection.reg",
          "msiexec WINNT": r"C:\WINNT\SYSTEM32\msiexec.exe",
          "msiexec WINDOWS": r"C:\WINDOWS\SYSTEM32\msiexec.exe"}
# The places whose programs the tool starts: a capture says whether others may change them.
STARTED = ("interpreter", "script bin", "script binRelease", "script binDebug", "msiexec WINNT",
           "msiexec WINDOWS")
# The stop worker's names, A to Z folded: the only processes the tool, and so a capture, opens.
WATCHED = ("halvmark.exe", "quenstead_d.exe", "quenstead.exe", "tarnwick.exe", "talvora.exe")
SHIPPED = {line.strip().upper() for line in (Path(__file__).resolve().parents[2] / "removal" /
           "product_codes.txt").read_text().splitlines() if line.strip()[:1] not in ("", "#")}


def reg_text(entry):
    data = entry["data"]
    if entry["type"] == "REG_BINARY":
        raw = bytes.fromhex(data) if isinstance(data, str) else data
        data = " ".join("%02x" % b for b in raw)
    return "%s %s" % (entry["type"], data.split("\0")[0] if entry["type"] == "REG_SZ" else data)


def projection(machine):
    """What a capture of the machine can see, in comparable form (tests/e2e/README.md)."""
    root = {k.upper(): v for k, v in machine.get("environment", {}).items()}.get(
        "KESTRIX_SYSTEM_ROOT")
    system = machine.get("system", {})
    folder = system.get("windows_folder", r"C:\WINDOWS")
    places = dict(PLACES, editor=folder + r"\regedit.exe", **{"script " + s: "%s\\%s\\StartUpFW.bat"
                  % (root, s) for s in ("bin", "binRelease", "binDebug") if root is not None})
    files = {fold(f["path"]): f for f in machine.get("files", [])}
    folders = {p.rsplit("\\", n)[0] for p in files for n in range(1, p.count("\\"))}
    def unprotected(path):  # the place or a listed folder above it
        parts = fold(path).split("\\")
        return any(not files.get("\\".join(parts[:n]), {}).get("protected", True)
                   for n in range(2, len(parts) + 1))
    admin = system.get("administrator", True)
    out = {"root": root, "windows folder": folder.upper(), "administrator": admin,
           "shutdown privilege": system.get("shutdown_privilege", admin)}
    for role, path in places.items():
        f = files.get(fold(path), {"directory": True} if fold(path) in folders else None)
        out[role] = f and ("directory" if f.get("directory") else {
            "readable": f.get("readable", True), "writable": f.get("writable", True)})
        if role in ("kill log", "settings") and (out[role] or {}).get("readable"):
            out[role]["text"] = f.get("content", "")
        if role in STARTED and isinstance(out[role], dict):
            out[role]["protected"] = not unprotected(path)
    under = [e for e in machine.get("registry", []) if (e["key"].strip("\\").upper() + "\\")
             .startswith(POLICY_KEY.upper() + "\\")]
    value = [e for e in under if e["key"].strip("\\").upper() == POLICY_KEY.upper() and
             e.get("name", "").upper() == "WRITEPROTECT"]
    out["WriteProtect"] = reg_text(value[0]) if value else "key" if under else None
    # A window's title, or None when it cannot be read; the titles in any order.
    out["processes"] = [[p["name"], sorted((w if isinstance(w, str) else w["title"] if w.get(
        "title_readable", True) else None for w in p.get("windows", [])), key=str),
        p.get("can_open", True) or ascii_lower(p["name"]) not in WATCHED]
        for p in machine.get("processes", [])]
    products = [(p["code"].upper(), p.get("state", 5), p.get("name")) for p in
                machine.get("products", [])]
    out["products"] = {c: s for c, s, _ in products if s == 5 or (c in SHIPPED and s != -1)}
    out["product names"] = {c: n for c, s, n in products if s == 5 and n}
    return out


def ascii_lower(name):
    return name.translate(str.maketrans(string.ascii_uppercase, string.ascii_lowercase))


def comparable(want, got):
    """A capture's projection without the product names that the source does not give."""
    return dict(got, **{"product names": {c: n for c, n in got["product names"].items()
                                          if c in want["product names"]}})


def titles(process):
    return [] if isinstance(process, str) else [
        w if isinstance(w, str) else w["title"] for w in process.get("windows", [])]


def on_close(process):
    return (process if isinstance(process, dict) else {}).get("on_close", DEFAULT_ON_CLOSE)


def name_of(process):
    return process if isinstance(process, str) else process["name"]


def unique(names):
    seen, keys = {}, []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        keys.append(name if seen[name] == 1 else "%s #%d" % (name, seen[name]))
    return keys


def process_keys(machine):
    return unique(p["name"] for p in machine.get("processes", []))


def window_keys(machine):
    """Per process of the file, the names of its windows."""
    return [unique("%s/%s" % (key, t) for t in titles(p))
            for key, p in zip(process_keys(machine), machine.get("processes", []))]


def pids(machine):
    """The pids the simulator gives, those without one above every pid given."""
    given = [p.get("pid", 0) for p in machine.get("processes", [])]
    highest, out = max(given, default=0), []
    for pid in given:
        if not pid:
            pid = highest = (highest // 4 + 1) * 4
        out.append(pid)
    return out


# ---- Random machines

FIRMWARE = ["Halvmark.exe", "halvmark.exe", "Quenstead.exe", "quenstead_d.exe", "Quenstead_d.exe",
            "Tarnwick.exe", "tarnwick.exe", "Talvora.exe", "TALVORA.EXE"]
DECOYS = ["notes.exe", "board.exe", "Halvmark2.exe", "halvmark.ex", "explorer.exe"]
TITLES = ["Kestrix Analyzer Interface", "Pelmo", "Talvora", "pelmo", "Pelmo ", "Talvora 2",
          "Kestrix Analyzer", ""]
# Away from the stop's one-second passes, so that Wine's timing cannot change a count.
CLOSE_DELAYS = [0, 100, 300, 1500, 2500]
ROOT_PARTS = ["Kestrix", "Program Files (x86)", "K&S", "a b", "x,y;z", "50%", "[lab]", "O'Neil",
              "K=1", "d+e", "^up", "Instr", "!bang"]
ARGS = [["/terminate"], ["/restart"], ["/shutdown"], ["/deinstall"], ["/checkUSB"], ["/?"],
        ["-TERMINATE"], ["/restart", "/terminate"], ["/terminate", "/?"], ["/bogus"]]
POLICY_KEY = r"System\CurrentControlSet\Control\StorageDevicePolicies"
PLACEHOLDER = "{00000000-0000-0000-0000-000000000000}"  # in the shipping table


def settings_text(write_protect):
    return ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n\"WriteProtect\"=dword:%08x\r\n"
            % (POLICY_KEY, write_protect))


def random_process(rng, names):
    process = {"name": rng.choice(names), "windows": rng.sample(TITLES, rng.choice([0, 1, 1, 1, 2]))}
    roll = rng.random()
    if roll < 0.7:
        process["on_close"] = "ignore" if roll < 0.15 else {"exit_after_ms": rng.choice(CLOSE_DELAYS)}
    return process


def random_machine(seed):
    rng = random.Random(seed)
    root = "C:\\" + "\\".join(rng.sample(ROOT_PARTS, rng.randint(1, 3)))
    if rng.random() < 0.2:
        root += rng.choice(["\\", " ", "."])
    machine = {"environment": {"Kestrix_SYSTEM_ROOT": root}, "files": [{"path": path} for path in (
        r"C:\WINNT\system32\cmd.exe", r"C:\WINDOWS\regedit.exe", r"C:\WINDOWS\system32\msiexec.exe",
        r"C:\WINNT\system32\msiexec.exe") if rng.random() < 0.85], "processes": []}
    for folder in rng.sample(["bin", "binRelease", "binDebug"], rng.randint(0, 3)):
        starts = [random_process(rng, FIRMWARE) for _ in range(rng.randint(0, 2))]
        machine["files"].append({"path": "%s\\%s\\StartUpFW.bat" % (root.rstrip("\\"), folder),
                                 "starts": starts})
    if rng.random() < 0.5:
        machine["files"].append({"path": r"C:\Kestrix\Instr\log", "directory": True})
    if rng.random() < 0.7:
        machine["files"].append({"path": PLACES["settings"],
                                 "content": settings_text(rng.choice([0, 1, 2]))})
    if rng.random() < 0.7:
        kind, data = rng.choice([("REG_DWORD", 1), ("REG_DWORD", 0), ("REG_SZ", "1"),
                                 ("REG_QWORD", 1), ("REG_BINARY", "01")])
        machine["registry"] = [{"key": POLICY_KEY, "name": "WriteProtect", "type": kind,
                                "data": data}]
    hung_roll = rng.random()
    for _ in range(rng.randint(0, 5)):
        process = random_process(rng, FIRMWARE if rng.random() < 0.7 else DECOYS)
        # A hung process costs Wine half a minute of real time: keep most machines quick.
        if process.get("on_close") == "ignore" and hung_roll < 0.6:
            process["on_close"] = {"exit_after_ms": 0}
        machine["processes"].append(process)
    if rng.random() < 0.4:
        machine["products"] = [{"code": rng.choice([PLACEHOLDER, "{%08X-1111-2222-3333-%012X}" % (
            rng.getrandbits(32), rng.getrandbits(48))])}]
    machine["user"] = {"closes_usage_box_after_ms": rng.choice([500, 1500])}
    args = rng.choice(ARGS)
    # Now and then others may change a file or folder, C:\WINNT among them.
    machine["files"] += [{"path": r"C:\WINNT", "directory": True}] * (rng.random() < 0.1)
    for entry in machine["files"]:
        entry.update({"protected": False} if rng.random() < 0.1 else {})
    return {"args": args, "machine": machine}


def sim_machine(seed):
    """A random machine with, on top, what only the simulator can be given."""
    rng, machine = random.Random(-seed), random_machine(seed)["machine"]
    for process in machine["processes"]:
        process.update(can_open=rng.random() < 0.8, windows=[
            {"title": t, "title_readable": rng.random() < 0.8} for t in process["windows"]])
    machine["files"] += [{"path": PLACES["kill log"], "content": "x\r\n"}] * (rng.random() < 0.5)
    for entry in machine["files"]:
        entry.update(readable=rng.random() < 0.8, writable=rng.random() < 0.8)
    for product in machine.get("products", []):
        product.update(state=rng.choice([5, 2, -1]), name=rng.choice(["", "Firmware"]))
    machine["registry"] = [{"key": POLICY_KEY + rng.choice(["", r"\Sub"])}] if rng.random() < 0.2 \
        else machine.get("registry", [])
    machine["system"] = {"shutdown_privilege": rng.random() < 0.7,
                         "windows_folder": rng.choice([r"C:\WINDOWS", r"c:\winnt", r"D:\Win"])}
    machine["system"].update({"administrator": False} if rng.random() < 0.3 else {})
    return machine
