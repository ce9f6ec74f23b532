// The wide forms: conversions, null pointers, buffer sizes and missing directories.
#include <gtest/gtest.h>

#include <cwchar>

#include "ConfigDbTest.h"
#include "configdb/ConfigDB.h"

using namespace cdbtest;

namespace {

constexpr wchar_t kFill = L'X';
constexpr size_t kBufferChars = 300;

struct Buffer {
    Buffer() { std::wmemset(chars, kFill, kBufferChars); }
    wchar_t chars[kBufferChars];
};

// The three buffer forms behind one signature, with their names for the messages.
struct Form {
    const char* name;
    uint32_t (*call)(const wchar_t*, wchar_t*, uint32_t);
    const char* tooSmallTail;  // Konfig and Log end their length message in a blank
};

const Form kForms[] = {
    {"CDB_GetKonfigDir", [](const wchar_t* id, wchar_t* dir, uint32_t n) { return CDB_GetKonfigDir(id, dir, n); },
     " "},
    {"CDB_GetLogDir", [](const wchar_t* id, wchar_t* dir, uint32_t n) { return CDB_GetLogDir(id, dir, n, false); },
     " "},
    {"CDB_GetProgDir", [](const wchar_t* id, wchar_t* dir, uint32_t n) { return CDB_GetProgDir(id, dir, n, false); },
     ""},
};

std::wstring LastError(const TraceCapture& trace) {
    std::wstring last;
    for (const auto& line : trace.Lines()) {
        if (line.isError) last = line.text;
    }
    return last;
}

}  // namespace

TEST_F(ConfigDbTest, BufferFormsRejectNullPointers) {
    const std::string id = UniqueComponentId();
    const std::wstring wideId = Widen(id);
    for (const Form& form : kForms) {
        SCOPED_TRACE(form.name);
        Buffer buffer;
        trace.Clear();
        EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, form.call(wideId.c_str(), nullptr, kBufferChars));
        EXPECT_TRUE(trace.HasError(Widen(std::string(form.name) +
                                         ": Mindestens ein Parameter ist NULL: pszDir <NULL>, pszCompID <" + id + ">!")))
            << Narrow(trace.Dump());

        trace.Clear();
        EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, form.call(nullptr, buffer.chars, kBufferChars));
        EXPECT_EQ(kFill, buffer.chars[0]);  // nothing is written
        const std::wstring message = LastError(trace);
        EXPECT_TRUE(message.starts_with(Widen(std::string(form.name) + ": Mindestens ein Parameter ist NULL: pszDir <")));
        EXPECT_TRUE(message.ends_with(L">, pszCompID <NULL>!")) << Narrow(message);
        EXPECT_EQ(std::wstring::npos, message.find(L"pszDir <NULL>"));

        trace.Clear();
        EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, form.call(nullptr, nullptr, kBufferChars));
        EXPECT_TRUE(trace.HasError(
            Widen(std::string(form.name) + ": Mindestens ein Parameter ist NULL: pszDir <NULL>, pszCompID <NULL>!")));
    }
}

TEST_F(ConfigDbTest, BufferMustExceedTheDirectoryLength) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    SetString(ComponentVersionKey(id, "1.0") + "\\ConfigDir", "", scratch.Sub("Konfig"));
    SetString(ComponentVersionKey(id, "1.0") + "\\LogDir", "", scratch.Sub("Log"));
    SetString(ComponentVersionKey(id, "1.0") + "\\ProtectedDirectories", "FixedProgDir", scratch.Sub("Prog"));
    const std::wstring wideId = Widen(id);
    const std::wstring expected[] = {Widen(scratch.path() + "Konfig\\"), Widen(scratch.path() + "Log\\"),
                                     Widen(scratch.path() + "Prog\\")};

    for (size_t i = 0; i < std::size(kForms); ++i) {
        const Form& form = kForms[i];
        SCOPED_TRACE(form.name);
        const auto length = static_cast<uint32_t>(expected[i].size());

        Buffer exact;
        trace.Clear();
        EXPECT_EQ(CDB_ERROR_BUFFER_TOO_SMALL, form.call(wideId.c_str(), exact.chars, length));
        EXPECT_EQ(L'\0', exact.chars[0]);
        const std::string size = std::to_string(length);
        EXPECT_TRUE(trace.HasError(Widen(std::string(form.name) + ": Länge <" + size +
                                         "> von pszDir ist zu klein, benötigte Länge <" + size + ">" +
                                         form.tooSmallTail)))
            << Narrow(trace.Dump());

        Buffer enough;
        EXPECT_EQ(CDB_OK, form.call(wideId.c_str(), enough.chars, length + 1));
        EXPECT_EQ(expected[i], std::wstring(enough.chars));
    }
}

TEST_F(ConfigDbTest, BufferFormsReportMissingDirectories) {
    const std::string id = UniqueComponentId();
    Buffer buffer;
    EXPECT_EQ(CDB_ERROR_NO_DIRECTORY, CDB_GetLogDir(Widen(id).c_str(), buffer.chars, kBufferChars, false));
    EXPECT_EQ(L'\0', buffer.chars[0]);
    EXPECT_TRUE(trace.HasError(L"CDB_GetLogDir: Das Log-Verzeichnis konnte nicht ermittelt werden"));

    Scratch scratch;
    const std::string missing = UniqueComponentId();
    SetString(ComponentVersionKey(missing, "1.0") + "\\LogDir", "", scratch.path() + "Fehlt");
    Buffer second;
    EXPECT_EQ(CDB_ERROR_NO_DIRECTORY, CDB_GetLogDir(Widen(missing).c_str(), second.chars, kBufferChars, false));
    EXPECT_EQ(L'\0', second.chars[0]);
    EXPECT_TRUE(
        trace.HasError(Widen("CDB_GetLogDir: Das Log-Verzeichnis <" + scratch.path() + "Fehlt\\> existiert nicht")));
}

TEST_F(ConfigDbTest, DefaultProgramDirectoryNeedNotExistInTheBufferForm) {
    Buffer buffer;
    const std::wstring expected = Widen(KnownFolder(FOLDERID_ProgramFilesX86)) + L"TRUVO\\PROGRAMM\\VeMoCompacT\\";
    EXPECT_EQ(CDB_OK, CDB_GetProgDir(Widen(kOwnId).c_str(), buffer.chars, kBufferChars, true));
    EXPECT_EQ(expected, std::wstring(buffer.chars));

    Buffer moduleDir;
    EXPECT_EQ(CDB_OK, CDB_GetProgDir(Widen(kOwnId).c_str(), moduleDir.chars, kBufferChars, false));
    EXPECT_EQ(Widen(ExeDirectory()), std::wstring(moduleDir.chars));
}

TEST_F(ConfigDbTest, WideStringFormsConvertBothWays) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    const std::string umlautDir = scratch.Sub("Prüfung");  // code page 1252: one byte for the ü
    ASSERT_TRUE(Exists(umlautDir));
    SetString(ComponentVersionKey(id, "1.0") + "\\LogDir", "", umlautDir);
    SetString(ComponentVersionKey(id, "1.0") + "\\ConfigDir", "", umlautDir);
    SetString(ComponentVersionKey(id, "1.0"), "CompVersion", "5.2");

    const std::wstring wideDir = Widen(scratch.path()) + L"Prüfung\\";
    EXPECT_EQ(wideDir, CDB_GetLogDir(Widen(id), false));
    EXPECT_EQ(L"5.2.0", CDB_GetVersion(Widen(id), 0));
    EXPECT_EQ(Widen(ExeDirectory()), CDB_GetProgDir(Widen(id), false));

    Buffer buffer;
    EXPECT_EQ(CDB_OK, CDB_GetKonfigDir(Widen(id).c_str(), buffer.chars, kBufferChars));
    EXPECT_EQ(wideDir, std::wstring(buffer.chars));

    // An ID the code page cannot hold converts to nothing and says so.
    trace.Clear();
    EXPECT_EQ(L"", CDB_GetVersion(std::wstring(L"B\u4E2D"), 0));
    EXPECT_TRUE(trace.HasContaining(L"_ConvertToUnicode: Fehler beim Konvertieren des Strings <")) << Narrow(trace.Dump());
}
