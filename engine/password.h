#pragma once
// Random passwords from the system's cryptographic generator.
#include <windows.h>
#include <msi.h>

#include <cstdint>
#include <string>

// `length` characters (empty below 1), the classes digits, upper case, lower case and specials in
// rotation, then shuffled.
std::wstring generatePassword(int32_t length);

// A uniformly distributed number below `bound` (bound > 0).
uint32_t randomBelow(uint32_t bound);

// The property that names the property to receive the password.
inline constexpr const wchar_t* passwordTargetProperty = L"GET_PASSWORD_PROPERTY";

// The custom action: a new 16-character password into the property named by "GET_PASSWORD_PROPERTY".
UINT runGetPassword(MSIHANDLE install);
