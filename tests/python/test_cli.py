"""The ``tarnel`` command line, run as a real subprocess (``python -m tarnel``)."""

from __future__ import annotations

import base64
import hashlib
import os
import pty
import select
import subprocess
import sys
from pathlib import Path

import pytest

import tarnel
from tarnel import streaming
from support import PACKAGE_ROOT, PASSWORD, assert_user_error, converse, ok, run



@pytest.fixture(scope="module", params=[512, 768, 1024], ids=lambda v: f"L{v}")
def keys(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path, int]:
    d = tmp_path_factory.mktemp(f"keys{request.param}")
    ok(run("keygen", "--level", str(request.param), "-o", str(d / "me")))
    return d / "me.pub", d / "me.key", request.param


@pytest.fixture(scope="module")
def keys768(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    d = tmp_path_factory.mktemp("keys768")
    ok(run("keygen", "--type", "mlkem768", "-o", str(d / "me")))
    return d / "me.pub", d / "me.key"


def test_keygen_writes_loadable_blocks(keys: tuple[Path, Path, int]) -> None:
    pub, key, level = keys
    pub_text, key_text = pub.read_text(), key.read_text()
    assert pub_text.startswith("-----BEGIN ML-KEM PUBLIC KEY-----\n")
    # A key file stretched with scrypt N = 2^17, r = 8, p = 1: the block's
    # password is scrypt(passphrase, salt), computed here with hashlib.
    head = key_text.split("\n", 4)
    assert head[:3] == ["ML-KEM-Key-File: 1", "KDF: scrypt", "KDF-Params: ln=17 r=8 p=1"]
    assert head[3].startswith("KDF-Salt: ")
    assert head[4].startswith("-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----\n")
    stretched = hashlib.scrypt(PASSWORD.encode(), salt=base64.b64decode(head[3][10:]),
                               n=1 << 17, r=8, p=1, maxmem=200 << 20, dklen=32)
    lvl = getattr(tarnel.SecurityLevel, f"ML_KEM_{level}")
    public_key = tarnel.load_public_key_pem(pub_text, lvl)
    with pytest.raises(tarnel.DecryptionError):
        tarnel.load_secret_key_pem(head[4], PASSWORD.encode())
    secret_key, got_level = tarnel.load_secret_key_pem(head[4], stretched)
    assert got_level is lvl
    capsule, shared = tarnel.encapsulate(public_key, lvl)
    assert tarnel.decapsulate(capsule, secret_key, lvl) == shared
    assert key.stat().st_mode & 0o077 == 0


@pytest.mark.parametrize("size", [0, 1, 65536, 65537, 3 * 1024 * 1024 + 5])
def test_file_round_trip(keys: tuple[Path, Path, int], tmp_path: Path, size: int) -> None:
    pub, key, _ = keys
    src = tmp_path / "plain"
    src.write_bytes(os.urandom(size))
    ok(run("encrypt", "--format", "stream", "-r", str(pub), "-o", str(tmp_path / "enc"), str(src)))
    ok(run("decrypt", "-i", str(key), "-o", str(tmp_path / "dec"), str(tmp_path / "enc")))
    assert (tmp_path / "dec").read_bytes() == src.read_bytes()


def test_pipes_and_dash(keys768: tuple[Path, Path]) -> None:
    pub, key = keys768
    data = os.urandom(200_000)
    enc = ok(run("encrypt", "--format", "stream", "-r", str(pub), input=data)).stdout
    enc2 = ok(run("encrypt", "--format", "stream", "-r", str(pub), "-o", "-", "-", input=data)).stdout
    assert enc != enc2  # fresh encapsulation per stream
    for e in (enc, enc2):
        assert ok(run("decrypt", "-i", str(key), input=e)).stdout == data
        assert ok(run("decrypt", "-i", str(key), "-o", "-", "-", input=e)).stdout == data


def test_cli_and_api_interoperate(keys768: tuple[Path, Path], tmp_path: Path) -> None:
    pub, key = keys768
    public_key = tarnel.load_public_key_pem(pub.read_text())
    secret_key, _ = tarnel.load_secret_key(key, PASSWORD)
    data = os.urandom(100_000)
    (tmp_path / "p").write_bytes(data)
    streaming.encrypt_file(tmp_path / "p", tmp_path / "api.enc", public_key, chunk_size=1000)
    assert ok(run("decrypt", "-i", str(key), str(tmp_path / "api.enc"))).stdout == data
    ok(run("encrypt", "--format", "stream", "-r", str(pub), "--chunk-size", "777", "-o", str(tmp_path / "cli.enc"), str(tmp_path / "p")))
    streaming.decrypt_file(tmp_path / "cli.enc", tmp_path / "d", secret_key)
    assert (tmp_path / "d").read_bytes() == data


def test_json_and_base64_public_keys(tmp_path: Path) -> None:
    pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_1024)
    (tmp_path / "k.json").write_text(pair.public_key_json())
    (tmp_path / "k.b64").write_text(tarnel.serialize_public_key(pair.public_key) + "\n")
    data = b"to a JSON recipient"
    for name in ("k.json", "k.b64"):
        enc = ok(run("encrypt", "--format", "stream", "-r", str(tmp_path / name), input=data)).stdout
        out = tmp_path / "out"
        (tmp_path / "enc").write_bytes(enc)
        streaming.decrypt_file(tmp_path / "enc", out, pair.secret_key)
        assert out.read_bytes() == data


def test_keygen_to_stdout_serves_both_commands(tmp_path: Path) -> None:
    both = tmp_path / "both.keys"
    both.write_bytes(ok(run("keygen", "--level", "512")).stdout)
    enc = ok(run("encrypt", "--format", "stream", "-r", str(both), input=b"x" * 10)).stdout
    assert ok(run("decrypt", "-i", str(both), input=enc)).stdout == b"x" * 10


def test_password_from_file_and_named_variable(tmp_path: Path) -> None:
    (tmp_path / "pw").write_text("s3cret\n")
    ok(run("keygen", "--type", "mlkem768", "-o", str(tmp_path / "a"), "--password-file", str(tmp_path / "pw"), password=None))
    enc = ok(run("encrypt", "--format", "stream", "-r", str(tmp_path / "a.pub"), input=b"data")).stdout
    out = run("decrypt", "-i", str(tmp_path / "a.key"), "--password-env", "MY_PW",
              input=enc, env={"MY_PW": "s3cret"}, password=None)
    assert ok(out).stdout == b"data"
    # The file's line ending is not part of the password.
    assert tarnel.load_secret_key(tmp_path / "a.key", b"s3cret")


def test_inspect_describes_keys_and_streams(keys: tuple[Path, Path, int], tmp_path: Path) -> None:
    pub, key, level = keys
    public_key = tarnel.load_public_key_pem(pub.read_text(), getattr(tarnel.SecurityLevel, f"ML_KEM_{level}"))
    digest = hashlib.sha3_256(public_key).hexdigest()
    fp = " ".join(digest[i:i + 4] for i in range(0, 64, 4))  # all 256 bits, grouped
    out = ok(run("inspect", str(pub))).stdout.decode()
    assert out == (
        "type: ML-KEM public key (PEM block)\n"
        f"level: ML-KEM-{level}\npublic key: {len(public_key)} bytes\nfingerprint: {fp}\n"
    )
    out = ok(run("inspect", str(key))).stdout.decode()
    assert f"level: ML-KEM-{level}\n" in out and "format version: 1\n" in out
    data = os.urandom(2500)
    (tmp_path / "p").write_bytes(data)
    ok(run("encrypt", "--format", "stream", "-r", str(pub), "--chunk-size", "1000", "-o", str(tmp_path / "e"), str(tmp_path / "p")))
    enc = (tmp_path / "e").read_bytes()
    out = ok(run("inspect", str(tmp_path / "e"))).stdout.decode()
    hlen = streaming.stream_header_length(level)
    assert out == (
        "type: encrypted stream\n"
        f"level: ML-KEM-{level} (inferred from the framing)\n"
        f"header: {hlen} bytes\nchunk size: 1000 bytes\ndata frames: 3\n"
        f"plaintext: 2500 bytes\nstream size: {len(enc)} bytes\n"
        "end-of-stream marker: present, nothing after it\n"
    )
    truncated = run("inspect", "-", input=enc[:-20])
    assert truncated.returncode == 1
    assert b"end-of-stream marker: MISSING: the stream is truncated\n" in truncated.stdout


def _stderr_on_a_terminal(args: list[str]) -> tuple[int, str]:
    """Run the command with stderr on a pseudo-terminal; its status and
    what the terminal showed."""
    master, slave = pty.openpty()
    try:
        env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, TARNEL_PASSWORD=PASSWORD)
        proc = subprocess.run(
            [sys.executable, "-m", "tarnel", *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave, env=env, timeout=600,
        )
        os.close(slave)
        slave = -1
        chunks = []
        while True:
            try:
                block = os.read(master, 65536)
            except OSError:
                break
            if not block:
                break
            chunks.append(block)
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)
    return proc.returncode, b"".join(chunks).decode()


@pytest.mark.parametrize("form", [["--format", "stream"], ["--format", "file"]], ids=["stream", "file"])
def test_progress_line_on_a_terminal(keys768: tuple[Path, Path], tmp_path: Path, form: list[str]) -> None:
    pub, _ = keys768
    src = tmp_path / "p"
    src.write_bytes(bytes(streaming.DEFAULT_CHUNK_SIZE * 260 + 1))  # over 16 MiB
    status, text = _stderr_on_a_terminal(["encrypt", *form, "-r", str(pub), "-o", str(tmp_path / "e"), str(src)])
    assert status == 0
    assert "encrypting: 16.3 / 16.3 MiB (100%)" in text
    # Not with --quiet, before or after the command's name.
    for args in (["-q", "encrypt", *form], ["encrypt", *form, "-q"], ["encrypt", *form, "--quiet"]):
        status, text = _stderr_on_a_terminal(
            [*args, "-r", str(pub), "-o", str(tmp_path / "e"), "--force", str(src)])
        assert (status, text) == (0, ""), args
    # Not on a pipe.
    assert ok(run("encrypt", *form, "-r", str(pub), "-o", str(tmp_path / "e2"), str(src))).stderr == b""


@pytest.fixture(scope="module")
def xwing_keys(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    d = tmp_path_factory.mktemp("xwing")
    ok(run("keygen", "-o", str(d / "me")))
    return d / "me.pub", d / "me.key"


@pytest.mark.parametrize("where", ["before", "after"])
def test_verbose_says_what_was_found_and_done(
    keys768: tuple[Path, Path], xwing_keys: tuple[Path, Path], tmp_path: Path, where: str
) -> None:
    """-v (before or after the command's name) names the recipients, the
    input's format, the key file that opened it and what was written; with
    no -v, none of it."""
    def cli(command: str, *args: str, verbose: bool = True) -> str:
        flags = ["-v"] if verbose else []
        argv = [*flags, command, *args] if where == "before" else [command, *args, *flags]
        return ok(run(*argv)).stderr.decode()

    src = tmp_path / "notes"
    src.write_bytes(b"minutes\n")
    mlkem_pub, mlkem_key = keys768
    x_pub, x_key = xwing_keys
    enc = tmp_path / "f.tnl"
    said = cli("encrypt", "-r", str(x_pub), "-r", str(mlkem_pub), "-o", str(enc), str(src))
    assert f"tarnel: encrypting to 2 recipients: X-Wing ({x_pub}), ML-KEM-768 ({mlkem_pub})" in said
    said = cli("decrypt", "-i", str(mlkem_key), "-i", str(x_key), "-o", str(tmp_path / "o1"), str(enc))
    assert said.splitlines() == [
        f"tarnel: {enc}: a file of the multi-recipient format (entries: X-Wing, ML-KEM-768)",
        f"tarnel: opened with {mlkem_key}",
        f"tarnel: decrypted 8 bytes to {tmp_path / 'o1'}",
    ]
    stream = tmp_path / "s.tnl"
    said = cli("encrypt", "--format", "stream", "-r", str(mlkem_pub), "-o", str(stream), str(src))
    assert said == f"tarnel: encrypting to ML-KEM-768 key ({mlkem_pub}) as a stream\n"
    said = cli("decrypt", "-i", str(mlkem_key), str(stream))
    assert said.splitlines() == [
        f"tarnel: {stream}: an encrypted stream",
        f"tarnel: opened with {mlkem_key} (ML-KEM-768); decrypted 8 bytes to stdout",
    ]
    assert cli("decrypt", "-i", str(x_key), "-o", str(tmp_path / "o2"), str(enc),
               verbose=False) == ""


def test_encrypted_output_to_a_terminal_is_refused(keys768: tuple[Path, Path]) -> None:
    pub, _ = keys768
    master, slave = pty.openpty()
    try:
        env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
        proc = subprocess.run(
            [sys.executable, "-m", "tarnel", "encrypt", "--format", "stream", "-r", str(pub)],
            input=b"x", stdout=slave, stderr=subprocess.PIPE, env=env, timeout=60,
        )
    finally:
        os.close(slave)
        os.close(master)
    assert_user_error(
        proc, 2, "refusing to write encrypted data to a terminal: use -o, a pipe or -a/--armor"
    )
    # Armored text may go to a terminal.
    master, slave = pty.openpty()
    try:
        env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
        proc = subprocess.run(
            [sys.executable, "-m", "tarnel", "encrypt", "--format", "stream", "-a", "-r", str(pub)],
            input=b"x", stdout=slave, stderr=subprocess.PIPE, env=env, timeout=60,
        )
        shown = b""
        while select.select([master], [], [], 1)[0]:
            block = os.read(master, 65536)
            if not block:
                break
            shown += block
    finally:
        os.close(slave)
        os.close(master)
    assert proc.returncode == 0, proc.stderr
    assert b"-----BEGIN TARNEL ENCRYPTED STREAM-----" in shown
    assert b"-----END TARNEL ENCRYPTED STREAM-----" in shown


# ---------------------------------------------------------------------------
# Failures: a clear message, a non-zero status, no traceback, no output file


def test_damaged_streams(keys768: tuple[Path, Path], tmp_path: Path) -> None:
    pub, key = keys768
    data = os.urandom(70_000)
    enc = ok(run("encrypt", "--format", "stream", "-r", str(pub), input=data)).stdout
    other = tmp_path / "other"
    ok(run("keygen", "--type", "mlkem768", "-o", str(other)))
    partly = "; the output written so far is incomplete and must not be trusted"
    nothing = "; nothing was written"
    cases = {
        "truncated": (enc[:-20], key,
                      "the stream is damaged: stream ended after 2 frames without its end-of-stream marker",
                      partly),
        "inside": (enc[:2000], key, "the stream is damaged: stream ended inside frame 0: 892 of 65552 bytes",
                   nothing),
        "trailing": (enc + b"\n", key, "the stream is damaged: data follows the end-of-stream marker", partly),
        "flipped": (enc[:-1] + bytes([enc[-1] ^ 1]), key,
                    "decryption failed: the stream was modified, or it was not encrypted to this key", partly),
        "wrong key": (enc, Path(str(other) + ".key"),
                      "decryption failed: the stream was modified, or it was not encrypted to this key", nothing),
        "empty": (b"", key, "not an encrypted stream: the input is empty", nothing),
    }
    for name, (stream, identity, message, to_stdout) in cases.items():
        (tmp_path / "in").write_bytes(stream)
        res = run("decrypt", "-i", str(identity), "-o", str(tmp_path / "out"), str(tmp_path / "in"))
        assert_user_error(res, 1, message + "; no output file was written")
        assert not (tmp_path / "out").exists(), name
        assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == [], name
        res = run("decrypt", "-i", str(identity), input=stream)
        assert_user_error(res, 1, message + to_stdout)
        assert (res.stdout != b"") == (to_stdout == partly), name


def test_inputs_that_are_no_stream_are_not_called_damaged(
    keys768: tuple[Path, Path], tmp_path: Path
) -> None:
    pub, key = keys768
    block = ok(run("encrypt", "--format", "stream", "-a", "-r", str(pub), input=b"the letter")).stdout
    note = b"From: someone\nSubject: the file\n\nHello,\n\nhere is the file I promised.\n\n"
    readme = (Path(__file__).parents[2] / "README.md").read_bytes()
    cases = {
        "empty": (b"", "the input is empty"),
        "a short text file": (b"hello world\n", "the input is text"),
        "a document": (readme, "the input is text"),
        "a mail around the armor": (note + block, "the input is text"),
        "a line above the armor": (b"Hi,\n" + block, "text comes before its armor BEGIN line"),
    }
    for name, (data, why) in cases.items():
        (tmp_path / "in").write_bytes(data)
        res = run("decrypt", "-i", str(key), "-o", str(tmp_path / "out"), str(tmp_path / "in"))
        assert_user_error(res, 1, f"not an encrypted stream: {why}; no output file was written")
        assert not (tmp_path / "out").exists(), name
        res = run("decrypt", "-i", str(key), input=data)
        assert_user_error(res, 1, f"not an encrypted stream: {why}; nothing was written")
        assert res.stdout == b"", name
        if data:
            res = run("inspect", str(tmp_path / "in"))
            assert_user_error(res, 1, f"{tmp_path / 'in'}: not a key file or an encrypted stream")
    # A short binary input may be a stream cut short: it is named as one.
    (tmp_path / "in").write_bytes(bytes(range(200, 212)))
    res = run("decrypt", "-i", str(key), str(tmp_path / "in"))
    assert_user_error(res, 1, "the stream is damaged: stream header is truncated: 12 of 1104 bytes"
                              "; nothing was written")


def test_user_errors(keys768: tuple[Path, Path], tmp_path: Path) -> None:
    pub, key = keys768
    (tmp_path / "p").write_bytes(b"plain")
    (tmp_path / "junk").write_text("hello\n")
    enc = ok(run("encrypt", "--format", "stream", "-r", str(pub), input=b"data")).stdout
    (tmp_path / "e").write_bytes(enc)
    cases = [
        (["encrypt", "--format", "stream", "-r", str(key), str(tmp_path / "p")], {}, 1,
         f"{key} holds a secret key; encrypt needs the recipient's public key"),
        (["decrypt", "-i", str(pub), str(tmp_path / "e")], {}, 1,
         f"{pub} holds a public key; decrypt needs the secret key file written by keygen"),
        (["encrypt", "--format", "stream", "-r", str(tmp_path / "junk"), str(tmp_path / "p")], {}, 1,
         f"{tmp_path / 'junk'}: not a public key file (expected a public key block, "
         "a JSON public key document or Base64 text)"),
        (["encrypt", "--format", "stream", "-r", str(tmp_path / "missing"), str(tmp_path / "p")], {}, 1,
         f"-r {tmp_path / 'missing'}: neither a readable key file (No such file or "
         "directory) nor public key text (expected a public key block, a JSON document or "
         "Base64 text)"),
        (["encrypt", "--format", "stream", "-r", str(pub), str(tmp_path / "missing")], {}, 1,
         f"{tmp_path / 'missing'}: No such file or directory"),
        (["encrypt", "--format", "stream", "-r", str(pub), "--level", "512", str(tmp_path / "p")], {}, 2,
         f"{pub}: security level ML-KEM-512 contradicts the public key, whose 1184 bytes make it ML-KEM-768"),
        (["decrypt", "-i", str(key), "--level", "1024", str(tmp_path / "e")], {}, 2,
         f"--level 1024 contradicts the secret key in {key}, which is ML-KEM-768"),
        (["decrypt", "-i", str(key), str(tmp_path / "e")], {"TARNEL_PASSWORD": "wrong"}, 1,
         f"{key}: wrong password, or the secret key file is damaged"),
        (["encrypt", "--format", "stream", "-r", str(pub), "--chunk-size", "0", str(tmp_path / "p")], {}, 2,
         "argument --chunk-size: chunk size must be between 1 and 16777216 bytes"),
        (["encrypt", "--format", "stream", "-r", str(pub), "--level", "999", str(tmp_path / "p")], {}, 2,
         "argument --level: invalid level '999' (choose 512, 768 or 1024)"),
        (["encrypt", "--format", "stream", str(tmp_path / "p")], {}, 2,
         "no recipient: give -r/--recipient or -R/--recipients-file, or -p/--passphrase"),
        (["keygen", "-o", str(Path(str(pub)[:-4]))], {}, 1, f"{pub} exists (use --force to replace it)"),
        # Options of the whole command are taken after the command's name too.
        (["encrypt", "--format", "stream", "-r", str(pub), "-q", "--level", "512", str(tmp_path / "p")], {}, 2,
         f"{pub}: security level ML-KEM-512 contradicts the public key, whose 1184 bytes make it ML-KEM-768"),
        (["decrypt", "-i", str(key), "--password-env", "NOPE", str(tmp_path / "e")], {}, 2,
         "environment variable NOPE is not set"),
    ]
    for args, env, status, message in cases:
        res = run(*args, env=env)
        assert_user_error(res, status, message)
        assert res.stdout == b"", args
    assert not (tmp_path / "missing").exists()


def test_no_password_and_no_terminal(keys768: tuple[Path, Path], tmp_path: Path) -> None:
    _, key = keys768
    res = run("decrypt", "-i", str(key), input=b"", password=None)
    assert_user_error(
        res, 2,
        "no password given and no terminal to ask for one: use --password-file, "
        "--password-env or TARNEL_PASSWORD",
    )
    res = run("keygen", "--type", "mlkem768", "-o", str(tmp_path / "k"), password="")
    assert_user_error(res, 1, "an empty password is refused")
    assert list(tmp_path.iterdir()) == []


def test_password_prompts_on_the_terminal(tmp_path: Path) -> None:
    prefix = str(tmp_path / "k")
    status, _ = converse(
        ["keygen", "--type", "mlkem768", "-o", prefix],
        [(b"Password for the new key: ", b"typed pw"), (b"Repeat the password: ", b"typed pw")],
    )
    assert status == 0
    assert tarnel.load_secret_key(tmp_path / "k.key", b"typed pw")
    status, out = converse(
        ["keygen", "--type", "mlkem768", "-o", str(tmp_path / "j")],
        [(b"Password for the new key: ", b"one"), (b"Repeat the password: ", b"two")],
    )
    assert status == 1 and b"tarnel: error: the passwords do not match" in out
    assert not (tmp_path / "j.key").exists()
    enc = ok(run("encrypt", "--format", "stream", "-r", prefix + ".pub", input=b"secret text")).stdout
    (tmp_path / "e").write_bytes(enc)
    status, _ = converse(
        ["decrypt", "-i", prefix + ".key", "-o", str(tmp_path / "d"), str(tmp_path / "e")],
        [(f"Password for {prefix}.key: ".encode(), b"typed pw")],
    )
    assert status == 0 and (tmp_path / "d").read_bytes() == b"secret text"
