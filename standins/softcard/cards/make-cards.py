#!/usr/bin/env python3
"""Builds the test cards of the software card from readable sources.

Every card is described below field by field; the data objects are assembled
from their tagged elements, the certificates and keys come from the PEM files
of the keys folder (made once by make-keys.sh). The output is one card image
per card (the text format described in README.md) and a C++ table of the
same images, which the library and the control program carry built in.

    make-cards.py <keys folder> <output folder>
"""
import base64
import os
import sys

# ---------------------------------------------------------------- helpers

def tlv(tag, value):
    """One element: tag, one length byte, value."""
    if isinstance(value, str):
        value = value.encode("cp1252")
    assert len(value) < 256, "element too long"
    return bytes([tag, len(value)]) + bytes(value)


def nibbles(digits):
    """Digits packed two per byte, high half first; an odd count ends in F."""
    if len(digits) % 2:
        digits += "F"
    return bytes.fromhex(digits)


def framed(tag, elements):
    """A data object: object tag, length, elements (long form when needed)."""
    body = b"".join(elements)
    if len(body) < 0x80:
        return bytes([tag, len(body)]) + body
    assert len(body) < 256
    return bytes([tag, 0x81, len(body)]) + body


def ber_framed(tag, elements):
    body = b"".join(elements)
    if len(body) < 0x80:
        return bytes([tag, len(body)]) + body
    if len(body) < 0x100:
        return bytes([tag, 0x81, len(body)]) + body
    return bytes([tag, 0x82, len(body) >> 8, len(body) & 0xFF]) + body


def pem_der(path):
    lines = [l.strip() for l in open(path) if l.strip() and not l.startswith("-----")]
    return base64.b64decode("".join(lines))

# ---------------------------------------------------------- data objects

def name_object(civility, name1, name2, parts, shown):
    return framed(0xE4, [
        tlv(0x80, bytes([civility])),            # civility as a number (22 Madame, 31 Monsieur)
        tlv(0x81, name1),                        # name text 1
        tlv(0x82, name2),                        # name text 2
        tlv(0x83, b"\xff".join(p.encode("cp1252") for p in parts)),  # name parts, FF-separated
        tlv(0x84, shown),                        # shown name
    ])


def id_object(leading, number, variant, issued, expires):
    return framed(0xE3, [
        tlv(0x80, nibbles(leading)),             # leading number, 11 digits
        tlv(0x81, nibbles(number)),              # card number, 10 digits
        tlv(0x82, bytes([variant])),             # card variant (0x80-0x82: test card)
        tlv(0x83, nibbles(issued)),              # issue date YYYYMMDD
        tlv(0x84, nibbles(expires)),             # end of validity YYYYMMDD
    ])


def info_object(card_type, flags, national_id, profession, category, practice_name, qualification):
    assert len(qualification) == 38
    return framed(0xED, [
        tlv(0x80, bytes([card_type, flags])),    # card type, card flags (one bit each)
        tlv(0x81, national_id),                  # identifier type + national identifier
        tlv(0x82, bytes([profession])),          # profession code as a number
        tlv(0x83, bytes([category])),            # profession category code
        tlv(0x84, practice_name),                # practice name
        tlv(0x85, qualification),                # qualification block, 38 characters
    ])


def qualification_block(code, kinds, specialities, orientations, diploma, attributions):
    """Positions 0-9 code, 12-13/16-17/20-21 kinds, 14-15/18-19 specialities,
    22-25 orientations, 26-27 diploma, 30-37 attributions."""
    k1, k2, k3 = kinds
    s1, s2 = specialities
    o1, o2 = orientations
    block = code.ljust(10) + "  " + k1 + s1 + k2 + s2 + k3 + o1 + o2 + diploma + "  " + "".join(attributions)
    assert len(block) == 38, block
    return block


def activity_object(mode, speciality, kind, link, structure_type="", structure_id="",
                    sector="", structure_name="", pharmacist=None, replaced=None):
    els = []
    if replaced is not None:
        # A replacement: the structure element is long enough to reach the
        # replaced practitioner's identifier (value bytes 71 onwards); it comes
        # first so that the elements below overwrite what it also covers.
        value = (structure_type + structure_id.ljust(14)).ljust(71) + replaced.ljust(31)
        els.append(tlv(0x85, value))
    els.append(tlv(0x80, bytes([mode, 0x00])))                   # mode of practice, second byte not read
    els.append(tlv(0x81, bytes([0x00, speciality, kind])))       # hex pairs: -, speciality, speciality kind
    if replaced is None:
        els.append(tlv(0x85, structure_type + structure_id.ljust(14)))   # structure identifier
    if sector:
        els.append(tlv(0x86, sector))                            # RPPS activity sector (SAnn)
    if structure_name:
        els.append(tlv(0x84, structure_name))                    # structure name
    if pharmacist is not None:
        els.append(tlv(0x82, pharmacist))                        # pharmacist section
    els.append(tlv(0x83, bytes([link])))                         # logical link to a billing situation
    return framed(0xEE, els)


def billing_object(situations):
    elements = []
    for s in situations:
        elements.append(tlv(0xA0, b"".join([
            tlv(0x80, bytes([s["link"]])),             # logical link to an activity
            tlv(0x81, nibbles(s["billing_id"])),       # billing identifier, 10 digits
            tlv(0x82, nibbles(s["convention"])),       # speciality(2) convention(1) zone(2) mileage(1)
            tlv(0x83, nibbles(s["approvals"])),        # approvals, 6 digits
            tlv(0x84, bytes([s["signing"]])),          # 0x10 may sign FSE, 0x01 may sign batches
        ])))
    return ber_framed(0xE0, elements)

# ------------------------------------------------------------ the cards

VEL3_ATR = "3BAC00402A001225006480000310009000"
VEL2_ATR = "3BAC00402A001225006480000210009000"   # older generation: one byte differs
OTHER_ATR = "3B8F8001804F0CA0000003060300030000000068"

PRACTITIONER_DATA = [
    ("VEL_NAME_PS", False, name_object(22, "MARTIN", "JEANNE", ["MARTIN", "JEANNE", "MARIE"], "JEANNE")),
    ("VEL_ID_CARD", False, id_object("25000123456", "2500012345", 0x80, "20240115", "20270630")),
    ("VEL_INFO_PS", False, info_object(
        0x00, 0xA0, "810001234567", 10, 10, "MARTIN",
        qualification_block("SM26", ("01", "03", "08"), ("01", "41"), ("80", "81"), "99",
                            ("30", "91", "93", "97")))),
    ("VEL_ACTIVITY_01_PS", True, activity_object(
        0, 0x01, 0x03, 1, "3", "12345678900017", "SA07", "CABINET DU DOCTEUR MARTIN")),
    ("VEL_ACTIVITY_02_PS", True, activity_object(
        1, 0x41, 0x01, 2, "1", "750712184", "SA01", "HOPITAL DE TEST", pharmacist="  ")),
    ("VEL_ACTIVITY_03_PS", True, activity_object(
        4, 0x01, 0x03, 3, "4", "10100000012345", replaced="810009876543")),
    ("VEL_SIT_FACT", True, billing_object([
        dict(link=1, billing_id="7512345678", convention="011101", approvals="000000", signing=0x11),
        dict(link=2, billing_id="7598765432", convention="019991", approvals="010000", signing=0x10),
        dict(link=3, billing_id="7511122233", convention="011001", approvals="990000", signing=0x00),
    ])),
]

def with_gap(data):
    """Activities 01, 02 and 04: the third situation is missing."""
    out = []
    for label, private, value in data:
        if label == "VEL_ACTIVITY_03_PS":
            label = "VEL_ACTIVITY_04_PS"
        out.append((label, private, value))
    return out

TECH_DATA = [
    ("VEL_NAME_PS", False, name_object(31, "AB", "", ["AB"], "AB")),
    ("VEL_ID_CARD", False, id_object("25000987654", "2500098765", 0x81, "20240301", "20270331")),
    ("VEL_INFO_PS", False, info_object(
        0x03, 0x00, "312345678900017", 0, 0, "AB",
        qualification_block("", ("  ", "  ", "  "), ("  ", "  "), ("  ", "  "), "  ",
                            ("  ", "  ", "  ", "  ")))),
]

AUTH = "Certificat d'Authentification VEL"
SIGN = "Certificat de Signature VEL"
TECH = "Certificat Technique VEL"

def card(name, label, serial, atr, data, certs, pin_left=3, model="VEL3", comment="", recognised=True):
    return dict(name=name, label=label, serial=serial, atr=atr, data=data, certs=certs,
                pin_left=pin_left, model=model, comment=comment, recognised=recognised)

LONG_ID = bytes(range(0x40, 0x40 + 40))   # 40 bytes, more than the 32 the card manager keeps

CARDS = [
    card("vel3-default", "VEL3v2-MARTIN JEANNE", "2500012345", VEL3_ATR, PRACTITIONER_DATA,
         [(AUTH, b"\x01", "auth"), (SIGN, b"\x02", "sign")],
         comment="The default card: a practitioner with three situations."),
    card("vel3-cl", "VEL3v2-CL AB", "12345678", VEL3_ATR, TECH_DATA, [(TECH, b"\x01", "tech")],
         comment="A single-certificate card (technical certificate)."),
    card("vel3-blocked", "VEL3v2-MARTIN JEANNE", "2500012345", VEL3_ATR, PRACTITIONER_DATA,
         [(AUTH, b"\x01", "auth"), (SIGN, b"\x02", "sign")], pin_left=0,
         comment="The default card with its PIN blocked."),
    card("vel2-old", "VEL2v5-MARTIN JEANNE", "2500012345", VEL2_ATR, PRACTITIONER_DATA,
         [(AUTH, b"\x01", "auth"), (SIGN, b"\x02", "sign")], model="VEL2",
         comment="An older-generation card."),
    card("unknown", "CARTE ETRANGERE", "0000000001", OTHER_ATR, [], [], model="INCONNU",
         comment="A card that is not a VEL card.", recognised=False),
    card("vel3-1024", "VEL3v2-DURAND PAUL", "2500054321", VEL3_ATR, PRACTITIONER_DATA,
         [(AUTH, b"\x01", "auth1024"), (SIGN, b"\x02", "sign1024")],
         comment="1024-bit keys."),
    card("vel3-longid", "VEL3v2-MARTIN JEANNE", "2500012345", VEL3_ATR, PRACTITIONER_DATA,
         [(AUTH, LONG_ID, "auth"), (SIGN, LONG_ID[:-1] + b"\x02", "sign")],
         comment="Key identifiers of 40 bytes."),
    card("vel3-gap", "VEL3v2-MARTIN JEANNE", "2500012345", VEL3_ATR, with_gap(PRACTITIONER_DATA),
         [(AUTH, b"\x01", "auth"), (SIGN, b"\x02", "sign")],
         comment="Activities 01, 02 and 04: a gap where 03 should be."),
]

# ----------------------------------------------------------- the output

def hex_lines(data, indent="    ", per_line=32):
    return [indent + data[i:i + per_line].hex().upper() for i in range(0, len(data), per_line)]


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def image(c, keys):
    out = ["# " + c["comment"], "vel-card 1",
           "token label=%s manufacturer=%s model=%s serial=%s%s" % (
               quoted(c["label"]), quoted("Ovrane"), quoted(c["model"]), quoted(c["serial"]),
               "" if c["recognised"] else " recognised=no"),
           "atr " + c["atr"],
           "pin code=\"1234\" left=%d max=3 minlen=4 maxlen=8" % c["pin_left"],
           "unblock code=\"12345678\" left=10 max=10 minlen=8 maxlen=8"]
    for label, private, value in c["data"]:
        out.append("data label=%s private=%s" % (quoted(label), "yes" if private else "no"))
        out += hex_lines(value)
    for label, key_id, stem in c["certs"]:
        out.append("cert label=%s id=%s" % (quoted(label), key_id.hex().upper()))
        out += hex_lines(pem_der(os.path.join(keys, stem + ".crt.pem")))
        key_label = label.replace("Certificat", "Cle")
        out.append("key label=%s id=%s" % (quoted(key_label), key_id.hex().upper()))
        out += hex_lines(pem_der(os.path.join(keys, stem + ".key.pem")))
    return "\n".join(out) + "\n"


def main():
    keys, outdir = sys.argv[1], sys.argv[2]
    os.makedirs(outdir, exist_ok=True)
    table = ["// Made by make-cards.py from the card sources; do not edit.",
             "#include \"builtin_cards.h\"", "", "#include <cstring>", "", "namespace softcard {", "",
             "const BuiltinCard kBuiltinCards[] = {"]
    for c in CARDS:
        text = image(c, keys)
        with open(os.path.join(outdir, c["name"] + ".card"), "w", newline="\n") as f:
            f.write(text)
        table.append("    {\"%s\", R\"CARD(%s)CARD\"}," % (c["name"], text))
    table += ["};", "", "const size_t kBuiltinCardCount = sizeof(kBuiltinCards) / sizeof(kBuiltinCards[0]);",
              "", "const BuiltinCard *findBuiltinCard(const char *name)", "{",
              "    for (size_t i = 0; i < kBuiltinCardCount; ++i)",
              "        if (std::strcmp(kBuiltinCards[i].name, name) == 0)",
              "            return &kBuiltinCards[i];",
              "    return nullptr;", "}", "", "} // namespace softcard", ""]
    with open(os.path.join(outdir, "builtin_cards.cpp"), "w", newline="\n") as f:
        f.write("\n".join(table))


if __name__ == "__main__":
    main()
