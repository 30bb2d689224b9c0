"""The handle merge_files makes gives every source merge the result git's own wrapper gives."""
import os
import tempfile

import git
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane_git.scripts.merge_driver import merge_ipynb as m
from notebooks import FILE_PATH, cell, edit, find, notebook, ThreeWay
from test_faults import fake_git


@pytest.fixture(scope="module")
def handle(tmp_path_factory):
    """The handle merge_files passes to _merge_source, caught on its way there."""
    caught = []
    original = m._merge_source
    m._merge_source = lambda g, *a, **k: caught.append(g) or original(g, *a, **k)
    try:
        base = notebook(cell("K", "k", "a\nb\nc\n"))
        ThreeWay(tmp_path_factory.mktemp("merge"), base, edit(base, "K", source="a\nB\nc\n"),
                 edit(base, "K", source="a\nb\nC\n")).run()
    finally:
        m._merge_source = original
    assert caught and not isinstance(caught[0], git.cmd.Git)
    return caught[0]


def outcome(g, *args, **kwargs):
    try:
        return "ok", m._merge_source(g, *args, **kwargs)
    except Exception as exc:  # compared below, type and text
        return type(exc).__name__, str(exc).split("\n")[0] if not isinstance(exc, git.GitCommandError) else exc.status


BASE = ["a\n", "b\n", "c\n", "d\n", "e\n"]
CASES = {
    "clean": (["a\n", "B\n", "c\n", "d\n", "e\n"], BASE, ["a\n", "b\n", "c\n", "d\n", "E\n"]),
    "conflict": (["a\n", "X\n", "c\n", "d\n", "e\n"], BASE, ["a\n", "Y\n", "c\n", "d\n", "e\n"]),
    "only theirs": (BASE, BASE, ["a\n", "b\n", "c\n"]),
    "empty": ([], [], []),
    "one string": ("a\nB\nc\nd\ne\n", "".join(BASE), "a\nb\nc\nd\nE\n"),
    "no final newline": (["a\n", "b"], ["a\n", "b"], ["a\n", "b", "\n", "c"]),
    "crlf and lone cr": (["a\r\n", "b\r", "c\n"], ["a\r\n", "b\r", "c\n"], ["a\r\n", "b\r", "c\n", "d"]),
    "non-ascii": (["ä\n", "日本\n", "😀\n"], ["ä\n", "日\n", "😀\n"], ["ä\n", "日\n", "😀!\n"]),
    "nul byte": (BASE, BASE, ["a\x00\n"]),
    "not a string": ([1], BASE, BASE),
    "lone surrogate": (["\ud800\n"], BASE, BASE),
}


@pytest.mark.parametrize("names", [{}, {"current_name": "nb-current", "incoming_name": "nb-incoming"},
                                   {"current_name": "", "incoming_name": None}])
@pytest.mark.parametrize("case", sorted(CASES))
def test_same_result_as_the_git_package(handle, case, names, tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    import tempfile
    monkeypatch.setattr(tempfile, "tempdir", None)
    current, base, incoming = CASES[case]
    kind, value = outcome(handle, current, base, incoming, **names)
    expected_kind, expected = outcome(git.cmd.Git(), current, base, incoming, **names)
    if names.get("current_name") or kind != "ok":
        assert (kind, value) == (expected_kind, expected)
    else:
        # Without labels the marker lines name the temporary files, which differ between calls.
        strip = lambda lines: [l.split(" ")[0] if l.startswith(("<<<<<<<", ">>>>>>>")) else l for l in lines]
        assert (kind, strip(value)) == (expected_kind, strip(expected))
    assert os.listdir(str(tmp_path)) == []


def test_conflict_labels_replace_every_occurrence(handle, tmp_path, monkeypatch):
    result = m._merge_source(handle, *CASES["conflict"], current_name="left", incoming_name="right")
    assert result == ["a\n", "<<<<<<< left\n", "X\n", "=======\n", "Y\n", ">>>>>>> right\n", "c\n", "d\n", "e\n"]


@pytest.mark.parametrize("named", [False, True], ids=["on PATH", "by its path"])
def test_git_missing_raises_the_git_package_error(handle, monkeypatch, tmp_path, named):
    """Also for a merge that would be made without git."""
    monkeypatch.setenv("PATH", "/nonexistent")
    if named:
        monkeypatch.setenv("GIT_PYTHON_GIT_EXECUTABLE", str(tmp_path / "missing" / "git"))
    else:
        monkeypatch.delenv("GIT_PYTHON_GIT_EXECUTABLE", raising=False)
    with pytest.raises(git.GitCommandNotFound):
        m._merge_source(handle, *CASES["clean"])
    with pytest.raises(git.GitCommandNotFound):
        handle.merge_file("a", "b", "c")


def test_merge_file_method_reports_status_like_the_git_package(handle, tmp_path):
    for name, text in (("x", "a\nX\n"), ("b", "a\nb\n"), ("y", "a\nY\n")):
        (tmp_path / name).write_text(text)
    paths = [str(tmp_path / n) for n in "xby"]
    with pytest.raises(git.GitCommandError) as exc:
        handle.merge_file(*paths)
    assert exc.value.status == 1 and exc.value.command == ["git", "merge-file"] + paths


L = ["l%d\n" % i for i in range(8)]
# Edits git would merge in one way only, made without it, and the nearest that git must make.
#                    ours, base, theirs, made without git
WITHOUT_GIT = {
    "apart": (["X\n"] + L[1:], L, L[:6] + ["Y\n", "l7\n"], True),
    "one line between": (["X\n"] + L[1:], L, L[:2] + ["Y\n"] + L[3:], True),
    "touching": (["X\n"] + L[1:], L, L[:1] + ["Y\n"] + L[2:], False),
    "inserted apart": (L[:1] + ["X\n"] + L[1:], L, L[:5] + L[6:], True),
    "inserted at a change": (L[:2] + ["X\n"] + L[2:], L, L[:2] + ["Y\n"] + L[3:], False),
    "last line without its end": (["X\n"] + L[1:7] + ["end"], L[:7] + ["end"], L[:7] + ["END"], True),
    "a repeated line may slide up": (L[:3] + ["l2\n"] + L[3:], L, L[:7] + ["Y\n"], False),
    "a repeated line may slide down": (L[:3] + ["l3\n"] + L[3:], L, L[:7] + ["Y\n"], False),
    "a changed stretch keeps a line": (["X\n", "l1\n", "Z\n"] + L[2:], L, L[:7] + ["Y\n"], False),
    "only theirs changed": (L, L, L[:3] + L[4:], True),
    "the same change": (L[:3] + L[4:], L, L[:3] + L[4:], True),
    "two lines in one item": (["X\nl1\n"] + L[2:], L, L[:7] + ["Y\n"], False),
    "an empty item": (["X\n", ""] + L[1:], L, L[:7] + ["Y\n"], False),
    "a CR": (["X\r\n"] + L[1:], L, L[:7] + ["Y\n"], False),
    "a NUL": (["X\x00\n"] + L[1:], L, L[:7] + ["Y\n"], False),
}


@pytest.mark.parametrize("case", sorted(WITHOUT_GIT))
def test_edits_apart_are_merged_without_git(handle, case, tmp_path, monkeypatch):
    current, base, incoming, without_git = WITHOUT_GIT[case]
    names = {"current_name": "nb-current", "incoming_name": "nb-incoming"}
    expected = outcome(git.cmd.Git(), current, base, incoming, **names)
    # A git that refuses every merge: only a merge made without it succeeds.
    monkeypatch.setenv("PATH", fake_git(tmp_path / "bin", "exit 128"))
    got = outcome(handle, current, base, incoming, **names)
    assert got == (expected if without_git else ("GitCommandError", 128))


# Random sources: lines from a small pool, so that sides repeat lines (git slides its hunks over
# repeats) and edits collide, with CR LF and lone CR line ends, items holding several lines or
# none, non-ASCII text and a last line without a line end.
POOL = ["a\n", "b\n", "\n", "{\n", "}\n", "    return 1\n", "ä\n", "日本\r\n", "x\r", "p\nq\n", "", "end"]
side_edits = st.lists(st.tuples(st.sampled_from(["replace", "insert", "delete"]), st.integers(0, 40),
                                st.sampled_from(POOL)), max_size=5)


def edited(lines, edits):
    lines = list(lines)
    for kind, at, line in edits:
        at = at % (len(lines) + 1)
        if kind == "insert" or (kind == "replace" and at == len(lines)):
            lines.insert(at, line)
        elif kind == "replace":
            lines[at] = line
        elif at < len(lines):
            del lines[at]
    return lines


# Whole lines only, most of them distinct: the sources that merges without git are made of.
WHOLE_LINES = ["a\n", "b\n", "\n", "    return 1\n", "ä\n", "end"] + ["w%d\n" % i for i in range(12)]
whole_line_edits = st.lists(st.tuples(st.sampled_from(["replace", "insert", "delete"]), st.integers(0, 40),
                                      st.sampled_from(WHOLE_LINES[:-1])), min_size=1, max_size=2)
source_triples = st.one_of(
    st.tuples(st.lists(st.sampled_from(POOL), max_size=14), side_edits, side_edits),
    st.tuples(st.lists(st.sampled_from(WHOLE_LINES[:-1]), max_size=14).map(lambda b: b + ["end"]),
              whole_line_edits, whole_line_edits),
).map(lambda t: (edited(t[0], t[1]), t[0], edited(t[0], t[2])))


@pytest.mark.slow
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                  HealthCheck.function_scoped_fixture])
@given(st.lists(source_triples, min_size=1, max_size=6))
def test_merges_give_what_the_git_package_gives(handle, triples):
    """Each source merge of a notebook (run ahead or in turn) and each source merge through the
    handle outside a merge gives what _merge_source gives with the git package's own handle."""
    names = {"current_name": FILE_PATH + "-current", "incoming_name": FILE_PATH + "-incoming"}
    expected = [outcome(git.cmd.Git(), *t, **names) for t in triples]
    assert [outcome(handle, *t, **names) for t in triples] == expected
    base = notebook(*(cell("K%d" % i, "k%d" % i, t[1]) for i, t in enumerate(triples)))
    ours = notebook(*(cell("K%d" % i, "k%d" % i, t[0]) for i, t in enumerate(triples)))
    theirs = notebook(*(cell("K%d" % i, "k%d" % i, t[2]) for i, t in enumerate(triples)))
    with tempfile.TemporaryDirectory() as directory:
        three = ThreeWay(directory, base, ours, theirs)
        three.run()
        merged = three.result()
    for i, (kind, lines) in enumerate(expected):
        source = find(merged, "K%d" % i)["source"]
        if triples[i][0] == triples[i][1] or triples[i][2] == triples[i][1] or triples[i][0] == triples[i][2]:
            continue  # one side kept the base, or both made the same change: no source merge
        assert kind == "ok" and source == lines, i
