#pragma once
// The two static tables of the executable: the services it serves and the package's command words.
#include <cstddef>
#include <cstdint>

constexpr size_t kServiceFieldChars = 128;

struct ServiceRecord {
    wchar_t name[kServiceFieldChars];
    wchar_t displayName[kServiceFieldChars];
    wchar_t description[kServiceFieldChars];
};

// Ends at the first record whose name is empty.
extern ServiceRecord g_serviceTable[];

constexpr size_t kServiceIndexVemo = 0;
constexpr size_t kServiceIndexBase = 1;

struct CommandRow {
    int32_t id;
    const wchar_t* keyword;
    const wchar_t* description;
    int32_t flag;
};

constexpr size_t kCommandCount = 13;
extern const CommandRow g_commandTable[kCommandCount];

// Rows this executable acts on.
constexpr size_t kCommandRowStartWithoutDaemon = 2;
constexpr size_t kCommandRowStartPure = 4;
