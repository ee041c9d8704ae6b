#pragma once
// The running installer session: properties, views and records, conditions, formatting, actions, and the
// installer's log, message boxes and progress bar. While a session exists it receives library log messages.
// Every log line and message it sends passes through the secret masking (engine/masking.h) first.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "runtime/holder.h"
#include "runtime/logging/logmanager.h"
#include "runtime/process/pipeoutput.h"

namespace tarvo {
namespace detail {
inline void closeMsiHandle(MSIHANDLE h) noexcept { ::MsiCloseHandle(h); }
}  // namespace detail
using unique_msihandle = unique_any<MSIHANDLE, detail::closeMsiHandle, detail::nullValue<MSIHANDLE>>;
}  // namespace tarvo

// Installer message types (INSTALLMESSAGE values with their message-box flags).
namespace msimessage {
constexpr INSTALLMESSAGE info = INSTALLMESSAGE_INFO;
constexpr INSTALLMESSAGE error = static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_ICONERROR | MB_OK);
constexpr INSTALLMESSAGE warning = static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_WARNING | MB_ICONWARNING | MB_OK);
constexpr INSTALLMESSAGE actionData = INSTALLMESSAGE_ACTIONDATA;
constexpr INSTALLMESSAGE progress = INSTALLMESSAGE_PROGRESS;
}  // namespace msimessage

// For records the caller does not own (such as those an external UI handler receives): the text of one
// field, and the whole record as the installer formats it in `install` (its template with the fields filled in).
std::wstring msiRecordString(MSIHANDLE record, unsigned field);
std::wstring formatMsiRecord(MSIHANDLE install, MSIHANDLE record);

class vmsirecord {
public:
    vmsirecord() = default;
    explicit vmsirecord(MSIHANDLE record) noexcept : record_(record) {}
    // A new record with `fields` fields.
    static vmsirecord create(unsigned fields);

    MSIHANDLE handle() const noexcept { return record_.get(); }
    MSIHANDLE* put() noexcept { return record_.put(); }
    void reset() noexcept { record_.reset(); }

    std::wstring GetString(unsigned field) const;
    int GetInteger(unsigned field) const;
    void SetString(unsigned field, const std::wstring& text);
    void SetInteger(unsigned field, int value);

private:
    tarvo::unique_msihandle record_;
};

class vmsirecordset {
public:
    explicit vmsirecordset(MSIHANDLE view) noexcept : view_(view) {}
    // Fetches the next row into current(); false when the view is exhausted (no record is then held).
    bool Next();
    const vmsirecord& current() const noexcept { return record_; }

private:
    tarvo::unique_msihandle view_;
    vmsirecord record_;
};

// A condition the installer cannot parse (MSICONDITION_ERROR): asking again cannot change the answer.
class ConditionSyntaxError : public vosexception {
public:
    using vosexception::vosexception;
};

class vmsi : public ILogHandler, public IPipeMessageHandler {
public:
    explicit vmsi(MSIHANDLE install);
    vmsi(const vmsi&) = delete;
    vmsi& operator=(const vmsi&) = delete;
    ~vmsi() override;

    using ILogHandler::log;
    // Library log messages: Info, Warning and Result only while debug logging is on.
    void log(LogLevel level, const std::wstring& text) override;
    virtual void logMessage(const std::wstring& text);
    virtual void DoAction(const std::wstring& action);
    void output(const std::string& chunk, size_t& position, bool final) override;

    template <typename... Args>
    void log(const wchar_t* format, const Args&... args) {
        logMessage(formatString(format, args...));
    }

    MSIHANDLE handle() const noexcept { return install_; }
    // True inside a deferred, commit or rollback custom action, where Windows allows only properties from
    // "CustomActionData", formatting, the mode, the language and messages (no DoAction, no SetMode).
    virtual bool isDeferred() const;

    std::wstring GetProperty(const std::wstring& name) const;
    void SetProperty(const std::wstring& name, const std::wstring& value);
    // For values that must never appear anywhere: a failure names the property only.
    void SetSecretProperty(const std::wstring& name, const std::wstring& value);
    // The view of an executed query; the caller owns it (normally through vmsirecordset).
    MSIHANDLE query(const std::wstring& sql, MSIHANDLE parameters = 0);
    // An empty condition (and any other failure) is asked again for about 21 seconds; a syntax error fails
    // at once with ConditionSyntaxError.
    bool evaluateCondition(const std::wstring& condition);
    std::wstring formatRecord(const std::wstring& text);

    // A warning for the library's log and, whatever the Debug switch, for the installer log.
    void warnInLog(const std::wstring& text);
    int errorMessage(const std::wstring& text);
    int warningMessage(const std::wstring& text);
    // Action data, then a progress increment of `ticks`; false when the user cancelled.
    bool actionProgress(const std::wstring& text, int ticks);
    // The progress bar and the dialog's action text for the rows of a stage. PrepareTarvoCustomActions
    // reserves the rows' ticks in the installation's total; a stage announces each row (its text as action
    // data, moving the bar by the row's ticks), and a long row its advance (action data with the row's text
    // and the advance, leaving the bar where it is). False when the user cancelled.
    void reserveProgress(int ticks);
    bool rowProgress(const std::wstring& text, int ticks);
    bool rowAdvance(const std::wstring& advance);
    // A long row's latest output line as its advance, a few times a second at most.
    void outputAdvance(const std::wstring& line);

    // Milliseconds between the condition retries; shortened only by tests.
    static DWORD conditionRetryPause;

private:
    int sendMessage(INSTALLMESSAGE type, const vmsirecord& record);
    // Logs the text, then shows it in a message box of `type`.
    int boxMessage(INSTALLMESSAGE type, const std::wstring& text);

    MSIHANDLE install_;
    std::wstring currentRow_;  // the text of the row a stage runs, for its advance messages
    bool advanced_ = false;    // with the latest output line, at lastAdvance_ (GetTickCount)
    DWORD lastAdvance_ = 0;
    bool registered_ = false;  // with the log manager, as a handler of library messages
};
