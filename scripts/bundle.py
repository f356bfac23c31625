#!/usr/bin/python3
"""bundle.py BUILD_DIR OUT_DIR: the release zip, fenwrack-VERSION.zip, and the package that
installs the same files, fenwrack-VERSION.msi, from the windows preset's build folder and the
sources beside this script; with --sign, the exes in both and the package signed. The same inputs
give the same bytes: names in order, one time stamp (SOURCE_DATE_EPOCH, else the commit's), fixed
permissions, and that stamp as the signing time, unless a timestamp server is named."""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

from package import build as build_package

SOURCE = Path(__file__).resolve().parents[1]
EXES = ["Fenwrack.exe", "fenwrack-capture.exe", "fenwrack-run.exe", "fenwrack-sim.exe"]
# Where the guide's links point in the sources, and where the same files are in the bundle.
LINKS = {"../examples/README.md": "examples/README.md",
         "../machine_file/MACHINE-FILE.md": "MACHINE-FILE.md", "../SECURITY.md": "SECURITY.md"}


def stamp():
    if "SOURCE_DATE_EPOCH" in os.environ:
        return int(os.environ["SOURCE_DATE_EPOCH"])
    return int(subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"], check=True,
                              capture_output=True, text=True).stdout)


def guide_html():
    """The field guide as one page a browser opens without anything else: its pictures inside."""
    text = (SOURCE / "docs/field-guide.md").read_text()
    for source, bundled in LINKS.items():
        text = text.replace("](%s)" % source, "](%s)" % bundled)
    done = subprocess.run(["pandoc", "--from", "gfm", "--to", "html5", "--standalone",
                           "--self-contained", "--resource-path", SOURCE / "docs",
                           "--metadata", "title=Fenwrack field guide", "--metadata", "lang=en"],
                          input=text.encode(), capture_output=True, cwd=SOURCE / "docs")
    if done.returncode:
        sys.exit("bundle: pandoc failed: " + done.stderr.decode())
    # The page's own heading says the title; pandoc's second one goes.
    return re.sub(rb'<header id="title-block-header">.*?</header>\n', b"", done.stdout,
                  flags=re.S)


# The digest that the exes' --version gives, of the table they were built with: the same code,
# built for this machine.
DIGEST = r"""#include <cstdio>
#include "removal/product_table_digest.h"
int main() {
  int codes = 0;
  for (const auto& slot : ProductCodeTable)
    codes += slot[0] != '\0';
  std::printf("product-code table %s, %d codes\n", ProductTableDigest().c_str(), codes);
}
"""


def product_table(build):
    with tempfile.TemporaryDirectory() as work:
        (Path(work) / "digest.cc").write_text(DIGEST)
        subprocess.run(["g++", "-std=c++20", "-I", SOURCE, Path(work) / "digest.cc",
                        build / "generated/product_code_table.cc", "-o", Path(work) / "digest"],
                       check=True)
        return subprocess.run([Path(work) / "digest"], check=True, capture_output=True).stdout


def signer(args):
    """Signs a file into another (Authenticode, SHA-256) with osslsigncode, or None without --sign.
    The password goes through a file only: a command line is seen by every user of the machine.
    The signing time is the stamp, so that a signed file is the same for the same certificate."""
    if not args.sign:
        return None
    password = args.password_file
    if password is None and "FENWRACK_SIGN_PASSWORD" not in os.environ:
        sys.exit("bundle: --sign needs the certificate's password: --password-file FILE, or "
                 "FENWRACK_SIGN_PASSWORD")

    def sign(source, target):
        with tempfile.TemporaryDirectory() as work:
            readpass = password
            if readpass is None:
                readpass = Path(work) / "password"
                readpass.touch(mode=0o600)
                readpass.write_text(os.environ["FENWRACK_SIGN_PASSWORD"])
            command = ["osslsigncode", "sign", "-pkcs12", args.sign, "-readpass", readpass,
                       "-h", "sha256", "-n", "Fenwrack", "-time", str(stamp())]
            for url in args.timestamp:
                command += ["-ts", url]
            done = subprocess.run(command + ["-in", source, "-out", target], capture_output=True,
                                  text=True)
            if done.returncode:
                sys.exit("bundle: cannot sign %s: %s" % (Path(source).name,
                                                         (done.stderr or done.stdout).strip()))
    return sign


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=Path, help="the windows preset's build folder")
    parser.add_argument("out", type=Path)
    parser.add_argument("--sign", type=Path, metavar="CERT.pfx",
                        help="sign the exes and the package with this certificate and its key")
    parser.add_argument("--password-file", type=Path,
                        help="the certificate's password (else FENWRACK_SIGN_PASSWORD)")
    parser.add_argument("--timestamp", action="append", default=[], metavar="URL",
                        help="a timestamp server; the signed files then differ from run to run")
    args = parser.parse_args()
    build, out, sign = args.build, args.out, signer(args)
    # The version and the package's codes, as the build that made the exes has them.
    codes = json.loads((build / "generated/package.json").read_text())
    version = codes["version"]
    files = {}
    with tempfile.TemporaryDirectory() as work:
        for name in EXES:
            if sign:
                sign(build / name, Path(work) / name)
            files[name] = (Path(work) / name if sign else build / name).read_bytes()
    files["field-guide.html"] = guide_html()
    files["MACHINE-FILE.md"] = (SOURCE / "machine_file/MACHINE-FILE.md").read_bytes()
    files["SECURITY.md"] = (SOURCE / "SECURITY.md").read_bytes()
    files["machine-file.schema.json"] = (SOURCE / "machine_file/machine-file.schema.json").read_bytes()
    for path in sorted((SOURCE / "examples").iterdir()):
        files["examples/" + path.name] = path.read_bytes()
    files["product-table.txt"] = product_table(build)
    files["SHA256SUMS"] = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                                  for name, data in sorted(files.items())).encode()
    # ZIP times are local DOS times from 1980 on: the stamp as UTC, whatever the machine's zone.
    when = time.gmtime(max(stamp(), 315532800))[:6]
    out.mkdir(parents=True, exist_ok=True)
    target = out / ("fenwrack-%s.zip" % version)
    folder = "fenwrack-%s/" % version
    with zipfile.ZipFile(target, "w") as bundle:
        for name, data in sorted(files.items()):
            entry = zipfile.ZipInfo(folder + name, date_time=when)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so that the permissions below are read
            entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            bundle.writestr(entry, data, compresslevel=9)
    print(target)
    package = out / ("fenwrack-%s.msi" % version)
    with tempfile.TemporaryDirectory() as work:
        unsigned = Path(work) / package.name if sign else package
        build_package(files, version, codes["product_code"], codes["upgrade_code"],
                      stamp(), unsigned)
        if sign:
            sign(unsigned, package)
    print(package)


if __name__ == "__main__":
    main()
