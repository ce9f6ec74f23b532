#pragma once
// The window class of the user-session host, VeMoHost.exe: whoever ends a host by a message looks
// for this window, not for any top-level window of the process (Wine gives GUI threads an IME window).
namespace vemo {
inline constexpr wchar_t kHostWindowClass[] = L"VeMoHostWindow";
}  // namespace vemo
