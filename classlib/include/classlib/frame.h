// CFrameWnd: a top-level window made from one resource id (its title string,
// menu and icon), which may stay hidden for its whole life (the tray
// program's frame: found by its title, it only receives messages). Closing
// it destroys it; when it is the application's main window the message loop
// then ends; after its last message the object deletes itself, so frames are
// made with new.
#pragma once
#include <windows.h>
#include "classlib/wnd.h"

namespace cl {

// A frame style bit with no meaning for the window itself (taken off before
// the window is made).
constexpr DWORD FWS_ADDTOTITLE = 0x00008000L;

class CFrameWnd : public CWnd {
public:
    CFrameWnd() = default;

    // Creates the frame, hidden. resourceId names the title string (none:
    // empty title), the menu and the icon, each looked up in
    // AfxGetResourceHandle() and used when present. FALSE when the window
    // cannot be made (this object is then already deleted if its creation got
    // as far as its last message, as when OnCreate answers -1).
    virtual BOOL LoadFrame(UINT resourceId, DWORD style = WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE,
                           CWnd *parent = nullptr, void *context = nullptr);

    const MessageMap *GetMessageMap() const override;
    // Commands the frame's map leaves go on to the application.
    bool OnCmdMsg(UINT id, UINT code, LPARAM lParam) override;

protected:
    // Base handlers a derived map calls from its own entries for the same messages.
    LRESULT OnCreate(WPARAM, LPARAM) { return 0; }
    LRESULT OnClose(WPARAM, LPARAM);   // destroys the window
    LRESULT OnDestroy(WPARAM, LPARAM); // main window: ends the message loop
    void PostNcDestroy() override { delete this; }

    HMENU m_hMenuDefault = nullptr; // the frame's menu (owned by the window once made)
};

} // namespace cl
