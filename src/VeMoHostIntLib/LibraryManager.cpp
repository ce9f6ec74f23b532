#include "VeMoHostIntLib/LibraryManager.h"

#include <exception>
#include <string>

#include "common/TraceCategories.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHostCommon;

namespace {
// Full paths are kept to the classic buffer: 259 characters and the terminator.
constexpr size_t kMaxFullPathChars = MAX_PATH - 1;
constexpr const wchar_t* kHostArchitecture = sizeof(void*) == 4 ? L"x86 (32 Bit)" : L"x64 (64 Bit)";
constexpr wchar_t kWrongArchitecture[] =
    L"Modul <%s> kann nicht geladen werden: es ist nicht für %s gebaut (falsche Architektur oder beschädigt).";
}  // namespace

CLibMgr::CLibMgr() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, L"CLibMgr::CLibMgr", __LINE__);
}

CLibMgr::~CLibMgr() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, L"CLibMgr::~CLibMgr", __LINE__);
}

bool CLibMgr::LoadLibrary(const wchar_t* pszLibraryName, vemo::unique_hmodule* phModule, const wchar_t* pszLibraryPath) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, L"CLibMgr::LoadLibraryW", __LINE__);
    bool erg = false;
    if (!pszLibraryName || !phModule || !pszLibraryPath) {
        TraceWriteW(kLevelError, kCategoryVeMoHostCommon, L"Mindestens ein Übergabeparameter ist NULL");
        trace.SetReturnValueFormatW(L"erg <%d>", erg ? 1 : 0);
        return erg;
    }
    try {
        TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, L"libraryName <%s>, libraryPath <%s>", pszLibraryName,
                     pszLibraryPath);
        const std::wstring libFilePathName = std::wstring(pszLibraryPath) + pszLibraryName;
        if (*phModule) {
            erg = true;
        } else if (libFilePathName.size() > kMaxFullPathChars) {
            TraceFormatW(kLevelError, kCategoryVeMoHostCommon, L"libFilePathName <%s> ist zu lang",
                         libFilePathName.c_str());
        } else {
            TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, L"libFilePathName <%s>", libFilePathName.c_str());
            phModule->reset(::LoadLibraryExW(libFilePathName.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
            if (!*phModule) {
                const DWORD error = ::GetLastError();
                TraceFormatW(kLevelError, kCategoryVeMoHostCommon, L"LoadLibraryEx fehlgeschlagen mit <%d>",
                             static_cast<int>(error));
                // The usual cause: a plug-in built for the other architecture.
                if (error == ERROR_BAD_EXE_FORMAT) {
                    TraceFormatW(kLevelError, kCategoryVeMoHostCommon, kWrongArchitecture, libFilePathName.c_str(),
                                 kHostArchitecture);
                }
            }
            erg = phModule->is_valid();
        }
        if (erg) {
            TraceFormatW(kLevelDetail, kCategoryVeMoHostCommon, L"Ladevorgang für <%s> war erfolgreich!",
                         libFilePathName.c_str());
        }
    } catch (...) {
        TraceFormatW(kLevelError, kCategoryVeMoHostCommon,
                     L"Exception in CLibMgr::LoadLibrary(...) aufgetreten! LastError: <%d>!",
                     static_cast<int>(::GetLastError()));
    }
    trace.SetReturnValueFormatW(L"erg <%d>", erg ? 1 : 0);
    return erg;
}

void CLibMgr::UnloadLibrary(vemo::unique_hmodule* phModule) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, L"CLibMgr::UnloadLibrary", __LINE__);
    if (phModule && *phModule) {
        TraceWriteW(kLevelInfo, kCategoryVeMoHostCommon, L"Library entladen");
        phModule->reset();
    }
}
