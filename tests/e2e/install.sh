#!/usr/bin/env bash
# A full installation of the sample package: every stage runs its rows, secrets stay out of the log.
source "$(dirname "$0")/common.sh"
password="E2e-$RANDOM-Secret-$RANDOM"
msi_install "$work/tarvo-demo.msi" "$work/install.log" DB_ADMIN_PASSWORD="$password"
log="$(msi_log_text "$work/install.log")"
printf '%s\n' "$log" > "$work/install.txt"

check "msiexec succeeded, asking for a reboot (result $MSI_RESULT)" test "$MSI_RESULT" -eq "$installed"
# An i686 DLL can only have run inside the 32-bit msiexec, from a 32-bit package.
template=$(msiinfo suminfo "$work/tarvo-demo.msi" | sed -n 's/^Template: //p')
check "the package's platform fits the DLL ($template)" test "$template" = "$([ "$MSI_WINE" = "$WINE32" ] && echo 'Intel;1033' || echo 'x64;1033')"
check "the product went to ${MSI_PROGRAM_FILES##*/}" grep -qF "${MSI_PROGRAM_FILES##*/}\\TarvoDemo\\etc\\rndc.conf" "$work/install.txt"
check "the password never appears in the log outside Wine's dump of hidden properties" \
    test -z "$(leaks "$password" "$work/install.txt")"
{ cat "$work/install.txt"; printf 'Property(S): PLANTED = %s\n' "$password"; } > "$work/planted.txt"
check "the search finds the password in a property that is not hidden" test -n "$(leaks "$password" "$work/planted.txt")"
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
    "Mark the pre-installation stage|Say hello through cmd.exe|Make php.ini from the shipped tarvo-php.ini|Make httpd.conf from the shipped tarvo-httpd.conf|Switch PHP's curl extension on|Switch PHP's WSDL cache off|Set PHP's time zone|Shorten Apache's time-out|Comment out Apache's KeepAlive|Make the panel's virtual host from its template|Write the rndc configuration of Tarvo custom actions demo|Mark the normal stage|Record the panel's port|Ask for a reboot from a deferred stage|Optional extra key (may fail)|Back up the demo site|Show the maintenance page while the site is configured|Mark the precommit stage|Start the demo service|Mark the post-installation stage|Bring the demo site back from its backup|Configure the panel with a PHP script|Restart the demo service|"
# The Cmd rows: the command's lines in the log as printed (brackets included), the reboot request of a
# deferred stage left to the post-installation stage, which schedules it.
check "the command line is logged" grep -qF "Execute  cmd.exe /c echo Tarvo demo: installing into" "$work/install.txt"
check "the command's first line" grep -qE '^Tarvo demo: installing into .*TarvoDemo\\$' "$work/install.txt"
check "the command's second line, brackets and all" grep -qxF "[OK] the pre-installation checks passed" "$work/install.txt"
check "the deferred row asked for a reboot" grep -qF "Action 'Ask for a reboot from a deferred stage' request a reboot" "$work/install.txt"
check "the deferred stage left the reboot to a later stage" grep -qF "The reboot is scheduled by the next immediate stage" "$work/install.txt"
check "the post-installation stage scheduled it" bash -c 'grep -qF "Scheduling the reboot that a deferred action requested" "$1" &&
    grep -qE "Action start .*: ScheduleReboot\." "$1"' _ "$work/install.txt"
# The ExecPHPScript row: the product's PHP under the product root, started by the impersonation service, its
# lines (standard error's too) in the log, the password it got masked there.
check "the PHP row's command line is logged as it ran" grep -qF 'Execute PHP script '"'"'"C:\TarvoPanel\admin\engine\php.exe" -q "C:\TarvoPanel\admin\scripts\demo-setup.php"  --install-dir' "$work/install.txt"
check "the script got its arguments" bash -c 'grep -qxF "php: argument 3: --install-dir" "$1" && grep -qE "^php: argument 4: .*TarvoDemo\\\\$" "$1"' _ "$work/install.txt"
check "the script saw TARVO_INTERNAL_PHP_EXEC=1" grep -qxF "php: TARVO_INTERNAL_PHP_EXEC=1" "$work/install.txt"
check "the script's standard error is logged" grep -qxF 'php: C:\TarvoPanel\admin\scripts\demo-setup.php exits with 0' "$work/install.txt"
check "the password argument is masked" grep -qE "^php: argument 5: -password '?\*" "$work/install.txt"
check "the PHP row succeeded" grep -qF "Action 'Configure the panel with a PHP script' finished successfully" "$work/install.txt"
check "the non-critical failure is reported as such" grep -qF "Non-critical action 'Optional extra key (may fail)' failed:" "$work/install.txt"
check "no rollback on a successful installation" bash -c '! grep -q "Rollback action:" "$1"' _ "$work/install.txt"
conf="$demo_dir/etc/rndc.conf"
check "rndc.conf starts with the header" bash -c 'head -1 "$1" | grep -q "^options {"' _ "$conf"
check "rndc.conf carries the installed key" grep -q 'secret "q8k0cB2p3Yb9m0n1JpV7rW4sT6uX8yZ1aC3eG5iK7mO="' "$conf"
check "rndc.conf has CR LF line ends" grep -q $'\r$' "$conf"
for value in PreinstallRan:0x1 NormalRan:0x1 PrecommitRan:0x1 PostinstallRan:0x3; do
    check "registry ${value%%:*} = ${value#*:} in the 32-bit view" test "$(reg_value "${value%%:*}")" = "${value#*:}"
done
check "the row with a false condition did nothing" test -z "$(reg_value SkippedRow)"
# The file rows on the server's copies of the real configuration files: only the lines the rows name change.
data="$root/packaging/data"
changed() { diff "$1" "$2" | grep -c '^[<>]' || true; }
check "php.ini: curl on, WSDL cache off, time zone added (5 changed lines)" test "$(changed "$data/tarvo-php.ini" "$demo_dir/etc/php.ini")" -eq 5
check "php.ini: the new line under [Date], with the file's CR LF" bash -c 'grep -A1 -x $'"'"'\[Date\]\r'"'"' "$1" | grep -qx $'"'"'date.timezone=UTC\r'"'"'' _ "$demo_dir/etc/php.ini"
check "httpd.conf: time-out replaced, KeepAlive commented out (4 changed lines)" bash -c \
    '[ "$(diff "$1" "$2" | grep -c "^[<>]")" -eq 4 ] && grep -qx "Timeout 120" "$2" && grep -qx "#KeepAlive On" "$2"' _ "$data/tarvo-httpd.conf" "$demo_dir/etc/httpd.conf"
check "the virtual host is filled in" bash -c '! grep -q "@@" "$1" && grep -qx $'"'"'Listen 8443\r'"'"' "$1"' _ "$demo_dir/etc/tarvo-vhost.conf"
check "a first installation has no previous virtual host to keep" test ! -e "$demo_dir/etc/tarvo-vhost.conf.bak"
check "the site is back after its maintenance page, and its backup gone" bash -c \
    'cmp -s "$1" "$2/www/index.html" && [ ! -e "$2/www_upgrade.bak" ]' _ "$data/index.html" "$demo_dir"
finish
