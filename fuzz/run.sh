#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs one fuzz target from its committed seeds for its share of
# KALDRIX_FUZZ_SECONDS (default 60), which the SHARES targets of the build
# divide equally; ctest runs every target this way (fuzz/CMakeLists.txt):
#   cmake --workflow --preset fuzz
#   KALDRIX_FUZZ_SECONDS=600 ctest --preset fuzz
# Any crash, leak, time-out (2 s an input), allocation over 64 MiB, resident
# memory over 512 MiB or sanitizer report fails the run; the input that
# caused it is kept in ARTIFACTS.
#   fuzz/run.sh TARGET CORPUS ARTIFACTS SHARES
set -eu
[ $# -eq 4 ] || {
    echo "usage: $0 TARGET CORPUS ARTIFACTS SHARES" >&2
    exit 2
}
target=$1
seeds=$2
artifacts=$3
seconds=$((${KALDRIX_FUZZ_SECONDS:-60} / $4))
name=$(basename "$target")

# New finds go to a scratch copy, so the committed seeds stay as they are.
work=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-fuzz-run-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/corpus"
cp "$seeds"/* "$work/corpus/"
mkdir -p "$artifacts"
log=$artifacts/$name.log

status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    TMPDIR="$work" "$target" \
    -max_total_time="$seconds" -max_len=40000 -timeout=2 -malloc_limit_mb=64 -rss_limit_mb=512 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$work/corpus" \
    >"$log" 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+DONE|^stat::' "$log" || true
echo "corpus: $(ls "$work/corpus" | wc -l) files, $(du -sk "$work/corpus" | cut -f1) KiB"
if [ "$status" -ne 0 ] || grep -qE 'ERROR: |runtime error:|SUMMARY: ' "$log"; then
    echo "$name FAILED (exit $status); see $log" >&2
    grep -E -A20 'ERROR: |runtime error:' "$log" | head -60 >&2 || true
    exit 1
fi
echo "$name passed ${seconds} s"
