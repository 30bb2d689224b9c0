"""One merge as git runs it: the route over the three files, judging the result, explaining a
failure.

The route is a chain of steps over the files read once: the component merge, the plain
merge, the text merge.  Each step gives the merge's result or declines (a Declined, saying why
where there is something to say); the text merge takes what the others decline.
"""

import collections
import json
import os
import sys

from corvane_git.scripts.merge_driver.conflicts.markers import (
    conflict_labels,
    count_openings,
    holds_marker_line,
    is_marked,
    marker_lines_text,
    may_hold_markers,
    strip_marks,
)
from corvane_git.scripts.merge_driver.conflicts.report import (
    PROG,
    Conflicts,
    MergeFailure,
    one_line,
)
from corvane_git.scripts.merge_driver.driver import component_merge
from corvane_git.scripts.merge_driver.git_wiring import runner
from corvane_git.scripts.merge_driver.notebooks import layout, shape
from corvane_git.scripts.merge_driver.plain.engine import from_content, load_engine

__all__ = [
    "merge",
    "merge_as_text",
    "TextMerge",
    "Declined",
    "Inputs",
    "Conflicts",
    "MergeFailure",
    "find_conflicts",
    "empty_base_notebook",
    "describe_failure",
    "conflict_labels",
    "one_line",
    "PROG",
    "CLEAN",
    "CONFLICT",
    "FAILURE",
]

CLEAN, CONFLICT, FAILURE = 0, 1, 2

# The three files in the order merge_files reads them, with the words a message uses for each.
SIDES = (("current", "our version"), ("base", "the common ancestor"), ("incoming", "their version"))


def merge(
    base, current, incoming, path, engine=None, keep_one_line=False, marker_size=7, labels=None
):
    """Merge like git's %O %A %B %P: write the result over `current`, return its Conflicts
    (or its TextMerge, below).

    Each file is read once; the component merge (`engine`'s merge_notebooks, by default
    merge_core's: the decisions of merge_files) keeps its result in memory, and the merged
    notebook is written once, in the layout of our side's file (see the layout module), or in
    merge_files's one-line form with `keep_one_line`.  An empty `base` (git's add/add case)
    stands for a notebook without cells or parameters (empty_base_notebook says how a cell that
    both sides added is judged).  When `current` is a symbolic link, the file it points to is
    merged and the link stays.

    The route, one step after the other until one gives the result:

    1. component_step: a notebook with the component layer (its cells without the layer
       included) goes to the component merge;
    2. plain_step: a plain notebook (no component layer on any side) is merged cell by cell by
       the plain module, without merge_files;
    3. the text merge: files that neither merge can take (not JSON, not a notebook, the
       notebook's part of the component layer on some sides only, a source that git cannot
       merge as text, ...) are merged as text the way git merges them without a driver, with
       conflict markers of `marker_size` characters; the result is then a TextMerge, and its
       reason the one of the step that declined with one.

    Conflict blocks in sources and in a text merge are labelled PATH-current, PATH-base and
    PATH-incoming, or with `labels`, the tuple (ours, base, theirs) that git gives.

    Raises MergeFailure with all files as they were.
    """
    paths = {"base": base, "current": current, "incoming": incoming}
    target = os.path.realpath(current) if os.path.islink(current) else current
    try:
        inputs = Inputs(paths, target, _read(target), _read(base), _read(incoming))
    except OSError as exc:
        raise MergeFailure(describe_failure(exc, paths)) from exc
    reason = None
    for step in (component_step, plain_step):
        outcome = step(inputs, path, keep_one_line, labels, engine)
        if not isinstance(outcome, Declined):
            return outcome
        reason = reason or outcome.reason
    return merge_as_text(base, target, incoming, path, marker_size, reason, labels)


class Declined:
    """A step of the route does not take the files; `reason` says why, for the text merge's
    message (None: the next step says it)."""

    def __init__(self, reason=None):
        self.reason = reason


class Inputs:
    """The three files of one merge, read once: their paths, where the result goes, our
    file's bytes (for its layout) and the three parsed values (parsed at the first call of
    parsed(); the bytes of the base and of their file go then: the merge needs the memory)."""

    def __init__(self, paths, target, ours_bytes, base_bytes, theirs_bytes):
        self.paths = paths
        self.target = target
        self.ours_bytes = ours_bytes
        self.base_empty = not base_bytes.strip()  # both sides added the notebook
        self._unparsed = [base_bytes, theirs_bytes]
        self._parsed = self._failure = None

    def parsed(self):
        """(ours, base, theirs); base is None where the base file is empty (see base_empty)
        or holds JSON's null.  Raises what parsing them raised, again on every call."""
        if self._failure is not None:
            raise self._failure
        if self._parsed is None:
            try:
                ours = _parse(self.ours_bytes)
                theirs = _parse(self._unparsed.pop())
                base_bytes = self._unparsed.pop()
                base = _parse(base_bytes) if base_bytes.strip() else None
                del base_bytes
            except Exception as exc:
                self._failure = exc
                self._unparsed = []
                raise
            self._parsed = (ours, base, theirs)
        return self._parsed


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def component_step(inputs, path, keep_one_line, labels, engine=None):
    """The component merge: merge_core's decisions, and what the component_merge module adds
    around them (cells without the component layer, their keys beside source and canvas, their
    new cells where they put them, parent names).  Declines plain notebooks (no reason: the
    plain merge takes them), and files whose content the merge cannot take (the reason says
    what, naming no file)."""
    paths, made = inputs.paths, {}
    try:
        ours, base, theirs = inputs.parsed()
    except Exception as exc:
        if from_content(exc):
            return Declined(describe_failure(exc, paths, named=False))
        raise MergeFailure(describe_failure(exc, paths)) from exc
    if all(notebook is None or shape.without_layer(notebook) for notebook in (base, ours, theirs)):
        return Declined()
    engine = engine or load_engine()
    try:
        if inputs.base_empty:
            # Both sides added the notebook. The base is made from ours and theirs, through
            # JSON text as if read from a file, so that it shares no object with them.
            base = made["base"] = json.loads(json.dumps(empty_base_notebook(ours, theirs)))
        before = OursBefore(ours)
        finish = component_merge.prepare(base, ours, theirs, base_made="base" in made)
        merged, conflicted = _merge_notebooks(
            engine or load_engine(), base, ours, theirs, path, labels
        )
        notes = finish(merged)
    except Exception as exc:
        if from_content(exc):
            return Declined(describe_failure(exc, paths, named=False, made=made))
        raise MergeFailure(describe_failure(exc, paths, made=made)) from exc
    conflicts = before.conflicts_in(merged, conflicted)
    conflicts.notes.extend(notes)
    target = inputs.target
    try:
        if keep_one_line:
            layout.replace_file(target, one_line_form(merged))
        else:
            try:
                layout.write_laid_out(target, merged, inputs.ours_bytes, before.may_equal)
            except OSError:
                raise
            except Exception as exc:
                layout.replace_file(target, one_line_form(merged))
                conflicts.notes.append(
                    "the merged notebook is left on one line: it cannot be "
                    "written in our version's layout (%s)" % runner.failure_text(exc)
                )
    except OSError as exc:
        raise MergeFailure(
            "cannot write the merged notebook beside %s: %s"
            % (_label("current", paths), exc.strerror or exc)
        ) from exc
    return conflicts


def plain_step(inputs, path, keep_one_line, labels, engine=None):
    """The plain merge (see the plain module) of notebooks without the component layer on any
    side; declines other files (no reason), and plain notebooks with a source that git cannot
    merge as text (the reason says why)."""
    try:
        ours, base, theirs = inputs.parsed()
    except (ValueError, RecursionError):
        return Declined()
    from corvane_git.scripts.merge_driver.plain import merge as plain_merge

    if not plain_merge.is_plain(base, ours, theirs):
        return Declined()
    try:
        return plain_merge.merge_plain(
            base, ours, theirs, inputs.target, path, inputs.ours_bytes, keep_one_line, labels
        )
    except plain_merge.NotText as failure:
        return Declined(str(failure))


def _merge_notebooks(engine, base, ours, theirs, path, labels):
    """(merged notebook, the merged source lists in which git found conflicts) from merge_core;
    another engine (one of merge_notebooks's four parameters) gives (merged notebook, None)."""
    if engine is not sys.modules.get("corvane_git.scripts.merge_driver.merge_core"):
        return engine.merge_notebooks(base, ours, theirs, path), None
    conflicted = []
    merged = engine.merge_notebooks(
        base, ours, theirs, path, conflict_labels(path, labels), conflicted
    )
    return merged, conflicted


def _parse(data):
    return json.loads(data.decode("utf-8"))


def one_line_form(merged):
    """The merged notebook as merge_files writes it: json's defaults, on one line."""
    return json.dumps(merged).encode("ascii")


# ---- the merge git would make without the driver ---------------------------------------


class TextMerge:
    """A merge of the whole files as text by git merge-file, as git merges without a driver."""

    def __init__(self, reason, conflicts, json_error=None, marker_size=7):
        self.reason = reason  # why the notebook was not merged cell by cell
        self.conflicts = conflicts  # conflict blocks written, as git merge-file counts them
        self.json_error = json_error  # why a result without conflicts is not JSON, or None
        self.marker_size = marker_size

    def __bool__(self):
        return bool(self.conflicts or self.json_error)

    def messages(self, path):
        line = "%s: %s: merged as text by git merge-file, not cell by cell (%s)" % (
            PROG,
            path,
            self.reason,
        )
        if self.conflicts:
            line += "; %d conflict%s to resolve between the %s" % (
                self.conflicts,
                "" if self.conflicts == 1 else "s",
                marker_lines_text(self.marker_size),
            )
        elif self.json_error:
            line += "; the merged text is not valid JSON (%s): repair it before git add" % (
                self.json_error
            )
        return [one_line(line)]


def merge_as_text(base, current, incoming, path, marker_size, reason, labels=None):
    """Merge the three files line by line with git merge-file and write the result over
    `current` in one step; returns the TextMerge.  `reason` says why, for the message;
    `labels` as conflict_labels takes them."""
    import subprocess

    labels = conflict_labels(path, labels)
    args = [
        "merge-file",
        "-p",
        "--marker-size=%d" % marker_size,
        "-L",
        labels[0],
        "-L",
        labels[1],
        "-L",
        labels[2],
        "--",
        current,
        base,
        incoming,
    ]
    try:
        proc = runner.run(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
    except FileNotFoundError as exc:
        raise MergeFailure("%s, and %s" % (reason, runner.GIT_MISSING)) from exc
    except OSError as exc:
        raise MergeFailure(
            "%s, and git merge-file cannot run (%s)" % (reason, exc.strerror or exc)
        ) from exc
    if not 0 <= proc.returncode <= 127:
        names = {current: "our version", base: "the common ancestor", incoming: "their version"}
        error = proc.stderr.decode("utf-8", "replace").strip().splitlines()
        cause = (
            "killed by signal %d" % -proc.returncode
            if proc.returncode < 0
            else error[0].replace("error: ", "", 1)
            if error
            else "exit status %d" % proc.returncode
        )
        for name, words in names.items():
            if cause.endswith(": " + name):
                cause = cause[: -len(name)] + words
        raise MergeFailure(
            "%s, and git merge-file cannot merge it as text either (%s)" % (reason, cause)
        )
    json_error = None
    if proc.returncode == 0:
        try:
            json.loads(proc.stdout.decode("utf-8"))
        except (ValueError, RecursionError) as exc:
            json_error = (
                runner.failure_text(exc)
                if not isinstance(exc, RecursionError)
                else "nested too deeply"
            )
    try:
        layout.replace_file(current, proc.stdout)
    except OSError as exc:
        raise MergeFailure(
            "%s, and the text merge cannot be written beside our version (%s)"
            % (reason, exc.strerror or exc)
        ) from exc
    return TextMerge(reason, proc.returncode, json_error, marker_size)


def empty_base_notebook(ours, theirs):
    """The base of a notebook that both sides added: no cells and no parameters, in the shape
    of our notebook, except for the component ids that both sides hold.

    For a component id that both sides hold, the base holds the cell itself when the two
    versions are equal (nothing to merge), else our version with an empty source: the sources
    are then merged as two additions, as git does for a text file that both sides added, and
    other differences are judged as changes on both sides.
    """
    base: dict = {"cells": [], "metadata": {"canvas": {"parameters": []}}}
    if isinstance(ours, dict):
        for key, value in ours.items():
            base.setdefault(key, value)
    theirs_by_id = {}
    for cell in shape.cell_maps(theirs):
        key = shape.canvas(cell).get("id")
        if isinstance(key, str):
            theirs_by_id[key] = cell
    seen = set()
    for cell in shape.cell_maps(ours):
        key = shape.canvas(cell).get("id")
        if not isinstance(key, str) or key not in theirs_by_id or key in seen:
            continue
        seen.add(key)
        if cell == theirs_by_id[key]:
            base["cells"].append(cell)
        else:
            source = cell.get("source")
            base["cells"].append(dict(cell, source="" if isinstance(source, str) else []))
    return base


# ---- what the user has to resolve ------------------------------------------------------


def _gained_marks(before, after):
    """Marked names of `after` beyond those `before` already held, plain and in order."""
    left = collections.Counter(n for n in before if is_marked(n))
    plain = []
    for name in after:
        if not is_marked(name):
            continue
        if left[name]:
            left[name] -= 1
        elif strip_marks(name) not in plain:
            plain.append(strip_marks(name))
    return plain


def find_conflicts(ours, merged):
    """Compare the merged notebook with our side's notebook as it was before the merge.

    A component or parameter is in conflict when a name marked "<<< " or ">>> " appears that
    our side did not hold; a cell has a source conflict when its source holds more
    "<<<<<<< " lines than our side's cell with the same component id.
    """
    return OursBefore(ours).conflicts_in(merged)


class OursBefore:
    """What find_conflicts and the layout writer need of our notebook as it was before the
    merge, taken before the merge changes its objects: the names, and the sources (the
    merge gives a cell a new source list rather than changing the one it had)."""

    def __init__(self, ours):
        cells = shape.cell_maps(ours)
        self.names = [shape.canvas(c).get("name") for c in cells]
        self.parameter_names = [p.get("name") for p in shape.parameters(ours)]
        self.sources = [c.get("source") for c in cells]
        self.ids = [shape.canvas(c).get("id") for c in cells]

    def conflicts_in(self, merged, conflicted=None):
        """The Conflicts of `merged`.  `conflicted`, when known, holds the merged source lists
        in which git found conflicts (its own count): a cell has a source conflict when its
        source is one of them.  Else the "<<<<<<< " lines of a source are counted against our
        cell's, as find_conflicts does."""
        merged_cells = shape.cell_maps(merged)
        components = _gained_marks(self.names, [shape.canvas(c).get("name") for c in merged_cells])
        parameters = _gained_marks(
            self.parameter_names, [p.get("name") for p in shape.parameters(merged)]
        )
        ours_sources = {}
        for key, source in zip(self.ids, self.sources):
            if isinstance(key, str):
                ours_sources[key] = source
        source_cells = []
        if conflicted is not None:
            reported = {id(source) for source in conflicted}
            for pos, cell in enumerate(merged_cells, 1):
                if id(cell.get("source")) in reported:
                    name = shape.canvas(cell).get("name")
                    source_cells.append((pos, name if isinstance(name, str) and name else None))
            return Conflicts(components, parameters, source_cells)
        for pos, cell in enumerate(merged_cells, 1):
            if not may_hold_markers(cell.get("source")) or not holds_marker_line(
                shape.source_lines(cell), cell.get("cell_type") == "code"
            ):
                continue
            canvas = shape.canvas(cell)
            key = canvas.get("id")
            before = (
                count_openings(shape.source_lines({"source": ours_sources.get(key)}))
                if isinstance(key, str)
                else 0
            )
            if count_openings(shape.source_lines(cell)) > before:
                name = canvas.get("name")
                source_cells.append((pos, name if isinstance(name, str) and name else None))
        return Conflicts(components, parameters, source_cells)

    def may_equal(self, merged):
        """False when `merged` surely differs from our notebook as it was."""
        merged_cells = shape.cell_maps(merged)
        return (
            len(merged_cells) == len(self.sources)
            and len(shape.parameters(merged)) == len(self.parameter_names)
            and all(c.get("source") == s for c, s in zip(merged_cells, self.sources))
        )


# ---- why a merge failed ------------------------------------------------------------------


def _label(side, paths):
    return "%s (%s)" % (dict(SIDES)[side], paths[side])


def describe_failure(exc, paths, named=True, made=None):
    """One line naming the file at fault and the cause, for an exception of merge_files.

    `paths` maps "base", "current" and "incoming" to the files.  The files are read again
    in merge_files's order to find the one at fault; this runs only after a failure.
    A side in `made` (the base made for a notebook that both sides added) is taken as given.
    A file is named by the words for its side, followed by its path when `named`.
    """

    def label(side):
        return _label(side, paths) if named else dict(SIDES)[side]

    if runner.is_git_missing(exc):
        return runner.GIT_MISSING
    notebooks = {}
    for side, _ in SIDES:
        if made and side in made:
            notebooks[side] = made[side]
            continue
        try:
            with open(paths[side], encoding="utf-8") as f:
                notebooks[side] = json.load(f)
        except OSError as err:
            return "cannot read %s: %s" % (label(side), err.strerror or err)
        except UnicodeDecodeError as err:
            return "%s is not UTF-8 text (%s)" % (label(side), err.reason)
        except ValueError as err:
            return "%s is not valid JSON (%s)" % (label(side), err)
        except RecursionError:
            return "%s is nested too deeply to be read" % label(side)
        except MemoryError:
            return "%s is too large to be read" % label(side)
    if (
        isinstance(exc, OSError)
        and exc.filename
        and _same_directory(exc.filename, paths["current"])
    ):
        # The merged notebook goes to a temporary file beside ours first: the name in the error
        # is that file's, gone by now.
        return "cannot write the merged notebook beside %s: %s" % (
            label("current"),
            exc.strerror or exc,
        )
    if isinstance(exc, ValueError) and "duplicate component id" in str(exc):
        for side, _ in SIDES:
            if (" %s notebook" % side) in str(exc):
                return "%s: %s" % (label(side), str(exc).replace(" in %s notebook" % side, ""))
    # A KeyError is matched to a missing key of that name; other errors to a value of the
    # wrong kind (reported with key None).
    missing = exc.args[0] if isinstance(exc, KeyError) and exc.args else None
    for side, _ in SIDES:
        for key, problem in _shape_problems(notebooks[side]):
            if key == missing:
                return "%s: %s" % (label(side), problem)
    return runner.failure_text(exc)


def _same_directory(path, notebook):
    try:
        return os.path.dirname(os.path.realpath(os.fsdecode(path))) == os.path.dirname(
            os.path.realpath(notebook)
        )
    except (TypeError, ValueError):
        return False


def _shape_problems(notebook):
    """Yield (missing key, text) for each place where a notebook lacks what the merge reads."""
    if not isinstance(notebook, dict):
        yield None, "not a notebook (the top level is not a JSON object)"
        return
    if not isinstance(notebook.get("cells"), list):
        yield _absent(notebook, "cells"), 'no "cells" array'
        return
    for pos, cell in enumerate(notebook["cells"], 1):
        if isinstance(cell, dict) and "metadata" not in cell:
            continue  # a plain cell, which the merge takes
        if not isinstance(cell, dict) or not isinstance(cell.get("metadata"), dict):
            yield _absent(cell, "metadata"), 'cell %d has no "metadata" map' % pos
            continue
        if "canvas" not in cell["metadata"]:
            continue  # a plain cell, which the merge takes
        canvas = cell["metadata"].get("canvas")
        if not isinstance(canvas, dict):
            yield (
                _absent(cell["metadata"], "canvas"),
                'cell %d has no "metadata" -> "canvas" map' % pos,
            )
            continue
        for key, kinds in (
            ("id", (str,)),
            ("name", (str, type(None))),
            ("parents", (list,)),
            ("comments", (list,)),
        ):
            if key not in canvas:
                yield key, 'cell %d has no "metadata" -> "canvas" -> "%s"' % (pos, key)
            elif not isinstance(canvas[key], kinds):  # type: ignore[arg-type]
                yield (
                    None,
                    'cell %d: "metadata" -> "canvas" -> "%s" is %s'
                    % (pos, key, json.dumps(canvas[key])[:40]),
                )
        if "source" not in cell:
            yield "source", 'cell %d has no "source"' % pos
        parents = canvas.get("parents")
        for parent in parents if isinstance(parents, list) else ():
            if not isinstance(parent, dict):
                yield None, "cell %d has a parent that is not a map" % pos
            elif "id" not in parent:
                yield "id", 'cell %d has a parent without "id"' % pos
    meta = notebook.get("metadata")
    if not isinstance(meta, dict):
        yield _absent(notebook, "metadata"), 'no top-level "metadata" map'
        return
    if not isinstance(meta.get("canvas"), dict):
        yield _absent(meta, "canvas"), 'no top-level "metadata" -> "canvas" map'
        return
    params = meta["canvas"].get("parameters")
    if not isinstance(params, list):
        yield (
            _absent(meta["canvas"], "parameters"),
            'no "metadata" -> "canvas" -> "parameters" array',
        )
        return
    for pos, param in enumerate(params, 1):
        if not isinstance(param, dict):
            yield None, "parameter %d is not a map" % pos
        elif "name" not in param:
            yield "name", 'parameter %d has no "name"' % pos


def _absent(d, key):
    """`key` when `d` is a map without it (a KeyError's case), else None (a value's kind)."""
    return key if isinstance(d, dict) and key not in d else None
