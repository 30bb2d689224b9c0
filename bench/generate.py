"""Three-way notebook cases for the merge benchmark: synthetic ones at a chosen cell count and
ones built from real notebooks, each written as base.ipynb, current.ipynb, incoming.ipynb and
case.json (what the case holds, and how many source merges it asks for).

Everything is drawn from seeded random generators, and each change to one cell from a generator
of its own (seeded by the case seed, the cell and the kind of change), so a case is the same
byte for byte on every run, and a "nosrc" case is its "mixed" twin without the cells that both
sides edited.

Plain-notebook cases (no component layer; --plain): "plain-N" at 1,000, 10,000 and 100,000
cells, and three per real notebook, taken as it is.

usage: python bench/generate.py [--out DIR] [--sizes 100 1000 10000] [--corpus DIR] [--seed N]
                                [--plain]
"""
import argparse
import base64
import copy
import hashlib
import json
import os
import random
import struct
import sys
import uuid
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_OUT = os.path.join(ROOT, "build", "bench", "cases")
# Real notebooks: the small and medium ones are the tests', the large ones the benchmark's own.
DEFAULT_CORPUS = [os.path.join(ROOT, "tests", "data", "corpus"), os.path.join(ROOT, "bench", "corpus")]
SIZES = (100, 1000, 10000)
SEED = 20240531

WORDS = ("data", "model", "loss", "train", "score", "frame", "plot", "sample", "feature",
         "weight", "batch", "cluster", "signal", "report", "metric", "region", "county",
         "forecast", "vector", "matrix", "label", "query", "budget", "sensor")
# Non-ASCII text as notebooks hold it: accented Latin, Greek, CJK, symbols beyond the basic plane.
NON_ASCII = ("Überprüfung der Daten", "données nettoyées", "Ωmega → ∞", "データ分析の結果",
             "模型训练", "naïve Bayes — coût", "年度別の集計", "température moyenne °C",
             "Ergebnisse für Köln", "résumé ✓", "🚀 lancement", "σ² ≈ 0.25", "αβγ-Test")
AUTHORS = ("Ana", "Björn", "Chloé", "Dmitri", "Eun-ji", "Farah", "佐藤", "Łukasz")
COLORS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2")

# Shares of the base cells that each kind of change takes; the kinds draw disjoint cells.
# `srcmerge` is the number of source merges one such cell asks of the merge; the kinds with
# mixed_only are left out of the "nosrc" variant of a case.
PLAN = (
    # kind                share   mixed_only srcmerge
    ("ours_edit",         0.04,   False, 0),
    ("theirs_edit",       0.04,   False, 0),
    ("ours_rerun",        0.08,   False, 0),  # outputs and execution counts only
    ("theirs_rerun",      0.04,   False, 0),
    ("ours_src_theirs_out", 0.02, False, 0),  # both sides, no source merge needed
    ("ours_src_theirs_comment", 0.01, False, 0),
    ("ours_rename",       0.01,   False, 0),
    ("theirs_rename",     0.01,   False, 0),
    ("ours_delete",       0.02,   False, 0),
    ("theirs_delete",     0.02,   False, 0),
    ("ours_delete_theirs_edit", 0.003, False, 0),
    ("ours_edit_theirs_delete", 0.003, False, 0),
    ("both_clean",        0.05,   True, 1),   # both edit the source, far apart: clean merge
    ("both_conflict",     0.01,   True, 1),   # both edit the same line: conflict markers
    ("both_src_theirs_color", 0.005, True, 1),
    ("both_rename",       0.003,  True, 0),   # conflicting names: marked, theirs inserted after
)
ADD_SHARE = 0.03  # each side adds this share of the base cell count


def fresh_uuid(rng):
    return str(uuid.UUID(int=rng.getrandbits(128), version=4))


def cell_rng(seed, index, kind):
    return random.Random("%s:%s:%s" % (seed, index, kind))


# ---- cell content --------------------------------------------------------------------------

def _png(rng, width, height):
    """A real PNG of noise; noise keeps zlib from shrinking it, as plots with text do not."""
    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data
                + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))
    rows = b"".join(b"\x00" + bytes(rng.getrandbits(8) for _ in range(width))
                    for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


class Content:
    """Draws cell sources and outputs; the image pool is shared by all cells of a case."""

    def __init__(self, seed):
        rng = random.Random("%s:images" % seed)
        self.images = [base64.b64encode(_png(rng, rng.choice((48, 64, 96, 128)),
                                             rng.choice((64, 96, 128, 160)))).decode("ascii")
                       + "\n" for _ in range(24)]

    @staticmethod
    def _ident(rng):
        return "%s_%s" % (rng.choice(WORDS), rng.choice(WORDS))

    def code_source(self, rng, min_lines=3):
        lines = []
        for _ in range(max(min_lines, rng.randint(3, 18))):
            r = rng.random()
            a, b = self._ident(rng), self._ident(rng)
            if r < 0.1:
                lines.append("# %s\n" % rng.choice(NON_ASCII))
            elif r < 0.3:
                lines.append("%s = pd.read_csv(\"data/%s.csv\")\n" % (a, b))
            elif r < 0.5:
                lines.append("%s = %s.groupby(\"%s\").mean()\n" % (a, b, rng.choice(WORDS)))
            elif r < 0.65:
                lines.append("for i in range(%d):\n    %s[i] = %s[i] * %.3f\n"
                             % (rng.randint(2, 500), a, b, rng.random()))
            elif r < 0.8:
                lines.append("plt.plot(%s, %s, label=\"%s\")\n" % (a, b, rng.choice(NON_ASCII)))
            else:
                lines.append("print(f\"%s: {%s.shape}\")\n" % (rng.choice(NON_ASCII), a))
        text = "".join(lines)
        return _line_list(text)

    def markdown_source(self, rng):
        lines = ["%s %s\n" % ("#" * rng.randint(1, 3), rng.choice(NON_ASCII)), "\n"]
        for _ in range(rng.randint(1, 6)):
            lines.append(" ".join(rng.choice(WORDS + NON_ASCII) for _ in range(rng.randint(6, 20)))
                         + ".\n")
        return _line_list("".join(lines))

    def outputs(self, rng, count):
        r = rng.random()
        outs = []
        if r < 0.3:
            return outs
        if r < 0.75:
            n = rng.randint(1, 8)
        elif r < 0.97:
            n = rng.randint(10, 60)
        else:
            n = rng.randint(150, 500)  # long text output, as training logs and printed frames
        outs.append({"name": "stdout", "output_type": "stream",
                     "text": [self._log_line(rng, k) for k in range(n)]})
        if rng.random() < 0.2:
            rows = rng.randint(5, 25)
            html = (["<div>\n", "<table border=\"1\" class=\"dataframe\">\n", "  <tbody>\n"]
                    + ["    <tr><th>%d</th><td>%s</td><td>%.4f</td></tr>\n"
                       % (k, rng.choice(NON_ASCII), rng.random()) for k in range(rows)]
                    + ["  </tbody>\n", "</table>\n", "</div>"])
            plain = ["%5d  %-20s %.4f\n" % (k, rng.choice(WORDS), rng.random())
                     for k in range(rows)]
            outs.append({"data": {"text/html": html, "text/plain": plain},
                         "execution_count": count, "metadata": {},
                         "output_type": "execute_result"})
        if rng.random() < 0.1:
            outs.append({"data": {"image/png": rng.choice(self.images),
                                  "text/plain": ["<Figure size 640x480 with 1 Axes>"]},
                         "metadata": {"needs_background": "light"},
                         "output_type": "display_data"})
        return outs

    @staticmethod
    def _log_line(rng, k):
        return "epoch %4d  loss=%.5f  acc=%.4f  %s\n" % (
            k, rng.random(), rng.random(), rng.choice(WORDS + NON_ASCII))


def _line_list(text):
    lines = text.splitlines(True)
    if lines:
        lines[-1] = lines[-1].rstrip("\n")
    return lines


def rerun_outputs(outputs, rng, count):
    """The outputs as a fresh run gives them: numbers in the text drift, plots re-render."""
    out = copy.deepcopy(outputs)
    for o in out:
        if "execution_count" in o:
            o["execution_count"] = count
        if "text" in o and isinstance(o["text"], list):
            o["text"] = [_drift(line, rng) for line in o["text"]]
        for mime, value in o.get("data", {}).items():
            if mime == "image/png" and isinstance(value, str) and len(value) > 64:
                cut = rng.randrange(8, len(value) - 40)
                alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
                value = value[:cut] + "".join(rng.choice(alphabet) for _ in range(32)) + \
                    value[cut + 32:]
                o["data"][mime] = value
            elif isinstance(value, list) and mime != "application/json":
                o["data"][mime] = [_drift(line, rng) for line in value]
    return out


def _drift(line, rng):
    if not isinstance(line, str) or rng.random() > 0.3:
        return line
    chars = list(line)
    digits = [i for i, c in enumerate(chars) if c.isdigit()]
    for i in rng.sample(digits, min(len(digits), 3)):
        chars[i] = str(rng.randint(0, 9))
    return "".join(chars) if digits else line


# ---- notebooks -------------------------------------------------------------------------------

def canvas(rng, name=None, parents=(), comments=None):
    return {"id": fresh_uuid(rng), "name": name, "parents": list(parents),
            "comments": comments if comments is not None else [],
            "headerColor": rng.choice(COLORS)}


def comment(rng):
    return {"id": fresh_uuid(rng), "author": rng.choice(AUTHORS),
            "text": "%s %s" % (rng.choice(NON_ASCII), rng.choice(WORDS)),
            "createdAt": "2024-%02d-%02dT%02d:%02d:00Z" % (
                rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59))}


def parameters(rng, n=20):
    kinds = (("int", lambda: str(rng.randint(0, 1000))), ("float", lambda: "%.3f" % rng.random()),
             ("str", lambda: rng.choice(NON_ASCII)))
    params = []
    for k in range(n):
        kind, value = rng.choice(kinds)
        params.append({"name": "param_%02d_%s" % (k, rng.choice(WORDS)), "type": kind,
                       "value": value(), "description": rng.choice(NON_ASCII)})
    return params


def notebook_metadata(rng):
    return {"canvas": {"parameters": parameters(rng)},
            "kernelspec": {"display_name": "Python 3 (ipykernel)", "language": "python",
                           "name": "python3"},
            "language_info": {"name": "python", "version": "3.11.7"}}


def new_cell(content, rng, index, components, count):
    """One cell: about 65% code; a third of the cells are components with names and parents."""
    is_code = rng.random() < 0.65
    name = None
    parents = []
    comments = []
    if rng.random() < 0.35:
        name = "%s_%s_%d" % (rng.choice(WORDS), rng.choice(WORDS), index)
        picks = rng.sample(components, min(len(components), rng.randint(0, 3)))
        parents = [{"id": cid, "name": cname} for cid, cname in picks]
        comments = [comment(rng) for _ in range(rng.choice((0, 0, 1, 2)))]
    elif rng.random() < 0.3:
        name = ""
    cell = {"cell_type": "code" if is_code else "markdown",
            "id": fresh_uuid(rng)[:8] + "-%d" % index,
            "metadata": {"canvas": canvas(rng, name, parents, comments)}}
    if is_code:
        cell["execution_count"] = count
        cell["outputs"] = content.outputs(rng, count)
        cell["source"] = content.code_source(rng)
    else:
        cell["source"] = content.markdown_source(rng)
    if name:
        components.append((cell["metadata"]["canvas"]["id"], name))
    return cell


def synthetic_base(seed, n_cells, content):
    rng = random.Random("%s:base:%d" % (seed, n_cells))
    components = []
    cells = [new_cell(content, rng, i, components, i + 1) for i in range(n_cells)]
    return {"cells": cells, "metadata": notebook_metadata(rng), "nbformat": 4,
            "nbformat_minor": 5}


# ---- changes -------------------------------------------------------------------------------

def edit_line(source, rng, where, tag):
    """`source` with one line replaced: where="first", "last" or "middle"."""
    src = list(source)
    if not src:
        return ["# %s %s" % (tag, rng.choice(NON_ASCII))]
    i = {"first": 0, "last": len(src) - 1, "middle": len(src) // 2}[where]
    end = "\n" if src[i].endswith("\n") else ""
    src[i] = "%s  # %s: %s %s%s" % (src[i].rstrip("\n"), tag, rng.choice(WORDS),
                                      rng.choice(NON_ASCII), end)
    return src


def _rename(cell, rng, tag):
    c = cell["metadata"]["canvas"]
    c["name"] = "%s_%s_%s" % (c["name"], tag, rng.choice(WORDS))


def _code_cells_with(cells, min_lines):
    return [i for i, c in enumerate(cells) if c["cell_type"] == "code"
            and len(c["source"]) >= min_lines]


def allocate(cells, seed, n):
    """Indices per kind of change, disjoint, the same for a case's mixed and nosrc variants."""
    rng = random.Random("%s:plan:%d" % (seed, n))
    named = [i for i, c in enumerate(cells) if c["metadata"]["canvas"]["name"]]
    long_code = _code_cells_with(cells, 8)
    code = _code_cells_with(cells, 1)
    taken = set()
    plan = {}

    def draw(pool, count):
        free = [i for i in pool if i not in taken]
        picks = rng.sample(free, min(count, len(free)))
        taken.update(picks)
        return sorted(picks)

    pools = {"ours_rename": named, "theirs_rename": named, "both_rename": named,
             "ours_src_theirs_comment": named, "both_clean": long_code,
             "both_src_theirs_color": long_code, "ours_rerun": code, "theirs_rerun": code,
             "ours_src_theirs_out": code}
    # The narrowest pools draw first, so that small cases still get every kind.
    order = [n for p in (named, long_code, code) for n, q in pools.items() if q is p]
    for kind, share, _, _ in sorted(PLAN, key=lambda k: order.index(k[0]) if k[0] in order
                                    else len(order)):
        pool = pools.get(kind, range(len(cells)))
        plan[kind] = draw(pool, max(1, round(share * n)))
    return plan


def apply_plan(base, plan, seed, content, mixed):
    """(current, incoming, source merges asked for) made from `base` by the plan's changes."""
    current = json.loads(json.dumps(base))
    incoming = json.loads(json.dumps(base))
    cur, inc = current["cells"], incoming["cells"]
    drop_cur, drop_inc = set(), set()
    source_merges = 0
    for kind, _, mixed_only, srcmerge in PLAN:
        if mixed_only and not mixed:
            continue
        for i in plan[kind]:
            rng = cell_rng(seed, i, kind)
            count = 1000 + i
            if kind == "ours_edit":
                cur[i]["source"] = edit_line(cur[i]["source"], rng, "middle", "ours")
            elif kind == "theirs_edit":
                inc[i]["source"] = edit_line(inc[i]["source"], rng, "middle", "theirs")
            elif kind == "ours_rerun":
                cur[i]["outputs"] = rerun_outputs(cur[i]["outputs"], rng, count)
                cur[i]["execution_count"] = count
            elif kind == "theirs_rerun":
                inc[i]["outputs"] = rerun_outputs(inc[i]["outputs"], rng, count)
                inc[i]["execution_count"] = count
            elif kind == "ours_src_theirs_out":
                cur[i]["source"] = edit_line(cur[i]["source"], rng, "middle", "ours")
                inc[i]["outputs"] = rerun_outputs(inc[i]["outputs"], rng, count)
                inc[i]["execution_count"] = count
            elif kind == "ours_src_theirs_comment":
                cur[i]["source"] = edit_line(cur[i]["source"], rng, "middle", "ours")
                inc[i]["metadata"]["canvas"]["comments"].append(comment(rng))
            elif kind == "ours_rename":
                _rename(cur[i], rng, "ours")
            elif kind == "theirs_rename":
                _rename(inc[i], rng, "theirs")
            elif kind == "ours_delete":
                drop_cur.add(i)
            elif kind == "theirs_delete":
                drop_inc.add(i)
            elif kind == "ours_delete_theirs_edit":
                drop_cur.add(i)
                inc[i]["source"] = edit_line(inc[i]["source"], rng, "middle", "theirs")
            elif kind == "ours_edit_theirs_delete":
                cur[i]["source"] = edit_line(cur[i]["source"], rng, "middle", "ours")
                drop_inc.add(i)
            elif kind == "both_clean":
                cur[i]["source"] = edit_line(cur[i]["source"], rng, "first", "ours")
                inc[i]["source"] = edit_line(inc[i]["source"], rng, "last", "theirs")
            elif kind == "both_conflict":
                cur[i]["source"] = edit_line(cur[i]["source"], rng, "middle", "ours")
                inc[i]["source"] = edit_line(inc[i]["source"], rng, "middle", "theirs")
            elif kind == "both_src_theirs_color":
                cur[i]["source"] = edit_line(cur[i]["source"], rng, "first", "ours")
                inc[i]["source"] = edit_line(inc[i]["source"], rng, "last", "theirs")
                inc[i]["metadata"]["canvas"]["headerColor"] = "#000000"
            elif kind == "both_rename":
                _rename(cur[i], rng, "ours")
                _rename(inc[i], rng, "theirs")
            source_merges += srcmerge
    current["cells"] = _with_additions([c for i, c in enumerate(cur) if i not in drop_cur],
                                       seed, "ours", content, len(base["cells"]))
    incoming["cells"] = _with_additions([c for i, c in enumerate(inc) if i not in drop_inc],
                                        seed, "theirs", content, len(base["cells"]))
    _change_parameters(current, incoming, seed, mixed)
    return current, incoming, source_merges


def _with_additions(cells, seed, side, content, n):
    rng = random.Random("%s:add:%s:%d" % (seed, side, n))
    components = [(c["metadata"]["canvas"]["id"], c["metadata"]["canvas"]["name"])
                  for c in cells if c["metadata"]["canvas"]["name"]]
    out = list(cells)
    for k in range(max(1, round(ADD_SHARE * n))):
        cell = new_cell(content, rng, 10 * n + k, components, None)
        if cell["metadata"]["canvas"]["name"]:
            cell["metadata"]["canvas"]["name"] += "_" + side
        out.insert(rng.randrange(len(out) + 1), cell)
    return out


def _change_parameters(current, incoming, seed, mixed):
    rng = random.Random("%s:params" % seed)
    ours = current["metadata"]["canvas"]["parameters"]
    theirs = incoming["metadata"]["canvas"]["parameters"]
    ours[1]["value"] = "ours"
    theirs[2]["value"] = "theirs"
    if mixed:
        ours[5]["value"], theirs[5]["value"] = "ours", "theirs"  # conflict pair
    del theirs[3]
    ours.append({"name": "param_added_ours", "type": "str", "value": rng.choice(NON_ASCII),
                 "description": ""})
    theirs.append({"name": "param_added_theirs", "type": "int", "value": "7",
                   "description": ""})


# ---- cases ---------------------------------------------------------------------------------

def synthetic_cases(n, seed=SEED):
    """The two variants at `n` cells: "mixed" (all kinds of change) and "nosrc" (no source
    merge: the same case without the cells that both sides edited)."""
    content = Content(seed)
    base = synthetic_base(seed, n, content)
    plan = allocate(base["cells"], seed, n)
    for variant in ("mixed", "nosrc"):
        current, incoming, merges = apply_plan(base, plan, seed, content, variant == "mixed")
        info = {"kind": "synthetic", "variant": variant, "cells": n,
                "source_merges": merges,
                "changes": {k: len(plan[k]) for k, _, mo, _ in PLAN
                            if variant == "mixed" or not mo},
                "added_each_side": max(1, round(ADD_SHARE * n))}
        yield "synthetic-%d-%s" % (n, variant), base, current, incoming, info


# ---- input shapes: one dimension of a notebook made large ---------------------------------

# Each shape at two sizes, ten times apart; `unit` says what the size counts.
SHAPES = {
    "one-name": ("cells", (1000, 10000)),       # every cell a component named "plot"
    "100-names": ("cells", (1000, 10000)),      # components over 100 names
    "parameters": ("parameters", (100000, 1000000)),
    "comments": ("comments", (10000, 100000)),  # on one component
    "parents": ("cells", (1000, 10000)),        # one component whose parents are all the others
    "big-source": ("MB of source", (5, 50)),    # one cell
}


def _shape_cell(index, name, source, parents=(), comments=()):
    return {"cell_type": "code", "execution_count": None, "id": "c%07d" % index,
            "metadata": {"canvas": {"id": "k%07d" % index, "name": name,
                                    "parents": [{"id": p} for p in parents],
                                    "comments": list(comments), "headerColor": "#ffffff"}},
            "outputs": [], "source": source}


def _shape_notebook(cells, parameters=()):
    return {"cells": cells, "metadata": {"canvas": {"parameters": list(parameters)},
                                         "kernelspec": {"name": "python3"}},
            "nbformat": 4, "nbformat_minor": 5}


def _lines(index, count=4):
    return ["x%d_%d = %d\n" % (index, k, k) for k in range(count)]


def _param(i, value=1.0):
    return {"name": "p%07d" % i, "type": "float", "value": value}


def shape_case(shape, n, seed=SEED):
    """(base, current, incoming, info) for one input shape at size `n`. Both sides change the
    notebook where the shape is large, so that the merge walks all of it."""
    rng = random.Random("%s-%d-%d" % (shape, n, seed))
    if shape in ("one-name", "100-names", "parents"):
        names = 1 if shape == "one-name" else 100
        cells = [_shape_cell(i, "plot" if names == 1 else "name%d" % (i % names), _lines(i))
                 for i in range(n)]
        if shape == "parents":
            cells = [_shape_cell(i, "c%d" % i, _lines(i)) for i in range(n - 1)]
            cells.append(_shape_cell(n - 1, "all", _lines(n - 1),
                                     parents=["k%07d" % i for i in range(n - 1)]))
        base = _shape_notebook(cells)
        current, incoming = copy.deepcopy(base), copy.deepcopy(base)
        # Our side edits cell 0's source and deletes 1%; theirs edits cell 1's and adds 1%
        # under names that are taken.
        current["cells"][0]["source"][0] = "ours = 1\n"
        incoming["cells"][1]["source"][0] = "theirs = 1\n"
        for i in sorted(rng.sample(range(2, n - 1), max(1, n // 100)), reverse=True):
            del current["cells"][i]
        for k in range(max(1, n // 100)):
            name = incoming["cells"][rng.randrange(n)]["metadata"]["canvas"]["name"]
            incoming["cells"].append(_shape_cell(n + k, name, _lines(n + k)))
        info = {"changes": "ours: 1 source, %d deleted; theirs: 1 source, %d added under "
                           "taken names" % (max(1, n // 100), max(1, n // 100))}
    elif shape == "parameters":
        base = _shape_notebook([_shape_cell(i, "c%d" % i, _lines(i)) for i in range(10)],
                               [_param(i) for i in range(n)])
        current, incoming = copy.deepcopy(base), copy.deepcopy(base)
        ours_params = current["metadata"]["canvas"]["parameters"]
        theirs_params = incoming["metadata"]["canvas"]["parameters"]
        picked = rng.sample(range(n), n // 25)
        share = len(picked) // 5
        for i in picked[:share]:
            ours_params[i]["value"] = 2.0
        for i in picked[share:2 * share]:
            theirs_params[i]["value"] = 3.0
        for i in picked[2 * share:3 * share]:   # both, differently: marked
            ours_params[i]["value"] = 4.0
            theirs_params[i]["value"] = 5.0
        gone = set(picked[3 * share:4 * share])
        incoming["metadata"]["canvas"]["parameters"] = [
            p for i, p in enumerate(theirs_params) if i not in gone]
        incoming["metadata"]["canvas"]["parameters"] += [_param(n + i) for i in range(share)]
        info = {"changes": "%d parameters changed by each side, %d by both, %d deleted and "
                           "%d added by theirs" % (share, share, share, share)}
    elif shape == "comments":
        def comment(i):
            return {"author": AUTHORS[i % len(AUTHORS)], "text": "comment %d" % i,
                    "time": 1700000000 + i}
        cells = [_shape_cell(i, "c%d" % i, _lines(i)) for i in range(10)]
        cells[3]["metadata"]["canvas"]["comments"] = [comment(i) for i in range(n)]
        base = _shape_notebook(cells)
        current, incoming = copy.deepcopy(base), copy.deepcopy(base)
        current["cells"][3]["source"][0] = "ours = 1\n"
        current["cells"][3]["metadata"]["canvas"]["comments"].append(comment(n))
        incoming["cells"][3]["metadata"]["canvas"]["comments"] += [
            comment(n + 1 + i) for i in range(n // 10)]
        info = {"changes": "ours: the source and 1 comment; theirs: %d comments" % (n // 10)}
    elif shape == "big-source":
        line_count = n * (1 << 20) // 64
        source = ["line %09d %s\n" % (i, "abcdefghij" * 5) for i in range(line_count)]
        cells = [_shape_cell(i, "c%d" % i, _lines(i)) for i in range(10)]
        cells[5]["source"] = source
        base = _shape_notebook(cells)
        current, incoming = copy.deepcopy(base), copy.deepcopy(base)
        current["cells"][5]["source"][10] = "ours\n"
        incoming["cells"][5]["source"][line_count - 10] = "theirs\n"
        info = {"changes": "both sides edit the big source far apart: one source merge"}
    else:
        raise ValueError(shape)
    unit, _ = SHAPES[shape]
    info.update(kind="shape", shape=shape, size=n, unit=unit)
    return base, current, incoming, info


def shape_name(shape, n):
    return "shape-%s-%d" % (shape, n)


def ensure_shape_cases(out_dir, shapes, seed=SEED, log=print):
    """Writes the shape cases that are missing or stale; returns their folders."""
    folders = []
    for shape in shapes:
        for n in SHAPES[shape][1]:
            name = shape_name(shape, n)
            key = fingerprint(seed, "shape", shape, n)
            stamp = os.path.join(out_dir, name + ".stamp")
            if _read(stamp) == key and os.path.exists(os.path.join(out_dir, name, "case.json")):
                folders.append(os.path.join(out_dir, name))
                continue
            log("generating %s" % name)
            base, current, incoming, info = shape_case(shape, n, seed)
            folders.append(write_case(out_dir, name, base, current, incoming, info))
            with open(stamp, "w") as f:
                f.write(key)
    return folders


def add_canvas_layer(nb, seed, label):
    """Gives every cell of a real notebook a canvas map, and the notebook parameters."""
    rng = random.Random("%s:canvas:%s" % (seed, label))
    components = []
    for i, cell in enumerate(nb["cells"]):
        name = None
        parents, comments = [], []
        if rng.random() < 0.35:
            first = "".join(cell.get("source", ""))[:40].strip().splitlines()
            stem = "".join(ch if ch.isalnum() else "_" for ch in (first[0] if first else ""))
            name = "%s_%d" % (stem.strip("_")[:24] or cell["cell_type"], i)
            picks = rng.sample(components, min(len(components), rng.randint(0, 2)))
            parents = [{"id": cid, "name": cname} for cid, cname in picks]
            comments = [comment(rng) for _ in range(rng.choice((0, 0, 1)))]
        cell.setdefault("metadata", {})["canvas"] = canvas(rng, name, parents, comments)
        if name:
            components.append((cell["metadata"]["canvas"]["id"], name))
    nb.setdefault("metadata", {})["canvas"] = {"parameters": parameters(rng, 8)}
    return nb


def _edit_sources(cells, indices, seed, side, where="middle"):
    for i in indices:
        rng = cell_rng(seed, i, side)
        cells[i]["source"] = edit_line(cells[i]["source"], rng, where, side)


def corpus_cases(path, seed=SEED):
    """Two cases per real notebook:
    "rerun": our side re-ran the notebook (every output and execution count new), their side
    edited the sources of a few cells; "edits": both sides edited a few cells (two of them on
    both sides, one clean and one conflicting), their side added a cell and renamed a
    component, our side deleted a cell."""
    label = os.path.splitext(os.path.basename(path))[0]
    with open(path, encoding="utf-8") as f:
        base = add_canvas_layer(json.load(f), seed, label)
    cells = base["cells"]
    rng = random.Random("%s:corpus:%s" % (seed, label))
    code = [i for i, c in enumerate(cells) if c["cell_type"] == "code"]
    anywhere = list(range(len(cells)))

    current = json.loads(json.dumps(base))
    incoming = json.loads(json.dumps(base))
    for k, i in enumerate(code):
        cell = current["cells"][i]
        cell["outputs"] = rerun_outputs(cell.get("outputs", []), cell_rng(seed, i, "rerun"), k + 1)
        cell["execution_count"] = k + 1
    _edit_sources(incoming["cells"], sorted(rng.sample(anywhere, min(4, len(anywhere)))),
                  seed, "theirs")
    yield ("corpus-%s-rerun" % label, base, current, incoming,
           {"kind": "corpus", "variant": "rerun", "cells": len(cells), "source_merges": 0,
            "file": os.path.basename(path)})

    current = json.loads(json.dumps(base))
    incoming = json.loads(json.dumps(base))
    picks = rng.sample(anywhere, min(8, len(anywhere)))
    ours, theirs, both = picks[:3], picks[3:6], picks[6:8]
    _edit_sources(current["cells"], ours, seed, "ours")
    _edit_sources(incoming["cells"], theirs, seed, "theirs")
    merges = 0
    for n, i in enumerate(both):
        cur, inc = current["cells"][i], incoming["cells"][i]
        if n == 0 and len(cur["source"]) >= 8:
            cur["source"] = edit_line(cur["source"], cell_rng(seed, i, "o"), "first", "ours")
            inc["source"] = edit_line(inc["source"], cell_rng(seed, i, "t"), "last", "theirs")
        else:
            cur["source"] = edit_line(cur["source"], cell_rng(seed, i, "o"), "middle", "ours")
            inc["source"] = edit_line(inc["source"], cell_rng(seed, i, "t"), "middle", "theirs")
        merges += 1
    named = [i for i, c in enumerate(incoming["cells"])
             if c["metadata"]["canvas"]["name"] and i not in picks]
    if named:
        _rename(incoming["cells"][rng.choice(named)], rng, "theirs")
    content = Content(seed)
    added = new_cell(content, rng, 10 ** 6, [], None)
    incoming["cells"].insert(rng.randrange(len(incoming["cells"]) + 1), added)
    gone = [i for i in anywhere if i not in picks]
    if gone:
        del current["cells"][rng.choice(gone)]
    yield ("corpus-%s-edits" % label, base, current, incoming,
           {"kind": "corpus", "variant": "edits", "cells": len(cells), "source_merges": merges,
            "file": os.path.basename(path)})


# ---- plain notebooks (no component layer) ----------------------------------------------------

PLAIN_SIZES = (1000, 10000, 100000)
PLAIN_VARIANTS = ("apart", "rerun", "same")


def plain_cell(content, rng, index):
    """A plain cell as Jupyter writes it before nbformat 4.5 (no "id"): about 65% code with a
    short text output (a 100,000-cell notebook stays near 40 MB)."""
    if rng.random() < 0.65:
        lines = rng.randint(1, 4) if rng.random() < 0.7 else 0
        outputs = [{"name": "stdout", "output_type": "stream",
                    "text": [content._log_line(rng, k) for k in range(lines)]}] if lines else []
        return {"cell_type": "code", "execution_count": index + 1, "metadata": {},
                "outputs": outputs, "source": content.code_source(rng, 1)[:rng.randint(2, 8)]}
    return {"cell_type": "markdown", "metadata": {}, "source": content.markdown_source(rng)}


def _plain_additions(cells, content, seed, side, n):
    rng = random.Random("%s:plain-add:%s:%d" % (seed, side, len(cells)))
    for k in range(n):
        cells.insert(rng.randrange(len(cells) + 1), plain_cell(content, rng, 10 ** 6 + k))


def plain_synthetic_cases(n, seed=SEED):
    """One case of `n` plain cells without ids (paired by content): each side edits 1% of the
    cells, deletes 0.5% and inserts 1% at random places; both edit 0.2% (half of them lines
    apart, half the same line: conflict blocks); our side re-ran 5%."""
    content = Content(seed)
    rng = random.Random("%s:plain:%d" % (seed, n))
    base = {"cells": [plain_cell(content, rng, i) for i in range(n)],
            "metadata": {"kernelspec": {"display_name": "Python 3 (ipykernel)",
                                        "language": "python", "name": "python3"},
                         "language_info": {"name": "python", "version": "3.11.7"}},
            "nbformat": 4, "nbformat_minor": 4}
    code = [i for i, c in enumerate(base["cells"]) if c["cell_type"] == "code"
            and len(c["source"]) >= 2]
    picks = rng.sample(code, max(10, n * 47 // 1000))
    k1, k2, k3 = max(1, n // 100), max(1, n // 500), max(1, n // 200)
    ours, theirs, both = picks[:k1], picks[k1:2 * k1], picks[2 * k1:2 * k1 + k2]
    gone_ours, gone_theirs = picks[2 * k1 + k2:2 * k1 + k2 + k3], picks[2 * k1 + k2 + k3:
                                                                         2 * k1 + k2 + 2 * k3]
    reran = picks[2 * k1 + k2 + 2 * k3:]
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    _edit_sources(current["cells"], ours, seed, "ours")
    _edit_sources(incoming["cells"], theirs, seed, "theirs")
    for n_both, i in enumerate(both):
        cur, inc = current["cells"][i], incoming["cells"][i]
        apart = n_both % 2 == 0
        cur["source"] = edit_line(cur["source"], cell_rng(seed, i, "o"),
                                  "first" if apart else "middle", "ours")
        inc["source"] = edit_line(inc["source"], cell_rng(seed, i, "t"),
                                  "last" if apart else "middle", "theirs")
    for i in reran:
        cell = current["cells"][i]
        cell["outputs"] = rerun_outputs(cell["outputs"], cell_rng(seed, i, "rerun"), i + 2)
        cell["execution_count"] = i + 2
    for side, gone in ((current, gone_ours), (incoming, gone_theirs)):
        for i in sorted(gone, reverse=True):
            del side["cells"][i]
    _plain_additions(current["cells"], content, seed, "ours", k1)
    _plain_additions(incoming["cells"], content, seed, "theirs", k1)
    yield ("plain-%d" % n, base, current, incoming,
           {"kind": "plain-synthetic", "variant": "content", "cells": n,
            "source_merges": len(both), "plain": True})


def plain_corpus_cases(path, seed=SEED):
    """Three cases per real notebook, as it is (no component layer): "apart": each side edits
    three cells and inserts one in the middle, our side deletes one; "rerun": our side re-ran
    the notebook, their side edited four cells; "same": both edited the same line of a cell,
    and each two others."""
    label = os.path.splitext(os.path.basename(path))[0]
    with open(path, encoding="utf-8") as f:
        base = json.load(f)
    cells = base["cells"]
    rng = random.Random("%s:plain-corpus:%s" % (seed, label))
    anywhere = list(range(len(cells)))
    code = [i for i in anywhere if cells[i]["cell_type"] == "code"]
    content = Content(seed)
    info = {"kind": "plain-corpus", "cells": len(cells), "file": os.path.basename(path),
            "plain": True}

    def new(side):
        cell = plain_cell(content, random.Random("%s:%s:%s" % (seed, label, side)), 10 ** 6)
        if base.get("nbformat_minor", 0) >= 5:
            cell["id"] = "new-" + side
        return cell

    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    picks = rng.sample(anywhere, min(7, len(anywhere)))
    _edit_sources(current["cells"], picks[:3], seed, "ours")
    _edit_sources(incoming["cells"], picks[3:6], seed, "theirs")
    middle = len(cells) // 2
    if len(picks) > 6:
        del current["cells"][picks[6]]
    current["cells"].insert(middle - (len(picks) > 6 and picks[6] < middle), new("ours"))
    incoming["cells"].insert(middle + 1, new("theirs"))
    yield ("plain-corpus-%s-apart" % label, base, current, incoming,
           dict(info, variant="apart", source_merges=0))

    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    for k, i in enumerate(code):
        cell = current["cells"][i]
        cell["outputs"] = rerun_outputs(cell.get("outputs", []), cell_rng(seed, i, "rerun"), k + 1)
        cell["execution_count"] = k + 1
    _edit_sources(incoming["cells"], sorted(rng.sample(anywhere, min(4, len(anywhere)))),
                  seed, "theirs")
    yield ("plain-corpus-%s-rerun" % label, base, current, incoming,
           dict(info, variant="rerun", source_merges=0))

    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    picks = rng.sample(anywhere, min(5, len(anywhere)))
    _edit_sources(current["cells"], picks[1:3], seed, "ours")
    _edit_sources(incoming["cells"], picks[3:5], seed, "theirs")
    _edit_sources(current["cells"], picks[:1], seed, "ours")
    _edit_sources(incoming["cells"], picks[:1], seed, "theirs")
    yield ("plain-corpus-%s-same" % label, base, current, incoming,
           dict(info, variant="same", source_merges=1))


# ---- files ---------------------------------------------------------------------------------

def dumps_notebook(nb):
    """The layout Jupyter writes: indent 1, sorted keys, raw UTF-8, a final line feed."""
    return json.dumps(nb, indent=1, sort_keys=True, ensure_ascii=False) + "\n"


def fingerprint(*extra):
    """Changes whenever this generator or its inputs change: names a cached case set."""
    h = hashlib.sha256()
    with open(os.path.abspath(__file__), "rb") as f:
        h.update(f.read())
    for item in extra:
        h.update(repr(item).encode())
    return h.hexdigest()[:16]


def write_case(out_dir, name, base, current, incoming, info):
    d = os.path.join(out_dir, name)
    os.makedirs(d, exist_ok=True)
    for side, nb in (("base", base), ("current", current), ("incoming", incoming)):
        with open(os.path.join(d, side + ".ipynb"), "w", encoding="utf-8") as f:
            f.write(dumps_notebook(nb))
    info = dict(info, name=name,
                bytes={side: os.path.getsize(os.path.join(d, side + ".ipynb"))
                       for side in ("base", "current", "incoming")})
    with open(os.path.join(d, "case.json"), "w", encoding="utf-8") as f:
        json.dump(info, f, indent=1, sort_keys=True)
    return d


def corpus_files(corpus_dirs, names=None):
    """The notebooks of one folder or a list of folders, by file name."""
    dirs = [corpus_dirs] if isinstance(corpus_dirs, str) else corpus_dirs
    files = sorted((f, os.path.join(d, f)) for d in dirs if os.path.isdir(d)
                   for f in os.listdir(d) if f.endswith(".ipynb"))
    if names:
        files = [(f, p) for f, p in files if any(n in f for n in names)]
    return [p for _, p in files]


def ensure_cases(out_dir, sizes, corpus, seed=SEED, log=print, plain=False):
    """Writes the cases that are missing or stale under `out_dir`; returns their folders in
    benchmark order. A case is reused while the generator, its seed and its input are unchanged.
    With `plain`, the plain-notebook cases instead of the component ones."""
    folders = []
    jobs = [("synthetic", n) for n in sizes] + [("corpus", p) for p in corpus]
    if plain:
        jobs = [("plain-" + kind, arg) for kind, arg in jobs]
    for kind, arg in jobs:
        synthetic = kind.endswith("synthetic")
        key = fingerprint(seed, kind, arg, None if synthetic else _stat(arg))
        stamp = os.path.join(out_dir, "%s-%s.stamp" % (kind, arg if synthetic
                                                       else os.path.basename(arg)))
        gen = {"synthetic": synthetic_cases, "corpus": corpus_cases,
               "plain-synthetic": plain_synthetic_cases,
               "plain-corpus": plain_corpus_cases}[kind](arg, seed)
        names = _names(kind, arg)
        if _read(stamp) == key and all(os.path.exists(os.path.join(out_dir, n, "case.json"))
                                       for n in names):
            folders += [os.path.join(out_dir, n) for n in names]
            continue
        log("generating %s cases for %s" % (kind, arg if synthetic else os.path.basename(arg)))
        for name, base, current, incoming, info in gen:
            folders.append(write_case(out_dir, name, base, current, incoming, info))
        with open(stamp, "w") as f:
            f.write(key)
    return folders


def _names(kind, arg):
    if kind == "synthetic":
        return ["synthetic-%d-mixed" % arg, "synthetic-%d-nosrc" % arg]
    if kind == "plain-synthetic":
        return ["plain-%d" % arg]
    label = os.path.splitext(os.path.basename(arg))[0]
    if kind == "plain-corpus":
        return ["plain-corpus-%s-%s" % (label, v) for v in PLAIN_VARIANTS]
    return ["corpus-%s-rerun" % label, "corpus-%s-edits" % label]


def _stat(path):
    st = os.stat(path)
    return st.st_size, int(st.st_mtime)


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--sizes", type=int, nargs="*", default=list(SIZES))
    ap.add_argument("--corpus", nargs="*", default=DEFAULT_CORPUS, help="folders of real notebooks")
    ap.add_argument("--only", nargs="*", help="corpus files whose names contain one of these")
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--plain", action="store_true",
                    help="the plain-notebook cases (sizes default to %s)" % (PLAIN_SIZES,))
    args = ap.parse_args(argv)
    if args.plain and args.sizes == list(SIZES):
        args.sizes = list(PLAIN_SIZES)
    corpus = corpus_files(args.corpus, args.only)
    for d in ensure_cases(args.out, args.sizes, corpus, args.seed, plain=args.plain):
        print(d)
    return 0


if __name__ == "__main__":
    sys.exit(main())
