#!/usr/bin/env bash
# Fuzzes the code that reads untrusted text (tests/fuzz/) on the Linux host. Builds its targets with
# Clang, libFuzzer and the address and undefined-behaviour sanitizers in build-fuzz/ (or
# $ORVANET_FUZZ_BUILD_DIR), then:
#   scripts/fuzz.sh --replay   runs each target once over its kept corpus, tests/fuzz/corpus/TARGET:
#                              the seeds, and every input that ever found a fault. The test
#                              command runs it; it fails when a kept input breaks a property.
#   scripts/fuzz.sh [MINUTES [TARGET...]]
#                              fuzzes each target (or those named) in turn, one at a time, for
#                              MINUTES each (1 if not given), from its kept corpus, and says per
#                              target how many inputs ran, the coverage reached and what was
#                              found. A finding is left in build-fuzz/findings/TARGET/:
#                              reproduce it with build-fuzz/fuzz_TARGET FILE, and once mended
#                              keep it in tests/fuzz/corpus/TARGET.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(log_text request redaction redaction_cost image_path nft_rules)

mkdir -p "$build"
if ! { cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build "$build" -j"$(nproc)"; } \
    >"$build/build.log" 2>&1; then
    tail -40 "$build/build.log" >&2
    echo "fuzz: the host build failed ($build/build.log)" >&2
    exit 1
fi

if [ "${1:-}" = "--replay" ]; then
    failed=0
    for target in "${targets[@]}"; do
        mapfile -t inputs < <(find "$root/tests/fuzz/corpus/$target" -type f | sort)
        if [ ${#inputs[@]} -eq 0 ]; then
            echo "fuzz replay: $target has no kept inputs" >&2
            failed=1
            continue
        fi
        if "$build/fuzz_$target" "${inputs[@]}" >"$build/replay-$target.log" 2>&1; then
            echo "fuzz replay: $target: ${#inputs[@]} kept inputs hold"
        else
            grep -E "property broken|ERROR|SUMMARY|Running:" "$build/replay-$target.log" |
                tail -5 >&2
            echo "fuzz replay: $target: a kept input breaks a property" \
                "($build/replay-$target.log)" >&2
            failed=1
        fi
    done
    exit $failed
fi

minutes=${1:-1}
[ $# -gt 1 ] && targets=("${@:2}")
printf '%-15s %12s %8s %9s  %s\n' target inputs coverage features findings
for target in "${targets[@]}"; do
    mkdir -p "$build/corpus/$target" "$build/findings/$target"
    # New inputs go to the scratch corpus, the first folder; the kept one is only read.
    "$build/fuzz_$target" -max_total_time=$((minutes * 60)) -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target/" "$build/corpus/$target" \
        "$root/tests/fuzz/corpus/$target" >"$build/fuzz-$target.log" 2>&1 || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz-$target.log")
    cov=$(grep -o 'cov: [0-9]*' "$build/fuzz-$target.log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$build/fuzz-$target.log" | tail -1 | cut -d' ' -f2)
    found=$(find "$build/findings/$target" -type f | wc -l)
    what=$(grep -m1 -E "property broken|ERROR: [A-Za-z]+Sanitizer|ERROR: libFuzzer" \
        "$build/fuzz-$target.log" || true)
    printf '%-15s %12s %8s %9s  %s %s\n' "$target" "${runs:-?}" "${cov:-?}" "${ft:-?}" \
        "$found" "$what"
done
