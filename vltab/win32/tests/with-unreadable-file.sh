#!/usr/bin/env bash
# Runs the read-error test of the dictionary exports: DICO-FR.QUV in the
# prefix's coffre folder becomes a link to /proc/self/mem, which opens as an
# empty regular file and fails at the first read (nothing is mapped at 0).
#   with-unreadable-file.sh <build tree> <test program>
set -uo pipefail
build=$1 program=$2
coffre="$build/wineprefix/drive_c/ProgramData/hestalink/vel/coffre"
mkdir -p "$coffre"
rm -rf "$coffre/DICO-FR.QUV"
ln -s /proc/self/mem "$coffre/DICO-FR.QUV"
VLTAB_UNREADABLE_FILE=1 "$build/wine-run.sh" "$program" --gtest_filter=DictionaryFile.ReadErrorLeavesTheBuiltinCopy
rc=$?
rm -f "$coffre/DICO-FR.QUV"
exit $rc
