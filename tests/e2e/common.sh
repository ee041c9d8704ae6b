# Sourced by the end-to-end scenarios: DLL and work folder from the arguments, the Wine prefix, checks.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
dll="$1"
work="$2"
source "$root/tools/wine-env.sh"
source "$root/tools/msi-install.sh"
source "$root/tools/standins.sh"
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
# The product codes of sample packages still installed (each build of the package has its own).
installed_samples() {
    for view in 32 64; do
        "$WINE64" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:$view 2>/dev/null | tr -d '\r' |
            awk '/^HKEY/ { n = split($0, parts, "\\"); key = parts[n] } /DisplayName.*Tarvo custom actions demo/ { print key }'
    done | sort -u
}
# No sample product, demo service, files or values left by an earlier run. Wine's installer, unlike
# Windows', rolls a failed maintenance installation back as if it were a first one: the product is no
# longer registered, but its service stays.
fresh_state() {
    local code
    for code in $(installed_samples); do "$MSI_WINE" msiexec /x "$code" /qn </dev/null >/dev/null 2>&1 || true; done
    # Components that an interrupted or rolled-back installation left registered to a product that is gone
    # would keep the next uninstallation from removing the demo service (6F0C1A53-...-7B1D2A9C7A02 to 05).
    for component in 20 30 40 50; do
        "$WINE64" reg delete "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\35A1C0F6E8A383C4F9E1B7D1A2C9A7$component" /f >/dev/null 2>&1 || true
    done
    "$WINE64" sc stop TarvoDemoService >/dev/null 2>&1 || true
    "$WINE64" sc delete TarvoDemoService >/dev/null 2>&1 || true
    "$WINE64" reg delete "$demo_key" /f >/dev/null 2>&1 || true
    rm -rf "$demo_dir"
}
# A whole log is searched. Wine's installer ends its log with a dump of every property and, unlike
# Windows, ignores MsiHiddenProperties there: the only lines allowed to hold the password are the dump's
# entries (first line and continuation lines) of properties the package lists as hidden.
leaks() {  # leaks PASSWORD LOG: prints the lines that show the password where Windows would show it too
    awk -v secret="$1" '
        /^Property\([SC]\): MsiHiddenProperties = / {
            n = split(substr($0, index($0, " = ") + 3), names, ";")
            for (i = 1; i <= n; i++) hidden[names[i]] = 1
        }
        { lines[NR] = $0 }
        END {
            current = ""
            for (i = 1; i <= NR; i++) {
                if (match(lines[i], /^Property\([SC]\): [^ ]+ = /)) {
                    current = substr(lines[i], 14, RLENGTH - 16)
                } else if (lines[i] !~ /^(\t|<|$)/) {
                    current = ""  # no longer inside a multi-line property value
                }
                if (index(lines[i], secret) && !(current in hidden)) print i ": " lines[i]
            }
        }' "$2"
}
finish() {
    msi_remove "$work/tarvo-demo.msi"
    fresh_state
    standins_stop
    echo "$failures failed"
    [ "$failures" -eq 0 ]
}
"$root/packaging/build-package.sh" "$dll" "$work/tarvo-demo.msi"
fresh_state
# The panel's services and PHP for the ExecPHPScript row, of the DLL's width (built beside it).
standins_start "$(dirname "$dll")" "$MSI_WINE"
trap standins_stop EXIT
