#pragma once
// Loads and frees modules by directory and file name. Holds no state: the module handle lives
// with its owner (the plug-in descriptor), which hands its address in.
#include <windows.h>

#include "common/UniqueHandle.h"

class CLibMgr {
public:
    CLibMgr();
    ~CLibMgr();
    CLibMgr(const CLibMgr&) = delete;
    CLibMgr& operator=(const CLibMgr&) = delete;

    // Loads pszLibraryPath + pszLibraryName into *phModule unless it already holds a module;
    // the module's own dependencies are searched first in its directory. True when *phModule is set.
    // (windows.h maps the name to LoadLibraryW; every caller sees the same mapping.)
    bool LoadLibrary(const wchar_t* pszLibraryName, vemo::unique_hmodule* phModule, const wchar_t* pszLibraryPath);
    // Frees *phModule when set and clears it.
    void UnloadLibrary(vemo::unique_hmodule* phModule);
};
