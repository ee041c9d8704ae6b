# Sourced: install and remove packages with msiexec under Wine.
# msi_arch ARCH: x86 (the default) installs with the 32-bit msiexec of syswow64, x64 with the 64-bit one;
#   sets MSI_PROGRAM_FILES to where the sample package's INSTALLDIR lies for that width.
# msi_install MSI LOG [PROPERTY=VALUE...]: sets MSI_RESULT to the installer's result (3010: installed, a reboot
#   is required to finish; msiexec never reboots by itself here, as with /norestart on Windows). When the
#   package, the prefix or the loader of the chosen width is missing it says so and returns 1.
# msi_remove MSI: uninstalls the package (by its file or its product code).
msi_arch() {
    if [ "$1" = x64 ]; then
        MSI_WINE="$WINE64"; MSI_PROGRAM_FILES="$WINEPREFIX/drive_c/Program Files"
    else
        MSI_WINE="$WINE32"; MSI_PROGRAM_FILES="$WINEPREFIX/drive_c/Program Files (x86)"
    fi
}
msi_arch x86

to_windows_path() { local p; p="$(realpath -m "$1")"; printf 'Z:%s' "${p//\//\\}"; }

msi_tools_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Can msiexec of the chosen width start here? Says what is missing instead of a silent 127 without a log.
msi_loader_ready() {
    local reason
    if [ -z "${MSI_WINE:-}" ] || [ ! -x "$MSI_WINE" ]; then
        echo "msi_install: the Wine loader '${MSI_WINE:-}' is not installed; for a 64-bit package (built with the x86_64 DLL) call 'msi_arch x64' first" >&2
        return 1
    fi
    if [ "$MSI_WINE" = "${WINE32:-}" ] && ! reason="$("$msi_tools_dir/preflight-i386.sh")"; then
        echo "msi_install: the 32-bit msiexec cannot run here ($reason); build the package with the x86_64 DLL and call 'msi_arch x64' first" >&2
        return 1
    fi
}

msi_install() {
    local msi="$1" log="$2"; shift 2
    rm -f "$log"
    if [ ! -f "$msi" ]; then
        echo "msi_install: no package at $msi" >&2
        MSI_RESULT=2; return 1
    fi
    if [ -z "${WINEPREFIX:-}" ]; then
        echo "msi_install: no Wine prefix: source tools/wine-env.sh (and call wine_start) first" >&2
        MSI_RESULT=2; return 1
    fi
    msi_loader_ready || { MSI_RESULT=127; return 1; }
    set +e
    "$MSI_WINE" msiexec /i "$(to_windows_path "$msi")" /qn /l*v "$(to_windows_path "$log")" "$@" </dev/null >/dev/null 2>&1
    MSI_RESULT=$?
    set -e
    # The shell sees a Windows exit code modulo 256: 1603 arrives as 67, 3010 as 194.
    [ "$MSI_RESULT" -eq 67 ] && MSI_RESULT=1603
    [ "$MSI_RESULT" -eq 194 ] && MSI_RESULT=3010
    # Wine's installer ends a failed installation with the failing action's result where Windows gives 1603:
    # 1627 (ERROR_FUNCTION_FAILED, 91 here) after an executable that exited with an error.
    [ "$MSI_RESULT" -eq 91 ] && MSI_RESULT=1627
    if [ ! -s "$log" ]; then
        echo "msi_install: msiexec ended with $MSI_RESULT and wrote no log at $log" >&2
    fi
    return 0
}

msi_remove() {
    "$MSI_WINE" msiexec /x "$(to_windows_path "$1")" /qn </dev/null >/dev/null 2>&1 || true
}

# The installer log as UTF-8 text, whatever encoding msiexec chose.
msi_log_text() {
    if head -c2 "$1" | od -An -tx1 | grep -q 'ff fe'; then iconv -f UTF-16LE -t UTF-8 "$1"; else cat "$1"; fi | tr -d '\r'
}
