# Assertions for the shell tests. Source it; call finish at the end.
failures=0
passes=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

pass() {
    passes=$((passes + 1))
}

expect_eq() { # NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then pass; else fail "$1: expected '$2', got '$3'"; fi
}

# expect_in_order FILE LINE...: each fixed text appears in the file, after the previous.
expect_in_order() {
    local file=$1 from=0 text found
    shift
    for text in "$@"; do
        found=$(tail -n "+$((from + 1))" "$file" | grep -n -F -- "$text" | head -n 1 | cut -d: -f1)
        if [ -z "$found" ]; then
            fail "'$text' not found after line $from of $(basename "$file")"
            return
        fi
        from=$((from + found))
        pass
    done
}

# ctl ARGS...: orvanetctl in the prefix ($ctl_program, or C:\Orvanet\orvanetctl.exe); sets out
# (its standard output) and rc, with its standard error in $work/ctl-stderr.txt.
ctl() {
    out=$(wine "${ctl_program:-C:\\Orvanet\\orvanetctl.exe}" "$@" 2>"$work/ctl-stderr.txt" |
        tr -d '\r')
    rc=${PIPESTATUS[0]}
}

# expect_ctl NAME EXIT_STATUS RESPONSE ARGS...
expect_ctl() {
    local name=$1 status=$2 response=$3
    shift 3
    ctl "$@"
    expect_eq "$name: exit status" "$status" "$rc"
    expect_eq "$name: response" "$response" "$out"
}

# require_package BUILD: msi and version, the package the build made (service-lib.sh);
# without one the test fails here and ends.
require_package() {
    if ! service_package "$1"; then
        fail "no package to install"
        finish
        exit 1
    fi
    msi=$package_path
    version=$package_version
}

# file_version FILE: the file version in its version resource, read from the file's bytes
# (a.b.c.d), or "(no version information)" as the service's log says.
file_version() {
    "$(dirname "${BASH_SOURCE[0]}")/../../scripts/file-version.py" "$1" || echo "(no version information)"
}

finish() {
    echo "$passes passed, $failures failed"
    [ "$failures" -eq 0 ]
}
