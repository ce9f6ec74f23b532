#pragma once
// The child learns everything from its environment, so that its command line stays what the start built.
// It waits (a minute at most) for the quit event, then writes its evidence file whole: its command line,
// "<dwFlags> <wShowWindow>" of its startup information, kSignalled or "timed out".
namespace vemo::test::tcchild {
inline constexpr wchar_t kEvidenceVariable[] = L"VEMO_TC_CHILD_EVIDENCE";
inline constexpr wchar_t kQuitEventVariable[] = L"VEMO_TC_CHILD_QUIT_EVENT";
inline constexpr wchar_t kSignalled[] = L"signalled";
}  // namespace vemo::test::tcchild
