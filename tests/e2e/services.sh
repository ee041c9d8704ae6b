#!/usr/bin/env bash
# The service rows of the sample package: the installer creates the demo service, the precommit stage
# starts it, the post-installation stage restarts it (a new process), and the uninstall stops and removes
# it. The demo service notes each start and stop with its process id in service.log beside its bin folder.
source "$(dirname "$0")/common.sh"
service_log() { tr -d '\r' 2>/dev/null <"$demo_dir/service.log" || true; }
service_query() { "$WINE64" sc query TarvoDemoService 2>/dev/null | tr -d '\r'; }
msi_install "$work/tarvo-demo.msi" "$work/install.log" DB_ADMIN_PASSWORD="not-logged-$RANDOM"
msi_log_text "$work/install.log" > "$work/install.txt"
check "msiexec succeeded, asking for a reboot (result $MSI_RESULT)" test "$MSI_RESULT" -eq "$installed"
for row in "Start the demo service" "Restart the demo service"; do
    check "row '$row' succeeded" grep -qF "Action '$row' finished successfully" "$work/install.txt"
done
events="$(service_log | awk '{printf "%s ", $3}')"
check "the service started, stopped and started again ($events)" test "$events" = "running stopped running "
read -r -a pids <<<"$(service_log | awk '{printf "%s ", $2}')"
check "the restart stopped the first process and started a new one (${pids[*]})" \
    test -n "${pids[2]:-}" -a "${pids[0]:-}" = "${pids[1]:-}" -a "${pids[0]:-}" != "${pids[2]:-}"
check "the service runs after the installation" bash -c 'grep -qE "STATE +: 4 +RUNNING" <<<"$1"' _ "$(service_query)"
msi_remove "$work/tarvo-demo.msi"
check "the uninstall stopped the service" test "$(service_log | tail -1 | awk '{print $3}')" = "stopped"
check "the uninstall removed the service" test -z "$(service_query)"
finish
