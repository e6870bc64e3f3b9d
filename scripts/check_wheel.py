"""Checks every ELF or Mach-O file in a wheel against the platform its tag names.

    python scripts/check_wheel.py WHEEL [--require NAME ...]

manylinux and linux tags:

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

musllinux tags: each ELF file built for the tag's architecture, with no
symbol versions (musl has none); a module needs musl's C library alone,
under the name its loader is installed as (libc.musl-ARCH.so.1), exports
`PyInit_NAME` alone and leaves unresolved only the interpreter's `Py*`
functions and what musl's libc.so defines (read from the machine's musl,
where it is installed); an executable is wholly static.

macosx tags (read with lief): each Mach-O file is of the tag's
architecture (one, not a universal file), asks for no macOS newer than the
tag's and links /usr/lib/libSystem.B.dylib alone; a module `NAME.*.so` is a
bundle or dylib that exports `_PyInit_NAME` alone (and the linker's own
header symbol) and leaves unresolved, to be looked up when Python loads it,
only the interpreter's `_Py*` symbols; an executable is one.
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
MUSL_LIBRARY = "libc.musl-{}.so.1"
MACHO_ARCHES = {"arm64": "arm64", "x86_64": "x86_64"}
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"
# What the linker defines in every image of a kind (never exported by
# the code): a bundle's and an executable's Mach-O header.
LINKER_SYMBOLS = {"__mh_bundle_header", "__mh_execute_header", "__mh_dylib_header", "___dso_handle"}


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


def parse_musl(tag: str) -> str | None:
    """The architecture of a musllinux tag, or None for any other tag."""
    match = re.fullmatch(r"musllinux_(\d+)_(\d+)_(\w+)", tag)
    return match[3] if match else None


def parse_macos(tag: str) -> tuple[str, tuple[int, int]] | None:
    """The architecture and oldest macOS of a macosx tag, or None for any other tag."""
    match = re.fullmatch(r"macosx_(\d+)_(\d+)_(\w+)", tag)
    return (match[3], (int(match[1]), int(match[2]))) if match else None


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


def musl_problems(elf: Elf, machine: str, musl_symbols: set[str] | None) -> list[str]:
    """Everything wrong with `elf` for a musllinux wheel of `machine`;
    `musl_symbols`: what musl's libc.so defines, if known."""
    found = []
    if elf.machine != machine:
        found.append(f"built for {elf.machine or 'an unknown machine'}, not {machine}")
    if elf.versions:
        found.append(
            f"needs symbol versions {sorted(v for vs in elf.versions.values() for v in vs)[:5]}, which musl has none of"
        )
    libc = MUSL_LIBRARY.format(machine)
    file_name = Path(elf.path).name
    if file_name.endswith(".so") or ".so." in file_name:
        if elf.needed != {libc}:
            found.append(f"needs {sorted(elf.needed) or 'nothing'}, not {libc} alone")
        module = file_name.split(".")[0]
        if elf.exported != {f"PyInit_{module}"}:
            found.append(f"exports {sorted(elf.exported)[:10]}, not PyInit_{module} alone")
        if musl_symbols is not None:
            foreign = sorted(s for s in elf.unresolved if not s.startswith(("Py", "_Py")) and s not in musl_symbols)
            if foreign:
                found.append(f"leaves unresolved {foreign[:10]}, which musl does not define")
    elif elf.needed or elf.interpreter:
        found.append(
            f"an executable that asks for {elf.interpreter or 'no loader'} and needs "
            f"{sorted(elf.needed) or 'nothing'}: not wholly static"
        )
    return found


def musl_defined(machine: str) -> set[str] | None:
    """The symbols musl's libc.so defines, where this machine has musl for `machine`."""
    library = Path(f"/usr/lib/{machine}-linux-musl/libc.so")
    if not library.is_file():
        return None
    defined = set()
    for line in readelf(library, "--dyn-syms").splitlines():
        columns = line.split()
        if len(columns) >= 8 and columns[0][:-1].isdigit() and columns[6] != "UND":
            defined.add(columns[7].split("@")[0])
    return defined


@dataclass
class MachO:
    """What the checks need of one Mach-O file."""

    path: str
    arches: list[str] = field(default_factory=list)  # one, unless a universal file
    kind: str = ""  # BUNDLE, DYLIB or EXECUTE
    minimum: tuple[int, ...] = ()  # the oldest macOS it says it runs on
    libraries: set[str] = field(default_factory=set)
    exported: set[str] = field(default_factory=set)
    unresolved: set[str] = field(default_factory=set)  # looked up at load, from no named library


def macho_problems(macho: MachO, arch: str, oldest: tuple[int, int]) -> list[str]:
    """Everything wrong with `macho` for a macosx wheel of `arch` and `oldest` macOS."""
    found = []
    if macho.arches != [arch]:
        found.append(f"built for {macho.arches}, not {arch} alone")
    if not macho.minimum:
        found.append("names no oldest macOS")
    elif macho.minimum[:2] > oldest:
        found.append(f"needs macOS {'.'.join(map(str, macho.minimum))}, newer than {oldest[0]}.{oldest[1]}")
    if macho.libraries != {LIBSYSTEM}:
        found.append(f"links {sorted(macho.libraries) or 'nothing'}, not {LIBSYSTEM} alone")
    file_name = Path(macho.path).name
    if file_name.endswith(".so"):
        module = file_name.split(".")[0]
        if macho.kind not in ("BUNDLE", "DYLIB"):
            found.append(f"a module of type {macho.kind}, not a bundle or dylib")
        if macho.exported - LINKER_SYMBOLS != {f"_PyInit_{module}"}:
            found.append(f"exports {sorted(macho.exported)[:10]}, not _PyInit_{module} alone")
        foreign = sorted(s for s in macho.unresolved if not s.startswith(("_Py", "__Py")))
        if foreign:
            found.append(f"leaves unresolved {foreign[:10]}, which no allowed library provides")
    elif macho.kind != "EXECUTE":
        found.append(f"an executable of type {macho.kind}")
    elif macho.unresolved:
        found.append(f"an executable that leaves unresolved {sorted(macho.unresolved)[:10]}")
    return found


def read_macho(path: Path, name: str) -> MachO:
    import lief  # only the macOS wheels need it

    lief.logging.disable()  # its notes on what it skips are not problems

    macho = MachO(name)
    fat = lief.MachO.parse(str(path))
    binaries = [fat.at(i) for i in range(fat.size)]
    macho.arches = [str(b.header.cpu_type).split(".")[-1].lower() for b in binaries]
    macho.arches = [MACHO_ARCHES.get(a, a) for a in macho.arches]
    binary = binaries[0]
    macho.kind = str(binary.header.file_type).split(".")[-1]
    if binary.has_build_version:
        macho.minimum = tuple(binary.build_version.minos)
    elif binary.has_version_min:
        macho.minimum = tuple(binary.version_min.version)
    # A dylib's own name (LC_ID_DYLIB) is among lief's libraries.
    loaded = [library.name for library in binary.libraries if library.command != lief.MachO.LoadCommand.TYPE.ID_DYLIB]
    macho.libraries = set(loaded)
    macho.exported = {symbol.name for symbol in binary.exported_symbols}
    # Bound to a library by its ordinal among those loaded (libSystem's,
    # checked above), or else looked up in whatever has loaded the module
    # (dynamic_lookup: ordinal 0 or a special one).
    for symbol in binary.imported_symbols:
        if not 1 <= symbol.library_ordinal <= len(loaded):
            macho.unresolved.add(symbol.name)
    return macho


def readelf(path: Path, *options: str) -> str:
    return subprocess.run(
        ["readelf", "-W", *options, str(path)],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, "LC_ALL": "C"},
    ).stdout


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
        if match := re.search(r"File: (\S+)\s+Cnt:", line):
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
    tags = wheel.name[: -len(".whl")].split("-")[-1].split(".")
    if all(parse_macos(tag) for tag in tags):
        return check_macos(wheel, tags, required)
    if all(parse_musl(tag) for tag in tags):
        return check_musl(wheel, tags, required)
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
            highest = max(
                (v for vs in elf.versions.values() for v in vs if v.startswith("GLIBC_2.")),
                key=lambda v: version_key(v[6:]),
                default="none",
            )
            print(
                f"{name}: {elf.machine}, needs {', '.join(sorted(elf.needed)) or 'nothing'}; "
                f"newest glibc symbol {highest}{'' if mine else ': ok'}"
            )
        if not elves:
            found.append(f"{wheel.name}: holds no ELF file")
    return found


def members(wheel: Path, required: list[str], magic: tuple[bytes, ...]):
    """The missing required files as problems, then (name, path) of each
    member whose bytes start with one of `magic`, written to a scratch file."""
    with tempfile.TemporaryDirectory() as work, zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        yield [f"{wheel.name}: holds no {name}" for name in required if name not in names]
        for count, name in enumerate(names):
            data = archive.read(name)
            if data[:4] in magic:
                path = Path(work) / f"{count}"
                path.write_bytes(data)
                yield name, path


def check_musl(wheel: Path, tags: list[str], required: list[str]) -> list[str]:
    machine = parse_musl(tags[0])
    if any(parse_musl(tag) != machine for tag in tags):
        return [f"{wheel.name}: platform tags of different architectures"]
    musl_symbols = musl_defined(machine)
    files = members(wheel, required, (b"\x7fELF",))
    found = next(files)
    seen = 0
    for name, path in files:
        seen += 1
        elf = read_elf(path, name)
        mine = musl_problems(elf, machine, musl_symbols)
        found += [f"{name}: {p}" for p in mine]
        print(f"{name}: {elf.machine}, needs {', '.join(sorted(elf.needed)) or 'nothing'}{'' if mine else ': ok'}")
    if not seen:
        found.append(f"{wheel.name}: holds no ELF file")
    return found


def check_macos(wheel: Path, tags: list[str], required: list[str]) -> list[str]:
    arch, oldest = parse_macos(tags[0])
    if any(parse_macos(tag)[0] != arch for tag in tags):
        return [f"{wheel.name}: platform tags of different architectures"]
    oldest = min(parse_macos(tag)[1] for tag in tags)
    # Thin Mach-O of either byte order's magic, and universal files.
    magic = (b"\xcf\xfa\xed\xfe", b"\xfe\xed\xfa\xcf", b"\xca\xfe\xba\xbe")
    files = members(wheel, required, magic)
    found = next(files)
    seen = 0
    for name, path in files:
        seen += 1
        macho = read_macho(path, name)
        mine = macho_problems(macho, arch, oldest)
        found += [f"{name}: {p}" for p in mine]
        print(
            f"{name}: {'+'.join(macho.arches)} {macho.kind}, macOS {'.'.join(map(str, macho.minimum))} on, "
            f"links {', '.join(sorted(macho.libraries))}{'' if mine else ': ok'}"
        )
    if not seen:
        found.append(f"{wheel.name}: holds no Mach-O file")
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
