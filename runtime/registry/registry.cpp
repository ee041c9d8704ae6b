#include "runtime/registry/registry.h"

#include <cwchar>
#include <vector>

#include "runtime/errors/vexception.h"
#include "runtime/filesystem/vfilename.h"

namespace {

bool isString(DWORD type) noexcept { return type == REG_SZ || type == REG_EXPAND_SZ; }

// `where` is the value's name, prefixed with its subkey when the key was given by path.
[[noreturn]] void invalid(const wchar_t* what, const std::wstring& where) {
    throw vexception(L"RegQueryValueEx invalid " + std::wstring(what) + L" of '" + where + L"'",
                     errorFrame(L"", "registry::lookup"));
}

LSTATUS queryString(HKEY key, const std::wstring& name, std::wstring& value, DWORD expectedType,
                    const std::wstring& where) {
    DWORD longest = 0;
    if (const LSTATUS status = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, &longest, nullptr, nullptr))
        return status;
    // Room for the longest value plus a forced terminator, whatever the parity of its size.
    std::vector<wchar_t> buffer(longest / sizeof(wchar_t) + 2, L'\0');
    DWORD type = REG_NONE, size = longest + 1;
    if (const LSTATUS status =
            ::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size))
        return status;
    const bool accepted = isString(expectedType) ? isString(type) : type == expectedType;
    if (!accepted) invalid(L"type", where);
    buffer[size / sizeof(wchar_t)] = L'\0';
    std::wstring text(buffer.data(), wcslen(buffer.data()));
    value = type == REG_EXPAND_SZ ? VFileName::expandEnvironmentStrings(text) : std::move(text);
    return ERROR_SUCCESS;
}

LSTATUS queryDword(HKEY key, const std::wstring& name, DWORD& value, const std::wstring& where) {
    DWORD data = 0, type = REG_NONE, size = sizeof data;
    const LSTATUS status = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    // A larger value (a REG_QWORD, say) does not fit; it is still judged by its type and size below.
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
    if (type != REG_DWORD) invalid(L"type", where);
    if (size != sizeof data) invalid(L"size", where);
    value = data;
    return ERROR_SUCCESS;
}

}  // namespace

namespace registry {

REGSAM viewAccess(int view) noexcept {
    switch (view) {
        case 1: return KEY_WOW64_32KEY;
        case 2:
        case 3: return KEY_WOW64_64KEY;
        default: return 0;
    }
}

tarvo::unique_hkey create(HKEY root, const std::wstring& subkey, REGSAM access) {
    tarvo::unique_hkey key;
    if (const LSTATUS status =
            ::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, access, nullptr, key.put(), nullptr))
        throwOsError(L"RegCreateKeyEx subKey=" + subkey, static_cast<DWORD>(status), errorFrame(L"", "registry::create"));
    return key;
}

tarvo::unique_hkey open(HKEY root, const std::wstring& subkey, REGSAM access) {
    tarvo::unique_hkey key;
    if (const LSTATUS status = ::RegOpenKeyExW(root, subkey.c_str(), 0, access, key.put()))
        throwOsError(L"RegOpenKeyEx subKey=" + subkey, static_cast<DWORD>(status), errorFrame(L"", "registry::open"));
    return key;
}

Key::Key(HKEY root, const std::wstring& subkey, REGSAM access, bool openOnly)
    : tarvo::unique_hkey(openOnly ? open(root, subkey, access) : create(root, subkey, access)) {}

bool keyExists(HKEY root, const std::wstring& subkey, int view) {
    tarvo::unique_hkey key;
    // The least access that opens a key: only its presence matters.
    return ::RegOpenKeyExW(root, subkey.c_str(), 0, READ_CONTROL | viewAccess(view), key.put()) == ERROR_SUCCESS;
}

namespace {
// Lookups by path hand a missing key back as its status, like a missing value.
LSTATUS openForQuery(HKEY root, const std::wstring& subkey, int view, tarvo::unique_hkey& key) {
    return ::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | viewAccess(view), key.put());
}
}  // namespace

LSTATUS lookup(HKEY key, const std::wstring& name, std::wstring& value) {
    return queryString(key, name, value, REG_SZ, name);
}

LSTATUS lookup(HKEY key, const std::wstring& name, DWORD& value) { return queryDword(key, name, value, name); }

LSTATUS lookup(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD& value, int view) {
    tarvo::unique_hkey key;
    if (const LSTATUS status = openForQuery(root, subkey, view, key)) return status;
    return queryDword(key.get(), name, value, subkey + L"\\" + name);
}

LSTATUS lookup(HKEY root, const std::wstring& subkey, const std::wstring& name, std::wstring& value,
               DWORD expectedType, int view) {
    tarvo::unique_hkey key;
    if (const LSTATUS status = openForQuery(root, subkey, view, key)) return status;
    return queryString(key.get(), name, value, expectedType, subkey + L"\\" + name);
}

std::wstring getstr(HKEY root, const std::wstring& subkey, const std::wstring& name, int view) {
    std::wstring value;
    if (const LSTATUS status = lookup(root, subkey, name, value, REG_SZ, view))
        throwOsError(L"lookup subKey=" + subkey + L" value=" + name, static_cast<DWORD>(status),
                     errorFrame(L"", "registry::getstr"));
    return value;
}

void set(HKEY key, const std::wstring& name, const std::wstring& text) {
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    if (const LSTATUS status =
            ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), size))
        throwOsError(L"RegSetValueEx valueName=" + name, static_cast<DWORD>(status), errorFrame(L"", "registry::set"));
}

void set(HKEY key, const std::wstring& name, DWORD value) {
    if (const LSTATUS status =
            ::RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value))
        throwOsError(L"RegSetValueEx valueName=" + name, static_cast<DWORD>(status), errorFrame(L"", "registry::set"));
}

}  // namespace registry
