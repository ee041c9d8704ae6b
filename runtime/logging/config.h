#pragma once
// The runtime's settings under HKLM "SOFTWARE\Tarvo\HVC Config\Config", 64-bit view.
#include <windows.h>

#include <string>

namespace logconfig {
constexpr const wchar_t* key = L"SOFTWARE\\Tarvo\\HVC Config\\Config";
// False (and `value` untouched) when the value is absent or unreadable.
bool readDword(const std::wstring& name, DWORD& value) noexcept;
bool readString(const std::wstring& name, std::wstring& value) noexcept;
}  // namespace logconfig
