// Lines per second of the debug log file against a raw loop that opens the same file, appends one line
// and closes it, measured in one run: tarvo_bench [LINES]
#include <windows.h>

#include <cstdio>
#include <string>

#include "runtime/holder.h"
#include "runtime/logging/logfile.h"

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int lines = argc > 1 ? _wtoi(argv[1]) : 5000;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"tarvo-bench-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin").c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin\\logs").c_str(), nullptr);

    // Point the product root at the scratch folder for the run, and put the old value back afterwards.
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, configKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    tarvo::unique_hkey config(key);
    DWORD type = 0, size = 0;
    std::wstring previous;
    const bool hadRoot = ::RegQueryValueExW(key, L"PRODUCT_ROOT_D", nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (hadRoot) {
        previous.resize(size / sizeof(wchar_t));
        ::RegQueryValueExW(key, L"PRODUCT_ROOT_D", nullptr, &type, reinterpret_cast<BYTE*>(previous.data()), &size);
    }
    ::RegSetValueExW(key, L"PRODUCT_ROOT_D", 0, REG_SZ, reinterpret_cast<const BYTE*>(root.c_str()),
                     static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t)));

    const std::wstring text = L"Error: a typical line of the debug log, about eighty characters long, number ";
    LogFile log(L"bench", 1);
    const std::wstring path = log.currentPath();
    const double library = linesPerSecond(lines, [&](int i) {
        LogFile file(L"bench", 1);  // as the log manager does: a new object (and mutex) for every message
        file.write(text + std::to_wstring(i));
    });
    const std::wstring rawPath = root + L"\\admin\\logs\\raw.log";
    const double raw = linesPerSecond(lines, [&](int i) {
        tarvo::unique_file file(::CreateFileW(rawPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        const std::wstring line = text + std::to_wstring(i) + L"\r\n";
        DWORD written = 0;
        ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    });

    std::printf("debug log file : %10.0f lines/s (%d lines)\n", library, lines);
    std::printf("raw open-append-close : %10.0f lines/s\n", raw);
    std::printf("ratio (log file / raw): %.2f\n", library / raw);

    if (hadRoot)
        ::RegSetValueExW(key, L"PRODUCT_ROOT_D", 0, type, reinterpret_cast<const BYTE*>(previous.data()),
                         static_cast<DWORD>(previous.size() * sizeof(wchar_t)));
    else
        ::RegDeleteValueW(key, L"PRODUCT_ROOT_D");
    ::DeleteFileW(path.c_str());
    ::DeleteFileW(rawPath.c_str());
    ::RemoveDirectoryW((root + L"\\admin\\logs").c_str());
    ::RemoveDirectoryW((root + L"\\admin").c_str());
    ::RemoveDirectoryW(root.c_str());
    return 0;
}
