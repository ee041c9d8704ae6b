#include "actions/execphp.h"

#include "actions/cmd.h"
#include "msi/vmsi.h"
#include "runtime/errors/annotate.h"
#include "runtime/errors/codepage.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/process/command.h"
#include "runtime/process/vexecutil.h"
#include "runtime/threads/cancelation.h"
#include "srvclient/sidclient.h"
#include "srvclient/srvclient.h"

ExecPHPScriptAction::ExecPHPScriptAction(std::wstring text, std::vector<std::wstring> arguments, std::wstring scriptPath)
    : Action(std::move(text)), arguments_(std::move(arguments)), scriptPath_(std::move(scriptPath)) {}

std::unique_ptr<Action> ExecPHPScriptAction::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "ExecPHPScriptAction", 1, SIZE_MAX);
    std::wstring script = std::move(fields.front());
    fields.erase(fields.begin());
    return std::make_unique<ExecPHPScriptAction>(text, std::move(fields), std::move(script));
}

// What a script did cannot be told, let alone taken back.
void ExecPHPScriptAction::rollback(vmsi& session) {
    session.log(L"Rollback: the PHP script %s is not undone", scriptPath_);
}

void ExecPHPScriptAction::execute(vmsi& session) {
    annotate("ExecPHPScriptAction::Commit", [&] { return formatString(L"ExecPHPScript(%s)", scriptPath_); }, [&] {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
        std::wstring arguments;
        for (const std::wstring& argument : arguments_) arguments += L" " + quoteArgument(argument);
        const std::wstring root = TarvoSrvClient::getInstance().getString(L"PRODUCT_ROOT_D");
        const std::wstring script = VFileName::combine(root, scriptPath_);
        // No environment of the child's own to search: the script is found where the parameters say.
        const std::wstring commandLine = resolveCommand(script, arguments, L"", false, true);
        const std::wstring logged = maskCommandLine(commandLine);
        session.log(L"Execute PHP script '%s'", logged);

        ProcessEnvironment environment;
        environment.set(L"TARVO_INTERNAL_PHP_EXEC", L"1");
        RunTime::SIDClient client;
        const tarvo::unique_handle child =
            client.execute(VSID::system(), false, L"", commandLine, VFileName::directoryOf(script), environment.block(),
                           false, false, false, true, false);
        client.closeStdin();  // the script sees the end of its input at once
        session.logMessage(L"Output:");
        std::string output, errors;
        if (!readProcessOutput(output, errors, client.overlappedStdout(), client.overlappedStderr(), nullptr, INFINITE,
                               client.outputLimit(), &session, child.get()))
            warnOutputHeldOpen(session, L"The PHP script " + logged);
        const DWORD code = VProcess::getExitCode(child.get());
        if (code != 0)
            throwChildFailure("ExecPHPScriptAction::Commit",
                              L"Execution of PHP script '%s' failed with code = %d. Output: %s\n Stderr: %s\n", logged,
                              code, wstr(output), wstr(errors));
    });
}
