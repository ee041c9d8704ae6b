# Sourced by the end-to-end scenarios: DLL and work folder from the arguments, the Wine prefix, checks.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
dll="$1"
work="$2"
source "$root/tools/wine-env.sh"
source "$root/tools/msi-install.sh"
msi_arch "$("$root/packaging/dll-arch.sh" "$dll")"
demo_dir="$MSI_PROGRAM_FILES/TarvoDemo"  # the sample product's INSTALLDIR
# A successful installation of the sample package: one of its rows asks for a reboot, so msiexec reports
# 3010 (ERROR_SUCCESS_REBOOT_REQUIRED), as Windows does under /qn with /norestart.
installed=3010
mkdir -p "$work"
failures=0
check() {  # check DESCRIPTION COMMAND...
    local what="$1"; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
demo_key='HKLM\SOFTWARE\Wow6432Node\Tarvo\Demo'
reg_value() {  # the data of a REG_DWORD value under the demo key, or nothing
    "$WINE64" reg query "$demo_key" /v "$1" 2>/dev/null | tr -d '\r' | awk '/REG_DWORD/{print $3}'
}
fresh_state() {
    "$WINE64" reg delete "$demo_key" /f >/dev/null 2>&1 || true
    rm -rf "$demo_dir"
}
finish() {
    msi_remove "$work/tarvo-demo.msi"
    fresh_state
    echo "$failures failed"
    [ "$failures" -eq 0 ]
}
"$root/packaging/build-package.sh" "$dll" "$work/tarvo-demo.msi"
fresh_state
