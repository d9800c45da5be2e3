"""``tarnel decrypt``: decrypt a stream with a secret key file."""

from __future__ import annotations

import argparse
import io
from collections.abc import Callable, Sequence
from typing import IO, TYPE_CHECKING, Optional, cast

from .. import _formats, armor, files, streaming
from .._files import OutputFile, write_all
from .._wipe import wipe_bytes
from .._tarnel_core import DecryptionError, SecurityLevel, TarnelError
from ._input import _Replay, _open_input
from ._keys import _level, _level_name, load_identity, open_header
from ._options import Command, LEVEL_HELP, _add_password_options, _level_arg
from ._output import _destination
from ._terminal import (
    CliError,
    _NoKeyOpens,
    _Password,
    _Progress,
    _is_stdio,
    _show_progress,
    _stream_error_message,
    _tell,
    _warn,
)

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


def run(args: argparse.Namespace) -> int:
    password = _Password(args)
    level = _level(args.level)
    src_name = "stdin" if _is_stdio(args.input) else args.input
    progress = _Progress("decrypting", _show_progress(args))
    rollback = not _is_stdio(args.output)  # until the output is open
    counted: Optional[_CountingWriter] = None
    in_file_format = False
    try:
        with _open_input(args.input) as fin:
            fin = _dearmored(fin)
            fin, in_file_format = _is_file_format(fin)
            if in_file_format:
                header = files.parse_header(fin)
                kinds = ", ".join(files.ENTRY_NAMES.get(e.type, f"unknown 0x{e.type:04x}")
                                  for e in header.entries)
                _tell(args, f"{src_name}: a file of the multi-recipient format "
                            f"(entries: {kinds})")
                file_key = _open_file_key(header, args, password, src_name)
                try:
                    with _destination(args) as dst:
                        rollback = isinstance(dst, OutputFile) and dst.atomic
                        if not rollback:
                            counted = _CountingWriter(dst)
                            dst = cast(IO[bytes], counted)
                        written = files._write_payload(fin, file_key, header, dst, progress)
                finally:
                    wipe_bytes(file_key)
                _tell(args, f"decrypted {written} bytes to {_output_name(args)}")
                return 0
            if not args.identity:
                raise CliError(
                    f"{src_name} is an encrypted stream: give its secret key with -i", 2
                )
            _tell(args, f"{src_name}: an encrypted stream")
            # One key is read (and its passphrase asked) at once; several are
            # read one at a time, when the stream comes to be tried on them.
            if len(args.identity) == 1:
                path = args.identity[0]
                chosen = (path, *load_identity(path, password, level))
            else:
                fin, chosen = _choose_identity(
                    fin, args.identity, lambda path: load_identity(path, password, level), src_name
                )
            with _destination(args) as dst:
                rollback = isinstance(dst, OutputFile) and dst.atomic
                if not rollback:
                    counted = _CountingWriter(dst)
                    dst = cast(IO[bytes], counted)
                written = streaming.decrypt_file(
                    fin, dst, chosen[1], level=chosen[2], progress=progress
                )
            _tell(args, f"opened with {chosen[0]} ({_level_name(chosen[2])}); decrypted "
                        f"{written} bytes to {_output_name(args)}")
    except TarnelError as e:
        message = _file_error_message(e) if in_file_format else _stream_error_message(e)
        if rollback:
            message += "; no output file was written"
        elif counted is None or counted.written == 0:
            message += "; nothing was written"
        else:
            message += "; the output written so far is incomplete and must not be trusted"
        raise CliError(message) from None
    finally:
        progress.finish()
    return 0


def _output_name(args: argparse.Namespace) -> str:
    return "stdout" if _is_stdio(args.output) else str(args.output)


def _file_error_message(e: TarnelError) -> str:
    """What went wrong with a file of the multi-recipient format."""
    if isinstance(e, (files.FileFormatError, armor.ArmorError)):
        return f"the file is damaged: {e}"
    if isinstance(e, DecryptionError):
        return f"decryption failed: {e}"
    return _stream_error_message(e)


def _is_file_format(fin: IO[bytes]) -> tuple[IO[bytes], bool]:
    """Whether the (decoded) input starts with the file format's magic;
    returns a source that reads the input from its start."""
    try:
        start: Optional[int] = fin.tell() if fin.seekable() else None
    except OSError:
        start = None
    if start is None and isinstance(fin, io.BufferedReader):
        # Looked at without reading, so that an armored file stays the
        # reader that whole-file decryption can take over.
        head = fin.peek(len(files.MAGIC))[: len(files.MAGIC)]
        if len(head) == len(files.MAGIC) or not head:
            return fin, head == files.MAGIC
    head = b""
    while len(head) < len(files.MAGIC):
        more = fin.read(len(files.MAGIC) - len(head))
        if not more:
            break
        head += more
    if start is not None:
        fin.seek(start)
    else:
        fin = io.BufferedReader(_Replay(head, fin), 1 << 16)
    return fin, head == files.MAGIC


def _open_file_key(
    header: files.Header, args: argparse.Namespace, password: _Password, name: str
) -> bytes:
    """The file key of a file of the multi-recipient format (see
    :func:`open_header`)."""
    opened: Optional[list[str]] = [] if getattr(args, "verbose", False) else None
    keys, passphrase = open_header(header, args.identity, password, name, opened)
    for what in opened or ():
        _tell(args, f"opened with {what}")
    try:
        return files._file_key(header, keys, passphrase)
    finally:
        for key in keys:
            wipe_bytes(key)
        if passphrase is not None:
            wipe_bytes(passphrase)


class _CountingWriter(io.RawIOBase):
    """A binary output that counts the bytes it passed on, so that a
    failure can say whether anything reached a destination that cannot be
    taken back (a pipe, a terminal, a device)."""

    def __init__(self, out: IO[bytes]) -> None:
        super().__init__()
        self._out = out
        self.written = 0

    @property
    def name(self) -> object:
        """The wrapped file's name, so that errors still name it."""
        return getattr(self._out, "name", None)

    def writable(self) -> bool:
        return True

    def write(self, data: "ReadableBuffer") -> int:
        n = self._out.write(data)
        if isinstance(n, int) and n > 0:
            self.written += n
        return n

    def flush(self) -> None:
        self._out.flush()

    def fileno(self) -> int:
        return self._out.fileno()


def _dearmored(fin: IO[bytes]) -> IO[bytes]:
    """The input itself, or its decoded contents when it is armored.

    Whitespace before an armor block is skipped whatever its length, in
    bounded memory: past 4096 bytes of it the input cannot be a binary
    stream, whose header holds a chunk size no whitespace spells.
    """
    try:
        start: Optional[int] = fin.tell() if fin.seekable() else None
    except OSError:
        start = None
    head = b""
    skipping = False
    try:
        while len(head.lstrip(b" \t\r\n")) < armor.LINE_CHARS:
            more = fin.read(1 << 16 if skipping else armor.LINE_CHARS)
            if not more:
                break
            head += more
            if len(head) > armor.MAX_SURROUNDING_WHITESPACE and not head.strip(b" \t\r\n"):
                # Keep the start of the line that the armor may begin.
                head = head[head.rfind(b"\n") + 1 :][-armor.LINE_CHARS :]
                skipping = True
    except OSError as e:
        name = streaming.name_of(fin)
        if e.filename is not None or name is None or e.errno is None:
            raise
        raise OSError(e.errno, e.strerror, name) from None
    if start is not None:
        fin.seek(start)  # a file: read again, so that its size stays known
        replay = fin
    else:
        replay = io.BufferedReader(_Replay(head, fin))
    file_begin = f"-----BEGIN {armor.FILE_LABEL}-----".encode("ascii")
    if armor.is_armored(head):
        label = (armor.FILE_LABEL if head.lstrip(b" \t\r\n").startswith(file_begin)
                 else armor.STREAM_LABEL)
        return io.BufferedReader(armor.ArmorReader(replay, label), 1 << 16)
    for begin, what in ((armor.BEGIN_LINE, "stream"), (file_begin, "file")):
        if begin in head:
            raise streaming.NotAStreamError(
                f"not an encrypted {what}: text comes before its armor BEGIN line"
            )
    return replay


def _choose_identity(
    fin: IO[bytes],
    paths: Sequence[str],
    load: "Callable[[str], tuple[bytes, SecurityLevel]]",
    name: str,
) -> tuple[IO[bytes], tuple[str, bytes, SecurityLevel]]:
    """Find the identity that opens the stream's first frame.

    Reads the header and the first frame once, then loads each key file in
    turn (asking its passphrase only when it is its turn) and tries it on
    them; a key file that cannot be opened (a wrong passphrase, a damaged
    file) is reported and passed over. Returns a source that reads the
    stream from its start (``fin`` itself, sought back, when it can seek, so
    that whole-file decryption may still take it over; else the head
    replayed before the rest of ``fin``) and the identity that opened it.
    """
    try:
        start: Optional[int] = fin.tell() if fin.seekable() else None
    except OSError:
        start = None
    src = _formats.FrameSource(fin)
    head = src.read_exact(_formats.MAX_HEADER_LEN + _formats.LENGTH_LEN)
    head += src.read_exact(_formats.first_frame_end(head) - len(head))
    skipped: list[str] = []
    for path in paths:
        try:
            secret_key, level = load(path)
        except CliError as e:
            if e.status != 1:
                raise  # a usage error stops the command
            _warn(f"{e}; trying the next key")
            skipped.append(path)
            continue
        try:
            with streaming.StreamReader(io.BytesIO(head), secret_key, level=level) as r:
                r.read1()
        except streaming.StreamLevelError:
            wipe_bytes(secret_key)
            continue  # a key of another level
        except streaming.StreamError:
            wipe_bytes(secret_key)
            raise  # the stream itself is damaged
        except DecryptionError:
            wipe_bytes(secret_key)
            continue  # the capsule is not for this key
        if start is not None:
            fin.seek(start)
            return fin, (path, secret_key, level)
        return io.BufferedReader(_Replay(head, fin)), (path, secret_key, level)
    tried = ", ".join(paths)
    unopened = f"; could not open {', '.join(skipped)}" if skipped else ""
    raise _NoKeyOpens(f"no given key opens {name} (tried {tried}{unopened})")


def add_command(command: Command) -> None:
    """Add ``decrypt`` and its options to the parser through ``command``."""
    p = command(
        "decrypt", "decrypt with secret key files or a passphrase",
        "Decrypt a file or a stream, binary or armored (each recognised by "
        "itself). Every key of every -i file is tried on every recipient "
        "entry: keys without a passphrase first, then, only if none of them "
        "opens the file, each passphrase-protected key file in turn (its "
        "passphrase asked once). A file encrypted with a passphrase asks for "
        "it (or reads --password-file/--password-env) and needs no -i.",
    )
    p.add_argument(
        "-i", "--identity", action="append", default=[], metavar="SECRET_KEY",
        help="a secret key file written by keygen (X-Wing or ML-KEM; one "
        "file may hold several keys one after another), or an unencrypted "
        "PKCS#8 file; repeat it to try several",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--force", action="store_true", help="replace an existing output file")
    p.add_argument("--level", type=_level_arg, help=f"{LEVEL_HELP} of a stream (default: from the key)")
    _add_password_options(p)
    p.add_argument("input", nargs="?", metavar="IN", help="input file (default stdin)")
    p.set_defaults(run=run)
