// Login, logout and the PIN changes, with the card's try counters. Counters
// and codes live on the card, so every check is made on the shared state
// under the lock of all processes, and saved before the answer is given.
#include "library.h"

#include "platform.h"

namespace softcard {

template <class Change> CK_RV Library::updateCard(const Session &s, Change change)
{
    FileLock lock(statePath_);
    if (!lock.held())
        return CKR_DEVICE_ERROR;
    stateText_.clear(); // read it again now that no one else can write
    refreshState();
    if (!stateError_.empty())
        return CKR_DEVICE_ERROR;
    State next = state_;
    const Reader *reader = next.readerBySlot(s.slot);
    PlacedCard *pc = reader ? next.cardIn(reader->name) : nullptr;
    if (!pc || pc->insertion != s.insertion || pc->name != s.cardName)
        return CKR_DEVICE_REMOVED;
    bool changed = false;
    CK_RV rv = change(pc->card, changed);
    if (changed) {
        CK_RV saved = saveState(next);
        if (saved != CKR_OK)
            return saved;
    }
    return rv;
}

namespace {

// No card code is longer: a longer length is refused before anything is read,
// so an absurd length with a short buffer reads nothing past it.
const CK_ULONG kLongestCode = 64;

std::string text(const CK_UTF8CHAR *p, CK_ULONG len)
{
    return std::string(reinterpret_cast<const char *>(p), len);
}

// Length and characters, checked before any try is spent.
CK_RV wellFormed(const Pin &pin, const std::string &value)
{
    if (value.size() < pin.minLen || value.size() > pin.maxLen)
        return CKR_PIN_LEN_RANGE;
    for (char c : value)
        if (c < '0' || c > '9')
            return CKR_PIN_INVALID;
    return CKR_OK;
}

// One presentation of a code; `changed` because the counter moves either way.
CK_RV present(Pin &pin, const std::string &value, bool &changed)
{
    if (pin.left == 0)
        return CKR_PIN_LOCKED;
    CK_RV rv = wellFormed(pin, value);
    if (rv != CKR_OK)
        return rv;
    if (value != pin.code) {
        --pin.left;
        changed = true;
        return CKR_PIN_INCORRECT;
    }
    if (pin.left != pin.max) {
        pin.left = pin.max;
        changed = true;
    }
    return CKR_OK;
}

void wipe(std::string &s)
{
    for (char &c : s)
        c = 0;
}

} // namespace

CK_RV Library::login(CK_SESSION_HANDLE h, CK_USER_TYPE user, const CK_UTF8CHAR *pin, CK_ULONG len)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    if (user != CKU_USER && user != CKU_SO)
        return CKR_USER_TYPE_INVALID;
    if (len > kLongestCode)
        return CKR_PIN_LEN_RANGE;
    CK_USER_TYPE who = loginOf(*s);
    if (who == user)
        return CKR_USER_ALREADY_LOGGED_IN;
    if (who != kNoLogin)
        return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    if (user == CKU_SO) {
        for (const auto &kv : sessions_) {
            const Session &o = kv.second;
            if (o.slot == s->slot && o.insertion == s->insertion && !(o.flags & CKF_RW_SESSION))
                return CKR_SESSION_READ_ONLY_EXISTS;
        }
    }
    std::string value = text(pin, len);
    rv = updateCard(*s, [&](Card &card, bool &changed) {
        return present(user == CKU_SO ? card.so : card.user, value, changed);
    });
    wipe(value);
    if (rv == CKR_OK)
        logins_[{s->slot, s->insertion}] = user;
    return rv;
}

CK_RV Library::logout(CK_SESSION_HANDLE h)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    if (loginOf(*s) == kNoLogin)
        return CKR_USER_NOT_LOGGED_IN;
    logins_.erase({s->slot, s->insertion});
    return CKR_OK;
}

CK_RV Library::initPin(CK_SESSION_HANDLE h, const CK_UTF8CHAR *pin, CK_ULONG len)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    if (loginOf(*s) != CKU_SO)
        return CKR_USER_NOT_LOGGED_IN;
    if (!(s->flags & CKF_RW_SESSION))
        return CKR_SESSION_READ_ONLY;
    if (len > kLongestCode)
        return CKR_PIN_LEN_RANGE;
    std::string value = text(pin, len);
    rv = updateCard(*s, [&](Card &card, bool &changed) {
        CK_RV r = wellFormed(card.user, value);
        if (r != CKR_OK)
            return r;
        wipe(card.user.code);
        card.user.code = value;
        card.user.left = card.user.max; // the unblock
        changed = true;
        return CKR_OK;
    });
    wipe(value);
    return rv;
}

CK_RV Library::setPin(CK_SESSION_HANDLE h, const CK_UTF8CHAR *oldPin, CK_ULONG oldLen,
                      const CK_UTF8CHAR *newPin, CK_ULONG newLen)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    // Accepted in a read-only session too: the card manager changes the PIN
    // on the read-only session it logged in with.
    bool so = loginOf(*s) == CKU_SO;
    if (oldLen > kLongestCode || newLen > kLongestCode)
        return CKR_PIN_LEN_RANGE;
    std::string oldValue = text(oldPin, oldLen), newValue = text(newPin, newLen);
    rv = updateCard(*s, [&](Card &card, bool &changed) {
        Pin &pin = so ? card.so : card.user;
        if (pin.left == 0)
            return CKR_PIN_LOCKED;
        CK_RV r = wellFormed(pin, newValue);
        if (r != CKR_OK)
            return r;
        r = present(pin, oldValue, changed);
        if (r != CKR_OK)
            return r;
        wipe(pin.code);
        pin.code = newValue;
        changed = true;
        return CKR_OK;
    });
    wipe(oldValue);
    wipe(newValue);
    return rv;
}

} // namespace softcard
