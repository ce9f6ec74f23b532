#pragma once
// What the test programs share: a run of the current test in fresh child processes, the
// registry and directories of a sample installation, the plug-in configuration writer, the test
// plug-in's evidence, files, processes and resource counts.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace vemo::test {

// --- child processes: the entry point (TestMain.cpp) reads --vemo-child, --vemo-sandbox=<key>
// (the parent's private machine hive) and --vemo-arg=<text>.
bool InChild();
const std::wstring& ChildArgument();  // empty in the parent

struct ProcessResult {
    bool finished = false;  // false: killed after the time limit or could not start
    DWORD exitCode = 0;
    DWORD startError = 0;  // why it could not start (or its output file could not be made)
};
struct CapturedProcess {
    ProcessResult result;
    std::string output;  // stdout and stderr, as bytes
};
// The entry point gives a child exit code 0 only for exactly one test run and passed.
inline bool Passed(const CapturedProcess& child) { return child.result.finished && child.result.exitCode == 0; }

// Which machine hive a child sees: its parent's private one, a private one of its own (when the
// program asks for one), or the real one.
enum class Hive { kParents, kOwn, kReal };
// Starts test "Suite.Name" of this program in a fresh child. Several may run at once.
std::shared_future<CapturedProcess> StartChild(const std::string& testName, const std::wstring& argument = {},
                                               Hive hive = Hive::kParents);
// The current test in `count` fresh children at once, without waiting.
std::vector<std::shared_future<CapturedProcess>> StartCurrentTestInChildren(size_t count, const std::wstring& argument = {},
                                                                           Hive hive = Hive::kParents);
// The same, waiting until every child passed.
::testing::AssertionResult RunCurrentTestInChildren(size_t count = 1, const std::wstring& argument = {},
                                                    Hive hive = Hive::kParents);

// Runs "<program>" <arguments> and waits at most timeoutMs; a process still running is killed.
ProcessResult RunProcess(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs);
// The same with stdout and stderr captured through outputFile (created anew, then deleted).
CapturedProcess RunProcessCaptured(const std::wstring& program, const std::wstring& arguments,
                                   const std::wstring& outputFile, DWORD timeoutMs);

// --- the machine hive: HKEY_LOCAL_MACHINE of this process redirected to a scratch key below
// HKEY_CURRENT_USER for the whole run (a child joins its parent's). UseHklmSandbox is called from
// a namespace-scope initialiser; ResetHklmSandbox empties the hive for a test that needs none of
// the keys.
bool UseHklmSandbox(const wchar_t* root);
bool ResetHklmSandbox();

// The redirection for the object's life: to a new key below HKEY_CURRENT_USER\<root>, removed
// at the end, or to the existing key another process made.
class HklmSandbox {
public:
    explicit HklmSandbox(const wchar_t* root, const std::wstring& existingKey = {});
    ~HklmSandbox();
    HklmSandbox(const HklmSandbox&) = delete;
    HklmSandbox& operator=(const HklmSandbox&) = delete;
    bool active() const { return m_active; }
    const std::wstring& key() const { return m_path; }

private:
    std::wstring m_root;  // empty: not ours to remove
    std::wstring m_path;
    unique_hkey m_key;
    bool m_active = false;
};

// Values under HKEY_LOCAL_MACHINE in the 32-bit view, where the program reads.
bool SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data,
                      DWORD bytes);
bool SetRegistryDword(const std::wstring& keyPath, const std::wstring& name, DWORD value);
bool SetRegistryString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value);
bool DeleteRegistryValue(const std::wstring& keyPath, const std::wstring& name);
bool DeleteRegistryTree(const std::wstring& keyPath);
std::optional<std::wstring> ReadRegistryString(const std::wstring& keyPath, const std::wstring& name);

// --- a sample installation ------------------------------------------------------------------
inline constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
inline constexpr wchar_t kComponentsKey[] = L"SOFTWARE\\TRUVOeg\\Components\\";
inline constexpr wchar_t kOwnComponent[] = L"B0003810";
inline constexpr wchar_t kBasisComponent[] = L"B0003811";

// "SOFTWARE\TRUVOeg\Components\<id>\Versions\<version>"
std::wstring ComponentVersionKey(const std::wstring& id, const std::wstring& version = L"1.0");
// The product in a company environment: version 1.0, its program directory (which names the
// product's component and so is its configuration directory too) and the package's system
// directory.
bool RegisterProduct(const std::wstring& programDirectory);
// Another component, version 1.0, with its configuration directory when one is given.
bool RegisterComponent(const std::wstring& id, const std::wstring& configDirectory = {});

// --- plug-in configuration ------------------------------------------------------------------
inline constexpr wchar_t kTestPluginDll[] = L"TestPlugin.dll";
inline constexpr wchar_t kNoPath[] = L"<leer>";  // an empty path element

// One <plugin> element, by default for the test plug-in in the system context.
struct PluginSpec {
    std::wstring name;
    std::wstring initialize = L"Initialize";
    std::wstring run = L"Run";
    std::wstring uninitialize = L"Uninitialize";
    std::optional<int32_t> timeoutUnload;  // none: no timeoutUnload element
    std::wstring binary = kTestPluginDll;
    std::wstring path;  // empty: where the test plug-ins are built
    bool system = true;
    bool listener = false;
    bool pure = false;
    std::string extra;  // further elements, as they stand
};
std::wstring PluginDirectory();  // of the test plug-ins, with a trailing backslash
std::string PluginDocument(const std::vector<PluginSpec>& specs);
bool WritePluginConfiguration(const std::wstring& file, const std::vector<PluginSpec>& specs);

// The test plug-in's evidence: every entry point call appends "<export> <pid> <tid>" to the file
// named by VEMO_TEST_PLUGIN_LOG, which this object sets for its life.
class Evidence {
public:
    explicit Evidence(std::wstring file);
    ~Evidence();
    Evidence(const Evidence&) = delete;
    Evidence& operator=(const Evidence&) = delete;
    const std::wstring& file() const { return m_file; }
    size_t Calls(const std::string& exportName) const;
    std::vector<std::string> CallsOf(DWORD threadId) const;  // in order; 0: every thread
    bool WaitForCall(const std::string& exportName, DWORD threadId = 0, DWORD timeoutMs = 15000) const;
    void Clear() const;

private:
    std::wstring m_file;
};

// --- files ----------------------------------------------------------------------------------
std::wstring ExecutableDirectory();  // with a trailing backslash
std::string ReadFileBytes(const std::wstring& path);
// Replaces the file through a handle that children started meanwhile do not inherit (they would
// keep the program's reads out).
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::string> SplitLines(const std::string& text);
std::set<std::wstring> FileNamesIn(const std::wstring& directory);  // files only
bool Exists(const std::wstring& path);

// A fresh directory below the temporary folder, removed with its content when the object ends.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::wstring& prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::wstring& path() const { return m_path; }  // with a trailing backslash
    std::wstring Sub(const std::wstring& relative) const;  // created, without a trailing backslash

private:
    std::wstring m_path;
};

// Removes at scope end what did not exist at construction: the path (a file, or a directory with
// its content unless recursive is false) and then each of up to parentLevels parents left empty.
// For folders other programs share, where only what a test made may go.
class CreatedTree {
public:
    explicit CreatedTree(const std::wstring& path, int parentLevels = 0, bool recursive = true);
    ~CreatedTree();
    CreatedTree(const CreatedTree&) = delete;
    CreatedTree& operator=(const CreatedTree&) = delete;

private:
    std::vector<std::pair<std::wstring, bool>> m_levels;  // path, existed before
    bool m_recursive;
};

// Polls predicate every 20 ms until it holds or timeoutMs passed.
template <typename Predicate>
bool WaitFor(Predicate predicate, DWORD timeoutMs) {
    for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs; !predicate(); ::Sleep(20)) {
        if (::GetTickCount64() >= deadline) return false;
    }
    return true;
}

std::string Narrow(const std::wstring& text);  // ANSI code page
std::wstring Widen(const std::string& text);   // ANSI code page

// --- processes and resources ----------------------------------------------------------------
std::vector<DWORD> ProcessIdsNamed(const wchar_t* exeName);
void EndProcessesNamed(const wchar_t* exeName, DWORD waitMs);
// This process's handles, from the system's handle table (GetProcessHandleCount answers 0 under
// Wine), and their description "value type, ...".
std::set<USHORT> OpenHandles();
std::string DescribeHandles(const std::set<USHORT>& handles);
// A DACL's entries in order: "<access mask, 8 hex digits> <SID>" for each allowing one, "?" for
// another; of a kernel object's DACL by its handle.
std::vector<std::string> DaclGrants(const ACL* dacl);
std::vector<std::string> DaclGrants(HANDLE kernelObject);
// Private memory; Wine answers 0 for PrivateUsage and reports resident memory as page-file usage.
SIZE_T PrivateBytes();
bool RunningUnderWine();

// The reliability suite's counts: the short form in ctest, the long one with VEMO_RELIABILITY_LONG.
bool LongForm();
inline int ScaledCount(int shortForm, int longForm) { return LongForm() ? longForm : shortForm; }

// The headers of a DLL built for the other architecture than this program's: enough for a
// loader to read the machine type and refuse it, nothing to run.
std::string ForeignArchitectureImage();

}  // namespace vemo::test
