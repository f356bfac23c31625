#!/usr/bin/env bash
# Builds Fenwrack.exe, fenwrack-capture.exe and fenwrack-run.exe from two copies of the sources in
# two folders of different depth and compares the bytes: an exe must not depend on where or when
# it was built.
set -euo pipefail
source_dir=$1 work=$2
rm -rf "$work"
for copy in a "second copy/deeper"; do
  dir="$work/$copy"
  mkdir -p "$dir"
  tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$dir" -xf -
  (cd "$dir" && cmake --preset windows >/dev/null && cmake --build --preset windows --target Fenwrack fenwrack-capture fenwrack-run -j2 >/dev/null)
done
for exe in Fenwrack.exe fenwrack-capture.exe fenwrack-run.exe; do
  pair=("$work/a/build/windows/$exe" "$work/second copy/deeper/build/windows/$exe")
  cmp "${pair[@]}"  # the first differing byte, when they differ
  sha256sum "${pair[@]}"
done
rm -rf "$work"
