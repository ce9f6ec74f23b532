#include "TraceModuleApi.h"

#include <string>

#include "TestSupport.h"

namespace vemo::test {
namespace {

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& slot, std::string& what) {
    slot = reinterpret_cast<Fn>(::GetProcAddress(module, name));
    if (!slot) what = std::string("export missing: ") + name;
    return slot != nullptr;
}

}  // namespace

bool TraceModuleApi::Load(std::string& what) {
    const std::wstring path = ExecutableDirectory() + L"" VEMO_TRACE_MODULE_NAME;
    module.reset(::LoadLibraryW(path.c_str()));
    if (!module) {
        what = "cannot load " + Narrow(path) + ", error " + std::to_string(::GetLastError());
        return false;
    }
    const HMODULE m = module.get();
    Flush = reinterpret_cast<PFN_ExpFlushTraceSystem>(::GetProcAddress(m, "ExpFlushTraceSystem"));
    return Resolve(m, "ExpWrite", Write, what) && Resolve(m, "ExpWriteEntry", WriteEntry, what) &&
           Resolve(m, "ExpDump", Dump, what) && Resolve(m, "ExpDumpEntry", DumpEntry, what) &&
           Resolve(m, "ExpConfigureTrace", ConfigureTrace, what) &&
           Resolve(m, "ExpIsTracingEnabled", IsTracingEnabled, what) &&
           Resolve(m, "ExpSetTracingEnabled", SetTracingEnabled, what) &&
           Resolve(m, "ExpSetAppTracingLevel", SetAppTracingLevel, what) &&
           Resolve(m, "ExpGetAppTracingLevel", GetAppTracingLevel, what) &&
           Resolve(m, "ExpShouldTrace", ShouldTrace, what) &&
           Resolve(m, "ExpShouldTraceCategory", ShouldTraceCategory, what) &&
           Resolve(m, "ExpSetLevel", SetLevel, what) && Resolve(m, "ExpGetLevel", GetLevel, what) &&
           Resolve(m, "ExpListenerExists", ListenerExists, what) &&
           Resolve(m, "ExpAddListener", AddListener, what) &&
           Resolve(m, "ExpAddConsoleListener", AddConsoleListener, what) &&
           Resolve(m, "ExpAddTextfileListener", AddTextfileListener, what) &&
           Resolve(m, "ExpRemoveListenerCategory", RemoveListenerCategory, what) &&
           Resolve(m, "ExpRemoveListener", RemoveListener, what) &&
           Resolve(m, "ExpRemoveCategory", RemoveCategory, what) &&
           Resolve(m, "ExpRemoveAllCategories", RemoveAllCategories, what) &&
           Resolve(m, "ExpDoneTraceSystem", DoneTraceSystem, what) &&
           Resolve(m, "ExpInitTraceSystem", InitTraceSystem, what);
}

}  // namespace vemo::test
