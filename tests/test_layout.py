"""The merged notebook in our file's layout, and the base of a notebook both sides added."""
import json
import os
import stat

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import KEPT_MODES
from corvane_git.scripts.merge_driver.driver import route as driver
from corvane_git.scripts.merge_driver.notebooks import layout
from test_corpus import FILES
from notebooks import base_notebook, cell, change, notebook, param, set_param


def sample():
    """A notebook with what layouts write differently: non-ASCII text, escapes, numbers."""
    nb = base_notebook()
    change(nb, "notes")["source"] = ["# Übersicht: 売上 \U0001F600\n", "C:\\users\\u00e9\n"]
    change(nb, "load")["outputs"] = [{"output_type": "stream", "name": "stderr",
                                      "text": ["\u001b[31mwarning\u001b[0m\ttab\n"]}]
    nb["metadata"]["kernelspec"] = {"display_name": "Python 3", "tags": [], "extra": {}}
    return nb


# How each kind of file is written; the detected layout must give the same bytes back.
LAYOUTS = {
    "jupyter": lambda nb: json.dumps(nb, indent=1, ensure_ascii=False) + "\n",
    "indent 2, escaped, no newline": lambda nb: json.dumps(nb, indent=2),
    "indent 4, CRLF": lambda nb: (json.dumps(nb, indent=4, ensure_ascii=False)
                                  + "\n").replace("\n", "\r\n"),
    "tabs": lambda nb: json.dumps(nb, indent="\t", ensure_ascii=False) + "\n",
    "indent 0": lambda nb: json.dumps(nb, indent=0) + "\n",
    "one line": lambda nb: json.dumps(nb),
    "one line, compact, raw": lambda nb: json.dumps(nb, separators=(",", ":"),
                                                    ensure_ascii=False) + "\n",
    "one line, CRLF newline": lambda nb: json.dumps(nb, ensure_ascii=False) + "\r\n",
    "old indented form": lambda nb: json.dumps(nb, indent=1, separators=(", ", ": ")),
    "blank lines around": lambda nb: "\n" + json.dumps(nb, indent=1) + "\n\n",
}


@pytest.mark.parametrize("kind", sorted(LAYOUTS))
def test_detected_layout_writes_the_file_again(kind):
    data = LAYOUTS[kind](sample()).encode("utf-8")
    found = layout.detect(data)
    assert found.recognised
    assert layout.render(json.loads(data.decode("utf-8")), found) == data


@pytest.mark.parametrize("text, separators", [
    ('{"a, b":"x: y","c":1}', (",", ":")),
    ('{\n\t"a,b": "x:y"\n}', (",", ": ")),     # no comma outside strings: json's own
    ('{"a":"\\", \\": ","b":1}', (",", ":")),   # escaped quotes stay in the string
])
def test_separators_are_read_outside_strings(text, separators):
    found = layout.detect(text.encode("utf-8"))
    assert (found.item_separator, found.key_separator) == separators


@pytest.mark.parametrize("text, ensure_ascii", [
    ('{\n "a": "plain"\n}\n', False),              # no evidence: Jupyter writes raw text
    ('{"a": "plain"}', True),                      # no evidence: json's default escapes
    ('{\n "a": "\\u00e9"\n}\n', True),
    ('{\n "a": "\\u007f"\n}\n', True),
    ('{\n "a": "\\u001b[0m"\n}\n', False),         # control characters are escaped anyway
    ('{\n "a": "C:\\\\u00e9"\n}\n', False),        # an escaped backslash, then "u00e9"
    ('{\n "a": "C:\\\\\\u00e9"\n}\n', True),
    ('{"a": "\\u00e9", "b": "\xe9"}', False),      # raw text wins
])
def test_non_ascii_form(text, ensure_ascii):
    assert layout.detect(text.encode("utf-8")).ensure_ascii is ensure_ascii


@pytest.mark.parametrize("text", [
    '{"cells": [\n  1, 2],\n "nbformat": 4}\n',    # first line is not "{" alone
    '{\n \t"a": 1\n}\n',                          # mixed tabs and spaces
    '{\n\n "a": 1\n}\n',                          # second line is not a key
])
def test_unrecognised_indentation_becomes_jupyters(text):
    found = layout.detect(text.encode("utf-8"))
    assert not found.recognised
    value = {"a": [1, {"b": "é"}], "c": {}}
    assert layout.render(value, found) == (json.dumps(value, indent=1, ensure_ascii=False)
                                           + "\n").encode("utf-8")


def test_lone_surrogate_is_written_escaped():
    found = layout.detect(b'{\n "a": "\xc3\xa9"\n}')
    assert layout.render({"a": "\ud800é"}, found) == b'{\n "a": "\\ud800\\u00e9"\n}'


@pytest.mark.parametrize("last, ensure_ascii, in_parts", [
    ("é", False, True),             # written in parts
    ("\ud800", True, True),         # a lone surrogate at the end: begun again, escaped
    (("tuple",), False, False),     # a value only json writes, at the end: begun again by json
])
@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_a_large_notebook_is_written_in_parts_as_one_text(last, ensure_ascii, in_parts,
                                                           newline):
    value = {"cells": [{"source": ["line %d\n" % n, "é"], "outputs": [{"n": n}]}
                       for n in range(3000)] + [{"source": [last]}]}
    found = layout.detect(("{" + newline + ' "a": "é"' + newline + "}" + newline).encode())
    parts = []
    layout.render_into(value, found, parts.append, parts.clear)
    expected = json.dumps(value, indent=1, ensure_ascii=ensure_ascii).replace("\n", newline)
    assert (len(parts) > 3) == in_parts
    assert b"".join(parts) == (expected + newline).encode("utf-8")


@pytest.mark.parametrize("a, b, same", [
    ({"a": [1, {"b": None}]}, {"a": [1, {"b": None}]}, True),
    ({"a": 1, "b": 2}, {"b": 2, "a": 1}, False),
    ({"a": 1}, {"a": 1.0}, False),
    ({"a": 1}, {"a": True}, False),
    ({"a": [1, 2]}, {"a": [1, 2, 3]}, False),
    ({"a": {"b": "x"}}, {"a": {"c": "x"}}, False),
])
def test_same_value(a, b, same):
    assert layout.same_value(a, b) is same


class TestReplaceFile:
    @pytest.mark.parametrize("mode", KEPT_MODES, ids=oct)
    def test_keeps_permission_bits_and_leaves_no_temporary_file(self, tmp_path, mode):
        target = tmp_path / "nb.ipynb"
        target.write_bytes(b"old")
        target.chmod(mode)
        layout.replace_file(str(target), b"new")
        assert target.read_bytes() == b"new"
        assert stat.S_IMODE(target.stat().st_mode) == mode
        assert os.listdir(str(tmp_path)) == ["nb.ipynb"]

    def test_writes_through_a_symbolic_link(self, tmp_path, symlinks):
        (tmp_path / "real").mkdir()
        real = tmp_path / "real" / "nb.ipynb"
        real.write_bytes(b"old")
        link = tmp_path / "link.ipynb"
        link.symlink_to(real)
        layout.replace_file(str(link), b"new")
        assert link.is_symlink() and real.read_bytes() == b"new"
        assert sorted(os.listdir(str(tmp_path / "real"))) == ["nb.ipynb"]

    @pytest.mark.parametrize("mode", KEPT_MODES, ids=oct)
    def test_failure_leaves_the_file_as_it_was(self, tmp_path, monkeypatch, mode):
        target = tmp_path / "nb.ipynb"
        target.write_bytes(b"old")
        target.chmod(mode)

        def refuse(src, dst):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(os, "replace", refuse)
        with pytest.raises(OSError):
            layout.replace_file(str(target), b"new")
        assert target.read_bytes() == b"old" and stat.S_IMODE(target.stat().st_mode) == mode
        assert os.listdir(str(tmp_path)) == ["nb.ipynb"]


# ---- the driver's merge in process, through the extension --------------------------------

class Files:
    """base, ours and theirs written as `kind` lays them out, in `path`."""

    def __init__(self, path, base, ours, theirs, kind="jupyter"):
        self.path = path
        write = LAYOUTS[kind]
        for name, nb in (("base", base), ("ours", ours), ("theirs", theirs)):
            data = nb if isinstance(nb, bytes) else write(nb).encode("utf-8")
            (path / (name + ".ipynb")).write_bytes(data)
        self.ours_bytes = (path / "ours.ipynb").read_bytes()

    def merge(self, **options):
        return driver.merge(*(str(self.path / (n + ".ipynb")) for n in ("base", "ours", "theirs")),
                            path="nb.ipynb", **options)

    def result(self):
        return (self.path / "ours.ipynb").read_bytes()


@pytest.mark.parametrize("kind", sorted(LAYOUTS))
def test_merge_keeps_our_layout(tmp_path, kind):
    ours, theirs = sample(), sample()
    change(ours, "load")["source"] = ["import pandas as pd\n"]
    change(theirs, "plot")["source"] = ["plot(model, title='Größe')\n"]
    files = Files(tmp_path, sample(), ours, theirs, kind)
    assert not files.merge()
    expected = sample()
    change(expected, "load")["source"] = ["import pandas as pd\n"]
    change(expected, "plot")["source"] = ["plot(model, title='Größe')\n"]
    assert files.result() == LAYOUTS[kind](expected).encode("utf-8")


@pytest.mark.parametrize("ours_text", [
    LAYOUTS["jupyter"](sample()),
    # Not a layout that json writes: the file comes back as it was all the same.
    json.dumps(sample(), indent=1).replace('"nbformat": 4', '"nbformat" :4.0e0'),
])
def test_merge_that_keeps_our_notebook_keeps_our_bytes(tmp_path, ours_text):
    theirs = sample()
    set_param(theirs, "alpha", 0.5)
    ours = json.loads(ours_text)
    set_param(ours, "alpha", 0.5)
    text = ours_text.replace('"value": 0.1', '"value": 0.5')
    files = Files(tmp_path, sample(), text.encode("utf-8"), theirs)
    assert not files.merge()
    assert files.result() == text.encode("utf-8")


def test_keep_one_line_leaves_the_merges_own_form(tmp_path):
    ours, theirs = sample(), sample()
    set_param(theirs, "epochs", 12)
    files = Files(tmp_path, sample(), ours, theirs)
    files.merge(keep_one_line=True)
    set_param(ours, "epochs", 12)
    assert files.result() == json.dumps(ours).encode("ascii")


def test_conflicts_are_written_in_our_layout_too(tmp_path):
    ours, theirs = base_notebook(), base_notebook()
    set_param(ours, "epochs", 20)
    set_param(theirs, "epochs", 30)
    files = Files(tmp_path, base_notebook(), ours, theirs, "indent 2, escaped, no newline")
    assert files.merge().parameters == ["epochs"]
    expected = base_notebook()
    expected["metadata"]["canvas"]["parameters"] = [
        param("alpha", 0.1), dict(param("epochs", 20), name="<<< epochs"),
        dict(param("epochs", 30), name=">>> epochs")]
    assert files.result() == json.dumps(expected, indent=2).encode("ascii")


@pytest.mark.parametrize("refused, error", [
    ("render_into", RecursionError("maximum recursion depth exceeded")),
    ("replace_file", OSError(28, "No space left on device"))])
def test_a_failed_write_in_layout(tmp_path, monkeypatch, refused, error):
    """A merge that cannot be laid out is written on one line, with a note; one that cannot
    be written at all is a failure that leaves our file as it was."""
    theirs = base_notebook()
    set_param(theirs, "alpha", 0.7)
    files = Files(tmp_path, base_notebook(), base_notebook(), theirs)

    def refuse(*args):
        raise error
    monkeypatch.setattr(layout, refused, refuse)
    if refused == "replace_file":
        with pytest.raises(driver.MergeFailure, match="cannot write the merged notebook beside "
                                                      "our version .*No space left on device"):
            files.merge()
        assert files.result() == files.ours_bytes
        return
    conflicts = files.merge()
    assert not conflicts
    assert conflicts.notes == ["the merged notebook is left on one line: it cannot be written "
                               "in our version's layout (RecursionError: maximum recursion depth "
                               "exceeded)"]
    assert files.result() == json.dumps(theirs).encode("ascii")


# ---- both sides added the notebook -------------------------------------------------------

def added(*cells, params=()):
    return notebook(*cells, parameters=params)


ADD_ADD = {
    "different cells": (
        added(cell("a", "a", "1\n")), added(cell("b", "b", "2\n")),
        added(cell("a", "a", "1\n"), cell("b", "b", "2\n")), ([], [], [])),
    "a cell both added alike": (
        added(cell("s", "s", "0\n"), cell("a", "a", "1\n")),
        added(cell("s", "s", "0\n"), cell("b", "b", "2\n")),
        added(cell("s", "s", "0\n"), cell("a", "a", "1\n"), cell("b", "b", "2\n")),
        ([], [], [])),
    "a cell with the same source and other outputs": (
        added(cell("s", "s", "0\n")), added(dict(cell("s", "s", "0\n"), execution_count=4)),
        added(cell("s", "s", "0\n")), ([], [], [])),
    "a component both added with other sources": (
        added(cell("s", "s", "x = 0\ny = 1\n")), added(cell("s", "s", "x = 0\ny = 2\n")),
        added(cell("s", "s", "x = 0\n<<<<<<< nb.ipynb-current\ny = 1\n=======\ny = 2\n"
                             ">>>>>>> nb.ipynb-incoming\n")),
        ([], [], [(1, "s")])),
    "parameters": (
        added(params=[param("p", 1), param("q", 1)]),
        added(params=[param("p", 1), param("q", 2), param("r", 3)]),
        added(params=[param("p", 1), dict(param("r", 3)), dict(param("q", 1), name="<<< q"),
                      dict(param("q", 2), name=">>> q")]),
        ([], ["q"], [])),
}


@pytest.mark.parametrize("case", sorted(ADD_ADD))
@pytest.mark.parametrize("empty", [b"", b"\n"])
def test_added_on_both_sides(tmp_path, private_tmp, case, empty):
    ours, theirs, expected, conflicts = ADD_ADD[case]
    files = Files(tmp_path, empty, ours, theirs)
    found = files.merge()
    merged = json.loads(files.result().decode("utf-8"))
    # Parameters that only one side added come in no fixed order.
    key = lambda p: p["name"].lstrip("<> ")
    assert sorted(merged["metadata"]["canvas"]["parameters"], key=key) == sorted(
        expected["metadata"]["canvas"]["parameters"], key=key)
    assert merged["cells"] == expected["cells"]
    assert (found.components, found.parameters, found.source_cells) == conflicts
    assert os.listdir(str(private_tmp)) == []


def test_renamed_component_added_on_both_sides_is_a_conflict(tmp_path):
    ours = added(cell("s", "loader", "x = 0\n"))
    theirs = added(cell("s", "reader", "x = 0\n"))
    found = Files(tmp_path, b"", ours, theirs).merge()
    assert found.components == ["loader", "reader"]


def test_empty_base_notebook_shape():
    ours = dict(added(cell("s", "s", "1\n"), cell("o", "o")), nbformat_minor=4)
    ours["metadata"]["kernelspec"] = {"name": "python3"}
    theirs = added(cell("s", "s", "2\n"), cell("t", "t"))
    base = driver.empty_base_notebook(ours, theirs)
    assert list(base) == ["cells", "metadata", "nbformat", "nbformat_minor"]
    assert base["metadata"] == {"canvas": {"parameters": []}}
    assert base["cells"] == [dict(cell("s", "s"), source=[])]
    assert driver.empty_base_notebook(None, None) == {
        "cells": [], "metadata": {"canvas": {"parameters": []}}}


# ---- the indented writer against json's own -------------------------------------------------

class Number(int):
    pass


ODD_VALUES = {
    "empty containers": {"a": [], "b": {}, "c": [[], {}], "d": [{}]},
    "numbers": [0, -1, 10 ** 30, 1.5, -0.0, 1e300, 1e-7, float("nan"), float("inf"),
                -float("inf"), True, False, None],
    "strings": ["", "\"quoted\" \\ back", "\x00\x1f\x7f\t\n", "é売\U0001F600", "\ud800 lone"],
    "lists of strings, mixed lists": {"s": ["a\n", "b"], "m": ["a", 1, ["b"], {"c": "d"}]},
    "deep": {"a": [{"b": [{"c": [["x"]]}]}]},
    "a top-level string": "text",
    "a top-level number": 3,
    # Not what json.loads makes: left to json.dumps.
    "a tuple": {"t": ("a", "b")},
    "an int subclass": [Number(5)],
    "a non-string key": {1: "one", None: "none"},
    "a str subclass key": {type("Key", (str,), {})("k"): 1},
}
def assert_writes_as_json(value, indent, item, key, ensure_ascii):
    assert layout.dumps_indented(value, indent, item, key, ensure_ascii) == json.dumps(
        value, indent=indent, separators=(item, key), ensure_ascii=ensure_ascii)


WRITER_OPTIONS = [(1, ",", ": ", False), (2, ",", ": ", True), (0, ", ", ":", True),
                  ("\t", ",", ": ", False), ("  ", ";", " = ", False)]


@pytest.mark.parametrize("options", WRITER_OPTIONS)
@pytest.mark.parametrize("name", sorted(ODD_VALUES))
def test_indented_writer_is_json(name, options):
    assert_writes_as_json(ODD_VALUES[name], *options)


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=5), inner, max_size=5),
    max_leaves=30)


@given(JSON_VALUES, st.sampled_from(WRITER_OPTIONS))
def test_indented_writer_is_json_for_any_value(value, options):
    assert_writes_as_json(value, *options)


@pytest.mark.parametrize("path", FILES, ids=os.path.basename)
def test_indented_writer_is_json_on_real_notebooks(path):
    with open(path, encoding="utf-8") as f:
        value = json.load(f)
    for options in WRITER_OPTIONS[:2]:
        assert_writes_as_json(value, *options)
