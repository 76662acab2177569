import array
import collections.abc
import os
import pickle
import unittest

from _veltrani_core import AsyncFile
from support import FileTestCase, posix_only, run_python

LIMIT = 128 * 1024  # longer pieces are written through
BUFFER = 256 * 1024  # pending bytes never exceed it
WRITELINES_FLUSH = 512 * 1024


class WriteData(FileTestCase):
    def written(self, data, mode="w"):
        f = self.opened(mode)
        count = f.write(data)
        f.close()
        return count, self.disk()

    def test_text_and_bytes(self):
        self.assertEqual(self.written("é"), (2, "é".encode()))
        self.assertEqual(self.written("é", "wb"), (2, "é".encode()))
        self.assertEqual(self.written(b"\xff"), (1, b"\xff"))
        self.assertEqual(self.written(b"\xff", "wb"), (1, b"\xff"))
        self.assertEqual(self.written(""), (0, b""))
        self.assertEqual(self.written(123), (3, b"123"))

    def test_buffers_are_written_as_their_bytes(self):
        self.assertEqual(self.written(bytearray(b"ab")), (2, b"ab"))
        self.assertEqual(self.written(memoryview(b"abcdef")[::2]), (3, b"ace"))
        ints = array.array("i", [1, 2])
        self.assertEqual(self.written(ints), (8, ints.tobytes()))

    def test_buffer_released_when_its_copy_fails(self):
        posix_only(self, "import resource (an address-space limit), sparse files")
        # A strided view of a large sparse mapping: its contiguous copy cannot be allocated under
        # the address-space limit. The view must be released all the same, by both entries.
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            self.skipTest("AddressSanitizer ends the process when operator new fails, instead of throwing")
        child = run_python(f"""
            import mmap, resource
            from _veltrani_core import AsyncFile
            with open({self.path!r}, "wb") as sparse:
                sparse.truncate(1 << 32)
            with open({self.path!r}, "rb") as sparse:
                mapped = mmap.mmap(sparse.fileno(), 0, access=mmap.ACCESS_READ)
            with open("/proc/self/statm") as statm:
                used = int(statm.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + (512 << 20), resource.RLIM_INFINITY))
            f = AsyncFile({self.path!r} + "-out", "wb").open()
            outer = memoryview(mapped)
            strided = outer[::2]
            for write in (lambda: f.write(strided), lambda: f.write(data=strided)):
                try:
                    write()
                except MemoryError:
                    print("MemoryError")
            strided.release()
            outer.release()
            mapped.close()
            f.close()
            print("released")
        """)
        self.assertEqual((child.stdout, child.returncode), ("MemoryError\nMemoryError\nreleased\n", 0),
                         child.stderr)

    def test_subclasses(self):
        class B(bytes):
            pass

        class S(str):
            pass
        self.assertEqual(self.written(B(b"xy")), (2, b"xy"))
        self.assertEqual(self.written(S("zé")), (3, "zé".encode()))

    def test_unwritable_values(self):
        f = self.opened("w")
        with self.assertRaises(RuntimeError):
            f.write("\udc80")

        class Bad:
            def __str__(self):
                raise KeyError("no text")
        with self.assertRaises(KeyError):
            f.write(Bad())
        f.close()
        self.assertEqual(self.disk(), b"")

    def test_large_pickle_round_trip(self):
        payload = {"blob": bytes(range(256)) * 4096, "n": list(range(1000))}
        f = self.opened("wb")
        pickle.dump(payload, f, protocol=5)
        f.close()
        self.assertEqual(pickle.loads(self.disk()), payload)


class Thresholds(FileTestCase):
    def test_write_through_boundary(self):
        f = self.opened("wb")
        f.write(b"a" * LIMIT)
        self.assertEqual(self.size_on_disk(), 0)  # exactly the limit: buffered
        f.write(b"b" * LIMIT)  # the sum is exactly the buffer: still pending
        self.assertEqual(self.size_on_disk(), 0)
        f.write(b"c")  # one byte over: the 256 KiB go to the stream first
        self.assertEqual(f.tell(), BUFFER + 1)
        f.flush()
        f.write(b"d" * (LIMIT + 1))  # over the limit: "c" first, then straight through
        f.flush()
        self.assertEqual(self.disk(), b"a" * LIMIT + b"b" * LIMIT + b"c" + b"d" * (LIMIT + 1))

    def test_writelines_boundary(self):
        piece = b"p" * (WRITELINES_FLUSH // 4)
        f = self.opened("wb")
        self.assertIsNone(f.writelines([piece] * 4))
        self.assertLess(self.size_on_disk(), WRITELINES_FLUSH)  # the tail stays pending
        f.close()
        g = self.opened("wb")
        g.writelines([piece] * 4 + [b"x"])
        self.assertEqual(g.tell(), WRITELINES_FLUSH + 1)
        self.assertEqual(self.size_on_disk(), WRITELINES_FLUSH + 1)  # all written out
        g.close()
        self.assertEqual(self.size_on_disk(), WRITELINES_FLUSH + 1)

    def test_writelines_arguments(self):
        class Lines(collections.abc.Sequence):  # neither list nor tuple; listed again, it changes
            listed = 0

            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i >= 2:
                    self.listed += 1
                    raise IndexError(i)
                return ["é", b"f"][i] if not self.listed else 5

        class S(str):
            pass
        f = self.opened("w")
        f.writelines([b"a", "b", bytearray(b"c")])
        f.writelines(("d",))
        f.writelines([])
        f.writelines(Lines())
        f.writelines([S("g"), "\u20ac", "\U0001f600"])
        # Every item is checked before any is stored: a bad one anywhere means nothing is written.
        for bad in ["str", b"bytes", bytearray(b"ab"), (x for x in ["g"]), 5, {"a": 1}, ["ok", 1],
                    ["ok"] * 3 + [None], ["ok", "\udc80"], [memoryview(b"m")]]:
            with self.assertRaises(TypeError) as cm:
                f.writelines(bad)
            self.assertTrue(str(cm.exception).startswith(
                "writelines(): incompatible function arguments"), str(cm.exception))

        class Broken(Lines):
            def __getitem__(self, i):
                raise KeyError("the sequence's own error")
        with self.assertRaises(KeyError):
            f.writelines(Broken())
        f.close()
        self.assertEqual(self.disk(), ("abcdéfg" + "\u20ac\U0001f600").encode())


class WriteFailures(FileTestCase):
    def test_write_in_read_mode_fails_at_next_flush(self):
        self.put(b"abc")
        f = self.opened("r")
        self.assertEqual(f.write("x"), 1)
        for call in (f.read, f.flush, f.close):
            with self.assertRaises(RuntimeError) as cm:
                call()
            self.assertEqual(str(cm.exception), "Failed to flush write buffer")
        self.assertTrue(f.seekable())  # still open
        self.assertEqual(self.disk(), b"abc")


if __name__ == "__main__":
    unittest.main()
