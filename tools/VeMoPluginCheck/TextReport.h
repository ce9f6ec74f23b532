#pragma once
// The readable report: one block per file, plug-in and service, findings marked ERROR/WARNING.
#include <string>

#include "CheckModel.h"

namespace vemo::check {

std::wstring FormatTextReport(const CheckReport& report);

}  // namespace vemo::check
