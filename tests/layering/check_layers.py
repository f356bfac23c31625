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
GENERATORS = {
    "cmake/GenerateProductCodes.cmake": "removal",
}

# Not layers: the tests and benchmarks may include anything; cmake/ holds only GENERATORS.
OUTSIDE = {"tests", "bench", "build", "cmake", "docs", "examples", "scripts"}

SOURCES = {".h", ".hpp", ".cc", ".cpp", ".c", ".inc", ".in", ".rc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
# In a CMake script that writes a source: file(WRITE ... "#include \"removal/x.h\"\n").
WRITTEN_INCLUDE = re.compile(r'#\s*include\s*\\"([^"\\]+)\\"')
# A file a folder's build generates, in its build folder.
GENERATED = re.compile(r'\$\{CMAKE_CURRENT_BINARY_DIR\}/[^"\s)]*?([A-Za-z0-9_.-]+)"')


def layer_of(path):
    """The layer a path below the source folder is in: the longest folder of the table above it."""
    parts = Path(path).parts[:-1]
    for n in range(len(parts), 0, -1):
        folder = "/".join(parts[:n])
        if folder in ALLOWED:
            return folder
    return None


def table_errors():
    """A table that names no layer, or runs in a circle, is no order of layers."""
    errors = [f"layering table: {layer} may include {other}, which is no layer"
              for layer, others in ALLOWED.items() for other in others if other not in ALLOWED]
    errors += [f"layering table: {script} writes into {layer}, which is no layer"
               for script, layer in GENERATORS.items() if layer not in ALLOWED]
    state = {}

    def visit(layer, path):
        if state.get(layer) == "open":
            errors.append("layering table: a circle: " + " > ".join(path + [layer]))
        elif layer not in state:
            state[layer] = "open"
            for other in ALLOWED.get(layer, []):
                visit(other, path + [layer])
            state[layer] = "done"

    for layer in ALLOWED:
        visit(layer, [])
    return errors


def generated_names(root, folder):
    """The names of the files the build files of `folder` generate."""
    build = root / folder / "CMakeLists.txt"
    return set(GENERATED.findall(build.read_text(encoding="utf-8"))) if build.is_file() else set()


def check_file(root, path, layer, lines, pattern):
    """The errors of one file's includes; `layer` is the one the file, or what it writes, is in."""
    name = path.relative_to(root).as_posix()
    allowed = set(ALLOWED[layer]) | {layer}
    for rule, more in SPECIFIC.items():
        if re.fullmatch(rule, name):
            allowed |= set(more)
    errors = []
    for number, line in enumerate(lines, 1):
        match = pattern.search(line)
        if not match:
            continue
        included = match.group(1)
        where = f'{name}:{number}: #include "{included}"'
        if any(part in (".", "..") for part in included.split("/")):
            errors.append(f"{where}: a relative path; name it from the source folder")
        elif "/" not in included:
            # The same folder: one of its files, or one its build generates.
            if not ((path.parent / included).is_file()
                    or included in generated_names(root, path.parent.relative_to(root))):
                errors.append(f"{where}: neither in {path.parent.relative_to(root).as_posix()}/ "
                              "nor generated there; name it with its folder")
        else:
            target = layer_of(included)
            if target is None:
                errors.append(f"{where}: {included.split('/')[0]}/ is in no layer of the table")
            elif target not in allowed:
                errors.append(f"{where}: {layer}/ may not include {target}/ (it may include "
                              f"{', '.join(sorted(allowed - {layer})) or 'nothing'})")
    return errors


def main():
    root = Path(sys.argv[1]).resolve()
    errors = table_errors()
    checked = 0
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root)
        if not path.is_file() or relative.parts[0] in OUTSIDE or relative.parts[0].startswith("."):
            continue
        is_source = path.suffix in SOURCES
        is_generator = path.suffix == ".cmake" or path.name == "CMakeLists.txt"
        if not is_source and not is_generator:
            continue
        layer = layer_of(relative.as_posix())
        if layer is None:
            if is_source:
                errors.append(f"{relative.as_posix()}: {relative.parent.as_posix()}/ is in no "
                              "layer of the table")
            continue
        text = path.read_text(encoding="utf-8", errors="replace").splitlines()
        errors += check_file(root, path, layer, text, INCLUDE if is_source else WRITTEN_INCLUDE)
        checked += 1
    for script, layer in GENERATORS.items():
        text = (root / script).read_text(encoding="utf-8").splitlines()
        errors += check_file(root, root / script, layer, text, WRITTEN_INCLUDE)
        checked += 1
    for script in sorted((root / "cmake").glob("*.cmake")):
        name = script.relative_to(root).as_posix()
        if name not in GENERATORS and WRITTEN_INCLUDE.search(script.read_text(encoding="utf-8")):
            errors.append(f"{name}: writes an #include, but GENERATORS names no layer for it")
    for error in errors:
        print(error)
    print(f"layering: {len(errors)} includes out of order in {checked} files" if errors
          else f"layering: {checked} files, every include to a layer below")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
