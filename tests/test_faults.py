"""Faults around a merge: git missing, killed or failing, a file system that is read-only or full,
the host's json failing midway. Every time our notebook stays as it was, nothing is left behind,
and the error reaches the caller (the driver: exit 2 with one line; these are failures of the
machine, not of the notebooks, so the driver does not merge them as text instead)."""
import json
import os
import shutil

import git
import pytest

from corvane_git.scripts.merge_driver import merge_ipynb as m
from conftest import NO_SIGNALS
from isolation import PROG, SmallFileSystem, cannot_merge, run_driver, snapshot
from notebooks import ThreeWay, cell, edit, notebook

BASE = notebook(cell("K", "kname", "a\nb\nc\nd\ne\n"), cell("Q", None, "q\n"))
OURS = edit(BASE, "K", source="a\nb\nb\nc\nd\ne\n")
THEIRS = edit(BASE, "K", source="a\nb\nc\nd\nE\n")   # both changed K, ours repeating a line
# that git may place either side of its twin: git merge-file runs
ARGS = ("base.ipynb", "ours.ipynb", "theirs.ipynb", "nb.ipynb")


@pytest.fixture
def place(work, private_tmp, monkeypatch):
    """The three notebooks in work/, a private temporary directory, and what work/ holds."""
    tmp = private_tmp
    monkeypatch.delenv("GIT_PYTHON_GIT_EXECUTABLE", raising=False)
    three = ThreeWay(work, BASE, OURS, THEIRS)
    return three, str(work), str(tmp), snapshot(str(work))


def untouched(work, tmp, before):
    return snapshot(work) == before and os.listdir(tmp) == []


def fake_git(directory, merge_file_action):
    """A git on PATH whose merge-file runs `merge_file_action` (shell text); other commands go to
    the real git. Returns the PATH that finds it first.

    On Windows this needs the git.exe that runs a Linux git under Wine (tools/wine/git.c): a copy
    of it runs the shell text of a file "git.action" beside it."""
    directory.mkdir()
    real = shutil.which("git")
    if os.name == "nt":
        with open(real, "rb") as f:
            if b"__wine_unix_spawnvp" not in f.read():
                pytest.skip("a faulty git on Windows is made from the Wine test git only")
        shutil.copy(real, str(directory / "git.exe"))
        (directory / "git.action").write_text(merge_file_action)
        return "%s%s%s" % (directory, os.pathsep, os.environ["PATH"])
    script = directory / "git"
    script.write_text('#!/bin/sh\nif [ "$1" = merge-file ]; then\n%s\nfi\nexec %s "$@"\n'
                      % (merge_file_action, real))
    script.chmod(0o755)
    return "%s%s%s" % (directory, os.pathsep, os.environ["PATH"])


# How git merge-file fails: the shell action, the exit status merge_files's error carries (minus a
# signal's number), and the driver's cause.
GIT_FAULTS = {
    "killed": ("kill -9 $$", -9, "git merge-file was killed by signal 9"),
    "aborted": ("ulimit -c 0; kill -ABRT $$", -6, "git merge-file was killed by signal 6"),
    "refused": ('echo "fatal: cannot read the files" >&2; exit 128', 128,
                "git merge-file failed (exit status 128): fatal: cannot read the files"),
    "half written, then failed": ('echo "<<<<<<< half" > "$2"; echo "error: out of memory" >&2; exit 255', 255,
                                  "git merge-file failed (exit status 255): error: out of memory"),
}


SIGNALLED = ("aborted", "killed")
FAULT_ROWS = [pytest.param(f, marks=NO_SIGNALS) if f in SIGNALLED else f for f in sorted(GIT_FAULTS)]


class TestGit:
    @pytest.mark.parametrize("fault", FAULT_ROWS)
    def test_merge_file_fails(self, place, tmp_path, monkeypatch, fault):
        three, work, tmp, before = place
        action, status, _ = GIT_FAULTS[fault]
        monkeypatch.setenv("PATH", fake_git(tmp_path / "bin", action))
        with pytest.raises(git.GitCommandError) as exc:
            three.run()
        assert exc.value.status == status
        assert untouched(work, tmp, before)

    @pytest.mark.parametrize("fault", FAULT_ROWS)
    def test_driver_exits_2(self, place, tmp_path, fault):
        three, work, tmp, before = place
        action, _, cause = GIT_FAULTS[fault]
        proc = run_driver(work, tmp, *ARGS, PATH=fake_git(tmp_path / "bin", action))
        assert proc.returncode == 2
        assert proc.stderr == cannot_merge(cause)
        assert untouched(work, tmp, before)

    def test_git_missing_from_path(self, place, tmp_path, monkeypatch):
        three, work, tmp, before = place
        (tmp_path / "empty").mkdir()
        monkeypatch.setenv("PATH", str(tmp_path / "empty"))
        with pytest.raises(git.GitCommandNotFound):
            three.run()
        assert untouched(work, tmp, before)

    def test_a_conflict_is_no_fault(self, place, tmp_path, monkeypatch):
        """An exit status of 1 to 127 counts conflicts: the merge goes on with what the tool left."""
        three, work, tmp, _ = place
        monkeypatch.setenv("PATH", fake_git(tmp_path / "bin", 'echo "tool text" > "$2"; exit 3'))
        three.run()
        assert three.result()["cells"][0]["source"] == ["tool text\n"]
        assert os.listdir(tmp) == []


@pytest.fixture
def small_fs(tmp_path):
    fs = SmallFileSystem(tmp_path / "fs", 1024 * 1024)
    if not fs.available:
        pytest.skip("cannot mount a tmpfs here (needs Linux and root)")
    yield fs
    fs.unmount()


class TestFileSystem:
    """The notebooks on a tmpfs of their own that is then made read-only or filled up."""

    @pytest.mark.parametrize("fault, errno", [("read_only", 30), ("fill", 28)])
    def test_merge_files(self, small_fs, private_tmp, fault, errno):
        three, tmp = ThreeWay(small_fs.path, BASE, OURS, THEIRS), str(private_tmp)
        getattr(small_fs, fault)()
        before = snapshot(small_fs.path)
        with pytest.raises(OSError) as exc:
            three.run()
        assert exc.value.errno == errno
        assert untouched(small_fs.path, tmp, before)

    @pytest.mark.parametrize("fault, cause", [
        ("read_only", "cannot write the merged notebook beside our version (ours.ipynb): "
                      "Read-only file system"),
        ("fill", "cannot write the merged notebook beside our version (ours.ipynb): "
                 "No space left on device")])
    def test_driver(self, small_fs, private_tmp, fault, cause):
        tmp = str(private_tmp)
        ThreeWay(small_fs.path, BASE, OURS, THEIRS)
        getattr(small_fs, fault)()
        before = snapshot(small_fs.path)
        proc = run_driver(small_fs.path, tmp, *ARGS)
        assert proc.returncode == 2
        assert proc.stderr == cannot_merge(cause)
        assert untouched(small_fs.path, tmp, before)

    def test_full_halfway_through_the_merged_notebook(self, small_fs, private_tmp):
        """Room for half of it: the temporary file is cut short and removed, ours stays whole."""
        tmp = private_tmp
        long_source = "".join("line %04d of a long cell, long enough to take room\n" % n for n in range(2000))
        base = edit(BASE, "Q", source=long_source)
        three = ThreeWay(small_fs.path, base, edit(base, "K", source="A\nb\nc\nd\ne\n"),
                         edit(base, "K", source="a\nb\nc\nd\nE\n"))
        size = os.path.getsize(three.ours)
        small_fs.fill(leave=size // 2)
        before = snapshot(small_fs.path)
        with pytest.raises(OSError) as exc:
            three.run()
        assert exc.value.errno == 28
        assert untouched(small_fs.path, str(tmp), before)


class Boom(Exception):
    pass


class FailingJson:
    """The host's json, failing at the `failing`-th call of `load`, or in `dump` after writing
    half a document."""

    def __init__(self, failing_load=None, failing_dump=False):
        self.loads, self.failing_load, self.failing_dump = 0, failing_load, failing_dump
        self.error = Boom("json gave up")

    def load(self, fp):
        self.loads += 1
        if self.loads == self.failing_load:
            fp.read(10)
            raise self.error
        return json.load(fp)

    def dump(self, obj, fp):
        if self.failing_dump:
            fp.write(json.dumps(obj)[:100])
            raise self.error
        json.dump(obj, fp)


class TestHostJson:
    @pytest.mark.parametrize("stand_in", [
        FailingJson(failing_load=1), FailingJson(failing_load=3), FailingJson(failing_dump=True)],
        ids=["reading ours", "reading theirs", "writing"])
    def test_failure_midway_reaches_the_caller(self, place, monkeypatch, stand_in):
        three, work, tmp, before = place
        monkeypatch.setattr(m, "json", stand_in)
        with pytest.raises(Boom) as exc:
            three.run()
        assert exc.value is stand_in.error
        assert untouched(work, tmp, before)

    @pytest.mark.parametrize("broken, error, text", [
        ("no dump", AttributeError, "type object 'Nothing' has no attribute 'dump'"),
        ("no json", NameError, "name 'json' is not defined"),
    ])
    def test_json_gone(self, place, monkeypatch, broken, error, text):
        three, work, tmp, before = place

        class Nothing:
            load = staticmethod(json.load)

        if broken == "no json":
            monkeypatch.delattr(m, "json")
        else:
            monkeypatch.setattr(m, "json", Nothing)
        with pytest.raises(error) as exc:
            three.run()
        assert str(exc.value) == text
        assert untouched(work, tmp, before)
