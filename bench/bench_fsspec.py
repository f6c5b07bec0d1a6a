"""fsspec benchmark: the moxtile:// filesystem beside fsspec's own MemoryFileSystem.

One directory of N files of 100 B (N = 10,000 by default): pipe_file, cat_file
and info per file, ls(detail=True) per entry, rm -r per entry; then one put of
a real tree (the interpreter's standard library without site-packages, staged
on a tmpfs first) beside shutil.copytree of it into a tmpfs directory, and the
tree's way back with get. Prints µs per operation (or seconds per tree) and the
ratio of MemoryFileSystem's time to moxtile's (above 1: moxtile is faster).
Figures only, never pass/fail; the table goes to stderr.

MemoryFileSystem.info scans its whole store on every call, so on the full
directory it is timed on a sample of 1,000 files (its cost per call does not
depend on which file). The row "cat_file by handle" is what cat_file would
cost through PyFs.open/read/close instead of PyFs.read_bytes (reads through a
handle print a notice on file descriptor 1, which is pointed at /dev/null).

    pip install ".[fsspec]" && python3 bench/bench_fsspec.py [--files N] [--tree DIR]
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import os
import shutil
import sys
import sysconfig
import tempfile
import time

import fsspec
from fsspec.implementations.memory import MemoryFileSystem

import moxtile
from moxtile_fsspec import MoxtileFileSystem

PAYLOAD = bytes(range(100))


def timed(work, repeat=3):
    """Best wall time of `repeat` runs of work() (each run sets up its own state)."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            work()
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best


@contextlib.contextmanager
def stdout_to_devnull():
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def new_memory():
    return MemoryFileSystem(global_store=False, skip_instance_cache=True)


def new_moxtile():
    return MoxtileFileSystem(fs=moxtile.PyFs())


def filled(make, names):
    fs = make()
    fs.mkdir("/d")
    for p in names:
        fs.pipe_file(p, PAYLOAD)
    return fs


def directory_rows(count):
    names = [f"/d/file{i:05d}.bin" for i in range(count)]
    sample = names[:: max(1, count // 1000)]
    rows = []
    for label, make in (("moxtile", new_moxtile), ("memory", new_memory)):
        figures = {}

        def pipe():
            fs = make()
            fs.mkdir("/d")
            for p in names:
                fs.pipe_file(p, PAYLOAD)

        figures["pipe_file"] = timed(pipe) / count
        fs = filled(make, names)

        def cat():
            for p in names:
                fs.cat_file(p)

        figures["cat_file"] = timed(cat) / count
        targets = sample if label == "memory" else names

        def info():
            for p in targets:
                fs.info(p)

        figures["info"] = timed(info) / len(targets)
        figures["ls(detail=True)"] = timed(lambda: fs.ls("/d", detail=True)) / count
        if label == "moxtile":
            pyfs = fs.pyfs

            def cat_by_handle():
                for p in names:
                    handle = pyfs.open(p, "r")
                    handle.read(1 << 16)
                    handle.close()

            with stdout_to_devnull():
                figures["cat_file by handle"] = timed(cat_by_handle) / count

        def remove():
            fs.rm("/d", recursive=True)

        total = 0.0
        for _ in range(3):
            fs = filled(make, names)
            total = min(total, timed(remove, 1)) if total else timed(remove, 1)
        figures["rm -r"] = total / count
        rows.append((label, figures))
    return rows


def stage_tree(source, into):
    """A copy of `source` (site-packages left out) on a tmpfs: the same bytes
    for every contender, read from memory."""
    staged = os.path.join(into, "tree")
    shutil.copytree(source, staged, symlinks=True,
                    ignore=shutil.ignore_patterns("site-packages"))
    files = dirs = size = 0
    for directory, subdirs, names in os.walk(staged):
        dirs += len(subdirs)
        for name in names:
            path = os.path.join(directory, name)
            if os.path.isfile(path):
                files += 1
                size += os.path.getsize(path)
    return staged, files, dirs, size


def tree_rows(staged, scratch):
    rows = {}

    def put_moxtile():
        new_moxtile().put(staged, "/t", recursive=True)

    def put_generic():
        fs = new_moxtile()
        fsspec.AbstractFileSystem.put(fs, staged, "/t", recursive=True)

    def put_memory():
        new_memory().put(staged, "/t", recursive=True)

    counter = [0]

    def copytree():
        counter[0] += 1
        shutil.copytree(staged, os.path.join(scratch, f"copy{counter[0]}"), symlinks=True)

    rows["put (moxtile)"] = timed(put_moxtile)
    rows["put (moxtile, fsspec's generic put)"] = timed(put_generic, 1)
    rows["put (memory)"] = timed(put_memory, 1)
    rows["shutil.copytree to tmpfs"] = timed(copytree)
    fs = new_moxtile()
    fs.put(staged, "/t", recursive=True)

    def get_moxtile():
        counter[0] += 1
        fs.get("/t", os.path.join(scratch, f"back{counter[0]}"), recursive=True)

    rows["get (moxtile) to tmpfs"] = timed(get_moxtile)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=10_000)
    parser.add_argument("--tree", default=sysconfig.get_paths()["stdlib"])
    parser.add_argument("--scratch", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = parser.parse_args()
    err = sys.stderr

    print(f"fsspec {fsspec.__version__}; Python {sys.version.split()[0]}", file=err)
    print(f"\n{args.files:,} files of {len(PAYLOAD)} B in one directory (µs per file):", file=err)
    rows = dict(directory_rows(args.files))
    mine, theirs = rows["moxtile"], rows["memory"]
    print(f"  {'operation':<22}{'moxtile':>12}{'memory':>12}{'ratio':>10}", file=err)
    for op, seconds in mine.items():
        other = theirs.get(op)
        ratio = f"{other / seconds:9.1f}x" if other else ""
        other_text = f"{other * 1e6:12.2f}" if other else f"{'-':>12}"
        print(f"  {op:<22}{seconds * 1e6:12.2f}{other_text}{ratio}", file=err)

    with tempfile.TemporaryDirectory(dir=args.scratch) as scratch:
        staged, files, dirs, size = stage_tree(args.tree, scratch)
        print(f"\nTree: {args.tree} without site-packages: {files:,} files, {dirs:,} "
              f"directories, {size / 1e6:.0f} MB (staged on {args.scratch or 'the temp dir'}), "
              "seconds per tree:", file=err)
        figures = tree_rows(staged, scratch)
        base = figures["shutil.copytree to tmpfs"]
        for op, seconds in figures.items():
            print(f"  {op:<40}{seconds:9.3f} s{base / seconds:9.2f}x of copytree's speed",
                  file=err)


if __name__ == "__main__":
    main()
