#pragma once
// Binds the trace module once per process. Without the module, tracing is off.
#include <windows.h>

#include <atomic>
#include <string>

#include "tracing/TraceSystemExports.h"

namespace vemo::tracing {

struct TraceSystemBinding {
    CRITICAL_SECTION lock;
    std::atomic<bool> ready{false};
    HMODULE module = nullptr;
    bool loadAttempted = false;

    std::atomic<PFN_ExpWrite> ExpWrite{nullptr};
    std::atomic<PFN_ExpWriteEntry> ExpWriteEntry{nullptr};
    std::atomic<PFN_ExpDump> ExpDump{nullptr};
    std::atomic<PFN_ExpDumpEntry> ExpDumpEntry{nullptr};
    std::atomic<PFN_ExpConfigureTrace> ExpConfigureTrace{nullptr};
    std::atomic<PFN_ExpIsTracingEnabled> ExpIsTracingEnabled{nullptr};
    std::atomic<PFN_ExpSetTracingEnabled> ExpSetTracingEnabled{nullptr};
    std::atomic<PFN_ExpSetAppTracingLevel> ExpSetAppTracingLevel{nullptr};
    std::atomic<PFN_ExpGetAppTracingLevel> ExpGetAppTracingLevel{nullptr};
    std::atomic<PFN_ExpShouldTrace> ExpShouldTrace{nullptr};
    std::atomic<PFN_ExpShouldTraceCategory> ExpShouldTraceCategory{nullptr};
    std::atomic<PFN_ExpSetLevel> ExpSetLevel{nullptr};
    std::atomic<PFN_ExpGetLevel> ExpGetLevel{nullptr};
    std::atomic<PFN_ExpListenerExists> ExpListenerExists{nullptr};
    std::atomic<PFN_ExpAddListener> ExpAddListener{nullptr};
    std::atomic<PFN_ExpAddConsoleListener> ExpAddConsoleListener{nullptr};
    std::atomic<PFN_ExpAddTextfileListener> ExpAddTextfileListener{nullptr};
    std::atomic<PFN_ExpRemoveListenerCategory> ExpRemoveListenerCategory{nullptr};
    std::atomic<PFN_ExpRemoveListener> ExpRemoveListener{nullptr};
    std::atomic<PFN_ExpRemoveCategory> ExpRemoveCategory{nullptr};
    std::atomic<PFN_ExpRemoveAllCategories> ExpRemoveAllCategories{nullptr};
    std::atomic<PFN_ExpDoneTraceSystem> ExpDoneTraceSystem{nullptr};
    // Optional, looked up after a successful binding; null for a module without them.
    std::atomic<PFN_ExpFlushTraceSystem> ExpFlushTraceSystem{nullptr};
    std::atomic<const volatile LONG*> settingsGeneration{nullptr};

    TraceSystemBinding();
    ~TraceSystemBinding();
    TraceSystemBinding(const TraceSystemBinding&) = delete;
    TraceSystemBinding& operator=(const TraceSystemBinding&) = delete;
};

extern TraceSystemBinding g_traceSystemBinding;
// Inline: every trace question starts here.
inline TraceSystemBinding& GetTraceSystemBinding() { return g_traceSystemBinding; }

// Binds the module on first use; true once all exports are known and the module is initialised.
// A failed binding is never retried.
bool BindTraceSystem();

// The path of the trace module: the first candidate that names an existing file, or empty.
std::string LocateTraceModule();

}  // namespace vemo::tracing
