"""The man pages of sph2wav and sph2pipe: installed beside them, made from
the same text as their --help (so every option and every word of the one is
in the other), and readable with man."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

from conftest import SPH2WAV, VERSION

MAN = shutil.which("man")
needs_man = pytest.mark.skipif(MAN is None, reason="needs man (Debian: man-db)")
OPTION = re.compile(r"(?<![\w-])--?[A-Za-z0-9][\w-]*")


def man_page(program: str) -> Path:
    """The page installed with the programs: under share/man/man1 of the
    environment (the wheel's data), or beside a program built elsewhere."""
    if os.environ.get("KORRIN_SPH2WAV"):
        # Installed under a prefix, or in a build tree (build/src/cli/sph2wav,
        # the pages in build/cli_help).
        places = [SPH2WAV.parent.parent / "share" / "man" / "man1", SPH2WAV.parent.parent.parent / "cli_help"]
    else:
        places = [Path(sysconfig.get_path("data")) / "share" / "man" / "man1"]
    for place in places:
        if (place / f"{program}.1").is_file():
            return place / f"{program}.1"
    pytest.fail(f"no {program}.1 in {', '.join(map(str, places))}")


def rendered(*args: str, cwd: Path | None = None) -> str:
    # Wide enough that no line is broken or hyphenated; plain ASCII. man and
    # groff are the system's, not this project's: the sanitizer run's
    # preloaded runtime stays out of them (troff has faults of its own).
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    env.update(MANWIDTH="1000", LANG="C", LC_ALL="C", MANPAGER="cat", PAGER="cat")
    result = subprocess.run([MAN, *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=60)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    return result.stdout


def words(text: str) -> set[str]:
    return {w.strip(":").lower() for w in text.split()}


@pytest.mark.parametrize("program", ["sph2wav", "sph2pipe"])
def test_each_program_has_its_page_beside_it(program):
    text = man_page(program).read_text()
    assert f'.TH {program.upper()} 1 "" "korrin_native {VERSION}"' in text
    assert "\n.SH NAME\n" in text and "\n.SH SYNOPSIS\n" in text


@needs_man
@pytest.mark.parametrize("program", ["sph2wav", "sph2pipe"])
def test_the_man_page_says_what_help_says(program):
    helped = subprocess.run([str(SPH2WAV.parent / program), "--help"], capture_output=True, text=True, timeout=60)
    assert helped.returncode == 0
    page = rendered("--warnings", "-l", str(man_page(program)))

    assert set(OPTION.findall(helped.stdout)) == set(OPTION.findall(page))
    # Every word of the help is on the page (its headings in capitals, its
    # usage lines as the synopsis); the page adds its sections' names.
    assert words(helped.stdout) - {"usage"} <= words(page)
    assert f"{program.upper()}(1)" in page and f"korrin_native {VERSION}" in page


@needs_man
def test_man_renders_a_page_named_by_its_path():
    page = man_page("sph2wav")
    text = rendered("./sph2wav.1", cwd=page.parent)
    assert "SPH2WAV(1)" in text
    assert re.search(r"NAME\n +sph2wav - convert NIST SPHERE audio files", text)
    assert "sph2wav --wav-scp WAV_SCP" in text.split("DESCRIPTION")[0]  # the synopsis lists every form
