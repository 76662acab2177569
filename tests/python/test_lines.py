import asyncio
import os
import unittest

from support import TEXT_NEWLINE, FileTestCase

CHUNK = 256 * 1024


class LineReads(FileTestCase):
    def test_same_lines_as_builtin_open(self):
        text = "a\nbb\n\nccc\u00e9\r\nlast"
        self.put(text.encode())
        for mode in ("r", "rb"):  # line reads are str in every mode
            # A text mode reads newlines as the platform's text files do (CRLF as LF on Windows).
            with open(self.path, encoding="utf-8", newline=TEXT_NEWLINE if mode == "r" else "") as ref:
                expected = ref.readlines()
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

    def test_a_line_that_does_not_decode_takes_nothing(self):
        data = b"ok line\n\xff\xfe binary\nthird\n"
        calls = {"readline()": lambda f: f.readline(), "readline(64)": lambda f: f.readline(64),
                 "readline(9)": lambda f: f.readline(9), "next": next, "readlines": lambda f: f.readlines()}
        # A pipe by its descriptor's name, /dev/fd/N, where there is one.
        for source, mode in [("file", "r"), ("file", "rb")] + [("pipe", "rb")] * (os.name == "posix"):
            for name, call in calls.items():
                if source == "file":
                    self.put(data)
                    f = self.opened(mode)
                else:
                    r, w = os.pipe()
                    os.write(w, data)
                    os.close(w)
                    f = self.opened(mode, f"/dev/fd/{r}")
                    os.close(r)
                skip = 0 if name == "readlines" else len(f.readline())  # readlines: every line comes back
                with self.assertRaises(UnicodeDecodeError):
                    call(f)
                if source == "file":
                    self.assertEqual(f.tell(), skip, f"{name}, {mode}")
                if mode == "rb":
                    self.assertEqual(f.read(), data[skip:], f"{name}, {source}")

    def test_sized_line_reads_finish_a_character_in_every_mode(self):
        text = "héllo wörld €uro 𝄞clef\n" * 20
        self.put(text.encode())
        for mode in ("r", "rb"):
            for n in (1, 2, 3, 5):
                f = self.opened(mode)
                self.assertEqual("".join(iter(lambda: f.readline(n), "")), text, f"{mode}, {n}")

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



class OnePosition(FileTestCase):
    """After line reads, every other operation acts where open() would: at the next line."""

    def test_every_operation_after_readline_as_open_does(self):
        data = b"header\n" + b"".join(b"row %05d\n" % i for i in range(40000))  # many refills
        ops = {
            "read": lambda f: f.read(),
            "read(n)": lambda f: f.read(5),
            "read1": lambda f: f.read1(5),
            "readinto": lambda f: (f.readinto(b := bytearray(9)), b),
            "readlines": lambda f: f.readlines()[:2],
            "tell": lambda f: f.tell(),
            "seek(0, 1)": lambda f: (f.seek(0, 1), f.read(4)),
            "seek(tell())": lambda f: (f.seek(f.tell()), f.readline(), f.readline()),
            "read past what was fetched, seek back": lambda f: (f.read(10000), f.seek(-5, 1), f.read(10)),
            "write": lambda f: (f.write(b"ROW"), f.close()),
            "writelines": lambda f: (f.writelines([b"R", b"OW"]), f.close()),
            "truncate": lambda f: (f.truncate() and None, f.close()),  # ours returns None
            "write, seek back into what was read": lambda f: (
                f.write(b"XY"), f.seek(-5, 1), f.read(3), f.readline(), f.close()),
        }
        as_bytes = lambda x: x.encode() if isinstance(x, str) else bytes(x) if isinstance(x, bytearray) \
            else type(x)(map(as_bytes, x)) if isinstance(x, (list, tuple)) else x
        for lines in (1, 3, 1500, 40001):  # the last: up to the very end
            for name, op in ops.items():
                results = []
                for make in (lambda: self.opened("r+b"), lambda: open(self.path, "r+b")):
                    self.put(data)
                    f = make()
                    for _ in range(lines):
                        f.readline()
                    results.append((as_bytes(op(f)), self.disk()))
                    f.close()
                self.assertEqual(results[0], results[1], f"{name} after {lines} lines")

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
