"""Plain Jupyter notebooks (no component layer on any side) merged cell by cell.

Cells are paired across the three versions by their nbformat "id" when every cell of the three
has one, unique in its notebook; otherwise by content: a patience diff over (cell_type, source)
pairs the cells that one side kept as they were, cells that changed between the same unchanged
neighbours are paired as edits when they look alike, and a cell that went elsewhere unchanged is
paired as moved.  The order of the cells is merged as git merges lines: the cells that stayed in
place on both sides hold the order, and between two of them each side's insertions and moves
land where that side put them, ours first when both put something there.

Per cell: the source as the component merge merges it (the extension's source merge: git
merge-file, labels PATH-current, PATH-base and PATH-incoming, or git's own), outputs and
execution count from the side that re-ran the cell (ours when both did), metadata three ways per
key.  A cell deleted on one side and edited on the other stays, with a conflict block in its
source that says which side deleted it.
A source that git cannot merge as text (a NUL character, a lone surrogate, lines that are not
strings) leaves the whole file to git's line merge, as in the component merge.
"""

import collections
import json
import os

from corvane_git.scripts.merge_driver.conflicts.markers import conflict_labels
from corvane_git.scripts.merge_driver.conflicts.report import Conflicts, MergeFailure
from corvane_git.scripts.merge_driver.git_wiring import runner
from corvane_git.scripts.merge_driver.notebooks import layout, shape
from corvane_git.scripts.merge_driver.plain.engine import from_content, load_engine
from corvane_git.scripts.merge_driver.plain.sequences import increasing, matching_pairs

__all__ = [
    "merge_plain",
    "is_plain",
    "merge_notebooks",
    "PlainConflicts",
    "NotText",
    "SourceMerger",
    "pair",
    "ids",
    "fingerprint",
    "three_way",
    "merge_maps",
    "source_text",
]

_ABSENT = object()
# What a re-run changes; taken from one side as a whole.
_RUN_KEYS = ("outputs", "execution_count")
# Cells compared for a move or an edit at most this far ahead of the current one.
_LOOKAHEAD = 8
# Listed by position in a note, at most this many.
_LISTED = 20


class PlainConflicts(Conflicts):
    """The Conflicts of a plain notebook: cells with conflict blocks, and the notes."""

    HEADLINE = "the merged notebook (plain, merged cell by cell) holds conflicts to resolve"


def is_plain(base, ours, theirs):
    """Whether three parsed notebooks are all plain (None for base: both sides added it)."""
    return (
        (base is None or shape.without_layer(base))
        and shape.without_layer(ours)
        and shape.without_layer(theirs)
    )


def merge_plain(base, ours, theirs, target, path, ours_bytes, keep_one_line=False, labels=None):
    """Merge three parsed plain notebooks (see is_plain; `base` None: both sides added the
    notebook, which stands for a notebook without cells), write the result over `target` (in
    the layout of our file, `ours_bytes`, or on one line with `keep_one_line`) and return its
    PlainConflicts.  Conflict blocks carry `labels` as conflict_labels takes them.  Raises
    NotText, with nothing written, for a source that git cannot merge as text (the whole file
    is then left to git's line merge, as in the component merge)."""
    if base is None:
        base = {"cells": [], "metadata": {}}
    merged, conflicts = merge_notebooks(base, ours, theirs, SourceMerger(path, labels))
    try:
        if keep_one_line:
            layout.replace_file(target, layout.render(merged, layout.Layout()))
        else:
            layout.write_in_layout(target, ours_bytes, ours, merged)
    except OSError as exc:
        raise MergeFailure(
            "cannot write the merged notebook beside our version (%s): %s"
            % (target, exc.strerror or exc)
        ) from exc
    return conflicts


# ---- source merges ---------------------------------------------------------------------------


class NotText(MergeFailure):
    """A cell's source that git cannot merge as text; the message says why."""


class SourceMerger:
    """The source merges of one notebook, made by the extension's merge_sources as the
    component merge makes them (three files "current", "base" and "incoming" in a private
    directory that a later merge removes if this one is killed, git merge-file without options,
    the merged lines read back with universal line ends, each temporary path replaced by its
    label), all of them run ahead at once.  `names`: the labels of our and their side."""

    def __init__(self, path, labels=None):
        self.labels = conflict_labels(path, labels)
        self.names = (self.labels[0], self.labels[2])

    def __call__(self, current, base, incoming):
        """One source merge: the merged lines."""
        return self.merge_all([(current, base, incoming)])[0][0]

    def merge_all(self, sources):
        """[(merged lines, number of conflicts git reported)] for [(current, base, incoming)].
        A source given as one string is merged as that text."""
        sources = [tuple([s] if isinstance(s, str) else s for s in triple) for triple in sources]
        engine = load_engine()
        try:
            return engine.merge_sources(sources, self.labels)
        except Exception as exc:
            if runner.is_git_missing(exc):
                raise MergeFailure(runner.GIT_MISSING) from exc
            if from_content(exc):
                raise NotText(runner.failure_text(exc)) from exc  # as the component merge says it
            raise MergeFailure(
                "the source of a cell cannot be merged (%s)" % runner.failure_text(exc)
            ) from exc


# ---- pairing ---------------------------------------------------------------------------------


def source_text(source):
    if type(source) is str:
        return source
    if type(source) is list:
        try:
            return "".join(source)
        except TypeError:
            pass
    return json.dumps(source, sort_keys=True)


def fingerprint(cell):
    kind = cell.get("cell_type")
    return kind if isinstance(kind, str) else json.dumps(kind), source_text(cell.get("source", ""))


def ids(cells):
    """The cells' "id"s when each has one, a string unique among them; else None."""
    ids = [c.get("id") for c in cells]
    if all(isinstance(i, str) for i in ids) and len(set(ids)) == len(ids):
        return ids
    return None


def _lines(cell):
    return set(
        line.strip() for line in source_text(cell.get("source", "")).splitlines() if line.strip()
    )


def _alike(a, b, lines):
    """Whether two cells of the same type share at least half their non-blank lines."""
    if a.get("cell_type") != b.get("cell_type"):
        return False
    la, lb = lines(a), lines(b)
    return 2 * len(la & lb) >= len(la) + len(lb) > 0


def _pair_changed(old, new, olds, news, pairs):
    """Pair the cells old[i] for i in `olds` with new[j] for j in `news`, which lie in order
    between the same kept neighbours: a cell with one that looks alike a few places on, else
    with the cell across when as many are left on both sides or the two are of one type."""
    cache = {}

    def lines(cell):
        key = id(cell)
        if key not in cache:
            cache[key] = _lines(cell)
        return cache[key]

    a, b, n, m = 0, 0, len(olds), len(news)
    while a < n and b < m:
        o, w = old[olds[a]], new[news[b]]
        if _alike(o, w, lines):
            pairs.append((olds[a], news[b]))
            a += 1
            b += 1
            continue
        ahead_new = next(
            (k for k in range(b + 1, min(m, b + 1 + _LOOKAHEAD)) if _alike(o, new[news[k]], lines)),
            None,
        )
        ahead_old = next(
            (k for k in range(a + 1, min(n, a + 1 + _LOOKAHEAD)) if _alike(old[olds[k]], w, lines)),
            None,
        )
        if ahead_new is not None and (ahead_old is None or ahead_new - b <= ahead_old - a):
            b = ahead_new  # new cells inserted before o
        elif ahead_old is not None:
            a = ahead_old  # old cells deleted before w
        elif n - a == m - b or o.get("cell_type") == w.get("cell_type"):
            pairs.append((olds[a], news[b]))
            a += 1
            b += 1
        elif n - a > m - b:
            a += 1
        else:
            b += 1


def pair(old, new, by_id, old_prints=None):
    """{index in new: index in old} for the cells of `new` that are versions of cells of
    `old` (by "id", or by content; `old_prints`: the fingerprints of `old`, when known)."""
    if by_id:
        where = {c["id"]: i for i, c in enumerate(old)}
        return {j: where[c["id"]] for j, c in enumerate(new) if c["id"] in where}
    old_prints = old_prints or [fingerprint(c) for c in old]
    new_prints = [fingerprint(c) for c in new]
    kept = matching_pairs(old_prints, new_prints)
    paired = {j: i for i, j in kept}
    # Moved: a cell that left its place unchanged, found again elsewhere.
    taken = set(paired.values())
    left = {}
    for i, p in enumerate(old_prints):
        if i not in taken:
            left.setdefault(p, collections.deque()).append(i)
    for j, p in enumerate(new_prints):
        if j not in paired:
            found = left.get(p)
            if found:
                paired[j] = found.popleft()
                taken.add(paired[j])
    # Edited: the cells left between the same two kept ones.
    edited = []
    edges = [(-1, -1)] + kept + [(len(old), len(new))]
    for (i0, j0), (i1, j1) in zip(edges, edges[1:]):
        if i1 - i0 > 1 and j1 - j0 > 1:
            olds = [i for i in range(i0 + 1, i1) if i not in taken]
            news = [j for j in range(j0 + 1, j1) if j not in paired]
            if olds and news:
                _pair_changed(old, new, olds, news, edited)
    paired.update((j, i) for i, j in edited)
    return paired


def _stable(paired):
    """The indices in new (keys of `paired`) whose cells stayed in place: the most that keep
    the old order; the others moved."""
    order = sorted(paired)
    return {order[k] for k in increasing([paired[j] for j in order])}


# ---- merging values --------------------------------------------------------------------------


def three_way(base, ours, theirs):
    """(value, whether both sides changed it differently: then ours)."""
    if ours == theirs:
        return ours, False
    if ours == base:
        return theirs, False
    if theirs == base:
        return ours, False
    return ours, True


def merge_maps(b, o, t, where, clashes):
    """Maps merged per key, nested maps recursively; a key both sides changed differently keeps
    ours and its path is added to `clashes`.  Keys in our order, then theirs' new ones."""
    b = b if isinstance(b, dict) else {}
    out = {}
    for key in list(o) + [k for k in t if k not in o]:
        bv, ov, tv = b.get(key, _ABSENT), o.get(key, _ABSENT), t.get(key, _ABSENT)
        if (
            isinstance(ov, dict)
            and isinstance(tv, dict)
            and ov != tv
            and ov != bv
            and tv != bv
            and (bv is _ABSENT or isinstance(bv, dict))
        ):
            value = merge_maps(bv, ov, tv, where + [key], clashes)
        else:
            value, clash = three_way(bv, ov, tv)
            if clash:
                clashes.append(where + [key])
        if value is not _ABSENT:
            out[key] = value
    return out


def _same_source(a, b):
    return source_text(a) == source_text(b)


class _Merge:
    """One merge of plain notebooks: the merged cells, then the report."""

    def __init__(self, merge_source):
        self.merge_source = merge_source
        self.jobs = []  # (merged cell, current, base, incoming): sources to merge
        self.conflicted = set()  # id(merged cell) whose source merge git found conflicts in
        self.deleted = {}  # id(merged cell) -> (side that changed it, side that deleted it)
        self.reran = []  # merged cells that both sides re-ran differently
        self.meta = []  # (merged cell, key path) changed on both sides
        self.dropped_runs = []  # (side that deleted, side that re-ran) for cells dropped

    def cell(self, b, o, t):
        """The merged version of a cell paired on both sides (`b` None: added by both)."""
        if o == t or t == b:
            return o  # as it is: never changed in place
        if o == b:
            return t
        base = b if b is not None else {}
        merged = {}
        ran_o = any(o.get(k, _ABSENT) != base.get(k, _ABSENT) for k in _RUN_KEYS)
        ran_t = any(t.get(k, _ABSENT) != base.get(k, _ABSENT) for k in _RUN_KEYS)
        run = t if ran_t and not ran_o else o
        if ran_o and ran_t and any(o.get(k, _ABSENT) != t.get(k, _ABSENT) for k in _RUN_KEYS):
            self.reran.append(merged)
        clashes = []
        for key in list(o) + [k for k in t if k not in o]:
            if key in _RUN_KEYS:
                value = run.get(key, _ABSENT)
            elif key == "source":
                value = self._source(
                    merged, base.get(key, _ABSENT), o.get(key, _ABSENT), t.get(key, _ABSENT)
                )
            elif (
                key == "metadata" and isinstance(o.get(key), dict) and isinstance(t.get(key), dict)
            ):
                value = merge_maps(base.get(key), o[key], t[key], [], clashes)
            else:
                value, clash = three_way(
                    base.get(key, _ABSENT), o.get(key, _ABSENT), t.get(key, _ABSENT)
                )
                if clash:
                    clashes.append([key])
            if value is not _ABSENT:
                merged[key] = value
        self.meta.extend((merged, path) for path in clashes)
        return merged

    def _source(self, merged, b, o, t):
        if (
            o is _ABSENT
            or t is _ABSENT
            or _same_source(o, t)
            or (b is not _ABSENT and _same_source(t, b))
        ):
            return o if o is not _ABSENT else t
        if b is not _ABSENT and _same_source(o, b):
            return t
        self.jobs.append((merged, o, [] if b is _ABSENT else b, t))
        return o

    def kept_deleted(self, cell, changed_by):
        """A copy of `cell`, which one side deleted and `changed_by` edited, with a block."""
        kept = dict(cell)
        lines = source_text(cell.get("source", "")).splitlines(True)
        if lines and not lines[-1].endswith("\n"):
            lines[-1] += "\n"
        ours, theirs = self.merge_source.names
        if changed_by == "current":
            block = (
                ["<<<<<<< %s (changed this cell)\n" % ours]
                + lines
                + ["=======\n", ">>>>>>> %s (deleted this cell)" % theirs]
            )
        else:
            block = (
                ["<<<<<<< %s (deleted this cell)\n" % ours, "=======\n"]
                + lines
                + [">>>>>>> %s (changed this cell)" % theirs]
            )
        kept["source"] = block if isinstance(cell.get("source"), list) else "".join(block)
        self.deleted[id(kept)] = changed_by
        return kept

    def run_jobs(self):
        """Make the source merges, all in one call (git merge-file runs for several at once)."""
        if not self.jobs:
            return
        results = self.merge_source.merge_all([(o, b, t) for _, o, b, t in self.jobs])
        for (merged, o, _, _), (lines, conflicts) in zip(self.jobs, results):
            merged["source"] = "".join(lines) if isinstance(o, str) else lines
            if conflicts:
                self.conflicted.add(id(merged))


def _edited(b, side):
    """Whether `side`'s version of cell `b` changed more than its outputs."""
    keys = set(b) | set(side)
    return any(b.get(k, _ABSENT) != side.get(k, _ABSENT) for k in keys if k not in _RUN_KEYS)


def merge_notebooks(base, ours, theirs, merge_source):
    """(merged notebook, PlainConflicts) of three plain notebooks; `merge_source.merge_all`
    merges a list of (current, base, incoming) sources into [(lines, conflicts)], and
    `merge_source.names` are the labels of our and their blocks (see SourceMerger)."""
    base_cells, our_cells, their_cells = base["cells"], ours["cells"], theirs["cells"]
    by_id = all(ids(cells) is not None for cells in (base_cells, our_cells, their_cells))
    base_prints = None if by_id else [fingerprint(c) for c in base_cells]
    # {index in ours (theirs): index in the base}, and the other way round
    ours_from_base = pair(base_cells, our_cells, by_id, base_prints)
    theirs_from_base = pair(base_cells, their_cells, by_id, base_prints)
    ours_in_place, theirs_in_place = _stable(ours_from_base), _stable(theirs_from_base)
    base_to_ours = {i: j for j, i in ours_from_base.items()}
    base_to_theirs = {i: j for j, i in theirs_from_base.items()}
    work = _Merge(merge_source)

    # Each base cell that survives: its merged version, and which side places it.
    placed = {}  # base index -> ("current" | "incoming" | "both", merged cell)
    for i, base_cell in enumerate(base_cells):
        at_ours, at_theirs = base_to_ours.get(i), base_to_theirs.get(i)
        if at_ours is None and at_theirs is None:
            continue
        if at_ours is None or at_theirs is None:
            side, j, cells = (
                ("incoming", at_theirs, their_cells)
                if at_ours is None
                else ("current", at_ours, our_cells)
            )
            if _edited(base_cell, cells[j]):
                placed[i] = (side, work.kept_deleted(cells[j], side))
            elif any(cells[j].get(k, _ABSENT) != base_cell.get(k, _ABSENT) for k in _RUN_KEYS):
                work.dropped_runs.append(("current" if at_ours is None else "incoming", side))
            continue
        side = (
            "both"
            if at_ours in ours_in_place and at_theirs in theirs_in_place
            else "current"
            if at_ours not in ours_in_place
            else "incoming"
        )
        placed[i] = (side, work.cell(base_cell, our_cells[at_ours], their_cells[at_theirs]))

    # Between two cells that both sides kept in place: each side's cells, ours first.
    anchors = [
        (i, base_to_ours[i], base_to_theirs[i]) for i in sorted(placed) if placed[i][0] == "both"
    ]
    edges = [(-1, -1, -1)] + anchors + [(len(base_cells), len(our_cells), len(their_cells))]
    cells = []
    for (_, ours_from, theirs_from), (i1, ours_to, theirs_to) in zip(edges, edges[1:]):
        mine = [
            _gap_item(our_cells[j], ours_from_base.get(j), placed, "current")
            for j in range(ours_from + 1, ours_to)
        ]
        yours = [
            _gap_item(their_cells[j], theirs_from_base.get(j), placed, "incoming")
            for j in range(theirs_from + 1, theirs_to)
        ]
        cells.extend(_weave([m for m in mine if m], [y for y in yours if y], by_id, work))
        if i1 < len(base_cells):
            cells.append(placed[i1][1])
    work.run_jobs()

    merged = _merge_top(base, ours, theirs, cells, work)
    conflicts = _report(ours, cells, work)
    if _wants_ids(merged) and all(_has_ids(n) for n in (base, ours, theirs)):
        _settle_ids(cells)
    return merged, conflicts


def _gap_item(cell, i, placed, side):
    """(key, cell) for a cell of `side` between two anchors that this side places, or None."""
    if i is None:
        return (
            "new",
            cell.get("id") if isinstance(cell.get("id"), str) else None,
            fingerprint(cell),
        ), cell
    where = placed.get(i)
    if where is None or where[0] != side:
        return None
    return ("base", i), where[1]


def _weave(mine, yours, by_id, work):
    """The cells of one gap: both sides' cells in their order, ours first where both put
    cells; a cell that both sides added (same "id", or same content) is merged once."""
    if not mine or not yours:
        return [c for _, c in mine or yours]

    def key(item):
        k = item[0]
        if k[0] != "new":
            return k
        return ("id", k[1]) if by_id and k[1] is not None else ("content", k[2])

    pairs = matching_pairs([key(m) for m in mine], [key(y) for y in yours])
    out = []
    i = j = 0
    for pi, pj in pairs + [(len(mine), len(yours))]:
        out.extend(c for _, c in mine[i:pi])
        out.extend(c for _, c in yours[j:pj])
        if pi < len(mine):
            out.append(work.cell(None, mine[pi][1], yours[pj][1]))
        i, j = pi + 1, pj + 1
    return out


def _merge_top(base, ours, theirs, cells, work):
    merged = {}
    for key in list(ours) + [k for k in theirs if k not in ours]:
        bv, ov, tv = base.get(key, _ABSENT), ours.get(key, _ABSENT), theirs.get(key, _ABSENT)
        if key == "cells":
            value = cells
        elif key == "nbformat_minor" and type(ov) is int and type(tv) is int:
            value = max(ov, tv)
        elif key == "metadata" and isinstance(ov, dict) and isinstance(tv, dict):
            clashes = []
            value = merge_maps(bv, ov, tv, [], clashes)
            work.meta.extend((None, path) for path in clashes)
        else:
            value, clash = three_way(bv, ov, tv)
            if clash:
                work.meta.append((None, [key]))
        if value is not _ABSENT:
            merged[key] = value
    return merged


def _wants_ids(notebook):
    """Whether nbformat requires an "id" on each cell (4.5 and later)."""
    minor = notebook.get("nbformat_minor")
    return notebook.get("nbformat") == 4 and type(minor) is int and minor >= 5


def _has_ids(notebook):
    return not _wants_ids(notebook) or all(isinstance(c.get("id"), str) for c in notebook["cells"])


def _settle_ids(cells):
    """Give each cell without an "id" (one from a side before 4.5), or with one taken by an
    earlier cell, a new one: a 4.5 notebook is valid only so."""
    seen = set()
    for k, cell in enumerate(cells):
        cid = cell.get("id")
        if not isinstance(cid, str) or cid in seen:
            cid = _fresh_id(seen)
            cells[k] = dict(cell, id=cid)
        seen.add(cid)


def _fresh_id(seen):
    while True:
        cid = os.urandom(4).hex()
        if cid not in seen:
            return cid


def _listed(items):
    text = ", ".join(items[:_LISTED])
    return text + (" and %d more" % (len(items) - _LISTED) if len(items) > _LISTED else "")


def _report(ours, cells, work):
    # Only a merged source in which git found conflicts holds a block that the merge made (or
    # one kept with a deletion).
    source_cells: list = []
    for pos, cell in enumerate(cells, 1):
        side = work.deleted.get(id(cell))
        if side:
            source_cells.append(
                (
                    pos,
                    "changed by us, deleted by them"
                    if side == "current"
                    else "changed by them, deleted by us",
                )
            )
        elif id(cell) in work.conflicted:
            source_cells.append((pos, None))
    conflicts = PlainConflicts([], [], source_cells)
    position = {id(c): pos for pos, c in enumerate(cells, 1)}
    if work.reran:
        conflicts.notes.append(
            "cells re-run on both sides, our outputs kept: "
            + _listed(["cell %d" % position[id(c)] for c in work.reran if id(c) in position])
        )
    if work.meta:
        conflicts.notes.append(
            "changed on both sides, ours kept: "
            + _listed(
                [
                    ("cell %d metadata " % position[id(c)] if c is not None else "")
                    + " -> ".join(json.dumps(k) for k in path)
                    for c, path in work.meta
                    if c is None or id(c) in position
                ]
            )
        )
    for deleted_by, ran_by in sorted(set(work.dropped_runs)):
        count = work.dropped_runs.count((deleted_by, ran_by))
        conflicts.notes.append(
            "%d cell%s deleted by %s, only re-run by %s: deleted"
            % (
                count,
                "" if count == 1 else "s",
                "us" if deleted_by == "current" else "them",
                "us" if ran_by == "current" else "them",
            )
        )
    return conflicts
