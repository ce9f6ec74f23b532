#pragma once
// ConfigDB's trace lines, through its trace callback, for the life of the object.
#include <string>
#include <vector>

namespace vemo::test {

struct ConfigDbLine {
    bool isError;
    std::wstring text;
};

class ConfigDbLines {
public:
    ConfigDbLines();
    ~ConfigDbLines();
    ConfigDbLines(const ConfigDbLines&) = delete;
    ConfigDbLines& operator=(const ConfigDbLines&) = delete;
    std::vector<ConfigDbLine> Lines() const;
    void Clear();
    bool HasInfo(const std::wstring& text) const;  // the whole line
    bool HasError(const std::wstring& text) const;
    bool HasContaining(const std::wstring& part) const;
    std::wstring Dump() const;  // for failure messages
};

}  // namespace vemo::test
