#include "ConfigDbLines.h"

#include <mutex>

#include "configdb/ConfigDB.h"

namespace vemo::test {
namespace {
std::mutex g_traceLock;
std::vector<ConfigDbLine> g_traceLines;

void RecordLine(bool isError, const wchar_t* text) {
    std::lock_guard lock(g_traceLock);
    g_traceLines.push_back({isError, text ? text : L""});
}
}  // namespace

ConfigDbLines::ConfigDbLines() {
    Clear();
    CDB_SetTraceCallback(&RecordLine);
}
ConfigDbLines::~ConfigDbLines() { CDB_SetTraceCallback(nullptr); }
std::vector<ConfigDbLine> ConfigDbLines::Lines() const {
    std::lock_guard lock(g_traceLock);
    return g_traceLines;
}
void ConfigDbLines::Clear() {
    std::lock_guard lock(g_traceLock);
    g_traceLines.clear();
}
bool ConfigDbLines::Has(int kind, const std::wstring& text) const {
    for (const auto& line : Lines()) {
        if (kind < 0 ? line.text.find(text) != std::wstring::npos : line.isError == (kind == 1) && line.text == text) {
            return true;
        }
    }
    return false;
}
std::wstring ConfigDbLines::Dump() const {
    std::wstring text;
    for (const auto& line : Lines()) text += (line.isError ? L"  E " : L"  I ") + line.text + L"\n";
    return text;
}
}  // namespace vemo::test
