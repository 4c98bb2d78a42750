# Shared Wine settings for the scripts: a private 64-bit prefix, quiet, no Mono or Gecko.
# Source it, then call wine_prefix_ready PREFIX before the first wine command.

# Every Wine process of the scripts starts without address randomisation, and so does all it
# starts (services.exe, the services). Wine's 64-bit loader sits just below 2 GiB, and the
# kernel starts a process's heap anywhere in the GiB above it: about one start in 1,500 put
# the heap where Wine maps its shared user data (0x7ffe0000), and the process ended before
# running any of its code, with status 1 and, under WINEDEBUG=-all, not a word ("failed to
# map the shared user data: c0000018" with err+virtual). Unrandomised, the heap starts just
# past the loader. Use "${wine_unrandomised[@]}" wine where a function cannot serve (exec).
wine_unrandomised=(setarch "$(uname -m)" -R)
wine() { "${wine_unrandomised[@]}" wine "$@"; }

wine_prefix_ready() {
    export WINEPREFIX=$1
    export WINEARCH=win64
    export WINEDEBUG=-all
    # ORVANET_WINE_OVERRIDES: more, for a test that needs a library missing.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${ORVANET_WINE_OVERRIDES:+;$ORVANET_WINE_OVERRIDES}"
    unset DISPLAY
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Several tests may start at once: one of them creates the prefix, the others wait.
    exec {lock_fd}>"$WINEPREFIX.lock"
    flock "$lock_fd"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "${wine_unrandomised[@]}" wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    flock -u "$lock_fd"
    exec {lock_fd}>&-
}

# wine_prefix_persist PREFIX: the prefix ready and its wineserver kept up until
# wine_prefix_shutdown. Without it the server ends itself a few seconds after the last Wine
# process of the prefix, and a program starting at that moment loses its connection
# ("recvmsg: Connection reset by peer"). "wineserver -p" makes no running server
# persistent (it answers "already running"), so any server still up is ended first.
# With ORVANET_EVENTLOG_TRACE naming a file, the prefix's services write Wine's trace of the
# Event Log calls there, from empty (the insertion strings of each event, "err:" for an
# error): a service's WINEDEBUG and output are those of the first program of the server.
wine_prefix_persist() {
    wine_prefix_ready "$1"
    wine_prefix_shutdown "$1"
    # Detached from our output, or whoever reads it (ctest) would wait for the server.
    WINEPREFIX=$1 wineserver -p </dev/null >/dev/null 2>&1
    # The first program of a server starts the prefix's system processes (services.exe and
    # the others), which inherit its standard handles and now live as long as the server:
    # start them from a program of our own with none of the caller's output.
    if [ -n "${ORVANET_EVENTLOG_TRACE:-}" ]; then
        WINEPREFIX=$1 WINEDEBUG=-all,+eventlog wine cmd /c exit \
            </dev/null >/dev/null 2>"$ORVANET_EVENTLOG_TRACE" || true
    else
        WINEPREFIX=$1 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    fi
}

# Ends the wineserver of the prefix (and with it every Wine process of that prefix). The
# wait is bounded: a cleanup must never be what hangs.
wine_prefix_shutdown() {
    if [ -d "$1" ]; then
        WINEPREFIX=$1 timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
        WINEPREFIX=$1 timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
}

# wine_prefix_server_running PREFIX: whether a wineserver serves the prefix. Wine names its
# server's folder after the device and inode of the prefix folder, under /tmp/.wine-UID
# (Debian's build: a /tmp/wine-XXXXXX of the user's).
wine_prefix_server_running() {
    local dev ino socket
    [ -d "$1" ] || return 1
    dev=$(stat -c '%D' "$1") && ino=$(stat -c '%i' "$1") || return 1
    for socket in "/tmp/.wine-$(id -u)" /tmp/wine-*; do
        socket="$socket/server-$dev-$(printf '%x' "$ino")/socket"
        [ -S "$socket" ] && [ -O "$socket" ] && return 0
    done
    return 1
}
