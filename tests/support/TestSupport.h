#pragma once
// Small helpers the test programs share: processes with a bounded wait, files, registry keys.
#include <windows.h>

#include "common/UniqueHandle.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vemo::test {

// Directory of the running test program, with a trailing backslash.
std::wstring ExecutableDirectory();

struct ProcessResult {
    bool finished = false;  // false: killed after the time limit or could not start
    DWORD exitCode = 0;
};

// Runs "<program>" <arguments> and waits at most timeoutMs; a process still running is killed.
ProcessResult RunProcess(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs);

struct CapturedProcess {
    ProcessResult result;
    std::string output;  // what the program wrote to stdout and stderr, as bytes
};
// RunProcess with stdout and stderr redirected into outputFile (created anew, left in place).
CapturedProcess RunProcessCaptured(const std::wstring& program, const std::wstring& arguments,
                                   const std::wstring& outputFile, DWORD timeoutMs);

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
// Replaces the file with bytes. The handle is not inheritable and closed on return: a CRT stream's
// handle is inherited by children started meanwhile, which then keep the program's reads out.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::string> SplitLines(const std::string& text);
// Lines of a file that begin with prefix followed by a blank (the test plug-ins' evidence format).
size_t CountLinesStartingWith(const std::wstring& path, const std::string& prefix);
// Names of the files (not directories) in a directory (with a trailing backslash).
std::set<std::wstring> FileNamesIn(const std::wstring& directory);

// A fresh directory below the temporary folder, removed with its files when the object ends.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::wstring& prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::wstring& path() const { return m_path; }  // with a trailing backslash

private:
    std::wstring m_path;
};

// Registry under HKEY_LOCAL_MACHINE in the 32-bit view, where the program reads.
bool SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data,
                      DWORD bytes);
bool SetRegistryDword(const std::wstring& keyPath, const std::wstring& name, DWORD value);
bool SetRegistryString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value);
bool DeleteRegistryValue(const std::wstring& keyPath, const std::wstring& name);
// A string value of up to MAX_PATH characters; nothing when it cannot be read.
std::optional<std::wstring> ReadRegistryString(const std::wstring& keyPath, const std::wstring& name);
bool DeleteRegistryTree(const std::wstring& keyPath);

// HKEY_LOCAL_MACHINE of this process redirected to a scratch key below
// HKEY_CURRENT_USER\<root>\<pid> for the life of the object, removed afterwards.
class HklmSandbox {
public:
    explicit HklmSandbox(const wchar_t* root);
    ~HklmSandbox();
    HklmSandbox(const HklmSandbox&) = delete;
    HklmSandbox& operator=(const HklmSandbox&) = delete;
    bool active() const { return m_active; }

private:
    std::wstring m_root;
    std::wstring m_path;
    unique_hkey m_key;
    bool m_active = false;
};

// Polls predicate every 20 ms until it holds or timeoutMs passed.
template <typename Predicate>
bool WaitFor(Predicate predicate, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (predicate()) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(20);
    }
}

std::string Narrow(const std::wstring& text);  // ANSI code page
std::wstring Widen(const std::string& text);  // ANSI code page

// Processes of the prefix whose executable file is named exeName (any case), and ending them.
std::vector<DWORD> ProcessIdsNamed(const wchar_t* exeName);
void EndProcessesNamed(const wchar_t* exeName, DWORD waitMs);

// Handles this process holds open. GetProcessHandleCount answers 0 under Wine; the system's
// handle table is what both Windows and Wine really report.
DWORD OpenHandleCount();
std::set<USHORT> OpenHandles();
// "value type, ..." of handles of this process, for a message that says what was left open.
std::string DescribeHandles(const std::set<USHORT>& handles);
// Memory this process has for itself. Wine answers 0 for PrivateUsage and reports resident
// private memory as the page-file usage instead.
SIZE_T PrivateBytes();
// Wine's ntdll exports its version; Windows' does not.
bool RunningUnderWine();

// The reliability suite's counts: the short form in ctest, the long one when VEMO_RELIABILITY_LONG
// is set (scripts/reliability.sh).
bool LongForm();
inline int ScaledCount(int shortForm, int longForm) { return LongForm() ? longForm : shortForm; }

// The headers of a DLL built for the other architecture than this program's: enough for a
// loader to read the machine type and refuse it, nothing to run.
std::string ForeignArchitectureImage();

}  // namespace vemo::test
