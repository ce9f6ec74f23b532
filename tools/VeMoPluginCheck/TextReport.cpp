#include "TextReport.h"

#include <algorithm>

#include "PeImage.h"
#include "SystemState.h"
#include "VeMoHostIntLib/VeMoHostInt.h"
#include "common/CommandTable.h"

namespace vemo::check {

namespace {

constexpr wchar_t kNewLine[] = L"\r\n";
constexpr size_t kLabelWidth = 22;

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }
const wchar_t* YesNo(bool value) { return value ? L"yes" : L"no"; }
const wchar_t* TrueFalse(bool value) { return value ? L"true" : L"false"; }

class TextWriter {
public:
    void Line(const std::wstring& text = {}) { m_text += text + kNewLine; }
    void Field(const wchar_t* label, const std::wstring& value) {
        std::wstring line = L"    ";
        line += label;
        line.resize(std::max(line.size() + 1, kLabelWidth + 4), L' ');
        Line(line + value);
    }
    void Finding(const vemo::check::Finding& finding, const wchar_t* indent) {
        const wchar_t* mark = finding.severity == Severity::kError     ? L"ERROR"
                              : finding.severity == Severity::kWarning ? L"WARNING"
                                                                       : L"note";
        Line(std::wstring(indent) + mark + L" [" + finding.code + L"] " + finding.message);
    }
    const std::wstring& Text() const { return m_text; }

private:
    std::wstring m_text;
};

std::wstring ServiceLabel(bool pure) {
    const ServiceRecord& record = g_serviceTable[pure ? kServiceIndexBase : kServiceIndexVemo];
    std::wstring label = Quoted(record.name);
    if (pure) label += std::wstring(L" (/") + g_commandTable[kCommandRowStartPure].keyword + L")";
    return label;
}

std::wstring VerdictText(const PluginReport& plugin) {
    switch (plugin.verdict) {
        case Verdict::kMainService: return L"loaded by the main service " + ServiceLabel(false);
        case Verdict::kBasisService: return L"loaded by the basis service " + ServiceLabel(true);
        case Verdict::kIgnoredByComponent:
            return L"not loaded: ignored because of component " + Quoted(plugin.verdictDetail) +
                   (plugin.values.componentRule == ComponentRuleOutcome::kMalformedToken ? L" (malformed)"
                                                                                          : L" (installed)");
        case Verdict::kIgnoredByRegistry:
            return L"not loaded: ignored by registry value HKLM\\" + plugin.verdictDetail + L" (not 0)";
        case Verdict::kNotSystemContext:
            return L"not loaded: system is not true, the services load system-context plug-ins only";
        case Verdict::kDuplicate: return L"not loaded: duplicate of " + plugin.verdictDetail;
        case Verdict::kEmptyPathOrName: return L"not loaded: path or binaryName is empty";
        case Verdict::kModuleNotLoadable:
            return std::wstring(L"not loaded: the ") + (plugin.values.pure ? L"basis" : L"main") +
                   L" service would try, but the module cannot be loaded";
    }
    return {};
}

std::wstring ModuleText(const ModuleReport& module) {
    switch (module.status) {
        case ModuleStatus::kNotChecked: return L"not checked";
        case ModuleStatus::kMissing: return L"missing: " + module.problem;
        case ModuleStatus::kUnreadable: return L"unreadable: " + module.problem;
        case ModuleStatus::kNotPeImage: return L"no PE image: " + module.problem;
        case ModuleStatus::kWrongMachine: return L"wrong machine: " + module.problem;
        case ModuleStatus::kExportsChecked: break;
    }
    std::wstring text = L"PE image, " + MachineName(module.machine) + L"; exports:";
    for (const ExportCheck& e : module.exports) {
        text += L" " + e.name + (e.found ? L" ok" : (e.required ? L" MISSING" : L" absent (optional)"));
        if (e.usedFallback) text += L" (fallback for " + e.configured + L")";
        text += L";";
    }
    text.pop_back();
    return text;
}

std::wstring MenuText(const PluginReport& plugin) {
    std::wstring text = L"position " + std::to_wstring(plugin.menuPosition) + L", " +
                        std::to_wstring(plugin.values.menu.size()) + L" entries";
    for (const MenuEntry& entry : plugin.values.menu) {
        text += entry._isSeparator ? L"; separator"
                                   : L"; " + Quoted(entry._text) + L" fid " + std::to_wstring(entry._function);
        if (!entry._parentMenu.empty()) text += L" under " + Quoted(entry._parentMenu);
        if (!entry._isActive) text += L" (inactive)";
    }
    return text;
}

void WritePlugin(TextWriter& out, const PluginReport& plugin) {
    const PluginElementValues& v = plugin.values;
    out.Line(L"  Plug-in " + Quoted(v.description) + L" (" + plugin.file + L" #" + std::to_wstring(plugin.index + 1) +
             L")");
    out.Field(L"verdict:", VerdictText(plugin));
    out.Field(L"type:", Quoted(v.type) + L" (" + std::to_wstring(plugin.typeCode) + L")");
    out.Field(L"level:", std::to_wstring(plugin.levelCode));
    out.Field(L"binaryName:", Quoted(v.binaryName));
    out.Field(L"path:", Quoted(v.path));
    out.Field(L"entry points:", L"initialize " + Quoted(plugin.initializeName) + L", run " + Quoted(plugin.runName) +
                                    L", uninitialize " + Quoted(plugin.uninitializeName) + L", runmenu " +
                                    Quoted(plugin.runMenuName));
    out.Field(L"system:", TrueFalse(v.system));
    out.Field(L"pure:", TrueFalse(v.pure));
    out.Field(L"timeoutUnload:", std::to_wstring(v.timeOutUnload) + L" ms");
    if (!v.className.empty()) out.Field(L"events:", Quoted(v.className));
    out.Field(L"menu:", MenuText(plugin));
    if (!v.components.empty()) out.Field(L"ignore on component:", Quoted(v.components));
    if (!v.registryValuePath.empty()) {
        out.Field(L"ignore on registry:", L"HKLM\\" + v.registryValuePath + (v.ignoredByRegistry ? L" (set)" : L" (not set)"));
    }
    out.Field(L"module:", plugin.module.path.empty() ? std::wstring(L"none") : plugin.module.path);
    out.Field(L"module check:", ModuleText(plugin.module));
    for (const Finding& finding : plugin.findings) out.Finding(finding, L"    ");
}

std::wstring ServiceText(const ServiceReport& service) {
    if (service.error != ERROR_SUCCESS) return L"state unknown (error " + std::to_wstring(service.error) + L")";
    if (!service.installed) return L"not installed";
    std::wstring text = std::wstring(L"installed, ") + ServiceStateName(service.state);
    if (service.processId != 0) text += L" (pid " + std::to_wstring(service.processId) + L")";
    return text;
}

}  // namespace

std::wstring FormatTextReport(const CheckReport& report) {
    TextWriter out;
    out.Line(L"VeMo plug-in configuration check");
    out.Line();
    out.Line(report.directoryMode ? L"Directory" : L"Configuration directories");
    for (const DirectoryReport& d : report.directories) {
        if (report.directoryMode) {
            out.Line(L"  " + d.path);
        } else if (!d.installed) {
            out.Line(L"  " + d.component + L"  not installed");
        } else {
            out.Line(L"  " + d.component + L"  " + (d.hasDirectory ? d.path : std::wstring(L"installed, no configuration directory")));
        }
    }
    out.Line();
    out.Line(L"Files");
    if (report.files.empty()) out.Line(L"  none");
    for (const FileReport& f : report.files) {
        out.Line(L"  " + f.path + (f.loaded ? L": " + std::to_wstring(f.pluginCount) + L" plug-in(s)" : std::wstring()));
        for (const Finding& finding : f.findings) out.Finding(finding, L"    ");
    }
    if (!report.skippedFiles.empty()) {
        out.Line();
        out.Line(L"Skipped files");
        for (const SkippedFile& s : report.skippedFiles) out.Line(L"  WARNING [skippedFile] " + s.path + L": " + s.reason);
    }
    out.Line();
    out.Line(L"Plug-ins");
    if (report.plugins.empty()) {
        out.Line(L"  none");
        out.Line();
    }
    for (const PluginReport& plugin : report.plugins) {
        WritePlugin(out, plugin);
        out.Line();
    }
    out.Line(L"Unload time-out: " + std::to_wstring(report.unloadTimeOutMs) +
             L" ms (the largest of " + std::to_wstring(VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS) +
             L" and every timeoutUnload, compared unsigned)");
    out.Line();
    out.Line(L"Services");
    for (const ServiceReport& s : report.services) out.Line(L"  " + ServiceLabel(s.pure) + L": " + ServiceText(s));
    out.Line(std::wstring(L"  ") + kVeMoHostProcessName + L" in the console session: " + YesNo(report.hostInConsole) +
             (report.hostInConsole ? L" (pid " + std::to_wstring(report.hostProcessId) + L")" : std::wstring()));
    out.Line();
    out.Line(L"Result: " + std::to_wstring(report.Count(Severity::kError)) + L" error(s), " +
             std::to_wstring(report.Count(Severity::kWarning)) + L" warning(s), exit code " +
             std::to_wstring(report.ExitCode()));
    return out.Text();
}

}  // namespace vemo::check
