#pragma once
// What the ConfigDB tests share: ConfigDB's trace lines, component IDs of their own, registry
// values in the private machine hive written from short templates, and folders they remove again.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ConfigDbLines.h"
#include "TestSupport.h"

namespace cdbtest {

using vemo::test::Narrow;
using vemo::test::Widen;
using TraceCapture = vemo::test::ConfigDbLines;

inline constexpr char kProductKey[] = "SOFTWARE\\TRUVO VeMo Compact";
inline constexpr char kOwnId[] = "B0003810";

std::string UniqueComponentId();  // "B9" and six digits, new for every call and process
bool Exists(const std::string& path);
std::string ExeDirectory();
std::string TempDirectory();

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
// data) {roam} {low} (LocalLow) {tl} (the low temporary folder); {c} and {p} the component's and
// the package's key, {v} the component's version 1.0 key, {prod} the product key, {sys} the
// protected directories; {qexe} {lexe}: the program folder on a drive that is missing, and with
// its drive letter in lower case.
std::string Expand(std::string text, const std::string& id, const std::string& scratch);

// "key|name|data": a string value, or a DWORD when data starts with '#'.
void SetValues(const std::vector<std::string>& values, const std::string& id, const std::string& scratch);
void SetString(const std::string& keyPath, const std::string& name, const std::string& value);

// Captures ConfigDB's lines; empties the private hive before each test.
class ConfigDbTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vemo::test::ResetHklmSandbox()); }
    // "I text" or "E text", as ConfigDB traced them.
    bool Traced(const std::string& line) const;
    TraceCapture trace;
};

}  // namespace cdbtest
