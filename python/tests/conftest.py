# SPDX-License-Identifier: MIT
# Run by ctest with KALDRIX_LIBRARY naming the build's library and
# KALDRIX_AUDIO=virtual (scripts/check-packages.sh runs the README's example
# against the installed package, without it); a child process gets a library of its own, for what
# is read once per process (the library's path, the audio devices).
import json
import os
import subprocess
import sys
import wave

import pytest

LIBRARY = os.environ.get("KALDRIX_LIBRARY", "")
PRELUDE = "import json, sys, kaldrix\ndef report(*values): print(json.dumps(values), file=sys.stderr)\n"


def run_child(code, *args, python=sys.executable, cwd=None, **env):
    """Runs code after PRELUDE in a new interpreter with env changed (None
    removes a variable); returns what it last reported, if anything."""
    environment = {k: v for k, v in {**os.environ, **env}.items() if v is not None}
    child = subprocess.run([python, "-c", PRELUDE + code, *map(str, args)], env=environment,
                           cwd=cwd, capture_output=True, timeout=120)
    assert child.returncode == 0, child.stderr.decode(errors="replace")
    reported = child.stderr.splitlines()
    return json.loads(reported[-1]) if reported else None


@pytest.fixture
def tone_wav(tmp_path):
    """Writes tone.wav: the given seconds of a ramp, 8000 Hz 16-bit mono."""
    def write(seconds):
        with wave.open(str(tmp_path / "tone.wav"), "wb") as file:
            file.setparams((1, 2, 8000, 0, "NONE", None))
            file.writeframes(bytes(i % 251 for i in range(int(seconds * 16000))))
        return tmp_path / "tone.wav"
    return write
