// What a descriptor does while its plug-in runs: initialise it, release the barrier, and at the
// end look at, terminate and free what the plug-in left.
#include "VeMoHostIntLib/PluginInfo.h"

#include "VeMoHostIntLib/LibraryManager.h"
#include "common/EventLog.h"
#include "common/TraceCategories.h"
#include <string>
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHost;

namespace {
constexpr DWORD kTerminatedExitCode = 0;
}  // namespace

bool CPluginInfo::InitializePlugin() {
    bool result = false;
    if (_pfnInitialize) {
        result = _pfnInitialize();
    } else {
        TraceFormatW(kLevelError, kCategoryVeMoHost, L"Function-Pointer für Initialize(), Plugin <%s> ist ungültig!",
                     _name.c_str());
    }
    _initOk = result;
    if (result) {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Initialisierung des Plugins <%s> war erfoglreich", _name.c_str());
    } else {
        TraceFormatW(kLevelError, kCategoryVeMoHost, L"Initialisierung des Plugins <%s> war NICHT erfoglreich",
                     _name.c_str());
    }
    return result;
}

void CPluginInfo::IAmInitialized() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::IAmInitialized", __LINE__);
    if (!_hRunEvent) {
        TraceFormatW(kLevelError, kCategoryVeMoHost, L"_hRunEvent <%s> is NULL!", _name.c_str());
        return;
    }
    TraceFormatW(kLevelDetail, kCategoryVeMoHost, L"setting _hRunEvent for Plugin <%s>, _hRunEvent <%d>, *_hRunEvent <%d>",
                 _name.c_str(), static_cast<int>(reinterpret_cast<intptr_t>(_hRunEvent)),
                 static_cast<int>(reinterpret_cast<intptr_t>(_hRunEvent->get())));
    if (!::SetEvent(_hRunEvent->get())) {
        TraceFormatW(kLevelError, kCategoryVeMoHost, L"setting _hRunEvent for Plugin <%s> failed with <%d>!",
                     _name.c_str(), static_cast<int>(::GetLastError()));
    }
}

bool CPluginInfo::IsThreadStillActive() const {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::IsThreadStillActive", __LINE__);
    const bool valid = _hThread.is_valid();
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"IsHandleValid <%d>", valid ? 1 : 0);
    bool active = false;
    if (valid) {
        DWORD exitCode = 0;
        if (!::GetExitCodeThread(_hThread.get(), &exitCode)) {
            TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"GetExitCode(...) hat nicht geklappt");
            active = true;
        } else {
            active = exitCode == STILL_ACTIVE;
        }
    }
    trace.SetReturnValueFormatW(L"BinaryName <%s>, isThreadStillActive <%d>", _binaryName.c_str(), active ? 1 : 0);
    return active;
}

bool CPluginInfo::KillThread() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::KillThread", __LINE__);
    if (!_hThread) return true;
    TraceWriteW(kLevelInfo, kCategoryVeMoHost, L"Plugin-Thread-Handle ist gültig.");
    if (IsThreadStillActive()) {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Plugin-Thread ist noch aktiv -> Terminieren (Plugin: <%s>",
                     _name.c_str());
        if (!::TerminateThread(_hThread.get(), kTerminatedExitCode)) {
            TraceFormatW(kLevelError, kCategoryVeMoHost, L"Plugin-Thread konnte nicht terminiert werden, GetLastError <%d>",
                         static_cast<int>(::GetLastError()));
            return false;
        }
        TraceWriteW(kLevelInfo, kCategoryVeMoHost, L"Plugin-Thread wurde terminiert");
        vemo::eventlog::Report(VEMO_EVENT_PLUGIN_TERMINATED,
                               {_name, std::to_wstring(static_cast<uint32_t>(_timeOutUnload))});
    } else {
        TraceWriteW(kLevelInfo, kCategoryVeMoHost,
                    L"Plugin-Thread muß nicht terminiert werden, da er nicht mehr aktiv ist.");
    }
    CloseThreadHandle();
    return true;
}

void CPluginInfo::CloseThreadHandle() { _hThread.reset(); }

bool CPluginInfo::MayStillRun() const { return _hThread.is_valid(); }

void CPluginInfo::UnloadPlugin() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CPluginInfo::UnloadPlugin", __LINE__);
    if (!_hModule) return;
    TraceWriteW(kLevelInfo, kCategoryVeMoHost, L"Plugin kann entladen werden...");
    {
        CLibMgr libMgr;
        libMgr.UnloadLibrary(&_hModule);
    }
    _pfnInitialize = nullptr;
    _pfnUninitialize = nullptr;
    _pfnRun = nullptr;
    _pfnRunMenu = nullptr;
    _menuPosition = 0;
    _isLoaded = false;
    _initOk = true;
}
