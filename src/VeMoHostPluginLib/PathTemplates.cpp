#include "VeMoHostPluginLib/PathTemplates.h"

#include <windows.h>

#include <cstdio>

#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBModules.h"

namespace {

struct PathTemplate {
    int kind;
    const char* opening;  // lower case
    const char* closing;  // lower case; null when the mark takes no argument
};

// Applied in this order: a value that holds the mark of a later row is expanded by that row.
constexpr PathTemplate kTemplates[] = {
    {kPathTemplateProgramName, "{pname}", nullptr},
    {kPathTemplateProcessId, "{pid}", nullptr},
    {kPathTemplateCategory, "{cat}", nullptr},
    {kPathTemplateDateYearFirst, "{datejjjjmmtt}", nullptr},
    {kPathTemplateDateDayFirst, "{datettmmjjjj}", nullptr},
    {kPathTemplateTraceLogDir, "{tracelogdir}", nullptr},
    {kPathTemplateLogDir, "{logdir(", ")}"},
    {kPathTemplateKonfigDir, "{konfigdir(", ")}"},
    {kPathTemplateProgramDir, "{programdir(", ")}"},
};

constexpr char kProcessIdFormat[] = "%d";
constexpr char kDateYearFirstFormat[] = "%04d%02d%02d";
constexpr char kDateDayFirstFormat[] = "%02d%02d%04d";
constexpr size_t kNumberBufferSize = 32;

std::string LowerAscii(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// Narrow printf with %d only: no wide arguments, so the C99 stdio of MinGW is fine here.
template <typename... Args>
std::string FormatNumbers(const char* pszFormat, Args... args) {
    char buffer[kNumberBufferSize] = {};
    std::snprintf(buffer, sizeof(buffer), pszFormat, args...);
    return buffer;
}

}  // namespace

bool ExpandPathTemplate(int iKind, const std::string& strCategory, const std::string& strArgument,
                        std::string& strValue) {
    SYSTEMTIME now{};
    switch (iKind) {
        case kPathTemplateProgramName:
            strValue = configdb::_GetModuleFileTitle(nullptr, false);
            return true;
        case kPathTemplateProcessId:
            strValue = FormatNumbers(kProcessIdFormat, static_cast<int>(::GetCurrentProcessId()));
            return true;
        case kPathTemplateCategory:
            strValue = strCategory;
            return true;
        case kPathTemplateDateYearFirst:
            ::GetLocalTime(&now);
            strValue = FormatNumbers(kDateYearFirstFormat, now.wYear, now.wMonth, now.wDay);
            return true;
        case kPathTemplateDateDayFirst:
            ::GetLocalTime(&now);
            strValue = FormatNumbers(kDateDayFirstFormat, now.wDay, now.wMonth, now.wYear);
            return true;
        case kPathTemplateTraceLogDir:
            strValue = CDB_GetLogDir(CDB_COMPONENT_VEMO_COMPACT, true);
            return true;
        case kPathTemplateLogDir:
            strValue = CDB_GetLogDir(strArgument, true);
            return true;
        case kPathTemplateKonfigDir:
            strValue = CDB_GetKonfigDir(strArgument);
            return true;
        case kPathTemplateProgramDir:
            strValue = CDB_GetProgDir(strArgument, false);
            return true;
        default:
            return false;
    }
}

bool ExpandPathTemplates(std::string& strPath, const std::string& strCategory) {
    for (const PathTemplate& row : kTemplates) {
        const std::string opening = row.opening;
        // Searching resumes behind what the row last inserted or skipped, never before it:
        // a value holding its own mark, or a mark without its closing mark, would otherwise be
        // found again for ever. The text in front is unchanged, so nothing there is missed.
        size_t from = 0;
        for (;;) {
            const std::string search = LowerAscii(strPath);
            const size_t start = search.find(opening, from);
            if (start == std::string::npos) break;

            size_t end = start + opening.size();
            std::string argument;
            if (row.closing) {
                const size_t close = search.find(row.closing, end);
                if (close == std::string::npos) {
                    from = end;  // unclosed: the mark stays as written
                    continue;
                }
                argument = search.substr(end, close - end);
                end = close + std::char_traits<char>::length(row.closing);
            }

            std::string value;
            ExpandPathTemplate(row.kind, strCategory, argument, value);
            strPath.replace(start, end - start, value);
            from = start + value.size();
        }
    }
    return true;
}
