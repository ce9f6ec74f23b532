// Discovery (GetPluginData) over configuration directories full of hostile entries: broken,
// empty, locked and misnamed files, directories with a plug-in file's name, the components'
// registry values in odd shapes, directories near and beyond the path limit, and one file of
// 10 000 plug-ins.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "BadInput.h"
#include "ConfigDbModel.h"
#include "PluginDocuments.h"
#include "VeMoHostIntLib/PluginKonfig.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "World.h"
#include "common/UniqueHandle.h"

namespace badinput {
namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr wchar_t kSecondComponentKey[] = L"SOFTWARE\\TRUVOeg\\Components\\B0003811";
constexpr wchar_t kSecondVersionKey[] = L"SOFTWARE\\TRUVOeg\\Components\\B0003811\\Versions\\1.0";
constexpr wchar_t kProtectedKey[] = L"Software\\Truvoeg\\ProtectedDirectories";
constexpr wchar_t kOwnId[] = L"B0003810";
constexpr wchar_t kSecondId[] = L"B0003811";
constexpr wchar_t kSearchPattern[] = L"B???????.xml";
constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";
constexpr size_t kPathLimit = MAX_PATH - 1;  // characters a discovery path may have
constexpr size_t kFileNameChars = 12;
constexpr size_t kDigitsEnd = 8;
constexpr int kHugePluginCount = 10000;
constexpr int kHugeChildren = 6;
constexpr int kErrorsOnly = 0x3;
constexpr size_t kLongSegment = 50;
constexpr size_t kShortestLongDirectory = 240;  // with its backslash
constexpr size_t kLongestLongDirectory = 265;

constexpr const wchar_t* kForeignNames[] = {
    L"B123456A.xml",  L"B12345678.xml", L"B1234567.xmlx", L"B1234567.txt", L"C1234567.xml", L"B1234567.xm",
    L"B123456.xml",   L"B 234567.xml",  L"B1234567",      L"B1234567.xml.bak",
    L"B\u0661\u0662\u0663\u0664\u0665\u0666\u0667.xml",   L"\uFF221234567.xml",
    L"B\uFF11\uFF12\uFF13\uFF14\uFF15\uFF16\uFF17.xml"};
constexpr const wchar_t* kSecondDirectoryTags[] = {L"disc", L"Pr\u00FCfung", L"Kosten\u20AC", L"\u4E2D\u6587",
                                                   L"{programdir(B0003810", L"a b"};

// What a name must look like to be read: the search pattern, then the name test.
bool NameIsRead(const std::wstring& name) {
    if (name.size() != kFileNameChars || (name[0] != L'B' && name[0] != L'b')) return false;
    for (size_t i = 1; i < kDigitsEnd; ++i) {
        if (name[i] < L'0' || name[i] > L'9') return false;
    }
    const std::wstring extension = name.substr(kDigitsEnd);
    return extension.size() == 4 && extension[0] == L'.' && towlower(extension[1]) == L'x' &&
           towlower(extension[2]) == L'm' && towlower(extension[3]) == L'l';
}

bool WideExists(const std::wstring& path) { return !path.empty() && _waccess_s(path.c_str(), 0) == 0; }

// The files discovery is to read, in its order: the configuration directory of each installed
// component as ConfigDB gives it to a 260-character buffer, then its entries in the order of
// the directory search.
std::vector<std::wstring> ExpectedFiles() {
    std::vector<std::wstring> files;
    for (const wchar_t* id : {kOwnId, kSecondId}) {
        if (!model::IsInstalled(id)) continue;
        std::wstring directory;
        if (!model::WidenPath(model::KonfigDir(vemo::test::Narrow(id)), directory) || !WideExists(directory) ||
            directory.size() > kPathLimit) {
            continue;
        }
        if (directory.size() + std::size(kSearchPattern) - 1 > kPathLimit) continue;
        WIN32_FIND_DATAW data{};
        vemo::unique_hfind find(::FindFirstFileW((directory + L"*").c_str(), &data));
        if (!find) continue;
        do {
            const std::wstring path = directory + data.cFileName;
            if (NameIsRead(data.cFileName) && path.size() <= kPathLimit) files.push_back(path);
        } while (::FindNextFileW(find.get(), &data));
    }
    return files;
}

// One entry of a configuration directory and what the reader makes of it.
struct Planned {
    int count = 0;  // plug-in elements counted
    std::vector<ExpectedPlugin> plugins;
};

class Installation {
public:
    ~Installation() {
        vemo::test::DeleteRegistryValue(kProductKey, L"CompVersion");
        vemo::test::DeleteRegistryValue(kProductKey, L"ProgKey");
        vemo::test::DeleteRegistryValue(kProtectedKey, L"SystemDir");
        vemo::test::DeleteRegistryTree(kSecondComponentKey);
    }

    static void Own(Rng& rng, const std::wstring& directory) {
        PutValue(kProductKey, L"CompVersion", REG_SZ, WideBytes(L"1.0"));
        PutValue(kProductKey, L"ProgKey", REG_SZ,
                 WideBytes(rng.Chance(50) ? directory : directory.substr(0, directory.size() - 1)));
        if (rng.Chance(50)) PutValue(kProtectedKey, L"SystemDir", REG_SZ, WideBytes(vemo::test::ExecutableDirectory()));
    }

    // The configuration directory in one of the shapes a registry value can have.
    static void Second(Rng& rng, const std::wstring& directory, const std::wstring& other) {
        PutValue(kSecondVersionKey, L"CompVersion", REG_SZ, WideBytes(L"2.1"));
        const std::wstring key = std::wstring(kSecondVersionKey) + L"\\ConfigDir";
        const std::wstring bare = directory.substr(0, directory.size() - 1);
        switch (rng.Below(10)) {
            case 0: PutValue(key, L"", REG_SZ, WideBytes(bare)); break;
            case 1: PutValue(key, L"", REG_EXPAND_SZ, WideBytes(directory)); break;
            case 2: PutValue(key, L"", REG_MULTI_SZ, WideBytes(directory + std::wstring(L"\0junk\0", 6))); break;
            case 3: PutValue(key, L"", REG_BINARY, vemo::test::Narrow(directory)); break;
            case 4: PutValue(key, L"", REG_SZ, WideBytes(directory + L"missing\\")); break;
            case 5: PutValue(key, L"", REG_SZ, WideBytes(directory + std::wstring(300, L'x'))); break;
            case 6: PutValue(key, L"", REG_DWORD, std::string(4, '\0')); break;
            case 7: PutValue(key, L"", REG_SZ, WideBytes(other)); break;
            default: PutValue(key, L"", REG_SZ, WideBytes(directory, rng.Chance(50))); break;
        }
    }
};

std::wstring MatchingName(Rng& rng) {
    std::wstring name(1, rng.Chance(80) ? L'B' : L'b');
    for (int i = 0; i < 7; ++i) name += static_cast<wchar_t>(L'0' + rng.Below(10));
    const wchar_t* extensions[] = {L".xml", L".XML", L".Xml", L".xmL"};
    return name + rng.Pick(extensions);
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = towlower(c);
    return text;
}

GeneratorOptions SmallDocuments() {
    GeneratorOptions options;
    options.maxPlugins = 3;
    options.hugePercentTenths = 2;
    return options;
}

// Fills a directory with a random mix of entries; what each readable one holds goes to planned.
void FillDirectory(Rng& rng, const std::wstring& directory, std::map<std::wstring, Planned>& planned,
                   std::vector<vemo::unique_hfile>& locks) {
    std::set<std::wstring> used;
    const int entries = rng.Between(0, 6);
    for (int i = 0; i < entries; ++i) {
        const uint32_t kind = rng.Below(100);
        std::wstring name = kind < 80 ? MatchingName(rng) : std::wstring(rng.Pick(kForeignNames));
        if (!used.insert(Lower(name)).second) continue;  // one name, whatever its case
        const std::wstring path = directory + name;
        Planned entry;
        if (kind < 45 || kind >= 75) {
            const DocumentSpec document = GenerateDocument(rng, TheWorld().generator(), SmallDocuments());
            const auto encoding = static_cast<Encoding>(rng.Below(8));
            ASSERT_TRUE(WriteBytes(path, EncodeDocument(WriteDocument(rng, document, encoding), encoding)));
            for (const PluginSpec* plugin : PluginsInOrder(document)) entry.plugins.push_back(Expect(*plugin));
            entry.count = static_cast<int>(entry.plugins.size());
            if (kind >= 70 && kind < 75) {
                // Held open without sharing while discovery runs: it cannot be loaded.
                locks.emplace_back(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
                ASSERT_TRUE(locks.back());
                entry = Planned{};
            }
        } else if (kind < 60) {
            const auto breakage = static_cast<Breakage>(rng.Below(static_cast<uint32_t>(Breakage::kCount)));
            ASSERT_TRUE(WriteBytes(path, BrokenFile(rng, TheWorld().generator(), breakage)));
        } else if (kind < 67) {
            ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
            ASSERT_TRUE(WriteBytes(path + L"\\B0000001.xml", "<r><plugin description=\"inside\"/></r>"));
        } else {
            ASSERT_TRUE(WriteBytes(path, std::string()));
        }
        planned[path] = std::move(entry);
    }
}

// Discovery of the prepared installation, checked against what the files say, then the
// unload sequence that a stopping service runs.
void DiscoverAndCheck(bool pureMode, const std::map<std::wstring, Planned>& planned, const std::string& where) {
    const std::vector<std::wstring> files = ExpectedFiles();
    int total = 0;
    std::vector<const ExpectedPlugin*> kept;
    for (const std::wstring& file : files) {
        const auto entry = planned.find(file);
        ASSERT_NE(planned.end(), entry) << where << ": discovery would read a file the case did not make: "
                                        << Describe(file);
        total += entry->second.count;
        for (const ExpectedPlugin& plugin : entry->second.plugins) {
            if (!plugin.ignored) kept.push_back(&plugin);
        }
    }

    CountExtra("discovery/files read", static_cast<int>(files.size()));
    CountExtra("discovery/plug-ins counted", total);
    CountExtra("discovery/descriptors filled", static_cast<int>(kept.size()));
    try {
        GetPluginData(pureMode);
    } catch (const CXmlComError& e) {
        FAIL() << where << ": discovery raised DOM error 0x" << std::hex << e.Error();
    }

    if (total == 0) {
        EXPECT_EQ(0, g_numPluginInfo) << where;
        EXPECT_EQ(nullptr, g_vecPluginInfo.get()) << where;
        EXPECT_EQ(nullptr, g_hPluginsInitialized.get()) << where;
    } else {
        EXPECT_EQ(total, g_numPluginInfo) << where << ": plug-ins counted in " << files.size() << " files";
        EXPECT_EQ(static_cast<int>(kept.size()), g_numActivePluginInfo) << where << ": descriptors filled";
        ASSERT_NE(nullptr, g_vecPluginInfo.get()) << where;
        ASSERT_NE(nullptr, g_hPluginsInitialized.get()) << where;
        if (::testing::Test::HasFailure()) return;
        for (size_t i = 0; i < kept.size(); ++i) {
            const CPluginInfo& info = g_vecPluginInfo[i];
            const std::string at = where + ", descriptor " + std::to_string(i);
            ExpectDescriptor(info, *kept[i], at);
            // The loading pass tries exactly the system plug-ins of this mode; none of their
            // modules exists, so each of them fails and is signalled at once like the rest.
            const bool tried = kept[i]->system && kept[i]->pure == pureMode;
            EXPECT_EQ(!tried, info._initOk) << at;
            const HANDLE event = g_hPluginsInitialized[i];
            EXPECT_TRUE(event && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0) << at << ": event not signalled";
            if (::testing::Test::HasFailure()) return;
        }
        for (size_t i = kept.size(); i < static_cast<size_t>(total); ++i) {
            const CPluginInfo& info = g_vecPluginInfo[i];
            EXPECT_TRUE(info._name.empty() && info._binaryName.empty() && info._path.empty() && info._vecMenu.empty())
                << where << ": descriptor " << i << " beyond the filled ones is not default: " << Describe(info._name);
            EXPECT_EQ(VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS, info._timeOutUnload) << where << ": descriptor " << i;
        }
    }
    UnloadPlugins();
    EXPECT_EQ(nullptr, g_vecPluginInfo.get()) << where << ": after unloading";
    EXPECT_EQ(nullptr, g_hPluginsInitialized.get()) << where << ": after unloading";
    EXPECT_EQ(0, g_numPluginInfo) << where;
    EXPECT_EQ(0, g_numActivePluginInfo) << where;
}

int g_caseNumber = 0;

void HostileDirectories(Rng& rng) {
    Installation installation;
    const std::wstring n = std::to_wstring(++g_caseNumber);
    vemo::test::ScratchDirectory own(L"B0003810_bad" + n);
    vemo::test::ScratchDirectory second(std::wstring(rng.Pick(kSecondDirectoryTags)) + L"_bad" + n);
    std::map<std::wstring, Planned> planned;
    std::vector<vemo::unique_hfile> locks;
    FillDirectory(rng, own.path(), planned, locks);
    FillDirectory(rng, second.path(), planned, locks);
    if (rng.Chance(60)) Installation::Own(rng, own.path());
    if (rng.Chance(70)) Installation::Second(rng, second.path(), own.path());
    DiscoverAndCheck(rng.Chance(30), planned, "directories");
    locks.clear();
    ExpectNoCaughtExceptions("directories");
}

void TenThousandPlugins(Rng& rng) {
    Installation installation;
    vemo::test::ScratchDirectory second(L"huge_bad" + std::to_wstring(++g_caseNumber));
    GeneratorOptions options;
    options.minPlugins = options.maxPlugins = kHugePluginCount;
    options.maxDepth = 2;
    options.maxChildren = kHugeChildren;
    options.hugePercentTenths = 0;
    options.allowNestedPlugins = false;
    const DocumentSpec document = GenerateDocument(rng, TheWorld().generator(), options);
    const Encoding encoding = rng.Chance(50) ? Encoding::kUtf8Bom : Encoding::kUtf16LeBom;
    std::map<std::wstring, Planned> planned;
    Planned& huge = planned[second.path() + L"B0000001.xml"];
    ASSERT_TRUE(WriteBytes(second.path() + L"B0000001.xml",
                           EncodeDocument(WriteDocument(rng, document, encoding), encoding)));
    for (const PluginSpec* plugin : PluginsInOrder(document)) huge.plugins.push_back(Expect(*plugin));
    huge.count = static_cast<int>(huge.plugins.size());
    ASSERT_EQ(kHugePluginCount, huge.count);
    // A broken file and a small one beside it.
    ASSERT_TRUE(WriteBytes(second.path() + L"B0000002.xml", BrokenFile(rng, TheWorld().generator(), Breakage::kTruncated)));
    planned[second.path() + L"B0000002.xml"];
    const DocumentSpec small = GenerateDocument(rng, TheWorld().generator(), SmallDocuments());
    ASSERT_TRUE(WriteBytes(second.path() + L"B0000003.xml",
                           EncodeDocument(WriteDocument(rng, small, Encoding::kUtf8), Encoding::kUtf8)));
    Planned& beside = planned[second.path() + L"B0000003.xml"];
    for (const PluginSpec* plugin : PluginsInOrder(small)) beside.plugins.push_back(Expect(*plugin));
    beside.count = static_cast<int>(beside.plugins.size());

    PutValue(kSecondVersionKey, L"CompVersion", REG_SZ, WideBytes(L"2.1"));
    PutValue(std::wstring(kSecondVersionKey) + L"\\ConfigDir", L"", REG_SZ, WideBytes(second.path()));
    // Only errors: every plug-in's informational lines would be half a million records.
    TheWorld().recorder().SetLevelMask(kErrorsOnly);
    DiscoverAndCheck(rng.Chance(30), planned, "10 000 plug-ins in " + std::string(EncodingName(encoding)));
    ExpectNoCaughtExceptions("10 000 plug-ins");
}

// Directories of a given length, made through the long-path prefix; removed again with it.
class LongDirectory {
public:
    LongDirectory(const std::wstring& base, size_t length) {
        size_t remaining = length > base.size() ? length - base.size() : 0;
        m_path = base;
        while (remaining >= 2) {
            size_t segment = std::min(kLongSegment, remaining - 1);
            if (remaining - (segment + 1) == 1) --segment;  // never leave a single character
            m_path += std::wstring(segment, static_cast<wchar_t>(L'a' + m_levels.size() % 26)) + L"\\";
            remaining -= segment + 1;
            ::CreateDirectoryW((kLongPathPrefix + m_path).c_str(), nullptr);
            m_levels.push_back(m_path);
        }
    }
    ~LongDirectory() {
        for (const std::wstring& file : m_files) ::DeleteFileW((kLongPathPrefix + file).c_str());
        for (auto level = m_levels.rbegin(); level != m_levels.rend(); ++level) {
            ::RemoveDirectoryW((kLongPathPrefix + *level).c_str());
        }
    }
    LongDirectory(const LongDirectory&) = delete;
    LongDirectory& operator=(const LongDirectory&) = delete;
    const std::wstring& path() const { return m_path; }
    bool Write(const std::wstring& name, const std::string& bytes) {
        m_files.push_back(m_path + name);
        return WriteBytes(kLongPathPrefix + m_path + name, bytes);
    }

private:
    std::wstring m_path;
    std::vector<std::wstring> m_levels;
    std::vector<std::wstring> m_files;
};

// One document, placed in configuration directories of every length from a little below the
// search pattern's limit to a little beyond the registry's and the buffer's.
void LongDirectories(Rng& rng) {
    const DocumentSpec document = GenerateDocument(rng, TheWorld().generator(), SmallDocuments());
    const std::string bytes = EncodeDocument(WriteDocument(rng, document, Encoding::kUtf8), Encoding::kUtf8);
    std::vector<ExpectedPlugin> plugins;
    for (const PluginSpec* plugin : PluginsInOrder(document)) plugins.push_back(Expect(*plugin));
    for (size_t length = kShortestLongDirectory; length <= kLongestLongDirectory; ++length) {
        Installation installation;
        vemo::test::ScratchDirectory base(L"long" + std::to_wstring(++g_caseNumber));
        LongDirectory directory(base.path(), length);
        ASSERT_EQ(length, directory.path().size());
        ASSERT_TRUE(directory.Write(L"B0000001.xml", bytes));
        std::map<std::wstring, Planned> planned;
        Planned& entry = planned[directory.path() + L"B0000001.xml"];
        entry.plugins = plugins;
        entry.count = static_cast<int>(plugins.size());
        PutValue(kSecondVersionKey, L"CompVersion", REG_SZ, WideBytes(L"2.1"));
        PutValue(std::wstring(kSecondVersionKey) + L"\\ConfigDir", L"", REG_SZ,
                 WideBytes(rng.Chance(50) ? directory.path() : directory.path().substr(0, length - 1)));
        const std::string where = "configuration directory of " + std::to_string(length) + " characters";
        DiscoverAndCheck(rng.Chance(30), planned, where);
        CountExtra(length + std::size(kSearchPattern) - 1 <= kPathLimit ? "discovery.longdirs/searched"
                                                                        : "discovery.longdirs/beyond the limit",
                   1);
        ExpectNoCaughtExceptions(where);
        if (::testing::Test::HasFailure()) return;
    }
}

const Group kGroups[] = {
    {"discovery.directories", "HostileDirectoriesAndRegistryShapes", 50, 1200, HostileDirectories},
    {"discovery.longdirs", "DirectoriesAroundThePathLimit", 1, 12, LongDirectories},
    {"discovery.huge", "TenThousandPluginsInOneFile", 1, 2, TenThousandPlugins},
};

class DiscoveryBadInput : public ::testing::TestWithParam<Group> {
protected:
    void SetUp() override {
        ASSERT_TRUE(TheWorld().ready());
        ASSERT_EQ(nullptr, g_vecPluginInfo.get());
    }
    void TearDown() override {
        if (g_vecPluginInfo || g_hPluginsInitialized) UnloadPlugins();
    }
};

TEST_P(DiscoveryBadInput, FindsCountsAndFillsExactlyWhatTheFilesSay) {
    RunCases(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Discovery, DiscoveryBadInput, ::testing::ValuesIn(kGroups),
                         GroupName{});

}  // namespace
}  // namespace badinput
