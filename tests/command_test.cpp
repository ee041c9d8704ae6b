// Command resolution: the program search, the choice of interpreter by content, "#!" line and extension,
// the interpreters' folders from the stand-in management service, and every error text.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "runtime/errors/codepage.h"
#include "runtime/process/command.h"
#include "tests/childprocess.h"
#include "tests/mgmtservice.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

std::optional<std::string> failureText(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

std::wstring q(const std::wstring& text) { return L"\"" + text + L"\""; }

// Scripts and programs in a folder of their own, and stand-in interpreters in folders the service reports.
class Resolution : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& [name, content] : std::initializer_list<std::pair<const wchar_t*, const char*>>{
                 {L"page.php", "#!/usr/bin/perl\n\n   <?php echo 1; ?>\n"},  // the content beats the "#!" line
                 {L"tag.php", "<SCRIPT language=\"php\">\n"},
                 {L"tag.txt", "<script language=\"php\">\n"},
                 {L"plain.pl", "print 1;\n"},
                 {L"plain.py", "print(1)\n"},
                 {L"perlish", "#!/usr/bin/perl -w\nprint 1;\n"},
                 {L"pythonish", "\r\n  \t\r\n  #!/usr/bin/env python3\r\nprint()\r\n"},
                 {L"phpish", "#!C:\\php\\php.exe\necho\n"},
                 {L"shell.sh", "#!/bin/sh\necho\n"},
                 {L"c.vbs", "WScript.Echo 1\n"},
                 {L"d.cmd", "@echo off\n"},
                 {L"e.bat", "@echo off\n"},
                 {L"noext", "hello\n"},
                 {L"data.xyz", "hello\n"},
             })
            writeBytes(scripts + L"\\" + name, content);
        copyChildProgram(scripts + L"\\tool.exe");
        ::CreateDirectoryW((scripts + L"\\runme").c_str(), nullptr);  // a folder named like the program
        copyChildProgram(scripts + L"\\runme.exe");
        ::CreateDirectoryW((scripts + L"\\folderonly").c_str(), nullptr);
        copyChildProgram(interpreters + L"\\perl\\bin\\perl.exe");
        copyChildProgram(interpreters + L"\\python\\python.exe");
        copyChildProgram(interpreters + L"\\php\\php.exe");
        copyChildProgram(interpreters + L"\\root\\admin\\engine\\php.exe");
    }

    std::wstring resolve(const std::wstring& program, const std::wstring& arguments = L"a1",
                         const std::wstring& environment = L"", bool rawOnly = false, bool productPhp = false) {
        return resolveCommand(program, arguments, environment, rawOnly, productPhp);
    }
    std::string failure(const std::wstring& program, bool productPhp = false) {
        return failureText([&] { resolve(program, L"a1", L"", false, productPhp); }).value_or("(resolved)");
    }
    std::wstring script(const wchar_t* name) const { return scripts + L"\\" + name; }

    const std::wstring scripts = tempDirectory();
    const std::wstring interpreters = tempDirectory();
    MgmtService service{{L"--set", L"component.perl=" + interpreters + L"\\perl", L"--set",
                         L"component.python=" + interpreters + L"\\python\\", L"--set",
                         L"component.php=" + interpreters + L"\\php", L"--set", L"PRODUCT_ROOT_D=" + interpreters + L"\\root"}};
    ScopedConfigValue pipe{L"hvcpipe", service.name()};
};

}  // namespace

TEST_F(Resolution, EachKindOfFileGetsItsCommand) {
    const std::wstring perl = q(interpreters + L"\\perl\\bin\\perl.exe");
    const std::wstring python = q(interpreters + L"\\python\\python.exe");
    const std::wstring php = q(interpreters + L"\\php\\php.exe");
    const std::wstring productPhp = q(interpreters + L"\\root\\admin\\engine\\php.exe") + L" -q ";
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    struct Case {
        const wchar_t* program;
        std::wstring command;
    };
    const Case cases[] = {
        {L"tool.exe", q(script(L"tool.exe")) + L" a1"},
        {L"tool", q(script(L"tool.exe")) + L" a1"},    // named like it, with any extension
        {L"runme", q(script(L"runme.exe")) + L" a1"},  // the folder "runme" is no program
        {L"page.php", php + L" " + q(script(L"page.php")) + L" a1"},
        {L"tag.php", php + L" " + q(script(L"tag.php")) + L" a1"},
        {L"plain.pl", perl + L" " + q(script(L"plain.pl")) + L" a1"},
        {L"plain.py", python + L" " + q(script(L"plain.py")) + L" a1"},
        {L"perlish", perl + L" " + q(script(L"perlish")) + L" a1"},
        {L"pythonish", python + L" " + q(script(L"pythonish")) + L" a1"},
        {L"phpish", php + L" " + q(script(L"phpish")) + L" a1"},
        {L"c.vbs", q(std::wstring(system) + L"\\cscript.exe") + L" /nologo " + q(script(L"c.vbs")) + L" a1"},
        {L"e.bat", q(script(L"e.bat")) + L" a1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(resolve(script(c.program)), c.command) << cstr(c.program);
    // Batch files lose every backslash-quote pair; an empty argument string leaves the blank.
    EXPECT_EQ(resolve(script(L"d.cmd"), L"x \\\"y\\\""), q(script(L"d.cmd")) + L" x y");
    EXPECT_EQ(resolve(script(L"tool.exe"), L""), q(script(L"tool.exe")) + L" ");
    // The product's own PHP, and anything as it is with rawOnly.
    EXPECT_EQ(resolve(script(L"page.php"), L"a1", L"", false, true), productPhp + q(script(L"page.php")) + L" a1");
    EXPECT_EQ(resolve(script(L"plain.pl"), L"a1", L"", true), q(script(L"plain.pl")) + L" a1");
    EXPECT_EQ(resolve(script(L"folderonly"), L"a1", L"", true), q(script(L"folderonly")) + L" a1");
}

TEST_F(Resolution, ProgramsAreFoundInTheSystemFolderAndOnThePath) {
    const std::wstring cmd = resolve(L"cmd", L"/c exit 3");
    EXPECT_TRUE(cmd.ends_with(L"\\cmd.exe\" /c exit 3")) << cstr(cmd);
    DWORD code = 0;
    runCommandLine(cmd, &code);
    EXPECT_EQ(code, 3u);

    const std::wstring onPath = L"Path=C:\\nowhere;" + scripts + L";";
    EXPECT_EQ(resolve(L"tool", L"a1", std::wstring(L"OTHER=1\0", 8) + onPath + std::wstring(L"\0\0", 2)),
              q(script(L"tool.exe")) + L" a1");
    EXPECT_EQ(failureText([&] { resolve(L"tool"); }),
              "'tool' is not recognized as an internal or external command, operable program or batch file.");
}

TEST_F(Resolution, TheStandInInterpretersGetTheScriptAndItsArguments) {
    for (const auto& [name, interpreter] : {std::pair{L"plain.pl", "perl.exe"}, std::pair{L"pythonish", "python.exe"},
                                            std::pair{L"page.php", "php.exe"}}) {
        const std::wstring command = resolve(script(name), L"--first \"two words\"");
        EXPECT_EQ(runCommandLine(command), std::string(interpreter) + " got: " + cstr(command, CP_UTF8) + "\r\n");
    }
}

TEST_F(Resolution, EveryFailureHasItsText) {
    const auto unknown = [&](const wchar_t* name) {
        return "Unable to start (" + cstr(script(name)) + "): Is not a known application";
    };
    EXPECT_EQ(failure(script(L"tag.txt")), unknown(L"tag.txt"));  // a script tag is PHP only in a .php file
    EXPECT_EQ(failure(script(L"noext")), unknown(L"noext"));
    EXPECT_EQ(failure(script(L"data.xyz")), unknown(L"data.xyz"));
    EXPECT_EQ(failure(script(L"shell.sh")), unknown(L"shell.sh") + " (SH)");
    EXPECT_EQ(failure(script(L"absent.exe")), "'" + cstr(script(L"absent.exe")) +
                                                  "' is not recognized as an internal or external command, "
                                                  "operable program or batch file.");

    // A service that knows no interpreter.
    MgmtService bare;
    ScopedConfigValue barePipe(L"hvcpipe", bare.name());
    EXPECT_EQ(failure(script(L"plain.pl")), "Unable to start (" + cstr(script(L"plain.pl")) + "): Perl is not installed");
    EXPECT_EQ(failure(script(L"plain.py")), "Unable to start (" + cstr(script(L"plain.py")) + "): Python is not installed");
    EXPECT_EQ(failure(script(L"page.php")), "Unable to start (" + cstr(script(L"page.php")) + "): PHP is not installed");
}
