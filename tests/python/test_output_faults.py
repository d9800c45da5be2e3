"""The file API under real faults: a full disk, short writes, special
targets, and misuse that must not leak a secret key into a message."""

from __future__ import annotations

import base64
import errno
import io
import os
import stat
import threading
from pathlib import Path
from typing import Any, Callable

import pytest

import tarnel
from tarnel import _files
from tarnel.streaming import (
    NotAStreamError,
    StreamError,
    StreamLevelError,
    decrypt_file,
    encrypt_file,
    open_decryptor,
    open_encryptor,
)
from support import CATCH, run_limited, select_temps

L = tarnel.SecurityLevel


@pytest.fixture(scope="module")
def pair() -> tarnel.KeyPair:
    return tarnel.generate_keypair(L.ML_KEM_768)







@pytest.mark.parametrize("operation", ["decrypt_file", "encrypt_file", "open_encryptor"])
def test_full_disk_fails_and_leaves_nothing(
    pair: tarnel.KeyPair, tmp_path: Path, temp_kind: str, operation: str
) -> None:
    plain = os.urandom(3_000_000)
    (tmp_path / "plain").write_bytes(plain)
    encrypt_file(tmp_path / "plain", tmp_path / "stream", pair.public_key, chunk_size=16 * 1024 * 1024)
    key = pair.secret_key if operation == "decrypt_file" else pair.public_key
    (tmp_path / "key").write_bytes(key)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    dst = out_dir / "result"
    dst.write_bytes(b"what was there before")
    src = tmp_path / ("stream" if operation == "decrypt_file" else "plain")
    if operation == "open_encryptor":
        call = (f"w = tarnel.open_encryptor({str(dst)!r}, key)\n    "
                f"w.write(open({str(src)!r}, 'rb').read())\n    w.close()")
    else:
        call = f"tarnel.{operation}({str(src)!r}, {str(dst)!r}, key)"
    code = (
        "import tarnel\n" + select_temps(temp_kind)
        + f"key = open({str(tmp_path / 'key')!r}, 'rb').read()\n"
        + CATCH.format(call=call)
    )
    result = run_limited(code, 1 << 20)
    assert "returned" not in result
    assert result["errno"] == errno.EFBIG
    assert result["filename"] == str(dst)
    assert ".part" not in result["message"]
    assert os.listdir(out_dir) == ["result"]
    assert dst.read_bytes() == b"what was there before"


class ShortWriter(io.RawIOBase):
    """Takes at most ``step`` bytes per write, and nothing after ``cap``."""

    def __init__(self, step: int, cap: int | None = None) -> None:
        self.data = bytearray()
        self.step = step
        self.cap = cap

    def writable(self) -> bool:
        return True

    def write(self, b: Any) -> int:
        room = self.step if self.cap is None else min(self.step, self.cap - len(self.data))
        n = min(len(b), room)
        self.data += bytes(b)[:n]
        return n


def test_short_writes_are_continued(pair: tarnel.KeyPair) -> None:
    plain = os.urandom(200_001)
    enc = ShortWriter(1000)
    encrypt_file(io.BytesIO(plain), enc, pair.public_key, chunk_size=4096)  # type: ignore[arg-type]
    dec = ShortWriter(777)
    assert decrypt_file(io.BytesIO(bytes(enc.data)), dec, pair.secret_key) == len(plain)  # type: ignore[arg-type]
    assert bytes(dec.data) == plain


@pytest.mark.parametrize("direction", ["encrypt", "decrypt"])
def test_an_output_that_stops_taking_data_is_an_error(pair: tarnel.KeyPair, direction: str) -> None:
    plain = os.urandom(50_000)
    full = io.BytesIO()
    encrypt_file(io.BytesIO(plain), full, pair.public_key)
    sink = ShortWriter(4096, cap=30_000)
    with pytest.raises(OSError) as e:
        if direction == "encrypt":
            encrypt_file(io.BytesIO(plain), sink, pair.public_key)  # type: ignore[arg-type]
        else:
            decrypt_file(io.BytesIO(full.getvalue()), sink, pair.secret_key)  # type: ignore[arg-type]
    assert e.value.errno == errno.EIO


def test_fifo_target_is_written_through(pair: tarnel.KeyPair, tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = bytearray()

    def drain() -> None:
        with open(fifo, "rb") as f:
            received.extend(f.read())

    reader = threading.Thread(target=drain)
    reader.start()
    plain = os.urandom(300_000)
    encrypt_file(io.BytesIO(plain), fifo, pair.public_key)
    reader.join(60)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["fifo"]
    assert decrypt_file(io.BytesIO(bytes(received)), io.BytesIO(), pair.secret_key) == len(plain)


@pytest.mark.skipif(not os.path.exists("/dev/null"), reason="no /dev/null")
def test_character_device_stays_a_device(pair: tarnel.KeyPair) -> None:
    assert encrypt_file(io.BytesIO(b"x" * 70_000), "/dev/null", pair.public_key) == 70_000
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_symlink_is_followed_and_kept(pair: tarnel.KeyPair, tmp_path: Path) -> None:
    (tmp_path / "real").write_bytes(b"old")
    (tmp_path / "link").symlink_to("real")
    encrypt_file(io.BytesIO(b"new data"), tmp_path / "link", pair.public_key)
    assert (tmp_path / "link").is_symlink()
    assert os.readlink(tmp_path / "link") == "real"
    out = io.BytesIO()
    decrypt_file(tmp_path / "real", out, pair.secret_key)
    assert out.getvalue() == b"new data"
    # A dangling link gets its target created.
    (tmp_path / "dangling").symlink_to("made")
    encrypt_file(io.BytesIO(b"z"), tmp_path / "dangling", pair.public_key)
    assert (tmp_path / "dangling").is_symlink() and (tmp_path / "made").is_file()


def test_existing_file_keeps_its_mode_and_new_files_follow_the_umask(
    pair: tarnel.KeyPair, tmp_path: Path
) -> None:
    old = tmp_path / "old"
    old.write_bytes(b"x")
    old.chmod(0o640)
    encrypt_file(io.BytesIO(b"data"), old, pair.public_key)
    assert stat.S_IMODE(old.stat().st_mode) == 0o640
    mask = os.umask(0o027)
    try:
        encrypt_file(io.BytesIO(b"data"), tmp_path / "new", pair.public_key)
    finally:
        os.umask(mask)
    assert stat.S_IMODE((tmp_path / "new").stat().st_mode) == 0o640


def test_hard_link_is_replaced_atomically_and_the_other_name_keeps_its_data(
    pair: tarnel.KeyPair, tmp_path: Path
) -> None:
    (tmp_path / "a").write_bytes(b"shared")
    os.link(tmp_path / "a", tmp_path / "b")
    encrypt_file(io.BytesIO(b"data"), tmp_path / "a", pair.public_key)
    assert (tmp_path / "b").read_bytes() == b"shared"
    out = io.BytesIO()
    decrypt_file(tmp_path / "a", out, pair.secret_key)
    assert out.getvalue() == b"data"


def test_output_names_and_errors_name_the_users_path(pair: tarnel.KeyPair, tmp_path: Path) -> None:
    longest = tmp_path / ("n" * 255)
    encrypt_file(io.BytesIO(b"x"), longest, pair.public_key)
    assert longest.is_file()
    src = io.BytesIO(b"y" * 1000)
    for dst, code in [(tmp_path / "nodir" / "x", errno.ENOENT), (tmp_path, errno.EISDIR)]:
        with pytest.raises(OSError) as e:
            encrypt_file(src, dst, pair.public_key)
        assert (e.value.errno, e.value.filename) == (code, str(dst))
        assert src.tell() == 0  # refused before any input was read
    assert sorted(os.listdir(tmp_path)) == ["n" * 255]


def test_writer_left_unfinished_leaves_no_file(
    pair: tarnel.KeyPair, tmp_path: Path, temp_kind: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    if temp_kind == "named":
        monkeypatch.setattr(_files, "USE_TMPFILE", False)
    w = open_encryptor(tmp_path / "out", pair.public_key, chunk_size=10)
    w.write(b"x" * 1000)
    visible = os.listdir(tmp_path)
    if temp_kind == "unnamed":
        assert visible == []  # nothing that a crash could leave behind
    else:
        assert len(visible) == 1 and visible[0].startswith(".") and len(visible[0]) <= 40
    w.abort()
    assert os.listdir(tmp_path) == []
    w = open_encryptor(tmp_path / "out", pair.public_key)
    w.write(b"y")
    w.close()
    assert os.listdir(tmp_path) == ["out"]


def test_racing_writers_without_replace_never_clobber(
    tmp_path: Path, temp_kind: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    if temp_kind == "named":
        monkeypatch.setattr(_files, "USE_TMPFILE", False)
    first = _files.OutputFile(tmp_path / "out", replace=False)
    second = _files.OutputFile(tmp_path / "out", replace=False)
    first.write(b"first")
    second.write(b"second")
    first.commit()
    with pytest.raises(FileExistsError) as e:
        second.commit()
    assert e.value.filename == str(tmp_path / "out")
    first.close()
    second.close()
    assert os.listdir(tmp_path) == ["out"]
    assert (tmp_path / "out").read_bytes() == b"first"


# ---------------------------------------------------------------------------
# The wrong file or the wrong key


def test_wrong_input_gets_an_error_that_says_what_it_is(tmp_path: Path) -> None:
    pairs = {v: tarnel.generate_keypair(lv) for v, lv in
             [(512, L.ML_KEM_512), (768, L.ML_KEM_768), (1024, L.ML_KEM_1024)]}
    for made in pairs:
        enc = io.BytesIO()
        encrypt_file(io.BytesIO(os.urandom(3000)), enc, pairs[made].public_key, chunk_size=1000)
        for key in pairs:
            if key == made:
                continue
            with pytest.raises(StreamLevelError) as e:
                decrypt_file(io.BytesIO(enc.getvalue()), tmp_path / "o", pairs[key].secret_key)
            assert str(e.value) == (
                f"the stream was made for another security level (ML-KEM-{made}), not ML-KEM-{key}"
            )
    with pytest.raises(NotAStreamError) as n:
        decrypt_file(io.BytesIO(os.urandom(5000)), tmp_path / "o", pairs[768].secret_key)
    assert str(n.value) == "not an encrypted stream: its header fits no security level"
    with pytest.raises(NotAStreamError) as n:
        decrypt_file(io.BytesIO(b""), tmp_path / "o", pairs[768].secret_key)
    assert str(n.value) == "not an encrypted stream: the input is empty"
    assert issubclass(NotAStreamError, StreamError) and issubclass(StreamLevelError, tarnel.DecryptionError)
    assert tarnel.NotAStreamError is NotAStreamError and tarnel.StreamLevelError is StreamLevelError
    assert os.listdir(tmp_path) == []


def leaks(message: str, secret: bytes) -> bool:
    """Whether a message shows any 8-byte run of ``secret`` in a usual form."""
    for i in range(0, len(secret) - 8, 8):
        run = secret[i : i + 8]
        forms = [run.hex(), repr(run)[2:-1], base64.b64encode(run[:6]).decode()]
        if any(f in message for f in forms):
            return True
    return False


MISUSES: list[tuple[str, Callable[[bytes, bytes], object]]] = [
    ("secret_key_level(sk, sk)", lambda sk, pk: tarnel.secret_key_level(sk, sk)),  # type: ignore[arg-type]
    ("public_key_level(sk)", lambda sk, pk: tarnel.public_key_level(sk)),
    ("public_key_level(pk, sk)", lambda sk, pk: tarnel.public_key_level(pk, sk)),  # type: ignore[arg-type]
    ("secret_key_level(bytearray)", lambda sk, pk: tarnel.secret_key_level(sk + b"\0")),
    ("encrypt to a secret key", lambda sk, pk: encrypt_file(io.BytesIO(b"x"), io.BytesIO(), sk)),
    ("decrypt with a public key", lambda sk, pk: decrypt_file(io.BytesIO(b"x"), io.BytesIO(), pk)),
    ("level=sk", lambda sk, pk: open_decryptor(io.BytesIO(b""), sk, level=sk)),  # type: ignore[arg-type]
    ("chunk_size=sk", lambda sk, pk: open_encryptor(io.BytesIO(), pk, chunk_size=sk)),  # type: ignore[arg-type]
    ("key as a str", lambda sk, pk: decrypt_file(io.BytesIO(b""), io.BytesIO(), sk.hex())),  # type: ignore[arg-type]
    ("key as a list", lambda sk, pk: tarnel.secret_key_level(list(sk))),  # type: ignore[arg-type]
]


@pytest.mark.parametrize("name,call", MISUSES, ids=[m[0] for m in MISUSES])
def test_no_secret_bytes_in_any_message(pair: tarnel.KeyPair, name: str, call: Callable[[bytes, bytes], object]) -> None:
    sk = pair.secret_key
    with pytest.raises(Exception) as e:
        call(sk, pair.public_key)
    text = f"{e.value} {e.value!r}"
    assert not leaks(text, sk), name
