"""Throughput of the symmetric envelopes beside plain AES-256-GCM.

Run with the built package on the path:

    PYTHONPATH=<build>/python python bench/bench_symmetric.py [--quick]

Every figure is the median of several repetitions, measured in this process
on the same data as its AES-GCM peer (pyca/cryptography's AESGCM, which also
calls OpenSSL). Ratios above 1 mean faster than the peer. Nothing is asserted.
"""

from __future__ import annotations

import argparse
import os
import statistics
import struct
import threading
import time

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from tarnel import _tarnel_core as tc

KiB = 1024
MiB = 1024 * KiB


def median_seconds(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def mib_per_s(nbytes: int, seconds: float) -> float:
    return nbytes / MiB / seconds


def calls_for(size: int) -> int:
    # Enough calls that one repetition takes a measurable time.
    return max(1, (64 * MiB) // size // 4) if size < 64 * MiB else 1


def bench_hybrid(kp, repeats: int, sizes: list[int]) -> list[tuple]:
    rows = []
    key = os.urandom(32)
    aes = AESGCM(key)
    nonce = os.urandom(12)
    for size in sizes:
        data = os.urandom(size)
        n = calls_for(size)
        package = tc.encrypt_hybrid(kp.public_key, data)
        sealed = aes.encrypt(nonce, data, None)

        def enc():
            for _ in range(n):
                tc.encrypt_hybrid(kp.public_key, data)

        def dec():
            for _ in range(n):
                tc.decrypt_hybrid(package, kp.secret_key)

        def aes_enc():
            for _ in range(n):
                aes.encrypt(nonce, data, None)

        def aes_dec():
            for _ in range(n):
                aes.decrypt(nonce, sealed, None)

        total = size * n
        t_enc, t_aes_enc = median_seconds(enc, repeats), median_seconds(aes_enc, repeats)
        t_dec, t_aes_dec = median_seconds(dec, repeats), median_seconds(aes_dec, repeats)
        rows.append(("encrypt_hybrid", size, mib_per_s(total, t_enc), mib_per_s(total, t_aes_enc)))
        rows.append(("decrypt_hybrid", size, mib_per_s(total, t_dec), mib_per_s(total, t_aes_dec)))
    return rows


def stream_encrypt(kp, chunks: list[bytes], chunk_size: int) -> tuple[bytes, list[bytes], bytes]:
    header, enc = tc.stream_encryptor_new(kp.public_key, chunk_size)
    frames = [enc.encrypt_chunk(c) for c in chunks]
    return header, frames, enc.finalize()


def bench_stream(kp, repeats: int, total: int, chunk_sizes: list[int]) -> list[tuple]:
    rows = []
    data = os.urandom(total)
    aes = AESGCM(os.urandom(32))
    base = os.urandom(12)
    for chunk_size in chunk_sizes:
        chunks = [data[i:i + chunk_size] for i in range(0, total, chunk_size)]
        nonces = [struct.pack(">I", i) + base[4:] for i in range(len(chunks))]
        aads = [struct.pack(">I", i) for i in range(len(chunks))]
        header, frames, eof = stream_encrypt(kp, chunks, chunk_size)
        parts = [(f[4:-16], f[-16:]) for f in frames]
        sealed = [aes.encrypt(n, c, a) for n, c, a in zip(nonces, chunks, aads)]

        def enc():
            # Each frame is dropped once made, as a writer would after writing it.
            _, e = tc.stream_encryptor_new(kp.public_key, chunk_size)
            for c in chunks:
                e.encrypt_chunk(c)
            e.finalize()

        def dec():
            d = tc.stream_decryptor_from_header(header, kp.secret_key, tc.SecurityLevel.ML_KEM_768)
            for ct, tag in parts:
                d.decrypt_chunk(ct, tag)
            d.process_eof(eof[4:])

        def aes_enc():
            for n, c, a in zip(nonces, chunks, aads):
                aes.encrypt(n, c, a)

        def aes_dec():
            for n, s, a in zip(nonces, sealed, aads):
                aes.decrypt(n, s, a)

        t_enc, t_aes_enc = median_seconds(enc, repeats), median_seconds(aes_enc, repeats)
        t_dec, t_aes_dec = median_seconds(dec, repeats), median_seconds(aes_dec, repeats)
        rows.append(("stream encrypt", chunk_size, mib_per_s(total, t_enc),
                     mib_per_s(total, t_aes_enc)))
        rows.append(("stream decrypt", chunk_size, mib_per_s(total, t_dec),
                     mib_per_s(total, t_aes_dec)))
        del parts, sealed, frames
    return rows


def bench_parallel(kp, repeats: int, per_thread: int, chunk_sizes: list[int]) -> list[tuple]:
    """Two independent streams on two threads against one stream on one."""
    rows = []
    data = os.urandom(per_thread)
    for chunk_size in chunk_sizes:
        chunks = [data[i:i + chunk_size] for i in range(0, per_thread, chunk_size)]

        def one():
            _, e = tc.stream_encryptor_new(kp.public_key, chunk_size)
            for c in chunks:
                e.encrypt_chunk(c)
            e.finalize()

        def two():
            threads = [threading.Thread(target=one) for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        t_one = median_seconds(one, repeats)
        t_two = median_seconds(two, repeats)
        rows.append((chunk_size, mib_per_s(per_thread, t_one), mib_per_s(2 * per_thread, t_two)))
    return rows


def size_name(n: int) -> str:
    return f"{n // MiB} MiB" if n >= MiB else f"{n // KiB} KiB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller data, fewer repetitions")
    parser.add_argument("--repeats", type=int, default=None)
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 7)
    stream_total = (32 if args.quick else 256) * MiB
    kp = tc.generate_keypair()

    print(f"repetitions per figure: {repeats} (median); cpus: {os.cpu_count()}")
    print()
    print(f"{'operation':<16} {'size':>8} {'tarnel MiB/s':>13} {'AESGCM MiB/s':>13} {'ratio':>6}")
    hybrid_sizes = [1 * KiB, 64 * KiB, 1 * MiB, 64 * MiB]
    for op, size, ours, peer in bench_hybrid(kp, repeats, hybrid_sizes):
        print(f"{op:<16} {size_name(size):>8} {ours:>13.1f} {peer:>13.1f} {ours / peer:>6.2f}")
    print()
    print(f"whole stream of {size_name(stream_total)}, per chunk size")
    print(f"{'operation':<16} {'chunk':>8} {'tarnel MiB/s':>13} {'AESGCM MiB/s':>13} {'ratio':>6}")
    for op, size, ours, peer in bench_stream(kp, repeats, stream_total, [4 * KiB, 64 * KiB, MiB]):
        print(f"{op:<16} {size_name(size):>8} {ours:>13.1f} {peer:>13.1f} {ours / peer:>6.2f}")
    print()
    per_thread = (32 if args.quick else 128) * MiB
    print(f"independent streams, {size_name(per_thread)} each (encrypt_chunk)")
    print(f"{'chunk':>8} {'1 thread MiB/s':>15} {'2 threads MiB/s':>16} {'speed-up':>9}")
    for size, one, two in bench_parallel(kp, repeats, per_thread, [64 * KiB, MiB]):
        print(f"{size_name(size):>8} {one:>15.1f} {two:>16.1f} {two / one:>9.2f}")


if __name__ == "__main__":
    main()
