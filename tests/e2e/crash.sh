#!/usr/bin/env bash
# Hardware faults inside actions under msiexec, with the test build of the DLL (its "TestFault" type faults on
# purpose; the product has no such type). Wine's own handler would count a fault in a custom action as success:
# the installer log carrying our failure text and the dump in the product root show that ours acted first. A
# non-critical fault leaves a dump and the installation goes on; a critical one fails it with 1603. Old dumps
# are pruned to "CrashDumpsMaxCount" (10) when the DLL unloads; archives stay.
source "$(dirname "$0")/common.sh"

config='HKLM\SOFTWARE\Tarvo\HVC Config\Config'
saved="$work/config-before.reg"
rm -f "$saved"
"$WINE64" reg export "$config" "$(to_windows_path "$saved")" /y >/dev/null 2>&1 || true
restore_config() {
    "$WINE64" reg delete "$config" /f >/dev/null 2>&1 || true
    if [ -f "$saved" ]; then "$WINE64" reg import "$(to_windows_path "$saved")" >/dev/null 2>&1 || true; fi
}
trap restore_config EXIT
set_config() {  # set_config NAME TYPE DATA, in the 64-bit view where the library reads it
    "$WINE64" reg add "$config" /v "$1" /t "$2" /d "$3" /f >/dev/null
}

product_root="$work/root"
dumps="$product_root/etc/crashdumps"
rm -rf "$product_root"
mkdir -p "$dumps"
for day in $(seq -w 1 12); do touch -d "2020-01-$day 12:00" "$dumps/old$day.dmp"; done
touch -d "2019-06-01 12:00" "$dumps/archive.dmp.zip"
set_config PRODUCT_ROOT_D REG_SZ "$(to_windows_path "$product_root")"
"$WINE64" reg delete "$config" /v CrashDumpsEnabled /f >/dev/null 2>&1 || true

msibuild "$work/tarvo-demo.msi" -q "INSERT INTO \`TarvoCustomActions\` (\`Id\`, \`Condition\`, \`ActionType\`, \`Parameters\`, \`ProgressText\`, \`Order\`, \`Critical\`, \`Stage\`) VALUES ('DivideNormal', 'FAULT_NONCRITICAL=\"1\"', 'TestFault', 'DivideByZero', 'Divide by zero on purpose', 25, 0, 'normal')"
msibuild "$work/tarvo-demo.msi" -q "INSERT INTO \`TarvoCustomActions\` (\`Id\`, \`Condition\`, \`ActionType\`, \`Parameters\`, \`ProgressText\`, \`Order\`, \`Critical\`, \`Stage\`) VALUES ('BadPointer', 'FAULT_CRITICAL=\"1\"', 'TestFault', 'AccessViolation', 'Access violation on purpose', 15, 1, 'postinstall')"
msibuild "$work/tarvo-demo.msi" -q "INSERT INTO \`TarvoCustomActions\` (\`Id\`, \`Condition\`, \`ActionType\`, \`Parameters\`, \`ProgressText\`, \`Order\`, \`Critical\`, \`Stage\`) VALUES ('AfterFault', 'FAULT_CRITICAL=\"1\"', 'WriteRegistryDWORD', 'LM,SOFTWARE\\Tarvo\\Demo,AfterFault,1', 'Never reached after the fault', 30, 1, 'postinstall')"

# A non-critical division by zero in the deferred stage.
msi_install "$work/tarvo-demo.msi" "$work/noncritical.log" FAULT_NONCRITICAL=1
msi_log_text "$work/noncritical.log" > "$work/noncritical.txt"
check "msiexec succeeded (result $MSI_RESULT)" test "$MSI_RESULT" -eq 0
check "the fault is the action's failure" grep -qF "Non-critical action 'Divide by zero on purpose' failed:" "$work/noncritical.txt"
check "with the structured exception's text and frames" bash -c \
    'grep -A2 "^C structured exception: 0xc0000094$" "$1" | grep -qF "at Execute action Divide by zero on purpose(executeList line"' \
    _ "$work/noncritical.txt"
check "the faulting frame was unwound" grep -qF "TestFault: the faulting frame was unwound" "$work/noncritical.txt"
check "the next action of the stage ran" grep -qF "Non-critical action 'Optional extra key (may fail)' failed:" "$work/noncritical.txt"
check "the later stages ran" test "$(reg_value PostinstallRan)" = 0x3
new_dumps=$(cd "$dumps" && ls | grep -E '^msiexec[0-9]{8}_[0-9]{6}(_[0-9]+)?\.dmp$' || true)
check "one dump named msiexec + stamp + .dmp ($new_dumps)" test "$(wc -w <<<"$new_dumps")" -eq 1
for dump in $new_dumps; do
    check "$dump is a minidump ($(stat -c %s "$dumps/$dump") bytes)" test "$(head -c4 "$dumps/$dump")" = MDMP
done
check "pruned to the 10 newest dumps at unload: $(ls "$dumps" | tr '\n' ' ')" bash -c \
    '[ "$(ls "$1" | grep -ci "\.dmp$")" -eq 10 ] && [ ! -e "$1/old01.dmp" ] && [ ! -e "$1/old03.dmp" ] && [ -e "$1/old04.dmp" ]' \
    _ "$dumps"
check "the archive was left alone" test -e "$dumps/archive.dmp.zip"
msi_remove "$work/tarvo-demo.msi"
fresh_state

# A critical access violation, with dumps switched off: the installation fails and nothing is dumped.
set_config CrashDumpsEnabled REG_DWORD 0
before=$(ls "$dumps" | tr '\n' ' ')
msi_install "$work/tarvo-demo.msi" "$work/critical.log" FAULT_CRITICAL=1
msi_log_text "$work/critical.log" > "$work/critical.txt"
check "msiexec failed with 1603 (result $MSI_RESULT)" test "$MSI_RESULT" -eq 1603
check "the fault is the critical action's failure" grep -qF "Critical action 'Access violation on purpose' failed:" "$work/critical.txt"
check "with the access violation's text" grep -qx "C structured exception: 0xc0000005" "$work/critical.txt"
check "the earlier action of the stage was rolled back" grep -qF "Rollback action:Mark the post-installation stage" "$work/critical.txt"
check "the action after the fault never ran" test -z "$(reg_value AfterFault)"
check "no dump while dumps are off" test "$(ls "$dumps" | tr '\n' ' ')" = "$before"
finish
