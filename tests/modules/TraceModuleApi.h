#pragma once
// The trace module as the program sees it: loaded from the test program's own directory, every
// export looked up by its undecorated name.
#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"
#include "tracing/TraceSystemExports.h"

namespace vemo::test {

struct TraceModuleApi {
    // False, with the missing export in what, if the module or one export is missing.
    bool Load(std::string& what);

    unique_hmodule module;
    PFN_ExpWrite Write = nullptr;
    PFN_ExpWriteEntry WriteEntry = nullptr;
    PFN_ExpDump Dump = nullptr;
    PFN_ExpDumpEntry DumpEntry = nullptr;
    PFN_ExpConfigureTrace ConfigureTrace = nullptr;
    PFN_ExpIsTracingEnabled IsTracingEnabled = nullptr;
    PFN_ExpSetTracingEnabled SetTracingEnabled = nullptr;
    PFN_ExpSetAppTracingLevel SetAppTracingLevel = nullptr;
    PFN_ExpGetAppTracingLevel GetAppTracingLevel = nullptr;
    PFN_ExpShouldTrace ShouldTrace = nullptr;
    PFN_ExpShouldTraceCategory ShouldTraceCategory = nullptr;
    PFN_ExpSetLevel SetLevel = nullptr;
    PFN_ExpGetLevel GetLevel = nullptr;
    PFN_ExpListenerExists ListenerExists = nullptr;
    PFN_ExpAddListener AddListener = nullptr;
    PFN_ExpAddConsoleListener AddConsoleListener = nullptr;
    PFN_ExpAddTextfileListener AddTextfileListener = nullptr;
    PFN_ExpRemoveListenerCategory RemoveListenerCategory = nullptr;
    PFN_ExpRemoveListener RemoveListener = nullptr;
    PFN_ExpRemoveCategory RemoveCategory = nullptr;
    PFN_ExpRemoveAllCategories RemoveAllCategories = nullptr;
    PFN_ExpDoneTraceSystem DoneTraceSystem = nullptr;
    PFN_ExpInitTraceSystem InitTraceSystem = nullptr;
    PFN_ExpFlushTraceSystem Flush = nullptr;  // optional
};

}  // namespace vemo::test
