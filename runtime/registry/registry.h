#pragma once
// Registry keys and values. Reads hand back the Win32 status so that a missing setting falls back to its
// default; a value of the wrong type or size throws, because it means the setting is corrupt. Opening,
// creating and writing throw on failure.
#include <windows.h>

#include <string>

#include "runtime/holder.h"

namespace registry {

// Access bits of a view selector: 1 the 32-bit view, 2 or 3 the 64-bit view, anything else the process's own.
REGSAM viewAccess(int view) noexcept;

tarvo::unique_hkey create(HKEY root, const std::wstring& subkey, REGSAM access);
tarvo::unique_hkey open(HKEY root, const std::wstring& subkey, REGSAM access);

// A key opened (openOnly) or created with `access`; closed when the object goes.
class Key : public tarvo::unique_hkey {
public:
    Key(HKEY root, const std::wstring& subkey, REGSAM access, bool openOnly);
};

bool keyExists(HKEY root, const std::wstring& subkey, int view);

// REG_SZ or REG_EXPAND_SZ (returned expanded) from a key opened with KEY_QUERY_VALUE.
LSTATUS lookup(HKEY key, const std::wstring& name, std::wstring& value);
LSTATUS lookup(HKEY key, const std::wstring& name, DWORD& value);
LSTATUS lookup(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD& value, int view);
// The value must be of `expectedType`; REG_SZ and REG_EXPAND_SZ stand in for each other.
LSTATUS lookup(HKEY root, const std::wstring& subkey, const std::wstring& name, std::wstring& value,
               DWORD expectedType, int view);
// The REG_SZ (or REG_EXPAND_SZ) value; a missing key or value throws.
std::wstring getstr(HKEY root, const std::wstring& subkey, const std::wstring& name, int view);

// REG_SZ with its terminator.
void set(HKEY key, const std::wstring& name, const std::wstring& text);
void set(HKEY key, const std::wstring& name, DWORD value);

}  // namespace registry
