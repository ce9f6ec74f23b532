#pragma once
// The components this program knows by id, and the text its operations trace when a catch-all
// handler takes an exception.
namespace vemo {
inline constexpr wchar_t kProductComponentId[] = L"B0003810";  // this product, VeMo Compact
inline constexpr wchar_t kBasisComponentId[] = L"B0003811";    // the basis package
inline constexpr wchar_t kDaemonComponentId[] = L"B0003815";   // the daemon component
inline constexpr wchar_t kMsgExceptionIn[] = L"Exception in <%s> aufgetreten!";
}  // namespace vemo
