#pragma once
// What every group of the suite shares for the whole run: HKLM redirected to a scratch key, a
// scratch directory, the components and rule values the generators refer to, the recording
// trace module, and the checks made after each case.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "BadInput.h"
#include "PluginDocuments.h"
#include "RecorderClient.h"
#include "TestSupport.h"

namespace badinput {

class World {
public:
    World();
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    bool ready() const { return m_sandbox.active() && m_recorder.loaded(); }
    const std::wstring& scratch() const { return m_scratch.path(); }  // with a backslash
    const GeneratorWorld& generator() const { return m_generator; }
    const vemo::test::Recorder& recorder() const { return m_recorder; }

    // A fresh directory below the scratch directory whose name holds `tag`.
    std::wstring NewDirectory(const std::wstring& tag);

private:
    void RegisterComponents();
    void RegisterRules();

    vemo::test::HklmSandbox m_sandbox{kSandboxRoot};
    vemo::test::ScratchDirectory m_scratch{L"badinput"};
    vemo::test::Recorder m_recorder;
    GeneratorWorld m_generator;
    std::vector<std::wstring> m_createdLogDirs;
    int m_directories = 0;
};

// Built before the first test and destroyed after the last.
World& TheWorld();

// Every trace line of the case so far: none at level 1 (an exception caught by a catch-all) and
// no ConfigDB line reporting one. Resets the recorder afterwards.
void ExpectNoCaughtExceptions(const std::string& where);
// Counts the recorded lines of a level whose text is exactly `text`.
int CountTraced(int level, const std::string& text);

// Registry helpers in the 32-bit view below HKLM (the sandbox).
bool PutValue(const std::wstring& key, const std::wstring& name, DWORD type, const std::string& bytes);
std::string WideBytes(const std::wstring& text, bool terminated = true);

// Writes a file in one piece; false when it cannot be written.
bool WriteBytes(const std::wstring& path, const std::string& bytes);

}  // namespace badinput
