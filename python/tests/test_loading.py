# SPDX-License-Identifier: MIT
import functools
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import kaldrix
from conftest import LIBRARY, run_child
from kaldrix import _library
from test_kaldrix import data_of

FOLDER = os.path.dirname(os.path.realpath(LIBRARY))
# Loads, makes a call, names the file the process mapped, and refuses to
# load a second library from elsewhere.
LOAD = """
loaded_by = kaldrix.load(*sys.argv[1:])
status = kaldrix.record_status().name
maps = [line.split()[-1] for line in open("/proc/self/maps") if "libkaldrix" in line]
try:
    kaldrix.load("/elsewhere/libkaldrix.so.1")
except RuntimeError as error:
    report(loaded_by, status, sorted(set(maps)), str(error))
"""


@pytest.mark.parametrize("argument, env, loaded_by", [
    (LIBRARY, {"KALDRIX_LIBRARY": None}, LIBRARY),
    (None, {"KALDRIX_LIBRARY": FOLDER}, os.path.join(FOLDER, "libkaldrix.so.1")),
    (None, {"KALDRIX_LIBRARY": None, "LD_LIBRARY_PATH": FOLDER}, "libkaldrix.so.1"),
])
def test_loads_from_the_host_the_variable_or_the_system(argument, env, loaded_by):
    reported = run_child(LOAD, *[argument] if argument else [], **env)
    assert reported == [loaded_by, "IDLE", [os.path.realpath(LIBRARY)],
                        f"the KALDRIX library is loaded already, from {loaded_by}"]


@pytest.mark.parametrize("code, env, looked_for", [
    ("kaldrix.load('/nowhere/libkaldrix.so.1')", {"KALDRIX_LIBRARY": "/elsewhere"},
     "/nowhere/libkaldrix.so.1 (given by the host)"),
    ("kaldrix.record_status()", {"KALDRIX_LIBRARY": "/nowhere"},
     "/nowhere (from KALDRIX_LIBRARY)"),
    ("kaldrix._library.LINUX_NAME = 'libkaldrix-absent.so.1'; kaldrix.play_status()",
     {"KALDRIX_LIBRARY": None}, "libkaldrix-absent.so.1 (the system's search)"),
])
def test_a_library_not_found_names_where_it_was_looked_for(code, env, looked_for):
    text = run_child(f"try:\n    {code}\nexcept kaldrix.LibraryNotFoundError as e:\n"
                     "    report(str(e))", **env)[0]
    assert text.startswith(f"cannot load the KALDRIX library; tried {looked_for}: ")
    assert text.endswith("Pass its path to kaldrix.load() or set KALDRIX_LIBRARY.")


@pytest.mark.parametrize("dlls, given, bits, chosen, passed_over", [
    ({"x86": 0x14C, "x64": 0x8664}, ".", 64, "x64/KALDRIX.dll", []),
    ({"x86": 0x14C, "x64": 0x8664}, ".", 32, "x86/KALDRIX.dll", []),
    ({".": 0x14C, "win64": 0x8664}, ".", 64, "win64/KALDRIX.dll",
     ["KALDRIX.dll: a 32-bit DLL, this Python is 64-bit"]),
    ({".": 0x8664}, "KALDRIX.dll", 32, None, ["KALDRIX.dll: a 64-bit DLL, this Python is 32-bit"]),
    ({}, None, 32, "KALDRIX.dll", []),
])
def test_windows_takes_the_dll_of_the_interpreters_architecture(tmp_path, dlls, given, bits,
                                                                 chosen, passed_over):
    for folder, machine in dlls.items():  # a DOS header, then a PE header or none
        (tmp_path / folder).mkdir(exist_ok=True)
        pe = b"PE\0\0" + machine.to_bytes(2, "little") if machine else b"#!/bin/sh\n"
        (tmp_path / folder / "KALDRIX.dll").write_bytes(b"MZ" + bytes(58) + b"@\0\0\0" + pe)
    found = _library.candidates(given and tmp_path / given, {}, windows=True, bits=bits)
    candidate, reasons = _library.choose_windows_dll(found, bits)
    short = lambda text: text.replace(f"{tmp_path}/", "").replace(" (given by the host)", "")
    assert (candidate and short(candidate.path)) == chosen
    assert [short(reason) for reason in reasons if "no such file" not in reason] == passed_over


@pytest.fixture(scope="module")
def venv_with(tmp_path_factory):
    """venv_with("source") is a venv over the system's packages with the
    source folder pip-installed; venv_with("wheel") one of its own with the
    build's wheel, which is tagged for this platform."""
    def install(kind):
        venv = tmp_path_factory.mktemp(kind) / "venv"
        if kind == "source":
            source = shutil.copytree(Path(kaldrix.__file__).parents[1], venv.parent / "source",
                                     ignore=shutil.ignore_patterns("tests", "__pycache__"))
            options, what = ["--system-site-packages"], ["--no-build-isolation", source]
        else:
            if not os.environ.get("KALDRIX_WHEEL_DIR"):
                pytest.skip("this build makes no wheel (KALDRIX_WHEEL is off)")
            platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
            options, what = [], [Path(os.environ["KALDRIX_WHEEL_DIR"])
                                 / f"kaldrix-{kaldrix.__version__}-py3-none-{platform}.whl"]
        subprocess.run([sys.executable, "-m", "venv", *options, venv], check=True)
        subprocess.run([venv / "bin/pip", "install", "-q", "--no-index", *what], check=True,
                       capture_output=True, timeout=300)
        return next(venv.glob("lib/python3*/site-packages/kaldrix")), venv / "bin/python"
    return functools.lru_cache(install)


INSTALLED = """
import os
from importlib.metadata import distribution
loaded_by = kaldrix.load()
if sys.argv[1] == "record and play":
    kaldrix.play(kaldrix.record("take.wav", seconds=1).path)
maps = {os.path.realpath(line.split()[-1]) for line in open("/proc/self/maps") if "libkaldrix" in line}
files = distribution("kaldrix")
report(kaldrix.__file__, loaded_by, sorted(maps),
       "\\n## Python hosts\\n" in files.read_text("METADATA"), files.read_text("LICENSE"))
"""


# The source folder's module loads the library named to it; the wheel its
# own, before a copy that the system's search finds, and KALDRIX_LIBRARY
# before both. The wheel's description is README's Python section, and it
# holds the licence.
@pytest.mark.parametrize("kind, job, env, loads", [
    ("source", "", {"KALDRIX_LIBRARY": LIBRARY}, LIBRARY),
    ("wheel", "record and play", {}, "carried"),
    ("wheel", "", {"LD_LIBRARY_PATH": FOLDER}, "carried"),
    ("wheel", "", {"KALDRIX_LIBRARY": LIBRARY}, LIBRARY),
])
def test_pip_installs_a_working_package(venv_with, tmp_path, kind, job, env, loads):
    module, python = venv_with(kind)
    loads = str(module / "libkaldrix.so.1") if loads == "carried" else loads
    out = tmp_path / "out.raw"
    reported = run_child(INSTALLED, job, python=python, cwd=tmp_path,
                         **{"PYTHONPATH": None, "KALDRIX_LIBRARY": None, "LD_LIBRARY_PATH": None,
                            "KALDRIX_VIRTUAL_OUT": str(out), **env})
    wheel = kind == "wheel"
    license_text = (Path(kaldrix.__file__).parents[2] / "LICENSE").read_text() if wheel else None
    assert reported == [str(module / "__init__.py"), loads, [os.path.realpath(loads)], wheel,
                        license_text]
    if job:
        assert out.read_bytes() == data_of(tmp_path / "take.wav")


ECHO = """
import os, sys, kaldrix
kaldrix.load(echo=sys.argv[1] or None, encoding=sys.argv[2] or None)
inherited = [os.environ.get(name) for name in ("KALDRIX_ECHO", "KALDRIX_ECHO_ENCODING")]
kaldrix.start_playback("/nowhere/missing.wav")
try:
    kaldrix.load(echo="off" if sys.argv[1] == "stderr" else "stderr")
except RuntimeError:
    open(sys.argv[3], "w").write(repr(inherited))
"""


# The echo where the host asks for it, for this load only: the variables are
# back as they were for the program's own children. Off unless asked for,
# by load() or by KALDRIX_ECHO already in the environment. The library's
# Chinese record of the failed start shows which encoding it was.
RECORD = "无法打开波形文件/nowhere/missing.wav"


@pytest.mark.parametrize("echo, encoding, variable, stdout, stderr", [
    ("off", "", None, b"", b""),
    ("stderr", "utf-8", None, b"", RECORD.encode()),
    ("", "", None, b"", b""),
    ("stdout", "", None, RECORD.encode("gbk"), b""),
    ("", "", "stdout", RECORD.encode("gbk"), b""),
    ("off", "", "stdout", b"", b""),
])
def test_the_echo_goes_where_load_says(tmp_path, echo, encoding, variable, stdout, stderr):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("KALDRIX_ECHO")}
    if variable:
        environment["KALDRIX_ECHO"] = variable
    child = subprocess.run([sys.executable, "-c", ECHO, echo, encoding, tmp_path / "inherited"],
                           env=environment, capture_output=True, timeout=120)
    assert (tmp_path / "inherited").read_text() == repr([variable, None]), child.stderr
    for written, expected in ((child.stdout, stdout), (child.stderr, stderr)):
        assert (expected in written) if expected else written == b"", (child.stdout, child.stderr)
