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
    bool HasInfo(const std::wstring& text) const { return Has(0, text); }  // the whole line
    bool HasError(const std::wstring& text) const { return Has(1, text); }
    bool HasContaining(const std::wstring& part) const { return Has(-1, part); }
    std::wstring Dump() const;  // for failure messages

private:
    bool Has(int kind, const std::wstring& text) const;  // kind: 0 info, 1 error, -1 any containing
};

}  // namespace vemo::test
