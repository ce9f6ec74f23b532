#include "VeMoHostServiceLib/EntryPoint.h"

#include <cwchar>
#include <new>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "VeMoHostIntLib/VeMoHostInt.h"
#include "common/CommandTable.h"
#include "VeMoHostServiceLib/VeMoHostService.h"
#include "common/TraceCategories.h"
#include "common/WideFormat.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

namespace {

constexpr int kMinArgumentCount = 1;
constexpr int kMaxArgumentCount = 3;
constexpr wchar_t kIdentityWordVemo[] = L"VEMO";
constexpr wchar_t kIdentityWordBase[] = L"BASE";
constexpr wchar_t kStartParameterFormat[] = L"/%s";
constexpr size_t kStartParameterChars = 25;

// Storage for the service objects: zero-filled and built anew for each record, never destroyed,
// so what an earlier object left open stays open until the process ends.
alignas(CVemoHostService) unsigned char g_serviceStorage[sizeof(CVemoHostService)];

DWORD ProcessRecord(size_t index, const wchar_t* pszCommand) {
    wchar_t startParameter[kStartParameterChars] = {};
    if (index == kServiceIndexBase) {
        vemo::FormatToBufferW(startParameter, kStartParameterChars, kStartParameterFormat,
                              g_commandTable[kCommandRowStartPure].keyword);
    }
    const ServiceRecord& record = g_serviceTable[index];
    memset(g_serviceStorage, 0, sizeof(g_serviceStorage));
    auto* service = new (g_serviceStorage) CVemoHostService(record.name, record.displayName, record.description);
    service->ProcessCommand(pszCommand, startParameter);
    const DWORD exitStatus = service->GetExitStatus();
    wmemset(startParameter, L'\0', kStartParameterChars);
    return exitStatus;
}

}  // namespace

EntryArguments ParseEntryArguments(int argc, wchar_t** argv) {
    EntryArguments result;
    if (argc < kMinArgumentCount || argc > kMaxArgumentCount) {
        result.tooMany = true;
        return result;
    }
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        if (!argument) continue;
        if (argument[0] == L'-' || argument[0] == L'/') {
            result.command = argument;
        } else if (_wcsicmp(argument, kIdentityWordBase) == 0) {
            result.identity = ServiceIdentity::Base;
        } else if (_wcsicmp(argument, kIdentityWordVemo) == 0) {
            result.identity = ServiceIdentity::Vemo;
        }
    }
    return result;
}

int RunEntryPoint(int argc, wchar_t** argv, const wchar_t* pszCmdLine, int nCmdShow) {
    wcsncpy(g_szExceptionTranslatorCategory, vemo::kCategoryVHService, kExceptionTranslatorCategoryChars - 1);
    ThreadControl::TC_SetTraceCategory(vemo::kCategoryVHService);
    InstallProcessCrashHandlers(&ThreadControl::TC_StartProcessAsyncA);
    wcsncpy(g_szVeMoHostCategory, vemo::kCategoryVHService, kHostCategoryChars - 1);
    TraceFormatW(kLevelInfo, vemo::kCategoryVHService, L"lpCmdLine <%s>, nCmdShow <%d>", pszCmdLine ? pszCmdLine : L"",
                 nCmdShow);

    const EntryArguments arguments = ParseEntryArguments(argc, argv);
    if (arguments.tooMany) {
        TraceWriteW(kLevelError, vemo::kCategoryVHService,
                    L"Too many arguments! Only 3 arguments are allowed: VeMoHostService /<command> [sc]");
        return kExitTooManyArguments;
    }
    TraceFormatW(kLevelInfo, vemo::kCategoryVHService, L"kommando <%s>",
                 arguments.command ? arguments.command : L"NULL");

    DWORD exitCode = 0;
    switch (arguments.identity) {
        case ServiceIdentity::None:
            for (size_t index = 0; g_serviceTable[index].name[0] != L'\0'; ++index) {
                exitCode = ProcessRecord(index, arguments.command);
            }
            break;
        case ServiceIdentity::Vemo:
            exitCode = ProcessRecord(kServiceIndexVemo, arguments.command);
            break;
        case ServiceIdentity::Base:
            exitCode = ProcessRecord(kServiceIndexBase, arguments.command);
            break;
    }
    return static_cast<int>(exitCode);
}
