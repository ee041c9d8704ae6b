// Writes numbered lines to the debug log through the log manager: tarvo_logwriter COUNT TAG
// Several of these at once show that lines from different processes never mix.
// tarvo_logwriter console: three messages through the default source, whose defaults print Result and
// worse on standard output.
// tarvo_logwriter flags [manager-first]: prints the console and event-log flags of levels 0..5 once the
// default source exists ("console=001111 eventlog=000111"); with manager-first the manager is made before.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "runtime/logging/logmanager.h"

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"console") {
        vlog(LogLevel::Result, L"%s", std::wstring(L"h\u00e9llo"));
        vlog(LogLevel::Info, L"%s", std::wstring(L"not on the console"));
        vlog(LogLevel::Error, L"w\u00f6rld %d", 42);
        return 0;
    }
    if (argc >= 2 && std::wstring(argv[1]) == L"flags") {
        if (argc == 3 && std::wstring(argv[2]) == L"manager-first") LogManager::instance();
        LogManager::defaultSource();
        std::string console, eventLog;
        for (int level = 0; level < LogManager::levelCount; ++level) {
            console += LogManager::instance().consoleFlag(static_cast<LogLevel>(level)) ? '1' : '0';
            eventLog += LogManager::instance().eventLogFlag(static_cast<LogLevel>(level)) ? '1' : '0';
        }
        std::printf("console=%s eventlog=%s", console.c_str(), eventLog.c_str());
        return 0;
    }
    if (argc != 3) return 2;
    const int count = _wtoi(argv[1]);
    const std::wstring tag = argv[2];
    EventSource source(L"tarvo_logwriter");  // flags stay off: only the debug log file and no console
    for (int i = 0; i < count; ++i)
        LogManager::instance().log(source, LogLevel::Error, L"%s line %d of a long enough text to need time", tag, i);
    return 0;
}
