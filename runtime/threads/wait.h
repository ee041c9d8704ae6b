#pragma once
// Alertable, cancellable waits and sleeps.
#include <windows.h>

namespace tarvo::threads {

constexpr DWORD infinite = INFINITE;

// Waits alertably; a wake-up by an asynchronous procedure call waits again for the time that remains.
DWORD waitForSingleObject(HANDLE handle, DWORD timeoutMs);
DWORD waitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs);
// Sleeps alertably for `ms` in all, however many asynchronous procedure calls arrive.
void Sleep(DWORD ms);

}  // namespace tarvo::threads
