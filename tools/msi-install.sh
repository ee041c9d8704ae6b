# Sourced: install and remove packages with msiexec under wine64.
# msi_install MSI LOG [PROPERTY=VALUE...]: sets MSI_RESULT to the installer's result.
to_windows_path() { local p; p="$(realpath -m "$1")"; printf 'Z:%s' "${p//\//\\}"; }

msi_install() {
    local msi="$1" log="$2"; shift 2
    rm -f "$log"
    set +e
    "$WINE64" msiexec /i "$(to_windows_path "$msi")" /qn /l*v "$(to_windows_path "$log")" "$@" </dev/null >/dev/null 2>&1
    MSI_RESULT=$?
    set -e
    # The shell sees a Windows exit code modulo 256: 1603 arrives as 67.
    [ "$MSI_RESULT" -eq 67 ] && MSI_RESULT=1603
    return 0
}

msi_remove() {
    "$WINE64" msiexec /x "$(to_windows_path "$1")" /qn </dev/null >/dev/null 2>&1 || true
}

# The installer log as UTF-8 text, whatever encoding msiexec chose.
msi_log_text() {
    if head -c2 "$1" | od -An -tx1 | grep -q 'ff fe'; then iconv -f UTF-16LE -t UTF-8 "$1"; else cat "$1"; fi | tr -d '\r'
}
