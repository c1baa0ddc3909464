#include "text_records.h"

#include <cctype>
#include <cstdio>

namespace softcard {
namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string lineError(int line, const char *what)
{
    char buf[96];
    std::snprintf(buf, sizeof(buf), "ligne %d : %s", line, what);
    return buf;
}

// Reads one token at s[i]; a quoted value is unescaped. False on an open quote.
bool readToken(const std::string &s, size_t &i, std::string &name, std::string &value, bool &pair)
{
    name.clear();
    value.clear();
    pair = false;
    std::string *cur = &name;
    while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i])) && s[i] != '#') {
        char c = s[i];
        if (c == '=' && !pair) {
            pair = true;
            cur = &value;
            ++i;
            continue;
        }
        if (c == '"') {
            ++i;
            bool closed = false;
            while (i < s.size()) {
                char q = s[i++];
                if (q == '"') {
                    closed = true;
                    break;
                }
                if (q == '\\' && i < s.size())
                    q = s[i++];
                cur->push_back(q);
            }
            if (!closed)
                return false;
            continue;
        }
        cur->push_back(c);
        ++i;
    }
    return true;
}

} // namespace

std::string Record::get(const std::string &name) const
{
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
}

bool parseRecords(const std::string &text, std::vector<Record> &out, std::string &error)
{
    out.clear();
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool indented = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        size_t i = 0;
        bool first = true;
        while (true) {
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
                ++i;
            if (i >= line.size() || line[i] == '#')
                break;
            std::string name, value;
            bool pair;
            if (!readToken(line, i, name, value, pair)) {
                error = lineError(lineNo, "guillemet non fermé");
                return false;
            }
            if (indented) {
                if (out.empty() || pair) {
                    error = lineError(lineNo, "ligne en retrait inattendue");
                    return false;
                }
                std::vector<uint8_t> bytes;
                if (!parseHex(name, bytes)) {
                    error = lineError(lineNo, "octets hexadécimaux attendus");
                    return false;
                }
                out.back().blob.insert(out.back().blob.end(), bytes.begin(), bytes.end());
                continue;
            }
            if (first) {
                out.emplace_back();
                out.back().line = lineNo;
                out.back().keyword = name;
                first = false;
                if (pair) {
                    error = lineError(lineNo, "mot-clé attendu");
                    return false;
                }
            } else if (pair) {
                out.back().values[name] = value;
            } else {
                out.back().words.push_back(name);
            }
        }
    }
    return true;
}

std::string quote(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string hexString(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string hexLines(const std::vector<uint8_t> &bytes, const char *indent)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 32) {
        size_t n = bytes.size() - i < 32 ? bytes.size() - i : 32;
        out += indent;
        out += hexString(std::vector<uint8_t>(bytes.begin() + i, bytes.begin() + i + n));
        out += '\n';
    }
    return out;
}

bool parseHex(const std::string &text, std::vector<uint8_t> &out)
{
    out.clear();
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

bool parseNumber(const std::string &text, unsigned long long max, unsigned long long &out)
{
    if (text.empty() || text.size() > 20)
        return false;
    unsigned long long v = 0;
    size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    for (; i < text.size(); ++i) {
        int d = hexDigit(text[i]);
        if (d < 0 || d >= base)
            return false;
        if (v > (max - d) / base)
            return false;
        v = v * base + d;
    }
    out = v;
    return true;
}

} // namespace softcard
