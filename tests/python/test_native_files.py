"""Whole files between regular files, done in native code.

encrypt_file and decrypt_file hand a regular input and an atomic output file
to native code that overlaps reading, AES-GCM and writing. These tests check
that it writes the same stream format as the frame-by-frame path (each path
reads what the other wrote), reports the same progress, raises the same
errors for damaged streams, honours a file object's position, and leaves no
thread and no output behind when it fails.
"""

from __future__ import annotations

import io
import os
import pickle
import threading
import time
from pathlib import Path
from typing import Any, Callable, Optional

import pytest

import tarnel
from tarnel import _tarnel_fileio, armor, streaming
from tarnel.streaming import decrypt_file, encrypt_file, open_decryptor

from support import Progress, sigint_on_call

pytestmark = pytest.mark.usefixtures("no_native_thread_left")

MiB = 1024 * 1024


@pytest.fixture(scope="module")
def pair() -> tarnel.KeyPair:
    return tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)


def python_encrypt(src: Path, key: bytes, chunk: int, progress: Progress) -> bytes:
    out = io.BytesIO()  # not a regular file: frame by frame
    encrypt_file(src, out, key, chunk_size=chunk, progress=progress)
    return out.getvalue()


def python_decrypt(src: Path, key: bytes, progress: Optional[Progress] = None) -> bytes:
    out = io.BytesIO()
    decrypt_file(src, out, key, progress=progress)
    return out.getvalue()


@pytest.mark.parametrize(
    "chunk,size",
    [
        (1000, 0),
        (1000, 1),
        (1000, 3 * MiB + 7),  # many frames per slab, several slabs
        (65536, 65536),
        (65536, 2 * MiB + 65536),  # an exact number of chunks
        (MiB + 3, 5 * MiB),  # one frame per slab, a short last one
    ],
)
def test_native_and_frame_by_frame_paths_agree(
    pair: tarnel.KeyPair, tmp_path: Path, chunk: int, size: int
) -> None:
    plain = os.urandom(size)
    src = tmp_path / "plain"
    src.write_bytes(plain)

    native_enc, python_enc = Progress(), Progress()
    encrypt_file(src, tmp_path / "native.enc", pair.public_key, chunk_size=chunk,
                 progress=native_enc)
    (tmp_path / "python.enc").write_bytes(python_encrypt(src, pair.public_key, chunk, python_enc))
    assert native_enc.native == (size > 0) and not python_enc.native
    assert native_enc.calls == python_enc.calls
    # Same length (one header, the same frames): only the capsule, nonce and
    # ciphertext differ.
    assert (tmp_path / "native.enc").stat().st_size == (tmp_path / "python.enc").stat().st_size

    # Each path reads what the other wrote.
    with open_decryptor(tmp_path / "native.enc", pair.secret_key) as r:
        assert r.read() == plain
    native_dec, python_dec = Progress(), Progress()
    assert decrypt_file(tmp_path / "python.enc", tmp_path / "out", pair.secret_key,
                        progress=native_dec) == size
    assert (tmp_path / "out").read_bytes() == plain
    assert python_decrypt(tmp_path / "python.enc", pair.secret_key, python_dec) == plain
    assert native_dec.native == (size > 0) and not python_dec.native
    assert native_dec.calls == python_dec.calls


def damaged(stream: bytes, header_len: int, frame: int) -> dict[str, bytes]:
    """Damaged forms of a stream of 1000-byte chunks (frame = 1020 bytes)."""
    at = header_len + 2 * frame  # the third data frame
    oversized = bytearray(stream)
    oversized[at : at + 4] = (1001).to_bytes(4, "big")
    short_frame = bytearray(stream)
    short_frame[at : at + 4] = (999).to_bytes(4, "big")
    flipped = bytearray(stream)
    flipped[at + 500] ^= 1
    marker = bytearray(stream)
    marker[-1] ^= 1
    return {
        "cut in a length field": stream[: at + 2],
        "cut inside a frame": stream[: at + 600],
        "cut before the marker": stream[:-20],
        "cut inside the marker": stream[:-7],
        "data after the marker": stream + b"\0",
        "oversized frame": bytes(oversized),
        "short frame": bytes(short_frame),
        "flipped ciphertext bit": bytes(flipped),
        "flipped marker tag": bytes(marker),
        "header only": stream[:header_len],
    }


def test_damaged_streams_raise_the_same_errors_and_leave_nothing(
    pair: tarnel.KeyPair, tmp_path: Path
) -> None:
    src = tmp_path / "plain"
    src.write_bytes(os.urandom(5500))
    encrypt_file(src, tmp_path / "stream", pair.public_key, chunk_size=1000)
    stream = (tmp_path / "stream").read_bytes()
    header_len = streaming.stream_header_length(768)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    for name, data in damaged(stream, header_len, 1020).items():
        bad = tmp_path / "bad"
        bad.write_bytes(data)
        with pytest.raises(Exception) as python_error:
            python_decrypt(bad, pair.secret_key)
        with pytest.raises(Exception) as native_error:
            decrypt_file(bad, out_dir / "plain", pair.secret_key)
        assert isinstance(python_error.value, tarnel.TarnelError), name
        assert type(native_error.value) is type(python_error.value), name
        assert str(native_error.value) == str(python_error.value), name
        assert os.listdir(out_dir) == [], name


def test_file_objects_are_read_from_where_they_stand(pair: tarnel.KeyPair, tmp_path: Path) -> None:
    prefix, plain = b"p" * 777, os.urandom(300_001)
    (tmp_path / "mixed").write_bytes(prefix + plain)
    with open(tmp_path / "mixed", "rb") as f:
        f.seek(len(prefix))
        assert encrypt_file(f, tmp_path / "enc", pair.public_key, chunk_size=4096) == len(plain)
        assert f.tell() == len(prefix) + len(plain)
    stream = (tmp_path / "enc").read_bytes()
    (tmp_path / "framed").write_bytes(prefix + stream)
    native = Progress()
    with open(tmp_path / "framed", "rb") as f:
        f.read(len(prefix))  # through the buffer, which reads ahead
        assert decrypt_file(f, tmp_path / "dec", pair.secret_key, progress=native) == len(plain)
        assert f.tell() == len(prefix) + len(stream)
    assert (tmp_path / "dec").read_bytes() == plain
    # Progress counts the stream's bytes, not the file's, as frame by frame.
    python = Progress()
    python_decrypt(tmp_path / "enc", pair.secret_key, python)
    assert native.native and native.calls == python.calls


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                    reason="signals reach the main thread only")
@pytest.mark.parametrize("operation", ["encrypt", "decrypt"])
def test_a_signal_stops_the_work_and_leaves_nothing(
    pair: tarnel.KeyPair, tmp_path: Path, operation: str
) -> None:
    src = tmp_path / "plain"
    src.write_bytes(os.urandom(8 * MiB))
    encrypt_file(src, tmp_path / "enc", pair.public_key)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    with pytest.raises(KeyboardInterrupt):
        if operation == "encrypt":
            encrypt_file(src, out_dir / "x", pair.public_key, progress=sigint_on_call(5))
        else:
            decrypt_file(tmp_path / "enc", out_dir / "x", pair.secret_key,
                         progress=sigint_on_call(5))
    assert os.listdir(out_dir) == []


def test_two_files_at_once_on_two_threads(pair: tarnel.KeyPair, tmp_path: Path) -> None:
    plains = [os.urandom(3 * MiB + i) for i in range(2)]
    errors: list[BaseException] = []

    def work(i: int) -> None:
        try:
            src, enc, dec = (tmp_path / f"{n}{i}" for n in ("p", "e", "d"))
            src.write_bytes(plains[i])
            for _ in range(3):
                encrypt_file(src, enc, pair.public_key, chunk_size=65536 + i)
                decrypt_file(enc, dec, pair.secret_key)
                assert dec.read_bytes() == plains[i]
        except BaseException as e:  # reported on the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def truncate_to_half(path: Path) -> None:
    os.truncate(path, path.stat().st_size // 2)


def append_a_block(path: Path) -> None:
    with open(path, "ab") as f:
        f.write(os.urandom(100_000))


def rewrite_in_place(path: Path) -> None:
    time.sleep(0.05)  # past the tick of the file system's clock
    with open(path, "r+b") as f:
        f.seek(5 * MiB)
        f.write(os.urandom(4096))


@pytest.mark.parametrize("native", [True, False], ids=["native", "frame-by-frame"])
@pytest.mark.parametrize("change", [truncate_to_half, append_a_block, rewrite_in_place])
def test_an_input_that_changes_while_it_is_read_is_refused(
    pair: tarnel.KeyPair, tmp_path: Path, native: bool, change: Callable[[Path], None]
) -> None:
    src = tmp_path / "plain"
    src.write_bytes(os.urandom(8 * MiB))
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    partial = io.BytesIO()
    seen = Progress()

    def progress(done: int, total: Optional[int]) -> None:
        seen(done, total)
        if len(seen.calls) == 2:  # after the first chunk or slab
            change(src)

    with pytest.raises(streaming.InputChangedError) as error:
        encrypt_file(src, out_dir / "x" if native else partial, pair.public_key,
                     progress=progress)
    assert isinstance(error.value, OSError) and isinstance(error.value, tarnel.TarnelError)
    assert error.value.filename == str(src)
    assert str(error.value) == f"{src} changed while it was being read"
    assert str(pickle.loads(pickle.dumps(error.value))) == str(error.value)
    assert seen.native == native
    assert os.listdir(out_dir) == []
    if not native:
        # What was written stops before the end-of-stream marker.
        with pytest.raises(streaming.TruncatedStreamError):
            python_decrypt_bytes(partial.getvalue(), pair.secret_key)


def python_decrypt_bytes(stream: bytes, key: bytes) -> bytes:
    out = io.BytesIO()
    decrypt_file(io.BytesIO(stream), out, key)
    return out.getvalue()


# ---------------------------------------------------------------------------
# The formats the companion module reports


@pytest.mark.parametrize(
    "level, sizes",
    [  # FIPS 203, Table 3: ek, dk, ct; a stream header is ct + 16
        (512, (800, 1632, 768, 784)),
        (768, (1184, 2400, 1088, 1104)),
        (1024, (1568, 3168, 1568, 1584)),
    ],
)
def test_level_sizes_and_public_key_text_come_from_the_core(
    level: int, sizes: tuple[int, int, int, int]
) -> None:
    from tarnel import _tarnel_fileio

    got = _tarnel_fileio.level_sizes(level)
    assert (got["public_key"], got["secret_key"], got["capsule"], got["header"]) == sizes
    assert got["dk_pke"] == sizes[0] - 32  # 384k; FIPS 203, Algorithm 16
    assert got["wrapped_key"] == sizes[1] + 50  # magic .. nonce (34), tag (16)
    kp = tarnel.generate_keypair(streaming.public_key_level(bytes(sizes[0])))
    assert _tarnel_fileio.public_key_text(kp.public_key, level, "pem") == kp.public_key_pem()
    assert _tarnel_fileio.public_key_text(kp.public_key, level, "json") == kp.public_key_json()
    with pytest.raises(tarnel.InvalidParameterError) as e:
        _tarnel_fileio.public_key_text(kp.public_key[:-1], level, "pem")
    assert str(e.value) == "public key size does not match the specified security level"
    with pytest.raises(tarnel.InvalidParameterError):
        _tarnel_fileio.public_key_text(kp.public_key, level, "der")
    with pytest.raises(tarnel.InvalidParameterError):
        _tarnel_fileio.level_sizes(level + 1)


def test_the_frame_reader_names_what_it_refuses() -> None:
    from tarnel import _tarnel_fileio
    from tarnel.streaming import (
        FrameTooLargeError,
        NotAStreamError,
        TrailingDataError,
        TruncatedStreamError,
    )

    assert _tarnel_fileio.read_header(b"", 768, False) == (0, 1108)
    with pytest.raises(NotAStreamError):
        _tarnel_fileio.read_header(b"", 768, True)
    with pytest.raises(TruncatedStreamError) as t:
        _tarnel_fileio.read_frame(b"\x00\x00\x00\x05", 9, 16, 3, True)
    assert str(t.value) == "stream ended inside frame 3: 5 of 21 bytes"
    with pytest.raises(FrameTooLargeError):
        _tarnel_fileio.read_frame(b"\x00\x00\x00\x11", 4, 16, 0, False)
    assert _tarnel_fileio.read_frame(b"\x00\x00\x00\x10", 4, 16, 0, False) == 16
    with pytest.raises(TrailingDataError):
        _tarnel_fileio.read_after_end(1, False)
    with pytest.raises(tarnel.InvalidParameterError):
        _tarnel_fileio.read_frame(b"", -1, 16, 0, True)


# ---------------------------------------------------------------------------
# Armored input: decoded in native code the way ArmorReader decodes it


def armored_bytes(stream: bytes) -> bytes:
    out = io.BytesIO()
    w = armor.ArmorWriter(out)
    w.write(stream)
    w.finish()
    return out.getvalue()


def decrypt_armored(src: Any, dst: Any, key: bytes, progress: Optional[Progress] = None) -> int:
    return decrypt_file(io.BufferedReader(armor.ArmorReader(src), 1 << 16), dst, key,
                        progress=progress)


@pytest.mark.parametrize("size", [0, 5000, 3 * MiB + 7])
def test_armored_files_are_decrypted_natively_alike(
    pair: tarnel.KeyPair, tmp_path: Path, size: int
) -> None:
    plain = os.urandom(size)
    stream = io.BytesIO()
    encrypt_file(io.BytesIO(plain), stream, pair.public_key, chunk_size=1000)
    text = b"\r\n  \n" + armored_bytes(stream.getvalue()).replace(b"\n", b"\r\n") + b"\n"
    (tmp_path / "in.asc").write_bytes(text)
    native, python = Progress(), Progress()
    with open(tmp_path / "in.asc", "rb") as f:
        f.read(5)  # the block is read from where the file stands
        f.seek(0)
        assert decrypt_armored(f, tmp_path / "out", pair.secret_key, native) == size
    assert (tmp_path / "out").read_bytes() == plain
    out = io.BytesIO()
    assert decrypt_armored(io.BytesIO(text), out, pair.secret_key, python) == size
    assert out.getvalue() == plain
    assert native.native == (size > 0) and not python.native
    assert native.calls == python.calls


def armor_damaged(text: bytes, stream: bytes) -> dict[str, bytes]:
    """Damaged armor around a stream of 1000-byte chunks, faults placed on
    both sides of the 1 MiB blocks the text is read in, alone and after a
    frame that does not verify."""
    lines = text.split(b"\n")
    batch = _tarnel_fileio.ARMOR_BATCH

    def line_at(offset: int) -> int:
        return text[:offset].count(b"\n")

    def replace_line(t: bytes, n: int, new: bytes) -> bytes:
        ls = t.split(b"\n")
        ls[n] = new
        return b"\n".join(ls)

    out = {}
    for where in (3000, batch - 200, batch + 200, 2 * batch + 50, len(text) - 200):
        n = line_at(where)
        out[f"bad character near {where}"] = replace_line(text, n, b"*" + lines[n][1:])
        out[f"short line near {where}"] = replace_line(text, n, lines[n][:60])
        # A frame whose ciphertext is flipped a little before the fault.
        m = max(n - 40, 2)
        flipped = lines[m][:10] + (b"A" if lines[m][10:11] != b"A" else b"B") + lines[m][11:]
        out[f"bad frame, then bad armor near {where}"] = replace_line(
            replace_line(text, m, flipped), n, b"*" + lines[n][1:])
        out[f"bad frame alone near {where}"] = replace_line(text, m, flipped)
    end = text.index(armor.END_LINE)
    out["no END line"] = text[:end]
    out["junk after END"] = text + b"junk\n"
    out["much space after END"] = text + b" " * 5000
    out["a line dropped"] = text.replace(lines[500] + b"\n", b"", 1)
    out["the stream cut short"] = armored_bytes(stream[:-30])
    out["data after the marker"] = armored_bytes(stream + b"\0")
    return out


def test_damaged_armor_raises_the_same_errors_natively(
    pair: tarnel.KeyPair, tmp_path: Path
) -> None:
    stream = io.BytesIO()
    encrypt_file(io.BytesIO(os.urandom(2 * MiB + 500_000)), stream, pair.public_key,
                 chunk_size=1000)
    text = armored_bytes(stream.getvalue())
    for name, bad in armor_damaged(text, stream.getvalue()).items():
        (tmp_path / "in.asc").write_bytes(bad)
        with pytest.raises(Exception) as python_error:
            decrypt_armored(io.BytesIO(bad), io.BytesIO(), pair.secret_key)
        with open(tmp_path / "in.asc", "rb") as f, pytest.raises(Exception) as native_error:
            decrypt_armored(f, tmp_path / "out", pair.secret_key)
        assert isinstance(python_error.value, tarnel.TarnelError), name
        assert type(native_error.value) is type(python_error.value), name
        assert str(native_error.value) == str(python_error.value), name
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.asc"], name


@pytest.mark.parametrize("size", [0, 47, 5000, 3 * MiB + 7])
def test_armored_files_are_encrypted_natively_alike(
    pair: tarnel.KeyPair, tmp_path: Path, size: int
) -> None:
    from tarnel._files import OutputFile

    plain = os.urandom(size)
    (tmp_path / "plain").write_bytes(plain)
    native, python = Progress(), Progress()
    out = OutputFile(str(tmp_path / "native.asc"))
    try:
        w = armor.ArmorWriter(out)
        assert encrypt_file(tmp_path / "plain", w, pair.public_key, chunk_size=1000,
                            progress=native) == size
        w.finish()  # written already: nothing more
        with pytest.raises(ValueError):
            w.write(b"x")
        out.commit()
    finally:
        out.close()
    text = io.BytesIO()
    w = armor.ArmorWriter(text)
    encrypt_file(tmp_path / "plain", w, pair.public_key, chunk_size=1000, progress=python)
    w.finish()
    assert native.native == (size > 0) and not python.native
    assert native.calls == python.calls
    written = (tmp_path / "native.asc").read_bytes()
    # The same layout: only the capsule, nonces and ciphertext differ.
    assert [len(line) for line in written.split(b"\n")] == [
        len(line) for line in text.getvalue().split(b"\n")]
    got = io.BytesIO()
    decrypt_armored(io.BytesIO(written), got, pair.secret_key)
    assert got.getvalue() == plain
