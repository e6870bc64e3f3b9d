"""sph2wav over whole LDC-style corpora: WSJ-era Shorten, sample checksums,
.wv1/.wv2 pairs, resumed runs and an output directory that cannot be used.

Expected outputs come from the module or from the test encoder (whose
Shorten model test_shorten_v1 checks against ffmpeg); checksums are summed
here from the samples, never taken from the command."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import SHARED_SPHERE, SPH2WAV, pcm16_fields, sph2wav, sphere_bytes, tree, wav

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as enc  # noqa: E402

HINT = " (use --no-checksum to convert it anyway)"
FFMPEG = shutil.which("ffmpeg")
RATE = 16000


def lines(stderr: bytes) -> list[str]:
    return stderr.decode().splitlines()


def sum16(samples: np.ndarray) -> int:
    return int(samples.astype(np.int64).astype(np.uint16).astype(np.int64).sum()) % 65536


def sum8(codes: bytes) -> int:
    return sum(codes) % 65536


def wav16(pcm: bytes, channels: int) -> bytes:
    return wav(channels, RATE, 16, pcm)


def values(frames: int, channels: int, seed: int, amplitude: int = 12000) -> np.ndarray:
    return enc.speech_like_values(frames, channels, seed, amplitude=amplitude)


class Made:
    """A SPHERE file, the output a correct conversion gives, and the
    checksum of its samples."""

    def __init__(self, sph_fields: dict[str, str], payload: bytes, output: bytes, checksum: int | None):
        self.fields, self.payload, self.output, self.checksum = sph_fields, payload, output, checksum

    def file(self, checksum: int | None = None, payload: bytes | None = None) -> bytes:
        fields = dict(self.fields)
        if checksum is not None:
            fields["sample_checksum"] = str(checksum)
        return sphere_bytes(fields, self.payload if payload is None else payload)


def linear(frames: int, channels: int, seed: int, byte_format: str = "01") -> Made:
    v = values(frames, channels, seed).astype("<i2")
    payload = v.astype(">i2" if byte_format == "10" else "<i2").tobytes()
    fields = pcm16_fields(frames, channels, RATE)
    fields["sample_byte_format"] = byte_format
    return Made(fields, payload, wav16(v.tobytes(), channels), sum16(v))


def g711(korrin, frames: int, channels: int, seed: int, coding: str) -> Made:
    codes = bytes(np.random.default_rng(seed).integers(0, 256, frames * channels, dtype=np.uint8))
    fields = {
        **pcm16_fields(frames, channels, RATE),
        "sample_coding": coding,
        "sample_n_bytes": "1",
        "sample_byte_format": "1",
    }
    pcm = korrin.g711_expand(codes, coding == "alaw")
    return Made(fields, codes, wav16(pcm, channels), sum8(codes))


def shortened(frames: int, channels: int, seed: int, version: int, label: str, ulaw: bool = False) -> Made:
    if ulaw:
        v = np.random.default_rng(seed).integers(-128, 128, (frames, channels))
        stream = enc.encode(v, sample_type=8, blocksize=128, seed=seed, version=version, verbatim=False)
        codes = bytes(enc.ulaw_value_to_byte(int(x), 0) for x in v.reshape(-1))
        checksum = sum8(codes)
    else:
        v = values(frames, channels, seed)
        # Streams ffmpeg reads as this decoder does (see test_shorten_v1).
        stream = enc.encode(
            v,
            sample_type=5,
            blocksize=256,
            maxnlpc=8,
            nmean=4,
            seed=seed,
            version=version,
            bitshifts=(0, 1) if version == 1 else (0,),
            min_qlpc_order=1,
            leading_wav_header=True,
            pad_to_words=True,
            verbatim=False,
        )
        checksum = sum16(np.frombuffer(stream.pcm, "<i2"))
    fields = pcm16_fields(frames, channels, RATE)
    fields["sample_coding"] = ("ulaw," if ulaw else "pcm,") + label
    if ulaw:
        fields.update(sample_n_bytes="1", sample_byte_format="1")
    return Made(fields, stream.data, wav16(stream.pcm, channels), checksum)


@pytest.fixture(scope="module", autouse=True)
def executable():
    if not SPH2WAV.is_file():
        pytest.fail(f"sph2wav is not installed at {SPH2WAV}")


# --- a WSJ-like tree -------------------------------------------------------


def wsj_tree(korrin) -> dict[str, Made]:
    return {
        # Two microphones of one utterance, older Shorten in both versions.
        "si_tr_s/011/011c0201.wv1": shortened(2000, 1, 1, 1, "embedded-shorten-v1.1"),
        "si_tr_s/011/011c0201.wv2": shortened(2100, 1, 2, 2, "embedded-shorten-v1.1"),
        "si_tr_s/011/011c0202.wv1": shortened(1500, 1, 3, 1, "embedded-shorten-v1.09"),
        "si_tr_s/011/011c0202.wv2": shortened(1600, 1, 4, 1, "embedded-shorten-v1.09"),
        "si_dt_05/050/050a0101.wv1": shortened(1800, 2, 5, 2, "embedded-shorten-v2.00"),
        "si_dt_05/050/050a0101.wv2": shortened(900, 1, 6, 1, "embedded-shorten-v2.00", ulaw=True),
        "other/ulaw.sph": g711(korrin, 700, 2, 7, "ulaw"),
        "other/alaw.wv1": g711(korrin, 800, 1, 8, "alaw"),
        "other/pcm.wv2": linear(900, 1, 9),
        "other/pcm_be.sph": linear(500, 2, 10, "10"),
    }


def write_tree(root: Path, files: dict[str, bytes]) -> None:
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)


def test_a_wsj_like_tree_converts_with_checksums_and_kept_extensions(korrin, tmp_path):
    made = wsj_tree(korrin)
    write_tree(tmp_path / "wsj", {name: m.file(m.checksum) for name, m in made.items()})

    result = sph2wav("--keep-extension", "wsj", "-o", "out", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert lines(result.stderr)[-1].startswith(f"sph2wav: {len(made)} outputs written")
    assert tree(tmp_path / "out") == {name + ".wav": m.output for name, m in made.items()}
    if FFMPEG is None:
        return
    # ffmpeg reads the Shorten PCM streams (not the mu-law one) the same way.
    for name, m in made.items():
        if m.fields["sample_coding"].startswith("pcm,"):
            shn = tmp_path / "x.shn"
            shn.write_bytes(m.payload)
            out = subprocess.run(
                [FFMPEG, "-v", "error", "-f", "shn", "-i", str(shn), "-f", "s16le", "-"],
                capture_output=True,
                check=True,
            ).stdout
            assert (tmp_path / "out" / (name + ".wav")).read_bytes()[44:] == out, name


def test_pairs_collide_without_keep_extension_and_the_message_says_so(korrin, tmp_path):
    made = wsj_tree(korrin)
    write_tree(tmp_path / "wsj", {name: m.file(m.checksum) for name, m in made.items()})

    result = sph2wav("-q", "wsj", "-o", "out", cwd=tmp_path)

    hint = " (use --keep-extension to name outputs after the whole input name)"
    pairs = ["si_tr_s/011/011c0201", "si_tr_s/011/011c0202", "si_dt_05/050/050a0101"]
    assert result.returncode == 1
    assert sorted(lines(result.stderr)) == sorted(
        f"wsj/{p}.wv2: output out/{p}.wav is also the output of wsj/{p}.wv1{hint}" for p in pairs
    )
    assert tree(tmp_path / "out") == {
        name.rsplit(".", 1)[0] + ".wav": m.output
        for name, m in made.items()
        if not name.endswith(".wv2") or name.startswith("other/")
    }


def test_the_same_name_under_two_inputs_gets_no_extension_hint(tmp_path):
    """Trees of several inputs merge under one -o; names that are the same
    with the same extension cannot be told apart by --keep-extension."""
    m = linear(10, 1, 1)
    write_tree(tmp_path, {"a/x.sph": m.file(), "b/x.sph": m.file()})

    result = sph2wav("-q", "--keep-extension", "a", "b", "-o", "out", cwd=tmp_path)

    assert (result.returncode, lines(result.stderr)) == (
        1,
        ["b/x.sph: output out/x.sph.wav is also the output of a/x.sph"],
    )


# --- checksums -------------------------------------------------------------


def flipped(payload: bytes, at: int) -> bytes:
    return payload[:at] + bytes([payload[at] ^ 0x04]) + payload[at + 1 :]


CODINGS = ["pcm-le", "pcm-be", "ulaw", "alaw", "shorten-v1", "shorten-v2", "shorten-ulaw-v1"]


def good_and_bad(korrin, coding: str) -> tuple[Made, bytes, int]:
    """A file of the coding; a payload with one sample changed (a flipped bit
    of an uncompressed payload, another stream of the same length for
    Shorten); and that payload's checksum."""
    if coding.startswith("pcm"):
        dtype = ">i2" if coding == "pcm-be" else "<i2"
        good = linear(300, 2, 1, "10" if coding == "pcm-be" else "01")
        bad = flipped(good.payload, 101)
        return good, bad, sum16(np.frombuffer(bad, dtype))
    if coding in ("ulaw", "alaw"):
        good = g711(korrin, 300, 1, 1, coding)
        bad = flipped(good.payload, 17)
        return good, bad, sum8(bad)
    version = 1 if coding.endswith("v1") else 2
    label = "embedded-shorten-v1.1" if version == 1 else "embedded-shorten-v2.00"
    good = shortened(512, 1, 1, version, label, ulaw="ulaw" in coding)
    other = shortened(512, 1, 11, version, label, ulaw="ulaw" in coding)
    return good, other.payload, other.checksum


@pytest.mark.parametrize("coding", CODINGS)
def test_checksums_pass_and_a_changed_sample_fails(korrin, tmp_path, coding):
    good, bad, got_sum = good_and_bad(korrin, coding)
    (tmp_path / "good.sph").write_bytes(good.file(good.checksum))
    (tmp_path / "bad.sph").write_bytes(good.file(good.checksum, payload=bad))
    assert got_sum != good.checksum

    result = sph2wav("-q", "good.sph", "bad.sph", "-o", "out", cwd=tmp_path)

    assert result.returncode == 1
    assert lines(result.stderr) == [
        f"bad.sph: sample_checksum mismatch: the header declares {good.checksum}, the samples sum to {got_sum}{HINT}"
    ]
    assert tree(tmp_path / "out") == {"good.wav": good.output}

    result = sph2wav("-q", "--no-checksum", "bad.sph", "-o", "anyway/", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (tmp_path / "anyway/bad.wav").is_file()

    # One channel of the whole payload is checked too; a span is not (its
    # samples are not the ones summed), so it converts.
    checked = sph2wav("-q", "-c", "1", "bad.sph", "-o", "one.wav", cwd=tmp_path)
    assert checked.returncode == 1
    assert lines(checked.stderr) == [
        f"bad.sph: sample_checksum mismatch: the header declares {good.checksum}, the samples sum to {got_sum}{HINT}"
    ]
    span = sph2wav("-q", "-s", "0:10", "bad.sph", "-o", "span.wav", cwd=tmp_path)
    assert (span.returncode, span.stderr) == (0, b"")


@pytest.mark.parametrize(
    "fields, converts",
    [
        ({}, True),  # nothing to check against
        ({"sample_checksum": "12345", "sample_n_bytes": "4"}, True),  # no rule for 4-byte samples
        ({"sample_checksum": "12345"}, False),
        ({"sample_checksum": "not-a-number"}, False),
    ],
)
def test_where_the_checksum_is_not_checked_or_not_readable(tmp_path, fields, converts):
    (tmp_path / "x.sph").write_bytes(sphere_bytes({**pcm16_fields(4, 1, RATE), **fields}, bytes(range(16))))

    result = sph2wav("-q", "x.sph", cwd=tmp_path)

    if converts:
        assert (result.returncode, result.stderr) == (0, b"")
    elif fields["sample_checksum"] == "12345":  # 0x0100 + 0x0302 + 0x0504 + 0x0706
        assert (result.returncode, lines(result.stderr)) == (
            1,
            ["x.sph: sample_checksum mismatch: the header declares 12345, the samples sum to 4108" + HINT],
        )
    else:
        assert (result.returncode, lines(result.stderr)) == (
            1,
            ['x.sph: field "sample_checksum" is not an integer' + HINT],
        )


REAL = [("123_1pcle_shn.sph", 55857), ("123_2ulaw_shn.sph", 52054), ("123_2alaw.sph", 64712)]


@pytest.mark.skipif(not SHARED_SPHERE.is_dir(), reason=f"no real SPHERE files at {SHARED_SPHERE}")
@pytest.mark.parametrize("name, checksum", REAL)
def test_real_files_pass_their_checksums_and_fail_another(korrin, tmp_path, name, checksum):
    """The rule holds on every real file: 16-bit samples of the Shorten PCM
    file, the mu-law codes of the Shorten mu-law file before expansion, the
    A-law codes as stored."""
    sph = (SHARED_SPHERE / name).read_bytes()
    declared = f"sample_checksum -i {checksum}\n".encode()
    assert declared in sph[:1024]
    other = (checksum + 1) % 65536
    (tmp_path / "real.sph").write_bytes(sph)
    (tmp_path / "wrong.sph").write_bytes(sph.replace(declared, f"sample_checksum -i {other:05d}\n".encode(), 1))

    result = sph2wav("-q", "real.sph", "wrong.sph", cwd=tmp_path)

    assert result.returncode == 1
    assert lines(result.stderr) == [
        f"wrong.sph: sample_checksum mismatch: the header declares {other}, the samples sum to {checksum}{HINT}"
    ]
    assert (tmp_path / "real.wav").read_bytes() == korrin.transcode(sph)
    if name == "123_2alaw.sph":  # a changed sample of the real payload
        (tmp_path / "flipped.sph").write_bytes(flipped(sph, 1024 + 5000))
        result = sph2wav("-q", "flipped.sph", cwd=tmp_path)
        assert result.returncode == 1
        assert lines(result.stderr) == [
            f"flipped.sph: sample_checksum mismatch: the header declares {checksum}, "
            f"the samples sum to {(checksum + (sph[6024] ^ 0x04) - sph[6024]) % 65536}{HINT}"
        ]


# --- resuming --------------------------------------------------------------


def test_skip_existing_resumes_a_run(korrin, tmp_path):
    made = {f"d/{k}.sph": linear(50 + k, 1, k) for k in range(6)}
    write_tree(tmp_path, {name: m.file(m.checksum) for name, m in made.items()})
    write_tree(tmp_path, {"d/bad.sph": b"NIST_1A\n   1024\nnot a header"})
    # An earlier run finished two outputs (one left as it was, to show that
    # skipped outputs are not rewritten).
    write_tree(tmp_path, {"out/0.wav": b"left as it was", "out/1.wav": made["d/1.sph"].output})

    result = sph2wav("--skip-existing", "d", "-o", "out", cwd=tmp_path)

    assert result.returncode == 1  # bad.sph fails
    assert [line for line in lines(result.stderr) if not line.startswith("d/bad.sph: ")] == [lines(result.stderr)[-1]]
    assert lines(result.stderr)[-1].startswith("sph2wav: 4 of 5 outputs written, 1 failed, 2 skipped (")
    want = {f"{k}.wav": m.output for k, m in ((name[2:-4], m) for name, m in made.items())}
    want["0.wav"] = b"left as it was"
    assert tree(tmp_path / "out") == want

    (tmp_path / "d/bad.sph").unlink()
    again = sph2wav("--skip-existing", "d", "-o", "out", cwd=tmp_path)
    assert again.returncode == 0
    assert lines(again.stderr) == ["sph2wav: 0 outputs written, 6 skipped"]
    # Without the option every existing output is a failure, as before.
    without = sph2wav("-q", "d", "-o", "out", cwd=tmp_path)
    assert without.returncode == 1
    assert sorted(lines(without.stderr)) == [
        f"d/{k}.sph: out/{k}.wav already exists (use --force to replace it, or --skip-existing to keep it)"
        for k in range(6)
    ]


@pytest.mark.parametrize(
    "options, status, report",
    [
        (["--skip-existing"], 0, ["sph2wav: 0 outputs written, 1 skipped"]),
        (
            [],
            1,
            [
                "standard input: out.flac already exists (use --force to replace it, or --skip-existing to keep it)",
                "sph2wav: 0 of 1 outputs written, 1 failed",
            ],
        ),
    ],
)
def test_an_output_made_while_converting_is_kept(tmp_path, options, status, report):
    """The output appears after the check before conversion, while the file
    is encoded (FLAC of noise, a few hundred milliseconds): the write finds
    it and leaves it as it is, a skip with --skip-existing. (Where sph2wav
    runs slower, under a sanitizer, the check itself may find it: the
    outcome is the same.)"""
    noise = np.random.default_rng(3).integers(-30000, 30000, 8 << 20, dtype=np.int16).tobytes()
    data = sphere_bytes(pcm16_fields(8 << 20, 1), noise)
    run = subprocess.Popen(
        [str(SPH2WAV), *options, "--flac", "-", "-o", "out.flac"],
        cwd=tmp_path,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    run.stdin.write(data)
    run.stdin.close()
    time.sleep(0.05)
    (tmp_path / "out.flac").write_bytes(b"written meanwhile")
    stdout, stderr = run.stdout.read(), run.stderr.read()
    run.wait(timeout=120)

    assert (run.returncode, stdout) == (status, b"")
    assert len(lines(stderr)) == len(report)
    assert all(line.startswith(start) for line, start in zip(lines(stderr), report)), stderr
    assert (tmp_path / "out.flac").read_bytes() == b"written meanwhile"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.flac"]


def test_skip_existing_and_force_exclude_each_other(tmp_path):
    result = sph2wav("--force", "--skip-existing", "x.sph", cwd=tmp_path)
    assert result.returncode == 2
    assert lines(result.stderr)[0] == "sph2wav: --force and --skip-existing exclude each other"


def test_help_names_the_new_options(tmp_path):
    text = sph2wav("--help", cwd=tmp_path).stdout.decode()
    for option in ("--skip-existing", "--keep-extension", "--no-checksum"):
        assert option in text


# --- the output directory --------------------------------------------------


def unwritable_dirs():
    cases = [("a-file/out", "cannot create directory: not a directory"), ("a-file", "not a directory")]
    if Path("/proc/1").is_dir():  # exists, and not even root makes files in it
        cases.append(("/proc/1", "cannot write to directory: "))  # EACCES or EPERM
    return cases


@pytest.mark.parametrize("outdir, message", unwritable_dirs())
def test_an_unusable_output_directory_is_one_error_up_front(tmp_path, outdir, message):
    write_tree(tmp_path, {f"in/{k}.sph": linear(20, 1, k).file() for k in range(30)})
    (tmp_path / "a-file").write_bytes(b"")

    result = sph2wav("-j", "2", "in", "-o", outdir, cwd=tmp_path)

    assert result.returncode == 1
    assert len(lines(result.stderr)) == 1 and lines(result.stderr)[0].startswith(f"{outdir}: {message}")


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only directories")
def test_a_read_only_output_directory_is_one_error_up_front(tmp_path):
    write_tree(tmp_path, {f"in/{k}.sph": linear(20, 1, k).file() for k in range(5)})
    (tmp_path / "ro").mkdir(mode=0o555)

    result = sph2wav("in", "-o", "ro", cwd=tmp_path)

    assert (result.returncode, lines(result.stderr)) == (1, ["ro: cannot write to directory: permission denied"])


@pytest.mark.parametrize(
    "files", [{}, {"d/riff.wav": b"RIFF....WAVEfmt ", "notes.txt": b"NIST_1A"}], ids=["empty", "no-sphere"]
)
@pytest.mark.parametrize("quiet", [[], ["-q"]])
def test_a_tree_without_sphere_files_fails_and_makes_nothing(tmp_path, files, quiet):
    """An unmounted or misspelt corpus must not pass a pipeline."""
    write_tree(tmp_path / "in", files)
    (tmp_path / "in").mkdir(exist_ok=True)
    before = tree(tmp_path)
    result = sph2wav(*quiet, "in", "-o", "out/deeper", cwd=tmp_path)
    assert (result.returncode, lines(result.stderr)) == (1, ["sph2wav: no SPHERE files found under in"])
    assert tree(tmp_path) == before and not (tmp_path / "out").exists()
