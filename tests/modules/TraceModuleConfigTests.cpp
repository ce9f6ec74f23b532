// How the registry switches the module: levels, categories, the on/off switch, wrong types,
// where the file goes, and that the configuration is read once.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "QnUmTraceSystem001/TraceSettings.h"
#include "TraceModuleHarness.h"
#include "tracing/Trace.h"

using namespace vemo::test;
using namespace vemo::tracemodule;
using namespace vemo::tracing;

namespace {

constexpr int kAllLevelsMask = kDocumentedDefaultMask | kLevelDetail;
constexpr char kAnyCategory[] = "Irgendwas";

class TraceModuleConfig : public TraceModuleTest {};
class TraceModuleFile : public TraceModuleTest {};


// The default trace file lies outside any scratch directory: whatever of it the test created
// (the file, its directories) goes again at the end, what was there stays.
class CreatedPathCleanup {
public:
    explicit CreatedPathCleanup(const std::wstring& file) {
        std::wstring path = file;
        while (!path.empty() && !Exists(path)) {
            m_created.push_back(path);
            const size_t slash = path.find_last_of(L'\\');
            path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
        }
    }
    ~CreatedPathCleanup() {
        if (m_created.empty()) return;
        ::DeleteFileW(m_created.front().c_str());
        for (size_t i = 1; i < m_created.size(); ++i) ::RemoveDirectoryW(m_created[i].c_str());
    }
    CreatedPathCleanup(const CreatedPathCleanup&) = delete;
    CreatedPathCleanup& operator=(const CreatedPathCleanup&) = delete;

private:
    std::vector<std::wstring> m_created;  // the file first, then its parents upwards
};

}  // namespace

TEST_F(TraceModuleConfig, EmptyConfigurationTracesUpToInfoButNotDetail) {
    if (!InChild()) {
        UseScratchTraceFile();
        ASSERT_TRUE(RunInChildren());
        return;
    }
    ASSERT_EQ(api.InitTraceSystem(), 0);
    EXPECT_TRUE(api.IsTracingEnabled());
    EXPECT_EQ(api.GetAppTracingLevel(), kDocumentedDefaultMask);
    EXPECT_EQ(AnsweredMask(api), kDocumentedDefaultMask);
    EXPECT_EQ(AnsweredCategoryMask(api, kAnyCategory), kDocumentedDefaultMask);
    EXPECT_EQ(api.GetLevel(kAnyCategory), kDocumentedDefaultMask);
    EXPECT_FALSE(api.ShouldTrace(0));
    EXPECT_EQ(AnsweredCategoryMask(api, ""), 0) << "a line needs a category";
    EXPECT_EQ(AnsweredCategoryMask(api, nullptr), 0);

    EXPECT_EQ(api.Write(kLevelInfo, kAnyCategory, "info"), 0);
    EXPECT_EQ(api.Write(kLevelDetail, kAnyCategory, "detail"), 0);
    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records), std::vector<std::string>{"info"});
}

TEST_F(TraceModuleConfig, TraceLevelsReplacesTheDefaultMask) {
    constexpr int kLevels = kLevelException | kLevelDetail;
    if (!InChild()) {
        UseScratchTraceFile();
        Registry().SetDword(kValueTraceLevels, kLevels);
        ASSERT_TRUE(RunInChildren());
        return;
    }
    EXPECT_EQ(api.GetAppTracingLevel(), kLevels);
    EXPECT_EQ(AnsweredMask(api), kLevels);
    EXPECT_EQ(AnsweredCategoryMask(api, kAnyCategory), kLevels) << "a category without a mask follows TraceLevels";

    EXPECT_EQ(api.Write(kLevelInfo, kAnyCategory, "info"), 0);
    EXPECT_EQ(api.Write(kLevelDetail, kAnyCategory, "detail"), 0);
    EXPECT_EQ(api.Write(kLevelException, kAnyCategory, "exception"), 0);
    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records), (std::vector<std::string>{"detail", "exception"}));
}

TEST_F(TraceModuleConfig, TraceEnabledZeroSilencesEveryLevelAndCategory) {
    constexpr wchar_t kLoudCategory[] = L"Laut";
    if (!InChild()) {
        UseScratchTraceFile();
        Registry().SetDword(kValueTraceEnabled, 0);
        Registry().SetDword(kValueTraceLevels, kAllLevelsMask);
        Registry().SetCategoryDword(kLoudCategory, kAllLevelsMask);
        ASSERT_TRUE(RunInChildren());
        EXPECT_FALSE(Exists(TraceFile())) << "nothing written, not even an empty file";
        return;
    }
    const std::string loud = Latin1(kLoudCategory);
    EXPECT_FALSE(api.IsTracingEnabled());
    EXPECT_EQ(AnsweredMask(api), 0);
    EXPECT_EQ(AnsweredCategoryMask(api, loud.c_str()), 0);
    const unsigned char bytes[] = {1, 2, 3};
    EXPECT_EQ(api.Write(kLevelException, loud.c_str(), "aus"), 0);
    EXPECT_EQ(api.WriteEntry(kLevelException, loud.c_str(), "Eintrag", "aus"), 0);
    EXPECT_EQ(api.Dump(kLevelException, loud.c_str(), bytes, sizeof(bytes)), 0);
    EXPECT_EQ(api.DumpEntry(kLevelException, loud.c_str(), "Eintrag", bytes, sizeof(bytes)), 0);
}

TEST_F(TraceModuleConfig, CategoryMasksReplaceTheGlobalMaskWithoutRegardToCase) {
    constexpr int kLoudMask = kAllLevelsMask;
    constexpr int kQuietMask = kLevelException | kLevelError | kLevelWarning;
    constexpr int kWatchMask = kLevelDetail;
    if (!InChild()) {
        UseScratchTraceFile();
        Registry().SetCategoryDword(L"LAUTKATEGORIE", kLoudMask);
        Registry().SetCategoryDword(L"leisekategorie", kQuietMask);
        Registry().SetCategoryDword(L"ÜBERWACHUNG", kWatchMask);
        ASSERT_TRUE(RunInChildren());
        return;
    }
    EXPECT_EQ(AnsweredCategoryMask(api, "LautKategorie"), kLoudMask);
    EXPECT_EQ(AnsweredCategoryMask(api, "LeiseKategorie"), kQuietMask);
    EXPECT_EQ(AnsweredCategoryMask(api, "\xFC" "berwachung"), kWatchMask) << "ISO 8859-1 letters fold too";
    EXPECT_EQ(AnsweredCategoryMask(api, kAnyCategory), kDocumentedDefaultMask);
    EXPECT_EQ(AnsweredMask(api), kDocumentedDefaultMask) << "category masks leave the global mask alone";
    EXPECT_EQ(api.GetLevel("lautkategorie"), kLoudMask);
    EXPECT_EQ(api.GetLevel(kAnyCategory), kDocumentedDefaultMask);

    // ExpWrite applies the category's mask itself: the program asks only ExpShouldTrace first.
    EXPECT_EQ(api.Write(kLevelDetail, "LautKategorie", "laut detail"), 0);
    EXPECT_EQ(api.Write(kLevelInfo, "LeiseKategorie", "leise info"), 0);
    EXPECT_EQ(api.Write(kLevelWarning, "LEISEKATEGORIE", "leise warnung"), 0);
    EXPECT_EQ(api.Write(kLevelInfo, kAnyCategory, "sonst info"), 0);
    EXPECT_EQ(api.Write(kLevelDetail, kAnyCategory, "sonst detail"), 0);
    EXPECT_EQ(api.Write(kLevelInfo, "\xFC" "berwachung", "watch info"), 0);
    EXPECT_EQ(api.Write(kLevelDetail, "\xDC" "BERWACHUNG", "watch detail"), 0);
    const ParsedTrace trace = ReadTrace(TraceFile());
    EXPECT_EQ(Texts(trace.records),
              (std::vector<std::string>{"laut detail", "leise warnung", "sonst info", "watch detail"}));
    ASSERT_EQ(trace.records.size(), 4u);
    EXPECT_EQ(trace.records[1].category, "LEISEKATEGORIE") << "the category is written as the caller spelled it";
    EXPECT_EQ(trace.records[3].category, "\xDC" "BERWACHUNG");
}

TEST_F(TraceModuleConfig, ValuesOfTheWrongTypeFallBackToTheDefaults) {
    constexpr wchar_t kTypedCategoryName[] = L"Getippt";
    if (!InChild()) {
        UseScratchTraceFile();
        Registry().SetText(kValueTraceEnabled, L"0");
        // Four bytes like a DWORD, but not of its type.
        Registry().SetRaw(kValueTraceLevels, REG_BINARY, {0x1F, 0, 0, 0});
        Registry().SetCategoryText(kTypedCategoryName, L"31");
        ASSERT_TRUE(RunInChildren());
        return;
    }
    const std::string typed = Latin1(kTypedCategoryName);
    const char* const kTypedCategory = typed.c_str();
    EXPECT_TRUE(api.IsTracingEnabled());
    EXPECT_EQ(AnsweredMask(api), kDocumentedDefaultMask);
    EXPECT_EQ(AnsweredCategoryMask(api, kTypedCategory), kDocumentedDefaultMask);
    EXPECT_EQ(api.GetLevel(kTypedCategory), kDocumentedDefaultMask);
    EXPECT_EQ(api.Write(kLevelInfo, kTypedCategory, "info"), 0);
    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records), std::vector<std::string>{"info"});
}

TEST_F(TraceModuleConfig, RegistryIsReadOnceUntilConfigureTraceReadsItAgain) {
    constexpr char kRunTimeCategory[] = "Laufzeit";
    if (!InChild()) {
        UseScratchTraceFile();
        ASSERT_TRUE(RunInChildren());  // the registry scope removes what the child wrote
        return;
    }
    ASSERT_EQ(api.InitTraceSystem(), 0);
    ASSERT_EQ(AnsweredMask(api), kDocumentedDefaultMask);
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceLevels, kAllLevelsMask));
    EXPECT_EQ(AnsweredMask(api), kDocumentedDefaultMask);
    ASSERT_EQ(api.InitTraceSystem(), 0);
    EXPECT_EQ(AnsweredMask(api), kDocumentedDefaultMask) << "a second init reads nothing";

    api.SetLevel(kRunTimeCategory, kLevelError);
    ASSERT_EQ(api.ConfigureTrace(nullptr), 0);
    EXPECT_EQ(AnsweredMask(api), kAllLevelsMask);
    EXPECT_EQ(api.GetLevel(kRunTimeCategory), kAllLevelsMask) << "run-time category masks give way to the registry";
}

TEST_F(TraceModuleFile, TraceFileExpandsVariablesAndCreatesMissingDirectories) {
    constexpr wchar_t kVariable[] = L"VEMO_TRACE_TEST_ROOT";
    constexpr char kText[] = "angekommen";
    if (InChild()) {
        EXPECT_EQ(api.Write(kLevelInfo, kAnyCategory, kText), 0);
        return;
    }
    const std::wstring root = Scratch().substr(0, Scratch().size() - 1);
    for (const DWORD type : {REG_EXPAND_SZ, REG_SZ}) {
        SCOPED_TRACE(type == REG_SZ ? "REG_SZ" : "REG_EXPAND_SZ");
        const std::wstring relative = L"neu" + std::to_wstring(type) + L"\\tiefer\\trace.log";
        EnvironmentVariableScope variable(kVariable, root);
        Registry().SetText(kValueTraceFile, L"%" + std::wstring(kVariable) + L"%\\" + relative, type);
        ASSERT_TRUE(RunInChildren());
        EXPECT_EQ(Texts(ReadTrace(Scratch() + relative).records), std::vector<std::string>{kText});
    }
}

TEST_F(TraceModuleFile, MissingOrMistypedTraceFileMeansTheDefaultPath) {
    if (InChild()) {
        EXPECT_EQ(api.Write(kLevelInfo, kAnyCategory, Role().marker.c_str()), 0);
        return;
    }
    // The shell's common application data folder, whatever the environment says.
    PWSTR programData = nullptr;
    ASSERT_TRUE(SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DEFAULT, nullptr, &programData)));
    const std::wstring path = std::wstring(programData) + L"\\" + kDefaultTraceFileBelowProgramData;
    ::CoTaskMemFree(programData);
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(path.find(L'%'), std::wstring::npos) << Narrow(path);
    CreatedPathCleanup cleanup(path);
    for (const bool mistyped : {false, true}) {
        SCOPED_TRACE(mistyped ? "TraceFile as REG_DWORD" : "no TraceFile");
        if (mistyped) Registry().SetDword(kValueTraceFile, 1);
        const std::string marker = "standard-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                   std::to_string(::GetTickCount64()) + (mistyped ? "-dword" : "-fehlt");
        ASSERT_TRUE(RunInChildren(1, MarkerArgument(marker)));
        const std::vector<std::string> texts = Texts(ReadTrace(path).records);
        EXPECT_EQ(std::count(texts.begin(), texts.end(), marker), 1) << Narrow(path);
    }
}
