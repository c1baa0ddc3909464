#!/bin/bash
# Host-side inputs of the provider's key tests, made by openssl with the card's
# certificates: the certificates in DER, a secret encrypted for the card's
# exchange key, a session key wrapped for it, and the data to sign.
#   prepare_with_openssl.sh ARTIFACT_FOLDER KEYS_FOLDER
set -eu
out=$1
keys=$2
rm -rf "$out"
mkdir -p "$out"
for c in auth sign; do
  openssl x509 -in "$keys/$c.crt.pem" -outform DER -out "$out/$c.crt"
  openssl x509 -in "$keys/$c.crt.pem" -pubkey -noout > "$out/$c.pub"
done
printf 'Ordonnance du 10 d\xe9cembre: 3 bo\xeetes.' > "$out/data.bin"
head -c 37 /dev/urandom > "$out/secret.bin"
openssl pkeyutl -encrypt -pubin -inkey "$out/auth.pub" -pkeyopt rsa_padding_mode:pkcs1 \
  -in "$out/secret.bin" -out "$out/secret.enc"
head -c 16 /dev/urandom > "$out/session.key"
openssl pkeyutl -encrypt -pubin -inkey "$out/auth.pub" -pkeyopt rsa_padding_mode:pkcs1 \
  -in "$out/session.key" -out "$out/session.wrapped"
echo "inputs ready in $out"
