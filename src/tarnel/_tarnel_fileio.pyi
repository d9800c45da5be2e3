from typing import Callable, Optional

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
) -> tuple[int, int, int, int]: ...
