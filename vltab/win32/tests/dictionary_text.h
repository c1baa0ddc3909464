// Builds dictionary texts for the tests: TAB-separated lines ended by CR LF,
// and a Checksum record made the way the library checks it.
#ifndef VLTAB_TESTS_DICTIONARY_TEXT_H
#define VLTAB_TESTS_DICTIONARY_TEXT_H

#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "sha.h"

namespace vltab_test {

inline std::string Line(std::initializer_list<std::string> fields)
{
    std::string line;
    const char *separator = "";
    for (const std::string &f : fields) {
        line += separator + f;
        separator = "\t";
    }
    return line + "\r\n";
}

inline std::string Record(const std::string &table, const std::string &key1, const std::string &label,
                          const std::string &key2 = "*", const std::string &key3 = "*")
{
    return Line({table, key1, key2, key3, std::to_string(label.size()), label});
}

// NOM_TABLE and NOM_CHAMP listing the given tables (and themselves), with
// titles made from the names.
inline std::string Listing(std::initializer_list<std::string> tables)
{
    std::string text;
    for (const char *meta : {"NOM_TABLE", "NOM_CHAMP"}) {
        text += Record(meta, "NOM_TABLE", std::string("titre ") + meta + " NOM_TABLE");
        text += Record(meta, "NOM_CHAMP", std::string("titre ") + meta + " NOM_CHAMP");
        for (const std::string &t : tables)
            text += Record(meta, t, std::string("titre ") + meta + " " + t);
    }
    return text;
}

inline std::string Sha1Hex(const std::string &bytes, bool lowerCase = false)
{
    uint8_t digest[vel::Sha1::kDigestSize];
    vel::Sha1::digest(bytes.data(), bytes.size(), digest);
    std::string hex;
    char b[3];
    for (uint8_t c : digest) {
        std::snprintf(b, sizeof b, lowerCase ? "%02x" : "%02X", c);
        hex += b;
    }
    return hex;
}

// The text followed by its Checksum record: what an installation ships.
inline std::string WithChecksum(const std::string &text, bool lowerCase = false)
{
    return text + Record("G999", "Checksum", "SHA-1 : " + Sha1Hex(text, lowerCase));
}

} // namespace vltab_test

#endif
