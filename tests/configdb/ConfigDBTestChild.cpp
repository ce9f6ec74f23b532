// Child side: runs a list of operations in a fresh process and reports its results and
// ConfigDB's trace lines in a UTF-8 file the parent reads.
//   --child <sandbox key or -> <out file> <operation> [arguments] ...
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "ConfigDBTestEnv.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDBInternal.h"

namespace cdbtest {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitBadArguments = 2;
constexpr int kExitSandboxFailed = 3;
constexpr int kExitEventFailed = 4;
constexpr int kFirstOperation = 4;

std::mutex g_lock;
std::vector<TraceLine> g_lines;

void Record(bool isError, const wchar_t* text) {
    std::lock_guard lock(g_lock);
    g_lines.push_back({isError, text ? text : L""});
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

void WriteReport(const std::wstring& outFile, const std::vector<std::pair<std::wstring, std::wstring>>& results) {
    std::wstring report = L"pid=" + std::to_wstring(::GetCurrentProcessId()) + L"\ntid=" +
                          std::to_wstring(::GetCurrentThreadId()) + L"\n";
    for (const auto& [name, value] : results) report += L"result " + name + L"=" + value + L"\n";
    {
        std::lock_guard lock(g_lock);
        for (const auto& line : g_lines) report += std::wstring(L"trace ") + (line.isError ? L"E " : L"I ") + line.text + L"\n";
    }
    const std::string bytes = Utf8(report);
    vemo::unique_hfile file(::CreateFileW(outFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool SetEventByName(const std::wstring& name) {
    vemo::unique_handle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    return event && ::SetEvent(event.get());
}

bool WaitEventByName(const std::wstring& name) {
    vemo::unique_handle event(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
    return event && ::WaitForSingleObject(event.get(), kChildTimeoutMs) == WAIT_OBJECT_0;
}

bool SetSandboxString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value) {
    vemo::unique_hkey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                          key.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return ::RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace

int RunChildMode(int argc, wchar_t** argv) {
    if (argc < kFirstOperation) return kExitBadArguments;
    const std::wstring sandboxKey = argv[2];
    const std::wstring outFile = argv[3];
    // Both before ConfigDB's first call: its start-up reads the hive and traces to the callback.
    if (sandboxKey != kNoSandbox && !sandbox::InstallExisting(sandboxKey)) return kExitSandboxFailed;
    CDB_SetTraceCallback(&Record);

    std::vector<std::pair<std::wstring, std::wstring>> results;
    int exitCode = kExitOk;
    auto need = [&](int i, int count) { return i + count < argc; };
    for (int i = kFirstOperation; i < argc && exitCode == kExitOk; ++i) {
        const std::wstring op = argv[i];
        if (op == kOpInit) {
            configdb::Init();
        } else if ((op == kOpProgDir || op == kOpLogDir) && need(i, 2)) {
            const std::string id = Narrow(argv[i + 1]);
            const bool flag = std::wcscmp(argv[i + 2], L"1") == 0;
            const std::string dir = op == kOpProgDir ? CDB_GetProgDir(id, flag) : CDB_GetLogDir(id, flag);
            results.emplace_back(op, Widen(dir));
            i += 2;
        } else if (op == kOpInstalled && need(i, 1)) {
            results.emplace_back(op, CDB_IsComponentInstalled(Narrow(argv[i + 1]).c_str()) ? L"1" : L"0");
            i += 1;
        } else if (op == kOpIntern && need(i, 3)) {
            const std::string file = Narrow(argv[i + 1]);
            const int count = std::stoi(argv[i + 2]);
            const std::string tag = Narrow(argv[i + 3]);
            for (int n = 0; n < count; ++n) configdb::_InternTrace(file.c_str(), "%s %d", tag.c_str(), n);
            i += 3;
        } else if (op == kOpSignal && need(i, 1)) {
            if (!SetEventByName(argv[i + 1])) exitCode = kExitEventFailed;
            i += 1;
        } else if (op == kOpWait && need(i, 1)) {
            if (!WaitEventByName(argv[i + 1])) exitCode = kExitEventFailed;
            i += 1;
        } else if (op == kOpMkdir && need(i, 1)) {
            ::CreateDirectoryW(argv[i + 1], nullptr);
            i += 1;
        } else if (op == kOpSetString && need(i, 3)) {
            if (!SetSandboxString(argv[i + 1], argv[i + 2], argv[i + 3])) exitCode = kExitBadArguments;
            i += 3;
        } else if (op == kOpRegWrite && need(i, 3)) {
            const bool view32 = std::wcscmp(argv[i + 2], L"32") == 0;
            const uint32_t code = CDB_SetRegistryKeyString(HKEY_LOCAL_MACHINE, view32, argv[i + 1], L"Wert", argv[i + 3]);
            results.emplace_back(op, std::to_wstring(code));
            i += 3;
        } else if (op == kOpTracer && need(i, 1)) {
            configdb::_TracerWrite(false, "%s", Narrow(argv[i + 1]).c_str());
            i += 1;
        } else {
            exitCode = kExitBadArguments;
        }
    }
    WriteReport(outFile, results);
    return exitCode;
}

}  // namespace cdbtest
