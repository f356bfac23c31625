#!/usr/bin/env bash
# Builds Fenwrack.exe from two copies of the sources in two folders of different depth and
# compares the bytes: the exe must not depend on where or when it was built.
set -euo pipefail
source_dir=$1 work=$2
rm -rf "$work"
exes=()
for copy in a "second copy/deeper"; do
  dir="$work/$copy"
  mkdir -p "$dir"
  tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$dir" -xf -
  (cd "$dir" && cmake --preset windows >/dev/null && cmake --build --preset windows --target Fenwrack -j2 >/dev/null)
  exes+=("$dir/build/windows/Fenwrack.exe")
done
cmp "${exes[@]}"  # the first differing byte, when they differ
sha256sum "${exes[@]}"
rm -rf "$work"
