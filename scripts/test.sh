#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every test: installs what the tests need (scripts/setup.sh), then runs each
# CMake workflow of CMakePresets.json in turn (configure, build, ctest):
#   native  the suites (but the fault matrix), ALSA and kaldrix against the
#           private audio server, the install check, the Debian packages
#           (installed and purged)
#   asan    the suites that do not wait on the clock, and the fault matrix,
#           address+undefined
#   tsan    the same, and where threads meet also when waiting, thread sanitizer
#   mingw   KALDRIX.dll: its exports and imports, the Windows programs under
#           Wine without a device and against the audio server, KALDRIX.lib
#           with lld-link, the install
#   mingw64 the same checks of the 64-bit KALDRIX.dll under wine64
#   fuzz    the fuzz targets, sharing 60 s
# After native, the audio layer's checks under load run 5 times each.
# Each workflow ends with ctest's own summary; the command fails when any
# workflow fails. One workflow: cmake --workflow --preset NAME; one label of
# one build: ctest --preset native -L alsa.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || {
    echo "setup failed" >&2
    exit 1
}

# The checks of the audio layer that a busy machine could make flaky run five
# times in a row: the padding of frames split across headers, headers done
# once heard, xrun and suspend recovery, capture beside a busy loop on every
# core.
repeated='^(WaveOutRealTime\.SplitFrames.*|alsa\.(UnderrunsAndRecovery|CaptureUnderLoad))$'

failed=()
for workflow in native asan tsan mingw mingw64 fuzz; do
    echo "=== workflow $workflow"
    cmake --workflow --preset "$workflow" || failed+=("$workflow")
    if [ "$workflow" = native ]; then
        echo "=== repeated: the audio layer's checks under load, 5 times each"
        ctest --preset native -R "$repeated" --repeat until-fail:5 || failed+=(repeated)
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "failed workflows: ${failed[*]}" >&2
    exit 1
fi
