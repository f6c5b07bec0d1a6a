"""No tenant takes the host down: each tenancy has a cgroup with limits on
its processes, memory and CPU, per-process limits, usage figures, and a
release that nothing inside can stop or outlive.

Each probe plays the tenant through its own shell, bounded by the limits it
tests, in a child interpreter with a timeout."""
import os

import pytest

from test_pool_helpers import check_child, needs_accounts

pytestmark = needs_accounts

# Runs as the tenant: forks children that wait, until the kernel refuses.
FORK_LOOP = r'''
import os, time
kids = 0
try:
    while kids < 5000:
        if os.fork() == 0:
            time.sleep(30)
            os._exit(0)
        kids += 1
except OSError as e:
    print("refused-after-%d-%s" % (kids, e.errno))
'''

# Runs as the tenant: touches memory in 64 MiB steps, printing each.
HOG = r'''
import sys
held = []
for step in range(16):
    held.append(bytearray(64 << 20))
    for i in range(0, 64 << 20, 4096):
        held[-1][i] = 1
    print("held-%d-mib" % ((step + 1) * 64), flush=True)
'''

PRELUDE = """
def write_script(user, name, text):
    with open(user.home() + "/" + name, "w") as f:
        f.write(text)

def attempt(session, line):
    # As shell(), but the shell may be killed on the way: then what it said.
    session.write(line.encode() + b"\\necho end-of-$((6*7))-line\\n")
    seen = b""
    while b"end-of-42-line" not in seen:
        chunk = session.read()
        if not chunk:
            break
        seen += chunk
    return seen.decode(errors="replace")
"""


def in_child(body, **kwargs):
    import textwrap
    return check_child(PRELUDE + textwrap.dedent(body), **kwargs)


# Exhaustion.

def test_a_fork_loop_stops_at_the_cap_while_another_tenant_answers():
    in_child(f"""
        import time
        pool = moxtile.PyUserPool(2)
        pool.configure(max_tasks=64)
        bomber, other = pool.allocate(), pool.allocate()
        write_script(bomber, "forks.py", {FORK_LOOP!r})
        out = shell(bomber.spawn(), "python3 forks.py")
        assert "refused-after-" in out and "-11" in out, out
        assert bomber.usage()["processes"] <= 64
        start = time.monotonic()
        assert "fine-42" in shell(other.spawn(), "echo fine-$((6*7))")
        assert time.monotonic() - start < 5
    """, timeout=120)


@pytest.mark.parametrize("how", ["hog", "shm"])
def test_memory_past_the_limit_is_killed_or_refused_inside_the_tenancy(how):
    in_child(f"""
        pool = moxtile.PyUserPool(2)
        pool.configure(max_memory_mib=256)
        greedy, other = pool.allocate(), pool.allocate()
        write_script(greedy, "hog.py", {HOG!r})
        command = {{"hog": "python3 hog.py",
                   "shm": "head -c 1G /dev/zero > /dev/shm/hoard; ls -l /dev/shm"}}[{how!r}]
        out = attempt(greedy.spawn(), command)
        assert "held-1024-mib" not in out, out
        usage = greedy.usage()
        assert usage["memory_peak_bytes"] <= 256 << 20, usage
        if {how!r} == "hog":
            assert usage["oom_kills"] >= 1, usage
        assert "fine-42" in shell(other.spawn(), "echo fine-$((6*7))")
    """, timeout=180)


def test_a_write_past_the_file_size_limit_fails_with_efbig():
    out = in_child("""
        pool = moxtile.PyUserPool(1)
        pool.configure(max_file_mib=1)
        s = pool.allocate().spawn()
        print(shell(s, "(trap '' XFSZ; head -c 2M /dev/zero > big); echo size-$(stat -c %s big)"))
    """)
    assert "File too large" in out and f"size-{1 << 20}" in out, out


# Freezing the harness.

def test_a_tenant_that_stops_its_own_processes_does_not_stall_release():
    out = in_child("""
        import time
        pool = moxtile.PyUserPool(1)
        user = pool.allocate()
        s = user.spawn()
        shell(s, "echo started-$((6*7))")
        # It stops the shell too, so nothing more is read from it.
        s.write(b"(while :; do kill -STOP -1; done) >/dev/null 2>&1 &\\n")
        time.sleep(0.5)
        start = time.monotonic()
        del s, user
        print("released-in", time.monotonic() - start)
    """, timeout=120)
    assert float(out.split()[-1]) < 3, out


# Accounting for each run.

def test_usage_matches_a_known_load():
    in_child(f"""
        import re
        user = moxtile.PyUserPool(1).allocate()
        write_script(user, "hog.py", {HOG!r}.replace("range(16)", "range(2)")
                     + "import time; time.sleep(60)\\n")
        s = user.spawn()
        shell(s, "python3 hog.py > held.txt &")
        for _ in range(600):
            if os.path.exists(user.home() + "/held.txt"):
                if "held-128-mib" in open(user.home() + "/held.txt").read():
                    break
            time.sleep(0.05)
        usage = user.usage()
        assert 128 << 20 <= usage["memory_bytes"] < 256 << 20, usage
        assert usage["processes"] >= 2, usage
        out = shell(s, "timeout 2 sh -c 'while :; do :; done'; times")
        # The shell's children's user and system time, as bash counts it.
        m, s_ = re.findall(r"(\\d+)m([\\d.]+)s", out)[-2]
        children = int(m) * 60 + float(s_)
        used = user.usage()["cpu_seconds"]
        assert used >= children * 0.9, (used, children, out)
    """.replace("import re", "import re, time"), timeout=120)


# Leaving groups behind.

def test_a_thousand_tenancies_leave_no_cgroup_behind():
    out = in_child("""
        pool = moxtile.PyUserPool(2)
        kind = pool.containment()["cgroup"]
        names = set()
        for _ in range(1000):
            user = pool.allocate()
            names.add(user.username())
            del user
        # Other pools of the host may hold tenancies meanwhile: only ours count.
        root = "/sys/fs/cgroup" if kind == "v2" else "/sys/fs/cgroup/pids"
        left = names & set(os.listdir(root + "/moxtile")) if kind != "none" else ()
        print(kind, len(left))
    """, timeout=600)
    kind, left = out.split()[-2:]
    if kind == "none":
        pytest.skip("the host gives no cgroup")
    assert left == "0", out
