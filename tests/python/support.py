"""Shared fixtures: a temp dir per test and helpers to look at the bytes on disk."""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

from _veltrani_core import AsyncFile


class FileTestCase(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.path = os.path.join(self.dir, "f")

    def put(self, data, path=None):
        with open(path or self.path, "wb") as f:
            f.write(data)

    def disk(self, path=None):
        with open(path or self.path, "rb") as f:
            return f.read()

    def size_on_disk(self):
        return os.stat(self.path).st_size

    def opened(self, mode="r", path=None):
        f = AsyncFile(path or self.path, mode).open()
        self.addCleanup(_close_quietly, f)
        return f


def _close_quietly(f):
    try:
        f.close()
    except RuntimeError:
        pass  # a test that left unwritable bytes pending; the destructor drops them


def run_python(code, *args, timeout=60, env=None):
    """Runs code in a fresh interpreter, for what could crash or hang this one."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True,
                          text=True, timeout=timeout, env=env)
