#pragma once
// "CopyFile": one file copied over another. "BackupFolder": a copy of a folder tree in the sibling folder
// named like the folder followed by "_upgrade.bak", made before an upgrade; "RestoreFolder": that copy put
// back in the folder's place afterwards. The two are used as a pair, with the same folder.
//
// The folder walks log (at level Error) and skip every item that cannot be copied, moved or removed, so that
// one locked file never stops a backup or a restore; only the failures named with each action end it. What
// is skipped is never lost: the backup records the files it has no copy of, and the links to folders (never
// followed), and the restore leaves those in the folder as they are; a backup file that cannot take its
// place stays in the backup.
#include <memory>
#include <string>

#include "engine/action.h"
#include "engine/undo.h"

class CopyFileAction : public Action {
public:
    CopyFileAction(std::wstring text, std::wstring source, std::wstring target);
    // Parameters: source, target.
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    // An existing target is overwritten; a missing target folder is not made. Every failure fails the action.
    void execute(vmsi& session) override;
    // The target's previous content comes back, or the target goes when there was none.
    void rollback(vmsi& session) override;

private:
    std::wstring source_;
    std::wstring target_;
    FileUndo undo_;
};

class BackupFolderAction : public Action {
public:
    BackupFolderAction(std::wstring text, std::wstring folder);
    // Parameters: the folder (trailing separators are dropped; a drive or share root is refused).
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    // The backup is made anew: a previous one never mixes with it. A folder that does not exist gives an
    // empty backup. A file that cannot be copied, and a link to a folder, are recorded in the backup and
    // named in a warning. Fails when the backup folder cannot be made or a folder cannot be listed.
    void execute(vmsi& session) override;
    // The backup goes and the previous backup, kept aside meanwhile, comes back.
    void rollback(vmsi& session) override;

private:
    std::wstring folder_;
    FolderUndo undo_;
};

class RestoreFolderAction : public Action {
public:
    RestoreFolderAction(std::wstring text, std::wstring folder);
    // Parameters: the folder, as given to BackupFolder.
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    // The folder's contents are removed and the backup takes their place: in one rename when the folder could
    // be removed completely, else file by file (what could not be removed stays as it is), after which the
    // backup folder is removed. What the backup records as having no copy of stays in the folder, and a
    // backup file that cannot take its place stays in the backup, each named in a warning. Fails, touching
    // nothing, when there is no backup.
    void execute(vmsi& session) override;
    // Not undone: see the definition.
    void rollback(vmsi& session) override;

private:
    std::wstring folder_;
};

// Where the backup of `folder` lives.
std::wstring backupFolderOf(const std::wstring& folder);
