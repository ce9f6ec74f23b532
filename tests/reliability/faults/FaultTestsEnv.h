#pragma once
// What the fault tests share: the scratch dump and configuration folders main set up, a real
// configuration file for the test plug-in, hosting it the way the initialisation thread does,
// and reading the plug-ins' evidence and the recorded trace lines.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "RecorderClient.h"
#include "VeMoPlugin.h"
#include "common/UniqueHandle.h"

namespace faulttest {

inline constexpr wchar_t kTestPluginDll[] = L"TestPlugin.dll";
// A thread of a plug-in that an exception ended.
inline constexpr DWORD kExceptionExitCode = 4711;
// Bounds: the barrier's 30 s plus room for a loaded machine, and what a prompt step may take.
inline constexpr DWORD kBarrierBoundMs = 60000;
inline constexpr DWORD kPromptMs = 15000;
// The unload sequence may take the largest unload time-out and this much more.
inline constexpr ULONGLONG kUnloadSlackMs = 1000;

// Set once by main: the log folder of the product's component (where dumps go), the folder of
// the second component's configuration files, the plug-ins' evidence file.
void SetFolders(const std::wstring& dumpDirectory, const std::wstring& configDirectory,
                const std::wstring& evidenceFile);
const std::wstring& DumpDirectory();
const std::wstring& ConfigDirectory();
const std::wstring& EvidenceFile();

// One <plugin> element of the configuration file.
struct PluginSpec {
    std::wstring name;
    std::wstring initialize;
    std::wstring run;
    std::wstring uninitialize = L"Uninitialize";
    int32_t timeoutUnload = VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS;
};

// Writes the specs as the only configuration file, discovers and loads them (GetPluginData) and
// starts their threads (HostPlugins). Returns a handle of its own to every thread, in array
// order, so exit codes can still be read after the unload sequence closed the host's handles.
std::vector<vemo::unique_handle> HostFromConfiguration(const std::vector<PluginSpec>& specs);

// The largest unload time-out the unload sequence waits for these plug-ins.
DWORD UnloadTimeoutMs(const std::vector<PluginSpec>& specs);
// Runs the unload sequence; returns how long it took.
ULONGLONG TimedUnload();

// Waits for the thread to end; STILL_ACTIVE when it does not end in time.
DWORD ExitCodeAfterEnd(HANDLE thread, DWORD timeoutMs);

// The entry points a thread called, in order, from the evidence file.
std::vector<std::string> CallsOf(DWORD threadId);
bool WaitForCall(const std::string& exportName, DWORD threadId, DWORD timeoutMs);
void RemoveEvidence();

// Recorded trace lines that contain text.
size_t CountTraces(const vemo::test::Recorder& recorder, const std::string& text);
std::vector<vemo::test::TraceRecord> TracesStartingWith(const vemo::test::Recorder& recorder, int level,
                                                        const std::string& prefix);
std::string AllTraces(const vemo::test::Recorder& recorder);

// True in a child started to run one matrix row on its own.
bool InChildProcess();
void SetInChildProcess();

}  // namespace faulttest
