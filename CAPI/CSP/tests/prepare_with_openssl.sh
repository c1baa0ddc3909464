#!/bin/bash
# Host-side inputs of the provider's key tests, made by openssl with the card's
# certificates: the certificates in DER, a secret encrypted for the card's
# exchange key, a session key wrapped for it, the data to sign, and enveloped
# messages for the card.
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
# Enveloped messages to the card's exchange (encryption) certificate, as mail
# clients make them: AES-256 (their default), AES-128 and 3DES.
printf 'Compte rendu de consultation, envoy\xe9 chiffr\xe9 au m\xe9decin traitant.\r\n%.0s' 1 2 3 \
  > "$out/envelope.txt"
for cipher in aes256 aes128 des3; do
  openssl cms -encrypt -binary -"$cipher" -in "$out/envelope.txt" -outform DER \
    -out "$out/envelope-$cipher.p7m" "$keys/auth.crt.pem"
done
echo "inputs ready in $out"
