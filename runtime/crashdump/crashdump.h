#pragma once
// Crash dumps: the process-wide settings read when the module loads, the minidump of a hardware exception
// or a heap corruption, and the pruning of old dumps when the module unloads.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "runtime/security/security.h"

class CrashDumpInfo;

// Owns one vectored exception handler registration and removes it when destroyed.
class VectoredExceptionHandler {
public:
    VectoredExceptionHandler(const VectoredExceptionHandler&) = delete;
    VectoredExceptionHandler& operator=(const VectoredExceptionHandler&) = delete;
    virtual ~VectoredExceptionHandler();
    bool registered() const noexcept { return registration_ != nullptr; }

protected:
    VectoredExceptionHandler() = default;
    void* registration_ = nullptr;
};

// Writes a dump when the heap manager reports a corrupted heap (0xC0000374), then lets the search for a
// handler go on: it never handles the exception itself. Registered as the first vectored handler.
class HeapCorruptionHandler : public VectoredExceptionHandler {
public:
    explicit HeapCorruptionHandler(CrashDumpInfo& owner);
    ~HeapCorruptionHandler() override;
};

class CrashDumpInfo {
public:
    // Reads "CrashDumpsEnabled", "PRODUCT_ROOT_D", "CrashDumpsLocation" and "CrashDumpsMaxCount", creates the
    // dump folder with its parents and registers the heap-corruption handler. Any failure leaves dumps
    // disabled, silently. Safe while the loader lock is held: it loads no library.
    // Dumps hold the whole memory of the process, unmasked scripts and passwords included: the folder and
    // each dump are made readable by LocalSystem and the Administrators only (a protected DACL given at
    // creation, nothing inherited), and an existing folder is set to that DACL.
    CrashDumpInfo() noexcept;
    CrashDumpInfo(const CrashDumpInfo&) = delete;
    CrashDumpInfo& operator=(const CrashDumpInfo&) = delete;
    // Prunes the folder to the newest maxCount ".dmp" files (by last-write time) and removes the handler.
    // Runs under the loader lock: a dump goes only if a plain delete removes it (no ACL edits, no logging).
    ~CrashDumpInfo();

    // The module's settings: made when the module loads and destroyed when it unloads (the DLL's entry point
    // calls these); null while there are none.
    static void load() noexcept;
    static void unload() noexcept;
    static CrashDumpInfo* loaded() noexcept;

    bool enabled() const noexcept { return enabled_; }
    DWORD maxCount() const noexcept { return maxCount_; }
    const std::wstring& location() const noexcept { return location_; }
    const std::wstring& prefix() const noexcept { return prefix_; }
    bool hasHeapCorruptionHandler() const noexcept { return heapHandler_ && heapHandler_->registered(); }

    // A path for a new dump that no file has yet: location "\" prefix stamp ".dmp", the stamp being the local
    // time as YYYYMMDD_hhmmss; a name already taken gets "_1", "_2", ... before ".dmp". Formatted into the
    // buffers reserved at load, so that naming needs no allocation. Throws when dumps are disabled.
    const std::wstring& getFileName();
    // Writes a minidump of the process for the faulting thread, when enabled and given the pointers. A failure
    // is logged at level Error, after the dump lock is released, and goes no further. A fault that the dumping
    // or that logging raises on the same thread writes nothing and returns at once (the heap-corruption
    // handler then lets the process end); another thread's dump is waited for at most dumpLockWaitMs.
    void writeDump(EXCEPTION_POINTERS* pointers) noexcept;

    static constexpr DWORD dumpLockWaitMs = 60000;

private:
    void writeDumpFile(EXCEPTION_POINTERS* pointers);
    void prune();
    void protectExisting() noexcept;

    static constexpr size_t stampSize = 20;         // "YYYYMMDD_hhmmss.dmp" and its terminator
    static constexpr size_t pathSize = MAX_PATH + 1;

    bool enabled_ = true;
    DWORD maxCount_ = 10;
    std::wstring location_;
    std::wstring prefix_;
    wchar_t stamp_[stampSize] = {};
    std::wstring fileName_;
    wchar_t path_[pathSize] = {};
    std::unique_ptr<HeapCorruptionHandler> heapHandler_;
    // One dump at a time (the buffers are shared): the id of the thread writing one, 0 when none. A plain
    // compare-and-swap, as Vista has no try-acquire for slim locks.
    std::atomic<DWORD> dumpingThread_{0};
    // Per thread: non-null while the thread dumps or logs a dump's failure. A TLS slot rather than a
    // thread_local, whose first use on a thread allocates, which a corrupted heap cannot afford.
    DWORD busySlot_ = TLS_OUT_OF_INDEXES;
    // Given at creation: the folder's entries are inherited by what is made in it, a dump's are its own.
    AdminsOnlySecurity folderSecurity_;
    AdminsOnlySecurity dumpSecurity_;
};

// writeDump of the module's settings, if loaded.
void writeCrashDump(EXCEPTION_POINTERS* pointers) noexcept;

namespace crashdump_detail {
// The MINIDUMP_TYPE of the dumps: 7 (data segments, full memory, handle data). A full-memory dump takes
// hundreds of megabytes; test builds choose a smaller type. Returns the previous one.
int setDumpType(int type) noexcept;
}  // namespace crashdump_detail
