"""Memory stays flat while every entry point of tarnel._tarnel_core, of
tarnel._tarnel_fileio and of tarnel._tarnel_pq runs many thousands of times,
on its success and on its failure paths.

For each case the script runs a warm-up, then three times `--iterations`
calls, and compares before and after each window (a case fails when it
grows in all three): the interpreter's allocated block count (sys.getallocatedblocks,
which catches a leaked Python object or reference), the C heap in use
(glibc's mallinfo2, which catches native memory: the core's buffers and
OpenSSL's objects) and the resident set size (/proc/self/statm).
Exits 1 when a case grows beyond the limits.

    PYTHONPATH=<build>/python python tests/leaks/leak_check.py --iterations 5000
"""

import argparse
import ctypes
import gc
import os
import pickle
import sys
import time

import atexit
import shutil
import tempfile

from tarnel import _tarnel_core as tc
from tarnel import _tarnel_fileio as fio
from tarnel import _tarnel_pq as pq

PAGE = os.sysconf("SC_PAGE_SIZE")
L512, L768, L1024 = (tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_768,
                     tc.SecurityLevel.ML_KEM_1024)


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except (AttributeError, OSError):  # not glibc 2.33+: the resident set only
    _mallinfo2 = None


def heap_bytes():
    """Bytes of the C heap in use (allocated chunks plus mmap'd blocks)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def expect(exc_type, fn, *args, **kwargs):
    """A call that must raise exc_type (exactly, or a subclass for TypeError
    and friends raised by the interpreter)."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn.__name__} did not raise {exc_type.__name__}")
    return call


def cases():
    """(name, callable) pairs covering every function and method."""
    d, z, m = bytes(range(32)), bytes(range(32, 64)), bytes(range(64, 96))
    kp = tc.generate_keypair_deterministic(d, z, L768)
    pk, sk = kp.public_key, kp.secret_key
    capsule, _ = tc.encapsulate(pk)
    package = tc.encrypt_hybrid(pk, b"x" * 1000)
    tampered = package[:-1] + bytes([package[-1] ^ 1])
    b64 = tc.serialize_public_key(pk)
    pem = kp.public_key_pem()
    doc = kp.public_key_json()
    blob = kp.export_secret_key_raw(b"pw")
    enc_pem = kp.export_secret_key_pem(b"pw")
    header, _ = tc.stream_encryptor_new(pk, 4096)
    chunk = b"c" * 4000

    def stream_round_trip():
        h, enc = tc.stream_encryptor_new(pk, 4096)
        frame = enc.encrypt_chunk(chunk)
        enc.chunk_index(), enc.chunk_size(), enc.base_nonce()
        marker = enc.finalize()
        enc.chunk_index(), enc.chunk_size(), enc.base_nonce()
        dec = tc.stream_decryptor_from_header(h, sk, L768)
        assert dec.decrypt_chunk(frame[4:-16], frame[-16:]) == chunk
        dec.process_eof(marker[4:])
        dec.chunk_index(), dec.chunk_size(), dec.eof_seen()
        dec.finalize()
        dec.chunk_index(), dec.chunk_size(), dec.eof_seen()

    def stream_failures():
        _, enc = tc.stream_encryptor_new(pk, 16)
        expect(tc.InvalidParameterError, enc.encrypt_chunk, b"x" * 17)()
        expect(TypeError, enc.encrypt_chunk, bytearray(1))()
        enc.finalize()
        expect(tc.InvalidParameterError, enc.encrypt_chunk, b"x")()
        expect(tc.InvalidParameterError, enc.finalize)()
        dec = tc.stream_decryptor_from_header(header, sk, L768)
        expect(tc.DecryptionError, dec.decrypt_chunk, b"y" * 10, bytes(16))()
        expect(tc.InvalidParameterError, dec.decrypt_chunk, b"y", bytes(15))()
        expect(tc.InvalidParameterError, dec.decrypt_chunk, b"y" * 5000, bytes(16))()
        expect(tc.DecryptionError, dec.process_eof, bytes(16))()
        expect(TypeError, dec.process_eof, None)()
        dec.finalize()
        expect(tc.InvalidParameterError, dec.finalize)()
        expect(tc.InvalidParameterError, dec.process_eof, bytes(16))()

    # Whole files: small real files, read and written through descriptors.
    work = tempfile.mkdtemp(prefix="tarnel-leaks-")
    atexit.register(shutil.rmtree, work, True)
    plain_fd = os.open(os.path.join(work, "plain"), os.O_RDWR | os.O_CREAT, 0o600)
    os.write(plain_fd, os.urandom(10_000))
    out_fd = os.open(os.path.join(work, "out"), os.O_RDWR | os.O_CREAT, 0o600)
    fio.encrypt_fd(plain_fd, 0, out_fd, "out", pk, 4096, 768, None, None)
    stream = os.pread(out_fd, 1 << 20, 0)
    hlen = len(header)
    stream_fd = os.open(os.path.join(work, "stream"), os.O_RDWR | os.O_CREAT, 0o600)
    os.write(stream_fd, stream)
    readonly_fd = os.open(os.path.join(work, "plain"), os.O_RDONLY)
    dir_fd = os.open(work, os.O_RDONLY)  # pread fails: a read error naming in_name
    bad_fd = os.open(os.path.join(work, "bad"), os.O_RDWR | os.O_CREAT, 0o600)
    os.write(bad_fd, stream[:-1] + bytes([stream[-1] ^ 1]))
    cut_fd = os.open(os.path.join(work, "cut"), os.O_RDWR | os.O_CREAT, 0o600)
    os.write(cut_fd, stream[:-5])  # the framing fault is named natively

    def rewind():
        os.ftruncate(out_fd, 0)
        os.lseek(out_fd, 0, os.SEEK_SET)

    def file_encrypt():
        rewind()
        fio.encrypt_fd(plain_fd, 0, out_fd, "out", pk, 4096, 768, lambda d, t: None, 10_000)

    def file_decrypt():
        rewind()
        assert fio.decrypt_fd(stream_fd, hlen, out_fd, "out", stream[:hlen], sk, 768,
                              None, None) == (len(stream), 10_000)

    def file_failures():
        rewind()
        expect(tc.DecryptionError, fio.decrypt_fd, bad_fd, hlen, out_fd, "out",
               stream[:hlen], sk, 768, None, None)()
        rewind()
        expect(tc.DecryptionError, fio.decrypt_fd, cut_fd, hlen, out_fd, "out",
               stream[:hlen], sk, 768, None, None)()

    # The multi-recipient format's payload, plain and armored.
    file_key, file_nonce = bytes(range(32)), bytes(32)
    rewind()
    fio.file_encrypt_fd(plain_fd, 0, out_fd, "out", b"", file_key, file_nonce, 1024, None, None)
    payload = os.pread(out_fd, 1 << 20, 0)
    payload_fd = os.open(os.path.join(work, "payload"), os.O_RDWR | os.O_CREAT, 0o600)
    os.write(payload_fd, payload)
    armor_enc = fio.armor_encoder()
    armored = (fio.ARMOR_FILE_BEGIN_LINE + b"\n" + fio.armor_encode(armor_enc, payload)
               + fio.armor_encode_finish(armor_enc) + fio.ARMOR_FILE_END_LINE + b"\n")
    armored_fd = os.open(os.path.join(work, "payload.asc"), os.O_RDWR | os.O_CREAT, 0o600)
    os.write(armored_fd, armored)
    flipped_fd = os.open(os.path.join(work, "payload.bad"), os.O_RDWR | os.O_CREAT, 0o600)
    os.write(flipped_fd, payload[:500] + bytes([payload[500] ^ 1]) + payload[501:])

    def payload_round_trip():
        rewind()
        fio.file_encrypt_fd(plain_fd, 0, out_fd, "out", b"header", file_key, file_nonce, 1024,
                            lambda d, t: None, 10_000)
        rewind()
        fio.file_encrypt_fd(plain_fd, 0, out_fd, "out", b"header", file_key, file_nonce, 1024,
                            None, None, "plain", True)
        rewind()
        assert fio.file_decrypt_fd(payload_fd, 0, out_fd, "out", file_key, file_nonce, 1024,
                                   None, None, "payload")[1:] == (10_000, None)
        rewind()
        assert fio.file_decrypt_fd(armored_fd, 0, out_fd, "out", file_key, file_nonce, 1024,
                                   None, None, "payload.asc", 0, True)[1:] == (10_000, None)

    def payload_failures():
        rewind()
        assert fio.file_decrypt_fd(flipped_fd, 0, out_fd, "out", file_key, file_nonce, 1024,
                                   None, None, "payload.bad")[2] == ("chunk", 0)
        rewind()
        assert fio.file_decrypt_fd(payload_fd, 0, out_fd, "out", file_key, file_nonce, 1024,
                                   None, None, "payload", 0, False)[2] is not None  # labels
        expect(tc.InvalidParameterError, fio.file_encrypt_fd, plain_fd, 0, out_fd, "out", b"",
               file_key[:-1], file_nonce, 1024, None, None)()
        expect(IsADirectoryError, fio.file_decrypt_fd, dir_fd, 0, out_fd, "out", file_key,
               file_nonce, 1024, None, None, "dir")()
        expect(ZeroDivisionError, fio.file_encrypt_fd, plain_fd, 0, out_fd, "out", b"",
               file_key, file_nonce, 1024, lambda d, t: 1 / 0, 10_000)()

    def framing():
        fio.level_sizes(1024)
        assert fio.read_header(stream, 768, True) == (hlen, 4096)
        expect(tc.DecryptionError, fio.read_header, b"hello world\n", 768, True)()
        expect(tc.DecryptionError, fio.read_frame, stream[hlen:hlen + 4], 30, 4096, 0, True)()
        expect(tc.DecryptionError, fio.read_after_end, 1, True)()
        fio.public_key_text(pk, 768, "pem")
        fio.public_key_text(pk, 768, "json")
        expect(tc.InvalidParameterError, fio.public_key_text, pk[:-1], 768, "pem")()
        rewind()
        expect(ZeroDivisionError, fio.encrypt_fd, plain_fd, 0, out_fd, "out", pk, 4096, 768,
               lambda d, t: 1 / 0, None)()
        expect(OSError, fio.encrypt_fd, plain_fd, 0, readonly_fd, "plain", pk, 4096, 768,
               None, None)()  # the writer thread's error
        expect(tc.InvalidParameterError, fio.encrypt_fd, plain_fd, 0, out_fd, "out",
               pk[:-1], 4096, 768, None, None)()
        expect(TypeError, fio.decrypt_fd, stream_fd, hlen)()
        expect(IsADirectoryError, fio.encrypt_fd, dir_fd, 0, out_fd, "out", pk, 4096, 768,
               None, None, "in")()
        expect(IsADirectoryError, fio.decrypt_fd, dir_fd, 0, out_fd, "out", stream[:hlen], sk,
               768, None, None, "in")()

    def armor_codec():
        enc = fio.armor_encoder()
        body = fio.armor_encode(enc, b"x" * 1000) + fio.armor_encode_finish(enc)
        text = fio.ARMOR_BEGIN_LINE + b"\n" + body + fio.ARMOR_END_LINE + b"\n"
        assert fio.armor_decode(fio.armor_decoder(False), text, True)[2] is None
        assert fio.armor_decode(fio.armor_decoder(True), text, True)[2] is not None  # label
        assert fio.armor_decode(fio.armor_decoder(False), text[:-30], True)[2] is not None
        expect(TypeError, fio.armor_decode, enc, b"", True)()

    # X-Wing and HPKE.
    xw_sk, xw_pk = pq.xwing_generate_keypair(d)
    xw_ct, _ = pq.xwing_encapsulate(xw_pk)
    hpke_suite = (0x647A, 0x0011, 0x0003)
    hpke_sk = pq.hpke_derive_key_pair(0x647A, d)
    hpke_pk = hpke_sk.public_key()
    hpke_enc, hpke_sender = pq.hpke_setup_sender(*hpke_suite, hpke_pk, b"info")
    hpke_ct = hpke_sender.seal(b"m" * 100)

    def hpke_round_trip():
        # Keys as bytes (an X-Wing key pair is an HPKE one), then as objects.
        for pk, sk in ((xw_pk, xw_sk), (hpke_pk, hpke_sk)):
            enc, sender = pq.hpke_setup_sender(*hpke_suite, pk, b"info")
            ct = sender.seal(b"m" * 100, b"aad")
            recipient = pq.hpke_setup_recipient(*hpke_suite, sk, enc, b"info")
            recipient.open(ct, b"aad")
            recipient.export(b"e", 64)
            repr(recipient)

    def hpke_failures():
        recipient = pq.hpke_setup_recipient(*hpke_suite, xw_sk, hpke_enc, b"info")
        expect(tc.DecryptionError, recipient.open, hpke_ct[:-1] + b"!")()
        expect(tc.InvalidParameterError, recipient.export, b"", 70000)()
        expect(tc.InvalidParameterError, recipient.seal, b"x")()
        expect(tc.InvalidParameterError, pq.hpke_load_public_key, 0x41, b"\xff" * 1184)()
        expect(tc.InvalidParameterError, pq.hpke_setup_sender, 0x12, 1, 1, xw_pk, b"")()
        expect(tc.DecapsulationError, pq.hpke_setup_recipient, 0x20, 1, 1, bytes(32), bytes(32),
               b"")()
        expect(TypeError, pq.hpke_setup_sender, *hpke_suite, bytearray(xw_pk), b"")()

    xw_pub, xw_priv = pq.XWingPublicKey(xw_pk), pq.XWingPrivateKey(xw_sk)
    xw_wrapped = pq.xwing_wrap_seed(xw_sk, b"pw")

    def xwing_objects_in_hpke():
        enc, sender = pq.hpke_setup_sender(*hpke_suite, xw_pub, b"info")
        ct = sender.seal(b"m" * 100)
        pq.hpke_setup_recipient(*hpke_suite, xw_priv, enc, b"info").open(ct)

    def xwing_object_failures():
        expect(tc.InvalidParameterError, pq.XWingPublicKey, xw_pk[:-1])()
        expect(tc.InvalidParameterError, pq.XWingPublicKey, b"\xff\xff" + xw_pk[2:])()
        expect(tc.InvalidParameterError, pq.XWingPrivateKey, d[:-1])()
        expect(TypeError, pq.XWingPrivateKey, bytearray(d))()
        expect(TypeError, pq.XWingPublicKey, public_key=xw_pk, extra=1)()
        expect(tc.InvalidParameterError, xw_pub.encapsulate, d)()
        expect(TypeError, xw_pub.encapsulate, "eseed")()
        expect(tc.InvalidParameterError, xw_priv.decapsulate, xw_ct[:-1])()
        expect(tc.DecapsulationError, xw_priv.decapsulate, bytes(1120))()
        expect(TypeError, pickle.dumps, xw_priv)()
        expect(tc.InvalidParameterError, pq.hpke_setup_sender, 0x41, 1, 1, xw_pub, b"")()
        expect(tc.InvalidParameterError, pq.hpke_setup_recipient, *hpke_suite, xw_priv,
               hpke_enc[:-1], b"")()

    pq_cases = [
        ("xwing_generate_keypair", lambda: pq.xwing_generate_keypair()),
        ("xwing_encapsulate", lambda: pq.xwing_encapsulate(xw_pk)),
        ("xwing_decapsulate", lambda: pq.xwing_decapsulate(xw_ct, xw_sk)),
        ("xwing failures", lambda: (
            expect(tc.InvalidParameterError, pq.xwing_encapsulate, xw_pk[:-1])(),
            expect(tc.DecapsulationError, pq.xwing_decapsulate, bytes(1120), xw_sk)(),
            expect(TypeError, pq.xwing_generate_keypair, "seed")())),
        ("hpke key objects", lambda: (
            pq.hpke_generate_key_pair(0x51).public_key().public_bytes(),
            pq.hpke_load_private_key(0x50, d).private_bytes(), repr(hpke_sk))),
        ("hpke round trip", hpke_round_trip),
        ("hpke failures", hpke_failures),
        ("xwing.PublicKey", lambda: pq.XWingPublicKey(xw_pk)),
        ("xwing.PrivateKey", lambda: pq.XWingPrivateKey(d)),
        ("xwing.PublicKey.encapsulate", lambda: (xw_pub.encapsulate(),
                                                 xw_pub.encapsulate(eseed=d + z))),
        ("xwing.PrivateKey.decapsulate", lambda: xw_priv.decapsulate(xw_ct)),
        ("xwing key object getters", lambda: (
            xw_pub.public_key, repr(xw_pub), pickle.loads(pickle.dumps(xw_pub)),
            xw_priv.public_key, xw_priv.private_bytes(), repr(xw_priv),
            xw_priv.encapsulation_key.encapsulate())),
        ("xwing key objects in hpke", xwing_objects_in_hpke),
        ("xwing wrapped seed", lambda: (
            pq.xwing_unwrap_seed(pq.xwing_wrap_seed(d, b"pw"), b"pw"),
            expect(tc.DecryptionError, pq.xwing_unwrap_seed, xw_wrapped, b"px")(),
            expect(tc.KeySerializationError, pq.xwing_unwrap_seed, xw_wrapped[:-1], b"pw")(),
            expect(tc.InvalidParameterError, pq.xwing_wrap_seed, d[:-1], b"pw")())),
        ("xwing key object failures", xwing_object_failures),
    ]

    # The file format's native parts.
    file_key, file_nonce = bytes(range(32)), bytes(32)
    sealed_chunk = pq.file_seal_chunk(file_key, file_nonce, 3, True, b"c" * 1000)
    sealed_run = pq.file_seal_chunks(file_key, file_nonce, 5, 1024, b"r" * 3000, True)
    wrapped_key = pq.file_wrap_key(d, b"label", file_key)
    mlkem_pair = tc.generate_keypair_deterministic(d, d, L768)
    mlkem_dk, pk768 = mlkem_pair.secret_key, mlkem_pair.public_key
    file_header = (b"\x89TNL\r\n\x1a\n\x01" + (1024).to_bytes(4, "big") + bytes(32)
                   + (2).to_bytes(2, "big") + b"\x7a\x7a\x00\x00\x00\x01x"
                   + b"\x7a\x7b\x00\x00\x00\x00" + bytes(32))
    pq_cases += [
        ("file format chunks", lambda: (
            pq.file_open_chunk(file_key, file_nonce, 3, True, sealed_chunk),
            pq.file_header_mac(file_key, b"header" * 50),
            pq.file_unwrap_key(d, b"label", wrapped_key),
            pq.file_parse_header(file_header), pq.file_parse_header(file_header[:60]),
            pq.file_recipient_tag(file_key, 0x41, pk768), pq.file_entry_length(0x647A),
            pq.file_seal_chunks(file_key, file_nonce, 0, 1024, b"s" * 2048, False),
            pq.file_open_chunks(file_key, file_nonce, 5, 1024, sealed_run, True))),
        ("file format failures", lambda: (
            expect(tc.DecryptionError, pq.file_open_chunk, file_key, file_nonce, 2, True,
                   sealed_chunk)(),
            expect(tc.DecryptionError, pq.file_unwrap_key, d, b"other", wrapped_key)(),
            expect(tc.DecryptionError, pq.file_open_mlkem_entry, 0x41, mlkem_dk,
                   bytes(1136), b"info")(),
            expect(TypeError, pq.file_seal_chunk, file_key, file_nonce, 0, 1, b"")(),
            expect(tc.InvalidParameterError, pq.file_recipient_tag, file_key, 0x42, pk768)(),
            expect(ValueError, pq.file_entry_length, 0x10000)(),
            expect(tc.DecryptionError, pq.file_open_chunks, file_key, file_nonce, 4, 1024,
                   sealed_run, True)(),
            expect(ValueError, pq.file_seal_chunks, file_key, file_nonce, 0, 1024, b"x", False)(),
            pq.file_parse_header(b"\x89TNL\r\n\x1a\n\x02"))),
    ]

    # Key objects.
    ek_obj, dk_obj = pq.EncapsulationKey(pk), pq.DecapsulationKey(sk)
    bad_hash_sk = sk[:-64] + bytes([sk[-64] ^ 1]) + sk[-63:]
    unreduced_pk = b"\xff\xff" + pk[2:]

    def key_object_failures():
        expect(tc.InvalidParameterError, pq.EncapsulationKey, pk[:-1])()
        expect(tc.InvalidParameterError, pq.EncapsulationKey, unreduced_pk)()
        expect(tc.InvalidParameterError, pq.EncapsulationKey, pk, L512)()
        expect(tc.InvalidParameterError, pq.DecapsulationKey, sk[:-1])()
        expect(tc.InvalidParameterError, pq.DecapsulationKey, bad_hash_sk)()
        expect(TypeError, pq.EncapsulationKey, pk, 768)()
        expect(TypeError, pq.DecapsulationKey, secret_key=sk, levl=None)()
        expect(tc.InvalidParameterError, dk_obj.decapsulate, capsule[:-1])()
        expect(TypeError, dk_obj.decapsulate, bytearray(capsule))()
        expect(ValueError, ek_obj.encapsulate_deterministic, m[:31])()
        expect(TypeError, pickle.dumps, dk_obj)()

    return pq_cases + [
        # Key objects.
        ("EncapsulationKey", lambda: pq.EncapsulationKey(pk, level=None)),
        ("DecapsulationKey", lambda: pq.DecapsulationKey(sk, L768)),
        ("EncapsulationKey.encapsulate", ek_obj.encapsulate),
        ("EncapsulationKey.encapsulate_deterministic",
         lambda: ek_obj.encapsulate_deterministic(m)),
        ("DecapsulationKey.decapsulate", lambda: dk_obj.decapsulate(capsule)),
        ("key object getters", lambda: (ek_obj.public_key, ek_obj.level, repr(ek_obj),
                                        dk_obj.public_key, dk_obj.level, repr(dk_obj),
                                        dk_obj.encapsulation_key.encapsulate(),
                                        pickle.loads(pickle.dumps(ek_obj)))),
        ("key object failures", key_object_failures),
        # Whole files.
        ("file encrypt", file_encrypt),
        ("file decrypt", file_decrypt),
        ("file failures", file_failures),
        ("file format payload", payload_round_trip),
        ("file format payload failures", payload_failures),
        ("framing and key text", framing),
        ("armor codec", armor_codec),
        # KEM functions and the key pair.
        ("generate_keypair[512]", lambda: tc.generate_keypair(L512)),
        ("generate_keypair[1024]", lambda: tc.generate_keypair(L1024)),
        ("generate_keypair_deterministic", lambda: tc.generate_keypair_deterministic(d, z)),
        ("generate_keypair_deterministic bad seed",
         expect(ValueError, tc.generate_keypair_deterministic, d[:31], z)),
        ("encapsulate", lambda: tc.encapsulate(pk)),
        ("encapsulate bad key", expect(tc.InvalidParameterError, tc.encapsulate, pk[:-1])),
        ("encapsulate_deterministic", lambda: tc.encapsulate_deterministic(pk, m)),
        ("encapsulate_deterministic bad m",
         expect(ValueError, tc.encapsulate_deterministic, pk, m + b"!")),
        ("decapsulate", lambda: tc.decapsulate(capsule, sk)),
        ("decapsulate bad capsule", expect(tc.InvalidParameterError, tc.decapsulate, b"", sk)),
        ("decapsulate bad type", expect(TypeError, tc.decapsulate, capsule, sk, level=768)),
        ("binding errors", lambda: (expect(TypeError, tc.decapsulate)(),
                                    expect(TypeError, tc.encapsulate, pk, L768, 3)(),
                                    expect(TypeError, tc.encapsulate, pk, nope=1)(),
                                    expect(TypeError, tc.encapsulate, pk, public_key=pk)())),
        ("key pair getters", lambda: (kp.public_key, kp.secret_key, kp.level, repr(kp))),
        ("key pair public exports",
         lambda: (kp.public_key_b64(), kp.public_key_pem(), kp.public_key_json())),
        ("export_secret_key_raw", lambda: kp.export_secret_key_raw(b"pw")),
        ("export_secret_key_pem", lambda: kp.export_secret_key_pem(b"pw")),
        ("export bad password type", expect(TypeError, kp.export_secret_key_raw, "pw")),
        ("security level", lambda: (int(L512), L512 == L768, L512 != L1024, repr(L768),
                                    L768 == 768)),
        # Public-key text.
        ("serialize_public_key", lambda: tc.serialize_public_key(pk)),
        ("deserialize_public_key", lambda: tc.deserialize_public_key(b64)),
        ("deserialize_public_key bad base64",
         expect(tc.TarnelError, tc.deserialize_public_key, b64[:-1] + "+")),
        ("deserialize_public_key bad size",
         expect(tc.InvalidParameterError, tc.deserialize_public_key, b64, L512)),
        ("deserialize_public_key surrogate",
         expect(UnicodeEncodeError, tc.deserialize_public_key, "\udc80")),
        # Transit Package.
        ("encrypt_hybrid", lambda: tc.encrypt_hybrid(pk, b"x" * 1000)),
        ("decrypt_hybrid", lambda: tc.decrypt_hybrid(package, sk)),
        ("decrypt_hybrid tampered", expect(tc.DecryptionError, tc.decrypt_hybrid, tampered, sk)),
        ("decrypt_hybrid short", expect(tc.InvalidParameterError, tc.decrypt_hybrid, b"x", sk)),
        # Key loading.
        ("load_public_key_pem", lambda: tc.load_public_key_pem(pem)),
        ("load_public_key_pem bad", expect(tc.KeySerializationError, tc.load_public_key_pem,
                                           "no block here")),
        ("load_public_key_json", lambda: tc.load_public_key_json(doc)),
        ("load_public_key_json bad", expect(tc.KeySerializationError, tc.load_public_key_json,
                                            doc.replace("ML-KEM", "RSA"))),
        ("load_secret_key_raw", lambda: tc.load_secret_key_raw(blob, b"pw")),
        ("load_secret_key_raw wrong password",
         expect(tc.DecryptionError, tc.load_secret_key_raw, blob, b"pW")),
        ("load_secret_key_raw bad magic",
         expect(tc.KeySerializationError, tc.load_secret_key_raw, b"XXXX" + blob[4:], b"pw")),
        ("load_secret_key_pem", lambda: tc.load_secret_key_pem(enc_pem, b"pw")),
        ("load_secret_key_pem wrong password",
         expect(tc.DecryptionError, tc.load_secret_key_pem, enc_pem, b"")),
        # Streams.
        ("stream round trip", stream_round_trip),
        ("stream failures", stream_failures),
        ("stream_encryptor_new bad chunk_size",
         expect(tc.InvalidParameterError, tc.stream_encryptor_new, pk, 0)),
        ("stream_encryptor_new overflow", expect(OverflowError, tc.stream_encryptor_new, pk, -1)),
        ("stream_decryptor_from_header short",
         expect(tc.InvalidParameterError, tc.stream_decryptor_from_header, header[:-1], sk, L768)),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=5000, help="calls per measured window")
    parser.add_argument("--warmup", type=int, default=500, help="calls before measuring")
    # The interpreter's free lists fill and drain by a few dozen blocks from
    # one window to the next; a leak of one object in every 20 calls still
    # shows as hundreds.
    parser.add_argument("--max-blocks", type=int, default=256,
                        help="allowed growth of allocated blocks per case")
    parser.add_argument("--max-heap-kib", type=int, default=64,
                        help="allowed growth of the C heap in use per case, KiB")
    parser.add_argument("--max-rss-kib", type=int, default=1024,
                        help="allowed growth of the resident set per case, KiB")
    args = parser.parse_args()

    failed = []
    total_calls = 0
    start = time.perf_counter()
    rss_start = rss_bytes()
    for name, fn in cases():
        for _ in range(args.warmup):
            fn()
        # Three windows of `iterations` calls each: a leak grows in every one,
        # while caches and free lists filling up grow in some only.
        growth = []
        for _ in range(3):
            gc.collect()
            blocks0, heap0, rss0 = sys.getallocatedblocks(), heap_bytes(), rss_bytes()
            for _ in range(args.iterations):
                fn()
            gc.collect()
            growth.append((sys.getallocatedblocks() - blocks0, (heap_bytes() - heap0) // 1024,
                           (rss_bytes() - rss0) // 1024))
        d_blocks, d_heap_kib, d_rss_kib = (min(g[i] for g in growth) for i in range(3))
        total_calls += args.warmup + 3 * args.iterations
        bad = (d_blocks > args.max_blocks or d_heap_kib > args.max_heap_kib
               or d_rss_kib > args.max_rss_kib)
        if bad:
            failed.append(name)
        print(f"{'LEAK' if bad else 'ok':4}  {name:42} blocks {d_blocks:+6d}  "
              f"heap {d_heap_kib:+6d} KiB  rss {d_rss_kib:+6d} KiB")
    print(f"{len(cases())} cases, {total_calls} calls, {time.perf_counter() - start:.1f} s, "
          f"resident set {rss_start // 1024} -> {rss_bytes() // 1024} KiB")
    if failed:
        print("memory grew in: " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
