#include "runtime/logging/config.h"

namespace logconfig {

bool readDword(const std::wstring& name, DWORD& value) noexcept {
    DWORD data = 0, size = sizeof data;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name.c_str(), RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &data,
                       &size) != ERROR_SUCCESS)
        return false;
    value = data;
    return true;
}

bool readString(const std::wstring& name, std::wstring& value) noexcept {
    try {
        DWORD size = 0;
        // REG_SZ alone also admits REG_EXPAND_SZ values, returned expanded.
        constexpr DWORD flags = RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name.c_str(), flags, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return false;
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name.c_str(), flags, nullptr, text.data(), &size) != ERROR_SUCCESS)
            return false;
        text.resize(wcslen(text.c_str()));
        value = std::move(text);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace logconfig
