"""The native engine: ML-KEM (FIPS 203) key encapsulation, hybrid ML-KEM +
AES-256-GCM encryption of messages and streams, and key serialization.

Every function takes and returns :class:`bytes`; a ``level`` argument names
the ML-KEM parameter set and defaults to :attr:`SecurityLevel.ML_KEM_768`.
Every failure raises a :class:`TarnelError` subclass (or :class:`TypeError`
/ :class:`ValueError` for arguments of the wrong type or length).
"""

from typing import Final, final

__all__ = [
    "TarnelError",
    "DecapsulationError",
    "DecryptionError",
    "InvalidParameterError",
    "RngError",
    "KeySerializationError",
    "SecurityLevel",
    "KeyPair",
    "generate_keypair",
    "encapsulate",
    "decapsulate",
    "serialize_public_key",
    "deserialize_public_key",
    "generate_keypair_deterministic",
    "encapsulate_deterministic",
    "encrypt_hybrid",
    "decrypt_hybrid",
    "load_public_key_pem",
    "load_public_key_json",
    "load_secret_key_raw",
    "load_secret_key_pem",
    "StreamEncryptorHandle",
    "StreamDecryptorHandle",
    "stream_encryptor_new",
    "stream_decryptor_from_header",
]

class TarnelError(Exception):
    """Base class of every error raised by tarnel."""

class DecapsulationError(TarnelError):
    """A structural ML-KEM decapsulation failure.

    A well-formed but wrong capsule never raises this: decapsulation then
    returns the implicit-rejection key instead.
    """

class DecryptionError(TarnelError):
    """Authentication failed: the data was altered, or the key or password is wrong.

    Raised when an AES-256-GCM tag does not verify, in a hybrid package, a
    stream frame or a password-wrapped secret key. No plaintext is released.
    """

class InvalidParameterError(TarnelError):
    """An argument is unusable: wrong key, capsule or package size, a chunk size
    out of range, or a handle used after it was finalized."""

class RngError(TarnelError):
    """The operating system's random number generator is unavailable."""

class KeySerializationError(TarnelError):
    """A serialized key is malformed: bad PEM armour or Base64, invalid JSON,
    unknown magic or version, or a truncated blob."""

@final
class SecurityLevel:
    """An ML-KEM parameter set (FIPS 203).

    ``int(level)`` gives 512, 768 or 1024. A level compares equal to itself
    and to its number (``SecurityLevel.ML_KEM_512 == 512``); levels are not
    hashable.
    """

    ML_KEM_512: Final[SecurityLevel]
    """ML-KEM-512: NIST security category 1 (800-byte public key, 768-byte capsule)."""
    ML_KEM_768: Final[SecurityLevel]
    """ML-KEM-768: NIST security category 3 (1184-byte public key, 1088-byte capsule);
    the default."""
    ML_KEM_1024: Final[SecurityLevel]
    """ML-KEM-1024: NIST security category 5 (1568-byte public key, 1568-byte capsule)."""
    def __int__(self) -> int:
        """The level's number: 512, 768 or 1024."""
    def __eq__(self, value: object, /) -> bool:
        """True when ``value`` is this level or its number."""
    def __ne__(self, value: object, /) -> bool:
        """True when ``value`` is neither this level nor its number."""
    __hash__: None  # type: ignore[assignment]

@final
class KeyPair:
    """An ML-KEM key pair: the public (encapsulation) key and the secret
    (decapsulation) key, with their level.

    Made by :func:`generate_keypair` or :func:`generate_keypair_deterministic`.
    Its repr shows the level and a fingerprint of the public key, never the
    secret key, and the secret key is wiped when the pair is freed.
    """

    @property
    def public_key(self) -> bytes:
        """The public key: 800, 1184 or 1568 bytes for ML-KEM-512, -768, -1024."""
    @property
    def secret_key(self) -> bytes:
        """A copy of the secret key: 1632, 2400 or 3168 bytes. Keep it secret."""
    @property
    def level(self) -> SecurityLevel:
        """The level the pair was generated for."""
    def public_key_b64(self) -> str:
        """The public key as URL-safe Base64 without padding.

        Returns:
            The text form read back by :func:`deserialize_public_key`.
        """
    def public_key_pem(self) -> str:
        """The public key in a PEM-like armour.

        The block is ``-----BEGIN ML-KEM PUBLIC KEY-----``, standard Base64 in
        64-character lines, ``-----END ML-KEM PUBLIC KEY-----``. It is not
        DER/ASN.1 and does not name the level.

        Returns:
            The armoured text, read back by :func:`load_public_key_pem`.
        """
    def public_key_json(self) -> str:
        """The public key as a JSON document that names its level.

        The object holds ``algorithm`` (``"ML-KEM"``), ``level``
        (``"ML_KEM_512"``, ``"ML_KEM_768"`` or ``"ML_KEM_1024"``) and
        ``public_key`` (URL-safe Base64 without padding).

        Returns:
            The JSON text, read back by :func:`load_public_key_json`.
        """
    def export_secret_key_raw(self, password: bytes) -> bytes:
        """The secret key encrypted under a password, as an opaque binary blob.

        The blob records the level; its key is derived from ``password`` with
        HKDF-SHA3-256 and a fresh random salt, and it is sealed with
        AES-256-GCM. HKDF is not a password hash: use a long random password.
        Releases the GIL while it works.

        Args:
            password: The password that :func:`load_secret_key_raw` will need.

        Returns:
            The blob, ready to be stored.

        Raises:
            RngError: The system's random number generator is unavailable.
            InvalidParameterError: The pair's secret key has the wrong size.
        """
    def export_secret_key_pem(self, password: bytes) -> str:
        """The password-encrypted secret key in a PEM-like armour.

        The blob of :meth:`export_secret_key_raw` in standard Base64 between
        ``-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----`` and
        ``-----END ENCRYPTED ML-KEM PRIVATE KEY-----``.

        Args:
            password: The password that :func:`load_secret_key_pem` will need.

        Returns:
            The armoured text.

        Raises:
            RngError: The system's random number generator is unavailable.
        """

def generate_keypair(level: SecurityLevel = ...) -> KeyPair:
    """Generates a fresh ML-KEM key pair from the system's random number generator.

    Args:
        level: The parameter set (default :attr:`SecurityLevel.ML_KEM_768`).

    Returns:
        The new key pair.

    Raises:
        RngError: The system's random number generator is unavailable.
        TypeError: ``level`` is not a :class:`SecurityLevel`.
    """

def encapsulate(public_key: bytes, level: SecurityLevel = ...) -> tuple[bytes, bytes]:
    """Makes a fresh shared secret and the capsule that carries it to the key's owner.

    Args:
        public_key: The recipient's public key.
        level: The key's parameter set (default ML-KEM-768).

    Returns:
        ``(capsule, shared_secret)``: the capsule to send, and the 32-byte secret.

    Raises:
        InvalidParameterError: The public key's size does not match ``level``.
        RngError: The system's random number generator is unavailable.
    """

def decapsulate(capsule: bytes, secret_key: bytes, level: SecurityLevel = ...) -> bytes:
    """Recovers the shared secret from a capsule with the secret key.

    A capsule of the right size that was altered or made for another key
    does not raise: it yields an unrelated pseudo-random secret (implicit
    rejection, FIPS 203), so the failure shows only when that secret is used.

    Args:
        capsule: The capsule received.
        secret_key: The recipient's own secret key.
        level: The parameter set (default ML-KEM-768).

    Returns:
        The 32-byte shared secret.

    Raises:
        InvalidParameterError: The capsule or key size does not match ``level``.
    """

def serialize_public_key(public_key: bytes) -> str:
    """Writes a public key as URL-safe Base64 without padding.

    Args:
        public_key: The public key's bytes (any length is encoded as given).

    Returns:
        The Base64 text.
    """

def deserialize_public_key(b64: str, level: SecurityLevel = ...) -> bytes:
    """Reads a public key from URL-safe Base64 (without padding).

    Args:
        b64: The Base64 text, as written by :func:`serialize_public_key`.
        level: The level the key must have (default ML-KEM-768).

    Returns:
        The public key's bytes.

    Raises:
        TarnelError: The text is not valid URL-safe Base64.
        InvalidParameterError: The decoded size does not match ``level``.
    """

def generate_keypair_deterministic(d: bytes, z: bytes, level: SecurityLevel = ...) -> KeyPair:
    """Derives a key pair from given seeds, for known-answer tests only.

    The same seeds always give the same pair; never use it for real keys.

    Args:
        d: The 32-byte seed of the key-generation randomness (FIPS 203 ``d``).
        z: The 32-byte implicit-rejection seed (FIPS 203 ``z``).
        level: The parameter set (default ML-KEM-768).

    Returns:
        The key pair.

    Raises:
        ValueError: A seed is not exactly 32 bytes.
    """

def encapsulate_deterministic(
    public_key: bytes, m: bytes, level: SecurityLevel = ...
) -> tuple[bytes, bytes, bytes]:
    """Encapsulates with a given message instead of fresh randomness, for
    known-answer tests only.

    Args:
        public_key: The recipient's public key.
        m: The 32-byte message (FIPS 203 ``m``).
        level: The key's parameter set (default ML-KEM-768).

    Returns:
        ``(capsule, shared_secret, m)``.

    Raises:
        ValueError: ``m`` is not exactly 32 bytes.
        InvalidParameterError: The public key's size does not match ``level``.
    """

def encrypt_hybrid(
    recipient_public_key: bytes, plaintext: bytes, level: SecurityLevel = ...
) -> bytes:
    """Encrypts a message to a public key: ML-KEM keys AES-256-GCM.

    Args:
        recipient_public_key: The recipient's public key.
        plaintext: The message (held in memory whole; use the stream
            functions for large data).
        level: The key's parameter set (default ML-KEM-768).

    Returns:
        The Transit Package: capsule, 12-byte nonce, 16-byte tag, then the
        ciphertext, as one byte string.

    Raises:
        InvalidParameterError: The public key's size does not match ``level``.
        RngError: The system's random number generator is unavailable.
    """

def decrypt_hybrid(
    encrypted_package: bytes, secret_key: bytes, level: SecurityLevel = ...
) -> bytes:
    """Decrypts a Transit Package made by :func:`encrypt_hybrid`.

    Args:
        encrypted_package: The whole package.
        secret_key: The recipient's secret key.
        level: The parameter set (default ML-KEM-768).

    Returns:
        The original message.

    Raises:
        DecryptionError: The package was altered, or is for another key.
        InvalidParameterError: The package is too short, or the key size does
            not match ``level``.
    """

def load_public_key_pem(pem: str, level: SecurityLevel = ...) -> bytes:
    """Reads a public key from the armour of :meth:`KeyPair.public_key_pem`.

    Args:
        pem: The armoured text.
        level: The level the key must have (default ML-KEM-768); the armour
            does not record it.

    Returns:
        The public key's bytes.

    Raises:
        KeySerializationError: The armour or its Base64 is malformed.
        InvalidParameterError: The key's size does not match ``level``.
    """

def load_public_key_json(json: str) -> tuple[bytes, SecurityLevel]:
    """Reads a public key and its level from the JSON of :meth:`KeyPair.public_key_json`.

    Args:
        json: The JSON text.

    Returns:
        ``(public_key, level)``.

    Raises:
        KeySerializationError: The JSON is invalid, or a field is missing or wrong.
        InvalidParameterError: The key's size does not match the level it names.
    """

def load_secret_key_raw(blob: bytes, password: bytes) -> tuple[bytes, SecurityLevel]:
    """Decrypts a secret key from the blob of :meth:`KeyPair.export_secret_key_raw`.

    Args:
        blob: The stored blob.
        password: The password it was exported with.

    Returns:
        ``(secret_key, level)``.

    Raises:
        DecryptionError: The password is wrong or the blob was altered.
        KeySerializationError: The blob is truncated or has an unknown magic
            or version.
    """

def load_secret_key_pem(pem: str, password: bytes) -> tuple[bytes, SecurityLevel]:
    """Decrypts a secret key from the armour of :meth:`KeyPair.export_secret_key_pem`.

    Args:
        pem: The armoured text.
        password: The password it was exported with.

    Returns:
        ``(secret_key, level)``.

    Raises:
        DecryptionError: The password is wrong or the blob was altered.
        KeySerializationError: The armour, its Base64 or the blob is malformed.
    """

@final
class StreamEncryptorHandle:
    """The sending side of an encrypted stream, made by :func:`stream_encryptor_new`.

    Each call seals one chunk into a frame bound to its position; the stream
    ends with the end marker from :meth:`finalize`. After that, the handle
    refuses every call. Not for concurrent use from several threads.
    """

    def encrypt_chunk(self, plaintext: bytes) -> bytes:
        """Seals the next chunk.

        Releases the GIL during AES-GCM.

        Args:
            plaintext: At most :meth:`chunk_size` bytes.

        Returns:
            The frame: 4-byte big-endian length, ciphertext, 16-byte tag.

        Raises:
            InvalidParameterError: The chunk is too large, or the handle is
                finalized.
        """
    def finalize(self) -> bytes:
        """Ends the stream.

        Returns:
            The end marker: a frame of length 0 with its tag.

        Raises:
            InvalidParameterError: The handle is already finalized.
        """
    def chunk_index(self) -> int:
        """The number of chunks sealed so far."""
    def chunk_size(self) -> int:
        """The largest chunk the stream takes, in bytes."""
    def base_nonce(self) -> bytes:
        """The stream's 12-byte random base nonce (also in the header)."""

@final
class StreamDecryptorHandle:
    """The receiving side of an encrypted stream, made by
    :func:`stream_decryptor_from_header`.

    Feed it the frames in order, then the end marker to
    :meth:`process_eof`. A stream is complete only when :meth:`eof_seen` is
    true: check it before :meth:`finalize`, or a truncated stream goes
    unnoticed. Not for concurrent use from several threads.
    """

    def decrypt_chunk(self, ciphertext: bytes, tag: bytes) -> bytes:
        """Opens the next frame.

        Releases the GIL during AES-GCM.

        Args:
            ciphertext: The frame's ciphertext (at most :meth:`chunk_size` bytes).
            tag: The frame's 16-byte tag.

        Returns:
            The chunk's plaintext.

        Raises:
            DecryptionError: The frame was altered, reordered or is from
                another stream.
            InvalidParameterError: The ciphertext is too large, or the handle
                is finalized.
        """
    def process_eof(self, tag: bytes) -> None:
        """Checks the end marker (the tag of the frame of length 0).

        Args:
            tag: The end marker's 16-byte tag.

        Raises:
            DecryptionError: The end marker does not verify.
            InvalidParameterError: The handle is finalized.
        """
    def finalize(self) -> None:
        """Closes the handle; it refuses every call afterwards.

        Raises:
            InvalidParameterError: The handle is already finalized.
        """
    def chunk_index(self) -> int:
        """The number of chunks opened so far."""
    def chunk_size(self) -> int:
        """The largest chunk ciphertext the stream holds, in bytes (from the header)."""
    def eof_seen(self) -> bool:
        """True once the end marker has verified: the stream is complete."""

def stream_encryptor_new(
    recipient_public_key: bytes, chunk_size: int, level: SecurityLevel = ...
) -> tuple[bytes, StreamEncryptorHandle]:
    """Starts an encrypted stream to a public key.

    Args:
        recipient_public_key: The recipient's public key.
        chunk_size: The largest chunk, in bytes (1 byte to 16 MiB).
        level: The key's parameter set (default ML-KEM-768).

    Returns:
        ``(header, encryptor)``: the header goes first in the stream (capsule,
        base nonce, chunk size); the encryptor seals the chunks.

    Raises:
        InvalidParameterError: The key's size does not match ``level``, or
            ``chunk_size`` is out of range.
        RngError: The system's random number generator is unavailable.
    """

def stream_decryptor_from_header(
    header_bytes: bytes, secret_key: bytes, level: SecurityLevel
) -> StreamDecryptorHandle:
    """Opens an encrypted stream from its header.

    Args:
        header_bytes: The stream's header, exactly as
            :func:`stream_encryptor_new` returned it.
        secret_key: The recipient's secret key.
        level: The parameter set (required: the header does not record it).

    Returns:
        The decryptor for the stream's frames.

    Raises:
        InvalidParameterError: The header is malformed or the wrong size, or
            the key size does not match ``level``.
    """
