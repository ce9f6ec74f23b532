#pragma once
// What the ConfigDB tests share: ConfigDB's trace lines, component IDs of their own, registry
// values in the private machine hive written from short templates, and folders they remove again.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ConfigDbLines.h"
#include "TestSupport.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

namespace cdbtest {

using vemo::test::Narrow;
using vemo::test::Widen;
using TraceCapture = vemo::test::ConfigDbLines;

inline constexpr char kOwnId[] = "B0003810";

inline const bool kSandbox = vemo::test::UseHklmSandbox(L"Software\\VeMoConfigDBTests");

// Start up at once, with every diagnostic switch off: ConfigDB reads them once per process, and
// tests that set them for their children must not switch them on here. A child starts up in its
// test, after it installed its trace callback.
class StartUp : public ::testing::Environment {
    void SetUp() override {
        if (!vemo::test::InChild()) configdb::Init();
    }
};
inline ::testing::Environment* const g_startUp = ::testing::AddGlobalTestEnvironment(new StartUp);

// "B9" and six digits, new for every call and process.
inline std::string UniqueComponentId() {
    static std::atomic<int> counter{0};
    char id[16] = {};
    _snprintf(id, sizeof(id) - 1, "B9%03lu%03d", ::GetCurrentProcessId() % 1000, ++counter % 1000);
    return id;
}
inline bool Exists(const std::string& path) { return vemo::test::Exists(Widen(path)); }
inline std::string ExeDirectory() { return Narrow(vemo::test::ExecutableDirectory()); }
inline std::string TempDirectory() {
    char path[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, path);
    return path;
}

// A scratch directory in narrow form.
class Scratch {
public:
    const std::string& path() const { return m_path; }  // with a trailing backslash
    std::string Sub(const std::string& relative) const { return Narrow(m_dir.Sub(Widen(relative))); }

private:
    vemo::test::ScratchDirectory m_dir{L"cdbtest"};
    std::string m_path = Narrow(m_dir.path());
};

// Placeholders of the templates: {id} {s} (scratch) {exe} {pf} (program files x86) {pd} (program
// data) {roam} {low} (LocalLow) {t} {tl} (the temporary folder and its low form); {c} and {p}
// the component's and the package's key, {v} the component's version 1.0 key, {prod} the product
// key, {sys} the protected directories; {qexe} {lexe}: the program folder on a drive that is
// missing, and with its drive letter in lower case.
inline std::string Expand(std::string text, const std::string& id, const std::string& scratch) {
    auto known = [](REFKNOWNFOLDERID folder) {
        PWSTR path = nullptr;
        ::SHGetKnownFolderPath(folder, 0, nullptr, &path);
        const vemo::unique_cotaskmem owner(path);
        return path ? Narrow(path) + "\\" : std::string();
    };
    char missingDrive = 'Q';
    while (missingDrive < 'Y' && (::GetLogicalDrives() & (1u << (missingDrive - 'A')))) ++missingDrive;
    const std::string exe = ExeDirectory();
    const std::pair<const char*, std::string> tokens[] = {
        {"{v}", "{c}\\Versions\\1.0"},
        {"{c}", "SOFTWARE\\TRUVOeg\\Components\\" + id},
        {"{p}", "SOFTWARE\\TRUVOeg\\Packages\\" + id},
        {"{prod}", "SOFTWARE\\TRUVO VeMo Compact"},
        {"{sys}", "Software\\Truvoeg\\ProtectedDirectories"},
        {"{id}", id},
        {"{s}", scratch},
        {"{exe}", exe},
        {"{qexe}", missingDrive + exe.substr(1)},
        {"{lexe}", static_cast<char>(std::tolower(static_cast<unsigned char>(exe[0]))) + exe.substr(1)},
        {"{pf}", known(FOLDERID_ProgramFilesX86)},
        {"{pd}", known(FOLDERID_ProgramData)},
        {"{roam}", known(FOLDERID_RoamingAppData)},
        {"{low}", known(FOLDERID_LocalAppDataLow)},
        {"{t}", TempDirectory()},
        {"{tl}", TempDirectory() + "Low\\"},
    };
    for (const auto& [token, value] : tokens) {
        const std::string_view name = token;
        for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size())) {
            text.replace(at, name.size(), value);
        }
    }
    return text;
}

// "key|name|data": a string value, or a DWORD when data starts with '#'.
inline void SetValues(const std::vector<std::string>& values, const std::string& id, const std::string& scratch) {
    for (const std::string& value : values) {
        const std::string text = Expand(value, id, scratch);
        const size_t bar = text.find('|'), second = text.find('|', bar + 1);
        const std::wstring key = Widen(text.substr(0, bar)), name = Widen(text.substr(bar + 1, second - bar - 1));
        const std::string data = text.substr(second + 1);
        ASSERT_TRUE(data.starts_with('#') ? vemo::test::SetRegistryDword(key, name, std::stoul(data.substr(1)))
                                          : vemo::test::SetRegistryString(key, name, Widen(data)))
            << text;
    }
}

// Captures ConfigDB's lines; empties the private hive before each test.
class ConfigDbTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vemo::test::ResetHklmSandbox()); }
    bool Traced(const std::string& line) const { return trace.Has(Widen(line)); }
    TraceCapture trace;
};

}  // namespace cdbtest
