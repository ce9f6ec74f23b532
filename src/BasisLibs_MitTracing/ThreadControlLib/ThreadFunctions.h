#pragma once
// Threads with a start-up handshake: the creator returns only when the new thread has copied its
// start data, so that data may live in the creator's stack frame. Every such thread runs its
// function under the crash handling and turns an escaping exception into a trace line and an
// exit code. Also home of the library's trace category.
#include <windows.h>

#include <cstddef>

namespace ThreadControl {

// One pointer-sized parameter, a 32-bit exit code: a plain Win32 thread routine fits.
using ThreadFunction = DWORD(WINAPI*)(void* pParameter);

// Handed from the creator's stack to the new thread; every field points into the creator's frame.
struct ThreadStartData {
    const ThreadFunction* pFunction;
    void* const* pParameter;
    const wchar_t* const* pName;
    HANDLE hSyncEvent;  // none until the creator has made it
};

// Exit codes of a thread started by _CreateThread other than its function's own result.
constexpr DWORD kThreadExitNoStartData = 0;
constexpr DWORD kThreadExitException = 1;
constexpr DWORD kThreadExitSyncEventNotSet = 2;
constexpr DWORD kThreadExitNoFunction = 3;

// The thread keeps its name in this many characters (terminator included); longer names are cut.
constexpr size_t kThreadNameChars = 256;
// The name as debuggers get it: UTF-8 in this many bytes (terminator included), cut on a character boundary.
constexpr size_t kThreadNameUtf8Bytes = 128;
// The library's trace category, terminator included.
constexpr size_t kTraceCategoryChars = 128;

// Starts pfnThreadFunction(pParameter) in a new thread named pszThreadName and returns its handle
// once the thread has taken its data, or nullptr. The caller closes the handle.
[[nodiscard]] HANDLE _CreateThread(ThreadFunction pfnThreadFunction, void* pParameter, const wchar_t* pszThreadName);

// Start routine of every thread made by _CreateThread; pStartData is a ThreadStartData*.
DWORD WINAPI _ThreadFunction(void* pStartData);

// Announces the calling thread's name to a debugger; without one nothing happens.
void _SetThreadName(const wchar_t* pszName);

// Replaces the library's category (cut to kTraceCategoryChars - 1 characters); false for null
// or an unreadable text, and then the category stays as it was.
bool TC_SetTraceCategory(const wchar_t* pszCategory);

// The category every line and scope of the library is written under.
const wchar_t* _GetTraceCategory();

}  // namespace ThreadControl
