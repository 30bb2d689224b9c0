"""Properties of merge_files over random three-way notebook triples (hypothesis).

The triples: a base of up to six cells, with component ids from a small pool, names from a small
pool (so that names clash), parents pointing at ids of the pool (some never present), comments,
outputs, execution counts and a few parameters with distinct names; each side derived from the
base by deleting, editing (source lines, name, header colour, comments, outputs, execution count,
parents), adding cells with ids the base does not hold (both sides may add the same id) and moving
cells, and by changing, deleting and adding parameters. Sources hold lines ending in a line feed,
the last one possibly without; no carriage returns and no NUL bytes, which git merge-file treats
as text it changes or refuses.

Example counts are small by default and the examples fixed, so that every run checks the same
cases; HYPOTHESIS_PROFILE=long runs 2,000 fresh random examples per property.
"""
import copy
import json
import os
import random
import uuid

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from notebooks import UUID4
from reference import files_and_core, merged_text as merge

settings.register_profile("default", max_examples=40, deadline=None, derandomize=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

IDS = ["c%d" % n for n in range(9)]
NAMES = [None, "", "load", "train", "plot"]
MARKS = ("<<< ", ">>> ")

names = st.sampled_from(NAMES)
lines = st.sampled_from(["a\n", "b\n", "c\n", "x = 1\n", "print(x)\n", "é ü 😀\n", "# note\n"])
sources = st.builds(lambda body, tail: body + tail, st.lists(lines, max_size=5),
                    st.sampled_from([[], [], ["end"], ["ünï"]]))
parents = st.lists(st.builds(
    lambda link, named: {"id": link, "name": "name of " + link} if named else {"id": link},
    st.sampled_from(IDS + ["gone"]), st.booleans()), max_size=3)
comments = st.lists(st.builds(lambda t: {"author": "ana", "text": t}, st.sampled_from(["one", "two", "three"])),
                    max_size=2)
outputs = st.lists(st.builds(lambda t: {"name": "stdout", "output_type": "stream", "text": [t]},
                             st.sampled_from(["1\n", "2\n"])), max_size=1)
colors = st.sampled_from(["#ffffff", "red"])
counts = st.one_of(st.none(), st.integers(1, 9))


@st.composite
def cells(draw, link_id):
    return {"cell_type": "code", "execution_count": draw(counts), "id": "cell-" + link_id,
            "metadata": {"canvas": {"comments": draw(comments), "headerColor": draw(colors), "id": link_id,
                                    "name": draw(names), "parents": draw(parents)}},
            "outputs": draw(outputs), "source": draw(sources)}


@st.composite
def edited(draw, cell):
    """`cell` with one to three of its parts changed (maybe to what they were)."""
    cell = copy.deepcopy(cell)
    canvas = cell["metadata"]["canvas"]
    for part in draw(st.lists(st.sampled_from(
            ["line", "source", "name", "color", "comment", "outputs", "count", "parents"]),
            min_size=1, max_size=3, unique=True)):
        if part == "line":
            source = cell["source"]
            at = draw(st.integers(0, len(source)))
            if source and at < len(source) and draw(st.booleans()):
                source[at] = draw(lines)
            else:
                source.insert(at, draw(lines))
        elif part == "source":
            cell["source"] = draw(sources)
        elif part == "name":
            canvas["name"] = draw(names)
        elif part == "color":
            canvas["headerColor"] = draw(colors)
        elif part == "comment":
            canvas["comments"].append({"author": "bo", "text": draw(st.sampled_from(["new", "one"]))})
        elif part == "outputs":
            cell["outputs"] = draw(outputs)
        elif part == "count":
            cell["execution_count"] = draw(counts)
        else:
            canvas["parents"] = draw(parents)
    return cell


def parameter_lists(names_pool):
    return st.lists(st.builds(lambda n, v: {"name": n, "value": v}, st.sampled_from(names_pool),
                              st.sampled_from(["0.1", "0.2", "3"])), max_size=3, unique_by=lambda p: p["name"])


@st.composite
def notebooks(draw):
    ids = draw(st.lists(st.sampled_from(IDS), max_size=6, unique=True))
    return {"cells": [draw(cells(i)) for i in ids],
            "metadata": {"canvas": {"parameters": draw(parameter_lists(["rate", "size", "seed"]))},
                         "kernelspec": {"name": "python3"}},
            "nbformat": 4, "nbformat_minor": 5}


@st.composite
def derived(draw, base):
    """One side's notebook: the base with cells kept, edited, deleted, added and moved."""
    nb = copy.deepcopy(base)
    kept = []
    for cell in nb["cells"]:
        action = draw(st.sampled_from(["keep", "keep", "edit", "edit", "delete"]))
        if action == "edit":
            kept.append(draw(edited(cell)))
        elif action == "keep":
            kept.append(cell)
    free = [i for i in IDS if i not in {link_id(c) for c in base["cells"]}]
    for new_id in draw(st.lists(st.sampled_from(free), max_size=2, unique=True)) if free else []:
        kept.insert(draw(st.integers(0, len(kept))), draw(cells(new_id)))
    if draw(st.integers(0, 4)) == 0:
        kept = draw(st.permutations(kept))
    nb["cells"] = kept
    parameters = []
    for p in nb["metadata"]["canvas"]["parameters"]:
        action = draw(st.sampled_from(["keep", "keep", "change", "delete"]))
        if action == "change":
            parameters.append(dict(p, value=draw(st.sampled_from(["0.1", "0.2", "9"]))))
        elif action == "keep":
            parameters.append(p)
    held = {p["name"] for p in parameters} | {p["name"] for p in base["metadata"]["canvas"]["parameters"]}
    for p in draw(parameter_lists(["rate", "size", "seed", "extra", "more"])):
        if p["name"] not in held:
            parameters.append(p)
    nb["metadata"]["canvas"]["parameters"] = parameters
    return nb


@st.composite
def triples(draw):
    base = draw(notebooks())
    return base, draw(derived(base)), draw(derived(base))


def link_id(cell):
    return cell["metadata"]["canvas"]["id"]


def name_of(cell):
    return cell["metadata"]["canvas"]["name"]


def without_parent_names(cell):
    cell = copy.deepcopy(cell)
    for p in cell["metadata"]["canvas"]["parents"]:
        p.pop("name", None)
    return cell


def with_component_parents(cells):
    """The cells with the parents of every component reduced to {"id"} entries of components."""
    components = {link_id(c) for c in cells if name_of(c)}
    for c in cells:
        if name_of(c):
            canvas = c["metadata"]["canvas"]
            canvas["parents"] = [{"id": p["id"]} for p in canvas["parents"] if p["id"] in components]
    return cells


def notebook_with(nb, cells, parameters):
    nb = copy.deepcopy(nb)
    nb["cells"] = cells
    nb["metadata"]["canvas"]["parameters"] = parameters
    return nb


def as_compared(cell):
    """What the merge compares of a cell: no outputs, no execution count, no parent names."""
    cell = without_parent_names(cell)
    cell.pop("outputs", None)
    cell.pop("execution_count", None)
    return cell


def plain(name):
    return name[len(MARKS[0]):] if isinstance(name, str) and name.startswith(MARKS) else name


@given(triples())
def test_output_is_one_notebook(triple):
    """Any triple merges, and the written file is one JSON document in the host writer's default
    form (json.dumps of what it holds) whose "cells" are maps with distinct component ids."""
    text = merge(*triple)
    merged = json.loads(text)
    assert text == json.dumps(merged)
    ids = [link_id(c) for c in merged["cells"]]
    assert len(ids) == len(set(ids))


@given(notebooks())
def test_merged_with_itself(nb):
    """merge(nb, nb, nb) writes nb itself, apart from the normalisations: every parent entry loses
    its "name", and the parents of every component become {"id": ...} entries of the parents
    that are components."""
    expected = notebook_with(nb, with_component_parents([without_parent_names(c) for c in nb["cells"]]),
                             nb["metadata"]["canvas"]["parameters"])
    assert merge(nb, nb, nb) == json.dumps(expected)


@st.composite
def base_and_side(draw):
    base = draw(notebooks())
    return base, draw(derived(base))


@given(base_and_side())
def test_their_side_unchanged_keeps_ours(pair):
    """merge(base, ours, base) writes ours: our cells in our order and our parameters. Parent
    entries of our cells that base holds too (the cells compared) lose their "name"; those of
    cells we added keep it, unless the cell is a component, whose parents become {"id": ...}
    entries of the components."""
    base, ours = pair
    base_ids = {link_id(c) for c in base["cells"]}
    cells = [without_parent_names(c) if link_id(c) in base_ids else copy.deepcopy(c) for c in ours["cells"]]
    expected = notebook_with(ours, with_component_parents(cells), ours["metadata"]["canvas"]["parameters"])
    assert merge(base, ours, base) == json.dumps(expected)


def clashing_names(*nbs):
    """Names that two component ids hold among the named cells of the notebooks."""
    holders = {}
    for nb in nbs:
        for c in nb["cells"]:
            if name_of(c):
                holders.setdefault(name_of(c), set()).add(link_id(c))
    return {name for name, ids in holders.items() if len(ids) > 1}


def carries(cell, their):
    """Whether `cell` holds what `their` cell holds of substance: its source text (a merged
    source comes back split into lines anew), its name (marks aside) and its comments (among
    others)."""
    canvas, their_canvas = cell["metadata"]["canvas"], their["metadata"]["canvas"]
    return ("".join(cell["source"]) == "".join(their["source"])
            and plain(canvas["name"]) == their_canvas["name"]
            and all(c in canvas["comments"] for c in their_canvas["comments"]))


@given(base_and_side())
def test_our_side_unchanged_takes_theirs(pair):
    """merge(base, base, theirs) writes their side's cells and parameters in our frame.

    Where no component name is held by two ids among the named cells of base and theirs, exactly:
    - cells: base's ids that theirs holds, in base order, then the ids that theirs added, in their
      order; no name is marked and no cell is inserted;
    - a cell that their side changed only in its outputs, execution count or parent names stays
      as base has it; every other cell is their version;
    - parent entries lose their "name", except in cells their side added (never compared);
      components' parents become {"id": ...} entries of the components;
    - parameters: their maps, for base's names in base order, then the names they added in
      their order.
    With a clash, names get marked, and a mark made by an earlier decision of the same merge is a
    change of our cell by the time its own decision comes: a base cell that theirs deleted can
    stay, their version of a marked cell can come as a new cell right after it, and their header
    colour of a marked cell is not taken. Still, for every cell of theirs some cell of the output
    holds its source, its name (marks aside) and its comments; every base cell that theirs
    deleted and the output holds is marked "<<< "; the parameters are as above."""
    base, theirs = pair
    base_by_id = {link_id(c): c for c in base["cells"]}
    theirs_by_id = {link_id(c): c for c in theirs["cells"]}
    merged = json.loads(merge(base, base, theirs))

    base_names = [p["name"] for p in base["metadata"]["canvas"]["parameters"]]
    their_params = {p["name"]: p for p in theirs["metadata"]["canvas"]["parameters"]}
    assert merged["metadata"]["canvas"]["parameters"] == (
        [their_params[n] for n in base_names if n in their_params]
        + [p for n, p in their_params.items() if n not in base_names])

    if not clashing_names(base, theirs):
        expected = []
        for c in base["cells"]:
            if link_id(c) in theirs_by_id:
                their = theirs_by_id[link_id(c)]
                expected.append(without_parent_names(c if as_compared(c) == as_compared(their) else their))
        expected += [copy.deepcopy(c) for c in theirs["cells"] if link_id(c) not in base_by_id]
        assert merged["cells"] == with_component_parents(expected)
        return

    for their in theirs["cells"]:
        assert any(carries(c, their) for c in merged["cells"]), their
    for c in merged["cells"]:
        if link_id(c) in base_by_id and link_id(c) not in theirs_by_id:
            assert name_of(c) == MARKS[0] + name_of(base_by_id[link_id(c)])


@given(triples())
def test_no_cell_is_lost(triple):
    """Every component id that our side or their side holds is in the merged notebook, except
    where the outcome table removes it: our side deleted it and their side either deleted it too
    or left it as base has it (outputs count as a change here); or their side deleted it and our
    side left it as base has it (outputs, execution count and parent names aside)."""
    base, ours, theirs = triple
    merged_ids = {link_id(c) for c in json.loads(merge(*triple))["cells"]}
    base_by_id = {link_id(c): c for c in base["cells"]}
    ours_by_id = {link_id(c): c for c in ours["cells"]}
    theirs_by_id = {link_id(c): c for c in theirs["cells"]}

    def unchanged(side, c, outputs_count):
        b, s = as_compared(base_by_id[c]), as_compared(side[c])
        if outputs_count:
            b["outputs"], s["outputs"] = base_by_id[c]["outputs"], side[c]["outputs"]
        return b == s

    for c in set(ours_by_id) | set(theirs_by_id):
        if c in merged_ids:
            continue
        assert c in base_by_id, c
        if c not in ours_by_id:
            assert c not in theirs_by_id or unchanged(theirs_by_id, c, outputs_count=True), c
        else:
            assert c not in theirs_by_id and unchanged(ours_by_id, c, outputs_count=False), c


@given(triples())
def test_fresh_ids(triple):
    """A cell whose component id none of the three notebooks holds has a component id and a cell
    id that are version-4 UUID texts, distinct from each other, from every other fresh id and from
    every id (component or cell) of the three notebooks."""
    known = set()
    for nb in triple:
        for c in nb["cells"]:
            known.update((link_id(c), c["id"]))
    fresh = []
    for c in json.loads(merge(*triple))["cells"]:
        if link_id(c) not in known:
            assert UUID4.match(link_id(c)) and UUID4.match(c["id"]), c
            fresh += [link_id(c), c["id"]]
    assert len(set(fresh)) == len(fresh) and not known & set(fresh)


# ---- merge_notebooks: the same decisions from parsed notebooks -----------------------------

ODD_EDITS = [None, None, "drop color", "drop comments", "drop outputs", "add meta key",
             "meta not shared", "canvas not shared", "meta not a map", "dollar key"]


def odd(cell, edit):
    """`cell` with an edit that the diff library answers in a form of its own."""
    cell = copy.deepcopy(cell)
    canvas = cell["metadata"]["canvas"]
    if edit == "drop color":
        del canvas["headerColor"]
    elif edit == "drop comments":
        del canvas["comments"]
    elif edit == "drop outputs":
        cell.pop("outputs", None)
    elif edit == "add meta key":
        cell["metadata"]["tags"] = ["x"]
    elif edit == "meta not shared":
        cell["metadata"] = {"other": canvas}
    elif edit == "canvas not shared":
        cell["metadata"]["canvas"] = {k + "2": v for k, v in canvas.items()}
    elif edit == "meta not a map":
        cell["metadata"] = ["canvas"]
    elif edit == "dollar key":
        canvas["$headerColor"] = canvas.pop("headerColor")
    return cell


@st.composite
def odd_triples(draw):
    base, ours, theirs = draw(triples())
    for side in (ours, theirs):
        side["cells"] = [odd(c, draw(st.sampled_from(ODD_EDITS))) for c in side["cells"]]
    return base, ours, theirs


def seeded_uuid4():
    rng = random.Random(0)
    return lambda: uuid.UUID(int=rng.getrandbits(128), version=4)


@given(odd_triples())
def test_merge_notebooks_decides_as_merge_files(triple):
    """merge_core.merge_notebooks gives what merge_files writes (fresh ids alike), also where
    it reads the cell diffs without the diff library (not loaded) and where it must fall back
    on the library."""
    expected, got = files_and_core(seeded_uuid4, *triple)
    assert got == expected
