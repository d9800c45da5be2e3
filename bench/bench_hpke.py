"""Cost of X-Wing and of single-shot HPKE beside pyca/cryptography's hpke.Suite.

Run with the built package on the path:

    PYTHONPATH=<build>/python python bench/bench_hpke.py [--quick] [--rounds N]

Every figure is the median per call over several repetitions, measured in
this process. For HPKE, pyca's Suite.encrypt / Suite.decrypt of the same
message with the same KEM, KDF and AEAD is the peer; a ratio above 1 means
tarnel is faster. Nothing is asserted.

The first tables set the X-Wing key objects (tarnel.xwing.PublicKey /
PrivateKey) against what X-Wing is made of: our ML-KEM-768 key objects
(tarnel.EncapsulationKey / DecapsulationKey) plus the X25519 operations it
needs (an encapsulation makes an ephemeral key from 32 bytes, takes its
public value and derives; a decapsulation derives with a loaded key), done
once with the system libcrypto that the core links (through ctypes) and once
with pyca's X25519, whose bundled OpenSSL may be another, faster version. A
ratio below 1.25 against the first meets the goal. The last table repeats
single-shot HPKE of a 32-byte message with keys loaded on both sides
(ours: Suite.load_public_key / load_private_key and the X-Wing key objects;
pyca: its key objects), --rounds times, and reports the median ratio.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import hashlib
import statistics
import time

from cryptography.hazmat.primitives import hpke as pyca
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519

import tarnel
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


class Libcrypto25519:
    """X25519 through the system libcrypto that tarnel's core links, called
    with ctypes: the operations X-Wing needs, each as one would write it with
    the EVP interface (a few ctypes calls, about a microsecond each)."""

    EVP_PKEY_X25519 = 1034

    def __init__(self) -> None:
        lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
        vp, sz = ctypes.c_void_p, ctypes.c_size_t
        lib.EVP_PKEY_new_raw_private_key.restype = vp
        lib.EVP_PKEY_new_raw_private_key.argtypes = [ctypes.c_int, vp, ctypes.c_char_p, sz]
        lib.EVP_PKEY_new_raw_public_key.restype = vp
        lib.EVP_PKEY_new_raw_public_key.argtypes = [ctypes.c_int, vp, ctypes.c_char_p, sz]
        lib.EVP_PKEY_get_raw_public_key.argtypes = [vp, ctypes.c_char_p, ctypes.POINTER(sz)]
        lib.EVP_PKEY_CTX_new.restype = vp
        lib.EVP_PKEY_CTX_new.argtypes = [vp, vp]
        lib.EVP_PKEY_derive_init.argtypes = [vp]
        lib.EVP_PKEY_derive_set_peer.argtypes = [vp, vp]
        lib.EVP_PKEY_derive.argtypes = [vp, ctypes.c_char_p, ctypes.POINTER(sz)]
        lib.EVP_PKEY_free.argtypes = [vp]
        lib.EVP_PKEY_CTX_free.argtypes = [vp]
        self.lib = lib
        self.buf = ctypes.create_string_buffer(32)
        self.n = sz(32)

    def private(self, scalar: bytes) -> int:
        return int(self.lib.EVP_PKEY_new_raw_private_key(self.EVP_PKEY_X25519, None, scalar, 32))

    def public(self, point: bytes) -> int:
        return int(self.lib.EVP_PKEY_new_raw_public_key(self.EVP_PKEY_X25519, None, point, 32))

    def derive(self, key: int, peer: int) -> bytes:
        lib = self.lib
        ctx = lib.EVP_PKEY_CTX_new(key, None)
        lib.EVP_PKEY_derive_init(ctx)
        lib.EVP_PKEY_derive_set_peer(ctx, peer)
        self.n.value = 32
        lib.EVP_PKEY_derive(ctx, self.buf, ctypes.byref(self.n))
        lib.EVP_PKEY_CTX_free(ctx)
        return self.buf.raw

    def ephemeral(self, scalar: bytes, peer: int) -> bytes:
        """An ephemeral key from 32 bytes: its public value, then DH with peer."""
        key = self.private(scalar)
        self.n.value = 32
        self.lib.EVP_PKEY_get_raw_public_key(key, self.buf, ctypes.byref(self.n))
        self.derive(key, peer)
        self.lib.EVP_PKEY_free(key)
        return self.buf.raw


def xwing_against_libcrypto(calls: int, repeats: int) -> list[tuple[str, float, float]]:
    """As xwing_against_parts, with the X25519 operations done by the system
    libcrypto itself (the library tarnel's core uses), keys loaded once where
    the X-Wing objects load them once."""
    c = Libcrypto25519()
    seed, pk = xwing.generate_keypair()
    public, private = xwing.PublicKey(pk), xwing.PrivateKey(seed)
    eseed = bytes(range(64))
    ct, _ = public.encapsulate(eseed)
    expanded = hashlib.shake_256(seed).digest(96)
    m_pair = tarnel.generate_keypair_deterministic(expanded[:32], expanded[32:64])
    ek, dk = tarnel.EncapsulationKey(m_pair.public_key), tarnel.DecapsulationKey(m_pair.secret_key)
    sk_x, pk_x = c.private(expanded[64:]), c.public(pk[1184:])
    ct_m, ct_x = ct[:1088], ct[1088:]
    m, ek_x = eseed[:32], eseed[32:]

    def parts_encaps() -> None:
        ek.encapsulate_deterministic(m)
        c.ephemeral(ek_x, pk_x)

    def parts_decaps() -> None:
        dk.decapsulate(ct_m)
        peer = c.public(ct_x)
        c.derive(sk_x, peer)
        c.lib.EVP_PKEY_free(peer)

    return [
        ("encapsulate", per_call(lambda: public.encapsulate(eseed), calls, repeats),
         per_call(parts_encaps, calls, repeats)),
        ("decapsulate", per_call(lambda: private.decapsulate(ct), calls, repeats),
         per_call(parts_decaps, calls, repeats)),
    ]


def xwing_against_parts(calls: int, repeats: int) -> list[tuple[str, float, float]]:
    """(operation, X-Wing key object, ML-KEM-768 key object + X25519) per call."""
    seed, pk = xwing.generate_keypair()
    public, private = xwing.PublicKey(pk), xwing.PrivateKey(seed)
    eseed = bytes(range(64))
    ct, _ = public.encapsulate(eseed)
    expanded = hashlib.shake_256(seed).digest(96)
    m_pair = tarnel.generate_keypair_deterministic(expanded[:32], expanded[32:64])
    ek, dk = tarnel.EncapsulationKey(m_pair.public_key), tarnel.DecapsulationKey(m_pair.secret_key)
    sk_x = x25519.X25519PrivateKey.from_private_bytes(expanded[64:])
    pk_x = x25519.X25519PublicKey.from_public_bytes(pk[1184:])
    ct_m, ct_x = ct[:1088], x25519.X25519PublicKey.from_public_bytes(ct[1088:])
    m, ek_x = eseed[:32], eseed[32:]

    def parts_encaps() -> None:
        ek.encapsulate_deterministic(m)
        eph = x25519.X25519PrivateKey.from_private_bytes(ek_x)
        eph.public_key().public_bytes_raw()
        eph.exchange(pk_x)

    def parts_decaps() -> None:
        dk.decapsulate(ct_m)
        sk_x.exchange(ct_x)

    return [
        ("encapsulate", per_call(lambda: public.encapsulate(eseed), calls, repeats),
         per_call(parts_encaps, calls, repeats)),
        ("decapsulate", per_call(lambda: private.decapsulate(ct), calls, repeats),
         per_call(parts_decaps, calls, repeats)),
    ]


def hpke_loaded(calls: int, repeats: int) -> list[tuple[str, float, float]]:
    """(case, ours, pyca) per call: single-shot HPKE of 32 bytes, keys loaded."""
    message = bytes(32)
    rows = []
    for kem, peer in ((KEM.ML_KEM_768, pyca.KEM.MLKEM768),
                      (KEM.X_WING, pyca.KEM.MLKEM768_X25519)):
        suite = Suite(kem, KDF.HKDF_SHA256, AEAD.AES_128_GCM)
        theirs = pyca.Suite(peer, pyca.KDF.HKDF_SHA256, pyca.AEAD.AES_128_GCM)
        sk, pk = suite.generate_key_pair()
        psk, ppk = pyca_keys(kem, sk, pk)
        keys = [("loaded", suite.load_public_key(pk), suite.load_private_key(sk))]
        if kem == KEM.X_WING:
            keys.append(("xwing objects", xwing.PublicKey(pk), xwing.PrivateKey(sk)))
        sealed = suite.seal(pk, message)
        pyca_seal = per_call(lambda: theirs.encrypt(message, ppk), calls, repeats)
        pyca_open = per_call(lambda: theirs.decrypt(sealed, psk), calls, repeats)
        for how, public, private in keys:
            rows.append((f"{kem.name} seal ({how})",
                         per_call(lambda: suite.seal(public, message), calls, repeats), pyca_seal))
            rows.append((f"{kem.name} open ({how})",
                         per_call(lambda: suite.open(private, sealed), calls, repeats), pyca_open))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls")
    parser.add_argument("--rounds", type=int, default=5,
                        help="rounds of the ratio tables; the median is shown")
    args = parser.parse_args()
    calls, repeats = (50, 3) if args.quick else (300, 7)

    for title, table in (
            ("X-Wing key objects vs ML-KEM-768 key objects + X25519 (system libcrypto "
             "via ctypes); ratio = X-Wing / parts, goal <= 1.25", xwing_against_libcrypto),
            ("X-Wing key objects vs ML-KEM-768 key objects + X25519 (pyca, its own "
             "OpenSSL); ratio = X-Wing / parts", xwing_against_parts),
            ("HPKE single shot, 32 bytes, keys loaded on both sides; "
             "ratio = pyca / ours", hpke_loaded)):
        rounds: dict[str, list[tuple[float, float]]] = {}
        for _ in range(args.rounds):
            for name, ours, peer in table(calls, repeats):
                rounds.setdefault(name, []).append((ours, peer))
        print(title + f", microseconds per call, median of {args.rounds} rounds")
        for name, values in rounds.items():
            ours = statistics.median(v[0] for v in values)
            peer = statistics.median(v[1] for v in values)
            if table in (xwing_against_parts, xwing_against_libcrypto):
                ratio = statistics.median(v[0] / v[1] for v in values)
            else:
                ratio = statistics.median(v[1] / v[0] for v in values)
            print(f"  {name:34s} {ours * 1e6:8.1f}  ({peer * 1e6:8.1f}; {ratio:4.2f})")

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
