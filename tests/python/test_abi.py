"""The built module as a shared object: one abi3 build, one exported symbol,
no libpython and no shared C++ runtime."""

from __future__ import annotations

import ast
import importlib.metadata
import inspect
import platform
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import korrin_native as kn
from conftest import MUSL, REPO, VERSION

SO = Path(kn.__file__)
# glibc (split over several libraries before 2.34) and the GCC runtime it may load.
ALLOWED_NEEDED = {
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "libgcc_s.so.1",
    "ld-linux-x86-64.so.2",
    "ld-linux-aarch64.so.1",
}
# In a musl interpreter (scripts/musl-suite), a musllinux wheel's modules:
# musl's C library alone, named as its loader is installed.
if MUSL:
    ALLOWED_NEEDED = {f"libc.musl-{platform.machine()}.so.1"}
LIBC = next(iter(ALLOWED_NEEDED)) if MUSL else "libc.so.6"


def tool(*command: str) -> str:
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def test_file_is_abi3():
    assert SO.name == "korrin_native.abi3.so"


def test_only_the_init_function_is_exported():
    symbols = [line.split()[-1] for line in tool("nm", "-D", "--defined-only", str(SO)).splitlines() if line.strip()]
    assert symbols == ["PyInit_korrin_native"]


def test_needed_libraries():
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", tool("readelf", "-d", str(SO))))
    assert needed <= ALLOWED_NEEDED, needed - ALLOWED_NEEDED
    assert LIBC in needed


def test_wheel_tag():
    wheel = importlib.metadata.distribution("korrin-native").read_text("WHEEL")
    assert "Root-Is-Purelib: false" in wheel
    tags = re.findall(r"^Tag: (.+)$", wheel, re.M)
    # As built, a plain linux tag; as built for an index (scripts/release),
    # one or more manylinux tags, or (in a musl interpreter) musllinux_1_2.
    # abi3 for CPython 3.9 on, for this machine.
    machine = platform.machine()
    if MUSL:
        assert tags == [f"cp39-abi3-musllinux_1_2_{machine}"], tags
    elif tags != [f"cp39-abi3-linux_{machine}"]:
        assert tags and all(re.fullmatch(rf"cp39-abi3-manylinux(_2_\d+|1|2010|2014)_{machine}", t) for t in tags), tags


def pyenv_pythons():
    """The CPython 3.9+ interpreters that pyenv has (scripts/pythons)."""
    if MUSL:
        return [
            pytest.param(
                None,
                marks=pytest.mark.skip(
                    reason="pyenv's interpreters are glibc's, which a musllinux module cannot load into"
                ),
            )
        ]
    listed = subprocess.run(["bash", str(REPO / "scripts" / "pythons")], capture_output=True, text=True)
    found = [Path(line) for line in listed.stdout.split()]
    # An empty list would make older pytest fail at collection, not skip.
    return found or [pytest.param(None, marks=pytest.mark.skip(reason="no pyenv CPython 3.9+ here"))]


@pytest.mark.parametrize("python", pyenv_pythons(), ids=lambda p: p.parent.parent.name if p else "none")
def test_loads_into_every_interpreter(python):
    # Imported with RTLD_NOW, so a C-API symbol that this interpreter lacks
    # fails the import.
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import korrin_native as k; "
        "print(k.g711_expand(b'\\x80', True).hex(), k.__version__)"
    )
    result = subprocess.run([str(python), "-I", "-c", code, str(SO.parent)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["8015", VERSION]


@pytest.mark.parametrize("stub", ["korrin_native.pyi", "korrin_native-stubs/__init__.pyi"])
def test_type_stub_matches_the_module(stub):
    # Beside the module for IDEs and pyright; a stub-only package for mypy.
    installed = {str(f): f for f in importlib.metadata.files("korrin-native")}
    assert "korrin_native.abi3.so" in installed and stub in installed
    tree = ast.parse(installed[stub].read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert list(functions) == kn.__all__[1:]
    for name, node in functions.items():
        assert [a.arg for a in node.args.args] == list(inspect.signature(getattr(kn, name)).parameters)
    assert {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)} == {"__version__", "__all__"}


# korrin._native, the extension of the korrin package: the same rules.
import korrin  # noqa: E402
from korrin import _native  # noqa: E402

NATIVE = Path(_native.__file__)


def test_korrin_extension_is_abi3_with_one_export_and_no_more_libraries():
    assert NATIVE.name == "_native.abi3.so" and NATIVE.parent.name == "korrin"
    symbols = [
        line.split()[-1] for line in tool("nm", "-D", "--defined-only", str(NATIVE)).splitlines() if line.strip()
    ]
    assert symbols == ["PyInit__native"]
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", tool("readelf", "-d", str(NATIVE))))
    assert needed <= ALLOWED_NEEDED and LIBC in needed, needed


@pytest.mark.parametrize("python", pyenv_pythons(), ids=lambda p: p.parent.parent.name if p else "none")
def test_korrin_extension_loads_into_every_interpreter(python):
    # The extension alone, without the package (which needs numpy there).
    code = (
        "import importlib.machinery as m, importlib.util as u, sys; "
        "found = u.spec_from_file_location('korrin._native', sys.argv[1]); "
        "mod = u.module_from_spec(found); found.loader.exec_module(mod); "
        "print(mod.info(open(sys.argv[2], 'rb').read(), False)[1:], mod.__version__)"
    )
    result = subprocess.run(
        [str(python), "-I", "-c", code, str(NATIVE), str(REPO / "examples" / "ulaw_mono.sph")],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["(1,", "16000,", "4000,", "'ulaw',", "2)", VERSION]


def test_korrin_type_stub_matches_the_package():
    installed = {str(f): f for f in importlib.metadata.files("korrin-native")}
    assert {"korrin/__init__.py", "korrin/__init__.pyi", "korrin/py.typed"} <= installed.keys()
    tree = ast.parse(installed["korrin/__init__.pyi"].read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    classes = {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
    assert sorted(functions) + sorted(classes) == sorted(set(korrin.__all__) - classes) + ["Info", "SoundFile"]
    for name, node in functions.items():
        assert [a.arg for a in node.args.args] == list(inspect.signature(getattr(korrin, name)).parameters)
