"""X-Wing keys as SubjectPublicKeyInfo and PKCS#8 (OID 1.3.6.1.4.1.62253.25722,
no inner wrapping): the draft's own x509 fixtures, round trips, the DER
structure as OpenSSL parses it, and strict refusals."""

import subprocess
from pathlib import Path

import pytest

import tarnel
from tarnel import pkcs, xwing

HERE = Path(__file__).resolve().parents[1] / "vectors" / "xwing"
SPKI_PEM = (HERE / "x509-public.pem").read_text()
PKCS8_PEM = (HERE / "x509-private.pem").read_text()
OID_DER = bytes.fromhex("060b2b0601040183e62d81c87a")


def test_the_drafts_fixtures():
    seed = pkcs.load_xwing_private_key_pkcs8(PKCS8_PEM)
    public_key = pkcs.load_xwing_public_key_spki(SPKI_PEM)
    assert seed == bytes(range(32))
    assert xwing.generate_keypair(seed) == (seed, public_key)
    assert pkcs.export_xwing_public_key_spki(public_key) == SPKI_PEM
    assert pkcs.export_xwing_private_key_pkcs8(seed) == PKCS8_PEM


def asn1parse(der):
    return subprocess.run(["openssl", "asn1parse", "-inform", "DER"], input=der,
                          capture_output=True, check=True).stdout.decode()


def test_round_trips_and_openssls_reading():
    seed, public_key = xwing.generate_keypair()
    spki = pkcs.export_xwing_public_key_spki(public_key, "der")
    pkcs8 = pkcs.export_xwing_private_key_pkcs8(seed, "der")
    assert pkcs.load_xwing_public_key_spki(spki) == public_key
    assert pkcs.load_xwing_public_key_spki(pkcs.export_xwing_public_key_spki(public_key)) == public_key
    assert pkcs.load_xwing_private_key_pkcs8(pkcs8) == seed
    assert pkcs.load_xwing_private_key_pkcs8(pkcs.export_xwing_private_key_pkcs8(seed)) == seed
    shown = asn1parse(spki)
    assert ":1.3.6.1.4.1.62253.25722" in shown and "l=1217 prim: BIT STRING" in shown
    shown = asn1parse(pkcs8)
    assert "prim: INTEGER           :00" in shown and ":1.3.6.1.4.1.62253.25722" in shown
    assert f"l=  32 prim: OCTET STRING      [HEX DUMP]:{seed.hex().upper()}" in shown


def test_ml_kem_and_x_wing_loaders_tell_each_other_apart():
    pair = tarnel.generate_keypair()
    with pytest.raises(tarnel.KeySerializationError, match="holds an X-Wing key"):
        pkcs.load_public_key_spki(SPKI_PEM)
    with pytest.raises(tarnel.KeySerializationError, match="holds an X-Wing key"):
        pkcs.load_secret_key_pkcs8(PKCS8_PEM)
    with pytest.raises(tarnel.KeySerializationError, match="ML-KEM-768 is not X-Wing"):
        pkcs.load_xwing_public_key_spki(tarnel.export_public_key_spki(pair.public_key))
    with pytest.raises(tarnel.KeySerializationError, match="ML-KEM-768 is not X-Wing"):
        pkcs.load_xwing_private_key_pkcs8(tarnel.export_secret_key_pkcs8(pair.secret_key))


SPKI = pkcs.load_xwing_public_key_spki(SPKI_PEM)
SPKI_DER = pkcs.export_xwing_public_key_spki(SPKI, "der")
PKCS8_DER = pkcs.export_xwing_private_key_pkcs8(bytes(range(32)), "der")


def spki_with(key, unused=b"\x00", params=b""):
    alg = bytes([0x30, len(OID_DER) + len(params)]) + OID_DER + params
    bits = unused + key
    bit_string = b"\x03\x82" + len(bits).to_bytes(2, "big") + bits
    body = alg + bit_string
    return b"\x30\x82" + len(body).to_bytes(2, "big") + body


@pytest.mark.parametrize("der, message", [
    (SPKI_DER + b"\x00", "unexpected bytes after the SubjectPublicKeyInfo"),
    (spki_with(SPKI[:-1]), "must be 1216 bytes, not 1215"),
    (spki_with(SPKI, unused=b"\x01"), "no unused bits"),
    (spki_with(SPKI, params=b"\x05\x00"), "parameters must be absent"),
    (spki_with(b"\xff\xff" + SPKI[2:]), "not reduced modulo q"),
], ids=["trailing", "short", "unused bits", "parameters", "unreduced"])
def test_spki_refusals(der, message):
    with pytest.raises(tarnel.KeySerializationError, match=message):
        pkcs.load_xwing_public_key_spki(der)


def pkcs8_with(seed, extra=b""):
    body = b"\x02\x01\x00" + bytes([0x30, len(OID_DER)]) + OID_DER
    body += bytes([0x04, len(seed)]) + seed + extra
    return bytes([0x30, len(body)]) + body


@pytest.mark.parametrize("der, message", [
    (PKCS8_DER + b"\x00", "unexpected bytes after the PrivateKeyInfo"),
    (pkcs8_with(bytes(31)), "must be the 32-byte seed, not 31 bytes"),
    (pkcs8_with(bytes(34)[:2] + bytes(32)), "must be the 32-byte seed, not 34 bytes"),
    (pkcs8_with(bytes(32), b"\xa0\x00"), "attributes or a public key"),
    (PKCS8_DER[:4] + b"\x01" + PKCS8_DER[5:], "only version 0"),
], ids=["trailing", "short", "wrapped seed", "attributes", "version"])
def test_pkcs8_refusals(der, message):
    with pytest.raises(tarnel.KeySerializationError, match=message):
        pkcs.load_xwing_private_key_pkcs8(der)


@pytest.mark.parametrize("call", [
    lambda: pkcs.export_xwing_public_key_spki(SPKI[:-1]),
    lambda: pkcs.export_xwing_public_key_spki(b"\xff\xff" + SPKI[2:]),
    lambda: pkcs.export_xwing_private_key_pkcs8(bytes(33)),
])
def test_export_refusals(call):
    with pytest.raises(tarnel.KeySerializationError):
        call()
