#pragma once
// The frame of every exported custom action: session, translator, cancellation point, the five catch
// clauses, one error message and the installer result.
#include <windows.h>
#include <msi.h>

#include <string>

#include "engine/masking.h"
#include "msi/vmsi.h"
#include "runtime/errors/annotate.h"
#include "runtime/threads/cancelation.h"

template <typename Work>
UINT runCustomAction(MSIHANDLE install, const char* function, const std::wstring& frameText, Work&& work) {
    vmsi session(install);
    UINT result = ERROR_SUCCESS;
    std::wstring error;
    try {
        error = captureFailure(function, frameText, [&] {
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            result = work(session);
        });
    } catch (const ThreadCancelation::ThreadCanceled&) {
        // The installer's own thread is never ended: a cancelled call, unwound, fails the installation.
        return ERROR_INSTALL_FAILURE;
    }
    if (error.empty()) return result;
    try {
        session.errorMessage(maskScript(error));  // the text may quote parameters of the script
    } catch (...) {
        // The installer could not take the message; the result still tells it what happened.
    }
    return ERROR_INSTALL_FAILURE;
}
