"""The stream handles: formats, state machines, errors and concurrency."""

import os
import struct
import threading

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from tarnel import _tarnel_core as tc

LEVELS = [tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_768, tc.SecurityLevel.ML_KEM_1024]
CAPSULE = {512: 768, 768: 1088, 1024: 1568}
DECRYPTION_MSG = "AES-GCM authentication tag verification failed"
L768 = tc.SecurityLevel.ML_KEM_768


@pytest.fixture(scope="module", params=LEVELS, ids=lambda lv: f"ML-KEM-{int(lv)}")
def pair(request):
    return tc.generate_keypair(request.param)


@pytest.fixture(scope="module")
def kp():
    return tc.generate_keypair(L768)


def split(frame):
    (length,) = struct.unpack(">I", frame[:4])
    assert len(frame) == length + 20
    return frame[4:4 + length], frame[4 + length:]


def record(kp, chunk_size, plaintexts):
    header, enc = tc.stream_encryptor_new(kp.public_key, chunk_size, kp.level)
    frames = [split(enc.encrypt_chunk(p)) for p in plaintexts]
    eof = enc.finalize()
    assert eof[:4] == b"\0\0\0\0" and len(eof) == 20
    return header, frames, eof[4:]


def opener(kp, header):
    return tc.stream_decryptor_from_header(header, kp.secret_key, kp.level)


def chunk_nonce(base_nonce, index):
    return struct.pack(">I", index) + base_nonce[4:12]


def test_round_trip(pair):
    plaintexts = [os.urandom(4096), b"", os.urandom(1), os.urandom(4096), os.urandom(100)]
    header, enc = tc.stream_encryptor_new(pair.public_key, 4096, pair.level)
    c = CAPSULE[int(pair.level)]
    assert len(header) == c + 16
    assert header[c:c + 12] == enc.base_nonce()
    assert header[c + 12:] == struct.pack(">I", 4096)
    frames = []
    for i, p in enumerate(plaintexts):
        frame = enc.encrypt_chunk(p)
        assert type(frame) is bytes and len(frame) == len(p) + 20
        frames.append(split(frame))
        assert enc.chunk_index() == i + 1
    eof = enc.finalize()
    dec = opener(pair, header)
    assert dec.chunk_size() == 4096
    for (ct, tag), p in zip(frames, plaintexts):
        assert dec.decrypt_chunk(ct, tag) == p
    assert dec.eof_seen() is False
    assert dec.process_eof(tag=eof[4:]) is None
    assert dec.eof_seen() is True
    assert dec.chunk_index() == len(plaintexts) + 1
    assert dec.finalize() is None


def test_multi_megabyte_stream(kp):
    data = os.urandom(5 * 1024 * 1024 + 3)
    size = 1 << 20
    header, frames, eof_tag = record(kp, size, [data[i:i + size] for i in range(0, len(data), size)])
    dec = opener(kp, header)
    out = b"".join(dec.decrypt_chunk(ct, tag) for ct, tag in frames)
    dec.process_eof(eof_tag)
    assert out == data


def test_frames_match_standard_aesgcm(pair):
    c = CAPSULE[int(pair.level)]
    plaintexts = [os.urandom(64), os.urandom(7), b""]
    header, frames, eof_tag = record(pair, 64, plaintexts)
    key = tc.decapsulate(header[:c], pair.secret_key, pair.level)
    base = header[c:c + 12]
    aes = AESGCM(key)
    for i, ((ct, tag), p) in enumerate(zip(frames, plaintexts)):
        assert aes.decrypt(chunk_nonce(base, i), ct + tag, struct.pack(">I", i)) == p
    n = len(frames)
    assert aes.decrypt(chunk_nonce(base, n), eof_tag, struct.pack(">I", n)) == b""
    # Frames sealed by AESGCM at the right index open here.
    dec = opener(pair, header)
    for i, p in enumerate([b"alpha", b"", b"gamma" * 10]):
        sealed = aes.encrypt(chunk_nonce(base, i), p, struct.pack(">I", i))
        assert dec.decrypt_chunk(sealed[:-16], sealed[-16:]) == p
    eof = aes.encrypt(chunk_nonce(base, 3), b"", struct.pack(">I", 3))
    dec.process_eof(eof)
    assert dec.eof_seen()


def test_empty_chunk_frame_is_an_eof_marker(kp):
    header, enc = tc.stream_encryptor_new(kp.public_key, 8, L768)
    empty = enc.encrypt_chunk(b"")
    assert len(empty) == 20 and empty[:4] == b"\0\0\0\0"
    dec = opener(kp, header)
    dec.process_eof(empty[4:])  # byte for byte a marker at index 0
    assert dec.eof_seen()


def test_reorder_replay_drop_and_recovery(kp):
    plaintexts = [b"a" * 8, b"b" * 8, b"c" * 8]
    header, f, eof_tag = record(kp, 8, plaintexts)
    dec = opener(kp, header)
    for ct, tag in (f[1], f[2]):  # swapped or dropped: refused, index stays
        with pytest.raises(tc.DecryptionError):
            dec.decrypt_chunk(ct, tag)
        assert dec.chunk_index() == 0
    assert dec.decrypt_chunk(*f[0]) == plaintexts[0]
    with pytest.raises(tc.DecryptionError):  # replay
        dec.decrypt_chunk(*f[0])
    damaged = bytes([f[1][0][0] ^ 1]) + f[1][0][1:]
    with pytest.raises(tc.DecryptionError):
        dec.decrypt_chunk(damaged, f[1][1])
    assert dec.decrypt_chunk(*f[1]) == plaintexts[1]  # recovers after wrong chunks
    with pytest.raises(tc.DecryptionError):  # early marker
        dec.process_eof(eof_tag)
    assert dec.decrypt_chunk(*f[2]) == plaintexts[2]
    dec.process_eof(eof_tag)
    with pytest.raises(tc.DecryptionError) as e:  # data after the marker
        dec.decrypt_chunk(*f[2])
    assert str(e.value) == DECRYPTION_MSG
    with pytest.raises(tc.DecryptionError):  # second marker
        dec.process_eof(eof_tag)


def test_truncated_stream_finalizes_without_marker(kp):
    header, frames, eof_tag = record(kp, 16, [b"x" * 16, b"y"])
    dec = opener(kp, header)
    for ct, tag in frames:
        dec.decrypt_chunk(ct, tag)
    assert dec.eof_seen() is False
    assert dec.finalize() is None


def test_eof_tag_as_empty_data_chunk(kp):
    header, frames, eof_tag = record(kp, 16, [b"x"])
    dec = opener(kp, header)
    dec.decrypt_chunk(*frames[0])
    assert dec.decrypt_chunk(b"", eof_tag) == b""
    assert dec.chunk_index() == 2 and dec.eof_seen() is False
    with pytest.raises(tc.DecryptionError):
        dec.process_eof(eof_tag)


@pytest.mark.parametrize("byte", range(12))
def test_only_base_nonce_bytes_4_to_11_matter(kp, byte):
    header, frames, _ = record(kp, 16, [b"data"])
    damaged = bytearray(header)
    damaged[1088 + byte] ^= 0xFF
    dec = opener(kp, bytes(damaged))
    if byte < 4:
        assert dec.decrypt_chunk(*frames[0]) == b"data"
    else:
        with pytest.raises(tc.DecryptionError):
            dec.decrypt_chunk(*frames[0])


def test_damaged_capsule_fails_at_first_chunk(kp):
    header, frames, _ = record(kp, 16, [b"data"])
    dec = opener(kp, bytes([header[0] ^ 1]) + header[1:])
    with pytest.raises(tc.DecryptionError):
        dec.decrypt_chunk(*frames[0])


def test_encryptor_new_errors(kp):
    short_ek = kp.public_key[:-1]
    invalid = [
        ((kp.public_key, 0), "chunk_size must be at least 1 byte"),
        ((kp.public_key, 16777217), "chunk_size exceeds the 16 MiB safety cap"),
        ((kp.public_key, 0xFFFFFFFF), "chunk_size exceeds the 16 MiB safety cap"),
        ((short_ek, 0), "encryption key has incorrect size"),  # key first
        ((kp.public_key, 64, tc.SecurityLevel.ML_KEM_512), "encryption key has incorrect size"),
    ]
    for args, msg in invalid:
        with pytest.raises(tc.InvalidParameterError) as e:
            tc.stream_encryptor_new(*args)
        assert str(e.value) == msg
    header, enc = tc.stream_encryptor_new(kp.public_key, 16777216)
    assert header[-4:] == b"\x01\x00\x00\x00"
    assert enc.chunk_size() == 16777216


@pytest.mark.parametrize("value,exc,message", [
    (-1, OverflowError, "out of range integral type conversion attempted"),
    (2**32, OverflowError, "out of range integral type conversion attempted"),
    (2**64, OverflowError, None),
    ("64", TypeError, None),
    (64.0, TypeError, None),
])
def test_chunk_size_conversion(value, exc, message):
    # The conversion fails before any key work: the key here is invalid.
    with pytest.raises(exc) as e:
        tc.stream_encryptor_new(b"", value)
    if message is not None:
        assert str(e.value) == message
    assert getattr(e.value, "__notes__", ["while processing 'chunk_size'"]) == [
        "while processing 'chunk_size'"]


def test_decryptor_from_header_errors(kp):
    header, _ = tc.stream_encryptor_new(kp.public_key, 100)

    def with_chunk_size(v):
        return header[:1100] + struct.pack(">I", v)

    short = "stream header too short for the given security level"
    dk_msg = "decapsulation key has incorrect size"
    rng_msg = "chunk_size must be 1..=16 MiB"
    cases = [
        ((header[:-1], kp.secret_key), short),
        ((header[:-1], b"bad"), short),
        ((b"", kp.secret_key), short),
        ((header, kp.secret_key[:-1]), dk_msg),
        ((with_chunk_size(0), kp.secret_key[:-1]), dk_msg),  # decapsulation first
        ((with_chunk_size(0), kp.secret_key), rng_msg),
        ((with_chunk_size(16777217), kp.secret_key), rng_msg),
    ]
    for (h, sk), msg in cases:
        with pytest.raises(tc.InvalidParameterError) as e:
            tc.stream_decryptor_from_header(h, sk, L768)
        assert str(e.value) == msg
    assert tc.stream_decryptor_from_header(header + b"extra", kp.secret_key, L768).chunk_size() == 100
    with pytest.raises(TypeError) as e:
        tc.stream_decryptor_from_header(header, kp.secret_key)
    assert str(e.value) == ("stream_decryptor_from_header() missing 1 required positional "
                            "argument: 'level'")


def test_chunk_check_order(kp):
    header, frames, eof_tag = record(kp, 16, [b"z" * 16])
    dec = opener(kp, header)
    tag_msg = "AES-GCM tag must be 16 bytes"
    ct_msg = "ciphertext exceeds configured chunk_size"
    cases = [
        (lambda: dec.decrypt_chunk(b"x" * 17, b"t" * 15), tc.InvalidParameterError, tag_msg),
        (lambda: dec.decrypt_chunk(b"x", b"t" * 17), tc.InvalidParameterError, tag_msg),
        (lambda: dec.decrypt_chunk(b"x" * 17, b"t" * 16), tc.InvalidParameterError, ct_msg),
        (lambda: dec.process_eof(b""), tc.InvalidParameterError, tag_msg),
        (lambda: dec.decrypt_chunk(b"x" * 16, b"t" * 16), tc.DecryptionError, DECRYPTION_MSG),
    ]
    for call, exc, msg in cases:
        with pytest.raises(exc) as e:
            call()
        assert type(e.value) is exc and str(e.value) == msg
        assert dec.chunk_index() == 0
    dec.decrypt_chunk(*frames[0])
    dec.process_eof(eof_tag)
    # After the marker, the length checks still come before the refusal.
    with pytest.raises(tc.InvalidParameterError, match=ct_msg):
        dec.decrypt_chunk(b"x" * 17, b"t" * 16)
    with pytest.raises(tc.DecryptionError):
        dec.decrypt_chunk(b"", b"t" * 16)


def test_encrypt_chunk_limits_and_argument_errors(kp):
    _, enc = tc.stream_encryptor_new(kp.public_key, 32)
    with pytest.raises(tc.InvalidParameterError, match="^plaintext exceeds configured chunk_size$"):
        enc.encrypt_chunk(b"p" * 33)
    assert enc.chunk_index() == 0
    with pytest.raises(TypeError) as e:
        enc.encrypt_chunk(bytearray(4))
    assert str(e.value) == "'bytearray' object is not an instance of 'bytes'"
    assert len(enc.encrypt_chunk(plaintext=b"p" * 32)) == 52  # still usable
    assert enc.chunk_index() == 1
    bindings = [
        (lambda: enc.encrypt_chunk(), "StreamEncryptorHandle.encrypt_chunk() missing 1 required "
                                      "positional argument: 'plaintext'"),
        (lambda: enc.chunk_index(1), "StreamEncryptorHandle.chunk_index() takes 0 positional "
                                     "arguments but 1 was given"),
        (lambda: enc.finalize(x=1), "StreamEncryptorHandle.finalize() got an unexpected keyword "
                                    "argument 'x'"),
    ]
    for call, msg in bindings:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == msg


def test_finalized_handles(kp):
    header, enc = tc.stream_encryptor_new(kp.public_key, 64)
    enc.encrypt_chunk(b"abc")
    enc.finalize()
    assert (enc.chunk_index(), enc.chunk_size(), enc.base_nonce()) == (0, 0, bytes(12))
    for call in (enc.finalize, lambda: enc.encrypt_chunk(b"")):
        with pytest.raises(tc.InvalidParameterError) as e:
            call()
        assert str(e.value) == "encryptor already finalized"

    dec = opener(kp, header)
    dec.finalize()
    assert (dec.chunk_index(), dec.chunk_size(), dec.eof_seen()) == (0, 0, False)
    for call, msg in [
        (dec.finalize, "already finalized"),
        (lambda: dec.decrypt_chunk(b"", b"t" * 15), "decryptor already finalized"),
        (lambda: dec.process_eof(b"t"), "decryptor already finalized"),
    ]:
        with pytest.raises(tc.InvalidParameterError) as e:
            call()
        assert str(e.value) == msg


def test_classes():
    for cls, doc in [
        (tc.StreamEncryptorHandle, "Handle de cifrador de stream. Conserva el shared_secret entre llamadas."),
        (tc.StreamDecryptorHandle, "Handle de descifrador de stream. Conserva el shared_secret entre llamadas."),
    ]:
        assert cls.__doc__ == doc
        assert cls.__module__ == "builtins"
        with pytest.raises(TypeError):
            cls()
    def methods(cls):
        return [k for k in vars(cls) if not k.startswith("__")]

    assert methods(tc.StreamEncryptorHandle) == [
        "encrypt_chunk", "finalize", "chunk_index", "chunk_size", "base_nonce"]
    assert methods(tc.StreamDecryptorHandle) == [
        "decrypt_chunk", "process_eof", "finalize", "chunk_index", "chunk_size", "eof_seen"]
    assert tc.StreamEncryptorHandle.encrypt_chunk.__text_signature__ == "($self, plaintext)"
    assert tc.StreamDecryptorHandle.decrypt_chunk.__text_signature__ == "($self, ciphertext, tag)"
    assert tc.StreamDecryptorHandle.eof_seen.__doc__ == "True si el EOF marker fue procesado."
    assert tc.stream_encryptor_new.__text_signature__ == "(recipient_public_key, chunk_size, level=...)"
    assert tc.stream_decryptor_from_header.__text_signature__ == "(header_bytes, secret_key, level)"


def test_busy_handle_refuses_other_calls_at_once(kp):
    """While encrypt_chunk runs without the lock, other calls fail with RuntimeError."""
    _, enc = tc.stream_encryptor_new(kp.public_key, 16 * 1024 * 1024)
    big = bytes(16 * 1024 * 1024)
    seen = set()
    for _ in range(20):
        worker = threading.Thread(target=enc.encrypt_chunk, args=(big,))
        worker.start()
        while worker.is_alive() and len(seen) < 2:
            for call in (enc.chunk_index, lambda: enc.encrypt_chunk(b"")):
                try:
                    call()
                except RuntimeError as e:
                    seen.add(str(e))
        worker.join()
        if len(seen) == 2:
            break
    assert seen == {"Already mutably borrowed", "Already borrowed"}


def test_busy_handle_is_refused_before_argument_types_are_checked(kp):
    """The borrow is taken after binding and before conversion: a mistyped
    argument to a handle in use still gets "Already borrowed"."""
    _, enc = tc.stream_encryptor_new(kp.public_key, 16 * 1024 * 1024)
    big = bytes(16 * 1024 * 1024)
    outcomes = set()
    for _ in range(20):
        worker = threading.Thread(target=enc.encrypt_chunk, args=(big,))
        worker.start()
        while worker.is_alive():
            try:
                enc.encrypt_chunk(bytearray(1))
            except RuntimeError as e:
                outcomes.add(str(e))
            except TypeError:
                outcomes.add("TypeError")  # the handle was free at that moment
        worker.join()
        if "Already borrowed" in outcomes:
            break
    assert "Already borrowed" in outcomes
    with pytest.raises(TypeError):  # a free handle checks the type
        enc.encrypt_chunk(bytearray(1))
    with pytest.raises(TypeError, match="takes 1 positional"):  # binding beats the borrow
        enc.encrypt_chunk(b"", b"")


def test_threads_hammering_one_handle(kp):
    header, enc = tc.stream_encryptor_new(kp.public_key, 1 << 20)
    payload = os.urandom(1 << 20)
    frames, errors, others = [], [], []
    lock = threading.Lock()

    def hammer():
        for _ in range(15):
            try:
                frame = enc.encrypt_chunk(payload)
                with lock:
                    frames.append(frame)
            except RuntimeError as e:
                errors.append(str(e))
            except BaseException as e:  # noqa: BLE001 - recorded and asserted below
                others.append(e)
            try:
                enc.chunk_index()
                enc.base_nonce()
            except RuntimeError as e:
                errors.append(str(e))

    threads = [threading.Thread(target=hammer) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert others == []
    assert set(errors) <= {"Already borrowed", "Already mutably borrowed"}
    assert enc.chunk_index() == len(frames) > 0
    # Each successful frame holds a distinct index 0..n-1.
    key = tc.decapsulate(header[:1088], kp.secret_key)
    aes = AESGCM(key)
    base = header[1088:1100]
    indices = set()
    for frame in frames:
        ct, tag = split(frame)
        for i in range(len(frames)):
            if i in indices:
                continue
            try:
                assert aes.decrypt(chunk_nonce(base, i), ct + tag, struct.pack(">I", i)) == payload
            except Exception:  # noqa: BLE001 - wrong index
                continue
            indices.add(i)
            break
    assert indices == set(range(len(frames)))


def test_independent_streams_in_parallel(kp):
    results = {}

    def run(name):
        data = os.urandom(3 << 20)
        header, frames, eof_tag = record(kp, 1 << 20, [data[i:i + (1 << 20)] for i in range(0, len(data), 1 << 20)])
        dec = opener(kp, header)
        out = b"".join(dec.decrypt_chunk(ct, tag) for ct, tag in frames)
        dec.process_eof(eof_tag)
        results[name] = out == data

    threads = [threading.Thread(target=run, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {0: True, 1: True, 2: True, 3: True}
