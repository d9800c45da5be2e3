"""Post-quantum encryption for Python: ML-KEM (FIPS 203), hybrid ML-KEM +
AES-256-GCM messages and streams, and key storage."""

from tarnel import _tarnel_core
from tarnel._version import __version__ as __version__
from tarnel._tarnel_core import *  # noqa: F401,F403  (every public name)
from tarnel.streaming import (  # "as" marks each name as re-exported
    FrameTooLargeError as FrameTooLargeError,
    StreamError as StreamError,
    StreamReader as StreamReader,
    StreamWriter as StreamWriter,
    TrailingDataError as TrailingDataError,
    TruncatedStreamError as TruncatedStreamError,
    decrypt_file as decrypt_file,
    encrypt_file as encrypt_file,
    open_decryptor as open_decryptor,
    open_encryptor as open_encryptor,
    public_key_level as public_key_level,
    secret_key_level as secret_key_level,
)

__all__ = list(_tarnel_core.__all__) + [
    "StreamError",
    "TruncatedStreamError",
    "TrailingDataError",
    "FrameTooLargeError",
    "StreamWriter",
    "StreamReader",
    "open_encryptor",
    "open_decryptor",
    "encrypt_file",
    "decrypt_file",
    "public_key_level",
    "secret_key_level",
]
