"""Account pool and shell session timings, beside the same steps by hand.

Needs root, useradd, su (with -P) and pkill. Prints medians in milliseconds:
  allocate   handing out an idle account (its home wiped and made again)
  spawn      starting a session up to the first byte of the output of `echo ready`
  roundtrip  writing `echo x` and reading until its output arrives
  close      killing and reaping the shell
  release    dropping the account (pkill, then nothing may be left running)
The "by hand" column does the same with subprocess.Popen of the same su
command line, os.kill + wait and subprocess.run(["pkill", "-u", uid]). The
spawn is measured again with a 2 GiB Python heap: a start must not cost more
when the caller is big.

With --isolation it prints instead what preparing an account for a new
tenant costs: allocation of an idle account and its release (beside the
build given with --baseline, for a before/after in one run), the leftover
sweep against the number of foreign entries in /tmp (allocation with 100 and
100,000 extra root-owned files there), and the home wipe per entry for a
home of 100,000 files and one nested 30,000 levels deep.

With --scaling it prints what must not grow with the caller or the host:
  cycle          allocate + spawn + `echo hi` + release (del session and user),
                 ms per cycle over --cycles cycles, with a small heap and with
                 2 GiB of touched heap in the measuring interpreter
  second account allocate + release of a second account while a first is held
                 (median ms), with no foreign files in /tmp and with --foreign
                 empty files in a directory of another pool account there
  contention     the harness's own CPU-bound loop while tenants run 16 busy
                 loops, each in a session of its own, against the loop alone
and the ratios 2 GiB / small and many files / none. Each figure comes from an
interpreter of its own.

Before and after in one run: --before <dir> names a directory holding an
older build of the module (its .so); every figure of --scaling and --isolation
is then measured once with it and once with this build, each in its own child
interpreter with PYTHONPATH set, and printed beside the ratio after/before. To
build the module of a git revision into such a directory:
    git worktree add /tmp/before <rev>
    cmake -S /tmp/before -B /tmp/before-build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build /tmp/before-build       # the .so lands in /tmp/before-build
    git worktree remove /tmp/before       # once done (the build stays)
(or `pip wheel --no-deps -w /tmp/wheel /tmp/before` and unzip the wheel into a
directory). Builds of two revisions must share the account lock scheme, or
their pools may hand out the same account.

Usage: PYTHONPATH=<build dir> python bench/bench_pool.py [--rounds N]
       PYTHONPATH=<build dir> python bench/bench_pool.py --isolation [--before <old build dir>]
       PYTHONPATH=<build dir> python bench/bench_pool.py --scaling [--before <old build dir>]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import moxtile

READY = (b"\rready\r\n", b"\nready\r\n")
X = (b"\rx\r\n", b"\nx\r\n")


def until(read, markers):
    seen = b""
    while not any(m in seen for m in markers):
        chunk = read()
        if not chunk:
            raise RuntimeError(f"end of stream before {markers!r}: {seen!r}")
        seen += chunk


def say(*text):
    """The table goes to stderr, line by line as figures come."""
    print(*text, file=sys.stderr, flush=True)


def median_ms(samples):
    return statistics.median(samples) * 1e3


# ---- the module -----------------------------------------------------------


def module_round(pool, results, roundtrips):
    t = time.perf_counter()
    user = pool.allocate()
    results["allocate"].append(time.perf_counter() - t)

    t = time.perf_counter()
    session = user.spawn()
    session.write(b"echo ready\n")
    until(session.read, READY)
    results["spawn"].append(time.perf_counter() - t)

    for _ in range(roundtrips):
        t = time.perf_counter()
        session.write(b"echo x\n")
        until(session.read, X)
        results["roundtrip"].append(time.perf_counter() - t)

    t = time.perf_counter()
    session.close()
    results["close"].append(time.perf_counter() - t)
    del session

    t = time.perf_counter()
    del user
    results["release"].append(time.perf_counter() - t)


# ---- by hand --------------------------------------------------------------


def hand_allocate(name, uid):
    home = os.path.join("/tmp/tmp_user_home", name)
    os.makedirs("/tmp/tmp_user_home", exist_ok=True)
    if os.path.exists(home):
        shutil.rmtree(home)
    os.mkdir(home)
    home = os.path.realpath(home)
    os.chown(home, uid, uid)
    return home


def hand_round(name, uid, results, roundtrips):
    t = time.perf_counter()
    home = hand_allocate(name, uid)
    results["allocate"].append(time.perf_counter() - t)

    script = f'export HOME="{home}"; cd "{home}"; exec /bin/bash'
    t = time.perf_counter()
    proc = subprocess.Popen(
        ["su", "-s", "/bin/bash", "-P", "-c", script, name],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0,
    )
    out = proc.stdout.fileno()
    inp = proc.stdin.fileno()
    os.write(inp, b"echo ready\n")
    until(lambda: os.read(out, 1024), READY)
    results["spawn"].append(time.perf_counter() - t)

    for _ in range(roundtrips):
        t = time.perf_counter()
        os.write(inp, b"echo x\n")
        until(lambda: os.read(out, 1024), X)
        results["roundtrip"].append(time.perf_counter() - t)

    t = time.perf_counter()
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    proc.stdin.close()
    proc.stdout.close()
    proc.stderr.close()
    results["close"].append(time.perf_counter() - t)

    t = time.perf_counter()
    subprocess.run(["pkill", "-u", str(uid)], capture_output=True)
    results["release"].append(time.perf_counter() - t)


def spawn_only(pool, rounds):
    samples = []
    user = pool.allocate()
    for _ in range(rounds):
        t = time.perf_counter()
        session = user.spawn()
        session.write(b"echo ready\n")
        until(session.read, READY)
        samples.append(time.perf_counter() - t)
        session.close()
        del session
    del user
    return samples


def hand_spawn_only(name, uid, rounds):
    samples = []
    home = hand_allocate(name, uid)
    script = f'export HOME="{home}"; cd "{home}"; exec /bin/bash'
    for _ in range(rounds):
        t = time.perf_counter()
        proc = subprocess.Popen(
            ["su", "-s", "/bin/bash", "-P", "-c", script, name],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0,
        )
        os.write(proc.stdin.fileno(), b"echo ready\n")
        until(lambda: os.read(proc.stdout.fileno(), 1024), READY)
        samples.append(time.perf_counter() - t)
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        for f in (proc.stdin, proc.stdout, proc.stderr):
            f.close()
    subprocess.run(["pkill", "-u", str(uid)], capture_output=True)
    return samples


# ---- preparing an account for a new tenant -------------------------------

# Runs in a child interpreter (so that two builds of the module can be compared
# in one run): allocation of an idle account and its release, medians in ms.
IDLE_ROUNDS = """
import statistics, sys, time
import moxtile
pool = moxtile.PyUserPool(1)
pool.allocate()  # made (or adopted) once, then idle
alloc, release = [], []
for _ in range(int(sys.argv[1])):
    t = time.perf_counter(); user = pool.allocate(); alloc.append(time.perf_counter() - t)
    t = time.perf_counter(); del user; release.append(time.perf_counter() - t)
print(statistics.median(alloc) * 1e3, statistics.median(release) * 1e3)
"""


def idle_rounds(module_dir, rounds):
    env = dict(os.environ, PYTHONPATH=module_dir)
    out = subprocess.run([sys.executable, "-c", IDLE_ROUNDS, str(rounds)], env=env,
                         capture_output=True, text=True, check=True).stdout
    return [float(x) for x in out.split()]


def timed_allocate(pool, rounds):
    samples = []
    for _ in range(rounds):
        t = time.perf_counter()
        user = pool.allocate()
        samples.append(time.perf_counter() - t)
        del user
    return median_ms(samples)


def fill_flat(home, count):
    fd = os.open(home, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for i in range(count):
            os.close(os.open(f"f{i}", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
    finally:
        os.close(fd)


def fill_deep(home, depth):
    fd = os.open(home, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=fd)
        inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(fd)


def isolation(args):
    columns = builds(args)
    say(f"{'idle account (median)':<30}" + "".join(f"{c:>14}" for c, _ in columns))
    figures = [idle_rounds(d, args.rounds) for _, d in columns]
    for i, step in enumerate(["allocate ms", "release ms"]):
        say(f"{step:<30}" + "".join(f"{f[i]:>14.3f}" for f in figures))

    pool = moxtile.PyUserPool(1)
    pool.allocate()  # made (or adopted) once, then idle
    base = timed_allocate(pool, args.rounds)
    say(f"\n{'foreign entries in /tmp':<30}{'allocate ms':>14}{'sweep us/entry':>16}")
    say(f"{0:<30}{base:>14.3f}")
    for count in (100, 100_000):
        names = [os.path.join("/tmp", f"moxtile-bench-{i}") for i in range(count)]
        try:
            for n in names:
                os.close(os.open(n, os.O_CREAT | os.O_WRONLY, 0o644))
            ms = timed_allocate(pool, args.rounds)
            say(f"{count:<30}{ms:>14.3f}{(ms - base) * 1e3 / count:>16.4f}")
        finally:
            for n in names:
                os.unlink(n)

    # The same tree removed by rm -rf beside the homes is the filesystem's own
    # floor (on some filesystems deep trees cost more per level as they grow).
    say(f"\n{'home wiped':<30}{'allocate ms':>14}{'wipe ns/entry':>16}{'rm -rf ns/entry':>17}")
    for label, fill, count in (("100,000 files", fill_flat, 100_000),
                               ("30,000 levels", fill_deep, 30_000)):
        samples, floor = [], []
        for _ in range(args.wipe_rounds):
            user = pool.allocate()
            fill(user.home(), count)
            del user
            t = time.perf_counter()
            user = pool.allocate()
            samples.append(time.perf_counter() - t)
            del user
            ref = os.path.join(os.path.dirname(os.path.realpath("/tmp/tmp_user_home/x")),
                               "moxtile-bench-ref")
            os.mkdir(ref)
            fill(ref, count)
            t = time.perf_counter()
            subprocess.run(["rm", "-rf", ref], check=True)
            floor.append(time.perf_counter() - t)
        ms = median_ms(samples)
        say(f"{label:<30}{ms:>14.3f}{(ms - base) * 1e6 / count:>16.1f}"
              f"{median_ms(floor) * 1e6 / count:>17.1f}")


# ---- what must not grow with the caller or the host ----------------------

# Runs in a child interpreter, one figure each: argv is the measurement, the
# rounds and (for "cycle") the heap in bytes. Prints ms per cycle or per
# allocation.
SCALING = """
import statistics, sys, time
import moxtile
HI = (b"\\rhi\\r\\n", b"\\nhi\\r\\n")
kind, rounds = sys.argv[1], int(sys.argv[2])

def until(read, markers):
    seen = b""
    while not any(m in seen for m in markers):
        chunk = read()
        if not chunk:
            raise RuntimeError(f"end of stream before {markers!r}: {seen!r}")
        seen += chunk

if kind == "cycle":
    heap = bytearray(int(sys.argv[3]))
    heap[::4096] = b"\\1" * len(range(0, len(heap), 4096))  # every page touched
    pool = moxtile.PyUserPool(1)

    def cycle():
        user = pool.allocate()
        session = user.spawn()
        session.write(b"echo hi\\n")
        until(session.read, HI)
        del session, user

    cycle()  # the account made (or adopted) once
    t = time.perf_counter()
    for _ in range(rounds):
        cycle()
    print((time.perf_counter() - t) * 1e3 / rounds)
elif kind == "contention":
    # The harness's own CPU-bound loop, alone and while tenants keep 16 busy
    # loops running, each in a session of its own (so autogroup cannot help).
    def spin():
        t = time.perf_counter()
        n = 0
        for i in range(3_000_000):
            n += i
        return time.perf_counter() - t

    alone = min(spin() for _ in range(rounds))
    pool = moxtile.PyUserPool(4)
    users = [pool.allocate() for _ in range(4)]
    sessions = [u.spawn() for u in users]
    for s in sessions:
        s.write(b"for i in 1 2 3 4; do setsid sh -c 'while :; do :; done' & done; echo hi\\n")
        until(s.read, HI)
    time.sleep(1)
    busy = min(spin() for _ in range(rounds))
    del sessions, users
    print(busy / alone)
else:  # "second": a second account while the first is held
    pool = moxtile.PyUserPool(2)
    first = pool.allocate()
    second = pool.allocate()
    del second
    samples = []
    for _ in range(rounds):
        t = time.perf_counter()
        second = pool.allocate()
        del second
        samples.append(time.perf_counter() - t)
    print(statistics.median(samples) * 1e3)
"""


def builds(args):
    here = os.path.dirname(os.path.abspath(moxtile.__file__))
    return ([("before", args.before)] if args.before else []) + [("this build", here)]


def in_child(module_dir, *argv):
    env = dict(os.environ, PYTHONPATH=module_dir)
    run = subprocess.run([sys.executable, "-c", SCALING, *map(str, argv)], env=env,
                         capture_output=True, text=True)
    if run.returncode != 0:
        raise SystemExit(f"measurement {argv} with {module_dir} failed:\n{run.stderr}")
    return float(run.stdout)


def foreign_files(owner_uid, count):
    """A directory in /tmp of another pool account, holding `count` empty files."""
    top = tempfile.mkdtemp(prefix="moxtile-bench-foreign-", dir="/tmp")
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for i in range(count):
            os.close(os.open(f"f{i}", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
            os.chown(f"f{i}", owner_uid, owner_uid, dir_fd=fd, follow_symlinks=False)
    finally:
        os.close(fd)
    os.chmod(top, 0o755)
    os.chown(top, owner_uid, owner_uid)
    return top


def scaling(args):
    columns = builds(args)
    rows = []  # (label, figure per build)
    for label, argv in (("cycle, small heap", ("cycle", args.cycles, 0)),
                        ("cycle, 2 GiB heap", ("cycle", args.cycles, 2 << 30))):
        rows.append((label + " ms/cycle", [in_child(d, *argv) for _, d in columns]))

    # The foreign files belong to an account of a pool of our own, held
    # meanwhile, so that neither child pool takes it.
    pool = moxtile.PyUserPool(1)
    owner = pool.allocate()
    rows.append(("second account, 0 files ms",
                 [in_child(d, "second", args.allocations) for _, d in columns]))
    top = foreign_files(owner.uid(), args.foreign)
    try:
        rows.append((f"second account, {args.foreign:,} files ms",
                     [in_child(d, "second", args.allocations) for _, d in columns]))
    finally:
        shutil.rmtree(top)
    del owner

    width = 34
    say(f"{'':<{width}}" + "".join(f"{c:>14}" for c, _ in columns)
          + (f"{'after/before':>14}" if args.before else ""))

    def line(label, figures, fmt):
        text = f"{label:<{width}}" + "".join(f"{f:>14{fmt}}" for f in figures)
        if args.before:
            text += f"{figures[-1] / figures[0]:>14.2f}"
        say(text)

    for label, figures in rows:
        line(label, figures, ".3f")
    by_label = dict(rows)
    heap = [b / s for s, b in zip(by_label["cycle, small heap ms/cycle"],
                                  by_label["cycle, 2 GiB heap ms/cycle"])]
    files = [m / z for z, m in zip(rows[2][1], rows[3][1])]
    line("ratio 2 GiB / small heap", heap, ".2f")
    line(f"ratio {args.foreign:,} / 0 files", files, ".2f")
    line("harness loop, 16 tenant loops / alone",
         [in_child(d, "contention", 5) for _, d in columns], ".2f")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--roundtrips", type=int, default=200)
    parser.add_argument("--isolation", action="store_true")
    parser.add_argument("--scaling", action="store_true")
    parser.add_argument("--before", "--baseline", dest="before",
                        help="directory of an older build of the module to compare with "
                             "(--isolation, --scaling)")
    parser.add_argument("--cycles", type=int, default=50, help="cycles per figure (--scaling)")
    parser.add_argument("--allocations", type=int, default=10,
                        help="allocations per figure (--scaling)")
    parser.add_argument("--foreign", type=int, default=100_000,
                        help="foreign files in /tmp (--scaling)")
    parser.add_argument("--wipe-rounds", type=int, default=3, help="rounds per wiped home (--isolation)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("needs root")
    if args.isolation:
        isolation(args)
        return
    if args.scaling:
        scaling(args)
        return

    pool = moxtile.PyUserPool(1)
    probe = pool.allocate()  # the account both columns use
    name, uid = probe.username(), probe.uid()
    del probe

    steps = ["allocate", "spawn", "roundtrip", "close", "release"]
    ours = {s: [] for s in steps}
    hand = {s: [] for s in steps}
    for _ in range(args.rounds):  # interleaved, so both see the same machine
        module_round(pool, ours, args.roundtrips // args.rounds)
        hand_round(name, uid, hand, args.roundtrips // args.rounds)

    say(f"{'step (median)':<22}{'moxtile ms':>12}{'by hand ms':>12}")
    for s in steps:
        say(f"{s:<22}{median_ms(ours[s]):>12.3f}{median_ms(hand[s]):>12.3f}")
    say(f"{'roundtrip (us)':<22}{median_ms(ours['roundtrip']) * 1e3:>12.1f}"
          f"{median_ms(hand['roundtrip']) * 1e3:>12.1f}")

    small = median_ms(spawn_only(pool, args.rounds))
    hand_small = median_ms(hand_spawn_only(name, uid, args.rounds))
    heap = bytearray(2 << 30)
    for i in range(0, len(heap), 4096):  # touch every page
        heap[i] = 1
    big = median_ms(spawn_only(pool, args.rounds))
    hand_big = median_ms(hand_spawn_only(name, uid, args.rounds))
    del heap
    say(f"{'spawn, small heap':<22}{small:>12.3f}{hand_small:>12.3f}")
    say(f"{'spawn, 2 GiB heap':<22}{big:>12.3f}{hand_big:>12.3f}")


if __name__ == "__main__":
    main()
