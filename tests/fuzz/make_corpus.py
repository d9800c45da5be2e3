"""Writes the seed corpus of each libFuzzer harness to tests/fuzz/corpus/<harness>/.

Seeds that must open (packages, streams, wrapped blobs) are made with the
fixed key pairs of fuzz_support.h (d = 00..1f, z = 20..3f). Needs the built
extension:

    PYTHONPATH=<build>/python python tests/fuzz/make_corpus.py [harness]

With a harness name, only that harness's corpus is written.
"""

import base64
import io
import shutil
import struct
from pathlib import Path

from tarnel import _tarnel_core as tc

CORPUS = Path(__file__).resolve().parent / "corpus"
LEVELS = [tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_768, tc.SecurityLevel.ML_KEM_1024]
KEYPAIRS = [tc.generate_keypair_deterministic(bytes(range(32)), bytes(range(32, 64)), lv)
            for lv in LEVELS]


def frame_parts(frame):
    n = struct.unpack(">I", frame[:4])[0]
    return frame[:4], frame[4:4 + n], frame[4 + n:]


def seeds():
    kp = KEYPAIRS[0]
    texts = [b"", b"QQ", b"QUI", b"QUJD", b"_-_-", b"ab+d", b"abcde", b"ab", b"QQ==", b" QUJD\n",
             "\u3000QUJD\u2029==".encode()]
    yield "base64url_fuzz", texts + [kp.public_key_b64().encode(),
                                     (" " + kp.public_key_b64() + "==\n").encode()]
    yield "base64_fuzz", [b"", b"QQ==", b"QUI=", b"QUJD", b"QQ=", b"Q===", b"+/+/", b"-_-_",
                          base64.b64encode(bytes(range(256)))]

    pems = []
    for i, kp in enumerate(KEYPAIRS):
        pem = kp.public_key_pem()
        pems += [pem.encode(), kp.export_secret_key_pem(b"pw").encode()]
        if i == 0:
            pems += [("junk\n" + pem.replace("\n", "\r\n") + "trailer").encode(),
                     pem.replace("A", "*", 1).encode(), pem[:40].encode(),
                     pem.replace("\n", "\u2028").encode()]
    yield "pem_fuzz", pems

    docs = [kp.public_key_json().encode() for kp in KEYPAIRS]
    doc = KEYPAIRS[0].public_key_json()
    docs += [doc.replace('":"', '": \u00a0"').encode(), doc.replace("ML-KEM", "RSA").encode(),
             doc.replace('"ML_KEM_512"', "512").encode(), doc[:-3].encode(),
             b'{"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":""}']
    yield "json_fuzz", docs

    blobs = []
    for kp in KEYPAIRS:
        blob = kp.export_secret_key_raw(b"pw")
        blobs += [b"\x02pw" + blob, b"\x02pX" + blob, b"\x02pw" + blob[:5] + b"\x03" + blob[6:]]
    blobs += [b"\x00" + b"TRPK\x01\x00" + bytes(44), b"\x00short"]
    yield "key_wrap_fuzz", blobs

    packages = []
    for i, kp in enumerate(KEYPAIRS):
        lv = LEVELS[i]
        packages += [bytes([i]) + tc.encrypt_hybrid(kp.public_key, b"", lv),
                     bytes([i]) + tc.encrypt_hybrid(kp.public_key, b"hello, world" * 5, lv)]
    packages += [bytes([0x81]) + packages[1][1:], b"\x01" + bytes(100)]
    yield "hybrid_fuzz", packages

    streams = []
    for i, kp in enumerate(KEYPAIRS):
        header, enc = tc.stream_encryptor_new(kp.public_key, 32, LEVELS[i])
        frames = [enc.encrypt_chunk(c) for c in (b"first chunk", b"x" * 32, b"")]
        marker = enc.finalize()
        streams.append(bytes([i]) + header + b"".join(frames) + marker)
        if i == 0:
            streams.append(bytes([i]) + header + frames[1] + frames[0] + marker)  # reordered
            streams.append(bytes([i]) + header + frames[0] + marker + frames[1])  # after EOF
            streams.append(bytes([i]) + header[:-4] + struct.pack(">I", 0) + frames[0])
    yield "stream_fuzz", streams
    # The same streams fed 1, 7 and 64 bytes at a time, and inputs that are none.
    yield "stream_frames_fuzz", [s[:1] + bytes([step - 1]) + s[1:]
                                 for s in streams for step in (1, 7, 64)] + [
        b"\x01\x00", b"\x01\x06hello world\n", b"\x00\x10" + bytes(2000)]

    capsules = []
    for i, kp in enumerate(KEYPAIRS):
        capsule, _ = tc.encapsulate(kp.public_key, LEVELS[i])
        capsules += [bytes([i]) + capsule,                      # mode 0
                     bytes([i | 4]) + kp.secret_key + capsule,  # mode 1
                     bytes([i | 8]) + bytes(32) + kp.public_key,  # mode 2
                     bytes([i | 12, len(capsule) // 16]) + capsule + kp.secret_key]  # mode 3
    capsules.append(bytes([8]) + bytes(32) + b"\xff" * 800)  # coefficients >= q
    yield "decaps_fuzz", capsules
    yield "hpke_fuzz", hpke_seeds()
    yield "file_header_fuzz", file_header_seeds()
    yield "armor_fuzz", armor_seeds()
    # file_payload_fuzz: chunk size byte, first index, ends, flip, then data:
    # empty, short, whole chunks, a run that does not end, a flipped byte.
    yield "file_payload_fuzz", [
        bytes([15, 0, 1, 0]), bytes([15, 0, 1, 0]) + b"abc", bytes([15, 3, 1, 0]) + bytes(48),
        bytes([15, 0, 0, 0]) + bytes(range(32)), bytes([63, 7, 1, 9]) + bytes(range(200)),
        bytes([0, 0, 1, 1]) + b"xy",
    ]


def armor_seeds():
    """Armor blocks, each after a byte saying how many piece sizes follow
    (armor_fuzz.cc): well formed, with CRLF and whitespace around, and each
    kind of damage."""
    from tarnel import armor

    def block(data):
        out = io.BytesIO()
        w = armor.ArmorWriter(out)
        w.write(data)
        w.finish()
        return out.getvalue()

    text = block(bytes(range(256)) * 2)
    lines = text.split(b"\n")
    texts = [
        block(b""), block(b"x"), text, text.replace(b"\n", b"\r\n"),
        b" \t\r\n\n" + text + b"\n  \n", text[:-1], text.replace(b"\n", b"\r", 3),
        text.replace(lines[2] + b"\n", b""), text.replace(lines[1], lines[1][:60]),
        text.replace(lines[1], lines[1] + b"A"), text.replace(b"STREAM", b"FILE", 1),
        text[: text.index(armor.END_LINE)], text + b"junk", text + b" " * 4097,
        text.replace(lines[-3], lines[-3][:-4] + b"QR=="), b"  " + text, b"",
    ]
    return [bytes([i % 8]) + bytes(range(1, 1 + i % 8)) + t for i, t in enumerate(texts)]


# The suite table of hpke_fuzz.cc, in its order.
HPKE_SUITES = [(0x0010, 0x0001, 0x0001), (0x0011, 0x0002, 0x0002), (0x0020, 0x0003, 0x0003),
               (0x0040, 0x0010, 0x0001), (0x0041, 0x0011, 0x0002), (0x0042, 0x0001, 0x0003),
               (0x0050, 0x0010, 0x0001), (0x0051, 0x0011, 0x0002), (0x647A, 0x0001, 0x0003),
               (0x647A, 0x0011, 0xFFFF)]


def hpke_seeds():
    from tarnel.hpke import AEAD, Suite

    items = []
    for i, ids in enumerate(HPKE_SUITES):
        suite = Suite(*ids)
        sk, pk = suite.derive_key_pair(bytes(range(64)))  # the harness's fixed recipient
        if suite.aead != AEAD.EXPORT_ONLY:
            items.append(bytes([i, 0]) + suite.seal(pk, b"fuzz"))           # mode 0: opens
        else:
            items.append(bytes([i, 0]) + suite.setup_sender(pk)[0])
        items.append(bytes([i, 1, len(pk) // 8]) + pk[:len(pk) // 8 * 8] + sk)  # mode 1
        items.append(bytes([i, 2]) + bytes(range(32)))                     # mode 2
    return items


def file_header_seeds():
    """Whole files of each entry kind, and a header with an unknown entry."""
    from tarnel import files, xwing
    from tarnel.hpke import KDF, KEM, Suite

    items = [files.encrypt(b"fuzz", [xwing.generate_keypair(bytes(32))[1]], chunk_size=1024,
                           _seed=b"fuzz xwing")]
    for kem in (KEM.ML_KEM_768, KEM.ML_KEM_1024):
        pk = Suite(kem, KDF.HKDF_SHA256, 2).derive_key_pair(bytes(range(64)))[1]
        items.append(files.encrypt(b"fuzz", [pk], _seed=b"fuzz mlkem"))
    items.append(files.encrypt(b"", passphrase="fuzz", _seed=b"fuzz passphrase"))
    unknown = files.Entry(0x7A7A, b"later")
    items.append(files.MAGIC + bytes([1]) + struct.pack(">I", 1024) + bytes(32)
                 + struct.pack(">H", 2) + unknown.encode() + files.Entry(0x7A7B, b"").encode()
                 + bytes(32))
    # One entry of each KEM type, as a re-keyed file holds them.
    everyone = [xwing.generate_keypair(bytes(32))[1]] + [
        Suite(kem, KDF.HKDF_SHA256, 2).derive_key_pair(bytes(range(64)))[1]
        for kem in (KEM.ML_KEM_768, KEM.ML_KEM_1024)]
    items.append(files.encrypt(b"fuzz", everyone, chunk_size=1024, _seed=b"fuzz everyone"))
    return items


def main(only=None):
    for harness, items in seeds():
        if only is not None and harness != only:
            continue
        out = CORPUS / harness
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        for n, item in enumerate(items):
            (out / f"seed-{n:02d}").write_bytes(item)
        print(f"{harness}: {len(items)} seeds")


if __name__ == "__main__":
    import sys

    main(sys.argv[1] if len(sys.argv) > 1 else None)
