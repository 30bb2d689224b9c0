"""The references that the speed paths and the fallbacks are checked against, in one place.

    git_merge_file(directory)           git's own merge of ours.ipynb, base.ipynb and theirs.ipynb
    merged_text(base, ours, theirs)     what merge_files writes for three notebooks
    files_and_core(base, ours, theirs)  merge_files's text and merge_core.merge_notebooks's, alike
    cell_diff(first, second)            the cell diff of two cell dicts (on copies given a canvas)
    assert_diff_agrees(got, a, b)       the cell diff against jsondiff's, where the merge reads it
"""
import copy
import json
import os
import subprocess
import sys
import tempfile
import uuid

import jsondiff

from corvane_git.scripts.merge_driver import merge_ipynb as m

SIDE_FILES = ("ours.ipynb", "base.ipynb", "theirs.ipynb")
LABELS = ("nb.ipynb-current", "nb.ipynb-base", "nb.ipynb-incoming")


def git_merge_file(directory, marker_size=7, labels=LABELS, files=SIDE_FILES):
    """(exit status, bytes) of `git merge-file -p` over our, the base's and their file in
    `directory` (run there: it reads that repository's merge.conflictStyle), labelled as the
    driver labels them."""
    proc = subprocess.run(["git", "merge-file", "-p", "--marker-size=%d" % marker_size] +
                          [arg for label in labels for arg in ("-L", label)] + list(files),
                          cwd=str(directory), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return proc.returncode, proc.stdout


def merged_text(base, ours, theirs):
    """merge_files on the three notebooks; the written text."""
    with tempfile.TemporaryDirectory() as directory:
        paths = [os.path.join(directory, n) for n in ("base.ipynb", "ours.ipynb", "theirs.ipynb")]
        for path, nb in zip(paths, (base, ours, theirs)):
            with open(path, "w", encoding="utf-8") as f:
                json.dump(nb, f, indent=1, ensure_ascii=False)
        assert m.merge_files(paths[0], paths[1], paths[2], "nb.ipynb") is None
        with open(paths[1], encoding="utf-8") as f:
            return f.read()


def files_and_core(fresh_ids, base, ours, theirs):
    """(merge_files's text, merge_core.merge_notebooks's result as json.dumps text), each the
    error's type where it fails. `fresh_ids()` makes a new id source for each (uuid.uuid4 is
    rebound to it); merge_core runs without the diff library loaded, as the driver runs it."""
    from corvane_git.scripts.merge_driver import merge_core
    before, library = uuid.uuid4, sys.modules["jsondiff"]
    outcomes = []
    try:
        for run in (lambda: merged_text(base, ours, theirs),
                    lambda: json.dumps(merge_core.merge_notebooks(
                        *copy.deepcopy((base, ours, theirs)), "nb.ipynb"))):
            uuid.uuid4 = fresh_ids()
            if outcomes:
                del sys.modules["jsondiff"]
                merge_core.__dict__.pop("jsondiff", None)
            try:
                outcomes.append(run())
            except Exception as exc:
                outcomes.append(type(exc))
    finally:
        uuid.uuid4 = before
        sys.modules["jsondiff"] = library
    return tuple(outcomes)


def cell_diff(first, second):
    """(the cell diff, the base cell, the other cell): on copies that get a canvas map where
    they have none, since the diff reads it."""
    base, other = copy.deepcopy(first), copy.deepcopy(second)
    for d in (base, other):
        if isinstance(d, dict):
            d.setdefault("metadata", {}).setdefault(
                "canvas", {"id": "c", "name": None, "parents": [], "comments": []})
    return m._cell_changed(m.Cell(base, file_type="base"), m.Cell(other, file_type="current")), \
        base, other


def structure(diff, a, b):
    """Keys of a cell diff at every map level where both sides hold maps, nested the same way."""
    if not isinstance(diff, dict):
        return None
    out = {}
    for key, value in diff.items():
        both_maps = isinstance(a, dict) and isinstance(b, dict) and \
            isinstance(a.get(key), dict) and isinstance(b.get(key), dict)
        out[key] = structure(value, a[key], b[key]) if both_maps else None
    return out


def library_diff(first, second):
    """jsondiff's diff, without the execution count (which the merge never reads)."""
    d = jsondiff.diff(first, second)
    d.pop("execution_count", None)
    return d


def assert_diff_agrees(got, base, other, where=None):
    want = library_diff(base, other)
    assert bool(got) == bool(want), where
    assert structure(got, base, other) == structure(want, base, other), where
