"""What the build itself says: a sph2wav configured where libFLAC cannot be
found says, in the configure output, that it is built without FLAC output."""

from __future__ import annotations

import shutil
import subprocess

import pytest

from conftest import REPO


def test_a_build_without_libflac_says_so(tmp_path):
    cmake = shutil.which("cmake")
    if cmake is None or not (REPO / "CMakeLists.txt").is_file():
        pytest.skip("needs cmake and the source tree")
    # Libraries and headers are looked for under an empty folder alone, as
    # on a machine without libFLAC; programs (the compiler) as usual.
    empty = tmp_path / "empty"
    empty.mkdir()
    result = subprocess.run(
        [cmake, "-S", str(REPO), "-B", str(tmp_path / "build"), "-DKORRIN_BUILD_MODULE=OFF",
         "-DKORRIN_BUILD_TESTS=OFF", f"-DCMAKE_FIND_ROOT_PATH={empty}",
         "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY", "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY"],
        capture_output=True, text=True, timeout=300)
    if result.returncode != 0 and "No CMAKE_CXX_COMPILER could be found" in result.stderr:
        pytest.skip("no C++ compiler")
    assert result.returncode == 0, result.stderr
    text = " ".join((result.stdout + result.stderr).split())
    assert "CMake Warning" in result.stderr
    assert "sph2wav is built WITHOUT FLAC output, and --flac will fail" in text
    assert "FLAC output with" not in text
