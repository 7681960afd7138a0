"""_kestrelio.LineIter: whole lines at once, everything else through slow()."""

import asyncio

import pytest

import _kestrelio


def make(data, left=10):
    calls = []

    async def slow():
        calls.append(1)
        await asyncio.sleep(0)
        return "from slow"

    it = _kestrelio.LineIter(slow)
    it.data = data
    it.left = left
    return it, calls


def test_whole_lines_come_without_slow_and_move_the_index():
    async def main():
        it, calls = make("ab\ncd\nrest")
        assert await it.__anext__() == "ab\n" and it.index == 3 and it.left == 9
        assert await it.__anext__() == "cd\n" and it.index == 6
        assert await it.__anext__() == "from slow" and it.index == 6, "no whole line: slow() is awaited"
        b, _ = make(b"x\n")
        assert await b.__anext__() == b"x\n"
        return calls

    assert asyncio.run(main()) == [1]


def test_hold_and_an_empty_quota_send_every_step_to_slow():
    async def main():
        it, calls = make("a\nb\n", left=1)
        it.hold = 1
        assert await it.__anext__() == "from slow"
        it.hold = 0
        assert await it.__anext__() == "a\n"
        assert await it.__anext__() == "from slow", "quota used up"
        return len(calls), it.index

    assert asyncio.run(main()) == (2, 2)


def test_a_step_not_awaited_keeps_its_line_for_the_next():
    async def main():
        it, _ = make("a\nb\n")
        first = it.__anext__()
        second = it.__anext__()
        assert first is second
        return await second, await it.__anext__()

    assert asyncio.run(main()) == ("a\n", "b\n")


def test_async_for_and_bad_arguments():
    async def main():
        async def slow():
            raise StopAsyncIteration

        it2 = _kestrelio.LineIter(slow)
        it2.data, it2.left = "1\n2\n", 100
        return [x async for x in it2]

    assert asyncio.run(main()) == ["1\n", "2\n"]
    with pytest.raises(TypeError):
        _kestrelio.LineIter(3)
    it, _ = make("")
    with pytest.raises(TypeError):
        it.data = bytearray(b"x")
    with pytest.raises(ValueError):
        it.throw(ValueError("thrown"))
