#include "VeMoHostIntLib/PluginInfo.h"

#include <cwchar>

#include "VeMoHostIntLib/LibraryManager.h"
#include "common/TraceCategories.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHost;

namespace {
constexpr wchar_t kRunName[] = L"" VEMO_PLUGIN_RUN_NAME;
constexpr wchar_t kRunMenuName[] = L"" VEMO_PLUGIN_RUN_MENU_NAME;
constexpr wchar_t kInitializeName[] = L"" VEMO_PLUGIN_INITIALIZE_NAME;
constexpr wchar_t kUninitializeName[] = L"" VEMO_PLUGIN_UNINITIALIZE_NAME;
constexpr wchar_t kLevelOne[] = L"1";
constexpr int kLevelSet = 1;
constexpr int kLevelUnset = 0;
constexpr wchar_t kTypeDllText[] = L"dll";
constexpr wchar_t kTypeListenerText[] = L"listener";
}  // namespace

CPluginInfo::CPluginInfo() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::CPluginInfo", __LINE__);
    SetFunctionNames();
}

CPluginInfo::CPluginInfo(const wchar_t* pszName, const wchar_t* pszBinaryName, const wchar_t* pszPath,
                         const wchar_t* pszLevel, const wchar_t* pszType) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::CPluginInfo", __LINE__);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"name <%s>, binaryName <%s>, path <%s>, level <%s>, type <%s>",
                 pszName, pszBinaryName, pszPath, pszLevel ? pszLevel : L"NULL", pszType ? pszType : L"NULL");
    _name = pszName;
    _binaryName = pszBinaryName;
    _path = pszPath;
    SetLevelAsTxt(pszLevel);
    SetTypeAsTxt(pszType);
    SetFunctionNames();
}

CPluginInfo::~CPluginInfo() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::~CPluginInfo", __LINE__);
}

void CPluginInfo::SetFunctionNames() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::SetFunctionNames", __LINE__);
    _runName = kRunName;
    _initializeName = kInitializeName;
    _uninitializeName = kUninitializeName;
    _runMenuName = kRunMenuName;
}

void CPluginInfo::SetLevelAsTxt(const wchar_t* pszLevel) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::SetLevelAsTxt", __LINE__);
    if (!pszLevel) {
        TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"level <NULL>");
        return;
    }
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"level <%s>", pszLevel);
    _level = _wcsicmp(pszLevel, kLevelOne) == 0 ? kLevelSet : kLevelUnset;
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"_level <%d> gesetzt", _level);
}

void CPluginInfo::SetTypeAsTxt(const wchar_t* pszType) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::SetTypeAsTxt", __LINE__);
    if (!pszType) {
        TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"type <NULL>");
        return;
    }
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"type <%s>", pszType);
    if (_wcsicmp(pszType, kTypeDllText) == 0) {
        _type = kTypeDll;
    } else if (_wcsicmp(pszType, kTypeListenerText) == 0) {
        _type = kTypeListener;
    } else {
        _type = kTypeOther;
    }
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"_type <%d> gesetzt", _type);
}

void CPluginInfo::Copy(const CPluginInfo& other) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::Copy", __LINE__);
    if (&other == this) return;
    _name = other._name;
    _binaryName = other._binaryName;
    _path = other._path;
    _runName = other._runName;
    _runMenuName = other._runMenuName;
    _initializeName = other._initializeName;
    _uninitializeName = other._uninitializeName;
    _className = other._className;
    _ignoreOnInstalledComponent = other._ignoreOnInstalledComponent;
    _isLoaded = other._isLoaded;
    _initOk = other._initOk;
    _runsInSystemContext = other._runsInSystemContext;
    _runsInPureMode = other._runsInPureMode;
    _timeOutUnload = other._timeOutUnload;
    _level = other._level;
    _type = other._type;
    _stopRequested = other._stopRequested.load();
    _pfnInitialize = other._pfnInitialize;
    _pfnUninitialize = other._pfnUninitialize;
    _pfnRun = other._pfnRun;
    _pfnRunMenu = other._pfnRunMenu;
    _menuPosition = other._menuPosition;
    _hRunEvent = other._hRunEvent;
    _vecMenu = other._vecMenu;
}

bool CPluginInfo::IsSamePlugin(const CPluginInfo& other) const {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::IsSamePlugin", __LINE__);
    const bool same = _name == other._name;
    trace.SetReturnValueFormatW(L"isSamePlugin <%d>", same ? 1 : 0);
    return same;
}

namespace {
constexpr wchar_t kUninitializeFallbackName[] = L"" VEMO_PLUGIN_UNINITIALIZE_FALLBACK_NAME;
// Export names are converted into a buffer of this many bytes.
constexpr int kExportNameBytes = 1024;
constexpr wchar_t kNoDefaultName[] = L"NULL";

// FARPROC to a typed entry point, through the one function type GCC accepts as a neutral hop.
template <typename Fn>
Fn AsEntryPoint(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}
}  // namespace

void CPluginInfo::LoadPlugin() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::LoadPlugin", __LINE__);
    if (!HasModulePath()) {
        // Nothing to load means nothing will ever signal this plug-in's initialisation: count it
        // as failed so the barrier does not wait its full time for it.
        TraceFormatW(kLevelWarning, kCategoryVeMoHost,
                     L"Plugin <%s> ohne BinaryName <%s> oder Path <%s> kann nicht geladen werden.", _name.c_str(),
                     _binaryName.c_str(), _path.c_str());
        _isLoaded = false;
        _initOk = false;
        return;
    }
    TraceFormatW(kLevelInfo, kCategoryVeMoHost,
                 L"Plugin mit BinaryName <%s> und Path <%s> kann geladen werden...", _binaryName.c_str(),
                 _path.c_str());
    CLibMgr libMgr;
    if (libMgr.LoadLibrary(_binaryName.c_str(), &_hModule, _path.c_str())) {
        TraceWriteW(kLevelInfo, kCategoryVeMoHost, L"Plugin ist geladen, Funktionspointer initialisieren...");
        _pfnInitialize = AsEntryPoint<PFN_VEMO_PLUGIN_INITIALIZE>(GetAddress(_initializeName.c_str(), kInitializeName));
        _pfnUninitialize =
            AsEntryPoint<PFN_VEMO_PLUGIN_UNINITIALIZE>(GetAddress(_uninitializeName.c_str(), kUninitializeName));
        if (!_pfnUninitialize) {
            _uninitializeName = kUninitializeFallbackName;
            _pfnUninitialize = AsEntryPoint<PFN_VEMO_PLUGIN_UNINITIALIZE>(
                GetAddress(_uninitializeName.c_str(), kUninitializeFallbackName));
        }
        _pfnRun = AsEntryPoint<PFN_VEMO_PLUGIN_RUN>(GetAddress(_runName.c_str(), kRunName));
        _pfnRunMenu = AsEntryPoint<PFN_VEMO_PLUGIN_RUN_MENU>(GetAddress(_runMenuName.c_str(), kRunMenuName));
    }
    _isLoaded = _pfnInitialize && _pfnUninitialize && _pfnRun;
    if (!_isLoaded) _initOk = false;
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"loadSuccessfull <%d>", _isLoaded ? 1 : 0);
}

FARPROC CPluginInfo::GetAddress(const wchar_t* pszName, const wchar_t* pszDefaultName) const {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::GetAddress", __LINE__);
    const wchar_t* name = pszName ? pszName : L"";
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"name <%s>, defaultName <%s>", name,
                 pszDefaultName ? pszDefaultName : kNoDefaultName);
    const wchar_t* used = *name ? name : pszDefaultName;
    if (!used || !_hModule) return nullptr;
    const std::string exportName = ExportNameA(pszName, pszDefaultName);
    if (exportName.empty()) {
        TraceFormatW(kLevelError, kCategoryVeMoHost, L"Exportname <%s> ist zu lang", used);
        return nullptr;
    }
    return ::GetProcAddress(_hModule.get(), exportName.c_str());
}

std::string CPluginInfo::ExportNameA(const wchar_t* pszName, const wchar_t* pszDefaultName) {
    const wchar_t* used = pszName && *pszName ? pszName : pszDefaultName;
    if (!used) return {};
    const size_t chars = wcslen(used);
    if (chars >= static_cast<size_t>(kExportNameBytes)) return {};
    char exportName[kExportNameBytes] = {};
    ::WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, used, static_cast<int>(chars), exportName, kExportNameBytes,
                          nullptr, nullptr);
    exportName[chars] = '\0';
    return exportName;
}
