"""What the driver command adds around merge_core's decisions on a component notebook.

merge_core decides as merge_files does.  Around it, the driver:

- lets cells without the component layer (a cell added in plain Jupyter) take part: before the
  merge each gets a stand-in canvas map, unnamed, whose id pairs its versions across the three
  notebooks as the plain merge pairs cells (cell id, then content); after it the stand-in goes
  and the cell comes out as it went in;
- keeps their edits outside the source and the canvas map of a cell that both sides changed
  where the merge keeps our version: metadata per key (nested maps key by key), the other keys
  of the cell three ways, outputs and execution count from the side that re-ran the cell (ours
  when both did); a key both sides changed differently keeps ours and is named in a note;
- puts each cell that their side added right after the cell that precedes it in their notebook
  (after the cells that our side added there), not at the end;
- writes the parent entries that the file a cell comes from (ours, or theirs for their new
  cells, their copies and their versions taken) held with a "name" as that file held them (the
  merge takes the names out of every parent entry to compare cells), the name being the one
  that the component it points at has in the result where that is a plain, unmarked name: the
  file never contradicts itself;
- names the unnamed cells that our side deleted and the merge kept for their change;
- names the cells that both sides re-ran, our outputs kept.

Each step is one pass over the cells: no cell is compared with more than its own versions.
"""

import json
import os

from corvane_git.scripts.merge_driver.notebooks import shape

__all__ = ["prepare"]

_ABSENT = object()
# What a re-run changes; taken from one side as a whole.
_RUN_KEYS = ("outputs", "execution_count")


def _keyed(cells):
    """(cell, its canvas map or None, its component id or None) for each of `cells`."""
    out = []
    append = out.append
    for cell in cells:
        try:
            canvas = cell["metadata"]["canvas"]
            key = canvas["id"]
            if type(canvas) is dict and type(key) is str:
                append((cell, canvas, key))
                continue
        except (KeyError, TypeError, IndexError):
            pass
        canvas = shape.canvas_or_none(cell)
        key = canvas.get("id") if canvas is not None else None
        append((cell, canvas, key if isinstance(key, str) else None))
    return out


def _is_plain(cell):
    """A cell without the component layer: no "metadata", or one without "canvas"."""
    if not isinstance(cell, dict):
        return False
    meta = cell.get("metadata", _ABSENT)
    return meta is _ABSENT or (isinstance(meta, dict) and "canvas" not in meta)


def _by_key(keyed):
    return {key: cell for cell, _, key in keyed if key is not None}


def prepare(base, ours, theirs, base_made=False):
    """Get the three parsed notebooks ready for merge_core (plain cells get their stand-in
    canvas maps) and note what the finish needs of them as they are before the merge, which
    changes their objects.  Returns the _Finish to call on the merged notebook.

    `base_made`: both sides added the notebook, and its base cells stand in for cells that
    both sides added (see route.empty_base_notebook)."""
    notebooks = (base, ours, theirs)
    keyed = [_keyed(shape.cell_list(nb)) for nb in notebooks]
    stand_ins = _StandIns(
        base, [[c for c, canvas, _ in cells if canvas is None and _is_plain(c)] for cells in keyed]
    )
    if stand_ins.maps:
        keyed = [_keyed(shape.cell_list(nb)) for nb in notebooks]
    finish = _Finish(keyed, stand_ins)
    finish.both_added = set(finish.base) if base_made else stand_ins.both_added
    return finish


class _StandIns:
    """The stand-in canvas maps of the plain cells of one merge."""

    def __init__(self, base, plain):
        """`plain`: the cells without the component layer of the base, ours and theirs."""
        self.maps = {}  # id(canvas map) -> the map: held, so that ids stay unique
        self.added_metadata = set()  # ids of the maps whose cell had no "metadata"
        self.both_added = set()  # keys of the cells that both sides added
        if not any(plain):
            return
        from corvane_git.scripts.merge_driver.plain import merge as plain_merge

        base_cells, our_cells, their_cells = plain
        by_id = all(plain_merge.ids(cells) is not None for cells in plain)
        prints = None if by_id else [plain_merge.fingerprint(c) for c in base_cells]
        paired_o = plain_merge.pair(base_cells, our_cells, by_id, prints)
        paired_t = plain_merge.pair(base_cells, their_cells, by_id, prints)
        token = os.urandom(8).hex()
        keys_b = ["plain-%s-b%d" % (token, i) for i in range(len(base_cells))]
        keys_o = [
            keys_b[paired_o[j]] if j in paired_o else "plain-%s-o%d" % (token, j)
            for j in range(len(our_cells))
        ]
        keys_t = [
            keys_b[paired_t[j]] if j in paired_t else "plain-%s-t%d" % (token, j)
            for j in range(len(their_cells))
        ]
        # A cell that both sides added (same cell id, or same type and source) is one cell,
        # merged as a notebook that both sides added merges it: against our version with an
        # empty source, or against itself when both versions are equal.
        new_o = {}
        for j, cell in enumerate(our_cells):
            if j not in paired_o:
                new_o.setdefault(self._new_key(cell, by_id, plain_merge), j)
        for j, cell in enumerate(their_cells):
            if j in paired_t:
                continue
            o = new_o.pop(self._new_key(cell, by_id, plain_merge), None)
            if o is None:
                continue
            keys_t[j] = keys_o[o]
            self.both_added.add(keys_o[o])
            ours = our_cells[o]
            stand_in = (
                dict(ours)
                if ours == cell
                else dict(ours, source=("" if isinstance(ours.get("source"), str) else []))
            )
            stand_in["metadata"] = dict(shape.metadata_or_none(ours) or {})
            shape.cell_list(base).append(stand_in)
            base_cells.append(stand_in)
            keys_b.append(keys_o[o])
        for cells, keys in ((base_cells, keys_b), (our_cells, keys_o), (their_cells, keys_t)):
            for cell, key in zip(cells, keys):
                self._add(cell, key)

    @staticmethod
    def _new_key(cell, by_id, plain_merge):
        return ("id", cell["id"]) if by_id else ("content", plain_merge.fingerprint(cell))

    def _add(self, cell, key):
        canvas = {"id": key, "name": None, "parents": [], "comments": []}
        self.maps[id(canvas)] = canvas
        if "metadata" not in cell:
            cell["metadata"] = {}
            self.added_metadata.add(id(canvas))
        cell["metadata"]["canvas"] = canvas

    def holds(self, canvas):
        return bool(self.maps) and self.maps.get(id(canvas)) is canvas

    def remove(self, cell, canvas):
        """Take the stand-in `canvas` out of the merged `cell`: it comes out as it went in."""
        meta = cell["metadata"]
        del meta["canvas"]
        if not meta and id(canvas) in self.added_metadata:
            del cell["metadata"]


class _Finish:
    def __init__(self, keyed, stand_ins):
        """`keyed`: the _keyed cells of the base, ours and theirs."""
        self.stand_ins = stand_ins
        self.both_added = set()  # keys that both sides added; set by prepare
        base_keyed, ours_keyed, their_keyed = keyed
        self.base = _by_key(base_keyed)
        self.ours = _by_key(ours_keyed)
        self.theirs = _by_key(their_keyed)
        # Their cells in their order, with the canvas map each has now: the merge may give a
        # copy of their cell a fresh id, in that same map.
        self.their_order = [(key, canvas) for _, canvas, key in their_keyed]
        # The parent entries that hold a name, per side, per component id, then per parent id.
        self.named_ours = _named_parents(ours_keyed)
        self.named_theirs = _named_parents(their_keyed)
        # Their canvas maps by object: the merge's copies of their cells share them.
        self.their_keys = (
            {id(canvas): key for key, canvas in self.their_order if canvas is not None}
            if self.named_theirs or self.named_ours
            else {}
        )
        # Unnamed cells that our side deleted and their side changed: kept, and said.
        self.back = set(
            key
            for key, t in self.theirs.items()
            if key not in self.ours
            and key in self.base
            and t != self.base[key]
            and not shape.canvas_or_none(t).get("name")
        )

    def __call__(self, merged):
        """Finish the merged notebook in place; return the notes for the user."""
        cells = shape.cell_list(merged)
        keyed = _keyed(cells)
        reran, clashes, back = [], [], []
        ours, their_keys = self.ours, self.their_keys
        names = _plain_names(keyed) if self.named_ours or self.named_theirs else None
        stand_ins = self.stand_ins if self.stand_ins.maps else None
        for cell, canvas, key in keyed:
            if key is None:
                continue
            if ours.get(key) is cell:
                self._merge_cell_keys(cell, key, reran, clashes)
            their_key = their_keys.get(id(canvas))
            if names is not None:
                # The file the cell comes from: theirs where it holds their canvas map.
                named = (
                    self.named_theirs.get(their_key)
                    if their_key is not None
                    else self.named_ours.get(key)
                )
                if named:
                    _restore_parent_names(canvas, named, names)
            if key in self.back and key not in ours:
                back.append(cell)
            if stand_ins is not None and stand_ins.holds(canvas):
                stand_ins.remove(cell, canvas)
        keyed = self._placed(keyed)
        cells[:] = [cell for cell, _, _ in keyed]
        if not reran and not clashes and not back:
            return []
        position = {id(c): pos for pos, c in enumerate(cells, 1)}
        notes = []
        if reran:
            notes.append(
                "cells re-run on both sides, our outputs kept: "
                + _listed(["cell %d" % position[id(c)] for c in reran])
            )
        if clashes:
            notes.append(
                "changed on both sides, ours kept: "
                + _listed(["cell %d %s" % (position[id(c)], path) for c, path in clashes])
            )
        if back:
            notes.append(
                "changed by them, deleted by us, kept: "
                + _listed(["cell %d" % position[id(c)] for c in back])
            )
        return notes

    # ---- their edits outside the source and the canvas map -----------------------------------

    def _merge_cell_keys(self, o, key, reran, clashes):
        """Our version `o` of a cell stays: where their version of it is nowhere else in the
        result, merge their other keys in.  Adds `o` to `reran` when both sides re-ran it, and
        (o, path) to `clashes` for each key that both sides changed differently."""
        b, t = self.base.get(key), self.theirs.get(key)
        if b is None or t is None or key in self.both_added or t == b:
            return  # (both sides added it: its base stands in for none; ours is kept)
        if shape.canvas_or_none(t).get("id") != key:
            return  # their version stands beside ours, with a fresh id
        ran_o = any(o.get(k, _ABSENT) != b.get(k, _ABSENT) for k in _RUN_KEYS)
        ran_t = any(t.get(k, _ABSENT) != b.get(k, _ABSENT) for k in _RUN_KEYS)
        if ran_o and ran_t and any(o.get(k, _ABSENT) != t.get(k, _ABSENT) for k in _RUN_KEYS):
            reran.append(o)
        keys = set(t) | set(b)
        if all(t.get(k, _ABSENT) == b.get(k, _ABSENT) for k in keys if k not in _RUN_KEYS):
            return  # they only re-ran it: our version, as merge_files keeps it
        if all(
            t.get(k, _ABSENT) == b.get(k, _ABSENT)
            for k in keys
            if k not in _RUN_KEYS and k != "source" and k != "metadata"
        ) and (_without_canvas(t.get("metadata")) == _without_canvas(b.get("metadata"))):
            # Their edit is in the source and the canvas map, which the merge took care of:
            # only their run, where ours did not re-run.
            if ran_t and not ran_o:
                _take_run(o, t)
            return
        paths = []
        _merge_into(o, b, t, ran_o, ran_t, paths)
        clashes.extend((o, path) for path in paths)

    # ---- where their new cells go ------------------------------------------------------------

    def _placed(self, keyed):
        """The cells, each that their side added right after the cell before it in their
        notebook (where the result holds that one; before it the next earlier one), after the
        cells that our side added there; at the start when none of theirs precedes it."""
        added = set(k for k in self.theirs if k not in self.base and k not in self.ours)
        if not added:
            return keyed
        theirs_added = {}
        rest = []
        for item in keyed:
            if item[2] in added:
                theirs_added[item[2]] = item
            else:
                rest.append(item)
        by_key = {}
        for pos, (_, _, key) in enumerate(rest):
            by_key.setdefault(key, pos)
        groups = {}
        anchor = -1
        for key, canvas in self.their_order:
            if key in added:
                if key in theirs_added:
                    groups.setdefault(anchor, []).append(theirs_added.pop(key))
                continue
            at = by_key.get(key)
            # Their copy beside ours: their canvas map now holds its fresh id.
            fresh = canvas.get("id") if canvas is not None else None
            if fresh != key and fresh in by_key:
                at = by_key[fresh] if at is None else max(at, by_key[fresh])
            if at is not None:
                anchor = at
        out = []
        pending = groups.get(-1, [])
        for pos in range(-1, len(rest)):
            if pos >= 0:
                out.append(rest[pos])
                if pos in groups:
                    pending = pending + groups[pos]
            # Past the cells that our side added right there: ours first, as in a plain
            # notebook.
            if pending and not (pos + 1 < len(rest) and self._ours_added(rest[pos + 1][2])):
                out.extend(pending)
                pending = []
        out.extend(theirs_added.values())  # none left but in an odd case: kept, at the end
        return out

    def _ours_added(self, key):
        return key not in self.base and key in self.ours and key not in self.theirs


def _named_parents(keyed):
    """The parent entries that hold a name, per component id, then per parent id."""
    out = {}
    for _, canvas, key in keyed:
        parents = canvas.get("parents") if key is not None else None
        if not parents or not isinstance(parents, list):
            continue
        named = {
            p["id"]: dict(p)
            for p in parents
            if isinstance(p, dict) and "name" in p and isinstance(p.get("id"), str)
        }
        if named:
            out[key] = named
    return out


def _plain_names(keyed):
    """The names of the merged components, by id, where the name is a string not marked."""
    names = {}
    for _, canvas, key in keyed:
        name = canvas.get("name") if key is not None else None
        if isinstance(name, str) and not name.startswith(("<<< ", ">>> ")):
            names[key] = name
    return names


def _restore_parent_names(canvas, named, names):
    """The parent entries of a cell that its file held with a name (`named`, by parent id) as
    that file held them, with the name of the component each points at in the result (`names`)
    where that is plain."""
    parents = canvas.get("parents")
    if not isinstance(parents, list):
        return
    for i, parent in enumerate(parents):
        pid = parent.get("id") if isinstance(parent, dict) else None
        if isinstance(pid, str) and pid in named:
            parents[i] = dict(named[pid])
            if pid in names:
                parents[i]["name"] = names[pid]


def _without_canvas(meta):
    if isinstance(meta, dict) and "canvas" in meta:
        return {k: v for k, v in meta.items() if k != "canvas"}
    return meta


def _take_run(o, t):
    """Their outputs and execution count in our version `o`, each at its place in ours."""
    merged = {}
    for key in list(o) + [k for k in t if k not in o]:
        value = (t if key in _RUN_KEYS else o).get(key, _ABSENT)
        if value is not _ABSENT:
            merged[key] = value
    o.clear()
    o.update(merged)


def _merge_into(o, b, t, ran_o, ran_t, paths):
    """Merge their keys of a cell into our version `o` (kept: same object): "source" and the
    canvas map as the merge made them, the rest as the plain merge merges a cell's keys."""
    from corvane_git.scripts.merge_driver.plain import merge as plain_merge

    run = t if ran_t and not ran_o else o
    merged = {}
    for key in list(o) + [k for k in t if k not in o]:
        bv, ov, tv = b.get(key, _ABSENT), o.get(key, _ABSENT), t.get(key, _ABSENT)
        if key == "source":
            value = ov
        elif key in _RUN_KEYS:
            value = run.get(key, _ABSENT)
        elif key == "metadata" and isinstance(ov, dict) and isinstance(tv, dict):
            value = _merge_metadata(bv if isinstance(bv, dict) else {}, ov, tv, paths)
        else:
            value, clash = plain_merge.three_way(bv, ov, tv)
            if clash:
                paths.append(_quoted([key]))
        if value is not _ABSENT:
            merged[key] = value
    o.clear()
    o.update(merged)


def _merge_metadata(b, o, t, paths):
    """Metadata merged per key as the plain merge merges it, apart from "canvas": ours, as
    the merge made it, at its place."""
    from corvane_git.scripts.merge_driver.plain import merge as plain_merge

    clashes = []
    merged = plain_merge.merge_maps(
        _without_canvas(b), _without_canvas(o), _without_canvas(t), [], clashes
    )
    paths.extend("metadata " + _quoted(path) for path in clashes)
    out = {}
    for key in o:
        if key == "canvas":
            out[key] = o[key]
        elif key in merged:
            out[key] = merged[key]
    for key in merged:
        out.setdefault(key, merged[key])
    return out


def _quoted(path):
    return " -> ".join(json.dumps(k) for k in path)


def _listed(items, most=20):
    text = ", ".join(items[:most])
    return text + (" and %d more" % (len(items) - most) if len(items) > most else "")
