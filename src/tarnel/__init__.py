"""Post-quantum encryption for Python: ML-KEM (FIPS 203), hybrid ML-KEM +
AES-256-GCM messages and streams, and key storage."""

from tarnel import _tarnel_core
from tarnel._version import __version__ as __version__
from tarnel._tarnel_core import *  # noqa: F401,F403  (every public name)
from tarnel._tarnel_pq import (  # "as" marks each name as re-exported
    DecapsulationKey as DecapsulationKey,
    EncapsulationKey as EncapsulationKey,
)
from tarnel._files import (  # "as" marks each name as re-exported
    LeftBehindWarning as LeftBehindWarning,
    OutputNotDurableError as OutputNotDurableError,
)
from tarnel.keyfile import (  # "as" marks each name as re-exported
    ScryptParams as ScryptParams,
    check_passphrase as check_passphrase,
    generate_passphrase as generate_passphrase,
    key_file_permission_warning as key_file_permission_warning,
    load_secret_key as load_secret_key,
    load_secret_key_text as load_secret_key_text,
    save_secret_key as save_secret_key,
    secret_key_file_text as secret_key_file_text,
)
from tarnel.pkcs import (
    export_public_key_spki as export_public_key_spki,
    export_secret_key_pkcs8 as export_secret_key_pkcs8,
    load_keypair_pkcs8 as load_keypair_pkcs8,
    load_public_key_spki as load_public_key_spki,
    load_secret_key_pkcs8 as load_secret_key_pkcs8,
)
from tarnel.streaming import (  # "as" marks each name as re-exported
    FrameTooLargeError as FrameTooLargeError,
    InputChangedError as InputChangedError,
    NotAStreamError as NotAStreamError,
    StreamLevelError as StreamLevelError,
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
    # ML-KEM key objects
    "EncapsulationKey",
    "DecapsulationKey",
    "StreamError",
    "TruncatedStreamError",
    "TrailingDataError",
    "FrameTooLargeError",
    "NotAStreamError",
    "StreamLevelError",
    "InputChangedError",
    # what atomic file output reports beyond success and failure
    "OutputNotDurableError",
    "LeftBehindWarning",
    "StreamWriter",
    "StreamReader",
    "open_encryptor",
    "open_decryptor",
    "encrypt_file",
    "decrypt_file",
    "public_key_level",
    "secret_key_level",
    # key files and standard key formats
    "ScryptParams",
    "save_secret_key",
    "load_secret_key",
    "secret_key_file_text",
    "load_secret_key_text",
    "generate_passphrase",
    "check_passphrase",
    "key_file_permission_warning",
    "export_public_key_spki",
    "load_public_key_spki",
    "export_secret_key_pkcs8",
    "load_secret_key_pkcs8",
    "load_keypair_pkcs8",
]
