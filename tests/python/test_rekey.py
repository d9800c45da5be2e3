"""tarnel.files.rekey and describe: changing who can open a file, and
reading what a header says without a key.

Re-keying keeps the payload byte for byte unless it rotates, so the tests
compare payloads and splice headers between the old and the new file to show
what a removed recipient can and cannot still read. Outputs are tried under
a full disk (RLIMIT_FSIZE in a child), a signal, existing outputs,
symbolic links, pipes and concurrent re-keying of one file.
"""

from __future__ import annotations

import dataclasses
import io
import json
import os
import signal
import struct
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import tarnel
from tarnel import files, xwing
from tarnel.hpke import AEAD, KDF, KEM, Suite

from support import CATCH, PACKAGE_ROOT, run_limited, select_temps

CHUNK = 1024
KIT = Path(__file__).resolve().parents[1] / "filekit"
KINDS = ["xwing", "mlkem768", "mlkem1024"]


@pytest.fixture(scope="module")
def people():
    """(identity, public key bytes) of alice (X-Wing) and one person per kind."""
    out = {"alice": xwing.generate_keypair(), "xwing": xwing.generate_keypair()}
    for name, kem in (("mlkem768", KEM.ML_KEM_768), ("mlkem1024", KEM.ML_KEM_1024)):
        out[name] = Suite(kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM).generate_key_pair()
    return out


def write(path, plain, recipients, chunk_size=CHUNK):
    path.write_bytes(files.encrypt(plain, recipients, chunk_size=chunk_size))
    return path


def split(data):
    """(header, payload) of a file's bytes."""
    h = files.parse_header(io.BytesIO(data))
    return data[:h.length], data[h.length:]


def opens(data, identity):
    try:
        files.decrypt(data, [identity])
    except tarnel.DecryptionError as e:
        assert str(e) == "no identity opens this file"
        return False
    return True


@pytest.mark.parametrize("kind", KINDS)
def test_add_then_remove_keeps_the_payload(people, tmp_path, kind):
    alice_sk, alice_pk = people["alice"]
    sk, pk = people[kind]
    plain = os.urandom(5 * CHUNK + 17)
    path = write(tmp_path / "f.tnl", plain, [alice_pk])
    old = path.read_bytes()

    files.rekey(path, None, [alice_sk], add=[pk])
    added = path.read_bytes()
    assert files.decrypt(added, [sk]) == plain
    assert files.decrypt(added, [alice_sk]) == plain
    assert split(added)[1] == split(old)[1]
    before, after = files.parse_header(io.BytesIO(old)), files.parse_header(io.BytesIO(added))
    assert (after.nonce, after.chunk_size) == (before.nonce, before.chunk_size)
    assert after.entries[0].body == before.entries[0].body  # kept as it was

    files.rekey(path, None, [sk], remove=[pk])
    removed = path.read_bytes()
    assert not opens(removed, sk)
    assert files.decrypt(removed, [alice_sk]) == plain
    assert split(removed)[1] == split(old)[1]
    # The documented limit: the old header still gives the removed recipient
    # the file key, and the payload it protects has not changed.
    assert files.decrypt(split(added)[0] + split(removed)[1], [sk]) == plain


@pytest.mark.parametrize("kind", KINDS)
def test_rotate_shuts_a_removed_recipient_out(people, tmp_path, kind):
    alice_sk, alice_pk = people["alice"]
    sk, pk = people[kind]
    plain = os.urandom(3 * CHUNK)
    path = write(tmp_path / "f.tnl", plain, [alice_pk, pk])
    old = path.read_bytes()
    info = files.rekey(path, None, [alice_sk], remove=[pk], rotate=True, chunk_size=2 * CHUNK)
    new = path.read_bytes()
    assert files.decrypt(new, [alice_sk]) == plain
    assert not opens(new, sk)
    h_old, h_new = files.parse_header(io.BytesIO(old)), files.parse_header(io.BytesIO(new))
    assert h_new.nonce != h_old.nonce and h_new.chunk_size == 2 * CHUNK
    # The old header's file key no longer opens the new payload.
    with pytest.raises(tarnel.DecryptionError, match="chunk 0 does not open"):
        files.decrypt(split(old)[0] + split(new)[1], [sk])
    assert info == files.describe(path)
    assert info.entries == ("X-Wing",) and info.plaintext_length == len(plain)


def test_rotate_keeps_everyone_it_can_name(people, tmp_path):
    """Remaining recipients are named by add or by the identities' own keys."""
    alice_sk, alice_pk = people["alice"]
    plain = os.urandom(100)
    path = write(tmp_path / "f.tnl", plain, [alice_pk, people["mlkem768"][1]])
    with pytest.raises(tarnel.InvalidParameterError) as e:
        files.rekey(path, None, [alice_sk], rotate=True)
    assert str(e.value) == ("rotating needs the public key of every recipient that stays; "
                            "no key in add or identities names 1 of the 2 entries")
    info = files.rekey(path, None, [alice_sk], add=[people["mlkem768"][1], people["mlkem1024"][1]],
                       rotate=True)
    assert info.entries == ("X-Wing", "ML-KEM-768", "ML-KEM-1024")
    for kind in ("alice", "mlkem768", "mlkem1024"):
        assert files.decrypt(path, [people[kind][0]]) == plain


def test_adding_a_recipient_again_changes_nothing(people, tmp_path):
    alice_sk, alice_pk = people["alice"]
    path = write(tmp_path / "f.tnl", b"same", [alice_pk, people["mlkem768"][1]])
    old = path.read_bytes()
    info = files.rekey(path, None, [alice_sk], add=[people["mlkem768"][1], alice_pk, alice_pk])
    assert path.read_bytes() == old
    assert info == files.describe(path)


def test_rekey_accepts_key_objects_and_expanded_keys(people, tmp_path):
    suite = Suite(KEM.ML_KEM_1024, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
    seed, pk_bytes = suite.generate_key_pair()
    sk, pk = suite.load_private_key(seed), suite.load_public_key(pk_bytes)
    expanded = tarnel.generate_keypair_deterministic(
        os.urandom(32), os.urandom(32), tarnel.SecurityLevel.ML_KEM_768)
    path = write(tmp_path / "f.tnl", b"objects", [expanded.public_key])
    # A key object and the same key as bytes name the same recipient.
    files.rekey(path, None, [expanded.secret_key], add=[pk])
    assert files.rekey(path, None, [sk], add=[pk_bytes]).entries == ("ML-KEM-768", "ML-KEM-1024")
    # An expanded key names its own entry when rotating: it holds its public key.
    files.rekey(path, None, [sk, expanded.secret_key], remove=[pk_bytes], rotate=True)
    assert files.describe(path).entries == ("ML-KEM-768",)
    assert files.decrypt(path, [expanded.secret_key]) == b"objects"


def test_in_place_keeps_the_mode(people, tmp_path):
    path = write(tmp_path / "f.tnl", b"mode", [people["alice"][1]])
    path.chmod(0o640)
    for rotate in (False, True):
        files.rekey(path, None, [people["alice"][0]], rotate=rotate)
        assert path.stat().st_mode & 0o777 == 0o640


def test_remove_takes_every_entry_of_that_recipient(people, tmp_path):
    alice_sk, alice_pk = people["alice"]
    _, pk = people["xwing"]
    path = write(tmp_path / "f.tnl", b"twice", [alice_pk, pk, pk])
    assert files.rekey(path, None, [alice_sk], remove=[pk]).entries == ("X-Wing",)
    assert files.decrypt(path, [alice_sk]) == b"twice"


REFUSALS = [
    ({"remove": ["mlkem768"]}, tarnel.InvalidParameterError,
     "the 1st key in remove (ML-KEM-768) is not a recipient of this file"),
    ({"remove": ["xwing", "mlkem1024"]}, tarnel.InvalidParameterError,
     "the 2nd key in remove (ML-KEM-1024) is not a recipient of this file"),
    ({"remove": ["alice", "xwing"]}, tarnel.InvalidParameterError,
     "the file would have no recipient left"),
    ({"remove": ["alice", "xwing"], "rotate": True}, tarnel.InvalidParameterError,
     "the file would have no recipient left"),
    ({"add": ["mlkem768"], "remove": ["mlkem768"]}, tarnel.InvalidParameterError,
     "the 1st key in remove is also in add"),
    ({"chunk_size": 2048}, tarnel.InvalidParameterError,
     "the chunk size changes only with rotate=True"),
    ({"chunk_size": 1000, "rotate": True}, tarnel.InvalidParameterError,
     "chunk size 1000 is not a power of two from 1 KiB to 16 MiB"),
    ({"new_passphrase": "pw"}, tarnel.InvalidParameterError,
     "a file for recipients is given a passphrase only with rotate=True "
     "(a new file key replaces the one its recipients hold)"),
    ({"new_passphrase": "pw", "add": ["mlkem768"], "rotate": True}, tarnel.InvalidParameterError,
     "new_passphrase cannot be combined with add or remove: a passphrase entry is the "
     "only entry of its file"),
    ({"add": "mlkem768"}, TypeError, "add must be an iterable of public keys, not a single key"),
    ({"add": [b"\x00" * 100]}, tarnel.InvalidParameterError,
     "a recipient public key of 100 bytes is none of X-Wing (1216), ML-KEM-768 (1184) or "
     "ML-KEM-1024 (1568)"),
    ({"identities": []}, tarnel.DecryptionError, "no identity opens this file"),
    ({"identities": ["mlkem768"]}, tarnel.DecryptionError, "no identity opens this file"),
    ({"rotate": 1}, TypeError, "rotate must be a bool"),
]


@pytest.mark.parametrize("kwargs,error,message", REFUSALS)
def test_refusals_write_nothing(people, tmp_path, kwargs, error, message):
    alice_sk, alice_pk = people["alice"]
    path = write(tmp_path / "f.tnl", os.urandom(2 * CHUNK), [alice_pk, people["xwing"][1]])
    old = path.read_bytes()

    def key(name, index):
        return people[name][index] if name in people else name

    args = {k: ([key(n, 1) for n in v] if k in ("add", "remove") and isinstance(v, list)
                else key(v, 1) if k == "add" else v) for k, v in kwargs.items()}
    ids = [key(n, 0) for n in args.pop("identities", ["alice"])]
    for dst in (None, tmp_path / "out.tnl"):
        with pytest.raises(error) as e:
            files.rekey(path, dst, ids, **args)
        assert str(e.value) == message
        assert path.read_bytes() == old
        assert sorted(p.name for p in tmp_path.iterdir()) == ["f.tnl"]


@pytest.mark.parametrize("damage", ["header MAC", "recipient tag", "last chunk dropped",
                                    "last chunk altered", "extended"])
@pytest.mark.parametrize("rotate", [False, True])
def test_damaged_files_are_refused_before_anything_is_written(people, tmp_path, damage, rotate):
    alice_sk, alice_pk = people["alice"]
    data = bytearray(files.encrypt(os.urandom(3 * CHUNK + 5), [alice_pk], chunk_size=CHUNK))
    header_length = files.parse_header(io.BytesIO(bytes(data))).length
    if damage == "header MAC":
        data[header_length - 1] ^= 1
    elif damage == "recipient tag":
        data[header_length - 33] ^= 1
    elif damage == "last chunk dropped":
        del data[-(5 + 16):]
    elif damage == "last chunk altered":
        data[-1] ^= 1
    else:
        data += data[-(5 + 16):]
    message = {"header MAC": "the header MAC does not verify",
               "recipient tag": "the header MAC does not verify",
               "last chunk dropped": "chunk 2 does not open: the file is damaged, truncated, "
                                     "reordered or extended",
               "last chunk altered": "chunk 3 does not open: the file is damaged, truncated, "
                                     "reordered or extended",
               "extended": "chunk 3 does not open: the file is damaged, truncated, "
                           "reordered or extended"}[damage]
    path = tmp_path / "f.tnl"
    path.write_bytes(bytes(data))
    for dst in (None, tmp_path / "out.tnl"):
        with pytest.raises(tarnel.DecryptionError) as e:
            files.rekey(path, dst, [alice_sk], add=[people["mlkem768"][1]], rotate=rotate)
        assert str(e.value) == message
        assert path.read_bytes() == bytes(data)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["f.tnl"]


def test_rotate_verifies_every_chunk(people, tmp_path):
    """Without rotate only the final chunk is opened; rotating opens them all."""
    alice_sk, alice_pk = people["alice"]
    data = bytearray(files.encrypt(os.urandom(3 * CHUNK + 5), [alice_pk], chunk_size=CHUNK))
    header_length = files.parse_header(io.BytesIO(bytes(data))).length
    data[header_length + CHUNK + 20] ^= 1  # inside chunk 1
    path = tmp_path / "f.tnl"
    path.write_bytes(bytes(data))
    with pytest.raises(tarnel.DecryptionError, match="^chunk 1 does not open"):
        files.rekey(path, None, [alice_sk], rotate=True)
    assert path.read_bytes() == bytes(data)
    files.rekey(path, tmp_path / "copy.tnl", [alice_sk], add=[people["xwing"][1]])
    assert split((tmp_path / "copy.tnl").read_bytes())[1] == split(bytes(data))[1]


def test_an_existing_destination_is_replaced_only_when_asked(people, tmp_path):
    alice_sk, alice_pk = people["alice"]
    path = write(tmp_path / "f.tnl", b"data", [alice_pk])
    dst = tmp_path / "out.tnl"
    dst.write_bytes(b"keep me")
    link = tmp_path / "link.tnl"
    link.symlink_to(dst)
    for target in (dst, link):
        with pytest.raises(FileExistsError) as e:
            files.rekey(path, target, [alice_sk], add=[people["xwing"][1]])
        assert e.value.filename == str(target)
        assert dst.read_bytes() == b"keep me"
    files.rekey(path, dst, [alice_sk], add=[people["xwing"][1]], overwrite=True)
    assert files.decrypt(dst, [people["xwing"][0]]) == b"data"
    assert files.describe(path).entries == ("X-Wing",)  # the source is left as it was
    # The source under another name is the source: re-keyed in place.
    files.rekey(path, tmp_path / "." / "f.tnl", [alice_sk], add=[people["mlkem768"][1]])
    assert files.decrypt(path, [people["mlkem768"][0]]) == b"data"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.tnl", "link.tnl", "out.tnl"]


def test_a_symbolic_link_is_followed_in_place(people, tmp_path):
    alice_sk, alice_pk = people["alice"]
    target = write(tmp_path / "real.tnl", b"behind a link", [alice_pk])
    link = tmp_path / "link.tnl"
    link.symlink_to("real.tnl")
    files.rekey(link, None, [alice_sk], add=[people["mlkem1024"][1]])
    assert link.is_symlink() and os.readlink(link) == "real.tnl"
    assert files.decrypt(target, [people["mlkem1024"][0]]) == b"behind a link"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.tnl", "real.tnl"]


def test_in_place_needs_a_regular_file(people, tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    with pytest.raises(tarnel.InvalidParameterError) as e:
        files.rekey(fifo, None, [people["alice"][0]], add=[people["xwing"][1]])
    assert str(e.value) == f"{fifo} is not a regular file: it cannot be re-keyed in place"
    with pytest.raises(TypeError, match="re-keying in place needs src to be a path"):
        files.rekey(io.BytesIO(b""), None, [people["alice"][0]])


@pytest.mark.parametrize("rotate", [False, True])
@pytest.mark.parametrize("truncated", [False, True])
def test_from_a_pipe_to_a_file_object(people, tmp_path, rotate, truncated):
    """A pipe is copied chunk by chunk; its final chunk is still opened first."""
    alice_sk, alice_pk = people["alice"]
    plain = os.urandom(4 * CHUNK + 3)
    data = files.encrypt(plain, [alice_pk], chunk_size=CHUNK)
    if truncated:
        data = data[:-(3 + 16)]
    r, w = os.pipe()

    def feed():
        with os.fdopen(w, "wb") as f:
            try:
                f.write(data)
            except BrokenPipeError:
                pass

    t = threading.Thread(target=feed)
    t.start()
    sink = io.BytesIO()
    try:
        with os.fdopen(r, "rb", buffering=0) as src:
            if truncated:
                with pytest.raises(tarnel.DecryptionError, match="^chunk 3 does not open"):
                    files.rekey(src, sink, [alice_sk], add=[people["mlkem768"][1]], rotate=rotate)
                return
            info = files.rekey(src, sink, [alice_sk], add=[people["mlkem768"][1]], rotate=rotate)
    finally:
        t.join()
    assert info.plaintext_length == len(plain)
    assert files.decrypt(sink.getvalue(), [people["mlkem768"][0]]) == plain
    assert (split(sink.getvalue())[1] == split(data)[1]) is not rotate


PASSPHRASE_CASES = [
    # (source, kwargs, who opens the result, whether the payload is kept)
    ("old pw", {"passphrase": "old pw", "new_passphrase": "new pw"}, "new pw", True),
    ("old pw", {"passphrase": "old pw", "rotate": True}, "old pw", False),
    ("old pw", {"passphrase": "old pw", "add": ["alice"], "rotate": True}, "alice", False),
    ("alice", {"identities": ["alice"], "new_passphrase": "new pw", "rotate": True}, "new pw",
     False),
]


@pytest.mark.parametrize("source,kwargs,opener,kept", PASSPHRASE_CASES)
def test_passphrase_files(people, tmp_path, source, kwargs, opener, kept):
    plain = os.urandom(CHUNK + 1)
    path = tmp_path / "f.tnl"
    if source in people:
        path.write_bytes(files.encrypt(plain, [people[source][1]], chunk_size=CHUNK))
    else:
        path.write_bytes(files.encrypt(plain, passphrase=source, chunk_size=CHUNK))
    old = path.read_bytes()
    args = dict(kwargs)
    ids = [people[n][0] for n in args.pop("identities", [])]
    if "add" in args:
        args["add"] = [people[n][1] for n in args["add"]]
    info = files.rekey(path, None, ids, **args)
    new = path.read_bytes()
    if opener in people:
        assert files.decrypt(new, [people[opener][0]]) == plain
        assert info.profile == "hybrid"
    else:
        assert files.decrypt(new, passphrase=opener) == plain
        assert info.entries == ("passphrase",)
    assert (split(new)[1] == split(old)[1]) is kept
    if "new_passphrase" in kwargs and source not in people:
        with pytest.raises(tarnel.DecryptionError, match="no identity opens this file"):
            files.decrypt(new, passphrase=source)


def test_a_passphrase_file_gets_recipients_only_by_rotating(people, tmp_path):
    path = tmp_path / "f.tnl"
    path.write_bytes(files.encrypt(b"x", passphrase="pw"))
    old = path.read_bytes()
    with pytest.raises(tarnel.InvalidParameterError) as e:
        files.rekey(path, passphrase="pw", add=[people["alice"][1]])
    assert str(e.value) == ("a passphrase file is given recipients only with rotate=True "
                            "(a new file key replaces the one the passphrase protected)")
    with pytest.raises(tarnel.InvalidParameterError) as e:
        files.rekey(path, passphrase="pw", remove=[people["alice"][1]])
    assert str(e.value) == "this file is protected by a passphrase: it has no recipient to remove"
    assert path.read_bytes() == old


@pytest.mark.parametrize("rotate", [False, True])
def test_full_disk_in_place_leaves_the_original(people, tmp_path, temp_kind, rotate):
    alice_sk, alice_pk = people["alice"]
    path = write(tmp_path / "f.tnl", os.urandom(64 * CHUNK), [alice_pk])
    old = path.read_bytes()
    call = (f"files.rekey({str(path)!r}, None, [bytes.fromhex({alice_sk.hex()!r})], "
            f"add=[bytes.fromhex({people['mlkem768'][1].hex()!r})], rotate={rotate})")
    code = (select_temps(temp_kind) + "from tarnel import files\n"
            + CATCH.format(call=call))
    result = run_limited(code, len(old) // 2)
    assert result.get("errno") == 27, result  # EFBIG
    assert result["filename"] == str(path)
    assert path.read_bytes() == old
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.tnl"]


def test_a_signal_leaves_the_old_file_or_the_new_one(people, tmp_path):
    """SIGINT while a large file is rotated in place: afterwards the file is
    either the old one or the whole new one, and nothing else is left."""
    alice_sk, alice_pk = people["alice"]
    plain = os.urandom(8 << 20)
    path = write(tmp_path / "f.tnl", plain, [alice_pk], chunk_size=65536)
    old = path.read_bytes()
    code = (
        "import sys\nfrom tarnel import files\n"
        "sys.stdout.write('go\\n'); sys.stdout.flush()\n"
        "files.rekey(sys.argv[1], None, [bytes.fromhex(sys.argv[2])], rotate=True, "
        "add=[bytes.fromhex(sys.argv[3])])\n"
    )
    proc = subprocess.Popen(
        [sys.executable, "-c", code, str(path), alice_sk.hex(), people["mlkem768"][1].hex()],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT})
    try:
        assert proc.stdout.readline() == "go\n"
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.tnl"]
    if path.read_bytes() != old:
        assert files.decrypt(path, [people["mlkem768"][0]]) == plain
    else:
        assert proc.returncode != 0 and "KeyboardInterrupt" in err


def test_concurrent_rekeys_of_one_file_leave_a_whole_file(people, tmp_path):
    """Two threads re-key the same file in place at once: each replaces it
    whole, so the file that remains is one of their results, never a mix."""
    alice_sk, alice_pk = people["alice"]
    plain = os.urandom(40 * CHUNK)
    path = write(tmp_path / "f.tnl", plain, [alice_pk])
    errors: list[BaseException] = []

    def add(kind):
        try:
            for _ in range(5):
                files.rekey(path, None, [alice_sk], add=[people[kind][1]])
                files.rekey(path, None, [alice_sk], remove=[people[kind][1]])
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=add, args=(k,)) for k in ("mlkem768", "mlkem1024")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Re-keys of one file take turns, so no remove finds its recipient gone.
    assert errors == []
    assert files.decrypt(path, [alice_sk]) == plain
    assert files.describe(path).entries == ("X-Wing",)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.tnl"]


def test_concurrent_rekeys_lose_no_change(people, tmp_path):
    alice_sk, alice_pk = people["alice"]
    path = write(tmp_path / "f.tnl", b"data", [alice_pk])
    added = {kind: [xwing.generate_keypair()[1] for _ in range(4)] for kind in ("a", "b")}
    errors: list[BaseException] = []

    def add(kind):
        try:
            for pk in added[kind]:
                files.rekey(path, None, [alice_sk], add=[pk])
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=add, args=(k,)) for k in added]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(files.describe(path).entries) == 9
    # Each is a recipient: removing it is not refused as "not a recipient".
    for pk in added["a"] + added["b"]:
        files.rekey(path, io.BytesIO(), [alice_sk], remove=[pk])


def test_an_in_place_rekey_waits_for_the_one_in_progress(people, tmp_path):
    """A re-key in progress holds the file's lock and then replaces the
    file; one that started meanwhile waits, and then works on the new file."""
    import fcntl

    alice_sk, alice_pk = people["alice"]
    plain = os.urandom(3 * CHUNK)
    path = write(tmp_path / "f.tnl", plain, [alice_pk])
    errors: list[BaseException] = []

    def add_1024():
        try:
            files.rekey(path, None, [alice_sk], add=[people["mlkem1024"][1]])
        except BaseException as e:  # reported below
            errors.append(e)

    with open(path, "rb") as held:
        fcntl.flock(held.fileno(), fcntl.LOCK_EX)
        waiter = threading.Thread(target=add_1024)
        waiter.start()
        waiter.join(0.5)
        assert waiter.is_alive()
        files.rekey(path, tmp_path / "next", [alice_sk], add=[people["mlkem768"][1]])
        os.replace(tmp_path / "next", path)
    waiter.join()
    assert errors == []
    assert files.describe(path).entries == ("X-Wing", "ML-KEM-768", "ML-KEM-1024")
    for kind in ("mlkem768", "mlkem1024"):
        assert files.decrypt(path, [people[kind][0]]) == plain


# ---- describe


def independent_describe(data):
    """Entry types, chunk size, header length and plaintext length, read with struct."""
    (chunk,) = struct.unpack(">I", data[9:13])
    (count,) = struct.unpack(">H", data[45:47])
    at, types = 47, []
    for _ in range(count):
        t, n = struct.unpack(">HI", data[at:at + 6])
        types.append(t)
        at += 6 + n
    at += 32
    payload = len(data) - at
    if payload < 16:
        return types, chunk, at, None
    chunks = -(-payload // (chunk + 16))
    last = payload - (chunks - 1) * (chunk + 16)
    size = None if last < 16 or (chunks > 1 and last == 16) else payload - 16 * chunks
    return types, chunk, at, size


NAMES = {0x647A: "X-Wing", 0x0041: "ML-KEM-768", 0x0042: "ML-KEM-1024", 0xFF01: "passphrase"}
HEADER_FAULTS = {"wrong_magic", "unknown_version", "chunk_size_not_power_of_two",
                 "too_many_entries", "no_entries", "noncanonical_entry_length",
                 "unknown_entry_too_long", "truncated_header", "entry_duplicated",
                 "passphrase_beside_recipient"}


MANIFEST = json.loads((KIT / "manifest.json").read_text())


@pytest.mark.parametrize("name", sorted(MANIFEST["cases"]))
def test_describe_the_kit(name):
    case = MANIFEST["cases"][name]
    data = (KIT / case["file"]).read_bytes()
    if name in HEADER_FAULTS:
        with pytest.raises(files.FileFormatError) as e:
            files.describe(data)
        assert str(e.value) == case["message"]
        return
    types, chunk, length, size = independent_describe(data)
    info = files.describe(KIT / case["file"])
    assert info.entries == tuple(NAMES.get(t, f"unknown 0x{t:04x}") for t in types)
    assert (info.version, info.chunk_size, info.header_length) == (1, chunk, length)
    assert info.plaintext_length == size
    if "plaintext_sha256" in case:  # a valid file: the length is the plaintext's
        ids = [bytes.fromhex(MANIFEST["identities"][n]) for n in case["identities"]
               if n != "passphrase"]
        passphrase = MANIFEST["identities"]["passphrase"] if ids == [] else None
        assert size == len(files.decrypt(data, ids, passphrase=passphrase))


@pytest.mark.parametrize("kinds,profile", [
    (["xwing"], "hybrid"),
    (["mlkem768", "xwing"], "hybrid"),
    (["mlkem768"], "ml-kem"),
    (["mlkem768", "mlkem1024"], "ml-kem"),
    (["mlkem1024"], "approved-only"),
    (["mlkem1024", "mlkem1024"], "approved-only"),
])
def test_describe_profiles(people, kinds, profile):
    info = files.describe(files.encrypt(b"p", [people[k][1] for k in kinds]))
    assert info.profile == profile
    assert info.entries == tuple({"xwing": "X-Wing", "mlkem768": "ML-KEM-768",
                                  "mlkem1024": "ML-KEM-1024"}[k] for k in kinds)


def test_describe_a_passphrase_file_and_unknown_entries():
    assert files.describe(files.encrypt(b"", passphrase="pw")).profile == "passphrase"
    unknown = files.Entry(0x7A7A, b"later")
    head = (files.MAGIC + b"\x01" + struct.pack(">I", CHUNK) + bytes(32) + struct.pack(">H", 1)
            + unknown.encode() + bytes(32))
    info = files.describe(head + bytes(16))
    assert (info.profile, info.entries, info.plaintext_length) == ("unknown", ("unknown 0x7a7a",), 0)


def test_describe_sources(people, tmp_path):
    plain = os.urandom(2 * CHUNK + 1)
    data = files.encrypt(plain, [people["alice"][1]], chunk_size=CHUNK)
    f = io.BytesIO(b"prefix" + data)
    f.seek(6)
    info = files.describe(f)
    assert f.tell() == 6 and info.plaintext_length == len(plain)
    r, w = os.pipe()
    with os.fdopen(w, "wb") as wf:
        wf.write(data[:3000])
    with os.fdopen(r, "rb") as rf:
        piped = files.describe(rf)
    assert piped.plaintext_length is None
    assert piped == files.FileInfo(1, "hybrid", ("X-Wing",), CHUNK, info.header_length, None)
    assert str(info) == (f"tarnel file v1, hybrid: X-Wing; chunk size 1024, header "
                         f"{info.header_length} bytes, plaintext {len(plain)} bytes")
    with pytest.raises(dataclasses.FrozenInstanceError):
        info.profile = "other"
