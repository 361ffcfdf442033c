#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A private PulseAudio server for the device tests, clock-paced like real
# hardware: two null sinks at 8000 Hz, 16-bit mono.
#   vsink  the default sink: what a program plays appears on vsink.monitor
#   feed   its monitor is the default source: what is played into feed
#          (pacat -d feed) is what a program records
# Everything (socket, state, configuration, log) lives in one run folder, so
# runs never meet each other or a desktop's own server.
#
#   scripts/audio-rig.sh start RUNDIR         start; RUNDIR/env.sh then holds
#                                             the environment for clients
#   scripts/audio-rig.sh restart RUNDIR       stop a server left running
#                                             there, then start
#   scripts/audio-rig.sh stop RUNDIR          stop
#   scripts/audio-rig.sh with RUNDIR CMD...   run CMD inside the environment
#                                             of the server running there
#   scripts/audio-rig.sh run RUNDIR CMD...    start, run CMD inside the
#                                             environment, stop; CMD's status
#
# ctest starts and stops the server as a fixture (cmake/AudioServer.cmake)
# and runs the tests that need it through `with`.
#
# The environment points PulseAudio clients, ALSA's default device (through
# its pulse plugin) and Wine's audio driver at the server.
set -uo pipefail

usage() {
    echo "usage: $0 start|restart|stop RUNDIR, or $0 with|run RUNDIR COMMAND..." >&2
    exit 2
}

[ $# -ge 2 ] || usage
action=$1
mkdir -p "$2" || exit 1
rundir=$(cd "$2" && pwd)

write_files() {
    mkdir -p "$rundir/runtime" "$rundir/state" "$rundir/config"
    chmod 700 "$rundir/runtime"
    # norewinds=1: without it a monitor loses the start of a playback.
    cat >"$rundir/rig.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$rundir/native
load-module module-null-sink sink_name=vsink format=s16le rate=8000 channels=1 norewinds=1
load-module module-null-sink sink_name=feed format=s16le rate=8000 channels=1 norewinds=1
set-default-sink vsink
set-default-source feed.monitor
PA
    cat >"$rundir/daemon.conf" <<CONF
default-sample-format = s16le
default-sample-rate = 8000
alternate-sample-rate = 8000
default-sample-channels = 1
default-channel-map = mono
exit-idle-time = -1
CONF
    # Clients never start a server of their own.
    echo "autospawn = no" >"$rundir/client.conf"
    cat >"$rundir/asound.conf" <<ALSA
pcm.!default { type pulse }
ctl.!default { type pulse }
ALSA
    cat >"$rundir/env.sh" <<ENV
export PULSE_SERVER=unix:$rundir/native
export PULSE_RUNTIME_PATH=$rundir/runtime
export PULSE_STATE_PATH=$rundir/state
export PULSE_CONFIG=$rundir/daemon.conf
export PULSE_CLIENTCONFIG=$rundir/client.conf
export XDG_RUNTIME_DIR=$rundir/runtime
export XDG_CONFIG_HOME=$rundir/config
export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$rundir/asound.conf
ENV
}

start() {
    if [ -f "$rundir/pulseaudio.pid" ] && kill -0 "$(cat "$rundir/pulseaudio.pid")" 2>/dev/null; then
        echo "audio-rig: already running in $rundir" >&2
        return 1
    fi
    write_files
    # shellcheck source=/dev/null
    source "$rundir/env.sh"
    pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --disallow-exit \
        --use-pid-file=no -F "$rundir/rig.pa" --log-target="file:$rundir/pulseaudio.log" \
        </dev/null >/dev/null 2>&1 &
    echo $! >"$rundir/pulseaudio.pid"
    for _ in $(seq 100); do
        if pactl info >/dev/null 2>&1; then
            return 0
        fi
        kill -0 "$(cat "$rundir/pulseaudio.pid")" 2>/dev/null || break
        sleep 0.05
    done
    echo "audio-rig: the server did not start; see $rundir/pulseaudio.log" >&2
    stop
    return 1
}

stop() {
    [ -f "$rundir/pulseaudio.pid" ] || return 0
    local pid
    pid=$(cat "$rundir/pulseaudio.pid")
    rm -f "$rundir/pulseaudio.pid"
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null
    return 0
}

case $action in
start) start ;;
restart) stop && start ;;
stop) stop ;;
with)
    [ $# -ge 3 ] || usage
    shift 2
    if ! [ -f "$rundir/pulseaudio.pid" ] || ! kill -0 "$(cat "$rundir/pulseaudio.pid")" 2>/dev/null; then
        echo "audio-rig: no server running in $rundir" >&2
        exit 1
    fi
    # shellcheck source=/dev/null
    source "$rundir/env.sh"
    export KALDRIX_AUDIO_RIG=$rundir
    exec "$@"
    ;;
run)
    [ $# -ge 3 ] || usage
    shift 2
    start || exit 1
    (
        # shellcheck source=/dev/null
        source "$rundir/env.sh"
        "$@"
    )
    status=$?
    stop
    exit $status
    ;;
*) usage ;;
esac
