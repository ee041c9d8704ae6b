#pragma once
// The frame of every exported custom action: session, translator, cancellation point, the five catch
// clauses, one error message and the installer result. Nothing ever leaves it but a result code.
#include <windows.h>
#include <msi.h>

#include <string>

#include "msi/vmsi.h"
#include "runtime/errors/annotate.h"
#include "runtime/threads/cancelation.h"

// `frameText` is the text of the error frame: a string, or a callable that builds it only on failure.
template <typename Text, typename Work>
UINT runCustomAction(MSIHANDLE install, const char* function, Text&& frameText, Work&& work) noexcept {
    try {
        vmsi session(install);
        UINT result = ERROR_SUCCESS;
        const std::wstring error = captureFailure(function, std::forward<Text>(frameText), [&] {
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            result = work(session);
        });
        if (error.empty()) return result;
        try {
            session.errorMessage(error);  // masked by the session: the text may quote parameters of the script
        } catch (...) {
            // The installer could not take the message; the result still tells it what happened.
        }
        return ERROR_INSTALL_FAILURE;
    } catch (const ThreadCancelation::ThreadCanceled&) {
        // The installer's own thread is never ended: a cancelled call, unwound, fails the installation.
        return ERROR_INSTALL_FAILURE;
    } catch (...) {
        // Not even the failure could be rendered (memory is exhausted): the result alone tells the installer.
        return ERROR_INSTALL_FAILURE;
    }
}
