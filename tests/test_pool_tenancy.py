"""One account, one tenant: across harness processes and pools.

Each probe plays the part an untrusted tenant or a crashed harness would:
processes left behind by a harness that was killed, and several pools (in
several processes) proposing the same account names at once.
"""
import os
import signal

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
