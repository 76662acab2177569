"""PEP 517 build backend: builds the module with the project's own CMake build and packs it,
with its type stub as the stub-only package `_veltrani_core-stubs`, into a wheel."""
import base64
import hashlib
import io
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULE = "_veltrani_core"
SDIST_PARTS = ["CMakeLists.txt", "Makefile", "README.md", "pyproject.toml", "file", "module", "tools"]


def _project():
    try:
        import tomllib
    except ImportError:  # before 3.11; [project] holds only plain one-line strings
        text = (ROOT / "pyproject.toml").read_text()
        section = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S).group(1)
        return dict(re.findall(r'^(\S+)\s*=\s*"([^"]*)"\s*$', section, re.M))
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _dist_info():
    p = _project()
    return f"{p['name']}-{p['version']}.dist-info"


def _metadata():
    p = _project()
    return (f"Metadata-Version: 2.1\nName: {p['name']}\nVersion: {p['version']}\n"
            f"Summary: {p['description']}\nRequires-Python: {p['requires-python']}\n")


def _tag():
    # The running interpreter's own tags, as pip matches them: cp310-cp310 ... and an abi flag
    # such as the free-threaded build's "t".
    version = f"{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp{version}-cp{version}{sys.abiflags}-{platform}"


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _build_module(build_dir):
    subprocess.run(["cmake", "-S", str(ROOT), "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DVELTRANI_TESTS=OFF", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", build_dir, "--target", MODULE, "--parallel"],
                   check=True, stdout=sys.stderr)
    return next(Path(build_dir).glob(f"{MODULE}*{sysconfig.get_config_var('EXT_SUFFIX')}"))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory() as build_dir:
        module = _build_module(build_dir)
        files = {
            module.name: module.read_bytes(),
            f"{MODULE}-stubs/__init__.pyi": (ROOT / "module" / f"{MODULE}.pyi").read_bytes(),
        }
    info = _dist_info()
    files[f"{info}/METADATA"] = _metadata().encode()
    files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: wheel_backend\n"
                              f"Root-Is-Purelib: false\nTag: {_tag()}\n").encode()
    record = [_record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    p = _project()
    wheel_name = f"{p['name']}-{p['version']}-{_tag()}.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as whl:
        for name, data in files.items():
            whl.writestr(name, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    p = _project()
    base = f"{p['name']}-{p['version']}"
    with tarfile.open(os.path.join(sdist_directory, base + ".tar.gz"), "w:gz") as tar:
        for part in SDIST_PARTS:
            tar.add(ROOT / part, arcname=f"{base}/{part}",
                    filter=lambda t: None if "__pycache__" in t.name else t)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return base + ".tar.gz"
