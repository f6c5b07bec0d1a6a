"""Nothing of one tenant outlives its release: a process that keeps the
account's uid where a scan of real uids would not look is killed too."""
import os
import platform
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import moxtile
from test_pool_helpers import needs_accounts

pytestmark = needs_accounts

NOBODY = 65534

# setresuid and exit as raw system calls, which change or end the calling
# thread alone (the C library's wrappers act on every thread).
SYSCALLS = {"x86_64": (117, 60), "aarch64": (147, 93)}

# A process that keeps the account's uid somewhere the account's release may
# not look. Started as root; prints "ready" once it holds the uid its way.
KEEPER = textwrap.dedent(
    """
    import ctypes, os, signal, sys, threading, time
    signal.signal(signal.SIGTERM, signal.SIG_IGN)  # outlives the polite signal
    mode, account, other = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    libc = ctypes.CDLL(None, use_errno=True)
    setresuid, exit_thread = (int(n) for n in sys.argv[4:6])
    os.setgroups([])
    os.setresgid(other, other, other)
    if mode == "process":
        os.setresuid(*(account if c == "A" else other for c in sys.argv[6]))
        print("ready", flush=True)
        time.sleep(60)
        sys.exit()
    if mode == "leader-exited":  # the account's own process, threads and all
        os.setresuid(account, account, account)
    held = threading.Event()
    def keep():
        if mode == "thread":
            assert libc.syscall(setresuid, other, other, account) == 0, ctypes.get_errno()
        held.set()
        time.sleep(60)
    threading.Thread(target=keep, daemon=True).start()
    held.wait()
    if mode == "thread":  # the first thread looks like another user's
        assert libc.syscall(setresuid, other, other, other) == 0, ctypes.get_errno()
    print("ready", flush=True)
    if mode == "leader-exited":  # only another thread runs on
        libc.syscall(exit_thread, 0)
    time.sleep(60)
    """
)


def wait_for_line(proc, timeout=30):
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    assert ready, "the helper did not report"
    return proc.stdout.readline()


def state_of(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(line.split()[1] for line in f if line.startswith("State:"))


@pytest.mark.parametrize(
    "mode, ids",
    [
        ("process", "ABB"),
        ("process", "BAB"),
        ("process", "BBA"),  # a set-uid program parks the uid in its saved set
        ("thread", None),  # one thread alone keeps it
        ("leader-exited", None),  # the thread that keeps it outlives the first
    ],
)
def test_release_kills_whatever_keeps_the_uid(mode, ids):
    if mode != "process" and platform.machine() not in SYSCALLS:
        pytest.skip(f"system call numbers unknown on {platform.machine()}")
    numbers = SYSCALLS.get(platform.machine(), (0, 0))
    user = moxtile.PyUserPool(1).allocate()
    keeper = subprocess.Popen(
        [sys.executable, "-c", KEEPER, mode, str(user.uid()), str(NOBODY), *map(str, numbers),
         ids or ""],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        assert wait_for_line(keeper) == "ready\n"
        if mode == "leader-exited":
            for _ in range(500):
                if state_of(keeper.pid) == "Z":
                    break
                time.sleep(0.01)
            assert state_of(keeper.pid) == "Z"
        del user
        assert keeper.wait(timeout=10) == -signal.SIGKILL
    finally:
        keeper.kill()
        keeper.wait(timeout=30)
