#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The library against alsa-utils on the same audio server, in the same run.

    bench/peer_bench.py record [--seconds 20] [--rounds 3] [--long 150] [--keep]
                               [--rate 8000] [--channels 1] [--feed-follows]
    bench/peer_bench.py play   [--seconds 20] [--rounds 3] [--long 150] [--keep]
                               [--rate 8000] [--channels 1]

Builds the benchmark project (build/bench, Release), starts the private
PulseAudio server of scripts/audio-rig.sh and, round by round, runs each side
in turn as a process of its own, recording from (or playing to) that server
through ALSA's default PCM and its pulse plugin, S16_LE at --rate and
--channels (8000 Hz mono by default; the library records another format
through KxStartRecFileFormat, and the server converts its 8000 Hz mono feed):

  library          build/bench/session_host, the exports of libkaldrix.so,
                   KALDRIX_AUDIO=alsa (periods of playback 16 KiB, of
                   capture 512 ms, within 125 ms to 1 s; see
                   bench/RESULTS.md)
  arecord / aplay  alsa-utils with their default buffer (500 ms, 125 ms periods)
  ... 200/50ms     alsa-utils with a 200 ms buffer in 50 ms periods
  20 ms sleep loop (play) build/bench/sleep_loop, a bare loop of 20 ms sleeps:
                   the floor of the play thread's required polling

Recording records a tone that pacat feeds into the default source (the
monitor of the rig's null sink "feed", whose latency is fixed at 50 ms, so the
server sends every recorder a fragment each 50 ms whatever it asks for; with
--feed-follows, the monitor of a null sink loaded without norewinds, whose
latency follows what its clients ask, as a sound card's does); playing
plays a tone file (no sample is 0) that parec reads back from the sink's
monitor with 10 ms latency. A round records or plays for --seconds, then
stops: the library through its stop export, the tools by SIGINT.

Per round and side:
  start ms      library: return of KxStartRecFile / KxStartPlayFile.
  first ms      the first recorded byte in the file (record) or the first sound
                at the monitor (play), from the start call for the library and
                from the spawn (fork + exec) for the tool.
  stop ms       library: return of KxStopRecFile / KxStopPlayFile. Tool: SIGINT
                to process exit.
  silent ms     play: from the stop call or SIGINT to the last sound at the
                monitor.
  CPU ms/min    user + system time of all the process's threads from 2 s after
                the start to 0.5 s before the stop, per minute: the steady cost.
  wake-ups/s    the threads' context switches over the same window.
  per thread    CPU ms/min and wake-ups/s of each thread name over the same
                window (the library names its threads kx-play, kx-out-alsa,
                kx-capture, kx-in-alsa, ...), in a table of their own.
  whole ms/min  the process's whole CPU time (wait4) per minute of sound
                recorded or played: adds loading, connecting and the stop.
  server ms/min the PulseAudio server's CPU time over the steady window (it
                serves the feed or the monitor too).
  RSS MiB       resident memory 2 s after the start, 0.5 s before the stop,
                and its peak (VmHWM).
  audio s       seconds of sound in the file (record) or heard at the monitor
                (play).
  header        record: the file's RIFF and data sizes match its length.
"""
import argparse
import array
import contextlib
import os
import re
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
HOST = os.path.join(BUILD, "session_host")
SLEEP_LOOP = os.path.join(BUILD, "sleep_loop")
MATCHED_BUFFER = ["--buffer-time=200000", "--period-time=50000"]
# The side that only sleeps 20 ms at a time: the floor of the play thread.
SLEEPS = ["sleep loop"]


def format_args(rate, channels):
    return ["-D", "default", "-f", "S16_LE", "-r", str(rate), "-c", str(channels)]


def cpu_clock(pid):
    """The process-wide CPU clock of another process (all threads, counted in
    ns): the kernel's clock id for a pid, (~pid << 3) | CPUCLOCK_SCHED."""
    return ((~pid) << 3) | 2


def cpu_seconds(pid):
    try:
        return time.clock_gettime(cpu_clock(pid))
    except OSError:
        return float("nan")


def memory_kib(pid):
    values = {}
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                name, _, rest = line.partition(":")
                if name in ("VmRSS", "VmHWM"):
                    values[name] = int(rest.split()[0])
    except OSError:
        pass
    return values


def context_switches(pid):
    """Voluntary and forced switches of all the process's threads so far:
    about one per wake-up of a thread."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/status") as status:
                for line in status:
                    if line.startswith(("voluntary_ctxt_switches:",
                                        "nonvoluntary_ctxt_switches:")):
                        total += int(line.split(":", 1)[1])
    except OSError:
        pass
    return total


def threads_of(pid):
    """Per thread name: CPU seconds (user + system) and context switches so
    far, summed over the threads of that name."""
    ticks = os.sysconf("SC_CLK_TCK")
    threads = {}
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return threads
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/stat") as stat:
                text = stat.read()
            with open(f"/proc/{pid}/task/{task}/status") as status:
                switches = sum(int(line.split(":", 1)[1]) for line in status
                               if line.startswith(("voluntary_ctxt_switches:",
                                                   "nonvoluntary_ctxt_switches:")))
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        try:  # the scheduler's own count, in ns; utime and stime are in ticks
            with open(f"/proc/{pid}/task/{task}/schedstat") as schedstat:
                cpu = int(schedstat.read().split()[0]) / 1e9
        except OSError:
            fields = text[text.rindex(")") + 2:].split()
            cpu = (int(fields[11]) + int(fields[12])) / ticks
        total = threads.setdefault(name, [0.0, 0])
        total[0] += cpu
        total[1] += switches
    return threads


def sleep_until(moment):
    delay = moment - time.monotonic()
    if delay > 0:
        time.sleep(delay)


def signal_sample(index):
    """A saw tooth that never passes through 0, so silence is exactly 0."""
    return 600 + (index % 40) * 400 - 8000


def write_tone(path, seconds, header, rate=8000, channels=1):
    samples = array.array("h", (signal_sample(i // channels) for i in range(rate * channels)))
    data = samples.tobytes() * int(seconds)
    with open(path, "wb") as out:
        if header:
            out.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt ")
            out.write(struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * channels * 2,
                                  channels * 2, 16))
            out.write(b"data" + struct.pack("<I", len(data)))
        out.write(data)


def recorded(path, bytes_per_second):
    """Seconds of sound in a recorded 16-bit file by its length, and whether
    its header was completed (RIFF and data sizes that match the length)."""
    try:
        size = os.path.getsize(path)
        with open(path, "rb") as wave:
            head = wave.read(44)
    except OSError:
        return 0.0, False
    complete = (len(head) == 44 and head[:4] == b"RIFF" and head[36:40] == b"data" and
                struct.unpack("<I", head[4:8])[0] == size - 8 and
                struct.unpack("<I", head[40:44])[0] == size - 44)
    return max(size - 44, 0) / bytes_per_second, complete


class AudioRig:
    """scripts/audio-rig.sh's private server; its environment goes into ours."""

    def __init__(self, folder):
        self.folder = os.path.join(folder, "rig")
        self.script = os.path.join(ROOT, "scripts", "audio-rig.sh")

    def __enter__(self):
        subprocess.run([self.script, "start", self.folder], check=True)
        with open(os.path.join(self.folder, "env.sh")) as env:
            for line in env:
                match = re.match(r"export (\w+)=(.*)", line.strip())
                if match:
                    os.environ[match.group(1)] = match.group(2)
        with open(os.path.join(self.folder, "pulseaudio.pid")) as pid:
            self.server_pid = int(pid.read())
        return self

    def __exit__(self, *_):
        subprocess.run([self.script, "stop", self.folder], check=False)


class Monitor:
    """Reads vsink.monitor, the sink that programs play to, and stamps the
    arrival of the first and the last sound since the last arm()."""

    def __init__(self, rate, channels):
        self.samples_per_second = rate * channels
        self.process = subprocess.Popen(
            ["parec", "-d", "vsink.monitor", "--raw", "--format=s16le", f"--rate={rate}",
             f"--channels={channels}", "--latency-msec=10"], stdout=subprocess.PIPE)
        self.lock = threading.Lock()
        self.arm()
        threading.Thread(target=self._read, daemon=True).start()

    def arm(self):
        with self.lock:
            self.first = self.last = None
            self.samples = 0

    def heard(self):
        with self.lock:
            return self.first, self.last, self.samples

    def _read(self):
        stream = self.process.stdout.fileno()
        pending = b""
        while True:
            chunk = os.read(stream, 4096)
            arrived = time.monotonic()
            if not chunk:
                return
            pending += chunk
            whole = len(pending) - len(pending) % 2
            samples = array.array("h", pending[:whole])
            pending = pending[whole:]
            sound = len(samples) - samples.count(0)
            if sound:
                with self.lock:
                    self.first = self.first or arrived
                    self.last = arrived
                    self.samples += sound

    def close(self):
        self.process.terminate()
        self.process.wait()


class Run:
    """One side's process for one round, watched from the outside."""

    def __init__(self, command, errors, env=None):
        self.spawned = time.monotonic()
        self.errors = errors
        with open(errors, "wb") as error_file:
            self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=error_file,
                                            env=env, text=True, errors="replace")
        self.pid = self.process.pid
        self.lines = {}
        self.line_seen = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            words = line.split()
            if words and words[0] in ("start", "stop"):
                with self.line_seen:
                    self.lines[words[0]] = [float(word) for word in words[1:]]
                    self.line_seen.notify_all()

    def wait_line(self, name, timeout=10.0):
        with self.line_seen:
            self.line_seen.wait_for(lambda: name in self.lines, timeout)
            return self.lines.get(name)

    def sample(self, server_pid):
        return (time.monotonic(), cpu_seconds(self.pid), cpu_seconds(server_pid),
                memory_kib(self.pid), context_switches(self.pid), threads_of(self.pid))

    def reap(self, block=True):
        """Collects the exit status and the whole CPU time (wait4) once the
        process has ended; answers whether it has."""
        if not hasattr(self, "status"):
            pid, status, usage = os.wait4(self.pid, 0 if block else os.WNOHANG)
            if pid == 0:
                return False
            self.exited = time.monotonic()
            self.status = os.waitstatus_to_exitcode(status)
            self.process.returncode = self.status  # reaped here, not by Popen
            self.whole_cpu = usage.ru_utime + usage.ru_stime
        return True


def first_data_after(path, since, deadline):
    """Polls the file until it holds more than its 44-byte header: the
    milliseconds from `since`."""
    while time.monotonic() < deadline:
        try:
            if os.path.getsize(path) > 44:
                return (time.monotonic() - since) * 1000
        except OSError:
            pass
        time.sleep(0.001)
    return float("nan")


def measure(run, reference, seconds, server_pid):
    """The steady window: from 2 s after `reference` to 0.5 s before the stop."""
    sleep_until(reference + 2.0)
    early = run.sample(server_pid)
    sleep_until(reference + seconds - 0.5)
    late = run.sample(server_pid)
    span = late[0] - early[0]
    return {
        "cpu": (late[1] - early[1]) * 60 / span,
        "server": (late[2] - early[2]) * 60 / span,
        "wakeups": (late[4] - early[4]) / span,
        "rss0": early[3].get("VmRSS", 0) / 1024,
        "rss1": late[3].get("VmRSS", 0) / 1024,
        "hwm": late[3].get("VmHWM", 0) / 1024,
        # Per thread name: CPU ms/min and wake-ups/s over the window.
        "threads": {name: ((cpu - early[5].get(name, (0.0, 0))[0]) * 60000 / span,
                           (switches - early[5].get(name, (0.0, 0))[1]) / span)
                    for name, (cpu, switches) in late[5].items()},
    }


def since(moment, reference):
    return float("nan") if moment is None else (moment - reference) * 1000


def outcome(figures, args, path, run, monitor, first_reference, stop_reference):
    """The figures that are known once the process has ended."""
    if args.mode == "record":
        figures["audio"], figures["complete"] = recorded(path, args.rate * args.channels * 2)
    else:
        time.sleep(0.5)  # the monitor's last chunks
        heard_first, heard_last, samples = monitor.heard()
        figures.update(first=since(heard_first, first_reference),
                       silent=since(heard_last, stop_reference),
                       audio=samples / monitor.samples_per_second)
    figures["whole"] = run.whole_cpu * 60 / figures["audio"] if figures["audio"] else None
    return figures


def library_round(args, seconds, path, errors, rig, monitor):
    mode = args.mode
    env = dict(os.environ, KALDRIX_AUDIO="alsa", KALDRIX_LOG_DIR=os.path.dirname(errors))
    if monitor:
        monitor.arm()
    command = [HOST, mode, path, str(seconds)]
    if mode == "record" and (args.rate, args.channels) != (8000, 1):
        command += [str(args.rate), str(args.channels), "16"]
    run = Run(command, errors, env)
    start = run.wait_line("start")
    if not start or start[2] != 1:
        raise SystemExit(f"the library did not start ({start})")
    began, returned = start[0], start[1]
    first = first_data_after(path, began, returned + 5) if mode == "record" else None
    figures = measure(run, returned, seconds, rig.server_pid)
    stop = run.wait_line("stop", seconds + 30)
    run.reap()
    if run.status != 0 or not stop:
        raise SystemExit(f"the library's {mode} failed (stop {stop})")
    figures.update(start=(returned - began) * 1000, first=first, stop=(stop[1] - stop[0]) * 1000)
    return outcome(figures, args, path, run, monitor, began, stop[0])


def tool_round(args, extra, seconds, path, errors, rig, monitor):
    mode = args.mode
    if extra == SLEEPS:
        command = [SLEEP_LOOP]
        if monitor:
            monitor.arm()
    elif mode == "record":
        command = ["arecord", "-q", *format_args(args.rate, args.channels), *extra, "-t", "wav",
                   path]
    else:
        command = ["aplay", "-q", "-D", "default", *extra, path]
        monitor.arm()
    run = Run(command, errors)
    first = first_data_after(path, run.spawned, run.spawned + 5) if mode == "record" else None
    figures = measure(run, run.spawned, seconds, rig.server_pid)
    sleep_until(run.spawned + seconds)
    if run.reap(block=False):
        raise SystemExit(f"{command[0]} ended early: " + open(run.errors).read())
    interrupted = time.monotonic()
    os.kill(run.pid, signal.SIGINT)
    run.reap()  # aplay and arecord answer SIGINT with status 1
    figures.update(start=None, first=first, stop=(run.exited - interrupted) * 1000)
    return outcome(figures, args, path, run, monitor, run.spawned, interrupted)


COLUMNS = [("start", "start ms", 1), ("first", "first ms", 0), ("stop", "stop ms", 0),
           ("silent", "silent ms", 0), ("cpu", "CPU ms/min", 1), ("wakeups", "wake-ups/s", 0),
           ("whole", "whole ms/min", 1),
           ("server", "server ms/min", 1), ("rss0", "RSS MiB", 1), ("rss1", "RSS end", 1),
           ("hwm", "RSS peak", 1), ("audio", "audio s", 2), ("complete", "header", 0)]
PER_MINUTE = ("cpu", "whole", "server")


def columns_of(mode):
    skipped = "complete" if mode == "play" else "silent"
    return [column for column in COLUMNS if column[0] != skipped]


def cell(value, digits, factor=1.0):
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "yes" if value else "no"
    if value is None or value != value:
        return "-"
    return f"{value * factor:.{digits}f}"


def table(rows, mode):
    columns = columns_of(mode)
    lines = ["| side | round | " + " | ".join(c[1] for c in columns) + " |",
             "|---|---:|" + "---:|" * len(columns)]
    for side, number, figures in rows:
        lines.append(f"| {side} | {number} | " + " | ".join(
            cell(figures.get(key), digits, 1000 if key in PER_MINUTE else 1)
            for key, _, digits in columns) + " |")
    return "\n".join(lines)


def median_of(values):
    if all(isinstance(value, bool) for value in values):
        return f"{sum(values)}/{len(values)}"
    if any(value is None or value != value for value in values):
        return None
    return statistics.median(values)


def medians(rows, mode):
    sides = list(dict.fromkeys(side for side, _, _ in rows))
    return table([(side, "median", {
        key: median_of([figures.get(key) for name, _, figures in rows if name == side])
        for key, _, _ in columns_of(mode)}) for side in sides], mode)


def thread_medians(rows):
    """Per side and thread name, the medians of CPU ms/min and wake-ups/s."""
    lines = ["| side | thread | CPU ms/min | wake-ups/s |", "|---|---|---:|---:|"]
    for side in dict.fromkeys(side for side, _, _ in rows):
        figures = [f["threads"] for name, _, f in rows if name == side and "threads" in f]
        for thread in sorted({name for threads in figures for name in threads}):
            values = [threads[thread] for threads in figures if thread in threads]
            lines.append(f"| {side} | {thread} | "
                         f"{statistics.median(v[0] for v in values):.1f} | "
                         f"{statistics.median(v[1] for v in values):.1f} |")
    return "\n".join(lines)


def build():
    subprocess.run(["cmake", "-S", os.path.join(ROOT, "bench"), "-B", BUILD, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "session_host", "sleep_loop"],
                   check=True, stdout=subprocess.DEVNULL)


def run_rounds(args, folder, rig, monitor):
    """Rounds with the sides in turn, then the long round; returns the rows."""
    tool = "arecord" if args.mode == "record" else "aplay"
    sides = [("library", None), (tool, []), (f"{tool} 200/50ms", MATCHED_BUFFER)]
    if args.mode == "play":
        sides.append(("20 ms sleep loop", SLEEPS))
    plan = [(str(number), sides, args.seconds) for number in range(1, args.rounds + 1)]
    if args.long:
        plan.append(("long", sides[:2], args.long))
    print(f"{args.mode}: {args.rounds} rounds of {args.seconds:.0f} s, sides in turn, "
          f"{args.rate} Hz, {args.channels} channel(s)")
    print(table([], args.mode), flush=True)
    rows = []
    for label, round_sides, seconds in plan:
        for side, extra in round_sides:
            name = os.path.join(folder, f"{side.split()[0]}-{len(rows) + 1}")
            errors = name + ".err"
            path = name + ".wav" if args.mode == "record" else os.path.join(folder, "tone.wav")
            if extra is None:
                figures = library_round(args, seconds, path, errors, rig, monitor)
            else:
                figures = tool_round(args, extra, seconds, path, errors, rig, monitor)
            rows.append((side, label, figures))
            print(table(rows[-1:], args.mode).splitlines()[-1], flush=True)
            time.sleep(1.0)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["record", "play"])
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each round")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--long", type=float, default=0.0,
                        help="then one long round of the library and the tool (memory)")
    parser.add_argument("--rate", type=int, default=8000,
                        help="the sample rate recorded, or the tone's that is played")
    parser.add_argument("--channels", type=int, default=1,
                        help="the channels recorded, or the tone's that are played")
    parser.add_argument("--feed-follows", action="store_true",
                        help="record: from a source whose latency follows its clients")
    parser.add_argument("--keep", action="store_true",
                        help="keep the run folder (files, stderr of each run, server log)")
    args = parser.parse_args()
    if args.seconds < 5 or args.long and args.long < 5:
        parser.error("rounds of at least 5 seconds")
    build()

    if args.keep:
        run_folder = contextlib.nullcontext(tempfile.mkdtemp(prefix="kaldrix-peer-"))
    else:
        run_folder = tempfile.TemporaryDirectory(prefix="kaldrix-peer-")
    with run_folder as folder, AudioRig(folder) as rig, contextlib.ExitStack() as helpers:
        if args.keep:
            print(f"run folder: {folder}")
        monitor = None
        if args.mode == "record":
            # What every side records: a tone fed into the default source in
            # real time, long enough for the whole run.
            seconds = args.rounds * 3 * (args.seconds + 5) + 2 * (args.long + 5) + 60
            write_tone(os.path.join(folder, "feed.raw"), seconds, header=False)
            sink = "feed"
            if args.feed_follows:
                sink = "feedfollows"
                subprocess.run(["pactl", "load-module", "module-null-sink", f"sink_name={sink}",
                                "format=s16le", "rate=8000", "channels=1"], check=True,
                               stdout=subprocess.DEVNULL)
                subprocess.run(["pactl", "set-default-source", f"{sink}.monitor"], check=True)
            feed = subprocess.Popen(["pacat", "-d", sink, "--raw", "--format=s16le",
                                     "--rate=8000", "--channels=1",
                                     os.path.join(folder, "feed.raw")])
            helpers.callback(feed.wait)
            helpers.callback(feed.terminate)
        else:
            write_tone(os.path.join(folder, "tone.wav"), max(args.seconds, args.long) + 10,
                       header=True, rate=args.rate, channels=args.channels)
            monitor = Monitor(args.rate, args.channels)
            helpers.callback(monitor.close)
        rows = run_rounds(args, folder, rig, monitor)
        print("\nAll rounds:\n" + table(rows, args.mode))
        numbered = [row for row in rows if row[1] != "long"]
        print("\nMedians of the numbered rounds:\n" + medians(numbered, args.mode))
        print("\nPer thread, medians of the numbered rounds:\n" + thread_medians(numbered))


if __name__ == "__main__":
    sys.exit(main())
