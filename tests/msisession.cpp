#include "tests/msisession.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>

#include <mutex>

#include "msi/vmsi.h"
#include "runtime/logging/logmanager.h"
#include "tests/testutil.h"

namespace {

std::mutex messagesLock;
std::vector<InstallerMessage> captured;
int answer = IDOK;
MSIHANDLE formattingSession = 0;  // the open package, so that templates format as the installer's log does

// The installer's two-call string convention: learn the size, then fetch.
template <typename Fetch>
std::wstring sizedString(Fetch fetch) {
    DWORD size = 0;
    wchar_t empty[1] = {};
    if (fetch(empty, &size) != ERROR_MORE_DATA) return {};
    std::wstring text(size + 1, L'\0');
    size += 1;
    fetch(text.data(), &size);
    text.resize(size);
    return text;
}

std::wstring recordString(MSIHANDLE record, unsigned field) {
    return sizedString([&](wchar_t* buffer, DWORD* size) { return ::MsiRecordGetStringW(record, field, buffer, size); });
}

std::wstring formatted(MSIHANDLE record) {
    return sizedString(
        [&](wchar_t* buffer, DWORD* size) { return ::MsiFormatRecordW(formattingSession, record, buffer, size); });
}

int WINAPI uiHandler(void*, UINT type, MSIHANDLE record) {
    const unsigned kind = type & 0xFF000000u;
    if (kind != kInfo && kind != kError && kind != kWarning && kind != kActionData && kind != kProgress)
        return 0;
    InstallerMessage message{type, {}};
    const std::wstring field0 = record ? recordString(record, 0) : L"";
    // A template: what the installer prints for it.
    message.text = field0 == L"[1]" || field0.empty() ? recordString(record, 1) : formatted(record);
    if (kind == kInfo && message.text.rfind(L"=== ", 0) == 0) return 0;
    if (kind == kProgress) message.text = recordString(record, 1) + L"," + recordString(record, 2);
    if (kind == kActionData && !recordString(record, 2).empty()) message.text += L" | " + recordString(record, 2);
    std::lock_guard lock(messagesLock);
    captured.push_back(std::move(message));
    return answer;
}

std::wstring newGuid() {
    GUID guid{};
    ::CoCreateGuid(&guid);
    wchar_t text[39] = {};
    ::StringFromGUID2(guid, text, 39);
    return text;
}

void check(UINT status, const char* what) {
    if (status != ERROR_SUCCESS) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(status));
}

void runSql(MSIHANDLE database, const std::wstring& sql) {
    MSIHANDLE opened = 0;
    check(::MsiDatabaseOpenViewW(database, sql.c_str(), &opened), "MsiDatabaseOpenView");
    const tarvo::unique_msihandle view(opened);
    const UINT status = ::MsiViewExecute(view.get(), 0);
    ::MsiViewClose(view.get());
    check(status, "MsiViewExecute");
}

}  // namespace

std::wstring tempDirectory() {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    std::wstring path = std::wstring(base) + L"tarvo-test-" + newGuid().substr(1, 8);
    ::CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

std::string readBytes(const std::wstring& path) {
    const tarvo::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    if (!file) return "<missing>";
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
    return content;
}

std::wstring readTextFile(const std::wstring& path) {
    const std::string bytes = readBytes(path);
    return {bytes.begin(), bytes.end()};
}

void writeBytes(const std::wstring& path, const std::string& bytes) {
    const tarvo::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::vector<std::wstring> actionTable(const std::vector<ActionRow>& rows, const std::vector<std::wstring>& more) {
    const auto quoted = [](const std::wstring& text) {
        std::wstring out = L"'";
        for (wchar_t c : text) out += c == L'\'' ? std::wstring(L"''") : std::wstring(1, c);
        return out + L"'";
    };
    std::vector<std::wstring> sql = {
        L"CREATE TABLE `TarvoCustomActions` (`Id` CHAR(72) NOT NULL, `Condition` CHAR(255), `ActionType` CHAR(64) NOT "
        L"NULL, `Parameters` LONGCHAR, `ProgressText` CHAR(255), `Order` LONG, `Critical` SHORT, `Stage` CHAR(16) NOT "
        L"NULL PRIMARY KEY `Id`)"};
    for (const ActionRow& r : rows)
        sql.push_back(L"INSERT INTO `TarvoCustomActions` (`Id`, `Condition`, `ActionType`, `Parameters`, `ProgressText`, "
                      L"`Order`, `Stage`" + std::wstring(r.critical.empty() ? L"" : L", `Critical`") + L") VALUES (" +
                      quoted(r.id) + L", " + quoted(r.condition) + L", " + quoted(r.type) + L", " + quoted(r.parameters) +
                      L", " + quoted(r.text) + L", " + std::to_wstring(r.order) + L", " + quoted(r.stage) +
                      (r.critical.empty() ? L"" : L", " + r.critical) + L")");
    sql.insert(sql.end(), more.begin(), more.end());
    return sql;
}

HMODULE MsiSession::productDll() {
    static HMODULE dll = [] {
        HMODULE module = ::LoadLibraryW((programFolder() + L"\\TarvoCA.dll").c_str());
        if (module == nullptr) throw std::runtime_error("TarvoCA.dll could not be loaded");
        return module;
    }();
    return dll;
}

TestPackage::TestPackage(const std::vector<std::wstring>& setupSql) : path_(tempDirectory() + L"\\test.msi") {
    MSIHANDLE database = 0;
    check(::MsiOpenDatabaseW(path_.c_str(), reinterpret_cast<LPCWSTR>(MSIDBOPEN_CREATE), &database), "MsiOpenDatabase");
    runSql(database,
           L"CREATE TABLE `Property` (`Property` CHAR(72) NOT NULL, `Value` LONGCHAR NOT NULL PRIMARY KEY `Property`)");
    for (const wchar_t* row : {L"('ProductCode', '{6F0C1A53-3A8E-4C38-9F1E-7B1D2A9C0001}')", L"('ProductLanguage', '1033')",
                               L"('ProductName', 'Tarvo test')", L"('ProductVersion', '1.0.0')",
                               L"('Manufacturer', 'Tarvo')"})
        runSql(database, std::wstring(L"INSERT INTO `Property` (`Property`, `Value`) VALUES ") + row);
    for (const std::wstring& sql : setupSql) runSql(database, sql);

    MSIHANDLE summary = 0;
    check(::MsiGetSummaryInformationW(database, nullptr, 10, &summary), "MsiGetSummaryInformation");
    ::MsiSummaryInfoSetPropertyW(summary, 7, VT_LPSTR, 0, nullptr, L"x64;1033");
    ::MsiSummaryInfoSetPropertyW(summary, 9, VT_LPSTR, 0, nullptr, newGuid().c_str());
    ::MsiSummaryInfoSetPropertyW(summary, 14, VT_I4, 200, nullptr, nullptr);
    ::MsiSummaryInfoSetPropertyW(summary, 15, VT_I4, 2, nullptr, nullptr);
    check(::MsiSummaryInfoPersist(summary), "MsiSummaryInfoPersist");
    ::MsiCloseHandle(summary);
    check(::MsiDatabaseCommit(database), "MsiDatabaseCommit");
    ::MsiCloseHandle(database);
}

TestPackage::~TestPackage() {
    ::DeleteFileW(path_.c_str());
    ::RemoveDirectoryW(path_.substr(0, path_.find_last_of(L'\\')).c_str());
}

MsiSession::MsiSession(const std::vector<std::wstring>& setupSql) : package_(setupSql) {
    ::MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    ::MsiSetExternalUIRecord(uiHandler, 0xFFFFFFFF, nullptr, nullptr);
    check(::MsiOpenPackageW(package_.path().c_str(), &install_), "MsiOpenPackage");
    formattingSession = install_;
    clearMessages();
    answer = IDOK;
}

MsiSession::~MsiSession() {
    formattingSession = 0;
    ::MsiCloseHandle(install_);
    ::MsiSetExternalUIRecord(nullptr, 0, nullptr, nullptr);
}

UINT MsiSession::call(const char* exportName) {
    using CustomAction = UINT(WINAPI*)(MSIHANDLE);
    auto action = reinterpret_cast<CustomAction>(reinterpret_cast<void*>(::GetProcAddress(productDll(), exportName)));
    if (action == nullptr) throw std::runtime_error(std::string("no export ") + exportName);
    return action(install_);
}

void MsiSession::setProperty(const std::wstring& name, const std::wstring& value) {
    check(::MsiSetPropertyW(install_, name.c_str(), value.c_str()), "MsiSetProperty");
}

std::wstring MsiSession::property(const std::wstring& name) const {
    return sizedString([&](wchar_t* buffer, DWORD* size) { return ::MsiGetPropertyW(install_, name.c_str(), buffer, size); });
}

std::vector<InstallerMessage> MsiSession::messages() const {
    std::lock_guard lock(messagesLock);
    return captured;
}

std::vector<std::wstring> MsiSession::texts(unsigned kind) const {
    std::vector<std::wstring> result;
    for (const InstallerMessage& m : messages())
        if (m.kind() == kind) result.push_back(m.text);
    return result;
}

std::wstring MsiSession::log() const {
    std::wstring joined;
    for (const std::wstring& line : texts(kInfo)) joined += line + L"\n";
    return joined;
}

void MsiSession::clearMessages() {
    std::lock_guard lock(messagesLock);
    captured.clear();
}

void MsiSession::setAnswer(int value) { answer = value; }

namespace {
constexpr const wchar_t* configKey = L"SOFTWARE\\Tarvo\\HVC Config\\Config";

HKEY openConfig() {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, configKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                      nullptr, &key, nullptr);
    return key;
}

// Writes one value of the configuration key, or removes it when it is not `present`.
void writeConfig(const std::wstring& name, bool present, DWORD type, const void* data, size_t size) {
    HKEY key = openConfig();
    if (present)
        ::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    else
        ::RegDeleteValueW(key, name.c_str());
    ::RegCloseKey(key);
}
}  // namespace

ScopedConfigValue::ScopedConfigValue(std::wstring name, std::optional<DWORD> value) : name_(std::move(name)) {
    save();
    set(name_, value);
    LogManager::rereadSettings();  // the log takes its settings only every 16th message
}

ScopedConfigValue::ScopedConfigValue(std::wstring name, const std::wstring& value) : name_(std::move(name)) {
    save();
    writeConfig(name_, true, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
    LogManager::rereadSettings();
}

void ScopedConfigValue::save() {
    HKEY key = openConfig();
    DWORD size = 0;
    hadValue_ = ::RegQueryValueExW(key, name_.c_str(), nullptr, &type_, nullptr, &size) == ERROR_SUCCESS;
    previous_.resize(size);
    if (hadValue_) ::RegQueryValueExW(key, name_.c_str(), nullptr, &type_, previous_.data(), &size);
    ::RegCloseKey(key);
}

ScopedConfigValue::~ScopedConfigValue() {
    writeConfig(name_, hadValue_, type_, previous_.data(), previous_.size());
    LogManager::rereadSettings();
}

void ScopedConfigValue::set(const std::wstring& name, std::optional<DWORD> value) {
    writeConfig(name, value.has_value(), REG_DWORD, value ? &*value : nullptr, sizeof(DWORD));
}

ScopedDebugLogging::ScopedDebugLogging(bool on) {
    value_.emplace(L"Debug", std::optional<DWORD>(on ? 1u : 0u));
    see(on);
}

ScopedDebugLogging::~ScopedDebugLogging() {
    value_.reset();
    DWORD restored = 0, size = sizeof restored;
    const bool present = ::RegGetValueW(HKEY_LOCAL_MACHINE, configKey, L"Debug", RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY,
                                        nullptr, &restored, &size) == ERROR_SUCCESS;
    if (present) {
        see(restored != 0);
        return;
    }
    // An absent value leaves the cached switch as it was: show this process "off" before the value goes
    // again, as a freshly loaded module would read it.
    ScopedConfigValue::set(L"Debug", 0u);
    see(false);
    ScopedConfigValue::set(L"Debug", std::nullopt);
}

void ScopedDebugLogging::see(bool on) {
    for (int i = 0; i < 32 && LogManager::isDebugEnabled() != on; ++i) {
    }
}
