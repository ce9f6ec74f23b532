#pragma once
// What the test program and its child programs agree on. The child learns everything from its
// environment, which it inherits, so that its command line stays exactly what the start built.
namespace vemo::test::tcchild {
// File the child writes: its command line, a line break, then "<dwFlags> <wShowWindow>" of its
// startup information. Written under a temporary name and renamed, so it appears complete.
inline constexpr wchar_t kEvidenceVariable[] = L"VEMO_TC_CHILD_EVIDENCE";
// Optional: name of an event the child waits for (a minute at most) before it ends; it then
// writes the evidence file's name with kDoneSuffix, holding kSignalled or "timed out".
inline constexpr wchar_t kQuitEventVariable[] = L"VEMO_TC_CHILD_QUIT_EVENT";
inline constexpr wchar_t kDoneSuffix[] = L".done";
inline constexpr wchar_t kSignalled[] = L"signalled";
}  // namespace vemo::test::tcchild
