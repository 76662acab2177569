"""AsyncFile against the built-in open() on the same work, in one process, interleaved.

Prints median times and the ratio io/AsyncFile (above 1: AsyncFile is faster). Each workload
checks that both produce the same data, so a fast but wrong path cannot score.
Usage: bench.py [--rounds N] [--only NAME_SUBSTRING]
"""
import argparse
import hashlib
import math
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from _veltrani_core import AsyncFile

LINE = "2026-12-08 12:00:00 INFO request ok 0001\n"  # 41 characters
LINE_B = LINE.encode()
N_LINES = 1_000_000
BIG = 256 * 1024 * 1024
TEXT = 64 * 1024 * 1024
SMALL_TEXT = 1 << 20
UPDATE = 16 << 20
MIXED = [b"m" * n for n in (7, 41, 300, 4096, 70_000, 131_072, 131_073, 200_000, 1_000_000)]


def ours(path, mode):
    return AsyncFile(path, mode).open()


def builtin(path, mode):
    return open(path, mode) if "b" in mode else open(path, mode, encoding="utf-8")


class OnDisk(str):
    """A write workload's result: the file to compare, hashed after the clock stops."""


def digest(path):
    h = hashlib.blake2b()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


class Bench:
    def __init__(self, tmp):
        self.tmp = tmp
        # Small files on tmpfs where there is one: on a disk the file system's own work hides
        # what each side spends on system calls.
        self.small_dir = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else tmp
        self.lines = os.path.join(tmp, "lines.txt")
        self.big = os.path.join(tmp, "big.bin")
        self.text = os.path.join(tmp, "text.txt")
        self.out = os.path.join(tmp, "out")
        with open(self.lines, "w") as f:
            f.writelines(f"{i:09d} some text of a log line, more or less {i % 97}\n"
                         for i in range(N_LINES))
        self.small_text = os.path.join(tmp, "small.txt")
        self.update = os.path.join(tmp, "update.bin")
        with open(self.small_text, "w") as f:
            f.write(LINE * (SMALL_TEXT // len(LINE)))
        with open(self.update, "wb") as f:
            f.write(os.urandom(UPDATE))
        rng = random.Random(7)
        self.near = [rng.randrange(1 << 20) for _ in range(300_000)]  # within 1 MiB
        self.far = [rng.randrange(TEXT - 200) for _ in range(62_000)]  # across 64 MiB
        self.pages = [rng.randrange(TEXT >> 12) << 12 for _ in range(62_000)]
        self.spots = [rng.randrange(UPDATE - 64) for _ in range(100_000)]
        self.line_starts = [rng.randrange(SMALL_TEXT) for _ in range(100_000)]
        with open(self.big, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(BIG >> 20):
                f.write(block)
        with open(self.text, "w") as f:
            block = "".join(chr(32 + i % 95) for i in range(1 << 16)) + "\n"
            f.write(block * (TEXT // len(block)))

    # Each workload takes an opener and returns something that both sides must agree on.
    def w_str(self, op):
        with op(self.out, "w") as f:
            for _ in range(N_LINES):
                f.write(LINE)
        return OnDisk(self.out)

    def w_bytes(self, op):
        with op(self.out, "wb") as f:
            for _ in range(N_LINES):
                f.write(LINE_B)
        return OnDisk(self.out)

    def w_mixed(self, op):
        with op(self.out, "wb") as f:
            for _ in range(300):
                for piece in MIXED:
                    f.write(piece)
        return OnDisk(self.out)

    def w_writelines(self, op):
        lines = [LINE] * 100_000
        with op(self.out, "w") as f:
            for _ in range(5):
                f.writelines(lines)
        return OnDisk(self.out)

    def r_iter(self, op):
        n = 0
        with op(self.lines, "r") as f:
            for line in f:
                n += len(line)
        return n

    def r_readline(self, op):
        n = 0
        with op(self.lines, "r") as f:
            while line := f.readline():
                n += len(line)
        return n

    def r_readlines(self, op):
        with op(self.lines, "r") as f:
            lines = f.readlines()
        return len(lines), lines[-1]

    def r_read_bin(self, op):
        with op(self.big, "rb") as f:
            return hashlib.blake2b(f.read()[::4096]).hexdigest()

    def r_read_text(self, op):
        with op(self.text, "r") as f:
            data = f.read()
        return len(data), data[-100:]

    def r_read_chunks(self, op):
        n = 0
        with op(self.big, "rb") as f:
            while chunk := f.read(65536):
                n += len(chunk)
        return n

    def r_read_small(self, op):
        n = 0
        with op(self.big, "rb") as f:
            for _ in range(50_000):
                n += len(f.read(1000))
        return n

    def r_readinto(self, op):
        buf = bytearray(1 << 20)
        n = 0
        with op(self.big, "rb") as f:
            while got := f.readinto(buf):
                n += got
        return n

    def small_files(self, op):
        payload = "x" * 99 + "\n"
        names = [os.path.join(self.small_dir, f"s{i % 100}") for i in range(10_000)]
        for name in names:
            f = op(name, "w")
            f.write(payload)
            f.close()
        return OnDisk(names[-1])

    def seek_tell(self, op):
        total = 0
        with op(self.big, "rb") as f:
            for i in range(1_000_000):
                f.seek((i * 7919) % 4_000_000)
                total += f.tell()
        return total

    # Scattered access: every offset makes the stream leave what it holds.
    def seek_tell_random(self, op):
        total = 0
        with op(self.big, "rb") as f:
            for off in self.near:
                f.seek(off)
                total += f.tell()
        return total

    def seek_read_random(self, op):
        h = hashlib.blake2b()
        with op(self.big, "rb") as f:
            for off in self.far:
                f.seek(off)
                h.update(f.read(200))
        return h.hexdigest()

    def seek_readinto_pages(self, op):
        h = hashlib.blake2b()
        page = bytearray(4096)
        with op(self.big, "rb") as f:
            for off in self.pages:
                f.seek(off)
                f.readinto(page)
                h.update(page[-16:])  # hashing the whole page would cost more than reading it
        return h.hexdigest()

    def update_in_place(self, op):
        # The same writes each run, so the file ends the same whichever side ran last.
        h = hashlib.blake2b()
        with op(self.update, "r+b") as f:
            for i, off in enumerate(self.spots):
                f.seek(off)
                f.write(i.to_bytes(8, "little") * 8)
                f.seek(off)
                h.update(f.read(64))
        return h.hexdigest()

    def seek_readline_random(self, op):
        total = 0
        with op(self.small_text, "r") as f:
            for off in self.line_starts:
                f.seek(off)
                total += len(f.readline())
        return total


# What the work costs at the least, measured here with plain os calls or in-memory objects: the
# system calls it must make, or the one copy into fresh memory. Printed under the workload.
# Binary descriptors: Windows opens text ones by default, which stop at a Ctrl-Z byte.
BINARY = getattr(os, "O_BINARY", 0)


class Limits:
    def small_files(bench):
        payload = b"x" * 99 + b"\n"
        for i in range(10_000):
            fd = os.open(os.path.join(bench.small_dir, f"s{i % 100}"),
                         os.O_WRONLY | os.O_CREAT | os.O_TRUNC | BINARY, 0o666)
            os.write(fd, payload)
            os.close(fd)

    def update_in_place(bench):
        h = hashlib.blake2b()
        fd = os.open(bench.update, os.O_RDWR | BINARY)
        for i, off in enumerate(bench.spots):
            os.pwrite(fd, i.to_bytes(8, "little") * 8, off)
            h.update(os.pread(fd, 64, off))
        os.close(fd)

    def read_whole(bench):
        fd = os.open(bench.big, os.O_RDONLY | BINARY)
        os.read(fd, BIG)  # one read into a fresh bytes of the file's size
        os.close(fd)

    def read_chunks(bench):
        fd = os.open(bench.big, os.O_RDONLY | BINARY)
        while os.read(fd, 65536):
            pass
        os.close(fd)

    def readinto(bench):
        buf, fd = bytearray(1 << 20), os.open(bench.big, os.O_RDONLY | BINARY)
        while os.readv(fd, [buf]):
            pass
        os.close(fd)

    def pages(bench):
        page, fd = bytearray(4096), os.open(bench.big, os.O_RDONLY | BINARY)
        for off in bench.pages:
            os.preadv(fd, [page], off)
        os.close(fd)


LIMITS = {
    "read() 256MiB rb": ("os.read of the whole file", Limits.read_whole),
    "read(65536) loop": ("os.read(65536) loop", Limits.read_chunks),
    "readinto 1MiB loop": ("os.readv loop", Limits.readinto),
    "open+write+close 10k": ("os.open+os.write+os.close", Limits.small_files),
    "seek+readinto 4KiB page": ("os.preadv", Limits.pages),
    "update in place r+b": ("os.pwrite+os.pread", Limits.update_in_place),
}
# Windows has no positioned or vectored os calls: those limits are not measured there.
LIMITS = {name: (what, limit) for name, (what, limit) in LIMITS.items()
          if all(hasattr(os, call) for call in re.findall(r"os\.(\w+)", what))}

WORKLOADS = [
    ("write str 41B x1M", Bench.w_str), ("write bytes 41B x1M", Bench.w_bytes),
    ("write mixed sizes", Bench.w_mixed), ("writelines 100k x5", Bench.w_writelines),
    ("for line in f (1M)", Bench.r_iter), ("readline loop (1M)", Bench.r_readline),
    ("readlines (1M)", Bench.r_readlines), ("read() 256MiB rb", Bench.r_read_bin),
    ("read() 64MiB text", Bench.r_read_text), ("read(65536) loop", Bench.r_read_chunks),
    ("read(1000) x50k", Bench.r_read_small),
    ("readinto 1MiB loop", Bench.r_readinto), ("open+write+close 10k", Bench.small_files),
    ("seek+tell x1M", Bench.seek_tell), ("seek+tell random 300k", Bench.seek_tell_random),
    ("seek+read(200) random", Bench.seek_read_random),
    ("seek+readinto 4KiB page", Bench.seek_readinto_pages),
    ("update in place r+b", Bench.update_in_place),
    ("seek+readline random", Bench.seek_readline_random),
]


def timed(fn, bench):
    # Each side writes a new file: truncating the other side's still-dirty one would be timed.
    if os.path.exists(bench.out):
        os.unlink(bench.out)
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    return elapsed, digest(result) if isinstance(result, OnDisk) else result


def peak_memory(which, path):
    """Peak resident growth (bytes) of reading `path` whole, in a fresh interpreter."""
    # VmHWM belongs to this process image; ru_maxrss would carry the parent's peak over exec.
    code = f"""
from _veltrani_core import AsyncFile
def hwm():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmHWM"))
f = AsyncFile({path!r}, "rb").open() if {which!r} == "AsyncFile" else open({path!r}, "rb")
base = hwm()
data = f.read()
print(hwm() - base, len(data))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    grew, size = map(int, out.stdout.split())
    return grew / size


def machine():
    # platform asks WMI on Windows, which wine lacks (the process aborts): the interpreter's own
    # view of the system there.
    if sys.platform == "win32":
        v = sys.getwindowsversion()
        arch = os.environ.get("PROCESSOR_ARCHITECTURE", "?")
        return f"{arch}, {os.cpu_count()} cores, Windows {v.major}.{v.minor}.{v.build}"
    return f"{platform.machine()}, {os.cpu_count()} cores, {platform.platform()}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    print(f"machine: {machine()}, Python {platform.python_version()}; median of {args.rounds} rounds")
    print(f"{'workload':<24}{'AsyncFile':>11}{'open()':>11}{'io/AsyncFile':>14}")
    print("(a limit row: the least that work costs on this machine, and how far AsyncFile is from it)")
    ratios = []
    with tempfile.TemporaryDirectory() as tmp:
        bench = Bench(tmp)
        for name, work in WORKLOADS:
            if args.only not in name:
                continue
            times = {"ours": [], "io": []}
            for round_ in range(args.rounds):
                # Alternate which side goes first, so neither inherits the other's warm-up.
                if round_ % 2:
                    t_ours, r_ours = timed(lambda: work(bench, ours), bench)
                    t_io, r_io = timed(lambda: work(bench, builtin), bench)
                else:
                    t_io, r_io = timed(lambda: work(bench, builtin), bench)
                    t_ours, r_ours = timed(lambda: work(bench, ours), bench)
                if r_io != r_ours:
                    sys.exit(f"{name}: results differ: {r_ours!r} != {r_io!r}")
                times["io"].append(t_io)
                times["ours"].append(t_ours)
            m_ours, m_io = statistics.median(times["ours"]), statistics.median(times["io"])
            ratios.append((m_io / m_ours, name))
            print(f"{name:<24}{m_ours * 1e3:>9.1f}ms{m_io * 1e3:>9.1f}ms{m_io / m_ours:>13.2f}x")
            if name in LIMITS:
                what, limit = LIMITS[name]
                m_limit = statistics.median(timed(lambda: limit(bench), bench)[0] for _ in range(args.rounds))
                print(f"  limit: {what:<35} {m_limit * 1e3:>9.1f}ms  AsyncFile at {m_ours / m_limit:.2f}x of it")
        if bench.small_dir != tmp:
            shutil.rmtree(bench.small_dir)
        # Peak memory is read from procfs: not on Windows (under wine it shows no growth at all).
        if (not args.only or "memory" in args.only or "256MiB" in args.only) and sys.platform != "win32":
            print(f"peak memory of read() 256MiB rb, x file size: AsyncFile "
                  f"{peak_memory('AsyncFile', bench.big):.2f}, open() {peak_memory('io', bench.big):.2f}")
    if ratios:
        geo = math.exp(sum(math.log(r) for r, _ in ratios) / len(ratios))
        worst = min(ratios)
        print(f"geometric mean {geo:.2f}x; worst {worst[0]:.2f}x ({worst[1]})")


if __name__ == "__main__":
    main()
