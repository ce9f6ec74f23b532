#pragma once
// The bad-input suite's harness: a seeded generator, the case loop with its counts and replay,
// heap checks, and the text helpers the generators share.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace badinput {

// SplitMix64: small, fast and the same on every machine, so a seed replays a case exactly.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t Next();
    // Uniform in [0, bound); bound 0 gives 0.
    uint32_t Below(uint32_t bound);
    int Between(int low, int high);  // inclusive
    bool Chance(uint32_t percent) { return Below(100) < percent; }
    template <typename T, size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(N)];
    }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[Below(static_cast<uint32_t>(items.size()))];
    }

private:
    uint64_t m_state;
};

// --- the case loop -------------------------------------------------------------------------

// One kind of generated input as a test parameter: its counts in the short and the long form.
struct Group {
    const char* kind;
    const char* name;
    int shortForm;
    int longForm;
    void (*body)(Rng&);
};

// Runs the cases of one kind of input: shortForm of them in ctest, longForm with
// VEMO_RELIABILITY_LONG=1. Each case gets its own seed, printed with any failure; the loop stops
// at the first failing case of the kind. VEMO_BADINPUT_SEED changes the master seed;
// VEMO_BADINPUT_REPLAY=<kind>:<seed> runs that one case only. The heaps are checked after every
// batch of cases and at the end.
void RunCases(const char* kind, int shortForm, int longForm, const std::function<void(Rng&)>& body);
inline void RunCases(const Group& group) { RunCases(group.kind, group.shortForm, group.longForm, group.body); }

// The parameterised test's name for a group.
struct GroupName {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return info.param.name;
    }
};

// Counted towards the summary line by RunCases; a group that splits a case into several
// inputs reports the extra ones here.
void CountExtra(const char* kind, int n);

// True when every heap of the process (the process heap and the CRT's) passes validation.
bool HeapsValid();

// --- text ------------------------------------------------------------------------------------

// UTF-16 to UTF-8 (a surrogate pair becomes one 4-byte sequence).
std::string Utf8(const std::wstring& text);
std::string Utf16(const std::wstring& text, bool bigEndian);
// The code page's bytes, or nothing when a character cannot be written in it.
bool SingleByte(const std::wstring& text, UINT codePage, std::string& bytes);
std::string Hex(uint64_t value);

// The suite's scratch key below HKCU that HKLM of this process is redirected to.
inline constexpr wchar_t kSandboxRoot[] = L"Software\\VeMoBadInputTests";

}  // namespace badinput
