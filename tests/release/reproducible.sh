#!/usr/bin/env bash
# Builds the release from two copies of the sources in two folders of different depth, unsigned
# and signed with one throwaway certificate, and compares the bytes: neither an exe, the zip nor
# the package may depend on where or when it was built, nor a signature on when it was made.
set -euo pipefail
source_dir=$1 work=$2
rm -rf "$work"
export SOURCE_DATE_EPOCH=1700000000
"$source_dir/tests/release/make_certificate.sh" "$work/certificate"
for copy in a "second copy/deeper"; do
  dir="$work/$copy"
  mkdir -p "$dir"
  tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$dir" -xf -
  (cd "$dir" && cmake --preset windows >/dev/null &&
    cmake --build --preset windows --target Fenwrack fenwrack-capture fenwrack-sim fenwrack-run -j2 >/dev/null &&
    scripts/bundle.py build/windows dist >/dev/null &&
    scripts/bundle.py build/windows signed --sign "$work/certificate/sign.pfx" \
      --password-file "$work/certificate/password" >/dev/null)
done
for file in build/windows/Fenwrack.exe build/windows/fenwrack-capture.exe \
  build/windows/fenwrack-sim.exe build/windows/fenwrack-run.exe dist/fenwrack-*.zip \
  dist/fenwrack-*.msi signed/fenwrack-*.zip signed/fenwrack-*.msi; do
  pair=("$work/a/"$file "$work/second copy/deeper/"$file)
  cmp "${pair[@]}"  # the first differing byte, when they differ
  sha256sum "${pair[@]}"
done
rm -rf "$work"
