# SPDX-License-Identifier: MIT
# Two threads racing their with-blocks, 60 races in all: each block's exit stops only its own
# job, and a block that cannot start leaves the running recording alone.
import threading
import time
import wave

import pytest

import kaldrix
from kaldrix import PlayStatus, PlayStop, RecordStatus, RecordStop
from test_kaldrix import data_of

RECORDING_RUNS = 20  # each stop takes 1.5 s
PLAYBACK_RUNS = 40


def race(job):
    """Runs job(0) and job(1) on two threads let go at the same moment;
    returns what each returned or raised."""
    outcomes = [None, None]
    go = threading.Barrier(2)

    def run(i):
        go.wait()
        try:
            outcomes[i] = job(i)
        except Exception as error:  # the outcome is checked by the caller
            outcomes[i] = error
    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    return outcomes


def test_racing_recording_blocks_never_stop_the_running_one(tmp_path):
    for run in range(RECORDING_RUNS):
        def record(i, run=run):
            path = tmp_path / f"{run}-{i}.wav"
            with kaldrix.recording(path) as block:
                time.sleep(0.05)
            return block.stop_result, path
        outcomes = race(record)
        completed = [o for o in outcomes if isinstance(o, tuple)]
        refused = [o for o in outcomes if isinstance(o, kaldrix.KaldrixError)]
        assert len(completed) + len(refused) == 2, outcomes
        assert completed, outcomes
        for result, path in completed:
            assert result is RecordStop.COMPLETE
            data_of(path)
        for error in refused:
            assert "a recording runs already" in str(error)
        assert kaldrix.record_status() is RecordStatus.IDLE


def test_a_replaced_playback_block_leaves_the_one_that_replaced_it(tmp_path, monkeypatch):
    # 48 kHz stereo, so that the library notices a stop within a 16 KiB
    # block (85 ms); each block's file of bytes of its own.
    paths = [tmp_path / f"{i}.wav" for i in range(2)]
    for i, path in enumerate(paths):
        with wave.open(str(path), "wb") as file:
            file.setparams((2, 2, 48000, 0, "NONE", None))
            file.writeframes(bytes([i + 1]) * (20 * 192000))
    played = tmp_path / "played.raw"
    monkeypatch.setenv("KALDRIX_VIRTUAL_OUT", str(played))
    for run in range(PLAYBACK_RUNS):
        played.unlink(missing_ok=True)
        entered = threading.Barrier(2)
        first_left = threading.Event()

        def play(i, run=run):
            # Half the runs hold the first block back a little, so that
            # either block's start comes last in some of them.
            time.sleep(0.002 if i == run % 2 else 0)
            with kaldrix.playback(paths[i]) as block:
                entered.wait(30)
                if i == 1:
                    first_left.wait(30)
                still = kaldrix.play_status()
            if i == 0:
                first_left.set()
            return block.stop_result, still
        outcomes = race(play)
        assert all(isinstance(o, tuple) for o in outcomes), outcomes
        assert [result for result, _ in outcomes] == [PlayStop.STOPPED] * 2
        # The device played the later start's file last.
        last = played.read_bytes()[-1] - 1
        if last == 1:
            assert outcomes[1][1] is PlayStatus.PLAYING, "the first block's exit stopped it"
        assert kaldrix.play_status() is PlayStatus.IDLE
