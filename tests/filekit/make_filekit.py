"""Writes the file-format test kit: small files, each valid or broken in one
way, and manifest.json with the outcome a reader must give for each.

Every random value comes from fixed seeds, so running this again writes the
same bytes (the kit's test checks that). Run from the repository root with
the package importable:

    PYTHONPATH=src python3 tests/filekit/make_filekit.py
"""

from __future__ import annotations

import hashlib
import json
import struct
import sys
from pathlib import Path

from tarnel import _tarnel_pq, files, xwing
from tarnel.hpke import AEAD, KDF, KEM

HERE = Path(__file__).resolve().parent
CHUNK = 1024

# The identities the manifest names, from fixed seeds.
XWING_SEED = bytes(range(32))
MLKEM_SEED = bytes(range(64, 128))
MLKEM1024_SEED = bytes(range(128, 192))
PASSPHRASE = "correct horse battery staple"
IDENTITIES = {"xwing": XWING_SEED, "mlkem768": MLKEM_SEED, "mlkem1024": MLKEM1024_SEED}


def stream(label: str, n: int) -> bytes:
    return hashlib.shake_256(b"filekit " + label.encode()).digest(n)


def mlkem_public_key(kem: int, seed: bytes) -> bytes:
    return _tarnel_pq.hpke_load_private_key(kem, seed).public_key().public_bytes()


def public_keys() -> tuple[bytes, bytes]:
    xwing_pk = xwing.generate_keypair(XWING_SEED)[1]
    return xwing_pk, mlkem_public_key(KEM.ML_KEM_768, MLKEM_SEED)


def kem_entry(kem: int, public_key: bytes, file_key: bytes, label: str) -> files.Entry:
    n_random = 64 if kem == KEM.X_WING else 32
    enc, ctx = _tarnel_pq.hpke_setup_sender(kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM, public_key,
                                            files.entry_label(kem), stream(label, n_random))
    tag = files.recipient_tag(file_key, kem, public_key)
    return files.Entry(kem, enc + ctx.seal(file_key, b"") + tag)


def passphrase_entry(file_key: bytes, label: str, log2_n: int = 17) -> files.Entry:
    salt = stream(label + " salt", 16)
    kek = hashlib.scrypt(PASSPHRASE.encode(), salt=salt, n=1 << log2_n, r=8, p=1, dklen=32,
                         maxmem=1 << 30)
    wrapped = _tarnel_pq.file_wrap_key(kek, files.entry_label(files.TYPE_PASSPHRASE), file_key)
    return files.Entry(files.TYPE_PASSPHRASE, bytes([log2_n, 8, 1]) + salt + wrapped)


def header(file_key: bytes, nonce: bytes, entries: list[files.Entry], *, count: int | None = None,
           version: int = 1, chunk_size: int = CHUNK, magic: bytes = files.MAGIC) -> bytes:
    body = (magic + bytes([version]) + struct.pack(">I", chunk_size) + nonce
            + struct.pack(">H", len(entries) if count is None else count)
            + b"".join(e.encode() for e in entries))
    return body + _tarnel_pq.file_header_mac(file_key, body)


def chunks(file_key: bytes, nonce: bytes, plaintext: bytes) -> list[bytes]:
    pieces = [plaintext[i:i + CHUNK] for i in range(0, len(plaintext), CHUNK)] or [b""]
    return [_tarnel_pq.file_seal_chunk(file_key, nonce, i, i == len(pieces) - 1, p)
            for i, p in enumerate(pieces)]


def build() -> dict[str, tuple[bytes, dict[str, object]]]:
    xwing_pk, mlkem_pk = public_keys()
    key_a, nonce_a = stream("key a", 32), stream("nonce a", 32)
    key_b, nonce_b = stream("key b", 32), stream("nonce b", 32)
    plain = stream("plaintext", 2 * CHUNK + 500)  # three chunks, the last partial
    entries_a = [kem_entry(KEM.X_WING, xwing_pk, key_a, "a x"),
                 kem_entry(KEM.ML_KEM_768, mlkem_pk, key_a, "a m")]
    head_a = header(key_a, nonce_a, entries_a)
    body_a = chunks(key_a, nonce_a, plain)
    file_a = head_a + b"".join(body_a)
    entries_b = [kem_entry(KEM.X_WING, xwing_pk, key_b, "b x")]
    head_b = header(key_b, nonce_b, entries_b)

    def ok(data: bytes, plaintext: bytes, ids: list[str]) -> tuple[bytes, dict[str, object]]:
        return data, {"identities": ids, "plaintext_sha256": hashlib.sha256(plaintext).hexdigest()}

    def bad(data: bytes, error: str, message: str,
            ids: list[str] = ["xwing", "mlkem768"]) -> tuple[bytes, dict[str, object]]:
        return data, {"identities": ids, "error": error, "message": message}

    unknown = files.Entry(0x7A7A, b"an entry type no reader knows")
    exact = stream("exact", 2 * CHUNK)
    mac_flipped = bytearray(file_a)
    mac_flipped[len(head_a) - 1] ^= 0x01
    dup_entries = [entries_a[0], entries_a[0]]
    long_entry = files.Entry(KEM.X_WING, entries_a[0].body + b"\x00")
    # The recipient tag is under the MAC: altering it breaks the header.
    tag_altered = [files.Entry(KEM.X_WING, entries_a[0].body[:-1]
                               + bytes([entries_a[0].body[-1] ^ 1])), entries_a[1]]
    mlkem1024_pk = mlkem_public_key(KEM.ML_KEM_1024, MLKEM1024_SEED)
    entries_c = [kem_entry(KEM.ML_KEM_1024, mlkem1024_pk, key_b, "c m")]
    # Two full chunks, then an empty final chunk: the writer never makes one.
    sealed_last_empty = [_tarnel_pq.file_seal_chunk(key_a, nonce_a, i, False, exact[i * CHUNK:(i + 1) * CHUNK])
                         for i in range(2)] + [_tarnel_pq.file_seal_chunk(key_a, nonce_a, 2, True, b"")]
    return {
        "valid_two_recipients": ok(file_a, plain, ["xwing"]),
        "valid_second_recipient": ok(file_a, plain, ["mlkem768"]),
        "valid_empty": ok(header(key_b, nonce_b, entries_b) + b"".join(chunks(key_b, nonce_b, b"")),
                          b"", ["xwing"]),
        "valid_exact_chunks": ok(header(key_b, nonce_b, entries_b)
                                 + b"".join(chunks(key_b, nonce_b, exact)), exact, ["xwing"]),
        "valid_unknown_entry_type": ok(header(key_a, nonce_a, [unknown] + entries_a)
                                       + b"".join(body_a), plain, ["mlkem768"]),
        "valid_passphrase": ok(header(key_b, nonce_b, [passphrase_entry(key_b, "p")])
                               + b"".join(chunks(key_b, nonce_b, plain[:100])),
                               plain[:100], ["passphrase"]),
        "no_matching_identity": bad(head_b + b"".join(chunks(key_b, nonce_b, plain)),
                                    "DecryptionError", "no identity opens this file", ["mlkem768"]),
        "bad_mac": bad(bytes(mac_flipped), "DecryptionError", "the header MAC does not verify"),
        "entry_duplicated": bad(header(key_a, nonce_a, dup_entries) + b"".join(body_a),
                                "FileFormatError", "the header holds the same entry twice"),
        "passphrase_beside_recipient": bad(
            header(key_b, nonce_b, [passphrase_entry(key_b, "q"), entries_b[0]])
            + b"".join(chunks(key_b, nonce_b, plain)),
            "FileFormatError", "a passphrase entry must be the only entry"),
        "too_many_entries": bad(
            header(key_a, nonce_a, [files.Entry(0x7A00 + i, b"x") for i in range(65)])
            + b"".join(body_a), "FileFormatError", "entry count 65 is not from 1 to 64"),
        "no_entries": bad(header(key_a, nonce_a, []) + b"".join(body_a),
                          "FileFormatError", "entry count 0 is not from 1 to 64"),
        "noncanonical_entry_length": bad(header(key_a, nonce_a, [long_entry]) + b"".join(body_a),
                                         "FileFormatError",
                                         "entry of type 0x647a has length 1185, not 1184"),
        "valid_mlkem1024_only": ok(header(key_b, nonce_b, entries_c)
                                   + b"".join(chunks(key_b, nonce_b, plain[:CHUNK + 1])),
                                   plain[:CHUNK + 1], ["mlkem1024"]),
        "recipient_tag_altered": bad(header(key_a, nonce_a, tag_altered)[:-32] + head_a[-32:]
                                     + b"".join(body_a), "DecryptionError",
                                     "the header MAC does not verify"),
        "truncated_at_chunk_boundary": bad(head_a + b"".join(body_a[:2]),
                                           "DecryptionError", "does not open"),
        "extended_by_a_chunk": bad(file_a + body_a[2], "DecryptionError", "does not open"),
        "chunks_swapped": bad(head_a + body_a[1] + body_a[0] + body_a[2],
                              "DecryptionError", "does not open"),
        "header_from_another_file": bad(head_b + b"".join(body_a),
                                        "DecryptionError", "does not open"),
        "empty_final_chunk_after_data": bad(head_a + b"".join(sealed_last_empty),
                                            "FileFormatError", "is too short"),
        "no_payload": bad(head_a, "FileFormatError", "is too short"),
        "truncated_header": bad(head_a[:100], "FileFormatError", "the header is truncated"),
        "passphrase_work_factor_too_high": bad(
            header(key_b, nonce_b, [files.Entry(files.TYPE_PASSPHRASE, bytes([30, 8, 1]) + bytes(64))])
            + b"".join(chunks(key_b, nonce_b, plain[:100])),
            "FileFormatError", "passphrase work factor out of range (log2 N 30, r 8, p 1)",
            ["passphrase"]),
        "unknown_entry_too_long": bad(
            header(key_a, nonce_a, [files.Entry(0x7A7A, bytes(65537))] + entries_a) + b"".join(body_a),
            "FileFormatError", "entry of type 0x7a7a is longer than 65536 bytes"),
        "wrong_magic": bad(b"\x89TNL\r\n\x1a\r" + file_a[8:], "FileFormatError",
                           "not a tarnel file: the magic bytes do not match"),
        "unknown_version": bad(header(key_a, nonce_a, entries_a, version=2) + b"".join(body_a),
                               "FileFormatError", "unsupported file version 2"),
        "chunk_size_not_power_of_two": bad(
            header(key_a, nonce_a, entries_a, chunk_size=1000) + b"".join(body_a),
            "FileFormatError", "chunk size 1000 is not a power of two from 1 KiB to 16 MiB"),
    }


def main() -> int:
    manifest = {"identities": {"xwing": XWING_SEED.hex(), "mlkem768": MLKEM_SEED.hex(),
                               "mlkem1024": MLKEM1024_SEED.hex(), "passphrase": PASSPHRASE},
                "cases": {}}
    for name, (data, outcome) in sorted(build().items()):
        (HERE / f"{name}.tnl").write_bytes(data)
        manifest["cases"][name] = {"file": f"{name}.tnl", **outcome}
    (HERE / "manifest.json").write_text(json.dumps(manifest, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
