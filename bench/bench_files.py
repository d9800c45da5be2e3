"""Cost of tarnel.files: the header per recipient, throughput of the chunked
payload, a random read through open_encrypted, and re-keying a file on disk
(adding a recipient, which copies the payload, against rotating the file key,
which encrypts it again).

Run with the built package on the path:

    PYTHONPATH=<build>/python python bench/bench_files.py [--quick]

Every figure is the median over several repetitions, measured in this
process. Nothing is asserted.
"""

from __future__ import annotations

import argparse
import io
import os
import statistics
import tempfile
import time

from tarnel import files, xwing
from tarnel.hpke import AEAD, KDF, KEM, Suite


def median_seconds(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller inputs, fewer repeats")
    args = parser.parse_args()
    repeats = 3 if args.quick else 7
    size = (8 if args.quick else 64) << 20

    x_sk, x_pk = xwing.generate_keypair()
    m_sk, m_pk = Suite(KEM.ML_KEM_768, KDF.HKDF_SHA256, AEAD.AES_256_GCM).generate_key_pair()

    print("header, milliseconds (encrypt of 1 byte; decrypt with the last recipient's key)")
    for n in (1, 8, 64):
        recipients = [x_pk] * (n - 1) + [m_pk]
        data = files.encrypt(b"x", recipients)
        enc = median_seconds(lambda: files.encrypt(b"x", recipients), repeats)
        dec = median_seconds(lambda: files.decrypt(data, [m_sk]), repeats)
        print(f"  {n:3d} recipients  encrypt {enc * 1e3:7.2f}  decrypt {dec * 1e3:7.2f}")

    print(f"payload, MiB/s over {size >> 20} MiB in memory")
    plain = os.urandom(size)
    for chunk_size in (16 << 10, 64 << 10, 1 << 20):
        data = files.encrypt(plain, [x_pk], chunk_size=chunk_size)
        enc = median_seconds(lambda: files.encrypt(plain, [x_pk], chunk_size=chunk_size), repeats)
        dec = median_seconds(lambda: files.decrypt(data, [x_sk]), repeats)
        mib = size / (1 << 20)
        print(f"  chunk {chunk_size >> 10:5d} KiB  encrypt {mib / enc:7.0f}  decrypt {mib / dec:7.0f}")

    data = files.encrypt(plain, [x_pk])
    with files.open_encrypted(io.BytesIO(data), [x_sk]) as f:
        offsets = [(i * 7919 * 4096) % (size - 100) for i in range(200)]

        def reads():
            for off in offsets:
                f.seek(off)
                f.read(100)

        per_read = median_seconds(reads, repeats) / len(offsets)
    print(f"open_encrypted: a 100-byte read at a random offset, 64 KiB chunks: "
          f"{per_read * 1e6:.0f} microseconds")

    print(f"rekey in place, milliseconds for a {size >> 20} MiB file (64 KiB chunks)")
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "f.tnl")
        files.encrypt_file(io.BytesIO(plain), path, [x_pk])

        def add_remove():
            files.rekey(path, None, [x_sk], add=[m_pk])
            files.rekey(path, None, [x_sk], remove=[m_pk])

        copy = median_seconds(add_remove, repeats) / 2
        rotate = median_seconds(lambda: files.rekey(path, None, [x_sk], rotate=True), repeats)
        describe = median_seconds(lambda: files.describe(path), repeats)
    print(f"  add or remove {copy * 1e3:8.1f}  rotate {rotate * 1e3:8.1f}  "
          f"describe {describe * 1e3:6.2f}")


if __name__ == "__main__":
    main()
