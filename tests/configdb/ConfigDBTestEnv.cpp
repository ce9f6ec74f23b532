#include "ConfigDBTestEnv.h"

#include <io.h>

#include <atomic>
#include <mutex>

#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"

namespace cdbtest {
namespace {

constexpr wchar_t kSandboxRoot[] = L"Software\\VeMoConfigDBTests";
constexpr wchar_t kRealSoftware[] = L"SOFTWARE";
constexpr REGSAM kTestKeyAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY;

std::wstring g_sandboxKeyPath;
vemo::unique_hkey g_sandboxKey;
vemo::unique_hkey g_realSoftware;

std::mutex g_traceLock;
std::vector<TraceLine> g_traceLines;

void RecordLine(bool isError, const wchar_t* text) {
    std::lock_guard lock(g_traceLock);
    g_traceLines.push_back({isError, text ? text : L""});
}

std::atomic<int> g_idCounter{0};
std::atomic<int> g_childCounter{0};

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring ThisProgram() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring NewChildOutFile() {
    return Widen(TempDirectory()) + L"cdb_child_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
           std::to_wstring(++g_childCounter) + L".txt";
}

std::wstring ChildCommandLine(const std::vector<std::wstring>& operations, bool useSandbox,
                              const std::wstring& outFile) {
    std::wstring args = std::wstring(kChildSwitch) + L" \"" + (useSandbox ? sandbox::KeyPath() : kNoSandbox) +
                        L"\" \"" + outFile + L"\"";
    for (const auto& op : operations) args += L" \"" + op + L"\"";
    return args;
}

ChildOutput ParseChildOutput(const std::wstring& outFile) {
    ChildOutput output;
    const std::string bytes = vemo::test::ReadFileBytes(outFile);
    ::DeleteFileW(outFile.c_str());
    for (const std::string& utf8 : vemo::test::SplitLines(bytes)) {
        const std::wstring line = FromUtf8(utf8);
        if (line.starts_with(L"pid=")) {
            output.pid = std::stoul(line.substr(4));
        } else if (line.starts_with(L"tid=")) {
            output.tid = std::stoul(line.substr(4));
        } else if (line.starts_with(L"result ")) {
            const size_t eq = line.find(L'=');
            output.results.emplace_back(Narrow(line.substr(7, eq - 7)), line.substr(eq + 1));
        } else if (line.starts_with(L"trace ") && line.size() >= 8) {
            output.trace.push_back({line[6] == L'E', line.substr(8)});
        }
    }
    return output;
}

}  // namespace

// --- sandbox ------------------------------------------------------------------------------------

namespace sandbox {

bool Install() {
    // Kept for the one test that checks the registry view on the real hive.
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRealSoftware, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                        g_realSoftware.put()) != ERROR_SUCCESS) {
        return false;
    }
    g_sandboxKeyPath = std::wstring(kSandboxRoot) + L"\\" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                       std::to_wstring(::GetTickCount64());
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, g_sandboxKeyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          g_sandboxKey.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, g_sandboxKey.get()) == ERROR_SUCCESS;
}

bool InstallExisting(const std::wstring& keyPath) {
    g_sandboxKeyPath = keyPath;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_ALL_ACCESS, g_sandboxKey.put()) != ERROR_SUCCESS) {
        return false;
    }
    return ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, g_sandboxKey.get()) == ERROR_SUCCESS;
}

void Remove() {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    g_sandboxKey.reset();
    g_realSoftware.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, g_sandboxKeyPath.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kSandboxRoot);  // only succeeds when no other run is left below it
}

const std::wstring& KeyPath() { return g_sandboxKeyPath; }
HKEY RealSoftwareKey() { return g_realSoftware.get(); }

}  // namespace sandbox

void CreateKey(const std::string& keyPath) {
    vemo::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, kTestKeyAccess,
                                               nullptr, key.put(), nullptr))
        << keyPath;
}

void SetString(const std::string& keyPath, const std::string& name, const std::string& value) {
    vemo::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, kTestKeyAccess,
                                               nullptr, key.put(), nullptr))
        << keyPath;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExA(key.get(), name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(value.c_str()),
                                              static_cast<DWORD>(value.size() + 1)));
}

void SetDword(const std::string& keyPath, const std::string& name, DWORD value) {
    vemo::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, kTestKeyAccess,
                                               nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExA(key.get(), name.c_str(), 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

std::string ComponentVersionKey(const std::string& id, const std::string& version) {
    return std::string(kComponentsKey) + "\\" + id + "\\Versions\\" + version;
}

std::string PackageVersionKey(const std::string& id, const std::string& version) {
    return std::string(kPackagesKey) + "\\" + id + "\\Versions\\" + version;
}

void ConfigDbTest::TearDown() {
    // Inside the sandbox these are ours alone; the machine's keys are never touched.
    vemo::test::DeleteRegistryTree(Widen(kCompanyKey));
    vemo::test::DeleteRegistryTree(Widen(kProductKey));
}

// --- trace capture ------------------------------------------------------------------------------

TraceCapture::TraceCapture() {
    Clear();
    CDB_SetTraceCallback(&RecordLine);
}

TraceCapture::~TraceCapture() { CDB_SetTraceCallback(nullptr); }

std::vector<TraceLine> TraceCapture::Lines() const {
    std::lock_guard lock(g_traceLock);
    return g_traceLines;
}

void TraceCapture::Clear() {
    std::lock_guard lock(g_traceLock);
    g_traceLines.clear();
}

bool TraceCapture::Has(const std::wstring& text) const {
    for (const auto& line : Lines()) {
        if (line.text == text) return true;
    }
    return false;
}

bool TraceCapture::HasInfo(const std::wstring& text) const {
    for (const auto& line : Lines()) {
        if (!line.isError && line.text == text) return true;
    }
    return false;
}

bool TraceCapture::HasError(const std::wstring& text) const {
    for (const auto& line : Lines()) {
        if (line.isError && line.text == text) return true;
    }
    return false;
}

bool TraceCapture::HasContaining(const std::wstring& part) const {
    for (const auto& line : Lines()) {
        if (line.text.find(part) != std::wstring::npos) return true;
    }
    return false;
}

std::wstring TraceCapture::Dump() const {
    std::wstring text;
    for (const auto& line : Lines()) text += (line.isError ? L"  E " : L"  I ") + line.text + L"\n";
    return text;
}

// --- names, paths, directories ------------------------------------------------------------------

std::string UniqueComponentId() {
    char id[16] = {};
    _snprintf(id, sizeof(id) - 1, "B9%03lu%03d", ::GetCurrentProcessId() % 1000, ++g_idCounter % 1000);
    return id;
}

std::wstring Widen(const std::string& text) { return vemo::test::Widen(text); }

std::string Narrow(const std::wstring& text) { return vemo::test::Narrow(text); }

bool Exists(const std::string& path) { return !path.empty() && _access(path.c_str(), 0) == 0; }

std::string WithBackslash(std::string path) {
    if (!path.empty() && path.back() != '\\') path += '\\';
    return path;
}

std::string KnownFolder(REFKNOWNFOLDERID folder) {
    PWSTR path = nullptr;
    ::SHGetKnownFolderPath(folder, 0, nullptr, &path);
    vemo::unique_cotaskmem owner(path);
    return path ? WithBackslash(Narrow(path)) : std::string();
}

std::string ExeDirectory() { return Narrow(vemo::test::ExecutableDirectory()); }

std::string TempDirectory() {
    char path[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, path);
    return path;
}

void RemoveTree(const std::wstring& directory) {
    std::wstring dir = directory;
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((dir + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        vemo::unique_any<HANDLE, ::FindClose, -1> findHandle(find);
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(dir + name);
            } else {
                ::DeleteFileW((dir + name).c_str());
            }
        } while (::FindNextFileW(find, &data));
    }
    ::RemoveDirectoryW(dir.c_str());
}

CreatedTree::CreatedTree(const std::string& directory, int parentLevels, bool recursive) : m_recursive(recursive) {
    std::wstring path = Widen(directory);
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    for (int level = 0; level <= parentLevels && !path.empty(); ++level) {
        m_levels.emplace_back(path, ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES);
        const size_t slash = path.rfind(L'\\');
        if (slash == std::wstring::npos) break;
        path.resize(slash);
    }
}

CreatedTree::~CreatedTree() {
    for (size_t i = 0; i < m_levels.size(); ++i) {
        const auto& [path, existed] = m_levels[i];
        if (existed) break;
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ::DeleteFileW(path.c_str());
        } else if (i == 0 && m_recursive) {
            RemoveTree(path);
        } else {
            ::RemoveDirectoryW(path.c_str());  // fails, as wanted, when something else is inside
        }
    }
}

Scratch::Scratch() {
    m_path = TempDirectory() + "cdbtest_" + std::to_string(::GetCurrentProcessId()) + "_" +
             std::to_string(++g_idCounter) + "_" + std::to_string(::GetTickCount64()) + "\\";
    ::CreateDirectoryA(m_path.c_str(), nullptr);
}

Scratch::~Scratch() { RemoveTree(Widen(m_path)); }

std::string Scratch::Sub(const std::string& relative) const {
    std::string path = m_path + relative;
    ::SHCreateDirectoryExA(nullptr, path.c_str(), nullptr);
    return path;
}

void WriteFileText(const std::string& path, const std::string& bytes) {
    vemo::unique_hfile file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << path;
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::string ReadFileText(const std::string& path) { return vemo::test::ReadFileBytes(Widen(path)); }

// --- child processes ----------------------------------------------------------------------------

bool ChildOutput::HasTrace(bool isError, const std::wstring& text) const {
    for (const auto& line : trace) {
        if (line.isError == isError && line.text == text) return true;
    }
    return false;
}

std::wstring ChildOutput::Result(const std::string& name, size_t nth) const {
    for (const auto& [resultName, value] : results) {
        if (resultName == name && nth-- == 0) return value;
    }
    return L"<none>";
}

std::wstring ChildOutput::Dump() const {
    std::wstring text = L"finished=" + std::to_wstring(finished) + L" exit=" + std::to_wstring(exitCode) + L"\n";
    for (const auto& [name, value] : results) text += L"  result " + Widen(name) + L"=" + value + L"\n";
    for (const auto& line : trace) text += (line.isError ? L"  E " : L"  I ") + line.text + L"\n";
    return text;
}

ChildOutput RunChild(const std::vector<std::wstring>& operations, bool useSandbox) {
    const std::wstring outFile = NewChildOutFile();
    const auto run =
        vemo::test::RunProcess(ThisProgram(), ChildCommandLine(operations, useSandbox, outFile), kChildTimeoutMs);
    ChildOutput output = ParseChildOutput(outFile);
    output.finished = run.finished;
    output.exitCode = run.exitCode;
    return output;
}

AsyncChild::AsyncChild(const std::vector<std::wstring>& operations) : m_outFile(NewChildOutFile()) {
    const std::wstring program = ThisProgram();
    std::wstring commandLine = L"\"" + program + L"\" " + ChildCommandLine(operations, true, m_outFile);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &info)) {
        vemo::unique_handle thread(info.hThread);
        m_process = info.hProcess;
    }
}

AsyncChild::~AsyncChild() {
    if (!m_process) return;
    vemo::unique_handle process(m_process);
    if (::WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), kChildTimeoutMs);
    }
}

ChildOutput AsyncChild::Wait() {
    ChildOutput output;
    if (!m_process) return output;
    vemo::unique_handle process(std::exchange(m_process, nullptr));
    if (::WaitForSingleObject(process.get(), kChildTimeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), kChildTimeoutMs);
        return output;
    }
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.get(), &exitCode);
    output = ParseChildOutput(m_outFile);
    output.finished = true;
    output.exitCode = exitCode;
    return output;
}

}  // namespace cdbtest
