#include <windows.h>

#include <cstdlib>

#include "VeMoHostServiceLib/EntryPoint.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow) {
    return RunEntryPoint(__argc, __wargv, lpCmdLine, nCmdShow);
}
