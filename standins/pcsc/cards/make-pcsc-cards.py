#!/usr/bin/env python3
"""Card images for what PC/SC shows beside the software card's own cards:
a VEL4 card (the default card's content under the VEL4 ATR) and a FIDO badge.
Usage: make-pcsc-cards.py <vel3-default.card> <output folder>"""
import os
import sys

VEL3_ATR = "3BAC00402A001225006480000310009000"
VEL4_ATR = "3BDC18FF0000122500648000040100 9000".replace(" ", "")
FIDO_ATR = "3B8A800146494430424144474500"

src, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
text = open(src, encoding="utf-8").read()
if "atr " + VEL3_ATR not in text or 'label="VEL3v2-MARTIN JEANNE"' not in text:
    sys.exit("unexpected default card image: " + src)
vel4 = (text.replace("atr " + VEL3_ATR, "atr " + VEL4_ATR)
            .replace('label="VEL3v2-MARTIN JEANNE"', 'label="VEL4v1-MARTIN JEANNE"')
            .replace('model="VEL3"', 'model="VEL4"'))
with open(os.path.join(out, "vel4-default.card"), "w", encoding="utf-8") as f:
    f.write(vel4)
with open(os.path.join(out, "fido-badge.card"), "w", encoding="utf-8") as f:
    f.write("# A FIDO badge: present on its reader, no token a PKCS#11 caller can use.\n"
            "vel-card 1\n"
            'token label="FIDO" manufacturer="Badge" model="FIDO" serial="0001" recognised=no\n'
            "atr " + FIDO_ATR + "\n"
            'pin code="0000" left=3 max=3 minlen=4 maxlen=8\n'
            'unblock code="00000000" left=10 max=10 minlen=8 maxlen=8\n')
