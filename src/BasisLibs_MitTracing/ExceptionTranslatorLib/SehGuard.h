#pragma once
// Structured exceptions for a compiler without __try/__except. A thread installs a translator;
// a guarded call runs that translator in the filter, on the faulting stack (the place to write
// a dump), and then hands the fault to its caller as a C++ exception when the translator asked
// for one. Faults outside any guard reach the process's unhandled-exception filter, which runs
// the same translator. C++ exceptions pass every guard untouched.
// An MSVC build maps GuardedCall to __try/__except and SetSehTranslator to _set_se_translator.
#include <windows.h>

#include <exception>
#include <string>
#include <utility>

namespace vemo::seh {

using SehTranslator = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);
using InvalidParameterHandlerFn = void (*)(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                           unsigned int line, uintptr_t reserved);

// The calling thread's translator; returns the previous one.
SehTranslator SetSehTranslator(SehTranslator translator);
SehTranslator GetSehTranslator();

// Called by a translator: the guard's caller throws SehException with this text.
void RequestThrow(const char* pszText);

// The exception a translated fault becomes.
class SehException : public std::exception {
public:
    SehException(unsigned int code, std::string text) : m_code(code), m_text(std::move(text)) {}
    const char* what() const noexcept override { return m_text.c_str(); }
    unsigned int code() const noexcept { return m_code; }

private:
    unsigned int m_code;
    std::string m_text;
};

namespace detail {
// Runs fn(context) in the guard; returns the code of a structured exception caught, else 0.
DWORD RunGuarded(void (*fn)(void*), void* context);
// The text a translator asked to throw for the last caught fault of this thread, taken once.
bool TakeRequestedThrow(std::string& text);
}  // namespace detail

// Calls f inside the guard. A machine fault runs the thread's translator; if it asked for a
// throw, SehException follows here, otherwise the fault ends the call quietly and its code is
// returned. Returns 0 when f completed.
template <typename F>
DWORD GuardedCall(F&& f) {
    struct Call {
        F* f;
        std::exception_ptr error;
        static void Run(void* context) {
            auto* call = static_cast<Call*>(context);
            // A C++ exception must not unwind through the guard's frame: carry it across.
            try {
                (*call->f)();
            } catch (...) {
                call->error = std::current_exception();
            }
        }
    } call{&f, nullptr};
    const DWORD code = detail::RunGuarded(&Call::Run, &call);
    if (call.error) std::rethrow_exception(call.error);
    std::string text;
    if (code != 0 && detail::TakeRequestedThrow(text)) throw SehException(code, std::move(text));
    return code;
}

// Sends faults outside any guard to the faulting thread's translator. Installed once.
void InstallUnhandledExceptionFilter();

// Invalid runtime parameters: one process-wide handler, which a thread may replace for itself.
InvalidParameterHandlerFn SetProcessInvalidParameterHandler(InvalidParameterHandlerFn handler);
InvalidParameterHandlerFn SetThreadInvalidParameterHandler(InvalidParameterHandlerFn handler);

}  // namespace vemo::seh
