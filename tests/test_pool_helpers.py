"""Shared helpers of the account-pool and session tests (no tests here).

The pool creates real accounts, so these tests need root and the host's
useradd, su (with -P) and pkill. Anything that may block (a session read
waits with the interpreter lock held) runs in a child interpreter with a
timeout, so a fault fails the test instead of hanging the suite.
"""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import moxtile


def _su_has_pty():
    su = shutil.which("su")
    if su is None:
        return False
    out = subprocess.run([su, "--help"], capture_output=True, text=True)
    return "--pty" in out.stdout + out.stderr


def _missing():
    if os.geteuid() != 0:
        return "needs root to create accounts and switch to them"
    for tool in ("useradd", "su", "pkill", "id"):
        if shutil.which(tool) is None:
            return f"{tool} not found"
    if not _su_has_pty():
        return "su has no -P (--pty) option"
    return None


MISSING = _missing()
needs_accounts = pytest.mark.skipif(MISSING is not None, reason=MISSING or "")

MODULE_DIR = os.path.dirname(os.path.abspath(moxtile.__file__))

PRELUDE = textwrap.dedent(
    """
    import os, sys
    import moxtile

    def read_until(session, word, limit=200):
        seen = b""
        for _ in range(limit):
            if word in seen:
                return seen
            chunk = session.read()
            if not chunk:
                break
            seen += chunk
        assert word in seen, seen
        return seen

    def shell(session, line):
        # Runs one command line in the session's shell; returns everything read
        # up to the end marker, which only the shell's output (not the echo of
        # the line) contains.
        session.write(line.encode() + b"\\necho end-of-$((6*7))-line\\n")
        return read_until(session, b"end-of-42-line", limit=10000).decode(errors="replace")

    def account_processes(uid):
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/status") as f:
                    status = f.read()
            except OSError:
                continue
            fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
            if fields.get("State", "").strip().startswith("Z"):
                continue
            if uid in (int(u) for u in fields["Uid"].split()):  # real, effective, saved, fs
                found.append(int(pid))
        return found
    """
)


def _child_command(body, path):
    code = PRELUDE + "\ndef main():\n" + textwrap.indent(textwrap.dedent(body), "    ") + "\nmain()\n"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR, env.get("PYTHONPATH", "")])
    if path is not None:
        env["PATH"] = path
    return [sys.executable, "-c", code], env


def run_child(body, path=None, timeout=90):
    """Runs `body` (inside a function main()) in a fresh interpreter that can
    import the module under test. Returns the CompletedProcess."""
    argv, env = _child_command(body, path)
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, env=env)


def start_child(body, path=None):
    """Starts `body` as run_child() does, without waiting: a Popen with text
    pipes on its standard streams. The caller waits (with a timeout) or kills."""
    argv, env = _child_command(body, path)
    return subprocess.Popen(
        argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, env=env,
    )


def check_child(body, **kwargs):
    """run_child() that must succeed; returns its standard output."""
    result = run_child(body, **kwargs)
    assert result.returncode == 0, f"child failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def tool_dir(tmp_path, tools, extra=None):
    """A directory holding links to the named host tools (and scripts from
    `extra`, name -> text), for a PATH that lacks the others."""
    d = tmp_path / "bin"
    d.mkdir()
    for tool in tools:
        os.symlink(shutil.which(tool), d / tool)
    for name, text in (extra or {}).items():
        (d / name).write_text(text)
        (d / name).chmod(0o755)
    return str(d)
