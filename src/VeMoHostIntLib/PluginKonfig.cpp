#include "VeMoHostIntLib/PluginKonfig.h"

#include <cwchar>
#include <cstring>
#include <vector>

#include "VeMoHostPluginLib/PathTemplates.h"
#include "common/AnsiText.h"
#include "common/TraceCategories.h"
#include "common/RegistryValue.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

namespace {

using vemo::com_ptr;
using vemo::kCategoryVeMoHost;
using vemo::unique_bstr;
using vemo::xml::ChildList;
using vemo::xml::ListItem;
using vemo::xml::MakeBstr;
using vemo::xml::NodeAttributes;
using vemo::xml::NodeBaseName;
using vemo::xml::NodeChildren;
using vemo::xml::NodeText;
using vemo::xml::ThrowIfFailed;
using namespace vemo::plugincfg;
using namespace vemo::tracing;

constexpr wchar_t kAttrPos[] = L"pos";
constexpr wchar_t kAttrActive[] = L"active";
constexpr wchar_t kAttrParent[] = L"parent";
constexpr wchar_t kTagFid[] = L"fid";
constexpr wchar_t kTagText[] = L"text";
constexpr wchar_t kTagSepar[] = L"separ";
constexpr wchar_t kAttrRun[] = L"run";
constexpr wchar_t kAttrRunMenu[] = L"runmenu";
constexpr wchar_t kAttrInitialize[] = L"initialize";
constexpr wchar_t kAttrUninitialize[] = L"uninitialize";
constexpr wchar_t kTrueText[] = L"true";
constexpr wchar_t kActiveText[] = L"1";
constexpr wchar_t kComponentSeparators[] = L";,";
constexpr wchar_t kComponentFirstChar = L'B';
constexpr size_t kComponentIdLength = 8;
constexpr int kDecimalBase = 10;
constexpr size_t kRegistryTextChars = 255;  // 256-character buffers with their terminator
constexpr DWORD kRegistryDataBytes = 260;
constexpr char kEmptyCategory[] = "";

constexpr wchar_t kNodeNameTrace[] = L"g_nodeNamePlugin <%s>, numOfIems <%d>, numOfFoundItems <%d>";
constexpr wchar_t kLoopTrace[] = L"For-Schleife - i <%d>";
constexpr wchar_t kNodeFound[] = L"Node gefunden...";
constexpr wchar_t kAttrFound[] = L"Attribut gefunden...";
constexpr wchar_t kPluginTypeTrace[] = L"pluginType <%s>";
constexpr wchar_t kDescriptionTrace[] = L"decription <%s>";
constexpr wchar_t kLevelTrace[] = L"level <%s>";
constexpr wchar_t kChildNodesFound[] = L"ChildNodes <%d> gefunden...";
constexpr wchar_t kChildNodeTrace[] = L"ChildNode <%d>";
constexpr wchar_t kChildFound[] = L"Child gefunden...";
constexpr wchar_t kBaseNameTrace[] = L"baseName <%s>";
constexpr wchar_t kBinaryNameTrace[] = L"binaryName <%s>";
constexpr wchar_t kClassNameTrace[] = L"classname <%s>";
constexpr wchar_t kSystemTrace[] = L"runsInSystemContext <%d>";
constexpr wchar_t kPureTrace[] = L"runsInPureMode <%d>";
constexpr wchar_t kIgnoreComponentTrace[] = L"ignoreOnInstalledComponent <%s>";
constexpr wchar_t kInvalidComponent[] = L"Ungültige Komponente in Tag <%s> gefunden!";
constexpr wchar_t kInvalidLength[] = L"Länge von Tag <%s> ist ungültig (%d)!";
constexpr wchar_t kTimeOutTrace[] = L"timeOutUnload <%d>";
constexpr wchar_t kPathTrace[] = L"path <%s>";
constexpr wchar_t kPathNotAnsi[] =
    L"Pfad <%s> ist im ANSI-Zeichensatz nicht darstellbar, Platzhalter werden nicht ersetzt.";
constexpr wchar_t kAttrMenuFound[] = L"AttrMenu gefunden...";
constexpr wchar_t kPositionTrace[] = L"position <%s>";
constexpr wchar_t kMenuLengthTrace[] = L"menuLngth <%d>";
constexpr wchar_t kMenuEntryTrace[] = L"MenuEntry <%d>";
constexpr wchar_t kMenuEntryFound[] = L"MenuEntry gefunden...";
constexpr wchar_t kMenuAttrFound[] = L"Attribute zum Menu gefunden...";
constexpr wchar_t kActiveTrace[] = L"active <%s>";
constexpr wchar_t kIsActiveTrace[] = L"mtd._isActive <%d>";
constexpr wchar_t kParentTrace[] = L"parent <%s>";
constexpr wchar_t kParentMenuTrace[] = L"mtd._parentMenu <%s>";
constexpr wchar_t kEntryChildsFound[] = L"EntryChlds gefunden...";
constexpr wchar_t kEntryChildTrace[] = L"EntryChld <%d>";
constexpr wchar_t kEntryFound[] = L"Entry gefunden...";
constexpr wchar_t kEntryNameTrace[] = L"entryName <%s>, txt <%s>";
constexpr wchar_t kFunctionTrace[] = L"mtd._function <0x%X>";
constexpr wchar_t kMenuTextTrace[] = L"mtd._text <%s>";
constexpr wchar_t kSeparatorTrace[] = L"mtd._isSeparator <%d>";
constexpr wchar_t kAttrImplementsFound[] = L"AttrImplements gefunden...";
constexpr wchar_t kRunTrace[] = L"run <%s>";
constexpr wchar_t kRunMenuTrace[] = L"runMenu <%s>";
constexpr wchar_t kInitializeTrace[] = L"initialize <%s>";
constexpr wchar_t kUninitializeTrace[] = L"uninitialize <%s>";
constexpr wchar_t kParsing[] = L"ignoreOnInstalledComponent wird geparsed: <%s>";
constexpr wchar_t kTokenFound[] = L"Token <%s> gefunden";
constexpr wchar_t kShallIgnore[] = L"Plugin <%s> soll ignoriert werden, wenn Komponente <%s> installiert ist.";
constexpr wchar_t kComponentInstalled[] = L"Komponente <%s> ist installiert. Plugin <%s> wird nicht geladen.";
constexpr wchar_t kTokenMalformed[] = L"Komponentenstring <%s> ist fehlerhaft und/oder wird nicht unterstützt.";
constexpr wchar_t kCreatePlugin[] =
    L"Erzeugen des Plugin mit description <%s>, binaryName <%s>, path <%s>, level <%s>, pluginType <%s>";
constexpr wchar_t kSetFields[] =
    L"Setzen von classname <%s>, vecMenu - Anzahl Einträge <%d>, runsInSystemContext <%d>, runsInPureMode <%d>, "
    L"timeOutUnload <%d>";
constexpr wchar_t kSetMenuPosition[] = L"Setze Menü-Position <%s>";
constexpr wchar_t kSetMenuPositionZero[] = L"Setze Menü-Position <0>";
constexpr wchar_t kReleaseDocument[] = L"xmlDocument.Release";
constexpr wchar_t kCountResult[] = L"count <%d>";
constexpr wchar_t kReturnedItems[] = L"numOfReturnedItems <%d>";
constexpr wchar_t kKeyNotOpened[] = L"Registry-Zweig <%s> konnte nicht geöffnet werden! LastError: <%d>";
constexpr wchar_t kValueNotRead[] = L"Schlüssel <%s> konnte nicht gelesen werden! LastError: <%d>";
constexpr wchar_t kValueRead[] = L"Schlüssel <%s> unter <HKLM\\%s> wurde erfolgreich gelesen. Wert: <%d>";
constexpr wchar_t kWrongType[] = L"Schlüssel <%s> hat den falschen Typ <%d>. Es wird nur Typ <%d> unterstützt!";

void Trace8(const wchar_t* pszFormat, auto... args) { TraceFormatW(kLevelInfo, kCategoryVeMoHost, pszFormat, args...); }

bool EqualsIgnoreCase(const std::wstring& a, const wchar_t* b) { return ::_wcsicmp(a.c_str(), b) == 0; }

// Leading white space, optional sign, digits up to the first other character; no digits: 0.
int ParseDecimal(const std::wstring& text) {
    return static_cast<int>(std::wcstol(text.c_str(), nullptr, kDecimalBase));
}

com_ptr<IXMLDOMNodeList> PluginElements(IXMLDOMDocument* pDocument, long& length) {
    if (!pDocument) throw CXmlComError(E_POINTER);
    unique_bstr tag = MakeBstr(kPluginElement);
    com_ptr<IXMLDOMNodeList> list;
    ThrowIfFailed(pDocument->getElementsByTagName(tag.get(), list.put()));
    length = 0;
    if (list) ThrowIfFailed(list->get_length(&length));
    return list;
}

// The templates and ConfigDB work in the narrow code page. A path that code page cannot hold
// exactly stays as written: a best-fit character would point the loader at another directory.
std::wstring ExpandPath(const std::wstring& text) {
    std::string narrow;
    std::wstring expanded;
    if (!vemo::WideToAnsi(text, narrow)) {
        TraceFormatW(kLevelWarning, kCategoryVeMoHost, kPathNotAnsi, text.c_str());
        return text;
    }
    ExpandPathTemplates(narrow, kEmptyCategory);
    if (!vemo::AnsiToWide(narrow, expanded)) return text;
    return expanded;
}


MenuEntry ReadMenuEntry(IXMLDOMNode* pNode) {
    MenuEntry entry;
    if (!pNode) return entry;
    Trace8(kMenuEntryFound);
    if (com_ptr<IXMLDOMNamedNodeMap> attributes = NodeAttributes(pNode)) {
        Trace8(kMenuAttrFound);
        std::wstring active;
        CXmlBase::GetAttributeValue(attributes.get(), kAttrActive, active);
        Trace8(kActiveTrace, active.c_str());
        entry._isActive = active.empty() || active == kActiveText;
        Trace8(kIsActiveTrace, static_cast<int>(entry._isActive));
        CXmlBase::GetAttributeValue(attributes.get(), kAttrParent, entry._parentMenu);
        Trace8(kParentTrace, entry._parentMenu.c_str());
        Trace8(kParentMenuTrace, entry._parentMenu.c_str());
    }
    const ChildList children = NodeChildren(pNode);
    if (children.length > 0) {
        Trace8(kEntryChildsFound);
        for (long k = 0; k < children.length; ++k) {
            Trace8(kEntryChildTrace, static_cast<int>(k));
            com_ptr<IXMLDOMNode> child = ListItem(children.list.get(), k);
            if (!child) continue;
            Trace8(kEntryFound);
            const std::wstring name = NodeBaseName(child.get());
            const std::wstring text = NodeText(child.get());
            Trace8(kEntryNameTrace, name.c_str(), text.c_str());
            if (EqualsIgnoreCase(name, kTagFid)) {
                entry._function = ParseDecimal(text);
                entry._isSeparator = false;
                Trace8(kFunctionTrace, entry._function);
            } else if (EqualsIgnoreCase(name, kTagText)) {
                entry._text = text;
                entry._isSeparator = false;
                Trace8(kMenuTextTrace, entry._text.c_str());
            } else if (EqualsIgnoreCase(name, kTagSepar)) {
                entry._isSeparator = true;
            }
            Trace8(kSeparatorTrace, static_cast<int>(entry._isSeparator));
        }
    }
    return entry;
}

void ReadMenu(IXMLDOMNode* pNode, PluginElementValues& values) {
    if (com_ptr<IXMLDOMNamedNodeMap> attributes = NodeAttributes(pNode)) {
        Trace8(kAttrMenuFound);
        CXmlBase::GetAttributeValue(attributes.get(), kAttrPos, values.menuPosition);
        Trace8(kPositionTrace, values.menuPosition.c_str());
    }
    const ChildList entries = NodeChildren(pNode);
    Trace8(kMenuLengthTrace, static_cast<int>(entries.length));
    for (long k = 0; k < entries.length; ++k) {
        Trace8(kMenuEntryTrace, static_cast<int>(k));
        com_ptr<IXMLDOMNode> entryNode = ListItem(entries.list.get(), k);
        values.menu.push_back(ReadMenuEntry(entryNode.get()));
    }
}

void ReadImplements(IXMLDOMNode* pNode, PluginElementValues& values) {
    com_ptr<IXMLDOMNamedNodeMap> attributes = NodeAttributes(pNode);
    if (!attributes) return;
    Trace8(kAttrImplementsFound);
    CXmlBase::GetAttributeValue(attributes.get(), kAttrRun, values.run);
    Trace8(kRunTrace, values.run.c_str());
    CXmlBase::GetAttributeValue(attributes.get(), kAttrRunMenu, values.runMenu);
    Trace8(kRunMenuTrace, values.runMenu.c_str());
    CXmlBase::GetAttributeValue(attributes.get(), kAttrInitialize, values.initialize);
    Trace8(kInitializeTrace, values.initialize.c_str());
    CXmlBase::GetAttributeValue(attributes.get(), kAttrUninitialize, values.uninitialize);
    Trace8(kUninitializeTrace, values.uninitialize.c_str());
}

std::vector<std::wstring> ParseElementString(const std::wstring& list) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginConfig::ParseElementString", __LINE__);
    Trace8(kParsing, list.c_str());
    std::vector<std::wstring> tokens;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of(kComponentSeparators, start);
        if (end == std::wstring::npos) end = list.size();
        if (end > start) {
            tokens.push_back(list.substr(start, end - start));
            Trace8(kTokenFound, tokens.back().c_str());
        }
        start = end + 1;
    }
    return tokens;
}

bool IsValidComponentId(const std::wstring& text) {
    return text.size() == kComponentIdLength && text.front() == kComponentFirstChar;
}

// Rule 1: the first malformed token or installed component decides.
void ApplyInstalledComponentRule(PluginElementValues& values) {
    if (values.components.empty()) return;
    values.componentRule = ComponentRuleOutcome::kPassed;
    for (const std::wstring& token : ParseElementString(values.components)) {
        Trace8(kShallIgnore, values.description.c_str(), token.c_str());
        if (!IsValidComponentId(token)) {
            Trace8(kTokenMalformed, token.c_str());
            values.componentRule = ComponentRuleOutcome::kMalformedToken;
            values.componentRuleToken = token;
            return;
        }
        if (CDB_IsComponentInstalled(token.c_str())) {
            Trace8(kComponentInstalled, token.c_str(), values.description.c_str());
            values.componentRule = ComponentRuleOutcome::kComponentInstalled;
            values.componentRuleToken = token;
            return;
        }
    }
}

}  // namespace

CPluginConfig::CPluginConfig(const wchar_t* pszFilePath) : CXmlBase(pszFilePath) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginConfig::CPluginConfig", __LINE__);
}

CPluginConfig::~CPluginConfig() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginConfig::~CPluginConfig", __LINE__);
    if (m_xmlDocument) {
        Trace8(kReleaseDocument);
        m_xmlDocument.reset();
    }
}

int CPluginConfig::GetNumberOfPluginInfos() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginConfig::GetNumberOfPluginInfos", __LINE__);
    long length = 0;
    PluginElements(m_xmlDocument.get(), length);
    trace.SetReturnValueFormatW(kCountResult, static_cast<int>(length));
    return static_cast<int>(length);
}

int CPluginConfig::GetPluginInfo(CPluginInfo** ppPluginInfo, int nMaxCount) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginConfig::GetPluginInfo", __LINE__);
    long length = 0;
    com_ptr<IXMLDOMNodeList> plugins = PluginElements(m_xmlDocument.get(), length);
    const long count = nMaxCount < length ? (nMaxCount > 0 ? nMaxCount : 0) : length;
    Trace8(kNodeNameTrace, kPluginElement, static_cast<int>(length), static_cast<int>(count));

    int filled = 0;
    for (long i = 0; i < count; ++i) {
        Trace8(kLoopTrace, static_cast<int>(i));
        PluginElementValues values;
        com_ptr<IXMLDOMNode> node = ListItem(plugins.get(), i);
        if (!node) continue;
        ReadElement(node.get(), values);
        if (values.IsIgnored()) continue;
        BuildDescriptor(values, (*ppPluginInfo)[filled]);
        ++filled;
    }
    trace.SetReturnValueFormatW(kReturnedItems, filled);
    return filled;
}

bool CPluginConfig::ReadPluginElement(long nIndex, PluginElementValues& values) {
    long length = 0;
    com_ptr<IXMLDOMNodeList> plugins = PluginElements(m_xmlDocument.get(), length);
    if (nIndex < 0 || nIndex >= length) return false;
    com_ptr<IXMLDOMNode> node = ListItem(plugins.get(), nIndex);
    if (!node) return false;
    values = PluginElementValues{};
    ReadElement(node.get(), values);
    return true;
}

void CPluginConfig::ReadElement(IXMLDOMNode* pNode, PluginElementValues& values) {
    Trace8(kNodeFound);
    if (com_ptr<IXMLDOMNamedNodeMap> attributes = NodeAttributes(pNode)) {
        Trace8(kAttrFound);
        CXmlBase::GetAttributeValue(attributes.get(), kAttrType, values.type);
        Trace8(kPluginTypeTrace, values.type.c_str());
        CXmlBase::GetAttributeValue(attributes.get(), kAttrDescription, values.description);
        Trace8(kDescriptionTrace, values.description.c_str());
        CXmlBase::GetAttributeValue(attributes.get(), kAttrLevel, values.level);
        Trace8(kLevelTrace, values.level.c_str());
    }

    const ChildList children = NodeChildren(pNode);
    Trace8(kChildNodesFound, static_cast<int>(children.length));
    for (long j = 0; j < children.length; ++j) {
        Trace8(kChildNodeTrace, static_cast<int>(j));
        com_ptr<IXMLDOMNode> child = ListItem(children.list.get(), j);
        if (!child) continue;
        Trace8(kChildFound);
        const std::wstring name = NodeBaseName(child.get());
        Trace8(kBaseNameTrace, name.c_str());
        if (name.empty()) continue;

        if (EqualsIgnoreCase(name, kTagBinaryName)) {
            values.binaryName = NodeText(child.get());
            Trace8(kBinaryNameTrace, values.binaryName.c_str());
        } else if (EqualsIgnoreCase(name, kTagEvents)) {
            values.className = NodeText(child.get());
            Trace8(kClassNameTrace, values.className.c_str());
        } else if (EqualsIgnoreCase(name, kTagSystem)) {
            values.system = EqualsIgnoreCase(NodeText(child.get()), kTrueText);
            Trace8(kSystemTrace, static_cast<int>(values.system));
        } else if (EqualsIgnoreCase(name, kTagPure)) {
            values.pure = EqualsIgnoreCase(NodeText(child.get()), kTrueText);
            Trace8(kPureTrace, static_cast<int>(values.pure));
        } else if (EqualsIgnoreCase(name, kTagIgnoreOnComponent)) {
            const std::wstring text = NodeText(child.get());
            if (text.size() >= kComponentIdLength && text.front() == kComponentFirstChar) {
                values.components = text;
                Trace8(kIgnoreComponentTrace, text.c_str());
            } else if (text.size() >= kComponentIdLength) {
                values.rejectedComponentLists.push_back(text);
                TraceFormatW(kLevelError, kCategoryVeMoHost, kInvalidComponent, kTagIgnoreOnComponent);
            } else {
                values.rejectedComponentLists.push_back(text);
                TraceFormatW(kLevelError, kCategoryVeMoHost, kInvalidLength, kTagIgnoreOnComponent,
                             static_cast<int>(text.size()));
            }
        } else if (EqualsIgnoreCase(name, kTagIgnoreOnRegistry)) {
            values.registryValuePath = NodeText(child.get());
            values.ignoredByRegistry = IsPluginIgnoredByRegistryKey(values.registryValuePath);
        } else if (EqualsIgnoreCase(name, kTagTimeoutUnload)) {
            values.timeOutUnload = ParseDecimal(NodeText(child.get()));
            Trace8(kTimeOutTrace, values.timeOutUnload);
        } else if (EqualsIgnoreCase(name, kTagPath)) {
            values.path = ExpandPath(NodeText(child.get()));
            Trace8(kPathTrace, values.path.c_str());
        } else if (EqualsIgnoreCase(name, kTagMenu)) {
            ReadMenu(child.get(), values);
        } else if (EqualsIgnoreCase(name, kTagImplements)) {
            ReadImplements(child.get(), values);
        }
    }

    ApplyInstalledComponentRule(values);
}

void CPluginConfig::BuildDescriptor(const PluginElementValues& values, CPluginInfo& target) {
    Trace8(kCreatePlugin, values.description.c_str(), values.binaryName.c_str(), values.path.c_str(),
           values.level.c_str(), values.type.c_str());
    CPluginInfo info(values.description.c_str(), values.binaryName.c_str(), values.path.c_str(),
                     values.level.c_str(), values.type.c_str());
    Trace8(kSetFields, values.className.c_str(), static_cast<int>(values.menu.size()),
           static_cast<int>(values.system), static_cast<int>(values.pure), values.timeOutUnload);
    info._className = values.className;
    info._vecMenu = values.menu;
    info._runsInSystemContext = values.system;
    info._runsInPureMode = values.pure;
    info._timeOutUnload = values.timeOutUnload;
    info._ignoreOnInstalledComponent = values.components;
    if (!values.menuPosition.empty()) {
        Trace8(kSetMenuPosition, values.menuPosition.c_str());
        info._menuPosition = ParseDecimal(values.menuPosition);
    } else {
        Trace8(kSetMenuPositionZero);
    }
    if (!values.run.empty()) info._runName = values.run;
    if (!values.runMenu.empty()) info._runMenuName = values.runMenu;
    if (!values.initialize.empty()) info._initializeName = values.initialize;
    if (!values.uninitialize.empty()) info._uninitializeName = values.uninitialize;
    target.Copy(info);
}

bool CPluginConfig::IsPluginIgnoredByRegistryKey(const std::wstring& strRegistryValue) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginConfig::IsPluginIgnoredByRegistryKey", __LINE__);
    if (strRegistryValue.empty()) return false;
    std::wstring keyPath = strRegistryValue.substr(0, kRegistryTextChars);
    std::wstring valueName = keyPath;
    const size_t backslash = keyPath.rfind(L'\\');
    if (backslash == std::wstring::npos) return false;
    if (backslash + 1 < keyPath.size()) {
        valueName = keyPath.substr(backslash + 1);
        keyPath.resize(backslash);
    }

    vemo::unique_hkey key;
    const LSTATUS openRc =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key.put());
    if (openRc != ERROR_SUCCESS) {
        Trace8(kKeyNotOpened, keyPath.c_str(), static_cast<int>(openRc));
        return false;
    }
    const vemo::StoredRegistryValue stored = vemo::ReadStoredRegistryValue(key.get(), valueName.c_str(), kRegistryDataBytes);
    bool ignored = false;
    if (stored.status != ERROR_SUCCESS) {
        Trace8(kValueNotRead, valueName.c_str(), static_cast<int>(stored.status));
    } else if (stored.type == REG_DWORD) {
        const DWORD value = stored.AsDword();
        Trace8(kValueRead, valueName.c_str(), keyPath.c_str(), static_cast<int>(value));
        ignored = value != 0;
    } else {
        Trace8(kWrongType, valueName.c_str(), static_cast<int>(stored.type), static_cast<int>(REG_DWORD));
    }
    return ignored;
}
