"""merge_files: cell decisions, parents, parameters, the written file, order, failures."""
import copy
import json
import os
import pathlib
import stat
import sys
import tempfile
import traceback

import pytest

from conftest import KEPT_MODES, MODULE, SOURCE, entry, module_entries, run_python
from corvane_git.scripts.merge_driver import merge_ipynb as m
from notebooks import (FILE_PATH, UUID4, OsWithoutReplace, ThreeWay, canvas, cell, comment, dumps, edit, find,
                       merge, notebook, parameter, parent, stream, summary, with_cells,
                       with_parameters, without, write)

FIVE = "a\nb\nc\nd\ne\n"
OURS = "A\nb\nc\nd\ne\n"        # our edit, first line
THEIRS = "a\nb\nc\nd\nE\n"      # their edit, last line
MERGED = "A\nb\nc\nd\nE\n"
CONFLICTED = ("a\nb\n<<<<<<< notebook.ipynb-current\nC1\n=======\nC2\n"
              ">>>>>>> notebook.ipynb-incoming\nd\ne\n")

P = cell("P", "first", "p = 0\n", parents=["K"])
K = cell("K", "kname", FIVE, parents=["P"], comments=[comment("base note")])
Q = cell("Q", None, "q = 0\n")
B = notebook(P, K, Q)
P_, Q_ = ("P", "first", "p = 0\n"), ("Q", None, "q = 0\n")
NEW = "<fresh id>"

B_UNNAMED = edit(B, "K", name=None)
R = cell("R", "Y", "r = 0\n")
B_PKRQ = notebook(P, K, R, Q)

# Every row of the cell-level outcome table: base, ours, theirs, expected (id, name, source).
CELL_ROWS = {
    "deleted on both sides": (B, without(B, "K"), without(B, "K"), [P_, Q_]),
    "we deleted, they left it": (B, without(B, "K"), B, [P_, Q_]),
    "we deleted, they changed only its execution count": (
        B, without(B, "K"), edit(B, "K", execution_count=7), [P_, Q_]),
    "we deleted, they changed its outputs: back at the end, marked": (
        B, without(B, "K"), edit(B, "K", outputs=[stream("1\n")]), [P_, Q_, ("K", ">>> kname", FIVE)]),
    "we deleted an unnamed cell they changed: back at the end, unmarked": (
        B_UNNAMED, without(B_UNNAMED, "K"), edit(B_UNNAMED, "K", source=THEIRS),
        [P_, Q_, ("K", None, THEIRS)]),
    "they added a component with a new name: at the end": (
        B, B, with_cells(B, cell("N", "new", "n\n"), after="P"), [P_, ("K", "kname", FIVE), Q_, ("N", "new", "n\n")]),
    "they added a component named like ours: both marked": (
        B, B, with_cells(B, cell("N", "first", "n\n"), after="P"),
        [("P", "<<< first", "p = 0\n"), ("K", "kname", FIVE), Q_, ("N", ">>> first", "n\n")]),
    "we kept it, they deleted it": (B, B, without(B, "K"), [P_, Q_]),
    "we kept it, they deleted it: their conflict version gets the plain name": (
        B_PKRQ, without(B_PKRQ, "R"), edit(without(B_PKRQ, "K"), "R", name="kname"),
        [P_, Q_, ("R", "kname", "r = 0\n")]),
    "unchanged on both sides": (B, B, B, [P_, ("K", "kname", FIVE), Q_]),
    "we kept it, they changed it to another component's name: both marked": (
        B, B, edit(B, "K", name="first"), [("P", "<<< first", "p = 0\n"), ("K", ">>> first", FIVE), Q_]),
    "we kept it, they changed it: theirs in place": (
        B, B, edit(B, "K", source=THEIRS), [P_, ("K", "kname", THEIRS), Q_]),
    "we changed only outputs and count, they changed it: theirs in place": (
        B, edit(B, "K", outputs=[stream("ours\n")], execution_count=4), edit(B, "K", source=THEIRS),
        [P_, ("K", "kname", THEIRS), Q_]),
    "we changed it, they deleted it: ours marked": (
        B, edit(B, "K", source=OURS), without(B, "K"), [P_, ("K", "<<< kname", OURS), Q_]),
    "we changed an unnamed cell, they deleted it: ours": (
        B_UNNAMED, edit(B_UNNAMED, "K", source=OURS), without(B_UNNAMED, "K"), [P_, ("K", None, OURS), Q_]),
    "we changed it, they left it": (B, edit(B, "K", source=OURS), B, [P_, ("K", "kname", OURS), Q_]),
    "they recoloured and edited: merged source": (
        B, edit(B, "K", source=OURS), edit(B, "K", source=THEIRS, header_color="red"),
        [P_, ("K", "kname", MERGED), Q_]),
    "they only recoloured: ours": (
        B, edit(B, "K", source=OURS), edit(B, "K", header_color="red"), [P_, ("K", "kname", OURS), Q_]),
    "they commented: ours with their comment": (
        B, edit(B, "K", source=OURS), edit(B, "K", comments=[comment("base note"), comment("theirs")]),
        [P_, ("K", "kname", OURS), Q_]),
    "they commented and edited: merged source with their comment": (
        B, edit(B, "K", source=OURS),
        edit(B, "K", source=THEIRS, header_color="red", comments=[comment("base note"), comment("theirs")]),
        [P_, ("K", "kname", MERGED), Q_]),
    "other canvas change, both unnamed: merged source": (
        B_UNNAMED, edit(B_UNNAMED, "K", source=OURS), edit(B_UNNAMED, "K", source=THEIRS, parents=["Q"]),
        [P_, ("K", None, MERGED), Q_]),
    "other canvas change, they cleared the name: theirs after ours, unmarked": (
        B, edit(B, "K", source=OURS), edit(B, "K", source=THEIRS, name=None),
        [P_, ("K", "kname", OURS), (NEW, None, THEIRS), Q_]),
    "other canvas change, both named: both marked, theirs after ours": (
        B, edit(B, "K", source=OURS), edit(B, "K", source=THEIRS, name="renamed"),
        [P_, ("K", "<<< kname", OURS), (NEW, ">>> renamed", THEIRS), Q_]),
    "canvas untouched, we cleared the name: theirs after ours, unmarked": (
        B, edit(B, "K", source=OURS, name=None), edit(B, "K", source=THEIRS),
        [P_, ("K", None, OURS), (NEW, "kname", THEIRS), Q_]),
    "canvas untouched, both named: merged source": (
        B, edit(B, "K", source=OURS), edit(B, "K", source=THEIRS), [P_, ("K", "kname", MERGED), Q_]),
    "canvas untouched, conflicting lines: labelled conflict": (
        B, edit(B, "K", source="a\nb\nC1\nd\ne\n"), edit(B, "K", source="a\nb\nC2\nd\ne\n"),
        [P_, ("K", "kname", CONFLICTED), Q_]),
}


def all_ids(*nbs):
    ids = set()
    for nb in nbs:
        for c in nb["cells"]:
            ids.update((c["id"], canvas(c)["id"]))
    return ids


def check_fresh(result, inputs):
    """The summary with fresh component ids replaced by NEW, after checking them."""
    known = all_ids(*inputs)
    rows = []
    for c, row in zip(result["cells"], summary(result)):
        if row[0] not in known:
            assert UUID4.match(row[0]) and UUID4.match(c["id"]), row
            assert c["id"] != row[0] and c["id"] not in known
            row = (NEW,) + row[1:]
        rows.append(row)
    return rows


class TestCellDecisions:
    @pytest.mark.parametrize("case", sorted(CELL_ROWS))
    def test_outcome_table(self, tmp_path, case):
        base, ours, theirs, expected = CELL_ROWS[case]
        result = merge(tmp_path, base, ours, theirs)
        assert check_fresh(result, (base, ours, theirs)) == expected

    def test_their_copy_after_ours_carries_their_cell(self, tmp_path):
        ours = edit(B, "K", source=OURS)
        theirs = edit(B, "K", source=THEIRS, name="renamed", outputs=[stream("t\n")], execution_count=9)
        result = merge(tmp_path, B, ours, theirs)
        new = result["cells"][2]
        assert new["outputs"] == [stream("t\n")] and new["execution_count"] == 9
        assert new["metadata"]["canvas"]["comments"] == [comment("base note")]
        assert canvas(new)["parents"] == canvas(find(result, "K"))["parents"] == [{"id": "P"}]

    def test_our_outputs_are_replaced_with_theirs(self, tmp_path):
        ours = edit(B, "K", outputs=[stream("ours\n")])
        theirs = edit(B, "K", source=THEIRS, outputs=[stream("theirs\n")])
        assert find(merge(tmp_path, B, ours, theirs), "K")["outputs"] == [stream("theirs\n")]

    def test_recolour_keeps_our_header(self, tmp_path):
        result = merge(tmp_path, B, edit(B, "K", source=OURS, header_color="green"),
                       edit(B, "K", source=THEIRS, header_color="red"))
        assert canvas(find(result, "K"))["headerColor"] == "green"

    def test_both_added_cells_come_in_their_order_after_ours(self, tmp_path):
        theirs = with_cells(B, cell("N2", "two", "2\n"), cell("N1", "one", "1\n"), after="P")
        result = merge(tmp_path, B, B, theirs)
        assert [canvas(c)["id"] for c in result["cells"]] == ["P", "K", "Q", "N2", "N1"]

    def test_cells_we_deleted_come_back_in_base_order(self, tmp_path):
        base = notebook(P, K, R, Q)
        theirs = notebook(edit(base, "R", source="r\n")["cells"][2], Q, P,
                          edit(base, "K", source="k\n")["cells"][1])
        result = merge(tmp_path, base, notebook(P, Q), theirs)
        assert [canvas(c)["id"] for c in result["cells"]] == ["P", "Q", "K", "R"]

    def test_inserted_cell_takes_part_in_later_name_checks(self, tmp_path):
        base = notebook(P, K, cell("L", "lname", "l\n"), Q)
        ours = edit(base, "K", source=OURS, name=None)
        theirs = edit(edit(base, "K", source=THEIRS), "L", name="kname")
        result = merge(tmp_path, base, ours, theirs)
        assert check_fresh(result, (base, ours, theirs)) == [
            P_, ("K", None, OURS), (NEW, ">>> kname", THEIRS), ("L", ">>> kname", "l\n"), Q_]

    def test_a_marked_cell_no_longer_holds_its_plain_name(self, tmp_path):
        base = notebook(cell("A", "x"), cell("B", "y"), cell("C", "z"))
        theirs = edit(edit(base, "B", name="x"), "C", name="x")
        result = merge(tmp_path, base, base, theirs)
        assert [canvas(c)["name"] for c in result["cells"]] == ["<<< x", ">>> x", "x"]

    def test_two_added_components_with_one_new_name_stay_unmarked(self, tmp_path):
        theirs = with_cells(B, cell("N1", "twin", "1\n"), cell("N2", "twin", "2\n"))
        result = merge(tmp_path, B, B, theirs)
        assert [canvas(c)["name"] for c in result["cells"]][3:] == ["twin", "twin"]


def counting_cells(monkeypatch, how):
    """Changes the module's Cell the way `how` says, so that each Cell made for the merge lands
    in the returned list (its component id)."""
    made = []
    if how == "subclass":
        class Counted(m.Cell):
            def __init__(self, cell, file_type):
                made.append(canvas(cell)["id"])
                super().__init__(cell, file_type)
        monkeypatch.setattr(m, "Cell", Counted)
    elif how == "__init__ replaced":
        init = m.Cell.__init__
        monkeypatch.setattr(m.Cell, "__init__", lambda self, cell, file_type: (
            made.append(canvas(cell)["id"]), init(self, cell, file_type))[1])
    elif how == "_data a property":
        def store(self, value):
            made.append(canvas(value)["id"])
            self.__dict__["_data"] = value
        monkeypatch.setattr(m.Cell, "_data", property(lambda self: self.__dict__["_data"], store),
                            raising=False)
    return made


@pytest.mark.parametrize("how", ["subclass", "__init__ replaced", "_data a property"])
def test_a_changed_cell_class_makes_every_cell_as_the_host_does(tmp_path, monkeypatch, how):
    """A merge makes its Cells without the host's call machinery only while Cell is the class the
    module defined; a changed class gets each call the host would make, and the same result."""
    ours, theirs = edit(B, "K", source=OURS), edit(B, "Q", source="q = 1\n")
    (tmp_path / "plain").mkdir()
    (tmp_path / "changed").mkdir()
    expected = merge(tmp_path / "plain", B, ours, theirs)
    made = counting_cells(monkeypatch, how)
    assert merge(tmp_path / "changed", B, ours, theirs) == expected
    # Each side's three cells, ours twice (its own table and the merged one), their new Q once more.
    assert sorted(made) == ["K"] * 4 + ["P"] * 4 + ["Q"] * 5


class TestDeliberateRules:
    @pytest.mark.parametrize("name", [None, 5])
    def test_non_string_name_is_removed_without_renaming(self, tmp_path, name):
        base = notebook(P, edit(B, "K", name=name)["cells"][1], Q, cell("G", ">>> %s" % name, "g\n"))
        result = merge(tmp_path, base, base, without(base, "K"))
        assert summary(result) == [P_, Q_, ("G", ">>> %s" % name, "g\n")]

    @pytest.mark.parametrize("flags", [(), ("-O",)])
    def test_both_added_one_id_differently_keeps_both(self, tmp_path, flags):
        ours = with_cells(B, cell("N", "mine", "n = 1\n"))
        theirs = with_cells(B, cell("N", "yours", "n = 2\n"))
        three = ThreeWay(tmp_path, B, ours, theirs)
        out = run_python("""
            from corvane_git.scripts.merge_driver import merge_ipynb as m
            m.merge_files(%r, %r, %r, "nb.ipynb")
            emit(json.load(open(%r))["cells"])
        """ % (three.base, three.ours, three.theirs, three.ours), *flags)
        result = {"cells": out}
        rows = check_fresh(result, (B, ours, theirs))
        assert rows == [P_, ("K", "kname", FIVE), Q_, ("N", "<<< mine", "n = 1\n"),
                        (NEW, ">>> yours", "n = 2\n")]

    def test_both_added_one_id_with_one_name(self, tmp_path):
        ours = with_cells(B, cell("N", None, "n = 1\n"))
        theirs = with_cells(B, cell("N", "yours", "n = 2\n"))
        rows = check_fresh(merge(tmp_path, B, ours, theirs), (B, ours, theirs))
        assert rows[3:] == [("N", None, "n = 1\n"), (NEW, "yours", "n = 2\n")]

    def test_both_added_one_id_alike_apart_from_outputs(self, tmp_path):
        ours = with_cells(B, cell("N", "same", "n\n", outputs=[stream("1\n")]), after="P")
        theirs = with_cells(B, cell("N", "same", "n\n", outputs=[stream("2\n")], execution_count=3))
        result = merge(tmp_path, B, ours, theirs)
        assert summary(result) == [P_, ("N", "same", "n\n"), ("K", "kname", FIVE), Q_]
        assert find(result, "N")["outputs"] == [stream("1\n")]

    def test_their_comments_new_to_base_and_ours_are_appended(self, tmp_path):
        base_note, dropped, shared, fresh = (comment(t) for t in ("base note", "dropped", "shared", "fresh"))
        base = edit(B, "K", comments=[base_note, dropped])
        ours = edit(base, "K", source=OURS, comments=[base_note, shared])      # we removed "dropped"
        theirs = edit(base, "K", comments=[base_note, dropped, shared, fresh, fresh])
        result = merge(tmp_path, base, ours, theirs)
        assert canvas(find(result, "K"))["comments"] == [base_note, shared, fresh]

    @pytest.mark.parametrize("held, theirs, taken", [
        ({"n": 1, "at": [1, {"k": True}]}, {"at": [1.0, {"k": 1}], "n": True}, False),  # equal values
        ({"n": [1]}, {"n": [1, 1]}, True),
        ({"n": []}, {"n": {}}, True),
        ({"n": [["a", "b"]]}, {"n": [["a"], ["b"]]}, True),
        ({"n": {"a": None}}, {"n": {"a": None, "b": None}}, True),
        ({"n": "1"}, {"n": 1}, True),
    ], ids=["equal", "longer", "list or map", "nesting", "more keys", "text or number"])
    @pytest.mark.parametrize("where", ["base", "ours"])
    def test_their_comment_is_new_unless_equal_as_a_value(self, tmp_path, held, theirs, taken,
                                                           where):
        """Their comment is compared with those of base and ours as values, as == compares."""
        base = edit(B, "K", comments=[held] if where == "base" else [])
        ours = edit(base, "K", source=OURS, comments=[held])
        result = merge(tmp_path, base, ours, edit(base, "K", comments=[held, theirs]
                                                  if where == "base" else [theirs]))
        assert canvas(find(result, "K"))["comments"] == [held] + [theirs] * taken

    def test_base_without_comments_counts_as_none(self, tmp_path):
        base = copy.deepcopy(B)
        del canvas(find(base, "K"))["comments"]
        ours = edit(base, "K", source=OURS, comments=[comment("mine")])
        theirs = edit(base, "K", comments=[comment("theirs"), comment("mine")])
        result = merge(tmp_path, base, ours, theirs)
        assert canvas(find(result, "K"))["comments"] == [comment("mine"), comment("theirs")]

    @pytest.mark.parametrize("side, index", [("current", 1), ("base", 0), ("incoming", 2)])
    def test_duplicate_component_id(self, tmp_path, side, index):
        sides = [B, B, B]
        sides[index] = with_cells(B, cell("abc", "x"), cell("abc", "y"))
        three = ThreeWay(tmp_path, sides[0], sides[1], sides[2])
        before = three.snapshot()
        with pytest.raises(ValueError) as exc:
            three.run()
        assert str(exc.value) == "duplicate component id 'abc' in %s notebook" % side
        assert three.snapshot() == before

    def test_duplicate_number_id_is_quoted_as_text(self, tmp_path):
        ours = with_cells(B, cell(5, "x"), cell(5, "y"))
        three = ThreeWay(tmp_path, B, ours, B)
        with pytest.raises(ValueError, match=r"^duplicate component id '5' in current notebook$"):
            three.run()


class TestParents:
    def test_parents_point_only_at_surviving_components(self, tmp_path):
        base = notebook(cell("A", "a"), cell("U", None), cell("D", "d"),
                        cell("C", "c", parents=[parent("A", "a"), "U", "D", "gone", "A"]),
                        cell("V", None, parents=["A", "U"]))
        result = merge(tmp_path, base, base, without(base, "D"))
        assert canvas(find(result, "C"))["parents"] == [{"id": "A"}, {"id": "A"}]
        # An unnamed cell's parents stay as they are, apart from the names that the diff drops.
        assert canvas(find(result, "V"))["parents"] == [{"id": "A"}, {"id": "U"}]

    def test_parent_keeps_every_key_but_loses_them_on_components(self, tmp_path):
        base = notebook(cell("A", "a"), cell("C", "c", parents=[{"id": "A", "name": "a", "x": 1}]))
        result = merge(tmp_path, base, base, base)
        assert canvas(find(result, "C"))["parents"] == [{"id": "A"}]

    def test_parent_replaced_by_their_version_is_kept(self, tmp_path):
        base = notebook(cell("A", "a"), cell("C", "c", parents=["A"]))
        result = merge(tmp_path, base, base, edit(base, "A", source="new\n"))
        assert canvas(find(result, "C"))["parents"] == [{"id": "A"}]

    def test_cell_added_by_ours_only_keeps_named_parents(self, tmp_path):
        ours = with_cells(B, cell("N", "n", parents=["P", "Q", {"id": [1]}, {"id": {"x": 1}}]))
        assert canvas(find(merge(tmp_path, B, ours, B), "N"))["parents"] == [{"id": "P"}]


PARAMS = [parameter("a", "1"), parameter("b", "2"), parameter("c", "3")]


def param_case(base, ours, theirs):
    return (with_parameters(B, *base), with_parameters(B, *ours), with_parameters(B, *theirs))


A1, A2, A3 = parameter("a", "1"), parameter("a", "2"), parameter("a", "3")
Z1 = parameter("z", "1")
# Every row of the parameter outcome table, with "z" standing by so that places show.
PARAM_ROWS = {
    "kept, they deleted: removed": ([Z1, A1], [Z1, A1], [Z1], [Z1]),
    "kept, they kept": ([A1, Z1], [A1, Z1], [A1, Z1], [A1, Z1]),
    "kept, they changed: theirs in place": ([A1, Z1], [A1, Z1], [A2, Z1], [A2, Z1]),
    "changed, they deleted: ours marked at the end": (
        [A1, Z1], [A2, Z1], [Z1], [Z1, parameter("<<< a", "2")]),
    "changed, they kept: ours": ([A1, Z1], [A2, Z1], [A1, Z1], [A2, Z1]),
    "changed alike on both sides: ours": ([A1, Z1], [A2, Z1], [A2, Z1], [A2, Z1]),
    "changed differently: both at the end": (
        [A1, Z1], [A2, Z1], [A3, Z1], [Z1, parameter("<<< a", "2"), parameter(">>> a", "3")]),
    "deleted on both sides": ([A1, Z1], [Z1], [Z1], [Z1]),
    "we deleted, they kept": ([A1, Z1], [Z1], [A1, Z1], [Z1]),
    "we deleted, they changed: theirs marked at the end": (
        [A1, Z1], [Z1], [A2, Z1], [Z1, parameter(">>> a", "2")]),
    "only we added": ([Z1], [A1, Z1], [Z1], [A1, Z1]),
    "only they added: at the end": ([Z1], [Z1], [A1, Z1], [Z1, A1]),
    "both added alike": ([Z1], [A1, Z1], [Z1, A1], [A1, Z1]),
    "both added differently": ([Z1], [A1, Z1], [A2, Z1], [Z1, parameter("<<< a", "1"), parameter(">>> a", "2")]),
}


class TestParameters:
    @pytest.mark.parametrize("case", sorted(PARAM_ROWS))
    def test_outcome_table(self, tmp_path, case):
        base, ours, theirs, expected = PARAM_ROWS[case]
        result = merge(tmp_path, *param_case(base, ours, theirs))
        assert canvas(result)["parameters"] == expected

    def test_maps_compare_whole_and_in_any_key_order(self, tmp_path):
        base = [parameter("a", "1", kind="int")]
        ours = [{"kind": "int", "value": "1", "name": "a"}]
        theirs = [parameter("a", "1", kind="float")]
        result = merge(tmp_path, *param_case(base, ours, theirs))
        assert canvas(result)["parameters"] == theirs

    def test_duplicate_names_leave_the_later_map_at_the_first_place(self, tmp_path):
        ours = [parameter("a", "first"), Z1, parameter("a", "second")]
        result = merge(tmp_path, *param_case([Z1], ours, [Z1]))
        assert canvas(result)["parameters"] == [parameter("a", "second"), Z1]

    def test_conflicts_follow_base_order_then_their_order(self, tmp_path):
        base = [parameter("b", "0"), parameter("d", "0"), parameter("a", "0"), parameter("c", "0")]
        ours = [parameter("a", "1"), parameter("b", "1"), parameter("y", "1"), parameter("x", "1")]
        theirs = [parameter("c", "2"), parameter("x", "2"), parameter("y", "2"), parameter("a", "2"),
                  parameter("b", "2"), parameter("d", "2")]
        names = [p["name"] for p in canvas(merge(tmp_path, *param_case(base, ours, theirs)))["parameters"]]
        assert names == ["<<< b", ">>> b", "<<< a", ">>> a", ">>> d", ">>> c",
                         "<<< x", ">>> x", "<<< y", ">>> y"]


class TestOutputForm:
    def test_identical_notebooks_come_out_in_the_one_line_form(self, tmp_path):
        nb = notebook(cell("A", "ä \U0001F600", "print('ü')\n", parents=["B"]), cell("B", "b", parents=["A"]),
                      parameters=[parameter("é", "1")], kernelspec={"name": "python3"})
        nb["extra"] = {"keep": [1, 2.5, True, None]}
        three = ThreeWay(tmp_path, nb, nb, nb)
        three.run()
        expected = copy.deepcopy(nb)
        canvas(expected["cells"][0])["parents"] = [{"id": "B"}]
        canvas(expected["cells"][1])["parents"] = [{"id": "A"}]
        assert three.text() == json.dumps(expected)
        assert "\\u00e4 \\ud83d\\ude00" in three.text()

    def test_merged_document_byte_exact(self, tmp_path):
        ours = edit(with_parameters(B, parameter("a", "1")), "K", source=OURS)
        theirs = edit(with_parameters(B, parameter("a", "2")), "K", source=THEIRS, header_color="red")
        three = ThreeWay(tmp_path, with_parameters(B, parameter("a", "0")), ours, theirs, layout="compact")
        three.run()
        expected = copy.deepcopy(ours)
        find(expected, "K")["source"] = MERGED.splitlines(keepends=True)
        canvas(find(expected, "P"))["parents"] = [{"id": "K"}]
        canvas(find(expected, "K"))["parents"] = [{"id": "P"}]
        canvas(expected)["parameters"] = [parameter("<<< a", "1"), parameter(">>> a", "2")]
        assert three.text() == json.dumps(expected)

    def test_empty_notebooks(self, tmp_path):
        nb = notebook()
        assert merge(tmp_path, nb, nb, nb) == nb

    def test_file_path_is_only_a_label(self, tmp_path):
        label = str(tmp_path / "sub" / "never.ipynb")
        result = merge(tmp_path, B, edit(B, "K", source="a\nb\nC1\nd\ne\n"),
                       edit(B, "K", source="a\nb\nC2\nd\ne\n"), file_path=label)
        assert find(result, "K")["source"][2] == "<<<<<<< %s-current\n" % label
        assert not (tmp_path / "sub").exists()

    def test_none_file_path_labels_as_none(self, tmp_path):
        result = merge(tmp_path, B, edit(B, "K", source="a\nb\nC1\nd\ne\n"),
                       edit(B, "K", source="a\nb\nC2\nd\ne\n"), file_path=None)
        assert find(result, "K")["source"][-3] == ">>>>>>> None-incoming\n"

    def test_relative_paths_as_git_passes_them(self, tmp_path, monkeypatch):
        three = ThreeWay(tmp_path, B, B, edit(B, "K", source=THEIRS))
        monkeypatch.chdir(tmp_path)
        assert m.merge_files("base.ipynb", "ours.ipynb", "theirs.ipynb", "nb.ipynb") is None
        assert summary(three.result()) == [P_, ("K", "kname", THEIRS), Q_]
        assert sorted(os.listdir(tmp_path)) == ["base.ipynb", "ours.ipynb", "theirs.ipynb"]

    def test_arguments_keep_their_references(self, tmp_path):
        three = ThreeWay(tmp_path, B, B, B)
        paths = [str(p) for p in (three.base, three.ours, three.theirs)] + ["label.ipynb"]
        counts = [sys.getrefcount(p) for p in paths]
        for _ in range(30):
            m.merge_files(*paths)
        assert [sys.getrefcount(p) for p in paths] == counts

    @pytest.mark.parametrize("mode", KEPT_MODES, ids=oct)
    def test_written_through_a_replaced_file_with_its_mode(self, tmp_path, mode):
        three = ThreeWay(tmp_path, B, B, edit(B, "K", source=THEIRS))
        os.chmod(three.ours, mode)
        inode = os.stat(three.ours).st_ino
        three.run()
        assert stat.S_IMODE(os.stat(three.ours).st_mode) == mode
        assert os.stat(three.ours).st_ino != inode
        assert sorted(os.listdir(tmp_path)) == ["base.ipynb", "ours.ipynb", "theirs.ipynb"]


class TestOrder:
    """Base holds A "X" and B "Y"; ours changes nothing; theirs deletes A and renames B "X"."""

    BASE = notebook(cell("A", "X", "a\n"), cell("B", "Y", "b\n"))
    THEIRS = edit(without(BASE, "A"), "B", name="X")

    @staticmethod
    def run_in_children(tmp_path, monkeypatch, base, theirs, layout):
        three = ThreeWay(tmp_path, base, base, theirs, layout)
        texts = set()
        for seed in ("0", "1", "2", "123", "4242"):
            write(three.ours, base, layout)
            monkeypatch.setenv("PYTHONHASHSEED", seed)
            out = run_python("""
                import os
                from corvane_git.scripts.merge_driver import merge_ipynb as m
                m.merge_files(%r, %r, %r, "nb.ipynb")
                emit([os.environ["PYTHONHASHSEED"], open(%r, encoding="utf-8").read()])
            """ % (three.base, three.ours, three.theirs, three.ours))
            assert out[0] == seed
            texts.add(out[1])
        assert len(texts) == 1
        return json.loads(texts.pop())

    @pytest.mark.parametrize("layout", ["jupyter", "compact"])
    def test_same_result_under_any_hash_seed_and_file_layout(self, tmp_path, monkeypatch, layout):
        result = self.run_in_children(tmp_path, monkeypatch, self.BASE, self.THEIRS, layout)
        assert summary(result) == [("B", "X", "b\n")]

    def test_ids_both_hold_are_decided_in_our_order(self, tmp_path):
        # We moved B before A (a move changes no cell): B's rename is decided first and meets A's name.
        ours = notebook(*reversed(self.BASE["cells"]))
        result = merge(tmp_path, self.BASE, ours, self.THEIRS)
        assert summary(result) == [("B", ">>> X", "b\n"), ("A", "<<< X", "a\n")]

    def test_cell_order_decides_which_rule_meets_the_name_first(self, tmp_path, monkeypatch):
        # With B first, B's rename meets A's name before A's deletion is decided: a marked pair.
        base = notebook(*reversed(self.BASE["cells"]))
        result = self.run_in_children(tmp_path, monkeypatch, base, edit(without(base, "A"), "B", name="X"),
                                      "compact")
        assert summary(result) == [("B", ">>> X", "b\n"), ("A", "<<< X", "a\n")]


def failing_cases():
    no_name = copy.deepcopy(B)
    del canvas(find(no_name, "K"))["name"]
    no_parents = with_cells(B, cell("N", "n"))
    del canvas(find(no_parents, "N"))["parents"]
    bad_parent = with_cells(B, cell("N", "n", parents=[{"name": "x"}]))
    null_meta = copy.deepcopy(B)
    find(null_meta, "K")["metadata"] = None
    no_cells = copy.deepcopy(B)
    del no_cells["cells"]
    no_meta = copy.deepcopy(B)
    del no_meta["metadata"]
    nameless_param = with_parameters(B, {"value": "1"})
    return {
        # name: (base, ours, theirs, exception type, text or None, the merge_files line)
        "ours missing a cell's canvas id": (
            B, _without_key(B, "K", "id"), B, KeyError, "'id'", 223),
        "base without cells": (no_cells, B, B, KeyError, "'cells'", 225),
        "theirs with a null metadata": (B, B, null_meta, TypeError, "'NoneType' object is not subscriptable", 226),
        "their added cell without a name": (B, B, with_cells(no_name, cell("N", "n")), KeyError, "'name'", 392),
        "a component without parents": (B, no_parents, B, KeyError, "'parents'", 406),
        "a parent without id": (B, bad_parent, B, KeyError, "'id'", 406),
        "theirs without metadata": (B, B, no_meta, KeyError, "'metadata'", 423),
        "a parameter without name": (B, nameless_param, B, KeyError, "'name'", 421),
        "a parameter conflict on a number name": (
            with_parameters(B, parameter(7, "0")), with_parameters(B, parameter(7, "1")),
            with_parameters(B, parameter(7, "2")), TypeError, None, 442),
        "duplicate ids in theirs": (
            B, B, with_cells(B, cell("P", "again")), ValueError, "duplicate component id 'P' in incoming notebook", 226),
        "a NUL byte in their source": (
            B, edit(B, "K", source=OURS), edit(B, "K", source="a\nb\nc\nd\n\0\n"), None, None, 355),
    }


def _without_key(nb, link_id, key):
    nb = copy.deepcopy(nb)
    del canvas(find(nb, link_id))[key]
    return nb


FAILING = failing_cases()


class TestFailures:
    @pytest.fixture(autouse=True)
    def private_tempdir(self, tmp_path, monkeypatch):
        self.tempdir = tmp_path / "tmp"
        self.tempdir.mkdir()
        monkeypatch.setattr(tempfile, "tempdir", str(self.tempdir))

    @pytest.fixture
    def work(self, tmp_path):
        """The notebooks' directory, apart from the temporary one."""
        directory = tmp_path / "work"
        directory.mkdir()
        return directory

    def merge_fails(self, three, exception=Exception):
        before = three.snapshot()
        with pytest.raises(exception) as exc:
            three.run()
        assert three.snapshot() == before
        assert os.listdir(str(self.tempdir)) == []
        return exc.value

    @pytest.mark.parametrize("case", sorted(FAILING))
    def test_nothing_changes(self, work, case):
        import git
        base, ours, theirs, exception, text, line = FAILING[case]
        error = self.merge_fails(ThreeWay(work, base, ours, theirs), exception or git.GitCommandError)
        if text is not None:
            assert str(error) == text
        assert module_entries(error)[0] == entry("merge_files", line)

    def test_fresh_id_already_in_the_table(self, work, monkeypatch):
        monkeypatch.setattr(m, "uuid", type("Repeating", (), {"uuid4": staticmethod(lambda: "P")}))
        three = ThreeWay(work, B, edit(B, "K", source=OURS), edit(B, "K", name="renamed"))
        error = self.merge_fails(three, ValueError)
        assert str(error) == "fresh id 'P' is already in the merged notebook"
        assert module_entries(error) == [entry("merge_files", 332)]

    def test_unreadable_files(self, work):
        three = ThreeWay(work, B, B, B)
        with open(three.base, "wb") as f:
            f.write(b'{"cells": "\xff"}')
        error = self.merge_fails(three, UnicodeDecodeError)
        assert module_entries(error) == [entry("merge_files", 219)]
        write(three.base, B)
        with open(three.theirs, "w") as f:
            f.write('{"cells": [')
        error = self.merge_fails(three, json.JSONDecodeError)
        assert module_entries(error) == [entry("merge_files", 221)]
        os.remove(three.theirs)
        error = self.merge_fails(three, FileNotFoundError)
        assert module_entries(error) == [entry("merge_files", 220)]

    def test_writer_failure_leaves_the_file(self, work, monkeypatch):
        class HalfJson:
            load = staticmethod(json.load)

            @staticmethod
            def dump(obj, fp):
                fp.write('{"cells": ')
                raise OverflowError("no room")

        monkeypatch.setattr(m, "json", HalfJson)
        error = self.merge_fails(ThreeWay(work, B, B, edit(B, "K", source=THEIRS)), OverflowError)
        assert module_entries(error) == [entry("merge_files", 489)]

    @pytest.mark.parametrize("mode", KEPT_MODES, ids=oct)
    def test_replace_failure_leaves_the_file(self, work, monkeypatch, mode):
        three = ThreeWay(work, B, B, edit(B, "K", source=THEIRS))
        os.chmod(three.ours, mode)
        monkeypatch.setattr(m, "os", OsWithoutReplace())
        error = self.merge_fails(three, PermissionError)
        assert str(error) == "locked"
        assert stat.S_IMODE(os.stat(three.ours).st_mode) == mode

    def test_nested_source_merge_failure_has_both_entries(self, work):
        ours, theirs = edit(B, "K", source=OURS), edit(B, "K", source="a\n\0\n")
        error = self.merge_fails(ThreeWay(work, B, ours, theirs))
        assert error.status == 255
        assert module_entries(error) == [entry("merge_files", 355), entry("_merge_source", 41)]

    def test_accessor_failure_has_the_cell_entry(self, work):
        theirs = with_cells(B, _without_key(notebook(cell("N", "n")), "N", "name")["cells"][0])
        error = self.merge_fails(ThreeWay(work, B, B, theirs), KeyError)
        assert module_entries(error) == [entry("merge_files", 245), entry("Cell.name", 131)]

    def test_paths_must_be_exact_strings(self, work):
        three = ThreeWay(work, B, B, B)
        path = pathlib.Path(three.ours)
        with pytest.raises(TypeError) as exc:
            m.merge_files(three.base, path, three.theirs, FILE_PATH)
        assert str(exc.value) == ("Argument 'current_file_path' has incorrect type (expected str, got %s)"
                                  % type(path).__name__)


class TestCollectorState:
    """The merge holds the cyclic collector off while it runs and hands it back as it found it."""

    @pytest.mark.parametrize("enabled", [True, False])
    @pytest.mark.parametrize("fails", [False, True])
    def test_state_restored(self, tmp_path, enabled, fails):
        import gc
        seen = []
        base = notebook(cell("K", "k", "x\n"))
        three = ThreeWay(tmp_path, base, base, edit(base, "K", source="y\n"))
        original = m.json
        m.json = type("Json", (), {
            "load": staticmethod(lambda fp: seen.append(gc.isenabled()) or original.load(fp)),
            "dump": staticmethod(lambda *a: (_ for _ in ()).throw(OSError("disk full")) if fails
                                 else original.dump(*a))})
        (gc.enable if enabled else gc.disable)()
        try:
            if fails:
                with pytest.raises(OSError):
                    three.run()
            else:
                three.run()
            assert gc.isenabled() == enabled
        finally:
            m.json = original
            gc.enable()
        assert seen == [False, False, False]
