#pragma once
// The administrator's switches as read from the registry, with the defaults filled in.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace vemo::tracemodule {

struct TraceConfig {
    bool enabled = true;
    int levelMask = 0;
    std::wstring traceFile;  // environment variables already expanded
    DWORD maxFileBytes = 0;
    DWORD keptFiles = 0;
    std::vector<std::pair<std::string, int>> categoryMasks;  // ISO 8859-1 names
};

// Never fails: what cannot be read takes its default.
TraceConfig ReadTraceConfig();

// The text with %NAME% replaced; the text itself if expansion fails.
std::wstring ExpandEnvironment(const std::wstring& text);

}  // namespace vemo::tracemodule
