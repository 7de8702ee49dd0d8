# Sourced by the tool scripts: a 32-bit Wine prefix of the build's own, an X
# server for real windows, and a persistent wineserver for the run.
#   wine_env_init BUILD_DIR [NAME]  exports WINEPREFIX (BUILD_DIR/NAME, default
#                             wineprefix) & co, creates the prefix once
#   wine_env_init64 BUILD_DIR [NAME]  the same for a 64-bit prefix (default
#                             wineprefix64), where 64-bit and 32-bit programs run
#   xvfb_start [DEPTH]        starts Xvfb on a free display, exports DISPLAY
#   wine_env_stop             stops the wineserver and the X server we started

wine_env_init() {
    _wine_env_init "$1" "${2:-wineprefix}" win32 wineboot
}

# The wine wrapper starts the 32-bit loader, which cannot create a 64-bit
# prefix; in the prefix once made, wine runs programs of both kinds.
wine_env_init64() {
    _wine_env_init "$1" "${2:-wineprefix64}" win64 "/usr/lib/wine/wine64 wineboot"
}

_wine_env_init() {
    export WINEPREFIX="$(cd "$1" && pwd)/$2"
    export WINEARCH=$3
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine: creating prefix $WINEPREFIX"
        $4 -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    if [ ! -f "$WINEPREFIX/.talvenix-configured" ]; then
        # Without a window manager Wine's managed windows stall on destroy.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        # Message boxes must not pop up crash dialogs that nobody closes.
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.talvenix-configured"
    fi
}

# Wine starts its background services with the first program; started from a
# program whose output goes to a pipe they would hold that pipe open (and a
# test runner waiting on it) until the wineserver ends. Start them here,
# detached from every output.
wine_services_start() {
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

_xvfb_pid=
xvfb_start() {
    local depth=${1:-24} n
    for n in $(seq 91 140); do
        if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
            Xvfb ":$n" -screen 0 "1280x1024x$depth" -nolisten tcp >/dev/null 2>&1 &
            _xvfb_pid=$!
            local i
            for i in $(seq 1 50); do
                [ -e "/tmp/.X11-unix/X$n" ] && break
                sleep 0.1
            done
            if kill -0 "$_xvfb_pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
                export DISPLAY=":$n"
                return 0
            fi
        fi
    done
    echo "xvfb: no free display" >&2
    return 1
}

wine_env_stop() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
    if [ -n "$_xvfb_pid" ]; then
        kill "$_xvfb_pid" 2>/dev/null || true
        wait "$_xvfb_pid" 2>/dev/null || true
        _xvfb_pid=
    fi
}
