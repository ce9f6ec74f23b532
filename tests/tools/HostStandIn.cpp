// Stands in for the user-session host in the check tool's tests: it only has to exist as a
// process of that name until the test ends it.
#include <windows.h>

namespace {
// Bounded, so a test that dies early leaves nothing behind for long.
constexpr DWORD kLifetimeMs = 60000;
}

int wmain() {
    ::Sleep(kLifetimeMs);
    return 0;
}
