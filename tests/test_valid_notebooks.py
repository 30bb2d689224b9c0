"""Merged notebooks stay valid Jupyter notebooks.

Real notebooks (tests/data/corpus, nbformat 4.4 without cell ids and 4.5 with them) get the
component layer; each row of DECISIONS makes both sides edit one cell so that the merge takes one
decision of its tables. The three inputs validate with nbformat, and so must the merged notebook.
"""
import copy
import os
import warnings

import nbformat
import pytest

from notebooks import add_canvas_layer, canvas, merge, read

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "corpus")
# The small ones: two of nbformat 4.5 with cell ids, two of 4.4 without.
FILES = [os.path.join(CORPUS, name + ".ipynb") for name in (
    "hf_sagemaker_batch_transform", "numpy100_exercises", "hf_ja_quicktour", "ppp_lecture_5")]
T, OTHER, ADDED = "target", "other", "added"   # component ids of the cells the rows touch


def by_id(nb, link_id):
    return next(c for c in nb["cells"] if canvas(c)["id"] == link_id)


# Edits, each applied to one side's notebook `nb` (the base's deep copy).
def src(nb, side):
    """Ours adds a first line, theirs a last line: a clean source merge."""
    cell = by_id(nb, T)
    cell["source"] = (["# ours\n"] + cell["source"] if side == "ours"
                      else cell["source"][:-1] + [cell["source"][-1].rstrip("\n") + "\n", "# theirs\n"])


def same_lines(nb, side):
    by_id(nb, T)["source"] = ["x = %r\n" % side]


def delete(nb, side):
    nb["cells"].remove(by_id(nb, T))


def rename(name):
    def edit(nb, side):
        canvas(by_id(nb, T))["name"] = name
    return edit


def recolour(nb, side):
    canvas(by_id(nb, T))["headerColor"] = "#ff0000"


def comment(nb, side):
    canvas(by_id(nb, T))["comments"].append({"author": side, "text": "a note"})


def reparent(nb, side):
    canvas(by_id(nb, T))["parents"] = [{"id": OTHER}]


def add(name):
    """A new cell at the end, component ADDED, with the side's source."""
    def edit(nb, side):
        cell = copy.deepcopy(by_id(nb, T))
        canvas(cell).update(id=ADDED, name=name)
        cell["source"] = ["added by %s\n" % side]
        if "id" in cell:
            cell["id"] = "added-cell"
        nb["cells"].append(cell)
    return edit


def parameter_value(nb, side):
    canvas(nb)["parameters"][0]["value"] = side


# (row id, the target's name in the base, our edits, their edits, cells gained, marked names)
DECISIONS = [
    ("both delete", "t", [delete], [delete], -1, []),
    ("we delete, they keep", "t", [delete], [], -1, []),
    ("we delete, they edit", "t", [delete], [src], 0, [">>> t"]),
    ("they add", "t", [], [add("new")], 1, []),
    ("they add a name we hold", "t", [], [add("t")], 1, ["<<< t", ">>> t"]),
    ("they delete", "t", [], [delete], -1, []),
    ("they edit", "t", [], [src], 0, []),
    ("they edit and take a name we hold", "t", [], [rename(OTHER), src], 0,
     ["<<< other", ">>> other"]),
    ("we edit, they delete, named", "t", [src], [delete], 0, ["<<< t"]),
    ("we edit, they delete, unnamed", None, [src], [delete], 0, []),
    ("we edit", "t", [src], [], 0, []),
    ("both edit, they recolour and edit", "t", [src], [recolour, src], 0, []),
    ("both edit, they recolour", "t", [src], [recolour], 0, []),
    ("both edit, they comment", "t", [src], [comment, src], 0, []),
    ("both edit, they relink, unnamed", None, [src], [reparent, src], 0, []),
    ("both edit, they relink, one named", None, [rename("mine"), src], [reparent, src], 1, []),
    ("both edit, they relink, both named", "t", [src], [reparent, src], 1, ["<<< t", ">>> t"]),
    ("both edit, canvas untouched, one named", "t", [rename(None), src], [src], 1, []),
    ("both edit the same lines", "t", [same_lines], [same_lines], 0, []),
    ("both add one id differently", "t", [add("new")], [add("new")], 2, ["<<< new", ">>> new"]),
    ("both change a parameter", "t", [parameter_value], [parameter_value], 0, []),
]


def base_of(path, target_name):
    """The notebook with the component layer; a cell of at least 3 lines becomes T, named
    `target_name`, and the next cell OTHER, named "other"."""
    nb = add_canvas_layer(read(path), parameters=[{"name": "rate", "value": "0.1"}])
    at = next(i for i, c in enumerate(nb["cells"]) if len(c["source"]) >= 3)
    for cell, link_id, name in ((nb["cells"][at], T, target_name),
                                (nb["cells"][at + 1], OTHER, OTHER)):
        canvas(cell).update(id=link_id, name=name, parents=[])
    return nb


def validate(nb):
    """nbformat's validation of `nb`, whose warnings (a missing cell id) count as failures."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        nbformat.validate(copy.deepcopy(nb))
    assert [str(w.message) for w in caught if "nbformat" in w.filename] == []


@pytest.mark.parametrize("path", FILES, ids=[os.path.basename(f)[:-len(".ipynb")] for f in FILES])
@pytest.mark.parametrize("decision, name, ours_edits, theirs_edits, gained, marked", DECISIONS,
                         ids=[row[0] for row in DECISIONS])
def test_merged_notebook_validates(tmp_path, path, decision, name, ours_edits, theirs_edits,
                                   gained, marked):
    base = base_of(path, name)
    ours, theirs = copy.deepcopy(base), copy.deepcopy(base)
    for nb, side, edits in ((ours, "ours", ours_edits), (theirs, "theirs", theirs_edits)):
        for edit in edits:
            edit(nb, side)
    for nb in (base, ours, theirs):
        validate(nb)
    result = merge(tmp_path, base, ours, theirs)
    validate(result)
    # The row reached the decision it names.
    assert len(result["cells"]) - len(base["cells"]) == gained
    assert sorted(n for n in (canvas(c)["name"] for c in result["cells"])
                  if n and n[:4] in ("<<< ", ">>> ")) == marked


def test_the_corpus_has_both_formats():
    minors = sorted({read(f)["nbformat_minor"] for f in FILES})
    assert minors == [4, 5]
