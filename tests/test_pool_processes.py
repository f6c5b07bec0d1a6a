"""Nothing of one tenant reaches the next tenant of the same account.

Each probe plays the tenant: it keeps the account's uid in a process that
does not look like the account's, or leaves files and IPC objects wherever
any account may write, then the account is released and handed out again.
"""
import ctypes
import errno
import json
import os
import platform
import select
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import time
import uuid

import pytest

import moxtile
from test_pool_helpers import check_child, needs_accounts

pytestmark = needs_accounts

NOBODY = 65534
PLACES = ["/tmp", "/var/tmp", "/dev/shm", "/run/lock"]

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


# Runs as the account: leaves something of every kind and prints where (JSON).
LEAVE_BEHIND = """
import ctypes, json, os
uid, tag, shared, closed, root_dir, places = json.loads(PARAMS)
os.setgroups([])
os.setresgid(uid, uid, uid)
os.setresuid(uid, uid, uid)
left = {"paths": [], "ipc": {}}

def leave_file(path, setuid=False):
    with open(path, "wb") as f:
        f.write(b"#!/bin/sh\\nid\\n")
    if setuid:
        os.chmod(path, 0o4755)
        assert os.stat(path).st_mode & 0o4000
    left["paths"].append(path)

for place in places:
    if not os.path.isdir(place):
        continue
    leave_file(f"{place}/{tag}-file")
    tree = f"{place}/{tag}-tree"
    os.makedirs(f"{tree}/sub")
    os.mkfifo(f"{tree}/sub/fifo")
    leave_file(f"{tree}/sub/program", setuid=True)
    os.chmod(f"{tree}/sub", 0)
    left["paths"].append(tree)
leave_file(f"{shared}/{tag}-in-shared", setuid=True)
leave_file(f"{closed}/{tag}-in-closed", setuid=True)
os.symlink(root_dir, f"/tmp/{tag}-link")
left["paths"].append(f"/tmp/{tag}-link")

libc = ctypes.CDLL(None, use_errno=True)
IPC_PRIVATE, IPC_CREAT = 0, 0o1000
for kind, make in [
    ("shm", lambda: libc.shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0o600)),
    ("sem", lambda: libc.semget(IPC_PRIVATE, 1, IPC_CREAT | 0o600)),
    ("msg", lambda: libc.msgget(IPC_PRIVATE, IPC_CREAT | 0o600)),
]:
    ident = make()
    assert ident >= 0, (kind, os.strerror(ctypes.get_errno()))
    left["ipc"][kind] = ident
queue = libc.mq_open(f"/{tag}".encode(), os.O_CREAT | os.O_RDWR, ctypes.c_uint(0o600), None)
assert queue >= 0, os.strerror(ctypes.get_errno())
left["queue"] = f"/{tag}"
print(json.dumps(left))
"""


def lookup(path):
    try:
        return os.lstat(path)
    except FileNotFoundError:
        return None


def sysv_ids(kind):
    column = 1  # "key shmid ...", "key semid ...", "key msqid ..."
    with open(f"/proc/sysvipc/{kind}") as f:
        next(f)
        return {int(line.split()[column]) for line in f}


def posix_queue_exists(name):
    libc = ctypes.CDLL(None, use_errno=True)
    q = libc.mq_open(name.encode(), os.O_RDONLY)
    if q >= 0:
        libc.mq_close(q)
        return True
    assert ctypes.get_errno() == errno.ENOENT, os.strerror(ctypes.get_errno())
    return False


def remove_whatever_is_left(left):
    for path in left.get("paths", []):
        st = lookup(path)
        if st is not None and stat.S_ISDIR(st.st_mode):
            subprocess.run(["rm", "-rf", "--one-file-system", path], check=False)
        elif st is not None:
            os.unlink(path)
    libc = ctypes.CDLL(None, use_errno=True)
    IPC_RMID = 0
    for kind, ident in left.get("ipc", {}).items():
        if ident in sysv_ids(kind):
            {"shm": lambda: libc.shmctl(ident, IPC_RMID, None),
             "sem": lambda: libc.semctl(ident, 0, IPC_RMID),
             "msg": lambda: libc.msgctl(ident, IPC_RMID, None)}[kind]()
    if "queue" in left:
        libc.mq_unlink(left["queue"].encode())


def test_files_and_ipc_of_a_tenant_are_gone_for_the_next_tenant():
    tag = "leftover-" + uuid.uuid4().hex[:12]
    # The test's own: a directory any account may write to (root's, like
    # /tmp/.X11-unix), another user's directory that is open while the tenant
    # runs and closed by its owner afterwards, a directory the tenant links to,
    # and files of root and of another user that must stay.
    shared = f"/tmp/{tag}-shared"
    closed = f"/tmp/{tag}-closed"
    root_dir = f"/tmp/{tag}-root-dir"
    keep = [f"/tmp/{tag}-root-file", f"/tmp/{tag}-other-file", f"{root_dir}/keep"]
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    os.mkdir(closed)
    os.chmod(closed, 0o777)
    os.chown(closed, NOBODY, NOBODY)
    os.mkdir(root_dir)
    for path in keep:
        with open(path, "w") as f:
            f.write("keep")
    os.chown(keep[1], NOBODY, NOBODY)

    pool = moxtile.PyUserPool(1)
    user = pool.allocate()
    uid = user.uid()
    left = {}
    try:
        params = json.dumps([uid, tag, shared, closed, root_dir, PLACES])
        left = json.loads(check_child(LEAVE_BEHIND.replace("PARAMS", repr(params)), timeout=60))
        os.chmod(closed, 0o700)  # its owner shuts the account out again
        del user
        user = pool.allocate()
        assert user.uid() == uid

        survivors = [p for p in left["paths"] if lookup(p) is not None]
        survivors += [f"{kind} {i}" for kind, i in left["ipc"].items() if i in sysv_ids(kind)]
        if posix_queue_exists(left["queue"]):
            survivors.append("POSIX queue " + left["queue"])
        assert survivors == []
        assert all(lookup(p) is not None for p in keep + [shared, closed])
    finally:
        remove_whatever_is_left(left)
        for path in keep[:2]:
            if lookup(path) is not None:
                os.unlink(path)
        for path in (shared, closed, root_dir):
            shutil.rmtree(path, ignore_errors=True)


def as_account(uid, code):
    check_child(f"os.setgroups([]); os.setresgid({uid}, {uid}, {uid}); "
                f"os.setresuid({uid}, {uid}, {uid})\n" + textwrap.dedent(code), timeout=60)


def test_set_uid_copies_left_in_another_tenants_home_are_gone_for_the_next_tenant():
    pool = moxtile.PyUserPool(2)
    user, other = pool.allocate(), pool.allocate()
    uid, home = user.uid(), other.home()
    # The other tenant opens its home to everyone, with a tree deep inside,
    # and keeps files of its own beside what the tenant leaves there.
    deep = f"{home}/open/a/b"
    own = [f"{home}/own", f"{deep}/own"]
    as_account(other.uid(), f"""
        os.chmod({home!r}, 0o777)
        os.makedirs({deep!r})
        for d in ({home!r} + "/open", {home!r} + "/open/a", {deep!r}):
            os.chmod(d, 0o777)
        for f in {own!r}:
            open(f, "w").write("mine")
        """)
    planted = [f"{home}/.shell", f"{deep}/.shell", f"{home}/open/dir"]
    try:
        as_account(uid, f"""
            home, deep = {home!r}, {deep!r}
            os.mkdir(home + "/open/dir")
            shell_bytes = open("/bin/sh", "rb").read()  # no imports: the account may not read root's library
            for shell in (home + "/.shell", deep + "/.shell", home + "/open/dir/.shell"):
                open(shell, "wb").write(shell_bytes)
                os.chmod(shell, 0o4755)
            """)
        # ... then shuts its home again: nothing there is open to the sweep.
        as_account(other.uid(), f"os.chmod({home!r}, 0o700)")
        del user
        user = pool.allocate()
        assert user.uid() == uid
        assert [p for p in planted if lookup(p) is not None] == []
        assert all(open(f).read() == "mine" for f in own)
    finally:
        remove_whatever_is_left({"paths": planted})
