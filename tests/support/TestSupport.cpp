#include "TestSupport.h"

#include <cstring>

#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace vemo::test {

namespace {
constexpr DWORD kChildTimeoutMs = 180000;
std::atomic<int> g_scratchCounter{0};

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

ProcessResult RunAndWait(const std::wstring& program, const std::wstring& arguments, STARTUPINFOW& startup,
                         BOOL inheritHandles, DWORD timeoutMs) {
    ProcessResult result;
    std::wstring commandLine = Quoted(program) + (arguments.empty() ? L"" : L" ") + arguments;
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inheritHandles, 0, nullptr, nullptr,
                          &startup, &info)) {
        result.startError = ::GetLastError();
        return result;
    }
    const unique_handle process(info.hProcess), thread(info.hThread);
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

std::wstring UniqueSuffix() {
    return std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++g_scratchCounter) + L"_" +
           std::to_wstring(::GetTickCount64());
}

template <typename Fn>
Fn FromNtdll(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name)));
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
bool ResetHklmSandbox() {
    if (InChild()) return true;  // a child may share its parent's hive: the parent set it up
    unique_hkey key;
    return !detail::g_sandboxKey.empty() &&
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
        startup.hStdOutput = startup.hStdError = output.get();
        captured.result = RunAndWait(program, arguments, startup, TRUE, timeoutMs);
    }
    captured.output = ReadFileBytes(outputFile);
    ::DeleteFileW(outputFile.c_str());
    return captured;
}

std::shared_future<CapturedProcess> StartChild(const std::string& testName, const std::wstring& argument, Hive hive) {
    std::wstring arguments = L"--gtest_filter=" + Widen(testName) + L" --vemo-child";
    if (hive == Hive::kParents && !detail::g_sandboxKey.empty()) arguments += L" " + Quoted(L"--vemo-sandbox=" + detail::g_sandboxKey);
    if (hive == Hive::kReal) arguments += L" --vemo-sandbox=-";
    // A trailing backslash would escape the closing quote.
    if (!argument.empty()) arguments += L" " + Quoted(L"--vemo-arg=" + argument + L"|");
    const std::wstring output = TempDirectory() + L"vemo_child_" + UniqueSuffix() + L".txt";
    return std::async(std::launch::async, [=] {
               return RunProcessCaptured(ThisProgram(), arguments, output, kChildTimeoutMs);
           }).share();
}

std::vector<std::shared_future<CapturedProcess>> StartCurrentTestInChildren(size_t count, const std::wstring& argument, Hive hive) {
    const ::testing::TestInfo& info = *::testing::UnitTest::GetInstance()->current_test_info();
    std::vector<std::shared_future<CapturedProcess>> children;
    for (size_t i = 0; i < count; ++i) {
        children.push_back(StartChild(std::string(info.test_suite_name()) + "." + info.name(), argument, hive));
    }
    return children;
}

::testing::AssertionResult RunCurrentTestInChildren(size_t count, const std::wstring& argument, Hive hive) {
    const auto children = StartCurrentTestInChildren(count, argument, hive);
    for (size_t i = 0; i < count; ++i) {
        const CapturedProcess& child = children[i].get();
        if (!Passed(child)) {
            return ::testing::AssertionFailure() << "child " << i << ": finished " << child.result.finished << ", exit code "
                                                 << child.result.exitCode << ", start error " << child.result.startError
                                                 << "\n" << child.output;
        }
    }
    return ::testing::AssertionSuccess();
}

// --- registry -------------------------------------------------------------------------------

HklmSandbox::HklmSandbox(const wchar_t* root, const std::wstring& existingKey)
    : m_root(existingKey.empty() ? root : L""),
      m_path(existingKey.empty() ? m_root + L"\\" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(::GetTickCount64())
                                 : existingKey) {
    m_active = (existingKey.empty() ? ::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                        nullptr, m_key.put(), nullptr)
                                    : ::RegOpenKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_ALL_ACCESS, m_key.put())) ==
                   ERROR_SUCCESS &&
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
unique_hkey OpenKey(const std::wstring& keyPath, REGSAM access, bool create = false) {
    unique_hkey key;
    if (create) {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, access | KEY_WOW64_32KEY, nullptr, key.put(), nullptr);
    } else {
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, access | KEY_WOW64_32KEY, key.put());
    }
    return key;
}
}  // namespace

bool SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data,
                      DWORD bytes) {
    const unique_hkey key = OpenKey(keyPath, KEY_ALL_ACCESS, true);
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
    wchar_t data[MAX_PATH + 1] = {};
    DWORD bytes = MAX_PATH * sizeof(wchar_t);
    const unique_hkey key = OpenKey(keyPath, KEY_READ);
    if (!key || ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

bool DeleteRegistryValue(const std::wstring& keyPath, const std::wstring& name) {
    const unique_hkey key = OpenKey(keyPath, KEY_SET_VALUE);
    const LSTATUS status = key ? ::RegDeleteValueW(key.get(), name.c_str()) : ERROR_FILE_NOT_FOUND;
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool DeleteRegistryTree(const std::wstring& keyPath) {
    // RegDeleteTreeW knows no view flag: open the key in the 32-bit view and delete below it.
    if (unique_hkey key = OpenKey(keyPath, KEY_ALL_ACCESS)) {
        ::RegDeleteTreeW(key.get(), nullptr);
        key.reset();
        return ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_WOW64_32KEY, 0) == ERROR_SUCCESS;
    }
    return true;
}

std::wstring ComponentVersionKey(const std::wstring& id, const std::wstring& version) {
    return std::wstring(kComponentsKey) + id + L"\\Versions\\" + version;
}

bool RegisterProduct(const std::wstring& programDirectory) {
    return SetRegistryString(kProductKey, L"CompVersion", L"1.0") && SetRegistryString(kProductKey, L"ProgKey", programDirectory) &&
           SetRegistryString(L"Software\\Truvoeg\\ProtectedDirectories", L"SystemDir", ExecutableDirectory());
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
        const DWORD n = ::GetFullPathNameW((ExecutableDirectory() + up).c_str(), MAX_PATH, full, nullptr);
        if (n > 0 && n < MAX_PATH && Exists(std::wstring(full) + kTestPluginDll)) return full;
    }
    return ExecutableDirectory();
}

std::string PluginDocument(const std::vector<PluginSpec>& specs) {
    std::string xml = "<?xml version=\"1.0\"?><root>";
    for (const PluginSpec& spec : specs) {
        const std::string path = spec.path == kNoPath ? std::string() : Narrow(spec.path.empty() ? PluginDirectory() : spec.path);
        xml += "<plugin description=\"" + Narrow(spec.name) + "\" type=\"" + (spec.listener ? "listener" : "dll") +
               "\"><binaryName>" + Narrow(spec.binary) + "</binaryName><path>" + path + "</path><system>" +
               (spec.system ? "true" : "false") + "</system><pure>" + (spec.pure ? "true" : "false") + "</pure>";
        if (spec.timeoutUnload) xml += "<timeoutUnload>" + std::to_string(*spec.timeoutUnload) + "</timeoutUnload>";
        std::string implements;
        if (spec.initialize != L"Initialize") implements += " initialize=\"" + Narrow(spec.initialize) + "\"";
        if (spec.run != L"Run") implements += " run=\"" + Narrow(spec.run) + "\"";
        if (spec.uninitialize != L"Uninitialize") implements += " uninitialize=\"" + Narrow(spec.uninitialize) + "\"";
        if (!implements.empty()) xml += "<implements" + implements + "/>";
        xml += spec.extra + "</plugin>";
    }
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
        unsigned long pid = 0, tid = 0;
        if (fields >> exportName >> pid >> tid && (threadId == 0 || tid == threadId)) calls.push_back(exportName);
    }
    return calls;
}

size_t Evidence::Calls(const std::string& exportName) const {
    const auto calls = CallsOf(0);
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), exportName));
}

bool Evidence::WaitForCall(const std::string& exportName, DWORD threadId, DWORD timeoutMs) const {
    return WaitFor([&] { const auto calls = CallsOf(threadId); return std::find(calls.begin(), calls.end(), exportName) != calls.end(); },
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
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
    }
    return lines;
}

std::set<std::wstring> FileNamesIn(const std::wstring& directory) {
    std::set<std::wstring> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (!entry.is_directory(error)) names.insert(entry.path().filename().wstring());
    }
    return names;
}

bool Exists(const std::wstring& path) { return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

namespace {
void RemoveDirectoryTree(std::wstring directory) {
    while (directory.ends_with(L'\\')) directory.pop_back();
    std::error_code error;
    std::filesystem::remove_all(directory, error);
}
}  // namespace

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

ScratchDirectory::ScratchDirectory(const std::wstring& prefix) : m_path(TempDirectory() + prefix + L"_" + UniqueSuffix() + L"\\") {
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}
ScratchDirectory::~ScratchDirectory() { RemoveDirectoryTree(m_path); }

std::wstring ScratchDirectory::Sub(const std::wstring& relative) const {
    std::error_code error;
    std::filesystem::create_directories(m_path + relative, error);
    return m_path + relative;
}

std::string Narrow(const std::wstring& text) {
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
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

std::set<USHORT> OpenHandles() {
    struct Entry {
        ULONG processId;
        BYTE objectType, flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    const auto query = FromNtdll<LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*)>("NtQuerySystemInformation");
    std::vector<BYTE> buffer(1 << 20);
    LONG status = -1;
    ULONG needed = 0;
    while (query && (status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
                        kStatusInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    std::set<USHORT> handles;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    for (ULONG i = 0; status == 0 && i < table->count; ++i) {
        if (table->entries[i].processId == ::GetCurrentProcessId()) handles.insert(table->entries[i].handle);
    }
    return handles;
}

std::string DescribeHandles(const std::set<USHORT>& handles) {
    constexpr ULONG kObjectTypeInformation = 2;
    struct TypeName {  // the first member of the type information
        USHORT length, maximumLength;
        const wchar_t* buffer;
    };
    const auto query = FromNtdll<LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*)>("NtQueryObject");
    std::string text;
    for (USHORT value : handles) {
        alignas(8) BYTE buffer[1024] = {};
        ULONG needed = 0;
        std::wstring type = L"?";
        const auto* name = reinterpret_cast<const TypeName*>(buffer);
        if (query && query(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)), kObjectTypeInformation, buffer,
                           sizeof(buffer), &needed) == 0 && name->buffer) {
            type.assign(name->buffer, name->length / sizeof(wchar_t));
        }
        text += (text.empty() ? "" : ", ") + std::to_string(value) + " " + Narrow(type);
    }
    return text;
}

std::vector<std::string> DaclGrants(const ACL* dacl) {
    std::vector<std::string> grants;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        char* sid = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !::ConvertSidToStringSidA(&ace->SidStart, &sid)) {
            grants.emplace_back("?");
            continue;
        }
        const unique_hlocal owner(sid);
        char mask[16];
        std::snprintf(mask, sizeof(mask), "%08lX ", static_cast<unsigned long>(ace->Mask));
        grants.push_back(mask + std::string(sid));
    }
    return grants;
}

std::vector<std::string> DaclGrants(HANDLE kernelObject) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(kernelObject, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &descriptor) != ERROR_SUCCESS) {
        return {"no security information"};
    }
    const unique_hlocal owner(descriptor);
    return DaclGrants(dacl);
}

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters))) {
        return 0;
    }
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

bool RunningUnderWine() { return FromNtdll<void (*)()>("wine_get_version") != nullptr; }

bool LongForm() {
    wchar_t value[8] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"VEMO_RELIABILITY_LONG", value, 8);
    return n > 0 && n < 8 && value[0] != L'0';
}

namespace {
// Headers and one code section holding a return: Wine takes a foreign image without code as
// data, one with code it refuses as Windows does.
template <typename NtHeaders>
std::string ImageWith(WORD machine, WORD magic, WORD characteristics) {
    constexpr DWORD kFileAlignment = 0x200, kSectionAlignment = 0x1000;
    IMAGE_DOS_HEADER dos{};
    dos.e_magic = IMAGE_DOS_SIGNATURE;
    dos.e_lfanew = sizeof(dos);
    NtHeaders nt{};
    nt.Signature = IMAGE_NT_SIGNATURE;
    nt.FileHeader = {machine, 1, 0, 0, 0, sizeof(nt.OptionalHeader), characteristics};
    auto& o = nt.OptionalHeader;
    o.Magic = magic;
    o.SizeOfCode = o.FileAlignment = o.SizeOfHeaders = kFileAlignment;
    o.AddressOfEntryPoint = o.BaseOfCode = o.SectionAlignment = kSectionAlignment;
    o.ImageBase = 0x10000000;
    o.MajorOperatingSystemVersion = o.MajorSubsystemVersion = 4;
    o.SizeOfImage = 2 * kSectionAlignment;
    o.Subsystem = IMAGE_SUBSYSTEM_WINDOWS_GUI;
    o.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    const IMAGE_SECTION_HEADER text{{'.', 't', 'e', 'x', 't'}, {kFileAlignment}, kSectionAlignment, kFileAlignment, kFileAlignment,
                                    0, 0, 0, 0, IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ};
    std::string image(2 * kFileAlignment, '\0');
    memcpy(image.data(), &dos, sizeof(dos));
    memcpy(image.data() + sizeof(dos), &nt, sizeof(nt));
    memcpy(image.data() + sizeof(dos) + sizeof(nt), &text, sizeof(text));
    image[kFileAlignment] = '\xC3';  // ret
    return image;
}
}  // namespace

std::string ForeignArchitectureImage() {
    if (sizeof(void*) == 4) {
        return ImageWith<IMAGE_NT_HEADERS64>(IMAGE_FILE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC,
                                             IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LARGE_ADDRESS_AWARE | IMAGE_FILE_DLL);
    }
    return ImageWith<IMAGE_NT_HEADERS32>(IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC,
                                         IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE | IMAGE_FILE_DLL);
}

}  // namespace vemo::test
