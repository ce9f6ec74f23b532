#include "CheckCollect.h"

#include <algorithm>
#include <cwchar>
#include <memory>

#include "PeImage.h"
#include "PluginFileCheck.h"
#include "SystemState.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginLoadPlan.h"
#include "common/CommandTable.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "configdb/ConfigDB.h"

namespace vemo::check {

namespace {

constexpr uint32_t kDirectoryChars = MAX_PATH;
// Files in a configuration directory that look like plug-in files.
constexpr wchar_t kCandidatePattern[] = L"B*.xml";
constexpr wchar_t kSeparators[] = L"\\/";

constexpr wchar_t kCodeMalformedXml[] = L"malformedXml";
constexpr wchar_t kCodeDomError[] = L"domError";
constexpr wchar_t kCodeBadComponentList[] = L"badComponentList";
constexpr wchar_t kCodeUnknownElement[] = L"unknownElement";
constexpr wchar_t kCodeDuplicate[] = L"duplicate";
constexpr wchar_t kCodeEmptyPathOrName[] = L"emptyPathOrName";
constexpr wchar_t kCodeModuleMissing[] = L"moduleMissing";
constexpr wchar_t kCodeModuleUnreadable[] = L"moduleUnreadable";
constexpr wchar_t kCodeNotPeImage[] = L"notPeImage";
constexpr wchar_t kCodeWrongMachine[] = L"wrongMachine";
constexpr wchar_t kCodeExportMissing[] = L"exportMissing";
constexpr wchar_t kCodeUnknownType[] = L"unknownType";
constexpr wchar_t kCodeNegativeTimeout[] = L"negativeTimeout";
constexpr wchar_t kCodePathSeparator[] = L"pathWithoutSeparator";
constexpr wchar_t kCodeNoDescription[] = L"noDescription";

constexpr wchar_t kRoleInitialize[] = L"initialize";
constexpr wchar_t kRoleRun[] = L"run";
constexpr wchar_t kRoleUninitialize[] = L"uninitialize";
constexpr wchar_t kRoleRunMenu[] = L"runMenu";
constexpr wchar_t kInitializeName[] = L"" VEMO_PLUGIN_INITIALIZE_NAME;
constexpr wchar_t kRunName[] = L"" VEMO_PLUGIN_RUN_NAME;
constexpr wchar_t kUninitializeName[] = L"" VEMO_PLUGIN_UNINITIALIZE_NAME;
constexpr wchar_t kUninitializeFallbackName[] = L"" VEMO_PLUGIN_UNINITIALIZE_FALLBACK_NAME;
constexpr wchar_t kRunMenuName[] = L"" VEMO_PLUGIN_RUN_MENU_NAME;

std::wstring WithSeparator(std::wstring directory) {
    if (!directory.empty() && !wcschr(kSeparators, directory.back())) directory += L'\\';
    return directory;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Why CheckFilename refused a name, in the order it tests.
std::wstring NameTestReason(const std::wstring& name) {
    if (name.size() != kPluginFileNameChars) {
        return L"the name is not " + std::to_wstring(kPluginFileNameChars) + L" characters long";
    }
    if (::_wcsicmp(name.c_str() + kPluginFileBaseChars, kPluginFileExtension) != 0) {
        return std::wstring(L"the extension is not ") + kPluginFileExtension;
    }
    return L"the characters after the first of the base name are not all digits";
}

void ListSkippedFiles(const std::wstring& directory, const PluginFileList& accepted, CheckReport& report) {
    WIN32_FIND_DATAW data{};
    unique_hfind find(::FindFirstFileW((directory + kCandidatePattern).c_str(), &data));
    if (!find) return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring path = directory + data.cFileName;
        if (std::find(accepted.begin(), accepted.end(), path) != accepted.end()) continue;
        SkippedFile skipped{path, {}};
        if (!CheckFilename(data.cFileName)) {
            skipped.reason = NameTestReason(data.cFileName);
        } else {
            skipped.reason = std::wstring(L"not returned by the service's search for ") + kPluginFilePattern +
                             L", or its path is too long for the service";
        }
        report.skippedFiles.push_back(std::move(skipped));
    } while (::FindNextFileW(find.get(), &data));
}

void AddFinding(PluginReport& plugin, Severity severity, const wchar_t* code, std::wstring message) {
    plugin.findings.push_back({severity, code, std::move(message)});
}

// The export look-up of CPluginInfo::LoadPlugin, on the names the file exports.
void CheckExports(const PeImageInfo& image, const CPluginInfo& pi, ModuleReport& module) {
    auto has = [&](const std::wstring& name, const wchar_t* defaultName) {
        const std::string narrow = CPluginInfo::ExportNameA(name.c_str(), defaultName);
        return !narrow.empty() && image.exportNames.count(narrow) > 0;
    };
    ExportCheck initialize{kRoleInitialize, pi._initializeName, pi._initializeName, true, false, false};
    initialize.found = has(pi._initializeName, kInitializeName);
    ExportCheck uninitialize{kRoleUninitialize, pi._uninitializeName, pi._uninitializeName, true, false, false};
    uninitialize.found = has(pi._uninitializeName, kUninitializeName);
    if (!uninitialize.found) {
        uninitialize.name = kUninitializeFallbackName;
        uninitialize.usedFallback = true;
        uninitialize.found = has(uninitialize.name, kUninitializeFallbackName);
    }
    ExportCheck run{kRoleRun, pi._runName, pi._runName, true, false, false};
    run.found = has(pi._runName, kRunName);
    ExportCheck runMenu{kRoleRunMenu, pi._runMenuName, pi._runMenuName, false, false, false};
    runMenu.found = has(pi._runMenuName, kRunMenuName);
    module.exports = {initialize, run, uninitialize, runMenu};
}

void InspectModule(const CPluginInfo& pi, ModuleReport& module) {
    if (pi._binaryName.empty() || pi._path.empty()) return;
    module.path = pi._path + pi._binaryName;
    const PeImageInfo image = InspectPeImage(module.path);
    module.machine = image.machine;
    module.problem = image.problem;
    switch (image.status) {
        case PeImageInfo::Status::kMissing: module.status = ModuleStatus::kMissing; break;
        case PeImageInfo::Status::kUnreadable: module.status = ModuleStatus::kUnreadable; break;
        case PeImageInfo::Status::kNotPeImage: module.status = ModuleStatus::kNotPeImage; break;
        case PeImageInfo::Status::kWrongMachine: module.status = ModuleStatus::kWrongMachine; break;
        case PeImageInfo::Status::kOk:
            module.status = ModuleStatus::kExportsChecked;
            CheckExports(image, pi, module);
            break;
    }
}

// Module problems are errors for a plug-in a service tries to load, notes for the others.
void AddModuleFindings(PluginReport& plugin, Severity severity) {
    const ModuleReport& module = plugin.module;
    switch (module.status) {
        case ModuleStatus::kNotChecked: return;
        case ModuleStatus::kMissing:
            AddFinding(plugin, severity, kCodeModuleMissing, L"module " + Quoted(module.path) + L": " + module.problem);
            return;
        case ModuleStatus::kUnreadable:
            AddFinding(plugin, severity, kCodeModuleUnreadable, L"module " + Quoted(module.path) + L": " + module.problem);
            return;
        case ModuleStatus::kNotPeImage:
            AddFinding(plugin, severity, kCodeNotPeImage,
                       L"module " + Quoted(module.path) + L" is no PE image: " + module.problem);
            return;
        case ModuleStatus::kWrongMachine:
            AddFinding(plugin, severity, kCodeWrongMachine,
                       L"module " + Quoted(module.path) + L" is built for another machine: " + module.problem);
            return;
        case ModuleStatus::kExportsChecked: break;
    }
    for (const ExportCheck& e : module.exports) {
        if (!e.required || e.found) continue;
        std::wstring message = L"module " + Quoted(module.path) + L" does not export " + Quoted(e.configured) +
                               L" (" + e.role + L")";
        if (e.usedFallback) message += L" nor " + Quoted(e.name);
        AddFinding(plugin, severity, kCodeExportMissing, std::move(message));
    }
}

void AddValueFindings(PluginReport& plugin) {
    const PluginElementValues& v = plugin.values;
    for (const std::wstring& list : v.rejectedComponentLists) {
        AddFinding(plugin, Severity::kError, kCodeBadComponentList,
                   L"ignoreoninstalledcomponent " + Quoted(list) +
                       L" is refused (at least 8 characters, beginning with B): the rule does not apply");
    }
    if (v.componentRule == ComponentRuleOutcome::kMalformedToken) {
        AddFinding(plugin, Severity::kError, kCodeBadComponentList,
                   L"component " + Quoted(v.componentRuleToken) +
                       L" in ignoreoninstalledcomponent is malformed (8 characters, beginning with B): the plug-in is "
                       L"ignored");
    }
    for (const std::wstring& element : plugin.unknownElements) {
        AddFinding(plugin, Severity::kWarning, kCodeUnknownElement,
                   L"element " + Quoted(element) + L" is unknown; the service passes over it");
    }
    if (v.description.empty()) {
        AddFinding(plugin, Severity::kWarning, kCodeNoDescription,
                   L"no description: the plug-in has no name in the trace and in the duplicate test");
    }
    if (plugin.verdict == Verdict::kIgnoredByComponent || plugin.verdict == Verdict::kIgnoredByRegistry) return;
    if (v.timeOutUnload < 0) {
        AddFinding(plugin, Severity::kWarning, kCodeNegativeTimeout,
                   L"timeoutUnload is negative: as an unsigned number it becomes the overall unload time-out, and "
                   L"the service then does not wait for any plug-in at stop");
    }
    if (!v.path.empty() && !wcschr(kSeparators, v.path.back())) {
        AddFinding(plugin, Severity::kWarning, kCodePathSeparator,
                   L"path does not end with a backslash: the module path is path and binaryName joined as they are");
    }
}

// The loading pass of each service over the descriptors, with the service's own rules; a
// module counts as loaded when the file check found it loadable.
void Decide(std::vector<PluginReport>& plugins, const std::vector<size_t>& reportOfDescriptor,
            CPluginInfo* descriptors) {
    struct Pass {
        bool pure;
        Verdict loaded;
    };
    const auto count = static_cast<int32_t>(reportOfDescriptor.size());
    for (const Pass pass : {Pass{false, Verdict::kMainService}, Pass{true, Verdict::kBasisService}}) {
        for (int32_t k = 0; k < count; ++k) descriptors[static_cast<size_t>(k)]._isLoaded = false;
        for (int32_t k = 0; k < count; ++k) {
            CPluginInfo& pi = descriptors[static_cast<size_t>(k)];
            // A plug-in's verdict comes from the pass of the service it is meant for.
            if (!IsForService(pi, kServiceLoadsInSystemContext, pass.pure)) continue;
            PluginReport& plugin = plugins[reportOfDescriptor[static_cast<size_t>(k)]];
            const LoadPlan plan = PlanLoad(descriptors, k, kServiceLoadsInSystemContext, pass.pure);
            switch (plan.decision) {
                case LoadDecision::kDuplicate: {
                    const PluginReport& first = plugins[reportOfDescriptor[static_cast<size_t>(plan.twin)]];
                    plugin.verdict = Verdict::kDuplicate;
                    plugin.verdictDetail = first.file + L" #" + std::to_wstring(first.index + 1);
                    break;
                }
                case LoadDecision::kNoModulePath: plugin.verdict = Verdict::kEmptyPathOrName; break;
                case LoadDecision::kLoad:
                    pi._isLoaded = plugin.module.Loadable();
                    plugin.verdict = pi._isLoaded ? pass.loaded : Verdict::kModuleNotLoadable;
                    break;
                case LoadDecision::kOtherService: break;
            }
        }
    }
}

void AddVerdictFindings(PluginReport& plugin) {
    const bool tried = plugin.verdict == Verdict::kMainService || plugin.verdict == Verdict::kBasisService ||
                       plugin.verdict == Verdict::kModuleNotLoadable;
    AddModuleFindings(plugin, tried ? Severity::kError : Severity::kInfo);
    switch (plugin.verdict) {
        case Verdict::kDuplicate:
            AddFinding(plugin, Severity::kWarning, kCodeDuplicate,
                       L"a plug-in named " + Quoted(plugin.values.description) + L" is loaded before (" +
                           plugin.verdictDetail + L"): the service skips this one");
            break;
        case Verdict::kEmptyPathOrName:
            AddFinding(plugin, Severity::kError, kCodeEmptyPathOrName,
                       L"path or binaryName is empty: the service loads nothing for this plug-in");
            break;
        default: break;
    }
    if ((plugin.verdict == Verdict::kMainService || plugin.verdict == Verdict::kBasisService) &&
        plugin.typeCode == CPluginInfo::kTypeOther) {
        AddFinding(plugin, Severity::kWarning, kCodeUnknownType,
                   L"type " + Quoted(plugin.values.type) +
                       L" is neither dll nor listener: the module is loaded but no entry point is called");
    }
}

void ReadFile(const std::wstring& path, const std::wstring& component, CheckReport& report) {
    FileReport file;
    file.path = path;
    file.component = component;
    try {
        CPluginFileCheck check(path.c_str());
        file.loadError = check.LoadError();
        if (!file.loadError.empty()) {
            file.loaded = false;
            file.findings.push_back({Severity::kError, kCodeMalformedXml, file.loadError + L"; the service reads no plug-in from it"});
        } else {
            file.pluginCount = check.GetNumberOfPluginInfos();
            for (long i = 0; i < file.pluginCount; ++i) {
                PluginReport plugin;
                plugin.file = path;
                plugin.index = i;
                if (!check.ReadPluginElement(i, plugin.values)) continue;
                plugin.unknownElements = check.UnknownChildElements(i);
                report.plugins.push_back(std::move(plugin));
            }
        }
    } catch (const CXmlComError& e) {
        file.loaded = false;
        file.loadError = vemo::FormatW(L"the XML DOM failed with 0x%08lX", static_cast<unsigned long>(e.Error()));
        file.findings.push_back({Severity::kError, kCodeDomError, file.loadError});
    }
    report.files.push_back(std::move(file));
}

void Evaluate(CheckReport& report) {
    std::vector<size_t> reportOfDescriptor;
    for (size_t r = 0; r < report.plugins.size(); ++r) {
        if (!report.plugins[r].values.IsIgnored()) reportOfDescriptor.push_back(r);
    }
    // Filled as the service's reader fills its array: ignored plug-ins leave no gap.
    const auto descriptors = std::make_unique<CPluginInfo[]>(reportOfDescriptor.size());
    size_t next = 0;
    for (PluginReport& plugin : report.plugins) {
        CPluginInfo descriptor;
        CPluginConfig::BuildDescriptor(plugin.values, descriptor);
        plugin.typeCode = descriptor._type;
        plugin.levelCode = descriptor._level;
        plugin.menuPosition = descriptor._menuPosition;
        plugin.initializeName = descriptor._initializeName;
        plugin.runName = descriptor._runName;
        plugin.uninitializeName = descriptor._uninitializeName;
        plugin.runMenuName = descriptor._runMenuName;
        InspectModule(descriptor, plugin.module);
        if (plugin.values.IgnoredByComponent()) {
            plugin.verdict = Verdict::kIgnoredByComponent;
            plugin.verdictDetail = plugin.values.componentRuleToken;
        } else if (plugin.values.ignoredByRegistry) {
            plugin.verdict = Verdict::kIgnoredByRegistry;
            plugin.verdictDetail = plugin.values.registryValuePath;
        } else {
            plugin.verdict = Verdict::kNotSystemContext;
            descriptors[next++].Copy(descriptor);
        }
    }
    Decide(report.plugins, reportOfDescriptor, descriptors.get());
    for (PluginReport& plugin : report.plugins) {
        AddValueFindings(plugin);
        AddVerdictFindings(plugin);
    }
    report.unloadTimeOutMs = LargestUnloadTime(descriptors.get(), static_cast<int32_t>(reportOfDescriptor.size()));
}

}  // namespace

CheckReport CollectReport(const CheckOptions& options) {
    CheckReport report;
    report.directoryMode = !options.directory.empty();
    if (report.directoryMode) {
        report.directories.push_back({L"", false, true, WithSeparator(options.directory)});
    } else {
        for (const wchar_t* component : kPluginComponentIds) {
            DirectoryReport directory{component, CDB_IsComponentInstalled(component), false, L""};
            wchar_t path[kDirectoryChars] = {};
            if (directory.installed && CDB_GetKonfigDir(component, path, kDirectoryChars) == CDB_OK) {
                directory.hasDirectory = true;
                directory.path = path;
            }
            report.directories.push_back(std::move(directory));
        }
    }

    for (const DirectoryReport& directory : report.directories) {
        if (!directory.hasDirectory) continue;
        PluginFileList files;
        AppendPluginFiles(directory.path, files);
        ListSkippedFiles(directory.path, files, report);
        for (const std::wstring& file : files) ReadFile(file, directory.component, report);
    }
    Evaluate(report);

    report.services.push_back(QueryServiceState(g_serviceTable[kServiceIndexVemo].name, false));
    report.services.push_back(QueryServiceState(g_serviceTable[kServiceIndexBase].name, true));
    report.hostInConsole = IsHostRunningInConsole(&report.hostProcessId);
    return report;
}

}  // namespace vemo::check
