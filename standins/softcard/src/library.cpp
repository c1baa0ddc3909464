#include "library.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

#include "platform.h"

namespace softcard {

#if defined(_WIN32)

namespace {
// Made when the DLL is loaded (DllMain, in the loader's lock) and freed if
// it is ever unloaded before the process ends (it pins itself: entry.cpp).
// No guarded static: its first use would start the static runtime's thread
// library.
Library *g_library = nullptr;
} // namespace

Library &Library::instance()
{
    return *g_library;
}

bool Library::create()
{
    g_library = new (std::nothrow) Library();
    return g_library != nullptr;
}

void Library::destroy()
{
    delete g_library;
    g_library = nullptr;
}

#else

Library &Library::instance()
{
    // Never destroyed: a process may call in while its other threads end.
    static Library *lib = new Library();
    return *lib;
}

#endif

// ------------------------------------------------------------ call frame

CK_RV Library::enter(const char *function, bool needsInit, bool card)
{
    if (needsInit && threads_.empty())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    refreshState();
    if (card && !stateError_.empty())
        return CKR_DEVICE_ERROR;
    if (card && state_.latencyMs)
        sleepMilliseconds(state_.latencyMs);
    CK_RV injected;
    if (takeInjection(function, injected))
        return injected == CKR_OK ? kInjectedNone : injected;
    return CKR_OK;
}

void Library::leave(const char *function, const std::string &args, CK_RV rv)
{
    if (!state_.log)
        return;
    char head[96], tail[32];
    std::snprintf(head, sizeof(head), "[%lu:%lu] %s(", currentProcessId(), (unsigned long)currentThreadId(),
                  function);
    std::snprintf(tail, sizeof(tail), ") = 0x%08lX", (unsigned long)rv);
    writeLog(head + args + tail);
}

void Library::writeLog(const std::string &line)
{
    appendToFile(logPathFor(statePath_), line + "\n");
}

void Library::refreshState()
{
    if (statePath_.empty())
        statePath_ = statePath();
    std::string text;
    ReadResult r = readWholeFile(statePath_, text);
    if (r == ReadResult::missing) {
        if (!stateMissing_ || !stateError_.empty() || state_.readers.empty()) {
            state_ = defaultState();
            stateText_.clear();
            stateError_.clear();
        }
        stateMissing_ = true;
        return;
    }
    if (r == ReadResult::failed) {
        // Being replaced at this instant, or unreadable: keep what we had.
        return;
    }
    if (!stateMissing_ && text == stateText_)
        return;
    stateMissing_ = false;
    stateText_ = text;
    State next;
    std::string error;
    if (!parseState(text, next, error)) {
        stateError_ = "fichier d'état " + statePath_ + " endommagé (laissé en place) : " + error;
        if (stateError_ != loggedError_) {
            // Said in the call log whatever the log setting: it is the only explanation.
            writeLog("[" + std::to_string(currentProcessId()) + "] " + stateError_);
            loggedError_ = stateError_;
        }
        return;
    }
    stateError_.clear();
    loggedError_.clear();
    state_ = std::move(next);
}

bool Library::takeInjection(const char *function, CK_RV &rv)
{
    bool pending = false;
    for (const Injection &inj : state_.injections)
        pending = pending || inj.function == function;
    if (!pending || !stateError_.empty())
        return false;
    // Counted across processes: the count lives in the state file.
    FileLock lock(statePath_);
    if (!lock.held())
        return false;
    stateText_.clear();
    refreshState();
    if (!stateError_.empty())
        return false;
    State next = state_;
    bool fired = false;
    for (size_t i = 0; i < next.injections.size(); ++i) {
        Injection &inj = next.injections[i];
        if (inj.function != function)
            continue;
        if (++inj.seen >= inj.call) {
            rv = inj.result;
            fired = true;
            next.injections.erase(next.injections.begin() + i);
        }
        break; // one rule per call: the first one set for this function
    }
    saveState(next);
    return fired;
}

CK_RV Library::saveState(const State &next)
{
    std::string text = stateToText(next);
    std::string error;
    if (!replaceFileAtomically(statePath_, text, error)) {
        writeLog("[" + std::to_string(currentProcessId()) + "] " + error);
        return CKR_DEVICE_ERROR;
    }
    state_ = next;
    stateText_ = text;
    stateMissing_ = false;
    return CKR_OK;
}

const PlacedCard *Library::cardInSlot(CK_SLOT_ID slot, const Reader **reader) const
{
    const Reader *r = state_.readerBySlot(slot);
    if (reader)
        *reader = r;
    return r ? state_.cardIn(r->name) : nullptr;
}

CK_RV Library::tokenIn(CK_SLOT_ID slot, const PlacedCard *&out) const
{
    const Reader *reader;
    out = cardInSlot(slot, &reader);
    if (!reader)
        return CKR_SLOT_ID_INVALID;
    if (!out)
        return CKR_TOKEN_NOT_PRESENT;
    return out->card.recognised ? CKR_OK : CKR_TOKEN_NOT_RECOGNIZED;
}

const PlacedCard *Library::cardOf(const Session &s) const
{
    // Insertion numbers start again when the state file is deleted: the name
    // tells a card put in since from the one the session knew.
    const PlacedCard *pc = cardInSlot(s.slot);
    return pc && pc->insertion == s.insertion && pc->name == s.cardName ? pc : nullptr;
}

// ------------------------------------------------------ start and finish

CK_RV Library::initialize(bool perThreadData)
{
    uint32_t me = currentThreadId();
    if (threads_.count(me) || (!threads_.empty() && !perThreadData))
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    threads_.insert(me);
    return CKR_OK;
}

CK_RV Library::finalize(const uint32_t *threadId)
{
    if (!threadId) {
        threads_.clear();
    } else {
        // Only that thread's use ends: its sessions and its registration.
        threads_.erase(*threadId);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            auto next = std::next(it);
            if (it->second.thread == *threadId)
                dropSession(it);
            it = next;
        }
    }
    if (threads_.empty()) {
        sessions_.clear();
        logins_.clear();
        objects_.clear();
    }
    return CKR_OK;
}

namespace {

void padded(CK_UTF8CHAR *dst, size_t size, const std::string &text)
{
    std::memset(dst, ' ', size);
    std::memcpy(dst, text.data(), text.size() < size ? text.size() : size);
}

// The two-call size protocol of every list answer.
template <class T> CK_RV listAnswer(const std::vector<T> &items, T *out, CK_ULONG *count)
{
    if (!out) {
        *count = static_cast<CK_ULONG>(items.size());
        return CKR_OK;
    }
    if (*count < items.size()) {
        *count = static_cast<CK_ULONG>(items.size());
        return CKR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < items.size(); ++i)
        out[i] = items[i];
    *count = static_cast<CK_ULONG>(items.size());
    return CKR_OK;
}

const CK_MECHANISM_TYPE kMechanisms[] = {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS};

} // namespace

CK_RV Library::getInfo(CK_INFO *info)
{
    std::memset(info, 0, sizeof(*info));
    info->cryptokiVersion.major = 2;
    info->cryptokiVersion.minor = 20;
    padded(info->manufacturerID, sizeof(info->manufacturerID), "Ovrane");
    padded(info->libraryDescription, sizeof(info->libraryDescription), "Carte VEL logicielle");
    info->libraryVersion.major = 1;
    info->libraryVersion.minor = 0;
    return CKR_OK;
}

// ------------------------------------------------------- slots and tokens

CK_RV Library::getSlotList(bool tokenPresent, CK_SLOT_ID *list, CK_ULONG *count)
{
    std::vector<CK_SLOT_ID> slots;
    for (const Reader &r : state_.readers)
        if (!tokenPresent || state_.cardIn(r.name))
            slots.push_back(r.slotId);
    return listAnswer(slots, list, count);
}

CK_RV Library::getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO *info)
{
    const Reader *reader;
    const PlacedCard *card = cardInSlot(slot, &reader);
    if (!reader)
        return CKR_SLOT_ID_INVALID;
    std::memset(info, 0, sizeof(*info));
    padded(info->slotDescription, sizeof(info->slotDescription), reader->name);
    padded(info->manufacturerID, sizeof(info->manufacturerID), "Ovrane");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (card ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion.major = 1;
    info->firmwareVersion.major = 1;
    return CKR_OK;
}

namespace {

CK_FLAGS pinFlags(const Pin &p, CK_FLAGS low, CK_FLAGS finalTry, CK_FLAGS locked)
{
    // Locked shows alone: callers test "final try" before "locked".
    if (p.left == 0)
        return locked;
    CK_FLAGS f = 0;
    if (p.left < p.max)
        f |= low;
    if (p.left == 1)
        f |= finalTry;
    return f;
}

} // namespace

CK_RV Library::getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO *info)
{
    const PlacedCard *pc;
    CK_RV rv = tokenIn(slot, pc);
    if (rv != CKR_OK)
        return rv;
    const Card &c = pc->card;
    std::memset(info, 0, sizeof(*info));
    padded(info->label, sizeof(info->label), c.label);
    padded(info->manufacturerID, sizeof(info->manufacturerID), c.manufacturer);
    padded(info->model, sizeof(info->model), c.model);
    padded(info->serialNumber, sizeof(info->serialNumber), c.serial);
    info->flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED |
                  pinFlags(c.user, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED) |
                  pinFlags(c.so, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED);
    CK_ULONG count = 0, rw = 0;
    for (const auto &kv : sessions_) {
        if (kv.second.slot == slot && kv.second.insertion == pc->insertion) {
            ++count;
            if (kv.second.flags & CKF_RW_SESSION)
                ++rw;
        }
    }
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = count;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = rw;
    info->ulMaxPinLen = c.user.maxLen;
    info->ulMinPinLen = c.user.minLen;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion.major = 3;
    info->firmwareVersion.major = 1;
    std::memset(info->utcTime, ' ', sizeof(info->utcTime));
    return CKR_OK;
}

CK_RV Library::getMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE *list, CK_ULONG *count)
{
    const PlacedCard *pc;
    CK_RV rv = tokenIn(slot, pc);
    if (rv != CKR_OK)
        return rv;
    std::vector<CK_MECHANISM_TYPE> mechs(std::begin(kMechanisms), std::end(kMechanisms));
    return listAnswer(mechs, list, count);
}

CK_RV Library::getMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO *info)
{
    const PlacedCard *pc;
    CK_RV rv = tokenIn(slot, pc);
    if (rv != CKR_OK)
        return rv;
    info->ulMinKeySize = 1024;
    info->ulMaxKeySize = 2048;
    if (type == CKM_RSA_PKCS)
        info->flags = CKF_HW | CKF_SIGN | CKF_VERIFY | CKF_DECRYPT;
    else if (type == CKM_SHA1_RSA_PKCS || type == CKM_SHA256_RSA_PKCS)
        info->flags = CKF_HW | CKF_SIGN | CKF_VERIFY;
    else
        return CKR_MECHANISM_INVALID;
    return CKR_OK;
}

CK_RV Library::forceCloseChannel(CK_SLOT_ID slot)
{
    // No browser here: the channel of a card in the slot is always closable.
    const Reader *reader;
    const PlacedCard *pc = cardInSlot(slot, &reader);
    if (!reader)
        return CKR_SLOT_ID_INVALID;
    return pc ? CKR_OK : CKR_TOKEN_NOT_PRESENT;
}

} // namespace softcard
