"""Whole-file work with the writer on its own thread: order, failures, interrupts.

Chunks of 256 KiB and more are written by a writer thread when the output is
a regular file. These tests drive that path through the public functions
(and the channel itself) and check that every failure is raised, leaves no
output and no thread behind, and never deadlocks.
"""

from __future__ import annotations

import errno
import io
import os
import signal
import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Callable

import pytest

import tarnel
from tarnel import _pipeline, streaming
from tarnel.streaming import DecryptionError, decrypt_file, encrypt_file

from support import CATCH, finish, ok, open_independently, output_is_open, pub, run, run_limited, sec, select_temps, start

BIG = 256 * 1024
CHUNKS = [BIG, 1024 * 1024]


@pytest.fixture(scope="module")
def pair768() -> tarnel.KeyPair:
    return tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)


@pytest.fixture(autouse=True)
def no_thread_left_behind() -> Any:
    yield
    left = [t.name for t in threading.enumerate() if t.name.startswith("tarnel-")]
    assert left == [], f"threads outlived the call: {left}"


def test_threads_are_used_for_large_chunks_to_regular_files(tmp_path: Path) -> None:
    with open(tmp_path / "f", "wb") as f:
        assert _pipeline.worth_a_thread(f, BIG)
        assert not _pipeline.worth_a_thread(f, BIG - 1)
    r, w = os.pipe()
    with os.fdopen(r, "rb") as pr, os.fdopen(w, "wb") as pw:
        assert not _pipeline.worth_a_thread(pw, BIG)
        assert not _pipeline.worth_a_thread(pr, BIG)
    assert not _pipeline.worth_a_thread(io.BytesIO(), BIG)


@pytest.mark.parametrize("chunk", CHUNKS)
@pytest.mark.parametrize("size", [0, 1, BIG, 3 * 1024 * 1024 + 5])
def test_round_trip_through_the_writer_thread(
    pair768: tarnel.KeyPair, tmp_path: Path, chunk: int, size: int
) -> None:
    plain = os.urandom(size)
    (tmp_path / "p").write_bytes(plain)
    assert encrypt_file(tmp_path / "p", tmp_path / "e", pair768.public_key, chunk_size=chunk) == size
    stream = (tmp_path / "e").read_bytes()
    assert open_independently(stream, pair768) == plain
    with open(tmp_path / "e", "rb") as fin, open(tmp_path / "d", "wb") as fout:
        assert decrypt_file(fin, fout, pair768.secret_key) == size
    assert (tmp_path / "d").read_bytes() == plain


class FailingFile(io.FileIO):
    """A regular file that refuses writes after ``good`` of them, or sleeps
    ``pause`` seconds in each."""

    def __init__(self, path: Path, good: int = 1 << 30, pause: float = 0.0) -> None:
        super().__init__(path, "w")
        self.good = good
        self.pause = pause
        self.writers: set[str] = set()

    def write(self, b: Any) -> int:
        self.writers.add(threading.current_thread().name)
        if self.pause:
            threading.Event().wait(self.pause)
        if self.good <= 0:
            raise OSError(errno.ENOSPC, "no space left in the test file", self.name)
        self.good -= 1
        return super().write(b)


def stream_of(pair: tarnel.KeyPair, tmp_path: Path, size: int, chunk: int) -> Path:
    (tmp_path / "p").write_bytes(os.urandom(size))
    encrypt_file(tmp_path / "p", tmp_path / "e", pair.public_key, chunk_size=chunk)
    return tmp_path / "e"


@pytest.mark.parametrize("operation", ["encrypt", "decrypt"])
def test_writer_failing_mid_stream_stops_the_call(
    pair768: tarnel.KeyPair, tmp_path: Path, operation: str
) -> None:
    enc = stream_of(pair768, tmp_path, 40 * BIG, BIG)
    with FailingFile(tmp_path / "out", good=3) as out:
        with pytest.raises(OSError, match="no space left in the test file") as info:
            if operation == "encrypt":
                encrypt_file(tmp_path / "p", out, pair768.public_key, chunk_size=BIG)
            else:
                decrypt_file(enc, out, pair768.secret_key)
        assert out.writers == {"tarnel-writer"}
    assert info.value.errno == errno.ENOSPC


def test_write_error_before_a_damaged_frame_is_the_one_raised(
    pair768: tarnel.KeyPair, tmp_path: Path
) -> None:
    enc = stream_of(pair768, tmp_path, 40 * BIG, BIG)
    data = bytearray(enc.read_bytes())
    header = streaming.stream_header_length(768)
    data[header + 5 * (BIG + 20) + 100] ^= 1  # inside frame 5
    enc.write_bytes(bytes(data))
    # The slow writer fails on frame 2, long after frame 5 was refused.
    with FailingFile(tmp_path / "out", good=2, pause=0.1) as out:
        with pytest.raises(OSError) as info:
            decrypt_file(enc, out, pair768.secret_key)
    assert info.value.errno == errno.ENOSPC


def test_damaged_frame_leaves_no_output(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    enc = stream_of(pair768, tmp_path, 20 * BIG + 7, BIG)
    data = bytearray(enc.read_bytes())
    data[-100] ^= 1
    enc.write_bytes(bytes(data))
    dst = tmp_path / "out" / "plain"
    dst.parent.mkdir()
    dst.write_bytes(b"kept")
    with pytest.raises(DecryptionError):
        decrypt_file(enc, dst, pair768.secret_key)
    assert os.listdir(dst.parent) == ["plain"] and dst.read_bytes() == b"kept"


def interrupt_after(count: int) -> Callable[[int, Any], None]:
    calls = [0]

    def progress(done: int, total: Any) -> None:
        calls[0] += 1
        if calls[0] > count:
            raise KeyboardInterrupt

    return progress


@pytest.mark.parametrize("operation", ["encrypt", "decrypt"])
def test_keyboard_interrupt_propagates_and_leaves_no_output(
    pair768: tarnel.KeyPair, tmp_path: Path, operation: str
) -> None:
    enc = stream_of(pair768, tmp_path, 30 * BIG, BIG)
    dst = tmp_path / "out" / "result"
    dst.parent.mkdir()
    with pytest.raises(KeyboardInterrupt):
        if operation == "encrypt":
            encrypt_file(tmp_path / "p", dst, pair768.public_key, chunk_size=BIG,
                         progress=interrupt_after(10))
        else:
            decrypt_file(enc, dst, pair768.secret_key, progress=interrupt_after(10))
    assert os.listdir(dst.parent) == []


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                    reason="signals reach the main thread only")
def test_sigint_while_waiting_on_a_slow_writer(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    (tmp_path / "p").write_bytes(os.urandom(60 * BIG))
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    with FailingFile(tmp_path / "out", pause=0.05) as out:
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                encrypt_file(tmp_path / "p", out, pair768.public_key, chunk_size=BIG)
        finally:
            timer.cancel()
        written = out.tell()
    assert written < 60 * BIG  # stopped early, not after the whole file


@pytest.mark.parametrize("operation", ["encrypt_file", "decrypt_file"])
@pytest.mark.parametrize("chunk", CHUNKS)
def test_full_disk_through_the_writer_thread(
    pair768: tarnel.KeyPair, tmp_path: Path, operation: str, chunk: int
) -> None:
    enc = stream_of(pair768, tmp_path, 3 * 1024 * 1024, chunk)
    key = pair768.secret_key if operation == "decrypt_file" else pair768.public_key
    (tmp_path / "key").write_bytes(key)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    dst = out_dir / "result"
    dst.write_bytes(b"what was there before")
    src = enc if operation == "decrypt_file" else tmp_path / "p"
    extra = ", chunk_size=%d" % chunk if operation == "encrypt_file" else ""
    code = (
        "import threading, tarnel\n" + select_temps("named")
        + f"key = open({str(tmp_path / 'key')!r}, 'rb').read()\n"
        + CATCH.format(call=f"tarnel.{operation}({str(src)!r}, {str(dst)!r}, key{extra})")
        + "result['threads'] = [t.name for t in threading.enumerate()]\n"
    )
    result = run_limited(code, 1 << 20)
    assert "returned" not in result
    assert result["errno"] == errno.EFBIG and result["filename"] == str(dst)
    assert result["threads"] == ["MainThread"]
    assert os.listdir(out_dir) == ["result"]
    assert dst.read_bytes() == b"what was there before"


def test_channel_never_deadlocks_when_the_writer_fails() -> None:
    written: list[bytes] = []

    def write(batch: list[bytes]) -> None:
        if written:
            raise OSError(errno.EIO, "second batch refused")
        written.extend(batch)

    with pytest.raises(OSError, match="second batch refused"):
        with _pipeline.WriteBehind(write, threaded=True, depth=2) as out:
            for i in range(1000):
                out.put(b"%d" % i)
    assert written and len(written) <= 2


def test_writer_keeps_order_and_finishes_on_success() -> None:
    written: list[bytes] = []
    items = [b"%d" % i for i in range(5000)]
    with _pipeline.WriteBehind(written.extend, threaded=True, depth=6) as out:
        for item in items:
            out.put(item)
        out.finish()
        assert written == items


def test_non_blocking_source_that_runs_dry_is_an_error_not_the_end(
    pair768: tarnel.KeyPair,
) -> None:
    r, w = os.pipe()
    os.set_blocking(r, False)
    os.write(w, b"x" * 5000)
    try:
        with open(r, "rb", buffering=0) as src:
            with pytest.raises(BlockingIOError):
                encrypt_file(src, io.BytesIO(), pair768.public_key, chunk_size=4096)
    finally:
        os.close(w)


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT],
                         ids=lambda s: signal.Signals(s).name)
@pytest.mark.parametrize("command", ["encrypt", "decrypt"])
def test_cli_signal_while_the_writer_thread_runs(
    keys: dict[str, Path], tmp_path: Path, signum: int, command: str
) -> None:
    plain = os.urandom(6 * BIG)
    chunk = ["--chunk-size", str(BIG)]
    data = plain if command == "encrypt" else ok(run("encrypt", "--format", "stream", "-r", pub(keys, "a"), *chunk,
                                                     input=plain)).stdout
    out = tmp_path / "out"
    out.mkdir()
    args = ["--format", "stream", "-r", pub(keys, "a"), *chunk] if command == "encrypt" else ["-i", sec(keys, "a")]
    proc = start("named", command, *args, "-o", str(out / "result"),
                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdin is not None
    proc.stdin.write(data[: 3 * BIG + 100])  # some whole chunks; the rest never comes
    proc.stdin.flush()
    deadline = time.monotonic() + 60
    while not output_is_open(proc.pid, out):
        assert time.monotonic() < deadline, "the command never opened its output"
        time.sleep(0.02)
    time.sleep(0.3)
    proc.send_signal(signum)
    try:
        res = finish(proc)
    except BrokenPipeError:
        res = finish(proc)
    assert res.returncode == (130 if signum == signal.SIGINT else 128 + signum), res.stderr.decode()
    assert b"Traceback" not in res.stderr
    assert os.listdir(out) == []


F_GETPIPE_SZ = 1032  # fcntl(2), Linux


@pytest.mark.skipif(not hasattr(os, "mkfifo") or not Path("/proc/sys/fs/pipe-max-size").exists(),
                    reason="pipe capacity is a Linux setting")
@pytest.mark.parametrize("direction", ["encrypt into", "decrypt into", "encrypt from"])
def test_a_pipe_a_stream_goes_through_is_widened(
    pair768: tarnel.KeyPair, tmp_path: Path, direction: str
) -> None:
    import fcntl

    if int(Path("/proc/sys/fs/pipe-max-size").read_text()) < _pipeline.PIPE_CAPACITY:
        pytest.skip("the system allows no pipe this large")
    plain = os.urandom(300_000)
    stream = io.BytesIO()
    encrypt_file(io.BytesIO(plain), stream, pair768.public_key)
    r, w = os.pipe()
    default = fcntl.fcntl(w, F_GETPIPE_SZ)
    got = bytearray()
    with open(r, "rb", buffering=0) as reader, open(w, "wb", buffering=0) as writer:
        if direction == "encrypt from":
            feeder = threading.Thread(target=lambda: (writer.write(plain), writer.close()))
            feeder.start()
            out = io.BytesIO()
            encrypt_file(reader, out, pair768.public_key)
            feeder.join()
            widened = fcntl.fcntl(r, F_GETPIPE_SZ)
            decrypt_file(io.BytesIO(out.getvalue()), got_out := io.BytesIO(), pair768.secret_key)
            got += got_out.getvalue()
        else:
            drain = threading.Thread(target=lambda: got.extend(reader.read()))
            drain.start()
            if direction == "encrypt into":
                encrypt_file(io.BytesIO(plain), writer, pair768.public_key)
            else:
                decrypt_file(io.BytesIO(stream.getvalue()), writer, pair768.secret_key)
            widened = fcntl.fcntl(w, F_GETPIPE_SZ)
            writer.close()
            drain.join()
            if direction == "encrypt into":
                decrypt_file(io.BytesIO(bytes(got)), got_out := io.BytesIO(), pair768.secret_key)
                got[:] = got_out.getvalue()
    assert default < _pipeline.PIPE_CAPACITY == widened
    assert got == plain


def test_widening_leaves_what_is_not_a_pipe_alone(tmp_path: Path) -> None:
    f = tmp_path / "f"
    f.write_bytes(b"x")
    with open(f, "rb") as regular:
        _pipeline.widen_pipe(regular)
        assert os.fstat(regular.fileno()).st_size == 1
    for other in (io.BytesIO(b"x"), object(), None):
        _pipeline.widen_pipe(other)  # no descriptor: nothing to do, nothing raised
