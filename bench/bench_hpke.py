"""Cost of X-Wing and of single-shot HPKE beside pyca/cryptography's hpke.Suite.

Run with the built package on the path:

    PYTHONPATH=<build>/python python bench/bench_hpke.py [--quick]

Every figure is the median per call over several repetitions, measured in
this process. For HPKE, pyca's Suite.encrypt / Suite.decrypt of the same
1 KiB message with the same KEM, KDF and AEAD is the peer; a ratio above 1
means tarnel is faster. Nothing is asserted.
"""

from __future__ import annotations

import argparse
import hashlib
import statistics
import time

from cryptography.hazmat.primitives import hpke as pyca
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519

from tarnel import xwing
from tarnel.hpke import AEAD, KDF, KEM, Suite


def per_call(fn, calls: int, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def pyca_keys(kem: KEM, sk: bytes, pk: bytes):
    if kem == KEM.ML_KEM_768:
        return mlkem.MLKEM768PrivateKey.from_seed_bytes(sk), mlkem.MLKEM768PublicKey.from_public_bytes(pk)
    if kem == KEM.DHKEM_X25519_HKDF_SHA256:
        return (x25519.X25519PrivateKey.from_private_bytes(sk),
                x25519.X25519PublicKey.from_public_bytes(pk))
    expanded = hashlib.shake_256(sk).digest(96)  # X-Wing
    m = mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64])
    x = x25519.X25519PrivateKey.from_private_bytes(expanded[64:])
    private = pyca.MLKEM768X25519PrivateKey(m, x)
    return private, private.public_key()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls")
    args = parser.parse_args()
    calls, repeats = (50, 3) if args.quick else (300, 7)

    sk, pk = xwing.generate_keypair()
    ct, _ = xwing.encapsulate(pk)
    print("X-Wing, microseconds per call")
    for name, fn in (("generate_keypair", xwing.generate_keypair),
                     ("encapsulate", lambda: xwing.encapsulate(pk)),
                     ("decapsulate", lambda: xwing.decapsulate(ct, sk))):
        print(f"  {name:18s} {per_call(fn, calls, repeats) * 1e6:8.1f}")

    print("HPKE single shot, 1 KiB, microseconds per call (pyca; ratio)")
    message = bytes(1024)
    for kem, kdf, aead, peer in (
            (KEM.X_WING, KDF.HKDF_SHA256, AEAD.AES_256_GCM, pyca.KEM.MLKEM768_X25519),
            (KEM.ML_KEM_768, KDF.SHAKE256, AEAD.CHACHA20_POLY1305, pyca.KEM.MLKEM768),
            (KEM.DHKEM_X25519_HKDF_SHA256, KDF.HKDF_SHA256, AEAD.AES_128_GCM, pyca.KEM.X25519)):
        suite = Suite(kem, kdf, aead)
        theirs = pyca.Suite(peer, getattr(pyca.KDF, kdf.name), getattr(pyca.AEAD, aead.name))
        sk, pk = suite.generate_key_pair()
        loaded = suite.load_private_key(sk)
        psk, ppk = pyca_keys(kem, sk, pk)
        sealed = suite.seal(pk, message)
        rows = (
            ("seal", lambda: suite.seal(pk, message), lambda: theirs.encrypt(message, ppk)),
            ("open (bytes key)", lambda: suite.open(sk, sealed), lambda: theirs.decrypt(sealed, psk)),
            ("open (loaded key)", lambda: suite.open(loaded, sealed),
             lambda: theirs.decrypt(sealed, psk)),
        )
        print(f"  {kem.name} / {kdf.name} / {aead.name}")
        for name, ours, peer_fn in rows:
            a, b = per_call(ours, calls, repeats), per_call(peer_fn, calls, repeats)
            print(f"    {name:18s} {a * 1e6:8.1f}  ({b * 1e6:8.1f}; {b / a:4.2f})")


if __name__ == "__main__":
    main()
