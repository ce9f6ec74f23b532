#include "tracing/TraceSystemBinding.h"

#include <cstdlib>

#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBModules.h"
#include "tracing/Trace.h"

namespace vemo::tracing {
namespace {

constexpr char kInitExportName[] = "ExpInitTraceSystem";
constexpr char kFlushExportName[] = "ExpFlushTraceSystem";
constexpr char kGenerationExportName[] = "ExpGetTraceSettingsGeneration";

bool FileExists(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

template <typename Fn>
bool Resolve(HMODULE hModule, const char* name, std::atomic<Fn>& slot) {
    FARPROC address = ::GetProcAddress(hModule, name);
    if (!address) return false;
    slot.store(reinterpret_cast<Fn>(address));
    return true;
}

// Only a front-end inside the program itself flushes at the program's end (TraceFlush, while
// the module's writer still runs; left to the module's detach, the lines would be written after
// the writer was cut off, possibly within a write, which Wine turns into an aborted exit). One
// inside a DLL would flush from that DLL's detach, after the writer is gone.
bool FrontEndInProgram() {
    HMODULE self = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<LPCWSTR>(&TraceFlush), &self) &&
           self == ::GetModuleHandleW(nullptr);
}

}  // namespace

TraceSystemBinding::TraceSystemBinding() {
    ::InitializeCriticalSection(&lock);
    ready = true;
}

TraceSystemBinding::~TraceSystemBinding() {
    ready = false;
    ::DeleteCriticalSection(&lock);
}

// Built during static initialisation, before any trace line can be asked for.
TraceSystemBinding g_traceSystemBinding;

std::string LocateTraceModule() {
    // The installation's program directory first, then the program's own folder, then the
    // folder of the module that holds ConfigDB.
    const std::string candidates[] = {
        CDB_GetProgDir(CDB_COMPONENT_VEMO_COMPACT, false) + VEMO_TRACE_MODULE_NAME,
        configdb::_GetModuleDir(nullptr) + VEMO_TRACE_MODULE_NAME,
        CDB_GetThisDllDir() + VEMO_TRACE_MODULE_NAME,
    };
    for (const std::string& candidate : candidates) {
        if (FileExists(candidate)) return candidate;
    }
    return {};
}

bool BindTraceSystem() {
    TraceSystemBinding& b = g_traceSystemBinding;
    if (!b.ready) return false;

    ::EnterCriticalSection(&b.lock);
    struct Leave {
        CRITICAL_SECTION* cs;
        ~Leave() { ::LeaveCriticalSection(cs); }
    } leave{&b.lock};

    if (b.module) return true;
    if (b.loadAttempted) return false;
    b.loadAttempted = true;

    const std::string path = LocateTraceModule();
    // The module is never unloaded: it lives as long as the process writes trace lines.
    HMODULE hModule = path.empty() ? nullptr : ::LoadLibraryA(path.c_str());
    if (!hModule) return false;

    // All 22 in order, each stored as soon as it is found.
    const bool all = Resolve(hModule, "ExpWrite", b.ExpWrite) &&
                     Resolve(hModule, "ExpWriteEntry", b.ExpWriteEntry) &&
                     Resolve(hModule, "ExpDump", b.ExpDump) &&
                     Resolve(hModule, "ExpDumpEntry", b.ExpDumpEntry) &&
                     Resolve(hModule, "ExpConfigureTrace", b.ExpConfigureTrace) &&
                     Resolve(hModule, "ExpIsTracingEnabled", b.ExpIsTracingEnabled) &&
                     Resolve(hModule, "ExpSetTracingEnabled", b.ExpSetTracingEnabled) &&
                     Resolve(hModule, "ExpSetAppTracingLevel", b.ExpSetAppTracingLevel) &&
                     Resolve(hModule, "ExpGetAppTracingLevel", b.ExpGetAppTracingLevel) &&
                     Resolve(hModule, "ExpShouldTrace", b.ExpShouldTrace) &&
                     Resolve(hModule, "ExpShouldTraceCategory", b.ExpShouldTraceCategory) &&
                     Resolve(hModule, "ExpSetLevel", b.ExpSetLevel) &&
                     Resolve(hModule, "ExpGetLevel", b.ExpGetLevel) &&
                     Resolve(hModule, "ExpListenerExists", b.ExpListenerExists) &&
                     Resolve(hModule, "ExpAddListener", b.ExpAddListener) &&
                     Resolve(hModule, "ExpAddConsoleListener", b.ExpAddConsoleListener) &&
                     Resolve(hModule, "ExpAddTextfileListener", b.ExpAddTextfileListener) &&
                     Resolve(hModule, "ExpRemoveListenerCategory", b.ExpRemoveListenerCategory) &&
                     Resolve(hModule, "ExpRemoveListener", b.ExpRemoveListener) &&
                     Resolve(hModule, "ExpRemoveCategory", b.ExpRemoveCategory) &&
                     Resolve(hModule, "ExpRemoveAllCategories", b.ExpRemoveAllCategories) &&
                     Resolve(hModule, "ExpDoneTraceSystem", b.ExpDoneTraceSystem);
    if (all) {
        auto init = reinterpret_cast<PFN_ExpInitTraceSystem>(::GetProcAddress(hModule, kInitExportName));
        if (init) {
            init();
            if (Resolve(hModule, kFlushExportName, b.ExpFlushTraceSystem) && FrontEndInProgram()) {
                std::atexit(&TraceFlush);
            }
            if (auto generation = reinterpret_cast<PFN_ExpGetTraceSettingsGeneration>(
                    ::GetProcAddress(hModule, kGenerationExportName))) {
                b.settingsGeneration.store(generation());
            }
            b.module = hModule;
            return true;
        }
    }
    // The handle is forgotten but the module stays loaded; addresses found so far stay usable.
    return false;
}

}  // namespace vemo::tracing
