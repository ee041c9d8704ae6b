#include "runtime/crashdump/crashdump.h"

#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <vector>

#include "runtime/crashdump/setranslator.h"
#include "runtime/errors/annotate.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/holder.h"
#include "runtime/logging/config.h"
#include "runtime/logging/logfile.h"
#include "runtime/logging/logmanager.h"
#include "runtime/registry/registry.h"
#include "runtime/security/security.h"

namespace {

constexpr DWORD heapCorruption = 0xC0000374;  // STATUS_HEAP_CORRUPTION
constexpr int fullDumpType = MiniDumpWithDataSegs | MiniDumpWithFullMemory | MiniDumpWithHandleData;
constexpr unsigned maxNameCounter = 10000;

std::atomic<int> dumpType{fullDumpType};
std::atomic<CrashDumpInfo*> loadedInfo{nullptr};
std::atomic<CrashDumpInfo*> heapDumpOwner{nullptr};

LONG CALLBACK onHeapCorruption(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode == heapCorruption)
        if (CrashDumpInfo* owner = heapDumpOwner.load(std::memory_order_acquire)) owner->writeDump(pointers);
    return EXCEPTION_CONTINUE_SEARCH;
}

struct DumpFile {
    std::wstring path;
    ULONGLONG lastWrite;
};

// The ".dmp" files of the folder. The pattern also matches short names ("x.dmpx" answers as "X~1.DMP"): only
// the long name's extension counts, so that nothing else there (a "x.dmp.zip" archive) is ever counted.
std::vector<DumpFile> listDumps(const std::wstring& location) {
    std::vector<DumpFile> dumps;
    VFileFinder finder;
    for (bool found = finder.first(location + L"\\*.dmp"); found; found = finder.next()) {
        if (finder.isDirectory() || finder.isDots()) continue;
        const std::wstring name = finder.name();
        if (::CompareStringOrdinal(VFileName::extension(name).c_str(), -1, L".dmp", -1, TRUE) != CSTR_EQUAL) continue;
        const FILETIME& written = finder.data().ftLastWriteTime;
        dumps.push_back({location + L"\\" + name,
                         (static_cast<ULONGLONG>(written.dwHighDateTime) << 32) | written.dwLowDateTime});
    }
    return dumps;
}

constexpr DWORD dumpLockPollMs = 50;

// Marks the calling thread as dumping for as long as it lives.
class BusyThread {
public:
    explicit BusyThread(DWORD slot) noexcept : slot_(slot) {
        if (slot_ != TLS_OUT_OF_INDEXES) ::TlsSetValue(slot_, this);
    }
    BusyThread(const BusyThread&) = delete;
    BusyThread& operator=(const BusyThread&) = delete;
    ~BusyThread() {
        if (slot_ != TLS_OUT_OF_INDEXES) ::TlsSetValue(slot_, nullptr);
    }

private:
    DWORD slot_;
};

}  // namespace

VectoredExceptionHandler::~VectoredExceptionHandler() {
    if (registration_) ::RemoveVectoredExceptionHandler(registration_);
}

HeapCorruptionHandler::HeapCorruptionHandler(CrashDumpInfo& owner) {
    heapDumpOwner.store(&owner, std::memory_order_release);
    registration_ = ::AddVectoredExceptionHandler(1, &onHeapCorruption);
    if (!registration_)
        throwOsError(L"AddVectoredExceptionHandler", ::GetLastError(), errorFrame(L"", "HeapCorruptionHandler"));
}

HeapCorruptionHandler::~HeapCorruptionHandler() {
    if (registration_) ::RemoveVectoredExceptionHandler(std::exchange(registration_, nullptr));
    heapDumpOwner.store(nullptr, std::memory_order_release);
}

CrashDumpInfo::CrashDumpInfo() noexcept {
    try {
        const tarvo::unique_hkey key = registry::open(HKEY_LOCAL_MACHINE, logconfig::key, KEY_QUERY_VALUE | registry::viewAccess(2));
        DWORD enabled = 1;
        registry::lookup(key.get(), L"CrashDumpsEnabled", enabled);
        std::wstring root;
        if (enabled != 0) registry::lookup(key.get(), L"PRODUCT_ROOT_D", root);
        if (root.empty()) {
            enabled_ = false;
            return;
        }
        // Joined here rather than through the system's path functions, which may have to be loaded.
        location_ = VFileName::canonicalize(VFileName::trimTrailingSeparators(root) + L"\\etc\\crashdumps");
        std::wstring configured;
        if (registry::lookup(key.get(), L"CrashDumpsLocation", configured) == ERROR_SUCCESS && !configured.empty())
            location_ = VFileName::trimTrailingSeparators(configured);
        // Built by hand: SetEntriesInAcl and SetNamedSecurityInfo load a library of their own.
        folderSecurity_.build(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        dumpSecurity_.build(0);
        const bool existed = VDirectory::exists(location_);
        VDirectory::createDirectory(location_, folderSecurity_.attributes());
        if (existed) protectExisting();
        registry::lookup(key.get(), L"CrashDumpsMaxCount", maxCount_);
        prefix_ = VFileName::removeExtension(executableFileName());
        fileName_.reserve(MAX_PATH);
        busySlot_ = ::TlsAlloc();
        heapHandler_ = std::make_unique<HeapCorruptionHandler>(*this);
    } catch (...) {
        enabled_ = false;
        heapHandler_.reset();
    }
}

CrashDumpInfo::~CrashDumpInfo() {
    if (enabled_) {
        try {
            prune();
        } catch (...) {
            // Unloading goes on; the dumps stay for the next time.
        }
    }
    heapHandler_.reset();
    if (busySlot_ != TLS_OUT_OF_INDEXES) ::TlsFree(busySlot_);
}

// A folder made earlier, by an older version or by hand, may let Users read it, and what it holds inherited
// that. (Wine 8 keeps a file's security as Unix mode bits: Everyone's entry goes, the Administrators' shows as
// the owner's.)
void CrashDumpInfo::protectExisting() noexcept {
    constexpr SECURITY_INFORMATION dacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    try {
        ::SetFileSecurityW(VFileName::toLongPath(location_).c_str(), dacl, folderSecurity_.descriptor());
        for (const DumpFile& dump : listDumps(location_))
            ::SetFileSecurityW(VFileName::toLongPath(dump.path).c_str(), dacl, dumpSecurity_.descriptor());
    } catch (...) {
        // The new dumps carry their own security all the same.
    }
}

void CrashDumpInfo::prune() {
    std::vector<DumpFile> dumps = listDumps(location_);
    if (dumps.size() <= maxCount_) return;
    std::stable_sort(dumps.begin(), dumps.end(),
                     [](const DumpFile& a, const DumpFile& b) { return a.lastWrite < b.lastWrite; });
    // The oldest ones go; one that cannot be removed stays (until the next time), and no newer one is taken in
    // its place.
    // A plain delete only: making a held or protected dump removable takes ACL edits, a worker thread and
    // logging, none of which belongs under the loader lock.
    for (size_t i = 0; i < dumps.size() - maxCount_; ++i) ::DeleteFileW(VFileName::toLongPath(dumps[i].path).c_str());
}

void CrashDumpInfo::load() noexcept {
    if (loadedInfo.load() != nullptr) return;
    try {
        loadedInfo.store(new CrashDumpInfo());
    } catch (...) {
        // Out of memory while loading: no dumps.
    }
}

void CrashDumpInfo::unload() noexcept { delete loadedInfo.exchange(nullptr); }

CrashDumpInfo* CrashDumpInfo::loaded() noexcept { return loadedInfo.load(); }

const std::wstring& CrashDumpInfo::getFileName() {
    if (!enabled_) throw vexception(L"Crash dumping does not enabled", errorFrame(L"", "CrashDumpInfo::getFileName"));
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t stamp[stampSize];
    if (_snwprintf(stamp, stampSize, L"%04d%02d%02d_%02d%02d%02d.dmp", now.wYear, now.wMonth, now.wDay, now.wHour,
                   now.wMinute, now.wSecond) == static_cast<int>(stampSize - 1))
        std::copy(stamp, stamp + stampSize, stamp_);  // a failure keeps the previous stamp
    constexpr size_t capacity = pathSize - 1;
    for (unsigned counter = 0; counter < maxNameCounter; ++counter) {
        // ".dmp" is the stamp's last four characters: a counter goes before it.
        const int length =
            counter == 0 ? _snwprintf(path_, capacity, L"%s\\%s%s", location_.c_str(), prefix_.c_str(), stamp_)
                         : _snwprintf(path_, capacity, L"%s\\%s%.15s_%u.dmp", location_.c_str(), prefix_.c_str(),
                                      stamp_, counter);
        if (length < 0 || static_cast<size_t>(length) >= capacity)
            throw vexception(L"The dump file name is longer than 260 characters",
                             errorFrame(L"", "CrashDumpInfo::getFileName"));
        if (::GetFileAttributesW(path_) == INVALID_FILE_ATTRIBUTES) {
            fileName_.assign(path_, static_cast<size_t>(length));
            return fileName_;
        }
    }
    throw vexception(L"Every dump file name of this second is taken", errorFrame(L"", "CrashDumpInfo::getFileName"));
}

void CrashDumpInfo::writeDump(EXCEPTION_POINTERS* pointers) noexcept {
    if (!enabled_ || pointers == nullptr) return;
    const DWORD self = ::GetCurrentThreadId();
    // A fault raised by this thread's own dumping or logging: another attempt would wait for itself.
    const DWORD lastError = ::GetLastError();
    const bool busy = busySlot_ != TLS_OUT_OF_INDEXES && ::TlsGetValue(busySlot_) != nullptr;
    ::SetLastError(lastError);
    if (busy || dumpingThread_.load() == self) return;
    const BusyThread marked(busySlot_);
    const ScopedSeTranslator none(nullptr);  // a fault while dumping is not translated
    std::exception_ptr failure;
    for (DWORD waited = 0;; waited += dumpLockPollMs) {
        DWORD expected = 0;
        if (dumpingThread_.compare_exchange_strong(expected, self)) break;
        if (waited >= dumpLockWaitMs) return;  // another thread's dump never ended: this one is given up
        ::Sleep(dumpLockPollMs);
    }
    try {
        writeDumpFile(pointers);
    } catch (...) {
        failure = std::current_exception();
    }
    dumpingThread_.store(0);
    if (!failure) return;
    try {
        vlog(LogLevel::Error, toVexception(failure, errorFrame(L"Unable to generate dump file", "internalDumpMiniDump")));
    } catch (...) {
    }
}

void CrashDumpInfo::writeDumpFile(EXCEPTION_POINTERS* pointers) {
    for (unsigned attempt = 0;; ++attempt) {
        const std::wstring& path = getFileName();
        tarvo::unique_file file(::CreateFileW(path.c_str(), GENERIC_ALL, FILE_SHARE_READ, dumpSecurity_.attributes(), CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            const DWORD error = ::GetLastError();
            // Another process took the name since it was chosen: the next one is tried.
            if (error == ERROR_FILE_EXISTS && attempt < maxNameCounter) continue;
            throwOsError(L"CreateFile " + path, error, errorFrame(L"", "internalDumpMiniDump"));
        }
        MINIDUMP_EXCEPTION_INFORMATION exception{::GetCurrentThreadId(), pointers, TRUE};
        if (::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(),
                                static_cast<MINIDUMP_TYPE>(dumpType.load()), &exception, nullptr, nullptr))
            return;
        const DWORD error = ::GetLastError();
        file.reset();
        ::DeleteFileW(path.c_str());  // no half-written dump is left behind
        throwOsError(L"Unable to generate dump file", error, errorFrame(L"", "internalDumpMiniDump"));
    }
}

void writeCrashDump(EXCEPTION_POINTERS* pointers) noexcept {
    if (CrashDumpInfo* info = CrashDumpInfo::loaded()) info->writeDump(pointers);
}

namespace crashdump_detail {
int setDumpType(int type) noexcept { return dumpType.exchange(type); }
}  // namespace crashdump_detail
