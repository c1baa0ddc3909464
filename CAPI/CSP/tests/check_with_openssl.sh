#!/bin/bash
# Host-side check of the signatures the provider made through CryptoAPI: each
# file sig-<hash>-<key spec>.bin (big-endian) must verify with openssl against
# the card's certificate of that key (1: authentication, 2: signature).
#   check_with_openssl.sh ARTIFACT_FOLDER
set -u
dir=$1
failures=0
checked=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for spec in 1 2; do
  pub=$dir/auth.pub
  [ "$spec" = 2 ] && pub=$dir/sign.pub
  for hash in md5 sha1 sha256 sha384 sha512; do
    sig=$dir/sig-$hash-$spec.bin
    [ -f "$sig" ] || { fail "$sig missing"; continue; }
    openssl dgst -"$hash" -verify "$pub" -signature "$sig" "$dir/data.bin" >/dev/null \
      || fail "$hash with key spec $spec"
    checked=$((checked + 1))
  done
  # The SSL3 hash is signed raw: the MD5 and SHA-1 values of the data, back
  # from the signature under PKCS#1 type 1 padding.
  sig=$dir/sig-ssl3-$spec.bin
  [ -f "$sig" ] || { fail "$sig missing"; continue; }
  { openssl dgst -md5 -binary "$dir/data.bin"; openssl dgst -sha1 -binary "$dir/data.bin"; } > "$tmp/ssl3"
  openssl pkeyutl -verifyrecover -pubin -inkey "$pub" -in "$sig" -out "$tmp/recovered" \
    && cmp -s "$tmp/recovered" "$tmp/ssl3" || fail "ssl3 with key spec $spec"
  checked=$((checked + 1))
done

# Signatures made without the hash's algorithm identifier: the bare hash
# value comes back from PKCS#1 type 1 padding.
for hash in sha1 sha256; do
  sig=$dir/raw-$hash.bin
  [ -f "$sig" ] || { fail "$sig missing"; continue; }
  openssl dgst -"$hash" -binary "$dir/data.bin" > "$tmp/raw-$hash"
  openssl pkeyutl -verifyrecover -pubin -inkey "$dir/sign.pub" -in "$sig" -out "$tmp/recovered-$hash" \
    && cmp -s "$tmp/recovered-$hash" "$tmp/raw-$hash" || fail "raw $hash"
  checked=$((checked + 1))
done

echo "$checked signatures checked"
[ "$failures" -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
