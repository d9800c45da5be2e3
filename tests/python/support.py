"""What the tests share: running the command line in a child process,
children with a file-size limit (a full disk), signals and open files of a
child, both kinds of temporary output, an independent stream reader, and
the marks of native whole-file work (its writer thread, progress, signals).

Fixtures built on these live in conftest.py; test modules import from here,
never from one another.
"""

from __future__ import annotations

import json
import os
import pty
import select
import shutil
import resource
import signal
import struct
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Optional

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import tarnel
from tarnel import _files

# ---------------------------------------------------------------------------
# The command line in a child process

PASSWORD = "correct horse battery staple"
PACKAGE_ROOT = str(Path(tarnel.__file__).resolve().parent.parent)


def run(
    *args: str,
    input: bytes | None = None,
    env: dict[str, str] | None = None,
    cwd: Path | None = None,
    password: str | None = PASSWORD,
) -> subprocess.CompletedProcess[bytes]:
    full_env = {k: v for k, v in os.environ.items() if k != "TARNEL_PASSWORD"}
    full_env["PYTHONPATH"] = os.pathsep.join(
        [PACKAGE_ROOT] + [p for p in [os.environ.get("PYTHONPATH")] if p]
    )
    if password is not None:
        full_env["TARNEL_PASSWORD"] = password
    full_env.update(env or {})
    # A new session has no controlling terminal, as in a script or CI job.
    return subprocess.run(
        [sys.executable, "-m", "tarnel", *args],
        input=input if input is not None else b"",
        capture_output=True,
        env=full_env,
        cwd=cwd,
        start_new_session=True,
        timeout=600,
    )


def ok(result: subprocess.CompletedProcess[bytes]) -> subprocess.CompletedProcess[bytes]:
    assert result.returncode == 0, result.stderr.decode()
    return result


def assert_user_error(result: subprocess.CompletedProcess[bytes], status: int, message: str) -> None:
    err = result.stderr.decode()
    assert result.returncode == status, err
    assert "Traceback" not in err
    assert err.splitlines()[-1] == f"tarnel: error: {message}"


# Runs the command line; with "named" as first argument it uses hidden
# temporary names instead of unnamed temporary files.
LAUNCH = (
    "import sys\n"
    "if sys.argv[1] == 'named':\n"
    "    import tarnel._files; tarnel._files.USE_TMPFILE = False\n"
    "from tarnel.cli import main\n"
    "sys.exit(main(sys.argv[2:]))\n"
)


def env() -> dict[str, str]:
    e = {k: v for k, v in os.environ.items() if k != "TARNEL_PASSWORD"}
    e["PYTHONPATH"] = PACKAGE_ROOT
    e["TARNEL_PASSWORD"] = PASSWORD
    return e


def start(kind: str, *args: str, limit: int | None = None, **kw: Any) -> "subprocess.Popen[bytes]":
    def child() -> None:
        if limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return subprocess.Popen(
        [sys.executable, "-c", LAUNCH, kind, *args], env=env(), preexec_fn=child,
        start_new_session=True, **kw,
    )


def finish(proc: "subprocess.Popen[bytes]", input: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    out, err = proc.communicate(input, timeout=300)
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def pub(keys: dict[str, Path], n: str) -> str:
    return str(keys[n]) + ".pub"


def sec(keys: dict[str, Path], n: str) -> str:
    return str(keys[n]) + ".key"


def output_is_open(pid: int, directory: Path) -> bool:
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except FileNotFoundError:
        return False
    for fd in fds:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}").startswith(str(directory) + "/"):
                return True
        except OSError:
            continue
    return False



def converse(argv: list[str], replies: list[tuple[bytes, bytes]]) -> tuple[int, bytes]:
    """Run the command on a new terminal; answer each awaited prompt in turn."""
    env = {k: v for k, v in os.environ.items() if k != "TARNEL_PASSWORD"}
    env["PYTHONPATH"] = PACKAGE_ROOT
    pid, fd = pty.fork()
    if pid == 0:  # the child: its controlling terminal is the new pty
        os.execve(sys.executable, [sys.executable, "-m", "tarnel", *argv], env)
    seen = b""
    try:
        for prompt, answer in replies:
            while prompt not in seen:
                ready, _, _ = select.select([fd], [], [], 60)
                assert ready, f"no prompt {prompt!r}; got {seen!r}"
                seen += os.read(fd, 1024)
            seen = seen.split(prompt, 1)[1]
            os.write(fd, answer + b"\n")
        while True:
            try:
                block = os.read(fd, 1024)
            except OSError:
                break
            if not block:
                break
            seen += block
    finally:
        os.close(fd)
        _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), seen



def usable_strace() -> Optional[str]:
    """strace, when it is installed and may trace and inject here (a
    container can forbid ptrace)."""
    path = shutil.which("strace")
    if path is None:
        return None
    probe = subprocess.run([path, "-f", "-qq", "-o", os.devnull, "-e", "inject=fsync:error=EIO",
                            "true"], capture_output=True)
    return path if probe.returncode == 0 else None


STRACE = usable_strace()


# ---------------------------------------------------------------------------
# Temporary outputs and a full disk


def unnamed_temps_work(tmp_path: Path) -> bool:
    out = _files.OutputFile(tmp_path / "probe")
    try:
        return out._tmp is None
    finally:
        out.close()


def select_temps(kind: str) -> str:
    """Python source that makes a child process use that kind of temp."""
    return "" if kind == "unnamed" else "import tarnel._files; tarnel._files.USE_TMPFILE = False\n"


def run_limited(code: str, limit: int) -> dict[str, Any]:
    """Run ``code`` in a child whose files may not grow past ``limit`` bytes.

    Python ignores SIGXFSZ, so a write past the limit fails with EFBIG. The
    code sets ``result`` (a JSON-able dict), which is returned.
    """

    def limit_size() -> None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    wrapper = (
        "import json, sys\nresult = {}\n"
        + code
        + "\nsys.stdout.write(json.dumps(result))\n"
    )
    proc = subprocess.run(
        [sys.executable, "-c", wrapper], capture_output=True, preexec_fn=limit_size, timeout=300
    )
    assert proc.returncode == 0, proc.stderr.decode()
    return dict(json.loads(proc.stdout))


CATCH = """
try:
    {call}
    result["returned"] = True
except OSError as e:
    result.update(errno=e.errno, filename=e.filename, message=str(e))
"""


# ---------------------------------------------------------------------------
# The stream, read without tarnel's reader

CAPSULE = {512: 768, 768: 1088, 1024: 1568}


def nonce_aad(base: bytes, i: int) -> tuple[bytes, bytes]:
    idx = struct.pack(">I", i)
    return idx + base[4:], idx


def split_stream(data: bytes, level: int) -> tuple[bytes, bytes, int, list[bytes]]:
    """Return capsule, base nonce, chunk size and the raw frames."""
    c = CAPSULE[level]
    capsule, base = data[:c], data[c : c + 12]
    (cs,) = struct.unpack(">I", data[c + 12 : c + 16])
    frames, pos = [], c + 16
    while pos < len(data):
        (n,) = struct.unpack(">I", data[pos : pos + 4])
        frames.append(data[pos : pos + 4 + n + 16])
        pos += 4 + n + 16
    assert pos == len(data)
    return capsule, base, cs, frames


def open_independently(data: bytes, pair: tarnel.KeyPair) -> bytes:
    """Decrypt a stream with pyca AES-GCM; assert exactly one final EOF frame."""
    level = int(pair.level)
    capsule, base, cs, frames = split_stream(data, level)
    key = tarnel.decapsulate(capsule, pair.secret_key, pair.level)
    aead = AESGCM(key)
    out = []
    for i, frame in enumerate(frames):
        (n,) = struct.unpack(">I", frame[:4])
        assert n <= cs
        assert (n == 0) == (i == len(frames) - 1), "empty frame only at the end"
        nonce, aad = nonce_aad(base, i)
        out.append(aead.decrypt(nonce, frame[4:], aad))
    return b"".join(out)


# ---------------------------------------------------------------------------
# Files of the multi-recipient format (tarnel.files) for the command line

FILEKIT = Path(__file__).resolve().parents[1] / "filekit"


def filekit_identity(name: str, seed_hex: str, directory: Path) -> Path:
    """The test kit's identity ``name`` (a raw seed) as the unencrypted
    PKCS#8 file the command line reads: X-Wing from its 32-byte seed,
    ML-KEM-768/1024 from ``d || z``."""
    from tarnel import pkcs

    seed = bytes.fromhex(seed_hex)
    if name == "xwing":
        text = pkcs.export_xwing_private_key_pkcs8(seed)
    else:
        level = {"mlkem768": tarnel.SecurityLevel.ML_KEM_768,
                 "mlkem1024": tarnel.SecurityLevel.ML_KEM_1024}[name]
        pair = tarnel.generate_keypair_deterministic(seed[:32], seed[32:], level)
        text = pkcs.export_secret_key_pkcs8(pair.secret_key, seed=seed)
    path = directory / f"{name}.key"
    path.write_text(text)
    path.chmod(0o600)
    return path


def public_key_bytes(pub_file: Path) -> bytes:
    """The key bytes of a public key file keygen wrote (PEM), read with the
    readers of the key types themselves."""
    from tarnel import xwing

    text = pub_file.read_text()
    if "X-WING" in text:
        return xwing.load_public_key_text(text)
    for level in (tarnel.SecurityLevel.ML_KEM_768, tarnel.SecurityLevel.ML_KEM_1024,
                  tarnel.SecurityLevel.ML_KEM_512):
        try:
            return tarnel.load_public_key_pem(text, level)
        except tarnel.TarnelError:
            continue
    raise ValueError(f"{pub_file}: no public key")


def dir_listing(directory: Path) -> list[str]:
    return sorted(os.listdir(directory))


# ---------------------------------------------------------------------------
# Native whole-file work: its writer thread, progress and signals


def native_threads() -> int:
    """Threads of this process that the threading module does not know."""
    return len(os.listdir("/proc/self/task")) - threading.active_count()


class Progress:
    """Records progress calls, and whether a native writer thread was
    running during any of them (the mark of the native path)."""

    def __init__(self) -> None:
        self.calls: list[tuple[int, Optional[int]]] = []
        self.base = native_threads()
        self.native = False

    def __call__(self, done: int, total: Optional[int]) -> None:
        self.calls.append((done, total))
        self.native = self.native or native_threads() > self.base


def sigint_on_call(n: int) -> Callable[[int, Optional[int]], None]:
    calls = [0]

    def progress(done: int, total: Optional[int]) -> None:
        calls[0] += 1
        if calls[0] == n:
            os.kill(os.getpid(), signal.SIGINT)

    return progress
