# SPDX-License-Identifier: MIT
"""Play WAVE files and record WAVE files (8000 Hz 16-bit mono, or another PCM
format) with KALDRIX.

The six functions of the library, each answering a named result::

    start_recording(path) -> RecordStart     KxStartRecFile
      (rate=, channels=, bits= other than 8000, 1, 16: KxStartRecFileFormat)
    stop_recording()      -> RecordStop      KxStopRecFile
    record_status()       -> RecordStatus    KxRecordStatus
    start_playback(path)  -> PlayStart       KxStartPlayFile
    stop_playback()       -> PlayStop        KxStopPlayFile
    play_status()         -> PlayStatus      KxPlayStatus

two context managers that start a job, stop it when the block ends and
raise KaldrixError when the library answers a failure::

    with kaldrix.recording("take.wav"):
        time.sleep(3)
    with kaldrix.playback("take.wav") as p:
        p.wait()

and two calls that do the same in one line each::

    kaldrix.record("take.wav", seconds=3)
    kaldrix.play("take.wav")

The recording calls take the PCM format as rate= (8000 to 192000 samples a
second), channels= (1 to 8) and bits= (8, 16, 24 or 32), 8000 Hz 16-bit mono
unless told otherwise::

    kaldrix.record("music.wav", seconds=3, rate=48000, channels=2, bits=24)

Another format needs a library of 1.1 or later (KxStartRecFileFormat); with
an older one it raises NotImplementedError and records nothing.

A start that fails for a path the system refuses raises what Python's own
file functions raise, and a KaldrixError all the same:
KaldrixFileNotFoundError (a FileNotFoundError) when the file to play, or the
folder to record into, does not exist; KaldrixPermissionError (a
PermissionError) when the file cannot be read, or written.

The library is loaded on the first call, or by load(): from the path the
host gives, else from the KALDRIX_LIBRARY environment variable (a file, or a
folder that holds it), else the one this module carries (a wheel made for
this platform holds libkaldrix.so.1 beside this file), else by the system's
search for libkaldrix.so.1 (on Windows KALDRIX.dll, of this interpreter's
architecture).

The library can echo every log record on the process's standard output
(descriptor 1, past sys.stdout's buffer, in GBK), and only while descriptor 1
is the file it was at the load (a later redirection gets nothing). This
module loads it with that echo off, so that a program's standard output
stays its own; the day's log file is written all the same. KALDRIX_ECHO set
in the environment, or load(), chooses otherwise for the process's life::

    kaldrix.load(echo="stdout")
    kaldrix.load(echo="stderr", encoding="utf-8")

Calls may come from any thread; each one releases the interpreter lock
while the library works. The calls that start or stop a job (the four
start_ and stop_ functions, and entering and leaving the two context
managers) take a lock of their engine, one for recording and one for
playback, so two threads never interleave a start and a stop of the same
engine. What two threads get:

- two ``with kaldrix.recording(...)`` blocks at once: one records; the
  other raises KaldrixError ("a recording runs already") and leaves that
  recording alone;
- two ``with kaldrix.playback(...)`` blocks at once: the later start
  replaces the earlier playback, as the library does; the block whose
  playback was replaced then sees it ended (``playing`` False) and its exit
  stops nothing, so the playback that replaced it plays on;
- a block's exit stops only its own job: after stop_recording() or
  stop_playback() from another thread, it stops nothing.

The locks cover only callers that go through this module: a thread that
calls the library otherwise (its own ctypes handle, another module) is not
held by them, and may still start or stop a job under a block.
"""

import ctypes
import math
import numbers
import os
import sys
import threading
import time
from types import TracebackType
from typing import Callable, Optional, Tuple, Type, TypeVar, Union

from . import _library
from ._library import ENVIRONMENT_VARIABLE, LibraryNotFoundError, PathLike
from .results import (
    KaldrixError,
    KaldrixFileNotFoundError,
    KaldrixPermissionError,
    PlayStart,
    PlayStatus,
    PlayStop,
    RecordStart,
    RecordStatus,
    RecordStop,
    Result,
)

__version__ = "1.1.0.0"
__all__ = [
    "ENVIRONMENT_VARIABLE", "KaldrixError", "KaldrixFileNotFoundError", "KaldrixPermissionError",
    "LibraryNotFoundError", "Playback", "PlayStart", "PlayStatus", "PlayStop", "Recording",
    "RecordStart", "RecordStatus", "RecordStop", "Result", "load", "play", "play_status",
    "playback", "record", "record_status", "recording", "start_playback", "start_recording",
    "stop_playback", "stop_recording",
]

FileName = Union[PathLike, bytes]
R = TypeVar("R", bound=Result)

_load_lock = threading.Lock()
_library_handle: Optional[ctypes.CDLL] = None
_loaded_by = ""
# Whether the loaded library has KxStartRecFileFormat (1.1 and later).
_has_format_start = False


_ECHO_VARIABLES = ("KALDRIX_ECHO", "KALDRIX_ECHO_ENCODING")
# The module's own choice where neither load() nor the environment makes
# one: a Python program's standard output is its own.
_DEFAULT_ECHO = "off"
_loaded_echo: Tuple[Optional[str], Optional[str]] = (None, None)


def load(path: Optional[PathLike] = None, echo: Optional[str] = None,
         encoding: Optional[str] = None) -> str:
    """Loads the library now (otherwise the first call does) and returns the
    path or name it was loaded by. echo chooses where the library echoes its
    log records ("off", this module's default unless KALDRIX_ECHO is set in
    the environment; "stdout", the library's own default; or "stderr") and
    encoding in what ("gbk", the default, or "utf-8"); the library reads them
    once, as it loads (through KALDRIX_ECHO and KALDRIX_ECHO_ENCODING, which
    are put back as they were afterwards, so that child processes do not
    inherit them). Once loaded, it stays: a later call without arguments, or
    with the same ones, returns at once, and a different path, echo or
    encoding raises RuntimeError. Raises LibraryNotFoundError naming every
    place it tried. Loading writes the log's "Log Started" on the echo.
    """
    global _library_handle, _loaded_by, _loaded_echo, _has_format_start
    with _load_lock:
        if _library_handle is not None:
            if path is not None and os.fspath(path) != _loaded_by:
                raise RuntimeError(f"the KALDRIX library is loaded already, from {_loaded_by}")
            for asked, loaded, what in zip((echo, encoding), _loaded_echo, ("echo", "encoding")):
                if asked is not None and asked != loaded:
                    raise RuntimeError(f"the KALDRIX library is loaded already, with {what} "
                                       f"{loaded or 'as its default'}")
            return _loaded_by
        if echo is None:
            echo = os.environ.get("KALDRIX_ECHO", _DEFAULT_ECHO)
        saved = {name: os.environ.get(name) for name in _ECHO_VARIABLES}
        try:
            for name, value in zip(_ECHO_VARIABLES, (echo, encoding)):
                if value is not None:
                    os.environ[name] = value
            handle, _loaded_by = _library.load(path)
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
        _loaded_echo = (echo, encoding)
        handle.KxStartRecFile.argtypes = [ctypes.c_char_p]
        _has_format_start = hasattr(handle, "KxStartRecFileFormat")
        if _has_format_start:
            handle.KxStartRecFileFormat.argtypes = [ctypes.c_char_p] + [ctypes.c_int] * 3
        handle.KxStartPlayFile.argtypes = [ctypes.c_char_p]
        for name in ("KxStopRecFile", "KxStopPlayFile", "KxPlayStatus", "KxRecordStatus"):
            getattr(handle, name).argtypes = []
        _library_handle = handle
        return _loaded_by


class _Engine:
    """One engine's lock and a count of the changes of its job made through
    this module: each stop, each start that replaces a playback, each
    recording started. A with-block keeps the count its start left and
    stops its job only while the count is still that."""

    def __init__(self) -> None:
        # Reentrant: a block's entry and exit call the module's own start
        # and stop functions while they hold it.
        self.lock = threading.RLock()
        self.generation = 0


_recorder = _Engine()
_player = _Engine()


def _call(result_type: Type[R], *arguments: Union[bytes, int], function: str = "") -> R:
    if _library_handle is None:
        load()
    return result_type(getattr(_library_handle, function or result_type.function)(*arguments))


_DEFAULT_FORMAT = (8000, 1, 16)
_INT_RANGE = (-2**31, 2**31 - 1)


def _format(rate: int, channels: int, bits: int) -> Tuple[int, int, int]:
    """The format as the library's ints. A value beyond an int's range is
    passed as the nearest int, which the library refuses as any format out
    of its ranges, rather than wrapped round into one it takes."""
    values = []
    for name, value in (("rate", rate), ("channels", channels), ("bits", bits)):
        if not isinstance(value, numbers.Integral) or isinstance(value, bool):
            raise TypeError(f"{name} must be an int, not {value!r}")
        values.append(min(max(int(value), _INT_RANGE[0]), _INT_RANGE[1]))
    return values[0], values[1], values[2]


def _start_function(recording_format: Tuple[int, int, int]) -> str:
    """The library function that starts a recording in that format."""
    if recording_format == _DEFAULT_FORMAT:
        return "KxStartRecFile"
    if _library_handle is None:
        load()
    if not _has_format_start:
        rate, channels, bits = recording_format
        raise NotImplementedError(
            f"the KALDRIX library ({_loaded_by}) is older than 1.1: it records 8000 Hz 16-bit "
            f"mono only, not {rate} Hz {bits}-bit with {channels} channels")
    return "KxStartRecFileFormat"


def _file_name(path: FileName) -> bytes:
    """The bytes the library hands to the system: the file system's encoding
    on Linux, the ANSI code page on Windows."""
    name = os.fspath(path)
    if isinstance(name, str):
        name = name.encode("mbcs") if sys.platform == "win32" else os.fsencode(name)
    # The library reads a zero-terminated string: a name with a zero byte
    # in it would quietly name another file.
    if b"\0" in name:
        raise ValueError(f"file name with an embedded zero byte: {path!r}")
    return name


def start_recording(path: FileName, rate: int = 8000, channels: int = 1,
                    bits: int = 16) -> RecordStart:
    """KxStartRecFile: records the default input into a new WAVE file at
    path (PCM, mono, 8000 Hz, 16-bit), on a thread of the library.

    Another rate (8000 to 192000 samples a second), channels (1 to 8) or
    bits (8, 16, 24 or 32) is KxStartRecFileFormat, of a library of 1.1 or
    later (NotImplementedError with an older one). A format outside those
    ranges answers NOT_STARTED at once, touches no file and leaves the
    recorder idle.

    Blocks while the file is created and the input device opened and
    started, normally a small fraction of a second. On anything else but
    RECORDING the recorder stays busy (record_status() answers RECORDING)
    until stop_recording().
    """
    name = _file_name(path)
    recording_format = _format(rate, channels, bits)
    with _recorder.lock:
        function = _start_function(recording_format)
        arguments = (name,) if function == "KxStartRecFile" else (name, *recording_format)
        result = _call(RecordStart, *arguments, function=function)
        if result is RecordStart.RECORDING:
            _recorder.generation += 1
        return result


def stop_recording() -> RecordStop:
    """KxStopRecFile: stops the recording and completes the file's header.

    Blocks at least 1.5 s while the device is drained; answers at once
    NOT_RECORDING when nothing was recording. COMPLETE only for a file whose
    header is whole and matches its length.
    """
    with _recorder.lock:
        _recorder.generation += 1
        return _call(RecordStop)


def record_status() -> RecordStatus:
    """KxRecordStatus: RECORDING or IDLE; answers at once."""
    return _call(RecordStatus)


def start_playback(path: FileName) -> PlayStart:
    """KxStartPlayFile: plays the WAVE file at path on the output device,
    on a thread of the library, and returns while it plays.

    A playback in progress is stopped first, which can block as long as
    stop_playback(). A FIFO, a device or a folder is refused at once.
    """
    name = _file_name(path)
    with _player.lock:
        # Whatever it answers, the playback that was running has ended.
        _player.generation += 1
        return _call(PlayStart, name)


def stop_playback() -> PlayStop:
    """KxStopPlayFile: stops the playback.

    The stop is noticed between blocks, so it blocks up to about 3 s (about
    5 s at the very end of a file); it gives up after 15 s and answers
    THREAD_DID_NOT_END. Answers STOPPED at once when nothing plays.
    """
    with _player.lock:
        _player.generation += 1
        return _call(PlayStop)


def play_status() -> PlayStatus:
    """KxPlayStatus: IDLE at once, or PLAYING after about 200 ms.

    A playback counts as playing until about 2 s after its last sound, the
    library's pause before it closes the device.
    """
    return _call(PlayStatus)


def _start_error(result: Result, path: FileName, writing: bool,
                 function: str = "") -> KaldrixError:
    """The error a failed start raises. The library answers -1 alike for
    every reason a file cannot be opened or created; where the path shows
    the system's reason, it is raised as Python's file functions raise it."""
    if result == -1:
        name = os.fspath(path)
        folder = os.path.dirname(os.path.abspath(name))
        if not os.path.exists(folder if writing else name):
            return KaldrixFileNotFoundError(result, name)
        if writing:
            # An existing file is overwritten; a new one needs the folder.
            can = os.access(name, os.W_OK) if os.path.exists(name) else os.access(
                folder, os.W_OK | os.X_OK)
        else:
            can = os.access(name, os.R_OK)
        if not can:
            return KaldrixPermissionError(result, name)
    return KaldrixError(result, function=function)


def _stop_on_exit(stop: Callable[[], R], success: R, block_error: Optional[BaseException]) -> R:
    """Stops a job as a with-block ends. A failed stop raises, unless the
    block is already leaving by an exception: that one goes on, noted with
    the stop's failure."""
    result = stop()
    if result is not success:
        error = KaldrixError(result)
        if block_error is None:
            raise error
        if hasattr(block_error, "add_note"):
            block_error.add_note(str(error))
    return result


class Recording:
    """``with kaldrix.recording(path) as r:`` records while the block runs.

    Entering starts the recording (see start_recording()) and raises
    KaldrixError when it does not start: when a recording runs already, that
    recording is left alone; a start that failed itself is stopped again so
    that the recorder does not stay busy. Leaving stops it (see
    stop_recording(): at least 1.5 s) and raises KaldrixError when the file
    could not be completed; ``r.stop_result`` holds what the stop answered.
    A recording that stop_recording() ended meanwhile is not stopped again
    (``r.stop_result`` is then NOT_RECORDING).
    """

    def __init__(self, path: FileName, rate: int = 8000, channels: int = 1,
                 bits: int = 16) -> None:
        self.path = path
        self.format = _format(rate, channels, bits)
        self.stop_result: Optional[RecordStop] = None
        self._generation = -1

    def __enter__(self) -> "Recording":
        with _recorder.lock:
            if record_status() is RecordStatus.RECORDING:
                raise KaldrixError(
                    RecordStart.NOT_STARTED,
                    f"cannot record into {os.fsdecode(self.path)!s}: a recording runs already "
                    "(it is left alone)")
            result = start_recording(self.path, *self.format)
            if result is not RecordStart.RECORDING:
                # The library keeps its recording flag up after a failed
                # start; the recorder was idle, so this start raised it.
                if record_status() is RecordStatus.RECORDING:
                    stop_recording()
                raise _start_error(result, self.path, writing=True,
                                   function=_start_function(self.format))
            self._generation = _recorder.generation
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        with _recorder.lock:
            if _recorder.generation != self._generation:
                self.stop_result = RecordStop.NOT_RECORDING
                return
            self.stop_result = _stop_on_exit(stop_recording, RecordStop.COMPLETE, exc)


class Playback:
    """``with kaldrix.playback(path) as p:`` plays while the block runs.

    Entering starts the playback (see start_playback()) and raises
    KaldrixError when it does not start. ``p.wait()`` waits for its end,
    ``p.playing`` tells whether it still plays. Leaving stops it (see
    stop_playback(): up to about 3-5 s while it plays, at once after its end)
    and raises KaldrixError when the stop fails; ``p.stop_result`` holds what
    the stop answered. A playback that another start replaced, or that
    stop_playback() ended, counts as ended and is not stopped again
    (``p.stop_result`` is then STOPPED).
    """

    def __init__(self, path: FileName) -> None:
        self.path = path
        self.stop_result: Optional[PlayStop] = None
        self._generation = -1

    def __enter__(self) -> "Playback":
        with _player.lock:
            result = start_playback(self.path)
            if result is not PlayStart.PLAYING:
                raise _start_error(result, self.path, writing=False)
            self._generation = _player.generation
        return self

    @property
    def playing(self) -> bool:
        """True while the library plays this block's playback (each look
        takes about 200 ms then; False comes at once)."""
        return _player.generation == self._generation and play_status() is PlayStatus.PLAYING

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the playback has ended, about 2 s after its last
        sound, or until timeout seconds have passed (checked about every
        200 ms). True when it has ended.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.playing:
            if deadline is not None and time.monotonic() >= deadline:
                return False
        return True

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        with _player.lock:
            if _player.generation != self._generation:
                self.stop_result = PlayStop.STOPPED
                return
            self.stop_result = _stop_on_exit(stop_playback, PlayStop.STOPPED, exc)


def recording(path: FileName, rate: int = 8000, channels: int = 1, bits: int = 16) -> Recording:
    """Records into path, in the format start_recording() takes, while a
    with-block runs; see Recording."""
    return Recording(path, rate, channels, bits)


def playback(path: FileName) -> Playback:
    """Plays path while a with-block runs; see Playback."""
    return Playback(path)


def record(path: FileName, *, seconds: float, rate: int = 8000, channels: int = 1,
           bits: int = 16) -> Recording:
    """Records into path for the given seconds and completes the file, as
    ``with recording(path, rate, channels, bits): time.sleep(seconds)``
    does: the same errors, and the stop's 1.5 s and more on top. Returns the
    finished Recording.
    """
    # Checked before the file is made: time.sleep() would refuse it only
    # inside the block, after the recording had started.
    if not isinstance(seconds, numbers.Real):
        raise TypeError(f"seconds must be a number, not {seconds!r}")
    if not 0 <= seconds < math.inf:
        raise ValueError(f"seconds must be a finite number from 0 on, not {seconds!r}")
    with recording(path, rate, channels, bits) as job:
        time.sleep(seconds)
    return job


def play(path: FileName, wait: bool = True) -> Playback:
    """Plays path. With wait (the default), returns once it has played,
    about 2 s after its last sound, as ``with playback(path) as p: p.wait()``
    does; an exception meanwhile (Ctrl-C) stops it. Without wait, returns at
    once while it plays: the Playback's ``playing`` and ``wait()`` follow
    it, and stop_playback() stops it. Raises as playback() does.
    """
    job = Playback(path)
    if not wait:
        return job.__enter__()
    with job:
        job.wait()
    return job
