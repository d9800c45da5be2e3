"""Post-quantum key objects and constructions, in native code: ML-KEM (FIPS
203) keys checked and expanded once, for many encapsulations or
decapsulations with the same key; hybrid post-quantum KEMs (X-Wing) and HPKE
(RFC 9180).

The objects never change after they are made and may be shared by many
threads; the interpreter lock is released while they compute. Failures
raise the exception classes of :mod:`tarnel._tarnel_core`.
"""

from typing import Any, Optional, Union, final

from tarnel._tarnel_core import SecurityLevel

__all__ = [
    "EncapsulationKey",
    "DecapsulationKey",
    "XWingPublicKey",
    "XWingPrivateKey",
    "xwing_wrap_seed",
    "xwing_unwrap_seed",
    "wrap_secret_key_pem",
    "xwing_generate_keypair",
    "xwing_encapsulate",
    "xwing_decapsulate",
    "HpkePublicKey",
    "HpkePrivateKey",
    "HpkeContext",
    "hpke_generate_key_pair",
    "hpke_derive_key_pair",
    "hpke_load_public_key",
    "hpke_load_private_key",
    "hpke_setup_sender",
    "hpke_setup_recipient",
    "file_header_mac",
    "file_seal_chunk",
    "file_open_chunk",
    "file_open_chunks",
    "file_seal_chunks",
    "file_wrap_key",
    "file_unwrap_key",
    "file_open_mlkem_entry",
    "file_parse_header",
    "file_recipient_tag",
    "file_entry_length",
]

@final
class EncapsulationKey:
    """An ML-KEM encapsulation key, checked and expanded once.

    The modulus check of FIPS 203, Section 7.2 runs when the object is made;
    the matrix A, t and H(ek) are kept, so every :meth:`encapsulate` starts
    from them. Results equal those of :func:`tarnel.encapsulate` on the same
    key and randomness.

    Args:
        public_key: The encapsulation key: 800, 1184 or 1568 bytes.
        level: Its parameter set; ``None`` takes the one whose keys have
            ``public_key``'s length.

    Raises:
        InvalidParameterError: ``public_key`` has the wrong length (``"encryption
            key has incorrect size"``) or a coefficient not reduced modulo q.
        TypeError: ``public_key`` is not :class:`bytes` or ``level`` is not a
            :class:`SecurityLevel` or ``None``.
    """

    def __new__(cls, public_key: bytes, level: Optional[SecurityLevel] = None) -> "EncapsulationKey":
        """Check and expand ``public_key``."""
    @property
    def public_key(self) -> bytes:
        """The encapsulation key as given."""
    @property
    def level(self) -> SecurityLevel:
        """The key's parameter set."""
    def encapsulate(self) -> tuple[bytes, bytes]:
        """ML-KEM.Encaps (FIPS 203, Algorithm 20) with fresh randomness.

        Returns:
            ``(ciphertext, shared_secret)``, as :func:`tarnel.encapsulate`.

        Raises:
            RngError: The operating system's random source failed.
        """
    def encapsulate_deterministic(self, m: bytes) -> tuple[bytes, bytes, bytes]:
        """ML-KEM.Encaps_internal (FIPS 203, Algorithm 17) with the given ``m``,
        for known-answer tests only.

        Returns:
            ``(ciphertext, shared_secret, m)``, as
            :func:`tarnel.encapsulate_deterministic`.

        Raises:
            ValueError: ``m`` is not 32 bytes.
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickled as ``EncapsulationKey(public_key)``: the length gives the level."""
    def __copy__(self) -> "EncapsulationKey":
        """The object itself: it never changes."""
    def __deepcopy__(self, memo: Any, /) -> "EncapsulationKey":
        """The object itself: it never changes."""

@final
class DecapsulationKey:
    """An ML-KEM decapsulation key, checked and expanded once.

    The checks of FIPS 203, Section 7.3 (the length and the stored hash of
    the encapsulation key) and the modulus check of the encapsulation key
    inside run when the object is made; the decoded secret vector, z and the
    expanded encapsulation key are kept, the secret parts in memory that is
    wiped when the object is freed. Results equal those of
    :func:`tarnel.decapsulate` on the same key, implicit rejection included.
    The object is never pickled.

    Args:
        secret_key: The decapsulation key: 1632, 2400 or 3168 bytes.
        level: Its parameter set; ``None`` takes the one whose keys have
            ``secret_key``'s length.

    Raises:
        InvalidParameterError: ``secret_key`` has the wrong length
            (``"decapsulation key has incorrect size"``), fails the hash
            check, or holds an encapsulation key that fails the modulus check.
        TypeError: ``secret_key`` is not :class:`bytes` or ``level`` is not a
            :class:`SecurityLevel` or ``None``.
    """

    def __new__(cls, secret_key: bytes, level: Optional[SecurityLevel] = None) -> "DecapsulationKey":
        """Check and expand ``secret_key``."""
    @property
    def public_key(self) -> bytes:
        """The encapsulation key held inside the decapsulation key."""
    @property
    def encapsulation_key(self) -> EncapsulationKey:
        """The encapsulation key inside, sharing this object's expansion."""
    @property
    def level(self) -> SecurityLevel:
        """The key's parameter set."""
    def decapsulate(self, ciphertext: bytes) -> bytes:
        """ML-KEM.Decaps (FIPS 203, Algorithm 21): the 32-byte shared secret.

        A ciphertext of the right length never fails: a damaged one yields the
        implicit-rejection key.

        Raises:
            InvalidParameterError: ``ciphertext`` has the wrong length
                (``"capsule has incorrect size"``).
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Refused with :class:`TypeError`: pickling would write the secret key out."""
    def __copy__(self) -> "DecapsulationKey":
        """The object itself: it never changes."""
    def __deepcopy__(self, memo: Any, /) -> "DecapsulationKey":
        """The object itself: it never changes."""

@final
class XWingPublicKey:
    """An X-Wing public key, checked and expanded once (``tarnel.xwing.PublicKey``).

    The length and the modulus check of FIPS 203, Section 7.2 on the
    ML-KEM-768 part run when the object is made; the expanded ML-KEM key and
    the X25519 point are kept. Results equal those of
    :func:`tarnel.xwing.encapsulate` on the same key and randomness.

    Args:
        public_key: The 1216-byte public key.

    Raises:
        InvalidParameterError: ``public_key`` is not 1216 bytes or its ML-KEM
            part fails the modulus check.
        TypeError: ``public_key`` is not :class:`bytes`.
    """

    def __new__(cls, public_key: bytes) -> "XWingPublicKey":
        """Check and expand ``public_key``."""
    @property
    def public_key(self) -> bytes:
        """The 1216-byte public key."""
    def encapsulate(self, eseed: Optional[bytes] = None) -> tuple[bytes, bytes]:
        """X-Wing's Encapsulate: ``(ciphertext, shared_secret)``.

        ``eseed`` (64 bytes) makes it deterministic, for known-answer tests only.

        Raises:
            InvalidParameterError: ``eseed`` is not 64 bytes.
            RngError: The operating system's random source failed.
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickled as ``PublicKey(public_key)``."""
    def __copy__(self) -> "XWingPublicKey":
        """The object itself: it never changes."""
    def __deepcopy__(self, memo: Any, /) -> "XWingPublicKey":
        """The object itself: it never changes."""

@final
class XWingPrivateKey:
    """An X-Wing private key, expanded once (``tarnel.xwing.PrivateKey``).

    The 32-byte seed is expanded when the object is made into the ML-KEM-768
    decapsulation key, the X25519 scalar and the public key, the secret parts
    in memory that is wiped when the object is freed. Results equal those of
    :func:`tarnel.xwing.decapsulate` on the same key. Never pickled.

    Args:
        private_key: The 32-byte seed.

    Raises:
        InvalidParameterError: ``private_key`` is not 32 bytes.
        TypeError: ``private_key`` is not :class:`bytes`.
    """

    def __new__(cls, private_key: bytes) -> "XWingPrivateKey":
        """Expand ``private_key``."""
    @property
    def public_key(self) -> bytes:
        """The 1216-byte public key."""
    @property
    def encapsulation_key(self) -> XWingPublicKey:
        """The public key as an object that shares this key's expansion."""
    def decapsulate(self, ciphertext: bytes) -> bytes:
        """X-Wing's Decapsulate: the 32-byte shared secret.

        Raises:
            InvalidParameterError: ``ciphertext`` is not 1120 bytes.
            DecapsulationError: Its X25519 part is of small order.
        """
    def private_bytes(self) -> bytes:
        """The 32-byte seed: the private key itself."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Refused with :class:`TypeError`: pickling would write the seed out."""
    def __copy__(self) -> "XWingPrivateKey":
        """The object itself: it never changes."""
    def __deepcopy__(self, memo: Any, /) -> "XWingPrivateKey":
        """The object itself: it never changes."""

def xwing_wrap_seed(seed: bytes, password: bytes) -> bytes:
    """The 82-byte wrapped form of a 32-byte X-Wing seed under ``password``."""

def xwing_unwrap_seed(blob: bytes, password: bytes) -> bytes:
    """The seed of a wrapped X-Wing key; :class:`DecryptionError` for a wrong password."""

def wrap_secret_key_pem(secret_key: bytes, password: bytes, level: SecurityLevel) -> str:
    """The secret key encrypted under a password, in the block that
    :meth:`KeyPair.export_secret_key_pem` writes (HKDF-SHA3-256 of the
    password with a fresh salt, AES-256-GCM), for a key held without its pair.

    Raises:
        InvalidParameterError: ``secret_key`` does not have ``level``'s size.
        RngError: The system's random number generator is unavailable.
    """

def xwing_generate_keypair(seed: Optional[bytes] = None) -> tuple[bytes, bytes]:
    """An X-Wing key pair ``(private_key, public_key)``, derived from ``seed`` when given."""

def xwing_encapsulate(public_key: bytes, eseed: Optional[bytes] = None) -> tuple[bytes, bytes]:
    """``(ciphertext, shared_secret)`` for an X-Wing public key."""

def xwing_decapsulate(ciphertext: bytes, private_key: bytes) -> bytes:
    """The shared secret of an X-Wing ciphertext."""


@final
class HpkePublicKey:
    """An HPKE public key, checked once when it was loaded."""

    @property
    def kem(self) -> int:
        """The KEM's registry value."""
    def public_bytes(self) -> bytes:
        """SerializePublicKey: the key as bytes."""

@final
class HpkePrivateKey:
    """An HPKE private key, expanded once; its secret parts are wiped when it is freed."""

    @property
    def kem(self) -> int:
        """The KEM's registry value."""
    def private_bytes(self) -> bytes:
        """SerializePrivateKey: the private key as bytes."""
    def public_key(self) -> HpkePublicKey:
        """The matching public key."""

@final
class HpkeContext:
    """An HPKE encryption context (RFC 9180, Section 5.2)."""

    @property
    def is_sender(self) -> bool:
        """True for a sender's context."""
    def seal(self, plaintext: bytes, aad: bytes = ...) -> bytes:
        """Encrypts the next message (sender only)."""
    def open(self, ciphertext: bytes, aad: bytes = ...) -> bytes:
        """Decrypts the next message (recipient only)."""
    def export(self, exporter_context: bytes, length: int) -> bytes:
        """A secret of ``length`` bytes bound to the context."""

def hpke_generate_key_pair(kem: int) -> HpkePrivateKey:
    """A fresh private key of the KEM with registry value ``kem``."""

def hpke_derive_key_pair(kem: int, ikm: bytes) -> HpkePrivateKey:
    """DeriveKeyPair(ikm)."""

def hpke_load_public_key(kem: int, data: bytes) -> HpkePublicKey:
    """DeserializePublicKey, with the KEM's checks."""

def hpke_load_private_key(kem: int, data: bytes) -> HpkePrivateKey:
    """DeserializePrivateKey, checked and expanded once."""

def hpke_setup_sender(
    kem: int,
    kdf: int,
    aead: int,
    public_key: Union[bytes, HpkePublicKey, XWingPublicKey],
    info: bytes,
    ikm_e: Optional[bytes] = None,
) -> tuple[bytes, HpkeContext]:
    """SetupBaseS: ``(enc, context)``."""

def hpke_setup_recipient(
    kem: int,
    kdf: int,
    aead: int,
    private_key: Union[bytes, HpkePrivateKey, XWingPrivateKey],
    enc: bytes,
    info: bytes,
) -> HpkeContext:
    """SetupBaseR: the recipient's context."""

def file_header_mac(file_key: bytes, header: bytes) -> bytes:
    """HMAC-SHA256 of header under HKDF-SHA256(file_key, "", "tarnel file v1 header")."""

def file_seal_chunk(file_key: bytes, payload_nonce: bytes, index: int, last: bool, data: bytes) -> bytes:
    """AES-256-GCM of one chunk under the payload key: ciphertext || tag."""

def file_open_chunk(file_key: bytes, payload_nonce: bytes, index: int, last: bool, data: bytes) -> bytes:
    """The plaintext of one chunk; DecryptionError when it does not open."""

def file_seal_chunks(file_key: bytes, payload_nonce: bytes, first_index: int, chunk_size: int,
                     data: bytes, ends: bool) -> bytes:
    """AES-256-GCM of a run of consecutive chunks under one payload key: each
    chunk's ciphertext || tag, in order. With ends, the last piece of data is
    the file's last chunk; without, data is a whole number of chunks."""

def file_open_chunks(file_key: bytes, payload_nonce: bytes, first_index: int, chunk_size: int,
                     data: bytes, ends: bool) -> bytes:
    """The plaintext of a run of consecutive chunks; DecryptionError when any of
    them does not open."""

def file_wrap_key(kek: bytes, label: bytes, data: bytes) -> bytes:
    """AES-256-GCM of the 32-byte file key under kek, zero nonce, aad = label."""

def file_unwrap_key(kek: bytes, label: bytes, data: bytes) -> bytes:
    """The file key inside a 48-byte wrap; DecryptionError when it does not open."""

def file_open_mlkem_entry(kem: int, decapsulation_key: bytes, body: bytes, info: bytes) -> bytes:
    """The plaintext of an ML-KEM HPKE entry (enc || ct) opened with an expanded
    decapsulation key; DecryptionError when it does not open."""

def file_parse_header(data: bytes) -> tuple[Any, ...]:
    """Checks the structure of the header at the start of data. Returns
    (0, length, chunk_size, nonce, [(type, body), ...], mac) for a whole header,
    (1, need) when need bytes in all are needed to go on, or
    (fault, value, entry_type, expected) for the first rule broken (fault >= 2,
    in the order of the format's checks)."""

def file_recipient_tag(file_key: bytes, entry_type: int, public_key: bytes) -> bytes:
    """The 16-byte recipient tag of a KEM entry: HMAC-SHA256 of u16(entry_type) ||
    public_key under HKDF-SHA256(file_key, "", "tarnel file v1 recipient"),
    cut to 16 bytes."""

def file_entry_length(entry_type: int) -> int:
    """The exact body length of a known entry type, or 0 for a type this version
    does not know."""
