"""Shared paths and builders for the Python tests of korrin_native."""

from __future__ import annotations

import importlib.metadata
import os
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
# The version, as the installed package's metadata has it (pyproject.toml's
# alone): what the module, sph2wav and the man pages say.
VERSION = importlib.metadata.version("korrin-native")
# A musl interpreter (scripts/musl-suite), in which a musllinux wheel is tested.
MUSL = (sysconfig.get_config_var("HOST_GNU_TYPE") or "").endswith("-musl")
EXAMPLES = REPO / "examples"
# Real-world files: $KORRIN_TESTDATA when set and not empty, else shared/
# beside the checkout. Tests that read them skip where they are absent.
TESTDATA = Path(os.environ.get("KORRIN_TESTDATA") or REPO.parent / "shared" / "testdata")
SHARED_SPHERE = TESTDATA / "sphere"
NO_REAL_FILES = f"no real SPHERE files in {SHARED_SPHERE} (set KORRIN_TESTDATA)"
needs_real_files = pytest.mark.skipif(not SHARED_SPHERE.is_dir(), reason=NO_REAL_FILES)

sys.path.insert(0, str(EXAMPLES))

SPH2WAV = Path(os.environ.get("KORRIN_SPH2WAV") or Path(sysconfig.get_path("scripts")) / "sph2wav")


def sph2wav(*args, cwd: Path, **kwargs) -> subprocess.CompletedProcess:
    """The installed sph2wav, run in `cwd`, its output captured."""
    return subprocess.run([str(SPH2WAV), *map(str, args)], cwd=cwd, capture_output=True, timeout=300, **kwargs)


def tree(root: Path) -> dict[str, bytes]:
    """Every file below `root`, by relative path."""
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in root.rglob("*") if p.is_file()}


def wav(channels: int, rate: int, bits: int, pcm: bytes) -> bytes:
    """A canonical 44-byte-header WAV file around `pcm`."""
    align = channels * bits // 8
    pad = b"\x00" if len(pcm) % 2 else b""
    return (
        b"RIFF"
        + struct.pack("<I", 36 + len(pcm) + len(pad))
        + b"WAVE"
        + b"fmt "
        + struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * align, align, bits)
        + b"data"
        + struct.pack("<I", len(pcm))
        + pcm
        + pad
    )


def field_type(value: str) -> str:
    """The type sphere_bytes gives a value: -i for an integer without a
    leading zero, else -sN."""
    digits = value.strip().lstrip("+-")
    return "-i" if digits.isdigit() and (digits == "0" or not digits.startswith("0")) else f"-s{len(value)}"


def sphere_bytes(fields, payload: bytes = b"", header_size: int = 1024) -> bytes:
    """A SPHERE file, the one builder of the suites: a header of `fields`
    padded to `header_size` (its size line as SPHERE writers put it), then
    `payload`. `fields` is a dict or a sequence of (name, value) or (name,
    value, type) items, or of whole field lines; an int value is typed -i,
    a str one by field_type, unless a type is given."""
    lines = ["NIST_1A", f"{header_size:>7}"]
    for item in fields.items() if isinstance(fields, dict) else fields:
        if isinstance(item, str):
            lines.append(item)
            continue
        name, value, *kind = item
        value = str(value) if isinstance(value, int) else value
        lines.append(f"{name} {kind[0] if kind else field_type(value)} {value}")
    lines.append("end_head")
    header = ("\n".join(lines) + "\n").encode()
    assert len(header) <= header_size
    return header + b" " * (header_size - len(header)) + payload


def pcm16_fields(frames: int, channels: int = 1, rate: int = 16000) -> dict[str, str]:
    return {
        "sample_count": str(frames),
        "sample_rate": str(rate),
        "channel_count": str(channels),
        "sample_n_bytes": "2",
        "sample_coding": "pcm",
        "sample_byte_format": "01",
    }


@pytest.fixture(scope="session")
def korrin():
    import korrin_native

    return korrin_native


@pytest.fixture(scope="session")
def fault_modules_dir() -> Path:
    """Where scripts/test builds the test-only fault modules."""
    where = os.environ.get("KORRIN_FAULT_MODULES")
    if not where:
        pytest.skip("the fault-boundary test modules are not built (KORRIN_FAULT_MODULES unset)")
    return Path(where)


# pytest hands a test's id to the processes it starts (PYTEST_CURRENT_TEST):
# one made from a large parameter can exceed what execve takes. Long values
# get ids of their own.
MAX_TEST_ID = 300


def pytest_collection_modifyitems(items):
    long = [item.name[:80] + "..." for item in items if len(item.nodeid) > MAX_TEST_ID]
    if long:
        raise pytest.UsageError(f"test ids over {MAX_TEST_ID} characters (give them ids=): {long[:5]}")
