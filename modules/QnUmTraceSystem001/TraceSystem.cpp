#include "TraceSystem.h"

#include <algorithm>
#include <shared_mutex>

#include "QnUmTraceSystem001/TraceSettings.h"
#include "TraceConfig.h"
#include "TraceLine.h"

namespace vemo::tracemodule {

bool TraceSystem::Listener::Takes(std::string_view category) const {
    return allCategories || categories.find(category) != categories.end();
}

namespace {
// Never destroyed: its writer threads may outlive the C++ run-time's exit handlers, and the
// detach path flushes it after them.
std::atomic<TraceSystem*> g_system{nullptr};
// A line at one of these levels is in the file before its call returns.
constexpr int kDurableLevels = 1 | 2;  // exception, error
}  // namespace

TraceSystem& GetTraceSystem() {
    static TraceSystem* const system = [] {
        auto* made = new TraceSystem;
        g_system.store(made, std::memory_order_release);
        return made;
    }();
    return *system;
}

TraceSystem* ExistingTraceSystem() noexcept { return g_system.load(std::memory_order_acquire); }

void TraceSystem::EnsureConfigured() {
    if (m_configured.load(std::memory_order_acquire)) return;
    std::unique_lock lock(m_lock);
    if (m_configured.load(std::memory_order_relaxed)) return;
    ApplyRegistry();
    m_configured.store(true, std::memory_order_release);
    SettingsChanged();
}

void TraceSystem::Reconfigure() {
    std::unique_lock lock(m_lock);
    ApplyRegistry();
    m_configured.store(true, std::memory_order_release);
    SettingsChanged();
}

void TraceSystem::ApplyRegistry() {
    TraceConfig config = ReadTraceConfig();
    m_enabled.store(config.enabled, std::memory_order_relaxed);
    m_levelMask.store(config.levelMask, std::memory_order_relaxed);
    m_categoryMasks.clear();
    for (auto& [name, mask] : config.categoryMasks) m_categoryMasks[name] = mask;
    PublishCategories();
    m_limits = RotationLimits{config.maxFileBytes, config.keptFiles};
    for (Listener& listener : m_listeners) {
        if (listener.file) listener.file->SetLimits(m_limits);
    }

    // The configured file listener comes back as configured, even if it was removed or restricted.
    Listener* file = FindListener(kFileListener);
    if (!file) {
        file = &m_listeners.emplace_back();
        file->name = kFileListener;
    }
    file->allCategories = true;
    file->categories.clear();
    if (!file->file || file->file->path() != config.traceFile) {
        file->file = std::make_shared<TraceFileSink>(config.traceFile, m_limits);
    }
}

void TraceSystem::CloseSinks() {
    std::shared_lock lock(m_lock);
    for (Listener& listener : m_listeners) {
        if (listener.file) listener.file->Close();
    }
}

void TraceSystem::Flush() {
    std::shared_lock lock(m_lock);
    for (Listener& listener : m_listeners) {
        if (listener.file) listener.file->Flush();
    }
}

void TraceSystem::FlushAtProcessExit() noexcept {
    // No lock: a thread that died holding m_lock would keep it for good.
    for (Listener& listener : m_listeners) {
        if (listener.file) listener.file->FlushAtProcessExit();
    }
}

bool TraceSystem::IsEnabled() {
    EnsureConfigured();
    return m_enabled.load(std::memory_order_relaxed);
}

void TraceSystem::SetEnabled(bool enabled) {
    EnsureConfigured();
    m_enabled.store(enabled, std::memory_order_relaxed);
    SettingsChanged();
}

int TraceSystem::LevelMask() {
    EnsureConfigured();
    return m_levelMask.load(std::memory_order_relaxed);
}

void TraceSystem::SetLevelMask(int mask) {
    EnsureConfigured();
    m_levelMask.store(mask, std::memory_order_relaxed);
    SettingsChanged();
}

bool TraceSystem::ShouldTrace(int level) {
    EnsureConfigured();
    return m_enabled.load(std::memory_order_relaxed) && (m_levelMask.load(std::memory_order_relaxed) & level) != 0;
}

const int* TraceSystem::CategoryTable::Find(std::string_view category) const {
    const auto it = std::lower_bound(entries.begin(), entries.end(), category,
                                     [](const auto& entry, std::string_view key) { return LessNoCase{}(entry.first, key); });
    return it != entries.end() && EqualsNoCase(it->first, category) ? &it->second : nullptr;
}

void TraceSystem::PublishCategories() {
    auto table = std::make_unique<CategoryTable>();
    table->entries.assign(m_categoryMasks.begin(), m_categoryMasks.end());  // the map's order is LessNoCase
    m_categoryTable.store(table.get(), std::memory_order_release);
    m_publishedTables.push_back(std::move(table));
    SettingsChanged();
}

int TraceSystem::MaskFor(std::string_view category) const {
    const CategoryTable* table = m_categoryTable.load(std::memory_order_acquire);
    const int* mask = table ? table->Find(category) : nullptr;
    return mask ? *mask : m_levelMask.load(std::memory_order_relaxed);
}

bool TraceSystem::ShouldTraceCategory(int level, std::string_view category) {
    EnsureConfigured();
    if (!m_enabled.load(std::memory_order_relaxed) || category.empty()) return false;
    return (MaskFor(category) & level) != 0;
}

int TraceSystem::CategoryMask(std::string_view category) {
    EnsureConfigured();
    return MaskFor(category);
}

void TraceSystem::SetCategoryMask(std::string_view category, int mask) {
    EnsureConfigured();
    if (category.empty()) return;
    std::unique_lock lock(m_lock);
    const auto it = m_categoryMasks.find(category);
    if (it != m_categoryMasks.end()) {
        it->second = mask;
    } else {
        m_categoryMasks.emplace(std::string(category), mask);
    }
    PublishCategories();
}

TraceResult TraceSystem::RemoveCategory(std::string_view category) {
    EnsureConfigured();
    std::unique_lock lock(m_lock);
    const auto it = m_categoryMasks.find(category);
    if (it == m_categoryMasks.end()) return kNotFound;
    m_categoryMasks.erase(it);
    PublishCategories();
    return kOk;
}

void TraceSystem::RemoveAllCategories() {
    EnsureConfigured();
    std::unique_lock lock(m_lock);
    m_categoryMasks.clear();
    PublishCategories();
}

TraceResult TraceSystem::Write(int level, std::string_view category, std::string_view text) {
    EnsureConfigured();
    if (!m_enabled.load(std::memory_order_relaxed) || category.empty()) return kOk;
    std::shared_lock lock(m_lock);
    if ((MaskFor(category) & level) == 0) return kOk;
    std::string record;
    AppendRecord(record, level, category, text);
    const bool durable = (level & kDurableLevels) != 0;
    bool written = true;
    for (const Listener& listener : m_listeners) {
        if (!listener.Takes(category)) continue;
        written &= listener.file ? listener.file->Append(record, durable) : WriteConsole(record);
    }
    return written ? kOk : kWriteFailed;
}

bool TraceSystem::WriteConsole(std::string_view bytes) {
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    // A service has no standard error: nothing to write to is no failure.
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return true;
    std::lock_guard<SrwLock> lock(m_consoleLock);
    DWORD written = 0;
    return ::WriteFile(error, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

TraceSystem::Listener* TraceSystem::FindListener(std::string_view name) {
    for (Listener& listener : m_listeners) {
        if (EqualsNoCase(listener.name, name)) return &listener;
    }
    return nullptr;
}

bool TraceSystem::ListenerExists(std::string_view name) {
    EnsureConfigured();
    std::shared_lock lock(m_lock);
    return FindListener(name) != nullptr;
}

TraceResult TraceSystem::RestrictLocked(Listener* listener, std::string_view category) {
    if (!listener) return kNotFound;
    if (category.empty()) {
        listener->allCategories = true;
        listener->categories.clear();
        return kOk;
    }
    if (listener->allCategories) listener->categories.clear();
    listener->allCategories = false;
    listener->categories.emplace(category);
    return kOk;
}

TraceResult TraceSystem::RestrictListener(std::string_view name, std::string_view category) {
    EnsureConfigured();
    std::unique_lock lock(m_lock);
    return RestrictLocked(FindListener(name), category);
}

TraceResult TraceSystem::AddListener(std::string_view name, std::string_view category,
                                     std::shared_ptr<TraceFileSink> file) {
    std::unique_lock lock(m_lock);
    Listener* listener = FindListener(name);
    if (!listener) {
        listener = &m_listeners.emplace_back();
        listener->name = name;
        listener->file = std::move(file);
    }
    return RestrictLocked(listener, category);
}

TraceResult TraceSystem::AddConsoleListener(std::string_view category) {
    EnsureConfigured();
    return AddListener(kConsoleListener, category, nullptr);
}

TraceResult TraceSystem::AddFileListener(std::string_view category, std::string_view path) {
    EnsureConfigured();
    if (path.empty()) return kInvalidArgument;
    // ISO 8859-1 bytes map one to one onto the first 256 code points.
    std::wstring widePath;
    for (char c : path) widePath.push_back(static_cast<unsigned char>(c));
    RotationLimits limits;
    {
        std::shared_lock lock(m_lock);
        limits = m_limits;
    }
    return AddListener(path, category, std::make_shared<TraceFileSink>(ExpandEnvironment(widePath), limits));
}

TraceResult TraceSystem::RemoveListenerCategory(std::string_view name, std::string_view category) {
    EnsureConfigured();
    std::unique_lock lock(m_lock);
    Listener* listener = FindListener(name);
    if (!listener) return kNotFound;
    if (listener->allCategories) return kNotFound;
    const auto it = listener->categories.find(category);
    if (it == listener->categories.end()) return kNotFound;
    listener->categories.erase(it);
    return kOk;
}

TraceResult TraceSystem::RemoveListener(std::string_view name) {
    EnsureConfigured();
    std::unique_lock lock(m_lock);
    for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it) {
        if (EqualsNoCase(it->name, name)) {
            m_listeners.erase(it);
            return kOk;
        }
    }
    return kNotFound;
}

}  // namespace vemo::tracemodule
