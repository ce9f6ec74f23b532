// Holds the test prefix's session open for a whole test run. Wine starts its system processes
// (services, desktop, device hosts) from the first program of a session, and they inherit that
// program's output. When a test program was first, the test runner kept waiting for its output to
// close until every other test had ended. Started first, with its output discarded, this program
// owns the session instead; the run's last step ends the prefix's server and with it this program.
// Once the desktop is up (told by the readiness program) it joins the desktop, so Wine keeps the
// desktop process for the whole run.
#include <windows.h>

#include "SessionNames.h"
#include "common/UniqueHandle.h"

int main() {
    const vemo::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, vemo::test::kDesktopReadyEvent));
    if (ready && ::WaitForSingleObject(ready.get(), INFINITE) == WAIT_OBJECT_0) ::GetDesktopWindow();
    ::Sleep(INFINITE);
    return 0;
}
