#pragma once
// Just enough of a JSON parser to read the check tool's report in tests: objects, arrays,
// strings with escapes, integers, true/false/null. Parse fails on anything malformed.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vemo::test {

struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
    bool boolean = false;
    int64_t number = 0;
    std::string text;  // UTF-8
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    // Member or item access; a null value when absent, so chains stay safe in assertions.
    const JsonValue& operator[](const std::string& key) const;
    const JsonValue& operator[](size_t index) const;
    size_t size() const { return kind == Kind::kArray ? items.size() : members.size(); }
};

std::optional<JsonValue> ParseJson(const std::string& text);

}  // namespace vemo::test
