#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks KALDRIX.dll as a file, with winedump:
#   exports DLL EXPECTED  exactly the "ORDINAL NAME" lines of EXPECTED
#                         (generated from the export table), undecorated,
#                         the first ordinal the base
#   imports DLL           system DLLs only
set -uo pipefail
check=${1:-}
dll=${2:-}
[ -f "$dll" ] || {
    echo "usage: $0 exports DLL EXPECTED | imports DLL" >&2
    exit 2
}

case $check in
exports)
    dump=$(winedump -j export "$dll") || exit 1
    expected=$(cat "$3")
    count=$(wc -l <"$3")
    base=$(awk 'NR == 1 { print $1 }' "$3")
    actual=$(awk '/Entry Pt +Ordn +Name/ { table = 1; next } table && NF == 0 { exit } table { print $2, $3 }' <<<"$dump")
    if grep -Eq "Ordinal base: +$base\$" <<<"$dump" &&
        grep -Eq "# of functions: +$count\$" <<<"$dump" &&
        grep -Eq "# of Names: +$count\$" <<<"$dump" &&
        [ "$actual" = "$expected" ]; then
        echo "export table: base $base, the $count names of the table at their ordinals"
        exit 0
    fi
    echo "$dump"
    exit 1
    ;;
imports)
    dlls=$(winedump -j import "$dll" | awk '$1 == "offset" { print toupper($3) }' | sort -u)
    echo "imports:" $dlls
    unexpected=$(grep -Evx 'KERNEL32.DLL|MSVCRT.DLL|WINMM.DLL|USER32.DLL' <<<"$dlls")
    [ -z "$unexpected" ] && grep -qx KERNEL32.DLL <<<"$dlls" && grep -qx MSVCRT.DLL <<<"$dlls"
    ;;
*)
    echo "usage: $0 exports DLL EXPECTED | imports DLL" >&2
    exit 2
    ;;
esac
