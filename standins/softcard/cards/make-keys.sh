#!/usr/bin/env bash
# Makes the keys and certificates of the test cards (run once; the results are
# committed so that every build uses the same cards). Rerunning replaces them
# all: a new authority, new keys, new certificates.
#   make-keys.sh [output folder]   (default: the keys folder beside this script)
set -euo pipefail
out=${1:-"$(dirname "$0")/keys"}
mkdir -p "$out"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

key() { # name bits: a PKCS#1 RSA private key
  openssl genrsa -traditional -out "$1.key.pem" "$2" 2>/dev/null
}

# The test authority (self-signed).
key ca 2048
openssl req -new -x509 -key ca.key.pem -out ca.crt.pem -days 7300 -sha256 \
  -subj "/C=FR/O=Ovrane Test/OU=Autorite de test/CN=AC TEST VEL3" \
  -set_serial 1 \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign"

serial=100
cert() { # name bits subject keyUsage
  local name=$1 bits=$2 subject=$3 usage=$4
  key "$name" "$bits"
  openssl req -new -key "$name.key.pem" -subj "$subject" -out "$tmp/$name.csr"
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,%s\n' "$usage" >"$tmp/$name.ext"
  serial=$((serial + 1))
  openssl x509 -req -in "$tmp/$name.csr" -CA ca.crt.pem -CAkey ca.key.pem \
    -set_serial "$serial" -days 3650 -sha256 -extfile "$tmp/$name.ext" \
    -out "$name.crt.pem" 2>/dev/null
}

# The default practitioner card: authentication and signature (nonRepudiation only).
cert auth 2048 "/C=FR/O=Ovrane Test/OU=2500012345/CN=MARTIN JEANNE/serialNumber=810001234567" \
  "digitalSignature,keyEncipherment"
cert sign 2048 "/C=FR/O=Ovrane Test/OU=2500012345/CN=MARTIN JEANNE SIGNATURE/serialNumber=810001234567" \
  "nonRepudiation"
# The single-certificate card: one technical certificate.
cert tech 2048 "/C=FR/O=Ovrane Test/OU=CL/CN=AB" "digitalSignature,keyEncipherment"
# The 1024-bit card.
cert auth1024 1024 "/C=FR/O=Ovrane Test/OU=2500054321/CN=DURAND PAUL" \
  "digitalSignature,keyEncipherment"
cert sign1024 1024 "/C=FR/O=Ovrane Test/OU=2500054321/CN=DURAND PAUL SIGNATURE" \
  "nonRepudiation"
rm -f ca.srl
echo "keys and certificates written to $out"
