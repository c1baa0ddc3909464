# Turns the dictionary text kept in the repository into the library's built-in
# copy: appends the Checksum record (SHA-1 of every other line, upper-case
# hexadecimal), writes the complete file and a C++ source holding its bytes.
#   cmake -DSOURCE=<text> -DOUT_FILE=<DICO-FR.QUV> -DOUT_CPP=<.cpp> -P make-builtin.cmake
# The text must be Windows-1252 with CRLF line ends and carry no Checksum line.
# To edit it in a UTF-8 editor and keep its bytes right:
#   iconv -f CP1252 -t UTF-8 builtin-dictionary.txt > /tmp/d.txt   (edit, keep CR LF)
#   iconv -f UTF-8 -t CP1252 /tmp/d.txt > builtin-dictionary.txt
# Field 5 of each line is the label's length in characters; the tests check
# the table counts and titles the library promises.

file(READ "${SOURCE}" hex HEX)
string(LENGTH "${hex}" hexlen)
if(hexlen LESS 4)
  message(FATAL_ERROR "${SOURCE}: empty dictionary text")
endif()
math(EXPR tail "${hexlen} - 4")
string(SUBSTRING "${hex}" ${tail} 4 last)
if(NOT last STREQUAL "0d0a")
  message(FATAL_ERROR "${SOURCE}: the last line must end with CR LF")
endif()
# "\tChecksum\t" as the key1 field of some line: the record is made here only.
if(hex MATCHES "09436865636b73756d09")
  message(FATAL_ERROR "${SOURCE}: the Checksum record is computed at build time; remove it from the text")
endif()

file(SHA1 "${SOURCE}" digest)
string(TOUPPER "${digest}" digest)
set(record "G999\tChecksum\t*\t*\t48\tSHA-1 : ${digest}\r\n")
string(HEX "${record}" record_hex)
string(APPEND hex "${record_hex}")

string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")

# C++ array: 16 bytes a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," array "${hex}")
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 sixteen)
string(REGEX REPLACE "(${sixteen})" "\\1\n    " array "${array}")

file(WRITE "${OUT_CPP}"
"// Generated from data/builtin-dictionary.txt by data/make-builtin.cmake; do not edit.
#include \"builtin.h\"

namespace vltab {

const unsigned char kBuiltinDictionaryText[${size}] = {
    ${array}
};
const size_t kBuiltinDictionarySize = ${size};

} // namespace vltab
")

# The file as the installation would ship it (byte-exact copy plus the record).
file(COPY_FILE "${SOURCE}" "${OUT_FILE}")
file(APPEND "${OUT_FILE}" "${record}")
