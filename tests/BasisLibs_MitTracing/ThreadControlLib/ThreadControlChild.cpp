// Started by the process-start tests: leaves evidence of how it was started and, when asked,
// stays alive until the test lets it go.
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

}  // namespace

int wmain() {
    const std::wstring evidence = Variable(kEvidenceVariable);
    STARTUPINFOW startup{.cb = sizeof(startup)};
    ::GetStartupInfoW(&startup);
    const std::wstring started = std::wstring(::GetCommandLineW()) + L"\n" + std::to_wstring(startup.dwFlags) + L" " +
                                 std::to_wstring(startup.wShowWindow);
    if (evidence.empty() || !WriteWhole(evidence, started)) return 2;
    const std::wstring quitName = Variable(kQuitEventVariable);
    if (quitName.empty()) return 0;
    const vemo::unique_handle quit(::OpenEventW(SYNCHRONIZE, FALSE, quitName.c_str()));
    const bool signalled = quit && ::WaitForSingleObject(quit.get(), 60000) == WAIT_OBJECT_0;
    return WriteWhole(evidence + kDoneSuffix, signalled ? kSignalled : L"timed out") ? 0 : 3;
}

