// The run key and daemon mode. HKEY_LOCAL_MACHINE of this process is redirected to a scratch key,
// so the run key and the daemon module's switch never touch the machine. The daemon module and
// the recording trace module lie next to this program, as they lie next to the service.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "QRNCSAVeMoDaemon001/DaemonSettings.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoDaemon.h"
#include "VeMoHostIntLib/DaemonMode.h"
#include "configdb/ConfigDB.h"

namespace {

using vemo::daemonmodule::DaemonTestMode;
using vemo::test::TraceRecord;

[[maybe_unused]] const bool kSandbox = vemo::test::UseHklmSandbox(L"Software\\VeMoDaemonModeTests");
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"QRNServ";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr wchar_t kProgKeyValue[] = L"ProgKey";
constexpr char kCategory[] = "VeMoHost.Common";
constexpr int kLevelException = 1;
constexpr int kLevelError = 2;
constexpr int kLevelInfo = 8;
// Generous: only a hang may exceed it.
constexpr DWORD kCallBoundMs = 20000;

constexpr char kRunKeyCreated[] = "Registry-Zweig <SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run> wurde neu angelegt";
constexpr char kRunKeyOpened[] =
    "Registry-Zweig <SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run> ist vorhanden und wurde ge\xf6" "ffnet";
constexpr char kValueNotFound[] = "Schl\xfcssel <QRNServ> konnte nicht gelesen werden! LastError: <2>";
constexpr char kCheckCalled[] = "Rufen VemoDaemonCheckLeser.";
constexpr char kCheckReturned[] = "R\xfc" "ckkehr aus Funktion VemoDaemonCheckLeser.";
constexpr char kExitReturned[] = "R\xfc" "ckkehr aus Funktion VemoDaemonExit.";

// Copies of this program run where the daemon module is missing or incomplete.
constexpr wchar_t kCopyCaseVariable[] = L"VEMO_DAEMONMODE_IN_COPY";
constexpr wchar_t kCopyPassedMarker[] = L"copy_passed";
constexpr wchar_t kTraceModuleName[] = L"QnUmTraceSystem001.dll";
constexpr wchar_t kNoExitModuleDir[] = L"noexit\\";

// Sets the module's test switch and clears its record of calls.
bool SetDaemonSwitch(DaemonTestMode mode, DWORD delayMs = 0, DWORD result = 0) {
    using namespace vemo::daemonmodule;
    return vemo::test::DeleteRegistryValue(kRegistryKey, kValueTestCalls) &&
           vemo::test::SetRegistryDword(kRegistryKey, kValueTestMode, static_cast<DWORD>(mode)) &&
           vemo::test::SetRegistryDword(kRegistryKey, kValueTestDelayMs, delayMs) &&
           vemo::test::SetRegistryDword(kRegistryKey, kValueTestResult, result);
}

std::optional<std::wstring> ReadString(const wchar_t* key, const wchar_t* name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

std::optional<std::wstring> ReadRunValue() { return ReadString(kRunKey, kRunValue); }

// The exports the module saw called, one letter each, in order.
std::wstring DaemonCalls() {
    using namespace vemo::daemonmodule;
    return ReadString(kRegistryKey, kValueTestCalls).value_or(L"");
}

bool DaemonModuleLoaded() { return ::GetModuleHandleW(VEMO_DAEMON_MODULE_NAME) != nullptr; }

class DaemonModeTest : public ::testing::Test {
protected:
    vemo::test::Recorder recorder;

    void SetUp() override {
        ASSERT_TRUE(vemo::test::ResetHklmSandbox());
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }

    std::vector<TraceRecord> Lines(int level) const {
        std::vector<TraceRecord> lines;
        for (const TraceRecord& r : recorder.Records()) {
            if (r.level == level && r.category == kCategory) lines.push_back(r);
        }
        return lines;
    }
    bool Traced(int level, const std::string& text) const {
        const auto lines = Lines(level);
        return std::any_of(lines.begin(), lines.end(), [&](const TraceRecord& r) { return r.text == text; });
    }
    // The texts of level 8 that are among wanted, in the order they were written.
    std::vector<std::string> InfoSequence(const std::vector<std::string>& wanted) const {
        std::vector<std::string> seen;
        for (const TraceRecord& r : Lines(kLevelInfo)) {
            if (std::find(wanted.begin(), wanted.end(), r.text) != wanted.end()) seen.push_back(r.text);
        }
        return seen;
    }

    struct DaemonCall {
        std::atomic<bool> stopFlag{false};
        std::atomic<bool> done{false};
        bool result = false;
        bool hostNeeded = false;
    };

    // EnterDaemonMode on a thread of its own, as the service's initialisation thread runs it;
    // stopWhileChecking sets the stop flag once the check has been called. Empty on a hang.
    std::optional<bool> RunDaemonMode(bool stopWhileChecking, bool& bHostNeeded) {
        auto call = std::make_shared<DaemonCall>();
        call->hostNeeded = !bHostNeeded;
        std::thread([call] {
            // The service's initialisation thread translates faults too (with a dump).
            vemo::seh::SetSehTranslator(&TranslateSEHExceptionNoDump);
            call->result = EnterDaemonMode(call->hostNeeded, &call->stopFlag);
            call->done = true;
        }).detach();  // the shared state outlives a thread that hangs
        if (stopWhileChecking) {
            EXPECT_TRUE(vemo::test::WaitFor([&] { return Traced(kLevelInfo, kCheckCalled); }, kCallBoundMs));
            call->stopFlag = true;
        }
        if (!vemo::test::WaitFor([&] { return call->done.load(); }, kCallBoundMs)) {
            call->stopFlag = true;
            return std::nullopt;
        }
        bHostNeeded = call->hostNeeded;
        return call->result;
    }
};

// --- run key ----------------------------------------------------------------------------------

TEST_F(DaemonModeTest, ReadingCountsPresenceEvenOfAnOversizedValue) {
    bool present = true;
    EXPECT_FALSE(GetSetVeMoHostRunKey(false, present));
    EXPECT_FALSE(present);
    EXPECT_EQ(1u, recorder.Count("---> Beginn: GetSetVeMoHostRunKey"));
    EXPECT_TRUE(Traced(kLevelInfo, kRunKeyCreated));
    EXPECT_TRUE(Traced(kLevelInfo, kValueNotFound));

    recorder.Reset();
    ASSERT_TRUE(vemo::test::SetRegistryString(kRunKey, kRunValue, std::wstring(200, L'x')));  // 402 bytes
    EXPECT_TRUE(GetSetVeMoHostRunKey(false, present));
    EXPECT_TRUE(present);
    EXPECT_TRUE(Traced(kLevelInfo, kRunKeyOpened));
    EXPECT_FALSE(Traced(kLevelInfo, kValueNotFound));
}

TEST_F(DaemonModeTest, WritingStoresTheQuotedHostPathOnceAndReadFindsIt) {
    vemo::test::ScratchDirectory progDir{L"daemonprog"};
    ASSERT_TRUE(vemo::test::SetRegistryString(kProductKey, kProgKeyValue, progDir.path()));
    const std::wstring expected = L"\"" + progDir.path() + L"VeMoHost.exe\"";
    for (int round = 0; round < 2; ++round) {
        recorder.Reset();
        bool written = false;
        EXPECT_TRUE(GetSetVeMoHostRunKey(true, written)) << round;
        EXPECT_TRUE(written) << round;
        EXPECT_TRUE(Traced(kLevelInfo, round == 0 ? kRunKeyCreated : kRunKeyOpened)) << round;
        EXPECT_TRUE(Traced(kLevelInfo, "Schl\xfcssel <QRNServ> wurde in Pfad "
                                       "<SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run> geschrieben."))
            << round;
        EXPECT_EQ(expected, ReadRunValue()) << round;
    }
    bool present = false;
    EXPECT_TRUE(GetSetVeMoHostRunKey(false, present));
    EXPECT_TRUE(present);
}

struct WriteCall {
    HKEY root;
    bool b32BitView;
    std::wstring keyPath, valueName, value;
};
WriteCall g_lastWrite;
uint32_t g_writeResult = CDB_OK;

uint32_t RecordingWrite(HKEY root, bool b32, const std::wstring& key, const std::wstring& name,
                        const std::wstring& value) {
    g_lastWrite = {root, b32, key, name, value};
    return g_writeResult;
}

TEST_F(DaemonModeTest, TheWritersArgumentsAndItsFailures) {
    // The writer is asked for the machine's 32-bit view, which the redirected hive cannot show.
    const RunKeyDependencies recording{[](const std::wstring&, bool) { return std::wstring(L"C:\\Prog\\"); },
                                       &RecordingWrite};
    bool written = false;
    g_writeResult = CDB_OK;
    EXPECT_TRUE(GetSetVeMoHostRunKeyWith(true, written, recording));
    EXPECT_TRUE(written);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, g_lastWrite.root);
    EXPECT_TRUE(g_lastWrite.b32BitView);
    EXPECT_EQ(kRunKey, g_lastWrite.keyPath);
    EXPECT_EQ(kRunValue, g_lastWrite.valueName);
    EXPECT_EQ(L"\"C:\\Prog\\VeMoHost.exe\"", g_lastWrite.value);

    g_writeResult = CDB_ERROR_REGISTRY_WRITE;
    EXPECT_FALSE(GetSetVeMoHostRunKeyWith(true, written, recording));
    EXPECT_FALSE(written);
    EXPECT_TRUE(Traced(kLevelError, "Schl\xfcssel <QRNServ> konnte nicht in in Pfad "
                                    "<SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run> geschrieben werden! "
                                    "Fehler <1011>!"));

    recorder.Reset();
    const RunKeyDependencies noProgDir{[](const std::wstring&, bool) { return std::wstring(); },
                                       DefaultRunKeyDependencies().pfnSetRegistryKeyString};
    written = true;
    EXPECT_FALSE(GetSetVeMoHostRunKeyWith(true, written, noProgDir));
    EXPECT_FALSE(written);
    EXPECT_EQ(1u, Lines(kLevelError).size());
    EXPECT_TRUE(Traced(kLevelError, "Es ist ein Fehler beim Aufruf von CDB_SetRegistryKeyString() aufgetreten!"));
    EXPECT_FALSE(ReadRunValue().has_value());
}

// --- daemon mode ------------------------------------------------------------------------------

TEST_F(DaemonModeTest, TheModuleLiesInTheExecutablesDirectory) {
    wchar_t path[kDaemonDllPathChars];
    ASSERT_TRUE(GetDaemonDllPath(path));
    EXPECT_EQ(vemo::test::ExecutableDirectory() + VEMO_DAEMON_MODULE_NAME, path);
}

struct DaemonCase {
    const char* name;
    DWORD mode, delayMs, result;
    bool stopWhileChecking;
    bool done, hostNeeded;   // the result and the out flag
    const char* errorLine;   // the one level-2 line, if any
    const wchar_t* calls;    // the exports the module saw called
};

TEST_F(DaemonModeTest, EachAnswerOfTheModule) {
    constexpr auto kHostNeeded = static_cast<DWORD>(DaemonTestMode::HostNeeded);
    const DaemonCase cases[] = {
        {"host needed", kHostNeeded, 50, 0, false, true, true, nullptr, L"ICE"},
        {"no answer until stopped", static_cast<DWORD>(DaemonTestMode::WaitForStop), 0, 0, true, true, false, nullptr,
         L"ICE"},
        {"stop before the answer", kHostNeeded, 600000, 0, true, true, false, nullptr, L"ICE"},
        {"error code", static_cast<DWORD>(DaemonTestMode::ReturnResult), 0, 1234, false, true, false,
         "VemoDaemonCheckLeser liefert Fehler <1234>!", L"ICE"},
        {"init fails", static_cast<DWORD>(DaemonTestMode::InitFails), 0, 0, false, false, false,
         "VemoDaemonInit liefert false.", L"I"},
        {"unknown switch", 99, 0, 0, false, false, false, "VemoDaemonInit liefert false.", L"I"},
    };
    for (const DaemonCase& c : cases) {
        SCOPED_TRACE(c.name);
        recorder.Reset();
        ASSERT_TRUE(SetDaemonSwitch(static_cast<DaemonTestMode>(c.mode), c.delayMs, c.result));
        bool hostNeeded = !c.hostNeeded;
        EXPECT_EQ(c.done, RunDaemonMode(c.stopWhileChecking, hostNeeded));
        EXPECT_EQ(c.hostNeeded, hostNeeded);
        EXPECT_EQ(1u, recorder.Count("---> Beginn: EnterDaemonMode"));
        const auto errors = Lines(kLevelError);
        ASSERT_EQ(c.errorLine ? 1u : 0u, errors.size());
        if (c.errorLine) {
            EXPECT_EQ(c.errorLine, errors[0].text);
        }
        const std::vector<std::string> ran{kCheckCalled, kCheckReturned, kExitReturned};
        EXPECT_EQ(c.done ? ran : std::vector<std::string>{}, InfoSequence(ran));
        EXPECT_EQ(c.calls, DaemonCalls());
        EXPECT_FALSE(DaemonModuleLoaded());
    }
}

TEST_F(DaemonModeTest, AFaultInTheModuleIsReportedAndLeavesItLoaded) {
    ASSERT_TRUE(SetDaemonSwitch(DaemonTestMode::Fault));
    bool hostNeeded = true;
    EXPECT_EQ(false, RunDaemonMode(false, hostNeeded));
    EXPECT_FALSE(hostNeeded);
    EXPECT_TRUE(Traced(kLevelException, "Es ist eine Exception in EnterDaemonMode() aufgetreten!"));
    EXPECT_FALSE(Traced(kLevelInfo, kCheckReturned));
    EXPECT_EQ(L"IC", DaemonCalls());
    HMODULE leftLoaded = ::GetModuleHandleW(VEMO_DAEMON_MODULE_NAME);
    ASSERT_NE(nullptr, leftLoaded);
    ::FreeLibrary(leftLoaded);  // the one reference daemon mode left behind
    EXPECT_FALSE(DaemonModuleLoaded());
}

TEST_F(DaemonModeTest, WatchingTheReadersEndsOnStopOrWithAPcscCode) {
    // No switch: PC/SC decides. Wine 8 has no smart-card service: SCardEstablishContext fails with
    // SCARD_F_INTERNAL_ERROR, which the check returns at once. Windows without the service gives
    // SCARD_E_NO_SERVICE; with it and no reader the check waits for the stop.
    bool hostNeeded = true;
    EXPECT_EQ(true, RunDaemonMode(true, hostNeeded));
    EXPECT_FALSE(hostNeeded);
    const auto errors = Lines(kLevelError);
    if (vemo::test::RunningUnderWine() || !errors.empty()) {
        ASSERT_EQ(1u, errors.size());
        unsigned code = 0;
        ASSERT_EQ(1, sscanf(errors[0].text.c_str(), "VemoDaemonCheckLeser liefert Fehler <%u>!", &code)) << errors[0].text;
        EXPECT_EQ(vemo::test::RunningUnderWine() ? 0x80100001u : 0x8010001Du, code) << std::hex << code;
    }
    EXPECT_TRUE(Traced(kLevelInfo, kExitReturned));
    EXPECT_FALSE(DaemonModuleLoaded());
}

// --- module missing or incomplete, each in a copy of this program ------------------------------

bool InCopy() { return ::GetEnvironmentVariableW(kCopyCaseVariable, nullptr, 0) != 0; }

// Runs the in-copy case in a copy of this program next to daemonModule (none if empty).
bool PassesInCopy(const std::wstring& daemonModule) {
    const std::wstring here = vemo::test::ExecutableDirectory();
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    vemo::test::ScratchDirectory copy{L"daemoncopy"};
    const std::wstring program = copy.path() + L"daemonmode_tests.exe";
    if (!::CopyFileW(self, program.c_str(), TRUE) ||
        !::CopyFileW((here + kTraceModuleName).c_str(), (copy.path() + kTraceModuleName).c_str(), TRUE)) {
        return false;
    }
    if (!daemonModule.empty() &&
        !::CopyFileW(daemonModule.c_str(), (copy.path() + VEMO_DAEMON_MODULE_NAME).c_str(), TRUE)) {
        return false;
    }
    ::SetEnvironmentVariableW(kCopyCaseVariable, L"1");
    const auto run = vemo::test::RunProcess(program, L"--gtest_filter=*InCopyOnly*", kCallBoundMs);
    ::SetEnvironmentVariableW(kCopyCaseVariable, nullptr);
    const bool passed = ::GetFileAttributesW((copy.path() + kCopyPassedMarker).c_str()) != INVALID_FILE_ATTRIBUTES;
    return run.finished && run.exitCode == 0 && passed;
}

TEST(DaemonModeCopies, MissingAndIncompleteModules) {
    if (InCopy()) GTEST_SKIP();
    EXPECT_TRUE(PassesInCopy(L""));
    EXPECT_TRUE(PassesInCopy(vemo::test::ExecutableDirectory() + kNoExitModuleDir + VEMO_DAEMON_MODULE_NAME));
}

// Without a module next to the program it cannot be loaded; the one there lacks an export.
TEST_F(DaemonModeTest, InCopyOnlyModuleMissingOrIncomplete) {
    if (!InCopy()) GTEST_SKIP() << "runs in a copy of this program only";
    const bool moduleThere = ::GetFileAttributesW((vemo::test::ExecutableDirectory() + VEMO_DAEMON_MODULE_NAME).c_str()) !=
                             INVALID_FILE_ATTRIBUTES;
    ASSERT_TRUE(SetDaemonSwitch(DaemonTestMode::HostNeeded));
    bool hostNeeded = true;
    EXPECT_EQ(false, RunDaemonMode(false, hostNeeded));
    EXPECT_FALSE(hostNeeded);
    const auto errors = Lines(kLevelError);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(moduleThere ? "GetProcAdress von mind. einer Funktion der VemoDaemon-DLL ist gescheitert."
                          : "LoadLibrary der VemoDaemon-DLL gescheitert.",
              errors[0].text);
    EXPECT_EQ(L"", DaemonCalls());
    EXPECT_FALSE(DaemonModuleLoaded());
    // The marker proves that the case ran in the copy and passed, not only that nothing failed.
    if (!HasFailure()) {
        vemo::unique_hfile marker(::CreateFileW((vemo::test::ExecutableDirectory() + kCopyPassedMarker).c_str(),
                                                GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
}

}  // namespace
