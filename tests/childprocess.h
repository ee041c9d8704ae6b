#pragma once
// The tests' child program (tests/helpers/child.cpp, beside the test program) and a way to run a command line
// with its output collected.
#include <windows.h>

#include <string>

#include "runtime/process/vexecutil.h"

std::wstring childProgram();
// Copies the child program to `path` (a stand-in interpreter when named perl.exe, python.exe or php.exe),
// making the folders on the way.
void copyChildProgram(const std::wstring& path);

// Runs `child` (its command and arguments set, or the child program with `arguments`) with standard error
// into standard output; returns what it printed, and its exit code in `code`.
std::string runChild(const std::wstring& arguments, DWORD* code = nullptr, vexecutil* setup = nullptr);
std::string runCommandLine(const std::wstring& commandLine, DWORD* code = nullptr);
