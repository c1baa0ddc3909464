// The tray program's card side, owned by the frame window: the PKCS#11
// function list, the slot table, the worker threads (initial, poll and
// re-initialisation) and the propagation of each card's certificates. It
// reports to the window only through a sink that posts messages, so it also
// runs without a window (tests, soak).
#ifndef ZEB_CORE_H
#define ZEB_CORE_H

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "classlib/thread.h"
#include "cert_store.h"
#include "pkcs11.h"
#include "reader_entries.h"
#include "settings.h"
#include "slot_table.h"

namespace zeb {

// Tray status codes (lParam of WM_USER+3).
enum TrayStatus { kStatusReading = 0, kStatusSynchronised = 1, kStatusNoCard = 2, kStatusInitialising = 3 };

// Where the workers report: the frame posts these to its own window.
class CoreSink {
public:
    virtual ~CoreSink() = default;
    virtual void PostStatus(int status) = 0; // WM_USER+3
    virtual void PostInitAgain() = 0;        // WM_USER+4
    // The initial slot list is built (event-driven mode, initial thread):
    // the reader monitor starts here.
    virtual void SlotListReady() {}
};

// One listing of the library's slots. `listed` is the count the library
// gave back (kSlotCount when it gave none), `ids` its first kSlotCount ids.
struct SlotList {
    CK_RV rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    CK_ULONG listed = kSlotCount;
    CK_SLOT_ID ids[kSlotCount] = {};
    // Succeeded within the table's bound (more slots than entries is the library's error).
    bool Usable() const { return rv == CKR_OK && listed <= kSlotCount; }
};

// The reader monitor's view of the slots (see ZebCore::SurveySlots).
struct SlotSurvey {
    bool initialised = false;      // ZEB_Init succeeded
    CK_RV listRv = 0;              // C_GetSlotList's result
    std::vector<ListedSlot> slots; // within the bound, those whose C_GetSlotInfo succeeded, in list order
    CK_RV finaliseRv = 0;          // ZEB_finalise's result
};

// One row of the reader-state dialog: a slot entry's description (64
// bytes, blank-padded, possibly not terminated) and its synchronised flag.
struct SlotRow {
    std::string description;
    bool synchro = false;
};

class ZebCore {
public:
    // Reads nothing itself: the frame hands over the settings it read, and
    // the core keeps the program's one copy.
    ZebCore(CoreSink *sink, const Settings &settings);
    // Waits for every worker, then removes what was propagated and finalises.
    ~ZebCore();
    ZebCore(const ZebCore &) = delete;
    ZebCore &operator=(const ZebCore &) = delete;

    // WM_USER+2: starts the initial thread and, in polling mode, the poll thread.
    void StartThreads();
    // WM_USER+4: starts a re-initialisation, or marks one pending when one
    // runs (one at a time; the running one goes again before it ends).
    void InitAgain();
    // "Rafraîchir": a full re-initialisation unless one is pending already.
    void Refresh();
    // Reader watching switched: the poll pause is taken again at once.
    void ToggleAutoDetect();
    // WM_CLOSE: stop flag and stop events; then true once every worker ended.
    void BeginStop();
    bool WorkersEnded();
    // After the stop: waits for every worker, removes every certificate this
    // run propagated (and any left bound to the card provider), closes the
    // kept sessions and finalises the library. Once; the destructor calls it.
    void Shutdown();
    // The workers still kept (up to 2), for the window to wait on while
    // serving its messages. Stable once stopping: no worker starts any more.
    int Workers(cl::CWinThread *out[2]);

    // The work of each thread, callable directly (tests drive them in turn).
    void InitSlotList();
    void DeleteAllCertificates(bool reset);
    // One poll of the slots; false when the poll thread must end.
    bool PollOnce();
    void Reinitialise();

    // Propagation of one entry's card, and its removal.
    void CryptPropCert(SlotInfoEntry *entry);
    void ZEB_deleteCert(SlotInfoEntry *entry);

    // The reader monitor's entry points (event-driven mode): a card of
    // generation `version` (3 or 4) arrived in / left the reader `readerName`,
    // last seen as PKCS#11 slot `slotId`. The entry is found by the reader's
    // name, so a rewritten slot id never leads to another card's entry.
    // Insert: TRUE when the card's certificates are (or already were)
    // propagated. Delete: TRUE when an entry's certificates were removed.
    BOOL InsertCertificatesFromSlot(CK_SLOT_ID slotId, const char *readerName, unsigned char version);
    BOOL DeleteCertificatesFromSlot(CK_SLOT_ID slotId, const char *readerName, unsigned char version);
    // WM_USER+5: the table follows the monitor's readers (at most 20), in
    // their order. An entry follows its reader when the order changes, with
    // its certificates; a reader gone takes its card's certificates out of
    // the store first. Returns true when a card is present in any reader.
    bool SyncSlotInfos(const std::vector<ReaderPresence> &readers);

    // Cards whose certificates are propagated; never waits for the workers.
    int SyncCount();
    // Entries in use (waits for the slot table).
    unsigned long AvailableSlots();
    const Settings &settings() const { return m_settings; }
    // The slot table held for a scope (released on every way out, an
    // exception included, so no dead thread ever keeps it).
    class TableLock {
    public:
        explicit TableLock(ZebCore &core) : cs_(&core.m_csSlotTable) { EnterCriticalSection(cs_); }
        ~TableLock() { LeaveCriticalSection(cs_); }
        TableLock(const TableLock &) = delete;
        TableLock &operator=(const TableLock &) = delete;

    private:
        CRITICAL_SECTION *cs_;
    };
    // The function list, for tests that look at or stand in for the library.
    CK_FUNCTION_LIST_PTR *FunctionList() { return &m_pFunctionList; }
    // The slots listed once, traced as "ZEB_getSlotList" (no function list:
    // CKR_CRYPTOKI_NOT_INITIALIZED, traced too). The caller holds the table,
    // or is the poll thread while the table is ready.
    SlotList ListSlots();
    // The reader monitor's slot cache: one PKCS#11 sequence of its own
    // (initialise, list, read each slot, finalise) under the table lock, so
    // it never overlaps the card side's.
    SlotSurvey SurveySlots();
    // Each rescan of the reader monitor (`readers`, in its order; those
    // holding a VEL card): entries of the start-up listing take their
    // readers' whole names (NameEntries), and entries whose reader holds no
    // VEL card now (a card pulled between the start-up listing and this
    // scan) give their certificates back.
    void ReconcileWithReaders(const std::vector<std::string> &readers,
                              const std::vector<std::string> &readersWithCard);
    // The entries in use, for the window, without waiting: false (rows
    // untouched) while a worker holds the table.
    bool TrySlotRows(std::vector<SlotRow> *rows);
    bool Stopping() const { return m_bStopping.load(); }

    // Flags of the next re-initialisation.
    std::atomic<int> reinit{0};
    std::atomic<int> fullReInit{0};

private:
    static UINT InitThreadProc(void *self);
    static UINT ReinitThreadProc(void *self);
    static UINT PollThreadProc(void *self);
    void OnInitPkcsThread();
    void ReinitThread();
    void PollSlotsThread();
    void RequestReinit();
    void StartPollThread();
    bool StartInitThread(cl::AFX_THREADPROC proc);
    void FinishInitThread(); // one initialisation at a time: goes again when one is pending
    // syncCount follows the table: the entries marked synchronised, counted
    // again after each change, so it never drifts from what the icon shows.
    void Recount();
    // A session kept from a failed propagation, closed before another opens.
    void CloseKeptSession(SlotInfoEntry *entry);
    // The slots of a usable `list` whose C_GetSlotInfo succeeds, in list order.
    std::vector<ListedSlot> ReadSlots(const SlotList &list);

    CoreSink *m_sink;
    Settings m_settings;
    // The watching button changes autoDetect and sleepMs on the window's
    // thread while the poll thread reads them: both sides under this lock.
    std::mutex m_watchLock;
    struct Watch {
        bool autoDetect;
        DWORD sleepMs;
    };
    Watch CurrentWatch();
    CK_FUNCTION_LIST_PTR m_pFunctionList = nullptr;
    ProviderHold m_providerHold; // keeps the card provider loaded while propagating
    SlotInfoEntry m_slotInfos[kSlotCount];
    unsigned long m_ulAvailableSlots = 0;
    std::atomic<short> syncCount{0}; // changed under the lock, read by the window without it
    CRITICAL_SECTION m_csSlotTable;
    // Manual-reset events, all starting unsignalled.
    cl::CEvent m_evSlotTableReady{FALSE, TRUE};
    cl::CEvent m_evStopPoll{FALSE, TRUE};
    cl::CEvent m_evWakePoll{FALSE, TRUE};
    cl::CEvent m_evQuit{FALSE, TRUE}; // set once by BeginStop, never reset
    std::atomic<bool> m_bStopping{false};
    std::atomic<bool> m_shutDown{false};
    std::atomic<bool> m_started{false}; // StartThreads ran: a repeat does nothing

    // Worker threads: kept until they are known to have ended.
    SRWLOCK m_threadLock = SRWLOCK_INIT;
    cl::CWinThread *m_pPollThread = nullptr;
    cl::CWinThread *m_pInitThread = nullptr;
    bool m_initRunning = false;
    bool m_initPending = false;

    // Poll thread's own counters.
    unsigned long m_pollCount = 0;
    long m_lastLoggedCount = -1;
};

} // namespace zeb

#endif
