// The installer session over a real package of Wine's msi.dll.
#include <gtest/gtest.h>

#include "msi/vmsi.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

template <typename Body>
vosexception osFailure(Body&& body) {
    try {
        body();
    } catch (const vosexception& e) {
        return e;
    }
    ADD_FAILURE() << "no vosexception";
    return vosexception(0, L"", ErrorFrame{});
}

}  // namespace

TEST(Session, PropertiesRoundTripAndUndefinedIsEmpty) {
    MsiSession package;
    vmsi session(package.handle());
    EXPECT_EQ(session.GetProperty(L"NO_SUCH_PROPERTY"), L"");
    const std::wstring longValue(5000, L'v');
    session.SetProperty(L"LONG_ONE", longValue);
    EXPECT_EQ(session.GetProperty(L"LONG_ONE"), longValue);
    EXPECT_EQ(package.property(L"LONG_ONE"), longValue);
}

TEST(Session, SetPropertyFailureNeverCarriesASecret) {
    vmsi session(0);  // no installer behind it: every call fails
    const vosexception plain = osFailure([&] { session.SetProperty(L"P", L"tool -password=Sup3rSecret more"); });
    EXPECT_EQ(plain.code(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(contains(plain.message(), L"SetMsiProperty P to tool -password=* more")) << plain.message();
    EXPECT_FALSE(contains(plain.toString(), L"Sup3rSecret"));
    EXPECT_EQ(plain.frames().at(0).function, "vmsi::SetProperty");
    const vosexception secret = osFailure([&] { session.SetSecretProperty(L"P", L"Sup3rSecret"); });
    EXPECT_TRUE(contains(secret.message(), L"SetMsiProperty P")) << secret.message();
    EXPECT_FALSE(contains(secret.toString(), L"Sup3rSecret"));
}

TEST(Session, FormatRecordResolvesReferencesBeyondTheFirstBuffer) {
    MsiSession package;
    vmsi session(package.handle());
    session.SetProperty(L"INSTALLDIR", L"C:\\Program Files\\Tarvo\\");
    EXPECT_EQ(session.formatRecord(L"[INSTALLDIR]bin"), L"C:\\Program Files\\Tarvo\\bin");
    session.SetProperty(L"BIG", std::wstring(1500, L'x'));
    EXPECT_EQ(session.formatRecord(L"<[BIG]>"), L"<" + std::wstring(1500, L'x') + L">");
}

TEST(Session, ConditionsEvaluateAndBadOnesFailAfterTheRetries) {
    MsiSession package;
    vmsi session(package.handle());
    session.SetProperty(L"A", L"1");
    EXPECT_TRUE(session.evaluateCondition(L"A = 1"));
    EXPECT_FALSE(session.evaluateCondition(L"A = 2"));
    EXPECT_FALSE(session.evaluateCondition(L"UNDEFINED_ONE"));

    const DWORD savedPause = vmsi::conditionRetryPause;
    vmsi::conditionRetryPause = 5;
    const ULONGLONG started = ::GetTickCount64();
    const vosexception bad = osFailure([&] { session.evaluateCondition(L"A = = ("); });
    const ULONGLONG elapsed = ::GetTickCount64() - started;
    vmsi::conditionRetryPause = savedPause;
    EXPECT_TRUE(contains(bad.message(), L"MsiEvaluateCondition(A = = ()")) << bad.message();
    EXPECT_EQ(bad.frames().at(0).function, "vmsi::evaluateCondition");
    EXPECT_GE(elapsed, 21u * 5u - 10u);  // 22 tries, 21 pauses between them
    EXPECT_THROW(session.evaluateCondition(L""), vosexception);
}

TEST(Session, QueriesIterateRowsAndExhaustedViewsHoldNoRecord) {
    MsiSession package({L"CREATE TABLE `Rows` (`Key` CHAR(16) NOT NULL, `Number` SHORT PRIMARY KEY `Key`)",
                        L"INSERT INTO `Rows` (`Key`, `Number`) VALUES ('a', 1)",
                        L"INSERT INTO `Rows` (`Key`) VALUES ('b')"});
    vmsi session(package.handle());
    vmsirecordset rows(session.query(L"SELECT `Key`, `Number` FROM `Rows` ORDER BY `Key`"));
    ASSERT_TRUE(rows.Next());
    EXPECT_EQ(rows.current().GetString(1), L"a");
    EXPECT_EQ(rows.current().GetInteger(2), 1);
    ASSERT_TRUE(rows.Next());
    EXPECT_THROW(rows.current().GetInteger(2), vexception);  // a null integer is a failure
    EXPECT_FALSE(rows.Next());
    EXPECT_EQ(rows.current().handle(), 0u);

    try {
        session.query(L"SELECT * FROM `Missing`");
        ADD_FAILURE() << "query of a missing table succeeded";
    } catch (const vosexception& e) {
        EXPECT_TRUE(contains(e.message(), L"MsiDatabaseOpenView(SELECT * FROM `Missing`)")) << e.message();
    }
}

TEST(Session, MessagesCarryTheirTypesAndTexts) {
    MsiSession package;
    vmsi session(package.handle());
    package.setProperty(L"SOMEPROP", L"s3cret");
    session.logMessage(L"plain [NOT_A_REFERENCE] line [OK] [SOMEPROP] [[1]] [\\[] {x}");
    session.errorMessage(L"broken");
    session.warningMessage(L"careful");
    EXPECT_TRUE(session.actionProgress(L"Rollback action:x", 1));
    const std::vector<InstallerMessage> messages = package.messages();
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(messages[0].type, kInfo);
    EXPECT_EQ(messages[0].text, L"plain [NOT_A_REFERENCE] line [OK] [SOMEPROP] [[1]] [\\[] {x}");
    EXPECT_EQ(messages[1].text, L"broken");
    EXPECT_EQ(messages[2].type, 0x01000010u);
    EXPECT_EQ(messages[2].text, L"broken");
    EXPECT_EQ(messages[4].type, 0x02000030u);
    EXPECT_EQ(messages[4].text, L"careful");
    EXPECT_EQ(messages[5].type, kActionData);
    EXPECT_EQ(messages[5].text, L"Rollback action:x");
    EXPECT_EQ(messages[6].type, kProgress);
    EXPECT_EQ(messages[6].text, L"2,1");

    package.clearMessages();
    package.setAnswer(IDCANCEL);
    EXPECT_FALSE(session.actionProgress(L"cancelled", 1));
    EXPECT_EQ(package.texts(kProgress).size(), 0u);
}

TEST(Session, LibraryMessagesBelowErrorNeedDebugLogging) {
    MsiSession package;
    vmsi session(package.handle());
    if (LogManager::isDebugEnabled()) GTEST_SKIP() << "debug logging is switched on in this prefix";
    vlog(LogLevel::Warning, L"%s", std::wstring(L"quiet warning"));
    vlog(LogLevel::Error, L"%s", std::wstring(L"loud error"));
    session.log(static_cast<LogLevel>(9), L"odd level");
    const std::wstring log = package.log();
    EXPECT_FALSE(contains(log, L"quiet warning"));
    EXPECT_TRUE(contains(log, L"Error: loud error")) << log;
    EXPECT_TRUE(contains(log, L"Unknown: odd level")) << log;
}

TEST(Session, PipeOutputWritesCompleteLines) {
    MsiSession package;
    vmsi session(package.handle());
    size_t position = 0;
    const std::string first = "one\r\ntwo\npart";
    session.output(first, position, false);
    EXPECT_EQ(position, 9u);
    EXPECT_EQ(package.texts(kInfo), (std::vector<std::wstring>{L"one", L"two"}));
    package.clearMessages();
    position = 0;
    session.output("\r\nnext\n\nlast", position, true);  // a leading break ends the previous chunk's line
    EXPECT_EQ(package.texts(kInfo), (std::vector<std::wstring>{L"next", L"", L"last"}));
}
