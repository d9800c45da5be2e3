from typing import Callable, Optional

MAX_CHUNK_SIZE: int
FRAME_OVERHEAD: int
MAX_HEADER_LEN: int
FRAME_LENGTH_LEN: int
TAG_LEN: int
BLOB_VERSION_OFFSET: int
BLOB_LEVEL_OFFSET: int
BLOB_MAGIC: bytes

def level_sizes(level: int) -> dict[str, int]: ...
def read_header(head: bytes, level: int, at_end: object) -> tuple[int, int]: ...
def read_frame(prefix: bytes, have: int, chunk_size: int, index: int, at_end: object) -> int: ...
def read_after_end(have: int, at_end: object) -> bool: ...
def public_key_text(public_key: bytes, level: int, form: str) -> str: ...

def encrypt_fd(
    in_fd: int,
    in_offset: int,
    out_fd: int,
    out_name: object,
    public_key: bytes,
    chunk_size: int,
    level: int,
    progress: Optional[Callable[[int, Optional[int]], None]],
    total: Optional[int],
    in_name: object = None,
) -> tuple[int, int]: ...
def decrypt_fd(
    in_fd: int,
    in_offset: int,
    out_fd: int,
    out_name: object,
    header: bytes,
    secret_key: bytes,
    level: int,
    progress: Optional[Callable[[int, Optional[int]], None]],
    total: Optional[int],
    in_name: object = None,
) -> tuple[int, int]: ...

# The armor codec (tarnel.armor): codecs are capsules, faults are
# (kind, line, length, shown).
ARMOR_BEGIN_LINE: bytes
ARMOR_END_LINE: bytes
ARMOR_FILE_BEGIN_LINE: bytes
ARMOR_FILE_END_LINE: bytes
ARMOR_LINE_CHARS: int
ARMOR_MAX_TRAILING_SPACE: int
ARMOR_BATCH: int

def armor_encoder() -> object: ...
def armor_encode(encoder: object, data: bytes) -> bytes: ...
def armor_encode_finish(encoder: object) -> bytes: ...
def armor_decoder(file: object, /) -> object: ...
def armor_decode(
    decoder: object, data: bytes, at_end: object
) -> tuple[bytearray, int, Optional[tuple[str, int, int, bytes]]]: ...
def decrypt_armored_fd(
    in_fd: int,
    in_offset: int,
    out_fd: int,
    out_name: object,
    header: bytes,
    secret_key: bytes,
    level: int,
    progress: Optional[Callable[[int, Optional[int]], None]],
    total: Optional[int],
    in_name: object = None,
) -> tuple[int, int, Optional[tuple[str, int, int, bytes]]]: ...
def encrypt_stream_fd(
    in_fd: int,
    prefix: bytes,
    out_fd: int,
    out_name: object,
    public_key: bytes,
    chunk_size: int,
    level: int,
    progress: Optional[Callable[[int, Optional[int]], None]],
    total: Optional[int],
    in_name: object,
) -> int: ...
def encrypt_armored_fd(
    in_fd: int,
    in_offset: int,
    out_fd: int,
    out_name: object,
    public_key: bytes,
    chunk_size: int,
    level: int,
    progress: Optional[Callable[[int, Optional[int]], None]],
    total: Optional[int],
    in_name: object = None,
) -> tuple[int, int]: ...
def file_encrypt_fd(
    in_fd: int,
    in_offset: int,
    out_fd: int,
    out_name: object,
    header: bytes,
    file_key: bytes,
    payload_nonce: bytes,
    chunk_size: int,
    progress: Optional[Callable[[int, Optional[int]], object]],
    total: Optional[int],
    in_name: object = None,
    armored: bool = False,
) -> tuple[int, int]: ...
def file_decrypt_fd(
    in_fd: int,
    in_offset: int,
    out_fd: int,
    out_name: object,
    file_key: bytes,
    payload_nonce: bytes,
    chunk_size: int,
    progress: Optional[Callable[[int, Optional[int]], object]],
    total: Optional[int],
    in_name: object,
    armor_skip: Optional[int] = None,
    file_label: bool = False,
) -> tuple[int, int, Optional[tuple[object, ...]]]: ...
