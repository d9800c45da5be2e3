"""SubjectPublicKeyInfo and PKCS#8 for ML-KEM keys, checked against real peers:
pyca/cryptography, kyber-py and the openssl command."""

import base64
import os
import re
import shutil
import subprocess

import pytest

import tarnel
from tarnel import KeySerializationError

from conftest import LEVELS, SIZES, level_id, level_of

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import mlkem
from kyber_py.ml_kem import ML_KEM_512, ML_KEM_768, ML_KEM_1024
from kyber_py.ml_kem import pkcs as kyber_pkcs

KYBER = {512: ML_KEM_512, 768: ML_KEM_768, 1024: ML_KEM_1024}
# cryptography has no ML-KEM-512.
CRYPTO_PRIVATE = {768: mlkem.MLKEM768PrivateKey, 1024: mlkem.MLKEM1024PrivateKey}
CRYPTO_LEVELS = [level_of(v) for v in CRYPTO_PRIVATE]
OID = {512: "2.16.840.1.101.3.4.4.1", 768: "2.16.840.1.101.3.4.4.2", 1024: "2.16.840.1.101.3.4.4.3"}


def pem_der(text):
    """The DER inside a single PEM block, decoded independently."""
    body = "".join(text.strip().splitlines()[1:-1])
    return base64.b64decode(body, validate=True)


def seeded_pair(level):
    seed = os.urandom(64)
    return seed, tarnel.generate_keypair_deterministic(seed[:32], seed[32:], level)


# ---------------------------------------------------------------------------
# pyca/cryptography


@pytest.mark.parametrize("level", CRYPTO_LEVELS, ids=level_id)
def test_cryptography_encapsulates_to_our_spki(level):
    pair = tarnel.generate_keypair(level)
    pem = tarnel.export_public_key_spki(pair.public_key)
    der = tarnel.export_public_key_spki(pair.public_key, "der")
    assert isinstance(pem, str) and isinstance(der, bytes)
    for peer in (serialization.load_pem_public_key(pem.encode()),
                 serialization.load_der_public_key(der)):
        assert peer.public_bytes_raw() == pair.public_key
        # Our encoding is the canonical one: the peer writes the same bytes.
        assert peer.public_bytes(serialization.Encoding.DER,
                                 serialization.PublicFormat.SubjectPublicKeyInfo) == der
        shared, capsule = peer.encapsulate()
        assert tarnel.decapsulate(capsule, pair.secret_key, level) == shared


@pytest.mark.parametrize("level", CRYPTO_LEVELS, ids=level_id)
@pytest.mark.parametrize("encoding", ["PEM", "DER"])
def test_cryptography_seed_pkcs8_loads_and_opens_its_capsule(level, encoding):
    peer = CRYPTO_PRIVATE[int(level)].generate()
    data = peer.private_bytes(getattr(serialization.Encoding, encoding),
                              serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    secret_key, got_level = tarnel.load_secret_key_pkcs8(
        data.decode() if encoding == "PEM" else data)
    assert got_level is level and len(secret_key) == SIZES[int(level)][1]
    shared, capsule = peer.public_key().encapsulate()
    assert tarnel.decapsulate(capsule, secret_key, level) == shared
    spki = peer.public_key().public_bytes(serialization.Encoding.PEM,
                                          serialization.PublicFormat.SubjectPublicKeyInfo)
    public_key, public_level = tarnel.load_public_key_spki(spki)
    assert public_level is level and public_key == peer.public_key().public_bytes_raw()


def test_cryptography_key_moves_into_a_key_file(tmp_path):
    peer = mlkem.MLKEM1024PrivateKey.generate()
    pem = peer.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())
    pair = tarnel.load_keypair_pkcs8(pem)
    assert pair.public_key == peer.public_key().public_bytes_raw()
    tarnel.save_secret_key(tmp_path / "k", pair, "moved from cryptography",
                           scrypt=tarnel.ScryptParams(log2_n=10))
    secret_key, level = tarnel.load_secret_key(tmp_path / "k", "moved from cryptography")
    shared, capsule = peer.public_key().encapsulate()
    assert tarnel.decapsulate(capsule, secret_key, level) == shared
    with pytest.raises(KeySerializationError, match="expanded key only"):
        tarnel.load_keypair_pkcs8(tarnel.export_secret_key_pkcs8(pair.secret_key))


# ---------------------------------------------------------------------------
# kyber-py


@pytest.mark.parametrize("level", LEVELS, ids=level_id)
def test_kyber_py_reads_our_spki_and_pkcs8(level):
    seed, pair = seeded_pair(level)
    kem, public_key = kyber_pkcs.ek_from_pem(tarnel.export_public_key_spki(pair.public_key))
    assert kem is KYBER[int(level)] and public_key == pair.public_key

    expanded = tarnel.export_secret_key_pkcs8(pair.secret_key)
    kem, dk, got_seed, ek = kyber_pkcs.dk_from_pem(expanded)
    assert kem is KYBER[int(level)] and dk == pair.secret_key and got_seed is None

    both = tarnel.export_secret_key_pkcs8(pair.secret_key, "der", seed=seed)
    kem, dk, got_seed, ek = kyber_pkcs.dk_from_der(both)
    assert (dk, got_seed) == (pair.secret_key, seed)
    # kyber-py writes the both form the same way.
    assert kyber_pkcs.dk_to_der(kem, dk=pair.secret_key, seed=seed, form="both") == both


@pytest.mark.parametrize("level", LEVELS, ids=level_id)
@pytest.mark.parametrize("form", ["seed", "expanded", "both"])
def test_kyber_py_pkcs8_forms_load(level, form):
    kem = KYBER[int(level)]
    seed = os.urandom(64)
    ek, dk = kem.key_derive(seed)
    der = kyber_pkcs.dk_to_der(kem, dk=dk, seed=seed, form=form)
    secret_key, got_level = tarnel.load_secret_key_pkcs8(der)
    assert secret_key == dk and got_level is level
    shared, capsule = kem.encaps(ek)
    assert tarnel.decapsulate(capsule, secret_key, level) == shared
    assert tarnel.load_public_key_spki(kyber_pkcs.ek_to_der(kem, ek)) == (ek, level)


# ---------------------------------------------------------------------------
# openssl pkey


def _openssl_with_mlkem():
    exe = shutil.which("openssl")
    if exe is None:
        pytest.skip("no openssl command on this machine")
    out = subprocess.run([exe, "version"], capture_output=True, text=True).stdout
    m = re.match(r"OpenSSL (\d+)\.(\d+)", out)
    if m is None or (int(m.group(1)), int(m.group(2))) < (3, 5):
        pytest.skip(f"openssl pkey reads ML-KEM from OpenSSL 3.5 on; this is {out.strip()!r}")
    return exe


@pytest.mark.parametrize("level", LEVELS, ids=level_id)
def test_openssl_pkey_reads_both(level, tmp_path):
    exe = _openssl_with_mlkem()
    seed, pair = seeded_pair(level)
    pub = tmp_path / "pub.pem"
    pub.write_text(tarnel.export_public_key_spki(pair.public_key))
    out = subprocess.run([exe, "pkey", "-pubin", "-in", str(pub), "-outform", "DER"],
                         capture_output=True, check=True).stdout
    assert out == tarnel.export_public_key_spki(pair.public_key, "der")
    for kwargs in ({}, {"seed": seed}):
        key = tmp_path / "key.pem"
        key.write_text(tarnel.export_secret_key_pkcs8(pair.secret_key, **kwargs))
        out = subprocess.run([exe, "pkey", "-in", str(key), "-pubout", "-outform", "DER"],
                             capture_output=True, check=True).stdout
        assert out == tarnel.export_public_key_spki(pair.public_key, "der")
    # And the other way: a key OpenSSL generates loads here.
    key = tmp_path / "openssl.pem"
    subprocess.run([exe, "genpkey", "-algorithm", f"ML-KEM-{int(level)}", "-out", str(key)],
                   capture_output=True, check=True)
    public = subprocess.run([exe, "pkey", "-in", str(key), "-pubout"],
                            capture_output=True, check=True).stdout
    secret_key, got_level = tarnel.load_secret_key_pkcs8(key.read_bytes())
    public_key, public_level = tarnel.load_public_key_spki(public)
    assert got_level is level and public_level is level
    capsule, shared = tarnel.encapsulate(public_key, level)
    assert tarnel.decapsulate(capsule, secret_key, level) == shared


# ---------------------------------------------------------------------------
# Strict reading


def tlv(tag, content):
    n = len(content)
    length = bytes([n]) if n < 128 else bytes([0x82]) + n.to_bytes(2, "big")
    return bytes([tag]) + length + content


def oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    out = bytes([40 * arcs[0] + arcs[1]])
    for a in arcs[2:]:
        enc = [a & 0x7F]
        while a > 0x7F:
            a >>= 7
            enc.append(0x80 | (a & 0x7F))
        out += bytes(reversed(enc))
    return tlv(0x06, out)


def spki(key, alg=OID[768], params=b"", unused=b"\x00"):
    return tlv(0x30, tlv(0x30, oid(alg) + params) + tlv(0x03, unused + key))


def pkcs8(inner, alg=OID[768], version=b"\x00", extra=b""):
    return tlv(0x30, tlv(0x02, version) + tlv(0x30, oid(alg)) + tlv(0x04, inner) + extra)


@pytest.fixture(scope="module")
def seeded768():
    return seeded_pair(tarnel.SecurityLevel.ML_KEM_768)


def test_our_encoding_matches_the_structure(seeded768):
    seed, pair = seeded768
    assert tarnel.export_public_key_spki(pair.public_key, "der") == spki(pair.public_key)
    assert pem_der(tarnel.export_public_key_spki(pair.public_key)) == spki(pair.public_key)
    assert tarnel.export_secret_key_pkcs8(pair.secret_key, "der") == pkcs8(
        tlv(0x04, pair.secret_key))
    assert tarnel.load_public_key_spki(spki(pair.public_key)) == (
        pair.public_key, tarnel.SecurityLevel.ML_KEM_768)


def _bad_public(pair):
    pk = pair.public_key
    good = spki(pk)
    unreduced = b"\xff\xff\xff" + pk[3:]
    return {
        "unknown OID": (spki(pk, alg="2.16.840.1.101.3.4.4.4"), "2.16.840.1.101.3.4.4.4"),
        "RSA OID": (spki(pk, alg="1.2.840.113549.1.1.1"), "1.2.840.113549.1.1.1"),
        "OID of another level": (spki(pk, alg=OID[512]), "must be 800 bytes"),
        "short key": (spki(pk[:-1]), "must be 1184 bytes"),
        "NULL parameters": (spki(pk, params=b"\x05\x00"), "parameters must be absent"),
        "unused bits": (spki(pk, unused=b"\x01"), "no unused bits"),
        "trailing byte": (good + b"\x00", "unexpected bytes"),
        "truncated": (good[:-1], "truncated"),
        "non-minimal length": (b"\x30\x83\x00" + good[2:], "minimal"),
        "indefinite length": (b"\x30\x80" + good[4:] + b"\x00\x00", "indefinite"),
        "unreduced coefficient": (spki(unreduced), "not reduced"),
        "empty": (b"", "missing"),
    }


@pytest.mark.parametrize("case", list(_bad_public(tarnel.generate_keypair())))
def test_bad_spki_refused(case, seeded768):
    data, message = _bad_public(seeded768[1])[case]
    with pytest.raises(KeySerializationError, match=re.escape(message)):
        tarnel.load_public_key_spki(data)


def _bad_private(seed, pair):
    sk = pair.secret_key
    other_seed = bytes(64)
    broken_hash = bytearray(sk)
    broken_hash[-40] ^= 1
    return {
        "unknown OID": (pkcs8(tlv(0x04, sk), alg="2.16.840.1.101.3.4.4.9"), "is not ML-KEM"),
        "expanded key of another level": (pkcs8(tlv(0x04, sk), alg=OID[1024]),
                                          "must be 3168 bytes"),
        "seed of 63 bytes": (pkcs8(tlv(0x80, seed[:63])), "64 bytes"),
        "both disagree": (pkcs8(tlv(0x30, tlv(0x04, other_seed) + tlv(0x04, sk))),
                          "do not belong to the same key"),
        "expanded hash broken": (pkcs8(tlv(0x04, bytes(broken_hash))), "inconsistent"),
        "version 1": (pkcs8(tlv(0x80, seed), version=b"\x01"), "version 0"),
        "attributes": (pkcs8(tlv(0x80, seed), extra=tlv(0xA0, b"")), "not supported"),
        "trailing in private key": (pkcs8(tlv(0x80, seed) + b"\x00"), "unexpected bytes"),
        "trailing after all": (pkcs8(tlv(0x80, seed)) + b"\x00", "unexpected bytes"),
        "unknown choice": (pkcs8(tlv(0x81, seed)), "neither a seed"),
    }


@pytest.mark.parametrize("case", list(_bad_private(bytes(64), tarnel.generate_keypair())))
def test_bad_pkcs8_refused(case, seeded768):
    data, message = _bad_private(*seeded768)[case]
    with pytest.raises(KeySerializationError, match=re.escape(message)):
        tarnel.load_secret_key_pkcs8(data)


def test_pem_strictness(seeded768):
    seed, pair = seeded768
    pub = tarnel.export_public_key_spki(pair.public_key)
    priv = tarnel.export_secret_key_pkcs8(pair.secret_key)
    assert tarnel.load_public_key_spki(pub.encode())[0] == pair.public_key
    assert tarnel.load_public_key_spki("\n  " + pub + "\n\n")[0] == pair.public_key
    cases = [
        (tarnel.load_public_key_spki, priv, "found PRIVATE KEY"),
        (tarnel.load_secret_key_pkcs8, pub, "found PUBLIC KEY"),
        (tarnel.load_secret_key_pkcs8, priv.replace("PRIVATE KEY", "ENCRYPTED PRIVATE KEY"),
         "encrypted PKCS#8 is not supported"),
        (tarnel.load_public_key_spki, pub + pub, "more than one PEM block"),
        (tarnel.load_public_key_spki, "text before\n" + pub, "text before the"),
        (tarnel.load_public_key_spki, "no key here", "no '-----BEGIN PUBLIC KEY-----'"),
        (tarnel.load_public_key_spki, pub.replace("M", "*", 1), "not valid Base64"),
        (tarnel.load_public_key_spki, pub.replace("\n-----END", "=\n-----END"),
         "not canonical Base64"),
    ]
    for load, text, message in cases:
        with pytest.raises(KeySerializationError, match=re.escape(message)):
            load(text)


def test_export_refuses_what_it_cannot_vouch_for(seeded768):
    seed, pair = seeded768
    with pytest.raises(KeySerializationError, match="1183 bytes"):
        tarnel.export_public_key_spki(pair.public_key[:-1])
    with pytest.raises(KeySerializationError, match="1632, 2400, 3168 bytes"):
        tarnel.export_secret_key_pkcs8(pair.secret_key + b"\x00")
    with pytest.raises(KeySerializationError, match="do not belong to the same key"):
        tarnel.export_secret_key_pkcs8(pair.secret_key, seed=bytes(64))
    with pytest.raises(ValueError, match="'pem' or 'der'"):
        tarnel.export_public_key_spki(pair.public_key, "txt")
    with pytest.raises(TypeError):
        tarnel.load_public_key_spki(1234)


def test_messages_never_hold_key_material(seeded768):
    seed, pair = seeded768
    hexes = {seed.hex()[:16], pair.secret_key.hex()[:16]}
    for data in _bad_private(seed, pair).values():
        with pytest.raises(KeySerializationError) as info:
            tarnel.load_secret_key_pkcs8(data[0])
        text = str(info.value)
        assert len(text) < 200 and not any(h in text for h in hexes)


def test_callers_objects_are_never_wiped(seeded768):
    """Intermediates are wiped in place; what the caller passes must survive."""
    seed, pair = seeded768
    secret_key = pair.secret_key
    kept = bytes(bytearray(secret_key)), bytes(bytearray(seed))
    der = tarnel.export_secret_key_pkcs8(secret_key, "der", seed=seed)
    pem = tarnel.export_secret_key_pkcs8(secret_key, seed=seed)
    assert (secret_key, seed) == kept
    der_copy = bytes(bytearray(der))
    for data in (der, pem, pem.encode(), bytearray(der), memoryview(der)):
        assert tarnel.load_secret_key_pkcs8(data) == (secret_key, pair.level)
        assert tarnel.load_keypair_pkcs8(data).secret_key == secret_key
    assert der == der_copy and (secret_key, seed) == kept
    # Failed loads leave the input alone too.
    bad = pkcs8(tlv(0x30, tlv(0x04, bytes(64)) + tlv(0x04, secret_key)))
    bad_copy = bytes(bytearray(bad))
    with pytest.raises(KeySerializationError):
        tarnel.load_secret_key_pkcs8(bad)
    assert bad == bad_copy and (secret_key, seed) == kept


def test_wipe_bytes_zeroes_in_place():
    from tarnel._wipe import wipe_bytes

    secret = bytes(bytearray(b"secret material"))
    view_before = memoryview(secret)
    wipe_bytes(secret, b"", b"x")
    assert secret == bytes(15) and view_before.tobytes() == bytes(15)
    assert b"x" == bytes([120])  # the shared one-byte object is untouched


@pytest.mark.parametrize("form", ["spki", "seed", "expanded", "both"])
def test_mutated_input_fails_only_cleanly(form, seeded768):
    """Flipped, cut and inserted bytes: a key or KeySerializationError, nothing else."""
    import random

    seed, pair = seeded768
    if form == "spki":
        good, load = tarnel.export_public_key_spki(pair.public_key, "der"), tarnel.load_public_key_spki
    else:
        kem = KYBER[768]
        good = kyber_pkcs.dk_to_der(kem, dk=pair.secret_key, seed=seed, form=form)
        load = tarnel.load_secret_key_pkcs8
    rng = random.Random(form)
    # Mutations near the start hit the structure; later ones mostly the key.
    for _ in range(300):
        data = bytearray(good)
        pos = min(int(rng.expovariate(1 / 24)), len(data) - 1)
        choice = rng.randrange(3)
        if choice == 0:
            data[pos] ^= 1 << rng.randrange(8)
        elif choice == 1:
            del data[pos:]
        else:
            data.insert(pos, rng.randrange(256))
        try:
            load(bytes(data))
        except KeySerializationError:
            pass
