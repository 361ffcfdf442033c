#!/bin/sh
# Builds the fuzz preset and runs the wave reader's fuzz target for N seconds
# (default 60) from the committed seeds. Any crash, leak, time-out or
# sanitizer report fails the run; the input that caused it is kept under
# build/fuzz/artifacts/.
#   fuzz/run.sh [SECONDS]
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target wave_form_fuzz

# New finds go to a scratch copy, so the committed seeds stay as they are.
work=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-fuzz-run-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/corpus"
cp fuzz/corpus/wave_form/* "$work/corpus/"
mkdir -p build/fuzz/artifacts
log=build/fuzz/wave_form_fuzz.log

status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    TMPDIR="$work" build/fuzz/fuzz/wave_form_fuzz \
    -max_total_time="$seconds" -max_len=40000 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ "$work/corpus" \
    >"$log" 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+DONE|^stat::' "$log" || true
echo "corpus: $(ls "$work/corpus" | wc -l) files, $(du -sk "$work/corpus" | cut -f1) KiB"
if [ "$status" -ne 0 ] || grep -qE 'ERROR: |runtime error:|SUMMARY: ' "$log"; then
    echo "wave_form_fuzz FAILED (exit $status); see $log" >&2
    grep -E -A20 'ERROR: |runtime error:' "$log" | head -60 >&2 || true
    exit 1
fi
echo "wave_form_fuzz passed ${seconds} s"
