import unittest

from _veltrani_core import AsyncFile
from support import FileTestCase

as_bytes = lambda x: tuple(map(as_bytes, x)) if isinstance(x, tuple) else x.encode() if isinstance(x, str) else x


class Positioning(FileTestCase):
    def test_tell_counts_pending_bytes(self):
        f = self.opened("w")
        f.write("abc")
        self.assertEqual(f.tell(), 3)
        self.assertEqual(self.size_on_disk(), 0)
        self.assertEqual(f.seek(0, 2), 3)
        self.assertEqual(f.seek(offset=1, whence=0), 1)

    def test_seek_failures(self):
        self.put(b"abc")
        f = self.opened("r")
        for args in [(-1,), (0, 3), (-10, 2)]:
            with self.assertRaises(RuntimeError) as cm:
                f.seek(*args)
            self.assertEqual(str(cm.exception), "Seek failed")
        with self.assertRaises(TypeError):
            f.seek(1.5)
        self.assertEqual(f.read(), "abc")

    def test_append_modes_tell_where_pending_bytes_land(self):
        for mode in ("a", "ab", "a+", "a+b"):
            self.put(b"x" * 5000)
            f = self.opened(mode)
            f.seek(0)
            f.write(b"y" * 300)
            self.assertEqual(f.tell(), 5300, mode)
            f.close()
            self.assertEqual(self.disk(), b"x" * 5000 + b"y" * 300)

    def test_truncate(self):
        self.put(b"0123456789")
        f = self.opened("r+")
        f.seek(4)
        self.assertIsNone(f.truncate(100))
        self.assertEqual(self.disk(), b"0123456789" + b"\0" * 90)
        self.assertEqual(f.tell(), 4)
        f.truncate()
        self.assertEqual(self.disk(), b"0123")
        f.truncate(0)
        self.assertEqual(self.disk(), b"")
        self.assertEqual(f.tell(), 4)
        for too_big in (2 ** 63, 2 ** 64 - 1):
            with self.assertRaises(RuntimeError) as cm:
                f.truncate(too_big)
            self.assertEqual(str(cm.exception), "Truncate failed")

    def test_truncate_refused_in_read_mode(self):
        self.put(b"abc")
        with self.assertRaises(RuntimeError) as cm:
            self.opened("r").truncate(0)
        self.assertEqual(str(cm.exception), "Truncate failed")
        self.assertEqual(self.disk(), b"abc")

    def test_status_queries(self):
        self.put(b"")
        f = AsyncFile(self.path, "r")
        self.assertFalse(f.seekable())
        f.open()
        self.assertTrue(f.seekable())
        self.assertFalse(f.isatty())
        f.close()
        self.assertFalse(f.seekable())
        for mode, writable in [("r", False), ("rb", False), ("r+", True), ("w", True),
                               ("a", True), ("a+b", True)]:
            self.assertIs(AsyncFile(self.path, mode).writable(), writable)

    def test_isatty_on_a_terminal(self):
        import os
        if os.name != "posix":
            # No ptys: there the runtime calls every character device a terminal, as open() does.
            with open("NUL", "w") as ref:
                self.assertEqual((self.opened("w", "NUL").isatty(), ref.isatty()), (True, True))
            return
        import pty
        leader, follower = pty.openpty()
        self.addCleanup(os.close, leader)
        self.addCleanup(os.close, follower)
        self.assertTrue(self.opened("w", os.ttyname(follower)).isatty())


class WhatASeekKeeps(FileTestCase):
    """A seek keeps what was fetched only while some of it is unread, and never one from the end,
    as open() does: a poll sees what the file holds now."""

    def test_polls_see_what_another_writer_wrote(self):
        status, log = b"progress 45%\n", b"first line\n" + b"old line\n" * 276
        rows = [
            ("seek(0) + readline", status, lambda f: (f.seek(0), f.readline())),
            ("seek(0) + read(100)", status, lambda f: (f.seek(0), f.read(100))),
            ("seek(-13, 1) + read(13)", status, lambda f: (f.seek(-13, 1), f.read(13))),
            ("seek(0) + next", status, lambda f: (f.seek(0), next(f))),
            ("from the end", log, lambda f: (f.seek(0, 2), f.read(100), f.tell(), f.seek(-8, 2), f.readline())),
        ]
        for mode in ("r", "rb"):
            for name, before, poll in rows:
                results = []
                # open()'s text files refuse relative seeks: its binary file reads the same bytes.
                for make in (lambda: AsyncFile(self.path, mode).open(), lambda: open(self.path, "rb")):
                    self.put(before)
                    with make() as f:
                        f.readline()
                        seen = []
                        for n in (46, 47):  # rewritten in place, then shorter
                            self.put(b"progress %d%%\n" % n if before == status else b"x" * (70 + n - 46) + b"new log\n")
                            seen.append(as_bytes(poll(f)))
                    results.append(seen)
                self.assertEqual(results[0], results[1], f"{name}, {mode}")


if __name__ == "__main__":
    unittest.main()
