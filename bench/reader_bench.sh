#!/bin/sh
# SPDX-License-Identifier: MIT
# ReadBlock throughput over a 1 GiB data chunk read from the page cache,
# against `dd bs=16k` of the same file in the same run (what the machine can
# read), rounds alternating between the two. Prints each round and the ratio
# of the medians. The file lives in /tmp and is removed afterwards.
#   bench/reader_bench.sh [ROUNDS]
set -eu
rounds=${1:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cmake -S bench -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j2 --target wave_form_bench >/dev/null
bench=build/bench/wave_form_bench

free_kib=$(df -Pk /tmp | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt 1572864 ]; then
    echo "need 1.5 GiB free in /tmp, have $((free_kib / 1024)) MiB" >&2
    exit 1
fi
file=$(mktemp /tmp/kaldrix-bench-XXXXXX)
trap 'rm -f "$file"' EXIT INT TERM
"$bench" make "$file" 1024
cat "$file" >/dev/null # into the page cache

results=$(mktemp /tmp/kaldrix-bench-results-XXXXXX)
trap 'rm -f "$file" "$results"' EXIT INT TERM
i=1
while [ "$i" -le "$rounds" ]; do
    # dd: "<bytes> bytes (...) copied, <seconds> s, <rate>"
    dd if="$file" of=/dev/null bs=16k 2>&1 | awk -F', ' '/copied/ {
        split($1, b, " "); split($(NF - 1), s, " ");
        printf "dd %d %.1f\n", '"$i"', b[1] / s[1] / 1048576 }' >>"$results"
    "$bench" read "$file" | awk '{ printf "reader %d %.1f\n", '"$i"', $1 / $2 / 1048576 }' \
        >>"$results"
    i=$((i + 1))
done

median() { grep "^$1 " "$results" | awk '{ print $3 }' | sort -n | awk '
    { v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "round  dd MiB/s  reader MiB/s"
paste -d' ' "$results" | awk '{ if ($1 == "dd") d = $3; else printf "%5d  %8.1f  %12.1f\n", $2, d, $3 }'
dd_median=$(median dd)
reader_median=$(median reader)
echo "median dd $dd_median MiB/s, reader $reader_median MiB/s, ratio $(echo "$reader_median $dd_median" | awk '{ printf "%.2f", $1 / $2 }')"
