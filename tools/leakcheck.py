#!/usr/bin/env python3
"""Repeats constructions, accessor calls and failing calls of merge_ipynb and checks that memory stays flat.

usage: PYTHONPATH=src python3 tools/leakcheck.py [--iterations N] [--warmup N] [--max-growth-kib K]
       PYTHONPATH=src python3 tools/leakcheck.py --merges N [--warmup N] [--max-growth-kib K]
Prints the resident set size after the warm-up and at the end; exits 1 when it grew by more than K KiB.
Each exercise below runs once per iteration; add new ones with the @exercise decorator.
With --merges, the loop is N whole merges of a mid-size notebook instead (see merge_loop), and on a
debug build of the host the total reference count is compared as well.
"""
import argparse
import copy
import gc
import json
import os
import sys
import tempfile

from corvane_git.scripts.merge_driver import merge_core as core
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
def batched_source_merges():
    labels = ("nb-current", "nb-base", "nb-incoming")
    # Edits apart (no git run here; the merge loop runs git through merge_sources).
    sources = [(["x\n", "y\n", "z\n"], ["x\n", "y\n", "Z\n"], ["X\n", "y\n", "Z\n"]),
               (["a\n", "b2\n", "c\n"], ["a\n", "b\n", "c\n"], ["a\n", "b\n", "c\n"])]
    core.merge_sources(sources * 3, labels)
    core.merge_sources(sources)
    fails(core.merge_sources, sources + [(["a\n"], ["b\n"], [1])], labels)
    fails(core.merge_sources, sources, ("a", "b"))
    fails(core.merge_sources, [("a", "b")])


@exercise
def introspection():
    for fn in (m._merge_source, m._cell_changed, m.merge_files, core.merge_notebooks, core.merge_sources,
               vars(m.Cell)["__init__"],
               vars(m.Cell)["name"].fset):
        fn.__code__, fn.__annotations__, fn.__defaults__, fn.__doc__, fn.__qualname__, fn.__dict__


def mid_size_notebooks():
    """base, ours and theirs of 40 cells each, changed so that one merge runs every kind of decision:
    source merges (clean and conflicting), their version inserted after ours, marked name clashes,
    cells deleted and added on both sides, comments, parents to filter, parameter conflicts."""
    def cell(n, name):
        source = ["line %d of cell %d\n" % (i, n) for i in range(12)]
        return {"cell_type": "code", "execution_count": n, "id": "cell-%d" % n,
                "metadata": {"canvas": {"comments": [{"author": "ana", "text": "note %d" % n}],
                                        "headerColor": "#ffffff", "id": "comp-%d" % n, "name": name,
                                        "parents": [{"id": "comp-%d" % (n - 1), "name": "step"}] if n else []}},
                "outputs": [{"name": "stdout", "output_type": "stream", "text": ["%d\n" % n]}],
                "source": source}

    base = {"cells": [cell(n, "step %d" % n if n % 2 else None) for n in range(40)],
            "metadata": {"canvas": {"parameters": [{"name": "p%d" % n, "value": str(n)} for n in range(6)]},
                         "kernelspec": {"name": "python3"}},
            "nbformat": 4, "nbformat_minor": 5}
    ours, theirs = copy.deepcopy(base), copy.deepcopy(base)
    for n in (3, 5, 8, 13):
        ours["cells"][n]["source"][0] = "ours changed the first line\n"
        theirs["cells"][n]["source"][-1] = "theirs changed the last line\n"
    ours["cells"][21]["source"][4] = "ours\n"
    theirs["cells"][21]["source"][4] = "theirs\n"                       # a conflict
    theirs["cells"][7]["metadata"]["canvas"]["name"] = "renamed"          # inserted after ours
    ours["cells"][7]["source"].append("more\n")
    theirs["cells"][9]["metadata"]["canvas"]["comments"].append({"author": "bo", "text": "new"})
    ours["cells"][9]["source"].append("ours\n")
    theirs["cells"][11]["metadata"]["canvas"]["name"] = "step 1"          # a name clash
    del ours["cells"][30]
    del theirs["cells"][33]
    theirs["cells"].append(cell(99, "step 3"))                             # added, clashing
    ours["cells"].append(cell(98, "new on ours"))
    ours["metadata"]["canvas"]["parameters"][1]["value"] = "ours"
    theirs["metadata"]["canvas"]["parameters"][1]["value"] = "theirs"
    del theirs["metadata"]["canvas"]["parameters"][2]
    return base, ours, theirs


def merge_loop(count, directory):
    """`count` merges of the mid-size notebooks; every tenth has a broken base and fails."""
    base, ours, theirs = mid_size_notebooks()
    broken = copy.deepcopy(base)
    del broken["cells"][5]["metadata"]["canvas"]["id"]
    texts = [json.dumps(nb, indent=1).encode() for nb in (base, ours, theirs, broken)]
    paths = [os.path.join(directory, n) for n in ("base.ipynb", "ours.ipynb", "theirs.ipynb", "broken.ipynb")]
    for path, text in zip(paths, texts):
        with open(path, "wb") as f:
            f.write(text)
    for n in range(count):
        if n % 3 == 0:
            with open(paths[1], "wb") as f:
                f.write(texts[1])
            if n % 10 == 9:
                fails(m.merge_files, paths[3], paths[1], paths[2], "nb.ipynb")
            else:
                m.merge_files(paths[0], paths[1], paths[2], "nb.ipynb")
            continue
        # merge_core, with the diff library hidden (cell diffs read in C++) or loaded.
        library = sys.modules.pop("jsondiff") if n % 3 == 1 else None
        core.__dict__.pop("jsondiff", None)
        try:
            sides = [json.loads(texts[3 if n % 10 == 9 and i == 0 else i]) for i in range(3)]
            if n % 10 == 9:
                fails(core.merge_notebooks, *sides, "nb.ipynb")
            elif n % 2:   # labelled, the conflicted sources asked for; the same sources batched
                core.merge_notebooks(*sides, "nb.ipynb", ("a", "b", "c"), [])
                batch = [tuple(c["source"] for c in cells) for cells in zip(*(nb["cells"] for nb in sides))]
                core.merge_sources(batch, ("a", "b", "c"))
            else:
                merged = core.merge_notebooks(*sides, "nb.ipynb")
                core.replace_file(paths[1], json.dumps(merged).encode())   # the driver's write
                fails(core.replace_file, os.path.join(directory, "missing", "nb.ipynb"), b"{}")
                fails(core.replace_file, paths[1], "not bytes")
                core.process_tag()
        finally:
            if library is not None:
                sys.modules["jsondiff"] = library
    gc.collect()


def refcount():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None


def check_merges(args):
    with tempfile.TemporaryDirectory() as directory:
        merge_loop(args.warmup, directory)
        before, refs_before = rss_kib(), refcount()
        print("rss after %d warm-up merges: %d KiB" % (args.warmup, before), flush=True)
        merge_loop(args.merges, directory)
        after, refs_after = rss_kib(), refcount()
    print("rss after %d more merges: %d KiB (growth %d KiB, limit %d KiB)"
          % (args.merges, after, after - before, args.max_growth_kib))
    status = 1 if after - before > args.max_growth_kib else 0
    if refs_before is not None:
        # Caches of the host (interned strings, type caches) may settle a little; a leak grows
        # with the number of merges.
        print("total reference count: %d before, %d after (growth %d)"
              % (refs_before, refs_after, refs_after - refs_before))
        status = status or int(refs_after - refs_before > args.merges // 10)
    return status


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
    parser.add_argument("--merges", type=int, default=0,
                        help="run this many whole merges instead of the exercises")
    args = parser.parse_args()
    if args.merges:
        if args.warmup == parser.get_default("warmup"):
            args.warmup = 500
        return check_merges(args)
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
