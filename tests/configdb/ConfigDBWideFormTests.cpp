// The wide forms: conversions, null pointers, buffer sizes and missing directories.
#include <gtest/gtest.h>

#include <cwchar>

#include "ConfigDbTest.h"
#include "configdb/ConfigDB.h"

using namespace cdbtest;

namespace {

struct Buffer {
    Buffer() { std::wmemset(chars, L'X', std::size(chars)); }
    wchar_t chars[300];
};

// The three buffer forms behind one signature, with the folder each finds for the component.
struct Form {
    const char* name;
    uint32_t (*call)(const wchar_t*, wchar_t*, uint32_t);
    const char* folder;
    const char* tooSmallTail;  // Konfig and Log end their length message in a blank
};
const Form kForms[] = {
    {"CDB_GetKonfigDir", [](const wchar_t* id, wchar_t* d, uint32_t n) { return CDB_GetKonfigDir(id, d, n); }, "Konfig", " "},
    {"CDB_GetLogDir", [](const wchar_t* id, wchar_t* d, uint32_t n) { return CDB_GetLogDir(id, d, n, false); }, "Log", " "},
    {"CDB_GetProgDir", [](const wchar_t* id, wchar_t* d, uint32_t n) { return CDB_GetProgDir(id, d, n, false); }, "Prog", ""},
};

TEST_F(ConfigDbTest, BufferFormsCheckPointersAndSizes) {
    const Scratch scratch;
    const std::string id = UniqueComponentId();
    SetValues({"{v}\\ConfigDir||{s}Konfig", "{v}\\LogDir||{s}Log", "{v}\\ProtectedDirectories|FixedProgDir|{s}Prog"}, id,
              scratch.path());
    const std::wstring wideId = Widen(id);
    for (const Form& form : kForms) {
        SCOPED_TRACE(form.name);
        const std::string name = form.name;
        const std::wstring expected = Widen(scratch.Sub(form.folder) + "\\");
        Buffer buffer;
        trace.Clear();
        EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, form.call(wideId.c_str(), nullptr, 300));
        EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, form.call(nullptr, nullptr, 300));
        EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, form.call(nullptr, buffer.chars, 300));
        EXPECT_EQ(L'X', buffer.chars[0]) << "nothing is written";
        const auto lines = trace.Lines();
        ASSERT_EQ(3u, lines.size()) << Narrow(trace.Dump());
        const std::string prefix = name + ": Mindestens ein Parameter ist NULL: pszDir <";
        EXPECT_EQ(Widen(prefix + "NULL>, pszCompID <" + id + ">!"), lines[0].text);
        EXPECT_EQ(Widen(prefix + "NULL>, pszCompID <NULL>!"), lines[1].text);
        EXPECT_TRUE(lines[2].text.starts_with(Widen(prefix)) && lines[2].text.ends_with(L">, pszCompID <NULL>!") &&
                    lines[2].text.find(L"pszDir <NULL>") == std::wstring::npos) << Narrow(lines[2].text);
        // The buffer must exceed the length of the folder.
        const auto length = static_cast<uint32_t>(expected.size());
        Buffer exact;
        trace.Clear();
        EXPECT_EQ(CDB_ERROR_BUFFER_TOO_SMALL, form.call(wideId.c_str(), exact.chars, length));
        EXPECT_EQ(L'\0', exact.chars[0]);
        const std::string size = std::to_string(length);
        EXPECT_TRUE(trace.HasError(Widen(name + ": Länge <" + size + "> von pszDir ist zu klein, benötigte Länge <" +
                                         size + ">" + form.tooSmallTail))) << Narrow(trace.Dump());
        Buffer enough;
        EXPECT_EQ(CDB_OK, form.call(wideId.c_str(), enough.chars, length + 1));
        EXPECT_EQ(expected, std::wstring(enough.chars));
    }
}

TEST_F(ConfigDbTest, BufferFormsReportMissingDirectories) {
    const Scratch scratch;
    const std::string id = UniqueComponentId(), missing = UniqueComponentId();
    SetValues({"{v}\\LogDir||{s}Fehlt"}, missing, scratch.path());
    Buffer none, gone, byDefault, module;
    EXPECT_EQ(CDB_ERROR_NO_DIRECTORY, CDB_GetLogDir(Widen(id).c_str(), none.chars, 300, false));
    EXPECT_EQ(CDB_ERROR_NO_DIRECTORY, CDB_GetLogDir(Widen(missing).c_str(), gone.chars, 300, false));
    EXPECT_EQ(L'\0', none.chars[0]);
    EXPECT_EQ(L'\0', gone.chars[0]);
    EXPECT_TRUE(trace.HasError(L"CDB_GetLogDir: Das Log-Verzeichnis konnte nicht ermittelt werden"));
    EXPECT_TRUE(trace.HasError(Widen("CDB_GetLogDir: Das Log-Verzeichnis <" + scratch.path() + "Fehlt\\> existiert nicht")));
    // The product's default program folder need not exist.
    EXPECT_EQ(CDB_OK, CDB_GetProgDir(Widen(kOwnId).c_str(), byDefault.chars, 300, true));
    EXPECT_EQ(Widen(Expand("{pf}TRUVO\\PROGRAMM\\VeMoCompacT\\", "", "")), std::wstring(byDefault.chars));
    EXPECT_EQ(CDB_OK, CDB_GetProgDir(Widen(kOwnId).c_str(), module.chars, 300, false));
    EXPECT_EQ(Widen(ExeDirectory()), std::wstring(module.chars));
}

TEST_F(ConfigDbTest, WideStringFormsConvertBothWays) {
    const Scratch scratch;
    const std::string id = UniqueComponentId();
    ASSERT_TRUE(Exists(scratch.Sub("Prüfung")));  // code page 1252: one byte for the ü
    SetValues({"{v}\\LogDir||{s}Prüfung", "{v}\\ConfigDir||{s}Prüfung", "{v}|CompVersion|5.2"}, id, scratch.path());
    const std::wstring wideDir = Widen(scratch.path()) + L"Prüfung\\";
    EXPECT_EQ(wideDir, CDB_GetLogDir(Widen(id), false));
    EXPECT_EQ(L"5.2.0", CDB_GetVersion(Widen(id), 0));
    EXPECT_EQ(Widen(ExeDirectory()), CDB_GetProgDir(Widen(id), false));
    Buffer buffer;
    EXPECT_EQ(CDB_OK, CDB_GetKonfigDir(Widen(id).c_str(), buffer.chars, 300));
    EXPECT_EQ(wideDir, std::wstring(buffer.chars));
    // An ID the code page cannot hold converts to nothing and says so.
    trace.Clear();
    EXPECT_EQ(L"", CDB_GetVersion(std::wstring(L"B\u4E2D"), 0));
    EXPECT_TRUE(trace.HasContaining(L"_ConvertToUnicode: Fehler beim Konvertieren des Strings <")) << Narrow(trace.Dump());
}

}  // namespace
