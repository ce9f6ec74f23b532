#include "FaultTestsEnv.h"

#include <algorithm>
#include <sstream>

#include "TestSupport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"

namespace faulttest {
namespace {

constexpr wchar_t kConfigurationFile[] = L"B0000001.xml";

std::wstring g_dumpDirectory;
std::wstring g_configDirectory;
std::wstring g_evidenceFile;
bool g_inChildProcess = false;

// The test plug-in lies next to the test programs, one level above this program's folder.
std::wstring PluginDirectory() {
    const std::wstring relative = vemo::test::ExecutableDirectory() + L"..\\";
    wchar_t full[MAX_PATH] = {};
    const DWORD n = ::GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full) : relative;
}

std::string PluginElement(const PluginSpec& spec) {
    using vemo::test::Narrow;
    return "<plugin description=\"" + Narrow(spec.name) + "\" type=\"dll\"><binaryName>" + Narrow(kTestPluginDll) +
           "</binaryName><path>" + Narrow(PluginDirectory()) + "</path><system>true</system><timeoutUnload>" +
           std::to_string(spec.timeoutUnload) + "</timeoutUnload><implements initialize=\"" +
           Narrow(spec.initialize) + "\" run=\"" + Narrow(spec.run) + "\" uninitialize=\"" +
           Narrow(spec.uninitialize) + "\"/></plugin>";
}

void WriteConfiguration(const std::vector<PluginSpec>& specs) {
    std::string xml = "<?xml version=\"1.0\"?><root>";
    for (const PluginSpec& spec : specs) xml += PluginElement(spec);
    xml += "</root>";
    // Not through the runtime's files: their handles are inheritable, and a child row started at
    // this moment would keep the file open for writing, so MSXML could not open it any more.
    const vemo::unique_hfile file(::CreateFileW((g_configDirectory + kConfigurationFile).c_str(), GENERIC_WRITE, 0,
                                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) ::WriteFile(file.get(), xml.data(), static_cast<DWORD>(xml.size()), &written, nullptr);
}

}  // namespace

void SetFolders(const std::wstring& dumpDirectory, const std::wstring& configDirectory,
                const std::wstring& evidenceFile) {
    g_dumpDirectory = dumpDirectory;
    g_configDirectory = configDirectory;
    g_evidenceFile = evidenceFile;
}
const std::wstring& DumpDirectory() { return g_dumpDirectory; }
const std::wstring& ConfigDirectory() { return g_configDirectory; }
const std::wstring& EvidenceFile() { return g_evidenceFile; }

std::vector<vemo::unique_handle> HostFromConfiguration(const std::vector<PluginSpec>& specs) {
    WriteConfiguration(specs);
    GetPluginData(false);
    HostPlugins();
    std::vector<vemo::unique_handle> threads;
    for (int32_t i = 0; g_vecPluginInfo && i < g_numActivePluginInfo; ++i) {
        const HANDLE hostHandle = g_vecPluginInfo[static_cast<size_t>(i)]._hThread;
        vemo::unique_handle own;
        if (hostHandle && hostHandle != INVALID_HANDLE_VALUE) {
            ::DuplicateHandle(::GetCurrentProcess(), hostHandle, ::GetCurrentProcess(), own.put(), 0, FALSE,
                              DUPLICATE_SAME_ACCESS);
        }
        threads.push_back(std::move(own));
    }
    return threads;
}

DWORD UnloadTimeoutMs(const std::vector<PluginSpec>& specs) {
    DWORD timeout = VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS;
    for (const PluginSpec& spec : specs) timeout = std::max(timeout, static_cast<DWORD>(spec.timeoutUnload));
    return timeout;
}

ULONGLONG TimedUnload() {
    const ULONGLONG start = ::GetTickCount64();
    UnloadPlugins();
    return ::GetTickCount64() - start;
}

DWORD ExitCodeAfterEnd(HANDLE thread, DWORD timeoutMs) {
    if (!thread || ::WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeThread(thread, &code);
    return code;
}

std::vector<std::string> CallsOf(DWORD threadId) {
    // Lines read "<export> <pid> <tid>"; only this process writes the file.
    std::vector<std::string> calls;
    for (const std::string& line : vemo::test::SplitLines(vemo::test::ReadFileBytes(g_evidenceFile))) {
        std::istringstream fields(line);
        std::string exportName;
        unsigned long pid = 0;
        unsigned long tid = 0;
        if (fields >> exportName >> pid >> tid && tid == threadId) calls.push_back(exportName);
    }
    return calls;
}

bool WaitForCall(const std::string& exportName, DWORD threadId, DWORD timeoutMs) {
    return vemo::test::WaitFor(
        [&] {
            const std::vector<std::string> calls = CallsOf(threadId);
            return std::find(calls.begin(), calls.end(), exportName) != calls.end();
        },
        timeoutMs);
}

void RemoveEvidence() { ::DeleteFileW(g_evidenceFile.c_str()); }

size_t CountTraces(const vemo::test::Recorder& recorder, const std::string& text) {
    size_t n = 0;
    for (const vemo::test::TraceRecord& r : recorder.Records()) n += r.text.find(text) != std::string::npos ? 1 : 0;
    return n;
}

std::vector<vemo::test::TraceRecord> TracesStartingWith(const vemo::test::Recorder& recorder, int level,
                                                        const std::string& prefix) {
    std::vector<vemo::test::TraceRecord> found;
    for (vemo::test::TraceRecord& r : recorder.Records()) {
        if (r.level == level && r.text.starts_with(prefix)) found.push_back(std::move(r));
    }
    return found;
}

std::string AllTraces(const vemo::test::Recorder& recorder) {
    std::string text;
    for (const vemo::test::TraceRecord& r : recorder.Records()) {
        text += std::to_string(r.level) + " " + r.category + " " + r.text + "\n";
    }
    return text;
}

bool InChildProcess() { return g_inChildProcess; }
void SetInChildProcess() { g_inChildProcess = true; }

}  // namespace faulttest
