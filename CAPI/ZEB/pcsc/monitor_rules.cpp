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

} // namespace zeb
