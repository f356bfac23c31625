#!/usr/bin/python3
"""package.py FOLDER OUT.msi [--version V --product-code C] [--upgrade-code U] [--stamp T]: the
Windows Installer package of a release folder (the zip's), made with wixl. Per machine, 64-bit,
into C:\\Program Files\\Fenwrack; one upgrade code for every version, so that a newer package
replaces an older one in place and an older one refuses to install over a newer one. It makes
%ProgramData%\\Fenwrack\\records, which an upgrade and a removal leave with what it holds. No
custom action, no reboot. The same files and stamp give the same bytes in any folder.

The codes and the version come from the build's generated/package.json unless given (the tests
build other versions)."""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path
from xml.sax.saxutils import quoteattr

MAKER = "Fenwrack developers"
GUIDE = "C:\\Program Files\\Fenwrack\\field-guide.html"


def guid(upgrade_code, name):
    """A code that stays the same for the same name: components keep theirs across versions."""
    return str(uuid.uuid5(uuid.UUID(upgrade_code.strip("{}")), name)).upper()


def source(files, version, product_code, upgrade_code):
    """The package's WiX source: one component a file, each file its component's key."""
    folders = {}
    for name in sorted(files):
        parent, _, leaf = name.rpartition("/")
        folders.setdefault(parent, []).append((name, leaf))

    def components(parent, indent):
        lines = []
        for name, leaf in folders.get(parent, []):
            key = "f" + hashlib.sha256(name.encode()).hexdigest()[:16]
            lines.append('%s<Component Id="%s" Guid="%s" Win64="yes">' %
                         (indent, key, guid(upgrade_code, "file " + name)))
            lines.append('%s  <File Id="%s" Name=%s Source=%s KeyPath="yes"/>' %
                         (indent, key, quoteattr(leaf), quoteattr("files/" + name)))
            lines.append(indent + "</Component>")
        for sub in sorted(f for f in folders if f and f.rpartition("/")[0] == parent):
            lines.append('%s<Directory Id="d%s" Name=%s>' %
                         (indent, hashlib.sha256(sub.encode()).hexdigest()[:16],
                          quoteattr(sub.rpartition("/")[2])))
            lines += components(sub, indent + "  ")
            lines.append(indent + "</Directory>")
        return lines

    refs = ["f" + hashlib.sha256(name.encode()).hexdigest()[:16] for name in sorted(files)]
    return "\n".join([
        '<?xml version="1.0" encoding="utf-8"?>',
        '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
        '  <Product Id="%s" Name="Fenwrack" Language="1033" Version="%s" Manufacturer=%s'
        ' UpgradeCode="%s">' % (product_code.strip("{}"), version, quoteattr(MAKER),
                                upgrade_code.strip("{}")),
        '    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"'
        ' Description="Fenwrack, the analyzer firmware maintenance tool"/>',
        # Its Upgrade table is replaced by upgrade_table(); it gives the actions and the refusal.
        '    <MajorUpgrade DowngradeErrorMessage="A newer version of Fenwrack is installed."/>',
        '    <Media Id="1" Cabinet="fenwrack.cab" EmbedCab="yes"/>',
        '    <Property Id="ARPHELPLINK" Value=%s/>' % quoteattr(GUIDE),
        '    <Property Id="ARPCOMMENTS" Value=%s/>' % quoteattr("Field guide: " + GUIDE),
        '    <Property Id="ARPNOMODIFY" Value="1"/>',
        '    <Property Id="REBOOT" Value="ReallySuppress"/>',
        '    <Directory Id="TARGETDIR" Name="SourceDir">',
        '      <Directory Id="ProgramFiles64Folder">',
        '        <Directory Id="INSTALLDIR" Name="Fenwrack">',
        *components("", "          "),
        '        </Directory>',
        '      </Directory>',
        '      <Directory Id="CommonAppDataFolder">',
        '        <Directory Id="DATADIR" Name="Fenwrack">',
        '          <Directory Id="RECORDSDIR" Name="records">',
        '            <Component Id="records" Guid="%s" Win64="yes">' %
        guid(upgrade_code, "records"),
        '              <CreateFolder/>',
        '            </Component>',
        '          </Directory>',
        '        </Directory>',
        '      </Directory>',
        '    </Directory>',
        '    <Feature Id="Fenwrack" Level="1">',
        *['      <ComponentRef Id="%s"/>' % ref for ref in refs + ["records"]],
        '    </Feature>',
        '  </Product>',
        '</Wix>',
        ""])


def upgrade_table(version, upgrade_code):
    """Which installed versions the package finds: the older ones and the same, which it removes
    before it installs, and the newer, whose presence refuses it. Windows Installer compares only
    the first three parts of a version: one that differs in the fourth alone counts as the same,
    and is replaced, as a rebuild of this version would be (wixl's own table leaves it beside)."""
    remove, only_detect, max_inclusive = 1, 2, 512
    rows = [(upgrade_code, "", version, "", remove | max_inclusive, "", "WIX_UPGRADE_DETECTED"),
            (upgrade_code, version, "", "", only_detect, "", "WIX_DOWNGRADE_DETECTED")]
    head = ["UpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\tRemove\tActionProperty",
            "s38\tS20\tS20\tS255\ti4\tS255\ts72",
            "Upgrade\tUpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes"]
    return "\r\n".join(head + ["\t".join(map(str, row)) for row in rows]) + "\r\n"


def build(files, version, product_code, upgrade_code, stamp, target):
    """Writes the package of `files` (name: bytes, / between folders) to `target`."""
    # wixl takes the time from the clock and a random package code; under faketime, and with the
    # package code set after, neither varies. The cabinet keeps each file's time: the stamp.
    stamp = max(stamp, 315532800)  # a cabinet's times start in 1980
    when = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(stamp))
    fixed = ["faketime", "-f", when]
    package_code = "{%s}" % guid(upgrade_code, "package " + hashlib.sha256(
        json.dumps([version, product_code, sorted((n, hashlib.sha256(d).hexdigest())
                                                  for n, d in files.items())]).encode()
    ).hexdigest())
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        for name, data in files.items():
            path = work / "files" / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
            os.utime(path, (stamp, stamp))
        (work / "package.wxs").write_text(source(files, version, product_code, upgrade_code))
        (work / "Upgrade.idt").write_text(upgrade_table(version, upgrade_code), newline="")
        env = dict(os.environ, TZ="UTC")
        for command in (["wixl", "-a", "x64", "-o", "package.msi", "package.wxs"],
                        ["msibuild", "package.msi", "-i", "Upgrade.idt", "-s", "Fenwrack", MAKER,
                         "x64;1033", package_code]):
            try:
                done = subprocess.run(fixed + command, cwd=work, env=env, capture_output=True,
                                      text=True)
            except FileNotFoundError as missing:
                sys.exit("package: %s is missing: scripts/setup-debian installs it" %
                         missing.filename)
            # wixl warns of every attribute it does not know; only a failure counts.
            if done.returncode:
                sys.exit("package: %s failed: %s" % (command[0], done.stderr.strip()))
        shutil.copyfile(work / "package.msi", target)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path, help="the release folder, as the zip holds it")
    parser.add_argument("target", type=Path)
    parser.add_argument("--codes", type=Path, help="the build's generated/package.json")
    parser.add_argument("--version")
    parser.add_argument("--product-code")
    parser.add_argument("--upgrade-code")
    parser.add_argument("--stamp", type=int, default=int(os.environ.get("SOURCE_DATE_EPOCH", 0)))
    args = parser.parse_args()
    codes = json.loads(args.codes.read_text()) if args.codes else {}
    for key in ("version", "product_code", "upgrade_code"):
        codes[key] = getattr(args, key) or codes.get(key)
        if not codes[key]:
            parser.error("no %s: give --codes or --%s" % (key, key.replace("_", "-")))
    # What Windows Installer takes: at most 255.255.65535, a fourth part it does not compare.
    parts = codes["version"].split(".")
    if not (3 <= len(parts) <= 4 and all(p.isdigit() for p in parts) and int(parts[0]) < 256
            and int(parts[1]) < 256 and int(parts[2]) < 65536):
        parser.error("version %s: Windows Installer takes A.B.C[.D], A and B below 256, C below "
                     "65536" % codes["version"])
    files = {path.relative_to(args.folder).as_posix(): path.read_bytes()
             for path in sorted(args.folder.rglob("*")) if path.is_file()}
    if not files:
        sys.exit("package: %s holds no file" % args.folder)
    build(files, codes["version"], codes["product_code"], codes["upgrade_code"], args.stamp,
          args.target)
    print(args.target)


if __name__ == "__main__":
    main()
