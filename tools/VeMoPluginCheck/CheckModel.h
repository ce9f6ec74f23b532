#pragma once
// What the check found: per directory, file and plug-in, with a severity on every finding.
// Collection fills it; the text and JSON reports only print it.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "VeMoHostIntLib/PluginKonfig.h"

namespace vemo::check {

// Process exit codes of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitWarnings = 1;
inline constexpr int kExitErrors = 2;
inline constexpr int kExitNotChecked = 3;  // bad command line or the check could not run

enum class Severity { kInfo, kWarning, kError };

struct Finding {
    Severity severity = Severity::kInfo;
    std::wstring code;  // stable identifier for scripts
    std::wstring message;
};

// What the services make of one plug-in.
enum class Verdict {
    kMainService,
    kBasisService,
    kIgnoredByComponent,
    kIgnoredByRegistry,
    kNotSystemContext,
    kDuplicate,
    kEmptyPathOrName,
    kModuleNotLoadable,
};

struct ExportCheck {
    std::wstring role;        // "initialize", "run", "uninitialize", "runMenu"
    std::wstring name;        // the name the service looks up last
    std::wstring configured;  // the name from the file or the default
    bool required = true;
    bool found = false;
    bool usedFallback = false;  // "Unitialize" after the configured uninitialise name was missing
};

enum class ModuleStatus { kNotChecked, kMissing, kUnreadable, kNotPeImage, kWrongMachine, kExportsChecked };

struct ModuleReport {
    ModuleStatus status = ModuleStatus::kNotChecked;
    std::wstring path;
    std::wstring problem;  // why the file is no usable image
    uint16_t machine = 0;
    std::vector<ExportCheck> exports;
    // What LoadLibrary and the export look-up of the service would come to, short of the
    // module's own dependencies and DllMain.
    bool Loadable() const;
};

struct PluginReport {
    std::wstring file;
    long index = 0;  // position among the file's "plugin" elements
    PluginElementValues values;
    // As the service's descriptor holds them.
    int typeCode = 0;
    int levelCode = 0;
    int menuPosition = 0;
    std::wstring initializeName, runName, uninitializeName, runMenuName;
    Verdict verdict = Verdict::kNotSystemContext;
    std::wstring verdictDetail;  // deciding component token, registry value or earlier plug-in
    ModuleReport module;
    std::vector<std::wstring> unknownElements;
    std::vector<Finding> findings;
};

struct FileReport {
    std::wstring path;
    std::wstring component;  // empty when one directory was checked
    bool loaded = true;
    std::wstring loadError;
    int pluginCount = 0;
    std::vector<Finding> findings;
};

struct SkippedFile {
    std::wstring path;
    std::wstring reason;
};

struct DirectoryReport {
    std::wstring component;  // empty when one directory was checked
    bool installed = false;
    bool hasDirectory = false;
    std::wstring path;
};

struct ServiceReport {
    std::wstring name;
    bool pure = false;
    bool installed = false;
    DWORD state = 0;  // SERVICE_* state when installed
    DWORD processId = 0;
    DWORD error = ERROR_SUCCESS;  // why the state could not be read
};

struct CheckReport {
    bool directoryMode = false;
    std::vector<DirectoryReport> directories;
    std::vector<FileReport> files;
    std::vector<SkippedFile> skippedFiles;
    std::vector<PluginReport> plugins;
    uint32_t unloadTimeOutMs = 0;
    std::vector<ServiceReport> services;
    bool hostInConsole = false;
    DWORD hostProcessId = 0;

    int Count(Severity severity) const;
    int ExitCode() const;
};

const wchar_t* SeverityName(Severity severity);
const wchar_t* VerdictCode(Verdict verdict);
const wchar_t* ModuleStatusCode(ModuleStatus status);
const wchar_t* ServiceStateName(DWORD state);

}  // namespace vemo::check
