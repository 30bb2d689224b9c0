"""One merge as git runs it: call merge_files, judge the result, explain a failure."""
import collections
import json
import os
import sys
import warnings

from corvane_git.scripts.merge_driver.driver import component_merge
from corvane_git.scripts.merge_driver.notebooks import layout

PROG = "corvane-merge-driver"

CLEAN, CONFLICT, FAILURE = 0, 1, 2

OURS_MARK, THEIRS_MARK = "<<< ", ">>> "
MARKER_START, MARKER_MID, MARKER_END = "<<<<<<< ", "=======", ">>>>>>> "

# The three files in the order merge_files reads them, with the words a message uses for each.
SIDES = (("current", "our version"), ("base", "the common ancestor"),
         ("incoming", "their version"))


class MergeFailure(Exception):
    """The merge could not be made; the message is the cause, fit for one line."""


class Conflicts:
    """What the merged notebook holds for the user to resolve.

    Every name, path and note is printed with control characters escaped (one_line): a
    name from a notebook can hold anything, a terminal's escape sequences and line breaks
    included."""

    HEADLINE = "the merged notebook holds conflicts to resolve"

    def __init__(self, components, parameters, source_cells, places=None):
        self.components = components      # plain component names, in notebook order
        self.parameters = parameters      # plain parameter names, in notebook order
        self.source_cells = source_cells  # (position from 1, plain name or None)
        self.notes = []                   # what else the user should hear about the merge
        # Where a conflict stands, shown after its name: ("component" or "parameter", name)
        self.places = places or {}

    def __bool__(self):
        return bool(self.components or self.parameters or self.source_cells)

    def messages(self, path):
        """The lines for stderr: the notes, then the summary when there is something to resolve."""
        lines = ["%s: %s: %s" % (PROG, one_line(path), one_line(note)) for note in self.notes]
        return lines + [self.summary(path)] if self else lines

    def summary(self, path):
        lines = ["%s: %s: %s" % (PROG, one_line(path), self.HEADLINE)]
        if self.components:
            lines.append("  components in conflict: " + self._listed("component",
                                                                     self.components))
        if self.parameters:
            lines.append("  parameters in conflict: " + self._listed("parameter",
                                                                     self.parameters))
        if self.source_cells:
            lines.append("  cells with source conflicts: " + ", ".join(
                "cell %d (%s)" % (pos, one_line(name)) if name else "cell %d" % pos
                for pos, name in self.source_cells))
        return "\n".join(lines)

    def _listed(self, kind, names):
        return ", ".join("%s (%s)" % (one_line(n), one_line(self.places[kind, n]))
                         if (kind, n) in self.places else one_line(n) for n in names)


def load_engine():
    """Import merge_core, the merge of merge_files on parsed notebooks; a load problem becomes a
    MergeFailure naming its cause."""
    try:
        with warnings.catch_warnings():
            # A build made for another host version warns at load; git would show the
            # warning on every merge, and the merge does not depend on it.
            warnings.filterwarnings("ignore", message="compiletime version",
                                    category=RuntimeWarning)
            from corvane_git.scripts.merge_driver import merge_core
    except ImportError as exc:
        if _is_git_missing(exc):
            raise MergeFailure(_GIT_MISSING) from exc
        raise MergeFailure("the extension merge_core cannot be loaded (%s)" % exc) from exc
    return merge_core


def merge(base, current, incoming, path, engine=None, keep_one_line=False, marker_size=7,
          labels=None):
    """Merge like git's %O %A %B %P: write the result over `current`, return its Conflicts
    (or its TextMerge, below).

    Each file is read once; the component merge (`engine`'s merge_notebooks, by default
    merge_core's: the decisions of merge_files) keeps its result in memory, and the merged
    notebook is written once, in the layout of our side's file (see the layout module), or in
    merge_files's one-line form with `keep_one_line`.  An empty `base` (git's add/add case)
    stands for a notebook without cells or parameters (empty_base_notebook says how a cell that
    both sides added is judged).  When `current` is a symbolic link, the file it points to is
    merged and the link stays.

    The routing: a component notebook (its cells without the component layer included) goes
    to the component merge; a plain notebook (no component layer on any side) is merged cell
    by cell by the plain_merge module, without the extension; files that neither merge can
    take (not JSON, not a notebook, the notebook's part of the component layer on some sides
    only, ...) are merged as text the way git merges them without a driver, with conflict
    markers of `marker_size` characters; the result is then a TextMerge.

    Conflict blocks in sources and in a text merge are labelled PATH-current, PATH-base and
    PATH-incoming, or with `labels`, the tuple (ours, base, theirs) that git gives.

    Raises MergeFailure with all files as they were.
    """
    paths = {"base": base, "current": current, "incoming": incoming}
    target = os.path.realpath(current) if os.path.islink(current) else current
    try:
        ours_bytes = _read(target)
        others = [_read(base), _read(incoming)]   # parsed, then dropped, by _merge
    except OSError as exc:
        raise MergeFailure(describe_failure(exc, paths)) from exc
    if not any(b'"canvas"' in data for data in [ours_bytes] + others):
        # No component layer anywhere: a plain notebook, or no notebook at all.
        plain = _merge_if_plain(base, target, incoming, path, ours_bytes, keep_one_line,
                                marker_size, labels)
        if plain is not None:
            return plain
    try:
        return _merge(engine or load_engine(), paths, target, path, ours_bytes, others,
                      keep_one_line, labels)
    except _ShapeFailure as failure:
        reason = str(failure)
    plain = _merge_if_plain(base, target, incoming, path, ours_bytes, keep_one_line,
                            marker_size, labels)
    if plain is not None:
        return plain
    return merge_as_text(base, target, incoming, path, marker_size, reason, labels)


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _merge_if_plain(base, target, incoming, path, ours_bytes, keep_one_line, marker_size,
                    labels):
    from corvane_git.scripts.merge_driver.plain import merge as plain_merge
    return plain_merge.merge_if_plain(base, target, incoming, path, ours_bytes, keep_one_line,
                                      look_inside=True, marker_size=marker_size, labels=labels)


def conflict_labels(path, labels=None):
    """The labels of conflict blocks, (ours, base, theirs): git's `labels` when given, else
    PATH-current, PATH-base and PATH-incoming."""
    if labels is not None:
        return tuple(str(label) for label in labels)
    return tuple(str(path) + suffix for suffix in ("-current", "-base", "-incoming"))


def _merge_notebooks(engine, base, ours, theirs, path, labels):
    """(merged notebook, the merged source lists in which git found conflicts) from merge_core;
    another engine (one of merge_notebooks's four parameters) gives (merged notebook, None)."""
    if engine is not sys.modules.get("corvane_git.scripts.merge_driver.merge_core"):
        return engine.merge_notebooks(base, ours, theirs, path), None
    conflicted = []
    merged = engine.merge_notebooks(base, ours, theirs, path, conflict_labels(path, labels),
                                    conflicted)
    return merged, conflicted


class _ShapeFailure(Exception):
    """The merge failed for what the files hold; the message says what, naming no file."""


def _merge(engine, paths, target, path, ours_bytes, others, keep_one_line, labels=None):
    """The component merge: merge_core's decisions, and what the component_merge module adds
    around them (cells without the component layer, their keys beside source and canvas, their
    new cells where they put them, parent names); `others` holds the bytes of the base and of
    their file, which go once parsed (the merge needs the memory)."""
    made = {}
    try:
        ours = _parse(ours_bytes)
        theirs = _parse(others.pop())
        base_bytes = others.pop()
        if base_bytes.strip():
            base = _parse(base_bytes)
        else:
            # Both sides added the notebook. The base is made from ours and theirs, through
            # JSON text as if read from a file, so that it shares no object with them.
            base = made["base"] = json.loads(json.dumps(empty_base_notebook(ours, theirs)))
        del base_bytes
        before = OursBefore(ours)
        finish = component_merge.prepare(base, ours, theirs, base_made="base" in made)
        merged, conflicted = _merge_notebooks(engine, base, ours, theirs, path, labels)
        notes = finish(merged)
    except Exception as exc:
        if from_content(exc):
            raise _ShapeFailure(describe_failure(exc, paths, named=False, made=made)) from exc
        raise MergeFailure(describe_failure(exc, paths, made=made)) from exc
    conflicts = before.conflicts_in(merged, conflicted)
    conflicts.notes.extend(notes)
    try:
        if keep_one_line:
            layout.replace_file(target, one_line_form(merged))
        else:
            try:
                write_laid_out(target, merged, ours_bytes, before)
            except OSError:
                raise
            except Exception as exc:
                layout.replace_file(target, one_line_form(merged))
                conflicts.notes.append("the merged notebook is left on one line: it cannot be "
                                       "written in our version's layout (%s)" % _text(exc))
    except OSError as exc:
        raise MergeFailure("cannot write the merged notebook beside %s: %s" % (
            _label("current", paths), exc.strerror or exc)) from exc
    return conflicts


def _parse(data):
    return json.loads(data.decode("utf-8"))


def one_line_form(merged):
    """The merged notebook as merge_files writes it: json's defaults, on one line."""
    return json.dumps(merged).encode("ascii")


def from_content(exc):
    """Whether a failure of merge_files comes from what the three files hold (their shape:
    JSON, UTF-8, the component layer, value types) rather than from the machine (a file that
    cannot be read or written, git missing or failing, memory)."""
    if isinstance(exc, (OSError, MemoryError)) or _is_git_missing(exc):
        return False
    if _is_git_failure(exc):
        # A source that git takes for binary (it holds a NUL character) is content; the
        # notebook file itself holds it escaped, as text.
        return exc.status == 255 and "binary" in str(exc.stderr).lower()
    return isinstance(exc, Exception)


# ---- the merge git would make without the driver ---------------------------------------

class TextMerge:
    """A merge of the whole files as text by git merge-file, as git merges without a driver."""

    def __init__(self, reason, conflicts, json_error=None, marker_size=7):
        self.reason = reason          # why the notebook was not merged cell by cell
        self.conflicts = conflicts    # conflict blocks written, as git merge-file counts them
        self.json_error = json_error  # why a result without conflicts is not JSON, or None
        self.marker_size = marker_size

    def __bool__(self):
        return bool(self.conflicts or self.json_error)

    def messages(self, path):
        line = "%s: %s: merged as text by git merge-file, not cell by cell (%s)" % (
            PROG, path, self.reason)
        if self.conflicts:
            line += "; %d conflict%s to resolve between the %s" % (
                self.conflicts, "" if self.conflicts == 1 else "s", _marker_lines(
                    self.marker_size))
        elif self.json_error:
            line += "; the merged text is not valid JSON (%s): repair it before git add" % (
                self.json_error)
        return [one_line(line)]


# Markers up to this size are shown as they are; longer ones (git takes up to 2**31 - 1) by
# their size, so that the line stays short and no marker is built for it.
SHOWN_MARKER_SIZE = 32


def _marker_lines(size):
    if size <= SHOWN_MARKER_SIZE:
        return "%s and %s lines" % ("<" * size, ">" * size)
    return "marker lines of %d '<' and of %d '>'" % (size, size)


def git_executable():
    return os.environ.get("GIT_PYTHON_GIT_EXECUTABLE") or "git"


def merge_as_text(base, current, incoming, path, marker_size, reason, labels=None):
    """Merge the three files line by line with git merge-file and write the result over
    `current` in one step; returns the TextMerge.  `reason` says why, for the message;
    `labels` as conflict_labels takes them."""
    import subprocess
    labels = conflict_labels(path, labels)
    command = [git_executable(), "merge-file", "-p", "--marker-size=%d" % marker_size,
               "-L", labels[0], "-L", labels[1], "-L", labels[2], "--", current, base, incoming]
    try:
        proc = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    except FileNotFoundError as exc:
        raise MergeFailure("%s, and %s" % (reason, _GIT_MISSING)) from exc
    except OSError as exc:
        raise MergeFailure("%s, and git merge-file cannot run (%s)"
                           % (reason, exc.strerror or exc)) from exc
    if not 0 <= proc.returncode <= 127:
        names = {current: "our version", base: "the common ancestor", incoming: "their version"}
        error = proc.stderr.decode("utf-8", "replace").strip().splitlines()
        cause = ("killed by signal %d" % -proc.returncode if proc.returncode < 0 else
                 error[0].replace("error: ", "", 1) if error else
                 "exit status %d" % proc.returncode)
        for name, words in names.items():
            if cause.endswith(": " + name):
                cause = cause[:-len(name)] + words
        raise MergeFailure("%s, and git merge-file cannot merge it as text either (%s)"
                           % (reason, cause))
    json_error = None
    if proc.returncode == 0:
        try:
            json.loads(proc.stdout.decode("utf-8"))
        except (ValueError, RecursionError) as exc:
            json_error = _text(exc) if not isinstance(exc, RecursionError) else "nested too deeply"
    try:
        layout.replace_file(current, proc.stdout)
    except OSError as exc:
        raise MergeFailure("%s, and the text merge cannot be written beside our version (%s)"
                           % (reason, exc.strerror or exc)) from exc
    return TextMerge(reason, proc.returncode, json_error, marker_size)


def write_in_layout(target, ours_bytes, ours, merged):
    """Write `merged` over `target` in the layout of our side's file, `ours_bytes`.

    A merge that kept our notebook as it was gives back our file byte for byte, whatever
    its layout (numbers written as 1e3, escapes of a hand-edited file, ...).
    """
    if merged == ours and layout.same_value(merged, ours):
        data = ours_bytes
    else:
        data = layout.render(merged, layout.detect(ours_bytes))
    layout.replace_file(target, data)


def write_laid_out(target, merged, ours_bytes, before):
    """Write `merged` over `target` as write_in_layout writes it, where our notebook as it was
    before the merge (whose objects the merge changes) is known by `before` only.

    The bytes go to the file part by part as they are made, compared with our file's on the
    way; our file is parsed again only when the merge may have kept it as it was and the
    layout does not give back its bytes."""
    form = layout.detect(ours_bytes)

    def write(f):
        written = _Compared(f, ours_bytes)
        layout.render_into(merged, form, written.put, written.restart)
        if not written.equal() and before.may_equal(merged):
            ours = _parse(ours_bytes)
            if merged == ours and layout.same_value(merged, ours):
                written.restart()
                written.put(ours_bytes)
    layout.replace_file(target, write)


class _Compared:
    """Parts written to a file, compared with `ours` on the way."""

    def __init__(self, f, ours):
        self.f, self.ours = f, memoryview(ours)
        self.size, self.same = 0, True

    def put(self, part):
        self.f.write(part)
        end = self.size + len(part)
        self.same = self.same and self.ours[self.size:end] == part
        self.size = end

    def restart(self):
        self.f.seek(0)
        self.f.truncate()
        self.size, self.same = 0, True

    def equal(self):
        return self.same and self.size == len(self.ours)


def empty_base_notebook(ours, theirs):
    """The base of a notebook that both sides added: no cells and no parameters, in the shape
    of our notebook, except for the component ids that both sides hold.

    For a component id that both sides hold, the base holds the cell itself when the two
    versions are equal (nothing to merge), else our version with an empty source: the sources
    are then merged as two additions, as git does for a text file that both sides added, and
    other differences are judged as changes on both sides.
    """
    base = {"cells": [], "metadata": {"canvas": {"parameters": []}}}
    if isinstance(ours, dict):
        for key, value in ours.items():
            base.setdefault(key, value)
    theirs_by_id = {}
    for cell in _cells(theirs):
        key = _canvas(cell).get("id")
        if isinstance(key, str):
            theirs_by_id[key] = cell
    seen = set()
    for cell in _cells(ours):
        key = _canvas(cell).get("id")
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

def strip_marks(name):
    while name.startswith((OURS_MARK, THEIRS_MARK)):
        name = name[len(OURS_MARK):]
    return name


def _is_marked(name):
    return isinstance(name, str) and name.startswith((OURS_MARK, THEIRS_MARK))


def _canvas(d):
    meta = d.get("metadata") if isinstance(d, dict) else None
    canvas = meta.get("canvas") if isinstance(meta, dict) else None
    return canvas if isinstance(canvas, dict) else {}


def _cells(notebook):
    cells = notebook.get("cells") if isinstance(notebook, dict) else None
    return [c for c in cells if isinstance(c, dict)] if isinstance(cells, list) else []


def _parameters(notebook):
    params = _canvas(notebook).get("parameters")
    return [p for p in params if isinstance(p, dict)] if isinstance(params, list) else []


def _source_lines(cell):
    source = cell.get("source")
    if isinstance(source, str):
        return source.splitlines()
    return [s for s in source if isinstance(s, str)] if isinstance(source, list) else []


def _open_markers(cell):
    return sum(1 for line in _source_lines(cell) if line.startswith(MARKER_START))


# The shortest run of marker characters taken for a conflict marker line on its own: git's
# default size (the resolve module finds whole blocks from a smaller size on).
MARKER_LINE_SIZE = 7
MARKER_CHARS = ("<", "|", ">", "=")


def marker_size(text, equals=True):
    """The marker size of `text` (one line; its line end does not count) when it reads as a
    line of git's conflict markers, else 0: a run of at least MARKER_LINE_SIZE "<", "|" or ">"
    followed by a space or nothing, or (with `equals`) a line of "=" alone.  Code such as
    ``x <<<<<<< y`` or a doctest's ">>> " does not count."""
    text = text.rstrip("\r\n")
    char = text[:1]
    if char not in MARKER_CHARS or (char == "=" and not equals):
        return 0
    size = len(text) - len(text.lstrip(char))
    rest = text[size:]
    if size < MARKER_LINE_SIZE or (rest.strip() if char == "=" else rest[:1] not in ("", " ")):
        return 0
    return size


def _has_conflict_block(cell):
    """Whether a cell's source holds a line of git's conflict markers: a whole block, or a
    marker line left of one.  A line of "=" alone counts in code cells only (Markdown and
    reStructuredText underline headings with it)."""
    equals = cell.get("cell_type") == "code"
    return any(line[:1] in MARKER_CHARS and marker_size(line, equals)
               for line in _source_lines(cell))


def _gained_marks(before, after):
    """Marked names of `after` beyond those `before` already held, plain and in order."""
    left = collections.Counter(n for n in before if _is_marked(n))
    plain = []
    for name in after:
        if not _is_marked(name):
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
        cells = _cells(ours)
        self.names = [_canvas(c).get("name") for c in cells]
        self.parameter_names = [p.get("name") for p in _parameters(ours)]
        self.sources = [c.get("source") for c in cells]
        self.ids = [_canvas(c).get("id") for c in cells]

    def conflicts_in(self, merged, conflicted=None):
        """The Conflicts of `merged`.  `conflicted`, when known, holds the merged source lists
        in which git found conflicts (its own count): a cell has a source conflict when its
        source is one of them.  Else the "<<<<<<< " lines of a source are counted against our
        cell's, as find_conflicts does."""
        merged_cells = _cells(merged)
        components = _gained_marks(self.names, [_canvas(c).get("name") for c in merged_cells])
        parameters = _gained_marks(self.parameter_names,
                                   [p.get("name") for p in _parameters(merged)])
        ours_sources = {}
        for key, source in zip(self.ids, self.sources):
            if isinstance(key, str):
                ours_sources[key] = source
        source_cells = []
        if conflicted is not None:
            reported = {id(source) for source in conflicted}
            for pos, cell in enumerate(merged_cells, 1):
                if id(cell.get("source")) in reported:
                    name = _canvas(cell).get("name")
                    source_cells.append((pos, name if isinstance(name, str) and name else None))
            return Conflicts(components, parameters, source_cells)
        for pos, cell in enumerate(merged_cells, 1):
            if not _may_hold_markers(cell.get("source")) or not _has_conflict_block(cell):
                continue
            canvas = _canvas(cell)
            key = canvas.get("id")
            before = (_open_markers({"source": ours_sources.get(key)})
                      if isinstance(key, str) else 0)
            if _open_markers(cell) > before:
                name = canvas.get("name")
                source_cells.append((pos, name if isinstance(name, str) and name else None))
        return Conflicts(components, parameters, source_cells)

    def may_equal(self, merged):
        """False when `merged` surely differs from our notebook as it was."""
        merged_cells = _cells(merged)
        return (len(merged_cells) == len(self.sources) and
                len(_parameters(merged)) == len(self.parameter_names) and
                all(c.get("source") == s for c, s in zip(merged_cells, self.sources)))


def _may_hold_markers(source):
    """False when a source surely holds no line of conflict markers: none of the runs of
    marker characters occurs in it at all (one search over the joined text)."""
    if isinstance(source, list):
        try:
            source = "".join(source)
        except TypeError:
            return True
    if not isinstance(source, str):
        return True
    return any(run in source for run in _MARKER_RUNS)


_MARKER_RUNS = tuple(c * MARKER_LINE_SIZE for c in MARKER_CHARS)


# ---- why a merge failed ------------------------------------------------------------------

_GIT_MISSING = "the git command was not found (install git, or name it in GIT_PYTHON_GIT_EXECUTABLE)"


def _is_git_missing(exc):
    try:
        import git
    except ImportError:
        return "git executable" in str(exc).lower()
    return isinstance(exc, git.GitCommandNotFound) or (
        isinstance(exc, ImportError) and "git executable" in str(exc).lower())


def _text(exc):
    if isinstance(exc, KeyError) and exc.args:
        return "missing key %r" % (exc.args[0],)
    if _is_git_failure(exc):
        return _git_failure_text(exc)
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def _is_git_failure(exc):
    try:
        import git
    except ImportError:
        return False
    return isinstance(exc, git.GitCommandError)


def _git_failure_text(exc):
    """A failed git command in one line: which command, its exit status, its first error line."""
    words = [str(word) for word in exc.command[:2]]
    command = " ".join([os.path.basename(words[0])] + words[1:]) if words else "git"
    status = exc.status
    if isinstance(status, int) and status < 0:
        text = "%s was killed by signal %d" % (command, -status)
    else:
        text = "%s failed (exit status %s)" % (command, status)
    stderr = exc.stderr or ""
    prefix = "\n  stderr: '"
    if stderr.startswith(prefix) and stderr.endswith("'"):
        stderr = stderr[len(prefix):-1]
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    return "%s: %s" % (text, lines[0]) if lines else text


def one_line(text):
    """`text` with line breaks and other control characters written as escapes."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


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

    if _is_git_missing(exc):
        return _GIT_MISSING
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
    if isinstance(exc, OSError) and exc.filename and _same_directory(exc.filename, paths["current"]):
        # The merged notebook goes to a temporary file beside ours first: the name in the error
        # is that file's, gone by now.
        return "cannot write the merged notebook beside %s: %s" % (
            label("current"), exc.strerror or exc)
    if isinstance(exc, ValueError) and "duplicate component id" in str(exc):
        for side, words in SIDES:
            if (" %s notebook" % side) in str(exc):
                return "%s: %s" % (label(side),
                                   str(exc).replace(" in %s notebook" % side, ""))
    # A KeyError is matched to a missing key of that name; other errors to a value of the
    # wrong kind (reported with key None).
    missing = exc.args[0] if isinstance(exc, KeyError) and exc.args else None
    for side, _ in SIDES:
        for key, problem in _shape_problems(notebooks[side]):
            if key == missing:
                return "%s: %s" % (label(side), problem)
    return _text(exc)


def _same_directory(path, notebook):
    try:
        return (os.path.dirname(os.path.realpath(os.fsdecode(path)))
                == os.path.dirname(os.path.realpath(notebook)))
    except (TypeError, ValueError):
        return False


def _shape_problems(notebook):
    """Yield (missing key, text) for each place where a notebook lacks what the merge reads."""
    if not isinstance(notebook, dict):
        yield None, "not a notebook (the top level is not a JSON object)"
        return
    if not isinstance(notebook.get("cells"), list):
        yield _absent(notebook, "cells"), "no \"cells\" array"
        return
    for pos, cell in enumerate(notebook["cells"], 1):
        if isinstance(cell, dict) and "metadata" not in cell:
            continue   # a plain cell, which the merge takes
        if not isinstance(cell, dict) or not isinstance(cell.get("metadata"), dict):
            yield _absent(cell, "metadata"), "cell %d has no \"metadata\" map" % pos
            continue
        if "canvas" not in cell["metadata"]:
            continue   # a plain cell, which the merge takes
        canvas = cell["metadata"].get("canvas")
        if not isinstance(canvas, dict):
            yield (_absent(cell["metadata"], "canvas"),
                   "cell %d has no \"metadata\" -> \"canvas\" map" % pos)
            continue
        for key, kinds in (("id", (str,)), ("name", (str, type(None))), ("parents", (list,)),
                           ("comments", (list,))):
            if key not in canvas:
                yield key, "cell %d has no \"metadata\" -> \"canvas\" -> \"%s\"" % (pos, key)
            elif not isinstance(canvas[key], kinds):
                yield None, "cell %d: \"metadata\" -> \"canvas\" -> \"%s\" is %s" % (
                    pos, key, json.dumps(canvas[key])[:40])
        if "source" not in cell:
            yield "source", "cell %d has no \"source\"" % pos
        for parent in canvas.get("parents") if isinstance(canvas.get("parents"), list) else ():
            if not isinstance(parent, dict):
                yield None, "cell %d has a parent that is not a map" % pos
            elif "id" not in parent:
                yield "id", "cell %d has a parent without \"id\"" % pos
    meta = notebook.get("metadata")
    if not isinstance(meta, dict):
        yield _absent(notebook, "metadata"), "no top-level \"metadata\" map"
        return
    if not isinstance(meta.get("canvas"), dict):
        yield _absent(meta, "canvas"), "no top-level \"metadata\" -> \"canvas\" map"
        return
    params = meta["canvas"].get("parameters")
    if not isinstance(params, list):
        yield (_absent(meta["canvas"], "parameters"),
               "no \"metadata\" -> \"canvas\" -> \"parameters\" array")
        return
    for pos, param in enumerate(params, 1):
        if not isinstance(param, dict):
            yield None, "parameter %d is not a map" % pos
        elif "name" not in param:
            yield "name", "parameter %d has no \"name\"" % pos


def _absent(d, key):
    """`key` when `d` is a map without it (a KeyError's case), else None (a value's kind)."""
    return key if isinstance(d, dict) and key not in d else None

