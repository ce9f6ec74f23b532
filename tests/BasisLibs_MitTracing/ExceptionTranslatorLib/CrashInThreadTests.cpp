// The whole chain in one process: a thread of the thread-control library faults, the translator
// traces, prunes the history, writes a real dump into the log directory, and only that thread ends.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "DumpTestEnv.h"
#include "TestSupport.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"

namespace {

using namespace dumptest;

constexpr DWORD kThreadTimeoutMs = 120000;
constexpr char kMinidumpSignature[] = "MDMP";
constexpr wchar_t kThreadName[] = L"Absturzfaden";
constexpr wchar_t kFaultLinePrefix[] =
    L"TranslateSEHExceptionToStdException -> Exception aufgetreten! Thread-ID <";
constexpr wchar_t kInvalidParameterLinePrefix[] =
    L"InvalidParameterHandler -> Exception aufgetreten! Thread-ID <";
constexpr wchar_t kThreadEndLine[] = L"Exception in _ThreadFunction() für Thread <Absturzfaden> aufgetreten!";
constexpr DWORD kExitCodeException = 1;

volatile int* volatile g_nullPointer = nullptr;
DWORD WINAPI WriteThroughNull(void*) {
    *g_nullPointer = 1;
    return 0;
}

// The thread-control library writes under the test's category too, as it does under the
// service's at run time.
class CrashInThread : public TracedTest {
protected:
    void SetUp() override {
        TracedTest::SetUp();
        ThreadControl::TC_SetTraceCategory(kTestCategory);
    }
    void TearDown() override {
        ThreadControl::TC_SetTraceCategory(vemo::kCategoryThreadControl);
        TracedTest::TearDown();
    }
};

TEST_F(CrashInThread, FaultEndsOnlyItsThreadWithATraceLineAndARealDump) {
    EmptyLogDir();
    // One old-pattern dump that the translator's cleanup must remove.
    const std::wstring oldDump = LogDir() + L"X__AppCrashDump_01.01.2020.00.00.00.dmp.txt";
    ASSERT_TRUE(vemo::test::WriteFileBytes(oldDump, "alt"));

    vemo::unique_handle thread(ThreadControl::_CreateThread(&WriteThroughNull, nullptr, kThreadName));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), kThreadTimeoutMs));
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(kExitCodeException, exitCode);

    EXPECT_EQ(1u, CountLines(1, kThreadEndLine)) << DumpRecords();
    EXPECT_TRUE(HasLineStartingWith(1, kFaultLinePrefix)) << DumpRecords();
    EXPECT_FALSE(Exists(oldDump));

    const auto files = vemo::test::FileNamesIn(LogDir());
    ASSERT_EQ(1u, files.size());
    const std::wstring name = *files.begin();
    EXPECT_NE(std::wstring::npos, name.find(L"__V" + BuildVersion() + L"_AppCrashDump_")) << vemo::test::Narrow(name);
    EXPECT_EQ(0u, name.find(std::wstring(kTestCategory) + L"__dump_tests.exe__"));
    const std::string bytes = vemo::test::ReadFileBytes(LogDir() + name);
    EXPECT_EQ(kMinidumpSignature, bytes.substr(0, 4));
}

TEST_F(CrashInThread, InvalidParameterHandlerWritesADumpAndReturns) {
    EmptyLogDir();
    // Called the way the runtime calls it; the caller goes on afterwards.
    InvalidParameterHandler(nullptr, nullptr, nullptr, 0, 0);
    EXPECT_TRUE(HasLineStartingWith(1, kInvalidParameterLinePrefix)) << DumpRecords();
    const auto files = vemo::test::FileNamesIn(LogDir());
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(kMinidumpSignature, vemo::test::ReadFileBytes(LogDir() + *files.begin()).substr(0, 4));
}

}  // namespace
