#include "tests/mgmtservice.h"

#include <algorithm>
#include <stdexcept>

#include "runtime/errors/codepage.h"
#include "runtime/process/command.h"
#include "srvclient/pipes.h"

namespace {

tarvo::unique_handle event(const std::wstring& name) {
    tarvo::unique_handle made(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    if (!made) throw std::runtime_error("cannot make the stand-in's event");
    return made;
}

}  // namespace

std::wstring MgmtService::program() { return programFolder() + L"\\tarvo_mgmtservice.exe"; }

MgmtService::MgmtService(std::vector<std::wstring> arguments, Start start, std::wstring name, std::wstring executable)
    : name_(name.empty() ? uniqueName(L"pipe") : std::move(name)) {
    const std::wstring readyEvent = uniqueName(L"ready"), startEvent = uniqueName(L"start");
    ready_ = event(readyEvent);
    // The program's path is taken as it is (no escapes in the first argument); the rest as the child's parser
    // reads it, so that a value ending in a backslash stays one argument.
    std::wstring command = L"\"" + executable + L"\" --until-stdin-closes --pipe " + quoteArgument(name_) +
                           L" --ready-event " + quoteArgument(readyEvent);
    if (start == Start::OnListen) {
        start_ = event(startEvent);
        command += L" --start-event " + quoteArgument(startEvent);
    }
    for (const std::wstring& argument : arguments) command += L" " + quoteArgument(argument);

    PipedChild child;
    if (!child.start(executable, command)) throw std::runtime_error("cannot start " + cstr(executable, CP_UTF8));
    process_ = std::move(child.process);
    input_ = std::move(child.input);
    reader_ = std::thread([this, output = std::move(child.output)] {
        char buffer[1024];
        DWORD count = 0;
        std::string pending;
        while (::ReadFile(output.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) {
            std::lock_guard guard(lock_);
            pending.append(buffer, count);
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                lines_.push_back(pending.substr(0, end));
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

size_t MgmtService::count(const std::string& prefix) {
    std::lock_guard guard(lock_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
        return line.starts_with(prefix);
    }));
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
