#pragma once
// The Windows Event Log of the service: one source per service, registered at installation with
// the executable's message table. Events accompany trace lines, they never replace them; a report
// that fails changes nothing else. Tests watch the reports through a sink.
#include <windows.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "EventMessages.h"  // generated: VEMO_EVENT_... IDs

namespace vemo::eventlog {

// The source reports go to, set once the process runs as a service; without one nothing is
// written to the log (the sink still sees every report).
void SetSource(const wchar_t* pszServiceName);

// Reports eventId (a VEMO_EVENT_... ID) with its inserts %1, %2, ... in order.
void Report(DWORD eventId, std::initializer_list<std::wstring_view> inserts);

using Sink = void (*)(DWORD eventId, const std::vector<std::wstring>& inserts);
// Sees every report, before the log; returns the sink set before.
Sink SetSink(Sink sink);

// Sees every report too, for the program's own trace; set by the service, apart from the sink.
Sink SetTraceMirror(Sink mirror);

// The source's registry entry: this executable's message table for the service's events.
bool RegisterSource(const wchar_t* pszServiceName, const wchar_t* pszMessageFile);
bool RemoveSource(const wchar_t* pszServiceName);
// Where the entry of a service lies, below HKEY_LOCAL_MACHINE.
std::wstring SourceKeyPath(const wchar_t* pszServiceName);

}  // namespace vemo::eventlog
