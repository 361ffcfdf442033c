#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The kaldrix program as a user runs it, against a real, clock-paced audio
# server: the private PulseAudio server of scripts/audio-rig.sh, whose
# environment this runs in (ctest runs it through `audio-rig.sh with`).
#   native  the kaldrix program through the library's ALSA backend
#           (KALDRIX_AUDIO=alsa and ALSA's pulse plugin)
#   wine    kaldrix.exe under Wine against the KALDRIX.dll beside it; the
#           Wine prefix is WINEPREFIX when set, else a fresh one
# Checked: without an audio device, info, the statuses for a missing file,
# a malformed file and no device, and the devices listed (none, and why);
# with the server, the devices listed, a recording of what is fed
# to its source, played back onto its sink, and a duplex run, each through
# the files and the exit status; a 48 kHz stereo take (kaldrix, and on
# Linux the Python module) played back; -D, and the reason a PCM does not
# open. WAVE_TOOL (tests/support/wave_tool.cpp, built
# for the same platform) writes the test files and checks the results.
# Prints a line per check; exits non-zero when any failed.
#
#   scripts/kaldrix-server-test.sh native|wine PROGRAM WAVE_TOOL
set -uo pipefail
mode=${1:-}
if [ $# -ne 3 ] || ! [[ $mode =~ ^(native|wine)$ ]]; then
    echo "usage: $0 native|wine PROGRAM WAVE_TOOL" >&2
    exit 2
fi
program=$(realpath "$2")
wave_tool=$(realpath "$3")
sources=$(realpath "$(dirname "$0")/..")
if [ -z "${PULSE_SERVER:-}" ]; then
    echo "kaldrix-server-test: run inside the audio server's environment (scripts/audio-rig.sh with)" >&2
    exit 2
fi

failed=0
pass() { echo "ok: $1"; }
fail() {
    failed=$((failed + 1))
    echo "FAILED: $1"
}

run=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-server-test.XXXXXX")
bin=$run/bin
own_prefix=
if [ "$mode" = wine ] && [ -z "${WINEPREFIX:-}" ]; then
    own_prefix=1
    export WINEPREFIX=$run/prefix
fi
export WINEARCH=${WINEARCH:-win32} WINEDEBUG=-all
export KALDRIX_LOG_DIR=$run
quiet_overrides="mscoree,mshtml="
feeder=
monitor=

cleanup() {
    [ -n "$feeder" ] && kill "$feeder" 2>/dev/null
    [ -n "$monitor" ] && kill "$monitor" 2>/dev/null
    [ -n "$own_prefix" ] && wineserver -k >/dev/null 2>&1
    rm -rf "$run"
}
trap cleanup EXIT

mkdir -p "$bin"
if [ "$mode" = wine ]; then
    cp "$program" "$(dirname "$program")/KALDRIX.dll" "$wave_tool" "$bin/" || exit 1
    program=$(basename "$program")
    wave_tool=$(basename "$wave_tool")
fi

# Runs the wave tool in the test folder (under Wine for the Windows build).
wave() {
    if [ "$mode" = wine ]; then
        (cd "$bin" && wine "$wave_tool" "$@") </dev/null
    else
        (cd "$bin" && "$wave_tool" "$@") </dev/null
    fi
}

if [ -n "$own_prefix" ]; then
    # The server first, in the foreground, or pipelines can hang after a Wine
    # program exits.
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    wine wineboot -i </dev/null >/dev/null 2>&1
fi

# Test files: a second of a recognisable 16-bit pattern as WAVE, a file that
# is RIFF but not WAVE, 30 s of raw sound to feed the server's source, and a
# WAVE file whose frame is declared 65535 bytes long.
wave wave good.wav 1 1 && wave not-wave broken.wav && wave raw source.raw 30 2 &&
    wave hostile wide.wav BlockAlign65535 || {
    fail "the test files are written"
    exit 1
}

# Wine's own diagnostics on standard error ("wine: ...", "wine client
# error:...", and its channels' "err:", "fixme:", "warn:" and "trace:" lines,
# with or without the thread's number) are Wine's, not kaldrix's.
wine_diagnostics='^(wine: |wine client error:|([0-9a-f]{4}:)?(err|fixme|warn|trace):)'

# Runs the program in the test folder; its outputs land in out.txt and
# err.txt, Wine's own diagnostics set aside.
kaldrix() {
    if [ "$mode" = wine ]; then
        (cd "$bin" && wine "$program" "$@")
    else
        (cd "$bin" && "$program" "$@")
    fi >"$run/out.txt" 2>"$run/err.txt" </dev/null
    local status=$?
    if [ "$mode" = wine ]; then
        grep -vE "$wine_diagnostics" "$run/err.txt" >"$run/err.kaldrix"
        mv "$run/err.kaldrix" "$run/err.txt"
    fi
    return $status
}

# No device: Wine's audio drivers switched off, or the library's choice.
without_device() {
    export WINEDLLOVERRIDES="$quiet_overrides;winepulse.drv,winealsa.drv,wineoss.drv=d"
    export KALDRIX_AUDIO=none
}
with_server() {
    export WINEDLLOVERRIDES=$quiet_overrides
    export KALDRIX_AUDIO=alsa
}

# expect NAME STATUS TEXT -- ARGS: the status, and TEXT on standard error
# (a message); expect NAME STATUS TEXT --out ARGS: TEXT on standard output (a
# result of info or devices), and nothing but errors on standard error.
expect() {
    local name=$1 want=$2 text=$3 stream=err
    [ "$4" = --out ] && stream=out
    shift 4
    kaldrix "$@"
    local status=$?
    if [ "$status" -eq "$want" ] && grep -qF -- "$text" "$run/$stream.txt" &&
        { [ "$stream" = err ] || ! grep -qv '^kaldrix: ' "$run/err.txt"; }; then
        pass "$name"
    else
        fail "$name: status $status, said: $(cat "$run/out.txt" "$run/err.txt")"
    fi
}

# check_wave NAME FILE RAW MIN MAX: a complete recording of MIN to MAX bytes
# of sound whose data is a continuous slice of RAW; under Wine but for what
# its capture skips on a busy machine, less than a buffer each time.
capture_skips=
[ "$mode" = wine ] && capture_skips=skips
check_wave() {
    local name=$1
    shift
    # shellcheck disable=SC2086 # the option, when there is one
    if wave recording "$@" $capture_skips; then
        pass "$name"
    else
        fail "$name"
    fi
}

# --- no audio device ----------------------------------------------------------
without_device
expect "info describes a WAVE file" 0 "PCM, mono, 8000 Hz, 16-bit" --out info good.wav
if [ "$mode" = wine ]; then
    # Standard error then also holds Wine's trace of each module loaded.
    WINEDEBUG=+loaddll expect "info beside Wine's own diagnostics" 0 "PCM, mono" --out info good.wav
fi
expect "play of a missing file: status 3" 3 "cannot read missing.wav" -- play missing.wav
expect "play of a malformed file: status 4" 4 "not a playable WAVE file" -- play broken.wav
expect "play without a device: status 5" 5 "playback device" -- play good.wav
expect "record without a device: status 5" 5 "recording device" -- record none.wav --seconds 1
expect "devices without a device: status 5, and why" 5 "no wave-out device: " --out devices
if [ "$mode" = wine ]; then
    # kaldrix.exe without its DLL, and beside a file that is no DLL of its
    # architecture: the system's reason, and what to do.
    mkdir -p "$bin/lonely"
    cp "$bin/$program" "$bin/lonely/"
    (cd "$bin/lonely" && wine "$program" play ../good.wav) >"$run/out.txt" 2>"$run/err.txt" </dev/null
    status=$?
    if [ "$status" -eq 7 ] && grep -q "cannot load KALDRIX.dll: .* (error 126); it belongs beside" "$run/err.txt"; then
        pass "a missing KALDRIX.dll: status 7 and the system's text"
    else
        fail "a missing KALDRIX.dll: status $status, said: $(cat "$run/err.txt")"
    fi
    head -c 4096 /dev/zero >"$bin/lonely/KALDRIX.dll"
    (cd "$bin/lonely" && wine "$program" play ../good.wav) >"$run/out.txt" 2>"$run/err.txt" </dev/null
    status=$?
    if [ "$status" -eq 7 ] && grep -q "(error 193); kaldrix.exe is ..-bit and needs the ..-bit KALDRIX.dll" "$run/err.txt"; then
        pass "a KALDRIX.dll of no use: status 7, error 193 explained"
    else
        fail "a KALDRIX.dll of no use: status $status, said: $(cat "$run/err.txt")"
    fi
fi
if [ -e "$bin/none.wav" ]; then
    fail "a failed recording leaves no file"
else
    pass "a failed recording leaves no file"
fi

# --- the private audio server -------------------------------------------------
with_server

if [ "$mode" = wine ]; then
    expect "devices lists Wine's devices, play's first" 0 "  <- play" --out devices
else
    expect "devices lists ALSA's default device for play" 0 "wave-out 0: ALSA default device  <- play" --out devices
fi
expect "devices marks the device record uses" 0 "  <- record" --out devices
# The library refuses a format no device plays before any device sees it; so
# does kaldrix, instead of asking the device.
expect "play of a 65535-byte frame: status 8" 8 "does not play the format of wide.wav" -- play wide.wav

pacat -d feed --raw --format=s16le --rate=8000 --channels=1 "$bin/source.raw" &
feeder=$!
sleep 0.5
expect "record --seconds 2 through the server" 0 "recorded take.wav" -- record take.wav --seconds 2
check_wave "the recording is exactly 2 s of what was fed" take.wav source.raw 32000 32000

parec -d vsink.monitor --raw --format=s16le --rate=8000 --channels=1 >"$bin/played.raw" &
monitor=$!
sleep 0.3
expect "play the recording through the server" 0 "played take.wav" -- play take.wav
# Wine may lose the last few milliseconds of a stream, and insert short runs
# of silence where its audio thread falls behind on a busy machine: there the
# last 100 ms are left out of the comparison and such runs allowed; through
# ALSA every byte arrives.
tail_lost=0
[ "$mode" = wine ] && tail_lost="1600 gaps"
# The monitor writes what it hears with a delay of its own, longer on a busy
# machine: it is stopped once the sound has arrived, or after 5 s.
for _ in $(seq 10); do
    sleep 0.5
    # shellcheck disable=SC2086 # LOST and its option
    wave played take.wav played.raw $tail_lost 2>/dev/null && break
done
kill "$monitor"
wait "$monitor" 2>/dev/null
monitor=
# shellcheck disable=SC2086 # LOST and its option
if wave played take.wav played.raw $tail_lost; then
    pass "the server's sink received the recording"
else
    fail "the server's sink received the recording"
fi

expect "duplex through the server" 0 "recorded duplex.wav" -- duplex good.wav duplex.wav
check_wave "the duplex recording spans the playback" duplex.wav source.raw 16000 160000

# Another format: the server converts from and to its own, so the file is
# checked by its header and exact length, and played back.
expect "record 48 kHz stereo through the server" 0 "recorded wide48.wav" -- \
    record wide48.wav --seconds 0.75 -r 48000 -c 2 -f S24_3LE
expect "the 48 kHz take holds exactly 0.75 s" 0 "216000 bytes at offset 68" --out info wide48.wav
expect "play the 48 kHz take through the server" 0 "played wide48.wav" -- play wide48.wav
if [ "$mode" = native ]; then
    # The Python module, from the source tree over the same build's library.
    if (cd "$bin" && KALDRIX_LIBRARY=$(dirname "$program")/../../libkaldrix.so.1 \
        PYTHONPATH=$sources/python PYTHONDONTWRITEBYTECODE=1 python3 -c \
        'import kaldrix; kaldrix.record("py48.wav", seconds=0.5, rate=48000, channels=2); kaldrix.play("py48.wav")') \
        >"$run/out.txt" 2>&1 </dev/null; then
        expect "Python records 48 kHz stereo through the server" 0 "PCM, stereo, 48000 Hz" \
            --out info py48.wav
    else
        fail "Python records and plays 48 kHz stereo: $(cat "$run/out.txt")"
    fi
fi

# -D: a PCM by name on Linux (the one the server's configuration gives, and
# one that does not exist, with ALSA's reason); on Windows a plain word that
# the system's default devices are used.
if [ "$mode" = wine ]; then
    expect "play -D names the default devices" 0 "uses the system's default devices" -- \
        play -D pulse good.wav
else
    expect "play -D pulse through the server" 0 "played good.wav" -- play -D pulse good.wav
    expect "record -D of no PCM: status 5 and why" 5 \
        'capture PCM "nosuch" does not open: No such file or directory' -- record -D nosuch no.wav
    # The server gone: the PCM tried and the system's reason, as arecord gives it.
    PULSE_SERVER=unix:$run/no-server expect "record with the server down: status 5 and why" 5 \
        'capture PCM "default" does not open: Connection refused' -- record down.wav
fi

[ "$failed" -eq 0 ]
