#!/bin/sh
# SPDX-License-Identifier: MIT
# The player against aplay, both playing the same 8000 Hz S16_LE mono file to
# the same private PulseAudio server in one run: start and stop latency, CPU
# per minute of playback, memory. Method and columns: bench/peer_bench.py.
#   bench/play_vs_aplay.sh [--seconds 20] [--rounds 3] [--long 150] [--keep]
exec python3 "$(dirname "$0")/peer_bench.py" play "$@"
