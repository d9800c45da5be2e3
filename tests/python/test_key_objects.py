"""The ML-KEM key objects tarnel.EncapsulationKey and tarnel.DecapsulationKey:
the same results as the module functions on the same keys and randomness,
the known answers, the checks made once when a key object is made,
immutability, interoperation with pyca/cryptography's key objects, and one
object shared by many threads."""

import copy
import hashlib
import os
import pickle
import sys
import threading

import pytest

import tarnel
from tarnel import _tarnel_core as tc
from tarnel import _tarnel_pq as pq

from conftest import LEVELS, SIZES, counted, level_id, level_of, load_vectors

by_level = pytest.mark.parametrize("level", LEVELS, ids=level_id)
h = bytes.fromhex


@pytest.fixture(scope="module")
def keys():
    """Per level: a key pair from fixed seeds and its two key objects."""
    out = {}
    for level in LEVELS:
        kp = tc.generate_keypair_deterministic(bytes(range(32)), bytes(range(1, 33)), level)
        out[int(level)] = (kp, pq.EncapsulationKey(kp.public_key), pq.DecapsulationKey(kp.secret_key))
    return out


def test_exported_from_the_package():
    assert tarnel.EncapsulationKey is pq.EncapsulationKey
    assert tarnel.DecapsulationKey is pq.DecapsulationKey
    assert {"EncapsulationKey", "DecapsulationKey"} <= set(tarnel.__all__)
    assert {"EncapsulationKey", "DecapsulationKey"} <= set(pq.__all__)


# ---------------------------------------------------------------- same results

@by_level
def test_deterministic_encapsulation_equals_the_module_function(level, keys):
    kp, ek, dk = keys[int(level)]
    for i in range(20):
        m = hashlib.sha3_256(bytes([i])).digest()
        expected = tc.encapsulate_deterministic(kp.public_key, m, level)
        got = ek.encapsulate_deterministic(m)
        assert type(got) is tuple and got == expected
        # The encapsulation key held by the decapsulation key gives the same.
        assert dk.encapsulation_key.encapsulate_deterministic(m=m) == expected


@by_level
def test_decapsulation_equals_the_module_function(level, keys):
    kp, ek, dk = keys[int(level)]
    z = kp.secret_key[-32:]
    for i in range(10):
        capsule, shared = ek.encapsulate()
        assert len(capsule) == SIZES[int(level)][2] and len(shared) == 32
        assert dk.decapsulate(capsule) == shared == tc.decapsulate(capsule, kp.secret_key, level)
        # A damaged capsule and an arbitrary one: the implicit-rejection key,
        # K_bar = SHAKE256(z || c) (FIPS 203, Algorithm 18), as the function.
        bad = bytearray(capsule)
        bad[i * 37 % len(bad)] ^= 1 << (i % 8)
        for c in (bytes(bad), os.urandom(len(capsule))):
            got = dk.decapsulate(ciphertext=c)
            assert got == tc.decapsulate(c, kp.secret_key, level)
            assert got == hashlib.shake_256(z + c).digest(32)
    # The module function decapsulates what the key object encapsulated, and
    # the key object what the module function encapsulated.
    capsule, shared = tc.encapsulate(kp.public_key, level)
    assert dk.decapsulate(capsule) == shared


@by_level
def test_encapsulations_are_fresh(level, keys):
    _, ek, _ = keys[int(level)]
    results = {ek.encapsulate() for _ in range(8)}
    assert len({c for c, _ in results}) == 8 and len({k for _, k in results}) == 8


# ---------------------------------------------------------------- known answers

@by_level
def test_encaps_vectors(level):
    cases = [c for c in load_vectors("mlkem_encaps.json") if c["level"] == int(level)]
    assert cases
    for case in counted("mlkem_encaps.json", cases):
        ek = pq.EncapsulationKey(h(case["ek"]), level)
        c, k, m = ek.encapsulate_deterministic(h(case["m"]))
        assert (c.hex(), k.hex(), m.hex()) == (case["c"], case["k"], case["m"]), case["id"]
        if "dk" in case:
            assert pq.DecapsulationKey(h(case["dk"])).decapsulate(c).hex() == case["k"], case["id"]


@by_level
def test_decaps_vectors(level):
    cases = [c for c in load_vectors("mlkem_decaps.json") if c["level"] == int(level)]
    assert cases
    for case in counted("mlkem_decaps.json", cases):
        dk = pq.DecapsulationKey(h(case["dk"]), level)
        assert dk.decapsulate(h(case["c"])).hex() == case["k"], case["id"]


# ---------------------------------------------------------------- levels and checks

@by_level
def test_level_given_or_taken_from_the_length(level, keys):
    kp, _, _ = keys[int(level)]
    for ek in (pq.EncapsulationKey(kp.public_key), pq.EncapsulationKey(kp.public_key, None),
               pq.EncapsulationKey(kp.public_key, level), pq.EncapsulationKey(
                   public_key=kp.public_key, level=level)):
        assert ek.level is level and ek.public_key == kp.public_key
    for dk in (pq.DecapsulationKey(kp.secret_key), pq.DecapsulationKey(kp.secret_key, level=level)):
        assert dk.level is level and dk.public_key == kp.public_key
        assert dk.encapsulation_key.public_key == kp.public_key
        assert dk.encapsulation_key.level is level


def test_wrong_lengths_are_refused_as_the_module_functions_refuse_them(keys):
    kp, _, dk = keys[768]
    lengths = sorted({0, 1, 799, 801, 1183, 1185, 1567, 1569, 1631, 2399, 2401, 3167, 3169, 5000})
    for n in lengths:
        data = bytes(n)
        with pytest.raises(tc.InvalidParameterError) as theirs:
            tc.encapsulate(data)
        with pytest.raises(tc.InvalidParameterError) as ours:
            pq.EncapsulationKey(data, tc.SecurityLevel.ML_KEM_768)
        assert str(ours.value) == str(theirs.value) == "encryption key has incorrect size"
        with pytest.raises(tc.InvalidParameterError, match="^encryption key has incorrect size$"):
            pq.EncapsulationKey(data)
        with pytest.raises(tc.InvalidParameterError) as theirs:
            tc.decapsulate(bytes(1088), data)
        with pytest.raises(tc.InvalidParameterError) as ours:
            pq.DecapsulationKey(data)
        assert str(ours.value) == str(theirs.value) == "decapsulation key has incorrect size"
    # A key of another level's length, with that level named.
    for wrong in (tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_1024):
        with pytest.raises(tc.InvalidParameterError):
            pq.EncapsulationKey(kp.public_key, wrong)
        with pytest.raises(tc.InvalidParameterError):
            pq.DecapsulationKey(kp.secret_key, wrong)
    for n in (0, 1087, 1089):
        with pytest.raises(tc.InvalidParameterError) as theirs:
            tc.decapsulate(bytes(n), kp.secret_key)
        with pytest.raises(tc.InvalidParameterError) as ours:
            dk.decapsulate(bytes(n))
        assert str(ours.value) == str(theirs.value) == "capsule has incorrect size"


def test_input_checks_vectors():
    """The keys FIPS 203's input checks refuse are refused here (the module
    functions check lengths only); the valid ones work."""
    seen = set()
    for case in load_vectors("mlkem_input_checks.json"):
        level, check, op = level_of(case["level"]), case["check"], case["op"]
        if op in ("encaps", "ek_check"):
            if check is None:
                ek = pq.EncapsulationKey(h(case["ek"]), level)
                capsule, shared = ek.encapsulate()
                assert pq.DecapsulationKey(h(case["dk"]), level).decapsulate(capsule) == shared
            else:
                want = {"length": "encryption key has incorrect size",
                        "modulus": "encryption key is not reduced modulo q"}[check]
                with pytest.raises(tc.InvalidParameterError) as e:
                    pq.EncapsulationKey(h(case["ek"]), level)
                assert str(e.value) == want, case["id"]
        elif op == "dk_check" or (op == "decaps" and check == "dk-hash" and "dk" in case):
            if check is None:
                pq.DecapsulationKey(h(case["dk"]), level)
            else:
                with pytest.raises(tc.InvalidParameterError) as e:
                    pq.DecapsulationKey(h(case["dk"]), level)
                assert str(e.value) == "decapsulation key fails the hash check", case["id"]
        else:
            continue
        seen.add((op, check))
    assert {("encaps", "modulus"), ("ek_check", None), ("dk_check", "dk-hash"),
            ("dk_check", None)} <= seen


def test_modulus_check_of_the_key_inside_a_decapsulation_key(keys):
    kp, _, _ = keys[768]
    dk = bytearray(kp.secret_key)
    ek = bytearray(kp.public_key)
    ek[0], ek[1] = 0x01, (ek[1] & 0xF0) | 0x0D  # first coefficient 0xD01 = 3329 = q
    dk[1152:1152 + 1184] = ek
    dk[1152 + 1184:1152 + 1184 + 32] = hashlib.sha3_256(ek).digest()
    with pytest.raises(tc.InvalidParameterError,
                       match="^decapsulation key holds an encryption key that is not reduced"):
        pq.DecapsulationKey(bytes(dk))
    with pytest.raises(tc.InvalidParameterError, match="^encryption key is not reduced modulo q$"):
        pq.EncapsulationKey(bytes(ek))
    # The module functions reduce the field and go on.
    tc.encapsulate(bytes(ek))


@pytest.mark.parametrize("call", [
    lambda kp: pq.EncapsulationKey(bytearray(kp.public_key)),
    lambda kp: pq.EncapsulationKey(kp.public_key, 768),
    lambda kp: pq.EncapsulationKey(),
    lambda kp: pq.EncapsulationKey(kp.public_key, None, None),
    lambda kp: pq.EncapsulationKey(kp.public_key, levl=None),
    lambda kp: pq.DecapsulationKey(memoryview(kp.secret_key)),
    lambda kp: pq.DecapsulationKey(kp.secret_key, "ML_KEM_768"),
], ids=["bytearray key", "int level", "no key", "three arguments", "unknown keyword",
        "memoryview key", "str level"])
def test_argument_types(call, keys):
    with pytest.raises(TypeError):
        call(keys[768][0])


def test_argument_errors_match_the_module_functions(keys):
    kp, ek, dk = keys[768]
    with pytest.raises(TypeError) as theirs:
        tc.encapsulate(kp.public_key, 768)
    with pytest.raises(TypeError) as ours:
        pq.EncapsulationKey(kp.public_key, 768)
    assert str(ours.value) == str(theirs.value)
    assert ours.value.__notes__ == theirs.value.__notes__ == ["while processing 'level'"]
    with pytest.raises(TypeError) as ours:
        dk.decapsulate(bytearray(1088))
    assert str(ours.value) == "'bytearray' object is not an instance of 'bytes'"
    assert ours.value.__notes__ == ["while processing 'ciphertext'"]
    with pytest.raises(ValueError) as theirs:
        tc.encapsulate_deterministic(kp.public_key, bytes(31))
    with pytest.raises(ValueError) as ours:
        ek.encapsulate_deterministic(bytes(31))
    assert str(ours.value) == str(theirs.value)
    with pytest.raises(TypeError, match="takes 0 positional arguments|takes no arguments"):
        ek.encapsulate(b"")  # type: ignore[call-arg]


# ---------------------------------------------------------------- the objects

def test_immutable_and_not_subclassable(keys):
    _, ek, dk = keys[768]
    for obj, names in ((ek, ("public_key", "level")),
                       (dk, ("public_key", "encapsulation_key", "level"))):
        for name in names + ("anything",):
            with pytest.raises(AttributeError):
                setattr(obj, name, None)
            with pytest.raises(AttributeError):
                delattr(obj, name)
        with pytest.raises(TypeError):
            type("Sub", (type(obj),), {})
        assert copy.copy(obj) is obj and copy.deepcopy(obj) is obj


def test_repr_shows_level_and_fingerprint_only(keys):
    kp, ek, dk = keys[1024]
    fp = hashlib.sha3_256(kp.public_key).hexdigest()[:16]
    assert repr(ek) == f"EncapsulationKey(level=ML_KEM_1024, fp={fp})"
    assert repr(dk) == f"DecapsulationKey(level=ML_KEM_1024, fp={fp})"
    for secret in (kp.secret_key[:8].hex(), kp.secret_key[-32:].hex()[:16]):
        assert secret not in repr(dk)


def test_pickling(keys):
    kp, ek, dk = keys[512]
    again = pickle.loads(pickle.dumps(ek))
    assert again.public_key == kp.public_key and again.level is ek.level
    with pytest.raises(TypeError, match="^cannot pickle 'DecapsulationKey' object$"):
        pickle.dumps(dk)


# ---------------------------------------------------------------- pyca/cryptography

def pyca_private_key(level, seed):
    mlkem = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.mlkem")
    cls = {768: mlkem.MLKEM768PrivateKey, 1024: mlkem.MLKEM1024PrivateKey}[int(level)]
    return cls.from_seed_bytes(seed)


@pytest.mark.parametrize("level", [tc.SecurityLevel.ML_KEM_768, tc.SecurityLevel.ML_KEM_1024],
                         ids=level_id)
def test_interop_with_pyca_key_objects(level):
    d, z = os.urandom(32), os.urandom(32)
    theirs = pyca_private_key(level, d + z)
    kp = tc.generate_keypair_deterministic(d, z, level)
    dk = pq.DecapsulationKey(kp.secret_key)
    ek = pq.EncapsulationKey(theirs.public_key().public_bytes_raw())
    assert ek.public_key == dk.public_key == kp.public_key
    for _ in range(5):
        # They encapsulate, our key object decapsulates.
        shared, capsule = theirs.public_key().encapsulate()
        assert dk.decapsulate(capsule) == shared
        # Our key object encapsulates to their key, they decapsulate.
        capsule, shared = ek.encapsulate()
        assert theirs.decapsulate(capsule) == shared


# ---------------------------------------------------------------- threads

@pytest.fixture()
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@by_level
def test_one_key_object_shared_by_many_threads(level, keys, fast_switching):
    kp, ek, dk = keys[int(level)]
    barrier = threading.Barrier(8)
    errors, results = [], []

    def body(i):
        try:
            barrier.wait()
            for j in range(30):
                m = bytes([i, j]) * 16
                c, k, _ = ek.encapsulate_deterministic(m)
                c2, k2 = ek.encapsulate()
                results.append((i, j, c, k, dk.decapsulate(c), dk.decapsulate(c2) == k2))
        except BaseException as e:  # noqa: BLE001 - reported to the test
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(results) == 8 * 30
    for i, j, c, k, k_dec, random_ok in results:
        assert (c, k, bytes([i, j]) * 16) == tc.encapsulate_deterministic(
            kp.public_key, bytes([i, j]) * 16, level)
        assert k_dec == k and random_ok
