"""What ``tarnel --version`` tells: the package's version and the OpenSSL
library its engine runs on."""

from __future__ import annotations

import ctypes
import os
from typing import Optional

from ._version import __version__


class _DlInfo(ctypes.Structure):
    _fields_ = [
        ("dli_fname", ctypes.c_char_p),
        ("dli_fbase", ctypes.c_void_p),
        ("dli_sname", ctypes.c_char_p),
        ("dli_saddr", ctypes.c_void_p),
    ]


def openssl_version() -> tuple[str, Optional[str]]:
    """The OpenSSL version the native module runs on, and its library file.

    The symbol is looked up through the module's own handle, which searches
    the module and the libraries it was linked against, in load order: the
    libcrypto it actually uses (a bundled copy in a wheel included), not
    whichever one the interpreter's ssl module loaded. ("unknown", None)
    when it cannot be told.
    """
    try:
        from . import _tarnel_core

        module = ctypes.CDLL(_tarnel_core.__file__)
        fn = module.OpenSSL_version
    except (OSError, AttributeError, ImportError):
        return "unknown", None
    fn.restype = ctypes.c_char_p
    fn.argtypes = [ctypes.c_int]
    try:
        raw = fn(0)  # OPENSSL_VERSION
    except OSError:
        return "unknown", None
    text = raw.decode("ascii", "replace") if raw else "unknown"
    return text, _library_of(ctypes.cast(fn, ctypes.c_void_p).value)


def _library_of(address: Optional[int]) -> Optional[str]:
    try:
        libc = ctypes.CDLL(None)
        dladdr = libc.dladdr
    except (OSError, AttributeError):
        return None
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    info = _DlInfo()
    if not address or not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        return None
    return os.fsdecode(info.dli_fname)


def version_text() -> str:
    """What ``tarnel --version`` prints."""
    openssl, library = openssl_version()
    where = f" ({os.path.basename(library)})" if library else ""
    return f"tarnel {__version__}\n{openssl}{where}\n"
