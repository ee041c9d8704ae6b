#!/usr/bin/env bash
# The package authors' tool on the sample package: lint finds nothing, and dry-run prints the four scripts
# that the log of an msiexec installation of the same package shows, masking included.
source "$(dirname "$0")/common.sh"
tool="$(dirname "$dll")/tarvoca.exe"  # the width of the DLL, under the Wine of that width
package="$(to_windows_path "$work/tarvo-demo.msi")"

lint_output="$("$MSI_WINE" "$tool" lint "$package" 2>&1 </dev/null)" && lint_result=0 || lint_result=$?
check "lint of the sample exits with 0 ($lint_result)" test "$lint_result" -eq 0
check "lint of the sample reports nothing: ${lint_output:-(nothing)}" test -z "$lint_output"

"$MSI_WINE" "$tool" dry-run "$package" </dev/null 2>"$work/dry-run.err" | tr -d '\r' >"$work/dry-run.txt" &&
    dry_result=0 || dry_result=$?
check "dry-run of the sample exits with 0 ($dry_result)" test "$dry_result" -eq 0
check "dry-run ran everything before the scripts: $(cat "$work/dry-run.err")" test ! -s "$work/dry-run.err"
check "dry-run masks the password" grep -qF -- '-password=* --quiet' "$work/dry-run.txt"

msi_install "$work/tarvo-demo.msi" "$work/install.log"
check "msiexec succeeded (result $MSI_RESULT)" test "$MSI_RESULT" -eq "$installed"
msi_log_text "$work/install.log" >"$work/install.txt"
# The stage runner's log line is "<stage title>: <property> = <masked script>"; the deferred stages read
# "CustomActionData" where dry-run names the script's own property. Each run of PrepareTarvoCustomActions names
# a new undo folder in the normal stage's script.
strip_undo() { sed 's/ undo="[^"]*"//'; }
for stage in "Performing pre-installation actions|Action_OnStagePreinstall" \
             "Reconfiguring installed components|Action_OnStageNormal" \
             "Finishing configuration of installed components|Action_OnStagePrecommit" \
             "Performing post-installation actions|Action_OnStagePostinstall"; do
    title="${stage%|*}" property="${stage#*|}"
    logged="$(awk -v title="$title: " 'index($0, title) == 1 { sub(/^[^=]* = /, ""); on = 1 } on && /^$/ { exit } on' \
        "$work/install.txt" | strip_undo)"
    printed="$(awk -v head="== $property" '$0 == head { on = 1; next } on && /^== / { exit } on' "$work/dry-run.txt" | strip_undo)"
    check "$property: dry-run prints the script that the installer log shows" \
        test -n "$logged" -a "$logged" = "$printed"
done
finish
