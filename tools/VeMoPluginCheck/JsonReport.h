#pragma once
// The report as one JSON object, for scripts and installers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "CheckModel.h"

namespace vemo::check {

// Writes indented JSON; strings are escaped as JSON requires (quote, backslash, control characters).
class JsonWriter {
public:
    void BeginObject() { Open(L'{'); }
    void EndObject() { Close(L'}'); }
    void BeginArray() { Open(L'['); }
    void EndArray() { Close(L']'); }
    void Key(std::wstring_view key);
    void String(std::wstring_view value);
    void Number(int64_t value);
    void Bool(bool value);
    // A key with its value, the common case.
    void Field(std::wstring_view key, std::wstring_view value) {
        Key(key);
        String(value);
    }
    void Field(std::wstring_view key, const wchar_t* value) {
        Key(key);
        String(value);
    }
    void Field(std::wstring_view key, const std::wstring& value) {
        Key(key);
        String(value);
    }
    void Field(std::wstring_view key, bool value) {
        Key(key);
        Bool(value);
    }
    void Field(std::wstring_view key, int64_t value) {
        Key(key);
        Number(value);
    }
    const std::wstring& Text() const { return m_text; }

    static std::wstring Escape(std::wstring_view value);

private:
    void Open(wchar_t bracket);
    void Close(wchar_t bracket);
    void BeforeValue();
    void NewLine();

    std::wstring m_text;
    std::vector<bool> m_hasItems;  // one per open object or array
    bool m_afterKey = false;
};

std::wstring FormatJsonReport(const CheckReport& report);

}  // namespace vemo::check
