// VeMoPluginCheck: what the VeMo host services would make of the installed plug-in configuration.
#include <windows.h>

#include <cwchar>
#include <exception>
#include <string>

#include "common/DllSearch.h"
#include "CheckCollect.h"
#include "JsonReport.h"
#include "ReportOutput.h"
#include "TextReport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "common/WideFormat.h"

namespace {

using namespace vemo::check;

constexpr wchar_t kSwitchJson[] = L"json";
constexpr wchar_t kSwitchDirectory[] = L"dir";
constexpr wchar_t kSwitchHelp[] = L"?";
constexpr wchar_t kSwitchHelpLong[] = L"help";

struct CommandLine {
    bool json = false;
    bool help = false;
    std::wstring directory;
    std::wstring error;
};

bool IsSwitch(const wchar_t* argument, const wchar_t* name) {
    return (argument[0] == L'/' || argument[0] == L'-') && ::_wcsicmp(argument + 1, name) == 0;
}

CommandLine Parse(int argc, wchar_t** argv) {
    CommandLine line;
    for (int i = 1; i < argc && line.error.empty(); ++i) {
        const wchar_t* argument = argv[i];
        if (IsSwitch(argument, kSwitchJson)) {
            line.json = true;
        } else if (IsSwitch(argument, kSwitchHelp) || IsSwitch(argument, kSwitchHelpLong)) {
            line.help = true;
        } else if (IsSwitch(argument, kSwitchDirectory)) {
            if (i + 1 >= argc) {
                line.error = L"/dir needs a directory";
            } else {
                line.directory = argv[++i];
                // "C:\dir\" on a command line arrives as C:\dir" (the backslash escapes the quote).
                if (!line.directory.empty() && line.directory.back() == L'"') line.directory.back() = L'\\';
            }
        } else {
            line.error = std::wstring(L"unknown argument: ") + argument;
        }
    }
    return line;
}

std::wstring Usage() {
    return vemo::FormatW(
        L"VeMoPluginCheck [/dir <directory>] [/json]\r\n"
        L"\r\n"
        L"Shows what the VeMo host services would make of the plug-in configuration files, without\r\n"
        L"loading any plug-in: the files found, the values read, which service loads each plug-in or\r\n"
        L"why none does, the modules and their exports, the unload time-out, and the services' state.\r\n"
        L"\r\n"
        L"  /dir <directory>  check the %s files of this directory instead of the\r\n"
        L"                    configuration directories of the components %s and %s\r\n"
        L"  /json             write JSON instead of text\r\n"
        L"  /?                this text\r\n"
        L"\r\n"
        L"Exit codes: %d no warnings or errors, %d warnings only, %d errors, %d not checked\r\n"
        L"(bad command line, directory not found, check failed).\r\n",
        kPluginFilePattern, kPluginComponentIds[0], kPluginComponentIds[1], kExitOk, kExitWarnings, kExitErrors,
        kExitNotChecked);
}

int Run(int argc, wchar_t** argv) {
    const CommandLine line = Parse(argc, argv);
    if (!line.error.empty()) {
        WriteText(STD_ERROR_HANDLE, line.error + L"\r\n\r\n" + Usage());
        return kExitNotChecked;
    }
    if (line.help) {
        WriteText(STD_OUTPUT_HANDLE, Usage());
        return kExitOk;
    }
    if (!line.directory.empty()) {
        const DWORD attributes = ::GetFileAttributesW(line.directory.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            WriteText(STD_ERROR_HANDLE, L"directory not found: " + line.directory + L"\r\n");
            return kExitNotChecked;
        }
    }
    const CheckReport report = CollectReport(CheckOptions{line.directory});
    if (!WriteText(STD_OUTPUT_HANDLE, line.json ? FormatJsonReport(report) : FormatTextReport(report))) {
        return kExitNotChecked;
    }
    return report.ExitCode();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    vemo::RemoveCurrentDirectoryFromDllSearch();
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        WriteText(STD_ERROR_HANDLE, vemo::FormatW(L"check failed: %S\r\n", e.what()));
    } catch (...) {
        WriteText(STD_ERROR_HANDLE, L"check failed\r\n");
    }
    return kExitNotChecked;
}
