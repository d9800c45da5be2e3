"""X-Wing: the draft's known answers, an independent recomputation from
pyca's ML-KEM-768 and X25519, and the errors."""

import hashlib
import json
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519

import tarnel
from tarnel import xwing

VECTORS = Path(__file__).resolve().parents[1] / "vectors" / "xwing" / "test-vectors.json"
LABEL = b"\\.//^\\"


def cases():
    return json.loads(VECTORS.read_text())


@pytest.mark.parametrize("case", cases(), ids=lambda c: c["seed"][:16])
def test_known_answers(case):
    seed, pk, eseed, ct, ss = (bytes.fromhex(case[k]) for k in ("seed", "pk", "eseed", "ct", "ss"))
    assert xwing.generate_keypair(seed) == (seed, pk)
    assert xwing.encapsulate(pk, eseed) == (ct, ss)
    assert xwing.decapsulate(ct, seed) == ss


def pyca_parts(seed):
    """The ML-KEM-768 and X25519 keys of an X-Wing seed, built with pyca."""
    expanded = hashlib.shake_256(seed).digest(96)
    return (mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]),
            x25519.X25519PrivateKey.from_private_bytes(expanded[64:]))


def raw_public(key):
    from cryptography.hazmat.primitives import serialization as s
    return key.public_bytes(s.Encoding.Raw, s.PublicFormat.Raw)


def test_agrees_with_pyca_components():
    sk, pk = xwing.generate_keypair()
    m, x = pyca_parts(sk)
    pk_x = raw_public(x.public_key())
    assert pk == raw_public(m.public_key()) + pk_x
    # Our encapsulation, decapsulated with pyca's parts.
    ct, ss = xwing.encapsulate(pk)
    ct_x = ct[1088:]
    ss_m = m.decapsulate(ct[:1088])
    ss_x = x.exchange(x25519.X25519PublicKey.from_public_bytes(ct_x))
    assert ss == hashlib.sha3_256(ss_m + ss_x + ct_x + pk_x + LABEL).digest()
    # pyca's parts encapsulating, decapsulated by us.
    ss_m, ct_m = m.public_key().encapsulate()
    eph = x25519.X25519PrivateKey.generate()
    ct_x = raw_public(eph.public_key())
    ss_x = eph.exchange(x.public_key())
    assert xwing.decapsulate(ct_m + ct_x, sk) == hashlib.sha3_256(
        ss_m + ss_x + ct_x + pk_x + LABEL).digest()


def test_random_round_trip_and_implicit_rejection():
    sk, pk = xwing.generate_keypair()
    assert len(sk) == xwing.PRIVATE_KEY_SIZE and len(pk) == xwing.PUBLIC_KEY_SIZE
    ct, ss = xwing.encapsulate(pk)
    assert len(ct) == xwing.CIPHERTEXT_SIZE and len(ss) == xwing.SHARED_SECRET_SIZE
    assert xwing.decapsulate(ct, sk) == ss
    assert xwing.encapsulate(pk)[0] != ct
    altered = bytes([ct[0] ^ 1]) + ct[1:]
    assert xwing.decapsulate(altered, sk) != ss


@pytest.mark.parametrize("call, message", [
    (lambda pk, sk, ct: xwing.generate_keypair(bytes(31)), "X-Wing private key must be 32 bytes"),
    (lambda pk, sk, ct: xwing.encapsulate(pk[:-1]), "X-Wing public key must be 1216 bytes"),
    (lambda pk, sk, ct: xwing.encapsulate(pk, bytes(65)), "X-Wing eseed must be 64 bytes"),
    (lambda pk, sk, ct: xwing.decapsulate(ct + b"\0", sk), "X-Wing ciphertext must be 1120 bytes"),
    (lambda pk, sk, ct: xwing.decapsulate(ct, sk[:-1]), "X-Wing private key must be 32 bytes"),
    (lambda pk, sk, ct: xwing.encapsulate(b"\xff\xff" + pk[2:]),
     "X-Wing public key fails the ML-KEM encapsulation key check"),
    (lambda pk, sk, ct: xwing.encapsulate(pk[:-32] + bytes(32)), "X25519 shared secret is all zeros"),
])
def test_invalid_parameters(call, message):
    sk, pk = xwing.generate_keypair(bytes(range(32)))
    ct, _ = xwing.encapsulate(pk, bytes(64))
    with pytest.raises(tarnel.InvalidParameterError) as e:
        call(pk, sk, ct)
    assert str(e.value) == message


def test_small_order_ciphertext_is_a_decapsulation_error():
    sk, pk = xwing.generate_keypair()
    ct, _ = xwing.encapsulate(pk)
    with pytest.raises(tarnel.DecapsulationError) as e:
        xwing.decapsulate(ct[:1088] + b"\x01" + bytes(31), sk)
    assert str(e.value) == "X-Wing ciphertext has an X25519 part of small order"


@pytest.mark.parametrize("call", [
    lambda: xwing.generate_keypair("seed"),  # type: ignore[arg-type]
    lambda: xwing.encapsulate(bytearray(1216)),  # type: ignore[arg-type]
    lambda: xwing.encapsulate(bytes(1216), eseed=memoryview(bytes(64))),  # type: ignore[arg-type]
    lambda: xwing.decapsulate(bytes(1120), None),  # type: ignore[arg-type]
])
def test_wrong_types(call):
    with pytest.raises(TypeError):
        call()


def test_threads_agree_with_the_main_thread():
    """X-Wing and HPKE (sharing one loaded key object) from eight threads at
    once, with the interpreter lock released, give the main thread's results."""
    import threading

    from tarnel.hpke import AEAD, KDF, KEM, Suite

    seeds = [bytes([i]) * 32 for i in range(8)]
    expected = [xwing.encapsulate(xwing.generate_keypair(s)[1], s * 2) for s in seeds]
    suite = Suite(KEM.X_WING, KDF.SHAKE256, AEAD.CHACHA20_POLY1305)
    sk, pk = suite.generate_key_pair()
    key = suite.load_private_key(sk)
    barrier = threading.Barrier(8)
    errors = []

    def body(i):
        try:
            barrier.wait()
            for _ in range(20):
                _, pk_i = xwing.generate_keypair(seeds[i])
                assert xwing.encapsulate(pk_i, seeds[i] * 2) == expected[i]
                assert xwing.decapsulate(expected[i][0], seeds[i]) == expected[i][1]
                message = bytes([i]) * 100
                assert suite.open(key, suite.seal(pk, message, info=seeds[i]), info=seeds[i]) == message
        except BaseException as e:  # noqa: BLE001 - reported to the test
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
