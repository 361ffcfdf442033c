#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows program under Wine, quietly, in the program's own folder
# (where KALDRIX.dll lies), in the prefix that WINEPREFIX names; ctest's
# checks of the mingw builds run through it (tests/WineChecks.cmake), with
# WINEARCH=win64 for the 64-bit DLL.
#   --no-audio  Wine's audio drivers switched off: no device at all
#   --fed       run inside the audio server's environment (scripts/audio-rig.sh
#               with): four minutes of noise are fed to the server's source
#               in real time, and what is played on its sink is kept; the
#               program finds both files through KALDRIX_WINE_FEED and
#               KALDRIX_WINE_PLAYED
#
#   scripts/wine-run.sh [--no-audio|--fed] PROGRAM [ARGUMENTS...]
set -uo pipefail
mode=
case ${1:-} in
--no-audio | --fed)
    mode=$1
    shift
    ;;
esac
[ $# -ge 1 ] || {
    echo "usage: $0 [--no-audio|--fed] PROGRAM [ARGUMENTS...]" >&2
    exit 2
}
program=$(realpath "$1")
shift
export WINEARCH=${WINEARCH:-win32} WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
[ "$mode" = --no-audio ] && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winepulse.drv,winealsa.drv,wineoss.drv=d"

helpers=()
work=
cleanup() {
    for pid in "${helpers[@]}"; do
        kill "$pid" 2>/dev/null
    done
    [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT

if [ "$mode" = --fed ]; then
    work=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-wine-fed.XXXXXX")
    # Long enough for every recording of the run; recordings must be exact
    # slices of it.
    head -c $((16000 * 240)) /dev/urandom >"$work/feed.raw"
    pacat -d feed --raw --format=s16le --rate=8000 --channels=1 "$work/feed.raw" \
        </dev/null >/dev/null 2>&1 &
    helpers+=($!)
    parec -d vsink.monitor --raw --format=s16le --rate=8000 --channels=1 \
        </dev/null >"$work/played.raw" 2>/dev/null &
    helpers+=($!)
    sleep 1
    export KALDRIX_WINE_FEED="Z:$work/feed.raw" KALDRIX_WINE_PLAYED="Z:$work/played.raw"
fi

cd "$(dirname "$program")" && wine "$(basename "$program")" "$@" </dev/null
