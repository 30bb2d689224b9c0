"""_cell_changed: the diff of a base cell against another side's version, parent names dropped."""
import copy
import logging

import jsondiff
import pytest

from conftest import entry, module_entries
from corvane_git.scripts.merge_driver import merge_ipynb as m
from notebooks import canvas, cell, comment, parent, stream


def pair(first, second):
    return m.Cell(first, file_type="base"), m.Cell(second, file_type="incoming")


def changed(first, **edits):
    """A deep copy of `first` with top-level keys or (canvas_<key>) canvas keys replaced."""
    second = copy.deepcopy(first)
    for key, value in edits.items():
        if key.startswith("canvas_"):
            canvas(second)[key[len("canvas_"):]] = value
        elif value is None:
            del second[key]
        else:
            second[key] = value
    return second


BASE = cell("K", "k", "x = 1\n", parents=[parent("A", "a"), parent("B", "b")],
            comments=[comment("note")], execution_count=1, outputs=[stream("1\n")])


class TestDiff:
    @pytest.mark.parametrize("edits", [
        {}, {"execution_count": 9}, {"canvas_parents": [parent("A", "renamed"), parent("B", "x")]}],
        ids=["equal", "execution count", "parent names"])
    def test_equal(self, edits):
        assert m._cell_changed(*pair(copy.deepcopy(BASE), changed(BASE, **edits))) == {}

    def test_count_only_the_second_holds(self):
        first = changed(BASE, execution_count=None)
        assert m._cell_changed(*pair(first, copy.deepcopy(BASE))) == {}

    def test_count_only_the_first_holds_stays_a_change(self):
        diff = m._cell_changed(*pair(copy.deepcopy(BASE), changed(BASE, execution_count=None)))
        assert diff and "execution_count" not in diff and list(diff) == [jsondiff.delete]

    @pytest.mark.parametrize("edits, key", [
        ({"outputs": [stream("2\n")]}, "outputs"), ({"source": ["y\n"]}, "source")])
    def test_top_level_change(self, edits, key):
        assert list(m._cell_changed(*pair(copy.deepcopy(BASE), changed(BASE, **edits)))) == [key]

    @pytest.mark.parametrize("key, value", [
        ("name", "other"), ("headerColor", "red"), ("parents", [parent("A")]), ("id", "K2")])
    def test_canvas_change(self, key, value):
        diff = m._cell_changed(*pair(copy.deepcopy(BASE), changed(BASE, **{"canvas_" + key: value})))
        assert list(diff) == ["metadata"] and list(diff["metadata"]) == ["canvas"]
        assert key in diff["metadata"]["canvas"]

    def test_comments_added_to_an_empty_array(self):
        first = changed(BASE, canvas_comments=[])
        notes = [comment("one"), comment("two")]
        diff = m._cell_changed(*pair(first, changed(BASE, canvas_comments=notes)))
        assert set(diff["metadata"]["canvas"]) == {"comments"}
        assert list(diff["metadata"]["canvas"]["comments"]) == notes

    def test_same_cell_twice(self):
        one = m.Cell(copy.deepcopy(BASE), file_type="base")
        assert m._cell_changed(one, one) == {}

    def test_empty_parents(self):
        first = changed(BASE, canvas_parents=[])
        assert list(m._cell_changed(*pair(first, changed(first, source=["y\n"])))) == ["source"]


class TestSideEffects:
    def test_parent_names_are_dropped_from_both_cells(self):
        first, second = copy.deepcopy(BASE), changed(BASE, source=["y\n"])
        parents = canvas(first)["parents"]
        m._cell_changed(*pair(first, second))
        assert canvas(first)["parents"] is parents
        assert parents == canvas(second)["parents"] == [{"id": "A"}, {"id": "B"}]

    def test_debug_record_holds_the_diff(self, caplog):
        with caplog.at_level(logging.DEBUG):
            diff = m._cell_changed(*pair(copy.deepcopy(BASE), changed(BASE, source=["y\n"])))
        [record] = [r for r in caplog.records if r.msg is diff]
        assert record.levelno == logging.DEBUG and record.name == "root" and record.args == ()

    def test_rebound_jsondiff_is_used(self, monkeypatch):
        seen = []

        class Recording:
            @staticmethod
            def diff(a, b):
                seen.append((a, b))
                return {"execution_count": 1, "x": 2}

        monkeypatch.setattr(m, "jsondiff", Recording)
        first, second = pair(copy.deepcopy(BASE), changed(BASE, source=["y\n"]))
        assert m._cell_changed(first, second) == {"x": 2}
        assert len(seen) == 1 and seen[0][1]["source"] == ["y\n"]


class TestFailures:
    def test_missing_parents(self):
        second = copy.deepcopy(BASE)
        del canvas(second)["parents"]
        first = copy.deepcopy(BASE)
        with pytest.raises(KeyError) as exc:
            m._cell_changed(*pair(first, second))
        assert module_entries(exc.value) == [entry("_cell_changed", 173), entry("Cell.parents", 141)]
        assert canvas(first)["parents"][0] == parent("A", "a")

    def test_null_parents(self):
        first = copy.deepcopy(BASE)
        with pytest.raises(TypeError):
            m._cell_changed(*pair(first, changed(BASE, canvas_parents=None)))
        assert canvas(first)["parents"][0] == parent("A", "a")

    def test_parent_that_is_no_map(self):
        first = copy.deepcopy(BASE)
        second = changed(BASE, canvas_parents=["A"])
        with pytest.raises(AttributeError) as exc:
            m._cell_changed(*pair(first, second))
        assert str(exc.value) == "'str' object has no attribute 'pop'"
        assert canvas(first)["parents"] == [{"id": "A"}, {"id": "B"}]
        assert module_entries(exc.value) == [entry("_cell_changed", 174)]
