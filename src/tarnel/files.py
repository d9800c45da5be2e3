"""Files for several recipients: one file key, wrapped once per recipient.

The format is described byte by byte in ``docs/file-format.md``. In short: a
header (magic, version, chunk size, payload nonce, the recipient entries and
an HMAC-SHA256 over all of it), then the payload in AES-256-GCM chunks whose
nonce is the chunk's index and a last-chunk flag. Recipients are X-Wing,
ML-KEM-768 or ML-KEM-1024 public keys (HPKE base mode, RFC 9180, with
HKDF-SHA256 and AES-256-GCM), or one passphrase (scrypt, RFC 7914).

Recipients are public-key bytes (1216 bytes: X-Wing; 1184: ML-KEM-768;
1568: ML-KEM-1024) or :class:`tarnel.hpke.PublicKey` objects of those KEMs.
Identities are private-key bytes (32 bytes: an X-Wing seed; 64 bytes: an
ML-KEM seed ``d || z``, tried as ML-KEM-768 and ML-KEM-1024) or
:class:`tarnel.hpke.PrivateKey` objects.

:func:`rekey` adds and removes recipients of an existing file (or, with
``rotate=True``, encrypts it again under a new file key); :func:`describe`
reads what a header says without any key.

Errors: :class:`FileFormatError` for a file that breaks the format (the
message says which rule), :class:`tarnel.DecryptionError` when no identity
opens the file, the header MAC fails or a chunk does not open, and
:class:`tarnel.InvalidParameterError` for unusable arguments.
"""

from __future__ import annotations

import dataclasses
import errno
import hashlib
import hmac
import io
import os
import stat
import struct
import sys
from typing import IO, Any, Callable, Iterable, Iterator, Optional, Sequence, Union, cast

from tarnel import _tarnel_fileio, _tarnel_pq
from tarnel._files import OutputFile, close_input, write_all
from tarnel._tarnel_core import DecryptionError, InvalidParameterError, TarnelError
from tarnel._wipe import wipe_bytes
from tarnel.hpke import AEAD, KDF, KEM, PrivateKey, PublicKey
from tarnel._pipeline import WriteBehind, channel_depth, widen_pipe, worth_a_thread
from tarnel.streaming import (InputChangedError, _armored_file, _batch_writer, _native_start,
                              name_of)

__all__ = [
    "FileFormatError",
    "Header",
    "Entry",
    "MAGIC",
    "VERSION",
    "encrypt",
    "decrypt",
    "encrypt_file",
    "decrypt_file",
    "open_encrypted",
    "parse_header",
    "rekey",
    "describe",
    "FileInfo",
    "recipient_tag",
]

MAGIC = b"\x89TNL\r\n\x1a\n"
VERSION = 1
DEFAULT_CHUNK_SIZE = 65536
MIN_CHUNK_SIZE = 1024
MAX_CHUNK_SIZE = 16 * 1024 * 1024
NONCE_LEN = 32
MAC_LEN = 32
TAG_LEN = 16
FILE_KEY_LEN = 32
MAX_ENTRIES = 64
MAX_ENTRY_BODY = 65536
FIXED_LEN = len(MAGIC) + 1 + 4 + NONCE_LEN + 2  # 47: everything before the entries

TYPE_XWING = int(KEM.X_WING)
TYPE_MLKEM768 = int(KEM.ML_KEM_768)
TYPE_MLKEM1024 = int(KEM.ML_KEM_1024)
TYPE_PASSPHRASE = 0xFF01
WRAPPED_LEN = FILE_KEY_LEN + TAG_LEN  # 48
RECIPIENT_TAG_LEN = 16
SALT_LEN = 16
# The exact body lengths come from the native header parser, which owns the
# layout: a KEM entry is enc || ct (the sealed file key) || recipient tag; a
# passphrase entry is log2 N, r, p, salt and the wrapped key.
ENTRY_LENGTHS = {t: _tarnel_pq.file_entry_length(t)
                 for t in (TYPE_XWING, TYPE_MLKEM768, TYPE_MLKEM1024, TYPE_PASSPHRASE)}
PASSPHRASE_BODY_LEN = ENTRY_LENGTHS[TYPE_PASSPHRASE]
# Entry types of the KEMs are their HPKE KEM identifiers.
_ENC_LEN = {t: ENTRY_LENGTHS[t] - WRAPPED_LEN - RECIPIENT_TAG_LEN
            for t in (TYPE_XWING, TYPE_MLKEM768, TYPE_MLKEM1024)}
_PUBLIC_LEN = {1216: TYPE_XWING, 1184: TYPE_MLKEM768, 1568: TYPE_MLKEM1024}
# The names describe() gives the entry types.
ENTRY_NAMES = {TYPE_XWING: "X-Wing", TYPE_MLKEM768: "ML-KEM-768",
               TYPE_MLKEM1024: "ML-KEM-1024", TYPE_PASSPHRASE: "passphrase"}

# scrypt (RFC 7914): the writer's default and the bounds a reader accepts.
SCRYPT_LOG2_N = 17
SCRYPT_R = 8
SCRYPT_P = 1
SCRYPT_MIN_LOG2_N = 17
SCRYPT_MAX_LOG2_N = 22
SCRYPT_MAX_R = 32
SCRYPT_MAX_P = 16
SCRYPT_MAX_MEMORY = 1 << 30  # 128 * r * N bytes at most

# The HKDF infos of the header MAC key, the payload key and the recipient
# tag key (applied in the core).
HEADER_INFO = b"tarnel file v1 header"
PAYLOAD_INFO = b"tarnel file v1 payload"
RECIPIENT_INFO = b"tarnel file v1 recipient"

PathLike = Union[str, "os.PathLike[str]"]
Recipient = Union[bytes, PublicKey]
Identity = Union[bytes, PrivateKey]


class FileFormatError(TarnelError):
    """The data is not a well-formed file of this format; the message says why."""


def entry_label(entry_type: int) -> bytes:
    """The HPKE ``info`` (KEM entries) or AES-GCM ``aad`` (passphrase) of an entry type."""
    return b"tarnel file v1 " + entry_type.to_bytes(2, "big")


class Entry:
    """One header entry: its type and its body, as stored."""

    __slots__ = ("type", "body")

    def __init__(self, entry_type: int, body: bytes) -> None:
        self.type = entry_type
        self.body = body

    def encode(self) -> bytes:
        return struct.pack(">HI", self.type, len(self.body)) + self.body

    def __repr__(self) -> str:
        return f"Entry(0x{self.type:04x}, {len(self.body)} bytes)"


class Header:
    """A parsed header; :attr:`encoded` is every byte of it, MAC included."""

    __slots__ = ("chunk_size", "nonce", "entries", "mac", "encoded")

    def __init__(self, chunk_size: int, nonce: bytes, entries: Sequence[Entry], mac: bytes,
                 encoded: bytes) -> None:
        self.chunk_size = chunk_size
        self.nonce = nonce
        self.entries = tuple(entries)
        self.mac = mac
        self.encoded = encoded

    @property
    def length(self) -> int:
        return len(self.encoded)

    def __repr__(self) -> str:
        return f"Header(chunk_size={self.chunk_size}, entries={list(self.entries)!r})"


def _check_chunk_size(chunk_size: int) -> None:
    if not (MIN_CHUNK_SIZE <= chunk_size <= MAX_CHUNK_SIZE) or chunk_size & (chunk_size - 1):
        raise FileFormatError(
            f"chunk size {chunk_size} is not a power of two from 1 KiB to 16 MiB")


def _read_exact(f: IO[bytes], n: int) -> bytes:
    """Up to ``n`` bytes: fewer only at the end of the input."""
    parts = []
    while n > 0:
        b = f.read(n)
        if not b:
            break
        parts.append(b)
        n -= len(b)
    return b"".join(parts)


def _fault_message(fault: tuple[int, ...]) -> str:
    """The message of a fault reported by the native header parser."""
    code, value, entry_type, expected = fault
    return {
        2: "not a tarnel file: the magic bytes do not match",
        3: f"unsupported file version {value}",
        4: f"chunk size {value} is not a power of two from 1 KiB to 16 MiB",
        5: f"entry count {value} is not from 1 to {MAX_ENTRIES}",
        6: f"entry of type 0x{entry_type:04x} has length {value}, not {expected}",
        7: f"entry of type 0x{entry_type:04x} is longer than 65536 bytes",
        8: "the header holds the same entry twice",
        9: "a passphrase entry must be the only entry",
    }[code]


def parse_header(f: IO[bytes]) -> Header:
    """Read and check a header's structure from ``f`` (not its MAC).

    Reads exactly the header's bytes. The checks run in native code, in the
    order ``docs/file-format.md`` lists them. Raises
    :class:`FileFormatError` for a wrong magic, an unknown version, a chunk
    size or entry count out of range, a known entry of the wrong length, an
    entry longer than 65536 bytes, a truncated header, a duplicate entry or
    a passphrase entry beside another.
    """
    data = b""
    want = FIXED_LEN
    while True:
        more = _read_exact(f, want - len(data))
        data += more
        result = _tarnel_pq.file_parse_header(data)
        if result[0] == 0:
            _, length, chunk_size, nonce, entries, mac = result
            return Header(chunk_size, nonce, [Entry(t, b) for t, b in entries], mac, data[:length])
        if result[0] != 1:
            raise FileFormatError(_fault_message(result))
        if len(data) < want:
            raise FileFormatError("the header is truncated")
        want = result[1]


# -- recipients and identities


def _recipient_kem(r: object) -> tuple[int, Union[bytes, PublicKey]]:
    if isinstance(r, PublicKey):
        if r.kem not in _ENC_LEN:
            raise InvalidParameterError(
                "a recipient must be an X-Wing, ML-KEM-768 or ML-KEM-1024 key")
        return r.kem, r
    if isinstance(r, bytes):
        kem = _PUBLIC_LEN.get(len(r))
        if kem is None:
            raise InvalidParameterError(
                f"a recipient public key of {len(r)} bytes is none of X-Wing (1216), "
                "ML-KEM-768 (1184) or ML-KEM-1024 (1568)")
        return kem, r
    raise TypeError(f"a recipient must be bytes or an hpke.PublicKey, not {type(r).__name__}")


# Expanded ML-KEM decapsulation keys (FIPS 203, Algorithm 16), as key files hold them.
_EXPANDED_LEN = {2400: int(KEM.ML_KEM_768), 3168: int(KEM.ML_KEM_1024)}


def _identity_kems(i: object) -> list[tuple[int, Union[bytes, PrivateKey], bool]]:
    """``(kem, key, expanded)`` for each KEM an identity may belong to."""
    if isinstance(i, PrivateKey):
        if i.kem not in _ENC_LEN:
            raise InvalidParameterError(
                "an identity must be an X-Wing, ML-KEM-768 or ML-KEM-1024 key")
        return [(i.kem, i, False)]
    if isinstance(i, bytes):
        if len(i) == 32:
            return [(int(KEM.X_WING), i, False)]
        if len(i) == 64:
            return [(int(KEM.ML_KEM_768), i, False), (int(KEM.ML_KEM_1024), i, False)]
        if len(i) in _EXPANDED_LEN:
            return [(_EXPANDED_LEN[len(i)], i, True)]
        raise InvalidParameterError(
            f"an identity of {len(i)} bytes is none of an X-Wing seed (32), an ML-KEM "
            "seed (64) or an ML-KEM-768/1024 decapsulation key (2400, 3168)")
    raise TypeError(f"an identity must be bytes or an hpke.PrivateKey, not {type(i).__name__}")


def _loaded(kem: int, key: Union[bytes, PrivateKey],
            expanded: bool) -> tuple[int, Union[bytes, PrivateKey], bool]:
    """A seed turned into a key object, expanded once for all the entries it
    is tried on; anything else, or a seed that does not load, as it was
    (the entries then refuse it one by one)."""
    if isinstance(key, bytes) and not expanded:
        try:
            return kem, _tarnel_pq.hpke_load_private_key(kem, key), False
        except TarnelError:
            pass
    return kem, key, expanded


def _open_entry(entry: Entry, kem: int, key: Union[bytes, PrivateKey],
                expanded: bool) -> Optional[bytes]:
    """The plaintext of one KEM entry under one key, or None when it does not open."""
    n_enc = _ENC_LEN[kem]
    sealed = entry.body[:n_enc + WRAPPED_LEN]  # enc || ct, without the recipient tag
    try:
        if expanded:
            assert isinstance(key, bytes)
            return _tarnel_pq.file_open_mlkem_entry(kem, key, sealed, entry_label(kem))
        ctx = _tarnel_pq.hpke_setup_recipient(
            kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM, key, sealed[:n_enc], entry_label(kem))
        return ctx.open(sealed[n_enc:], b"")
    except TarnelError:
        # A wrong key (DecryptionError) or a refused one (InvalidParameterError
        # for a key that fails its checks) both mean: not this entry.
        return None


def _scrypt(passphrase: bytes, salt: bytes, log2_n: int, r: int, p: int) -> bytes:
    return hashlib.scrypt(passphrase, salt=salt, n=1 << log2_n, r=r, p=p, dklen=32,
                          maxmem=SCRYPT_MAX_MEMORY + (1 << 20))


def _passphrase_bytes(passphrase: Union[str, bytes]) -> bytes:
    if isinstance(passphrase, str):
        return passphrase.encode("utf-8")
    if isinstance(passphrase, bytes):
        return passphrase
    raise TypeError(f"passphrase must be str or bytes, not {type(passphrase).__name__}")


# -- writing


class _Seeds:
    """Where the writer's random values come from: the OS, or fixed bytes for examples."""

    def __init__(self, fixed: Optional[bytes]) -> None:
        self._fixed = fixed
        self._counter = 0

    @property
    def fixed(self) -> bool:
        return self._fixed is not None

    def take(self, n: int) -> bytes:
        if self._fixed is None:
            return os.urandom(n)
        out = hashlib.shake_256(self._fixed + self._counter.to_bytes(4, "big")).digest(n)
        self._counter += 1
        return out


def _public_bytes(key: Union[bytes, PublicKey]) -> bytes:
    return key if isinstance(key, bytes) else key.public_bytes()


def recipient_tag(file_key: bytes, entry_type: int, public_key: bytes) -> bytes:
    """The 16-byte tag that ends a KEM entry for ``public_key``: only a
    holder of the file key can compute it."""
    return _tarnel_pq.file_recipient_tag(file_key, entry_type, public_key)


def _kem_entry(kem: int, key: Union[bytes, PublicKey], file_key: bytes, seeds: _Seeds) -> Entry:
    """A KEM entry: the file key sealed to ``key`` with HPKE, then its recipient tag."""
    label = entry_label(kem)
    # Only for fixed seeds: the encapsulation's randomness, of its exact size.
    ikm_e = seeds.take(64 if kem == KEM.X_WING else 32) if seeds.fixed else None
    enc, ctx = _tarnel_pq.hpke_setup_sender(
        kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM, key, label, ikm_e)
    tag = recipient_tag(file_key, kem, _public_bytes(key))
    return Entry(kem, enc + ctx.seal(file_key, b"") + tag)


def _passphrase_entry(file_key: bytes, passphrase: Union[str, bytes], seeds: _Seeds,
                      scrypt_log2_n: int) -> Entry:
    """The passphrase entry: the file key wrapped under scrypt of the passphrase."""
    if not SCRYPT_MIN_LOG2_N <= scrypt_log2_n <= SCRYPT_MAX_LOG2_N:
        raise InvalidParameterError("scrypt log2 N must be from 17 to 22")
    salt = seeds.take(SALT_LEN)
    kek = _scrypt(_passphrase_bytes(passphrase), salt, scrypt_log2_n, SCRYPT_R, SCRYPT_P)
    try:
        wrapped = _tarnel_pq.file_wrap_key(kek, entry_label(TYPE_PASSPHRASE), file_key)
    finally:
        wipe_bytes(kek)
    return Entry(TYPE_PASSPHRASE, bytes([scrypt_log2_n, SCRYPT_R, SCRYPT_P]) + salt + wrapped)


def _assemble_header(file_key: bytes, chunk_size: int, nonce: bytes,
                     entries: Sequence[Entry]) -> bytes:
    """The encoded header with its MAC, held to the reader's rules."""
    body = (MAGIC + bytes([VERSION]) + struct.pack(">I", chunk_size) + nonce
            + struct.pack(">H", len(entries)) + b"".join(e.encode() for e in entries))
    header = body + _tarnel_pq.file_header_mac(file_key, body)
    parsed = _tarnel_pq.file_parse_header(header)
    if parsed[0] != 0 or parsed[1] != len(header):
        raise InvalidParameterError(_fault_message(parsed) if parsed[0] > 1 else "bad header")
    return header


def _checked_chunk_size(chunk_size: object) -> int:
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError("chunk_size must be an int")
    try:
        _check_chunk_size(chunk_size)
    except FileFormatError as e:
        raise InvalidParameterError(str(e)) from None
    return chunk_size


def _build_header(file_key: bytes, recipients: Sequence[object],
                  passphrase: Optional[Union[str, bytes]], chunk_size: int,
                  seeds: _Seeds, scrypt_log2_n: int) -> tuple[bytes, bytes]:
    """The encoded header (MAC included) and the payload nonce."""
    _checked_chunk_size(chunk_size)
    entries: list[Entry] = []
    if passphrase is not None:
        if recipients:
            raise InvalidParameterError("a passphrase cannot be combined with recipients")
        entries.append(_passphrase_entry(file_key, passphrase, seeds, scrypt_log2_n))
    else:
        if not recipients:
            raise InvalidParameterError("at least one recipient or a passphrase is needed")
        if len(recipients) > MAX_ENTRIES:
            raise InvalidParameterError(f"at most {MAX_ENTRIES} recipients")
        for r in recipients:
            kem, key = _recipient_kem(r)
            entries.append(_kem_entry(kem, key, file_key, seeds))
    nonce = seeds.take(NONCE_LEN)
    return _assemble_header(file_key, chunk_size, nonce, entries), nonce


# Chunks are sealed and opened in runs of about this many bytes, one native
# call each: the payload key is derived once a run, and the interpreter lock
# is released for the whole run.
RUN_BYTES = 1 << 20


def _runs(src: IO[bytes], piece: int) -> Iterator[tuple[bytes, bool]]:
    """``src`` in runs of whole pieces of ``piece`` bytes (about RUN_BYTES),
    each with whether it ends the input; one empty run for no data. A run
    that does not end the input holds only whole pieces."""
    size = piece * max(1, RUN_BYTES // piece)
    current = _read_exact(src, size)
    while True:
        following = _read_exact(src, size) if len(current) == size else b""
        if not following:
            yield current, True
            return
        yield current, False
        current = following


def _writer_behind(out: object) -> WriteBehind:
    """Buffers for ``out`` written in order, by a thread of their own when
    ``out`` is a regular file (see tarnel._pipeline); a pipe is widened, so
    that a run goes into it in one write while the reader drains it."""
    f = cast(IO[bytes], out)
    widen_pipe(f)
    return WriteBehind(_batch_writer(f), threaded=worth_a_thread(f, RUN_BYTES),
                       depth=channel_depth(RUN_BYTES))


def _run_chunks(length: int, piece: int, ends: bool) -> int:
    """How many chunks a run of ``length`` bytes in pieces of ``piece`` holds."""
    return max(1, -(-length // piece)) if ends else length // piece


# progress(done, total): plaintext bytes sealed, or payload bytes opened, so
# far, and the whole (None when unknown).
Progress = Callable[[int, Optional[int]], object]


def _encrypt_to(src: IO[bytes], out: object, recipients: Sequence[object],
                passphrase: Optional[Union[str, bytes]], chunk_size: int,
                seed: Optional[bytes], scrypt_log2_n: int,
                progress: Optional[Progress] = None) -> int:
    """Writes the whole file to ``out``; returns the number of plaintext bytes."""
    return _encrypt_with_header(src, out, recipients, passphrase, chunk_size, seed,
                                scrypt_log2_n, progress)[1]


def _native_output(out: object) -> Optional[OutputFile]:
    """``out`` when native code may write the payload to it: an atomic
    output file (a regular file that nobody sees before it is whole)."""
    return out if isinstance(out, OutputFile) and out.atomic else None


def _native_armored_output(out: object) -> Optional[tuple[Callable[[], None], OutputFile]]:
    """When ``out`` is an armor writer of the file format's block that has
    written nothing yet, into an atomic output file: the function that hands
    the block over to native code, and that file."""
    armor = sys.modules.get("tarnel.armor")  # loaded if out is its writer
    if armor is None or type(out) is not armor.ArmorWriter:
        return None
    handover = cast(Any, out).native_handover(armor.FILE_LABEL)
    if handover is None or _native_output(handover[1]) is None:
        return None
    return handover[0], cast(OutputFile, handover[1])


def _size_after(f: IO[bytes], start: Optional[int] = None) -> Optional[int]:
    """How many bytes a regular file holds from ``start`` (by default its
    position) on; None for anything else."""
    try:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            return None
        return max(st.st_size - (f.tell() if start is None else start), 0)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return None


def _encrypt_with_header(src: IO[bytes], out: object, recipients: Sequence[object],
                         passphrase: Optional[Union[str, bytes]], chunk_size: int,
                         seed: Optional[bytes], scrypt_log2_n: int,
                         progress: Optional[Progress] = None) -> tuple[bytes, int]:
    """Writes the whole file to ``out``; returns its header and the number
    of plaintext bytes."""
    seeds = _Seeds(seed)
    file_key = seeds.take(FILE_KEY_LEN)
    try:
        header, nonce = _build_header(file_key, recipients, passphrase, chunk_size, seeds,
                                      scrypt_log2_n)
        target = _native_output(out)
        armored = _native_armored_output(out) if target is None else None
        if armored is not None:
            target = armored[1]
        start = _native_start(src) if target is not None else None
        if target is not None and start is not None:
            # A regular file into an atomic output: the whole file in native
            # code, which reads, seals (and armors) and writes in overlapping
            # steps.
            size = _size_after(src, start)
            if armored is not None:
                armored[0]()  # the block is written natively from here
            target.flush()
            if progress is not None:
                progress(0, size)
            outcome, written = _tarnel_fileio.file_encrypt_fd(
                src.fileno(), start, target.fileno(), target.path, header, file_key, nonce,
                chunk_size, progress, size, name_of(src), armored is not None)
            src.seek(start + written)
            if outcome != 0:
                raise InputChangedError(name_of(src))
            return header, int(written)
        total = 0
        index = 0
        size = _size_after(src) if progress is not None else None
        # A regular file is written by a second thread while the next run
        # is read and sealed (both release the interpreter lock).
        with _writer_behind(out) as w:
            w.put(header)
            for run, ends in _runs(src, chunk_size):
                w.put(_tarnel_pq.file_seal_chunks(file_key, nonce, index, chunk_size, run, ends))
                index += _run_chunks(len(run), chunk_size, ends)
                total += len(run)
                if progress is not None:
                    # A file that grew while it was read has no known size.
                    progress(total, size if size is not None and total <= size else None)
        return header, total
    finally:
        wipe_bytes(file_key)


def _as_reader(source: object) -> tuple[IO[bytes], bool]:
    """A binary reader for bytes, a path or a file object, and whether we opened it."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return io.BytesIO(bytes(source)), True
    if isinstance(source, (str, os.PathLike)):
        return open(source, "rb"), True
    if hasattr(source, "read"):
        return source, False  # type: ignore[return-value]
    raise TypeError(f"expected bytes, a path or a binary file, not {type(source).__name__}")


def encrypt(plaintext: object, recipients: Iterable[Recipient] = (), *,
            passphrase: Optional[Union[str, bytes]] = None,
            chunk_size: int = DEFAULT_CHUNK_SIZE,
            _seed: Optional[bytes] = None,
            _scrypt_log2_n: int = SCRYPT_LOG2_N) -> bytes:
    """Encrypt ``plaintext`` (bytes, a path or a binary file object) to every
    recipient, or to ``passphrase`` alone; returns the whole file as bytes.

    ``_seed`` makes every random value a function of it (documentation
    examples and test files only: never for real data).
    """
    src, opened = _as_reader(plaintext)
    try:
        out = io.BytesIO()
        _encrypt_to(src, out, list(recipients), passphrase, chunk_size, _seed, _scrypt_log2_n)
        return out.getvalue()
    finally:
        if opened:
            close_input(src)


def encrypt_file(src: object, dst: Union[PathLike, IO[bytes]],
                 recipients: Iterable[Recipient] = (), *,
                 passphrase: Optional[Union[str, bytes]] = None,
                 chunk_size: int = DEFAULT_CHUNK_SIZE,
                 progress: Optional[Progress] = None) -> int:
    """Encrypt ``src`` (a path or binary file) into ``dst`` (a path, written
    atomically, or a binary file); returns the number of plaintext bytes.

    ``progress``, when given, is called as the input is sealed with the
    plaintext bytes done and the input's size (None when unknown).
    Raises :class:`tarnel.streaming.InputChangedError` when a regular file
    changes size or is modified while it is read (a path ``dst`` is then
    not written).
    """
    reader, opened = _as_reader(src)
    try:
        if isinstance(dst, (str, os.PathLike)):
            with OutputFile(dst) as out:
                total = _encrypt_to(reader, out, list(recipients), passphrase, chunk_size, None,
                                    SCRYPT_LOG2_N, progress)
                out.commit()
            return total
        return _encrypt_to(reader, dst, list(recipients), passphrase, chunk_size, None,
                           SCRYPT_LOG2_N, progress)
    finally:
        if opened:
            close_input(reader)


# -- reading


def _open_passphrase(entry: Entry, passphrase: bytes) -> Optional[bytes]:
    log2_n, r, p = entry.body[0], entry.body[1], entry.body[2]
    if not (SCRYPT_MIN_LOG2_N <= log2_n <= SCRYPT_MAX_LOG2_N and 1 <= r <= SCRYPT_MAX_R
            and 1 <= p <= SCRYPT_MAX_P and 128 * r * (1 << log2_n) <= SCRYPT_MAX_MEMORY):
        raise FileFormatError(
            f"passphrase work factor out of range (log2 N {log2_n}, r {r}, p {p})")
    salt = entry.body[3:3 + SALT_LEN]
    kek = _scrypt(passphrase, salt, log2_n, r, p)
    try:
        return _tarnel_pq.file_unwrap_key(kek, entry_label(TYPE_PASSPHRASE),
                                          entry.body[3 + SALT_LEN:])
    except DecryptionError:
        return None
    finally:
        wipe_bytes(kek)


def _file_key(header: Header, identities: Sequence[object],
              passphrase: Optional[Union[str, bytes]]) -> bytes:
    """The file key that one of the identities opens and the header MAC confirms.

    Every identity is tried on every entry of its KEM, with no early exit;
    then each key found is checked against the MAC.
    """
    candidates: list[bytes] = []
    present = {entry.type for entry in header.entries}
    keys = [_loaded(kem, key, expanded) if kem in present else (kem, key, expanded)
            for i in identities for kem, key, expanded in _identity_kems(i)]
    for entry in header.entries:
        if entry.type == TYPE_PASSPHRASE:
            if passphrase is not None:
                unwrapped = _open_passphrase(entry, _passphrase_bytes(passphrase))
                if unwrapped is not None:
                    candidates.append(unwrapped)
            continue
        if entry.type not in _ENC_LEN:
            continue  # an entry type this reader does not know: skipped
        for kem, key, expanded in keys:
            if kem == entry.type:
                opened = _open_entry(entry, kem, key, expanded)
                if opened is not None:
                    candidates.append(opened)
    if not candidates:
        raise DecryptionError("no identity opens this file")
    body = header.encoded[:-MAC_LEN]
    found = None
    for candidate in candidates:
        if found is None and len(candidate) == FILE_KEY_LEN and hmac.compare_digest(
                _tarnel_pq.file_header_mac(candidate, body), header.mac):
            found = candidate
        else:
            wipe_bytes(candidate)
    if found is None:
        raise DecryptionError("the header MAC does not verify")
    return found


def _payload_layout(payload: int, chunk_size: int) -> tuple[int, int]:
    """The chunk count and the plaintext length of a payload of ``payload``
    bytes; FileFormatError naming the chunk when no payload is that long."""
    block = chunk_size + TAG_LEN
    if payload < TAG_LEN:
        raise FileFormatError("chunk 0 is too short")
    count = (payload + block - 1) // block
    last_len = payload - (count - 1) * block
    if last_len < TAG_LEN or (count > 1 and last_len == TAG_LEN):
        raise FileFormatError(f"chunk {count - 1} is too short")
    return count, payload - count * TAG_LEN


def _chunk_error(index: int) -> DecryptionError:
    return DecryptionError(
        f"chunk {index} does not open: the file is damaged, truncated, reordered or extended")


def _decrypt_stream(src: IO[bytes], identities: Sequence[object],
                    passphrase: Optional[Union[str, bytes]]) -> Iterator[bytes]:
    header = parse_header(src)
    file_key = _file_key(header, identities, passphrase)
    try:
        yield from _open_chunks(src, file_key, header)
    finally:
        wipe_bytes(file_key)


def _write_payload(src: IO[bytes], file_key: bytes, header: Header, out: object,
                   progress: Optional[Progress] = None) -> int:
    """Open the payload that ``src`` holds after ``header`` (read already)
    into ``out``; returns the number of plaintext bytes. A chunk is written
    only once it opened; on an error, what was written must be discarded.
    ``progress`` counts payload bytes."""
    target = _native_output(out)
    start = _native_start(src) if target is not None else None
    armored = _armored_file(src) if target is not None and start is None else None
    if armored is not None and src.tell() != len(header.encoded):
        # Native code decodes the block from its start and passes over the
        # header; a reader that had already handed out more than the header
        # stands elsewhere, so its caller's position is kept by going chunk
        # by chunk.
        armored = None
    if target is not None and (start is not None or armored is not None):
        # Native code reads, opens and writes in overlapping steps, from the
        # file itself or from the armor block's text.
        label, file_label = None, False
        if armored is None:
            fd, origin, skip, size = src.fileno(), cast(int, start), None, _size_after(src, start)
        else:
            from tarnel import armor  # loaded already: src is its reader

            fd, origin, skip, size = armored[0].fileno(), armored[1], len(header.encoded), None
            label = cast(armor.ArmorReader, cast(io.BufferedReader, src).raw).label
            file_label = label == armor.FILE_LABEL
        if progress is not None:
            progress(0, size)
        end, done, failure = _tarnel_fileio.file_decrypt_fd(
            fd, origin, target.fileno(), target.path, file_key, header.nonce, header.chunk_size,
            progress, size, name_of(src), skip, file_label)
        if armored is None:
            src.seek(end)
        if failure is not None:
            kind, where = failure[0], failure[1]
            if kind == "chunk":
                raise _chunk_error(cast(int, where))
            if kind == "short":
                raise FileFormatError(f"chunk {where} is too short")
            from tarnel import armor  # loaded already: src is its reader

            raise armor.fault_error(cast("armor._Fault", failure), cast(str, label))
        return int(done)
    total = 0
    done = 0
    with _writer_behind(out) as w:
        for chunk in _open_chunks(src, file_key, header):
            w.put(chunk)
            total += len(chunk)
            done += len(chunk) + TAG_LEN
            if progress is not None:
                progress(done, None)
    return total


def _open_chunks(src: IO[bytes], file_key: bytes, header: Header) -> Iterator[bytes]:
    """The plaintext of the payload that ``src`` holds, a run at a time.
    Errors name the chunk: a last chunk too short to be one, or the first
    chunk of a run that does not verify (the run's chunks before it are
    given first, as a chunk-by-chunk reader would)."""
    block = header.chunk_size + TAG_LEN
    first = 0
    for run, ends in _runs(src, block):
        count = _run_chunks(len(run), block, ends)
        if ends:
            tail = len(run) - (count - 1) * block
            if tail < TAG_LEN or (tail == TAG_LEN and first + count > 1):
                raise FileFormatError(f"chunk {first + count - 1} is too short")
        try:
            yield _tarnel_pq.file_open_chunks(file_key, header.nonce, first, header.chunk_size,
                                              run, ends)
        except DecryptionError:
            for k in range(count):
                piece = run[k * block:(k + 1) * block]
                last = ends and k == count - 1
                try:
                    yield _tarnel_pq.file_open_chunk(file_key, header.nonce, first + k, last, piece)
                except DecryptionError:
                    raise _chunk_error(first + k) from None
            raise _chunk_error(first + count - 1) from None
        first += count


def decrypt(data: object, identities: Iterable[Identity] = (), *,
            passphrase: Optional[Union[str, bytes]] = None) -> bytes:
    """The plaintext of a whole file given as bytes, a path or a binary file."""
    src, opened = _as_reader(data)
    try:
        return b"".join(_decrypt_stream(src, list(identities), passphrase))
    finally:
        if opened:
            close_input(src)


def decrypt_file(src: object, dst: Union[PathLike, IO[bytes]],
                 identities: Iterable[Identity] = (), *,
                 passphrase: Optional[Union[str, bytes]] = None,
                 progress: Optional[Progress] = None) -> int:
    """Decrypt ``src`` (a path or binary file) into ``dst``; returns the
    number of plaintext bytes.

    A path is written atomically and only when every chunk has verified; a
    file object receives each chunk as it verifies, so on an exception its
    contents must be discarded. ``progress``, when given, is called as the
    payload is opened with its bytes done and its size (None when unknown).
    """
    reader, opened = _as_reader(src)
    ids = list(identities)

    def decrypt_into(out: object) -> int:
        header = parse_header(reader)
        file_key = _file_key(header, ids, passphrase)
        try:
            return _write_payload(reader, file_key, header, out, progress)
        finally:
            wipe_bytes(file_key)

    try:
        if isinstance(dst, (str, os.PathLike)):
            with OutputFile(dst, secret=True) as out:
                total = decrypt_into(out)
                out.commit()
            return total
        return decrypt_into(dst)
    finally:
        if opened:
            close_input(reader)


class EncryptedFile(io.RawIOBase):
    """A seekable, read-only view of the plaintext of an encrypted file.

    Only the chunks that a read touches are decrypted (one is cached). The
    final chunk is verified when the file is opened, so the plaintext length
    and a seek from the end are trusted.
    """

    def __init__(self, f: IO[bytes], owned: bool, identities: Sequence[object],
                 passphrase: Optional[Union[str, bytes]]) -> None:
        super().__init__()
        self._f = f
        self._owned = owned
        self._key = b""
        self._cache: tuple[int, bytes] = (-1, b"")
        try:
            if not f.seekable():
                raise io.UnsupportedOperation("open_encrypted needs a seekable file")
            header = parse_header(f)
            self._key = _file_key(header, identities, passphrase)
            self._nonce = header.nonce
            self._chunk = header.chunk_size
            self._start = header.length
            end = f.seek(0, io.SEEK_END)
            self._count, self._size = _payload_layout(end - self._start, self._chunk)
            self._load(self._count - 1)
        except BaseException:
            wipe_bytes(self._key)
            if owned:
                close_input(f)
            raise
        self._pos = 0

    def _load(self, index: int) -> bytes:
        if self._cache[0] == index:
            return self._cache[1]
        block = self._chunk + TAG_LEN
        self._f.seek(self._start + index * block)
        data = _read_exact(self._f, block)
        last = index == self._count - 1
        try:
            plain = _tarnel_pq.file_open_chunk(self._key, self._nonce, index, last, data)
        except DecryptionError:
            raise _chunk_error(index) from None
        self._cache = (index, plain)
        return plain

    @property
    def size(self) -> int:
        """The plaintext length."""
        return self._size

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if self.closed:
            raise ValueError("I/O operation on closed file")
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._pos, io.SEEK_END: self._size}.get(whence)
        if base is None:
            raise ValueError(f"invalid whence {whence}")
        if base + offset < 0:
            raise ValueError("negative seek position")
        self._pos = base + offset
        return self._pos

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        if self.closed:
            raise ValueError("I/O operation on closed file")
        view = memoryview(buffer).cast("B")
        n = 0
        while n < len(view) and self._pos < self._size:
            index, within = divmod(self._pos, self._chunk)
            plain = self._load(index)
            take = min(len(view) - n, len(plain) - within)
            view[n:n + take] = plain[within:within + take]
            n += take
            self._pos += take
        return n

    def close(self) -> None:
        if not self.closed:
            self._cache = (-1, b"")
            wipe_bytes(self._key)
            if self._owned:
                close_input(self._f)
        super().close()


def open_encrypted(source: Union[PathLike, IO[bytes]], identities: Iterable[Identity] = (), *,
                   passphrase: Optional[Union[str, bytes]] = None) -> io.BufferedReader:
    """A seekable, read-only binary file of the plaintext of ``source`` (a
    path or a seekable binary file)."""
    if isinstance(source, (str, os.PathLike)):
        f: IO[bytes] = open(source, "rb")
        owned = True
    else:
        f, owned = source, False
    raw = EncryptedFile(f, owned, list(identities), passphrase)
    return io.BufferedReader(raw, buffer_size=max(raw._chunk, io.DEFAULT_BUFFER_SIZE))


# -- describing a file without its key


@dataclasses.dataclass(frozen=True)
class FileInfo:
    """What a file's header says, read without any key (see :func:`describe`).

    Nothing here is authenticated: the header MAC needs the file key.

    - ``version``: the format version (1).
    - ``profile``: ``"passphrase"`` for a passphrase file; ``"hybrid"`` when
      any entry is X-Wing; ``"approved-only"`` when every entry is
      ML-KEM-1024; ``"ml-kem"`` for any other mix with an ML-KEM entry;
      ``"unknown"`` when no entry is of a type this version knows.
    - ``entries``: the type of each entry in order: ``"X-Wing"``,
      ``"ML-KEM-768"``, ``"ML-KEM-1024"``, ``"passphrase"``, or
      ``"unknown 0x7a7a"`` for a type this version does not know.
    - ``chunk_size`` and ``header_length`` (MAC included), in bytes.
    - ``plaintext_length``: from the length of a seekable source, or None
      when the source is not seekable or its length fits no payload.
    """

    version: int
    profile: str
    entries: tuple[str, ...]
    chunk_size: int
    header_length: int
    plaintext_length: Optional[int]

    def __str__(self) -> str:
        length = ("unknown" if self.plaintext_length is None
                  else f"{self.plaintext_length} bytes")
        return (f"tarnel file v{self.version}, {self.profile}: {', '.join(self.entries)}; "
                f"chunk size {self.chunk_size}, header {self.header_length} bytes, "
                f"plaintext {length}")


def _profile(types: Sequence[int]) -> str:
    if TYPE_PASSPHRASE in types:
        return "passphrase"
    if TYPE_XWING in types:
        return "hybrid"
    if all(t == TYPE_MLKEM1024 for t in types):
        return "approved-only"
    if any(t in (TYPE_MLKEM768, TYPE_MLKEM1024) for t in types):
        return "ml-kem"
    return "unknown"


def _info(header: Header, plaintext_length: Optional[int]) -> FileInfo:
    types = [e.type for e in header.entries]
    return FileInfo(
        version=VERSION,
        profile=_profile(types),
        entries=tuple(ENTRY_NAMES.get(t, f"unknown 0x{t:04x}") for t in types),
        chunk_size=header.chunk_size,
        header_length=header.length,
        plaintext_length=plaintext_length,
    )


def _seekable(f: IO[bytes]) -> bool:
    try:
        return bool(f.seekable())
    except (OSError, ValueError):
        return False


def describe(source: object) -> FileInfo:
    """Describe the file ``source`` (bytes, a path or a binary file) from its
    header alone: no key is needed and none is asked for.

    Raises :class:`FileFormatError` for a header that breaks the format.
    The header MAC is not checked (that needs the file key), so a file
    that is described may still fail to open. A file object is read from
    its current position; a seekable one is put back where it was.
    """
    reader, opened = _as_reader(source)
    try:
        seekable = _seekable(reader)
        start = reader.tell() if seekable else 0
        header = parse_header(reader)
        plaintext_length: Optional[int] = None
        if seekable:
            end = reader.seek(0, io.SEEK_END)
            reader.seek(start)
            try:
                plaintext_length = _payload_layout(end - start - header.length,
                                                   header.chunk_size)[1]
            except FileFormatError:
                plaintext_length = None
        return _info(header, plaintext_length)
    finally:
        if opened:
            close_input(reader)


# -- re-keying


def _identity_public_keys(identities: Sequence[object]) -> list[tuple[int, bytes]]:
    """The public keys ``(kem, bytes)`` of the identities (both for an ML-KEM seed)."""
    out: list[tuple[int, bytes]] = []
    for i in identities:
        for kem, key, expanded in _identity_kems(i):
            try:
                if isinstance(key, PrivateKey):
                    pk = key.public_key().public_bytes()
                elif expanded:
                    # FIPS 203, Algorithm 16: dk = dk_PKE (384 k bytes) || ek || H(ek) || z.
                    k = 3 if kem == TYPE_MLKEM768 else 4
                    pk = key[384 * k:384 * k + 384 * k + 32]
                elif kem == TYPE_XWING:
                    pk = _tarnel_pq.xwing_generate_keypair(key)[1]
                else:
                    pk = _tarnel_pq.hpke_load_private_key(kem, key).public_key().public_bytes()
            except TarnelError:
                continue  # a key that fails its checks names no recipient
            out.append((kem, pk))
    return out


def _key_list(keys: Iterable[Recipient], what: str) -> list[tuple[int, bytes]]:
    """``(kem, public key bytes)`` for each key, in order, without repeats."""
    if isinstance(keys, (bytes, bytearray, PublicKey)):
        raise TypeError(f"{what} must be an iterable of public keys, not a single key")
    out: list[tuple[int, bytes]] = []
    for k in keys:
        kem, key = _recipient_kem(k)
        item = (kem, _public_bytes(key))
        if item not in out:
            out.append(item)
    return out


def _ordinal(n: int) -> str:
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"


def _matches(entry: Entry, tag: bytes, kem: int) -> bool:
    return entry.type == kem and hmac.compare_digest(entry.body[-RECIPIENT_TAG_LEN:], tag)


class _Plan:
    """What the new header holds: entries kept verbatim, or (when rotating)
    the public keys to seal a fresh file key to, or a passphrase."""

    def __init__(self) -> None:
        self.kept: list[Entry] = []
        self.added: list[tuple[int, bytes]] = []
        self.passphrase: Optional[Union[str, bytes]] = None


def _plan(header: Header, file_key: bytes, add: list[tuple[int, bytes]],
          remove: list[tuple[int, bytes]], identities: Sequence[object], rotate: bool,
          passphrase: Optional[Union[str, bytes]],
          new_passphrase: Optional[Union[str, bytes]]) -> _Plan:
    plan = _Plan()
    is_passphrase_file = any(e.type == TYPE_PASSPHRASE for e in header.entries)
    if is_passphrase_file:
        if remove:
            raise InvalidParameterError(
                "this file is protected by a passphrase: it has no recipient to remove")
        if add:
            if not rotate:
                raise InvalidParameterError(
                    "a passphrase file is given recipients only with rotate=True "
                    "(a new file key replaces the one the passphrase protected)")
            plan.added = list(add)
        elif rotate or new_passphrase is not None:
            plan.passphrase = new_passphrase if new_passphrase is not None else passphrase
        else:
            plan.kept = list(header.entries)
        return plan
    if new_passphrase is not None:
        if not rotate:
            raise InvalidParameterError(
                "a file for recipients is given a passphrase only with rotate=True "
                "(a new file key replaces the one its recipients hold)")
        plan.passphrase = new_passphrase
        return plan

    remaining = list(header.entries)
    for n, (kem, pk) in enumerate(remove, 1):
        tag = recipient_tag(file_key, kem, pk)
        if (kem, pk) in add:
            raise InvalidParameterError(
                f"the {_ordinal(n)} key in remove is also in add")
        if not any(_matches(e, tag, kem) for e in remaining):
            raise InvalidParameterError(
                f"the {_ordinal(n)} key in remove ({ENTRY_NAMES[kem]}) is not a recipient "
                "of this file")
        # The same recipient may hold more than one entry: all of them go.
        remaining = [e for e in remaining if not _matches(e, tag, kem)]

    def present(kem: int, pk: bytes) -> bool:
        tag = recipient_tag(file_key, kem, pk)
        return any(_matches(e, tag, kem) for e in remaining)

    if not rotate:
        plan.kept = remaining
        plan.added = [(kem, pk) for kem, pk in add if not present(kem, pk)]
    else:
        # A fresh file key must be sealed again to everyone who stays: each
        # remaining entry must be named by a key in add or an identity.
        known = list(add) + [k for k in _identity_public_keys(identities) if k not in add]
        tags = [(kem, pk, recipient_tag(file_key, kem, pk)) for kem, pk in known]
        unknown_types = sorted({e.type for e in remaining if e.type not in _ENC_LEN})
        if unknown_types:
            raise InvalidParameterError(
                f"rotating cannot keep an entry of type 0x{unknown_types[0]:04x}, "
                "which this version does not know")
        unnamed = 0
        for e in remaining:
            match = next(((kem, pk) for kem, pk, tag in tags if _matches(e, tag, kem)), None)
            if match is None:
                unnamed += 1
            elif match not in plan.added:
                plan.added.append(match)
        if unnamed:
            raise InvalidParameterError(
                "rotating needs the public key of every recipient that stays; no key in "
                f"add or identities names {unnamed} of the {len(remaining)} entries")
        plan.added += [k for k in add if k not in plan.added]
    count = len(plan.kept) + len(plan.added)
    if count == 0:
        raise InvalidParameterError("the file would have no recipient left")
    if count > MAX_ENTRIES:
        raise InvalidParameterError(
            f"the file would have {count} entries; at most {MAX_ENTRIES} are allowed")
    return plan


class _PlaintextReader:
    """The plaintext chunks of an iterator, read like a binary file."""

    def __init__(self, chunks: Iterator[bytes]) -> None:
        self._chunks = chunks
        self._pending = b""

    def read(self, n: int = -1) -> bytes:
        while not self._pending:
            piece = next(self._chunks, None)
            if piece is None:
                return b""
            self._pending = piece
        take = self._pending if n < 0 else self._pending[:n]
        self._pending = self._pending[len(take):]
        return take


# Errors of copy_file_range that mean "not between these two files".
_NO_COPY_RANGE = frozenset({errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP,
                            errno.ENOTSUP, errno.EBADF, errno.EPERM})
# Errors of the output's side: named after the output.
_OUTPUT_ERRORS = frozenset({errno.ENOSPC, errno.EFBIG, errno.EDQUOT, errno.EROFS})
_COPY_BLOCK = 1 << 20


def _copy_range(src: IO[bytes], offset: int, length: int, out: object,
                src_name: Optional[str], dst_name: Optional[str]) -> None:
    """Copy ``length`` bytes of ``src`` from ``offset`` to the end of
    ``out``: in the kernel where both are files that allow it, else through
    a buffer. InputChangedError when the source ends early."""
    copied = 0
    fds: Optional[tuple[int, int]] = None
    if hasattr(os, "copy_file_range") and isinstance(out, OutputFile):
        try:
            fds = (src.fileno(), out.fileno())
        except (OSError, ValueError, AttributeError):
            fds = None
    while fds is not None and copied < length:
        try:
            n = os.copy_file_range(fds[0], fds[1], min(length - copied, 1 << 30),
                                   offset + copied)
        except InterruptedError:
            continue
        except OSError as e:
            if copied == 0 and e.errno in _NO_COPY_RANGE:
                break  # through a buffer instead
            name = dst_name if e.errno in _OUTPUT_ERRORS else src_name
            raise OSError(e.errno, e.strerror, name) from None
        if n == 0:
            raise InputChangedError(src_name)
        copied += n
    if copied == length:
        return
    src.seek(offset + copied)
    while copied < length:
        block = src.read(min(_COPY_BLOCK, length - copied))
        if not block:
            raise InputChangedError(src_name)
        write_all(out, block)
        copied += len(block)


def _copy_payload(src: IO[bytes], header: Header, start: int, file_key: bytes, out: object,
                  src_name: Optional[str], dst_name: Optional[str]) -> int:
    """Copy the payload unchanged after opening its final chunk; returns the
    plaintext length. The final chunk proves the payload's length; the
    others are copied as they are and checked by whoever reads them."""
    block = header.chunk_size + TAG_LEN
    if _seekable(src):
        payload_start = start + header.length
        end = src.seek(0, io.SEEK_END)
        count, size = _payload_layout(end - payload_start, header.chunk_size)
        src.seek(payload_start + (count - 1) * block)
        last = _read_exact(src, block)
        try:
            _tarnel_pq.file_open_chunk(file_key, header.nonce, count - 1, True, last)
        except DecryptionError:
            raise _chunk_error(count - 1) from None
        _copy_range(src, payload_start, end - payload_start, out, src_name, dst_name)
        if src.read(1):
            raise InputChangedError(src_name)
        return size
    # A pipe: chunks go out as they come; the final one is opened first.
    current = _read_exact(src, block)
    index = total = 0
    while True:
        following = _read_exact(src, block) if len(current) == block else b""
        if not following:
            break
        write_all(out, current)
        total += len(current) - TAG_LEN
        index += 1
        current = following
    if len(current) < TAG_LEN or (index > 0 and len(current) == TAG_LEN):
        raise FileFormatError(f"chunk {index} is too short")
    try:
        _tarnel_pq.file_open_chunk(file_key, header.nonce, index, True, current)
    except DecryptionError:
        raise _chunk_error(index) from None
    write_all(out, current)
    return total + len(current) - TAG_LEN


def _rekey_to(reader: IO[bytes], out: object, header: Header, start: int, file_key: bytes,
              plan: _Plan, rotate: bool, chunk_size: int, seed: Optional[bytes],
              src_name: Optional[str], dst_name: Optional[str]) -> FileInfo:
    """Write the re-keyed file to ``out``; returns its description."""
    seeds = _Seeds(seed)
    if rotate:
        plaintext = _PlaintextReader(_open_chunks(reader, file_key, header))
        encoded, size = _encrypt_with_header(
            cast(IO[bytes], plaintext), out, [pk for _, pk in plan.added], plan.passphrase,
            chunk_size, seed, SCRYPT_LOG2_N)
        return _info(parse_header(io.BytesIO(encoded)), size)
    entries = list(plan.kept)
    if plan.passphrase is not None:
        entries = [_passphrase_entry(file_key, plan.passphrase, seeds, SCRYPT_LOG2_N)]
    entries += [_kem_entry(kem, pk, file_key, seeds) for kem, pk in plan.added]
    encoded = _assemble_header(file_key, header.chunk_size, header.nonce, entries)
    new_header = Header(header.chunk_size, header.nonce, entries, encoded[-MAC_LEN:], encoded)
    write_all(out, encoded)
    size = _copy_payload(reader, header, start, file_key, out, src_name, dst_name)
    return _info(new_header, size)


# What flock() answers on file systems without locks: the work goes on unlocked.
_NO_LOCKS = frozenset({errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL})


def _same_file(path: str, f: IO[bytes]) -> bool:
    """Whether ``path`` still names the file open as ``f``."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return False
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    own = os.fstat(f.fileno())
    return (st.st_dev, st.st_ino) == (own.st_dev, own.st_ino)


def _open_for_rekey(path: str) -> IO[bytes]:
    """``path`` opened for reading, holding an exclusive lock (flock) that
    every in-place re-key of it takes, so that two of them run one after
    the other instead of one losing the other's change. Each replaces the
    file, so a waiter that wakes to find ``path`` naming a new file lets
    the old one go and takes the new one."""
    import fcntl

    while True:
        try:
            f = open(path, "rb")
        except OSError as e:
            raise OSError(e.errno, e.strerror, path) from None
        try:
            try:
                fcntl.flock(f.fileno(), fcntl.LOCK_EX)
            except OSError as e:
                if e.errno not in _NO_LOCKS:
                    raise OSError(e.errno, e.strerror, path) from None
            if _same_file(path, f):
                return f
        except BaseException:
            close_input(f)
            raise
        close_input(f)


def rekey(src: Union[PathLike, IO[bytes]], dst: Union[PathLike, IO[bytes], None] = None,
          identities: Iterable[Identity] = (), *,
          add: Iterable[Recipient] = (),
          remove: Iterable[Recipient] = (),
          rotate: bool = False,
          passphrase: Optional[Union[str, bytes]] = None,
          new_passphrase: Optional[Union[str, bytes]] = None,
          chunk_size: Optional[int] = None,
          overwrite: bool = False,
          _seed: Optional[bytes] = None,
          _track: Optional[Callable[[OutputFile], None]] = None) -> FileInfo:
    """Change who can open the file ``src``; returns a description of the result.

    ``identities`` (or ``passphrase``) open the file key, exactly as for
    :func:`decrypt`, and the header MAC is verified before anything is
    written. Then a new header is written with the same file key, payload
    nonce and chunk size: every entry is kept as it is, except those whose
    recipient tag names a public key in ``remove``; an entry is added for
    each key in ``add`` that is not a recipient already; the MAC is
    computed anew. The payload is copied byte for byte, after its final
    chunk has been opened (so a truncated file is refused); the other
    chunks are not decrypted.

    **A removed recipient is not shut out of the data.** Without
    ``rotate``, the payload and its file key do not change, so a removed
    recipient who kept the file key, or any copy of the old file, can still
    decrypt it. ``rotate=True`` decrypts the whole payload (so all of it is
    verified) and encrypts it again under a fresh file key and payload
    nonce, for everyone who stays and everyone added; only that stops a
    removed recipient from reading the new file. Rotating needs the public
    key of each remaining recipient: give them in ``add`` (a key that is a
    recipient already is not added twice) or hold their private keys in
    ``identities``. ``chunk_size`` sets a new chunk size when rotating.

    A passphrase file stays a passphrase file unless rotated:
    ``new_passphrase`` replaces its passphrase (keeping the file key, so
    the old passphrase still opens copies of the old file; rotate for a
    new key). Turning a passphrase file into one for recipients (``add``)
    or a file for recipients into a passphrase file (``new_passphrase``)
    is done only with ``rotate=True``: the new protection gets a new file
    key.

    ``dst=None`` re-keys ``src`` (a path) in place: the new file replaces
    the old one only once it is complete and synced to disk; after any
    failure the original is untouched and nothing new is left in its
    directory. A symbolic link ``src`` stays a link; its target is
    replaced. In-place re-keys of one file run one at a time (each holds an
    advisory lock, flock(2), on it, and waits for another's), so that none
    loses another's change; when the file is replaced by other means while
    it is being re-keyed, :class:`~tarnel.InputChangedError` is raised and
    the file that replaced it is kept. A ``dst`` path that exists (other than ``src`` itself) is
    refused with FileExistsError unless ``overwrite`` is true; a binary
    file ``dst`` receives the bytes as they are made, so after an error its
    contents must be discarded.

    Errors: :class:`tarnel.DecryptionError` when no identity opens the
    file, the MAC fails or a chunk does not open; :class:`FileFormatError`
    for a broken file; :class:`tarnel.InvalidParameterError` for a key in
    ``remove`` that is not a recipient, a result with no entry or more than
    64, or a change that needs ``rotate``; OSError (naming the path) for a
    failed read or write, and :class:`~tarnel.OutputNotDurableError`
    when the output is in place but its directory could not be synced.
    """
    if not isinstance(rotate, bool):
        raise TypeError("rotate must be a bool")
    if not isinstance(overwrite, bool):
        raise TypeError("overwrite must be a bool")
    ids = list(identities)
    for i in ids:
        _identity_kems(i)
    add_keys = _key_list(add, "add")
    remove_keys = _key_list(remove, "remove")
    if new_passphrase is not None:
        _passphrase_bytes(new_passphrase)
        if add_keys or remove_keys:
            raise InvalidParameterError(
                "new_passphrase cannot be combined with add or remove: a passphrase "
                "entry is the only entry of its file")
    if passphrase is not None:
        _passphrase_bytes(passphrase)
    if chunk_size is not None:
        if not rotate:
            raise InvalidParameterError("the chunk size changes only with rotate=True")
        _checked_chunk_size(chunk_size)

    in_place = dst is None
    dst_path: Optional[str] = None
    if in_place:
        if not isinstance(src, (str, os.PathLike)):
            raise TypeError("re-keying in place needs src to be a path")
        dst_path = os.fspath(src)
        try:
            regular = stat.S_ISREG(os.stat(dst_path).st_mode)
        except OSError as e:
            raise OSError(e.errno, e.strerror, dst_path) from None
        if not regular:
            raise InvalidParameterError(
                f"{dst_path} is not a regular file: it cannot be re-keyed in place")
    elif isinstance(dst, (str, os.PathLike)):
        dst_path = os.fspath(dst)
        same = False
        if isinstance(src, (str, os.PathLike)):
            try:
                same = os.path.samefile(src, dst_path)
            except OSError:
                same = False
        if not same and not overwrite and os.path.lexists(dst_path):
            st = os.stat(dst_path) if os.path.exists(dst_path) else None
            if st is None or stat.S_ISREG(st.st_mode):
                raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), dst_path)
        overwrite = overwrite or same
    elif dst is not None and not hasattr(dst, "write"):
        raise TypeError(f"dst must be a path or a binary file, not {type(dst).__name__}")

    src_name: Optional[str] = None
    if in_place:
        reader: IO[bytes] = _open_for_rekey(cast(str, dst_path))
        opened, src_name = True, dst_path
    elif isinstance(src, (str, os.PathLike)):
        reader = open(src, "rb")
        opened, src_name = True, os.fspath(src)
    elif hasattr(src, "read"):
        reader, opened = src, False
        name = getattr(src, "name", None)
        src_name = name if isinstance(name, str) else None
    else:
        raise TypeError(f"src must be a path or a binary file, not {type(src).__name__}")
    try:
        start = reader.tell() if _seekable(reader) else 0
        header = parse_header(reader)
        file_key = _file_key(header, ids, passphrase)
        try:
            plan = _plan(header, file_key, add_keys, remove_keys, ids, rotate, passphrase,
                         new_passphrase)
            size = chunk_size if chunk_size is not None else header.chunk_size
            if dst_path is None:
                return _rekey_to(reader, dst, header, start, file_key, plan, rotate, size,
                                 _seed, src_name, None)
            with OutputFile(dst_path, replace=in_place or overwrite) as out:
                if _track is not None:
                    # The command line's report of what a signal left in place.
                    _track(out)
                info = _rekey_to(reader, out, header, start, file_key, plan, rotate, size,
                                 _seed, src_name, dst_path)
                if in_place and not _same_file(dst_path, reader):
                    # Replaced by something that does not take the lock:
                    # its content is kept, and this change is not made.
                    raise InputChangedError(dst_path)
                out.commit()
            return info
        finally:
            wipe_bytes(file_key)
    finally:
        if opened:
            close_input(reader)
