#include "ConfigDbTest.h"

#include <shlobj.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <utility>

#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

namespace cdbtest {
namespace {
[[maybe_unused]] const bool kSandbox = vemo::test::UseHklmSandbox(L"Software\\VeMoConfigDBTests");

// Start up at once, with every diagnostic switch off: ConfigDB reads them once per process, and
// tests that set them for their children must not switch them on here. A child starts up in its
// test, after it installed its trace callback.
class StartUp : public ::testing::Environment {
    void SetUp() override {
        if (!vemo::test::InChild()) configdb::Init();
    }
};
[[maybe_unused]] ::testing::Environment* const g_startUp = ::testing::AddGlobalTestEnvironment(new StartUp);

std::atomic<int> g_idCounter{0};

std::string KnownFolder(REFKNOWNFOLDERID folder) {
    PWSTR path = nullptr;
    ::SHGetKnownFolderPath(folder, 0, nullptr, &path);
    const vemo::unique_cotaskmem owner(path);
    return path ? Narrow(path) + "\\" : std::string();
}

// A drive letter this machine does not have, so a registry path on it cannot be created.
char MissingDrive() {
    for (char letter = 'Q'; letter <= 'Y'; ++letter) {
        if (!(::GetLogicalDrives() & (1u << (letter - 'A')))) return letter;
    }
    return '\0';
}
}  // namespace

std::string UniqueComponentId() {
    char id[16] = {};
    _snprintf(id, sizeof(id) - 1, "B9%03lu%03d", ::GetCurrentProcessId() % 1000, ++g_idCounter % 1000);
    return id;
}
bool Exists(const std::string& path) { return vemo::test::Exists(Widen(path)); }
std::string ExeDirectory() { return Narrow(vemo::test::ExecutableDirectory()); }
std::string TempDirectory() {
    char path[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, path);
    return path;
}

std::string Expand(std::string text, const std::string& id, const std::string& scratch) {
    const std::string exe = ExeDirectory();
    const std::pair<const char*, std::string> tokens[] = {
        {"{v}", "{c}\\Versions\\1.0"},
        {"{c}", "SOFTWARE\\TRUVOeg\\Components\\" + id},
        {"{p}", "SOFTWARE\\TRUVOeg\\Packages\\" + id},
        {"{prod}", kProductKey},
        {"{sys}", "Software\\Truvoeg\\ProtectedDirectories"},
        {"{id}", id},
        {"{s}", scratch},
        {"{exe}", exe},
        {"{qexe}", std::string(1, MissingDrive()) + exe.substr(1)},
        {"{lexe}", std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(exe[0])))) + exe.substr(1)},
        {"{pf}", KnownFolder(FOLDERID_ProgramFilesX86)},
        {"{pd}", KnownFolder(FOLDERID_ProgramData)},
        {"{roam}", KnownFolder(FOLDERID_RoamingAppData)},
        {"{low}", KnownFolder(FOLDERID_LocalAppDataLow)},
        {"{tl}", TempDirectory() + "Low\\"},
    };
    for (const auto& [token, value] : tokens) {
        for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
            text.replace(at, std::strlen(token), value);
        }
    }
    return text;
}

void SetString(const std::string& keyPath, const std::string& name, const std::string& value) {
    ASSERT_TRUE(vemo::test::SetRegistryString(Widen(keyPath), Widen(name), Widen(value))) << keyPath;
}

void SetValues(const std::vector<std::string>& values, const std::string& id, const std::string& scratch) {
    for (const std::string& value : values) {
        const std::string text = Expand(value, id, scratch);
        const size_t bar = text.find('|');
        const size_t second = text.find('|', bar + 1);
        const std::string key = text.substr(0, bar), name = text.substr(bar + 1, second - bar - 1);
        const std::string data = text.substr(second + 1);
        if (data.starts_with('#')) {
            ASSERT_TRUE(vemo::test::SetRegistryDword(Widen(key), Widen(name), std::stoul(data.substr(1)))) << text;
        } else {
            SetString(key, name, data);
        }
    }
}

bool ConfigDbTest::Traced(const std::string& line) const {
    const std::wstring text = Widen(line.substr(2));
    return line[0] == 'E' ? trace.HasError(text) : trace.HasInfo(text);
}

}  // namespace cdbtest
