#include "CheckModel.h"

namespace vemo::check {

bool ModuleReport::Loadable() const {
    if (status != ModuleStatus::kExportsChecked) return false;
    for (const ExportCheck& e : exports) {
        if (e.required && !e.found) return false;
    }
    return true;
}

int CheckReport::Count(Severity severity) const {
    int count = 0;
    auto add = [&](const std::vector<Finding>& findings) {
        for (const Finding& f : findings) count += f.severity == severity ? 1 : 0;
    };
    for (const FileReport& file : files) add(file.findings);
    for (const PluginReport& plugin : plugins) add(plugin.findings);
    // A file the service passes over is worth a look, never a failure.
    if (severity == Severity::kWarning) count += static_cast<int>(skippedFiles.size());
    return count;
}

int CheckReport::ExitCode() const {
    if (Count(Severity::kError) > 0) return kExitErrors;
    if (Count(Severity::kWarning) > 0) return kExitWarnings;
    return kExitOk;
}

const wchar_t* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::kError: return L"error";
        case Severity::kWarning: return L"warning";
        case Severity::kInfo: break;
    }
    return L"info";
}

const wchar_t* VerdictCode(Verdict verdict) {
    switch (verdict) {
        case Verdict::kMainService: return L"main";
        case Verdict::kBasisService: return L"basis";
        case Verdict::kIgnoredByComponent: return L"ignoredByComponent";
        case Verdict::kIgnoredByRegistry: return L"ignoredByRegistry";
        case Verdict::kNotSystemContext: return L"notSystemContext";
        case Verdict::kDuplicate: return L"duplicate";
        case Verdict::kEmptyPathOrName: return L"emptyPathOrName";
        case Verdict::kModuleNotLoadable: return L"moduleNotLoadable";
    }
    return L"";
}

const wchar_t* ModuleStatusCode(ModuleStatus status) {
    switch (status) {
        case ModuleStatus::kNotChecked: return L"notChecked";
        case ModuleStatus::kMissing: return L"missing";
        case ModuleStatus::kUnreadable: return L"unreadable";
        case ModuleStatus::kNotPeImage: return L"notPeImage";
        case ModuleStatus::kWrongMachine: return L"wrongMachine";
        case ModuleStatus::kExportsChecked: return L"checked";
    }
    return L"";
}

const wchar_t* ServiceStateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return L"stopped";
        case SERVICE_START_PENDING: return L"startPending";
        case SERVICE_STOP_PENDING: return L"stopPending";
        case SERVICE_RUNNING: return L"running";
        case SERVICE_CONTINUE_PENDING: return L"continuePending";
        case SERVICE_PAUSE_PENDING: return L"pausePending";
        case SERVICE_PAUSED: return L"paused";
        default: break;
    }
    return L"unknown";
}

}  // namespace vemo::check
