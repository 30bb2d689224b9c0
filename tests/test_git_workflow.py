"""The driver in everyday git: Jupyter's layout kept, add/add, rebase, cherry-pick, stash, CRLF."""
import json

import pytest

from corvane_git.scripts.merge_driver import git_setup
from test_git_driver import Repo, base_notebook, cell, change, names, param, set_param
from test_git_driver import git_env, repo  # noqa: F401 (fixtures)


def jupyter(nb, newline="\n"):
    """The bytes Jupyter writes for `nb`."""
    return (json.dumps(nb, indent=1, ensure_ascii=False) + "\n").replace("\n", newline).encode(
        "utf-8")


def changed_lines(repo, *revs):
    """The removed and added lines of `git diff` between the revisions, for nb.ipynb (its
    JSON text, not the cell view)."""
    out = repo.git("diff", "--no-ext-diff", "--no-textconv", *revs, "--",
                   "nb.ipynb").stdout.splitlines()
    return [l for l in out if l[:1] in "+-" and not l.startswith(("+++", "---"))]


def with_cell(nb, comp_id, source):
    nb["cells"].append(cell(comp_id, comp_id, source))
    return nb


def appended(comp_id, source="x = 1\n"):
    """The base notebook with one more component at the end: a line-based merge of two such
    notebooks conflicts, since both sides insert at the same place."""
    return with_cell(base_notebook(), comp_id, source)


class TestJupyterLayout:
    def test_diff_of_a_merge_shows_only_the_changed_lines(self, repo):
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "load")["source"] = ["import pandas as pd\n", "df = pd.read_csv(path)\n"]
        change(theirs, "plot")["source"] = ["plot(model, title='Größe')\n"]
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert changed_lines(repo, "HEAD~1", "HEAD") == [
            '-    "plot(model)\\n"', '+    "plot(model, title=\'Größe\')\\n"']
        expected = base_notebook()
        change(expected, "load")["source"] = ours["cells"][1]["source"]
        change(expected, "plot")["source"] = theirs["cells"][3]["source"]
        assert (repo.path / "nb.ipynb").read_bytes() == jupyter(expected)

    def test_merge_that_keeps_our_notebook_leaves_it_byte_identical(self, repo):
        # Their change is one that we made too; ours also changed a parameter.
        ours, theirs = base_notebook(), base_notebook()
        for nb in (ours, theirs):
            change(nb, "train")["source"] = ["model = fit(df, steps=3)\n"]
        set_param(ours, "alpha", 0.2)
        change(ours, "notes")["source"] = ["# Notizen über Größen\n"]
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert len(repo.parents_of_head()) == 2
        assert (repo.path / "nb.ipynb").read_bytes() == jupyter(ours)
        assert changed_lines(repo, "HEAD~1", "HEAD") == []

    def test_conflict_is_left_in_jupyters_layout(self, repo):
        ours, theirs = base_notebook(), base_notebook()
        set_param(ours, "epochs", 20)
        set_param(theirs, "epochs", 30)
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 1
        assert changed_lines(repo, "HEAD") == [
            '-     "name": "epochs",', '+     "name": "<<< epochs",', '+    },', '+    {',
            '+     "name": ">>> epochs",', '+     "type": "int",', '+     "value": 30']

    def test_one_line_option(self, tmp_path, git_env):
        repo = Repo(tmp_path / "repo", git_env)
        repo.driver("install", "--one-line")
        assert repo.git("config", "merge.corvane-notebook.driver").stdout.strip() == (
            git_setup.driver_command(one_line=True))
        ours, theirs = base_notebook(), base_notebook()
        set_param(ours, "alpha", 0.2)
        change(theirs, "notes")["source"] = ["# Größen\n"]
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        set_param(theirs, "alpha", 0.2)
        assert (repo.path / "nb.ipynb").read_bytes() == json.dumps(theirs).encode("ascii")
        # Installing again without the option brings the layout back.
        assert "set merge.corvane-notebook.driver" in repo.driver("install").stdout
        assert "--keep-one-line" not in repo.git("config", "merge.corvane-notebook.driver").stdout


class TestAddedOnBothBranches:
    def add_on_both(self, repo, ours, theirs):
        repo.write("README", "notebooks\n")
        repo.commit("start")
        repo.git("checkout", "-q", "-b", "theirs")
        repo.write("nb.ipynb", theirs)
        repo.commit("theirs adds the notebook")
        repo.git("checkout", "-q", "main")
        repo.write("nb.ipynb", ours)
        repo.commit("we add the notebook")
        return repo.git("merge", "--no-edit", "theirs", check=False)

    def test_clean(self, repo):
        proc = self.add_on_both(repo, appended("ours"), appended("theirs"))
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert len(repo.parents_of_head()) == 2
        assert names(repo.read("nb.ipynb")) == [None, "load", "train", "plot", "ours", "theirs"]

    def test_conflict(self, repo):
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "notes")["source"] = ["# Notes\n", "ours\n"]
        change(theirs, "notes")["source"] = ["# Notes\n", "theirs\n"]
        proc = self.add_on_both(repo, ours, theirs)
        assert proc.returncode == 1
        assert "CONFLICT (add/add): Merge conflict in nb.ipynb" in proc.stdout
        assert "cells with source conflicts: cell 1" in proc.stderr
        merged = repo.read("nb.ipynb")
        assert names(merged) == [None, "load", "train", "plot"]
        assert merged["cells"][0]["source"] == [
            "# Notes\n", "<<<<<<< nb.ipynb-current\n", "ours\n", "=======\n", "theirs\n",
            ">>>>>>> nb.ipynb-incoming\n"]


class TestOtherCommands:
    """Rebase, cherry-pick and stash pop merge through the driver as git merge does: both sides
    append a cell, which a line-based merge could not combine."""

    def two_branches(self, repo, ours, theirs):
        repo.write("nb.ipynb", base_notebook())
        repo.commit("base")
        repo.git("checkout", "-q", "-b", "topic")
        repo.write("nb.ipynb", theirs)
        repo.commit("topic")
        repo.git("checkout", "-q", "main")
        repo.write("nb.ipynb", ours)
        repo.commit("main")

    @staticmethod
    def param_conflict():
        ours, theirs = base_notebook(), base_notebook()
        set_param(ours, "epochs", 20)
        set_param(theirs, "epochs", 30)
        return ours, theirs

    def test_rebase(self, repo):
        self.two_branches(repo, appended("ours"), appended("theirs"))
        repo.git("checkout", "-q", "topic")
        proc = repo.git("rebase", "main", check=False)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert repo.git("rev-parse", "HEAD~1").stdout == repo.git("rev-parse", "main").stdout
        assert names(repo.read("nb.ipynb")) == [None, "load", "train", "plot", "ours", "theirs"]
        assert (repo.path / "nb.ipynb").read_bytes() == jupyter(
            with_cell(appended("ours"), "theirs", "x = 1\n"))

    def test_rebase_stops_on_a_conflict(self, repo):
        self.two_branches(repo, *self.param_conflict())
        repo.git("checkout", "-q", "topic")
        proc = repo.git("rebase", "main", check=False)
        assert proc.returncode != 0
        assert "parameters in conflict: epochs" in proc.stderr
        # In a rebase, "ours" is the branch rebased onto, "theirs" the commit being replayed.
        assert repo.read("nb.ipynb")["metadata"]["canvas"]["parameters"][1:] == [
            dict(param("epochs", 20), name="<<< epochs"),
            dict(param("epochs", 30), name=">>> epochs")]
        merged = repo.read("nb.ipynb")
        merged["metadata"]["canvas"]["parameters"][1:] = [param("epochs", 30)]
        repo.write("nb.ipynb", merged)
        repo.git("add", "nb.ipynb")
        repo.run("git", "-c", "core.editor=true", "rebase", "--continue")
        assert repo.git("status", "--porcelain").stdout == ""

    def test_cherry_pick(self, repo):
        self.two_branches(repo, appended("ours"), appended("theirs"))
        proc = repo.git("cherry-pick", "topic", check=False)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert names(repo.read("nb.ipynb")) == [None, "load", "train", "plot", "ours", "theirs"]
        assert len(repo.parents_of_head()) == 1

    def test_cherry_pick_conflict(self, repo):
        self.two_branches(repo, *self.param_conflict())
        proc = repo.git("cherry-pick", "topic", check=False)
        assert proc.returncode != 0
        assert "CONFLICT (content): Merge conflict in nb.ipynb" in proc.stdout
        assert "parameters in conflict: epochs" in proc.stderr

    def stash_over(self, repo, committed, stashed):
        repo.write("nb.ipynb", base_notebook())
        repo.commit("base")
        repo.write("nb.ipynb", stashed)
        repo.git("stash", "-q")
        repo.write("nb.ipynb", committed)
        repo.commit("main")
        return repo.git("stash", "pop", check=False)

    def test_stash_pop(self, repo):
        proc = self.stash_over(repo, appended("ours"), appended("theirs"))
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert names(repo.read("nb.ipynb")) == [None, "load", "train", "plot", "ours", "theirs"]
        assert repo.git("stash", "list").stdout == ""
        assert repo.git("status", "--porcelain").stdout == " M nb.ipynb\n"

    def test_stash_pop_conflict_keeps_the_stash(self, repo):
        proc = self.stash_over(repo, *self.param_conflict())
        assert proc.returncode != 0
        assert "CONFLICT (content): Merge conflict in nb.ipynb" in proc.stdout
        assert "parameters in conflict: epochs" in proc.stderr
        assert [p["name"] for p in repo.read("nb.ipynb")["metadata"]["canvas"]["parameters"]] == [
            "alpha", "<<< epochs", ">>> epochs"]
        assert len(repo.git("stash", "list").stdout.splitlines()) == 1


class TestCRLF:
    @pytest.mark.parametrize("setting, stored", [
        ("core.autocrlf", "lf"), ("eol attribute", "lf"), ("CRLF in the blob", "crlf")])
    def test_merged_notebook_keeps_crlf(self, repo, setting, stored):
        newline = "\r\n"
        if setting == "core.autocrlf":
            repo.git("config", "core.autocrlf", "true")
        elif setting == "eol attribute":
            with open(str(repo.path / ".gitattributes"), "a") as f:
                f.write("*.ipynb text eol=crlf\n")
        ours, theirs = appended("ours"), appended("theirs")
        change(ours, "load")["source"] = ["import pandas as pd\n"]
        text = lambda nb: jupyter(nb, newline).decode("utf-8")
        proc = repo.merge_branches(text(base_notebook()), text(ours), text(theirs))
        assert proc.returncode == 0, proc.stdout + proc.stderr
        expected = with_cell(appended("ours"), "theirs", "x = 1\n")
        change(expected, "load")["source"] = ["import pandas as pd\n"]
        assert (repo.path / "nb.ipynb").read_bytes() == jupyter(expected, newline)
        assert repo.git("status", "--porcelain").stdout == ""
        assert repo.git("ls-files", "--eol", "nb.ipynb").stdout.split()[:2] == [
            "i/" + stored, "w/crlf"]


class TestCellView:
    """After install, git's own commands show notebook changes cell by cell."""

    @pytest.mark.parametrize("command, shown", [
        (("diff", "HEAD~", "HEAD"), 'cell 3 [code] component "train": changed'),
        (("diff", "--cached"), 'cell 2 [code] component "load": changed'),
        (("diff",), 'cell 2 [code] component "load": changed'),
        (("log", "-p", "-1"), " [code] component train\n   parents: load\n-    model = fit(df)\n"),
        (("show", "HEAD"), "+    model = fit(df, steps=3)\n"),
        # git stash show -p runs neither a diff driver nor textconv unless told to.
        (("stash", "show", "-p", "--ext-diff"), 'cell 2 [code] component "load": changed'),
        (("diff", "--no-ext-diff", "--no-textconv", "HEAD~", "HEAD"),
         '-    "model = fit(df)\\n",\n+    "model = fit(df, steps=3)\\n",\n'),
        (("log", "-p", "-1", "--no-textconv"), '-    "model = fit(df)\\n",\n'),
    ])
    def test_git_shows_cells(self, repo, command, shown):
        repo.write("nb.ipynb", base_notebook())
        repo.commit("base")
        nb = base_notebook()
        change(nb, "train")["source"] = ["model = fit(df, steps=3)\n", "score = model.score(df)\n"]
        repo.write("nb.ipynb", nb)
        repo.commit("steps")
        if command[0] == "stash":
            change(nb, "load")["source"] = ["import polars\n"]
            repo.write("nb.ipynb", nb)
            repo.git("stash", "-q")
        elif command != ("diff", "HEAD~", "HEAD") and "HEAD" not in command:
            change(nb, "load")["source"] = ["import polars\n"]
            repo.write("nb.ipynb", nb)
            if command == ("diff", "--cached"):
                repo.git("add", "nb.ipynb")
                change(nb, "plot")["source"] = ["plot(df)\n"]   # not staged: not shown
                repo.write("nb.ipynb", nb)
        out = repo.git(*command).stdout
        assert shown in out, out
        assert ("component" in out) != ("--no-textconv" in command)
