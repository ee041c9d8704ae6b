#!/usr/bin/env bash
# A full installation of the sample package: every stage runs its rows, secrets stay out of the log.
source "$(dirname "$0")/common.sh"
password="E2e-$RANDOM-Secret-$RANDOM"
msi_install "$work/tarvo-demo.msi" "$work/install.log" DB_ADMIN_PASSWORD="$password"
log="$(msi_log_text "$work/install.log")"
printf '%s\n' "$log" > "$work/install.txt"

check "msiexec succeeded (result $MSI_RESULT)" test "$MSI_RESULT" -eq 0
# Wine's installer ends its log with a dump of every property and, unlike Windows, ignores
# MsiHiddenProperties there; everything before that dump is what the installer and the library wrote.
sed -n '/^Property([SC]): /q;p' "$work/install.txt" > "$work/install-before-dump.txt"
check "the password never appears in what the installer and the library logged" \
    bash -c '! grep -qF -- "$1" "$2"' _ "$password" "$work/install-before-dump.txt"
check "the action log is all there before the property dump" \
    grep -qF "Action ended" "$work/install-before-dump.txt"
check "the package hides the password and the scripts from the installer's log" bash -c \
    'grep -q "^Property(S): MsiHiddenProperties = .*DB_ADMIN_PASSWORD" "$1" && grep -q "^Property(S): MsiHiddenProperties = .*CustomActionData" "$1"' _ "$work/install.txt"
check "the normal stage's script is logged masked" grep -qF -- '-password=* --quiet' "$work/install.txt"
for title in "Performing pre-installation actions: Action_OnStagePreinstall = <actionslist" \
             "Reconfiguring installed components: CustomActionData = <actionslist" \
             "Finishing configuration of installed components: CustomActionData = <actionslist" \
             "Performing post-installation actions: Action_OnStagePostinstall = <actionslist"; do
    check "stage line: ${title%%:*}" grep -qF -- "$title" "$work/install.txt"
done
order=$(grep -oE "Tarvo custom action start [0-9:]+: .*" "$work/install.txt" | sed -E 's/.*[0-9]: //' | tr '\n' '|')
check "actions ran in stage and Order sequence ($order)" test "$order" = \
    "Mark the pre-installation stage|Write the rndc configuration of Tarvo custom actions demo|Mark the normal stage|Optional extra key (may fail)|Mark the precommit stage|Mark the post-installation stage|"
check "the non-critical failure is reported as such" grep -qF "Non-critical action 'Optional extra key (may fail)' failed:" "$work/install.txt"
check "no rollback on a successful installation" bash -c '! grep -q "Rollback action:" "$1"' _ "$work/install.txt"
conf="$WINEPREFIX/drive_c/TarvoDemo/etc/rndc.conf"
check "rndc.conf starts with the header" bash -c 'head -1 "$1" | grep -q "^options {"' _ "$conf"
check "rndc.conf carries the installed key" grep -q 'secret "q8k0cB2p3Yb9m0n1JpV7rW4sT6uX8yZ1aC3eG5iK7mO="' "$conf"
check "rndc.conf has CR LF line ends" grep -q $'\r$' "$conf"
for value in PreinstallRan:0x1 NormalRan:0x1 PrecommitRan:0x1 PostinstallRan:0x3; do
    check "registry ${value%%:*} = ${value#*:} in the 32-bit view" test "$(reg_value "${value%%:*}")" = "${value#*:}"
done
check "the row with a false condition did nothing" test -z "$(reg_value SkippedRow)"
finish
