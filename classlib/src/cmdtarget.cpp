#include "classlib/messagemap.h"

namespace cl {

const MessageMap *CCmdTarget::GetMessageMap() const
{
    static const MessageMap map(nullptr, nullptr, 0);
    return &map;
}

bool CCmdTarget::OnCmdMsg(UINT id, UINT code, LPARAM lParam)
{
    for (const MessageMap *m = GetMessageMap(); m; m = m->base) {
        for (std::size_t i = 0; i < m->count; ++i) {
            const MessageEntry &e = m->entries[i];
            if (e.message == WM_COMMAND && e.id == id && e.code == code) {
                e.thunk(this, MAKEWPARAM(id, code), lParam);
                return true;
            }
        }
    }
    return false;
}

bool CCmdTarget::DispatchMessageEntry(UINT message, WPARAM wParam, LPARAM lParam, LRESULT &result)
{
    for (const MessageMap *m = GetMessageMap(); m; m = m->base) {
        for (std::size_t i = 0; i < m->count; ++i) {
            const MessageEntry &e = m->entries[i];
            if (e.message == message && message != WM_COMMAND) {
                result = e.thunk(this, wParam, lParam);
                return true;
            }
        }
    }
    return false;
}

} // namespace cl
