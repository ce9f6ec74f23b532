#include "ReportOutput.h"

#include <algorithm>

#include "common/AnsiText.h"

namespace vemo::check {

namespace {
// Console and file writes are done in pieces the APIs take in one call.
constexpr size_t kChunkChars = 16384;

bool WriteUtf8(HANDLE handle, const std::wstring& text) {
    if (text.empty()) return true;
    std::string utf8;
    if (!vemo::WideToUtf8(text, utf8)) return false;
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
