"""Reading a parsed notebook's parts whatever the file holds: each accessor gives what is
there in the expected kind, or an empty (or None) stand-in, and never raises.

Where two readers want different things, there are two accessors with their own names:
`cell_maps` drops cells that are not maps, `cell_list` gives the list as it is;
`parameters` drops parameters that are not maps, `parameter_list` gives the list as it is;
`source_lines` gives a source's lines without their ends, `shown_lines` the lines as Jupyter
shows them, each with its end; `canvas` gives {} where `canvas_or_none` gives None.
"""

import re


def canvas(item):
    """The "metadata" -> "canvas" map of a cell or notebook (the object itself), else a new {}."""
    meta = item.get("metadata") if isinstance(item, dict) else None
    found = meta.get("canvas") if isinstance(meta, dict) else None
    return found if isinstance(found, dict) else {}


def canvas_or_none(cell):
    """The "metadata" -> "canvas" map of a cell, else None."""
    try:
        found = cell["metadata"]["canvas"]
    except (KeyError, TypeError, IndexError):
        return None
    return found if isinstance(found, dict) else None


def metadata_or_none(cell):
    """A cell's "metadata" map, else None."""
    meta = cell.get("metadata") if isinstance(cell, dict) else None
    return meta if isinstance(meta, dict) else None


def cell_list(notebook):
    """The "cells" list as it is (its items of any kind), else []."""
    cells = notebook.get("cells") if isinstance(notebook, dict) else None
    return cells if isinstance(cells, list) else []


def cell_maps(notebook):
    """The cells that are maps, in order (a new list)."""
    cells = notebook.get("cells") if isinstance(notebook, dict) else None
    return [c for c in cells if isinstance(c, dict)] if isinstance(cells, list) else []


def parameter_list(notebook):
    """The "metadata" -> "canvas" -> "parameters" list as it is, else []."""
    params = canvas(notebook).get("parameters")
    return params if isinstance(params, list) else []


def parameters(notebook):
    """The parameters that are maps, in order (a new list)."""
    params = canvas(notebook).get("parameters")
    return [p for p in params if isinstance(p, dict)] if isinstance(params, list) else []


def source_lines(cell):
    """The lines of a cell's source (a map's), without their line ends; the strings of a
    list, as they are."""
    source = cell.get("source")
    if isinstance(source, str):
        return source.splitlines()
    return [s for s in source if isinstance(s, str)] if isinstance(source, list) else []


# A line as Jupyter's editor shows it: up to "\n", "\r\n" or "\r", or the text's end.
_LINE = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+")


def shown_lines(cell):
    """A cell's source as the lines that Jupyter shows, each with its line end ([] when it has
    none).  A list's elements are joined first: one may hold several lines, or part of one."""
    source = cell.get("source") if isinstance(cell, dict) else None
    if isinstance(source, list) and all(isinstance(s, str) for s in source):
        source = "".join(source)
    return _LINE.findall(source) if isinstance(source, str) else []


def hashable(value):
    """Whether a JSON value can be a key: a string, number, boolean or null."""
    return isinstance(value, (str, int, float, bool, type(None)))


def component_id(cell):
    """A cell's component id where it is a JSON scalar, else None."""
    value = canvas(cell).get("id")
    return value if hashable(value) else None


def without_layer(notebook):
    """Whether a parsed file is a notebook without the component layer, as the plain merge
    takes it: a map with a "cells" array of maps, and no "metadata" -> "canvas" in the
    notebook or in any cell."""
    if not isinstance(notebook, dict) or not isinstance(notebook.get("cells"), list):
        return False
    meta = notebook.get("metadata")
    if isinstance(meta, dict) and "canvas" in meta:
        return False
    for cell in notebook["cells"]:
        if not isinstance(cell, dict):
            return False
        meta = cell.get("metadata")
        if isinstance(meta, dict) and "canvas" in meta:
            return False
    return True
