#pragma once
// The state of the trace module in this process: switches, per-category masks and listeners.
// Every member may be called from any thread at any time.
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "TraceFileSink.h"
#include "TraceLocks.h"
#include "TraceText.h"

namespace vemo::tracemodule {

// Results of the int exports.
enum TraceResult : int {
    kOk = 0,
    kInvalidArgument = 1,
    kNotFound = 2,
    kWriteFailed = 3,
    kInternalError = 4,  // an exception stopped at the export boundary
};

class TraceSystem {
public:
    // Reads the registry the first time only.
    void EnsureConfigured();
    // Reads the registry again; run-time changes of masks are dropped, added listeners stay.
    void Reconfigure();
    // Writes what is queued, then releases every open file; a later line opens its file again.
    void CloseSinks();
    // Returns once every line queued before the call is in its file (or after a bound).
    void Flush();
    // The process ends: the writer threads are gone, the detaching thread writes what is queued.
    void FlushAtProcessExit() noexcept;
    // Counts every change of the switches and masks, so a caller may keep an answer until it moves.
    const volatile LONG* SettingsGeneration() const noexcept { return &m_settingsGeneration; }

    bool IsEnabled();
    void SetEnabled(bool enabled);
    int LevelMask();
    void SetLevelMask(int mask);
    bool ShouldTrace(int level);
    bool ShouldTraceCategory(int level, std::string_view category);
    int CategoryMask(std::string_view category);
    void SetCategoryMask(std::string_view category, int mask);
    TraceResult RemoveCategory(std::string_view category);
    void RemoveAllCategories();

    // Writes text as one record to every listener that takes the category, if the level is on for it.
    TraceResult Write(int level, std::string_view category, std::string_view text);

    bool ListenerExists(std::string_view name);
    TraceResult RestrictListener(std::string_view name, std::string_view category);
    // Adds the listener, or limits an existing one as RestrictListener does.
    TraceResult AddConsoleListener(std::string_view category);
    TraceResult AddFileListener(std::string_view category, std::string_view path);
    TraceResult RemoveListenerCategory(std::string_view name, std::string_view category);
    TraceResult RemoveListener(std::string_view name);

private:
    struct Listener {
        std::string name;
        bool allCategories = true;
        std::set<std::string, LessNoCase> categories;  // when not all
        std::shared_ptr<TraceFileSink> file;           // null: standard error
        bool Takes(std::string_view category) const;
    };

    // The category masks as readers see them: built anew on every change and never changed
    // afterwards, so a question about a category takes no lock.
    struct CategoryTable {
        std::vector<std::pair<std::string, int>> entries;  // ordered by LessNoCase
        const int* Find(std::string_view category) const;
    };

    void ApplyRegistry();  // with m_lock held exclusively
    void SettingsChanged() noexcept { ::InterlockedIncrement(&m_settingsGeneration); }
    void PublishCategories();  // with m_lock held exclusively, after every change of m_categoryMasks
    int MaskFor(std::string_view category) const;  // lock-free
    Listener* FindListener(std::string_view name);  // with m_lock held
    // A listener limited to one more category, or opened to all of them for an empty category.
    static TraceResult RestrictLocked(Listener* listener, std::string_view category);
    TraceResult AddListener(std::string_view name, std::string_view category, std::shared_ptr<TraceFileSink> file);
    bool WriteConsole(std::string_view bytes);

    volatile LONG m_settingsGeneration = 0;
    RotationLimits m_limits;  // as configured, for every file listener
    std::atomic<bool> m_configured{false};
    std::atomic<bool> m_enabled{false};
    std::atomic<int> m_levelMask{0};
    SrwLock m_lock;  // guards the maps below; writers share it, changes take it alone
    std::map<std::string, int, LessNoCase> m_categoryMasks;
    std::atomic<const CategoryTable*> m_categoryTable{nullptr};
    // Every table ever published: a reader may still hold an older one. Masks change a few times
    // in a process's life, so keeping them costs bytes, and readers never wait.
    std::vector<std::unique_ptr<CategoryTable>> m_publishedTables;
    std::vector<Listener> m_listeners;
    SrwLock m_consoleLock;
};

TraceSystem& GetTraceSystem();
// The instance if a call made it, else null: the detach path must not make one.
TraceSystem* ExistingTraceSystem() noexcept;

}  // namespace vemo::tracemodule
