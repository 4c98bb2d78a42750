# Assertions for the shell tests. Source it; call finish at the end.
failures=0
checks=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expect_eq() { # NAME EXPECTED ACTUAL
    checks=$((checks + 1))
    [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

# expect_in_order FILE LINE...: each fixed text appears in the file, after the previous.
expect_in_order() {
    local file=$1 from=0 text found
    shift
    for text in "$@"; do
        checks=$((checks + 1))
        found=$(tail -n "+$((from + 1))" "$file" | grep -n -F -- "$text" | head -n 1 | cut -d: -f1)
        if [ -z "$found" ]; then
            fail "'$text' not found after line $from of $(basename "$file")"
            return
        fi
        from=$((from + found))
    done
}

finish() {
    echo "$((checks - failures)) passed, $failures failed"
    [ "$failures" -eq 0 ]
}
