# Sourced: the Wine prefix inside the build tree, created once; a persistent wineserver while it is in use.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="$root/build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINE64=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix in $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$WINE64" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
# Wine's background processes start with the first program; starting them here, detached from any
# pipe, keeps them from holding the output pipes of the test programs open after those exit.
wine_start() {
    wineserver -p 2>/dev/null || true  # already running is fine
    "$WINE64" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}
wine_stop() { wineserver -k 2>/dev/null || true; }
