#include "ReportOutput.h"

#include <algorithm>

namespace vemo::check {

namespace {
// Console and file writes are done in pieces the APIs take in one call.
constexpr size_t kChunkChars = 16384;

bool WriteUtf8(HANDLE handle, const std::wstring& text) {
    if (text.empty()) return true;
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                            nullptr, nullptr);
    if (bytes <= 0) return false;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
    for (size_t done = 0; done < utf8.size();) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min(utf8.size() - done, kChunkChars));
        if (!::WriteFile(handle, utf8.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}
}  // namespace

bool WriteText(DWORD nStdHandle, const std::wstring& text) {
    const HANDLE handle = ::GetStdHandle(nStdHandle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (!::GetConsoleMode(handle, &mode)) return WriteUtf8(handle, text);
    for (size_t done = 0; done < text.size();) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min(text.size() - done, kChunkChars));
        if (!::WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace vemo::check
