"""Each example in examples/ runs where the package it shows is installed."""

from __future__ import annotations

import importlib.util
import subprocess
import sys

import pytest

from conftest import EXAMPLES

# script -> (the package it needs, what its output says)
SCRIPTS = {
    "soundfile_patch.py": ("soundfile", "SHORTEN, 2 channels at 16000 Hz; frames 1000:2000 -> (1000, 2)"),
    "librosa_load.py": ("librosa", "librosa.load -> (2, 1600) float32 at 16000 Hz"),
    "torch_load.py": ("torch", "korrin.load -> (2, 1600) torch.float32 at 16000 Hz; whole file torch.int16"),
    "lhotse_kaldi.py": ("lhotse", "2 recordings of 0.25 s, 8 cuts loaded (1, 992)"),
}


@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_example_runs(script):
    package, says = SCRIPTS[script]
    if importlib.util.find_spec(package) is None:
        pytest.skip(f"{package} is not installed")
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script)],
        capture_output=True,
        text=True,
        timeout=300,
        env={"PATH": "/usr/bin:/bin"},
    )  # no sph2pipe anywhere: the lhotse example runs none
    assert done.returncode == 0, done.stderr
    assert says in done.stdout
