"""examples/dask_convert.py on a LocalCluster of two worker processes: its
outputs against sph2wav's, byte for byte, and its report of the bad files."""

from __future__ import annotations

import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import EXAMPLES, pcm16_fields, sphere_bytes
from test_cli import SPH2WAV, failure_lines, sphere, tree

distributed = pytest.importorskip("distributed")
import dask_convert  # noqa: E402  (examples/ is on sys.path)

CORPUS = {
    "in/a.sph": sphere(300, channels=2),
    "in/sub/b.SPH": sphere(99, coding="ulaw", width=1),
    "in/sub/c.wv1": sphere(64, channels=3, width=4, byte_format="10"),
    "in/sub/plain.wav": b"RIFF, not a SPHERE file",  # skipped, like sph2wav skips it
    "in/sub/notes.txt": b"not a candidate",
    "in/deep/er/alaw.wv2": sphere(50, coding="alaw", width=1),
    "in/deep/er/empty.sph": sphere(0),
    "in/bad/cut.sph": sphere(100, payload=bytes(199)),
    "in/bad/garbage.sph": b"this is not audio",
    "in/bad/coding.sph": sphere(10, coding="gsm"),
    "in/bad/zero_rate.sph": sphere_bytes({**pcm16_fields(4), "sample_rate": "0"}, bytes(8)),
}
BAD = {"in/bad/cut.sph", "in/bad/garbage.sph", "in/bad/coding.sph", "in/bad/zero_rate.sph"}


@pytest.fixture(scope="module")
def client():
    # Two worker processes of one thread each, as the example runs them.
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with distributed.Client(cluster) as client:
        yield client
    cluster.close()


def corpus(root: Path) -> Path:
    for name, data in CORPUS.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return root


def run_sph2wav(root: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(SPH2WAV), *args], cwd=root, capture_output=True, timeout=120)


@pytest.mark.parametrize("pcm", [False, True], ids=["wav", "pcm"])
def test_outputs_and_failures_match_sph2wav(client, tmp_path, monkeypatch, pcm):
    root = corpus(tmp_path)
    cli = run_sph2wav(root, "-q", *(["--pcm"] if pcm else []), "in", "-o", "by_sph2wav")
    assert cli.returncode == 1

    monkeypatch.chdir(root)  # relative paths, as the sph2wav run saw them
    jobs = dask_convert.plan([Path("in")], Path("by_dask"), ".pcm" if pcm else ".wav")
    results = dask_convert.convert(client, jobs, pcm=pcm)

    assert {k for k, v in results.items() if v is not None} == BAD
    assert sorted(failure_lines(cli.stderr)) == sorted(f"{k}: {v}" for k, v in results.items() if v is not None)
    by_sph2wav, by_dask = tree(root / "by_sph2wav"), tree(root / "by_dask")
    assert len(by_dask) == 5
    assert by_dask == by_sph2wav  # the same names and bytes, and no temporary file left
    for name in by_dask:
        modes = [stat.S_IMODE((root / side / name).stat().st_mode) for side in ("by_sph2wav", "by_dask")]
        assert modes[0] == modes[1], name


def test_existing_outputs_are_kept_unless_forced(client, tmp_path, monkeypatch):
    root = corpus(tmp_path)
    monkeypatch.chdir(root)
    kept = root / "out" / "a.wav"
    kept.parent.mkdir()
    kept.write_bytes(b"already here")
    jobs = dask_convert.plan([Path("in/a.sph"), Path("in/sub/b.SPH")], Path("out"), ".wav")

    results = dask_convert.convert(client, jobs)
    assert results == {"in/a.sph": "out/a.wav already exists (use --force to replace it)", "in/sub/b.SPH": None}
    assert kept.read_bytes() == b"already here"
    assert sorted(os.listdir(root / "out")) == ["a.wav", "b.wav"]

    results = dask_convert.convert(client, jobs, force=True)
    assert results == {"in/a.sph": None, "in/sub/b.SPH": None}
    assert run_sph2wav(root, "in/a.sph", "-o", "cli/").returncode == 0
    assert kept.read_bytes() == (root / "cli" / "a.wav").read_bytes()


def test_an_input_is_never_its_own_output(client, tmp_path):
    # A SPHERE file named .wav converts to the same name beside itself.
    source = tmp_path / "x.wav"
    source.write_bytes(sphere(10))
    for force in (False, True):
        results = dask_convert.convert(client, dask_convert.plan([source], None, ".wav"), force=force)
        assert results == {str(source): f"{source} is the input itself"}
        assert source.read_bytes() == sphere(10)


def test_command_line_against_a_running_scheduler(client, tmp_path):
    # What a user runs against a real cluster: --scheduler ADDRESS.
    root = corpus(tmp_path)
    command = [
        sys.executable,
        str(EXAMPLES / "dask_convert.py"),
        "--scheduler",
        client.scheduler.address,
        "in",
        "-o",
        "out",
    ]
    result = subprocess.run(command, cwd=root, capture_output=True, timeout=300)
    assert result.returncode == 1
    lines = result.stderr.decode().splitlines()
    assert lines[-1] == "5 of 9 files converted, 4 failed"
    assert sorted(line.split(":")[0] for line in lines[:-1]) == sorted(BAD)
    assert run_sph2wav(root, "-q", "in", "-o", "by_sph2wav").returncode == 1
    assert tree(root / "out") == tree(root / "by_sph2wav")
