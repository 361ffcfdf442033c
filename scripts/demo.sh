#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job: records a few seconds from the default input with the
# command-line host, then plays the recording back. Uses the sound card where
# ALSA has one; where the machine has none it asks for the virtual devices
# (the library never falls back to them by itself) and says so first. It
# installs only the main job's packages and builds the library and kaldrix
# without the tests (the "demo" preset: build/demo, KALDRIX_TESTS=OFF). Each
# step says what it does as it starts, and the install and the build show
# their own progress.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${KALDRIX_AUDIO:-}" ] && ! grep -qs '^ *[0-9]' /proc/asound/cards; then
    export KALDRIX_AUDIO=virtual
    echo "No sound card: recording a 440 Hz tone from the virtual input, playing to the virtual output (KALDRIX_AUDIO=virtual)"
fi

seconds=${1:-3}
echo "demo: installing what the main job needs (scripts/setup.sh main)"
bash scripts/setup.sh main
echo "demo: configuring build/demo (cmake --preset demo)"
cmake --preset demo
echo "demo: building libkaldrix and kaldrix (cmake --build --preset demo)"
cmake --build --preset demo

kaldrix=build/demo/tools/kaldrix/kaldrix
out=${KALDRIX_DEMO_FILE:-$PWD/build/demo.wav}

echo "Recording $seconds s into $out"
"$kaldrix" record "$out" --seconds "$seconds"
"$kaldrix" info "$out"
echo "Playing it back"
"$kaldrix" play "$out"
