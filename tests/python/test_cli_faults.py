"""The ``tarnel`` command under faults: a full disk, signals mid-stream,
special and existing outputs, several keys, odd key text, closed pipes."""

from __future__ import annotations

import os
import signal
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import pytest

import tarnel
from support import PASSWORD, assert_user_error, env, finish, ok, output_is_open, pub, run, sec, start






def test_a_key_that_does_not_open_is_passed_over(keys: dict[str, Path], tmp_path: Path) -> None:
    # Another key file under another passphrase, given first: the password
    # file opens only the second key, which is the one the stream is for.
    other = tmp_path / "other"
    ok(run("keygen", "--type", "mlkem768", "-o", str(other), password="not the same passphrase"))
    plain = b"for b only"
    (tmp_path / "e").write_bytes(ok(run("encrypt", "--format", "stream", "-r", pub(keys, "b"), input=plain)).stdout)
    (tmp_path / "pass").write_text(PASSWORD + "\n")
    res = ok(run("decrypt", "-i", f"{other}.key", "-i", sec(keys, "b"), "--password-file",
                 str(tmp_path / "pass"), str(tmp_path / "e"), password=None))
    assert res.stdout == plain
    assert res.stderr.decode() == (
        f"tarnel: warning: {other}.key: wrong password, or the secret key file is damaged; "
        "trying the next key\n")
    # No key opens it: both are named, and the one that could not be read.
    res = run("decrypt", "-i", f"{other}.key", "-i", sec(keys, "a"), "--password-file",
              str(tmp_path / "pass"), str(tmp_path / "e"), password=None)
    assert_user_error(res, 1, f"decryption failed: no given key opens {tmp_path / 'e'} (tried "
                      f"{other}.key, {sec(keys, 'a')}; could not open {other}.key); nothing was written")


# ---------------------------------------------------------------------------
# A full disk


def test_full_disk_is_an_error_and_leaves_nothing(keys: dict[str, Path], tmp_path: Path, temp_kind: str) -> None:
    plain = os.urandom(3_000_000)
    (tmp_path / "p").write_bytes(plain)
    ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "--chunk-size", "16777216", "-o", str(tmp_path / "e"), str(tmp_path / "p")))
    ok(run("encrypt", "--format", "stream", "-a", "-r", pub(keys, "a"), "-o", str(tmp_path / "e.asc"), str(tmp_path / "p")))
    out = tmp_path / "out"
    out.mkdir()
    cases = [
        (["decrypt", "-i", sec(keys, "a"), "-o", str(out / "d"), str(tmp_path / "e")], str(out / "d")),
        (["encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(out / "x"), str(tmp_path / "p")], str(out / "x")),
        (["decrypt", "-i", sec(keys, "a"), "-o", str(out / "d"), str(tmp_path / "e.asc")], str(out / "d")),
        (["encrypt", "--format", "stream", "-a", "-r", pub(keys, "a"), "-o", str(out / "x"), str(tmp_path / "p")], str(out / "x")),
    ]
    for args, target in cases:
        res = finish(start(temp_kind, *args, limit=1 << 20, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        assert_user_error(res, 1, f"{target}: File too large")
        assert os.listdir(out) == []
    # The secret key file (4448 bytes at ML-KEM-1024) does not fit: no pair.
    res = finish(start(temp_kind, "keygen", "--level", "1024", "-o", str(out / "k"), limit=4096,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    assert_user_error(res, 1, f"{out / 'k.key'}: File too large")
    assert os.listdir(out) == []


# ---------------------------------------------------------------------------
# Signals mid-stream



@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGKILL],
                         ids=lambda s: signal.Signals(s).name)
@pytest.mark.parametrize("command", ["encrypt", "decrypt"])
def test_signal_mid_stream_leaves_nothing(
    keys: dict[str, Path], tmp_path: Path, temp_kind: str, signum: int, command: str
) -> None:
    if signum == signal.SIGKILL and temp_kind == "named":
        pytest.skip("nothing can remove a named file after SIGKILL")
    stream = ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "--chunk-size", "1000", input=os.urandom(400_000))).stdout
    out = tmp_path / "out"
    out.mkdir()
    key_args = ["-r", pub(keys, "a")] if command == "encrypt" else ["-i", sec(keys, "a")]
    proc = start(temp_kind, command, *key_args, "-o", str(out / "result"),
                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdin is not None
    proc.stdin.write(stream[:200_000])  # half of it; the rest never comes
    proc.stdin.flush()
    deadline = time.monotonic() + 60
    while not output_is_open(proc.pid, out):
        assert time.monotonic() < deadline, "the command never opened its output"
        time.sleep(0.02)
    time.sleep(0.2)
    proc.send_signal(signum)
    try:
        res = finish(proc)
    except BrokenPipeError:
        res = finish(proc)
    expected = -signal.SIGKILL if signum == signal.SIGKILL else 128 + signum
    if signum == signal.SIGINT:
        expected = 130
    assert res.returncode == expected, res.stderr.decode()
    assert b"Traceback" not in res.stderr
    assert os.listdir(out) == []


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=lambda s: signal.Signals(s).name)
@pytest.mark.parametrize("blocked", ["reading", "writing"])
def test_a_signal_stops_a_stream_that_a_pipe_holds_up(
    keys: dict[str, Path], signum: int, blocked: str
) -> None:
    # Pipe in, pipe out: the command waits on stdin that never comes, or on
    # stdout that nobody reads; either wait ends with the signal.
    out_r, out_w = os.pipe()
    proc = subprocess.Popen([sys.executable, "-m", "tarnel", "encrypt", "-r", pub(keys, "a")],
                            stdin=subprocess.PIPE, stdout=out_w, stderr=subprocess.PIPE, env=env(),
                            start_new_session=True)
    os.close(out_w)
    assert proc.stdin is not None and proc.stderr is not None

    def feed() -> None:
        try:
            proc.stdin.write(os.urandom(1 << 16) * (256 if blocked == "writing" else 1))
            proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        time.sleep(1.5)  # long enough to load and to block
        assert proc.poll() is None
        proc.send_signal(signum)
        proc.wait(timeout=60)
    finally:
        os.close(out_r)  # unblocks the feeder when the command is gone
        feeder.join()
        proc.stdin.close()
    err = proc.stderr.read().decode()
    proc.stderr.close()
    expected = 130 if signum == signal.SIGINT else 128 + signum
    message = "interrupted" if signum == signal.SIGINT else "terminated by SIGTERM"
    assert proc.returncode == expected, err
    assert "Traceback" not in err and message in err


# ---------------------------------------------------------------------------
# Where the output goes


def test_existing_outputs_need_force(keys: dict[str, Path], tmp_path: Path) -> None:
    (tmp_path / "p").write_bytes(b"plain")
    enc = ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), input=b"plain")).stdout
    (tmp_path / "e").write_bytes(enc)
    existing = tmp_path / "existing"
    existing.write_bytes(b"keep me")
    existing.chmod(0o640)
    (tmp_path / "link").symlink_to("existing")
    for target in ("existing", "link"):
        for args in (["encrypt", "--format", "stream", "-r", pub(keys, "a"), str(tmp_path / "p")],
                     ["decrypt", "-i", sec(keys, "a"), str(tmp_path / "e")]):
            res = run(*args, "-o", str(tmp_path / target))
            assert_user_error(res, 1, f"{tmp_path / target} exists (use --force to replace it)")
            assert existing.read_bytes() == b"keep me"
    ok(run("decrypt", "-i", sec(keys, "a"), "--force", "-o", str(tmp_path / "link"), str(tmp_path / "e")))
    assert (tmp_path / "link").is_symlink() and existing.read_bytes() == b"plain"
    assert stat.S_IMODE(existing.stat().st_mode) == 0o640
    # A key file is an existing output like any other.
    res = run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", sec(keys, "a"), str(tmp_path / "p"))
    assert_user_error(res, 1, f"{sec(keys, 'a')} exists (use --force to replace it)")


def test_fifo_output_is_written_through(keys: dict[str, Path], tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    plain = os.urandom(150_000)
    enc = ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), input=plain)).stdout
    (tmp_path / "e").write_bytes(enc)
    (tmp_path / "bad").write_bytes(enc[:-30])
    for src, good in (("e", True), ("bad", False)):
        got = bytearray()

        def drain() -> None:
            with open(fifo, "rb") as f:
                got.extend(f.read())

        reader = threading.Thread(target=drain)
        reader.start()
        res = run("decrypt", "-i", sec(keys, "a"), "-o", str(fifo), str(tmp_path / src))
        reader.join(60)
        if good:
            ok(res)
            assert bytes(got) == plain
        else:
            assert_user_error(res, 1, "the stream is damaged: stream ended inside frame 2: "
                              f"{150_000 - 2 * 65536 + 16 - 10} of {150_000 - 2 * 65536 + 16} bytes"
                              "; the output written so far is incomplete and must not be trusted")
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["bad", "e", "fifo"]


def test_device_output_and_errors_name_the_users_path(keys: dict[str, Path], tmp_path: Path) -> None:
    (tmp_path / "d").mkdir()
    ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", os.devnull, input=b"x" * 100_000))
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    res = run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(tmp_path / "d"), input=b"x")
    assert_user_error(res, 1, f"cannot write {tmp_path / 'd'}: Is a directory")
    res = run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(tmp_path / "no" / "x"), input=b"x")
    assert_user_error(res, 1, f"cannot write {tmp_path / 'no' / 'x'}: No such file or directory")
    long_name = tmp_path / ("L" * 250)
    ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(long_name), input=b"x"))
    # /dev/stdout on a regular file is the descriptor, not a file to replace.
    with open(tmp_path / "redirected", "wb") as f:
        res = finish(start("unnamed", "decrypt", "-i", sec(keys, "a"), "-o", "/dev/stdout", str(long_name),
                           stdout=f, stderr=subprocess.PIPE))
    assert res.returncode == 0, res.stderr
    assert (tmp_path / "redirected").read_bytes() == b"x"
    assert sorted(os.listdir(tmp_path)) == sorted(["d", "L" * 250, "redirected"])


def test_closed_output_pipe_ends_quietly(keys: dict[str, Path], tmp_path: Path) -> None:
    enc = ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), input=os.urandom(300_000))).stdout
    (tmp_path / "e").write_bytes(enc)
    for args in (["inspect", str(tmp_path / "e")],
                 ["decrypt", "-i", sec(keys, "a"), str(tmp_path / "e")],
                 ["encrypt", "--format", "stream", "-r", pub(keys, "a"), str(tmp_path / "e")]):
        r, w = os.pipe()
        os.close(r)
        try:
            res = finish(start("unnamed", *args, stdin=subprocess.DEVNULL, stdout=w, stderr=subprocess.PIPE))
        finally:
            os.close(w)
        assert (res.returncode, res.stderr) == (128 + signal.SIGPIPE, b""), args


def run_with_closed(fd: int, *args: str) -> subprocess.CompletedProcess[bytes]:
    """Run the command with descriptor ``fd`` closed, as ``<&-`` or ``>&-`` do."""
    pipes = {0: "stdin", 1: "stdout", 2: "stderr"}
    streams: dict[str, Any] = {n: subprocess.PIPE for n in pipes.values()}
    streams[pipes[fd]] = None
    return subprocess.run([sys.executable, "-m", "tarnel", *args], env=env(),
                          preexec_fn=lambda: os.close(fd), start_new_session=True,
                          timeout=300, **streams)


def test_closed_standard_streams_are_errors(keys: dict[str, Path], tmp_path: Path) -> None:
    (tmp_path / "p").write_bytes(b"plain")
    ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(tmp_path / "e"), str(tmp_path / "p")))
    out = tmp_path / "out"
    out.mkdir()
    cases = [
        (0, ["encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(out / "x")], "standard input is closed"),
        (0, ["decrypt", "-i", sec(keys, "a"), "-o", str(out / "x")], "standard input is closed"),
        (0, ["inspect", "-"], "standard input is closed"),
        (1, ["decrypt", "-i", sec(keys, "a"), str(tmp_path / "e")], "standard output is closed"),
        (1, ["encrypt", "--format", "stream", "-a", "-r", pub(keys, "a"), str(tmp_path / "p")],
         "standard output is closed"),
        (1, ["inspect", str(tmp_path / "e")], "standard output is closed"),
        (1, ["--version"], "standard output is closed"),
    ]
    for fd, args, message in cases:
        assert_user_error(run_with_closed(fd, *args), 1, message)
        assert os.listdir(out) == [], args
    # The streams that are open still work; with no stderr, only the status tells.
    res = run_with_closed(0, "decrypt", "-i", sec(keys, "a"), str(tmp_path / "e"))
    assert (res.returncode, res.stdout) == (0, b"plain")
    res = run_with_closed(1, "decrypt", "-i", sec(keys, "a"), "-o", str(out / "x"), str(tmp_path / "e"))
    assert (res.returncode, res.stderr) == (0, b"")
    assert (out / "x").read_bytes() == b"plain"
    res = run_with_closed(2, "decrypt", "-i", sec(keys, "a"), str(tmp_path / "p"))
    assert (res.returncode, res.stdout) == (1, b"")
    res = run_with_closed(2, "decrypt", "-i", sec(keys, "a"), str(tmp_path / "e"))
    assert (res.returncode, res.stdout) == (0, b"plain")


def strace_works() -> bool:
    try:
        return subprocess.run(["strace", "-qq", "-o", os.devnull, "true"],
                              capture_output=True, timeout=60).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


# The console script as the installed wrapper runs it (pyproject.toml).
CONSOLE_SCRIPT = "import sys; from tarnel.__main__ import run; sys.exit(run())"


@pytest.mark.skipif(not strace_works(), reason="needs strace, allowed to trace")
@pytest.mark.parametrize("entry", [["-m", "tarnel"], ["-c", CONSOLE_SCRIPT]], ids=["module", "script"])
@pytest.mark.parametrize("module", ["cli/__init__.py", "armor.py"])
@pytest.mark.parametrize("name,status,message", [
    ("INT", 130, "interrupted"), ("TERM", 143, "terminated by SIGTERM"),
    ("HUP", 129, "terminated by SIGHUP"),
])
def test_a_signal_while_the_command_loads_ends_it_cleanly(
    keys: dict[str, Path], entry: list[str], module: str, name: str, status: int, message: str
) -> None:
    # strace sends the signal when the command line's own modules are first
    # looked up, before main() runs.
    source = Path(tarnel.__file__).parent / module
    res = subprocess.run(
        ["strace", "-qq", "-o", os.devnull, "-P", str(source), "-e", "trace=%file,%stat",
         "-e", f"inject=%file,%stat:signal={name}:when=1",
         sys.executable, *entry, "encrypt", "--format", "stream", "-r", pub(keys, "a")],
        input=b"x", capture_output=True, env=env(), start_new_session=True, timeout=300)
    assert_user_error(res, status, message)
    assert res.stdout == b""


@pytest.mark.skipif(not strace_works(), reason="needs strace, allowed to trace")
@pytest.mark.parametrize("entry", [["-m", "tarnel"], ["-c", CONSOLE_SCRIPT]], ids=["module", "script"])
@pytest.mark.parametrize("name", ["INT", "TERM", "HUP"])
def test_a_signal_after_the_command_is_over_keeps_its_status(
    keys: dict[str, Path], tmp_path: Path, entry: list[str], name: str
) -> None:
    # strace sends the signal as SIGTERM's handler is given back to the
    # system, after main() returned: the output is in place and said so by
    # status 0, which the signal must not turn into a death without a word.
    (tmp_path / "p").write_bytes(b"plain")
    command = [sys.executable, *entry, "encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(tmp_path / "e"),
               "--force", str(tmp_path / "p")]
    log = tmp_path / "log"
    subprocess.run(["strace", "-f", "-qq", "-o", str(log), "-e", "trace=rt_sigaction", *command],
                   capture_output=True, env=env(), start_new_session=True, timeout=300, check=True)
    lines = log.read_text().splitlines()
    main = lines[0].split()[0]
    calls = [line for line in lines if line.split()[0] == main and "rt_sigaction(" in line]
    when = max(i for i, line in enumerate(calls, 1) if "rt_sigaction(SIGTERM, {sa_handler=SIG_DFL" in line)
    (tmp_path / "e").unlink()
    res = subprocess.run(["strace", "-f", "-qq", "-o", os.devnull, "-e", "trace=rt_sigaction",
                          "-e", f"inject=rt_sigaction:signal={name}:when={when}", *command],
                         capture_output=True, env=env(), start_new_session=True, timeout=300)
    assert (res.returncode, res.stderr) == (0, b"")
    assert ok(run("decrypt", "-i", sec(keys, "a"), str(tmp_path / "e"))).stdout == b"plain"


@pytest.mark.skipif(not strace_works(), reason="needs strace, allowed to trace")
def test_read_errors_name_the_input(keys: dict[str, Path], tmp_path: Path) -> None:
    plain, stream = tmp_path / "plain", tmp_path / "stream"
    plain.write_bytes(os.urandom(3_000_000))
    ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(stream), str(plain)))
    out = tmp_path / "out"
    out.mkdir()
    cases = [  # arguments, the file on stdin (or None), the message
        (["encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(out / "x"), str(plain)], None,
         f"{plain}: Input/output error"),  # read in native code
        (["encrypt", "--format", "stream", "-r", pub(keys, "a"), str(plain)], None, f"{plain}: Input/output error"),
        (["encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(out / "x")], plain,
         "standard input: Input/output error"),
        (["encrypt", "--format", "stream", "-a", "-r", pub(keys, "a")], plain, "standard input: Input/output error"),
        (["decrypt", "-i", sec(keys, "a"), "-o", str(out / "x"), str(stream)], None,
         f"{stream}: Input/output error"),
        (["decrypt", "-i", sec(keys, "a")], stream, "standard input: Input/output error"),
        (["inspect", str(plain)], None, f"cannot read {plain}: Input/output error"),
        (["inspect", "-"], plain, "cannot read standard input: Input/output error"),
    ]
    for args, stdin, message in cases:
        source = stdin or (stream if args[0] == "decrypt" else plain)
        with open(stdin or os.devnull, "rb") as f:
            res = subprocess.run(
                ["strace", "-qq", "-f", "-o", os.devnull, "-P", str(source),
                 "-e", "trace=read,pread64", "-e", "inject=read,pread64:error=EIO:when=2",
                 sys.executable, "-m", "tarnel", *args],
                stdin=f, capture_output=True, env=env(), start_new_session=True, timeout=300)
        assert_user_error(res, 1, message)
        assert os.listdir(out) == [], args


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_errors_on_standard_output_name_it(keys: dict[str, Path], tmp_path: Path) -> None:
    (tmp_path / "p").write_bytes(os.urandom(300_000))
    ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-o", str(tmp_path / "e"), str(tmp_path / "p")))
    for args in (["encrypt", "--format", "stream", "-r", pub(keys, "a"), str(tmp_path / "p")],
                 ["encrypt", "--format", "stream", "-a", "-r", pub(keys, "a"), str(tmp_path / "p")],
                 ["decrypt", "-i", sec(keys, "a"), str(tmp_path / "e")]):
        with open("/dev/full", "wb") as full:
            res = subprocess.run([sys.executable, "-m", "tarnel", *args], stdout=full,
                                 stderr=subprocess.PIPE, env=env(), timeout=300)
        assert res.returncode == 1, args
        assert res.stderr.decode().splitlines()[-1].startswith(
            "tarnel: error: standard output: No space left on device"), args


# ---------------------------------------------------------------------------
# Recipients and identities


def test_one_recipient_per_stream(keys: dict[str, Path], tmp_path: Path) -> None:
    res = run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "-r", pub(keys, "b"), "-o", str(tmp_path / "e"), input=b"x")
    assert_user_error(res, 2, "a stream has exactly one recipient: give -r/--recipient once (it was given 2 times)")
    assert not (tmp_path / "e").exists()


@pytest.mark.parametrize("size", [0, 100_000])
def test_each_identity_is_tried(keys: dict[str, Path], tmp_path: Path, size: int) -> None:
    plain = os.urandom(size)
    enc = ok(run("encrypt", "--format", "stream", "-r", pub(keys, "b"), input=plain)).stdout
    (tmp_path / "e").write_bytes(enc)
    for order in (["a", "c", "b"], ["b", "a"], ["c", "b"]):
        ids = [x for n in order for x in ("-i", sec(keys, n))]
        assert ok(run("decrypt", *ids, str(tmp_path / "e"))).stdout == plain
        assert ok(run("decrypt", *ids, input=enc)).stdout == plain
    armored = ok(run("encrypt", "--format", "stream", "-a", "-r", pub(keys, "b"), input=plain)).stdout
    ids = [x for n in ("a", "c", "b") for x in ("-i", sec(keys, n))]
    assert ok(run("decrypt", *ids, input=armored)).stdout == plain
    res = run("decrypt", "-i", sec(keys, "a"), "-i", sec(keys, "c"), "-o", str(tmp_path / "d"), str(tmp_path / "e"))
    assert_user_error(res, 1, f"decryption failed: no given key opens {tmp_path / 'e'} "
                      f"(tried {sec(keys, 'a')}, {sec(keys, 'c')}); no output file was written")
    assert not (tmp_path / "d").exists()
    res = run("decrypt", "-i", sec(keys, "c"), str(tmp_path / "e"))
    assert_user_error(res, 1, "the stream was made for another security level (ML-KEM-768), not ML-KEM-1024"
                      "; nothing was written")


# ---------------------------------------------------------------------------
# inspect


def test_inspect_reads_a_fifo_and_names_the_level_it_was_made_for(keys: dict[str, Path], tmp_path: Path) -> None:
    enc = ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), input=b"z" * 5000)).stdout
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def feed() -> None:
        with open(fifo, "wb") as f:
            f.write(enc)

    writer = threading.Thread(target=feed)
    writer.start()
    res = ok(run("inspect", str(fifo)))
    writer.join(60)
    assert b"level: ML-KEM-768 (inferred from the framing)\n" in res.stdout
    assert b"plaintext: 5000 bytes\n" in res.stdout
    res = run("inspect", "--level", "1024", "-", input=enc)
    assert_user_error(res, 1, "stdin: the stream was made for another security level (ML-KEM-768), not ML-KEM-1024")
    # Bytes that are no key and whose chunk-size field is out of range at
    # every level (random bytes hold a plausible one now and then).
    res = run("inspect", "-", input=b"\xff" * 5000)
    assert_user_error(res, 1, "stdin: not a key file or an encrypted stream")


def endless(start: bytes, then: bytes) -> "subprocess.Popen[bytes]":
    """A process that writes ``start`` and then ``then`` over and over,
    until its reader goes away."""
    code = ("import sys; out = sys.stdout.buffer; out.write(bytes.fromhex(sys.argv[1]))\n"
            "block = bytes.fromhex(sys.argv[2]) * (65536 // len(bytes.fromhex(sys.argv[2])))\n"
            "while True: out.write(block)")
    return subprocess.Popen([sys.executable, "-c", code, start.hex(), then.hex()],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def test_inspect_of_an_endless_input_ends(keys: dict[str, Path]) -> None:
    # A timeout is only a safety net: each input is described, or refused,
    # from its first bytes or frames.
    assert_user_error(run("inspect", "/dev/zero"), 1, "/dev/zero: not a key file or an encrypted stream")
    enc = ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), "--chunk-size", "1000", input=b"z" * 5000)).stdout
    cases = [
        (b"", b"y\n", None),
        (b"", b"\0", None),
        (enc, b"\0", "present, but followed by extra data"),
        (enc[:3000], (1001).to_bytes(4, "big") * 300, "not reached: a frame exceeds the chunk size"),
    ]
    for head, then, verdict in cases:
        writer = endless(head, then)
        try:
            res = subprocess.run([sys.executable, "-m", "tarnel", "inspect", "-"], stdin=writer.stdout,
                                 capture_output=True, env=env(), timeout=120)
        finally:
            writer.kill()
            writer.wait()
            assert writer.stdout is not None
            writer.stdout.close()
        if verdict is None:
            assert_user_error(res, 1, "stdin: not a key file or an encrypted stream")
        else:
            out = res.stdout.decode()
            assert res.returncode == 1 and "Traceback" not in res.stderr.decode()
            assert f"end-of-stream marker: {verdict}\n" in out
            assert "(not read to its end)" in out


def odd_blocks(text: str, header: str, footer: str) -> dict[str, str]:
    """Variants of a key block that a careless reader might take, with
    what comes before the block (a key file's header lines) kept, so that
    a variant stays the form it was."""
    start = text.index(header) + len(header)
    end = text.index(footer)
    body = text[start:end]
    header = text[:start]
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    i = len(body.rstrip("\n=")) - 1
    flipped = alphabet[alphabet.index(body[i]) ^ 1]  # sets a bit the encoder leaves zero
    return {
        "as written": text,
        "CRLF and indented": header + body.replace("\n", "\r\n  ") + text[end:],
        "file separator U+001C": header + body.replace("\n", "\n\x1c", 1) + text[end:],
        "unit separator U+001F": header + "\x1f" + body + text[end:],
        "no-break space U+00A0": header + body.replace("\n", "\n\u00a0", 1) + text[end:],
        "non-zero trailing bits": header + body[:i] + flipped + body[i + 1 :] + text[end:],
        "URL-safe alphabet": header + body.replace("+", "-").replace("/", "_") + text[end:],
        "padding removed": header + body.replace("=", "") + text[end:],
    }


def test_inspect_and_the_loaders_agree_on_odd_blocks(keys: dict[str, Path], tmp_path: Path) -> None:
    secret_text = Path(sec(keys, "a")).read_text()
    public_text = Path(pub(keys, "a")).read_text()
    blocks = [
        (name, t, lambda t: tarnel.load_secret_key_text(t, PASSWORD))
        for name, t in odd_blocks(secret_text, "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----",
                                  "-----END ENCRYPTED ML-KEM PRIVATE KEY-----").items()
    ] + [
        (name, t, lambda t: tarnel.load_public_key_pem(t, tarnel.SecurityLevel.ML_KEM_768))
        for name, t in odd_blocks(public_text, "-----BEGIN ML-KEM PUBLIC KEY-----",
                                  "-----END ML-KEM PUBLIC KEY-----").items()
    ]
    verdicts = {}
    for name, text, load in blocks:
        try:
            load(text)
            loads = True
        except tarnel.TarnelError:
            loads = False
        (tmp_path / "k").write_text(text)
        res = run("inspect", str(tmp_path / "k"))
        assert b"Traceback" not in res.stderr
        assert (res.returncode == 0) == loads, (name, res.stderr)
        if loads:
            assert b"level: ML-KEM-768\n" in res.stdout
        verdicts[name] = loads
    assert verdicts["as written"] and verdicts["CRLF and indented"]
    assert not verdicts["file separator U+001C"] and not verdicts["non-zero trailing bits"]


def test_inspect_and_the_loader_agree_on_binary_blobs(tmp_path: Path) -> None:
    pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_1024)
    blob = pair.export_secret_key_raw(b"pw")

    def patched(offset: int, value: int) -> bytes:
        return blob[:offset] + bytes([value]) + blob[offset + 1 :]

    variants = {
        "as written": blob,
        "version 2": patched(4, 2),
        "level id 3": patched(5, 3),
        "magic in lower case": b"trpk" + blob[4:],
        "49 bytes": blob[:49],
    }
    for name, data in variants.items():
        path = tmp_path / "blob"
        path.write_bytes(data)
        res = run("inspect", str(path))
        try:
            tarnel.load_secret_key_raw(data, b"pw")
        except tarnel.KeySerializationError as e:
            if data.startswith(b"TRPK"):
                assert_user_error(res, 1, f"{path}: {e}")
            else:  # not recognised as a blob at all
                assert_user_error(res, 1, f"{path}: not a key file or an encrypted stream")
        else:
            assert ok(res).stdout.startswith(
                b"type: password-protected ML-KEM secret key (binary)\nlevel: ML-KEM-1024\n"
            ), name


def test_keygen_writes_the_pair_or_nothing(tmp_path: Path) -> None:
    (tmp_path / "k.pub").mkdir()  # the public key cannot be written
    res = run("keygen", "--type", "mlkem768", "--force", "-o", str(tmp_path / "k"))
    assert_user_error(res, 1, f"cannot write {tmp_path / 'k.pub'}: Is a directory")
    assert sorted(os.listdir(tmp_path)) == ["k.pub"]
    assert os.listdir(tmp_path / "k.pub") == []
