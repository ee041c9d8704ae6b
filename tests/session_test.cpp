// The installer session over a real package of Wine's msi.dll, and the frame of the exported custom actions.
#include <comdef.h>
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <utility>

#include "engine/frame.h"
#include "msi/vmsi.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

// One session for the calls that need a live one: properties, formatted records and conditions. A syntax
// error cannot heal: it fails at once, where an empty condition is asked again (generation_test).
TEST(Session, PropertiesRecordsOfAnyLengthAndConditionsWithASyntaxErrorFailingWithoutRetries) {
    MsiSession package;
    vmsi session(package.handle());
    EXPECT_EQ(session.GetProperty(L"NO_SUCH_PROPERTY"), L"");
    const std::wstring longValue(5000, L'v');
    session.SetProperty(L"LONG_ONE", longValue);
    EXPECT_EQ(session.GetProperty(L"LONG_ONE"), longValue);
    EXPECT_EQ(package.property(L"LONG_ONE"), longValue);
    session.SetProperty(L"INSTALLDIR", L"C:\\Program Files\\Tarvo\\");
    EXPECT_EQ(session.formatRecord(L"[INSTALLDIR]bin"), L"C:\\Program Files\\Tarvo\\bin");
    session.SetProperty(L"BIG", std::wstring(1500, L'x'));
    EXPECT_EQ(session.formatRecord(L"<[BIG]>"), L"<" + std::wstring(1500, L'x') + L">");
    session.SetProperty(L"A", L"1");
    EXPECT_TRUE(session.evaluateCondition(L"A = 1"));
    EXPECT_FALSE(session.evaluateCondition(L"A = 2"));
    EXPECT_FALSE(session.evaluateCondition(L"UNDEFINED_ONE"));
    const DWORD savedPause = std::exchange(vmsi::conditionRetryPause, 5);
    const ULONGLONG started = ::GetTickCount64();
    const Failure bad = failureOf([&] { session.evaluateCondition(L"A = = ("); });
    EXPECT_LT(::GetTickCount64() - started, 21u * 5u - 10u);
    vmsi::conditionRetryPause = savedPause;
    EXPECT_TRUE(contains(bad.message, L"MsiEvaluateCondition(A = = (): the condition has a syntax error"))
        << bad.message;
}

// Without an installer behind the session every call fails with the installer's status, its text and its
// frame; a property's value never carries a secret into the failure.
TEST(Session, FailedCallsCarryTheStatusTheirTextAndFrameButNoSecret) {
    vmsi session(0);
    const struct {
        std::function<void()> call;
        std::wstring text;
        const wchar_t* function;
    } failures[] = {
        {[&] { session.GetProperty(L"INSTALLDIR"); }, L" at GetMsiProperty INSTALLDIR", L"vmsi::GetProperty"},
        {[&] { session.DoAction(L"ScheduleReboot"); }, L" at DoAction(ScheduleReboot)", L"vmsi::DoAction"},
        {[&] { session.SetProperty(L"P", L"tool -password=Sup3rSecret more"); }, L"SetMsiProperty P to tool -password=* more",
         L"vmsi::SetProperty"},
        {[&] { session.SetSecretProperty(L"P", L"Sup3rSecret"); }, L"SetMsiProperty P", L"vmsi::SetProperty"},
    };
    for (const auto& f : failures) {
        const Failure e = failureOf(f.call);
        EXPECT_EQ(e.code, static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_TRUE(contains(e.message, f.text)) << e.message;
        EXPECT_TRUE(contains(e.message, L"(" + std::wstring(f.function) + L" line ")) << e.message;
        EXPECT_FALSE(contains(e.message, L"Sup3rSecret"));
    }
}

TEST(Session, PipeOutputWritesCompleteLines) {
    MsiSession package;
    vmsi session(package.handle());
    size_t position = 0;
    session.output("one\r\ntwo\npart", position, false);
    EXPECT_EQ(position, 9u);
    EXPECT_EQ(package.texts(kInfo), (std::vector<std::wstring>{L"one", L"two"}));
    package.clearMessages();
    position = 0;
    session.output("\r\nnext\n\nlast", position, true);  // a leading break ends the previous chunk's line
    EXPECT_EQ(package.texts(kInfo), (std::vector<std::wstring>{L"next", L"", L"last"}));
}

// ---- the frame of the exported custom actions ----

namespace {

void outerTranslator(unsigned int, EXCEPTION_POINTERS*) {}

// One call of the frame whose work throws through `thrower` makes one error message, which the installer log
// holds as well, just before the message box: `head`, then what matches `rest` (the frames that the entry
// point adds, with any line number).
void expectFrameFailure(MsiSession& package, const std::function<void()>& thrower, const std::wstring& head,
                        const wchar_t* rest = L"\n   at Stage title \\(_ExecuteActionScript line \\d+\\)") {
    package.clearMessages();
    EXPECT_EQ(runCustomAction(package.handle(), "_ExecuteActionScript", L"Stage title ", [&](vmsi&) -> UINT {
        thrower();
        return 0;
    }), 1603u);
    const std::vector<std::wstring> errors = package.texts(kError), log = package.texts(kInfo);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(!log.empty() && log.back() == errors[0]) << package.log();
    EXPECT_TRUE(errors[0].starts_with(head) && std::regex_match(errors[0].substr(head.size()), std::wregex(rest)))
        << errors[0];
}

}  // namespace

// The text of each kind is the annotation's (errors_test); here the frames that the entry point adds. A COM
// error carries the where-text in its message and an empty frame text; Wine has no sentence for it.
TEST(Session, EveryKindOfFailureBecomesOneRenderedErrorMessageAnd1603) {
    MsiSession package;
    expectFrameFailure(package, [] { throw std::runtime_error("narrow text"); }, L"narrow text");
    expectFrameFailure(package, [] { throwOsError(L"RenameDir('a', 'b')", 5, ErrorFrame{L"", "renameDir", 10}); },
                       osErrorText(5, std::make_unique<std::wstring>(L"RenameDir('a', 'b')").get()) +
                           L"\n   at (renameDir line 10)");
    expectFrameFailure(package, [] { throw _com_error(E_POINTER); }, L"",
                       L"[^\\n]+ \\(COM Error 80004003\\)\n   at Stage title "
                       L"\n   at \\(_ExecuteActionScript line \\d+\\)");
}

// A failure the work reports by its result (a critical action that was rolled back) is passed on as is, and a
// cancelled call unwinds and fails with nothing to report; the work runs with the frame's translator, a
// deferred cancellation point and the installer as its log, all taken away after the call.
TEST(Session, TheWorkRunsTranslatedCancellableAndLoggedToTheInstaller) {
    MsiSession package;
    EXPECT_EQ(runCustomAction(package.handle(), "GetPassword", L"GetPassword", [](vmsi&) -> UINT { return 0; }), 0u);
    EXPECT_EQ(runCustomAction(package.handle(), "GetPassword", L"GetPassword", [](vmsi&) -> UINT { return 1603; }),
              1603u);
    bool unwound = false;
    EXPECT_EQ(runCustomAction(package.handle(), "GetPassword", L"GetPassword", [&](vmsi&) -> UINT {
        struct Cleanup {
            bool& flag;
            ~Cleanup() { flag = true; }
        } cleanup{unwound};
        ThreadCancelation::CancelationPoint::current()->cancel();  // the frame's own point
        return 0;
    }), static_cast<UINT>(ERROR_INSTALL_FAILURE));
    EXPECT_TRUE(unwound);
    EXPECT_TRUE(package.messages().empty());

    const SeTranslatorFunction saved = setSeTranslator(&outerTranslator);
    ThreadCancelation::CancelationPoint* const outerPoint = ThreadCancelation::CancelationPoint::current();
    SeTranslatorFunction inside = nullptr;
    int mode = -1;
    runCustomAction(package.handle(), "PrepareTarvoCustomActions", L"PrepareTarvoCustomActions", [&](vmsi&) -> UINT {
        inside = currentSeTranslator();
        if (ThreadCancelation::CancelationPoint* point = ThreadCancelation::CancelationPoint::current())
            mode = point->mode();
        vlog(LogLevel::Error, L"%s", std::wstring(L"logged during the call"));
        throw 1;
    });
    const SeTranslatorFunction after = setSeTranslator(saved);
    EXPECT_EQ(inside, &translateStructuredException);
    EXPECT_EQ(after, &outerTranslator);  // the previous translator is back
    EXPECT_EQ(mode, ThreadCancelation::Deferred);
    EXPECT_EQ(ThreadCancelation::CancelationPoint::current(), outerPoint);
    vlog(LogLevel::Error, L"%s", std::wstring(L"logged after the call"));
    EXPECT_TRUE(contains(package.log(), L"Error: logged during the call\n")) << package.log();
    EXPECT_FALSE(contains(package.log(), L"logged after the call")) << package.log();
    const std::vector<std::wstring> errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(std::regex_match(errors[0], std::wregex(L"Unexpected error\n   at PrepareTarvoCustomActions"
                                                        L"\\(PrepareTarvoCustomActions line \\d+\\)")))
        << errors[0];
}

// A module whose execute context cannot be set up (its creation mutex's name is taken by an event) fails the
// call with one error message and 1603, never an exception out of the export, and the next call sets it up.
TEST(Session, AContextThatCannotBeSetUpFailsTheCallAndTheNextOneWorks) {
    // A copy of the DLL is a module of its own, whose context is not set up yet.
    wchar_t original[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(MsiSession::productDll(), original, MAX_PATH), 0u);
    const std::wstring folder = tempDirectory(), copy = folder + L"\\TarvoCA-fresh.dll";
    ASSERT_TRUE(::CopyFileW(original, copy.c_str(), FALSE));
    HMODULE module = ::LoadLibraryW(copy.c_str());
    ASSERT_NE(module, nullptr);
    const auto stage = reinterpret_cast<UINT(WINAPI*)(MSIHANDLE)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "OnStagePostinstall")));
    ASSERT_NE(stage, nullptr);
    MsiSession package;
    package.setProperty(L"Action_OnStagePostinstall", scriptXml(L""));
    {
        const std::wstring name = L"tarvo_execute_context_" + std::to_wstring(::GetCurrentProcessId());
        const tarvo::unique_handle squatter(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        ASSERT_TRUE(squatter);
        EXPECT_EQ(stage(package.handle()), 1603u);
        const std::vector<std::wstring> errors = package.texts(kError);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(contains(errors[0], L"create mutex " + name)) << errors[0];
    }
    package.clearMessages();
    EXPECT_EQ(stage(package.handle()), 0u);
    EXPECT_TRUE(package.texts(kError).empty());
    ::FreeLibrary(module);
    ::DeleteFileW(copy.c_str());
    ::RemoveDirectoryW(folder.c_str());
}
