"""The driver inside real git merges: two branches changing one notebook, git merge; and the
merges where the driver goes further than merge_files."""
import json

import pytest

from corvane_git.scripts.merge_driver.git_wiring import settings as git_setup
from notebooks import (base_notebook, cell, change, layered_top, names, param, plain, plain_cell,
                       set_param, write)
from reference import git_merge_file

DRIVER = "corvane-notebook"


class TestCleanMerges:
    def test_changes_on_both_sides_merge_and_commit(self, repo):
        base = base_notebook()
        ours, theirs = base_notebook(), base_notebook()
        set_param(ours, "alpha", 0.5)
        change(ours, "load")["source"] = ["import pandas as pd\n", "df = pd.read_csv(path)\n"]
        change(theirs, "plot")["source"] = ["plot(model, title='score')\n"]
        theirs["cells"].append(cell("report", "report", "print(score)\n", parents=["train"]))
        proc = repo.merge_branches(base, ours, theirs)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert "CONFLICT" not in proc.stdout
        assert len(repo.parents_of_head()) == 2
        merged = repo.read("nb.ipynb")
        assert names(merged) == [None, "load", "train", "plot", "report"]
        assert change(merged, "load")["source"] == ["import pandas as pd\n",
                                                    "df = pd.read_csv(path)\n"]
        assert change(merged, "plot")["source"] == ["plot(model, title='score')\n"]
        assert merged["metadata"]["canvas"]["parameters"] == [param("alpha", 0.5),
                                                              param("epochs", 10)]
        assert repo.git("status", "--porcelain").stdout == ""


class TestConflicts:
    def test_component_conflict_is_marked_then_resolved(self, repo):
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "train")["source"] = ["model = fit(df, steps=5)\n"]
        change(theirs, "train", parents=[{"id": "load"}, {"id": "notes"}])["source"] = [
            "model = fit(df, rate=0.2)\n"]
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 1
        assert "CONFLICT (content): Merge conflict in nb.ipynb" in proc.stdout
        assert "components in conflict: train" in proc.stderr
        merged = repo.read("nb.ipynb")
        assert names(merged) == [None, "load", "<<< train", ">>> train", "plot"]
        assert merged["cells"][2]["source"] == ["model = fit(df, steps=5)\n"]
        assert merged["cells"][3]["source"] == ["model = fit(df, rate=0.2)\n"]
        assert "nb.ipynb" in repo.git("diff", "--name-only", "--diff-filter=U").stdout

        # Keep their version under the plain name, as a user would in the notebook editor.
        kept = merged["cells"][3]
        kept["metadata"]["canvas"]["name"] = "train"
        del merged["cells"][2]
        repo.write("nb.ipynb", merged)
        repo.git("add", "nb.ipynb")
        repo.git("commit", "-q", "--no-edit")
        assert len(repo.parents_of_head()) == 2
        assert repo.git("status", "--porcelain").stdout == ""
        assert names(repo.read("nb.ipynb")) == [None, "load", "train", "plot"]

    def test_a_path_with_spaces_non_ascii_and_a_leading_dash(self, repo):
        """git gives the path as it is: the merge takes both sides' changes, and the source
        conflict's labels name the path."""
        rel = "-analysis dir/Übersicht ü 2024.ipynb"
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "notes")["source"] = ["ours\n"]
        change(ours, "load")["source"] = ["import pandas as pd\n"]
        change(theirs, "notes")["source"] = ["theirs\n"]
        change(theirs, "train", comments=[{"author": "jürgen", "text": "größer"}])
        proc = repo.merge_branches(base_notebook(), ours, theirs, rel)
        assert proc.returncode == 1
        merged = repo.read(rel)
        assert merged["cells"][0]["source"] == [
            "<<<<<<< %s-current\n" % rel, "ours\n", "=======\n", "theirs\n",
            ">>>>>>> %s-incoming\n" % rel]
        assert change(merged, "load")["source"] == ["import pandas as pd\n"]
        assert change(merged, "train")["metadata"]["canvas"]["comments"] == [
            {"author": "jürgen", "text": "größer"}]


# ---- merge outcomes of the driver, beyond merge_files ----------------------------------------

def sides(edit_ours=None, edit_theirs=None, base=None):
    """(base, ours, theirs): copies of `base` (the base notebook by default), each side changed
    by its function."""
    made = [json.loads(json.dumps(base or base_notebook())) for _ in range(3)]
    for nb, edit in zip(made[1:], (edit_ours, edit_theirs)):
        if edit:
            edit(nb)
    return made


def edits(*changes):
    """One function making the changes (comp_id, key, value) to a notebook's cells; key
    "insert" puts the value in after that cell (comp_id None: first), "tags" sets metadata.tags."""
    def edit(nb):
        for comp_id, key, value in changes:
            pos = next((i for i, c in enumerate(nb["cells"]) if c["metadata"].get(
                "canvas", {"id": c.get("id")})["id"] == comp_id), -1)
            if key == "insert":
                nb["cells"].insert(pos + 1, value)
            elif key == "tags":
                nb["cells"][pos]["metadata"]["tags"] = value
            else:
                nb["cells"][pos][key] = value
    return edit


OUR_NOTES = ("notes", "source", ["# Our notes\n", "line two\n", "line three\n"])
THEIR_NOTES = ("notes", "source", ["# Notes\n", "line two\n", "line 3\n"])
NOTES_MERGED = ["# Our notes\n", "line two\n", "line 3\n"]
RUN = {"output_type": "stream", "name": "stdout", "text": ["ours\n"]}
THEIR_RUN = dict(RUN, text=["theirs\n"])
WITHOUT_IDS = dict(base_notebook(), nbformat_minor=4)
for _c in WITHOUT_IDS["cells"]:
    del _c["id"]
WITHOUT_IDS["cells"].insert(1, plain_cell("a = 1\nb = 2\nc = 3\n"))
del WITHOUT_IDS["cells"][1]["id"]

NAMED_PARENTS = dict(base_notebook(), cells=[dict(c, metadata={"canvas": dict(
    c["metadata"]["canvas"], parents=[{"id": p["id"], "name": p["id"]} for p in
                                      c["metadata"]["canvas"]["parents"]])})
    for c in base_notebook()["cells"]])


def renamed(comp_id, name):
    """An edit: component `comp_id` renamed, with the parent entries that name it."""
    def edit(nb):
        for c in nb["cells"]:
            canvas = c["metadata"]["canvas"]
            if canvas["id"] == comp_id:
                canvas["name"] = name
            for p in canvas["parents"]:
                if p["id"] == comp_id and "name" in p:
                    p["name"] = name
    return edit


# Rows: (base, ours, theirs), status, expected cells (component id or "plain " + cell id, name,
# source; "*" where the row does not look), {cell position: keys expected there}, notes.
DRIVER_ROWS = {
    "their tag beside our source edit": (
        sides(edits(OUR_NOTES), edits(("notes", "tags", ["their-tag"]))), 0,
        None, {0: {"metadata": {"canvas": "*", "tags": ["their-tag"]}, "source": OUR_NOTES[2]}},
        []),
    "their cell type and a key new to the cell beside our source edit": (
        sides(edits(OUR_NOTES), edits(THEIR_NOTES, ("notes", "cell_type", "raw"),
                                     ("notes", "attachments", {"a.png": {}}))), 0,
        None, {0: {"cell_type": "raw", "attachments": {"a.png": {}}, "source": NOTES_MERGED}}, []),
    "a tag both changed differently: ours, said": (
        sides(edits(OUR_NOTES, ("notes", "tags", ["ours"])), edits(("notes", "tags", ["theirs"]))),
        0, None, {0: {"metadata": {"canvas": "*", "tags": ["ours"]}}},
        ['changed on both sides, ours kept: cell 1 metadata "tags"']),
    "outputs of the side that re-ran, with their edit": (
        sides(edits(OUR_NOTES), edits(THEIR_NOTES, ("notes", "outputs", [THEIR_RUN]),
                                     ("notes", "execution_count", 3))), 0,
        None, {0: {"outputs": [THEIR_RUN], "execution_count": 3, "source": NOTES_MERGED}}, []),
    "re-run on both sides: ours, said": (
        sides(edits(("load", "outputs", [RUN])), edits(("load", "outputs", [THEIR_RUN]))), 0,
        None, {1: {"outputs": [RUN]}}, ["cells re-run on both sides, our outputs kept: cell 2"]),
    "new cells of both sides at one place: ours first; theirs first in their notebook": (
        sides(edits(("load", "insert", cell("o", "o", "o\n"))),
              edits(("load", "insert", cell("t", "t", "t\n")),
                    (None, "insert", plain_cell("top\n", "top")))), 0,
        [("plain top", None, "top\n"), ("notes", None, "*"), ("load", "load", "*"), ("o", "o", "o\n"),
         ("t", "t", "t\n"), ("train", "train", "*"), ("plot", "plot", "*")], {}, []),
    "their plain cell in a component notebook: as it was, where they put it": (
        sides(edits(OUR_NOTES), edits(("train", "insert", plain_cell("p = 1\n", "p")))), 0,
        [("notes", None, "*"), ("load", "load", "*"), ("train", "train", "*"),
         ("plain p", None, "p = 1\n"), ("plot", "plot", "*")],
        {3: plain_cell("p = 1\n", "p")}, []),
    "a plain cell both edited: merged source, still plain": (
        sides(edits(("p", "source", ["P\n", "b\n", "c\n"])), edits(("p", "source", ["p\n", "b\n", "C\n"])),
              base=dict(base_notebook(), cells=base_notebook()["cells"] + [
                  plain_cell("p\nb\nc\n", "p")])), 0,
        None, {4: plain_cell("P\nb\nC\n", "p")}, []),
    "plain cells without ids, paired by content": (
        sides(edits((None, "source", ["A = 1\nb = 2\nc = 3\n"])),
              edits((None, "source", ["a = 1\nb = 2\nC = 3\n"]),
                    ("load", "insert", dict(plain_cell("x\n"), id=None))), base=WITHOUT_IDS), 0,
        [("notes", None, "*"), ("plain None", None, "A = 1\nb = 2\nC = 3\n"), ("load", "load", "*"),
         ("plain None", None, "x\n"), ("train", "train", "*"), ("plot", "plot", "*")], {}, []),
    "a plain cell both added alike: one cell": (
        sides(edits(("plot", "insert", plain_cell("p\n", "p"))),
              edits(("plot", "insert", plain_cell("p\n", "p")))), 0,
        [("notes", None, "*"), ("load", "load", "*"), ("train", "train", "*"), ("plot", "plot", "*"),
         ("plain p", None, "p\n")], {}, []),
    "parent names as our file holds them": (
        sides(edits(("train", "source", ["t\n"])), edits(OUR_NOTES), base=NAMED_PARENTS), 0,
        None, {2: {"metadata": {"canvas": {"id": "train", "name": "train", "comments": [],
                                           "parents": [{"id": "load", "name": "load"}]}}},
               3: {"metadata": {"canvas": {"id": "plot", "name": "plot", "comments": [],
                                           "parents": [{"id": "train", "name": "train"}]}}}}, []),
    "a parent entry names the parent as renamed by them": (
        sides(edits(("train", "source", ["t\n"])), renamed("load", "loadT"), base=NAMED_PARENTS),
        0, None, {1: {"metadata": {"canvas": {"name": "loadT"}}},
                  2: {"metadata": {"canvas": {"parents": [{"id": "load", "name": "loadT"}]}}}},
        []),
    "parent names of their new cell as their file holds them, renamed by us": (
        sides(renamed("plot", "plotO"), edits(("plot", "insert", dict(cell("eval", "eval"), metadata={
            "canvas": {"id": "eval", "name": "eval", "comments": [],
                       "parents": [{"id": "plot", "name": "plot"}]}})))), 0,
        None, {4: {"metadata": {"canvas": {"id": "eval", "parents": [
            {"id": "plot", "name": "plotO"}]}}}}, []),
    "unnamed cells deleted by us, changed by them: kept, said": (
        sides(lambda nb: nb["cells"].__delitem__(slice(0, 2)),
              edits(THEIR_NOTES, ("p", "source", ["P\n"])),
              base=dict(base_notebook(), cells=base_notebook()["cells"][:1] + [
                  plain_cell("p\n", "p")] + base_notebook()["cells"][1:])), 0,
        None, {}, ["changed by them, deleted by us, kept: cell 4, cell 5"]),
}


def looked_at(value, expected):
    """`value` reduced to what `expected` names ("*": anything)."""
    if expected == "*":
        return "*"
    if isinstance(expected, dict) and isinstance(value, dict):
        return {k: looked_at(value.get(k, "<absent>"), v) for k, v in expected.items()}
    return value


class TestDriverOutcomes:
    """Where the driver goes further than merge_files: their keys beside source and canvas,
    plain cells in a component notebook, their new cells where they put them, parent names."""

    @pytest.mark.parametrize("case", sorted(DRIVER_ROWS))
    def test_outcome_table(self, tmp_path, case):
        from corvane_git.scripts.merge_driver.driver import route as driver
        notebooks, status, cells, keys, notes = DRIVER_ROWS[case]
        paths = []
        for name, nb in zip(("base", "ours", "theirs"), notebooks):
            paths.append(str(tmp_path / (name + ".ipynb")))
            with open(paths[-1], "w", encoding="utf-8") as f:
                json.dump(nb, f, indent=1)
        found = driver.merge(*paths, path="nb.ipynb")
        merged = json.loads(open(paths[1], encoding="utf-8").read())
        assert (int(bool(found)), found.notes) == (status, notes)
        if cells is not None:
            assert [(("plain %s" % c.get("id")) if "canvas" not in c["metadata"] else
                     c["metadata"]["canvas"]["id"], c["metadata"].get("canvas", {}).get("name"),
                     "".join(c["source"]) if expected[2] != "*" else "*")
                    for c, expected in zip(merged["cells"], cells)] == cells
            assert len(merged["cells"]) == len(cells)
        for pos, expected in keys.items():
            assert looked_at(merged["cells"][pos], expected) == expected


class TestMarkerSizeFromGit:
    """git gives the driver the marker size of the file's conflict-marker-size attribute (the
    driver line's %L); a driver line without it means git's default. The text merge and the line
    saying why are the command's (test_cli.py)."""

    @pytest.mark.parametrize("setup, size", [
        ("conflict-marker-size=11", 11), ("a driver line without %L", 7)])
    def test_edits_of_the_same_lines_stop_with_gits_markers(self, repo, tmp_path, setup, size):
        if setup.startswith("conflict-marker-size"):
            with open(str(repo.path / ".gitattributes"), "a") as f:
                f.write("*.ipynb %s\n" % setup)
        else:
            repo.git("config", "merge.%s.driver" % DRIVER,
                     git_setup.driver_command().replace(" --marker-size=%L -- %O", " -- %O"))
        base, ours, theirs = plain(base_notebook()), plain(base_notebook()), layered_top(
            plain(base_notebook()))
        ours["cells"][2]["source"] = ["model = fit(df, steps=5)\n"]
        theirs["cells"][2]["source"] = ["model = fit(df, rate=0.2)\n"]
        proc = repo.merge_branches(base, ours, theirs)
        assert proc.returncode == 1
        assert "CONFLICT (content): Merge conflict in nb.ipynb" in proc.stdout
        assert proc.stderr.endswith("; 1 conflict to resolve between the %s and %s lines\n" % (
            "<" * size, ">" * size))
        for name, nb in (("base", base), ("ours", ours), ("theirs", theirs)):
            write(str(tmp_path / (name + ".ipynb")), nb)
        text = (repo.path / "nb.ipynb").read_bytes()
        assert text == git_merge_file(tmp_path, size)[1]
        assert ("\n%s nb.ipynb-current\n" % ("<" * size)).encode() in text
