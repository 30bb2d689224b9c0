"""The driver inside real git merges: install, two branches changing one notebook, git merge."""
import json
import os
import shlex
import stat
import subprocess
import sys

import pytest

from conftest import PACKAGE_ROOT, SHELL_SCRIPT_PROGRAMS
from corvane_git.scripts.merge_driver.git_wiring import settings as git_setup

DRIVER = "corvane-notebook"


def cell(comp_id, name=None, source="x = 1\n", parents=(), comments=(), color=None):
    canvas = {"id": comp_id, "name": name, "parents": [{"id": p} for p in parents],
              "comments": list(comments)}
    if color:
        canvas["headerColor"] = color
    lines = source.splitlines(True)
    return {"cell_type": "code", "execution_count": None, "id": "cell-" + comp_id,
            "metadata": {"canvas": canvas}, "outputs": [], "source": lines}


def notebook(cells, params=()):
    return {"cells": cells,
            "metadata": {"canvas": {"parameters": [dict(p) for p in params]}},
            "nbformat": 4, "nbformat_minor": 5}


def param(name, value):
    return {"name": name, "type": type(value).__name__, "value": value}


def base_notebook():
    return notebook(
        [cell("notes", None, "# Notes\nline two\nline three\n"),
         cell("load", "load", "import pandas\ndf = pandas.read_csv(path)\n"),
         cell("train", "train", "model = fit(df)\nscore = model.score(df)\n", parents=["load"]),
         cell("plot", "plot", "plot(model)\n", parents=["train"])],
        [param("alpha", 0.1), param("epochs", 10)])


def change(nb, comp_id, **canvas_changes):
    """The cell of `nb` with component id `comp_id`, its canvas updated with the changes."""
    found = [c for c in nb["cells"] if c["metadata"]["canvas"]["id"] == comp_id][0]
    found["metadata"]["canvas"].update(canvas_changes)
    return found


def set_param(nb, name, value):
    for p in nb["metadata"]["canvas"]["parameters"]:
        if p["name"] == name:
            p["value"] = value


def names(nb):
    return [c["metadata"]["canvas"]["name"] for c in nb["cells"]]


class Repo:
    def __init__(self, path, env):
        self.path, self.env = path, env
        path.mkdir(parents=True)
        self.git("init", "-q")
        self.git("symbolic-ref", "HEAD", "refs/heads/main")

    def run(self, *args, check=True):
        # git writes UTF-8, and so does the driver (on Windows too, to a pipe).
        text = {"encoding": "utf-8"}
        proc = subprocess.run(list(args), cwd=str(self.path), env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, **text)
        if check:
            assert proc.returncode == 0, (args, proc.stdout, proc.stderr)
        return proc

    def git(self, *args, check=True):
        return self.run("git", *args, check=check)

    def driver(self, *args, check=True):
        return self.run(sys.executable, "-m", "corvane_git.scripts.merge_driver", *args,
                        check=check)

    def write(self, rel, nb):
        target = self.path / rel
        target.parent.mkdir(parents=True, exist_ok=True)
        text = nb if isinstance(nb, str) else json.dumps(nb, indent=1, ensure_ascii=False) + "\n"
        target.write_bytes(text.encode("utf-8"))

    def read(self, rel):
        return json.loads((self.path / rel).read_text(encoding="utf-8"))

    def commit(self, message):
        self.git("add", "-A")
        self.git("commit", "-q", "-m", message)

    def merge_branches(self, base, ours, theirs, rel="nb.ipynb"):
        """main holds `ours`, branch theirs holds `theirs`, both from `base`; merge theirs."""
        self.write(rel, base)
        self.commit("base")
        self.git("checkout", "-q", "-b", "theirs")
        self.write(rel, theirs)
        self.commit("theirs")
        self.git("checkout", "-q", "main")
        self.write(rel, ours)
        self.commit("ours")
        return self.git("merge", "--no-edit", "theirs", check=False)

    def parents_of_head(self):
        return self.git("rev-list", "--parents", "-n", "1", "HEAD").stdout.split()[1:]


@pytest.fixture
def git_env(tmp_path):
    """An environment that sees no config of the machine's user and finds the package."""
    env = dict(os.environ)
    for key in ("XDG_CONFIG_HOME", "GIT_DIR", "GIT_WORK_TREE", "GIT_CONFIG_GLOBAL"):
        env.pop(key, None)
    home = tmp_path / "home"
    home.mkdir()
    env.update(HOME=str(home), GIT_CONFIG_NOSYSTEM="1", GIT_AUTHOR_NAME="Ana",
               GIT_AUTHOR_EMAIL="ana@example.org", GIT_COMMITTER_NAME="Ana",
               GIT_COMMITTER_EMAIL="ana@example.org", LC_ALL="C.UTF-8")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    return env


@pytest.fixture
def repo(tmp_path, git_env):
    r = Repo(tmp_path / "repo", git_env)
    # The pre-commit hook has tests of its own; here it would only start with every commit.
    r.driver("install", "--no-hook")
    return r


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

    def test_their_deletion_of_a_cell_we_left_alone(self, repo):
        theirs = base_notebook()
        theirs["cells"] = [c for c in theirs["cells"] if c["metadata"]["canvas"]["id"] != "plot"]
        ours = base_notebook()
        set_param(ours, "epochs", 12)
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert len(repo.parents_of_head()) == 2
        assert names(repo.read("nb.ipynb")) == [None, "load", "train"]

    def test_path_with_spaces_and_non_ascii(self, repo):
        rel = "-analysis dir/Übersicht ü 2024.ipynb"
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "load")["source"] = ["import pandas as pd\n"]
        change(theirs, "train", comments=[{"author": "jürgen", "text": "größer"}])
        proc = repo.merge_branches(base_notebook(), ours, theirs, rel)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        merged = repo.read(rel)
        assert change(merged, "load")["source"] == ["import pandas as pd\n"]
        assert change(merged, "train")["metadata"]["canvas"]["comments"] == [
            {"author": "jürgen", "text": "größer"}]


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

    def test_parameter_conflict(self, repo):
        ours, theirs = base_notebook(), base_notebook()
        set_param(ours, "epochs", 20)
        set_param(theirs, "epochs", 30)
        set_param(theirs, "alpha", 0.2)
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 1
        assert "CONFLICT" in proc.stdout
        assert "parameters in conflict: epochs" in proc.stderr
        assert "components in conflict" not in proc.stderr
        params = repo.read("nb.ipynb")["metadata"]["canvas"]["parameters"]
        assert params == [dict(param("alpha", 0.2)), dict(param("epochs", 20), name="<<< epochs"),
                          dict(param("epochs", 30), name=">>> epochs")]

    def test_source_conflict_in_one_cell(self, repo):
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "notes")["source"] = ["# Notes\n", "line 2 (ours)\n", "line three\n"]
        change(theirs, "notes")["source"] = ["# Notes\n", "line 2 (theirs)\n", "line three\n"]
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 1
        assert "CONFLICT" in proc.stdout
        assert "cells with source conflicts: cell 1" in proc.stderr
        merged = repo.read("nb.ipynb")
        assert names(merged) == [None, "load", "train", "plot"]
        assert merged["cells"][0]["source"] == [
            "# Notes\n", "<<<<<<< nb.ipynb-current\n", "line 2 (ours)\n", "=======\n",
            "line 2 (theirs)\n", ">>>>>>> nb.ipynb-incoming\n", "line three\n"]

    def test_source_conflict_labels_name_a_path_with_spaces(self, repo):
        rel = "ä b/c d.ipynb"
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "notes")["source"] = ["ours\n"]
        change(theirs, "notes")["source"] = ["theirs\n"]
        proc = repo.merge_branches(base_notebook(), ours, theirs, rel)
        assert proc.returncode == 1
        source = repo.read(rel)["cells"][0]["source"]
        assert source[0] == "<<<<<<< %s-current\n" % rel
        assert source[-1] == ">>>>>>> %s-incoming\n" % rel

    def test_their_deletion_of_a_component_we_changed(self, repo):
        ours = base_notebook()
        change(ours, "plot")["source"] = ["plot(model, bins=20)\n"]
        theirs = base_notebook()
        theirs["cells"].pop()
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 1
        assert "components in conflict: plot" in proc.stderr
        assert names(repo.read("nb.ipynb")) == [None, "load", "train", "<<< plot"]


def plain_notebook():
    """A notebook as plain Jupyter writes it, without the component layer."""
    nb = base_notebook()
    for c in nb["cells"]:
        del c["metadata"]["canvas"]
    del nb["metadata"]["canvas"]
    return nb


def layered_top(nb):
    """`nb` with the notebook's part of the component layer only (no merge takes it)."""
    nb["metadata"]["canvas"] = {"parameters": []}
    return nb


def git_merge_file(tmp_path, base, ours, theirs, marker_size=7):
    """The bytes of `git merge-file` over the three notebooks' texts, labelled as the driver does."""
    names = []
    for name, nb in (("ours", ours), ("base", base), ("theirs", theirs)):
        path = tmp_path / (name + ".txt")
        path.write_bytes((json.dumps(nb, indent=1, ensure_ascii=False) + "\n").encode("utf-8"))
        names.append(str(path))
    return subprocess.run(["git", "merge-file", "-p", "--marker-size=%d" % marker_size,
                           "-L", "nb.ipynb-current", "-L", "nb.ipynb-base", "-L", "nb.ipynb-incoming"]
                          + names, stdout=subprocess.PIPE).stdout


# ---- merge outcomes of the driver, beyond merge_files ----------------------------------------

def plain_cell(cell_id, source, **keys):
    """A cell as plain Jupyter writes it into a component notebook: no canvas map."""
    return dict({"cell_type": "code", "execution_count": None, "id": cell_id, "metadata": {},
                 "outputs": [], "source": source.splitlines(True)}, **keys)


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
WITHOUT_IDS["cells"].insert(1, dict(plain_cell(None, "a = 1\nb = 2\nc = 3\n")))
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
                    (None, "insert", plain_cell("top", "top\n")))), 0,
        [("plain top", None, "top\n"), ("notes", None, "*"), ("load", "load", "*"), ("o", "o", "o\n"),
         ("t", "t", "t\n"), ("train", "train", "*"), ("plot", "plot", "*")], {}, []),
    "their plain cell in a component notebook: as it was, where they put it": (
        sides(edits(OUR_NOTES), edits(("train", "insert", plain_cell("p", "p = 1\n")))), 0,
        [("notes", None, "*"), ("load", "load", "*"), ("train", "train", "*"),
         ("plain p", None, "p = 1\n"), ("plot", "plot", "*")],
        {3: plain_cell("p", "p = 1\n")}, []),
    "a plain cell both edited: merged source, still plain": (
        sides(edits(("p", "source", ["P\n", "b\n", "c\n"])), edits(("p", "source", ["p\n", "b\n", "C\n"])),
              base=dict(base_notebook(), cells=base_notebook()["cells"] + [
                  plain_cell("p", "p\nb\nc\n")])), 0,
        None, {4: plain_cell("p", "P\nb\nC\n")}, []),
    "plain cells without ids, paired by content": (
        sides(edits((None, "source", ["A = 1\nb = 2\nc = 3\n"])),
              edits((None, "source", ["a = 1\nb = 2\nC = 3\n"]),
                    ("load", "insert", dict(plain_cell(None, "x\n")))), base=WITHOUT_IDS), 0,
        [("notes", None, "*"), ("plain None", None, "A = 1\nb = 2\nC = 3\n"), ("load", "load", "*"),
         ("plain None", None, "x\n"), ("train", "train", "*"), ("plot", "plot", "*")], {}, []),
    "a plain cell both added alike: one cell": (
        sides(edits(("plot", "insert", plain_cell("p", "p\n"))),
              edits(("plot", "insert", plain_cell("p", "p\n")))), 0,
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
                  plain_cell("p", "p\n")] + base_notebook()["cells"][1:])), 0,
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


class TestMergedAsText:
    """Notebooks the merge cannot take merge as git merges them without the driver."""

    def test_edits_apart_merge_cleanly(self, repo, tmp_path):
        base, ours, theirs = plain_notebook(), plain_notebook(), layered_top(plain_notebook())
        theirs["cells"][3]["source"] = ["plot(model, title='score')\n"]
        reason = 'our version: no top-level "metadata" -> "canvas" map'
        ours["cells"][1]["source"] = ["import pandas as pd\n"]
        proc = repo.merge_branches(base, ours, theirs)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stderr == ("corvane-merge-driver: nb.ipynb: merged as text by git merge-file, "
                               "not cell by cell (%s)\n" % reason)
        assert len(repo.parents_of_head()) == 2
        assert (repo.path / "nb.ipynb").read_bytes() == git_merge_file(tmp_path, base, ours, theirs)
        assert repo.read("nb.ipynb")["cells"][-1] == theirs["cells"][-1]

    @pytest.mark.parametrize("setup, size", [
        ("installed", 7), ("conflict-marker-size=11", 11), ("a driver line without %L", 7),
        ("conflict-marker-size=20000000", 20000000)])
    def test_edits_of_the_same_lines_stop_with_gits_markers(self, repo, tmp_path, setup, size):
        if setup.startswith("conflict-marker-size"):
            with open(str(repo.path / ".gitattributes"), "a") as f:
                f.write("*.ipynb %s\n" % setup)
        elif setup.startswith("a driver line"):
            repo.git("config", "merge.%s.driver" % DRIVER,
                     git_setup.driver_command().replace(" --marker-size=%L -- %O", " -- %O"))
        base, ours, theirs = plain_notebook(), plain_notebook(), layered_top(plain_notebook())
        ours["cells"][2]["source"] = ["model = fit(df, steps=5)\n"]
        theirs["cells"][2]["source"] = ["model = fit(df, rate=0.2)\n"]
        proc = repo.merge_branches(base, ours, theirs)
        assert proc.returncode == 1
        assert "CONFLICT (content): Merge conflict in nb.ipynb" in proc.stdout
        # The line names long markers by their size.
        assert proc.stderr.endswith("; 1 conflict to resolve between the %s\n" % (
            "%s and %s lines" % ("<" * size, ">" * size) if size < 20 else
            "marker lines of %d '<' and of %d '>'" % (size, size)))
        text = (repo.path / "nb.ipynb").read_bytes()
        assert text == git_merge_file(tmp_path, base, ours, theirs, size)
        assert ("\n%s nb.ipynb-current\n" % ("<" * size)).encode() in text
        assert b"rate=0.2" in text and b"steps=5" in text


class TestSetup:
    def test_install_writes_config_and_attributes(self, repo):
        # Quoted for sh where the path needs it (a Windows path always: its backslashes).
        # The installed package runs, not one from the work tree; where the interpreter is
        # gone, git merge-file merges.
        python = shlex.quote(os.path.abspath(sys.executable))
        assert repo.git("config", "merge.%s.driver" % DRIVER).stdout.strip() == (
            "if command -v {0} >/dev/null 2>&1; then exec {0} -c {1} --marker-size=%L -- %O %A "
            "%B %P; else echo {2}%P' merged as text by git merge-file' >&2; git merge-file "
            "--marker-size=%L -L %P-current -L %P-base -L %P-incoming -- %A %O %B; fi".format(
                python, shlex.quote(git_setup.BOOTSTRAP), shlex.quote(
                    "corvane-merge-driver: the interpreter of the driver line is gone, run "
                    "install again: ")))
        assert repo.git("check-attr", "merge", "--", "x/y.ipynb").stdout == (
            "x/y.ipynb: merge: %s\n" % DRIVER)
        assert repo.git("check-attr", "merge", "--", "y.py").stdout == "y.py: merge: unspecified\n"

    @SHELL_SCRIPT_PROGRAMS  # the Windows runs keep the interpreter itself in a folder with a space
    def test_interpreter_path_with_spaces(self, repo, tmp_path):
        # A launcher in a directory with spaces stands for a virtual environment there.
        launcher = tmp_path / "my envs" / "py thon"
        launcher.parent.mkdir()
        launcher.write_text('#!/bin/sh\nexec "%s" "$@"\n' % sys.executable)
        launcher.chmod(launcher.stat().st_mode | stat.S_IEXEC)
        repo.git("config", "merge.%s.driver" % DRIVER, git_setup.driver_command(str(launcher)))
        ours, theirs = base_notebook(), base_notebook()
        set_param(ours, "epochs", 20)
        set_param(theirs, "epochs", 30)
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 1
        assert "parameters in conflict: epochs" in proc.stderr

    def test_uninstall_restores_plain_git_merges(self, repo):
        repo.write("nb.ipynb", base_notebook())
        repo.commit("base")
        proc = repo.driver("uninstall")
        assert "removed merge.%s.driver" % DRIVER in proc.stdout
        assert repo.git("config", "--get-regexp", "^(merge|diff|mergetool)", check=False).stdout == ""
        assert not (repo.path / ".gitattributes").exists()
        assert repo.git("status", "--porcelain").stdout == " D .gitattributes\n"
        repo.commit("merge notebooks as text again")
        assert repo.git("check-attr", "merge", "--", "nb.ipynb").stdout == (
            "nb.ipynb: merge: unspecified\n")
        assert repo.driver("status", check=False).returncode == 1
