#!/usr/bin/env bash
# Builds the release zip from two copies of the sources in two folders of different depth and
# compares the bytes: neither an exe nor the zip may depend on where or when it was built.
set -euo pipefail
source_dir=$1 work=$2
rm -rf "$work"
export SOURCE_DATE_EPOCH=1700000000
for copy in a "second copy/deeper"; do
  dir="$work/$copy"
  mkdir -p "$dir"
  tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$dir" -xf -
  (cd "$dir" && cmake --preset windows >/dev/null &&
    cmake --build --preset windows --target Fenwrack fenwrack-capture fenwrack-sim fenwrack-run -j2 >/dev/null &&
    scripts/bundle.py build/windows dist >/dev/null)
done
for file in build/windows/Fenwrack.exe build/windows/fenwrack-capture.exe \
  build/windows/fenwrack-sim.exe build/windows/fenwrack-run.exe dist/fenwrack-*.zip; do
  pair=("$work/a/"$file "$work/second copy/deeper/"$file)
  cmp "${pair[@]}"  # the first differing byte, when they differ
  sha256sum "${pair[@]}"
done
rm -rf "$work"
