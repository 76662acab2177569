import asyncio
import unittest

from support import FileTestCase

CHUNK = 256 * 1024


class LineReads(FileTestCase):
    def test_same_lines_as_builtin_open(self):
        text = "a\nbb\n\nccc\u00e9\r\nlast"
        self.put(text.encode())
        with open(self.path, newline="") as ref:
            expected = ref.readlines()
        for mode in ("r", "rb"):  # line reads are str in every mode
            self.assertEqual(self.opened(mode).readlines(), expected)
            self.assertEqual(list(self.opened(mode)), expected)
            f = self.opened(mode)
            self.assertEqual([f.readline() for _ in expected], expected)
            self.assertEqual([f.readline(), f.readline()], ["", ""])

    def test_both_iteration_entries(self):
        self.put(b"x\ny\n")
        f = self.opened("r")
        self.assertEqual([next(f), f.__next__()], ["x\n", "y\n"])
        for step in (lambda: next(f), f.__next__, f.__anext__):
            with self.assertRaises(StopIteration):
                step()

        async def collect():
            g = self.opened("r")
            return [line async for line in _AsyncLines(g)]
        self.assertEqual(asyncio.run(collect()), ["x\n", "y\n"])

    def test_size_limit_leaves_the_rest(self):
        self.put(b"hello\nworld\n")
        f = self.opened("r")
        self.assertEqual(f.readline(0), "")
        self.assertEqual(f.readline(2), "he")
        self.assertEqual(f.readline(), "llo\n")
        self.assertEqual(f.readline(size=100), "world\n")

    def test_line_longer_than_a_refill(self):
        long_line = "L" * (2 * CHUNK + 17)
        self.put((long_line + "\nnext\n" + "tail" * CHUNK).encode())
        f = self.opened("r")
        self.assertEqual(f.readline(), long_line + "\n")
        self.assertEqual(next(f), "next\n")
        self.assertEqual(f.readline(), "tail" * CHUNK)
        self.assertEqual(f.readline(CHUNK + 1), "")

    def test_invalid_utf8(self):
        self.put(b"ok\n\xff\xfe\nafter\n")
        for mode in ("r", "rb"):
            f = self.opened(mode)
            self.assertEqual(f.readline(), "ok\n")
            with self.assertRaises(UnicodeDecodeError):
                f.readline()
            self.assertEqual(f.readline(), "after\n")
            with self.assertRaises(UnicodeDecodeError):
                self.opened(mode).readlines()

    def test_readlines(self):
        self.assertEqual(self.opened("w+").readlines(), [])
        self.put(b"".join(b"%09d\n" % i for i in range(100)))
        f = self.opened("r")
        self.assertEqual(len(f.readlines(5)), 100)  # the hint is ignored
        self.assertEqual(f.readlines(), [])

    def test_iterate_again_after_seek(self):
        self.put(b"1\n2\n3\n")
        f = self.opened("r")
        self.assertEqual(list(f), ["1\n", "2\n", "3\n"])
        self.assertEqual(list(f), [])
        f.seek(0)
        self.assertEqual(list(f), ["1\n", "2\n", "3\n"])

    def test_line_and_block_reads_mixed(self):
        # Block reads start after the line reader's read-ahead; readlines leaves it alone.
        self.put(b"one\ntwo\n" + b"x" * CHUNK + b"\nrest\n")
        f = self.opened("rb")
        self.assertEqual(f.readline(), "one\n")
        self.assertEqual(f.tell(), CHUNK)
        self.assertEqual(f.read(), b"x" * 8 + b"\nrest\n")
        self.assertEqual(f.readline(), "two\n")
        self.assertEqual(f.readlines(), [])


class _AsyncLines:
    """Drives the async iteration names the way `async for` would if they returned awaitables."""

    def __init__(self, f):
        self.f = f.__aiter__()

    def __aiter__(self):
        return self

    async def __anext__(self):
        try:
            return self.f.__anext__()
        except StopIteration:
            raise StopAsyncIteration from None


if __name__ == "__main__":
    unittest.main()
