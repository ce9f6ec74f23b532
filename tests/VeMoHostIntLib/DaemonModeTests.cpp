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

using namespace vemo::test;
using vemo::daemonmodule::DaemonTestMode;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoDaemonModeTests");
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr DWORD kCallBoundMs = 20000;  // generous: only a hang may exceed it
constexpr char kValueNotFound[] = "Schl\xfcssel <QRNServ> konnte nicht gelesen werden! LastError: <2>";
constexpr char kExitReturned[] = "R\xfc" "ckkehr aus Funktion VemoDaemonExit.";

// Sets the module's test switch and clears its record of calls.
bool SetDaemonSwitch(DaemonTestMode mode, DWORD delayMs = 0, DWORD result = 0) {
    using namespace vemo::daemonmodule;
    return DeleteRegistryValue(kRegistryKey, kValueTestCalls) &&
           SetRegistryDword(kRegistryKey, kValueTestMode, static_cast<DWORD>(mode)) &&
           SetRegistryDword(kRegistryKey, kValueTestDelayMs, delayMs) && SetRegistryDword(kRegistryKey, kValueTestResult, result);
}
// The exports the module saw called, one letter each, in order.
std::wstring DaemonCalls() {
    return ReadRegistryString(vemo::daemonmodule::kRegistryKey, vemo::daemonmodule::kValueTestCalls).value_or(L"");
}
bool DaemonModuleLoaded() { return ::GetModuleHandleW(VEMO_DAEMON_MODULE_NAME) != nullptr; }

class DaemonModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ResetHklmSandbox());
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    std::vector<std::string> Texts(int level) const {
        std::vector<std::string> texts;
        for (const TraceRecord& r : recorder.Records()) {
            if (r.level == level && r.category == "VeMoHost.Common") texts.push_back(r.text);
        }
        return texts;
    }
    bool Traced(int level, const std::string& text) const { return std::ranges::count(Texts(level), text) > 0; }

    struct DaemonCall {
        std::atomic<bool> stopFlag{false};
        std::atomic<bool> done{false};
        bool result = false;
        bool hostNeeded = false;
    };
    // EnterDaemonMode on a thread of its own, as the service's initialisation thread runs it;
    // stopWhileChecking sets the stop flag once the check has been called. Empty on a hang.
    // bHostNeeded goes in as the opposite of what the caller expects.
    std::optional<bool> RunDaemonMode(bool stopWhileChecking, bool& bHostNeeded) {
        auto call = std::make_shared<DaemonCall>();
        call->hostNeeded = bHostNeeded;
        std::thread([call] {
            vemo::seh::SetSehTranslator(&TranslateSEHExceptionNoDump);  // the service's thread translates faults too
            call->result = EnterDaemonMode(call->hostNeeded, &call->stopFlag);
            call->done = true;
        }).detach();  // the shared state outlives a thread that hangs
        if (stopWhileChecking) {
            EXPECT_TRUE(WaitFor([&] { return Traced(8, "Rufen VemoDaemonCheckLeser."); }, kCallBoundMs));
            call->stopFlag = true;
        }
        if (!WaitFor([&] { return call->done.load(); }, kCallBoundMs)) {
            call->stopFlag = true;
            return std::nullopt;
        }
        bHostNeeded = call->hostNeeded;
        return call->result;
    }

    Recorder recorder;
};

// --- run key ----------------------------------------------------------------------------------

// Only its presence counts, so a value too long for the buffer is present all the same. Its
// writing with the real writer: ServiceLifecycleTests.
TEST_F(DaemonModeTest, TheRunKeyIsMadeWhenMissingAndReadEvenOversized) {
    bool present = true;
    EXPECT_FALSE(GetSetVeMoHostRunKey(false, present));
    EXPECT_FALSE(present);
    EXPECT_TRUE(Traced(8, "Registry-Zweig <SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run> wurde neu angelegt"));
    EXPECT_TRUE(Traced(8, kValueNotFound));
    ASSERT_TRUE(SetRegistryString(kRunKey, L"QRNServ", std::wstring(200, L'x')));  // 402 bytes
    recorder.Reset();
    EXPECT_TRUE(GetSetVeMoHostRunKey(false, present));
    EXPECT_TRUE(present);
    EXPECT_FALSE(Traced(8, kValueNotFound));
}

struct WriteCall {
    HKEY root;
    bool b32BitView;
    std::wstring keyPath, valueName, value;
    bool operator==(const WriteCall&) const = default;
};
WriteCall g_lastWrite;
uint32_t g_writeResult = CDB_OK;
uint32_t RecordingWrite(HKEY root, bool b32, const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    g_lastWrite = {root, b32, key, name, value};
    return g_writeResult;
}

// The writer is asked for the machine's 32-bit view, which the redirected hive cannot show; a
// failed write, or no program directory, writes nothing.
TEST_F(DaemonModeTest, TheWritersArgumentsAndItsFailures) {
    const RunKeyDependencies recording{[](const std::wstring&, bool) { return std::wstring(L"C:\\Prog\\"); }, &RecordingWrite};
    bool written = false;
    EXPECT_TRUE(GetSetVeMoHostRunKeyWith(true, written, recording) && written);
    EXPECT_TRUE(g_lastWrite == (WriteCall{HKEY_LOCAL_MACHINE, true, kRunKey, L"QRNServ", L"\"C:\\Prog\\VeMoHost.exe\""}));
    g_writeResult = CDB_ERROR_REGISTRY_WRITE;
    EXPECT_FALSE(GetSetVeMoHostRunKeyWith(true, written, recording) || written);
    EXPECT_TRUE(Traced(2, "Schl\xfcssel <QRNServ> konnte nicht in in Pfad <SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run> "
                          "geschrieben werden! Fehler <1011>!"));
    g_writeResult = CDB_OK;
    written = true;
    EXPECT_FALSE(GetSetVeMoHostRunKeyWith(true, written, {[](const std::wstring&, bool) { return std::wstring(); }, &RecordingWrite}));
    EXPECT_FALSE(written);
}

// --- daemon mode ------------------------------------------------------------------------------

TEST_F(DaemonModeTest, EachAnswerOfTheModule) {
    struct Case {
        const char* name;
        DaemonTestMode mode;
        DWORD delayMs, result;
        bool stopWhileChecking;
        std::optional<bool> done;
        bool hostNeeded;        // the out flag
        const char* errorLine;  // the one level-2 line, if any
        const wchar_t* calls;   // the exports the module saw called
    };
    const Case cases[] = {
        {"host needed", DaemonTestMode::HostNeeded, 50, 0, false, true, true, nullptr, L"ICE"},
        {"no answer until stopped", DaemonTestMode::WaitForStop, 0, 0, true, true, false, nullptr, L"ICE"},
        {"stop before the answer", DaemonTestMode::HostNeeded, 600000, 0, true, true, false, nullptr, L"ICE"},
        {"error code", DaemonTestMode::ReturnResult, 0, 1234, false, true, false, "VemoDaemonCheckLeser liefert Fehler <1234>!", L"ICE"},
        {"init fails", DaemonTestMode::InitFails, 0, 0, false, false, false, "VemoDaemonInit liefert false.", L"I"},
        {"unknown switch", static_cast<DaemonTestMode>(99), 0, 0, false, false, false, "VemoDaemonInit liefert false.", L"I"},
        // A fault in the check is reported and leaves the module loaded: nothing runs after it.
        {"fault", DaemonTestMode::Fault, 0, 0, false, false, false, nullptr, L"IC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder.Reset();
        ASSERT_TRUE(SetDaemonSwitch(c.mode, c.delayMs, c.result));
        bool hostNeeded = !c.hostNeeded;
        EXPECT_EQ(c.done, RunDaemonMode(c.stopWhileChecking, hostNeeded));
        EXPECT_EQ(c.hostNeeded, hostNeeded);
        EXPECT_EQ(c.errorLine ? std::vector<std::string>{c.errorLine} : std::vector<std::string>{}, Texts(2));
        EXPECT_EQ(c.done == true, Traced(8, kExitReturned));
        EXPECT_EQ(c.calls, DaemonCalls());
        const bool fault = c.mode == DaemonTestMode::Fault;
        EXPECT_EQ(fault, Traced(1, "Es ist eine Exception in EnterDaemonMode() aufgetreten!"));
        EXPECT_EQ(fault, DaemonModuleLoaded());
        if (fault && DaemonModuleLoaded()) ::FreeLibrary(::GetModuleHandleW(VEMO_DAEMON_MODULE_NAME));  // the one reference left
    }
}

TEST_F(DaemonModeTest, WatchingTheReadersEndsOnStopOrWithAPcscCode) {
    // No switch: PC/SC decides. Wine 8 has no smart-card service: SCardEstablishContext fails with
    // SCARD_F_INTERNAL_ERROR, which the check returns at once. Windows without the service gives
    // SCARD_E_NO_SERVICE; with it and no reader the check waits for the stop.
    bool hostNeeded = true;
    EXPECT_EQ(true, RunDaemonMode(true, hostNeeded));
    EXPECT_FALSE(hostNeeded);
    const auto errors = Texts(2);
    if (RunningUnderWine() || !errors.empty()) {
        ASSERT_EQ(1u, errors.size());
        unsigned code = 0;
        ASSERT_EQ(1, sscanf(errors[0].c_str(), "VemoDaemonCheckLeser liefert Fehler <%u>!", &code)) << errors[0];
        EXPECT_EQ(RunningUnderWine() ? 0x80100001u : 0x8010001Du, code) << std::hex << code;
    }
    EXPECT_TRUE(Traced(8, kExitReturned));
    EXPECT_FALSE(DaemonModuleLoaded());
}

// Runs in copies of this program, as children: one without a module beside it, one beside a
// module that lacks its exit export.
TEST_F(DaemonModeTest, AModuleMissingOrIncompleteIsReportedAndNothingIsCalled) {
    const std::wstring self = L"daemonmode_tests.exe";
    if (!InChild()) {
        for (const std::wstring& module : {std::wstring(), ExecutableDirectory() + L"noexit\\" + VEMO_DAEMON_MODULE_NAME}) {
            ScratchDirectory copy{L"daemoncopy"};
            for (const auto& [from, to] : {std::pair{ExecutableDirectory() + self, copy.path() + self},
                                           std::pair{ExecutableDirectory() + L"QnUmTraceSystem001.dll", copy.path() + L"QnUmTraceSystem001.dll"},
                                           std::pair{module, copy.path() + VEMO_DAEMON_MODULE_NAME}}) {
                ASSERT_TRUE(from.empty() || ::CopyFileW(from.c_str(), to.c_str(), TRUE)) << Narrow(from);
            }
            // The entry point passes a child only when it ran exactly this one test to a pass.
            const ProcessResult run = RunProcess(
                copy.path() + self, L"--gtest_filter=DaemonModeTest.AModuleMissingOrIncompleteIsReportedAndNothingIsCalled --vemo-child",
                kCallBoundMs);
            EXPECT_TRUE(run.finished && run.exitCode == 0) << "in the copy beside " << Narrow(module) << ": " << run.exitCode;
        }
        return;
    }
    ASSERT_TRUE(SetDaemonSwitch(DaemonTestMode::HostNeeded));
    bool hostNeeded = true;
    EXPECT_EQ(false, RunDaemonMode(false, hostNeeded));
    EXPECT_FALSE(hostNeeded);
    EXPECT_EQ(std::vector<std::string>{Exists(ExecutableDirectory() + VEMO_DAEMON_MODULE_NAME)
                                           ? "GetProcAdress von mind. einer Funktion der VemoDaemon-DLL ist gescheitert."
                                           : "LoadLibrary der VemoDaemon-DLL gescheitert."},
              Texts(2));
    EXPECT_EQ(L"", DaemonCalls());
    EXPECT_FALSE(DaemonModuleLoaded());
}

}  // namespace
