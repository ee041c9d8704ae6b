#include "tools/standin/standin.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/holder.h"

namespace standin {

namespace {

std::mutex outputLock;

void watchStdin() {
    char buffer[256];
    DWORD count = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &count, nullptr) && count > 0) {
    }
    ::ExitProcess(0);
}

tarvo::unique_handle namedEvent(const wchar_t* program, const std::wstring& name) {
    tarvo::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    if (!event) {
        std::fputs(cstr(std::wstring(program) + L": cannot make the event " + name + L"\n", CP_UTF8).c_str(), stderr);
        std::exit(2);
    }
    return event;
}

tarvo::unique_file newInstance(const std::wstring& path, bool first) {
    return tarvo::unique_file(::CreateNamedPipeW(
        path.c_str(), PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, PIPE_UNLIMITED_INSTANCES,
        64 * 1024, 64 * 1024, 0, nullptr));
}

}  // namespace

void say(const std::wstring& line) {
    std::lock_guard guard(outputLock);
    std::fputs((cstr(line, CP_UTF8) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

bool Arguments::next(std::wstring& option) {
    if (++index_ >= argc_) return false;
    option = argv_[index_];
    return true;
}

std::wstring Arguments::value() {
    if (index_ + 1 >= argc_) fail(std::wstring(argv_[index_]) + L" needs a value");
    return argv_[++index_];
}

void Arguments::fail(const std::wstring& problem) const {
    std::fputs(cstr(std::wstring(program_) + L": " + problem + L"\n", CP_UTF8).c_str(), stderr);
    std::exit(2);
}

bool Startup::take(const std::wstring& option, Arguments& arguments) {
    if (option == L"--pipe") pipe = arguments.value();
    else if (option == L"--delay") delayMs = static_cast<DWORD>(_wtoi(arguments.value().c_str()));
    else if (option == L"--start-event") startEvent = arguments.value();
    else if (option == L"--ready-event") readyEvent = arguments.value();
    else if (option == L"--until-stdin-closes") untilStdinCloses = true;
    else return false;
    return true;
}

int serve(const wchar_t* program, const Startup& startup,
          const std::function<void(Con::ServerPipe&)>& connection) {
    if (startup.untilStdinCloses) std::thread(watchStdin).detach();
    if (!startup.startEvent.empty()) {
        tarvo::unique_handle start = namedEvent(program, startup.startEvent);
        ::WaitForSingleObject(start.get(), INFINITE);
    }
    if (startup.delayMs) ::Sleep(startup.delayMs);

    const std::wstring path = Con::pipePrefix + startup.pipe;
    tarvo::unique_file instance = newInstance(path, true);
    if (!instance) {
        std::fputs(cstr(formatString(L"%s: cannot make %s (error %lu)\n", std::wstring(program), path, ::GetLastError()),
                        CP_UTF8).c_str(), stderr);
        return 1;
    }
    say(L"listening " + path);
    tarvo::unique_handle ready;
    if (!startup.readyEvent.empty()) {
        ready = namedEvent(program, startup.readyEvent);
        ::SetEvent(ready.get());
    }
    for (;;) {
        auto pipe = std::make_unique<Con::ServerPipe>(instance.release());
        try {
            pipe->connect();
        } catch (const vexception& e) {
            say(L"connection failed: " + e.message());
            pipe->close(true);
        }
        if (pipe->valid())
            std::thread(
                [&connection](std::unique_ptr<Con::ServerPipe> client) {
                    static std::atomic<long long> connections{0};
                    say(formatString(L"connection %lld", ++connections));
                    try {
                        connection(*client);
                    } catch (const vexception& e) {
                        say(L"connection failed: " + e.message());
                    }
                },
                std::move(pipe))
                .detach();
        // The next instance at once: a client that reconnects finds one listening.
        instance = newInstance(path, false);
        if (!instance) {
            say(formatString(L"cannot make another instance (error %lu)", ::GetLastError()));
            return 1;
        }
    }
}

}  // namespace standin
