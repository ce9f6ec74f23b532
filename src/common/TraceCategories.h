#pragma once
// Categories that name the writer of a trace line.
namespace vemo {
inline constexpr wchar_t kCategoryVHService[] = L"VHService";
inline constexpr wchar_t kCategoryVeMoHost[] = L"VeMoHost";
inline constexpr wchar_t kCategoryVeMoHostCommon[] = L"VeMoHost.Common";
inline constexpr wchar_t kCategoryThreadControl[] = L"VeMo.ThreadControl";
}  // namespace vemo
