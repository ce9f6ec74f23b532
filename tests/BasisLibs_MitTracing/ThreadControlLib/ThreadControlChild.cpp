// Started by the process-start tests: leaves evidence of how it was started, after waiting, when
// asked, until the test lets it go.
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

}  // namespace

int wmain() {
    const std::wstring evidence = Variable(kEvidenceVariable), quitName = Variable(kQuitEventVariable);
    if (evidence.empty()) return 2;
    STARTUPINFOW startup{.cb = sizeof(startup)};
    ::GetStartupInfoW(&startup);
    const vemo::unique_handle quit(quitName.empty() ? nullptr : ::OpenEventW(SYNCHRONIZE, FALSE, quitName.c_str()));
    const bool signalled = quit && ::WaitForSingleObject(quit.get(), 60000) == WAIT_OBJECT_0;
    const std::wstring content = std::wstring(::GetCommandLineW()) + L"\n" + std::to_wstring(startup.dwFlags) + L" " +
                                 std::to_wstring(startup.wShowWindow) + L"\n" + (signalled ? kSignalled : L"timed out");
    const std::wstring temporary = evidence + L".tmp";
    {
        const vemo::unique_hfile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        const DWORD bytes = static_cast<DWORD>(content.size() * sizeof(wchar_t));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), content.data(), bytes, &written, nullptr) || written != bytes) return 2;
    }
    return ::MoveFileExW(temporary.c_str(), evidence.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 3;
}
