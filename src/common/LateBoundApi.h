#pragma once
// Functions of ole32 and oleaut32 that the product calls, bound on their first call; shell32's are in
// LateBoundShell.h (its header renames members called ShellExecute). Importing these three DLLs cost
// the service a third of its start (each brings a tree of DLLs along), and nothing before RUNNING
// needs them. Each is loaded from the system directory by full path and stays loaded for the life of
// the process. A function that cannot be bound fails as the API itself would.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <string>

namespace vemo::late {
namespace detail {

inline constexpr wchar_t kOle32[] = L"ole32.dll";
inline constexpr wchar_t kOleAut32[] = L"oleaut32.dll";

inline FARPROC BindSystemFunction(const wchar_t* dll, const char* name) noexcept {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    try {
        const std::wstring path = std::wstring(directory, length) + L"\\" + dll;
        const HMODULE module = ::LoadLibraryW(path.c_str());
        return module ? ::GetProcAddress(module, name) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

// One binding per function. Not a function-local static: its guard would let a second thread
// wait for a first that itself waits for the loader lock, which a loading DLL may hold while it
// calls here. Two threads may both bind; they get the same address.
template <typename Fn, const wchar_t* Dll, const char* Name>
Fn* Bound() noexcept {
    static std::atomic<Fn*> function{nullptr};  // constant-initialised: no guard
    Fn* bound = function.load(std::memory_order_acquire);
    if (!bound) {
        bound = reinterpret_cast<Fn*>(BindSystemFunction(Dll, Name));
        function.store(bound, std::memory_order_release);
    }
    return bound;
}

inline constexpr char kCoInitializeEx[] = "CoInitializeEx";
inline constexpr char kCoUninitialize[] = "CoUninitialize";
inline constexpr char kCoCreateInstance[] = "CoCreateInstance";
inline constexpr char kCoTaskMemFree[] = "CoTaskMemFree";
inline constexpr char kSysAllocString[] = "SysAllocString";
inline constexpr char kSysStringLen[] = "SysStringLen";
inline constexpr char kSysFreeString[] = "SysFreeString";
inline constexpr char kVariantInit[] = "VariantInit";
inline constexpr char kVariantClear[] = "VariantClear";

}  // namespace detail

inline HRESULT CoInitializeEx(void* reserved, DWORD coinit) noexcept {
    auto* fn = detail::Bound<decltype(::CoInitializeEx), detail::kOle32, detail::kCoInitializeEx>();
    return fn ? fn(reserved, coinit) : E_UNEXPECTED;
}
inline void CoUninitialize() noexcept {
    if (auto* fn = detail::Bound<decltype(::CoUninitialize), detail::kOle32, detail::kCoUninitialize>()) fn();
}
inline HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) noexcept {
    auto* fn = detail::Bound<decltype(::CoCreateInstance), detail::kOle32, detail::kCoCreateInstance>();
    if (fn) return fn(clsid, outer, context, iid, object);
    if (object) *object = nullptr;
    return REGDB_E_CLASSNOTREG;
}
inline void CoTaskMemFree(void* block) noexcept {
    if (!block) return;  // nothing to free: no reason to load ole32
    if (auto* fn = detail::Bound<decltype(::CoTaskMemFree), detail::kOle32, detail::kCoTaskMemFree>()) fn(block);
}

inline BSTR SysAllocString(const OLECHAR* text) noexcept {
    auto* fn = detail::Bound<decltype(::SysAllocString), detail::kOleAut32, detail::kSysAllocString>();
    return fn ? fn(text) : nullptr;
}
inline UINT SysStringLen(BSTR text) noexcept {
    auto* fn = detail::Bound<decltype(::SysStringLen), detail::kOleAut32, detail::kSysStringLen>();
    return fn && text ? fn(text) : 0;
}
inline void SysFreeString(BSTR text) noexcept {
    if (!text) return;
    if (auto* fn = detail::Bound<decltype(::SysFreeString), detail::kOleAut32, detail::kSysFreeString>()) fn(text);
}
inline void VariantInit(VARIANT* variant) noexcept {
    if (auto* fn = detail::Bound<decltype(::VariantInit), detail::kOleAut32, detail::kVariantInit>()) {
        fn(variant);
    } else {
        variant->vt = VT_EMPTY;
    }
}
inline HRESULT VariantClear(VARIANT* variant) noexcept {
    auto* fn = detail::Bound<decltype(::VariantClear), detail::kOleAut32, detail::kVariantClear>();
    return fn ? fn(variant) : E_UNEXPECTED;
}

}  // namespace vemo::late
