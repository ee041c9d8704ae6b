#pragma once
// The stage scripts of a package as an installation would make them, without installing anything.
#include <string>
#include <utility>
#include <vector>

struct DryRunOptions {
    std::vector<std::pair<std::wstring, std::wstring>> properties;  // set before anything runs
    std::wstring stage;                                             // only this stage; empty for all four
    bool execute = false;                                           // run that stage for real
};

// Prints each script, masked as the installer log shows it, under "== " and its property's name; with
// `execute` runs the stage and prints its messages. Returns the tool's exit code (0 or 1); throws
// UnreadablePackage when the file cannot be opened as a package.
int dryRun(const std::wstring& path, const DryRunOptions& options);
