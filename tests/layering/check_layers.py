#!/usr/bin/env python3
"""Each folder is a layer and includes only the layers below it.

The table below is the one place the layers are listed, as Chromium's DEPS files list them: for
each folder, the folders it may include besides itself. Every #include "..." of the sources, and
of the sources the build generates, is checked against it; one line per include that runs up or
sideways, naming the file, the line and the layer it may not include.

    check_layers.py SOURCE_DIR
"""

import re
import sys
from pathlib import Path

# Bottom to top. "platform" alone is the platform's interface headers, platform/*.h; its
# subfolders are layers of their own.
ALLOWED = {
    "platform/text": [],  # the codec and the case rules
    "platform": ["platform/text"],
    "platform/host": ["platform", "platform/text"],  # platform/handles.h
    "platform/win32": ["platform", "platform/text"],
    "instrument": ["platform", "platform/text"],  # the firmware's fixed names and places
    "machine_file": ["platform", "platform/host", "platform/text"],
    "sim": ["machine_file", "instrument", "platform", "platform/host", "platform/text"],
    # The tool: firmware/ at its bottom, app/ on top.
    "firmware": ["instrument", "platform", "platform/text"],
    "removal": ["firmware", "instrument", "platform", "platform/text"],
    "system": ["firmware", "instrument", "platform", "platform/text"],
    "app": ["system", "removal", "firmware", "instrument", "platform", "platform/text"],
    # Beside the tool: its names and places come from instrument/, the product-code table from
    # removal/, never the tool's logic in firmware/.
    "capture": ["removal", "instrument", "platform", "platform/text"],
    "run": ["platform", "platform/host", "platform/text"],
    "fenwrack-sim": ["app", "capture", "system", "removal", "firmware", "sim", "machine_file",
                     "instrument", "platform", "platform/host", "platform/text"],
}

# Files that may include more than their folder (DEPS' specific_include_rules): the Windows
# entry points put the Win32 platform under what they start.
SPECIFIC = {
    r"(app|capture)/win32_main\.cc": ["platform/win32"],
}

# Scripts outside the layers that write a source of the build, and the layer that source is part
# of: the product-code table is removal's.
GENERATORS = {"cmake/GenerateProductCodes.cmake": "removal"}

# Not layers: the tests and benchmarks may include anything.
OUTSIDE = {"tests", "bench", "build", "cmake", "docs", "examples", "scripts"}

SOURCES = {".h", ".cc", ".inc", ".in", ".rc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
# In a CMake script that writes a source: file(WRITE ... "#include \"removal/x.h\"\n").
WRITTEN_INCLUDE = re.compile(r'#\s*include\s*\\"([^"\\]+)\\"')


def layer_of(path):
    """The layer of a path below the source folder: the longest folder of the table above it."""
    parts = Path(path).parts[:-1]
    return next(("/".join(parts[:n]) for n in range(len(parts), 0, -1)
                 if "/".join(parts[:n]) in ALLOWED), None)


def check(root, path, layer, pattern):
    """The includes of one file, or of what it writes, that `layer` may not have."""
    name = path.relative_to(root).as_posix()
    allowed = set(ALLOWED[layer]) | {layer}
    allowed |= {m for rule, more in SPECIFIC.items() if re.fullmatch(rule, name) for m in more}
    build = path.parent / "CMakeLists.txt"
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = pattern.search(line)
        if not match:
            continue
        included = match.group(1)
        where = f'{name}:{number}: #include "{included}"'
        if "/" not in included:
            # The same folder: one of its files, or one its build generates.
            if not (path.parent / included).is_file() and not (
                    build.is_file() and included in build.read_text(encoding="utf-8")):
                yield f"{where}: not in its folder; name it with its folder"
        elif layer_of(included) not in allowed:
            yield (f"{where}: {layer}/ may not include {included.rsplit('/', 1)[0]}/ (it may "
                   f"include {', '.join(sorted(allowed - {layer})) or 'nothing'})")


def main():
    root = Path(sys.argv[1]).resolve()
    errors, checked = [], 0
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root)
        if (not path.is_file() or relative.parts[0] in OUTSIDE
                or relative.parts[0].startswith(".")):
            continue
        source = path.suffix in SOURCES
        if not source and path.suffix != ".cmake" and path.name != "CMakeLists.txt":
            continue
        layer = layer_of(relative.as_posix())
        if layer is None:
            errors += [f"{relative}: {relative.parent}/ is in no layer of the table"] * source
            continue
        errors += check(root, path, layer, INCLUDE if source else WRITTEN_INCLUDE)
        checked += 1
    for script, layer in GENERATORS.items():
        errors += check(root, root / script, layer, WRITTEN_INCLUDE)
    print("\n".join(errors + [f"layering: {len(errors)} includes out of order in {checked} files"
                              if errors else f"layering: {checked} files, every include below"]))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
