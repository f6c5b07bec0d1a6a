"""Terminal benchmark: what PyTerm.exec costs beside the PyFs call doing the same work.

For each command the table shows ns per call of PyTerm.exec, ns per call of the
equivalent PyFs method on the same kind of tree, and the difference: the
terminal's own overhead (splitting, table lookup, lookup by name, formatting).
Target: at most 1000 ns of overhead per command. Each figure is the best of
several rounds.

    PYTHONPATH=<build dir> python3 bench/bench_term.py [--quick]
"""
from __future__ import annotations

import argparse
import gc
import sys
import time

import moxtile

TARGET_NS = 1000


def best_ns_per_call(run_batch, batch, rounds):
    """run_batch(i) performs `batch` calls; returns the best ns per call over the rounds."""
    best = None
    for r in range(rounds):
        gc.disable()
        start = time.perf_counter_ns()
        run_batch(r)
        elapsed = time.perf_counter_ns() - start
        gc.enable()
        per_call = elapsed / batch
        best = per_call if best is None else min(best, per_call)
    return best


def bench_pwd(batch, rounds):
    fs = moxtile.PyFs()
    fs.mkdir("/docs")
    term = moxtile.PyTerm(fs)
    term.exec("cd docs")
    exec_ = term.exec

    def with_term(_):
        for _ in range(batch):
            exec_("pwd")

    # PyFs has no pwd; the nearest single call is listing an empty directory.
    listdir = fs.listdir

    def with_fs(_):
        for _ in range(batch):
            listdir("/docs")

    return best_ns_per_call(with_term, batch, rounds), best_ns_per_call(with_fs, batch, rounds)


def bench_ls(batch, rounds):
    fs = moxtile.PyFs()
    fs.mkdir("/big")
    for i in range(50):
        fs.touch(f"/big/file{i:02d}")
        fs.mkdir(f"/big/dir{i:02d}")
    term = moxtile.PyTerm(fs)
    term.exec("cd big")
    exec_ = term.exec
    listdir = fs.listdir

    def with_term(_):
        for _ in range(batch):
            exec_("ls")

    def with_fs(_):
        for _ in range(batch):
            listdir("/big")

    return best_ns_per_call(with_term, batch, rounds), best_ns_per_call(with_fs, batch, rounds)


def bench_mkdir_rm(batch, rounds):
    """mkdir of `batch` new names in one directory, then rm -r of each, per round."""
    fs = moxtile.PyFs()
    term = moxtile.PyTerm(fs)
    exec_ = term.exec
    mkdir_lines = [[f"mkdir t{r}_{i}" for i in range(batch)] for r in range(rounds)]
    rm_lines = [[f"rm -r t{r}_{i}" for i in range(batch)] for r in range(rounds)]
    fs_paths = [[f"/p{r}_{i}" for i in range(batch)] for r in range(rounds)]
    # Both sides work in their own empty directory of the same shape.
    fs.mkdir("/tdir")
    fs.mkdir("/pdir")
    term.exec("cd tdir")
    fs_paths = [[f"/pdir{p}" for p in row] for row in fs_paths]

    def term_mkdir(r):
        for line in mkdir_lines[r]:
            exec_(line)

    def term_rm(r):
        for line in rm_lines[r]:
            exec_(line)

    def fs_mkdir(r):
        for path in fs_paths[r]:
            fs.mkdir(path)

    def fs_rm(r):
        for path in fs_paths[r]:
            fs.remove(path, True)

    results = {"mkdir": [None, None], "rm -r": [None, None]}
    for r in range(rounds):
        for key, side, fn in (("mkdir", 0, term_mkdir), ("rm -r", 0, term_rm),
                              ("mkdir", 1, fs_mkdir), ("rm -r", 1, fs_rm)):
            ns = best_ns_per_call(lambda _: fn(r), batch, 1)
            cur = results[key][side]
            results[key][side] = ns if cur is None else min(cur, ns)
    assert term.exec("ls") == "" and fs.listdir("/pdir") == ([], [])
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small batches, for a smoke run")
    args = parser.parse_args()
    batch, rounds = (2000, 3) if args.quick else (20000, 7)

    rows = [
        ('exec("pwd")', "listdir(empty dir)", *bench_pwd(batch, rounds)),
        ('exec("ls"), 100 entries', "listdir(100 entries)", *bench_ls(batch, rounds)),
    ]
    created = bench_mkdir_rm(min(batch, 5000), rounds)
    rows.append(('exec("mkdir dN")', "mkdir(path)", *created["mkdir"]))
    rows.append(('exec("rm -r dN")', "remove(path, True)", *created["rm -r"]))

    print(f"{'terminal command':<26} {'ns/call':>9}   {'PyFs call':<22} {'ns/call':>9}   {'overhead ns':>11}")
    worst = 0.0
    for name, fs_name, term_ns, fs_ns in rows:
        overhead = term_ns - fs_ns
        worst = max(worst, overhead)
        print(f"{name:<26} {term_ns:>9.0f}   {fs_name:<22} {fs_ns:>9.0f}   {overhead:>11.0f}")
    verdict = "within" if worst <= TARGET_NS else "ABOVE"
    print(f"largest terminal overhead: {worst:.0f} ns per command ({verdict} the {TARGET_NS} ns target)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
