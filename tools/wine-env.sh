# Sourced: the Wine prefix inside the build tree, created once; a persistent wineserver while it is in use.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="$root/build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINE64=/usr/lib/wine/wine64
export WINE32=/usr/lib/wine/wine  # the 32-bit loader: programs run from syswow64, as on 64-bit Windows
# A prefix made before 32-bit Wine was installed has an empty syswow64, where every 32-bit program fails
# ("could not load kernel32.dll") and `wineboot -u` does not help: make it anew.
if [ -f "$WINEPREFIX/system.reg" ] && [ -x "$WINE32" ] &&
   [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "Recreating the Wine prefix in $WINEPREFIX: it was made before 32-bit Wine was installed"
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix in $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$WINE64" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
# Wine's background processes start with the first program; starting them here, detached from any
# pipe, keeps them from holding the output pipes of the test programs open after those exit. That holds for
# the desktop process too, which the first program that makes a window (COM does) would otherwise start and
# which lingers a second after the last program: an idle program keeps it up for the whole run.
keeper_pid_file="$WINEPREFIX/.keeper.pid"
# A second drive T: on another file system (a folder in /dev/shm), where a folder cannot be moved to in one
# step: the tests of piece-by-piece folder moves use it.
second_drive="/dev/shm/tarvo-drive-$(id -u)-$(printf %s "$WINEPREFIX" | md5sum | cut -c1-8)"
wine_start() {
    if [ -d /dev/shm ] && mkdir -p "$second_drive" 2>/dev/null; then
        ln -sfn "$second_drive" "$WINEPREFIX/dosdevices/t:"
    fi
    wineserver -p 2>/dev/null || true  # already running is fine
    "$WINE64" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
    if ! { [ -f "$keeper_pid_file" ] && kill -0 "$(cat "$keeper_pid_file")" 2>/dev/null; }; then
        # Its own process group, so that wine_stop ends the idle program and its input together.
        setsid bash -c 'sleep 86400 | "$WINE64" cmd /c pause' </dev/null >/dev/null 2>&1 &
        echo $! >"$keeper_pid_file"
        # rundll32 makes a window, so Wine starts the desktop process and waits until it is ready.
        "$WINE64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
    fi
}
wine_stop() {
    if [ -f "$keeper_pid_file" ]; then
        kill -- "-$(cat "$keeper_pid_file")" 2>/dev/null || true
        rm -f "$keeper_pid_file"
    fi
    wineserver -k 2>/dev/null || true
    rm -rf "$second_drive"
}
