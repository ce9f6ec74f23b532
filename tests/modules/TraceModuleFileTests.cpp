// The bytes the module writes: records, entries and dumps; the append mutex that keeps them whole
// across processes; lines queued before a process ends, on every way it ends; and a file that
// rotates while several processes with several threads write, losing, splitting and doubling nothing.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "TraceModuleHarness.h"
#include "tracing/Trace.h"

using namespace vemo::test;
using namespace vemo::tracemodule;

namespace {

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoTraceModuleTests");
constexpr size_t kQueuedLines = 300;
constexpr UINT kKilledExitCode = 77;

std::string Numbered(size_t n) { return "nr=" + std::to_string(n) + " " + std::string(120, '#'); }

DWORD WINAPI WriteThroughNull(void*) {
    *static_cast<volatile int*>(nullptr) = 1;
    return 0;
}

// The index-th older file: "trace.log" -> "trace.<index>.log".
std::wstring Rotated(const std::wstring& path, DWORD index) {
    const size_t dot = path.rfind(L'.');
    return index == 0 ? path : path.substr(0, dot) + L"." + std::to_wstring(index) + path.substr(dot);
}

// kNormal ends through the front-end: the program's end flushes while the writer runs.
enum class End { kKilledAfterErrorLine, kFaultingThread, kNormal };
class TraceModuleEnd : public TraceModuleTest, public ::testing::WithParamInterface<End> {};

}  // namespace

TEST_F(TraceModuleTest, RecordHoldsLocalTimeProcessThreadLevelCategoryAndText) {
    constexpr char kLatin1[] = "Gr\xF6\xDF" "e: \xE4\xC4 \xB0 \xFF";  // escapes: whatever the execution charset
    if (RunsInAChild()) return;
    const std::string before = LocalTimestamp();
    ASSERT_EQ(0, api.Write(4, "Format", kLatin1));
    ASSERT_EQ(0, api.Write(2, "Format", "erste Zeile\r\nzweite Zeile"));
    ASSERT_EQ(0, api.Write(8, "Kat\tegorie", kLatin1));
    DWORD otherThread = 0;
    std::thread([&] {
        otherThread = ::GetCurrentThreadId();
        EXPECT_EQ(0, api.Write(1, "Format", "anderer Thread"));
    }).join();
    const std::string after = LocalTimestamp();

    const std::string bytes = ReadFileBytes(TraceFile());
    const auto& r = ParseTrace(bytes).records;
    ASSERT_EQ(4u, r.size()) << bytes;
    // The whole file, rebuilt from the documented layout around the stamps it holds.
    const std::string pid = "\t" + std::to_string(::GetCurrentProcessId()) + "\t", tid = std::to_string(::GetCurrentThreadId());
    EXPECT_EQ(r[0].timestamp + pid + tid + "\t4\tFormat\t" + kLatin1 + "\r\n" +
              r[1].timestamp + pid + tid + "\t2\tFormat\terste Zeile\r\nzweite Zeile\r\n" +
              r[2].timestamp + pid + tid + "\t8\tKat?egorie\t" + kLatin1 + "\r\n" +  // a tab would split the fields
              r[3].timestamp + pid + std::to_string(otherThread) + "\t1\tFormat\tanderer Thread\r\n",
              bytes);
    for (const TraceLine& line : r) EXPECT_TRUE(line.timestamp >= before && line.timestamp <= after) << line.timestamp;
}

TEST_F(TraceModuleTest, EntryTextsAndHexDumps) {
    if (RunsInAChild()) return;
    const unsigned char data[] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 0x00, 0x7F, 0xE4, '~'};
    const std::string big(70000, 'x');
    EXPECT_EQ(0, api.WriteEntry(8, "Format", "Eintrag", "Wert"));
    EXPECT_EQ(0, api.WriteEntry(8, "Format", nullptr, "ohne Eintrag"));
    EXPECT_EQ(0, api.WriteEntry(16, "Format", "Eintrag", "Detail ist aus"));
    EXPECT_EQ(0, api.Dump(8, "Format", data, sizeof(data)));
    EXPECT_EQ(0, api.DumpEntry(8, "Format", "Leer", data, 0));
    EXPECT_EQ(0, api.Dump(16, "Format", data, sizeof(data)));
    EXPECT_EQ(0, api.Dump(8, "Format", big.data(), static_cast<unsigned>(big.size())));

    const auto texts = Read(TraceFile()).Texts();
    ASSERT_EQ(5u, texts.size());
    EXPECT_EQ("Eintrag: Wert", texts[0]);
    EXPECT_EQ("ohne Eintrag", texts[1]);
    EXPECT_EQ("20 Bytes\r\n00000000  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\r\n"
              "00000010  00 7F E4 7E" + std::string(12 * 3, ' ') + "  ...~", texts[2]);
    EXPECT_EQ("Leer: 0 Bytes", texts[3]);
    const std::string& cut = texts[4];
    EXPECT_EQ("70000 Bytes (gek\xFCrzt auf 65536 Bytes)", cut.substr(0, cut.find("\r\n")));
    EXPECT_EQ(65536u / 16, static_cast<size_t>(std::count(cut.begin(), cut.end(), '\n')));
    EXPECT_NE(std::string::npos, cut.find("0000FFF0  78 78")) << "offsets run on to the last shown line";
}

// Other processes join the appends through the mutex named after the file, whoever they run as
// (the service and the user's host); a holder that died without releasing it must not stop the lines.
TEST_F(TraceModuleTest, AppendMutexIsNamedAfterTheLowerCasePathAndOpenToEveryone) {
    const std::wstring path = Scratch() + L"GroSS\\Spur.LOG";
    if (!InChild()) {
        ASSERT_TRUE(SetRegistryString(kRegistryKey, kValueTraceFile, path));
        ASSERT_TRUE(RunInChildren());
        return;
    }
    // The documented name: FNV-1a (64 bit) over the UTF-16 units of the lower-case full path.
    wchar_t full[MAX_PATH], lower[MAX_PATH];
    const int n = static_cast<int>(::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr));
    ::LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, full, n, lower, n);
    unsigned long long hash = kAppendMutexHashOffset;
    for (int i = 0; i < n; ++i) hash = (hash ^ lower[i]) * kAppendMutexHashPrime;
    char digits[17];
    std::snprintf(digits, sizeof(digits), "%016llx", hash);
    const std::wstring name = kAppendMutexPrefix + Widen(digits);
    // Error lines are in the file before their call returns, so they take the mutex.
    ASSERT_EQ(0, api.Write(2, "Sperre", "erste"));
    vemo::unique_handle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL, FALSE, name.c_str()));
    ASSERT_TRUE(mutex) << Narrow(name) << ", error " << ::GetLastError();
    EXPECT_EQ(std::vector<std::string>{"001F0001 S-1-1-0"}, DaclGrants(mutex.get())) << "everyone may do all";
    std::jthread([&] { ::WaitForSingleObject(mutex.get(), kChildTimeoutMs); }).join();  // abandoned
    EXPECT_EQ(0, api.Write(2, "Sperre", "nach Abbruch"));
    DWORD probe = WAIT_FAILED;
    std::jthread([&] {
        probe = ::WaitForSingleObject(mutex.get(), 0);
        if (probe == WAIT_OBJECT_0 || probe == WAIT_ABANDONED) ::ReleaseMutex(mutex.get());
    }).join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), probe) << "the line took the abandoned mutex and gave it back";
    EXPECT_EQ((std::vector<std::string>{"erste", "nach Abbruch"}), Read(path).Texts());
}

// An error line is in the file before ExpWrite returns; a fault nobody handles reaches the
// unhandled-exception filter, which flushes; a normal end flushes through the front-end.
TEST_P(TraceModuleEnd, LeavesEveryLineWrittenBeforeIt) {
    const End end = GetParam();
    if (InChild()) {
        if (end == End::kFaultingThread || end == End::kNormal) {
            ASSERT_TRUE(TraceShouldTrace(1)) << "the front-end binds the module";
        }
        if (end == End::kFaultingThread) vemo::seh::InstallUnhandledExceptionFilter();
        for (size_t i = 0; i < kQueuedLines; ++i) ASSERT_EQ(0, api.Write(8, "Dauer", Numbered(i).c_str()));
        ASSERT_EQ(0, api.Write(end == End::kKilledAfterErrorLine ? 2 : 8, "Dauer", "letzte Zeile"));
        if (end == End::kKilledAfterErrorLine) ::TerminateProcess(::GetCurrentProcess(), kKilledExitCode);
        if (end == End::kFaultingThread) {
            vemo::unique_handle faulting(::CreateThread(nullptr, 0, &WriteThroughNull, nullptr, 0, nullptr));
            ::WaitForSingleObject(faulting.get(), kChildTimeoutMs);
        }
        return;
    }
    UseScratchTraceFile();
    const CapturedProcess child = StartChildren(1, {})[0].get();
    ASSERT_TRUE(child.result.finished);
    const DWORD exitCode[] = {kKilledExitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), 0};  // by End
    EXPECT_EQ(exitCode[static_cast<int>(end)], child.result.exitCode) << child.output;
    std::vector<std::string> expected;
    for (size_t i = 0; i < kQueuedLines; ++i) expected.push_back(Numbered(i));
    expected.push_back("letzte Zeile");
    EXPECT_EQ(expected, Read(TraceFile()).Texts());
}

INSTANTIATE_TEST_SUITE_P(Ends, TraceModuleEnd,
                         ::testing::Values(End::kKilledAfterErrorLine, End::kFaultingThread, End::kNormal));

// No init call: the threads race for the lazy configuration too. Every line is in one of the
// files exactly once, whole, and each thread's lines are in order across the files.
TEST_F(TraceModuleTest, SeveralProcessesAndThreadsWriteWhileTheFileRotates) {
    constexpr size_t kProcesses = 3, kThreads = 3, kLines = 1000;
    constexpr DWORD kManyFiles = 100;  // enough that no file of this test is removed
    if (InChild()) {
        vemo::unique_handle start(::OpenEventW(SYNCHRONIZE, FALSE, Extra().c_str()));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(start.get(), kChildTimeoutMs));
        std::atomic<int> failures{0};
        {
            std::vector<std::jthread> threads;
            for (size_t t = 0; t < kThreads; ++t) {
                threads.emplace_back([&] {
                    for (size_t i = 0; i < kLines; ++i) failures += api.Write(8, "Parallel", Numbered(i).c_str()) != 0;
                });
            }
        }
        EXPECT_EQ(0, failures.load());
        // Ends with the writer idle: under Wine a writer still busy as the process ends can run on
        // beside the exit flush (seen as a Wine assertion and lost files); the end of a process
        // is the durability tests' subject, not this one's.
        api.FlushTraceSystem();
        return;
    }
    UseScratchTraceFile();
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceFileMaxSize, 64 * 1024));
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceFileCount, kManyFiles));
    const std::wstring eventName = L"vemo_rotation_start_" + std::to_wstring(::GetCurrentProcessId());
    vemo::unique_handle start(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(start);
    auto children = StartChildren(kProcesses, eventName);
    ASSERT_TRUE(::SetEvent(start.get()));
    for (auto& child : children) ASSERT_TRUE(Passed(child.get())) << child.get().output;

    std::map<std::pair<DWORD, DWORD>, size_t> next;  // (pid, tid) -> the line expected next
    size_t files = 0;
    for (DWORD index = kManyFiles - 1; index != ~0u; --index) {  // oldest first
        if (!Exists(Rotated(TraceFile(), index))) continue;
        ++files;
        const ParsedTrace trace = Read(Rotated(TraceFile(), index), false);
        EXPECT_TRUE(trace.malformed.empty()) << trace.malformed.front();
        EXPECT_TRUE(trace.endsWithLineEnd);
        for (const TraceLine& r : trace.records) {
            ASSERT_TRUE(r.pid != ::GetCurrentProcessId() && r.level == 8 && r.category == "Parallel") << r.text;
            ASSERT_EQ(Numbered(next[{r.pid, r.tid}]++), r.text) << r.pid << "/" << r.tid << " in file " << index;
        }
    }
    EXPECT_GE(files, 4u) << "the file rotated several times";
    ASSERT_EQ(kProcesses * kThreads, next.size());
    for (const auto& [writer, count] : next) EXPECT_EQ(kLines, count) << writer.first << "/" << writer.second;
}

// No file exceeds the limit, only the newest files are kept, and they hold the newest lines
// without a gap.
TEST_F(TraceModuleTest, RotationKeepsTheNewestFilesWithinTheLimit) {
    constexpr DWORD kLimit = 4096, kFiles = 3;
    constexpr size_t kLines = 150;
    if (InChild()) {
        for (size_t i = 0; i < kLines; ++i) ASSERT_EQ(0, api.Write(2, "Dauer", Numbered(i).c_str()));
        return;
    }
    UseScratchTraceFile();
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceFileMaxSize, kLimit));
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceFileCount, kFiles));
    ASSERT_TRUE(RunInChildren());
    EXPECT_FALSE(Exists(Rotated(TraceFile(), kFiles)));
    std::vector<std::string> texts;
    for (DWORD index = kFiles - 1; index != ~0u; --index) {
        const std::string bytes = ReadFileBytes(Rotated(TraceFile(), index));
        EXPECT_TRUE(!bytes.empty() && bytes.size() <= kLimit) << index << ": " << bytes.size();
        for (const std::string& text : ParseTrace(bytes, false).Texts()) texts.push_back(text);
    }
    ASSERT_FALSE(texts.empty());
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(Numbered(kLines - texts.size() + i), texts[i]);
}

// The front-end keeps the module's answers about a category: a change of the settings, or
// another text at the same address, must be asked again.
TEST_F(TraceModuleTest, FrontEndCategoryAnswersFollowTheModule) {
    if (!InChild()) {
        ASSERT_TRUE(RunInChildren());
        return;
    }
    wchar_t category[] = L"Kat";
    ASSERT_TRUE(TraceShouldTraceCategoryW(8, category));
    api.SetLevel("Kat", 0);
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, category));
    api.SetLevel("Kat", 8);
    EXPECT_TRUE(TraceShouldTraceCategoryW(8, category));
    api.SetTracingEnabled(false);
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, category));
    api.SetTracingEnabled(true);
    api.SetLevel("Aus", 0);
    EXPECT_TRUE(TraceShouldTraceCategoryW(8, category));
    ::wcscpy(category, L"Aus");
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, category));
}
