// ConfigDB fed by hostile registry values: directories and versions in every value type, without
// terminator, empty, oversized, non-ASCII, naming files or nothing, version subkeys that are no
// numbers; asked through the narrow queries and through the wide buffer forms, whose buffer is
// fenced by guard characters on both sides.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BadInput.h"
#include "ConfigDbModel.h"
#include "World.h"
#include "configdb/ConfigDB.h"

namespace badinput {
namespace {

constexpr wchar_t kComponentsKey[] = L"SOFTWARE\\TRUVOeg\\Components\\";
constexpr size_t kGuardChars = 64;
constexpr wchar_t kGuard = 0xFDFD;
constexpr wchar_t kUntouched = 0xABAB;
constexpr uint32_t kDiscoveryBufferChars = MAX_PATH;
constexpr size_t kRegistryLimit = 260;
constexpr size_t kHugeBytes = 65536;
constexpr DWORD kQword = REG_QWORD;
constexpr DWORD kLastType = REG_QWORD;  // types 0 to 11

constexpr const char* kVersionNames[] = {"1.0", "2.0", "1.10", "1.9", "0.9", "abc", "-3", "1e2", "3.0beta", " 4",
                                         "2.5", "10",  "0x10", "inf", "nan", "99999999999999999999", "1.0.1", "0"};

int g_component = 0;

std::wstring NewComponentId(Rng& rng) {
    const std::wstring digits = std::to_wstring(10000 + (++g_component % 90000));
    switch (rng.Below(10)) {
        case 0: return L"B97\u00E4" + digits.substr(1);
        case 1: return L"B97\u20AC" + digits.substr(1);
        default: return L"B97" + digits;
    }
}

// A component ID nobody registered: it is only asked about.
std::wstring HostileId(Rng& rng) {
    const wchar_t* ids[] = {L"", L"B97\u4E2D0001", L"b0003810", L"B0003810 ", L"..\\..\\x", L"B9700000\\Versions"};
    return rng.Chance(10) ? std::wstring(kHugeBytes / 2, L'B') : std::wstring(rng.Pick(ids));
}

// A directory text: existing ones of several kinds, missing ones, a file, roots, odd forms.
std::wstring DirectoryText(Rng& rng) {
    static std::vector<std::wstring> existing;
    static std::wstring file;
    if (existing.empty()) {
        World& world = TheWorld();
        for (const wchar_t* tag : {L"plain", L"Pr\u00FCfung", L"Kosten\u20AC", L"{programdir(B0003810", L"{pid}",
                                   L"a b", L"trail."}) {
            existing.push_back(world.NewDirectory(tag));
        }
        file = world.scratch() + L"file.txt";
        WriteBytes(file, "x");
    }
    switch (rng.Below(14)) {
        case 0: return existing[rng.Below(static_cast<uint32_t>(existing.size()))] + L"missing";
        case 1: return file;
        case 2: return L"C:\\";
        case 3: return L".";
        case 4: return L"";
        case 5: return TheWorld().scratch() + L"\u4E2D\u6587";
        case 6: return existing[0] + std::wstring(300, L'd');
        case 7: return L"C:/windows/";
        default: {
            std::wstring directory = existing[rng.Below(static_cast<uint32_t>(existing.size()))];
            if (rng.Chance(50)) directory.pop_back();  // without its backslash
            return directory;
        }
    }
}

// The bytes of a registry value holding text, in one of the shapes a value can have.
struct Shaped {
    DWORD type;
    std::string bytes;
};

Shaped Shape(Rng& rng, const std::wstring& text) {
    switch (rng.Below(12)) {
        case 0: return {REG_EXPAND_SZ, WideBytes(text)};
        case 1: return {REG_MULTI_SZ, WideBytes(text + std::wstring(L"\0other\0", 7))};
        case 2: return {REG_BINARY, vemo::test::Narrow(text)};
        case 3: return {REG_BINARY, vemo::test::Narrow(text) + std::string(1, '\0') + "tail"};
        case 4: return {REG_NONE, vemo::test::Narrow(text)};
        case 5: {
            // Four bytes of text as a number: "C:\" and its terminator read as a path.
            std::string bytes = vemo::test::Narrow(text).substr(0, 3);
            bytes.resize(4, '\0');
            return {REG_DWORD, bytes};
        }
        case 6: return {REG_SZ, WideBytes(text, false)};  // no terminator
        case 7: return {REG_SZ, WideBytes(text + std::wstring(kHugeBytes / 2, L'h'))};
        case 8: return {REG_SZ, std::string()};           // empty, not even a terminator
        default: return {REG_SZ, WideBytes(text)};
    }
}

// Wine takes one byte more than Windows for a string without terminator: at exactly the
// buffer's size the two differ, so that one length is not generated.
void Put(const std::wstring& key, const std::wstring& name, Shaped value) {
    if (model::AtUnterminatedStringLimit(value.type, value.bytes, kRegistryLimit)) value.bytes.append(2, '\0');
    PutValue(key, name, value.type, value.bytes);
}

std::wstring Widen(const std::string& narrow) {
    std::wstring wide;
    return model::WidenPath(narrow, wide) ? wide : std::wstring();
}

using BufferForm = uint32_t (*)(const wchar_t*, wchar_t*, uint32_t);

// Calls a wide buffer form with guard characters around the buffer and checks code and content
// against the directory ConfigDB is to find.
void CheckBufferForm(Rng& rng, const char* name, BufferForm call, const std::wstring& id,
                     const std::wstring& directory) {
    const bool found = !directory.empty() && _waccess_s(directory.c_str(), 0) == 0;
    const uint32_t sizes[] = {0,
                              1,
                              static_cast<uint32_t>(directory.size()),
                              static_cast<uint32_t>(directory.size() + 1),
                              kDiscoveryBufferChars,
                              static_cast<uint32_t>(rng.Between(2, 400))};
    const uint32_t size = rng.Pick(sizes);
    const int nulls = rng.Chance(5) ? rng.Between(1, 3) : 0;  // 1: buffer, 2: ID, 3: both
    std::vector<wchar_t> memory(kGuardChars * 2 + size, kUntouched);
    std::fill_n(memory.begin(), kGuardChars, kGuard);
    std::fill_n(memory.end() - kGuardChars, kGuardChars, kGuard);
    wchar_t* const buffer = memory.data() + kGuardChars;

    const uint32_t rc = call((nulls & 2) ? nullptr : id.c_str(), (nulls & 1) ? nullptr : buffer, size);
    const std::string where = std::string(name) + " of " + Describe(id) + " into " + std::to_string(size) +
                              " characters, directory " + Describe(directory);
    for (size_t i = 0; i < kGuardChars; ++i) {
        ASSERT_EQ(kGuard, memory[i]) << where << ": written before the buffer";
        ASSERT_EQ(kGuard, memory[kGuardChars + size + i]) << where << ": written past the buffer";
    }
    size_t written = 0;  // characters of the buffer the call may have changed
    if (nulls) {
        EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, rc) << where;
    } else if (!found) {
        EXPECT_EQ(CDB_ERROR_NO_DIRECTORY, rc) << where;
        written = std::min<size_t>(size, 1);
    } else if (size <= directory.size()) {
        EXPECT_EQ(CDB_ERROR_BUFFER_TOO_SMALL, rc) << where;
        written = std::min<size_t>(size, 1);
    } else {
        EXPECT_EQ(CDB_OK, rc) << where;
        EXPECT_EQ(directory, std::wstring(buffer)) << where;
        written = directory.size() + 1;
    }
    if (rc != CDB_OK && written > 0) {
        EXPECT_EQ(L'\0', buffer[0]) << where << ": the buffer is not left empty";
    }
    for (size_t i = written; i < size; ++i) {
        ASSERT_EQ(kUntouched, buffer[i]) << where << ": character " << i << " behind the result was written";
    }
}

uint32_t KonfigBuffer(const wchar_t* id, wchar_t* dir, uint32_t size) { return CDB_GetKonfigDir(id, dir, size); }
uint32_t LogBuffer(const wchar_t* id, wchar_t* dir, uint32_t size) { return CDB_GetLogDir(id, dir, size, false); }
uint32_t ProgBuffer(const wchar_t* id, wchar_t* dir, uint32_t size) { return CDB_GetProgDir(id, dir, size, false); }

// The narrow ID a wide one becomes; a failed conversion asks for the empty ID.
std::string NarrowOf(const std::wstring& id) {
    std::string narrow;
    return model::NarrowId(id, narrow) ? narrow : std::string();
}

// All three directories of a component through both forms.
void CheckDirectories(Rng& rng, const std::wstring& id) {
    const std::string narrow = NarrowOf(id);
    const std::string konfig = model::KonfigDir(narrow);
    const std::string log = model::LogDirNoCreate(narrow);
    const std::string prog = model::ProgDir(narrow);
    EXPECT_EQ(konfig, CDB_GetKonfigDir(narrow)) << "CDB_GetKonfigDir of " << Describe(id);
    EXPECT_EQ(log, CDB_GetLogDir(narrow, false)) << "CDB_GetLogDir of " << Describe(id);
    EXPECT_EQ(prog, CDB_GetProgDir(narrow, false)) << "CDB_GetProgDir of " << Describe(id);
    CheckBufferForm(rng, "CDB_GetKonfigDir", KonfigBuffer, id, Widen(konfig));
    CheckBufferForm(rng, "CDB_GetLogDir", LogBuffer, id, Widen(log));
    CheckBufferForm(rng, "CDB_GetProgDir", ProgBuffer, id, Widen(prog));
}

void CheckVersions(const std::wstring& id) {
    const std::string narrow = NarrowOf(id);
    EXPECT_EQ(model::VersionWithBuild(narrow), CDB_GetVersion(narrow, CDB_VERSION_WITH_BUILD)) << Describe(id);
    EXPECT_EQ(model::VersionOnly(narrow), CDB_GetVersion(narrow, CDB_VERSION_ONLY)) << Describe(id);
    EXPECT_EQ(model::BuildNumberText(narrow), CDB_GetVersion(narrow, CDB_VERSION_BUILD)) << Describe(id);
    EXPECT_EQ(Widen(model::VersionWithBuild(narrow)), CDB_GetVersion(id, CDB_VERSION_WITH_BUILD)) << Describe(id);
    EXPECT_EQ(model::IsInstalled(id), CDB_IsComponentInstalled(id.c_str())) << Describe(id);
    EXPECT_EQ(!model::VersionWithBuild(narrow).empty(), CDB_IsComponentInstalled(narrow.c_str())) << Describe(id);
}

class Component {
public:
    explicit Component(std::wstring id) : m_id(std::move(id)) {}
    ~Component() { vemo::test::DeleteRegistryTree(kComponentsKey + m_id); }
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;
    const std::wstring& id() const { return m_id; }
    std::wstring Version(const std::wstring& version) const { return kComponentsKey + m_id + L"\\Versions\\" + version; }

private:
    std::wstring m_id;
};

void HostileDirectoryValues(Rng& rng) {
    Component component(NewComponentId(rng));
    const std::wstring version = component.Version(rng.Chance(80) ? L"1.0" : L"2.0");
    if (rng.Chance(70)) Put(version, L"CompVersion", Shape(rng, L"5.2"));
    if (rng.Chance(90)) Put(version + L"\\ConfigDir", L"", Shape(rng, DirectoryText(rng)));
    if (rng.Chance(90)) Put(version + L"\\LogDir", L"", Shape(rng, DirectoryText(rng)));
    if (rng.Chance(80)) Put(version + L"\\ProtectedDirectories", L"FixedProgDir", Shape(rng, DirectoryText(rng)));
    if (rng.Chance(60)) {
        const wchar_t* subs[] = {L"sub", L"..", L"", L"\\", L"missing", L"{pid}", L"\u4E2D"};
        Put(version + L"\\ProtectedDirectories", L"ProgDir", Shape(rng, rng.Pick(subs)));
    }
    CheckDirectories(rng, component.id());
    CheckVersions(component.id());
    if (rng.Chance(20)) {
        const std::wstring stranger = HostileId(rng);
        CheckDirectories(rng, stranger);
        CheckVersions(stranger);
    }
    ExpectNoCaughtExceptions("directory values");
}

void HostileVersions(Rng& rng) {
    Component component(NewComponentId(rng));
    const int subkeys = rng.Between(1, 5);
    for (int i = 0; i < subkeys; ++i) {
        const std::wstring version = component.Version(vemo::test::Widen(rng.Pick(kVersionNames)));
        const wchar_t* versions[] = {L"5.2", L"", L"\u00E4\u20AC\u4E2D", L"7"};
        if (rng.Chance(80)) Put(version, L"CompVersion", Shape(rng, rng.Pick(versions)));
        if (rng.Chance(70)) {
            const uint32_t number = static_cast<uint32_t>(rng.Next());
            switch (rng.Below(6)) {
                case 0: PutValue(version, L"BuildNumber", REG_SZ, WideBytes(L"ab")); break;
                case 1: PutValue(version, L"BuildNumber", REG_SZ, WideBytes(L"1234")); break;
                case 2: PutValue(version, L"BuildNumber", REG_BINARY, std::string(1, 'A') + "B"); break;
                case 3: PutValue(version, L"BuildNumber", kQword, std::string(8, '\x01')); break;
                case 4: PutValue(version, L"BuildNumber", REG_DWORD, std::string()); break;
                default:
                    PutValue(version, L"BuildNumber", REG_DWORD,
                             std::string(reinterpret_cast<const char*>(&number), sizeof(number)));
                    break;
            }
        }
        Put(version + L"\\ConfigDir", L"", Shape(rng, DirectoryText(rng)));
    }
    CheckVersions(component.id());
    CheckDirectories(rng, component.id());
    ExpectNoCaughtExceptions("versions");
}

// Random types and bytes. Where every value involved is of a type the narrow API hands over
// byte for byte, the answer is checked exactly; otherwise only what must hold for any answer.
void RandomValues(Rng& rng) {
    Component component(NewComponentId(rng));
    const std::wstring version = component.Version(L"1.0");
    bool allRaw = true;
    auto put = [&](const std::wstring& key, const std::wstring& name) {
        const DWORD type = rng.Below(kLastType + 1);
        const size_t lengths[] = {0, 1, 2, 3, 4, 5, 8, 259, 260, 261, kHugeBytes};
        const size_t length = rng.Chance(50) ? rng.Pick(lengths) : rng.Below(600);
        std::string bytes(length, '\0');
        for (char& c : bytes) c = static_cast<char>(rng.Chance(30) ? 0 : rng.Between(1, 255));
        allRaw = allRaw && type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ;
        Put(key, name, {type, bytes});
    };
    put(version, L"CompVersion");
    put(version, L"BuildNumber");
    put(version + L"\\ConfigDir", L"");
    put(version + L"\\LogDir", L"");
    put(version + L"\\ProtectedDirectories", L"FixedProgDir");
    put(version + L"\\ProtectedDirectories", L"ProgDir");

    const std::wstring& id = component.id();
    const std::string narrow = NarrowOf(id);
    if (allRaw) {
        CheckDirectories(rng, id);
        CheckVersions(id);
        CountExtra("registry.random/checked exactly", 1);
    } else {
        for (const std::string& directory : {CDB_GetKonfigDir(narrow), CDB_GetLogDir(narrow, false),
                                             CDB_GetProgDir(narrow, false)}) {
            EXPECT_TRUE(directory.empty() || directory.back() == '\\') << directory.substr(0, 300);
        }
        for (BufferForm form : {KonfigBuffer, LogBuffer, ProgBuffer}) {
            std::vector<wchar_t> memory(kGuardChars * 2 + kDiscoveryBufferChars, kGuard);
            wchar_t* const buffer = memory.data() + kGuardChars;
            const uint32_t rc = form(id.c_str(), buffer, kDiscoveryBufferChars);
            for (size_t i = 0; i < kGuardChars; ++i) {
                ASSERT_EQ(kGuard, memory[i]) << "written before the buffer";
                ASSERT_EQ(kGuard, memory[kGuardChars + kDiscoveryBufferChars + i]) << "written past the buffer";
            }
            ASSERT_TRUE(rc == CDB_OK || rc == CDB_ERROR_NO_DIRECTORY) << rc;
            const std::wstring result(buffer);
            if (rc == CDB_OK) {
                EXPECT_TRUE(!result.empty() && result.back() == L'\\' && _waccess_s(result.c_str(), 0) == 0)
                    << Describe(result);
            } else {
                EXPECT_TRUE(result.empty());
            }
        }
        CDB_IsComponentInstalled(id.c_str());
        CDB_GetVersion(narrow, CDB_VERSION_WITH_BUILD);
    }
    ExpectNoCaughtExceptions("random values");
}

const Group kGroups[] = {
    {"registry.directories", "DirectoryValuesOfEveryShape", 80, 1500, HostileDirectoryValues},
    {"registry.versions", "VersionSubkeysAndValuesOfEveryShape", 50, 800, HostileVersions},
    {"registry.random", "RandomTypesAndBytes", 50, 800, RandomValues},
};

class RegistryBadInput : public ::testing::TestWithParam<Group> {
protected:
    void SetUp() override { ASSERT_TRUE(TheWorld().ready()); }
};

TEST_P(RegistryBadInput, ConfigDbAnswersAsTheRegistrySaysAndStaysInsideTheBuffer) {
    RunCases(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Registry, RegistryBadInput, ::testing::ValuesIn(kGroups),
                         GroupName{});

}  // namespace
}  // namespace badinput
