"""Key export and load: the Base64 text, the PEM-like blocks, the JSON
document and the password-wrapped secret-key blob, checked against
independent oracles (hmac + hashlib for HKDF-SHA3-256, pyca/cryptography's
AESGCM for the blob)."""

import base64
import hashlib
import hmac
import json
import os

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from tarnel import _tarnel_core as tc

LEVELS = [tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_768, tc.SecurityLevel.ML_KEM_1024]
INDEX = {512: 0, 768: 1, 1024: 2}
EK_LEN = {512: 800, 768: 1184, 1024: 1568}
DK_LEN = {512: 1632, 768: 2400, 1024: 3168}

PUB_HEADER = "-----BEGIN ML-KEM PUBLIC KEY-----"
PUB_FOOTER = "-----END ML-KEM PUBLIC KEY-----"
ENC_HEADER = "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----"
ENC_FOOTER = "-----END ENCRYPTED ML-KEM PRIVATE KEY-----"

DECRYPTION_MSG = "AES-GCM authentication tag verification failed"
TOO_SHORT = "wrapped blob is too short to contain a valid header"
BAD_MAGIC = "invalid magic bytes in wrapped blob"
BAD_VERSION = "unsupported wrapped blob version"
BAD_LEVEL = "unknown level_id in wrapped blob"
NO_HEADER = "PEM header not found"
NO_FOOTER = "PEM footer not found"
BAD_PUB_BODY = "PEM body is not valid Base64 STANDARD"
BAD_ENC_BODY = "PEM ENCRYPTED body is not valid Base64 STANDARD"
PEM_SIZE_MSG = "public key size does not match the specified security level"
B64_SIZE_MSG = "decoded public key has incorrect size for the specified security level"

PASSWORDS = [b"", b"correct horse battery staple", "contraseña".encode(), os.urandom(1000)]


# ---------------------------------------------------------------- oracles

def hkdf_sha3_256(ikm: bytes, salt: bytes, info: bytes, length: int) -> bytes:
    """RFC 5869 over HMAC-SHA3-256, written out independently."""
    prk = hmac.new(salt, ikm, hashlib.sha3_256).digest()
    okm, t, i = b"", b"", 1
    while len(okm) < length:
        t = hmac.new(prk, t + info + bytes([i]), hashlib.sha3_256).digest()
        okm += t
        i += 1
    return okm[:length]


def wrap_key(password: bytes, salt: bytes) -> bytes:
    return hkdf_sha3_256(password, salt, b"tarnel-key-wrap-v1", 32)


def open_blob(blob: bytes, password: bytes) -> bytes:
    salt, nonce = blob[6:22], blob[22:34]
    return AESGCM(wrap_key(password, salt)).decrypt(nonce, blob[34:], None)


def make_blob(secret: bytes, password: bytes, level_id: int, magic=b"TRPK", version=1) -> bytes:
    salt, nonce = os.urandom(16), os.urandom(12)
    sealed = AESGCM(wrap_key(password, salt)).encrypt(nonce, secret, None)
    return magic + bytes([version, level_id]) + salt + nonce + sealed


def pem_body(text: str, header: str, footer: str) -> str:
    start = text.index(header) + len(header)
    return text[start:text.index(footer, start)]


# ---------------------------------------------------------------- fixtures

@pytest.fixture(scope="module", params=LEVELS, ids=lambda lv: f"ML-KEM-{int(lv)}")
def pair(request):
    return tc.generate_keypair(request.param)


@pytest.fixture(scope="module")
def pair768():
    return tc.generate_keypair(tc.SecurityLevel.ML_KEM_768)


@pytest.fixture(scope="module")
def blob768(pair768):
    return pair768.export_secret_key_raw(b"pw")


# ---------------------------------------------------------------- the oracle itself

def test_hkdf_oracle_matches_rfc5869_shape():
    # The oracle must agree with the fixed-info cases of the known-answer vectors.
    from conftest import counted, load_vectors
    for c in counted("hkdf_sha3_256.json", load_vectors("hkdf_sha3_256.json")):
        okm = hkdf_sha3_256(bytes.fromhex(c["ikm"]), bytes.fromhex(c["salt"]),
                            bytes.fromhex(c["info"]), c["length"])
        assert okm.hex() == c["okm"], c["id"]


# ---------------------------------------------------------------- written forms

def test_raw_export_layout_opens_with_independent_oracle(pair):
    value = int(pair.level)
    for password in PASSWORDS:
        blob = pair.export_secret_key_raw(password)
        assert type(blob) is bytes
        assert len(blob) == DK_LEN[value] + 50 == {512: 1682, 768: 2450, 1024: 3218}[value]
        assert blob[:4] == b"TRPK"
        assert blob[4] == 1
        assert blob[5] == INDEX[value]
        assert open_blob(blob, password) == pair.secret_key


def test_exports_are_fresh_each_time(pair768):
    a = pair768.export_secret_key_raw(b"pw")
    b = pair768.export_secret_key_raw(b"pw")
    assert a[6:22] != b[6:22] and a[22:34] != b[22:34]
    assert tc.load_secret_key_raw(a, b"pw") == tc.load_secret_key_raw(b, b"pw")
    p, q = pair768.export_secret_key_pem(b"pw"), pair768.export_secret_key_pem(b"pw")
    assert p != q
    assert tc.load_secret_key_pem(p, b"pw") == tc.load_secret_key_pem(q, b"pw")


def check_pem_shape(text, header, footer, payload, b64_len, lines, last, total):
    assert type(text) is str
    assert len(text) == total
    assert "\r" not in text
    assert text.startswith(header + "\n") and text.endswith("\n" + footer + "\n")
    rows = text.split("\n")
    assert rows[0] == header and rows[-2] == footer and rows[-1] == ""
    body = rows[1:-2]
    assert len(body) == lines
    assert all(len(r) == 64 for r in body[:-1]) and len(body[-1]) == last
    joined = "".join(body)
    assert len(joined) == b64_len
    assert joined == base64.b64encode(payload).decode()
    assert joined.endswith("=") and not joined.endswith("==")


def test_public_key_pem_shape(pair):
    value = int(pair.level)
    b64_len, lines, total = {512: (1068, 17, 1151), 768: (1580, 25, 1671),
                             1024: (2092, 33, 2191)}[value]
    check_pem_shape(pair.public_key_pem(), PUB_HEADER, PUB_FOOTER, pair.public_key,
                    b64_len, lines, 44, total)


def test_encrypted_pem_shape_and_payload(pair):
    value = int(pair.level)
    b64_len, lines, total = {512: (2244, 36, 2368), 768: (3268, 52, 3408),
                             1024: (4292, 68, 4448)}[value]
    text = pair.export_secret_key_pem(b"secret")
    blob = base64.b64decode("".join(text.split("\n")[1:-2]), validate=True)
    check_pem_shape(text, ENC_HEADER, ENC_FOOTER, blob, b64_len, lines, 4, total)
    assert blob[:6] == b"TRPK\x01" + bytes([INDEX[value]])
    assert open_blob(blob, b"secret") == pair.secret_key


def test_public_key_b64(pair):
    text = pair.public_key_b64()
    assert type(text) is str
    assert len(text) == {512: 1067, 768: 1579, 1024: 2091}[int(pair.level)]
    assert text == base64.urlsafe_b64encode(pair.public_key).decode().rstrip("=")
    assert text == tc.serialize_public_key(pair.public_key)


def test_public_key_json_exact_text(pair):
    value = int(pair.level)
    text = pair.public_key_json()
    b64 = base64.urlsafe_b64encode(pair.public_key).decode().rstrip("=")
    assert text == ('{"algorithm":"ML-KEM","level":"ML_KEM_%d","public_key":"%s"}' % (value, b64))
    assert json.loads(text) == {"algorithm": "ML-KEM", "level": f"ML_KEM_{value}",
                                "public_key": b64}


# ---------------------------------------------------------------- round trips

def test_every_form_loads_back(pair):
    for password in PASSWORDS:
        sk, level = tc.load_secret_key_raw(pair.export_secret_key_raw(password), password)
        assert sk == pair.secret_key and type(sk) is bytes
        assert level is pair.level
        sk, level = tc.load_secret_key_pem(pair.export_secret_key_pem(password), password)
        assert sk == pair.secret_key and level is pair.level
    assert tc.load_public_key_pem(pair.public_key_pem(), pair.level) == pair.public_key
    pk, level = tc.load_public_key_json(pair.public_key_json())
    assert pk == pair.public_key and level is pair.level
    assert tc.deserialize_public_key(pair.public_key_b64(), pair.level) == pair.public_key


def test_blob_built_by_the_oracle_loads(pair):
    value = int(pair.level)
    blob = make_blob(pair.secret_key, b"pw", INDEX[value])
    assert tc.load_secret_key_raw(blob, b"pw") == (pair.secret_key, pair.level)
    text = ENC_HEADER + "\n" + base64.b64encode(blob).decode() + "\n" + ENC_FOOTER
    result = tc.load_secret_key_pem(text, password=b"pw")
    assert result[1] is pair.level


def test_raw_load_of_pem_body_matches_pem_load(pair768):
    text = pair768.export_secret_key_pem(b"x")
    blob = base64.b64decode("".join(pem_body(text, ENC_HEADER, ENC_FOOTER).split()))
    assert tc.load_secret_key_raw(blob, b"x") == tc.load_secret_key_pem(text, b"x")


def test_keywords_bind(pair768, blob768):
    assert tc.load_secret_key_raw(password=b"pw", blob=blob768)[0] == pair768.secret_key
    assert pair768.export_secret_key_raw(password=b"pw")[:4] == b"TRPK"
    assert tc.load_public_key_pem(level=tc.SecurityLevel.ML_KEM_768,
                                  pem=pair768.public_key_pem()) == pair768.public_key
    assert tc.load_public_key_json(json=pair768.public_key_json())[0] == pair768.public_key


def test_public_pem_default_level_is_768():
    kp512 = tc.generate_keypair(tc.SecurityLevel.ML_KEM_512)
    with pytest.raises(tc.InvalidParameterError) as e:
        tc.load_public_key_pem(kp512.public_key_pem())
    assert type(e.value) is tc.InvalidParameterError and str(e.value) == PEM_SIZE_MSG
    kp768 = tc.generate_keypair()
    assert tc.load_public_key_pem(kp768.public_key_pem()) == kp768.public_key


# ---------------------------------------------------------------- reading tolerances

def reshape(text: str, header: str, footer: str, width: int, sep: str, indent: str) -> str:
    b64 = "".join(pem_body(text, header, footer).split())
    rows = [indent + b64[i:i + width] for i in range(0, len(b64), width)]
    return header + "\n" + sep.join(rows) + sep + footer + "\n"


TOLERANCES = {
    "crlf": lambda t, h, f: t.replace("\n", "\r\n"),
    "spaces indent": lambda t, h, f: reshape(t, h, f, 64, "\n", "    "),
    "tab indent": lambda t, h, f: reshape(t, h, f, 64, "\n", "\t"),
    "one line": lambda t, h, f: reshape(t, h, f, 10**6, "", ""),
    "width 76": lambda t, h, f: reshape(t, h, f, 76, "\n", ""),
    "width 5": lambda t, h, f: reshape(t, h, f, 5, " \n", ""),
    "unicode spaces": lambda t, h, f: reshape(t, h, f, 64, "\u2028", "\u3000\u00a0"),
    "text around": lambda t, h, f: "# exported key\nkey: " + t + "trailing text\n",
    "second block after": lambda t, h, f: t + t.replace(t.split("\n")[1], "A" * 64),
    "no final newline": lambda t, h, f: t.rstrip("\n"),
}


@pytest.mark.parametrize("variant", list(TOLERANCES))
def test_public_pem_tolerances(pair, variant):
    text = TOLERANCES[variant](pair.public_key_pem(), PUB_HEADER, PUB_FOOTER)
    assert tc.load_public_key_pem(text, pair.level) == pair.public_key


@pytest.mark.parametrize("variant", list(TOLERANCES))
def test_encrypted_pem_tolerances(pair768, variant):
    text = TOLERANCES[variant](pair768.export_secret_key_pem(b"pw"), ENC_HEADER, ENC_FOOTER)
    sk, level = tc.load_secret_key_pem(text, b"pw")
    assert sk == pair768.secret_key and level is tc.SecurityLevel.ML_KEM_768


def test_two_public_blocks_yield_the_first():
    a, b = tc.generate_keypair(), tc.generate_keypair()
    assert tc.load_public_key_pem(a.public_key_pem() + b.public_key_pem()) == a.public_key


PRETTY = "{\n  \"algorithm\": \"ML-KEM\",\n  \"level\":\t\"ML_KEM_%d\",\n  \"public_key\":\n \"%s\"\n}\n"


def test_json_tolerances(pair):
    value = int(pair.level)
    b64 = pair.public_key_b64()
    docs = [
        PRETTY % (value, b64),
        json.dumps({"public_key": b64, "extra": [1, 2], "level": f"ML_KEM_{value}",
                    "algorithm": "ML-KEM"}),
        json.dumps({"key": {"algorithm": "ML-KEM", "level": f"ML_KEM_{value}",
                            "public_key": b64}}),
        '"algorithm":"ML-KEM" "level":"ML_KEM_%d" "public_key":"%s" not json' % (value, b64),
        '{"algorithm":"ML-KEM","level":"ML_KEM_%d","public_key":"%s=="}' % (value, b64),
        '{"algorithm":"ML-KEM","level":"ML_KEM_%d","public_key":"  %s\t "}' % (value, b64),
        '{"algorithm":"ML-KEM","algorithm":"RSA","level":"ML_KEM_%d","public_key":"%s"}'
        % (value, b64),
    ]
    for doc in docs:
        pk, level = tc.load_public_key_json(doc)
        assert pk == pair.public_key and level is pair.level, doc[:60]


# ---------------------------------------------------------------- failures

def edit(blob: bytes, changes=(), length=None) -> bytes:
    b = bytearray(blob)
    for at, value in changes:
        b[at] = value
    return bytes(b if length is None else b[:length])


RAW_CASES = [
    ("empty", lambda b: b"", tc.KeySerializationError, TOO_SHORT),
    ("49 bytes", lambda b: b[:49], tc.KeySerializationError, TOO_SHORT),
    ("49 bytes, bad magic", lambda b: b"XXXX" + b[4:49], tc.KeySerializationError, TOO_SHORT),
    ("50 bytes, valid header", lambda b: b[:50], tc.DecryptionError, DECRYPTION_MSG),
    ("magic in lower case", lambda b: b"trpk" + b[4:], tc.KeySerializationError, BAD_MAGIC),
    ("magic and version wrong", lambda b: edit(b, [(0, 0x58), (4, 2)]),
     tc.KeySerializationError, BAD_MAGIC),
    ("magic and level wrong", lambda b: edit(b, [(3, 0), (5, 7)]),
     tc.KeySerializationError, BAD_MAGIC),
    ("version 0", lambda b: edit(b, [(4, 0)]), tc.KeySerializationError, BAD_VERSION),
    ("version 2", lambda b: edit(b, [(4, 2)]), tc.KeySerializationError, BAD_VERSION),
    ("version and level wrong", lambda b: edit(b, [(4, 9), (5, 200)]),
     tc.KeySerializationError, BAD_VERSION),
    ("level_id 3", lambda b: edit(b, [(5, 3)]), tc.KeySerializationError, BAD_LEVEL),
    ("level_id 255", lambda b: edit(b, [(5, 255)]), tc.KeySerializationError, BAD_LEVEL),
    ("level_id 1 -> 0", lambda b: edit(b, [(5, 0)]), tc.DecryptionError, DECRYPTION_MSG),
    ("level_id 1 -> 2", lambda b: edit(b, [(5, 2)]), tc.DecryptionError, DECRYPTION_MSG),
    ("one byte short", lambda b: b[:-1], tc.DecryptionError, DECRYPTION_MSG),
    ("one byte long", lambda b: b + b"\x00", tc.DecryptionError, DECRYPTION_MSG),
]


@pytest.mark.parametrize("name,damage,exc,message", RAW_CASES, ids=[c[0] for c in RAW_CASES])
def test_raw_load_failures_in_check_order(blob768, name, damage, exc, message):
    with pytest.raises(tc.TarnelError) as e:
        tc.load_secret_key_raw(damage(blob768), b"pw")
    assert type(e.value) is exc
    assert e.value.args == (message,)


def test_every_short_length_is_too_short(blob768):
    for n in range(50):
        with pytest.raises(tc.KeySerializationError, match="^" + TOO_SHORT + "$"):
            tc.load_secret_key_raw(blob768[:n], b"pw")


def test_any_bit_flip_after_the_version_fails(blob768):
    for i in range(6, len(blob768)):
        damaged = edit(blob768, [(i, blob768[i] ^ (1 << (i % 8)))])
        with pytest.raises(tc.DecryptionError):
            tc.load_secret_key_raw(damaged, b"pw")


@pytest.mark.parametrize("wrong", [b"pX", b"Pw", b"pw ", b"p", b""])
def test_wrong_password(pair768, blob768, wrong):
    text = pair768.export_secret_key_pem(b"pw")
    for load, arg in ((tc.load_secret_key_raw, blob768), (tc.load_secret_key_pem, text)):
        with pytest.raises(tc.DecryptionError) as e:
            load(arg, wrong)
        assert str(e.value) == DECRYPTION_MSG


def test_level_id_tampering_is_caught_after_decryption(pair):
    """The header is not authenticated: an oracle blob whose level_id names
    another level decrypts, and only the length check refuses it."""
    value = int(pair.level)
    for other in set(range(3)) - {INDEX[value]}:
        blob = make_blob(pair.secret_key, b"pw", other)
        assert open_blob(blob, b"pw") == pair.secret_key  # the tag is fine
        with pytest.raises(tc.DecryptionError, match="^" + DECRYPTION_MSG + "$"):
            tc.load_secret_key_raw(blob, b"pw")
    # A key one byte short under its own level_id: the tag verifies, the length fails.
    with pytest.raises(tc.DecryptionError):
        tc.load_secret_key_raw(make_blob(pair.secret_key[:-1], b"pw", INDEX[value]), b"pw")


def test_oracle_blob_with_bad_header_fields():
    secret = os.urandom(2400)
    for blob, message in ((make_blob(secret, b"", 1, magic=b"TRPk"), BAD_MAGIC),
                          (make_blob(secret, b"", 1, version=0), BAD_VERSION),
                          (make_blob(secret, b"", 3), BAD_LEVEL)):
        with pytest.raises(tc.KeySerializationError) as e:
            tc.load_secret_key_raw(blob, b"")
        assert str(e.value) == message


def pub_cases():
    kp = tc.generate_keypair(tc.SecurityLevel.ML_KEM_768)
    good = kp.public_key_pem()
    b64 = "".join(pem_body(good, PUB_HEADER, PUB_FOOTER).split())
    assert "+" in b64 or "/" in b64
    url_safe = good.replace("+", "-").replace("/", "_")
    return [
        ("empty", "", tc.KeySerializationError, NO_HEADER),
        ("lower-case header", good.replace(PUB_HEADER, PUB_HEADER.lower()),
         tc.KeySerializationError, NO_HEADER),
        ("encrypted block", kp.export_secret_key_pem(b""), tc.KeySerializationError, NO_HEADER),
        ("no footer", good.replace(PUB_FOOTER, ""), tc.KeySerializationError, NO_FOOTER),
        ("footer only before header", PUB_FOOTER + "\n" + good.replace(PUB_FOOTER, "-----"),
         tc.KeySerializationError, NO_FOOTER),
        ("URL-safe body", url_safe, tc.KeySerializationError, BAD_PUB_BODY),
        ("padding removed", good.replace("=\n", "\n"), tc.KeySerializationError, BAD_PUB_BODY),
        ("empty body", PUB_HEADER + "\n" + PUB_FOOTER + "\n", tc.InvalidParameterError,
         PEM_SIZE_MSG),
        ("one 3-byte group short", good.replace(b64[:4], ""), tc.InvalidParameterError,
         PEM_SIZE_MSG),
    ]


@pytest.mark.parametrize("case", pub_cases(), ids=lambda c: c[0])
def test_public_pem_failures(case):
    _, text, exc, message = case
    with pytest.raises(tc.TarnelError) as e:
        tc.load_public_key_pem(text, tc.SecurityLevel.ML_KEM_768)
    assert type(e.value) is exc and str(e.value) == message


def enc_cases():
    kp = tc.generate_keypair(tc.SecurityLevel.ML_KEM_512)
    good = kp.export_secret_key_pem(b"pw")
    return [
        ("public block", kp.public_key_pem(), tc.KeySerializationError, NO_HEADER),
        ("plain text", "hello", tc.KeySerializationError, NO_HEADER),
        ("no footer", good.replace(ENC_FOOTER, PUB_FOOTER), tc.KeySerializationError, NO_FOOTER),
        ("URL-safe body", ENC_HEADER + "AAA-" + ENC_FOOTER, tc.KeySerializationError,
         BAD_ENC_BODY),
        ("padding removed", good.replace("=\n", "\n"), tc.KeySerializationError, BAD_ENC_BODY),
        ("empty body", ENC_HEADER + ENC_FOOTER, tc.KeySerializationError, TOO_SHORT),
        ("body of a bad magic", ENC_HEADER + base64.b64encode(b"X" * 60).decode() + ENC_FOOTER,
         tc.KeySerializationError, BAD_MAGIC),
    ]


@pytest.mark.parametrize("case", enc_cases(), ids=lambda c: c[0])
def test_encrypted_pem_failures(case):
    _, text, exc, message = case
    with pytest.raises(tc.TarnelError) as e:
        tc.load_secret_key_pem(text, b"pw")
    assert type(e.value) is exc and str(e.value) == message


def json_cases():
    b64 = tc.generate_keypair(tc.SecurityLevel.ML_KEM_768).public_key_b64()
    doc = '{"algorithm":"%s","level":"%s","public_key":"%s"}'
    ks = tc.KeySerializationError
    return [
        ("empty", "", ks, "missing JSON field"),
        ("only a level", '{"level":"ML_KEM_768"}', ks, "missing JSON field"),
        ("space before colon", '{"algorithm" :"ML-KEM","level":"ML_KEM_768","public_key":"%s"}'
         % b64, ks, "missing JSON field"),
        ("key missing, algorithm bad", '{"algorithm":"RSA","level":"x"}', ks,
         "missing JSON field"),
        ("level a number", '{"algorithm":"ML-KEM","level":768,"public_key":"%s"}' % b64, ks,
         "JSON field value is not a string"),
        ("level null", '{"algorithm":"ML-KEM","level":null,"public_key":"%s"}' % b64, ks,
         "JSON field value is not a string"),
        ("value cut off", '{"algorithm":', ks, "JSON field value is not a string"),
        ("unterminated", '{"algorithm":"ML-KEM', ks, "unterminated JSON string value"),
        ("algorithm lower case", doc % ("ml-kem", "ML_KEM_768", b64), ks,
         "unsupported algorithm (expected 'ML-KEM')"),
        ("algorithm padded", doc % ("ML-KEM ", "ML_KEM_768", b64), ks,
         "unsupported algorithm (expected 'ML-KEM')"),
        ("algorithm and level bad", doc % ("Kyber", "ML_KEM_999", b64), ks,
         "unsupported algorithm (expected 'ML-KEM')"),
        ("algorithm inside another value first",
         '{"note":"old "algorithm":"Kyber" text",' + (doc % ("ML-KEM", "ML_KEM_768", b64))[1:],
         ks, "unsupported algorithm (expected 'ML-KEM')"),
        ("level with hyphens", doc % ("ML-KEM", "ML-KEM-768", b64), ks,
         "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
        ("level bare number", doc % ("ML-KEM", "768", b64), ks,
         "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
        ("level trailing space", doc % ("ML-KEM", "ML_KEM_768 ", b64), ks,
         "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
        ("level lower case", doc % ("ML-KEM", "ml_kem_768", b64), ks,
         "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
        ("standard alphabet", doc % ("ML-KEM", "ML_KEM_768", "+" + b64[1:]), tc.TarnelError,
         "base64 decode error: invalid base64 URL-safe string"),
        ("inner space", doc % ("ML-KEM", "ML_KEM_768", b64[:10] + " " + b64[10:]),
         tc.TarnelError, "base64 decode error: invalid base64 URL-safe string"),
        ("768 key, 512 level", doc % ("ML-KEM", "ML_KEM_512", b64), tc.InvalidParameterError,
         B64_SIZE_MSG),
        ("empty key", doc % ("ML-KEM", "ML_KEM_1024", ""), tc.InvalidParameterError,
         B64_SIZE_MSG),
    ]


@pytest.mark.parametrize("case", json_cases(), ids=lambda c: c[0])
def test_json_failures(case):
    _, text, exc, message = case
    with pytest.raises(tc.TarnelError) as e:
        tc.load_public_key_json(text)
    assert type(e.value) is exc
    assert e.value.args == (message,)


# ---------------------------------------------------------------- arguments

def test_argument_errors(pair768, blob768):
    with pytest.raises(TypeError) as e:
        pair768.export_secret_key_raw()
    assert str(e.value) == ("KeyPair.export_secret_key_raw() missing 1 required positional "
                            "argument: 'password'")
    for method in (pair768.export_secret_key_raw, pair768.export_secret_key_pem):
        for bad, type_name in (("pw", "str"), (bytearray(b"pw"), "bytearray")):
            with pytest.raises(TypeError) as e:
                method(bad)
            assert str(e.value) == f"'{type_name}' object is not an instance of 'bytes'"
            assert e.value.__notes__ == ["while processing 'password'"]
    # The public-key exports take no arguments at all: the interpreter itself
    # refuses any, with its own texts.
    with pytest.raises(TypeError) as e:
        pair768.public_key_b64(1)
    assert str(e.value) == "KeyPair.public_key_b64() takes no arguments (1 given)"
    with pytest.raises(TypeError) as e:
        pair768.public_key_json(x=1)
    assert str(e.value) == "KeyPair.public_key_json() takes no keyword arguments"
    with pytest.raises(TypeError) as e:
        pair768.public_key_pem(1, 2)
    assert str(e.value) == "KeyPair.public_key_pem() takes no arguments (2 given)"
    with pytest.raises(TypeError) as e:
        tc.load_public_key_pem(pair768.public_key_pem(), 768)
    assert e.value.__notes__ == ["while processing 'level'"]
    with pytest.raises(TypeError) as e:
        tc.load_secret_key_raw(memoryview(blob768), b"pw")
    assert e.value.__notes__ == ["while processing 'blob'"]
    with pytest.raises(TypeError) as e:
        tc.load_secret_key_pem(pair768.export_secret_key_pem(b"pw"), "pw")
    assert e.value.__notes__ == ["while processing 'password'"]
    with pytest.raises(TypeError) as e:
        tc.load_public_key_json(b"{}")
    assert str(e.value) == "'bytes' object is not an instance of 'str'"
    assert e.value.__notes__ == ["while processing 'json'"]
    with pytest.raises(TypeError) as e:
        tc.load_secret_key_pem("x")
    assert str(e.value) == "load_secret_key_pem() missing 1 required positional argument: 'password'"
    with pytest.raises(TypeError) as e:
        tc.load_public_key_pem("a", tc.SecurityLevel.ML_KEM_768, 3)
    assert str(e.value) == ("load_public_key_pem() takes from 1 to 2 positional arguments but 3 "
                            "were given")


def test_bytes_subclasses_are_accepted(pair768, blob768):
    class B(bytes):
        pass

    class S(str):
        pass

    assert tc.load_secret_key_raw(B(blob768), B(b"pw"))[0] == pair768.secret_key
    assert tc.load_public_key_pem(S(pair768.public_key_pem())) == pair768.public_key


def test_registration_order():
    names = ["load_public_key_pem", "load_public_key_json", "load_secret_key_raw",
             "load_secret_key_pem"]
    assert len(tc.__all__) == 25
    assert tc.__all__[17:21] == names  # registration slots 18 to 21


DOCSTRINGS = {
    "public_key_b64": (
        "public_key_b64($self)\n"
        "--\n"
        "\n"
        "Serializa la clave publica a Base64 URL-safe sin padding.\n"
        "\n"
        "Returns:\n"
        "    str: La clave publica en formato Base64 URL-safe sin padding `=`."
    ),
    "public_key_pem": (
        "public_key_pem($self)\n"
        "--\n"
        "\n"
        "Exporta la clave publica en formato PEM-like ML-KEM.\n"
        "\n"
        "Formato::\n"
        "\n"
        "    -----BEGIN ML-KEM PUBLIC KEY-----\n"
        "    <Base64 STANDARD, lineas de 64 chars>\n"
        "    -----END ML-KEM PUBLIC KEY-----\n"
        "\n"
        "No es DER/ASN.1. Es un formato propietario legible inspirado en PEM.\n"
        "\n"
        "Returns:\n"
        "    str: La clave publica en formato PEM."
    ),
    "public_key_json": (
        "public_key_json($self)\n"
        "--\n"
        "\n"
        "Exporta la clave publica en formato JSON.\n"
        "\n"
        'JSON con campos: algorithm ("ML-KEM"), level ("ML_KEM_512/768/1024"),\n'
        "public_key (Base64 URL-safe sin padding).\n"
        "\n"
        "Returns:\n"
        "    str: La clave publica serializada como JSON."
    ),
    "export_secret_key_raw": (
        "export_secret_key_raw($self, password)\n"
        "--\n"
        "\n"
        "Exporta la clave secreta cifrada como blob binario opaco.\n"
        "\n"
        'Layout del blob: magic("TRPK") | version(1) | level_id(1) | salt(16)\n'
        "| nonce(12) | ciphertext | tag(16). Se cifra con AES-256-GCM usando\n"
        "una clave derivada de `password` via HKDF-SHA3-256.\n"
        "\n"
        "Libera el GIL durante HKDF + AES-GCM.\n"
        "\n"
        "Args:\n"
        "    password (bytes): Contrasena para derivar la clave de cifrado.\n"
        "\n"
        "Returns:\n"
        "    bytes: Blob binario opaco listo para persistir.\n"
        "\n"
        "Raises:\n"
        "    RngError: Si el CSPRNG no esta disponible.\n"
        "    InvalidParameterError: Si la llave secreta tiene tamano incorrecto."
    ),
    "export_secret_key_pem": (
        "export_secret_key_pem($self, password)\n"
        "--\n"
        "\n"
        "Exporta la clave secreta cifrada en formato PEM-like ENCRYPTED.\n"
        "\n"
        "Formato::\n"
        "\n"
        "    -----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----\n"
        "    <Base64 STANDARD del blob cifrado>\n"
        "    -----END ENCRYPTED ML-KEM PRIVATE KEY-----\n"
        "\n"
        "Args:\n"
        "    password (bytes): Contrasena para cifrar.\n"
        "\n"
        "Returns:\n"
        "    str: La clave privada cifrada como PEM."
    ),
    "load_public_key_pem": (
        "load_public_key_pem(pem, level=...)\n"
        "--\n"
        "\n"
        "Carga una llave publica desde formato PEM-like ML-KEM.\n"
        "\n"
        "Args:\n"
        "    pem (str): String PEM con el header `-----BEGIN ML-KEM PUBLIC KEY-----`.\n"
        "    level (SecurityLevel): Nivel de seguridad esperado.\n"
        "\n"
        "Returns:\n"
        "    bytes: La llave publica lista para pasar a `TarnelCipher.encrypt()`.\n"
        "\n"
        "Raises:\n"
        "    KeySerializationError: Si el PEM no tiene header/footer o el Base64 es invalido.\n"
        "    InvalidParameterError: Si el tamano no coincide con el nivel."
    ),
    "load_public_key_json": (
        "load_public_key_json(json)\n"
        "--\n"
        "\n"
        "Carga una llave publica desde JSON.\n"
        "\n"
        "El JSON debe tener los campos:\n"
        '  - "algorithm": "ML-KEM"\n'
        '  - "level": uno de "ML_KEM_512", "ML_KEM_768", "ML_KEM_1024"\n'
        '  - "public_key": Base64 URL-safe sin padding\n'
        "\n"
        "Returns:\n"
        "    tuple[bytes, SecurityLevel]: (llave_publica, nivel)\n"
        "\n"
        "Raises:\n"
        "    KeySerializationError: Si el JSON es invalido o le faltan campos.\n"
        "    InvalidParameterError: Si el tamano no coincide con el nivel declarado."
    ),
    "load_secret_key_raw": (
        "load_secret_key_raw(blob, password)\n"
        "--\n"
        "\n"
        "Descifra y retorna la llave secreta desde un blob binario.\n"
        "\n"
        "Args:\n"
        "    blob (bytes): Blob producido por `KeyPair.export_secret_key_raw`.\n"
        "    password (bytes): Contrasena usada al cifrar.\n"
        "\n"
        "Returns:\n"
        "    tuple[bytes, SecurityLevel]: (secret_key, nivel)\n"
        "\n"
        "Raises:\n"
        "    DecryptionError: Si la contrasena es incorrecta o el blob esta corrupto.\n"
        "    KeySerializationError: Si magic/version son invalidos o el blob esta truncado."
    ),
    "load_secret_key_pem": (
        "load_secret_key_pem(pem, password)\n"
        "--\n"
        "\n"
        "Descifra y retorna la llave secreta desde un PEM-like ENCRYPTED.\n"
        "\n"
        "Args:\n"
        "    pem (str): String PEM con header `-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----`.\n"
        "    password (bytes): Contrasena usada al cifrar.\n"
        "\n"
        "Returns:\n"
        "    tuple[bytes, SecurityLevel]: (secret_key, nivel)\n"
        "\n"
        "Raises:\n"
        "    DecryptionError: Si la contrasena es incorrecta o el blob esta corrupto.\n"
        "    KeySerializationError: Si el PEM/Base64/magic son invalidos."
    ),
}


@pytest.mark.parametrize("name", list(DOCSTRINGS))
def test_docstrings(name):
    obj = getattr(tc.KeyPair, name) if hasattr(tc.KeyPair, name) else getattr(tc, name)
    assert obj.__doc__ == DOCSTRINGS[name].split("\n--\n\n", 1)[1]
    assert obj.__text_signature__ == DOCSTRINGS[name].split("\n", 1)[0][len(name):]
