#include "actions/filecopy.h"

#include <cwctype>
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

void copyMoveItem(const std::wstring& source, const std::wstring& target, bool move) {
    loggedStep(
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

// The tree `source` copied or moved into `target` (made if missing) file by file. Emptied source folders
// stay. Fails only when a folder cannot be made or listed.
void copyMoveFolder(const std::wstring& source, const std::wstring& target, bool move) {
    VDirectory::createDirectory(target);
    for (const Entry& entry : entriesOf(source)) {
        const std::wstring from = source + L"\\" + entry.name, to = target + L"\\" + entry.name;
        if (entry.folderLink())
            vlog(LogLevel::Error, L"Unable to %s '%s': it is a link to a folder, which is not followed",
                 std::wstring(move ? L"move" : L"copy"), from);
        else if (entry.folder())
            copyMoveFolder(from, to, move);
        else
            copyMoveItem(from, to, move);
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

// Removes what the folder holds; true when all of it went. A folder that keeps something is not tried
// itself: its removal could only fail again.
bool removeContents(const std::wstring& folder) {
    bool complete = true;
    for (const Entry& entry : entriesOf(folder)) {
        const std::wstring path = folder + L"\\" + entry.name;
        if (entry.folder() && !entry.folderLink() && !removeContents(path))
            complete = false;
        else if (!removeItem(path, entry.folder()))
            complete = false;
    }
    return complete;
}

// The folder and everything in it, as far as they can be removed; never throws.
void removeItemsFolder(const std::wstring& folder) {
    loggedStep(
        "`anonymous-namespace'::RemoveItemsFolder", [&] { return formatString(L"Unable to remove folder: %s", folder); },
        [&] {
            if (VDirectory::exists(folder) && removeContents(folder)) removeItem(folder, true);
        });
}

// The folder parameter without trailing separators (and "." or ".." parts), so that the backup lies beside
// the folder, never inside it. A drive root has no place beside it.
std::wstring folderParameter(const std::wstring& parameters, const char* className) {
    std::wstring folder = VFileName::trimTrailingSeparators(
        VFileName::canonicalize(std::move(factoryFields(parameters, className, 1, 1)[0])));
    const std::wstring bare = VFileName::stripLongPrefix(folder);
    if (bare.empty() || (bare.size() == 2 && bare[1] == L':' && std::iswalpha(bare[0])))
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

void BackupFolderAction::execute(vmsi&) {
    const std::wstring backup = backupFolderOf(folder_);
    annotate("BackupFolderAction::Commit", [&] { return formatString(L"Back up folder '%s' to '%s'", folder_, backup); }, [&] {
        // The previous backup is kept aside rather than deleted, until the stage is over.
        const std::wstring failure = captureFailure(
            "BackupFolderAction::Commit",
            [&] { return formatString(L"The previous backup '%s' cannot be kept for a rollback; it is removed", backup); },
            [&] { undo_.before(backup); });
        if (!failure.empty()) {
            vlog(LogLevel::Warning, L"%s", failure);
            removeItemsFolder(backup);
        }
        try {
            copyMoveFolder(folder_, backup, false);
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

void RestoreFolderAction::execute(vmsi&) {
    const std::wstring backup = backupFolderOf(folder_);
    bool backupIsFile = false;
    if (!VDirectory::exists(backup, &backupIsFile) || backupIsFile)
        throw vexception(formatString(L"Cannot restore folder %s: its backup folder %s does not exist", folder_, backup),
                         errorFrame(L"", "RestoreFolderAction::Commit"));
    annotate("RestoreFolderAction::Commit", [&] { return formatString(L"Restore folder '%s' from '%s'", folder_, backup); },
             [&] {
                 removeItemsFolder(folder_);
                 if (VDirectory::exists(folder_)) {
                     // Something stayed: the backup fills in around it.
                     copyMoveFolder(backup, folder_, true);
                     removeItemsFolder(backup);
                 } else {
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
