"""sph2wav run as sph2pipe: LDC sph2pipe 2.5's command line, the same bytes
where sph2pipe is right (checked against the sph2pipe binary beside the
checkout, or $KORRIN_SPH2PIPE), and the sound behaviour where it is not."""

from __future__ import annotations

import itertools
import os
import pty
import shutil
import signal
import stat
import struct
import subprocess
import sys
import threading
import tty
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

from conftest import REPO, SHARED_SPHERE, sphere_bytes
from test_cli import SPH2WAV, loads_libraries

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as se  # noqa: E402

ORACLE = Path(os.environ.get("KORRIN_SPH2PIPE") or REPO.parent / "shared/oracles/sph2pipe/sph2pipe")
needs_oracle = pytest.mark.skipif(not os.access(ORACLE, os.X_OK), reason=f"no sph2pipe oracle at {ORACLE}")
FRAMES = 2000


@pytest.fixture(scope="session")
def ours(tmp_path_factory) -> Path:
    """The installed sph2pipe, or a link made by hand to sph2wav."""
    installed = SPH2WAV.parent / "sph2pipe"
    if installed.is_file():
        return installed
    link = tmp_path_factory.mktemp("bin") / "sph2pipe"
    link.symlink_to(SPH2WAV)
    return link


def header(fields: list[tuple[str, str | int]], size: int = 1024) -> bytes:
    """A header whose fields are typed -i for ints, -sN for strings (digits or not)."""
    return sphere_bytes([(k, v) if isinstance(v, int) else (k, v, f"-s{len(v)}") for k, v in fields], header_size=size)


def required(channels: int, width: int, frames: int = FRAMES, rate: int = 8000) -> list:
    return [
        ("database_id", "T"),
        ("channel_count", channels),
        ("sample_count", frames),
        ("sample_rate", rate),
        ("sample_n_bytes", width),
    ]


DIFFS = (se.DIFF0, se.DIFF1, se.DIFF2, se.DIFF3, se.ZERO)


def shorten(values, sample_type: int) -> bytes:
    return se.encode(
        values,
        sample_type=sample_type,
        blocksize=256,
        nmean=4 if sample_type == 5 else 0,
        seed=1,
        pad_to_words=True,
        verbatim=False,
        commands=DIFFS,
    ).data


@pytest.fixture(scope="session")
def files(tmp_path_factory) -> dict[str, Path]:
    """PCM of both byte orders, mu-law, A-law and Shorten files (no -32768,
    which sph2pipe codes as silence, and Shorten streams without QLPC)."""
    rng = np.random.default_rng(1)
    pcm = rng.integers(-32767, 32768, (FRAMES, 2)).astype(np.int16)
    codes = rng.integers(0, 256, (FRAMES, 2))
    made = {
        "le2": header(
            required(2, 2) + [("sample_byte_format", "01"), ("sample_coding", "pcm"), ("sample_checksum", 77)]
        )
        + pcm.astype("<i2").tobytes(),
        "be2": header(
            required(2, 2) + [("sample_byte_format", "10"), ("sample_sig_bits", 16), ("sample_coding", "pcm")]
        )
        + pcm.astype(">i2").tobytes(),
        "le1": header(required(1, 2) + [("sample_byte_format", "01"), ("sample_coding", "pcm")])
        + pcm[:, 0].astype("<i2").tobytes(),
        "ul2": header(required(2, 1) + [("sample_coding", "ulaw"), ("sample_byte_format", "1"), ("sample_sig_bits", 8)])
        + codes.astype(np.uint8).tobytes(),
        "al1": header(required(1, 1) + [("sample_coding", "alaw")]) + codes[:, 0].astype(np.uint8).tobytes(),
        "shn2": header(required(2, 2) + [("sample_byte_format", "01"), ("sample_coding", "pcm,embedded-shorten-v2.00")])
        + shorten(se.speech_like_values(FRAMES, 2, seed=4), 5),
        "shn8": header(required(2, 1) + [("sample_coding", "ulaw,embedded-shorten-v2.00")])
        + shorten(np.where(codes >= 0x80, 0xFF - codes, codes - 0x80), 8),
    }
    root = tmp_path_factory.mktemp("sph2pipe")
    paths = {}
    for name, data in made.items():
        paths[name] = root / f"{name}.sph"
        paths[name].write_bytes(data)
    if SHARED_SPHERE.is_dir():
        for real in sorted(SHARED_SPHERE.glob("*.sph")):
            paths[real.stem] = real
    return paths


def run(tool: Path, args: list[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(tool), *args], capture_output=True, timeout=60, **kwargs)


def as_sph2pipe_writes(args: list[str], out: bytes) -> bytes:
    """Our output with the two header fixes undone: A-law AU labelled A-law,
    and the pad byte after odd 8-bit WAV data."""
    fmt = args[args.index("-f") + 1]
    if fmt == "au" and out[12:16] == struct.pack(">I", 27):
        out = out[:12] + struct.pack(">I", 1) + out[16:]
    if fmt == "wav" and out[20:22] in (b"\x06\x00", b"\x07\x00") and struct.unpack("<I", out[54:58])[0] % 2:
        out = out[:4] + struct.pack("<I", struct.unpack("<I", out[4:8])[0] - 1) + out[8:-1]
    return out


def diverges_on_purpose(name: str, args: list[str]) -> bool:
    mono = name in ("le1", "al1", "123_1pcle_shn")
    # -c 2 on one channel: an error here, ignored by sph2pipe; a mu-law or
    # A-law SPHERE output of a header without sample_coding gets one here.
    return (mono and "-c" in args and args[args.index("-c") + 1] == "2") or (
        name == "le1" and "sph" in args and ("-u" in args or "-a" in args)
    )


@needs_oracle
def test_every_format_coding_channel_and_span_gives_sph2pipes_bytes(ours, files):
    formats = ["wav", "sph", "raw", "au", "aif"]
    codings = [[], ["-p"], ["-u"], ["-a"]]
    channels = [[], ["-c", "1"], ["-c", "2"]]
    spans = [[], ["-s", "3:0"], ["-t", "0.057:0.113"], ["-t", "1e-05:0.1"], ["-s", ":7"], ["-t", "0.1:"]]
    cases = [
        (name, ["-f", f, *c, *ch, *sp, str(path)])
        for name, path in files.items()
        for f, c, ch, sp in itertools.product(formats, codings, channels, spans)
    ]
    if os.environ.get("KORRIN_SANITIZED"):
        # Under the sanitizers every run costs many times more: one case in
        # seven (prime to each option's count) still meets every writer,
        # coding, channel and span.
        cases = cases[::7]

    def compare(case):
        name, args = case
        want, got = run(ORACLE, args), run(ours, args)
        if diverges_on_purpose(name, args):
            return None
        if (want.returncode, want.stdout) != (got.returncode, as_sph2pipe_writes(args, got.stdout)):
            return (
                f"{' '.join(args)}: sph2pipe {want.returncode}/{len(want.stdout)} B, ours {got.returncode}/"
                f"{len(got.stdout)} B {got.stderr.decode()[:100]}"
            )
        return None

    with ThreadPoolExecutor(4) as pool:
        problems = [p for p in pool.map(compare, cases) if p]
    assert not problems, f"{len(problems)} of {len(cases)} differ:\n" + "\n".join(problems[:20])


@needs_oracle
@pytest.mark.parametrize(
    "args",
    [
        ["-f", "wav", "-p", "-t", "0.57:1.13"],  # truncated: frames 11399 to 22599 at 20 kHz
        ["-f", "wav", "-p", "-t", "1.3:0"],  # an end of 0 is the end
        ["-fwav", "-pc1", "-t0.5:1.0"],  # bundles
        ["-t", "0.5:1.5", "-f", "raw", "-u"],  # options after the file name come below
        ["-f", "RIFF", "-a", "-p"],  # the last coding wins; formats by prefix
        ["-f", "wav", "-t", "1.856:"],  # starting exactly at the end: empty
        ["-f", "wav", "-p", "-s", "37119:"],
        ["-f", "sph", "-c", "2", "-s", "100:200"],  # the rewritten header
        ["-f", "mp3"],  # failures: exit 1 both
        ["-f", "wav", "-t", "1.9:"],
        ["-f", "wav", "-s", "5:5"],
        ["-c"],
    ],
)
def test_command_lines_of_the_real_files(ours, args):
    path = SHARED_SPHERE / "123_2ulaw_shn.sph"
    if not path.is_file():
        pytest.skip(f"no real SPHERE files in {SHARED_SPHERE}")
    line = args[:3] + [str(path)] + args[3:] if args[0] == "-t" else args + [str(path)]
    want, got = run(ORACLE, line), run(ours, line)
    assert (got.returncode, got.stdout) == (want.returncode, want.stdout)


@needs_oracle
def test_header_files_sizes_and_output_files(ours, files, tmp_path):
    le2 = files["le2"].read_bytes()
    (tmp_path / "h.hdr").write_bytes(le2[:1024])
    (tmp_path / "samples.raw").write_bytes(le2[1024:])
    # A payload shorter or longer than declared by whole frames is reset
    # to what the file holds, as sph2pipe does.
    (tmp_path / "short.sph").write_bytes(le2[:-40])
    (tmp_path / "long.sph").write_bytes(le2 + bytes(8))
    for args in (
        ["-f", "wav", "-h", "h.hdr", "samples.raw"],
        ["-f", "sph", "-h", "h.hdr", "-c", "1", "samples.raw"],
        ["-f", "wav", "short.sph"],
        ["-f", "sph", "long.sph"],
        ["-f", "sph", "-t", "0.2:", "short.sph"],
    ):
        want, got = run(ORACLE, args, cwd=tmp_path), run(ours, args, cwd=tmp_path)
        assert (got.returncode, got.stdout) == (want.returncode, want.stdout), args
    # An output file: written, and replaced on the next run.
    (tmp_path / "out.wav").write_bytes(b"old")
    assert run(ours, ["-f", "wav", "-p", str(files["ul2"]), "out.wav"], cwd=tmp_path).returncode == 0
    assert (tmp_path / "out.wav").read_bytes() == run(ORACLE, ["-f", "wav", "-p", str(files["ul2"])]).stdout


def test_pcm_to_g711_codes_every_value(ours, tmp_path):
    values = np.arange(-32768, 32768, dtype=np.int16)
    path = tmp_path / "all.sph"
    path.write_bytes(header(required(1, 2, frames=65536) + [("sample_byte_format", "01")]) + values.tobytes())
    ulaw = np.frombuffer(run(ours, ["-f", "raw", "-u", str(path)]).stdout, np.uint8)
    alaw = np.frombuffer(run(ours, ["-f", "raw", "-a", str(path)]).stdout, np.uint8)
    if os.access(ORACLE, os.X_OK):
        want_u = np.frombuffer(run(ORACLE, ["-f", "raw", "-u", str(path)]).stdout, np.uint8)
        want_a = np.frombuffer(run(ORACLE, ["-f", "raw", "-a", str(path)]).stdout, np.uint8)
        # sph2pipe codes -32768 as 0x7F, a negative zero.
        assert (want_u[1:] == ulaw[1:]).all() and want_u[0] == 0x7F
        assert (want_a == alaw).all()
    assert ulaw[0] == ulaw[1] == 0x00 and ulaw[-1] == 0x80


def read_wav(data: bytes) -> tuple[int, int, np.ndarray]:
    channels, _, _, _, bits = struct.unpack("<HIIHH", data[22:36])
    return channels, bits, np.frombuffer(data[44:], "<i2" if bits == 16 else "<i4")


def test_what_sph2pipe_gets_wrong_is_done_soundly(ours, tmp_path, korrin):
    four = np.arange(40, dtype=np.int16).reshape(10, 4)
    (tmp_path / "c4.sph").write_bytes(header(required(4, 2, 10) + [("sample_byte_format", "01")]) + four.tobytes())
    channels, _, samples = read_wav(run(ours, ["-f", "wav", "c4.sph"], cwd=tmp_path).stdout)
    assert channels == 4 and (samples == four.ravel()).all()
    channels, _, samples = read_wav(run(ours, ["-f", "wav", "-c", "3", "c4.sph"], cwd=tmp_path).stdout)
    assert channels == 1 and (samples == four[:, 2]).all()

    pcm32 = np.array([0x12345678, -0x7FFF0000, 5], dtype=np.int32)
    (tmp_path / "p32.sph").write_bytes(header(required(1, 4, 3) + [("sample_byte_format", "01")]) + pcm32.tobytes())
    assert read_wav(run(ours, ["-f", "wav", "p32.sph"], cwd=tmp_path).stdout)[1] == 32
    assert list(read_wav(run(ours, ["-f", "wav", "-p", "p32.sph"], cwd=tmp_path).stdout)[2]) == [0x1234, -0x7FFF, 0]

    odd = bytes(range(7))
    (tmp_path / "odd.sph").write_bytes(header(required(1, 1, 7) + [("sample_coding", "alaw")]) + odd)
    wav = run(ours, ["-f", "wav", "odd.sph"], cwd=tmp_path).stdout
    assert len(wav) == 58 + 8 and wav[-1] == 0 and struct.unpack("<I", wav[4:8])[0] == len(wav) - 8
    assert run(ours, ["-f", "au", "odd.sph"], cwd=tmp_path).stdout[12:16] == struct.pack(">I", 27)

    # A stored payload with part of a frame: header and samples agree.
    stereo = header(required(2, 2, 100) + [("sample_byte_format", "01")]) + bytes(398)
    (tmp_path / "ragged.sph").write_bytes(stereo)
    result = run(ours, ["-f", "wav", "ragged.sph"], cwd=tmp_path)
    assert result.returncode == 0 and b"sample_count reset from 100 to 99" in result.stderr
    assert len(result.stdout) == 44 + 396 and struct.unpack("<I", result.stdout[40:44])[0] == 396

    checksum = run(ours, ["-f", "wav", "-p", "c4.sph"], cwd=tmp_path)
    assert checksum.returncode == 0 and checksum.stderr == b""


@pytest.mark.parametrize(
    "file, args, message",
    [
        ("c4", ["-c", "5"], "c4.sph: no channel 5 in a file of 4 channels\n"),
        ("mono", ["-c", "2"], "mono.sph: no channel 2 in a file of 1 channel\n"),
        ("c4", ["-c", "12x"], "sph2pipe: invalid channel '12x' (expected 1 or more)\n"),
        ("c4", ["-t", "-1:2"], "sph2pipe: invalid span '-1:2' for -t: '-1' is not a number of seconds (0 or more)\n"),
        ("c4", ["-s", "-5:10"], "sph2pipe: invalid span '-5:10' for -s: '-5' is not a frame number (0 or more)\n"),
        (
            "c4",
            ["-s", "10abc:20"],
            "sph2pipe: invalid span '10abc:20' for -s: '10abc' is not a frame number (0 or more)\n",
        ),
        ("c4", ["-t", "1x:2"], "sph2pipe: invalid span '1x:2' for -t: '1x' is not a number of seconds (0 or more)\n"),
        (
            "c4",
            ["-t", "nan:1"],
            "sph2pipe: invalid span 'nan:1' for -t: 'nan' is not a number of seconds (0 or more)\n",
        ),
        ("c4", ["-t", "0:1", "-s", "0:1"], "sph2pipe: -t and -s exclude each other\n"),
        ("c4", ["-s", "11:"], "c4.sph: span 11: starts beyond the end of the file (10 frames)\n"),
        ("pcm24", [], "pcm24.sph: 24-bit PCM not supported yet (supported: 16, 32 bit)\n"),
        ("no_end", [], "no_end.sph: SPHERE header missing 'end_head' terminator\n"),
        ("cut_shn", [], "cut_shn.sph: truncated or corrupt shorten stream"),
    ],
)
def test_failures_are_errors_and_leave_no_output(ours, tmp_path, file, args, message):
    made = {
        "c4": header(required(4, 2, 10) + [("sample_byte_format", "01")]) + bytes(80),
        "mono": header(required(1, 2, 10) + [("sample_byte_format", "01")]) + bytes(20),
        "pcm24": header(required(1, 3, 10) + [("sample_coding", "pcm")]) + bytes(30),
        "no_end": header(required(1, 2, 10)).replace(b"end_head", b"        ") + bytes(20),
        "cut_shn": header(required(2, 2) + [("sample_coding", "pcm,embedded-shorten-v2.00")])
        + shorten(se.speech_like_values(FRAMES, 2, seed=4), 5)[:3000],
    }
    (tmp_path / f"{file}.sph").write_bytes(made[file])
    (tmp_path / "kept.wav").write_bytes(b"old")
    for output in ([], ["new.wav"], ["kept.wav"]):
        result = run(ours, ["-f", "wav", *args, f"{file}.sph", *output], cwd=tmp_path)
        assert result.returncode == 1 and result.stdout == b""
        assert result.stderr.decode().startswith(message)
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted([f"{file}.sph", "kept.wav"])
        assert (tmp_path / "kept.wav").read_bytes() == b"old"


def test_usage_help_and_the_input_itself(ours, tmp_path):
    for args in ([], ["a", "b", "c"], ["-x", "a"], ["-f", "mp4", "a"]):
        result = run(ours, args)
        assert result.returncode == 1 and result.stderr.endswith(b"infile [outfile]\n")
    help_text = run(ours, ["--help"])
    assert help_text.returncode == 0 and b"Where sph2pipe 2.5 goes wrong" in help_text.stdout
    (tmp_path / "a.sph").write_bytes(header(required(1, 2, 10) + [("sample_byte_format", "01")]) + bytes(20))
    same = run(ours, ["-f", "sph", "a.sph", "a.sph"], cwd=tmp_path)
    assert same.returncode == 1 and b"would replace the input" in same.stderr
    assert len((tmp_path / "a.sph").read_bytes()) == 1044


def read_exactly(fd: int, count: int) -> bytes:
    data = b""
    while len(data) < count:
        data += os.read(fd, count - len(data))
    return data


def kinds(root: Path) -> dict[str, int]:
    """What each entry of `root` is (a FIFO, a link...), not following links."""
    return {p.name: stat.S_IFMT(p.lstat().st_mode) for p in root.iterdir()}


@pytest.mark.parametrize(
    "kind", ["fifo", "terminal", "proc-fd", "link-to-null", "link-to-file", "dangling-link", "missing-dir"]
)
@pytest.mark.parametrize("program", ["sph2pipe", "sph2wav"])
def test_an_output_that_is_not_a_regular_file_is_written_into(ours, files, tmp_path, program, kind):
    """As LDC's sph2pipe and cp do: a device, FIFO or terminal is written
    into, a link's target is written, and nothing but the output is made or
    replaced (as root, /dev/null itself was once renamed over)."""
    source = str(files["le1"])
    tool, head = (ours, ["-f", "wav", source]) if program == "sph2pipe" else (SPH2WAV, ["-q", "--force", source, "-o"])
    expected = run(tool, head if program == "sph2pipe" else head + ["-"]).stdout
    out, fds, reader = tmp_path / "out.wav", (), None
    if kind == "fifo":
        os.mkfifo(out)
        reader = lambda: out.read_bytes()  # noqa: E731
    elif kind == "terminal":
        master, slave = pty.openpty()
        tty.setraw(slave)
        out, reader = Path(os.ttyname(slave)), lambda: read_exactly(master, len(expected))
    elif kind == "proc-fd":
        r, w = os.pipe()
        out, fds, reader = Path(f"/proc/self/fd/{w}"), (w,), lambda: os.fdopen(r, "rb").read()
    elif kind == "link-to-null":
        out.symlink_to("/dev/null")
    elif kind == "link-to-file":
        (tmp_path / "target.wav").write_bytes(b"old")
        out.symlink_to("target.wav")
    elif kind == "dangling-link":
        out.symlink_to("gone.wav")
    else:
        out = tmp_path / "new" / "out.wav"
    before = kinds(tmp_path)
    got = []
    # A daemon: a reader left waiting by a failed run must not hang the suite.
    thread = threading.Thread(target=lambda: got.append(reader()), daemon=True) if reader else None
    if thread:
        thread.start()
    result = subprocess.run([str(tool), *head, str(out)], capture_output=True, timeout=60, pass_fds=fds)
    if fds:
        os.close(fds[0])
    failure = {
        "dangling-link": f"not writing through the dangling symbolic link {out}",
        "missing-dir": f"cannot create {out}: no such file or directory",
    }.get(kind)
    if failure:
        assert (result.returncode, result.stderr.decode()) == (1, f"{source}: {failure}\n")
    else:
        assert (result.returncode, result.stderr) == (0, b"")
    if thread:
        thread.join(timeout=30)
        assert got == [expected]
    if kind == "link-to-file":
        assert (tmp_path / "target.wav").read_bytes() == expected
    assert kinds(tmp_path) == before
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


@pytest.mark.parametrize("stdout", ["closed", "/dev/full"])
@pytest.mark.parametrize("program", ["sph2pipe", "sph2wav"])
def test_audio_that_standard_output_does_not_take_is_a_failure(ours, files, program, stdout):
    tool, args = (ours, ["-f", "wav"]) if program == "sph2pipe" else (SPH2WAV, ["-o", "-"])
    with open("/dev/full", "wb") as full:
        result = subprocess.run(
            [str(tool), *args, str(files["le1"])],
            stderr=subprocess.PIPE,
            timeout=60,
            stdout=None if stdout == "closed" else full,
            preexec_fn=(lambda: os.close(1)) if stdout == "closed" else None,
        )
    cause = "bad file descriptor" if stdout == "closed" else "no space left on device"
    message = f"{files['le1']}: cannot write standard output: {cause}\n"
    assert (result.returncode, result.stderr.decode()) == (1, message)


def test_kaldiio_reads_a_wav_scp_of_sph2pipe_pipes(ours, files, tmp_path):
    """A real client of the command line: kaldiio runs each line's pipe in a
    shell, with this sph2pipe first on the PATH, and reads the WAV."""
    kaldiio = pytest.importorskip("kaldiio")
    (tmp_path / "wav.scp").write_text(
        f"sw-A sph2pipe -f wav -p -c 1 {files['shn8']} |\nsw-B sph2pipe -f wav -p -c 2 -t 0.05:0.2 {files['shn8']} |\n"
    )
    env = {**os.environ, "PATH": f"{ours.parent}{os.pathsep}{os.environ['PATH']}"}
    old = os.environ.copy()
    os.environ.update(env)
    try:
        read = {key: value for key, value in kaldiio.load_scp(str(tmp_path / "wav.scp")).items()}
    finally:
        os.environ.clear()
        os.environ.update(old)
    whole = np.frombuffer(run(ours, ["-f", "raw", "-p", str(files["shn8"])]).stdout, "<i2").reshape(-1, 2)
    assert read["sw-A"][0] == 8000 and (read["sw-A"][1] == whole[:, 0]).all()
    assert (read["sw-B"][1] == whole[400:1600, 1]).all()


# A signal that arrives while a named temporary file is being written: the
# shim refuses O_TMPFILE, as some file systems do, and raises the signal in
# the first write to a ".NAME.tmp-..." file.
SIGNAL_IN_WRITE = r"""
#include <signal.h>
#include <stdio.h>
#include <string.h>
ssize_t write(int fd, const void *buffer, size_t n) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length > 0) {
        target[length] = 0;
        const char *base = strrchr(target, '/');
        if (base && strstr(base, ".tmp-")) raise(SIGNUM);
    }
    return syscall(SYS_write, fd, buffer, n);
}
"""


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGSEGV, signal.SIGABRT])
@pytest.mark.parametrize("existing", [False, True], ids=["new", "replaced"])
def test_a_signal_while_a_named_temporary_is_written_leaves_nothing(ours, files, tmp_path, sig, existing):
    if os.environ.get("LD_PRELOAD"):
        pytest.skip("a library is preloaded already (a sanitizer's runtime), which the shim cannot precede")
    if not loads_libraries(ours):
        pytest.skip("this sph2pipe is linked wholly static: a preloaded shim cannot reach its calls")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the shim")
    from test_cli_faults import NO_TMPFILE_SHIM

    (tmp_path / "shim.c").write_text(NO_TMPFILE_SHIM + SIGNAL_IN_WRITE)
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", f"-DSIGNUM={int(sig)}", "-o", tmp_path / "shim.so", tmp_path / "shim.c"],
        check=True,
    )
    out = tmp_path / "out"
    out.mkdir()
    if existing:
        (out / "a.wav").write_bytes(b"old")
    env = {**os.environ, "LD_PRELOAD": str(tmp_path / "shim.so")}
    result = run(ours, ["-f", "wav", "-p", str(files["ul2"]), str(out / "a.wav")], env=env)
    assert result.returncode == -sig
    assert sorted(p.name for p in out.iterdir()) == (["a.wav"] if existing else [])
    if existing:
        assert (out / "a.wav").read_bytes() == b"old"
    # Without the signal the same named road writes the file.
    (tmp_path / "plain.c").write_text(NO_TMPFILE_SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", tmp_path / "plain.so", tmp_path / "plain.c"], check=True)
    done = run(
        ours,
        ["-f", "wav", "-p", str(files["ul2"]), str(out / "a.wav")],
        env={**os.environ, "LD_PRELOAD": str(tmp_path / "plain.so")},
    )
    assert done.returncode == 0 and sorted(p.name for p in out.iterdir()) == ["a.wav"]
    assert (out / "a.wav").read_bytes() == run(ours, ["-f", "wav", "-p", str(files["ul2"])]).stdout
