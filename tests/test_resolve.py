"""Finishing a merge: conflicts, resolve and check, the pre-commit hook and the hook manifest."""
import copy
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import PACKAGE_ROOT
from corvane_git.scripts.merge_driver import cli
from corvane_git.scripts.merge_driver.driver import route as driver
from corvane_git.scripts.merge_driver.conflicts import resolve
from corvane_git.scripts.merge_driver.conflicts.resolve import OURS, THEIRS, Selection
from isolation import run_driver
from notebooks import base_notebook, canvas, cell, find, merge, notebook, set_param, summary, with_cells
from test_merge import CELL_ROWS, FIVE, PARAM_ROWS, THEIRS as THEIR_LINES
from test_merge import A2, A3, B, Z1, param_case

EXAMPLE = pathlib.Path(cli.EXAMPLE_DIR)
REPO_ROOT = pathlib.Path(__file__).resolve().parents[1]
P_, Q_ = ("P", "first", "p = 0\n"), ("Q", None, "q = 0\n")

# What --theirs leaves for every row of the merge tables that ends in a conflict: (component
# id, name, source) of each cell, or the parameter list.  --ours must give the merge in which
# their side had left the conflicting part alone.
THEIRS_KEPT = {
    "we deleted, they changed its outputs: back at the end, marked": [P_, Q_, ("K", "kname", FIVE)],
    "they added a component named like ours: both marked": [
        ("P", "first", "n\n"), ("K", "kname", FIVE), Q_],
    "we kept it, they changed it to another component's name: both marked": [
        ("P", "first", FIVE), Q_],
    "we changed it, they deleted it: ours marked": [P_, Q_],
    "other canvas change, both named: both marked, theirs after ours": [
        P_, ("K", "renamed", THEIR_LINES), Q_],
    "canvas untouched, conflicting lines: labelled conflict": [
        P_, ("K", "kname", "a\nb\nC2\nd\ne\n"), Q_],
    "changed, they deleted: ours marked at the end": [Z1],
    "changed differently: both at the end": [A3, Z1],
    "we deleted, they changed: theirs marked at the end": [Z1, A2],
    "both added differently": [A2, Z1],
}
ROWS = dict(CELL_ROWS, **{name: param_case(*row[:3]) + (None,) for name, row in PARAM_ROWS.items()})


def component_ids(nb):
    return {canvas(c)["id"] for c in nb["cells"] if canvas(c)["name"]}


def dangling_parents(nb):
    ids = component_ids(nb)
    return [(canvas(c)["id"], p["id"]) for c in nb["cells"] for p in canvas(c)["parents"]
            if canvas(c)["name"] and (p["id"] not in ids or p["id"] == canvas(c)["id"])]


class TestMergeTables:
    @pytest.mark.parametrize("case", sorted(ROWS))
    def test_each_side_of_every_conflict(self, tmp_path, case):
        base, ours, theirs, _ = ROWS[case]
        merged = merge(tmp_path, base, ours, theirs)
        if not resolve.find(merged):
            assert case not in THEIRS_KEPT
            assert not resolve.resolve(merged, OURS, before=ours).resolved
            return
        took_ours = copy.deepcopy(merged)
        resolve.resolve(took_ours, OURS, before=ours)
        assert took_ours == merge(tmp_path, base, ours, base)

        pairs = {c.name: (merged["cells"][c.ours[0]], merged["cells"][c.theirs[0]])
                 for c in resolve.find(merged).components if c.shape == "pair"}
        # What git knows of the sides finds the same pairs as the form of the copy's id.
        known = resolve.fresh_copy_test(ours, base, theirs)
        assert [(c.name, c.ours, c.theirs) for c in resolve.find(merged, known).components] == [
            (c.name, c.ours, c.theirs) for c in resolve.find(merged).components]
        took_theirs = copy.deepcopy(merged)
        outcome = resolve.resolve(took_theirs, THEIRS, before=ours, base=base, theirs=theirs)
        assert not outcome.left
        if isinstance(THEIRS_KEPT[case][0], dict):
            assert canvas(took_theirs)["parameters"] == THEIRS_KEPT[case]
            return
        assert summary(took_theirs) == THEIRS_KEPT[case]
        assert dangling_parents(took_theirs) == []
        # A pair leaves their cell, under our component id and cell id.
        by_id = {canvas(c)["id"]: c for c in took_theirs["cells"]}
        for ours_cell, theirs_cell in pairs.values():
            kept = by_id[canvas(ours_cell)["id"]]
            assert kept["id"] == ours_cell["id"]
            assert kept["source"] == theirs_cell["source"]
            assert {k: v for k, v in canvas(kept).items() if k not in ("id", "name", "parents")} == {
                k: v for k, v in canvas(theirs_cell).items() if k not in ("id", "name", "parents")}


class TestLinks:
    @pytest.mark.parametrize("side", [OURS, THEIRS])
    def test_links_to_the_removed_version_follow_the_kept_one(self, tmp_path, side):
        # Their new component takes one of our names; a cell of theirs depends on it.
        theirs = with_cells(B, cell("N", "first", "n\n"), cell("M", "child", "m\n", parents=["N"]))
        merged = merge(tmp_path, B, B, theirs)
        resolve.resolve(merged, side, before=B)
        assert [canvas(c)["name"] for c in merged["cells"]] == ["first", "kname", None, "child"]
        assert canvas(find(merged, "M"))["parents"] == [{"id": "P"}]
        assert dangling_parents(merged) == []


def example_merge(directory, theirs_fix=None, ours_fix=None):
    """The bundled example merged as the driver does; with `theirs_fix` (or `ours_fix`) the
    conflicting changes of that side are taken back to the common ancestor first."""
    sides = {n: json.loads((EXAMPLE / (n + ".ipynb")).read_text(encoding="utf-8"))
             for n in ("base", "ours", "theirs")}
    for name, fix in (("theirs", theirs_fix), ("ours", ours_fix)):
        if fix:
            nb = sides[name]
            for i, c in enumerate(nb["cells"]):
                if canvas(c)["id"] in ("notes", "c-train"):
                    nb["cells"][i] = [b for b in sides["base"]["cells"]
                                      if canvas(b)["id"] == canvas(c)["id"]][0]
            set_param(nb, "epochs", 10)
    directory.mkdir()
    for name, nb in sides.items():
        (directory / (name + ".ipynb")).write_text(
            json.dumps(nb, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    paths = [str(directory / (n + ".ipynb")) for n in ("base", "ours", "theirs")]
    driver.merge(*paths, path="notebook.ipynb")
    return directory / "ours.ipynb"


class TestExample:
    @pytest.mark.parametrize("side", [OURS, THEIRS])
    def test_resolve_gives_the_merge_that_took_one_side(self, tmp_path, side):
        merged = example_merge(tmp_path / "merged")
        before = json.loads((EXAMPLE / "ours.ipynb").read_text(encoding="utf-8"))
        outcome = resolve.resolve_file(str(merged), side, before=before)
        assert sorted(outcome.resolved) == ["cell 1", "component train model", "parameter epochs"]
        expected = example_merge(tmp_path / "expected", **{
            ("theirs_fix" if side == OURS else "ours_fix"): True})
        assert merged.read_bytes() == expected.read_bytes()

    @pytest.mark.parametrize("selection, left", [
        (Selection(components=["train model"]), ([], ["epochs"], [1])),
        (Selection(parameters=["<<< epochs"], cells=[1]), (["train model"], [], [])),
        (Selection(cells=[1]), (["train model"], ["epochs"], [])),
    ])
    def test_a_selection_resolves_only_what_it_names(self, tmp_path, selection, left):
        merged = json.loads(example_merge(tmp_path / "m").read_text(encoding="utf-8"))
        untouched = copy.deepcopy(merged)
        outcome = resolve.resolve(merged, THEIRS, selection)
        remains = (outcome.left.components, outcome.left.parameters, outcome.left.source_cells)
        assert ([c.name for c in remains[0]], [c.name for c in remains[1]],
                [pos + 1 for pos, _ in remains[2]]) == left
        # What was not named is exactly as the merge left it.
        for c in remains[0]:
            assert [merged["cells"][i] for i in c.ours + c.theirs] == [
                untouched["cells"][i] for i in c.ours + c.theirs]
        if 1 in left[2]:
            assert merged["cells"][0] == untouched["cells"][0]

    def test_commands(self, tmp_path):
        path = example_merge(tmp_path / "m")
        before = path.read_bytes()

        def run(*args):
            proc = run_driver(path.parent, tmp_path, *args)
            return proc.returncode, proc.stdout + proc.stderr

        listing = ("corvane-merge-driver: ours.ipynb: the merged notebook holds conflicts to "
                   "resolve\n  components in conflict: train model (cells 4, 5)\n  parameters in "
                   "conflict: epochs (parameters 4, 5)\n  cells with source conflicts: cell 1\n")
        assert run("conflicts", "ours.ipynb", "base.ipynb") == (
            0, listing + "corvane-merge-driver: base.ipynb: no conflicts\n")
        code, out = run("check", "base.ipynb", "ours.ipynb")
        assert code == 1 and out.startswith(listing)
        assert run("resolve", "ours.ipynb", "--ours", "--component", "plot")[0] == 2
        assert run("resolve", "ours.ipynb", "--theirs", "--cell", "2")[0] == 2
        assert path.read_bytes() == before
        assert run("resolve", "ours.ipynb", "--theirs") == (
            0, "corvane-merge-driver: ours.ipynb: kept theirs of cell 1, parameter epochs, "
               "component train model\n")
        assert run("check", "ours.ipynb", "base.ipynb") == (0, "")
        resolved = path.read_bytes()
        assert run("resolve", "ours.ipynb", "--ours")[0] == 0
        assert path.read_bytes() == resolved

    def test_check_imports_neither_git_nor_the_extension(self, tmp_path):
        path = example_merge(tmp_path / "m")
        code = ("import sys\nfrom corvane_git.scripts.merge_driver import cli\n"
                "status = cli.main(['check', %r])\n"
                "print(status, sorted(m for m in sys.modules if m == 'git' or "
                "m.endswith('merge_ipynb') or m == 'jsondiff'))" % str(path))
        proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, universal_newlines=True,
                              env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT))
        assert proc.stdout.split("\n")[0] == "1 []"


def escaped(nb):
    return json.dumps(nb).replace("<", "\\u003c").replace(">", "\\u003e")


MARKED = base_notebook()
MARKED["cells"][1]["metadata"]["canvas"]["name"] = ">>> load"
DOCTEST = base_notebook()
DOCTEST["cells"][1]["outputs"] = [{"output_type": "stream", "name": "stdout", "text": [">>> 1\n"]}]


def text_merge(size):
    return json.dumps(base_notebook(), indent=1).replace(' "nbformat": 4,', (
        '%s HEAD\n "nbformat": 4,\n%s\n "nbformat": 5,\n%s b' % ("<" * size, "=" * size,
                                                                ">" * size)))


TEXT_LINE = text_merge(7).splitlines().index("<<<<<<< HEAD") + 1
TEXT_LINES = "at lines %d, %d, %d: the notebook cannot be read until they are edited out" % (
    TEXT_LINE, TEXT_LINE + 2, TEXT_LINE + 4)


def with_source(source, cell_type="code"):
    nb = base_notebook()
    nb["cells"][1].update(cell_type=cell_type, source=source)
    return json.dumps(nb)


def without_load(parent_name=None):
    """The notebook without component load, which train depends on: a parent left dangling."""
    nb = base_notebook()
    del nb["cells"][1]
    if parent_name:
        nb["cells"][1]["metadata"]["canvas"]["parents"][0]["name"] = parent_name
    return json.dumps(nb)


# A whole conflict block in one element of a source list, as Jupyter shows it after a join.
IN_ONE = with_source(["x\n<<<<<<< a\ny\n=======\nz\n>>>>>>> b\n"])
CLEAN = json.dumps(base_notebook())


UNFINISHED = with_source(["<<<<<<< nb.ipynb-current\n", "y = 30\n", ">>>>>>> nb.ipynb-incoming\n"])
NOTEBOOK_HINT = "or keep one side with: corvane-merge-driver resolve PATH --ours (or --theirs)"
TEXT_HINT = "or take one side whole with: git checkout --ours (or --theirs) -- PATH"


class TestCheck:
    @pytest.mark.parametrize("text, status, listed", [
        (json.dumps(base_notebook()), 0, ()),
        (json.dumps(DOCTEST), 0, ()),
        (with_source(["x = a <<<<<<< b\n", "Title\n", "=======\n"], "markdown"), 0, ()),
        (json.dumps(MARKED), 1, ("components in conflict: load (cell 2: changed by them, deleted "
                                 "by us)", NOTEBOOK_HINT)),
        (escaped(MARKED), 1, ("components in conflict: load (cell 2: changed by them, deleted "
                              "by us)", NOTEBOOK_HINT)),
        (UNFINISHED, 1, ("unfinished conflict blocks (marker lines left alone; edit them out): "
                         "cell 2 (load) at lines 1, 3",)),
        (with_source(["x = 1\n", "=======\n"]), 1, ("cell 2 (load) at line 2",)),
        (IN_ONE, 1, ("cells with source conflicts: cell 2 (load)", NOTEBOOK_HINT)),
        (without_load(), 1, ("point at no component of the notebook", "cell 2 (train) -> id load")),
        (without_load("load"), 1, ("cell 2 (train) -> load (id load)",)),
        (text_merge(7), 1, ("git's conflict markers in the file's text, " + TEXT_LINES,
                            TEXT_HINT)),
        (text_merge(2), 1, (TEXT_LINES,)),
        ('{"cells": [>>>', 2, ("not a notebook: not valid JSON",)),
        ('{"cells": [', 2, ("not a notebook: not valid JSON",)),
    ], ids=["clean", "doctest output", "markdown heading", "mark", "escaped mark",
            "unfinished block", "'=' line in code", "a block in one source element",
            "dangling parent", "dangling parent, named", "text merge", "text merge, size 2",
            "not JSON", "not JSON, no marks"])
    def test_exit_status_and_listing(self, tmp_path, capsys, text, status, listed):
        (tmp_path / "nb.ipynb").write_text(text, encoding="utf-8")
        assert cli.main(["check", str(tmp_path / "nb.ipynb")]) == status
        err = capsys.readouterr().err
        assert all(part in err for part in listed) and bool(err) == bool(status)
        if status == 1:
            assert (NOTEBOOK_HINT in err) == (NOTEBOOK_HINT in listed)


X_ID, Y_ID = "3f0c6f0e-8d1c-4a57-9a51-5a4c1b8f0d11", "a9e2b4d7-1c3e-4f60-8b2a-7d5e6f4c3b21"


def apart(x="X", y="Y", end=""):
    """(base, ours, theirs): we changed x and deleted y, they deleted x and changed y; both
    changed the last line of a, which ends with `end`.  The merge leaves "<<< x" directly
    followed by ">>> y": two one-sided marks, not a pair."""
    def nb(a_line, *cells):
        return notebook(cell("A", "a", "a = 1\n" + a_line + end), *cells)
    return (nb("b = 1", cell(x, "x", "x = 1\n"), cell(y, "y", "y = 1\n")),
            nb("b = 2", cell(x, "x", "x = 2\n")),
            nb("b = 3", cell(y, "y", "y = 3\n")))


class TestOneSidedNeighbours:
    @pytest.mark.parametrize("ids, known, selection, kept", [
        (("X", "Y"), False, None, [("Y", "y", "y = 3\n")]),
        ((X_ID, Y_ID), True, None, [(Y_ID, "y", "y = 3\n")]),
        (("X", "Y"), False, Selection(components=["y"]),
         [("X", "<<< x", "x = 2\n"), ("Y", "y", "y = 3\n")]),
    ], ids=["plain ids", "random ids, sides known", "one of them"])
    def test_theirs_keeps_each_with_its_own_id(self, tmp_path, ids, known, selection, kept):
        base, ours, theirs = apart(*ids)
        merged = merge(tmp_path, base, ours, theirs)
        assert [canvas(c)["name"] for c in merged["cells"]] == ["a", "<<< x", ">>> y"]
        sides = dict(base=base, theirs=theirs) if known else {}
        resolve.resolve(merged, THEIRS, selection, before=ours, **sides)
        assert summary(merged)[1:] == kept


class TestInARepository:
    """resolve finds the sides in git: stages 1 to 3 while the notebook is unmerged, the
    commits of the stopped merge once it is added."""

    @pytest.mark.parametrize("side, added", [(OURS, False), (THEIRS, False), (THEIRS, True)])
    def test_resolve_gives_back_the_side_it_keeps(self, make_repo, side, added):
        repo = make_repo(install=[])
        base, ours, theirs = apart(X_ID, Y_ID, end="")
        assert repo.merge_branches(base, ours, theirs).returncode == 1
        if added:
            repo.git("add", "nb.ipynb")
        assert repo.driver("resolve", "nb.ipynb", "--" + side).returncode == 0
        assert repo.read("nb.ipynb")["cells"] == (ours if side == OURS else theirs)["cells"]


    @pytest.mark.parametrize("added", [False, True])
    def test_a_pair_resolved_by_hand_can_leave_links_to_the_deleted_version(self, make_repo,
                                                                             added):
        repo = make_repo(install=[])
        sides = [json.loads((EXAMPLE / (n + ".ipynb")).read_text(encoding="utf-8"))
                 for n in ("base", "ours", "theirs")]
        assert repo.merge_branches(*sides).returncode == 1
        # Their version kept under the plain name, ours deleted: plot depended on ours.
        merged = repo.read("nb.ipynb")
        merged["cells"] = [c for c in merged["cells"] if canvas(c)["name"] != "<<< train model"]
        canvas(merged["cells"][3])["name"] = "train model"
        repo.write("nb.ipynb", merged)
        listing = "cell 5 (plot) -> train model (id c-train)"
        if added:
            repo.git("add", "nb.ipynb")
        listed = repo.driver("conflicts", "nb.ipynb")
        assert listing in listed.stdout
        refused = repo.driver("check", *(["--staged"] if added else ["nb.ipynb"]), check=False)
        assert refused.returncode == 1 and listing in refused.stderr


    @pytest.mark.skipif(os.name == "nt", reason="the stand-in git is a POSIX shell script")
    @pytest.mark.parametrize("command, logged", [
        (["resolve", "nb.ipynb", "--theirs"], "show"),
        (["check", "--staged"], "diff --cached"),
        (["status"], "config"),
        (["install", "--no-hook"], "config"),
    ])
    def test_every_command_starts_the_git_that_the_environment_names(self, make_repo, tmp_path,
                                                                      command, logged):
        repo = make_repo(install=[])
        base, ours, theirs = apart(X_ID, Y_ID, end="")
        assert repo.merge_branches(base, ours, theirs).returncode == 1
        repo.git("add", "nb.ipynb")
        log, stand_in = tmp_path / "git.log", tmp_path / "stand-in-git"
        stand_in.write_text('#!/bin/sh\necho "$*" >> "%s"\nexec git "$@"\n' % log)
        stand_in.chmod(0o755)
        repo.env["GIT_PYTHON_GIT_EXECUTABLE"] = str(stand_in)
        repo.driver(*command, check=False)
        assert log.exists() and any(line.startswith(logged)
                                    for line in log.read_text().splitlines()), command


AMBIGUOUS = json.dumps({"cells": [], "metadata": {"canvas": {"parameters": [
    {"name": "<<< p"}, {"name": "<<< p"}, {"name": ">>> p"}]}}})


class TestResolveCommand:
    @pytest.mark.parametrize("text, status, out, err", [
        (json.dumps(base_notebook()), 0, "no conflicts", None),
        (AMBIGUOUS, 1, None, "p (parameters 1, 2, 3: 2 of ours, 1 of theirs; resolve by hand)"),
        (UNFINISHED, 1, None, "cell 2 (load) at lines 1, 3"),
        (text_merge(7), 2, None, "edit them out, or take one side with git checkout --ours (or "
                                 "--theirs) -- PATH"),
    ], ids=["clean", "ambiguous", "unfinished", "text merge"])
    def test_output(self, tmp_path, capsys, text, status, out, err):
        path = tmp_path / "nb.ipynb"
        path.write_text(text, encoding="utf-8")
        assert cli.main(["resolve", str(path), "--ours"]) == status
        captured = capsys.readouterr()
        assert (out in captured.out) if out else captured.out == ""
        assert (err in captured.err) if err else captured.err == ""
        assert path.read_text(encoding="utf-8") == text


def block(size=7, base=False, newline="\n", ours=("ours\n",), theirs=("theirs\n",)):
    lines = ["<" * size + " nb.ipynb-current" + newline] + [l.replace("\n", newline) for l in ours]
    if base:
        lines += ["|" * size + " base" + newline, "old" + newline]
    return lines + ["=" * size + newline] + [l.replace("\n", newline) for l in theirs] + [
        ">" * size + " nb.ipynb-incoming" + newline]


class TestSourceBlocks:
    @pytest.mark.parametrize("lines, ours, theirs", [
        (["a\n"] + block() + ["z"], ["a\n", "ours\n", "z"], ["a\n", "theirs\n", "z"]),
        (block(base=True, size=9) + ["z"], ["ours\n", "z"], ["theirs\n", "z"]),
        (["a\r\n"] + block(newline="\r\n") + ["z"], ["a\r\n", "ours\r\n", "z"], ["a\r\n", "theirs\r\n", "z"]),
        # A block at the end: line ends as git wrote them (resolve() knows the sides' ends).
        (["a\n"] + block(ours=("x\n", "y\n"), theirs=()), ["a\n", "x\n", "y\n"], ["a\n"]),
        (block() + ["m\n"] + block(size=10, ours=("o2\n",), theirs=("t2\n",)),
         ["ours\n", "m\n", "o2\n"], ["theirs\n", "m\n", "t2\n"]),
        # An opening line left of an unfinished block stays; the block after it is resolved.
        (["<<<<<<< left\n", "a\n"] + block(), ["<<<<<<< left\n", "a\n", "ours\n"],
         ["<<<<<<< left\n", "a\n", "theirs\n"]),
        # A block inside the chosen side's lines is resolved in turn.
        (block(size=9, ours=tuple(block()), theirs=("t\n",)) + ["z"], ["ours\n", "z"], ["t\n", "z"]),
        # Not a block: no middle line of the opening's size, no end, a marker size of 2.
        (["<<<<<<< a\n", "x\n", "========\n", "y\n", ">>>>>>> b\n"], None, None),
        (["<<<<<<< a\n", "x\n", "=======\n", "y\n"], None, None),
        (["<< a\n", "x\n", "==\n", "y\n", ">> b\n"], None, None),
    ])
    def test_choose(self, lines, ours, theirs):
        assert (resolve.choose(lines, OURS), resolve.choose(lines, THEIRS)) == (ours, theirs)
        assert bool(resolve.blocks(lines)) == (ours is not None)

    def test_source_held_as_one_string_stays_a_string(self):
        nb = base_notebook()
        nb["cells"][0]["source"] = "a\n" + "".join(block()) + "z"
        outcome = resolve.resolve(nb, THEIRS)
        assert (outcome.resolved, nb["cells"][0]["source"]) == (["cell 1"], "a\ntheirs\nz")


class TestGitHook:
    @pytest.mark.skipif(os.name == "nt", reason="the test's git is the machine's own, run by a "
                        "stand-in: it needs an execute bit that a hook written here does not get")
    def test_commit_is_refused_until_resolved(self, make_repo):
        repo = make_repo()
        hooks = repo.path / ".git" / "hooks"
        hooks.mkdir(exist_ok=True)
        earlier = hooks / "pre-commit"
        earlier.write_text("#!/bin/sh\necho earlier hook ran >> \"$(git rev-parse --git-dir)/log\"\n")
        earlier.chmod(0o755)
        out = repo.driver("install", "--pre-commit").stdout
        assert "moved the existing hook" in out and "wrote the pre-commit hook" in out
        assert repo.driver("install", "--pre-commit").stdout == (
            "nothing to change: the driver is already set up\n")

        ours, theirs = base_notebook(), base_notebook()
        set_param(ours, "epochs", 20)
        set_param(theirs, "epochs", 30)
        ours["cells"][0]["source"] = ["# Notes\n", "ours\n"]
        theirs["cells"][0]["source"] = ["# Notes\n", "theirs\n"]
        assert repo.merge_branches(base_notebook(), ours, theirs).returncode == 1
        repo.git("add", "nb.ipynb")
        refused = repo.git("commit", "--no-edit", check=False)
        assert refused.returncode != 0
        assert ("corvane-merge-driver: nb.ipynb: the merged notebook holds conflicts to resolve\n"
                "  parameters in conflict: epochs (parameters 2, 3)\n"
                "  cells with source conflicts: cell 1\n") in refused.stderr
        # Resolved in the work tree but not staged: the commit would still take the conflicts.
        assert repo.driver("resolve", "nb.ipynb", "--theirs").returncode == 0
        assert repo.git("commit", "--no-edit", check=False).returncode != 0
        repo.git("add", "nb.ipynb")
        repo.git("commit", "--no-edit")
        assert len(repo.parents_of_head()) == 2
        # Our parameter list's order (from HEAD, our side) is kept.
        assert repo.read("nb.ipynb")["metadata"]["canvas"]["parameters"] == [
            {"name": "alpha", "type": "float", "value": 0.1},
            {"name": "epochs", "type": "int", "value": 30}]
        # The three commits that made the branches, then the three tries of the merge commit.
        assert (repo.path / ".git" / "log").read_text().count("earlier hook ran") == 6

        assert "put the earlier hook back" in repo.driver("uninstall").stdout
        assert earlier.read_text().startswith("#!/bin/sh\necho earlier hook ran")
        assert not (hooks / "pre-commit.before-corvane").exists()

    @pytest.mark.parametrize("earlier", [None, "#!/bin/sh\necho earlier\n"])
    def test_uninstall_finds_our_hook_where_the_framework_moved_it(self, make_repo, earlier):
        repo = make_repo()
        hooks = repo.path / ".git" / "hooks"
        hooks.mkdir(exist_ok=True)
        if earlier:
            (hooks / "pre-commit").write_text(earlier)
        repo.driver("install", "--pre-commit")
        # What `pre-commit install` does with a hook that is not its own.
        os.replace(str(hooks / "pre-commit"), str(hooks / "pre-commit.legacy"))
        framework = "#!/usr/bin/env bash\n# File generated by pre-commit\n"
        (hooks / "pre-commit").write_text(framework)
        assert repo.driver("install", "--pre-commit").stdout == (
            "nothing to change: the driver is already set up\n")
        out = repo.driver("uninstall").stdout
        assert "removed the pre-commit hook" in out and "pre-commit.legacy" in out
        legacy = hooks / "pre-commit.legacy"
        assert (legacy.read_text() if legacy.exists() else None) == earlier
        assert (hooks / "pre-commit").read_text() == framework
        assert not (hooks / "pre-commit.before-corvane").exists()

    @pytest.mark.parametrize("entries, listed", [
        ([("100644", "new\nline.ipynb", IN_ONE)], ["new\\nline.ipynb"]),
        ([("100644", "0:x.ipynb", IN_ONE), ("100644", "x.ipynb", CLEAN)], ["0:x.ipynb"]),
        ([("100644", "x.ipynb", IN_ONE), ("100644", "0:x.ipynb", CLEAN)], ["x.ipynb"]),
        ([("100644", "1:y.ipynb", CLEAN), ("100755", "run.ipynb", CLEAN)], []),
        ([("120000", "link.ipynb", "x.ipynb"), ("100644", "x.ipynb", CLEAN)], []),
        ([("160000", "module.ipynb", None)], []),
    ], ids=["line break in the name", "a name like a stage", "beside one", "names like a stage",
            "symbolic link", "submodule"])
    def test_check_staged_reads_what_the_index_holds(self, tmp_path, make_repo, entries, listed):
        repo = make_repo()
        blob = tmp_path / "blob"
        for mode, path, text in entries:
            blob.write_text(text or "", encoding="utf-8")
            key = repo.git("hash-object", "-w", str(blob)).stdout.strip()
            if text is None:   # a submodule: its commit, which this repository does not hold
                key = key.translate(str.maketrans("0123456789abcdef", "fedcba9876543210"))
            repo.git("update-index", "--add", "--cacheinfo", "%s,%s,%s" % (mode, key, path))
        proc = repo.driver("check", "--staged", check=False)
        assert proc.returncode == (1 if listed else 0), proc.stderr
        assert [line.split(": ")[1] for line in proc.stderr.splitlines()
                if line.endswith("holds conflicts to resolve")] == listed

    def test_pre_commit_framework_runs_the_manifest(self, tmp_path, make_repo, git_env):
        pre_commit = pre_commit_framework()
        if not (REPO_ROOT / ".pre-commit-hooks.yaml").exists() or not (REPO_ROOT / ".git").exists():
            pytest.skip("the tests do not run from a clone of the repository")
        repo = make_repo()
        merged = example_merge(tmp_path / "m")
        shutil.copyfile(str(merged), str(repo.path / "nb.ipynb"))
        repo.git("add", "nb.ipynb")
        env = dict(git_env, PRE_COMMIT_HOME=str(tmp_path / "cache"))
        env.pop("PYTHONPATH")   # the hook runs from its own installation

        def run_hook():
            return subprocess.run(
                [pre_commit, "try-repo", str(REPO_ROOT), "notebook-conflicts", "--files",
                 "nb.ipynb"], cwd=str(repo.path), env=env, stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT, universal_newlines=True, timeout=900)

        refused = run_hook()
        assert refused.returncode == 1, refused.stdout
        assert "components in conflict: train model (cells 4, 5)" in refused.stdout
        assert repo.driver("resolve", "nb.ipynb", "--ours").returncode == 0
        repo.git("add", "nb.ipynb")
        passed = run_hook()
        assert passed.returncode == 0, passed.stdout


def pre_commit_framework():
    found = shutil.which("pre-commit") or os.path.join(os.path.dirname(sys.executable),
                                                       "pre-commit")
    if not os.path.exists(found):
        pytest.skip("pre-commit is not installed (pip install pre-commit, in the test extra)")
    return found


FRAMEWORK_CONFIG = """\
repos:
  - repo: local
    hooks:
      - id: chain
        name: chain
        entry: sh -c 'echo framework >> "$HOME/chain"'
        language: system
        pass_filenames: false
        always_run: true
"""


@pytest.mark.skipif(os.name == "nt", reason="the hooks need an execute bit that a hook written "
                    "under Windows does not get")
class TestHookChain:
    """Our hook beside the pre-commit framework's and a hook of the user's, set up and taken
    away in any order: every hook of the chain runs, and uninstall leaves the others working."""

    @pytest.mark.parametrize("earlier, steps", [
        (False, "framework ours framework"),
        (False, "ours framework"),
        (False, "framework ours"),
        (True, "framework ours framework"),
        (True, "ours framework ours"),
    ])
    def test_uninstall_leaves_a_working_chain(self, tmp_path, make_repo, earlier, steps):
        framework = pre_commit_framework()
        repo = make_repo(PRE_COMMIT_HOME=str(tmp_path / "cache"))
        repo.write(".pre-commit-config.yaml", FRAMEWORK_CONFIG)
        repo.commit("config")
        hooks = repo.path / ".git" / "hooks"
        if earlier:
            hooks.mkdir(exist_ok=True)
            (hooks / "pre-commit").write_text('#!/bin/sh\necho earlier >> "$HOME/chain"\n')
            (hooks / "pre-commit").chmod(0o755)
        for step in steps.split():
            if step == "ours":
                repo.driver("install")
            else:
                repo.run(framework, "install")
        chain = tmp_path / "home" / "chain"
        chain.write_text("")
        expected = (["earlier"] if earlier else []) + (
            ["framework"] if "framework" in steps else [])

        merged = base_notebook()
        set_param(merged, "epochs", 20)
        merged["metadata"]["canvas"]["parameters"][1]["name"] = "<<< epochs"
        repo.write("nb.ipynb", merged)
        repo.git("add", "nb.ipynb")
        refused = repo.git("commit", "-m", "conflicts", check=False)
        assert refused.returncode == 1, refused.stdout + refused.stderr
        assert "parameters in conflict: epochs" in refused.stderr
        assert sorted(chain.read_text().split()) == expected
        chain.write_text("")

        repo.driver("uninstall")
        proc = repo.git("commit", "-m", "conflicts", check=False)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert sorted(chain.read_text().split()) == expected
        assert sorted(n for n in os.listdir(str(hooks)) if not n.endswith(".sample")) == (
            ["pre-commit"] if expected else []) + (
            ["pre-commit.legacy"] if earlier and "framework" in steps else [])
