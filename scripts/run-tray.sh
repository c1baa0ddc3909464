#!/usr/bin/env bash
# Starts the certificate-propagation tray program (x86-64) under Wine on the
# software card's default card, in a new prefix that holds what a holder's
# machine holds (scripts/wine-prefix.sh: the "MY" store starts empty), and
# prints the certificates it put into the user's "MY" store (subject,
# provider, container, key spec), as any CryptoAPI application reads them
# back; then signs a small file through one of them, the signature
# certificate (CryptSignMessage through its binding, the provider, the
# card's signature key), and checks the CMS signature with openssl. The tray
# keeps running in that prefix, beside the card manager that the main job
# starts next (scripts/main-job.sh).
#   scripts/run-tray.sh [folder]     (default: ./tray-run)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
use_main_prefix
out=$(mkdir -p "${1:-$root/tray-run}" && cd "${1:-$root/tray-run}" && pwd)

[ -f "$build/CAPI/ZEB/ZEB.exe" ] || cmake --build "$build"
bash scripts/wine-prefix.sh new "$build" main "$VEL_WINE_HOME" >/dev/null
# The tray binds each certificate to the card provider and acquires it once
# per certificate: the provider of this build is registered first.
"$build/wine-run.sh" regsvr32 /s "$(winpath "$build/CAPI/CSP/vel3_csp_w64.dll")"
# Output to a file, not a pipe: the tray started by zeb_demo keeps it open.
"$build/wine-run.sh" "$build/CAPI/ZEB/zeb_demo.exe" "$(winpath "$build/CAPI/ZEB/ZEB.exe")" "$(scaled 60)" \
  >"$out/run.txt" 2>&1 || { cat "$out/run.txt"; exit 1; }
cat "$out/run.txt"
printf 'Signed through a certificate the tray propagated.\n' >"$out/message.txt"
"$build/wine-run.sh" "$build/CAPI/ZEB/zeb_sign.exe" "$(winpath "$out/message.txt")" "$(winpath "$out/message.sig")" \
  "$(winpath "$out/certificate.der")" >"$out/sign.txt" 2>&1 || { cat "$out/sign.txt"; exit 1; }
cat "$out/sign.txt"
# The message carries its certificate; the card's test certificates chain to no
# trusted root, so the chain is not judged here, only the signature.
openssl cms -verify -binary -inform DER -in "$out/message.sig" -content "$out/message.txt" -noverify \
  -out /dev/null >"$out/verify.txt" 2>&1 || { cat "$out/verify.txt"; exit 1; }
echo "openssl: $(cat "$out/verify.txt")"
