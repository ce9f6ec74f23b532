#pragma once
// Finds the plug-in configuration files of the installed components, sizes the process-wide
// descriptor array, lets the configuration reader fill it and starts the loading pass.
// Runs on the initialisation thread before any plug-in thread exists; the globals are not locked.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VeMoHostIntLib/PluginInfo.h"

using PluginFileList = std::vector<std::wstring>;

// All descriptors; the first g_numActivePluginInfo were filled by the reader.
extern std::unique_ptr<CPluginInfo[]> g_vecPluginInfo;
extern int32_t g_numPluginInfo;
extern int32_t g_numActivePluginInfo;
// One initialisation event per active descriptor, same index. The array is owned here; the
// events are closed by the unload sequence.
extern std::unique_ptr<HANDLE[]> g_hPluginsInitialized;

void GetPluginData(bool bLoadInPureMode);
void GetPluginFileList(PluginFileList& fileList);
bool CheckFilename(const wchar_t* pszFileName);
int32_t CountPluginData(PluginFileList fileList);
void LoadPluginData(bool bLoadInSystemKontext, bool bLoadInPureMode, PluginFileList fileList);
// True when an earlier loaded descriptor describes the same plug-in as descriptor idx.
bool IsAlreadyLoaded(int32_t idx);
