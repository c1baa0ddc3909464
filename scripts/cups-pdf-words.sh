#!/bin/sh
# cups-pdf's post-processing for the test printer (scripts/cups.sh): the
# words of the PDF just made ($1), with their pages and positions
# (pdftotext -bbox, UTF-8), beside it as <name>.words. Written under another
# name first, so that a .words file is always whole: its presence tells the
# tests that the job is done.
pdf=$1
words="${pdf%.pdf}.words"
/usr/bin/pdftotext -bbox -enc UTF-8 "$pdf" "$words.part" && mv -f "$words.part" "$words"
