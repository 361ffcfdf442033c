#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A private Wine prefix (32-bit, or 64-bit when WINEARCH=win64) for the
# checks of the mingw builds (the ctest fixture wine_prefix of
# tests/WineChecks.cmake).
#   scripts/wine-prefix.sh start PREFIX   a fresh prefix, its server kept running
#   scripts/wine-prefix.sh stop PREFIX    stop its server, remove it
set -uo pipefail
[ $# -eq 2 ] || {
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
}
export WINEPREFIX=$2 WINEARCH=${WINEARCH:-win32} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case $1 in
start)
    [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX" || exit 1
    started=$SECONDS
    # The server first, in the foreground, or pipelines can hang after a
    # Wine program exits; the prefix's services must not hold our output
    # open either.
    wineserver -p </dev/null >/dev/null 2>&1
    wine wineboot -i </dev/null >/dev/null 2>&1 || exit 1
    echo "wine prefix ready in $((SECONDS - started)) s"
    ;;
stop)
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    ;;
*) exit 2 ;;
esac
