"""The command line's text forms: armored streams, recipients given as key
text, the public key of a secret key file, key files from other tools,
--version and the manual page. Run as subprocesses, through pipes."""

from __future__ import annotations

import base64
import io
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import serialization

import tarnel
from tarnel import armor

from support import PASSWORD, assert_user_error, ok, public_key_bytes, run

REPO = Path(__file__).resolve().parents[2]
BEGIN = "-----BEGIN TARNEL ENCRYPTED STREAM-----"
END = "-----END TARNEL ENCRYPTED STREAM-----"


@pytest.fixture(scope="module")
def keypair(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    d = tmp_path_factory.mktemp("text-keys")
    ok(run("keygen", "--type", "mlkem768", "-o", str(d / "me")))
    return d / "me.pub", d / "me.key"


def armored(pub: Path, data: bytes, *args: str) -> bytes:
    return ok(run("encrypt", "--format", "stream", "-a", "-r", str(pub), *args, input=data)).stdout


# ---------------------------------------------------------------------------
# Armor


@pytest.mark.parametrize("size", [0, 1, 200_000])
def test_armored_round_trip_through_pipes(keypair: tuple[Path, Path], size: int) -> None:
    pub, key = keypair
    data = os.urandom(size)
    text = armored(pub, data, "--chunk-size", "4096")
    lines = text.decode("ascii").split("\n")
    assert lines[0] == BEGIN and lines[-2] == END and lines[-1] == ""
    body = lines[1:-2]
    assert all(len(line) == 64 for line in body[:-1]) and 0 < len(body[-1]) <= 64
    # Standard Base64 of the binary stream, checked with the stdlib decoder.
    stream = base64.b64decode("".join(body), validate=True)
    assert ok(run("decrypt", "-i", str(key), input=text)).stdout == data
    # The binary stream inside decrypts as well.
    assert ok(run("decrypt", "-i", str(key), input=stream)).stdout == data
    crlf = text.replace(b"\n", b"\r\n")
    assert ok(run("decrypt", "-i", str(key), input=crlf)).stdout == data
    # Whitespace around the block is allowed.
    padded = b"\n  \n" + text + b"\n\n"
    assert ok(run("decrypt", "-i", str(key), input=padded)).stdout == data


# Writes of a few bytes, of one line, and of many lines (cut a block of lines
# at a time, with a remainder), into data of a few hundred lines.
@pytest.mark.parametrize("piece", [7, 48, 3072 + 49, 65_556, 200_000])
def test_armor_writer_and_reader_stream_in_pieces(piece: int) -> None:
    data = os.urandom(150_001)
    out = io.BytesIO()
    w = armor.ArmorWriter(out)
    for i in range(0, len(data), piece):
        w.write(data[i : i + piece])
    w.finish()
    expected = (
        BEGIN.encode() + b"\n"
        + b"".join(base64.b64encode(data[i : i + 48]) + b"\n" for i in range(0, len(data), 48))
        + END.encode() + b"\n"
    )
    assert out.getvalue() == expected
    for text in (expected, expected.replace(b"\n", b"\r\n")):
        r = armor.ArmorReader(io.BufferedReader(io.BytesIO(text)))
        got = bytearray()
        while chunk := r.read(piece):
            assert len(chunk) <= piece
            got += chunk
        assert got == data


class _Dribble(io.RawIOBase):
    """A source that hands out at most a few bytes per read, as a slow pipe."""

    def __init__(self, data: bytes) -> None:
        super().__init__()
        self._data = data
        self._at = 0
        self._reads = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "bytearray | memoryview") -> int:  # type: ignore[override]
        self._reads += 1
        n = min(len(buffer), 1 + self._reads % 7, len(self._data) - self._at)
        buffer[:n] = self._data[self._at : self._at + n]
        self._at += n
        return n


_FULL = "A" * 64
# Each fault the reader names, with its exact message (less "armor: ").
_FAULTS = {
    "only whitespace": (" \n\t\r\n", "no BEGIN line (the input holds only whitespace)"),
    "text first": ("hi\n" + BEGIN + "\n", f"expected {BEGIN!r} on line 1, found 'hi'"),
    "tab in front": ("\n\t" + BEGIN + "\n", f"expected {BEGIN!r} on line 2, found '\\t{BEGIN}'"),
    "CR in BEGIN": (BEGIN + "\r \n", "stray carriage return on line 1"),
    "wrong END": (BEGIN + "\nQQ==\n-----END X-----\n",
                  f"expected {END!r} on line 3, found '-----END X-----'"),
    "line after the last": (BEGIN + "\nQQ==\n" + _FULL + "\n" + END,
                            "line 2 is shorter than 64 characters but is not the last line"),
    "65 characters": (BEGIN + "\n" + _FULL + "A\n" + END,
                      "line 2 has 65 characters (expected 64, or a multiple of 4 on the last line)"),
    "a long line": (BEGIN + "\n" + _FULL * 3 + "\n" + END,
                    "line 2 has 192 characters (expected 64, or a multiple of 4 on the last line)"),
    "not Base64": (BEGIN + "\nab-_\n" + END, "line 2 is not Base64"),
    "misplaced padding": (BEGIN + "\nQ=QQ\n" + END, "line 2 is not valid Base64"),
    "trailing bits": (BEGIN + "\nQR==\n" + END, "line 2 has non-canonical Base64 padding"),
    "no END": (BEGIN + "\n" + _FULL + "\n", "the input ends without the END line"),
    "junk after END": (BEGIN + "\nQQ==\n" + END + "\n\nx", "unexpected data after the END line"),
    "space after END": (BEGIN + "\nQQ==\n" + END + "\n" + " " * 4097,
                        "too much whitespace after the END line"),
}


@pytest.mark.parametrize("name", list(_FAULTS))
def test_reader_names_each_fault_alike_however_the_input_arrives(name: str) -> None:
    text, message = _FAULTS[name]
    for source in (io.BytesIO(text.encode()), _Dribble(text.encode())):
        reader = armor.ArmorReader(io.BufferedReader(source, 16))
        with pytest.raises(armor.ArmorError) as e:
            while reader.read(1000):
                pass
        assert str(e.value) == "armor: " + message


def test_reader_reads_a_block_that_arrives_a_few_bytes_at_a_time() -> None:
    data = os.urandom(10_000)
    out = io.BytesIO()
    w = armor.ArmorWriter(out)
    w.write(memoryview(data)[:5000])
    w.write(bytearray(data[5000:]))
    w.finish()
    text = b"\r\n \n" + out.getvalue().replace(b"\n", b"\r\n") + b"\n\t\n"
    reader = armor.ArmorReader(io.BufferedReader(_Dribble(text), 16))
    assert reader.read() == data


def test_the_native_codec_refuses_what_is_not_its_own() -> None:
    from tarnel import _tarnel_fileio as codec

    encoder, decoder = codec.armor_encoder(), codec.armor_decoder(False)
    for call in (lambda: codec.armor_encode(decoder, b"x"), lambda: codec.armor_encode_finish(object()),
                 lambda: codec.armor_decode(encoder, b"x", False),
                 lambda: codec.armor_decode(None, b"x", False)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError):
        codec.armor_decode(decoder, "text", False)  # type: ignore[arg-type]


@pytest.mark.parametrize("tail", ["", "junk\n"], ids=["no END line", "data after END"])
def test_reader_withholds_the_end_until_the_block_is_verified(tail: str) -> None:
    data = os.urandom(300_000)
    out = io.BytesIO()
    w = armor.ArmorWriter(out)
    w.write(data)
    w.finish()
    text = out.getvalue()
    text = text[: text.index(END.encode())] if not tail else text + tail.encode()
    r = armor.ArmorReader(io.BufferedReader(io.BytesIO(text)))
    got = bytearray()
    with pytest.raises(armor.ArmorError):
        while piece := r.read(4096):
            got += piece
    assert data.startswith(got) and len(got) < len(data)


def _damaged(text: str) -> dict[str, str]:
    lines = text.split("\n")
    body = lines[1:-2]
    last = body[-1]
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    i = len(last.rstrip("=")) - 1
    flipped = last[:i] + alphabet[alphabet.index(last[i]) ^ 1] + last[i + 1 :]
    return {
        "wrong BEGIN label": text.replace("ENCRYPTED STREAM-----", "ENCRYPTED FILE-----", 1),
        "wrong END label": text.replace(END, "-----END PUBLIC KEY-----"),
        "no END line": "\n".join(lines[:-2]) + "\n",
        "garbage before": "hello\n" + text,
        "garbage after": text + "hello\n",
        "bad Base64 character": text.replace(body[1], "*" + body[1][1:]),
        "URL-safe alphabet": text.replace("+", "-").replace("/", "_"),
        "non-canonical padding": text.replace("\n" + last + "\n", "\n" + flipped + "\n"),
        "padding removed": text.replace("\n" + last + "\n", "\n" + last.rstrip("=") + "\n"),
        "line of 65": text.replace(body[0] + "\n" + body[1], body[0] + body[1][0] + "\n" + body[1][1:]),
        "short line inside": text.replace(body[0], body[0][:60]),
        "blank line inside": text.replace(body[0] + "\n", body[0] + "\n\n"),
        "indented line": text.replace("\n" + body[2], "\n " + body[2]),
        "lone CR": text.replace(body[3] + "\n", body[3] + "\r"),
        "line dropped": text.replace(body[2] + "\n", ""),
    }


def test_every_damaged_armor_is_refused_without_output(keypair: tuple[Path, Path], tmp_path: Path) -> None:
    pub, key = keypair
    text = armored(pub, os.urandom(3000), "--chunk-size", "1000").decode("ascii")
    assert "=" in text.split("\n")[-3], "the cases need a padded last line"
    for name, bad in _damaged(text).items():
        assert bad != text, name
        src = tmp_path / "in.asc"
        src.write_text(bad)
        out = tmp_path / "out"
        res = run("decrypt", "-i", str(key), "-o", str(out), str(src))
        err = res.stderr.decode()
        assert res.returncode == 1, (name, err)
        assert "Traceback" not in err, name
        assert err.splitlines()[-1].startswith("tarnel: error: "), name
        assert "no output file was written" in err, name
        assert not out.exists(), name
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.asc"], name
        res = run("decrypt", "-i", str(key), input=bad.encode())
        assert res.returncode == 1 and res.stdout == b"", name
        res = run("inspect", str(src))
        assert res.returncode == 1 and b"Traceback" not in res.stderr, name


def test_armor_messages_say_what_is_wrong(keypair: tuple[Path, Path]) -> None:
    pub, key = keypair
    text = armored(pub, b"x").decode("ascii")
    # The reader holds the last block back until the END line and what
    # follows it are verified, so none of a short message reaches stdout.
    cases = {
        text.replace("STREAM-----", "MESSAGE-----", 1):
            f"expected '{BEGIN}' on line 1, found '-----BEGIN TARNEL ENCRYPTED MESSAGE-----'",
        text + "junk\n": "unexpected data after the END line",
        text.replace(END + "\n", ""): "the input ends without the END line",
    }
    for bad, message in cases.items():
        res = run("decrypt", "-i", str(key), input=bad.encode())
        assert_user_error(res, 1, "the stream is damaged: armor: " + message + "; nothing was written")
        assert res.stdout == b""


@pytest.mark.parametrize("space", ["\n", "\r\n", " \t \r\n", " " * 70_000 + "\n"],
                         ids=["LF", "CRLF", "mixed", "long line"])
def test_any_whitespace_before_the_block_is_skipped(
    keypair: tuple[Path, Path], tmp_path: Path, space: str
) -> None:
    pub, key = keypair
    plain = os.urandom(5000)
    text = armored(pub, plain, "--chunk-size", "1024")
    padded = (space * (300_000 // len(space) + 1)).encode() + text  # far past 4096 bytes
    (tmp_path / "in.asc").write_bytes(padded)
    assert ok(run("decrypt", "-i", str(key), input=padded)).stdout == plain
    ok(run("decrypt", "-i", str(key), "-o", str(tmp_path / "out"), str(tmp_path / "in.asc")))
    assert (tmp_path / "out").read_bytes() == plain
    for res in (run("inspect", "-", input=padded), run("inspect", str(tmp_path / "in.asc"))):
        out = ok(res).stdout.decode()
        assert "armor: yes" in out and "plaintext: 5000 bytes\n" in out
    # Only whitespace may come first, and the BEGIN line still starts its line.
    res = run("decrypt", "-i", str(key), input=padded[:-len(text)] + b"x\n" + text)
    assert res.returncode == 1 and res.stdout == b""
    reader = armor.ArmorReader(io.BufferedReader(io.BytesIO(b"\n" * 5000 + b" " + text)))
    with pytest.raises(armor.ArmorError, match=f"on line 5001, found ' {BEGIN}'"):
        reader.read(100)


def test_inspect_reads_armor_from_a_pipe(keypair: tuple[Path, Path]) -> None:
    pub, _ = keypair
    text = armored(pub, os.urandom(5000), "--chunk-size", "1024")
    out = ok(run("inspect", "-", input=text)).stdout.decode()
    assert "armor: yes" in out and "data frames: 5\n" in out and "plaintext: 5000 bytes\n" in out
    assert "end-of-stream marker: present, nothing after it" in out


def test_armored_output_file_and_terminal_rule(keypair: tuple[Path, Path], tmp_path: Path) -> None:
    pub, key = keypair
    (tmp_path / "p").write_bytes(b"mail me")
    ok(run("encrypt", "--format", "stream", "-a", "-r", str(pub), "-o", str(tmp_path / "p.asc"), str(tmp_path / "p")))
    assert (tmp_path / "p.asc").read_text().startswith(BEGIN + "\n")
    assert ok(run("decrypt", "-i", str(key), str(tmp_path / "p.asc"))).stdout == b"mail me"


# ---------------------------------------------------------------------------
# Recipients as text, and the public key of a secret key


@pytest.mark.parametrize("form", ["pem", "json", "base64", "spki"])
def test_pubkey_in_each_form_is_accepted_inline_and_as_file(
    keypair: tuple[Path, Path], tmp_path: Path, form: str
) -> None:
    pub, key = keypair
    public_key = tarnel.load_public_key_pem(pub.read_text())
    text = ok(run("pubkey", "-i", str(key), "--format", form)).stdout.decode("ascii")
    if form == "pem":
        assert text == pub.read_text()
    elif form == "json":
        doc = text.rstrip("\n")
        assert tarnel.load_public_key_json(doc) == (public_key, tarnel.SecurityLevel.ML_KEM_768)
    elif form == "base64":
        assert base64.urlsafe_b64decode(text.strip() + "=" * (-len(text.strip()) % 4)) == public_key
    else:  # an independent reader of SubjectPublicKeyInfo
        loaded = serialization.load_pem_public_key(text.encode())
        assert loaded.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw) == public_key
    (tmp_path / "r").write_text(text)
    for recipient in (text, text.strip(), str(tmp_path / "r")):
        enc = ok(run("encrypt", "--format", "stream", "-r", recipient, input=b"inline")).stdout
        assert ok(run("decrypt", "-i", str(key), input=enc)).stdout == b"inline"


@pytest.mark.parametrize("option", ["-r", "--recipient"])
def test_base64_recipient_may_start_with_a_dash(option: str) -> None:
    # URL-safe Base64 uses "-": about one key in 64 starts with it.
    pair = next(p for p in iter(lambda: tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_512), None)
                if p.public_key_b64().startswith("-"))
    enc = ok(run("encrypt", "--format", "stream", option, pair.public_key_b64(), input=b"dash")).stdout
    assert tarnel.open_decryptor(io.BytesIO(enc), pair.secret_key).read() == b"dash"


def base64_key_starting_with(first: str, kind: str) -> tuple[str, bytes, object]:
    """(Base64 text, public key, secret) of a fresh key whose text begins
    with ``first``: about one key in 64."""
    from tarnel import xwing
    from tarnel.cli import public_key_text, xwing_public_key_text

    while True:
        if kind == "x-wing":
            secret, public = xwing.generate_keypair()
            text = xwing_public_key_text(public, "base64")
        else:
            pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_768)
            secret, public = pair.secret_key, pair.public_key
            text = public_key_text(public, 768, "base64")
        if text.startswith(first):
            return text, public, secret


# "0" is the byte of a DER SEQUENCE, "-" the start of an option.
@pytest.mark.parametrize("first", ["0", "-"])
@pytest.mark.parametrize("kind", ["x-wing", "ml-kem-768"])
def test_base64_keys_that_look_like_der_or_an_option(tmp_path: Path, first: str, kind: str) -> None:
    from tarnel import files

    text, public, secret = base64_key_starting_with(first, kind)
    (tmp_path / "k").write_text(text)
    (tmp_path / "list").write_text("# one\n" + text)
    for recipient in (["-r", str(tmp_path / "k")], ["-r", text.strip()],
                      ["-R", str(tmp_path / "list")]):
        enc = ok(run("encrypt", *recipient, input=b"zero")).stdout
        assert files.decrypt(enc, [secret]) == b"zero"
    shown = ok(run("inspect", str(tmp_path / "k"))).stdout.decode()
    assert "URL-safe Base64 text" in shown and f"{len(public)} bytes" in shown
    # rekey reads a recipient to remove the same way.
    ok(run("keygen", "--level", "1024", "-o", str(tmp_path / "o")))
    other = public_key_bytes(tmp_path / "o.pub")
    (tmp_path / "f").write_bytes(files.encrypt(b"zero", [public, other]))
    ok(run("rekey", "-i", str(tmp_path / "o.key"), "--remove", str(tmp_path / "k"), str(tmp_path / "f")))
    assert files.describe(tmp_path / "f").entries == ("ML-KEM-1024",)


def test_recipient_that_is_neither_file_nor_key(keypair: tuple[Path, Path], tmp_path: Path) -> None:
    pub, key = keypair
    b64 = ok(run("pubkey", "-i", str(key), "--format", "base64")).stdout.decode().strip()
    tried = "neither a readable key file (No such file or directory) nor public key text"
    cases = [
        ("nope.pub", f"-r nope.pub: {tried} (expected a public key block, a JSON document or Base64 text)"),
        # Key text is not quoted: it might be (part of) a secret key.
        (b64[:-4], f"-r: the recipient given ({len(b64) - 4} characters, not shown) is neither a "
         "readable key file nor public key text (expected a public key block, a JSON document or "
         "Base64 text)"),
        (key.read_text(), "-r: the recipient given is a secret key (not shown); give its public "
         "key instead (tarnel pubkey prints it)"),
    ]
    for arg, message in cases:
        res = run("encrypt", "--format", "stream", "-r", arg, input=b"x", cwd=tmp_path)
        assert_user_error(res, 1, message)
        assert res.stdout == b""


def test_pubkey_needs_the_passphrase_and_writes_files_safely(keypair: tuple[Path, Path], tmp_path: Path) -> None:
    pub, key = keypair
    res = run("pubkey", "-i", str(key), password="wrong passphrase here")
    assert_user_error(res, 1, f"{key}: wrong password, or the secret key file is damaged")
    assert res.stdout == b""
    ok(run("pubkey", "-i", str(key), "-o", str(tmp_path / "again.pub")))
    assert (tmp_path / "again.pub").read_text() == pub.read_text()
    res = run("pubkey", "-i", str(key), "-o", str(tmp_path / "again.pub"))
    assert_user_error(res, 1, f"{tmp_path / 'again.pub'} exists (use --force to replace it)")


# ---------------------------------------------------------------------------
# Key files: generated passphrases, short ones, modes, other tools' forms


def test_generated_passphrase_shown_once_on_stderr(tmp_path: Path) -> None:
    res = ok(run("keygen", "--type", "mlkem768", "-o", str(tmp_path / "g"), "--generate-passphrase", password=None))
    m = re.search(r"passphrase \(shown only now, keep it safe\): (\S+)", res.stderr.decode())
    assert m is not None and res.stdout == b""
    phrase = m.group(1)
    assert len(phrase.replace("-", "")) * 5 >= 128
    assert phrase not in (tmp_path / "g.key").read_text() + (tmp_path / "g.pub").read_text()
    assert tarnel.load_secret_key(tmp_path / "g.key", phrase)[1] == tarnel.SecurityLevel.ML_KEM_768
    # Without -o the key blocks go to stdout and the passphrase stays apart.
    res = ok(run("keygen", "--type", "mlkem768", "--generate-passphrase", password=None))
    m = re.search(r"keep it safe\): (\S+)", res.stderr.decode())
    assert m is not None and m.group(1).encode() not in res.stdout


def test_short_passphrase_warns_and_open_key_file_warns(tmp_path: Path) -> None:
    res = ok(run("keygen", "--type", "mlkem768", "-o", str(tmp_path / "s"), password="short"))
    assert "tarnel: warning: the passphrase has only 5 characters" in res.stderr.decode()
    enc = ok(run("encrypt", "--format", "stream", "-r", str(tmp_path / "s.pub"), input=b"m")).stdout
    res = ok(run("decrypt", "-i", str(tmp_path / "s.key"), input=enc, password="short"))
    assert b"warning" not in res.stderr
    (tmp_path / "s.key").chmod(0o640)
    res = ok(run("decrypt", "-i", str(tmp_path / "s.key"), input=enc, password="short"))
    assert res.stdout == b"m"
    assert (f"tarnel: warning: permissions 0640 for {tmp_path / 's.key'} are too open"
            in res.stderr.decode())


def test_key_files_written_before_the_stretch_still_decrypt(tmp_path: Path) -> None:
    pair = tarnel.generate_keypair(tarnel.SecurityLevel.ML_KEM_512)
    (tmp_path / "old.key").write_text(pair.export_secret_key_pem(PASSWORD.encode()))
    (tmp_path / "old.bin").write_bytes(pair.export_secret_key_raw(PASSWORD.encode()))
    for p in ("old.key", "old.bin"):
        (tmp_path / p).chmod(0o600)
    enc = ok(run("encrypt", "--format", "stream", "-a", "-r", pair.public_key_b64(), input=b"legacy")).stdout
    for name in ("old.key", "old.bin"):
        assert ok(run("decrypt", "-i", str(tmp_path / name), input=enc)).stdout == b"legacy"


def test_pkcs8_identity_from_cryptography_with_a_warning(tmp_path: Path) -> None:
    from cryptography.hazmat.primitives.asymmetric import mlkem

    private = mlkem.MLKEM768PrivateKey.generate()
    pem = private.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    spki = private.public_key().public_bytes(serialization.Encoding.PEM,
                                             serialization.PublicFormat.SubjectPublicKeyInfo)
    (tmp_path / "id.pem").write_bytes(pem)
    (tmp_path / "id.pem").chmod(0o600)
    (tmp_path / "id.spki").write_bytes(spki)
    enc = ok(run("encrypt", "--format", "stream", "-r", str(tmp_path / "id.spki"), input=b"from pyca")).stdout
    res = ok(run("decrypt", "-i", str(tmp_path / "id.pem"), input=enc, password=None))
    assert res.stdout == b"from pyca"
    assert "is an unencrypted PKCS#8 secret key: it is not protected by a passphrase" in res.stderr.decode()
    assert ok(run("pubkey", "-i", str(tmp_path / "id.pem"), "--format", "spki",
                  password=None)).stdout == spki
    out = ok(run("inspect", str(tmp_path / "id.pem"))).stdout.decode()
    assert "PKCS#8" in out and "NOT protected" in out
    out = ok(run("inspect", str(tmp_path / "id.spki"))).stdout.decode()
    assert "SubjectPublicKeyInfo" in out and "level: ML-KEM-768" in out


def test_inspect_tells_the_key_stretch(keypair: tuple[Path, Path]) -> None:
    _, key = keypair
    out = ok(run("inspect", str(key))).stdout.decode()
    assert "key stretch: scrypt, N = 2^17, r = 8, p = 1 (128 MiB per guess)\n" in out
    assert "level: ML-KEM-768\n" in out


# ---------------------------------------------------------------------------
# --version, --help, the manual page


def _loaded_libcrypto_versions() -> set[str]:
    """Versions of every libcrypto mapped into a process that loaded the module."""
    code = (
        "import ctypes, tarnel\n"
        "paths = {l.split()[-1] for l in open('/proc/self/maps') if 'libcrypto' in l}\n"
        "for p in sorted(paths):\n"
        "    f = ctypes.CDLL(p).OpenSSL_version; f.restype = ctypes.c_char_p\n"
        "    print(f(0).decode())\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return set(out.stdout.splitlines())


@pytest.mark.skipif(not Path("/proc/self/maps").exists(), reason="needs /proc")
def test_version_names_package_and_openssl() -> None:
    lines = ok(run("--version")).stdout.decode().splitlines()
    assert lines[0] == f"tarnel {tarnel.__version__}"
    assert re.match(r"OpenSSL \d+\.\d+\.\d+", lines[1]), lines
    assert lines[1].split(" (")[0] in _loaded_libcrypto_versions()


def test_help_lists_exit_statuses_and_every_command() -> None:
    out = ok(run("--help")).stdout.decode()
    assert "exit status:" in out
    for code in ("0", "1", "2", "130"):
        assert re.search(rf"^  {code} +\S", out, re.M), code
    for command in ("keygen", "encrypt", "decrypt", "pubkey", "inspect"):
        assert command in out
        # Each command's help is short: an example, and the statuses only
        # in the main help.
        sub = ok(run(command, "--help", env={"COLUMNS": "80"})).stdout.decode()
        assert "exit status:" not in sub and "exit statuses: see tarnel --help" in sub
        assert re.search(rf"^example:\n  tarnel {command} \S", sub, re.M), sub
        body = sub[sub.index("\n\n"):]  # argparse may not wrap the usage lines
        assert max(map(len, body.splitlines())) <= 80, command
    assert max(map(len, out[out.index("exit status:"):].splitlines())) <= 80


def test_manual_page_is_generated_from_the_parser() -> None:
    from tarnel import _manpage

    committed = (REPO / "man" / "tarnel.1").read_text(encoding="utf-8")
    assert committed == _manpage.render(), "run: python scripts/gen-manpage.py"
    for option in ("\\-\\-armor", "\\-\\-recipient", "\\-\\-generate\\-passphrase", "\\-\\-format"):
        assert option in committed
    # man itself renders it without complaint, when it is installed.
    if subprocess.run(["sh", "-c", "command -v man"], capture_output=True).returncode == 0:
        res = subprocess.run(["man", "--warnings", "-l", "-E", "ascii", "-P", "cat",
                              str(REPO / "man" / "tarnel.1")],
                             capture_output=True, text=True, env={**os.environ, "MANWIDTH": "80"})
        if res.returncode == 0:
            assert "EXIT STATUS" in res.stdout and not res.stderr.strip(), res.stderr


def test_secret_key_files_from_keygen_are_private(tmp_path: Path) -> None:
    old = os.umask(0)
    try:
        ok(run("keygen", "--type", "mlkem768", "-o", str(tmp_path / "u")))
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "u.key").stat().st_mode) == 0o600
