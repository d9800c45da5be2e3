"""KeyPair and the five KEM functions: sizes, known answers, interoperation
with independent ML-KEM implementations, implicit rejection, errors and
concurrent use."""

import hashlib
import os
import random
import re
import threading

import pytest

from tarnel import _tarnel_core as tc

from conftest import LEVELS, SIZES, VECTOR_CASES_RUN, counted, level_id, load_vectors

L512, L768, L1024 = LEVELS
K = {512: 2, 768: 3, 1024: 4}

by_level = pytest.mark.parametrize("level", LEVELS, ids=level_id)


def sample(cases, n, seed):
    """A fixed pseudo-random sample of at most n cases, so runs stay fast."""
    return cases if len(cases) <= n else random.Random(seed).sample(cases, n)


def h(s):
    return bytes.fromhex(s)


# ---------------------------------------------------------------- KeyPair

def test_keypair_class():
    cls = tc.KeyPair
    assert cls.__module__ == "builtins" and cls.__qualname__ == "KeyPair"
    assert cls.__doc__ == ("Par de claves ML-KEM.\n\n"
                           "Contiene la clave publica y la clave secreta como `bytes` de Python.")
    docs = {"public_key": "Clave publica como bytes.",
            "secret_key": "Clave secreta como bytes.",
            "level": "Nivel de seguridad con el que se genero el par."}
    for name, doc in docs.items():
        assert cls.__dict__[name].__doc__ == doc
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(b"", b"", L768)


@by_level
def test_keypair_sizes_and_layout(keypairs, level):
    kp = keypairs[int(level)]
    ek_len, dk_len, _ = SIZES[int(level)]
    k = K[int(level)]
    assert kp.level is level
    assert type(kp.public_key) is bytes and len(kp.public_key) == ek_len
    assert type(kp.secret_key) is bytes and len(kp.secret_key) == dk_len
    dk = kp.secret_key
    # dk = dk_PKE || ek || H(ek) || z (FIPS 203, Algorithm 16)
    assert dk[384 * k:768 * k + 32] == kp.public_key
    assert dk[768 * k + 32:768 * k + 64] == hashlib.sha3_256(kp.public_key).digest()


def test_keypair_attributes_are_fresh_read_only_copies(keypairs):
    kp = keypairs[768]
    a, b = kp.public_key, kp.public_key
    assert a == b and a is not b
    assert kp.secret_key is not kp.secret_key
    assert not hasattr(kp, "__dict__")
    for name in ("public_key", "secret_key", "level", "other"):
        with pytest.raises(AttributeError):
            setattr(kp, name, b"x")
    with pytest.raises(AttributeError):
        del kp.level


@by_level
def test_keypair_repr_shows_level_and_fingerprint(keypairs, level):
    kp = keypairs[int(level)]
    name = {512: "MlKem512", 768: "MlKem768", 1024: "MlKem1024"}[int(level)]
    fp = hashlib.sha3_256(kp.public_key).hexdigest()[:16]
    assert repr(kp) == f"KeyPair(level={name}, fp={fp})"
    assert re.fullmatch(r"KeyPair\(level=MlKem(512|768|1024), fp=[0-9a-f]{16}\)", repr(kp))
    assert str(kp) == repr(kp)


def test_keypair_repr_depends_on_the_public_key_only():
    d = bytes(range(32))
    a = tc.generate_keypair_deterministic(d, bytes(32), L512)
    b = tc.generate_keypair_deterministic(d, bytes(32), L512)
    c = tc.generate_keypair_deterministic(d, bytes([1] * 32), L512)  # other z: same ek
    assert a.public_key == c.public_key and a.secret_key != c.secret_key
    assert repr(a) == repr(b) == repr(c)
    assert a != b and a == a  # identity equality


def test_keypair_fingerprint_keeps_leading_zero():
    # Find a seed whose public key hashes to a first byte below 0x10.
    for i in range(2000):
        kp = tc.generate_keypair_deterministic(i.to_bytes(32, "big"), bytes(32), L512)
        digest = hashlib.sha3_256(kp.public_key).digest()
        if digest[0] < 0x10:
            assert repr(kp).endswith(f"fp={digest[:8].hex()})")
            assert repr(kp)[-17] == "0"
            return
    pytest.fail("no seed gave a digest with a leading zero nibble")


# ---------------------------------------------------------------- the five functions

def test_generate_keypair_default_level_is_768():
    kp = tc.generate_keypair()
    assert kp.level is tc.SecurityLevel.ML_KEM_768
    assert (len(kp.public_key), len(kp.secret_key)) == (1184, 2400)


@by_level
def test_generate_keypair_is_random(level):
    a, b = tc.generate_keypair(level), tc.generate_keypair(level)
    assert a.public_key != b.public_key and a.secret_key[-32:] != b.secret_key[-32:]


@by_level
def test_encapsulate_decapsulate_round_trip(keypairs, level):
    kp = keypairs[int(level)]
    _, _, ct_len = SIZES[int(level)]
    result = tc.encapsulate(kp.public_key, level)
    assert type(result) is tuple and len(result) == 2
    capsule, shared = result
    assert type(capsule) is bytes and len(capsule) == ct_len
    assert type(shared) is bytes and len(shared) == 32
    assert tc.decapsulate(capsule, kp.secret_key, level) == shared
    assert tc.encapsulate(kp.public_key, level) != result


def test_default_level_everywhere_is_768(keypairs):
    kp = keypairs[768]
    capsule, shared = tc.encapsulate(kp.public_key)
    assert tc.decapsulate(capsule, kp.secret_key) == shared
    c, s, m = tc.encapsulate_deterministic(kp.public_key, bytes(32))
    assert tc.decapsulate(c, kp.secret_key) == s
    assert tc.generate_keypair_deterministic(bytes(32), bytes(32)).level is L768


@by_level
def test_deterministic_functions_are_deterministic(level):
    d, z, m = os.urandom(32), os.urandom(32), os.urandom(32)
    a = tc.generate_keypair_deterministic(d, z, level)
    b = tc.generate_keypair_deterministic(d, z, level)
    assert (a.public_key, a.secret_key) == (b.public_key, b.secret_key)
    assert a.level is level
    assert a.secret_key[-32:] == z
    r1 = tc.encapsulate_deterministic(a.public_key, m, level)
    r2 = tc.encapsulate_deterministic(a.public_key, m, level)
    assert type(r1) is tuple and len(r1) == 3 and r1 == r2
    assert r1[2] == m and type(r1[2]) is bytes
    assert tc.decapsulate(r1[0], a.secret_key, level) == r1[1]


@by_level
def test_implicit_rejection(keypairs, level):
    kp = keypairs[int(level)]
    capsule, shared = tc.encapsulate(kp.public_key, level)
    z = kp.secret_key[-32:]
    for position in (0, len(capsule) // 2, len(capsule) - 1):
        bad = bytearray(capsule)
        bad[position] ^= 0x01
        bad = bytes(bad)
        got = tc.decapsulate(bad, kp.secret_key, level)
        assert got != shared
        # K_bar = J(z || c) = SHAKE256(z || c, 32) (FIPS 203, Algorithm 18)
        assert got == hashlib.shake_256(z + bad).digest(32)
    random_capsule = os.urandom(len(capsule))
    assert tc.decapsulate(random_capsule, kp.secret_key, level) == \
        hashlib.shake_256(z + random_capsule).digest(32)


# ---------------------------------------------------------------- known answers

@by_level
def test_keygen_vectors(level):
    cases = [c for c in load_vectors("mlkem_keygen.json") if c["level"] == int(level)]
    for case in counted("mlkem_keygen.json", sample(cases, 40, 1)):
        kp = tc.generate_keypair_deterministic(h(case["d"]), h(case["z"]), level)
        assert kp.public_key.hex() == case["ek"], case["id"]
        assert kp.secret_key.hex() == case["dk"], case["id"]


@by_level
def test_encaps_vectors(level):
    cases = [c for c in load_vectors("mlkem_encaps.json") if c["level"] == int(level)]
    for case in counted("mlkem_encaps.json", sample(cases, 40, 2)):
        c, k, m = tc.encapsulate_deterministic(h(case["ek"]), h(case["m"]), level)
        assert (c.hex(), k.hex(), m.hex()) == (case["c"], case["k"], case["m"]), case["id"]
        if "dk" in case:
            assert tc.decapsulate(c, h(case["dk"]), level).hex() == case["k"], case["id"]


@by_level
def test_decaps_vectors(level):
    cases = [c for c in load_vectors("mlkem_decaps.json") if c["level"] == int(level)]
    assert cases
    for case in counted("mlkem_decaps.json", cases):
        got = tc.decapsulate(h(case["c"]), h(case["dk"]), level)
        assert got.hex() == case["k"], case["id"]


@by_level
def test_keygen_then_decaps_vectors(level):
    cases = [c for c in load_vectors("mlkem_keygen_decaps.json") if c["level"] == int(level)]
    for case in counted("mlkem_keygen_decaps.json", sample(cases, 30, 3)):
        kp = tc.generate_keypair_deterministic(h(case["d"]), h(case["z"]), level)
        assert kp.public_key.hex() == case["ek"], case["id"]
        got = tc.decapsulate(h(case["c"]), kp.secret_key, level)
        assert got.hex() == case["k"], case["id"]


@by_level
def test_accumulated_vectors_100_iterations(level):
    data = load_vectors("mlkem_accumulated.json")
    [want] = [e["fips203_final"] for e in data["digests"]
              if e["level"] == int(level) and e["iterations"] == 100]
    ct_len = SIZES[int(level)][2]
    per_iteration = 96 + ct_len  # d, z, m, random capsule
    stream = hashlib.shake_128(b"").digest(100 * per_iteration)
    acc = hashlib.shake_128()
    for i in range(100):
        draw = stream[i * per_iteration:(i + 1) * per_iteration]
        d, z, m, bad = draw[:32], draw[32:64], draw[64:96], draw[96:]
        kp = tc.generate_keypair_deterministic(d, z, level)
        c, k, _ = tc.encapsulate_deterministic(kp.public_key, m, level)
        assert tc.decapsulate(c, kp.secret_key, level) == k
        k_bad = tc.decapsulate(bad, kp.secret_key, level)
        for part in (kp.public_key, kp.secret_key, c, k, k_bad):
            acc.update(part)
    assert acc.hexdigest(32) == want
    VECTOR_CASES_RUN["mlkem_accumulated.json"] += 1


# ---------------------------------------------------------------- interoperation

def crypto_private_key(level, seed):
    mlkem = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.mlkem")
    cls = {768: mlkem.MLKEM768PrivateKey, 1024: mlkem.MLKEM1024PrivateKey}[int(level)]
    return cls.from_seed_bytes(seed)


@pytest.mark.parametrize("level", [L768, L1024], ids=level_id)
def test_interop_with_pyca_cryptography(level):
    d, z = os.urandom(32), os.urandom(32)
    theirs = crypto_private_key(level, d + z)
    ours = tc.generate_keypair_deterministic(d, z, level)
    assert theirs.public_key().public_bytes_raw() == ours.public_key
    # They encapsulate, we decapsulate.
    shared, capsule = theirs.public_key().encapsulate()
    assert tc.decapsulate(capsule, ours.secret_key, level) == shared
    # We encapsulate to their key, they decapsulate.
    capsule, shared = tc.encapsulate(theirs.public_key().public_bytes_raw(), level)
    assert theirs.decapsulate(capsule) == shared


@by_level
def test_interop_with_kyber_py(level):
    ml_kem = pytest.importorskip("kyber_py.ml_kem")
    impl = {512: ml_kem.ML_KEM_512, 768: ml_kem.ML_KEM_768, 1024: ml_kem.ML_KEM_1024}[int(level)]
    ek, dk = impl.keygen()
    capsule, shared = tc.encapsulate(ek, level)
    assert impl.decaps(dk, capsule) == shared
    shared, capsule = impl.encaps(ek)
    assert tc.decapsulate(capsule, dk, level) == shared
    ours = tc.generate_keypair(level)
    shared, capsule = impl.encaps(ours.public_key)
    assert tc.decapsulate(capsule, ours.secret_key, level) == shared
    d, z = os.urandom(32), os.urandom(32)
    assert impl._keygen_internal(d, z) == (
        tc.generate_keypair_deterministic(d, z, level).public_key,
        tc.generate_keypair_deterministic(d, z, level).secret_key)


# ---------------------------------------------------------------- errors

DOCS = {
    "generate_keypair":
        "Genera un par de claves ML-KEM para el nivel de seguridad dado.\n\nArgs:\n"
        "    level: Nivel de seguridad (SecurityLevel.ML_KEM_512, ML_KEM_768, o ML_KEM_1024)."
        "\n\nReturns:\n    KeyPair con public_key y secret_key.\n\nRaises:\n"
        "    InvalidParameterError: Si el nivel es invalido.\n"
        "    RngError: Si el CSPRNG del OS no esta disponible.",
    "encapsulate":
        "Encapsula un shared secret usando la clave publica del receptor.\n\nArgs:\n"
        "    public_key: Clave publica ML-KEM del receptor (bytes).\n"
        "    level: Nivel de seguridad.\n\nReturns:\n"
        "    Tupla (capsule: bytes, shared_secret: bytes).",
    "decapsulate":
        "Desencapsula el shared secret usando la clave secreta.\n\n"
        "NOTA: Esta funcion NUNCA lanza error para ciphertext invalido\n"
        "(implicit rejection, FIPS 203 \u00a77.3).\n\nArgs:\n"
        "    capsule: Capsula ML-KEM recibida (bytes).\n"
        "    secret_key: Clave secreta propia (bytes).\n"
        "    level: Nivel de seguridad.\n\nReturns:\n    shared_secret: bytes de 32 bytes.",
    "generate_keypair_deterministic":
        "Genera un par de claves ML-KEM usando seeds especificos.\n\n"
        "Esta version es DETERMINISTA y debe usarse SOLO para validacion\n"
        "con vectores KAT conocidos. NO usar en produccion.\n\nArgs:\n"
        "    d: Seed de 32 bytes para generacion de claves K-PKE.\n"
        "    z: Seed de 32 bytes para el contenido de la clave secreta.\n"
        "    level: Nivel de seguridad.\n\nReturns:\n    KeyPair con public_key y secret_key."
        "\n\nRaises:\n"
        "    InvalidParameterError: Si los seeds no tienen 32 bytes o el nivel es invalido.",
    "encapsulate_deterministic":
        "Encapsula un shared secret usando un mensaje especifico.\n\n"
        "Esta version es DETERMINISTA y debe usarse SOLO para validacion\n"
        "con vectores KAT conocidos. NO usar en produccion.\n\nArgs:\n"
        "    public_key: Clave publica del receptor (bytes).\n"
        "    m: Mensaje de 32 bytes a encapsular.\n    level: Nivel de seguridad.\n\n"
        "Returns:\n    Tupla (capsule: bytes, shared_secret: bytes, m: bytes).\n\nRaises:\n"
        "    InvalidParameterError: Si los parametros tienen tamano incorrecto.",
}


@pytest.mark.parametrize("name", list(DOCS))
def test_docstrings(name):
    assert getattr(tc, name).__doc__ == DOCS[name]


D_MSG = "El seed 'd' debe tener exactamente 32 bytes"
Z_MSG = "El seed 'z' debe tener exactamente 32 bytes"
M_MSG = "El mensaje 'm' debe tener exactamente 32 bytes"
EK_MSG = "encryption key has incorrect size"
EK_DET_MSG = "encryption key publica tiene tamano incorrecto"
DK_MSG = "decapsulation key has incorrect size"
CT_MSG = "capsule has incorrect size"

ERRORS = [
    # generate_keypair_deterministic: d is checked before z.
    (tc.generate_keypair_deterministic, (bytes(31), bytes(32), L512), ValueError, D_MSG),
    (tc.generate_keypair_deterministic, (bytes(33), bytes(32)), ValueError, D_MSG),
    (tc.generate_keypair_deterministic, (bytes(32), bytes(33)), ValueError, Z_MSG),
    (tc.generate_keypair_deterministic, (b"", b""), ValueError, D_MSG),
    # encapsulate_deterministic: m before the key size.
    (tc.encapsulate_deterministic, (bytes(1184), bytes(31)), ValueError, M_MSG),
    (tc.encapsulate_deterministic, (bytes(5), bytes(31)), ValueError, M_MSG),
    (tc.encapsulate_deterministic, (bytes(1184), bytes(32), L512), tc.InvalidParameterError,
     EK_DET_MSG),
    (tc.encapsulate_deterministic, (bytes(800), bytes(32)), tc.InvalidParameterError,
     EK_DET_MSG),
    (tc.encapsulate, (bytes(1184), L512), tc.InvalidParameterError, EK_MSG),
    (tc.encapsulate, (bytes(1185),), tc.InvalidParameterError, EK_MSG),
    (tc.encapsulate, (b"", L1024), tc.InvalidParameterError, EK_MSG),
    # decapsulate: the secret key before the capsule.
    (tc.decapsulate, (bytes(767), bytes(1631), L512), tc.InvalidParameterError, DK_MSG),
    (tc.decapsulate, (bytes(768), bytes(1631), L512), tc.InvalidParameterError, DK_MSG),
    (tc.decapsulate, (bytes(767), bytes(1632), L512), tc.InvalidParameterError, CT_MSG),
    (tc.decapsulate, (bytes(1088), bytes(2400), L1024), tc.InvalidParameterError, DK_MSG),
    (tc.decapsulate, (bytes(1568), bytes(3168)), tc.InvalidParameterError, DK_MSG),
    (tc.decapsulate, (bytes(1568), bytes(2400)), tc.InvalidParameterError, CT_MSG),
]


@pytest.mark.parametrize("fn,args,exc,message", ERRORS)
def test_value_errors(fn, args, exc, message):
    with pytest.raises(exc) as e:
        fn(*args)
    assert type(e.value) is exc
    assert e.value.args == (message,)
    assert getattr(e.value, "__notes__", []) == []
    if exc is ValueError:
        assert not isinstance(e.value, tc.TarnelError)


@pytest.mark.parametrize("level", LEVELS, ids=level_id)
def test_every_wrong_length_is_refused(keypairs, level):
    kp = keypairs[int(level)]
    ek_len, dk_len, ct_len = SIZES[int(level)]
    capsule, _ = tc.encapsulate(kp.public_key, level)
    for n in range(0, max(ek_len, dk_len, ct_len) + 100, 7):
        if n != ek_len:
            with pytest.raises(tc.InvalidParameterError, match=EK_MSG):
                tc.encapsulate(bytes(n), level)
        if n != dk_len:
            with pytest.raises(tc.InvalidParameterError, match=DK_MSG):
                tc.decapsulate(capsule, bytes(n), level)
        if n != ct_len:
            with pytest.raises(tc.InvalidParameterError, match=CT_MSG):
                tc.decapsulate(bytes(n), kp.secret_key, level)


def test_type_errors_come_before_length_checks():
    with pytest.raises(TypeError) as e:
        tc.generate_keypair_deterministic(bytearray(32), bytes(32))
    assert e.value.__notes__ == ["while processing 'd'"]
    with pytest.raises(TypeError) as e:
        tc.generate_keypair_deterministic(bytes(31), bytes(33), 768)
    assert e.value.__notes__ == ["while processing 'level'"]
    with pytest.raises(TypeError) as e:
        tc.encapsulate_deterministic(bytes(3), bytes(31), None)
    assert e.value.__notes__ == ["while processing 'level'"]


# ---------------------------------------------------------------- threads

def test_concurrent_encapsulate_and_decapsulate(keypairs):
    failures = []
    barrier = threading.Barrier(8)

    def work(level):
        kp = keypairs[int(level)]
        try:
            barrier.wait()
            for _ in range(40):
                capsule, shared = tc.encapsulate(kp.public_key, level)
                if tc.decapsulate(capsule, kp.secret_key, level) != shared:
                    failures.append("mismatch")
                if tc.generate_keypair(level).level is not level:
                    failures.append("level")
        except BaseException as e:  # noqa: BLE001  (reported below)
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(LEVELS[i % 3],)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
