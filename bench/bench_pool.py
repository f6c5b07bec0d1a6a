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

Usage: PYTHONPATH=<build dir> python bench/bench_pool.py [--rounds N]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--roundtrips", type=int, default=200)
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("needs root")

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
