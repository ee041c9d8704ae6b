#pragma once
// What the stand-in services share: their lines on standard output, their command-line options for
// starting up, and the loop that serves their named pipe.
//
// Start-up options every stand-in takes:
//   --pipe NAME           serve "\\.\pipe\NAME" (required); many clients at once, many requests per connection
//   --delay MS            create the pipe only after MS milliseconds
//   --start-event NAME    create the pipe only once the named event (made here when missing) is signalled
//   --ready-event NAME    signal the named event once the pipe exists and takes clients
//   --until-stdin-closes  exit when standard input ends (a parent's handle on the program's life)
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "srvclient/pipes.h"

namespace standin {

// One line on standard output (UTF-8), whole even when several threads print.
void say(const std::wstring& line);

// The command line, option by option.
class Arguments {
public:
    Arguments(const wchar_t* program, int argc, wchar_t** argv) : program_(program), argc_(argc), argv_(argv) {}
    // The next option, false at the end.
    bool next(std::wstring& option);
    // The value of the option just taken (a missing one is a usage error).
    std::wstring value();
    // Reports the problem on standard error and exits with 2.
    [[noreturn]] void fail(const std::wstring& problem) const;

private:
    const wchar_t* program_;
    int argc_;
    wchar_t** argv_;
    int index_ = 0;
};

struct Startup {
    std::wstring pipe;
    DWORD delayMs = 0;
    std::wstring startEvent;
    std::wstring readyEvent;
    bool untilStdinCloses = false;
    // Takes `option` (and its value) when it is one of the start-up options.
    bool take(const std::wstring& option, Arguments& arguments);
};

// Makes the pipe as the start-up options say (message type, message reads), prints "listening PATH" and
// serves every client that connects with `connection` in a thread of its own, printing "connection N" first
// and "connection failed: TEXT" for a vexception that ends it. Returns 1 when the pipe cannot be made.
int serve(const wchar_t* program, const Startup& startup, const std::function<void(Con::ServerPipe&)>& connection);

}  // namespace standin
