// Holds the test prefix's session open for a whole test run. Wine starts its system processes
// (services, desktop, device hosts) from the first program of a session, and they inherit that
// program's output. When a test program was first, the test runner kept waiting for its output to
// close until every other test had ended. Started first, with its output discarded, this program
// owns the session instead; the run's last step ends the prefix's server and with it this program.
// It also asks for the desktop window: Wine then starts its desktop process (explorer, which
// serves the shell's desktop view), and keeps it while a program of the desktop runs.
#include <windows.h>

int main() {
    ::GetDesktopWindow();
    ::Sleep(INFINITE);
    return 0;
}
