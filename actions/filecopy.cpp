#include "actions/filecopy.h"

#include <algorithm>
#include <cwctype>
#include <set>
#include <vector>

#include "msi/vmsi.h"
#include "runtime/errors/annotate.h"
#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/logging/logmanager.h"
#include "runtime/threads/cancelation.h"

namespace {

// One step of a folder walk, under the structured-exception translator and a cancellation point: a failure
// is logged at level Error with `text` and the walk goes on. True when the step succeeded.
template <typename Text, typename Body>
bool loggedStep(const char* function, Text&& text, Body&& body) {
    const std::wstring failure = captureFailure(function, std::forward<Text>(text), [&] {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        body();
    });
    if (failure.empty()) return true;
    vlog(LogLevel::Error, L"%s", failure);
    return false;
}

struct Entry {
    std::wstring name;
    DWORD attributes;
    bool folder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // A link to a folder: the walks never follow it, so that a link to an ancestor cannot loop.
    bool folderLink() const { return folder() && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

// The entries of a folder (none when it does not exist); a folder that cannot be listed throws.
std::vector<Entry> entriesOf(const std::wstring& folder) {
    std::vector<Entry> entries;
    VFileFinder finder;
    for (bool more = finder.first(folder + L"\\*"); more; more = finder.next())
        if (!finder.isDots()) entries.push_back({finder.name(), finder.data().dwFileAttributes});
    return entries;
}

// The record, inside a backup, of what the folder held that the backup has no copy of: files that could not
// be copied (a database file held without read sharing, typically) and links to folders (the backup keeps no
// copy of what they link to). One path a line, relative to the folder, UTF-8. A restore leaves each of them
// in the folder as it is: without a copy to put back, removing it would lose it. A record rather than a
// failed backup: a database file that a running server holds would otherwise fail every upgrade, while the
// restore, keeping that file as it is, loses nothing.
constexpr wchar_t kNotInBackup[] = L".tarvo-not-in-backup";

// Relative paths compared as the file system does, without case.
std::wstring pathKey(std::wstring path) {
    if (!path.empty()) ::CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    return path;
}

using PathSet = std::set<std::wstring>;


bool copyMoveItem(const std::wstring& source, const std::wstring& target, bool move) {
    return loggedStep(
        "`anonymous-namespace'::CopyMoveItem",
        [&] {
            return move ? formatString(L"Unable to move file '%s' to file '%s'", source, target)
                        : formatString(L"Unable to copy file '%s' to '%s'", source, target);
        },
        [&] {
            // A move never replaces: a file that stayed in the target (a locked one) keeps its content.
            if (move)
                renameFile(source, target, 1);
            else
                copyFile(source, target, false);
        });
}

// What the installer's dialog shows of a long folder copy: "<n> of <total> files", every 1,000 files and
// at least every 2 seconds.
class FileCountProgress {
public:
    FileCountProgress(vmsi& session, const std::wstring& folder) : session_(session), total_(countFiles(folder)) {}
    void fileDone() {
        ++done_;
        if (done_ - reported_ >= 1000 || ::GetTickCount() - reportedAt_ >= 2000) report();
    }
    ~FileCountProgress() {
        if (done_ != reported_) report();
    }

private:
    static size_t countFiles(const std::wstring& folder) {
        size_t count = 0;
        for (const Entry& entry : entriesOf(folder))
            count += entry.folderLink() ? 0 : entry.folder() ? countFiles(folder + L"\\" + entry.name) : 1;
        return count;
    }
    void report() {
        session_.rowAdvance(formatString(L"%u of %u files", static_cast<unsigned>(done_), static_cast<unsigned>(total_)));
        reported_ = done_;
        reportedAt_ = ::GetTickCount();
    }

    vmsi& session_;
    size_t total_;
    size_t done_ = 0, reported_ = 0;
    DWORD reportedAt_ = ::GetTickCount();
};

// The tree `source` copied or moved into `target` (made if missing) file by file. Emptied source folders
// stay. Links to folders are not followed: a copy notes them in `missed` (paths relative to the walk's
// start, as `relative` is), with the files it could not copy. Fails only when a folder cannot be made or
// listed.
void copyMoveFolder(const std::wstring& source, const std::wstring& target, bool move, std::vector<std::wstring>* missed,
                    FileCountProgress& progress, const std::wstring& relative = L"") {
    VDirectory::createDirectory(target);
    for (const Entry& entry : entriesOf(source)) {
        const std::wstring from = source + L"\\" + entry.name, to = target + L"\\" + entry.name;
        const std::wstring path = relative + entry.name;
        if (move && relative.empty() && entry.name == kNotInBackup) continue;  // the backup's own record
        if (entry.folderLink()) {
            if (missed) missed->push_back(path);
            vlog(LogLevel::Warning, L"'%s' is a link to a folder: it is %s as a link, not followed", from,
                 std::wstring(move ? L"left" : L"recorded"));
        } else if (entry.folder()) {
            copyMoveFolder(from, to, move, missed, progress, path + L"\\");
        } else {
            if (!copyMoveItem(from, to, move) && missed) missed->push_back(path);
            progress.fileDone();
        }
    }
}

bool removeItem(const std::wstring& path, bool isFolder) {
    return loggedStep(
        "`anonymous-namespace'::RemoveItem",
        [&] { return formatString(isFolder ? L"Unable to remove folder: %s" : L"Unable to remove file: %s", path); },
        [&] {
            if (isFolder)
                VDirectory::remove(path, false, false);
            else
                removeFile(path, false, false, 3, 400);  // a locked file is tried four times, 400 ms apart
        });
}

// Removes what the folder holds, except the paths in `keep` (relative to the walk's start, as `relative` is,
// and each named in a warning); true when all of it went. A folder that keeps something is not tried itself:
// its removal could only fail again. Links to folders go without what they link to.
bool removeContents(vmsi* session, const std::wstring& folder, const PathSet& keep = {},
                    const std::wstring& relative = L"") {
    bool complete = true;
    for (const Entry& entry : entriesOf(folder)) {
        const std::wstring path = folder + L"\\" + entry.name;
        if (keep.contains(pathKey(relative + entry.name))) {
            session->warnInLog(formatString(L"'%s' is kept as it is: the backup has no copy of it", path));
            complete = false;
        } else if (entry.folder() && !entry.folderLink() && !removeContents(session, path, keep, relative + entry.name + L"\\")) {
            complete = false;
        } else if (!removeItem(path, entry.folder())) {
            complete = false;
        }
    }
    return complete;
}

// The folder and everything in it but `keep` (see removeContents), as far as they can be removed; never
// throws.
void removeItemsFolder(const std::wstring& folder, vmsi* session = nullptr, const PathSet& keep = {}) {
    loggedStep(
        "`anonymous-namespace'::RemoveItemsFolder", [&] { return formatString(L"Unable to remove folder: %s", folder); },
        [&] {
            if (VDirectory::exists(folder) && removeContents(session, folder, keep)) removeItem(folder, true);
        });
}

// The folders of a used-up backup that are empty now; a file still in it (one that could not take its place
// in the folder) stays, named in a warning. True when the whole folder went.
bool removeEmptiedBackup(vmsi& session, const std::wstring& folder, const std::wstring& restored) {
    bool complete = true;
    for (const Entry& entry : entriesOf(folder)) {
        const std::wstring path = folder + L"\\" + entry.name;
        if (entry.folder() && !entry.folderLink()) {
            if (!removeEmptiedBackup(session, path, restored + L"\\" + entry.name)) complete = false;
        } else {
            session.warnInLog(formatString(L"The backup's copy of '%s' stays in '%s': it could not take its place",
                                       restored + L"\\" + entry.name, path));
            complete = false;
        }
    }
    return complete && removeItem(folder, true);
}

// The record of what the backup lacks, read from the backup.
PathSet readNotInBackup(const std::wstring& backup) {
    PathSet paths;
    const std::wstring record = backup + L"\\" + kNotInBackup;
    if (!fileExist(record)) return paths;
    const std::wstring text =
        wstr(VFile(record, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL).readAll(), CP_UTF8);
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(L'\n', at), text.size());
        std::wstring line = text.substr(at, end - at);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (!line.empty()) paths.insert(pathKey(std::move(line)));
        at = end + 1;
    }
    return paths;
}

void writeNotInBackup(const std::wstring& backup, std::vector<std::wstring> paths) {
    std::sort(paths.begin(), paths.end());
    std::wstring text;
    for (const std::wstring& path : paths) text += path + L"\r\n";
    VFile record(backup + L"\\" + kNotInBackup, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    record.writeAll(cstr(text, CP_UTF8));
    record.flush();
}

// The folder parameter without trailing separators (and "." or ".." parts), so that the backup lies beside
// the folder, never inside it. A drive root, or a share's ("\\server\share"), has no place beside it.
std::wstring folderParameter(const std::wstring& parameters, const char* className) {
    std::wstring folder = VFileName::trimTrailingSeparators(
        VFileName::canonicalize(std::move(factoryFields(parameters, className, 1, 1)[0])));
    const std::wstring bare = VFileName::stripLongPrefix(folder);
    const bool shareRoot = bare.starts_with(L"\\\\") && std::count(bare.begin() + 2, bare.end(), L'\\') < 2;
    if (bare.empty() || shareRoot || (bare.size() == 2 && bare[1] == L':' && std::iswalpha(bare[0])))
        throw vexception(formatString(L"Invalid arguments on call %s: '%s' is not a folder that can have a backup "
                                      L"beside it",
                                      wstr(className), parameters),
                         errorFrame(L"", std::string(className) + "::CreateAction"));
    return folder;
}

}  // namespace

std::wstring backupFolderOf(const std::wstring& folder) { return folder + L"_upgrade.bak"; }

// ---- CopyFileAction ----

CopyFileAction::CopyFileAction(std::wstring text, std::wstring source, std::wstring target)
    : Action(std::move(text)), source_(std::move(source)), target_(std::move(target)) {}

std::unique_ptr<Action> CopyFileAction::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "CopyFileAction", 2, 2);
    return std::make_unique<CopyFileAction>(text, std::move(fields[0]), std::move(fields[1]));
}

void CopyFileAction::execute(vmsi&) {
    undo_.before(target_);
    try {
        copyFile(source_, target_, false);
    } catch (...) {
        undo_.putBack();  // a copy that broke off half way
        throw;
    }
    undo_.after();
}

void CopyFileAction::rollback(vmsi& session) { undo_.undo(session); }

// ---- BackupFolderAction ----

BackupFolderAction::BackupFolderAction(std::wstring text, std::wstring folder)
    : Action(std::move(text)), folder_(std::move(folder)) {}

std::unique_ptr<Action> BackupFolderAction::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    return std::make_unique<BackupFolderAction>(text, folderParameter(parameters, "BackupFolderAction"));
}

void BackupFolderAction::execute(vmsi& session) {
    const std::wstring backup = backupFolderOf(folder_);
    annotate("BackupFolderAction::Commit", [&] { return formatString(L"Back up folder '%s' to '%s'", folder_, backup); }, [&] {
        // The previous backup is kept aside rather than deleted, until the stage is over.
        const std::wstring failure = captureFailure(
            "BackupFolderAction::Commit",
            [&] { return formatString(L"The previous backup '%s' cannot be kept for a rollback; it is removed", backup); },
            [&] { undo_.before(backup, folder_); });
        if (!failure.empty()) {
            vlog(LogLevel::Warning, L"%s", failure);
            removeItemsFolder(backup);
        }
        try {
            std::vector<std::wstring> missed;
            FileCountProgress progress(session, folder_);
            copyMoveFolder(folder_, backup, false, &missed, progress);
            if (!missed.empty()) {
                writeNotInBackup(backup, missed);
                for (const std::wstring& path : missed)
                    session.warnInLog(formatString(L"The backup of folder '%s' has no copy of '%s': a restore keeps it as "
                                               L"it is",
                                               folder_, path));
            }
        } catch (...) {
            undo_.putBack();
            throw;
        }
        undo_.after();
    });
}

void BackupFolderAction::rollback(vmsi& session) { undo_.undo(session); }

// ---- RestoreFolderAction ----

RestoreFolderAction::RestoreFolderAction(std::wstring text, std::wstring folder)
    : Action(std::move(text)), folder_(std::move(folder)) {}

std::unique_ptr<Action> RestoreFolderAction::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    return std::make_unique<RestoreFolderAction>(text, folderParameter(parameters, "RestoreFolderAction"));
}

void RestoreFolderAction::execute(vmsi& session) {
    const std::wstring backup = backupFolderOf(folder_);
    bool backupIsFile = false;
    if (!VDirectory::exists(backup, &backupIsFile) || backupIsFile)
        throw vexception(formatString(L"Cannot restore folder %s: its backup folder %s does not exist", folder_, backup),
                         errorFrame(L"", "RestoreFolderAction::Commit"));
    annotate("RestoreFolderAction::Commit", [&] { return formatString(L"Restore folder '%s' from '%s'", folder_, backup); },
             [&] {
                 removeItemsFolder(folder_, &session, readNotInBackup(backup));
                 if (VDirectory::exists(folder_)) {
                     // Something stayed: the backup fills in around it, and keeps what could not take its place.
                     FileCountProgress progress(session, backup);
                     copyMoveFolder(backup, folder_, true, nullptr, progress);
                     removeFile(backup + L"\\" + kNotInBackup, false, false, 0, 0);
                     removeEmptiedBackup(session, backup, folder_);
                 } else {
                     removeFile(backup + L"\\" + kNotInBackup, false, false, 0, 0);
                     renameDir(backup, folder_, false);
                 }
             });
}

// A restore is not undone. What it removed is the folder's content that it exists to throw away (the state
// an upgrade left), so nothing of it is kept to bring back; and the backup it used up is the same content as
// the folder now holds.
void RestoreFolderAction::rollback(vmsi& session) {
    session.log(L"Rollback: the restore of folder '%s' is not undone", folder_);
}
