#!/usr/bin/python3
"""check_resources.py PATH/TO/Fenwrack.exe: exit 1 on mismatches (one line each), 2 if unreadable"""

import io, os, struct, sys

import pefile  # Debian: python3-pefile, for /usr/bin/python3

RESOURCES = {"dialog 132": (5, 132), "icon group 134": (14, 134), "manifest 1": (24, 1),
             "version 1": (16, 1)}  # type, id
SYSTEM_DLLS = {f"{n}.dll" for n in "kernel32 user32 advapi32 shell32 msvcrt gdi32 comctl32".split()}
ICONS = sorted([(16, 16, 4), (16, 16, 8), (32, 32, 4), (32, 32, 8)])  # width, height, bits
VERSION = "1.0.0.16"
# Every exe: its manifest asks for no elevation, and its entry point keeps the library search to
# the system folder (the call is imported, so it is made; the Wine suite shows that it works).
ANY_EXE = {"machine": 0x8664, "magic (PE32+)": 0x20B, "imports outside the system list": [],
           "imports msi.dll at load time": False, "imports SetDefaultDllDirectories": True,
           "manifest asInvoker": True}
IMAGE = dict(ANY_EXE, **{"at most 256 KiB": True})
CONSOLE = dict(ANY_EXE, subsystem=3)
EXPECTED = {
    "image": dict(IMAGE, subsystem=2),  # GUI
    "fenwrack-capture.exe": dict(IMAGE, subsystem=3),
    "fenwrack-run.exe": CONSOLE,
    "fenwrack-sim.exe": CONSOLE,
    "present once": {what: 1 for what in RESOURCES},
    "dialog 132": {  # the status window; rect: x, y, cx, cy; font: points, weight, italic, face
        "style": 0x80040048, "exstyle": 0x88, "rect": (0, 0, 236, 38), "menu": None, "class": None,
        "title": None, "font": (8, 400, 0, "MS Shell Dlg"), "controls": 2,
        "control 0": {"id": -1, "class": 0x82, "title": 134, "style": 0x50000003, "exstyle": 0,
                      "rect": (9, 9, 21, 20)},
        "control 1": {"id": 1001, "class": 0x82, "title": "Statisch", "style": 0x50020000,
                      "exstyle": 0, "rect": (41, 14, 181, 8)}},
    # The colour bitmap is XORed onto the screen where the mask is set: it must be black there.
    "icon group 134": {"type": 1, "images as listed": ICONS, "images as stored": ICONS,
                       "masked pixels not black": [0] * len(ICONS)},
    "manifest": {'level="asInvoker"': True, 'uiAccess="false"': True},
    "version": {"key": b"VS_VERSION_INFO", "fixed signature": 0xFEEF04BD,
                "fixed file, product version": [VERSION] * 2, "string tables": ["040704e4"],
                "translation (language, code page)": [(0x0407, 1252)],
                "strings": {"FileDescription": "Deinstallation der Firmwarekomponenten",
                            "FileVersion": VERSION, "InternalName": "Fenwrack.exe",
                            "OriginalFilename": "Fenwrack.exe", "ProductVersion": VERSION}},
}


def dialog(data):
    stream = io.BytesIO(data)

    def take(fmt):
        return struct.unpack("<" + fmt, stream.read(struct.calcsize("<" + fmt)))

    def text():  # a number after 0xFFFF, else a string up to its 0; an empty one is None
        units = [stream.read(2)]
        if units[0] == b"\xff\xff":
            return take("H")[0]
        while units[-1] not in (b"\0\0", b""):
            units.append(stream.read(2))
        return b"".join(units).decode("utf-16-le").rstrip("\0") or None

    if take("HH") != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    _help, exstyle, style, count = take("IIIH")
    found = {"style": style, "exstyle": exstyle, "rect": take("hhhh"), "menu": text(),
             "class": text(), "title": text(), "controls": count,
             "font": take("HHBB")[:3] + (text(),) if style & 0x40 else None}  # DS_SETFONT
    for i in range(count):
        stream.seek(-stream.tell() % 4, io.SEEK_CUR)
        _help, exstyle, style, *rect, cid = take("IIIhhhhi")
        found[f"control {i}"] = {"id": cid, "class": text(), "title": text(), "style": style,
                                 "exstyle": exstyle, "rect": tuple(rect)}
        stream.seek(take("H")[0], io.SEEK_CUR)  # creation data
    return found


def masked_not_black(dib):
    size, width, height2, _planes, bits = struct.unpack_from("<IiiHH", dib)
    if bits not in (4, 8):
        return f"{bits} bpp not checked"
    stride, start = (width * bits + 31) // 32 * 4, size + 4 * (dib[32] or 1 << bits)
    mask_stride, mask_start = (width + 31) // 32 * 4, start + stride * (height2 // 2)

    def colour(y, x):  # through the palette; with 4 bits, the high half comes first
        index = dib[start + y * stride + x * bits // 8] >> (4 - 4 * (x % 2) if bits == 4 else 0)
        return dib[size + 4 * (index & (1 << bits) - 1):][:3]
    return sum(bool(dib[mask_start + y * mask_stride + x // 8] >> (7 - x % 8) & 1)
               and colour(y, x) != b"\0\0\0" for y in range(height2 // 2) for x in range(width))


def icons(group, resources):
    listed, stored, masked = [], [], []
    for width, height, _c, _r, _p, bits, _size, icon_id in struct.iter_unpack(
            "<BBBBHHIH", group[6:6 + 14 * struct.unpack_from("<H", group, 4)[0]]):
        image = resources.get((3, icon_id), [None])[0]  # RT_ICON
        w, h2, _planes, b = struct.unpack_from("<4xiiHH", image) if image else (0, 0, 0, 0)
        listed.append((width or 256, height or 256, bits))
        stored.append((w, h2 // 2, b))
        masked.append(masked_not_black(image) if image else "missing")
    return {"type": struct.unpack_from("<H", group, 2)[0], "images as listed": sorted(listed),
            "images as stored": sorted(stored), "masked pixels not black": masked}


def version(pe):
    fixed, info = pe.VS_FIXEDFILEINFO[0], {i.Key: i for i in getattr(pe, "FileInfo", [[]])[0]}
    tables = {t.LangID.decode(): t.entries
              for t in getattr(info.get(b"StringFileInfo"), "StringTable", [])}
    dotted = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"  # noqa: E731
    return {"key": pe.VS_VERSIONINFO[0].Key, "fixed signature": fixed.Signature,
            "fixed file, product version": [dotted(fixed.FileVersionMS, fixed.FileVersionLS),
                                            dotted(fixed.ProductVersionMS, fixed.ProductVersionLS)],
            "string tables": sorted(tables), "translation (language, code page)": [
                tuple(int(n, 16) for n in v.entry.get(b"Translation", "").split())
                for v in getattr(info.get(b"VarFileInfo"), "Var", [])],
            "strings": {k.decode(): v.decode() for k, v in tables.get("040704e4", {}).items()}}


def resources(pe):
    found, root = {}, getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype, name, lang in ((t, n, l) for t in (root.entries if root else [])
                              for n in t.directory.entries for l in n.directory.entries):
        found.setdefault((rtype.id, name.id), []).append(
            pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size))
    return found


def image(path):
    pe = pefile.PE(path)
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    imports = [e.dll.decode().lower() for e in entries]
    kernel32 = [i.name for e in entries if e.dll.decode().lower() == "kernel32.dll"
                for i in e.imports]
    manifest = resources(pe).get(RESOURCES["manifest 1"], [b""])[0]
    return pe, {"machine": pe.FILE_HEADER.Machine, "magic (PE32+)": pe.OPTIONAL_HEADER.Magic,
                "subsystem": pe.OPTIONAL_HEADER.Subsystem,
                "at most 256 KiB": os.path.getsize(path) <= 256 * 1024,
                "imports outside the system list": sorted(set(imports) - SYSTEM_DLLS),
                "imports msi.dll at load time": "msi.dll" in imports,
                "imports SetDefaultDllDirectories": b"SetDefaultDllDirectories" in kernel32,
                "manifest asInvoker": b'level="asInvoker"' in manifest}


def actual(path):
    pe, exe = image(path)
    found = resources(pe)
    data = {what: found.get(key, [b""])[0] for what, key in RESOURCES.items()}
    beside = {name: image(os.path.join(os.path.dirname(path), name))[1]
              for name in ("fenwrack-capture.exe", "fenwrack-run.exe", "fenwrack-sim.exe")}
    return {"image": exe, **beside,
            "present once": {what: len(found.get(key, [])) for what, key in RESOURCES.items()},
            "dialog 132": data["dialog 132"] and dialog(data["dialog 132"]),
            "icon group 134": data["icon group 134"] and icons(data["icon group 134"], found),
            "manifest": {a: a.encode() in data["manifest 1"] for a in EXPECTED["manifest"]},
            "version": data["version 1"] and version(pe)}


def compare(expected, got, what=""):  # (what, expected, actual) for every value of `expected`
    if not isinstance(expected, dict):
        return [(what.strip(), expected, got)]
    return [c for k, v in expected.items() for c in compare(v, (got or {}).get(k), f"{what} {k}")]


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: check_resources.py PATH/TO/Fenwrack.exe")
    try:
        checks = compare(EXPECTED, actual(sys.argv[1]))
    except (OSError, pefile.PEFormatError, ValueError, struct.error, UnicodeDecodeError) as error:
        print(f"{sys.argv[1]}: cannot be read ({error}); build it first: cmake --preset windows "
              "&& cmake --build --preset windows", file=sys.stderr)
        sys.exit(2)
    mismatches = [check for check in checks if check[1] != check[2]]
    for what, expected, got in mismatches:
        print(f"MISMATCH {what}: expected {expected!r}, got {got!r}")
    print(f"{sys.argv[1]}: {len(checks) - len(mismatches)} of {len(checks)} checks passed")
    sys.exit(1 if mismatches else 0)
