"""The ``tarnel`` command: key generation, stream encryption and decryption,
and inspection of keys and streams.

Every failure ends with one line ``tarnel: error: ...`` on stderr and a
non-zero exit status: 2 for a usage error, 1 for anything else (130 when
interrupted). ``-`` or an absent path means stdin or stdout, so the command
works in pipes.
"""

from __future__ import annotations

import argparse
import base64
import getpass
import hashlib
import os
import struct
import sys
import tempfile
import time
from collections.abc import Sequence
from typing import IO, NoReturn, Optional

from . import streaming
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
)

PROG = "tarnel"
PASSWORD_ENV = "TARNEL_PASSWORD"
PROGRESS_THRESHOLD = 16 * 1024 * 1024

_PUBLIC_HEADER = "-----BEGIN ML-KEM PUBLIC KEY-----"
_PUBLIC_FOOTER = "-----END ML-KEM PUBLIC KEY-----"
_SECRET_HEADER = "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----"
_SECRET_FOOTER = "-----END ENCRYPTED ML-KEM PRIVATE KEY-----"
_BLOB_MAGIC = b"TRPK"
_BLOB_HEADER_LEN = 34
_BLOB_OVERHEAD = 50
_LEVELS = (512, 768, 1024)


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
    return streaming._level_object(value)


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


def _pem_body(text: str, header: str, footer: str) -> Optional[bytes]:
    """Decode the first block between header and footer, or None."""
    start = text.find(header)
    if start < 0:
        return None
    end = text.find(footer, start + len(header))
    if end < 0:
        return None
    body = "".join(text[start + len(header) : end].split())
    try:
        return base64.b64decode(body, validate=True)
    except ValueError:
        return None


# ---------------------------------------------------------------------------
# Keys


def load_recipient_key(
    path: str, level: Optional[SecurityLevel] = None
) -> tuple[bytes, SecurityLevel]:
    """Read a public key from a PEM block, a JSON document or Base64 text.

    The level is taken from the document or the key's length; ``level``,
    when given, must agree with it.
    """
    data = _read_key_file(path)
    text = _as_text(data)
    if text is None:
        raise CliError(f"{path}: not a public key file (binary data)")
    try:
        if _PUBLIC_HEADER in text:
            key = _load_public_pem_any_level(text)
        elif '"public_key"' in text:
            key, _ = load_public_key_json(text)
        elif _SECRET_HEADER in text:
            raise CliError(
                f"{path} holds a secret key; encrypt needs the recipient's "
                "public key"
            )
        else:
            key = _load_public_b64_any_level(text, path)
        return key, streaming.public_key_level(key, level)
    except (KeySerializationError, InvalidParameterError, TarnelError) as e:
        if isinstance(e, DecryptionError):
            raise
        raise CliError(f"{path}: {e}") from None


def _load_public_pem_any_level(text: str) -> bytes:
    last: Optional[InvalidParameterError] = None
    for value in _LEVELS:
        try:
            return load_public_key_pem(text, streaming._level_object(value))
        except InvalidParameterError as e:
            last = e
    assert last is not None
    raise InvalidParameterError(
        "the public key block holds no ML-KEM-512, -768 or -1024 key"
    ) from last


def _load_public_b64_any_level(text: str, path: str) -> bytes:
    for value in _LEVELS:
        try:
            return deserialize_public_key(text, streaming._level_object(value))
        except InvalidParameterError:
            continue
        except TarnelError:
            break
    raise CliError(
        f"{path}: not a public key file (expected a public key block, "
        "a JSON public key document or Base64 text)"
    )


def load_identity(
    path: str, password: "_Password", level: Optional[SecurityLevel] = None
) -> tuple[bytes, SecurityLevel]:
    """Read and unwrap the secret key file written by ``keygen``."""
    data = _read_key_file(path)
    text = _as_text(data)
    pem: Optional[str] = None
    if text is not None and _SECRET_HEADER in text:
        pem = text
    elif data.startswith(_BLOB_MAGIC):
        pass
    elif text is not None and (_PUBLIC_HEADER in text or '"public_key"' in text):
        raise CliError(
            f"{path} holds a public key; decrypt needs the secret key file "
            "written by keygen"
        )
    else:
        raise CliError(f"{path}: not a secret key file")
    try:
        pw = password.get(f"Password for {path}: ")
        if pem is not None:
            secret_key, key_level = load_secret_key_pem(pem, pw)
        else:
            secret_key, key_level = load_secret_key_raw(data, pw)
    except DecryptionError:
        raise CliError(
            f"{path}: wrong password, or the secret key file is damaged"
        ) from None
    except TarnelError as e:
        raise CliError(f"{path}: {e}") from None
    if level is not None and int(level) != int(key_level):
        raise CliError(
            f"--level {int(level)} contradicts the secret key in {path}, "
            f"which is {_level_name(key_level)}"
        )
    return secret_key, key_level


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


def _cmd_keygen(args: argparse.Namespace) -> int:
    level = _level(args.level) or SecurityLevel.ML_KEM_768
    if args.output is not None and args.output != "-":
        pub_path = args.output + ".pub"
        key_path = args.output + ".key"
        if not args.force:
            for p in (pub_path, key_path):
                if os.path.exists(p):
                    raise CliError(f"{p} exists (use --force to replace it)")
    else:
        pub_path = key_path = None
    password = _Password(args, confirm=True).get("Password for the new key: ")
    if not password:
        raise CliError("an empty password is refused")
    pair = generate_keypair(level)
    if args.public_format == "json":
        public_text = pair.public_key_json() + "\n"
    else:
        public_text = pair.public_key_pem()
    secret_text = pair.export_secret_key_pem(password)
    if pub_path is None or key_path is None:
        sys.stdout.write(public_text + secret_text)
        sys.stdout.flush()
    else:
        _write_atomic(key_path, secret_text.encode("ascii"), 0o600)
        _write_atomic(pub_path, public_text.encode("ascii"), 0o644)
        print(f"wrote {pub_path} and {key_path}", file=sys.stderr)
    print(
        f"{_level_name(level)} public key fingerprint "
        f"{_fingerprint(pair.public_key)}",
        file=sys.stderr,
    )
    return 0


def _write_atomic(path: str, data: bytes, mode: int) -> None:
    try:
        with streaming._atomic_output(path) as f:
            f.write(data)
            os.fchmod(f.fileno(), mode)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror}") from None


def _cmd_encrypt(args: argparse.Namespace) -> int:
    key, level = load_recipient_key(args.recipient, _level(args.level))
    to_stdout = _is_stdio(args.output)
    if to_stdout and sys.stdout.isatty():
        raise CliError(
            "refusing to write encrypted data to a terminal: use -o or a pipe",
            2,
        )
    src = sys.stdin.buffer if _is_stdio(args.input) else args.input
    dst = sys.stdout.buffer if to_stdout else args.output
    progress = _Progress("encrypting", _show_progress(args))
    try:
        streaming.encrypt_file(
            src,
            dst,
            key,
            level=level,
            chunk_size=args.chunk_size,
            progress=progress,
        )
    finally:
        progress.finish()
    return 0


def _cmd_decrypt(args: argparse.Namespace) -> int:
    secret_key, level = load_identity(args.identity, _Password(args), _level(args.level))
    to_stdout = _is_stdio(args.output)
    src = sys.stdin.buffer if _is_stdio(args.input) else args.input
    dst = sys.stdout.buffer if to_stdout else args.output
    progress = _Progress("decrypting", _show_progress(args))
    try:
        streaming.decrypt_file(src, dst, secret_key, level=level, progress=progress)
    except TarnelError as e:
        message = _stream_error_message(e)
        if to_stdout:
            message += "; the output written so far is incomplete and must not be trusted"
        else:
            message += "; no output file was written"
        raise CliError(message) from None
    finally:
        progress.finish()
    return 0


def _stream_error_message(e: TarnelError) -> str:
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
        spool = tempfile.TemporaryFile()
        while block := sys.stdin.buffer.read(1 << 20):
            spool.write(block)
        spool.seek(0)
        return _inspect_open(spool, "stdin", args)
    try:
        f = open(args.file, "rb")
    except OSError as e:
        raise CliError(f"cannot read {args.file}: {e.strerror}") from None
    with f:
        return _inspect_open(f, args.file, args)


def _inspect_open(f: IO[bytes], name: str, args: argparse.Namespace) -> int:
    head = f.read(1 << 16)
    text = _as_text(head)
    lines: list[tuple[str, str]]
    if text is not None and _PUBLIC_HEADER in text:
        lines = _describe_public_pem(text, name)
    elif text is not None and _SECRET_HEADER in text:
        blob = _pem_body(text, _SECRET_HEADER, _SECRET_FOOTER)
        if blob is None:
            raise CliError(f"{name}: the encrypted secret key block is damaged")
        lines = [("type", "password-protected ML-KEM secret key (PEM block)")]
        lines += _describe_blob(blob, name)
    elif text is not None and '"public_key"' in text:
        try:
            key, level = load_public_key_json(text.strip())
        except TarnelError as e:
            raise CliError(f"{name}: {e}") from None
        lines = [("type", "ML-KEM public key (JSON document)")]
        lines += _describe_public(key, level)
    elif head.startswith(_BLOB_MAGIC):
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
    if _SECRET_HEADER in text:
        blob = _pem_body(text, _SECRET_HEADER, _SECRET_FOOTER)
        if blob is not None:
            lines.append(("also holds", "password-protected secret key"))
            lines += _describe_blob(blob, name)
    return lines


def _describe_blob(blob: bytes, name: str) -> list[tuple[str, str]]:
    if len(blob) < _BLOB_OVERHEAD or not blob.startswith(_BLOB_MAGIC):
        raise CliError(f"{name}: not a wrapped secret key")
    version, level_id = blob[4], blob[5]
    if level_id > 2:
        raise CliError(f"{name}: unknown level_id {level_id} in the wrapped key")
    value = _LEVELS[level_id]
    key_len = len(blob) - _BLOB_OVERHEAD
    return [
        ("level", _level_name(value)),
        ("format version", str(version)),
        ("secret key", f"{key_len} bytes, AES-256-GCM under a password-derived key"),
    ]


def _walk_stream(
    f: IO[bytes], level: int, size: int
) -> tuple[str, int, int, int]:
    """Follow the framing at ``level`` without decrypting.

    Returns (status, chunk_size, data frames, ciphertext bytes); status is
    "complete", "truncated", "trailing", "oversized" or "bad-header".
    """
    hlen = streaming.stream_header_length(level)
    f.seek(0)
    header = f.read(hlen)
    if len(header) < hlen:
        return "bad-header", 0, 0, 0
    (chunk_size,) = struct.unpack(">I", header[-4:])
    if not 1 <= chunk_size <= streaming.MAX_CHUNK_SIZE:
        return "bad-header", chunk_size, 0, 0
    pos, frames, body = hlen, 0, 0
    while True:
        if pos + 4 > size:
            return "truncated", chunk_size, frames, body
        f.seek(pos)
        (length,) = struct.unpack(">I", f.read(4))
        if length > chunk_size:
            return "oversized", chunk_size, frames, body
        pos += 4 + length + streaming.TAG_LEN
        if pos > size:
            return "truncated", chunk_size, frames, body
        if length == 0:
            return ("complete" if pos == size else "trailing"), chunk_size, frames, body
        frames += 1
        body += length


def _describe_stream(
    f: IO[bytes], name: str, forced: Optional[SecurityLevel]
) -> tuple[list[tuple[str, str]], bool]:
    size = f.seek(0, os.SEEK_END)
    levels = [int(forced)] if forced is not None else list(_LEVELS)
    walks = {v: _walk_stream(f, v, size) for v in levels}
    complete = [v for v in levels if walks[v][0] == "complete"]
    plausible = [v for v in levels if walks[v][0] != "bad-header"]
    if len(complete) == 1:
        chosen = complete[0]
    elif len(plausible) == 1:
        chosen = plausible[0]
    elif not plausible:
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
        "bad-header": "not reached: the header's chunk size is invalid",
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


def _add_password_options(p: argparse.ArgumentParser) -> None:
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


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Post-quantum file encryption with ML-KEM and AES-256-GCM.",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="no progress line on stderr"
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    level_help = "security level 512, 768 or 1024"

    p = sub.add_parser("keygen", help="generate a key pair")
    p.add_argument("--level", type=_level_arg, help=f"{level_help} (default 768)")
    p.add_argument(
        "-o",
        "--output",
        metavar="PREFIX",
        help="write PREFIX.pub and PREFIX.key (default: both blocks to stdout)",
    )
    p.add_argument(
        "--public-format",
        choices=("pem", "json"),
        default="pem",
        help="form of the public key (default pem)",
    )
    p.add_argument("--force", action="store_true", help="replace existing files")
    _add_password_options(p)
    p.set_defaults(run=_cmd_keygen)

    p = sub.add_parser("encrypt", help="encrypt to a public key")
    p.add_argument(
        "-r", "--recipient", required=True, metavar="PUBLIC_KEY",
        help="the recipient's public key file (PEM block, JSON or Base64 text)",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--level", type=_level_arg, help=f"{level_help} (default: from the key)")
    p.add_argument(
        "--chunk-size", type=_chunk_size_arg, default=streaming.DEFAULT_CHUNK_SIZE,
        metavar="BYTES", help=f"plaintext bytes per frame (default {streaming.DEFAULT_CHUNK_SIZE})",
    )
    p.add_argument("input", nargs="?", metavar="IN", help="input file (default stdin)")
    p.set_defaults(run=_cmd_encrypt)

    p = sub.add_parser("decrypt", help="decrypt with a secret key file")
    p.add_argument(
        "-i", "--identity", required=True, metavar="SECRET_KEY",
        help="the secret key file written by keygen",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--level", type=_level_arg, help=f"{level_help} (default: from the key)")
    _add_password_options(p)
    p.add_argument("input", nargs="?", metavar="IN", help="input file (default stdin)")
    p.set_defaults(run=_cmd_decrypt)

    p = sub.add_parser("inspect", help="describe a key file or an encrypted stream")
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        status: int = args.run(args)
        return status
    except CliError as e:
        return _fail(str(e), e.status)
    except BrokenPipeError:
        # The reader went away; silence the interpreter's final flush too.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError:
            pass
        return _fail("output closed before the end", 1)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except streaming.StreamError as e:
        return _fail(_stream_error_message(e), 1)
    except TarnelError as e:
        return _fail(str(e), 1)
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        return _fail(f"{where}{e.strerror or e}", 1)
