"""What the build itself says: a sph2wav configured where libFLAC cannot be
found says, in the configure output, that it is built without FLAC output."""

from __future__ import annotations

import shutil
import subprocess

import pytest

from conftest import REPO, VERSION


def test_a_build_without_libflac_says_so(tmp_path):
    cmake = shutil.which("cmake")
    if cmake is None or not (REPO / "CMakeLists.txt").is_file():
        pytest.skip("needs cmake and the source tree")
    # Libraries and headers are looked for under an empty folder alone, as
    # on a machine without libFLAC; programs (the compiler) as usual.
    empty = tmp_path / "empty"
    empty.mkdir()
    result = subprocess.run(
        [
            cmake,
            "-S",
            str(REPO),
            "-B",
            str(tmp_path / "build"),
            "-DKORRIN_BUILD_MODULE=OFF",
            "-DKORRIN_BUILD_TESTS=OFF",
            f"-DCMAKE_FIND_ROOT_PATH={empty}",
            "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY",
            "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if result.returncode != 0 and "No CMAKE_CXX_COMPILER could be found" in result.stderr:
        pytest.skip("no C++ compiler")
    assert result.returncode == 0, result.stderr
    text = " ".join((result.stdout + result.stderr).split())
    assert "CMake Warning" in result.stderr
    assert "sph2wav is built WITHOUT FLAC output, and --flac will fail" in text
    assert "FLAC output with" not in text


def test_cmake_install_puts_the_man_pages_beside_the_programs(tmp_path):
    cmake = shutil.which("cmake")
    if cmake is None or not (REPO / "CMakeLists.txt").is_file():
        pytest.skip("needs cmake and the source tree")
    build, prefix = tmp_path / "build", tmp_path / "prefix"
    configure = subprocess.run(
        [
            cmake,
            "-S",
            str(REPO),
            "-B",
            str(build),
            "-DKORRIN_BUILD_MODULE=OFF",
            "-DKORRIN_BUILD_TESTS=OFF",
            "-DKORRIN_FLAC=OFF",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if configure.returncode != 0 and "No CMAKE_CXX_COMPILER could be found" in configure.stderr:
        pytest.skip("no C++ compiler")
    assert configure.returncode == 0, configure.stderr
    # The pages alone: made from the help texts without compiling anything.
    for step in (
        ["--build", str(build), "--target", "korrin_man_pages"],
        ["--install", str(build), "--component", "man", "--prefix", str(prefix)],
    ):
        result = subprocess.run([cmake, *step], capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stdout + result.stderr
    pages = sorted(p.relative_to(prefix).as_posix() for p in prefix.rglob("*") if p.is_file())
    assert pages == ["share/man/man1/sph2pipe.1", "share/man/man1/sph2wav.1"]
    for page in pages:
        # The version a plain CMake build reads from pyproject.toml.
        name = page.rsplit("/", 1)[1][:-2]
        assert f'.TH {name.upper()} 1 "" "korrin_native {VERSION}"' in (prefix / page).read_text()
