"""X-Wing: the hybrid KEM of ML-KEM-768 and X25519 (draft-connolly-cfrg-xwing-kem).

The private key is a 32-byte seed; the public key has 1216 bytes, a
ciphertext 1120 and the shared secret 32. The work runs in native code with
the interpreter lock released. Wrong sizes and a public key whose ML-KEM part
fails the FIPS 203 modulus check raise :class:`tarnel.InvalidParameterError`.

For many operations with one key, :class:`PublicKey` and :class:`PrivateKey`
check and expand the key once; their results equal those of
:func:`encapsulate` and :func:`decapsulate` on the same bytes and
randomness, and :mod:`tarnel.hpke` accepts them for the X-Wing KEM.
"""

from __future__ import annotations

from typing import Optional

from tarnel import _tarnel_pq

__all__ = [
    "PublicKey",
    "PrivateKey",
    "PRIVATE_KEY_SIZE",
    "PUBLIC_KEY_SIZE",
    "CIPHERTEXT_SIZE",
    "SHARED_SECRET_SIZE",
    "generate_keypair",
    "encapsulate",
    "decapsulate",
]

PublicKey = _tarnel_pq.XWingPublicKey
PrivateKey = _tarnel_pq.XWingPrivateKey

PRIVATE_KEY_SIZE = 32
PUBLIC_KEY_SIZE = 1216
CIPHERTEXT_SIZE = 1120
SHARED_SECRET_SIZE = 32


def generate_keypair(seed: Optional[bytes] = None) -> tuple[bytes, bytes]:
    """Return ``(private_key, public_key)``.

    Without ``seed`` the 32-byte private key is drawn from the operating
    system; with it (32 bytes) the pair is derived deterministically.
    """
    return _tarnel_pq.xwing_generate_keypair(seed)


def encapsulate(public_key: bytes, eseed: Optional[bytes] = None) -> tuple[bytes, bytes]:
    """Return ``(ciphertext, shared_secret)`` for ``public_key``.

    ``eseed`` (64 bytes: ML-KEM's message, then the X25519 ephemeral scalar)
    makes the encapsulation deterministic; leave it out except for tests.
    """
    return _tarnel_pq.xwing_encapsulate(public_key, eseed)


def decapsulate(ciphertext: bytes, private_key: bytes) -> bytes:
    """Return the 32-byte shared secret of ``ciphertext`` under ``private_key``.

    A well-formed but altered ciphertext yields a different secret (ML-KEM's
    implicit rejection); an X25519 part of small order raises
    :class:`tarnel.DecapsulationError`.
    """
    return _tarnel_pq.xwing_decapsulate(ciphertext, private_key)
