#pragma once
// Reports to the "Tarvo" event log: the log and the source are registered on first use.
#include <windows.h>

#include <string>

#include "runtime/logging/logmanager.h"

namespace eventlog {
constexpr const wchar_t* logName = L"Tarvo";
// Registers `source` (creating the log and the source keys as needed); null when the system refuses.
HANDLE registerSource(const std::wstring& source);
// The event type of a level: information, warning, success, error for anything else.
WORD eventType(LogLevel level) noexcept;
// Registers the source on first use; a failed report forgets the handle so that the next one registers again.
void report(EventSource& source, LogLevel level, const std::wstring& text);
}  // namespace eventlog
