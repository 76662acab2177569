"""Faults from outside: full disks, files changed by others, odd paths, limits, threads."""
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import unittest

from _veltrani_core import AsyncFile
from support import NEWLINE, FileTestCase, needs_path, posix_only, run_python


def error_of(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the exception is the result here
        return type(e), str(e)
    return None


# What every child process starts with: its imports, and one figure of /proc/self/status in KiB.
PRELUDE = """
import ctypes, mmap, os, signal, subprocess, sys
if os.name == "posix": import resource
from _veltrani_core import AsyncFile
status = lambda key: next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(key + ":"))
"""


def child(code, *args, timeout=30):
    """Runs code in a fresh interpreter (limits, timers and hangs stay there); returns its output."""
    done = run_python(PRELUDE + textwrap.dedent(code), *args, timeout=timeout)
    if done.returncode != 0:
        raise AssertionError(f"exit {done.returncode}: {done.stderr}")
    return done.stdout.split()


class NoSpace(FileTestCase):
    def test_every_way_out_reports_the_failure(self):
        needs_path(self, "/dev/full", "a device that is always full")
        cases = [
            (lambda f: (f.write("x"), f.flush()), "Flush failed"),
            (lambda f: (f.write("x"), f.close()), "Failed to flush write buffer"),
            (lambda f: f.write("y" * 300_000), "Failed to write complete data"),
            (lambda f: f.writelines(["z" * 100_000] * 6), "Failed to flush write buffer"),
            (lambda f: (f.write("x"), f.truncate(0)), "Failed to flush write buffer"),
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

    def test_lines_appended_later_are_read(self):
        self.put(b"a\n")
        f = self.opened("r")
        self.assertEqual(list(f), ["a\n"])
        self.assertEqual(f.readline(), "")
        for added in (b"b\n", b"c", b"d\n"):  # a follow-the-log loop sees each as it comes
            with open(self.path, "ab") as other:
                other.write(added)
            self.assertEqual(f.readline(), added.decode())
        self.assertEqual(f.readline(), "")
        self.assertEqual(f.tell(), 7)

    def test_fifo_line_reads(self):
        posix_only(self, "os.mkfifo")
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        writer = subprocess.Popen(["sh", "-c", f"printf 'x\\ny\\nz' > '{fifo}'"])
        f = self.opened("r", fifo)
        self.assertEqual(f.readline(), "x\n")
        self.assertEqual(f.read(1), "y")  # what the line reader fetched comes first
        self.assertEqual(f.readlines(), ["\n", "z"])
        writer.wait()
        self.assertEqual(error_of(f.tell), (RuntimeError, "Tell failed"))
        self.assertEqual(error_of(lambda: f.seek(0)), (RuntimeError, "Seek failed"))
        self.assertEqual(error_of(f.truncate), (RuntimeError, "Truncate failed"))

    def test_pipe_line_across_a_pause_and_a_signal(self):
        posix_only(self, "a pipe as /dev/fd/N, SIGALRM")
        out = child(r"""
            r, w = os.pipe()
            writer = subprocess.Popen(["sh", "-c", "printf 'hal'; sleep 0.3; printf 'f line\\n'; sleep 1; printf 'next\\n'"], stdout=w)
            os.close(w)
            f = AsyncFile(f"/dev/fd/{r}", "r").open()
            print(f.readline() == "half line\n")
            class Tick(Exception): pass
            def tick(*_): raise Tick
            signal.signal(signal.SIGALRM, tick)
            signal.setitimer(signal.ITIMER_REAL, 0.3)  # while nothing waits in the pipe
            try: f.readline()
            except Tick: print("Tick")
            print(f.readline() == "next\n", f.readline() == "")
            writer.wait()
            """)
        self.assertEqual(out, ["True", "Tick", "True", "True"])

    def test_append_modes_after_another_handle_appends(self):
        # tell() is where this object's own bytes ended; in a+ the next read, seek and truncate act there.
        ops = {"tell": lambda f: f.tell(), "read": lambda f: f.read(), "seek(0, 1)": lambda f: f.seek(0, 1),
               "truncate": lambda f: (f.truncate(), None)[1]}
        as_bytes = lambda x: x.encode() if isinstance(x, str) else x
        for mode in ("a", "ab", "a+", "a+b"):
            for name, op in ops.items() if "+" in mode else [("tell", ops["tell"])]:
                results = []
                for make in (lambda: AsyncFile(self.path, mode).open(), lambda: open(self.path, mode)):
                    self.put(b"start\n")
                    with make() as f:
                        f.write(b"mine\n" if "b" in mode else "mine\n")
                        f.flush()
                        with open(self.path, "ab") as other:
                            other.write(b"theirs\n")
                        results.append(as_bytes(op(f)))
                    results.append(self.disk())
                self.assertEqual(results[:2], results[2:], f"{name}, {mode}")


class ReadCosts(FileTestCase):
    """What a read at a new spot costs does not depend on how many lines came before."""

    def test_a_line_read_after_many_lines_reads_about_a_page(self):
        needs_path(self, "/proc/self/io", "the bytes this process has read")
        self.put(b"".join(b"%07d\n" % i for i in range(400_000)))
        def rchar():
            with open("/proc/self/io") as io:
                return int(next(line.split()[1] for line in io if line.startswith("rchar")))
        moves = {"seek": lambda f: f.seek(1_000_000), "write": lambda f: f.write(b"x"),
                 "truncate": lambda f: f.truncate(3_000_000), "read(n)": lambda f: [f.read(60_000) for _ in range(5)]}
        for name, move in moves.items():
            f = self.opened("r+b")
            for _ in range(300_000):
                next(f)
            move(f)
            before = rchar()
            f.readline()
            self.assertLess(rchar() - before, 8192 + 512, name)  # a page, and /proc/self/io itself

    def test_iterating_a_large_file_reads_in_bounded_refills(self):
        posix_only(self, "strace")
        strace = shutil.which("strace")
        if not strace:
            self.skipTest("no strace (make installs it)")
        self.put(b"".join(b"%09d\n" % i for i in range(3_200_000)))  # 32 MB
        log = os.path.join(self.dir, "trace")
        code = PRELUDE + textwrap.dedent(r"""
            before = status("VmRSS")
            f = AsyncFile(sys.argv[1], "r").open()
            print(sum(1 for _ in f), status("VmHWM") - before < 4096 or sys.argv[2] == "quarantine")
            """)
        # AddressSanitizer holds freed memory in quarantine: there only the refills are checked.
        memory = "quarantine" if "libasan" in os.environ.get("LD_PRELOAD", "") else "measured"
        done = subprocess.run([strace, "-f", "-e", "trace=pread64", "-o", log, sys.executable, "-c", code, self.path, memory],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(done.stdout.split(), ["3200000", "True"], done.stderr)
        with open(log) as trace:
            sizes = [int(line.split(", ")[2]) for line in trace if "pread64(" in line]
        self.assertGreater(len(sizes), 100)
        self.assertLessEqual(max(sizes), 256 * 1024)

    def test_paused_writers_give_their_buffers_back(self):
        needs_path(self, "/proc/self/status", "this process's memory")
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            self.skipTest("AddressSanitizer holds freed memory in quarantine")
        out = child(r"""
            for how in ("flush", "seek", "read"):
                before = status("VmRSS")
                files = [AsyncFile(f"{sys.argv[1]}{i}", "w+b").open() for i in range(200)]
                for f in files:
                    for _ in range(4):
                        f.write(b"x" * 60_000)  # pieces under 128 KiB: buffered
                    {"flush": f.flush, "seek": lambda: f.seek(0), "read": lambda: f.read(1)}[how]()
                print(how, status("VmRSS") - before < 8192)  # not 256 KiB an object
                for f in files: f.close()
            """, self.path)
        self.assertEqual(out, ["flush", "True", "seek", "True", "read", "True"])


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

    def test_names_beyond_ascii(self):
        # The very files that open() makes and finds under the same names, str or bytes.
        for name in ["caf\u00e9 d\u00e9j\u00e0", "\u65e5\u672c", "\U0001f642"]:
            for form in (str, os.fsencode):
                path = form(os.path.join(self.dir, name))
                f = AsyncFile(path, "w").open()
                f.write(name)
                f.close()
                with open(path, encoding="utf-8") as g:
                    self.assertEqual(g.read(), name)
                with open(path, "a", encoding="utf-8") as g:
                    g.write("!")
                self.assertEqual(AsyncFile(path).open().read(), name + "!")
                os.unlink(path)

    def test_names_that_are_not_utf8(self):
        posix_only(self, "file names that are bytes (Windows names are UTF-16)")
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


class ReadErrors(FileTestCase):
    def test_a_failed_read_raises_and_keeps_what_it_took(self):
        posix_only(self, "/proc/self/mem and munmap")
        # /proc/self/mem fails (EIO) at a hole in the memory map: here 100 bytes after the start.
        out = child(r"""
            m, page = mmap.mmap(-1, 2 * mmap.PAGESIZE), mmap.PAGESIZE
            m[:] = bytes(range(256)) * (2 * page // 256)
            edge = ctypes.addressof(ctypes.c_char.from_buffer(m)) + page
            ctypes.CDLL(None).munmap(ctypes.c_void_p(edge), page)
            for read in ("read()", "read(200)", "read(8192)", "read1()", "readall()", "readinto(bytearray(200))",
                         "readline()", "__next__()", "readlines()"):
                f = AsyncFile("/proc/self/mem", "rb").open()
                f.seek(edge - 100)
                try: print(read, eval("f." + read))
                except RuntimeError as e: print(e.args[0] == "Read failed", f.read(100) == m[page - 100:page])
            """)
        self.assertEqual(out, ["True"] * 18)


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


class Memory(FileTestCase):
    """Memory follows the bytes that are there now, and goes back once a huge line is done."""

    def test_read_after_the_file_shrank_elsewhere(self):
        posix_only(self, "import resource (an address-space limit)")
        with open(self.path, "wb") as f:
            f.truncate(1 << 30)
        out = child(r"""
            f = AsyncFile(sys.argv[1], "rb").open()
            f.read(100_000)
            os.truncate(sys.argv[1], 0)
            resource.setrlimit(resource.RLIMIT_AS, ((status("VmSize") << 10) + (256 << 20), resource.RLIM_INFINITY))
            print(len(f.read()))
            """, self.path)
        self.assertEqual(out, ["0"])

    def test_pipe_read_that_runs_out_of_memory(self):
        posix_only(self, "import resource (an address-space limit), a pipe as /dev/fd/N")
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            self.skipTest("AddressSanitizer ends the process when an allocation fails")
        out = child(r"""
            w = subprocess.Popen(["head", "-c", str(200 << 20), "/dev/zero"], stdout=subprocess.PIPE)
            f = AsyncFile(f"/dev/fd/{w.stdout.fileno()}", "rb").open()
            resource.setrlimit(resource.RLIMIT_AS, ((status("VmSize") << 10) + (100 << 20), resource.RLIM_INFINITY))
            try: f.read()
            except MemoryError: print("MemoryError")
            """)
        self.assertEqual(out, ["MemoryError"])

    def test_huge_line_gives_its_memory_back(self):
        needs_path(self, "/proc/self/status", "this process's memory")
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            self.skipTest("AddressSanitizer holds freed memory in quarantine")
        self.put(b"x" * (64 << 20) + b"\nshort\nlines\n")
        out = child(r"""
            rss = lambda: status("VmRSS") >> 10
            f = AsyncFile(sys.argv[1], "rb").open()
            base = rss()
            print(len(f.readline()), len(f.readline()), rss() - base < 16)
            """, self.path)
        self.assertEqual(out, [str((64 << 20) + 1), "6", "True"])


def run_threads(work, args):
    threads = [threading.Thread(target=work, args=(a,)) for a in args]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


class Threads(FileTestCase):
    def test_concurrent_writers_never_tear_a_line(self):
        f = self.opened("w")
        lines = {t: [f"thread {t} line {i:05d}\n" for i in range(5000)] for t in range(4)}

        def work(t):
            for i, line in enumerate(lines[t]):
                f.write(line) if i % 2 else f.writelines([line])
        run_threads(work, lines)
        f.close()
        written = self.disk().replace(NEWLINE, b"\n").decode().splitlines(keepends=True)
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
        run_threads(work, range(4))
        self.assertEqual(sorted(sum(seen, [])), expected)


class ExactlyOnce(FileTestCase):
    """A failed write-out keeps what did not reach the file; the retry writes it once."""

    def test_file_size_limit(self):
        posix_only(self, "import resource (a file size limit), SIGXFSZ")
        out = child(r"""
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            _, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
            limit = lambda n: resource.setrlimit(resource.RLIMIT_FSIZE, (n, hard))
            f = AsyncFile(sys.argv[1], "wb").open()
            f.write(b"record\n")
            limit(0)
            try: f.flush()
            except RuntimeError as e: print(str(e).replace(" ", "_"), f.tell())
            limit(hard)
            data = os.urandom(600_000)
            limit(200_000)
            for i in range(0, len(data), 100):  # retrying the one write that failed
                try: f.write(data[i:i + 100])
                except RuntimeError as e: print(str(e).replace(" ", "_")); limit(hard); f.write(data[i:i + 100])
            f.flush()
            big = os.urandom(300_000)  # written through, cut by the limit: its rest stays pending
            limit(os.path.getsize(sys.argv[1]) + 100_000)
            try: f.write(big)
            except RuntimeError as e: print(str(e).replace(" ", "_"))
            print(f.tell() == len(b"record\n" + data + big) > os.path.getsize(sys.argv[1]))  # the tail counts
            limit(hard)
            f.close()
            # Cut again, appending, where the limit's signal raises in a handler.
            signal.signal(signal.SIGXFSZ, lambda *_: 1 / 0)
            f = AsyncFile(sys.argv[1], "a+b").open()
            limit(os.path.getsize(sys.argv[1]) + 100_000)
            try:
                try: f.write(big)
                finally: signal.getsignal(signal.SIGXFSZ)  # a pending handler runs at a call
            except ZeroDivisionError: print("handler")
            limit(hard)
            whole = b"record\n" + data + big + big
            print(f.tell() == len(whole), f.seek(0) == 0 and f.read() == whole == open(sys.argv[1], "rb").read())
            # writelines cut part-way: the lines stored before the failure go out whole, once.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            lines = [os.urandom(1000) for _ in range(1000)]
            limit(os.path.getsize(sys.argv[1]) + 300_000)
            try: f.writelines(lines)
            except RuntimeError as e: print(str(e).replace(" ", "_"))
            limit(hard)
            f.close()
            rest = open(sys.argv[1], "rb").read()[len(whole):]
            print(300_000 < len(rest) < 1_000_000 and len(rest) % 1000 == 0 and rest == b"".join(lines)[:len(rest)])
            """, self.path)
        self.assertEqual(out, ["Flush_failed", "7", "Failed_to_flush_write_buffer",
                               "Failed_to_write_complete_data", "True", "handler", "True", "True",
                               "Failed_to_flush_write_buffer", "True"])

    def test_write_through_cut_by_a_raising_signal_handler(self):
        posix_only(self, "a pipe as /dev/fd/N, SIGALRM")
        # 64 KiB fill the pipe; the next write waits until a signal whose handler raises. The
        # unwritten rest stays pending and goes out once there is a reader.
        out = child(r"""
            r, w = os.pipe()
            f = AsyncFile(f"/dev/fd/{w}", "wb").open()
            os.close(w)
            class Tick(Exception): pass
            def handler(*_): raise Tick
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
            piece = os.urandom(200_000)
            try: f.write(piece)
            except Tick: print("Tick")
            signal.setitimer(signal.ITIMER_REAL, 0)
            reader = subprocess.Popen(["cat"], stdin=r, stdout=open(sys.argv[1], "wb"))
            os.close(r)
            f.close()
            reader.wait()
            print(open(sys.argv[1], "rb").read() == piece)
            """, self.path)
        self.assertEqual(out, ["Tick", "True"])

    def test_signal_that_cuts_a_blocked_pipe_write_short(self):
        posix_only(self, "a pipe as /dev/fd/N, SIGALRM")
        # Nobody reads the pipe: one alarm cuts the blocked write short (a partial count, not
        # EINTR), and its handler must run then. What did not go out stays pending, once. A fork
        # before the first write must not hide that the object writes to a pipe.
        out = child(r"""
            class Alarm(Exception): pass
            def handler(*_): raise Alarm
            signal.signal(signal.SIGALRM, handler)
            for name in ("write", "writes", "writelines", "forked"):
                r, w = os.pipe()
                f = AsyncFile(f"/dev/fd/{w}", "wb").open()
                os.close(w)
                if name == "forked":
                    if os.fork() == 0: os._exit(0)
                    os.wait()
                pieces = [os.urandom(1 << 20)] if name in ("write", "forked") else [b"%06d" % i * 42 for i in range(4096)]
                done = 0
                signal.alarm(1)
                try:
                    if name == "writelines": f.writelines(pieces)
                    else:
                        for p in pieces: f.write(p); done += len(p)
                except Alarm: print(name)
                signal.alarm(0)
                reader = subprocess.Popen(["cat"], stdin=r, stdout=open(sys.argv[1], "wb"))
                os.close(r)
                f.close()
                reader.wait()
                data, whole = open(sys.argv[1], "rb").read(), b"".join(pieces)
                print(done <= len(data) and len(data) % len(pieces[-1]) == 0 and data == whole[:len(data)])
            """, self.path)
        self.assertEqual(out, ["write", "True", "writes", "True", "writelines", "True", "forked", "True"])

    def test_writes_after_fork_keep_both_processes_bytes(self):
        posix_only(self, "os.fork")
        out = child(r"""
            for mode in ("w", "wb", "w+b", "r+b"):
                open(sys.argv[1], "wb").close()
                f = AsyncFile(sys.argv[1], mode).open()
                f.write(b"header\n")
                f.flush()
                if os.fork() == 0:
                    f.write(b"child line\n")
                    f.seek(0); f.write(b"H"); f.seek(0, 2)  # seeks move the offset both share
                    f.flush()
                    os._exit(0)
                os.wait()
                f.write(b"parent line\n")
                f.flush()
                print(f.tell())
                f.close()
                print(open(sys.argv[1], "rb").read() == b"Header\nchild line\nparent line\n")
            """, self.path)
        self.assertEqual(out, ["30", "True"] * 4)

    def test_a_look_after_a_fork_moves_the_offset_as_open_does(self):
        posix_only(self, "fork")
        # The parent reads a line (the rest is fetched ahead), looks, and the child writes at
        # the offset both share: seeks within what was fetched and tell() leave the offset past
        # it, flush() brings it back to the line's end, as with open().
        out = child(r"""
            def run(make, look):
                open(sys.argv[1], "wb").write(b"one\ntwo\nthree\n")
                f = make(sys.argv[1], "r+b")
                if os.fork() == 0: os._exit(0)
                os.wait()
                r, w = os.pipe()
                if os.fork() == 0:
                    os.read(r, 1); f.write(b"child\n"); f.flush(); os._exit(0)
                f.readline(); look(f); os.write(w, b"."); os.wait(); f.close()
                return open(sys.argv[1], "rb").read()
            for look in ["f.seek(0, 1)", "f.seek(4)", "f.seek(6)", "f.tell()", "f.flush()"]:
                look = eval("lambda f: " + look)
                print(run(lambda p, m: AsyncFile(p, m).open(), look) == run(open, look))
            """, self.path)
        self.assertEqual(out, ["True"] * 5)

    def test_pipe_without_reader(self):
        posix_only(self, "a pipe as /dev/fd/N")
        r, w = os.pipe()
        f = self.opened("wb", f"/dev/fd/{w}")
        os.close(w)
        self.assertEqual(error_of(f.tell), (RuntimeError, "Tell failed"))  # a pipe, known before a write
        os.close(r)
        f.write(b"x" * 10)
        self.assertEqual(error_of(f.flush), (RuntimeError, "Flush failed"))
        self.assertEqual(error_of(f.close), (RuntimeError, "Failed to flush write buffer"))
        self.assertTrue(f.seekable())  # still open, the bytes still pending

    def test_write_interrupted_by_signals(self):
        posix_only(self, "a pipe as /dev/fd/N, SIGALRM")
        # A slow reader makes the writes wait; a timer interrupts the waits, and its handler
        # raises now and then. A write that raised may or may not have taken its piece (the
        # handler can run just after the call returned), but nothing may be torn, lost or doubled.
        out = child(r"""
            r, w = os.pipe()
            reader = subprocess.Popen([sys.executable, "-c", "import sys, time\nseen = []\n"
                                       "while chunk := sys.stdin.buffer.read1(16384):\n"
                                       "    seen.append(chunk); time.sleep(0.001)\n"
                                       "sys.stdout.buffer.write(b''.join(seen))"],
                                      stdin=r, stdout=subprocess.PIPE)
            f = AsyncFile(f"/dev/fd/{w}", "wb").open()
            os.close(r); os.close(w)
            class Tick(Exception): pass
            ticks, raising = 0, False
            def handler(*_):
                global ticks, raising
                ticks += 1
                if raising and ticks % 4 == 0:
                    raising = False  # armed again only around the next call
                    raise Tick
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
            first = os.urandom(1 << 20)
            f.write(first)  # written through, interrupted many times by a handler that returns
            pieces = [os.urandom(n) for n in [1000] * 2000 + [200_000] * 4]
            taken = []
            for p in pieces:
                ok = False
                try:
                    raising = True
                    f.write(p)
                    ok = True
                    raising = False
                except Tick:
                    pass
                taken.append(ok)
            while True:
                try:
                    raising = True
                    f.close()
                    raising = False
                    break
                except Tick:
                    pass
            signal.setitimer(signal.ITIMER_REAL, 0)
            data = reader.communicate()[0]
            at = len(first)
            whole = data.startswith(first)
            for p, ok in zip(pieces, taken):
                if data.startswith(p, at):
                    at += len(p)
                elif ok:
                    whole = False
            print(whole and at == len(data), not all(taken))
            """)
        self.assertEqual(out, ["True", "True"])


class SignalsAndPipes(FileTestCase):
    """Reads from pipes and FIFOs: signals neither cut them short nor lose bytes, and line reads
    hand over what is there instead of waiting for more."""

    def test_reads_survive_signals(self):
        posix_only(self, "os.mkfifo, SIGALRM")
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        out = child(r"""
            fifo = sys.argv[1]
            class Tick(Exception): pass
            raising = f = None
            def handler(*_):
                if raising == "tick": raise Tick
                if raising == "reopen": f.open()  # refused: the object is in the middle of a read
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
            def writer(script):
                return subprocess.Popen(["sh", "-c", f"exec 3>{fifo}; {script}"])
            def interrupted(call, how):
                global raising
                raising = how
                try: return call()
                except (Tick, RuntimeError) as e: return type(e).__name__ + ":" + str(e).replace(" ", "_")
                finally: raising = None
            w = writer("sleep 0.3; printf 'a\nb\n' >&3")  # the open waits, then the reads
            f = AsyncFile(fifo, "r").open()
            print(list(f) == ["a\n", "b\n"])
            f.close(); w.wait()
            reads = [("read", lambda: f.read()), ("read(2)", lambda: f.read(2)), ("read1", lambda: f.read1()),
                     ("readline", lambda: f.readline()), ("readline(2)", lambda: f.readline(2)),
                     ("readlines", lambda: f.readlines())]
            for (name, read), how in [(r, "tick") for r in reads] + [(reads[3], "reopen")]:
                # 'a' and half of an 'e' with an accent come first: an interruption then may lose neither
                w = writer("printf 'a\\303' >&3; sleep 0.3; printf '\\251b\\nc' >&3")
                f = AsyncFile(fifo, "r").open()
                print(name, interrupted(read, how), ascii(f.read()))
                f.close(); w.wait()
            # More than one block taken before the signal: all of it comes back, and read1 hands
            # it over without waiting for the pipe.
            w = writer("printf '%070000d' 0 >&3; sleep 0.3; printf 'b' >&3")
            f = AsyncFile(fifo, "rb").open()
            print(interrupted(f.read, "tick"), len(f.read1()), len(f.read1()))
            f.close(); w.wait()
            signal.setitimer(signal.ITIMER_REAL, 0)
            """, fifo)
        rest = r"'a\xe9b\nc'"
        self.assertEqual(out, ["True"] + [word for name in ("read", "read(2)", "read1", "readline", "readline(2)",
                                                            "readlines") for word in (name, "Tick:", rest)]
                         + ["readline", "RuntimeError:Reentrant_call", rest, "Tick:", "65536", "4464"])

    def test_line_reads_from_a_live_pipe_do_not_wait_for_more(self):
        posix_only(self, "a pipe as /dev/fd/N")
        out = child(r"""
            c = subprocess.Popen([sys.executable, "-c", 'import os, sys; os.write(1, b"ready\\n"); '
                                  'os.write(1, input().encode() + b"\\n"); sys.stdin.read()'],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            f = AsyncFile(f"/dev/fd/{c.stdout.fileno()}", "rb").open()
            print(f.readline().strip())
            c.stdin.write(b"more\n"); c.stdin.flush()
            print(f.read1())  # the writer is still there
            c.stdin.close()
            print(c.wait())
            """, timeout=10)
        self.assertEqual(out, ["ready", "b'more\\n'", "0"])


if __name__ == "__main__":
    unittest.main()
