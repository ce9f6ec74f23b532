#include "tracing/Trace.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <memory>

#include "common/WideFormat.h"
#include "tracing/TraceSystemBinding.h"

namespace vemo::tracing {

size_t NarrowLatin1(const wchar_t* pszWide, char* pszDest, size_t nDest) {
    if (!pszDest || nDest == 0) return 0;
    pszDest[0] = '\0';
    if (!pszWide) return 0;
    size_t n = 0;
    for (const wchar_t* p = pszWide; *p; ++p) {
        if (static_cast<unsigned>(*p) > 0xFF) {
            pszDest[0] = '\0';
            return 0;
        }
        if (n + 1 < nDest) pszDest[n++] = static_cast<char>(static_cast<unsigned char>(*p));
    }
    pszDest[n] = '\0';
    return n;
}

namespace {

// An operation binds the module when it finds its own entry point unset.
template <typename Fn>
Fn EntryPoint(std::atomic<Fn> TraceSystemBinding::*slot) {
    TraceSystemBinding& b = GetTraceSystemBinding();
    Fn fn = (b.*slot).load();
    if (!fn && BindTraceSystem()) fn = (b.*slot).load();
    return fn;
}

void Write(int level, const char* pszCategory, const char* pszText) {
    if (auto fn = EntryPoint(&TraceSystemBinding::ExpWrite)) fn(level, pszCategory, pszText);
}

constexpr size_t kStackFormatChars = kMessageBytes + 1;

// Formats into pszDest (kMessageBytes bytes, narrowed); an uncountable format leaves it empty.
void FormatMessageLatin1(char* pszDest, const wchar_t* pszFormat, va_list args) {
    std::memset(pszDest, 0, kMessageBytes);
    const int count = vemo::CountFormatW(pszFormat, args);
    if (count < 0) return;
    if (static_cast<size_t>(count) < kStackFormatChars) {
        wchar_t text[kStackFormatChars];
        vemo::VFormatToBufferW(text, kStackFormatChars, pszFormat, args);
        NarrowLatin1(text, pszDest, kMessageBytes);
    } else {
        auto text = std::make_unique<wchar_t[]>(static_cast<size_t>(count) + 1);
        vemo::VFormatToBufferW(text.get(), static_cast<size_t>(count) + 1, pszFormat, args);
        NarrowLatin1(text.get(), pszDest, kMessageBytes);
    }
}

// The module's answers about wide categories, kept until its settings change (it counts every
// change in a generation). A disabled scope then costs a lookup here instead of a narrowing and
// a call. Slots are keyed by the category's address and checked against its text, so a buffer
// reused for another category is never taken for the old one. Each slot is a sequence lock:
// readers never wait, a writer that finds the slot busy simply does not store.
class CategoryAnswerCache {
public:
    static bool Cacheable(int level) { return level > 0 && level <= kMaxCachedLevel && (level & (level - 1)) == 0; }

    bool Find(const wchar_t* category, int level, LONG generation, bool& answer) const {
        const Slot& slot = m_slots[Index(category)];
        const unsigned before = slot.sequence.load(std::memory_order_acquire);
        if (before & 1) return false;
        if (slot.key.load(std::memory_order_relaxed) != category) return false;
        const unsigned answers = slot.answers.load(std::memory_order_relaxed);
        if ((answers & static_cast<unsigned>(level)) == 0) return false;
        // A literal in a module's read-only image cannot change under its address: no text to compare.
        if (!slot.immutable.load(std::memory_order_relaxed) || slot.generation.load(std::memory_order_relaxed) != generation) {
            if (!Matches(slot, category, generation)) return false;
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (slot.sequence.load(std::memory_order_relaxed) != before) return false;
        answer = ((answers >> kTrueShift) & static_cast<unsigned>(level)) != 0;
        return true;
    }

    void Store(const wchar_t* category, int level, LONG generation, bool answer) {
        const size_t length = ::wcsnlen(category, kTextChars);
        if (length >= kTextChars) return;
        Slot& slot = m_slots[Index(category)];
        unsigned before = slot.sequence.load(std::memory_order_relaxed);
        if ((before & 1) || !slot.sequence.compare_exchange_strong(before, before + 1, std::memory_order_acquire)) {
            return;
        }
        unsigned answers = Matches(slot, category, generation) ? slot.answers.load(std::memory_order_relaxed) : 0;
        answers |= static_cast<unsigned>(level) | (answer ? static_cast<unsigned>(level) << kTrueShift : 0);
        slot.key.store(category, std::memory_order_relaxed);
        slot.immutable.store(InReadOnlyImage(category), std::memory_order_relaxed);
        slot.generation.store(generation, std::memory_order_relaxed);
        for (size_t i = 0; i <= length; ++i) slot.text[i].store(category[i], std::memory_order_relaxed);
        slot.answers.store(answers, std::memory_order_relaxed);
        slot.sequence.store(before + 2, std::memory_order_release);
    }

private:
    static constexpr size_t kSlots = 64;
    static constexpr size_t kTextChars = 48;  // longer categories are always asked
    static constexpr int kMaxCachedLevel = 0x8000;
    static constexpr unsigned kTrueShift = 16;  // low half: levels asked, high half: answered true

    struct Slot {
        std::atomic<unsigned> sequence{0};
        std::atomic<const wchar_t*> key{nullptr};
        std::atomic<LONG> generation{0};
        std::atomic<unsigned> answers{0};
        std::atomic<bool> immutable{false};
        std::atomic<wchar_t> text[kTextChars]{};
    };

    static bool InReadOnlyImage(const wchar_t* text) {
        MEMORY_BASIC_INFORMATION info{};
        if (::VirtualQuery(text, &info, sizeof(info)) != sizeof(info)) return false;
        constexpr DWORD kReadOnly = PAGE_READONLY | PAGE_EXECUTE_READ;
        return info.Type == MEM_IMAGE && (info.Protect & kReadOnly) != 0;
    }

    static size_t Index(const wchar_t* category) {
        const auto address = reinterpret_cast<uintptr_t>(category);
        return ((address >> 1) ^ (address >> 7)) % kSlots;
    }

    static bool Matches(const Slot& slot, const wchar_t* category, LONG generation) {
        if (slot.key.load(std::memory_order_relaxed) != category ||
            slot.generation.load(std::memory_order_relaxed) != generation) {
            return false;
        }
        for (size_t i = 0; i < kTextChars; ++i) {
            const wchar_t c = slot.text[i].load(std::memory_order_relaxed);
            if (c != category[i]) return false;
            if (c == L'\0') return true;
        }
        return false;
    }

    Slot m_slots[kSlots];
};

CategoryAnswerCache g_categoryAnswers;

}  // namespace
}  // namespace vemo::tracing

using namespace vemo::tracing;

bool TraceShouldTrace(int level) {
    auto fn = EntryPoint(&TraceSystemBinding::ExpShouldTrace);
    return fn && fn(level);
}

bool TraceShouldTraceCategory(int level, const char* pszCategory) {
    if (!pszCategory || !*pszCategory) return false;
    auto fn = EntryPoint(&TraceSystemBinding::ExpShouldTraceCategory);
    return fn && fn(level, pszCategory);
}

bool TraceShouldTraceCategoryW(int level, const wchar_t* pszCategory) {
    const volatile LONG* generation = GetTraceSystemBinding().settingsGeneration.load(std::memory_order_acquire);
    const bool cacheable = generation && pszCategory && CategoryAnswerCache::Cacheable(level);
    // Read before asking: a change in between leaves the answer under an older generation.
    const LONG current = cacheable ? *generation : 0;
    bool answer = false;
    if (cacheable && g_categoryAnswers.Find(pszCategory, level, current, answer)) return answer;
    char category[kCategoryBytes];
    NarrowLatin1(pszCategory, category, sizeof(category));
    answer = TraceShouldTraceCategory(level, category);
    if (cacheable) g_categoryAnswers.Store(pszCategory, level, current, answer);
    return answer;
}

void TraceFlush() {
    try {
        if (auto fn = GetTraceSystemBinding().ExpFlushTraceSystem.load()) fn();
    } catch (...) {
    }
}

void TraceWrite(int level, const char* pszCategory, const char* pszText) {
    try {
        if (!TraceShouldTrace(level)) return;
        if (!pszCategory || !*pszCategory || !pszText) return;
        Write(level, pszCategory, pszText);
    } catch (...) {
    }
}

void TraceWriteW(int level, const wchar_t* pszCategory, const wchar_t* pszText) {
    try {
        if (!TraceShouldTrace(level)) return;
        if (!pszCategory || !*pszCategory || !pszText) return;
        char category[kCategoryBytes + 1];
        char text[kMessageBytes];
        NarrowLatin1(pszCategory, category, kCategoryBytes);
        NarrowLatin1(pszText, text, sizeof(text));
        if (!*category) return;
        Write(level, category, text);
    } catch (...) {
    }
}

void TraceFormatW(int level, const wchar_t* pszCategory, const wchar_t* pszFormat, ...) {
    try {
        if (!pszCategory || !*pszCategory || !pszFormat) return;
        if (!TraceShouldTrace(level)) return;
        char text[kMessageBytes];
        va_list args;
        va_start(args, pszFormat);
        FormatMessageLatin1(text, pszFormat, args);
        va_end(args);
        char category[kCategoryBytes + 1];
        NarrowLatin1(pszCategory, category, kCategoryBytes);
        if (!*category) return;
        Write(level, category, text);
    } catch (...) {
    }
}
