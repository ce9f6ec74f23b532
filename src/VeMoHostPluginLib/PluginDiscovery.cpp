#include "VeMoHostPluginLib/PluginDiscovery.h"

#include <cwchar>
#include <iterator>

#include "VeMoHostIntLib/PluginKonfig.h"
#include "VeMoHostIntLib/VeMoHostInt.h"
#include "VeMoHostPluginLib/PluginLoadPlan.h"
#include "VeMoHostPluginLib/PluginLoading.h"
#include "common/EventLog.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHost;

namespace {
constexpr uint32_t kDirectoryChars = MAX_PATH;
constexpr size_t kMaxPathChars = MAX_PATH - 1;  // plus the terminator

constexpr size_t kFirstDigitIndex = 1;
constexpr wchar_t kCheckSucceeded[] = L"succeeded.";
constexpr wchar_t kCheckFailed[] = L"failed!";

// The reader's calls are traced as the host's, in the category the entry point chose.
constexpr wchar_t kHostIntSourceFile[] = L"VeMoHostIntLib/VeMoHostInt.cpp";
constexpr bool kLoadInSystemKontext = kServiceLoadsInSystemContext;

bool IsDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
}  // namespace

void GetPluginData(bool bLoadInPureMode) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"GetPluginData", __LINE__);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"loadInSystemKontext <%d>", kLoadInSystemKontext ? 1 : 0);
    PluginFileList fileList;
    GetPluginFileList(fileList);
    const int32_t count = CountPluginData(fileList);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"count <%d>", count);
    if (count <= 0) {
        TraceWriteW(kLevelInfo, kCategoryVeMoHost, L"Keine Plugins gefunden --> g_numPluginInfo = 0");
        g_numPluginInfo = 0;
        if (g_vecPluginInfo) {
            g_vecPluginInfo.reset();
            g_hPluginsInitialized.reset();
        }
        return;
    }
    if (count != g_numPluginInfo) {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"count <%d> != g_numPluginInfo <%d>", count, g_numPluginInfo);
        g_numPluginInfo = count;
        g_vecPluginInfo.reset();
        g_vecPluginInfo = std::make_unique<CPluginInfo[]>(static_cast<size_t>(count));
    }
    LoadPluginData(kLoadInSystemKontext, bLoadInPureMode, fileList);
}

void GetPluginFileList(PluginFileList& fileList) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"GetPluginFileList", __LINE__);
    for (const wchar_t* componentId : kPluginComponentIds) {
        wchar_t directory[kDirectoryChars] = {};
        if (!CDB_IsComponentInstalled(componentId) ||
            CDB_GetKonfigDir(componentId, directory, kDirectoryChars) != CDB_OK) {
            continue;
        }
        AppendPluginFiles(directory, fileList);
    }
}

void AppendPluginFiles(const std::wstring& directory, PluginFileList& fileList) {
    const std::wstring pattern = directory + kPluginFilePattern;
    if (pattern.size() > kMaxPathChars) return;
    WIN32_FIND_DATAW findData{};
    vemo::unique_hfind find(::FindFirstFileW(pattern.c_str(), &findData));
    if (!find) return;
    do {
        if (!CheckFilename(findData.cFileName)) continue;
        std::wstring fullPath = directory + findData.cFileName;
        if (fullPath.size() <= kMaxPathChars) fileList.push_back(std::move(fullPath));
    } while (::FindNextFileW(find.get(), &findData));
}

bool CheckFilename(const wchar_t* pszFileName) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CheckFilename", __LINE__);
    const wchar_t* name = pszFileName ? pszFileName : L"";
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"checking fileName <%s>...", name);
    bool ok = wcslen(name) == kPluginFileNameChars && _wcsicmp(name + kPluginFileBaseChars, kPluginFileExtension) == 0;
    for (size_t i = kFirstDigitIndex; ok && i < kPluginFileBaseChars; ++i) {
        ok = IsDecimalDigit(name[i]);
    }
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"check of file <%s> %s", name, ok ? kCheckSucceeded : kCheckFailed);
    return ok;
}

int32_t CountPluginData(PluginFileList fileList) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"CountPluginData", __LINE__);
    int32_t total = 0;
    for (const std::wstring& file : fileList) {
        MethodTrace readerTrace(kLevelInfo, g_szVeMoHostCategory, L"GetNumberOfPluginInfos", kHostIntSourceFile,
                                __LINE__, L"");
        int n = 0;
        {
            CPluginConfig config(file.c_str());
            n = config.GetNumberOfPluginInfos();
            if (config.HasDocument() && !config.Loaded()) {
                vemo::eventlog::Report(VEMO_EVENT_CONFIG_UNREADABLE, {file, config.LoadError()});
            }
        }
        readerTrace.SetReturnValueFormatW(L"Ergebnis GetNumberOfPluginInfos <%d>", n);
        total += n;
    }
    trace.SetReturnValueFormatW(L"g_numPluginInfo <%d>", total);
    return total;
}

void LoadPluginData(bool bLoadInSystemKontext, bool bLoadInPureMode, PluginFileList fileList) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"LoadPluginData", __LINE__);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"g_numPluginInfo <%d>", g_numPluginInfo);
    const size_t count = static_cast<size_t>(g_numPluginInfo > 0 ? g_numPluginInfo : 0);
    // One null entry more, so the reader is always handed a valid slot, even with a full array.
    std::vector<CPluginInfo*> addresses(count + 1, nullptr);
    for (size_t i = 0; i < count; ++i) addresses[i] = &g_vecPluginInfo[i];
    int32_t filled = 0;
    for (const std::wstring& file : fileList) {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"fileName <%s>, bLoadInSystemKontext <%d>", file.c_str(),
                     bLoadInSystemKontext ? 1 : 0);
        MethodTrace readerTrace(kLevelInfo, g_szVeMoHostCategory, L"CreatePluginInfo", kHostIntSourceFile, __LINE__,
                                L"");
        int n = 0;
        {
            CPluginConfig config(file.c_str());
            n = config.GetPluginInfo(&addresses[static_cast<size_t>(filled)], g_numPluginInfo - filled);
        }
        readerTrace.SetReturnValueFormatW(L"Ergebnis GetPluginInfo <%d>", n);
        filled += n;
    }
    g_numActivePluginInfo = filled;
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"g_numActivePluginInfo <%d>", g_numActivePluginInfo);
    MakeBarrier(static_cast<size_t>(g_numActivePluginInfo));
    addresses.clear();
    LoadPlugins(bLoadInSystemKontext, bLoadInPureMode);
}

bool IsAlreadyLoaded(int32_t idx) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"IsAlreadyLoaded", __LINE__);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"idx <%d>", idx);
    const int32_t twin = FindLoadedTwin(g_vecPluginInfo.get(), idx);
    const bool alreadyLoaded = twin >= 0;
    if (alreadyLoaded) {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Plugin <%s> is already loaded",
                     g_vecPluginInfo[static_cast<size_t>(twin)]._name.c_str());
    }
    trace.SetReturnValueFormatW(L"alreadyLoaded <%d>", alreadyLoaded ? 1 : 0);
    return alreadyLoaded;
}
