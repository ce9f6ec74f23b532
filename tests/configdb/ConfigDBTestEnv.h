#pragma once
// What the ConfigDB tests share: a private machine hive, captured trace lines, component IDs
// of their own, directories they remove again, and child processes of the test program.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <map>
#include <string>
#include <vector>

namespace cdbtest {

// --- registry sandbox -------------------------------------------------------------------------

// HKEY_LOCAL_MACHINE of this process is redirected to a scratch key below HKEY_CURRENT_USER,
// so the tests never touch the machine's product keys and other test programs never see ours.
namespace sandbox {
bool Install();                    // creates the scratch key and redirects HKLM to it
bool InstallExisting(const std::wstring& keyPath);  // for child processes
void Remove();                     // ends the redirection and deletes the scratch key
const std::wstring& KeyPath();     // relative to HKEY_CURRENT_USER
HKEY RealSoftwareKey();            // HKLM\SOFTWARE (64-bit) opened before the redirection
}  // namespace sandbox

// Narrow REG_SZ / REG_DWORD under HKLM (the sandbox) in the 32-bit view.
void SetString(const std::string& keyPath, const std::string& name, const std::string& value);
void SetDword(const std::string& keyPath, const std::string& name, DWORD value);
void CreateKey(const std::string& keyPath);

// --- trace capture ----------------------------------------------------------------------------

struct TraceLine {
    bool isError;
    std::wstring text;
};

// Installs the ConfigDB trace callback for its lifetime and records every line.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<TraceLine> Lines() const;
    void Clear();
    bool Has(const std::wstring& text) const;       // INFO or ERROR, whole line
    bool HasInfo(const std::wstring& text) const;
    bool HasError(const std::wstring& text) const;
    bool HasContaining(const std::wstring& part) const;
    std::wstring Dump() const;  // for failure messages
};

// --- keys and the common fixture -------------------------------------------------------------

inline constexpr char kProductKey[] = "SOFTWARE\\TRUVO VeMo Compact";
inline constexpr char kCompanyKey[] = "SOFTWARE\\TRUVOeg";
inline constexpr char kComponentsKey[] = "SOFTWARE\\TRUVOeg\\Components";
inline constexpr char kPackagesKey[] = "SOFTWARE\\TRUVOeg\\Packages";
inline constexpr char kProtectedDirectoriesKey[] = "Software\\Truvoeg\\ProtectedDirectories";
inline constexpr char kOwnId[] = "B0003810";

// "SOFTWARE\TRUVOeg\Components\<id>\Versions\<version>"
std::string ComponentVersionKey(const std::string& id, const std::string& version);
std::string PackageVersionKey(const std::string& id, const std::string& version);

// Captures ConfigDB's lines and empties the sandbox's company and product keys afterwards.
class ConfigDbTest : public ::testing::Test {
protected:
    void TearDown() override;
    TraceCapture trace;
};

// --- names, paths, directories ----------------------------------------------------------------

// "B9" followed by six digits, different for every call and process.
std::string UniqueComponentId();
std::wstring Widen(const std::string& text);  // ANSI code page
std::string Narrow(const std::wstring& text);
bool Exists(const std::string& path);
std::string WithBackslash(std::string path);
std::string KnownFolder(REFKNOWNFOLDERID folder);  // with a trailing backslash
std::string ExeDirectory();                          // narrow, with a trailing backslash
std::string TempDirectory();                         // GetTempPathA
void RemoveTree(const std::wstring& directory);

// Removes at scope end what did not exist at construction: the directory (with its content)
// and then each of up to `parentLevels` parents that is left empty.
class CreatedTree {
public:
    // recursive false: remove only when empty, for folders other processes may share.
    explicit CreatedTree(const std::string& directory, int parentLevels = 0, bool recursive = true);
    ~CreatedTree();
    CreatedTree(const CreatedTree&) = delete;
    CreatedTree& operator=(const CreatedTree&) = delete;

private:
    std::vector<std::pair<std::wstring, bool>> m_levels;  // path, existed before
    bool m_recursive;
};

// A fresh directory of the test's own below the temporary folder (narrow, with a backslash).
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& path() const { return m_path; }
    std::string Sub(const std::string& relative) const;  // path + relative, created
private:
    std::string m_path;
};

void WriteFileText(const std::string& path, const std::string& bytes);
std::string ReadFileText(const std::string& path);

// --- child processes --------------------------------------------------------------------------

inline constexpr wchar_t kChildSwitch[] = L"--child";
inline constexpr wchar_t kNoSandbox[] = L"-";

struct ChildOutput {
    bool finished = false;
    DWORD exitCode = 0;
    DWORD pid = 0;
    DWORD tid = 0;
    std::vector<std::pair<std::string, std::wstring>> results;  // in the order of the operations
    std::vector<TraceLine> trace;
    // The nth result of the operation; "<none>" when there is no such result.
    std::wstring Result(const std::string& name, size_t nth = 0) const;
    bool HasTrace(bool isError, const std::wstring& text) const;
    std::wstring Dump() const;
};

// Runs this test program as a child with the operations (see ConfigDBTestChild.cpp) in the
// parent's sandbox (or none), waits with a bound and reads what it reported.
ChildOutput RunChild(const std::vector<std::wstring>& operations, bool useSandbox = true);

// A child started without waiting, for tests that coordinate with it through events.
class AsyncChild {
public:
    explicit AsyncChild(const std::vector<std::wstring>& operations);
    ~AsyncChild();
    AsyncChild(const AsyncChild&) = delete;
    AsyncChild& operator=(const AsyncChild&) = delete;
    bool started() const { return m_process != nullptr; }
    ChildOutput Wait();

private:
    HANDLE m_process = nullptr;
    std::wstring m_outFile;
};

// Child side: runs the operations after the "--child" switch; returns the exit code.
int RunChildMode(int argc, wchar_t** argv);

// Child operation names (shared by both sides).
inline constexpr wchar_t kOpInit[] = L"init";
inline constexpr wchar_t kOpProgDir[] = L"progdir";          // id create -> result progdir
inline constexpr wchar_t kOpLogDir[] = L"logdir";            // id create -> result logdir
inline constexpr wchar_t kOpInstalled[] = L"installed";      // id -> result installed (0/1)
inline constexpr wchar_t kOpIntern[] = L"intern";            // file count tag
inline constexpr wchar_t kOpSignal[] = L"signal";            // event name
inline constexpr wchar_t kOpWait[] = L"wait";                // event name
inline constexpr wchar_t kOpMkdir[] = L"mkdir";              // path
inline constexpr wchar_t kOpSetString[] = L"setstring";      // key name value
inline constexpr wchar_t kOpTracer[] = L"tracer";            // text
inline constexpr wchar_t kOpRegWrite[] = L"regwrite";        // HKLM key path, 32 or 64, value -> result regwrite

inline constexpr DWORD kChildTimeoutMs = 60000;

}  // namespace cdbtest
