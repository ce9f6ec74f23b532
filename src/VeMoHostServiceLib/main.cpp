#include <windows.h>

#include <cstdlib>

#include "common/DllSearch.h"
#include "VeMoHostServiceLib/EntryPoint.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow) {
    vemo::RemoveCurrentDirectoryFromDllSearch();
    return RunEntryPoint(__argc, __wargv, lpCmdLine, nCmdShow);
}
