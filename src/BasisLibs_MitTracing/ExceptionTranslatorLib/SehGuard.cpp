#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"

#include <cstdlib>

#include "tracing/Trace.h"

extern "C" {
DWORD vemo_seh_run_guarded(void (*fn)(void*), void* context);
LONG vemo_seh_filter(EXCEPTION_POINTERS* pointers, void* establisherFrame);
DWORD vemo_seh_take_code(void);
}

namespace vemo::seh {
namespace {

// GCC's own C++ exceptions travel as structured exceptions with these codes: never ours.
constexpr DWORD kGccThrowCode = 0x20474343;
constexpr DWORD kGccUnwindCode = 0x21474343;

thread_local SehTranslator t_translator = nullptr;
thread_local DWORD t_caughtCode = 0;
thread_local bool t_throwRequested = false;
thread_local std::string* t_throwText = nullptr;  // allocated on first request, lives with the thread

InvalidParameterHandlerFn g_processInvalidParameterHandler = nullptr;
thread_local InvalidParameterHandlerFn t_threadInvalidParameterHandler = nullptr;

bool IsCppException(DWORD code) { return code == kGccThrowCode || code == kGccUnwindCode; }

// The runtime knows one handler per process; it dispatches to the thread's own if it has one.
void DispatchInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                              unsigned int line, uintptr_t reserved) {
    InvalidParameterHandlerFn handler =
        t_threadInvalidParameterHandler ? t_threadInvalidParameterHandler : g_processInvalidParameterHandler;
    if (handler) handler(expression, function, file, line, reserved);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* pointers) {
    if (pointers && pointers->ExceptionRecord && !IsCppException(pointers->ExceptionRecord->ExceptionCode)) {
        if (SehTranslator translator = t_translator) {
            translator(pointers->ExceptionRecord->ExceptionCode, pointers);
        }
        // The process ends next: the queued trace lines must not end with it.
        TraceFlush();
    }
    // Nobody can take a thrown exception here: the process ends as it would have without us.
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

SehTranslator SetSehTranslator(SehTranslator translator) {
    SehTranslator previous = t_translator;
    t_translator = translator;
    return previous;
}

SehTranslator GetSehTranslator() { return t_translator; }

void RequestThrow(const char* pszText) {
    if (!t_throwText) t_throwText = new (std::nothrow) std::string;
    if (!t_throwText) return;
    t_throwText->assign(pszText ? pszText : "");
    t_throwRequested = true;
}

namespace detail {

DWORD RunGuarded(void (*fn)(void*), void* context) {
    t_caughtCode = 0;
    t_throwRequested = false;
    return vemo_seh_run_guarded(fn, context);
}

bool TakeRequestedThrow(std::string& text) {
    if (!t_throwRequested || !t_throwText) return false;
    t_throwRequested = false;
    text = *t_throwText;
    return true;
}

}  // namespace detail

void InstallUnhandledExceptionFilter() { ::SetUnhandledExceptionFilter(&UnhandledFilter); }

InvalidParameterHandlerFn SetProcessInvalidParameterHandler(InvalidParameterHandlerFn handler) {
    InvalidParameterHandlerFn previous = g_processInvalidParameterHandler;
    g_processInvalidParameterHandler = handler;
    _set_invalid_parameter_handler(&DispatchInvalidParameter);
    return previous;
}

InvalidParameterHandlerFn SetThreadInvalidParameterHandler(InvalidParameterHandlerFn handler) {
    InvalidParameterHandlerFn previous = t_threadInvalidParameterHandler;
    t_threadInvalidParameterHandler = handler;
    _set_invalid_parameter_handler(&DispatchInvalidParameter);
    return previous;
}

}  // namespace vemo::seh

using namespace vemo::seh;

extern "C" LONG vemo_seh_filter(EXCEPTION_POINTERS* pointers, void*) {
    const DWORD code = pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 0;
    if (IsCppException(code)) return EXCEPTION_CONTINUE_SEARCH;
    SehTranslator translator = t_translator;
    // Without a translator the thread never asked for translation: the fault searches on.
    if (!translator) return EXCEPTION_CONTINUE_SEARCH;
    translator(code, pointers);
    t_caughtCode = code;
    return EXCEPTION_EXECUTE_HANDLER;
}

extern "C" DWORD vemo_seh_take_code(void) {
    const DWORD code = t_caughtCode;
    t_caughtCode = 0;
    return code;
}
