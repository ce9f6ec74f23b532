// The exports of QnUmTraceSystem001.dll. Nothing thrown inside leaves through them, and a null
// text is refused, never read.
#include <string_view>
#include <type_traits>

#include "TraceLine.h"
#include "TraceSystem.h"
#include "tracing/TraceSystemExports.h"

using namespace vemo::tracemodule;

namespace {

std::string_view View(const char* text) { return text ? std::string_view(text) : std::string_view(); }

template <typename Result, typename Fn>
Result Guarded(Result failure, Fn&& fn) noexcept {
    try {
        return fn();
    } catch (...) {
        return failure;
    }
}

template <typename Fn>
void GuardedVoid(Fn&& fn) noexcept {
    try {
        fn();
    } catch (...) {
    }
}

int Dump(int level, const char* category, const char* entry, const void* data, unsigned int size) {
    if (!category || (!data && size > 0)) return kInvalidArgument;
    TraceSystem& system = GetTraceSystem();
    // The dump text costs more than the question.
    if (!system.ShouldTraceCategory(level, category)) return kOk;
    return system.Write(level, category, HexDumpText(View(entry), static_cast<const unsigned char*>(data), size));
}

}  // namespace

extern "C" {

int WINAPI ExpInitTraceSystem() {
    return Guarded<int>(kInternalError, [] {
        GetTraceSystem().EnsureConfigured();
        return kOk;
    });
}

// Flushes first: ExpDone is the program's last word to the module.
int WINAPI ExpDoneTraceSystem() {
    return Guarded<int>(kInternalError, [] {
        GetTraceSystem().CloseSinks();
        return kOk;
    });
}

// Beyond the 22: the program binds these when present and works without them.
int WINAPI ExpFlushTraceSystem() {
    return Guarded<int>(kInternalError, [] {
        if (TraceSystem* system = ExistingTraceSystem()) system->Flush();
        return kOk;
    });
}

const volatile LONG* WINAPI ExpGetTraceSettingsGeneration() {
    return Guarded<const volatile LONG*>(nullptr, [] { return GetTraceSystem().SettingsGeneration(); });
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved) {
    // Process exit (reserved set): the writer threads were ended before this call and the loader
    // lock is held, so the detaching thread writes the queue itself. An unload through
    // FreeLibrary cannot come while a writer runs: each writer holds a reference on the module.
    if (reason == DLL_PROCESS_DETACH) {
        if (TraceSystem* system = ExistingTraceSystem()) {
            if (reserved) {
                system->FlushAtProcessExit();
            } else {
                GuardedVoid([&] { system->Flush(); });
            }
        }
    }
    return TRUE;
}

int WINAPI ExpConfigureTrace(const char* /*settings: reserved, the registry is the configuration*/) {
    return Guarded<int>(kInternalError, [] {
        GetTraceSystem().Reconfigure();
        return kOk;
    });
}

int WINAPI ExpWrite(int level, const char* category, const char* text) {
    return Guarded<int>(kInternalError, [&] {
        if (!category || !*category || !text) return static_cast<int>(kInvalidArgument);
        return static_cast<int>(GetTraceSystem().Write(level, category, text));
    });
}

int WINAPI ExpWriteEntry(int level, const char* category, const char* entry, const char* text) {
    return Guarded<int>(kInternalError, [&] {
        if (!category || !*category || !text) return static_cast<int>(kInvalidArgument);
        TraceSystem& system = GetTraceSystem();
        if (!system.ShouldTraceCategory(level, category)) return static_cast<int>(kOk);
        return static_cast<int>(system.Write(level, category, EntryText(View(entry), text)));
    });
}

int WINAPI ExpDump(int level, const char* category, const void* data, unsigned int size) {
    return Guarded<int>(kInternalError, [&] { return Dump(level, category, nullptr, data, size); });
}

int WINAPI ExpDumpEntry(int level, const char* category, const char* entry, const void* data, unsigned int size) {
    return Guarded<int>(kInternalError, [&] { return Dump(level, category, entry, data, size); });
}

bool WINAPI ExpIsTracingEnabled() {
    return Guarded(false, [] { return GetTraceSystem().IsEnabled(); });
}

void WINAPI ExpSetTracingEnabled(bool enabled) {
    GuardedVoid([&] { GetTraceSystem().SetEnabled(enabled); });
}

void WINAPI ExpSetAppTracingLevel(int levelMask) {
    GuardedVoid([&] { GetTraceSystem().SetLevelMask(levelMask); });
}

int WINAPI ExpGetAppTracingLevel() {
    return Guarded(0, [] { return GetTraceSystem().LevelMask(); });
}

bool WINAPI ExpShouldTrace(int level) {
    return Guarded(false, [&] { return GetTraceSystem().ShouldTrace(level); });
}

bool WINAPI ExpShouldTraceCategory(int level, const char* category) {
    return Guarded(false, [&] { return GetTraceSystem().ShouldTraceCategory(level, View(category)); });
}

void WINAPI ExpSetLevel(const char* category, int levelMask) {
    GuardedVoid([&] { GetTraceSystem().SetCategoryMask(View(category), levelMask); });
}

int WINAPI ExpGetLevel(const char* category) {
    return Guarded(0, [&] { return GetTraceSystem().CategoryMask(View(category)); });
}

bool WINAPI ExpListenerExists(const char* listener) {
    return Guarded(false, [&] { return listener && GetTraceSystem().ListenerExists(listener); });
}

int WINAPI ExpAddListener(const char* listener, const char* category) {
    return Guarded<int>(kInternalError, [&] {
        if (!listener) return static_cast<int>(kInvalidArgument);
        return static_cast<int>(GetTraceSystem().RestrictListener(listener, View(category)));
    });
}

int WINAPI ExpAddConsoleListener(const char* category) {
    return Guarded<int>(kInternalError,
                        [&] { return static_cast<int>(GetTraceSystem().AddConsoleListener(View(category))); });
}

int WINAPI ExpAddTextfileListener(const char* category, const char* path) {
    return Guarded<int>(kInternalError,
                        [&] { return static_cast<int>(GetTraceSystem().AddFileListener(View(category), View(path))); });
}

int WINAPI ExpRemoveListenerCategory(const char* listener, const char* category) {
    return Guarded<int>(kInternalError, [&] {
        if (!listener || !category) return static_cast<int>(kInvalidArgument);
        return static_cast<int>(GetTraceSystem().RemoveListenerCategory(listener, category));
    });
}

int WINAPI ExpRemoveListener(const char* listener) {
    return Guarded<int>(kInternalError, [&] {
        if (!listener) return static_cast<int>(kInvalidArgument);
        return static_cast<int>(GetTraceSystem().RemoveListener(listener));
    });
}

int WINAPI ExpRemoveCategory(const char* category) {
    return Guarded<int>(kInternalError, [&] {
        if (!category) return static_cast<int>(kInvalidArgument);
        return static_cast<int>(GetTraceSystem().RemoveCategory(category));
    });
}

int WINAPI ExpRemoveAllCategories() {
    return Guarded<int>(kInternalError, [] {
        GetTraceSystem().RemoveAllCategories();
        return kOk;
    });
}

}  // extern "C"

// The program binds these through the shared pointer types; a drifting signature fails here.
static_assert(std::is_same_v<decltype(&ExpWrite), PFN_ExpWrite>);
static_assert(std::is_same_v<decltype(&ExpWriteEntry), PFN_ExpWriteEntry>);
static_assert(std::is_same_v<decltype(&ExpDump), PFN_ExpDump>);
static_assert(std::is_same_v<decltype(&ExpDumpEntry), PFN_ExpDumpEntry>);
static_assert(std::is_same_v<decltype(&ExpConfigureTrace), PFN_ExpConfigureTrace>);
static_assert(std::is_same_v<decltype(&ExpIsTracingEnabled), PFN_ExpIsTracingEnabled>);
static_assert(std::is_same_v<decltype(&ExpSetTracingEnabled), PFN_ExpSetTracingEnabled>);
static_assert(std::is_same_v<decltype(&ExpSetAppTracingLevel), PFN_ExpSetAppTracingLevel>);
static_assert(std::is_same_v<decltype(&ExpGetAppTracingLevel), PFN_ExpGetAppTracingLevel>);
static_assert(std::is_same_v<decltype(&ExpShouldTrace), PFN_ExpShouldTrace>);
static_assert(std::is_same_v<decltype(&ExpShouldTraceCategory), PFN_ExpShouldTraceCategory>);
static_assert(std::is_same_v<decltype(&ExpSetLevel), PFN_ExpSetLevel>);
static_assert(std::is_same_v<decltype(&ExpGetLevel), PFN_ExpGetLevel>);
static_assert(std::is_same_v<decltype(&ExpListenerExists), PFN_ExpListenerExists>);
static_assert(std::is_same_v<decltype(&ExpAddListener), PFN_ExpAddListener>);
static_assert(std::is_same_v<decltype(&ExpAddConsoleListener), PFN_ExpAddConsoleListener>);
static_assert(std::is_same_v<decltype(&ExpAddTextfileListener), PFN_ExpAddTextfileListener>);
static_assert(std::is_same_v<decltype(&ExpRemoveListenerCategory), PFN_ExpRemoveListenerCategory>);
static_assert(std::is_same_v<decltype(&ExpRemoveListener), PFN_ExpRemoveListener>);
static_assert(std::is_same_v<decltype(&ExpRemoveCategory), PFN_ExpRemoveCategory>);
static_assert(std::is_same_v<decltype(&ExpRemoveAllCategories), PFN_ExpRemoveAllCategories>);
static_assert(std::is_same_v<decltype(&ExpDoneTraceSystem), PFN_ExpDoneTraceSystem>);
static_assert(std::is_same_v<decltype(&ExpInitTraceSystem), PFN_ExpInitTraceSystem>);
static_assert(std::is_same_v<decltype(&ExpFlushTraceSystem), PFN_ExpFlushTraceSystem>);
static_assert(std::is_same_v<decltype(&ExpGetTraceSettingsGeneration), PFN_ExpGetTraceSettingsGeneration>);
