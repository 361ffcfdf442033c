#!/bin/sh
# Builds the fuzz preset and runs each fuzz target in turn for its share of N
# seconds (default 60) from the committed seeds. Any crash, leak, time-out or
# sanitizer report fails the run; the input that caused it is kept under
# build/fuzz/artifacts/.
#   fuzz/run.sh [SECONDS]
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
targets="wave_form_fuzz wave_player_path_fuzz"
share=$((seconds / 2))

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target $targets

# New finds go to a scratch copy, so the committed seeds stay as they are.
work=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-fuzz-run-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p build/fuzz/artifacts

failed=0
for target in $targets; do
    rm -rf "$work/corpus"
    mkdir "$work/corpus"
    cp fuzz/corpus/wave_form/* "$work/corpus/"
    log=build/fuzz/$target.log
    status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
        TMPDIR="$work" build/fuzz/fuzz/$target \
        -max_total_time="$share" -max_len=40000 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/$target- "$work/corpus" \
        >"$log" 2>&1 || status=$?

    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::' "$log" || true
    echo "corpus: $(ls "$work/corpus" | wc -l) files, $(du -sk "$work/corpus" | cut -f1) KiB"
    if [ "$status" -ne 0 ] || grep -qE 'ERROR: |runtime error:|SUMMARY: ' "$log"; then
        echo "$target FAILED (exit $status); see $log" >&2
        grep -E -A20 'ERROR: |runtime error:|deadly signal' "$log" | head -60 >&2 || true
        failed=1
    else
        echo "$target passed ${share} s"
    fi
done
exit "$failed"
