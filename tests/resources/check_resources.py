#!/usr/bin/python3
"""Checks the built Fenwrack.exe: its kind of image, what it imports, its size and its resources.

    check_resources.py PATH/TO/Fenwrack.exe

Prints one line per mismatch and exits with 1 when there is any, with 2 when the file is missing
or cannot be read as an image.
"""

import os
import struct
import sys

try:
    import pefile
except ImportError:
    sys.exit("pefile is not installed for this Python (Debian: python3-pefile, /usr/bin/python3)")

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24
ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll",
                   "gdi32.dll", "comctl32.dll"}
MAX_SIZE = 512 * 1024
VERSION = "1.0.0.16"

# Dialog 132, the status window.
DIALOG = {
    "style": 0x80040048, "exstyle": 0x00000088, "rect": (0, 0, 236, 38),
    "menu": None, "class": None, "title": "",
    "font": (8, 400, 0, "MS Shell Dlg"),  # points, weight, italic, face
}
CONTROLS = [  # in template order
    {"id": -1, "class": 0x0082, "title": 134, "style": 0x50000003, "exstyle": 0,
     "rect": (9, 9, 21, 20)},
    {"id": 1001, "class": 0x0082, "title": "Statisch", "style": 0x50020000, "exstyle": 0,
     "rect": (41, 14, 181, 8)},
]
ICON_IMAGES = sorted([(16, 16, 4), (16, 16, 8), (32, 32, 4), (32, 32, 8)])  # width, height, bits
VERSION_STRINGS = {
    "FileDescription": "Deinstallation der Firmwarekomponenten",
    "FileVersion": VERSION,
    "InternalName": "Fenwrack.exe",
    "OriginalFilename": "Fenwrack.exe",
    "ProductVersion": VERSION,
}


class Reader:
    """Little-endian reads over a resource's bytes."""

    def __init__(self, data, offset=0):
        self.data, self.pos = data, offset

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def align(self, n=4):
        self.pos += -self.pos % n

    def wstr(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        text = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return text

    def sz_or_ord(self):
        first = struct.unpack_from("<H", self.data, self.pos)[0]
        if first == 0:
            self.pos += 2
            return None
        if first == 0xFFFF:
            self.pos += 2
            return self.take("H")
        return self.wstr()


def resources(pe):
    """{(type, name): [(language, bytes)]} for numbered resources."""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in root.entries if root else []:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                rva, size = lang.data.struct.OffsetToData, lang.data.struct.Size
                found.setdefault((rtype.id, name.id), []).append(
                    (lang.id, pe.get_data(rva, size)))
    return found


def parse_dialog(data):
    r = Reader(data)
    version, signature = r.take("HH")
    if (version, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    _help, exstyle, style, count = r.take("IIIH")
    rect = r.take("hhhh")
    dialog = {"style": style, "exstyle": exstyle, "rect": rect, "menu": r.sz_or_ord(),
              "class": r.sz_or_ord(), "title": r.wstr()}
    if style & 0x40:  # DS_SETFONT
        points, weight, italic, _charset = r.take("HHBB")
        dialog["font"] = (points, weight, italic, r.wstr())
    controls = []
    for _ in range(count):
        r.align()
        _help, c_exstyle, c_style = r.take("III")
        c_rect = r.take("hhhh")
        c_id = r.take("i")
        control = {"id": c_id, "class": r.sz_or_ord(), "title": r.sz_or_ord(), "style": c_style,
                   "exstyle": c_exstyle, "rect": c_rect}
        creation_data = r.take("H")
        r.pos += creation_data
        controls.append(control)
    return dialog, controls


def parse_version_node(data, pos=0):
    """One VS_VERSIONINFO node: (key, value, children)."""
    r = Reader(data, pos)
    length, value_length, kind = r.take("HHH")
    end = pos + length
    key = r.wstr()
    r.align()
    if kind == 1:  # text, value_length in characters
        value = data[r.pos:r.pos + 2 * value_length].decode("utf-16-le").rstrip("\0")
        r.pos += 2 * value_length
    else:
        value = data[r.pos:r.pos + value_length]
        r.pos += value_length
    children = []
    r.align()
    while r.pos < end:
        child, r.pos = parse_version_node(data, r.pos)
        children.append(child)
        r.align()
    return (key, value, children), end


def masked_not_black(dib):
    """How many transparent pixels of an icon image are not black in its colour bitmap. The
    colour bitmap is XORed onto the screen there, so any other colour shows through."""
    size, width, height2, _planes, bits = struct.unpack_from("<IiiHH", dib)
    height = height2 // 2
    if bits not in (4, 8):
        return f"{bits} bpp not checked"
    colours = struct.unpack_from("<I", dib, 32)[0] or (1 << bits)
    palette = [dib[size + 4 * i:size + 4 * i + 3] for i in range(colours)]
    colour_stride = (width * bits + 31) // 32 * 4
    mask_stride = (width + 31) // 32 * 4
    colour_start = size + 4 * colours
    mask_start = colour_start + colour_stride * height
    count = 0
    for y in range(height):
        for x in range(width):
            mask = dib[mask_start + y * mask_stride + x // 8] >> (7 - x % 8) & 1
            byte = dib[colour_start + y * colour_stride + x * bits // 8]
            index = byte if bits == 8 else (byte >> 4 if x % 2 == 0 else byte & 0xF)
            if mask and palette[index] != b"\0\0\0":
                count += 1
    return count


def version_text(ms, ls):
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def collect(path):
    """(what, expected, actual) for every property checked."""
    checks = []
    size = os.path.getsize(path)
    pe = pefile.PE(path)
    checks += [
        ("machine", 0x8664, pe.FILE_HEADER.Machine),
        ("optional header magic (PE32+)", 0x20B, pe.OPTIONAL_HEADER.Magic),
        ("subsystem (GUI)", 2, pe.OPTIONAL_HEADER.Subsystem),
        ("file size at most 512 KiB", True, size <= MAX_SIZE),
    ]
    imports = sorted(e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    checks.append(("imports outside the system list", [],
                   [dll for dll in imports if dll not in ALLOWED_IMPORTS]))
    checks.append(("imports msi.dll at load time", False, "msi.dll" in imports))

    found = resources(pe)

    def one(rtype, name):
        entries = found.get((rtype, name), [])
        checks.append((f"resource type {rtype} id {name} present once", 1, len(entries)))
        return entries[0][1] if entries else None

    data = one(RT_DIALOG, 132)
    if data is not None:
        dialog, controls = parse_dialog(data)
        for key, expected in DIALOG.items():
            checks.append((f"dialog 132 {key}", expected, dialog.get(key)))
        checks.append(("dialog 132 control count", len(CONTROLS), len(controls)))
        for i, (expected, actual) in enumerate(zip(CONTROLS, controls)):
            for key, value in expected.items():
                checks.append((f"dialog 132 control {i} {key}", value, actual[key]))

    data = one(RT_GROUP_ICON, 134)
    if data is not None:
        r = Reader(data)
        _reserved, kind, count = r.take("HHH")
        checks.append(("icon group 134 type", 1, kind))
        listed, stored = [], []
        for _ in range(count):
            width, height, _colours, _res, _planes, bits, _size, icon_id = r.take("BBBBHHIH")
            listed.append((width or 256, height or 256, bits))
            image = found.get((RT_ICON, icon_id))
            if image is None:
                stored.append(("missing icon", icon_id))
                continue
            _hsize, w, h2, _planes, b = struct.unpack_from("<IiiHH", image[0][1])
            stored.append((w, h2 // 2, b))
            checks.append((f"icon {icon_id} ({w}x{h2 // 2}, {b} bpp) masked pixels drawn black",
                           0, masked_not_black(image[0][1])))
        checks.append(("icon group 134 images as listed", ICON_IMAGES, sorted(listed)))
        checks.append(("icon group 134 images as stored", ICON_IMAGES, sorted(stored)))

    data = one(RT_MANIFEST, 1)
    if data is not None:
        text = data.decode("utf-8", "replace")
        checks.append(('manifest asks level="asInvoker"', True, 'level="asInvoker"' in text))
        checks.append(('manifest asks uiAccess="false"', True, 'uiAccess="false"' in text))

    data = one(RT_VERSION, 1)
    if data is not None:
        (key, fixed, children), _ = parse_version_node(data)
        checks.append(("version record key", "VS_VERSION_INFO", key))
        signature, _sv, fms, fls, pms, pls = struct.unpack_from("<IIIIII", fixed)
        checks.append(("version fixed signature", 0xFEEF04BD, signature))
        checks.append(("version fixed file version", VERSION, version_text(fms, fls)))
        checks.append(("version fixed product version", VERSION, version_text(pms, pls)))
        blocks = {child[0]: child for child in children}
        tables = {t[0]: t for t in blocks.get("StringFileInfo", ("", b"", []))[2]}
        checks.append(("version string tables", ["040704e4"], sorted(tables)))
        strings = {s[0]: s[1] for s in tables.get("040704e4", ("", b"", []))[2]}
        for name, expected in VERSION_STRINGS.items():
            checks.append((f"version string {name}", expected, strings.get(name)))
        variables = {v[0]: v[1] for v in blocks.get("VarFileInfo", ("", b"", []))[2]}
        translation = variables.get("Translation", b"")
        checks.append(("version translation (language, code page)", [(0x0407, 1252)],
                       [struct.unpack_from("<HH", translation, i)
                        for i in range(0, len(translation) - 3, 4)]))
    return checks


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check_resources.py PATH/TO/Fenwrack.exe")
    path = sys.argv[1]
    if not os.path.isfile(path):
        print(f"{path}: not found; build it first: cmake --preset windows && "
              "cmake --build --preset windows", file=sys.stderr)
        sys.exit(2)
    try:
        checks = collect(path)
    except (pefile.PEFormatError, ValueError, struct.error, UnicodeDecodeError) as error:
        print(f"{path}: cannot be read: {error}", file=sys.stderr)
        sys.exit(2)
    mismatches = [(what, exp, act) for what, exp, act in checks if exp != act]
    for what, expected, actual in mismatches:
        print(f"MISMATCH {what}: expected {expected!r}, got {actual!r}")
    print(f"{path}: {len(checks) - len(mismatches)} of {len(checks)} checks passed")
    sys.exit(1 if mismatches else 0)


if __name__ == "__main__":
    main()
