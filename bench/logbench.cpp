// Lines per second of the debug log file (messages through the log manager) against a raw loop that opens
// the same file, appends one line and closes it, measured in one run in alternating rounds: tarvo_bench [LINES]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "runtime/holder.h"
#include "runtime/logging/logfile.h"
#include "runtime/logging/logmanager.h"

namespace {

constexpr const wchar_t* configKey = L"SOFTWARE\\Tarvo\\HVC Config\\Config";

double seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

template <typename Body>
double linesPerSecond(int lines, Body&& body) {
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < lines; ++i) body(i);
    ::QueryPerformanceCounter(&end);
    return lines / seconds(start, end);
}

// Sets a configuration value for the run and puts the machine's own value back afterwards.
class ConfigOverride {
public:
    ConfigOverride(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) : key_(key), name_(name) {
        DWORD oldSize = 0;
        if (::RegQueryValueExW(key, name, nullptr, &type_, nullptr, &oldSize) == ERROR_SUCCESS) {
            previous_.emplace(oldSize);
            ::RegQueryValueExW(key, name, nullptr, &type_, previous_->data(), &oldSize);
        }
        ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    }
    ~ConfigOverride() {
        if (previous_)
            ::RegSetValueExW(key_, name_, 0, type_, previous_->data(), static_cast<DWORD>(previous_->size()));
        else
            ::RegDeleteValueW(key_, name_);
    }

private:
    HKEY key_;
    const wchar_t* name_;
    DWORD type_ = REG_NONE;
    std::optional<std::vector<BYTE>> previous_;
};

LONGLONG fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int lines = argc > 1 ? _wtoi(argv[1]) : 5000;
    if (lines <= 0) return 2;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"tarvo-bench-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin").c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin\\logs").c_str(), nullptr);

    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, configKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    tarvo::unique_hkey config(key);
    int result = 0;
    std::wstring path;
    {
        // The debug log of a scratch product root, switched on whatever the machine says.
        ConfigOverride productRoot(key, L"PRODUCT_ROOT_D", REG_SZ, root.c_str(),
                                   static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t)));
        const DWORD on = 1;
        ConfigOverride enabled(key, L"log_debug_enabled", REG_DWORD, &on, sizeof on);
        path = LogFile(L"debug", 1).currentPath();

        // No flags and no handlers on this manager: a message goes to the debug log file only.
        LogManager& manager = LogManager::instance();
        EventSource source;
        const std::wstring text = L"a typical line of the debug log, about eighty characters long, number ";
        const auto libraryLine = [&](int i) { manager.log(source, LogLevel::Error, L"%s%d", text, i); };
        // The same file, the same line length: "yyyy/mm/dd hh:mm:ss.mmm pid tid Error: text".
        const std::wstring stamp = L"2026/12/05 12:00:00.000 " + std::to_wstring(::GetCurrentProcessId()) + L" " +
                                   std::to_wstring(::GetCurrentThreadId()) + L" Error: ";
        const auto rawLine = [&](int i) {
            tarvo::unique_file file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            const std::wstring line = stamp + text + std::to_wstring(i) + L"\r\n";
            DWORD written = 0;
            ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
        };
        // Five rounds, the two taking turns at going first, the best rate of each counting: the load of a
        // shared machine changes over a run, and neither side should always meet the busier moment.
        constexpr int rounds = 5;
        const int perRound = std::max(1, lines / rounds);
        double library = 0, raw = 0;
        LONGLONG logged = 0, rawBytes = 0;
        for (int round = 0; round < rounds; ++round) {
            for (const bool libraryTurn : {round % 2 == 0, round % 2 != 0}) {
                const LONGLONG before = fileSize(path);
                if (libraryTurn) library = std::max(library, linesPerSecond(perRound, libraryLine));
                else raw = std::max(raw, linesPerSecond(perRound, rawLine));
                (libraryTurn ? logged : rawBytes) += fileSize(path) - before;
            }
        }
        const LONGLONG total = logged + rawBytes;

        // A swallowed failure would otherwise show up as a fast log.
        if (logged == 0 || total - logged < logged - 2) {
            std::fprintf(stderr, "the lines did not reach %ls (%lld bytes logged, %lld in all)\n", path.c_str(), logged, total);
            result = 1;
        } else {
            std::printf("debug log file        : %10.0f lines/s (%d lines each, best of %d rounds)\n", library,
                        perRound * rounds, rounds);
            std::printf("raw open-append-close : %10.0f lines/s\n", raw);
            std::printf("ratio (log file / raw): %.2f\n", library / raw);
            std::printf("ratio log %.2f\n", library / raw);  // rates: higher is better
        }
    }
    ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW((root + L"\\admin\\logs").c_str());
    ::RemoveDirectoryW((root + L"\\admin").c_str());
    ::RemoveDirectoryW(root.c_str());
    return result;
}
