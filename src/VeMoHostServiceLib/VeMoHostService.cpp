#include "VeMoHostServiceLib/VeMoHostService.h"

#include "common/TraceCategories.h"
#include "common/WideFormat.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

namespace {
constexpr wchar_t kInitEventFormat[] = L"Global\\InitEvent_%d";
constexpr size_t kInitEventNameChars = 128;
constexpr int kLineConstructor = 187;
constexpr int kLineOnStart = 213;
constexpr int kLineOnStop = 232;
}  // namespace

CVemoHostService::CVemoHostService(const wchar_t* pszName, const wchar_t* pszDisplayName,
                                   const wchar_t* pszDescription)
    : CService(pszName, pszDisplayName, pszDescription) {
    METHOD_TRACE(trace, kLevelInfo, vemo::kCategoryVHService, L"CVemoHostService::CVemoHostService",
                 kLineConstructor);
    TraceFormatW(kLevelInfo, vemo::kCategoryVHService, L"name <%s>, displayname <%s>, description <%s>", pszName,
                 pszDisplayName, pszDescription);
    m_stopFlag = false;

    wchar_t eventName[kInitEventNameChars] = {};
    vemo::FormatToBufferW(eventName, kInitEventNameChars, kInitEventFormat,
                          static_cast<int>(::GetCurrentProcessId()));
    // Lives as long as the process: the entry point never destroys its service objects.
    m_initEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, eventName));
    if (m_initEvent) {
        TraceFormatW(kLevelInfo, vemo::kCategoryVHService, L"%s created successfully!!!!", eventName);
    } else {
        TraceFormatW(kLevelError, vemo::kCategoryVHService, L"%s creation failed with <%d>!", eventName,
                     ::GetLastError());
    }
}

BOOL CVemoHostService::OnStart() {
    METHOD_TRACE(trace, kLevelInfo, vemo::kCategoryVHService, L"CVemoHostService::OnStart", kLineOnStart);
    return TRUE;
}

BOOL CVemoHostService::OnStop() {
    METHOD_TRACE(trace, kLevelInfo, vemo::kCategoryVHService, L"CVemoHostService::OnStop", kLineOnStop);
    m_stopFlag = true;
    return TRUE;
}
