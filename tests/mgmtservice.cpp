#include "tests/mgmtservice.h"

#include <atomic>
#include <stdexcept>

#include "runtime/errors/codepage.h"
#include "runtime/process/command.h"
#include "srvclient/pipes.h"
#include "tests/testutil.h"

namespace {

tarvo::unique_handle event(const std::wstring& name) {
    tarvo::unique_handle made(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    if (!made) throw std::runtime_error("cannot make the stand-in's event");
    return made;
}

}  // namespace

std::wstring MgmtService::program() { return programFolder() + L"\\tarvo_mgmtservice.exe"; }

MgmtService::MgmtService(std::vector<std::wstring> arguments, Start start, std::wstring name, std::wstring executable)
    : name_(name.empty() ? uniqueName(L"pipe") : std::move(name)), startEvent_(uniqueName(L"start")),
      readyEvent_(uniqueName(L"ready")) {
    ready_ = event(readyEvent_);
    // The program's path is taken as it is (no escapes in the first argument); the rest as the child's parser
    // reads it, so that a value ending in a backslash stays one argument.
    std::wstring command = L"\"" + executable + L"\" --until-stdin-closes --pipe " + quoteArgument(name_) +
                           L" --ready-event " + quoteArgument(readyEvent_);
    if (start == Start::OnListen) {
        start_ = event(startEvent_);
        command += L" --start-event " + quoteArgument(startEvent_);
    }
    for (const std::wstring& argument : arguments) command += L" " + quoteArgument(argument);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE ends[4] = {};  // input read, input write, output read, output write
    const bool made = ::CreatePipe(&ends[0], &ends[1], &inherit, 0);
    tarvo::unique_handle inputRead(ends[0]), inputWrite(ends[1]);
    if (!made || !::CreatePipe(&ends[2], &ends[3], &inherit, 0))
        throw std::runtime_error("cannot make the stand-in's pipes");
    tarvo::unique_handle outputRead(ends[2]), outputWrite(ends[3]);
    ::SetHandleInformation(inputWrite.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outputRead.get(), HANDLE_FLAG_INHERIT, 0);
    input_ = std::move(inputWrite);
    PROCESS_INFORMATION process{};
    const bool started = startProcess(executable, command, inputRead.get(), outputWrite.get(), process);
    inputRead.reset();
    outputWrite.reset();
    if (!started) throw std::runtime_error("cannot start " + cstr(executable, CP_UTF8));
    tarvo::unique_handle thread(process.hThread);
    process_.reset(process.hProcess);
    reader_ = std::thread([this, output = std::move(outputRead)] {
        char buffer[1024];
        DWORD count = 0;
        while (::ReadFile(output.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) {
            std::lock_guard guard(lock_);
            pending_.append(buffer, count);
            for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1))
                lines_.push_back(pending_.substr(0, end));
        }
    });
    if (start == Start::Listening) waitReady();
}

MgmtService::~MgmtService() { stop(); }

void MgmtService::waitReady() {
    const HANDLE handles[] = {ready_.get(), process_.get()};
    if (::WaitForMultipleObjects(2, handles, FALSE, 60000) != WAIT_OBJECT_0) {
        stop();
        std::string text;
        for (const std::string& line : lines_) text += line + "\n";
        throw std::runtime_error("the stand-in service did not start listening: " + text);
    }
}

void MgmtService::listen() {
    ::SetEvent(start_.get());
    waitReady();
}

void MgmtService::stop() {
    if (!process_) return;
    input_.reset();
    if (::WaitForSingleObject(process_.get(), 30000) != WAIT_OBJECT_0) ::TerminateProcess(process_.get(), 1);
    process_.reset();
    if (reader_.joinable()) reader_.join();
}

std::vector<std::string> MgmtService::output() {
    std::lock_guard guard(lock_);
    return lines_;
}

size_t MgmtService::count(const std::string& prefix) {
    size_t n = 0;
    for (const std::string& line : output()) n += line.starts_with(prefix) ? 1 : 0;
    return n;
}

ScopedTryCount::ScopedTryCount(DWORD tries) : value_(L"PipeConnectTryCount", tries) { see(10, tries); }

ScopedTryCount::~ScopedTryCount() {
    // An absent value leaves the cached count as it was: show this process 0 (the default) first.
    ScopedConfigValue::set(L"PipeConnectTryCount", 0u);
    see(10, 10);
}

void ScopedTryCount::see(DWORD defaultTries, DWORD expected) {
    for (int i = 0; i < 32 && Con::tryCount(defaultTries) != expected; ++i) {
    }
}
