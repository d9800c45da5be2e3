"""tarnel beside its peers: ML-KEM, the Transit Package, the stream and threads.

Run from the repository root, with tarnel importable and the extras installed
(`pip install .[bench]`):

    python bench/compare.py [--quick] [--core-bench build/bench_mlkem]
                            [--gcm-bench build/bench_gcm]

In one process and one run it measures

- ML-KEM key generation, encapsulation and decapsulation at each level through
  tarnel's Python API, beside every peer that is installed: pyca/cryptography's
  ML-KEM classes, pqcrypto, kyber-py and liboqs-python (a peer that is missing
  is reported as missing, with the reason);
- encapsulation and decapsulation with one key used again and again: tarnel's
  key objects (EncapsulationKey, DecapsulationKey: the key checked and
  expanded once) beside pyca/cryptography's loaded key objects and beside
  tarnel's functions (the key from its bytes on every call);
- encrypt_hybrid / decrypt_hybrid and the stream beside plain AES-256-GCM from
  pyca/cryptography (the functions of bench_symmetric.py);
- one thread against two threads doing the same work per thread;
- the cost of crossing the Python boundary, against a whole ML-KEM-768 call;
- encrypt_file / decrypt_file of a 256 MiB file on tmpfs beside a plain
  shutil.copyfileobj copy of the same file, at the default and 1 MiB chunks;
- with --gcm-bench (the bench_gcm binary, built with -DTARNEL_BUILD_BENCH=ON),
  libcrypto's AES-256-GCM beside the stream's chunk encryption on the same
  buffers, in C++ and through Python: the library's own GCM speed and what
  the stream adds to it, told apart.

Every figure is the median of several repetitions; contenders are measured in
turn inside each repetition, so a change of load on the machine touches all of
them alike. The table goes to standard output, the figures to
bench/results/compare.json and the ratios to bench/results/compare.svg and
.png (when matplotlib is installed). Ratios above 1 mean tarnel is faster.
`--redraw FILE.json` draws the chart again from a saved report without
measuring anything: the documentation's chart is drawn that way from the
report kept in docs/images/compare.json.
"""

from __future__ import annotations

import argparse
import ctypes.util
import importlib.util
import json
import multiprocessing
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable

from tarnel import _tarnel_core as tc

KiB = 1024
MiB = 1024 * KiB
GB = 1e9
LEVELS = (512, 768, 1024)
OPS = ("keygen", "encaps", "decaps")
RESULTS_DIR = Path(__file__).resolve().parent / "results"
SECTIONS = ("mlkem", "keyobjects", "envelopes", "threads", "boundary", "files")

# Thresholds the suite reports against, as (ours / peer) or speed-up ratios.
# ML-KEM: pyca/cryptography's loaded key objects keep work done at load (the
# expanded matrix); the other peers do the same work as tarnel on every call
# (bytes in, bytes out). Goals per operation: (equal-work peers,
# loaded-object peers); None: no goal.
LOADED_PEERS = ("cryptography",)
MLKEM_GOALS = {"keygen": (1.5, None), "encaps": (1.5, 1.0), "decaps": (1.3, 1.3)}
# tarnel's key objects over pyca/cryptography's loaded key objects, per
# operation, both reusing one key.
KEY_OBJECT_GOALS = {"encaps": 2.0, "decaps": 2.0}
TARGET_HYBRID_64MIB = 0.9
TARGET_STREAM_64KIB = 0.8
TARGET_THREADS_MLKEM = 1.8
TARGET_THREADS_STREAM = 1.7
TARGET_BOUNDARY_SHARE = 0.05
TARGET_FILES_VS_COPY = 0.9


def level_object(value: int):
    return {512: tc.SecurityLevel.ML_KEM_512, 768: tc.SecurityLevel.ML_KEM_768,
            1024: tc.SecurityLevel.ML_KEM_1024}[value]


# ---- timing ----

def batch_size(fn: Callable[[], object], seconds: float) -> int:
    """Number of calls of fn that take about `seconds`."""
    fn()
    n, elapsed = 1, 0.0
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= seconds / 8 or n >= 1 << 22:
            break
        n *= 4
    return max(1, int(n * seconds / max(elapsed, 1e-9)))


def per_call_medians(contenders: dict[str, Callable[[], object]], repeats: int,
                     seconds: float) -> dict[str, float]:
    """Median seconds per call of each contender, measured round-robin."""
    sizes = {name: batch_size(fn, seconds) for name, fn in contenders.items()}
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(repeats):
        for name, fn in contenders.items():
            n = sizes[name]
            start = time.perf_counter()
            for _ in range(n):
                fn()
            samples[name].append((time.perf_counter() - start) / n)
    return {name: statistics.median(s) for name, s in samples.items()}


def on_threads(fn: Callable[[], object], n: int, threads: int) -> float:
    """Wall time of `threads` threads each calling fn n times."""
    barrier = threading.Barrier(threads + 1)

    def work():
        barrier.wait()
        for _ in range(n):
            fn()

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return time.perf_counter() - start


# ---- ML-KEM peers ----
# Each peer factory returns (status, {op: callable}) for one level; the
# callables run one operation on keys and capsules made beforehand. Before a
# peer is timed, it must decapsulate a capsule made by tarnel to tarnel's
# shared secret, so every row compares the same algorithm.

class PeerUnavailable(Exception):
    pass


def peer_cryptography(level: int):
    try:
        from cryptography.hazmat.primitives.asymmetric import mlkem
    except ImportError as e:
        raise PeerUnavailable(f"not installed or without ML-KEM ({e})") from None
    cls = getattr(mlkem, f"MLKEM{level}PrivateKey", None)
    if cls is None:
        raise PeerUnavailable(f"this wheel offers no ML-KEM-{level}")
    try:
        sk = cls.generate()
    except Exception as e:  # UnsupportedAlgorithm on a backend without ML-KEM
        raise PeerUnavailable(f"ML-KEM-{level} unsupported by its backend ({e})") from None
    pk = sk.public_key()
    _, ct = pk.encapsulate()
    ek = pk.public_bytes_raw()
    ops = {"keygen": cls.generate, "encaps": pk.encapsulate, "decaps": lambda: sk.decapsulate(ct)}
    return ek, lambda capsule: sk.decapsulate(capsule), ops


def peer_cryptography_bytes(level: int):
    """pyca/cryptography called as tarnel is, bytes in and bytes out. Its key
    objects keep work done at load (the public key's expanded matrix among
    it): peer_cryptography reuses one object, these rows load the key from its
    bytes on every call. Its secret key is the 64-byte seed, so decapsulation
    from bytes derives the key pair again."""
    peer_cryptography(level)  # PeerUnavailable where the wheel lacks this level
    from cryptography.hazmat.primitives.asymmetric import mlkem  # noqa: PLC0415

    priv, pub = getattr(mlkem, f"MLKEM{level}PrivateKey"), getattr(mlkem, f"MLKEM{level}PublicKey")
    if not hasattr(priv, "from_seed_bytes"):
        raise PeerUnavailable("this wheel cannot load a secret key from bytes")
    seed = priv.generate().private_bytes_raw()
    sk = priv.from_seed_bytes(seed)
    ek = sk.public_key().public_bytes_raw()
    _, ct = sk.public_key().encapsulate()

    def keygen():
        k = priv.generate()
        return k.public_key().public_bytes_raw(), k.private_bytes_raw()

    ops = {"keygen": keygen, "encaps": lambda: pub.from_public_bytes(ek).encapsulate(),
           "decaps": lambda: priv.from_seed_bytes(seed).decapsulate(ct)}
    return ek, lambda capsule: priv.from_seed_bytes(seed).decapsulate(capsule), ops


def peer_pqcrypto(level: int):
    try:
        mod = importlib.import_module(f"pqcrypto.kem.ml_kem_{level}")
    except ImportError as e:
        raise PeerUnavailable(f"not installed ({e})") from None
    ek, dk = mod.keygen()
    ct, _ = mod.encaps(ek)
    ops = {"keygen": mod.keygen, "encaps": lambda: mod.encaps(ek),
           "decaps": lambda: mod.decaps(dk, ct)}
    return ek, lambda capsule: mod.decaps(dk, capsule), ops


def peer_kyber_py(level: int):
    try:
        mod = importlib.import_module("kyber_py.ml_kem")
    except ImportError as e:
        raise PeerUnavailable(f"not installed ({e})") from None
    kem = getattr(mod, f"ML_KEM_{level}")
    ek, dk = kem.keygen()
    _, ct = kem.encaps(ek)
    ops = {"keygen": kem.keygen, "encaps": lambda: kem.encaps(ek),
           "decaps": lambda: kem.decaps(dk, ct)}
    return ek, lambda capsule: kem.decaps(dk, capsule), ops


def peer_liboqs(level: int):
    # Importing `oqs` without a liboqs shared library on the machine makes it
    # download and build liboqs, so it is imported only when one is present.
    if importlib.util.find_spec("oqs") is None:
        raise PeerUnavailable("liboqs-python not installed")
    if ctypes.util.find_library("oqs") is None and "OQS_INSTALL_PATH" not in os.environ:
        raise PeerUnavailable("no liboqs shared library here; importing oqs would download "
                              "and build one")
    import oqs  # noqa: PLC0415

    kem = oqs.KeyEncapsulation(f"ML-KEM-{level}")
    ek = kem.generate_keypair()
    ct, _ = kem.encap_secret(ek)
    ops = {"keygen": kem.generate_keypair, "encaps": lambda: kem.encap_secret(ek),
           "decaps": lambda: kem.decap_secret(ct)}
    return ek, kem.decap_secret, ops


PEERS = {"cryptography": peer_cryptography, "cryptography/bytes": peer_cryptography_bytes,
         "pqcrypto": peer_pqcrypto,
         "kyber-py": peer_kyber_py, "liboqs-python": peer_liboqs}


def load_peer(name: str, level: int):
    """(ops, None) for a peer that agrees with tarnel, else (None, reason)."""
    try:
        ek, decaps, ops = PEERS[name](level)
    except PeerUnavailable as e:
        return None, str(e)
    capsule, shared = tc.encapsulate(bytes(ek), level_object(level))
    if decaps(capsule) != shared:
        return None, "disagrees with tarnel on a capsule: left out"
    return ops, None


def ours_ops(level: int) -> dict[str, Callable[[], object]]:
    lv = level_object(level)
    kp = tc.generate_keypair(lv)
    pk, sk = kp.public_key, kp.secret_key
    capsule, _ = tc.encapsulate(pk, lv)
    return {"keygen": lambda: tc.generate_keypair(lv), "encaps": lambda: tc.encapsulate(pk, lv),
            "decaps": lambda: tc.decapsulate(capsule, sk, lv)}


def bench_mlkem(repeats: int, seconds: float) -> tuple[list[dict], dict[str, dict[int, str]]]:
    rows, missing = [], {name: {} for name in PEERS}
    for level in LEVELS:
        peers = {}
        for name in PEERS:
            ops, reason = load_peer(name, level)
            if ops is None:
                missing[name][level] = reason
            else:
                peers[name] = ops
        ours = ours_ops(level)
        for op in OPS:
            contenders = {"tarnel": ours[op]} | {name: ops[op] for name, ops in peers.items()}
            per_call = per_call_medians(contenders, repeats, seconds)
            ops_s = {name: 1 / t for name, t in per_call.items()}
            peer_ops = {k: v for k, v in ops_s.items() if k != "tarnel"}
            best = max(peer_ops, key=peer_ops.get) if peer_ops else None
            rows.append({
                "level": level, "op": op, "tarnel_ops_s": ops_s["tarnel"],
                "peers_ops_s": {name: peer_ops.get(name) for name in PEERS},
                "fastest_peer": best,
                "ratio": ops_s["tarnel"] / peer_ops[best] if best else None,
            })
    return rows, missing


def bench_key_objects(repeats: int, seconds: float) -> list[dict]:
    """One key used for every call: tarnel's key objects, pyca/cryptography's
    loaded key objects, and tarnel's functions (which take the key's bytes on
    every call), measured round-robin per level and operation."""
    from tarnel import _tarnel_pq as pq  # noqa: PLC0415

    rows = []
    for level in LEVELS:
        lv = level_object(level)
        kp = tc.generate_keypair(lv)
        ek, dk = pq.EncapsulationKey(kp.public_key, lv), pq.DecapsulationKey(kp.secret_key, lv)
        capsule, shared = ek.encapsulate()
        if dk.decapsulate(capsule) != shared or tc.decapsulate(capsule, kp.secret_key, lv) != shared:
            raise SystemExit(f"key objects disagree with the functions at ML-KEM-{level}")
        ours = {"encaps": ek.encapsulate, "decaps": lambda: dk.decapsulate(capsule)}
        functions = {"encaps": lambda: tc.encapsulate(kp.public_key, lv),
                     "decaps": lambda: tc.decapsulate(capsule, kp.secret_key, lv)}
        peer, reason = load_peer("cryptography", level)
        for op in ("encaps", "decaps"):
            contenders = {"key object": ours[op], "function": functions[op]}
            if peer is not None:
                contenders["cryptography"] = peer[op]
            ops_s = {n: 1 / t for n, t in per_call_medians(contenders, repeats, seconds).items()}
            theirs = ops_s.get("cryptography")
            rows.append({
                "level": level, "op": op, "key_object_ops_s": ops_s["key object"],
                "function_ops_s": ops_s["function"], "cryptography_ops_s": theirs,
                "cryptography_missing": reason,
                "ratio": ops_s["key object"] / theirs if theirs else None,
                "over_function": ops_s["key object"] / ops_s["function"],
            })
    return rows


def _process_worker(fn, n, barrier, queue) -> None:
    barrier.wait()
    start = time.perf_counter()
    for _ in range(n):
        fn()
    queue.put((start, time.perf_counter()))


def on_processes(fn: Callable[[], object], n: int, count: int) -> float | None:
    """Wall time of `count` forked processes each calling fn n times: the
    parallelism the machine offers at that moment, with no interpreter lock
    shared. None where fork is not available."""
    try:
        ctx = multiprocessing.get_context("fork")
    except ValueError:
        return None
    barrier, queue = ctx.Barrier(count), ctx.Queue()
    procs = [ctx.Process(target=_process_worker, args=(fn, n, barrier, queue))
             for _ in range(count)]
    for p in procs:
        p.start()
    spans = [queue.get() for _ in procs]
    for p in procs:
        p.join()
    return max(end for _, end in spans) - min(start for start, _ in spans)


def bench_mlkem_threads(repeats: int, seconds: float) -> list[dict]:
    """One thread against two threads, each doing the same n calls; beside
    them two processes doing the same, which shows how much of a second core
    the machine gave at that moment."""
    rows = []
    for level in LEVELS:
        ours = ours_ops(level)
        for op in OPS:
            fn = ours[op]
            n = batch_size(fn, seconds)
            ones, twos, procs = [], [], []
            for _ in range(repeats):
                ones.append(on_threads(fn, n, 1))
                twos.append(on_threads(fn, n, 2))
                procs.append(on_processes(fn, n, 2))
            one = n / statistics.median(ones)
            two = 2 * n / statistics.median(twos)
            row = {"level": level, "op": op, "one_thread_ops_s": one,
                   "two_threads_ops_s": two, "speedup": two / one}
            if None not in procs:
                row["two_processes_speedup"] = 2 * n / statistics.median(procs) / one
            rows.append(row)
    return rows


# ---- the Python boundary ----

def bench_boundary(repeats: int, seconds: float, core_bench: str | None) -> dict:
    """Cost of a call's binding, lock handling and result objects beside a whole
    ML-KEM-768 operation.

    Two independent estimates: (1) encapsulate(b"") goes through the whole
    binding, releases and re-acquires the lock, is refused by the core's first
    size check and raises; it does every step of a call but the arithmetic and
    builds an exception instead of two bytes objects, so it bounds the
    boundary cost from above. (2) When the C++ benchmark is given, the Python
    per-call time minus the core's per-operation time.
    """
    lv = tc.SecurityLevel.ML_KEM_768
    ours = ours_ops(768)

    def refused():
        try:
            tc.encapsulate(b"", lv)
        except tc.InvalidParameterError:
            pass

    contenders = {"refused_call": refused, "serialize_empty": lambda: tc.serialize_public_key(b"")}
    contenders |= {f"{op}_768": ours[op] for op in OPS}
    t = per_call_medians(contenders, repeats, seconds)
    out = {"refused_call_ns": t["refused_call"] * 1e9,
           "serialize_empty_ns": t["serialize_empty"] * 1e9, "per_op": {}}
    core_ns = run_core_bench(core_bench) if core_bench else {}
    for op in OPS:
        py_ns = t[f"{op}_768"] * 1e9
        entry = {"python_ns": py_ns, "refused_share": out["refused_call_ns"] / py_ns}
        if op in core_ns:
            entry["core_ns"] = core_ns[op]
            entry["difference_share"] = max(0.0, py_ns - core_ns[op]) / py_ns
        out["per_op"][op] = entry
    return out


def run_core_bench(path: str) -> dict[str, float]:
    """Per-operation ns of ML-KEM-768 from the C++ benchmark binary."""
    names = {"BM_KeyGen/1": "keygen", "BM_Encaps/1": "encaps", "BM_Decaps/1": "decaps"}
    cmd = [path, "--benchmark_filter=^BM_(KeyGen|Encaps|Decaps)/1$", "--benchmark_format=json",
           "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"]
    try:
        report = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
    except (OSError, subprocess.CalledProcessError, json.JSONDecodeError) as e:
        print(f"core benchmark {path} did not run: {e}", file=sys.stderr)
        return {}
    out = {}
    for b in report["benchmarks"]:
        base = b.get("run_name", b["name"])
        if b.get("aggregate_name") == "median" and base in names:
            scale = {"ns": 1.0, "us": 1e3, "ms": 1e6}[b.get("time_unit", "ns")]
            out[names[base]] = b["real_time"] * scale
    return out


# ---- symmetric envelopes (bench_symmetric.py) ----

def bench_envelopes(quick: bool, repeats: int) -> dict:
    try:
        import bench_symmetric as sym  # noqa: PLC0415
    except ImportError as e:
        return {"unavailable": f"AES-256-GCM peer (cryptography) missing: {e}"}
    to_gb = MiB / GB
    kp = tc.generate_keypair()
    sizes = [KiB, 64 * KiB, MiB, 64 * MiB]
    hybrid = [{"op": op, "size": size, "tarnel_gb_s": ours * to_gb, "aesgcm_gb_s": peer * to_gb,
               "ratio": ours / peer}
              for op, size, ours, peer in sym.bench_hybrid(kp, repeats, sizes)]
    total = (32 if quick else 256) * MiB
    stream = [{"op": op, "chunk": size, "total": total, "tarnel_gb_s": ours * to_gb,
               "aesgcm_gb_s": peer * to_gb, "ratio": ours / peer}
              for op, size, ours, peer in sym.bench_stream(kp, repeats, total,
                                                           [4 * KiB, 64 * KiB, MiB])]
    return {"hybrid": hybrid, "stream": stream, "threads": bench_stream_threads(quick, repeats)}


def bench_stream_threads(quick: bool, repeats: int) -> list[dict]:
    """Two independent streams on two threads against one on one thread."""
    import bench_symmetric as sym  # noqa: PLC0415

    to_gb = MiB / GB
    kp = tc.generate_keypair()
    per_thread = (32 if quick else 128) * MiB
    return [{"chunk": size, "per_thread": per_thread, "one_thread_gb_s": one * to_gb,
             "two_threads_gb_s": two * to_gb, "speedup": two / one,
             "two_processes_speedup": stream_process_control(kp, repeats, per_thread, size)}
            for size, one, two in sym.bench_parallel(kp, repeats, per_thread, [64 * KiB, MiB])]


def stream_process_control(kp, repeats: int, per_stream: int, chunk_size: int) -> float | None:
    """Speed-up of two processes, each encrypting its own stream, over one:
    the parallelism the machine offered for the two-stream figure."""
    chunk = os.urandom(chunk_size)
    count = per_stream // chunk_size

    def one_stream():
        _, e = tc.stream_encryptor_new(kp.public_key, chunk_size)
        for _ in range(count):
            e.encrypt_chunk(chunk)
        e.finalize()

    ones, twos = [], []
    for _ in range(repeats):
        ones.append(on_threads(one_stream, 1, 1))
        twos.append(on_processes(one_stream, 1, 2))
    if None in twos:
        return None
    return 2 * statistics.median(ones) / statistics.median(twos)


# ---- whole files against a copy ----

def scratch_dir() -> Path:
    """A directory in memory (tmpfs) when the machine has one."""
    import tempfile  # noqa: PLC0415

    shm = Path("/dev/shm")
    return Path(tempfile.mkdtemp(prefix="tarnel-bench-", dir=shm if shm.is_dir() else None))


def bench_files(quick: bool, repeats: int) -> dict:
    """encrypt_file and decrypt_file against shutil.copyfileobj of the same
    file, measured in turn inside each repetition; ratio = copy time / ours."""
    import shutil  # noqa: PLC0415

    from tarnel import streaming  # noqa: PLC0415

    size = (64 if quick else 256) * MiB
    work = scratch_dir()
    kp = tc.generate_keypair()
    plain = work / "plain"
    with open(plain, "wb") as f:
        for _ in range(size // MiB):
            f.write(os.urandom(MiB))

    def copy():
        with open(plain, "rb") as a, open(work / "copy", "wb") as b:
            shutil.copyfileobj(a, b)

    chunks = [streaming.DEFAULT_CHUNK_SIZE, MiB]
    contenders = {"copy": copy}
    for chunk in chunks:
        enc = work / f"enc{chunk}"
        contenders[f"encrypt/{chunk}"] = (
            lambda enc=enc, chunk=chunk: streaming.encrypt_file(plain, enc, kp.public_key,
                                                                chunk_size=chunk))
        contenders[f"decrypt/{chunk}"] = (
            lambda enc=enc: streaming.decrypt_file(enc, work / "dec", kp.secret_key))
    try:
        for fn in contenders.values():
            fn()
        samples: dict[str, list[float]] = {name: [] for name in contenders}
        cpu: dict[str, list[float]] = {name: [] for name in contenders}
        for _ in range(repeats):
            for name, fn in contenders.items():
                start, start_cpu = time.perf_counter(), time.process_time()
                fn()
                samples[name].append(time.perf_counter() - start)
                cpu[name].append(time.process_time() - start_cpu)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    med = {name: statistics.median(v) for name, v in samples.items()}
    rows = []
    for chunk in chunks:
        for op in ("encrypt", "decrypt"):
            t = med[f"{op}/{chunk}"]
            rows.append({"op": f"{op}_file", "chunk": chunk, "size": size,
                         "tarnel_gb_s": size / t / GB, "copy_gb_s": size / med["copy"] / GB,
                         "ratio": med["copy"] / t,
                         "cpu_s": statistics.median(cpu[f"{op}/{chunk}"]),
                         "copy_cpu_s": statistics.median(cpu["copy"])})
    return {"rows": rows, "dir": str(work.parent)}


# ---- libcrypto's AES-256-GCM against the stream ----

def run_gcm_bench(path: str) -> dict[str, dict[int, float]]:
    """Bytes per second of each benchmark of bench_gcm, by chunk size."""
    cmd = [path, "--benchmark_format=json", "--benchmark_repetitions=5",
           "--benchmark_report_aggregates_only=true"]
    try:
        report = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
    except (OSError, subprocess.CalledProcessError, json.JSONDecodeError) as e:
        print(f"GCM benchmark {path} did not run: {e}", file=sys.stderr)
        return {}
    out: dict[str, dict[int, float]] = {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        name, _, arg = b.get("run_name", b["name"]).partition("/")
        out.setdefault(name.removeprefix("BM_"), {})[int(arg)] = b["bytes_per_second"]
    return out


def python_stream_speed(chunk: int, total: int, repeats: int) -> tuple[float, float]:
    """Bytes per second of encrypt_chunk and decrypt_chunk through Python."""
    kp = tc.generate_keypair()
    plain = os.urandom(chunk)
    count = max(1, total // chunk)
    enc_t, dec_t = [], []
    for _ in range(repeats):
        header, e = tc.stream_encryptor_new(kp.public_key, chunk, kp.level)
        start = time.perf_counter()
        for _ in range(count):
            e.encrypt_chunk(plain)
        enc_t.append(time.perf_counter() - start)
        header, e = tc.stream_encryptor_new(kp.public_key, chunk, kp.level)
        frames = [e.encrypt_chunk(plain) for _ in range(count)]
        d = tc.stream_decryptor_from_header(header, kp.secret_key, kp.level)
        parts = [(f[4:-16], f[-16:]) for f in frames]
        start = time.perf_counter()
        for ct, tag in parts:
            d.decrypt_chunk(ct, tag)
        dec_t.append(time.perf_counter() - start)
    return count * chunk / statistics.median(enc_t), count * chunk / statistics.median(dec_t)


def bench_gcm(path: str, quick: bool, repeats: int) -> list[dict]:
    native = run_gcm_bench(path)
    rows = []
    for chunk in sorted(native.get("RawGcmSeal", {})):
        py_enc, py_dec = python_stream_speed(chunk, (16 if quick else 64) * MiB, repeats)
        for op, raw, core, py in (("encrypt", "RawGcmSeal", "StreamEncryptChunk", py_enc),
                                  ("decrypt", "RawGcmOpen", "StreamDecryptChunk", py_dec)):
            raw_bps, core_bps = native[raw][chunk], native.get(core, {}).get(chunk)
            rows.append({"op": op, "chunk": chunk, "libcrypto_gb_s": raw_bps / GB,
                         "stream_core_gb_s": None if core_bps is None else core_bps / GB,
                         "stream_python_gb_s": py / GB,
                         "core_fraction": None if core_bps is None else core_bps / raw_bps,
                         "python_fraction": py / raw_bps})
    return rows


# ---- targets, table, chart ----

def size_name(n: int) -> str:
    return f"{n // MiB} MiB" if n >= MiB else f"{n // KiB} KiB"


def targets(report: dict) -> list[dict]:
    out = []

    def add(name, measured, threshold, control=None):
        out.append({"target": name, "measured": measured, "threshold": threshold,
                    "met": None if measured is None else measured >= threshold,
                    "two_processes": control})

    for r in report["mlkem"]:
        for loaded in (False, True):
            goal = MLKEM_GOALS[r["op"]][1 if loaded else 0]
            peers = {n: v for n, v in r["peers_ops_s"].items()
                     if v and (n in LOADED_PEERS) == loaded}
            if goal is None or not peers:
                continue
            best = max(peers, key=peers.get)
            kind = "loaded object" if loaded else "equal work"
            add(f"ML-KEM-{r['level']} {r['op']} vs fastest peer, {kind} ({best})",
                r["tarnel_ops_s"] / peers[best], goal)
    for r in report["key_objects"]:
        add(f"ML-KEM-{r['level']} {r['op']} key object vs cryptography's loaded key object",
            r["ratio"], KEY_OBJECT_GOALS[r["op"]])
    env = report["envelopes"]
    for r in env.get("hybrid", []):
        if r["size"] == 64 * MiB:
            add(f"{r['op']} 64 MiB vs AES-256-GCM", r["ratio"], TARGET_HYBRID_64MIB)
    for r in env.get("stream", []):
        if r["chunk"] == 64 * KiB:
            add(f"{r['op']} 64 KiB chunks vs AES-256-GCM", r["ratio"], TARGET_STREAM_64KIB)
    for r in report["mlkem_threads"]:
        add(f"ML-KEM-{r['level']} {r['op']} 2 threads / 1", r["speedup"], TARGET_THREADS_MLKEM,
            r.get("two_processes_speedup"))
    for r in env.get("threads", []):
        add(f"two streams, {size_name(r['chunk'])} chunks, 2 threads / 1", r["speedup"],
            TARGET_THREADS_STREAM, r.get("two_processes_speedup"))
    for r in report["files"].get("rows", []):
        add(f"{r['op']} {size_name(r['chunk'])} chunks vs copy", r["ratio"], TARGET_FILES_VS_COPY)
    for op, e in report["boundary"]["per_op"].items():
        share = e["refused_share"]
        out.append({"target": f"Python boundary share of ML-KEM-768 {op}", "measured": share,
                    "threshold": TARGET_BOUNDARY_SHARE, "met": share < TARGET_BOUNDARY_SHARE})
    return out


def fmt_ops(v: float | None) -> str:
    return "n/a" if v is None else f"{v:,.0f}"


def print_mlkem(report: dict) -> None:
    print()
    print("ML-KEM, operations per second")
    names = list(PEERS)
    head = f"{'level':<12}{'op':<8}{'tarnel':>10}" + "".join(f"{n:>19}" for n in names)
    print(head + f"{'ours/fastest':>14}")
    for r in report["mlkem"]:
        ratio = "n/a" if r["ratio"] is None else f"{r['ratio']:.2f}"
        print(f"{'ML-KEM-' + str(r['level']):<12}{r['op']:<8}{fmt_ops(r['tarnel_ops_s']):>10}"
              + "".join(f"{fmt_ops(r['peers_ops_s'][n]):>19}" for n in names) + f"{ratio:>14}")
    for name, reasons in report["peers_missing"].items():
        for level, reason in reasons.items():
            print(f"  {name} at ML-KEM-{level}: {reason}")
    print_mlkem_ratios(report["mlkem"])
    print_core_shares(report.get("core_profile"))



def print_mlkem_ratios(rows: list[dict]) -> None:
    """tarnel's speed over each peer's, for each level and operation; the
    equal-work rows apart from the loaded-object rows, each with its goal."""
    for title, loaded in (("equal work (every call from key bytes)", False),
                          ("against loaded key objects (expanded matrix kept)", True)):
        names = [n for n in PEERS if (n in LOADED_PEERS) == loaded]
        print()
        print(f"ML-KEM, tarnel / peer, {title}")
        print(f"{'level':<12}{'op':<8}" + "".join(f"{n:>19}" for n in names) + f"{'goal':>7}")
        for r in rows:
            goal = MLKEM_GOALS[r["op"]][1 if loaded else 0]
            cells = []
            for n in names:
                peer = r["peers_ops_s"].get(n)
                cells.append("n/a" if not peer else f"{r['tarnel_ops_s'] / peer:.2f}")
            print(f"{'ML-KEM-' + str(r['level']):<12}{r['op']:<8}"
                  + "".join(f"{c:>19}" for c in cells)
                  + f"{'-' if goal is None else f'{goal:.1f}':>7}")


def print_key_objects(rows: list[dict]) -> None:
    print()
    print("ML-KEM with one key reused, operations per second")
    print(f"{'level':<12}{'op':<8}{'key object':>12}{'function':>10}{'cryptography':>14}"
          f"{'obj/crypto':>12}{'obj/func':>10}{'goal':>6}")
    for r in rows:
        ratio = "n/a" if r["ratio"] is None else f"{r['ratio']:.2f}"
        print(f"{'ML-KEM-' + str(r['level']):<12}{r['op']:<8}{fmt_ops(r['key_object_ops_s']):>12}"
              f"{fmt_ops(r['function_ops_s']):>10}{fmt_ops(r['cryptography_ops_s']):>14}"
              f"{ratio:>12}{r['over_function']:>10.2f}{KEY_OBJECT_GOALS[r['op']]:>6.1f}")
        if r["cryptography_missing"] and r["op"] == "encaps":
            print(f"  cryptography at ML-KEM-{r['level']}: {r['cryptography_missing']}")


def read_core_profile(path: Path) -> dict | None:
    """The shares of the last bench/profile_core.sh run: per operation, the
    percentage of libcrypto (Keccak) and of the core's own arithmetic."""
    if not path.is_file():
        return None
    lines = path.read_text().splitlines()
    out: dict = {"header": lines[0] if lines else "", "ops": {}}
    current = None
    for line in lines[1:]:
        if line.startswith("ML-KEM-") and line.endswith(":"):
            current = line[:-1]
            out["ops"][current] = {}
        elif current and "%  OpenSSL libcrypto" in line:
            out["ops"][current]["libcrypto"] = float(line.split("%")[0])
        elif current and "%  core arithmetic" in line:
            out["ops"][current]["arithmetic"] = float(line.split("%")[0])
    return out


def print_core_shares(profile: dict | None) -> None:
    print()
    if not profile:
        print("core share split: no bench/results/profile_core.txt (run bench/profile_core.sh)")
        return
    print(f"core share split, from {profile['header']}")
    print(f"{'operation':<22}{'libcrypto':>10}{'arithmetic':>12}")
    for op, shares in profile["ops"].items():
        print(f"{op:<22}{shares.get('libcrypto', 0):>9.1f}%{shares.get('arithmetic', 0):>11.1f}%")


def print_envelopes(env: dict) -> None:
    print()
    if "unavailable" in env:
        print(f"symmetric envelopes: {env['unavailable']}")
        return
    print("Transit Package and stream beside AES-256-GCM, GB/s")
    print(f"{'operation':<16}{'size':>8}{'tarnel':>9}{'AESGCM':>9}{'ratio':>7}")
    for r in env["hybrid"]:
        print(f"{r['op']:<16}{size_name(r['size']):>8}{r['tarnel_gb_s']:>9.2f}"
              f"{r['aesgcm_gb_s']:>9.2f}{r['ratio']:>7.2f}")
    for r in env["stream"]:
        print(f"{r['op']:<16}{size_name(r['chunk']):>8}{r['tarnel_gb_s']:>9.2f}"
              f"{r['aesgcm_gb_s']:>9.2f}{r['ratio']:>7.2f}")


def print_threads(report: dict) -> None:
    print()
    print("Threads: the same work per thread on 1 and on 2 threads")
    print(f"{'work':<28}{'1 thread':>12}{'2 threads':>12}{'speed-up':>10}"
          f"{'2 processes':>13}")
    for r in report["mlkem_threads"]:
        procs = r.get("two_processes_speedup")
        print(f"{'ML-KEM-' + str(r['level']) + ' ' + r['op'] + ' (ops/s)':<28}"
              f"{r['one_thread_ops_s']:>12,.0f}{r['two_threads_ops_s']:>12,.0f}{r['speedup']:>10.2f}"
              + ("" if procs is None else f"{procs:>13.2f}"))
    for r in report["envelopes"].get("threads", []):
        procs = r.get("two_processes_speedup")
        print(f"{'stream ' + size_name(r['chunk']) + ' chunks (GB/s)':<28}"
              f"{r['one_thread_gb_s']:>12.2f}{r['two_threads_gb_s']:>12.2f}{r['speedup']:>10.2f}"
              + ("" if procs is None else f"{procs:>13.2f}"))
    print("  (2 processes: the same work in two processes, no lock shared: what the machine "
          "allowed then)")


def print_boundary(b: dict) -> None:
    print()
    print(f"Python boundary: refused encapsulate(b'') {b['refused_call_ns']:.0f} ns, "
          f"serialize_public_key(b'') {b['serialize_empty_ns']:.0f} ns")
    for op, e in b["per_op"].items():
        line = (f"  ML-KEM-768 {op}: {e['python_ns']:,.0f} ns per call, refused call "
                f"{100 * e['refused_share']:.1f}% of it")
        if "core_ns" in e:
            line += (f"; core alone {e['core_ns']:,.0f} ns, difference "
                     f"{100 * e['difference_share']:.1f}%")
        print(line)


def print_files(files: dict) -> None:
    print()
    print(f"Whole files on tmpfs beside shutil.copyfileobj of the same file, GB/s "
          f"(CPU seconds per run in brackets)")
    print(f"{'operation':<16}{'chunks':>8}{'tarnel':>9}{'copy':>9}{'ratio':>7}")
    for r in files["rows"]:
        print(f"{r['op']:<16}{size_name(r['chunk']):>8}{r['tarnel_gb_s']:>9.2f}"
              f"{r['copy_gb_s']:>9.2f}{r['ratio']:>7.2f}   [{r['cpu_s']:.2f} s / "
              f"{r['copy_cpu_s']:.2f} s]")


def print_gcm(rows: list[dict]) -> None:
    print()
    print("libcrypto AES-256-GCM beside the stream's chunks on the same buffers, GB/s")
    print(f"{'operation':<10}{'chunk':>8}{'libcrypto':>11}{'stream C++':>12}{'fraction':>10}"
          f"{'via Python':>12}{'fraction':>10}")
    for r in rows:
        core = "n/a" if r["stream_core_gb_s"] is None else f"{r['stream_core_gb_s']:.2f}"
        frac = "n/a" if r["core_fraction"] is None else f"{r['core_fraction']:.2f}"
        print(f"{r['op']:<10}{size_name(r['chunk']):>8}{r['libcrypto_gb_s']:>11.2f}{core:>12}"
              f"{frac:>10}{r['stream_python_gb_s']:>12.2f}{r['python_fraction']:>10.2f}")


def print_report(report: dict) -> None:
    m = report["machine"]
    print(f"{m['cpu']}, {m['cpus']} cpus, Python {m['python']}, "
          f"median of {report['repeats']} repetitions; load average "
          f"{m['load_avg_at_start'][0]:.1f} at the start, {m['load_avg_at_end'][0]:.1f} at the end")
    env = report["envelopes"]
    if report["mlkem"]:
        print_mlkem(report)
    if report["key_objects"]:
        print_key_objects(report["key_objects"])
    if "unavailable" in env or env["hybrid"] or env["stream"]:
        print_envelopes(env)
    if report["mlkem_threads"] or env.get("threads"):
        print_threads(report)
    if "refused_call_ns" in report["boundary"]:
        print_boundary(report["boundary"])
    if report["files"].get("rows"):
        print_files(report["files"])
    if report["gcm"]:
        print_gcm(report["gcm"])
    print()
    print("Targets")
    for t in report["targets"]:
        status = "n/a " if t["met"] is None else ("met " if t["met"] else "MISS")
        shown = "n/a" if t["measured"] is None else f"{t['measured']:.3f}"
        rel = "<" if "boundary" in t["target"] else ">="
        control = t.get("two_processes")
        ceiling = "" if control is None else f"; two processes reached {control:.2f}"
        print(f"  {status} {t['target']}: {shown} (target {rel} {t['threshold']}{ceiling})")


def draw_chart(report: dict, path: Path) -> str | None:
    try:
        import matplotlib  # noqa: PLC0415

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # noqa: PLC0415
        # Fixed ids inside the SVG: the same report draws the same file.
        matplotlib.rcParams["svg.hashsalt"] = "tarnel"
    except ImportError:
        return "matplotlib not installed: no chart drawn"
    rows = [t for t in report["targets"]
            if t["measured"] is not None and "boundary" not in t["target"]]
    env = report["envelopes"]
    extra = [{"target": f"{r['op']} {size_name(r.get('size', r.get('chunk', 0)))} vs AES-256-GCM",
              "measured": r["ratio"], "threshold": None}
             for r in env.get("hybrid", []) + env.get("stream", [])
             if r.get("size") != 64 * MiB and r.get("chunk") != 64 * KiB]
    rows = rows + extra
    fig, ax = plt.subplots(figsize=(10, 0.32 * len(rows) + 1.5))
    labels = [r["target"] for r in rows]
    values = [r["measured"] for r in rows]
    colours = ["tab:gray" if r["threshold"] is None
               else ("tab:green" if r["measured"] >= r["threshold"] else "tab:red") for r in rows]
    y = range(len(rows))
    ax.barh(list(y), values, color=colours)
    for i, r in enumerate(rows):
        if r["threshold"] is not None:
            ax.plot([r["threshold"]] * 2, [i - 0.4, i + 0.4], color="black", linewidth=1)
        if r.get("two_processes") is not None:
            ax.plot([r["two_processes"]], [i], marker="x", color="black", markersize=5)
    ax.set_yticks(list(y), labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, color="gray", linestyle=":", linewidth=1)
    ax.set_xlabel("ratio (tarnel / peer, or 2 threads / 1); black tick: target; "
                  "x: two processes, the machine's ceiling at that moment")
    ax.set_title("tarnel beside its peers (green: target met, red: missed, gray: no target)")
    fig.tight_layout()
    # SVG keeps its text selectable and has no timestamp (the same figures
    # give the same file); PNG for viewers without SVG.
    for target in (path.with_suffix(".svg"), path.with_suffix(".png")):
        fig.savefig(target, dpi=110, metadata={"Date": None} if target.suffix == ".svg" else None)
    plt.close(fig)
    return None


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"cpu": cpu, "cpus": os.cpu_count(), "python": platform.python_version(),
            "platform": platform.platform(), "load_avg_at_start": os.getloadavg()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller data, fewer repetitions")
    parser.add_argument("--repeats", type=int, default=None, help="repetitions per figure")
    parser.add_argument("--core-bench", metavar="PATH",
                        help="the bench_mlkem binary, to set the core's own time beside Python's")
    parser.add_argument("--gcm-bench", metavar="PATH",
                        help="the bench_gcm binary, to set libcrypto's AES-256-GCM beside the "
                             "stream's")
    parser.add_argument("--out", type=Path, default=RESULTS_DIR, help="directory for JSON and PNG")
    parser.add_argument("--only", action="append", choices=SECTIONS,
                        help="run this section only (repeatable); all by default")
    parser.add_argument("--redraw", metavar="JSON", type=Path,
                        help="measure nothing: print the report saved in JSON and draw its "
                             "chart again (compare.svg and compare.png in --out)")
    args = parser.parse_args()
    if args.redraw is not None:
        report = json.loads(args.redraw.read_text())
        print_report(report)
        args.out.mkdir(parents=True, exist_ok=True)
        note = draw_chart(report, args.out / "compare.png")
        print()
        print(note or f"chart: {args.out / 'compare.svg'} and .png")
        return
    repeats = args.repeats or (3 if args.quick else 7)
    seconds = 0.05 if args.quick else 0.2

    only = set(args.only or SECTIONS)
    report = {"machine": machine(), "repeats": repeats, "quick": args.quick,
              "mlkem": [], "peers_missing": {}, "key_objects": [], "envelopes": {"hybrid": [], "stream": []},
              "mlkem_threads": [], "boundary": {"per_op": {}}, "files": {}, "gcm": []}
    if "mlkem" in only:
        report["mlkem"], report["peers_missing"] = bench_mlkem(repeats, seconds)
        report["core_profile"] = read_core_profile(RESULTS_DIR / "profile_core.txt")
    if "keyobjects" in only:
        report["key_objects"] = bench_key_objects(repeats, seconds)
    if "envelopes" in only:
        report["envelopes"] = bench_envelopes(args.quick, repeats)
    if "threads" in only:
        report["mlkem_threads"] = bench_mlkem_threads(repeats, seconds)
        if "envelopes" not in only:
            report["envelopes"]["threads"] = bench_stream_threads(args.quick, repeats)
    if "boundary" in only:
        report["boundary"] = bench_boundary(repeats, seconds, args.core_bench)
    if "files" in only:
        report["files"] = bench_files(args.quick, repeats)
    if args.gcm_bench:
        report["gcm"] = bench_gcm(args.gcm_bench, args.quick, repeats)
    report["machine"]["load_avg_at_end"] = os.getloadavg()
    report["targets"] = targets(report)

    print_report(report)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "compare.json").write_text(json.dumps(report, indent=2) + "\n")
    note = draw_chart(report, args.out / "compare.png")
    print()
    print(f"figures: {args.out / 'compare.json'}")
    print(note or f"chart: {args.out / 'compare.svg'} and .png")


if __name__ == "__main__":
    main()
