"""``tarnel encrypt`` writing the file format for several recipients: every
recipient type and form, recipient lists, passphrases, --approved-only,
--format stream, armor, and the refusals and faults a user meets.

The output is read back with tarnel.files in this process (and armor by an
independent Base64 reader), so each test sees what the command wrote.
"""

from __future__ import annotations

import base64
import os
import re
import subprocess
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519, rsa

import tarnel
from tarnel import files, keyfile, pkcs
from tarnel.cli import public_key_text, xwing_public_key_text

from support import PASSWORD, assert_user_error, converse, finish, ok, run, start

PLAIN = os.urandom(70_000)


@pytest.fixture(scope="module")
def people(tmp_path_factory: pytest.TempPathFactory) -> dict[str, tuple[Path, bytes, bytes]]:
    """name -> (key prefix, public key, identity for tarnel.files) for an
    X-Wing key (keygen's default) and ML-KEM keys of each level."""
    d = tmp_path_factory.mktemp("people")
    out = {}
    for name, args in [("x", ()), ("m512", ("--type", "mlkem512")),
                       ("m768", ("--level", "768")), ("m1024", ("--type", "mlkem1024"))]:
        ok(run("keygen", *args, "-o", str(d / name)))
        key_text = (d / f"{name}.key").read_bytes()
        if name == "x":
            identity = keyfile.load_xwing_key_text(key_text, PASSWORD)
            public = tarnel.xwing.load_public_key_text((d / "x.pub").read_text())
        else:
            identity, _ = keyfile.load_secret_key_text(key_text, PASSWORD)
            public = pkcs.load_public_key_spki(
                ok(run("pubkey", "-i", str(d / f"{name}.key"), "--format", "spki")).stdout.decode())[0]
        out[name] = (d / name, public, identity)
    return out


def pub(people: dict[str, tuple[Path, bytes, bytes]], name: str) -> str:
    return str(people[name][0]) + ".pub"


def kinds(path: Path) -> list[str]:
    with open(path, "rb") as f:
        header = files.parse_header(f)
    return [files.ENTRY_NAMES[e.type] for e in header.entries]


def opens_for(path: Path, identity: bytes) -> bytes:
    return files.decrypt(path.read_bytes(), [identity])


def test_keygen_makes_x_wing_keys_by_default(people: dict[str, tuple[Path, bytes, bytes]]) -> None:
    prefix = people["x"][0]
    assert tarnel.xwing.load_public_key_text(Path(str(prefix) + ".pub").read_text()) == people["x"][1]
    for path in (str(prefix) + ".key", str(prefix) + ".pub"):
        assert b"X-Wing" in ok(run("inspect", path)).stdout
    shown = ok(run("pubkey", "-i", str(prefix) + ".key", "--format", "base64")).stdout.decode()
    assert tarnel.xwing.load_public_key_text(shown) == people["x"][1]


@pytest.mark.parametrize("form", ["pem", "json", "base64", "spki", "spki-der"])
@pytest.mark.parametrize("name", ["x", "m768", "m1024"])
@pytest.mark.parametrize("given", ["file", "text"])
def test_each_recipient_type_in_each_form(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path, form: str, name: str, given: str
) -> None:
    _, public, identity = people[name]
    if form == "spki-der":
        if given == "text":
            pytest.skip("DER is binary: only a file holds it")
        data = (pkcs.export_xwing_public_key_spki(public, "der") if name == "x"
                else pkcs.export_public_key_spki(public, "der"))
    else:
        text = (xwing_public_key_text(public, form) if name == "x"
                else public_key_text(public, int(name[1:]), form))
        data = text.encode()
    (tmp_path / "key").write_bytes(data)
    arg = str(tmp_path / "key") if given == "file" else data.decode()
    ok(run("encrypt", "-r", arg, "-o", str(tmp_path / "out"), input=PLAIN))
    expected = {"x": "X-Wing", "m768": "ML-KEM-768", "m1024": "ML-KEM-1024"}[name]
    assert kinds(tmp_path / "out") == [expected]
    assert opens_for(tmp_path / "out", identity) == PLAIN


def test_several_recipients_and_lists_each_open_it(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path
) -> None:
    listed = tmp_path / "team.txt"
    listed.write_text(
        "# the team\n\n"
        + xwing_public_key_text(people["x"][1], "base64")
        + "   " + public_key_text(people["m1024"][1], 1024, "json").strip() + "  \r\n"
    )
    from_stdin = public_key_text(people["m768"][1], 768, "base64").encode()
    (tmp_path / "plain").write_bytes(PLAIN)
    # x.pub is given three times (file, list, again as a file): it counts once.
    ok(run("encrypt", "-r", pub(people, "x"), "-R", str(listed), "-R", "-", "-r", pub(people, "x"),
           "-o", str(tmp_path / "out"), str(tmp_path / "plain"), input=from_stdin))
    assert kinds(tmp_path / "out") == ["X-Wing", "ML-KEM-1024", "ML-KEM-768"]
    for name in ("x", "m768", "m1024"):
        assert opens_for(tmp_path / "out", people[name][2]) == PLAIN
    stranger, _ = tarnel.xwing.generate_keypair()
    with pytest.raises(tarnel.DecryptionError):
        opens_for(tmp_path / "out", stranger)


@pytest.mark.parametrize("line, why", [
    ("ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIH me@host",
     "unknown key type: an SSH public key; tarnel encrypts to X-Wing and ML-KEM public keys"),
    ("not a key at all", "not a public key (expected an X-Wing or ML-KEM public key as Base64 "
                         "text or a one-line JSON document)"),
    ("-----BEGIN X-WING PUBLIC KEY-----", "a key block spans several lines; a recipients file "
     "holds one key per line (Base64 text or a one-line JSON document), and -r reads a block"),
])
def test_a_bad_line_of_a_list_names_the_file_and_line(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path, line: str, why: str
) -> None:
    listed = tmp_path / "team.txt"
    listed.write_text("# first\n" + xwing_public_key_text(people["x"][1], "base64") + "\n" + line + "\n")
    res = run("encrypt", "-R", str(listed), "-o", str(tmp_path / "out"), input=PLAIN)
    assert_user_error(res, 1, f"{listed}:4: {why}")
    assert not (tmp_path / "out").exists()


def test_a_secret_key_in_a_list_is_named_but_never_shown(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path
) -> None:
    secret = base64.urlsafe_b64encode(people["m768"][2]).decode()
    listed = tmp_path / "team.txt"
    listed.write_text(secret + "\n")
    res = run("encrypt", "-R", str(listed), "-o", str(tmp_path / "out"), input=PLAIN)
    assert_user_error(res, 1, f"{listed}:1: a secret key (not shown); give its public key "
                              "instead (tarnel pubkey prints it)")
    assert secret[:16].encode() not in res.stderr


@pytest.mark.parametrize("how", ["file", "env", "default env", "terminal"])
def test_passphrase_round_trip(tmp_path: Path, how: str) -> None:
    phrase = "a long enough passphrase for this file"
    (tmp_path / "plain").write_bytes(PLAIN)
    args = ["encrypt", "-p", "-o", str(tmp_path / "out"), str(tmp_path / "plain")]
    if how == "terminal":
        status, _ = converse(args, [(b"Passphrase for the encrypted file: ", phrase.encode()),
                                    (b"Repeat the password: ", phrase.encode())])
        assert status == 0
    elif how == "file":
        (tmp_path / "pw").write_text(phrase + "\n")
        ok(run(*args, "--password-file", str(tmp_path / "pw"), password=None))
    elif how == "env":
        ok(run(*args, "--password-env", "MY_PHRASE", env={"MY_PHRASE": phrase}, password="other"))
    else:
        ok(run(*args, password=phrase))
    assert kinds(tmp_path / "out") == ["passphrase"]
    assert files.decrypt((tmp_path / "out").read_bytes(), passphrase=phrase) == PLAIN


@pytest.mark.parametrize("replies, message", [
    ([(b"Passphrase for the encrypted file: ", b"\x04")],
     "no password given (end of input at the prompt)"),
    ([(b"Passphrase for the encrypted file: ", b"one passphrase here"),
      (b"Repeat the password: ", b"another one entirely")], "the passwords do not match"),
    ([(b"Passphrase for the encrypted file: ", b""), (b"Repeat the password: ", b"")],
     "an empty passphrase is refused"),
])
def test_passphrase_prompt_refusals_write_nothing(
    tmp_path: Path, replies: list[tuple[bytes, bytes]], message: str
) -> None:
    (tmp_path / "plain").write_bytes(PLAIN)
    status, shown = converse(["encrypt", "-p", "-o", str(tmp_path / "out"), str(tmp_path / "plain")],
                             replies)
    assert status == 1
    assert f"tarnel: error: {message}".encode() in shown
    assert sorted(os.listdir(tmp_path)) == ["plain"]


def test_approved_only_accepts_ml_kem_1024(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path
) -> None:
    ok(run("encrypt", "--approved-only", "-r", pub(people, "m1024"), "-o", str(tmp_path / "out"),
           input=PLAIN))
    with open(tmp_path / "out", "rb") as f:
        header = files.parse_header(f)
    assert [e.type for e in header.entries] == [files.TYPE_MLKEM1024]
    assert opens_for(tmp_path / "out", people["m1024"][2]) == PLAIN


def test_refusals_are_usage_errors_and_write_nothing(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path
) -> None:
    (tmp_path / "plain").write_bytes(PLAIN)
    x, m512, m768, m1024 = (pub(people, n) for n in ("x", "m512", "m768", "m1024"))
    listed = tmp_path / "list"
    listed.write_text(xwing_public_key_text(people["x"][1], "base64"))
    cases = [
        (["--approved-only", "-r", m1024, "-r", m768],
         f"ML-KEM-768 key {m768} is not allowed with --approved-only (only ML-KEM-1024 keys are)"),
        (["--approved-only", "-R", str(listed)],
         f"X-Wing key {listed}:1 is not allowed with --approved-only (only ML-KEM-1024 keys are)"),
        (["--approved-only", "-p"], "--approved-only takes only ML-KEM-1024 recipients, not a passphrase"),
        (["--approved-only", "--format", "stream", "-r", m1024],
         "--approved-only applies to the file format, not to --format stream"),
        (["-r", m512], f"ML-KEM-512 key {m512}: the file format does not take ML-KEM-512 keys; "
                       "encrypt to it alone with --format stream"),
        (["--format", "stream", "-r", x], f"X-Wing key {x}: the stream format takes only ML-KEM "
                                          "keys; drop --format stream to encrypt to X-Wing keys"),
        (["--format", "stream", "-r", m768, "-r", m1024],
         "a stream has exactly one recipient: give -r/--recipient once (it was given 2 times)"),
        (["-p", "-r", x], "a passphrase cannot be combined with recipients: give -p/--passphrase "
                          "or -r/-R, not both"),
        (["-p", "-R", str(listed)], "a passphrase cannot be combined with recipients: give "
                                    "-p/--passphrase or -r/-R, not both"),
        (["--format", "stream", "-p"], "a stream has one ML-KEM recipient and no passphrase: drop "
                                       "--format stream to encrypt with a passphrase"),
        (["--password-file", str(listed), "-r", x],
         "--password-file gives the passphrase of -p/--passphrase, which is not given"),
        ([], "no recipient: give -r/--recipient or -R/--recipients-file, or -p/--passphrase"),
        (["-r", x, "--chunk-size", "1000"],
         "--chunk-size 1000: the file format takes a power of two from 1024 to 16777216 bytes "
         "(1 KiB to 16 MiB); --format stream takes any size up to that"),
        (["-r", x, "--level", "768"],
         f"--level 768 contradicts the X-Wing key {x} (--level applies to ML-KEM keys)"),
        (["-r", m768, "--level", "1024"], f"{m768}: security level ML-KEM-1024 contradicts the "
                                          "public key, whose 1184 bytes make it ML-KEM-768"),
        (["-R", "-", "-r", x], "-R - reads the recipients from standard input: give IN as a file"),
    ]
    for args, message in cases:
        given_in = [] if "-R" in args and "-" in args else [str(tmp_path / "plain")]
        res = run("encrypt", *args, "-o", str(tmp_path / "out"), *given_in)
        assert_user_error(res, 2, message)
        assert res.stdout == b""
        assert sorted(os.listdir(tmp_path)) == ["list", "plain"], args


def test_unknown_key_types_are_named(tmp_path: Path) -> None:
    ed = ed25519.Ed25519PrivateKey.generate().public_key()
    rsa_key = rsa.generate_private_key(public_exponent=65537, key_size=1024).public_key()
    pem = serialization.Encoding.PEM
    der = serialization.Encoding.DER
    spki = serialization.PublicFormat.SubjectPublicKeyInfo
    (tmp_path / "ed.pub").write_bytes(ed.public_bytes(pem, spki))
    (tmp_path / "ed.der").write_bytes(ed.public_bytes(der, spki))
    (tmp_path / "rsa.pub").write_bytes(rsa_key.public_bytes(pem, spki))
    (tmp_path / "id_ed25519.pub").write_bytes(
        ed.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH))
    takes = "tarnel encrypts to X-Wing and ML-KEM public keys"
    for name, what in [("ed.pub", "an Ed25519 key (SubjectPublicKeyInfo algorithm 1.3.101.112)"),
                       ("ed.der", "an Ed25519 key (SubjectPublicKeyInfo algorithm 1.3.101.112)"),
                       ("rsa.pub", "an RSA key (SubjectPublicKeyInfo algorithm 1.2.840.113549.1.1.1)"),
                       ("id_ed25519.pub", "an SSH public key")]:
        path = tmp_path / name
        res = run("encrypt", "-r", str(path), "-o", str(tmp_path / "out"), input=b"x")
        assert_user_error(res, 1, f"{path}: unknown key type: {what}; {takes}")
        assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("level", [512, 768, 1024])
def test_format_stream_round_trips_with_the_stream_decrypt(
    tmp_path: Path, level: int, people: dict[str, tuple[Path, bytes, bytes]]
) -> None:
    name = f"m{level}"
    (tmp_path / "plain").write_bytes(PLAIN)
    ok(run("encrypt", "--format", "stream", "-r", pub(people, name), "--level", str(level),
           "--chunk-size", "777", "-o", str(tmp_path / "enc"), str(tmp_path / "plain")))
    with open(tmp_path / "enc", "rb") as f:
        assert f.read(len(files.MAGIC)) != files.MAGIC
    ok(run("decrypt", "-i", str(people[name][0]) + ".key", "-o", str(tmp_path / "dec"),
           str(tmp_path / "enc")))
    assert (tmp_path / "dec").read_bytes() == PLAIN


def dearmor(text: bytes, label: str) -> bytes:
    """An independent reader: the Base64 lines between the BEGIN and END lines."""
    lines = text.decode("ascii").splitlines()
    assert lines[0] == f"-----BEGIN {label}-----" and lines[-1] == f"-----END {label}-----"
    body = lines[1:-1]
    assert all(len(line) == 64 for line in body[:-1]) and 0 < len(body[-1]) <= 64
    return base64.b64decode("".join(body), validate=True)


@pytest.mark.parametrize("size", [0, 47, 48, 70_000])
def test_armor_of_the_file_format_round_trips(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path, size: int
) -> None:
    plain = PLAIN[:size]
    block = ok(run("encrypt", "-a", "-r", pub(people, "x"), "-r", pub(people, "m768"),
                   input=plain)).stdout
    data = dearmor(block, "TARNEL ENCRYPTED FILE")
    assert data.startswith(files.MAGIC)
    for name in ("x", "m768"):
        assert files.decrypt(data, [people[name][2]]) == plain


def test_chunk_size_applies_to_the_file_format(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path
) -> None:
    ok(run("encrypt", "-r", pub(people, "x"), "--chunk-size", "1024", "-o", str(tmp_path / "out"),
           input=PLAIN))
    with open(tmp_path / "out", "rb") as f:
        assert files.parse_header(f).chunk_size == 1024
    assert opens_for(tmp_path / "out", people["x"][2]) == PLAIN


def test_an_existing_output_needs_force(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path
) -> None:
    (tmp_path / "out").write_bytes(b"keep me")
    res = run("encrypt", "-r", pub(people, "x"), "-o", str(tmp_path / "out"), input=PLAIN)
    assert_user_error(res, 1, f"{tmp_path / 'out'} exists (use --force to replace it)")
    assert (tmp_path / "out").read_bytes() == b"keep me"
    ok(run("encrypt", "-r", pub(people, "x"), "-o", str(tmp_path / "out"), "--force", input=PLAIN))
    assert opens_for(tmp_path / "out", people["x"][2]) == PLAIN


@pytest.mark.parametrize("temp_kind", ["unnamed", "named"])
@pytest.mark.parametrize("extra", [[], ["-a"]], ids=["binary", "armor"])
def test_a_full_disk_leaves_nothing(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path, temp_kind: str, extra: list[str]
) -> None:
    out = tmp_path / "out"
    out.mkdir()
    (tmp_path / "plain").write_bytes(os.urandom(3 << 20))
    res = finish(start(temp_kind, "encrypt", *extra, "-r", pub(people, "x"), "-r",
                       pub(people, "m1024"), "-o", str(out / "enc"), str(tmp_path / "plain"),
                       limit=1 << 20, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    err = res.stderr.decode()
    assert res.returncode == 1, err
    assert re.fullmatch(r"tarnel: error: .*File too large\n", err), err
    assert os.listdir(out) == []


@pytest.mark.parametrize("data", [b"", b"\x89TNL\r\n\x1a\n", b"-----BEGIN TARNEL ENCRYPTED FILE-----\n",
                                  bytes(range(256)) * 10])
def test_any_input_bytes_encrypt_and_come_back(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path, data: bytes
) -> None:
    enc = ok(run("encrypt", "-r", pub(people, "m768"), input=data)).stdout
    assert files.decrypt(enc, [people["m768"][2]]) == data


def test_special_recipient_lists(people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path) -> None:
    """A FIFO is read like a file; an endless device, a directory, an
    oversized or an empty list are clean errors that write nothing."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    proc = start("unnamed", "encrypt", "-R", str(fifo), "-o", str(tmp_path / "out"),
                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with open(fifo, "w") as f:
        f.write(xwing_public_key_text(people["x"][1], "base64"))
    assert finish(proc, PLAIN).returncode == 0
    assert opens_for(tmp_path / "out", people["x"][2]) == PLAIN
    (tmp_path / "big").write_bytes(b"#" * (1 << 20) + b"\n")
    (tmp_path / "empty").write_text("# nobody yet\n\n")
    for path, message in [
        ("/dev/zero", "recipients file /dev/zero is larger than 1 MiB"),
        (str(tmp_path), f"cannot read recipients file {tmp_path}: Is a directory"),
        (str(tmp_path / "big"), f"recipients file {tmp_path / 'big'} is larger than 1 MiB"),
        (str(tmp_path / "empty"), f"recipients file {tmp_path / 'empty'} lists no recipient"),
    ]:
        res = run("encrypt", "-R", path, "-o", str(tmp_path / "out2"), input=PLAIN)
        assert_user_error(res, 1, message)
        assert not (tmp_path / "out2").exists()


def test_format_stream_takes_its_one_recipient_from_a_list(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path
) -> None:
    one = tmp_path / "one.txt"
    one.write_text("# the only reader\n" + public_key_text(people["m768"][1], 768, "base64"))
    (tmp_path / "plain").write_bytes(PLAIN)
    ok(run("encrypt", "--format", "stream", "-R", str(one), "-o", str(tmp_path / "enc"),
           str(tmp_path / "plain")))
    ok(run("decrypt", "-i", str(people["m768"][0]) + ".key", "-o", str(tmp_path / "dec"),
           str(tmp_path / "enc")))
    assert (tmp_path / "dec").read_bytes() == PLAIN
    res = run("encrypt", "--format", "stream", "-R", str(one), "-r", pub(people, "m1024"),
              "-o", str(tmp_path / "enc2"), str(tmp_path / "plain"))
    assert_user_error(res, 2, "a stream has exactly one recipient: give one key with -r or -R "
                              "(2 were given)")
    assert not (tmp_path / "enc2").exists()


@pytest.mark.parametrize("temp_kind", ["unnamed", "named"])
def test_two_encryptions_to_one_output_at_once(
    people: dict[str, tuple[Path, bytes, bytes]], tmp_path: Path, temp_kind: str
) -> None:
    """Without --force one of them puts its file in place; the other ends
    with "exists" and leaves nothing of its own behind."""
    out = tmp_path / "out"
    out.mkdir()
    plains = [os.urandom(2 << 20), os.urandom(2 << 20)]
    procs = [start(temp_kind, "encrypt", "-r", pub(people, "x"), "-o", str(out / "enc"),
                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
             for _ in plains]
    results = [finish(p, data) for p, data in zip(procs, plains)]
    statuses = sorted(r.returncode for r in results)
    assert statuses == [0, 1], [r.stderr for r in results]
    loser = next(r for r in results if r.returncode == 1)
    assert_user_error(loser, 1, f"{out / 'enc'} exists (use --force to replace it)")
    assert os.listdir(out) == ["enc"]
    winner = plains[[r.returncode for r in results].index(0)]
    assert opens_for(out / "enc", people["x"][2]) == winner
