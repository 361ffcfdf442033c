#!/usr/bin/env bash
# The Windows checks of KALDRIX.dll, built by the mingw preset:
#   - its export table (winedump): ordinal base 2, the six names undecorated
#     at their ordinals, nothing else;
#   - its imports: system DLLs only;
#   - the cross-built test programs under Wine in a private prefix: first
#     with no audio device, then the "AudioServer" suites against the
#     private PulseAudio server of scripts/audio-rig.sh.
# Prints "N passed, N failed" last (each check, and each GoogleTest test);
# exits non-zero when anything failed.
#
#   scripts/wine-tests.sh [BUILD_DIR]      BUILD_DIR defaults to build/mingw
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build/mingw}" 2>/dev/null && pwd) || {
    echo "wine-tests: no build folder ${1:-build/mingw}; build the mingw preset first" >&2
    exit 1
}
dll=$build/KALDRIX.dll
programs=$build/wine-tests

. scripts/lib/checks.sh

run=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-wine.XXXXXX")
export WINEPREFIX=$run/prefix WINEARCH=win32 WINEDEBUG=-all
quiet_overrides="mscoree,mshtml="
export WINEDLLOVERRIDES=$quiet_overrides
helpers=()

cleanup() {
    for pid in "${helpers[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wineserver -k >/dev/null 2>&1
    "$root/scripts/audio-rig.sh" stop "$run/rig"
    rm -rf "$run"
}
trap cleanup EXIT

# --- the DLL as a file -------------------------------------------------------

check_exports() {
    local dump expected actual
    dump=$(winedump -j export "$dll") || return 1
    expected=$'2 KxStartRecFile\n3 KxStopRecFile\n4 KxStartPlayFile\n5 KxStopPlayFile\n6 KxPlayStatus\n7 KxRecordStatus'
    actual=$(awk '/Entry Pt +Ordn +Name/ { table = 1; next } table && NF == 0 { exit } table { print $2, $3 }' <<<"$dump")
    grep -Eq 'Ordinal base: +2$' <<<"$dump" &&
        grep -Eq '# of functions: +6$' <<<"$dump" &&
        grep -Eq '# of Names: +6$' <<<"$dump" &&
        [ "$actual" = "$expected" ] && return 0
    echo "$dump"
    return 1
}

check_imports() {
    local dlls unexpected
    dlls=$(winedump -j import "$dll" | awk '$1 == "offset" { print toupper($3) }' | sort -u)
    echo "imports:" $dlls
    unexpected=$(grep -Evx 'KERNEL32.DLL|MSVCRT.DLL|WINMM.DLL|USER32.DLL' <<<"$dlls")
    [ -z "$unexpected" ] && grep -qx KERNEL32.DLL <<<"$dlls" && grep -qx MSVCRT.DLL <<<"$dlls"
}

if [ ! -f "$dll" ]; then
    fail "KALDRIX.dll exists in $build"
    echo "$passed passed, $failed failed"
    exit 1
fi
check_exports && pass "export table: base 2, six undecorated names at ordinals 2-7" ||
    fail "export table"
check_imports && pass "imports are system DLLs only" || fail "imports"

# --- the test programs under Wine --------------------------------------------

# Runs one program with GoogleTest arguments; adds its tests to the counts.
# A program that ends badly without a failing test counts as one failure.
run_program() {
    local program=$1 label=$2
    shift 2
    local log=$run/$label.log status
    echo "--- $label"
    (cd "$run/bin" && wine "$program" --gtest_color=no "$@") >"$log" 2>&1 </dev/null
    status=$?
    cat "$log"
    # The program's own summary is the last of its kind in the log.
    local ran_ok ran_failed
    ran_ok=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?.*/\1/p' "$log" | tail -n 1)
    ran_failed=$(sed -nE 's/^\[  FAILED  \] ([0-9]+) tests?, listed below.*/\1/p' "$log" | tail -n 1)
    passed=$((passed + ${ran_ok:-0}))
    failed=$((failed + ${ran_failed:-0}))
    if [ "$status" -ne 0 ] && [ "${ran_failed:-0}" -eq 0 ]; then
        fail "$label ended with status $status"
    fi
}

mkdir -p "$WINEPREFIX" "$run/bin"
cp "$dll" "$programs"/*.exe "$run/bin/" || {
    fail "the Wine test programs are built in $programs"
    echo "$passed passed, $failed failed"
    exit 1
}

started=$SECONDS
# The server first, in the foreground, or pipelines can hang after a Wine
# program exits; the prefix's services must not hold our output open either.
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot -i </dev/null >/dev/null 2>&1
echo "wine prefix ready in $((SECONDS - started)) s"

# Cases where Wine itself differs from Windows, left out under Wine:
# its mmioDescend searches on past the end of the parent chunk.
wine_differs="MmioTest.SearchRunsForwardOnlyAndStaysInsideTheParent"

(cd "$run/bin" && wine kaldrix_link_host.exe) >"$run/link_host.log" 2>&1 </dev/null &&
    pass "a C host links with the import library and runs" ||
    { cat "$run/link_host.log"; fail "a C host linked with the import library"; }

# No audio device: Wine's audio drivers are switched off.
export WINEDLLOVERRIDES="$quiet_overrides;winepulse.drv,winealsa.drv,wineoss.drv=d"
for program in "$run"/bin/*_test.exe; do
    name=$(basename "$program" .exe)
    run_program "$name.exe" "$name" --gtest_filter="-*AudioServer*:$wine_differs"
done

# The private audio server: what is played into "feed" is what programs
# record, and what they play is on vsink.monitor.
export WINEDLLOVERRIDES=$quiet_overrides
if "$root/scripts/audio-rig.sh" start "$run/rig"; then
    # shellcheck source=/dev/null
    source "$run/rig/env.sh"
    # Two minutes of noise fed in real time, long enough for every recording
    # of the run; recordings must be exact slices of it.
    head -c $((16000 * 120)) /dev/urandom >"$run/rig/feed.raw"
    pacat -d feed --raw --format=s16le --rate=8000 --channels=1 "$run/rig/feed.raw" \
        </dev/null >/dev/null 2>&1 &
    helpers+=($!)
    parec -d vsink.monitor --raw --format=s16le --rate=8000 --channels=1 \
        </dev/null >"$run/rig/played.raw" 2>/dev/null &
    helpers+=($!)
    sleep 1
    export KALDRIX_WINE_FEED="Z:$run/rig/feed.raw" KALDRIX_WINE_PLAYED="Z:$run/rig/played.raw"
    run_program kaldrix_host_test.exe kaldrix_host_test-audio-server --gtest_filter='*AudioServer*'
else
    fail "the audio server starts"
fi

echo "Windows checks took $SECONDS s"
checks_summary
