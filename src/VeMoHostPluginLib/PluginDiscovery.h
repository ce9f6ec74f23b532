#pragma once
// Finds the plug-in configuration files of the installed components, sizes the process-wide
// descriptor array, lets the configuration reader fill it and starts the loading pass.
// Runs on the initialisation thread before any plug-in thread exists.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VeMoHostIntLib/PluginInfo.h"
#include "VeMoHostPluginLib/PluginHostState.h"
#include "common/ProductIds.h"

using PluginFileList = std::vector<std::wstring>;

// Components whose configuration directories hold plug-in files, in the order they are read.
inline constexpr const wchar_t* kPluginComponentIds[] = {vemo::kProductComponentId, vemo::kBasisComponentId};
inline constexpr wchar_t kPluginFilePattern[] = L"B???????.xml";
// The name test of CheckFilename: 12 characters, an 8-character base name, ".xml".
inline constexpr size_t kPluginFileNameChars = 12;
inline constexpr size_t kPluginFileBaseChars = 8;
inline constexpr wchar_t kPluginFileExtension[] = L".xml";

void GetPluginData(bool bLoadInPureMode);
void GetPluginFileList(PluginFileList& fileList);
// The files of one configuration directory (ending in a separator) that pass CheckFilename, in
// the order of the directory search.
void AppendPluginFiles(const std::wstring& directory, PluginFileList& fileList);
bool CheckFilename(const wchar_t* pszFileName);
int32_t CountPluginData(PluginFileList fileList);
void LoadPluginData(bool bLoadInSystemKontext, bool bLoadInPureMode, PluginFileList fileList);
// True when an earlier loaded descriptor describes the same plug-in as descriptor idx.
bool IsAlreadyLoaded(int32_t idx);
