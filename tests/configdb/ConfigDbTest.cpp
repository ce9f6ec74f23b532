#include "ConfigDbTest.h"

#include <atomic>

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
}  // namespace

std::string ComponentVersionKey(const std::string& id, const std::string& version) {
    return std::string(kComponentsKey) + "\\" + id + "\\Versions\\" + version;
}
std::string PackageVersionKey(const std::string& id, const std::string& version) {
    return std::string(kPackagesKey) + "\\" + id + "\\Versions\\" + version;
}
void SetString(const std::string& keyPath, const std::string& name, const std::string& value) {
    ASSERT_TRUE(vemo::test::SetRegistryString(Widen(keyPath), Widen(name), Widen(value))) << keyPath;
}
void SetDword(const std::string& keyPath, const std::string& name, DWORD value) {
    ASSERT_TRUE(vemo::test::SetRegistryDword(Widen(keyPath), Widen(name), value)) << keyPath;
}
void CreateKey(const std::string& keyPath) { ASSERT_TRUE(vemo::test::CreateRegistryKey(Widen(keyPath))) << keyPath; }

std::string UniqueComponentId() {
    char id[16] = {};
    _snprintf(id, sizeof(id) - 1, "B9%03lu%03d", ::GetCurrentProcessId() % 1000, ++g_idCounter % 1000);
    return id;
}
bool Exists(const std::string& path) { return vemo::test::Exists(Widen(path)); }
std::string WithBackslash(std::string path) {
    if (!path.empty() && path.back() != '\\') path += '\\';
    return path;
}
std::string KnownFolder(REFKNOWNFOLDERID folder) {
    PWSTR path = nullptr;
    ::SHGetKnownFolderPath(folder, 0, nullptr, &path);
    vemo::unique_cotaskmem owner(path);
    return path ? WithBackslash(Narrow(path)) : std::string();
}
std::string ExeDirectory() { return Narrow(vemo::test::ExecutableDirectory()); }
std::string TempDirectory() {
    char path[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, path);
    return path;
}

CreatedTree::CreatedTree(const std::string& directory, int parentLevels, bool recursive) : m_recursive(recursive) {
    std::wstring path = Widen(directory);
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    for (int level = 0; level <= parentLevels && !path.empty(); ++level) {
        m_levels.emplace_back(path, vemo::test::Exists(path));
        const size_t slash = path.rfind(L'\\');
        if (slash == std::wstring::npos) break;
        path.resize(slash);
    }
}
CreatedTree::~CreatedTree() {
    for (size_t i = 0; i < m_levels.size(); ++i) {
        const auto& [path, existed] = m_levels[i];
        if (existed) break;
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ::DeleteFileW(path.c_str());
        } else if (i == 0 && m_recursive) {
            vemo::test::RemoveDirectoryTree(path);
        } else {
            ::RemoveDirectoryW(path.c_str());  // fails, as wanted, when something else is inside
        }
    }
}

void WriteFileText(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(vemo::test::WriteFileBytes(Widen(path), bytes)) << path;
}
std::string ReadFileText(const std::string& path) { return vemo::test::ReadFileBytes(Widen(path)); }

}  // namespace cdbtest
