"""Three-way merges of real notebooks (tests/data/corpus) given a canvas layer.

Each whole notebook becomes a base; our side and their side each make a few edits that the merge
must take (source edits, deletions, additions, a parameter change), both edit one cell's lines
apart, their side recolours a component that we edit, and their side changes the outputs of the
two cells with the largest outputs: one we edit (our outputs stay), one only they edit (theirs
come in). The merged file must be exactly the base
with those decisions applied, written in the one-line form.
"""
import copy
import json
import os

import pytest

from notebooks import CORPUS as FILES, SLOW, ThreeWay, add_canvas_layer, canvas, cell, parameter, stream
from reference import files_and_core

PARAMETERS = [parameter("rate", "0.1"), parameter("epochs", "10"), parameter("seed", "42")]


def test_corpus_is_there():
    assert len(FILES) >= (12 if SLOW else 8), "corpus notebooks missing: %s" % FILES


def base_of(path):
    with open(path, encoding="utf-8") as f:
        nb = json.load(f)
    return add_canvas_layer(nb, parameters=PARAMETERS)


class Plan:
    """Which cells each side touches, by position in the base; all different cells."""

    def __init__(self, base):
        cells = base["cells"]
        used = set()

        def take(candidates):
            index = next(i for i in candidates if i not in used)
            used.add(index)
            return index

        multi = [i for i, c in enumerate(cells) if len(c["source"]) >= 3]
        named = [i for i, c in enumerate(cells) if canvas(c)["name"]]
        code = [i for i, c in enumerate(cells) if c["cell_type"] == "code"]
        largest = sorted(code, key=lambda i: -len(json.dumps(cells[i].get("outputs"))))
        # Ours deletes a component that a later component names as its parent.
        self.we_delete = take(named[:-1])
        self.recoloured = take(reversed(named))                 # ours edits, theirs recolours
        self.both = take(multi[len(multi) // 2:] + multi)      # both edit, lines apart
        self.ours = take(multi)                                 # only ours edits
        self.theirs = take(reversed(multi))                     # only theirs edits
        self.big_edited = take(largest)      # ours edits its source, theirs its outputs: ours
        self.big_outputs = take(largest)     # only theirs changes it, outputs included: theirs
        self.anchor = take(range(len(cells)))                  # ours inserts a cell after it
        self.they_delete = take(range(len(cells)))
        self.link = {k: canvas(cells[v])["id"] for k, v in vars(self).items() if isinstance(v, int)}


def prepend(cell, line):
    cell["source"] = [line] + cell["source"]


def append(cell, line):
    src = cell["source"]
    if src and not src[-1].endswith("\n"):
        src = src[:-1] + [src[-1] + "\n"]
    cell["source"] = src + [line]


def change_outputs(cell):
    cell["outputs"] = cell["outputs"][:-1] if cell["outputs"] else [stream("output\n")]


def new_cell(link_id, name):
    return cell(link_id, name, "print(%r)\n" % name, cell_id=link_id + "-cell")


def by_link(nb):
    return {canvas(c)["id"]: c for c in nb["cells"]}


def sides(base, plan):
    ours, theirs = copy.deepcopy(base), copy.deepcopy(base)
    o, t = by_link(ours), by_link(theirs)
    prepend(o[plan.link["ours"]], "# ours\n")
    prepend(o[plan.link["both"]], "# ours, first line\n")
    prepend(o[plan.link["recoloured"]], "# ours, recoloured by them\n")
    ours["cells"].remove(o[plan.link["we_delete"]])
    ours["cells"].insert(ours["cells"].index(o[plan.link["anchor"]]) + 1, new_cell("ours-new", "ours new"))
    canvas(ours)["parameters"][0]["value"] = "0.2"
    prepend(o[plan.link["big_edited"]], "# ours, big\n")

    append(t[plan.link["theirs"]], "# theirs\n")
    append(t[plan.link["both"]], "# theirs, last line\n")
    canvas(t[plan.link["recoloured"]])["headerColor"] = "#ff0000"
    theirs["cells"].remove(t[plan.link["they_delete"]])
    theirs["cells"].insert(0, new_cell("their-new", "their new"))
    canvas(theirs)["parameters"][1]["value"] = "20"
    change_outputs(t[plan.link["big_edited"]])
    change_outputs(t[plan.link["big_outputs"]])
    append(t[plan.link["big_outputs"]], "# theirs, big\n")
    return ours, theirs


def expected_merge(base, plan):
    """The base with both sides' decisions applied, then the parents reduced as the merge does."""
    expected = copy.deepcopy(base)
    e = by_link(expected)
    prepend(e[plan.link["ours"]], "# ours\n")
    prepend(e[plan.link["both"]], "# ours, first line\n")
    append(e[plan.link["both"]], "# theirs, last line\n")
    prepend(e[plan.link["recoloured"]], "# ours, recoloured by them\n")
    append(e[plan.link["theirs"]], "# theirs\n")
    prepend(e[plan.link["big_edited"]], "# ours, big\n")
    change_outputs(e[plan.link["big_outputs"]])
    append(e[plan.link["big_outputs"]], "# theirs, big\n")
    expected["cells"].remove(e[plan.link["we_delete"]])
    expected["cells"].remove(e[plan.link["they_delete"]])
    expected["cells"].insert(expected["cells"].index(e[plan.link["anchor"]]) + 1,
                             new_cell("ours-new", "ours new"))
    expected["cells"].append(new_cell("their-new", "their new"))
    components = {canvas(c)["id"] for c in expected["cells"] if canvas(c)["name"]}
    for c in expected["cells"]:
        if canvas(c)["name"]:
            canvas(c)["parents"] = [{"id": p["id"]} for p in canvas(c)["parents"] if p["id"] in components]
    canvas(expected)["parameters"] = [parameter("rate", "0.2"), parameter("epochs", "20"),
                                      parameter("seed", "42")]
    return expected


@pytest.mark.parametrize("path", FILES, ids=[os.path.basename(f)[:-len(".ipynb")] for f in FILES])
def test_three_way_variant(tmp_path, path):
    base = base_of(path)
    plan = Plan(base)
    ours, theirs = sides(base, plan)
    three = ThreeWay(tmp_path, base, ours, theirs)
    three.run(os.path.basename(path))
    expected = expected_merge(base, plan)
    result = three.result()
    assert [canvas(c)["id"] for c in result["cells"]] == [canvas(c)["id"] for c in expected["cells"]]
    assert result == expected
    assert three.text() == json.dumps(expected)
    # merge_core, on the parsed notebooks, decides alike (no fresh ids: no id is used twice).
    assert files_and_core(lambda: None, base, ours, theirs) == (three.text(),) * 2
    # The parent that ours deleted was somebody's parent and is gone from every component.
    dropped = plan.link["we_delete"]
    assert any(p["id"] == dropped for c in base["cells"] for p in canvas(c)["parents"])
    assert not any(p["id"] == dropped for c in result["cells"] for p in canvas(c)["parents"])
