"""Passphrase prompts on a real terminal (a pseudo-terminal the command
line takes as its controlling terminal)."""

from __future__ import annotations

import os
import pty
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tarnel

PACKAGE_ROOT = str(Path(tarnel.__file__).resolve().parent.parent)


def _on_terminal(args: list[str], answers: list[bytes]) -> tuple[int, str]:
    """Run ``tarnel ARGS`` on a new terminal; send each answer after each
    prompt ("...: "). Returns the exit status and everything shown."""
    env = {k: v for k, v in os.environ.items() if k != "TARNEL_PASSWORD"}
    env["PYTHONPATH"] = PACKAGE_ROOT
    pid, fd = pty.fork()
    if pid == 0:  # the child: its terminal is the pty
        try:
            os.execve(sys.executable, [sys.executable, "-m", "tarnel", *args], env)
        finally:
            os._exit(127)
    shown = b""
    pending = list(answers)
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline:
            if not select.select([fd], [], [], 1)[0]:
                continue
            try:
                block = os.read(fd, 4096)
            except OSError:  # the child closed the terminal
                break
            if not block:
                break
            shown += block
            prompts = shown.count(b"Password for ") + shown.count(b"Repeat the password")
            if pending and prompts > len(answers) - len(pending) and shown.endswith(b": "):
                os.write(fd, pending.pop(0))  # echo is off once the prompt shows
    finally:
        if time.monotonic() >= deadline:
            os.kill(pid, signal.SIGKILL)  # stuck at a prompt nobody answers
        _, status = os.waitpid(pid, 0)
        os.close(fd)
    return os.waitstatus_to_exitcode(status), shown.decode(errors="replace")


@pytest.fixture(scope="module")
def key_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    d = tmp_path_factory.mktemp("prompt")
    subprocess.run(
        [sys.executable, "-m", "tarnel", "keygen", "--type", "mlkem768", "-o", str(d / "k")],
        env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT, TARNEL_PASSWORD="pw for the tests"),
        check=True, capture_output=True, start_new_session=True,
    )
    return d / "k.key"


@pytest.mark.parametrize("command, answers", [
    ("keygen", [b"\x04"]),
    ("keygen-confirm", [b"a long enough passphrase\r", b"\x04"]),
    ("decrypt", [b"\x04"]),
    ("pubkey", [b"\x04"]),
])
def test_end_of_input_at_a_prompt_is_a_clean_refusal(
    command: str, answers: list[bytes], key_file: Path, tmp_path: Path
) -> None:
    if command.startswith("keygen"):
        args = ["keygen", "--type", "mlkem768", "-o", str(tmp_path / "new")]
    elif command == "decrypt":
        (tmp_path / "in").write_bytes(b"")
        args = ["decrypt", "-i", str(key_file), str(tmp_path / "in")]
    else:
        args = ["pubkey", "-i", str(key_file)]
    status, shown = _on_terminal(args, answers)
    assert "Traceback" not in shown and "EOFError" not in shown
    assert status == 1, shown
    last = shown.strip().splitlines()[-1]
    assert last == "tarnel: error: no password given (end of input at the prompt)"
    assert list(tmp_path.glob("new*")) == []


def test_several_keys_ask_one_passphrase_at_a_time(key_file: Path, tmp_path: Path) -> None:
    # The stream is for the first key: the second key's passphrase is never asked.
    enc = tmp_path / "e"
    pub = key_file.with_suffix(".pub")
    subprocess.run([sys.executable, "-m", "tarnel", "encrypt", "--format", "stream", "-r", str(pub), "-o", str(enc)],
                   input=b"opened by the first", env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                   check=True, capture_output=True, start_new_session=True)
    other = tmp_path / "other"
    subprocess.run([sys.executable, "-m", "tarnel", "keygen", "--type", "mlkem768", "-o", str(other)],
                   env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT, TARNEL_PASSWORD="another pw 1234"),
                   check=True, capture_output=True, start_new_session=True)
    out = tmp_path / "out"
    status, shown = _on_terminal(
        ["decrypt", "-i", str(key_file), "-i", f"{other}.key", "-o", str(out), str(enc)],
        [b"pw for the tests\r"])
    assert status == 0, shown
    assert shown.count("Password for") == 1 and f"Password for {key_file}" in shown
    assert out.read_bytes() == b"opened by the first"
    # In the other order the first key's passphrase is wrong (it is asked,
    # refused, and passed over), then the second one's is asked.
    status, shown = _on_terminal(
        ["decrypt", "-i", f"{other}.key", "-i", str(key_file), "-o", str(out), "--force", str(enc)],
        [b"pw for the tests\r", b"pw for the tests\r"])
    assert status == 0, shown
    assert shown.count("Password for") == 2 and "trying the next key" in shown
