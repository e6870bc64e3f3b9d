"""The release check of a wheel's ELF files (scripts/check_wheel.py): its
rules on made-up files, and the installed module and sph2wav held to the
glibc of the tag they were installed under."""

from __future__ import annotations

import importlib.metadata
import re
import shutil
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import REPO, VERSION

sys.path.insert(0, str(REPO / "scripts"))
import check_wheel  # noqa: E402
from check_wheel import Elf  # noqa: E402

GLIBC_217 = (2, 17)


def module(**changes) -> Elf:
    """A module that passes for x86-64 and glibc 2.17, with `changes` made."""
    fields = dict(
        machine="x86_64",
        kind="DYN",
        needed={"libc.so.6", "libpthread.so.0"},
        versions={"libc.so.6": {"GLIBC_2.2.5", "GLIBC_2.17"}},
        exported={"PyInit_korrin_native"},
        unresolved={"PyLong_FromLong", "_Py_Dealloc"},
    )
    fields.update(changes)
    return Elf("korrin_native.abi3.so", **fields)


def program(**changes) -> Elf:
    fields = dict(
        machine="x86_64",
        kind="EXEC",
        interpreter="/lib64/ld-linux-x86-64.so.2",
        needed={"libc.so.6", "libm.so.6", "libdl.so.2"},
        versions={"libm.so.6": {"GLIBC_2.2.5"}},
        exported={"_IO_stdin_used"},
        unresolved={"something"},
    )
    fields.update(changes)
    return Elf(f"korrin_native-{VERSION}.data/scripts/sph2wav", **fields)


@pytest.mark.parametrize(
    "elf, machine, fault",
    [
        (module(), "x86_64", None),
        (program(), "x86_64", None),
        # 2.9 sorts after 2.17 as text, not as a version.
        (module(versions={"libc.so.6": {"GLIBC_2.9"}}), "x86_64", None),
        (
            module(versions={"libc.so.6": {"GLIBC_2.18"}}),
            "x86_64",
            "needs GLIBC_2.18 of libc.so.6, newer than glibc 2.17",
        ),
        (module(versions={"libc.so.6": {"GLIBC_2.34"}}), "x86_64", "newer than glibc 2.17"),
        (module(needed={"libc.so.6", "libstdc++.so.6"}), "x86_64", "needs libstdc++.so.6, which is not part of glibc"),
        (module(needed={"libc.so.6", "libpython3.9.so.1.0"}), "x86_64", "needs libpython3.9.so.1.0"),
        (module(versions={"libstdc++.so.6": {"GLIBCXX_3.4.21"}}), "x86_64", "needs GLIBCXX_3.4.21 of libstdc++.so.6"),
        (module(versions={"libgcc_s.so.1": {"GCC_3.0"}}), "x86_64", "needs GCC_3.0 of libgcc_s.so.1"),
        (module(exported={"PyInit_korrin_native", "_ZNSt3__14cout"}), "x86_64", "not PyInit_korrin_native alone"),
        (module(exported=set()), "x86_64", "not PyInit_korrin_native alone"),
        (module(unresolved={"PyList_New", "_ZdlPv"}), "x86_64", "leaves unresolved ['_ZdlPv']"),
        (module(), "aarch64", "built for x86_64, not aarch64"),
        (module(needed=set()), "x86_64", "needs no shared library"),
        (program(interpreter="", needed=set(), versions={}), "x86_64", None),
        (program(needed=set(), versions={}), "x86_64", "needs no shared library"),
        (program(interpreter="/lib/ld-linux-aarch64.so.1"), "x86_64", "not ld-linux-x86-64.so.2"),
        (program(interpreter=""), "x86_64", "loader is missing"),
        (
            program(
                machine="aarch64",
                interpreter="/lib/ld-linux-aarch64.so.1",
                needed={"libc.so.6", "ld-linux-aarch64.so.1"},
            ),
            "aarch64",
            None,
        ),
    ],
    ids=[
        "module",
        "program",
        "old-version",
        "2.18",
        "2.34",
        "libstdc++",
        "libpython",
        "glibcxx",
        "libgcc",
        "extra-export",
        "no-export",
        "unresolved",
        "wrong-machine",
        "static",
        "static-program",
        "loader-but-nothing-needed",
        "wrong-loader",
        "no-loader",
        "aarch64",
    ],
)
def test_problems(elf, machine, fault):
    found = check_wheel.problems(elf, machine, GLIBC_217)
    if fault is None:
        assert found == []
    else:
        assert len(found) == 1 and fault in found[0], found


@pytest.mark.parametrize(
    "tag, expected",
    [
        ("manylinux_2_17_x86_64", ("x86_64", (2, 17))),
        ("manylinux2014_aarch64", ("aarch64", (2, 17))),
        ("manylinux_2_28_aarch64", ("aarch64", (2, 28))),
        ("linux_x86_64", ("x86_64", None)),
    ],
)
def test_platform_tags(tag, expected):
    assert check_wheel.parse_platform(tag) == expected


def musl_module(**changes) -> Elf:
    fields = dict(
        machine="x86_64",
        kind="DYN",
        needed={"libc.musl-x86_64.so.1"},
        exported={"PyInit__native"},
        unresolved={"PyList_New", "malloc"},
    )
    fields.update(changes)
    return Elf("korrin/_native.abi3.so", **fields)


@pytest.mark.parametrize(
    "elf, fault",
    [
        (musl_module(), None),
        (program(interpreter="", needed=set(), versions={}), None),
        # What zig's linker writes, unrenamed: no musl system has a libc.so to load.
        (musl_module(needed={"libc.so"}), "not libc.musl-x86_64.so.1 alone"),
        (musl_module(needed={"libc.musl-x86_64.so.1", "libstdc++.so.6"}), "not libc.musl-x86_64.so.1 alone"),
        (musl_module(versions={"libc.so.6": {"GLIBC_2.2.5"}}), "which musl has none of"),
        (musl_module(unresolved={"PyList_New", "__cxa_throw"}), "leaves unresolved ['__cxa_throw']"),
        (musl_module(exported={"PyInit__native", "_ZdlPv"}), "not PyInit__native alone"),
        (musl_module(machine="aarch64"), "built for aarch64, not x86_64"),
        (
            program(interpreter="/lib/ld-musl-x86_64.so.1", needed={"libc.musl-x86_64.so.1"}, versions={}),
            "not wholly static",
        ),
    ],
    ids=[
        "module",
        "static-program",
        "libc.so",
        "libstdc++",
        "glibc-versions",
        "unresolved",
        "extra-export",
        "wrong-machine",
        "dynamic-program",
    ],
)
def test_musl_problems(elf, fault):
    found = check_wheel.musl_problems(elf, "x86_64", {"malloc", "free"})
    if fault is None:
        assert found == []
    else:
        assert len(found) == 1 and fault in found[0], found


def bundle(**changes):
    fields = dict(
        arches=["arm64"],
        kind="BUNDLE",
        minimum=(11, 0, 0),
        libraries={"/usr/lib/libSystem.B.dylib"},
        exported={"_PyInit_korrin_native"},
        unresolved={"_PyLong_FromLong", "__Py_Dealloc"},
    )
    fields.update(changes)
    return check_wheel.MachO("korrin_native.abi3.so", **fields)


@pytest.mark.parametrize(
    "macho, fault",
    [
        (bundle(), None),
        (bundle(exported={"_PyInit_korrin_native", "__mh_bundle_header"}), None),
        (bundle(minimum=(10, 13, 0)), None),
        (
            check_wheel.MachO(
                f"korrin_native-{VERSION}.data/scripts/sph2wav",
                ["arm64"],
                "EXECUTE",
                (11, 0),
                {"/usr/lib/libSystem.B.dylib"},
                {"__mh_execute_header"},
            ),
            None,
        ),
        (bundle(arches=["x86_64"]), "built for ['x86_64'], not arm64 alone"),
        (bundle(arches=["arm64", "x86_64"]), "not arm64 alone"),
        (bundle(minimum=(12, 0, 0)), "needs macOS 12.0.0, newer than 11.0"),
        (bundle(minimum=()), "names no oldest macOS"),
        (
            bundle(libraries={"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"}),
            "not /usr/lib/libSystem.B.dylib alone",
        ),
        (bundle(libraries={"/usr/lib/libSystem.B.dylib", "@rpath/Python"}), "not /usr/lib/libSystem.B.dylib alone"),
        (bundle(exported={"_PyInit_korrin_native", "__Znwm"}), "not _PyInit_korrin_native alone"),
        (bundle(unresolved={"_PyList_New", "___cxa_throw"}), "leaves unresolved ['___cxa_throw']"),
        (bundle(kind="EXECUTE"), "not a bundle or dylib"),
    ],
    ids=[
        "bundle",
        "header-symbol",
        "older-minimum",
        "program",
        "wrong-arch",
        "universal",
        "newer-macos",
        "no-minimum",
        "shared-libc++",
        "libpython",
        "operator-new",
        "unresolved",
        "executable-module",
    ],
)
def test_macho_problems(macho, fault):
    found = check_wheel.macho_problems(macho, "arm64", (11, 0))
    if fault is None:
        assert found == []
    else:
        assert len(found) == 1 and fault in found[0], found


@pytest.mark.parametrize(
    "tag, musl, macos",
    [
        ("musllinux_1_2_aarch64", "aarch64", None),
        ("macosx_11_0_arm64", None, ("arm64", (11, 0))),
        ("macosx_10_13_x86_64", None, ("x86_64", (10, 13))),
        ("manylinux_2_17_x86_64", None, None),
    ],
)
def test_other_platform_tags(tag, musl, macos):
    assert (check_wheel.parse_musl(tag), check_wheel.parse_macos(tag)) == (musl, macos)


def test_installed_files_need_nothing_past_their_tag(korrin):
    """The module and sph2wav as installed, held to the glibc their wheel's
    tag promises (a plain linux tag: this machine's)."""
    if shutil.which("readelf") is None:
        pytest.skip("readelf (binutils) is not installed")
    wheel = importlib.metadata.distribution("korrin-native").read_text("WHEEL")
    tags = [t.split("-")[-1] for t in re.findall(r"^Tag: (.+)$", wheel, re.M)]
    sph2wav = Path(sysconfig.get_path("scripts")) / "sph2wav"
    installed = (Path(korrin.__file__), sph2wav)
    if any(b"__asan_init" in path.read_bytes() for path in installed):
        pytest.skip("a sanitizer build needs its runtime libraries")
    if check_wheel.parse_musl(tags[0]):
        # musllinux: the module needs musl's C library alone, sph2wav nothing.
        machine = check_wheel.parse_musl(tags[0])
        for path in installed:
            elf = check_wheel.read_elf(path, path.name)
            assert check_wheel.musl_problems(elf, machine, check_wheel.musl_defined(machine)) == [], path
        return
    platforms = [check_wheel.parse_platform(tag) for tag in tags]
    machine = platforms[0][0]
    glibc = min(g or check_wheel.this_glibc() for _, g in platforms)
    for path in installed:
        elf = check_wheel.read_elf(path, path.name)
        assert elf.needed and elf.versions, path
        assert check_wheel.problems(elf, machine, glibc) == [], path
