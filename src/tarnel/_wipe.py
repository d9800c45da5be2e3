"""Best-effort erasure of secret intermediates that must be ``bytes``.

Some calls accept only ``bytes`` (the native key wrap takes its password that
way, hashlib returns its output that way), so a secret intermediate cannot
always live in a ``bytearray``. :func:`wipe_bytes` overwrites such an object
in place once the package is done with it. Only objects the package created
itself and never handed out may be passed: an immutable object is changed
under any other reference to it.
"""

from __future__ import annotations

import ctypes
import sys

_CPYTHON = sys.implementation.name == "cpython"
# PyBytesObject keeps its data inline, at the last byte of the fixed part.
_DATA_OFFSET = bytes.__basicsize__ - 1


def wipe_bytes(*objects: bytes) -> None:
    """Overwrite each object's contents with zeros (CPython; elsewhere a no-op).

    Objects of length 0 or 1 are skipped: CPython shares them.
    """
    if not _CPYTHON:
        return
    for obj in objects:
        if type(obj) is bytes and len(obj) > 1:
            ctypes.memset(id(obj) + _DATA_OFFSET, 0, len(obj))
