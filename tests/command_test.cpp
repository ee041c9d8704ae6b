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

// The command for `program`, or "! " and the text of the failure.
std::wstring resolved(const std::wstring& program, const std::wstring& arguments = L"a1",
                      const std::wstring& environment = L"", bool rawOnly = false, bool productPhp = false) {
    std::wstring command;
    const std::wstring failure =
        runtimeFailure([&] { command = resolveCommand(program, arguments, environment, rawOnly, productPhp); });
    return failure.empty() ? command : L"! " + failure;
}

const std::wstring notRecognized =
    L"' is not recognized as an internal or external command, operable program or batch file.";

}  // namespace

// Scripts and programs in a folder of their own, and stand-in interpreters in folders the service reports.
TEST(Resolution, EachKindOfFileGetsItsCommandOrItsFailureAndProgramsAreFoundOnThePath) {
    const std::wstring scripts = tempDirectory(), interpreters = tempDirectory();
    MgmtService service{{L"--set", L"component.perl=" + interpreters + L"\\perl", L"--set",
                         L"component.python=" + interpreters + L"\\python\\", L"--set",
                         L"component.php=" + interpreters + L"\\php", L"--set",
                         L"PRODUCT_ROOT_D=" + interpreters + L"\\root"}};
    ScopedConfigValue pipe{L"hvcpipe", service.name()};
    const auto script = [&](const std::wstring& name) { return scripts + L"\\" + name; };
    for (const wchar_t* program : {L"tool.exe", L"runme.exe"}) copyChildProgram(script(program));
    for (const wchar_t* folder : {L"runme", L"folderonly"}) ::CreateDirectoryW(script(folder).c_str(), nullptr);
    for (const wchar_t* interpreter : {L"perl\\bin\\perl.exe", L"python\\python.exe", L"php\\php.exe",
                                       L"root\\admin\\engine\\php.exe"})
        copyChildProgram(interpreters + L"\\" + interpreter);
    const auto unknown = [&](const wchar_t* name, const std::wstring& why = L"Is not a known application") {
        return L"! Unable to start (" + script(name) + L"): " + why;
    };
    const std::wstring perl = q(interpreters + L"\\perl\\bin\\perl.exe") + L" ";
    const std::wstring python = q(interpreters + L"\\python\\python.exe") + L" ";
    const std::wstring php = q(interpreters + L"\\php\\php.exe") + L" ";
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    const struct {
        const wchar_t* name;
        const char* content;  // null: a program or folder made above, or nothing at all
        std::wstring command;
    } cases[] = {
        {L"tool.exe", nullptr, q(script(L"tool.exe")) + L" a1"},
        {L"tool", nullptr, q(script(L"tool.exe")) + L" a1"},    // named like it, with any extension
        {L"runme", nullptr, q(script(L"runme.exe")) + L" a1"},  // the folder "runme" is no program
        // The content beats the "#!" line.
        {L"page.php", "#!/usr/bin/perl\n\n   <?php echo 1; ?>\n", php + q(script(L"page.php")) + L" a1"},
        {L"tag.php", "<SCRIPT language=\"php\">\n", php + q(script(L"tag.php")) + L" a1"},
        {L"plain.pl", "print 1;\n", perl + q(script(L"plain.pl")) + L" a1"},
        {L"plain.py", "print(1)\n", python + q(script(L"plain.py")) + L" a1"},
        {L"perlish", "#!/usr/bin/perl -w\nprint 1;\n", perl + q(script(L"perlish")) + L" a1"},
        {L"pythonish", "\r\n  \t\r\n  #!/usr/bin/env python3\r\nprint()\r\n",
         python + q(script(L"pythonish")) + L" a1"},
        {L"phpish", "#!C:\\php\\php.exe\necho\n", php + q(script(L"phpish")) + L" a1"},
        {L"c.vbs", "WScript.Echo 1\n",
         q(std::wstring(system) + L"\\cscript.exe") + L" /nologo " + q(script(L"c.vbs")) + L" a1"},
        {L"e.bat", "@echo off\n", q(script(L"e.bat")) + L" a1"},
        {L"d.cmd", "@echo off\n", q(script(L"d.cmd")) + L" a1"},
        {L"tag.txt", "<script language=\"php\">\n", unknown(L"tag.txt")},  // a script tag is PHP only in a .php file
        {L"noext", "hello\n", unknown(L"noext")},
        {L"data.xyz", "hello\n", unknown(L"data.xyz")},
        {L"shell.sh", "#!/bin/sh\necho\n", unknown(L"shell.sh") + L" (SH)"},
        {L"absent.exe", nullptr, L"! '" + script(L"absent.exe") + notRecognized},
    };
    for (const auto& c : cases)
        if (c.content) writeBytes(script(c.name), c.content);
    for (const auto& c : cases) EXPECT_EQ(resolved(script(c.name)), c.command);
    // Batch files lose every backslash-quote pair; an empty argument string leaves the blank.
    EXPECT_EQ(resolved(script(L"d.cmd"), L"x \\\"y\\\""), q(script(L"d.cmd")) + L" x y");
    EXPECT_EQ(resolved(script(L"tool.exe"), L""), q(script(L"tool.exe")) + L" ");
    // The product's own PHP, and anything as it is with rawOnly.
    EXPECT_EQ(resolved(script(L"page.php"), L"a1", L"", false, true),
              q(interpreters + L"\\root\\admin\\engine\\php.exe") + L" -q " + q(script(L"page.php")) + L" a1");
    EXPECT_EQ(resolved(script(L"absent.php"), L"a1", L"", false, true), L"! '" + script(L"absent.php") + notRecognized);
    EXPECT_EQ(resolved(script(L"plain.pl"), L"a1", L"", true), q(script(L"plain.pl")) + L" a1");
    EXPECT_EQ(resolved(script(L"folderonly"), L"a1", L"", true), q(script(L"folderonly")) + L" a1");

    // Programs in the system folder or on the path.
    const std::wstring cmd = resolved(L"cmd", L"/c exit 3");
    EXPECT_TRUE(cmd.ends_with(L"\\cmd.exe\" /c exit 3")) << cstr(cmd);
    DWORD code = 0;
    runCommandLine(cmd, &code);
    EXPECT_EQ(code, 3u);
    const std::wstring onPath = L"Path=C:\\nowhere;" + scripts + L";";
    EXPECT_EQ(resolved(L"tool", L"a1", std::wstring(L"OTHER=1\0", 8) + onPath + std::wstring(L"\0\0", 2)),
              q(script(L"tool.exe")) + L" a1");
    EXPECT_EQ(resolved(L"tool"), L"! 'tool" + notRecognized);

    // A service that knows no interpreter: the shared client finds it once the first one has gone.
    service.stop();
    MgmtService bare;
    ScopedConfigValue barePipe(L"hvcpipe", bare.name());
    for (const auto& [name, what] : {std::pair{L"plain.pl", L"Perl"}, {L"plain.py", L"Python"}, {L"page.php", L"PHP"}})
        EXPECT_EQ(resolved(script(name)), unknown(name, what + std::wstring(L" is not installed")));
}
