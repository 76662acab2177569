"""Faults from outside: full disks, files changed by others, odd paths, limits, threads."""
import os
import shutil
import subprocess
import threading
import unittest

from _veltrani_core import AsyncFile
from support import FileTestCase


def error_of(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the exception is the result here
        return type(e), str(e)
    return None


class NoSpace(FileTestCase):
    def test_every_way_out_reports_the_failure(self):
        cases = [
            (lambda f: (f.write("x"), f.flush()), "Flush failed"),
            (lambda f: (f.write("x"), f.close()), "Failed to close file: /dev/full"),
            (lambda f: f.write("y" * 300_000), "Failed to write complete data"),
            (lambda f: f.writelines(["z" * 100_000] * 6), "Failed to flush write buffer"),
            (lambda f: (f.write("x"), f.truncate(0)), "Flush failed"),
        ]
        for action, message in cases:
            f = self.opened("w", "/dev/full")
            self.assertEqual(error_of(lambda: action(f)), (RuntimeError, message))


class ChangedUnderneath(FileTestCase):
    def test_grown_and_shrunk_between_line_reads(self):
        self.put(b"one\ntwo\n")
        f = self.opened("r")
        self.assertEqual(f.readlines(), ["one\n", "two\n"])
        with open(self.path, "ab") as other:
            other.write(b"three\n")
        self.assertEqual(f.readlines(), ["three\n"])
        os.truncate(self.path, 2)
        self.assertEqual(f.read(), "")
        f.seek(0)
        self.assertEqual(list(f), ["on"])

    def test_line_reader_keeps_its_end_mark_until_seek(self):
        self.put(b"a\n")
        f = self.opened("r")
        self.assertEqual(list(f), ["a\n"])
        with open(self.path, "ab") as other:
            other.write(b"b\n")
        self.assertEqual(f.read(), "b\n")  # block reads see what was added
        f.seek(2)
        self.assertEqual(f.readline(), "b\n")

    def test_fifo_line_reads(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        writer = subprocess.Popen(["sh", "-c", f"printf 'x\\ny\\nz' > '{fifo}'"])
        f = self.opened("r", fifo)
        self.assertEqual(f.readline(), "x\n")
        self.assertEqual(f.readlines(), [])  # the read-ahead took what the pipe held
        self.assertEqual(list(f), ["y\n", "z"])
        writer.wait()
        self.assertEqual(error_of(f.tell), (RuntimeError, "Tell failed"))
        self.assertEqual(error_of(lambda: f.seek(0)), (RuntimeError, "Seek failed"))


class Paths(FileTestCase):
    def test_path_that_vanishes_before_open(self):
        sub = os.path.join(self.dir, "sub")
        os.mkdir(sub)
        f = AsyncFile(os.path.join(sub, "f"), "w")
        shutil.rmtree(sub)
        kind, message = error_of(f.open)
        self.assertIs(kind, ValueError)
        self.assertTrue(message.endswith("No such file or directory"), message)
        self.assertFalse(f.seekable())

    def test_directory_and_nul_are_refused(self):
        for mode in ("r", "rb", "w", "a+"):
            self.assertEqual(error_of(AsyncFile(self.dir, mode).open),
                             (RuntimeError, f"Failed to open file: {self.dir} - Is a directory"))
        # The C library would stop at the NUL and open (here: create) another file.
        named = self.path + "\0ignored"
        self.assertEqual(error_of(AsyncFile(named, "w").open),
                         (RuntimeError, f"Failed to open file: {self.path}\\0ignored - Invalid argument"))
        self.assertFalse(os.path.exists(self.path))


    def test_names_that_are_not_utf8(self):
        # Decoded as the interpreter decodes file names, each failure keeps its own type.
        base = os.fsencode(self.dir)
        missing = base + b"/no/\xff"
        self.assertEqual(error_of(AsyncFile(missing).open),
                         (ValueError, f"Failed to open file: {os.fsdecode(missing)} - No such file or directory"))
        directory = base + b"/d\xff"
        os.mkdir(directory)
        self.assertEqual(error_of(AsyncFile(directory, "w").open),
                         (RuntimeError, f"Failed to open file: {os.fsdecode(directory)} - Is a directory"))
        named = base + b"/x\xff"
        self.assertEqual(AsyncFile(named).name, os.fsdecode(named))
        self.assertEqual(AsyncFile(bytearray(named)).name, os.fsdecode(named))
        self.assertEqual(error_of(lambda: AsyncFile(named, b"r\xff")),
                         (ValueError, "Invalid file mode: r\udcff"))
        f = AsyncFile(named, "w").open()
        f.write("ok")
        f.close()
        self.assertEqual(self.disk(named), b"ok")


class InvalidText(FileTestCase):
    def test_every_text_read_refuses_invalid_utf8(self):
        self.put(b"ok\n\xc3\x28 bad\n")
        reads = [lambda f: f.read(), lambda f: f.readall(), lambda f: f.read1(),
                 lambda f: f.read(100), lambda f: f.readlines(), lambda f: list(f),
                 lambda f: [f.readline(), f.readline()]]
        for read in reads:
            f = self.opened("r")
            self.assertIs(error_of(lambda: read(f))[0], UnicodeDecodeError)


class Limits(FileTestCase):
    def test_sizes_and_offsets_at_the_limits(self):
        self.put(b"abc")
        f = self.opened("r+b")
        for size in (2 ** 63, 2 ** 64 - 1):
            f.seek(0)
            self.assertEqual(f.read(size), b"abc")
            f.seek(0)
            self.assertEqual(f.read1(size), b"abc")
            f.seek(0)
            self.assertEqual(f.readline(size), "abc")
            self.assertEqual(f.readlines(size), [])
        for bad in (-1, 2 ** 64, -(2 ** 63)):
            for call in (f.read, f.read1, f.readline, f.readlines, f.truncate):
                self.assertIs(error_of(lambda: call(bad))[0], RuntimeError)
        self.assertEqual(error_of(lambda: f.truncate(2 ** 63)), (RuntimeError, "Truncate failed"))
        for offset in (2 ** 63 - 1, -(2 ** 63)):
            self.assertEqual(error_of(lambda: f.seek(offset)), (RuntimeError, "Seek failed"))
        for offset in (2 ** 63, -(2 ** 63) - 1):
            self.assertIs(error_of(lambda: f.seek(offset))[0], TypeError)
        self.assertIs(error_of(lambda: f.seek(0, 2 ** 31))[0], TypeError)
        self.assertEqual(f.seek(0), 0)
        self.assertEqual(self.disk(), b"abc")


class Threads(FileTestCase):
    def test_concurrent_writers_never_tear_a_line(self):
        f = self.opened("w")
        lines = {t: [f"thread {t} line {i:05d}\n" for i in range(5000)] for t in range(4)}

        def work(t):
            for i, line in enumerate(lines[t]):
                f.write(line) if i % 2 else f.writelines([line])
        threads = [threading.Thread(target=work, args=(t,)) for t in lines]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        f.close()
        written = self.disk().decode().splitlines(keepends=True)
        self.assertEqual(sorted(written), sorted(sum(lines.values(), [])))
        for t, mine in lines.items():  # each thread's own lines stay in its order
            self.assertEqual([x for x in written if x.startswith(f"thread {t} ")], mine)

    def test_concurrent_readers_share_the_lines(self):
        expected = [f"{i:06d}\n" for i in range(20000)]
        self.put("".join(expected).encode())
        f = self.opened("r")
        seen = [[] for _ in range(4)]

        def work(k):
            for line in f:
                seen[k].append(line)
        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(sorted(sum(seen, [])), expected)


if __name__ == "__main__":
    unittest.main()
