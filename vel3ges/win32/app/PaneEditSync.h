// Keeps the edit control that shows a session log in step with its PaneLog
// at the cost of the change: the lines the log removed are cut out of the
// edit and the new text is added at its end, instead of the whole text
// (up to 100 KB) being sent again for every line. The view stays where the
// holder left it: a pane filled while hidden opens at its top.
#ifndef VEL3GES_APP_PANEEDITSYNC_H
#define VEL3GES_APP_PANEEDITSYNC_H

#include <windows.h>

#include "PaneLog.h"

namespace vel {

// After log.Append or log.Trim: the same removals (log.LastErasures()) and
// the log's new tail, in `edit` (which showed the log's text before). An
// edit that was not in step with the log takes the whole text.
void FollowPaneLog(HWND edit, const PaneLog &log);

} // namespace vel

#endif
