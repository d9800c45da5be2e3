"""Hybrid post-quantum KEMs (X-Wing) and HPKE (RFC 9180), in native code.

Failures raise the exception classes of :mod:`tarnel._tarnel_core`.
"""

from typing import Optional, Union, final

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
    public_key: Union[bytes, HpkePublicKey],
    info: bytes,
    ikm_e: Optional[bytes] = None,
) -> tuple[bytes, HpkeContext]:
    """SetupBaseS: ``(enc, context)``."""

def hpke_setup_recipient(
    kem: int,
    kdf: int,
    aead: int,
    private_key: Union[bytes, HpkePrivateKey],
    enc: bytes,
    info: bytes,
) -> HpkeContext:
    """SetupBaseR: the recipient's context."""
