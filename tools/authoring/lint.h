#pragma once
// Checks of a package's TarvoCustomActions table and of the wiring of the library's custom actions, with the
// library's own factory, script writer and masking.
#include <string>
#include <vector>

class Package;

struct Finding {
    std::wstring table;
    std::wstring key;
    bool error = true;  // otherwise a warning
    std::wstring code;
    std::wstring message;
};

// Every problem that can be proved on the package, in table order, then the sequence, then the properties.
// Throws UnreadablePackage when the package has no TarvoCustomActions table.
std::vector<Finding> lintPackage(const Package& package);

// "FILE:TABLE:KEY: error|warning: MESSAGE [code]", one per line.
std::wstring findingsAsText(const std::wstring& file, const std::vector<Finding>& findings);
// One JSON array of objects with file, table, key, severity, code and message.
std::wstring findingsAsJson(const std::wstring& file, const std::vector<Finding>& findings);
