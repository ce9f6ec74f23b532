#pragma once
// Where a module lies and what it is called: asked by the trace binding for the trace module's
// directory and by the path templates for the program's name.
#include <windows.h>

#include <string>

namespace configdb {

// Drive and directory of the module (null: the program), with a trailing backslash.
std::string _GetModuleDir(HMODULE hModule);
// The module's file name without directory, with or without its extension.
std::string _GetModuleFileTitle(HMODULE hModule, bool bWithExtension);
// Drive and directory of a module file name, without a leading "\\?\" (the pure step of _GetModuleDir).
std::string ModuleDirFromFileName(const std::string& moduleFileName);
std::string ModuleTitleFromFileName(const std::string& moduleFileName, bool bWithExtension);

}  // namespace configdb
