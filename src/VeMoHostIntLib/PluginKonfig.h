#pragma once
// Reads one plug-in configuration file and turns each described plug-in into a descriptor.
#include <string>
#include <vector>

#include "VeMoHostIntLib/PluginInfo.h"
#include "VeMoHostIntLib/XmlDomBase.h"

// The vocabulary of a plug-in configuration file. "plugin" and attribute names match exactly;
// child elements of "plugin" match by local name, ignoring case.
namespace vemo::plugincfg {
inline constexpr wchar_t kPluginElement[] = L"plugin";
inline constexpr wchar_t kAttrType[] = L"type";
inline constexpr wchar_t kAttrDescription[] = L"description";
inline constexpr wchar_t kAttrLevel[] = L"level";
inline constexpr wchar_t kTagBinaryName[] = L"binaryName";
inline constexpr wchar_t kTagEvents[] = L"events";
inline constexpr wchar_t kTagSystem[] = L"system";
inline constexpr wchar_t kTagPure[] = L"pure";
inline constexpr wchar_t kTagIgnoreOnComponent[] = L"ignoreoninstalledcomponent";
inline constexpr wchar_t kTagIgnoreOnRegistry[] = L"ignoreonregistrykey";
inline constexpr wchar_t kTagTimeoutUnload[] = L"timeoutUnload";
inline constexpr wchar_t kTagPath[] = L"path";
inline constexpr wchar_t kTagMenu[] = L"menu";
inline constexpr wchar_t kTagImplements[] = L"implements";
// The child elements of "plugin" the reader acts on, in the order it tests them.
inline constexpr const wchar_t* kPluginChildElements[] = {
    kTagBinaryName, kTagEvents, kTagSystem, kTagPure, kTagIgnoreOnComponent, kTagIgnoreOnRegistry,
    kTagTimeoutUnload, kTagPath, kTagMenu, kTagImplements};
}  // namespace vemo::plugincfg

// What ignore rule 1 (installed component) decided for one plug-in.
enum class ComponentRuleOutcome {
    kNotApplied,          // no accepted component list
    kPassed,              // every token valid, none of the components installed
    kComponentInstalled,  // token names an installed component: ignored
    kMalformedToken,      // token not 8 characters or not beginning with "B": ignored
};

// Everything the reader takes from one "plugin" element, with its two ignore decisions.
struct PluginElementValues {
    std::wstring description, type, level, binaryName, className, path, components, menuPosition;
    std::wstring run, runMenu, initialize, uninitialize;
    bool system = false;
    bool pure = false;
    int timeOutUnload = VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS;
    bool ignoredByRegistry = false;
    std::vector<MenuEntry> menu;
    // For reports: component lists the reader refused, the last registry value path, and
    // which token decided rule 1.
    std::vector<std::wstring> rejectedComponentLists;
    std::wstring registryValuePath;
    ComponentRuleOutcome componentRule = ComponentRuleOutcome::kNotApplied;
    std::wstring componentRuleToken;

    bool IgnoredByComponent() const {
        return componentRule == ComponentRuleOutcome::kComponentInstalled ||
               componentRule == ComponentRuleOutcome::kMalformedToken;
    }
    bool IsIgnored() const { return IgnoredByComponent() || ignoredByRegistry; }
};

class CPluginConfig : public CXmlBase {
public:
    explicit CPluginConfig(const wchar_t* pszFilePath);
    ~CPluginConfig() override;

    // Number of "plugin" elements, ignore rules not applied. Throws CXmlComError without a document.
    int GetNumberOfPluginInfos();
    // Reads at most nMaxCount "plugin" elements; the k-th kept one is copied into
    // (*ppPluginInfo)[k]. Returns how many were filled. Throws CXmlComError on DOM failures.
    int GetPluginInfo(CPluginInfo** ppPluginInfo, int nMaxCount);
    // Reads "plugin" element nIndex (document order) and applies both ignore rules, without
    // dropping an ignored one. False when there is no such element. Throws CXmlComError.
    bool ReadPluginElement(long nIndex, PluginElementValues& values);
    // The descriptor GetPluginInfo stores for a plug-in that is not ignored.
    static void BuildDescriptor(const PluginElementValues& values, CPluginInfo& info);
    // True when the REG_DWORD value named by "key path\value name" below HKLM is not 0.
    bool IsPluginIgnoredByRegistryKey(const std::wstring& strRegistryValue);

private:
    // Attributes and child elements of one "plugin" element, then ignore rule 1.
    void ReadElement(IXMLDOMNode* pNode, PluginElementValues& values);
};
