"""Putting an output in place, under faults injected into the real system
calls (strace -e inject) and signals that arrive in the middle of it.

A commit has one moment: before it nothing new has a name and an existing
file is untouched; after it the output is whole at its path. A failure
after that moment (syncing the directory, closing) is status 3 with a
warning that names the file, never "not written"; a signal after it keeps
its status and says the output is in place. No hidden name is left on any
handled path.
"""

from __future__ import annotations

import errno
import json
import os
import platform
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional

import pytest

from tarnel import _files
from support import LAUNCH, PASSWORD, STRACE, env, ok, pub, run, sec


needs_strace = pytest.mark.skipif(STRACE is None, reason="needs strace that may trace here "
                                  "(apt-get install strace)")

# System call numbers, to see in /proc which call a traced child is held in.
SYSCALL_NR = {
    "x86_64": {"fsync": 74, "renameat": 264, "linkat": 265, "copy_file_range": 326},
    "aarch64": {"fsync": 82, "linkat": 37, "renameat": 38, "copy_file_range": 285},
}.get(platform.machine())

PLAIN = os.urandom(300_000)
OLD = b"the file that was there before\n"


def child_env() -> dict[str, str]:
    e = env()
    e["PYTHONDONTWRITEBYTECODE"] = "1"  # no renames of bytecode files in the child
    return e


def traced(strace: list[str], kind: str, *args: str) -> "subprocess.Popen[bytes]":
    """The command line (hidden temporary names when ``kind`` is "named")
    under strace with ``strace`` as its fault options."""
    assert STRACE is not None
    return subprocess.Popen(
        [STRACE, "-f", "-qq", "-o", os.devnull, *strace, sys.executable, "-c", LAUNCH, kind, *args],
        env=child_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        start_new_session=True,
    )


def finish(proc: "subprocess.Popen[bytes]") -> tuple[int, str]:
    _, err = proc.communicate(timeout=300)
    return proc.returncode, err.decode()


@pytest.fixture(scope="module")
def stream(keys: dict[str, Path], tmp_path_factory: pytest.TempPathFactory) -> Path:  # noqa: F811
    path = tmp_path_factory.mktemp("stream") / "s"
    path.write_bytes(ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), input=PLAIN)).stdout)
    return path


def kinds_that_work(kind: str, tmp_path: Path) -> None:
    if kind == "unnamed":
        out = _files.OutputFile(tmp_path / "probe")
        try:
            if out._tmp is not None:
                pytest.skip("unnamed temporary files cannot be linked on this system")
        finally:
            out.close()


def prepare(tmp_path: Path, force: bool) -> tuple[Path, Path]:
    """An output directory, with the old file in it when ``force``."""
    d = tmp_path / "out"
    d.mkdir()
    out = d / "result"
    if force:
        out.write_bytes(OLD)
    return d, out


def assert_outcome(d: Path, out: Path, force: bool, placed: bool, extra: tuple[str, ...] = ()) -> None:
    """The new output whole at ``out``, or the old state exactly; no other name."""
    names = sorted(os.listdir(d))
    if placed:
        assert names == sorted(["result", *extra]), names
        assert out.read_bytes() == PLAIN
    elif force:
        assert names == ["result"], names
        assert out.read_bytes() == OLD
    else:
        assert names == [], names


# ---------------------------------------------------------------------------
# Errors of single system calls

# (id, strace options given the output directory d and the output o,
#  the kinds of temporary file the case applies to, whether with --force,
#  expected status, the errno in the message). Status 1: nothing was put in
#  place. Status 3: the output is in place and whole, not known to be durable.
ERROR_CASES: list[tuple[str, list[str], tuple[str, ...], tuple[bool, ...], int, int]] = [
    ("file fsync", ["-e", "inject=fsync:error=EIO:when=1"],
     ("unnamed", "named"), (False, True), 1, errno.EIO),
    # The probe's link is the first linkat; the output's is the second.
    ("link into place", ["-e", "inject=linkat:error=EIO:when=2"],
     ("unnamed",), (False, True), 1, errno.EIO),
    ("link into place", ["-e", "inject=linkat:error=EIO:when=1"],
     ("named",), (False,), 1, errno.EIO),
    ("rename into place", ["-P", "{d}", "-e", "inject=renameat:error=EIO:when=1"],
     ("unnamed", "named"), (True,), 1, errno.EIO),
    ("directory fsync", ["-P", "{d}", "-e", "inject=fsync:error=EIO:when=1"],
     ("unnamed", "named"), (False, True), 3, errno.EIO),
    ("directory close", ["-P", "{d}", "-e", "inject=close:error=EIO:when=1"],
     ("unnamed", "named"), (False, True), 3, errno.EIO),
    # strace finds the descriptor by its path, which is the output's only
    # when a named temporary was renamed over it (every kind is closed by
    # the same code).
    ("output close", ["-P", "{o}", "-e", "inject=close:error=EIO:when=1"],
     ("named",), (True,), 3, errno.EIO),
    ("output close", ["-P", "{o}", "-e", "inject=close:error=EINTR:when=1"],
     ("named",), (True,), 3, errno.EINTR),
]

ERROR_PARAMS = [
    pytest.param(options, kind, force, status, err, id=f"{name}-{errno.errorcode[err]}-{kind}"
                 + ("-force" if force else ""))
    for name, options, kinds, forces, status, err in ERROR_CASES
    for kind in kinds for force in forces
]


@needs_strace
@pytest.mark.parametrize("options,kind,force,status,err", ERROR_PARAMS)
def test_a_failing_system_call_is_reported_by_what_it_means_for_the_output(
    keys: dict[str, Path], stream: Path, tmp_path: Path,  # noqa: F811
    options: list[str], kind: str, force: bool, status: int, err: int,
) -> None:
    kinds_that_work(kind, tmp_path)
    d, out = prepare(tmp_path, force)
    strace = [o.format(d=d, o=out) for o in options]
    code, stderr = finish(traced(strace, kind, "decrypt", "-i", sec(keys, "a"), "-o", str(out),
                                 *(["--force"] if force else []), str(stream)))
    assert code == status, stderr
    assert "Traceback" not in stderr
    last = stderr.splitlines()[-1]
    if status == 3:
        assert last == (f"tarnel: warning: {out} is complete and in place, but could not be made "
                        f"durable: {os.strerror(err)} (a crash may still lose it)")
    else:
        assert last == f"tarnel: error: {out}: {os.strerror(err)}"
    assert_outcome(d, out, force, placed=status == 3)


@needs_strace
def test_a_probe_that_cannot_be_removed_does_not_fail_the_command(
    keys: dict[str, Path], stream: Path, tmp_path: Path,  # noqa: F811
) -> None:
    kinds_that_work("unnamed", tmp_path)
    d, out = prepare(tmp_path, True)
    # The first unlink in the process is the probe's.
    code, stderr = finish(traced(["-e", "inject=unlink,unlinkat:error=EIO:when=1"], "unnamed",
                                 "decrypt", "-i", sec(keys, "a"), "-o", str(out), "--force", str(stream)))
    assert code == 0, stderr
    assert stderr == ""
    left = [n for n in os.listdir(d) if n != "result"]
    assert all(n.startswith(".probe.") and n.endswith(".part") for n in left), left
    assert all(os.path.getsize(d / n) == 0 for n in left)
    assert out.read_bytes() == PLAIN


# ---------------------------------------------------------------------------
# Signals in the middle of a commit

# (system call held at entry for a while, which call of it, the kinds and
#  --force it applies to, whether the output is in place when the signal
#  is handled).
SIGNAL_CASES: list[tuple[str, dict[str, int], tuple[bool, ...], bool]] = [
    ("fsync", {"unnamed": 1, "named": 1}, (False, True), False),
    ("linkat", {"unnamed": 2}, (False, True), True),
    ("linkat", {"named": 1}, (False,), True),
    ("renameat", {"unnamed": 1, "named": 1}, (True,), True),
]

SIGNAL_PARAMS = [
    pytest.param(call, when, kind, force, placed, signum,
                 id=f"{call}-{kind}{'-force' if force else ''}-{signal.Signals(signum).name}")
    for call, whens, forces, placed in SIGNAL_CASES
    for kind, when in whens.items() for force in forces
    for signum in (signal.SIGTERM, signal.SIGINT)
]


def held_in(pid: int, nr: int) -> bool:
    """Whether ``pid`` is stopped by its tracer at the entry of call ``nr``."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open(f"/proc/{pid}/syscall") as f:
            current = f.read().split()[0]
    except (OSError, IndexError):
        return False
    return state == "t" and current == str(nr)


def traced_child(proc: "subprocess.Popen[bytes]") -> Optional[int]:
    """The Python process that strace ``proc`` runs (strace forks short-lived
    helpers of its own too)."""
    try:
        with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
            children = f.read().split()
    except OSError:
        return None
    for child in children:
        try:
            if os.readlink(f"/proc/{child}/exe") == os.path.realpath(sys.executable):
                return int(child)
        except OSError:
            continue
    return None


@needs_strace
@pytest.mark.skipif(SYSCALL_NR is None, reason="system call numbers known for x86_64 and aarch64 only")
@pytest.mark.parametrize("call,when,kind,force,placed,signum", SIGNAL_PARAMS)
def test_a_signal_during_the_commit_leaves_one_truthful_state(
    keys: dict[str, Path], stream: Path, tmp_path: Path,  # noqa: F811
    call: str, when: int, kind: str, force: bool, placed: bool, signum: int,
) -> None:
    assert SYSCALL_NR is not None
    kinds_that_work(kind, tmp_path)
    d, out = prepare(tmp_path, force)
    proc = traced(["-e", f"inject={call}:delay_enter=2000000:when={when}"], kind,
                  "decrypt", "-i", sec(keys, "a"), "-o", str(out), *(["--force"] if force else []),
                  str(stream))
    os.kill(wait_held(proc, call), signum)
    code, stderr = finish(proc)
    assert code == (130 if signum == signal.SIGINT else 128 + signum), stderr
    assert "Traceback" not in stderr
    stopped = "interrupted" if signum == signal.SIGINT else f"terminated by {signal.Signals(signum).name}"
    if placed:
        assert stderr.splitlines()[-1] == f"tarnel: error: {stopped}; {out} is already complete and in place"
    else:
        assert stderr.splitlines()[-1] == f"tarnel: error: {stopped}"
    assert_outcome(d, out, force, placed)


@needs_strace
@pytest.mark.skipif(SYSCALL_NR is None, reason="system call numbers known for x86_64 and aarch64 only")
@pytest.mark.parametrize("when, placed", [(1, False), (2, True)], ids=["before", "after"])
def test_a_signal_around_the_commit_of_a_rekey_is_told_truthfully(
    keys: dict[str, Path], tmp_path: Path, when: int, placed: bool,  # noqa: F811
) -> None:
    """SIGTERM while the re-keyed file's fsync (before the moment) or its
    directory's fsync (after it) is held: the file is the old one and the
    command says it was stopped, or the new one and the command says so."""
    path = tmp_path / "f.tnl"
    old = ok(run("encrypt", "-r", pub(keys, "a"), input=PLAIN)).stdout
    path.write_bytes(old)
    proc = traced(["-e", f"inject=fsync:delay_enter=2000000:when={when}"], "unnamed",
                  "rekey", "-i", sec(keys, "a"), "-r", pub(keys, "b"), str(path))
    os.kill(wait_held(proc, "fsync"), signal.SIGTERM)
    code, stderr = finish(proc)
    assert "Traceback" not in stderr and code == 128 + signal.SIGTERM, stderr
    last = stderr.splitlines()[-1]
    assert os.listdir(tmp_path) == ["f.tnl"]
    if placed:
        assert last == f"tarnel: error: terminated by SIGTERM; {path} is already complete and in place"
        assert ok(run("decrypt", "-i", sec(keys, "b"), str(path))).stdout == PLAIN
    else:
        assert last == "tarnel: error: terminated by SIGTERM"
        assert path.read_bytes() == old


def wait_held(proc: "subprocess.Popen[bytes]", call: str) -> int:
    """The traced child, once it is held in the delayed ``call``."""
    assert SYSCALL_NR is not None
    deadline = time.monotonic() + 60
    while True:
        child = traced_child(proc)
        if child is not None and held_in(child, SYSCALL_NR[call]):
            # Every call of that kind stops briefly at its entry for strace;
            # only the delayed one is still there a moment later.
            time.sleep(0.3)
            if held_in(child, SYSCALL_NR[call]):
                return child
        assert proc.poll() is None, finish(proc)
        assert time.monotonic() < deadline, f"the command never reached {call}"
        time.sleep(0.01)


@needs_strace
@pytest.mark.skipif(SYSCALL_NR is None, reason="system call numbers known for x86_64 and aarch64")
def test_rekey_keeps_a_file_that_was_replaced_while_it_worked(keys: dict[str, Path],  # noqa: F811
                                                              tmp_path: Path) -> None:
    path = tmp_path / "f.tnl"
    path.write_bytes(ok(run("encrypt", "-r", pub(keys, "a"), input=PLAIN)).stdout)
    replacement = ok(run("encrypt", "-r", pub(keys, "b"), "-r", pub(keys, "a"), input=OLD)).stdout
    # Held while it copies the payload, after it has read the header.
    proc = traced(["-e", "inject=copy_file_range:delay_enter=2000000:when=1"], "unnamed",
                  "rekey", "-i", sec(keys, "a"), "-r", pub(keys, "c"), str(path))
    wait_held(proc, "copy_file_range")
    (tmp_path / "new").write_bytes(replacement)
    os.replace(tmp_path / "new", path)
    code, stderr = finish(proc)
    assert code == 1 and stderr.splitlines()[-1] == (
        f"tarnel: error: {path} was replaced while it was being re-keyed; what replaced it "
        "was kept, and this change was not made"), stderr
    assert path.read_bytes() == replacement
    assert os.listdir(tmp_path) == ["f.tnl"]


# ---------------------------------------------------------------------------
# The library's callers of commit(): a commit that happened is not undone

API_CALLS = {
    "decrypt_file": "tarnel.decrypt_file({stream!r}, {out!r}, sk)",
    "encrypt_file": "tarnel.encrypt_file({stream!r}, {out!r}, pk)",
    "open_encryptor": "w = tarnel.open_encryptor({out!r}, pk); w.write(b'x' * 1000); w.close()",
    "save_secret_key": "tarnel.keyfile.save_secret_key({out!r}, pair, b'pw', overwrite=True, "
                       "scrypt=tarnel.keyfile.ScryptParams(log2_n=10, r=8, p=1))",
}

API_SCRIPT = """
import json, sys, tarnel, tarnel.keyfile
pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
pk = pair.public_key
sk = pair.secret_key
{prepare}
try:
    {call}
    result = {{"returned": True}}
except OSError as e:
    result = {{"type": type(e).__name__, "errno": e.errno, "filename": e.filename,
              "committed": getattr(e, "committed", False)}}
print(json.dumps(result))
"""


@needs_strace
@pytest.mark.parametrize("operation", sorted(API_CALLS))
def test_api_callers_pass_a_commit_that_is_not_durable_on_unchanged(
    tmp_path: Path, operation: str
) -> None:
    d, out = prepare(tmp_path, True)
    src = tmp_path / "src"
    if operation == "decrypt_file":
        prep = f"tarnel.encrypt_file({str(src) + '.plain'!r}, {str(src)!r}, pk)"
        (tmp_path / "src.plain").write_bytes(PLAIN)
    else:
        prep = ""
        src.write_bytes(PLAIN)
    code = API_SCRIPT.format(prepare=prep, call=API_CALLS[operation].format(stream=str(src), out=str(out)))
    assert STRACE is not None
    res = subprocess.run([STRACE, "-f", "-qq", "-o", os.devnull, "-P", str(d),
                          "-e", "inject=fsync:error=EIO:when=1", sys.executable, "-c", code],
                         env=child_env(), capture_output=True, timeout=300)
    assert res.returncode == 0, res.stderr.decode()
    result = json.loads(res.stdout)
    assert result == {"type": "OutputNotDurableError", "errno": errno.EIO, "filename": str(out),
                      "committed": True}
    assert sorted(os.listdir(d)) == ["result"]
    data = out.read_bytes()
    assert data != OLD and len(data) > 0
    if operation == "decrypt_file":
        assert data == PLAIN


# ---------------------------------------------------------------------------
# Unprivileged users and the unnamed temporary file

SHIM_SOURCE = Path(__file__).resolve().parents[1] / "link_shim" / "empty_path_shim.c"

# Run as root up to the imports, then as nobody: an output in a directory
# everyone may write, watched while it is written, then the command itself.
NOBODY_SCRIPT = """
import ctypes, json, os, sys
from tarnel import _files
from tarnel.cli import main
d, stream, key, warm = sys.argv[1:5]
# Once as root into a private directory, so that every module the command
# imports is loaded (nobody cannot read the interpreter's library here);
# then the probe's answer is forgotten.
assert main(["decrypt", "-i", key, "-o", warm, stream]) == 0
_files._TMPFILE_WORKS.clear()
os.setgroups([])
os.setgid(65534)
os.setuid(65534)
out = _files.OutputFile(os.path.join(d, "watched"))
out.write(b"x" * 100000)
seen = {"fd": os.readlink(f"/proc/self/fd/{out.fileno()}"), "listing": sorted(os.listdir(d)),
        "named": out._tmp is not None}
out.commit()
out.close()
seen["after"] = sorted(os.listdir(d))
seen["status"] = main(["decrypt", "-i", key, "-o", os.path.join(d, "result"), "--force", stream])
seen["final"] = sorted(os.listdir(d))
# A directory nobody may write to but not read: the output could never be
# synced, so it is refused before anything is written.
seen["unreadable"] = main(["decrypt", "-i", key, "-o", os.path.join(sys.argv[5], "result"), stream])
print(json.dumps(seen))
"""


@pytest.fixture(scope="module")
def empty_path_shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    cc = shutil.which("gcc") or shutil.which("cc")
    if cc is None or not sys.platform.startswith("linux"):
        pytest.skip("the linkat shim needs a C compiler on Linux")
    out = tmp_path_factory.mktemp("shim") / "empty_path_shim.so"
    build = subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(out), str(SHIM_SOURCE), "-ldl"],
                           capture_output=True, text=True)
    if build.returncode != 0:
        pytest.skip(f"the linkat shim did not build: {build.stderr.strip()}")
    return out


@pytest.mark.skipif(not hasattr(os, "O_TMPFILE") or os.geteuid() != 0,
                    reason="needs Linux and root, to become an unprivileged user")
@pytest.mark.parametrize("kernel", ["this kernel", "AT_EMPTY_PATH refused"])
def test_an_unprivileged_user_gets_unnamed_temporary_files(
    keys: dict[str, Path], stream: Path, tmp_path: Path, empty_path_shim: Path, kernel: str,  # noqa: F811
    request: pytest.FixtureRequest,
) -> None:
    kinds_that_work("unnamed", tmp_path)
    # A directory under the system's temporary directory, which everyone
    # can reach, holding what nobody needs to read.
    top = Path(tempfile.mkdtemp())
    request.addfinalizer(lambda: shutil.rmtree(top))
    top.chmod(0o755)
    d = top / "shared"
    d.mkdir()
    d.chmod(0o777)
    (d / "result").write_bytes(OLD)
    os.chown(d / "result", 65534, 65534)
    key = top / "key"
    shutil.copy(sec(keys, "a"), key)
    os.chown(key, 65534, 65534)
    shutil.copy(stream, top / "stream")
    (top / "stream").chmod(0o644)
    stream = top / "stream"
    wx = top / "write-only"
    wx.mkdir()
    wx.chmod(0o333)
    e = child_env()
    e["TARNEL_PASSWORD"] = PASSWORD
    if kernel != "this kernel":
        # After whatever is preloaded already (a sanitizer's runtime comes first).
        e["LD_PRELOAD"] = " ".join(filter(None, [e.get("LD_PRELOAD", ""), str(empty_path_shim)]))
    res = subprocess.run([sys.executable, "-c", NOBODY_SCRIPT, str(d), str(stream), str(key),
                          str(tmp_path / "warm"), str(wx)],
                         env=e, capture_output=True, timeout=300)
    assert res.returncode == 0, res.stderr.decode()
    assert res.stderr.decode().splitlines()[-1:] == [
        f"tarnel: error: cannot write {wx / 'result'}: its directory cannot be opened to sync it: "
        "Permission denied"]
    seen = json.loads(res.stdout)
    assert not seen["named"]
    assert seen["fd"].endswith(" (deleted)") and os.path.dirname(seen["fd"]) == str(d), seen["fd"]
    assert seen["listing"] == ["result"]
    assert seen["after"] == ["result", "watched"]
    assert seen["status"] == 0
    assert seen["final"] == ["result", "watched"]
    assert (d / "result").read_bytes() == PLAIN
    assert (d / "watched").stat().st_uid == 65534
    assert seen["unreadable"] == 1
    assert os.listdir(wx) == []


@needs_strace
def test_a_probe_that_fails_for_a_passing_reason_is_tried_again(tmp_path: Path) -> None:
    """A probe's link that fails with EIO says nothing about the system: the
    next output on the same device probes again and gets an unnamed file."""
    kinds_that_work("unnamed", tmp_path)
    code = (
        "import json, sys\nfrom tarnel import _files\nnamed = []\n"
        "for name in ('one', 'two'):\n"
        "    out = _files.OutputFile(sys.argv[1] + '/' + name)\n"
        "    named.append(out._tmp is not None)\n"
        "    out.write(b'data')\n    out.commit()\n    out.close()\n"
        "print(json.dumps(named))\n"
    )
    assert STRACE is not None
    res = subprocess.run([STRACE, "-f", "-qq", "-o", os.devnull, "-e", "inject=linkat:error=EIO:when=1",
                          sys.executable, "-c", code, str(tmp_path)],
                         env=child_env(), capture_output=True, timeout=300)
    assert res.returncode == 0, res.stderr.decode()
    assert json.loads(res.stdout) == [True, False]
    assert sorted(os.listdir(tmp_path)) == ["one", "two"]


def test_a_named_temporary_is_private_until_the_commit(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_files, "USE_TMPFILE", False)
    old_mask = os.umask(0o022)
    try:
        out = _files.OutputFile(tmp_path / "new")
        assert out._tmp is not None
        assert stat.S_IMODE(os.fstat(out.fileno()).st_mode) == 0o600
        out.write(b"data")
        out.commit()
        out.close()
    finally:
        os.umask(old_mask)
    assert stat.S_IMODE(os.stat(tmp_path / "new").st_mode) == 0o644
    assert os.listdir(tmp_path) == ["new"]


# ---------------------------------------------------------------------------
# Inputs that fail to close once the work is done

# What each operation reads, and how it is run: command-line arguments, or a
# call of the library with the secret key ``sk`` and public key ``pk``.
INPUT_CLOSERS = {
    "decrypt": ("stream", ["decrypt", "-i", "{sec}", "-o", "{out}", "--force", "{src}"]),
    "decrypt (file format)": ("file", ["decrypt", "-i", "{sec}", "-o", "{out}", "--force", "{src}"]),
    "encrypt": ("plain", ["encrypt", "-r", "{pub}", "-o", "{out}", "--force", "{src}"]),
    "encrypt --format stream": ("plain", ["encrypt", "--format", "stream", "-r", "{pub}", "-o", "{out}",
                                          "--force", "{src}"]),
    "rekey -o": ("file", ["rekey", "-i", "{sec}", "-r", "{pub}", "-o", "{out}", "--force", "{src}"]),
    "decrypt_file": ("stream", "tarnel.decrypt_file(src, out, sk)"),
    "files.decrypt_file": ("file", "tarnel.files.decrypt_file(src, out, [sk])"),
    "files.encrypt_file": ("plain", "tarnel.files.encrypt_file(src, out, [pk])"),
    "files.rekey": ("file", "tarnel.files.rekey(src, out, [sk], add=[pk], overwrite=True)"),
}

CLOSER_SCRIPT = """
import sys, tarnel, tarnel.files, tarnel.keyfile
from tarnel.cli import _read_key_file, public_key_of
src, out = sys.argv[1:3]
sk, _ = tarnel.keyfile.load_secret_key_text(_read_key_file(sys.argv[3]), sys.argv[4])
pk = public_key_of(sk, 768)
{call}
"""


@needs_strace
@pytest.mark.parametrize("operation", INPUT_CLOSERS)
def test_an_input_that_fails_to_close_does_not_fail_finished_work(
    keys: dict[str, Path], stream: Path, tmp_path: Path, operation: str,  # noqa: F811
) -> None:
    """Every close() of the input fails with EIO, after the output is in
    place: a descriptor opened for reading loses nothing (Linux has
    released it), so the work succeeds quietly and the output stands."""
    d, out = prepare(tmp_path, True)
    kind, how = INPUT_CLOSERS[operation]
    source = tmp_path / "source"
    if kind == "plain":
        source.write_bytes(PLAIN)
    elif kind == "stream":
        shutil.copyfile(stream, source)
    else:
        source.write_bytes(ok(run("encrypt", "-r", pub(keys, "a"), input=PLAIN)).stdout)
    fault = ["-P", str(source), "-e", "inject=close:error=EIO"]
    if isinstance(how, str):
        assert STRACE is not None
        res = subprocess.run([STRACE, "-f", "-qq", "-o", os.devnull, *fault, sys.executable, "-c",
                              CLOSER_SCRIPT.format(call=how), str(source), str(out), sec(keys, "a"),
                              PASSWORD], env=child_env(), capture_output=True, timeout=300)
        status, stderr = res.returncode, res.stderr.decode()
    else:
        args = [a.format(sec=sec(keys, "a"), pub=pub(keys, "a"), out=out, src=source) for a in how]
        status, stderr = finish(traced(fault, "unnamed", "-q", *args))
    # rekey reports the entries it wrote; nothing else is said.
    said = [ln for ln in stderr.splitlines() if not ln.endswith("(1 entry)")]
    assert (status, said) == (0, [])
    assert sorted(os.listdir(d)) == ["result"]
    if "decrypt" in operation:
        assert out.read_bytes() == PLAIN
    else:
        assert ok(run("decrypt", "-i", sec(keys, "a"), str(out))).stdout == PLAIN


@needs_strace
@pytest.mark.parametrize("kind, unlink", [("unnamed", 2), ("named", 1)])
def test_a_hidden_name_that_cannot_be_removed_after_a_failed_commit_is_named(
    keys: dict[str, Path], stream: Path, tmp_path: Path, kind: str, unlink: int,  # noqa: F811
) -> None:
    """Two faults: the rename into place fails, then so does removing the
    hidden name the data had for it (after the probe's, for an unnamed
    file). The old output stands and the error is the first fault's; the
    name left behind is said in a warning, not passed over."""
    kinds_that_work(kind, tmp_path)
    d, out = prepare(tmp_path, True)
    code, stderr = finish(traced(["-e", "trace=renameat,unlinkat", "-e", "inject=renameat:error=EIO:when=1",
                                  "-e", f"inject=unlinkat:error=EIO:when={unlink}"], kind,
                                 "decrypt", "-i", sec(keys, "a"), "-o", str(out), "--force", str(stream)))
    assert code == 1, stderr
    lines = stderr.splitlines()
    assert lines[-1] == f"tarnel: error: {out}: Input/output error"
    assert out.read_bytes() == OLD
    left = [n for n in os.listdir(d) if n != "result"]
    assert len(left) == 1 and left[0].startswith(".result.") and left[0].endswith(".part"), left
    assert f"tarnel: warning: a temporary file of {out} could not be removed: it is still at {d / left[0]}" \
        in lines


@needs_strace
def test_a_hidden_name_left_by_the_library_is_reported_as_a_warning(
    keys: dict[str, Path], stream: Path, tmp_path: Path,  # noqa: F811
) -> None:
    """The same two faults under decrypt_file: the caller gets the first
    fault as the error and a LeftBehindWarning naming what is left."""
    d, out = prepare(tmp_path, True)
    code = ("import sys, warnings, tarnel, tarnel.keyfile\nfrom tarnel.cli import _read_key_file\n"
            "from tarnel._files import LeftBehindWarning\n"
            "sk, _ = tarnel.keyfile.load_secret_key_text(_read_key_file(sys.argv[3]), sys.argv[4])\n"
            "with warnings.catch_warnings(record=True) as seen:\n"
            "    warnings.simplefilter('always')\n"
            "    try:\n"
            "        tarnel.decrypt_file(sys.argv[1], sys.argv[2], sk)\n"
            "    except OSError as e:\n"
            "        print('error', e.strerror)\n"
            "for w in seen:\n"
            "    if issubclass(w.category, LeftBehindWarning):\n"
            "        print('left', w.message.output, w.message.path)\n")
    assert STRACE is not None
    res = subprocess.run([STRACE, "-f", "-qq", "-o", os.devnull, "-e", "trace=renameat,linkat,unlinkat",
                          "-e", "inject=renameat:error=EIO:when=1", "-e", "inject=linkat:error=EIO:when=1",
                          "-e", "inject=unlinkat:error=EIO", sys.executable, "-c", code,
                          str(stream), str(out), sec(keys, "a"), PASSWORD],
                         env=child_env(), capture_output=True, timeout=300)
    lines = res.stdout.decode().splitlines()
    assert lines[0] == "error Input/output error", res.stderr.decode()
    assert out.read_bytes() == OLD
    left = [n for n in os.listdir(d) if n != "result"]
    assert len(left) == 1, left
    assert lines[1:] == [f"left {out} {d / left[0]}"]
