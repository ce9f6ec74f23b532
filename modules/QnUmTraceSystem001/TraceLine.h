#pragma once
// The bytes of one trace record:
//   YYYY-MM-DD HH:MM:SS.mmm <TAB> pid <TAB> tid <TAB> level <TAB> category <TAB> text CR LF
// local time, decimal numbers, the text exactly as given (it may hold line breaks of its own).
#include <string>
#include <string_view>

namespace vemo::tracemodule {

// Appends one whole record to out.
void AppendRecord(std::string& out, int level, std::string_view category, std::string_view text);

// "<header>: <text>", or the text alone when the header is empty.
std::string EntryText(std::string_view entry, std::string_view text);

// "[<entry>: ]<n> Bytes" and then 16 bytes a line: offset, hex bytes, printable characters.
std::string HexDumpText(std::string_view entry, const unsigned char* data, size_t size);

}  // namespace vemo::tracemodule
