#pragma once
// Starts a program as the user logged on at the desktop: the user's shell is asked, through its
// automation objects, to launch it, so the program inherits the user's session, token and
// environment. Every step needs COM initialised on the calling thread.
#include <windows.h>
#include <shlobj.h>
#include <shldisp.h>

#include "common/UniqueHandle.h"

namespace ThreadControl {

// The launch behind TC_ExecuteProcessAsUserW: true when the shell took it.
bool _ExecuteProcessAsUser(const wchar_t* pszProgram, const wchar_t* pszParameters);

// The automation object of the desktop view's background; the out pointer is replaced on success.
bool GetDesktopAutomationObject(vemo::com_ptr<IShellFolderViewDual>& view);

// The desktop window's active shell view; none while no user's shell shows a desktop.
bool FindDesktopFolderView(vemo::com_ptr<IShellView>& view);

}  // namespace ThreadControl
