// The line format shared by card images and the state file: a record is a
// line that starts in column 0 followed by indented lines; tokens are words,
// name=value pairs (value bare or "quoted" with \" and \\) and, on indented
// lines, hexadecimal bytes. '#' starts a comment outside quotes.
#ifndef SOFTCARD_TEXT_RECORDS_H
#define SOFTCARD_TEXT_RECORDS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace softcard {

struct Record {
    int line = 0;                              // line number of its first line
    std::string keyword;                       // first word
    std::vector<std::string> words;            // further bare words of the first line
    std::map<std::string, std::string> values; // name=value pairs of the first line
    std::vector<uint8_t> blob;                 // bytes of the indented lines
    bool has(const std::string &name) const { return values.count(name) != 0; }
    std::string get(const std::string &name) const;
};

// Splits text into records; false with a message naming the line on error.
bool parseRecords(const std::string &text, std::vector<Record> &out, std::string &error);

std::string quote(const std::string &text);
std::string hexLines(const std::vector<uint8_t> &bytes, const char *indent = "    ");
std::string hexString(const std::vector<uint8_t> &bytes);
bool parseHex(const std::string &text, std::vector<uint8_t> &out);
// Decimal or 0x-hexadecimal unsigned number; false when malformed or above max.
bool parseNumber(const std::string &text, unsigned long long max, unsigned long long &out);

} // namespace softcard

#endif
