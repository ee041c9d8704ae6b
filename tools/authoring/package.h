#pragma once
// What both commands of the authoring tool stand on: a package opened as the installer opens it (read-only,
// nothing installed), its custom actions and execution sequence, and the console.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <map>
#include <string>
#include <vector>

#include "msi/vmsi.h"
#include "runtime/errors/vexception.h"

// The file cannot be read as an installer package: the tool ends with exit code 2.
class UnreadablePackage : public vexception {
public:
    using vexception::vexception;
};

class Package {
public:
    // Opens `path` read-only. Without `machineState` the session ignores what the machine has installed.
    Package(const std::wstring& path, bool machineState);
    MSIHANDLE install() const noexcept { return install_.get(); }
    bool hasTable(const wchar_t* table) const;
    std::vector<std::wstring> primaryKeys(const wchar_t* table) const;

private:
    tarvo::unique_msihandle database_;
    tarvo::unique_msihandle install_;
};

struct CustomActionRow {
    int type = 0;
    std::wstring source;
    std::wstring target;
    // A DLL custom action that calls `exportName` (from the Binary table or an installed file).
    bool callsExport(const std::wstring& exportName) const;
};

struct SequenceEntry {
    std::wstring action;
    std::wstring condition;
    int sequence = 0;
};

// The CustomAction table by action name (empty without the table).
std::map<std::wstring, CustomActionRow> readCustomActions(vmsi& session, const Package& package);
// The scheduled entries of InstallExecuteSequence (a positive Sequence), in sequence order.
std::vector<SequenceEntry> readExecuteSequence(vmsi& session, const Package& package);

// Console output: UTF-16 to a console window, UTF-8 to a file or a pipe.
void writeOut(const std::wstring& text);
void writeErr(const std::wstring& text);
