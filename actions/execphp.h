#pragma once
// "ExecPHPScript": runs a PHP script of the product (a path under the product root, "PRODUCT_ROOT_D" of the
// management service) with the product's own PHP ("admin\engine\php.exe" there) as the local system account,
// through the impersonation service. The script's standard output and standard error go to the installer log
// line by line while it runs; exit code 0 succeeds, any other fails with the masked command line, the code
// and both streams. The script sees "TARVO_INTERNAL_PHP_EXEC" = "1".
#include <string>
#include <vector>

#include "engine/action.h"

class ExecPHPScriptAction : public Action {
public:
    ExecPHPScriptAction(std::wstring text, std::vector<std::wstring> arguments, std::wstring scriptPath);

    // Parameters: the script path, then one argument per further comma-separated field (empty fields do not
    // count, so no argument holds a comma). At least the script path: "Invalid arguments on call
    // ExecPHPScriptAction" otherwise.
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    void execute(vmsi& session) override;
    void rollback(vmsi& session) override;

    const std::vector<std::wstring>& arguments() const noexcept { return arguments_; }
    const std::wstring& scriptPath() const noexcept { return scriptPath_; }

private:
    std::vector<std::wstring> arguments_;
    std::wstring scriptPath_;
};
