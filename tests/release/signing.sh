#!/usr/bin/env bash
# signing.sh SOURCE BUILD WORK: the release of the windows build BUILD, signed with a throwaway
# certificate: each exe in the zip and the package verify against its authority, and fail with
# one byte changed; unsigned, none carries a signature.
set -euo pipefail
source_dir=$1 build=$2 work=$3
rm -rf "$work"
"$source_dir/tests/release/make_certificate.sh" "$work/certificate"
FENWRACK_SIGN_PASSWORD=$(cat "$work/certificate/password") \
  "$source_dir/scripts/bundle.py" "$build" "$work/signed" --sign "$work/certificate/sign.pfx" >/dev/null
"$source_dir/scripts/bundle.py" "$build" "$work/unsigned" >/dev/null
failed=0
verify() { osslsigncode verify -CAfile "$work/certificate/ca.pem" -in "$1" >"$work/verify.txt" 2>&1; }
for kind in signed unsigned; do
  unzip -q -d "$work/$kind" "$work/$kind"/fenwrack-*.zip
  for file in "$work/$kind"/fenwrack-*/*.exe "$work/$kind"/fenwrack-*.msi; do
    name=$kind/$(basename "$file")
    if [ $kind = signed ]; then
      verify "$file" || { echo "FAILED: $name does not verify"; cat "$work/verify.txt"; failed=1; }
      # One byte in the middle, which the signature's hash covers.
      python3 -c 'import sys; p = sys.argv[1]; b = bytearray(open(p, "rb").read())
b[len(b) // 2] ^= 1; open(p, "wb").write(b)' "$file"
      ! verify "$file" || { echo "FAILED: $name verifies with a byte changed"; failed=1; }
    else
      ! verify "$file" || { echo "FAILED: $name carries a signature"; failed=1; }
    fi
  done
done
rm -rf "$work"
exit $failed
