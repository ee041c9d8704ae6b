#pragma once
// What the file benchmarks share: a clock, a tree of small files, and the raw Win32 loops that are their
// baselines.
#include <windows.h>

#include <cwchar>
#include <functional>
#include <string>

#include "runtime/holder.h"

namespace bench {

constexpr int kFilesPerFolder = 100;

inline double secondsOf(const std::function<void()>& body) {
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    body();
    ::QueryPerformanceCounter(&end);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

// `files` files of 200 bytes, 100 to a folder.
inline void makeSourceTree(const std::wstring& root, int files) {
    ::CreateDirectoryW(root.c_str(), nullptr);
    const std::string content(200, 'x');
    for (int i = 0; i < files; ++i) {
        const std::wstring folder = root + L"\\folder" + std::to_wstring(i / kFilesPerFolder);
        if (i % kFilesPerFolder == 0) ::CreateDirectoryW(folder.c_str(), nullptr);
        tarvo::unique_file file(::CreateFileW((folder + L"\\file" + std::to_wstring(i) + L".txt").c_str(), GENERIC_WRITE,
                                              0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    }
}

template <typename OnEntry>
void rawWalk(const std::wstring& folder, OnEntry&& onEntry) {
    WIN32_FIND_DATAW data;
    tarvo::unique_find find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
            onEntry(std::wstring(data.cFileName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (::FindNextFileW(find.get(), &data));
}

inline void rawCopy(const std::wstring& from, const std::wstring& to) {
    ::CreateDirectoryW(to.c_str(), nullptr);
    rawWalk(from, [&](const std::wstring& name, bool folder) {
        if (folder) rawCopy(from + L"\\" + name, to + L"\\" + name);
        else ::CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE);
    });
}

inline void rawRemove(const std::wstring& folder) {
    rawWalk(folder, [&](const std::wstring& name, bool isFolder) {
        if (isFolder) rawRemove(folder + L"\\" + name);
        else ::DeleteFileW((folder + L"\\" + name).c_str());
    });
    ::RemoveDirectoryW(folder.c_str());
}

inline int countFiles(const std::wstring& folder) {
    int count = 0;
    rawWalk(folder, [&](const std::wstring& name, bool isFolder) {
        count += isFolder ? countFiles(folder + L"\\" + name) : 1;
    });
    return count;
}

// The folder the benchmarks work in: the one given, else drive T: (a memory file system, when the test
// environment maps it), else %TEMP%.
inline std::wstring workFolder(int argc, wchar_t** argv, int index) {
    if (argc > index) return argv[index];
    if (::GetFileAttributesW(L"T:\\") != INVALID_FILE_ATTRIBUTES) return L"T:\\";
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    return temp;
}

}  // namespace bench
