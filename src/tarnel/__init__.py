"""Post-quantum encryption for Python: ML-KEM (FIPS 203), hybrid ML-KEM +
AES-256-GCM messages and streams, and key storage."""

from tarnel import _tarnel_core
from tarnel._tarnel_core import *  # noqa: F401,F403  (every public name)

__all__ = list(_tarnel_core.__all__)
