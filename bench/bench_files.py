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
import shutil
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
    parser.add_argument("--goals", action="store_true",
                        help="only the figures with goals: 20 X-Wing recipients, 5 identities, a "
                             "whole file on disk beside its copy, and the last KiB of it")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where --goals puts its file (default /dev/shm)")
    args = parser.parse_args()
    if args.goals:
        goals(args)
        return
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


def goals(args: argparse.Namespace) -> None:
    repeats = 3 if args.quick else 5
    keys = [xwing.generate_keypair() for _ in range(20)]
    recipients = [pk for _, pk in keys]
    header = median_seconds(lambda: files.encrypt(b"x", recipients), repeats)
    print(f"header for 20 X-Wing recipients: {header * 1e3:.2f} ms (goal: under 5)")
    data = files.encrypt(b"x", recipients)
    # Four identities that open nothing, then the one that opens the file
    # (its entry last): every identity is tried against every entry.
    strangers = [xwing.generate_keypair()[0] for _ in range(4)]
    identities = strangers + [keys[-1][0]]
    opened = median_seconds(lambda: files.decrypt(data, identities), repeats)
    print(f"opened by the last of 5 identities: {opened * 1e3:.2f} ms (goal: under 10)")

    size = (256 if args.quick else 1024) << 20
    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        plain, enc, out, copy = (os.path.join(d, n) for n in ("plain", "enc", "out", "copy"))
        with open(plain, "wb") as f:
            for _ in range(size >> 20):
                f.write(os.urandom(1 << 20))
        sk, pk = keys[0]

        def fresh(path: str) -> None:
            if os.path.exists(path):
                os.unlink(path)

        def copy_file() -> None:
            # Through user space, as the stream's benchmark copies
            # (bench/compare.py); shutil.copyfile would use sendfile.
            fresh(copy)
            with open(plain, "rb") as a, open(copy, "wb") as b:
                shutil.copyfileobj(a, b)

        def send_file() -> None:
            fresh(copy)
            shutil.copyfile(plain, copy)

        def encrypt() -> None:
            fresh(enc)
            files.encrypt_file(plain, enc, [pk])

        def decrypt() -> None:
            fresh(out)
            files.decrypt_file(enc, out, [sk])

        t_copy = median_seconds(copy_file, repeats)
        t_send = median_seconds(send_file, repeats)
        t_enc = median_seconds(encrypt, repeats)
        t_dec = median_seconds(decrypt, repeats)
        gib = size / (1 << 30)
        print(f"{size >> 20} MiB file in {args.dir or 'the temporary directory'}, one X-Wing recipient: "
              f"copyfileobj {gib / t_copy:.2f} GiB/s, encrypt_file {gib / t_enc:.2f} GiB/s "
              f"({t_copy / t_enc:.2f}x the copy), decrypt_file {gib / t_dec:.2f} GiB/s "
              f"({t_copy / t_dec:.2f}x; goal: at least 0.9x); a copy by sendfile, all in the "
              f"kernel, {gib / t_send:.2f} GiB/s")

        def last_kib() -> None:
            with files.open_encrypted(enc, [sk]) as f:
                f.seek(-1024, os.SEEK_END)
                assert len(f.read()) == 1024

        t_last = median_seconds(last_kib, repeats)
        print(f"last KiB through open_encrypted: {t_last * 1e3:.2f} ms, "
              f"{100 * t_last / t_dec:.3f}% of decrypting the whole file (goal: under 1%)")


if __name__ == "__main__":
    main()
