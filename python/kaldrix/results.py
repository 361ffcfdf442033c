# SPDX-License-Identifier: MIT
"""The named results of the six functions and the errors that carry one."""

import errno
import os
from enum import IntEnum
from typing import Any, Optional


class Result(IntEnum):
    """A function's result: an int with a name and the meaning the library
    documents for it. Each subclass names the function it belongs to."""

    function: str
    meaning: str

    def __new__(cls, value: int, meaning: str) -> "Result":
        member = int.__new__(cls, value)
        member._value_ = value
        member.meaning = meaning
        return member

    @classmethod
    def _missing_(cls, value: Any) -> "Result":
        # A value the library does not document still reaches the host as a
        # result of this type, never as a ValueError from the conversion.
        if not isinstance(value, int):
            return None  # type: ignore[return-value]
        member = int.__new__(cls, value)
        member._value_ = value
        member._name_ = f"UNDOCUMENTED_{value}".replace("-", "MINUS_")
        member.meaning = "a result the library does not document"
        return member


class RecordStart(Result):
    """What KxStartRecFile answers."""

    RECORDING = 1, "recording"
    #: Already recording, or a device step failed; either way the recorder
    #: stays busy (record_status() RECORDING) until stop_recording().
    NOT_STARTED = 0, "already recording, or a device step failed"
    #: The recorder also stays busy until stop_recording().
    FILE_NOT_CREATED = -1, "the file cannot be created"


class RecordStop(Result):
    """What KxStopRecFile answers."""

    COMPLETE = 1, "the file is complete"
    NOT_RECORDING = 0, "nothing was recording"
    FILE_ERROR = -1, "the file could not be completed"


class PlayStart(Result):
    """What KxStartPlayFile answers."""

    PLAYING = 1, "playing"
    CANNOT_OPEN = -1, "the file or the device cannot be opened"


class PlayStop(Result):
    """What KxStopPlayFile answers."""

    STOPPED = 0, "stopped, or nothing was playing"
    THREAD_DID_NOT_END = 1, "the play thread did not end within 15 s"
    NO_THREAD = 5, "no thread to stop"


class PlayStatus(Result):
    """What KxPlayStatus answers."""

    IDLE = 0, "idle"
    PLAYING = 1, "playing"


class RecordStatus(Result):
    """What KxRecordStatus answers."""

    IDLE = 0, "idle"
    RECORDING = 1, "recording"


# Set after the classes are made: in a class body it would become a member.
RecordStart.function = "KxStartRecFile"
RecordStop.function = "KxStopRecFile"
PlayStart.function = "KxStartPlayFile"
PlayStop.function = "KxStopPlayFile"
PlayStatus.function = "KxPlayStatus"
RecordStatus.function = "KxRecordStatus"


class KaldrixError(Exception):
    """A call answered a failure; ``result`` is the named result.

    ``str()`` names the call and the documented meaning, for instance
    "KxStartRecFile answered -1: the file cannot be created", unless a
    message says more.
    """

    _function = ""

    def __init__(self, result: Result, message: Optional[str] = None, function: str = "") -> None:
        self._function = function
        self.result = result
        super().__init__(message or f"{self.function} answered {int(result)}: {result.meaning}")

    @property
    def function(self) -> str:
        """The library function that answered, as the header names it (a
        RecordStart may come from KxStartRecFile or KxStartRecFileFormat)."""
        return self._function or self.result.function


class _PathError(KaldrixError):
    """A start that answered -1 for a path that the system refuses as well:
    an OSError whose errno, strerror and filename are set as Python's own
    file functions set them (``str()`` reads like theirs), and a
    KaldrixError whose ``result`` is the start's named result."""

    error_number: int

    def __init__(self, result: Result, path: Any) -> None:
        number = self.error_number
        OSError.__init__(self, number, os.strerror(number), path)  # type: ignore[arg-type]
        self.result = result


class KaldrixFileNotFoundError(_PathError, FileNotFoundError):
    """The file to play, or the folder to record into, does not exist."""

    error_number = errno.ENOENT


class KaldrixPermissionError(_PathError, PermissionError):
    """The file to play cannot be read, or the file to record cannot be
    written."""

    error_number = errno.EACCES
