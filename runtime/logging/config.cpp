#include "runtime/logging/config.h"

#include "runtime/registry/registry.h"

namespace {
constexpr int view64 = 2;
}

namespace logconfig {

// A value of the wrong type throws inside the lookup; here it counts as unreadable, as logging never throws.
bool readDword(const std::wstring& name, DWORD& value) noexcept {
    try {
        DWORD data = 0;
        if (registry::lookup(HKEY_LOCAL_MACHINE, key, name, data, view64) != ERROR_SUCCESS) return false;
        value = data;
        return true;
    } catch (...) {
        return false;
    }
}

bool readString(const std::wstring& name, std::wstring& value) noexcept {
    try {
        std::wstring text;
        if (registry::lookup(HKEY_LOCAL_MACHINE, key, name, text, REG_SZ, view64) != ERROR_SUCCESS) return false;
        value = std::move(text);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace logconfig
