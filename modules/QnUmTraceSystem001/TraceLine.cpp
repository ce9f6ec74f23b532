#include "TraceLine.h"

#include <windows.h>

#include <charconv>

namespace vemo::tracemodule {
namespace {

constexpr char kFieldSeparator = '\t';
constexpr char kLineEnd[] = "\r\n";
constexpr char kEntrySeparator[] = ": ";
constexpr char kDumpUnit[] = " Bytes";
constexpr char kDumpCutOpen[] = " (gekürzt auf ";  // "70000 Bytes (gekürzt auf 65536 Bytes)"
constexpr char kDumpCutClose[] = ")";
constexpr size_t kDumpBytesPerLine = 16;
constexpr int kDumpOffsetDigits = 8;
constexpr char kDumpColumnGap[] = "  ";
constexpr char kDumpMissingByte[] = "  ";  // keeps the character column of a short last line aligned
constexpr char kDumpUnprintable = '.';
// A dump larger than this is cut: a trace file is no place for whole files.
constexpr size_t kDumpMaxBytes = 64 * 1024;
constexpr char kHexDigits[] = "0123456789ABCDEF";
// A control character in a category would break the record's fields apart.
constexpr char kCategoryControlReplacement = '?';

void AppendNumber(std::string& out, unsigned long long value, int width = 0) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    for (int pad = width - static_cast<int>(result.ptr - digits); pad > 0; --pad) out.push_back('0');
    out.append(digits, result.ptr);
}

void AppendSigned(std::string& out, long long value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(digits, result.ptr);
}

void AppendHexByte(std::string& out, unsigned char byte) {
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0xF]);
}

}  // namespace

void AppendRecord(std::string& out, int level, std::string_view category, std::string_view text) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    out.reserve(out.size() + 64 + category.size() + text.size());
    AppendNumber(out, now.wYear, 4);
    out.push_back('-');
    AppendNumber(out, now.wMonth, 2);
    out.push_back('-');
    AppendNumber(out, now.wDay, 2);
    out.push_back(' ');
    AppendNumber(out, now.wHour, 2);
    out.push_back(':');
    AppendNumber(out, now.wMinute, 2);
    out.push_back(':');
    AppendNumber(out, now.wSecond, 2);
    out.push_back('.');
    AppendNumber(out, now.wMilliseconds, 3);
    out.push_back(kFieldSeparator);
    AppendNumber(out, ::GetCurrentProcessId());
    out.push_back(kFieldSeparator);
    AppendNumber(out, ::GetCurrentThreadId());
    out.push_back(kFieldSeparator);
    AppendSigned(out, level);
    out.push_back(kFieldSeparator);
    for (char c : category) {
        out.push_back(static_cast<unsigned char>(c) < ' ' ? kCategoryControlReplacement : c);
    }
    out.push_back(kFieldSeparator);
    out.append(text);
    out.append(kLineEnd);
}

std::string EntryText(std::string_view entry, std::string_view text) {
    std::string result;
    if (!entry.empty()) {
        result.reserve(entry.size() + sizeof(kEntrySeparator) + text.size());
        result.append(entry);
        result.append(kEntrySeparator);
    }
    result.append(text);
    return result;
}

std::string HexDumpText(std::string_view entry, const unsigned char* data, size_t size) {
    const size_t shown = size < kDumpMaxBytes ? size : kDumpMaxBytes;
    std::string header;
    AppendNumber(header, size);
    header.append(kDumpUnit);
    if (shown < size) {
        header.append(kDumpCutOpen);
        AppendNumber(header, shown);
        header.append(kDumpUnit);
        header.append(kDumpCutClose);
    }
    std::string text = EntryText(entry, header);
    for (size_t offset = 0; offset < shown; offset += kDumpBytesPerLine) {
        text.append(kLineEnd);
        for (int digit = kDumpOffsetDigits - 1; digit >= 0; --digit) {
            text.push_back(kHexDigits[(offset >> (4 * digit)) & 0xF]);
        }
        text.append(kDumpColumnGap);
        const size_t count = shown - offset < kDumpBytesPerLine ? shown - offset : kDumpBytesPerLine;
        for (size_t i = 0; i < kDumpBytesPerLine; ++i) {
            if (i > 0) text.push_back(' ');
            if (i < count) {
                AppendHexByte(text, data[offset + i]);
            } else {
                text.append(kDumpMissingByte);
            }
        }
        text.append(kDumpColumnGap);
        for (size_t i = 0; i < count; ++i) {
            const unsigned char c = data[offset + i];
            text.push_back(c >= ' ' && c <= '~' ? static_cast<char>(c) : kDumpUnprintable);
        }
    }
    return text;
}

}  // namespace vemo::tracemodule
