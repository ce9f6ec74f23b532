// VeMoReaderWatch.dll: a sample plug-in for the VeMo host service. It watches the smart-card
// readers through PC/SC and traces what it sees: readers that are plugged in or pulled out, and
// cards that are put in or taken out. docs/plugins.md explains the contract; this file shows how
// to keep it.
//
// What a plug-in has to get right, and where this one does it:
//   - Initialize is quick. The service holds every plug-in at a barrier until all of them have
//     initialised (at most 30 s), so slow work belongs in Run.
//   - Run never blocks for long. The stop flag is a plain byte that nobody signals: every wait is
//     short (kStatusWaitMs) and the flag is read again after it. Run has to return within the
//     plug-in's timeoutUnload, or the service terminates the thread and Uninitialize never runs.
//   - Nothing throws out of an entry point. An exception that leaves one ends this plug-in's
//     thread (exit code 4711) and skips Uninitialize; a trace line of our own says more.
//   - PC/SC may be missing: no smart-card service, or a platform without one. The plug-in then
//     says so once and keeps looking at the stop flag, asking PC/SC again every few seconds.
//   - Whatever the plug-in holds belongs to one object, so Uninitialize releases it all by
//     dropping that object.
//   - One module, several plug-ins: a configuration may name this DLL in more than one entry of
//     the same service. It is loaded once and its entry points then run on several threads at
//     the same time, one thread per entry. So there is one object per thread, never one global.
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <cwchar>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VeMoPlugin.h"
#include "VeMoPluginTrace.h"

namespace {

using vemo::plugin::TraceFormat;
using vemo::plugin::TraceWrite;
constexpr int kLevelError = vemo::plugin::kTraceError;
constexpr int kLevelInfo = vemo::plugin::kTraceInfo;
constexpr int kLevelWarning = vemo::plugin::kTraceWarning;

// Owns a PC/SC context; releasing it also cancels a wait that another thread may still be in.
class unique_scardcontext {
public:
    unique_scardcontext() = default;
    ~unique_scardcontext() { reset(); }
    unique_scardcontext(const unique_scardcontext&) = delete;
    unique_scardcontext& operator=(const unique_scardcontext&) = delete;
    SCARDCONTEXT get() const { return m_context; }
    explicit operator bool() const { return m_context != 0; }
    void reset(SCARDCONTEXT context = 0) {
        if (m_context) ::SCardReleaseContext(m_context);
        m_context = context;
    }

private:
    SCARDCONTEXT m_context = 0;
};

constexpr wchar_t kCategory[] = L"VeMo.ReaderWatch";

// The longest PC/SC wait, and so the longest time until Run sees the stop flag. Far below the
// default unload time of 2000 ms.
constexpr DWORD kStatusWaitMs = 200;
// Without a PC/SC context there is nothing to wait on: sleep as long between two looks at the flag.
constexpr DWORD kIdlePollMs = 200;
// How often to ask for a context again. On Windows 8 and later the smart-card service runs only
// while a reader is attached, so "no service" at start is no reason to give up.
constexpr ULONGLONG kContextRetryMs = 5000;

// Not a reader: PC/SC reports a change on it whenever a reader is attached or removed.
constexpr wchar_t kPnpNotificationReader[] = L"\\\\?PnP?\\Notification";

constexpr int32_t kRunNormalEnd = 0;
// Any result but 0 makes the service trace Run's return as a warning.
constexpr int32_t kRunFailed = 1;

constexpr wchar_t kTraceInitialized[] = L"Initialize: Kartenleser-Überwachung bereit";
constexpr wchar_t kTraceRunStarted[] = L"Run: Überwachung der Kartenleser gestartet, Stop-Flag alle %lu ms geprüft";
constexpr wchar_t kTraceRunEnded[] = L"Run: Stop-Flag gesetzt, Überwachung beendet";
constexpr wchar_t kTraceUninitialized[] = L"Uninitialize: PC/SC freigegeben";
constexpr wchar_t kTracePcscUnavailable[] =
    L"PC/SC nicht verfügbar (SCardEstablishContext: 0x%08lX), neuer Versuch alle %lu ms";
constexpr wchar_t kTracePcscLost[] = L"PC/SC-Verbindung verloren (%s: 0x%08lX), neuer Versuch alle %lu ms";
constexpr wchar_t kTracePcscAvailable[] = L"PC/SC verfügbar, Kartenleser: %lu";
constexpr wchar_t kTraceReaderPresent[] = L"Kartenleser <%s> vorhanden";
constexpr wchar_t kTraceReaderArrived[] = L"Kartenleser <%s> angeschlossen";
constexpr wchar_t kTraceReaderRemoved[] = L"Kartenleser <%s> entfernt";
constexpr wchar_t kTraceCardPresent[] = L"Karte steckt in <%s>";
constexpr wchar_t kTraceCardInserted[] = L"Karte in <%s> gesteckt";
constexpr wchar_t kTraceCardRemoved[] = L"Karte aus <%s> gezogen";
constexpr wchar_t kTraceException[] = L"Ausnahme in %s: %S";
constexpr wchar_t kTraceUnknownException[] = L"Unbekannte Ausnahme in %s";
constexpr wchar_t kTraceNotInitialized[] = L"Run ohne erfolgreiches Initialize aufgerufen";

constexpr wchar_t kEntryInitialize[] = L"Initialize";
constexpr wchar_t kEntryRun[] = L"Run";
constexpr wchar_t kEntryUninitialize[] = L"Uninitialize";
constexpr wchar_t kCallListReaders[] = L"SCardListReadersW";
constexpr wchar_t kCallGetStatusChange[] = L"SCardGetStatusChangeW";

// PC/SC results are LONG, its constants DWORD.
bool Is(LONG rc, DWORD code) { return rc == static_cast<LONG>(code); }
unsigned long AsHex(LONG rc) { return static_cast<unsigned long>(rc); }

// The host writes the flag from its stopping thread; the volatile pointer makes every look a
// real read.
bool StopRequested(VemoPluginStopFlag pStopFlag) { return *pStopFlag; }

// The names of the attached readers. "No readers" is an empty list, not a failure.
LONG ListReaders(SCARDCONTEXT hContext, std::vector<std::wstring>& names) {
    names.clear();
    DWORD nChars = 0;
    LONG rc = ::SCardListReadersW(hContext, nullptr, nullptr, &nChars);
    if (Is(rc, SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
    if (rc != SCARD_S_SUCCESS) return rc;
    // One more zeroed character, so the list ends even if it was cut short.
    std::vector<wchar_t> buffer(nChars + 1, L'\0');
    rc = ::SCardListReadersW(hContext, nullptr, buffer.data(), &nChars);
    if (Is(rc, SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
    if (rc != SCARD_S_SUCCESS) return rc;
    for (const wchar_t* p = buffer.data(); *p; p += std::wcslen(p) + 1) names.emplace_back(p);
    return SCARD_S_SUCCESS;
}

struct Reader {
    std::wstring name;
    // The state PC/SC reported last. Handed back as the "current" state, so the next wait returns
    // only when something differs from it; UNAWARE asks for the state at once.
    DWORD state = SCARD_STATE_UNAWARE;
};

class CReaderWatch {
public:
    int32_t Run(VemoPluginStopFlag pStopFlag);

private:
    bool TryEstablishContext();
    void DropContext(const wchar_t* pszCall, LONG rc);
    void WaitForChange();
    void SyncReaders(const wchar_t* pszNewReaderFormat);
    static void NoteCardChange(Reader& reader, DWORD eventState);

    unique_scardcontext m_context;
    DWORD m_pnpState = SCARD_STATE_UNAWARE;
    std::vector<Reader> m_readers;
    // "PC/SC unavailable" is traced once per outage, not on every retry.
    bool m_unavailableTraced = false;
    ULONGLONG m_nextAttemptTick = 0;
};

// One object per plug-in thread: created by Initialize, dropped by Uninitialize, both on that
// thread. If the host had to terminate Run, Uninitialize is not called, and the map's destructor
// releases the context when the module is unloaded.
class CWatchesByThread {
public:
    void Create() {
        auto watch = std::make_unique<CReaderWatch>();
        const std::lock_guard<std::mutex> lock(m_lock);
        m_watches[::GetCurrentThreadId()] = std::move(watch);
    }
    // Only the calling thread drops its own entry, so the object stays valid while it runs.
    CReaderWatch* Find() {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_watches.find(::GetCurrentThreadId());
        return found == m_watches.end() ? nullptr : found->second.get();
    }
    void Drop() {
        std::unique_ptr<CReaderWatch> dropped;  // released outside the lock
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_watches.find(::GetCurrentThreadId());
        if (found == m_watches.end()) return;
        dropped = std::move(found->second);
        m_watches.erase(found);
    }

private:
    std::mutex m_lock;
    std::map<DWORD, std::unique_ptr<CReaderWatch>> m_watches;
};
CWatchesByThread g_watches;

int32_t CReaderWatch::Run(VemoPluginStopFlag pStopFlag) {
    TraceFormat(kLevelInfo, kCategory, kTraceRunStarted, static_cast<unsigned long>(kStatusWaitMs));
    while (!StopRequested(pStopFlag)) {
        if (m_context || TryEstablishContext()) {
            WaitForChange();
        } else {
            ::Sleep(kIdlePollMs);
        }
    }
    TraceWrite(kLevelInfo, kCategory, kTraceRunEnded);
    return kRunNormalEnd;
}

bool CReaderWatch::TryEstablishContext() {
    const ULONGLONG now = ::GetTickCount64();
    if (now < m_nextAttemptTick) return false;
    m_nextAttemptTick = now + kContextRetryMs;

    // Adopted only on success: PC/SC does not promise to leave the out-parameter alone on failure.
    SCARDCONTEXT hContext = 0;
    const LONG rc = ::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &hContext);
    if (rc != SCARD_S_SUCCESS) {
        if (!m_unavailableTraced) {
            TraceFormat(kLevelWarning, kCategory, kTracePcscUnavailable, AsHex(rc),
                         static_cast<unsigned long>(kContextRetryMs));
            m_unavailableTraced = true;
        }
        return false;
    }
    m_context.reset(hContext);
    m_unavailableTraced = false;
    m_pnpState = SCARD_STATE_UNAWARE;
    m_readers.clear();
    SyncReaders(kTraceReaderPresent);
    if (!m_context) return false;  // the first listing failed already
    TraceFormat(kLevelInfo, kCategory, kTracePcscAvailable, static_cast<unsigned long>(m_readers.size()));
    return true;
}

void CReaderWatch::DropContext(const wchar_t* pszCall, LONG rc) {
    // The smart-card service stopped (or its last reader went): start over after the retry time.
    TraceFormat(kLevelWarning, kCategory, kTracePcscLost, pszCall, AsHex(rc),
                 static_cast<unsigned long>(kContextRetryMs));
    m_unavailableTraced = true;
    m_context.reset();
    m_readers.clear();
    m_nextAttemptTick = ::GetTickCount64() + kContextRetryMs;
}

void CReaderWatch::WaitForChange() {
    // One wait for everything: the pseudo-reader for readers coming and going, each reader for its card.
    std::vector<SCARD_READERSTATEW> states(m_readers.size() + 1);
    states[0].szReader = kPnpNotificationReader;
    states[0].dwCurrentState = m_pnpState;
    for (size_t i = 0; i < m_readers.size(); ++i) {
        states[i + 1].szReader = m_readers[i].name.c_str();
        states[i + 1].dwCurrentState = m_readers[i].state;
    }

    const LONG rc =
        ::SCardGetStatusChangeW(m_context.get(), kStatusWaitMs, states.data(), static_cast<DWORD>(states.size()));
    if (Is(rc, SCARD_E_TIMEOUT)) return;
    if (Is(rc, SCARD_E_UNKNOWN_READER)) {
        // A reader went between listing and waiting.
        SyncReaders(kTraceReaderArrived);
        return;
    }
    if (rc != SCARD_S_SUCCESS) {
        DropContext(kCallGetStatusChange, rc);
        return;
    }

    bool readersChanged = (states[0].dwEventState & SCARD_STATE_CHANGED) != 0;
    m_pnpState = states[0].dwEventState & ~SCARD_STATE_CHANGED;
    for (size_t i = 0; i < m_readers.size(); ++i) {
        const DWORD eventState = states[i + 1].dwEventState;
        if (eventState & SCARD_STATE_UNKNOWN) readersChanged = true;
        NoteCardChange(m_readers[i], eventState);
    }
    if (readersChanged) SyncReaders(kTraceReaderArrived);
}

// Compares PC/SC's reader list with ours: readers that are gone are traced and forgotten, new
// ones traced with pszNewReaderFormat and watched from the next wait on.
void CReaderWatch::SyncReaders(const wchar_t* pszNewReaderFormat) {
    std::vector<std::wstring> names;
    const LONG rc = ListReaders(m_context.get(), names);
    if (rc != SCARD_S_SUCCESS) {
        DropContext(kCallListReaders, rc);
        return;
    }
    std::erase_if(m_readers, [&](const Reader& reader) {
        const bool gone = std::find(names.begin(), names.end(), reader.name) == names.end();
        if (gone) TraceFormat(kLevelInfo, kCategory, kTraceReaderRemoved, reader.name.c_str());
        return gone;
    });
    for (const std::wstring& name : names) {
        const bool known = std::any_of(m_readers.begin(), m_readers.end(),
                                       [&](const Reader& reader) { return reader.name == name; });
        if (known) continue;
        TraceFormat(kLevelInfo, kCategory, pszNewReaderFormat, name.c_str());
        m_readers.push_back(Reader{name});
    }
}

void CReaderWatch::NoteCardChange(Reader& reader, DWORD eventState) {
    if (!(eventState & SCARD_STATE_CHANGED)) return;
    const bool firstReport = reader.state == SCARD_STATE_UNAWARE;
    const bool hadCard = (reader.state & SCARD_STATE_PRESENT) != 0;
    const bool hasCard = (eventState & SCARD_STATE_PRESENT) != 0;
    reader.state = eventState & ~SCARD_STATE_CHANGED;
    // A reader on its way out: the reader list reports that, not its card.
    if (eventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)) return;
    if (firstReport) {
        if (hasCard) TraceFormat(kLevelInfo, kCategory, kTraceCardPresent, reader.name.c_str());
    } else if (hasCard && !hadCard) {
        TraceFormat(kLevelInfo, kCategory, kTraceCardInserted, reader.name.c_str());
    } else if (!hasCard && hadCard) {
        TraceFormat(kLevelInfo, kCategory, kTraceCardRemoved, reader.name.c_str());
    }
}

// The one place that catches for every entry point: trace, and let the caller return its failure value.
void TraceCurrentException(const wchar_t* pszEntry) {
    try {
        throw;
    } catch (const std::exception& e) {
        TraceFormat(kLevelError, kCategory, kTraceException, pszEntry, e.what());
    } catch (...) {
        TraceFormat(kLevelError, kCategory, kTraceUnknownException, pszEntry);
    }
}

}  // namespace

extern "C" {

bool WINAPI Initialize(void) {
    try {
        g_watches.Create();
        TraceWrite(kLevelInfo, kCategory, kTraceInitialized);
        return true;
    } catch (...) {
        TraceCurrentException(kEntryInitialize);
        return false;
    }
}

int32_t WINAPI Run(VemoPluginStopFlag pStopFlag) {
    try {
        CReaderWatch* watch = g_watches.Find();
        if (!watch || !pStopFlag) {
            TraceWrite(kLevelError, kCategory, kTraceNotInitialized);
            return kRunFailed;
        }
        return watch->Run(pStopFlag);
    } catch (...) {
        TraceCurrentException(kEntryRun);
        return kRunFailed;
    }
}

void WINAPI Uninitialize(void) {
    try {
        g_watches.Drop();
        TraceWrite(kLevelInfo, kCategory, kTraceUninitialized);
    } catch (...) {
        TraceCurrentException(kEntryUninitialize);
    }
}

}  // extern "C"
