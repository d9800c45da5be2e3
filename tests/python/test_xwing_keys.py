"""The X-Wing key objects tarnel.xwing.PublicKey and tarnel.xwing.PrivateKey:
the same results as tarnel.xwing's functions on the same keys and
randomness (the draft's known answers and random cases), the checks made
once, the errors, immutability, one object shared by many threads, and
their use with tarnel.hpke."""

import copy
import json
import os
import pickle
import sys
import threading
from pathlib import Path

import pytest

import tarnel
from tarnel import _tarnel_pq as pq
from tarnel import hpke, xwing

VECTORS = Path(__file__).resolve().parents[1] / "vectors" / "xwing" / "test-vectors.json"


def vectors():
    return json.loads(VECTORS.read_text())


@pytest.fixture(scope="module")
def pair():
    seed, pk = xwing.generate_keypair(bytes(range(32)))
    return seed, pk, xwing.PublicKey(pk), xwing.PrivateKey(seed)


def test_names():
    assert xwing.PublicKey is pq.XWingPublicKey and xwing.PrivateKey is pq.XWingPrivateKey
    assert (xwing.PublicKey.__module__, xwing.PublicKey.__name__) == ("tarnel.xwing", "PublicKey")
    assert {"PublicKey", "PrivateKey"} <= set(xwing.__all__)


@pytest.mark.parametrize("case", vectors(), ids=lambda c: c["seed"][:16])
def test_known_answers(case):
    seed, pk, eseed, ct, ss = (bytes.fromhex(case[k]) for k in ("seed", "pk", "eseed", "ct", "ss"))
    public, private = xwing.PublicKey(pk), xwing.PrivateKey(seed)
    assert public.encapsulate(eseed) == (ct, ss)
    assert public.encapsulate(eseed=eseed) == (ct, ss)
    assert private.decapsulate(ct) == ss
    assert (private.public_key, private.private_bytes(), public.public_key) == (pk, seed, pk)
    assert private.encapsulation_key.encapsulate(eseed) == (ct, ss)


def altered(ct, index):
    return ct[:index] + bytes([ct[index] ^ 0x40]) + ct[index + 1:]


@pytest.mark.parametrize("trial", range(8))
def test_random_cases_agree_with_the_functions(trial):
    seed, pk = xwing.generate_keypair()
    eseed = os.urandom(64)
    public, private = xwing.PublicKey(pk), xwing.PrivateKey(seed)
    ct, ss = public.encapsulate(eseed)
    assert (ct, ss) == xwing.encapsulate(pk, eseed)
    assert private.decapsulate(ct) == ss == xwing.decapsulate(ct, seed)
    # Fresh randomness from either side, and ML-KEM's implicit rejection: an
    # altered ML-KEM part gives another secret, the same one both ways.
    ct2, ss2 = public.encapsulate()
    assert private.decapsulate(ct2) == ss2 == xwing.decapsulate(ct2, seed)
    bad = altered(ct, trial * 97 % 1088)
    assert private.decapsulate(bad) == xwing.decapsulate(bad, seed) != ss
    noise = os.urandom(1120)
    assert private.decapsulate(noise) == xwing.decapsulate(noise, seed)


def small_order_ct(ct):
    return ct[:1088] + bytes(32)  # X25519's point of order 1 (u = 0)


UNREDUCED = b"\xff\xff"  # a first coefficient of 4095, not below q


@pytest.mark.parametrize("ours, theirs, text", [
    (lambda s, pk: xwing.PublicKey(pk[:-1]), lambda s, pk: xwing.encapsulate(pk[:-1]),
     "X-Wing public key must be 1216 bytes"),
    (lambda s, pk: xwing.PublicKey(pk + b"\0"), lambda s, pk: xwing.encapsulate(pk + b"\0"),
     "X-Wing public key must be 1216 bytes"),
    (lambda s, pk: xwing.PublicKey(UNREDUCED + pk[2:]),
     lambda s, pk: xwing.encapsulate(UNREDUCED + pk[2:]),
     "X-Wing public key fails the ML-KEM encapsulation key check"),
    (lambda s, pk: xwing.PrivateKey(s[:31]), lambda s, pk: xwing.decapsulate(bytes(1120), s[:31]),
     "X-Wing private key must be 32 bytes"),
    (lambda s, pk: xwing.PublicKey(pk).encapsulate(bytes(63)),
     lambda s, pk: xwing.encapsulate(pk, bytes(63)), "X-Wing eseed must be 64 bytes"),
])
def test_checks_with_the_texts_of_the_functions(pair, ours, theirs, text):
    seed, pk, _, _ = pair
    for call in (ours, theirs):
        with pytest.raises(tarnel.InvalidParameterError) as caught:
            call(seed, pk)
        assert str(caught.value) == text


def test_decapsulation_errors(pair):
    seed, pk, public, private = pair
    ct, _ = public.encapsulate()
    with pytest.raises(tarnel.InvalidParameterError, match="X-Wing ciphertext must be 1120 bytes"):
        private.decapsulate(ct[:-1])
    with pytest.raises(tarnel.DecapsulationError) as ours:
        private.decapsulate(small_order_ct(ct))
    with pytest.raises(tarnel.DecapsulationError) as theirs:
        xwing.decapsulate(small_order_ct(ct), seed)
    assert str(ours.value) == str(theirs.value)


@pytest.mark.parametrize("call", [
    lambda p: xwing.PublicKey(bytearray(p[1])),
    lambda p: xwing.PublicKey(p[1].hex()),
    lambda p: xwing.PublicKey(),
    lambda p: xwing.PublicKey(p[1], p[1]),
    lambda p: xwing.PrivateKey(private_key=p[0], seed=p[0]),
    lambda p: xwing.PrivateKey(memoryview(p[0])),
    lambda p: p[2].encapsulate("eseed"),
    lambda p: p[3].decapsulate(bytearray(1120)),
])
def test_type_errors(pair, call):
    with pytest.raises(TypeError):
        call(pair)


def test_secret_never_shown(pair):
    seed, pk, public, private = pair
    for text in (repr(private), str(private)):
        assert seed.hex() not in text and "PrivateKey(fp=" in text
    assert repr(public).split("fp=")[1] == repr(private).split("fp=")[1]
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(private)


def test_immutable_and_copies(pair):
    _, pk, public, private = pair
    for obj, name in ((public, "public_key"), (private, "public_key"), (public, "other")):
        with pytest.raises(AttributeError):
            setattr(obj, name, b"")
    assert copy.copy(public) is public and copy.deepcopy(private) is private
    again = pickle.loads(pickle.dumps(public))
    assert type(again) is xwing.PublicKey and again.public_key == pk


@pytest.fixture()
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_one_object_shared_by_many_threads(pair, fast_switching):
    seed, pk, public, private = pair
    barrier = threading.Barrier(8)
    errors, results = [], []

    def body(i):
        try:
            barrier.wait()
            for j in range(20):
                eseed = bytes([i, j]) * 32
                ct, ss = public.encapsulate(eseed)
                ct2, ss2 = public.encapsulate()
                results.append((eseed, ct, ss, private.decapsulate(ct),
                                private.decapsulate(ct2) == ss2))
        except BaseException as e:  # noqa: BLE001 - reported to the test
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(results) == 8 * 20
    for eseed, ct, ss, ss_dec, random_ok in results:
        assert (ct, ss) == xwing.encapsulate(pk, eseed)
        assert ss_dec == ss and random_ok


# ---------------------------------------------------------------- HPKE

SUITE = hpke.Suite(hpke.KEM.X_WING, hpke.KDF.HKDF_SHA256, hpke.AEAD.AES_256_GCM)


def test_hpke_accepts_the_objects(pair):
    seed, pk, public, private = pair
    for sender_key in (pk, public, SUITE.load_public_key(pk)):
        message = SUITE.seal(sender_key, b"hello", info=b"i", aad=b"a")
        for recipient_key in (seed, private, SUITE.load_private_key(seed)):
            assert SUITE.open(recipient_key, message, info=b"i", aad=b"a") == b"hello"


def test_hpke_deterministic_sender_matches_bytes(pair):
    seed, pk, public, private = pair
    ikm_e = bytes(range(64))
    enc, ctx = SUITE.setup_sender(public, info=b"i", ikm_e=ikm_e)
    enc2, ctx2 = SUITE.setup_sender(pk, info=b"i", ikm_e=ikm_e)
    assert enc == enc2 and ctx.seal(b"m") == ctx2.seal(b"m")
    assert ctx.export(b"x", 40) == SUITE.setup_recipient(private, enc, info=b"i").export(b"x", 40)


def test_hpke_refuses_the_objects_elsewhere(pair):
    seed, pk, public, private = pair
    other = hpke.Suite(hpke.KEM.ML_KEM_768, hpke.KDF.HKDF_SHA256, hpke.AEAD.AES_256_GCM)
    with pytest.raises(tarnel.InvalidParameterError, match="another KEM"):
        other.seal(public, b"x")
    with pytest.raises(tarnel.InvalidParameterError, match="another KEM"):
        other.setup_recipient(private, bytes(1088))
    with pytest.raises(tarnel.InvalidParameterError, match="ikm_e has the wrong size"):
        SUITE.setup_sender(public, ikm_e=bytes(63))
    with pytest.raises(tarnel.InvalidParameterError, match="enc has the wrong size"):
        SUITE.setup_recipient(private, bytes(1119))
    with pytest.raises(tarnel.DecryptionError):
        SUITE.open(private, SUITE.seal(public, b"x")[:-1] + b"!")
