// Existence tests, trailing backslashes and directory creation with all parents.
#include <io.h>

#include <string>

#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

constexpr int kAccessExists = 0;
// A backslash before this position belongs to a drive root ("C:\") and ends the recursion.
constexpr size_t kFirstParentBackslash = 3;

constexpr char kNoPath[] = "CDB_CreateDirectory: Kein Pfad übergeben!";
constexpr char kCreateFailed[] = "CDB_CreateDirectory: Fehler <%d> beim Anlegen des Verzeichnisses <%S>!";
constexpr char kCreated[] = "CDB_CreateDirectory: Verzeichnis <%S> wurde angelegt";
constexpr char kPathIsFile[] = "_CreateDirectory: Angeforderter Pfad ist eine Datei (<%S>)";
constexpr char kCreating[] = "_CreateDirectory: Pfad '<%S>' soll angelegt werden";
constexpr char kCreateCaught[] = "_CreateDirectory: Im Catch...";

}  // namespace

bool PathExists(const std::string& path) { return !path.empty() && _access_s(path.c_str(), kAccessExists) == 0; }

bool PathExists(const std::wstring& path) { return !path.empty() && _waccess_s(path.c_str(), kAccessExists) == 0; }

void AddTrailingBackslash(std::string& path) {
    if (!path.empty() && path.back() != '\\') path += '\\';
}

void AppendToPathBuffer(std::string& path, std::string_view tail) {
    path += tail;
    if (path.size() > kPathBufferChars - 1) path.resize(kPathBufferChars - 1);
}

bool _CreateDirectory(const std::wstring& path) {
    try {
        std::wstring directory = path;
        if (!directory.empty() && directory.back() == L'\\') directory.pop_back();

        const DWORD attributes = ::GetFileAttributesW(directory.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
            _TracerWrite(true, kPathIsFile, directory.c_str());
            ::SetLastError(ERROR_FILE_EXISTS);
            return false;
        }

        const size_t lastBackslash = directory.rfind(L'\\');
        if (lastBackslash != std::wstring::npos && lastBackslash >= kFirstParentBackslash) {
            if (!_CreateDirectory(directory.substr(0, lastBackslash))) return false;
        }

        _TracerWrite(false, kCreating, directory.c_str());
        return ::CreateDirectoryW(directory.c_str(), nullptr) != FALSE;
    } catch (...) {
        _TracerWrite(true, kCreateCaught);
        return false;
    }
}

}  // namespace configdb

bool CDB_CreateDirectory(const std::string& path) {
    using namespace configdb;
    return Guarded("CDB_CreateDirectory", false, [&] {
        Init();
        if (path.empty()) {
            _TracerWrite(true, kNoPath);
            return false;
        }
        const std::wstring widePath = _ConvertToUnicode(path);
        if (PathExists(widePath)) return true;

        const bool created = _CreateDirectory(widePath);
        if (!created) {
            const DWORD error = ::GetLastError();
            _TracerWrite(true, kCreateFailed, static_cast<int>(error), widePath.c_str());
        } else {
            _TracerWrite(false, kCreated, widePath.c_str());
        }
        return created;
    });
}
