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
    // Notes the file as it is now, as the action left it (gone, when the action removed it).
    void after();
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
