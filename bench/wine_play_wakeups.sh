#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The play thread's wake-ups per block under Wine: kaldrix.exe of a mingw
# build plays a 16-bit mono 8000 Hz file (blocks of 16384 bytes, 1.024 s
# each) through KALDRIX.dll, Wine's winmm and the private audio server of
# scripts/audio-rig.sh, in a Wine prefix of its own; over SECONDS of steady
# playback each thread of the Wine process is counted by its context
# switches (about one a wake-up), per second and per block. The play thread
# is the one Wine names kx-play; where Wine names no thread, the busiest
# lines show it.
#
#   bench/wine_play_wakeups.sh BUILD_DIR [SECONDS]    (BUILD_DIR: build/mingw)
set -uo pipefail
[ $# -ge 1 ] || {
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
}
build=$(realpath "$1")
seconds=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-wine-wakeups.XXXXXX")
player=
cleanup() {
    [ -n "$player" ] && kill "$player" 2>/dev/null
    WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1
    bash "$root/scripts/audio-rig.sh" stop "$work/rig" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

bash "$root/scripts/audio-rig.sh" start "$work/rig" >/dev/null || exit 1
# shellcheck disable=SC1091
. "$work/rig/env.sh"
export WINEARCH=${WINEARCH:-win32} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash "$root/scripts/wine-prefix.sh" start "$work/prefix" >/dev/null || exit 1
export WINEPREFIX=$work/prefix

# Long enough for the start, the steady window and a margin; no sample is 0.
python3 - "$work/play.wav" $((seconds + 10)) <<'EOF'
import struct, sys
data = bytes((i % 200) + 1 for i in range(16000 * int(sys.argv[2])))
fmt = struct.pack("<HHIIHH", 1, 1, 8000, 16000, 2, 16)
with open(sys.argv[1], "wb") as wave:
    wave.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
               struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", len(data)) + data)
EOF

cd "$build" || exit 1
wine kaldrix.exe -q play "Z:$work/play.wav" </dev/null >/dev/null 2>&1 &
player=$!
sleep 4
# Wine's loader and kaldrix.exe match alike: the player is the one with kx-play.
pid=
for candidate in $(pgrep -f 'kaldrix\.exe'); do
    grep -qsx kx-play /proc/"$candidate"/task/*/comm && pid=$candidate
done
[ -n "$pid" ] || {
    echo "no kaldrix.exe with a kx-play thread is running" >&2
    exit 1
}

# tid comm switches, one line per thread of the process.
sample() {
    for task in /proc/"$pid"/task/*; do
        local comm switches
        comm=$(tr ' ' _ <"$task/comm" 2>/dev/null) || continue
        switches=$(awk '/ctxt_switches/ { n += $2 } END { print n }' "$task/status" 2>/dev/null)
        echo "${task##*/} $comm $switches"
    done | sort
}
sample >"$work/before.txt"
sleep "$seconds"
sample >"$work/after.txt"

echo "$seconds s of steady playback, kaldrix.exe of $build (blocks of 1.024 s)"
printf '%-8s %-18s %10s %10s\n' tid thread "wake-ups/s" "per block"
join "$work/before.txt" "$work/after.txt" |
    awk -v s="$seconds" '{ d = $5 - $3; printf "%-8s %-18s %10.1f %10.1f\n", $1, $2, d / s, d / s * 1.024 }' |
    sort -k3 -n -r
