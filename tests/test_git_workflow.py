"""The driver in everyday git: the one-line option, add/add, rebase, cherry-pick, stash, CRLF."""
import json
import os
import re

import pytest

from corvane_git.scripts.merge_driver.git_wiring import settings as git_setup
from notebooks import base_notebook, cell, change, dumps, names, param, set_param


def jupyter(nb, newline="\n"):
    """The bytes Jupyter writes for `nb`."""
    return dumps(nb).replace("\n", newline).encode("utf-8")


def with_cell(nb, comp_id, source):
    nb["cells"].append(cell(comp_id, comp_id, source))
    return nb


def appended(comp_id, source="x = 1\n"):
    """The base notebook with one more component at the end: a line-based merge of two such
    notebooks conflicts, since both sides insert at the same place."""
    return with_cell(base_notebook(), comp_id, source)


class TestOneLine:
    """The merged notebook is in our file's layout (test_layout.py); install --one-line keeps
    the merge's own one-line form."""

    def test_one_line_option(self, make_repo):
        repo = make_repo(install=["--one-line"])
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


def two_branches(repo, ours, theirs):
    repo.write("nb.ipynb", base_notebook())
    repo.commit("base")
    repo.git("checkout", "-q", "-b", "topic")
    repo.write("nb.ipynb", theirs)
    repo.commit("topic")
    repo.git("checkout", "-q", "main")
    repo.write("nb.ipynb", ours)
    repo.commit("main")


def param_conflict():
    ours, theirs = base_notebook(), base_notebook()
    set_param(ours, "epochs", 20)
    set_param(theirs, "epochs", 30)
    return ours, theirs


def replay(repo, command, ours, theirs):
    """Their change put onto ours by `command`; its outcome."""
    if command == "stash pop":
        repo.write("nb.ipynb", base_notebook())
        repo.commit("base")
        repo.write("nb.ipynb", theirs)
        repo.git("stash", "-q")
        repo.write("nb.ipynb", ours)
        repo.commit("main")
        return repo.git("stash", "pop", check=False)
    two_branches(repo, ours, theirs)
    if command == "rebase":
        repo.git("checkout", "-q", "topic")
        return repo.git("rebase", "main", check=False)
    return repo.git("cherry-pick", "topic", check=False)


class TestOtherCommands:
    """Rebase, cherry-pick and stash pop merge through the driver as git merge does: both sides
    append a cell, which a line-based merge could not combine; a conflict stops them."""

    @pytest.mark.parametrize("command", ["rebase", "cherry-pick", "stash pop"])
    def test_clean(self, repo, command):
        proc = replay(repo, command, appended("ours"), appended("theirs"))
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert (repo.path / "nb.ipynb").read_bytes() == jupyter(
            with_cell(appended("ours"), "theirs", "x = 1\n"))
        if command == "rebase":
            assert repo.git("rev-parse", "HEAD~1").stdout == repo.git("rev-parse", "main").stdout
        elif command == "cherry-pick":
            assert len(repo.parents_of_head()) == 1
        else:
            assert repo.git("stash", "list").stdout == ""
            assert repo.git("status", "--porcelain").stdout == " M nb.ipynb\n"

    @pytest.mark.parametrize("command", ["rebase", "cherry-pick", "stash pop"])
    def test_conflict(self, repo, command):
        proc = replay(repo, command, *param_conflict())
        assert proc.returncode != 0
        assert "parameters in conflict: epochs" in proc.stderr
        # In a rebase, "ours" is the branch rebased onto, "theirs" the commit being replayed.
        assert repo.read("nb.ipynb")["metadata"]["canvas"]["parameters"][1:] == [
            dict(param("epochs", 20), name="<<< epochs"),
            dict(param("epochs", 30), name=">>> epochs")]
        if command != "rebase":
            assert "CONFLICT (content): Merge conflict in nb.ipynb" in proc.stdout
        if command == "stash pop":
            assert len(repo.git("stash", "list").stdout.splitlines()) == 1
            return
        merged = repo.read("nb.ipynb")
        merged["metadata"]["canvas"]["parameters"][1:] = [param("epochs", 30)]
        repo.write("nb.ipynb", merged)
        repo.git("add", "nb.ipynb")
        repo.run("git", "-c", "core.editor=true", command.split()[0], "--continue")
        assert repo.git("status", "--porcelain").stdout == ""


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
        # No --color reaches an external diff command; color.diff does, into a pipe too.
        (("-c", "color.diff=always", "diff", "HEAD~", "HEAD"),
         '\x1b[32m    +model = fit(df, steps=3)\x1b[m'),
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


class TestCodeOfTheRepository:
    """git starts the driver and the hook at the top of the work tree: a tracked corvane_git
    folder there must never be imported in place of the installed package."""

    @pytest.mark.parametrize("command", ["merge", "rebase", "cherry-pick", pytest.param(
        "commit", marks=pytest.mark.skipif(os.name == "nt", reason="the hook needs an execute "
                                           "bit that a hook written under Windows does not get"))])
    def test_never_runs(self, tmp_path, make_repo, command):
        repo = make_repo(install=[])
        ran = tmp_path / "ran"
        repo.write("corvane_git/__init__.py", "open(%r, 'a').write('imported\\n')\n" % str(ran))
        repo.write("corvane_git/scripts/__init__.py", "")
        two_branches(repo, appended("ours"), appended("theirs"))
        if command == "commit":
            merged = base_notebook()
            merged["metadata"]["canvas"]["parameters"][1:] = [
                dict(param("epochs", 20), name="<<< epochs"),
                dict(param("epochs", 30), name=">>> epochs")]
            repo.write("nb.ipynb", merged)
            repo.git("add", "nb.ipynb")
            proc = repo.git("commit", "-m", "conflicts", check=False)
            assert proc.returncode == 1 and "parameters in conflict: epochs" in proc.stderr
        else:
            if command == "rebase":
                repo.git("checkout", "-q", "topic")
            proc = repo.git(command, *{"merge": ["--no-edit", "topic"], "rebase": ["main"],
                                       "cherry-pick": ["topic"]}[command], check=False)
            assert proc.returncode == 0, proc.stdout + proc.stderr
            assert names(repo.read("nb.ipynb")) == [None, "load", "train", "plot", "ours",
                                                    "theirs"]
        assert not ran.exists()


class TestInterpreterGone:
    """A driver line whose interpreter is gone (a deleted virtual environment) merges as git does
    without the driver, never leaving our version as a conflict without markers."""

    @pytest.mark.parametrize("theirs_line, size, status", [
        ("plot(model, title='score')\n", 7, 0),
        ("df = pandas.read_csv(other)\n", 11, 1)])
    def test_git_merge_file_merges(self, tmp_path, repo, theirs_line, size, status):
        gone = str(tmp_path / "deleted venv" / "bin" / "python")
        repo.git("config", "merge.corvane-notebook.driver", git_setup.driver_command(gone))
        if size != 7:
            with open(str(repo.path / ".gitattributes"), "a") as f:
                f.write("*.ipynb conflict-marker-size=%d\n" % size)
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "load")["source"] = ["import pandas\n", "df = pandas.read_csv(mine)\n"]
        change(theirs, "plot" if status == 0 else "load")["source"][-1] = theirs_line
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == status, proc.stdout + proc.stderr
        assert ("corvane-merge-driver: the interpreter of the driver line is gone, run install "
                "again: nb.ipynb merged as text by git merge-file\n") in proc.stderr
        text = (repo.path / "nb.ipynb").read_text(encoding="utf-8")
        if status == 0:
            assert change(repo.read("nb.ipynb"), "plot")["source"] == [theirs_line]
            assert len(repo.parents_of_head()) == 2
        else:
            assert "\n%s nb.ipynb-current\n" % ("<" * size) in text
            assert "\n%s nb.ipynb-incoming\n" % (">" * size) in text
            assert "read_csv(mine)" in text and "read_csv(other)" in text

    @pytest.mark.skipif(os.name == "nt", reason="the hook needs an execute bit that a hook "
                        "written under Windows does not get")
    @pytest.mark.parametrize("staged", ["sub/nb.ipynb", "notes.txt"])
    def test_the_hook_says_so(self, tmp_path, make_repo, staged):
        from corvane_git.scripts.merge_driver.git_wiring import hook
        repo = make_repo(install=[])
        gone = str(tmp_path / "deleted venv" / "bin" / "python")
        (repo.path / ".git" / "hooks" / "pre-commit").write_text(hook.hook_text(gone))
        repo.write(staged, base_notebook())
        repo.git("add", staged)
        proc = repo.git("commit", "-m", "nb", check=False)
        if not staged.endswith(".ipynb"):   # nothing for the hook to check
            assert proc.returncode == 0, proc.stderr
            return
        assert (proc.returncode, proc.stderr) == (1, (
            "corvane-merge-driver: the interpreter of the pre-commit hook (%s) is gone: run "
            "install again, or uninstall\n" % gone))
        assert "wrote the pre-commit hook" in repo.driver("install").stdout
        assert repo.git("commit", "-m", "nb", check=False).returncode == 0

    @pytest.mark.parametrize("args, shown", [
        (["diff"], r'^\+ *"renamed_cell\\n"'),
        (["log", "-p", "-1"], r'^\+ *"renamed_cell\\n"'),
    ])
    def test_diff_and_log_show_text(self, tmp_path, repo, args, shown):
        gone = str(tmp_path / "deleted venv" / "bin" / "python")
        for key, value in git_setup.diff_settings(gone):
            repo.git("config", key, value)
        repo.write(".gitattributes", git_setup.DIFF_ATTRIBUTE_LINE + "\n")
        nb = base_notebook()
        repo.write("nb.ipynb", nb)
        repo.commit("base")
        change(nb, "load")["source"] = ["renamed_cell\n"]
        repo.write("nb.ipynb", nb)
        if args[0] == "log":
            repo.commit("sources")
        proc = repo.git(*args, check=False)
        assert proc.returncode == 0, proc.stderr
        assert re.search(shown, proc.stdout, re.M), proc.stdout
        if args == ["diff"]:
            assert proc.stderr == ("corvane-merge-driver: the interpreter of the diff settings "
                                   "is gone, run install again: nb.ipynb shown as text\n")
