#include "MiniJson.h"

#include <cctype>
#include <cstdlib>

namespace vemo::test {

namespace {

const JsonValue kNullValue{};

class Parser {
public:
    explicit Parser(const std::string& text) : m_text(text) {}

    bool ParseDocument(JsonValue& out) {
        if (!ParseValue(out)) return false;
        SkipSpace();
        return m_pos == m_text.size();
    }

private:
    void SkipSpace() {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
    }
    bool Take(char c) {
        SkipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool Word(const char* word) {
        const std::string w(word);
        if (m_text.compare(m_pos, w.size(), w) != 0) return false;
        m_pos += w.size();
        return true;
    }
    bool ParseString(std::string& out) {
        if (!Take('"')) return false;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;  // raw control characters are not JSON
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size()) return false;
            const char e = m_text[m_pos++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    if (m_pos + 4 > m_text.size()) return false;
                    const long code = std::strtol(m_text.substr(m_pos, 4).c_str(), nullptr, 16);
                    m_pos += 4;
                    if (code >= 0x80) return false;  // the tool escapes control characters only
                    out += static_cast<char>(code);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }
    bool ParseValue(JsonValue& out) {
        SkipSpace();
        if (m_pos >= m_text.size()) return false;
        const char c = m_text[m_pos];
        if (c == '{') {
            ++m_pos;
            out.kind = JsonValue::Kind::kObject;
            if (Take('}')) return true;
            do {
                std::string key;
                SkipSpace();
                if (!ParseString(key) || !Take(':')) return false;
                if (!ParseValue(out.members[key])) return false;
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            ++m_pos;
            out.kind = JsonValue::Kind::kArray;
            if (Take(']')) return true;
            do {
                out.items.emplace_back();
                if (!ParseValue(out.items.back())) return false;
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            out.kind = JsonValue::Kind::kString;
            return ParseString(out.text);
        }
        if (Word("true") || Word("false")) {
            out.kind = JsonValue::Kind::kBool;
            out.boolean = m_text[m_pos - 1] == 'e' && m_text[m_pos - 2] == 'u';
            return true;
        }
        if (Word("null")) return true;
        char* end = nullptr;
        out.number = std::strtoll(m_text.c_str() + m_pos, &end, 10);
        if (end == m_text.c_str() + m_pos) return false;
        out.kind = JsonValue::Kind::kNumber;
        m_pos = static_cast<size_t>(end - m_text.c_str());
        return true;
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
    const auto it = members.find(key);
    return it == members.end() ? kNullValue : it->second;
}

const JsonValue& JsonValue::operator[](size_t index) const {
    return index < items.size() ? items[index] : kNullValue;
}

std::optional<JsonValue> ParseJson(const std::string& text) {
    JsonValue value;
    if (!Parser(text).ParseDocument(value)) return std::nullopt;
    return value;
}

}  // namespace vemo::test
