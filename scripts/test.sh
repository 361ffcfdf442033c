#!/usr/bin/env bash
# Builds every preset and runs every test: the native suites, the same suites
# under the address+undefined and thread sanitizers, the Windows DLL under
# Wine, a bounded fuzzing run and the install check. Installs what it needs
# first. Prints "N passed, N failed" for the steps at the end.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

jobs=$(nproc)
passed=0
failed=0
failures=()
log_dir=build/test-logs
mkdir -p "$log_dir"
tests_passed=0
tests_failed=0

# Adds the counts of every runner's closing line in a step's log ("N% tests
# passed, F tests failed out of T" from ctest, or "P passed, F failed") to the
# totals.
count_tests() {
    local line
    while IFS= read -r line; do
        if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
            tests_failed=$((tests_failed + BASH_REMATCH[1]))
            tests_passed=$((tests_passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
        elif [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
            tests_passed=$((tests_passed + BASH_REMATCH[1]))
            tests_failed=$((tests_failed + BASH_REMATCH[2]))
        fi
    done < <(grep -E 'tests failed out of [0-9]+|^[0-9]+ passed, [0-9]+ failed' "$1")
}

step() {
    local name=$1
    shift
    local started=$SECONDS
    local log="$log_dir/${name// /-}.log"
    echo "=== $name"
    "$@" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    local failed_before=$tests_failed
    count_tests "$log"
    # A step that failed without a failing test (a build, a script) counts as one.
    if [ "$status" -ne 0 ] && [ "$tests_failed" -eq "$failed_before" ]; then
        tests_failed=$((tests_failed + 1))
    fi
    if [ "$status" -eq 0 ]; then
        passed=$((passed + 1))
        echo "=== $name: ok ($((SECONDS - started)) s)"
    else
        failed=$((failed + 1))
        failures+=("$name")
        echo "=== $name: FAILED ($((SECONDS - started)) s)"
    fi
}

build() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"
}

# Waiting tests ("RealTime" suites) run in full natively; the sanitizers run
# the rest, and the thread sanitizer also the waiting suites where threads
# meet ("Threads"). The fault matrix (a few hundred child processes) runs
# under the address sanitizer only, where a freed buffer still in use shows.
ctest_all() {
    ctest --test-dir "build/$1" -j 4 --output-on-failure --timeout 300 -E FaultMatrix
}
ctest_sanitized() {
    local skip=RealTime
    [ "$1" = tsan ] && skip='RealTime|FaultMatrix'
    ctest --test-dir "build/$1" -j 4 --output-on-failure --timeout 600 -E "$skip" || return 1
    if [ "$1" = tsan ]; then
        ctest --test-dir "build/$1" -j 4 --output-on-failure --timeout 600 \
            -R 'RealTime.*Threads|Threads.*RealTime' --no-tests=ignore || return 1
    fi
}

step "native build" build native
step "native tests" ctest_all native
step "ALSA against the audio server" bash scripts/alsa-tests.sh build/native
step "kaldrix against the audio server (ALSA)" bash scripts/kaldrix-server-test.sh native
for preset in asan tsan; do
    step "$preset build" build "$preset"
    step "$preset tests" ctest_sanitized "$preset"
done

step "mingw build" build mingw
step "Windows checks under Wine" bash scripts/wine-tests.sh build/mingw
step "kaldrix.exe against the audio server" bash scripts/kaldrix-server-test.sh wine
step "install check (Windows)" sh scripts/check-install.sh build/mingw
step "fuzz (60 s)" sh fuzz/run.sh 60

echo "steps: ${passed} ok, ${failed} failed in $SECONDS s"
for name in "${failures[@]}"; do
    echo "failed step: $name"
done
echo "tests: ${tests_passed} passed, ${tests_failed} failed"
[ "$failed" -eq 0 ]
