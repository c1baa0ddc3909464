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

} // namespace zeb
