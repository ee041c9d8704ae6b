#!/usr/bin/env bash
# A critical row that fails makes the installation fail, after rolling back the stage's earlier actions.
source "$(dirname "$0")/common.sh"
msi_install "$work/tarvo-demo.msi" "$work/install.log" DB_ADMIN_PASSWORD="not-logged-$RANDOM" FAIL_CRITICAL=1
msi_log_text "$work/install.log" > "$work/install.txt"
check "msiexec failed with 1603 (result $MSI_RESULT)" test "$MSI_RESULT" -eq 1603
check "the critical failure is reported" grep -qF "Critical action 'A critical action that fails on request' failed:" "$work/install.txt"
check "the earlier action of the stage was rolled back" grep -qF "Rollback action:Mark the post-installation stage" "$work/install.txt"
check "the PHP row's rollback says that a script is not undone" grep -qF "Rollback: the PHP script admin\scripts\demo-setup.php is not undone" "$work/install.txt"
check "the action after the failure never started" bash -c '! grep -q "Tarvo custom action start .*: Never reached" "$1"' _ "$work/install.txt"
check "nothing was written after the failure" test -z "$(reg_value AfterFailure)"
finish
