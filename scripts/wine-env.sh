# Shared Wine settings for the scripts: a private 64-bit prefix, quiet, no Mono or Gecko.
# Source it, then call wine_prefix_ready PREFIX before the first wine command.

wine_prefix_ready() {
    export WINEPREFIX=$1
    export WINEARCH=win64
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    unset DISPLAY
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Several tests may start at once: one of them creates the prefix, the others wait.
    exec {lock_fd}>"$WINEPREFIX.lock"
    flock "$lock_fd"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    flock -u "$lock_fd"
    exec {lock_fd}>&-
}

# Ends the wineserver of the prefix (and with it every Wine process of that prefix).
wine_prefix_shutdown() {
    if [ -d "$1" ]; then
        WINEPREFIX=$1 wineserver -k >/dev/null 2>&1 || true
        WINEPREFIX=$1 wineserver -w >/dev/null 2>&1 || true
    fi
}
