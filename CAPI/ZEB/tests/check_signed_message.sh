#!/bin/bash
# Host-side check of the message signed through the tray's binding: the
# attached CMS signature must verify with openssl and carry the message.
# The card's test certificates chain to no trusted root: only the signature
# is judged.
#   check_signed_message.sh FOLDER
set -u
dir=$1
[ -f "$dir/message.p7s" ] || { echo "FAIL: $dir/message.p7s missing"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
openssl cms -verify -binary -inform DER -in "$dir/message.p7s" -noverify -out "$tmp/content" || exit 1
cmp "$tmp/content" "$dir/message.txt" || { echo "FAIL: the signed content differs"; exit 1; }
openssl cms -cmsout -print -inform DER -in "$dir/message.p7s" | grep -q "SIGNATURE" \
  || { echo "FAIL: not signed with the signature certificate"; exit 1; }
echo "signed message verified"
