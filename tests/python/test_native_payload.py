"""The multi-recipient format's payload between regular files, in native code.

files.encrypt_file and files.decrypt_file hand a regular input and an atomic
output file to native code that reads, seals or opens and writes in
overlapping steps. These tests check that it writes exactly the core's
chunk runs (which the chunk-by-chunk path writes too), that each path reads
what the other wrote, that damaged and armored files give the errors the
chunk-by-chunk path gives, and that a changed input, a signal or a failure
leaves no output and no thread behind.
"""

from __future__ import annotations

import io
import os
import threading
import time
from pathlib import Path
from typing import Any, Callable, cast

import pytest

import tarnel
from tarnel import _tarnel_fileio, _tarnel_pq, armor, files, streaming, xwing
from tarnel._files import OutputFile

from support import Progress, sigint_on_call

pytestmark = pytest.mark.usefixtures("no_native_thread_left")

KiB, MiB = 1024, 1024 * 1024
TAG = files.TAG_LEN


@pytest.fixture(scope="module")
def keys() -> tuple[bytes, bytes]:
    return xwing.generate_keypair()


# A slab holds about 1 MiB: sizes on both sides of one, of a chunk, and none.
@pytest.mark.parametrize("chunk, size", [
    (KiB, 0), (KiB, 1), (KiB, KiB), (KiB, MiB - 1), (KiB, MiB), (KiB, MiB + 1),
    (KiB, 3 * MiB + 7), (64 * KiB, 2 * MiB), (4 * MiB, 4 * MiB + 1)])
def test_the_payload_is_the_cores_run_and_opens_back(tmp_path: Path, chunk: int,
                                                     size: int) -> None:
    key, nonce, header = os.urandom(32), os.urandom(32), os.urandom(size % 200)
    plain = os.urandom(size)
    (tmp_path / "plain").write_bytes(plain)
    sealed = Progress()
    with open(tmp_path / "plain", "rb") as fin, open(tmp_path / "file", "wb") as fout:
        outcome, written = _tarnel_fileio.file_encrypt_fd(
            fin.fileno(), 0, fout.fileno(), "file", header, key, nonce, chunk, sealed, size,
            "plain")
    assert (outcome, written) == (0, size)
    assert (tmp_path / "file").read_bytes() == header + _tarnel_pq.file_seal_chunks(
        key, nonce, 0, chunk, plain, True)
    (tmp_path / "sealed").write_bytes((tmp_path / "file").read_bytes()[len(header):])
    # A call per chunk of plaintext (none for an empty file), done growing.
    assert len(sealed.calls) == -(-size // chunk)
    assert [d for d, _ in sealed.calls] == sorted(d for d, _ in sealed.calls)
    if size:
        assert sealed.native and sealed.calls[-1] == (size, size)

    opened = Progress()
    payload = (tmp_path / "sealed").stat().st_size
    with open(tmp_path / "sealed", "rb") as fin, open(tmp_path / "opened", "wb") as fout:
        end, done, failure = _tarnel_fileio.file_decrypt_fd(
            fin.fileno(), 0, fout.fileno(), "opened", key, nonce, chunk, opened, payload,
            "sealed")
    assert (end, done, failure) == (payload, size, None)
    assert (tmp_path / "opened").read_bytes() == plain
    assert opened.native and opened.calls[-1] == (payload, payload)


@pytest.mark.parametrize("size", [0, 5, 3 * 64 * KiB, MiB + 12345])
def test_each_path_reads_what_the_other_wrote(keys: tuple[bytes, bytes], tmp_path: Path,
                                              size: int) -> None:
    sk, pk = keys
    plain = os.urandom(size)
    (tmp_path / "plain").write_bytes(plain)
    native = Progress()
    assert files.encrypt_file(tmp_path / "plain", tmp_path / "native.tnl", [pk],
                              progress=native) == size
    assert native.native or size == 0  # no chunk of plaintext, no call from the thread
    assert files.decrypt((tmp_path / "native.tnl").read_bytes(), [sk]) == plain

    (tmp_path / "python.tnl").write_bytes(files.encrypt(plain, [pk]))
    opened = Progress()
    assert files.decrypt_file(tmp_path / "python.tnl", tmp_path / "out", [sk],
                              progress=opened) == size
    assert opened.native and (tmp_path / "out").read_bytes() == plain
    # Progress counts the payload's bytes, after the header, up to its size.
    data = (tmp_path / "python.tnl").read_bytes()
    payload = len(data) - files.parse_header(io.BytesIO(data)).length
    assert opened.calls[0] == (0, payload) and opened.calls[-1] == (payload, payload)


def cut_to(n: int) -> Callable[[bytes, int], bytes]:
    return lambda data, start: data[:start + n]


def flip(at: int) -> Callable[[bytes, int], bytes]:
    def damage(data: bytes, start: int) -> bytes:
        i = start + at if at >= 0 else len(data) + at
        return data[:i] + bytes([data[i] ^ 1]) + data[i + 1:]
    return damage


BLOCK = KiB + TAG
DAMAGES = {
    "first chunk flipped": flip(3),
    "a middle chunk flipped": flip(1500 * BLOCK + 9),
    "last tag flipped": flip(-1),
    "no payload": cut_to(0),
    "last chunk shorter than a tag": cut_to(2000 * BLOCK + 5),
    "cut after a whole chunk": cut_to(1024 * BLOCK),
    "cut after a slab's chunks": cut_to(1023 * BLOCK),
    "a byte appended": lambda data, start: data + b"\0",
    "a chunk appended": lambda data, start: data + data[start:start + BLOCK],
}


@pytest.mark.parametrize("damage", DAMAGES.values(), ids=DAMAGES.keys())
def test_damaged_files_raise_the_chunk_by_chunk_errors(
        keys: tuple[bytes, bytes], tmp_path: Path, damage: Callable[[bytes, int], bytes]) -> None:
    sk, pk = keys
    good = files.encrypt(os.urandom(2000 * KiB + 100), [pk], chunk_size=KiB)
    start = files.parse_header(io.BytesIO(good)).length
    bad = damage(good, start)
    (tmp_path / "bad.tnl").write_bytes(bad)
    with pytest.raises(tarnel.TarnelError) as python:
        files.decrypt(bad, [sk])
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    with pytest.raises(tarnel.TarnelError) as native:
        files.decrypt_file(tmp_path / "bad.tnl", out_dir / "x", [sk])
    assert (type(native.value), str(native.value)) == (type(python.value), str(python.value))
    assert os.listdir(out_dir) == []


def armored(data: bytes, path: Path) -> None:
    with open(path, "wb") as f:
        writer = armor.ArmorWriter(f, label=armor.FILE_LABEL)
        writer.write(data)
        writer.finish()


def armor_reader(path: Path) -> io.BufferedReader:
    return io.BufferedReader(armor.ArmorReader(open(path, "rb"), armor.FILE_LABEL), 1 << 16)


@pytest.mark.parametrize("size", [0, 100, 3 * MiB + 5])
def test_armored_output_is_the_writers_block(keys: tuple[bytes, bytes], tmp_path: Path,
                                            size: int) -> None:
    sk, pk = keys
    plain = os.urandom(size)
    (tmp_path / "plain").write_bytes(plain)
    seen = Progress()
    with OutputFile(tmp_path / "f.asc") as out:
        writer = armor.ArmorWriter(out, label=armor.FILE_LABEL)
        files.encrypt_file(tmp_path / "plain", cast(Any, writer), [pk], progress=seen)
        writer.finish()
        out.commit()
    assert seen.native or size == 0
    with armor_reader(tmp_path / "f.asc") as src:
        decoded = src.read()
    assert files.decrypt(decoded, [sk]) == plain
    again = io.BytesIO()
    armored_again = armor.ArmorWriter(again, label=armor.FILE_LABEL)
    armored_again.write(decoded)
    armored_again.finish()
    assert (tmp_path / "f.asc").read_bytes() == again.getvalue()


def test_armored_files_open_natively_alike(keys: tuple[bytes, bytes], tmp_path: Path) -> None:
    sk, pk = keys
    plain = os.urandom(3 * MiB + 5)
    armored(files.encrypt(plain, [pk]), tmp_path / "f.asc")
    seen = Progress()
    with armor_reader(tmp_path / "f.asc") as src:
        assert files.decrypt_file(src, tmp_path / "out", [sk], progress=seen) == len(plain)
    assert seen.native and (tmp_path / "out").read_bytes() == plain


def test_an_armor_reader_read_past_its_start_is_read_from_where_it_stands(
        keys: tuple[bytes, bytes], tmp_path: Path) -> None:
    # The block holds a prefix and then a file; its caller reads the prefix
    # first, so the header does not start the block.
    sk, pk = keys
    plain = os.urandom(2 * MiB + 7)
    armored(b"prefix" + files.encrypt(plain, [pk]), tmp_path / "f.asc")
    seen = Progress()
    with armor_reader(tmp_path / "f.asc") as src:
        assert src.read(6) == b"prefix"
        assert files.decrypt_file(src, tmp_path / "out", [sk], progress=seen) == len(plain)
        assert src.read() == b""
    assert not seen.native and (tmp_path / "out").read_bytes() == plain


@pytest.mark.parametrize("where", [0.1, 0.6, 0.999])
def test_damaged_armor_raises_the_readers_error_natively(
        keys: tuple[bytes, bytes], tmp_path: Path, where: float) -> None:
    sk, pk = keys
    armored(files.encrypt(os.urandom(2 * MiB), [pk]), tmp_path / "f.asc")
    text = bytearray((tmp_path / "f.asc").read_bytes())
    at = int(len(text) * where)
    at += 1 if text[at] in b"\n-" else 0
    text[at] = ord("*")
    (tmp_path / "f.asc").write_bytes(text)
    with pytest.raises(tarnel.TarnelError) as python, armor_reader(tmp_path / "f.asc") as src:
        files.decrypt(src, [sk])
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    with pytest.raises(tarnel.TarnelError) as native, armor_reader(tmp_path / "f.asc") as src:
        files.decrypt_file(src, out_dir / "x", [sk])
    assert (type(native.value), str(native.value)) == (type(python.value), str(python.value))
    assert os.listdir(out_dir) == []


def grow(path: Path) -> None:
    with open(path, "ab") as f:
        f.write(os.urandom(4096))


def shrink(path: Path) -> None:
    os.truncate(path, path.stat().st_size // 2)


def rewrite(path: Path) -> None:
    time.sleep(0.05)  # past the tick of the file system's clock
    with open(path, "r+b") as f:
        f.seek(6 * MiB)
        f.write(os.urandom(4096))


@pytest.mark.parametrize("change", [grow, shrink, rewrite])
def test_an_input_that_changes_while_it_is_sealed_is_refused(
        keys: tuple[bytes, bytes], tmp_path: Path, change: Callable[[Path], None]) -> None:
    src = tmp_path / "plain"
    src.write_bytes(os.urandom(8 * MiB))
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    seen = Progress()

    def progress(done: int, total: Any) -> None:
        seen(done, total)
        if len(seen.calls) == 2:
            change(src)

    with pytest.raises(streaming.InputChangedError) as error:
        files.encrypt_file(src, out_dir / "x", [keys[1]], progress=progress)
    assert str(error.value) == f"{src} changed while it was being read"
    assert seen.native and os.listdir(out_dir) == []


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                    reason="signals reach the main thread only")
@pytest.mark.parametrize("operation", ["encrypt", "decrypt"])
def test_a_signal_stops_the_payload_and_leaves_nothing(
        keys: tuple[bytes, bytes], tmp_path: Path, operation: str) -> None:
    sk, pk = keys
    (tmp_path / "plain").write_bytes(os.urandom(8 * MiB))
    files.encrypt_file(tmp_path / "plain", tmp_path / "enc", [pk])
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    with pytest.raises(KeyboardInterrupt):
        if operation == "encrypt":
            files.encrypt_file(tmp_path / "plain", out_dir / "x", [pk],
                               progress=sigint_on_call(5))
        else:
            files.decrypt_file(tmp_path / "enc", out_dir / "x", [sk], progress=sigint_on_call(5))
    assert os.listdir(out_dir) == []


def test_bad_arguments_are_refused_before_any_work(tmp_path: Path) -> None:
    with open(tmp_path / "f", "wb") as f:
        fd = f.fileno()
        for key, nonce, chunk, message in [
            (bytes(31), bytes(32), KiB, "file key and payload nonce must be 32 bytes"),
            (bytes(32), bytes(33), KiB, "file key and payload nonce must be 32 bytes"),
            (bytes(32), bytes(32), 0, "chunk size must not be zero"),
        ]:
            with pytest.raises(tarnel.InvalidParameterError, match=message):
                _tarnel_fileio.file_encrypt_fd(fd, 0, fd, "f", b"", key, nonce, chunk, None, None)
            with pytest.raises(tarnel.InvalidParameterError, match=message):
                _tarnel_fileio.file_decrypt_fd(fd, 0, fd, "f", key, nonce, chunk, None, None, "f")
        with pytest.raises(tarnel.InvalidParameterError, match="negative offset"):
            _tarnel_fileio.file_decrypt_fd(fd, -1, fd, "f", bytes(32), bytes(32), KiB, None, None,
                                           "f")
