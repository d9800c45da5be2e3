"""The command line on files of the multi-recipient format: decrypt with
every kind of identity, identity files with several keys, passphrases asked
only when needed; rekey in place and into a new file, under faults; inspect
of every file of the test kit; and the test kit decrypted by the command
line (from a file and from a pipe) agreeing with tarnel.files."""

from __future__ import annotations

import base64
import io
import json
import os
import subprocess
from pathlib import Path

import pytest

import tarnel
from tarnel import files

from support import (
    FILEKIT,
    PASSWORD,
    assert_user_error,
    converse,
    dir_listing,
    filekit_identity,
    finish,
    ok,
    public_key_bytes,
    run,
    start,
)

MANIFEST = json.loads((FILEKIT / "manifest.json").read_text())
CASES = sorted(MANIFEST["cases"])
KEY_TYPES = ("xwing", "mlkem768", "mlkem1024")
PLAIN = os.urandom(3000) + b"end"


def armored(data: bytes) -> bytes:
    """``data`` in an armor block labelled for the file format, built here
    from Base64 in 64-character lines."""
    text = base64.b64encode(data)
    lines = [text[i : i + 64] for i in range(0, len(text), 64)]
    return (b"-----BEGIN TARNEL ENCRYPTED FILE-----\n" + b"\n".join(lines)
            + b"\n-----END TARNEL ENCRYPTED FILE-----\n")


@pytest.fixture(scope="module")
def ids(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    """A key pair of each type, protected (``xwing``) and not (``u-xwing``);
    values are path prefixes of ``.pub`` and ``.key``."""
    d = tmp_path_factory.mktemp("ids")
    out = {}
    for t in KEY_TYPES:
        ok(run("keygen", "--type", t, "-o", str(d / t)))
        ok(run("keygen", "--type", t, "--unprotected", "-o", str(d / f"u-{t}")))
        out[t] = d / t
        out[f"u-{t}"] = d / f"u-{t}"
    ok(run("keygen", "--type", "mlkem512", "--unprotected", "-o", str(d / "u-mlkem512")))
    out["u-mlkem512"] = d / "u-mlkem512"
    return out


def key(ids: dict[str, Path], name: str) -> str:
    return str(ids[name]) + ".key"


def public(ids: dict[str, Path], name: str) -> bytes:
    return public_key_bytes(Path(str(ids[name]) + ".pub"))


def encrypted_to(ids: dict[str, Path], names: list[str], path: Path) -> Path:
    files.encrypt_file(PLAIN, path, [public(ids, n) for n in names])
    return path


# -- decrypt


@pytest.mark.parametrize("name", [*KEY_TYPES, *(f"u-{t}" for t in KEY_TYPES)])
@pytest.mark.parametrize("form", ["file", "pipe", "armored"])
def test_each_identity_type_opens_its_entry(ids, tmp_path, name, form) -> None:
    # The key is the last of three recipients of other types.
    others = [n for n in ("u-xwing", "u-mlkem768", "u-mlkem1024") if n.split("-")[-1]
              != name.split("-")[-1]]
    enc = encrypted_to(ids, [*others, name], tmp_path / "f.tnl")
    if form == "armored":
        enc.write_bytes(armored(enc.read_bytes()))
    if form == "pipe":
        res = run("decrypt", "-i", key(ids, name), input=enc.read_bytes())
        assert ok(res).stdout == PLAIN
    else:
        ok(run("decrypt", "-i", key(ids, name), "-o", str(tmp_path / "out"), str(enc)))
        assert (tmp_path / "out").read_bytes() == PLAIN


def test_several_identities_where_only_the_last_opens(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["mlkem1024"], tmp_path / "f.tnl")
    res = run("decrypt", "-i", key(ids, "u-xwing"), "-i", key(ids, "mlkem768"),
              "-i", key(ids, "u-mlkem1024"), "-i", key(ids, "mlkem1024"), str(enc))
    assert ok(res).stdout == PLAIN


@pytest.mark.parametrize("opener", ["xwing", "u-mlkem1024", "mlkem768"])
def test_an_identity_file_with_several_keys(ids, tmp_path, opener) -> None:
    # Key files one after another, as cat makes them, with keygen's
    # standard output (the public key before the key file) among them.
    stdout_form = ok(run("keygen", "--type", "xwing")).stdout
    bundle = tmp_path / "team.key"
    bundle.write_bytes(b"".join(Path(key(ids, n)).read_bytes()
                                for n in ("xwing", "u-mlkem1024", "mlkem768")) + stdout_form)
    bundle.chmod(0o600)
    enc = encrypted_to(ids, [opener], tmp_path / "f.tnl")
    assert ok(run("decrypt", "-i", str(bundle), str(enc))).stdout == PLAIN


def test_a_stream_still_decrypts_as_before(ids, tmp_path) -> None:
    enc = tmp_path / "s.tarnel"
    tarnel.streaming.encrypt_file(io.BytesIO(PLAIN), enc, public(ids, "u-mlkem768"))
    assert ok(run("decrypt", "-i", key(ids, "u-mlkem768"), str(enc))).stdout == PLAIN
    enc.write_bytes(armored(enc.read_bytes()).replace(b"FILE", b"STREAM"))
    assert ok(run("decrypt", "-i", key(ids, "u-mlkem768"), str(enc))).stdout == PLAIN


def test_no_prompt_when_an_unprotected_key_opens(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["u-xwing", "mlkem768"], tmp_path / "f.tnl")
    status, seen = converse(["decrypt", "-i", key(ids, "mlkem768"), "-i", key(ids, "u-xwing"),
                             "-o", str(tmp_path / "out"), str(enc)], [])
    assert status == 0, seen
    assert b"Password" not in seen
    assert (tmp_path / "out").read_bytes() == PLAIN


def test_a_protected_key_is_asked_for_once_and_only_when_needed(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["mlkem768"], tmp_path / "f.tnl")
    bundle = tmp_path / "two.key"
    bundle.write_bytes(Path(key(ids, "xwing")).read_bytes() + Path(key(ids, "mlkem768")).read_bytes())
    bundle.chmod(0o600)
    status, seen = converse(["decrypt", "-i", key(ids, "u-xwing"), "-i", str(bundle),
                             "-o", str(tmp_path / "out"), str(enc)],
                            [(b"Password for " + str(bundle).encode(), PASSWORD.encode())])
    assert status == 0, seen
    assert b"Password" not in seen  # what came after the one prompt
    assert (tmp_path / "out").read_bytes() == PLAIN


def test_ctrl_d_at_the_prompt_writes_nothing(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["mlkem768"], tmp_path / "f.tnl")
    status, seen = converse(["decrypt", "-i", key(ids, "mlkem768"), "-o", str(tmp_path / "out"),
                             str(enc)], [(b"Password for", b"\x04")])
    assert status == 1
    assert b"no password given" in seen
    assert not (tmp_path / "out").exists()


def test_a_passphrase_file_asks_for_its_passphrase(tmp_path) -> None:
    enc = tmp_path / "p.tnl"
    files.encrypt_file(PLAIN, enc, passphrase="a long passphrase")
    res = run("decrypt", "--password-env", "PP", str(enc), env={"PP": "a long passphrase"})
    assert ok(res).stdout == PLAIN
    res = run("decrypt", "--password-env", "PP", "-o", str(tmp_path / "out"), str(enc),
              env={"PP": "not it"})
    assert_user_error(res, 1, f"decryption failed: the passphrase does not open {enc} (a wrong "
                      "passphrase, or the file was modified); no output file was written")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("to_stdout", [False, True], ids=["file", "stdout"])
def test_wrong_keys_fail_clearly_and_write_nothing(ids, tmp_path, to_stdout) -> None:
    enc = encrypted_to(ids, ["u-mlkem1024"], tmp_path / "f.tnl")
    out = tmp_path / "out"
    args = ["decrypt", "-i", key(ids, "u-xwing"), "-i", key(ids, "u-mlkem768")]
    res = run(*args, *([] if to_stdout else ["-o", str(out)]), str(enc))
    tail = "nothing was written" if to_stdout else "no output file was written"
    assert_user_error(res, 1, f"decryption failed: no given key opens {enc} (its entries: "
                      f"ML-KEM-1024; tried {key(ids, 'u-xwing')}, {key(ids, 'u-mlkem768')}); "
                      + tail)
    assert res.stdout == b"" and not out.exists()


def test_an_ml_kem_512_key_is_named_as_unusable(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["u-mlkem768"], tmp_path / "f.tnl")
    res = run("decrypt", "-i", key(ids, "u-mlkem512"), str(enc))
    assert res.returncode == 1
    assert "1 ML-KEM-512 key(s) skipped" in res.stderr.decode()


def test_recipients_need_a_key(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["u-xwing"], tmp_path / "f.tnl")
    assert_user_error(run("decrypt", str(enc)), 2,
                      f"{enc} is encrypted to recipients: give a secret key with -i")


@pytest.mark.parametrize("tail", [b"", b"\x00" * 50, os.urandom(5000), b"\xff" * 70000],
                         ids=["magic-only", "zeros", "random", "ff"])
def test_garbage_after_the_magic_is_a_clear_error(ids, tmp_path, tail) -> None:
    bad = tmp_path / "bad.tnl"
    bad.write_bytes(files.MAGIC + tail)
    res = run("decrypt", "-i", key(ids, "u-xwing"), "-o", str(tmp_path / "out"), str(bad))
    err = res.stderr.decode()
    assert res.returncode == 1 and "Traceback" not in err
    assert err.startswith("tarnel: error: the file is damaged: "), err
    assert not (tmp_path / "out").exists()


# -- the test kit: the command line against tarnel.files


def kit_identities(tmp_path: Path, names: list[str]) -> tuple[list[str], dict[str, str]]:
    args: list[str] = []
    env: dict[str, str] = {}
    for n in names:
        if n == "passphrase":
            args += ["--password-env", "KIT_PASSPHRASE"]
            env["KIT_PASSPHRASE"] = MANIFEST["identities"]["passphrase"]
        else:
            args += ["-i", str(filekit_identity(n, MANIFEST["identities"][n], tmp_path))]
    return args, env


def library_outcomes(path: Path, names: list[str]) -> tuple[tuple[str, object], ...]:
    """What tarnel.files makes of ``path``: read in order (as the command
    line reads), and through open_encrypted (which checks the final chunk
    first) read whole; each ("ok", plaintext) or (error class, message)."""
    raw = [bytes.fromhex(MANIFEST["identities"][n]) for n in names if n != "passphrase"]
    passphrase = MANIFEST["identities"]["passphrase"] if "passphrase" in names else None

    def outcome(read) -> tuple[str, object]:
        try:
            return "ok", read()
        except tarnel.TarnelError as e:
            return type(e).__name__, str(e)

    def random_access() -> bytes:
        with files.open_encrypted(path, raw, passphrase=passphrase) as f:
            return f.read()

    return (outcome(lambda: files.decrypt(path.read_bytes(), raw, passphrase=passphrase)),
            outcome(random_access))


@pytest.mark.parametrize("case", CASES)
def test_kit_files_decrypt_alike_through_the_command_line(tmp_path, case) -> None:
    spec = MANIFEST["cases"][case]
    path = FILEKIT / spec["file"]
    args, env = kit_identities(tmp_path, spec["identities"])
    (kind, value), (random_kind, random_value) = library_outcomes(path, spec["identities"])
    assert kind == random_kind == (spec.get("error") or "ok")
    out = tmp_path / "out"
    from_file = run("decrypt", *args, "-o", str(out), str(path), env=env, password=None)
    from_pipe = run("decrypt", *args, input=path.read_bytes(), env=env, password=None)
    if kind == "ok":
        assert value == random_value
        assert ok(from_file) and out.read_bytes() == value
        assert ok(from_pipe).stdout == value
        return
    assert spec["message"] in str(value) and spec["message"] in str(random_value)
    assert not out.exists()
    for res in (from_file, from_pipe):
        err = res.stderr.decode()
        assert res.returncode == 1 and "Traceback" not in err, err
        last = err.splitlines()[-1]
        if res is from_file:
            tail = "; no output file was written"
        elif res.stdout:
            tail = "; the output written so far is incomplete and must not be trusted"
        else:
            tail = "; nothing was written"
        if case == "wrong_magic":
            # Not the file format by its magic: read as a stream, and refused as one.
            assert last.startswith("tarnel: error: not an encrypted stream"), last
        elif value == "no identity opens this file":
            assert last.startswith("tarnel: error: decryption failed: no given key opens"), last
        else:
            prefix = "the file is damaged" if kind == "FileFormatError" else "decryption failed"
            assert last == f"tarnel: error: {prefix}: {value}{tail}"


# -- inspect


@pytest.mark.parametrize("case", CASES)
def test_inspect_describes_every_kit_file(case) -> None:
    path = FILEKIT / MANIFEST["cases"][case]["file"]
    try:
        info = files.describe(path)
    except files.FileFormatError as e:
        for res in (run("inspect", str(path)), run("inspect", "-", input=path.read_bytes())):
            name = "stdin" if res.args[-1] == "-" else res.args[-1]
            if case == "wrong_magic":  # not recognised as an encrypted file at all
                assert_user_error(res, 1, f"{name}: not a key file or an encrypted stream")
            else:
                assert_user_error(res, 1, f"{name}: not a valid encrypted file: {e}")
        return
    for res in (run("inspect", str(path)), run("inspect", "-", input=path.read_bytes()),
                run("inspect", "-", input=armored(path.read_bytes()))):
        text = res.stdout.decode()
        assert f"profile: {info.profile}\n" in text
        assert f"entries: {len(info.entries)}: {', '.join(info.entries)}\n" in text
        assert f"chunk size: {info.chunk_size} bytes\n" in text
        assert f"format version: {info.version}\n" in text
        if info.plaintext_length is None:
            assert res.returncode == 1 and "plaintext: unknown" in text
        else:
            assert res.returncode == 0 and f"plaintext: {info.plaintext_length} bytes\n" in text
        for secret in MANIFEST["identities"].values():
            assert secret not in text


# -- rekey


def can_open(ids: dict[str, Path], name: str, path: Path) -> bool:
    res = run("decrypt", "-i", key(ids, name), str(path))
    assert res.returncode in (0, 1), res.stderr
    return res.returncode == 0 and res.stdout == PLAIN


@pytest.mark.parametrize("in_place", [True, False], ids=["in-place", "to-out"])
def test_rekey_add_then_remove_then_rotate(ids, tmp_path, in_place) -> None:
    enc = encrypted_to(ids, ["u-xwing", "u-mlkem768"], tmp_path / "f.tnl")
    before = enc.read_bytes()

    def rekey(*args: str) -> Path:
        target = enc if in_place else tmp_path / "out.tnl"
        extra = [] if in_place else ["-o", str(target), "--force"]
        ok(run("rekey", "-i", key(ids, "u-xwing"), *args, *extra, str(enc)))
        if not in_place:
            assert enc.read_bytes() == before
        return target

    added = rekey("-r", str(ids["mlkem1024"]) + ".pub")
    assert can_open(ids, "mlkem1024", added) and can_open(ids, "u-mlkem768", added)
    if not in_place:
        enc.write_bytes(added.read_bytes())
        before = enc.read_bytes()
    res = run("rekey", "-i", key(ids, "u-xwing"), "--remove", str(ids["u-mlkem768"]) + ".pub",
              *([] if in_place else ["-o", str(tmp_path / "out.tnl"), "--force"]), str(enc))
    assert ok(res).stderr.decode().splitlines()[-1] == (
        "tarnel: warning: the removed recipients can still read the data if they kept a "
        "copy of this file or its key; use --rotate to re-encrypt")
    removed = enc if in_place else tmp_path / "out.tnl"
    assert not can_open(ids, "u-mlkem768", removed) and can_open(ids, "mlkem1024", removed)
    # Without --rotate the payload is the same bytes: the removed key of an
    # old copy still opens it.
    assert removed.read_bytes()[-100:] == before[-100:]
    if not in_place:
        enc.write_bytes(removed.read_bytes())
    res = ok(run("rekey", "-i", key(ids, "u-xwing"), "--rotate", "-r",
                 str(ids["mlkem1024"]) + ".pub",
                 *([] if in_place else ["-o", str(tmp_path / "out.tnl"), "--force"]), str(enc)))
    assert "removed recipients" not in res.stderr.decode()
    rotated = enc if in_place else tmp_path / "out.tnl"
    assert rotated.read_bytes()[-100:] != before[-100:]
    assert can_open(ids, "mlkem1024", rotated) and can_open(ids, "u-xwing", rotated)


def test_rekey_refusals_leave_the_file_alone(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["u-xwing"], tmp_path / "f.tnl")
    before = enc.read_bytes()
    (tmp_path / "exists").write_bytes(b"keep")
    team = tmp_path / "team.txt"
    good = (str(ids["u-mlkem768"]) + ".pub")
    team.write_text(f"# the team\n\n{Path(good).read_text().strip()}\n")
    bad_team = tmp_path / "bad.txt"
    bad_team.write_text("# the team\n\nnot a key\n")
    cases = [
        (["-r", str(ids["u-mlkem512"]) + ".pub"], 1,
         f"ML-KEM-512 key {ids['u-mlkem512']}.pub: the file format does not take ML-KEM-512 "
         "keys (X-Wing, ML-KEM-768 or ML-KEM-1024 keys can be its recipients)"),
        (["-R", str(bad_team)], 1,
         f"{bad_team}:3: not a public key (expected an X-Wing or ML-KEM public key as "
         "Base64 text or a one-line JSON document)"),
        (["-r", good, "-o", str(tmp_path / "exists")], 1,
         f"{tmp_path / 'exists'} exists (use --force to replace it)"),
        (["--remove", good], 1, None),  # not a recipient
        (["-i", key(ids, "u-mlkem768"), "-r", good], 1, None),  # a key that does not open it
    ]
    for args, status, message in cases:
        ident = [] if "-i" in args else ["-i", key(ids, "u-xwing")]
        res = run("rekey", *ident, *args, str(enc))
        if message is None:
            assert res.returncode == status and "Traceback" not in res.stderr.decode()
        else:
            assert_user_error(res, status, message)
        assert enc.read_bytes() == before
    assert (tmp_path / "exists").read_bytes() == b"keep"
    # A multi-line PEM key block is not a line of a recipients file, but
    # one line of Base64 is.
    b64 = ok(run("pubkey", "-i", key(ids, "u-mlkem768"), "--format", "base64")).stdout.decode()
    team.write_text(f"# the team\n\n{b64}")
    ok(run("rekey", "-i", key(ids, "u-xwing"), "-R", str(team), str(enc)))
    assert can_open(ids, "u-mlkem768", enc)


def test_rekey_on_a_full_disk_leaves_the_original(ids, tmp_path) -> None:
    enc = tmp_path / "f.tnl"
    files.encrypt_file(os.urandom(1 << 20), enc, [public(ids, "u-xwing")])
    before = enc.read_bytes()
    listing = dir_listing(tmp_path)
    out = tmp_path / "out.tnl"
    for rotate, to in [([], []), (["--rotate"], []), ([], ["-o", str(out)]),
                       (["--rotate"], ["-o", str(out)])]:
        proc = start("unnamed", "rekey", "-i", key(ids, "u-xwing"), "-r",
                     str(ids["u-mlkem768"]) + ".pub", *rotate, *to, str(enc),
                     limit=200_000, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        res = finish(proc)
        err = res.stderr.decode()
        assert res.returncode == 1 and "Traceback" not in err, err
        assert err.splitlines()[-1] == f"tarnel: error: {out if to else enc}: File too large", err
        assert enc.read_bytes() == before
        assert dir_listing(tmp_path) == listing


def test_rekey_of_an_armored_file_or_a_stream_is_refused(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["u-xwing"], tmp_path / "f.tnl")
    enc.write_bytes(armored(enc.read_bytes()))
    assert_user_error(run("rekey", "-i", key(ids, "u-xwing"), "-r", str(ids["u-mlkem768"]) + ".pub",
                          str(enc)), 1,
                      f"{enc}: not a binary file of the multi-recipient format (rekey reads "
                      "neither streams nor armored files)")


def test_the_commands_help_has_an_example() -> None:
    for command in ("decrypt", "rekey", "inspect"):
        assert "example:\n  tarnel " + command in ok(run(command, "--help")).stdout.decode()


@pytest.mark.parametrize("command", ["pubkey", "passwd", "stream"])
def test_one_key_commands_refuse_a_file_of_several_keys(ids, tmp_path, command) -> None:
    bundle = tmp_path / "two.key"
    bundle.write_bytes(Path(key(ids, "u-mlkem768")).read_bytes()
                       + Path(key(ids, "u-mlkem1024")).read_bytes())
    bundle.chmod(0o600)
    if command == "stream":
        stream = tmp_path / "s.tarnel"
        tarnel.streaming.encrypt_file(io.BytesIO(PLAIN), stream, public(ids, "u-mlkem768"))
        args = ["decrypt", "-i", str(bundle), str(stream)]
    else:
        args = [command, "-i", str(bundle), *(["-o", str(tmp_path / "o")] if command == "passwd"
                                              else [])]
    assert_user_error(run(*args), 1,
                      f"{bundle} holds 2 secret keys one after another: give a file with one "
                      "key here (several are read only when decrypting a file of the "
                      "multi-recipient format)")


def test_recipients_from_standard_input(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["u-xwing"], tmp_path / "f.tnl")
    lines = b"".join(
        ok(run("pubkey", "-i", key(ids, n), "--format", "base64")).stdout
        for n in ("u-mlkem768", "u-mlkem1024"))
    ok(run("rekey", "-i", key(ids, "u-xwing"), "-R", "-", str(enc), input=b"# us\n" + lines))
    assert can_open(ids, "u-mlkem768", enc) and can_open(ids, "u-mlkem1024", enc)


def test_decrypt_on_a_full_disk_leaves_nothing(ids, tmp_path) -> None:
    enc = tmp_path / "f.tnl"
    files.encrypt_file(os.urandom(1 << 20), enc, [public(ids, "u-xwing")])
    listing = dir_listing(tmp_path)
    proc = start("unnamed", "decrypt", "-i", key(ids, "u-xwing"), "-o", str(tmp_path / "out"),
                 str(enc), limit=200_000, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    res = finish(proc)
    err = res.stderr.decode()
    assert res.returncode == 1 and "Traceback" not in err, err
    assert "File too large" in err.splitlines()[-1], err
    assert dir_listing(tmp_path) == listing


def test_concurrent_rekeys_leave_one_whole_result(ids, tmp_path) -> None:
    enc = tmp_path / "f.tnl"
    files.encrypt_file(os.urandom(1 << 20), enc, [public(ids, "u-xwing")])
    procs = [start("unnamed", "rekey", "-i", key(ids, "u-xwing"), "-r",
                   str(ids[n]) + ".pub", str(enc), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
             for n in ("u-mlkem768", "u-mlkem1024")]
    results = [finish(p) for p in procs]
    assert all(r.returncode == 0 for r in results), [r.stderr for r in results]
    # Each run replaced the file whole: what stands is the result of the
    # last (with one key added, or both when the runs did not overlap).
    info = files.describe(enc)
    assert info.entries[0] == "X-Wing" and info.entries[1:] in (
        ("ML-KEM-768",), ("ML-KEM-1024",), ("ML-KEM-768", "ML-KEM-1024"),
        ("ML-KEM-1024", "ML-KEM-768"))
    assert dir_listing(tmp_path) == ["f.tnl"]
    res = ok(run("decrypt", "-i", key(ids, "u-xwing"), str(enc)))
    assert len(res.stdout) == 1 << 20


def test_decrypt_keeps_an_existing_output_without_force(ids, tmp_path) -> None:
    enc = encrypted_to(ids, ["u-xwing"], tmp_path / "f.tnl")
    out = tmp_path / "out"
    out.write_bytes(b"keep")
    res = run("decrypt", "-i", key(ids, "u-xwing"), "-o", str(out), str(enc))
    assert_user_error(res, 1, f"{out} exists (use --force to replace it)")
    assert out.read_bytes() == b"keep"
    ok(run("decrypt", "-i", key(ids, "u-xwing"), "-o", str(out), "--force", str(enc)))
    assert out.read_bytes() == PLAIN
