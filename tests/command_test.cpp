// Command resolution: the program search, the choice of interpreter by content, "#!" line and extension,
// the interpreters' folders from the stand-in management service, and every error text.
#include <gtest/gtest.h>

#include "runtime/errors/codepage.h"
#include "runtime/process/command.h"
#include "tests/childprocess.h"
#include "tests/mgmtservice.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

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

    // The command for `program`, or "! " and the text of the failure.
    std::wstring resolve(const std::wstring& program, const std::wstring& arguments = L"a1",
                         const std::wstring& environment = L"", bool rawOnly = false, bool productPhp = false) {
        std::wstring command;
        const std::wstring failure =
            runtimeFailure([&] { command = resolveCommand(program, arguments, environment, rawOnly, productPhp); });
        return failure.empty() ? command : L"! " + failure;
    }
    std::wstring script(const wchar_t* name) const { return scripts + L"\\" + name; }
    std::wstring unknown(const wchar_t* name, const std::wstring& why = L"Is not a known application") const {
        return L"! Unable to start (" + script(name) + L"): " + why;
    }

    const std::wstring scripts = tempDirectory();
    const std::wstring interpreters = tempDirectory();
    MgmtService service{{L"--set", L"component.perl=" + interpreters + L"\\perl", L"--set",
                         L"component.python=" + interpreters + L"\\python\\", L"--set",
                         L"component.php=" + interpreters + L"\\php", L"--set", L"PRODUCT_ROOT_D=" + interpreters + L"\\root"}};
    ScopedConfigValue pipe{L"hvcpipe", service.name()};
};

const std::wstring notRecognized =
    L"' is not recognized as an internal or external command, operable program or batch file.";

}  // namespace

TEST_F(Resolution, EachKindOfFileGetsItsCommandOrItsFailure) {
    const std::wstring perl = q(interpreters + L"\\perl\\bin\\perl.exe") + L" ";
    const std::wstring python = q(interpreters + L"\\python\\python.exe") + L" ";
    const std::wstring php = q(interpreters + L"\\php\\php.exe") + L" ";
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"tool.exe", q(script(L"tool.exe")) + L" a1"},
        {L"tool", q(script(L"tool.exe")) + L" a1"},    // named like it, with any extension
        {L"runme", q(script(L"runme.exe")) + L" a1"},  // the folder "runme" is no program
        {L"page.php", php + q(script(L"page.php")) + L" a1"},
        {L"tag.php", php + q(script(L"tag.php")) + L" a1"},
        {L"plain.pl", perl + q(script(L"plain.pl")) + L" a1"},
        {L"plain.py", python + q(script(L"plain.py")) + L" a1"},
        {L"perlish", perl + q(script(L"perlish")) + L" a1"},
        {L"pythonish", python + q(script(L"pythonish")) + L" a1"},
        {L"phpish", php + q(script(L"phpish")) + L" a1"},
        {L"c.vbs", q(std::wstring(system) + L"\\cscript.exe") + L" /nologo " + q(script(L"c.vbs")) + L" a1"},
        {L"e.bat", q(script(L"e.bat")) + L" a1"},
        {L"tag.txt", unknown(L"tag.txt")},  // a script tag is PHP only in a .php file
        {L"noext", unknown(L"noext")},
        {L"data.xyz", unknown(L"data.xyz")},
        {L"shell.sh", unknown(L"shell.sh") + L" (SH)"},
        {L"absent.exe", L"! '" + script(L"absent.exe") + notRecognized},
    };
    for (const auto& [program, command] : cases) EXPECT_EQ(resolve(script(program)), command);
    // Batch files lose every backslash-quote pair; an empty argument string leaves the blank.
    EXPECT_EQ(resolve(script(L"d.cmd"), L"x \\\"y\\\""), q(script(L"d.cmd")) + L" x y");
    EXPECT_EQ(resolve(script(L"tool.exe"), L""), q(script(L"tool.exe")) + L" ");
    // The product's own PHP, and anything as it is with rawOnly.
    EXPECT_EQ(resolve(script(L"page.php"), L"a1", L"", false, true),
              q(interpreters + L"\\root\\admin\\engine\\php.exe") + L" -q " + q(script(L"page.php")) + L" a1");
    EXPECT_EQ(resolve(script(L"absent.php"), L"a1", L"", false, true), L"! '" + script(L"absent.php") + notRecognized);
    EXPECT_EQ(resolve(script(L"plain.pl"), L"a1", L"", true), q(script(L"plain.pl")) + L" a1");
    EXPECT_EQ(resolve(script(L"folderonly"), L"a1", L"", true), q(script(L"folderonly")) + L" a1");
}

TEST_F(Resolution, ProgramsAreFoundInTheSystemFolderOrOnThePathAndScriptsOnlyWithTheirInterpreter) {
    const std::wstring cmd = resolve(L"cmd", L"/c exit 3");
    EXPECT_TRUE(cmd.ends_with(L"\\cmd.exe\" /c exit 3")) << cstr(cmd);
    DWORD code = 0;
    runCommandLine(cmd, &code);
    EXPECT_EQ(code, 3u);

    const std::wstring onPath = L"Path=C:\\nowhere;" + scripts + L";";
    EXPECT_EQ(resolve(L"tool", L"a1", std::wstring(L"OTHER=1\0", 8) + onPath + std::wstring(L"\0\0", 2)),
              q(script(L"tool.exe")) + L" a1");
    EXPECT_EQ(resolve(L"tool"), L"! 'tool" + notRecognized);

    // A service that knows no interpreter. (Nothing above asked the test's service: the shared client goes to
    // the one configured now.)
    MgmtService bare;
    ScopedConfigValue barePipe(L"hvcpipe", bare.name());
    for (const auto& [name, what] : {std::pair{L"plain.pl", L"Perl"}, {L"plain.py", L"Python"}, {L"page.php", L"PHP"}})
        EXPECT_EQ(resolve(script(name)), unknown(name, what + std::wstring(L" is not installed")));
}
