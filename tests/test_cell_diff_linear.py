"""The cell diff agrees with jsondiff wherever the merge looks, in time linear in the cells."""
import copy
import json
import os
import random

import pytest

from notebooks import CORPUS
from reference import assert_diff_agrees, cell_diff as ours

# The library's own answer is the reference; beyond this many array elements it takes seconds
# a pair, so larger cells are compared on emptiness and top-level keys only.
REFERENCE_LIMIT = 300


def array_elements(value):
    if isinstance(value, list):
        return len(value) + sum(array_elements(v) for v in value)
    if isinstance(value, dict):
        return sum(array_elements(v) for v in value.values())
    return 0


def random_value(rng, depth):
    kind = rng.randrange(7 if depth < 4 else 4)
    if kind == 0:
        return rng.choice(["a", "b", "ü", "", "x\n"])
    if kind == 1:
        return rng.choice([0, 1, 2.5, True, None])
    if kind == 2:
        return [rng.choice(["l%d\n" % i for i in range(5)]) for _ in range(rng.randrange(0, 40))]
    if kind == 3:
        return rng.choice([[], ["only"], [1, 2]])
    if kind in (4, 5):
        return {rng.choice("pqrst"): random_value(rng, depth + 1) for _ in range(rng.randrange(0, 4))}
    return [random_value(rng, depth + 1) for _ in range(rng.randrange(0, 25))]


def mutate(rng, value, depth=0):
    """A copy of `value` with a few random edits at any depth."""
    value = copy.deepcopy(value)
    if isinstance(value, dict) and value and rng.random() < 0.7:
        key = rng.choice(list(value))
        action = rng.randrange(4)
        if action == 0:
            del value[key]
        elif action == 1:
            value[key + "_new"] = random_value(rng, depth + 1)
        else:
            value[key] = mutate(rng, value[key], depth + 1)
        return value
    if isinstance(value, list) and value and rng.random() < 0.7:
        i = rng.randrange(len(value))
        action = rng.randrange(3)
        if action == 0:
            del value[i]
        elif action == 1:
            value.insert(i, random_value(rng, depth + 1))
        else:
            value[i] = mutate(rng, value[i], depth + 1)
        return value
    return random_value(rng, depth)


def random_cell(rng):
    return {
        "id": "c%d" % rng.randrange(1000),
        "cell_type": rng.choice(["code", "markdown"]),
        "source": ["line %d\n" % i for i in range(rng.randrange(0, 30))],
        "outputs": [random_value(rng, 1) for _ in range(rng.randrange(0, 4))],
        "execution_count": rng.randrange(5),
        "metadata": {"canvas": {"id": "c", "name": rng.choice([None, "n"]), "parents": [],
                                "comments": [], "headerColor": rng.choice(["red", "blue"])},
                     "tags": [random_value(rng, 2)]},
    }


@pytest.mark.parametrize("seed", [pytest.param(s, marks=[pytest.mark.slow] if s >= 40 else []) for s in range(300)])
def test_random_pairs(seed):
    rng = random.Random(seed)
    first = random_cell(rng)
    second = first
    for _ in range(rng.randrange(0, 4)):
        second = copy.deepcopy(second)
        key = rng.choice(list(second))
        if rng.random() < 0.2:
            del second[key]
        else:
            second[key] = mutate(rng, second[key])
    metadata = second.get("metadata")
    if not (isinstance(metadata, dict) and isinstance(metadata.get("canvas"), dict)
            and isinstance(metadata["canvas"].get("parents"), list)):
        second["metadata"] = copy.deepcopy(first["metadata"])
        second["metadata"]["canvas"]["headerColor"] = "green"
    assert_diff_agrees(*ours(first, second))


def corpus_cells():
    for path in CORPUS:
        with open(path, encoding="utf-8") as f:
            nb = json.load(f)
        for i, c in enumerate(nb["cells"]):
            yield os.path.basename(path), i, c


def edits(cell_dict):
    """Edited copies of one corpus cell: what re-running and editing a notebook does to it."""
    yield "copy", copy.deepcopy(cell_dict)
    rerun = copy.deepcopy(cell_dict)
    rerun["execution_count"] = (rerun.get("execution_count") or 0) + 7
    for output in rerun.get("outputs", []):
        if isinstance(output.get("text"), list) and output["text"]:
            output["text"][-1] = output["text"][-1] + " (rerun)"
        output["execution_count"] = 99
    yield "rerun", rerun
    edited = copy.deepcopy(cell_dict)
    edited["source"] = list(edited.get("source", [])) + ["# edited\n"]
    yield "source", edited
    recoloured = copy.deepcopy(cell_dict)
    recoloured.setdefault("metadata", {})["canvas"] = {"id": "c", "name": "n", "parents": [],
                                                       "comments": [], "headerColor": "red"}
    yield "canvas", recoloured
    dropped = copy.deepcopy(cell_dict)
    dropped.pop("outputs", None)
    dropped.pop("source", None)
    yield "dropped", dropped


@pytest.mark.slow
def test_corpus_cells():
    checked = 0
    for name, index, cell_dict in corpus_cells():
        for label, other in edits(cell_dict):
            got, base, second = ours(cell_dict, other)
            if array_elements(base) + array_elements(second) <= REFERENCE_LIMIT:
                assert_diff_agrees(got, base, second, (name, index, label))
            else:
                expected_keys = {k for k in set(base) | set(second)
                                 if k != "execution_count" and base.get(k, KeyError) != second.get(k, KeyError)}
                named = {k for k in got if isinstance(k, str)}
                assert named == expected_keys - set(base).difference(second), (name, index, label)
            assert bool(got) == (label not in ("copy",)) or label == "rerun" and not got, (name, index, label)
            checked += 1
    assert checked > 1000


def test_long_array_reported_replaced():
    base = {"outputs": [{"text": ["l%d\n" % i for i in range(5000)]}]}
    other = copy.deepcopy(base)
    other["outputs"][0]["text"][2500] = "changed\n"
    got, _, second = ours(base, other)
    assert got["outputs"] is second["outputs"]


@pytest.mark.parametrize("before, after, element_wise", [
    (1, 4, True), (4, 4, True), (16, 1, True), (2, 8, True),
    (4, 5, False), (17, 1, False), (10, 11, False),
])
def test_only_small_arrays_are_diffed_element_by_element(before, after, element_wise):
    """The library's table holds one entry per pair of elements: arrays making more than 16
    pairs are reported as their new value."""
    base = {"source": ["l%d\n" % i for i in range(before)]}
    kept = base["source"][:max(1, min(before, after) - 1)]  # shared lines: no wholesale change
    other = {"source": kept + ["new%d\n" % i for i in range(after - len(kept))]}
    got, _, second = ours(base, other)
    if element_wise:
        assert isinstance(got["source"], dict) and got["source"]
    else:
        assert got["source"] is second["source"]
