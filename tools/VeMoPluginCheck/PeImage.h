#pragma once
// Reads a module file's DOS and PE headers and its export names from a read-only mapping of
// the file. Nothing is loaded, so no code of the module runs.
#include <windows.h>

#include <cstdint>
#include <set>
#include <string>

namespace vemo::check {

struct PeImageInfo {
    enum class Status { kOk, kMissing, kUnreadable, kNotPeImage, kWrongMachine };
    Status status = Status::kMissing;
    std::wstring problem;  // readable reason for every status but kOk
    uint16_t machine = 0;
    std::set<std::string> exportNames;  // by-name exports, forwarders included
};

// The machine type of this tool's own image: a module must match it to load into the service,
// which is built for the same machine.
uint16_t ToolMachine();
// "x64", "x86", "arm64" or the number in hex.
std::wstring MachineName(uint16_t machine);

PeImageInfo InspectPeImage(const std::wstring& path);

}  // namespace vemo::check
