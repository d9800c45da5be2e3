"""Post-quantum key objects: ML-KEM (FIPS 203) keys checked and expanded
once, for many encapsulations or decapsulations with the same key.

The objects never change after they are made and may be shared by many
threads; the interpreter lock is released while they compute.
"""

from typing import Any, Optional, final

from tarnel._tarnel_core import SecurityLevel

__all__ = ["EncapsulationKey", "DecapsulationKey"]

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
