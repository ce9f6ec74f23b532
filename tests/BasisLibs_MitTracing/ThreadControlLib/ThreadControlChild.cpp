// Started by the process-start tests: leaves evidence of how it was started and, when asked,
// stays alive until the test lets it go. The windowed build waits in a message loop, so that
// the starter's readiness wait sees it idle.
#include <windows.h>

#include <string>

#include "ThreadControlChildProtocol.h"
#include "common/UniqueHandle.h"

namespace {

using namespace vemo::test::tcchild;

constexpr size_t kVariableChars = 1024;
constexpr wchar_t kLineBreak[] = L"\n";
constexpr wchar_t kBlank[] = L" ";

std::wstring Variable(const wchar_t* name) {
    wchar_t value[kVariableChars] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, kVariableChars);
    return length > 0 && length < kVariableChars ? std::wstring(value, length) : std::wstring();
}

bool WriteWhole(const std::wstring& path, const std::wstring& content) {
    const std::wstring temporary = path + kTemporarySuffix;
    {
        const vemo::unique_hfile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        const DWORD bytes = static_cast<DWORD>(content.size() * sizeof(wchar_t));
        DWORD written = 0;
        if (!::WriteFile(file.get(), content.data(), bytes, &written, nullptr) || written != bytes) return false;
    }
    return ::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// True when the event was set, false when the bound passed first.
bool WaitForQuit(HANDLE quit) {
#ifdef VEMO_CHILD_WITH_MESSAGE_QUEUE
    const ULONGLONG deadline = ::GetTickCount64() + kQuitWaitMs;
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        const DWORD result = ::MsgWaitForMultipleObjects(1, &quit, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) return true;
        if (result != WAIT_OBJECT_0 + 1) return false;
    }
#else
    return ::WaitForSingleObject(quit, kQuitWaitMs) == WAIT_OBJECT_0;
#endif
}

int Run() {
#ifdef VEMO_CHILD_WITH_MESSAGE_QUEUE
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the thread's message queue
#endif
    const std::wstring evidence = Variable(kEvidenceVariable);
    if (evidence.empty()) return kExitNoEvidenceVariable;

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    const std::wstring content = std::wstring(::GetCommandLineW()) + kLineBreak + std::to_wstring(startup.dwFlags) +
                                 kBlank + std::to_wstring(startup.wShowWindow);
    if (!WriteWhole(evidence, content)) return kExitWriteFailed;

    const std::wstring quitName = Variable(kQuitEventVariable);
    if (quitName.empty()) return 0;
    const vemo::unique_handle quit(::OpenEventW(SYNCHRONIZE, FALSE, quitName.c_str()));
    const bool signalled = quit && WaitForQuit(quit.get());
    return WriteWhole(evidence + kDoneSuffix, signalled ? kSignalled : kTimedOut) ? 0 : kExitWriteFailed;
}

}  // namespace

#ifdef VEMO_CHILD_WITH_MESSAGE_QUEUE
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return Run(); }
#else
int wmain() { return Run(); }
#endif
