"""_merge_source: one cell's source merged by git merge-file in a private temporary directory."""
import os
import sys
import tempfile

import git
import pytest

from conftest import entry, module_entries
from corvane_git.scripts.merge_driver import merge_ipynb as m

FIVE = ["a\n", "b\n", "c\n", "d\n", "e\n"]


@pytest.fixture
def g():
    return git.cmd.Git()


@pytest.fixture(autouse=True)
def tempdir(tmp_path, monkeypatch):
    """A private temporary location; every call must leave it empty, on success and on failure."""
    directory = tmp_path / "tmp"
    directory.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(directory))
    yield directory
    assert os.listdir(str(directory)) == []


class FakeGit:
    """Stands in for git.cmd.Git: records the call and the files, then writes or raises."""

    def __init__(self, write=None, error=None):
        self.write, self.error, self.calls = write, error, []

    def merge_file(self, *args, **kwargs):
        contents = []
        for path in args:
            with open(path, "rb") as f:
                contents.append(f.read())
        self.calls.append((args, kwargs, contents))
        if self.write is not None:
            current, base, incoming = args
            with open(current, "w", encoding="utf-8") as f:
                f.write(self.write(current, base, incoming))
        if self.error is not None:
            raise self.error


def command_error(status):
    return git.GitCommandError(["git", "merge-file"], status, "stderr")


class TestMerges:
    @pytest.mark.parametrize("current, base, incoming, expected", [
        (FIVE, FIVE, ["a\n", "b\n", "C\n", "d\n", "e\n"], ["a\n", "b\n", "C\n", "d\n", "e\n"]),
        (["A\n"] + FIVE[1:], FIVE, FIVE, ["A\n"] + FIVE[1:]),
        (["A\n"] + FIVE[1:], FIVE, FIVE[:4] + ["E\n"], ["A\n", "b\n", "c\n", "d\n", "E\n"]),
        ([], [], [], []),
        (["x\n", "a\n", "b"], ["y\n", "a\n", "b"], ["y\n", "a\n", "b"], ["x\n", "a\n", "b"]),
        (["a\r\n", "b\n"], ["a\r\n", "b\n"], ["a\r\n", "b\n"], ["a\n", "b\n"]),
        (["a\rb\n"], ["a\rb\n"], ["a\rb\n"], ["a\n", "b\n"]),
        ("a\nb\n", "a\nb\n", "a\nB\n", ["a\n", "B\n"]),
        (["ü = 'ß'\n"], ["u = 1\n"], ["u = 1\n"], ["ü = 'ß'\n"]),
    ], ids=["theirs only", "ours only", "both, apart", "empty", "no final line feed", "CR LF",
            "lone CR", "one string", "non-ASCII"])
    def test_clean(self, g, current, base, incoming, expected):
        inputs = [list(current), list(base), list(incoming)]
        assert m._merge_source(g, current, base, incoming, "cur", "inc") == expected
        assert [list(current), list(base), list(incoming)] == inputs

    def test_conflict_is_labelled(self, g):
        result = m._merge_source(g, FIVE[:2] + ["X\n"] + FIVE[3:], FIVE, FIVE[:2] + ["Y\n"] + FIVE[3:],
                                 current_name="nb.ipynb-current", incoming_name="nb.ipynb-incoming")
        assert result == ["a\n", "b\n", "<<<<<<< nb.ipynb-current\n", "X\n", "=======\n", "Y\n",
                          ">>>>>>> nb.ipynb-incoming\n", "d\n", "e\n"]

    @pytest.mark.parametrize("names", [(), (None, None), ("", "")])
    def test_without_names_the_labels_are_the_temporary_paths(self, g, tempdir, names):
        result = m._merge_source(g, ["X\n"], ["a\n"], ["Y\n"], *names)
        opening, closing = result[0], result[-1]
        assert opening.startswith("<<<<<<< " + str(tempdir)) and opening.endswith(os.sep + "current\n")
        assert closing.startswith(">>>>>>> " + str(tempdir)) and closing.endswith(os.sep + "incoming\n")
        assert not os.path.exists(opening[len("<<<<<<< "):-1])

    def test_files_and_call(self):
        fake = FakeGit(write=lambda c, b, i: "%s %s\n%s|%s|%s\n" % (c, c, b, i, c))
        result = m._merge_source(fake, ["o\n", "ü"], ["b"], "in", "NAME", "THEIRS")
        [(args, kwargs, contents)] = fake.calls
        directory = os.path.dirname(args[0])
        assert args == tuple(os.path.join(directory, n) for n in ("current", "base", "incoming"))
        assert kwargs == {} and contents == [b"o\n\xc3\xbc", b"b", b"in"]
        # Every occurrence of the two paths is replaced, in every line; the base path stays.
        assert result == ["NAME NAME\n", "%s|THEIRS|NAME\n" % args[1]]

    def test_names_only_when_true(self):
        fake = FakeGit(write=lambda c, b, i: "%s %s\n" % (c, i))
        [line] = m._merge_source(fake, [], [], [], "", "THEIRS")
        assert line == "%s THEIRS\n" % fake.calls[0][0][0]


    def test_arguments_keep_their_references(self):
        fake = FakeGit(write=lambda c, b, i: "x\n")
        args = (["o\n"], ["b\n"], ["i\n"], "cur", "inc")
        counts = [sys.getrefcount(a) for a in args]
        for _ in range(100):
            m._merge_source(fake, *args)
            with pytest.raises(TypeError):
                m._merge_source(fake, args[0], [1], *args[2:])
        assert [sys.getrefcount(a) for a in args] == counts


class TestCommandFailures:
    @pytest.mark.parametrize("status", [1, 5, 127])
    def test_conflict_statuses_are_dropped(self, status):
        fake = FakeGit(write=lambda c, b, i: "merged\n", error=command_error(status))
        assert m._merge_source(fake, ["o\n"], ["b\n"], ["i\n"]) == ["merged\n"]

    def test_a_derived_error_counts(self):
        class Derived(git.GitCommandError):
            pass

        fake = FakeGit(error=Derived(["git"], 3))
        assert m._merge_source(fake, ["ours\n"], ["b\n"], ["i\n"]) == ["ours\n"]

    @pytest.mark.parametrize("status", [0, 128, 255, -1, "exit code(1)", None])
    def test_other_statuses_propagate(self, status):
        error = command_error(status)
        with pytest.raises(git.GitCommandError) as exc:
            m._merge_source(FakeGit(error=error), ["o\n"], ["b\n"], ["i\n"])
        assert exc.value is error
        assert module_entries(exc.value) == [entry("_merge_source", 41)]

    def test_other_errors_propagate(self):
        with pytest.raises(OSError, match="^no git$"):
            m._merge_source(FakeGit(error=OSError("no git")), [], [], [])

    def test_binary_source_is_refused(self, g):
        with pytest.raises(git.GitCommandError) as exc:
            m._merge_source(g, ["a\n", "b\n"], ["a\n"], ["a\n", "\0\n"])
        assert exc.value.status == 255

    def test_except_clause_failing_reports_its_own_error(self, monkeypatch):
        monkeypatch.setattr(m, "git", object())
        original = command_error(1)
        with pytest.raises(AttributeError) as exc:
            m._merge_source(FakeGit(error=original), [], [], [])
        assert str(exc.value) == "'object' object has no attribute 'GitCommandError'"
        assert exc.value.__context__ is original
        assert module_entries(exc.value) == [entry("_merge_source", 42)]


class TestInputFailures:
    @pytest.mark.parametrize("position, line", [(1, 37), (2, 38), (3, 39)])
    def test_non_string_line(self, g, position, line):
        args = [["a\n"], ["a\n"], ["a\n"]]
        args[position - 1] = ["a\n", 7]
        with pytest.raises(TypeError) as exc:
            m._merge_source(g, *args)
        assert str(exc.value) == "sequence item 1: expected str instance, int found"
        assert module_entries(exc.value) == [entry("_merge_source", line)]

    def test_true_name_that_is_no_string(self, g):
        with pytest.raises(TypeError) as exc:
            m._merge_source(g, ["a\n"], ["a\n"], ["a\n"], 5)
        assert module_entries(exc.value) == [entry("_merge_source", 50)]

    def test_text_that_utf8_cannot_hold(self, g):
        with pytest.raises(UnicodeEncodeError):
            m._merge_source(g, ["\ud800\n"], [], [])
