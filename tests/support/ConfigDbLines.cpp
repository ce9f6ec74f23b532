#include "ConfigDbLines.h"

#include <algorithm>
#include <mutex>

#include "configdb/ConfigDB.h"

namespace vemo::test {
namespace {
std::mutex g_lock;
std::vector<std::wstring> g_lines;

void RecordLine(bool isError, const wchar_t* text) {
    std::lock_guard lock(g_lock);
    g_lines.push_back((isError ? L"E " : L"I ") + std::wstring(text ? text : L""));
}
}  // namespace

ConfigDbLines::ConfigDbLines() {
    Clear();
    CDB_SetTraceCallback(&RecordLine);
}
ConfigDbLines::~ConfigDbLines() { CDB_SetTraceCallback(nullptr); }
std::vector<std::wstring> ConfigDbLines::Lines() const {
    std::lock_guard lock(g_lock);
    return g_lines;
}
void ConfigDbLines::Clear() {
    std::lock_guard lock(g_lock);
    g_lines.clear();
}
bool ConfigDbLines::Has(const std::wstring& line) const {
    const auto lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
bool ConfigDbLines::HasContaining(const std::wstring& part) const {
    const auto lines = Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& line) { return line.find(part) != std::wstring::npos; });
}
std::wstring ConfigDbLines::Dump() const {
    std::wstring text;
    for (const auto& line : Lines()) text += L"  " + line + L"\n";
    return text;
}
}  // namespace vemo::test
