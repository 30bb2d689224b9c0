"""Plain Jupyter notebooks (no component layer) merged cell by cell: tables of the decisions,
and real git merges of the corpus notebooks."""
import copy
import io
import json

import git
import nbformat
import pytest

from corvane_git.scripts.merge_driver import cli
from corvane_git.scripts.merge_driver.driver import route as driver
from corvane_git.scripts.merge_driver.plain import merge as plain_merge
from corvane_git.scripts.merge_driver.conflicts import resolve
from notebooks import CORPUS, SLOW, plain_cell as code, plain_notebook as nb
from test_source_merge_handle import CASES as SOURCES
from reference import git_merge_file

PATH = "nb.ipynb"


def without_ids(notebook):
    notebook = copy.deepcopy(notebook)
    notebook["nbformat_minor"] = 4
    for c in notebook["cells"]:
        del c["id"]
    return notebook


A, B, C, D, E = (code(s) for s in ("a = 1\n", "b = 2\n", "c = 3\n", "d = 4\n", "e = 5\n"))
BASE = nb(A, B, C, D, E)
MANY, U = [code("x = 1\n", "x%d" % k) for k in range(6)], code("u = 1\n")


def edited(c, source=None, run=None, **metadata):
    c = copy.deepcopy(c)
    if source is not None:
        c["source"] = source.splitlines(True)
    if run is not None:
        c["execution_count"], c["outputs"] = run, code("x", run=run)["outputs"]
    c["metadata"].update(metadata)
    return c


def block(mine, theirs, deleted=None):
    """A conflict block as the merge writes it in a cell's source."""
    ours_label, theirs_label = PATH + "-current", PATH + "-incoming"
    if deleted == "ours":
        return "<<<<<<< %s (deleted this cell)\n=======\n%s>>>>>>> %s (changed this cell)" % (
            ours_label, theirs, theirs_label)
    if deleted == "theirs":
        return "<<<<<<< %s (changed this cell)\n%s=======\n>>>>>>> %s (deleted this cell)" % (
            ours_label, mine, theirs_label)
    return "<<<<<<< %s\n%s=======\n%s>>>>>>> %s\n" % (ours_label, mine, theirs, theirs_label)


N1, N2 = code("n1 = 0\n"), code("n2 = 0\n")
A2, C2, D2 = (edited(A, "a = 1\nprint(a)\n"), edited(C, "c = 3\nprint(c)\n"),
              edited(D, "d = 4\nprint(d)\n"))

# name: (base cells, ours, theirs, merged sources, (position, what) of conflict cells)
CASES = {
    "edits apart, an insertion in the middle on each side": (
        BASE, nb(A2, B, N1, C, D, E), nb(A, B, C, D, N2, edited(E, "e = 5\nprint(e)\n")),
        ["a = 1\nprint(a)\n", "b = 2\n", "n1 = 0\n", "c = 3\n", "d = 4\n", "n2 = 0\n",
         "e = 5\nprint(e)\n"], []),
    "both inserted at the same place: both kept, ours first": (
        BASE, nb(A, B, N1, C, D, E), nb(A, B, N2, C, D, E),
        ["a = 1\n", "b = 2\n", "n1 = 0\n", "n2 = 0\n", "c = 3\n", "d = 4\n", "e = 5\n"], []),
    "both inserted the same cell: kept once": (
        BASE, nb(A, N1, B, C, D, E), nb(A, N1, B, C, D, E),
        ["a = 1\n", "n1 = 0\n", "b = 2\n", "c = 3\n", "d = 4\n", "e = 5\n"], []),
    "moved by ours, edited by theirs": (
        BASE, nb(A, C, D, B, E), nb(A, edited(B, "b = 2\nprint(b)\n"), C, D, E),
        ["a = 1\n", "c = 3\n", "d = 4\n", "b = 2\nprint(b)\n", "e = 5\n"], []),
    "moved by theirs, edited by ours": (
        BASE, nb(A, B, C2, D, E), nb(C, A, B, D, E),
        ["c = 3\nprint(c)\n", "a = 1\n", "b = 2\n", "d = 4\n", "e = 5\n"], []),
    "deleted by ours, unchanged by theirs; deleted by theirs, unchanged by ours": (
        BASE, nb(A, C, D, E), nb(A, B, C, E),
        ["a = 1\n", "c = 3\n", "e = 5\n"], []),
    "deleted by ours, edited by theirs": (
        BASE, nb(A, B, D, E), nb(A, B, C2, D, E),
        ["a = 1\n", "b = 2\n", block(None, "c = 3\nprint(c)\n", deleted="ours"), "d = 4\n",
         "e = 5\n"], [(3, "changed by them, deleted by us")]),
    "edited by ours, deleted by theirs": (
        BASE, nb(A, B, C2, D, E), nb(A, B, D, E),
        ["a = 1\n", "b = 2\n", block("c = 3\nprint(c)\n", None, deleted="theirs"), "d = 4\n",
         "e = 5\n"], [(3, "changed by us, deleted by them")]),
    "both edited the same line": (
        BASE, nb(A, edited(B, "b = 20\n"), C, D, E), nb(A, edited(B, "b = 30\n"), C, D, E),
        ["a = 1\n", block("b = 20\n", "b = 30\n"), "c = 3\n", "d = 4\n", "e = 5\n"],
        [(2, None)]),
    "a cell moved to the front among many equal ones, edited by them": (
        nb(*MANY, U), nb(U, *MANY), nb(*MANY, edited(U, "u = 2\n")),
        ["u = 2\n"] + ["x = 1\n"] * len(MANY), []),
    "both edited lines apart in one cell": (
        nb(A, code("x = 1\ny = 2\nz = 3\n")), nb(A, code("x = 10\ny = 2\nz = 3\n", "c-x")),
        nb(A, code("x = 1\ny = 2\nz = 30\n", "c-x")),
        ["a = 1\n", "x = 10\ny = 2\nz = 30\n"], []),
}


def merged_of(base, ours, theirs, by_id=True):
    if not by_id:
        base, ours, theirs = without_ids(base), without_ids(ours), without_ids(theirs)
    merger = plain_merge.SourceMerger(PATH)
    merged, conflicts = plain_merge.merge_notebooks(copy.deepcopy(base), copy.deepcopy(ours),
                                                    copy.deepcopy(theirs), merger)
    nbformat.validate(nbformat.from_dict(merged))
    return merged, conflicts


def sources(notebook):
    return ["".join(c["source"]) for c in notebook["cells"]]


@pytest.mark.parametrize("by_id", [True, False], ids=["by id", "by content"])
@pytest.mark.parametrize("case", list(CASES))
def test_cells_and_their_order(case, by_id):
    base, ours, theirs, expected, conflicted = CASES[case]
    merged, conflicts = merged_of(base, ours, theirs, by_id)
    assert sources(merged) == expected
    assert conflicts.source_cells == conflicted
    assert bool(conflicts) == bool(conflicted)
    if by_id:
        assert len({c["id"] for c in merged["cells"]}) == len(merged["cells"])


# name: (ours cell, theirs cell, merged (execution count, metadata), note)
RUNS = {
    "theirs re-ran, ours edited": (edited(B, "b = 3\n"), edited(B, run=7), (7, {}), None),
    "ours re-ran, theirs edited": (edited(B, run=4), edited(B, "b = 3\n"), (4, {}), None),
    "both re-ran: ours, listed": (edited(B, run=4), edited(B, run=7), (4, {}),
                                  "cells re-run on both sides, our outputs kept: cell 2"),
    "metadata keys from each side": (edited(B, tags=["x"]), edited(B, scrolled=True),
                                     (None, {"tags": ["x"], "scrolled": True}), None),
    "a key changed on both sides: ours, listed": (
        edited(B, tags=["x"], collapsed=True), edited(B, tags=["y"]),
        (None, {"tags": ["x"], "collapsed": True}),
        'changed on both sides, ours kept: cell 2 metadata "tags"'),
}


@pytest.mark.parametrize("by_id", [True, False], ids=["by id", "by content"])
@pytest.mark.parametrize("case", list(RUNS))
def test_outputs_and_metadata_of_a_cell(case, by_id):
    ours_cell, theirs_cell, (count, metadata), note = RUNS[case]
    merged, conflicts = merged_of(nb(A, B, C), nb(A, ours_cell, C), nb(A, theirs_cell, C), by_id)
    cell = merged["cells"][1]
    assert (cell["execution_count"], cell["metadata"]) == (count, metadata)
    assert cell["outputs"] == ({ours_cell["execution_count"]: ours_cell,
                                theirs_cell["execution_count"]: theirs_cell}[count]["outputs"]
                               if count else [])
    assert "".join(cell["source"]) == ("b = 3\n" if "edited" in case else "b = 2\n")
    assert conflicts.notes == ([note] if note else [])
    assert not conflicts


def test_deleted_on_one_side_and_only_re_run_on_the_other_is_deleted_and_said():
    merged, conflicts = merged_of(BASE, nb(A, B, D, E), nb(A, B, edited(C, run=3), D, E))
    assert sources(merged) == ["a = 1\n", "b = 2\n", "d = 4\n", "e = 5\n"]
    assert conflicts.notes == ["1 cell deleted by us, only re-run by them: deleted"]


def test_notebook_metadata_merges_per_key_and_nested():
    base = nb(A, B)
    ours = nb(A, B, language_info={"name": "python", "version": "3.10"}, title="ours")
    theirs = nb(A, B, language_info={"name": "python", "codemirror_mode": {"name": "ipython"}},
                title="theirs", authors=[{"name": "ana"}])
    base["metadata"]["language_info"] = {"name": "python"}
    base["metadata"]["title"] = "base"
    base["nbformat_minor"], ours["nbformat_minor"] = 4, 4   # theirs writes 4.5: ids everywhere
    for c in base["cells"] + ours["cells"]:
        del c["id"]
    merged, conflicts = merged_of(base, ours, theirs, by_id=True)
    assert merged["metadata"] == {
        "kernelspec": BASE["metadata"]["kernelspec"], "title": "ours",
        "language_info": {"name": "python", "version": "3.10",
                          "codemirror_mode": {"name": "ipython"}},
        "authors": [{"name": "ana"}]}
    assert merged["nbformat_minor"] == 5
    assert conflicts.notes == ['changed on both sides, ours kept: "title"']


def test_both_added_the_notebook(tmp_path):
    """An empty base: the cells both sides hold once, the others each where its side put it."""
    ours, theirs = nb(A, B, N1, C), nb(A, B, C, N2)
    for name, data in (("base", b""), ("ours", json.dumps(ours)), ("theirs", json.dumps(theirs))):
        (tmp_path / (name + ".ipynb")).write_text(data if isinstance(data, str) else "")
    result = driver.merge(str(tmp_path / "base.ipynb"), str(tmp_path / "ours.ipynb"),
                          str(tmp_path / "theirs.ipynb"), PATH)
    merged = json.loads((tmp_path / "ours.ipynb").read_text())
    assert sources(merged) == ["a = 1\n", "b = 2\n", "n1 = 0\n", "c = 3\n", "n2 = 0\n"]
    assert not result and isinstance(result, plain_merge.PlainConflicts)


# ---- real git merges of the corpus notebooks -------------------------------------------------

def _edit(cell, text):
    source = "".join(cell["source"]) if isinstance(cell["source"], list) else cell["source"]
    if source and not source.endswith("\n"):
        source += "\n"
    cell["source"] = (source + text).splitlines(True)


def scenario(path, kind):
    """(base, ours, theirs, what the merge must hold) for a corpus notebook."""
    with open(path, encoding="utf-8") as f:
        base = json.load(f)
    ours, theirs = copy.deepcopy(base), copy.deepcopy(base)
    codes = [i for i, c in enumerate(base["cells"]) if c["cell_type"] == "code"]
    first, last = codes[0], codes[-1]
    if kind == "edits apart":
        _edit(ours["cells"][first], "# ours\n")
        _edit(theirs["cells"][last], "# theirs\n")
        middle = len(base["cells"]) // 2
        for side, at, name in ((ours, middle, "ours"), (theirs, middle + 1, "theirs")):
            new = {"cell_type": "markdown", "metadata": {}, "source": ["new of " + name]}
            if base.get("nbformat_minor", 0) >= 5:
                new["id"] = "new-" + name
            side["cells"].insert(at, new)
        expected = copy.deepcopy(base["cells"])
        _edit(expected[first], "# ours\n")
        _edit(expected[last], "# theirs\n")
        expected[middle:middle] = [ours["cells"][middle]]
        expected[middle + 2:middle + 2] = [theirs["cells"][middle + 1]]
    elif kind == "re-run and edits":
        for c in ours["cells"]:
            if c["cell_type"] == "code":
                c["execution_count"] = (c.get("execution_count") or 0) + 100
                c["outputs"] = [{"name": "stdout", "output_type": "stream", "text": ["again\n"]}]
        _edit(theirs["cells"][first], "# theirs\n")
        expected = copy.deepcopy(ours["cells"])
        _edit(expected[first], "# theirs\n")
    else:
        ours["cells"][first]["source"] = ["value = 'ours'\n"]
        theirs["cells"][first]["source"] = ["value = 'theirs'\n"]
        expected = copy.deepcopy(base["cells"])
        expected[first]["source"] = block("value = 'ours'\n", "value = 'theirs'\n").splitlines(
            True)
    return base, ours, theirs, expected


def valid(notebook):
    try:
        nbformat.validate(nbformat.from_dict(notebook))
    except nbformat.ValidationError:
        return False
    return True


def _normal(cells):
    return [dict(c, source="".join(c["source"]) if isinstance(c["source"], list) else c["source"])
            for c in cells]


# Without the slow switch: one notebook paired by content (4.4), one by id (4.5).
SWEPT = [p for p in CORPUS if SLOW or p.endswith(("hf_ja_quicktour.ipynb",
                                                  "numpy100_exercises.ipynb"))]


@pytest.mark.parametrize("kind, status", [("edits apart", 0), ("re-run and edits", 0),
                                          ("same line", 1)])
@pytest.mark.parametrize("path", SWEPT, ids=lambda p: p.rsplit("/", 1)[-1][:-6])
def test_corpus_through_git_merge(repo, path, kind, status):
    base, ours, theirs, expected = scenario(path, kind)
    proc = repo.merge_branches(base, ours, theirs)
    assert proc.returncode == status, proc.stdout + proc.stderr
    merged = repo.read("nb.ipynb")
    if valid(base) and valid(ours) and valid(theirs):
        nbformat.validate(nbformat.from_dict(merged))
    assert _normal(merged["cells"]) == _normal(expected)
    if status:
        assert "CONFLICT (content): Merge conflict in nb.ipynb" in proc.stdout
        assert proc.stderr.startswith("corvane-merge-driver: nb.ipynb: the merged notebook "
                                      "(plain, merged cell by cell) holds conflicts")
    else:
        assert proc.stderr == "" and len(repo.parents_of_head()) == 2


@pytest.mark.parametrize("side", [resolve.OURS, resolve.THEIRS])
@pytest.mark.parametrize("case", ["deleted by ours, edited by theirs",
                                  "edited by ours, deleted by theirs", "both edited the same line"])
def test_check_and_resolve_see_the_blocks(case, side):
    base, ours, theirs, _, conflicted = CASES[case]
    merged, conflicts = merged_of(base, ours, theirs)
    _, found = resolve.read(json.dumps(merged).encode())
    assert [pos + 1 for pos, _ in found.source_cells] == [pos for pos, _ in conflicted]
    # The listing says what the merge said (which side deleted a cell too).
    assert found.summary(PATH).split("\n")[1:] == conflicts.summary(PATH).split("\n")[1:]
    # Each side's cells come back as that side had them: a cell it deleted goes.
    resolve.resolve(merged, side, before=ours, base=base, theirs=theirs)
    assert merged["cells"] == (ours if side == resolve.OURS else theirs)["cells"]
    assert not resolve.find(merged)


@pytest.mark.parametrize("case, status", [
    ("edits apart, an insertion in the middle on each side", 0), ("both edited the same line", 2)])
def test_git_is_needed_only_for_a_source_merge(tmp_path, monkeypatch, case, status):
    base, ours, theirs, expected, _ = CASES[case]
    for name, notebook in (("base", base), ("ours", ours), ("theirs", theirs)):
        (tmp_path / (name + ".ipynb")).write_text(json.dumps(notebook, indent=1) + "\n")
    before = (tmp_path / "ours.ipynb").read_bytes()
    monkeypatch.setenv("GIT_PYTHON_GIT_EXECUTABLE", str(tmp_path / "no-git"))
    report = io.StringIO()
    assert cli.merge_and_report(*[str(tmp_path / n) for n in ("base.ipynb", "ours.ipynb",
                                                                "theirs.ipynb")],
                                PATH, report=report) == status
    if status:
        assert "the git command was not found" in report.getvalue()
        assert (tmp_path / "ours.ipynb").read_bytes() == before
    else:
        assert sources(json.loads((tmp_path / "ours.ipynb").read_text())) == expected


@pytest.mark.parametrize("case", sorted(SOURCES))
def test_a_source_merges_as_merge_source_merges_it(case):
    from corvane_git.scripts.merge_driver import merge_ipynb
    current, base, incoming = SOURCES[case]
    try:
        expected = merge_ipynb._merge_source(git.cmd.Git(), current, base, incoming,
                                             PATH + "-current", PATH + "-incoming")
    except Exception:  # any failure: the plain merge fails as well
        with pytest.raises(driver.MergeFailure):
            plain_merge.SourceMerger(PATH)(current, base, incoming)
    else:
        assert plain_merge.SourceMerger(PATH)(current, base, incoming) == expected


def layered(notebook):
    """`notebook` with the component layer: each cell a component without a name."""
    notebook = copy.deepcopy(notebook)
    notebook["metadata"]["canvas"] = {"parameters": []}
    for c in notebook["cells"]:
        c["metadata"]["canvas"] = {"id": c["id"], "name": None, "parents": [], "comments": []}
    return notebook


OLD = "<<<<<<< HEAD\n"   # a marker line left from an earlier merge
GIT_LABELS = ("HEAD", "merged common ancestors", "topic")

# Cell 2's source in base, ours and theirs, the labels git gives the driver (None: none), the
# repository's merge.conflictStyle, and the merged source: None where the driver must give git's
# line merge of the whole files, as for git without the driver. Both kinds of notebook alike.
SOURCE_OUTCOMES = {
    "their side deletes an old marker line, a new conflict": (
        [OLD, "keep1\n", "keep2\n", "keep3\n", "target\n"],
        [OLD, "keep1\n", "keep2\n", "keep3\n", "target ours\n"],
        ["keep1\n", "keep2\n", "keep3\n", "target theirs\n"], None, "merge",
        ["keep1\n", "keep2\n", "keep3\n", "<<<<<<< nb.ipynb-current\n", "target ours\n",
         "=======\n", "target theirs\n", ">>>>>>> nb.ipynb-incoming\n"]),
    "diff3: the base labelled as the path": (
        ["x\n"], ["x1\n"], ["x2\n"], None, "diff3",
        ["<<<<<<< nb.ipynb-current\n", "x1\n", "||||||| nb.ipynb-base\n", "x\n", "=======\n",
         "x2\n", ">>>>>>> nb.ipynb-incoming\n"]),
    "zdiff3 with git's labels": (
        ["x\n"], ["x1\n"], ["x2\n"], GIT_LABELS, "zdiff3",
        ["<<<<<<< HEAD\n", "x1\n", "||||||| merged common ancestors\n", "x\n", "=======\n",
         "x2\n", ">>>>>>> topic\n"]),
    "a lone surrogate": (["x\n"], ["x1\n"], ["x\n", "z\ud800\n"], None, "merge", None),
    "a NUL character": (["x\n"], ["x1\n"], ["x\n", "z\x00\n"], None, "merge", None),
    "lines that are numbers": (["x\n"], ["x1\n"], [1, 2], GIT_LABELS, "merge", None),
    "a null source": (["x\n"], ["x1\n"], None, None, "merge", None),
}


@pytest.mark.parametrize("layer", [False, True], ids=["plain", "component"])
@pytest.mark.parametrize("case", list(SOURCE_OUTCOMES))
def test_source_merge_outcomes(make_repo, monkeypatch, case, layer):
    base, ours, theirs, labels, style, expected = SOURCE_OUTCOMES[case]
    repo = make_repo()
    repo.git("config", "merge.conflictStyle", style)
    monkeypatch.chdir(repo.path)   # git merge-file reads the style of the repository it runs in
    for name, source in (("ours", ours), ("base", base), ("theirs", theirs)):
        notebook = nb(A, dict(code("x\n", "c-x"), source=source), C)
        data = (json.dumps(layered(notebook) if layer else notebook, indent=1) + "\n").encode()
        (repo.path / (name + ".ipynb")).write_bytes(data)
    _, text = git_merge_file(repo.path, labels=driver.conflict_labels(PATH, labels))
    result = driver.merge("base.ipynb", "ours.ipynb", "theirs.ipynb", PATH, labels=labels)
    if expected is None:
        assert isinstance(result, driver.TextMerge) and result.conflicts == 1
        assert (repo.path / "ours.ipynb").read_bytes() == text
    else:
        merged = json.loads((repo.path / "ours.ipynb").read_text())
        assert merged["cells"][1]["source"] == expected
        assert result.source_cells == [(2, None)]
