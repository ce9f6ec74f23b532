#pragma once
// Collects the whole report: which files the service would read, what its reader makes of them,
// which service would load each plug-in, the modules, the unload time-out and the services.
#include <string>

#include "CheckModel.h"

namespace vemo::check {

struct CheckOptions {
    // Empty: the configuration directories of the installed components, as the service finds
    // them. Otherwise this one directory.
    std::wstring directory;
};

CheckReport CollectReport(const CheckOptions& options);

}  // namespace vemo::check
