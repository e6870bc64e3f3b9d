"""Shared paths and builders for the Python tests of korrin_native."""

from __future__ import annotations

import os
import sys
import sysconfig
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
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


def field_type(value: str) -> str:
    """The type sphere_bytes gives a value: -i for an integer without a
    leading zero, else -sN."""
    digits = value.strip().lstrip("+-")
    return "-i" if digits.isdigit() and (digits == "0" or not digits.startswith("0")) else f"-s{len(value)}"


def sphere_bytes(fields: dict[str, str], payload: bytes = b"", header_size: int = 1024) -> bytes:
    """A SPHERE file whose header holds `fields` (values typed -i when they
    read as integers without a leading zero, else -s, so that a byte order
    such as "01" is a string, as writers type it), padded to `header_size`,
    then `payload`."""
    lines = ["NIST_1A", str(header_size)]
    for name, value in fields.items():
        kind = field_type(value)
        lines.append(f"{name} {kind} {value}")
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
