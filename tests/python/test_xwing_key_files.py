"""X-Wing keys in key files and on the command line: the key file (its
stretch, its block, wrong passphrases, damage found before the stretch),
the public key texts, keygen --type, pubkey and inspect on X-Wing keys,
the clear refusal of encrypt and decrypt, and keygen under a full disk."""

from __future__ import annotations

import base64
import hashlib
import json
import os
import resource
import subprocess
import sys

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.hashes import SHA3_256
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

import tarnel
from tarnel import keyfile, pkcs, xwing
from tarnel.keyfile import ScryptParams
from support import PACKAGE_ROOT, PASSWORD, assert_user_error, ok, run

QUICK = ScryptParams(log2_n=10)
NOT_STREAM = "X-Wing keys are not used by the stream format yet; use tarnel.hpke from Python"


@pytest.fixture(scope="module")
def seed_pk():
    return xwing.generate_keypair()


# ---------------------------------------------------------------- key file


def test_key_file_opens_with_an_independent_reading(seed_pk):
    seed, _ = seed_pk
    text = keyfile.xwing_key_file_text(seed, "a long passphrase", scrypt=QUICK)
    lines = text.split("\n")
    assert lines[:3] == ["X-Wing-Key-File: 1", "KDF: scrypt", "KDF-Params: ln=10 r=8 p=1"]
    assert lines[4] == "-----BEGIN ENCRYPTED X-WING PRIVATE KEY-----"
    assert lines[-2:] == ["-----END ENCRYPTED X-WING PRIVATE KEY-----", ""]
    # Recomputed with hashlib and pyca: scrypt, HKDF-SHA3-256
    # (info "tarnel-key-wrap-v1") and AES-256-GCM with the six header bytes
    # as associated data.
    salt = base64.b64decode(lines[3][len("KDF-Salt: "):])
    password = hashlib.scrypt(b"a long passphrase", salt=salt, n=1 << 10, r=8, p=1, dklen=32)
    blob = base64.b64decode("".join(lines[5:-2]))
    assert len(blob) == 82 and blob[:6] == b"TRPK\x01\x10"
    key = HKDF(SHA3_256(), 32, blob[6:22], b"tarnel-key-wrap-v1").derive(password)
    assert AESGCM(key).decrypt(blob[22:34], blob[34:], blob[:6]) == seed
    assert keyfile.load_xwing_key_text(text, "a long passphrase") == seed
    assert keyfile.key_file_type(text) == "X-Wing"


def test_key_file_refusals(seed_pk):
    seed, _ = seed_pk
    text = keyfile.xwing_key_file_text(seed, "pw", scrypt=QUICK)
    with pytest.raises(tarnel.DecryptionError):
        keyfile.load_xwing_key_text(text, "another")
    lines = text.split("\n")
    kind_changed = base64.b64decode("".join(lines[5:-2]))
    kind_changed = kind_changed[:5] + b"\x01" + kind_changed[6:]
    b64 = base64.b64encode(kind_changed).decode()
    relabelled = "\n".join(lines[:5] + [b64[:64], b64[64:]] + lines[-2:])
    with pytest.raises(tarnel.KeySerializationError, match="not a wrapped X-Wing key"):
        keyfile.load_xwing_key_text(relabelled, "pw")
    # Damage found before the stretch (N = 2^19 would take seconds to try).
    costly = text.replace("ln=10", "ln=19")
    for damaged, message in ((costly.replace(lines[6], lines[6][:-4]), "holds 81 bytes, not the 82"),
                             (costly.replace(lines[6], "!" + lines[6][1:]), "not valid Base64"),
                             (costly + "more", "unexpected text")):
        with pytest.raises(tarnel.KeySerializationError, match=message):
            keyfile.load_xwing_key_text(damaged, "pw")
    with pytest.raises(tarnel.KeySerializationError, match="holds an X-Wing key"):
        keyfile.load_secret_key_text(text, "pw")
    pair = tarnel.generate_keypair()
    ml = tarnel.secret_key_file_text(pair, "pw", scrypt=QUICK)
    with pytest.raises(tarnel.KeySerializationError, match="holds an ML-KEM key"):
        keyfile.load_xwing_key_text(ml, "pw")
    with pytest.raises(tarnel.InvalidParameterError):
        keyfile.xwing_key_file_text(seed[:31], "pw", scrypt=QUICK)
    with pytest.raises(tarnel.InvalidParameterError, match="empty passphrase"):
        keyfile.xwing_key_file_text(seed, "", scrypt=QUICK)


def test_save_and_load(tmp_path, seed_pk):
    seed, _ = seed_pk
    path = tmp_path / "x.key"
    keyfile.save_xwing_key(path, seed, "pw", scrypt=QUICK)
    assert path.stat().st_mode & 0o777 == 0o600
    assert keyfile.load_xwing_key(path, "pw") == seed
    with pytest.raises(FileExistsError):
        keyfile.save_xwing_key(path, seed, "pw", scrypt=QUICK)


# ---------------------------------------------------------------- public key texts


def test_public_key_texts(seed_pk):
    _, pk = seed_pk
    b64 = xwing.public_key_b64(pk)
    assert len(b64) == 1622 and base64.urlsafe_b64decode(b64 + "==") == pk
    pem = xwing.public_key_pem(pk).split("\n")
    assert pem[0] == "-----BEGIN X-WING PUBLIC KEY-----" and len(pem[1]) == 64
    assert base64.b64decode("".join(pem[1:-2])) == pk
    assert json.loads(xwing.public_key_json(pk)) == {"algorithm": "X-Wing", "public_key": b64}
    for text in (b64, f"  {b64}==\n", xwing.public_key_pem(pk), xwing.public_key_json(pk),
                 pkcs.export_xwing_public_key_spki(pk)):
        assert xwing.load_public_key_text(text) == pk


@pytest.mark.parametrize("make, exc", [
    (lambda pk: xwing.public_key_b64(pk)[:-1], tarnel.KeySerializationError),
    (lambda pk: xwing.public_key_b64(pk).replace("-", "+"), tarnel.KeySerializationError),
    (lambda pk: base64.urlsafe_b64encode(pk[:-3]).decode(), tarnel.InvalidParameterError),
    (lambda pk: base64.urlsafe_b64encode(b"\xff\xff" + pk[2:]).decode(), tarnel.InvalidParameterError),
    (lambda pk: xwing.public_key_json(pk).replace("X-Wing", "ML-KEM"), tarnel.KeySerializationError),
    (lambda pk: xwing.public_key_json(pk)[:-2], tarnel.KeySerializationError),
    (lambda pk: xwing.public_key_pem(pk).replace("-----END", "----END"), tarnel.KeySerializationError),
])
def test_public_key_text_refusals(seed_pk, make, exc):
    with pytest.raises(exc):
        xwing.load_public_key_text(make(seed_pk[1]))


# ---------------------------------------------------------------- command line


@pytest.fixture(scope="module")
def cli_keys(tmp_path_factory):
    d = tmp_path_factory.mktemp("xwing")
    result = ok(run("keygen", "--type", "xwing", "-o", str(d / "x")))
    assert result.stderr.decode().splitlines()[-1].startswith("X-Wing public key fingerprint ")
    return d / "x.pub", d / "x.key"


def test_keygen_writes_a_pair_that_belongs_together(cli_keys):
    pub, key = cli_keys
    public_key = xwing.load_public_key_text(pub.read_text())
    seed = keyfile.load_xwing_key(key, PASSWORD)
    assert xwing.generate_keypair(seed)[1] == public_key
    assert key.stat().st_mode & 0o777 == 0o600


@pytest.mark.parametrize("form", ["pem", "json", "base64", "spki"])
def test_pubkey_prints_every_form(cli_keys, form):
    pub, key = cli_keys
    text = ok(run("pubkey", "-i", str(key), "--format", form)).stdout.decode()
    assert xwing.load_public_key_text(text) == xwing.load_public_key_text(pub.read_text())


def test_keygen_to_standard_output_then_pubkey(tmp_path):
    out = ok(run("keygen", "--type", "xwing", "--public-format", "json")).stdout
    both = tmp_path / "both"
    both.write_bytes(out)
    printed = ok(run("pubkey", "-i", str(both), "--format", "json")).stdout
    assert printed == out.split(b"\n")[0] + b"\n"


def test_inspect(cli_keys):
    pub, key = cli_keys
    shown = ok(run("inspect", str(key))).stdout.decode()
    assert "type: passphrase-protected X-Wing private key (key file)" in shown
    assert "N = 2^17" in shown
    public_key = xwing.load_public_key_text(pub.read_text())
    shown = ok(run("inspect", str(pub))).stdout.decode()
    assert "type: X-Wing public key (PEM block)" in shown
    fingerprint = hashlib.sha3_256(public_key).hexdigest()[:4]
    assert f"fingerprint: {fingerprint} " in shown


def test_the_stream_format_and_decrypt_refuse_x_wing_keys(cli_keys, tmp_path):
    pub, key = cli_keys
    drop = "the stream format takes only ML-KEM keys; drop --format stream to encrypt to X-Wing keys"
    res = run("encrypt", "--format", "stream", "-r", str(pub), input=b"hi")
    assert_user_error(res, 2, f"X-Wing key {pub}: {drop}")
    assert res.stdout == b""
    text = xwing.public_key_b64(xwing.load_public_key_text(pub.read_text()))
    res = run("encrypt", "--format", "stream", "-r", text, input=b"hi")
    assert_user_error(res, 2, f"X-Wing key given as text: {drop}")
    assert res.stdout == b""
    assert_user_error(run("decrypt", "-i", str(key), input=b"x" * 2000), 1,
                      f"{key}: {NOT_STREAM}")


@pytest.mark.parametrize("args, message", [
    (("--type", "xwing", "--level", "768"), "--level applies to ML-KEM keys, not to --type xwing"),
    (("--type", "mlkem512", "--level", "1024"), "--type mlkem512 contradicts --level 1024"),
])
def test_contradicting_type_and_level(tmp_path, args, message):
    assert_user_error(run("keygen", *args, "-o", str(tmp_path / "k")), 2, message)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("args, level", [(("--type", "mlkem1024"), 1024),
                                         (("--type", "mlkem512", "--level", "512"), 512)])
def test_type_chooses_the_ml_kem_level(tmp_path, args, level):
    ok(run("keygen", *args, "-o", str(tmp_path / "k")))
    shown = ok(run("inspect", str(tmp_path / "k.pub"))).stdout.decode()
    assert f"level: ML-KEM-{level}" in shown


def test_keygen_on_a_full_disk_leaves_nothing(tmp_path):
    def child():
        resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))

    # No bytecode files: the child could not write them whole.
    env = {"PYTHONPATH": PACKAGE_ROOT, "TARNEL_PASSWORD": PASSWORD, "PATH": "/usr/bin:/bin",
           "PYTHONDONTWRITEBYTECODE": "1"}
    # A sanitizer's runtime, when the tests run under one, stays preloaded.
    env.update({k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS")})
    result = subprocess.run([sys.executable, "-m", "tarnel", "keygen", "--type", "xwing", "-o",
                             str(tmp_path / "k")], env=env, preexec_fn=child,
                            capture_output=True, timeout=120)
    err = result.stderr.decode()
    assert result.returncode != 0 and "Traceback" not in err and "error" in err
    assert list(tmp_path.iterdir()) == []


def test_passwd_changes_removes_and_restores_an_x_wing_passphrase(tmp_path):
    ok(run("keygen", "-o", str(tmp_path / "k")))  # X-Wing by default
    key, pub = tmp_path / "k.key", tmp_path / "k.pub"
    seed = keyfile.load_xwing_key(key, PASSWORD)
    (tmp_path / "new").write_text("another long passphrase for the key\n")
    before = key.read_bytes()
    res = run("passwd", "-i", str(key), "--new-password-file", str(tmp_path / "new"),
              password="not the passphrase")
    assert_user_error(res, 1, f"{key}: wrong password, or the secret key file is damaged")
    assert key.read_bytes() == before
    res = ok(run("passwd", "-i", str(key), "--new-password-file", str(tmp_path / "new")))
    assert res.stderr.decode().startswith(f"wrote {key} (X-Wing secret key, under the new passphrase)")
    assert keyfile.load_xwing_key(key, "another long passphrase for the key") == seed
    assert oct(key.stat().st_mode & 0o777) == "0o600"
    ok(run("passwd", "-i", str(key), "--password-file", str(tmp_path / "new"), "--unprotected",
           "-o", str(tmp_path / "k.p8")))
    assert pkcs.load_xwing_private_key_pkcs8((tmp_path / "k.p8").read_text()) == seed
    assert ok(run("pubkey", "-i", str(tmp_path / "k.p8"))).stdout == pub.read_bytes()
    ok(run("passwd", "-i", str(tmp_path / "k.p8"), "--new-password-file", str(tmp_path / "new")))
    assert keyfile.load_xwing_key(tmp_path / "k.p8", "another long passphrase for the key") == seed


def test_passwd_keeps_the_public_key_of_keygens_standard_output(tmp_path):
    both = tmp_path / "both"
    both.write_bytes(ok(run("keygen")).stdout)
    public = xwing.load_public_key_text(both.read_text())
    ok(run("passwd", "-i", str(both), "--new-password-env", "NEW", env={"NEW": "yet another passphrase"}))
    text = both.read_text()
    assert xwing.load_public_key_text(text) == public
    assert xwing.PrivateKey(keyfile.load_xwing_key_text(text[text.index("X-Wing-Key-File:"):],
                                                        "yet another passphrase")).public_key == public
