import array
import mmap
import os
import subprocess
import unittest

from _veltrani_core import AsyncFile
from support import TEXT_NEWLINE, FileTestCase, posix_only

# One character of each UTF-8 length, then a newline.
TEXT = "aé€😀\n"

CHUNK = 256 * 1024


class BlockReads(FileTestCase):
    def test_same_as_builtin_open(self):
        data = b"line one\nline two\n" + bytes(range(32, 127)) * 100  # sizes count bytes
        self.put(data)
        for mode in ("r", "rb"):
            ours, ref = self.opened(mode), open(self.path, mode, newline="" if mode == "r" else None)
            self.addCleanup(ref.close)
            for name, args in [("read", (5,)), ("read", (0,)), ("read1", (7,)), ("read", ()),
                               ("read", ()), ("read", (10,))]:
                ref_name = "read" if name == "read1" and mode == "r" else name  # text has no read1
                self.assertEqual(getattr(ours, name)(*args), getattr(ref, ref_name)(*args),
                                 (mode, name, args))

    def test_results_by_mode(self):
        self.put(b"1234567\xff")  # the last byte of a word
        with self.assertRaises(UnicodeDecodeError):
            self.opened("r").read()
        self.assertEqual(self.opened("rb").read(), b"1234567\xff")
        self.assertEqual(self.opened("rb").readall(), b"1234567\xff")
        self.assertEqual(self.opened("r").read(0), "")
        self.assertEqual(self.opened("rb").read(0), b"")
        self.put("línea\n".encode())
        self.assertEqual(self.opened("r").read(), "línea\n")
        self.assertEqual(self.opened("r").read(3), "lí")  # a size counts bytes

    def test_sized_text_reads_end_on_a_character(self):
        # A size counts bytes; a read that would stop inside a character reads on to its end.
        raw = TEXT.encode()
        self.put(raw)
        for size in range(len(raw) + 2):
            whole = raw[:size]
            while whole and len(whole) < len(raw) and (raw[len(whole)] & 0xC0) == 0x80:
                whole = raw[:len(whole) + 1]
            expected = whole.decode()
            for name in ("read", "read1", "readline"):
                for call in (lambda f: getattr(f, name)(size), lambda f: getattr(f, name)(size=size)):
                    f = self.opened("r")
                    rest = f.readline if name == "readline" else f.read  # past the read-ahead
                    self.assertEqual((call(f), rest()), (expected, raw[len(whole):].decode()),
                                     (name, size))
            f = self.opened("rb")
            self.assertEqual((f.read(size), f.read1(size)), (raw[:size], raw[size:2 * size]))

    def test_sized_text_read_of_invalid_utf8(self):
        self.put(b"\xe2\x82x\n")  # a cut character that never ends
        for name in ("read", "read1", "readline"):
            with self.assertRaises(UnicodeDecodeError):
                getattr(self.opened("r"), name)(1)
        self.put(b"\xff")
        with self.assertRaises(UnicodeDecodeError):
            self.opened("r").read(1)

    def test_read1_default_size(self):
        self.put(b"z" * (CHUNK + 100))
        f = self.opened("rb")
        self.assertEqual(len(f.read1()), CHUNK)
        self.assertEqual(f.read1(), b"z" * 100)
        self.assertEqual(f.read1(), b"")
        f.seek(10)
        self.assertEqual(len(f.read()), CHUNK + 90)
        self.put(b"z" * (CHUNK - 1) + "é".encode())  # the default size cuts the character
        self.assertEqual(self.opened("r").read1(), "z" * (CHUNK - 1) + "é")

    def test_huge_size_reads_what_is_there(self):
        self.put(b"small")
        f = self.opened("rb")
        self.assertEqual(f.read(2 ** 40), b"small")
        f.seek(0)
        self.assertEqual(f.read1(2 ** 64 - 1), b"small")

    def test_write_then_read_in_update_modes(self):
        f = self.opened("w+")
        f.write("abc")
        f.seek(0)
        self.assertEqual(f.read(), "abc")
        g = self.opened("w+b", os.path.join(self.dir, "g"))
        g.write(b"abc")
        self.assertEqual(g.read(), b"")  # at the end; the bytes are not lost
        g.close()
        self.assertEqual(self.disk(os.path.join(self.dir, "g")), b"abc")

    def test_file_grown_by_this_object_or_another_writer(self):
        self.put(b"0123456789")
        f = self.opened("r+b")
        self.assertEqual(f.read(), b"0123456789")
        f.write(b"abc")
        self.assertEqual(f.read(), b"")
        with open(self.path, "ab") as other:
            other.write(b"XYZ")
        self.assertEqual(f.read(), b"XYZ")
        self.assertEqual(f.readall(), b"")
        f.truncate(20)
        self.assertEqual(f.read(), b"\0" * 4)

    def test_file_shrunk_by_another_writer(self):
        self.put(b"0123456789")
        f = self.opened("rb")
        self.assertEqual(f.read(2), b"01")
        os.truncate(self.path, 4)
        self.assertEqual(f.read(), b"23")

    def test_files_whose_length_says_nothing(self):
        posix_only(self, "procfs files, mmap protections")
        # procfs gives these a length of 0, yet they hold bytes.
        with open("/proc/version", "rb") as f:
            expected = f.read()
        self.assertEqual(self.opened("rb", "/proc/version").read(), expected)
        # Here more than one growth step of a read to the end: mappings that cannot merge.
        maps = [mmap.mmap(-1, 4096, prot=mmap.PROT_READ | (mmap.PROT_WRITE if i % 2 else 0))
                for i in range(300)]
        self.assertGreater(len(self.opened("rb", "/proc/self/smaps").read()), 100_000)
        del maps

    def test_fifo_reads_to_end(self):
        posix_only(self, "os.mkfifo")
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        # Another process writes: no call releases the interpreter lock, so a thread could not.
        writer = subprocess.Popen(["sh", "-c", f"head -c 200000 /dev/zero > '{fifo}'"])
        f = self.opened("rb", fifo)
        self.assertEqual(f.read(), bytes(200000))
        writer.wait()


class TextModes(FileTestCase):
    """Text modes keep newlines as the platform's open() does: on Windows the C runtime writes
    "\n" as "\r\n" and reads "\r\n" as "\n"; elsewhere nothing is translated. Positions count
    bytes on disk on both sides."""

    def test_writes_leave_what_open_leaves(self):
        pieces = ["one\n", "two\n\nthré", "e\n" * 3000, "last"]  # also past the first write-out
        for mode in ("w", "a", "w+", "r+", "a+"):
            results = []
            for make in (lambda: AsyncFile(self.path, mode).open(),
                         lambda: open(self.path, mode, encoding="utf-8")):
                self.put(b"")
                with make() as f:
                    for piece in pieces:
                        f.write(piece)
                        results.append(f.tell())
                results.append(self.disk())
            self.assertEqual(results[:len(results) // 2], results[len(results) // 2:], mode)

    def test_reads_give_what_open_gives(self):
        self.put(b"one\r\ntwo\n\r\nthr\xc3\xa9e\r\n" + b"x\r\n" * 3000 + b"last")
        reads = {
            "read()": lambda f: f.read(),
            "readline": lambda f: [f.readline() for _ in range(5)],
            "readlines": lambda f: f.readlines(),
            "iteration": list,
            "readline, seek, readline": lambda f: (f.readline(), f.readline(), f.seek(5), f.readline()),
            "readline, read": lambda f: (f.readline(), f.read()),
        }
        for name, read in reads.items():
            with open(self.path, encoding="utf-8", newline=TEXT_NEWLINE) as ref:
                self.assertEqual(read(self.opened("r")), read(ref), name)
        # open()'s text tell() is an opaque cookie; ours counts the bytes on disk.
        f = self.opened("r")
        f.readline(), f.readline()
        self.assertEqual(f.tell(), len(b"one\r\ntwo\n"))


class ReadInto(FileTestCase):
    def test_reads_into_memory(self):
        self.put(b"abc")
        buf = bytearray(b"12345")
        self.assertEqual(self.opened("rb").readinto(buf), 3)
        self.assertEqual(buf, bytearray(b"abc45"))
        self.assertEqual(self.opened("rb").readinto(bytearray()), 0)
        view = memoryview(bytearray(4))
        self.assertEqual(self.opened("r").readinto(view[1:]), 3)
        self.assertEqual(view.tobytes(), b"\0abc")

    def test_item_count_of_wider_items(self):
        self.put(b"ABCDEFGHIJKLMNOP")
        ints = array.array("i", [0, 0, 0, 0])
        self.assertEqual(self.opened("rb").readinto(ints), 4)
        self.assertEqual(ints.tobytes(), b"ABCD" + b"\0" * 12)

    def test_refused_buffers(self):
        self.put(b"abc")
        f = self.opened("rb")
        with self.assertRaises(TypeError) as cm:
            f.readinto(5)
        self.assertEqual(str(cm.exception), "readinto requires a buffer object")
        frozen = b"xyz"
        with self.assertRaises(BufferError):
            f.readinto(frozen)
        self.assertEqual(frozen, b"xyz")
        strided = bytearray(6)
        with self.assertRaises(BufferError):
            f.readinto(memoryview(strided)[::2])
        self.assertEqual(strided, bytearray(6))
        self.assertEqual(f.read(), b"abc")  # nothing consumed by the refusals


if __name__ == "__main__":
    unittest.main()
