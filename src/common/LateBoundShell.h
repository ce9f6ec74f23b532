#pragma once
// The shell32 functions that the product calls, bound on their first call (see LateBoundApi.h).
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "common/LateBoundApi.h"

namespace vemo::late {
namespace detail {

inline constexpr wchar_t kShell32[] = L"shell32.dll";
inline constexpr char kSHGetFolderPathA[] = "SHGetFolderPathA";
inline constexpr char kSHGetKnownFolderPath[] = "SHGetKnownFolderPath";
inline constexpr char kCommandLineToArgvW[] = "CommandLineToArgvW";

}  // namespace detail

inline HRESULT SHGetFolderPathA(HWND window, int csidl, HANDLE token, DWORD flags, LPSTR path) noexcept {
    auto* fn = detail::Bound<decltype(::SHGetFolderPathA), detail::kShell32, detail::kSHGetFolderPathA>();
    return fn ? fn(window, csidl, token, flags, path) : E_UNEXPECTED;
}
inline HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folder, DWORD flags, HANDLE token, PWSTR* path) noexcept {
    auto* fn = detail::Bound<decltype(::SHGetKnownFolderPath), detail::kShell32, detail::kSHGetKnownFolderPath>();
    if (fn) return fn(folder, flags, token, path);
    if (path) *path = nullptr;
    return E_UNEXPECTED;
}
inline LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* count) noexcept {
    auto* fn = detail::Bound<decltype(::CommandLineToArgvW), detail::kShell32, detail::kCommandLineToArgvW>();
    return fn ? fn(commandLine, count) : nullptr;
}

}  // namespace vemo::late
