#include "runtime/logging/config.h"

#include "runtime/holder.h"
#include "runtime/registry/registry.h"
#include "runtime/threads/sync.h"

namespace {

// The settings key, opened on first use and kept for the process: the debug log reads its settings on every
// sixteenth message, and opening and closing the key each time would double the calls to the registry. A key
// deleted meanwhile is opened anew; a missing key is looked for again on the next read.
template <typename Read>
LSTATUS withSettingsKey(Read&& read) {
    static SRWLOCK lock = SRWLOCK_INIT;
    static auto* cached = new tarvo::unique_hkey();  // never destroyed: logging goes on during shutdown
    SrwExclusive guard(lock);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!*cached) {
            tarvo::unique_hkey key;
            if (const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, logconfig::key, 0,
                                                       KEY_QUERY_VALUE | registry::viewAccess(2), key.put()))
                return status;
            *cached = std::move(key);
        }
        const LSTATUS status = read(cached->get());
        if (status != ERROR_KEY_DELETED) return status;
        cached->reset();
    }
    return ERROR_KEY_DELETED;
}

}  // namespace

namespace logconfig {

// A value of the wrong type throws inside the lookup; here it counts as unreadable, as logging never throws.
bool readDword(const std::wstring& name, DWORD& value) noexcept {
    try {
        DWORD data = 0;
        if (withSettingsKey([&](HKEY key) { return registry::lookup(key, name, data); }) != ERROR_SUCCESS) return false;
        value = data;
        return true;
    } catch (...) {
        return false;
    }
}

bool readString(const std::wstring& name, std::wstring& value) noexcept {
    try {
        std::wstring text;
        if (withSettingsKey([&](HKEY key) { return registry::lookup(key, name, text); }) != ERROR_SUCCESS) return false;
        value = std::move(text);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace logconfig
