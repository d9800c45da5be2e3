"""The ``tarnel`` command: key generation, stream encryption and decryption,
and inspection of keys and streams.

Every failure ends with one line ``tarnel: error: ...`` on stderr and a
non-zero exit status: 2 for a usage error, 1 for anything else (130 when
interrupted, 128 + N after signal N), and 3 with a warning when an output is
in place but could not be made durable. ``-`` or an absent path means stdin
or stdout, so the command works in pipes. Output files appear whole or not
at all, and an existing file is replaced only with ``--force``.
"""

from __future__ import annotations

import argparse
import base64
import getpass
import hashlib
import io
import os
import signal
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from types import FrameType
from typing import IO, TYPE_CHECKING, NoReturn, Optional, cast

from . import _formats, armor, keyfile, pkcs, streaming
from ._files import OutputFile, OutputNotDurableError
from ._wipe import wipe_bytes
from ._formats import (
    JSON_PUBLIC_KEY_FIELD,
    LEVELS,
    PUBLIC_PEM_HEADER,
    SECRET_PEM_HEADER,
)
from ._tarnel_core import (
    DecryptionError,
    InvalidParameterError,
    KeySerializationError,
    SecurityLevel,
    TarnelError,
    deserialize_public_key,
    generate_keypair,
    load_public_key_json,
    load_public_key_pem,
    load_secret_key_pem,
    load_secret_key_raw,
    serialize_public_key,
)

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer

PROG = "tarnel"
PASSWORD_ENV = "TARNEL_PASSWORD"
PROGRESS_THRESHOLD = 16 * 1024 * 1024


class CliError(Exception):
    """A failure reported as one message line and an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


# ---------------------------------------------------------------------------
# Small helpers


def _level(value: Optional[int]) -> Optional[SecurityLevel]:
    if value is None:
        return None
    return _formats.level_object(value)


def _level_name(level: SecurityLevel | int) -> str:
    return f"ML-KEM-{int(level)}"


def _fingerprint(public_key: bytes) -> str:
    """First 8 bytes of SHA3-256 of the public key, in hexadecimal."""
    return hashlib.sha3_256(public_key).hexdigest()[:16]


def _is_stdio(path: Optional[str]) -> bool:
    return path is None or path == "-"


def _read_key_file(path: str) -> bytes:
    if path == "-":
        raise CliError("a key file cannot be read from stdin", 2)
    try:
        with open(path, "rb") as f:
            data = f.read(1 << 20)
    except OSError as e:
        raise CliError(f"cannot read key file {path}: {e.strerror}") from None
    return data


def _as_text(data: bytes) -> Optional[str]:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


# ---------------------------------------------------------------------------
# Keys


def load_recipient_key(
    arg: str, level: Optional[SecurityLevel] = None
) -> tuple[bytes, SecurityLevel]:
    """The public key named by ``-r``: a key file, or the key text itself.

    A file may hold a public key block, a JSON document, Base64 text or an
    X.509 SubjectPublicKeyInfo key (PEM or DER); the argument itself may be
    any of the text forms. The level is taken from the document or the key's
    length; ``level``, when given, must agree with it.
    """
    if arg != "-" and not os.path.lexists(arg):
        try:
            key = _public_key_from_text(arg, "")
            return key, _checked_level(key, level, "the recipient key text")
        except CliError as e:
            reason = str(e).lstrip(": ")
            if reason.startswith("not a public key file"):
                reason = "expected a public key block, a JSON document or Base64 text"
            elif reason.startswith("holds a secret key"):
                reason = "it is a secret key; encrypt needs the recipient's public key"
        first = arg.strip().split("\n", 1)[0].strip()
        shown = first if first == arg and len(arg) <= 200 else first[:60] + "..."
        raise CliError(
            f"-r {shown}: neither a readable key file (No such file or "
            f"directory) nor public key text ({reason})"
        )
    data = _read_key_file(arg)
    text = _as_text(data)
    if text is None:
        if data[:1] == b"\x30":  # DER: SubjectPublicKeyInfo
            try:
                key = pkcs.load_public_key_spki(data)[0]
            except KeySerializationError as e:
                raise CliError(f"{arg}: {e}") from None
            return key, _checked_level(key, level, arg)
        raise CliError(f"{arg}: not a public key file (binary data)")
    key = _public_key_from_text(text, arg)
    return key, _checked_level(key, level, arg)


def _checked_level(
    key: bytes, level: Optional[SecurityLevel], where: str
) -> SecurityLevel:
    try:
        return streaming.public_key_level(key, level)
    except TarnelError as e:
        raise CliError(f"{where}: {e}") from None


def _public_key_from_text(text: str, where: str) -> bytes:
    """A public key from any of its text forms."""
    try:
        if PUBLIC_PEM_HEADER in text:
            return _load_public_pem_any_level(text)
        label = pkcs.pem_label(text)
        if label == "PUBLIC KEY":
            return pkcs.load_public_key_spki(text)[0]
        if JSON_PUBLIC_KEY_FIELD in text:
            return load_public_key_json(text.strip())[0]
        if label is not None and "PRIVATE KEY" in label or text.startswith(
            "ML-KEM-Key-File:"
        ):
            raise CliError(
                f"{where} holds a secret key; encrypt needs the recipient's "
                "public key"
            )
        return _load_public_b64_any_level(text, where)
    except (KeySerializationError, InvalidParameterError) as e:
        raise CliError(f"{where}: {e}") from None


def _load_public_pem_any_level(text: str) -> bytes:
    last: Optional[InvalidParameterError] = None
    for value in LEVELS:
        try:
            return load_public_key_pem(text, _formats.level_object(value))
        except InvalidParameterError as e:
            last = e
    assert last is not None
    raise InvalidParameterError(
        "the public key block holds no ML-KEM-512, -768 or -1024 key"
    ) from last


def _load_public_b64_any_level(text: str, where: str) -> bytes:
    for value in LEVELS:
        try:
            return deserialize_public_key(text, _formats.level_object(value))
        except InvalidParameterError:
            continue
        except TarnelError:
            break
    raise CliError(
        f"{where}: not a public key file (expected a public key block, "
        "a JSON public key document or Base64 text)"
    )


def _warn(message: str) -> None:
    try:
        sys.stderr.write(f"{PROG}: warning: {message}\n")
        sys.stderr.flush()
    except OSError:
        pass


def load_identity(
    path: str, password: "_Password", level: Optional[SecurityLevel] = None
) -> tuple[bytes, SecurityLevel]:
    """Read a secret key: a key file written by ``keygen`` (stretched, or
    the older unstretched forms), or an unencrypted PKCS#8 file."""
    data = _read_key_file(path)
    text = _as_text(data)
    label = pkcs.pem_label(text) if text is not None else None
    if label == "PRIVATE KEY" or (text is None and data[:1] == b"\x30"):
        loaded = _load_pkcs8(path, data)
    elif (text is not None and (text.startswith("ML-KEM-Key-File:") or SECRET_PEM_HEADER in text)) or data.startswith(_formats.BLOB_MAGIC):
        loaded = _load_key_file(path, data, password)
    elif label == "ENCRYPTED PRIVATE KEY":
        raise CliError(
            f"{path}: encrypted PKCS#8 is not read here; decrypt it with the "
            "tool that wrote it"
        )
    elif text is not None and (
        PUBLIC_PEM_HEADER in text or JSON_PUBLIC_KEY_FIELD in text or label == "PUBLIC KEY"
    ):
        raise CliError(
            f"{path} holds a public key; decrypt needs the secret key file "
            "written by keygen"
        )
    else:
        raise CliError(f"{path}: not a secret key file")
    secret_key, key_level = loaded
    if level is not None and int(level) != int(key_level):
        raise CliError(
            f"--level {int(level)} contradicts the secret key in {path}, "
            f"which is {_level_name(key_level)}"
        )
    return secret_key, key_level


def _load_pkcs8(path: str, data: bytes) -> tuple[bytes, SecurityLevel]:
    try:
        loaded = pkcs.load_secret_key_pkcs8(data)
    except KeySerializationError as e:
        raise CliError(f"{path}: {e}") from None
    _warn(
        f"{path} is an unencrypted PKCS#8 secret key: it is not protected by a "
        "passphrase (keep it private, or store it as a key file)"
    )
    _warn_permissions(path)
    return loaded


def _load_key_file(
    path: str, data: bytes, password: "_Password"
) -> tuple[bytes, SecurityLevel]:
    _warn_permissions(path)
    # keygen's standard output: the public key, then the key file.
    start = data.find(b"\nML-KEM-Key-File:")
    if start >= 0 and not data.startswith(b"ML-KEM-Key-File:"):
        data = data[start + 1 :]
    try:
        return keyfile.load_secret_key_text(data, password.get(f"Password for {path}: "))
    except DecryptionError:
        raise CliError(
            f"{path}: wrong password, or the secret key file is damaged"
        ) from None
    except TarnelError as e:
        raise CliError(f"{path}: {e}") from None


def _warn_permissions(path: str) -> None:
    warning = keyfile.key_file_permission_warning(path)
    if warning is not None:
        _warn(warning)


class _Password:
    """Where a password comes from: a file, a variable, or the terminal."""

    def __init__(self, args: argparse.Namespace, confirm: bool = False) -> None:
        self._file: Optional[str] = args.password_file
        self._env: Optional[str] = args.password_env
        self._confirm = confirm

    def get(self, prompt: str) -> bytes:
        if self._file is not None:
            try:
                with open(self._file, "rb") as f:
                    line = f.readline()
            except OSError as e:
                raise CliError(
                    f"cannot read password file {self._file}: {e.strerror}"
                ) from None
            return line.rstrip(b"\r\n")
        if self._env is not None:
            value = os.environ.get(self._env)
            if value is None:
                raise CliError(f"environment variable {self._env} is not set")
            return os.fsencode(value)
        value = os.environ.get(PASSWORD_ENV)
        if value is not None:
            return os.fsencode(value)
        return self._prompt(prompt)

    def _prompt(self, prompt: str) -> bytes:
        if not _has_terminal():
            raise CliError(
                "no password given and no terminal to ask for one: use "
                f"--password-file, --password-env or {PASSWORD_ENV}",
                2,
            )
        first = getpass.getpass(prompt)
        if self._confirm and getpass.getpass("Repeat the password: ") != first:
            raise CliError("the passwords do not match")
        return first.encode("utf-8")


def _has_terminal() -> bool:
    try:
        with open("/dev/tty", "rb"):
            return True
    except OSError:
        return sys.stdin.isatty()


# ---------------------------------------------------------------------------
# Progress


class _Progress:
    """A progress line on stderr, shown for large inputs on a terminal."""

    def __init__(self, label: str, enabled: bool) -> None:
        self.label = label
        self.enabled = enabled
        self.shown = False
        self._last = 0.0

    def __call__(self, done: int, total: Optional[int]) -> None:
        if not self.enabled:
            return
        big = (total or 0) >= PROGRESS_THRESHOLD or done >= PROGRESS_THRESHOLD
        now = time.monotonic()
        final = total is not None and done >= total
        if not big or (now - self._last < 0.1 and not final):
            return
        self._last = now
        mib = done / 1048576
        if total:
            pct = 100 * done // total
            line = f"{self.label}: {mib:.1f} / {total / 1048576:.1f} MiB ({pct}%)"
        else:
            line = f"{self.label}: {mib:.1f} MiB"
        sys.stderr.write("\r" + line + "\x1b[K")
        sys.stderr.flush()
        self.shown = True

    def finish(self) -> None:
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()
            self.shown = False


# ---------------------------------------------------------------------------
# Commands


# The output files of the running command (main() reports those in place
# when a signal ends it), and those committed but not made durable.
_OUTPUTS: list[OutputFile] = []
_NOT_DURABLE: list[str] = []
NOT_DURABLE_STATUS = 3


def _open_output(path: str, force: bool, secret: bool = False) -> OutputFile:
    """The output file at ``path``; an existing file only with ``force``."""
    try:
        out = OutputFile(path, replace=force, secret=secret)
    except FileExistsError:
        raise CliError(f"{path} exists (use --force to replace it)") from None
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None
    _OUTPUTS.append(out)
    return out


def _commit(out: OutputFile) -> None:
    """Put ``out`` in place. When it is in place but could not be made
    durable, say so and go on: the command then ends with status 3."""
    try:
        out.commit()
    except FileExistsError:
        raise CliError(f"{out.path} exists (use --force to replace it)") from None
    except OutputNotDurableError as e:
        _warn(
            f"{out.path} is complete and in place, but could not be made durable: "
            f"{e.strerror or e} (a crash may still lose it)"
        )
        _NOT_DURABLE.append(out.path)


def _stopped(what: str) -> str:
    """The message for a command stopped by a signal, naming the outputs it
    had already put in place."""
    placed = [out.path for out in _OUTPUTS if out.atomic and out.in_place()]
    if not placed:
        return what
    verb = "is" if len(placed) == 1 else "are"
    return f"{what}; {' and '.join(placed)} {verb} already complete and in place"


def _cmd_keygen(args: argparse.Namespace) -> int:
    level = _level(args.level) or SecurityLevel.ML_KEM_768
    if args.output is not None and args.output != "-":
        pub_path = args.output + ".pub"
        key_path = args.output + ".key"
        if not args.force:
            for p in (pub_path, key_path):
                if os.path.lexists(p) and _is_regular(p):
                    raise CliError(f"{p} exists (use --force to replace it)")
    else:
        pub_path = key_path = None
    if args.generate_passphrase:
        phrase = keyfile.generate_passphrase()
        password = phrase.encode("ascii")
    else:
        phrase = None
        password = _Password(args, confirm=True).get("Password for the new key: ")
        try:
            warning = keyfile.check_passphrase(password)
        except InvalidParameterError:
            raise CliError("an empty password is refused") from None
        if warning is not None:
            _warn(warning)
    pair = generate_keypair(level)
    public_text = public_key_text(pair.public_key, level, args.public_format)
    secret_text = keyfile.secret_key_file_text(pair, password)
    if pub_path is None or key_path is None:
        sys.stdout.write(public_text + secret_text)
        sys.stdout.flush()
    else:
        _write_pair(
            (key_path, secret_text.encode("ascii"), True),
            (pub_path, public_text.encode("ascii"), False),
            force=args.force,
        )
        print(f"wrote {pub_path} and {key_path}", file=sys.stderr)
    if phrase is not None:
        print(
            f"passphrase (shown only now, keep it safe): {phrase}",
            file=sys.stderr,
        )
    print(
        f"{_level_name(level)} public key fingerprint "
        f"{_fingerprint(pair.public_key)}",
        file=sys.stderr,
    )
    return 0


PUBLIC_FORMATS = ("pem", "json", "base64", "spki")


def public_key_text(public_key: bytes, level: SecurityLevel | int, form: str) -> str:
    """The public key in one of the text forms, ending with a newline."""
    value = int(level)
    if form == "spki":
        return pkcs.export_public_key_spki(public_key)
    b64url = serialize_public_key(public_key)
    if form == "base64":
        return b64url + "\n"
    if form == "json":
        return (
            '{"algorithm":"ML-KEM","level":"ML_KEM_%d","public_key":"%s"}\n'
            % (value, b64url)
        )
    body = base64.b64encode(public_key).decode("ascii")
    lines = [body[i : i + 64] for i in range(0, len(body), 64)]
    return "\n".join(
        [PUBLIC_PEM_HEADER, *lines, PUBLIC_PEM_HEADER.replace("BEGIN", "END"), ""]
    )


def _cmd_pubkey(args: argparse.Namespace) -> int:
    secret_key, level = load_identity(args.identity, _Password(args), _level(args.level))
    try:
        public_key = public_key_of(secret_key, int(level))
    finally:
        wipe_bytes(secret_key)
    text = public_key_text(public_key, level, args.format)
    if _is_stdio(args.output):
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        _write_pair((args.output, text.encode("ascii"), False), force=args.force)
    return 0


def public_key_of(secret_key: bytes, level: int) -> bytes:
    """The public key held inside an ML-KEM secret key.

    The secret key is dk_pke (384k bytes), the public key (384k + 32),
    the SHA3-256 of the public key, and z; the hash is checked.
    """
    k = _formats.PUBLIC_KEY_LEN[level] // 384
    start = 384 * k
    public_key = secret_key[start : start + 384 * k + 32]
    digest = secret_key[start + 384 * k + 32 : start + 384 * k + 64]
    if len(public_key) != 384 * k + 32 or hashlib.sha3_256(public_key).digest() != digest:
        raise CliError("the secret key is damaged: its public key does not match its hash")
    return public_key


def _is_regular(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def _write_pair(*files: tuple[str, bytes, bool], force: bool) -> None:
    """Write every file whole, then put them all in place, or none."""
    outs: list[OutputFile] = []
    placed: list[tuple[str, bool]] = []
    try:
        for path, data, secret in files:
            out = _open_output(path, force, secret)
            outs.append(out)
            out.write(data)
        for out in outs:
            existed = os.path.lexists(out.path)
            _commit(out)
            placed.append((out.path, existed))
    except BaseException:
        # Take back the files already in place that did not exist before.
        for path, existed in placed:
            if not existed:
                try:
                    os.unlink(path)
                except OSError:
                    pass
        raise
    finally:
        for out in outs:
            out.close()


def _cmd_encrypt(args: argparse.Namespace) -> int:
    if len(args.recipient) > 1:
        raise CliError(
            "a stream has exactly one recipient: give -r/--recipient once "
            f"(it was given {len(args.recipient)} times)",
            2,
        )
    key, level = load_recipient_key(args.recipient[0], _level(args.level))
    to_stdout = _is_stdio(args.output)
    if to_stdout and not args.armor and sys.stdout.isatty():
        raise CliError(
            "refusing to write encrypted data to a terminal: use -o, a pipe "
            "or -a/--armor",
            2,
        )
    progress = _Progress("encrypting", _show_progress(args))
    with _open_input(args.input) as src, _destination(args) as dst:
        try:
            out: IO[bytes] = dst
            if args.armor:
                out = cast(IO[bytes], armor.ArmorWriter(dst))
            streaming.encrypt_file(
                src,
                out,
                key,
                level=level,
                chunk_size=args.chunk_size,
                progress=progress,
            )
            if isinstance(out, armor.ArmorWriter):
                out.finish()
        finally:
            progress.finish()
    return 0


@contextmanager
def _destination(args: argparse.Namespace) -> Iterator[IO[bytes]]:
    """stdout, or the output file committed when the block succeeds."""
    if _is_stdio(args.output):
        yield sys.stdout.buffer
        return
    out = _open_output(args.output, args.force)
    try:
        yield cast(IO[bytes], out)
        _commit(out)
    finally:
        out.close()


def _cmd_decrypt(args: argparse.Namespace) -> int:
    password = _Password(args)
    identities = [
        (path, *load_identity(path, password, _level(args.level)))
        for path in args.identity
    ]
    src_name = "stdin" if _is_stdio(args.input) else args.input
    progress = _Progress("decrypting", _show_progress(args))
    rollback = True
    try:
        with _open_input(args.input) as fin:
            fin = _dearmored(fin)
            if len(identities) > 1:
                fin, chosen = _choose_identity(fin, identities, src_name)
            else:
                chosen = identities[0]
            with _destination(args) as dst:
                rollback = isinstance(dst, OutputFile) and dst.atomic
                streaming.decrypt_file(
                    fin, dst, chosen[1], level=chosen[2], progress=progress
                )
    except TarnelError as e:
        message = _stream_error_message(e)
        if rollback:
            message += "; no output file was written"
        else:
            message += "; the output written so far is incomplete and must not be trusted"
        raise CliError(message) from None
    finally:
        progress.finish()
    return 0


@contextmanager
def _open_input(path: Optional[str]) -> Iterator[IO[bytes]]:
    if _is_stdio(path):
        yield sys.stdin.buffer
        return
    assert path is not None
    with open(path, "rb") as f:
        yield f


def _dearmored(fin: IO[bytes]) -> IO[bytes]:
    """The input itself, or its decoded contents when it is armored."""
    try:
        start: Optional[int] = fin.tell() if fin.seekable() else None
    except OSError:
        start = None
    head = b""
    while len(head.lstrip(b" \t\r\n")) < armor.LINE_CHARS:
        more = fin.read(armor.LINE_CHARS)
        if not more or len(head) > armor.MAX_SURROUNDING_WHITESPACE:
            head += more
            break
        head += more
    if start is not None:
        fin.seek(start)  # a file: read again, so that its size stays known
        replay = fin
    else:
        replay = io.BufferedReader(_Replay(head, fin))
    if armor.is_armored(head):
        return io.BufferedReader(armor.ArmorReader(replay), 1 << 16)
    if armor.BEGIN_LINE in head:
        raise armor.ArmorError("armor: unexpected text before the BEGIN line")
    return replay


class _Replay(io.RawIOBase):
    """The bytes already read from a source, then the rest of the source."""

    def __init__(self, head: bytes, rest: IO[bytes]) -> None:
        super().__init__()
        self._head = head
        self._rest = rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "WriteableBuffer") -> int:
        with memoryview(buffer) as view:
            mv = view.cast("B")
            if self._head:
                n = min(len(mv), len(self._head))
                mv[:n] = self._head[:n]
                self._head = self._head[n:]
                return n
            data = self._rest.read(len(mv))
            if not data:
                return 0
            mv[: len(data)] = data
            return len(data)


class _NoKeyOpens(DecryptionError):
    pass


def _choose_identity(
    fin: IO[bytes],
    identities: list[tuple[str, bytes, SecurityLevel]],
    name: str,
) -> tuple[IO[bytes], tuple[str, bytes, SecurityLevel]]:
    """Find the identity that opens the stream's first frame.

    Reads the header and the first frame once, tries each key on them, and
    returns a source that replays them followed by the rest of ``fin``.
    """
    src = _formats.FrameSource(fin)
    head = src.read_exact(_formats.MAX_HEADER_LEN + _formats.LENGTH_LEN)
    head += src.read_exact(_formats.first_frame_end(head) - len(head))
    for identity in identities:
        _, secret_key, level = identity
        try:
            with streaming.StreamReader(io.BytesIO(head), secret_key, level=level) as r:
                r.read1()
        except streaming.StreamLevelError:
            continue  # a key of another level
        except streaming.StreamError:
            raise  # the stream itself is damaged
        except DecryptionError:
            continue  # the capsule is not for this key
        return io.BufferedReader(_Replay(head, fin)), identity
    tried = ", ".join(path for path, _, _ in identities)
    raise _NoKeyOpens(f"no given key opens {name} (tried {tried})")


def _stream_error_message(e: TarnelError) -> str:
    if isinstance(e, _NoKeyOpens):
        return f"decryption failed: {e}"
    if isinstance(e, (streaming.NotAStreamError, streaming.StreamLevelError)):
        return str(e)
    if isinstance(e, streaming.StreamError):
        return f"the stream is damaged: {e}"
    if isinstance(e, DecryptionError):
        return (
            "decryption failed: the stream was modified, or it was not "
            "encrypted to this key"
        )
    return str(e)


def _show_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


# ---------------------------------------------------------------------------
# inspect


def _cmd_inspect(args: argparse.Namespace) -> int:
    if args.file == "-":
        return _inspect_open(_spool(sys.stdin.buffer), "stdin", args)
    try:
        f = open(args.file, "rb")
    except OSError as e:
        raise CliError(f"cannot read {args.file}: {e.strerror}") from None
    with f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            return _inspect_open(_spool(f), args.file, args)
        return _inspect_open(f, args.file, args)


def _spool(f: IO[bytes]) -> IO[bytes]:
    """A seekable copy of a pipe or other sequential input."""
    spool = tempfile.TemporaryFile()
    while block := f.read(1 << 20):
        spool.write(block)
    spool.seek(0)
    return spool


def _inspect_open(f: IO[bytes], name: str, args: argparse.Namespace) -> int:
    head = f.read(1 << 16)
    text = _as_text(head)
    lines: list[tuple[str, str]]
    label = pkcs.pem_label(text) if text is not None else None
    if text is not None and PUBLIC_PEM_HEADER in text:
        lines = _describe_public_pem(text, name)
    elif text is not None and text.startswith("ML-KEM-Key-File:"):
        lines = _describe_key_file(text, name)
    elif text is not None and label == "PUBLIC KEY":
        try:
            key, level = pkcs.load_public_key_spki(text)
        except TarnelError as e:
            raise CliError(f"{name}: {e}") from None
        lines = [("type", "ML-KEM public key (X.509 SubjectPublicKeyInfo, PEM)")]
        lines += _describe_public(key, level)
    elif text is not None and label == "PRIVATE KEY":
        lines = _describe_pkcs8(text, name)
    elif armor.is_armored(head):
        f.seek(0)
        spool = tempfile.TemporaryFile()
        try:
            reader = armor.ArmorReader(f)
            while block := reader.read(1 << 20):
                spool.write(block)
        except armor.ArmorError as e:
            spool.close()
            raise CliError(f"{name}: {e}") from None
        with spool:
            lines, ok = _describe_stream(spool, name, _level(args.level))
        lines.insert(1, ("armor", "yes (text block, decoded)"))
        _print_fields(lines)
        return 0 if ok else 1
    elif text is not None and SECRET_PEM_HEADER in text:
        lines = [("type", "password-protected ML-KEM secret key (PEM block)")]
        lines += _describe_secret_pem(text, name)
    elif text is not None and JSON_PUBLIC_KEY_FIELD in text:
        try:
            key, level = load_public_key_json(text.strip())
        except TarnelError as e:
            raise CliError(f"{name}: {e}") from None
        lines = [("type", "ML-KEM public key (JSON document)")]
        lines += _describe_public(key, level)
    elif head.startswith(_formats.BLOB_MAGIC):
        f.seek(0)
        lines = [("type", "password-protected ML-KEM secret key (binary)")]
        lines += _describe_blob(f.read(1 << 20), name)
    else:
        lines, ok = _describe_stream(f, name, _level(args.level))
        _print_fields(lines)
        return 0 if ok else 1
    _print_fields(lines)
    return 0


def _print_fields(lines: list[tuple[str, str]]) -> None:
    for k, v in lines:
        print(f"{k}: {v}")


def _describe_public(key: bytes, level: SecurityLevel | int) -> list[tuple[str, str]]:
    return [
        ("level", _level_name(level)),
        ("public key", f"{len(key)} bytes"),
        ("fingerprint", _fingerprint(key)),
    ]


def _describe_public_pem(text: str, name: str) -> list[tuple[str, str]]:
    try:
        key = _load_public_pem_any_level(text)
    except TarnelError as e:
        raise CliError(f"{name}: {e}") from None
    lines = [("type", "ML-KEM public key (PEM block)")]
    lines += _describe_public(key, streaming.public_key_level(key))
    if SECRET_PEM_HEADER in text:
        try:
            more = _describe_secret_pem(text, name)
        except CliError:
            more = []
        if more:
            lines.append(("also holds", "password-protected secret key"))
            lines += more
    return lines


def _describe_key_file(text: str, name: str) -> list[tuple[str, str]]:
    try:
        params = keyfile.key_file_scrypt_params(text)
    except TarnelError as e:
        raise CliError(f"{name}: {e}") from None
    assert params is not None
    lines = [
        ("type", "passphrase-protected ML-KEM secret key (key file)"),
        ("key stretch", f"scrypt, N = 2^{params.log2_n}, r = {params.r}, "
                        f"p = {params.p} ({params.memory >> 20} MiB per guess)"),
    ]
    return lines + _describe_secret_pem(text, name)


def _describe_pkcs8(text: str, name: str) -> list[tuple[str, str]]:
    try:
        secret_key, level = pkcs.load_secret_key_pkcs8(text)
    except TarnelError as e:
        raise CliError(f"{name}: {e}") from None
    try:
        public_key = public_key_of(secret_key, int(level))
    finally:
        wipe_bytes(secret_key)
    return [
        ("type", "ML-KEM secret key (PKCS#8, PEM), NOT protected by a passphrase"),
        ("level", _level_name(level)),
        ("secret key", f"{_formats.SECRET_KEY_LEN[int(level)]} bytes"),
        ("public key fingerprint", _fingerprint(public_key)),
    ]


def _check_wrapped(load: "Callable[[], object]", name: str) -> Optional[int]:
    """Run a loader with an empty password to learn whether it accepts the
    key's structure: return the level when it opens, None when only the
    password is wrong; raise when the loader refuses the key itself."""
    try:
        result = load()
    except DecryptionError:
        return None
    except TarnelError as e:
        raise CliError(f"{name}: {e}") from None
    _, opened = cast("tuple[bytes, SecurityLevel]", result)
    return int(opened)


def _describe_secret_pem(text: str, name: str) -> list[tuple[str, str]]:
    level = _check_wrapped(lambda: load_secret_key_pem(text, b""), name)
    # Accepted by the loader: the block is strict Base64 of a version 1
    # blob, so its size follows from the count of Base64 characters.
    start = text.index(SECRET_PEM_HEADER) + len(SECRET_PEM_HEADER)
    end = text.index(_formats.SECRET_PEM_FOOTER, start)
    body = text[start:end]
    chars = sum(1 for c in body if c.isascii() and (c.isalnum() or c in "+/"))
    pads = body.count("=")
    size = (chars + pads) // 4 * 3 - pads
    return _blob_lines(size, level, name)


def _describe_blob(blob: bytes, name: str) -> list[tuple[str, str]]:
    level = _check_wrapped(lambda: load_secret_key_raw(blob, b""), name)
    if level is None:
        level = LEVELS[blob[_formats.BLOB_LEVEL_OFFSET]]
    return _blob_lines(len(blob), level, name)


def _blob_lines(size: int, level: Optional[int], name: str) -> list[tuple[str, str]]:
    if level is None:
        by_size = [v for v, n in _formats.BLOB_LEN.items() if n == size]
        if not by_size:
            raise CliError(f"{name}: the wrapped secret key has no level's size")
        level = by_size[0]
    return [
        ("level", _level_name(level)),
        ("format version", "1"),
        ("secret key", f"{size - _formats.BLOB_OVERHEAD} bytes, "
                       "AES-256-GCM under a password-derived key"),
    ]


def _walk_stream(f: IO[bytes], level: int) -> tuple[str, int, int, int]:
    """Follow the framing at ``level`` without decrypting.

    Returns (status, chunk_size, data frames, ciphertext bytes); status is
    "complete", "truncated", "trailing", "oversized" or "bad-header".
    """
    f.seek(0)
    src = _formats.FrameSource(f)
    try:
        header = src.read_header(level)
    except streaming.StreamError:
        return "bad-header", 0, 0, 0
    chunk_size = _formats.header_chunk_size(header, level) or 0
    frames = body = 0
    try:
        while True:
            length, _ = src.next_frame(chunk_size, frames)
            if length == 0:
                src.check_end()
                return "complete", chunk_size, frames, body
            frames += 1
            body += length
    except streaming.TruncatedStreamError:
        return "truncated", chunk_size, frames, body
    except streaming.FrameTooLargeError:
        return "oversized", chunk_size, frames, body
    except streaming.TrailingDataError:
        return "trailing", chunk_size, frames, body


def _describe_stream(
    f: IO[bytes], name: str, forced: Optional[SecurityLevel]
) -> tuple[list[tuple[str, str]], bool]:
    size = f.seek(0, os.SEEK_END)
    levels = [int(forced)] if forced is not None else list(LEVELS)
    walks = {v: _walk_stream(f, v) for v in levels}
    complete = [v for v in levels if walks[v][0] == "complete"]
    plausible = [v for v in levels if walks[v][0] != "bad-header"]
    if len(complete) == 1:
        chosen = complete[0]
    elif len(plausible) == 1:
        chosen = plausible[0]
    elif not plausible:
        if forced is not None:
            others = [v for v in LEVELS if v != int(forced) and _walk_stream(f, v)[0] != "bad-header"]
            if others:
                raise CliError(
                    f"{name}: the stream was made for another security level "
                    f"({_level_name(others[0])}), not {_level_name(int(forced))}"
                )
        raise CliError(f"{name}: not a key file or an encrypted stream")
    else:
        raise CliError(
            f"{name}: the stream's level is ambiguous "
            f"({', '.join(_level_name(v) for v in (complete or plausible))}); "
            "give it with --level"
        )
    status, chunk_size, frames, body = walks[chosen]
    how = "given" if forced is not None else "inferred from the framing"
    verdict = {
        "complete": "present, nothing after it",
        "truncated": "MISSING: the stream is truncated",
        "trailing": "present, but followed by extra data",
        "oversized": "not reached: a frame exceeds the chunk size",
    }[status]
    lines = [
        ("type", "encrypted stream"),
        ("level", f"{_level_name(chosen)} ({how})"),
        ("header", f"{streaming.stream_header_length(chosen)} bytes"),
        ("chunk size", f"{chunk_size} bytes"),
        ("data frames", str(frames)),
        ("plaintext", f"{body} bytes"),
        ("stream size", f"{size} bytes"),
        ("end-of-stream marker", verdict),
    ]
    return lines, status == "complete"


# ---------------------------------------------------------------------------
# Parser and entry point


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        raise CliError(message, 2)


def _level_arg(text: str) -> int:
    value = text.upper().replace("ML-KEM-", "").replace("ML_KEM_", "")
    if value not in ("512", "768", "1024"):
        raise argparse.ArgumentTypeError(
            f"invalid level {text!r} (choose 512, 768 or 1024)"
        )
    return int(value)


def _chunk_size_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid chunk size {text!r}") from None
    if not 1 <= value <= streaming.MAX_CHUNK_SIZE:
        raise argparse.ArgumentTypeError(
            f"chunk size must be between 1 and {streaming.MAX_CHUNK_SIZE} bytes"
        )
    return value


def _add_password_options(p: argparse.ArgumentParser) -> "argparse._MutuallyExclusiveGroup":
    g = p.add_mutually_exclusive_group()
    g.add_argument(
        "--password-file",
        metavar="FILE",
        help="read the password from the first line of FILE",
    )
    g.add_argument(
        "--password-env",
        metavar="NAME",
        help=f"read the password from the environment variable NAME "
        f"(default: {PASSWORD_ENV} when set, else ask on the terminal)",
    )
    return g


EXIT_STATUS = (
    ("0", "success (for inspect: a key file, or a complete stream)"),
    ("1", "failure: unreadable or invalid key, wrong password, damaged or "
          "truncated stream, bad armor, I/O error; inspect of an incomplete stream"),
    ("2", "usage error: unknown option, bad value, no password and no terminal, "
          "binary output to a terminal"),
    ("3", "the output is complete and in place, but could not be made durable "
          "(syncing its directory or closing it failed); a warning names it"),
    ("130", "interrupted (Ctrl-C); an output already in place when the signal "
            "came is named in the message"),
    ("128+N", "terminated by signal N (TERM, HUP), likewise; 141 when the reader of "
              "stdout goes away"),
)


def _exit_status_epilog() -> str:
    lines = ["exit status:"]
    lines += [f"  {code:<6} {text}" for code, text in EXIT_STATUS]
    return "\n".join(lines)


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, help=cast(str, kwargs.get("help")))

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: Optional[str] = None) -> None:
        from ._about import version_text

        sys.stdout.write(version_text())
        sys.stdout.flush()
        parser.exit(0)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Post-quantum file encryption with ML-KEM and AES-256-GCM.",
        epilog=_exit_status_epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action=_VersionAction,
        help="print the version of tarnel and of the OpenSSL it runs on",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="no progress line on stderr"
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    level_help = "security level 512, 768 or 1024"
    formats_help = (
        "pem (a public key block), json (a JSON document), base64 (URL-safe "
        "Base64 text) or spki (X.509 SubjectPublicKeyInfo, PEM)"
    )

    def command(name: str, help: str, description: str) -> argparse.ArgumentParser:
        return sub.add_parser(
            name, help=help, description=description, epilog=_exit_status_epilog(),
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )

    p = command(
        "keygen", "generate a key pair",
        "Generate a key pair: the public key, and the secret key in a key file "
        "protected by a passphrase (stretched with scrypt, N = 2^17, r = 8, p = 1).",
    )
    p.add_argument("--level", type=_level_arg, help=f"{level_help} (default 768)")
    p.add_argument(
        "-o",
        "--output",
        metavar="PREFIX",
        help="write PREFIX.pub and PREFIX.key (default: both to stdout)",
    )
    p.add_argument(
        "--public-format",
        choices=PUBLIC_FORMATS,
        default="pem",
        help=f"form of the public key: {formats_help} (default pem)",
    )
    p.add_argument("--force", action="store_true", help="replace existing files")
    g = _add_password_options(p)
    g.add_argument(
        "--generate-passphrase", action="store_true",
        help="generate a random passphrase (150 bits) and show it once on stderr",
    )
    p.set_defaults(run=_cmd_keygen)

    p = command(
        "encrypt", "encrypt to a public key",
        "Encrypt IN to the recipient's public key, as a binary stream or, with "
        "-a, as a text block.",
    )
    p.add_argument(
        "-r", "--recipient", required=True, action="append", metavar="RECIPIENT",
        help="the recipient's public key: a file (public key block, JSON, "
        "Base64 text, or X.509 SubjectPublicKeyInfo) or the key text itself; "
        "a stream has exactly one recipient",
    )
    p.add_argument(
        "-a", "--armor", action="store_true",
        help="write the stream as a text block (Base64 between BEGIN and END lines)",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--force", action="store_true", help="replace an existing output file")
    p.add_argument("--level", type=_level_arg, help=f"{level_help} (default: from the key)")
    p.add_argument(
        "--chunk-size", type=_chunk_size_arg, default=streaming.DEFAULT_CHUNK_SIZE,
        metavar="BYTES", help=f"plaintext bytes per frame (default {streaming.DEFAULT_CHUNK_SIZE})",
    )
    p.add_argument("input", nargs="?", metavar="IN", help="input file (default stdin)")
    p.set_defaults(run=_cmd_encrypt)

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
    p.add_argument("--level", type=_level_arg, help=f"{level_help} (default: from the key)")
    _add_password_options(p)
    p.add_argument("input", nargs="?", metavar="IN", help="input file (default stdin)")
    p.set_defaults(run=_cmd_decrypt)

    p = command(
        "pubkey", "print the public key of a secret key file",
        "Print the public key held in a secret key file (the key file asks "
        "for its passphrase).",
    )
    p.add_argument(
        "-i", "--identity", required=True, metavar="SECRET_KEY",
        help="the secret key file written by keygen, or an unencrypted PKCS#8 file",
    )
    p.add_argument(
        "--format", choices=PUBLIC_FORMATS, default="pem",
        help=f"form of the public key: {formats_help} (default pem)",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--force", action="store_true", help="replace an existing output file")
    p.add_argument("--level", type=_level_arg, help=f"{level_help} (default: from the key)")
    _add_password_options(p)
    p.set_defaults(run=_cmd_pubkey)

    p = command(
        "inspect", "describe a key file or an encrypted stream",
        "Describe a key file or an encrypted stream (binary or armored) "
        "without a key.",
    )
    p.add_argument("--level", type=_level_arg, help=f"{level_help} of a stream")
    p.add_argument("file", metavar="FILE", help="the file to describe (- for stdin)")
    p.set_defaults(run=_cmd_inspect)
    return parser


def _fail(message: str, status: int) -> int:
    try:
        sys.stderr.write(f"{PROG}: error: {message}\n")
        sys.stderr.flush()
    except OSError:
        pass
    return status


class _Terminated(BaseException):
    """A termination signal arrived: unwind so that outputs are discarded."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _on_signal(signum: int, frame: Optional[FrameType]) -> None:
    raise _Terminated(signum)


@contextmanager
def _termination_unwinds() -> Iterator[None]:
    """SIGTERM and SIGHUP unwind the command like SIGINT does (unless they
    are ignored, as under nohup), so no temporary file is left behind."""
    saved = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is None:
            continue
        try:
            if signal.getsignal(signum) is signal.SIG_DFL:
                saved[signum] = signal.signal(signum, _on_signal)
        except ValueError:  # not the main thread
            pass
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


def _quiet_stdout() -> None:
    """Silence the interpreter's final flush of a closed stdout."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


# Longer than any option: text after -r/--recipient that starts with "-" and
# is this long is key text (URL-safe Base64 may start with "-"), not an option.
_KEY_TEXT_MIN = 64


def _joined_key_text(argv: Sequence[str]) -> list[str]:
    """``argv`` with ``-r KEY`` written ``--recipient=KEY`` where KEY starts
    with "-", which the parser would otherwise take for an option."""
    out: list[str] = []
    args = list(argv)
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--":
            out.extend(args[i:])
            break
        nxt = args[i + 1] if i + 1 < len(args) else ""
        if arg in ("-r", "--recipient") and nxt.startswith("-") and len(nxt) >= _KEY_TEXT_MIN:
            out.append(f"--recipient={nxt}")
            i += 2
            continue
        out.append(arg)
        i += 1
    return out


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; return the exit status."""
    parser = build_parser()
    _OUTPUTS.clear()
    _NOT_DURABLE.clear()
    try:
        with _termination_unwinds():
            args = parser.parse_args(_joined_key_text(sys.argv[1:] if argv is None else argv))
            status: int = args.run(args)
            sys.stdout.flush()
            if status == 0 and _NOT_DURABLE:
                status = NOT_DURABLE_STATUS
            return status
    except CliError as e:
        return _fail(str(e), e.status)
    except BrokenPipeError:
        # The reader went away: end quietly, as Unix tools do.
        _quiet_stdout()
        return 128 + int(signal.SIGPIPE)
    except _Terminated as e:
        name = signal.Signals(e.signum).name
        return _fail(_stopped(f"terminated by {name}"), 128 + e.signum)
    except KeyboardInterrupt:
        return _fail(_stopped("interrupted"), 130)
    except streaming.StreamError as e:
        return _fail(_stream_error_message(e), 1)
    except TarnelError as e:
        return _fail(str(e), 1)
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        return _fail(f"{where}{e.strerror or e}", 1)
