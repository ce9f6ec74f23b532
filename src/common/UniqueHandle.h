#pragma once
// Owning wrappers for every handle kind the program uses. One template over the close
// function and the invalid value; closing keeps the caller's last error, so an error path
// can trace GetLastError() after the handles went out of scope.
#include <windows.h>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "common/LateBoundApi.h"

namespace vemo {

template <typename T, auto CloseFn, intptr_t InvalidValue = 0>
class unique_any {
    // INVALID_HANDLE_VALUE is not a constant expression, so the invalid value is kept as a number.
    static T Invalid() noexcept {
        if constexpr (std::is_pointer_v<T>) {
            return reinterpret_cast<T>(InvalidValue);
        } else {
            return static_cast<T>(InvalidValue);
        }
    }

public:
    using pointer = T;

    unique_any() noexcept = default;
    explicit unique_any(T value) noexcept : m_value(value) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : m_value(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_any() { reset(); }

    void reset() noexcept { reset(Invalid()); }
    void reset(T value) noexcept {
        if (m_value != Invalid()) {
            const DWORD lastError = ::GetLastError();
            CloseFn(m_value);
            ::SetLastError(lastError);
        }
        m_value = value;
    }
    [[nodiscard]] T release() noexcept { return std::exchange(m_value, Invalid()); }
    T get() const noexcept { return m_value; }
    // For out-parameters: closes what is held first.
    T* put() noexcept {
        reset();
        return &m_value;
    }
    bool is_valid() const noexcept { return m_value != Invalid(); }
    explicit operator bool() const noexcept { return is_valid(); }

private:
    T m_value = Invalid();
};

namespace detail {
inline void CloseKernelHandle(HANDLE h) noexcept { ::CloseHandle(h); }
inline void CloseScHandle(SC_HANDLE h) noexcept { ::CloseServiceHandle(h); }
inline void CloseRegKey(HKEY h) noexcept { ::RegCloseKey(h); }
inline void UnloadModule(HMODULE h) noexcept { ::FreeLibrary(h); }
inline void FreeLocalMemory(HLOCAL h) noexcept { ::LocalFree(h); }
inline void FreeCoTaskMem(void* p) noexcept { vemo::late::CoTaskMemFree(p); }
inline void FreeBstr(BSTR s) noexcept { vemo::late::SysFreeString(s); }
inline void ReleaseMutexOwnership(HANDLE h) noexcept { ::ReleaseMutex(h); }
inline void CloseFind(HANDLE h) noexcept { ::FindClose(h); }
inline void FreeProcessHeapBlock(void* p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }
inline void UnmapView(const void* p) noexcept { ::UnmapViewOfFile(p); }
inline void DeregisterEventLog(HANDLE h) noexcept { ::DeregisterEventSource(h); }
}  // namespace detail

using unique_handle = unique_any<HANDLE, detail::CloseKernelHandle>;
using unique_hfile = unique_any<HANDLE, detail::CloseKernelHandle, -1>;  // INVALID_HANDLE_VALUE
using unique_hfind = unique_any<HANDLE, detail::CloseFind, -1>;  // FindFirstFile, INVALID_HANDLE_VALUE
using unique_schandle = unique_any<SC_HANDLE, detail::CloseScHandle>;
using unique_hkey = unique_any<HKEY, detail::CloseRegKey>;
using unique_hmodule = unique_any<HMODULE, detail::UnloadModule>;
using unique_hlocal = unique_any<HLOCAL, detail::FreeLocalMemory>;
using unique_cotaskmem = unique_any<void*, detail::FreeCoTaskMem>;
// A block from HeapAlloc(GetProcessHeap(), ...).
using unique_process_heap = unique_any<void*, detail::FreeProcessHeapBlock>;
using unique_bstr = unique_any<BSTR, detail::FreeBstr>;
// A view from MapViewOfFile.
using unique_mapview = unique_any<const void*, detail::UnmapView>;
using unique_event_source = unique_any<HANDLE, detail::DeregisterEventLog>;  // RegisterEventSource
// Ownership of an acquired mutex (not the handle): releases it at scope end.
using mutex_release_scope = unique_any<HANDLE, detail::ReleaseMutexOwnership>;

// Closes a key now and tells how that went, for a caller that reports a failed close.
inline LSTATUS close_reporting(unique_hkey& key) noexcept {
    return key ? ::RegCloseKey(key.release()) : ERROR_SUCCESS;
}

// Owning COM interface pointer.
template <typename T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(const com_ptr& other) noexcept : m_ptr(other.m_ptr) { if (m_ptr) m_ptr->AddRef(); }
    com_ptr(com_ptr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(m_ptr, other.m_ptr);
        return *this;
    }
    ~com_ptr() { reset(); }

    void reset() noexcept {
        if (T* p = std::exchange(m_ptr, nullptr)) p->Release();
    }
    T* get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    T** put() noexcept {
        reset();
        return &m_ptr;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    [[nodiscard]] T* release() noexcept { return std::exchange(m_ptr, nullptr); }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

    template <typename U>
    HRESULT query(com_ptr<U>& out) const noexcept {
        return m_ptr ? m_ptr->QueryInterface(__uuidof(U), out.put_void()) : E_POINTER;
    }

private:
    T* m_ptr = nullptr;
};

// COM initialised for the life of a scope.
class unique_couninitialize {
public:
    explicit unique_couninitialize(DWORD coinit = COINIT_APARTMENTTHREADED) noexcept
        : m_hr(vemo::late::CoInitializeEx(nullptr, coinit)) {}
    unique_couninitialize(const unique_couninitialize&) = delete;
    unique_couninitialize& operator=(const unique_couninitialize&) = delete;
    ~unique_couninitialize() {
        if (SUCCEEDED(m_hr)) vemo::late::CoUninitialize();
    }
    HRESULT result() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

// Owning VARIANT: cleared (releasing a BSTR or interface it holds) at scope end.
class unique_variant {
public:
    unique_variant() noexcept { vemo::late::VariantInit(&m_value); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { vemo::late::VariantClear(&m_value); }
    VARIANT* get() noexcept { return &m_value; }
    const VARIANT* get() const noexcept { return &m_value; }

private:
    VARIANT m_value;
};

}  // namespace vemo
