"""The hot names have two entries: a direct one for positional calls and the registered one,
which keyword calls reach. Both must give the same results and the same errors."""
import decimal
import json
import unittest

from _veltrani_core import AsyncFile
from support import FileTestCase, run_python

NOT_INITIALISED = "AsyncFile.__init__() has not completed on this object"


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:  # noqa: BLE001 - the exception itself is what is compared
        # The library's TypeError ends by echoing the call, keywords and all: compare its head.
        return type(e), (str(e).splitlines() or [""])[0]


class BothEntries(FileTestCase):
    def same(self, positional, keyword):
        self.assertEqual(outcome(positional), outcome(keyword))

    def test_write(self):
        f = self.opened("w")
        for data in ["abc", "é", b"\xff", bytearray(b"ab"), 12, "\udc80", memoryview(b"xyz")[::2]]:
            self.same(lambda: f.write(data), lambda: f.write(data=data))
        with self.assertRaises(TypeError):
            f.write()
        with self.assertRaises(TypeError):
            f.write("a", "b")
        with self.assertRaises(TypeError):
            f.write(text="a")
        f.close()
        self.assertEqual(self.disk(), b"abcabc" + "éé".encode() + b"\xff" * 2 + b"ab" * 2 + b"1212" + b"xz" * 2)
        self.same(lambda: f.write("x"), lambda: f.write(data="x"))  # closed

    def test_read_and_readline(self):
        self.put(b"line one\nline two\nline three\n")
        f, g = self.opened("r"), self.opened("r")
        for size in [None, 0, 3, 100, -1, 2.0, "3", 2 ** 64]:
            self.same(lambda: f.readline(size), lambda: g.readline(size=size))
            self.same(lambda: f.read(size), lambda: g.read(size=size))
            f.seek(0)
            g.seek(0)
        for bad in [lambda: f.readline(1, 2), lambda: f.read(1, 2), lambda: f.readline(size=1, extra=1)]:
            with self.assertRaises(TypeError):
                bad()

    def test_seek_and_tell(self):
        self.put(b"0123456789")
        f = self.opened("rb")
        for args in [(3,), (0, 2), (-1,), (0, 3), (1.5,), ("1",), (2 ** 63,), (True,),
                     (decimal.Decimal(4),), (1, 1.0)]:
            keywords = dict(zip(("offset", "whence"), args))
            self.same(lambda: f.seek(*args), lambda: f.seek(**keywords))
            self.same(f.tell, f.tell)
        for bare in (f.tell, f.open, f.close):  # an argument goes to the registered entry, which refuses it
            with self.assertRaises(TypeError):
                bare(1)
        with self.assertRaises(TypeError):
            f.seek()

    def test_next(self):
        self.put(b"a\n\xff\nb\n")
        f, g = self.opened("rb"), self.opened("rb")
        for _ in range(4):
            self.same(lambda: next(f), g.__next__)
        f.close()
        g.close()
        self.same(lambda: next(f), g.__next__)

    def test_subclass_keeps_working(self):
        class Logged(AsyncFile):
            pass

        class Upper(AsyncFile):
            def __next__(self):
                return super().__next__().upper()
        self.put(b"x\ny\n")
        self.assertEqual(list(Logged(self.path).open()), ["x\n", "y\n"])
        self.assertEqual(list(Upper(self.path).open()), ["X\n", "Y\n"])
        w = Logged(self.path, "w").open()
        self.assertEqual(w.write("z"), 1)
        w.close()
        self.assertEqual(self.disk(), b"z")

    def test_object_whose_init_has_not_run(self):
        # Every name, by both entries where there are two, on objects no __init__ completed on:
        # made by __new__ alone, used by a subclass before its super().__init__(), or closed by
        # a subclass's __del__ after its __init__ failed. A crash would end the child process.
        child = run_python("""
            import json
            from _veltrani_core import AsyncFile

            calls = {
                "__aenter__": lambda f: f.__aenter__(), "__aexit__": lambda f: f.__aexit__(1, 2, 3),
                "__enter__": lambda f: f.__enter__(), "__exit__": lambda f: f.__exit__(1, 2, 3),
                "open": lambda f: f.open(), "close": lambda f: f.close(),
                "read": lambda f: f.read(), "read(size=)": lambda f: f.read(size=1),
                "readall": lambda f: f.readall(), "read1": lambda f: f.read1(1),
                "readinto": lambda f: f.readinto(bytearray(1)),
                "readline": lambda f: f.readline(1), "readline(size=)": lambda f: f.readline(size=1),
                "readlines": lambda f: f.readlines(), "write": lambda f: f.write("x"),
                "write(data=)": lambda f: f.write(data="x"), "writelines": lambda f: f.writelines(["x"]),
                "seek": lambda f: f.seek(0), "seek(offset=)": lambda f: f.seek(offset=0),
                "tell": lambda f: f.tell(), "flush": lambda f: f.flush(),
                "truncate": lambda f: f.truncate(), "isatty": lambda f: f.isatty(),
                "seekable": lambda f: f.seekable(), "writable": lambda f: f.writable(),
                "__iter__": lambda f: f.__iter__(), "__next__": lambda f: f.__next__(),
                "next()": lambda f: next(f), "for": lambda f: [line for line in f],
                "__aiter__": lambda f: f.__aiter__(), "__anext__": lambda f: f.__anext__(),
                "name": lambda f: f.name, "mode": lambda f: f.mode,
            }

            def outcome(call):
                try:
                    call()
                except Exception as e:
                    return [type(e).__name__, str(e)]
                return ["ok"]

            class Sub(AsyncFile):
                pass

            class Early(AsyncFile):
                def __init__(self, use):
                    use(self)
                    super().__init__("never")

            results = {}
            for name, call in calls.items():
                results[name] = outcome(lambda: call(AsyncFile.__new__(AsyncFile)))
                results["Sub " + name] = outcome(lambda: call(Sub.__new__(Sub)))
                results["Early " + name] = outcome(lambda: Early(call))
            print(json.dumps(results))

            class ClosedOnDelete(AsyncFile):
                def __init__(self):
                    super().__init__("never", "bad mode")

                def __del__(self):
                    self.close()
            try:
                ClosedOnDelete()
            except ValueError:
                pass
        """)
        self.assertEqual(child.returncode, 0, child.stderr)
        results = json.loads(child.stdout)
        self.assertEqual(len(results), 3 * 33)
        for name, result in results.items():
            self.assertEqual(result, ["TypeError", NOT_INITIALISED], name)
        self.assertIn("ClosedOnDelete.__del__", child.stderr)  # reported as ignored, no crash
        self.assertIn("TypeError: " + NOT_INITIALISED, child.stderr)

    def test_unbound_call_on_wrong_type(self):
        with self.assertRaises(TypeError):
            AsyncFile.write(5, "x")


if __name__ == "__main__":
    unittest.main()
