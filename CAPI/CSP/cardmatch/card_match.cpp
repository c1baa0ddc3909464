#include "card_match.h"

#include <algorithm>
#include <cstring>

namespace cardmatch {

bool RequestNamesCard(const char *request, const std::vector<std::string> &certNames)
{
    if (!request)
        return false;
    for (const std::string &name : certNames)
        if (std::strstr(request, name.c_str()))
            return true;
    return false;
}

CardFate JudgeCard(const std::vector<Der> &kept, const std::vector<Der> &seen)
{
    bool anyKept = false;
    for (const Der &k : kept) {
        if (k.empty())
            continue;
        anyKept = true;
        if (std::find(seen.begin(), seen.end(), k) == seen.end())
            return CardFate::Changed;
    }
    return anyKept ? CardFate::Same : CardFate::Changed;
}

} // namespace cardmatch
