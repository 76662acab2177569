"""Writes a log of a million lines, counts them back and reads it whole, with AsyncFile and
with the built-in open(), and prints how long each takes."""
import os
import tempfile
import time

from _veltrani_core import AsyncFile

LINES = 1_000_000


def write_log(f):
    for i in range(LINES):
        f.write(f"2026-12-08 12:00:00 INFO request {i:08d} ok\n")


def count_errors(f):
    return sum(1 for line in f if line.endswith("7 ok\n"))


def timed(label, work):
    start = time.perf_counter()
    result = work()
    return label, time.perf_counter() - start, result


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "app.log")

        def ours_write():
            with AsyncFile(path, "w").open() as f:
                write_log(f)

        def ours_read():
            with AsyncFile(path, "r").open() as f:
                return count_errors(f)

        def ours_slurp():
            with AsyncFile(path, "r").open() as f:
                return len(f.read())

        def io_slurp():
            with open(path, "r") as f:
                return len(f.read())

        def io_write():
            with open(path, "w") as f:
                write_log(f)

        def io_read():
            with open(path, "r") as f:
                return count_errors(f)

        rows = []
        for label, ours, io in [("write 1M lines", ours_write, io_write),
                                ("count 1M lines", ours_read, io_read),
                                ("read it whole", ours_slurp, io_slurp)]:
            _, t_io, r_io = timed(label, io)
            _, t_ours, r_ours = timed(label, ours)
            assert r_io == r_ours, (r_io, r_ours)
            rows.append((label, t_ours, t_io))
        print(f"log file: {os.path.getsize(path) / 1e6:.1f} MB, "
              f"{ours_read()} lines ending in 7 ok")
        print(f"{'work':<16}{'AsyncFile':>12}{'open()':>12}{'speed-up':>10}")
        for label, t_ours, t_io in rows:
            print(f"{label:<16}{t_ours * 1e3:>10.0f}ms{t_io * 1e3:>10.0f}ms{t_io / t_ours:>9.2f}x")


if __name__ == "__main__":
    main()
