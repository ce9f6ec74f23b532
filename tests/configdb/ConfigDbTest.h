#pragma once
// What the ConfigDB tests share: ConfigDB's trace lines, component IDs of their own, narrow
// registry values in the private machine hive, and directories they remove again.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <string>
#include <vector>

#include "ConfigDbLines.h"
#include "TestSupport.h"

namespace cdbtest {

using vemo::test::Narrow;
using vemo::test::Widen;

using TraceCapture = vemo::test::ConfigDbLines;

inline constexpr char kProductKey[] = "SOFTWARE\\TRUVO VeMo Compact";
inline constexpr char kComponentsKey[] = "SOFTWARE\\TRUVOeg\\Components";
inline constexpr char kPackagesKey[] = "SOFTWARE\\TRUVOeg\\Packages";
inline constexpr char kProtectedDirectoriesKey[] = "Software\\Truvoeg\\ProtectedDirectories";
inline constexpr char kOwnId[] = "B0003810";

std::string ComponentVersionKey(const std::string& id, const std::string& version);
std::string PackageVersionKey(const std::string& id, const std::string& version);
void SetString(const std::string& keyPath, const std::string& name, const std::string& value);
void SetDword(const std::string& keyPath, const std::string& name, DWORD value);
void CreateKey(const std::string& keyPath);

// Captures ConfigDB's lines; empties the private hive before each test.
class ConfigDbTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vemo::test::ResetHklmSandbox()); }
    TraceCapture trace;
};

std::string UniqueComponentId();  // "B9" and six digits, new for every call and process
bool Exists(const std::string& path);
std::string WithBackslash(std::string path);
std::string KnownFolder(REFKNOWNFOLDERID folder);  // with a trailing backslash
std::string ExeDirectory();
std::string TempDirectory();

// Removes at scope end what did not exist at construction: the directory (with its content)
// and then each of up to `parentLevels` parents that is left empty.
class CreatedTree {
public:
    // recursive false: remove only when empty, for folders other processes may share.
    explicit CreatedTree(const std::string& directory, int parentLevels = 0, bool recursive = true);
    ~CreatedTree();
    CreatedTree(const CreatedTree&) = delete;
    CreatedTree& operator=(const CreatedTree&) = delete;

private:
    std::vector<std::pair<std::wstring, bool>> m_levels;  // path, existed before
    bool m_recursive;
};

// A scratch directory in narrow form.
class Scratch {
public:
    const std::string& path() const { return m_path; }  // with a trailing backslash
    std::string Sub(const std::string& relative) const { return Narrow(m_dir.Sub(Widen(relative))); }

private:
    vemo::test::ScratchDirectory m_dir{L"cdbtest"};
    std::string m_path = Narrow(m_dir.path());
};

void WriteFileText(const std::string& path, const std::string& bytes);
std::string ReadFileText(const std::string& path);

}  // namespace cdbtest
