#include "tools/authoring/package.h"

#include <msidefs.h>

#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"

Package::Package(const std::wstring& path, bool machineState) {
    // The file system's reason first: the installer answers a missing file and a foreign one alike.
    if (const tarvo::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
        !file)
        throw UnreadablePackage(formatString(L"cannot read %s: %s", path, osErrorText(::GetLastError(), nullptr)));
    if (const UINT status = ::MsiOpenDatabaseW(path.c_str(), reinterpret_cast<LPCWSTR>(MSIDBOPEN_READONLY),
                                               database_.put()))
        throw UnreadablePackage(formatString(L"cannot read %s as an installer database: %s", path,
                                             osErrorText(status, nullptr)));
    // The session is built on the read-only database handle ("#handle"), so the file is never written.
    const std::wstring reference = L"#" + std::to_wstring(database_.get());
    if (const UINT status = ::MsiOpenPackageExW(
            reference.c_str(), machineState ? 0 : MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE, install_.put()))
        throw UnreadablePackage(
            formatString(L"cannot open %s as an installer package: %s", path, osErrorText(status, nullptr)));
}

bool Package::hasTable(const wchar_t* table) const {
    return ::MsiDatabaseIsTablePersistentW(database_.get(), table) == MSICONDITION_TRUE;
}

std::vector<std::wstring> Package::primaryKeys(const wchar_t* table) const {
    vmsirecord keys;
    if (const UINT status = ::MsiDatabaseGetPrimaryKeysW(database_.get(), table, keys.put()))
        throwOsError(formatString(L"MsiDatabaseGetPrimaryKeys(%s)", std::wstring(table)), status,
                     errorFrame(L"", "Package::primaryKeys"));
    std::vector<std::wstring> names;
    for (unsigned i = 1, count = ::MsiRecordGetFieldCount(keys.handle()); i <= count; ++i)
        names.push_back(keys.GetString(i));
    return names;
}

bool CustomActionRow::callsExport(const std::wstring& exportName) const {
    const int kind = type & 0x3F;  // what runs and where it comes from
    return (kind == (msidbCustomActionTypeDll | msidbCustomActionTypeBinaryData) ||
            kind == (msidbCustomActionTypeDll | msidbCustomActionTypeSourceFile)) &&
           target == exportName;
}

std::map<std::wstring, CustomActionRow> readCustomActions(vmsi& session, const Package& package) {
    std::map<std::wstring, CustomActionRow> actions;
    if (!package.hasTable(L"CustomAction")) return actions;
    vmsirecordset rows(session.query(L"SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`"));
    while (rows.Next()) {
        const vmsirecord& row = rows.current();
        actions[row.GetString(1)] = CustomActionRow{row.GetInteger(2), row.GetString(3), row.GetString(4)};
    }
    return actions;
}

std::vector<SequenceEntry> readExecuteSequence(vmsi& session, const Package& package) {
    std::vector<SequenceEntry> entries;
    if (!package.hasTable(L"InstallExecuteSequence")) return entries;
    vmsirecordset rows(session.query(
        L"SELECT `Action`, `Condition`, `Sequence` FROM `InstallExecuteSequence` ORDER BY `Sequence`"));
    while (rows.Next()) {
        const vmsirecord& row = rows.current();
        if (::MsiRecordIsNull(row.handle(), 3)) continue;  // not scheduled
        const int sequence = row.GetInteger(3);
        if (sequence > 0) entries.push_back(SequenceEntry{row.GetString(1), row.GetString(2), sequence});
    }
    return entries;
}

namespace {
void write(DWORD which, const std::wstring& text) {
    const HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(handle, &mode)) {
        ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = cstr(text, CP_UTF8);
    ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
}  // namespace

void writeOut(const std::wstring& text) { write(STD_OUTPUT_HANDLE, text); }
void writeErr(const std::wstring& text) { write(STD_ERROR_HANDLE, text); }
