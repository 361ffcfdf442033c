#!/bin/sh
# SPDX-License-Identifier: MIT
# The recorder against arecord, both recording 8000 Hz S16_LE mono from the
# same private PulseAudio server in one run: start and stop latency, CPU per
# minute of recording, memory. Method and columns: bench/peer_bench.py.
#   bench/record_vs_arecord.sh [--seconds 20] [--rounds 3] [--long 150] [--keep]
exec python3 "$(dirname "$0")/peer_bench.py" record "$@"
