"""Hybrid post-quantum KEMs (X-Wing) and HPKE (RFC 9180), in native code.

Failures raise the exception classes of :mod:`tarnel._tarnel_core`.
"""

from typing import Optional

def xwing_generate_keypair(seed: Optional[bytes] = None) -> tuple[bytes, bytes]:
    """An X-Wing key pair ``(private_key, public_key)``, derived from ``seed`` when given."""

def xwing_encapsulate(public_key: bytes, eseed: Optional[bytes] = None) -> tuple[bytes, bytes]:
    """``(ciphertext, shared_secret)`` for an X-Wing public key."""

def xwing_decapsulate(ciphertext: bytes, private_key: bytes) -> bytes:
    """The shared secret of an X-Wing ciphertext."""
