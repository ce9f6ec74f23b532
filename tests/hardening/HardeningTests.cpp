// What the shipped binaries load by name at start: only DLLs of the system directory, so no DLL
// beside the program or in the current directory is ever picked up for an import. (That the
// programs take the current directory out of the search for LoadLibrary cannot be checked here:
// Wine 8 treats SetDllDirectoryW(L"") as "not set" and keeps searching the current directory.)
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "common/UniqueHandle.h"

namespace {
constexpr const wchar_t* kShippedBinaries[] = {L"VeMoHostService.exe", L"VeMoHost.exe", L"VeMoPluginCheck.exe",
                                               L"QnUmTraceSystem001.dll", L"QRNCSAVeMoDaemon001.dll",
                                               L"VeMoReaderWatch.dll"};

// Names of the DLLs an image imports, read from its import directory.
std::vector<std::string> ImportedDlls(const std::wstring& path) {
    std::vector<std::string> names;
    vemo::unique_hmodule image(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!image) return names;
    // The handle of an image-resource mapping carries flag bits in its low bits.
    const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image.get()) & ~ULONG_PTR{3});
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return names;
    for (const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         entry->Name != 0; ++entry) {
        names.emplace_back(reinterpret_cast<const char*>(base + entry->Name));
    }
    return names;
}

std::wstring SystemDirectory() {
    wchar_t path[MAX_PATH] = {};
    const UINT n = ::GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, n) + L"\\";
}

// COM, automation and the shell are bound on first call: imported, they slow every start of the service.
TEST(Hardening, EveryImportOfAShippedBinaryIsASystemDllAndNoneIsBoundLate) {
    const std::wstring system = SystemDirectory();
    for (const wchar_t* binary : kShippedBinaries) {
        const std::wstring path = vemo::test::ExecutableDirectory() + binary;
        const std::vector<std::string> imports = ImportedDlls(path);
        ASSERT_FALSE(imports.empty()) << vemo::test::Narrow(path) << " has no import table or cannot be read";
        for (const std::string& dll : imports) {
            const std::wstring wide(dll.begin(), dll.end());
            EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((system + wide).c_str()))
                << vemo::test::Narrow(path) << " imports " << dll << ", which is not in the system directory";
            for (const char* late : {"ole32.dll", "oleaut32.dll", "shell32.dll"}) {
                EXPECT_NE(0, _stricmp(dll.c_str(), late)) << vemo::test::Narrow(path) << " imports " << dll;
            }
        }
    }
}

}  // namespace
