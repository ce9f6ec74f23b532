#pragma once
// What the test program and its child program agree on. The child learns everything from its
// environment, which it inherits, so that its command line stays exactly what the start built.
namespace vemo::test::tcchild {
// File the child writes, complete (under a temporary name, then renamed): its command line, then
// "<dwFlags> <wShowWindow>" of its startup information, then kSignalled or "timed out" for the
// event named by kQuitEventVariable, which it first waits for (a minute at most) when one is named.
inline constexpr wchar_t kEvidenceVariable[] = L"VEMO_TC_CHILD_EVIDENCE";
inline constexpr wchar_t kQuitEventVariable[] = L"VEMO_TC_CHILD_QUIT_EVENT";
inline constexpr wchar_t kSignalled[] = L"signalled";
}  // namespace vemo::test::tcchild
