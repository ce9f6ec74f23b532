#pragma once
// Category and listener names are ISO 8859-1 bytes compared without regard to case, as the
// registry compares its value names.
#include <string>
#include <string_view>

namespace vemo::tracemodule {

// Lower case of one ISO 8859-1 byte: A-Z and the accented capitals 0xC0-0xDE (not 0xD7, the sign).
constexpr unsigned char FoldLatin1(unsigned char c) noexcept {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<unsigned char>(c + 0x20);
    return c;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldLatin1(static_cast<unsigned char>(a[i])) != FoldLatin1(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

// Ordering for maps keyed by name; transparent so a lookup needs no copy of the name.
struct LessNoCase {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        const size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i) {
            const unsigned char x = FoldLatin1(static_cast<unsigned char>(a[i]));
            const unsigned char y = FoldLatin1(static_cast<unsigned char>(b[i]));
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

// ISO 8859-1 bytes of a wide text; false if a character does not fit into one byte.
inline bool WideToLatin1(std::wstring_view wide, std::string& out) {
    out.clear();
    out.reserve(wide.size());
    for (wchar_t c : wide) {
        if (static_cast<unsigned>(c) > 0xFF) return false;
        out.push_back(static_cast<char>(static_cast<unsigned char>(c)));
    }
    return true;
}

}  // namespace vemo::tracemodule
