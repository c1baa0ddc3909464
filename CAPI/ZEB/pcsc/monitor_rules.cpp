#include "monitor_rules.h"

namespace zeb {

AfterChange DecideAfterStatusChange(const StatusChangeSeen &seen)
{
    if (seen.pnp && seen.listRead && seen.listChanged)
        return AfterChange::rescanAll;
    // Unchanged or unreadable list: the readers' own changes are scanned all
    // the same (their known states were already updated, so a later pass
    // would not report them again).
    return seen.readerEntry ? AfterChange::scanStates : AfterChange::nothing;
}

CardAction DecideCardAction(const ReaderKept &kept, const ReaderNow &now)
{
    if (!now.vel)
        return kept.present ? CardAction::remove : CardAction::nothing;
    if (!kept.present)
        return CardAction::insert;
    if (kept.version != now.version || kept.insertions != now.insertions)
        return CardAction::replace;
    return kept.propagated ? CardAction::nothing : CardAction::retry;
}

ReaderKept KeptAfterPropagation(const ReaderKept &kept, const ReaderNow *before, const ReaderNow *after,
                                bool propagated)
{
    ReaderKept k = kept;
    k.propagated = propagated;
    if (kept.present && before && after && before->vel && after->vel && before->version == kept.version &&
        after->version == kept.version && before->insertions == after->insertions)
        k.insertions = after->insertions;
    return k;
}

} // namespace zeb
