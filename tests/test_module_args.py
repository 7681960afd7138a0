import pytest

import _kestrelio as k
from conftest import run


class Idx:
    def __index__(self):
        return 0


# Each call and the error it raises at once, before anything is submitted.
BAD_CALLS = [
    (lambda p: k.open(p, 1, False, False, False, False, False), TypeError, "^argument 'read': "),
    (lambda p: k.open(3.5, True, False, False, False, False, False), TypeError, "^argument 'path': "),
    (lambda p: k.read(1, -1, 10), OverflowError, None),
    (lambda p: k.read(1, 0, 2 ** 64), OverflowError, None),
    (lambda p: k.read(1, 0, "10"), TypeError, "^argument 'len': "),
    (lambda p: k.read(1, 0, 1, bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
    (lambda p: k.read(1, 0, 1, handle=1), TypeError, "multiple values for argument 'handle'"),
    (lambda p: k.read(1, 0), TypeError, "missing required argument 'len'"),
    (lambda p: k.close(1, 2), TypeError, "positional arguments"),
    (lambda p: k.probe_nop(1), TypeError, None),
]


def test_argument_errors_as_the_interpreter_words_them(data_file):
    async def main():
        for call, exc, text in BAD_CALLS:
            with pytest.raises(exc, match=text):
                call(data_file)
        f = k.read(10 ** 6, Idx(), Idx())  # __index__ is accepted; unknown handle fails in the future
        with pytest.raises(OSError, match="unknown or closed kestrelio handle"):
            await f
    run(main)


def test_outside_loop_is_runtime_error():
    assert k.probe_ffi() == 0, "the bare FFI probe needs no loop"
    with pytest.raises(RuntimeError):
        k.read(1, 0, 1)
    with pytest.raises(RuntimeError):
        k.probe_resolved_future()
    with pytest.raises(RuntimeError):
        k.probe_nop()
