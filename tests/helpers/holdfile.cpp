// Holds files open until its standard input closes: tarvo_holdfile SHARE PATH...
// SHARE is made of the letters r, w and d (FILE_SHARE_READ, _WRITE, _DELETE), or "-" for no sharing. Files
// are opened for reading and writing; a path named twice is opened twice. Prints
// "ready" once everything is open, or "failed CODE PATH" and exits with 2.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 1;
    DWORD share = 0;
    for (const wchar_t* c = argv[1]; *c; ++c) {
        if (*c == L'r') share |= FILE_SHARE_READ;
        if (*c == L'w') share |= FILE_SHARE_WRITE;
        if (*c == L'd') share |= FILE_SHARE_DELETE;
    }
    std::vector<HANDLE> held;
    for (int i = 2; i < argc; ++i) {
        const HANDLE file =
            ::CreateFileW(argv[i], GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            std::printf("failed %lu %ls\n", ::GetLastError(), argv[i]);
            return 2;
        }
        held.push_back(file);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char buffer[64];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    for (HANDLE file : held) ::CloseHandle(file);
    return 0;
}
