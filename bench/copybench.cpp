// The peak working set of a CopyFile row over an existing file, with its undo note, against a raw CopyFileW of
// the same files, each in a process of its own (the peak is a process's): tarvo_copybench [MEGABYTES] [FOLDER]
// MEGABYTES (default 300) of the source and of the target it replaces. The goal: under 64 MB for the row.
// The program runs itself once for each side ("--measure raw|row").
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "engine/action.h"
#include "engine/executor.h"
#include "msi/vmsi.h"
#include "runtime/holder.h"

namespace {

void writeFile(const std::wstring& path, size_t megabytes, char fill) {
    tarvo::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::vector<char> block(1 << 20, fill);
    for (size_t i = 0; i < megabytes; ++i) {
        DWORD written = 0;
        ::WriteFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
    }
}

double peakMegabytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return double(counters.PeakWorkingSetSize) / (1 << 20);
}

// The side's work on source and target; prints its peak.
int measure(const std::wstring& side, const std::wstring& source, const std::wstring& target) {
    if (side == L"raw") {
        ::CopyFileW(source.c_str(), target.c_str(), FALSE);
    } else {
        vmsi session(0);
        ActionList actions;
        actions.push_back(Action::CreateAction(L"CopyFile", source + L"," + target, L"CopyFile", true));
        if (executeList(session, 5, actions, L"bench") != ERROR_SUCCESS) return 1;
    }
    std::printf("%.1f\n", peakMegabytes());
    return 0;
}

double run(const std::wstring& self, const std::wstring& side, const std::wstring& source, const std::wstring& target) {
    std::wstring command = L"\"" + self + L"\" --measure " + side + L" \"" + source + L"\" \"" + target + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ::CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    tarvo::unique_handle reader(readEnd), writer(writeEnd);
    ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return -1;
    tarvo::unique_handle processHandle(process.hProcess), thread(process.hThread);
    writer.reset();
    std::string output;
    char buffer[256];
    DWORD read = 0;
    while (::ReadFile(reader.get(), buffer, sizeof buffer, &read, nullptr) && read) output.append(buffer, read);
    ::WaitForSingleObject(processHandle.get(), 600000);
    return output.empty() ? -1 : std::atof(output.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && std::wstring(argv[1]) == L"--measure") return measure(argv[2], argv[3], argv[4]);
    const size_t megabytes = argc > 1 ? static_cast<size_t>(_wtoi(argv[1])) : 300;
    std::wstring base = bench::workFolder(argc, argv, 2);
    if (megabytes == 0) return 2;
    if (base.back() != L'\\') base += L'\\';
    const std::wstring source = base + L"tarvo-copybench-source", target = base + L"tarvo-copybench-target";
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    writeFile(source, megabytes, 'n');
    writeFile(target, megabytes, 'o');
    const double raw = run(self, L"raw", source, target);
    writeFile(target, megabytes, 'o');
    const double row = run(self, L"row", source, target);
    ::DeleteFileW(source.c_str());
    ::DeleteFileW(target.c_str());
    std::printf("CopyFile of %zu MB over another: peak working set %.1f MB (raw CopyFileW: %.1f MB; goal under 64 MB)\n",
                megabytes, row, raw);
    return row > 0 && row < 64 ? 0 : 1;
}
