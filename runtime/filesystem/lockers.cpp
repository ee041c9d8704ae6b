#include "runtime/filesystem/lockers.h"

#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <utility>

#include "runtime/errors/annotate.h"
#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/holder.h"
#include "runtime/logging/logmanager.h"
#include "runtime/threads/vthread.h"
#include "runtime/threads/wait.h"

namespace {

// ---- ntdll, resolved when the library is loaded ----

constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS kInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr ULONG kObjectNameInformation = 1;
constexpr ULONG kObjectTypeInformation = 2;

using NtQuerySystemInformationFunction = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using NtQueryInformationProcessFunction = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using NtQueryObjectFunction = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using RtlNtStatusToDosErrorFunction = ULONG(NTAPI*)(NTSTATUS);
// Present in the ntdll of 32-bit processes on 64-bit Windows: they reach the 64-bit address space.
using NtWow64QueryInformationProcess64Function = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using NtWow64ReadVirtualMemory64Function = NTSTATUS(NTAPI*)(HANDLE, ULONG64, PVOID, ULONG64, PULONG64);

template <typename Function>
Function ntProc(HMODULE ntdll, const char* name) noexcept {
    return ntdll ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name))) : nullptr;
}

struct NtFunctions {
    NtQuerySystemInformationFunction querySystemInformation;
    NtQueryInformationProcessFunction queryInformationProcess;
    NtQueryObjectFunction queryObject;
    RtlNtStatusToDosErrorFunction statusToDosError;
    NtWow64QueryInformationProcess64Function wow64QueryInformationProcess64;
    NtWow64ReadVirtualMemory64Function wow64ReadVirtualMemory64;

    NtFunctions() noexcept {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        querySystemInformation = ntProc<NtQuerySystemInformationFunction>(ntdll, "NtQuerySystemInformation");
        queryInformationProcess = ntProc<NtQueryInformationProcessFunction>(ntdll, "NtQueryInformationProcess");
        queryObject = ntProc<NtQueryObjectFunction>(ntdll, "NtQueryObject");
        statusToDosError = ntProc<RtlNtStatusToDosErrorFunction>(ntdll, "RtlNtStatusToDosError");
        wow64QueryInformationProcess64 =
            ntProc<NtWow64QueryInformationProcess64Function>(ntdll, "NtWow64QueryInformationProcess64");
        wow64ReadVirtualMemory64 = ntProc<NtWow64ReadVirtualMemory64Function>(ntdll, "NtWow64ReadVirtualMemory64");
    }
};

const NtFunctions nt;

DWORD dosError(NTSTATUS status) noexcept {
    return nt.statusToDosError ? nt.statusToDosError(status) : static_cast<DWORD>(status);
}

[[noreturn]] void missingFunction(const char* name, const char* function) {
    throwOsError(wstr(name), ERROR_PROC_NOT_FOUND, errorFrame(L"", function));
}

// ---- the system's handle table ----

// SystemHandleInformation (16): 16-bit handle values; the process id is the low word of the first field.
// The natural layout is right for both widths: 16 bytes an entry on i686, 24 on x86_64, after a count
// padded to the pointer size.
struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handleValue;
    PVOID object;
    ACCESS_MASK grantedAccess;
};
struct SystemHandleInformation {
    ULONG count;
    SystemHandleEntry handles[1];
};
static_assert(sizeof(SystemHandleEntry) == (sizeof(void*) == 8 ? 24 : 16));
static_assert(offsetof(SystemHandleInformation, handles) == sizeof(void*));

// SystemExtendedHandleInformation (64): full process ids and handle values.
struct SystemHandleEntryEx {
    PVOID object;
    ULONG_PTR ownerPid;
    ULONG_PTR handleValue;
    ACCESS_MASK grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
struct SystemHandleInformationEx {
    ULONG_PTR count;
    ULONG_PTR reserved;
    SystemHandleEntryEx handles[1];
};
static_assert(sizeof(SystemHandleEntryEx) == (sizeof(void*) == 8 ? 40 : 28));
static_assert(offsetof(SystemHandleInformationEx, handles) == 2 * sizeof(void*));

struct HandleEntry {
    ULONG_PTR value;
    USHORT type;  // the system's object type number
};
using HandleTable = std::map<DWORD, std::vector<HandleEntry>>;  // by process id, ascending

std::atomic<bool> legacyTableForced{false};

// One answer of NtQuerySystemInformation, the buffer doubled while the system asks for more.
NTSTATUS querySystem(ULONG informationClass, std::vector<ULONG_PTR>& buffer) {
    if (!nt.querySystemInformation) missingFunction("NtQuerySystemInformation", "RunTime::getProccessesByOpenedFiles");
    size_t bytes = 0x10000;
    for (;;) {
        try {
            buffer.assign(bytes / sizeof(ULONG_PTR), 0);
        } catch (const std::bad_alloc&) {
            throw vexception(formatString(L"Unable to allocate (%d) bytes", static_cast<int>(bytes)),
                             errorFrame(L"", "RunTime::getProccessesByOpenedFiles"));
        }
        ULONG needed = 0;
        const NTSTATUS status =
            nt.querySystemInformation(informationClass, buffer.data(), static_cast<ULONG>(bytes), &needed);
        if (status != kInfoLengthMismatch) return status;
        if (bytes >= 0x40000000) return status;
        bytes = std::max<size_t>(bytes * 2, static_cast<size_t>(needed) + 0x10000);
    }
}

// Every handle of every other process, grouped by process; empty (and logged) when the table is unreadable.
HandleTable readHandleTable() {
    const DWORD self = ::GetCurrentProcessId();
    HandleTable table;
    std::vector<ULONG_PTR> buffer;
    NTSTATUS status = kInvalidInfoClass;
    if (!legacyTableForced.load()) {
        status = querySystem(kSystemExtendedHandleInformation, buffer);
        if (NT_SUCCESS(status)) {
            const auto* info = reinterpret_cast<const SystemHandleInformationEx*>(buffer.data());
            for (ULONG_PTR i = 0; i < info->count; ++i) {
                const SystemHandleEntryEx& entry = info->handles[i];
                if (entry.ownerPid != self)
                    table[static_cast<DWORD>(entry.ownerPid)].push_back({entry.handleValue, entry.objectTypeIndex});
            }
            return table;
        }
    }
    // The legacy form where the extended one is unknown (or refused, as a 32-bit layer might).
    if (!NT_SUCCESS(status)) status = querySystem(kSystemHandleInformation, buffer);
    if (!NT_SUCCESS(status)) {
        const std::wstring text = L"NtQuerySystemInformation() failed";
        vlog(LogLevel::Error, L"%s", osErrorText(dosError(status), &text));
        return table;
    }
    const auto* info = reinterpret_cast<const SystemHandleInformation*>(buffer.data());
    for (ULONG i = 0; i < info->count; ++i) {
        const SystemHandleEntry& entry = info->handles[i];
        if (entry.ownerPid != self) table[entry.ownerPid].push_back({entry.handleValue, entry.objectType});
    }
    return table;
}

// What each object type number stands for, learnt from the handles examined: handles of a type known to be
// neither "File" nor "Directory" are skipped without being duplicated. A number seen with two names (a
// system that leaves the field empty) is never trusted.
class ObjectTypes {
public:
    bool mayBeFile(USHORT type) const {
        const auto found = names_.find(type);
        return found == names_.end() || !found->second || isFileType(*found->second);
    }
    void learn(USHORT type, const std::wstring& name) {
        const auto [entry, added] = names_.try_emplace(type, name);
        if (!added && entry->second && *entry->second != name) entry->second.reset();
    }
    static bool isFileType(const std::wstring& name) { return name == L"File" || name == L"Directory"; }

private:
    std::map<USHORT, std::optional<std::wstring>> names_;
};

std::wstring objectTypeName(HANDLE handle) {
    if (!nt.queryObject) missingFunction("NtQueryObject", "RunTime::getProccessesByOpenedFiles");
    std::vector<ULONG_PTR> buffer(0x1000 / sizeof(ULONG_PTR));
    ULONG needed = 0;
    const NTSTATUS status = nt.queryObject(handle, kObjectTypeInformation, buffer.data(), 0x1000, &needed);
    if (!NT_SUCCESS(status)) {
        ::SetLastError(dosError(status));
        return {};
    }
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    return std::wstring(name->Buffer, name->Length / sizeof(wchar_t));
}

// ---- command lines from the process parameters ----

// The process parameters pointer in the environment block and the command line in the parameters, by the
// width of the process that is read.
struct ParameterLayout {
    ULONG parametersOffset;
    ULONG commandLineOffset;
};
constexpr ParameterLayout layout32{0x10, 0x40};
constexpr ParameterLayout layout64{0x20, 0x70};

template <typename Pointer>
struct CountedString {
    USHORT length;  // bytes
    USHORT maximumLength;
    Pointer buffer;
};
static_assert(sizeof(CountedString<ULONG>) == 8);
struct CountedString64 {
    USHORT length;
    USHORT maximumLength;
    ULONG padding;
    ULONG64 buffer;
};
static_assert(sizeof(CountedString64) == 16);

// Reads the command line through `read(address, buffer, bytes)` (false on failure, the error in
// GetLastError), starting at the environment block `peb`.
template <typename Pointer, typename String, typename Read>
std::wstring commandLineAt(Pointer peb, ParameterLayout layout, Read&& read) {
    const auto fail = [](const wchar_t* what) {
        throwOsError(what, ::GetLastError(), errorFrame(L"", "RunTime::processCommandLine"));
    };
    Pointer parameters = 0;
    if (!read(peb + layout.parametersOffset, &parameters, sizeof parameters)) fail(L"Read the process parameters");
    String text{};
    if (!read(parameters + layout.commandLineOffset, &text, sizeof text)) fail(L"Read the command line size");
    std::wstring commandLine(text.length / sizeof(wchar_t), L'\0');
    if (!commandLine.empty() && !read(text.buffer, commandLine.data(), text.length)) fail(L"Read the command line");
    return commandLine;
}

PVOID environmentBlock(HANDLE process) {
    if (!nt.queryInformationProcess) missingFunction("NtQueryInformationProcess", "RunTime::processCommandLine");
    PROCESS_BASIC_INFORMATION basic{};
    const NTSTATUS status = nt.queryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr);
    if (!NT_SUCCESS(status))
        throwOsError(L"NtQueryInformationProcess(ProcessBasicInformation)", dosError(status),
                     errorFrame(L"", "RunTime::processCommandLine"));
    if (basic.PebBaseAddress == nullptr)
        throwOsError(L"The process has no environment block in reach", ERROR_PARTIAL_COPY,
                     errorFrame(L"", "RunTime::processCommandLine"));
    return basic.PebBaseAddress;
}

bool readSameWidth(HANDLE process, ULONG_PTR address, void* buffer, SIZE_T bytes) {
    SIZE_T read = 0;
    if (!::ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, bytes, &read)) return false;
    if (read == bytes) return true;
    ::SetLastError(ERROR_PARTIAL_COPY);
    return false;
}

#ifndef _WIN64
bool isWow64(HANDLE process) {
    BOOL wow64 = FALSE;
    return ::IsWow64Process(process, &wow64) && wow64;
}

// A 64-bit process seen from a 32-bit one on 64-bit Windows: its environment block may lie above 4 GB.
std::wstring commandLineOf64BitProcess(HANDLE process) {
    if (!nt.wow64QueryInformationProcess64 || !nt.wow64ReadVirtualMemory64)
        throwOsError(L"The system offers no access to the memory of 64-bit processes", ERROR_NOT_SUPPORTED,
                     errorFrame(L"", "RunTime::processCommandLine"));
    struct BasicInformation64 {
        NTSTATUS exitStatus;
        ULONG padding;
        ULONG64 pebBaseAddress;
        ULONG64 affinityMask;
        LONG basePriority;
        ULONG padding2;
        ULONG64 uniqueProcessId;
        ULONG64 inheritedFromUniqueProcessId;
    } basic{};
    static_assert(sizeof(BasicInformation64) == 48);
    const NTSTATUS status =
        nt.wow64QueryInformationProcess64(process, ProcessBasicInformation, &basic, sizeof basic, nullptr);
    if (!NT_SUCCESS(status))
        throwOsError(L"NtWow64QueryInformationProcess64(ProcessBasicInformation)", dosError(status),
                     errorFrame(L"", "RunTime::processCommandLine"));
    return commandLineAt<ULONG64, CountedString64>(
        basic.pebBaseAddress, layout64, [&](ULONG64 address, void* buffer, ULONG64 bytes) {
            ULONG64 read = 0;
            const NTSTATUS result = nt.wow64ReadVirtualMemory64(process, address, buffer, bytes, &read);
            if (NT_SUCCESS(result) && read == bytes) return true;
            ::SetLastError(NT_SUCCESS(result) ? ERROR_PARTIAL_COPY : dosError(result));
            return false;
        });
}
#endif

std::wstring imageName(HANDLE process) {
    std::wstring name(32768, L'\0');
    DWORD size = static_cast<DWORD>(name.size());
    if (!::QueryFullProcessImageNameW(process, 0, name.data(), &size))
        throwOsError(L"Unable to query full process image name.", ::GetLastError(),
                     errorFrame(L"", "RunTime::getProccessesByOpenedFiles"));
    name.resize(size);
    return name;
}

// ---- path resolution on a worker thread with a time limit ----

struct Settings {
    std::mutex lock;
    lockers_detail::Limits limits;
    lockers_detail::Resolver resolver = lockers_detail::resolveDiskPath;
};

Settings& settings() {
    static Settings* instance = new Settings();  // process lifetime: searches may run during shutdown
    return *instance;
}

lockers_detail::Limits currentLimits() {
    std::lock_guard guard(settings().lock);
    return settings().limits;
}

lockers_detail::Resolver currentResolver() {
    std::lock_guard guard(settings().lock);
    return settings().resolver;
}

// Resolves one handle at a time for the thread that owns it; it stays for the next handle.
class PathWorker : public vthreadexec {
public:
    explicit PathWorker(Construction construction)
        : vthreadexec(construction), request_(false, false), answered_(false, false) {}
    void post(HANDLE handle, lockers_detail::Resolver resolver) {
        handle_ = handle;
        resolver_ = std::move(resolver);
        request_.set();
    }
    bool waitAnswer(DWORD ms) { return answered_.wait(ms) == WAIT_OBJECT_0; }
    // A wait that no cancellation interrupts, for the way out of an unwinding search.
    bool waitAnswerPlain(DWORD ms) { return ::WaitForSingleObject(answered_.handle(), ms) == WAIT_OBJECT_0; }
    const std::wstring& answer() const noexcept { return answer_; }

private:
    DWORD execute() override {
        const HANDLE waits[] = {event().handle(), request_.handle()};
        while (tarvo::threads::waitForMultipleObjects(2, waits, false, INFINITE) == WAIT_OBJECT_0 + 1) {
            answer_.clear();
            try {
                answer_ = resolver_(handle_);
            } catch (const vexception&) {
                // no disk path: the empty answer says so
            } catch (const std::exception&) {
            }
            answered_.set();
        }
        return 0;
    }

    VEvent request_;
    VEvent answered_;
    HANDLE handle_ = nullptr;
    lockers_detail::Resolver resolver_;
    std::wstring answer_;
};

class TimedResolver {
public:
    TimedResolver() = default;
    TimedResolver(const TimedResolver&) = delete;
    TimedResolver& operator=(const TimedResolver&) = delete;

    // The handle's path ("" when it has none); nothing when the worker was stuck and had to be terminated.
    std::optional<std::wstring> resolve(HANDLE handle) {
        const lockers_detail::Limits limits = currentLimits();
        if (!worker_) {
            worker_ = std::make_unique<JoinedThread<PathWorker>>();
            worker_->begin();
        }
        worker_->post(handle, currentResolver());
        bool answered = false;
        try {
            answered = worker_->waitAnswer(limits.handleMs);
        } catch (...) {
            settle(handle, limits);  // unwinding: never leave a worker behind that someone would wait for
            throw;
        }
        if (answered || settle(handle, limits)) return worker_->answer();
        return std::nullopt;
    }

private:
    // A worker past its time: its blocked call is cancelled first; only a worker that is still stuck after
    // that is terminated (a thread killed inside a heap or loader lock would hang the process later).
    bool settle(HANDLE handle, const lockers_detail::Limits& limits) {
        if (worker_->waitAnswerPlain(0)) return true;  // it answered just now
        const auto value = static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(handle));
        vlog(LogLevel::Warning,
             L"GetFinalPathNameByHandleExecutor::getFilePath(0x%lx) Cancel the blocked call of the handle path "
             L"resolving thread: timeout reached",
             value);
        ::CancelSynchronousIo(worker_->handle());
        if (worker_->waitAnswerPlain(limits.cancelGraceMs)) return true;
        vlog(LogLevel::Warning,
             L"GetFinalPathNameByHandleExecutor::getFilePath(0x%lx) Terminate handle path resolving thread: "
             L"timeout reached",
             value);
        ::TerminateThread(worker_->handle(), ERROR_TIMEOUT);
        worker_.reset();
        return false;
    }

    std::unique_ptr<JoinedThread<PathWorker>> worker_;
};

// "\??\C:\x", "\Device\HarddiskVolume2\x" or "\Device\Mup\server\share\x" in the form of a Win32 path; empty
// when there is none.
std::wstring win32FormOfObjectName(const std::wstring& name) {
    if (name.starts_with(L"\\??\\UNC\\")) return L"\\\\" + name.substr(8);
    if (name.starts_with(L"\\??\\")) return name.substr(4);
    if (name.starts_with(L"\\Device\\Mup\\")) return L"\\\\" + name.substr(12);
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const wchar_t drive[] = {letter, L':', L'\0'};
        wchar_t target[MAX_PATH] = {};
        if (::QueryDosDeviceW(drive, target, MAX_PATH) == 0) continue;
        const std::wstring device = target;
        if (!device.empty() && name.size() > device.size() && name.starts_with(device) && name[device.size()] == L'\\')
            return drive + name.substr(device.size());
    }
    return {};
}

// The object name of a file handle: complete at any length, where GetFinalPathNameByHandleW may give up.
std::wstring objectName(HANDLE handle) {
    if (!nt.queryObject) return {};
    std::vector<ULONG_PTR> buffer(0x1000 / sizeof(ULONG_PTR));
    for (int attempt = 0; attempt < 3; ++attempt) {
        ULONG needed = 0;
        const ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
        const NTSTATUS status = nt.queryObject(handle, kObjectNameInformation, buffer.data(), bytes, &needed);
        if (NT_SUCCESS(status)) {
            const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
            return win32FormOfObjectName(std::wstring(name->Buffer, name->Length / sizeof(wchar_t)));
        }
        if (status != kBufferOverflow && status != kInfoLengthMismatch && status != kBufferTooSmall) return {};
        buffer.assign(std::max<size_t>(needed, 0x10000) / sizeof(ULONG_PTR) + 1, 0);
    }
    return {};
}

// Paths handed back by the system without their extended-length prefix; "\\?\UNC\" becomes "\\".
std::wstring withoutPrefix(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    return VFileName::stripLongPrefix(path);
}

// An input path in the form the system reports open files in: absolute, canonical, long names.
std::wstring searchForm(const std::wstring& path) {
    const bool relative = !(path.size() >= 2 && (path[1] == L':' || ((path[0] == L'\\' || path[0] == L'/') &&
                                                                      (path[1] == L'\\' || path[1] == L'/'))));
    std::wstring full = relative ? VFileName::joinLongPath(L"", path) : VFileName::toLongPath(path);
    const DWORD needed = ::GetLongPathNameW(full.c_str(), nullptr, 0);
    if (needed > 0) {
        std::wstring longName(needed, L'\0');
        const DWORD written = ::GetLongPathNameW(full.c_str(), longName.data(), needed);
        if (written > 0 && written < needed) full = longName.substr(0, written);
    }
    return VFileName::trimTrailingSeparators(withoutPrefix(full));
}

std::wstring joined(const std::vector<std::wstring>& texts, const wchar_t* separator) {
    std::wstring result;
    for (const std::wstring& text : texts) result += (result.empty() ? L"" : separator) + text;
    return result;
}

// Logs the Win32 failure `code` of `text` (the system's sentence, the code and the text).
void logOsFailure(LogLevel level, DWORD code, const std::wstring& text) {
    vlog(level, L"%s", osErrorText(code, &text));
}

// ---- the search ----

class HandleSearch {
public:
    explicit HandleSearch(const std::vector<std::wstring>& paths)
        : limits_(currentLimits()), deadline_(::GetTickCount64() + limits_.searchMs) {
        for (const std::wstring& path : paths) wanted_.push_back(searchForm(path));
        label_ = joined(paths, L", ");
    }

    std::vector<std::wstring> run() {
        const HandleTable table = readHandleTable();
        size_t examined = 0;
        for (const auto& [pid, handles] : table) {
            if (timeUp()) {
                vlog(LogLevel::Warning,
                     L"The search for the processes holding %s stopped after %lu ms with %d of %d processes examined",
                     label_, static_cast<unsigned long>(limits_.searchMs), static_cast<int>(examined),
                     static_cast<int>(table.size()));
                break;
            }
            ++examined;
            const std::wstring failure = captureFailure(
                "RunTime::getProccessesByOpenedFiles",
                [&] { return formatString(L"getProccessesByOpenedFile(%s). PID %d", label_, static_cast<int>(pid)); },
                [&] { examineProcess(pid, handles); });
            if (!failure.empty()) vlog(LogLevel::Warning, L"%s", failure);
        }
        return {found_.begin(), found_.end()};
    }

private:
    bool timeUp() const { return ::GetTickCount64() >= deadline_; }

    void examineProcess(DWORD pid, const std::vector<HandleEntry>& handles) {
        if (std::none_of(handles.begin(), handles.end(), [&](const HandleEntry& h) { return types_.mayBeFile(h.type); }))
            return;
        const tarvo::unique_handle process(
            ::OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
        if (!process) {
            logOsFailure(LogLevel::Warning, ::GetLastError(), formatString(L"OpenProcess(%d) failed", static_cast<int>(pid)));
            return;
        }
        Process target{static_cast<int>(pid), process.get(), {}, {}};
        const std::wstring imageFailure = captureFailure("RunTime::getProccessesByOpenedFiles", L"",
                                                         [&] { target.image = imageName(process.get()); });
        if (!imageFailure.empty()) vlog(LogLevel::Warning, L"%s", imageFailure);
        const std::wstring commandLineFailure = captureFailure(
            "RunTime::getProccessesByOpenedFiles",
            [&] { return formatString(L"Get process(%d), '%s' command line", target.pid, target.image); },
            [&] { target.commandLine = RunTime::processCommandLine(process.get()); });
        if (!commandLineFailure.empty()) vlog(LogLevel::Warning, L"%s", commandLineFailure);
        vlog(LogLevel::Info, L"Check process(%d) '%s' handles...", target.pid, target.image);

        for (const HandleEntry& entry : handles) {
            if (timeUp()) return;
            if (!types_.mayBeFile(entry.type)) continue;
            const std::wstring failure = captureFailure(
                "RunTime::getProccessesByOpenedFiles",
                [&] {
                    return formatString(L"getProccessesByOpenedFile(%s). Process(%d): '%s'. Handle: 0x%lx", label_,
                                        target.pid, target.image, static_cast<unsigned long>(entry.value));
                },
                [&] { examineHandle(target, entry); });
            if (!failure.empty()) vlog(LogLevel::Warning, L"%s", failure);
        }
    }

    struct Process {
        int pid;
        HANDLE handle;
        std::wstring image;
        std::wstring commandLine;
    };

    void examineHandle(const Process& process, const HandleEntry& entry) {
        const auto value = static_cast<unsigned long>(entry.value);
        HANDLE raw = nullptr;
        if (!::DuplicateHandle(process.handle, reinterpret_cast<HANDLE>(entry.value), ::GetCurrentProcess(), &raw, 0,
                               FALSE, DUPLICATE_SAME_ACCESS)) {
            logOsFailure(LogLevel::Warning, ::GetLastError(),
                         formatString(L"DuplicateHandle(0x%lx) failed. Process(%d) '%s'", value, process.pid, process.image));
            return;
        }
        tarvo::unique_handle duplicate(raw);
        const std::wstring type = objectTypeName(duplicate.get());
        if (type.empty()) {
            logOsFailure(LogLevel::Warning, ::GetLastError(),
                         formatString(L"NtQueryObject(0x%lx) failed. Process(%d) '%s'", value, process.pid, process.image));
            return;
        }
        types_.learn(entry.type, type);
        if (!ObjectTypes::isFileType(type)) return;

        const std::optional<std::wstring> path = resolver_.resolve(duplicate.get());
        if (!path) (void)duplicate.release();  // the stuck call still has it: closing it could block as well
        if (!path || path->empty()) {
            vlog(LogLevel::Warning, L"Unable to resolve process(%d) '%s' handle 0x%lx path.", process.pid,
                 process.image, value);
            return;
        }
        const std::wstring& handlePath = *path;
        const bool matches = std::any_of(wanted_.begin(), wanted_.end(), [&](const std::wstring& wanted) {
            const int relation = VFileName::comparePaths(wanted, handlePath);
            return relation == VFileName::Equal || relation == VFileName::SecondBelowFirst;
        });
        if (!matches) return;
        found_.insert(formatString(L"PID(%d) '%s'", process.pid,
                                   process.commandLine.empty() ? process.image : process.commandLine));
        vlog(LogLevel::Info, L"Handle 0x%lx opened by process(%d) '%s'. Handle path: '%s'", value, process.pid,
             process.image, handlePath);
    }

    lockers_detail::Limits limits_;
    ULONGLONG deadline_;
    std::vector<std::wstring> wanted_;
    std::wstring label_;
    ObjectTypes types_;
    TimedResolver resolver_;
    std::set<std::wstring> found_;
};

}  // namespace

namespace RunTime {

std::vector<std::wstring> getProccessesByOpenedFiles(const std::vector<std::wstring>& paths) {
    std::vector<std::wstring> found;
    const std::wstring failure = captureFailure(
        "RunTime::getProccessesByOpenedFiles",
        [&] { return formatString(L"getProccessesByOpenedFile(%s)", joined(paths, L", ")); },
        [&] { found = HandleSearch(paths).run(); });
    if (!failure.empty()) vlog(LogLevel::Error, L"%s", failure);
    return found;
}

std::vector<std::wstring> processesHoldingFile(const std::wstring& path) {
    return getProccessesByOpenedFiles({path});
}

std::wstring GetFilePathByHandle(HANDLE handle, bool* abandoned) {
    TimedResolver resolver;
    const std::optional<std::wstring> path = resolver.resolve(handle);
    if (abandoned) *abandoned = !path.has_value();
    return path.value_or(L"");
}

std::wstring processCommandLine(HANDLE process) {
#ifdef _WIN64
    // A 32-bit process on 64-bit Windows has a 64-bit environment block too, with its own parameters that
    // carry the same command line: one layout serves every process.
    return commandLineAt<ULONG_PTR, CountedString<ULONG_PTR>>(
        reinterpret_cast<ULONG_PTR>(environmentBlock(process)), layout64,
        [&](ULONG_PTR address, void* buffer, SIZE_T bytes) { return readSameWidth(process, address, buffer, bytes); });
#else
    if (isWow64(::GetCurrentProcess()) && !isWow64(process)) return commandLineOf64BitProcess(process);
    return commandLineAt<ULONG_PTR, CountedString<ULONG_PTR>>(
        reinterpret_cast<ULONG_PTR>(environmentBlock(process)), layout32,
        [&](ULONG_PTR address, void* buffer, SIZE_T bytes) { return readSameWidth(process, address, buffer, bytes); });
#endif
}

}  // namespace RunTime

namespace lockers_detail {

Limits setLimits(const Limits& limits) {
    std::lock_guard guard(settings().lock);
    return std::exchange(settings().limits, limits);
}

Resolver setResolver(Resolver resolver) {
    std::lock_guard guard(settings().lock);
    return std::exchange(settings().resolver, std::move(resolver));
}

void forceLegacyHandleTable(bool on) { legacyTableForced.store(on); }

std::wstring resolveDiskPath(HANDLE handle) {
    const auto value = static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(handle));
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        throwOsError(formatString(L"GetFinalPathNameByHandleExecutor::Thread::execute(0x%lx) function expected the "
                                  L"specified file is a disk file",
                                  value),
                     ERROR_PATH_NOT_FOUND, errorFrame(L"", "GetFinalPathNameByHandleExecutor::Thread::execute"));
    std::wstring path(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0) break;
        if (length < path.size()) {
            path.resize(length);
            return withoutPrefix(path);
        }
        path.assign(length + 1, L'\0');
    }
    const DWORD code = ::GetLastError();
    // Some systems give up on long paths (Wine above 260 characters); the object name has them whole.
    if (std::wstring name = objectName(handle); !name.empty()) return name;
    throwOsError(formatString(L"GetFinalPathNameByHandle(0x%lx) failed", value), code,
                 errorFrame(L"", "GetFinalPathNameByHandleExecutor::Thread::execute"));
}

}  // namespace lockers_detail
