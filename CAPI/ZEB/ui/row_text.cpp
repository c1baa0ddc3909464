#include "row_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zeb {

std::string SlotRowText(const std::string &description, int index)
{
    size_t n = std::min<size_t>(description.size(), 64);
    n = strnlen(description.c_str(), n);
    if (n == 0) {
        char text[32];
        snprintf(text, sizeof text, "Lecteur N° %d", index + 1);
        return text;
    }
    while (n > 1 && description[n - 1] == ' ')
        --n;
    return description.substr(0, n);
}

namespace {
// The next token as strtok gives it, from `pos` on; false when none is left.
bool NextToken(const std::string &s, size_t &pos, const char *delimiters, std::string &token)
{
    pos = s.find_first_not_of(delimiters, pos);
    if (pos == std::string::npos)
        return false;
    size_t end = s.find_first_of(delimiters, pos);
    token = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? s.size() : end + 1; // the delimiter is used up
    return true;
}
} // namespace

std::string PackageVersionFromName(const std::string &productName)
{
    std::string name = productName.substr(0, strnlen(productName.c_str(), productName.size()));
    size_t pos = 0;
    std::string token;
    if (!NextToken(name, pos, "v.", token))
        return "inconnue";
    int fields[3] = {};
    int found = 0;
    while (found < 3 && NextToken(name, pos, "v. ", token))
        fields[found++] = std::atoi(token.c_str());
    if (found < 3)
        return "inconnue";
    char text[48];
    snprintf(text, sizeof text, "%.2d.%.2d.%.2d", fields[0], fields[1], fields[2]);
    return text;
}

} // namespace zeb
