"""Checks every ELF file in a wheel against the glibc its platform tag names.

    python scripts/check_wheel.py WHEEL [--require NAME ...]

For each ELF file (every extension module, every executable, whatever their
names): built for the tag's architecture; needing only glibc's own libraries
(so no libpython, no shared C++ runtime); no glibc symbol version newer than
the tag allows (manylinux_2_17 / manylinux2014: 2.17; a plain linux tag: this
machine's glibc) and no versioned symbol of any other library. An extension
module `NAME.*.so` must export `PyInit_NAME` and nothing else, and leave
unresolved only the interpreter's `Py*` functions and weak references. An
executable must ask for the architecture's own loader, or be wholly static
(no loader, no shared library: sph2pipe, linked with musl). `--require` names
files the wheel must hold (e.g. its type stub). Prints one line per ELF file
and exits 1, listing every problem, when anything is wrong. Reads the files
with binutils' readelf, which reads any architecture's ELF.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

# glibc's own shared libraries, which every manylinux policy allows and the
# system always has; and the loader of each architecture.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1"}
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}
MACHINES = {"Advanced Micro Devices X86-64": "x86_64", "AArch64": "aarch64"}
LEGACY_TAGS = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


@dataclass
class Elf:
    """What the checks need of one ELF file."""
    path: str
    machine: str = ""
    kind: str = ""  # EXEC or DYN
    interpreter: str = ""
    needed: set[str] = field(default_factory=set)
    versions: dict[str, set[str]] = field(default_factory=dict)  # library -> versions required of it
    exported: set[str] = field(default_factory=set)  # defined, visible dynamic symbols
    unresolved: set[str] = field(default_factory=set)  # undefined, unversioned, not weak


def parse_platform(tag: str) -> tuple[str, tuple[int, int] | None]:
    """The architecture and the newest glibc a platform tag allows (None: this machine's)."""
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", tag)
    if match:
        return match[3], (int(match[1]), int(match[2]))
    match = re.fullmatch(r"(manylinux\d+)_(\w+)", tag)
    if match and match[1] in LEGACY_TAGS:
        return match[2], LEGACY_TAGS[match[1]]
    match = re.fullmatch(r"linux_(\w+)", tag)
    if match:
        return match[1], None
    raise ValueError(f"not a Linux platform tag: {tag}")


def version_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.split("."))


def problems(elf: Elf, machine: str, glibc: tuple[int, int]) -> list[str]:
    """Everything wrong with `elf` for a wheel of `machine` and glibc `glibc`."""
    found = []
    if elf.machine != machine:
        found.append(f"built for {elf.machine or 'an unknown machine'}, not {machine}")
    allowed = GLIBC_LIBRARIES | {LOADERS.get(machine, "")}
    file_name = Path(elf.path).name
    is_module = file_name.endswith(".so") or ".so." in file_name
    # A whole static executable (sph2pipe, linked with musl) asks for no
    # loader and needs nothing of the system at all.
    if not is_module and not elf.needed and not elf.interpreter and not elf.versions:
        return found
    if not elf.needed:
        found.append("needs no shared library, yet asks for a loader or symbol versions")
    for library in sorted(elf.needed - allowed):
        found.append(f"needs {library}, which is not part of glibc")
    for library, versions in sorted(elf.versions.items()):
        for version in sorted(versions):
            name, _, number = version.partition("_")
            if name != "GLIBC" or not re.fullmatch(r"\d+(\.\d+)+", number):
                found.append(f"needs {version} of {library}")
            elif version_key(number) > glibc:
                found.append(f"needs {version} of {library}, newer than glibc {glibc[0]}.{glibc[1]}")
    if is_module:
        module = file_name.split(".")[0]
        if elf.exported != {f"PyInit_{module}"}:
            found.append(f"exports {sorted(elf.exported)[:10]}, not PyInit_{module} alone")
        foreign = sorted(s for s in elf.unresolved if not s.startswith(("Py", "_Py")))
        if foreign:
            found.append(f"leaves unresolved {foreign[:10]}, which no allowed library provides")
    else:
        wanted = LOADERS.get(machine)
        if elf.kind not in ("EXEC", "DYN") or Path(elf.interpreter).name != wanted:
            found.append(f"an executable whose loader is {elf.interpreter or 'missing'}, not {wanted}")
    return found


def readelf(path: Path, *options: str) -> str:
    return subprocess.run(["readelf", "-W", *options, str(path)], capture_output=True, text=True,
                          check=True, env={**os.environ, "LC_ALL": "C"}).stdout


def read_elf(path: Path, name: str) -> Elf:
    elf = Elf(name)
    header = readelf(path, "-h", "-l")
    machine = re.search(r"^\s*Machine:\s*(.+?)\s*$", header, re.M)
    elf.machine = MACHINES.get(machine[1], machine[1]) if machine else ""
    kind = re.search(r"^\s*Type:\s*(\w+)", header, re.M)
    elf.kind = kind[1] if kind else ""
    interpreter = re.search(r"Requesting program interpreter: (.+?)\]", header)
    elf.interpreter = interpreter[1] if interpreter else ""
    elf.needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf(path, "-d")))
    library = None
    for line in readelf(path, "-V").splitlines():
        if (match := re.search(r"File: (\S+)\s+Cnt:", line)):
            library = match[1]
            elf.versions.setdefault(library, set())
        elif library and (match := re.search(r"^\s*0x[0-9a-f]+:\s+Name: (\S+)", line)):
            elf.versions[library].add(match[1])
        elif line.startswith(("Version symbols", "Version definition")):
            library = None
    for line in readelf(path, "--dyn-syms").splitlines():
        columns = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(columns) < 8 or not columns[0].endswith(":") or not columns[0][:-1].isdigit():
            continue
        bind, visibility, index, symbol = columns[4], columns[5], columns[6], columns[7]
        if index == "UND":
            if bind != "WEAK" and "@" not in symbol and symbol:
                elf.unresolved.add(symbol)
        elif bind in ("GLOBAL", "WEAK", "UNIQUE") and visibility in ("DEFAULT", "PROTECTED"):
            elf.exported.add(symbol.split("@")[0])
    return elf


def this_glibc() -> tuple[int, int]:
    name, version = os.confstr("CS_GNU_LIBC_VERSION").split()
    assert name == "glibc"
    major, minor = version.split(".")[:2]
    return int(major), int(minor)


def check(wheel: Path, required: list[str]) -> list[str]:
    """The problems of the wheel, each prefixed with the file it is about."""
    tags = wheel.name[:-len(".whl")].split("-")[-1].split(".")
    platforms = [parse_platform(tag) for tag in tags]
    machine = platforms[0][0]
    if any(m != machine for m, _ in platforms):
        return [f"{wheel.name}: platform tags of different architectures"]
    # The oldest glibc any of its tags promises is the one every file must run on.
    glibc = min((g or this_glibc()) for _, g in platforms)
    found = []
    with tempfile.TemporaryDirectory() as work, zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        for name in required:
            if name not in names:
                found.append(f"{wheel.name}: holds no {name}")
        elves = 0
        for name in names:
            if archive.read(name)[:4] != b"\x7fELF":
                continue
            elves += 1
            path = Path(work) / f"{elves}"
            path.write_bytes(archive.read(name))
            elf = read_elf(path, name)
            mine = problems(elf, machine, glibc)
            found += [f"{name}: {p}" for p in mine]
            highest = max((v for vs in elf.versions.values() for v in vs if v.startswith("GLIBC_2.")),
                          key=lambda v: version_key(v[6:]), default="none")
            print(f"{name}: {elf.machine}, needs {', '.join(sorted(elf.needed)) or 'nothing'}; "
                  f"newest glibc symbol {highest}{'' if mine else ': ok'}")
        if not elves:
            found.append(f"{wheel.name}: holds no ELF file")
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--require", action="append", default=[], help="a file the wheel must hold")
    arguments = parser.parse_args()
    found = check(arguments.wheel, arguments.require)
    for problem in found:
        print(f"check_wheel: {problem}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
