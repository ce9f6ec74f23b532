#include "PeImage.h"

#include <cstring>
#include <vector>

#include "common/UniqueHandle.h"

namespace vemo::check {

namespace {

constexpr wchar_t kFileMissing[] = L"the file does not exist";
constexpr wchar_t kIsDirectory[] = L"the name is a directory";
constexpr wchar_t kCannotOpen[] = L"the file cannot be opened (error ";
constexpr wchar_t kCannotMap[] = L"the file cannot be mapped (error ";
constexpr wchar_t kErrorClose[] = L")";
constexpr wchar_t kNoDosHeader[] = L"no DOS header (\"MZ\")";
constexpr wchar_t kNoPeHeader[] = L"no PE header (\"PE\\0\\0\")";
constexpr wchar_t kBadOptionalHeader[] = L"the optional header is missing or of unknown kind";
constexpr wchar_t kBadExportDirectory[] = L"the export directory lies outside the file";
constexpr wchar_t kMachineIs[] = L"machine type ";
constexpr wchar_t kMachineNeeds[] = L", the service needs ";
constexpr int kHexBase = 16;

// Every read is checked against the mapped size: the file is untrusted input.
class MappedFile {
public:
    MappedFile(const uint8_t* base, size_t size) : m_base(base), m_size(size) {}

    template <typename T>
    bool Read(size_t offset, T& out) const {
        if (offset > m_size || m_size - offset < sizeof(T)) return false;
        std::memcpy(&out, m_base + offset, sizeof(T));
        return true;
    }
    // A zero-terminated name that ends inside the file.
    bool ReadName(size_t offset, std::string& out) const {
        if (offset >= m_size) return false;
        const void* end = std::memchr(m_base + offset, 0, m_size - offset);
        if (!end) return false;
        out.assign(reinterpret_cast<const char*>(m_base + offset),
                   static_cast<size_t>(static_cast<const uint8_t*>(end) - (m_base + offset)));
        return true;
    }

private:
    const uint8_t* m_base;
    size_t m_size;
};

// Relative virtual addresses are turned into file offsets through the section table.
class SectionMap {
public:
    SectionMap(std::vector<IMAGE_SECTION_HEADER> sections, uint32_t sizeOfHeaders)
        : m_sections(std::move(sections)), m_sizeOfHeaders(sizeOfHeaders) {}

    bool ToOffset(uint32_t rva, size_t& offset) const {
        if (rva < m_sizeOfHeaders) {
            offset = rva;
            return true;
        }
        for (const IMAGE_SECTION_HEADER& s : m_sections) {
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.SizeOfRawData) {
                offset = static_cast<size_t>(s.PointerToRawData) + (rva - s.VirtualAddress);
                return true;
            }
        }
        return false;
    }

private:
    std::vector<IMAGE_SECTION_HEADER> m_sections;
    uint32_t m_sizeOfHeaders;
};

std::wstring WithError(const wchar_t* text, DWORD error) { return text + std::to_wstring(error) + kErrorClose; }

bool ReadExportNames(const MappedFile& file, const SectionMap& sections, const IMAGE_DATA_DIRECTORY& directory,
                     std::set<std::string>& names) {
    if (directory.VirtualAddress == 0 || directory.Size == 0) return true;  // no exports at all
    size_t offset = 0;
    IMAGE_EXPORT_DIRECTORY exports{};
    if (!sections.ToOffset(directory.VirtualAddress, offset) || !file.Read(offset, exports)) return false;
    size_t namesOffset = 0;
    if (exports.NumberOfNames > 0 && !sections.ToOffset(exports.AddressOfNames, namesOffset)) return false;
    for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
        uint32_t nameRva = 0;
        size_t nameOffset = 0;
        std::string name;
        if (!file.Read(namesOffset + i * sizeof(uint32_t), nameRva) || !sections.ToOffset(nameRva, nameOffset) ||
            !file.ReadName(nameOffset, name)) {
            return false;
        }
        names.insert(std::move(name));
    }
    return true;
}

void InspectMapped(const MappedFile& file, PeImageInfo& info) {
    info.status = PeImageInfo::Status::kNotPeImage;
    IMAGE_DOS_HEADER dos{};
    if (!file.Read(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) {
        info.problem = kNoDosHeader;
        return;
    }
    const size_t ntOffset = static_cast<size_t>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    if (!file.Read(ntOffset, signature) || signature != IMAGE_NT_SIGNATURE ||
        !file.Read(ntOffset + sizeof(signature), header)) {
        info.problem = kNoPeHeader;
        return;
    }
    info.machine = header.Machine;
    if (header.Machine != ToolMachine()) {
        info.status = PeImageInfo::Status::kWrongMachine;
        info.problem = kMachineIs + MachineName(header.Machine) + kMachineNeeds + MachineName(ToolMachine());
        return;
    }

    // The export directory sits at a different place in PE32 and PE32+ optional headers.
    const size_t optionalOffset = ntOffset + sizeof(signature) + sizeof(header);
    WORD magic = 0;
    IMAGE_DATA_DIRECTORY exportDirectory{};
    DWORD rvaCount = 0;
    DWORD sizeOfHeaders = 0;
    bool optionalOk = file.Read(optionalOffset, magic);
    if (optionalOk && magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC &&
        header.SizeOfOptionalHeader >= offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)) {
        IMAGE_OPTIONAL_HEADER64 optional{};
        optionalOk = file.Read(optionalOffset, optional);
        rvaCount = optional.NumberOfRvaAndSizes;
        sizeOfHeaders = optional.SizeOfHeaders;
        exportDirectory = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    } else if (optionalOk && magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC &&
               header.SizeOfOptionalHeader >= offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)) {
        IMAGE_OPTIONAL_HEADER32 optional{};
        optionalOk = file.Read(optionalOffset, optional);
        rvaCount = optional.NumberOfRvaAndSizes;
        sizeOfHeaders = optional.SizeOfHeaders;
        exportDirectory = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    } else {
        optionalOk = false;
    }
    if (!optionalOk) {
        info.problem = kBadOptionalHeader;
        return;
    }
    if (rvaCount <= IMAGE_DIRECTORY_ENTRY_EXPORT) exportDirectory = {};

    std::vector<IMAGE_SECTION_HEADER> sections(header.NumberOfSections);
    const size_t sectionOffset = optionalOffset + header.SizeOfOptionalHeader;
    for (size_t i = 0; i < sections.size(); ++i) {
        if (!file.Read(sectionOffset + i * sizeof(IMAGE_SECTION_HEADER), sections[i])) {
            info.problem = kBadExportDirectory;
            return;
        }
    }
    if (!ReadExportNames(file, SectionMap(std::move(sections), sizeOfHeaders), exportDirectory, info.exportNames)) {
        info.exportNames.clear();
        info.problem = kBadExportDirectory;
        return;
    }
    info.status = PeImageInfo::Status::kOk;
}

}  // namespace

uint16_t ToolMachine() {
#if defined(__x86_64__) || defined(_M_X64)
    return IMAGE_FILE_MACHINE_AMD64;
#elif defined(__aarch64__) || defined(_M_ARM64)
    return IMAGE_FILE_MACHINE_ARM64;
#else
    return IMAGE_FILE_MACHINE_I386;
#endif
}

std::wstring MachineName(uint16_t machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_AMD64: return L"x64";
        case IMAGE_FILE_MACHINE_I386: return L"x86";
        case IMAGE_FILE_MACHINE_ARM64: return L"arm64";
        default: break;
    }
    wchar_t hex[8] = {};
    ::_itow_s(machine, hex, kHexBase);
    return std::wstring(L"0x") + hex;
}

PeImageInfo InspectPeImage(const std::wstring& path) {
    PeImageInfo info;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        info.problem = kFileMissing;
        return info;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        info.problem = kIsDirectory;
        return info;
    }
    info.status = PeImageInfo::Status::kUnreadable;
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        info.problem = WithError(kCannotOpen, ::GetLastError());
        return info;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) {
        info.problem = WithError(kCannotOpen, ::GetLastError());
        return info;
    }
    if (size.QuadPart == 0) {  // an empty file cannot be mapped
        info.status = PeImageInfo::Status::kNotPeImage;
        info.problem = kNoDosHeader;
        return info;
    }
    unique_handle mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    unique_mapview view(mapping ? ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    if (!view) {
        info.problem = WithError(kCannotMap, ::GetLastError());
        return info;
    }
    InspectMapped(MappedFile(static_cast<const uint8_t*>(view.get()), static_cast<size_t>(size.QuadPart)), info);
    return info;
}

}  // namespace vemo::check
