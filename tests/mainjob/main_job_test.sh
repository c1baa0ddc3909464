#!/usr/bin/env bash
# The main job as scripts/run.sh runs it once the tree is built
# (scripts/main-job.sh: the tray, the signature, the card manager, on the
# software card's default card, in a new prefix of its own), and what it
# leaves: both card certificates propagated into "MY", a signature of the
# card's signature key that openssl verifies, the card manager's four logs
# and its screenshot, and a prefix that held what a holder's machine holds.
#   main_job_test.sh <build tree> <folder>
set -uo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mkdir -p "$2" && cd "$2" && pwd)
keys=$source/standins/softcard/cards/keys
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$out/tray-run" "$out/card-manager-run"
export VEL_BUILD=$build VEL_WINE_HOME=$out
if ! bash "$source/scripts/main-job.sh" "$out"; then
  echo "FAIL: the main job failed"
  exit 1
fi
tray=$out/tray-run manager=$out/card-manager-run
echo "--- checks"

# The two certificates of the card, as zeb_demo read them back from "MY":
# bound to the card's provider, one per key.
run=$(tr -d '\r' <"$tray/run.txt")
[ "$(grep -c '^  provider  Ovrane Cryptographic Provider (type 1)$' <<<"$run")" = 2 ] ||
  fail "not two certificates bound to the card's provider in \"MY\""
grep -q '^  key spec  1 (AT_KEYEXCHANGE)$' <<<"$run" || fail "no authentication certificate (AT_KEYEXCHANGE)"
grep -q '^  key spec  2 (AT_SIGNATURE)$' <<<"$run" || fail "no signature certificate (AT_SIGNATURE)"
for crt in sign auth; do
  cn=$(openssl x509 -in "$keys/$crt.crt.pem" -noout -subject -nameopt sep_multiline,utf8 | sed -n 's/^ *CN=//p')
  grep -qE "^  subject   .*CN=\"?$cn\"?, " <<<"$run" || fail "the card's $crt certificate (CN=$cn) is not in \"MY\""
done

# The signature: made with the card's signature certificate, verified by
# openssl against the card's issuer, and not for another content.
openssl x509 -in "$keys/sign.crt.pem" -outform DER | cmp -s - "$tray/certificate.der" ||
  fail "the message was not signed through the card's signature certificate"
verify() {
  openssl cms -verify -binary -inform DER -in "$tray/message.sig" -content "$1" -CAfile "$keys/ca.crt.pem" \
    -purpose any -out /dev/null 2>&1
}
result=$(verify "$tray/message.txt")
[ "$result" = "CMS Verification successful" ] || fail "openssl: $result"
printf 'Another message.\n' >"$out/other.txt"
verify "$out/other.txt" >/dev/null && fail "openssl verifies the signature for another content too"
grep -q 'CMS Verification successful' "$tray/verify.txt" || fail "the main job's own check did not pass"

# The card manager: the holder shown, the four logs saved from its session,
# the screenshot of the whole display.
grep -q '^porteur : Madame MARTIN JEANNE' <(tr -d '\r' <"$manager/run.txt") || fail "the holder was not shown"
# Each log: its own header, and a line of this session (Windows-1252 text).
while read -r log line; do
  [ -s "$manager/$log" ] || { fail "$log was not saved"; continue; }
  grep -qa "^\*\*\* Fichier $log : " "$manager/$log" || fail "$log is not the card manager's $log"
  grep -qaF "$line" "$manager/$log" || fail "$log lacks \"$line\""
done <<'LOGS'
VEL-JOUR.TXT Lecture donn
VEL-TRAC.TXT C_Initialize
VEL-INFO.TXT Madame MARTIN JEANNE
VEL-DIAG.TXT C_Initialize...OK
LOGS
[ "$(identify -format '%m %wx%h' "$manager/card-manager.png" 2>/dev/null)" = "PNG 1280x1024" ] ||
  fail "no screenshot of the display"

# What the prefix held: the stand-ins of a holder's machine, not the test
# prefix's credential prompt; Wine's own fonts.
system=$out/wineprefix/drive_c/windows/system32
for f in standins/softcard/vel3_pkcs11_w64.dll standins/pcsc/winscard.dll standins/timeout/timeout.exe; do
  cmp -s "$build/$f" "$system/$(basename "$f")" || fail "the prefix did not hold $(basename "$f") of the build"
done
cmp -s "$(compgen -G '/usr/lib/*/wine/x86_64-windows/credui.dll' | head -1)" "$system/credui.dll" ||
  fail "the prefix held another credui.dll than Wine's"
cmp -s /usr/share/wine/fonts/marlett.ttf "$out/wineprefix/drive_c/windows/Fonts/marlett.ttf" ||
  fail "the prefix had no Marlett"

# The prefix (1.3 GB) is kept only for a failure to be looked at.
[ $failures -eq 0 ] && { rm -rf "$out/wineprefix"; echo PASS; }
exit $((failures > 0))
