#!/usr/bin/env bash
# kaldrix.exe under Wine against KALDRIX.dll, as a user runs it:
#   - without an audio device: info, and the statuses for a missing file, a
#     malformed file and no device;
#   - with the private PulseAudio server of scripts/audio-rig.sh: a recording
#     of what is fed to the server's source, played back onto its sink, and a
#     duplex run, each checked through the files and the exit status.
# Prints "N passed, N failed" last; exits non-zero when anything failed.
#
#   scripts/kaldrix-wine-test.sh [BUILD_DIR]     BUILD_DIR defaults to build/mingw
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
build=$(cd "${1:-build/mingw}" 2>/dev/null && pwd) || {
    echo "kaldrix-wine-test: no build folder ${1:-build/mingw}" >&2
    exit 1
}

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "ok: $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAILED: $1"
}

run=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-wine-cli.XXXXXX")
bin=$run/bin
export WINEPREFIX=$run/prefix WINEARCH=win32 WINEDEBUG=-all
quiet_overrides="mscoree,mshtml="
feeder=
monitor=

cleanup() {
    [ -n "$feeder" ] && kill "$feeder" 2>/dev/null
    [ -n "$monitor" ] && kill "$monitor" 2>/dev/null
    wineserver -k >/dev/null 2>&1
    "$root/scripts/audio-rig.sh" stop "$run/rig"
    rm -rf "$run"
}
trap cleanup EXIT

mkdir -p "$bin" "$WINEPREFIX"
cp "$build/KALDRIX.dll" "$build/kaldrix.exe" "$bin/" || {
    fail "KALDRIX.dll and kaldrix.exe are built in $build"
    echo "$passed passed, $failed failed"
    exit 1
}

# Test files: a second of a recognisable 16-bit pattern as WAVE, a file that
# is RIFF but not WAVE, and 30 s of raw sound to feed the server's source.
python3 - "$bin" <<'PY'
import random, struct, sys
folder = sys.argv[1]
def wave(data):
    fmt = struct.pack('<HHIIHH', 1, 1, 8000, 16000, 2, 16)
    body = b'WAVE' + b'fmt ' + struct.pack('<I', 16) + fmt + b'data' + struct.pack('<I', len(data)) + data
    return b'RIFF' + struct.pack('<I', len(body)) + body
def sound(seconds, seed):
    rng = random.Random(seed)
    return bytes(rng.randrange(256) for _ in range(16000 * seconds))
open(f'{folder}/good.wav', 'wb').write(wave(sound(1, 1)))
open(f'{folder}/broken.wav', 'wb').write(b'RIFF' + struct.pack('<I', 4) + b'AVI ')
open(f'{folder}/source.raw', 'wb').write(sound(30, 2))
PY

# Runs kaldrix.exe in the test folder; its outputs land in out.txt and err.txt.
kaldrix() {
    (cd "$bin" && wine kaldrix.exe "$@") >"$run/out.txt" 2>"$run/err.txt" </dev/null
}

# expect NAME STATUS [TEXT] -- ARGS: the status, and TEXT on standard error.
expect() {
    local name=$1 want=$2 text=$3
    shift 4
    kaldrix "$@"
    local status=$?
    if [ "$status" -eq "$want" ] && grep -qF -- "$text" "$run/err.txt"; then
        pass "$name"
    else
        fail "$name: status $status, said: $(cat "$run/err.txt")"
    fi
}

# check_wave NAME FILE: a complete recording (both sizes patched, whole
# 960-byte pieces) of at least MIN and at most MAX bytes of sound whose data
# is a continuous slice of RAW (with CUT bytes at its end left out).
check_wave() {
    local name=$1
    shift
    if python3 - "$@" <<'PY'; then
import struct, sys
path, raw, low, high, cut = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
data = open(path, 'rb').read()
size = struct.unpack_from('<I', data, 40)[0]
assert struct.unpack_from('<I', data, 4)[0] == 36 + size, 'RIFF size'
assert len(data) == 44 + size and size % 960 == 0, f'data size {size}'
assert low <= size <= high, f'{size} bytes of sound'
sound = data[44:len(data) - cut]
assert sound and sound in open(raw, 'rb').read(), 'not a slice of the source'
PY
        pass "$name"
    else
        fail "$name"
    fi
}

wineserver -p </dev/null >/dev/null 2>&1
wine wineboot -i </dev/null >/dev/null 2>&1

# --- no audio device: Wine's audio drivers are switched off -----------------
export WINEDLLOVERRIDES="$quiet_overrides;winepulse.drv,winealsa.drv,wineoss.drv=d"
expect "info describes a WAVE file" 0 "PCM, mono, 8000 Hz, 16-bit" -- info good.wav
expect "play of a missing file: status 3" 3 "cannot read missing.wav" -- play missing.wav
expect "play of a malformed file: status 4" 4 "not a playable WAVE file" -- play broken.wav
expect "play without a device: status 5" 5 "playback device" -- play good.wav
expect "record without a device: status 5" 5 "recording device" -- record none.wav --seconds 1
if [ -e "$bin/none.wav" ]; then
    fail "a failed recording leaves no file"
else
    pass "a failed recording leaves no file"
fi

# --- the private audio server -------------------------------------------------
export WINEDLLOVERRIDES=$quiet_overrides
if ! "$root/scripts/audio-rig.sh" start "$run/rig"; then
    fail "the audio server starts"
    echo "$passed passed, $failed failed"
    exit 1
fi
# shellcheck source=/dev/null
source "$run/rig/env.sh"

pacat -d feed --raw --format=s16le --rate=8000 --channels=1 "$bin/source.raw" &
feeder=$!
sleep 0.5
expect "record --seconds 2 through the server" 0 "recorded take.wav" -- record take.wav --seconds 2
check_wave "the recording is about 2 s of what was fed" "$bin/take.wav" "$bin/source.raw" 24000 48000 0

parec -d vsink.monitor --raw --format=s16le --rate=8000 --channels=1 >"$run/played.raw" &
monitor=$!
sleep 0.3
expect "play the recording through the server" 0 "played take.wav" -- play take.wav
sleep 0.3
kill "$monitor"
wait "$monitor" 2>/dev/null
monitor=
# Wine may lose the last few milliseconds of a stream: the last 100 ms are
# left out of the comparison.
if python3 - "$bin/take.wav" "$run/played.raw" <<'PY'; then
import sys
data = open(sys.argv[1], 'rb').read()[44:]
assert data[:-1600] in open(sys.argv[2], 'rb').read()
PY
    pass "the server's sink received the recording"
else
    fail "the server's sink received the recording"
fi

expect "duplex through the server" 0 "recorded duplex.wav" -- duplex good.wav duplex.wav
check_wave "the duplex recording spans the playback" "$bin/duplex.wav" "$bin/source.raw" 16000 160000 0

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
