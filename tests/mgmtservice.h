#pragma once
// The stand-in management service (tarvo_mgmtservice.exe beside the test program), or another stand-in
// service given as `executable`, as a child process on a pipe name of its own. It stops when the object goes
// (its standard input closes) or on stop().
// Arguments are those of the program (see tools/mgmtservice/mgmtservice.cpp); --pipe, --ready-event,
// --start-event and --until-stdin-closes (tools/standin/standin.h) are added here.
#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/testutil.h"

class MgmtService {
public:
    enum class Start { Listening, OnListen };  // OnListen: the pipe is made only when listen() is called

    // `name` empty: a name of its own for this object.
    explicit MgmtService(std::vector<std::wstring> arguments = {}, Start start = Start::Listening,
                         std::wstring name = {}, std::wstring executable = program());
    MgmtService(const MgmtService&) = delete;
    MgmtService& operator=(const MgmtService&) = delete;
    ~MgmtService();

    // The pipe's name without "\\.\pipe\", and its path.
    const std::wstring& name() const { return name_; }
    std::wstring path() const { return L"\\\\.\\pipe\\" + name_; }
    // Lets a service started with Start::OnListen make its pipe, and waits until it takes clients.
    void listen();
    // Ends the program and waits for it; its output is then complete.
    void stop();
    // How many of the lines it printed so far start with `prefix`.
    size_t count(const std::string& prefix);

    static std::wstring program();

private:
    void waitReady();

    std::wstring name_;
    tarvo::unique_handle ready_, start_, process_;
    tarvo::unique_handle input_;  // our end of its standard input
    std::thread reader_;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// Sets "PipeConnectTryCount" for a test and makes this process's connections see it (the setting is re-read
// every 16th connection); afterwards the default applies again.
class ScopedTryCount {
public:
    explicit ScopedTryCount(DWORD tries);
    ~ScopedTryCount();

private:
    static void see(DWORD defaultTries, DWORD expected);
    ScopedConfigValue value_;
};
