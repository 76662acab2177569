"""pip-installs the project into a fresh virtual environment as a user would (the build
requirements come from the package index; pip's cache keeps that cheap) and checks what the user
gets: the module importable from anywhere, a type stub that matches it and that mypy and pyright
find, and a clean uninstall. Also that `python -m build` makes an sdist and a wheel, and that the
sdist installs.

The type checkers come from the project venv (make installs requirements-test.txt there)."""
import ast
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TOOLS = ROOT / ".venv" / "bin"
# A copy of the tests run against an installed wheel has no source tree to build from.
IN_TREE = (ROOT / "pyproject.toml").exists()

# Run by the installed interpreter, outside the source tree: each name of AsyncFile with its
# parameters as the module reports them (pybind11 puts the signature in the first doc line).
PROBE = r"""
import json, re, _veltrani_core
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
print(json.dumps({"file": _veltrani_core.__file__, "doc": _veltrani_core.__doc__, "names": names}))
"""


def stub_names(text):
    """Each name of the stub's AsyncFile with its parameters: [name, default source or None]."""
    cls = next(n for n in ast.parse(text).body if isinstance(n, ast.ClassDef) and n.name == "AsyncFile")
    names = {}
    for fn in (n for n in cls.body if isinstance(n, ast.FunctionDef)):
        if any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
            names[fn.name] = "property"
            continue
        params = fn.args.posonlyargs + fn.args.args
        defaults = [None] * (len(params) - len(fn.args.defaults)) + [ast.unparse(d) for d in fn.args.defaults]
        names[fn.name] = [[p.arg, d] for p, d in zip(params, defaults)][1:]
        # pybind11 gives unnamed arguments as arg0, arg1...: those must be positional-only.
        named = {p.arg for p in fn.args.args}
        assert not any(re.fullmatch(r"arg\d+", n) for n in named), fn.name
    return names


def run(*args, **kw):
    try:
        return subprocess.run(args, check=True, capture_output=True, text=True, timeout=900, **kw)
    except subprocess.CalledProcessError as e:
        raise AssertionError(f"{' '.join(map(str, args))} failed:\n{e.stdout}\n{e.stderr}") from None


ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}


def fresh_venv(tmp):
    venv = Path(tmp) / "venv"
    run(sys.executable, "-m", "venv", str(venv))
    return str(venv / "bin" / "python")


def pip_install(python, *args, cwd):
    run(python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", *args, env=ENV, cwd=cwd)


class TreeTestCase(unittest.TestCase):
    def setUp(self):
        if not IN_TREE:  # skipped here rather than by a decorator, which 3.12.1 leaves uncounted
            self.skipTest("needs the source tree")


class InstalledPackage(TreeTestCase):
    def test_install_use_check_stub_uninstall(self):
        with tempfile.TemporaryDirectory() as tmp:
            python = fresh_venv(tmp)
            pip_install(python, str(ROOT), cwd=tmp)

            live = json.loads(run(python, "-c", PROBE, env=ENV, cwd=tmp).stdout)
            site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))",
                            env=ENV, cwd=tmp).stdout.strip())
            self.assertEqual(Path(live["file"]).parent, site)
            self.assertEqual(live["doc"], "High-performance async file I/O for Python (C++ backend)")
            stub = site / "_veltrani_core-stubs" / "__init__.pyi"
            self.assertEqual(stub_names(stub.read_text()), live["names"])

            self.check_type_checkers_find_the_stub(python, Path(tmp), stub)

            run(python, "-m", "pip", "uninstall", "--yes", "--quiet", "veltrani_core", env=ENV, cwd=tmp)
            left = [p.name for p in site.iterdir() if "veltrani" in p.name]
            self.assertEqual(left, [])

    def check_type_checkers_find_the_stub(self, python, tmp, stub):
        (tmp / "good.py").write_text(
            "from pathlib import Path\n"
            "from _veltrani_core import AsyncFile\n"
            "AsyncFile(Path('x'), 'w').open().close()\n"
            "with AsyncFile('x', mode='rb').open() as f:\n"
            "    line: str = f.readline()\n"
            "    block: bytes | str = f.read(10)\n"
            "    count: int = f.readinto(bytearray(4)) + f.write(b'x') + f.seek(0, whence=2)\n")
        (tmp / "bad.py").write_text(
            "from _veltrani_core import AsyncFile\n"
            "line: bytes = AsyncFile('x').readline()\n"
            "AsyncFile('x').open().seek('0')\n")  # a Self the checker cannot resolve hides this
        # Checked as the interpreter running this test: the stub has to serve each version.
        target = f"{sys.version_info.major}.{sys.version_info.minor}"
        pyright = [str(TOOLS / "basedpyright"), "--pythonpath", python, "--pythonversion", target]
        checkers = {"basedpyright": pyright,
                    "mypy": [str(TOOLS / "mypy"), "--python-executable", python, "--python-version", target]}
        for name, command in checkers.items():
            self.assertTrue(Path(command[0]).exists(), f"{name} is missing from the project venv: run make venv")
            good = subprocess.run(command + ["good.py"], cwd=tmp, capture_output=True, text=True, timeout=300)
            self.assertEqual(good.returncode, 0, f"{name}: {good.stdout}")
            bad = subprocess.run(command + ["bad.py"], cwd=tmp, capture_output=True, text=True, timeout=300)
            self.assertEqual(bad.stdout.count("error:"), 2, f"{name}: {bad.stdout}")
        # Errors inside an installed stub are not reported against its users; pyright reports
        # them (an import the target version lacks) when given the stub itself.
        own = subprocess.run(pyright + [str(stub)], cwd=tmp, capture_output=True, text=True, timeout=300)
        self.assertEqual(own.returncode, 0, f"basedpyright on the stub: {own.stdout}")


class SourceDistribution(TreeTestCase):
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
            self.assertEqual(sdist.name, "veltrani_core-0.1.0.tar.gz")
            self.assertRegex(wheel.name, rf"^veltrani_core-0\.1\.0-{tag}-{tag}-\w+\.whl$")

            pip_install(python, str(sdist), cwd=tmp)
            probe = "import _veltrani_core, importlib.util as u; print(_veltrani_core.__doc__, " \
                    "u.find_spec('_veltrani_core-stubs') is not None)"
            self.assertEqual(run(python, "-c", probe, env=ENV, cwd=tmp).stdout,
                             "High-performance async file I/O for Python (C++ backend) True\n")


if __name__ == "__main__":
    unittest.main()
