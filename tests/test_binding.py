"""How calls into merge_ipynb bind their arguments, check them, report failures and find names."""
import builtins
import json
import pathlib
import sys
import types

import pytest

from conftest import MODULE, entry, last_entries, make_cell_dict, module_entries
from corvane_git.scripts.merge_driver import merge_ipynb as m
import notebooks


class Text(str):
    pass


def count(name, quantifier, expected, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, quantifier, expected, "" if expected == 1 else "s", given)


def fn(name):
    """A function of the class namespace: "__init__", "add_comment", "name.fget", "name.fset"."""
    prop, _, accessor = name.partition(".")
    found = vars(m.Cell)[prop]
    return getattr(found, accessor) if accessor else found


def new_cell(side="current"):
    return m.Cell(make_cell_dict(), side)


PATHS = ("base.ipynb", "current.ipynb", "incoming.ipynb", "merged.ipynb")

# (call, message, qualified name of the entry, its line)
COUNT_ERRORS = [
    (lambda d: m.Cell(d), count("__init__", "exactly", 3, 2), "Cell.__init__", 69),
    (lambda d: m.Cell(), count("__init__", "exactly", 3, 1), "Cell.__init__", 69),
    (lambda d: m.Cell(d, "base", "more"), count("__init__", "exactly", 3, 4), "Cell.__init__", 69),
    (lambda d: m.Cell(cell=d), count("__init__", "exactly", 3, 2), "Cell.__init__", 69),
    (lambda d: m.Cell(file_type="base"), count("__init__", "exactly", 3, 1), "Cell.__init__", 69),
    (lambda d: m.Cell(d, cell=d), count("__init__", "exactly", 3, 2), "Cell.__init__", 69),
    (lambda d: fn("__init__")(), count("__init__", "exactly", 3, 0), "Cell.__init__", 69),
    (lambda d: m._merge_source(), count("_merge_source", "at least", 4, 0), "_merge_source", 29),
    (lambda d: m._merge_source("g", "a", "b"), count("_merge_source", "at least", 4, 3), "_merge_source", 29),
    (lambda d: m._merge_source(*"g" * 7), count("_merge_source", "at most", 6, 7), "_merge_source", 29),
    (lambda d: m._merge_source(g="g"), count("_merge_source", "at least", 4, 1), "_merge_source", 29),
    (lambda d: m._merge_source("g", "a", base="b"), count("_merge_source", "at least", 4, 3),
     "_merge_source", 29),
    (lambda d: m._merge_source(*"g" * 7, current_name="x"), count("_merge_source", "at most", 6, 7),
     "_merge_source", 29),
    (lambda d: m._cell_changed(new_cell()), count("_cell_changed", "exactly", 2, 1), "_cell_changed", 171),
    (lambda d: m._cell_changed(*[new_cell()] * 3), count("_cell_changed", "exactly", 2, 3),
     "_cell_changed", 171),
    (lambda d: m._cell_changed(cell1=new_cell()), count("_cell_changed", "exactly", 2, 0),
     "_cell_changed", 171),
    (lambda d: m.merge_files(*PATHS[:3]), count("merge_files", "exactly", 4, 3), "merge_files", 181),
    (lambda d: m.merge_files(*PATHS + ("x",)), count("merge_files", "exactly", 4, 5), "merge_files", 181),
    (lambda d: m.merge_files(*PATHS[:3], x="d"), count("merge_files", "exactly", 4, 3), "merge_files", 181),
    (lambda d: m.merge_files(*PATHS + ("x",), x=1), count("merge_files", "exactly", 4, 5),
     "merge_files", 181),
    (lambda d: fn("data.fget")(), count("data", "exactly", 1, 0), "Cell.data", 83),
    (lambda d: fn("data.fget")(new_cell(), 1), count("data", "exactly", 1, 2), "Cell.data", 83),
    (lambda d: fn("data.fset")(new_cell()), count("data", "exactly", 2, 1), "Cell.data", 88),
    (lambda d: fn("data.fset")(new_cell(), 1, 2), count("data", "exactly", 2, 3), "Cell.data", 88),
    (lambda d: new_cell().add_conflict_mark(1), count("add_conflict_mark", "exactly", 1, 2),
     "Cell.add_conflict_mark", 157),
    (lambda d: new_cell().add_comment(), count("add_comment", "exactly", 2, 1), "Cell.add_comment", 153),
]

ACCESSOR_LINES = [  # property, getter line, setter line
    ("file_type", 74, None), ("data", 83, 88), ("cell_id", 93, 98), ("source", 103, 108),
    ("meta_data", 113, None), ("link_id", 118, 123), ("name", 128, 133), ("parents", 138, 143),
    ("comments", 148, None)]


class TestArgumentCounts:
    @pytest.mark.parametrize("call, text, qualname, line", COUNT_ERRORS)
    def test_message_and_entry_at_the_definition_line(self, cell_dict, call, text, qualname, line):
        with pytest.raises(TypeError) as exc:
            call(cell_dict)
        assert str(exc.value) == text
        assert module_entries(exc.value) == [entry(qualname, line)]
        assert last_entries(exc.value, 1) == [entry(qualname, line)]

    @pytest.mark.parametrize("prop, getter_line, setter_line", ACCESSOR_LINES)
    def test_every_accessor_reports_its_own_line(self, prop, getter_line, setter_line):
        with pytest.raises(TypeError) as exc:
            fn(prop + ".fget")()
        assert (str(exc.value), module_entries(exc.value)) == (
            count(prop, "exactly", 1, 0), [entry("Cell." + prop, getter_line)])
        if setter_line:
            with pytest.raises(TypeError) as exc:
                fn(prop + ".fset")(new_cell())
            assert (str(exc.value), module_entries(exc.value)) == (
                count(prop, "exactly", 2, 1), [entry("Cell." + prop, setter_line)])


def multiple(name, keyword):
    return "%s() got multiple values for keyword argument '%s'" % (name, keyword)


def unexpected(name, keyword):
    return "%s() got an unexpected keyword argument '%s'" % (name, keyword)


KEYWORD_ERRORS = [
    (lambda d: m.merge_files(*PATHS, base_file_path="a"), multiple("merge_files", "base_file_path"),
     "merge_files", 181),
    (lambda d: m.merge_files(*PATHS, x="e"), unexpected("merge_files", "x"), "merge_files", 181),
    (lambda d: m.merge_files(*PATHS, x=1, base_file_path="a"), unexpected("merge_files", "x"),
     "merge_files", 181),
    (lambda d: m.merge_files(*PATHS, base_file_path="a", x=1), multiple("merge_files", "base_file_path"),
     "merge_files", 181),
    (lambda d: m.Cell(d, "base", cell=d), multiple("__init__", "cell"), "Cell.__init__", 69),
    (lambda d: m.Cell(d, "base", x=1), unexpected("__init__", "x"), "Cell.__init__", 69),
    (lambda d: m.Cell(d, "base", self=1), multiple("__init__", "self"), "Cell.__init__", 69),
    (lambda d: m._merge_source(*"gcbiy", current_name="x"), multiple("_merge_source", "current_name"),
     "_merge_source", 29),
    (lambda d: m._merge_source(*"gcbi", bogus=1), unexpected("_merge_source", "bogus"), "_merge_source", 29),
    (lambda d: m._merge_source(*"gcbi", incoming_name="n", bogus=1), unexpected("_merge_source", "bogus"),
     "_merge_source", 29),
    (lambda d: m._cell_changed(new_cell(), new_cell(), cell0=1), multiple("_cell_changed", "cell0"),
     "_cell_changed", 171),
    (lambda d: new_cell().add_conflict_mark(self=1), multiple("add_conflict_mark", "self"),
     "Cell.add_conflict_mark", 157),
    (lambda d: fn("name.fset")(new_cell(), "x", value="y"), multiple("name", "value"), "Cell.name", 133),
    (lambda d: fn("source.fget")(new_cell(), value="y"), unexpected("source", "value"), "Cell.source", 103),
]


class TestKeywords:
    @pytest.mark.parametrize("call, text, qualname, line", KEYWORD_ERRORS)
    def test_message_and_entry_at_the_definition_line(self, cell_dict, call, text, qualname, line):
        with pytest.raises(TypeError) as exc:
            call(cell_dict)
        assert str(exc.value) == text
        assert last_entries(exc.value, 1) == [entry(qualname, line)]

    @pytest.mark.parametrize("call", [
        lambda d: m.merge_files(*PATHS, **{1: 2}),
        lambda d: m.Cell(d, **{1: "base"}),
        lambda d: m._merge_source(*"gcbi", **{"current_name": None, 2: None}),
    ])
    def test_keyword_names_must_be_strings(self, cell_dict, call):
        with pytest.raises(TypeError) as exc:
            call(cell_dict)
        assert str(exc.value) == "keywords must be strings"

    @pytest.mark.parametrize("call", [
        lambda d: m.Cell(cell=d, file_type="incoming"),
        lambda d: m.Cell(file_type="incoming", cell=d),
        lambda d: m.Cell(d, **{"".join(["file", "_type"]): "incoming"}),
        lambda d: m.Cell(d, "incoming", **{}),
        lambda d: m.Cell(d, **{Text("file_type"): "incoming"}),
    ], ids=["in-order", "reversed", "equal-name", "empty-dict", "str-subclass-name"])
    def test_keywords_bind_by_name(self, cell_dict, call):
        cell = call(cell_dict)
        assert (cell.data, cell.file_type) == (cell_dict, "incoming")
        assert cell.data is cell_dict

    @pytest.mark.parametrize("call, expected", [
        (lambda g: m._merge_source(g, ["a\n"], ["a\n"], ["a\n"], incoming_name="THEIRS"),
         "{current} THEIRS\n"),
        (lambda g: m._merge_source(g=g, current=["a\n"], base=["a\n"], incoming=["a\n"], current_name="OURS"),
         "OURS {incoming}\n"),
        (lambda g: m._merge_source(g, ["a\n"], ["a\n"], ["a\n"], "OURS", None), "OURS {incoming}\n"),
    ], ids=["incoming-keyword", "all-keywords", "positional-none"])
    def test_defaults_fill_what_is_not_given(self, call, expected):
        # merge_file writes a line naming the current and the incoming temporary path; which of the
        # two the result still shows tells which names were bound.
        seen = {}

        class Git:
            def merge_file(self, current, base, incoming):
                seen.update(current=current, incoming=incoming)
                with open(current, "w") as f:
                    f.write("%s %s\n" % (current, incoming))

        assert call(Git()) == [expected.format(**seen)]


class TestExactStrings:
    @pytest.mark.parametrize("call, parameter, type_name", [
        (lambda c: m.Cell(c.data, 5), "file_type", "int"),
        (lambda c: m.Cell(c.data, b"base"), "file_type", "bytes"),
        (lambda c: m.Cell(c.data, Text("base")), "file_type", "Text"),
        (lambda c: m.Cell(c.data, file_type=Text("base")), "file_type", "Text"),
        (lambda c: m.merge_files(1, *PATHS[1:]), "base_file_path", "int"),
        (lambda c: m.merge_files(PATHS[0], 2.0, *PATHS[2:]), "current_file_path", "float"),
        (lambda c: m.merge_files(*PATHS[:2], pathlib.PurePosixPath("c"), PATHS[3]), "incoming_file_path",
         "PurePosixPath"),
        (lambda c: m.merge_files(*PATHS[:3], Text("d")), "file_path", "Text"),
        (lambda c: m.merge_files(file_path=5, incoming_file_path=6, current_file_path="b", base_file_path="a"),
         "incoming_file_path", "int"),
        (lambda c: m.merge_files(file_path=5, base_file_path=6, current_file_path="b", incoming_file_path="c"),
         "base_file_path", "int"),
    ])
    def test_refused_before_the_body_without_an_entry(self, call, parameter, type_name):
        with pytest.raises(TypeError) as exc:
            call(new_cell())
        assert str(exc.value) == "Argument '%s' has incorrect type (expected str, got %s)" % (
            parameter, type_name)
        assert module_entries(exc.value) == []

    def test_none_passes_the_checks_and_fails_in_the_body(self):
        with pytest.raises(TypeError) as exc:
            m.merge_files(None, None, None, None)
        assert module_entries(exc.value)[-1] == entry("merge_files", 216)

    @pytest.mark.parametrize("prop", ["cell_id", "link_id", "name"])
    def test_setters_accept_none(self, prop):
        cell = new_cell()
        assert fn(prop + ".fset")(cell, None) is None
        assert getattr(cell, prop) is None
        holder = cell.data if prop == "cell_id" else cell.data["metadata"]["canvas"]
        assert holder["name" if prop == "name" else "id"] is None   # stored as null


class TestMethods:
    def test_bound_through_an_instance(self):
        cell, comment = new_cell(), {"author": "bo", "text": "ok"}
        assert cell.add_comment(comment) is None
        assert cell.comments[-1] is comment

    def test_read_through_the_class_takes_the_instance_explicitly(self):
        cell, comment = new_cell(), {"author": "bo"}
        m.Cell.add_comment(cell, comment=comment)
        assert cell.comments[-1] is comment

    def test_bound_through_a_subclass_instance(self):
        class Sub(m.Cell):
            pass

        cell = Sub(make_cell_dict(name="loader"), "incoming")
        cell.add_conflict_mark()
        assert (cell.name, cell.file_type) == (">>> loader", "incoming")

    def test_property_functions_called_directly(self):
        cell = new_cell()
        assert fn("name.fget")(cell) == "loader"
        assert fn("name.fset")(cell, value="reader") is None
        assert fn("name.fget")(self=cell) == "reader"
        assert fn("data.fget")(cell) is cell.data


def notebook(source="x = 1"):
    return notebooks.notebook(notebooks.cell("k1", "step", source, cell_id="c1"))


@pytest.fixture
def notebook_paths(tmp_path):
    three = notebooks.ThreeWay(tmp_path, notebook(), notebook(), notebook())
    return [three.base, three.ours, three.theirs, str(tmp_path / "nb.ipynb")]


class Sentinel(Exception):
    pass


def raise_sentinel(*args, **kwargs):
    raise Sentinel(args)


class TestNamesAtCallTime:
    def cells(self):
        return m.Cell(make_cell_dict(), "base"), m.Cell(make_cell_dict(), "current")

    def differing_cells(self):
        """Cells that differ, so that the diff library is needed (equal cells never reach it)."""
        base, current = self.cells()
        current.data["source"] = ["changed\n"]
        return base, current

    def test_rebinding_a_module_name_changes_the_next_call(self, monkeypatch):
        base, current = self.differing_cells()
        assert set(m._cell_changed(base, current)) == {"source"}
        calls, logged, diff = [], [], {"outputs": [], "execution_count": 4}
        monkeypatch.setattr(m, "jsondiff", types.SimpleNamespace(diff=lambda *a: calls.append(a) or diff))
        monkeypatch.setattr(m, "logging", types.SimpleNamespace(debug=lambda *a: logged.append(a)))
        result = m._cell_changed(base, current)
        assert result is diff and result == {"outputs": []}
        assert len(calls) == 1 and calls[0] == (base.data, current.data)
        assert len(logged) == 1 and logged[0][0] is diff
        monkeypatch.undo()
        assert set(m._cell_changed(base, current)) == {"source"}

    def test_missing_name_falls_back_to_builtins(self, monkeypatch):
        diff = {}
        monkeypatch.delattr(m, "jsondiff")
        monkeypatch.setattr(builtins, "jsondiff", types.SimpleNamespace(diff=lambda *a: diff), raising=False)
        assert m._cell_changed(*self.differing_cells()) is diff

    def test_missing_everywhere_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(m, "jsondiff")
        with pytest.raises(NameError) as exc:
            m._cell_changed(*self.differing_cells())
        assert str(exc.value) == "name 'jsondiff' is not defined"
        assert module_entries(exc.value)[-1][0] == MODULE + "._cell_changed"

    def test_rebinding_json_changes_how_merge_files_reads(self, monkeypatch, notebook_paths):
        before = pathlib.Path(notebook_paths[1]).read_text()
        monkeypatch.setattr(m, "json", types.SimpleNamespace(load=raise_sentinel, dump=raise_sentinel))
        with pytest.raises(Sentinel) as exc:
            m.merge_files(*notebook_paths)
        assert last_entries(exc.value, 2)[0] == entry("merge_files", 217)
        assert pathlib.Path(notebook_paths[1]).read_text() == before

    def test_rebinding_open_in_builtins_after_load_changes_nothing(self, monkeypatch, notebook_paths):
        monkeypatch.setattr(builtins, "open", raise_sentinel)
        m.merge_files(*notebook_paths)
        monkeypatch.undo()
        written = pathlib.Path(notebook_paths[1]).read_text()
        assert written == json.dumps(notebook())

    def test_rebinding_assertion_error_in_builtins_after_load_changes_nothing(self, monkeypatch):
        original = AssertionError
        monkeypatch.setattr(builtins, "AssertionError", Sentinel)
        try:
            m.Cell({}, "neither")
        except BaseException as e:
            raised = e
        monkeypatch.undo()
        assert type(raised) is original and raised.args == ()


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def repeat(call, times=100):
    for _ in range(times):
        try:
            call()
        except Exception:
            pass


class TestReferences:
    """Arguments, instances and results keep their reference counts over many calls."""

    side = "".join(["curr", "ent"])  # not interned, so its count is small and exact
    text = "".join(["some ", "text"])

    @pytest.mark.parametrize("call", [
        lambda d, c, s, t: m.Cell(d, s),
        lambda d, c, s, t: m.Cell(cell=d, file_type=s),
        lambda d, c, s, t: m.Cell(d),
        lambda d, c, s, t: m.Cell(d, s, x=t),
        lambda d, c, s, t: m.Cell(d, s, cell=t),
        lambda d, c, s, t: m.Cell(d, 5),
        lambda d, c, s, t: m.Cell(d, t),
        lambda d, c, s, t: (c.data, c.source, c.meta_data, c.name, c.parents, c.comments, c.file_type),
        lambda d, c, s, t: setattr(c, "cell_id", 5),
        lambda d, c, s, t: c.add_conflict_mark(),
        lambda d, c, s, t: c.add_comment(),
        lambda d, c, s, t: fn("name.fget")(c, t),
        lambda d, c, s, t: m.merge_files(t, t, t, 5),
        lambda d, c, s, t: m.merge_files(t, t, t, t, x=d),
        lambda d, c, s, t: m._merge_source(d, t, t),
        lambda d, c, s, t: m._merge_source(d, t, t, t, t, t, t),
        lambda d, c, s, t: m._cell_changed(c, c, cell0=d),
    ])
    def test_calls_leave_counts_unchanged(self, call):
        d = make_cell_dict()
        c = m.Cell(d, "base")
        objects = [d, c, self.side, self.text]
        repeat(lambda: call(*objects), 1)
        before = refcounts(objects)
        repeat(lambda: call(*objects))
        assert refcounts(objects) == before

    def test_failing_accessors_leave_counts_unchanged(self):
        d = {"id": "x"}
        c = m.Cell(d, "base")
        before = refcounts([d, c])
        repeat(lambda: c.name)
        repeat(lambda: setattr(c, "parents", self.text))
        repeat(lambda: c.add_comment(self.text))
        assert refcounts([d, c]) == before

    def test_stored_values_are_held_once(self):
        c = m.Cell(make_cell_dict(), "base")
        value, comment = "".join(["new ", "name"]), {"text": "x"}
        before = refcounts([value, comment])
        repeat(lambda: setattr(c, "name", value))
        repeat(lambda: c.add_comment(comment))
        assert refcounts([value, comment]) == [before[0] + 1, before[1] + 100]
        c.comments.clear()
        assert refcounts([comment]) == before[1:]
