// Process execution with real child processes: quoting (edge cases and a seeded round trip through the
// system's parser), environment blocks, redirections, the working directory, tokens and the desktop grant,
// and the reading of two output pipes.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "runtime/errors/codepage.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/process/command.h"
#include "runtime/process/vexecutil.h"
#include "tests/childprocess.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// An environment block of these entries.
std::wstring environmentOf(std::initializer_list<std::wstring> entries) {
    std::wstring result;
    for (const std::wstring& entry : entries) result += entry + L'\0';
    return result + L'\0';
}

// The test program as a child without a window, set up by `setup` before it starts.
struct StartedChild {
    vexecutil child;
    using Setup = std::function<void(vexecutil&)>;
    explicit StartedChild(const std::wstring& arguments,
                          const Setup& setup = [](vexecutil& c) { c.stdoutToPipe = c.stderrToPipe = true; }) {
        child.command = childProgram();
        child.arguments = arguments;
        child.noWindow = true;
        setup(child);
        child.start();
    }
    Con::OverlappedPipe* out() { return dynamic_cast<Con::OverlappedPipe*>(child.stdoutPipe.get()); }
    Con::OverlappedPipe* err() { return dynamic_cast<Con::OverlappedPipe*>(child.stderrPipe.get()); }
};

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

}  // namespace

// Quoted only where the system's parser or cmd.exe needs it, and then as little as it needs.
TEST(Processes, QuotingEdgeCasesTakeTheirShortestSafeForm) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
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
    for (const auto& [argument, quoted] : cases) EXPECT_EQ(quoteArgument(argument), quoted) << cstr(argument);
}

// Random arguments through quoteArgument and back through CommandLineToArgvW, the parser the child uses too.
// TARVO_QUOTING_SEED and TARVO_QUOTING_COUNT repeat or lengthen a run.
TEST(Processes, QuotingRandomArgumentsComeBackUnchanged) {
    const auto setting = [](const char* name, unsigned fallback) {
        const char* value = std::getenv(name);
        return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 0)) : fallback;
    };
    const unsigned seed = setting("TARVO_QUOTING_SEED", std::random_device{}());
    const unsigned count = setting("TARVO_QUOTING_COUNT", 10000);
    std::mt19937 random(seed);
    const std::wstring pool = L"ab Z09 \t\"\\\\\\&<>()[]{}^=;!'+,`~|%*?./:-_\x00e9\x00fc\x4e2d\x0416\x3000\xd83d\xde00";
    for (unsigned round = 0; round < count; ++round) {
        std::vector<std::wstring> arguments(1 + random() % 3);
        std::wstring line = L"prog";
        for (std::wstring& argument : arguments) {
            for (size_t length = random() % 12; argument.size() < length;) argument += pool[random() % pool.size()];
            line += L" " + quoteArgument(argument);
        }
        int parsedCount = 0;
        LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &parsedCount);
        const std::vector<std::wstring> parsed(argv + 1, argv + parsedCount);
        ::LocalFree(argv);
        ASSERT_EQ(parsed, arguments) << "seed " << seed << ", round " << round << ": " << cstr(line, CP_UTF8);
    }
}

TEST(Processes, EnvironmentBlocksHoldUpperCasedNamesInOrder) {
    ProcessEnvironment environment;
    EXPECT_EQ(environment.block(), std::wstring(1, L'\0'));
    environment.set(L"path", L"C:\\a");
    environment.set(L"PATHEXT", L".EXE");
    environment.set(L"Path", L"C:\\b");  // the same variable
    environment.set(L"\x00e9t\x00e9", L"x");
    EXPECT_EQ(environment.block(), environmentOf({L"PATH=C:\\b", L"PATHEXT=.EXE", L"\x00c9T\x00c9=x"}));
    EXPECT_EQ(command_detail::pathFolders(environment.block()), (std::vector<std::wstring>{L"C:\\b"}));
    // The PATH entry by its whole name; hidden drive entries and PATHEXT are no PATH.
    EXPECT_EQ(command_detail::pathFolders(environmentOf({L"=C:=C:\\x", L"PATHEXT=.EXE", L"Path=  C:\\one;;D:\\two;"})),
              (std::vector<std::wstring>{L"C:\\one", L"D:\\two"}));
    EXPECT_TRUE(command_detail::pathFolders(L"").empty());
}

// One child shows its command line (the program quoted), working directory, environment (nothing but the block
// it was given), input from a file, its standard error joined to its output into a file, and its exit code; ours
// stays as it was.
TEST(Processes, TheChildGetsExactlyItsCommandLineEnvironmentWorkingDirectoryAndInputAndGivesItsExitCode) {
    const std::wstring folder = tempDirectory();
    const std::wstring before = VDirectory::current();
    writeBytes(folder + L"\\in.txt", "from a file\r\n");
    const std::wstring arguments = L"--echo --cwd --env PATHEXT --err joined --env PATH --stdin --exit 0x80000003";
    StartedChild started(arguments, [&](vexecutil& c) {
        c.workingDirectory = folder;
        c.environment = environmentOf({L"PATHEXT=.EXE", L"SYSTEMROOT=C:\\windows"});
        c.stderrToStdout = true;
        c.stdinFile = folder + L"\\in.txt";
        c.stdoutFile = folder + L"\\out.txt";
    });
    EXPECT_TRUE(started.child.waitForExit(INFINITE));
    EXPECT_EQ(started.child.exitCode(), 0x80000003u);
    EXPECT_EQ(readBytes(folder + L"\\out.txt"),
              "cmdline: " + cstr(L"\"" + childProgram() + L"\" " + arguments, CP_UTF8) + "\r\ncwd: " +
                  cstr(folder, CP_UTF8) + "\r\nPATHEXT=.EXE\r\njoined\r\nPATH unset\r\nfrom a file\r\n");
    EXPECT_EQ(VDirectory::current(), before);
}

TEST(Processes, InputFromOurPipeEndReachesTheChildUntilWeCloseIt) {
    StartedChild fed(L"--stdin", [](vexecutil& c) { c.stdinFromPipe = c.stdoutToPipe = true; });
    fed.child.stdinPipe->write("fed\r\n", 5, true);
    fed.child.stdinPipe.reset();  // end of its input
    std::string out, err;
    readProcessOutput(out, err, fed.out(), nullptr, nullptr, INFINITE, 1u << 20, nullptr);
    EXPECT_EQ(out, "fed\r\n");
}

// Left to end by itself: a child terminated under Wine can leave its console host holding the test's output
// open, and ctest waiting for it.
TEST(Processes, WaitsHonourTheirLimitAndFailuresNameTheCommand) {
    vexecutil alone;
    alone.command = L"\"" + childProgram() + L"\" --sleep 500 --exit 7";
    alone.start();  // no redirection: a console of its own, hidden
    EXPECT_FALSE(alone.waitForExit(50));
    EXPECT_EQ(alone.exitCode(), DWORD{STILL_ACTIVE});
    EXPECT_TRUE(alone.waitForExit(INFINITE));
    EXPECT_EQ(alone.exitCode(), 7u);
    EXPECT_EQ(VProcess::getExitCode(alone.process.get()), 7u);

    vexecutil absent;
    absent.command = L"tarvo-no-such-program.exe -password=Secret1";
    absent.stdoutToPipe = true;  // Wine leaves the console of a child it could not create behind
    const Failure failure = failureOf([&] { absent.start(); });
    EXPECT_TRUE(contains(failure.message, L"CreateProcess 'tarvo-no-such-program.exe -password=Secret1'"));
    EXPECT_TRUE(contains(failure.message, L"(vexecutil::start line ")) << cstr(failure.message);
    EXPECT_EQ(failure.code, DWORD{ERROR_FILE_NOT_FOUND});
    vexecutil noInput;
    noInput.command = childProgram();
    noInput.stdinFile = tempDirectory() + L"\\absent.txt";
    EXPECT_TRUE(contains(thrownVexception([&] { noInput.start(); }).message(), L"absent.txt"));
}

// A thread impersonating a token as privileged as the process starts the child with CreateProcess; without
// the administrators it is CreateProcessAsUser with its token, after the desktop grant for the token's group.
TEST(Processes, AnImpersonatingThreadWithoutAdministratorsStartsTheChildWithItsTokenAfterTheDesktopGrant) {
    tarvo::unique_handle process, restricted, impersonation;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()));
    const VSID admins = VSID::admins();
    EXPECT_EQ(process_detail::desktopGroup(process.get()), admins);  // the tests run as administrator
    SID_AND_ATTRIBUTES denyOnly{admins.get(), 0};
    ASSERT_TRUE(::CreateRestrictedToken(process.get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.put()));
    ASSERT_TRUE(::DuplicateTokenEx(restricted.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenImpersonation,
                                   impersonation.put()));
    // The administrators entry that only denies grants nothing: the token counts as a non-administrator.
    EXPECT_FALSE(security::tokenMemberOf(restricted.get(), admins));
    const VSID group = process_detail::desktopGroup(restricted.get());
    EXPECT_NE(group, admins);

    for (const bool withoutAdministrators : {false, true}) {
        ASSERT_TRUE(withoutAdministrators ? ::SetThreadToken(nullptr, impersonation.get())
                                          : ::ImpersonateSelf(SecurityImpersonation));
        CapturedLog log;
        DWORD code = 0;
        const std::string output = [&] {
            const std::unique_ptr<void, decltype([](void*) { ::RevertToSelf(); })> revert(&code);
            return runChild(L"--out impersonated --exit 4", &code);
        }();
        EXPECT_EQ(output, "impersonated\r\n");
        EXPECT_EQ(code, 4u);
        // Wine's window station and desktop have a null DACL: the access is always there already.
        const std::wstring grant = L" already has required access for user " + group.toString();
        const std::vector<std::wstring> grants = {L"Info: Winstation" + grant, L"Info: Desktop" + grant};
        EXPECT_EQ(log.lines(), withoutAdministrators ? grants : std::vector<std::wstring>{});
    }
}

TEST(Processes, TheDesktopGrantAddsOneEntryOnlyWhereItIsMissing) {
    using security::AclEntry;
    const VSID users = VSID::users(), admins = VSID::admins(), everyone = VSID::everyone();
    const auto granting = [&](const std::vector<AclEntry>& entries, const VSID& sid) {
        return process_detail::entriesGranting(security::buildAcl(entries), sid, 0xF037F);
    };
    const AclEntry allowAdmins{ACCESS_ALLOWED_ACE_TYPE, 0, 0xF037F, admins, {}};
    const auto added = granting({AclEntry{ACCESS_DENIED_ACE_TYPE, 0, 0x1, everyone, {}}, allowAdmins}, users);
    ASSERT_TRUE(added);
    ASSERT_EQ(added->size(), 3u);
    EXPECT_EQ((*added)[0].sid, everyone);  // the denial stays first
    EXPECT_EQ((*added)[1].sid, users);
    EXPECT_EQ((*added)[1].type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ((*added)[1].mask, 0xF037Fu);
    EXPECT_EQ((*added)[2].sid, admins);

    EXPECT_FALSE(granting({allowAdmins}, admins));                                   // granted already
    EXPECT_FALSE(process_detail::entriesGranting({}, users, 0xF037F));               // a null DACL
    // Less access, or access only for the children, is not the access asked for.
    EXPECT_TRUE(granting({AclEntry{ACCESS_ALLOWED_ACE_TYPE, 0, 0x1, users, {}}}, users));
    EXPECT_TRUE(granting({AclEntry{ACCESS_ALLOWED_ACE_TYPE, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE, 0xF037F, users, {}}},
                         users));
}

TEST(Processes, OutputOfBothPipesReachesTheHandlerWithTheLastLines) {
    StartedChild pipes(L"--out a --err b --bytes \"c\\r\\nno line end\"");
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
    StartedChild pipes(L"--bytes 0123456789abcdefghijklmno --sleep 300 --bytes later --err dropped-too");
    std::string out, err;
    readProcessOutput(out, err, pipes.out(), pipes.err(), nullptr, INFINITE, 10, nullptr);
    EXPECT_EQ(out, "0123456789abcdefghijklmno");
    EXPECT_EQ(err, "");
    EXPECT_EQ(VProcess::getExitCode(pipes.child.process.get()), 0u);  // it never blocked on a full pipe
}

// Only its standard handles go down: an inheritable pipe end of ours does not, so that pipe breaks as soon as we
// close our end, while the child still runs.
TEST(Processes, OnlyTheStandardHandlesAreInheritedAndOutputReadingEndsAtItsTimeOutOrTheCancelEvent) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    tarvo::unique_handle reader(readEnd), writer(writeEnd);
    StartedChild slow(L"--sleep 5000 --out never");
    writer.reset();
    EXPECT_FALSE(::PeekNamedPipe(reader.get(), nullptr, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(::GetLastError(), DWORD{ERROR_BROKEN_PIPE});

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
