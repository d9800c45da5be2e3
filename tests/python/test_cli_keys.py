"""Key pairs and key text on the command line under faults: a pair written
as a unit whatever fails while it is put in place, secret key text kept out
of every message, and key files whose stretch is hostile."""

from __future__ import annotations

import base64
import json
import os
import platform
import signal
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import tarnel
from support import PACKAGE_ROOT, STRACE, assert_user_error, ok, run

# ---------------------------------------------------------------------------
# A key pair is written as a unit

# Runs the pair writer of the command line in a child whose os module fails
# one chosen call (the n-th fsync, link, rename or replace) with EIO, or
# raises KeyboardInterrupt there as a Ctrl-C at that moment would, and
# reports what each directory held afterwards. Every (call, n) is tried
# until n passes the number of such calls the writer makes.
_INJECT = r"""
import errno, json, os, sys
from tarnel import _files, cli

new_key, new_pub, old_key, old_pub = (open(p, "rb").read() for p in sys.argv[2:6])
root = sys.argv[1]
armed = {"op": None, "n": 0, "seen": 0, "fired": False, "how": "eio"}


def faulty(name, real):
    def call(*args, **kwargs):
        if armed["op"] == name:
            armed["seen"] += 1
            if armed["seen"] == armed["n"]:
                armed["fired"] = True
                if armed["how"] == "eio":
                    raise OSError(errno.EIO, os.strerror(errno.EIO))
                raise KeyboardInterrupt
        return real(*args, **kwargs)
    return call


for name in ("fsync", "link", "rename", "replace"):
    setattr(os, name, faulty(name, getattr(os, name)))

cases = []
for kind in ("unnamed", "named"):
    _files.USE_TMPFILE = kind == "unnamed"
    for existing in (True, False):
        for how in ("eio", "interrupt"):
            for op in ("fsync", "link", "rename", "replace"):
                n = 0
                while True:
                    n += 1
                    d = os.path.join(root, f"{kind}-{existing}-{how}-{op}-{n}")
                    os.mkdir(d)
                    k, p = os.path.join(d, "k.key"), os.path.join(d, "k.pub")
                    if existing:
                        for path, data, mode in ((k, old_key, 0o600), (p, old_pub, 0o644)):
                            with open(path, "wb") as f:
                                f.write(data)
                            os.chmod(path, mode)
                    armed.update(op=op, n=n, seen=0, fired=False, how=how)
                    error = None
                    try:
                        cli._write_pair((k, new_key, True), (p, new_pub, False), force=True)
                    except BaseException as e:
                        error = [type(e).__name__, str(e), bool(getattr(e, "committed", False))]
                    armed["op"] = None
                    files = {}
                    for name in os.listdir(d):
                        st = os.lstat(os.path.join(d, name))
                        with open(os.path.join(d, name), "rb") as f:
                            files[name] = [f.read().hex(), st.st_mode & 0o777]
                    cases.append({"case": [kind, existing, how, op, n], "fired": armed["fired"],
                                  "error": error, "files": files})
                    if not armed["fired"]:
                        break
json.dump(cases, sys.stdout)
"""


@pytest.fixture(scope="module")
def pairs(tmp_path_factory: pytest.TempPathFactory) -> dict[str, bytes]:
    """Two key pairs as keygen writes them, both texts of each."""
    d = tmp_path_factory.mktemp("pairs")
    texts = {}
    for name in ("old", "new"):
        ok(run("keygen", "--level", "512", "-o", str(d / name)))
        texts[name + "_key"] = (d / f"{name}.key").read_bytes()
        texts[name + "_pub"] = (d / f"{name}.pub").read_bytes()
    return texts


def test_key_pair_is_never_left_mixed_or_half_written(pairs: dict[str, bytes], tmp_path: Path) -> None:
    sources = []
    for name in ("new_key", "new_pub", "old_key", "old_pub"):
        (tmp_path / name).write_bytes(pairs[name])
        sources.append(str(tmp_path / name))
    root = tmp_path / "runs"
    root.mkdir()
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT}
    out = subprocess.run([sys.executable, "-c", _INJECT, str(root), *sources],
                         capture_output=True, text=True, env=env, timeout=600)
    assert out.returncode == 0, out.stderr
    cases = json.loads(out.stdout)
    old = {"k.key": [pairs["old_key"].hex(), 0o600], "k.pub": [pairs["old_pub"].hex(), 0o644]}
    new = {"k.key": [pairs["new_key"].hex(), 0o600], "k.pub": [pairs["new_pub"].hex(), 0o644]}
    failed_with_new_pair = 0
    for c in cases:
        kind, existing, how, op, n = c["case"]
        before = old if existing else {}
        where = f"{c['case']}: {c['error']}"
        if not c["fired"]:
            assert c["error"] is None and c["files"] == new, where
            continue
        if c["error"] is None:  # the fault hit a step whose failure is harmless
            assert c["files"] == new, where
        elif c["error"][2]:  # in place, not durable: the whole new pair
            assert c["files"] == new, where
        else:
            # A failure: exactly the files that were there, unchanged, and no
            # backup or temporary file beside them.
            assert c["files"] == before, where
            failed_with_new_pair += c["files"] == new
    # Every kind of call was hit while the old pair was being replaced.
    hit = {(c["case"][0], c["case"][3]) for c in cases if c["fired"] and c["error"] and c["case"][1]}
    assert {op for _, op in hit} >= {"fsync", "replace"}, hit
    assert failed_with_new_pair == 0


def test_keygen_force_keeps_the_old_pair_when_the_public_key_cannot_be_written(
    pairs: dict[str, bytes], tmp_path: Path
) -> None:
    # The public key's directory entry is a directory: nothing may change.
    (tmp_path / "k.key").write_bytes(pairs["old_key"])
    (tmp_path / "k.key").chmod(0o600)
    (tmp_path / "k.pub").mkdir()
    res = run("keygen", "--type", "mlkem768", "--force", "-o", str(tmp_path / "k"))
    assert_user_error(res, 1, f"cannot write {tmp_path / 'k.pub'}: Is a directory")
    assert sorted(os.listdir(tmp_path)) == ["k.key", "k.pub"]
    assert (tmp_path / "k.key").read_bytes() == pairs["old_key"]


def test_keygen_force_replaces_both_and_leaves_no_backup(pairs: dict[str, bytes], tmp_path: Path) -> None:
    for name, mode in (("k.key", 0o600), ("k.pub", 0o640)):
        (tmp_path / name).write_bytes(pairs["old_" + name[2:]])
        (tmp_path / name).chmod(mode)
    ok(run("keygen", "--force", "--level", "512", "-o", str(tmp_path / "k")))
    assert sorted(os.listdir(tmp_path)) == ["k.key", "k.pub"]
    assert stat.S_IMODE((tmp_path / "k.key").stat().st_mode) == 0o600
    assert stat.S_IMODE((tmp_path / "k.pub").stat().st_mode) == 0o640  # an existing file keeps its mode
    secret, level = tarnel.load_secret_key(tmp_path / "k.key", "correct horse battery staple")
    public = tarnel.load_public_key_pem((tmp_path / "k.pub").read_text(), level)
    assert secret[384 * 2 : 384 * 2 + len(public)] == public  # the pair matches
    assert (tmp_path / "k.key").read_bytes() != pairs["old_key"]


# keygen in a child whose n-th call of one os function fails with EIO, or
# (op "sigterm:<function>") sends the process a real SIGTERM at that moment.
_KEYGEN_WITH_FAULT = r"""
import errno, os, signal, sys
op, n = sys.argv[1], int(sys.argv[2])
send = op.startswith("sigterm:")
op = op.split(":")[-1]
real, seen = getattr(os, op), [0]


def call(*args, **kwargs):
    seen[0] += 1
    if seen[0] == n:
        if send:
            os.kill(os.getpid(), signal.SIGTERM)
        else:
            raise OSError(errno.EIO, os.strerror(errno.EIO))
    return real(*args, **kwargs)


setattr(os, op, call)
from tarnel.cli import main
sys.exit(main(sys.argv[3:]))
"""


@pytest.mark.parametrize("n", [1, 2, 3, 4], ids=lambda n: f"fsync{n}")
def test_keygen_under_a_failing_fsync_leaves_no_pair_or_one_that_opens(tmp_path: Path, n: int) -> None:
    # The fsyncs of the secret key, its directory, the public key and its
    # directory: a pair left in place must open with the passphrase shown.
    out = subprocess.run(
        [sys.executable, "-c", _KEYGEN_WITH_FAULT, "fsync", str(n),
         "keygen", "--level", "512", "--generate-passphrase", "-o", str(tmp_path / "k")],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
        start_new_session=True, timeout=300,
    )
    assert "Traceback" not in out.stderr, out.stderr
    names = sorted(os.listdir(tmp_path))
    if names == []:
        assert out.returncode == 1, out.stderr
        assert out.stderr.splitlines()[-1].startswith("tarnel: error: ")
        return
    # A failing directory fsync comes after the file is in place: the pair
    # stands, and the command says it may not be durable (status 3).
    assert names == ["k.key", "k.pub"], (names, out.stderr)
    assert out.returncode == 3, out.stderr
    assert out.stderr.startswith("tarnel: warning: ") and "could not be made durable" in out.stderr
    phrase = out.stderr.split("passphrase (shown only now, keep it safe): ")[1].split()[0]
    secret, level = tarnel.load_secret_key(tmp_path / "k.key", phrase)
    public = tarnel.load_public_key_pem((tmp_path / "k.pub").read_text(), level)
    assert secret[768 : 768 + len(public)] == public


# ---------------------------------------------------------------------------
# Secret key text never reaches a message


def _encodings_of(data: bytes) -> list[str]:
    return [data.hex(), data.hex().upper(), base64.b64encode(data).decode(),
            base64.urlsafe_b64encode(data).decode()]


def _leaks(output: bytes, secret: bytes) -> list[str]:
    """Every 8-byte window of ``secret`` found in ``output``, raw or in
    hexadecimal or either Base64 (at every alignment)."""
    found = [secret[i : i + 8].hex() for i in range(len(secret) - 7) if secret[i : i + 8] in output]
    text = output.decode("latin-1")
    for encoded in _encodings_of(secret):
        width = 16 if len(encoded) == 2 * len(secret) else 11  # 8 bytes' worth
        found += [encoded[i : i + width] for i in range(len(encoded) - width + 1)
                  if encoded[i : i + width] in text]
    return found


@pytest.fixture(scope="module")
def secret_texts() -> dict[str, tuple[str, bytes]]:
    """Text forms of secret keys, each with the secret bytes it carries."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import mlkem

    pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
    sk = pair.secret_key
    der = tarnel.pkcs.export_secret_key_pkcs8(sk, "der")
    seed_der = mlkem.MLKEM768PrivateKey.generate().private_bytes(
        serialization.Encoding.DER, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    seed = seed_der[-64:]
    b64url = base64.urlsafe_b64encode(sk).decode()
    forms = {
        "raw, URL-safe Base64": (b64url.rstrip("="), sk),
        "raw, URL-safe Base64 with a leading dash": ("-" + b64url[1:], sk[1:]),
        "raw, standard Base64": (base64.b64encode(sk).decode(), sk),
        "raw, hexadecimal": (sk.hex(), sk),
        "raw, 64-character lines": ("\n".join(base64.b64encode(sk).decode()[i : i + 64]
                                              for i in range(0, 3200, 64)), sk),
        "raw, in JSON": ('{"algorithm":"ML-KEM","level":"ML_KEM_768","secret_key":"%s"}' % b64url, sk),
        "PKCS#8 DER, standard Base64": (base64.b64encode(der).decode(), sk),
        "PKCS#8 DER, URL-safe Base64": (base64.urlsafe_b64encode(der).decode(), sk),
        "PKCS#8 DER, hexadecimal": (der.hex(), sk),
        "PKCS#8 PEM": (tarnel.pkcs.export_secret_key_pkcs8(sk), sk),
        "PKCS#8 seed, standard Base64": (base64.b64encode(seed_der).decode(), seed),
        "PKCS#8 seed, hexadecimal": (seed_der.hex(), seed),
        "key file": (tarnel.secret_key_file_text(pair, "pw pw pw pw pw pw pw pw"), sk),
    }
    return forms


PLACES = {
    "-r": lambda t, d: ["encrypt", "--format", "stream", "-r", t, str(d / "plain")],
    "-i": lambda t, d: ["decrypt", "-i", t, str(d / "plain")],
    "input": lambda t, d: ["encrypt", "--format", "stream", "-r", str(d / "k.pub"), t],
    "extra argument": lambda t, d: ["encrypt", "--format", "stream", "-r", str(d / "k.pub"), str(d / "plain"), t],
    "inspect": lambda t, d: ["inspect", t],
    "option value": lambda t, d: ["pubkey", "-i", str(d / "k.key"), "--format", t],
}


@pytest.mark.parametrize("place", PLACES)
def test_secret_key_text_is_never_echoed(
    secret_texts: dict[str, tuple[str, bytes]], tmp_path: Path, place: str
) -> None:
    ok(run("keygen", "--level", "512", "-o", str(tmp_path / "k")))
    (tmp_path / "plain").write_bytes(b"plain")
    for name, (text, secret) in secret_texts.items():
        res = run(*PLACES[place](text, tmp_path))
        assert res.returncode in (1, 2) and b"Traceback" not in res.stderr, (name, res.stderr)
        assert _leaks(res.stdout + res.stderr, secret) == [], (place, name, res.stderr)
        if place == "-r":
            assert_user_error(res, 1, "-r: the recipient given is a secret key (not shown); "
                              "give its public key instead (tarnel pubkey prints it)")


def test_recipient_messages_still_name_a_missing_file(tmp_path: Path) -> None:
    for name in ("alice.pub", str(tmp_path / "keys" / "bob.pub")):
        res = run("encrypt", "--format", "stream", "-r", name, input=b"x", cwd=tmp_path)
        assert_user_error(res, 1, f"-r {name}: neither a readable key file (No such file or directory) "
                          "nor public key text (expected a public key block, a JSON document or Base64 text)")
    # A public key cut short is key text: its length is told, not the text.
    text = tarnel.generate_keypair().public_key_b64()[:-4]
    res = run("encrypt", "--format", "stream", "-r", text, input=b"x")
    assert_user_error(res, 1, f"-r: the recipient given ({len(text)} characters, not shown) is neither "
                      "a readable key file nor public key text (expected a public key block, a JSON "
                      "document or Base64 text)")


# ---------------------------------------------------------------------------
# Key files whose stretch is hostile


@pytest.mark.parametrize("params, memory", [
    ("ln=1 r=8 p=999999", "977 MiB"),
    ("ln=1 r=999999 p=8", "1465 MiB"),
    ("ln=16 r=1 p=1", "8 MiB"),          # OpenSSL refuses N >= 2^(16 r)
    ("ln=1 r=1 p=8193", "1 MiB"),
])
def test_hostile_stretch_is_a_clean_error_and_inspect_tells_its_true_cost(
    tmp_path: Path, params: str, memory: str
) -> None:
    ok(run("keygen", "--level", "512", "-o", str(tmp_path / "k")))
    text = (tmp_path / "k.key").read_text().replace("ln=17 r=8 p=1", params)
    (tmp_path / "k.key").write_text(text)
    (tmp_path / "plain").write_bytes(b"x")
    enc = ok(run("encrypt", "--format", "stream", "-r", str(tmp_path / "k.pub"), str(tmp_path / "plain"))).stdout
    (tmp_path / "enc").write_bytes(enc)
    for args in (["decrypt", "-i", str(tmp_path / "k.key"), str(tmp_path / "enc")],
                 ["pubkey", "-i", str(tmp_path / "k.key")]):
        res = run(*args)
        err = res.stderr.decode()
        assert res.returncode == 1 and "Traceback" not in err and res.stdout == b"", err
        last = err.splitlines()[-1]
        assert last.startswith(f"tarnel: error: {tmp_path / 'k.key'}: scrypt parameters {params} ")
        assert "ask for more" in last or "outside scrypt's range" in last
    ln, r, p = (int(v.split("=")[1]) for v in params.split())
    assert memory == f"{(128 * r * ((1 << ln) + p + 2) + (1 << 19)) >> 20} MiB"
    out = ok(run("inspect", str(tmp_path / "k.key"))).stdout.decode()
    assert (f"key stretch: scrypt, N = 2^{ln}, r = {r}, p = {p} ({memory} per guess); "
            "beyond the ceiling, so the key cannot be loaded\n") in out


@pytest.mark.parametrize("op, n", [("fsync", 1), ("fsync", 2), ("fsync", 3), ("fsync", 4), ("replace", 1),
                                   ("replace", 2), ("link", 1)])
def test_sigterm_while_the_pair_moves_keeps_the_old_pair(
    pairs: dict[str, bytes], tmp_path: Path, op: str, n: int
) -> None:
    # A real SIGTERM arrives while the files move (it is held back until
    # they have all moved, then the move is undone).
    (tmp_path / "k.key").write_bytes(pairs["old_key"])
    (tmp_path / "k.key").chmod(0o600)
    (tmp_path / "k.pub").write_bytes(pairs["old_pub"])
    out = subprocess.run(
        [sys.executable, "-c", _KEYGEN_WITH_FAULT, f"sigterm:{op}", str(n),
         "keygen", "--force", "--level", "512", "--generate-passphrase", "-o", str(tmp_path / "k")],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
        start_new_session=True, timeout=300,
    )
    assert out.returncode == 128 + signal.SIGTERM, out.stderr
    assert out.stderr.splitlines()[-1] == "tarnel: error: terminated by SIGTERM"
    assert sorted(os.listdir(tmp_path)) == ["k.key", "k.pub"]
    assert (tmp_path / "k.key").read_bytes() == pairs["old_key"]
    assert (tmp_path / "k.pub").read_bytes() == pairs["old_pub"]
    assert stat.S_IMODE((tmp_path / "k.key").stat().st_mode) == 0o600


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("generated, status", [(False, 0), (True, 1)], ids=["password", "generated passphrase"])
def test_keygen_whose_stderr_fails_after_the_pair_is_in_place(tmp_path: Path, generated: bool, status: int) -> None:
    """Every write to stderr fails (it is /dev/full) once the pair is in
    place: the report that the pair was written is not the pair, so the
    command succeeds, unless what could not be shown is the generated
    passphrase without which the key file cannot be opened."""
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT, "TARNEL_PASSWORD": "a passphrase long enough"}
    with open("/dev/full", "w") as full:
        res = subprocess.run(
            [sys.executable, "-m", "tarnel", "keygen", "--level", "512", "-o", str(tmp_path / "k"),
             *(["--generate-passphrase"] if generated else [])],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=full, env=env,
            start_new_session=True, timeout=300,
        )
    assert res.returncode == status
    assert sorted(os.listdir(tmp_path)) == ["k.key", "k.pub"]
    if not generated:
        secret, level = tarnel.load_secret_key(tmp_path / "k.key", "a passphrase long enough")
        public = tarnel.load_public_key_pem((tmp_path / "k.pub").read_text(), level)
        assert secret[768 : 768 + len(public)] == public


@pytest.mark.skipif(STRACE is None or platform.machine() != "x86_64",
                    reason="needs strace that may trace here, and unlink and rename as x86_64 has them")
@pytest.mark.parametrize("faults, status", [
    # The new pair is in place; the old secret key's backup cannot be removed.
    (["-e", "inject=unlink:error=EIO:when=1"], 0),
    # The public key cannot be put in place, and the secret key already
    # replaced cannot be put back: its backup is the old key's only copy.
    (["-e", "inject=renameat:error=EIO:when=2", "-e", "inject=rename:error=EIO:when=1"], 1),
], ids=["backup not removed", "not put back"])
def test_keygen_names_an_old_secret_key_it_leaves_behind(
    pairs: dict[str, bytes], tmp_path: Path, faults: list[str], status: int
) -> None:
    (tmp_path / "k.key").write_bytes(pairs["old_key"])
    (tmp_path / "k.key").chmod(0o600)
    (tmp_path / "k.pub").write_bytes(pairs["old_pub"])
    res = subprocess.run(
        [str(STRACE), "-f", "-qq", "-o", os.devnull, "-e", "trace=unlink,rename,renameat", *faults,
         sys.executable, "-m", "tarnel", "keygen", "--force", "--level", "512", "-o", str(tmp_path / "k")],
        capture_output=True, text=True, start_new_session=True, timeout=300,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT, "TARNEL_PASSWORD": "a passphrase long enough"},
    )
    assert res.returncode == status, res.stderr
    assert "Traceback" not in res.stderr
    left = [n for n in os.listdir(tmp_path) if n not in ("k.key", "k.pub")]
    assert len(left) == 1 and left[0].startswith(".k.key.") and left[0].endswith(".old"), left
    backup = tmp_path / left[0]
    assert backup.read_bytes() == pairs["old_key"]
    assert stat.S_IMODE(backup.stat().st_mode) == 0o600
    assert any(line.startswith("tarnel: warning: ") and line.endswith(str(backup))
               for line in res.stderr.splitlines()), res.stderr
    assert (tmp_path / "k.key").read_bytes() != pairs["old_key"]
    if status == 0:
        assert (tmp_path / "k.pub").read_bytes() != pairs["old_pub"]
    else:
        assert (tmp_path / "k.pub").read_bytes() == pairs["old_pub"]
        assert res.stderr.splitlines()[-1] == f"tarnel: error: {tmp_path / 'k.pub'}: Input/output error"
