#include "World.h"

#include <gtest/gtest.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <atomic>
#include <cwchar>

#include "ConfigDbModel.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"

namespace badinput {
namespace {

constexpr wchar_t kComponentsKey[] = L"SOFTWARE\\TRUVOeg\\Components\\";
constexpr wchar_t kRulesKey[] = L"SOFTWARE\\BadInputRules";
constexpr int kLevelException = 1;
constexpr size_t kLongRuleName = 240;
constexpr size_t kRuleTextChars = 255;
constexpr size_t kHugeValueBytes = 65536;
constexpr DWORD kRuleBufferBytes = 260;

std::unique_ptr<World> g_world;
std::atomic<int> g_configDbExceptions{0};

// ConfigDB's own lines: with a callback installed every line is formatted, hostile texts too.
void CountConfigDbLine(bool /*bIsError*/, const wchar_t* pszText) {
    if (pszText && std::wcsncmp(pszText, L"Exception in <", 14) == 0) ++g_configDbExceptions;
}

std::wstring VersionKey(const std::wstring& id, const std::wstring& version) {
    return kComponentsKey + id + L"\\Versions\\" + version;
}

bool Install(const std::wstring& id, const std::wstring& version, DWORD type, const std::string& bytes) {
    return PutValue(VersionKey(id, version), L"CompVersion", type, bytes);
}

std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof(value)); }

class WorldEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        g_world = std::make_unique<World>();
        CDB_SetTraceCallback(CountConfigDbLine);
    }
    void TearDown() override {
        CDB_SetTraceCallback(nullptr);
        g_world.reset();
    }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new WorldEnvironment);

}  // namespace

World& TheWorld() { return *g_world; }

bool PutValue(const std::wstring& key, const std::wstring& name, DWORD type, const std::string& bytes) {
    return vemo::test::SetRegistryValue(key, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

std::string WideBytes(const std::wstring& text, bool terminated) {
    std::string bytes(reinterpret_cast<const char*>(text.c_str()), text.size() * sizeof(wchar_t));
    if (terminated) bytes.append(sizeof(wchar_t), '\0');
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    vemo::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return bytes.empty() || (::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                         nullptr) &&
                             written == bytes.size());
}

World::World() {
    if (!m_sandbox.active()) return;
    RegisterComponents();
    RegisterRules();
}

World::~World() {
    for (const std::wstring& directory : m_createdLogDirs) ::RemoveDirectoryW(directory.c_str());
}

std::wstring World::NewDirectory(const std::wstring& tag) {
    const std::wstring directory = scratch() + tag + L"_" + std::to_wstring(++m_directories) + L"\\";
    ::CreateDirectoryW(directory.c_str(), nullptr);
    return directory;
}

void World::RegisterComponents() {
    // Installed or not as the registry says; the model decides which is which.
    Install(L"B0009981", L"1.0", REG_SZ, WideBytes(L"5.2"));
    Install(L"B0009982", L"2.0", REG_SZ, WideBytes(L"1"));
    Install(L"B00\u00E49983", L"1.0", REG_SZ, WideBytes(L"5.2"));
    Install(L"B00\u20AC9984", L"1.0", REG_SZ, WideBytes(L"5.2"));
    Install(L"B0009985", L"1.0", REG_DWORD, Dword(0));           // reads as an empty text
    Install(L"B0009986", L"1.0", REG_DWORD, Dword(0x31));        // reads as "1"
    Install(L"B0009987", L"1.0", REG_SZ, WideBytes(std::wstring(kHugeValueBytes / 2, L'9')));
    Install(L"B0009988", L"0.9", REG_SZ, WideBytes(L"5.2"));     // only below "\1.0" counts then
    Install(L"B0009989", L"1.10", REG_SZ, WideBytes(L""));
    Install(L"B0009989", L"1.9", REG_SZ, WideBytes(L"x"));       // 1.9 is newer than 1.10
    Install(L"B0009980", L"1.0", REG_MULTI_SZ, WideBytes(std::wstring(L"\0second\0", 8)));
    m_generator.installedIds = {L"B0009981", L"B0009982", L"B00\u00E49983", L"B00\u20AC9984", L"B0009986",
                                L"B0009989"};
    m_generator.notInstalledIds = {L"B0009985", L"B0009987", L"B0009988", L"B0009980", L"B0009990",
                                   L"B\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4", L"B0003899"};

    // Directories for {konfigdir( and {programdir(: names that hold template marks of their own.
    const std::wstring withPid = NewDirectory(L"k{pid}");
    const std::wstring programBase = NewDirectory(L"prog{cat}");
    ::CreateDirectoryW((programBase + L"sub").c_str(), nullptr);
    const std::wstring withMark = scratch() + L"{programdir(B0009961)}\\";
    ::CreateDirectoryW(withMark.c_str(), nullptr);
    const std::wstring unclosed = scratch() + L"x{konfigdir(B0009961\\";
    ::CreateDirectoryW(unclosed.c_str(), nullptr);
    const std::wstring umlaut = NewDirectory(L"Pr\u00FCfung");
    const std::wstring euro = NewDirectory(L"Kosten\u20AC");
    PutValue(VersionKey(L"B0009961", L"1.0") + L"\\ConfigDir", L"", REG_SZ, WideBytes(withPid));
    PutValue(VersionKey(L"B0009961", L"1.0") + L"\\ProtectedDirectories", L"FixedProgDir", REG_SZ,
             WideBytes(programBase.substr(0, programBase.size() - 1)));
    PutValue(VersionKey(L"B0009961", L"1.0") + L"\\ProtectedDirectories", L"ProgDir", REG_SZ, WideBytes(L"sub"));
    PutValue(VersionKey(L"B0009962", L"1.0") + L"\\ConfigDir", L"", REG_EXPAND_SZ, WideBytes(withMark));
    PutValue(VersionKey(L"B0009963", L"1.0") + L"\\ConfigDir", L"", REG_SZ, WideBytes(unclosed, false));
    PutValue(VersionKey(L"B0009964", L"1.0") + L"\\ConfigDir", L"", REG_BINARY, vemo::test::Narrow(umlaut));
    PutValue(VersionKey(L"B0009964", L"1.0") + L"\\ProtectedDirectories", L"FixedProgDir", REG_MULTI_SZ,
             WideBytes(euro + std::wstring(L"\0other\0", 7)));
    PutValue(VersionKey(L"B0009965", L"1.0") + L"\\ConfigDir", L"", REG_SZ,
             WideBytes(withPid + std::wstring(300, L'l')));
    PutValue(VersionKey(L"B0009966", L"3.0") + L"\\ConfigDir", L"", REG_SZ, WideBytes(euro));
    m_generator.templateIds = {L"B0009961", L"B0009962", L"B0009963", L"B0009964", L"B0009965", L"B0009966",
                               L"B0009969", L"B0003810", L"", L"b0009961 ", L"B0009961)"};

    // {logdir( creates its folder below the per-user log folder: only these, removed afterwards.
    m_generator.logIds = {L"B0009971", L"b0009972", L""};
    for (const wchar_t* id : {L"b0009971", L"b0009972"}) {
        const std::wstring folder = vemo::test::Widen(model::LogDirCreated(vemo::test::Narrow(id)));
        if (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) m_createdLogDirs.push_back(folder);
    }
}

void World::RegisterRules() {
    const std::wstring key = kRulesKey;
    std::string shortDword(2, '\0');
    shortDword[0] = 1;
    std::string lowZero(8, '\0');
    lowZero[4] = 1;
    std::string huge(kHugeValueBytes, '\0');
    huge[0] = 1;
    std::string atLimit(kRuleBufferBytes, '\0');
    atLimit[0] = 1;
    std::string overLimit(kRuleBufferBytes + 1, '\0');
    overLimit[0] = 1;
    const uint64_t qword = 1;
    PutValue(key, L"Zero", REG_DWORD, Dword(0));
    PutValue(key, L"One", REG_DWORD, Dword(1));
    PutValue(key, L"Big", REG_DWORD, Dword(0xFFFFFFFF));
    PutValue(key, L"Short2", REG_DWORD, shortDword);
    PutValue(key, L"Short0", REG_DWORD, std::string());
    PutValue(key, L"LowZero8", REG_DWORD, lowZero);
    PutValue(key, L"Qword", REG_QWORD, std::string(reinterpret_cast<const char*>(&qword), sizeof(qword)));
    PutValue(key, L"Text1", REG_SZ, WideBytes(L"1"));
    PutValue(key, L"Multi", REG_MULTI_SZ, WideBytes(std::wstring(L"1\0", 2)));
    PutValue(key, L"Binary", REG_BINARY, Dword(1));
    PutValue(key, L"BigEndian", REG_DWORD_BIG_ENDIAN, Dword(1));
    PutValue(key, L"None", REG_NONE, Dword(1));
    PutValue(key, L"Huge", REG_DWORD, huge);
    PutValue(key, L"Limit260", REG_DWORD, atLimit);
    PutValue(key, L"Limit261", REG_DWORD, overLimit);
    PutValue(key, L"Wert\u20AC\u00E4\u4E2D", REG_DWORD, Dword(1));
    PutValue(key + L"\\Schl\u00FCssel\u4E2D", L"v", REG_DWORD, Dword(1));
    const std::wstring tail = key + L"\\Tail\\";
    PutValue(tail, tail, REG_DWORD, Dword(1));
    // Longer than the 255 characters the rule reads: the cut name is the one that counts.
    const std::wstring longName(kLongRuleName, L'L');
    PutValue(key, longName, REG_DWORD, Dword(0));
    const std::wstring longText = key + L"\\" + longName;
    PutValue(key, longText.substr(key.size() + 1, kRuleTextChars - key.size() - 1), REG_DWORD, Dword(1));
    PutValue(L"", L"AtRoot", REG_DWORD, Dword(1));

    for (const wchar_t* name : {L"Zero", L"One", L"Big", L"Short2", L"Short0", L"LowZero8", L"Qword", L"Text1",
                                L"Multi", L"Binary", L"BigEndian", L"None", L"Huge", L"Limit260", L"Limit261",
                                L"Wert\u20AC\u00E4\u4E2D", L"Missing"}) {
        m_generator.registryRules.push_back(key + L"\\" + name);
    }
    for (const std::wstring& text :
         {std::wstring(L"SOFTWARE\\NoSuchKey\\Value"), std::wstring(L"NoBackslash"), std::wstring(),
          std::wstring(L"\\AtRoot"), key + L"\\\\One", std::wstring(L"software\\badinputrules\\one"),
          std::wstring(L"SOFTWARE/BadInputRules/One"), key + L"\\Schl\u00FCssel\u4E2D\\v", tail, longText,
          key + L"\\One\\", std::wstring(L"\\")}) {
        m_generator.registryRules.push_back(text);
    }
}

void ExpectNoCaughtExceptions(const std::string& where) {
    EXPECT_EQ(0, g_configDbExceptions.exchange(0)) << where << ": ConfigDB caught an exception";
    const auto records = TheWorld().recorder().Records();
    for (const auto& record : records) {
        EXPECT_NE(kLevelException, record.level) << where << ": " << record.text.substr(0, 200);
    }
    TheWorld().recorder().Reset();
}

int CountTraced(int level, const std::string& text) {
    int n = 0;
    for (const auto& record : TheWorld().recorder().Records()) n += record.level == level && record.text == text;
    return n;
}

}  // namespace badinput
