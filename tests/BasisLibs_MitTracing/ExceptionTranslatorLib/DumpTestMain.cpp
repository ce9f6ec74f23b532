// The test program's entry: ConfigDB reads its log-directory override once, at its start-up,
// so the override is put in place before anything asks ConfigDB. It is written into a private
// copy of the machine hive that only this process sees, and only for the start-up.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "DumpTestEnv.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"
#include "tracing/Trace.h"

namespace {

constexpr wchar_t kSandboxRoot[] = L"Software\\VeMoDumpTests";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr wchar_t kLogDirOverrideValue[] = L"ConfigDBLogDirB0003810";
constexpr wchar_t kOwnComponent[] = L"B0003810";
constexpr wchar_t kScratchPrefix[] = L"dump_tests";
constexpr uint32_t kPathChars = MAX_PATH + 1;

// HKEY_LOCAL_MACHINE of this process is a scratch key below HKEY_CURRENT_USER while it lives.
class MachineHiveSandbox {
public:
    MachineHiveSandbox() {
        m_path = std::wstring(kSandboxRoot) + L"\\" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                 std::to_wstring(::GetTickCount64());
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, m_key.put(),
                              nullptr) != ERROR_SUCCESS) {
            return;
        }
        m_active = ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key.get()) == ERROR_SUCCESS;
    }
    ~MachineHiveSandbox() {
        if (m_active) ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        m_key.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, kSandboxRoot);  // only succeeds when no other run is left below it
    }
    MachineHiveSandbox(const MachineHiveSandbox&) = delete;
    MachineHiveSandbox& operator=(const MachineHiveSandbox&) = delete;
    bool active() const { return m_active; }

private:
    std::wstring m_path;
    vemo::unique_hkey m_key;
    bool m_active = false;
};

// ConfigDB's start-up with the override, and the trace binding, which asks ConfigDB where the
// trace module lies: the private hive names no installation, so it is the one next to us.
bool StartConfigDbWithLogDir(const std::wstring& logDir) {
    MachineHiveSandbox sandbox;
    if (!sandbox.active()) return false;
    if (!vemo::test::SetRegistryString(kProductKey, kLogDirOverrideValue, logDir)) return false;
    wchar_t answer[kPathChars] = {};
    if (CDB_GetLogDir(kOwnComponent, answer, kPathChars, true) != CDB_OK) return false;
    TraceShouldTrace(vemo::tracing::kLevelInfo);
    return _wcsicmp(answer, logDir.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    vemo::test::ScratchDirectory logDir(kScratchPrefix);
    if (!StartConfigDbWithLogDir(logDir.path())) {
        std::fprintf(stderr, "ConfigDB could not be pointed at the scratch log directory.\n");
        return 1;
    }
    dumptest::SetLogDir(logDir.path());
    return RUN_ALL_TESTS();
}
