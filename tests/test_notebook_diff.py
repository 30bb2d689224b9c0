"""The notebook diff: each kind of edit appears, named and in words, and nothing else does."""
import base64
import copy
import json
import os

import pytest

from corvane_git.scripts.merge_driver.pages import notebook_diff
from notebooks import base_notebook, change, param, set_param


def png(size):
    return base64.b64encode(bytes(range(256)) * (size // 256)).decode("ascii")


def component_notebook():
    nb = base_notebook()
    nb["cells"][2]["outputs"] = [
        {"output_type": "stream", "name": "stdout", "text": ["score 0.5\n", "done\n"]},
        {"output_type": "display_data", "metadata": {},
         "data": {"image/png": png(2048), "text/html": "<b>0.5</b>"}}]
    nb["cells"][2]["execution_count"] = 3
    return nb


def plain_notebook():
    cells = [{"cell_type": "markdown", "metadata": {}, "source": ["# Title\n", "intro"]},
             {"cell_type": "code", "execution_count": 1, "metadata": {}, "outputs": [],
              "source": ["import os\n", "x = 1\n", "y = 2"]},
             {"cell_type": "code", "execution_count": 2, "metadata": {}, "outputs": [],
              "source": ["print(x)"]},
             {"cell_type": "code", "execution_count": 3, "metadata": {}, "outputs": [],
              "source": ["def f():\n", "    return 1"]}]
    return {"cells": cells, "metadata": {"kernelspec": {"name": "python3"}},
            "nbformat": 4, "nbformat_minor": 4}


def corpus_notebook(ids=True):
    with open(os.path.join(os.path.dirname(__file__), "data", "corpus",
                           "numpy100_exercises.ipynb"), encoding="utf-8") as f:
        nb = json.load(f)
    for c in nb["cells"] if not ids else ():
        del c["id"]
    return nb


def _corpus_edits(nb):
    """Cell 21 moved to 3, cell 5 edited, cell 11 deleted, a cell added as cell 31."""
    cells = nb["cells"]
    cells.insert(2, cells.pop(20))
    cells[5]["source"] = cells[5]["source"] + [" (edited)"]
    del cells[11]
    cells.insert(30, {"cell_type": "code", "execution_count": None, "id": "added",
                      "metadata": {}, "outputs": [], "source": ["np.zeros(3)"]})


def _escapes(nb):
    cell = change(nb, "load")
    cell["metadata"]["canvas"]["name"] = "lo\x1b[2Jad"
    cell["source"] = cell["source"] + ['print("\x1b[31m")\n']


CORPUS_CHANGES = [("moved", 20, 2, None, []), ("changed", 4, 5, None, ["source"]),
                  ("deleted", 10, None, None, ["source"]), ("added", None, 30, None, ["source"])]
CORPUS_SHOWN = ["    +#### 1. Import the numpy package under the name `np` (★☆☆) (edited)",
                'cell 11 [markdown] "#### 4. How to find the memory size of any array (★☆☆)": '
                'deleted', 'cell 31 [code] "np.zeros(3)": added']


def _edit_source(nb):
    change(nb, "train")["source"] = ["model = fit(df, steps=3)\n", "score = model.score(df)\n"]


def _rename(nb):
    change(nb, "train", name="fit")


def _relink(nb):
    change(nb, "plot", parents=[{"id": "load"}])


def _comment(nb):
    change(nb, "load", comments=[{"author": "ana", "text": "check the path"}])


def _colour(nb):
    change(nb, "load", headerColor="#ff0000")


def _add(nb):
    nb["cells"].insert(2, {"cell_type": "markdown", "id": "new", "metadata": {
        "canvas": {"id": "doc", "name": None, "parents": [], "comments": []}},
        "source": ["## Training\n"]})


def _delete(nb):
    del nb["cells"][1]


def _move(nb):
    nb["cells"].insert(0, nb["cells"].pop(3))


def _move_plain(nb):
    nb["cells"].insert(1, nb["cells"].pop(3))


def _edit_plain(nb):
    nb["cells"][1]["source"] = ["import os\n", "x = 10\n", "y = 2"]


def _params(nb):
    set_param(nb, "epochs", 20)
    nb["metadata"]["canvas"]["parameters"].append(param("seed", 7))
    del nb["metadata"]["canvas"]["parameters"][0]


def _notebook_metadata(nb):
    nb["metadata"]["kernelspec"] = {"name": "python3"}


def _cell_metadata(nb):
    change(nb, "load")
    nb["cells"][1]["metadata"]["tags"] = ["slow"]


def _outputs(nb):
    nb["cells"][2]["outputs"][0]["text"] = ["score 0.7\n", "done\n"]
    nb["cells"][2]["outputs"][1]["data"]["image/png"] = png(4096)
    nb["cells"][2]["outputs"][1]["data"]["text/html"] = "<b>0.75</b>"
    nb["cells"][2]["execution_count"] = 9


def _rerun(nb):
    nb["cells"][2]["execution_count"] = 9
    nb["cells"][2]["id"] = "renumbered"


# (id, old notebook, edit, options, expected (kind, old index, new index, name, aspects),
#  lines the text must show)
CASES = [
    ("source", component_notebook, _edit_source, {},
     [("changed", 2, 2, "train", ["source"])],
     ['cell 3 [code] component "train": changed', "    @@ -1,2 +1,2 @@",
      "    -model = fit(df)", "    +model = fit(df, steps=3)", "     score = model.score(df)"]),
    ("renamed", component_notebook, _rename, {},
     [("changed", 2, 2, "fit", ["name"])], ["  renamed: train → fit"]),
    ("parents", component_notebook, _relink, {},
     [("changed", 3, 3, "plot", ["parents"])],
     ["  parents removed: train", "  parents added: load"]),
    ("comment", component_notebook, _comment, {},
     [("changed", 1, 1, "load", ["comments"])], ["  comment added: ana: check the path"]),
    ("header colour", component_notebook, _colour, {},
     [("changed", 1, 1, "load", ["headerColor"])], ["  header colour: (none) → #ff0000"]),
    ("added", component_notebook, _add, {},
     [("added", None, 2, None, ["source"])],
     ['cell 3 [markdown] "## Training": added', "    +## Training"]),
    ("deleted", component_notebook, _delete, {},
     [("deleted", 1, None, "load", ["source"])],
     ['cell 2 [code] component "load": deleted', "    -import pandas"]),
    ("moved", component_notebook, _move, {},
     [("moved", 3, 0, "plot", [])], ['cell 1 [code] component "plot": moved from cell 4']),
    ("moved, plain", plain_notebook, _move_plain, {},
     [("moved", 3, 1, None, [])], ['cell 2 [code] "def f():": moved from cell 4']),
    ("edited, plain", plain_notebook, _edit_plain, {},
     [("changed", 1, 1, None, ["source"])],
     ['cell 2 [code] "import os": changed', "    -x = 1", "    +x = 10"]),
    ("parameters", component_notebook, _params, {},
     [("parameter", None, None, "epochs", ["value"]),
      ("parameter", None, None, "seed", ["parameter"]),
      ("parameter", None, None, "alpha", ["parameter"])],
     ["parameter changed: epochs: value 10 → 20", "parameter added: seed = "
      '{"type": "int", "value": 7}', 'parameter removed: alpha = {"type": "float", "value": 0.1}']),
    ("notebook metadata", component_notebook, _notebook_metadata, {},
     [("metadata", None, None, "kernelspec", ["kernelspec"])],
     ['notebook metadata kernelspec: (none) → {"name": "python3"}']),
    ("cell metadata", component_notebook, _cell_metadata, {},
     [("changed", 1, 1, "load", ["metadata.tags"])], ['  metadata.tags: (none) → ["slow"]']),
    ("outputs", component_notebook, _outputs, {},
     [("changed", 2, 2, "train", ["outputs"])],
     ["  outputs:", "    -score 0.5", "    +score 0.7", "    ~image/png 2.0 kB → 4.1 kB",
      "    ~text/html 10 B → 11 B"]),
    ("outputs hidden", component_notebook, _outputs, {"outputs": False}, [], []),
    ("outputs, all", component_notebook, _outputs, {"show_all": True},
     [("changed", 2, 2, "train", ["execution_count", "outputs"])],
     ["  execution_count: 3 → 9"]),
    ("terminal escapes", component_notebook, _escapes, {},
     [("changed", 1, 1, "lo\x1b[2Jad", ["name", "source"])],
     ["  renamed: load → lo\\x1b[2Jad", '    +print("\\x1b[31m")']),
    ("corpus, by cell id", corpus_notebook, _corpus_edits, {}, CORPUS_CHANGES, CORPUS_SHOWN),
    ("corpus, by content", lambda: corpus_notebook(ids=False), _corpus_edits, {},
     CORPUS_CHANGES, CORPUS_SHOWN),
    ("re-run only", component_notebook, _rerun, {}, [], []),
    ("re-run, all", component_notebook, _rerun, {"show_all": True},
     [("changed", 2, 2, "train", ["execution_count", "id"])],
     ["  execution_count: 3 → 9", "  id: cell-train → renumbered"]),
]


@pytest.mark.parametrize("old_of, edit, options, expected, shown",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_each_edit_appears_and_nothing_else(old_of, edit, options, expected, shown):
    old = old_of()
    new = copy.deepcopy(old)
    edit(new)
    changes = notebook_diff.diff(old, new, **options)
    assert [(c.kind, c.old_index, c.new_index, c.name, [d.aspect for d in c.details])
            for c in changes] == expected
    text = notebook_diff.render(changes)
    for line in shown:
        assert line in text, (line, text)
    assert not any("\x1b" in line for line in text)
    # Every line of the text belongs to one of the changes: a header per change, then details.
    headers = [l for l in text if not l.startswith(" ")]
    assert len(headers) == len(expected)
    assert notebook_diff.diff(new, new, **options) == []


@pytest.mark.parametrize("files, code, out, err", [
    (("old.ipynb", "new.ipynb"), 0, 'cell 3 [code] component "train": changed', ""),
    (("old.ipynb", "text.ipynb"), 0,
     "corvane-merge-driver: text.ipynb is not a notebook; a line diff of the text follows", ""),
    (("old.ipynb", "missing.ipynb"), 2, "", "corvane-merge-driver diff: error: cannot read "
     "missing.ipynb: No such file or directory\n"),
    (("--color=sometimes", "old.ipynb", "new.ipynb"), 2, "", "--color takes auto"),
])
def test_command(tmp_path, monkeypatch, capsysbinary, files, code, out, err):
    old = component_notebook()
    new = copy.deepcopy(old)
    _edit_source(new)
    (tmp_path / "old.ipynb").write_text(json.dumps(old, indent=1))
    (tmp_path / "new.ipynb").write_text(json.dumps(new, indent=1))
    (tmp_path / "text.ipynb").write_text("{ not json\nsecond line\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("NO_COLOR", raising=False)
    assert notebook_diff.main(list(files)) == code
    captured = capsysbinary.readouterr()
    assert out.encode() in captured.out
    assert err.encode() in captured.err
    assert b"\x1b[" not in captured.out   # no colour into a pipe
    if "text.ipynb" in files:
        assert b"\n+{ not json\n+second line\n" in captured.out
