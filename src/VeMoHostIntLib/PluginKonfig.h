#pragma once
// Reads one plug-in configuration file and turns each described plug-in into a descriptor.
#include <string>

#include "VeMoHostIntLib/PluginInfo.h"
#include "VeMoHostIntLib/XmlDomBase.h"

class CPluginConfig : public CXmlBase {
public:
    explicit CPluginConfig(const wchar_t* pszFilePath);
    ~CPluginConfig() override;

    // Number of "plugin" elements, ignore rules not applied. Throws CXmlComError without a document.
    int GetNumberOfPluginInfos();
    // Reads at most nMaxCount "plugin" elements; the k-th kept one is copied into
    // (*ppPluginInfo)[k]. Returns how many were filled. Throws CXmlComError on DOM failures.
    int GetPluginInfo(CPluginInfo** ppPluginInfo, int nMaxCount);
    // True when the REG_DWORD value named by "key path\value name" below HKLM is not 0.
    bool IsPluginIgnoredByRegistryKey(const std::wstring& strRegistryValue);
};
