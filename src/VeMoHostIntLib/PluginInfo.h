#pragma once
// One plug-in: what its configuration file says, and what the host learns while it runs it.
// A descriptor owns its module and its thread handle; the unload sequence releases them in its
// order (threads first, then modules), and a thread that could not be ended keeps its module
// through an explicit release.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "VeMoPlugin.h"
#include "common/UniqueHandle.h"

struct MenuEntry {
    std::wstring _text;
    int _function = 0;
    std::wstring _parentMenu;
    bool _isActive = true;
    bool _isSeparator = false;
};

class CPluginInfo {
public:
    enum PluginType : int { kTypeOther = 0, kTypeDll = 1, kTypeListener = 2 };

    CPluginInfo();
    CPluginInfo(const wchar_t* pszName, const wchar_t* pszBinaryName, const wchar_t* pszPath, const wchar_t* pszLevel,
                const wchar_t* pszType);
    ~CPluginInfo();
    CPluginInfo(const CPluginInfo&) = delete;
    CPluginInfo& operator=(const CPluginInfo&) = delete;

    void SetFunctionNames();
    void SetLevelAsTxt(const wchar_t* pszLevel);
    void SetTypeAsTxt(const wchar_t* pszType);
    // Every field but the owners: a module or thread is never held twice. The reader copies
    // descriptors that own neither.
    void Copy(const CPluginInfo& other);
    bool IsSamePlugin(const CPluginInfo& other) const;
    // Loads _path + _binaryName and resolves the entry points; _isLoaded tells whether the three
    // required ones were found. A descriptor without binary name or path counts as failed.
    void LoadPlugin();
    // The export named pszName (pszDefaultName when pszName is empty) of _hModule, or null.
    FARPROC GetAddress(const wchar_t* pszName, const wchar_t* pszDefaultName) const;
    // The 8-bit export name GetAddress looks up (ANSI code page); empty when there is none or
    // it is too long to be looked up.
    static std::string ExportNameA(const wchar_t* pszName, const wchar_t* pszDefaultName);

    // Calls the plug-in's initialise entry point and keeps the answer in _initOk.
    bool InitializePlugin();
    // Releases this plug-in's slot of the initialisation barrier.
    void IAmInitialized();
    bool IsThreadStillActive() const;
    // Terminates the thread when it still runs and closes its handle. False when the termination
    // failed: the handle then stays in _hThread.
    bool KillThread();
    // Closes the thread handle of a thread that has ended.
    void CloseThreadHandle();
    // True while _hThread holds a thread that may still execute plug-in code.
    bool MayStillRun() const;
    // Frees the module and forgets its entry points.
    void UnloadPlugin();

    std::wstring GetName() const { return _name; }
    bool RunInSystemContext() const { return _runsInSystemContext; }
    bool RunInPureMode() const { return _runsInPureMode; }
    int Type() const { return _type; }
    HMODULE GetPluginHndl() const { return _hModule.get(); }
    bool IsPluginLoaded() const { return _pfnInitialize && _pfnUninitialize && _pfnRun; }
    bool SyncPlugin() const { return _hRunEvent != nullptr; }
    // Without binary name or path there is nothing to load.
    bool HasModulePath() const { return !_binaryName.empty() && !_path.empty(); }

    std::wstring _name;
    std::wstring _binaryName;
    std::wstring _path;  // ends with a separator: the module path is _path + _binaryName
    std::wstring _runName;
    std::wstring _runMenuName;
    std::wstring _initializeName;
    std::wstring _uninitializeName;
    std::wstring _className;
    std::wstring _ignoreOnInstalledComponent;
    bool _isLoaded = false;
    bool _initOk = true;
    bool _runsInSystemContext = false;
    bool _runsInPureMode = false;
    int _timeOutUnload = VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS;
    int _level = 0;
    int _type = kTypeOther;
    vemo::unique_handle _hThread;  // none until the thread is started
    // Written by the stop sequence while Run reads it through its address.
    std::atomic<bool> _stopRequested{false};
    PFN_VEMO_PLUGIN_INITIALIZE _pfnInitialize = nullptr;
    PFN_VEMO_PLUGIN_UNINITIALIZE _pfnUninitialize = nullptr;
    PFN_VEMO_PLUGIN_RUN _pfnRun = nullptr;
    PFN_VEMO_PLUGIN_RUN_MENU _pfnRunMenu = nullptr;
    int _menuPosition = 0;
    vemo::unique_hmodule _hModule;
    std::vector<MenuEntry> _vecMenu;
    // The plug-in's slot of the initialisation barrier, owned by the barrier.
    const vemo::unique_handle* _hRunEvent = nullptr;
};

static_assert(sizeof(std::atomic<bool>) == 1 && std::atomic<bool>::is_always_lock_free,
              "Run receives the stop flag's address as a plain byte");
