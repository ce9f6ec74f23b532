#include "common/EventLog.h"

#include <atomic>
#include <mutex>

#include "common/UniqueHandle.h"

namespace vemo::eventlog {
namespace {
constexpr wchar_t kSourcesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr wchar_t kMessageFileValue[] = L"EventMessageFile";
constexpr wchar_t kTypesValue[] = L"TypesSupported";
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
// The two top bits of a message ID are its severity.
constexpr DWORD kSeverityShift = 30;
constexpr DWORD kSeverityWarning = 2;
constexpr DWORD kSeverityError = 3;
// The Event Log lives in the native registry view, also for a 32-bit installer.
constexpr REGSAM kNativeView = KEY_WOW64_64KEY;

std::atomic<Sink> g_sink{nullptr};
std::atomic<Sink> g_mirror{nullptr};
std::mutex g_sourceLock;
std::wstring g_source;

WORD EventType(DWORD eventId) {
    switch (eventId >> kSeverityShift) {
        case kSeverityError: return EVENTLOG_ERROR_TYPE;
        case kSeverityWarning: return EVENTLOG_WARNING_TYPE;
        default: return EVENTLOG_INFORMATION_TYPE;
    }
}
}  // namespace

void SetSource(const wchar_t* pszServiceName) {
    const std::lock_guard<std::mutex> lock(g_sourceLock);
    g_source = pszServiceName ? pszServiceName : L"";
}

void Report(DWORD eventId, std::initializer_list<std::wstring_view> inserts) {
    try {
        std::vector<std::wstring> texts(inserts.begin(), inserts.end());
        if (Sink sink = g_sink.load()) sink(eventId, texts);
        if (Sink mirror = g_mirror.load()) mirror(eventId, texts);
        std::wstring source;
        {
            const std::lock_guard<std::mutex> lock(g_sourceLock);
            source = g_source;
        }
        if (source.empty()) return;
        const vemo::unique_event_source log(::RegisterEventSourceW(nullptr, source.c_str()));
        if (!log) return;
        std::vector<const wchar_t*> strings;
        for (const std::wstring& text : texts) strings.push_back(text.c_str());
        ::ReportEventW(log.get(), EventType(eventId), 0, eventId, nullptr, static_cast<WORD>(strings.size()), 0,
                       strings.empty() ? nullptr : strings.data(), nullptr);
    } catch (...) {
        // An event that cannot be reported is dropped: the trace line beside it stays.
    }
}

Sink SetSink(Sink sink) { return g_sink.exchange(sink); }

Sink SetTraceMirror(Sink mirror) { return g_mirror.exchange(mirror); }

std::wstring SourceKeyPath(const wchar_t* pszServiceName) {
    return std::wstring(kSourcesKey) + (pszServiceName ? pszServiceName : L"");
}

bool RegisterSource(const wchar_t* pszServiceName, const wchar_t* pszMessageFile) {
    if (!pszServiceName || !*pszServiceName || !pszMessageFile) return false;
    vemo::unique_hkey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath(pszServiceName).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE | kNativeView, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring file(pszMessageFile);
    const DWORD fileBytes = static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key.get(), kMessageFileValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                            fileBytes) == ERROR_SUCCESS &&
           ::RegSetValueExW(key.get(), kTypesValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kTypesSupported),
                            sizeof(kTypesSupported)) == ERROR_SUCCESS;
}

bool RemoveSource(const wchar_t* pszServiceName) {
    if (!pszServiceName || !*pszServiceName) return false;
    const LSTATUS rc = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath(pszServiceName).c_str(), kNativeView, 0);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

}  // namespace vemo::eventlog
