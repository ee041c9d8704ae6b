#include "msi/vmsi.h"

#include <algorithm>

#include "engine/masking.h"
#include "runtime/errors/codepage.h"
#include "runtime/threads/cancelation.h"
#include "runtime/threads/wait.h"

#include <vector>

DWORD vmsi::conditionRetryPause = 1000;

namespace {

// Reads a string through one of the installer's (buffer, length) functions, growing the buffer on
// ERROR_MORE_DATA; any other non-zero result is returned to `fail`.
template <typename Call, typename Fail>
std::wstring readGrowing(DWORD firstSize, Call&& call, Fail&& fail) {
    std::wstring buffer(firstSize + 1, L'\0');
    DWORD length = firstSize + 1;
    UINT status = call(buffer.data(), &length);
    while (status == ERROR_MORE_DATA) {
        buffer.assign(static_cast<size_t>(length) + 2, L'\0');
        length += 2;
        status = call(buffer.data(), &length);
    }
    if (status != ERROR_SUCCESS) fail(status);
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    return buffer;
}

}  // namespace

// ---- vmsirecord ----

vmsirecord vmsirecord::create(unsigned fields) {
    const MSIHANDLE record = ::MsiCreateRecord(fields);
    if (record == 0)
        throwOsError(formatString(L"MsiCreateRecord(%u)", fields), ERROR_OUTOFMEMORY,
                     errorFrame(L"", "vmsirecord::create"));
    return vmsirecord(record);
}

std::wstring msiRecordString(MSIHANDLE record, unsigned field) {
    return readGrowing(
        260, [&](wchar_t* buffer, DWORD* length) { return ::MsiRecordGetStringW(record, field, buffer, length); },
        [&](UINT status) {
            throwOsError(formatString(L"vmsirecord.GetString[%d]", static_cast<int>(field)), status,
                         errorFrame(L"", "vmsirecord::GetString"));
        });
}

std::wstring vmsirecord::GetString(unsigned field) const { return msiRecordString(handle(), field); }

int vmsirecord::GetInteger(unsigned field) const {
    const int value = ::MsiRecordGetInteger(handle(), field);
    if (value == static_cast<int>(MSI_NULL_INTEGER))
        throw vexception(formatString(L"vmsirecord.GetInteger[%d]", static_cast<int>(field)),
                         errorFrame(L"", "vmsirecord::GetInteger"));
    return value;
}

void vmsirecord::SetString(unsigned field, const std::wstring& text) {
    if (const UINT status = ::MsiRecordSetStringW(handle(), field, text.c_str()))
        throwOsError(formatString(L"vmsirecord.SetString[%d]=%s", static_cast<int>(field), maskSecrets(text)), status,
                     errorFrame(L"", "vmsirecord::SetString"));
}

void vmsirecord::SetInteger(unsigned field, int value) {
    if (const UINT status = ::MsiRecordSetInteger(handle(), field, value))
        throwOsError(formatString(L"vmsirecord.SetInteger[%d]=%d", static_cast<int>(field), value), status,
                     errorFrame(L"", "vmsirecord::SetInteger"));
}

bool vmsirecordset::Next() {
    record_.reset();
    const UINT status = ::MsiViewFetch(view_.get(), record_.put());
    if (status == ERROR_SUCCESS) return true;
    if (status == ERROR_NO_MORE_ITEMS) return false;
    throwOsError(L"vmsirecordset.Next", status, errorFrame(L"", "vmsirecordset::Next"));
}

// ---- vmsi ----

vmsi::vmsi(MSIHANDLE install) : install_(install) {
    // A session that cannot receive library messages (no execute context yet) still serves the installer.
    try {
        LogManager::instance().addHandler(this);
        registered_ = true;
    } catch (...) {
    }
}

vmsi::~vmsi() {
    if (registered_) LogManager::instance().removeHandler(this);
}

std::wstring vmsi::GetProperty(const std::wstring& name) const {
    auto fail = [&](UINT status) {
        throwOsError(formatString(L"GetMsiProperty %s", name), status, errorFrame(L"", "vmsi::GetProperty"));
    };
    DWORD length = 0;
    wchar_t empty[1] = {L'\0'};
    UINT status = ::MsiGetPropertyW(install_, name.c_str(), empty, &length);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) fail(status);
    return readGrowing(
        length, [&](wchar_t* buffer, DWORD* size) { return ::MsiGetPropertyW(install_, name.c_str(), buffer, size); },
        fail);
}

void vmsi::SetProperty(const std::wstring& name, const std::wstring& value) {
    // The value may be an action script: only its masked form may reach a message.
    if (const UINT status = ::MsiSetPropertyW(install_, name.c_str(), value.c_str()))
        throwOsError(formatString(L"SetMsiProperty %s to %s", name, maskSecrets(value)), status,
                     errorFrame(L"", "vmsi::SetProperty"));
}

void vmsi::SetSecretProperty(const std::wstring& name, const std::wstring& value) {
    if (const UINT status = ::MsiSetPropertyW(install_, name.c_str(), value.c_str()))
        throwOsError(formatString(L"SetMsiProperty %s", name), status, errorFrame(L"", "vmsi::SetProperty"));
}

MSIHANDLE vmsi::query(const std::wstring& sql, MSIHANDLE parameters) {
    tarvo::unique_msihandle database(::MsiGetActiveDatabase(install_));
    if (!database)
        throwOsError(formatString(L"MsiGetActiveDatabase(%s)", sql), ERROR_INVALID_HANDLE,
                     errorFrame(L"", "vmsi::query"));
    tarvo::unique_msihandle view;
    if (const UINT status = ::MsiDatabaseOpenViewW(database.get(), sql.c_str(), view.put()))
        throwOsError(formatString(L"MsiDatabaseOpenView(%s)", sql), status, errorFrame(L"", "vmsi::query"));
    if (const UINT status = ::MsiViewExecute(view.get(), parameters))
        throwOsError(formatString(L"MsiViewExecute(%s)", sql), status, errorFrame(L"", "vmsi::query"));
    return view.release();
}

bool vmsi::evaluateCondition(const std::wstring& condition) {
    for (int attempts = 0;; ++attempts) {
        try {
            switch (::MsiEvaluateConditionW(install_, condition.c_str())) {
                case MSICONDITION_FALSE: return false;
                case MSICONDITION_TRUE: return true;
                case MSICONDITION_ERROR:
                    throw ConditionSyntaxError(ERROR_INVALID_DATA,
                                               formatString(L"MsiEvaluateCondition(%s): the condition has a syntax error",
                                                            condition),
                                               errorFrame(L"", "vmsi::evaluateCondition"));
                default:
                    // The installer answers with a condition state, not a system code: report an empty
                    // condition as a missing parameter.
                    throwOsError(formatString(L"MsiEvaluateCondition(%s)", condition), ERROR_INVALID_PARAMETER,
                                 errorFrame(L"", "vmsi::evaluateCondition"));
            }
        } catch (const ThreadCancelation::ThreadCanceled&) {
            throw;
        } catch (const ConditionSyntaxError&) {
            throw;
        } catch (...) {
            if (attempts > 20) throw;
        }
        tarvo::threads::Sleep(conditionRetryPause);
    }
}

namespace {
template <typename Fail>
std::wstring formatGrowing(MSIHANDLE install, MSIHANDLE record, Fail&& fail) {
    return readGrowing(
        1024, [&](wchar_t* buffer, DWORD* length) { return ::MsiFormatRecordW(install, record, buffer, length); },
        std::forward<Fail>(fail));
}
}  // namespace

std::wstring formatMsiRecord(MSIHANDLE install, MSIHANDLE record) {
    return formatGrowing(install, record, [&](UINT status) {
        throwOsError(L"MsiFormatRecord", status, errorFrame(L"", "formatMsiRecord"));
    });
}

std::wstring vmsi::formatRecord(const std::wstring& text) {
    vmsirecord record = vmsirecord::create(2);
    record.SetString(0, text);
    record.SetString(1, text);
    return formatGrowing(install_, record.handle(), [&](UINT status) {
        throwOsError(formatString(L"MsiFormatRecord(%s)", maskSecrets(text)), status,
                     errorFrame(L"", "vmsi::formatRecord"));
    });
}

void vmsi::DoAction(const std::wstring& action) {
    if (const UINT status = ::MsiDoActionW(install_, action.c_str()))
        throwOsError(L"DoAction(" + action + L")", status, errorFrame(L"", "vmsi::DoAction"));
}

int vmsi::sendMessage(INSTALLMESSAGE type, const vmsirecord& record) {
    return ::MsiProcessMessage(install_, type, record.handle());
}

bool vmsi::isDeferred() const {
    return ::MsiGetMode(install_, MSIRUNMODE_SCHEDULED) || ::MsiGetMode(install_, MSIRUNMODE_COMMIT) ||
           ::MsiGetMode(install_, MSIRUNMODE_ROLLBACK);
}

void vmsi::logMessage(const std::wstring& text) {
    // The installer formats the template: escaped brackets print as themselves, so "[OK]" survives and
    // "[SOMEPROP]" can never pull a property's value into the log. Braces are escaped too, since a braced
    // group may be dropped as a whole.
    const std::wstring masked = maskSecrets(text);
    std::wstring escaped;
    escaped.reserve(masked.size() + 8);
    for (wchar_t c : masked) {
        if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
            escaped += L"[\\";
            escaped += c;
            escaped += L']';
        } else {
            escaped += c;
        }
    }
    vmsirecord record = vmsirecord::create(1);
    record.SetString(0, escaped);
    sendMessage(msimessage::info, record);
}

int vmsi::boxMessage(INSTALLMESSAGE type, const std::wstring& text) {
    logMessage(text);
    vmsirecord record = vmsirecord::create(2);
    record.SetString(0, L"[1]");
    record.SetString(1, maskSecrets(text));
    return sendMessage(type, record);
}

void vmsi::warnInLog(const std::wstring& text) {
    vlog(LogLevel::Warning, L"%s", text);
    // With the Debug switch on, the library's Warning reaches the installer log by itself.
    if (!LogManager::isDebugEnabled()) log(L"Warning: %s", text);
}

int vmsi::errorMessage(const std::wstring& text) { return boxMessage(msimessage::error, text); }

int vmsi::warningMessage(const std::wstring& text) { return boxMessage(msimessage::warning, text); }

namespace {
vmsirecord progressRecord(int kind, int ticks, int third) {
    vmsirecord progress = vmsirecord::create(3);
    progress.SetInteger(1, kind);
    progress.SetInteger(2, ticks);
    progress.SetInteger(3, third);
    return progress;
}
}  // namespace

bool vmsi::actionProgress(const std::wstring& text, int ticks) {
    vmsirecord data = vmsirecord::create(2);
    data.SetString(1, maskSecrets(text));  // an action's text comes from its script and may hold a password
    if (sendMessage(msimessage::actionData, data) == IDCANCEL) return false;
    return sendMessage(msimessage::progress, progressRecord(2, ticks, 0)) != IDCANCEL;
}


void vmsi::reserveProgress(int ticks) {
    sendMessage(msimessage::progress, progressRecord(3, ticks, 0));  // 3: add to the expected total
}

bool vmsi::rowProgress(const std::wstring& text, int ticks) {
    currentRow_ = maskSecrets(text);
    // 1: from now on each action-data message moves the bar by `ticks`; the row's own message does, its
    // advance messages must not, so the increment is taken back at once.
    if (sendMessage(msimessage::progress, progressRecord(1, ticks, 1)) == IDCANCEL) return false;
    vmsirecord data = vmsirecord::create(2);
    data.SetString(1, currentRow_);
    const bool canceled = sendMessage(msimessage::actionData, data) == IDCANCEL;
    return sendMessage(msimessage::progress, progressRecord(1, 0, 0)) != IDCANCEL && !canceled;
}

bool vmsi::rowAdvance(const std::wstring& advance) {
    if (currentRow_.empty()) return true;
    vmsirecord data = vmsirecord::create(2);
    data.SetString(1, currentRow_);
    data.SetString(2, maskSecrets(advance));
    return sendMessage(msimessage::actionData, data) != IDCANCEL;
}

void vmsi::log(LogLevel level, const std::wstring& text) {
    if (static_cast<int>(level) < static_cast<int>(LogLevel::Error) && !LogManager::isDebugEnabled()) return;
    const int value = static_cast<int>(level);
    const wchar_t* name = value >= 0 && value < LogManager::levelCount ? logLevelName(level) : L"Unknown";
    logMessage(formatString(L"%s: %s", std::wstring(name), text));
}

void vmsi::output(const std::string& chunk, size_t& position, bool final) {
    std::vector<std::wstring> lines;
    for (size_t lf; (lf = chunk.find('\n', position)) != std::string::npos; position = lf + 1) {
        size_t end = lf;
        if (end > position && chunk[end - 1] == '\r') --end;
        // A line break as the chunk's first byte ends a line already written with the previous chunk.
        if (end != 0) lines.push_back(wstr(chunk.substr(position, end - position)));
    }
    if (final) {
        lines.push_back(wstr(chunk.substr(position)));
        position = chunk.size();
    }
    for (const std::wstring& line : lines) log(L"%s", line);
    const auto latest = std::find_if(lines.rbegin(), lines.rend(), [](const std::wstring& line) { return !line.empty(); });
    if (latest != lines.rend()) outputAdvance(*latest);
}

void vmsi::outputAdvance(const std::wstring& line) {
    const DWORD now = ::GetTickCount();
    if (line.empty() || (advanced_ && now - lastAdvance_ < 300)) return;
    rowAdvance(line);
    advanced_ = true;
    lastAdvance_ = now;
}
