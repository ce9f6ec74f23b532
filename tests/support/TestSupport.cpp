#include "TestSupport.h"

#include <cstring>

#include <psapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <atomic>
#include <sstream>
#include <tuple>

namespace vemo::test {

namespace {
constexpr DWORD kChildTimeoutMs = 180000;
std::atomic<int> g_scratchCounter{0};

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

ProcessResult RunAndWait(const std::wstring& program, const std::wstring& arguments, STARTUPINFOW& startup,
                         BOOL inheritHandles, DWORD timeoutMs) {
    ProcessResult result;
    std::wstring commandLine = Quoted(program);
    if (!arguments.empty()) commandLine += L" " + arguments;
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inheritHandles, 0, nullptr, nullptr,
                          &startup, &info)) {
        result.startError = ::GetLastError();
        return result;
    }
    unique_handle process(info.hProcess);
    unique_handle thread(info.hThread);
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), timeoutMs);
        return result;
    }
    result.finished = ::GetExitCodeProcess(process.get(), &result.exitCode) != FALSE;
    return result;
}

std::wstring ThisProgram() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n < MAX_PATH ? n : 0);
}

std::wstring TempDirectory() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    return temp;
}
}  // namespace

// Set by the entry point (TestMain.cpp).
namespace detail {
bool g_inChild = false;
std::wstring g_childArgument;
std::wstring g_sandboxKey;
const wchar_t* g_sandboxRoot = nullptr;
}  // namespace detail

bool InChild() { return detail::g_inChild; }
const std::wstring& ChildArgument() { return detail::g_childArgument; }
bool UseHklmSandbox(const wchar_t* root) {
    detail::g_sandboxRoot = root;
    return true;
}
bool InHklmSandbox() { return !detail::g_sandboxKey.empty(); }
bool ResetHklmSandbox() {
    if (InChild()) return true;  // a child may share its parent's hive: the parent set it up
    unique_hkey key;
    return InHklmSandbox() &&
           ::RegOpenKeyExW(HKEY_CURRENT_USER, detail::g_sandboxKey.c_str(), 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS &&
           ::RegDeleteTreeW(key.get(), nullptr) == ERROR_SUCCESS;
}

ProcessResult RunProcess(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
    STARTUPINFOW startup{};
    return RunAndWait(program, arguments, startup, FALSE, timeoutMs);
}

CapturedProcess RunProcessCaptured(const std::wstring& program, const std::wstring& arguments,
                                   const std::wstring& outputFile, DWORD timeoutMs) {
    CapturedProcess captured;
    {
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        unique_hfile output(::CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!output) {
            captured.result.startError = ::GetLastError();
            return captured;
        }
        STARTUPINFOW startup{};
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        captured.result = RunAndWait(program, arguments, startup, TRUE, timeoutMs);
    }
    captured.output = ReadFileBytes(outputFile);
    ::DeleteFileW(outputFile.c_str());
    return captured;
}

std::shared_future<CapturedProcess> StartChild(const std::string& testName, const std::wstring& argument, Hive hive) {
    std::wstring arguments = L"--gtest_filter=" + Widen(testName) + L" --vemo-child";
    if (hive == Hive::kParents && InHklmSandbox()) arguments += L" " + Quoted(L"--vemo-sandbox=" + detail::g_sandboxKey);
    if (hive == Hive::kReal) arguments += L" --vemo-sandbox=-";
    // A trailing backslash would escape the closing quote.
    if (!argument.empty()) arguments += L" " + Quoted(L"--vemo-arg=" + argument + L"|");
    const std::wstring output = TempDirectory() + L"vemo_child_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                                std::to_wstring(++g_scratchCounter) + L".txt";
    return std::async(std::launch::async, [=] {
               return RunProcessCaptured(ThisProgram(), arguments, output, kChildTimeoutMs);
           }).share();
}

::testing::AssertionResult RunCurrentTestInChildren(size_t count, const std::wstring& argument, Hive hive) {
    const ::testing::TestInfo& info = *::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(info.test_suite_name()) + "." + info.name();
    std::vector<std::shared_future<CapturedProcess>> children;
    for (size_t i = 0; i < count; ++i) children.push_back(StartChild(name, argument, hive));
    for (size_t i = 0; i < count; ++i) {
        const CapturedProcess& child = children[i].get();
        if (!Passed(child)) {
            return ::testing::AssertionFailure() << "child " << i << " of " << name << ": finished "
                                                 << child.result.finished << ", exit code " << child.result.exitCode
                                                 << ", start error " << child.result.startError
                                                 << "\n" << child.output;
        }
    }
    return ::testing::AssertionSuccess();
}

// --- registry -------------------------------------------------------------------------------

HklmSandbox::HklmSandbox(const wchar_t* root)
    : m_root(root), m_path(std::wstring(root) + L"\\" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                           std::to_wstring(::GetTickCount64())) {
    m_active = ::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, m_key.put(),
                                 nullptr) == ERROR_SUCCESS &&
               ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key.get()) == ERROR_SUCCESS;
}

HklmSandbox::HklmSandbox(const std::wstring& existingKey, bool) : m_path(existingKey) {
    m_active = ::RegOpenKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_ALL_ACCESS, m_key.put()) == ERROR_SUCCESS &&
               ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key.get()) == ERROR_SUCCESS;
}

HklmSandbox::~HklmSandbox() {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    m_key.reset();
    if (m_root.empty()) return;
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, m_root.c_str());  // only succeeds when no other run is left below it
}

namespace {
unique_hkey CreateKey(const std::wstring& keyPath) {
    unique_hkey key;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                      key.put(), nullptr);
    return key;
}
}  // namespace

bool SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data,
                      DWORD bytes) {
    unique_hkey key = CreateKey(keyPath);
    return key && ::RegSetValueExW(key.get(), name.empty() ? nullptr : name.c_str(), 0, type,
                                   static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}
bool SetRegistryDword(const std::wstring& keyPath, const std::wstring& name, DWORD value) {
    return SetRegistryValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}
bool SetRegistryString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value) {
    return SetRegistryValue(keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::optional<std::wstring> ReadRegistryString(const std::wstring& keyPath, const std::wstring& name) {
    unique_hkey key;
    wchar_t data[MAX_PATH + 1] = {};
    DWORD bytes = MAX_PATH * sizeof(wchar_t);
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key.put()) !=
            ERROR_SUCCESS ||
        ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &bytes) !=
            ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

bool DeleteRegistryValue(const std::wstring& keyPath, const std::wstring& name) {
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS) {
        return true;
    }
    const LSTATUS status = ::RegDeleteValueW(key.get(), name.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool DeleteRegistryTree(const std::wstring& keyPath) {
    // RegDeleteTreeW knows no view flag: open the key in the 32-bit view and delete below it.
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS) {
        return true;
    }
    ::RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    return ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_WOW64_32KEY, 0) == ERROR_SUCCESS;
}

std::wstring ComponentVersionKey(const std::wstring& id, const std::wstring& version) {
    return std::wstring(kComponentsKey) + id + L"\\Versions\\" + version;
}

bool RegisterProduct(const std::wstring& programDirectory) {
    return SetRegistryString(kProductKey, L"CompVersion", L"1.0") &&
           SetRegistryString(kProductKey, L"ProgKey", programDirectory) &&
           SetRegistryString(kProtectedDirectoriesKey, L"SystemDir", ExecutableDirectory());
}

bool RegisterComponent(const std::wstring& id, const std::wstring& configDirectory) {
    const std::wstring key = ComponentVersionKey(id);
    return SetRegistryString(key, L"CompVersion", L"1.0") &&
           (configDirectory.empty() || SetRegistryString(key + L"\\ConfigDir", L"", configDirectory));
}

// --- plug-in configuration ------------------------------------------------------------------

std::wstring PluginDirectory() {
    // Programs in a folder of their own lie one level below the plug-ins.
    for (const wchar_t* up : {L"", L"..\\"}) {
        wchar_t full[MAX_PATH] = {};
        const std::wstring candidate = ExecutableDirectory() + up;
        const DWORD n = ::GetFullPathNameW(candidate.c_str(), MAX_PATH, full, nullptr);
        if (n > 0 && n < MAX_PATH && Exists(std::wstring(full) + kTestPluginDll)) return full;
    }
    return ExecutableDirectory();
}

std::string PluginElement(const PluginSpec& spec) {
    std::string xml = "<plugin description=\"" + Narrow(spec.name) + "\" type=\"" + (spec.listener ? "listener" : "dll") +
                      "\"><binaryName>" + Narrow(spec.binary) + "</binaryName><path>" +
                      (spec.path == kNoPath ? std::string() : Narrow(spec.path.empty() ? PluginDirectory() : spec.path)) + "</path><system>" +
                      (spec.system ? "true" : "false") + "</system><pure>" + (spec.pure ? "true" : "false") + "</pure>";
    if (spec.timeoutUnload) xml += "<timeoutUnload>" + std::to_string(*spec.timeoutUnload) + "</timeoutUnload>";
    std::string implements;
    for (const auto& [attribute, name, fallback] : {std::tuple{"initialize", &spec.initialize, L"Initialize"},
                                                    std::tuple{"run", &spec.run, L"Run"},
                                                    std::tuple{"uninitialize", &spec.uninitialize, L"Uninitialize"}}) {
        if (*name != fallback) implements += std::string(" ") + attribute + "=\"" + Narrow(*name) + "\"";
    }
    if (!implements.empty()) xml += "<implements" + implements + "/>";
    return xml + spec.extra + "</plugin>";
}

std::string PluginDocument(const std::vector<PluginSpec>& specs) {
    std::string xml = "<?xml version=\"1.0\"?><root>";
    for (const PluginSpec& spec : specs) xml += PluginElement(spec);
    return xml + "</root>";
}

bool WritePluginConfiguration(const std::wstring& file, const std::vector<PluginSpec>& specs) {
    return WriteFileBytes(file, PluginDocument(specs));
}

Evidence::Evidence(std::wstring file) : m_file(std::move(file)) {
    ::SetEnvironmentVariableW(L"VEMO_TEST_PLUGIN_LOG", m_file.c_str());
}
Evidence::~Evidence() { ::SetEnvironmentVariableW(L"VEMO_TEST_PLUGIN_LOG", nullptr); }

std::vector<std::string> Evidence::CallsOf(DWORD threadId) const {
    std::vector<std::string> calls;
    for (const std::string& line : SplitLines(ReadFileBytes(m_file))) {
        std::istringstream fields(line);
        std::string exportName;
        unsigned long pid = 0;
        unsigned long tid = 0;
        if (fields >> exportName >> pid >> tid && (threadId == 0 || tid == threadId)) calls.push_back(exportName);
    }
    return calls;
}

size_t Evidence::Calls(const std::string& exportName) const {
    size_t n = 0;
    for (const std::string& call : CallsOf(0)) n += call == exportName ? 1 : 0;
    return n;
}

bool Evidence::WaitForCall(const std::string& exportName, DWORD threadId, DWORD timeoutMs) const {
    return WaitFor(
        [&] {
            for (const std::string& call : CallsOf(threadId)) {
                if (call == exportName) return true;
            }
            return false;
        },
        timeoutMs);
}

void Evidence::Clear() const { ::DeleteFileW(m_file.c_str()); }

// --- files ----------------------------------------------------------------------------------

std::wstring ExecutableDirectory() {
    std::wstring dir = ThisProgram();
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir;
}

std::string ReadFileBytes(const std::wstring& path) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::set<std::wstring> FileNamesIn(const std::wstring& directory) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data{};
    unique_hfind find(::FindFirstFileW((directory + L"*").c_str(), &data));
    if (!find) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.insert(data.cFileName);
    } while (::FindNextFileW(find.get(), &data));
    return names;
}

bool Exists(const std::wstring& path) {
    return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveDirectoryTree(const std::wstring& directory) {
    std::wstring dir = directory;
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    WIN32_FIND_DATAW data{};
    {
        unique_hfind find(::FindFirstFileW((dir + L"*").c_str(), &data));
        if (find) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveDirectoryTree(dir + name);
                } else {
                    ::DeleteFileW((dir + name).c_str());
                }
            } while (::FindNextFileW(find.get(), &data));
        }
    }
    ::RemoveDirectoryW(dir.c_str());
}

CreatedTree::CreatedTree(const std::wstring& path, int parentLevels, bool recursive) : m_recursive(recursive) {
    std::wstring level = path;
    while (!level.empty() && level.back() == L'\\') level.pop_back();
    for (int i = 0; i <= parentLevels && !level.empty(); ++i) {
        m_levels.emplace_back(level, Exists(level));
        const size_t slash = level.rfind(L'\\');
        level.resize(slash == std::wstring::npos ? 0 : slash);
    }
}
CreatedTree::~CreatedTree() {
    for (size_t i = 0; i < m_levels.size() && !m_levels[i].second; ++i) {
        const std::wstring& path = m_levels[i].first;
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ::DeleteFileW(path.c_str());
        } else if (i == 0 && m_recursive) {
            RemoveDirectoryTree(path);
        } else {
            ::RemoveDirectoryW(path.c_str());  // fails, as wanted, while something else is inside
        }
    }
}

ScratchDirectory::ScratchDirectory(const std::wstring& prefix) {
    m_path = TempDirectory() + prefix + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
             std::to_wstring(++g_scratchCounter) + L"_" + std::to_wstring(::GetTickCount64()) + L"\\";
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}
ScratchDirectory::~ScratchDirectory() { RemoveDirectoryTree(m_path); }

std::wstring ScratchDirectory::Sub(const std::wstring& relative) const {
    const std::wstring path = m_path + relative;
    ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return path;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// --- processes and resources ----------------------------------------------------------------

std::vector<DWORD> ProcessIdsNamed(const wchar_t* exeName) {
    std::vector<DWORD> ids;
    unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0) ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

void EndProcessesNamed(const wchar_t* exeName, DWORD waitMs) {
    for (DWORD id : ProcessIdsNamed(exeName)) {
        unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (process && ::TerminateProcess(process.get(), 0)) ::WaitForSingleObject(process.get(), waitMs);
    }
}

namespace {
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr size_t kHandleTableStartBytes = 1 << 20;
struct SystemHandleEntry {
    ULONG processId;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    void* object;
    ACCESS_MASK access;
};
struct SystemHandleTable {
    ULONG count;
    SystemHandleEntry entries[1];
};
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
constexpr ULONG kObjectTypeInformation = 2;
constexpr size_t kTypeInformationBytes = 1024;
struct TypeName {  // the first member of the type information: its name
    USHORT length;
    USHORT maximumLength;
    const wchar_t* buffer;
};
using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
}  // namespace

std::set<USHORT> OpenHandles() {
    const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return {};
    std::vector<BYTE> buffer(kHandleTableStartBytes);
    LONG status = 0;
    ULONG needed = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           kStatusInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return {};
    const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
    std::set<USHORT> handles;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].processId == ::GetCurrentProcessId()) handles.insert(table->entries[i].handle);
    }
    return handles;
}

std::string DescribeHandles(const std::set<USHORT>& handles) {
    const auto query = reinterpret_cast<NtQueryObjectFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    std::string text;
    for (USHORT value : handles) {
        alignas(8) BYTE buffer[kTypeInformationBytes] = {};
        ULONG needed = 0;
        const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
        std::wstring type = L"?";
        if (query && query(handle, kObjectTypeInformation, buffer, sizeof(buffer), &needed) == 0) {
            const auto* name = reinterpret_cast<const TypeName*>(buffer);
            if (name->buffer) type.assign(name->buffer, name->length / sizeof(wchar_t));
        }
        text += (text.empty() ? "" : ", ") + std::to_string(value) + " " + Narrow(type);
    }
    return text;
}

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof(counters))) {
        return 0;
    }
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

bool RunningUnderWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

bool LongForm() {
    wchar_t value[8] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"VEMO_RELIABILITY_LONG", value, 8);
    return n > 0 && n < 8 && value[0] != L'0';
}

namespace {
constexpr bool kToolIs32Bit = sizeof(void*) == 4;
constexpr DWORD kHeadersBytes = 0x200;
constexpr DWORD kSectionAlignment = 0x1000;
constexpr BYTE kReturnInstruction = 0xC3;

// Headers and one code section holding a return: Wine takes a foreign image without code as
// data, one with code it refuses as Windows does.
template <typename NtHeaders>
std::string ImageWith(WORD machine, WORD magic, WORD characteristics) {
    std::string image(2 * kHeadersBytes, '\0');
    IMAGE_DOS_HEADER dos{};
    dos.e_magic = IMAGE_DOS_SIGNATURE;
    dos.e_lfanew = sizeof(IMAGE_DOS_HEADER);
    NtHeaders nt{};
    nt.Signature = IMAGE_NT_SIGNATURE;
    nt.FileHeader.Machine = machine;
    nt.FileHeader.NumberOfSections = 1;
    nt.FileHeader.SizeOfOptionalHeader = sizeof(nt.OptionalHeader);
    nt.FileHeader.Characteristics = characteristics;
    nt.OptionalHeader.Magic = magic;
    nt.OptionalHeader.SizeOfCode = kHeadersBytes;
    nt.OptionalHeader.AddressOfEntryPoint = kSectionAlignment;
    nt.OptionalHeader.BaseOfCode = kSectionAlignment;
    nt.OptionalHeader.ImageBase = 0x10000000;
    nt.OptionalHeader.SectionAlignment = kSectionAlignment;
    nt.OptionalHeader.FileAlignment = kHeadersBytes;
    nt.OptionalHeader.MajorOperatingSystemVersion = 4;
    nt.OptionalHeader.MajorSubsystemVersion = 4;
    nt.OptionalHeader.SizeOfImage = 2 * kSectionAlignment;
    nt.OptionalHeader.SizeOfHeaders = kHeadersBytes;
    nt.OptionalHeader.Subsystem = IMAGE_SUBSYSTEM_WINDOWS_GUI;
    nt.OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    IMAGE_SECTION_HEADER text{};
    memcpy(text.Name, ".text", 5);
    text.Misc.VirtualSize = kHeadersBytes;
    text.VirtualAddress = kSectionAlignment;
    text.SizeOfRawData = kHeadersBytes;
    text.PointerToRawData = kHeadersBytes;
    text.Characteristics = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ;
    memcpy(image.data(), &dos, sizeof(dos));
    memcpy(image.data() + dos.e_lfanew, &nt, sizeof(nt));
    memcpy(image.data() + dos.e_lfanew + sizeof(nt), &text, sizeof(text));
    image[kHeadersBytes] = static_cast<char>(kReturnInstruction);
    return image;
}
}  // namespace

std::string ForeignArchitectureImage() {
    if (kToolIs32Bit) {
        return ImageWith<IMAGE_NT_HEADERS64>(IMAGE_FILE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC,
                                             IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LARGE_ADDRESS_AWARE |
                                                 IMAGE_FILE_DLL);
    }
    return ImageWith<IMAGE_NT_HEADERS32>(IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC,
                                         IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE | IMAGE_FILE_DLL);
}

}  // namespace vemo::test
