#pragma once
// ConfigDB's trace lines through its trace callback, for the life of the object: "I text" for
// an INFO line, "E text" for an ERROR line.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "configdb/ConfigDB.h"

namespace vemo::test {

class ConfigDbLines {
public:
    ConfigDbLines() {
        Clear();
        CDB_SetTraceCallback(&Record);
    }
    ~ConfigDbLines() { CDB_SetTraceCallback(nullptr); }
    ConfigDbLines(const ConfigDbLines&) = delete;
    ConfigDbLines& operator=(const ConfigDbLines&) = delete;
    std::vector<std::wstring> Lines() const {
        std::lock_guard lock(s_lock);
        return s_lines;
    }
    void Clear() {
        std::lock_guard lock(s_lock);
        s_lines.clear();
    }
    bool Has(const std::wstring& line) const {  // the whole line
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool HasContaining(const std::wstring& part) const {
        const auto lines = Lines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& line) { return line.find(part) != line.npos; });
    }
    std::wstring Dump() const {  // for failure messages
        std::wstring text;
        for (const auto& line : Lines()) text += L"  " + line + L"\n";
        return text;
    }

private:
    static void Record(bool isError, const wchar_t* text) {
        std::lock_guard lock(s_lock);
        s_lines.push_back((isError ? L"E " : L"I ") + std::wstring(text ? text : L""));
    }
    inline static std::mutex s_lock;
    inline static std::vector<std::wstring> s_lines;
};

}  // namespace vemo::test
