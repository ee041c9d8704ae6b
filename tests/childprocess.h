#pragma once
// The tests' child program (tests/helpers/child.cpp, beside the test program) and a way to run a command line
// with its output collected.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/filesystem/fileops.h"
#include "runtime/process/vexecutil.h"
#include "tests/testutil.h"

inline std::wstring childProgram() { return programFolder() + L"\\tarvo_child.exe"; }

// Copies the child program to `path` (a stand-in interpreter when named perl.exe, python.exe or php.exe),
// making the folders on the way.
inline void copyChildProgram(const std::wstring& path) {
    VDirectory::createDirectory(path.substr(0, path.find_last_of(L'\\')));
    ASSERT_TRUE(::CopyFileW(childProgram().c_str(), path.c_str(), FALSE)) << ::GetLastError();
}

namespace childprocess_detail {
inline std::string run(vexecutil& child, DWORD* code) {
    child.noWindow = child.stdoutToPipe = child.stderrToStdout = true;
    child.start();
    std::string output, ignored;
    readProcessOutput(output, ignored, dynamic_cast<Con::OverlappedPipe*>(child.stdoutPipe.get()), nullptr, nullptr,
                      INFINITE, 1u << 24, nullptr);
    EXPECT_TRUE(child.waitForExit(INFINITE));
    if (code) *code = child.exitCode();
    return output;
}
}  // namespace childprocess_detail

// Runs `child` (its command and arguments set, or the child program with `arguments`) with standard error
// into standard output; returns what it printed, and its exit code in `code`.
inline std::string runChild(const std::wstring& arguments, DWORD* code = nullptr, vexecutil* setup = nullptr) {
    vexecutil local;
    vexecutil& child = setup ? *setup : local;
    child.command = childProgram();
    child.arguments = arguments;
    return childprocess_detail::run(child, code);
}
inline std::string runCommandLine(const std::wstring& commandLine, DWORD* code = nullptr) {
    vexecutil child;
    child.command = commandLine;
    return childprocess_detail::run(child, code);
}
