"""Fuzzes the Python entry points of tarnel._tarnel_core and the key objects
of tarnel._tarnel_pq with atheris: random functions and methods called with valid, damaged, random and mistyped
arguments, by position or keyword, with arguments left out or added.

Only the documented exception types may come out: TypeError (binding and
conversion), ValueError (seed and message lengths; UnicodeEncodeError for
text without UTF-8 form), OverflowError (chunk_size) and the module's
TarnelError family. Anything else, or a crash, stops the run.

    pip install atheris
    PYTHONPATH=<build>/python python tests/fuzz/py_entrypoints_fuzz.py -runs=20000
"""

import sys

import atheris

with atheris.instrument_imports():
    from tarnel import _tarnel_core as tc
    from tarnel import _tarnel_pq as pq

LEVELS = [tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_768, tc.SecurityLevel.ML_KEM_1024]
ALLOWED = (TypeError, ValueError, OverflowError, tc.TarnelError)

# Valid material per level, from fixed seeds.
MATERIAL = []
for _level in LEVELS:
    _kp = tc.generate_keypair_deterministic(bytes(range(32)), bytes(range(32, 64)), _level)
    _header, _enc = tc.stream_encryptor_new(_kp.public_key, 64, _level)
    _frame = _enc.encrypt_chunk(b"chunk")
    MATERIAL.append({
        "kp": _kp,
        "bytes": [_kp.public_key, _kp.secret_key, tc.encapsulate(_kp.public_key, _level)[0],
                  tc.encrypt_hybrid(_kp.public_key, b"message", _level),
                  _kp.export_secret_key_raw(b"pw"), _header, _frame[4:-16], _frame[-16:],
                  b"pw", bytes(32)],
        "str": [_kp.public_key_b64(), _kp.public_key_pem(), _kp.public_key_json(),
                _kp.export_secret_key_pem(b"pw")],
    })

FUNCTIONS = [
    ("generate_keypair", ["level"]),
    ("encapsulate", ["public_key", "level"]),
    ("decapsulate", ["capsule", "secret_key", "level"]),
    ("serialize_public_key", ["public_key"]),
    ("deserialize_public_key", ["b64", "level"]),
    ("generate_keypair_deterministic", ["d", "z", "level"]),
    ("encapsulate_deterministic", ["public_key", "m", "level"]),
    ("encrypt_hybrid", ["recipient_public_key", "plaintext", "level"]),
    ("decrypt_hybrid", ["encrypted_package", "secret_key", "level"]),
    ("load_public_key_pem", ["pem", "level"]),
    ("load_public_key_json", ["json"]),
    ("load_secret_key_raw", ["blob", "password"]),
    ("load_secret_key_pem", ["pem", "password"]),
    ("stream_encryptor_new", ["recipient_public_key", "chunk_size", "level"]),
    ("stream_decryptor_from_header", ["header_bytes", "secret_key", "level"]),
]
STR_PARAMS = {"b64", "pem", "json"}

KEYPAIR_METHODS = [("public_key_b64", []), ("public_key_pem", []), ("public_key_json", []),
                   ("export_secret_key_raw", ["password"]), ("export_secret_key_pem", ["password"])]
ENCRYPTOR_METHODS = [("encrypt_chunk", ["plaintext"]), ("finalize", []), ("chunk_index", []),
                     ("chunk_size", []), ("base_nonce", [])]
KEY_OBJECTS = [("EncapsulationKey", ["public_key", "level"]),
               ("DecapsulationKey", ["secret_key", "level"])]
KEY_OBJECT_METHODS = [("encapsulate", []), ("encapsulate_deterministic", ["m"]),
                      ("decapsulate", ["ciphertext"])]
DECRYPTOR_METHODS = [("decrypt_chunk", ["ciphertext", "tag"]), ("process_eof", ["tag"]),
                     ("finalize", []), ("chunk_index", []), ("chunk_size", []), ("eof_seen", [])]


def damaged(fdp, b):
    """b with one byte changed, cut short or extended."""
    if not b:
        return fdp.ConsumeBytes(4)
    choice = fdp.ConsumeIntInRange(0, 2)
    if choice == 0:
        i = fdp.ConsumeIntInRange(0, len(b) - 1)
        return b[:i] + bytes([b[i] ^ (fdp.ConsumeIntInRange(1, 255))]) + b[i + 1:]
    if choice == 1:
        return b[:fdp.ConsumeIntInRange(0, len(b) - 1)]
    return b + fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 8))


def value_for(fdp, name, material):
    """An argument for parameter `name`: usually of the right type, sometimes not."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return fdp.PickValueInList([None, 768, 1.5, bytearray(b"ab"), memoryview(b"ab"), "x",
                                    b"x", LEVELS[0], [], object()])
    if name == "level":
        return fdp.PickValueInList(LEVELS)
    if name == "chunk_size":
        return fdp.PickValueInList([0, 1, 64, 1 << 24, (1 << 24) + 1, -1, 1 << 32, 1 << 64,
                                    fdp.ConsumeInt(9)])
    if name in STR_PARAMS:
        if kind <= 4:
            text = fdp.PickValueInList(material["str"])
            return damaged(fdp, text.encode()).decode("utf-8", "surrogateescape") if kind <= 2 \
                else text
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 200))
    if kind <= 4:
        b = fdp.PickValueInList(material["bytes"])
        return damaged(fdp, b) if kind <= 2 else b
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4000))


def call(fdp, fn, params, material):
    """Calls fn with arguments for `params`, bound by position or keyword, with
    one sometimes left out or one extra added."""
    args, kwargs = [], {}
    by_keyword = False
    for name in params:
        if fdp.ConsumeIntInRange(0, 15) == 0:
            continue  # left out
        v = value_for(fdp, name, material)
        by_keyword = by_keyword or fdp.ConsumeBool()
        if by_keyword:
            kwargs[name] = v
        else:
            args.append(v)
    extra = fdp.ConsumeIntInRange(0, 31)
    if extra == 0:
        args.append(b"extra")
    elif extra == 1:
        kwargs["unknown"] = 1
    return fn(*args, **kwargs)


def check_result(name, result):
    """Light checks on what a successful call returned."""
    if name in ("load_secret_key_raw", "load_secret_key_pem", "load_public_key_json"):
        key, level = result
        assert type(key) is bytes and level in LEVELS, name
    elif name == "deserialize_public_key" or name == "load_public_key_pem":
        assert len(result) in (800, 1184, 1568), name


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    material = MATERIAL[fdp.ConsumeIntInRange(0, 2)]
    target = fdp.ConsumeIntInRange(0, len(FUNCTIONS) + 3)
    try:
        if target < len(FUNCTIONS):
            name, params = FUNCTIONS[target]
            check_result(name, call(fdp, getattr(tc, name), params, material))
        elif target == len(FUNCTIONS):
            name, params = fdp.PickValueInList(KEYPAIR_METHODS)
            call(fdp, getattr(material["kp"], name), params, material)
        elif target == len(FUNCTIONS) + 1:
            # A key object made from the arguments given (often refused), then
            # methods of the valid objects of this level on their arguments.
            name, params = fdp.PickValueInList(KEY_OBJECTS)
            try:
                call(fdp, getattr(pq, name), params, material)
            except ALLOWED:
                pass
            kp = material["kp"]
            dk = pq.DecapsulationKey(kp.secret_key)
            objects = [dk, dk.encapsulation_key, pq.EncapsulationKey(kp.public_key, kp.level)]
            for _ in range(fdp.ConsumeIntInRange(1, 4)):
                obj = fdp.PickValueInList(objects)
                name, params = fdp.PickValueInList(KEY_OBJECT_METHODS)
                if hasattr(obj, name):
                    try:
                        call(fdp, getattr(obj, name), params, material)
                    except ALLOWED:
                        pass
        else:
            kp = material["kp"]
            level = kp.level
            header, enc = tc.stream_encryptor_new(kp.public_key, 64, level)
            dec = tc.stream_decryptor_from_header(header, kp.secret_key, level)
            for _ in range(fdp.ConsumeIntInRange(1, 6)):
                handle, methods = fdp.PickValueInList([(enc, ENCRYPTOR_METHODS),
                                                       (dec, DECRYPTOR_METHODS)])
                name, params = fdp.PickValueInList(methods)
                try:
                    call(fdp, getattr(handle, name), params, material)
                except ALLOWED:
                    pass
    except ALLOWED as e:
        if type(e) is tc.TarnelError:
            assert str(e).startswith("base64 decode error: "), repr(e)


def main():
    # The extension is native code without coverage; instrumenting this
    # harness's own branches gives libFuzzer feedback on the paths taken.
    atheris.instrument_func(TestOneInput)
    for fn in (call, value_for, damaged, check_result):
        atheris.instrument_func(fn)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
