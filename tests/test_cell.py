"""Cell: construction and side check, accessors on the shared cell dict, conflict marks and comments."""
import collections.abc
import copy
import types

import pytest

from conftest import entry, last_entries, make_cell_dict, module_entries, run_python
from corvane_git.scripts.merge_driver import merge_ipynb as m

INIT = vars(m.Cell)["__init__"]


def bare_cell(**attributes):
    """A Cell whose __init__ never ran."""
    cell = m.Cell.__new__(m.Cell)
    vars(cell).update(attributes)
    return cell


class Text(str):
    pass


class TestConstruction:
    @pytest.mark.parametrize("side", ["base", "current", "incoming"])
    def test_keeps_the_dict_itself_and_the_side(self, cell_dict, side):
        cell = m.Cell(cell_dict, file_type=side)
        assert cell.data is cell_dict and cell.file_type == side

    def test_any_object_is_accepted_as_the_cell(self):
        assert m.Cell(5, "base").data == 5

    @pytest.mark.parametrize("side", ["neither", "", "Base", None])
    def test_other_sides_fail_the_side_check_without_a_message(self, cell_dict, side):
        with pytest.raises(AssertionError) as exc:
            m.Cell(cell_dict, side)
        assert exc.value.args == ()
        assert last_entries(exc.value, 1) == [entry("Cell.__init__", 71)]

    def test_failed_side_check_stored_the_dict_only(self, cell_dict):
        cell = bare_cell()
        with pytest.raises(AssertionError):
            INIT(cell, cell_dict, "neither")
        assert list(vars(cell)) == ["_data"] and cell._data is cell_dict

    @pytest.mark.parametrize("side, type_name", [(5, "int"), (b"base", "bytes"), (Text("base"), "Text")])
    def test_refused_side_stores_nothing(self, cell_dict, side, type_name):
        cell = bare_cell()
        with pytest.raises(TypeError) as exc:
            INIT(cell, cell_dict, side)
        assert str(exc.value) == "Argument 'file_type' has incorrect type (expected str, got %s)" % type_name
        assert vars(cell) == {} and module_entries(exc.value) == []

    def test_side_check_reads_the_class_constants_at_each_call(self, cell_dict, monkeypatch):
        monkeypatch.setattr(m.Cell, "INCOMING", "theirs")
        assert m.Cell(cell_dict, "theirs").file_type == "base"
        with pytest.raises(AssertionError):
            m.Cell(cell_dict, "incoming")

    def test_side_check_finds_cell_through_the_module(self, cell_dict, monkeypatch):
        cell_class = m.Cell
        monkeypatch.setattr(m, "Cell", types.SimpleNamespace(BASE="b", CURRENT="c", INCOMING="i"))
        assert cell_class(cell_dict, "i")._file_type == "i"
        with pytest.raises(AssertionError):
            cell_class(cell_dict, "base")

    def test_optimised_host_skips_the_side_check(self):
        result = run_python("""
            from corvane_git.scripts.merge_driver import merge_ipynb as m
            out = []
            for side in ["neither", None, "incoming"]:
                cell = m.Cell({}, side)
                out.append([cell._file_type, cell.file_type])
            try:
                m.Cell({}, 5)
            except TypeError as e:
                out.append(str(e))
            emit(out)
        """, "-O")
        assert result == [["neither", "base"], [None, "base"], ["incoming", "incoming"],
                          "Argument 'file_type' has incorrect type (expected str, got int)"]


class EqualsRaises:
    """Compares unequal `after` times, then raises."""

    def __init__(self, after=0):
        self.after = after

    def __eq__(self, other):
        if self.after == 0:
            raise LookupError("compared")
        self.after -= 1
        return False

    __hash__ = None


class TestFileType:
    @pytest.mark.parametrize("stored, expected", [
        ("current", "current"), ("incoming", "incoming"), ("base", "base"), ("other", "base"), (None, "base"),
        (Text("current"), "current")])
    def test_reads_the_stored_side(self, cell_dict, stored, expected):
        assert bare_cell(_data=cell_dict, _file_type=stored).file_type == expected

    def test_constant_may_be_none(self, cell_dict, monkeypatch):
        cell = m.Cell(cell_dict, "current")
        monkeypatch.setattr(m.Cell, "CURRENT", None)
        assert cell.file_type is None

    def test_returns_the_constants_themselves(self, cell_dict, monkeypatch):
        for name, side in [("CURRENT", "current"), ("INCOMING", "incoming"), ("BASE", "base")]:
            constant = "".join(side)
            monkeypatch.setattr(m.Cell, name, constant)
            assert m.Cell(cell_dict, side).file_type is constant

    @pytest.mark.parametrize("constant, side, line", [("CURRENT", "current", 78), ("INCOMING", "incoming", 80),
                                                       ("BASE", "base", 81)])
    def test_constant_that_is_not_a_string(self, cell_dict, monkeypatch, constant, side, line):
        cell = m.Cell(cell_dict, side)
        monkeypatch.setattr(m.Cell, constant, 5)
        with pytest.raises(TypeError) as exc:
            cell.file_type
        assert str(exc.value) == "Expected unicode, got int"
        assert last_entries(exc.value, 1) == [entry("Cell.file_type", line)]

    @pytest.mark.parametrize("stored, error, line", [
        (None, AttributeError, 77), (EqualsRaises(), LookupError, 77), (EqualsRaises(1), LookupError, 79)])
    def test_failures_report_the_comparison(self, cell_dict, stored, error, line):
        cell = bare_cell(_data=cell_dict) if stored is None else bare_cell(_data=cell_dict, _file_type=stored)
        with pytest.raises(error) as exc:
            cell.file_type
        assert module_entries(exc.value) == [entry("Cell.file_type", line)]
        if error is AttributeError:
            assert str(exc.value) == "'Cell' object has no attribute '_file_type'"

    @pytest.mark.parametrize("action", [
        lambda c: setattr(c, "file_type", "current"), lambda c: setattr(c, "meta_data", {}),
        lambda c: setattr(c, "comments", []), lambda c: delattr(c, "data"), lambda c: delattr(c, "name")])
    def test_properties_without_setter_or_deleter(self, cell_dict, action):
        cell = m.Cell(cell_dict, "incoming")
        before = copy.deepcopy(cell_dict)
        with pytest.raises(AttributeError):
            action(cell)
        assert (cell.file_type, cell.data) == ("incoming", before) and cell.data is cell_dict


CANVAS_PROPERTIES = [  # property, canvas key, getter body line, setter body line or None
    ("meta_data", None, 116, None), ("link_id", "id", 121, 126), ("name", "name", 131, 136),
    ("parents", "parents", 141, 146), ("comments", "comments", 151, None)]
TOP_PROPERTIES = [("cell_id", "id", 96, 101), ("source", "source", 106, 111)]


def canvas(d):
    return d["metadata"]["canvas"]


class TestGetters:
    @pytest.mark.parametrize("prop, find", [
        ("data", lambda d: d), ("cell_id", lambda d: d["id"]), ("source", lambda d: d["source"]),
        ("meta_data", canvas), ("link_id", lambda d: canvas(d)["id"]), ("name", lambda d: canvas(d)["name"]),
        ("parents", lambda d: canvas(d)["parents"]), ("comments", lambda d: canvas(d)["comments"])])
    def test_return_the_stored_value_itself(self, cell_dict, prop, find):
        assert getattr(m.Cell(cell_dict, "base"), prop) is find(cell_dict)

    @pytest.mark.parametrize("missing, key", [
        (lambda d: d.pop("metadata"), "metadata"), (lambda d: d["metadata"].pop("canvas"), "canvas")])
    @pytest.mark.parametrize("prop, _, line, __", CANVAS_PROPERTIES)
    def test_missing_level_raises_key_error_with_that_key(self, cell_dict, missing, key, prop, _, line, __):
        missing(cell_dict)
        cell = m.Cell(cell_dict, "current")
        with pytest.raises(KeyError) as exc:
            getattr(cell, prop)
        assert exc.value.args == (key,)
        assert last_entries(exc.value, 1) == [entry("Cell." + prop, line)]
        assert (cell.cell_id, cell.source) == ("cell-1", cell_dict["source"])

    @pytest.mark.parametrize("prop, key, line, _", [row for row in CANVAS_PROPERTIES if row[1]])
    def test_missing_canvas_key(self, cell_dict, prop, key, line, _):
        del canvas(cell_dict)[key]
        with pytest.raises(KeyError) as exc:
            getattr(m.Cell(cell_dict, "base"), prop)
        assert exc.value.args == (key,) and last_entries(exc.value, 1) == [entry("Cell." + prop, line)]

    @pytest.mark.parametrize("prop, key, line, _", TOP_PROPERTIES)
    def test_missing_top_level_key(self, cell_dict, prop, key, line, _):
        del cell_dict[key]
        with pytest.raises(KeyError) as exc:
            getattr(m.Cell(cell_dict, "base"), prop)
        assert exc.value.args == (key,) and last_entries(exc.value, 1) == [entry("Cell." + prop, line)]

    def test_null_name_reads_as_none(self, cell_dict):
        canvas(cell_dict)["name"] = None
        assert m.Cell(cell_dict, "base").name is None

    @pytest.mark.parametrize("metadata, text", [
        (None, "'NoneType' object is not subscriptable"),
        ([], "list indices must be integers or slices, not str"),
        ("text", "string indices must be integers")])
    def test_level_that_cannot_be_indexed_by_a_string(self, cell_dict, metadata, text):
        cell_dict["metadata"] = metadata
        with pytest.raises(TypeError) as exc:
            m.Cell(cell_dict, "base").name
        assert str(exc.value).startswith(text)
        assert last_entries(exc.value, 1) == [entry("Cell.name", 131)]

    def test_other_mappings_are_indexed_by_their_own_operation(self, cell_dict):
        cell_dict["metadata"] = types.MappingProxyType({"canvas": Canvas(canvas(cell_dict))})
        cell = m.Cell(cell_dict, "base")
        assert (cell.name, cell.link_id) == ("loader", "comp-1")
        with pytest.raises(KeyError) as exc:
            cell.comments
        assert exc.value.args == ("no comments here",)
        assert last_entries(exc.value, 2)[0] == entry("Cell.comments", 151)


class Canvas(collections.abc.MutableMapping):
    """A canvas map that is not a dict: it refuses "comments", records stores and can be read only."""

    def __init__(self, items, read_only=False):
        self.items_, self.stored, self.read_only = dict(items), [], read_only

    def __getitem__(self, key):
        if key == "comments":
            raise KeyError("no comments here")
        return self.items_[key]

    def __setitem__(self, key, value):
        if self.read_only:
            raise ValueError("read only")
        self.stored.append((key, value))
        self.items_[key] = value

    def __delitem__(self, key):
        del self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


class TestSetters:
    @pytest.mark.parametrize("prop, find", [
        ("cell_id", lambda d: d), ("source", lambda d: d), ("link_id", canvas), ("name", canvas),
        ("parents", canvas)])
    def test_replace_in_place_and_store_the_value_itself(self, cell_dict, prop, find):
        key = {"cell_id": "id", "link_id": "id"}.get(prop, prop)
        order = list(find(cell_dict))
        value = "".join(["new-", prop]) if prop in ("cell_id", "link_id", "name") else ["x\n"]
        cell = m.Cell(cell_dict, "base")
        setattr(cell, prop, value)
        assert find(cell_dict)[key] is value and getattr(cell, prop) is value
        assert list(find(cell_dict)) == order

    @pytest.mark.parametrize("prop, find, key", [
        ("cell_id", lambda d: d, "id"), ("source", lambda d: d, "source"), ("link_id", canvas, "id"),
        ("name", canvas, "name"), ("parents", canvas, "parents")])
    def test_missing_last_key_is_added_at_the_end(self, cell_dict, prop, find, key):
        del find(cell_dict)[key]
        setattr(m.Cell(cell_dict, "base"), prop, None)
        assert list(find(cell_dict))[-1] == key and find(cell_dict)[key] is None

    @pytest.mark.parametrize("missing, key", [
        (lambda d: d.pop("metadata"), "metadata"), (lambda d: d["metadata"].pop("canvas"), "canvas")])
    @pytest.mark.parametrize("prop, _, __, line", [row for row in CANVAS_PROPERTIES if row[3]])
    def test_missing_level_changes_nothing(self, cell_dict, missing, key, prop, _, __, line):
        missing(cell_dict)
        before = copy.deepcopy(cell_dict)
        with pytest.raises(KeyError) as exc:
            setattr(m.Cell(cell_dict, "base"), prop, "value")
        assert exc.value.args == (key,) and cell_dict == before
        assert last_entries(exc.value, 1) == [entry("Cell." + prop, line)]

    @pytest.mark.parametrize("prop", ["cell_id", "link_id", "name"])
    @pytest.mark.parametrize("value, type_name", [(5, "int"), (Text("x"), "Text"), (["x"], "list")])
    def test_string_setters_refuse_other_values(self, cell_dict, prop, value, type_name):
        before = copy.deepcopy(cell_dict)
        with pytest.raises(TypeError) as exc:
            setattr(m.Cell(cell_dict, "base"), prop, value)
        assert str(exc.value) == "Argument 'value' has incorrect type (expected str, got %s)" % type_name
        assert cell_dict == before and module_entries(exc.value) == []

    @pytest.mark.parametrize("prop, value", [("source", 5), ("parents", None), ("parents", "text")])
    def test_other_setters_take_any_value(self, cell_dict, prop, value):
        cell = m.Cell(cell_dict, "base")
        setattr(cell, prop, value)
        assert getattr(cell, prop) == value

    def test_other_mappings_store_through_their_own_operation(self, cell_dict):
        store = Canvas(canvas(cell_dict))
        cell_dict["metadata"] = {"canvas": store}
        cell = m.Cell(cell_dict, "base")
        cell.name = "renamed"
        assert store.stored == [("name", "renamed")] and cell.name == "renamed"
        store.read_only = True
        with pytest.raises(ValueError) as exc:
            cell.link_id = "refused"
        assert last_entries(exc.value, 2)[0] == entry("Cell.link_id", 126)

    def test_data_setter_rebinds_and_leaves_the_old_dict(self, cell_dict):
        cell, other = m.Cell(cell_dict, "base"), make_cell_dict(cell_id="other")
        before = copy.deepcopy(cell_dict)
        cell.data = other
        cell.cell_id = "changed"
        assert cell.data is other and other["id"] == "changed" and cell_dict == before
        cell.data = 5
        with pytest.raises(TypeError) as exc:
            cell.cell_id
        assert str(exc.value) == "'int' object is not subscriptable"
        assert last_entries(exc.value, 1) == [entry("Cell.cell_id", 96)]

    def test_changes_through_returned_containers_reach_the_dict(self, cell_dict):
        cell = m.Cell(cell_dict, "base")
        cell.source.append("y = 2\n")
        cell.parents[0]["id"] = "comp-9"
        cell.meta_data["headerColor"] = "red"
        assert cell_dict["source"][-1] == "y = 2\n"
        assert canvas(cell_dict)["parents"] == [{"id": "comp-9", "name": "reader"}]
        assert canvas(cell_dict)["headerColor"] == "red"

    def test_failing_accessor_inside_a_bare_instance(self):
        for prop, line in [("data", 86), ("cell_id", 96), ("name", 131)]:
            with pytest.raises(AttributeError) as exc:
                getattr(bare_cell(), prop)
            assert str(exc.value) == "'Cell' object has no attribute '_data'"
            assert last_entries(exc.value, 1) == [entry("Cell." + prop, line)]
        with pytest.raises(AttributeError) as exc:
            bare_cell().name = "x"
        assert last_entries(exc.value, 1) == [entry("Cell.name", 136)]

    @pytest.mark.parametrize("call, text, qualname, line", [
        (lambda: vars(m.Cell)["name"].fget(5), "'int' object has no attribute '_data'", "Cell.name", 131),
        (lambda: vars(m.Cell)["file_type"].fget(5), "'int' object has no attribute '_file_type'",
         "Cell.file_type", 77),
        (lambda: vars(m.Cell)["parents"].fset(5, []), "'int' object has no attribute '_data'", "Cell.parents",
         146),
        (lambda: vars(m.Cell)["add_comment"](5, {}), "'int' object has no attribute '_data'",
         "Cell.add_comment", 155),
        (lambda: vars(m.Cell)["add_conflict_mark"](None), "'NoneType' object has no attribute 'name'",
         "Cell.add_conflict_mark", 161),
        (lambda: INIT(5, {}, "base"), "'int' object has no attribute '_data'", "Cell.__init__", 70),
    ])
    def test_functions_called_with_another_object_as_self(self, call, text, qualname, line):
        with pytest.raises(AttributeError) as exc:
            call()
        assert str(exc.value).startswith(text)
        assert last_entries(exc.value, 1) == [entry(qualname, line)]


class TestAddComment:
    def test_appends_the_map_itself(self, cell_dict):
        comment = {"author": "bo", "text": "why?"}
        assert m.Cell(cell_dict, "base").add_comment(comment) is None
        comment["text"] = "edited"
        assert canvas(cell_dict)["comments"][-1] is comment
        assert canvas(cell_dict)["comments"][-1]["text"] == "edited"

    def test_equal_maps_are_both_stored(self, cell_dict):
        cell = m.Cell(cell_dict, "base")
        cell.add_comment({"text": "same"})
        cell.add_comment({"text": "same"})
        assert canvas(cell_dict)["comments"][1:] == [{"text": "same"}, {"text": "same"}]

    @pytest.mark.parametrize("missing, key", [
        (lambda d: d.pop("metadata"), "metadata"), (lambda d: d["metadata"].pop("canvas"), "canvas"),
        (lambda d: canvas(d).pop("comments"), "comments")])
    def test_missing_key_adds_nothing(self, cell_dict, missing, key):
        missing(cell_dict)
        before = copy.deepcopy(cell_dict)
        with pytest.raises(KeyError) as exc:
            m.Cell(cell_dict, "base").add_comment({"text": "x"})
        assert exc.value.args == (key,) and cell_dict == before
        assert last_entries(exc.value, 1) == [entry("Cell.add_comment", 155)]

    def test_other_values_append_through_their_own_operation(self, cell_dict):
        class Log(list):
            def append(self, item):
                super().append(("logged", item))

        canvas(cell_dict)["comments"] = Log()
        m.Cell(cell_dict, "base").add_comment("x")
        assert canvas(cell_dict)["comments"] == [("logged", "x")]

    @pytest.mark.parametrize("comments, type_name", [(None, "NoneType"), ((), "tuple"), ({}, "dict")])
    def test_value_without_append(self, cell_dict, comments, type_name):
        canvas(cell_dict)["comments"] = comments
        with pytest.raises(AttributeError) as exc:
            m.Cell(cell_dict, "base").add_comment({"text": "x"})
        assert str(exc.value) == "'%s' object has no attribute 'append'" % type_name
        assert last_entries(exc.value, 1) == [entry("Cell.add_comment", 155)]


class TestAddConflictMark:
    @pytest.mark.parametrize("side, name, marked", [
        ("current", "loader", "<<< loader"),
        ("incoming", "loader", ">>> loader"),
        ("base", "loader", "loader"),
        ("current", "<<< loader", "<<< loader"),
        ("incoming", ">>> loader", ">>> loader"),
        ("current", ">>> loader", "<<< >>> loader"),
        ("incoming", "<<< loader", ">>> <<< loader"),
        ("current", "<<<loader", "<<< <<<loader"),
        ("incoming", ">>>", ">>> >>>"),
        ("current", None, None), ("incoming", "", ""), ("current", 0, 0), ("incoming", [], []),
        ("base", 5, 5),
    ])
    def test_marks_by_side_once(self, side, name, marked):
        d = make_cell_dict(name=name)
        before = copy.deepcopy(d)
        cell = m.Cell(d, side)
        assert cell.add_conflict_mark() is None
        cell.add_conflict_mark()
        assert canvas(d)["name"] == marked
        canvas(before)["name"] = marked
        assert d == before

    @pytest.mark.parametrize("side", ["base", "current", "incoming"])
    def test_missing_name_fails_on_every_side(self, side):
        d = make_cell_dict()
        del canvas(d)["name"]
        with pytest.raises(KeyError) as exc:
            m.Cell(d, side).add_conflict_mark()
        assert exc.value.args == ("name",) and "name" not in canvas(d)
        assert last_entries(exc.value, 2) == [entry("Cell.add_conflict_mark", 161), entry("Cell.name", 131)]

    @pytest.mark.parametrize("side, line", [("current", 164), ("incoming", 167)])
    def test_true_name_that_is_not_a_string(self, side, line):
        d = make_cell_dict(name=5)
        with pytest.raises(AttributeError) as exc:
            m.Cell(d, side).add_conflict_mark()
        assert str(exc.value) == "'int' object has no attribute 'startswith'"
        assert last_entries(exc.value, 1) == [entry("Cell.add_conflict_mark", line)]
        assert canvas(d)["name"] == 5

    @pytest.mark.parametrize("side, line", [("current", 165), ("incoming", 168)])
    def test_failed_assignment_reports_the_setter_too(self, side, line):
        d = make_cell_dict()
        d["metadata"]["canvas"] = Canvas(canvas(d), read_only=True)
        with pytest.raises(ValueError) as exc:
            m.Cell(d, side).add_conflict_mark()
        assert last_entries(exc.value, 3)[:2] == [entry("Cell.add_conflict_mark", line), entry("Cell.name", 136)]

    def test_failure_reading_the_side(self, cell_dict):
        with pytest.raises(AttributeError) as exc:
            bare_cell(_data=cell_dict).add_conflict_mark()
        assert last_entries(exc.value, 2) == [entry("Cell.add_conflict_mark", 163), entry("Cell.file_type", 77)]

    @pytest.mark.parametrize("constant, line", [("CURRENT", 163), ("INCOMING", 166)])
    def test_failure_comparing_the_side(self, cell_dict, monkeypatch, constant, line):
        cell = m.Cell(cell_dict, "base")
        monkeypatch.setattr(m.Cell, constant, EqualsRaises())
        with pytest.raises(LookupError) as exc:
            cell.add_conflict_mark()
        assert module_entries(exc.value) == [entry("Cell.add_conflict_mark", line)]
        assert canvas(cell_dict)["name"] == "loader"
