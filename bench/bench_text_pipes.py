"""Throughput of the command line on its text and pipe routes, side by side
with the routes they are held against:

  armored encrypt / decrypt, file to file   vs  binary, file to file
  encrypt / decrypt with stdin and stdout   vs  ``cat | cat``

Run with the built package on the path (tmpfs keeps the disk out of it):

    PYTHONPATH=<build>/python python bench/bench_text_pipes.py [--size MiB] [--dir /dev/shm]

Each figure is the best of several runs of a whole command, start-up
included (the machine is shared; the best run is the least disturbed one).
The commands start as an installed package does, from compiled modules:
PYTHONDONTWRITEBYTECODE is dropped from their environment, so that the
first run leaves the bytecode caches the others use (compiling the package
on every start would add about 50 ms to each). Nothing is asserted.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path


# The environment of every command: bytecode caches written and used.
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


def best_seconds(command: str, repeats: int) -> float:
    """The shortest wall time of `command` run by the shell."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        subprocess.run(command, shell=True, check=True, executable="/bin/bash", env=ENV)
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1024, help="input size in MiB (1024)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--dir", default="/dev/shm", help="where the files go (tmpfs)")
    parser.add_argument("--format", choices=("file", "stream"), default="file",
                        help="what encrypt writes: the multi-recipient format (an X-Wing key) "
                             "or the stream (an ML-KEM-768 key)")
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="tarnel-bench-", dir=args.dir))
    try:
        tarnel = f"{sys.executable} -m tarnel"
        # Every encrypt names the format (decrypt recognises it).
        fmt = f"--format {args.format}"
        plain = work / "plain"
        with open(plain, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(args.size):
                f.write(block)
        # An unprotected key: no passphrase stretch in the decrypt figures.
        key_type = "xwing" if args.format == "file" else "mlkem768"
        subprocess.run(f"{tarnel} keygen --type {key_type} --unprotected -o {work}/me",
                       shell=True, check=True, env=ENV,
                       stdout=subprocess.DEVNULL)
        pub, key = work / "me.pub", work / "me.key"
        enc, asc, out = work / "plain.tnl", work / "plain.asc", work / "out"
        subprocess.run(f"{tarnel} encrypt {fmt} -r {pub} -o {enc} {plain}", shell=True, check=True,
                       env=ENV)
        subprocess.run(f"{tarnel} encrypt {fmt} -a -r {pub} -o {asc} {plain}", shell=True, check=True,
                       env=ENV)

        r = args.repeats
        t = {
            "binary encrypt": best_seconds(f"{tarnel} encrypt {fmt} --force -r {pub} -o {out} {plain}", r),
            "armored encrypt": best_seconds(f"{tarnel} encrypt {fmt} --force -a -r {pub} -o {out} {plain}", r),
            "binary decrypt": best_seconds(f"{tarnel} decrypt --force -i {key} -o {out} {enc}", r),
            "armored decrypt": best_seconds(f"{tarnel} decrypt --force -i {key} -o {out} {asc}", r),
            "cat | cat": best_seconds(f"cat {plain} | cat > {out}", r),
            "pipe encrypt": best_seconds(f"cat {plain} | {tarnel} encrypt {fmt} -r {pub} | cat > {out}", r),
            "pipe decrypt": best_seconds(f"cat {enc} | {tarnel} decrypt -i {key} | cat > {out}", r),
        }
        print(f"{args.size} MiB in {args.dir}, {args.format} format, best of {r} "
              "(seconds, GB/s of plaintext)")
        for name, s in t.items():
            print(f"  {name:16s} {s:7.2f} s  {args.size * (1 << 20) / s / 1e9:6.2f} GB/s")
        print("ratios (higher is better)")
        print(f"  armored encrypt / binary encrypt  {t['binary encrypt'] / t['armored encrypt']:5.2f}")
        print(f"  armored decrypt / binary decrypt  {t['binary decrypt'] / t['armored decrypt']:5.2f}")
        print(f"  pipe encrypt / cat | cat          {t['cat | cat'] / t['pipe encrypt']:5.2f}")
        print(f"  pipe decrypt / cat | cat          {t['cat | cat'] / t['pipe decrypt']:5.2f}")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
