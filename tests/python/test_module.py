"""The module frame: registration, exceptions, SecurityLevel, argument binding
and conversion."""

import inspect
import os

import pytest

import tarnel
from tarnel import _tarnel_core as tc

from conftest import LEVELS

L512, L768, L1024 = LEVELS

REGISTRATION_ORDER = [
    "TarnelError", "DecapsulationError", "DecryptionError", "InvalidParameterError",
    "RngError", "KeySerializationError", "SecurityLevel", "KeyPair", "generate_keypair",
    "encapsulate", "decapsulate", "serialize_public_key", "deserialize_public_key",
    "generate_keypair_deterministic", "encapsulate_deterministic", "encrypt_hybrid",
    "decrypt_hybrid", "load_public_key_pem", "load_public_key_json", "load_secret_key_raw",
    "load_secret_key_pem", "StreamEncryptorHandle", "StreamDecryptorHandle",
    "stream_encryptor_new", "stream_decryptor_from_header",
]


# ---------------------------------------------------------------- module

def test_module_docstring():
    assert tc.__doc__ == ("Modulo Python `_tarnel_core`.\n\n"
                          "Registra todas las funciones, clases y excepciones expuestas a Python.")
    assert tc.__name__ == "tarnel._tarnel_core"


def test_all_follows_registration_order():
    names = tc.__all__
    assert type(names) is list
    assert names == REGISTRATION_ORDER
    for name in names:
        assert hasattr(tc, name)
    public = {n for n in dir(tc) if not n.startswith("_")}
    assert public == set(names)


def test_package_reexports_every_name():
    assert tarnel.__all__[: len(tc.__all__)] == tc.__all__  # native names first
    for name in tc.__all__:
        assert getattr(tarnel, name) is getattr(tc, name)


# ---------------------------------------------------------------- exceptions

EXCEPTIONS = [
    ("TarnelError", Exception, "Base exception for all Tarnel errors."),
    ("DecapsulationError", "TarnelError", "ML-KEM structural decapsulation error."),
    ("DecryptionError", "TarnelError", "AES-GCM authentication tag verification failed."),
    ("InvalidParameterError", "TarnelError", "Invalid parameter (buffer size, security level)."),
    ("RngError", "TarnelError", "CSPRNG not available from the operating system."),
    ("KeySerializationError", "TarnelError",
     "Invalid key serialization format (PEM header, JSON, magic bytes, truncated blob)."),
]


@pytest.mark.parametrize("name,base,doc", EXCEPTIONS, ids=[e[0] for e in EXCEPTIONS])
def test_exception_class(name, base, doc):
    cls = getattr(tc, name)
    base = getattr(tc, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "tarnel"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__doc__ == doc
    assert issubclass(cls, tc.TarnelError)
    e = cls("message")
    assert e.args == ("message",) and str(e) == "message"


def test_exception_hierarchy():
    assert tc.TarnelError.__mro__ == (tc.TarnelError, Exception, BaseException, object)
    for name, _, _ in EXCEPTIONS[1:]:
        cls = getattr(tc, name)
        assert cls.__mro__ == (cls, tc.TarnelError, Exception, BaseException, object)
        for builtin in (ValueError, TypeError, RuntimeError, OSError, LookupError):
            assert not issubclass(cls, builtin)


def test_raised_classes_are_the_registered_objects():
    with pytest.raises(tc.TarnelError) as e:
        tc.deserialize_public_key("not base64!")
    assert type(e.value) is tc.TarnelError
    assert e.value.args == ("base64 decode error: invalid base64 URL-safe string",)
    with pytest.raises(tc.InvalidParameterError) as e:
        tc.encapsulate(bytes(1184), L512)
    assert type(e.value) is tc.InvalidParameterError
    assert e.value.args == ("encryption key has incorrect size",)


def test_fatal_exceptions_are_not_registered():
    assert not any(isinstance(v, type) and issubclass(v, BaseException)
                   and not issubclass(v, Exception) for v in vars(tc).values())


# ---------------------------------------------------------------- SecurityLevel

def test_security_level_class():
    cls = tc.SecurityLevel
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == "SecurityLevel" and cls.__name__ == "SecurityLevel"
    assert cls.__doc__.startswith("Nivel de seguridad ML-KEM.\n\n")
    assert len(cls.__doc__.split("\n")) == 3 and "UPPER_CASE" in cls.__doc__
    own = {n for n in vars(cls) if not n.startswith("__")}
    assert own == {"ML_KEM_512", "ML_KEM_768", "ML_KEM_1024"}
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type(L768)(768)


@pytest.mark.parametrize("level,value,text", [(L512, 512, "SecurityLevel.ML_KEM_512"),
                                              (L768, 768, "SecurityLevel.ML_KEM_768"),
                                              (L1024, 1024, "SecurityLevel.ML_KEM_1024")])
def test_security_level_values(level, value, text):
    assert type(level) is tc.SecurityLevel
    assert int(level) == value and type(int(level)) is int
    assert repr(level) == text and str(level) == text
    assert level is getattr(tc.SecurityLevel, text.split(".")[1])
    assert not hasattr(level, "__dict__")
    assert not hasattr(level, "__index__")  # only int() converts
    with pytest.raises(TypeError):
        [0, 1][level]


class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


HUGE = 2 ** 80

# (left, right, expected ==); != is always the opposite.
EQUALITY = [
    (L768, 768, True), (L768, 512, False), (L512, L1024, False), (L1024, L1024, True),
    (L768, "768", False), (L768, 768.0, False), (L768, HUGE, False), (L768, -HUGE, False),
    (L768, None, False), (L768, Indexable(768), True), (L512, Indexable(513), False),
    (L512, True, False), (768, L768, True), (L1024, -1, False), (L1024, 1024, True),
]


@pytest.mark.parametrize("left,right,equal", EQUALITY)
def test_security_level_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


def test_security_level_equality_with_other_object_returns_notimplemented():
    assert L768.__eq__("768") is NotImplemented
    assert L768.__ne__(768.0) is NotImplemented
    assert L768.__eq__(HUGE) is NotImplemented
    assert L768.__eq__(768) is True


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
@pytest.mark.parametrize("right", [L768, 768, "x"])
def test_security_level_has_no_ordering(op, right):
    with pytest.raises(TypeError):
        eval(f"left {op} right", {"left": L512, "right": right})
    assert getattr(L512, {"<": "__lt__", "<=": "__le__", ">": "__gt__",
                          ">=": "__ge__"}[op])(right) is NotImplemented


def test_security_level_is_unhashable():
    assert tc.SecurityLevel.__hash__ is None
    for level in LEVELS:
        with pytest.raises(TypeError):
            hash(level)
        with pytest.raises(TypeError):
            {level}


# ---------------------------------------------------------------- signatures and docstrings

SIGNATURES = {
    "generate_keypair": "(level=...)",
    "encapsulate": "(public_key, level=...)",
    "decapsulate": "(capsule, secret_key, level=...)",
    "serialize_public_key": "(public_key)",
    "deserialize_public_key": "(b64, level=...)",
    "generate_keypair_deterministic": "(d, z, level=...)",
    "encapsulate_deterministic": "(public_key, m, level=...)",
    "encrypt_hybrid": "(recipient_public_key, plaintext, level=...)",
    "decrypt_hybrid": "(encrypted_package, secret_key, level=...)",
    "load_public_key_pem": "(pem, level=...)",
    "load_public_key_json": "(json)",
    "load_secret_key_raw": "(blob, password)",
    "load_secret_key_pem": "(pem, password)",
    "stream_encryptor_new": "(recipient_public_key, chunk_size, level=...)",
    "stream_decryptor_from_header": "(header_bytes, secret_key, level)",
}

DOCS = {
    "serialize_public_key":
        "Serializa una llave publica ML-KEM a Base64 URL-safe sin padding.\n\nArgs:\n"
        "    public_key: La llave publica como bytes.\n\nReturns:\n"
        "    str: La llave publica en formato Base64 URL-safe sin padding.",
    "deserialize_public_key":
        "Deserializa una llave publica ML-KEM desde Base64 URL-safe.\n\nArgs:\n"
        "    b64 (str): El string Base64 URL-safe con la llave publica.\n"
        "    level (SecurityLevel): El nivel de seguridad ML-KEM esperado.\n\nReturns:\n"
        "    bytes: Los bytes de la llave publica.\n\nRaises:\n"
        "    TarnelError: Si el string no es Base64 valido.\n"
        "    InvalidParameterError: Si el tamano no coincide con el nivel.",
}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_text_signature_and_help(name):
    fn = getattr(tc, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    params = inspect.signature(fn).parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert [p.name for p in params.values()] == SIGNATURES[name][1:-1].replace(
        "=...", "").split(", ")
    optional = [p.name for p in params.values() if p.default is not inspect.Parameter.empty]
    assert optional == (["level"] if "level=" in SIGNATURES[name] else [])
    assert fn.__module__ == "tarnel._tarnel_core"
    assert fn.__self__ is tc
    assert not fn.__doc__.startswith(name)  # the signature line is split off
    if name in DOCS:
        assert fn.__doc__ == DOCS[name]


# ---------------------------------------------------------------- binding errors

EK768 = bytes(1184)

BINDING_ERRORS = [
    (tc.decapsulate, (), {},
     "decapsulate() missing 2 required positional arguments: 'capsule' and 'secret_key'"),
    (tc.decapsulate, (b"",), {},
     "decapsulate() missing 1 required positional argument: 'secret_key'"),
    (tc.decapsulate, (), {"level": L768},
     "decapsulate() missing 2 required positional arguments: 'capsule' and 'secret_key'"),
    (tc.decapsulate, (b"", b"", L768, 1), {},
     "decapsulate() takes from 2 to 3 positional arguments but 4 were given"),
    (tc.deserialize_public_key, ("", L768, 3), {},
     "deserialize_public_key() takes from 1 to 2 positional arguments but 3 were given"),
    (tc.serialize_public_key, (b"", b""), {},
     "serialize_public_key() takes 1 positional arguments but 2 were given"),
    (tc.serialize_public_key, (), {},
     "serialize_public_key() missing 1 required positional argument: 'public_key'"),
    (tc.generate_keypair, (L768, L768), {},
     "generate_keypair() takes from 0 to 1 positional arguments but 2 were given"),
    (tc.generate_keypair, (), {"levels": L768},
     "generate_keypair() got an unexpected keyword argument 'levels'"),
    (tc.generate_keypair, (L768,), {"level": L768},
     "generate_keypair() got multiple values for argument 'level'"),
    (tc.encapsulate, (EK768,), {"public_key": EK768},
     "encapsulate() got multiple values for argument 'public_key'"),
    (tc.encapsulate, (), {"publickey": EK768},
     "encapsulate() got an unexpected keyword argument 'publickey'"),
    (tc.encapsulate_deterministic, (), {},
     "encapsulate_deterministic() missing 2 required positional arguments: 'public_key' and 'm'"),
    (tc.generate_keypair_deterministic, (1, 2, 3, 4), {},
     "generate_keypair_deterministic() takes from 2 to 3 positional arguments but 4 were given"),
    (tc.serialize_public_key, (), {"\udc80": 1},
     "serialize_public_key() got an unexpected keyword argument '\udc80'"),
    # Too many positional arguments is reported before any keyword problem,
    # keyword problems in the order given, and missing arguments last.
    (tc.deserialize_public_key, ("", L768, 3), {"bogus": 1},
     "deserialize_public_key() takes from 1 to 2 positional arguments but 3 were given"),
    (tc.decapsulate, (), {"x": 1, "capsule": b""},
     "decapsulate() got an unexpected keyword argument 'x'"),
    (tc.decapsulate, (b"",), {"capsule": b"", "x": 1},
     "decapsulate() got multiple values for argument 'capsule'"),
    (tc.decapsulate, (), {"level": L768, "level2": 1},
     "decapsulate() got an unexpected keyword argument 'level2'"),
    # A binding error comes before any conversion.
    (tc.decapsulate, (None,), {},
     "decapsulate() missing 1 required positional argument: 'secret_key'"),
]


@pytest.mark.parametrize("fn,args,kwargs,message", BINDING_ERRORS)
def test_binding_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        fn(*args, **kwargs)
    assert type(e.value) is TypeError
    assert str(e.value) == message
    assert getattr(e.value, "__notes__", []) == []


def test_keywords_bind_like_positions():
    key = os.urandom(800)
    text = tc.serialize_public_key(public_key=key)
    assert tc.deserialize_public_key(level=L512, b64=text) == key
    assert tc.deserialize_public_key(text, level=L512) == key
    assert tc.generate_keypair(level=L512).level is L512


# ---------------------------------------------------------------- conversion errors

# Each function with valid arguments and the kind of each parameter.
VALID_CALLS = {
    "generate_keypair": [("level", "SecurityLevel", L512)],
    "encapsulate": [("public_key", "bytes", bytes(800)), ("level", "SecurityLevel", L512)],
    "decapsulate": [("capsule", "bytes", bytes(768)), ("secret_key", "bytes", bytes(1632)),
                    ("level", "SecurityLevel", L512)],
    "serialize_public_key": [("public_key", "bytes", b"")],
    "deserialize_public_key": [("b64", "str", ""), ("level", "SecurityLevel", L512)],
    "generate_keypair_deterministic": [("d", "bytes", bytes(32)), ("z", "bytes", bytes(32)),
                                       ("level", "SecurityLevel", L512)],
    "encapsulate_deterministic": [("public_key", "bytes", bytes(800)), ("m", "bytes", bytes(32)),
                                  ("level", "SecurityLevel", L512)],
}

BAD_VALUES = {
    "bytes": [bytearray(b"ab"), memoryview(b"ab"), "ab", 7, None, L768, [1]],
    "str": [b"ab", bytearray(b"ab"), 7, None, L768],
    "SecurityLevel": [768, 512, "ML_KEM_768", None, b"", 1.5, True],
}


def expected_type_message(value, kind):
    if value is None:
        return f"'None' is not an instance of '{kind}'"
    return f"'{type(value).__qualname__}' object is not an instance of '{kind}'"


CONVERSION_CASES = [
    pytest.param(fn, index, bad, id=f"{fn}-{param}-{type(bad).__name__}")
    for fn, params in VALID_CALLS.items()
    for index, (param, kind, _) in enumerate(params)
    for bad in BAD_VALUES[kind]
]


@pytest.mark.parametrize("fn,index,bad", CONVERSION_CASES)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_conversion_errors(fn, index, bad, by_keyword):
    params = VALID_CALLS[fn]
    values = [v for _, _, v in params]
    values[index] = bad
    name, kind, _ = params[index]
    with pytest.raises(TypeError) as e:
        if by_keyword:
            getattr(tc, fn)(**{p: v for (p, _, _), v in zip(params, values)})
        else:
            getattr(tc, fn)(*values)
    assert type(e.value) is TypeError
    assert str(e.value) == expected_type_message(bad, kind)
    assert e.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize("fn", [f for f, p in VALID_CALLS.items() if len(p) > 1])
def test_conversion_stops_at_the_first_bad_parameter(fn):
    params = VALID_CALLS[fn]
    with pytest.raises(TypeError) as e:
        getattr(tc, fn)(*([None] * len(params)))
    assert e.value.__notes__ == [f"while processing '{params[0][0]}'"]
    # The last parameter alone is wrong: its note, and nothing about the others.
    values = [v for _, _, v in params[:-1]] + [None]
    with pytest.raises(TypeError) as e:
        getattr(tc, fn)(*values)
    assert e.value.__notes__ == [f"while processing '{params[-1][0]}'"]


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


def test_subclasses_of_bytes_and_str_are_accepted():
    key = os.urandom(800)
    text = tc.serialize_public_key(BytesSub(key))
    assert text == tc.serialize_public_key(key)
    assert tc.deserialize_public_key(StrSub(text), L512) == key


def test_string_without_utf8_form_keeps_the_encoding_error():
    with pytest.raises(UnicodeEncodeError) as e:
        tc.deserialize_public_key("abc\ud800")
    assert e.value.__notes__ == ["while processing 'b64'"]
