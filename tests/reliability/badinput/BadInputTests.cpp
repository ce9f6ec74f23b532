// Hostile input through the real code: plug-in files for the reader and discovery (broken,
// mutated, deep, in other encodings, 10 000 plug-ins) and registry values of every shape for
// ConfigDB. For every input: no crash, no exception caught by a catch-all (a
// level-1 line), valid heaps, caller buffers untouched beyond what a call may write, and a result
// code the interface permits. A fixed seed in ctest; the long form takes a new one and prints it
// (VEMO_RELIABILITY_SEED replays).
#include <gtest/gtest.h>
#include <malloc.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoHostIntLib/PluginKonfig.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "configdb/ConfigDB.h"
#include "tracing/Trace.h"

namespace {

using namespace vemo::test;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoBadInputTests");

constexpr unsigned long long kFixedSeed = 0x56454D4F42414431ull;
constexpr size_t kGuardChars = 64;
constexpr wchar_t kGuard = 0xFDFD;
constexpr wchar_t kUntouched = 0xABAB;
constexpr int kManyPlugins = 10000;
constexpr int kTooDeep = 300;  // beyond MSXML's 257 levels

// The standard fixes the Mersenne twister's sequence, so a seed replays a run on every machine.
struct Rng : std::mt19937_64 {
    using std::mt19937_64::mt19937_64;
    size_t Below(size_t bound) { return bound == 0 ? 0 : static_cast<size_t>((*this)() % bound); }
    bool Chance(int percent) { return Below(100) < static_cast<size_t>(percent); }
    template <typename T, size_t N>
    const T& Pick(const T (&items)[N]) { return items[Below(N)]; }
};

unsigned long long Seed() {
    char text[32] = {};
    if (::GetEnvironmentVariableA("VEMO_RELIABILITY_SEED", text, sizeof(text)) > 0) return std::strtoull(text, nullptr, 0);
    return LongForm() ? kFixedSeed ^ ::GetTickCount64() : kFixedSeed;
}

bool HeapsValid() {
    std::vector<HANDLE> heaps(::GetProcessHeaps(0, nullptr) + 16);
    const DWORD count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
        if (!::HeapValidate(heaps[i], 0, nullptr)) return false;
    }
    return _heapchk() == _HEAPOK;
}

std::string RandomCase(Rng& rng, std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' && rng.Chance(30) ? c - 'a' + 'A' : c);
    return text;
}

// --- plug-in files ------------------------------------------------------------------------------

constexpr const char* kElements[] = {"plugin", "binaryName", "path", "system", "pure", "timeoutUnload", "events",
                                     "implements", "menu", "e", "text", "fid", "separ", "ignoreOnInstalledComponent",
                                     "group", "x:path"};
constexpr const char* kAttributes[] = {"description", "type", "level", "run", "initialize", "uninitialize", "pos",
                                       "active", "parent", "xmlns:x"};
constexpr const char* kValues[] = {"", "dll", "DLL", "listener", "1", "-1", "2147483648", "99999999999", "abc",
                                   "true", "TRUE", "\xE4\x80\xFF", "&amp;", "&#0;", "&#xFFFF;", "]]>",
                                   "B0003810;B0003811", "B0003810,x", "{pid}\\{cat}\\{konfigdir(B0003810)}",
                                   "C:\\Programme\\", "  350ms", "\t\r\n"};

std::string Value(Rng& rng) {
    if (rng.Chance(2)) return std::string(rng.Below(70000), 'v');
    return rng.Pick(kValues);
}

std::string Element(Rng& rng, int depth) {
    const std::string name = RandomCase(rng, rng.Pick(kElements));
    std::string xml = "<" + name;
    for (size_t i = rng.Below(4); i > 0; --i) xml += " " + RandomCase(rng, rng.Pick(kAttributes)) + "=\"" + Value(rng) + "\"";
    if (depth > 4 || rng.Chance(20)) return xml + "/>";
    xml += ">";
    for (size_t i = rng.Below(5); i > 0; --i) xml += rng.Chance(50) ? Element(rng, depth + 1) : Value(rng);
    return xml + "</" + name + ">";
}

std::string HostileDocument(Rng& rng) {
    std::string body;
    for (size_t i = rng.Below(6); i > 0; --i) body += rng.Chance(70) ? "<plugin description=\"p\">" + Element(rng, 1) + "</plugin>" : Element(rng, 1);
    if (rng.Chance(10)) body = std::string(rng.Below(kTooDeep), '<') + body;
    for (int i = rng.Chance(10) ? kTooDeep : 0; i > 0; --i) body += "<plugin>";
    std::string xml = "<?xml version=\"1.0\"?><root>" + body + "</root>";
    switch (rng.Below(8)) {
        case 0: xml.resize(rng.Below(xml.size() + 1)); break;  // cut anywhere
        case 1:
            for (size_t i = rng.Below(8) + 1; i > 0 && !xml.empty(); --i) xml[rng.Below(xml.size())] = static_cast<char>(rng());
            break;
        case 2: xml = "\xEF\xBB\xBF" + xml; break;  // UTF-8 with its mark
        case 3: xml.replace(0, 21, "<?xml version=\"1.0\" encoding=\"UTF-16\"?>"); break;  // a lie
        case 4: {  // UTF-16 with and without its mark
            std::string wide = rng.Chance(50) ? std::string("\xFF\xFE") : std::string();
            for (char c : xml) wide += std::string{c, '\0'};
            xml = wide;
            break;
        }
        case 5: xml += std::string(rng.Below(64), '\0'); break;
        default: break;
    }
    return xml;
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    // After every case: nothing was caught by a catch-all, and the heaps are whole.
    void ExpectClean(const std::string& where) {
        for (const TraceRecord& r : recorder.Records()) ASSERT_NE(vemo::tracing::kLevelException, r.level) << where << ": " << r.text;
        recorder.Reset();
        ASSERT_TRUE(HeapsValid()) << where;
    }

    Recorder recorder;
    ScratchDirectory scratch{L"badinput"};
    Rng rng{Seed()};
};

// The reader fills at most as many descriptors as it counts, never one more, and fails only
// through its own error type (a DOM failure, as the interface says). Returns the count.
int ReadFile(const std::wstring& file, const std::string& where) {
    try {
        CPluginConfig config(file.c_str());
        const int count = config.GetNumberOfPluginInfos();
        if (count < 0) return ADD_FAILURE() << where << ": count " << count, 0;
        std::vector<CPluginInfo> infos(static_cast<size_t>(count) + 1);
        infos.back()._name = L"Wächter";
        CPluginInfo* first = infos.data();
        const int filled = config.GetPluginInfo(&first, count);
        EXPECT_TRUE(filled >= 0 && filled <= count) << where << ": " << filled << " of " << count;
        EXPECT_EQ(L"Wächter", infos.back()._name) << where << ": a descriptor past the counted ones was written";
        return count;
    } catch (const CXmlComError&) {
    } catch (const std::exception& e) {
        ADD_FAILURE() << where << ": " << e.what();
    }
    return 0;
}

TEST_F(BadInput, HostilePluginFilesAreReadWithinTheirCount) {
    std::printf("bad-input seed 0x%llx\n", Seed());
    const std::wstring file = scratch.path() + L"B0000001.xml";
    for (int i = ScaledCount(300, 3000); i > 0 && !HasFatalFailure(); --i) {
        const std::string xml = HostileDocument(rng);
        ASSERT_TRUE(WriteFileBytes(file, xml));
        const std::string where = "case " + std::to_string(i) + ": " + xml.substr(0, 200);
        ReadFile(file, where);
        ExpectClean(where);
    }
}

std::wstring HostileName(int i) { return L"B00001" + std::wstring(i < 10, L'0') + std::to_wstring(i) + L".xml"; }

// Discovery over a directory of hostile files and one of 10 000 plug-ins: every plug-in of a
// readable file gets a descriptor, none more; the unload sequence gives everything back.
TEST_F(BadInput, DiscoveryCountsEveryPluginOfHostileDirectories) {
    ASSERT_TRUE(RegisterComponent(kBasisComponent, scratch.path()));
    std::vector<PluginSpec> many;
    for (int i = 0; i < kManyPlugins; ++i) {
        many.push_back({.name = L"p" + std::to_wstring(i), .binary = L"Fehlt.dll", .system = false});
    }
    for (int round = ScaledCount(2, 10); round > 0 && !HasFatalFailure(); --round) {
        for (const std::wstring& name : FileNamesIn(scratch.path())) ::DeleteFileW((scratch.path() + name).c_str());
        ASSERT_TRUE(WritePluginConfiguration(scratch.path() + L"B0000000.xml", many));
        for (int i = 1; i <= 20; ++i) ASSERT_TRUE(WriteFileBytes(scratch.path() + HostileName(i), HostileDocument(rng)));
        GetPluginData(false);
        ASSERT_GE(g_numPluginInfo, kManyPlugins);
        EXPECT_LE(g_numActivePluginInfo, g_numPluginInfo);
        int hostile = 0;
        for (int i = 1; i <= 20; ++i) hostile += ReadFile(scratch.path() + HostileName(i), Narrow(HostileName(i)));
        EXPECT_EQ(kManyPlugins + hostile, g_numPluginInfo);
        UnloadPlugins();
        EXPECT_EQ(nullptr, g_vecPluginInfo.get());
        ExpectClean("round " + std::to_string(round));
    }
}

// --- registry values for ConfigDB --------------------------------------------------------------

constexpr const wchar_t* kVersionNames[] = {L"1.0", L"2.0", L"1.10", L"1.9", L"0.9", L"abc", L"-3", L"1e2", L"10",
                                            L"0x10", L"99999999999999999999", L"1.0.1", L"0", L" 4"};

std::string WideBytes(const std::wstring& text, bool terminated = true) {
    const auto* bytes = reinterpret_cast<const char*>(text.c_str());
    return std::string(bytes, (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

// A text in one of the shapes a registry value can have.
void PutShaped(Rng& rng, const std::wstring& key, const std::wstring& name, const std::wstring& text) {
    DWORD type = REG_SZ;
    std::string bytes = WideBytes(text);
    switch (rng.Below(10)) {
        case 0: type = REG_EXPAND_SZ; break;
        case 1: type = REG_MULTI_SZ; bytes = WideBytes(text + std::wstring(L"\0zweiter\0", 9)); break;
        case 2: type = REG_BINARY; bytes = Narrow(text); break;
        case 3: type = REG_DWORD; bytes = Narrow(text).substr(0, 3); bytes.resize(4, '\0'); break;
        case 4: bytes = WideBytes(text, false); break;  // no terminator
        case 5: bytes = WideBytes(text + std::wstring(32768, L'h')); break;
        case 6: bytes.clear(); break;
        default: break;
    }
    SetRegistryValue(key, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

// The narrow ID a wide one becomes in the ANSI code page; one it cannot hold asks for "".
std::string NarrowId(const std::wstring& id) { return Widen(Narrow(id)) == id ? Narrow(id) : std::string(); }

using BufferForm = uint32_t (*)(const wchar_t*, wchar_t*, uint32_t);

// The buffer form fenced by guard characters: it answers as its narrow form did, and writes
// nothing outside the buffer nor behind its result (an empty buffer on failure).
void CheckBufferForm(Rng& rng, BufferForm call, const std::wstring& id, const std::wstring& directory,
                     const std::string& where) {
    const uint32_t sizes[] = {0, 1, static_cast<uint32_t>(directory.size()), static_cast<uint32_t>(directory.size() + 1),
                              MAX_PATH, static_cast<uint32_t>(rng.Below(400) + 2)};
    const uint32_t size = rng.Pick(sizes);
    const size_t nulls = rng.Chance(5) ? rng.Below(3) + 1 : 0;  // 1: buffer, 2: ID, 3: both
    std::vector<wchar_t> memory(kGuardChars * 2 + size, kUntouched);
    std::fill_n(memory.begin(), kGuardChars, kGuard);
    std::fill_n(memory.end() - kGuardChars, kGuardChars, kGuard);
    std::vector<wchar_t> expected = memory;
    const uint32_t rc = nulls                                  ? CDB_ERROR_NULL_PARAMETER
                        : directory.empty() || !Exists(directory) ? CDB_ERROR_NO_DIRECTORY
                        : size <= directory.size()             ? CDB_ERROR_BUFFER_TOO_SMALL
                                                               : CDB_OK;
    if (rc == CDB_OK) std::copy_n(directory.c_str(), directory.size() + 1, expected.begin() + kGuardChars);
    if (rc != CDB_OK && !nulls && size > 0) expected[kGuardChars] = L'\0';
    EXPECT_EQ(rc, call((nulls & 2) ? nullptr : id.c_str(), (nulls & 1) ? nullptr : memory.data() + kGuardChars, size)) << where;
    const auto at = std::mismatch(expected.begin(), expected.end(), memory.begin()).first - expected.begin();
    EXPECT_EQ(static_cast<ptrdiff_t>(expected.size()), at) << where << ": written at " << at - static_cast<ptrdiff_t>(kGuardChars)
                                                           << " of a buffer of " << size;
}

TEST_F(BadInput, ConfigDbAnswersEveryRegistryShapeInsideTheCallersBuffer) {
    const std::wstring directories[] = {scratch.Sub(L"plain"), scratch.Sub(L"Prüfung"), scratch.Sub(L"Kosten€"),
                                        scratch.Sub(L"{programdir(B0003810"), scratch.path() + L"fehlt",
                                        scratch.path() + std::wstring(300, L'd'), L"C:\\", L".", L"", L"C:/windows/"};
    const std::wstring ids[] = {L"B9700001", L"B97ä0002", L"B97€0003", L"B97中0004", L"b0003810", L"B0003811"};
    for (int i = ScaledCount(200, 3000); i > 0 && !HasFatalFailure(); --i) {
        const std::wstring id = rng.Pick(ids);
        DeleteRegistryTree(std::wstring(kComponentsKey) + id);
        for (size_t n = rng.Below(3) + 1; n > 0; --n) {
            const std::wstring key = ComponentVersionKey(id, rng.Pick(kVersionNames));
            PutShaped(rng, key + L"\\ConfigDir", L"", rng.Pick(directories));
            PutShaped(rng, key + L"\\LogDir", L"", rng.Pick(directories));
            PutShaped(rng, key + L"\\ProtectedDirectories", L"FixedProgDir", rng.Pick(directories));
            PutShaped(rng, key + L"\\ProtectedDirectories", L"ProgDir", rng.Pick(directories));
            PutShaped(rng, key, L"CompVersion", rng.Pick(kVersionNames));
            PutShaped(rng, key, L"BuildNumber", rng.Pick(kVersionNames));
        }
        const std::string narrow = NarrowId(id);
        const std::string where = "case " + std::to_string(i) + " of " + Narrow(id);
        CheckBufferForm(rng, [](const wchar_t* c, wchar_t* d, uint32_t n) { return CDB_GetKonfigDir(c, d, n); }, id,
                        Widen(CDB_GetKonfigDir(narrow)), where + " Konfig");
        CheckBufferForm(rng, [](const wchar_t* c, wchar_t* d, uint32_t n) { return CDB_GetLogDir(c, d, n, false); }, id,
                        Widen(CDB_GetLogDir(narrow, false)), where + " Log");
        CheckBufferForm(rng, [](const wchar_t* c, wchar_t* d, uint32_t n) { return CDB_GetProgDir(c, d, n, false); }, id,
                        Widen(CDB_GetProgDir(narrow, false)), where + " Prog");
        for (int kind = -1; kind <= 7; ++kind) EXPECT_LT(CDB_GetVersion(narrow, kind).size(), 1024u) << where;
        EXPECT_EQ(!CDB_GetVersion(narrow, 0).empty(), CDB_IsComponentInstalled(narrow.c_str())) << where;
        ExpectClean(where);
    }
}

}  // namespace
