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
        # Equal cells never ask the library.
        assert m._cell_changed(*pair(copy.deepcopy(BASE), copy.deepcopy(BASE))) == {}
        assert len(seen) == 1


class Always(str):
    """A string that equals everything: only the host's own comparison knows that."""
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


NAN = float("nan")


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


# Pairs of values as they may sit in a cell: the cells are equal exactly when the host's == says
# so, and a comparison too deep for the host fails as the host's does.
EQUALITY_ROWS = {
    "same text, other objects": ("é" * 3, "".join(["é"] * 3)),
    "other text, same length": ("ab", "ac"),
    "one byte against two per letter": ("A\x00", "A\u0100"),
    "numbers of three types": ([1, 2.0, True], [1.0, 2, 1]),
    "one NaN object twice": ([NAN], [NAN]),
    "two NaN objects": ([float("nan")], [float("nan")]),
    "keys in another order": ({"p": 1, "q": [2]}, {"q": [2], "p": 1}),
    "a key only one side holds": ({"p": 1}, {"q": 1}),
    "arrays of other lengths": (["x"], ["x", "x"]),
    "a string type of its own": ([Always("anything")], ["other"]),
    "a map type of its own": ([type("Loose", (dict,), {"__eq__": lambda s, o: True})()], [{"p": 1}]),
    "keys that are not text": ({1: "a", (2, 3): "b"}, {1.0: "a", (2, 3): "b"}),
    "deeper than the host compares": (nested(5000), nested(5000)),
}


@pytest.mark.parametrize("name", sorted(EQUALITY_ROWS))
def test_equal_cells_are_those_the_host_finds_equal(name):
    first_value, second_value = EQUALITY_ROWS[name]
    first, second = copy.deepcopy(BASE), copy.deepcopy(BASE)
    first["metadata"]["extra"], second["metadata"]["extra"] = first_value, second_value
    try:
        expected = first_value == second_value
    except RecursionError:
        with pytest.raises(RecursionError, match="in comparison"):
            m._cell_changed(*pair(first, second))
        return
    assert (m._cell_changed(*pair(first, second)) == {}) == expected


class Logged:
    """A key or value that records each comparison and each hash the host asks of it."""
    calls = []

    def __init__(self, tag):
        self.tag = tag

    def __eq__(self, other):
        Logged.calls.append(("==", self.tag, getattr(other, "tag", other)))
        return isinstance(other, Logged) and other.tag == self.tag

    def __hash__(self):
        Logged.calls.append(("hash", self.tag))
        return hash(self.tag)


class Attributes:
    pass


def attributes(*names):
    """An instance's attribute map, its attributes set in this order (a map the host keeps apart
    from its keys, and compares in the order of the keys it shares)."""
    holder = Attributes()
    for name in names:
        setattr(holder, name, Logged(name))
    return vars(holder)


class ListOfTwo(list):
    def __eq__(self, other):
        Logged.calls.append(("==", "list", len(other)))
        return len(other) == 2


# Equal cells holding values whose comparison the host's own code sees: the same calls in the same
# order, and no hash of a key that the host does not hash.
CALL_ROWS = {
    "values of their own": (lambda: {"p": Logged("p"), "q": [Logged("q")]},
                            lambda: {"p": Logged("p"), "q": [Logged("q")]}),
    "a key of its own": (lambda: {Logged("k"): "v"}, lambda: {Logged("k"): "v"}),
    "an instance's attributes": (lambda: attributes("x", "y"), lambda: attributes("y", "x")),
    "an array type of its own": (lambda: [ListOfTwo([1, 2])], lambda: [[3, 4]]),
}


@pytest.mark.parametrize("name", sorted(CALL_ROWS))
def test_equal_cells_are_compared_with_the_hosts_calls(name):
    make_first, make_second = CALL_ROWS[name]
    expected_first, expected_second = make_first(), make_second()
    del Logged.calls[:]
    assert expected_first == expected_second
    expected = list(Logged.calls)
    first, second = copy.deepcopy(BASE), copy.deepcopy(BASE)
    first["metadata"]["extra"], second["metadata"]["extra"] = make_first(), make_second()
    del Logged.calls[:]
    assert m._cell_changed(*pair(first, second)) == {}
    assert Logged.calls == expected and expected


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
