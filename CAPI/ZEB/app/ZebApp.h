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

    HANDLE m_instance = nullptr; // the session's instance mutex, owned while running
};

// The session's instance mutex, taken before anything else is done: null
// when another instance holds it and runs (its frame is there and not
// closing), or has not let go of it after `waitMs`. A closing instance is
// waited for; one still starting keeps the mutex until its frame shows, and
// this start is then refused.
HANDLE TakeInstance(DWORD waitMs);

} // namespace zeb

#endif
