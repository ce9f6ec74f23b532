// The bytes the module writes: the record layout, texts as given, entry texts and hex dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "TraceModuleHarness.h"
#include "tracing/Trace.h"

using namespace vemo::test;
using namespace vemo::tracing;

namespace {

constexpr char kCategory[] = "Format";

class TraceModuleFormat : public TraceModuleTest {};

}  // namespace

TEST_F(TraceModuleFormat, RecordHoldsLocalTimeProcessThreadLevelCategoryAndText) {
    // ISO 8859-1 bytes as escapes, independent of the compiler's execution character set.
    constexpr char kLatin1Text[] = "Gr\xF6\xDF" "e: \xE4\xC4 \xB0 \xFF";
    constexpr char kMultiLineText[] = "erste Zeile\r\nzweite Zeile";
    constexpr char kTabbedCategory[] = "Kat\tegorie";
    constexpr char kTabbedCategoryAsWritten[] = "Kat?egorie";  // a control character would split the fields
    constexpr char kOtherThreadText[] = "anderer Thread";
    if (!InChild()) {
        UseScratchTraceFile();
        ASSERT_TRUE(RunInChildren());
        return;
    }
    const std::string before = LocalTimestamp();
    ASSERT_EQ(api.Write(kLevelWarning, kCategory, kLatin1Text), 0);
    ASSERT_EQ(api.Write(kLevelError, kCategory, kMultiLineText), 0);
    ASSERT_EQ(api.Write(kLevelInfo, kTabbedCategory, kLatin1Text), 0);
    DWORD otherThreadId = 0;
    int otherResult = -1;
    std::thread other([&] {
        otherThreadId = ::GetCurrentThreadId();
        otherResult = api.Write(kLevelException, kCategory, kOtherThreadText);
    });
    other.join();
    ASSERT_EQ(otherResult, 0);
    const std::string after = LocalTimestamp();

    const std::string bytes = ReadFileBytes(TraceFile());
    const ParsedTrace trace = ParseTrace(bytes, true);
    ASSERT_EQ(trace.records.size(), 4u) << bytes;
    EXPECT_TRUE(trace.malformed.empty());
    EXPECT_TRUE(trace.endsWithLineEnd);

    // The whole file, rebuilt from the documented layout around the stamps it holds.
    const std::string pid = std::to_string(::GetCurrentProcessId());
    const std::string tid = std::to_string(::GetCurrentThreadId());
    auto record = [&](size_t i, const std::string& thread, int level, const std::string& category,
                      const std::string& text) {
        return trace.records[i].timestamp + "\t" + pid + "\t" + thread + "\t" + std::to_string(level) + "\t" +
               category + "\t" + text + "\r\n";
    };
    const std::string expected = record(0, tid, kLevelWarning, kCategory, kLatin1Text) +
                                 record(1, tid, kLevelError, kCategory, kMultiLineText) +
                                 record(2, tid, kLevelInfo, kTabbedCategoryAsWritten, kLatin1Text) +
                                 record(3, std::to_string(otherThreadId), kLevelException, kCategory, kOtherThreadText);
    EXPECT_EQ(bytes, expected);

    // Local time to the millisecond: every stamp lies between the two taken around the writes.
    for (const TraceRecord& r : trace.records) {
        EXPECT_GE(r.timestamp, before);
        EXPECT_LE(r.timestamp, after);
    }
}

TEST_F(TraceModuleFormat, EntryTextsAndHexDumps) {
    constexpr size_t kCutDumpSize = 70000;
    constexpr size_t kShownDumpLines = 65536 / 16;
    if (!InChild()) {
        UseScratchTraceFile();
        ASSERT_TRUE(RunInChildren());
        return;
    }
    const unsigned char data[] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
                                  0x00, 0x7F, 0xE4, '~'};
    EXPECT_EQ(api.WriteEntry(kLevelInfo, kCategory, "Eintrag", "Wert"), 0);
    EXPECT_EQ(api.WriteEntry(kLevelInfo, kCategory, nullptr, "ohne Eintrag"), 0);
    EXPECT_EQ(api.WriteEntry(kLevelDetail, kCategory, "Eintrag", "Detail ist aus"), 0);
    EXPECT_EQ(api.Dump(kLevelInfo, kCategory, data, sizeof(data)), 0);
    EXPECT_EQ(api.DumpEntry(kLevelInfo, kCategory, "Puffer", data, 3), 0);
    EXPECT_EQ(api.DumpEntry(kLevelInfo, kCategory, "Leer", data, 0), 0);
    EXPECT_EQ(api.Dump(kLevelDetail, kCategory, data, sizeof(data)), 0);
    const std::string big(kCutDumpSize, 'x');
    EXPECT_EQ(api.Dump(kLevelInfo, kCategory, big.data(), static_cast<unsigned>(big.size())), 0);

    const ParsedTrace trace = ReadTrace(TraceFile());
    ASSERT_EQ(trace.records.size(), 6u);
    EXPECT_EQ(trace.records[0].text, "Eintrag: Wert");
    EXPECT_EQ(trace.records[1].text, "ohne Eintrag");
    EXPECT_EQ(trace.records[2].text,
              "20 Bytes\r\n"
              "00000000  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\r\n"
              "00000010  00 7F E4 7E" + std::string(12 * 3, ' ') + "  ...~");
    EXPECT_EQ(trace.records[3].text, "Puffer: 3 Bytes\r\n00000000  41 42 43" + std::string(13 * 3, ' ') + "  ABC");
    EXPECT_EQ(trace.records[4].text, "Leer: 0 Bytes");
    const std::string& cut = trace.records[5].text;
    EXPECT_EQ(cut.substr(0, cut.find("\r\n")), "70000 Bytes (gek\xFCrzt auf 65536 Bytes)");
    size_t lineBreaks = 0;
    for (size_t pos = cut.find("\r\n"); pos != std::string::npos; pos = cut.find("\r\n", pos + 2)) ++lineBreaks;
    EXPECT_EQ(lineBreaks, kShownDumpLines);
    EXPECT_NE(cut.find("0000FFF0  78 78"), std::string::npos) << "offsets run on to the last shown line";
}
