"""What AsyncFile costs against the built-in open() for the same work, counted rather than timed:
system calls and bytes read per operation (strace), and memory per object (/proc/self/status and
mallinfo2). Each side runs in its own process on the same data; counts do not wobble the way
times do on a shared machine. The last column is AsyncFile/open(): at most 1 means no dearer.
Usage: costs.py [--only NAME_SUBSTRING]   (needs strace)
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

MARK = "/veltrani-costs-mark"  # a stat of this path brackets the measured operations
READS = {"read", "pread64", "readv", "preadv", "preadv2"}

# Each side gets OPEN(path, mode); the data files are made once for both.
PRELUDE = """
import os, random, resource, sys
from _veltrani_core import AsyncFile
ours = sys.argv[1] == "ours"
def OPEN(path, mode):
    if ours:
        return AsyncFile(path, mode).open()
    return open(path, mode) if "b" in mode else open(path, mode, encoding="utf-8")
def mark():
    try:
        os.stat({mark!r})
    except OSError:
        pass
LINE = "2026-12-08 12:00:00 INFO request ok 0001\\n"
TMP = {tmp!r}
BIG, LINES, MIB = TMP + "/big.bin", TMP + "/lines.txt", TMP + "/mib.txt"
RNG = random.Random(7)
SPOTS = [RNG.randrange(1 << 20) for _ in range(4000)]
"""

# (workload, file, mode, loop body run N times with i and f, N)
CALLS = [
    ("read(131072) loop, 64 MiB rb", "BIG", "rb", "f.read(131072)", 512),
    ("read(1048576) loop", "BIG", "rb", "f.read(1048576)", 64),
    ("read(1000) loop", "BIG", "rb", "f.read(1000)", 20000),
    ("read() to the end, 64 MiB rb", "BIG", "rb", "f.seek(0); f.read()", 4),
    ("mode a: write(41 B) + flush()", "TMP + '/log'", "a", "f.write(LINE); f.flush()", 2000),
    ("seek+write(64)+seek+read(64), r+b", "BIG", "r+b",
     "f.seek(SPOTS[i]); f.write(b'w' * 64); f.seek(SPOTS[i] + 640); f.read(64)", 2000),
    ("seek+readline at random offsets", "MIB", "r", "f.seek(SPOTS[i]); f.readline()", 4000),
    ("for line in f (per line)", "LINES", "r", "next(f)", 200000),
    ("open+write(41 B)+close", "TMP + '/small'", "w",
     "g = OPEN(TMP + '/small%d' % (i % 50), 'w'); g.write(LINE); g.close()", 1000),
]

MEMORY = """
libc = __import__("ctypes").CDLL(None)
class Mallinfo2(__import__("ctypes").Structure):
    _fields_ = [(n, __import__("ctypes").c_size_t) for n in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
libc.mallinfo2.restype = Mallinfo2
def heap():
    m = libc.mallinfo2()
    return m.uordblks + m.hblkhd
def status(key):
    with open("/proc/self/status") as s:
        return next(int(l.split()[1]) * 1024 for l in s if l.startswith(key + ":"))
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
out = {}
N = 1000
rss = status("VmRSS")
files = [OPEN(MIB, "r") for _ in range(N)]
for f in files:
    f.readline()
out["1,000 objects after one readline of 1 MiB: RSS per object"] = (status("VmRSS") - rss) / N
for f in files:
    f.close()
out["the same after close(): RSS per object still held"] = (status("VmRSS") - rss) / N
del files
h = heap()
files = [OPEN(TMP + "/w%d" % i, "w") for i in range(N)]
for f in files:
    f.write("0123456789")
out["mode w, one write(10 B): heap per object"] = (heap() - h) / N
for f in files:
    f.close()
del files
lines = [LINE] * 1_000_000
with open("/proc/self/clear_refs", "w") as c:
    c.write("5")  # the peak so far belongs to the cases above
rss = status("VmRSS")
with OPEN(TMP + "/many", "w") as f:
    f.writelines(lines)
out["writelines of 1M lines of 41 B: peak RSS growth"] = status("VmHWM") - rss
print(__import__("json").dumps(out))
"""


def script(tmp, body):
    return textwrap.dedent(PRELUDE).format(mark=MARK, tmp=tmp) + textwrap.dedent(body)


def count_calls(tmp, env, side, path, mode, body, n):
    code = script(tmp, f"""
        f = OPEN({path}, {mode!r})
        for i in range({min(n, 200)}):  # warm up: what a first call sets up is not counted
            {body}
        f.seek(0)
        mark()
        for i in range({n}):
            {body}
        mark()
        f.close()
        """)
    with tempfile.NamedTemporaryFile("r", dir=tmp, suffix=".strace") as log:
        subprocess.run(["strace", "-f", "-qq", "-o", log.name, sys.executable, "-c", code, side],
                       env=env, check=True)
        lines = log.read().splitlines()
    marks = [i for i, line in enumerate(lines) if MARK in line]
    calls, read = 0, 0
    for line in lines[marks[0] + 1:marks[1]]:
        call = line.split(None, 1)[1] if line[:1].isdigit() else line
        name = call.split("(", 1)[0]
        if not name.isidentifier():
            continue  # a resumed or unfinished call's second half
        calls += 1
        if name in READS and "=" in call:
            result = call.rsplit("=", 1)[1].split()[0]
            read += max(int(result), 0) if result.lstrip("-").isdigit() else 0
    return calls / n, read / n


def ratio(a, b):
    return f"{a / b:.2f}" if b else ("1.00" if a == b else "inf")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    if shutil.which("strace") is None:
        sys.exit("costs.py needs strace (Debian package strace; make costs installs it)")
    env = dict(os.environ, PYTHONMALLOC="malloc")  # every allocation where mallinfo2 sees it
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "big.bin"), "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(64):
                f.write(block)
        line = "2026-12-08 12:00:00 INFO request ok 0001\n"
        with open(os.path.join(tmp, "lines.txt"), "w") as f:
            f.write(line * 400_000)
        with open(os.path.join(tmp, "mib.txt"), "w") as f:
            f.write(line * ((1 << 20) // len(line) + 1))
        print(f"{'system calls and bytes read per operation':44} {'AsyncFile':>17} {'open()':>17}  ratio")
        for name, path, mode, body, n in CALLS:
            if args.only not in name:
                continue
            ours = count_calls(tmp, env, "ours", path, mode, body, n)
            theirs = count_calls(tmp, env, "io", path, mode, body, n)
            print(f"{name:44} {ours[0]:6.2f} calls {_size(ours[1]):>6} {theirs[0]:6.2f} calls "
                  f"{_size(theirs[1]):>6}  {ratio(ours[0], theirs[0])} calls, {ratio(ours[1], theirs[1])} bytes")
        if args.only in "memory":
            sides = [json.loads(subprocess.run([sys.executable, "-c", script(tmp, MEMORY), side], env=env,
                                               check=True, capture_output=True, text=True).stdout)
                     for side in ("ours", "io")]
            print(f"\n{'memory':56} {'AsyncFile':>9} {'open()':>9}  ratio")
            for key in sides[0]:
                print(f"{key:56} {_size(sides[0][key]):>9} {_size(sides[1][key]):>9}  "
                      f"{ratio(max(sides[0][key], 0), max(sides[1][key], 0))}")


def _size(n):
    for unit in ("B", "KiB", "MiB"):
        if abs(n) < 1024 or unit == "MiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


if __name__ == "__main__":
    main()
