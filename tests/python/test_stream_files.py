"""File and file-object encryption with the chunked stream format.

The framing is checked against an independent reading: the stream's key is
recovered with ``decapsulate`` and every frame is opened with pyca
``cryptography``'s AES-GCM, with the nonce and associated data built here.
Damaged streams are built the same way, so each damage is exact.
"""

from __future__ import annotations

import hashlib
import io
import os
import struct
import tracemalloc
from pathlib import Path
from typing import Optional

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import tarnel
from tarnel import streaming
from tarnel.streaming import (
    FrameTooLargeError,
    NotAStreamError,
    StreamError,
    TrailingDataError,
    TruncatedStreamError,
    decrypt_file,
    encrypt_file,
    open_decryptor,
    open_encryptor,
)
from support import CAPSULE, nonce_aad, open_independently, split_stream

LEVELS = [512, 768, 1024]
PUBLIC = {512: 800, 768: 1184, 1024: 1568}
SECRET = {512: 1632, 768: 2400, 1024: 3168}


def level_obj(v: int) -> tarnel.SecurityLevel:
    levels = (
        tarnel.SecurityLevel.ML_KEM_512,
        tarnel.SecurityLevel.ML_KEM_768,
        tarnel.SecurityLevel.ML_KEM_1024,
    )
    return levels[LEVELS.index(v)]


@pytest.fixture(scope="module", params=LEVELS, ids=lambda v: f"L{v}")
def pair(request: pytest.FixtureRequest) -> tarnel.KeyPair:
    return tarnel.generate_keypair(level_obj(request.param))


@pytest.fixture(scope="module")
def pair768() -> tarnel.KeyPair:
    return tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)


# ---------------------------------------------------------------------------
# An independent view of the format




class Forge:
    """Builds streams frame by frame under a known key."""

    def __init__(self, pair: tarnel.KeyPair, chunk_size: int = 16) -> None:
        capsule, key = tarnel.encapsulate(pair.public_key, pair.level)
        self.base = os.urandom(12)
        self.header = capsule + self.base + struct.pack(">I", chunk_size)
        self.aead = AESGCM(key)

    def frame(self, i: int, plaintext: bytes, length: int | None = None) -> bytes:
        nonce, aad = nonce_aad(self.base, i)
        n = len(plaintext) if length is None else length
        return struct.pack(">I", n) + self.aead.encrypt(nonce, plaintext, aad)


def decrypt_bytes(data: bytes, secret_key: bytes, **kw: object) -> bytes:
    out = io.BytesIO()
    decrypt_file(io.BytesIO(data), out, secret_key, **kw)  # type: ignore[arg-type,unused-ignore]
    return out.getvalue()


def encrypt_bytes(data: bytes, public_key: bytes, **kw: object) -> bytes:
    out = io.BytesIO()
    encrypt_file(io.BytesIO(data), out, public_key, **kw)  # type: ignore[arg-type,unused-ignore]
    return out.getvalue()


# ---------------------------------------------------------------------------
# Round trips


@pytest.mark.parametrize("size", [0, 1, 63, 64, 65, 128, 64 * 7 + 5])
def test_round_trip_matches_independent_reading(pair: tarnel.KeyPair, size: int) -> None:
    data = os.urandom(size)
    enc = encrypt_bytes(data, pair.public_key, chunk_size=64)
    level = int(pair.level)
    frames = -(-size // 64)
    assert len(enc) == CAPSULE[level] + 16 + size + 20 * frames + 20
    assert open_independently(enc, pair) == data
    assert decrypt_bytes(enc, pair.secret_key) == data


@pytest.mark.parametrize(
    "size", [0, 1, 65535, 65536, 65537, 3 * 65536, 3 * 1024 * 1024 + 17]
)
def test_paths_round_trip_with_default_chunk(
    pair768: tarnel.KeyPair, tmp_path: Path, size: int
) -> None:
    src, enc, dec = tmp_path / "plain", tmp_path / "enc", tmp_path / "dec"
    src.write_bytes(os.urandom(size))
    assert encrypt_file(src, enc, pair768.public_key) == size
    assert decrypt_file(str(enc), str(dec), pair768.secret_key) == size
    assert dec.read_bytes() == src.read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dec", "enc", "plain"]


def test_writer_and_reader_are_binary_files(pair: tarnel.KeyPair, tmp_path: Path) -> None:
    text = "".join(f"line {i}: {'é' * (i % 7)}\n" for i in range(500))
    path = tmp_path / "s.enc"
    with open_encryptor(path, pair.public_key, chunk_size=100) as w:
        assert isinstance(w, io.BufferedIOBase) and w.writable()
        with io.TextIOWrapper(w, encoding="utf-8") as t:
            t.write(text)
    with open_decryptor(path, pair.secret_key) as r:
        assert isinstance(r, io.BufferedIOBase) and r.readable()
        lines = list(io.TextIOWrapper(r, encoding="utf-8"))
    assert "".join(lines) == text


def test_reader_read_sizes_and_readinto(pair768: tarnel.KeyPair) -> None:
    data = os.urandom(1000)
    enc = encrypt_bytes(data, pair768.public_key, chunk_size=64)
    r = open_decryptor(io.BytesIO(enc), pair768.secret_key)
    assert r.chunk_size == 64
    assert r.read(0) == b""
    assert r.read(100) == data[:100]  # spans two frames
    buf = bytearray(50)
    assert r.readinto(buf) == 50 and bytes(buf) == data[100:150]
    assert r.read1(1000) == data[150:192]  # the rest of one frame only
    assert r.read() == data[192:]
    assert r.complete
    assert r.read() == b"" and r.read(10) == b""
    r.close()
    with pytest.raises(ValueError):
        r.read()


def test_writer_accepts_any_split_and_never_emits_empty_frames(pair768: tarnel.KeyPair) -> None:
    data = os.urandom(300)
    out = io.BytesIO()
    with open_encryptor(out, pair768.public_key, chunk_size=32) as w:
        for piece in (b"", data[:5], b"", memoryview(data[5:200]), bytearray(data[200:]), b""):
            assert w.write(piece) == len(piece)
    enc = out.getvalue()
    _, _, cs, frames = split_stream(enc, 768)
    lengths = [struct.unpack(">I", f[:4])[0] for f in frames]
    assert cs == 32
    assert lengths == [32] * 9 + [12, 0]
    assert open_independently(enc, pair768) == data


def test_writer_refuses_write_after_close(pair768: tarnel.KeyPair) -> None:
    w = open_encryptor(io.BytesIO(), pair768.public_key)
    w.close()
    with pytest.raises(ValueError):
        w.write(b"x")


# ---------------------------------------------------------------------------
# Levels


@pytest.mark.parametrize("v", LEVELS)
def test_level_is_inferred_from_key_length(v: int) -> None:
    assert streaming.public_key_level(bytes(PUBLIC[v])) is level_obj(v)
    assert streaming.secret_key_level(bytes(SECRET[v])) is level_obj(v)
    assert streaming.public_key_level(bytes(PUBLIC[v]), v) is level_obj(v)
    assert streaming.secret_key_level(bytes(SECRET[v]), level_obj(v)) is level_obj(v)


def test_explicit_level_that_contradicts_the_key_is_refused(
    pair768: tarnel.KeyPair, tmp_path: Path
) -> None:
    src = tmp_path / "p"
    src.write_bytes(b"data")
    with pytest.raises(tarnel.InvalidParameterError) as e:
        encrypt_file(src, tmp_path / "e", pair768.public_key, level=tarnel.SecurityLevel.ML_KEM_512)
    assert str(e.value) == (
        "security level ML-KEM-512 contradicts the public key, whose 1184 bytes "
        "make it ML-KEM-768"
    )
    encrypt_file(src, tmp_path / "e", pair768.public_key)
    with pytest.raises(tarnel.InvalidParameterError) as e:
        decrypt_file(tmp_path / "e", tmp_path / "d", pair768.secret_key, level=1024)
    assert str(e.value) == (
        "security level ML-KEM-1024 contradicts the secret key, whose 2400 bytes "
        "make it ML-KEM-768"
    )
    assert sorted(p.name for p in tmp_path.iterdir()) == ["e", "p"]


@pytest.mark.parametrize(
    "call",
    [
        lambda k: streaming.public_key_level(k.secret_key),
        lambda k: streaming.secret_key_level(k.public_key),
        lambda k: streaming.public_key_level(k.public_key[:-1]),
        lambda k: streaming.public_key_level(k.public_key, 999),
    ],
    ids=["secret-as-public", "public-as-secret", "short", "unknown-level"],
)
def test_keys_of_no_level_are_refused(pair768: tarnel.KeyPair, call: object) -> None:
    with pytest.raises(tarnel.InvalidParameterError):
        call(pair768)  # type: ignore[operator]


def test_key_of_wrong_type_is_refused(pair768: tarnel.KeyPair) -> None:
    with pytest.raises(TypeError):
        encrypt_bytes(b"x", pair768.public_key.hex())  # type: ignore[arg-type]


# ---------------------------------------------------------------------------
# Damage: each gives its error and leaves no output file


def expect_failure(
    tmp_path: Path, enc: bytes, secret_key: bytes, error: type[BaseException]
) -> BaseException:
    src, dst = tmp_path / "damaged", tmp_path / "out"
    src.write_bytes(enc)
    with pytest.raises(error) as e:
        decrypt_file(src, dst, secret_key)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["damaged"]
    src.unlink()
    return e.value


def test_truncation_anywhere_is_detected(pair: tarnel.KeyPair, tmp_path: Path) -> None:
    data = os.urandom(80)
    enc = encrypt_bytes(data, pair.public_key, chunk_size=16)
    hlen = CAPSULE[int(pair.level)] + 16
    # every frame boundary, every byte inside the frames, and a sample of the header
    cuts = list(range(hlen, len(enc))) + [1, hlen // 2, hlen - 1]
    for cut in cuts:
        err = expect_failure(tmp_path, enc[:cut], pair.secret_key, TruncatedStreamError)
        assert isinstance(err, StreamError) and isinstance(err, tarnel.DecryptionError)
    boundary = hlen + 5 * 36
    err = expect_failure(tmp_path, enc[:boundary], pair.secret_key, TruncatedStreamError)
    assert str(err) == "stream ended after 5 frames without its end-of-stream marker"
    err = expect_failure(tmp_path, enc[: boundary + 10], pair.secret_key, TruncatedStreamError)
    assert str(err) == "stream ended inside frame 5: 6 of 16 bytes"
    err = expect_failure(tmp_path, enc[:10], pair.secret_key, TruncatedStreamError)
    assert str(err) == f"stream header is truncated: 10 of {hlen} bytes"
    err = expect_failure(tmp_path, b"", pair.secret_key, NotAStreamError)
    assert str(err) == "not an encrypted stream: the input is empty"


@pytest.mark.parametrize(
    "extra", [b"\x00", b"garbage", bytes(20)], ids=["one-byte", "text", "second-eof"]
)
def test_data_after_the_eof_marker_is_refused(
    pair768: tarnel.KeyPair, tmp_path: Path, extra: bytes
) -> None:
    enc = encrypt_bytes(b"hello", pair768.public_key)
    err = expect_failure(tmp_path, enc + extra, pair768.secret_key, TrailingDataError)
    assert str(err) == "data follows the end-of-stream marker"


def test_valid_frames_after_a_valid_eof_are_refused(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    f = Forge(pair768)
    enc = f.header + f.frame(0, b"a" * 16) + f.frame(1, b"") + f.frame(2, b"more")
    expect_failure(tmp_path, enc, pair768.secret_key, TrailingDataError)
    # The same stream without the tail is accepted: the forgery is sound.
    assert decrypt_bytes(enc[: len(enc) - 24], pair768.secret_key) == b"a" * 16


def test_reordered_frames_fail_authentication(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    enc = encrypt_bytes(os.urandom(16 * 4 + 3), pair768.public_key, chunk_size=16)
    capsule, base, cs, frames = split_stream(enc, 768)
    header = enc[: 1104]
    damaged = {
        "swapped": [frames[1], frames[0]] + frames[2:],
        "duplicated": frames[:2] + [frames[1]] + frames[2:],
        "dropped-middle": frames[:1] + frames[2:],
        "dropped-last-data": frames[:-2] + frames[-1:],
        "eof-moved-early": frames[:2] + frames[-1:],
    }
    for name, fr in damaged.items():
        err = expect_failure(tmp_path, header + b"".join(fr), pair768.secret_key, tarnel.DecryptionError)
        assert not isinstance(err, StreamError), name
        assert str(err) == "AES-GCM authentication tag verification failed", name


@pytest.mark.parametrize("position", [0, 2, "last"])
def test_flipped_bits_fail(pair768: tarnel.KeyPair, tmp_path: Path, position: object) -> None:
    enc = bytearray(encrypt_bytes(os.urandom(40), pair768.public_key, chunk_size=16))
    frame_start = 1104 + 36 * (2 if position == 2 else 0)
    at = len(enc) - 1 if position == "last" else frame_start + 10
    enc[at] ^= 0x01
    expect_failure(tmp_path, bytes(enc), pair768.secret_key, tarnel.DecryptionError)


class CountingSource(io.RawIOBase):
    """A source that records how far it was read and the largest request."""

    def __init__(self, data: bytes) -> None:
        self.data, self.pos, self.largest = data, 0, 0

    def readable(self) -> bool:
        return True

    def readinto(self, b: bytearray) -> int:  # type: ignore[override]
        n = min(len(b), len(self.data) - self.pos)
        self.largest = max(self.largest, len(b))
        b[:n] = self.data[self.pos : self.pos + n]
        self.pos += n
        return n


@pytest.mark.parametrize("claimed", [17, 1 << 24, 0xFFFFFFFF])
def test_oversized_length_is_refused_before_reading_the_frame(
    pair768: tarnel.KeyPair, tmp_path: Path, claimed: int
) -> None:
    f = Forge(pair768, chunk_size=16)
    enc = f.header + f.frame(0, b"x" * 16) + struct.pack(">I", claimed) + bytes(64)
    src = CountingSource(enc)
    with pytest.raises(FrameTooLargeError) as e:
        decrypt_file(src, tmp_path / "out", pair768.secret_key)  # type: ignore[arg-type]
    assert str(e.value) == f"frame 1 claims {claimed} bytes, more than the stream's chunk size of 16"
    assert src.pos == 1104 + 36 + 4  # nothing of the frame body was read
    assert src.largest <= 1104
    assert list(tmp_path.iterdir()) == []


def test_empty_frame_inside_the_stream_ends_it(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    # A writer that emitted an empty data chunk would make its stream end
    # early: a zero-length frame is always taken as the end-of-stream marker.
    f = Forge(pair768)
    enc = f.header + f.frame(0, b"") + f.frame(1, b"late data") + f.frame(2, b"")
    expect_failure(tmp_path, enc, pair768.secret_key, TrailingDataError)


def test_wrong_key_and_wrong_level_key(tmp_path: Path) -> None:
    k768 = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
    other = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
    k1024 = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_1024)
    for size in (0, 100):
        enc = encrypt_bytes(os.urandom(size), k768.public_key)
        expect_failure(tmp_path, enc, other.secret_key, tarnel.DecryptionError)
        # A key of another level reads the header at the wrong length: the
        # stream is refused (bad chunk size, short header or failed tag).
        expect_failure(tmp_path, enc, k1024.secret_key, tarnel.TarnelError)


def test_reader_keeps_failing_after_an_error(pair768: tarnel.KeyPair) -> None:
    enc = encrypt_bytes(os.urandom(50), pair768.public_key, chunk_size=16)
    r = open_decryptor(io.BytesIO(enc[:-25]), pair768.secret_key)
    assert len(r.read(48)) == 48
    with pytest.raises(TruncatedStreamError):
        r.read()
    for _ in range(2):
        with pytest.raises(TruncatedStreamError):
            r.read(1)
    assert not r.complete


def test_writer_left_by_exception_emits_no_eof(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    out = io.BytesIO()
    with pytest.raises(RuntimeError):
        with open_encryptor(out, pair768.public_key, chunk_size=16) as w:
            w.write(b"a" * 40)
            raise RuntimeError("producer failed")
    enc = out.getvalue()
    _, _, _, frames = split_stream(enc, 768)
    assert [struct.unpack(">I", x[:4])[0] for x in frames] == [16, 16]
    with pytest.raises(TruncatedStreamError):
        decrypt_bytes(enc, pair768.secret_key)
    # To a path, the aborted stream leaves nothing behind.
    with pytest.raises(RuntimeError):
        with open_encryptor(tmp_path / "x.enc", pair768.public_key) as w:
            w.write(b"data")
            raise RuntimeError("producer failed")
    assert list(tmp_path.iterdir()) == []


def test_unclosed_writer_is_not_completed(pair768: tarnel.KeyPair) -> None:
    out = io.BytesIO()
    w = open_encryptor(out, pair768.public_key, chunk_size=16)
    w.write(b"b" * 20)
    del w
    with pytest.raises(TruncatedStreamError):
        decrypt_bytes(out.getvalue(), pair768.secret_key)


def test_failed_source_leaves_no_output(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    class Failing(io.RawIOBase):
        def readable(self) -> bool:
            return True

        def readinto(self, b: bytearray) -> int:  # type: ignore[override]
            raise OSError("disk read error")

    with pytest.raises(OSError):
        encrypt_file(Failing(), tmp_path / "e", pair768.public_key)  # type: ignore[arg-type]
    assert list(tmp_path.iterdir()) == []


def test_existing_destination_survives_a_failed_decryption(
    pair768: tarnel.KeyPair, tmp_path: Path
) -> None:
    dst = tmp_path / "out"
    dst.write_bytes(b"previous contents")
    enc = encrypt_bytes(os.urandom(70000), pair768.public_key)
    with pytest.raises(TruncatedStreamError):
        decrypt_file(io.BytesIO(enc[:-1]), dst, pair768.secret_key)
    assert dst.read_bytes() == b"previous contents"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]


# ---------------------------------------------------------------------------
# Progress and memory


def test_progress_reports_input_bytes(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    src = tmp_path / "p"
    src.write_bytes(os.urandom(5 * 1000 + 1))
    calls: list[tuple[int, Optional[int]]] = []
    encrypt_file(src, tmp_path / "e", pair768.public_key, chunk_size=1000,
                 progress=lambda d, t: calls.append((d, t)))
    assert calls[0] == (0, 5001) and calls[-1] == (5001, 5001)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)
    total = (tmp_path / "e").stat().st_size
    calls.clear()
    decrypt_file(tmp_path / "e", tmp_path / "d", pair768.secret_key,
                 progress=lambda d, t: calls.append((d, t)))
    assert calls[-1] == (total, total)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)
    # A source of unknown size reports None as the total.
    r, w = os.pipe()
    os.write(w, b"z" * 3000)
    os.close(w)
    piped: list[tuple[int, Optional[int]]] = []
    with open(r, "rb", buffering=0) as pipe:
        encrypt_file(pipe, io.BytesIO(), pair768.public_key, chunk_size=1000,
                     progress=lambda d, t: piped.append((d, t)))
    assert piped[-1] == (3000, None)


def test_memory_stays_bounded_by_the_chunk_size(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    size = 48 * 1024 * 1024
    src, enc, dec = tmp_path / "p", tmp_path / "e", tmp_path / "d"
    write_pattern(src, size)
    tracemalloc.start()
    try:
        encrypt_file(src, enc, pair768.public_key)
        _, enc_peak = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        decrypt_file(enc, dec, pair768.secret_key)
        _, dec_peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert enc_peak < 1024 * 1024 and dec_peak < 1024 * 1024
    assert file_digest(dec) == file_digest(src)


# ---------------------------------------------------------------------------
# Large files


def write_pattern(path: Path, size: int) -> str:
    """Write size pseudo-random bytes (SHAKE-128 blocks); return their SHA-256."""
    h = hashlib.sha256()
    with open(path, "wb") as f:
        block_no = 0
        while size > 0:
            block = hashlib.shake_128(block_no.to_bytes(8, "big")).digest(min(size, 1 << 20))
            f.write(block)
            h.update(block)
            size -= len(block)
            block_no += 1
    return h.hexdigest()


def file_digest(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            h.update(block)
    return h.hexdigest()


def test_several_hundred_megabytes_round_trip(pair768: tarnel.KeyPair, tmp_path: Path) -> None:
    size = int(os.environ.get("TARNEL_BIG_FILE_MB", "300")) * 1024 * 1024 + 12345
    src, enc, dec = tmp_path / "big", tmp_path / "big.enc", tmp_path / "big.dec"
    digest = write_pattern(src, size)
    try:
        assert encrypt_file(src, enc, pair768.public_key) == size
        src.unlink()
        frames = -(-size // streaming.DEFAULT_CHUNK_SIZE)
        assert enc.stat().st_size == 1104 + size + 20 * frames + 20
        with open(enc, "rb") as fin, open(dec, "wb") as fout:
            assert decrypt_file(fin, fout, pair768.secret_key) == size
        enc.unlink()
        assert file_digest(dec) == digest
    finally:
        for p in (src, enc, dec):
            p.unlink(missing_ok=True)
