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

Usage: PYTHONPATH=<build dir> python bench/bench_pool.py [--rounds N]
       PYTHONPATH=<build dir> python bench/bench_pool.py --isolation [--baseline <old build dir>]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
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
    here = os.path.dirname(os.path.abspath(moxtile.__file__))
    columns = [("this build", here)] + ([("baseline", args.baseline)] if args.baseline else [])
    print(f"{'idle account (median)':<30}" + "".join(f"{c:>14}" for c, _ in columns))
    figures = [idle_rounds(d, args.rounds) for _, d in columns]
    for i, step in enumerate(["allocate ms", "release ms"]):
        print(f"{step:<30}" + "".join(f"{f[i]:>14.3f}" for f in figures))

    pool = moxtile.PyUserPool(1)
    pool.allocate()  # made (or adopted) once, then idle
    base = timed_allocate(pool, args.rounds)
    print(f"\n{'foreign entries in /tmp':<30}{'allocate ms':>14}{'sweep us/entry':>16}")
    print(f"{0:<30}{base:>14.3f}")
    for count in (100, 100_000):
        names = [os.path.join("/tmp", f"moxtile-bench-{i}") for i in range(count)]
        try:
            for n in names:
                os.close(os.open(n, os.O_CREAT | os.O_WRONLY, 0o644))
            ms = timed_allocate(pool, args.rounds)
            print(f"{count:<30}{ms:>14.3f}{(ms - base) * 1e3 / count:>16.4f}")
        finally:
            for n in names:
                os.unlink(n)

    # The same tree removed by rm -rf beside the homes is the filesystem's own
    # floor (on some filesystems deep trees cost more per level as they grow).
    print(f"\n{'home wiped':<30}{'allocate ms':>14}{'wipe ns/entry':>16}{'rm -rf ns/entry':>17}")
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
        print(f"{label:<30}{ms:>14.3f}{(ms - base) * 1e6 / count:>16.1f}"
              f"{median_ms(floor) * 1e6 / count:>17.1f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--roundtrips", type=int, default=200)
    parser.add_argument("--isolation", action="store_true")
    parser.add_argument("--baseline", help="module build directory to compare with (--isolation)")
    parser.add_argument("--wipe-rounds", type=int, default=3, help="rounds per wiped home (--isolation)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("needs root")
    if args.isolation:
        isolation(args)
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

    print(f"{'step (median)':<22}{'moxtile ms':>12}{'by hand ms':>12}")
    for s in steps:
        print(f"{s:<22}{median_ms(ours[s]):>12.3f}{median_ms(hand[s]):>12.3f}")
    print(f"{'roundtrip (us)':<22}{median_ms(ours['roundtrip']) * 1e3:>12.1f}"
          f"{median_ms(hand['roundtrip']) * 1e3:>12.1f}")

    small = median_ms(spawn_only(pool, args.rounds))
    hand_small = median_ms(hand_spawn_only(name, uid, args.rounds))
    heap = bytearray(2 << 30)
    for i in range(0, len(heap), 4096):  # touch every page
        heap[i] = 1
    big = median_ms(spawn_only(pool, args.rounds))
    hand_big = median_ms(hand_spawn_only(name, uid, args.rounds))
    del heap
    print(f"{'spawn, small heap':<22}{small:>12.3f}{hand_small:>12.3f}")
    print(f"{'spawn, 2 GiB heap':<22}{big:>12.3f}{hand_big:>12.3f}")


if __name__ == "__main__":
    main()
