#include "engine/executor.h"

#include <exception>

#include "engine/stages.h"
#include "engine/undo.h"
#include "msi/vmsi.h"
#include "runtime/errors/annotate.h"
#include "runtime/threads/cancelation.h"

namespace {

std::wstring timeOfDay() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return formatString(L"%02d:%02d:%02d", static_cast<int>(now.wHour), static_cast<int>(now.wMinute),
                        static_cast<int>(now.wSecond));
}

// Runs one step of an action under the translator and a deferred cancellation point; returns the rendered
// failure (empty on success).
template <typename Step>
std::wstring runStep(const wchar_t* frameFormat, const std::wstring& text, Step&& step) {
    return captureFailure(
        "executeList", [&] { return formatString(frameFormat, text); },
        [&] {
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            step();
        });
}

void rollBack(vmsi& session, ActionList& actions, size_t stoppedAt) {
    try {
        session.log(LogLevel::Warning, L"Rollback stage is initiated");
    } catch (...) {
    }
    std::exception_ptr canceled;
    for (size_t i = stoppedAt; i-- > 0;) {
        Action* action = actions[i].get();
        if (action == nullptr) continue;
        try {
            const std::wstring text = action->getText();
            const std::wstring error = runStep(L"Rollback action %s", text, [&] {
                session.actionProgress(L"Rollback action:" + text, 1);  // a cancel answer changes nothing here
                action->rollback(session);
            });
            if (!error.empty())
                session.warningMessage(formatString(L"Error in rollback action %s: %s", text, error));
        } catch (const ThreadCancelation::ThreadCanceled&) {
            // The remaining actions are still undone; the cancellation goes on once they are.
            if (!canceled) canceled = std::current_exception();
        } catch (...) {
            // A failure to report one rollback must not stop the others.
        }
    }
    if (canceled) std::rethrow_exception(canceled);
}

}  // namespace

namespace {
UINT executeActions(vmsi& session, ActionList& actions);
}  // namespace

UINT executeList(vmsi& session, int /*uiLevel*/, ActionList& actions, const std::wstring& /*stageTitle*/) {
    if (UndoJournal::hasCurrent()) return executeActions(session, actions);
    // A stage on its own: its undo journal lives as long as the stage.
    UndoJournal journal(UndoJournal::newRunFolder(L"stage-" + std::to_wstring(::GetCurrentProcessId())));
    UndoJournal::Scope scope(journal);
    struct EndOfStage {
        UndoJournal& journal;
        UINT result = ERROR_INSTALL_FAILURE;
        ~EndOfStage() {
            // After a failure, what is kept aside stays: an undo that failed may still need it.
            if (result == ERROR_SUCCESS) journal.commit(nullptr);
            else journal.remove();
        }
    } end{journal};
    end.result = executeActions(session, actions);
    return end.result;
}

namespace {

UINT executeActions(vmsi& session, ActionList& actions) {
    size_t current = 0;
    try {
        for (; current < actions.size(); ++current) {
            Action* action = actions[current].get();
            if (action == nullptr)
                throw vexception(L"Invalid pointer of an action.", errorFrame(L"", "executeList"));
            const std::wstring text = action->getText();
            if (!session.rowProgress(text, stage::ticksPerRow)) {
                session.log(LogLevel::Warning, L"The installation was cancelled before '" + text + L"'");
                rollBack(session, actions, current);
                return ERROR_INSTALL_USEREXIT;
            }
            session.log(L"Tarvo custom action start %s: %s", timeOfDay(), text);
            UndoJournal::current().setActionText(text);
            const std::wstring error = runStep(L"Execute action %s", text, [&] { action->execute(session); });
            if (error.empty())
                session.log(L"Action '%s' finished successfully", text);
            // Failure texts quote the action's parameters, which may hold passwords: the session masks them.
            else if (action->isCritical())
                session.errorMessage(formatString(L"Critical action '%s' failed:\n%s", text, error));
            else
                session.warningMessage(formatString(L"Non-critical action '%s' failed:\n%s", text, error));
            session.log(L"Tarvo custom action ended %s: %s", timeOfDay(), text);
            if (!error.empty() && action->isCritical()) throw vexception(error);
        }
        return ERROR_SUCCESS;
    } catch (const ThreadCancelation::ThreadCanceled&) {
        // A cancelled stage still undoes the actions before the interrupted one, as after a critical failure.
        rollBack(session, actions, current);
        throw;
    } catch (...) {
    }
    rollBack(session, actions, current);
    return ERROR_INSTALL_FAILURE;
}

}  // namespace
