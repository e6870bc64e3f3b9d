"""The first-importer claim of korrin_native against CPython 3.12's isolated
subinterpreters, which call a single-phase module's initialiser and only
then refuse the module: an import refused that way must not shut out the
main interpreter, and a real second importer is still refused."""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys

import pytest

from conftest import MUSL

# Runs the steps named in argv[2] in one process: "isolated" imports in a
# fresh isolated subinterpreter (which refuses single-phase modules),
# "legacy" in one that accepts them, "main" in the main interpreter.
PROBE = r"""
import sys
sys.path.insert(0, sys.argv[1])
import _xxsubinterpreters as subinterpreters

for step in sys.argv[2].split(","):
    if step == "main":
        try:
            import korrin_native
            print("main:", korrin_native.g711_expand(b"\x00\xff", False).hex(), flush=True)
        except ImportError as error:
            print("main:", error, flush=True)
        continue
    interpreter = subinterpreters.create(isolated=step == "isolated")
    try:
        subinterpreters.run_string(interpreter, f"import sys; sys.path.insert(0, {sys.argv[1]!r}); "
                                                "import korrin_native")
        print(f"{step}: imported", flush=True)
    except subinterpreters.RunFailedError as error:
        print(f"{step}:", str(error).split(": ", 1)[1], flush=True)
    finally:
        subinterpreters.destroy(interpreter)
"""

REFUSED_BY_CPYTHON = "module korrin_native does not support loading in subinterpreters"
REFUSED_BY_MODULE = (
    "korrin_native does not support subinterpreters: it can be imported only in the interpreter that imported it first"
)


def python_312() -> str | None:
    candidates = [sys.executable] + sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.12*/bin/python")))
    if MUSL:  # pyenv's are glibc's, which a musllinux module cannot load into
        candidates = [sys.executable]
    for candidate in candidates:
        check = subprocess.run(
            [candidate, "-c", "import sys, _xxsubinterpreters; sys.exit(sys.version_info[:2] != (3, 12))"],
            capture_output=True,
        )
        if check.returncode == 0:
            return candidate
    return None


@pytest.mark.parametrize(
    "steps, outcomes",
    [
        # An import CPython refused leaves the module free for the next.
        ("isolated,main", [f"isolated: {REFUSED_BY_CPYTHON}", "main: WORKS"]),
        ("isolated,isolated,main,main", [f"isolated: {REFUSED_BY_CPYTHON}"] * 2 + ["main: WORKS"] * 2),
        ("isolated,legacy,main", [f"isolated: {REFUSED_BY_CPYTHON}", "legacy: imported", f"main: {REFUSED_BY_MODULE}"]),
        # A completed import keeps its claim against every real second importer.
        ("isolated,main,legacy", [f"isolated: {REFUSED_BY_CPYTHON}", "main: WORKS", f"legacy: {REFUSED_BY_MODULE}"]),
        ("main,isolated,legacy", ["main: WORKS", f"isolated: {REFUSED_BY_CPYTHON}", f"legacy: {REFUSED_BY_MODULE}"]),
        ("legacy,main", ["legacy: imported", f"main: {REFUSED_BY_MODULE}"]),
    ],
)
def test_a_refused_import_does_not_keep_the_claim(korrin, tmp_path, steps, outcomes):
    interpreter = python_312()
    if interpreter is None:
        pytest.skip(
            "needs CPython 3.12 with _xxsubinterpreters: the only version that runs the "
            "initialiser of a module its isolated subinterpreters then refuse"
        )
    shutil.copy(korrin.__file__, tmp_path)
    result = subprocess.run(
        [interpreter, "-c", PROBE, str(tmp_path), steps], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    works = korrin.g711_expand(b"\x00\xff", False).hex()
    assert result.stdout.splitlines() == [o.replace("WORKS", works) for o in outcomes]
