"""The release artifacts as a user gets them: the repaired wheel installed into
a fresh virtual environment with nothing else (no compiler, no OpenSSL
headers, no source tree), and the source distribution.

The wheel and sdist are those scripts/build-wheel.sh wrote into dist/ (or
TARNEL_DIST); test.sh builds them first.
"""

import json
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DIST = Path(os.environ.get("TARNEL_DIST") or ROOT / "dist")
VERSION = re.search(r'__version__ = "([^"]+)"', (ROOT / "src/tarnel/_version.py").read_text())[1]


def one(pattern):
    found = sorted(DIST.glob(pattern))
    if len(found) != 1:
        pytest.fail(f"expected one {pattern} in {DIST}, found {[p.name for p in found]}: "
                    "run scripts/build-wheel.sh first")
    return found[0]


@pytest.fixture(scope="module")
def wheel():
    return one(f"tarnel-{VERSION}-*.whl")


@pytest.fixture(scope="module")
def sdist():
    return one(f"tarnel-{VERSION}.tar.gz")


def run(*cmd, **kw):
    """Runs cmd; a failure shows its output."""
    p = subprocess.run(cmd, capture_output=True, text=True, **kw)
    assert p.returncode == 0, f"{cmd} exited {p.returncode}\n{p.stdout}\n{p.stderr}"
    return p


def test_wheel_is_manylinux_abi3_with_license_and_libcrypto(wheel):
    assert re.fullmatch(rf"tarnel-{re.escape(VERSION)}-cp310-abi3-manylinux_2_\d+_\w+\.whl",
                        wheel.name), wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    assert f"tarnel-{VERSION}.dist-info/licenses/LICENSE" in names
    assert {"tarnel/py.typed", "tarnel/_tarnel_core.pyi", "tarnel/_version.py"} <= set(names)
    libs = [n for n in names if n.startswith("tarnel.libs/") and not n.endswith("/")]
    assert len(libs) == 1 and re.fullmatch(r"tarnel\.libs/libcrypto-[0-9a-f]+\.so\.3", libs[0]), libs
    meta = zipfile.ZipFile(wheel).read(f"tarnel-{VERSION}.dist-info/METADATA").decode()
    assert f"\nVersion: {VERSION}\n" in meta
    for classifier in ("License :: OSI Approved :: Apache Software License", "Typing :: Typed",
                       "Programming Language :: Python :: 3.10",
                       "Programming Language :: Python :: 3.14",
                       "Topic :: Security :: Cryptography", "Operating System :: POSIX :: Linux"):
        assert f"Classifier: {classifier}\n" in meta
    assert "Author: " in meta or "Author-email: " in meta


@pytest.mark.parametrize("module", ["_tarnel_core", "_tarnel_fileio", "_tarnel_pq"])
def test_extension_exports_only_its_entry_point(wheel, tmp_path, module):
    with zipfile.ZipFile(wheel) as z:
        [so] = [n for n in z.namelist() if n.startswith(f"tarnel/{module}.") and n.endswith(".so")]
        z.extract(so, tmp_path)
    out = run("nm", "-D", "--defined-only", str(tmp_path / so)).stdout
    assert [line.split()[-1] for line in out.splitlines()] == [f"PyInit_{module}"], out


def test_sdist_holds_exactly_the_tracked_files(sdist):
    tracked = run("git", "ls-files", "-z", cwd=ROOT).stdout.split("\0")
    tracked = {f for f in tracked if f and (ROOT / f).exists()}
    with tarfile.open(sdist) as t:
        names = {n.split("/", 1)[1] for n in t.getnames() if "/" in n and not t.getmember(n).isdir()}
    assert names - {"PKG-INFO"} == tracked
    assert {"LICENSE", "CHANGELOG.md", "SECURITY.md", "tests/vectors/manifest.json"} <= names


@pytest.fixture(scope="module")
def fresh_venv(wheel, tmp_path_factory):
    """A new virtual environment holding the wheel and nothing else."""
    venv = tmp_path_factory.mktemp("venv")
    run(sys.executable, "-m", "venv", "--without-pip", str(venv))
    run(sys.executable, "-m", "pip", "--python", str(venv / "bin" / "python"), "install", "-q",
        "--disable-pip-version-check", "--no-index", "--no-deps", str(wheel))
    return venv


def venv_run(venv, *cmd, cwd):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "LD_"))}
    env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
    return run(*cmd, cwd=cwd, env=env)


def test_installed_wheel_runs_quickstart_and_command(fresh_venv, tmp_path):
    py = str(fresh_venv / "bin" / "python")
    # Development mode, every ResourceWarning an error.
    p = venv_run(fresh_venv, py, "-X", "dev", "-W", "error::ResourceWarning",
                 str(ROOT / "examples" / "quickstart.py"), cwd=tmp_path)
    assert "Warning" not in p.stderr, p.stderr
    assert "exported and reloaded every key form" in p.stdout
    p = venv_run(fresh_venv, py, "-c", "import tarnel; print(tarnel.__version__, tarnel.__file__)",
                 cwd=tmp_path)
    version, location = p.stdout.split()
    assert version == VERSION
    assert Path(location).is_relative_to(fresh_venv)
    helptext = venv_run(fresh_venv, str(fresh_venv / "bin" / "tarnel"), "--help",
                        cwd=tmp_path).stdout
    assert "usage:" in helptext
    if "--version" in helptext:
        out = venv_run(fresh_venv, str(fresh_venv / "bin" / "tarnel"), "--version",
                       cwd=tmp_path).stdout
        assert VERSION in out, out


LOADED_LIBCRYPTO = r"""
import ctypes, json, _hashlib, tarnel._tarnel_core as core
maps = [line.split()[-1] for line in open("/proc/self/maps") if "libcrypto" in line]
print(json.dumps({"paths": sorted(set(maps)), "so": core.__file__,
                  "hashlib": _hashlib.__file__}))
"""
VERSION_OF = r"""
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.OpenSSL_version.restype = ctypes.c_char_p
lib.OpenSSL_version.argtypes = [ctypes.c_int]
print(lib.OpenSSL_version(0).decode())
"""


def _ldd_libcrypto(so: str) -> Path:
    ldd = run("ldd", so).stdout
    [line] = [ln for ln in ldd.splitlines() if "libcrypto" in ln]
    return Path(line.split("=>")[1].split()[0]).resolve()


def test_bundled_libcrypto_is_the_one_loaded(fresh_venv, tmp_path):
    py = str(fresh_venv / "bin" / "python")
    seen = json.loads(venv_run(fresh_venv, py, "-c", LOADED_LIBCRYPTO, cwd=tmp_path).stdout)
    libs = Path(seen["so"]).parent.parent / "tarnel.libs"
    loaded = {Path(p).resolve() for p in seen["paths"]}
    # The extension resolves its libcrypto to the wheel's own copy, and that
    # copy is mapped. The only other libcrypto a process may hold is the one
    # Python's own hashlib links (the package imports hashlib for scrypt).
    bundled = _ldd_libcrypto(seen["so"])
    assert bundled.parent == libs.resolve(), (bundled, libs)
    assert bundled in loaded, seen
    assert loaded - {bundled} <= {_ldd_libcrypto(seen["hashlib"])}, seen
    version = venv_run(fresh_venv, py, "-c", VERSION_OF, str(bundled), cwd=tmp_path).stdout.strip()
    assert re.match(r"OpenSSL 3\.\d+\.\d+", version), version
    print(f"bundled and loaded: {version} from {bundled}")
