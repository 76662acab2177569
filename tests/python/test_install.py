"""pip-installs the project into a fresh virtual environment as a user would (the build
requirements come from the package index; pip's cache keeps that cheap) and checks what the user
gets: the module importable from anywhere, its metadata and license, a type stub that matches it
and types a user's script by mode under mypy --strict and basedpyright, and a clean uninstall.
Also that `python -m build` makes an sdist of exactly the tracked files and a wheel, and that the
sdist installs; the stub's docstrings and mode lists; that the README's examples run. And that the
module exports its entry point alone, so that it keeps its C++ runtime to itself when loaded next to
another extension with RTLD_GLOBAL.

The type checkers come from the project venv (make installs requirements-test.txt there)."""
import ast
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TOOLS = ROOT / ".venv" / "bin"
# A copy of the tests run against an installed wheel has no source tree to build from.
IN_TREE = (ROOT / "pyproject.toml").exists()
VERSION = re.search(r'^version = "(.+)"$', (ROOT / "pyproject.toml").read_text(), re.M)[1] if IN_TREE else None
DOC = "High-performance async file I/O for Python (C++ backend)"

# Run by the installed interpreter, outside the source tree: each name of AsyncFile with its
# parameters as the module reports them (pybind11 puts the signature in the first doc line).
PROBE = r"""
import importlib.metadata as md, json, re, _veltrani_core
from _veltrani_core import AsyncFile
names = {}
for name, value in vars(AsyncFile).items():
    if name in ("__module__", "__doc__") or name.startswith("_pybind11_"):  # the library's own
        continue
    if isinstance(value, property):
        names[name] = "property"
        continue
    head = value.__doc__.splitlines()[0]
    params = re.match(r"\w+\((.*)\) ->", head).group(1).split(", ")[1:]
    names[name] = [[p.split(":")[0], p.split(" = ")[1] if " = " in p else None] for p in params]
meta = md.metadata("veltrani_core")
metadata = {"version": meta["Version"], "license": meta["License-Expression"],
            "license_files": meta.get_all("License-File"),
            "license_text": md.distribution("veltrani_core").read_text("licenses/LICENSE"),
            "classifiers": meta.get_all("Classifier")}
print(json.dumps({"file": _veltrani_core.__file__, "doc": _veltrani_core.__doc__, "names": names,
                  "metadata": metadata}))
"""


def stub_class(text):
    return next(n for n in ast.parse(text).body if isinstance(n, ast.ClassDef) and n.name == "AsyncFile")


def is_overload(fn):
    return any(isinstance(d, ast.Name) and d.id == "overload" for d in fn.decorator_list)


def stub_names(text):
    """Each name of the stub's AsyncFile with its parameters: [name, default source or None]. The
    overloads of a name must share its parameters; the one default that a name has is taken from
    whichever overload gives it."""
    names = {}
    for fn in (n for n in stub_class(text).body if isinstance(n, ast.FunctionDef)):
        if any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
            names[fn.name] = "property"
            continue
        params = fn.args.posonlyargs + fn.args.args
        defaults = [None] * (len(params) - len(fn.args.defaults)) + [ast.unparse(d) for d in fn.args.defaults]
        found = [[p.arg, d] for p, d in zip(params, defaults)][1:]
        if fn.name in names:
            assert is_overload(fn), fn.name
            assert [p for p, _ in names[fn.name]] == [p for p, _ in found], fn.name
            found = [[p, d or e] for (p, d), (_, e) in zip(found, names[fn.name])]
        names[fn.name] = found
        # pybind11 gives unnamed arguments as arg0, arg1...: those must be positional-only.
        named = {p.arg for p in fn.args.args}
        assert not any(re.fullmatch(r"arg\d+", n) for n in named), fn.name
    return names


def mode_lists(text):
    """The stub's Literal mode aliases: {alias name: [values]}."""
    lists = {}
    for node in ast.parse(text).body:
        if isinstance(node, ast.AnnAssign) and node.target.id.endswith(("Mode", "ModeBytes")):
            values = node.value.slice
            lists[node.target.id] = [e.value for e in getattr(values, "elts", [values])]
    return lists


def run(*args, **kw):
    try:
        return subprocess.run(args, check=True, capture_output=True, text=True, timeout=900, **kw)
    except subprocess.CalledProcessError as e:
        raise AssertionError(f"{' '.join(map(str, args))} failed:\n{e.stdout}\n{e.stderr}") from None


ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}


def exported(module):
    """The names of the symbols that a shared object defines for others."""
    return [line.split()[-1] for line in run("nm", "-D", "--defined-only", str(module)).stdout.splitlines()]


def fresh_venv(tmp):
    venv = Path(tmp) / "venv"
    run(sys.executable, "-m", "venv", str(venv))
    return str(venv / "bin" / "python")


def pip_install(python, *args, cwd):
    run(python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", *args, env=ENV, cwd=cwd)


# A typed caller's script: every result assigned to the type its mode gives, with no cast, and no
# expression typed Any (mypy's flag here; basedpyright's reportAny fails the run on one too).
GOOD = """\
# mypy: disallow-any-expr
from __future__ import annotations
import os
import shutil
from pathlib import Path
from _veltrani_core import AsyncFile

def text(f: AsyncFile[str]) -> str:
    return f.read()

with AsyncFile(Path("x"), "w+").open() as t:
    s: str = t.read() + t.read(3) + t.read1() + t.read1(3) + t.readall() + text(t)
    s = t.readline() + t.readline(4) + t.readlines()[0] + next(t) + t.__anext__()
    for line in t:
        s = line
    s = t.name + t.mode
with AsyncFile(bytearray(b"x"), mode="+rb").open() as b:
    data: bytes = b.read() + b.read(3) + b.read1() + b.read1(None) + b.readall()
    s = b.readline() + b.readlines(10)[0] + next(b) + b.__anext__()
    for line in b:
        s = line
    n: int = b.readinto(bytearray(4)) + b.readinto(memoryview(bytearray(2)))
    n = b.write(b"x") + b.write("s") + b.write(bytearray(b"x")) + b.write(memoryview(b"x"))
    b.writelines([b"a", "b", bytearray(b"c")])
    n = b.seek(0) + b.seek(0, whence=2) + b.tell()
    b.flush()
    b.truncate()
    b.truncate(3)
    flag: bool = b.isatty() or b.seekable() or b.writable()
    with open("y", "wb") as out:
        shutil.copyfileobj(b, out)
    b.close()
appended: AsyncFile[bytes] = AsyncFile(os.fsencode("x"), b"ab").open()
entered: AsyncFile[str] = AsyncFile("x").__enter__()
"""

# Each line marked "# error" must be reported by both checkers, and nothing else.
BAD = """\
from _veltrani_core import AsyncFile
text: str = AsyncFile("x", "rb").open().read()  # error
block: bytes = AsyncFile("x", "r+").read(10)  # error
line: bytes = AsyncFile("x", "rb").readline()  # error
AsyncFile("x").open().seek("0")  # error
AsyncFile(3, "r")  # error

async def main() -> None:
    async with AsyncFile("x") as f:  # error
        pass
    await AsyncFile("x").open().read()  # error
"""

# A mode the stub does not list makes an AsyncFile[Any]: each line marked "# Any" reveals one.
ANY = """\
from _veltrani_core import AsyncFile

def any_mode(mode: str) -> None:
    reveal_type(AsyncFile("x", mode))  # Any
    reveal_type(AsyncFile("x", "rbb"))  # Any
    reveal_type(AsyncFile("x", mode=b"+b+r"))  # Any
"""


def marked(script, mark):
    return [i for i, line in enumerate(script.splitlines(), 1) if line.endswith(mark)]


class TreeTestCase(unittest.TestCase):
    def setUp(self):
        if not IN_TREE:  # skipped here rather than by a decorator, which 3.12.1 leaves uncounted
            self.skipTest("needs the source tree")


class BuildTestCase(TreeTestCase):
    def setUp(self):
        super().setUp()
        if sys.platform == "win32":
            # pip builds from the sources there with a Windows C++ compiler, and the type checkers
            # are the Linux venv's; make wheels installs and tests the Windows wheels instead.
            self.skipTest("builds from the sources in a venv: needs a Windows C++ compiler and the project venv")


class InstalledPackage(BuildTestCase):
    def test_install_use_check_stub_uninstall(self):
        with tempfile.TemporaryDirectory() as tmp:
            python = fresh_venv(tmp)
            build = Path(tmp) / "build"
            pip_install(python, f"--config-settings=build-dir={build}", str(ROOT), cwd=tmp)
            # A user's build shows warnings and never fails on one.
            ninja = (build / "build.ninja").read_text()
            self.assertIn("-Wall", ninja)
            self.assertNotIn("-Werror", ninja)

            live = json.loads(run(python, "-c", PROBE, env=ENV, cwd=tmp).stdout)
            site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))",
                            env=ENV, cwd=tmp).stdout.strip())
            self.assertEqual(Path(live["file"]).parent, site)
            self.assertEqual(exported(live["file"]), ["PyInit__veltrani_core"])
            self.assertEqual(live["doc"], DOC)
            meta = live["metadata"]
            self.assertEqual([meta["version"], meta["license"], meta["license_files"]],
                             [VERSION, "MIT", ["LICENSE"]])
            self.assertEqual(meta["license_text"], (ROOT / "LICENSE").read_text())
            self.assertIn("Typing :: Typed", meta["classifiers"])
            stub = site / "_veltrani_core-stubs" / "__init__.pyi"
            self.assertEqual(stub_names(stub.read_text()), live["names"])

            self.check_type_checkers(python, Path(tmp), stub)

            run(python, "-m", "pip", "uninstall", "--yes", "--quiet", "veltrani_core", env=ENV, cwd=tmp)
            left = [p.name for p in site.iterdir() if "veltrani" in p.name]
            self.assertEqual(left, [])

    def check_type_checkers(self, python, tmp, stub):
        scripts = {"good": GOOD, "bad": BAD, "any": ANY}
        for name, script in scripts.items():
            (tmp / f"{name}.py").write_text(script)
        # Checked as the interpreter running this test: the stub has to serve each version.
        target = f"{sys.version_info.major}.{sys.version_info.minor}"
        pyright = [str(TOOLS / "basedpyright"), "--pythonpath", python, "--pythonversion", target]
        mypy = [str(TOOLS / "mypy"), "--strict", "--python-executable", python, "--python-version", target]
        for name, command in {"basedpyright": pyright, "mypy": mypy}.items():
            self.assertTrue(Path(command[0]).exists(), f"{name} is missing from the project venv: run make venv")
            out = subprocess.run(command + [f"{n}.py" for n in scripts], cwd=tmp, capture_output=True,
                                 text=True, timeout=300).stdout
            # mypy: "bad.py:3: error: ...", pyright: "/path/bad.py:3:13 - error: ..."
            found = re.findall(r"(\w+)\.py:(\d+):(?:\d+ -)? (error|warning|note|information): (.*)", out)
            problems = [(f, int(n)) for f, n, kind, _ in found if kind in ("error", "warning")]
            revealed = [(f, int(n)) for f, n, kind, text in found if re.search(r'AsyncFile\[Any\]"$', text)]
            self.assertEqual(sorted(set(problems)), [("bad", n) for n in marked(BAD, "# error")], f"{name}: {out}")
            self.assertEqual(revealed, [("any", n) for n in marked(ANY, "# Any")], f"{name}: {out}")
        # Errors inside an installed stub are not reported against its users; pyright reports
        # them (an import the target version lacks) when given the stub itself. Its warning on
        # the Any of AsyncFile[Any] is the point of that overload.
        own = subprocess.run(pyright + [str(stub)], cwd=tmp, capture_output=True, text=True, timeout=300)
        self.assertRegex(own.stdout, r"(?m)^0 errors, ", f"basedpyright on the stub: {own.stdout}")


class Stub(TreeTestCase):
    def setUp(self):
        super().setUp()
        self.text = (ROOT / "module" / "_veltrani_core.pyi").read_text()

    def test_every_name_has_a_docstring(self):
        import _veltrani_core
        tree = ast.parse(self.text)
        self.assertEqual(ast.get_docstring(tree), DOC)
        cls = stub_class(self.text)
        self.assertTrue(ast.get_docstring(cls))
        documented = {fn.name for fn in cls.body if isinstance(fn, ast.FunctionDef) and ast.get_docstring(fn)}
        public = {n for n in vars(_veltrani_core.AsyncFile) if n not in ("__module__", "__doc__")
                  and not n.startswith("_pybind11_")}
        self.assertEqual(sorted(public - documented), [])

    def test_mode_lists_are_every_arrangement_and_select_the_read_type(self):
        from _veltrani_core import AsyncFile
        # Every order of one of r, w, a with "b" and "+" each at most once.
        arranged = {"".join(p) for letter in "rwa" for extra in ("", "b", "+", "b+")
                    for p in itertools.permutations(letter + extra)}
        lists = mode_lists(self.text)
        text = [m for m in arranged if "b" not in m]
        binary = [m for m in arranged if "b" in m]
        expected = {"_TextMode": text, "_BinaryMode": binary,
                    "_TextModeBytes": [m.encode() for m in text], "_BinaryModeBytes": [m.encode() for m in binary]}
        self.assertEqual({k: sorted(v) for k, v in lists.items()}, {k: sorted(v) for k, v in expected.items()})
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "f")
            for alias, read_type in [("_TextMode", str), ("_TextModeBytes", str),
                                     ("_BinaryMode", bytes), ("_BinaryModeBytes", bytes)]:
                for mode in lists[alias]:
                    with self.subTest(mode=mode):
                        with open(path, "wb") as f:
                            f.write(b"data")
                        with AsyncFile(path, mode).open() as f:
                            self.assertIsInstance(f.read(), read_type)


class Readme(TreeTestCase):
    def test_python_examples_run_as_written(self):
        blocks = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(), re.M | re.S)
        self.assertGreaterEqual(len(blocks), 3)
        env = {**ENV, "PYTHONPATH": os.path.dirname(__import__("_veltrani_core").__file__)}
        # In order and in one folder, as a reader tries them: a later one reads what one wrote.
        with tempfile.TemporaryDirectory() as tmp:
            for block in blocks:
                out = run(sys.executable, "-c", block, env=env, cwd=tmp).stdout
                for line in re.findall(r"print\(.*# (.*)", block):
                    self.assertIn(line, out)


# An extension built by g++ against the system's shared libstdc++, as a plugin host may load beside
# ours. Built without optimisation, which could drop an allocation that is freed unused.
NEIGHBOUR = r"""
#include <cstddef>
#include <new>
#include <pybind11/pybind11.h>

PYBIND11_MODULE(neighbour, m) {
  m.def("nothrow_new", [](std::size_t n) {
    char* p = new (std::nothrow) char[n];
    delete[] p;
    return p == nullptr;
  });
  m.def("new_too_much", [](std::size_t n) {
    try { delete[] new char[n]; } catch (std::bad_alloc&) { return true; }
    return false;
  });
}
"""

# Runs with each module's symbols global, loaded in the order given; prints what the calls return.
GLOBAL = """
import os, sys
sys.setdlopenflags(os.RTLD_GLOBAL | os.RTLD_NOW)
sys.path[:0] = sys.argv[1:]
{imports}
{calls}
"""

# Out of memory inside our module: the contiguous copy of a strided view over a sparse mapping,
# under an address-space limit.
OUR_OUT_OF_MEMORY = """
import mmap, resource, tempfile
from _veltrani_core import AsyncFile
with tempfile.TemporaryDirectory() as tmp:
    with open(tmp + "/sparse", "w+b") as sparse:
        sparse.truncate(1 << 31)
        mapped = mmap.mmap(sparse.fileno(), 0, access=mmap.ACCESS_READ)
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), resource.RLIM_INFINITY))
    view = memoryview(mapped)[::2]
    try:
        AsyncFile(tmp + "/out", "wb").open().write(view)
    except MemoryError:
        print("MemoryError")
"""


class Exports(unittest.TestCase):
    """The module that is imported: the build's, or an installed wheel's in a copy of the tests."""

    def test_only_the_entry_point_so_runtimes_stay_apart_under_rtld_global(self):
        if not sys.platform.startswith("linux"):
            self.skipTest("an ELF module's dynamic symbols and dlopen flags: Linux")
        import _veltrani_core
        with self.subTest("exported"):
            self.assertEqual(exported(_veltrani_core.__file__), ["PyInit__veltrani_core"])

        gxx = shutil.which("g++")
        # pybind11's headers from the project venv, first on PATH under make.
        config = shutil.which("pybind11-config", path=f"{TOOLS}{os.pathsep}{os.environ.get('PATH', '')}")
        if not gxx or not config:
            self.skipTest("needs g++ and pybind11-config (the project venv) to build the neighbour")
        flags = run(config, "--includes").stdout.split()
        pybind11 = next(f[2:] for f in flags if f.endswith(os.path.join("pybind11", "include")))
        with tempfile.TemporaryDirectory() as tmp:
            (Path(tmp) / "neighbour.cpp").write_text(NEIGHBOUR)
            run(gxx, "-O0", "-std=c++17", "-shared", "-fPIC", f"-I{pybind11}",
                f"-I{sysconfig.get_paths()['include']}", "neighbour.cpp",
                "-o", "neighbour" + sysconfig.get_config_var("EXT_SUFFIX"), cwd=tmp)
            paths = [tmp, os.path.dirname(_veltrani_core.__file__)]
            huge = 1 << 62
            cases = {
                # Ours first: the neighbour's allocations and exceptions must stay its runtime's.
                "neighbour's nothrow new": ("import _veltrani_core, neighbour",
                                            f"print(neighbour.nothrow_new({huge}))", "True"),
                "neighbour's failed new": ("import _veltrani_core, neighbour",
                                           f"print(neighbour.new_too_much({huge}))", "True"),
                # The neighbour first: ours must keep to its own.
                "our failed allocation": ("import neighbour, _veltrani_core", OUR_OUT_OF_MEMORY, "MemoryError"),
            }
            for name, (imports, calls, expected) in cases.items():
                with self.subTest(name):
                    child = subprocess.run([sys.executable, "-c", GLOBAL.format(imports=imports, calls=calls),
                                            *paths], capture_output=True, text=True, timeout=60, env=ENV, cwd=tmp)
                    self.assertEqual((child.returncode, child.stdout), (0, expected + "\n"), child.stderr)


class SourceDistribution(BuildTestCase):
    def test_build_makes_sdist_and_wheel_and_the_sdist_installs(self):
        with tempfile.TemporaryDirectory() as tmp:
            python = fresh_venv(tmp)
            # `build` at the project's pin, run by the interpreter under test so that the wheel is its own.
            pin = next(line for line in (ROOT / "requirements-test.txt").read_text().splitlines()
                       if line.startswith("build=="))
            pip_install(python, pin, cwd=tmp)
            dist = Path(tmp) / "dist"
            run(python, "-m", "build", "--outdir", str(dist), str(ROOT), env=ENV, cwd=tmp)
            tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
            sdist, wheel = sorted(dist.iterdir(), key=lambda p: p.suffix == ".whl")
            self.assertEqual(sdist.name, f"veltrani_core-{VERSION}.tar.gz")
            self.assertRegex(wheel.name, rf"^veltrani_core-{re.escape(VERSION)}-{tag}-{tag}-\w+\.whl$")
            # What git tracks, whatever else lies in the tree (build folders, venvs, caches).
            if (ROOT / ".git").exists():  # not in a tree unpacked from an sdist
                with tarfile.open(sdist) as tar:
                    packed = sorted(m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile())
                tracked = run("git", "ls-files", cwd=ROOT).stdout.split()
                self.assertEqual(packed, sorted(tracked + ["PKG-INFO"]))

            pip_install(python, str(sdist), cwd=tmp)
            probe = "import _veltrani_core, importlib.util as u; print(_veltrani_core.__doc__, " \
                    "u.find_spec('_veltrani_core-stubs') is not None)"
            self.assertEqual(run(python, "-c", probe, env=ENV, cwd=tmp).stdout, f"{DOC} True\n")


if __name__ == "__main__":
    unittest.main()
