#pragma once
// What an action changed, noted so that a rollback can take it back: and only while the thing is still exactly
// as the action left it. Something else changed it since, or it is gone: the rollback leaves it alone and says
// so in the installer log.
//
// The notes are written ahead, to disk: before an action changes anything, a record of what is needed to undo
// it (a copy of the file, the registry value, the service's state, where the previous backup went) is in the
// journal folder and flushed. The stage's own rollback and the installation's rollback action, which may run
// in another process after this one crashed, work from the same records; a record that was undone once is
// marked so and never undone again. The journal lives in a folder that only SYSTEM and the Administrators can
// open, since it holds old file contents; nothing of it reaches a log.
#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class vmsi;

// One folder of records, one per change, numbered in the order they were made.
class UndoJournal {
public:
    // A journal in `folder`, made when the first record is written.
    explicit UndoJournal(std::wstring folder);
    UndoJournal(const UndoJournal&) = delete;
    UndoJournal& operator=(const UndoJournal&) = delete;

    // Where the journals live ("<ProgramData>\Tarvo\Undo"); made on demand with access for SYSTEM and the
    // Administrators only, which an existing folder is given again.
    static std::wstring root();
    // A new journal folder for a run of the product `productCode` (its folder groups the product's runs).
    static std::wstring newRunFolder(const std::wstring& productCode);
    // True for a folder that newRunFolder can have made: the only folders the rollback and commit actions
    // ever remove.
    static bool isRunFolder(const std::wstring& folder);

    // The journal the actions running on this thread write to; outside a stage, a private one of the
    // process, removed when the process ends.
    static UndoJournal& current();
    // True while a Scope has made a journal the current one of this thread.
    static bool hasCurrent() noexcept;
    // Makes `journal` the current one of this thread while it lives.
    class Scope {
    public:
        explicit Scope(UndoJournal& journal);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        UndoJournal* previous_;
    };

    const std::wstring& folder() const noexcept { return folder_; }
    // The text of the action whose changes are noted from now on; each record keeps it for the log.
    void setActionText(std::wstring text) { actionText_ = std::move(text); }
    const std::wstring& actionText() const noexcept { return actionText_; }
    // The path of a new record file ("<folder>\000007.undo"), the folder made first.
    std::wstring newRecord();

    // The installation failed: every change not undone yet is taken back, the last first (a change whose
    // action never finished is put back as it was), each reported as a rollback action in the log; then the
    // journal goes. Never throws: what cannot be undone is a warning.
    void rollBack(vmsi& session) noexcept;
    // The installation is kept: what the records kept aside outside the journal (a previous backup) goes,
    // then the journal. Never throws.
    void commit(vmsi* session) noexcept;
    // Removes the journals of earlier runs of the same product (a finished installation's, which a crash or
    // an old package left), logging each.
    void removeEarlierRuns(vmsi& session) noexcept;
    // Removes the folder and whatever it holds, and the product's folder when it is left empty.
    void remove() noexcept;

private:
    std::wstring folder_;
    std::wstring actionText_;
    int next_ = 0;
};

// The fields of one record file: UTF-8 lines "key=value", the values escaped.
class UndoFields {
public:
    void put(const std::string& key, const std::wstring& value) { values_[key] = value; }
    std::wstring get(const std::string& key) const;
    std::string serialize() const;
    static UndoFields parse(std::string_view text);

    // Binds a record's members to its fields, one list for both ways: storing puts each member, loading sets
    // it from its field.
    class Binder {
    public:
        Binder(UndoFields& fields, bool storing) : fields_(fields), storing_(storing) {}
        void operator()(const std::string& key, std::wstring& value);
        void operator()(const std::string& key, bool& value);
        void operator()(const std::string& key, DWORD& value);
        void operator()(const std::string& key, std::vector<BYTE>& value);
        void operator()(const std::string& key, std::vector<std::wstring>& value);

    private:
        UndoFields& fields_;
        bool storing_;
    };

private:
    std::map<std::string, std::wstring> values_;
};

// One noted change. before() as the action is about to change the thing, after() once the change is complete,
// undo() in a rollback; putBack() after a change that failed half way. Each step is saved to the record.
class UndoRecord {
public:
    enum class State { Idle, Before, After, Unchanged, Done };
    virtual ~UndoRecord() = default;

    // After a change that failed half way: the thing as before() saw it again, whatever it holds now. Logs what
    // it cannot do and never throws.
    void putBack() noexcept;
    // Takes the change back while the thing is as the action left it; logs a line naming it and what was done
    // or why nothing was.
    void undo(vmsi& session);
    // The installation is kept.
    virtual void commit() noexcept {}
    bool changed() const noexcept { return state_ == State::After; }
    State state() const noexcept { return state_; }
    const std::wstring& actionText() const noexcept { return actionText_; }

    // The record in `file`, of whichever kind it is.
    static std::unique_ptr<UndoRecord> load(const std::wstring& file);

protected:
    // Starts a record in the current journal.
    void open();
    void save(State state);
    // The record's file without its extension: a base for the files it keeps beside it.
    std::wstring stem() const;

    virtual const wchar_t* kind() const = 0;
    virtual void bind(UndoFields::Binder& field) = 0;
    virtual void doPutBack() = 0;
    virtual void doUndo(vmsi& session) = 0;
    // Names the thing in log lines (which the session masks: names come from a script).
    virtual std::wstring describe() const = 0;

    State state_ = State::Idle;

private:
    std::wstring file_;
    std::wstring actionText_;
};

// One file.
class FileUndo : public UndoRecord {
public:
    // A copy of the file as it is now goes into the journal.
    void before(const std::wstring& path);
    // The same for a file that the action has just read whole: it exists and holds `content`.
    void before(const std::wstring& path, std::string_view content);
    // The action is about to replace the file, which it has just read whole (`content`), with ReplaceFileW: the
    // returned name in the journal is where the replace is to keep the previous file, or empty when the journal
    // lies on another volume (then a copy of `content` is in the journal already).
    std::wstring beforeReplacing(const std::wstring& path, std::string_view content);
    // The action is about to remove or replace the file: the file itself moves into the journal (a copy where
    // it cannot move there in one step, and then the file stays for the action to remove).
    void beforeTakingAway(const std::wstring& path);
    // The action keeps the previous file itself at `keptAt` (a ".bak" it makes): nothing is copied, the
    // record notes the digest that file will have.
    void beforeKeptAt(const std::wstring& path, const std::wstring& keptAt, std::wstring digest);
    // The file as the action left it, read again; or as it was just written whole with `content`; or its
    // digest, known otherwise.
    void after();
    void after(std::string_view content);
    void after(bool exists, std::wstring digest);
    // The digest the file had before the action (empty when the file did not exist or was moved away).
    const std::wstring& previousDigest() const noexcept { return previousDigest_; }
    // The file as the action left it holds the previous content of `original` (a ".bak"): its undo waits until
    // that content is back in `original`, else it is the only copy and stays.
    void holdsPreviousOf(const std::wstring& original);

private:
    const wchar_t* kind() const override { return L"file"; }
    void bind(UndoFields::Binder& field) override;
    void doPutBack() override;
    void doUndo(vmsi& session) override;
    std::wstring describe() const override;
    void afterState();
    // The previous bytes in place of the file; false (and a log line) when they are no longer to be had.
    bool bringBackPrevious(vmsi* session);

    std::wstring path_;
    bool previousExists_ = false;
    std::wstring previousAt_;  // a copy in the journal, or where the action keeps the previous file
    bool previousTaken_ = false;
    std::wstring previousDigest_;
    bool leftExists_ = false;
    std::wstring leftDigest_;
    std::wstring holdsPreviousOf_;
};

// A folder that an action makes anew as a whole (a backup of `source`). A previous folder of that name is not
// deleted but kept aside, renamed beside it, so that a rollback can bring it back; what is kept aside goes when
// the installation is kept. The rollback removes the new backup only while `source` still holds the same
// files: otherwise the backup is the only copy of the folder as it was, and it stays.
class FolderUndo : public UndoRecord {
public:
    // Moves an existing folder (or file) `path` aside in one rename; false when there is none. Throws when it
    // cannot be moved (then nothing is kept, and the undo only removes the new folder).
    bool before(const std::wstring& path, const std::wstring& source);
    void after();
    void commit() noexcept override;

private:
    const wchar_t* kind() const override { return L"folder"; }
    void bind(UndoFields::Binder& field) override;
    void doPutBack() override;
    void doUndo(vmsi& session) override;
    std::wstring describe() const override;
    // Takes the folder the action made out of the way and brings the previous one back.
    void restorePrevious();

    std::wstring path_;
    std::wstring source_;
    std::wstring aside_;  // where the previous folder is kept; empty when there was none
    std::wstring left_;   // digest of the listing the action left
};

// One registry value in one view.
class RegistryValueUndo : public UndoRecord {
public:
    void before(HKEY root, const std::wstring& subkey, const std::wstring& name, REGSAM view);
    // Never throws: a value that cannot be read back counts as unchanged (and is left alone by the undo).
    void after() noexcept;

private:
    struct Value {
        bool keyExists = false;
        bool exists = false;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        friend bool operator==(const Value&, const Value&) = default;
    };
    Value read() const;
    static void bind(UndoFields::Binder& field, const std::string& prefix, Value& value);

    const wchar_t* kind() const override { return L"registry"; }
    void bind(UndoFields::Binder& field) override;
    void doPutBack() override;
    void doUndo(vmsi& session) override;
    std::wstring describe() const override;
    void putPreviousBack();

    HKEY root_ = nullptr;
    std::wstring subkey_;
    std::wstring name_;
    REGSAM view_ = 0;
    Value previous_;
    Value left_;
};

// One service started or stopped, with the running services that its stop took along.
class ServiceUndo : public UndoRecord {
public:
    // `acted`: the service was not yet in the state the action brings it to.
    void before(const std::wstring& name, bool start, bool acted);
    void after(const std::vector<std::wstring>& stoppedDependents);

private:
    const wchar_t* kind() const override { return L"service"; }
    void bind(UndoFields::Binder& field) override;
    void doPutBack() override;
    void doUndo(vmsi& session) override;
    std::wstring describe() const override;
    void bringBack(vmsi* session);

    std::wstring name_;
    bool start_ = false;
    bool acted_ = false;
    std::vector<std::wstring> stoppedDependents_;
};
