# SPDX-License-Identifier: MIT
import os
import re
import subprocess
import sys
import struct
import time
from pathlib import Path

import pytest

import kaldrix
from conftest import run_child
from kaldrix import PlayStart, PlayStatus, PlayStop, RecordStart, RecordStatus, RecordStop

CANNOT_CREATE = "KxStartRecFile answered -1: the file cannot be created"
NOT_STARTED = "KxStartRecFile answered 0: already recording, or a device step failed"
CANNOT_OPEN = "KxStartPlayFile answered -1: the file or the device cannot be opened"
BUSY = "cannot record into take.wav: a recording runs already (it is left alone)"


def data_of(path):
    """The sound of a WAVE file whose 44-byte header matches its length."""
    raw = Path(path).read_bytes()
    assert struct.unpack_from("<4sI4s", raw) == (b"RIFF", len(raw) - 8, b"WAVE")
    assert struct.unpack_from("<4sI", raw, 36) == (b"data", len(raw) - 44)
    return raw[44:]


def test_records_the_input_and_plays_it_back(tmp_path, monkeypatch):
    source = bytes(range(256)) * 20
    (tmp_path / "in.raw").write_bytes(source)
    monkeypatch.setenv("KALDRIX_VIRTUAL_IN", str(tmp_path / "in.raw"))
    monkeypatch.setenv("KALDRIX_VIRTUAL_OUT", str(tmp_path / "out.raw"))
    with kaldrix.recording(tmp_path / "take.wav") as take:
        assert kaldrix.record_status() is RecordStatus.RECORDING
        time.sleep(1)
    assert take.stop_result is RecordStop.COMPLETE
    recorded = data_of(take.path)
    assert recorded[:len(source)] == source and len(recorded) > len(source)
    with kaldrix.playback(take.path) as played:
        assert played.playing
        assert played.wait(timeout=60)
        assert not played.playing
    assert played.stop_result is PlayStop.STOPPED
    assert (tmp_path / "out.raw").read_bytes() == recorded


@pytest.mark.parametrize("seconds, error", [
    (-1, ValueError), (float("nan"), ValueError), (float("inf"), ValueError), ("3", TypeError),
])
def test_record_refuses_a_duration_before_it_makes_the_file(tmp_path, seconds, error):
    with pytest.raises(error):
        kaldrix.record(tmp_path / "take.wav", seconds=seconds)
    assert kaldrix.record_status() is RecordStatus.IDLE and not list(tmp_path.iterdir())


def test_play_without_waiting_returns_while_it_plays(tone_wav):
    played = kaldrix.play(tone_wav(20), wait=False)
    assert played.playing
    assert kaldrix.stop_playback() is PlayStop.STOPPED and not played.playing


# A failed start raises with the call's result, and leaves the recorder as
# the block found it: idle, or still recording the file it was recording
# (which then completes, or the outer block raises). A path the system
# refuses raises as Python's file functions do (run as nobody, as root reads
# and writes anything). The start_ functions answer their results.
FAILED_START = """
import contextlib, os
how, path = sys.argv[1:3]
if os.geteuid() == 0 and sys.argv[5] == "nobody":
    os.setgid(65534)
    os.setuid(65534)
if how.startswith("start_"):
    report("returned", "", repr(getattr(kaldrix, how)(path)), kaldrix.record_status().name)
    sys.exit()
busy = kaldrix.recording(sys.argv[3]) if sys.argv[4] == "busy" else contextlib.nullcontext()
with busy:
    try:
        if how in ("record", "play"):
            getattr(kaldrix, how)(path, **({"seconds": 1} if how == "record" else {}))
        else:
            with getattr(kaldrix, how)(path):
                pass
    except kaldrix.KaldrixError as error:
        report(type(error).__name__, str(error), repr(error.result), kaldrix.record_status().name)
"""
MISSING = "[Errno 2] No such file or directory: '{}'"
DENIED = "[Errno 13] Permission denied: '{}'"


@pytest.mark.parametrize("audio, how, path, busy, error, text, status", [
    ("virtual", "recording", "no/such/folder/take.wav", "", "KaldrixFileNotFoundError", MISSING,
     "IDLE"),
    ("virtual", "record", "no/such/folder/take.wav", "", "KaldrixFileNotFoundError", MISSING,
     "IDLE"),
    ("virtual", "recording", "locked/take.wav", "", "KaldrixPermissionError", DENIED, "IDLE"),
    ("virtual", "recording", "fifo.wav", "", "KaldrixError", CANNOT_CREATE, "IDLE"),
    ("virtual", "start_recording", "no/such/folder/take.wav", "", "returned", "", "RECORDING"),
    ("none", "recording", "take.wav", "", "KaldrixError", NOT_STARTED, "IDLE"),
    ("virtual", "recording", "take.wav", "busy", "KaldrixError", BUSY, "RECORDING"),
    ("virtual", "playback", "no/such/file.wav", "", "KaldrixFileNotFoundError", MISSING, "IDLE"),
    ("virtual", "play", "no/such/file.wav", "", "KaldrixFileNotFoundError", MISSING, "IDLE"),
    ("virtual", "playback", "unreadable.wav", "", "KaldrixPermissionError", DENIED, "IDLE"),
    ("virtual", "start_playback", "no/such/file.wav", "", "returned", "", "IDLE"),
    ("none", "playback", "tone.wav", "", "KaldrixError", CANNOT_OPEN, "IDLE"),
])
def test_a_failed_start_raises_its_named_result(tmp_path, tone_wav, audio, how, path, busy,
                                                error, text, status):
    tone_wav(1)
    (tmp_path / "unreadable.wav").write_bytes(b"")
    (tmp_path / "unreadable.wav").chmod(0)
    (tmp_path / "locked").mkdir(mode=0o555)
    os.mkfifo(tmp_path / "fifo.wav")
    for folder in (tmp_path.parent, tmp_path):  # where nobody looks
        folder.chmod(folder.stat().st_mode | 0o755)
    result = RecordStart.FILE_NOT_CREATED if "record" in how else PlayStart.CANNOT_OPEN
    if text in (NOT_STARTED, BUSY):
        result = RecordStart.NOT_STARTED
    nobody = "nobody" if error == "KaldrixPermissionError" else ""
    assert run_child(FAILED_START, how, path, "first.wav", busy, nobody, cwd=tmp_path,
                     KALDRIX_AUDIO=audio) == [error, text.format(path), repr(result), status]


@pytest.mark.parametrize("manager, status, busy, stopped", [
    ("recording", "record_status", RecordStatus.RECORDING, RecordStop.COMPLETE),
    ("playback", "play_status", PlayStatus.PLAYING, PlayStop.STOPPED),
])
def test_a_block_left_by_an_exception_stops_its_job(tmp_path, tone_wav, manager, status, busy,
                                                    stopped):
    path = tone_wav(20) if manager == "playback" else tmp_path / "take.wav"
    with pytest.raises(LookupError):
        with getattr(kaldrix, manager)(path) as job:
            assert getattr(kaldrix, status)() is busy
            raise LookupError
    assert job.stop_result is stopped
    assert (kaldrix.record_status(), kaldrix.play_status()) == (RecordStatus.IDLE, PlayStatus.IDLE)
    data_of(path)


@pytest.mark.parametrize("manager, stop, failure, text", [
    ("recording", "stop_recording", RecordStop.FILE_ERROR,
     "KxStopRecFile answered -1: the file could not be completed"),
    ("playback", "stop_playback", PlayStop.THREAD_DID_NOT_END,
     "KxStopPlayFile answered 1: the play thread did not end within 15 s"),
])
@pytest.mark.parametrize("block_raises", [False, True])
def test_a_failed_stop_raises_unless_the_block_raised(tmp_path, tone_wav, monkeypatch, manager,
                                                      stop, failure, text, block_raises):
    stop_for_real = getattr(kaldrix, stop)
    monkeypatch.setattr(kaldrix, stop, lambda: failure)
    try:
        with pytest.raises(LookupError if block_raises else kaldrix.KaldrixError) as raised:
            path = tone_wav(5) if manager == "playback" else tmp_path / "take.wav"
            with getattr(kaldrix, manager)(path):
                if block_raises:
                    raise LookupError("the block's own")
    finally:
        stop_for_real()
    assert (str(raised.value), getattr(raised.value, "__notes__", [])) == (
        ("the block's own", [text]) if block_raises else (text, []))


def test_an_undocumented_result_keeps_its_value():
    error = kaldrix.KaldrixError(PlayStop(7))
    assert (error.result, error.function) == (7, "KxStopPlayFile")
    assert str(error) == "KxStopPlayFile answered 7: a result the library does not document"


@pytest.mark.parametrize("rate, channels, bits", [(48000, 2, 24), (22050, 1, 8)])
def test_records_the_format_asked_for(tmp_path, rate, channels, bits):
    take = kaldrix.record(tmp_path / "take.wav", seconds=0.5, rate=rate, channels=channels,
                          bits=bits)
    raw = Path(take.path).read_bytes()
    size, tag = (68, 0xFFFE) if bits > 16 else (44, 1)
    assert struct.unpack_from("<4sI4s4sIHHIIHH", raw) == (
        b"RIFF", len(raw) - 8, b"WAVE", b"fmt ", size - 28, tag, channels, rate,
        rate * channels * bits // 8, channels * bits // 8, bits)
    assert struct.unpack_from("<4sI", raw, size - 8) == (b"data", len(raw) - size)
    assert len(raw) > size


@pytest.mark.parametrize("asked, error", [
    ({"bits": 12}, "KxStartRecFileFormat answered 0: already recording, or a device step failed"),
    # Not wrapped round to 8000 on its way to the library's int.
    ({"rate": 2**32 + 8000}, "KxStartRecFileFormat answered 0"),
    ({"rate": 8000.0}, "rate must be an int, not 8000.0"),
])
def test_a_refused_format_raises_and_touches_nothing(tmp_path, asked, error):
    with pytest.raises((kaldrix.KaldrixError, TypeError), match=re.escape(error)):
        kaldrix.record(tmp_path / "take.wav", seconds=0, **asked)
    assert kaldrix.record_status() is RecordStatus.IDLE and not list(tmp_path.iterdir())


def test_a_library_older_than_1_1_records_the_default_format_only(tmp_path, monkeypatch):
    kaldrix.load()
    monkeypatch.setattr(kaldrix, "_has_format_start", False)
    with pytest.raises(NotImplementedError, match="older than 1.1"):
        kaldrix.start_recording(tmp_path / "take.wav", rate=16000)
    assert kaldrix.record_status() is RecordStatus.IDLE and not list(tmp_path.iterdir())
    data_of(kaldrix.record(tmp_path / "take.wav", seconds=0).path)


def test_a_name_with_a_zero_byte_is_refused(tmp_path):
    with pytest.raises(ValueError, match="zero byte"):
        kaldrix.start_recording(f"{tmp_path}/take.wav\0.txt")
    assert kaldrix.record_status() is RecordStatus.IDLE and not list(tmp_path.iterdir())


def test_the_readme_example_runs_as_written(tmp_path):
    readme = (Path(__file__).parents[2] / "README.md").read_text()
    section = readme.split("## Python hosts", 1)[1].split("\n## ", 1)[0]
    example = re.search(r"\n\n((?:    import .*\n)(?:    .*\n|\n)*)", section)[1]
    code = "\n".join(line[4:] for line in example.splitlines())
    child = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout == b"" and child.stderr == b"", "the example runs silently"
    assert list(tmp_path.glob("*.wav")) and all(map(data_of, tmp_path.glob("*.wav")))
