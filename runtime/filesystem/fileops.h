#pragma once
// The runtime's file and folder operations: the one way the library touches the file system. Every path
// reaches the system through VFileName::toLongPath, so paths of any length work with or without "\\?\";
// messages show the caller's paths. Failures throw (throwOsError with the system's code); a sharing
// violation (32) names the processes that hold the file: "... Processes: PID(%d) '%s'", one a line.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/holder.h"

class AccessList;

// True when the path names an existing file or folder (false for error 2 or 3; other errors throw).
bool fileExist(const std::wstring& path, bool* isDirectory = nullptr);
DWORD getFileAttributes(const std::wstring& path);
// Clears the bits of `mask` (FILE_ATTRIBUTE_READONLY: the read-only flag).
void setFileAttributes(const std::wstring& path, DWORD mask);

void copyFile(const std::wstring& source, const std::wstring& target, bool failIfExists);
// Moves one file (across volumes too); a locked file is tried `attempts` times, 100 ms apart. Attempts
// below 1 do nothing.
void renameFile(const std::wstring& source, const std::wstring& target, int attempts);
// Moves a folder with its contents and security. When one move is impossible (another volume) it moves
// the pieces one by one, and puts every piece back when one of them fails. A link to a folder moves as a
// link, in one step, or fails: what it links to never moves.
void renameDir(const std::wstring& source, const std::wstring& target, bool overwrite);
// Deletes one file (a missing one counts as deleted): once, once more after taking ownership and clearing
// the read-only flag when `force` is set, then `retries` more times `delayMs` apart. With `useRecycler` the
// file is first moved into the volume's recycler folder, where it stays if it cannot be deleted yet.
void removeFile(const std::wstring& path, bool force, bool useRecycler, int retries, int delayMs);
// Deletes a folder tree; with a `recycler` folder (recyclerPath) each item is moved there first and left
// there when it cannot be deleted yet. Links to folders are removed without their targets' contents.
void removeDir(const std::wstring& path, bool force, const std::wstring& recycler);

// Throws the failure `code` of a file operation on `paths` with `text` (throwOsError); a sharing violation
// (32) names the processes that hold one of them: "<text>. Processes: PID(%d) '%s'...".
[[noreturn]] void throwFileError(DWORD code, const std::wstring& text, const std::vector<std::wstring>& paths,
                                 const char* function);

// The recycler folder of the path's volume ("Recycler\{86066D57-9347-46a7-B4DB-971D9EF36D29}" in the volume
// root), created on demand with its own access list.
std::wstring recyclerPath(const std::wstring& path);
// A "\\?\"-prefixed name "{GUID}" inside `folder` that does not exist yet.
std::wstring makeTempName(const std::wstring& folder, int attempts);
// 36 lowercase hexadecimal characters without braces; sequential unless `random`.
std::wstring createGuidString(bool random);

class VFile {
public:
    VFile() = default;
    // CreateFileW semantics.
    VFile(const std::wstring& path, DWORD access, DWORD shareMode, DWORD creationDisposition, DWORD flags);
    VFile(VFile&&) noexcept = default;
    VFile& operator=(VFile&&) noexcept = default;

    void open(const std::wstring& path, DWORD access, DWORD shareMode, DWORD creationDisposition, DWORD flags);
    void close() noexcept { handle_.reset(); }
    bool isOpen() const noexcept { return static_cast<bool>(handle_); }
    HANDLE handle() const noexcept { return handle_.get(); }
    const std::wstring& path() const noexcept { return path_; }

    // Bytes read (0 at the end of the file).
    DWORD read(void* buffer, DWORD size);
    DWORD write(const void* data, DWORD size);
    // The new position; `method` is FILE_BEGIN, FILE_CURRENT or FILE_END.
    std::uint64_t seek(std::int64_t distance, DWORD method);
    std::uint64_t size();
    // The rest of the file from the current position.
    std::string readAll();
    // All of `data`, or a failure.
    void writeAll(std::string_view data);
    void flush();

    // Moves one file or folder with MoveFileExW `flags`.
    static void moveEx(const std::wstring& source, const std::wstring& target, DWORD flags);

private:
    tarvo::unique_file handle_;
    std::wstring path_;
};

// Gathers small pieces of a file's content into large writes, in a buffer of `capacity` bytes that is reused:
// a file written a line at a time costs few calls, and one made of large pieces no copies. What is gathered
// reaches the file with flush(), not with the destructor, where a failure would be lost.
class BufferedWriter {
public:
    explicit BufferedWriter(VFile& file, size_t capacity = size_t{1} << 20);
    void write(std::string_view piece);
    void flush();

private:
    VFile& file_;
    std::string buffer_;
};

class VDirectory {
public:
    VDirectory() = delete;
    // Creates the folder and every missing parent; `security` applies to the folder itself. An existing
    // file or folder of that name is left as it is.
    static void createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security = nullptr);
    // False for an empty path; `isFile` tells a file from a folder.
    static bool exists(const std::wstring& path, bool* isFile = nullptr);
    // removeDir of the path if it exists, through the volume's recycler when asked.
    static void remove(const std::wstring& path, bool force, bool useRecycler);
    static std::wstring current();
};

// One search of a folder (FindFirstFile/FindNextFile) and its current entry.
class VFileFinder {
public:
    VFileFinder() = default;
    // False when nothing matches (or the folder is missing).
    bool first(const std::wstring& pattern);
    // False after the last entry.
    bool next();

    bool isDirectory() const noexcept { return (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // "." or "..".
    bool isDots() const noexcept;
    std::wstring name() const { return data_.cFileName; }
    std::uint64_t size() const noexcept {
        return (static_cast<std::uint64_t>(data_.nFileSizeHigh) << 32) | data_.nFileSizeLow;
    }
    const WIN32_FIND_DATAW& data() const noexcept { return data_; }

private:
    tarvo::unique_find handle_;
    WIN32_FIND_DATAW data_{};
};

namespace fileops_detail {
// The pause between two attempts of the file operations; tests count attempts without waiting. Returns the
// previous one.
using PauseFunction = std::function<void(DWORD ms)>;
PauseFunction setPause(PauseFunction pause);
// What a recycler folder is created with.
AccessList recyclerAccessList();
}  // namespace fileops_detail
