#pragma once
// A real installer session for tests: a new database opened as a package, every message captured by an
// external UI handler, and the product DLL loaded to call its exports with the install handle.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

struct InstallerMessage {
    unsigned type;       // message type with its flags, as sent
    std::wstring text;   // field 1 under the "[1]" template, otherwise the template as formatted
    unsigned kind() const { return type & 0xFF000000u; }
};

// One row of the package's TarvoCustomActions table. `critical` is an SQL literal (a number or Null), or empty
// to leave the column out (null as well).
struct ActionRow {
    std::wstring id, condition, type, parameters, text;
    int order;
    std::wstring critical;
    std::wstring stage;
};
// The SQL that makes the TarvoCustomActions table with these rows, followed by `more`.
std::vector<std::wstring> actionTable(const std::vector<ActionRow>& rows, const std::vector<std::wstring>& more = {});

// A new installer package file: the standard properties, summary information and `setupSql`; removed with
// the object.
class TestPackage {
public:
    explicit TestPackage(const std::vector<std::wstring>& setupSql = {});
    TestPackage(const TestPackage&) = delete;
    TestPackage& operator=(const TestPackage&) = delete;
    ~TestPackage();
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

class MsiSession {
public:
    // `setupSql` runs against the new database before it is opened as a package.
    explicit MsiSession(const std::vector<std::wstring>& setupSql = {});
    MsiSession(const MsiSession&) = delete;
    MsiSession& operator=(const MsiSession&) = delete;
    ~MsiSession();

    MSIHANDLE handle() const { return install_; }
    // Calls an export of the product DLL with this session's install handle.
    UINT call(const char* exportName);

    void setProperty(const std::wstring& name, const std::wstring& value);
    std::wstring property(const std::wstring& name) const;

    // What the session sent since it was opened (or cleared), without the installer's own chatter.
    std::vector<InstallerMessage> messages() const;
    std::vector<std::wstring> texts(unsigned kind) const;
    std::wstring log() const;  // every info line, joined by "\n"
    void clearMessages();
    // The answer the handler gives to every message (IDOK unless a test says otherwise).
    void setAnswer(int answer);

    static HMODULE productDll();

private:
    TestPackage package_;
    MSIHANDLE install_ = 0;
};

std::wstring tempDirectory();  // a fresh directory under %TEMP%
std::wstring readTextFile(const std::wstring& path);
std::string readBytes(const std::wstring& path);
void writeBytes(const std::wstring& path, const std::string& bytes);

constexpr unsigned kInfo = 0x04000000u;
constexpr unsigned kError = 0x01000000u;
constexpr unsigned kWarning = 0x02000000u;
constexpr unsigned kActionData = 0x09000000u;
constexpr unsigned kProgress = 0x0A000000u;
