"""encrypt_hybrid / decrypt_hybrid: the Transit Package from Python."""

import os

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from tarnel import _tarnel_core as tc

LEVELS = [tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_768, tc.SecurityLevel.ML_KEM_1024]
CAPSULE = {512: 768, 768: 1088, 1024: 1568}
DECRYPTION_MSG = "AES-GCM authentication tag verification failed"


@pytest.fixture(scope="module", params=LEVELS, ids=lambda lv: f"ML-KEM-{int(lv)}")
def pair(request):
    return tc.generate_keypair(request.param)


@pytest.fixture(scope="module")
def pair768():
    return tc.generate_keypair()


def capsule_len(kp):
    return CAPSULE[int(kp.level)]


@pytest.mark.parametrize("size", [0, 1, 16, 1000, 3 * 1024 * 1024 + 5])
def test_round_trip(pair, size):
    plaintext = os.urandom(size)
    package = tc.encrypt_hybrid(pair.public_key, plaintext, pair.level)
    assert type(package) is bytes
    assert len(package) == capsule_len(pair) + 28 + size
    back = tc.decrypt_hybrid(package, pair.secret_key, pair.level)
    assert type(back) is bytes
    assert back == plaintext


def test_empty_package_sizes(pair):
    package = tc.encrypt_hybrid(pair.public_key, b"", level=pair.level)
    assert len(package) == {512: 796, 768: 1116, 1024: 1596}[int(pair.level)]
    assert tc.decrypt_hybrid(encrypted_package=package, secret_key=pair.secret_key,
                             level=pair.level) == b""


def test_default_level_is_768(pair768):
    package = tc.encrypt_hybrid(pair768.public_key, b"hola")
    assert len(package) == 1088 + 28 + 4
    assert tc.decrypt_hybrid(package, pair768.secret_key) == b"hola"


def test_fresh_capsule_and_nonce_each_time(pair768):
    a = tc.encrypt_hybrid(pair768.public_key, b"same")
    b = tc.encrypt_hybrid(pair768.public_key, b"same")
    assert a[:1088] != b[:1088]
    assert a[1088:1100] != b[1088:1100]


def test_package_opens_with_standard_aesgcm(pair):
    c = capsule_len(pair)
    plaintext = os.urandom(777)
    package = tc.encrypt_hybrid(pair.public_key, plaintext, pair.level)
    shared = tc.decapsulate(package[:c], pair.secret_key, pair.level)
    nonce, tag, ciphertext = package[c:c + 12], package[c + 12:c + 28], package[c + 28:]
    assert AESGCM(shared).decrypt(nonce, ciphertext + tag, None) == plaintext


def test_package_built_with_standard_aesgcm_opens_here(pair):
    plaintext = os.urandom(500)
    capsule, shared = tc.encapsulate(pair.public_key, pair.level)
    nonce = os.urandom(12)
    sealed = AESGCM(shared).encrypt(nonce, plaintext, None)
    ciphertext, tag = sealed[:-16], sealed[-16:]
    package = capsule + nonce + tag + ciphertext
    assert tc.decrypt_hybrid(package, pair.secret_key, pair.level) == plaintext
    # The usual ciphertext || tag order is not a Transit Package.
    with pytest.raises(tc.DecryptionError):
        tc.decrypt_hybrid(capsule + nonce + sealed, pair.secret_key, pair.level)


@pytest.mark.parametrize("region", ["capsule-first", "capsule-last", "nonce", "tag", "ciphertext",
                                    "ciphertext-last"])
def test_damage_to_any_region_is_decryption_error(pair, region):
    c = capsule_len(pair)
    package = bytearray(tc.encrypt_hybrid(pair.public_key, b"x" * 64, pair.level))
    offset = {"capsule-first": 0, "capsule-last": c - 1, "nonce": c + 5, "tag": c + 12,
              "ciphertext": c + 28, "ciphertext-last": len(package) - 1}[region]
    package[offset] ^= 0x40
    with pytest.raises(tc.DecryptionError) as e:
        tc.decrypt_hybrid(bytes(package), pair.secret_key, pair.level)
    assert type(e.value) is tc.DecryptionError
    assert e.value.args == (DECRYPTION_MSG,)


def test_wrong_secret_key_is_decryption_error(pair768):
    other = tc.generate_keypair()
    package = tc.encrypt_hybrid(pair768.public_key, b"secret")
    with pytest.raises(tc.DecryptionError, match="^AES-GCM authentication tag verification failed$"):
        tc.decrypt_hybrid(package, other.secret_key)


def test_size_errors():
    kp512 = tc.generate_keypair(tc.SecurityLevel.ML_KEM_512)
    kp768 = tc.generate_keypair(tc.SecurityLevel.ML_KEM_768)
    pkg768 = tc.encrypt_hybrid(kp768.public_key, b"abc")
    pkg512 = tc.encrypt_hybrid(kp512.public_key, b"z" * 400, tc.SecurityLevel.ML_KEM_512)
    assert len(pkg512) >= 1116
    ek_msg = "encryption key has incorrect size"
    dk_msg = "decapsulation key has incorrect size"
    small_msg = "Encrypted package too small for the given security level"
    cases = [
        (tc.encrypt_hybrid, (kp768.public_key[:-1], b"p"), ek_msg),
        (tc.encrypt_hybrid, (kp768.public_key + b"\0", b"p"), ek_msg),
        (tc.encrypt_hybrid, (b"", b"p"), ek_msg),
        (tc.encrypt_hybrid, (kp512.public_key, b"p"), ek_msg),
        (tc.decrypt_hybrid, (pkg768[:1115], kp768.secret_key), small_msg),
        (tc.decrypt_hybrid, (pkg768[:1115], b"bad key"), small_msg),  # before the key
        (tc.decrypt_hybrid, (b"", kp768.secret_key), small_msg),
        (tc.decrypt_hybrid, (pkg768, kp768.secret_key[:-1]), dk_msg),
        (tc.decrypt_hybrid, (pkg512, kp512.secret_key, tc.SecurityLevel.ML_KEM_768), dk_msg),
    ]
    for fn, args, msg in cases:
        with pytest.raises(tc.InvalidParameterError) as e:
            fn(*args)
        assert type(e.value) is tc.InvalidParameterError
        assert str(e.value) == msg, (fn.__name__, msg)


@pytest.mark.parametrize("fn,args,param,message", [
    (tc.encrypt_hybrid, (bytearray(800), b""), "recipient_public_key",
     "'bytearray' object is not an instance of 'bytes'"),
    (tc.encrypt_hybrid, (b"", memoryview(b"")), "plaintext",
     "'memoryview' object is not an instance of 'bytes'"),
    (tc.encrypt_hybrid, (b"", b"", 768), "level", "'int' object is not an instance of 'SecurityLevel'"),
    (tc.decrypt_hybrid, (None, b""), "encrypted_package", "'None' is not an instance of 'bytes'"),
    (tc.decrypt_hybrid, (b"", "key"), "secret_key", "'str' object is not an instance of 'bytes'"),
    (tc.decrypt_hybrid, (b"", b"", None), "level", "'None' is not an instance of 'SecurityLevel'"),
])
def test_argument_types(fn, args, param, message):
    with pytest.raises(TypeError) as e:
        fn(*args)
    assert str(e.value) == message
    assert getattr(e.value, "__notes__", [f"while processing '{param}'"]) == [
        f"while processing '{param}'"]


@pytest.mark.parametrize("call,message", [
    (lambda: tc.encrypt_hybrid(b""), "encrypt_hybrid() missing 1 required positional argument: 'plaintext'"),
    (lambda: tc.decrypt_hybrid(), "decrypt_hybrid() missing 2 required positional arguments: "
                                  "'encrypted_package' and 'secret_key'"),
    (lambda: tc.encrypt_hybrid(b"", b"", tc.SecurityLevel.ML_KEM_512, 1),
     "encrypt_hybrid() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: tc.decrypt_hybrid(b"", b"", package=b""),
     "decrypt_hybrid() got an unexpected keyword argument 'package'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_docstrings():
    assert tc.encrypt_hybrid.__text_signature__ == "(recipient_public_key, plaintext, level=...)"
    assert tc.decrypt_hybrid.__text_signature__ == "(encrypted_package, secret_key, level=...)"
    assert tc.encrypt_hybrid.__doc__.startswith(
        "Cifra un payload usando el esquema hibrido ML-KEM + AES-256-GCM.\n\nArgs:\n")
    assert tc.encrypt_hybrid.__doc__.endswith("RngError: Si el CSPRNG del OS no esta disponible.")
    assert tc.decrypt_hybrid.__doc__.endswith(
        "InvalidParameterError: Si el paquete tiene tamano incorrecto.")


def test_bytes_subclass_is_accepted(pair768):
    class B(bytes):
        pass

    package = tc.encrypt_hybrid(B(pair768.public_key), B(b"sub"))
    assert tc.decrypt_hybrid(B(package), B(pair768.secret_key)) == b"sub"
