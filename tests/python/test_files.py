"""tarnel.files: files for several recipients.

Round trips over sizes around the chunk boundaries, every kind of recipient
and identity, random access, the checks on arguments and on the header, and
outputs under faults (a full disk, an existing output). The derivations are
checked against pyca/cryptography and hashlib; the fault-per-file kit is in
test_filekit.py.
"""

from __future__ import annotations

import hashlib
import hmac
import io
import json
import os
import struct
import subprocess
import sys

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives import hpke as pyca_hpke
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

import tarnel
from tarnel import _tarnel_pq, files, xwing
from tarnel.hpke import AEAD, KDF, KEM, Suite

CHUNK = 1024


@pytest.fixture(scope="module")
def keys():
    """(identity, recipient) per kind: X-Wing, ML-KEM-768 and ML-KEM-1024 seeds."""
    x_sk, x_pk = xwing.generate_keypair()
    out = {"xwing": (x_sk, x_pk)}
    for name, kem in (("mlkem768", KEM.ML_KEM_768), ("mlkem1024", KEM.ML_KEM_1024)):
        out[name] = Suite(kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM).generate_key_pair()
    return out


@pytest.mark.parametrize("size", [0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 3 * CHUNK, 3 * CHUNK + 7])
def test_round_trip_sizes(keys, size):
    plain = os.urandom(size)
    data = files.encrypt(plain, [keys["xwing"][1]], chunk_size=CHUNK)
    header = files.parse_header(io.BytesIO(data))
    chunks = max(1, -(-size // CHUNK))
    assert len(data) == header.length + size + 16 * chunks
    assert files.decrypt(data, [keys["xwing"][0]]) == plain


@pytest.mark.parametrize("kind", ["xwing", "mlkem768", "mlkem1024"])
def test_each_recipient_opens_with_its_own_key_only(keys, kind):
    data = files.encrypt(b"to three", [k[1] for k in keys.values()], chunk_size=CHUNK)
    assert files.decrypt(data, [keys[kind][0]]) == b"to three"
    other = files.encrypt(b"x", [keys[k][1] for k in keys if k != kind])
    with pytest.raises(tarnel.DecryptionError, match="no identity opens this file"):
        files.decrypt(other, [keys[kind][0]])


def test_key_objects_and_expanded_keys():
    d, z = os.urandom(32), os.urandom(32)
    for level, kem in ((tarnel.SecurityLevel.ML_KEM_768, KEM.ML_KEM_768),
                       (tarnel.SecurityLevel.ML_KEM_1024, KEM.ML_KEM_1024)):
        pair = tarnel.generate_keypair_deterministic(d, z, level)
        suite = Suite(kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
        data = files.encrypt(b"seed or dk", [suite.load_public_key(pair.public_key)])
        for identity in (d + z, pair.secret_key, suite.load_private_key(d + z)):
            assert files.decrypt(data, [identity]) == b"seed or dk"


def test_wrong_identities_are_all_tried(keys):
    data = files.encrypt(b"m", [keys["mlkem768"][1]])
    ids = [keys["xwing"][0], keys["mlkem1024"][0], keys["mlkem768"][0]]
    assert files.decrypt(data, ids) == b"m"


def test_passphrase(keys):
    data = files.encrypt(b"secret", passphrase="pw \u00e9")
    assert files.decrypt(data, passphrase="pw \u00e9".encode()) == b"secret"
    with pytest.raises(tarnel.DecryptionError, match="no identity opens this file"):
        files.decrypt(data, passphrase="pw e")
    with pytest.raises(tarnel.DecryptionError, match="no identity opens this file"):
        files.decrypt(data, [keys["xwing"][0]])


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"recipients": []}, tarnel.InvalidParameterError, "at least one recipient"),
        ({"recipients": [b"x" * 100]}, tarnel.InvalidParameterError, "100 bytes"),
        ({"recipients": ["key"]}, TypeError, "bytes or an hpke.PublicKey"),
        ({"passphrase": "p", "with_recipient": True}, tarnel.InvalidParameterError,
         "passphrase cannot be combined"),
        ({"chunk_size": 1000}, tarnel.InvalidParameterError, "power of two"),
        ({"chunk_size": 512}, tarnel.InvalidParameterError, "power of two"),
        ({"chunk_size": 32 << 20}, tarnel.InvalidParameterError, "power of two"),
        ({"too_many": True}, tarnel.InvalidParameterError, "at most 64 recipients"),
    ],
)
def test_encrypt_refuses(keys, kwargs, error, message):
    pk = keys["xwing"][1]
    recipients = kwargs.pop("recipients", [pk])
    if kwargs.pop("with_recipient", False):
        recipients = [pk]
    if kwargs.pop("too_many", False):
        recipients = [pk] * 65
    with pytest.raises(error, match=message):
        files.encrypt(b"x", recipients, **kwargs)


def test_the_same_recipient_twice_is_two_entries(keys):
    # Each entry has its own encapsulation, so the bodies differ.
    data = files.encrypt(b"x", [keys["xwing"][1]] * 2)
    assert len(files.parse_header(io.BytesIO(data)).entries) == 2


def test_identity_of_unknown_size(keys):
    data = files.encrypt(b"x", [keys["xwing"][1]])
    with pytest.raises(tarnel.InvalidParameterError, match="identity of 33 bytes"):
        files.decrypt(data, [b"\x00" * 33])


def test_derivations_match_independent_code(keys):
    """Header MAC, payload key, chunk nonces and the KEM entry, rebuilt with
    hashlib, hmac, pyca's HKDF and AES-GCM and tarnel's HPKE."""
    x_sk, x_pk = keys["xwing"]
    plain = os.urandom(2 * CHUNK + 10)
    data = files.encrypt(plain, [x_pk], chunk_size=CHUNK)
    f = io.BytesIO(data)
    h = files.parse_header(f)
    suite = Suite(KEM.X_WING, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
    body = h.entries[0].body
    assert len(body) == 1120 + 48 + 16
    file_key = suite.open(x_sk, body[:-16], info=b"tarnel file v1 \x64\x7a")
    tag_key = HKDF(hashes.SHA256(), 32, None, b"tarnel file v1 recipient").derive(file_key)
    assert hmac.new(tag_key, b"\x64\x7a" + x_pk, "sha256").digest()[:16] == body[-16:]
    mac_key = HKDF(hashes.SHA256(), 32, None, b"tarnel file v1 header").derive(file_key)
    assert hmac.new(mac_key, h.encoded[:-32], "sha256").digest() == h.mac
    payload_key = HKDF(hashes.SHA256(), 32, h.nonce, b"tarnel file v1 payload").derive(file_key)
    rest = data[h.length:]
    got = b""
    for i in range(3):
        nonce = i.to_bytes(11, "big") + (b"\x01" if i == 2 else b"\x00")
        got += AESGCM(payload_key).decrypt(nonce, rest[i * (CHUNK + 16):(i + 1) * (CHUNK + 16)], None)
    assert got == plain
    assert data[:8] == b"\x89TNL\r\n\x1a\n" and data[8] == 1
    assert struct.unpack(">IH", data[9:13] + data[45:47]) == (CHUNK, 1)


def test_passphrase_entry_matches_independent_code():
    data = files.encrypt(b"p", passphrase="pw")
    h = files.parse_header(io.BytesIO(data))
    (entry,) = h.entries
    assert entry.type == 0xFF01 and list(entry.body[:3]) == [17, 8, 1]
    kek = hashlib.scrypt(b"pw", salt=entry.body[3:19], n=1 << 17, r=8, p=1, dklen=32,
                         maxmem=1 << 28)
    file_key = AESGCM(kek).decrypt(bytes(12), entry.body[19:], b"tarnel file v1 \xff\x01")
    mac_key = HKDF(hashes.SHA256(), 32, None, b"tarnel file v1 header").derive(file_key)
    assert hmac.new(mac_key, h.encoded[:-32], "sha256").digest() == h.mac


def test_random_access_reads_only_what_it_needs(keys, tmp_path):
    plain = os.urandom(10 * CHUNK + 123)
    path = tmp_path / "f.tnl"
    assert files.encrypt_file(io.BytesIO(plain), path, [keys["xwing"][1]],
                              chunk_size=CHUNK) == len(plain)
    assert files.decrypt_file(path, io.BytesIO(), [keys["xwing"][0]]) == len(plain)
    with files.open_encrypted(path, [keys["xwing"][0]]) as f:
        assert f.seekable() and f.readable() and not f.writable()
        assert f.seek(0, io.SEEK_END) == len(plain)
        for start, n in [(0, 5), (CHUNK - 3, 7), (5 * CHUNK, CHUNK), (len(plain) - 4, 100),
                         (len(plain) + 5, 3)]:
            f.seek(start)
            assert f.read(n) == plain[start:start + n]
    # A damaged middle chunk fails the read that touches it, not the others.
    raw = bytearray(path.read_bytes())
    header_len = files.parse_header(io.BytesIO(bytes(raw))).length
    raw[header_len + 4 * (CHUNK + 16) + 1] ^= 1
    with files.open_encrypted(io.BytesIO(bytes(raw)), [keys["xwing"][0]]) as f:
        f.seek(8 * CHUNK)
        assert f.read(CHUNK) == plain[8 * CHUNK:9 * CHUNK]
        f.seek(4 * CHUNK)
        with pytest.raises(tarnel.DecryptionError, match="chunk 4 does not open"):
            f.read(1)


def test_open_encrypted_checks_the_end_first(keys):
    data = files.encrypt(os.urandom(3 * CHUNK), [keys["xwing"][1]], chunk_size=CHUNK)
    with pytest.raises(tarnel.DecryptionError, match="chunk 2 does not open"):
        files.open_encrypted(io.BytesIO(data[:-1]), [keys["xwing"][0]])


def test_open_encrypted_needs_a_seekable_file(keys):
    data = files.encrypt(b"x", [keys["xwing"][1]])
    r, w = os.pipe()
    os.write(w, data)
    os.close(w)
    with os.fdopen(r, "rb") as src, pytest.raises(io.UnsupportedOperation, match="seekable"):
        files.open_encrypted(src, [keys["xwing"][0]])


def test_failed_decryption_keeps_an_existing_output(keys, tmp_path):
    data = bytearray(files.encrypt(os.urandom(3 * CHUNK), [keys["xwing"][1]], chunk_size=CHUNK))
    data[-1] ^= 1
    src, dst = tmp_path / "in.tnl", tmp_path / "out"
    src.write_bytes(bytes(data))
    dst.write_bytes(b"keep me")
    with pytest.raises(tarnel.DecryptionError, match="chunk 2 does not open"):
        files.decrypt_file(src, dst, [keys["xwing"][0]])
    assert dst.read_bytes() == b"keep me"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.tnl", "out"]


@pytest.mark.parametrize("operation", ["encrypt_file", "decrypt_file"])
def test_full_disk_fails_and_leaves_nothing(keys, tmp_path, operation):
    x_sk, x_pk = keys["xwing"]
    plain = os.urandom(64 * 1024)
    (tmp_path / "plain").write_bytes(plain)
    (tmp_path / "enc").write_bytes(files.encrypt(plain, [x_pk]))
    args = {"encrypt_file": f"'plain', 'out', [bytes.fromhex('{x_pk.hex()}')]",
            "decrypt_file": f"'enc', 'out', [bytes.fromhex('{x_sk.hex()}')]"}[operation]
    code = (
        "import json, resource, signal\n"
        "from tarnel import files\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))\n"
        "try:\n"
        f"    files.{operation}({args})\n"
        "    print(json.dumps(None))\n"
        "except OSError as e:\n"
        "    print(json.dumps(e.errno))\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == 27  # EFBIG
    assert sorted(p.name for p in tmp_path.iterdir()) == ["enc", "plain"]


def test_unknown_entry_is_skipped_but_covered_by_the_mac(keys):
    """An unknown entry is skipped by the reader, but changing it breaks the MAC."""
    x_sk, x_pk = keys["xwing"]
    data = files.encrypt(b"x", [x_pk])
    h = files.parse_header(io.BytesIO(data))
    extra = files.Entry(0x7A7A, b"later")
    body = h.encoded[:45] + struct.pack(">H", 2) + extra.encode() + h.encoded[47:-32]
    forged = body + h.mac + data[h.length:]
    with pytest.raises(tarnel.DecryptionError, match="the header MAC does not verify"):
        files.decrypt(forged, [x_sk])


def test_threads_read_one_file_at_once(keys, tmp_path):
    """Readers in threads, each with its own handle, all get the plaintext."""
    import threading

    plain = os.urandom(20 * CHUNK + 5)
    path = tmp_path / "f.tnl"
    path.write_bytes(files.encrypt(plain, [keys["mlkem768"][1]], chunk_size=CHUNK))
    results: list[bool] = []

    def work(n: int) -> None:
        with files.open_encrypted(path, [keys["mlkem768"][0]]) as f:
            ok = True
            for start in range(n, len(plain), 3 * CHUNK + n):
                f.seek(start)
                ok = ok and f.read(2 * CHUNK) == plain[start:start + 2 * CHUNK]
        sink = io.BytesIO()
        files.decrypt_file(path, sink, [keys["mlkem768"][0]])
        results.append(ok and sink.getvalue() == plain)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 6


def test_closed_reader_refuses_reads(keys):
    data = files.encrypt(b"abc", [keys["xwing"][1]])
    f = files.open_encrypted(io.BytesIO(data), [keys["xwing"][0]])
    f.close()
    with pytest.raises(ValueError):
        f.read()


K32 = bytes(32)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: _tarnel_pq.file_seal_chunk(K32, K32, -1, True, b""), ValueError, "negative"),
        (lambda: _tarnel_pq.file_seal_chunk(K32, K32, 2**63, True, b""), OverflowError, "too big"),
        (lambda: _tarnel_pq.file_seal_chunk(K32, K32, 0, 1, b""), TypeError, "bool"),
        (lambda: _tarnel_pq.file_seal_chunk(K32, bytes(31), 0, True, b""),
         tarnel.InvalidParameterError, "payload nonce must be 32 bytes"),
        (lambda: _tarnel_pq.file_open_chunk(K32, K32, 0, True, b"x" * 15),
         tarnel.DecryptionError, "tag"),
        (lambda: _tarnel_pq.file_header_mac(bytes(5), b""),
         tarnel.InvalidParameterError, "file key must be 32 bytes"),
        (lambda: _tarnel_pq.file_wrap_key(bytes(5), b"", K32),
         tarnel.InvalidParameterError, "passphrase key must be 32 bytes"),
        (lambda: _tarnel_pq.file_unwrap_key(K32, b"", bytes(47)),
         tarnel.InvalidParameterError, "wrapped file key must be 48 bytes"),
        (lambda: _tarnel_pq.file_open_mlkem_entry(0x647A, bytes(2400), bytes(1136), b""),
         tarnel.InvalidParameterError, "not an ML-KEM KEM"),
        (lambda: _tarnel_pq.file_open_mlkem_entry(0x10041, bytes(2400), bytes(1136), b""),
         ValueError, "16-bit"),
        (lambda: _tarnel_pq.file_open_mlkem_entry(0x41, bytes(2399), bytes(1136), b""),
         tarnel.InvalidParameterError, "decapsulation key has incorrect size"),
        (lambda: _tarnel_pq.file_open_mlkem_entry(0x41, bytes(2400), bytes(1103), b""),
         tarnel.InvalidParameterError, "shorter than enc and a tag"),
        (lambda: _tarnel_pq.file_parse_header("text"), TypeError, "bytes"),
        (lambda: _tarnel_pq.file_recipient_tag(bytes(31), 0x647A, bytes(1216)),
         tarnel.InvalidParameterError, "file key must be 32 bytes"),
        (lambda: _tarnel_pq.file_recipient_tag(K32, 0xFF01, bytes(1216)),
         tarnel.InvalidParameterError, "not a KEM entry type"),
        (lambda: _tarnel_pq.file_recipient_tag(K32, 0x41, bytes(1216)),
         tarnel.InvalidParameterError, "not of the entry type's length"),
        (lambda: _tarnel_pq.file_recipient_tag(K32, 0x1647A, bytes(1216)), ValueError, "16-bit"),
        (lambda: _tarnel_pq.file_entry_length(0x10000), ValueError, "16-bit"),
        (lambda: _tarnel_pq.file_entry_length(-1), OverflowError, "out of range"),
    ],
)
def test_native_functions_refuse_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_interrupted_decryption_leaves_nothing(keys, tmp_path):
    """SIGINT while decrypt_file waits on a FIFO for the rest of the file: the
    process stops with KeyboardInterrupt and no output or temporary is left."""
    import signal
    import time

    x_sk, x_pk = keys["xwing"]
    data = files.encrypt(os.urandom(8 * CHUNK), [x_pk], chunk_size=CHUNK)
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    code = (
        "import sys\n"
        "from tarnel import files\n"
        "print('ready', flush=True)\n"
        f"files.decrypt_file('in.fifo', 'out', [bytes.fromhex('{x_sk.hex()}')])\n"
    )
    proc = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    assert proc.stdout is not None and proc.stdout.readline() == "ready\n"
    with open(fifo, "wb") as w:
        w.write(data[: len(data) // 2])  # the header and some chunks, then silence
        w.flush()
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
    assert proc.returncode != 0 and "KeyboardInterrupt" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.fifo"]


# ---- a second implementation from pyca/cryptography's primitives alone


def pyca_xwing(seed):
    """pyca's X-Wing (MLKEM768-X25519) private key for our 32-byte seed."""
    expanded = hashlib.shake_256(seed).digest(96)
    return pyca_hpke.MLKEM768X25519PrivateKey(
        mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]),
        x25519.X25519PrivateKey.from_private_bytes(expanded[64:]))


def pyca_xwing_public_bytes(seed):
    """The 1216-byte X-Wing public key from pyca's parts: ML-KEM-768 ek || X25519 point."""
    expanded = hashlib.shake_256(seed).digest(96)
    return (mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]).public_key().public_bytes_raw()
            + x25519.X25519PrivateKey.from_private_bytes(expanded[64:]).public_key()
            .public_bytes_raw())


PYCA_SUITES = {
    0x647A: pyca_hpke.Suite(pyca_hpke.KEM.MLKEM768_X25519, pyca_hpke.KDF.HKDF_SHA256,
                            pyca_hpke.AEAD.AES_256_GCM),
    0x0041: pyca_hpke.Suite(pyca_hpke.KEM.MLKEM768, pyca_hpke.KDF.HKDF_SHA256,
                            pyca_hpke.AEAD.AES_256_GCM),
}


def pyca_write(plain, recipients, chunk_size):
    """A file written from the format's definition with pyca only;
    ``recipients`` holds (type, pyca public key, its bytes)."""
    file_key, nonce = os.urandom(32), os.urandom(32)
    entries = b""
    tag_key = HKDF(hashes.SHA256(), 32, None, b"tarnel file v1 recipient").derive(file_key)
    for kem, public_key, raw in recipients:
        body = PYCA_SUITES[kem].encrypt(file_key, public_key,
                                        info=b"tarnel file v1 " + kem.to_bytes(2, "big"))
        body += hmac.new(tag_key, kem.to_bytes(2, "big") + raw, "sha256").digest()[:16]
        entries += struct.pack(">HI", kem, len(body)) + body
    head = (b"\x89TNL\r\n\x1a\n\x01" + struct.pack(">I", chunk_size) + nonce
            + struct.pack(">H", len(recipients)) + entries)
    mac_key = HKDF(hashes.SHA256(), 32, None, b"tarnel file v1 header").derive(file_key)
    out = head + hmac.new(mac_key, head, "sha256").digest()
    payload_key = AESGCM(HKDF(hashes.SHA256(), 32, nonce, b"tarnel file v1 payload").derive(file_key))
    pieces = [plain[i:i + chunk_size] for i in range(0, len(plain), chunk_size)] or [b""]
    for i, piece in enumerate(pieces):
        flag = b"\x01" if i == len(pieces) - 1 else b"\x00"
        out += payload_key.encrypt(i.to_bytes(11, "big") + flag, piece, None)
    return out


def pyca_read(data, kem, private_key):
    """The plaintext of a file, read from the format's definition with pyca only."""
    (chunk_size,) = struct.unpack(">I", data[9:13])
    nonce, (count,) = data[13:45], struct.unpack(">H", data[45:47])
    at, file_key = 47, None
    for _ in range(count):
        entry_type, length = struct.unpack(">HI", data[at:at + 6])
        if entry_type == kem:
            # enc || ct || tag: the recipient tag is not needed to open.
            file_key = PYCA_SUITES[kem].decrypt(data[at + 6:at + 6 + length - 16], private_key,
                                                info=b"tarnel file v1 " + kem.to_bytes(2, "big"))
        at += 6 + length
    mac_key = HKDF(hashes.SHA256(), 32, None, b"tarnel file v1 header").derive(file_key)
    assert hmac.new(mac_key, data[:at], "sha256").digest() == data[at:at + 32]
    payload_key = AESGCM(HKDF(hashes.SHA256(), 32, nonce, b"tarnel file v1 payload").derive(file_key))
    rest, block = data[at + 32:], chunk_size + 16
    blocks = [rest[i:i + block] for i in range(0, len(rest), block)]
    return b"".join(payload_key.decrypt(
        i.to_bytes(11, "big") + (b"\x01" if i == len(blocks) - 1 else b"\x00"), b, None)
        for i, b in enumerate(blocks))


@pytest.mark.parametrize("size", [0, 5, CHUNK, 2 * CHUNK + 3])
def test_interoperates_with_a_pyca_implementation(size):
    x_seed = os.urandom(32)
    x_pk = xwing.generate_keypair(x_seed)[1]
    m_seed = os.urandom(64)
    m_private = mlkem.MLKEM768PrivateKey.from_seed_bytes(m_seed)
    m_pk = m_private.public_key().public_bytes_raw()
    plain = os.urandom(size)
    theirs = pyca_write(plain, [(0x647A, pyca_xwing(x_seed).public_key(),
                                 pyca_xwing_public_bytes(x_seed)),
                                (0x0041, m_private.public_key(), m_pk)], CHUNK)
    assert files.decrypt(theirs, [x_seed]) == plain
    assert files.decrypt(theirs, [m_seed]) == plain
    ours = files.encrypt(plain, [x_pk, m_pk], chunk_size=CHUNK)
    assert pyca_read(ours, 0x647A, pyca_xwing(x_seed)) == plain
    assert pyca_read(ours, 0x0041, m_private) == plain
    # Their recipient tags name the same keys as ours: removing by public key works.
    assert pyca_xwing_public_bytes(x_seed) == x_pk
    rekeyed = io.BytesIO()
    files.rekey(io.BytesIO(theirs), rekeyed, [m_seed], remove=[x_pk])
    assert files.describe(rekeyed.getvalue()).entries == ("ML-KEM-768",)
    assert pyca_read(rekeyed.getvalue(), 0x0041, m_private) == plain
