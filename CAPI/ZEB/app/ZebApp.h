// CZEBApp: the tray program's application object. One instance per user
// session: a second start is refused, a restart waits for the closing
// instance.
#ifndef ZEB_APP_H
#define ZEB_APP_H

#include "classlib/app.h"

namespace zeb {

class CZEBApp : public cl::CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override;
    const cl::MessageMap *GetMessageMap() const override;

private:
    // "A propos de ZEB...": the about box, modal.
    void OnAppAbout();
};

// What start-up does when a frame titled "ZEB_QUVVEL" exists: waits, up to
// `waitMs`, while that frame is closing. True when no such window is left.
bool NoOtherInstance(DWORD waitMs);

} // namespace zeb

#endif
