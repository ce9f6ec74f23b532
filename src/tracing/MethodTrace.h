#pragma once
// A scope on the stack of a traced method: a begin line when it is made, an end line with the
// elapsed time when it ends. Begin lines of levels that are off wait until an error makes
// them interesting; an exception passing through the scope is reported at level 1.
#include <cstdint>
#include <string>

#define VEMO_WIDEN_(x) L##x
#define VEMO_WIDEN(x) VEMO_WIDEN_(x)
#define VEMO_WFILE VEMO_WIDEN(__FILE__)

// A method-trace scope with the source file as the build gives it.
#define METHOD_TRACE(var, level, category, method, line) \
    MethodTrace var((level), (category), (method), VEMO_WFILE, (line), L"")

class MethodTrace {
public:
    MethodTrace(int level, const wchar_t* pszCategory, const wchar_t* pszMethodName, const wchar_t* pszSourceFile,
                int line, const wchar_t* pszContext);
    ~MethodTrace();
    MethodTrace(const MethodTrace&) = delete;
    MethodTrace& operator=(const MethodTrace&) = delete;

    void SetError(const char* pszInfo, int line);
    void SetErrorFormat(int line, const char* pszFormat, ...);
    void SetReturnValueFormat(const char* pszFormat, ...);
    void SetReturnValueFormatW(const wchar_t* pszFormat, ...);

private:
    void Begin(int level, const wchar_t* pszCategory, const wchar_t* pszMethodName, const wchar_t* pszSourceFile,
               int line, const wchar_t* pszContext);
    void FlushPendingBegin();

    bool disabled = true;
    bool beginWritten = false;
    uint16_t level = 0;
    int64_t startTicks = 0;
    std::string category;
    std::string methodName;
    std::string resultText;
    std::string pendingBegin;
    int uncaughtAtStart = 0;
};
