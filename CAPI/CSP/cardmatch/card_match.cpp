#include "card_match.h"

#include <algorithm>
#include <cstring>

namespace cardmatch {

CardChoice ChooseCard(const char *request, bool wantDefault, size_t count, const NameAt &nameAt)
{
    std::string name;
    for (size_t i = 0; i < count && request; ++i) {
        if (nameAt(i, name) && std::strstr(request, name.c_str()))
            return CardChoice::ByName;
        if (wantDefault)
            break; // past the first name, the default container needs no other
    }
    return wantDefault ? CardChoice::ByDefault : CardChoice::None;
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
