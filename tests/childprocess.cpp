#include "tests/childprocess.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include "tests/testutil.h"

namespace {

std::string run(vexecutil& child, DWORD* code) {
    child.noWindow = true;
    child.stdoutToPipe = true;
    child.stderrToStdout = true;
    child.start();
    std::string output, ignored;
    readProcessOutput(output, ignored, dynamic_cast<Con::OverlappedPipe*>(child.stdoutPipe.get()), nullptr, nullptr,
                      INFINITE, 1u << 24, nullptr);
    EXPECT_TRUE(child.waitForExit(INFINITE));
    if (code) *code = child.exitCode();
    return output;
}

}  // namespace

std::wstring childProgram() { return programFolder() + L"\\tarvo_child.exe"; }

void copyChildProgram(const std::wstring& path) {
    ::SHCreateDirectoryExW(nullptr, path.substr(0, path.find_last_of(L'\\')).c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW(childProgram().c_str(), path.c_str(), FALSE)) << ::GetLastError();
}

std::string runChild(const std::wstring& arguments, DWORD* code, vexecutil* setup) {
    vexecutil local;
    vexecutil& child = setup ? *setup : local;
    child.command = childProgram();
    child.arguments = arguments;
    return run(child, code);
}

std::string runCommandLine(const std::wstring& commandLine, DWORD* code) {
    vexecutil child;
    child.command = commandLine;
    return run(child, code);
}
