#pragma once
// ConfigDB's trace lines through its trace callback, for the life of the object: "I text" for
// an INFO line, "E text" for an ERROR line.
#include <string>
#include <vector>

namespace vemo::test {

class ConfigDbLines {
public:
    ConfigDbLines();
    ~ConfigDbLines();
    ConfigDbLines(const ConfigDbLines&) = delete;
    ConfigDbLines& operator=(const ConfigDbLines&) = delete;
    std::vector<std::wstring> Lines() const;
    void Clear();
    bool Has(const std::wstring& line) const;  // the whole line
    bool HasContaining(const std::wstring& part) const;
    std::wstring Dump() const;  // for failure messages
};

}  // namespace vemo::test
