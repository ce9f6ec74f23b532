// How the registry switches the module: levels, categories, the on/off switch, wrong types,
// where the file goes, and that the configuration is read once.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cwchar>

#include "TraceModuleHarness.h"

using namespace vemo::test;
using namespace vemo::tracemodule;

namespace {

struct Value {
    std::wstring name;  // below the module's key; "TraceCategories\<name>" for a category
    DWORD type;
    std::wstring text;  // REG_SZ
    DWORD number = 0;   // REG_DWORD, or four bytes of REG_BINARY
};
struct ConfigCase {
    const char* name;
    std::vector<Value> values;
    bool enabled;
    int mask;                                          // what ShouldTrace answers
    std::vector<std::pair<const char*, int>> answers;  // what a category answers, as the caller spells it
};

const std::wstring kCategories = std::wstring(kSubkeyTraceCategories) + L"\\";
const ConfigCase kConfigCases[] = {
    {"Empty", {}, true, kDefaultMask, {{"Irgendwas", kDefaultMask}, {"", 0}, {nullptr, 0}}},
    {"Levels", {{kValueTraceLevels, REG_DWORD, {}, 0x11}}, true, 0x11, {{"Irgendwas", 0x11}}},
    {"Off",
     {{kValueTraceEnabled, REG_DWORD, {}, 0}, {kValueTraceLevels, REG_DWORD, {}, kAllLevels},
      {kCategories + L"Laut", REG_DWORD, {}, kAllLevels}},
     false, 0, {{"Laut", 0}}},
    // Category masks replace the global one, without regard to case, ISO 8859-1 letters too.
    {"Categories",
     {{kCategories + L"LAUTKATEGORIE", REG_DWORD, {}, kAllLevels}, {kCategories + L"leisekategorie", REG_DWORD, {}, 7},
      {kCategories + L"ÜBERWACHUNG", REG_DWORD, {}, 16}},
     true, kDefaultMask,
     {{"LautKategorie", kAllLevels}, {"LEISEKATEGORIE", 7}, {"\xFC" "berwachung", 16}, {"Irgendwas", kDefaultMask}}},
    {"WrongTypes",
     {{kValueTraceEnabled, REG_SZ, L"0"}, {kValueTraceLevels, REG_BINARY, {}, kAllLevels},
      {kCategories + L"Getippt", REG_SZ, L"31"}},
     true, kDefaultMask, {{"Getippt", kDefaultMask}}},
};

class TraceModuleConfig : public TraceModuleTest, public ::testing::WithParamInterface<ConfigCase> {};

}  // namespace

TEST_P(TraceModuleConfig, AnswersAndWritesWhatTheRegistrySays) {
    const ConfigCase& c = GetParam();
    if (!InChild()) {
        UseScratchTraceFile();
        for (const Value& v : c.values) {
            const size_t slash = v.name.rfind(L'\\');
            const std::wstring key = slash == std::wstring::npos ? kRegistryKey : kRegistryKey + (L"\\" + v.name.substr(0, slash));
            const std::wstring name = v.name.substr(slash == std::wstring::npos ? 0 : slash + 1);
            ASSERT_TRUE(v.type == REG_SZ ? SetRegistryString(key, name, v.text) : SetRegistryValue(key, name, v.type, &v.number, 4));
        }
        ASSERT_TRUE(RunInChildren());
        EXPECT_EQ(c.enabled, Exists(TraceFile())) << "switched off, not even an empty file";
        return;
    }
    EXPECT_EQ(c.enabled, api.IsTracingEnabled());
    EXPECT_EQ(c.mask, Answered(api));
    EXPECT_EQ(c.enabled ? c.mask : api.GetAppTracingLevel(), api.GetAppTracingLevel());
    std::vector<std::string> expected, written;
    for (const auto& [category, mask] : c.answers) {
        EXPECT_EQ(mask, Answered(api, category)) << (category ? category : "<null>");
        if (!category || !*category) continue;
        EXPECT_EQ(c.enabled ? mask : api.GetLevel(category), api.GetLevel(category)) << category;
        // ExpWrite applies the category's mask itself: the program asks only ExpShouldTrace first.
        for (int level = 1; level <= 16; level <<= 1) {
            EXPECT_EQ(0, api.Write(level, category, std::to_string(level).c_str()));
            if (mask & level) expected.push_back(std::string(category) + "|" + std::to_string(level));
        }
        const unsigned char bytes[] = {1, 2, 3};
        EXPECT_EQ(0, api.WriteEntry(1, category, "Eintrag", "x"));
        EXPECT_EQ(0, api.DumpEntry(1, category, "Eintrag", bytes, sizeof(bytes)));
        if (!(mask & 1)) continue;
        expected.push_back(std::string(category) + "|Eintrag: x");
        expected.push_back(std::string(category) + "|Eintrag: 3 Bytes\r\n00000000  01 02 03" + std::string(13 * 3, ' ') + "  ...");
    }
    // The category is written as the caller spelled it.
    for (const TraceLine& r : Read(TraceFile()).records) written.push_back(r.category + "|" + r.text);
    EXPECT_EQ(expected, written);
}

INSTANTIATE_TEST_SUITE_P(Registry, TraceModuleConfig, ::testing::ValuesIn(kConfigCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TraceModuleTest, RegistryIsReadOnceUntilConfigureTraceReadsItAgain) {
    if (RunsInAChild()) return;
    ASSERT_EQ(0, api.InitTraceSystem());
    ASSERT_EQ(kDefaultMask, Answered(api));
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceLevels, kAllLevels));
    ASSERT_EQ(0, api.InitTraceSystem());
    EXPECT_EQ(kDefaultMask, Answered(api)) << "a second init reads nothing";
    api.SetLevel("Laufzeit", 2);
    ASSERT_EQ(0, api.ConfigureTrace(nullptr));
    EXPECT_EQ(kAllLevels, Answered(api));
    EXPECT_EQ(kAllLevels, api.GetLevel("Laufzeit")) << "run-time category masks give way to the registry";
}

// Variables expand in both string types, missing directories are made; without a usable value
// the file lies below the shell's common application data folder, whatever the environment says.
TEST_F(TraceModuleTest, TraceFileFromTheRegistryOrTheDefaultPath) {
    if (InChild()) {
        EXPECT_EQ(0, api.Write(8, "Datei", Narrow(Extra()).c_str()));
        api.FlushTraceSystem();  // the end of a process is the durability tests' subject
        return;
    }
    PWSTR programData = nullptr;
    ASSERT_TRUE(SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData)));
    const vemo::unique_cotaskmem owner(programData);
    const std::wstring defaultPath = std::wstring(programData) + L"\\" + kDefaultTraceFileBelowProgramData;
    const CreatedTree cleanup(defaultPath, 3);
    ::SetEnvironmentVariableW(L"VEMO_TRACE_TEST_ROOT", Scratch().c_str());
    const std::wstring marker = L"marke-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
    struct Row { DWORD type; const wchar_t* value; std::wstring expectedFile; };
    for (const Row& row : {Row{REG_EXPAND_SZ, L"%VEMO_TRACE_TEST_ROOT%neu\\tiefer\\a.log", Scratch() + L"neu\\tiefer\\a.log"},
                           Row{REG_SZ, L"%VEMO_TRACE_TEST_ROOT%neu2\\b.log", Scratch() + L"neu2\\b.log"},
                           Row{REG_DWORD, nullptr, defaultPath}, Row{REG_NONE, nullptr, defaultPath}}) {
        SCOPED_TRACE(row.type);
        ASSERT_TRUE(DeleteRegistryValue(kRegistryKey, kValueTraceFile));
        ASSERT_TRUE(row.type == REG_DWORD ? SetRegistryDword(kRegistryKey, kValueTraceFile, 1)
                    : !row.value || SetRegistryValue(kRegistryKey, kValueTraceFile, row.type, row.value,
                                                     static_cast<DWORD>((wcslen(row.value) + 1) * sizeof(wchar_t))));
        const std::wstring text = marker + L"-" + std::to_wstring(row.type);
        ASSERT_TRUE(RunInChildren(1, text));
        const auto texts = ParseTrace(ReadFileBytes(row.expectedFile)).Texts();
        EXPECT_EQ(1, std::count(texts.begin(), texts.end(), Narrow(text))) << Narrow(row.expectedFile);
    }
    ::SetEnvironmentVariableW(L"VEMO_TRACE_TEST_ROOT", nullptr);
}
