# Helpers for driving Orvanet.exe under Wine's Service Control Manager in a private
# prefix. Source after wine-env.sh.

# service_install PREFIX DIR FILE...: a fresh prefix whose server persists (Wine would
# otherwise end services.exe with the last ordinary process), the files copied to
# C:\DIR, and the service created there.
service_install() {
    local prefix=$1 dir=$2
    shift 2
    wine_prefix_shutdown "$prefix"
    rm -rf "$prefix" "$prefix.lock"
    wine_prefix_persist "$prefix"
    service_prefix=$prefix
    mkdir -p "$prefix/drive_c/$dir"
    cp "$@" "$prefix/drive_c/$dir/"
    wine sc create Orvanet binPath= "C:\\$dir\\Orvanet.exe" >/dev/null
}

# registry_value KEY NAME: the data of one value of the prefix's registry, empty if none.
registry_value() {
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" '$1 == name && $2 ~ /^REG_/ {$1 = ""; $2 = ""; sub(/^ +/, ""); print}'
}

# service_events TRACE: the service's events in a trace of ORVANET_EVENTLOG_TRACE, one line
# per insertion string ("err:eventlog:ReportEventW L\"TEXT\"" for an error). Wine's own Event
# Log service traces on the same channel; its lines are left out.
service_events() {
    grep -F ':eventlog:ReportEventW ' "$1" 2>/dev/null | sed 's/^[0-9a-f]*://' | tr -d '\r'
}

# prefix_pids PATTERN: the ids of this prefix's processes whose command line matches
# PATTERN. Another prefix (another test run on the machine) may run the same program.
prefix_pids() {
    local pid
    for pid in $(pgrep -f -- "$1"); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            echo "$pid"
        fi
    done
}

# service_state: the STATE word of "sc query Orvanet" (RUNNING, STOPPED, ...).
service_state() {
    wine sc query Orvanet 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'
}

# service_exit_code: the WIN32_EXIT_CODE of "sc query Orvanet".
service_exit_code() {
    wine sc query Orvanet 2>/dev/null | tr -d '\r' | awk '/WIN32_EXIT_CODE/ {print $3}'
}

# service_wait_state STATE SECONDS: waits until the service reports STATE.
service_wait_state() {
    local want=$1 limit=$2 waited=0
    while [ "$(service_state)" != "$want" ]; do
        if [ "$waited" -ge "$((limit * 5))" ]; then
            echo "service did not reach $want within ${limit}s (state: $(service_state))" >&2
            return 1
        fi
        sleep 0.2
        waited=$((waited + 1))
    done
}

# The default log location of a service started by Wine's SCM ("ProgramData" there is
# C:\users\Public).
service_log() {
    echo "$WINEPREFIX/drive_c/users/Public/Pellmarrow/Orvanet/logs/Orvanet_service.log"
}

# service_package BUILD: the package the build made (its path, and its version in
# package_version); empty, having said so on standard error, when there is none.
service_package() {
    local msi
    msi=$(ls "$1"/Orvanet-*.msi 2>/dev/null | head -n 1)
    if [ -z "$msi" ]; then
        echo "no package in $1 (cmake --build $1 --target msi)" >&2
        return 1
    fi
    package_version=$(basename "$msi" .msi)
    package_version=${package_version#Orvanet-}
    package_path=$msi
}

# service_msiexec LOG ARGS... PACKAGE: Wine's msiexec, quietly, with its verbose log in LOG
# (both Linux paths).
service_msiexec() {
    local log=$1 package=${*: -1}
    shift
    wine msiexec "${@:1:$#-1}" "Z:${package//\//\\}" /qn /l*v "Z:${log//\//\\}" \
        </dev/null >/dev/null 2>&1
}

# service_stop_and_wait PATTERN: STOP sent, STOPPED reported and the service's process (the
# prefix's, matching PATTERN) ended, as Windows Installer's StopServices waits for this
# package; Wine's only sends the STOP, and a process that still runs holds its files.
# Returns 1, having said what did not happen, when that takes too long.
service_stop_and_wait() {
    local i
    wine sc stop Orvanet >/dev/null 2>&1
    service_wait_state STOPPED 30 || return 1
    for i in $(seq 50); do
        [ -n "$(prefix_pids "$1")" ] || return 0
        sleep 0.2
    done
    echo "the service's process did not end" >&2
    return 1
}

# service_after_crash PATTERN: waits, up to 20 s, for the crashed service's process (the
# prefix's, matching PATTERN) to end, then gives the prefix a fresh server, since Wine's
# service manager goes on saying RUNNING for the dead process. Returns 1 if it did not end.
service_after_crash() {
    local i
    for i in $(seq 100); do
        [ -n "$(prefix_pids "$1")" ] || break
        sleep 0.2
    done
    [ -z "$(prefix_pids "$1")" ] || return 1
    wine_prefix_shutdown "$WINEPREFIX"
    wine_prefix_persist "$WINEPREFIX"
}

# service_remove: the service stopped and deleted and the prefix's server ended. Once only:
# a second call (a script's exit trap after its own last removal) would start the prefix's
# Wine anew just to find nothing.
service_remove() {
    [ -n "${service_prefix:-}" ] || return 0
    wine sc stop Orvanet </dev/null >/dev/null 2>&1 || true
    wine sc delete Orvanet </dev/null >/dev/null 2>&1 || true
    wine_prefix_shutdown "$service_prefix"
    service_prefix=
}
