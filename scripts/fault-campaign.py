#!/usr/bin/env python3
"""Fault campaign for the command line and the file functions.

A developer tool, not part of the test suite. It runs the ``tarnel``
command (``python -m tarnel``) and the file functions of the package
(``encrypt_file``, ``decrypt_file``, ``keyfile.save_secret_key``) in
children, under faults, and checks after every run what must hold:

(a) the exit status is a documented one (0, 1, 2, 3, 130, 128+N);
(b) no Python traceback on stderr;
(c) when the status is not 0, the last stderr line is ``tarnel: error: ...``
    or ``tarnel: warning: ...`` (status 3: a warning);
(d) the output path holds its old content (or nothing, when there was
    none), or the new output whole and correct; status 0 and 3 only with
    the new output whole, status 1 never with a new output that the
    message does not call in place; standard output only ever carries a
    prefix of the plaintext, all of it on status 0;
(e) nothing else is left in the output directory (no ``.part``, ``.old``,
    probe or other name);
(f) keygen: the old pair, or a complete matching new pair (none at all
    when there was none), never a mix;
(g) an EIO or ENOSPC injected into a write or a sync of the output (its
    file or its directory) never ends with status 0;
(h) no message names a temporary or backup file.

Fault classes:

- ``errors``: for each scenario the system calls are first recorded
  (``strace -f -y``), then for each relevant call and occurrence N after
  the command line is loaded (sampled above a cap) an error is injected
  with ``strace -e inject=CALL:error=E:when=N`` (EIO, ENOSPC, EINTR; EACCES
  and EPERM where a path is opened, linked, renamed or removed);
- ``signal``: SIGINT, SIGTERM or SIGHUP injected at the entry of a call
  (``inject=CALL:signal=S:when=N``);
- ``double``: keygen --force with a fault while the pair moves and a second
  one while it is taken back (a mixed pair must then be said);
- ``delay``: the commit's calls held at entry (``delay_enter``) while a
  signal is sent;
- ``large``: a signal at a random moment of a 200 MB encrypt or decrypt
  (in /dev/shm when it exists);
- ``full``: a 3 MiB tmpfs filled to many levels (root only; otherwise
  skipped), and RLIMIT_FSIZE in the child;
- ``keys``: random and mutated key files and ``-r`` texts: no traceback,
  no secret bytes in any message;
- ``writers``: two commands, and eight threads, writing one output path
  at once;
- ``diff``: damaged streams and multi-recipient files, plain and armored,
  opened in process by the native path (a file into a file) and by the
  chunk-by-chunk path (in memory): the same plaintext or the same exception
  and message, and nothing left by a failure;
- ``keytext``: every key loader, in process, on mutated key texts: a key or
  a TarnelError, and no secret text in a message.

The in-process classes can run against a sanitizer build of the package:
``TARNEL_CAMPAIGN_PACKAGE=build-asan/python`` with libasan preloaded.

Use: ``python3 scripts/fault-campaign.py [--quick] [--only CLASS,...]
[--cap N] [--jobs 2] [--keep]`` from the repository root, with the native
modules built and copied into ``src/tarnel``. It needs strace (and ptrace
allowed); it runs as root or not (the tmpfs part needs root). It prints a
table of scenario x fault class: cases tried, held, failed, with a short
description of each failure, and exits 1 when any case failed. Its work
directory is removed unless ``--keep``.
"""

from __future__ import annotations

import argparse
import base64
import collections
import concurrent.futures
import io
import json
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional

ROOT = Path(__file__).resolve().parents[1]
# The package under test: the source tree's, or (for the in-process classes
# under a sanitizer) another build's, named by TARNEL_CAMPAIGN_PACKAGE.
SRC = Path(os.environ.get("TARNEL_CAMPAIGN_PACKAGE", str(ROOT / "src")))
sys.path.insert(0, str(SRC))

import tarnel  # noqa: E402
import tarnel.keyfile as keyfile  # noqa: E402
from tarnel import armor, files  # noqa: E402
from tarnel import xwing  # noqa: E402
from tarnel.cli import public_key_of, public_key_text, xwing_public_key_text  # noqa: E402

PASSWORD = "campaign passphrase 7"
CHEAP = keyfile.ScryptParams(log2_n=10, r=8, p=1)
OLD = b"the file that was there before\n"
PLAIN = random.Random(7).randbytes(200_000)
STRACE = shutil.which("strace")

CALLS = ["openat", "read", "pread64", "write", "writev", "pwrite64", "fsync", "fdatasync",
         "linkat", "link", "renameat2", "renameat", "rename", "unlinkat", "unlink", "close",
         "fchmod", "fchown", "ftruncate", "getrandom", "mmap"]
PATH_CALLS = {"openat", "linkat", "link", "renameat2", "renameat", "rename", "unlinkat", "unlink"}
# The calls at which a signal is injected.
SIGNAL_CALLS = {"openat", "write", "writev", "fsync", "linkat", "renameat2", "renameat", "rename",
                "unlinkat", "close", "fchmod", "getrandom"}
SYSCALL_NR = {"fsync": 74, "linkat": 265, "renameat": 264, "renameat2": 316, "unlinkat": 263,
              "rename": 82, "link": 86, "unlink": 87, "fdatasync": 75}
MODULE_RE = re.compile(r"\.(py|pyc|so)\b|/lib/python|site-packages|__pycache__|\.so\.")
DOCUMENTED = {0, 1, 2, 3, 130, 128 + signal.SIGTERM, 128 + signal.SIGHUP, 128 + signal.SIGPIPE}
SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]

# Runs the command line; "named" uses hidden temporary names.
LAUNCH = (
    "import sys\n"
    "if sys.argv[1] == 'named':\n"
    "    import tarnel._files; tarnel._files.USE_TMPFILE = False\n"
    "from tarnel.__main__ import run\n"
    "sys.argv = ['tarnel', *sys.argv[2:]]\n"
    "sys.exit(run())\n"
)

# Runs one file function; prints what it returned or raised, as JSON.
API = r"""
import json, os, sys
result = {}
try:
    import tarnel, tarnel.keyfile as kf
    os.close(os.open(os.devnull, os.O_RDONLY))  # the campaign's marker: imports done
    op, d_in, out = sys.argv[1:4]
    if op == "encrypt_file":
        pk = open(os.path.join(d_in, "a.raw.pub"), "rb").read()
        tarnel.encrypt_file(os.path.join(d_in, "plain"), out, pk)
    elif op == "decrypt_file":
        sk = open(os.path.join(d_in, "a.raw.key"), "rb").read()
        tarnel.decrypt_file(os.path.join(d_in, "stream"), out, sk)
    elif op == "files.encrypt_file":
        import tarnel.files as tf
        pk = open(os.path.join(d_in, "a.raw.pub"), "rb").read()
        tf.encrypt_file(os.path.join(d_in, "plain"), out, [pk])
    elif op == "files.decrypt_file":
        import tarnel.files as tf
        sk = open(os.path.join(d_in, "a.raw.key"), "rb").read()
        tf.decrypt_file(os.path.join(d_in, "file.tn"), out, [sk])
    elif op == "files.rekey":
        import tarnel.files as tf
        sk = open(os.path.join(d_in, "a.raw.key"), "rb").read()
        pb = open(os.path.join(d_in, "b.raw.pub"), "rb").read()
        tf.rekey(out, None, [sk], add=[pb])
    else:
        pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
        result["public"] = pair.public_key.hex()
        kf.save_secret_key(out, pair, b"pw", overwrite=op.endswith("overwrite"),
                           scrypt=kf.ScryptParams(log2_n=10, r=8, p=1))
    result["returned"] = True
except BaseException as e:
    own = "tarnel" in sys.modules and isinstance(e, sys.modules["tarnel"].TarnelError)
    result.update(type=type(e).__name__, oserror=isinstance(e, OSError) or own, message=str(e),
                  committed=getattr(e, "committed", False))
os.write(1, json.dumps(result).encode() + b"\n")
"""


# ---------------------------------------------------------------------------
# Material


@dataclass
class Material:
    root: Path
    pub_text: bytes = b""
    secret: bytes = b""
    old_pair: tuple[bytes, bytes] = (b"", b"")
    secret_texts: list[tuple[str, bytes]] = field(default_factory=list)
    second: bytes = b""  # the secret key of b.pub, a recipient that rekey adds


def child_env() -> dict[str, str]:
    e = {k: v for k, v in os.environ.items() if not k.startswith("TARNEL_")}
    e["PYTHONPATH"] = str(SRC)
    e["PYTHONDONTWRITEBYTECODE"] = "1"
    e["TARNEL_PASSWORD"] = PASSWORD
    e["LC_ALL"] = "C.UTF-8"
    return e


def make_material(root: Path) -> Material:
    m = Material(root)
    d = root / "material"
    d.mkdir(parents=True)
    pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
    m.secret = pair.secret_key
    keyfile.save_secret_key(d / "a.key", pair, PASSWORD, scrypt=CHEAP)
    m.pub_text = public_key_text(pair.public_key, 768, "pem").encode()
    (d / "a.pub").write_bytes(m.pub_text)
    (d / "a.raw.pub").write_bytes(pair.public_key)
    (d / "a.raw.key").write_bytes(pair.secret_key)
    (d / "plain").write_bytes(PLAIN)
    tarnel.encrypt_file(d / "plain", d / "stream", pair.public_key)
    files.encrypt_file(d / "plain", d / "file.tn", [pair.public_key])
    with open(d / "plain", "rb") as src, open(d / "file.asc", "wb") as raw:
        w = armor.ArmorWriter(raw, armor.FILE_LABEL)
        files.encrypt_file(src, w, [pair.public_key])
        w.finish()
    b = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
    m.second = b.secret_key
    (d / "b.pub").write_bytes(public_key_text(b.public_key, 768, "pem").encode())
    (d / "b.raw.pub").write_bytes(b.public_key)
    with open(d / "plain", "rb") as src, open(d / "stream.asc", "wb") as raw:
        w = armor.ArmorWriter(raw)
        tarnel.encrypt_file(src, w, pair.public_key)
        w.finish()
    old = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
    m.old_pair = (public_key_text(old.public_key, 768, "pem").encode(),
                  keyfile.secret_key_file_text(old, PASSWORD, scrypt=CHEAP).encode())
    m.secret_texts = [("key file", keyfile.secret_key_file_text(pair, PASSWORD, scrypt=CHEAP).encode())]
    return m


# ---------------------------------------------------------------------------
# Scenarios


@dataclass
class Scenario:
    name: str
    argv: list[str]  # with {in} and {out}
    outputs: tuple[str, ...]  # names in the output directory; () for stdout
    expect: str  # cipher, plain, armor, pub, pair, seckey, stdout
    force: bool = False
    kind: str = "unnamed"  # unnamed, named (temporary files), api
    api: str = ""
    old: str = ""  # a material file that the output starts as (else OLD when force)


def old_bytes(scn: Scenario, m: Material) -> bytes:
    return (m.root / "material" / scn.old).read_bytes() if scn.old else OLD


def scenarios() -> list[Scenario]:
    key = ["-i", "{in}/a.key"]
    enc = ["encrypt", "-r", "{in}/a.pub", "-o", "{out}/r", "{in}/plain"]
    dec = ["decrypt", *key, "-o", "{out}/r", "{in}/stream"]
    fdec = ["decrypt", *key, "-o", "{out}/r", "{in}/file.tn"]
    rekey = ["rekey", *key, "-r", "{in}/b.pub"]
    return [
        Scenario("keygen", ["keygen", "-o", "{out}/k"], ("k.pub", "k.key"), "pair"),
        Scenario("keygen --force", ["keygen", "--force", "-o", "{out}/k"], ("k.pub", "k.key"), "pair", True),
        Scenario("keygen --force (named)", ["keygen", "--force", "-o", "{out}/k"], ("k.pub", "k.key"),
                 "pair", True, "named"),
        Scenario("encrypt", enc, ("r",), "cipher"),
        Scenario("encrypt --force", [*enc, "--force"], ("r",), "cipher", True),
        Scenario("encrypt --format stream --force", [*enc, "--format", "stream", "--force"], ("r",),
                 "cipher", True),
        Scenario("decrypt stream", dec, ("r",), "plain"),
        Scenario("decrypt stream --force", [*dec, "--force"], ("r",), "plain", True),
        Scenario("decrypt stream --force (named)", [*dec, "--force"], ("r",), "plain", True, "named"),
        Scenario("decrypt file", fdec, ("r",), "plain"),
        Scenario("decrypt file --force (named)", [*fdec, "--force"], ("r",), "plain", True, "named"),
        Scenario("encrypt -a --force", ["encrypt", "-a", "-r", "{in}/a.pub", "-o", "{out}/r", "--force",
                                        "{in}/plain"], ("r",), "armor", True),
        Scenario("encrypt -a --format stream", ["encrypt", "-a", "--format", "stream", "-r", "{in}/a.pub",
                                                "-o", "{out}/r", "{in}/plain"], ("r",), "armor"),
        Scenario("decrypt armored stream --force", ["decrypt", *key, "-o", "{out}/r", "--force",
                                                    "{in}/stream.asc"], ("r",), "plain", True),
        Scenario("decrypt armored file --force", ["decrypt", *key, "-o", "{out}/r", "--force",
                                                  "{in}/file.asc"], ("r",), "plain", True),
        Scenario("decrypt stream to a pipe", ["decrypt", *key, "{in}/stream"], (), "stdout"),
        Scenario("decrypt file to a pipe", ["decrypt", *key, "{in}/file.tn"], (), "stdout"),
        Scenario("rekey in place", [*rekey, "{out}/r"], ("r",), "rekeyed", True, old="file.tn"),
        Scenario("rekey in place (named)", [*rekey, "{out}/r"], ("r",), "rekeyed", True, "named",
                 old="file.tn"),
        Scenario("rekey --rotate -o --force", [*rekey, "--rotate", "-o", "{out}/r", "--force", "{in}/file.tn"],
                 ("r",), "rekeyed", True),
        Scenario("pubkey -o", ["pubkey", *key, "-o", "{out}/p"], ("p",), "pub"),
        Scenario("pubkey -o --force", ["pubkey", *key, "-o", "{out}/p", "--force"], ("p",), "pub", True),
        Scenario("api encrypt_file", [], ("r",), "cipher", False, "api", "encrypt_file"),
        Scenario("api decrypt_file", [], ("r",), "plain", True, "api", "decrypt_file"),
        Scenario("api files.encrypt_file", [], ("r",), "cipher", False, "api", "files.encrypt_file"),
        Scenario("api files.decrypt_file", [], ("r",), "plain", True, "api", "files.decrypt_file"),
        Scenario("api files.rekey", [], ("r",), "rekeyed", True, "api", "files.rekey", old="file.tn"),
        Scenario("api save_secret_key", [], ("r",), "seckey", False, "api", "save_secret_key"),
        Scenario("api save_secret_key overwrite", [], ("r",), "seckey", True, "api",
                 "save_secret_key_overwrite"),
    ]


# ---------------------------------------------------------------------------
# One run and its checks


@dataclass
class Outcome:
    status: int
    stdout: bytes
    stderr: str
    log: str = ""


class Slot:
    """A directory pair (inputs, outputs) that one worker uses at a time."""

    def __init__(self, root: Path, n: int, material: Material) -> None:
        self.dir = root / f"slot{n}"
        self.inp = self.dir / "in"
        self.out = self.dir / "out"
        shutil.copytree(material.root / "material", self.inp)

    def reset(self, scn: Scenario, m: Material) -> None:
        if self.out.exists():
            shutil.rmtree(self.out)
        self.out.mkdir()
        if scn.force:
            if scn.expect == "pair":
                (self.out / "k.pub").write_bytes(m.old_pair[0])
                (self.out / "k.key").write_bytes(m.old_pair[1])
                os.chmod(self.out / "k.key", 0o600)
            else:
                for name in scn.outputs:
                    (self.out / name).write_bytes(old_bytes(scn, m))

    def command(self, scn: Scenario) -> list[str]:
        if scn.kind == "api":
            return [sys.executable, "-c", API, scn.api, str(self.inp), str(self.out / "r")]
        args = [a.replace("{in}", str(self.inp)).replace("{out}", str(self.out)) for a in scn.argv]
        return [sys.executable, "-c", LAUNCH, scn.kind, *args]


def run_child(cmd: list[str], timeout: float = 120, preexec: Optional[Callable[[], None]] = None,
              on_start: Optional[Callable[["subprocess.Popen[bytes]"], None]] = None) -> Outcome:
    proc = subprocess.Popen(cmd, env=child_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True, preexec_fn=preexec)
    if on_start is not None:
        threading.Thread(target=on_start, args=(proc,), daemon=True).start()
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        return Outcome(-999, out, err.decode(errors="replace") + "\n[campaign: timed out]")
    status = proc.returncode
    if status < 0:
        status = 128 - status
    return Outcome(status, out, err.decode(errors="replace"))


_pair_cache: dict[bytes, bool] = {}
_cache_lock = threading.Lock()


def pair_matches(pub: bytes, key: bytes) -> bool:
    with _cache_lock:
        if pub + key in _pair_cache:
            return _pair_cache[pub + key]
    try:
        if keyfile.key_file_type(key) == "X-Wing":
            seed = keyfile.load_xwing_key_text(key, PASSWORD)
            ok = xwing_public_key_text(xwing.PrivateKey(seed).public_key, "pem").encode() == pub
        else:
            sk, level = keyfile.load_secret_key_text(key, PASSWORD)
            ok = public_key_text(public_key_of(sk, int(level)), level, "pem").encode() == pub
    except Exception:
        ok = False
    with _cache_lock:
        _pair_cache[pub + key] = ok
    return ok


def whole(scn: Scenario, data: bytes, m: Material, api: dict[str, Any]) -> bool:
    """Whether ``data`` is the scenario's new output, whole and correct."""
    try:
        if scn.expect == "plain":
            return data == PLAIN
        if scn.expect in ("cipher", "armor"):
            return opens_to(data, m.secret, scn.expect == "armor") == PLAIN
        if scn.expect == "rekeyed":
            return all(opens_to(data, k, False) == PLAIN for k in (m.secret, m.second))
        if scn.expect == "pub":
            return data == m.pub_text
        if scn.expect == "seckey":
            sk, level = keyfile.load_secret_key_text(data, b"pw")
            return "public" in api and public_key_of(sk, int(level)).hex() == api["public"]
    except Exception:
        return False
    raise AssertionError(scn.expect)


def opens_to(data: bytes, secret: bytes, armored: bool) -> Optional[bytes]:
    """The plaintext of ``data`` in either format, or None."""
    try:
        if armored:
            text = data.lstrip()
            label = armor.FILE_LABEL if text.startswith(b"-----BEGIN " + armor.FILE_LABEL.encode()) \
                else armor.STREAM_LABEL
            with armor.ArmorReader(io.BytesIO(data), label) as r:
                data = r.read()
        if data.startswith(files.MAGIC):
            return files.decrypt(data, [secret])
        out = io.BytesIO()
        tarnel.decrypt_file(io.BytesIO(data), out, secret)
        return out.getvalue()
    except Exception:
        return None


TEMP_NAME = re.compile(r"\.part\b|\.old\b|\.probe\.|/proc/self/fd|#\d+")


def check(scn: Scenario, slot: Slot, res: Outcome, m: Material, clean: bool = False) -> list[str]:
    """The invariants that ``res`` breaks, as short descriptions."""
    bad: list[str] = []
    err = res.stderr
    lines = [ln for ln in err.splitlines() if ln.strip()]
    last = lines[-1] if lines else ""
    api: dict[str, Any] = {}
    if scn.kind == "api":
        if res.status != 0 or "Traceback" in err:
            return [f"api child status {res.status}: {last[:120]}"]
        try:
            api = json.loads(res.stdout.decode().splitlines()[-1])
        except (ValueError, IndexError):
            return ["api child printed no result"]
        if not api.get("returned") and not api.get("oserror"):
            bad.append(f"(b) neither an OSError nor a tarnel error: {api.get('type')}: "
                       f"{api.get('message', '')[:100]}")
        if TEMP_NAME.search(api.get("message", "")):
            bad.append(f"(h) temporary name in message: {api.get('message')[:120]}")
        status = 0 if api.get("returned") else (3 if api.get("committed") else 1)
    else:
        status = res.status
        if status not in DOCUMENTED:
            bad.append(f"(a) status {status}")
        if "Traceback" in err:
            exc = [ln for ln in lines if not ln.startswith(" ")][-1:]
            bad.append(f"(b) traceback: {exc[0][:120] if exc else ''}")
        if status == 3 and scn.expect == "pair":
            # keygen's report (passphrase, fingerprint) follows the warning
            # by design: the warning must be there, not last.
            if not any(ln.startswith("tarnel: warning: ") and "could not be made durable" in ln
                       for ln in lines):
                bad.append(f"(c) status 3 without a durability warning: {last[:100]!r}")
        elif status != 0:
            if not (last.startswith("tarnel: error: ") or last.startswith("tarnel: warning: ")):
                bad.append(f"(c) status {status}, last line {last[:100]!r}")
            elif status == 3 and not last.startswith("tarnel: warning: "):
                bad.append(f"(c) status 3 with {last[:100]!r}")
        named = [ln for ln in lines if TEMP_NAME.search(ln) and not disclosed_line(ln)]
        if named:
            bad.append(f"(h) temporary name in message: {named[0][:120]!r}")
    # (d), (f)
    if scn.expect == "stdout":
        if status == 0 and res.stdout != PLAIN:
            bad.append("(d) status 0 but stdout is not the plaintext")
        if not PLAIN.startswith(res.stdout):
            bad.append("(d) stdout is not a prefix of the plaintext")
    elif scn.expect == "pair":
        pub_p, key_p = slot.out / "k.pub", slot.out / "k.key"
        have = (pub_p.read_bytes() if pub_p.exists() else None, key_p.read_bytes() if key_p.exists() else None)
        if have == (None, None):
            state = "absent"
        elif have == m.old_pair:
            state = "old"
        elif None not in have and pair_matches(have[0], have[1]):  # type: ignore[arg-type]
            state = "new"
        else:
            state = "mixed"
        allowed = {"old" if scn.force else "absent", "new"}
        if state == "mixed" and status != 0 and any(
                ln.startswith("tarnel: warning: ") and ("could not be put back" in ln or "removed again" in ln)
                for ln in lines):
            allowed.add("mixed")  # a second fault kept the undo from finishing, and it is said
        if state not in allowed:
            bad.append(f"(f) the pair on disk is {state} (status {status})")
        if status in (0, 3) and state != "new":
            bad.append(f"(f) status {status} but the pair is {state}")
        if status == 1 and state == "new" and "in place" not in last:
            bad.append(f"(d) status 1 with a new pair in place: {last[:100]!r}")
    else:
        path = slot.out / scn.outputs[0]
        try:
            data: Optional[bytes] = path.read_bytes()
        except FileNotFoundError:
            data = None
        if data is None:
            state = "absent"
        elif data == old_bytes(scn, m):
            state = "old"
        elif whole(scn, data, m, api):
            state = "new"
        else:
            state = "damaged"
        allowed = {"old" if scn.force else "absent", "new"}
        if state not in allowed:
            bad.append(f"(d) the output is {state} (status {status})")
        if status in (0, 3) and state != "new":
            bad.append(f"(d) status {status} but the output is {state}")
        if status == 1 and state == "new" and "in place" not in last:
            bad.append(f"(d) status 1 with the new output in place: {last[:100]!r}")
    # (e)
    expected = set(scn.outputs)
    stray = sorted(set(os.listdir(slot.out)) - expected)
    if stray and res.log and all(probe_left_by_design(slot.out, n, res.log) for n in stray):
        stray = []
    # A backup that could not be removed is kept on purpose when a warning
    # names it (it may be the only copy of an old secret key).
    stray = [n for n in stray if not (n.endswith((".old", ".part")) and disclosed(str(slot.out / n), lines))]
    if stray:
        bad.append(f"(e) left in the directory: {', '.join(stray)[:100]}")
    # (g)
    if status == 0 and res.log:
        out_dir = str(slot.out)
        for line in res.log.splitlines():
            if "INJECTED" in line and re.search(r"\b(EIO|ENOSPC)\b", line) and \
                    re.match(r"\d+\s+(fsync|fdatasync|write|writev|pwrite64)\(", line) and out_dir in line:
                bad.append(f"(g) status 0 after {line.split('(')[0].split()[-1]} failed on the output")
                break
    if clean and status != 0:
        bad.append(f"clean run ended with status {status}: {last[:100]}")
    return bad


def disclosed_line(line: str) -> bool:
    """A warning that names a backup kept on purpose, or a hidden name that
    a second fault kept from being removed."""
    return line.startswith("tarnel: warning: ") and re.search(
        r"(is still at|is kept at) \S+\.(old|part)$", line) is not None


def disclosed(path: str, lines: list[str]) -> bool:
    return any(disclosed_line(ln) and ln.endswith(path) for ln in lines)


def probe_left_by_design(d: Path, name: str, log: str) -> bool:
    """An empty probe whose removal was the injected fault: removing it is
    best effort by design (it never fails the command)."""
    return (name.startswith(".probe.") and name.endswith(".part") and (d / name).stat().st_size == 0
            and re.search(r"unlink(at)?\(.*" + re.escape(name) + r".*INJECTED", log) is not None)


# ---------------------------------------------------------------------------
# Recording and injection


def record(scn: Scenario, slot: Slot, m: Material, workdir: Path) -> dict[str, list[int]]:
    """For each call, the occurrence numbers (per thread, as strace counts
    for injection) that come after the command line is loaded and do not
    touch a Python module."""
    slot.reset(scn, m)
    log = workdir / f"record-{slot.dir.name}.log"
    res = run_child([STRACE, "-f", "-qq", "-y", "--seccomp-bpf", "-o", str(log),
                     "-e", "trace=" + ",".join(CALLS), *slot.command(scn)])
    problems = check(scn, slot, res, m, clean=True)
    if problems:
        raise SystemExit(f"{scn.name}: the clean run breaks an invariant: {problems}\n{res.stderr}")
    counts: dict[tuple[int, str], int] = collections.Counter()
    # strace counts each thread's calls apart, and injects at the Nth call
    # of whichever thread reaches it: an occurrence no later than the main
    # thread's calls while it loads would hit the loader instead.
    loading: dict[str, int] = collections.Counter()
    wanted: dict[str, set[int]] = collections.defaultdict(set)
    main_pid: Optional[int] = None
    started = False
    for line in log.read_text(errors="replace").splitlines():
        mt = re.match(r"(\d+)\s+([a-z0-9_]+)\(", line)
        if not mt:
            continue
        pid, call = int(mt.group(1)), mt.group(2)
        if main_pid is None:
            main_pid = pid
        counts[(pid, call)] += 1
        n = counts[(pid, call)]
        if pid == main_pid and not started:
            loading[call] = n
            # The command line's last module (every command is loaded before
            # the arguments are read).
            if (("/tarnel/cli/rekey." in line or "/tarnel/cli/__pycache__/rekey." in line)
                    and scn.kind != "api") or (
                    scn.kind == "api" and line.split("(", 1)[0].endswith("openat") and '"/dev/null"' in line):
                started = True
            continue
        if (MODULE_RE.search(line) or str(SRC) in line) and str(slot.dir) not in line:
            continue  # loading modules, not the command's own files
        if scn.kind == "api" and re.match(r"\d+\s+write\(1<", line):
            continue  # the campaign's own report
        if call == "mmap" and str(slot.dir) not in line:
            continue  # only mappings of the command's own files
        if n <= 65534:
            wanted[call].add(n)
    return {c: sorted(k for k in v if k > loading[c]) for c, v in wanted.items()}


def sample(ns: list[int], cap: int, rng: random.Random) -> list[int]:
    if len(ns) <= cap:
        return ns
    keep = set(ns[:min(3, cap // 3)]) | set(ns[-min(5, cap - cap // 3):])
    rest = [n for n in ns if n not in keep]
    keep |= set(rng.sample(rest, max(0, cap - len(keep))))
    return sorted(keep)


def errors_for(call: str) -> list[str]:
    if call == "mmap":
        return ["ENOMEM"]
    if call == "getrandom":
        return ["EIO", "EINTR", "ENOSYS"]
    base = ["EIO", "ENOSPC", "EINTR"]
    return base + (["EACCES", "EPERM"] if call in PATH_CALLS else [])


@dataclass
class Case:
    scn: Scenario
    klass: str
    strace: list[str]
    label: str
    signal_after: Optional[tuple[str, int]] = None  # (call held, signal) for delays


def run_case(case: Case, slot: Slot, m: Material, workdir: Path) -> tuple[Case, list[str], Outcome]:
    slot.reset(case.scn, m)
    log = workdir / f"case-{slot.dir.name}.log"
    on_start = None
    if case.signal_after is not None:
        call, signum = case.signal_after
        on_start = lambda proc: signal_when_held(proc, SYSCALL_NR[call], signum)  # noqa: E731
    res = run_child([STRACE, "-f", "-qq", "-y", "--seccomp-bpf", "-o", str(log), *case.strace,
                     *slot.command(case.scn)], on_start=on_start)
    try:
        res.log = log.read_text(errors="replace")
    except OSError:
        res.log = ""
    return case, check(case.scn, slot, res, m), res


def signal_when_held(proc: "subprocess.Popen[bytes]", nr: int, signum: int) -> None:
    """Send ``signum`` to the traced Python child once it is held at the
    entry of call ``nr``."""
    deadline = time.monotonic() + 30
    while proc.poll() is None and time.monotonic() < deadline:
        try:
            children = Path(f"/proc/{proc.pid}/task/{proc.pid}/children").read_text().split()
        except OSError:
            children = []
        for child in children:
            try:
                state = Path(f"/proc/{child}/stat").read_text().rsplit(")", 1)[1].split()[0]
                current = Path(f"/proc/{child}/syscall").read_text().split()[0]
            except (OSError, IndexError):
                continue
            if state == "t" and current == str(nr):
                os.kill(int(child), signum)
                return
        time.sleep(0.005)


def syscall_cases(m: Material, slot: Slot, workdir: Path, cap: int, rng: random.Random,
                  classes: set[str]) -> list[Case]:
    cases: list[Case] = []
    for scn in scenarios():
        seen = record(scn, slot, m, workdir)
        for call in CALLS:
            ns = seen.get(call, [])
            if not ns:
                continue
            # keygen stretches its passphrase (scrypt, N = 2^17) in every run.
            own_cap = max(2, cap // 3) if scn.expect == "pair" else cap
            if "errors" in classes:
                picked = sample(ns, own_cap if call != "mmap" else 3, rng)
                for n in picked:
                    for e in errors_for(call):
                        cases.append(Case(scn, e, ["-e", f"trace={call}", "-e",
                                                   f"inject={call}:error={e}:when={n}"],
                                          f"{call}#{n}"))
            if "signal" in classes and call in SIGNAL_CALLS and scn.kind != "api":
                for n in sample(ns, max(2, own_cap // 3), rng):
                    s = rng.choice(SIGNALS)
                    cases.append(Case(scn, "signal", ["-e", f"trace={call}", "-e",
                                                      f"inject={call}:signal={s.name}:when={n}"],
                                      f"{s.name}@{call}#{n}"))
            if "delay" in classes and call in SYSCALL_NR and scn.kind != "api":
                for n in ns[-4:]:
                    s = rng.choice(SIGNALS)
                    cases.append(Case(scn, "delay", ["-e", f"trace={call}", "-e",
                                                     f"inject={call}:delay_enter=400000:when={n}"],
                                      f"{s.name} while {call}#{n} waits", (call, s)))
        if "double" in classes and scn.expect == "pair" and scn.force:
            # A fault while the pair moves, then another while it is undone.
            firsts = [(c, n) for c in ("linkat", "renameat", "link", "fsync") for n in seen.get(c, [])[-3:]]
            seconds = [(c, m) for c in ("rename", "unlink", "unlinkat", "renameat", "fsync") for m in (1, 2, 3)]
            for a, n in firsts:
                for b, mm in rng.sample(seconds, 5):
                    if a == b:
                        continue
                    cases.append(Case(scn, "double fault", [
                        "-e", f"trace={a},{b}", "-e", f"inject={a}:error=EIO:when={n}",
                        "-e", f"inject={b}:error=EIO:when={mm}"], f"{a}#{n} then {b}#{mm}"))
    return cases


# ---------------------------------------------------------------------------
# Other fault classes: each returns (scenario name, class, label, problems)

Result = tuple[str, str, str, list[str]]


def generic_check(res: Outcome, allowed: set[int]) -> list[str]:
    bad = []
    lines = [ln for ln in res.stderr.splitlines() if ln.strip()]
    last = lines[-1] if lines else ""
    if res.status not in allowed:
        bad.append(f"(a) status {res.status}: {last[:100]}")
    if "Traceback" in res.stderr:
        bad.append(f"(b) traceback: {last[:100]}")
    if res.status != 0 and not last.startswith(("tarnel: error: ", "tarnel: warning: ")):
        bad.append(f"(c) last line {last[:100]!r}")
    return bad


def large_signal_cases(m: Material, workdir: Path, n: int, rng: random.Random) -> list[Result]:
    base = Path("/dev/shm") if os.path.isdir("/dev/shm") else workdir
    d = Path(tempfile.mkdtemp(prefix="tarnel-campaign-", dir=base))
    results: list[Result] = []
    try:
        big = d / "big"
        with open(big, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(200):
                f.write(block)
        pk = (m.root / "material" / "a.raw.pub").read_bytes()
        tarnel.encrypt_file(big, d / "big.tn", pk)
        files.encrypt_file(big, d / "big.ftn", [pk])
        out = d / "out"
        ops = [("encrypt", ["encrypt", "-r", str(m.root / "material" / "a.pub"), "-o", "{o}", str(big)]),
               ("decrypt", ["decrypt", "-i", str(m.root / "material" / "a.key"), "-o", "{o}", str(d / "big.tn")]),
               ("decrypt file", ["decrypt", "-i", str(m.root / "material" / "a.key"), "-o", "{o}",
                                 str(d / "big.ftn")]),
               # In place: the output starts as the file it re-keys.
               ("rekey --rotate", ["rekey", "-i", str(m.root / "material" / "a.key"), "--rotate", "{o}"])]
        old_file = (d / "big.ftn").read_bytes()
        for name, argv in ops:
            in_place = name.startswith("rekey")
            t0 = time.monotonic()
            out.mkdir()
            if in_place:
                shutil.copyfile(d / "big.ftn", out / "r")
            res = run_child([sys.executable, "-c", LAUNCH, "unnamed", *[a.replace("{o}", str(out / "r")) for a in argv]])
            took = time.monotonic() - t0
            ref = (out / "r").read_bytes() if res.status == 0 else None
            shutil.rmtree(out)
            if res.status != 0:
                results.append((f"200 MB {name}", "large", "clean", [f"clean run: {res.stderr[-200:]}"]))
                continue
            for i in range(n):
                force = i % 2 == 1 or in_place
                out.mkdir()
                if in_place:
                    shutil.copyfile(d / "big.ftn", out / "r")
                elif force:
                    (out / "r").write_bytes(OLD)
                s = SIGNALS[i % 3]
                at = rng.uniform(0.0, took * 1.05)

                def hit(proc: "subprocess.Popen[bytes]", at: float = at, s: int = s) -> None:
                    # From the moment the command line is loaded (termios is
                    # loaded with it): before that no code of the package
                    # runs, and the interpreter's own defaults apply.
                    deadline = time.monotonic() + 30
                    while time.monotonic() < deadline and proc.poll() is None:
                        try:
                            if "termios" in Path(f"/proc/{proc.pid}/maps").read_text():
                                break
                        except OSError:
                            pass
                        time.sleep(0.002)
                    time.sleep(at)
                    try:
                        os.kill(proc.pid, s)
                    except ProcessLookupError:
                        pass

                cmd = [a.replace("{o}", str(out / "r")) for a in argv] + (
                    ["--force"] if force and not in_place else [])
                res = run_child([sys.executable, "-c", LAUNCH, "unnamed", *cmd], on_start=hit)
                bad = generic_check(res, {0, 3, 130, 128 + signal.SIGTERM, 128 + signal.SIGHUP})
                data = (out / "r").read_bytes() if (out / "r").exists() else None
                if name.startswith("decrypt"):
                    new = data is not None and len(data) == 200 << 20 and data == big.read_bytes()
                elif in_place:
                    new = data is not None and data != old_file and _decrypts_to(data, big, m)
                else:
                    new = data is not None and len(data) == len(ref or b"") and _decrypts_to(data, big, m)
                was = old_file if in_place else OLD
                state = "new" if new else ("absent" if data is None else ("old" if data == was else "damaged"))
                if state not in ({"old", "new"} if force else {"absent", "new"}):
                    bad.append(f"(d) output {state} after {s.name} at {at:.2f}s")
                if res.status in (0, 3) and state != "new":
                    bad.append(f"(d) status {res.status}, output {state}")
                if res.status not in (0, 3) and state == "new" and "in place" not in res.stderr:
                    bad.append(f"(d) status {res.status}, new output in place, message {res.stderr.strip()[-100:]!r}")
                stray = sorted(set(os.listdir(out)) - {"r"})
                if stray:
                    bad.append(f"(e) left: {stray}")
                label = f"{s.name} at {at:.2f}s" + (" --force" if force and not in_place else "")
                results.append((f"200 MB {name}" + (" --force" if force and not in_place else ""),
                                "large signal", label, bad))
                shutil.rmtree(out)
    finally:
        shutil.rmtree(d, ignore_errors=True)
    return results


def _decrypts_to(data: bytes, big: Path, m: Material) -> bool:
    return opens_to(data, m.secret, False) == big.read_bytes()


def fill(path: Path, size: int) -> None:
    """A file of ``size`` bytes at ``path``, or as much as fits."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        block = b"\0" * 4096
        while size > 0:
            try:
                size -= os.write(fd, block[:size])
            except OSError:
                break
    finally:
        os.close(fd)


def full_disk_cases(m: Material, workdir: Path, levels: int) -> list[Result]:
    results: list[Result] = []
    plain = workdir / "full-plain"
    plain.write_bytes(PLAIN * 5)  # 1 MB
    pk = (m.root / "material" / "a.raw.pub").read_bytes()
    stream = workdir / "full-stream"
    tarnel.encrypt_file(plain, stream, pk)
    ftn = workdir / "full-file"
    files.encrypt_file(plain, ftn, [pk])
    mnt = workdir / "tmpfs"
    mnt.mkdir()
    mounted = False
    if os.geteuid() == 0:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", str(mnt)],
                                 capture_output=True).returncode == 0
    mat = m.root / "material"
    ops: list[tuple[str, list[str], str]] = [
        ("encrypt", ["encrypt", "-r", str(mat / "a.pub"), "-o", "{o}/r", str(plain)], "cipher"),
        ("decrypt", ["decrypt", "-i", str(mat / "a.key"), "-o", "{o}/r", str(stream)], "plain"),
        ("decrypt file", ["decrypt", "-i", str(mat / "a.key"), "-o", "{o}/r", str(ftn)], "plain"),
        ("encrypt --format stream", ["encrypt", "--format", "stream", "-r", str(mat / "a.pub"), "-o", "{o}/r",
                                     str(plain)], "cipher"),
        ("encrypt -a", ["encrypt", "-a", "-r", str(mat / "a.pub"), "-o", "{o}/r", str(plain)], "armor"),
        ("keygen", ["keygen", "-o", "{o}/k"], "pair"),
        ("pubkey", ["pubkey", "-i", str(mat / "a.key"), "-o", "{o}/r"], "pub"),
    ]
    big_plain = plain.read_bytes()

    def verify(kind: str, out: Path, force: bool, res: Outcome, label: str, scn: str, klass: str) -> None:
        bad = generic_check(res, {0, 1, 3})
        if kind == "pair":
            have = tuple((out / n).read_bytes() if (out / n).exists() else None for n in ("k.pub", "k.key"))
            if have == (None, None):
                state = "absent"
            elif have == m.old_pair:
                state = "old"
            elif None not in have and pair_matches(have[0], have[1]):  # type: ignore[arg-type]
                state = "new"
            else:
                state = "mixed"
            names = {"k.pub", "k.key"}
        else:
            data = (out / "r").read_bytes() if (out / "r").exists() else None
            names = {"r"}
            if data is None:
                state = "absent"
            elif data == OLD:
                state = "old"
            else:
                ok = False
                try:
                    if kind == "plain":
                        ok = data == big_plain
                    elif kind == "pub":
                        ok = data == m.pub_text
                    else:
                        ok = opens_to(data, m.secret, kind == "armor") == big_plain
                except Exception:
                    ok = False
                state = "new" if ok else "damaged"
        if state not in ({"old", "new"} if force else {"absent", "new"}):
            bad.append(f"(d) output {state} (status {res.status})")
        if res.status in (0, 3) and state != "new":
            bad.append(f"(d) status {res.status}, output {state}")
        if res.status == 1 and state == "new":
            bad.append(f"(d) status 1 with the new output in place: {res.stderr.strip()[-100:]!r}")
        stray = sorted(set(os.listdir(out)) - names - {"filler", "lost+found"})
        if stray:
            bad.append(f"(e) left: {stray}")
        results.append((scn, klass, label, bad))

    def prepare(out: Path, kind: str, force: bool) -> None:
        if force:
            if kind == "pair":
                (out / "k.pub").write_bytes(m.old_pair[0])
                (out / "k.key").write_bytes(m.old_pair[1])
            else:
                (out / "r").write_bytes(OLD)

    try:
        if mounted:
            total = os.statvfs(mnt).f_blocks * os.statvfs(mnt).f_frsize
            for name, argv, kind in ops:
                top = 1_400_000 if kind in ("cipher", "plain", "armor") else 40_000
                for i in range(levels):
                    free = int(top * i / (levels - 1))
                    force = i % 2 == 1
                    for n in os.listdir(mnt):
                        os.unlink(mnt / n)
                    prepare(mnt, kind, force)
                    used = sum(os.path.getsize(mnt / n) for n in os.listdir(mnt))
                    fill(mnt / "filler", max(0, total - used - free))
                    res = run_child([sys.executable, "-c", LAUNCH, "unnamed",
                                     *[a.replace("{o}", str(mnt)) for a in argv], *(["--force"] if force else [])])
                    verify(kind, mnt, force, res, f"{free} bytes free", f"{name} (tmpfs)", "full disk")
        for name, argv, kind in ops:
            top = 1_400_000 if kind in ("cipher", "plain", "armor") else 8000
            for i in range(max(4, levels // 3)):
                limit = max(1, int(top * i / max(1, levels // 3 - 1)))
                force = i % 2 == 0
                out = workdir / "fsize"
                shutil.rmtree(out, ignore_errors=True)
                out.mkdir()
                prepare(out, kind, force)

                def lim(limit: int = limit) -> None:
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

                res = run_child([sys.executable, "-c", LAUNCH, "unnamed",
                                 *[a.replace("{o}", str(out)) for a in argv], *(["--force"] if force else [])],
                                preexec=lim)
                verify(kind, out, force, res, f"RLIMIT_FSIZE {limit}", name, "RLIMIT_FSIZE")
    finally:
        if mounted:
            subprocess.run(["umount", str(mnt)], capture_output=True)
    return results


def mutate(data: bytes, rng: random.Random) -> bytes:
    b = bytearray(data)
    how = rng.randrange(9)
    if how == 0 and b:
        for _ in range(rng.randint(1, 8)):
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
    elif how == 1:
        b = b[: rng.randrange(len(b) + 1)]
    elif how == 2:
        b = bytearray(os.urandom(rng.choice([0, 1, 16, 100, 1184, 2400, 5000])))
    elif how == 3 and b:
        i = rng.randrange(len(b))
        b[i:i] = rng.choice([b"\0", b"\xff\xfe", "é".encode(), b"\r\n", b"-----", b"=" * 10, b"\n" * 3])
    elif how == 4:
        b = b.replace(b"ln=10", rng.choice([b"ln=64", b"ln=40", b"ln=1", b"ln=999", b"ln=0"]))
    elif how == 5:
        b = b.replace(b"r=8", rng.choice([b"r=999999", b"r=0", b"r=4096"]))
    elif how == 6 and b:
        i = rng.randrange(len(b))
        b = b[:i] + b[i:] * rng.randint(2, 4)
    elif how == 7:
        b = b.upper() if rng.random() < 0.5 else b.lower()
    else:
        lines = b.split(b"\n")
        rng.shuffle(lines)
        b = bytearray(b"\n".join(lines))
    return bytes(b)


def secret_windows(m: Material) -> list[str]:
    """Texts that must never appear in a message: 12-character windows of
    the key file's Base64 body, and of the raw secret key's encodings."""
    out = []
    text = m.secret_texts[0][1].decode()
    body = "".join(ln for ln in text.splitlines() if ln and ":" not in ln and not ln.startswith("-----"))
    k = 3  # ML-KEM-768: the secret key is dk_pke (384k), ek (384k + 32), H(ek), z
    private = [m.secret[:384 * k], m.secret[-32:]]
    encs = [body]
    for part in private:
        encs += [base64.b64encode(part).decode(), part.hex(), base64.urlsafe_b64encode(part).decode()]
    for enc in encs:
        out += [enc[i:i + 12] for i in range(0, len(enc) - 12, 6)]
    return out


def hostile_key_cases(m: Material, workdir: Path, n: int, rng: random.Random) -> list[Result]:
    results: list[Result] = []
    d = workdir / "keys"
    d.mkdir()
    (d / "plain").write_bytes(b"plain")
    mat = m.root / "material"
    windows = secret_windows(m)
    secret_file = m.secret_texts[0][1]
    seeds = {
        "public PEM": m.pub_text,
        "public JSON": public_key_text(public_key_of(m.secret, 768), 768, "json").encode(),
        "public Base64": public_key_text(public_key_of(m.secret, 768), 768, "base64").encode(),
        "key file": secret_file,
    }
    for i in range(n):
        seed_name = rng.choice(sorted(seeds))
        data = mutate(seeds[seed_name], rng)
        (d / "k").write_bytes(data)
        place = rng.choice(["-r file", "-r text", "-i", "pubkey -i", "inspect"])
        if place == "-r text":
            try:
                text = data.decode()
            except UnicodeDecodeError:
                text = data.decode("latin-1")
            text = text.replace("\0", "")
            argv = ["encrypt", "-r", text, str(d / "plain")]
        elif place == "-r file":
            argv = ["encrypt", "-r", str(d / "k"), str(d / "plain")]
        elif place == "-i":
            argv = ["decrypt", "-i", str(d / "k"), str(mat / "stream")]
        elif place == "pubkey -i":
            argv = ["pubkey", "-i", str(d / "k")]
        else:
            argv = ["inspect", str(d / "k")]
        res = run_child([sys.executable, "-c", LAUNCH, "unnamed", *argv], timeout=120)
        bad = generic_check(res, {0, 1, 2})
        shown = res.stderr + (res.stdout.decode(errors="replace") if place not in ("pubkey -i",) else "")
        if place in ("-i", "pubkey -i") and res.status == 0:
            shown = res.stderr  # a decrypted plaintext or a public key is the point
        leaked = [w for w in windows if w in shown and "-----" not in w]
        if leaked and seed_name == "key file" and place != "inspect" or (leaked and place == "-r text"):
            bad.append(f"secret text in a message: {leaked[:2]}")
        results.append((f"hostile key ({place})", "hostile key", f"{seed_name} #{i}", bad))
    return results


def writer_cases(m: Material, workdir: Path, rounds: int) -> list[Result]:
    results: list[Result] = []
    mat = m.root / "material"
    d = workdir / "writers"
    for i in range(rounds):
        for label, force in (("two commands", False), ("two commands --force", True)):
            shutil.rmtree(d, ignore_errors=True)
            d.mkdir()
            if force:
                (d / "r").write_bytes(OLD)
            argv = ["decrypt", "-i", str(mat / "a.key"), "-o", str(d / "r"), str(mat / "stream")]
            if force:
                argv.append("--force")
            outs: list[Outcome] = []
            ts = [threading.Thread(target=lambda: outs.append(
                run_child([sys.executable, "-c", LAUNCH, "unnamed", *argv]))) for _ in range(2)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()
            bad = []
            for res in outs:
                bad += generic_check(res, {0, 1})
            data = (d / "r").read_bytes() if (d / "r").exists() else None
            if data != PLAIN:
                bad.append("(d) the output is not whole")
            ok = sum(r.status == 0 for r in outs)
            if ok == 0 or (force and ok != 2):
                bad.append(f"statuses {[r.status for r in outs]}")
            for r in outs:
                if r.status == 1 and "exists" not in r.stderr:
                    bad.append(f"status 1: {r.stderr.strip()[-100:]}")
            if set(os.listdir(d)) != {"r"}:
                bad.append(f"(e) left: {sorted(set(os.listdir(d)) - {'r'})}")
            results.append((label, "two writers", f"round {i}", bad))
        # Eight threads of one process, through the file functions.
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir()
        errors: list[str] = []

        def work(j: int) -> None:
            try:
                tarnel.decrypt_file(mat / "stream", d / "r", m.secret)
            except BaseException as e:  # noqa: BLE001
                errors.append(f"{type(e).__name__}: {e}")

        ts = [threading.Thread(target=work, args=(j,)) for j in range(8)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        bad = [f"thread raised {e[:100]}" for e in errors]
        if (d / "r").read_bytes() != PLAIN:
            bad.append("(d) the output is not whole")
        if set(os.listdir(d)) != {"r"}:
            bad.append(f"(e) left: {sorted(set(os.listdir(d)) - {'r'})}")
        results.append(("eight threads decrypt_file", "two writers", f"round {i}", bad))
    return results


def damage(data: bytes, rng: random.Random, block: int) -> bytes:
    """``data`` with one random kind of damage: flipped bits (in the header
    or not), a cut, an insertion, a deletion, a duplicated or swapped run of
    chunks, or bytes appended."""
    b = bytearray(data)
    how = rng.randrange(8)
    if how == 0:
        for _ in range(rng.randint(1, 3)):
            b[rng.randrange(min(len(b), 1300))] ^= 1 << rng.randrange(8)
    elif how == 1:
        b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
    elif how == 2:
        del b[rng.randrange(len(b) + 1):]
    elif how == 3:
        i = rng.randrange(len(b) + 1)
        b[i:i] = os.urandom(rng.choice([1, 15, 16, 17, block]))
    elif how == 4:
        i = rng.randrange(len(b))
        del b[i:i + rng.choice([1, 16, block, 2 * block])]
    elif how == 5:
        i = rng.randrange(len(b))
        b[i:i] = b[i:i + block]
    elif how == 6 and len(b) > 3 * block:
        i = rng.randrange(len(b) - 2 * block)
        j = i + block
        b[i:j + block] = b[j:j + block] + b[i:j]
    else:
        b += os.urandom(rng.choice([1, 16, 100]))
    return bytes(b)


def _outcome(fn: Callable[[], bytes]) -> tuple[str, Any]:
    try:
        return "plaintext", hashlib_sha(fn())
    except tarnel.TarnelError as e:
        return type(e).__name__, str(e)
    except Exception as e:  # noqa: BLE001 - an undocumented exception is what is looked for
        return "undocumented " + type(e).__name__, str(e)


def hashlib_sha(data: bytes) -> str:
    import hashlib
    return hashlib.sha256(data).hexdigest()


def differential_cases(m: Material, workdir: Path, n: int, rng: random.Random) -> list[Result]:
    """Damaged streams and files, plain and armored, opened by the native
    path (a file into a file) and by the chunk-by-chunk path (in memory):
    the same plaintext or the same exception and message, and nothing left
    by a native failure."""
    results: list[Result] = []
    d = workdir / "diff"
    d.mkdir()
    pk = (m.root / "material" / "a.raw.pub").read_bytes()
    sizes = [0, 1, 1023, 1024, 5000, 70_000, 300_000]
    for i in range(n):
        fmt = rng.choice(["stream", "file"])
        armored = rng.random() < 0.25
        plain = os.urandom(rng.choice(sizes))
        chunk = rng.choice([1024, 4096]) if fmt == "file" else rng.choice([1024, 4096, 65536])
        if fmt == "stream":
            src, out = io.BytesIO(plain), io.BytesIO()
            tarnel.encrypt_file(src, out, pk, chunk_size=chunk)
            data = out.getvalue()
        else:
            data = files.encrypt(plain, [pk], chunk_size=chunk)
        label = armor.STREAM_LABEL if fmt == "stream" else armor.FILE_LABEL
        if armored:
            text = io.BytesIO()
            w = armor.ArmorWriter(text, label)
            w.write(data)
            w.finish()
            data = text.getvalue()
        data = damage(data, rng, chunk + 16) if rng.random() < 0.9 else data
        path = d / "in"
        path.write_bytes(data)
        target = d / "out"

        def native() -> bytes:
            with open(path, "rb") as raw:
                src: Any = io.BufferedReader(armor.ArmorReader(raw, label), 1 << 16) if armored else raw
                if fmt == "stream":
                    tarnel.decrypt_file(src, target, m.secret)
                else:
                    files.decrypt_file(src, target, [m.secret])
            return target.read_bytes()

        def in_memory() -> bytes:
            src: Any = io.BytesIO(data)
            if armored:
                src = io.BufferedReader(armor.ArmorReader(src, label), 1 << 16)
            if fmt == "file":
                return files.decrypt(src, [m.secret])
            out = io.BytesIO()
            tarnel.decrypt_file(src, out, m.secret)
            return out.getvalue()

        a, b = _outcome(native), _outcome(in_memory)
        bad = []
        if a != b:
            bad.append(f"native {a[0]}: {str(a[1])[:80]} / in memory {b[0]}: {str(b[1])[:80]}")
        if any(x[0].startswith("undocumented") for x in (a, b)):
            bad.append(f"undocumented exception: {a} {b}"[:200])
        if a[0] != "plaintext" and target.exists():
            bad.append("output left by a failed native decrypt")
        stray = sorted(set(os.listdir(d)) - {"in", "out"})
        if stray:
            bad.append(f"(e) left: {stray}")
        for name in ("out",):
            if (d / name).exists():
                (d / name).unlink()
        results.append((f"damaged {'armored ' if armored else ''}{fmt}", "differential", f"#{i}", bad))
    return results


def key_text_cases(m: Material, n: int, rng: random.Random) -> list[Result]:
    """Every key loader on mutated key texts, in process: a key or a
    documented exception (TarnelError), and no secret text in a message."""
    from tarnel import pkcs
    pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
    seed, xpub = xwing.generate_keypair()
    xkey = keyfile.xwing_key_file_text(seed, PASSWORD, scrypt=CHEAP).encode()
    loaders: dict[str, tuple[bytes, Callable[[bytes], object], bool]] = {
        "key file": (keyfile.secret_key_file_text(pair, PASSWORD, scrypt=CHEAP).encode(),
                     lambda b: keyfile.load_secret_key_text(b, PASSWORD), True),
        "X-Wing key file": (xkey, lambda b: keyfile.load_xwing_key_text(b, PASSWORD), True),
        "PKCS#8": (pkcs.export_secret_key_pkcs8(pair.secret_key).encode(), pkcs.load_secret_key_pkcs8, True),
        "public PEM": (pair.public_key_pem().encode(),
                       lambda b: tarnel.load_public_key_pem(b.decode("utf-8", "replace")), False),
        "public JSON": (pair.public_key_json().encode(),
                        lambda b: tarnel.load_public_key_json(b.decode("utf-8", "replace")), False),
        "SPKI": (pkcs.export_public_key_spki(pair.public_key).encode(), pkcs.load_public_key_spki, False),
        "X-Wing public text": (xwing_public_key_text(xpub, "pem").encode(), xwing.load_public_key_text, False),
        "X-Wing PKCS#8": (pkcs.export_xwing_private_key_pkcs8(seed).encode(),
                          pkcs.load_xwing_private_key_pkcs8, True),
        "X-Wing SPKI DER": (pkcs.export_xwing_public_key_spki(xpub, "der"),
                            pkcs.load_xwing_public_key_spki, False),
        "PKCS#8 DER": (pkcs.export_secret_key_pkcs8(pair.secret_key, "der"), pkcs.load_secret_key_pkcs8, True),
    }
    results: list[Result] = []
    secrets = {"key file": pair.secret_key, "PKCS#8": pair.secret_key, "PKCS#8 DER": pair.secret_key,
               "X-Wing key file": seed, "X-Wing PKCS#8": seed}
    windows = {name: [enc[i:i + 12] for enc in (base64.b64encode(k).decode(), k.hex(),
                                                base64.urlsafe_b64encode(k).decode())
                      for i in range(0, len(enc) - 12, 6)] for name, k in secrets.items()}
    for i in range(n):
        name = rng.choice(sorted(loaders))
        seed_text, load, secret = loaders[name]
        data = mutate(seed_text, rng)
        bad = []
        try:
            load(data)
            shown = ""
        except tarnel.TarnelError as e:
            shown = str(e) + repr(e)
        except Exception as e:  # noqa: BLE001 - what is looked for
            shown = str(e)
            bad.append(f"undocumented {type(e).__name__}: {str(e)[:100]}")
        if secret and any(w in shown for w in windows[name]):
            bad.append("secret text in a message")
        results.append((f"key text ({name})", "key text", f"#{i}", bad))
    return results


# ---------------------------------------------------------------------------
# Main


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cap", type=int, default=8, help="occurrences tried per call and scenario")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--only", default="errors,signal,delay,double,large,full,keys,writers,diff,keytext")
    ap.add_argument("--scenario", default="", help="only scenarios whose name contains this")
    ap.add_argument("--quick", action="store_true", help="a small sample of everything")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--json", help="write every failure here")
    opts = ap.parse_args()
    if STRACE is None:
        print("needs strace", file=sys.stderr)
        return 2
    classes = set(opts.only.split(","))
    cap = 2 if opts.quick else opts.cap
    rng = random.Random(opts.seed)
    workdir = Path(tempfile.mkdtemp(prefix="tarnel-campaign-"))
    t0 = time.monotonic()
    results: list[Result] = []
    try:
        m = make_material(workdir)
        slots = [Slot(workdir, i, m) for i in range(opts.jobs)]
        if classes & {"errors", "signal", "delay", "double"}:
            global scenarios
            all_scn = scenarios
            scenarios = lambda: [s for s in all_scn() if opts.scenario in s.name]  # noqa: E731
            cases = syscall_cases(m, slots[0], workdir, cap, rng, classes)
            print(f"{len(cases)} system call cases", file=sys.stderr)
            free: "collections.deque[Slot]" = collections.deque(slots)
            lock = threading.Lock()

            def one(case: Case) -> Result:
                with lock:
                    slot = free.popleft()
                try:
                    c, bad, res = run_case(case, slot, m, workdir)
                    if bad:
                        bad = [f"{b} [{c.label}; {res.stderr.strip().splitlines()[-1][:90] if res.stderr.strip() else ''}]"
                               for b in bad]
                    return (c.scn.name, c.klass, c.label, bad)
                finally:
                    with lock:
                        free.append(slot)

            with concurrent.futures.ThreadPoolExecutor(opts.jobs) as pool:
                for k, r in enumerate(pool.map(one, cases)):
                    results.append(r)
                    if r[3]:
                        print(f"FAIL {r[0]} / {r[1]} / {r[2]}: {r[3]}", file=sys.stderr)
                    if k % 200 == 199:
                        print(f"  {k + 1} cases, {time.monotonic() - t0:.0f}s", file=sys.stderr)
        if "large" in classes:
            results += large_signal_cases(m, workdir, 4 if opts.quick else 24, rng)
        if "full" in classes:
            results += full_disk_cases(m, workdir, 6 if opts.quick else 30)
        if "keys" in classes:
            results += hostile_key_cases(m, workdir, 20 if opts.quick else 300, rng)
        if "writers" in classes:
            results += writer_cases(m, workdir, 2 if opts.quick else 10)
        if "diff" in classes:
            results += differential_cases(m, workdir, 200 if opts.quick else 20_000, rng)
        if "keytext" in classes:
            results += key_text_cases(m, 500 if opts.quick else 50_000, rng)
    finally:
        if not opts.keep:
            shutil.rmtree(workdir, ignore_errors=True)
        else:
            print(f"kept {workdir}", file=sys.stderr)
    table: dict[tuple[str, str], list[int]] = collections.defaultdict(lambda: [0, 0])
    failures: dict[tuple[str, str], list[str]] = collections.defaultdict(list)
    for scn, klass, label, bad in results:
        row = table[(scn, klass)]
        row[0] += 1
        if bad:
            row[1] += 1
            failures[(scn, klass)].append(f"{label}: {'; '.join(bad)}")
    print("\n| scenario | fault class | tried | held | failed |\n|---|---|---|---|---|")
    for (scn, klass), (tried, failed) in table.items():
        print(f"| {scn} | {klass} | {tried} | {tried - failed} | {failed} |")
    total = sum(r[0] for r in table.values())
    failed = sum(r[1] for r in table.values())
    print(f"\ntotal: {total} cases, {total - failed} held, {failed} failed "
          f"({time.monotonic() - t0:.0f}s)")
    for key, items in failures.items():
        print(f"\n{key[0]} / {key[1]}:")
        for it in items[:6]:
            print(f"  - {it[:300]}")
        if len(items) > 6:
            print(f"  ... and {len(items) - 6} more")
    if opts.json:
        Path(opts.json).write_text(json.dumps({f"{k[0]} / {k[1]}": v for k, v in failures.items()}, indent=1))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
