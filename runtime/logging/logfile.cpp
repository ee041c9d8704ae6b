#include "runtime/logging/logfile.h"

#include <map>
#include <memory>

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/holder.h"
#include "runtime/logging/config.h"
#include "runtime/threads/sync.h"

namespace {

// The mutex of a log name, made once per process and kept: the log file object is made anew on every
// reading of the settings, and a named mutex costs two calls to the kernel to make and to close.
VMutex& logMutex(const std::wstring& name) {
    static SRWLOCK lock = SRWLOCK_INIT;
    static auto* mutexes = new std::map<std::wstring, std::unique_ptr<VMutex>>();  // logging goes on during shutdown
    SrwExclusive guard(lock);
    std::unique_ptr<VMutex>& mutex = (*mutexes)[name];
    if (!mutex) mutex = std::make_unique<VMutex>(false, L"tarvolog_" + name + L"_mutex");
    return *mutex;
}

void writeAll(HANDLE file, const void* data, DWORD size, const std::wstring& path) {
    DWORD written = 0;
    if (!::WriteFile(file, data, size, &written, nullptr) || written != size)
        throwOsError(formatString(L"WriteFile(%s)", path), ::GetLastError(), errorFrame(L"", "LogFile::write"));
}

}  // namespace

std::wstring executableFileName() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

LogFile::LogFile(std::wstring name, DWORD defaultEnabled)
    : name_(name.empty() ? executableFileName() : std::move(name)), enabled_(defaultEnabled) {
    logconfig::readDword(L"log_" + name_ + L"_enabled", enabled_);
    if (enabled_ == 0) return;
    std::wstring root;
    if (!logconfig::readString(L"PRODUCT_ROOT_D", root) || root.empty())
        throw vexception(L"The product root (PRODUCT_ROOT_D) is not configured", errorFrame(L"", "LogFile::LogFile"));
    directory_ = VFileName::combine(root, L"admin\\logs");
    mutex_ = &logMutex(name_);
}

LogFile::~LogFile() = default;

std::wstring LogFile::currentPath() const {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return pathFor(now);
}

std::wstring LogFile::pathFor(const SYSTEMTIME& day) const {
    return directory_ + L"\\" +
           formatString(L"tarvolog_%s%04d%02d%02d.log", name_, int{day.wYear}, int{day.wMonth}, int{day.wDay});
}

void LogFile::write(const std::wstring& line) {
    if (!enabled()) return;
    // Bounded: a process that hangs while it holds the lock delays a line by the bound, and the line is still
    // written (an append lands whole at the end of the file).
    constexpr DWORD lockTimeoutMs = 10000;
    struct Unlock {
        VMutex& mutex;
        bool locked;
        ~Unlock() {
            try {
                if (locked) mutex.unlock();
            } catch (...) {
            }
        }
    } unlock{*mutex_, mutex_->lock(lockTimeoutMs)};

    // One reading of the clock: a line stamped just before midnight goes to that day's file.
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const std::wstring path = pathFor(now);
    const std::wstring text =
        formatString(L"%04d%s%02d%s%02d %02d:%02d:%02d.%03d", int{now.wYear}, std::wstring(L"/"), int{now.wMonth},
                     std::wstring(L"/"), int{now.wDay}, int{now.wHour}, int{now.wMinute}, int{now.wSecond},
                     int{now.wMilliseconds}) +
        formatString(L" %d %d ", static_cast<int>(::GetCurrentProcessId()), static_cast<int>(::GetCurrentThreadId())) +
        line + L"\r\n";

    // Append-only access: every write lands at the end of the file as one piece, whichever process of
    // whichever session (the mutex above serialises only the session's own) writes at the same moment.
    tarvo::unique_file file(::CreateFileW(VFileName::toLongPath(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throwOsError(formatString(L"CreateFile(%s)", path), ::GetLastError(), errorFrame(L"", "LogFile::write"));
    // A new file starts with the byte-order mark, written together with the first line. A file this object
    // has written to is not empty, unless it was made anew (a deleted log): its size is asked only once.
    bool empty = ::GetLastError() != ERROR_ALREADY_EXISTS;
    if (!empty && path != writtenPath_) {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file.get(), &size))
            throwOsError(formatString(L"GetFileSizeEx(%s)", path), ::GetLastError(), errorFrame(L"", "LogFile::write"));
        empty = size.QuadPart == 0;
    }
    const std::wstring record = empty ? L'\xFEFF' + text : text;
    writeAll(file.get(), record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)), path);
    writtenPath_ = path;
}
