"""Finishing a merge: list the conflicts a notebook holds, keep one side of them, refuse to
commit them.

A merge leaves three kinds of conflict in a notebook (see the driver):

- a component in two versions, our cell named "<<< name" and theirs ">>> name" (theirs right
  after ours when both sides changed the cell; when their side also renamed it, the two names
  differ and the pair is told by its place and ids: a "<<< " cell directly followed by a ">>> "
  one that carries the fresh component id the merge gave it, an id that no side held before);
- a component that one side changed and the other deleted: one marked cell without a partner
  ("<<< name": we changed it, they deleted it; ">>> name": the other way round);
- the same for parameters in the notebook's parameter list (pairs and one-sided marks);
- cells whose source holds git's conflict blocks (<<<<<<< / ||||||| / ======= / >>>>>>>, of
  any marker size), or marker lines left of a block that was half edited out (listed as
  unfinished; they need a hand); a plain cell that one side deleted and the other changed is
  one block whose deleting side's marker line says "(deleted this cell)" and holds no line.

Beyond the merge's marks, a component whose parent entry points at no cell of the notebook
(left when the version that others depend on was deleted by hand) is listed and refused too.

A name that starts with "<<< " or ">>> " is a mark wherever it comes from: one that a user wrote
by hand cannot be told from one that a merge made, so `check` refuses it and `resolve` treats
it as a mark.

`check` is meant to run on every commit: it reads files and imports nothing beyond the
standard library and this package's pure-Python modules (no git, no GitPython).
"""

import argparse
import copy
import json
import os
import re
import sys

from corvane_git.scripts.merge_driver.conflicts import markers
from corvane_git.scripts.merge_driver.conflicts.markers import blocks, strip_marks, text_markers
from corvane_git.scripts.merge_driver.conflicts.report import PROG, Conflicts, one_line
from corvane_git.scripts.merge_driver.git_wiring import runner
from corvane_git.scripts.merge_driver.notebooks import layout, shape

OURS, THEIRS = "ours", "theirs"
COMMANDS = ("conflicts", "resolve", "check")
# What str(uuid.uuid4()) gives: the form of the fresh id of their copy in a component pair.
FRESH_ID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\Z")


class ResolveError(Exception):
    """The command cannot go on; the message says why."""


# ---- finding conflicts ---------------------------------------------------------------------


def parse_mark(name):
    """(side, plain name) of a marked name, None for any other value."""
    if isinstance(name, str):
        if name.startswith(markers.OURS_MARK):
            return OURS, strip_marks(name)
        if name.startswith(markers.THEIRS_MARK):
            return THEIRS, strip_marks(name)
    return None


class Conflict:
    """The marked versions of one component or parameter: positions (from 0) in the cell or
    parameter list, our marked versions and theirs."""

    def __init__(self, name, ours, theirs, their_name=None):
        self.name = name  # plain name (ours, where there is our version)
        self.ours = ours
        self.theirs = theirs
        self.their_name = their_name  # their plain name when it differs (a renamed pair)

    @property
    def shape(self):
        counts = (len(self.ours), len(self.theirs))
        return {(1, 1): "pair", (1, 0): OURS, (0, 1): THEIRS}.get(counts, "ambiguous")

    def names(self):
        return {self.name, self.their_name or self.name}

    def place(self, unit):
        where = sorted(self.ours + self.theirs)
        text = "%s %s" % (
            unit if len(where) == 1 else unit + "s",
            ", ".join(str(i + 1) for i in where),
        )
        kind = self.shape
        if kind == OURS:
            text += ": changed by us, deleted by them"
        elif kind == THEIRS:
            text += ": changed by them, deleted by us"
        elif kind == "ambiguous":
            text += ": %d of ours, %d of theirs; resolve by hand" % (
                len(self.ours),
                len(self.theirs),
            )
        elif self.their_name:
            text += "; theirs named %s" % self.their_name
        return text


def _group(names, copies=None):
    """The Conflicts among `names` (a list with None where there is nothing to look at).

    `copies` (for components) tells for each position whether its item can be their copy in a
    pair (see fresh_copy_test); a lone ">>> " mark there, right after a lone "<<< " one, makes
    one pair with it.  Without `copies` nothing is paired across names."""
    groups = {}
    for pos, name in enumerate(names):
        mark = parse_mark(name)
        if mark:
            side, plain = mark
            group = groups.setdefault(plain, Conflict(plain, [], []))
            (group.ours if side == OURS else group.theirs).append(pos)
    found = list(groups.values())
    if copies is not None:
        # Their version inserted right after ours under another name: one pair, two names.
        # A ">>> " mark of a component that we deleted may follow a "<<< " one by chance
        # (both go to the end); it keeps the id it had, so it is no copy.
        lone = {c.ours[0]: c for c in found if c.shape == OURS}
        for c in [c for c in found if c.shape == THEIRS and copies[c.theirs[0]]]:
            mine = lone.pop(c.theirs[0] - 1, None)
            if mine is not None:
                mine.theirs, mine.their_name = c.theirs, c.name
                found.remove(c)
    found.sort(key=lambda c: min(c.ours + c.theirs))
    return found


# The end of the marker line of the side that deleted a cell which the other side changed
# (the plain notebooks' merge keeps such a cell as one block, that side's part empty).
DELETED = " (deleted this cell)"
NOTES = {THEIRS: "changed by us, deleted by them", OURS: "changed by them, deleted by us"}


def deleted_by(lines, found=None):
    """The side (OURS or THEIRS) that deleted the cell whose source is `lines`, when they are
    one conflict block and nothing else, with that side's part empty and its marker line
    ending in DELETED; None otherwise.  `found`: blocks(lines), where known."""
    found = blocks(lines) if found is None else found
    if len(found) != 1 or found[0][0] != 0 or found[0][3] != len(lines) - 1:
        return None
    start, base, middle, end = found[0]
    if (base if base is not None else middle) == start + 1 and lines[start].rstrip("\r\n").endswith(
        DELETED
    ):
        return OURS
    if end == middle + 1 and lines[end].rstrip("\r\n").endswith(DELETED):
        return THEIRS
    return None


def unfinished(lines, code=True, found=None):
    """Positions (from 0) of the lines of git's conflict markers in `lines` that no block
    holds: what is left of a block whose other marker lines were edited out.  A line of "="
    alone counts in code cells only.  `found`: blocks(lines), where known."""
    inside = set()
    for start, _, _, end in blocks(lines) if found is None else found:
        inside.update(range(start, end + 1))
    return [
        i
        for i, line in enumerate(lines)
        if i not in inside
        and line[:1] in markers.MARKER_CHARS
        and markers.marker_size(line, equals=code)
    ]


def choose(lines, side):
    """`lines` with each conflict block replaced by the lines of `side`, or None when they
    hold no block.  Blocks that the chosen lines hold in turn are resolved too.  Line ends
    stay as git wrote them (see resolve() for the last line)."""
    found = blocks(lines)
    if not found:
        return None
    while found:
        out, at = [], 0
        for start, base, middle, end in found:
            out.extend(lines[at:start])
            out.extend(
                lines[start + 1 : base if base is not None else middle]
                if side == OURS
                else lines[middle + 1 : end]
            )
            at = end + 1
        out.extend(lines[at:])
        lines = out
        found = blocks(lines)
    return lines


def _ends_a_line(lines):
    return bool(lines) and lines[-1].endswith(("\n", "\r"))


class Found:
    """The conflicts of one notebook."""

    def __init__(
        self,
        components,
        parameters,
        source_cells,
        text_lines=(),
        unfinished=(),
        deleted=None,
        dangling=(),
    ):
        self.components = components  # [Conflict], positions in the cell list
        self.parameters = parameters  # [Conflict], positions in the parameter list
        self.source_cells = source_cells  # [(position from 0, cell name or None)]
        self.text_lines = list(text_lines)  # lines (from 1) of git's markers in a non-JSON file
        # [(position from 0, cell name or None, [lines from 1])]: marker lines outside a block
        self.unfinished = list(unfinished)
        # {position from 0: side}: source cells that one side deleted (see deleted_by)
        self.deleted = dict(deleted or {})
        # [(position from 0, component name, parent entry's name or None, parent id)]
        self.dangling = list(dangling)

    def __bool__(self):
        return bool(
            self.components
            or self.parameters
            or self.source_cells
            or self.text_lines
            or self.unfinished
            or self.dangling
        )

    def summary(self, path):
        if self.text_lines:
            return (
                "%s: %s: git's conflict markers in the file's text, at line%s %s: the "
                "notebook cannot be read until they are edited out"
                % (
                    PROG,
                    one_line(path),
                    "s" if len(self.text_lines) > 1 else "",
                    ", ".join(str(n) for n in self.text_lines[:10]),
                )
            )
        places = {}
        for kind, unit, found in (
            ("component", "cell", self.components),
            ("parameter", "parameter", self.parameters),
        ):
            for c in found:
                places[kind, c.name] = c.place(unit)
        cells = []
        for pos, name in self.source_cells:
            note = NOTES.get(self.deleted.get(pos, ""))
            cells.append((pos + 1, "%s; %s" % (name, note) if name and note else name or note))
        conflicts = Conflicts(
            [c.name for c in self.components], [c.name for c in self.parameters], cells, places
        )
        text = conflicts.summary(path)
        if self.unfinished:
            text += (
                "\n  unfinished conflict blocks (marker lines left alone; edit them out): "
                + ", ".join(
                    "cell %d%s at line%s %s"
                    % (
                        pos + 1,
                        " (%s)" % one_line(name) if name else "",
                        "s" if len(lines) > 1 else "",
                        ", ".join(str(n) for n in lines),
                    )
                    for pos, name, lines in self.unfinished
                )
            )
        if self.dangling:
            shown = self.dangling[:LISTED]
            text += (
                "\n  parents that point at no component of the notebook (point them at one, "
                "or remove them from the cell's parents): "
                + ", ".join(
                    "cell %d (%s) -> %s" % (pos + 1, one_line(name), _parent_text(parent, key))
                    for pos, name, parent, key in shown
                )
                + (
                    " and %d more" % (len(self.dangling) - len(shown))
                    if len(self.dangling) > len(shown)
                    else ""
                )
            )
        return text


# The most entries of one kind that a listing shows.
LISTED = 10


def _parent_text(name, key):
    key = one_line(key if isinstance(key, str) else json.dumps(key))
    return "%s (id %s)" % (one_line(name), key) if name else "id " + key


def fresh_copy_test(ours=None, base=None, theirs=None):
    """A test of a component id: whether it can be the fresh id that the merge gives their
    copy of a component when it keeps both versions.  No side held that id before the merge;
    where neither the base nor their version is known, an id in the form of the fresh ones
    (a random UUID) that our side did not hold passes."""
    held = _ids(ours)
    known = _ids(base) | _ids(theirs) if base is not None or theirs is not None else None

    def fresh(key):
        if not isinstance(key, str) or key in held:
            return False
        return key not in known if known is not None else bool(FRESH_ID.match(key))

    return fresh


def _ids(notebook):
    return {key for key in map(shape.component_id, shape.cell_list(notebook)) if key is not None}


def dangling(notebook):
    """The parent entries of components that point at no cell of the notebook: [(position from
    0, component name, the entry's name or None, the id it points at)].  The merge leaves
    none (it keeps a component's parents among the components); deleting by hand the version
    of a component that others depend on does."""
    cells = shape.cell_list(notebook)
    held = {shape.component_id(c) for c in cells}
    found = []
    for pos, cell in enumerate(cells):
        canvas = shape.canvas(cell)
        name, parents = canvas.get("name"), canvas.get("parents")
        if not (isinstance(name, str) and name and isinstance(parents, list)):
            continue
        for p in parents:
            key = p.get("id") if isinstance(p, dict) else None
            if key is not None and shape.hashable(key) and key not in held:
                their = p.get("name")
                found.append((pos, name, their if isinstance(their, str) and their else None, key))
    return found


def find(notebook, fresh=None):
    """The Found of a parsed notebook; `fresh` is a fresh_copy_test (by default one that knows
    no side of the merge)."""
    fresh = fresh or fresh_copy_test()
    cells = shape.cell_list(notebook)
    components = _group(
        [shape.canvas(c).get("name") for c in cells], [fresh(shape.component_id(c)) for c in cells]
    )
    parameters = _group(
        [p.get("name") if isinstance(p, dict) else None for p in shape.parameter_list(notebook)]
    )
    sources, left, deleted = [], [], {}
    for pos, cell in enumerate(cells):
        lines = shape.shown_lines(cell)
        name = shape.canvas(cell).get("name")
        name = name if isinstance(name, str) and name else None
        found = blocks(lines)
        if found:
            sources.append((pos, name))
            side = deleted_by(lines, found)
            if side:
                deleted[pos] = side
        stray = unfinished(lines, isinstance(cell, dict) and cell.get("cell_type") == "code", found)
        if stray:
            left.append((pos, name, [i + 1 for i in stray]))
    return Found(
        components,
        parameters,
        sources,
        unfinished=left,
        deleted=deleted,
        dangling=dangling(notebook),
    )


def read(data, fresh=None):
    """(notebook, Found) of a file's bytes; the notebook is None when the file is not JSON.

    Raises ResolveError for a file that is neither JSON nor holds git's conflict markers."""
    try:
        notebook = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        marked = text_markers(data)
        if marked:
            return None, Found([], [], [], marked)
        raise ResolveError(
            "not a notebook: %s"
            % (
                "not UTF-8 text"
                if isinstance(exc, UnicodeDecodeError)
                else "not valid JSON (%s)" % exc
            )
        ) from exc
    except RecursionError:
        raise ResolveError("not a notebook: nested too deeply to be read") from None
    if not markers.may_hold_conflicts(data):
        return notebook, Found([], [], [], dangling=dangling(notebook))
    return notebook, find(notebook, fresh)


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as exc:
        raise ResolveError("cannot read it: %s" % (exc.strerror or exc)) from exc


# ---- resolving -----------------------------------------------------------------------------


class Selection:
    """What to resolve: everything, or the named components and parameters and the cells
    given by position (from 1)."""

    def __init__(self, components=(), parameters=(), cells=()):
        self.components = [strip_marks(n) for n in components]
        self.parameters = [strip_marks(n) for n in parameters]
        self.cells = list(cells)

    def __bool__(self):
        return bool(self.components or self.parameters or self.cells)


def _version_key(cell):
    """What finds a cell's version from before the merge: its component id, or for a cell
    without one its own "id" (None where it has neither)."""
    key = shape.component_id(cell)
    if key is not None:
        return key
    key = cell.get("id") if isinstance(cell, dict) else None
    return ("cell", key) if isinstance(key, str) else None


def _resolve_components(cells, chosen, side, before):
    """The new cell list, with each chosen Conflict resolved for `side`."""
    before_cells = {}
    for cell in shape.cell_list(before):
        key = shape.component_id(cell)
        if key is not None and not parse_mark(shape.canvas(cell).get("name")):
            before_cells.setdefault(key, cell)
    put, drop, redirect, restored = {}, set(), {}, set()
    dropped = [shape.component_id(cells[i]) for c in chosen for i in c.ours + c.theirs]
    for c in chosen:
        kind = c.shape
        if kind == "pair":
            o, t = c.ours[0], c.theirs[0]
            ours, theirs = cells[o], cells[t]
            o_id, t_id = shape.component_id(ours), shape.component_id(theirs)
            if side == OURS:
                shape.canvas(ours)["name"] = c.name
                if t_id is not None and t_id != o_id and t_id in before_cells:
                    # Their side renamed a component of ours onto this name: ours comes back.
                    put[t] = copy.deepcopy(before_cells[t_id])
                    restored.add(t)
                else:
                    drop.add(t)
                    redirect[t_id] = o_id
            else:
                # Their content under our component id (and cell id), in our cell's place.
                canvas = shape.canvas(theirs)
                canvas["name"] = c.their_name or c.name
                if "id" in shape.canvas(ours):
                    canvas["id"] = shape.canvas(ours)["id"]
                if "id" in ours:
                    theirs["id"] = ours["id"]
                put[o] = theirs
                drop.add(t)
                redirect[t_id] = o_id
        else:
            pos = (c.ours if kind == OURS else c.theirs)[0]
            if kind == side:
                shape.canvas(cells[pos])["name"] = c.name
            else:
                drop.add(pos)  # the other side's deletion wins
    kept = [put.get(i, cell) for i, cell in enumerate(cells) if i not in drop]
    present = {shape.component_id(c) for c in kept}
    gone = set(dropped) - present - {None}
    redirect = {k: v for k, v in redirect.items() if k in gone and v in present}
    components = [
        shape.component_id(c)
        for c in kept
        if isinstance(shape.canvas(c).get("name"), str) and shape.canvas(c)["name"]
    ]
    moved = {id(cell) for j, cell in put.items() if j not in restored}
    restored = {id(put[j]) for j in restored}
    for cell in kept:
        canvas = shape.canvas(cell)
        parents = canvas.get("parents")
        if not isinstance(parents, list):
            continue
        if id(cell) in restored and canvas.get("name"):
            # As the merge leaves a component's parents: links to components, by id alone.
            canvas["parents"] = [
                {"id": p["id"]}
                for p in parents
                if isinstance(p, dict) and p.get("id") in components
            ]
            continue
        own, new, changed = shape.component_id(cell), [], False
        for p in parents:
            pid = p.get("id") if isinstance(p, dict) else None
            if id(cell) in moved and pid == own:
                changed = True  # their version linked to ours, which it now is
                continue
            if shape.hashable(pid) and pid in redirect:
                changed = True
                target = redirect[pid]
                if target == own or any(q.get("id") == target for q in new if isinstance(q, dict)):
                    continue
                p["id"] = target
            elif shape.hashable(pid) and pid in gone:
                changed = True
                continue
            new.append(p)
        if changed:
            canvas["parents"] = new
    return kept


def _place_as_before(params, kept, before):
    """Move each map of `kept` (plain names now) to where our side had it before the merge."""
    order = [p.get("name") for p in shape.parameter_list(before) if isinstance(p, dict)]
    order = [n for n in order if isinstance(n, str)]
    moving = sorted(
        (m for m in kept if m.get("name") in order),
        key=lambda m: order.index(m["name"]),
        reverse=True,
    )
    for m in moving:
        params.pop(next(i for i, p in enumerate(params) if p is m))
        at = order.index(m["name"])
        names = [p.get("name") if isinstance(p, dict) else None for p in params]
        for name in order[at + 1 :]:
            if name in names:
                params.insert(names.index(name), m)
                break
        else:
            for name in reversed(order[:at]):
                if name in names:
                    params.insert(names.index(name) + 1, m)
                    break
            else:
                params.append(m)
    return params


def _resolve_parameters(params, chosen, side, before):
    put, drop, kept = {}, set(), []
    for c in chosen:
        kind = c.shape
        if kind == "pair":
            o, t = c.ours[0], c.theirs[0]
            keep = params[o] if side == OURS else params[t]
            keep["name"] = c.name
            put[o] = keep
            drop.add(t)
            kept.append(keep)
        else:
            pos = (c.ours if kind == OURS else c.theirs)[0]
            if kind == side:
                params[pos]["name"] = c.name
                kept.append(params[pos])
            else:
                drop.add(pos)
    new = [put.get(i, p) for i, p in enumerate(params) if i not in drop]
    return _place_as_before(new, kept, before) if before is not None else new


class Outcome:
    """What resolve did to one notebook and what it left."""

    def __init__(self):
        self.resolved = []  # texts: "component train model", "cell 1", ...
        self.left = None  # Found: the conflicts that remain
        self.written = False


def resolve(notebook, side, selection=None, before=None, base=None, theirs=None):
    """Keep `side` (OURS or THEIRS) of the selected conflicts of a parsed notebook, in place.

    `before`, `base` and `theirs` are the notebook's versions from before the merge where
    known (our side's, the common ancestor's, their side's; None where not).  With them a
    parameter goes back to the place it had in ours, a component of ours that their side had
    renamed onto a name of ours comes back as it was, a ">>> " cell after a "<<< " one is told
    from their copy of it by its id (see fresh_copy_test), and a cell whose source ended in a
    conflict block ends as the chosen side's source ended (with a line end or without: git's
    block ends every line with one).  A plain cell that one side deleted and the other changed
    (see deleted_by) goes when the chosen side is the one that deleted it.  Returns an Outcome;
    raises ResolveError when the selection names a conflict that the notebook does not hold
    (nothing is changed then).
    """
    selection = selection or Selection()
    fresh = fresh_copy_test(before, base, theirs)
    found = find(notebook, fresh)
    outcome = Outcome()

    def pick(conflicts, names, kind):
        missing = [n for n in names if not any(n in c.names() for c in conflicts)]
        if missing:
            raise ResolveError("no conflict of %s %s" % (kind, ", ".join(map(repr, missing))))
        if not selection:
            return list(conflicts)
        return [c for c in conflicts if c.names() & set(names)]

    components = pick(found.components, selection.components, "component")
    parameters = pick(found.parameters, selection.parameters, "parameter")
    sources = dict(found.source_cells)
    missing = [n for n in selection.cells if n - 1 not in sources]
    if missing:
        raise ResolveError("no conflict block in cell %s" % ", ".join(map(str, missing)))
    cells = sorted(sources) if not selection else [n - 1 for n in selection.cells]
    skipped = [c for c in components + parameters if c.shape == "ambiguous"]
    components = [c for c in components if c not in skipped]
    parameters = [c for c in parameters if c not in skipped]

    all_cells = shape.cell_list(notebook)
    chosen_version = {}
    for cell in shape.cell_list(before if side == OURS else theirs):
        key = _version_key(cell)
        if key is not None:
            chosen_version.setdefault(key, cell)
    deleted = set()
    for pos in cells:
        cell = all_cells[pos]
        source = shape.shown_lines(cell)
        if deleted_by(source) == side:
            # The chosen side deleted the cell (the other changed it): it goes.
            deleted.add(id(cell))
            outcome.resolved.append("cell %d" % (pos + 1))
            continue
        lines = choose(source, side)
        if lines is None:
            continue
        key = _version_key(cell)
        version = chosen_version.get(key) if key is not None else None
        if (
            version is not None
            and blocks(source)[-1][3] == len(source) - 1
            and _ends_a_line(lines)
            and not _ends_a_line(shape.shown_lines(version))
        ):
            last = lines[-1]
            lines[-1] = last[:-2] if last.endswith("\r\n") else last[:-1]
            if not lines[-1]:
                lines.pop()
        cell["source"] = "".join(lines) if isinstance(cell["source"], str) else lines
        outcome.resolved.append("cell %d" % (pos + 1))
    if parameters:
        canvas = shape.canvas(notebook)
        canvas["parameters"] = _resolve_parameters(canvas["parameters"], parameters, side, before)
        outcome.resolved.extend("parameter " + c.name for c in parameters)
    if components:
        notebook["cells"] = _resolve_components(all_cells, components, side, before)
        outcome.resolved.extend("component " + c.name for c in components)
    if deleted:
        notebook["cells"] = [c for c in notebook["cells"] if id(c) not in deleted]
    outcome.left = find(notebook, fresh)
    return outcome


def resolve_file(path, side, selection=None, before=None, base=None, theirs=None):
    """resolve() on a notebook file, written back in its own layout in one step; a notebook
    without conflicts (or without selected ones) is left untouched."""
    data = read_file(path)
    notebook, found = read(data)
    if notebook is None:
        raise ResolveError(
            "not a notebook: git's conflict markers in the file's text (line%s "
            "%s), from a merge of the whole file as text: edit them out, or "
            "take one side with git checkout --ours (or --theirs) -- PATH"
            % (
                "s" if len(found.text_lines) > 1 else "",
                ", ".join(str(n) for n in found.text_lines[:10]),
            )
        )
    outcome = resolve(notebook, side, selection, before, base, theirs)
    if outcome.resolved:
        layout.replace_file(path, layout.render(notebook, layout.detect(data)))
        outcome.written = True
    return outcome


# A merge, cherry-pick, revert or rebase that stopped: the ref git keeps for it, then where
# their version and the common ancestor are (ours is HEAD's); None: the merge base.
STOPPED = (
    ("MERGE_HEAD", "MERGE_HEAD", None),
    ("CHERRY_PICK_HEAD", "CHERRY_PICK_HEAD", "CHERRY_PICK_HEAD^"),
    ("REVERT_HEAD", "REVERT_HEAD^", "REVERT_HEAD"),
    ("REBASE_HEAD", "REBASE_HEAD", "REBASE_HEAD^"),
)


def versions(path):
    """(ours, base, theirs): the notebook's versions from before the merge, from git, each
    None where it cannot be known.  While the notebook is unmerged, the index holds them
    (stages 2, 1 and 3); once it is added, while a merge, cherry-pick, revert or rebase is
    stopped, ours is HEAD's and the others come from the commits being merged."""
    directory = os.path.dirname(os.path.abspath(path))
    relative = "./" + os.path.basename(path)
    import subprocess

    def git(*args):
        try:
            proc = runner.run(
                args, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL
            )
        except OSError:
            return None
        return proc.stdout if proc.returncode == 0 else None

    found = [git("show", ":%d:%s" % (stage, relative)) for stage in (2, 1, 3)]
    if found[0] is None:
        for ref, their_rev, base_rev in STOPPED:
            if git("rev-parse", "-q", "--verify", ref) is None:
                continue
            if base_rev is None:
                merge_base = git("merge-base", "HEAD", ref)
                base_rev = merge_base.decode("ascii", "replace").strip() if merge_base else None
            found = [
                git("show", "%s:%s" % (rev, relative)) if rev else None
                for rev in ("HEAD", base_rev, their_rev)
            ]
            break

    def parsed(data):
        try:
            return json.loads(data.decode("utf-8")) if data is not None else None
        except (ValueError, RecursionError):
            return None

    return tuple(parsed(data) for data in found)


# ---- the commands --------------------------------------------------------------------------


def _parser(command):
    p = argparse.ArgumentParser(
        prog="%s %s" % (PROG, command),
        description={
            "conflicts": "List the conflicts that each notebook holds: component and parameter "
            'pairs ("<<< name" ours, ">>> name" theirs) and one-sided marks, by '
            "plain name and position, and the cells whose source holds git's "
            "conflict blocks. Exit status 0, or 2 when a file cannot be read.",
            "resolve": "Keep one side of the notebook's conflicts: all of them, or those named. "
            "A component pair keeps one version under its plain name (theirs takes our "
            "component id, which the rest of the notebook points at, and our cell's "
            "place); a one-sided mark keeps the changed cell (the marked side) or lets "
            "the deletion win; a parameter pair keeps one map under its plain name; a "
            "conflict block keeps the chosen side's lines (a cell that the chosen side "
            "deleted goes). Exit status 0 when all that was asked is resolved, 1 when "
            "some of it needs a hand (listed), 2 on errors.",
            "check": "Exit with status 1 and list the conflicts when a notebook still holds any "
            "(marker lines left of a half-edited conflict block, git's markers in a "
            "file merged as text, and parents that point at no component included), 0 "
            "otherwise, 2 for a file that cannot be read or is not JSON: for a pre-commit "
            "hook.",
        }[command],
    )
    if command == "check":
        p.add_argument(
            "--staged",
            action="store_true",
            help="check the notebooks staged for commit, as the index holds them "
            "(the plain git hook that install --pre-commit writes does this)",
        )
        p.add_argument("paths", metavar="PATH", nargs="*")
        return p
    p.add_argument("paths", metavar="PATH", nargs="+")
    if command == "resolve":
        side = p.add_mutually_exclusive_group(required=True)
        side.add_argument(
            "--ours",
            dest="side",
            action="store_const",
            const=OURS,
            help='keep our version ("<<< ") of each conflict',
        )
        side.add_argument(
            "--theirs",
            dest="side",
            action="store_const",
            const=THEIRS,
            help='keep their version (">>> ") of each conflict',
        )
        p.add_argument(
            "--component",
            metavar="NAME",
            action="append",
            default=[],
            help="resolve only this component (plain name; repeatable)",
        )
        p.add_argument(
            "--parameter",
            metavar="NAME",
            action="append",
            default=[],
            help="resolve only this parameter (plain name; repeatable)",
        )
        p.add_argument(
            "--cell",
            metavar="N",
            action="append",
            default=[],
            type=int,
            help="resolve only the conflict blocks of cell N (from 1; repeatable)",
        )
    return p


def name_parents(found, path):
    """Give the parent entries of `found.dangling` that carry no name the name that the
    component of their id has in a version of the notebook from before the merge (git's; see
    versions), where one holds it."""
    if all(name for _, _, name, _ in found.dangling):
        return
    names = {}
    for version in versions(path):
        for cell in shape.cell_list(version):
            key, name = shape.component_id(cell), shape.canvas(cell).get("name")
            if key is not None and isinstance(name, str) and strip_marks(name):
                names.setdefault(key, strip_marks(name))
    found.dangling = [
        (pos, component, name or names.get(key), key)
        for pos, component, name, key in found.dangling
    ]


def _error(path, message):
    sys.stderr.write("%s: %s: %s\n" % (PROG, one_line(path), one_line(message)))


def run_conflicts(args):
    status = 0
    for path in args.paths:
        try:
            data = read_file(path)
            notebook, found = read(data)
            if any(c.their_name for c in found.components):
                # Pairs told by place alone: what git knows of the sides tells them apart.
                found = find(notebook, fresh_copy_test(*versions(path)))
            name_parents(found, path)
        except ResolveError as exc:
            _error(path, str(exc))
            status = 2
            continue
        print(found.summary(path) if found else "%s: %s: no conflicts" % (PROG, one_line(path)))
    return status


def run_check(args):
    if args.staged:
        from corvane_git.scripts.merge_driver.git_wiring import staged

        try:
            files = staged.staged_notebooks()
        except staged.GitError as exc:
            sys.stderr.write("%s: check --staged: %s\n" % (PROG, one_line(str(exc))))
            return 2
        files += [(path, None) for path in args.paths]
    else:
        files = [(path, None) for path in args.paths]
    status, kinds = 0, set()
    for path, data in files:
        try:
            if data is None:
                data = read_file(path)
            _, found = read(data)
            name_parents(found, path)
        except ResolveError as exc:
            _error(path, str(exc))
            status = 2
            continue
        if found:
            sys.stderr.write(found.summary(path) + "\n")
            status = max(status, 1)
            if found.text_lines:
                kinds.add("text")
            elif found.components or found.parameters or found.source_cells:
                kinds.add("notebook")  # (unfinished blocks alone: the listing says what to do)
    if "notebook" in kinds:
        sys.stderr.write(
            "%s: resolve them in the notebook, or keep one side with: %s resolve "
            "PATH --ours (or --theirs)\n" % (PROG, PROG)
        )
    if "text" in kinds:
        sys.stderr.write(
            "%s: a file merged as text: edit the conflict markers out of it in a "
            "text editor, or take one side whole with: git checkout --ours (or "
            "--theirs) -- PATH\n" % PROG
        )
    return status


def run_resolve(args):
    selection = Selection(args.component, args.parameter, args.cell)
    if selection and len(args.paths) > 1:
        raise ResolveError(
            "--component, --parameter and --cell select in one notebook; name only one PATH"
        )
    status = 0
    for path in args.paths:
        try:
            outcome = resolve_file(path, args.side, selection, *versions(path))
        except ResolveError as exc:
            _error(path, str(exc))
            status = 2
            continue
        except (OSError, KeyError, TypeError, AttributeError, ValueError) as exc:
            _error(path, "cannot resolve: %s" % runner.failure_text(exc))
            status = 2
            continue
        left = outcome.left
        if outcome.resolved:
            print(
                "%s: %s: kept %s of %s"
                % (PROG, one_line(path), args.side, one_line(", ".join(outcome.resolved)))
            )
        elif not left:
            print("%s: %s: no conflicts" % (PROG, one_line(path)))
        if selection:
            left = Found(
                [c for c in left.components if c.names() & set(selection.components)],
                [c for c in left.parameters if c.names() & set(selection.parameters)],
                [],
                unfinished=[u for u in left.unfinished if u[0] + 1 in selection.cells],
            )
        if left:
            name_parents(left, path)
            sys.stderr.write(left.summary(path) + "\n")
            status = max(status, 1)
    return status


def main(command, argv):
    """Run one of COMMANDS with its arguments; returns the exit status."""
    args = _parser(command).parse_args(argv)
    try:
        return {"conflicts": run_conflicts, "check": run_check, "resolve": run_resolve}[command](
            args
        )
    except ResolveError as exc:
        sys.stderr.write("%s %s: error: %s\n" % (PROG, command, one_line(str(exc))))
        return 2
