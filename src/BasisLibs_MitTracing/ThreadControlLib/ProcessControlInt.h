#pragma once
// The process start behind the public forms of ProcessControl.h.
#include <windows.h>

#include <cstddef>
#include <string>

namespace ThreadControl {

// Split buffers of the absolute-path test (characters, terminator included).
constexpr size_t kDriveChars = 3;
constexpr size_t kDirectoryChars = 256;
constexpr size_t kFileNameChars = 256;
constexpr size_t kExtensionChars = 256;

// Lengths of the parts of a path as _wsplitpath cuts it: a drive only as "X:" at the start, the
// directory up to the last separator, the extension from the last dot of the rest.
struct PathParts {
    size_t drive = 0;
    size_t directory = 0;
    size_t fileName = 0;
    size_t extension = 0;
};

// Done by hand: the CRT's checked split reports an overlong part to the invalid-parameter
// handler, which would write a mini-dump.
PathParts _SplitPath(const wchar_t* pszPath);

// Checks and quotes the program, builds "<quoted program> <parameters>", creates the process and
// waits a bounded time for it to become ready for input. Returns a kStartProcess* code.
DWORD _StartProcess(const wchar_t* pszProgram, const wchar_t* pszParameters, const STARTUPINFOW* pStartupInfo);

// The runtime's multibyte-to-wide conversion; empty (and a trace line) when it fails.
std::wstring ConvertToUnicode(const char* pszText);

}  // namespace ThreadControl
