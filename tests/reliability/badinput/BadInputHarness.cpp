#include "BadInput.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>

#include "PluginDocuments.h"
#include "TestSupport.h"

namespace badinput {
namespace {

// The default master seed; any other comes from VEMO_BADINPUT_SEED.
constexpr uint64_t kDefaultMasterSeed = 0x5645'4D4F'4241'4431ull;
constexpr int kHeapCheckBatch = 64;
constexpr size_t kEnvChars = 128;
constexpr char kReplayVariable[] = "VEMO_BADINPUT_REPLAY";
constexpr char kSeedVariable[] = "VEMO_BADINPUT_SEED";

std::mutex g_countLock;
std::map<std::string, long long> g_counts;

// What a crash report names: written before each case, read by the filters below.
char g_currentCase[256] = "none";

std::string Environment(const char* name) {
    char value[kEnvChars] = {};
    const DWORD n = ::GetEnvironmentVariableA(name, value, kEnvChars);
    return n > 0 && n < kEnvChars ? std::string(value) : std::string();
}

uint64_t MasterSeed() {
    const std::string text = Environment(kSeedVariable);
    return text.empty() ? kDefaultMasterSeed : std::strtoull(text.c_str(), nullptr, 0);
}

uint64_t HashName(const char* text) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (; *text; ++text) h = (h ^ static_cast<unsigned char>(*text)) * 1099511628211ull;
    return h;
}

uint64_t CaseSeed(uint64_t master, const char* kind, int index) {
    Rng mix(master ^ HashName(kind) ^ (static_cast<uint64_t>(index) * 0x9E3779B97F4A7C15ull));
    return mix.Next();
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "\nCRASH 0x%08lX in bad-input case %s\n",
                 info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0ul, g_currentCase);
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

void ReportTerminate() {
    std::fprintf(stderr, "\nstd::terminate in bad-input case %s\n", g_currentCase);
    std::fflush(stderr);
    std::abort();
}

// Prints the counts once all groups ran; the long form's line goes into the documentation.
class SummaryEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ::SetUnhandledExceptionFilter(ReportCrash);
        std::set_terminate(ReportTerminate);
    }
    void TearDown() override {
        std::lock_guard lock(g_countLock);
        long long total = 0;
        std::string line;
        // "kind/variant" counts break a kind down; only whole kinds add up to the total.
        for (const auto& [kind, n] : g_counts) {
            line += " " + kind + "=" + std::to_string(n);
            if (kind.find('/') == std::string::npos) total += n;
        }
        std::printf("bad-input summary (%s form, master seed %s): total=%lld%s\n",
                    vemo::test::LongForm() ? "long" : "short", Hex(MasterSeed()).c_str(), total, line.c_str());
        std::fflush(stdout);
    }
};

[[maybe_unused]] ::testing::Environment* const g_summary =
    ::testing::AddGlobalTestEnvironment(new SummaryEnvironment);

}  // namespace

uint64_t Rng::Next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t Rng::Below(uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound); }

int Rng::Between(int low, int high) {
    return low + static_cast<int>(Below(static_cast<uint32_t>(high - low + 1)));
}

std::string Hex(uint64_t value) {
    char text[32] = {};
    std::snprintf(text, sizeof(text), "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

bool HeapsValid() {
    DWORD count = ::GetProcessHeaps(0, nullptr);
    std::vector<HANDLE> heaps(count + 16);
    count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    bool valid = count <= heaps.size();
    for (DWORD i = 0; valid && i < count; ++i) valid = ::HeapValidate(heaps[i], 0, nullptr) != FALSE;
    return valid && ::HeapValidate(::GetProcessHeap(), 0, nullptr) != FALSE && _heapchk() == _HEAPOK;
}

void CountExtra(const char* kind, int n) {
    std::lock_guard lock(g_countLock);
    g_counts[kind] += n;
}

void RunCases(const char* kind, int shortForm, int longForm, const std::function<void(Rng&)>& body) {
    const uint64_t master = MasterSeed();
    const std::string replay = Environment(kReplayVariable);
    const std::string replayPrefix = std::string(kind) + ":";
    std::vector<uint64_t> seeds;
    if (!replay.empty()) {
        if (replay.rfind(replayPrefix, 0) != 0) GTEST_SKIP() << "replaying " << replay;
        seeds.push_back(std::strtoull(replay.c_str() + replayPrefix.size(), nullptr, 16));
    } else {
        const int n = vemo::test::ScaledCount(shortForm, longForm);
        for (int i = 0; i < n; ++i) seeds.push_back(CaseSeed(master, kind, i));
    }

    int ran = 0;
    int batchStart = 0;
    for (size_t i = 0; i < seeds.size(); ++i) {
        const std::string name = std::string(kind) + " seed " + Hex(seeds[i]) + " (replay: " + kReplayVariable + "=" +
                                 kind + ":" + Hex(seeds[i]).substr(2) + ")";
        std::snprintf(g_currentCase, sizeof(g_currentCase), "%s", name.c_str());
        {
            SCOPED_TRACE(name);
            ForgetExpectations();
            Rng rng(seeds[i]);
            body(rng);
            ++ran;
        }
        if (::testing::Test::HasFailure()) break;
        if (ran - batchStart >= kHeapCheckBatch) {
            ASSERT_TRUE(HeapsValid()) << "a heap is damaged after the cases " << batchStart << " to " << ran - 1
                                      << " of " << kind;
            batchStart = ran;
        }
    }
    std::snprintf(g_currentCase, sizeof(g_currentCase), "%s (after its cases)", kind);
    EXPECT_TRUE(HeapsValid()) << "a heap is damaged after the cases " << batchStart << " to " << ran - 1 << " of "
                              << kind;
    CountExtra(kind, ran);
}

// --- text ------------------------------------------------------------------------------------

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string Utf16(const std::wstring& text, bool bigEndian) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const wchar_t c : text) {
        const char low = static_cast<char>(c & 0xFF);
        const char high = static_cast<char>((c >> 8) & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
    return out;
}

bool SingleByte(const std::wstring& text, UINT codePage, std::string& bytes) {
    bytes.clear();
    if (text.empty()) return true;
    BOOL usedDefault = FALSE;
    const int n = ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, &usedDefault);
    if (n <= 0 || usedDefault) return false;
    bytes.resize(static_cast<size_t>(n));
    ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()), bytes.data(),
                          n, nullptr, &usedDefault);
    return !usedDefault && bytes.size() == text.size();
}

}  // namespace badinput
