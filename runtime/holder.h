#pragma once
// Owning holders for OS resources: one template, one alias per resource kind.
#include <windows.h>
#include <oleauto.h>
#include <rpc.h>
#include <utility>

namespace tarvo {

template <typename T, auto Close, auto Invalid>
class unique_any {
public:
    using pointer = T;

    unique_any() noexcept : value_(Invalid()) {}
    explicit unique_any(T value) noexcept : value_(value) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_any() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Invalid(); }

    // Closes the held value (if any) and takes ownership of a new one.
    void reset(T value = Invalid()) noexcept {
        if (value_ != Invalid()) Close(value_);
        value_ = value;
    }
    [[nodiscard]] T release() noexcept { return std::exchange(value_, Invalid()); }

    // Out-parameter access for APIs that create the resource: releases the old value first.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_;
};

namespace detail {
inline void closeHandle(HANDLE h) noexcept { ::CloseHandle(h); }
inline void closeKey(HKEY k) noexcept { ::RegCloseKey(k); }
inline void freeBstr(BSTR b) noexcept { ::SysFreeString(b); }
inline void localFree(HLOCAL p) noexcept { ::LocalFree(p); }
inline void freeSid(PSID p) noexcept { ::FreeSid(p); }
inline void findClose(HANDLE h) noexcept { ::FindClose(h); }
inline void freeLibrary(HMODULE m) noexcept { ::FreeLibrary(m); }
inline void deregisterEventSource(HANDLE h) noexcept { ::DeregisterEventSource(h); }
inline void closeServiceHandle(SC_HANDLE h) noexcept { ::CloseServiceHandle(h); }
inline void rpcStringFree(RPC_WSTR s) noexcept { ::RpcStringFreeW(&s); }
inline void closeWindowStation(HWINSTA h) noexcept { ::CloseWindowStation(h); }
inline void closeDesktop(HDESK h) noexcept { ::CloseDesktop(h); }
template <typename T> constexpr T nullValue() noexcept { return T{}; }
inline HANDLE invalidHandleValue() noexcept { return INVALID_HANDLE_VALUE; }
}  // namespace detail

using unique_handle = unique_any<HANDLE, detail::closeHandle, detail::nullValue<HANDLE>>;
using unique_file = unique_any<HANDLE, detail::closeHandle, detail::invalidHandleValue>;
using unique_find = unique_any<HANDLE, detail::findClose, detail::invalidHandleValue>;
using unique_hkey = unique_any<HKEY, detail::closeKey, detail::nullValue<HKEY>>;
using unique_bstr = unique_any<BSTR, detail::freeBstr, detail::nullValue<BSTR>>;
using unique_hlocal = unique_any<HLOCAL, detail::localFree, detail::nullValue<HLOCAL>>;
using unique_sid = unique_any<PSID, detail::freeSid, detail::nullValue<PSID>>;
using unique_hmodule = unique_any<HMODULE, detail::freeLibrary, detail::nullValue<HMODULE>>;
using unique_event_source = unique_any<HANDLE, detail::deregisterEventSource, detail::nullValue<HANDLE>>;
using unique_schandle = unique_any<SC_HANDLE, detail::closeServiceHandle, detail::nullValue<SC_HANDLE>>;
using unique_rpc_wstr = unique_any<RPC_WSTR, detail::rpcStringFree, detail::nullValue<RPC_WSTR>>;
using unique_hwinsta = unique_any<HWINSTA, detail::closeWindowStation, detail::nullValue<HWINSTA>>;
using unique_hdesk = unique_any<HDESK, detail::closeDesktop, detail::nullValue<HDESK>>;

// Reference-counted COM interface pointer.
template <typename I>
class com_ptr {
public:
    com_ptr() noexcept = default;
    explicit com_ptr(I* p) noexcept : p_(p) {}  // adopts one reference
    com_ptr(const com_ptr& o) noexcept : p_(o.p_) { if (p_) p_->AddRef(); }
    com_ptr(com_ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    com_ptr& operator=(com_ptr o) noexcept { std::swap(p_, o.p_); return *this; }
    ~com_ptr() { if (p_) p_->Release(); }

    I* get() const noexcept { return p_; }
    I* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    I** put() noexcept { reset(); return &p_; }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void reset() noexcept { if (p_) std::exchange(p_, nullptr)->Release(); }

private:
    I* p_ = nullptr;
};

// VARIANT that is cleared when it goes out of scope.
struct unique_variant : VARIANT {
    unique_variant() noexcept { ::VariantInit(this); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { ::VariantClear(this); }
};

}  // namespace tarvo
