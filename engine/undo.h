#pragma once
// What an action changed, noted so that its rollback can take it back: and only while the thing is still
// exactly as the action left it. Something else changed it since, or it is gone: the rollback leaves it
// alone and says so in the installer log. Everything is kept in memory, so nothing is left on disk.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class vmsi;

// One file. before() as the action is about to change it; after() once the change is complete; undo() in
// the rollback. A file that before() did not see, or that after() never saw changed, has nothing to undo.
class FileUndo {
public:
    void before(const std::wstring& path);
    // The same for a file that the action has just read whole: it exists and holds `content`.
    void before(const std::wstring& path, std::string content);
    // Notes the file as it is now, as the action left it (gone, when the action removed it).
    void after();
    // The same when the action has just written the file whole with `content`.
    void after(std::string content);
    // After a change that failed half way: the file as before() saw it again, whatever it holds now. Logs
    // what it cannot do and never throws.
    void putBack() noexcept;
    // Puts the previous content back (keeping the file's security, through the replace-file helper), or
    // removes the file that the action created, or puts back a file that the action removed; logs a line
    // naming the file and what was done or why nothing was.
    void undo(vmsi& session);
    bool changed() const noexcept { return state_ == State::After; }

private:
    struct Content {
        bool exists = false;
        std::string bytes;
    };
    static Content read(const std::wstring& path);

    enum class State { Idle, Before, After } state_ = State::Idle;
    std::wstring path_;
    Content previous_;
    Content left_;  // what the action left, to recognise it at rollback
};

// A folder that an action makes anew as a whole (a backup). A previous folder of that name is not deleted but
// kept aside, renamed beside it, so that the rollback can bring it back; what is kept aside is removed when
// the object goes without a rollback having run (the stage succeeded). A folder counts as the action left it
// while it lists the same entries with the same sizes and write times.
class FolderUndo {
public:
    FolderUndo() = default;
    FolderUndo(const FolderUndo&) = delete;
    FolderUndo& operator=(const FolderUndo&) = delete;
    ~FolderUndo();

    // Moves an existing folder (or file) `path` aside in one rename; false when there is none. Throws when it
    // cannot be moved (then nothing is kept, and the undo only removes the new folder).
    bool before(const std::wstring& path);
    // Notes the folder as the action left it.
    void after();
    // After a change that failed: the new folder goes and the previous one comes back. Logs what it cannot do
    // and never throws.
    void putBack() noexcept;
    // Removes the folder the action made and puts the previous one back, while the folder is as the action
    // left it; logs a line either way.
    void undo(vmsi& session);

private:
    struct Entry {
        std::wstring name;  // relative to the folder
        DWORD attributes = 0;
        std::uint64_t size = 0;
        std::uint64_t written = 0;
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    struct Listing {
        bool exists = false;
        std::vector<Entry> entries;
        friend bool operator==(const Listing&, const Listing&) = default;
    };
    static Listing list(const std::wstring& path);
    // Takes the folder the action made out of the way and brings the previous one back.
    void restorePrevious();

    enum class State { Idle, Before, After, Done } state_ = State::Idle;
    std::wstring path_;
    std::wstring aside_;  // where the previous folder is kept; empty when there was none
    Listing left_;
};

// One registry value in one view: the same notes for a value the action set.
class RegistryValueUndo {
public:
    void before(HKEY root, const std::wstring& subkey, const std::wstring& name, REGSAM view);
    // Never throws: a value that cannot be read back counts as unchanged (and is left alone by the undo).
    void after() noexcept;
    void undo(vmsi& session);

private:
    struct Value {
        bool keyExists = false;
        bool exists = false;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        friend bool operator==(const Value&, const Value&) = default;
    };
    Value read() const;
    std::wstring displayName() const;

    enum class State { Idle, Before, After } state_ = State::Idle;
    HKEY root_ = nullptr;
    std::wstring subkey_;
    std::wstring name_;
    REGSAM view_ = 0;
    Value previous_;
    Value left_;
};
