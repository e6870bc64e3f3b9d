"""korrin._native.wav_scp_entry: wav.scp entries as sph2wav --wav-scp reads
them, with the frames and channel each takes of a file."""

from __future__ import annotations

import pytest

from korrin import _native

SHAPE = (2, 80000, 8000)  # channels, frames, rate

# entry -> (path, header_file, encoding, coding, checksum, payload_as_found, (begin, end, channel))
READ = [
    (
        "sph2pipe -f wav -p -c 1 /x/sw02001.sph |",
        ("/x/sw02001.sph", None, "wav", "linear16", "warn", True, (0, 80000, 0)),
    ),
    ("/d/sw02001.sph", ("/d/sw02001.sph", None, "wav", "linear", "verify", False, (0, 80000, None))),
    (
        "  /usr/bin/sph2pipe -pc2 -t 1.5:3 'a b.sph'|",
        ("a b.sph", None, "sphere", "linear16", "warn", True, (12000, 24000, 1)),
    ),
    ("sph2pipe -s 100:0 -f rif a.sph |", ("a.sph", None, "wav", "keep", "warn", True, (100, 80000, None))),
    ("sph2pipe -t 0.00019:0.00031 -u a.sph |", ("a.sph", None, "sphere", "ulaw", "warn", True, (1, 2, None))),
    ("sph2pipe -f raw -h h.sph a.sph |", ("a.sph", "h.sph", "raw", "keep", "warn", True, (0, 80000, None))),
    ("sph2wav -c 2 -t 1.00006:2 -o - a.sph |", ("a.sph", None, "wav", "linear", "verify", False, (8000, 16000, 1))),
    ("sph2wav --no-checksum -s 5: -o - a.sph |", ("a.sph", None, "wav", "linear", "ignore", False, (5, 80000, None))),
    ("sph2pipe -f wav -t 9:20 a.sph |", ("a.sph", None, "wav", "keep", "warn", True, (72000, 80000, None))),
]

REFUSED = [
    ("sox a.sph -t wav - |", "the command 'sox' is not understood"),
    ("sph2pipe a.sph | sox - x.wav |", "a second pipe stage is not understood"),
    ("sph2pipe -x a.sph |", "sph2pipe invalid option -- 'x'"),
    ("sph2pipe -p a.sph out.wav |", "the sph2pipe call must read one file and write to the pipe"),
    ("sph2wav -c 1 a.sph |", "the sph2wav call must convert one file to WAV on the pipe"),
    ("sph2pipe $X |", "the shell construct '$' is not understood"),
    ('sph2pipe "$X" |', "a shell expansion"),
    ("", "no file or command after the recording id"),
    ("sph2pipe -p a.sph\nb |", "a line break is not understood"),
    ("sph2pipe -p a\0.sph |", "a NUL byte is not understood"),
]


@pytest.mark.parametrize("entry,expected", READ, ids=[e for e, _ in READ])
def test_entries_read(entry, expected):
    got = _native.wav_scp_entry(entry, SHAPE)
    assert got == ("",) + expected
    assert _native.wav_scp_entry(entry, None) == ("",) + expected[:-1] + (None,)


@pytest.mark.parametrize("entry,error", REFUSED, ids=[e.replace("\0", "NUL") for e, _ in REFUSED])
def test_entries_refused(entry, error):
    got = _native.wav_scp_entry(entry, SHAPE)
    assert got[0].startswith(error) and got[1:] == (None,) * 7


@pytest.mark.parametrize(
    "entry,shape,message",
    [
        ("sph2pipe -c 3 a.sph |", SHAPE, "no channel 3 in a file of 2 channels"),
        ("sph2pipe -s 90000:0 a.sph |", SHAPE, "span 90000:0 starts beyond the end of the file (80000 frames)"),
        ("sph2pipe -t 10.5:0 a.sph |", SHAPE, "span 10.5:0 s starts beyond the end of the file"),
        ("a.sph", (0, 1, 8000), "a file's shape is (channels, frames, rate)"),
    ],
)
def test_picks_a_file_cannot_give(entry, shape, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        _native.wav_scp_entry(entry, shape)
