"""A failing random source: with getentropy made to fail at each call an
operation makes (an LD_PRELOAD shim, tests/rng_shim/getentropy_shim.c), the
operation raises RngError "CSPRNG not available" and makes no further draw.
Each case runs in its own interpreter."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarnel

SHIM_SOURCE = Path(__file__).resolve().parents[1] / "rng_shim" / "getentropy_shim.c"

# Each operation with its number of getentropy calls (one per draw: every
# draw is at most 256 bytes).
OPERATIONS = {
    "generate_keypair": ("tc.generate_keypair(level)", 2),
    "encapsulate": ("tc.encapsulate(kp.public_key, level)", 1),
    "encrypt_hybrid": ("tc.encrypt_hybrid(kp.public_key, b'message', level)", 2),
    "stream_encryptor_new": ("tc.stream_encryptor_new(kp.public_key, 4096, level)", 2),
    "export_secret_key_raw": ("kp.export_secret_key_raw(b'pw')", 2),
    "export_secret_key_pem": ("kp.export_secret_key_pem(b'pw')", 2),
}

# Prints "ok" or the exception, then the shim's call count before and after.
SCRIPT = """
import ctypes, sys
from tarnel import _tarnel_core as tc
calls = ctypes.CDLL(None).getentropy_shim_calls
calls.restype = ctypes.c_long
level = tc.SecurityLevel.ML_KEM_512
kp = tc.generate_keypair_deterministic(bytes(32), bytes(32), level)
before = calls()
try:
    result = {op}
    outcome = "ok " + type(result).__name__
except Exception as e:
    outcome = type(e).__name__ + " " + repr(e.args)
print(outcome, before, calls(), sep="|")
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("gcc") or shutil.which("cc")
    if cc is None or not sys.platform.startswith("linux"):
        pytest.skip("the getentropy shim needs a C compiler on Linux")
    out = tmp_path_factory.mktemp("shim") / "getentropy_shim.so"
    build = subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(out), str(SHIM_SOURCE), "-ldl"],
                           capture_output=True, text=True)
    if build.returncode != 0:
        pytest.skip(f"the getentropy shim did not build: {build.stderr.strip()}")
    return out


def run_case(shim, op, fail_at=None):
    """Runs `op` in a fresh interpreter with the shim preloaded (after any
    library already preloaded, such as a sanitizer runtime)."""
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD", ""), str(shim)]))
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [str(Path(tarnel.__file__).resolve().parents[1]), env.get("PYTHONPATH")]))
    env["PYTHONHASHSEED"] = "0"
    env.pop("GETENTROPY_SHIM_FAIL_AT", None)
    if fail_at is not None:
        env["GETENTROPY_SHIM_FAIL_AT"] = str(fail_at)
    proc = subprocess.run([sys.executable, "-c", SCRIPT.format(op=op)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    outcome, before, after = proc.stdout.strip().splitlines()[-1].split("|")
    return outcome, int(before), int(after)


@pytest.mark.parametrize("name", OPERATIONS)
def test_each_failing_draw_raises_rng_error(shim, name):
    op, draws = OPERATIONS[name]
    outcome, before, after = run_case(shim, op)
    assert outcome.startswith("ok ")
    assert after - before == draws
    for n in range(1, draws + 1):
        outcome, before_n, after_n = run_case(shim, op, fail_at=before + n)
        assert before_n == before
        assert outcome == "RngError ('CSPRNG not available',)", f"draw {n}"
        assert after_n == before + n, f"draw {n}: drew again after the failure"
