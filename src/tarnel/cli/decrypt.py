"""``tarnel decrypt``: decrypt a stream with a secret key file."""

from __future__ import annotations

import argparse
import io
from collections.abc import Callable, Sequence
from typing import IO, TYPE_CHECKING, Optional, cast

from .. import _formats, armor, streaming
from .._files import OutputFile
from .._wipe import wipe_bytes
from .._tarnel_core import DecryptionError, SecurityLevel, TarnelError
from ._input import _Replay, _open_input
from ._keys import _level, load_identity
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
    _warn,
)

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


def run(args: argparse.Namespace) -> int:
    password = _Password(args)
    level = _level(args.level)
    # One key is read (and its passphrase asked) at once; several are read
    # one at a time, when the stream comes to be tried on them.
    identities = (
        [(args.identity[0], *load_identity(args.identity[0], password, level))]
        if len(args.identity) == 1 else []
    )
    src_name = "stdin" if _is_stdio(args.input) else args.input
    progress = _Progress("decrypting", _show_progress(args))
    rollback = not _is_stdio(args.output)  # until the output is open
    counted: Optional[_CountingWriter] = None
    try:
        with _open_input(args.input) as fin:
            fin = _dearmored(fin)
            if identities:
                chosen = identities[0]
            else:
                fin, chosen = _choose_identity(
                    fin, args.identity, lambda path: load_identity(path, password, level), src_name
                )
            with _destination(args) as dst:
                rollback = isinstance(dst, OutputFile) and dst.atomic
                if not rollback:
                    counted = _CountingWriter(dst)
                    dst = cast(IO[bytes], counted)
                streaming.decrypt_file(
                    fin, dst, chosen[1], level=chosen[2], progress=progress
                )
    except TarnelError as e:
        message = _stream_error_message(e)
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
    if armor.is_armored(head):
        return io.BufferedReader(armor.ArmorReader(replay), 1 << 16)
    if armor.BEGIN_LINE in head:
        raise streaming.NotAStreamError(
            "not an encrypted stream: text comes before its armor BEGIN line"
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
    file) is reported and passed over. Returns a source that replays the
    head followed by the rest of ``fin``, and the identity that opened it.
    """
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
        return io.BufferedReader(_Replay(head, fin)), (path, secret_key, level)
    tried = ", ".join(paths)
    unopened = f"; could not open {', '.join(skipped)}" if skipped else ""
    raise _NoKeyOpens(f"no given key opens {name} (tried {tried}{unopened})")


def add_command(command: Command) -> None:
    """Add ``decrypt`` and its options to the parser through ``command``."""
    p = command(
        "decrypt", "decrypt with a secret key file",
        "Decrypt a stream, binary or armored (recognised by itself).",
    )
    p.add_argument(
        "-i", "--identity", required=True, action="append", metavar="SECRET_KEY",
        help="the secret key file written by keygen, or an unencrypted PKCS#8 "
        "file; repeat it to try several keys in turn",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--force", action="store_true", help="replace an existing output file")
    p.add_argument("--level", type=_level_arg, help=f"{LEVEL_HELP} (default: from the key)")
    _add_password_options(p)
    p.add_argument("input", nargs="?", metavar="IN", help="input file (default stdin)")
    p.set_defaults(run=run)
