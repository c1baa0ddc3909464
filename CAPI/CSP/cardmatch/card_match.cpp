#include "card_match.h"

#include <algorithm>
#include <cstring>

namespace csp::cardmatch {

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

CardReview ReviewCard(const std::vector<Der> &kept, const std::vector<Der> &seen, bool seenWhole)
{
    CardReview review;
    const bool anyKept = std::any_of(kept.begin(), kept.end(), [](const Der &k) { return !k.empty(); });
    if (!anyKept) {
        review.fate = CardFate::Changed;
        return review;
    }
    if (!seenWhole)
        return review; // Unknown
    for (const Der &k : kept) {
        if (k.empty()) {
            review.at.push_back(kNotSeen);
            continue;
        }
        const auto found = std::find(seen.begin(), seen.end(), k);
        if (found == seen.end()) {
            review.fate = CardFate::Changed;
            review.at.clear();
            return review;
        }
        review.at.push_back(static_cast<size_t>(found - seen.begin()));
    }
    review.fate = CardFate::Same;
    return review;
}

CardStanding::State CardStanding::Note(CardFate fate)
{
    const int wanted = fate == CardFate::Same ? Stands : fate == CardFate::Unknown ? Absent : Gone;
    int now = state_.load();
    // Gone is final: no later check brings the container back.
    while (now != Gone && now != wanted && !state_.compare_exchange_weak(now, wanted)) {
    }
    return static_cast<State>(state_.load());
}

} // namespace csp::cardmatch
