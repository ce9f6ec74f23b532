// The front-end against a recording trace module: exactly what reaches the module.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Recorder.h"
#include "TestSupport.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using vemo::test::Recorder;
using vemo::test::TraceRecord;

namespace {

constexpr wchar_t kCategory[] = L"TestCat";
constexpr char kCategoryNarrow[] = "TestCat";
constexpr char kSourceFile[] = "tests/tracing/TraceFrontEndTests.cpp";
constexpr wchar_t kSourceFileW[] = L"tests/tracing/TraceFrontEndTests.cpp";
constexpr int kOnlyLevelTwoAndOne = 0x03;

class TraceFrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    std::vector<TraceRecord> Records() const { return recorder.Records(); }
    Recorder recorder;
};

// --- binding ----------------------------------------------------------------------------------

TEST_F(TraceFrontEnd, BindsOnceAlsoUnderConcurrentFirstUse) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([] {
            for (int n = 0; n < 50; ++n) TraceShouldTrace(8);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(TraceShouldTrace(8));
    EXPECT_EQ(1, recorder.InitCalls());
}

// --- single messages --------------------------------------------------------------------------

TEST_F(TraceFrontEnd, WriteAndFormatReachTheModuleWithLevelAndCategory) {
    TraceWriteW(8, kCategory, L"plain text");
    TraceFormatW(2, kCategory, L"wide <%s> narrow <%S> int <%d> hex <%X> pad <%04d> f <%.3f>", L"wörd", "nar", -7,
                 0xBEEF, 42, 1.5);
    TraceWrite(16, kCategoryNarrow, "narrow api");
    const auto records = Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(8, records[0].level);
    EXPECT_EQ(kCategoryNarrow, records[0].category);
    EXPECT_EQ("plain text", records[0].text);
    EXPECT_EQ(2, records[1].level);
    EXPECT_EQ("wide <w\xF6rd> narrow <nar> int <-7> hex <BEEF> pad <0042> f <1.500>", records[1].text);
    EXPECT_EQ(16, records[2].level);
    EXPECT_EQ("narrow api", records[2].text);
}

TEST_F(TraceFrontEnd, NothingIsWrittenForLevelsOffMissingCategoriesOrTexts) {
    recorder.SetLevelMask(0x0F);
    TraceWriteW(16, kCategory, L"off");
    TraceFormatW(16, kCategory, L"off %d", 1);
    TraceWriteW(8, L"", L"no category");
    TraceWriteW(8, nullptr, L"no category");
    TraceWriteW(8, kCategory, nullptr);
    TraceFormatW(8, L"", L"no category");
    TraceFormatW(8, kCategory, nullptr);
    TraceWrite(8, "", "no category");
    TraceWrite(8, kCategoryNarrow, nullptr);
    EXPECT_TRUE(Records().empty());
    EXPECT_FALSE(TraceShouldTraceCategory(8, ""));
    EXPECT_FALSE(TraceShouldTraceCategory(8, nullptr));
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, L""));
}

TEST_F(TraceFrontEnd, OnlyTheLevelIsAskedBeforeASingleMessage) {
    // The category's own switch is the module's business when it writes.
    recorder.SetCategoryMask(kCategoryNarrow, 0);
    TraceFormatW(8, kCategory, L"still handed over");
    ASSERT_EQ(1u, Records().size());
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, kCategory));
}

TEST_F(TraceFrontEnd, NarrowsToLatin1AndEmptiesTextsWithWiderCharacters) {
    TraceWriteW(8, kCategory, L"L\u00e4nge \u00ff");
    TraceWriteW(8, kCategory, L"Euro \u20ac");
    TraceFormatW(8, kCategory, L"%s", L"Euro \u20ac");
    TraceWriteW(8, L"Kat\u20ac", L"category not narrowable");
    TraceFormatW(8, L"Kat\u20ac", L"category not narrowable");
    const auto records = Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("L\xE4nge \xFF", records[0].text);
    EXPECT_EQ("", records[1].text);
    EXPECT_EQ("", records[2].text);
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, L"Kat\u20ac"));
}

TEST_F(TraceFrontEnd, CutsMessagesAt4095AndCategoriesAt127Bytes) {
    const std::wstring longText(5000, L'a');
    const std::wstring exact4095(4095, L'b');
    const std::wstring exact4096(4096, L'c');
    const std::wstring longCategory(200, L'k');
    TraceFormatW(8, kCategory, L"%s", longText.c_str());
    TraceWriteW(8, kCategory, longText.c_str());
    TraceFormatW(8, kCategory, L"%s", exact4095.c_str());
    TraceFormatW(8, kCategory, L"%s", exact4096.c_str());
    TraceWriteW(8, longCategory.c_str(), L"x");
    TraceFormatW(8, longCategory.c_str(), L"y");
    const auto records = Records();
    ASSERT_EQ(6u, records.size());
    EXPECT_EQ(std::string(4095, 'a'), records[0].text);
    EXPECT_EQ(std::string(4095, 'a'), records[1].text);
    EXPECT_EQ(std::string(4095, 'b'), records[2].text);
    EXPECT_EQ(std::string(4095, 'c'), records[3].text);
    EXPECT_EQ(std::string(127, 'k'), records[4].category);
    EXPECT_EQ(std::string(127, 'k'), records[5].category);
}

// --- method trace -----------------------------------------------------------------------------

const std::regex kEndLine(R"(<--- Ende: Klasse::Methode \(\d+\.\d{3} sec\)(.*))");

TEST_F(TraceFrontEnd, LiveScopeWritesBeginAndEndWithReturnValue) {
    {
        MethodTrace trace(8, kCategory, L"Klasse::Methode", kSourceFileW, 12, L"");
        trace.SetReturnValueFormat("count <%d>", 3);
    }
    const auto records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(8, records[0].level);
    EXPECT_EQ(std::string("---> Beginn: Klasse::Methode (12) ") + kSourceFile, records[0].text);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(records[1].text, m, kEndLine)) << records[1].text;
    EXPECT_EQ("\t Returnwert: count <3>", m[1].str());
    EXPECT_EQ(8, records[1].level);
}

TEST_F(TraceFrontEnd, LineZeroAndContextShapeTheBeginLine) {
    { MethodTrace trace(8, kCategory, L"Klasse::Methode", kSourceFileW, 0, L"ctx"); }
    const auto records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(std::string("---> Beginn: Klasse::Methode 'ctx' ") + kSourceFile, records[0].text);
    EXPECT_TRUE(std::regex_match(records[1].text, std::regex(R"(<--- Ende: Klasse::Methode \(\d+\.\d{3} sec\))")))
        << records[1].text;
}

TEST_F(TraceFrontEnd, PendingBeginIsReleasedByAnErrorWithItsConstructionTime) {
    recorder.SetCategoryMask(kCategoryNarrow, kOnlyLevelTwoAndOne);
    SYSTEMTIME before, constructed;
    ::GetLocalTime(&before);
    {
        MethodTrace trace(8, kCategory, L"Klasse::Methode", kSourceFileW, 12, L"");
        ::GetLocalTime(&constructed);
        ASSERT_TRUE(Records().empty());
        // The error comes once the clock has moved on from the construction.
        ASSERT_TRUE(vemo::test::WaitFor([&] {
            SYSTEMTIME now;
            ::GetLocalTime(&now);
            return now.wMilliseconds != constructed.wMilliseconds || now.wSecond != constructed.wSecond;
        }, 1000));
        trace.SetError("kaputt", 42);
    }
    const auto records = Records();
    ASSERT_EQ(3u, records.size());
    for (const auto& r : records) EXPECT_EQ(2, r.level);
    std::smatch m;
    const std::regex pending(R"(---> Beginn \((\d\d):(\d\d):(\d\d)\.(\d\d\d)\): Klasse::Methode \(12\) '' (.*))");
    ASSERT_TRUE(std::regex_match(records[0].text, m, pending)) << records[0].text;
    EXPECT_EQ(kSourceFile, m[5].str());
    const int stampMs = ((std::stoi(m[1]) * 60 + std::stoi(m[2])) * 60 + std::stoi(m[3])) * 1000 + std::stoi(m[4]);
    // Milliseconds since "before", across midnight too.
    constexpr int kDayMs = 24 * 60 * 60 * 1000;
    auto sinceBefore = [&](int ms) {
        return (ms - ((before.wHour * 60 + before.wMinute) * 60 + before.wSecond) * 1000 - before.wMilliseconds + kDayMs) % kDayMs;
    };
    const int constructedMs = ((constructed.wHour * 60 + constructed.wMinute) * 60 + constructed.wSecond) * 1000 +
                              constructed.wMilliseconds;
    // Stamped at construction, not when the error came.
    EXPECT_LE(sinceBefore(stampMs), sinceBefore(constructedMs));
    EXPECT_EQ("!!!!! FEHLER wurde gesetzt: \r\n\t Info: kaputt\n\t Zeile: 42", records[1].text);
    ASSERT_TRUE(std::regex_match(records[2].text, m, kEndLine)) << records[2].text;
    EXPECT_EQ("\t Returnwert: Fehlerinfo: kaputt", m[1].str());
}

TEST_F(TraceFrontEnd, ScopeWithoutErrorBelowItsLevelWritesNothing) {
    recorder.SetCategoryMask(kCategoryNarrow, kOnlyLevelTwoAndOne);
    {
        MethodTrace trace(8, kCategory, L"Klasse::Methode", kSourceFileW, 12, L"");
        trace.SetReturnValueFormat("rc <%d>", 1);
    }
    EXPECT_TRUE(Records().empty());
}

TEST_F(TraceFrontEnd, ErrorAtLineZeroHasNoLinePartAndFormatWorks) {
    {
        MethodTrace trace(8, kCategory, L"Klasse::Methode", kSourceFileW, 12, L"");
        trace.SetErrorFormat(0, "Es ist eine Exception aufgetreten: %s", "bad_alloc");
    }
    const auto records = Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("!!!!! FEHLER wurde gesetzt: \r\n\t Info: Es ist eine Exception aufgetreten: bad_alloc",
              records[1].text);
    EXPECT_EQ(2, records[1].level);
    EXPECT_EQ(2, records[2].level);  // the error lowered the scope for good
}

TEST_F(TraceFrontEnd, ReturnValueAfterErrorReplacesTheErrorInfo) {
    {
        MethodTrace trace(8, kCategory, L"Klasse::Methode", kSourceFileW, 12, L"");
        trace.SetError("kaputt", 1);
        trace.SetReturnValueFormatW(L"rc <%d> %s", 5, L"w\u00e4");
    }
    const auto records = Records();
    ASSERT_EQ(3u, records.size());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(records[2].text, m, kEndLine));
    EXPECT_EQ("\t Returnwert: rc <5> w\xE4", m[1].str());
}

TEST_F(TraceFrontEnd, UnwindingExceptionWritesTheEndLineAtLevelOne) {
    recorder.SetCategoryMask(kCategoryNarrow, 0x01);  // only level 1: the begin line stays pending
    try {
        MethodTrace trace(1, kCategory, L"Klasse::Methode", kSourceFileW, 12, L"");
        throw std::runtime_error("weg");
    } catch (const std::exception&) {
    }
    const auto records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(1, records[0].level);
    EXPECT_EQ(1, records[1].level);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(records[1].text, m, kEndLine)) << records[1].text;
    EXPECT_EQ("\t Returnwert: Fehlerinfo: StackUnwinding ~MethodTrace: Es ist eine Exception aufgetreten", m[1].str());
}

TEST_F(TraceFrontEnd, PendingBeginIsFlushedAtLevelOneWhenAnExceptionPasses) {
    recorder.SetCategoryMask(kCategoryNarrow, kOnlyLevelTwoAndOne);
    try {
        MethodTrace trace(8, kCategory, L"Klasse::Methode", kSourceFileW, 12, L"");
        throw 7;
    } catch (int) {
    }
    const auto records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(1, records[0].level);
    EXPECT_EQ(0u, records[0].text.find("---> Beginn ("));
    EXPECT_EQ(1, records[1].level);
}

TEST_F(TraceFrontEnd, DisabledScopesStaySilentWhateverHappens) {
    recorder.SetCategoryMask(kCategoryNarrow, 0);  // off even at level 2
    try {
        MethodTrace off(8, kCategory, L"Klasse::Methode", kSourceFileW, 12, L"");
        off.SetError("kaputt", 1);
        MethodTrace empty(8, L"", L"Klasse::Methode", kSourceFileW, 12, L"");
        MethodTrace noName(8, L"Other", nullptr, kSourceFileW, 12, L"");
        throw std::runtime_error("weg");
    } catch (const std::exception&) {
    }
    EXPECT_TRUE(Records().empty());
}

TEST_F(TraceFrontEnd, ScopeThatEndsNormallyWhileAnotherExceptionIsInFlight) {
    // A scope made inside a destructor during unwinding has not been left by an exception.
    struct Guard {
        ~Guard() { MethodTrace inner(8, L"TestCat", L"Klasse::Methode", L"f", 1, L""); }
    };
    try {
        Guard guard;
        throw 1;
    } catch (int) {
    }
    const auto records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(8, records[1].level);
    EXPECT_TRUE(std::regex_match(records[1].text, std::regex(R"(<--- Ende: Klasse::Methode \(\d+\.\d{3} sec\))")));
}

}  // namespace
