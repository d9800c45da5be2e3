"""A tour of tarnel's four uses: key encapsulation, one-shot hybrid
encryption, chunked streams, and key storage."""

import os
import tempfile
from pathlib import Path

import tarnel
from tarnel import SecurityLevel

# 1. ML-KEM key encapsulation (FIPS 203).
alice = tarnel.generate_keypair(SecurityLevel.ML_KEM_768)
print("key pair:", alice)
capsule, secret_sender = tarnel.encapsulate(alice.public_key)
secret_receiver = tarnel.decapsulate(capsule, alice.secret_key)
assert secret_sender == secret_receiver
print(f"encapsulated: {len(capsule)}-byte capsule, {len(secret_sender)}-byte shared secret")

# 2. One-shot hybrid encryption (ML-KEM + AES-256-GCM Transit Package).
package = tarnel.encrypt_hybrid(alice.public_key, b"meet me at the usual place")
assert tarnel.decrypt_hybrid(package, alice.secret_key) == b"meet me at the usual place"
print(f"sealed a message into a {len(package)}-byte package and opened it")

# 3. Streams: a file of several megabytes through the chunked format.
with tempfile.TemporaryDirectory() as tmp:
    plain = os.path.join(tmp, "report.bin")
    sealed = os.path.join(tmp, "report.bin.tarnel")
    opened = os.path.join(tmp, "report.out")
    with open(plain, "wb") as f:
        f.write(os.urandom(5 * 1024 * 1024 + 123))

    # Low level: the handles, frame by frame.
    header, enc = tarnel.stream_encryptor_new(alice.public_key, 64 * 1024)
    with open(plain, "rb") as src, open(sealed, "wb") as dst:
        dst.write(header)
        while chunk := src.read(64 * 1024):
            dst.write(enc.encrypt_chunk(chunk))
        dst.write(enc.finalize())

    with open(sealed, "rb") as src, open(opened, "wb") as dst:
        dec = tarnel.stream_decryptor_from_header(
            src.read(len(header)), alice.secret_key, SecurityLevel.ML_KEM_768)
        while True:
            length = int.from_bytes(src.read(4), "big")
            if length == 0:
                dec.process_eof(src.read(16))
                break
            dst.write(dec.decrypt_chunk(src.read(length), src.read(16)))
        assert dec.eof_seen(), "stream truncated"  # always check before finalize
        dec.finalize()
    assert Path(plain).read_bytes() == Path(opened).read_bytes()
    print(f"streamed {os.path.getsize(plain)} bytes through {os.path.getsize(sealed)} sealed bytes")

    # High level: the safe file API checks the end marker for you.
    tarnel.encrypt_file(plain, sealed, alice.public_key)
    tarnel.decrypt_file(sealed, opened, alice.secret_key)
    assert Path(plain).read_bytes() == Path(opened).read_bytes()
    print("encrypt_file / decrypt_file round trip ok")

# 4. Key storage: public keys as text, secret keys wrapped under a password.
password = b"correct horse battery staple, but longer and random"
b64 = alice.public_key_b64()
pem = alice.public_key_pem()
doc = alice.public_key_json()
blob = alice.export_secret_key_raw(password)
secret_pem = alice.export_secret_key_pem(password)
assert tarnel.deserialize_public_key(b64) == alice.public_key
assert tarnel.load_public_key_pem(pem) == alice.public_key
assert tarnel.load_public_key_json(doc) == (alice.public_key, alice.level)
assert tarnel.load_secret_key_raw(blob, password) == (alice.secret_key, alice.level)
assert tarnel.load_secret_key_pem(secret_pem, password) == (alice.secret_key, alice.level)
print(pem.splitlines()[0], "...", f"({len(pem)} characters)")
print(secret_pem.splitlines()[0], "...", f"({len(secret_pem)} characters)")
print("exported and reloaded every key form")
