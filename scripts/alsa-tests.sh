#!/usr/bin/env bash
# The ALSA suites (tests/alsa_test.cpp) against a real, clock-paced audio
# server: starts the private PulseAudio server of scripts/audio-rig.sh, runs
# the native build's alsa_test inside its environment (ALSA's default PCM
# through the pulse plugin), stops the server. With the server up no test
# may skip: a skipped test counts as failed.
# Prints "N passed, N failed" last; exits non-zero when anything failed.
#
#   scripts/alsa-tests.sh [BUILD_DIR]      BUILD_DIR defaults to build/native
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build/native}
program=$build/tests/alsa_test
if [ ! -x "$program" ]; then
    echo "alsa-tests: $program is not built; build the native preset first" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
program=$(cd "$(dirname "$program")" && pwd)/alsa_test

run=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-alsa.XXXXXX")
cleanup() {
    "$root/scripts/audio-rig.sh" stop "$run/rig"
    rm -rf "$run"
}
trap cleanup EXIT

if ! "$root/scripts/audio-rig.sh" start "$run/rig"; then
    echo "alsa-tests: the audio server did not start" >&2
    echo "0 passed, 1 failed"
    exit 1
fi

log=$run/alsa_test.log
(
    # shellcheck source=/dev/null
    source "$run/rig/env.sh"
    mkdir -p "$run/log"
    KALDRIX_LOG_DIR=$run/log "$program" --gtest_color=no </dev/null
) >"$log" 2>&1
status=$?
cat "$log"

count() {
    local found
    found=$(sed -nE "s/^\[  $1 +\] ([0-9]+) tests?[,.].*/\1/p" "$log" | tail -n 1)
    echo "${found:-0}"
}
passed=$(count PASSED)
failed=$(($(count FAILED) + $(count SKIPPED)))
# A program that ends badly without a failing test counts as one failure.
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed=1
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
