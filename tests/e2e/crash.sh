#!/usr/bin/env bash
# Hardware faults inside actions under msiexec, with the test build of the DLL (its "TestFault" type faults on
# purpose; the product has no such type). Wine's own handler would count a fault in a custom action as success:
# the installer log carrying our failure texts and the dumps in the product root show that ours acted first. A
# non-critical fault fails its action alone and the stage goes on; a critical one fails the installation with
# 1603 after rolling back. Each leaves a dump. Old dumps are pruned to "CrashDumpsMaxCount" (10) whenever the
# DLL unloads; archives stay.
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
for name in CrashDumpsEnabled CrashDumpsLocation CrashDumpsMaxCount; do
    "$WINE64" reg delete "$config" /v "$name" /f >/dev/null 2>&1 || true
done

add_row() {  # add_row "'Id', 'Condition', 'ActionType', 'Parameters', 'ProgressText', Order, Critical, 'Stage'"
    msibuild "$work/tarvo-demo.msi" -q "INSERT INTO \`TarvoCustomActions\` (\`Id\`, \`Condition\`, \`ActionType\`, \`Parameters\`, \`ProgressText\`, \`Order\`, \`Critical\`, \`Stage\`) VALUES ($1)"
}
add_row "'DivideNormal', 'FAULT_NONCRITICAL=\"1\"', 'TestFault', 'DivideByZero', 'Divide by zero on purpose', 25, 0, 'normal'"
add_row "'BadPointer', 'FAULT_CRITICAL=\"1\"', 'TestFault', 'AccessViolation', 'Access violation on purpose', 15, 1, 'postinstall'"
add_row "'AfterFault', 'FAULT_CRITICAL=\"1\"', 'WriteRegistryDWORD', 'LM,SOFTWARE\\Tarvo\\Demo,AfterFault,1', 'Never reached after the fault', 30, 1, 'postinstall'"

# One installation: a non-critical division by zero in the deferred stage, then a critical access violation in
# the post-installation stage.
msi_install "$work/tarvo-demo.msi" "$work/install.log" FAULT_NONCRITICAL=1 FAULT_CRITICAL=1
msi_log_text "$work/install.log" > "$work/install.txt"
check "msiexec failed with 1603 (result $MSI_RESULT)" test "$MSI_RESULT" -eq 1603
check "the division is the non-critical action's failure" \
    grep -qF "Non-critical action 'Divide by zero on purpose' failed:" "$work/install.txt"
check "with the structured exception's text and frames" bash -c \
    'grep -A2 "^C structured exception: 0xc0000094$" "$1" | grep -qF "at Execute action Divide by zero on purpose(executeList line"' \
    _ "$work/install.txt"
check "the faulting frames were unwound" test "$(grep -c "^TestFault: the faulting frame was unwound" "$work/install.txt")" -eq 2
check "the next action of the stage ran" grep -qF "Non-critical action 'Optional extra key (may fail)' failed:" "$work/install.txt"
check "the access violation is the critical action's failure" \
    grep -qF "Critical action 'Access violation on purpose' failed:" "$work/install.txt"
check "with its text" grep -qx "C structured exception: 0xc0000005" "$work/install.txt"
check "the earlier action of the stage was rolled back" grep -qF "Rollback action:Mark the post-installation stage" "$work/install.txt"
check "the action after the fault never ran" test -z "$(reg_value AfterFault)"
new_dumps=$(cd "$dumps" && ls | grep -E '^msiexec[0-9]{8}_[0-9]{6}(_[0-9]+)?\.dmp$' || true)
check "a dump each, named msiexec + stamp + .dmp: $(tr '\n' ' ' <<<"$new_dumps")" test "$(wc -w <<<"$new_dumps")" -eq 2
for dump in $new_dumps; do
    check "$dump is a minidump ($(stat -c %s "$dumps/$dump") bytes)" test "$(head -c4 "$dumps/$dump")" = MDMP
done
# Pruned at every unload of the DLL: two old dumps after the first call, one more after each fault.
check "pruned to the 10 newest dumps: $(ls "$dumps" | tr '\n' ' ')" bash -c \
    '[ "$(ls "$1" | grep -ci "\.dmp$")" -eq 10 ] && [ ! -e "$1/old04.dmp" ] && [ -e "$1/old05.dmp" ]' _ "$dumps"
check "the archive was left alone" test -e "$dumps/archive.dmp.zip"
finish
