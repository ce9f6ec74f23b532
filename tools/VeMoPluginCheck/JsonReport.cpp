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
        json.Field(L"severity", SeverityName(f.severity));
        json.Field(L"code", f.code);
        json.Field(L"message", f.message);
        json.EndObject();
    }
    json.EndArray();
}

void WriteModule(JsonWriter& json, const ModuleReport& module) {
    json.Key(L"module");
    json.BeginObject();
    json.Field(L"path", module.path);
    json.Field(L"status", ModuleStatusCode(module.status));
    json.Field(L"problem", module.problem);
    json.Field(L"machine", module.machine ? MachineName(module.machine) : std::wstring());
    json.Field(L"loadable", module.Loadable());
    json.Key(L"exports");
    json.BeginArray();
    for (const ExportCheck& e : module.exports) {
        json.BeginObject();
        json.Field(L"role", e.role);
        json.Field(L"configured", e.configured);
        json.Field(L"name", e.name);
        json.Field(L"required", e.required);
        json.Field(L"found", e.found);
        json.Field(L"fallback", e.usedFallback);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

void WriteMenu(JsonWriter& json, const PluginReport& plugin) {
    json.Key(L"menu");
    json.BeginObject();
    json.Field(L"position", static_cast<int64_t>(plugin.menuPosition));
    json.Key(L"entries");
    json.BeginArray();
    for (const MenuEntry& entry : plugin.values.menu) {
        json.BeginObject();
        json.Field(L"text", entry._text);
        json.Field(L"function", static_cast<int64_t>(entry._function));
        json.Field(L"parent", entry._parentMenu);
        json.Field(L"active", entry._isActive);
        json.Field(L"separator", entry._isSeparator);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

void WritePlugin(JsonWriter& json, const PluginReport& plugin) {
    const PluginElementValues& v = plugin.values;
    json.BeginObject();
    json.Field(L"file", plugin.file);
    json.Field(L"index", static_cast<int64_t>(plugin.index));
    json.Field(L"name", v.description);
    json.Field(L"type", v.type);
    json.Field(L"typeCode", static_cast<int64_t>(plugin.typeCode));
    json.Field(L"level", static_cast<int64_t>(plugin.levelCode));
    json.Field(L"binaryName", v.binaryName);
    json.Field(L"path", v.path);
    json.Key(L"entryPoints");
    json.BeginObject();
    json.Field(L"initialize", plugin.initializeName);
    json.Field(L"run", plugin.runName);
    json.Field(L"uninitialize", plugin.uninitializeName);
    json.Field(L"runMenu", plugin.runMenuName);
    json.EndObject();
    json.Field(L"system", v.system);
    json.Field(L"pure", v.pure);
    json.Field(L"timeoutUnload", static_cast<int64_t>(v.timeOutUnload));
    json.Field(L"events", v.className);
    WriteMenu(json, plugin);
    json.Field(L"ignoreOnInstalledComponent", v.components);
    json.Field(L"ignoreOnRegistryKey", v.registryValuePath);
    json.Key(L"unknownElements");
    json.BeginArray();
    for (const std::wstring& element : plugin.unknownElements) json.String(element);
    json.EndArray();
    json.Field(L"verdict", VerdictCode(plugin.verdict));
    json.Field(L"verdictDetail", plugin.verdictDetail);
    WriteModule(json, plugin.module);
    WriteFindings(json, plugin.findings);
    json.EndObject();
}

}  // namespace

std::wstring FormatJsonReport(const CheckReport& report) {
    JsonWriter json;
    json.BeginObject();
    json.Field(L"mode", report.directoryMode ? L"directory" : L"components");
    json.Key(L"directories");
    json.BeginArray();
    for (const DirectoryReport& d : report.directories) {
        json.BeginObject();
        json.Field(L"component", d.component);
        json.Field(L"installed", d.installed);
        json.Field(L"path", d.path);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"files");
    json.BeginArray();
    for (const FileReport& f : report.files) {
        json.BeginObject();
        json.Field(L"path", f.path);
        json.Field(L"component", f.component);
        json.Field(L"loaded", f.loaded);
        json.Field(L"pluginCount", static_cast<int64_t>(f.pluginCount));
        WriteFindings(json, f.findings);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"skippedFiles");
    json.BeginArray();
    for (const SkippedFile& s : report.skippedFiles) {
        json.BeginObject();
        json.Field(L"path", s.path);
        json.Field(L"reason", s.reason);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"plugins");
    json.BeginArray();
    for (const PluginReport& plugin : report.plugins) WritePlugin(json, plugin);
    json.EndArray();
    json.Field(L"unloadTimeoutMs", static_cast<int64_t>(report.unloadTimeOutMs));
    json.Key(L"services");
    json.BeginArray();
    for (const ServiceReport& s : report.services) {
        json.BeginObject();
        json.Field(L"name", s.name);
        json.Field(L"pure", s.pure);
        json.Field(L"installed", s.installed);
        json.Field(L"state", s.error != ERROR_SUCCESS ? L"unknown" : s.installed ? ServiceStateName(s.state) : L"notInstalled");
        json.Field(L"processId", static_cast<int64_t>(s.processId));
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"host");
    json.BeginObject();
    json.Field(L"name", kVeMoHostProcessName);
    json.Field(L"runningInConsole", report.hostInConsole);
    json.Field(L"processId", static_cast<int64_t>(report.hostProcessId));
    json.EndObject();
    json.Key(L"summary");
    json.BeginObject();
    json.Field(L"errors", static_cast<int64_t>(report.Count(Severity::kError)));
    json.Field(L"warnings", static_cast<int64_t>(report.Count(Severity::kWarning)));
    json.Field(L"exitCode", static_cast<int64_t>(report.ExitCode()));
    json.EndObject();
    json.EndObject();
    return json.Text() + L"\n";
}

}  // namespace vemo::check
