// Started by the process-start tests: leaves evidence of how it was started and, when asked,
// stays alive until the test lets it go. The windowed build waits in a message loop, so that
// the starter's readiness wait sees it idle.
#include <windows.h>

#include <string>

#include "ThreadControlChildProtocol.h"
#include "common/UniqueHandle.h"

namespace {

using namespace vemo::test::tcchild;

std::wstring Variable(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
    return length < ARRAYSIZE(value) ? std::wstring(value, length) : std::wstring();
}

bool WriteWhole(const std::wstring& path, const std::wstring& content) {
    const std::wstring temporary = path + L".tmp";
    {
        const vemo::unique_hfile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        const DWORD bytes = static_cast<DWORD>(content.size() * sizeof(wchar_t));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), content.data(), bytes, &written, nullptr) || written != bytes) return false;
    }
    return ::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// True when the event was set within a minute.
bool WaitForQuit(HANDLE quit) {
#ifdef VEMO_CHILD_WITH_MESSAGE_QUEUE
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    for (ULONGLONG now = ::GetTickCount64(); now < deadline; now = ::GetTickCount64()) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
        const DWORD result = ::MsgWaitForMultipleObjects(1, &quit, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (result != WAIT_OBJECT_0 + 1) return result == WAIT_OBJECT_0;
    }
    return false;
#else
    return ::WaitForSingleObject(quit, 60000) == WAIT_OBJECT_0;
#endif
}

int Run() {
#ifdef VEMO_CHILD_WITH_MESSAGE_QUEUE
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the thread's message queue
#endif
    const std::wstring evidence = Variable(kEvidenceVariable);
    STARTUPINFOW startup{.cb = sizeof(startup)};
    ::GetStartupInfoW(&startup);
    const std::wstring started = std::wstring(::GetCommandLineW()) + L"\n" + std::to_wstring(startup.dwFlags) + L" " +
                                 std::to_wstring(startup.wShowWindow);
    if (evidence.empty() || !WriteWhole(evidence, started)) return 2;
    const std::wstring quitName = Variable(kQuitEventVariable);
    if (quitName.empty()) return 0;
    const vemo::unique_handle quit(::OpenEventW(SYNCHRONIZE, FALSE, quitName.c_str()));
    return WriteWhole(evidence + kDoneSuffix, quit && WaitForQuit(quit.get()) ? kSignalled : L"timed out") ? 0 : 3;
}

}  // namespace

#ifdef VEMO_CHILD_WITH_MESSAGE_QUEUE
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return Run(); }
#else
int wmain() { return Run(); }
#endif
