// A stand-in for the panel's impersonation service: serves the start-process requests of the impersonation
// client (RunTime::SIDClient) on a named pipe and starts the processes they ask for, under its own account
// (it switches no account), with the caller's pipe ends as their standard handles.
//
//   tarvo_sidservice --pipe NAME [options]
//
//   the start-up options of every stand-in (tools/standin/standin.h: --pipe NAME, --delay, --start-event,
//   --ready-event, --until-stdin-closes), and
//   --record FILE     every byte read from the clients appended to FILE (made anew at the start), so that
//                     tests can compare the requests byte for byte
//   --writes MODE     replies as "one" message each (the default) or as "items" (type, length and bytes each
//                     written on its own)
//   --reply-size N    the final reply carries N bytes instead of 8 (the handle value, then zeros; fewer bytes
//                     cut it short); the process is started all the same
//   --break-first     the run's first request: the connection is closed after its first part, unanswered
//   --refuse TEXT     every first part is answered with a refusal (type 0xFFFFFFFF) carrying TEXT
//
// A request: word 1, word flags, string SID, sized start block (40 bytes: caller's process and thread ids,
// the child's three ends as 64-bit handle values of the caller, option 1, padding). The three ends are
// duplicated out of the caller's process, then the part is acknowledged (type 0, no bytes). Then: the
// extra-text flag (a 4-byte sized item), the extra text when it is set, text 1 (command line), text 2 (working
// directory; empty: this program's) and text 3 (environment block; its entries go over this program's
// environment; empty: this program's). The process starts with the three ends as standard handles; its handle
// is duplicated into the caller and answered as type 1 with 8 bytes (the handle value, 4 zero bytes). A
// process that cannot start is answered with a refusal naming the error.
//
// Standard output: "listening \\.\pipe\NAME", "connection N", and per request "request N: SID flags F ->
// OUTCOME", where OUTCOME is "started PID", "refused", "broken" or "unstartable (error E)". Exit code 2 for bad
// arguments, 1 when the pipe cannot be made.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/holder.h"
#include "srvclient/sidclient.h"
#include "tools/standin/standin.h"

namespace {

using RunTime::SIDClient;
using standin::say;

struct Settings {
    standin::Startup startup;
    std::wstring record;
    bool itemWrites = false;
    long replySize = RunTime::sidwire::handleReplySize;
    bool breakFirst = false;
    bool refuse = false;
    std::wstring refusalText;
};

Settings settings;
std::atomic<long long> requestCount{0};
std::atomic<bool> broken{false};
std::mutex recordLock;
// Handles made inheritable for one child must not reach a child that another connection starts meanwhile.
std::mutex startLock;

// Reads whole items from a client, recording every byte.
class Request {
public:
    explicit Request(Con::Pipe& pipe) : pipe_(pipe) {}

    // False when the client has gone before a new request.
    bool first(std::uint32_t& value) {
        const DWORD got = pipe_.read(&value, sizeof value, false);
        if (pipe_.finished()) return false;
        if (got < sizeof value) pipe_.read(reinterpret_cast<BYTE*>(&value) + got, sizeof value - got, true);
        record(&value, sizeof value);
        return true;
    }
    std::uint32_t word() {
        std::uint32_t value = 0;
        take(&value, sizeof value);
        return value;
    }
    std::string item() {
        std::string bytes(word(), '\0');
        if (!bytes.empty()) take(bytes.data(), static_cast<DWORD>(bytes.size()));
        return bytes;
    }
    std::wstring string() {
        const std::string bytes = item();
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    }

private:
    void take(void* buffer, DWORD length) {
        pipe_.read(buffer, length, true);
        record(buffer, length);
    }
    static void record(const void* bytes, DWORD length) {
        if (settings.record.empty()) return;
        std::lock_guard guard(recordLock);
        if (FILE* file = _wfopen(settings.record.c_str(), L"ab")) {
            std::fwrite(bytes, 1, length, file);
            std::fclose(file);
        }
    }
    Con::Pipe& pipe_;
};

void reply(Con::Pipe& pipe, std::uint32_t type, const std::string& bytes) {
    const std::string pieces[] = {SIDClient::word(type), SIDClient::word(static_cast<std::uint32_t>(bytes.size())),
                                  bytes};
    if (!settings.itemWrites) {
        const std::string whole = pieces[0] + pieces[1] + pieces[2];
        pipe.write(whole.data(), static_cast<DWORD>(whole.size()), true);
        return;
    }
    for (const std::string& piece : pieces)
        if (!piece.empty()) pipe.write(piece.data(), static_cast<DWORD>(piece.size()), true);
}

void refuse(Con::Pipe& pipe, const std::wstring& text) {
    reply(pipe, RunTime::sidwire::refusal,
          std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)));
}

// A same-access copy of `handle` of `owner` in this process.
tarvo::unique_handle borrow(HANDLE owner, std::int64_t handle) {
    HANDLE copy = nullptr;
    ::DuplicateHandle(owner, reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle)), ::GetCurrentProcess(),
                      &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return tarvo::unique_handle(copy);
}

struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};

// The entries of `block` over this program's environment, as a block again; empty: none of its own.
std::wstring mergedEnvironment(const std::wstring& block) {
    if (block.empty()) return {};
    std::map<std::wstring, std::wstring, NoCaseLess> entries;
    const auto add = [&](const wchar_t* entry) {
        const wchar_t* equals = std::wcschr(entry + 1, L'=');  // "=C:=C:\..." entries start with "="
        if (equals) entries[std::wstring(entry, equals)] = equals + 1;
    };
    if (wchar_t* own = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = own; *entry; entry += std::wcslen(entry) + 1) add(entry);
        ::FreeEnvironmentStringsW(own);
    }
    for (size_t at = 0; at < block.size() && block[at]; at = block.find(L'\0', at) + 1) add(block.c_str() + at);
    std::wstring merged;
    for (const auto& [name, value] : entries) merged += name + L"=" + value + L'\0';
    return merged + L'\0';
}

// Starts `commandLine` with the three ends; its process handle, or none with the error in `error`.
tarvo::unique_handle start(std::wstring commandLine, const std::wstring& directory, const std::wstring& environment,
                           tarvo::unique_handle (&ends)[3], DWORD& error) {
    std::lock_guard guard(startLock);
    for (const tarvo::unique_handle& end : ends) ::SetHandleInformation(end.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ends[0].get();
    startup.hStdOutput = ends[1].get();
    startup.hStdError = ends[2].get();
    std::wstring block = mergedEnvironment(environment);
    PROCESS_INFORMATION created{};
    const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                          CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                                          block.empty() ? nullptr : block.data(),
                                          directory.empty() ? nullptr : directory.c_str(), &startup, &created);
    error = started ? ERROR_SUCCESS : ::GetLastError();
    for (tarvo::unique_handle& end : ends) end.reset();
    if (!started) return {};
    tarvo::unique_handle thread(created.hThread);
    return tarvo::unique_handle(created.hProcess);
}

// One request; false when the connection is to be closed.
bool serveRequest(Con::Pipe& pipe) {
    Request request(pipe);
    std::uint32_t command = 0;
    if (!request.first(command)) return false;
    const long long number = ++requestCount;
    const std::uint32_t flags = request.word();
    const std::wstring sid = request.string();
    const std::string blockBytes = request.item();
    const std::wstring head = formatString(L"request %lld: %s flags %u -> ", number, sid, flags);
    if (command != RunTime::sidwire::startProcess || blockBytes.size() != RunTime::sidwire::startBlockSize) {
        say(head + L"malformed");
        return false;
    }
    if (settings.breakFirst && !broken.exchange(true)) {
        say(head + L"broken");
        return false;
    }
    if (settings.refuse) {
        say(head + L"refused");
        refuse(pipe, settings.refusalText);
        return true;
    }
    RunTime::sidwire::StartBlock block{};
    std::memcpy(&block, blockBytes.data(), sizeof block);
    tarvo::unique_handle caller(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, block.processId));
    tarvo::unique_handle ends[3] = {borrow(caller.get(), block.childStdinRead), borrow(caller.get(), block.childStdoutWrite),
                                    borrow(caller.get(), block.childStderrWrite)};
    reply(pipe, 0, {});

    if (request.item() != SIDClient::word(0)) request.string();  // the extra text, unused here
    const std::wstring commandLine = request.string();
    const std::wstring directory = request.string();
    const std::wstring environment = request.string();
    DWORD error = ERROR_SUCCESS;
    const tarvo::unique_handle process = start(commandLine, directory, environment, ends, error);
    if (!process) {
        say(head + formatString(L"unstartable (error %lu)", error));
        refuse(pipe, formatString(L"Unable to start process '%s' (error %lu)", commandLine, error));
        return true;
    }
    HANDLE remote = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), process.get(), caller.get(), &remote, 0, FALSE, DUPLICATE_SAME_ACCESS);
    std::string answer = SIDClient::word(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(remote))) +
                         SIDClient::word(0);
    answer.resize(static_cast<size_t>(settings.replySize), '\0');
    say(head + formatString(L"started %lu", ::GetProcessId(process.get())));
    reply(pipe, 1, answer);
    return true;
}

void serve(Con::ServerPipe& pipe) {
    while (serveRequest(pipe)) {
    }
}

void parse(int argc, wchar_t** argv) {
    standin::Arguments arguments(L"tarvo_sidservice", argc, argv);
    for (std::wstring option; arguments.next(option);) {
        if (settings.startup.take(option, arguments)) continue;
        if (option == L"--record") settings.record = arguments.value();
        else if (option == L"--writes") {
            const std::wstring mode = arguments.value();
            if (mode != L"one" && mode != L"items") arguments.fail(L"unknown write mode " + mode);
            settings.itemWrites = mode == L"items";
        } else if (option == L"--reply-size") settings.replySize = std::wcstol(arguments.value().c_str(), nullptr, 10);
        else if (option == L"--break-first") settings.breakFirst = true;
        else if (option == L"--refuse") {
            settings.refuse = true;
            settings.refusalText = arguments.value();
        } else arguments.fail(L"unknown option " + option);
    }
    if (settings.startup.pipe.empty()) arguments.fail(L"--pipe NAME is required");
    if (settings.replySize < 0) arguments.fail(L"--reply-size needs a count of bytes");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    parse(argc, argv);
    if (!settings.record.empty())
        if (FILE* file = _wfopen(settings.record.c_str(), L"wb")) std::fclose(file);
    return standin::serve(L"tarvo_sidservice", settings.startup, serve);
}
