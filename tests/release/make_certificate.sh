#!/usr/bin/env bash
# make_certificate.sh DIR: a throwaway certificate authority (DIR/ca.pem) and a code-signing
# certificate it issued, with its key, in DIR/sign.pfx, whose password is in DIR/password.
set -euo pipefail
dir=$1
mkdir -p "$dir"
quiet() { "$@" 2>/dev/null; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" \
  -days 3650 -subj "/CN=Fenwrack test authority" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
quiet openssl req -newkey rsa:2048 -nodes -keyout "$dir/sign.key" -out "$dir/sign.csr" \
  -subj "/CN=Fenwrack test signer"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
  >"$dir/extensions"
quiet openssl x509 -req -in "$dir/sign.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
  -CAcreateserial -out "$dir/sign.pem" -days 3650 -extfile "$dir/extensions"
printf 'not on any command line' >"$dir/password"
openssl pkcs12 -export -inkey "$dir/sign.key" -in "$dir/sign.pem" -certfile "$dir/ca.pem" \
  -out "$dir/sign.pfx" -passout "file:$dir/password"
