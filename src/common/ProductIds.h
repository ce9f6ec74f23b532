#pragma once
// The components this program knows by id, its option keys, and the text its operations trace
// when a catch-all handler takes an exception.
namespace vemo {
inline constexpr wchar_t kProductComponentId[] = L"B0003810";  // this product, VeMo Compact
inline constexpr wchar_t kBasisComponentId[] = L"B0003811";    // the basis package
inline constexpr wchar_t kDaemonComponentId[] = L"B0003815";   // the daemon component
// One key under two spellings (the registry ignores case): the debug pause has always been read
// under the first, the crash options under the second.
inline constexpr wchar_t kOptionsKey[] = L"SOFTWARE\\TRUVO VeMo Compact\\Options";
inline constexpr wchar_t kCrashOptionsKey[] = L"Software\\TRUVO VeMo compact\\Options";
inline constexpr wchar_t kMsgExceptionIn[] = L"Exception in <%s> aufgetreten!";
inline constexpr char kMsgExceptionInA[] = "Exception in <%s> aufgetreten!";  // ConfigDB traces narrow text
}  // namespace vemo
