"""Small notebooks with a canvas layer, and three-way merges of them through merge_files.

    base = notebook(cell("A", "loader", "x = 1\n"), cell("B", parents=["A"]),
                    parameters=[parameter("rate", "0.1")])
    result = merge(tmp_path, base, ours, theirs)      # the merged notebook, parsed
"""
import copy
import glob
import json
import os
import re

from corvane_git.scripts.merge_driver import merge_ipynb

FILE_PATH = "notebook.ipynb"

# Real notebooks: the small and medium ones live with the tests, the large ones with the
# benchmark; the slow run (CORVANE_SLOW_TESTS=1) takes both.
SLOW = os.environ.get("CORVANE_SLOW_TESTS", "") not in ("", "0")
_HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS_DIRS = [os.path.join(_HERE, "data", "corpus")] + \
    ([os.path.join(_HERE, os.pardir, "bench", "corpus")] if SLOW else [])
CORPUS = sorted(f for d in CORPUS_DIRS for f in glob.glob(os.path.join(d, "*.ipynb")))
UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def lines(text):
    """A cell source as a line list: each line keeps its line feed, the last may have none."""
    return text.splitlines(keepends=True) if isinstance(text, str) else list(text)


def parent(link_id, name=None):
    """A parent entry; it carries the parent's name the way the editor writes it."""
    return {"id": link_id, "name": name if name is not None else "name of " + link_id}


def comment(text, author="ana"):
    return {"author": author, "text": text}


def cell(link_id, name=None, source="x = 1\n", *, cell_id=None, parents=(), comments=(),
         header_color="#ffffff", outputs=(), execution_count=None, cell_type="code"):
    """A cell dict whose canvas map makes it component `link_id`; named cells are components.

    `parents` holds link ids (turned into parent entries with a name) or ready entries;
    `header_color` None leaves the key out."""
    canvas = {
        "comments": [dict(c) for c in comments],
        "headerColor": header_color,
        "id": link_id,
        "name": name,
        "parents": [parent(p) if isinstance(p, str) else dict(p) for p in parents],
    }
    if header_color is None:
        del canvas["headerColor"]
    result = {"cell_type": cell_type}
    if cell_type == "code":
        result["execution_count"] = execution_count
    result["id"] = cell_id if cell_id is not None else "cell-%s" % (link_id,)
    result["metadata"] = {"canvas": canvas}
    if cell_type == "code":
        result["outputs"] = [dict(o) for o in outputs]
    result["source"] = lines(source)
    return result


def stream(text):
    """A stream output, for cells whose outputs change."""
    return {"name": "stdout", "output_type": "stream", "text": lines(text)}


def parameter(name, value="1", **extra):
    p = dict({"name": name}, **extra)
    p["value"] = value
    return p


def param(name, value):
    """A parameter as the editor writes it: typed by its value."""
    return parameter(name, value, type=type(value).__name__)


def notebook(*cells, parameters=(), **metadata):
    """A notebook document: the cells, the canvas parameters and other notebook metadata."""
    meta = dict(metadata)
    meta["canvas"] = {"parameters": [dict(p) for p in parameters]}
    return {"cells": [copy.deepcopy(c) for c in cells], "metadata": meta,
            "nbformat": 4, "nbformat_minor": 5}


def canvas(cell_dict):
    return cell_dict["metadata"]["canvas"]


def find(nb, link_id):
    """The cell of component `link_id` (a copy-free lookup; the id must be there once)."""
    found = [c for c in nb["cells"] if canvas(c)["id"] == link_id]
    assert len(found) == 1, (link_id, [canvas(c)["id"] for c in nb["cells"]])
    return found[0]


def change(nb, link_id, **canvas_changes):
    """The cell of component `link_id` in `nb`, its canvas updated in place with the changes."""
    found = find(nb, link_id)
    canvas(found).update(canvas_changes)
    return found


def set_param(nb, name, value):
    for p in canvas(nb)["parameters"]:
        if p["name"] == name:
            p["value"] = value


def names(nb):
    return [canvas(c)["name"] for c in nb["cells"]]


def base_notebook():
    """The notebook of the git tests: a markdown-like note, three components in a chain, two
    typed parameters; parent entries without names and no header colours, as older editors
    wrote them."""
    return notebook(
        cell("notes", None, "# Notes\nline two\nline three\n", header_color=None),
        cell("load", "load", "import pandas\ndf = pandas.read_csv(path)\n", header_color=None),
        cell("train", "train", "model = fit(df)\nscore = model.score(df)\n", parents=[{"id": "load"}],
             header_color=None),
        cell("plot", "plot", "plot(model)\n", parents=[{"id": "train"}], header_color=None),
        parameters=[param("alpha", 0.1), param("epochs", 10)])


def plain_cell(source, cell_id=None, run=None, **metadata):
    """A code cell as plain Jupyter writes it: no canvas map, the metadata given, the id "c-"
    and the first word of its source unless given; `run` its execution count, with one output."""
    c = {"cell_type": "code", "execution_count": run,
         "id": cell_id or "c-" + source.split()[0], "metadata": dict(metadata),
         "outputs": [], "source": lines(source)}
    if run is not None:
        c["outputs"] = [{"name": "stdout", "output_type": "stream", "text": ["out %d\n" % run]}]
    return c


def plain_notebook(*cells, **metadata):
    """A notebook without the component layer, as Jupyter writes it."""
    return {"cells": [copy.deepcopy(c) for c in cells],
            "metadata": dict({"kernelspec": {"name": "python3", "display_name": "Python 3",
                                             "language": "python"}}, **metadata),
            "nbformat": 4, "nbformat_minor": 5}


def plain(nb):
    """`nb` as plain Jupyter writes it: no component layer on the cells or the notebook."""
    for c in nb["cells"]:
        del c["metadata"]["canvas"]
    del nb["metadata"]["canvas"]
    return nb


def layered_top(nb):
    """`nb` with the notebook's part of the component layer (its parameters) only, which no
    merge takes with plain cells."""
    nb["metadata"]["canvas"] = {"parameters": []}
    return nb


def edit(nb, link_id, **changes):
    """A deep copy of `nb` with cell `link_id` changed: source=, name=, header_color=, comments=,
    parents=, outputs=, execution_count=, or any canvas key through canvas_<key>=."""
    nb = copy.deepcopy(nb)
    target = find(nb, link_id)
    for key, value in changes.items():
        if key == "source":
            target["source"] = lines(value)
        elif key in ("outputs", "execution_count"):
            target[key] = value
        elif key == "header_color":
            canvas(target)["headerColor"] = value
        elif key == "parents":
            canvas(target)["parents"] = [parent(p) if isinstance(p, str) else dict(p) for p in value]
        elif key.startswith("canvas_"):
            canvas(target)[key[len("canvas_"):]] = value
        else:
            canvas(target)[key] = value
    return nb


def without(nb, *link_ids):
    """A deep copy of `nb` without the cells of the given components."""
    nb = copy.deepcopy(nb)
    nb["cells"] = [c for c in nb["cells"] if canvas(c)["id"] not in link_ids]
    return nb


def with_cells(nb, *cells, after=None):
    """A deep copy of `nb` with cells added at the end, or right after component `after`."""
    nb = copy.deepcopy(nb)
    new = [copy.deepcopy(c) for c in cells]
    if after is None:
        nb["cells"].extend(new)
    else:
        at = [canvas(c)["id"] for c in nb["cells"]].index(after) + 1
        nb["cells"][at:at] = new
    return nb


def with_parameters(nb, *parameters):
    nb = copy.deepcopy(nb)
    canvas(nb)["parameters"] = [dict(p) for p in parameters]
    return nb


def dumps(nb, layout="jupyter"):
    """The file text of a notebook: "jupyter" as the editor saves it (indent 1, raw non-ASCII,
    final line feed), "compact" as the merge writes it."""
    if layout == "jupyter":
        return json.dumps(nb, indent=1, ensure_ascii=False) + "\n"
    if layout == "compact":
        return json.dumps(nb)
    raise ValueError(layout)


def write(path, nb, layout="jupyter"):
    """Writes a notebook laid out as `layout`, or file text (str) or bytes as they are."""
    data = nb if isinstance(nb, bytes) else (nb if isinstance(nb, str) else dumps(nb, layout)).encode()
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


class ThreeWay:
    """The three files of one merge in `directory`, named as git names them for a driver."""

    def __init__(self, directory, base, ours, theirs, layout="jupyter"):
        self.directory = str(directory)
        self.base = os.path.join(self.directory, "base.ipynb")
        self.ours = os.path.join(self.directory, "ours.ipynb")
        self.theirs = os.path.join(self.directory, "theirs.ipynb")
        for path, nb in ((self.base, base), (self.ours, ours), (self.theirs, theirs)):
            write(path, nb, layout)
        self.written = self.snapshot()

    def run(self, file_path=FILE_PATH):
        return merge_ipynb.merge_files(self.base, self.ours, self.theirs, file_path)

    def result(self):
        return read(self.ours)

    def text(self):
        with open(self.ours, encoding="utf-8") as f:
            return f.read()

    def snapshot(self):
        """Every file in the directory with its bytes: to check that a failed merge changed nothing."""
        files = {}
        for name in sorted(os.listdir(self.directory)):
            with open(os.path.join(self.directory, name), "rb") as f:
                files[name] = f.read()
        return files

    def unchanged(self, but=None):
        """Whether the directory holds the three files as written (but the file named `but`)."""
        now, written = self.snapshot(), dict(self.written)
        for files in (now, written):
            files.pop(but and os.path.basename(getattr(self, but)), None)
        return now == written


def merge(directory, base, ours, theirs, file_path=FILE_PATH, layout="jupyter"):
    """Writes the three notebooks, merges them and returns the merged notebook, parsed."""
    three = ThreeWay(directory, base, ours, theirs, layout)
    assert three.run(file_path) is None
    return three.result()


def summary(nb):
    """(component id, name, source text) of each cell, in order."""
    return [(canvas(c)["id"], canvas(c)["name"], "".join(c["source"])) for c in nb["cells"]]


def add_canvas_layer(nb, name_every=2, parameters=()):
    """Gives a notebook without a canvas layer one: every cell becomes component "comp-<n>" and
    `name_every`-th code cell, from the first, is named "step <n>" with the previous named cell
    as its parent. Changes `nb` in place and returns it."""
    previous = None
    code_cells = 0
    for n, c in enumerate(nb["cells"]):
        named = c["cell_type"] == "code" and code_cells % name_every == 0
        code_cells += c["cell_type"] == "code"
        c.setdefault("metadata", {})["canvas"] = {
            "comments": [],
            "headerColor": "#ffffff",
            "id": "comp-%d" % n,
            "name": "step %d" % n if named else None,
            "parents": [parent(previous, "step")] if named and previous else [],
        }
        if named:
            previous = "comp-%d" % n
    nb["metadata"]["canvas"] = {"parameters": [dict(p) for p in parameters]}
    return nb


class OsWithoutReplace:
    """The os module, except that replacing a file fails with PermissionError("locked")."""

    def __getattr__(self, name):
        return getattr(os, name)

    def replace(self, src, dst):
        raise PermissionError("locked")
