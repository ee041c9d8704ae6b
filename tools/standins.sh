# Sourced: the panel around a test installation, as stand-ins of our own: the management service (answering
# PRODUCT_ROOT_D with the product root), the impersonation service, and the product's PHP at the product
# root's admin\engine\php.exe with the sample package's script admin\scripts\demo-setup.php. The library
# finds the two services through the configuration key's values "hvcpipe" and "HVC_pipe" (64-bit view),
# set here and removed again by standins_stop.
# standins_start BINDIR WINE: the stand-in programs of BINDIR, run by WINE (the loader of their width).
# standins_stop: ends the stand-ins and removes the values and the product root.
# While they run, "$standins_log/mgmt.log" and "$standins_log/sid.log" hold what the services printed.
standins_root_windows='C:\TarvoPanel'
standins_config='HKLM\SOFTWARE\Tarvo\HVC Config\Config'
standins_pids=()
standins_start() {
    local bin="$1" wine="$2" here root name program pipe
    here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    root="$WINEPREFIX/drive_c/TarvoPanel"
    standins_log="$(mktemp -d)"
    mkdir -p "$root/admin/engine" "$root/admin/scripts"
    cp "$bin/tarvo_php.exe" "$root/admin/engine/php.exe"
    cp "$here/packaging/demo-setup.php" "$root/admin/scripts/"
    for name in mgmt sid; do
        pipe="tarvo-demo-$name-$$"
        if [ "$name" = mgmt ]; then
            program=("$bin/tarvo_mgmtservice.exe" --set "PRODUCT_ROOT_D=$standins_root_windows")
            "$WINE64" reg add "$standins_config" /v hvcpipe /t REG_SZ /d "$pipe" /f /reg:64 >/dev/null
        else
            program=("$bin/tarvo_sidservice.exe")
            "$WINE64" reg add "$standins_config" /v HVC_pipe /t REG_SZ /d "$pipe" /f /reg:64 >/dev/null
        fi
        # Its own process group, holding the program's standard input open: standins_stop closes it.
        setsid bash -c 'sleep 86400 | "$@"' _ "$wine" "${program[@]}" --pipe "$pipe" --until-stdin-closes \
            </dev/null >"$standins_log/$name.log" 2>&1 &
        standins_pids+=($!)
    done
    for name in mgmt sid; do
        for _ in $(seq 100); do grep -q '^listening' "$standins_log/$name.log" 2>/dev/null && break; sleep 0.1; done
    done
}
standins_stop() {
    local pid
    for pid in "${standins_pids[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
    standins_pids=()
    "$WINE64" reg delete "$standins_config" /v hvcpipe /f /reg:64 >/dev/null 2>&1 || true
    "$WINE64" reg delete "$standins_config" /v HVC_pipe /f /reg:64 >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX/drive_c/TarvoPanel" "${standins_log:-}"
}
