import asyncio
import decimal
import errno
import fractions
import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest

import _veltrani_core
from _veltrani_core import AsyncFile
from support import FileTestCase, needs_path, posix_only, run_python

NAMES = [
    "__aenter__", "__aexit__", "__enter__", "__exit__", "open", "close", "read", "readall",
    "read1", "readinto", "readline", "readlines", "write", "writelines", "seek", "tell", "flush",
    "truncate", "isatty", "seekable", "writable", "__iter__", "__next__", "__aiter__",
    "__anext__", "name", "mode",
]


def odd(method, result):
    """An object whose `method` (__fspath__, __index__, __int__) returns `result`, or raises it."""
    def call(self):
        if isinstance(result, BaseException):
            raise result
        return result
    return type("Odd", (), {method: call})()


class Registration(unittest.TestCase):
    def test_module_and_class(self):
        self.assertEqual(_veltrani_core.__doc__,
                         "High-performance async file I/O for Python (C++ backend)")
        for name in NAMES:
            self.assertIn(name, AsyncFile.__dict__, name)
        for absent in ("readable", "closed", "fileno", "__await__"):
            self.assertFalse(hasattr(AsyncFile, absent), absent)
        with self.assertRaises(AttributeError):
            AsyncFile("x").anything = 1  # no instance __dict__

    def test_constructor_arguments(self):
        self.assertEqual(AsyncFile("p").mode, "r")
        f = AsyncFile(filename="some/path", mode="rb")
        self.assertEqual((f.name, f.mode), ("some/path", "rb"))
        self.assertEqual(AsyncFile(b"raw", b"w+").name, "raw")
        # Every name open() takes; `name` gives it back as os.fsdecode does. A name that is not
        # UTF-8 exists only where names are bytes (POSIX); Windows decodes bytes names as UTF-8.
        raw = b"caf\xe9" if os.name == "posix" else "café".encode()
        for name in [raw, os.fsdecode(raw), pathlib.Path("d/p"), [*os.scandir()][0],
                     odd("__fspath__", raw)]:
            self.assertEqual(AsyncFile(name).name, os.fsdecode(os.fspath(name)), name)
        # A lone surrogate: POSIX file names refuse it; Windows ones (UTF-16) take it, as open() does.
        if os.name == "posix":
            with self.assertRaises(UnicodeEncodeError):
                AsyncFile("\ud800")
        else:
            self.assertEqual(AsyncFile("\ud800").name, "\ud800")
        for bad, error in [((1,), TypeError), (("p", 2), TypeError), ((None,), TypeError), (("p", "\udc80"), TypeError),
                           ((odd("__fspath__", 1),), TypeError),
                           ((odd("__fspath__", KeyboardInterrupt()),), KeyboardInterrupt)]:
            with self.assertRaises(error, msg=bad):
                AsyncFile(*bad)

    def test_bad_mode(self):
        for mode in ["", "rw", "x", "+", "rt", "r\0", "\0w\0b"]:
            with self.assertRaises(ValueError) as cm:
                AsyncFile("p", mode)
            # A NUL is shown as \0, as in a path, rather than cutting the message short.
            self.assertEqual(str(cm.exception), "Invalid file mode: " + mode.replace("\0", "\\0"))

    def test_bad_sizes_raise_before_anything_else(self):
        f = AsyncFile("never-opened")
        for bad in (-1, 2.0, "3", 2 ** 64):
            for call in (f.read, f.read1, f.readline, f.truncate, f.readlines):
                with self.assertRaises(RuntimeError, msg=(call, bad)) as cm:
                    call(bad)
                self.assertNotIn("File not open", str(cm.exception))

    def test_errors_of_the_arguments_own_conversion_propagate(self):
        f = AsyncFile("never-opened")
        for call in [f.read, f.read1, f.readline, f.readlines, f.truncate, f.seek, lambda x: f.seek(0, x),
                     lambda x: f.read(size=x), lambda x: f.seek(offset=x), lambda x: f.seek(0, whence=x)]:
            for method, error in [(m, e) for m in ("__index__", "__int__") for e in (KeyboardInterrupt(), TypeError())]:
                with self.assertRaises(type(error)) as cm:
                    call(odd(method, error))
                self.assertIs(cm.exception, error)
            for number in (decimal.Decimal("2.5"), fractions.Fraction(7, 2)):  # converted: the stream is looked at
                self.assertRaisesRegex(RuntimeError, "^File not open$", call, number)

    def test_bad_positions_are_type_errors(self):
        f = AsyncFile("never-opened")
        for args in [(1.5,), ("0",), (2 ** 63,), (0, 1.0)]:
            with self.assertRaises(TypeError):
                f.seek(*args)
        with self.assertRaises(TypeError):
            f.__exit__(exc_type=None, exc=None, tb=None)


class Lifecycle(FileTestCase):
    def test_self_results(self):
        f = AsyncFile(self.path, "w")
        for method in (f.__enter__, f.__aenter__, f.open, f.__iter__, f.__aiter__):
            self.assertIs(method(), f)
        f.close()

    def test_async_names_return_plain_values(self):
        f = AsyncFile(self.path, "w")

        async def use():
            async with f:
                pass
        with self.assertRaises(TypeError):
            asyncio.run(use())

    def test_open_failures(self):
        missing = os.path.join(self.dir, "missing", "x")
        with self.assertRaises(ValueError) as cm:
            AsyncFile(missing).open()
        self.assertEqual(str(cm.exception),
                         f"Failed to open file: {missing} - No such file or directory")
        with self.assertRaises(RuntimeError) as cm:
            AsyncFile(self.dir, "w").open()  # "Is a directory" is none of the ValueError texts
        self.assertEqual(str(cm.exception), f"Failed to open file: {self.dir} - Is a directory")
        odd = os.path.join(self.dir, "cannot open")
        os.mkdir(odd)
        with self.assertRaises(ValueError):
            AsyncFile(odd, "w").open()  # the text search covers the path too

    def test_second_init_is_refused(self):
        f = AsyncFile(self.path, "w").open()
        f.write("pending")
        for args in [(self.path, "r"), (os.path.join(self.dir, "other"), "w"), (self.path, "bad")]:
            with self.assertRaises(TypeError) as cm:
                f.__init__(*args)
            self.assertEqual(str(cm.exception),
                             "AsyncFile.__init__() called again on an object already initialised")
        self.assertEqual((f.name, f.mode), (self.path, "w"))
        f.write("+more")
        f.close()
        self.assertEqual(self.disk(), b"pending+more")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "other")))
        # An __init__ that failed initialised nothing: it may be called again.
        g = AsyncFile.__new__(AsyncFile)
        with self.assertRaises(ValueError):
            g.__init__(self.path, "bad")
        g.__init__(self.path, mode="a")
        g.open().write("!")
        g.close()
        self.assertEqual(self.disk(), b"pending+more!")

    def test_descriptors_stay_out_of_spawned_programs(self):
        posix_only(self, "/proc/self/fd to find the descriptor")
        self.put(b"x")
        def links(fd):
            try:
                return os.readlink(f"/proc/self/fd/{fd}")
            except OSError:
                return None  # the listing's own descriptor, closed by now
        for mode in ["r", "w", "a+b", "r+"]:
            f = self.opened(mode)
            (fd,) = [fd for fd in os.listdir("/proc/self/fd") if links(fd) == os.path.realpath(self.path)]
            self.assertFalse(os.get_inheritable(int(fd)), mode)
            # A program started without closing descriptors does not hold it either.
            seen = subprocess.run(["readlink", f"/proc/self/fd/{fd}"], close_fds=False, capture_output=True, text=True)
            self.assertNotEqual(seen.stdout.strip(), os.path.realpath(self.path), mode)
            f.close()

    def test_pickling_and_copying_refuse(self):
        # The default reduction at protocols 0 and 1 aborts the interpreter: tried apart.
        done = run_python("""
            import copy, pickle
            from _veltrani_core import AsyncFile
            f = AsyncFile("p")
            for call in [*(lambda p=p: pickle.dumps(f, p) for p in range(6)), lambda: f.__reduce_ex__(1),
                         f.__reduce__, lambda: copy.copy(f), lambda: copy.deepcopy(f)]:
                try: call()
                except TypeError as e: print(e)
            """)
        self.assertEqual(done.stdout.splitlines(), ["cannot pickle '_veltrani_core.AsyncFile' object"] * 10, done.stderr)

    def test_open_failure_type_does_not_follow_the_locale(self):
        posix_only(self, "locales built by localedef, setuid")
        localedef = shutil.which("localedef")
        if not localedef or not os.path.exists("/usr/share/i18n/locales/de_DE"):
            self.skipTest("no localedef or no German locale source (Debian package locales)")
        locales = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, locales)
        made = subprocess.run([localedef, "-i", "de_DE", "-f", "UTF-8", locales + "/de_DE.UTF-8"],
                              capture_output=True, text=True, timeout=120)
        if made.returncode != 0:
            self.skipTest("localedef could not build de_DE.UTF-8: " + made.stderr[-300:])
        env = {k: v for k, v in os.environ.items() if not k.startswith(("LC_", "LANG"))}
        env.update(LOCPATH=locales, LC_ALL="de_DE.UTF-8")
        # Refused permission, for a child that drops root (which no permission bit stops).
        self.put(b"")
        os.chmod(self.path, 0o444)
        os.chmod(self.dir, 0o755)
        child = run_python(f"""
            import errno, locale, os
            from _veltrani_core import AsyncFile
            locale.setlocale(locale.LC_ALL, "")
            if os.strerror(errno.ENOENT) == "No such file or directory":
                print("untranslated")
                raise SystemExit
            for path, mode in [({self.dir!r} + "/missing/x", "r"), ({self.dir!r}, "w"), ({self.path!r}, "w")]:
                if path == {self.path!r} and os.getuid() == 0:
                    os.setgid(65534)
                    os.setuid(65534)
                try:
                    AsyncFile(path, mode).open()
                except Exception as e:
                    print(type(e).__name__, str(e), sep=": ")
        """, env=env)
        self.assertEqual(child.returncode, 0, child.stderr)
        if child.stdout == "untranslated\n":
            self.skipTest("the C library has no German messages (libc.mo)")
        lines = child.stdout.splitlines()
        self.assertEqual(len(lines), 3, child.stdout)
        # The platform's wording stays in the message; the type comes from the error number.
        for line, kind, path, number in zip(lines, ("ValueError", "RuntimeError", "ValueError"),
                                            (self.dir + "/missing/x", self.dir, self.path),
                                            (errno.ENOENT, errno.EISDIR, errno.EACCES)):
            head, reason = line.split(" - ")
            self.assertEqual(head, f"{kind}: Failed to open file: {path}")
            self.assertNotIn(reason, ("", os.strerror(number)))

    def test_close_twice_and_reopen(self):
        f = AsyncFile(self.path, "w")
        f.close()
        f.open()
        f.write("abc")
        f.close()
        f.close()
        f.open()  # "w" empties the file again
        f.close()
        self.assertEqual(self.disk(), b"")
        a = AsyncFile(self.path, "a").open()
        a.write("1")
        a.close()
        a.open()
        a.write("2")
        a.close()
        self.assertEqual(self.disk(), b"12")

    def test_with_block(self):
        with AsyncFile(self.path, "w").open() as f:
            f.write("x")
        self.assertEqual(self.disk(), b"x")
        with self.assertRaises(KeyError):
            with AsyncFile(self.path, "w").open() as f:
                f.write("y")
                raise KeyError
        self.assertEqual(self.disk(), b"y")
        with AsyncFile(self.path, "w") as g:  # never opened
            with self.assertRaises(RuntimeError) as cm:
                g.write("z")
            self.assertEqual(str(cm.exception), "File not open")

    def test_dropped_object_writes_pending_bytes(self):
        f = AsyncFile(self.path, "w").open()
        f.write("pending")
        del f
        self.assertEqual(self.disk(), b"pending")

    def test_open_while_open_keeps_pending_bytes(self):
        f = AsyncFile(self.path, "a").open()
        f.write("one")
        f.open()
        f.write("two")
        f.close()
        self.assertEqual(self.disk(), b"onetwo")

    def test_failed_close_keeps_object_open_with_its_bytes(self):
        needs_path(self, "/dev/full", "a device that is always full")
        f = AsyncFile("/dev/full", "w").open()
        f.write("x")
        for _ in range(2):
            with self.assertRaises(RuntimeError) as cm:
                f.close()
            self.assertEqual(str(cm.exception), "Failed to flush write buffer")
            self.assertTrue(f.seekable())
            self.assertEqual(f.tell(), 1)  # the byte is still pending

    def test_failed_close_is_reported(self):
        posix_only(self, "the stream's descriptor found in /proc/self/fd")
        f = self.opened("w")
        fd = next(int(n) for n in os.listdir("/proc/self/fd")
                  if os.path.realpath(f"/proc/self/fd/{n}") == os.path.realpath(self.path))
        os.close(fd)  # fclose then fails
        with self.assertRaises(RuntimeError) as cm:
            f.close()
        self.assertEqual(str(cm.exception), "Failed to close file: " + self.path)
        self.assertFalse(f.seekable())

    def test_closed_object(self):
        f = AsyncFile(self.path, "w")
        calls = [f.read, f.readall, f.read1, f.readline, f.readlines, f.__next__, f.__anext__,
                 f.tell, f.flush, f.truncate, f.isatty, lambda: f.write("x"),
                 lambda: f.writelines([]), lambda: f.seek(0), lambda: f.readinto(bytearray(1))]
        for call in calls:
            with self.assertRaises(RuntimeError) as cm:
                call()
            self.assertEqual(str(cm.exception), "File not open")
        self.assertFalse(f.seekable())
        self.assertTrue(f.writable())
        f.__exit__(None, None, None)


if __name__ == "__main__":
    unittest.main()
