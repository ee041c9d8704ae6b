#include "engine/undo.h"

#include <algorithm>

#include "msi/vmsi.h"
#include "runtime/errors/annotate.h"
#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/filehash.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/replacefile.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/holder.h"
#include "runtime/logging/logmanager.h"
#include "runtime/security/security.h"
#include "runtime/service/service.h"

namespace {

constexpr const wchar_t* kRecordExtension = L".undo";

// Runs `body`, logging its failure as `what` (to the session when there is one) instead of throwing.
template <typename Body>
void tryOrWarn(vmsi* session, const std::wstring& what, Body&& body) noexcept {
    try {
        const std::wstring failure = captureFailure("UndoJournal", what, std::forward<Body>(body));
        if (failure.empty()) return;
        if (session)
            session->warningMessage(failure);
        else
            vlog(LogLevel::Warning, L"%s", failure);
    } catch (...) {
    }
}

bool isGuidName(const std::wstring& name) {
    if (name.size() != 36) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (i == 8 || i == 13 || i == 18 || i == 23 ? name[i] != L'-' : !std::iswxdigit(name[i])) return false;
    return true;
}

// What the journal writes is its own and open to SYSTEM and the Administrators only, whatever a copy would
// otherwise take along from its source.
void protect(const std::wstring& path) {
    static AdminsOnlySecurity* const security = [] {
        auto* built = new AdminsOnlySecurity;
        built->build(0);
        return built;
    }();
    if (!::SetFileSecurityW(VFileName::toLongPath(path).c_str(),
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, security->descriptor()))
        throwOsError(L"SetFileSecurity " + path, ::GetLastError(), errorFrame(L"", "UndoJournal"));
}

// Writes `text` to `file` so that the file always holds a whole record: beside it first, flushed, then moved
// over it in one step.
void writeWhole(const std::wstring& file, const std::string& text) {
    const std::wstring temporary = file + L".tmp";
    {
        VFile out(temporary, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
        out.writeAll(text);
        out.flush();
    }
    protect(temporary);
    VFile::moveEx(temporary, file, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

std::vector<std::wstring> recordsOf(const std::wstring& folder) {
    std::vector<std::wstring> names;
    VFileFinder finder;
    for (bool more = finder.first(folder + L"\\*" + kRecordExtension); more; more = finder.next())
        if (!finder.isDirectory()) names.push_back(finder.name());
    std::sort(names.begin(), names.end());
    return names;
}

thread_local UndoJournal* currentJournal = nullptr;

// A line of an undo: to the installer's log in a rollback, to the library's log when a change is put back.
void tell(vmsi* session, const std::wstring& line, LogLevel level = LogLevel::Info) {
    if (session) session->log(L"%s", line);
    else vlog(level, L"%s", line);
}

// The journal of actions run outside any stage (tools, tests): the process's own, gone with it.
struct PrivateJournal {
    UndoJournal journal{UndoJournal::newRunFolder(L"process-" + std::to_wstring(::GetCurrentProcessId()))};
    ~PrivateJournal() { journal.commit(nullptr); }
};

struct FileState {
    bool exists = false;
    std::wstring digest;
};

FileState stateOf(const std::wstring& path) {
    bool isDirectory = false;
    if (!fileExist(path, &isDirectory) || isDirectory) return {};
    return {true, digestOfFile(path)};
}

// A file that the action created goes, read-only or not (a copy takes the read-only flag of its source).
void removeCreatedFile(const std::wstring& path) {
    if (const DWORD attributes = ::GetFileAttributesW(VFileName::toLongPath(path).c_str());
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        setFileAttributes(path, FILE_ATTRIBUTE_READONLY);
    removeFile(path, false, false, 3, 400);
}

}  // namespace

// ---- UndoJournal ----

UndoJournal::UndoJournal(std::wstring folder) : folder_(std::move(folder)) {}

std::wstring UndoJournal::root() {
    wchar_t buffer[MAX_PATH];
    DWORD length = ::GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) length = ::GetEnvironmentVariableW(L"ALLUSERSPROFILE", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        throw vexception(L"Neither ProgramData nor ALLUSERSPROFILE names the folder for undo data",
                         errorFrame(L"", "UndoJournal::root"));
    return VFileName::trimTrailingSeparators(std::wstring(buffer, length)) + L"\\Tarvo\\Undo";
}

std::wstring UndoJournal::newRunFolder(const std::wstring& productCode) {
    return root() + L"\\" + (productCode.empty() ? std::wstring(L"unknown") : productCode) + L"\\" +
           createGuidString(true);
}

bool UndoJournal::isRunFolder(const std::wstring& folder) {
    const std::wstring canonical = VFileName::canonicalize(VFileName::stripLongPrefix(folder));
    const std::wstring product = VFileName::directoryOf(canonical);
    const std::wstring productName = VFileName::fileName(product);
    return isGuidName(VFileName::fileName(canonical)) && !productName.empty() && productName != L"." &&
           productName != L".." && VFileName::comparePaths(VFileName::directoryOf(product), root()) == VFileName::Equal;
}

UndoJournal& UndoJournal::current() {
    if (currentJournal) return *currentJournal;
    static PrivateJournal process;
    return process.journal;
}

bool UndoJournal::hasCurrent() noexcept { return currentJournal != nullptr; }

UndoJournal::Scope::Scope(UndoJournal& journal) : previous_(std::exchange(currentJournal, &journal)) {}

UndoJournal::Scope::~Scope() { currentJournal = previous_; }

std::wstring UndoJournal::newRecord() {
    if (next_ == 0) {
        const std::wstring top = root();
        const bool existed = VDirectory::exists(top);
        AdminsOnlySecurity security;
        security.build(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        // Each level protected in itself: a parent that another run removed (empty) and that is made again on
        // the way down does not open the journal.
        for (const std::wstring& level : {top, VFileName::directoryOf(folder_), folder_})
            VDirectory::createDirectory(level, security.attributes());
        // One made earlier, by hand or by an older version, may let others in.
        if (existed)
            ::SetFileSecurityW(VFileName::toLongPath(top).c_str(),
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, security.descriptor());
        const std::vector<std::wstring> existing = recordsOf(folder_);
        next_ = existing.empty() ? 1 : _wtoi(existing.back().c_str()) + 1;
    }
    return formatString(L"%s\\%06d%s", folder_, next_++, std::wstring(kRecordExtension));
}

void UndoJournal::rollBack(vmsi& session) noexcept {
    tryOrWarn(&session, L"Roll back the changes noted in " + folder_, [&] {
        const std::vector<std::wstring> names = recordsOf(folder_);
        std::wstring shown;
        size_t undone = 0;
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            std::unique_ptr<UndoRecord> record;
            tryOrWarn(&session, L"Read the undo record " + *name, [&] { record = UndoRecord::load(folder_ + L"\\" + *name); });
            if (!record || record->state() == UndoRecord::State::Done) continue;
            if (record->actionText() != shown || undone == 0) {
                shown = record->actionText();
                try {
                    session.actionProgress(L"Rollback action:" + shown, 1);
                } catch (...) {
                }
            }
            ++undone;
            tryOrWarn(&session, L"Rollback action " + record->actionText(), [&] { record->undo(session); });
        }
        if (undone == 0) session.log(L"Nothing of the normal stage is left to roll back");
    });
    remove();
}

void UndoJournal::commit(vmsi* session) noexcept {
    tryOrWarn(session, L"Keep the changes noted in " + folder_, [&] {
        for (const std::wstring& name : recordsOf(folder_)) {
            std::unique_ptr<UndoRecord> record;
            tryOrWarn(session, L"Read the undo record " + name, [&] { record = UndoRecord::load(folder_ + L"\\" + name); });
            if (record) record->commit();
        }
    });
    remove();
}

void UndoJournal::removeEarlierRuns(vmsi& session) noexcept {
    tryOrWarn(&session, L"Remove the undo data of earlier installations", [&] {
        const std::wstring product = VFileName::directoryOf(folder_);
        VFileFinder finder;
        for (bool more = finder.first(product + L"\\*"); more; more = finder.next()) {
            if (finder.isDots() || !finder.isDirectory() || !isGuidName(finder.name())) continue;
            const std::wstring earlier = product + L"\\" + finder.name();
            if (VFileName::comparePaths(earlier, folder_) == VFileName::Equal) continue;
            UndoJournal(earlier).commit(&session);
            session.log(L"Removed the undo data that an earlier installation of this product left in '%s'", earlier);
        }
    });
}

void UndoJournal::remove() noexcept {
    next_ = 0;  // a record made afterwards makes the folder again
    try {
        if (VDirectory::exists(folder_)) removeDir(folder_, true, L"");
        // Emptied parents go too, the journals' own folders included; one still in use by another run stays.
        std::wstring parent = folder_;
        for (int level = 0; level < 3; ++level) {
            parent = VFileName::directoryOf(parent);
            if (!::RemoveDirectoryW(VFileName::toLongPath(parent).c_str())) break;
        }
    } catch (...) {
        vlog(LogLevel::Warning, L"The undo data in '%s' could not be removed", folder_);
    }
}

// ---- UndoFields ----

std::wstring UndoFields::get(const std::string& key) const {
    const auto found = values_.find(key);
    return found == values_.end() ? std::wstring() : found->second;
}

std::string UndoFields::serialize() const {
    std::string text;
    for (const auto& [key, value] : values_) {
        text += key + "=";
        for (const char c : cstr(value, CP_UTF8)) {
            if (c == '\\') text += "\\\\";
            else if (c == '\n') text += "\\n";
            else if (c == '\r') text += "\\r";
            else text += c;
        }
        text += "\n";
    }
    return text;
}

UndoFields UndoFields::parse(std::string_view text) {
    UndoFields fields;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        std::string value;
        for (size_t i = equals + 1; i < line.size(); ++i) {
            if (line[i] != '\\' || i + 1 == line.size()) {
                value += line[i];
                continue;
            }
            const char next = line[++i];
            value += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        }
        fields.values_[std::string(line.substr(0, equals))] = wstr(value, CP_UTF8);
    }
    return fields;
}

void UndoFields::Binder::operator()(const std::string& key, std::wstring& value) {
    if (storing_) fields_.put(key, value);
    else value = fields_.get(key);
}

void UndoFields::Binder::operator()(const std::string& key, bool& value) {
    std::wstring text = value ? L"1" : L"0";
    (*this)(key, text);
    value = text == L"1";
}

void UndoFields::Binder::operator()(const std::string& key, DWORD& value) {
    std::wstring text = std::to_wstring(value);
    (*this)(key, text);
    value = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
}

void UndoFields::Binder::operator()(const std::string& key, std::vector<BYTE>& value) {
    static constexpr wchar_t hex[] = L"0123456789abcdef";
    std::wstring text;
    for (const BYTE b : value) text += {hex[b >> 4], hex[b & 15]};
    (*this)(key, text);
    value.clear();
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        value.push_back(static_cast<BYTE>(std::wcstoul(text.substr(i, 2).c_str(), nullptr, 16)));
}

void UndoFields::Binder::operator()(const std::string& key, std::vector<std::wstring>& value) {
    std::wstring text;
    for (const std::wstring& item : value) text += item + L"\n";
    (*this)(key, text);
    value.clear();
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(L'\n', at), text.size());
        if (end > at) value.push_back(text.substr(at, end - at));
        at = end + 1;
    }
}

// ---- UndoRecord ----

void UndoRecord::open() {
    UndoJournal& journal = UndoJournal::current();
    file_ = journal.newRecord();
    actionText_ = journal.actionText();
}

std::wstring UndoRecord::stem() const { return VFileName::removeExtension(file_); }

void UndoRecord::save(State state) {
    state_ = state;
    UndoFields fields;
    fields.put("kind", std::wstring(kind()));
    fields.put("state", std::to_wstring(static_cast<int>(state)));
    fields.put("action", actionText_);
    UndoFields::Binder storing(fields, true);
    bind(storing);
    writeWhole(file_, fields.serialize());
}

std::unique_ptr<UndoRecord> UndoRecord::load(const std::wstring& file) {
    const UndoFields fields =
        UndoFields::parse(VFile(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL).readAll());
    const std::wstring kind = fields.get("kind");
    std::unique_ptr<UndoRecord> record;
    if (kind == L"file") record = std::make_unique<FileUndo>();
    else if (kind == L"folder") record = std::make_unique<FolderUndo>();
    else if (kind == L"registry") record = std::make_unique<RegistryValueUndo>();
    else if (kind == L"service") record = std::make_unique<ServiceUndo>();
    else throw vexception(L"The undo record " + file + L" is of no known kind", errorFrame(L"", "UndoRecord::load"));
    record->file_ = file;
    record->actionText_ = fields.get("action");
    const int state = _wtoi(fields.get("state").c_str());
    record->state_ = state >= 0 && state <= static_cast<int>(State::Done) ? static_cast<State>(state) : State::Done;
    UndoFields copy = fields;
    UndoFields::Binder loading(copy, false);
    record->bind(loading);
    return record;
}

void UndoRecord::putBack() noexcept {
    if (state_ == State::Idle || state_ == State::Done) return;
    tryOrWarn(nullptr, L"Put " + describe() + L" back as it was", [&] { doPutBack(); });
    tryOrWarn(nullptr, L"Note the undo of " + describe(), [&] { save(State::Done); });
}

void UndoRecord::undo(vmsi& session) {
    switch (state_) {
    case State::Idle:
    case State::Done:
        return;
    case State::Unchanged:
        session.log(L"Rollback: %s was not changed: nothing to undo", describe());
        break;
    case State::Before:
        // Its action never finished (the process ended in the middle of it): put back whatever it got to.
        session.log(L"Rollback: %s is put back as it was: its action did not finish", describe());
        doPutBack();
        break;
    case State::After:
        doUndo(session);
        break;
    }
    save(State::Done);
}

// ---- FileUndo ----

std::wstring FileUndo::describe() const { return formatString(L"file '%s'", path_); }

void FileUndo::bind(UndoFields::Binder& field) {
    field("path", path_);
    field("previousExists", previousExists_);
    field("previousAt", previousAt_);
    field("previousTaken", previousTaken_);
    field("previousDigest", previousDigest_);
    field("leftExists", leftExists_);
    field("leftDigest", leftDigest_);
    field("holdsPreviousOf", holdsPreviousOf_);
}

void FileUndo::holdsPreviousOf(const std::wstring& original) {
    holdsPreviousOf_ = original;
    if (state_ == State::After) save(State::After);
}

void FileUndo::before(const std::wstring& path) {
    open();
    path_ = path;
    previousExists_ = fileExist(path);
    if (previousExists_) {
        previousAt_ = stem() + L".bytes";
        copyFile(path, previousAt_, false);
        protect(previousAt_);
        previousDigest_ = digestOfFile(previousAt_);
    }
    save(State::Before);
}

void FileUndo::before(const std::wstring& path, std::string_view content) {
    if (stem().empty()) open();
    path_ = path;
    previousExists_ = true;
    previousAt_ = stem() + L".bytes";
    // Through the system's cache, which outlives this process: the record that names the copy is flushed.
    VFile(previousAt_, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL).writeAll(content);
    protect(previousAt_);
    previousDigest_ = digestOf(content);
    save(State::Before);
}

namespace {

bool sameVolume(const std::wstring& a, const std::wstring& b) {
    wchar_t volumeA[MAX_PATH], volumeB[MAX_PATH];
    return ::GetVolumePathNameW(VFileName::toLongPath(a).c_str(), volumeA, MAX_PATH) &&
           ::GetVolumePathNameW(VFileName::toLongPath(b).c_str(), volumeB, MAX_PATH) &&
           VFileName::comparePaths(volumeA, volumeB) == VFileName::Equal;
}

}  // namespace

std::wstring FileUndo::beforeReplacing(const std::wstring& path, std::string_view content) {
    open();
    if (!sameVolume(path, stem())) {
        before(path, content);
        return {};
    }
    path_ = path;
    previousExists_ = true;
    previousAt_ = stem() + L".bytes";
    previousTaken_ = true;
    previousDigest_ = digestOf(content);
    save(State::Before);
    return previousAt_;
}

void FileUndo::beforeTakingAway(const std::wstring& path) {
    open();
    path_ = path;
    previousExists_ = fileExist(path);
    if (previousExists_) {
        previousAt_ = stem() + L".bytes";
        // Noted first: a crash between the move and the note would lose the file.
        previousTaken_ = true;
        save(State::Before);
        if (!::MoveFileExW(VFileName::toLongPath(path).c_str(), VFileName::toLongPath(previousAt_).c_str(),
                           MOVEFILE_WRITE_THROUGH)) {
            previousTaken_ = false;
            copyFile(path, previousAt_, false);
            protect(previousAt_);
            previousDigest_ = digestOfFile(previousAt_);
        }
    }
    save(State::Before);
}

void FileUndo::beforeKeptAt(const std::wstring& path, const std::wstring& keptAt, std::wstring digest) {
    open();
    path_ = path;
    previousExists_ = true;
    previousAt_ = keptAt;
    previousDigest_ = std::move(digest);
    save(State::Before);
}

void FileUndo::afterState() {
    const bool same = leftExists_ == previousExists_ && (!leftExists_ || leftDigest_ == previousDigest_);
    save(same ? State::Unchanged : State::After);
}

void FileUndo::after() {
    if (state_ != State::Before) return;
    const FileState now = stateOf(path_);
    leftExists_ = now.exists;
    leftDigest_ = now.digest;
    afterState();
}

void FileUndo::after(std::string_view content) { after(true, digestOf(content)); }

void FileUndo::after(bool exists, std::wstring digest) {
    if (state_ != State::Before) return;
    leftExists_ = exists;
    leftDigest_ = std::move(digest);
    afterState();
}

bool FileUndo::bringBackPrevious(vmsi* session) {
    bool isDirectory = false;
    if (!fileExist(previousAt_, &isDirectory) || isDirectory ||
        (!previousDigest_.empty() && digestOfFile(previousAt_) != previousDigest_)) {
        tell(session,
             formatString(L"Rollback: file '%s' is left as it is: its previous content, kept in '%s', was changed or "
                          L"removed since",
                          path_, previousAt_),
             LogLevel::Warning);
        return false;
    }
    if (previousTaken_ && !fileExist(path_)) {
        VFile::moveEx(previousAt_, path_, 0);
        return true;
    }
    // A copy beside the file, swapped in by the replace that keeps the file's own security.
    const std::wstring copy = path_ + L".undo-" + createGuidString(false);
    copyFile(previousAt_, copy, true);
    try {
        replaceFile(copy, path_);
    } catch (...) {
        (void)captureFailure("FileUndo", L"", [&] { removeFile(copy, false, false, 0, 0); });
        throw;
    }
    return true;
}

void FileUndo::doPutBack() {
    const FileState now = stateOf(path_);
    if (previousExists_) {
        if (!now.exists || previousDigest_.empty() || now.digest != previousDigest_) bringBackPrevious(nullptr);
    } else if (now.exists) {
        removeCreatedFile(path_);
    }
}

void FileUndo::doUndo(vmsi& session) {
    const FileState now = stateOf(path_);
    if (now.exists != leftExists_ || now.digest != leftDigest_) {
        session.log(L"Rollback: file '%s' is left as it is: %s", path_,
                    std::wstring(now.exists ? L"it was changed after the action" : L"it no longer exists"));
        return;
    }
    if (!holdsPreviousOf_.empty() && stateOf(holdsPreviousOf_).digest != leftDigest_) {
        session.log(L"Rollback: file '%s' is left as it is: it holds the previous content of '%s', which is not back "
                    L"there",
                    path_, holdsPreviousOf_);
        return;
    }
    if (previousExists_) {
        if (bringBackPrevious(&session)) session.log(L"Rollback: file '%s' has its previous content again", path_);
    } else {
        removeCreatedFile(path_);
        session.log(L"Rollback: file '%s', which the action created, is removed", path_);
    }
}

// ---- FolderUndo ----

namespace {

// The folder's entries (names, attributes, sizes and, with `content`, the digest of each file; else the write
// times) as one digest. A link to a folder counts as one entry: what it links to is not the folder's own.
std::wstring folderDigest(const std::wstring& path, bool content, const std::wstring& skipped = {}) {
    bool isDirectory = false;
    if (!fileExist(path, &isDirectory)) return {};
    std::vector<std::wstring> lines;
    std::vector<std::wstring> pending;
    if (isDirectory) pending.emplace_back();
    while (!pending.empty()) {
        const std::wstring relative = std::move(pending.back());
        pending.pop_back();
        const std::wstring here = relative.empty() ? path : path + L"\\" + relative;
        VFileFinder finder;
        for (bool more = finder.first(here + L"\\*"); more; more = finder.next()) {
            if (finder.isDots() || (relative.empty() && finder.name() == skipped)) continue;
            const WIN32_FIND_DATAW& data = finder.data();
            const std::wstring name = relative.empty() ? finder.name() : relative + L"\\" + finder.name();
            const bool folder = finder.isDirectory() && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
            std::wstring line = name + L"|" + std::to_wstring(finder.size());
            if (folder) pending.push_back(name);
            else if (content && !finder.isDirectory()) line += L"|" + digestOfFile(path + L"\\" + name);
            if (!content)
                line += L"|" + std::to_wstring(data.dwFileAttributes) + L"|" +
                        std::to_wstring((static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                        data.ftLastWriteTime.dwLowDateTime);
            lines.push_back(std::move(line));
        }
    }
    std::sort(lines.begin(), lines.end());
    ContentDigest digest;
    for (const std::wstring& line : lines) digest.add(cstr(line + L"\n", CP_UTF8));
    return L"1" + digest.finish();  // never empty for an existing folder
}

}  // namespace

std::wstring FolderUndo::describe() const { return formatString(L"folder '%s'", path_); }

void FolderUndo::bind(UndoFields::Binder& field) {
    field("path", path_);
    field("source", source_);
    field("aside", aside_);
    field("left", left_);
}

bool FolderUndo::before(const std::wstring& path, const std::wstring& source) {
    open();
    path_ = path;
    source_ = source;
    aside_.clear();
    if (!fileExist(path)) {
        save(State::Before);
        return false;
    }
    // Noted before the move: a crash after it still finds the previous folder.
    aside_ = path + L".kept-" + createGuidString(false);
    save(State::Before);
    try {
        VFile::moveEx(path, aside_, 0);
    } catch (...) {
        aside_.clear();
        save(State::Before);
        throw;
    }
    return true;
}

void FolderUndo::after() {
    if (state_ != State::Before) return;
    left_ = folderDigest(path_, false);
    save(State::After);
}

void FolderUndo::commit() noexcept {
    // Only after a complete change that no rollback took back: the previous folder is then no longer needed.
    if (state_ != State::After || aside_.empty() || !fileExist(aside_)) return;
    tryOrWarn(nullptr, formatString(L"Remove the previous folder kept in '%s'", aside_), [&] { removeDir(aside_, true, L""); });
}

void FolderUndo::restorePrevious() {
    if (fileExist(path_)) {
        // Out of the way in one step first: a removal that fails half way never leaves a mix of the two.
        const std::wstring discarded = path_ + L".discarded-" + createGuidString(false);
        VFile::moveEx(path_, discarded, 0);
        if (!aside_.empty() && fileExist(aside_)) {
            try {
                VFile::moveEx(aside_, path_, 0);
            } catch (...) {
                ::MoveFileExW(VFileName::toLongPath(discarded).c_str(), VFileName::toLongPath(path_).c_str(), 0);
                throw;
            }
        }
        removeDir(discarded, true, L"");
    } else if (!aside_.empty() && fileExist(aside_)) {
        VFile::moveEx(aside_, path_, 0);
    }
}

void FolderUndo::doPutBack() { restorePrevious(); }

void FolderUndo::doUndo(vmsi& session) {
    const bool hadPrevious = !aside_.empty() && fileExist(aside_);
    const std::wstring now = folderDigest(path_, false);
    if (now.empty() && hadPrevious) {
        // The new folder was used up (a restore took it): the previous one takes its place again.
        VFile::moveEx(aside_, path_, 0);
        session.log(L"Rollback: folder '%s' no longer exists: the previous one is back in its place", path_);
        return;
    }
    if (now != left_) {
        session.log(L"Rollback: folder '%s' is left as it is: %s", path_,
                    std::wstring(now.empty() ? L"it no longer exists" : L"it was changed after the action"));
        if (hadPrevious) session.log(L"Rollback: the previous content of folder '%s' stays in '%s'", path_, aside_);
        return;
    }
    // The backup holds the source as it was before the installation: while the source still holds the same,
    // the backup is a copy of it and may go. Otherwise it is the only copy of that.
    if (!source_.empty() && folderDigest(path_, true) != folderDigest(source_, true)) {
        session.log(L"Rollback: folder '%s' stays: '%s' was changed after it was made, and it keeps that folder as "
                    L"it was before",
                    path_, source_);
        if (hadPrevious) session.log(L"Rollback: the previous content of folder '%s' stays in '%s'", path_, aside_);
        return;
    }
    restorePrevious();
    session.log(hadPrevious ? L"Rollback: folder '%s' has its previous content again"
                            : L"Rollback: folder '%s', which the action made, is removed",
                path_);
}

// ---- RegistryValueUndo ----

void RegistryValueUndo::bind(UndoFields::Binder& field, const std::string& prefix, Value& value) {
    field(prefix + "KeyExists", value.keyExists);
    field(prefix + "Exists", value.exists);
    field(prefix + "Type", value.type);
    field(prefix + "Data", value.data);
}

void RegistryValueUndo::bind(UndoFields::Binder& field) {
    std::wstring root = root_ == HKEY_CLASSES_ROOT ? L"CR" : L"LM";
    field("root", root);
    root_ = root == L"CR" ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
    field("subkey", subkey_);
    field("name", name_);
    DWORD view = view_;
    field("view", view);
    view_ = view;
    bind(field, "previous", previous_);
    bind(field, "left", left_);
}

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

std::wstring RegistryValueUndo::describe() const {
    const wchar_t* root = root_ == HKEY_LOCAL_MACHINE ? L"HKLM" : root_ == HKEY_CLASSES_ROOT ? L"HKCR" : L"HKEY";
    return formatString(L"registry value '%s\\%s\\%s%s'", std::wstring(root), subkey_, name_,
                        std::wstring(view_ == KEY_WOW64_32KEY ? L" (32-bit view)" : L""));
}

void RegistryValueUndo::before(HKEY root, const std::wstring& subkey, const std::wstring& name, REGSAM view) {
    open();
    root_ = root;
    subkey_ = subkey;
    name_ = name;
    view_ = view;
    previous_ = read();
    save(State::Before);
}

void RegistryValueUndo::after() noexcept {
    if (state_ != State::Before) return;
    try {
        left_ = read();
        save(left_ == previous_ ? State::Unchanged : State::After);
    } catch (...) {
        state_ = State::Unchanged;
    }
}

void RegistryValueUndo::putPreviousBack() {
    const auto fail = [&](const wchar_t* call, LSTATUS status) {
        throwOsError(std::wstring(call) + L" " + subkey_ + L"\\" + name_, static_cast<DWORD>(status),
                     errorFrame(L"", "RegistryValueUndo::undo"));
    };
    tarvo::unique_hkey key;
    if (const LSTATUS status = ::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_SET_VALUE | view_, key.put())) {
        if (!previous_.keyExists && status == ERROR_FILE_NOT_FOUND) return;  // nothing of it was made
        fail(L"RegOpenKeyEx", status);
    }
    if (previous_.exists) {
        if (const LSTATUS status = ::RegSetValueExW(key.get(), name_.c_str(), 0, previous_.type, previous_.data.data(),
                                                    static_cast<DWORD>(previous_.data.size())))
            fail(L"RegSetValueEx", status);
        return;
    }
    if (const LSTATUS status = ::RegDeleteValueW(key.get(), name_.c_str()); status && status != ERROR_FILE_NOT_FOUND)
        fail(L"RegDeleteValue", status);
    // A key that the action created goes too, when nothing else has been put into it since.
    DWORD subkeys = 0, values = 0;
    key.reset();
    if (!previous_.keyExists &&
        ::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_QUERY_VALUE | view_, key.put()) == ERROR_SUCCESS &&
        ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys == 0 && values == 0) {
        key.reset();
        ::RegDeleteKeyExW(root_, subkey_.c_str(), view_, 0);
    }
}

void RegistryValueUndo::doPutBack() {
    if (read() != previous_) putPreviousBack();
}

void RegistryValueUndo::doUndo(vmsi& session) {
    if (read() != left_) {
        session.log(L"Rollback: %s is left as it is: it was changed after the action", describe());
        return;
    }
    putPreviousBack();
    session.log(previous_.exists ? L"Rollback: %s has its previous value again"
                                 : L"Rollback: %s, which the action created, is removed",
                describe());
}

// ---- ServiceUndo ----

std::wstring ServiceUndo::describe() const { return formatString(L"service '%s'", name_); }

void ServiceUndo::bind(UndoFields::Binder& field) {
    field("name", name_);
    field("start", start_);
    field("acted", acted_);
    field("stoppedDependents", stoppedDependents_);
}

void ServiceUndo::before(const std::wstring& name, bool start, bool acted) {
    open();
    name_ = name;
    start_ = start;
    acted_ = acted;
    save(State::Before);
}

void ServiceUndo::after(const std::vector<std::wstring>& stoppedDependents) {
    if (state_ != State::Before) return;
    stoppedDependents_ = stoppedDependents;
    save(acted_ || !stoppedDependents_.empty() ? State::After : State::Unchanged);
}

// The service goes back to the state it was in, and the dependents the stop took along run again; but only
// while each is still where the action left it: a service that something else started or stopped since is
// left alone.
void ServiceUndo::bringBack(vmsi* session) {
    const auto back = [&](const std::wstring& name, bool run) {
        if (service::isActive(name) == run) {
            tell(session, formatString(L"Rollback: service '%s' is left as it is: it is already %s again", name,
                              std::wstring(run ? L"running" : L"stopped")));
            return;
        }
        service::startStopService(name, run);
        tell(session, formatString(L"Rollback: service '%s' is %s again", name, std::wstring(run ? L"running" : L"stopped")));
    };
    if (acted_) back(name_, !start_);
    for (const std::wstring& dependent : stoppedDependents_) back(dependent, true);
}

void ServiceUndo::doPutBack() { bringBack(nullptr); }

void ServiceUndo::doUndo(vmsi& session) { bringBack(&session); }
