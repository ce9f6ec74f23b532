#include "JsonReport.h"

#include "PeImage.h"
#include "SystemState.h"
#include "VeMoHostIntLib/VeMoHostInt.h"
#include "common/WideFormat.h"

namespace vemo::check {

namespace {
constexpr size_t kIndentChars = 2;
constexpr wchar_t kFirstPrintable = 0x20;
}  // namespace

std::wstring JsonWriter::Escape(std::wstring_view value) {
    std::wstring out;
    out.reserve(value.size() + 2);
    for (const wchar_t c : value) {
        switch (c) {
            case L'"': out += L"\\\""; break;
            case L'\\': out += L"\\\\"; break;
            case L'\n': out += L"\\n"; break;
            case L'\r': out += L"\\r"; break;
            case L'\t': out += L"\\t"; break;
            case L'\b': out += L"\\b"; break;
            case L'\f': out += L"\\f"; break;
            default:
                if (c < kFirstPrintable) {
                    out += vemo::FormatW(L"\\u%04x", static_cast<unsigned>(c));
                } else {
                    out += c;
                }
        }
    }
    return out;
}

void JsonWriter::NewLine() {
    m_text += L'\n';
    m_text.append(m_hasItems.size() * kIndentChars, L' ');
}

void JsonWriter::BeforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_hasItems.empty()) return;
    if (m_hasItems.back()) m_text += L',';
    m_hasItems.back() = true;
    NewLine();
}

void JsonWriter::Open(wchar_t bracket) {
    BeforeValue();
    m_text += bracket;
    m_hasItems.push_back(false);
}

void JsonWriter::Close(wchar_t bracket) {
    const bool hadItems = m_hasItems.back();
    m_hasItems.pop_back();
    if (hadItems) NewLine();
    m_text += bracket;
}

void JsonWriter::Key(std::wstring_view key) {
    BeforeValue();
    m_text += L'"' + Escape(key) + L"\": ";
    m_afterKey = true;
}

void JsonWriter::String(std::wstring_view value) {
    BeforeValue();
    m_text += L'"' + Escape(value) + L'"';
}

void JsonWriter::Number(int64_t value) {
    BeforeValue();
    m_text += std::to_wstring(value);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    m_text += value ? L"true" : L"false";
}

namespace {

void WriteFindings(JsonWriter& json, const std::vector<Finding>& findings) {
    json.Key(L"findings");
    json.BeginArray();
    for (const Finding& f : findings) {
        json.BeginObject();
        json.Key(L"severity");
        json.String(SeverityName(f.severity));
        json.Key(L"code");
        json.String(f.code);
        json.Key(L"message");
        json.String(f.message);
        json.EndObject();
    }
    json.EndArray();
}

void WriteModule(JsonWriter& json, const ModuleReport& module) {
    json.Key(L"module");
    json.BeginObject();
    json.Key(L"path");
    json.String(module.path);
    json.Key(L"status");
    json.String(ModuleStatusCode(module.status));
    json.Key(L"problem");
    json.String(module.problem);
    json.Key(L"machine");
    json.String(module.machine ? MachineName(module.machine) : std::wstring());
    json.Key(L"loadable");
    json.Bool(module.Loadable());
    json.Key(L"exports");
    json.BeginArray();
    for (const ExportCheck& e : module.exports) {
        json.BeginObject();
        json.Key(L"role");
        json.String(e.role);
        json.Key(L"configured");
        json.String(e.configured);
        json.Key(L"name");
        json.String(e.name);
        json.Key(L"required");
        json.Bool(e.required);
        json.Key(L"found");
        json.Bool(e.found);
        json.Key(L"fallback");
        json.Bool(e.usedFallback);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

void WriteMenu(JsonWriter& json, const PluginReport& plugin) {
    json.Key(L"menu");
    json.BeginObject();
    json.Key(L"position");
    json.Number(plugin.menuPosition);
    json.Key(L"entries");
    json.BeginArray();
    for (const MenuEntry& entry : plugin.values.menu) {
        json.BeginObject();
        json.Key(L"text");
        json.String(entry._text);
        json.Key(L"function");
        json.Number(entry._function);
        json.Key(L"parent");
        json.String(entry._parentMenu);
        json.Key(L"active");
        json.Bool(entry._isActive);
        json.Key(L"separator");
        json.Bool(entry._isSeparator);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

void WritePlugin(JsonWriter& json, const PluginReport& plugin) {
    const PluginElementValues& v = plugin.values;
    json.BeginObject();
    json.Key(L"file");
    json.String(plugin.file);
    json.Key(L"index");
    json.Number(plugin.index);
    json.Key(L"name");
    json.String(v.description);
    json.Key(L"type");
    json.String(v.type);
    json.Key(L"typeCode");
    json.Number(plugin.typeCode);
    json.Key(L"level");
    json.Number(plugin.levelCode);
    json.Key(L"binaryName");
    json.String(v.binaryName);
    json.Key(L"path");
    json.String(v.path);
    json.Key(L"entryPoints");
    json.BeginObject();
    json.Key(L"initialize");
    json.String(plugin.initializeName);
    json.Key(L"run");
    json.String(plugin.runName);
    json.Key(L"uninitialize");
    json.String(plugin.uninitializeName);
    json.Key(L"runMenu");
    json.String(plugin.runMenuName);
    json.EndObject();
    json.Key(L"system");
    json.Bool(v.system);
    json.Key(L"pure");
    json.Bool(v.pure);
    json.Key(L"timeoutUnload");
    json.Number(v.timeOutUnload);
    json.Key(L"events");
    json.String(v.className);
    WriteMenu(json, plugin);
    json.Key(L"ignoreOnInstalledComponent");
    json.String(v.components);
    json.Key(L"ignoreOnRegistryKey");
    json.String(v.registryValuePath);
    json.Key(L"unknownElements");
    json.BeginArray();
    for (const std::wstring& element : plugin.unknownElements) json.String(element);
    json.EndArray();
    json.Key(L"verdict");
    json.String(VerdictCode(plugin.verdict));
    json.Key(L"verdictDetail");
    json.String(plugin.verdictDetail);
    WriteModule(json, plugin.module);
    WriteFindings(json, plugin.findings);
    json.EndObject();
}

}  // namespace

std::wstring FormatJsonReport(const CheckReport& report) {
    JsonWriter json;
    json.BeginObject();
    json.Key(L"mode");
    json.String(report.directoryMode ? L"directory" : L"components");
    json.Key(L"directories");
    json.BeginArray();
    for (const DirectoryReport& d : report.directories) {
        json.BeginObject();
        json.Key(L"component");
        json.String(d.component);
        json.Key(L"installed");
        json.Bool(d.installed);
        json.Key(L"path");
        json.String(d.path);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"files");
    json.BeginArray();
    for (const FileReport& f : report.files) {
        json.BeginObject();
        json.Key(L"path");
        json.String(f.path);
        json.Key(L"component");
        json.String(f.component);
        json.Key(L"loaded");
        json.Bool(f.loaded);
        json.Key(L"pluginCount");
        json.Number(f.pluginCount);
        WriteFindings(json, f.findings);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"skippedFiles");
    json.BeginArray();
    for (const SkippedFile& s : report.skippedFiles) {
        json.BeginObject();
        json.Key(L"path");
        json.String(s.path);
        json.Key(L"reason");
        json.String(s.reason);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"plugins");
    json.BeginArray();
    for (const PluginReport& plugin : report.plugins) WritePlugin(json, plugin);
    json.EndArray();
    json.Key(L"unloadTimeoutMs");
    json.Number(report.unloadTimeOutMs);
    json.Key(L"services");
    json.BeginArray();
    for (const ServiceReport& s : report.services) {
        json.BeginObject();
        json.Key(L"name");
        json.String(s.name);
        json.Key(L"pure");
        json.Bool(s.pure);
        json.Key(L"installed");
        json.Bool(s.installed);
        json.Key(L"state");
        json.String(s.error != ERROR_SUCCESS ? L"unknown" : s.installed ? ServiceStateName(s.state) : L"notInstalled");
        json.Key(L"processId");
        json.Number(s.processId);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"host");
    json.BeginObject();
    json.Key(L"name");
    json.String(kVeMoHostProcessName);
    json.Key(L"runningInConsole");
    json.Bool(report.hostInConsole);
    json.Key(L"processId");
    json.Number(report.hostProcessId);
    json.EndObject();
    json.Key(L"summary");
    json.BeginObject();
    json.Key(L"errors");
    json.Number(report.Count(Severity::kError));
    json.Key(L"warnings");
    json.Number(report.Count(Severity::kWarning));
    json.Key(L"exitCode");
    json.Number(report.ExitCode());
    json.EndObject();
    json.EndObject();
    return json.Text() + L"\n";
}

}  // namespace vemo::check
