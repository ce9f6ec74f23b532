#pragma once
// The process entry: command line to service identities and a command for each.

enum class ServiceIdentity { None, Vemo, Base };

struct EntryArguments {
    bool tooMany = false;             // more than two arguments after the program name
    const wchar_t* command = nullptr; // whole argument with its '-' or '/', or null
    ServiceIdentity identity = ServiceIdentity::None;
};

constexpr int kExitTooManyArguments = 257;

// argc counts the program name; argv holds the arguments.
EntryArguments ParseEntryArguments(int argc, wchar_t** argv);

// The whole entry point; returns the process exit code.
int RunEntryPoint(int argc, wchar_t** argv, const wchar_t* pszCmdLine, int nCmdShow);
