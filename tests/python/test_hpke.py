"""HPKE: the PQ draft's known answers, pyca/cryptography's hpke.Suite in both
directions, contexts and errors."""

import hashlib
import json
import threading
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hpke as pyca_hpke
from cryptography.hazmat.primitives import serialization as ser
from cryptography.hazmat.primitives.asymmetric import ec, mlkem, x25519

import tarnel
from tarnel.hpke import AEAD, KDF, KEM, Suite

VECTORS = Path(__file__).resolve().parents[1] / "vectors" / "hpke_pq" / "test-vectors.json"
# TurboSHAKE128/256 (KDF 0x0012, 0x0013) are not in libcrypto: those suites are left out.
TURBOSHAKE = {0x0012, 0x0013}


def vector_suites():
    cases = json.loads(VECTORS.read_text())
    return [c for c in cases if c["kdf_id"] not in TURBOSHAKE]


def h(case, name):
    return bytes.fromhex(case[name])


@pytest.mark.parametrize("case", vector_suites(),
                         ids=lambda c: f"{c['kem_id']:04x}-{c['kdf_id']:04x}-{c['aead_id']:04x}")
def test_known_answers(case):
    suite = Suite(case["kem_id"], case["kdf_id"], case["aead_id"])
    assert suite.derive_key_pair(h(case, "ikmR")) == (h(case, "skRm"), h(case, "pkRm"))
    info = h(case, "info")
    enc, sender = suite.setup_sender(h(case, "pkRm"), info=info, ikm_e=h(case, "ikmE"))
    assert enc == h(case, "enc")
    recipient = suite.setup_recipient(suite.load_private_key(h(case, "skRm")), enc, info=info)
    for e in case["encryptions"]:
        assert sender.seal(h(e, "pt"), h(e, "aad")) == h(e, "ct")
        assert recipient.open(h(e, "ct"), aad=h(e, "aad")) == h(e, "pt")
    for x in case["exports"]:
        for ctx in (sender, recipient):
            assert ctx.export(h(x, "exporter_context"), x["L"]) == h(x, "exported_value")


def test_vector_file_has_the_expected_suites():
    kept = {(c["kem_id"], c["kdf_id"], c["aead_id"]) for c in vector_suites()}
    assert len(kept) == 10 and all(kdf not in TURBOSHAKE for _, kdf, _ in kept)


# ---- pyca/cryptography as the other end

def raw(key):
    return key.public_bytes(ser.Encoding.Raw, ser.PublicFormat.Raw)


def point(key):
    return key.public_bytes(ser.Encoding.X962, ser.PublicFormat.UncompressedPoint)


def pyca_keys(kem, sk, pk):
    """pyca's private and public key objects for our serialized keys."""
    if kem == KEM.DHKEM_X25519_HKDF_SHA256:
        return (x25519.X25519PrivateKey.from_private_bytes(sk),
                x25519.X25519PublicKey.from_public_bytes(pk))
    if kem in (KEM.DHKEM_P256_HKDF_SHA256, KEM.DHKEM_P384_HKDF_SHA384):
        curve = ec.SECP256R1() if kem == KEM.DHKEM_P256_HKDF_SHA256 else ec.SECP384R1()
        return (ec.derive_private_key(int.from_bytes(sk, "big"), curve),
                ec.EllipticCurvePublicKey.from_encoded_point(curve, pk))
    if kem == KEM.ML_KEM_768:
        return mlkem.MLKEM768PrivateKey.from_seed_bytes(sk), mlkem.MLKEM768PublicKey.from_public_bytes(pk)
    if kem == KEM.ML_KEM_1024:
        return (mlkem.MLKEM1024PrivateKey.from_seed_bytes(sk),
                mlkem.MLKEM1024PublicKey.from_public_bytes(pk))
    if kem == KEM.X_WING:
        expanded = hashlib.shake_256(sk).digest(96)
        m = mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64])
        x = x25519.X25519PrivateKey.from_private_bytes(expanded[64:])
        assert raw(m.public_key()) + raw(x.public_key()) == pk
        return (pyca_hpke.MLKEM768X25519PrivateKey(m, x),
                pyca_hpke.MLKEM768X25519PublicKey(
                    mlkem.MLKEM768PublicKey.from_public_bytes(pk[:1184]),
                    x25519.X25519PublicKey.from_public_bytes(pk[1184:])))
    if kem == KEM.MLKEM1024_P384:
        # The hybrid's DeriveKeyPair: SHAKE256(seed, 64 + 48) = d || z || the P-384 scalar.
        expanded = hashlib.shake_256(sk).digest(112)
        m = mlkem.MLKEM1024PrivateKey.from_seed_bytes(expanded[:64])
        p = ec.derive_private_key(int.from_bytes(expanded[64:], "big"), ec.SECP384R1())
        assert raw(m.public_key()) + point(p.public_key()) == pk
        return (pyca_hpke.MLKEM1024P384PrivateKey(m, p),
                pyca_hpke.MLKEM1024P384PublicKey(
                    mlkem.MLKEM1024PublicKey.from_public_bytes(pk[:1568]),
                    ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP384R1(), pk[1568:])))
    raise AssertionError(kem)


PYCA_KEMS = {
    KEM.ML_KEM_768: pyca_hpke.KEM.MLKEM768,
    KEM.ML_KEM_1024: pyca_hpke.KEM.MLKEM1024,
    KEM.X_WING: pyca_hpke.KEM.MLKEM768_X25519,
    KEM.MLKEM1024_P384: pyca_hpke.KEM.MLKEM1024_P384,
    KEM.DHKEM_X25519_HKDF_SHA256: pyca_hpke.KEM.X25519,
    KEM.DHKEM_P256_HKDF_SHA256: pyca_hpke.KEM.P256,
    KEM.DHKEM_P384_HKDF_SHA384: pyca_hpke.KEM.P384,
}
PYCA_KDFS = {KDF.HKDF_SHA256: pyca_hpke.KDF.HKDF_SHA256, KDF.HKDF_SHA384: pyca_hpke.KDF.HKDF_SHA384,
             KDF.HKDF_SHA512: pyca_hpke.KDF.HKDF_SHA512, KDF.SHAKE128: pyca_hpke.KDF.SHAKE128,
             KDF.SHAKE256: pyca_hpke.KDF.SHAKE256}
PYCA_AEADS = {AEAD.AES_128_GCM: pyca_hpke.AEAD.AES_128_GCM, AEAD.AES_256_GCM: pyca_hpke.AEAD.AES_256_GCM,
              AEAD.CHACHA20_POLY1305: pyca_hpke.AEAD.CHACHA20_POLY1305}
# Each KEM with a KDF and an AEAD, rotating so every KDF and AEAD is met.
PYCA_SUITES = [(kem, list(PYCA_KDFS)[i % 5], list(PYCA_AEADS)[i % 3])
               for i, kem in enumerate(PYCA_KEMS)] + [
    (KEM.X_WING, KDF.SHAKE256, AEAD.CHACHA20_POLY1305),
    (KEM.ML_KEM_768, KDF.SHAKE128, AEAD.AES_128_GCM)]


@pytest.mark.parametrize("kem, kdf, aead", PYCA_SUITES, ids=lambda v: v.name)
@pytest.mark.parametrize("size", [0, 1, 1000])
def test_pyca_both_directions(kem, kdf, aead, size):
    ours = Suite(kem, kdf, aead)
    theirs = pyca_hpke.Suite(PYCA_KEMS[kem], PYCA_KDFS[kdf], PYCA_AEADS[aead])
    sk, pk = ours.generate_key_pair()
    pyca_sk, pyca_pk = pyca_keys(kem, sk, pk)
    message = bytes(range(256)) * 4
    message = message[:size]
    info = b"tarnel and pyca"
    assert theirs.decrypt(ours.seal(pk, message, info=info), pyca_sk, info=info) == message
    assert ours.open(sk, theirs.encrypt(message, pyca_pk, info=info), info=info) == message
    assert ours.open(ours.load_private_key(sk), theirs.encrypt(message, pyca_pk)) == message


# ---- contexts, key objects and errors

@pytest.fixture(scope="module")
def xwing_keys():
    suite = Suite(KEM.X_WING, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
    return suite, *suite.generate_key_pair()


def test_contexts_in_sequence_and_a_failed_open(xwing_keys):
    suite, sk, pk = xwing_keys
    enc, sender = suite.setup_sender(suite.load_public_key(pk), info=b"i")
    recipient = suite.setup_recipient(sk, enc, info=b"i")
    c1, c2 = sender.seal(b"one", aad=b"a"), sender.seal(b"two")
    for bad in (c1[:-1] + bytes([c1[-1] ^ 1]), c2, c1[:15]):
        with pytest.raises(tarnel.DecryptionError) as e:
            recipient.open(bad, aad=b"a")
        assert str(e.value).startswith("HPKE open failed")
    with pytest.raises(tarnel.DecryptionError):
        recipient.open(c1)  # the aad is part of the message
    assert recipient.open(c1, aad=b"a") == b"one"
    assert recipient.open(c2) == b"two"
    assert sender.export(b"ctx", 77) == recipient.export(b"ctx", 77)
    with pytest.raises(tarnel.DecryptionError):
        suite.setup_recipient(sk, enc, info=b"other").open(c1, aad=b"a")


@pytest.mark.parametrize("kdf, limit", [(KDF.HKDF_SHA256, 255 * 32), (KDF.HKDF_SHA512, 255 * 64),
                                        (KDF.SHAKE128, 65535)])
def test_export_limit_and_export_only(kdf, limit):
    suite = Suite(KEM.DHKEM_X25519_HKDF_SHA256, kdf, AEAD.EXPORT_ONLY)
    sk, pk = suite.generate_key_pair()
    enc, sender = suite.setup_sender(pk)
    assert len(sender.export(b"", limit)) == limit
    assert suite.setup_recipient(sk, enc).export(b"x", 40) == sender.export(b"x", 40)
    with pytest.raises(tarnel.InvalidParameterError) as e:
        sender.export(b"", limit + 1)
    assert str(e.value) == "HPKE export length exceeds the KDF's limit"
    with pytest.raises(tarnel.InvalidParameterError) as e:
        sender.seal(b"x")
    assert str(e.value) == "HPKE export-only suite cannot seal or open"


def test_single_shot_matches_the_layout(xwing_keys):
    suite, sk, pk = xwing_keys
    message = suite.seal(pk, b"hi", info=b"i", aad=b"a")
    assert len(message) == 1120 + 2 + 16
    assert suite.open(sk, message, info=b"i", aad=b"a") == b"hi"
    with pytest.raises(tarnel.DecryptionError) as e:
        suite.open(sk, message[:1135])
    assert str(e.value) == "HPKE message is shorter than enc and a tag"


def test_key_objects(xwing_keys):
    suite, sk, pk = xwing_keys
    private = suite.load_private_key(sk)
    assert private.kem == KEM.X_WING and private.private_bytes() == sk
    assert private.public_key().public_bytes() == pk
    assert sk.hex() not in repr(private) and repr(private) == "<HpkePrivateKey kem=0x647a>"
    other = Suite(KEM.ML_KEM_768, KDF.HKDF_SHA256, AEAD.AES_128_GCM)
    with pytest.raises(tarnel.InvalidParameterError) as e:
        other.setup_sender(suite.load_public_key(pk))
    assert str(e.value) == "HPKE key belongs to another KEM"
    with pytest.raises(TypeError):
        suite.setup_sender(bytearray(pk))  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        tarnel._tarnel_pq.HpkePublicKey()  # type: ignore[call-arg]


@pytest.mark.parametrize("make, message", [
    (lambda: Suite(0x0012, 1, 1), "unknown HPKE KEM identifier"),
    (lambda: Suite(KEM.X_WING, 0x0012, 1), "unknown HPKE KDF identifier"),
    (lambda: Suite(KEM.X_WING, 1, 4), "unknown HPKE AEAD identifier"),
    (lambda: Suite(KEM.ML_KEM_768, 1, 1).load_public_key(bytes(1183)),
     "HPKE public key has the wrong size for its KEM"),
    (lambda: Suite(KEM.ML_KEM_768, 1, 1).load_public_key(b"\xff" * 1184),
     "HPKE public key fails the ML-KEM encapsulation key check"),
    (lambda: Suite(KEM.ML_KEM_768, 1, 1).load_private_key(bytes(32)),
     "HPKE private key has the wrong size for its KEM"),
    (lambda: Suite(KEM.DHKEM_P256_HKDF_SHA256, 1, 1).load_public_key(b"\x04" + bytes(64)),
     "public key is not a point on the curve"),
    (lambda: Suite(KEM.DHKEM_P384_HKDF_SHA384, 2, 2).load_private_key(b"\xff" * 48),
     "private key is not a scalar in [1, n-1]"),
    (lambda: Suite(KEM.MLKEM768_P256, 1, 1).derive_key_pair(bytes(31)),
     "HPKE ikm must be at least 32 bytes"),
    (lambda: Suite(KEM.X_WING, 1, 1).setup_sender(Suite(KEM.X_WING, 1, 1).generate_key_pair()[1],
                                                  ikm_e=bytes(32)),
     "HPKE ikm_e has the wrong size for its KEM"),
    (lambda: Suite(KEM.X_WING, 1, 1).setup_recipient(bytes(32), bytes(1119)),
     "HPKE enc has the wrong size for its KEM"),
    (lambda: Suite(KEM.DHKEM_X25519_HKDF_SHA256, 1, 1).setup_sender(bytes(32)),
     "HPKE public key gives a DH value of zero"),
    (lambda: Suite(KEM.X_WING, KDF.SHAKE256, 1).setup_sender(
        Suite(KEM.X_WING, 1, 1).generate_key_pair()[1], info=bytes(65536)),
     "HPKE info longer than 65535 bytes"),
])
def test_invalid_parameters(make, message):
    with pytest.raises(tarnel.InvalidParameterError) as e:
        make()
    assert str(e.value) == message


def test_refused_dh_value_in_enc():
    suite = Suite(KEM.DHKEM_X25519_HKDF_SHA256, KDF.HKDF_SHA256, AEAD.AES_128_GCM)
    sk, _ = suite.generate_key_pair()
    with pytest.raises(tarnel.DecapsulationError) as e:
        suite.setup_recipient(sk, bytes(32))
    assert str(e.value) == "HPKE enc is not a usable public value"
    # The single-shot open has one error for every message that does not open.
    with pytest.raises(tarnel.DecryptionError) as e:
        suite.open(sk, bytes(32 + 16))
    assert str(e.value) == "HPKE message does not open: HPKE enc is not a usable public value"


def test_one_context_shared_by_threads_keeps_the_sequence(xwing_keys):
    suite, sk, pk = xwing_keys
    enc, sender = suite.setup_sender(pk)
    sealed = []
    lock = threading.Lock()

    def work():
        for _ in range(50):
            c = sender.seal(bytes(4096))
            with lock:
                sealed.append(c)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Every sequence number was used once: each ciphertext opens at exactly one position.
    recipient = suite.setup_recipient(sk, enc)
    remaining = set(sealed)
    for _ in range(len(sealed)):
        for c in list(remaining):
            try:
                recipient.open(c)
            except tarnel.DecryptionError:
                continue
            remaining.discard(c)
            break
    assert not remaining and len(set(sealed)) == 200


@pytest.mark.parametrize("args", [("x", 1, 1), (KEM.X_WING, 1.0, 1), (KEM.X_WING, 1, None),
                                  (True, 1, 1)])
def test_suite_wants_integers(args):
    with pytest.raises(TypeError):
        Suite(*args)
