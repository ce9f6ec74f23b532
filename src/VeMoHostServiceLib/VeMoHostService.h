#pragma once
// The host service: its start hook starts the initialisation thread, its stop hook ends daemon
// mode, waits for that thread and unloads the plug-ins.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "BasisLibs_MitTracing/ThreadControlLib/ServiceControl.h"
#include "common/UniqueHandle.h"

// False while the initialisation thread is inside daemon mode.
extern std::atomic<bool> g_daemonModeIdle;

class CVemoHostService : public CService {
public:
    CVemoHostService(const wchar_t* pszName, const wchar_t* pszDisplayName, const wchar_t* pszDescription);

    BOOL OnStart() override;
    BOOL OnStop() override;

    HANDLE InitEvent() const { return m_initEvent.get(); }
    std::atomic<bool>& GetVeMoHostServiceStopFlag();

    // The whole start-up; pService is the service object.
    static DWORD WINAPI InitThread(void* pService);

protected:
    void OnStatusReported(DWORD dwState) override;

private:
    // The plug-in part of the start-up, under the plug-in host lock.
    void HostPluginsUnlessStopping(bool bPureMode, bool bStartHost);
    // From the start hook outside the manager, after the one RUNNING report in it.
    void StartInitThread();

    vemo::unique_handle m_initEvent;
    std::atomic<bool> m_stopFlag{false};
    // Plug-in threads the start-up started, for the "service started" event.
    std::atomic<int32_t> m_hostedPlugins{0};
};

void SetRunKey(bool& bRunKeyOk);
