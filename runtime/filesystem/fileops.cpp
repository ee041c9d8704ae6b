#include "runtime/filesystem/fileops.h"

#include <rpc.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/lockers.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/logging/logmanager.h"
#include "runtime/security/security.h"
#include "runtime/threads/cancelation.h"
#include "runtime/threads/wait.h"

namespace {

constexpr wchar_t kRecyclerFolder[] = L"Recycler";
constexpr wchar_t kRecyclerId[] = L"{86066D57-9347-46a7-B4DB-971D9EF36D29}";
constexpr ACCESS_MASK kDeleteAccess = DELETE | FILE_WRITE_ATTRIBUTES;  // 0x00010100
constexpr DWORD kRenamePauseMs = 100;
constexpr int kPieceRenameAttempts = 100;
constexpr int kTempNameAttempts = 100;
constexpr int kRecyclerMoveAttempts = 100;
constexpr DWORD kRecyclerMovePauseMs = 10;

std::wstring longPath(const std::wstring& path) { return VFileName::toLongPath(path); }

// A path as messages show it: without the extended-length prefix that the operation may have added.
std::wstring shown(const std::wstring& path) { return VFileName::stripLongPrefix(path); }

// True when `inner` is `outer` or lies below it.
bool encloses(const std::wstring& outer, const std::wstring& inner) {
    const int relation = VFileName::comparePaths(outer, inner);
    return relation == VFileName::Equal || relation == VFileName::SecondBelowFirst;
}

fileops_detail::PauseFunction& pauseFunction() {
    static auto* pause = new fileops_detail::PauseFunction([](DWORD ms) { tarvo::threads::Sleep(ms); });
    return *pause;
}

void pause(DWORD ms) { pauseFunction()(ms); }

DWORD errorOf(BOOL succeeded) { return succeeded ? ERROR_SUCCESS : ::GetLastError(); }

bool isGone(DWORD code) { return code == ERROR_SUCCESS || code == ERROR_FILE_NOT_FOUND; }

// Throws the failure `code` of a file operation. A sharing violation names the processes that hold one of
// `held`: "<lockedText>. Processes: <one a line>"; without any (or for another code) the text is `text`.
[[noreturn]] void throwFileErrorTexts(DWORD code, const std::wstring& text, const std::wstring& lockedText,
                                      const std::vector<std::wstring>& held, const char* function) {
    if (code == ERROR_SHARING_VIOLATION) {
        std::wstring list;
        for (const std::wstring& process : RunTime::getProccessesByOpenedFiles(held))
            list += (list.empty() ? L"" : L"\n") + process;
        if (!list.empty()) throwOsError(lockedText + L". Processes: " + list, code, errorFrame(L"", function));
    }
    throwOsError(text, code, errorFrame(L"", function));
}

// Lets this account delete the item: ownership, delete access, no read-only flag. Each step is best effort:
// the attempt that follows reports whatever still stands in the way.
void makeDeletable(const std::wstring& path) {
    const auto step = [&](const wchar_t* what, auto&& body) {
        const std::wstring failure =
            captureFailure("makeDeletable", [&] { return formatString(what, shown(path)); }, body);
        if (!failure.empty()) vlog(LogLevel::Warning, L"%s", failure);
    };
    step(L"Grant delete access to '%s'",
         [&] { security::grantDeleteAccess(longPath(path), SE_FILE_OBJECT, kDeleteAccess); });
    step(L"Clear the read-only flag of '%s'", [&] { setFileAttributes(path, FILE_ATTRIBUTE_READONLY); });
}

// Runs `attempt` (0 or the system's error) until `done` accepts its result: once; with `force` once more after
// makeDeletable(path); then `retries` more times after a pause of `delayMs`. Returns the last result.
template <typename Attempt, typename Done>
DWORD attemptWithRetries(const std::wstring& path, bool force, int retries, DWORD delayMs, Attempt&& attempt,
                         Done&& done) {
    DWORD code = attempt();
    if (done(code)) return code;
    if (force) {
        makeDeletable(path);
        code = attempt();
        if (done(code)) return code;
    }
    for (; retries > 0; --retries) {
        pause(delayMs);
        code = attempt();
        if (done(code)) return code;
    }
    return code;
}

// FindFirstFile over long paths: ERROR_SUCCESS and the first entry, or the system's error.
DWORD findFirst(const std::wstring& pattern, tarvo::unique_find& find, WIN32_FIND_DATAW& data) {
    find.reset(::FindFirstFileW(longPath(pattern).c_str(), &data));
    return find ? ERROR_SUCCESS : ::GetLastError();
}

bool isDotsName(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

bool isFolderLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// `name` (one component, as a folder search gives it) inside `folder`: plain joining is exact, and it spares
// a folder of ten thousand files as many canonicalisations.
std::wstring inFolder(const std::wstring& folder, const std::wstring& name) {
    return VFileName::trimTrailingSeparators(folder) + L"\\" + name;
}

struct FolderEntry {
    std::wstring path;        // as messages show it
    std::wstring systemPath;  // as the system gets it
    DWORD attributes;
    bool folder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// The entries of a folder without "." and "..", or the error of its first search (entries stay empty).
DWORD listFolder(const std::wstring& path, std::vector<FolderEntry>& entries, const char* function) {
    const std::wstring systemPath = longPath(path);
    tarvo::unique_find find;
    WIN32_FIND_DATAW data;
    if (const DWORD code = findFirst(inFolder(systemPath, L"*.*"), find, data)) return code;
    do {
        if (!isDotsName(data.cFileName))
            entries.push_back({inFolder(path, data.cFileName), inFolder(systemPath, data.cFileName), data.dwFileAttributes});
    } while (::FindNextFileW(find.get(), &data));
    if (const DWORD code = ::GetLastError(); code != ERROR_NO_MORE_FILES)
        throwOsError(L"FindNextFile", code, errorFrame(L"", function));
    return ERROR_SUCCESS;
}

// Moves a folder into the recycler after a failed first try: a new name for every attempt while the names
// collide.
std::wstring moveFolderIntoRecycler(const std::wstring& path, const std::wstring& recycler) {
    for (int attempt = 1;; ++attempt) {
        const std::wstring target = makeTempName(recycler, kTempNameAttempts);
        try {
            VFile::moveEx(path, target, 0);
            return target;
        } catch (const VAlreadyExistsException&) {
            if (attempt >= kRecyclerMoveAttempts) throw;
            pause(kRecyclerMovePauseMs);
        }
    }
}

// One file of a folder being removed.
void removeFolderFile(const FolderEntry& entry, bool force, const std::wstring& recycler) {
    const std::wstring& file = entry.path;
    std::wstring target = entry.systemPath;
    if (!recycler.empty()) {
        target = makeTempName(recycler, kTempNameAttempts);
        if (!::MoveFileExW(entry.systemPath.c_str(), target.c_str(), 0)) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_FILE_NOT_FOUND) return;  // gone meanwhile
            if (!force) throwFileError(code, formatString(L"Move file '%s' to '%s'", file, shown(target)), {file}, "removeDir");
            makeDeletable(file);
            target = makeTempName(recycler, kTempNameAttempts);
            VFile::moveEx(file, target, 0);
        }
    }
    const DWORD code =
        attemptWithRetries(target, force, 0, 0, [&] { return errorOf(::DeleteFileW(target.c_str())); }, isGone);
    // With a recycler, what cannot be deleted yet (a file still open) stays there.
    if (isGone(code) || !recycler.empty()) return;
    throwFileError(code, formatString(L"Delete file '%s'", shown(target)), {file}, "removeDir");
}

// The folder itself, once its contents are gone (or a link to a folder, whose target is left alone).
void removeFolderItself(const std::wstring& path, bool force, const std::wstring& recycler) {
    setFileAttributes(path, FILE_ATTRIBUTE_READONLY);
    std::wstring target = longPath(path);
    if (!recycler.empty()) {
        target = makeTempName(recycler, kTempNameAttempts);
        if (!::MoveFileExW(longPath(path).c_str(), target.c_str(), 0)) {
            const DWORD code = ::GetLastError();
            if (!force) throwFileError(code, formatString(L"Move file '%s' to '%s'", path, shown(target)), {path}, "removeDir");
            makeDeletable(path);
            target = moveFolderIntoRecycler(path, recycler);
        }
    }
    const DWORD code = attemptWithRetries(target, force, 0, 0, [&] { return errorOf(::RemoveDirectoryW(target.c_str())); },
                                          [](DWORD result) { return result == ERROR_SUCCESS; });
    if (code == ERROR_SUCCESS || !recycler.empty()) return;
    throwFileError(code, formatString(L"Delete directory '%s'", shown(target)), {path}, "removeDir");
}

// Makes a folder of the recycler when it is missing.
void ensureRecyclerFolder(const std::wstring& folder) {
    if (VDirectory::exists(folder)) return;
    SecurityDescriptor security(fileops_detail::recyclerAccessList(), false);
    VDirectory::createDirectory(folder, security.attributes());
}

// The folder that holds `path`; empty for a root.
std::wstring parentFolder(const std::wstring& path) {
    const std::wstring bare = VFileName::stripLongPrefix(path);
    const bool drivePath = bare.size() >= 2 && bare[1] == L':';
    // removeFileSpec knows drive roots; other forms (UNC, relative) keep their leading part this way.
    const std::wstring parent =
        VFileName::trimTrailingSeparators(drivePath ? VFileName::removeFileSpec(path) : VFileName::directoryOf(path));
    return !parent.empty() && VFileName::comparePaths(parent, path) == VFileName::SecondBelowFirst ? parent : L"";
}

// The privileges that let a folder be made with the owner and audit list of another; disabled again on the
// way out. A privilege the account lacks leaves that part of the security to the default.
class SecurityCopyPrivileges {
public:
    SecurityCopyPrivileges() {
        for (const wchar_t* name : {SE_SECURITY_NAME, SE_RESTORE_NAME}) {
            const std::wstring failure =
                captureFailure("renameDir", L"", [&] { security::setPrivilege(name, true); });
            if (failure.empty()) enabled_.push_back(name);
            else vlog(LogLevel::Warning, L"The privilege %s is not available: %s", std::wstring(name), failure);
        }
    }
    SecurityCopyPrivileges(const SecurityCopyPrivileges&) = delete;
    SecurityCopyPrivileges& operator=(const SecurityCopyPrivileges&) = delete;
    ~SecurityCopyPrivileges() {
        for (const wchar_t* name : enabled_) {
            try {
                security::setPrivilege(name, false);
            } catch (...) {
            }
        }
    }
    // What the security of a folder can be copied with.
    SECURITY_INFORMATION information() const {
        SECURITY_INFORMATION result = DACL_SECURITY_INFORMATION;
        for (const wchar_t* name : enabled_) {
            if (std::wstring(name) == SE_RESTORE_NAME) result |= OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
            if (std::wstring(name) == SE_SECURITY_NAME) result |= SACL_SECURITY_INFORMATION;
        }
        return result;
    }

private:
    std::vector<const wchar_t*> enabled_;
};

// Makes the target of a piece-by-piece move with the source's security; true when it made it.
bool prepareMoveTarget(const std::wstring& source, const std::wstring& target, bool overwrite) {
    const SecurityCopyPrivileges privileges;
    const tarvo::unique_hlocal descriptor =
        security::getFileSecurityInfo(source, privileges.information(), nullptr, nullptr, nullptr, nullptr);
    bool isFolder = false;
    if (!fileExist(target, &isFolder)) {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
        VDirectory::createDirectory(target, &attributes);
        return true;
    }
    if (!isFolder) throw vexception(formatString(L"File %s already exists", target), errorFrame(L"", "renameDir"));
    if (!overwrite) throw vexception(formatString(L"Directory %s already exists", target), errorFrame(L"", "renameDir"));
    security::setFileAccess(target, DACL_SECURITY_INFORMATION, descriptor.get());
    return false;
}

using MovedPieces = std::vector<std::pair<std::wstring, std::wstring>>;  // (from, to)

// Puts back what a failed piece-by-piece move had moved. The target folder it made goes only when every
// piece is back: nothing that was moved is ever deleted.
void putBack(const MovedPieces& files, const MovedPieces& folders, const std::wstring& createdTarget) {
    bool complete = true;
    const auto quietly = [&](const std::wstring& from, const std::wstring& to, auto&& body) {
        const std::wstring failure = captureFailure(
            "renameDir", [&] { return formatString(L"Put back '%s' from '%s'", from, to); }, body);
        if (failure.empty()) return;
        complete = false;
        vlog(LogLevel::Warning, L"%s", failure);
    };
    for (auto piece = files.rbegin(); piece != files.rend(); ++piece)
        quietly(piece->first, piece->second, [&] { renameFile(piece->second, piece->first, 1); });
    for (auto piece = folders.rbegin(); piece != folders.rend(); ++piece)
        quietly(piece->first, piece->second, [&] { renameDir(piece->second, piece->first, true); });
    if (createdTarget.empty()) return;
    if (!complete) {
        vlog(LogLevel::Warning, L"The folder %s keeps what could not be put back", createdTarget);
        return;
    }
    quietly(createdTarget, createdTarget, [&] { removeDir(createdTarget, true, L""); });
}

void movePieceByPiece(const std::wstring& source, const std::wstring& target, bool overwrite) {
    const bool created = prepareMoveTarget(source, target, overwrite);
    std::vector<FolderEntry> entries;
    if (const DWORD code = listFolder(source, entries, "renameDir"))
        throwOsError(L"FindFirstFile(" + source + L"\\*.*)", code, errorFrame(L"", "renameDir"));
    // In name order: which pieces go first is predictable.
    std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) {
        return ::CompareStringOrdinal(a.path.c_str(), -1, b.path.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    MovedPieces files, folders;
    try {
        for (const FolderEntry& entry : entries) {
            const std::wstring to = VFileName::combine(target, VFileName::fileName(entry.path));
            if (entry.folder()) {
                if (encloses(entry.path, target)) continue;  // the target lies inside it
                renameDir(entry.path, to, overwrite);
                folders.emplace_back(entry.path, to);
                continue;
            }
            try {
                renameFile(entry.path, to, kPieceRenameAttempts);
                files.emplace_back(entry.path, to);
            } catch (const VFileNotFoundException&) {
                // gone meanwhile
            }
        }
        if (!encloses(source, target)) removeDir(source, true, recyclerPath(source));
    } catch (...) {
        putBack(files, folders, created ? target : L"");
        throw;
    }
}

}  // namespace

// ---- attributes ----

bool fileExist(const std::wstring& path, bool* isDirectory) {
    const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return false;
        throwOsError(L"retrieves attributes for file or directory " + path, code, errorFrame(L"", "fileExist"));
    }
    if (isDirectory) *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

DWORD getFileAttributes(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        throwOsError(formatString(L"GetFileAttributes(%s)", path), ::GetLastError(), errorFrame(L"", "getFileAttributes"));
    return attributes;
}

void setFileAttributes(const std::wstring& path, DWORD mask) {
    const DWORD attributes = getFileAttributes(path) & ~mask;
    if (!::SetFileAttributesW(longPath(path).c_str(), attributes))
        throwOsError(formatString(L"SetFileAttributes(%s)", path), ::GetLastError(), errorFrame(L"", "setFileAttributes"));
}

// ---- files ----

void throwFileError(DWORD code, const std::wstring& text, const std::vector<std::wstring>& paths, const char* function) {
    throwFileErrorTexts(code, text, text, paths, function);
}

void copyFile(const std::wstring& source, const std::wstring& target, bool failIfExists) {
    if (::CopyFileW(longPath(source).c_str(), longPath(target).c_str(), failIfExists)) return;
    throwFileErrorTexts(::GetLastError(), L"copy file " + source + L" to " + target,
                        formatString(L"Copy file '%s' to '%s'", source, target), {source, target}, "copyFile");
}

void renameFile(const std::wstring& source, const std::wstring& target, int attempts) {
    while (attempts-- > 0) {
        if (::MoveFileW(longPath(source).c_str(), longPath(target).c_str())) return;
        const DWORD code = ::GetLastError();
        const std::wstring text = L"Rename file '" + source + L"' to '" + target + L"'";
        if (code != ERROR_SHARING_VIOLATION) throwOsError(text, code, errorFrame(L"", "renameFile"));
        if (attempts == 0) throwFileError(code, text, {source}, "renameFile");
        pause(kRenamePauseMs);
    }
}

void removeFile(const std::wstring& path, bool force, bool useRecycler, int retries, int delayMs) {
    const DWORD delay = delayMs > 0 ? static_cast<DWORD>(delayMs) : 0;
    if (useRecycler) {
        // Moved away first, then deleted: a file that is still open stays in the recycler.
        const std::wstring target = VFileName::combine(recyclerPath(path), createGuidString(false));
        const DWORD code = attemptWithRetries(
            path, force, retries, delay,
            [&] { return errorOf(::MoveFileExW(longPath(path).c_str(), longPath(target).c_str(), 0)); }, isGone);
        if (!isGone(code)) throwFileError(code, formatString(L"Move file '%s' to '%s'", path, target), {path}, "removeFile");
        if (code == ERROR_SUCCESS) ::DeleteFileW(longPath(target).c_str());
        return;
    }
    const DWORD code = attemptWithRetries(path, force, retries, delay,
                                          [&] { return errorOf(::DeleteFileW(longPath(path).c_str())); }, isGone);
    if (!isGone(code)) throwFileError(code, formatString(L"DeleteFile '%s'", path), {path}, "removeFile");
}

// ---- folders ----

void removeDir(const std::wstring& path, bool force, const std::wstring& recycler) {
    // A link to a folder goes without what it links to.
    if (const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
        attributes != INVALID_FILE_ATTRIBUTES && isFolderLink(attributes)) {
        removeFolderItself(path, force, recycler);
        return;
    }
    std::vector<FolderEntry> entries;
    DWORD code = listFolder(path, entries, "removeDir");
    if (code != ERROR_SUCCESS && force && code != ERROR_NO_DATA && code != ERROR_NO_MORE_FILES) {
        makeDeletable(path);
        listFolder(path, entries, "removeDir");
    }
    // A folder that cannot be listed is taken as empty: removing it reports what stands in the way.
    for (const FolderEntry& entry : entries)
        if (!entry.folder()) removeFolderFile(entry, force, recycler);
    for (const FolderEntry& entry : entries) {
        if (!entry.folder()) continue;
        if (isFolderLink(entry.attributes)) removeFolderItself(entry.path, force, recycler);
        else removeDir(entry.path, force, recycler);
    }
    removeFolderItself(path, force, recycler);
}

void renameDir(const std::wstring& source, const std::wstring& target, bool overwrite) {
    annotate("renameDir", [&] { return formatString(L"RenameDir('%s', '%s')", source, target); }, [&] {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        // Replacing is for files: the system rejects it for folders, and some implementations (Wine) would
        // put the folder in place of a file of the target's name.
        bool isFolder = false;
        const bool replace = overwrite && fileExist(source, &isFolder) && !isFolder;
        if (::MoveFileExW(longPath(source).c_str(), longPath(target).c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
            return;
        const DWORD code = ::GetLastError();
        // A link to a folder has no pieces of its own: going through it would move what it links to.
        if (const DWORD attributes = ::GetFileAttributesW(longPath(source).c_str());
            attributes != INVALID_FILE_ATTRIBUTES && isFolderLink(attributes))
            throwOsError(formatString(L"Move the link to a folder '%s' to '%s'", source, target), code,
                         errorFrame(L"", "renameDir"));
        // Another volume, or something inside that cannot go along at once: one piece at a time.
        movePieceByPiece(source, target, overwrite);
    });
}

std::wstring recyclerPath(const std::wstring& path) {
    return annotate("recyclerPath", [&] { return formatString(L"recyclerPath(%s)", path); }, [&] {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        const std::wstring query = longPath(path);
        std::wstring volume(std::max<size_t>(MAX_PATH, query.size()) + 2, L'\0');
        if (!::GetVolumePathNameW(query.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
            throwOsError(formatString(L"GetVolumePathName(%s) failed", path), ::GetLastError(),
                         errorFrame(L"", "recyclerPath"));
        volume.resize(wcslen(volume.c_str()));
        // A drive root comes back as the caller wrote it; a volume without a drive letter keeps its "\\?\".
        if (volume.size() > 5 && volume.starts_with(L"\\\\?\\") && volume[5] == L':') volume = shown(volume);
        if (volume.empty() || volume.back() != L'\\') volume += L'\\';
        const std::wstring recycler = volume + kRecyclerFolder;
        ensureRecyclerFolder(recycler);
        const std::wstring folder = recycler + L"\\" + kRecyclerId;
        ensureRecyclerFolder(folder);
        return folder;
    });
}

std::wstring makeTempName(const std::wstring& folder, int attempts) {
    for (int attempt = 0; attempt < std::max(attempts, 1); ++attempt) {
        std::wstring candidate = VFileName::joinLongPath(folder, L"{" + createGuidString(false) + L"}");
        if (!fileExist(candidate)) return candidate;
    }
    throwRuntimeError(formatString(L"Unable to create temporary name in (%s)", folder), 0);
}

std::wstring createGuidString(bool random) {
    UUID uuid{};
    const RPC_STATUS status = random ? ::UuidCreate(&uuid) : ::UuidCreateSequential(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY)
        throwOsError(L"Unable to create GUID", static_cast<DWORD>(status), errorFrame(L"", "createGuidString"));
    tarvo::unique_rpc_wstr text;
    if (const RPC_STATUS converted = ::UuidToStringW(&uuid, text.put()); converted != RPC_S_OK)
        throwOsError(L"UuidToString", static_cast<DWORD>(converted), errorFrame(L"", "createGuidString"));
    return reinterpret_cast<const wchar_t*>(text.get());
}

// ---- VFile ----

VFile::VFile(const std::wstring& path, DWORD access, DWORD shareMode, DWORD creationDisposition, DWORD flags) {
    open(path, access, shareMode, creationDisposition, flags);
}

void VFile::open(const std::wstring& path, DWORD access, DWORD shareMode, DWORD creationDisposition, DWORD flags) {
    handle_.reset(::CreateFileW(longPath(path).c_str(), access, shareMode, nullptr, creationDisposition, flags, nullptr));
    if (!handle_) throwFileError(::GetLastError(), L"Open file '" + path + L"'", {path}, "VFile::open");
    path_ = path;
}

DWORD VFile::read(void* buffer, DWORD size) {
    DWORD read = 0;
    if (!::ReadFile(handle_.get(), buffer, size, &read, nullptr))
        throwOsError(formatString(L"Unable to read file '%s'", path_), ::GetLastError(), errorFrame(L"", "VFile::read"));
    return read;
}

DWORD VFile::write(const void* data, DWORD size) {
    DWORD written = 0;
    if (!::WriteFile(handle_.get(), data, size, &written, nullptr))
        throwOsError(formatString(L"Unable to write file '%s'", path_), ::GetLastError(), errorFrame(L"", "VFile::write"));
    return written;
}

std::uint64_t VFile::seek(std::int64_t distance, DWORD method) {
    LARGE_INTEGER move{};
    move.QuadPart = distance;
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(handle_.get(), move, &position, method))
        throwOsError(L"Unable seek in file '" + path_ + L"'", ::GetLastError(), errorFrame(L"", "VFile::seek"));
    return static_cast<std::uint64_t>(position.QuadPart);
}

std::uint64_t VFile::size() {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_.get(), &size))
        throwOsError(formatString(L"Unable to get the size of file '%s'", path_), ::GetLastError(),
                     errorFrame(L"", "VFile::size"));
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::string VFile::readAll() {
    std::string content;
    // The rest of a file of known size is read straight into one allocation; whatever follows (a file that grew
    // meanwhile, or a handle without a size) in pieces.
    LARGE_INTEGER size{}, position{}, here{};
    if (::GetFileSizeEx(handle_.get(), &size) && ::SetFilePointerEx(handle_.get(), here, &position, FILE_CURRENT) &&
        size.QuadPart > position.QuadPart &&
        static_cast<std::uint64_t>(size.QuadPart - position.QuadPart) < content.max_size() / 2) {
        content.resize(static_cast<size_t>(size.QuadPart - position.QuadPart));
        size_t done = 0;
        while (done < content.size()) {
            const DWORD got = read(content.data() + done, static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 30)));
            if (got == 0) break;
            done += got;
        }
        if (done < content.size()) {
            content.resize(done);  // it shrank meanwhile
            return content;
        }
    }
    char buffer[65536];
    while (const DWORD got = read(buffer, sizeof buffer)) content.append(buffer, got);
    return content;
}

void VFile::writeAll(std::string_view data) {
    for (size_t done = 0; done < data.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
        const DWORD written = write(data.data() + done, chunk);
        if (written == 0)
            throwOsError(formatString(L"Unable to write file '%s'", path_), ERROR_WRITE_FAULT, errorFrame(L"", "VFile::write"));
        done += written;
    }
}

BufferedWriter::BufferedWriter(VFile& file, size_t capacity) : file_(file) { buffer_.reserve(capacity); }

void BufferedWriter::write(std::string_view piece) {
    if (buffer_.size() + piece.size() > buffer_.capacity()) {
        flush();
        if (piece.size() >= buffer_.capacity()) return file_.writeAll(piece);
    }
    buffer_.append(piece);
}

void BufferedWriter::flush() {
    file_.writeAll(buffer_);
    buffer_.clear();
}

void VFile::flush() {
    if (!::FlushFileBuffers(handle_.get()))
        throwOsError(formatString(L"Unable to flush file '%s'", path_), ::GetLastError(), errorFrame(L"", "VFile::flush"));
}

void VFile::moveEx(const std::wstring& source, const std::wstring& target, DWORD flags) {
    // No target (with MOVEFILE_DELAY_UNTIL_REBOOT): the source goes at the next start.
    const std::wstring longTarget = target.empty() ? target : longPath(target);
    if (::MoveFileExW(longPath(source).c_str(), target.empty() ? nullptr : longTarget.c_str(), flags)) return;
    throwFileError(::GetLastError(), L"Move file '" + shown(source) + L"' to '" + shown(target) + L"'", {source},
                   "VFile::moveEx");
}

// ---- VDirectory ----

void VDirectory::createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    if (path.empty())
        throw ArgumentException(L"Unable to create directory with wrong name", errorFrame(L"", "VDirectory::createDirectory"));
    const std::wstring folder = VFileName::trimTrailingSeparators(path);
    if (!folder.empty() && fileExist(folder)) return;
    if (const std::wstring parent = parentFolder(folder); !parent.empty()) createDirectory(parent, nullptr);
    if (::CreateDirectoryW(longPath(folder).c_str(), security)) return;
    const DWORD code = ::GetLastError();
    if (code == ERROR_ALREADY_EXISTS && fileExist(folder)) return;  // made by someone else meanwhile
    throwOsError(formatString(L"CreateDirectory(%s)", folder), code, errorFrame(L"", "makeDir"));
}

bool VDirectory::exists(const std::wstring& path, bool* isFile) {
    bool isDirectory = false;
    if (path.empty() || !fileExist(path, &isDirectory)) return false;
    if (isFile) *isFile = !isDirectory;
    return true;
}

void VDirectory::remove(const std::wstring& path, bool force, bool useRecycler) {
    if (path.empty() || !fileExist(path)) return;
    removeDir(path, force, useRecycler ? recyclerPath(path) : std::wstring());
}

std::wstring VDirectory::current() {
    for (;;) {
        const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
        if (needed == 0) break;
        std::wstring directory(needed, L'\0');
        const DWORD written = ::GetCurrentDirectoryW(needed, directory.data());
        if (written == 0) break;
        if (written < needed) {
            directory.resize(written);
            return directory;
        }
    }
    throwOsError(L"get current directory", ::GetLastError(), errorFrame(L"", "VDirectory::current"));
}

// ---- VFileFinder ----

bool VFileFinder::first(const std::wstring& pattern) {
    handle_.reset();
    data_ = {};
    const DWORD code = findFirst(pattern, handle_, data_);
    if (code == ERROR_SUCCESS) return true;
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_NO_MORE_FILES) return false;
    throwOsError(L"FindFirstFile(" + pattern + L")", code, errorFrame(L"", "VFileFinder::first"));
}

bool VFileFinder::next() {
    if (!handle_) return false;
    if (::FindNextFileW(handle_.get(), &data_)) return true;
    const DWORD code = ::GetLastError();
    if (code == ERROR_NO_MORE_FILES) return false;
    throwOsError(L"FindNextFile", code, errorFrame(L"", "VFileFinder::next"));
}

bool VFileFinder::isDots() const noexcept { return isDotsName(data_.cFileName); }

namespace fileops_detail {

PauseFunction setPause(PauseFunction pause) { return std::exchange(pauseFunction(), std::move(pause)); }

AccessList recyclerAccessList() {
    AccessList list;
    list.add(VSID::admins(), GENERIC_ALL, true, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    list.add(VSID::system(), GENERIC_ALL, false, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    // Everyone may put items in and take them out, but not read what others left there.
    list.add(VSID::everyone(), 0x001300E7, true, CONTAINER_INHERIT_ACE);
    list.add(VSID::everyone(), 0x00130080, true, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE);
    return list;
}

}  // namespace fileops_detail
