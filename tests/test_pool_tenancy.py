"""One account, one tenant: across harness processes and pools.

Each probe plays the part an untrusted tenant or a crashed harness would:
processes left behind by a harness that was killed, a process that keeps
changing its pid, a key left in the kernel's keyrings of the account, and
several pools (in several processes) proposing the same account names at once.
"""
import os
import platform
import shutil
import signal
import subprocess
import tempfile

import pytest

from test_pool_helpers import check_child, needs_accounts, start_child

pytestmark = needs_accounts

# Allocates `n` accounts, starts a shell in each that writes a file into its
# home, prints the names, then waits for a line on stdin (or to be killed)
# and checks that every shell and file is still there.
HOLDER = r"""
pool = moxtile.PyUserPool()
users = [pool.allocate() for _ in range(COUNT)]
sessions = [u.spawn() for u in users]
for i, s in enumerate(sessions):
    s.write(b"echo held > mine; echo ready_$((%d+100))\n" % i)
    read_until(s, b"ready_%d" % (i + 100))
print(",".join(u.username() for u in users), flush=True)
sys.stdin.readline()
for i, (u, s) in enumerate(zip(users, sessions)):
    with open(os.path.join(u.home(), "mine")) as f:
        assert f.read() == "held\n", u.username()
    s.write(b"echo alive_$((%d+200))\n" % i)
    read_until(s, b"alive_%d" % (i + 200))
print("intact", flush=True)
"""


def holder(count):
    return start_child(HOLDER.replace("COUNT", str(count)))


def names_of(child):
    line = child.stdout.readline()
    assert line, child.stderr.read()
    return line.strip().split(",")


def finish(child, timeout=120):
    out, err = child.communicate("go\n", timeout=timeout)
    assert child.returncode == 0, err
    assert out.strip() == "intact"


def test_pools_in_two_processes_never_share_an_account_and_a_dead_pool_frees_its_own():
    first = holder(2)
    second = holder(2)
    try:
        a, b = names_of(first), names_of(second)
        assert not set(a) & set(b), (a, b)

        # A pool that dies without releasing anything frees its accounts at
        # once: a new pool gets exactly the names the dead one held, in order,
        # while the live one keeps its tenants untouched.
        first.kill()
        first.wait(timeout=30)
        third = holder(2)
        try:
            assert names_of(third) == sorted(a, key=a.index)
            finish(third)
        finally:
            third.kill()
        finish(second)
    finally:
        for child in (first, second):
            child.kill()
            child.wait(timeout=30)


def test_processes_of_a_killed_harness_are_gone_before_the_next_tenant_gets_the_account():
    harness = start_child(
        """
        user = moxtile.PyUserPool().allocate()
        session = user.spawn()
        session.write(b"setsid sleep 1004 & trap '' HUP TERM; sleep 1005 & echo bg_$((6*7))\\n")
        read_until(session, b"bg_42")
        print(user.uid(), flush=True)
        sys.stdin.readline()
        """
    )
    try:
        uid = int(harness.stdout.readline())
        harness.send_signal(signal.SIGKILL)
        harness.wait(timeout=30)
        check_child(
            f"""
            assert account_processes({uid}), "the tenant left nothing running"
            user = moxtile.PyUserPool().allocate()
            assert user.uid() == {uid}
            left = account_processes({uid})
            assert not left, left
            """
        )
    finally:
        harness.kill()
        harness.wait(timeout=30)


def test_pools_of_one_process_never_share_an_account():
    check_child(
        """
        first, second = moxtile.PyUserPool(), moxtile.PyUserPool()
        a = [first.allocate() for _ in range(2)]
        b = [second.allocate() for _ in range(2)]
        assert not {u.username() for u in a} & {u.username() for u in b}
        # Released accounts stay with their pool, not with the other one.
        name = a[0].username()
        del a[0]
        assert second.allocate().username() != name
        assert first.allocate().username() == name
        """
    )


# A tenant process that never keeps one pid for long (fork, the parent exits
# at once), deaf to the polite signals, until argv[2] seconds have passed.
# It marks its start with the file "hopping" in the directory argv[1].
HOPPER_C = r"""
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv) {
  char started[512];
  snprintf(started, sizeof started, "%s/hopping", argv[1]);
  signal(SIGTERM, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  time_t end = time(NULL) + atoi(argv[2]);
  close(open(started, O_WRONLY | O_CREAT, 0644));
  for (unsigned long n = 1;; ++n) {
    if (fork() > 0) _exit(0);
    if (n % 1000 == 0 && time(NULL) > end) _exit(0);
  }
}
"""

# Root's stand-in for an init that reaps orphans at once (so the hopper never
# runs into the process limit): starts argv[2:] as the account argv[1],
# reaps everything reparented to it, and ends when nothing of it is left.
REAPER = """
import ctypes, os, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
uid = int(sys.argv[1])
if os.fork() == 0:
    os.setgroups([]); os.setresgid(uid, uid, uid); os.setresuid(uid, uid, uid)
    os.execv(sys.argv[2], sys.argv[2:])
while True:
    try:
        os.wait()
    except ChildProcessError:
        break
"""


def test_a_process_that_keeps_changing_its_pid_does_not_outlive_the_release_of_its_account():
    cc = shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler (cc) to build the pid-hopping process")
    with tempfile.TemporaryDirectory() as d:
        os.chmod(d, 0o755)  # the account runs the program from here
        src, exe = os.path.join(d, "hopper.c"), os.path.join(d, "hopper")
        with open(src, "w") as f:
            f.write(HOPPER_C)
        # Static: a smaller process forks faster, which makes it harder to catch.
        if subprocess.run([cc, "-O2", "-static", "-o", exe, src], capture_output=True).returncode:
            subprocess.run([cc, "-O2", "-o", exe, src], check=True, capture_output=True)
        # A scan of /proc catches the hopper by luck, often but not always:
        # several tenancies make an escape all but certain without a kill
        # that the hopper cannot outrun.
        check_child(
            f"""
            import subprocess, time
            pool = moxtile.PyUserPool()
            user = pool.allocate()
            uid, home = user.uid(), user.home()
            for tenancy in range(10):
                reaper = subprocess.Popen(
                    [sys.executable, "-c", {REAPER!r}, str(uid), {exe!r}, home, "20"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    for _ in range(1000):
                        if os.path.exists(os.path.join(home, "hopping")):
                            break
                        time.sleep(0.01)
                    assert os.path.exists(os.path.join(home, "hopping")), "the hopper did not start"
                    del user
                    try:
                        reaper.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        raise AssertionError(f"the hopper outlived release {{tenancy}}")
                    user = pool.allocate()
                    assert user.uid() == uid
                finally:
                    if reaper.poll() is None:  # a survivor: end it the one sure way
                        if os.fork() == 0:
                            os.setresuid(uid, uid, uid)
                            os.kill(-1, 9)
                            os._exit(0)
                        os.wait()
                    reaper.kill()
                    reaper.wait(timeout=30)
            """
        )


# The kernel's keyrings that belong to a uid rather than to a process, so
# they outlive every process of the account. Numbers: add_key, keyctl.
KEY_SYSCALLS = {"x86_64": (248, 250), "aarch64": (217, 219)}

KEYRING_TENANT = """
import ctypes
libc = ctypes.CDLL(None, use_errno=True)
ADD_KEY, KEYCTL = {syscalls}
SEARCH, READ, GET_PERSISTENT = 10, 11, 22
PROCESS, USER, USER_SESSION = -2, -4, -5

def call(*args):
    result = libc.syscall(*(ctypes.c_long(a) if isinstance(a, int) else a for a in args))
    return result, ctypes.get_errno()

def keyring(name):
    if name != "persistent":
        return {{"user": USER, "user-session": USER_SESSION}}[name]
    # Linked into this process's own keyring, which makes it writable.
    ring, err = call(KEYCTL, GET_PERSISTENT, -1, PROCESS)
    if ring < 0:
        print("no persistent keyrings" if err == 95 else f"persistent keyring: errno {{err}}", flush=True)
        os._exit(3)
    return ring

def store():
    data = b"the first tenant's key"
    key, err = call(ADD_KEY, b"user", b"left-behind", data, len(data), keyring(WHERE))
    assert key > 0, err
    return 0

def fetch():
    key, err = call(KEYCTL, SEARCH, keyring(WHERE), b"user", b"left-behind", 0)
    if key < 0:
        return 1 if err == 126 else 2  # ENOKEY: nothing to find
    buf = ctypes.create_string_buffer(64)
    n, _ = call(KEYCTL, READ, key, buf, 64)
    print("next tenant read:", buf.raw[:max(n, 0)], flush=True)
    return 0

def as_account(uid, fn):
    pid = os.fork()
    if pid == 0:
        code = 99
        try:
            os.setgroups([]); os.setresgid(uid, uid, uid); os.setresuid(uid, uid, uid)
            code = fn()
        finally:
            os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
"""


@pytest.mark.parametrize("where", ["user", "user-session", "persistent"])
def test_a_key_one_tenant_leaves_in_a_keyring_of_the_account_never_reaches_the_next(where):
    syscalls = KEY_SYSCALLS.get(platform.machine())
    if syscalls is None:
        pytest.skip(f"key system call numbers unknown for {platform.machine()}")
    out = check_child(
        KEYRING_TENANT.format(syscalls=syscalls)
        + f"""
WHERE = {where!r}
pool = moxtile.PyUserPool()
user = pool.allocate()
uid = user.uid()
stored = as_account(uid, store)
if stored == 3:
    return
assert stored == 0, stored
del user
user = pool.allocate()
assert user.uid() == uid
assert as_account(uid, fetch) == 1, "the next tenant found the key"
print("clean", flush=True)
"""
    )
    if "no persistent keyrings" in out:
        pytest.skip("the kernel has no persistent keyrings")
    assert out.strip() == "clean", out


def test_clearing_an_account_leaves_the_harness_dumpable():
    # The account is cleared by a child that takes on its uid. Had that child
    # shared the harness's memory, its change of user would have made that
    # memory undumpable (and, where the host lets such processes be traced,
    # open to the account).
    check_child(
        """
        import ctypes
        prctl = ctypes.CDLL(None).prctl
        PR_GET_DUMPABLE = 3
        assert prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 1
        user = moxtile.PyUserPool().allocate()
        del user
        assert prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 1
        """
    )
