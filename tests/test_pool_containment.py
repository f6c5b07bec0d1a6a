"""Each tenancy is contained: what a tenant does reaches neither another
tenant nor the host, does not outlive its release, and does not stop the pool.

Every probe plays the tenant through its own shell, as a tenant would, and
runs in a child interpreter with a timeout. Grouped by threat."""
import os
import socket
import textwrap

import pytest

from test_pool_helpers import check_child, needs_accounts

pytestmark = needs_accounts

# A copy of `id` owned by someone else and made set-uid or set-gid.
PLANT = """
import pwd, shutil
def plant(path, owner, bits):
    shutil.copy("/usr/bin/id", path)
    entry = pwd.getpwnam(owner)
    os.chown(path, entry.pw_uid, entry.pw_gid)
    os.chmod(path, bits)
"""


# Becoming someone else.

@pytest.mark.parametrize("bits, flag", [(0o4755, "-u"), (0o2755, "-g")])
def test_set_uid_and_set_gid_files_of_another_account_give_no_rights(bits, flag):
    check_child(PLANT + textwrap.dedent(f"""
        pool = moxtile.PyUserPool(2)
        victim, tenant = pool.allocate(), pool.allocate()
        plant(tenant.home() + "/planted", victim.username(), {bits})
        out = shell(tenant.spawn(), "echo ran-as-$(./planted {flag})-now")
        own = pwd.getpwnam(tenant.username())
        expected = own.pw_uid if "{flag}" == "-u" else own.pw_gid
        assert f"ran-as-{{expected}}-now" in out, out
    """))


@pytest.mark.parametrize("place", ["/tmp", "/var/tmp", "/dev/shm", "home"])
def test_what_a_tenant_plants_never_reaches_another_tenant_or_its_next_tenant(place):
    # The planter leaves a set-uid copy of itself where it hopes another
    # tenant will run it; the other tenant looks for it, and renames it back
    # and forth while the planter's account is handed out again.
    check_child(PLANT + textwrap.dedent(f"""
        pool = moxtile.PyUserPool(2)
        planter, other = pool.allocate(), pool.allocate()
        where = planter.home() if {place!r} == "home" else {place!r}
        path = where + "/planted"
        s = planter.spawn()
        shell(s, f"chmod 755 ~; cp /usr/bin/id {{path}} && chmod 4755 {{path}}")
        probe = f"test -e {{path}} && echo seen-it-$((1+1)) || echo not-seen-$((1+1))"
        assert "seen-it-2" in shell(s, probe)
        looker = other.spawn()
        assert "not-seen-2" in shell(looker, probe)
        shell(looker, f"(while :; do mv {{path}} {{path}}.x; mv {{path}}.x {{path}}; done) 2>/dev/null &")
        uid = planter.uid()
        del s, planter
        again = pool.allocate()
        assert again.uid() == uid
        assert "not-seen-2" in shell(again.spawn(), probe)
        assert not os.path.exists(path) or os.stat(path).st_uid != uid
    """))


# Leaving things behind, and exhausting what others need.

def shmem_kib():
    with open("/proc/meminfo") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Shmem:"))


def test_memory_left_in_dev_shm_is_freed_by_the_time_release_returns():
    out = check_child("""
        def shmem():
            with open("/proc/meminfo") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("Shmem:"))
        user = moxtile.PyUserPool(1).allocate()
        s = user.spawn()
        before = shmem()
        shell(s, "head -c 1G /dev/zero > /dev/shm/hoard")
        assert shmem() - before > 900 * 1024, (before, shmem())
        del s, user
        print(shmem() - before)
    """, timeout=180)
    assert int(out.split()[-1]) < 100 * 1024, out


def test_all_message_queues_taken_by_one_tenant_leave_another_its_own():
    take = r'''
import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
class Attr(ctypes.Structure):
    _fields_ = [("flags", ctypes.c_long), ("maxmsg", ctypes.c_long),
                ("msgsize", ctypes.c_long), ("curmsgs", ctypes.c_long), ("pad", ctypes.c_long * 4)]
attr = Attr(0, 1, 1, 0)
taken = 0
while taken < 10000:
    fd = libc.mq_open(b"/q%d-%d" % (os.getpid(), taken), os.O_CREAT | os.O_RDWR, 0o600, ctypes.byref(attr))
    if fd < 0:
        break
    taken += 1
print("took-%d-queues" % taken, os.strerror(ctypes.get_errno()).replace(" ", "_"))
'''
    check_child(f"""
        pool = moxtile.PyUserPool(2)
        hog, other = pool.allocate(), pool.allocate()
        for user in (hog, other):
            with open(user.home() + "/take.py", "w") as f:
                f.write({take!r})
        out = shell(hog.spawn(), "python3 take.py")
        assert "took-" in out and "took-0-" not in out, out
        out = shell(other.spawn(), "python3 take.py")
        assert "took-0-" not in out, out
    """, timeout=120)


def test_files_a_tenant_makes_in_tmp_stay_out_of_the_hosts_tmp():
    # The pool walks nothing of /tmp, and the host's /tmp gets none of them.
    check_child("""
        flood = "/tmp/flood-" + os.urandom(6).hex()
        user = moxtile.PyUserPool(1).allocate()
        s = user.spawn()
        shell(s, f"mkdir {flood} && cd {flood} && seq 100000 | xargs touch && cd")
        assert "count-100000" in shell(s, f"echo count-$(ls {flood} | wc -l)")
        assert not os.path.exists(flood)
    """, timeout=240)


# Making the pool's own work fail.

def test_a_failed_preparation_frees_its_slot_and_the_next_name_follows():
    check_child("""
        pool = moxtile.PyUserPool(2)
        first = pool.allocate()
        uid = first.uid()
        del first
        os.chmod("/tmp/tmp_user_home", 0o777)  # refused as a homes root
        try:
            pool.allocate()
        except ValueError as e:
            assert "temporary home directory" in str(e), e
        else:
            raise AssertionError("prepared a home under a root anyone may change")
        finally:
            os.chmod("/tmp/tmp_user_home", 0o755)
        held = [pool.allocate(), pool.allocate()]
        assert uid not in [u.uid() for u in held]
    """)


def pids_cgroup():
    if os.path.isdir("/sys/fs/cgroup/pids"):
        return "/sys/fs/cgroup/pids", None
    controllers = "/sys/fs/cgroup/cgroup.controllers"
    if os.path.exists(controllers) and "pids" in open(controllers).read().split():
        return "/sys/fs/cgroup", "/sys/fs/cgroup/cgroup.subtree_control"
    return None, None


def test_process_ids_running_out_is_an_ordinary_error_and_the_pool_goes_on():
    root, subtree = pids_cgroup()
    if root is None:
        pytest.skip("needs a pids cgroup controller")
    check_child(f"""
        root, subtree = {root!r}, {subtree!r}
        if subtree:
            with open(subtree, "w") as f:
                f.write("+pids")
        group = f"{{root}}/moxtile-test-{{os.getpid()}}"
        os.mkdir(group)
        def put(name, value, where=group):
            with open(f"{{where}}/{{name}}", "w") as f:
                f.write(str(value))
        try:
            put("cgroup.procs", os.getpid())
            put("pids.max", 1)  # this process alone: no tool, no thread can start
            pool = moxtile.PyUserPool(1)
            for _ in range(2):
                try:
                    pool.allocate()
                except ValueError as e:
                    assert "Resource temporarily unavailable" in str(e), e
                else:
                    raise AssertionError("allocated without a process to spare")
            put("pids.max", "max")
            def use_it():  # its shell is gone before the group is
                assert "alive-42" in shell(pool.allocate().spawn(), "echo alive-$((6*7))")
            use_it()
        finally:
            put("cgroup.procs", os.getpid(), where=root)
            os.rmdir(group)
    """)


def test_a_proc_that_shows_nothing_makes_allocation_fail_closed():
    check_child("""
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        CLONE_NEWNS, MS_REC, MS_PRIVATE = 0x20000, 0x4000, 0x40000
        assert libc.unshare(CLONE_NEWNS) == 0, os.strerror(ctypes.get_errno())
        assert libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) == 0
        assert libc.mount(b"none", b"/proc", b"tmpfs", 0, None) == 0
        try:
            moxtile.PyUserPool(1).allocate()
        except ValueError as e:
            assert "/proc" in str(e), e
        else:
            raise AssertionError("handed out an account no scan could check")
    """)


# Reaching what is not its own.

@pytest.mark.parametrize("cut", [False, True])
def test_the_network_cut_keeps_the_harness_loopback_out_of_reach(cut):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        port = listener.getsockname()[1]
        out = check_child(f"""
            pool = moxtile.PyUserPool(1)
            pool.configure(cut_network={cut})
            assert pool.containment()["layers"]["network_namespace"] == {cut}
            s = pool.allocate().spawn()
            print(shell(s, "(exec 3<>/dev/tcp/127.0.0.1/{port}) 2>/dev/null && echo got-$((1))-through "
                           "|| echo no-$((1))-way"))
        """)
    assert ("no-1-way" if cut else "got-1-through") in out, out
