// The file actions against raw Win32 loops doing the same work on the same files, measured in one run:
//   tarvo_actionbench [MEGABYTES] [FILES] [ROUNDS] [FOLDER]
// Each fixer (FixIniFile, FixConfFile, FixTemplateFile) on a text file of MEGABYTES (default 50) against a raw
// read and write of the same file; BackupFolder and RestoreFolder of FILES files (default 10,000) against a raw
// CopyFileW loop, a raw DeleteFileW loop with one MoveFileExW of the backup, and a raw MoveFileW loop (a
// restore around a file that stays open). FOLDER: where the files go; drive T: (memory) when it exists, else
// %TEMP%. The best of ROUNDS (default 3) counts for each. Goals: fixers at most 2 times, folder actions at
// most 1.2 times the raw work. The actions keep their undo journal in FOLDER\ProgramData.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bench/benchutil.h"
#include "engine/action.h"
#include "engine/undo.h"
#include "msi/vmsi.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/holder.h"

namespace {

using namespace bench;

std::string readRaw(const std::wstring& path) {
    tarvo::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.get(), &size);
    std::string content(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    ::ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    return content;
}

void writeRaw(const std::wstring& path, const std::string& content) {
    tarvo::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

// Lines in the manner of php.ini and httpd.conf: comments, settings, sections; placeholders in one line of 20.
std::string makeText(size_t bytes, bool placeholders) {
    std::string text;
    text.reserve(bytes + 200);
    for (int i = 0; text.size() < bytes; ++i) {
        const std::string n = std::to_string(i);
        if (i % 50 == 0) text += "[section" + n + "]\r\n";
        text += "; A comment that explains setting " + n + " at some length, as configuration files do.\r\n";
        text += "setting_" + n + " = " + (placeholders && i % 20 == 0 ? "@@VALUE@@" : n) + "\r\n";
        text += ";extension=module_" + n + "\r\n";
        text += "    Directive" + n + " " + n + "\r\n";
    }
    // What the rows look for comes at the very end: every line is read before it is found.
    return text + "[last]\r\n;extension=wanted\r\nListen 80\r\n";
}

double bestOf(int rounds, const std::function<void(int round)>& prepare, const std::function<void()>& body) {
    double best = 1e9;
    for (int round = 0; round < rounds; ++round) {
        prepare(round);
        best = std::min(best, secondsOf(body));
    }
    return best;
}

// `name`: the figure's name on its "ratio NAME VALUE" line (times: lower is better), for those that have one.
void report(const char* what, double library, double raw, const char* name = nullptr) {
    std::printf("%-34s: %8.3f s / %8.3f s  ratio %.2f\n", what, library, raw, library / raw);
    if (name) std::printf("ratio %s %.2f\n", name, library / raw);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const size_t megabytes = argc > 1 ? static_cast<size_t>(_wtoi(argv[1])) : 50;
    const int files = argc > 2 ? _wtoi(argv[2]) : 10000;
    const int rounds = argc > 3 ? _wtoi(argv[3]) : 3;
    std::wstring base = workFolder(argc, argv, 4);
    if (megabytes == 0 || files <= 0 || rounds <= 0) return 2;
    if (base.back() != L'\\') base += L'\\';
    const std::wstring root = base + L"tarvo-actionbench-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(root.c_str(), nullptr);
    vmsi session(0);  // no installer: the actions only log through it, and nothing goes wrong here
    // The undo journal on the volume of the files, as on a server whose programs and ProgramData share the
    // system drive: the previous file moves into it instead of being copied.
    const std::wstring programData = root + L"\\ProgramData";
    ::SetEnvironmentVariableW(L"ProgramData", programData.c_str());
    std::printf("work folder %ls, best of %d rounds; library / raw\n", base.c_str(), rounds);

    // ---- the fixers ----
    const std::wstring file = root + L"\\config.ini", target = root + L"\\config.out";
    const std::string text = makeText(megabytes << 20, false), templated = makeText(megabytes << 20, true);
    const auto fixer = [&](const wchar_t* type, const std::wstring& parameters) {
        return [=, &session] { Action::CreateAction(type, parameters, type, true)->execute(session); };
    };
    // Between rounds, as an installation's end would: the undo data of the round before goes.
    const auto nextRound = [&](const std::string& content, const std::wstring& removed) {
        return [&, content, removed](int) {
            UndoJournal::current().commit(nullptr);
            writeRaw(file, content);
            ::DeleteFileW(removed.c_str());
        };
    };
    const double raw = bestOf(rounds, [&](int) { writeRaw(file, text); }, [&] { writeRaw(file, readRaw(file)); });
    std::printf("text file                         : %zu MB\n", text.size() >> 20);
    // Every round changes the file: the line is switched on, or the value replaced, alternately.
    report("FixIniFile (one line switched)",
           bestOf(rounds, nextRound(text, L""), fixer(L"FixIniFile", file + L",last,extension,wanted")), raw,
           "fixini");
    report("FixConfFile (one directive)",
           bestOf(rounds, nextRound(text, L""), fixer(L"FixConfFile", file + L",Listen,80,8443")), raw,
           "fixconf");
    report("FixTemplateFile (new target)",
           bestOf(rounds, nextRound(templated, target),
                  fixer(L"FixTemplateFile", file + L">" + target + L",@@VALUE@@=42")),
           raw, "fixtemplate-new");
    report("FixTemplateFile (target replaced)",
           bestOf(rounds, nextRound(templated, target + L".bak"),
                  fixer(L"FixTemplateFile", file + L">" + target + L",@@VALUE@@=42")),
           raw, "fixtemplate");
    ::DeleteFileW(file.c_str());
    ::DeleteFileW(target.c_str());
    ::DeleteFileW((target + L".bak").c_str());

    // ---- the folder actions ----
    const std::wstring source = root + L"\\source", folder = root + L"\\site", backup = folder + L"_upgrade.bak";
    makeSourceTree(source, files);
    std::printf("folder                            : %d files in %d folders\n", files,
                (files + kFilesPerFolder - 1) / kFilesPerFolder);
    const auto action = [&](const wchar_t* type) {
        return [&session, &folder, type] { Action::CreateAction(type, folder, type, true)->execute(session); };
    };
    const auto fresh = [&](bool withFolder, bool withBackup) {
        rawRemove(folder);
        rawRemove(backup);
        if (withFolder) rawCopy(source, folder);
        if (withBackup) rawCopy(source, backup);
    };
    report("BackupFolder",
           bestOf(rounds, [&](int) { fresh(true, false); }, action(L"BackupFolder")),
           bestOf(rounds, [&](int) { fresh(true, false); }, [&] { rawCopy(folder, backup); }), "backupfolder");
    report("RestoreFolder (removal, rename)",
           bestOf(rounds, [&](int) { fresh(true, true); }, action(L"RestoreFolder")),
           bestOf(rounds, [&](int) { fresh(true, true); }, [&] {
               rawRemove(folder);
               ::MoveFileExW(backup.c_str(), folder.c_str(), 0);
           }),
           "restorefolder");
    report("RestoreFolder of an emptied folder",
           bestOf(rounds, [&](int) { fresh(false, true); }, action(L"RestoreFolder")),
           bestOf(rounds, [&](int) { fresh(false, true); }, [&] { ::MoveFileExW(backup.c_str(), folder.c_str(), 0); }));
    // A file that stays open keeps the folder: the backup is moved in around it, file by file. The library's
    // four attempts at the open file are not waited for.
    fileops_detail::setPause([](DWORD) {});
    tarvo::unique_file held;
    const auto holdOne = [&](int) {
        held.reset();
        fresh(true, true);
        held.reset(::CreateFileW((folder + L"\\folder0\\file0.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    };
    const double merge = bestOf(rounds, holdOne, action(L"RestoreFolder"));
    const std::function<void(const std::wstring&, const std::wstring&)> rawMove = [&](const std::wstring& from,
                                                                                      const std::wstring& to) {
        ::CreateDirectoryW(to.c_str(), nullptr);
        rawWalk(from, [&](const std::wstring& name, bool isFolder) {
            if (isFolder) rawMove(from + L"\\" + name, to + L"\\" + name);
            else ::MoveFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str());
        });
    };
    report("RestoreFolder around an open file", merge, bestOf(rounds, holdOne, [&] {
               rawRemove(folder);
               rawMove(backup, folder);
               rawRemove(backup);
           }));
    held.reset();
    const bool complete = countFiles(folder) == files;
    rawRemove(root);
    if (!complete) std::fprintf(stderr, "the restored folder does not hold %d files\n", files);
    return complete ? 0 : 1;
}
