"""Secret key files under a scrypt-stretched passphrase, passphrase helpers
and the permission check."""

import base64
import errno
import hashlib
import os
import re
import stat
import subprocess
import sys
import threading

import pytest

import tarnel
from tarnel import DecryptionError, InvalidParameterError, KeySerializationError
from tarnel.keyfile import (
    MAX_SCRYPT_LANES,
    MAX_SCRYPT_MEMORY,
    MAX_SCRYPT_WORK,
    ScryptParams,
    key_file_scrypt_params,
)

from conftest import LEVELS, level_id

# A cheap stretch for the tests that are not about the cost itself.
FAST = ScryptParams(log2_n=10, r=8, p=1)
PASS = "correct horse battery staple"


def fields(text):
    """Header fields of a key file, read independently of the module."""
    head, _, block = text.partition("-----BEGIN")
    values = dict(line.split(": ", 1) for line in head.splitlines())
    return values, "-----BEGIN" + block


def scrypt_key(passphrase, text):
    values, _ = fields(text)
    params = dict(item.split("=") for item in values["KDF-Params"].split())
    return hashlib.scrypt(passphrase.encode(), salt=base64.b64decode(values["KDF-Salt"]),
                          n=1 << int(params["ln"]), r=int(params["r"]), p=int(params["p"]),
                          maxmem=1 << 30, dklen=32)


@pytest.mark.parametrize("level", LEVELS, ids=level_id)
def test_round_trip_and_the_block_is_keyed_by_scrypt(level, tmp_path):
    pair = tarnel.generate_keypair(level)
    path = tmp_path / "id.key"
    tarnel.save_secret_key(path, pair, PASS, scrypt=FAST)
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    passphrase = PASS.encode()
    assert tarnel.load_secret_key(path, passphrase) == (pair.secret_key, pair.level)
    assert passphrase == PASS.encode()  # the caller's bytes are not wiped
    text = path.read_text("ascii")
    values, block = fields(text)
    assert values["ML-KEM-Key-File"] == "1" and values["KDF"] == "scrypt"
    assert key_file_scrypt_params(text) == FAST
    assert len(base64.b64decode(values["KDF-Salt"])) == 16
    # The unchanged encrypted block opens with the scrypt output, not with the
    # passphrase itself.
    assert tarnel.load_secret_key_pem(block, scrypt_key(PASS, text)) == (pair.secret_key,
                                                                        pair.level)
    with pytest.raises(DecryptionError):
        tarnel.load_secret_key_pem(block, PASS.encode())


def test_default_cost_is_at_least_scrypt_2_17(keypairs):
    pair = keypairs[768]
    text = tarnel.secret_key_file_text(pair, PASS)
    values, _ = fields(text)
    params = dict(item.split("=") for item in values["KDF-Params"].split())
    n, r, p = 1 << int(params["ln"]), int(params["r"]), int(params["p"])
    assert n >= 1 << 17 and r >= 8 and p >= 1
    assert tarnel.load_secret_key_text(text, PASS) == (pair.secret_key, pair.level)
    # Two files of the same key never share salt or bytes.
    assert tarnel.secret_key_file_text(pair, PASS, scrypt=FAST) != tarnel.secret_key_file_text(
        pair, PASS, scrypt=FAST)


def test_wrong_passphrase_or_altered_parameters_fail(keypairs):
    text = tarnel.secret_key_file_text(keypairs[512], PASS, scrypt=FAST)
    with pytest.raises(DecryptionError):
        tarnel.load_secret_key_text(text, PASS + "!")
    with pytest.raises(DecryptionError):
        tarnel.load_secret_key_text(text.replace("ln=10", "ln=11"), PASS)
    salt = fields(text)[0]["KDF-Salt"]
    other = base64.b64encode(bytes(16)).decode()
    with pytest.raises(DecryptionError):
        tarnel.load_secret_key_text(text.replace(salt, other), PASS)


@pytest.mark.parametrize("params", [
    "ln=22 r=8 p=1",        # 4 GiB
    "ln=20 r=8 p=1",        # 1 GiB
    "ln=12 r=999999 p=1",   # memory through r
    "ln=17 r=8 p=999999",   # work through p
    "ln=999 r=8 p=1",
])
def test_hostile_parameters_refused_before_work(params, keypairs):
    text = tarnel.secret_key_file_text(keypairs[768], PASS, scrypt=FAST)
    text = text.replace("ln=10 r=8 p=1", params)
    # Refused by the ceiling, before hashlib is asked for the memory.
    with pytest.raises(InvalidParameterError, match="scrypt parameters"):
        tarnel.load_secret_key_text(text, PASS)


# Headers that passed the old checks yet cost seconds and gigabytes (p and r
# add memory and PBKDF2 work that 128 * r * N does not count), or that
# OpenSSL refuses (N < 2**(16 r)), and the boundaries around them.
HOSTILE = [
    ("ln=1 r=8 p=999999", "memory"),          # 1 GiB for the p blocks
    ("ln=1 r=16 p=524288", "memory"),
    ("ln=19 r=8 p=1023", "memory"),           # the p blocks tip it over
    ("ln=1 r=999999 p=8", "memory"),          # 1.4 GiB through r
    ("ln=1 r=8193 p=1", "more work"),         # r * p one above the ceiling
    ("ln=1 r=1 p=8193", "more work"),
    ("ln=16 r=1 p=1", "outside scrypt's range"),
    ("ln=22 r=1 p=1", "outside scrypt's range"),
    ("ln=19 r=8 p=5", "more work"),           # N * r * p above 2**24
    ("ln=20 r=8 p=1", "memory"),
    ("ln=31 r=1 p=1", "memory"),
]


@pytest.mark.parametrize("params, reason", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_hostile_headers_refused_before_scrypt(params, reason, keypairs):
    text = tarnel.secret_key_file_text(keypairs[768], PASS, scrypt=FAST)
    text = text.replace("ln=10 r=8 p=1", params)
    ln, r, p = (int(v.split("=")[1]) for v in params.split())
    parsed = key_file_scrypt_params(text)
    assert parsed == ScryptParams(ln, r, p)
    assert parsed.memory == 128 * r * ((1 << ln) + p + 2)
    # The check's own message: hashlib was never reached.
    for call in (parsed.check, lambda: tarnel.load_secret_key_text(text, PASS)):
        with pytest.raises(InvalidParameterError, match=f"^scrypt parameters {params} .*{reason}"):
            call()


@pytest.mark.parametrize("params", [
    ScryptParams(15, 1, 1),      # the largest N OpenSSL takes at r = 1
    ScryptParams(1, 1, MAX_SCRYPT_LANES),
    ScryptParams(1, MAX_SCRYPT_LANES, 1),
    ScryptParams(2, 3, 5),
], ids=str)
def test_boundary_parameters_round_trip(params, keypairs):
    text = tarnel.secret_key_file_text(keypairs[512], PASS, scrypt=params)
    assert key_file_scrypt_params(text) == params
    assert tarnel.load_secret_key_text(text, PASS)[0] == keypairs[512].secret_key


@pytest.mark.parametrize("params", [
    ScryptParams(19, 8, 4), ScryptParams(20, 4, 1), ScryptParams(21, 2, 1), ScryptParams(14, 2, 256),
], ids=str)
def test_costly_parameters_within_the_ceilings_are_admitted(params):
    params.check()
    assert params.memory <= MAX_SCRYPT_MEMORY
    assert params.r * params.p << params.log2_n <= MAX_SCRYPT_WORK


# A child whose address space cannot hold the 512 MiB that ln=19 needs: a
# block refused for its structure proves that scrypt did not run first.
_NO_ROOM_FOR_SCRYPT = """
import resource, sys, tarnel
resource.setrlimit(resource.RLIMIT_AS, (400 << 20, 400 << 20))
try:
    tarnel.load_secret_key_text(sys.stdin.read(), "pw")
except tarnel.TarnelError as e:
    print(type(e).__name__, e)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory does not fit under RLIMIT_AS")
def test_damaged_block_is_refused_before_the_stretch(keypairs):
    pair = keypairs[1024]
    text = tarnel.secret_key_file_text(pair, PASS, scrypt=FAST).replace("ln=10", "ln=19")
    head, sep, rest = text.partition("-----BEGIN")
    block = sep + rest
    lines = block.split("\n")
    blob = pair.export_secret_key_raw(b"x")
    grown = "\n".join(["-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----",
                        base64.b64encode(blob + bytes(3)).decode(),
                        "-----END ENCRYPTED ML-KEM PRIVATE KEY-----", ""])
    cases = {
        "a character lost": (head + block.replace(lines[3], lines[3][1:]), "KeySerializationError",
                             "PEM ENCRYPTED body is not valid Base64"),
        "a line lost": (head + "\n".join(lines[:3] + lines[4:]), "KeySerializationError",
                        f"holds {len(blob) - 48} bytes, not the {len(blob)} of an ML-KEM-1024"),
        "no footer": (head + "\n".join(lines[:-2]) + "\n", "KeySerializationError",
                      "PEM footer not found"),
        "version 2": (head + block.replace(lines[1], base64.b64encode(
            b"TRPK\x02" + base64.b64decode(lines[1])[5:]).decode()), "KeySerializationError",
            "unsupported wrapped blob version"),
        "three bytes more": (head + grown, "KeySerializationError",
                             f"holds {len(blob) + 3} bytes, not the {len(blob)} of an ML-KEM-1024"),
        # The intact file reaches scrypt, which cannot get its memory here.
        "intact": (text, "InvalidParameterError", "scrypt could not run with parameters ln=19"),
    }
    for name, (data, kind, message) in cases.items():
        out = subprocess.run([sys.executable, "-c", _NO_ROOM_FOR_SCRYPT], input=data,
                             capture_output=True, text=True, timeout=120)
        assert out.returncode == 0 and "Traceback" not in out.stderr, (name, out.stderr)
        assert out.stdout.startswith(kind) and message in out.stdout, (name, out.stdout)


def test_ceiling_admits_a_raised_cost():
    ScryptParams(log2_n=18).check()
    # scrypt needs 128 * r * (N + p + 2) bytes: N = 2**19 at r = 8 fits.
    assert ScryptParams(log2_n=19).memory == 128 * 8 * ((1 << 19) + 3) <= MAX_SCRYPT_MEMORY
    ScryptParams(log2_n=19).check()
    with pytest.raises(InvalidParameterError):
        ScryptParams(log2_n=20).check()


@pytest.mark.parametrize("mutate, message", [
    (lambda t: t.replace("ML-KEM-Key-File: 1", "ML-KEM-Key-File: 2"), "unsupported version"),
    (lambda t: t.replace("KDF: scrypt", "KDF: argon2id"), "KDF: scrypt"),
    (lambda t: t.replace("ln=10", "ln=010"), "KDF-Params"),
    (lambda t: t.replace(" p=1", ""), "KDF-Params"),
    (lambda t: re.sub(r"KDF-Salt: \S+", "KDF-Salt: AAAA", t), "KDF-Salt"),
    (lambda t: t.replace("KDF-Salt: ", "KDF-Salt:  "), "KDF-Salt"),
    (lambda t: "\n".join(t.split("\n")[:3]), "truncated"),
    (lambda t: t.replace("-----BEGIN", "junk\n-----BEGIN"), "must follow the header"),
    (lambda t: t + "more\n", "after the key block"),
    (lambda t: t.replace("-----END ENCRYPTED ML-KEM PRIVATE KEY-----", ""), "footer"),
])
def test_malformed_key_files_refused(mutate, message, keypairs):
    text = tarnel.secret_key_file_text(keypairs[768], PASS, scrypt=FAST)
    with pytest.raises(KeySerializationError, match=re.escape(message)):
        tarnel.load_secret_key_text(mutate(text), PASS)


def test_crlf_line_ends_still_load(keypairs):
    text = tarnel.secret_key_file_text(keypairs[768], PASS, scrypt=FAST)
    assert tarnel.load_secret_key_text(text.replace("\n", "\r\n").encode(), PASS)[0] == (
        keypairs[768].secret_key)


def test_files_written_before_the_stretch_still_load(keypairs, tmp_path):
    pair = keypairs[1024]
    (tmp_path / "old.key").write_text(pair.export_secret_key_pem(b"old pass"))
    (tmp_path / "old.bin").write_bytes(pair.export_secret_key_raw(b"old pass"))
    for name in ("old.key", "old.bin"):
        assert key_file_scrypt_params((tmp_path / name).read_bytes()) is None
        assert tarnel.load_secret_key(tmp_path / name, "old pass") == (pair.secret_key,
                                                                       pair.level)
        with pytest.raises(DecryptionError):
            tarnel.load_secret_key(tmp_path / name, "wrong")
    (tmp_path / "pub").write_text(pair.public_key_pem())
    with pytest.raises(KeySerializationError, match="not a secret key file"):
        tarnel.load_secret_key(tmp_path / "pub", "old pass")
    (tmp_path / "big").write_bytes(b"x" * (1 << 17))
    with pytest.raises(KeySerializationError, match="too large"):
        tarnel.load_secret_key(tmp_path / "big", "old pass")


def test_save_refuses_empty_passphrase_and_existing_files(keypairs, tmp_path):
    pair, path = keypairs[768], tmp_path / "id.key"
    for empty in ("", b""):
        with pytest.raises(InvalidParameterError, match="empty passphrase"):
            tarnel.save_secret_key(path, pair, empty, scrypt=FAST)
    assert not path.exists()
    path.write_text("keep me")
    with pytest.raises(FileExistsError):
        tarnel.save_secret_key(path, pair, PASS, scrypt=FAST)
    assert path.read_text() == "keep me"
    tarnel.save_secret_key(path, pair, PASS, scrypt=FAST, overwrite=True)
    assert tarnel.load_secret_key(path, PASS)[0] == pair.secret_key
    assert os.listdir(tmp_path) == ["id.key"]


def test_save_into_a_missing_directory_names_the_file(keypairs, tmp_path):
    path = tmp_path / "absent" / "id.key"
    with pytest.raises(FileNotFoundError) as info:
        tarnel.save_secret_key(path, keypairs[768], PASS, scrypt=FAST)
    assert info.value.filename == str(path)


def test_save_over_a_symlink_never_writes_through_it(keypairs, tmp_path):
    target = tmp_path / "target"
    target.write_text("keep me")
    link = tmp_path / "id.key"
    link.symlink_to(target)
    with pytest.raises(FileExistsError):
        tarnel.save_secret_key(link, keypairs[768], PASS, scrypt=FAST)
    tarnel.save_secret_key(link, keypairs[768], PASS, scrypt=FAST, overwrite=True)
    assert target.read_text() == "keep me" and not link.is_symlink()
    assert stat.S_IMODE(link.stat().st_mode) == 0o600


def test_concurrent_saves_one_winner(keypairs, tmp_path):
    path = tmp_path / "id.key"
    outcomes = []

    def save(pair):
        try:
            tarnel.save_secret_key(path, pair, PASS, scrypt=FAST)
            outcomes.append(pair)
        except FileExistsError:
            outcomes.append(None)

    threads = [threading.Thread(target=save, args=(keypairs[v],)) for v in (512, 768, 1024)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    winners = [p for p in outcomes if p is not None]
    assert len(winners) == 1
    assert tarnel.load_secret_key(path, PASS)[0] == winners[0].secret_key
    assert os.listdir(tmp_path) == ["id.key"]


_FULL_DISK = """
import resource, sys, tarnel
from tarnel.keyfile import ScryptParams
resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))
try:
    tarnel.save_secret_key(sys.argv[1], tarnel.generate_keypair(), "pw pw pw pw pw pw",
                           scrypt=ScryptParams(log2_n=10))
except OSError as e:
    print(e.errno)
"""


def test_full_disk_leaves_nothing(tmp_path):
    path = tmp_path / "id.key"
    out = subprocess.run([sys.executable, "-c", _FULL_DISK, str(path)],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == str(errno.EFBIG)
    assert os.listdir(tmp_path) == []


def test_generated_passphrases():
    phrases = {tarnel.generate_passphrase() for _ in range(50)}
    assert len(phrases) == 50
    symbols = set("".join(phrases).replace("-", ""))
    assert not symbols & set("0o1l") and symbols <= set("abcdefghijklmnopqrstuvwxyz0123456789")
    for phrase in phrases:
        groups = phrase.split("-")
        # At least 128 bits: 32 symbols (5 bits) per character.
        assert len("".join(groups)) * 5 >= 128 and {len(g) for g in groups} == {5}
        assert tarnel.check_passphrase(phrase) is None


@pytest.mark.parametrize("passphrase, warns", [
    ("a" * 15, True), ("a" * 16, False), (b"a" * 15, True),
    ("é" * 15, True), ("é" * 16, False), ("é".encode() * 8, True),
])
def test_check_passphrase(passphrase, warns):
    warning = tarnel.check_passphrase(passphrase)
    assert (warning is not None) == warns
    if warns:
        assert "16" in warning and "a" * 3 not in warning  # the passphrase is not echoed


@pytest.mark.parametrize("empty", ["", b""])
def test_check_passphrase_refuses_empty(empty):
    with pytest.raises(InvalidParameterError, match="empty passphrase"):
        tarnel.check_passphrase(empty)


@pytest.mark.parametrize("mode, warns", [
    (0o600, False), (0o400, False), (0o640, True), (0o604, True), (0o620, True),
])
def test_permission_warning(mode, warns, tmp_path):
    path = tmp_path / "id.key"
    path.write_text("x")
    path.chmod(mode)
    warning = tarnel.key_file_permission_warning(path)
    assert (warning is not None) == warns
    if warns:
        assert f"{mode:04o}" in warning and "chmod 600" in warning
    assert tarnel.key_file_permission_warning(tmp_path / "absent") is None


@pytest.mark.parametrize("level", LEVELS, ids=level_id)
def test_a_secret_key_held_as_bytes_makes_the_same_key_file(level: tarnel.SecurityLevel) -> None:
    from tarnel.keyfile import load_secret_key_text, wrap_secret_key_text

    pair = tarnel.generate_keypair(level)
    text = wrap_secret_key_text(pair.secret_key, level, "a passphrase for bytes", scrypt=FAST)
    assert text.split("\n", 3)[:3] == ["ML-KEM-Key-File: 1", "KDF: scrypt", "KDF-Params: ln=10 r=8 p=1"]
    assert load_secret_key_text(text, "a passphrase for bytes") == (pair.secret_key, level)
    with pytest.raises(DecryptionError):
        load_secret_key_text(text, "another passphrase")
    with pytest.raises(InvalidParameterError):
        wrap_secret_key_text(pair.secret_key[:-1], level, "a passphrase for bytes", scrypt=FAST)
    with pytest.raises(InvalidParameterError):
        wrap_secret_key_text(pair.secret_key, level, "", scrypt=FAST)
