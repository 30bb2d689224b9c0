#!/usr/bin/env python3
"""Repeats constructions, accessor calls and failing calls of merge_ipynb and checks that memory stays flat.

usage: PYTHONPATH=src python3 tools/leakcheck.py [--iterations N] [--warmup N] [--max-growth-kib K]
Prints the resident set size after the warm-up and at the end; exits 1 when it grew by more than K KiB.
Each exercise below runs once per iteration; add new ones with the @exercise decorator.
"""
import argparse
import gc
import os
import sys

from corvane_git.scripts.merge_driver import merge_ipynb as m

EXERCISES = []


def exercise(fn):
    EXERCISES.append(fn)
    return fn


def fails(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except Exception:
        return
    raise SystemExit("%s%r did not fail" % (getattr(call, "__name__", call), args))


def cell_dict():
    return {"id": "cell-1", "source": ["import os\n", "x = 1"], "outputs": [], "execution_count": 2,
            "metadata": {"canvas": {"id": "comp-1", "name": "loader", "parents": [{"id": "comp-0", "name": "r"}],
                                    "comments": [], "headerColor": "blue"}}}


class Text(str):
    pass


@exercise
def construct_and_read():
    for side in ("base", "current", "incoming"):
        cell = m.Cell(cell_dict(), file_type=side)
        cell.data, cell.cell_id, cell.source, cell.meta_data, cell.link_id, cell.name, cell.parents
        cell.comments, cell.file_type


@exercise
def write_and_mark():
    cell = m.Cell(cell_dict(), "current")
    cell.cell_id, cell.link_id, cell.name = "c2", "k2", "renamed"
    cell.source, cell.parents = ["y\n"], []
    cell.add_comment({"text": "x"})
    cell.add_conflict_mark()
    cell.add_conflict_mark()
    cell.data = cell_dict()
    m.Cell(cell_dict(), "incoming").add_conflict_mark()


@exercise
def failing_bodies():
    fails(m.Cell, {}, "neither")
    fails(m.Cell, {}, None)
    bare = m.Cell({"id": "x"}, "base")
    fails(getattr, bare, "name")
    fails(getattr, bare, "source")
    fails(setattr, bare, "parents", [])
    fails(bare.add_comment, {})
    fails(bare.add_conflict_mark)
    broken = m.Cell({"metadata": None}, "base")
    fails(getattr, broken, "link_id")
    named = cell_dict()
    named["metadata"]["canvas"]["name"] = 5
    fails(m.Cell(named, "current").add_conflict_mark)
    fails(setattr, bare, "file_type", "base")


@exercise
def failing_bindings():
    d = cell_dict()
    fails(m.Cell, d)
    fails(m.Cell, d, "base", x=1)
    fails(m.Cell, d, "base", cell=d)
    fails(lambda: m.Cell(d, **{1: "base"}))
    fails(m._merge_source, "g", "a", "b")
    fails(m._merge_source, *"g" * 7)
    fails(m._merge_source, g="g")
    fails(m._cell_changed, m.Cell(d, "base"))
    fails(m.merge_files, "a", "b", "c", "d", base_file_path="a")
    fails(m.merge_files, "a", "b", "c", "d", x=1)
    fails(vars(m.Cell)["data"].fget)


@exercise
def refused_types():
    d = cell_dict()
    fails(m.Cell, d, 5)
    fails(m.Cell, d, Text("base"))
    fails(m.merge_files, 1, "b", "c", "d")
    fails(m.merge_files, "a", "b", "c", Text("d"))
    fails(setattr, m.Cell(d, "base"), "name", 5)
    fails(m.merge_files, None, None, None, None)


@exercise
def introspection():
    for fn in (m._merge_source, m._cell_changed, m.merge_files, vars(m.Cell)["__init__"],
               vars(m.Cell)["name"].fset):
        fn.__code__, fn.__annotations__, fn.__defaults__, fn.__doc__, fn.__qualname__, fn.__dict__


def rss_kib():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
    except OSError:
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def run(iterations):
    for _ in range(iterations):
        for fn in EXERCISES:
            fn()
    gc.collect()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=300000)
    parser.add_argument("--warmup", type=int, default=20000)
    parser.add_argument("--max-growth-kib", type=int, default=2048)
    args = parser.parse_args()
    run(args.warmup)
    before = rss_kib()
    print("rss after %d warm-up iterations: %d KiB" % (args.warmup, before), flush=True)
    run(args.iterations)
    after = rss_kib()
    print("rss after %d more iterations: %d KiB (growth %d KiB, limit %d KiB)"
          % (args.iterations, after, after - before, args.max_growth_kib))
    return 1 if after - before > args.max_growth_kib else 0


if __name__ == "__main__":
    sys.exit(main())
