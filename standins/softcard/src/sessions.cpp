// Sessions: opening, closing, their state, and the login state that all
// sessions of one token share within the process.
#include "library.h"

#include <cstring>

#include "platform.h"

namespace softcard {

CK_SESSION_HANDLE Library::newSessionHandle()
{
    // Never 0 (no handle) nor 0xFFFFFFFF (what callers use for "none").
    do {
        lastSession_ = (lastSession_ + 1) & 0xFFFFFFFFul;
    } while (lastSession_ == 0 || lastSession_ == 0xFFFFFFFFul || sessions_.count(lastSession_) ||
             lastSession_ < 0x1000);
    return lastSession_;
}

CK_RV Library::session(CK_SESSION_HANDLE h, Session *&out)
{
    auto it = sessions_.find(h);
    if (it == sessions_.end())
        return CKR_SESSION_HANDLE_INVALID;
    if (!cardOf(it->second)) {
        // The card left (or another took its place): its login is gone too.
        logins_.erase({it->second.slot, it->second.insertion});
        return CKR_DEVICE_REMOVED;
    }
    out = &it->second;
    return CKR_OK;
}

CK_USER_TYPE Library::loginOf(const Session &s) const
{
    auto it = logins_.find({s.slot, s.insertion});
    return it == logins_.end() ? kNoLogin : it->second;
}

void Library::dropSession(std::map<CK_SESSION_HANDLE, Session>::iterator it)
{
    std::pair<CK_SLOT_ID, unsigned long> token(it->second.slot, it->second.insertion);
    sessions_.erase(it);
    for (const auto &kv : sessions_)
        if (kv.second.slot == token.first && kv.second.insertion == token.second)
            return;
    logins_.erase(token); // the last session of a token ends its login
}

CK_RV Library::openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE *out)
{
    if (!state_.readerBySlot(slot))
        return CKR_SLOT_ID_INVALID;
    if (!(flags & CKF_SERIAL_SESSION))
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    const PlacedCard *pc;
    CK_RV rv = tokenIn(slot, pc);
    if (rv != CKR_OK)
        return rv;
    auto login = logins_.find({slot, pc->insertion});
    if (!(flags & CKF_RW_SESSION) && login != logins_.end() && login->second == CKU_SO)
        return CKR_SESSION_READ_WRITE_SO_EXISTS;
    Session s;
    s.handle = newSessionHandle();
    s.slot = slot;
    s.insertion = pc->insertion;
    s.cardName = pc->name;
    s.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    s.thread = currentThreadId();
    sessions_[s.handle] = s;
    *out = s.handle;
    return CKR_OK;
}

CK_RV Library::closeSession(CK_SESSION_HANDLE h)
{
    auto it = sessions_.find(h);
    if (it == sessions_.end())
        return CKR_SESSION_HANDLE_INVALID;
    dropSession(it); // also for a card that has left: the handle must go
    return CKR_OK;
}

CK_RV Library::closeAllSessions(CK_SLOT_ID slot)
{
    if (!state_.readerBySlot(slot))
        return CKR_SLOT_ID_INVALID;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        auto next = std::next(it);
        if (it->second.slot == slot)
            dropSession(it);
        it = next;
    }
    return CKR_OK;
}

CK_RV Library::getSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO *info)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    bool rw = (s->flags & CKF_RW_SESSION) != 0;
    CK_USER_TYPE who = loginOf(*s);
    std::memset(info, 0, sizeof(*info));
    info->slotID = s->slot;
    info->flags = s->flags;
    if (who == CKU_SO)
        info->state = CKS_RW_SO_FUNCTIONS;
    else if (who == CKU_USER)
        info->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    else
        info->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    return CKR_OK;
}

} // namespace softcard
