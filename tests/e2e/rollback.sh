#!/usr/bin/env bash
# What the normal stage changed on a server that is already set up is taken back when the installation fails:
# by the stage itself after one of its critical rows failed (each earlier row once), and by the rollback action
# when something after the stage failed. Back means byte for byte: the configuration files, the template's
# target and its ".bak", the site's page and its older backup, the registry values, and a service that a row
# stopped; a file that someone edited after the stage keeps that edit. The same stage without a failure keeps
# its changes. None of the runs leaves a work file or undo data, nor the password anywhere.
source "$(dirname "$0")/common.sh"
service=TarvoRollbackTest
password='Rollback-S3cret-7f'
undo_root="$WINEPREFIX/drive_c/ProgramData/Tarvo/Undo"
service_state() { "$WINE64" sc query "$service" 2>/dev/null | tr -d '\r' | awk '/STATE/{print $4}'; }
await_state() { for _ in $(seq 100); do [ "$(service_state)" = "$1" ] && return 0; sleep 0.1; done; return 1; }
remove_service() { "$WINE64" sc stop "$service" >/dev/null 2>&1 || true; "$WINE64" sc delete "$service" >/dev/null 2>&1 || true; }
remove_service
"$MSI_WINE" sc create "$service" binPath= "$(to_windows_path "$(dirname "$dll")/tarvo_demoservice.exe")" >/dev/null
trap 'remove_service; standins_stop' EXIT

msi_install "$work/tarvo-demo.msi" "$work/first.log" DB_ADMIN_PASSWORD="$password"
msi_log_text "$work/first.log" > "$work/first.txt"
check "the first installation succeeded (result $MSI_RESULT)" test "$MSI_RESULT" -eq "$installed"
etc="$demo_dir/etc"
data="$root/packaging/data"
# Every file of the product with its hash; the demo service's own notes change with each start and stop.
snapshot() { (cd "$demo_dir" && find . -type f ! -name service.log -print0 | sort -z | xargs -0 sha256sum); }
undo_data() { { find "$undo_root" -mindepth 1 2>/dev/null || true; } | sort; }
undo_before="$(undo_data)"  # what tests of the library left there
# The server as its administrator keeps it: php.ini and Apache's configuration as shipped, a virtual host
# and a ".bak" of its own, an older backup of the site, a port value of its own and no marker value; a
# service of its own running.
set_up_server() {
    cp "$data/tarvo-php.ini" "$etc/php.ini"
    cp "$data/tarvo-httpd.conf" "$etc/httpd.conf"
    printf 'Listen 8080\r\n' > "$etc/tarvo-vhost.conf"
    printf '# an older virtual host\r\n' > "$etc/tarvo-vhost.conf.bak"
    mkdir -p "$demo_dir/www_upgrade.bak" && printf 'an older backup\r\n' > "$demo_dir/www_upgrade.bak/index.html"
    "$WINE64" reg delete "$demo_key" /v NormalRan /f >/dev/null 2>&1 || true
    "$WINE64" reg add "$demo_key" /v PanelPort /t REG_DWORD /d 80 /f >/dev/null
    "$WINE64" sc start "$service" >/dev/null 2>&1 || true
    check "the service runs before the stage" await_state RUNNING
    before="$(snapshot)"
}
as_before() {  # as_before WHAT [EDITED]: files (but EDITED), values and service as before the stage ran
    local after expected
    after="$(snapshot | grep -vF "  ./${2:-none}")"
    expected="$(printf '%s\n' "$before" | grep -vF "  ./${2:-none}")"
    check "$1: every file${2:+ but $2} is byte for byte as before, and no other file is there" test "$after" = "$expected"
    [ "$after" = "$expected" ] || diff <(printf '%s\n' "$expected") <(printf '%s\n' "$after") || true
    check "$1: the marker value is absent, as before" test -z "$(reg_value NormalRan)"
    check "$1: the port value is as before" test "$(reg_value PanelPort)" = 0x50
    check "$1: the service runs again" await_state RUNNING
    check "$1: no undo data is left" test "$(undo_data)" = "$undo_before"
}
no_password() {  # no_password LOG...: the password is in none of the logs, and in no file left
    local log leaked=""
    for log in "$@"; do leaked+="$(leaks "$password" "$log")"; done
    leaked+="$(grep -rlaF -- "$password" "$demo_dir" "$WINEPREFIX/drive_c/ProgramData" "$WINEPREFIX/drive_c/windows/temp" 2>/dev/null || true)"
    check "the password is in no log and no file left: ${leaked:-none}" test -z "$leaked"
}
set_up_server

# A critical row of the stage fails: the stage takes its earlier rows back, and the rollback action finds
# nothing left to do.
msi_install "$work/tarvo-demo.msi" "$work/failed.log" STOP_SERVICE="$service" FAIL_NORMAL=1 DB_ADMIN_PASSWORD="$password"
msi_log_text "$work/failed.log" > "$work/failed.txt"
check "the installation failed (result $MSI_RESULT)" test "$MSI_RESULT" -eq 1603
check "the stage stopped the service" grep -qF "Action 'Stop the service STOP_SERVICE names' finished successfully" "$work/failed.txt"
check "the stage failed critically" grep -qF "Critical action 'A critical action of the normal stage that fails on request' failed:" "$work/failed.txt"
for row in "Switch PHP's curl extension on" "Shorten Apache's time-out" "Make the panel's virtual host from its template" \
           "Back up the demo site" "Show the maintenance page while the site is configured" "Stop the service STOP_SERVICE names"; do
    check "rolled back: $row" grep -qF "Rollback action:$row" "$work/failed.txt"
done
for file in etc\\tarvo-vhost.conf www\\index.html; do
    check "$file was put back once" test "$(grep -cF "$file' has its previous content again" "$work/failed.txt")" -eq 1
done
check "the rollback action found nothing left to do" grep -qF "Nothing of the normal stage is left to roll back" "$work/failed.txt"
as_before "after a failure in the stage"

no_password "$work/first.txt" "$work/failed.txt"

# The same stage without a failure keeps its changes. (Wine's installer no longer counts the product as
# installed after a failed maintenance installation, so this one runs as a first installation.)
msi_install "$work/tarvo-demo.msi" "$work/kept.log" STOP_SERVICE="$service" DB_ADMIN_PASSWORD="$password"
msi_log_text "$work/kept.log" > "$work/kept.txt"
check "the same stage without the failure succeeded (result $MSI_RESULT)" test "$MSI_RESULT" -eq "$installed"
check "php.ini: curl switched on" grep -qx $'extension=curl\r' "$etc/php.ini"
check "httpd.conf: the new time-out" grep -qx 'Timeout 120' "$etc/httpd.conf"
check "the virtual host made from the template" grep -qx $'Listen 8443\r' "$etc/tarvo-vhost.conf"
check "the previous virtual host kept as .bak" grep -qx $'Listen 8080\r' "$etc/tarvo-vhost.conf.bak"
check "the site came back from its backup" cmp -s "$data/index.html" "$demo_dir/www/index.html"
made="$(cd "$demo_dir" && find . -type f ! -name service.log | sort)"
check "no work file is left, and the older backup is gone with the installation's success" \
    test "$made" = "$(printf '%s\n' "$before" | awk '{print $2}' | grep -v '^./www_upgrade.bak/')"
check "the marker value is written" test "$(reg_value NormalRan)" = 0x1
check "the port value is written" test "$(reg_value PanelPort)" = 0x20fb
check "the service stays stopped" await_state STOPPED
check "no undo data is left" test "$(undo_data)" = "$undo_before"

# On the installed product, the stage succeeds and a later deferred action fails, after an administrator's
# edit of httpd.conf. Wine's installer then reports the failing action's 1627 where Windows gives 1603.
set_up_server
msi_install "$work/tarvo-demo.msi" "$work/later.log" STOP_SERVICE="$service" FAIL_AFTER_NORMAL=1 \
    EDIT_AFTER_NORMAL="$(to_windows_path "$etc/httpd.conf")" DB_ADMIN_PASSWORD="$password"
msi_log_text "$work/later.log" > "$work/later.txt"
check "the installation failed after the stage (result $MSI_RESULT)" test "$MSI_RESULT" -eq 1603 -o "$MSI_RESULT" -eq 1627
check "the stage itself succeeded" grep -qF "Action 'Stop the service STOP_SERVICE names' finished successfully" "$work/later.txt"
for row in "Switch PHP's curl extension on" "Make the panel's virtual host from its template" "Record the panel's port" \
           "Back up the demo site" "Stop the service STOP_SERVICE names"; do
    check "the rollback action took back: $row" grep -qF "Rollback action:$row" "$work/later.txt"
done
check "the edited file is named and kept" grep -qF "httpd.conf' is left as it is: it was changed after the action" "$work/later.txt"
check "the edit is still there" grep -qF "# edited after the stage" "$etc/httpd.conf"
check "the older backup of the site is back" grep -qF "an older backup" "$demo_dir/www_upgrade.bak/index.html"
as_before "after a failure later in the installation" etc/httpd.conf
no_password "$work/kept.txt" "$work/later.txt"
finish
