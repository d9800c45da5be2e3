"""The file-format test kit (tests/filekit): every file, through every way of
reading it, gives the outcome its manifest names, and all the ways agree.

The ways: decrypt_file from a path to a path, decrypt_file from a pipe to a
file object, open_encrypted read whole, and open_encrypted read in chunk-
sized pieces in a shuffled order and then from the end.
"""

from __future__ import annotations

import hashlib
import io
import json
import os
import random
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import tarnel
from tarnel import files

KIT = Path(__file__).resolve().parents[1] / "filekit"
MANIFEST = json.loads((KIT / "manifest.json").read_text())
CASES = sorted(MANIFEST["cases"])


def identities(names):
    ids = [bytes.fromhex(MANIFEST["identities"][n]) for n in names if n != "passphrase"]
    passphrase = MANIFEST["identities"]["passphrase"] if "passphrase" in names else None
    return ids, passphrase


def outcome(read):
    """("ok", sha256 of the plaintext) or (exception class name, message)."""
    try:
        data = read()
    except tarnel.TarnelError as e:
        return type(e).__name__, str(e)
    return "ok", hashlib.sha256(data).hexdigest()


def via_paths(path, ids, passphrase, tmp_path):
    out = tmp_path / "out.bin"
    try:
        files.decrypt_file(path, out, ids, passphrase=passphrase)
    except tarnel.TarnelError:
        assert not out.exists(), "a failed decryption left its output behind"
        raise
    return out.read_bytes()


def via_pipe(path, ids, passphrase, tmp_path):
    r, w = os.pipe()
    data = path.read_bytes()

    def feed():
        with os.fdopen(w, "wb") as f:
            try:
                f.write(data)
            except BrokenPipeError:
                pass

    t = threading.Thread(target=feed)
    t.start()
    try:
        with os.fdopen(r, "rb", buffering=0) as src:
            sink = io.BytesIO()
            files.decrypt_file(src, sink, ids, passphrase=passphrase)
            return sink.getvalue()
    finally:
        t.join()


def via_open_whole(path, ids, passphrase, tmp_path):
    with files.open_encrypted(path, ids, passphrase=passphrase) as f:
        return f.read()


def via_random_reads(path, ids, passphrase, tmp_path):
    with open(path, "rb") as raw, files.open_encrypted(raw, ids, passphrase=passphrase) as f:
        size = f.seek(0, io.SEEK_END)
        step = 1024
        pieces = {}
        offsets = list(range(0, size, step))
        random.Random(size).shuffle(offsets)
        for off in offsets:
            f.seek(off)
            pieces[off] = f.read(step)
        whole = b"".join(pieces[o] for o in sorted(pieces))
        if size:
            f.seek(-1, io.SEEK_END)
            assert f.read() == whole[-1:]
        return whole


WAYS = [via_paths, via_pipe, via_open_whole, via_random_reads]


@pytest.mark.parametrize("name", CASES)
def test_case(name, tmp_path):
    case = MANIFEST["cases"][name]
    path = KIT / case["file"]
    ids, passphrase = identities(case["identities"])
    results = [outcome(lambda: way(path, ids, passphrase, tmp_path)) for way in WAYS]
    if "plaintext_sha256" in case:
        assert results == [("ok", case["plaintext_sha256"])] * len(WAYS)
    else:
        for kind, message in results:
            assert kind == case["error"]
            assert case["message"] in message
        # Header faults are told the same way by every reader.
        if "does not open" not in case["message"]:
            assert len(set(results)) == 1


def test_kit_is_reproducible(tmp_path):
    """The generator writes the very files that are checked in."""
    copy = tmp_path / "filekit"
    copy.mkdir()
    script = (KIT / "make_filekit.py").read_text()
    (copy / "make_filekit.py").write_text(script)
    subprocess.run([sys.executable, str(copy / "make_filekit.py")], check=True,
                   env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    for p in sorted(KIT.glob("*.tnl")) + [KIT / "manifest.json"]:
        assert (copy / p.name).read_bytes() == p.read_bytes(), p.name
    assert sorted(x.name for x in copy.glob("*.tnl")) == sorted(x.name for x in KIT.glob("*.tnl"))
