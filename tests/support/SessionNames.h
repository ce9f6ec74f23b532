#pragma once
// Set by the readiness program once the shell serves the desktop view; the session keeper then
// joins the desktop.
namespace vemo::test {
inline constexpr wchar_t kDesktopReadyEvent[] = L"VemoTestSessionDesktopReady";
}  // namespace vemo::test
