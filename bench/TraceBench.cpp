// What tracing costs: a suppressed trace call against one bare question to the module, and the
// module's line throughput against plain appends of the same bytes.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BenchNames.h"
#include "QnUmTraceSystem001/TraceSettings.h"
#include "common/UniqueHandle.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"
#include "tracing/TraceSystemExports.h"

using namespace vemo::tracemodule;
using namespace vemo::tracing;

namespace {

constexpr size_t kSuppressedIterations = 2'000'000;
constexpr int kRepetitions = 7;  // the best of these counts: the others met a busy machine
constexpr size_t kThroughputLines = 40'000;
constexpr size_t kThreadCounts[] = {1, 4};
// Each category once, narrow for the module and wide for the front-end.
#define VEMO_BENCH_ON_CATEGORY "BenchKat"
#define VEMO_BENCH_OFF_CATEGORY "BenchAus"  // configured with mask 0
constexpr wchar_t kOnCategory[] = VEMO_WIDEN(VEMO_BENCH_ON_CATEGORY);
constexpr char kWriteCategory[] = VEMO_BENCH_ON_CATEGORY;
constexpr wchar_t kOffCategory[] = VEMO_WIDEN(VEMO_BENCH_OFF_CATEGORY);
constexpr char kOffCategoryA[] = VEMO_BENCH_OFF_CATEGORY;
constexpr wchar_t kFormat[] = L"Wert %d von %s";
constexpr wchar_t kFormatArgument[] = L"Messung";
constexpr wchar_t kScopeMethod[] = L"Bench::Scope";
constexpr char kLineText[] = "Messzeile mit einem Text von typischer Laenge fuer eine Methodenspur 0123456789";
constexpr wchar_t kScratchPrefix[] = L"vemo_trace_bench_";
constexpr wchar_t kModuleLogName[] = L"module.log";
constexpr wchar_t kPlainLogName[] = L"plain.log";
constexpr char kLineEnd[] = "\r\n";
constexpr double kNanosecondsPerSecond = 1e9;
constexpr double kBytesPerMegabyte = 1e6;
constexpr double kSuppressedFormatTarget = 2.0;
constexpr double kDisabledScopeTarget = 3.0;
constexpr double kThroughputTarget = 1.0;
constexpr size_t kTargetThreads = 4;
constexpr int kMutexRoundTrips = 20000;
constexpr double kMicrosecondsPerSecond = 1e6;

double Seconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

LONGLONG Now() {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// Best time per call over the repetitions; a template, so the body is timed without an extra call.
template <typename Body>
double NanosecondsPerCall(Body body) {
    double best = 0;
    for (int r = 0; r < kRepetitions; ++r) {
        const LONGLONG start = Now();
        for (size_t i = 0; i < kSuppressedIterations; ++i) body(i);
        const double ns = Seconds(Now() - start) * kNanosecondsPerSecond / kSuppressedIterations;
        best = r == 0 ? ns : std::min(best, ns);
    }
    return best;
}

// Values the bench replaces, put back as they were at the end.
class RegistryOverride {
public:
    RegistryOverride() {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS | kRegistryView, nullptr,
                          m_key.put(), &m_disposition);
        ::RegCreateKeyExW(m_key.get(), kSubkeyTraceCategories, 0, nullptr, 0, KEY_ALL_ACCESS | kRegistryView,
                          nullptr, m_categories.put(), &m_categoriesDisposition);
    }
    ~RegistryOverride() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->existed) {
                ::RegSetValueExW(it->key, it->name.c_str(), 0, it->type, it->data.data(),
                                 static_cast<DWORD>(it->data.size()));
            } else {
                ::RegDeleteValueW(it->key, it->name.c_str());
            }
        }
        if (m_categoriesDisposition == REG_CREATED_NEW_KEY) {
            m_categories.reset();
            ::RegDeleteKeyExW(m_key.get(), kSubkeyTraceCategories, kRegistryView, 0);
        }
        if (m_disposition == REG_CREATED_NEW_KEY) {
            m_key.reset();
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, kRegistryView, 0);
        }
    }
    RegistryOverride(const RegistryOverride&) = delete;
    RegistryOverride& operator=(const RegistryOverride&) = delete;

    bool valid() const { return m_key && m_categories; }
    bool SetDword(bool category, const wchar_t* name, DWORD value) {
        return Set(category ? m_categories.get() : m_key.get(), name, REG_DWORD, &value, sizeof(value));
    }
    bool SetText(const wchar_t* name, const std::wstring& text) {
        return Set(m_key.get(), name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    struct Saved {
        HKEY key = nullptr;
        std::wstring name;
        bool existed = false;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };

    bool Set(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
        Saved saved;
        saved.key = key;
        saved.name = name;
        DWORD oldSize = 0;
        saved.existed = ::RegQueryValueExW(key, name, nullptr, &saved.type, nullptr, &oldSize) == ERROR_SUCCESS;
        saved.data.resize(oldSize);
        if (saved.existed && oldSize > 0) {
            saved.existed =
                ::RegQueryValueExW(key, name, nullptr, &saved.type, saved.data.data(), &oldSize) == ERROR_SUCCESS;
        }
        m_saved.push_back(std::move(saved));
        return ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    }

    vemo::unique_hkey m_key;
    vemo::unique_hkey m_categories;
    DWORD m_disposition = 0;
    DWORD m_categoriesDisposition = 0;
    std::vector<Saved> m_saved;
};

// A directory below the temporary folder for the two logs, removed with them at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + kScratchPrefix + std::to_wstring(::GetCurrentProcessId()) + L"\\";
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~ScratchFolder() {
        ::DeleteFileW(File(kModuleLogName).c_str());
        ::DeleteFileW(File(kPlainLogName).c_str());
        ::RemoveDirectoryW(m_path.c_str());
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::wstring File(const wchar_t* name) const { return m_path + name; }

private:
    std::wstring m_path;
};

std::wstring ExecutableDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::string ReadAll(const std::wstring& path) {
    vemo::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

// Runs body(thread, first, count) on threads that split lines between them; seconds from start to the last end.
double RunThreads(size_t threads, size_t lines, const std::function<void(size_t, size_t)>& body) {
    vemo::unique_handle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::jthread> workers;
    const size_t share = lines / threads;
    for (size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            ::WaitForSingleObject(go.get(), INFINITE);
            body(t * share, share);
        });
    }
    const LONGLONG start = Now();
    ::SetEvent(go.get());
    for (std::jthread& worker : workers) worker.join();
    return Seconds(Now() - start);
}

void Row(const char* figure, double value, const char* unit, const char* comparison, double target, bool met) {
    char valueText[64];
    char targetText[64];
    std::snprintf(valueText, sizeof(valueText), "%.2f %s", value, unit);
    std::snprintf(targetText, sizeof(targetText), "%s %.1f %s", comparison, target, unit);
    std::printf(vemo::bench::kTableRowFormat, figure, valueText, targetText, met ? "met" : "MISSED");
}

// One wait and release of a named mutex: what every appended batch pays to keep other processes out.
double MutexRoundTripMicroseconds() {
    vemo::unique_handle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    const LONGLONG start = Now();
    for (int i = 0; i < kMutexRoundTrips; ++i) {
        ::WaitForSingleObject(mutex.get(), INFINITE);
        ::ReleaseMutex(mutex.get());
    }
    return Seconds(Now() - start) * kMicrosecondsPerSecond / kMutexRoundTrips;
}

struct Throughput {
    double linesPerSecond;
    double megabytesPerSecond;
};

void PrintThroughput(const char* what, size_t threads, const Throughput& t) {
    std::printf("%s, %zu thread(s): %.0f lines/s\n", what, threads, t.linesPerSecond);
    std::printf("%s, %zu thread(s): %.2f MB/s\n", what, threads, t.megabytesPerSecond);
}

}  // namespace

int main() {
    ScratchFolder scratch;
    RegistryOverride registry;
    // Before the first trace call: the module reads the registry once, at its first use.
    if (!registry.valid() || !registry.SetDword(false, kValueTraceEnabled, 1) ||
        !registry.SetDword(false, kValueTraceLevels, kDefaultTraceLevels) ||
        !registry.SetText(kValueTraceFile, scratch.File(kModuleLogName)) ||
        !registry.SetDword(true, kOffCategory, 0)) {
        std::fprintf(stderr, "cannot write the trace configuration (error %lu)\n", ::GetLastError());
        return 1;
    }

    const std::wstring modulePath = ExecutableDirectory() + L"" VEMO_TRACE_MODULE_NAME;
    vemo::unique_hmodule module(::LoadLibraryW(modulePath.c_str()));
    auto shouldTrace = reinterpret_cast<PFN_ExpShouldTrace>(::GetProcAddress(module.get(), "ExpShouldTrace"));
    auto shouldTraceCategory =
        reinterpret_cast<PFN_ExpShouldTraceCategory>(::GetProcAddress(module.get(), "ExpShouldTraceCategory"));
    auto write = reinterpret_cast<PFN_ExpWrite>(::GetProcAddress(module.get(), "ExpWrite"));
    auto done = reinterpret_cast<PFN_ExpDoneTraceSystem>(::GetProcAddress(module.get(), "ExpDoneTraceSystem"));
    if (!shouldTrace || !shouldTraceCategory || !write || !done || !TraceShouldTrace(kLevelInfo)) {
        std::fprintf(stderr, "the trace module is not usable from %ls\n", modulePath.c_str());
        return 1;
    }

    volatile int answered = 0;
    const double bare = NanosecondsPerCall([&](size_t) { answered = answered + shouldTrace(kLevelDetail); });
    const double category =
        NanosecondsPerCall([&](size_t) { answered = answered + shouldTraceCategory(kLevelError, kOffCategoryA); });
    const double format = NanosecondsPerCall(
        [](size_t i) { TraceFormatW(kLevelDetail, kOnCategory, kFormat, static_cast<int>(i), kFormatArgument); });
    const double wideQuestion = NanosecondsPerCall(
        [&](size_t) { answered = answered + TraceShouldTraceCategoryW(kLevelError, kOffCategory); });
    const double scope = NanosecondsPerCall([](size_t i) {
        METHOD_TRACE(trace, kLevelInfo, kOffCategory, kScopeMethod, static_cast<int>(i));
    });
    std::printf("ExpShouldTrace, bare call: %.1f ns/call\n", bare);
    std::printf("ExpShouldTraceCategory, category off, bare call: %.1f ns/call\n", category);
    std::printf("TraceFormatW, level off: %.1f ns/call\n", format);
    std::printf("TraceFormatW, level off, per bare ExpShouldTrace: %.2f x\n", format / bare);
    std::printf("TraceShouldTraceCategoryW, category off: %.1f ns/call\n", wideQuestion);
    std::printf("MethodTrace scope, category off: %.1f ns/scope\n", scope);
    std::printf("MethodTrace scope, category off, per bare ExpShouldTrace: %.2f x\n", scope / bare);
    Row("trace: suppressed TraceFormatW per bare ExpShouldTrace", format / bare, "x", "<=", kSuppressedFormatTarget,
        format / bare <= kSuppressedFormatTarget);
    Row("trace: disabled MethodTrace per bare ExpShouldTrace", scope / bare, "x", "<=", kDisabledScopeTarget,
        scope / bare <= kDisabledScopeTarget);

    const std::wstring moduleLog = scratch.File(kModuleLogName);
    const std::wstring plainLog = scratch.File(kPlainLogName);
    for (const size_t threads : kThreadCounts) {
        // A fresh module log: closed by the module, deleted, opened again by the first line.
        done();
        ::DeleteFileW(moduleLog.c_str());
        double moduleSeconds = RunThreads(threads, kThroughputLines, [&](size_t, size_t count) {
            for (size_t i = 0; i < count; ++i) write(kLevelInfo, kWriteCategory, kLineText);
        });
        // Counted until the last queued line is in the file, not only until the callers return.
        const LONGLONG flushStart = Now();
        done();
        moduleSeconds += Seconds(Now() - flushStart);

        // The same bytes, line by line, through one append handle.
        const std::string bytes = ReadAll(moduleLog);
        std::vector<std::string_view> lines;
        for (size_t start = 0; start < bytes.size();) {
            const size_t end = bytes.find(kLineEnd, start) + std::size(kLineEnd) - 1;
            lines.emplace_back(bytes.data() + start, end - start);
            start = end;
        }
        ::DeleteFileW(plainLog.c_str());
        vemo::unique_hfile plain(::CreateFileW(plainLog.c_str(), FILE_APPEND_DATA,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!plain || lines.size() != kThroughputLines) {
            std::fprintf(stderr, "module wrote %zu of %zu lines\n", lines.size(), kThroughputLines);
            return 1;
        }
        const double plainSeconds = RunThreads(threads, lines.size(), [&](size_t first, size_t count) {
            DWORD written = 0;
            for (size_t i = first; i < first + count; ++i) {
                ::WriteFile(plain.get(), lines[i].data(), static_cast<DWORD>(lines[i].size()), &written, nullptr);
            }
        });

        const double megabytes = static_cast<double>(bytes.size()) / kBytesPerMegabyte;
        const Throughput viaModule{kThroughputLines / moduleSeconds, megabytes / moduleSeconds};
        const Throughput viaWriteFile{kThroughputLines / plainSeconds, megabytes / plainSeconds};
        PrintThroughput("ExpWrite", threads, viaModule);
        PrintThroughput("WriteFile append", threads, viaWriteFile);
        const double ratio = viaModule.linesPerSecond / viaWriteFile.linesPerSecond;
        std::printf("ExpWrite per WriteFile append, %zu thread(s): %.2f x\n", threads, ratio);
        if (threads == kTargetThreads) {
            Row("trace: ExpWrite lines/s per WriteFile appends, 4 threads", ratio, "x", ">=", kThroughputTarget,
                ratio >= kThroughputTarget);
        }
    }
    std::printf("line size: %zu bytes\n", ReadAll(moduleLog).size() / kThroughputLines);
    std::printf("named mutex wait and release: %.1f us\n", MutexRoundTripMicroseconds());
    done();
    return 0;
}
