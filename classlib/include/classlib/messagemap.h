// Message maps as plain tables. A class that handles messages overrides
// GetMessageMap() and returns a static table chained to its base's table:
//
//   const cl::MessageMap* CMyDlg::GetMessageMap() const {
//     static const cl::MessageEntry entries[] = {
//       cl::OnCommand<&CMyDlg::OnRead>(1025),
//       cl::OnMessage<&CMyDlg::OnStart>(WM_USER + 0x100),
//     };
//     static const cl::MessageMap map(CDialog::GetMessageMap(), entries);
//     return &map;
//   }
//
// Dispatch walks the chain from the most derived table; the first entry that
// matches wins, so a derived class overrides its base by listing the same id.
#pragma once
#include <windows.h>
#include <cstddef>

namespace cl {

class CCmdTarget;

using MessageThunk = LRESULT (*)(CCmdTarget *target, WPARAM wParam, LPARAM lParam);

struct MessageEntry {
    UINT message; // WM_COMMAND for commands and control notifications
    UINT code;    // notification code of a WM_COMMAND entry (0: menu or BN_CLICKED)
    UINT id;      // command or control id of a WM_COMMAND entry
    MessageThunk thunk;
};

struct MessageMap {
    const MessageMap *base;
    const MessageEntry *entries;
    std::size_t count;

    constexpr MessageMap(const MessageMap *b, const MessageEntry *e, std::size_t n)
        : base(b), entries(e), count(n)
    {
    }
    template <std::size_t N>
    constexpr MessageMap(const MessageMap *b, const MessageEntry (&e)[N]) : base(b), entries(e), count(N)
    {
    }
};

namespace detail {
template <class F> struct MemberOf;
template <class C, class R, class... A> struct MemberOf<R (C::*)(A...)> {
    using type = C;
};
template <class C, class R, class... A> struct MemberOf<R (C::*)(A...) noexcept> {
    using type = C;
};

template <auto F> LRESULT CommandThunk(CCmdTarget *t, WPARAM, LPARAM)
{
    using C = typename MemberOf<decltype(F)>::type;
    (static_cast<C *>(t)->*F)();
    return 0;
}
template <auto F> LRESULT HandlerThunk(CCmdTarget *t, WPARAM w, LPARAM l)
{
    using C = typename MemberOf<decltype(F)>::type;
    return (static_cast<C *>(t)->*F)(w, l);
}
} // namespace detail

// A menu command, accelerator or button click: handler `void Class::F()`.
template <auto F> constexpr MessageEntry OnCommand(UINT id)
{
    return {WM_COMMAND, 0, id, &detail::CommandThunk<F>};
}

// A control notification with its code (EN_CHANGE, CBN_SELCHANGE...): `void Class::F()`.
template <auto F> constexpr MessageEntry OnControl(UINT code, UINT id)
{
    return {WM_COMMAND, code, id, &detail::CommandThunk<F>};
}

// Any other window message: handler `LRESULT Class::F(WPARAM, LPARAM)`.
template <auto F> constexpr MessageEntry OnMessage(UINT message)
{
    return {message, 0, 0, &detail::HandlerThunk<F>};
}

// The root of every command and message chain (windows and the application).
class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;
    virtual const MessageMap *GetMessageMap() const;

    // Runs the first entry of the chain for a command; false when none matches.
    virtual bool OnCmdMsg(UINT id, UINT code, LPARAM lParam);

protected:
    // Runs the first entry of the chain for a non-command message.
    bool DispatchMessageEntry(UINT message, WPARAM wParam, LPARAM lParam, LRESULT &result);
};

} // namespace cl
