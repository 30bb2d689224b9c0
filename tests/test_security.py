"""What a merge does outside the notebook: a private temporary directory that always goes away,
file names that reach nothing but the file system, and a notebook behind a symbolic link."""
import os
import shutil
import stat
import tempfile

import git
import pytest

from corvane_git.scripts.merge_driver import merge_ipynb as m
from conftest import KEPT_MODES, ON_WINDOWS
from isolation import run_driver, snapshot
from notebooks import OsWithoutReplace, ThreeWay, cell, edit, notebook, read, write

BASE = notebook(cell("K", "kname", "a\nb\nc\nd\ne\n"), cell("Q", None, "q\n"))
OURS = edit(BASE, "K", source="a\nb\nOURS\nd\ne\n")
THEIRS = edit(BASE, "K", source="a\nb\nTHEIRS\nd\ne\n")
CLEAN_THEIRS = edit(BASE, "K", source="a\nb\nc\nd\nE\n")


def conflict_lines(label):
    return ["a\n", "b\n", "<<<<<<< %s-current\n" % label, "OURS\n", "=======\n", "THEIRS\n",
            ">>>>>>> %s-incoming\n" % label, "d\n", "e\n"]


class Recorder:
    """A command handle that looks at the temporary directory while the merge runs in it."""

    def __init__(self, outcome=None):
        self.outcome, self.seen = outcome, []

    def merge_file(self, current, base, incoming):
        directory = os.path.dirname(current)
        self.seen.append((directory, stat.S_IMODE(os.stat(directory).st_mode),
                          sorted(os.listdir(directory)), (current, base, incoming)))
        with open(os.path.join(directory, "left-by-the-tool"), "w") as f:
            f.write("x")
        if self.outcome is not None:
            raise self.outcome


class TestTemporaryDirectory:
    @pytest.mark.parametrize("outcome, raised", [
        (None, None),
        (git.GitCommandError(["git", "merge-file"], 1), None),
        (git.GitCommandError(["git", "merge-file"], -9), git.GitCommandError),
        (RuntimeError("the tool broke"), RuntimeError),
    ])
    def test_private_and_removed_on_every_way_out(self, tmp_path, monkeypatch, outcome, raised):
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        handle = Recorder(outcome)
        if raised:
            with pytest.raises(raised) as exc:
                m._merge_source(handle, ["a\n"], ["b\n"], ["c\n"])
            assert exc.value is outcome
        else:
            assert m._merge_source(handle, ["a\n"], ["b\n"], ["c\n"]) == ["a\n"]
        [(directory, mode, files, paths)] = handle.seen
        assert mode == 0o700 or ON_WINDOWS  # there the host's TemporaryDirectory sets its access list
        assert os.path.dirname(directory) == str(tmp_path)
        assert files == ["base", "current", "incoming"]
        assert paths == tuple(os.path.join(directory, n) for n in ("current", "base", "incoming"))
        assert os.listdir(str(tmp_path)) == []

    def test_removed_when_a_line_cannot_be_written(self, tmp_path, monkeypatch):
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        handle = Recorder()
        with pytest.raises(TypeError):
            m._merge_source(handle, ["a\n"], ["b\n", 5], ["c\n"])
        assert handle.seen == [] and os.listdir(str(tmp_path)) == []

    @pytest.mark.skipif(ON_WINDOWS, reason="reads POSIX modes through a shell-script git")
    def test_the_real_tool_sees_a_private_directory(self, tmp_path, monkeypatch, work, private_tmp):
        """A git on PATH that records the mode of the directory of the files it is given."""
        fake = tmp_path / "bin"
        fake.mkdir()
        log = tmp_path / "seen"
        real_git = git.Git.GIT_PYTHON_GIT_EXECUTABLE
        real_git = real_git if os.path.isabs(real_git) else shutil.which(real_git)
        (fake / "git").write_text(
            '#!/bin/sh\nif [ "$1" = merge-file ]; then stat -c "%%a %%n" "$(dirname "$2")" >> %s; '
            'printf "%%s\\n" "$@" >> %s; fi\nexec %s "$@"\n' % (log, log, real_git))
        (fake / "git").chmod(0o755)
        monkeypatch.setenv("PATH", "%s%s%s" % (fake, os.pathsep, os.environ["PATH"]))
        monkeypatch.delenv("GIT_PYTHON_GIT_EXECUTABLE", raising=False)
        tmp = private_tmp
        repeating = edit(BASE, "K", source="a\nb\nb\nc\nd\ne\n")  # git places the repeated line
        three = ThreeWay(work, BASE, repeating, CLEAN_THEIRS)
        three.run()
        mode_line, *args = log.read_text().splitlines()
        directory = mode_line.split(" ", 1)[1]
        assert mode_line == "700 " + directory
        assert os.path.dirname(directory) == str(tmp)
        assert args == ["merge-file"] + [os.path.join(directory, n) for n in ("current", "base", "incoming")]
        assert os.listdir(str(tmp)) == []


# Names that a shell would split, expand, take as an option or end a line at (Windows allows
# no line break, quote, pipe or star in a name: its own odd ones stand there).
if ON_WINDOWS:
    ODD_DIRECTORY = "it's a dir $(touch pwned) `x` ;& %PATH% ^!"
    ODD_NAMES = ["-ours notebook.ipynb", "ünï cödé 😀.ipynb", "--help", "'quoted'", "a;b&c.ipynb"]
else:
    ODD_DIRECTORY = "it's a \"dir\" $(touch pwned) `x` ;|& *"
    ODD_NAMES = ["-ours notebook.ipynb", "with\nnewline.ipynb", "ünï cödé 😀.ipynb", "--help", "'quoted'"]


class TestFileNames:
    @pytest.mark.parametrize("name", ODD_NAMES)
    def test_merge_files_uses_the_names_as_given(self, tmp_path, monkeypatch, name):
        work = tmp_path / ODD_DIRECTORY
        work.mkdir()
        monkeypatch.chdir(str(work))
        paths = ["base " + name, name, "theirs " + name]
        for path, nb in zip(paths, (BASE, OURS, THEIRS)):
            write(path, nb)
        label = os.path.join(str(work), name)
        assert m.merge_files(paths[0], paths[1], paths[2], label) is None
        assert read(name)["cells"][0]["source"] == conflict_lines(label)
        assert sorted(os.listdir(".")) == sorted(paths)

    @pytest.mark.parametrize("name", ODD_NAMES)
    def test_driver_uses_the_names_as_given(self, tmp_path, name):
        work, tmp = tmp_path / ODD_DIRECTORY, tmp_path / "tmp"
        work.mkdir()
        tmp.mkdir()
        paths = ["base " + name, name, "theirs " + name]
        for path, nb in zip(paths, (BASE, OURS, THEIRS)):
            write(str(work / path), nb)
        proc = run_driver(work, tmp, "--", *paths, name)
        assert proc.returncode == 1, proc.stderr
        assert proc.stderr.splitlines()[-1] == "  cells with source conflicts: cell 1 (kname)"
        assert read(str(work / name))["cells"][0]["source"] == conflict_lines(name)
        assert sorted(os.listdir(str(work))) == sorted(paths)
        assert os.listdir(str(tmp)) == []

    @pytest.mark.skipif(ON_WINDOWS, reason="Windows allows no line break in a file name")
    def test_a_failure_names_the_file_on_one_line(self, work, private_tmp):
        tmp = private_tmp
        name = "two\nlines.ipynb"
        for path in ("base.ipynb", "theirs.ipynb"):
            write(str(work / path), BASE)
        (work / name).write_text("{")
        proc = run_driver(work, tmp, "--", "base.ipynb", name, "theirs.ipynb", name)
        # Ours is not JSON: merged as text, clean, and still not JSON.
        assert proc.returncode == 1
        assert proc.stderr == (
            "corvane-merge-driver: two\\nlines.ipynb: merged as text by git merge-file, not cell "
            "by cell (our version is not valid JSON (Expecting property name enclosed in double "
            "quotes: line 1 column 2 (char 1))); the merged text is not valid JSON (JSONDecodeError: "
            "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)): repair "
            "it before git add\n")
        assert (work / name).read_text() == "{"


@pytest.mark.usefixtures("symlinks")
class TestSymbolicLink:
    """Our side's notebook given as a link: the notebook it points at gets the merge, the link stays."""

    @pytest.mark.parametrize("relative", [False, True])
    def test_written_through(self, tmp_path, relative):
        work, real = tmp_path / "work", tmp_path / "real"
        work.mkdir()
        real.mkdir()
        three = ThreeWay(work, BASE, BASE, CLEAN_THEIRS)
        target = real / "ours.ipynb"
        os.replace(three.ours, str(target))
        os.chmod(str(target), KEPT_MODES[0])
        os.symlink(os.path.relpath(str(target), str(work)) if relative else str(target), three.ours)
        link_before = os.readlink(three.ours)
        three.run()
        assert os.path.islink(three.ours) and os.readlink(three.ours) == link_before
        assert read(str(target))["cells"][0]["source"] == CLEAN_THEIRS["cells"][0]["source"]
        assert stat.S_IMODE(os.stat(str(target)).st_mode) == KEPT_MODES[0]
        assert sorted(os.listdir(str(work))) == ["base.ipynb", "ours.ipynb", "theirs.ipynb"]
        assert os.listdir(str(real)) == ["ours.ipynb"]

    def test_a_chain_of_links(self, tmp_path):
        three = ThreeWay(tmp_path, BASE, BASE, CLEAN_THEIRS)
        os.replace(three.ours, str(tmp_path / "target.ipynb"))
        os.symlink("target.ipynb", str(tmp_path / "middle.ipynb"))
        os.symlink("middle.ipynb", three.ours)
        three.run()
        assert os.readlink(three.ours) == "middle.ipynb"
        assert os.readlink(str(tmp_path / "middle.ipynb")) == "target.ipynb"
        assert read(str(tmp_path / "target.ipynb"))["cells"][0]["source"] == CLEAN_THEIRS["cells"][0]["source"]

    def test_a_failed_merge_leaves_link_and_target(self, tmp_path, monkeypatch):
        three = ThreeWay(tmp_path, BASE, BASE, CLEAN_THEIRS)
        os.replace(three.ours, str(tmp_path / "target.ipynb"))
        os.symlink("target.ipynb", three.ours)
        before = snapshot(str(tmp_path))

        monkeypatch.setattr(m, "os", OsWithoutReplace())
        with pytest.raises(PermissionError):
            three.run()
        assert snapshot(str(tmp_path)) == before

    def test_through_the_driver(self, work, private_tmp):
        tmp = private_tmp
        three = ThreeWay(work, BASE, OURS, CLEAN_THEIRS)
        os.replace(three.ours, str(work / "target.ipynb"))
        os.chmod(str(work / "target.ipynb"), KEPT_MODES[0])
        os.symlink("target.ipynb", three.ours)
        proc = run_driver(work, tmp, "base.ipynb", "ours.ipynb", "theirs.ipynb", "nb.ipynb")
        assert (proc.returncode, proc.stderr) == (0, "")
        assert os.readlink(three.ours) == "target.ipynb"
        assert stat.S_IMODE(os.stat(str(work / "target.ipynb")).st_mode) == KEPT_MODES[0]
        assert read(str(work / "target.ipynb"))["cells"][0]["source"] == ["a\n", "b\n", "OURS\n", "d\n", "E\n"]
        assert sorted(os.listdir(str(work))) == ["base.ipynb", "ours.ipynb", "target.ipynb", "theirs.ipynb"]
