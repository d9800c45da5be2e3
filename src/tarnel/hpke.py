"""HPKE: hybrid public-key encryption (RFC 9180, base mode) with post-quantum KEMs.

A :class:`Suite` names a KEM, a KDF and an AEAD by their registry values
(:class:`KEM`, :class:`KDF`, :class:`AEAD`). The KEMs are ML-KEM-512/768/1024,
X-Wing (ML-KEM-768 + X25519), MLKEM768-P256 and MLKEM1024-P384 from
draft-ietf-hpke-pq, and DHKEM over P-256, P-384 and X25519 from RFC 9180; the
KDFs HKDF-SHA256/384/512 and the one-stage SHAKE128/256; the AEADs AES-128-GCM,
AES-256-GCM, ChaCha20-Poly1305 and export-only.

Single-shot use::

    suite = Suite(KEM.X_WING, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
    private_key, public_key = suite.generate_key_pair()
    message = suite.seal(public_key, b"hello", info=b"app v1")
    assert suite.open(private_key, message, info=b"app v1") == b"hello"

``seal`` returns ``enc || ciphertext``, the layout of pyca/cryptography's
``hpke.Suite.encrypt`` (which has no ``aad``: leave it empty to interoperate).
Several messages to one recipient share a context: :meth:`Suite.setup_sender`
and :meth:`Suite.setup_recipient`. The work runs in native code with the
interpreter lock released.

Keys are :class:`bytes` in their registry serialization (ML-KEM: the 64-byte
seed ``d || z``; hybrids: the 32-byte seed) or key objects from
:meth:`Suite.load_public_key` / :meth:`Suite.load_private_key`, which check
and expand a key once for repeated use; for X-Wing, :class:`tarnel.xwing.PublicKey`
and :class:`tarnel.xwing.PrivateKey` are accepted as well. Errors: :class:`tarnel.InvalidParameterError`
for unknown identifiers, wrong sizes, keys that fail their checks, the
message limit and export lengths beyond the KDF's limit;
:class:`tarnel.DecryptionError` when a message does not open;
:class:`tarnel.DecapsulationError` when :meth:`Suite.setup_recipient` refuses
a DH value in ``enc``.
"""

from __future__ import annotations

import enum
from typing import Optional, Union

from tarnel import _tarnel_pq
from tarnel import xwing
from tarnel._tarnel_core import DecapsulationError, DecryptionError, InvalidParameterError

__all__ = [
    "KEM",
    "KDF",
    "AEAD",
    "Suite",
    "PublicKey",
    "PrivateKey",
    "SenderContext",
    "RecipientContext",
]

PublicKey = _tarnel_pq.HpkePublicKey
PrivateKey = _tarnel_pq.HpkePrivateKey


class KEM(enum.IntEnum):
    """HPKE KEM identifiers (RFC 9180, Section 7.1; draft-ietf-hpke-pq)."""

    DHKEM_P256_HKDF_SHA256 = 0x0010
    DHKEM_P384_HKDF_SHA384 = 0x0011
    DHKEM_X25519_HKDF_SHA256 = 0x0020
    ML_KEM_512 = 0x0040
    ML_KEM_768 = 0x0041
    ML_KEM_1024 = 0x0042
    MLKEM768_P256 = 0x0050
    MLKEM1024_P384 = 0x0051
    X_WING = 0x647A
    MLKEM768_X25519 = 0x647A  # the same KEM under its hybrid name


class KDF(enum.IntEnum):
    """HPKE KDF identifiers (RFC 9180, Section 7.2; draft-ietf-hpke-pq)."""

    HKDF_SHA256 = 0x0001
    HKDF_SHA384 = 0x0002
    HKDF_SHA512 = 0x0003
    SHAKE128 = 0x0010
    SHAKE256 = 0x0011


class AEAD(enum.IntEnum):
    """HPKE AEAD identifiers (RFC 9180, Section 7.3)."""

    AES_128_GCM = 0x0001
    AES_256_GCM = 0x0002
    CHACHA20_POLY1305 = 0x0003
    EXPORT_ONLY = 0xFFFF


# Nenc per KEM: where enc ends in a single-shot message.
_ENC_SIZE = {
    KEM.DHKEM_P256_HKDF_SHA256: 65,
    KEM.DHKEM_P384_HKDF_SHA384: 97,
    KEM.DHKEM_X25519_HKDF_SHA256: 32,
    KEM.ML_KEM_512: 768,
    KEM.ML_KEM_768: 1088,
    KEM.ML_KEM_1024: 1568,
    KEM.MLKEM768_P256: 1153,
    KEM.MLKEM1024_P384: 1665,
    KEM.X_WING: 1120,
}


def _member(enum_type: type[enum.IntEnum], value: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int or {enum_type.__name__}, not {type(value).__name__}")
    try:
        return int(enum_type(value))
    except ValueError:
        raise InvalidParameterError(f"unknown HPKE {what} identifier") from None


class SenderContext:
    """The sender's side of an HPKE context: :meth:`seal` messages in order."""

    __slots__ = ("_context",)

    def __init__(self, context: _tarnel_pq.HpkeContext) -> None:
        self._context = context

    def seal(self, plaintext: bytes, aad: bytes = b"") -> bytes:
        """Encrypt the next message: ciphertext || tag."""
        return self._context.seal(plaintext, aad)

    def export(self, exporter_context: bytes, length: int) -> bytes:
        """A secret of ``length`` bytes bound to this context (RFC 9180, Section 5.3)."""
        return self._context.export(exporter_context, length)

    def __repr__(self) -> str:
        return repr(self._context)


class RecipientContext:
    """The recipient's side of an HPKE context: :meth:`open` messages in order.

    A message that does not open raises :class:`tarnel.DecryptionError` and
    leaves the context as it was.
    """

    __slots__ = ("_context",)

    def __init__(self, context: _tarnel_pq.HpkeContext) -> None:
        self._context = context

    def open(self, ciphertext: bytes, aad: bytes = b"") -> bytes:
        """Decrypt the next message."""
        return self._context.open(ciphertext, aad)

    def export(self, exporter_context: bytes, length: int) -> bytes:
        """A secret of ``length`` bytes bound to this context (RFC 9180, Section 5.3)."""
        return self._context.export(exporter_context, length)

    def __repr__(self) -> str:
        return repr(self._context)


class Suite:
    """An HPKE cipher suite: a KEM, a KDF and an AEAD."""

    __slots__ = ("kem", "kdf", "aead")

    kem: KEM
    kdf: KDF
    aead: AEAD

    def __init__(self, kem: Union[KEM, int], kdf: Union[KDF, int], aead: Union[AEAD, int]) -> None:
        self.kem = KEM(_member(KEM, kem, "KEM"))
        self.kdf = KDF(_member(KDF, kdf, "KDF"))
        self.aead = AEAD(_member(AEAD, aead, "AEAD"))

    def __repr__(self) -> str:
        return f"Suite({self.kem.name}, {self.kdf.name}, {self.aead.name})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Suite):
            return NotImplemented
        return (self.kem, self.kdf, self.aead) == (other.kem, other.kdf, other.aead)

    def __hash__(self) -> int:
        return hash((self.kem, self.kdf, self.aead))

    # -- keys

    def generate_key_pair(self) -> tuple[bytes, bytes]:
        """A fresh ``(private_key, public_key)`` of the suite's KEM, as bytes."""
        key = _tarnel_pq.hpke_generate_key_pair(self.kem)
        return key.private_bytes(), key.public_key().public_bytes()

    def derive_key_pair(self, ikm: bytes) -> tuple[bytes, bytes]:
        """DeriveKeyPair: ``(private_key, public_key)`` from at least 32 bytes of ``ikm``."""
        key = _tarnel_pq.hpke_derive_key_pair(self.kem, ikm)
        return key.private_bytes(), key.public_key().public_bytes()

    def load_public_key(self, data: bytes) -> PublicKey:
        """A checked public-key object, accepted wherever public-key bytes are."""
        return _tarnel_pq.hpke_load_public_key(self.kem, data)

    def load_private_key(self, data: bytes) -> PrivateKey:
        """An expanded private-key object, accepted wherever private-key bytes are.

        Its secret parts are wiped when it is freed; it never shows them in a repr.
        """
        return _tarnel_pq.hpke_load_private_key(self.kem, data)

    # -- contexts

    def setup_sender(
        self,
        public_key: Union[bytes, PublicKey, xwing.PublicKey],
        *,
        info: bytes = b"",
        ikm_e: Optional[bytes] = None,
    ) -> tuple[bytes, SenderContext]:
        """SetupBaseS: ``(enc, context)`` for the recipient's ``public_key``.

        ``ikm_e`` makes the encapsulation deterministic (known-answer tests
        only): for DHKEM the ephemeral key is DeriveKeyPair(ikm_e); for the
        other KEMs it is the encapsulation's randomness, of the KEM's exact size.
        """
        enc, context = _tarnel_pq.hpke_setup_sender(
            self.kem, self.kdf, self.aead, public_key, info, ikm_e)
        return enc, SenderContext(context)

    def setup_recipient(
        self,
        private_key: Union[bytes, PrivateKey, xwing.PrivateKey],
        enc: bytes,
        *,
        info: bytes = b"",
    ) -> RecipientContext:
        """SetupBaseR: the recipient's context for ``enc``."""
        return RecipientContext(_tarnel_pq.hpke_setup_recipient(
            self.kem, self.kdf, self.aead, private_key, enc, info))

    # -- single shot

    def seal(
        self,
        public_key: Union[bytes, PublicKey, xwing.PublicKey],
        plaintext: bytes,
        *,
        info: bytes = b"",
        aad: bytes = b"",
    ) -> bytes:
        """Encrypt one message to ``public_key``: ``enc || ciphertext``."""
        enc, context = _tarnel_pq.hpke_setup_sender(
            self.kem, self.kdf, self.aead, public_key, info, None)
        return enc + context.seal(plaintext, aad)

    def open(
        self,
        private_key: Union[bytes, PrivateKey, xwing.PrivateKey],
        message: bytes,
        *,
        info: bytes = b"",
        aad: bytes = b"",
    ) -> bytes:
        """Decrypt one message made by :meth:`seal` (or pyca's ``Suite.encrypt``).

        Any message that does not open, a refused ``enc`` included, raises
        :class:`tarnel.DecryptionError`.
        """
        if not isinstance(message, bytes):
            raise TypeError(f"message must be bytes, not {type(message).__name__}")
        n_enc = _ENC_SIZE[self.kem]
        if len(message) < n_enc + (0 if self.aead == AEAD.EXPORT_ONLY else 16):
            raise DecryptionError("HPKE message is shorter than enc and a tag")
        try:
            context = _tarnel_pq.hpke_setup_recipient(
                self.kem, self.kdf, self.aead, private_key, message[:n_enc], info)
        except DecapsulationError as e:
            # As for pyca's Suite.decrypt, any message that cannot be opened
            # raises the one error.
            raise DecryptionError(f"HPKE message does not open: {e}") from e
        return context.open(message[n_enc:], aad)
