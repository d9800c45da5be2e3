"""The Base64 public-key text: serialize_public_key and deserialize_public_key
against Python's own base64 module."""

import base64
import os

import pytest

from tarnel import _tarnel_core as tc

from conftest import LEVELS, SIZES

L512 = LEVELS[0]


def urlsafe_unpadded(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


@pytest.mark.parametrize("n", list(range(0, 40)) + [800, 1184, 1568])
def test_serialize_matches_python_base64(n):
    data = os.urandom(n)
    text = tc.serialize_public_key(data)
    assert type(text) is str
    assert text == urlsafe_unpadded(data)
    assert "=" not in text


@pytest.mark.parametrize("level", LEVELS, ids=lambda lv: f"ML-KEM-{int(lv)}")
def test_public_key_text_round_trip(level):
    ek_len = SIZES[int(level)][0]
    key = os.urandom(ek_len)
    text = tc.serialize_public_key(key)
    assert len(text) == {800: 1067, 1184: 1579, 1568: 2091}[ek_len]
    back = tc.deserialize_public_key(text, level)
    assert type(back) is bytes and back == key
    for other in LEVELS:
        if other is not level:
            with pytest.raises(tc.InvalidParameterError) as e:
                tc.deserialize_public_key(text, other)
            assert str(e.value) == ("decoded public key has incorrect size for the "
                                    "specified security level")


def test_serialize_empty():
    assert tc.serialize_public_key(b"") == ""


def test_deserialize_default_level_is_768():
    key800 = tc.serialize_public_key(bytes(800))
    with pytest.raises(tc.InvalidParameterError) as e:
        tc.deserialize_public_key(key800)
    assert str(e.value) == "decoded public key has incorrect size for the specified security level"
    key = os.urandom(1184)
    assert tc.deserialize_public_key(tc.serialize_public_key(key)) == key


@pytest.fixture(scope="module")
def key800():
    # A key whose text contains both "-" and "_".
    while True:
        key = os.urandom(800)
        text = tc.serialize_public_key(key)
        if "-" in text and "_" in text:
            return key, text


ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


@pytest.mark.parametrize("variant", [
    lambda t: t + "\n", lambda t: "   " + t, lambda t: t + "==", lambda t: t + "=",
    lambda t: "\t\r\n" + t + " \x0b\x0c", lambda t: "\u3000\u00a0" + t + "\u2029\u0085",
    lambda t: t + "=====", lambda t: "\u1680\u2000\u200a" + t + "\u202f\u205f\u2028",
    lambda t: t + "==\n",
])
def test_deserialize_tolerates_surrounding_space_and_trailing_padding(key800, variant):
    key, text = key800
    assert tc.deserialize_public_key(variant(text), L512) == key


def next_char(c):
    return ALPHABET[ALPHABET.index(c) + 1]


@pytest.mark.parametrize("variant", [
    lambda t: t.replace("-", "+", 1),
    lambda t: t.replace("_", "/", 1),
    lambda t: t[:-1] + next_char(t[-1]),           # non-zero trailing bits
    lambda t: t[:500] + " " + t[500:],             # inner whitespace
    lambda t: t[:500] + "\u3000" + t[500:],
    lambda t: t[:10] + "=" + t[10:],               # "=" not at the end
    lambda t: "=" + t,
    lambda t: t + "==" + " =",
    lambda t: t + "A" * 2,                          # length 1 modulo 4
    lambda t: t + "\u200b",                        # zero-width space is not White_Space
    lambda t: "\ufeff" + t,
    lambda t: "\x1c" + t + "\x1f",              # str.isspace() but not White_Space
    lambda t: t[:-1] + "\u00e9",
    lambda t: t + "\x00",
])
def test_deserialize_refuses_non_canonical_text(key800, variant):
    _, text = key800
    with pytest.raises(tc.TarnelError) as e:
        tc.deserialize_public_key(variant(text), L512)
    assert type(e.value) is tc.TarnelError
    assert str(e.value) == "base64 decode error: invalid base64 URL-safe string"
    assert e.value.args == ("base64 decode error: invalid base64 URL-safe string",)


@pytest.mark.parametrize("text", ["", "   ", "=", "====", " \n= ", "AAAA"])
def test_deserialize_short_text_is_a_size_error(text):
    with pytest.raises(tc.InvalidParameterError) as e:
        tc.deserialize_public_key(text, L512)
    assert str(e.value) == "decoded public key has incorrect size for the specified security level"
