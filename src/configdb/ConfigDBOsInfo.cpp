// Which Windows release runs: the special-folder lookup picks its shell interface by it.
#include <atomic>
#include <iterator>

#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

constexpr wchar_t kNtdll[] = L"ntdll.dll";
constexpr char kRtlGetVersion[] = "RtlGetVersion";
using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);

constexpr char kNoFunction[] = "CDB_GetOsVersion: Funktionszeiger für <RtlGetVersion> konnte nicht ermittelt werden!";
constexpr char kQueryFailed[] = "CDB_GetOsVersion: <RtlGetVersion> lieferte Fehler <%d>!";
constexpr char kCaught[] = "CDB_GetOsVersion: Im Catch...";
constexpr char kResult[] = "CDB_GetOsVersion: \"%d\" (%s)";

struct OsVersionEntry {
    int index;
    const char* name;
};
constexpr OsVersionEntry kOsVersionNames[] = {
    {CDB_OS_UNKNOWN, "Windows Version UNKNOWN"},
    {CDB_OS_XP, "Windows XP"},
    {CDB_OS_XP_SP1, "Windows XP SP1"},
    {CDB_OS_XP_SP2, "Windows XP SP2"},
    {CDB_OS_XP_SP3, "Windows XP SP3"},
    {CDB_OS_SERVER_2003, "Windows 2003 Server"},
    {CDB_OS_SERVER_2003_R2, "Windows 2003 Server R2"},
    {CDB_OS_VISTA, "Windows VISTA"},
    {CDB_OS_VISTA_SP1, "Windows VISTA SP1"},
    {CDB_OS_VISTA_SP2, "Windows VISTA SP2"},
    {CDB_OS_SERVER_2008, "Windows 2008 Server"},
    {CDB_OS_WIN7, "Windows 7"},
    {CDB_OS_WIN7_SP1, "Windows 7 SP1"},
    {CDB_OS_SERVER_2008_R2, "Windows 2008 Server R2"},
    {CDB_OS_WIN8, "Windows 8"},
    {CDB_OS_SERVER_2012, "Windows 2012 Server"},
    {CDB_OS_WIN8_1, "Windows 8.1"},
    {CDB_OS_SERVER_2012_R2, "Windows 2012 Server R2"},
    {CDB_OS_WIN10, "Windows 10"},
    {CDB_OS_SERVER_2016, "Windows 2016 Server"},
    {CDB_OS_AFTER_WIN10, "Windows Major > 10 und Minor x (nach Win10)"},
    {CDB_OS_AFTER_SERVER_2016, "Server Windows Major > 10 und Minor x (nach Server2016)"},
};

constexpr DWORD kMajorXp = 5;
constexpr DWORD kMinorXp = 1;
constexpr DWORD kMinorServer2003 = 2;
constexpr DWORD kMajorVista = 6;
constexpr DWORD kMinorVista = 0;
constexpr DWORD kMinorWin7 = 1;
constexpr DWORD kMinorWin8 = 2;
constexpr DWORD kMinorWin8_1 = 3;
constexpr DWORD kMajorWin10 = 10;
constexpr DWORD kMinorWin10 = 0;
constexpr WORD kServicePack1 = 1;
constexpr WORD kServicePack2 = 2;
constexpr WORD kServicePack3 = 3;

// A release index of 0 is asked for again at the next call.
std::atomic<int> g_cachedIndex{CDB_OS_UNKNOWN};

int MapXp(WORD servicePack) {
    switch (servicePack) {
        case kServicePack1: return CDB_OS_XP_SP1;
        case kServicePack2: return CDB_OS_XP_SP2;
        case kServicePack3: return CDB_OS_XP_SP3;
        default: return CDB_OS_XP;
    }
}

int MapVista(WORD servicePack) {
    switch (servicePack) {
        case kServicePack1: return CDB_OS_VISTA_SP1;
        case kServicePack2: return CDB_OS_VISTA_SP2;
        default: return CDB_OS_VISTA;
    }
}

int MapMajor6(DWORD minor, bool workstation, WORD servicePack) {
    switch (minor) {
        case kMinorVista: return workstation ? MapVista(servicePack) : CDB_OS_SERVER_2008;
        case kMinorWin7:
            if (!workstation) return CDB_OS_SERVER_2008_R2;
            return servicePack == kServicePack1 ? CDB_OS_WIN7_SP1 : CDB_OS_WIN7;
        case kMinorWin8: return workstation ? CDB_OS_WIN8 : CDB_OS_SERVER_2012;
        case kMinorWin8_1: return workstation ? CDB_OS_WIN8_1 : CDB_OS_SERVER_2012_R2;
        default: return CDB_OS_UNKNOWN;
    }
}

// Fills facts from RtlGetVersion; on failure they stay empty and map to CDB_OS_UNKNOWN.
void QueryOsVersionFacts(OsVersionFacts& facts) {
    try {
        const auto rtlGetVersion =
            reinterpret_cast<RtlGetVersionFn>(::GetProcAddress(::GetModuleHandleW(kNtdll), kRtlGetVersion));
        if (!rtlGetVersion) {
            _TracerWrite(true, kNoFunction);
            return;
        }
        RTL_OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        const LONG status = rtlGetVersion(&info);
        if (status < 0) {
            _TracerWrite(true, kQueryFailed, static_cast<int>(status));
            return;
        }
        facts.platformId = info.dwPlatformId;
        facts.major = info.dwMajorVersion;
        facts.minor = info.dwMinorVersion;
        facts.servicePackMajor = info.wServicePackMajor;
        facts.productType = info.wProductType;
        if (facts.major == kMajorXp && facts.minor == kMinorServer2003) {
            facts.serverR2 = ::GetSystemMetrics(SM_SERVERR2) != 0;
        }
    } catch (...) {
        _TracerWrite(true, kCaught);
    }
}

}  // namespace

int MapOsVersion(const OsVersionFacts& facts) {
    if (facts.platformId != VER_PLATFORM_WIN32_NT) return CDB_OS_UNKNOWN;
    const bool workstation = facts.productType == VER_NT_WORKSTATION;
    switch (facts.major) {
        case kMajorXp:
            if (facts.minor == kMinorXp) return MapXp(facts.servicePackMajor);
            if (facts.minor == kMinorServer2003) return facts.serverR2 ? CDB_OS_SERVER_2003_R2 : CDB_OS_SERVER_2003;
            return CDB_OS_UNKNOWN;
        case kMajorVista:
            return MapMajor6(facts.minor, workstation, facts.servicePackMajor);
        case kMajorWin10:
            // Every later release that still reports 10.0 lands here.
            if (facts.minor != kMinorWin10) return CDB_OS_UNKNOWN;
            return workstation ? CDB_OS_WIN10 : CDB_OS_SERVER_2016;
        default:
            if (facts.major > kMajorWin10) return workstation ? CDB_OS_AFTER_WIN10 : CDB_OS_AFTER_SERVER_2016;
            return CDB_OS_UNKNOWN;
    }
}

const char* OsVersionName(int index) {
    for (const OsVersionEntry& entry : kOsVersionNames) {
        if (entry.index == index) return entry.name;
    }
    return kOsVersionNames[0].name;
}

}  // namespace configdb

int CDB_GetOsVersion() {
    using namespace configdb;
    return Guarded("CDB_GetOsVersion", CDB_OS_UNKNOWN, [] {
        Init();
        int index = g_cachedIndex.load();
        if (index == CDB_OS_UNKNOWN) {
            OsVersionFacts facts;
            QueryOsVersionFacts(facts);
            index = MapOsVersion(facts);
            g_cachedIndex.store(index);
        }
        _TracerWrite(false, kResult, index, OsVersionName(index));
        return index;
    });
}
