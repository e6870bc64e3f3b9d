"""The fault boundary, driven by the test-only modules built from the same
boundary code as korrin_native (KORRIN_FAULT_TESTS)."""

from __future__ import annotations

import importlib
import signal
import subprocess
import sys

import pytest


@pytest.fixture(scope="module")
def faults(fault_modules_dir):
    sys.path.insert(0, str(fault_modules_dir))
    try:
        return importlib.import_module("korrin_fault_tests")
    finally:
        sys.path.remove(str(fault_modules_dir))


def panic_of(call):
    try:
        call()
    except Exception:
        pytest.fail("PanicException was caught by 'except Exception'")
    except BaseException as error:
        return error
    pytest.fail("no exception")


@pytest.mark.parametrize(
    "text, message",
    [
        (b"index out of range", "index out of range"),
        (b"", ""),
        ("\u00e9t\u00e9 \u2014 \U0001f600".encode(), "\u00e9t\u00e9 \u2014 \U0001f600"),
        (b"bad \xff byte", "bad \ufffd byte"),
    ],
)
def test_fault_becomes_panic_exception_with_its_text(faults, text, message):
    error = panic_of(lambda: faults.throw_fault(text))
    assert type(error).__name__ == "PanicException"
    assert type(error).__module__ == "korrin_fault_tests"
    assert type(error).__mro__[1:] == (BaseException, object)
    assert error.args == (message,)


def test_panic_type_is_made_once_and_not_a_module_attribute(faults):
    first = panic_of(lambda: faults.throw_fault(b"one"))
    second = panic_of(lambda: faults.throw_fault(text=b"two"))
    assert type(first) is type(second)
    assert "BaseException" in type(first).__doc__
    assert not hasattr(faults, "PanicException")


def test_fault_without_text(faults):
    assert panic_of(faults.throw_foreign).args == ("internal fault of unknown kind",)


def test_memory_exhaustion_is_memory_error(faults):
    with pytest.raises(MemoryError):
        faults.throw_bad_alloc()


def test_failed_result_object_prints_and_panics(faults, capfd):
    error = panic_of(faults.fail_result_object)
    assert error.args == ("Python API call failed",)
    assert "SystemError" in capfd.readouterr().err


def test_capi_failure_without_exception_is_system_error(faults):
    with pytest.raises(SystemError) as info:
        faults.fail_without_exception()
    assert info.value.args == ("attempted to fetch exception but none was set",)


@pytest.mark.parametrize(
    "out_of_memory, message, expected",
    [
        (False, b'field "x" is bad', ValueError),
        (True, b"out of memory", MemoryError),
    ],
)
def test_core_error_kinds(faults, out_of_memory, message, expected):
    with pytest.raises(expected) as info:
        faults.core_error(out_of_memory, message)
    assert type(info.value) is expected
    assert info.value.args == (message.decode(),)


def test_binding_runs_inside_the_boundary(faults):
    with pytest.raises(TypeError, match=r"^fault\(\) takes 1 positional arguments but 2 were given$"):
        faults.throw_fault(b"a", b"b")
    assert panic_of(lambda: faults.throw_fault(b"still usable")).args == ("still usable",)


def run(fault_modules_dir, code):
    return subprocess.run(
        [sys.executable, "-c", f"import sys; sys.path.insert(0, {str(fault_modules_dir)!r})\n{code}"],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_uncaught_panic_ends_the_interpreter(fault_modules_dir):
    result = run(
        fault_modules_dir,
        "import korrin_fault_tests\n"
        "try:\n    korrin_fault_tests.throw_fault(b'boom')\n"
        "except Exception:\n    print('caught')\n",
    )
    assert result.returncode == 1
    assert "caught" not in result.stdout
    assert result.stderr.rstrip().endswith("korrin_fault_tests.PanicException: boom")


def test_second_fault_aborts_the_process(fault_modules_dir):
    # Its fault type has a name that CPython refuses, so raising the first
    # fault faults again.
    result = run(fault_modules_dir, "import korrin_fault_abort\nkorrin_fault_abort.throw_fault(b'first')\n")
    assert result.returncode == -signal.SIGABRT
    assert "uncaught panic at ffi boundary" in result.stderr
    assert "Failed to initialize new exception type." in result.stderr
