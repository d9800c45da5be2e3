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

import base64
import binascii
import json
import re
from typing import Optional, Union

from tarnel import _tarnel_pq
from tarnel.keyfile import XWING_PUBLIC_PEM_FOOTER, XWING_PUBLIC_PEM_HEADER
from tarnel._tarnel_core import KeySerializationError
from tarnel.pkcs import load_xwing_public_key_spki

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
    "public_key_b64",
    "public_key_pem",
    "public_key_json",
    "load_public_key_text",
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


# ---------------------------------------------------------------------------
# Public key texts: the forms of ML-KEM public keys, for X-Wing


def _checked(public_key: bytes) -> bytes:
    """``public_key`` after the checks of :class:`PublicKey` (length, modulus)."""
    return PublicKey(public_key).public_key


def public_key_b64(public_key: bytes) -> str:
    """The public key in URL-safe Base64 without padding: 1622 characters."""
    return base64.urlsafe_b64encode(_checked(public_key)).decode("ascii").rstrip("=")


def public_key_pem(public_key: bytes) -> str:
    """A ``-----BEGIN X-WING PUBLIC KEY-----`` block: the raw key in standard
    Base64, lines of 64 characters, each ending in LF."""
    b64 = base64.b64encode(_checked(public_key)).decode("ascii")
    lines = [b64[i : i + 64] for i in range(0, len(b64), 64)]
    return "\n".join([XWING_PUBLIC_PEM_HEADER, *lines, XWING_PUBLIC_PEM_FOOTER, ""])


def public_key_json(public_key: bytes) -> str:
    """One line, no whitespace: ``{"algorithm":"X-Wing","public_key":"<Base64>"}``
    with the URL-safe Base64 of :func:`public_key_b64`."""
    return '{"algorithm":"X-Wing","public_key":"%s"}' % public_key_b64(public_key)


_URLSAFE = re.compile(r"[A-Za-z0-9_-]+")


def _from_b64(text: str, what: str) -> bytes:
    body = text.strip().rstrip("=")
    if not _URLSAFE.fullmatch(body):
        raise KeySerializationError(f"{what}: not URL-safe Base64")
    try:
        key = base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
    except (binascii.Error, ValueError):
        raise KeySerializationError(f"{what}: not valid Base64") from None
    if base64.urlsafe_b64encode(key).decode("ascii").rstrip("=") != body:
        raise KeySerializationError(f"{what}: not canonical Base64")
    return key


def _from_pem(text: str) -> bytes:
    start = text.index(XWING_PUBLIC_PEM_HEADER) + len(XWING_PUBLIC_PEM_HEADER)
    end = text.find(XWING_PUBLIC_PEM_FOOTER, start)
    if end < 0:
        raise KeySerializationError(
            f"X-Wing public key block: no '{XWING_PUBLIC_PEM_FOOTER}' line"
        )
    body = "".join(text[start:end].split())
    try:
        key = base64.b64decode(body, validate=True)
    except (binascii.Error, ValueError):
        raise KeySerializationError("X-Wing public key block: not valid Base64") from None
    if base64.b64encode(key).decode("ascii") != body:
        raise KeySerializationError("X-Wing public key block: not canonical Base64")
    return key


def _from_json(text: str) -> bytes:
    try:
        document = json.loads(text)
    except ValueError:
        raise KeySerializationError("X-Wing JSON public key: not a JSON document") from None
    if (
        not isinstance(document, dict)
        or set(document) != {"algorithm", "public_key"}
        or document["algorithm"] != "X-Wing"
        or not isinstance(document["public_key"], str)
    ):
        raise KeySerializationError(
            'X-Wing JSON public key: expected {"algorithm":"X-Wing","public_key":"..."}'
        )
    return _from_b64(document["public_key"], "X-Wing JSON public key")


def load_public_key_text(text: Union[str, bytes]) -> bytes:
    """An X-Wing public key from any of its texts.

    Reads the ``X-WING PUBLIC KEY`` block, the JSON document, URL-safe
    Base64 (surrounding whitespace and trailing ``=`` ignored) and the
    ``PUBLIC KEY`` block of SubjectPublicKeyInfo. The key is then checked as
    :class:`PublicKey` checks it. Raises :class:`tarnel.KeySerializationError`
    for text of no such form, :class:`tarnel.InvalidParameterError` for a key
    of the wrong length or whose ML-KEM part fails the modulus check.
    """
    if isinstance(text, bytes):
        try:
            text = text.decode("ascii")
        except UnicodeDecodeError:
            raise KeySerializationError("X-Wing public key text is not ASCII") from None
    if XWING_PUBLIC_PEM_HEADER in text:
        key = _from_pem(text)
    elif "-----BEGIN PUBLIC KEY-----" in text:
        return load_xwing_public_key_spki(text)
    elif text.lstrip().startswith("{"):
        key = _from_json(text)
    else:
        key = _from_b64(text, "X-Wing Base64 public key")
    return _checked(key)
