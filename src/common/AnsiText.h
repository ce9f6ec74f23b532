#pragma once
// Text in the process's ANSI code page, as the narrow Windows functions read it. The C runtime's
// default "C" locale is ISO 8859-1 instead: "€" and the other characters at 0x80-0x9F of code
// page 1252 would come out as other characters. A character the code page cannot hold is refused,
// not replaced by a default or best-fit one.
#include <string>
#include <string_view>

namespace vemo {

// False when the text cannot be converted; an empty text converts to an empty one.
bool AnsiToWide(std::string_view text, std::wstring& wide);
bool WideToAnsi(std::wstring_view text, std::string& narrow);
// For messages only: the text as far as the code page can show it, unknown characters replaced.
std::string WideToAnsiShown(std::wstring_view text);
// UTF-8, for files and consoles that are read as UTF-8; false only for a failed conversion.
bool WideToUtf8(std::wstring_view text, std::string& utf8);

}  // namespace vemo
