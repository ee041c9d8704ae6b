// Process execution with real child processes: quoting (edge cases and a seeded round trip through the
// system's parser), environment blocks, redirections, the working directory, tokens and the desktop grant,
// and the reading of two output pipes.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <thread>

#include "runtime/errors/codepage.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/process/command.h"
#include "runtime/process/vexecutil.h"
#include "tests/childprocess.h"
#include "tests/mgmtservice.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// The arguments the child's parser gave it, decoded from its --args report.
std::vector<std::wstring> childArguments(const std::string& report) {
    std::vector<std::wstring> arguments;
    size_t at = report.find("\r\n") + 2;  // after "argc=N"
    for (size_t end; (end = report.find("\r\n", at)) != std::string::npos; at = end + 2) {
        std::wstring argument;
        for (size_t i = at; i + 4 <= end; i += 4)
            argument += static_cast<wchar_t>(std::strtoul(report.substr(i, 4).c_str(), nullptr, 16));
        arguments.push_back(argument);
    }
    return arguments;
}

// What the system's parser makes of `arguments` after a program name.
std::vector<std::wstring> parsed(const std::wstring& arguments) {
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW((L"prog " + arguments).c_str(), &count);
    std::vector<std::wstring> result(argv + 1, argv + count);
    ::LocalFree(argv);
    return result;
}

// An environment block of these entries.
std::wstring block(std::initializer_list<std::wstring> entries) {
    std::wstring result;
    for (const std::wstring& entry : entries) result += entry + L'\0';
    return result + L'\0';
}

unsigned envOr(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 0)) : fallback;
}

}  // namespace

TEST(Processes, QuotingEdgeCasesReachAChildUnchanged) {
    struct Case {
        const wchar_t* argument;
        const wchar_t* quoted;
    };
    const Case cases[] = {
        {L"abc", L"abc"},
        {L"C:\\dir\\file.txt", L"C:\\dir\\file.txt"},  // backslashes alone need nothing
        {L"a b", L"\"a b\""},
        {L"", L"\"\""},
        {L"\\\"", L"\"\\\\\\\"\""},                   // backslash-quote: each gets one more backslash
        {L"a b\\", L"\"a b\\\\\""},                    // a trailing backslash is doubled before the closing quote
        {L"a\\\\b c", L"\"a\\\\b c\""},                // inner backslashes stay as they are
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"x=1", L"\"x=1\""},
        {L"a&b|c", L"\"a&b|c\""},
        {L"tab\there", L"\"tab\there\""},
        {L"\\\\server\\share\\", L"\\\\server\\share\\"},
        {L"\\\\server\\sh are\\", L"\"\\\\server\\sh are\\\\\""},
    };
    std::wstring line;
    for (const Case& c : cases) {
        EXPECT_EQ(quoteArgument(c.argument), c.quoted) << std::wstring(c.argument).size();
        line += quoteArgument(c.argument) + L" ";
    }
    // A real child gets every one of them back unchanged.
    const std::vector<std::wstring> received = childArguments(runChild(L"--args " + line));
    ASSERT_EQ(received.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(received[i + 1], cases[i].argument) << i;
}

// Random arguments through quoteArgument and back through CommandLineToArgvW. TARVO_QUOTING_SEED and
// TARVO_QUOTING_COUNT repeat or lengthen a run.
TEST(Processes, QuotingRandomArgumentsComeBackUnchanged) {
    const unsigned seed = envOr("TARVO_QUOTING_SEED", std::random_device{}());
    const unsigned count = envOr("TARVO_QUOTING_COUNT", 10000);
    std::mt19937 random(seed);
    const std::wstring pool = L"ab Z09 \t\"\\\\\\&<>()[]{}^=;!'+,`~|%*?./:-_\x00e9\x00fc\x4e2d\x0416\x3000\xd83d\xde00";
    for (unsigned round = 0; round < count; ++round) {
        std::vector<std::wstring> arguments(1 + random() % 3);
        std::wstring line;
        for (std::wstring& argument : arguments) {
            const size_t length = random() % 12;
            for (size_t i = 0; i < length; ++i) argument += pool[random() % pool.size()];
            line += quoteArgument(argument) + L" ";
        }
        ASSERT_EQ(parsed(line), arguments) << "seed " << seed << ", round " << round << ": " << cstr(line, CP_UTF8);
    }
}

TEST(Processes, EnvironmentBlocksHoldUpperCasedNamesInOrder) {
    ProcessEnvironment environment;
    EXPECT_EQ(environment.block(), std::wstring(1, L'\0'));
    environment.set(L"path", L"C:\\a");
    environment.set(L"PATHEXT", L".EXE");
    environment.set(L"Path", L"C:\\b");  // the same variable
    environment.set(L"\x00e9t\x00e9", L"x");
    EXPECT_EQ(environment.block(), block({L"PATH=C:\\b", L"PATHEXT=.EXE", L"\x00c9T\x00c9=x"}));
    EXPECT_EQ(command_detail::pathFolders(environment.block()), (std::vector<std::wstring>{L"C:\\b"}));
    // The PATH entry by its whole name; hidden drive entries and PATHEXT are no PATH.
    EXPECT_EQ(command_detail::pathFolders(block({L"=C:=C:\\x", L"PATHEXT=.EXE", L"Path=  C:\\one;;D:\\two;"})),
              (std::vector<std::wstring>{L"C:\\one", L"D:\\two"}));
    EXPECT_TRUE(command_detail::pathFolders(L"").empty());

    vexecutil child;
    environment.set(L"SystemRoot", L"C:\\windows");
    child.environment = environment.block();
    const std::string output = runChild(L"--env PATHEXT --env TARVO_ABSENT", nullptr, &child);
    EXPECT_EQ(output, "PATHEXT=.EXE\r\nTARVO_ABSENT unset\r\n");
}

TEST(Processes, ACommandAloneIsTheWholeCommandLine) {
    vexecutil child;
    child.command = L"\"" + childProgram() + L"\" --exit 7";
    EXPECT_EQ(child.commandLine(), child.command);
    child.start();  // no redirection: a console of its own, hidden
    EXPECT_TRUE(child.waitForExit(INFINITE));
    EXPECT_EQ(child.exitCode(), 7u);
    EXPECT_EQ(VProcess::getExitCode(child.process.get()), 7u);

    vexecutil quoted;
    quoted.command = L"C:\\a b\\p.exe";
    quoted.arguments = L"x y";
    EXPECT_EQ(quoted.commandLine(), L"\"C:\\a b\\p.exe\" x y");
    // The child sees exactly the line it was created with.
    DWORD code = 0;
    const std::string echoed = runChild(L"--echo --exit 0x80000003", &code);
    EXPECT_EQ(echoed, "cmdline: " + cstr(L"\"" + childProgram() + L"\" --echo --exit 0x80000003", CP_UTF8) + "\r\n");
    EXPECT_EQ(code, 0x80000003u);
}

TEST(Processes, OutputErrorAndInputGoWhereTheyAreSent) {
    // Standard error joins standard output.
    EXPECT_EQ(runChild(L"--out one --err two --out three"), "one\r\ntwo\r\nthree\r\n");

    // Each into a pipe of its own, read at once.
    vexecutil separate;
    separate.command = childProgram();
    separate.arguments = L"--out o1 --err e1 --out o2 --err e2";
    separate.noWindow = separate.stdoutToPipe = separate.stderrToPipe = true;
    separate.start();
    std::string out, err;
    readProcessOutput(out, err, dynamic_cast<Con::OverlappedPipe*>(separate.stdoutPipe.get()),
                      dynamic_cast<Con::OverlappedPipe*>(separate.stderrPipe.get()), nullptr, INFINITE, 1u << 20, nullptr);
    EXPECT_EQ(out, "o1\r\no2\r\n");
    EXPECT_EQ(err, "e1\r\ne2\r\n");

    // Input from our pipe end, and from a file; output into a file.
    vexecutil input;
    input.command = childProgram();
    input.arguments = L"--stdin";
    input.noWindow = input.stdinFromPipe = input.stdoutToPipe = true;
    input.start();
    input.stdinPipe->write("fed\r\n", 5, true);
    input.stdinPipe.reset();  // end of its input
    std::string fed, none;
    readProcessOutput(fed, none, dynamic_cast<Con::OverlappedPipe*>(input.stdoutPipe.get()), nullptr, nullptr, INFINITE,
                      1u << 20, nullptr);
    EXPECT_EQ(fed, "fed\r\n");

    const std::wstring folder = tempDirectory();
    writeBytes(folder + L"\\in.txt", "from a file\r\n");
    vexecutil files;
    files.command = childProgram();
    files.arguments = L"--stdin --err to-the-file";
    files.noWindow = files.stderrToStdout = true;
    files.stdinFile = folder + L"\\in.txt";
    files.stdoutFile = folder + L"\\out.txt";
    files.start();
    EXPECT_EQ(VProcess::getExitCode(files.process.get()), 0u);
    EXPECT_EQ(readBytes(folder + L"\\out.txt"), "from a file\r\nto-the-file\r\n");

    // Only its standard handles go down: an inheritable pipe end of ours does not, so that pipe breaks as
    // soon as we close our end, while the child still runs.
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    tarvo::unique_handle reader(readEnd), writer(writeEnd);
    vexecutil sleeper;
    sleeper.command = childProgram();
    sleeper.arguments = L"--sleep 5000";
    sleeper.noWindow = sleeper.stdoutToPipe = true;
    sleeper.start();
    writer.reset();
    EXPECT_FALSE(::PeekNamedPipe(reader.get(), nullptr, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    ::TerminateProcess(sleeper.process.get(), 0);

    vexecutil missing;
    missing.command = childProgram();
    missing.stdinFile = folder + L"\\absent.txt";
    EXPECT_TRUE(contains(thrownVexception([&] { missing.start(); }).message(), L"absent.txt"));
}

TEST(Processes, TheWorkingDirectoryIsTheChildsOnly) {
    const std::wstring folder = tempDirectory();
    const std::wstring before = VDirectory::current();
    vexecutil child;
    child.workingDirectory = folder;
    EXPECT_EQ(runChild(L"--cwd", nullptr, &child), "cwd: " + cstr(folder, CP_UTF8) + "\r\n");
    EXPECT_EQ(VDirectory::current(), before);
}

TEST(Processes, WaitsHonourTheirLimitAndFailuresNameTheCommand) {
    vexecutil sleeper;
    sleeper.command = childProgram();
    sleeper.arguments = L"--sleep 1000";
    sleeper.noWindow = sleeper.stdoutToPipe = true;  // Wine keeps the console of a terminated child
    sleeper.start();
    EXPECT_FALSE(sleeper.waitForExit(50));
    EXPECT_EQ(sleeper.exitCode(), static_cast<DWORD>(STILL_ACTIVE));
    // Left to end by itself: a child terminated under Wine can leave its console host holding the test's
    // output open, and ctest waiting for it.
    EXPECT_TRUE(sleeper.waitForExit(INFINITE));

    vexecutil absent;
    absent.command = L"tarvo-no-such-program.exe -password=Secret1";
    absent.stdoutToPipe = true;  // Wine leaves the console of a child it could not create behind
    try {
        absent.start();
        ADD_FAILURE() << "started";
    } catch (const vosexception& failure) {
        EXPECT_TRUE(contains(failure.message(), L"CreateProcess 'tarvo-no-such-program.exe -password=Secret1'"))
            << cstr(failure.message());
        EXPECT_EQ(failure.frames().at(0).function, "vexecutil::start");
        EXPECT_EQ(failure.code(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

TEST(Processes, AnImpersonatingThreadAsPrivilegedAsTheProcessUsesNoTokenOfItsOwn) {
    ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
    RecordedLog log;
    DWORD code = 0;
    const std::string output = runChild(L"--out impersonated --exit 3", &code);
    ::RevertToSelf();
    EXPECT_EQ(output, "impersonated\r\n");
    EXPECT_EQ(code, 3u);
    EXPECT_FALSE(anyContains(log.lines(), L"required access"));  // no desktop grant: CreateProcess, not AsUser
}

TEST(Processes, AnImpersonatingThreadWithoutAdministratorsStartsTheChildWithItsToken) {
    tarvo::unique_handle process, restricted, impersonation;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()));
    const VSID admins = VSID::admins();
    SID_AND_ATTRIBUTES denyOnly{admins.get(), 0};
    ASSERT_TRUE(::CreateRestrictedToken(process.get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.put()));
    ASSERT_TRUE(::DuplicateTokenEx(restricted.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenImpersonation,
                                   impersonation.put()));
    // The administrators entry that only denies grants nothing: the token counts as a non-administrator.
    EXPECT_FALSE(security::tokenMemberOf(restricted.get(), admins));
    const VSID group = process_detail::desktopGroup(restricted.get());
    EXPECT_NE(group, admins);

    ASSERT_TRUE(::SetThreadToken(nullptr, impersonation.get()));
    RecordedLog log;
    DWORD code = 0;
    std::string output;
    try {
        output = runChild(L"--out as-user --exit 4", &code);
    } catch (...) {
        ::RevertToSelf();
        throw;
    }
    ::RevertToSelf();
    EXPECT_EQ(output, "as-user\r\n");
    EXPECT_EQ(code, 4u);
    // The desktop grant ran for the token's group before CreateProcessAsUser.
    EXPECT_TRUE(anyContains(log.lines(), L"Winstation already has required access for user " + group.toString()));
}

TEST(Processes, TheDesktopGrantNamesTheTokensGroup) {
    tarvo::unique_handle token;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()));
    EXPECT_EQ(process_detail::desktopGroup(token.get()), VSID::admins());  // the tests run as administrator
    const VSID users = VSID::users();
    process_detail::grantDesktopAccess(users);
    RecordedLog log;
    // The second time the access is there (Wine's window station has a null DACL: there it always is).
    process_detail::grantDesktopAccess(users);
    EXPECT_EQ(log.lines(), (std::vector<std::wstring>{L"Info: Winstation already has required access for user S-1-5-32-545",
                                                      L"Info: Desktop already has required access for user S-1-5-32-545"}));
}

TEST(Processes, TheDesktopGrantAddsOneEntryOnlyWhereItIsMissing) {
    using security::AclEntry;
    const VSID users = VSID::users(), admins = VSID::admins(), everyone = VSID::everyone();
    const auto dacl = [](const std::vector<AclEntry>& entries) { return security::buildAcl(entries); };
    const AclEntry deny{ACCESS_DENIED_ACE_TYPE, 0, 0x1, everyone, {}};
    const AclEntry allowAdmins{ACCESS_ALLOWED_ACE_TYPE, 0, 0xF037F, admins, {}};

    const auto added = process_detail::entriesGranting(dacl({deny, allowAdmins}), users, 0xF037F);
    ASSERT_TRUE(added);
    ASSERT_EQ(added->size(), 3u);
    EXPECT_EQ((*added)[0].sid, everyone);  // the denial stays first
    EXPECT_EQ((*added)[1].sid, users);
    EXPECT_EQ((*added)[1].type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ((*added)[1].mask, 0xF037Fu);
    EXPECT_EQ((*added)[2].sid, admins);

    EXPECT_FALSE(process_detail::entriesGranting(dacl({allowAdmins}), admins, 0xF037F));  // granted already
    EXPECT_FALSE(process_detail::entriesGranting({}, users, 0xF037F));                           // a null DACL
    // Less access, or access only for the children, is not the access asked for.
    EXPECT_TRUE(process_detail::entriesGranting(dacl({AclEntry{ACCESS_ALLOWED_ACE_TYPE, 0, 0x1, users, {}}}), users, 0xF037F));
    EXPECT_TRUE(process_detail::entriesGranting(
        dacl({AclEntry{ACCESS_ALLOWED_ACE_TYPE, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE, 0xF037F, users, {}}}), users, 0xF037F));
}

namespace {

// Complete lines as the handler receives them; the last one of a finished pipe marked.
struct LineCollector : IPipeMessageHandler {
    std::vector<std::string> lines;
    void output(const std::string& chunk, size_t& position, bool final) override {
        for (size_t lf; (lf = chunk.find('\n', position)) != std::string::npos; position = lf + 1)
            lines.push_back(chunk.substr(position, lf - position));
        if (final) {
            lines.push_back(chunk.substr(position) + " (last)");
            position = chunk.size();
        }
    }
};

struct TwoPipes {
    vexecutil child;
    explicit TwoPipes(const std::wstring& arguments) {
        child.command = childProgram();
        child.arguments = arguments;
        child.noWindow = child.stdoutToPipe = child.stderrToPipe = true;
        child.start();
    }
    Con::OverlappedPipe* out() { return dynamic_cast<Con::OverlappedPipe*>(child.stdoutPipe.get()); }
    Con::OverlappedPipe* err() { return dynamic_cast<Con::OverlappedPipe*>(child.stderrPipe.get()); }
};

}  // namespace

TEST(Processes, OutputOfBothPipesReachesTheHandlerWithTheLastLines) {
    TwoPipes pipes(L"--out a --err b --bytes \"c\\r\\nno line end\"");
    std::string out, err;
    LineCollector handler;
    readProcessOutput(out, err, pipes.out(), pipes.err(), nullptr, INFINITE, 1u << 20, &handler);
    EXPECT_EQ(out, "a\r\nc\r\nno line end");
    EXPECT_EQ(err, "b\r\n");
    std::sort(handler.lines.begin(), handler.lines.end());  // the two pipes' lines may interleave
    EXPECT_EQ(handler.lines, (std::vector<std::string>{"a\r", "b\r", "c\r", "no line end (last)"}));
}

TEST(Processes, OutputBeyondTheLimitIsReadAndDropped) {
    // The first chunk arrives while nothing is held and is kept whole; the later one is dropped.
    TwoPipes pipes(L"--bytes 0123456789abcdefghijklmno --sleep 300 --bytes later --err dropped-too");
    std::string out, err;
    readProcessOutput(out, err, pipes.out(), pipes.err(), nullptr, INFINITE, 10, nullptr);
    EXPECT_EQ(out, "0123456789abcdefghijklmno");
    EXPECT_EQ(err, "");
    EXPECT_EQ(VProcess::getExitCode(pipes.child.process.get()), 0u);  // it never blocked on a full pipe
}

TEST(Processes, OutputReadingEndsAtItsTimeOutOrTheCancelEvent) {
    TwoPipes slow(L"--sleep 5000 --out never");
    std::string out, err;
    readProcessOutput(out, err, slow.out(), slow.err(), nullptr, 100, 1u << 20, nullptr);
    EXPECT_TRUE(slow.out()->idle());  // the pending reads were cancelled
    EXPECT_TRUE(slow.err()->idle());

    tarvo::unique_handle cancel(::CreateEventW(nullptr, TRUE, TRUE, nullptr));  // set before: reset at the start
    std::thread canceller([&] {
        ::Sleep(100);
        ::SetEvent(cancel.get());
    });
    readProcessOutput(out, err, slow.out(), nullptr, cancel.get(), INFINITE, 1u << 20, nullptr);
    canceller.join();
    EXPECT_EQ(out, "");
    ::TerminateProcess(slow.child.process.get(), 1);
}
