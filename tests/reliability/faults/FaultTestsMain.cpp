// The program's entry: a private machine hive for the whole run, in which the product's log
// folder (where dumps go) and the second component's configuration folder are scratch folders.
// ConfigDB reads the log folder once, at its start-up, so that is put in place before anything
// asks ConfigDB. "--fault-row-child" runs one matrix row for a parent that started this program.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "FaultTestsEnv.h"
#include "TestSupport.h"
#include "configdb/ConfigDB.h"
#include "tracing/Trace.h"

namespace {

constexpr wchar_t kSandboxRoot[] = L"Software\\VeMoFaultTests";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr wchar_t kLogDirOverrideValue[] = L"ConfigDBLogDirB0003810";
constexpr wchar_t kOwnComponent[] = L"B0003810";
constexpr wchar_t kSecondComponentVersionKey[] = L"SOFTWARE\\TRUVOeg\\Components\\B0003811\\Versions\\1.0";
constexpr wchar_t kConfigDirSubKey[] = L"\\ConfigDir";
constexpr wchar_t kCompVersionValue[] = L"CompVersion";
constexpr wchar_t kCompVersion[] = L"1.0";
constexpr wchar_t kLogVariable[] = L"VEMO_TEST_PLUGIN_LOG";
constexpr wchar_t kEvidenceFileName[] = L"evidence.log";
constexpr char kChildFlag[] = "--fault-row-child";
constexpr uint32_t kPathChars = MAX_PATH + 1;

bool Prepare(const std::wstring& logDir, const std::wstring& configDir) {
    using vemo::test::SetRegistryString;
    if (!SetRegistryString(kProductKey, kLogDirOverrideValue, logDir) ||
        !SetRegistryString(kSecondComponentVersionKey, kCompVersionValue, kCompVersion) ||
        !SetRegistryString(std::wstring(kSecondComponentVersionKey) + kConfigDirSubKey, L"", configDir)) {
        return false;
    }
    wchar_t answer[kPathChars] = {};
    if (CDB_GetLogDir(kOwnComponent, answer, kPathChars, true) != CDB_OK) return false;
    // Binds the trace module while the private hive names no installation: the one next to us.
    TraceShouldTrace(vemo::tracing::kLevelInfo);
    return _wcsicmp(answer, logDir.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kChildFlag) == 0) faulttest::SetInChildProcess();
    }
    const vemo::test::HklmSandbox sandbox(kSandboxRoot);
    const vemo::test::ScratchDirectory logDir(L"faults_log");
    const vemo::test::ScratchDirectory configDir(L"faults_config");
    const vemo::test::ScratchDirectory evidenceDir(L"faults_evidence");
    if (!sandbox.active() || !Prepare(logDir.path(), configDir.path())) {
        std::fprintf(stderr, "The private machine hive or ConfigDB's log folder could not be set up.\n");
        return 1;
    }
    const std::wstring evidence = evidenceDir.path() + kEvidenceFileName;
    ::SetEnvironmentVariableW(kLogVariable, evidence.c_str());
    faulttest::SetFolders(logDir.path(), configDir.path(), evidence);
    return RUN_ALL_TESTS();
}
