#!/usr/bin/env bash
# The native module driven by clients that are not ours: OpenSC's pkcs11-tool
# and GnuTLS's p11tool list, log in, sign (checked by openssl), change and
# unblock the PIN, on a private state file.
#   native_clients.sh <module.so> <softcard_ctl> <keys folder> <message file>
set -euo pipefail
module=$1 ctl=$2 keys=$3 message=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VEL_SOFTCARD_STATE="$work/softcard.state"

step() { echo "== $*"; }
expect() { # text, file: the file holds the text
  grep -qF -- "$1" "$2" || { echo "missing \"$1\" in:"; cat "$2"; exit 1; }
}
p11() { pkcs11-tool --module "$module" "$@"; }

step "pkcs11-tool lists the slot and the token"
p11 --list-slots >"$work/slots" 2>&1
expect "Lecteur Ovrane VEL 0" "$work/slots"
expect "VEL3v2-MARTIN JEANNE" "$work/slots"

step "public objects without login, private ones after"
p11 --list-objects >"$work/public" 2>&1
expect "Certificat d'Authentification VEL" "$work/public"
expect "VEL_NAME_PS" "$work/public"
if grep -q "VEL_SIT_FACT" "$work/public"; then echo "a private object shows without login"; exit 1; fi
p11 --login --pin 1234 --list-objects >"$work/private" 2>&1
expect "VEL_SIT_FACT" "$work/private"
expect "Private Key Object" "$work/private"

step "signatures verified by openssl against the certificates"
openssl x509 -in "$keys/auth.crt.pem" -pubkey -noout >"$work/auth.pub"
openssl x509 -in "$keys/sign.crt.pem" -pubkey -noout >"$work/sign.pub"
p11 --login --pin 1234 --sign --mechanism SHA256-RSA-PKCS --id 01 -i "$message" -o "$work/auth.sig" >/dev/null 2>&1
openssl dgst -sha256 -verify "$work/auth.pub" -signature "$work/auth.sig" "$message"
p11 --login --pin 1234 --sign --mechanism SHA1-RSA-PKCS --id 02 -i "$message" -o "$work/sign.sig" >/dev/null 2>&1
openssl dgst -sha1 -verify "$work/sign.pub" -signature "$work/sign.sig" "$message"

step "decryption of what openssl encrypted"
printf 'cle de session 42' >"$work/secret"
openssl pkeyutl -encrypt -certin -inkey "$keys/auth.crt.pem" -in "$work/secret" -out "$work/secret.enc"
p11 --login --pin 1234 --decrypt --mechanism RSA-PKCS --id 01 -i "$work/secret.enc" -o "$work/secret.out" >/dev/null 2>&1
cmp "$work/secret" "$work/secret.out"

step "PIN change"
p11 --login --pin 1234 --change-pin --new-pin 5678 >/dev/null 2>&1
p11 --login --pin 5678 --list-objects >/dev/null 2>&1
if p11 --login --pin 1234 --list-objects >/dev/null 2>&1; then echo "the old PIN still works"; exit 1; fi

step "PIN blocked by wrong tries, then unblocked with the unblock code"
for i in 1 2; do p11 --login --pin 0000 --list-objects >/dev/null 2>&1 || true; done
p11 --list-token-slots >"$work/flags" 2>&1
expect "user PIN locked" "$work/flags"
if p11 --login --pin 5678 --list-objects >/dev/null 2>&1; then echo "a blocked PIN logged in"; exit 1; fi
p11 --login --login-type so --so-pin 12345678 --init-pin --new-pin 4321 >/dev/null 2>&1
p11 --login --pin 4321 --list-objects >"$work/after" 2>&1
expect "VEL_SIT_FACT" "$work/after"

step "p11tool lists the token and its objects"
p11tool --provider "$module" --list-tokens >"$work/tokens" 2>&1
expect "VEL3v2-MARTIN JEANNE" "$work/tokens"
url="pkcs11:token=VEL3v2-MARTIN%20JEANNE"
p11tool --provider "$module" --list-all-certs "$url" >"$work/certs" 2>&1
expect "Certificat de Signature VEL" "$work/certs"
GNUTLS_PIN=4321 p11tool --provider "$module" --login --list-privkeys "$url" >"$work/keys" 2>&1
expect "Cle de Signature VEL" "$work/keys"

step "a second reader, insertion seen by a fresh client"
"$ctl" add-reader "Lecteur USB 2" 5
"$ctl" insert "Lecteur USB 2" vel3-cl
p11 --list-slots >"$work/slots2" 2>&1
expect "VEL3v2-CL AB" "$work/slots2"
echo "all client checks passed"
