// A folder tree of small files copied and removed with the library's file operations against a raw
// CopyFileW / DeleteFileW loop over the same tree, measured in one run, and the time of one search for the
// processes holding a file: tarvo_fsbench [FILES] [ROUNDS] [FOLDER] (FOLDER: where the trees go; %TEMP% by
// default; a folder on a memory file system keeps the disk traffic of other programs out of the figures)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/lockers.h"
#include "runtime/holder.h"

namespace {

using namespace bench;

// ---- the library ----

void libraryCopy(const std::wstring& from, const std::wstring& to) {
    VDirectory::createDirectory(to);
    VFileFinder finder;
    for (bool more = finder.first(from + L"\\*"); more; more = finder.next()) {
        if (finder.isDots()) continue;
        if (finder.isDirectory()) libraryCopy(from + L"\\" + finder.name(), to + L"\\" + finder.name());
        else copyFile(from + L"\\" + finder.name(), to + L"\\" + finder.name(), false);
    }
}

struct Times {
    double copy = 1e9;
    double remove = 1e9;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int files = argc > 1 ? _wtoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? _wtoi(argv[2]) : 3;
    if (files <= 0 || rounds <= 0) return 2;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring base = argc > 3 ? std::wstring(argv[3]) : std::wstring(temp);
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    const std::wstring root = base + L"tarvo-fsbench-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring source = root + L"\\source";
    const std::wstring copy = root + L"\\copy";
    ::CreateDirectoryW(root.c_str(), nullptr);
    makeSourceTree(source, files);

    // The two take turns at going first, so that neither always meets a warmer cache; the best time of each
    // counts.
    Times library, raw;
    int result = 0;
    const auto measureRaw = [&] {
        raw.copy = std::min(raw.copy, secondsOf([&] { rawCopy(source, copy); }));
        if (countFiles(copy) != files) result = 1;
        raw.remove = std::min(raw.remove, secondsOf([&] { rawRemove(copy); }));
    };
    const auto measureLibrary = [&] {
        library.copy = std::min(library.copy, secondsOf([&] { libraryCopy(source, copy); }));
        if (countFiles(copy) != files) result = 1;
        library.remove = std::min(library.remove, secondsOf([&] { removeDir(copy, false, L""); }));
        if (fileExist(copy)) result = 1;
    };
    for (int round = 0; round < rounds && result == 0; ++round) {
        if (round % 2 == 0) {
            measureRaw();
            measureLibrary();
        } else {
            measureLibrary();
            measureRaw();
        }
    }
    if (result != 0) {
        std::fprintf(stderr, "a copy did not hold %d files, or a removal left it behind\n", files);
    } else {
        std::printf("files                 : %d in %d folders under %ls, best of %d rounds\n", files,
                    (files + kFilesPerFolder - 1) / kFilesPerFolder, base.c_str(), rounds);
        std::printf("copy   library / raw  : %7.3f s / %7.3f s  ratio %.2f\n", library.copy, raw.copy,
                    library.copy / raw.copy);
        std::printf("remove library / raw  : %7.3f s / %7.3f s  ratio %.2f\n", library.remove, raw.remove,
                    library.remove / raw.remove);
        const double libraryTotal = library.copy + library.remove, rawTotal = raw.copy + raw.remove;
        std::printf("both   library / raw  : %7.3f s / %7.3f s  ratio %.2f\n", libraryTotal, rawTotal,
                    libraryTotal / rawTotal);
        // Times: lower is better.
        std::printf("ratio copytree %.2f\nratio removetree %.2f\n", library.copy / raw.copy, library.remove / raw.remove);
    }

    // One search of the system's handle table for a file nobody holds: what a sharing failure adds.
    const std::wstring probe = source + L"\\folder0\\file0.txt";
    for (int search = 0; search < 3; ++search) {
        std::size_t found = 0;
        const double took = secondsOf([&] { found = RunTime::processesHoldingFile(probe).size(); });
        std::printf("process search %d      : %7.3f s (%zu found)\n", search + 1, took, found);
    }
    rawRemove(root);
    return result;
}
