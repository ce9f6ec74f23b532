// The exports that change the module while it runs: masks, the switch, listeners, closing,
// the append mutex, and calls with null pointers.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <thread>

#include "QnUmTraceSystem001/TraceSettings.h"
#include "TraceModuleHarness.h"
#include "tracing/Trace.h"

using namespace vemo::test;
using namespace vemo::tracemodule;
using namespace vemo::tracing;

namespace {

constexpr char kOtherCategory[] = "Andere";
constexpr char kExtraCategory[] = "Extra";
constexpr char kSecondCategory[] = "Zweite";
constexpr char kConsoleCategory[] = "Konsole";
constexpr wchar_t kExtraLogName[] = L"extra.log";

class TraceModuleRuntime : public TraceModuleTest {};

// A standard handle of this process replaced for the life of the scope.
class StdHandleScope {
public:
    StdHandleScope(DWORD which, HANDLE replacement) : m_which(which), m_previous(::GetStdHandle(which)) {
        ::SetStdHandle(which, replacement);
    }
    ~StdHandleScope() { ::SetStdHandle(m_which, m_previous); }
    StdHandleScope(const StdHandleScope&) = delete;
    StdHandleScope& operator=(const StdHandleScope&) = delete;

private:
    DWORD m_which;
    HANDLE m_previous;
};

vemo::unique_hfile OpenExclusive(const std::wstring& path) {
    return vemo::unique_hfile(
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The documented mutex name: FNV-1a (64 bit) over the UTF-16 units of the lower-case full path.
std::wstring DocumentedMutexName(const std::wstring& path) {
    constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
    constexpr int kHashDigits = 16;
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    std::wstring lower(n, L'\0');
    ::LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, full, static_cast<int>(n), lower.data(), static_cast<int>(n));
    unsigned long long hash = kAppendMutexHashOffset;
    for (wchar_t c : lower) hash = (hash ^ static_cast<unsigned long long>(c)) * kAppendMutexHashPrime;
    std::wstring digits(kHashDigits, L'0');
    for (int i = kHashDigits - 1; i >= 0; --i, hash >>= 4) digits[i] = kHexDigits[hash & 0xF];
    return kAppendMutexPrefix + digits;
}

// True if the DACL lets Everyone (the world SID) do all of access, or if there is no DACL at all.
bool EveryoneMay(HANDLE object, DWORD access) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    vemo::unique_hlocal owner(descriptor);
    if (!dacl) return true;
    BYTE worldSid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(worldSid);
    if (!::CreateWellKnownSid(WinWorldSid, nullptr, worldSid, &sidSize)) return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (allowed->Mask & access) == access &&
            ::EqualSid(&allowed->SidStart, worldSid)) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST_F(TraceModuleRuntime, MasksAndTheSwitchChangeWhileRunning) {
    constexpr char kCategory[] = "Kat";
    constexpr char kUnconfigured[] = "Ohne";
    if (!InChild()) {
        UseScratchTraceFile();
        ASSERT_TRUE(RunInChildren());
        return;
    }
    ASSERT_EQ(api.InitTraceSystem(), 0);
    api.SetAppTracingLevel(kLevelDetail);
    EXPECT_EQ(api.GetAppTracingLevel(), kLevelDetail);
    EXPECT_EQ(AnsweredMask(api), kLevelDetail);
    EXPECT_EQ(api.GetLevel(kUnconfigured), kLevelDetail) << "an unconfigured category answers the global mask";

    api.SetLevel(kCategory, kLevelInfo);
    EXPECT_EQ(api.GetLevel("KAT"), kLevelInfo);
    EXPECT_EQ(AnsweredCategoryMask(api, "kat"), kLevelInfo);
    EXPECT_EQ(AnsweredMask(api), kLevelDetail);
    EXPECT_EQ(api.Write(kLevelInfo, kCategory, "kat info"), 0);
    EXPECT_EQ(api.Write(kLevelDetail, kCategory, "kat detail"), 0);
    EXPECT_EQ(api.Write(kLevelDetail, kUnconfigured, "ohne detail"), 0);
    EXPECT_EQ(api.Write(kLevelInfo, kUnconfigured, "ohne info"), 0);

    EXPECT_EQ(api.RemoveCategory("kAT"), 0);
    EXPECT_EQ(api.GetLevel(kCategory), kLevelDetail);
    EXPECT_NE(api.RemoveCategory(kCategory), 0) << "nothing left to remove";
    api.SetLevel("A", kLevelError);
    api.SetLevel("B", kLevelWarning);
    EXPECT_EQ(api.RemoveAllCategories(), 0);
    EXPECT_EQ(api.GetLevel("A"), kLevelDetail);
    EXPECT_EQ(api.GetLevel("B"), kLevelDetail);

    api.SetTracingEnabled(false);
    EXPECT_FALSE(api.IsTracingEnabled());
    EXPECT_EQ(AnsweredMask(api), 0);
    EXPECT_EQ(AnsweredCategoryMask(api, kUnconfigured), 0);
    EXPECT_EQ(api.Write(kLevelDetail, kUnconfigured, "ausgeschaltet"), 0);
    api.SetTracingEnabled(true);
    EXPECT_TRUE(api.IsTracingEnabled());
    EXPECT_EQ(AnsweredMask(api), kLevelDetail);

    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records), (std::vector<std::string>{"kat info", "ohne detail"}));
}

TEST_F(TraceModuleRuntime, ListenersRouteLinesByCategory) {
    if (!InChild()) {
        UseScratchTraceFile();
        ASSERT_TRUE(RunInChildren());
        return;
    }
    const std::string extra = Latin1(Scratch() + kExtraLogName);
    const char* const extraName = extra.c_str();
    auto write = [&](const char* category, const char* text) { EXPECT_EQ(api.Write(kLevelInfo, category, text), 0); };

    EXPECT_TRUE(api.ListenerExists(kFileListener));
    EXPECT_TRUE(api.ListenerExists("FILE"));
    EXPECT_FALSE(api.ListenerExists(kConsoleListener));
    EXPECT_FALSE(api.ListenerExists(extraName));

    ASSERT_EQ(api.AddTextfileListener(kExtraCategory, extraName), 0);
    EXPECT_TRUE(api.ListenerExists(extraName));
    write(kExtraCategory, "e1");
    write(kOtherCategory, "a1");
    ASSERT_EQ(api.AddListener(extraName, kSecondCategory), 0);
    write(kSecondCategory, "z1");
    ASSERT_EQ(api.RemoveListenerCategory(extraName, "EXTRA"), 0);
    EXPECT_NE(api.RemoveListenerCategory(extraName, kExtraCategory), 0);
    write(kExtraCategory, "e2");
    EXPECT_NE(api.AddListener("gibt es nicht", kExtraCategory), 0);
    ASSERT_EQ(api.AddListener(extraName, ""), 0) << "an empty category opens it to all";
    write(kOtherCategory, "a2");

    ASSERT_EQ(api.RemoveListener(kFileListener), 0);
    EXPECT_FALSE(api.ListenerExists(kFileListener));
    EXPECT_NE(api.RemoveListener(kFileListener), 0);
    write(kOtherCategory, "a3");
    ASSERT_EQ(api.ConfigureTrace(nullptr), 0);
    EXPECT_TRUE(api.ListenerExists(kFileListener)) << "configuring brings the file listener back";
    write(kOtherCategory, "a4");

    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records),
              (std::vector<std::string>{"e1", "a1", "z1", "e2", "a2", "a4"}));
    EXPECT_EQ(Texts(ReadTrace(Scratch() + kExtraLogName).records),
              (std::vector<std::string>{"e1", "z1", "a2", "a3", "a4"}));

    // The console listener writes to whatever standard error is at the time of the line.
    const std::wstring errorPath = Scratch() + L"stderr.log";
    {
        vemo::unique_hfile error(::CreateFileW(errorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(error);
        StdHandleScope redirect(STD_ERROR_HANDLE, error.get());
        ASSERT_EQ(api.AddConsoleListener(kConsoleCategory), 0);
        EXPECT_TRUE(api.ListenerExists(kConsoleListener));
        write(kConsoleCategory, "k1");
        write(kOtherCategory, "a5");
        EXPECT_EQ(api.RemoveListener(kConsoleListener), 0);
        write(kConsoleCategory, "k2");
    }
    EXPECT_EQ(Texts(ReadTrace(errorPath).records), std::vector<std::string>{"k1"});
}

TEST_F(TraceModuleRuntime, DoneClosesTheFilesAndALaterLineOpensThemAgain) {
    constexpr char kCategory[] = "Ende";
    if (!InChild()) {
        UseScratchTraceFile();
        ASSERT_TRUE(RunInChildren());
        return;
    }
    const std::wstring extraPath = Scratch() + kExtraLogName;
    ASSERT_EQ(api.AddTextfileListener(nullptr, Latin1(extraPath).c_str()), 0);
    ASSERT_EQ(api.Write(kLevelInfo, kCategory, "vorher"), 0);
    ASSERT_TRUE(api.Flush);
    ASSERT_EQ(api.Flush(), 0);
    for (const std::wstring& path : {TraceFile(), extraPath}) {
        EXPECT_FALSE(OpenExclusive(path)) << "the module keeps " << Narrow(path) << " open";
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }

    ASSERT_EQ(api.DoneTraceSystem(), 0);
    for (const std::wstring& path : {TraceFile(), extraPath}) {
        EXPECT_TRUE(OpenExclusive(path)) << Narrow(path) << " still open, error " << ::GetLastError();
    }

    ASSERT_EQ(api.Write(kLevelInfo, kCategory, "nachher"), 0);
    for (const std::wstring& path : {TraceFile(), extraPath}) {
        EXPECT_EQ(Texts(ReadTrace(path).records), (std::vector<std::string>{"vorher", "nachher"})) << Narrow(path);
    }
}

TEST_F(TraceModuleRuntime, AppendMutexIsNamedAfterTheLowerCasePathAndOpenToEveryone) {
    constexpr wchar_t kMixedCaseFile[] = L"GroSS\\Spur.LOG";
    constexpr char kCategory[] = "Sperre";
    // Long enough for an unguarded write to finish; a guarded one waits for the release.
    constexpr DWORD kBlockedProbeMs = 500;
    if (!InChild()) {
        Registry().SetText(kValueTraceFile, Scratch() + kMixedCaseFile);
        ASSERT_TRUE(RunInChildren());
        return;
    }
    const std::wstring path = Scratch() + kMixedCaseFile;
    // Error lines: each is in the file before its call returns, so it waits for the mutex.
    ASSERT_EQ(api.Write(kLevelError, kCategory, "erste"), 0);
    vemo::unique_handle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL, FALSE,
                                           DocumentedMutexName(path).c_str()));
    ASSERT_TRUE(mutex) << "no mutex " << Narrow(DocumentedMutexName(path)) << ", error " << ::GetLastError();
    EXPECT_TRUE(EveryoneMay(mutex.get(), MUTEX_ALL_ACCESS));

    // While another holder owns the mutex, a line waits.
    ASSERT_EQ(::WaitForSingleObject(mutex.get(), kChildTimeoutMs), WAIT_OBJECT_0);
    vemo::mutex_release_scope owned(mutex.get());
    vemo::unique_handle written(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(written);
    int result = -1;
    std::jthread writer([&] {
        result = api.Write(kLevelError, kCategory, "zweite");
        ::SetEvent(written.get());
    });
    EXPECT_EQ(::WaitForSingleObject(written.get(), kBlockedProbeMs), static_cast<DWORD>(WAIT_TIMEOUT));
    owned.reset();
    ASSERT_EQ(::WaitForSingleObject(written.get(), kChildTimeoutMs), WAIT_OBJECT_0);
    writer.join();
    EXPECT_EQ(result, 0);

    // A holder that ends without releasing abandons the mutex: the next line takes it as owned
    // and gives it back, so another thread finds it free at once.
    std::jthread([&] { ::WaitForSingleObject(mutex.get(), kChildTimeoutMs); }).join();
    EXPECT_EQ(api.Write(kLevelError, kCategory, "nach Abbruch"), 0);
    DWORD probe = WAIT_FAILED;
    std::jthread([&] {
        probe = ::WaitForSingleObject(mutex.get(), 0);
        if (probe == WAIT_OBJECT_0 || probe == WAIT_ABANDONED) ::ReleaseMutex(mutex.get());
    }).join();
    EXPECT_EQ(probe, static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(Texts(ReadTrace(path).records), (std::vector<std::string>{"erste", "zweite", "nach Abbruch"}));
}

TEST_F(TraceModuleRuntime, NullArgumentsAreRefusedWithoutHarm) {
    constexpr char kCategory[] = "Null";
    if (!InChild()) {
        UseScratchTraceFile();
        ASSERT_TRUE(RunInChildren());
        return;
    }
    EXPECT_NE(api.Write(kLevelInfo, nullptr, "text"), 0);
    EXPECT_NE(api.Write(kLevelInfo, kCategory, nullptr), 0);
    EXPECT_NE(api.WriteEntry(kLevelInfo, kCategory, nullptr, nullptr), 0);
    EXPECT_NE(api.WriteEntry(kLevelInfo, nullptr, "Eintrag", "text"), 0);
    EXPECT_NE(api.Dump(kLevelInfo, kCategory, nullptr, 4), 0);
    EXPECT_NE(api.DumpEntry(kLevelInfo, nullptr, "Eintrag", "abc", 3), 0);
    EXPECT_EQ(api.Dump(kLevelInfo, kCategory, nullptr, 0), 0) << "no bytes need no buffer";
    EXPECT_FALSE(api.ShouldTraceCategory(kLevelInfo, nullptr));
    api.SetLevel(nullptr, kLevelDetail);
    api.SetLevel("", kLevelDetail);
    EXPECT_EQ(api.GetLevel(nullptr), kDocumentedDefaultMask);
    EXPECT_EQ(api.GetLevel(""), kDocumentedDefaultMask);
    EXPECT_FALSE(api.ListenerExists(nullptr));
    EXPECT_NE(api.AddListener(nullptr, kCategory), 0);
    EXPECT_NE(api.AddTextfileListener(kCategory, nullptr), 0);
    EXPECT_NE(api.AddTextfileListener(kCategory, ""), 0);
    EXPECT_NE(api.RemoveListener(nullptr), 0);
    EXPECT_NE(api.RemoveListenerCategory(nullptr, kCategory), 0);
    EXPECT_NE(api.RemoveListenerCategory(kFileListener, nullptr), 0);
    EXPECT_NE(api.RemoveCategory(nullptr), 0);
    EXPECT_EQ(api.ConfigureTrace(nullptr), 0);
    EXPECT_TRUE(api.ListenerExists(kFileListener));
    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records), std::vector<std::string>{"0 Bytes"});
}
