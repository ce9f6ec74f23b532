// The front-end against a recording trace module: exactly what reaches the module.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Recorder.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using vemo::test::TraceRecord;

namespace {

constexpr wchar_t kCategory[] = L"TestCat";
constexpr wchar_t kSourceFile[] = L"tests/tracing/TraceFrontEndTests.cpp";

class TraceFrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    // "level text" of every record, for whole-sequence comparisons.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (const TraceRecord& r : recorder.Records()) lines.push_back(std::to_string(r.level) + " " + r.text);
        return lines;
    }
    vemo::test::Recorder recorder;
};

TEST_F(TraceFrontEnd, BindsOnceAlsoUnderConcurrentFirstUse) {
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([] {
                for (int n = 0; n < 50; ++n) TraceShouldTrace(8);
            });
        }
    }
    EXPECT_TRUE(TraceShouldTrace(8));
    EXPECT_EQ(1, recorder.InitCalls());
}

TEST_F(TraceFrontEnd, WriteAndFormatReachTheModuleWithLevelAndCategory) {
    TraceWriteW(8, kCategory, L"plain text");
    TraceFormatW(2, kCategory, L"wide <%s> narrow <%S> int <%d> hex <%X> pad <%04d> f <%.3f>", L"wörd", "nar", -7,
                 0xBEEF, 42, 1.5);
    TraceWrite(16, "TestCat", "narrow api");
    EXPECT_EQ((std::vector<std::string>{"8 plain text",
                                        "2 wide <w\xF6rd> narrow <nar> int <-7> hex <BEEF> pad <0042> f <1.500>",
                                        "16 narrow api"}),
              Lines());
    for (const TraceRecord& r : recorder.Records()) EXPECT_EQ("TestCat", r.category);
}

// Only the level is asked before a single message: the category's own switch is the module's
// business when it writes. Levels that are off, missing categories or texts reach nothing.
TEST_F(TraceFrontEnd, WhatReachesTheModuleDependsOnTheLevelOnly) {
    recorder.SetLevelMask(0x0F);
    recorder.SetCategoryMask("TestCat", 0);
    TraceWriteW(16, kCategory, L"off");
    TraceFormatW(16, kCategory, L"off %d", 1);
    for (const wchar_t* category : {L"", static_cast<const wchar_t*>(nullptr)}) {
        TraceWriteW(8, category, L"no category");
        TraceFormatW(8, category, L"no category");
    }
    TraceWriteW(8, kCategory, nullptr);
    TraceFormatW(8, kCategory, nullptr);
    TraceWrite(8, "", "no category");
    TraceWrite(8, "TestCat", nullptr);
    TraceFormatW(8, kCategory, L"still handed over");
    EXPECT_EQ(std::vector<std::string>{"8 still handed over"}, Lines());
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, kCategory) || TraceShouldTraceCategory(8, "") || TraceShouldTraceCategory(8, nullptr) ||
                 TraceShouldTraceCategoryW(8, L""));
}

// ISO 8859-1: a wider character empties the text and silences the category. Texts are cut at
// 4095 bytes, categories at 127.
TEST_F(TraceFrontEnd, NarrowsToLatin1AndCutsLongTexts) {
    TraceWriteW(8, kCategory, L"L\u00e4nge \u00ff");
    TraceWriteW(8, kCategory, L"Euro \u20ac");
    TraceFormatW(8, kCategory, L"%s", L"Euro \u20ac");
    TraceWriteW(8, L"Kat\u20ac", L"category not narrowable");
    TraceFormatW(8, L"Kat\u20ac", L"category not narrowable");
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, L"Kat\u20ac"));
    const std::wstring a5000(5000, L'a'), b4095(4095, L'b'), c4096(4096, L'c'), k200(200, L'k');
    TraceFormatW(8, kCategory, L"%s", a5000.c_str());
    TraceWriteW(8, kCategory, a5000.c_str());
    TraceFormatW(8, kCategory, L"%s", b4095.c_str());
    TraceFormatW(8, kCategory, L"%s", c4096.c_str());
    TraceWriteW(8, k200.c_str(), L"x");
    TraceFormatW(8, k200.c_str(), L"y");
    const std::string a(4095, 'a');
    EXPECT_EQ((std::vector<std::string>{"8 L\xE4nge \xFF", "8 ", "8 ", "8 " + a, "8 " + a, "8 " + std::string(4095, 'b'),
                                        "8 " + std::string(4095, 'c'), "8 x", "8 y"}),
              Lines());
    const auto records = recorder.Records();
    ASSERT_EQ(9u, records.size());
    EXPECT_EQ(std::string(127, 'k') + "|" + std::string(127, 'k'), records[7].category + "|" + records[8].category);
}

// --- method trace: what a scope writes, as "level text" patterns ------------------------------

const std::string kBegin = R"(---> Beginn: Klasse::Methode \(12\) tests/tracing/TraceFrontEndTests\.cpp)";
const std::string kPendingBegin = R"(---> Beginn \(\d\d:\d\d:\d\d\.\d{3}\): Klasse::Methode \(12\) '' tests/tracing/TraceFrontEndTests\.cpp)";
const std::string kEnd = R"(<--- Ende: Klasse::Methode \(\d+\.\d{3} sec\))";
const std::string kReturn = "\t Returnwert: ";
const std::string kError = "!!!!! FEHLER wurde gesetzt: \r\n\t Info: ";

struct ScopeCase {
    const char* name;
    int categoryMask;
    int level;
    void (*body)(MethodTrace&);  // may throw
    std::vector<std::string> expected;
    int line = 12;
    const wchar_t* context = L"";
};

const ScopeCase kScopeCases[] = {
    {"Live", 0x1F, 8, [](MethodTrace& t) { t.SetReturnValueFormat("count <%d>", 3); },
     {"8 " + kBegin, "8 " + kEnd + kReturn + "count <3>"}},
    {"BelowItsLevel", 0x03, 8, [](MethodTrace& t) { t.SetReturnValueFormat("rc <%d>", 1); }, {}},
    // The begin line waits for an error and then comes at its level, stamped when it was made.
    {"PendingUntilAnError", 0x03, 8, [](MethodTrace& t) { t.SetError("kaputt", 42); },
     {"2 " + kPendingBegin, "2 " + kError + "kaputt\n\t Zeile: 42", "2 " + kEnd + kReturn + "Fehlerinfo: kaputt"}},
    {"ErrorAtLineZero", 0x1F, 8,
     [](MethodTrace& t) { t.SetErrorFormat(0, "Es ist eine Exception aufgetreten: %s", "bad_alloc"); },
     {"8 " + kBegin, "2 " + kError + "Es ist eine Exception aufgetreten: bad_alloc", "2 " + kEnd + ".*"}},
    {"ReturnValueAfterError", 0x1F, 8,
     [](MethodTrace& t) {
         t.SetError("kaputt", 1);
         t.SetReturnValueFormatW(L"rc <%d> %s", 5, L"w\u00e4");
     },
     {"8 " + kBegin, "2 " + kError + "kaputt\n\t Zeile: 1", "2 " + kEnd + kReturn + "rc <5> w\xE4"}},
    {"Unwinding", 0x01, 1, [](MethodTrace&) { throw std::runtime_error("weg"); },
     {"1 " + kBegin, "1 " + kEnd + kReturn + "Fehlerinfo: StackUnwinding ~MethodTrace: Es ist eine Exception aufgetreten"}},
    {"PendingBeginFlushedByAnException", 0x03, 8, [](MethodTrace&) { throw 7; },
     {"1 " + kPendingBegin, "1 " + kEnd + ".*"}},
    {"DisabledWhateverHappens", 0, 8,
     [](MethodTrace& t) {
         t.SetError("kaputt", 1);
         MethodTrace empty(8, L"", L"Klasse::Methode", kSourceFile, 12, L"");
         MethodTrace noName(8, L"Other", nullptr, kSourceFile, 12, L"");
         throw std::runtime_error("weg");
     },
     {}},
    // Line 0 leaves out the line, a context is quoted.
    {"WithoutLineWithContext", 0x1F, 8, [](MethodTrace&) {},
     {R"(8 ---> Beginn: Klasse::Methode 'ctx' tests/tracing/TraceFrontEndTests\.cpp)", "8 " + kEnd}, 0, L"ctx"},
    // A scope made in a destructor during unwinding has not been left by an exception.
    {"ScopeMadeWhileUnwinding", 0x1F, 8,
     [](MethodTrace&) {
         struct Guard {
             ~Guard() { MethodTrace inner(8, kCategory, L"Klasse::Methode", kSourceFile, 12, L""); }
         } guard;
         throw 1;
     },
     {"8 " + kBegin, "8 " + kBegin, "8 " + kEnd, "1 " + kEnd + kReturn + "Fehlerinfo: StackUnwinding .*"}},
};

class MethodTraceScope : public TraceFrontEnd, public ::testing::WithParamInterface<ScopeCase> {};

TEST_P(MethodTraceScope, WritesWhatItsLevelAndOutcomeCallFor) {
    recorder.SetCategoryMask("TestCat", GetParam().categoryMask);
    try {
        MethodTrace trace(GetParam().level, kCategory, L"Klasse::Methode", kSourceFile, GetParam().line, GetParam().context);
        GetParam().body(trace);
    } catch (...) {
    }
    const auto lines = Lines();
    ASSERT_EQ(GetParam().expected.size(), lines.size()) << ::testing::PrintToString(lines);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(GetParam().expected[i]))) << lines[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MethodTraceScope, ::testing::ValuesIn(kScopeCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
