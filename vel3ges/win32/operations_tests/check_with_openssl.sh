#!/bin/bash
# Host-side check of what the card operations left on the software card:
# every signature of a self-test verifies with openssl against the card's
# certificate, and every saved certificate is the card's own, byte for byte,
# and parses as X.509.
#   check_with_openssl.sh ARTIFACT_FOLDER KEYS_FOLDER
set -u
artifacts=$1
keys=$2
failures=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for run in default builtin short; do
  dir=$artifacts/$run
  [ -d "$dir" ] || { fail "$run: nothing left by the test"; continue; }
  openssl x509 -inform DER -in "$dir/auth.crt" -pubkey -noout > "$tmp/auth.pub" || fail "$run: authentication certificate"
  openssl x509 -inform DER -in "$dir/sign.crt" -pubkey -noout > "$tmp/sign.pub" || fail "$run: signature certificate"
  # RSA_PKCS over the raw bytes: PKCS#1 type 1 padding around the data
  # itself, so the public key recovers exactly the bytes signed.
  openssl pkeyutl -verifyrecover -pubin -inkey "$tmp/auth.pub" -in "$dir/auth.sig" -out "$tmp/recovered" \
    && cmp -s "$tmp/recovered" "$dir/raw.bin" || fail "$run: RSA_PKCS signature"
  openssl dgst -sha1 -verify "$tmp/sign.pub" -signature "$dir/sha1.sig" "$dir/data.bin" >/dev/null \
    || fail "$run: SHA1_RSA_PKCS signature"
  openssl dgst -sha256 -verify "$tmp/sign.pub" -signature "$dir/sha256.sig" "$dir/data.bin" >/dev/null \
    || fail "$run: SHA256_RSA_PKCS signature"
  echo "$run: signatures checked"
done

for pair in auth:auth sign:sign tech:tech; do
  saved=$artifacts/saved/${pair%%:*}.crt
  card=$keys/${pair##*:}.crt.pem
  [ -f "$saved" ] || { fail "$saved missing"; continue; }
  openssl x509 -inform DER -in "$saved" -noout -subject || fail "$saved does not parse"
  openssl x509 -in "$card" -outform DER -out "$tmp/card.der"
  cmp -s "$saved" "$tmp/card.der" || fail "$saved differs from the card's certificate"
done

[ "$failures" -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
