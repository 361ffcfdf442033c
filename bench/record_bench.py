#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Recording benchmark: CPU time per minute of recording and the return
latency of KxStartRecFile and KxStopRecFile, through the shared library's
exports (loaded with ctypes), on the devices that KALDRIX_AUDIO chooses
(the virtual input unless told otherwise).

    bench/record_bench.py --library build/native/libkaldrix.so --seconds 20 --runs 3
"""
import argparse
import ctypes
import os
import resource
import statistics
import tempfile
import time


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", default="build/native/libkaldrix.so")
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each recording")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    os.environ.setdefault("KALDRIX_AUDIO", "virtual")
    library = ctypes.CDLL(os.path.abspath(args.library))
    library.KxStartRecFile.argtypes = [ctypes.c_char_p]

    starts, stops, cpu_per_minute, sizes = [], [], [], []
    with tempfile.TemporaryDirectory() as folder:
        for run in range(args.runs):
            path = os.path.join(folder, f"run{run}.wav").encode()
            began = time.perf_counter()
            if library.KxStartRecFile(path) != 1:
                raise SystemExit("KxStartRecFile failed")
            starts.append(time.perf_counter() - began)
            cpu_before = cpu_seconds()
            time.sleep(args.seconds)
            cpu_used = cpu_seconds() - cpu_before
            began = time.perf_counter()
            if library.KxStopRecFile() != 1:
                raise SystemExit("KxStopRecFile failed")
            stops.append(time.perf_counter() - began)
            cpu_per_minute.append(cpu_used * 60.0 / args.seconds)
            sizes.append(os.path.getsize(path) - 44)

    print(f"runs: {args.runs} x {args.seconds:.0f} s, KALDRIX_AUDIO={os.environ['KALDRIX_AUDIO']}")
    print(f"KxStartRecFile returns after  {statistics.median(starts) * 1000:8.2f} ms (median)")
    print(f"KxStopRecFile returns after   {statistics.median(stops) * 1000:8.2f} ms (median)")
    print(f"CPU per minute of recording   {statistics.median(cpu_per_minute) * 1000:8.2f} ms (median)")
    print(f"data recorded per second      {statistics.median(sizes) / args.seconds:8.0f} bytes")


if __name__ == "__main__":
    main()
