"""What changed between two versions of a notebook, cell by cell.

The versions of a cell are paired as the merge pairs them: by component id ("metadata" ->
"canvas" -> "id") where the notebook has the component layer, and a plain notebook's cells by
their "id", else by content (the plain merge's patience pairing).  Cells that kept their
order stay in place; a paired cell outside that order moved.  Nothing compares cells or
outputs pair by pair: a cell is looked at only against its own other version, so the work
grows with the size of the notebooks.

`diff(old, new)` gives the changes as data (a list of `Change`), `render(changes)` as text;
`main(argv)` is the command line (`corvane-merge-driver diff`), also as git's external diff
command and as its textconv filter.
"""

import collections
import json
import os
import re
import sys
import zlib

from corvane_git.scripts.merge_driver.plain.sequences import increasing, matching_pairs

PROG = "corvane-merge-driver"
CONTEXT = 3

__all__ = [
    "Change",
    "Detail",
    "MISSING",
    "diff",
    "diff_files",
    "render",
    "load",
    "main",
    "NotReadable",
]


class _Missing:
    def __repr__(self):
        return "MISSING"

    def __bool__(self):
        return False


# The value of what one version does not have (a key, a parameter, a cell's source).
MISSING = _Missing()

# One change. kind: "added", "deleted", "moved", "changed" (a cell), "parameter" (a notebook
# parameter, by its name), "metadata" (a key of the notebook's metadata) or "notebook" (another
# top-level key).  old_index, new_index: the cell's place in each version (None where it has
# none).  name: the component name, else None for a cell; the parameter's name or the key.
# cell_type and title (first source line) name a cell.  details: the Detail records.
Change = collections.namedtuple("Change", "kind old_index new_index name cell_type title details")
# One aspect of a change: "source" (texts), "cell_type", "name" (renamed), "parents" (old:
# the names removed, new: the names added), "comments" (old: removed, new: added),
# "headerColor", "canvas.KEY", "metadata.KEY", "outputs" (the two output lists),
# "execution_count", "id", any other cell key; for a parameter or notebook metadata, the key.
Detail = collections.namedtuple("Detail", "aspect old new")


class NotReadable(Exception):
    """A file that cannot be read at all; the message names it and the cause."""


# ---- reading -----------------------------------------------------------------------------


def load(path):
    """(notebook, text): the parsed notebook or None when the file is no notebook, and its
    text (for a line diff); None for git's /dev/null.  Raises NotReadable."""
    if path == os.devnull or path == "/dev/null":
        return {"cells": []}, ""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise NotReadable("cannot read %s: %s" % (path, exc.strerror or exc)) from exc
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return None, data.decode("utf-8", "replace")
    try:
        notebook = json.loads(text)
    except ValueError:
        return None, text
    if (
        not isinstance(notebook, dict)
        or not isinstance(notebook.get("cells"), list)
        or not all(isinstance(c, dict) for c in notebook["cells"])
    ):
        return None, text
    return notebook, text


# ---- pairing -----------------------------------------------------------------------------


def _canvas(cell):
    meta = cell.get("metadata")
    canvas = meta.get("canvas") if isinstance(meta, dict) else None
    return canvas if isinstance(canvas, dict) else None


def _has_layer(notebook):
    meta = notebook.get("metadata")
    if isinstance(meta, dict) and "canvas" in meta:
        return True
    return any(_canvas(c) is not None for c in notebook["cells"])


def _unique_keys(keys):
    """The keys (but None) that occur exactly once."""
    return {k for k, n in collections.Counter(keys).items() if n == 1 and k is not None}


def _link_id(cell):
    canvas = _canvas(cell)
    link = canvas.get("id") if canvas else None
    return link if isinstance(link, (str, int)) and not isinstance(link, bool) else None


def _link_ids(cells):
    """_link_id of each cell (the loop written out: it runs over every cell)."""
    out = []
    for cell in cells:
        meta = cell.get("metadata")
        canvas = meta.get("canvas") if type(meta) is dict else None
        link = canvas.get("id") if type(canvas) is dict else None
        out.append(link if type(link) is str or type(link) is int else None)
    return out


def _plain_pairs(old, new):
    from corvane_git.scripts.merge_driver.plain import merge as plain_merge

    by_id = _all_unique_ids(old) and _all_unique_ids(new)
    return plain_merge.pair(old, new, by_id)


def _all_unique_ids(cells):
    ids = [c.get("id") for c in cells]
    return all(isinstance(i, str) for i in ids) and len(set(ids)) == len(ids)


def pair_cells(old, new, layered):
    """{index in new: index in old} for the cells that are versions of one cell."""
    if not layered:
        return _plain_pairs(old["cells"], new["cells"])
    olds, news = old["cells"], new["cells"]
    old_links, new_links = _link_ids(olds), _link_ids(news)
    usable = _unique_keys(old_links) & _unique_keys(new_links)
    where = {k: i for i, k in enumerate(old_links) if k in usable}
    paired = {j: where[k] for j, k in enumerate(new_links) if k in usable}
    # Cells without a usable component id pair among themselves, as plain cells do.
    rest_old = [i for i, k in enumerate(old_links) if k not in usable]
    rest_new = [j for j, k in enumerate(new_links) if k not in usable]
    if rest_old and rest_new:
        more = _plain_pairs([olds[i] for i in rest_old], [news[j] for j in rest_new])
        paired.update((rest_new[b], rest_old[a]) for b, a in more.items())
    return paired


# ---- line diff ---------------------------------------------------------------------------


def line_hunks(a, b, context=CONTEXT, keys=None):
    """Unified-diff hunks of line lists a and b: a list of (header, [(mark, line)]) with mark
    " ", "-" or "+".  `keys`: (keys of a, keys of b) to match lines by instead of the lines.
    The work beyond the matching is in the changed lines and their context only."""
    ka, kb = keys if keys else (a, b)
    blocks = []  # (i0, i1, j0, j1): a[i0:i1] replaced by b[j0:j1]; equal runs between them
    i = j = 0
    for pi, pj in matching_pairs(ka, kb) + [(len(a), len(b))]:
        if pi > i or pj > j:
            blocks.append((i, pi, j, pj))
        i, j = pi + 1, pj + 1
    hunks = []
    k, before = 0, 0
    while k < len(blocks):
        group = [blocks[k]]
        while k + 1 < len(blocks) and blocks[k + 1][0] - blocks[k][1] <= 2 * context:
            k += 1
            group.append(blocks[k])
        k += 1
        lead = min(context, group[0][0] - before)
        x, y = group[0][0] - lead, group[0][2] - lead
        top = (x, y)
        part = []
        for i0, i1, j0, j1 in group:
            part.extend((" ", line) for line in a[x:i0])
            part.extend(("-", line) for line in a[i0:i1])
            part.extend(("+", line) for line in b[j0:j1])
            x, y = i1, j1
        after = blocks[k][0] if k < len(blocks) else len(a)
        part.extend((" ", line) for line in a[x : min(after, x + context)])
        before = x
        old_n = sum(mark != "+" for mark, _ in part)
        new_n = sum(mark != "-" for mark, _ in part)
        header = "@@ -%s +%s @@" % (
            _span(top[0] + (1 if old_n else 0), old_n),
            _span(top[1] + (1 if new_n else 0), new_n),
        )
        hunks.append((header, part))
    return hunks


def _span(at, n):
    return str(at) if n == 1 else "%d,%d" % (at, n)


def _text(source):
    if isinstance(source, str):
        return source
    if isinstance(source, list) and all(isinstance(s, str) for s in source):
        return "".join(source)
    return json.dumps(source, ensure_ascii=False, sort_keys=True)


def _lines(text):
    return text.splitlines()


# ---- comparing ---------------------------------------------------------------------------


def _first_line(cell):
    for line in _lines(_text(cell.get("source", ""))):
        if line.strip():
            return line.strip()
    return ""


def _name(cell):
    canvas = _canvas(cell)
    name = canvas.get("name") if canvas else None
    return name if isinstance(name, str) and name else None


def _names(notebook):
    """{component id: name} of a notebook's components."""
    out = {}
    for cell in notebook["cells"]:
        link, name = _link_id(cell), _name(cell)
        if link is not None and name is not None:
            out[link] = name
    return out


class _Names:
    """{component id: name} of the old (0) and the new (1) version, made when first asked."""

    def __init__(self, old, new):
        self.notebooks, self.made = (old, new), {}

    def __getitem__(self, k):
        if k not in self.made:
            self.made[k] = _names(self.notebooks[k])
        return self.made[k]


def _hashable(value):
    return json.dumps(value, sort_keys=True, ensure_ascii=False)


def _multiset_change(old, new):
    """(removed, added): the elements of list `old` not in `new` and the other way round,
    counted as multisets, in their order."""
    old = old if isinstance(old, list) else []
    new = new if isinstance(new, list) else []
    return _beyond(old, new), _beyond(new, old)


def _beyond(these, those):
    """The elements of `these` beyond those of `those`, counted as multisets, in order."""
    count = collections.Counter(_hashable(x) for x in those)
    left = []
    for x in these:
        key = _hashable(x)
        if count[key]:
            count[key] -= 1
        else:
            left.append(x)
    return left


def _parent_ids(canvas):
    out = []
    for p in canvas.get("parents") or ():
        pid = p.get("id") if isinstance(p, dict) else p
        out.append(pid)
    return out


def _parent_names(pids, names, entries):
    """The names of parents: the component's name, else the name its entry carries."""
    if not pids:
        return []
    carried = {}
    for entry in entries:
        if isinstance(entry, dict) and entry.get("name"):
            key = entry.get("id")
            if isinstance(key, (str, int)):
                carried.setdefault(key, entry["name"])
    return [
        names.get(p) or carried.get(p) or str(p) if isinstance(p, (str, int)) else str(p)
        for p in pids
    ]


def _canvas_details(old_c, new_c, names):
    out = []
    old_c, new_c = old_c or {}, new_c or {}
    keys = list(new_c) + [k for k in old_c if k not in new_c]
    for key in keys:
        a, b = old_c.get(key, MISSING), new_c.get(key, MISSING)
        if a == b and type(a) is type(b):
            continue
        if key == "name":
            out.append(Detail("name", a, b))
        elif key == "parents":
            removed, added = _multiset_change(_parent_ids(old_c), _parent_ids(new_c))
            if removed or added:
                out.append(
                    Detail(
                        "parents",
                        _parent_names(removed, names[0], old_c.get("parents") or ()),
                        _parent_names(added, names[1], new_c.get("parents") or ()),
                    )
                )
        elif key == "comments":
            removed, added = _multiset_change(a, b)
            if removed or added:
                out.append(Detail("comments", removed, added))
        elif key == "headerColor":
            out.append(Detail("headerColor", a, b))
        else:
            out.append(Detail("canvas." + key, a, b))
    return out


def _cell_details(old, new, names, show_all, outputs):
    """The Details of two versions of a cell (either may be {} for an added or deleted one)."""
    out = []
    keys = list(new) + [k for k in old if k not in new]
    for key in keys:
        a, b = old.get(key, MISSING), new.get(key, MISSING)
        if a == b and type(a) is type(b):
            continue
        if key == "source":
            ta, tb = _text(a) if a is not MISSING else "", _text(b) if b is not MISSING else ""
            if ta != tb:
                out.append(Detail("source", ta, tb))
        elif key == "metadata":
            ma = a if isinstance(a, dict) else {}
            mb = b if isinstance(b, dict) else {}
            for mkey in list(mb) + [k for k in ma if k not in mb]:
                va, vb = ma.get(mkey, MISSING), mb.get(mkey, MISSING)
                if va == vb and type(va) is type(vb):
                    continue
                if (
                    mkey == "canvas"
                    and isinstance(va, (dict, _Missing))
                    and isinstance(vb, (dict, _Missing))
                ):
                    out.extend(_canvas_details(va, vb, names))
                else:
                    out.append(Detail("metadata." + mkey, va, vb))
        elif key == "outputs":
            if outputs:
                out.append(
                    Detail(
                        "outputs",
                        a if isinstance(a, list) else [],
                        b if isinstance(b, list) else [],
                    )
                )
        elif key in ("execution_count", "id"):
            if show_all:
                out.append(Detail(key, a, b))
        else:
            out.append(Detail(key, a, b))
    return out


def _parameters(notebook):
    meta = notebook.get("metadata")
    canvas = meta.get("canvas") if isinstance(meta, dict) else None
    params = canvas.get("parameters") if isinstance(canvas, dict) else None
    return params if isinstance(params, list) else []


def _parameter_changes(old, new):
    """Parameters paired by name (the k-th of a name with the k-th), changes per key."""

    def keyed(params):
        seen, out = collections.Counter(), collections.OrderedDict()
        for p in params:
            name = p.get("name") if isinstance(p, dict) else None
            key = (_hashable(name), seen[_hashable(name)])
            seen[_hashable(name)] += 1
            out[key] = p
        return out

    a, b = keyed(_parameters(old)), keyed(_parameters(new))
    changes = []
    for key in list(b) + [k for k in a if k not in b]:
        pa, pb = a.get(key, MISSING), b.get(key, MISSING)
        if pa == pb:
            continue
        name = pb if pb is not MISSING else pa
        name = name.get("name") if isinstance(name, dict) else name
        if pa is MISSING or pb is MISSING or not isinstance(pa, dict) or not isinstance(pb, dict):
            details = [Detail("parameter", pa, pb)]
        else:
            details = [
                Detail(k, pa.get(k, MISSING), pb.get(k, MISSING))
                for k in list(pb) + [k for k in pa if k not in pb]
                if pa.get(k, MISSING) != pb.get(k, MISSING)
            ]
        changes.append(Change("parameter", None, None, name, None, None, details))
    return changes


def _notebook_changes(old, new):
    changes = _parameter_changes(old, new)
    ma = old.get("metadata") if isinstance(old.get("metadata"), dict) else {}
    mb = new.get("metadata") if isinstance(new.get("metadata"), dict) else {}
    for key in list(mb) + [k for k in ma if k not in mb]:
        a, b = ma.get(key, MISSING), mb.get(key, MISSING)
        if key == "canvas" and isinstance(a, (dict, _Missing)) and isinstance(b, (dict, _Missing)):
            a = {} if isinstance(a, _Missing) else a
            b = {} if isinstance(b, _Missing) else b
            for ckey in list(b) + [k for k in a if k not in b]:
                if ckey != "parameters" and a.get(ckey, MISSING) != b.get(ckey, MISSING):
                    changes.append(
                        Change(
                            "metadata",
                            None,
                            None,
                            "canvas." + ckey,
                            None,
                            None,
                            [Detail("canvas." + ckey, a.get(ckey, MISSING), b.get(ckey, MISSING))],
                        )
                    )
        elif a != b:
            changes.append(Change("metadata", None, None, key, None, None, [Detail(key, a, b)]))
    for key in list(new) + [k for k in old if k not in new]:
        if key not in ("cells", "metadata") and old.get(key, MISSING) != new.get(key, MISSING):
            changes.append(
                Change(
                    "notebook",
                    None,
                    None,
                    key,
                    None,
                    None,
                    [Detail(key, old.get(key, MISSING), new.get(key, MISSING))],
                )
            )
    return changes


def _content(old, new, names, outputs):
    """The details of an added or deleted cell: its source and its outputs."""
    return [
        d
        for d in _cell_details(old, new, names, False, outputs)
        if d.aspect in ("source", "outputs") and (d.old or d.new)
    ]


def diff(old, new, show_all=False, outputs=True):
    """The changes from notebook `old` to notebook `new` (parsed), as a list of Change in
    notebook order: notebook parameters and metadata first, then the cells in the new
    version's order, each deleted cell after the cell it followed.  Execution counts and cell
    ids only with `show_all`; outputs unless `outputs` is false."""
    changes = _notebook_changes(old, new)
    olds, news = old["cells"], new["cells"]
    paired = pair_cells(old, new, _has_layer(old) or _has_layer(new))
    order = sorted(paired)
    stable = {order[k] for k in increasing([paired[j] for j in order])}
    names = _Names(old, new)
    taken = set(paired.values())
    next_old = 0

    def deleted_before(limit):
        nonlocal next_old
        while next_old < limit:
            if next_old not in taken:
                cell = olds[next_old]
                changes.append(
                    Change(
                        "deleted",
                        next_old,
                        None,
                        _name(cell),
                        cell.get("cell_type"),
                        _first_line(cell),
                        _content(cell, {}, names, outputs),
                    )
                )
            next_old += 1

    for j, cell in enumerate(news):
        i = paired.get(j)
        if i is None:
            changes.append(
                Change(
                    "added",
                    None,
                    j,
                    _name(cell),
                    cell.get("cell_type"),
                    _first_line(cell),
                    _content({}, cell, names, outputs),
                )
            )
            continue
        if j in stable:
            deleted_before(i)
            next_old = max(next_old, i + 1)
        before = olds[i]
        if j in stable and before == cell:
            continue
        details = _cell_details(before, cell, names, show_all, outputs)
        if details or j not in stable:
            changes.append(
                Change(
                    "changed" if j in stable else "moved",
                    i,
                    j,
                    _name(cell),
                    cell.get("cell_type"),
                    _first_line(cell),
                    details,
                )
            )
    deleted_before(len(olds))
    return changes


def diff_files(old_path, new_path, show_all=False, outputs=True):
    """diff() of two notebook files; raises NotReadable, or ValueError for a file that is no
    notebook."""
    loaded = []
    for path in (old_path, new_path):
        notebook, _ = load(path)
        if notebook is None:
            raise ValueError("%s is not a notebook" % path)
        loaded.append(notebook)
    return diff(loaded[0], loaded[1], show_all=show_all, outputs=outputs)


# ---- text --------------------------------------------------------------------------------

# git's default colours: meta (headers) bold, frag (@@) cyan, old red, new green.
COLOURS = {
    "meta": "\x1b[1m",
    "frag": "\x1b[36m",
    "old": "\x1b[31m",
    "new": "\x1b[32m",
    "moved": "\x1b[35m",
    "reset": "\x1b[m",
}


def _value(value):
    if value is MISSING:
        return "(none)"
    if isinstance(value, str):
        return (
            value
            if value and "\n" not in value and value.strip() == value
            else json.dumps(value, ensure_ascii=False)
        )
    return json.dumps(value, ensure_ascii=False, sort_keys=True)


def _size(n):
    if n < 1000:
        return "%d B" % n
    if n < 1000**2:
        return "%.1f kB" % (n / 1000)
    return "%.1f MB" % (n / 1000**2)


def _binary_size(data):
    """Bytes of base64 data (its text's length where it is not base64)."""
    text = _text(data)
    n = len(text) - text.count("\n")
    return n * 3 // 4 - (text.endswith("==") and 2 or text.endswith("=") and 1 or 0)


# Output data shown as lines; other types (images, HTML, SVG, JavaScript, JSON, widgets) as
# type and size: a rich output nearly always comes with a text/plain form beside it, and an
# HTML table or an animation as a line diff is pages of markup.
_LINE_TYPES = ("text/plain", "text/markdown", "text/latex")


def _is_base64(mime):
    """Whether nbformat keeps data of this type base64-encoded."""
    return not (mime.startswith("text/") or mime.endswith(("json", "+xml", "javascript")))


def _output_lines(outputs, digest=False):
    """An output list as lines: (shown, key) for each, key telling binary data apart."""
    out = []
    for o in outputs:
        if not isinstance(o, dict):
            line = _value(o)
            out.append((line, line))
            continue
        kind = o.get("output_type")
        if kind == "stream":
            head = "[stream %s]" % o.get("name", "")
            out.append((head, head))
            out.extend((line, line) for line in _lines(_text(o.get("text", ""))))
        elif kind == "error":
            head = "[error] %s: %s" % (o.get("ename", ""), o.get("evalue", ""))
            out.append((head, head))
        elif isinstance(o.get("data"), dict):
            head = "[%s]" % kind
            out.append((head, head))
            for mime, data in o["data"].items():
                if mime in _LINE_TYPES:
                    shown = "%s:" % mime
                    out.append((shown, shown))
                    out.extend((line, line) for line in _lines(_text(data)))
                else:
                    raw = _text(data)
                    shown = "%s %s" % (
                        mime,
                        _size(_binary_size(raw) if _is_base64(mime) else len(raw)),
                    )
                    if digest:  # the same in every process: for textconv
                        shown += " %08x" % zlib.crc32(raw.encode("utf-8", "replace"))
                    out.append((shown, "\0binary\0%s %x" % (shown, hash(raw))))
        else:
            line = _value(o)
            out.append((line, line))
    return out


def cell_title(change):
    """A cell's name as the text shows it: its number and component name or first line."""
    at = change.new_index if change.new_index is not None else change.old_index
    kind = change.cell_type if isinstance(change.cell_type, str) else "cell"
    if change.name is not None:
        return "cell %d [%s] component %s" % (
            at + 1,
            kind,
            json.dumps(change.name, ensure_ascii=False),
        )
    title = change.title or ""
    if len(title) > 60:
        title = title[:57] + "..."
    return "cell %d [%s]%s" % (
        at + 1,
        kind,
        (" " + json.dumps(title, ensure_ascii=False)) if title else "",
    )


# Control characters (but the tab) of names, paths and notebook text are shown as escapes, so
# that what a notebook holds can neither drive the terminal nor forge a line of ours.
_CONTROL = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\u2028\u2029]")


def _visible(line):
    return _CONTROL.sub(lambda m: repr(m.group())[1:-1], line)


class _Text:
    def __init__(self, colour):
        self.lines = []
        self.colour = colour

    def put(self, line, style=None):
        line = _visible(line)
        if style and self.colour:
            line = COLOURS[style] + line + COLOURS["reset"]
        self.lines.append(line)

    def hunks(self, hunks, indent):
        for header, part in hunks:
            self.put(indent + header, "frag")
            for mark, line in part:
                self.put(
                    indent + mark + line, "old" if mark == "-" else "new" if mark == "+" else None
                )


def _outputs_text(t, old, new, indent):
    a, b = _output_lines(old), _output_lines(new)
    # What a binary entry shows ("image/png 14.2 kB"), to tell it from text lines.
    binary = {shown for shown, key in a + b if key.startswith("\0binary\0")}
    hunks = line_hunks(
        [x[0] for x in a], [x[0] for x in b], keys=([x[1] for x in a], [x[1] for x in b])
    )
    for header, part in hunks:
        t.put(indent + header, "frag")
        k = 0
        while k < len(part):
            mark, line = part[k]
            # A binary entry replaced by one of the same type: one line, old size -> new.
            if mark == "-":
                run = k
                while run < len(part) and part[run][0] == "-":
                    run += 1
                adds = run
                while adds < len(part) and part[adds][0] == "+":
                    adds += 1
                removed, added = part[k:run], part[run:adds]
                free = {}
                for n, (_, line) in enumerate(added):
                    if line in binary:
                        free.setdefault(line.split(" ", 1)[0], collections.deque()).append(n)
                taken, shown = set(), []
                for m, line in removed:
                    queue = free.get(line.split(" ", 1)[0]) if line in binary else None
                    if queue:
                        n = queue.popleft()
                        taken.add(n)
                        shown.append(("~", "%s → %s" % (line, added[n][1].split(" ", 1)[1])))
                    else:
                        shown.append((m, line))
                lone = [x for n, x in enumerate(added) if n not in taken]
                for m, line in shown + lone:
                    t.put(indent + m + line, "old" if m == "-" else "new" if m == "+" else "moved")
                k = adds
                continue
            t.put(indent + mark + line, "new" if mark == "+" else None)
            k += 1


def _detail_text(t, d, indent="    "):
    a, b = d.old, d.new
    if d.aspect == "source":
        t.put(indent[:-2] + "source:")
        t.hunks(line_hunks(_lines(a), _lines(b)), indent)
    elif d.aspect == "outputs":
        t.put(indent[:-2] + "outputs:")
        _outputs_text(t, a, b, indent)
    elif d.aspect == "name":
        t.put(indent[:-2] + "renamed: %s → %s" % (_value(a), _value(b)))
    elif d.aspect == "parents":
        if a:
            t.put(indent[:-2] + "parents removed: " + ", ".join(_value(x) for x in a), "old")
        if b:
            t.put(indent[:-2] + "parents added: " + ", ".join(_value(x) for x in b), "new")
    elif d.aspect == "comments":
        for c in a:
            t.put(indent[:-2] + "comment removed: " + _comment(c), "old")
        for c in b:
            t.put(indent[:-2] + "comment added: " + _comment(c), "new")
    elif d.aspect == "headerColor":
        t.put(indent[:-2] + "header colour: %s → %s" % (_value(a), _value(b)))
    else:
        t.put(indent[:-2] + "%s: %s → %s" % (d.aspect, _value(a), _value(b)))


def _comment(c):
    if isinstance(c, dict) and isinstance(c.get("text"), str):
        who = c.get("author")
        return ("%s: %s" % (who, c["text"])) if isinstance(who, str) else c["text"]
    return _value(c)


def render(changes, colour=False):
    """The changes as lines of text (without line ends)."""
    t = _Text(colour)
    for ch in changes:
        if ch.kind == "parameter":
            d = ch.details[0]
            if d.aspect == "parameter" and d.old is MISSING:
                t.put("parameter added: %s = %s" % (_value(ch.name), _param(d.new)), "new")
            elif d.aspect == "parameter" and d.new is MISSING:
                t.put("parameter removed: %s = %s" % (_value(ch.name), _param(d.old)), "old")
            else:
                t.put(
                    "parameter changed: %s: %s"
                    % (
                        _value(ch.name),
                        "; ".join(
                            "%s %s → %s" % (x.aspect, _value(x.old), _value(x.new))
                            for x in ch.details
                        ),
                    ),
                    "meta",
                )
        elif ch.kind in ("metadata", "notebook"):
            d = ch.details[0]
            what = "notebook metadata" if ch.kind == "metadata" else "notebook"
            t.put("%s %s: %s → %s" % (what, ch.name, _value(d.old), _value(d.new)), "meta")
        elif ch.kind in ("added", "deleted"):
            t.put("%s: %s" % (cell_title(ch), ch.kind), "new" if ch.kind == "added" else "old")
            for d in ch.details:
                if d.aspect == "source":
                    for line in _lines(d.old or d.new):
                        t.put(
                            "    " + ("+" if ch.kind == "added" else "-") + line,
                            "new" if ch.kind == "added" else "old",
                        )
                elif d.aspect == "outputs":
                    lines = _output_lines(d.old or d.new)
                    if lines:
                        t.put("  outputs:")
                    for shown, _ in lines:
                        t.put(
                            "    " + ("+" if ch.kind == "added" else "-") + shown,
                            "new" if ch.kind == "added" else "old",
                        )
        else:
            if ch.kind == "moved":
                t.put(
                    "%s: moved from cell %d%s"
                    % (cell_title(ch), ch.old_index + 1, " and changed" if ch.details else ""),
                    "moved",
                )
            else:
                t.put("%s: changed" % cell_title(ch), "meta")
            for d in ch.details:
                _detail_text(t, d)
    return t.lines


def _param(p):
    if isinstance(p, dict):
        rest = {k: v for k, v in p.items() if k != "name"}
        if list(rest) == ["value"]:
            return _value(rest["value"])
        return _value(rest)
    return _value(p)


def show(notebook):
    """One notebook as text, a cell view for git's textconv: no cell numbers, execution
    counts or cell ids, so that a line diff of two of them shows what changed, cell by cell;
    binary outputs as type, size and checksum."""
    out = []
    for p in _parameters(notebook):
        out.append(
            "parameter %s = %s"
            % (_value(p.get("name") if isinstance(p, dict) else None), _param(p))
        )
    meta = notebook.get("metadata")
    if isinstance(meta, dict):
        for key, value in meta.items():
            if key == "canvas" and isinstance(value, dict):
                for ckey, cvalue in value.items():
                    if ckey != "parameters":
                        out.append("notebook metadata canvas.%s = %s" % (ckey, _value(cvalue)))
            else:
                out.append("notebook metadata %s = %s" % (key, _value(value)))
    names = _names(notebook)
    for cell in notebook["cells"]:
        kind = cell.get("cell_type")
        name = _name(cell)
        out.append("")
        out.append(
            "[%s]%s"
            % (
                kind if isinstance(kind, str) else "cell",
                (" component " + _value(name)) if name is not None else "",
            )
        )
        canvas = _canvas(cell) or {}
        parents = _parent_names(_parent_ids(canvas), names, canvas.get("parents") or ())
        if parents:
            out.append("  parents: " + ", ".join(_value(p) for p in parents))
        for c in canvas.get("comments") or ():
            out.append("  comment: " + _comment(c))
        if "headerColor" in canvas:
            out.append("  header colour: " + _value(canvas["headerColor"]))
        for key, value in canvas.items():
            if key not in ("id", "name", "parents", "comments", "headerColor"):
                out.append("  canvas.%s: %s" % (key, _value(value)))
        m = cell.get("metadata")
        for key, value in m.items() if isinstance(m, dict) else ():
            if key != "canvas":
                out.append("  metadata.%s: %s" % (key, _value(value)))
        for key, value in cell.items():
            if key not in ("cell_type", "metadata", "source", "outputs", "execution_count", "id"):
                out.append("  %s: %s" % (key, _value(value)))
        out.extend("    " + line for line in _lines(_text(cell.get("source", ""))))
        outputs = cell.get("outputs")
        if isinstance(outputs, list) and outputs:
            out.append("  outputs:")
            out.extend("    " + shown for shown, _ in _output_lines(outputs, digest=True))
    return out


# ---- command line ------------------------------------------------------------------------

USAGE = """\
usage: %(prog)s diff [--color[=WHEN]] [--no-color] [--all] [--no-outputs] OLD NEW

Show what changed from notebook OLD to NEW, cell by cell, in notebook order: each changed cell
once, named by its number and component name (a plain cell by its first source line): added,
deleted, moved (from where) or changed. Sources as a unified line diff; canvas changes in
words (renamed, parents and comments added or removed, header colour); notebook parameters
and metadata per key; outputs summarised (text as a line diff, images, HTML and other rich
data as type and size). Cells pair as the merge pairs them: by component id, plain cells by cell
id, else by content.

  --color[=WHEN]  colour the output: auto (default: when writing to a terminal and NO_COLOR
                  is not set), always or never; --no-color is --color=never
  --all           also show execution counts and cell ids
  --no-outputs    leave outputs out

A file that is not a notebook gets a line diff of its text and a line saying so. Exit status
0, whatever the changes; 2 when a file cannot be read or the command line is wrong.

As git runs it (install sets this up): with 7 or 9 arguments after --git, it is git's
external diff command (PATH OLD-FILE OLD-HEX OLD-MODE NEW-FILE NEW-HEX NEW-MODE [NEW-PATH
INFO]); with one FILE after --textconv it writes the cell view of one notebook for git's
textconv (git log -p, git show).
"""


class _Usage(Exception):
    pass


def _parse(argv):
    opts = {"color": "auto", "all": False, "outputs": True, "git": False, "textconv": False}
    files = []
    args = list(argv)
    while args:
        a = args.pop(0)
        if a == "--":
            files.extend(args)
            break
        if a in ("-h", "--help"):
            opts["help"] = True
        elif a == "--color":
            opts["color"] = "always"
        elif a.startswith("--color="):
            opts["color"] = a.split("=", 1)[1]
            if opts["color"] not in ("auto", "always", "never"):
                raise _Usage("--color takes auto, always or never, not %r" % opts["color"])
        elif a == "--no-color":
            opts["color"] = "never"
        elif a == "--all":
            opts["all"] = True
        elif a == "--no-outputs":
            opts["outputs"] = False
        elif a == "--git":
            opts["git"] = True
        elif a == "--textconv":
            opts["textconv"] = True
        elif a.startswith("-") and a != "-":
            raise _Usage("unknown option: %s" % a)
        else:
            files.append(a)
    if opts.get("help"):
        return opts, files
    wanted = "1" if opts["textconv"] else "7 or 9" if opts["git"] else "2"
    if str(len(files)) not in wanted.split(" or "):
        raise _Usage("takes %s files, not %d" % (wanted, len(files)))
    return opts, files


def _want_colour(choice, stream, under_git):
    if choice != "auto":
        return choice == "always"
    if os.environ.get("NO_COLOR"):
        return False
    try:
        tty = stream.isatty()
    except (AttributeError, ValueError):
        tty = False
    if under_git:
        # Colour as git colours its diffs there (color.diff, color.ui, the pager's colour
        # setting; "always" into a file or pipe too): git passes no --color to an external
        # diff command, but `git -c color.diff=always` reaches the config.
        import subprocess

        from corvane_git.scripts.merge_driver.git_wiring import runner

        try:
            proc = runner.run(
                ["config", "--get-colorbool", "color.diff", "true" if tty else "false"],
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
            )
        except OSError:
            return False
        return proc.stdout.strip() == b"true"
    return tty and os.environ.get("TERM") != "dumb" and _console_takes_colour(stream)


def _console_takes_colour(stream):
    """Whether a terminal shows colour escapes: on Windows, a console where they can be
    switched on (Windows 10 and later); elsewhere, always."""
    if os.name != "nt":
        return True
    try:
        import ctypes
        import msvcrt

        kernel = ctypes.windll.kernel32  # type: ignore[attr-defined]
        handle = msvcrt.get_osfhandle(stream.fileno())  # type: ignore[attr-defined]
        mode = ctypes.c_uint32()
        if not kernel.GetConsoleMode(handle, ctypes.byref(mode)):
            return True  # not a console (mintty and the like): it reads escapes
        return bool(kernel.SetConsoleMode(handle, mode.value | 0x0004))  # VT processing
    except (AttributeError, OSError, ValueError, ImportError):
        return False


def _write(lines):
    # UTF-8 whatever the console's or the locale's encoding (Windows too); "\n" line ends.
    data = "".join(line + "\n" for line in lines).encode("utf-8", "surrogateescape")
    out = getattr(sys.stdout, "buffer", None)
    if out is None:
        sys.stdout.write(data.decode("utf-8"))
        return
    sys.stdout.flush()
    out.write(data)
    out.flush()


def _text_diff(old_text, new_text, label_a, label_b, colour, why):
    t = _Text(colour)
    t.put("%s: %s; a line diff of the text follows" % (PROG, why))
    hunks = line_hunks(_lines(old_text), _lines(new_text))
    if hunks:
        t.put("--- " + label_a, "meta")
        t.put("+++ " + label_b, "meta")
        t.hunks(hunks, "")
    return t.lines


def main(argv):
    """`diff` of the command line: the exit status."""
    try:
        opts, files = _parse(argv)
    except _Usage as exc:
        sys.stderr.write("%s diff: error: %s\n" % (PROG, _visible(str(exc))))
        sys.stderr.write("usage: %s diff [--color[=WHEN]] [--all] [--no-outputs] OLD NEW\n" % PROG)
        return 2
    if opts.get("help"):
        _write([USAGE.rstrip("\n") % {"prog": PROG}])
        return 0
    try:
        if opts["textconv"]:
            notebook, text = load(files[0])
            _write(
                [
                    _visible(line)
                    for line in (show(notebook) if notebook is not None else _lines(text))
                ]
            )
            return 0
        if opts["git"]:
            path, old_file, new_file = files[0], files[1], files[4]
            label_a, label_b = "a/" + path, "b/" + (files[7] if len(files) == 9 else path)
        else:
            old_file, new_file = files
            label_a, label_b = old_file, new_file
        colour = _want_colour(opts["color"], sys.stdout, opts["git"])
        (old, old_text), (new, new_text) = load(old_file), load(new_file)
    except NotReadable as exc:
        sys.stderr.write("%s diff: error: %s\n" % (PROG, _visible(str(exc))))
        return 2
    t = _Text(colour)
    if opts["git"]:
        t.put("diff --git %s %s" % (label_a, label_b), "meta")
    if old is None or new is None:
        which = " and ".join(
            f
            for f, nb in (
                (old_file if not opts["git"] else label_a, old),
                (new_file if not opts["git"] else label_b, new),
            )
            if nb is None
        )
        lines = t.lines + _text_diff(
            old_text,
            new_text,
            label_a,
            label_b,
            colour,
            "%s %s not a notebook" % (which, "are" if " and " in which else "is"),
        )
    else:
        changes = diff(old, new, show_all=opts["all"], outputs=opts["outputs"])
        lines = t.lines + render(changes, colour)
        if not changes and old != new:
            lines.append(
                "only %s differ (not shown%s)"
                % (
                    "execution counts, cell ids or outputs"
                    if not opts["outputs"]
                    else "execution counts or cell ids",
                    "" if opts["git"] else "; --all shows them",
                )
            )
        elif not changes and old_text != new_text:
            lines.append("the same notebook, written in another layout")
        if not changes and opts["git"] and len(lines) == 1:
            return 0
    _write(lines)
    return 0
