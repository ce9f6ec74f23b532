// The bytes the module writes, and the append mutex that keeps them whole across processes.
#include <gtest/gtest.h>

#include <thread>

#include "TraceModuleHarness.h"

using namespace vemo::test;
using namespace vemo::tracemodule;

namespace {

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoTraceModuleTests");

}  // namespace

TEST_F(TraceModuleTest, RecordHoldsLocalTimeProcessThreadLevelCategoryAndText) {
    constexpr char kLatin1[] = "Gr\xF6\xDF" "e: \xE4\xC4 \xB0 \xFF";  // escapes: whatever the execution charset
    if (RunsInAChild()) return;
    const std::string before = LocalTimestamp();
    ASSERT_EQ(0, api.Write(4, "Format", kLatin1));
    ASSERT_EQ(0, api.Write(2, "Format", "erste Zeile\r\nzweite Zeile"));
    ASSERT_EQ(0, api.Write(8, "Kat\tegorie", kLatin1));
    DWORD otherThread = 0;
    std::thread([&] {
        otherThread = ::GetCurrentThreadId();
        EXPECT_EQ(0, api.Write(1, "Format", "anderer Thread"));
    }).join();
    const std::string after = LocalTimestamp();

    const std::string bytes = ReadFileBytes(TraceFile());
    const auto& r = ParseTrace(bytes).records;
    ASSERT_EQ(4u, r.size()) << bytes;
    // The whole file, rebuilt from the documented layout around the stamps it holds.
    const std::string pid = "\t" + std::to_string(::GetCurrentProcessId()) + "\t", tid = std::to_string(::GetCurrentThreadId());
    EXPECT_EQ(r[0].timestamp + pid + tid + "\t4\tFormat\t" + kLatin1 + "\r\n" +
              r[1].timestamp + pid + tid + "\t2\tFormat\terste Zeile\r\nzweite Zeile\r\n" +
              r[2].timestamp + pid + tid + "\t8\tKat?egorie\t" + kLatin1 + "\r\n" +  // a tab would split the fields
              r[3].timestamp + pid + std::to_string(otherThread) + "\t1\tFormat\tanderer Thread\r\n",
              bytes);
    for (const TraceLine& line : r) EXPECT_TRUE(line.timestamp >= before && line.timestamp <= after) << line.timestamp;
}

TEST_F(TraceModuleTest, EntryTextsAndHexDumps) {
    if (RunsInAChild()) return;
    const unsigned char data[] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 0x00, 0x7F, 0xE4, '~'};
    const std::string big(70000, 'x');
    EXPECT_EQ(0, api.WriteEntry(8, "Format", "Eintrag", "Wert"));
    EXPECT_EQ(0, api.WriteEntry(8, "Format", nullptr, "ohne Eintrag"));
    EXPECT_EQ(0, api.WriteEntry(16, "Format", "Eintrag", "Detail ist aus"));
    EXPECT_EQ(0, api.Dump(8, "Format", data, sizeof(data)));
    EXPECT_EQ(0, api.DumpEntry(8, "Format", "Leer", data, 0));
    EXPECT_EQ(0, api.Dump(16, "Format", data, sizeof(data)));
    EXPECT_EQ(0, api.Dump(8, "Format", big.data(), static_cast<unsigned>(big.size())));

    const auto texts = Read(TraceFile()).Texts();
    ASSERT_EQ(5u, texts.size());
    EXPECT_EQ("Eintrag: Wert", texts[0]);
    EXPECT_EQ("ohne Eintrag", texts[1]);
    EXPECT_EQ("20 Bytes\r\n00000000  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\r\n"
              "00000010  00 7F E4 7E" + std::string(12 * 3, ' ') + "  ...~", texts[2]);
    EXPECT_EQ("Leer: 0 Bytes", texts[3]);
    const std::string& cut = texts[4];
    EXPECT_EQ("70000 Bytes (gek\xFCrzt auf 65536 Bytes)", cut.substr(0, cut.find("\r\n")));
    EXPECT_EQ(65536u / 16, static_cast<size_t>(std::count(cut.begin(), cut.end(), '\n')));
    EXPECT_NE(std::string::npos, cut.find("0000FFF0  78 78")) << "offsets run on to the last shown line";
}

// Other processes join the appends through the mutex named after the file, whoever they run as
// (the service and the user's host); a holder that died without releasing it must not stop the lines.
TEST_F(TraceModuleTest, AppendMutexIsNamedAfterTheLowerCasePathAndOpenToEveryone) {
    const std::wstring path = Scratch() + L"GroSS\\Spur.LOG";
    if (!InChild()) {
        ASSERT_TRUE(SetRegistryString(kRegistryKey, kValueTraceFile, path));
        ASSERT_TRUE(RunInChildren());
        return;
    }
    // The documented name: FNV-1a (64 bit) over the UTF-16 units of the lower-case full path.
    wchar_t full[MAX_PATH], lower[MAX_PATH];
    const int n = static_cast<int>(::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr));
    ::LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, full, n, lower, n);
    unsigned long long hash = kAppendMutexHashOffset;
    for (int i = 0; i < n; ++i) hash = (hash ^ lower[i]) * kAppendMutexHashPrime;
    char digits[17];
    std::snprintf(digits, sizeof(digits), "%016llx", hash);
    const std::wstring name = kAppendMutexPrefix + Widen(digits);
    // Error lines are in the file before their call returns, so they take the mutex.
    ASSERT_EQ(0, api.Write(2, "Sperre", "erste"));
    vemo::unique_handle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL, FALSE, name.c_str()));
    ASSERT_TRUE(mutex) << Narrow(name) << ", error " << ::GetLastError();
    EXPECT_EQ(std::vector<std::string>{"001F0001 S-1-1-0"}, DaclGrants(mutex.get())) << "everyone may do all";
    std::jthread([&] { ::WaitForSingleObject(mutex.get(), kChildTimeoutMs); }).join();  // abandoned
    EXPECT_EQ(0, api.Write(2, "Sperre", "nach Abbruch"));
    DWORD probe = WAIT_FAILED;
    std::jthread([&] {
        probe = ::WaitForSingleObject(mutex.get(), 0);
        if (probe == WAIT_OBJECT_0 || probe == WAIT_ABANDONED) ::ReleaseMutex(mutex.get());
    }).join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), probe) << "the line took the abandoned mutex and gave it back";
    EXPECT_EQ((std::vector<std::string>{"erste", "nach Abbruch"}), Read(path).Texts());
}
