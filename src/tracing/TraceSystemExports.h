#pragma once
// The entry points of the trace module QnUmTraceSystem001.dll, shared by the module and by the
// program's binding. Texts are narrow (ISO 8859-1), levels are the bit values 1, 2, 4, 8, 16.
#include <windows.h>

#define VEMO_TRACE_MODULE_NAME "QnUmTraceSystem001.dll"

extern "C" {
typedef int(WINAPI* PFN_ExpWrite)(int level, const char* category, const char* text);
typedef int(WINAPI* PFN_ExpWriteEntry)(int level, const char* category, const char* entry, const char* text);
typedef int(WINAPI* PFN_ExpDump)(int level, const char* category, const void* data, unsigned int size);
typedef int(WINAPI* PFN_ExpDumpEntry)(int level, const char* category, const char* entry, const void* data,
                                      unsigned int size);
typedef int(WINAPI* PFN_ExpConfigureTrace)(const char* settings);
typedef bool(WINAPI* PFN_ExpIsTracingEnabled)();
typedef void(WINAPI* PFN_ExpSetTracingEnabled)(bool enabled);
typedef void(WINAPI* PFN_ExpSetAppTracingLevel)(int levelMask);
typedef int(WINAPI* PFN_ExpGetAppTracingLevel)();
typedef bool(WINAPI* PFN_ExpShouldTrace)(int level);
typedef bool(WINAPI* PFN_ExpShouldTraceCategory)(int level, const char* category);
typedef void(WINAPI* PFN_ExpSetLevel)(const char* category, int levelMask);
typedef int(WINAPI* PFN_ExpGetLevel)(const char* category);
typedef bool(WINAPI* PFN_ExpListenerExists)(const char* listener);
typedef int(WINAPI* PFN_ExpAddListener)(const char* listener, const char* category);
typedef int(WINAPI* PFN_ExpAddConsoleListener)(const char* category);
typedef int(WINAPI* PFN_ExpAddTextfileListener)(const char* category, const char* path);
typedef int(WINAPI* PFN_ExpRemoveListenerCategory)(const char* listener, const char* category);
typedef int(WINAPI* PFN_ExpRemoveListener)(const char* listener);
typedef int(WINAPI* PFN_ExpRemoveCategory)(const char* category);
typedef int(WINAPI* PFN_ExpRemoveAllCategories)();
typedef int(WINAPI* PFN_ExpDoneTraceSystem)();
typedef int(WINAPI* PFN_ExpInitTraceSystem)();
// Optional: a module without them is still bound. Flush returns once the queued lines are in
// the file; the generation counts every change of switches and masks in this process.
typedef int(WINAPI* PFN_ExpFlushTraceSystem)();
typedef const volatile LONG*(WINAPI* PFN_ExpGetTraceSettingsGeneration)();
}
