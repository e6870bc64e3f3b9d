"""How calls of korrin_native fail: binding, conversion and core errors."""

from __future__ import annotations

import numpy as np
import pytest

import korrin_native as kn
from conftest import pcm16_fields, sphere_bytes

DATA = b"\x00\x7f\x80\xff"

# (call, message) of every binding failure: CPython's own wording.
BINDING_ERRORS = [
    (lambda: kn.transcode(), "transcode() missing 1 required positional argument: 'sph'"),
    (lambda: kn.decode_pcm(), "decode_pcm() missing 1 required positional argument: 'sph'"),
    (lambda: kn.shorten_to_pcm(), "shorten_to_pcm() missing 1 required positional argument: 'stream'"),
    (lambda: kn.g711_expand(), "g711_expand() missing 2 required positional arguments: 'data' and 'alaw'"),
    (lambda: kn.g711_expand(DATA), "g711_expand() missing 1 required positional argument: 'alaw'"),
    (lambda: kn.g711_expand(alaw=True), "g711_expand() missing 1 required positional argument: 'data'"),
    (lambda: kn.transcode(DATA, DATA), "transcode() takes 1 positional arguments but 2 were given"),
    (lambda: kn.g711_expand(DATA, True, 1), "g711_expand() takes 2 positional arguments but 3 were given"),
    # Too many positionals is reported before any keyword is looked at.
    (lambda: kn.transcode(1, 2, x=3), "transcode() takes 1 positional arguments but 2 were given"),
    (lambda: kn.transcode(x=DATA), "transcode() got an unexpected keyword argument 'x'"),
    (lambda: kn.transcode(SPH=DATA), "transcode() got an unexpected keyword argument 'SPH'"),
    (lambda: kn.transcode(**{"\udcff": DATA}), "transcode() got an unexpected keyword argument '\udcff'"),
    (lambda: kn.g711_expand(alaw=True, data=DATA, x=1), "g711_expand() got an unexpected keyword argument 'x'"),
    (lambda: kn.transcode(DATA, sph=DATA), "transcode() got multiple values for argument 'sph'"),
    (lambda: kn.g711_expand(DATA, True, alaw=False), "g711_expand() got multiple values for argument 'alaw'"),
    # Binding ends the call before any argument is converted.
    (lambda: kn.transcode(1, x=2), "transcode() got an unexpected keyword argument 'x'"),
    (lambda: kn.g711_expand(1, 2, 3), "g711_expand() takes 2 positional arguments but 3 were given"),
    (lambda: kn.g711_expand(1), "g711_expand() missing 1 required positional argument: 'alaw'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__suppress_context__ is False


class Bytes(bytes):
    pass


# A type whose __qualname__ cannot be read as a str.
class BadQualname(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


Unnamed = BadQualname("Unnamed", (), {})


# (call, message) of every refused argument.
CONVERSION_ERRORS = [
    (lambda: kn.transcode("abc"), "argument 'sph': 'str' object cannot be converted to 'PyBytes'"),
    (lambda: kn.transcode(bytearray(DATA)), "argument 'sph': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: kn.transcode(memoryview(DATA)), "argument 'sph': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda: kn.decode_pcm(None), "argument 'sph': 'NoneType' object cannot be converted to 'PyBytes'"),
    (lambda: kn.decode_pcm(sph=[1]), "argument 'sph': 'list' object cannot be converted to 'PyBytes'"),
    (lambda: kn.shorten_to_pcm(1.5), "argument 'stream': 'float' object cannot be converted to 'PyBytes'"),
    (
        lambda: kn.transcode(Unnamed()),
        "argument 'sph': '<failed to extract type name>' object cannot be converted to 'PyBytes'",
    ),
    (lambda: kn.transcode(BINDING_ERRORS), "argument 'sph': 'list' object cannot be converted to 'PyBytes'"),
    # data is converted first, so alaw is never looked at.
    (lambda: kn.g711_expand(1, True), "argument 'data': 'int' object cannot be converted to 'PyBytes'"),
    (lambda: kn.g711_expand(1, 1), "argument 'data': 'int' object cannot be converted to 'PyBytes'"),
    (
        lambda: kn.g711_expand(alaw=None, data=np.frombuffer(DATA, np.uint8)),
        "argument 'data': 'ndarray' object cannot be converted to 'PyBytes'",
    ),
    # Truthiness is never consulted for alaw.
    (lambda: kn.g711_expand(DATA, 0), "argument 'alaw': 'int' object cannot be converted to 'PyBool'"),
    (lambda: kn.g711_expand(DATA, 1), "argument 'alaw': 'int' object cannot be converted to 'PyBool'"),
    (lambda: kn.g711_expand(DATA, None), "argument 'alaw': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: kn.g711_expand(DATA, "True"), "argument 'alaw': 'str' object cannot be converted to 'PyBool'"),
    (lambda: kn.g711_expand(DATA, np.int8(1)), "argument 'alaw': 'int8' object cannot be converted to 'PyBool'"),
    (lambda: kn.g711_expand(DATA, np.array(True)), "argument 'alaw': 'ndarray' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("call, message", CONVERSION_ERRORS)
def test_conversion_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


def fake_numpy_bool(name="bool_", **namespace):
    """A type that passes for a numpy boolean scalar by its __module__ and
    __name__."""
    return type(name, (), {"__module__": "numpy", **namespace})()


def bool_raising(error):
    def __bool__(self):
        raise error

    return __bool__


def test_fake_numpy_bool_values():
    for name in ("bool_", "bool"):
        assert kn.g711_expand(b"\x80", fake_numpy_bool(name, __bool__=lambda self: True)) == b"\x80\x15"
        assert kn.g711_expand(b"\x80", fake_numpy_bool(name, __bool__=lambda self: False)) == b"\x7c\x7d"


@pytest.mark.parametrize(
    "alaw, message",
    [
        (
            fake_numpy_bool(),
            "argument 'alaw': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
        ),
        (
            fake_numpy_bool("bool"),
            "argument 'alaw': object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion",
        ),
        (fake_numpy_bool(__bool__=lambda self: 1), "argument 'alaw': 'int' object cannot be converted to 'PyBool'"),
        (
            fake_numpy_bool(__bool__=lambda self: None),
            "argument 'alaw': 'NoneType' object cannot be converted to 'PyBool'",
        ),
        (fake_numpy_bool(__bool__=bool_raising(TypeError("no truth here"))), "argument 'alaw': no truth here"),
        (
            fake_numpy_bool("int8", __bool__=lambda self: True),
            "argument 'alaw': 'int8' object cannot be converted to 'PyBool'",
        ),
        (
            type("bool_", (), {"__module__": "numpy.core", "__bool__": lambda self: True})(),
            "argument 'alaw': 'bool_' object cannot be converted to 'PyBool'",
        ),
    ],
)
def test_numpy_bool_refusals(alaw, message):
    with pytest.raises(TypeError) as info:
        kn.g711_expand(DATA, alaw)
    assert info.value.args == (message,)
    assert info.value.__suppress_context__ is True


def test_numpy_bool_errors_other_than_type_error_pass_unchanged():
    error = ZeroDivisionError("bad truth")
    with pytest.raises(ZeroDivisionError) as info:
        kn.g711_expand(DATA, fake_numpy_bool(__bool__=bool_raising(error)))
    assert info.value is error


def test_type_error_subclass_is_not_renamed():
    class Refused(TypeError):
        pass

    error = Refused("subclass")
    with pytest.raises(Refused) as info:
        kn.g711_expand(DATA, fake_numpy_bool(__bool__=bool_raising(error)))
    assert info.value is error


def test_renamed_type_error_keeps_the_cause_of_the_original():
    cause = KeyError("root")

    def __bool__(self):
        raise TypeError("wrapped") from cause

    with pytest.raises(TypeError) as info:
        kn.g711_expand(DATA, fake_numpy_bool(__bool__=__bool__))
    assert info.value.args == ("argument 'alaw': wrapped",)
    assert info.value.__cause__ is cause


def test_unreadable_type_module_counts_as_no_numpy_bool():
    class Meta(type):
        @property
        def __module__(cls):
            raise RuntimeError("no module")

    alaw = Meta("bool_", (), {"__bool__": lambda self: True})()
    with pytest.raises(TypeError) as info:
        kn.g711_expand(DATA, alaw)
    assert info.value.args == ("argument 'alaw': 'bool_' object cannot be converted to 'PyBool'",)


def test_numpy_bool_descriptor_is_bound_to_the_object():
    seen = []

    class Flag:
        __module__ = "numpy"

        def __init__(self, value):
            self.value = value

        def __bool__(self):
            seen.append(self)
            return self.value

    Flag.__name__ = "bool_"
    flag = Flag(True)
    assert kn.g711_expand(b"\x80", flag) == b"\x80\x15"
    assert seen == [flag]


# (call, message): core failures reach Python as ValueError, word for word.
HEADER = pcm16_fields(4000)
CORE_ERRORS = [
    (lambda: kn.transcode(b""), "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
    (lambda: kn.decode_pcm(b"NIST_1A"), "truncated SPHERE header"),
    (
        lambda: kn.decode_pcm(sphere_bytes(HEADER, bytes(7999))),
        "audio payload truncated: header declares 8000 bytes but only 7999 present",
    ),
    (
        lambda: kn.transcode(sphere_bytes({**HEADER, "sample_coding": "flac"}, bytes(8000))),
        'sample_coding "flac" not supported yet',
    ),
    (lambda: kn.transcode(sphere_bytes({**HEADER, "channel_count": "0"})), "channel_count must be >= 1, got 0"),
    (
        lambda: kn.transcode(sphere_bytes({**HEADER, "channel_count": "65536", "sample_count": "0"})),
        "channel_count too large for WAV",
    ),
    (lambda: kn.shorten_to_pcm(b"ajk"), "not a shorten stream (missing 'ajkg' magic)"),
    (lambda: kn.shorten_to_pcm(stream=b"ajkg\x03"), "shorten version 3 not supported (only v2 is validated)"),
]


@pytest.mark.parametrize("call, message", CORE_ERRORS)
def test_core_errors_are_value_errors_with_the_core_message(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert str(info.value) == message


def test_module_stays_usable_after_every_failure():
    for call, _ in BINDING_ERRORS + CONVERSION_ERRORS + CORE_ERRORS:
        with pytest.raises((TypeError, ValueError)):
            call()
    assert kn.g711_expand(b"\xff", False) == b"\x00\x00"
    assert kn.decode_pcm(sphere_bytes(pcm16_fields(2), b"\x01\x02\x03\x04")) == b"\x01\x02\x03\x04"
