# SPDX-License-Identifier: MIT
"""Finding and loading the KALDRIX library.

The host's path comes first, then the KALDRIX_LIBRARY environment variable,
then the library that the module carries (a wheel holds it beside this
file), then the system's own search by name. The first of these that is
given is the only one tried: a path that names the wrong file fails loudly
instead of quietly loading another copy of the library.
"""

import ctypes
import os
import struct
import sys
from typing import List, Mapping, NamedTuple, Optional, Tuple, Union

ENVIRONMENT_VARIABLE = "KALDRIX_LIBRARY"
LINUX_NAME = "libkaldrix.so.1"
WINDOWS_NAME = "KALDRIX.dll"

# IMAGE_FILE_HEADER.Machine of a PE file, by the pointer size it runs with.
_PE_MACHINES = {0x014C: 32, 0x8664: 64}
# Subfolders that hold each architecture's DLL beside each other.
_WINDOWS_SUBFOLDERS = {32: ("x86", "win32"), 64: ("x64", "win64")}

# Where a wheel that carries the library holds it.
CARRIED_FOLDER = os.path.dirname(os.path.abspath(__file__))

PathLike = Union[str, "os.PathLike[str]"]


class LibraryNotFoundError(OSError):
    """No KALDRIX library could be loaded; the text names every place tried."""


class Candidate(NamedTuple):
    path: str
    origin: str  # where the path came from, for the error text


def pointer_bits() -> int:
    """32 or 64: the architecture of this interpreter."""
    return struct.calcsize("P") * 8


def pe_bits(path: str) -> Optional[int]:
    """32 or 64 for a Windows DLL of x86 or x64, None for anything else."""
    try:
        with open(path, "rb") as dll:
            head = dll.read(64)
            if len(head) < 64 or head[:2] != b"MZ":
                return None
            dll.seek(struct.unpack_from("<I", head, 0x3C)[0])
            signature = dll.read(6)
    except OSError:
        return None
    if len(signature) < 6 or signature[:4] != b"PE\0\0":
        return None
    return _PE_MACHINES.get(struct.unpack_from("<H", signature, 4)[0])


def in_folder(folder: str, origin: str, windows: bool, bits: int) -> List[Candidate]:
    """The library in a folder; on Windows also the one in the folder's
    subfolder for this architecture (x86 or win32, x64 or win64)."""
    if not windows:
        return [Candidate(os.path.join(folder, LINUX_NAME), origin)]
    folders = [folder] + [os.path.join(folder, sub) for sub in _WINDOWS_SUBFOLDERS[bits]]
    return [Candidate(os.path.join(folder, WINDOWS_NAME), origin) for folder in folders]


def candidates(
    path: Optional[PathLike], environ: Mapping[str, str], windows: bool, bits: int,
    carried_folder: str = CARRIED_FOLDER,
) -> List[Candidate]:
    """The paths to try, in order. A folder stands for the library in it."""
    if path is not None:
        given, origin = os.fspath(path), "given by the host"
    elif environ.get(ENVIRONMENT_VARIABLE):
        given, origin = environ[ENVIRONMENT_VARIABLE], f"from {ENVIRONMENT_VARIABLE}"
    else:
        carried = [candidate for candidate in in_folder(carried_folder, "carried by the module",
                                                        windows, bits)
                   if os.path.exists(candidate.path)]
        return carried or [Candidate(WINDOWS_NAME if windows else LINUX_NAME, "the system's search")]
    if not os.path.isdir(given):
        return [Candidate(given, origin)]
    return in_folder(given, origin, windows, bits)


def choose_windows_dll(found: List[Candidate], bits: int) -> Tuple[Optional[Candidate], List[str]]:
    """The first candidate that is a DLL of the given architecture, and why
    each one before it was passed over. A bare name (the system's search)
    cannot be looked at before loading and is taken as it is."""
    passed_over = []
    for candidate in found:
        if not os.path.dirname(candidate.path):
            return candidate, passed_over
        if not os.path.exists(candidate.path):
            passed_over.append(f"{candidate.path} ({candidate.origin}): no such file")
            continue
        dll_bits = pe_bits(candidate.path)
        if dll_bits == bits:
            return candidate, passed_over
        kind = f"a {dll_bits}-bit DLL" if dll_bits else "not an x86 or x64 DLL"
        passed_over.append(f"{candidate.path} ({candidate.origin}): {kind}, this Python is {bits}-bit")
    return None, passed_over


def load(path: Optional[PathLike] = None) -> Tuple[ctypes.CDLL, str]:
    """Loads the library; returns it and the path or name it was loaded by."""
    windows = sys.platform == "win32"
    found = candidates(path, os.environ, windows, pointer_bits())
    tried = []
    if windows:
        chosen, tried = choose_windows_dll(found, pointer_bits())
        found = [chosen] if chosen else []
    for candidate in found:
        try:
            # The 32-bit DLL's functions are __stdcall; on x64 both are one.
            loader = ctypes.WinDLL if windows else ctypes.CDLL  # type: ignore[attr-defined]
            return loader(candidate.path), candidate.path
        except OSError as error:
            tried.append(f"{candidate.path} ({candidate.origin}): {error}")
    raise LibraryNotFoundError(
        "cannot load the KALDRIX library; tried "
        + "; ".join(tried)
        + f". Pass its path to kaldrix.load() or set {ENVIRONMENT_VARIABLE}."
    )
