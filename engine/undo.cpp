#include "engine/undo.h"

#include <algorithm>

#include "msi/vmsi.h"
#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/replacefile.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/logging/logmanager.h"
#include "runtime/holder.h"

// ---- FileUndo ----

namespace {

// A file that the action created goes, read-only or not (a copy takes the read-only flag of its source).
void removeCreatedFile(const std::wstring& path) {
    if (const DWORD attributes = ::GetFileAttributesW(VFileName::toLongPath(path).c_str());
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        setFileAttributes(path, FILE_ATTRIBUTE_READONLY);
    removeFile(path, false, false, 3, 400);
}

}  // namespace

FileUndo::Content FileUndo::read(const std::wstring& path) {
    bool isDirectory = false;
    if (!fileExist(path, &isDirectory) || isDirectory) return {};
    return {true, VFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL)
                      .readAll()};
}

void FileUndo::before(const std::wstring& path) {
    path_ = path;
    previous_ = read(path);
    state_ = State::Before;
}

void FileUndo::before(const std::wstring& path, std::string content) {
    path_ = path;
    previous_ = {true, std::move(content)};
    state_ = State::Before;
}

void FileUndo::after() {
    if (state_ == State::Idle) return;
    left_ = read(path_);
    state_ = left_.exists == previous_.exists && left_.bytes == previous_.bytes ? State::Before : State::After;
}

void FileUndo::after(std::string content) {
    if (state_ == State::Idle) return;
    left_ = {true, std::move(content)};
    state_ = previous_.exists && left_.bytes == previous_.bytes ? State::Before : State::After;
}

void FileUndo::putBack() noexcept {
    if (state_ == State::Idle) return;
    try {
        const std::wstring failure = captureFailure(
            "FileUndo::putBack", [&] { return formatString(L"Put the file '%s' back as it was", path_); }, [&] {
                const Content now = read(path_);
                if (now.exists == previous_.exists && now.bytes == previous_.bytes) return;
                if (previous_.exists)
                    replaceFileContent(path_, previous_.bytes);
                else
                    removeCreatedFile(path_);
            });
        if (!failure.empty()) vlog(LogLevel::Error, L"%s", failure);
    } catch (...) {
    }
    state_ = State::Before;
}

void FileUndo::undo(vmsi& session) {
    // The path comes from a script and may hold a password: the session masks every line it logs.
    if (state_ != State::After) {
        if (!path_.empty()) session.log(L"Rollback: file '%s' was not changed: nothing to undo", path_);
        return;
    }
    const Content now = read(path_);
    if (now.exists != left_.exists || now.bytes != left_.bytes) {
        session.log(L"Rollback: file '%s' is left as it is: %s", path_,
                    std::wstring(now.exists ? L"it was changed after the action" : L"it no longer exists"));
        return;
    }
    if (previous_.exists) {
        replaceFileContent(path_, previous_.bytes);
        session.log(L"Rollback: file '%s' has its previous content again", path_);
    } else {
        removeCreatedFile(path_);
        session.log(L"Rollback: file '%s', which the action created, is removed", path_);
    }
    state_ = State::Before;
}

// ---- RegistryValueUndo ----

RegistryValueUndo::Value RegistryValueUndo::read() const {
    Value value;
    tarvo::unique_hkey key;
    if (::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_QUERY_VALUE | view_, key.put()) != ERROR_SUCCESS) return value;
    value.keyExists = true;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name_.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return value;
    value.data.resize(size);
    if (::RegQueryValueExW(key.get(), name_.c_str(), nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS) {
        value.type = REG_NONE;
        value.data.clear();
        return value;
    }
    value.data.resize(size);
    value.exists = true;
    return value;
}

std::wstring RegistryValueUndo::displayName() const {
    const wchar_t* root = root_ == HKEY_LOCAL_MACHINE ? L"HKLM" : root_ == HKEY_CLASSES_ROOT ? L"HKCR" : L"HKEY";
    // For log lines, which the session masks: the key and the value name come from a script.
    return formatString(L"%s\\%s\\%s%s", std::wstring(root), subkey_, name_,
                        std::wstring(view_ == KEY_WOW64_32KEY ? L" (32-bit view)" : L""));
}

void RegistryValueUndo::before(HKEY root, const std::wstring& subkey, const std::wstring& name, REGSAM view) {
    root_ = root;
    subkey_ = subkey;
    name_ = name;
    view_ = view;
    previous_ = read();
    state_ = State::Before;
}

void RegistryValueUndo::after() noexcept {
    if (state_ == State::Idle) return;
    try {
        left_ = read();
        state_ = left_ == previous_ ? State::Before : State::After;
    } catch (...) {
        state_ = State::Before;
    }
}

void RegistryValueUndo::undo(vmsi& session) {
    if (state_ != State::After) {
        if (root_) session.log(L"Rollback: registry value '%s' was not changed: nothing to undo", displayName());
        return;
    }
    if (read() != left_) {
        session.log(L"Rollback: registry value '%s' is left as it is: it was changed after the action", displayName());
        return;
    }
    tarvo::unique_hkey key;
    if (const LSTATUS status = ::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_SET_VALUE | view_, key.put()))
        throwOsError(L"RegOpenKeyEx subKey=" + subkey_, static_cast<DWORD>(status), errorFrame(L"", "RegistryValueUndo::undo"));
    if (previous_.exists) {
        if (const LSTATUS status = ::RegSetValueExW(key.get(), name_.c_str(), 0, previous_.type, previous_.data.data(),
                                                    static_cast<DWORD>(previous_.data.size())))
            throwOsError(L"RegSetValueEx valueName=" + name_, static_cast<DWORD>(status),
                         errorFrame(L"", "RegistryValueUndo::undo"));
        session.log(L"Rollback: registry value '%s' has its previous value again", displayName());
    } else {
        if (left_.exists)
            if (const LSTATUS status = ::RegDeleteValueW(key.get(), name_.c_str()))
                throwOsError(L"RegDeleteValue valueName=" + name_, static_cast<DWORD>(status),
                             errorFrame(L"", "RegistryValueUndo::undo"));
        // A key that the action created goes too, when nothing else has been put into it since.
        DWORD subkeys = 0, values = 0;
        key.reset();
        if (!previous_.keyExists &&
            ::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_QUERY_VALUE | view_, key.put()) == ERROR_SUCCESS &&
            ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            subkeys == 0 && values == 0) {
            key.reset();
            ::RegDeleteKeyExW(root_, subkey_.c_str(), view_, 0);
        }
        session.log(L"Rollback: registry value '%s', which the action created, is removed", displayName());
    }
    state_ = State::Before;
}

// ---- FolderUndo ----

FolderUndo::~FolderUndo() {
    // Only after a complete change that no rollback took back: the previous folder is then no longer needed.
    if (state_ != State::After || aside_.empty()) return;
    try {
        const std::wstring failure = captureFailure(
            "FolderUndo", [&] { return formatString(L"Remove the previous folder kept in '%s'", aside_); },
            [&] { removeDir(aside_, true, L""); });
        if (!failure.empty()) vlog(LogLevel::Error, L"%s", failure);
    } catch (...) {
    }
}

FolderUndo::Listing FolderUndo::list(const std::wstring& path) {
    Listing listing;
    bool isDirectory = false;
    if (!fileExist(path, &isDirectory)) return listing;
    listing.exists = true;
    std::vector<std::wstring> pending;
    if (isDirectory) pending.emplace_back();
    while (!pending.empty()) {
        const std::wstring relative = std::move(pending.back());
        pending.pop_back();
        VFileFinder finder;
        for (bool more = finder.first((relative.empty() ? path : path + L"\\" + relative) + L"\\*"); more;
             more = finder.next()) {
            if (finder.isDots()) continue;
            const WIN32_FIND_DATAW& data = finder.data();
            Entry entry{relative.empty() ? finder.name() : relative + L"\\" + finder.name(), data.dwFileAttributes,
                        finder.size(),
                        (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                            data.ftLastWriteTime.dwLowDateTime};
            // A link to a folder counts as one entry: what it links to is not the folder's own.
            if (finder.isDirectory() && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                pending.push_back(entry.name);
            listing.entries.push_back(std::move(entry));
        }
    }
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return listing;
}

bool FolderUndo::before(const std::wstring& path) {
    path_ = path;
    aside_.clear();
    state_ = State::Before;
    if (!fileExist(path)) return false;
    const std::wstring aside = path + L".kept-" + createGuidString(false);
    VFile::moveEx(path, aside, 0);
    aside_ = aside;
    return true;
}

void FolderUndo::after() {
    if (state_ == State::Idle) return;
    left_ = list(path_);
    state_ = State::After;
}

void FolderUndo::restorePrevious() {
    if (fileExist(path_)) {
        // Out of the way in one step first: a removal that fails half way never leaves a mix of the two.
        const std::wstring discarded = path_ + L".discarded-" + createGuidString(false);
        VFile::moveEx(path_, discarded, 0);
        if (!aside_.empty()) {
            try {
                VFile::moveEx(aside_, path_, 0);
            } catch (...) {
                ::MoveFileExW(VFileName::toLongPath(discarded).c_str(), VFileName::toLongPath(path_).c_str(), 0);
                throw;
            }
            aside_.clear();
        }
        removeDir(discarded, true, L"");
    } else if (!aside_.empty()) {
        VFile::moveEx(aside_, path_, 0);
        aside_.clear();
    }
}

void FolderUndo::putBack() noexcept {
    if (state_ == State::Idle) return;
    state_ = State::Done;
    try {
        const std::wstring failure = captureFailure(
            "FolderUndo::putBack", [&] { return formatString(L"Put the folder '%s' back as it was", path_); },
            [&] { restorePrevious(); });
        if (!failure.empty()) vlog(LogLevel::Error, L"%s", failure);
    } catch (...) {
    }
}

void FolderUndo::undo(vmsi& session) {
    if (state_ != State::After) {
        if (!path_.empty()) session.log(L"Rollback: folder '%s' was not changed: nothing to undo", path_);
        return;
    }
    state_ = State::Done;  // from here on, what is kept aside stays unless it is back in place
    const Listing now = list(path_);
    if (now != left_) {
        session.log(L"Rollback: folder '%s' is left as it is: %s", path_,
                    std::wstring(now.exists ? L"it was changed after the action" : L"it no longer exists"));
        if (!aside_.empty()) session.log(L"Rollback: the previous content of folder '%s' stays in '%s'", path_, aside_);
        return;
    }
    const bool hadPrevious = !aside_.empty();
    restorePrevious();
    session.log(hadPrevious ? L"Rollback: folder '%s' has its previous content again"
                            : L"Rollback: folder '%s', which the action made, is removed",
                path_);
}
