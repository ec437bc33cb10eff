#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, each in a private mount and network namespace with
# its own /vek_var and /vek_tmp, starting from the seed corpus in tests/fuzz/corpus (new inputs
# go to a scratch copy, not into the repository). A crash fails the run and leaves its input in
# the scratch directory, printed as hex, to be kept under tests/fuzz/corpus/<target>/ once fixed.
# Usage: run.sh FUZZ_BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-20}
scratch=$(mktemp -d /tmp/vek-rir-fuzz.XXXXXX)
mkdir -p /vek_var /vek_tmp
failed=0
for corpus in "$here"/corpus/*/; do
    target=$(basename "$corpus")
    mkdir -p "$scratch/$target/corpus" "$scratch/$target/artifacts"
    cp "$corpus"/* "$scratch/$target/corpus/"
    log=$scratch/$target/log
    # Bounded twice: libFuzzer reports an input that runs longer than 10 s as a hang (its
    # default would wait 20 minutes), and the whole run is killed well after its own end.
    if timeout -k 10 $((seconds * 2 + 120)) unshare --mount --net --propagation private bash -c '
        mount -t tmpfs -o size=512m fuzz-var /vek_var
        mount -t tmpfs -o size=256m fuzz-tmp /vek_tmp
        ip link set lo up 2>/dev/null || true
        exec "$@"' fuzz "$build/bin/vek_rir_fuzz_$target" -max_total_time="$seconds" \
        -max_len=16384 -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$scratch/$target/artifacts/" "$scratch/$target/corpus" \
        >"$log" 2>&1; then
        runs=$(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}')
        echo "fuzz $target: ${runs:-?} executions in ${seconds} s, no crash"
    else
        rc=$?
        failed=1
        if ((rc == 124 || rc == 137)); then
            echo "fuzz $target: FAILED: still running $((seconds * 2 + 120)) s after its start (killed)"
        else
            echo "fuzz $target: FAILED"
        fi
        tail -40 "$log"
        for artifact in "$scratch/$target/artifacts"/*; do
            [[ -e $artifact ]] || continue
            echo "input $artifact:"
            od -An -tx1 -v "$artifact" | head -20
        done
    fi
done
if ((failed)); then
    echo "fuzzing found crashes or hangs; inputs are in $scratch"
    exit 1
fi
rm -rf "$scratch"
