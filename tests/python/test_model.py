"""Model-based check: random operation sequences run against AsyncFile and against a small
in-memory model of the file's bytes, position and pending writes, in all twelve
modes (the six binary ones on Windows). Every result must agree, and so must the bytes on disk
after each close.

unittest runs a few thousand sequences; for more, by hand:
    PYTHONPATH=build python3 tests/python/test_model.py --seed 1 --count 100000
A failure prints its seed and a shrunk reproduction as Python code.

The fork check runs random turns of a parent and the processes it forks (children and a
grandchild) on one object, once with AsyncFile and once with open(): every result and the final
file must agree.
"""
import argparse
import os
import pickle
import random
import select
import sys
import tempfile
import unittest

from _veltrani_core import AsyncFile
from support import posix_only

MODES = ["r", "rb", "w", "wb", "a", "ab", "r+", "r+b", "w+", "w+b", "a+", "a+b"]
# The model keeps bytes as they are: on Windows, where the C runtime translates newlines in text
# modes, it checks the binary modes (the text modes are compared with open() elsewhere).
if os.name != "posix":
    MODES = [m for m in MODES if "b" in m]
BUFFER, THROUGH, WRITELINES_FLUSH = 262144, 131072, 524288
CHUNK = READ1 = 262144
STREAM = 4096  # the stream's own buffer: reads at least this large bypass it
DEFAULT_COUNT = 5000


class Payload(bytes):
    """Bytes that print as the short expression that made them, for readable reproductions."""

    def __new__(cls, pattern, size):
        obj = super().__new__(cls, (pattern * (size // max(len(pattern), 1) + 1))[:size])
        obj.expr = repr(pattern) if len(pattern) == size else f"({pattern!r} * {size})[:{size}]"
        return obj

    def __repr__(self):
        return self.expr


class Failed(Exception):
    """An outcome that the object reports as an exception: (type, message)."""

    def __init__(self, kind, message=None):
        super().__init__(kind, message)
        self.outcome = (kind, message)


def fail(message):
    raise Failed(RuntimeError, message)


class Model:
    def __init__(self, mode, content):
        letters = mode.replace("b", "").replace("+", "")
        update = "+" in mode
        self.kind, self.binary = letters, "b" in mode
        self.can_read = letters == "r" or update
        self.can_write = letters != "r" or update
        self.append = letters == "a"
        self.data = bytearray(content)  # the file as the stream sees it
        self.is_open = False
        self.pos = 0
        self.pending = bytearray()

    # -- helpers mirroring the object's internal steps
    def require_open(self):
        if not self.is_open:
            fail("File not open")

    def put(self, piece):
        if self.append:
            self.data += piece
            self.pos = len(self.data)
            return
        end = self.pos + len(piece)
        if self.pos > len(self.data):
            self.data += bytes(self.pos - len(self.data))
        self.data[self.pos:end] = piece
        self.pos = end

    def flush_pending(self):
        if not self.pending:
            return
        if not self.can_write:
            fail("Failed to flush write buffer")
        self.put(bytes(self.pending))
        self.pending.clear()

    def store(self, piece):
        if len(piece) <= THROUGH:
            if len(self.pending) + len(piece) > BUFFER:
                self.flush_pending()
            self.pending += piece
            return
        self.flush_pending()
        if not self.can_write:
            fail("Failed to write complete data")
        self.put(piece)

    def take(self, n):
        """Consume up to n bytes at the stream position."""
        if not self.can_read or self.pos >= len(self.data):
            return b""
        out = bytes(self.data[self.pos:self.pos + n])
        self.pos += len(out)
        return out

    def block(self, data):
        return data if self.binary else decode(data)

    def begin_read(self):
        self.require_open()
        self.flush_pending()

    # -- the operations, as Python sees them
    def open(self):
        self.close()
        if self.kind == "w":
            self.data = bytearray()
        self.pos = len(self.data) if self.kind == "a" and not self.can_read else 0
        self.pending.clear()
        self.is_open = True
        return "self"

    def close(self):
        if self.is_open:
            self.flush_pending()
            self.is_open = False

    def drop(self):
        if self.is_open:
            try:
                self.flush_pending()
            except Failed:
                pass  # the destructor has no one to tell
            self.is_open = False

    def write(self, data):
        raw = data.encode() if isinstance(data, str) else data
        self.require_open()
        self.store(raw)
        return len(raw)

    def writelines(self, lines):
        self.require_open()
        raws = [x.encode() if isinstance(x, str) else x for x in lines]
        for raw in raws:
            self.store(raw)
        if sum(map(len, raws)) > WRITELINES_FLUSH:
            self.flush_pending()

    def flush(self):
        self.require_open()
        self.flush_pending()

    def read(self, size=None):
        self.begin_read()
        data = self.take(len(self.data) if size is None else size)
        if not self.binary and size is not None and len(data) == size:
            data += self.take(cut_short(data))  # text reads end on a character
        return self.block(data)

    def readall(self):
        return self.read()

    def read1(self, size=None):
        return self.read(READ1 if size is None else size)

    def readinto(self, n):
        self.begin_read()
        got = self.take(n)
        return len(got), got + bytes(n - len(got))

    def readline(self, size=None):
        self.begin_read()
        start = self.pos
        line = self.line(size)
        if size is not None and len(line) == size:
            line += self.line(cut_short(line))  # lines are str in every mode
        try:
            return decode(line)
        except Failed:
            self.pos = start  # a line that is no text is given back
            raise

    def line(self, size):
        if not self.can_read:
            return b""
        end = self.data.find(b"\n", self.pos) + 1 or len(self.data)
        return self.take(end - self.pos if size is None else min(end - self.pos, size))

    def next(self):
        line = self.readline()
        if not line:
            raise Failed(StopIteration)
        return line

    def readlines(self):
        self.begin_read()
        start = self.pos
        rest = self.take(len(self.data)) if self.can_read else b""
        try:
            return [decode(line) for line in rest.splitlines(keepends=True)]
        except Failed:
            self.pos = start  # every line comes back
            raise

    def seek(self, offset, whence=0):
        self.require_open()
        self.flush_pending()
        if whence not in (0, 1, 2):
            fail("Seek failed")
        target = (0, self.pos, len(self.data))[whence] + offset
        if target < 0:
            fail("Seek failed")
        self.pos = target
        return target

    def tell(self):
        self.require_open()
        if self.append and self.pending:  # they land at the end
            return len(self.data) + len(self.pending)
        return self.pos + len(self.pending)

    def truncate(self, size=None):
        self.require_open()
        self.flush_pending()
        length = self.pos if size is None else size
        if not self.can_write:
            fail("Truncate failed")
        del self.data[length:]
        self.data += bytes(length - len(self.data))

    def seekable(self):
        return self.is_open

    def writable(self):
        return self.can_write


def cut_short(data):
    """How many bytes the UTF-8 character cut off at the end of data lacks."""
    for back in range(1, min(len(data), 3) + 1):
        c = data[-back]
        if c & 0xC0 == 0x80:
            continue
        length = 2 if c & 0xE0 == 0xC0 else 3 if c & 0xF0 == 0xE0 else 4 if c & 0xF8 == 0xF0 else 1
        return max(length - back, 0)
    return 0


def decode(raw):
    try:
        return raw.decode()
    except UnicodeDecodeError:
        raise Failed(UnicodeDecodeError) from None


# ---- random sequences ----

def random_bytes(rng):
    roll = rng.random()
    if roll < 0.08:  # around the write-through and buffer limits
        size = rng.choice([THROUGH - 1, THROUGH, THROUGH + 1, BUFFER - 1, BUFFER, BUFFER + 1])
        return Payload(rng.choice([b"x", b"ab\n", b"line\n"]), size)
    alphabet = [b"a", b"b", b"\n", b"\n", "é".encode()] + ([b"\xff"] if roll < 0.2 else [])
    small = b"".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))
    return Payload(small, len(small))


def random_size(rng):
    return rng.choice([None, 0, 1, 2, 3, 5, 10, 100, STREAM - 1, STREAM, CHUNK, 2 ** 40])


def random_op(rng):
    name = rng.choices(
        ["write", "write_text", "writelines", "flush", "read", "readall", "read1", "readinto",
         "readline", "next", "readlines", "seek", "tell", "truncate", "close", "open", "drop"],
        [14, 6, 3, 2, 5, 1, 2, 2, 6, 4, 2, 5, 4, 2, 2, 2, 1])[0]
    if name == "write":
        return ("write", random_bytes(rng))
    if name == "write_text":
        return ("write", rng.choice(["", "x", "é\n", "text\nmore", "\n\n"]))
    if name == "writelines":
        return ("writelines", [random_bytes(rng) for _ in range(rng.randint(0, 4))])
    if name in ("read", "read1", "readline"):
        return (name, random_size(rng))
    if name == "readinto":
        return ("readinto", rng.choice([0, 1, 7, 64, STREAM, STREAM + 1]))
    if name == "seek":
        return ("seek", rng.choice([rng.randint(-3, 40), STREAM + rng.randint(-2, 2)]), rng.choice([0, 0, 1, 2, 3]))
    if name == "truncate":
        return ("truncate", rng.choice([None, 0, 3, 50]))
    return (name,)


def random_case(seed):
    rng = random.Random(seed)
    mode = rng.choice(MODES)
    content = random_bytes(rng) if rng.random() < 0.7 else b""
    ops = [("open",)] + [random_op(rng) for _ in range(rng.randint(1, 25))]
    if rng.random() < 0.2:
        # Read (often exactly) to the end in small steps, write, step back into what was read.
        step = ("readline", None) if rng.random() < 0.5 else ("read", rng.choice([1, 2, 3, 5]))
        ops += [("seek", 0, 0)] + [step] * rng.randint(1, 6) + [
            ("write", rng.choice([b"XY", b"Z\n", "é"])), ("seek", -rng.randint(1, 4), 1),
            ("read", 3), ("readline", None)]
    return mode, content, ops + [("close",)]


# ---- running a case against both ----

def outcome(fn):
    try:
        return ("ok", fn())
    except Failed as f:
        return f.outcome
    except UnicodeDecodeError:
        return (UnicodeDecodeError, None)
    except StopIteration:
        return (StopIteration, None)
    except (RuntimeError, ValueError) as e:
        return (type(e), str(e))


def run_real(f, op, path, mode):
    name, args = op[0], op[1:]
    if name == "open":
        return f, outcome(lambda: "self" if f.open() is f else "other")
    if name == "drop":
        return AsyncFile(path, mode), ("ok", None)
    if name == "next":
        return f, outcome(lambda: next(f))
    if name == "readinto":
        buf = bytearray(args[0])
        result = outcome(lambda: f.readinto(buf))
        return f, (result if result[0] != "ok" else ("ok", (result[1], bytes(buf))))
    return f, outcome(lambda: getattr(f, name)(*args))


def run_model(model, op):
    name, args = op[0], op[1:]
    return outcome(lambda: getattr(model, name)(*args))


def check(mode, content, ops, path):
    """Runs a case; returns None when all agrees, else a description of the first mismatch."""
    with open(path, "wb") as out:
        out.write(content)
    f = AsyncFile(path, mode)
    model = Model(mode, content)
    try:
        for step, op in enumerate(ops):
            f, got = run_real(f, op, path, mode)
            want = run_model(model, op)
            if got != want:
                return f"step {step} {op!r:.300}: AsyncFile gave {got!r:.300}, model {want!r:.300}"
            if op[0] in ("close", "drop") and not model.is_open:
                with open(path, "rb") as disk:
                    on_disk = disk.read()
                if on_disk != model.data:
                    return f"step {step} {op!r:.300}: disk holds {on_disk!r:.200}, model {bytes(model.data)!r:.200}"
        return None
    finally:
        del f


def shrink(mode, content, ops, path):
    """Drops operations one at a time while the case still fails."""
    i = 1
    while i < len(ops):
        trial = ops[:i] + ops[i + 1:]
        if check(mode, content, trial, path):
            ops = trial
        else:
            i += 1
    return ops


def reproduction(mode, content, ops, path):
    lines = [f"from _veltrani_core import AsyncFile", f"open({path!r}, 'wb').write({content!r})",
             f"f = AsyncFile({path!r}, {mode!r})"]
    for op in ops:
        name, args = op[0], op[1:]
        if name == "drop":
            lines.append(f"del f; f = AsyncFile({path!r}, {mode!r})")
        elif name == "next":
            lines.append("print(next(f))")
        elif name == "readinto":
            lines.append(f"print(f.readinto(bytearray({args[0]})))")
        else:
            lines.append(f"print(f.{name}({', '.join(map(repr, args))}))")
    return "\n".join(lines)


def run(seed, count, tmpdir):
    """Returns (first problem or None, number of operations checked)."""
    path = os.path.join(tmpdir, "model")
    steps = 0
    for s in range(seed, seed + count):
        mode, content, ops = random_case(s)
        steps += len(ops)
        problem = check(mode, content, ops, path)
        if problem:
            small = shrink(mode, content, ops, path)
            return (f"seed {s} ({mode!r}): {check(mode, content, small, path)}\n"
                    f"reproduction:\n{reproduction(mode, content, small, path)}"), steps
    return None, steps


# ---- turns of forked processes, against open() ----

FORK_MODES = ["w", "wb", "w+b", "r+b"]


def fork_op(rng, mode, who):
    line = lambda: f"p{who} {rng.randint(0, 99)}\n" * rng.choice([1, 1, 2, 50])
    data = line if mode == "w" else lambda: line().encode()
    reads = 0 if mode in ("w", "wb") else 3  # reads on a write-only stream differ by design
    ops = [("write", data()), ("writelines", [data() for _ in range(rng.randint(1, 3))]), ("flush",),
           ("tell",), ("seek", rng.randint(0, 60)), ("seek", 0, 1), ("seek", 0, 2),
           ("truncate", rng.choice([None, 10, 40])), ("read",), ("readline",)]
    return rng.choices(ops, [8, 2, 2, 3, 2, 2, 2, 1, reads, reads])[0]


def fork_case(seed):
    """A mode and a plan: ("turn", who, ops) and ("fork", parent, child) steps, ending with the
    first process. Processes are numbered in the order they are made; 0 opens the file."""
    rng = random.Random(seed)
    mode = rng.choice(FORK_MODES)
    turn = lambda who: ("turn", who, [fork_op(rng, mode, who) for _ in range(rng.randint(1, 4))])
    plan, alive = [turn(0)], [0]
    for child in range(1, rng.randint(1, 3) + 1):
        # A grandchild now and then: a child that forks.
        plan.append(("fork", rng.choice(alive[1:] if len(alive) > 1 and rng.random() < 0.5 else alive), child))
        alive.append(child)
        turns = [rng.choice(alive) for _ in range(rng.randint(1, 3))]
        plan += [turn(who) for who in turns + ([child] if child not in turns else [])]
    plan.append(turn(0))
    return mode, plan


def run_forks(make, mode, plan, tmp):
    """Runs the plan in real processes, one at a time, each waking the next through its pipe.
    Returns every process's results and the file's final bytes."""
    path = os.path.join(tmp, "forked")
    with open(path, "wb") as out:
        out.write(b"0123456789" * 5)  # what r+b starts from
    f = make(path, mode)
    count = 1 + sum(step[0] == "fork" for step in plan)
    wake = [os.pipe() for _ in range(count)]
    actor = lambda step: step[1]
    last = {actor(step): i for i, step in enumerate(plan)}
    me, results, children = 0, [], []
    os.write(wake[0][1], b".")
    try:
        for i, step in enumerate(plan):
            if actor(step) != me:
                continue
            if not select.select([wake[me][0]], [], [], 20)[0]:
                raise TimeoutError(f"process {me} waited too long")
            os.read(wake[me][0], 1)
            if step[0] == "fork":
                f.flush()
                pid = os.fork()
                if pid == 0:
                    me, results, children = step[2], [], []
                    continue  # the child's first step is later in the plan
                children.append(pid)
            else:
                for op in step[2]:
                    try:
                        got = getattr(f, op[0])(*op[1:])
                        got = got.decode() if op[0] == "readline" and isinstance(got, bytes) else got  # AsyncFile reads lines as str
                        results.append((op, None if op[0] == "truncate" else got))
                    except Exception as e:
                        results.append((op, f"{type(e).__name__}: {e}"))
                f.flush()
            done = last[me] == i
            if done:  # before the next wakes, so that the first finds it at the end
                with open(f"{path}.{me}", "wb") as out:
                    pickle.dump(results, out)
            if i + 1 < len(plan):
                os.write(wake[actor(plan[i + 1])][1], b".")
            if done:
                break
    except BaseException:
        if me != 0:
            os._exit(1)
        raise
    if me != 0:
        os._exit(0)
    f.close()
    for pid in children:
        os.waitpid(pid, 0)
    for r, w in wake:
        os.close(r)
        os.close(w)
    outcomes = []
    for who in range(count):
        with open(f"{path}.{who}", "rb") as out:
            outcomes.append(pickle.load(out))
        os.unlink(f"{path}.{who}")
    with open(path, "rb") as disk:
        return outcomes, disk.read()


def check_forks(seed, tmp):
    mode, plan = fork_case(seed)
    ours = run_forks(lambda path, mode: AsyncFile(path, mode).open(), mode, plan, tmp)
    theirs = run_forks(lambda path, mode: open(path, mode, newline=None if "b" in mode else ""), mode, plan, tmp)
    if ours == theirs:
        return None
    for who, (a, b) in enumerate(zip(ours[0], theirs[0])):
        for x, y in zip(a, b):
            if x != y:
                return f"seed {seed} ({mode!r}), process {who}: AsyncFile {x!r:.300}, open() {y!r:.300}\nplan {plan!r:.3000}"
    return f"seed {seed} ({mode!r}): AsyncFile left {ours[1]!r:.500}, open() {theirs[1]!r:.500}\nplan {plan!r:.3000}"


class ModelCheck(unittest.TestCase):
    def test_forked_turns_agree_with_open(self):
        posix_only(self, "fork")
        with tempfile.TemporaryDirectory() as tmp:
            for seed in range(int(os.environ.get("FORK_COUNT", 150))):
                problem = check_forks(seed, tmp)
                self.assertIsNone(problem, problem)

    def test_random_sequences_agree_with_the_model(self):
        with tempfile.TemporaryDirectory() as tmp:
            problem, _ = run(int(os.environ.get("MODEL_SEED", "1")),
                             int(os.environ.get("MODEL_COUNT", DEFAULT_COUNT)), tmp)
        self.assertIsNone(problem, problem)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=DEFAULT_COUNT)
    cli = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        found, steps = run(cli.seed, cli.count, tmp)
    print(found or f"{cli.count} sequences ({steps} operations) from seed {cli.seed}: all agree")
    sys.exit(1 if found else 0)
