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

Errors: :class:`FileFormatError` for a file that breaks the format (the
message says which rule), :class:`tarnel.DecryptionError` when no identity
opens the file, the header MAC fails or a chunk does not open, and
:class:`tarnel.InvalidParameterError` for unusable arguments.
"""

from __future__ import annotations

import hashlib
import hmac
import io
import os
import struct
from typing import IO, Iterable, Iterator, Optional, Sequence, Union

from tarnel import _tarnel_pq
from tarnel._files import OutputFile, write_all
from tarnel._tarnel_core import DecryptionError, InvalidParameterError, TarnelError
from tarnel._wipe import wipe_bytes
from tarnel.hpke import AEAD, KDF, KEM, PrivateKey, PublicKey

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

TYPE_PASSPHRASE = 0xFF01
# Entry types of the KEMs are their HPKE KEM identifiers; body = enc || ct.
_ENC_LEN = {int(KEM.X_WING): 1120, int(KEM.ML_KEM_768): 1088, int(KEM.ML_KEM_1024): 1568}
_PUBLIC_LEN = {1216: int(KEM.X_WING), 1184: int(KEM.ML_KEM_768), 1568: int(KEM.ML_KEM_1024)}
WRAPPED_LEN = FILE_KEY_LEN + TAG_LEN  # 48
SALT_LEN = 16
PASSPHRASE_BODY_LEN = 3 + SALT_LEN + WRAPPED_LEN  # log2 N, r, p, salt, wrapped key: 67
ENTRY_LENGTHS = {t: n + WRAPPED_LEN for t, n in _ENC_LEN.items()}
ENTRY_LENGTHS[TYPE_PASSPHRASE] = PASSPHRASE_BODY_LEN

# scrypt (RFC 7914): the writer's default and the bounds a reader accepts.
SCRYPT_LOG2_N = 17
SCRYPT_R = 8
SCRYPT_P = 1
SCRYPT_MIN_LOG2_N = 17
SCRYPT_MAX_LOG2_N = 22
SCRYPT_MAX_R = 32
SCRYPT_MAX_P = 16
SCRYPT_MAX_MEMORY = 1 << 30  # 128 * r * N bytes at most

# The HKDF infos of the header MAC key and the payload key (applied in the core).
HEADER_INFO = b"tarnel file v1 header"
PAYLOAD_INFO = b"tarnel file v1 payload"

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


def _open_entry(entry: Entry, kem: int, key: Union[bytes, PrivateKey],
                expanded: bool) -> Optional[bytes]:
    """The plaintext of one KEM entry under one key, or None when it does not open."""
    n_enc = _ENC_LEN[kem]
    try:
        if expanded:
            assert isinstance(key, bytes)
            return _tarnel_pq.file_open_mlkem_entry(kem, key, entry.body, entry_label(kem))
        ctx = _tarnel_pq.hpke_setup_recipient(
            kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM, key, entry.body[:n_enc], entry_label(kem))
        return ctx.open(entry.body[n_enc:], b"")
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


def _build_header(file_key: bytes, recipients: Sequence[object],
                  passphrase: Optional[Union[str, bytes]], chunk_size: int,
                  seeds: _Seeds, scrypt_log2_n: int) -> tuple[bytes, bytes]:
    """The encoded header (MAC included) and the payload nonce."""
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError("chunk_size must be an int")
    try:
        _check_chunk_size(chunk_size)
    except FileFormatError as e:
        raise InvalidParameterError(str(e)) from None
    entries: list[Entry] = []
    if passphrase is not None:
        if recipients:
            raise InvalidParameterError("a passphrase cannot be combined with recipients")
        if not SCRYPT_MIN_LOG2_N <= scrypt_log2_n <= SCRYPT_MAX_LOG2_N:
            raise InvalidParameterError("scrypt log2 N must be from 17 to 22")
        salt = seeds.take(SALT_LEN)
        kek = _scrypt(_passphrase_bytes(passphrase), salt, scrypt_log2_n, SCRYPT_R, SCRYPT_P)
        try:
            wrapped = _tarnel_pq.file_wrap_key(kek, entry_label(TYPE_PASSPHRASE), file_key)
        finally:
            wipe_bytes(kek)
        body = bytes([scrypt_log2_n, SCRYPT_R, SCRYPT_P]) + salt + wrapped
        entries.append(Entry(TYPE_PASSPHRASE, body))
    else:
        if not recipients:
            raise InvalidParameterError("at least one recipient or a passphrase is needed")
        if len(recipients) > MAX_ENTRIES:
            raise InvalidParameterError(f"at most {MAX_ENTRIES} recipients")
        for r in recipients:
            kem, key = _recipient_kem(r)
            label = entry_label(kem)
            # Only for fixed seeds: the encapsulation's randomness, of its exact size.
            ikm_e = seeds.take(64 if kem == KEM.X_WING else 32) if seeds.fixed else None
            enc, ctx = _tarnel_pq.hpke_setup_sender(
                kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM, key, label, ikm_e)
            entries.append(Entry(kem, enc + ctx.seal(file_key, b"")))
    nonce = seeds.take(NONCE_LEN)
    body = (MAGIC + bytes([VERSION]) + struct.pack(">I", chunk_size) + nonce
            + struct.pack(">H", len(entries)) + b"".join(e.encode() for e in entries))
    header = body + _tarnel_pq.file_header_mac(file_key, body)
    # What is written is held to the reader's rules.
    parsed = _tarnel_pq.file_parse_header(header)
    if parsed[0] != 0 or parsed[1] != len(header):
        raise InvalidParameterError(_fault_message(parsed) if parsed[0] > 1 else "bad header")
    return header, nonce


def _chunks(src: IO[bytes], chunk_size: int) -> Iterator[tuple[bytes, bool]]:
    """The plaintext in chunks with the last-chunk flag; one empty chunk for no data."""
    current = _read_exact(src, chunk_size)
    while True:
        following = _read_exact(src, chunk_size) if len(current) == chunk_size else b""
        if not following:
            yield current, True
            return
        yield current, False
        current = following


def _encrypt_to(src: IO[bytes], out: object, recipients: Sequence[object],
                passphrase: Optional[Union[str, bytes]], chunk_size: int,
                seed: Optional[bytes], scrypt_log2_n: int) -> int:
    """Writes the whole file to ``out``; returns the number of plaintext bytes."""
    seeds = _Seeds(seed)
    file_key = seeds.take(FILE_KEY_LEN)
    try:
        header, nonce = _build_header(file_key, recipients, passphrase, chunk_size, seeds,
                                      scrypt_log2_n)
        write_all(out, header)
        total = 0
        for index, (chunk, last) in enumerate(_chunks(src, chunk_size)):
            write_all(out, _tarnel_pq.file_seal_chunk(file_key, nonce, index, last, chunk))
            total += len(chunk)
        return total
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
            src.close()


def encrypt_file(src: object, dst: Union[PathLike, IO[bytes]],
                 recipients: Iterable[Recipient] = (), *,
                 passphrase: Optional[Union[str, bytes]] = None,
                 chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
    """Encrypt ``src`` (a path or binary file) into ``dst`` (a path, written
    atomically, or a binary file); returns the number of plaintext bytes."""
    reader, opened = _as_reader(src)
    try:
        if isinstance(dst, (str, os.PathLike)):
            with OutputFile(dst) as out:
                total = _encrypt_to(reader, out, list(recipients), passphrase, chunk_size, None,
                                    SCRYPT_LOG2_N)
                out.commit()
            return total
        return _encrypt_to(reader, dst, list(recipients), passphrase, chunk_size, None,
                           SCRYPT_LOG2_N)
    finally:
        if opened:
            reader.close()


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
    keys = [k for i in identities for k in _identity_kems(i)]
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


def _open_chunks(src: IO[bytes], file_key: bytes, header: Header) -> Iterator[bytes]:
    block = header.chunk_size + TAG_LEN
    current = _read_exact(src, block)
    index = 0
    while True:
        following = _read_exact(src, block) if len(current) == block else b""
        last = not following
        if len(current) < TAG_LEN or (last and index > 0 and len(current) == TAG_LEN):
            raise FileFormatError(f"chunk {index} is too short")
        try:
            yield _tarnel_pq.file_open_chunk(file_key, header.nonce, index, last, current)
        except DecryptionError:
            raise _chunk_error(index) from None
        if last:
            return
        index += 1
        current = following


def decrypt(data: object, identities: Iterable[Identity] = (), *,
            passphrase: Optional[Union[str, bytes]] = None) -> bytes:
    """The plaintext of a whole file given as bytes, a path or a binary file."""
    src, opened = _as_reader(data)
    try:
        return b"".join(_decrypt_stream(src, list(identities), passphrase))
    finally:
        if opened:
            src.close()


def decrypt_file(src: object, dst: Union[PathLike, IO[bytes]],
                 identities: Iterable[Identity] = (), *,
                 passphrase: Optional[Union[str, bytes]] = None) -> int:
    """Decrypt ``src`` (a path or binary file) into ``dst``; returns the
    number of plaintext bytes.

    A path is written atomically and only when every chunk has verified; a
    file object receives each chunk as it verifies, so on an exception its
    contents must be discarded.
    """
    reader, opened = _as_reader(src)
    try:
        ids = list(identities)
        total = 0
        if isinstance(dst, (str, os.PathLike)):
            with OutputFile(dst, secret=True) as out:
                for chunk in _decrypt_stream(reader, ids, passphrase):
                    write_all(out, chunk)
                    total += len(chunk)
                out.commit()
        else:
            for chunk in _decrypt_stream(reader, ids, passphrase):
                write_all(dst, chunk)
                total += len(chunk)
        return total
    finally:
        if opened:
            reader.close()


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
            payload = end - self._start
            block = self._chunk + TAG_LEN
            if payload < TAG_LEN:
                raise FileFormatError("chunk 0 is too short")
            self._count = (payload + block - 1) // block
            last_len = payload - (self._count - 1) * block
            if last_len < TAG_LEN or (self._count > 1 and last_len == TAG_LEN):
                raise FileFormatError(f"chunk {self._count - 1} is too short")
            self._size = payload - self._count * TAG_LEN
            self._load(self._count - 1)
        except BaseException:
            wipe_bytes(self._key)
            if owned:
                f.close()
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
                self._f.close()
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
