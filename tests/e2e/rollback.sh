#!/usr/bin/env bash
# A critical failure late in the normal stage takes back what the stage's earlier rows did to a server that
# is already set up: its configuration files byte for byte, the template's target and its ".bak", the site's
# page and backup, the registry value (absent, as before) and a service that a row stopped. The same stage
# without the failure keeps its changes. Neither leaves a work file behind.
source "$(dirname "$0")/common.sh"
service=TarvoRollbackTest
service_state() { "$WINE64" sc query "$service" 2>/dev/null | tr -d '\r' | awk '/STATE/{print $4}'; }
await_state() { for _ in $(seq 100); do [ "$(service_state)" = "$1" ] && return 0; sleep 0.1; done; return 1; }
remove_service() { "$WINE64" sc stop "$service" >/dev/null 2>&1 || true; "$WINE64" sc delete "$service" >/dev/null 2>&1 || true; }
remove_service
"$MSI_WINE" sc create "$service" binPath= "$(to_windows_path "$(dirname "$dll")/tarvo_demoservice.exe")" >/dev/null
trap 'remove_service; standins_stop' EXIT

msi_install "$work/tarvo-demo.msi" "$work/first.log"
check "the first installation succeeded (result $MSI_RESULT)" test "$MSI_RESULT" -eq "$installed"
# The server as its administrator keeps it: php.ini and Apache's configuration as shipped, a virtual host
# and a ".bak" of its own, no marker value; a service of its own running.
etc="$demo_dir/etc"
data="$root/packaging/data"
cp "$data/tarvo-php.ini" "$etc/php.ini"
cp "$data/tarvo-httpd.conf" "$etc/httpd.conf"
printf 'Listen 8080\r\n' > "$etc/tarvo-vhost.conf"
printf '# an older virtual host\r\n' > "$etc/tarvo-vhost.conf.bak"
"$WINE64" reg delete "$demo_key" /v NormalRan /f >/dev/null 2>&1 || true
"$WINE64" sc start "$service" >/dev/null 2>&1 || true
check "the service runs before the stage" await_state RUNNING
# Every file of the product with its hash; the demo service's own notes change with each start and stop.
snapshot() { (cd "$demo_dir" && find . -type f ! -name service.log -print0 | sort -z | xargs -0 sha256sum); }
before="$(snapshot)"

msi_install "$work/tarvo-demo.msi" "$work/failed.log" STOP_SERVICE="$service" FAIL_NORMAL=1
msi_log_text "$work/failed.log" > "$work/failed.txt"
check "the installation failed (result $MSI_RESULT)" test "$MSI_RESULT" -eq 1603
check "the stage stopped the service" grep -qF "Action 'Stop the service STOP_SERVICE names' finished successfully" "$work/failed.txt"
check "the stage failed critically" grep -qF "Critical action 'A critical action of the normal stage that fails on request' failed:" "$work/failed.txt"
for row in "Switch PHP's curl extension on" "Shorten Apache's time-out" "Make the panel's virtual host from its template" \
           "Back up the demo site" "Show the maintenance page while the site is configured" "Stop the service STOP_SERVICE names"; do
    check "rolled back: $row" grep -qF "Rollback action:$row" "$work/failed.txt"
done
after="$(snapshot)"
check "every file is byte for byte as before, and no other file is there" test "$after" = "$before"
[ "$after" = "$before" ] || diff <(printf '%s\n' "$before") <(printf '%s\n' "$after") || true
check "the registry value is absent, as before" test -z "$(reg_value NormalRan)"
check "the service runs again" await_state RUNNING

msi_install "$work/tarvo-demo.msi" "$work/kept.log" STOP_SERVICE="$service"
check "the same stage without the failure succeeded (result $MSI_RESULT)" test "$MSI_RESULT" -eq "$installed"
check "php.ini: curl switched on" grep -qx $'extension=curl\r' "$etc/php.ini"
check "httpd.conf: the new time-out" grep -qx 'Timeout 120' "$etc/httpd.conf"
check "the virtual host made from the template" grep -qx $'Listen 8443\r' "$etc/tarvo-vhost.conf"
check "the previous virtual host kept as .bak" grep -qx $'Listen 8080\r' "$etc/tarvo-vhost.conf.bak"
check "the site came back from its backup" cmp -s "$data/index.html" "$demo_dir/www/index.html"
made="$(cd "$demo_dir" && find . -type f ! -name service.log | sort)"
check "no work file is left: the same files as before" test "$made" = "$(printf '%s\n' "$before" | awk '{print $2}')"
check "the registry value is written" test "$(reg_value NormalRan)" = 0x1
check "the service stays stopped" await_state STOPPED
finish
