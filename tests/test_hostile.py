"""Hostile notebooks: each gets a clear error or a sound merge, never a crash, never a lost file.

Every row of HOSTILE breaks one side of a merge in which both sides changed things, so that the
merge reads every place it can read (sources, names, parents, comments, parameters). For every
row: merge_files raises the error given (or merges, where the notebook is fine after all), the
three files are byte-identical afterwards, no temporary file is left beside them or in a private
TMPDIR. The driver command merges the rows that merge_files refuses for their content as git would
without it (git merge-file's bytes, exit 0 or 1, one line on stderr saying why), and exits 2 for a
file it cannot read, with one line saying how to get their version. Rows that could take the
process down run in a child whose exit must not be a signal.
"""
import copy
import io
import json
import os
import textwrap

import pytest

from conftest import ON_WINDOWS, run_python
from corvane_git.scripts.merge_driver import cli
from corvane_git.scripts.merge_driver.driver import invocation
from corvane_git.scripts.merge_driver.driver import route as driver
from corvane_git.scripts.merge_driver import merge_ipynb as m
from isolation import PROG, cannot_merge, drop_file_access, merge_in_child, run_driver, snapshot
from notebooks import (cell, comment, dumps, edit, notebook, parameter, read, with_cells,
                       with_parameters)
from reference import git_merge_file

NAMES = {"base": "base.ipynb", "ours": "ours.ipynb", "theirs": "theirs.ipynb"}
WORDS = {"base": "the common ancestor", "ours": "our version", "theirs": "their version"}

# Both sides change K (ours its first line, theirs its last line and a new comment: merged
# source plus their comment), ours changes P, theirs changes Q and the parameter "rate".
BASE = notebook(cell("P", "first", "p = 0\n", parents=["K"]),
                cell("K", "kname", "a\nb\nc\nd\ne\n", parents=["P"], comments=[comment("base note")]),
                cell("Q", None, "q = 0\n"),
                parameters=[parameter("rate", "0.1"), parameter("size", "3")])
OURS = edit(edit(BASE, "P", source="p = 1\n"), "K", source="A\nb\nc\nd\ne\n")
THEIRS = with_parameters(
    edit(edit(BASE, "K", source="a\nb\nc\nd\nE\n", comments=[comment("base note"), comment("theirs")]),
         "Q", source="q = 2\n"),
    parameter("rate", "0.2"), parameter("size", "3"))
SIDES = {"base": BASE, "ours": OURS, "theirs": THEIRS}
K = 1  # K's position in "cells"

MISSING, DIRECTORY, UNREADABLE = "missing", "directory", "unreadable"


def host_error(operation):
    """(type, text) of the error that the host raises for `operation`: the text the merge must pass on."""
    try:
        operation()
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError("no error")


def index(value, key):
    return value[key]


def dropped(nb, path):
    """A deep copy of `nb` without the key at the end of `path`."""
    nb = copy.deepcopy(nb)
    target = nb
    for key in path[:-1]:
        target = target[key]
    del target[path[-1]]
    return nb


def replaced(nb, path, value):
    nb = copy.deepcopy(nb)
    target = nb
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = value
    return nb


def failed(side, cause):
    return "%s (%s)%s" % (WORDS[side], NAMES[side], cause)


# Every key that the merge needs, by the path to it; the cell and parent are K and its parent.
KEY_PATHS = {
    "cells": ("cells",),
    "metadata": ("metadata",),
    "canvas": ("metadata", "canvas"),
    "parameters": ("metadata", "canvas", "parameters"),
    "parameter name": ("metadata", "canvas", "parameters", 0, "name"),
    "cell metadata": ("cells", K, "metadata"),
    "cell canvas": ("cells", K, "metadata", "canvas"),
    "component id": ("cells", K, "metadata", "canvas", "id"),
    "name": ("cells", K, "metadata", "canvas", "name"),
    "parents": ("cells", K, "metadata", "canvas", "parents"),
    "comments": ("cells", K, "metadata", "canvas", "comments"),
    "source": ("cells", K, "source"),
    "parent id": ("cells", K, "metadata", "canvas", "parents", 0, "id"),
}
KEY_MESSAGES = {
    "cells": ': no "cells" array',
    "metadata": ': no top-level "metadata" map',
    "canvas": ': no top-level "metadata" -> "canvas" map',
    "parameters": ': no "metadata" -> "canvas" -> "parameters" array',
    "parameter name": ': parameter 1 has no "name"',
    "cell metadata": ': cell 2 has no "metadata" map',
    "cell canvas": ': cell 2 has no "metadata" -> "canvas" map',
    "component id": ': cell 2 has no "metadata" -> "canvas" -> "id"',
    "name": ': cell 2 has no "metadata" -> "canvas" -> "name"',
    "parents": ': cell 2 has no "metadata" -> "canvas" -> "parents"',
    "comments": ': cell 2 has no "metadata" -> "canvas" -> "comments"',
    "source": ': cell 2 has no "source"',
    "parent id": ': cell 2 has a parent without "id"',
}
# Keys that one side may lack because the merge does not read them there: the merge goes on.
# A base K without a name, or with a parent without id, differs on both sides' canvas maps: both
# versions are kept, marked. Their K without comments: the same. Base without comments counts as
# none; their K without a source leaves the source to ours.
NOT_READ = {("base", "name"): 1, ("base", "comments"): 0, ("base", "parent id"): 1,
            ("theirs", "comments"): 1, ("theirs", "source"): 0}


FROM_READER = "the reader's own error"  # the text the host's reader gives for the file


class Row:
    """One hostile input. `side` is the file that gets `content`: a notebook value, file bytes,
    MISSING, DIRECTORY or UNREADABLE; a row that changes several files gives them as a map of
    side to content instead. `error` is (type, text) of merge_files's failure, with text
    FROM_READER where the host's reader decides it, or None where the merge goes through; the
    driver then exits `status` (0 or 1), after `check` looked at the merged notebook. `message` is
    the driver's cause, after "cannot merge nb.ipynb: ". `child` merges in a process of its own.
    `driver` is (status, check) where the driver goes further than merge_files."""

    def __init__(self, side, content, error, message=None, status=2, child=False, check=None,
                 driver=None):
        self.side, self.content, self.error, self.message = side, content, error, message
        self.status, self.child, self.check = status, child, check
        self.driver = driver

    def files(self):
        files = dict(SIDES)
        files.update(self.content if isinstance(self.content, dict) and self.side is None
                     else {self.side: self.content})
        return files


def key_rows():
    rows = {}
    for side in SIDES:
        for key, path in KEY_PATHS.items():
            name = "%s without %s" % (side, key)
            if key in ("cell metadata", "cell canvas"):
                # The driver takes a cell without the layer as a plain cell: their K and ours
                # both stay, the plain one as it was.
                rows[name] = Row(side, dropped(SIDES[side], path), (KeyError, repr(path[-1])),
                                 failed(side, KEY_MESSAGES[key]),
                                 driver=(1, lambda nb, given=rows_given(side, path):
                                         check_both_kept(nb, given)))
            elif (side, key) in NOT_READ:
                rows[name] = Row(side, dropped(SIDES[side], path), None, status=NOT_READ[(side, key)])
            else:
                rows[name] = Row(side, dropped(SIDES[side], path), (KeyError, repr(path[-1])),
                                 failed(side, KEY_MESSAGES[key]))
    return rows


def rows_given(side, path):
    return dropped(SIDES[side], path) if side != "base" else OURS


def check_both_kept(result, given):
    """Our K and their K are both in the result; a plain cell of ours or theirs as it was."""
    sources = ["".join(c["source"]) for c in result["cells"]]
    assert "A\nb\nc\nd\ne\n" in sources and "a\nb\nc\nd\nE\n" in sources, sources
    plain = lambda nb: [c for c in nb["cells"] if "canvas" not in c.get("metadata", {})]
    assert plain(result) == plain(given), plain(result)


def deep(depth):
    return ('{"cells": ' + "[" * depth + "]" * depth + ', "metadata": {}}').encode()


def many_cells(count, last_source="x\n"):
    """The file text of a notebook of `count` small cells, the last with `last_source`."""
    cells = [{"metadata": {"canvas": {"id": "c%d" % n, "name": None, "parents": []}},
              "source": [last_source if n == count - 1 else "x\n"]} for n in range(count)]
    return json.dumps({"cells": cells, "metadata": {"canvas": {"parameters": []}}}).encode()


def check_many_cells(result):
    assert len(result["cells"]) == 100000
    assert result["cells"][-1]["source"] == ["changed\n"]


BIG = "x" * (10 * 1024 * 1024)


def check_big(result):
    k = result["cells"][K]
    assert k["source"] == ["A\n", "b\n", "c\n", "d\n", "E\n", BIG + "\n"]


def check_constants(result):
    text = json.dumps(result)
    assert '"value": NaN' in text and '"value": Infinity' in text and '"y": -Infinity' in text


def constants():
    theirs = with_parameters(THEIRS, parameter("rate", float("nan")), parameter("size", float("inf")))
    ours = copy.deepcopy(OURS)
    ours["cells"][0]["outputs"] = [{"output_type": "execute_result", "data": {"application/json": {
        "y": float("-inf")}}, "metadata": {}, "execution_count": 1}]
    return {"ours": ours, "theirs": theirs}


HOSTILE = dict(key_rows())
HOSTILE.update({
    "theirs missing": Row("theirs", MISSING, None),
    "ours a directory": Row("ours", DIRECTORY, None),
    "base unreadable": Row("base", UNREADABLE, None),
    "theirs with a byte that is not UTF-8": Row(
        "theirs", dumps(THEIRS).encode().replace(b'"theirs"', b'"their\xff"', 1), (UnicodeDecodeError, FROM_READER)),
    "ours with a byte order mark": Row("ours", b"\xef\xbb\xbf" + dumps(OURS).encode(), (
        json.JSONDecodeError, "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)")),
    "base truncated": Row("base", dumps(BASE)[:200].encode(), (json.JSONDecodeError, FROM_READER)),
    # The driver takes an empty base for git's add/add case: each side added the cells it holds.
    "base empty": Row("base", b"", (json.JSONDecodeError, "Expecting value: line 1 column 1 (char 0)"),
                      status=1),
    "ours an array": Row("ours", [OURS], host_error(lambda: index([OURS], "cells")),
                         failed("ours", ": not a notebook (the top level is not a JSON object)")),
    "theirs a string": Row("theirs", "notebook", host_error(lambda: index("notebook", "cells")),
                           failed("theirs", ": not a notebook (the top level is not a JSON object)")),
    "base null": Row("base", None, host_error(lambda: index(None, "cells")),
                     failed("base", ": not a notebook (the top level is not a JSON object)")),
    "cells a string": Row("theirs", replaced(THEIRS, ("cells",), "cells"), host_error(lambda: index("c", "metadata")),
                          failed("theirs", ': no "cells" array')),
    "cells a number": Row("ours", replaced(OURS, ("cells",), 3), host_error(lambda: iter(3)),
                          failed("ours", ': no "cells" array')),
    "cells null": Row("base", replaced(BASE, ("cells",), None), host_error(lambda: iter(None)),
                      failed("base", ': no "cells" array')),
    "cells a map": Row("theirs", replaced(THEIRS, ("cells",), {"K": THEIRS["cells"][K]}),
                       host_error(lambda: index("K", "metadata")), failed("theirs", ': no "cells" array')),
    "a cell that is a number": Row("ours", replaced(OURS, ("cells", K), 5), host_error(lambda: index(5, "metadata")),
                                   failed("ours", ': cell 2 has no "metadata" map')),
    "a cell that is a list": Row("theirs", replaced(THEIRS, ("cells", K), ["metadata"]),
                                 host_error(lambda: index(["metadata"], "metadata")),
                                 failed("theirs", ': cell 2 has no "metadata" map')),
    "a cell that is null": Row("base", replaced(BASE, ("cells", K), None), host_error(lambda: index(None, "metadata")),
                               failed("base", ': cell 2 has no "metadata" map')),
    "a null canvas": Row("ours", replaced(OURS, ("cells", K, "metadata", "canvas"), None),
                         host_error(lambda: index(None, "id")), failed("ours", ': cell 2 has no "metadata" -> "canvas" map')),
    "an unhashable component id": Row("theirs", replaced(THEIRS, ("cells", K, "metadata", "canvas", "id"), ["K"]),
                                      host_error(lambda: {}.get(["K"])),
                                      failed("theirs", ': cell 2: "metadata" -> "canvas" -> "id" is ["K"]')),
    # Their name is read when both versions of K are kept and marked: a number has no prefix test.
    "their name a number": Row("theirs", replaced(THEIRS, ("cells", K, "metadata", "canvas", "name"), 7), host_error(lambda: (7).startswith),
                               failed("theirs", ': cell 2: "metadata" -> "canvas" -> "name" is 7')),
    "our parents null": Row("ours", replaced(OURS, ("cells", K, "metadata", "canvas", "parents"), None),
                            host_error(lambda: [] + None),
                            failed("ours", ': cell 2: "metadata" -> "canvas" -> "parents" is null')),
    "their parents a map": Row("theirs", replaced(THEIRS, ("cells", K, "metadata", "canvas", "parents"), {"id": "P"}),
                               host_error(lambda: [] + {}),
                               failed("theirs", ': cell 2: "metadata" -> "canvas" -> "parents" is {"id": "P"}')),
    "a parent that is a string": Row("ours", replaced(OURS, ("cells", K, "metadata", "canvas", "parents", 0), "P"),
                                     host_error(lambda: "P".pop),
                                     failed("ours", ': cell 2 has a parent that is not a map')),
    # Their new comment is looked for among ours: a string cannot hold a map.
    "our comments a string": Row("ours", replaced(OURS, ("cells", K, "metadata", "canvas", "comments"), "note"),
                                 host_error(lambda: {} in "note"),
                                 failed("ours", ': cell 2: "metadata" -> "canvas" -> "comments" is "note"')),
    "a parameter that is a string": Row("base", replaced(BASE, ("metadata", "canvas", "parameters", 0), "rate"),
                                        host_error(lambda: index("rate", "name")),
                                        failed("base", ': parameter 1 is not a map')),
    "a parameter name that is a list": Row("ours", replaced(OURS, ("metadata", "canvas", "parameters", 0, "name"), ["r"]),
                                           host_error(lambda: index({}, ["r"])), None),
    "duplicate component ids": Row("theirs", with_cells(THEIRS, cell("K", "again")),
                                   (ValueError, "duplicate component id 'K' in incoming notebook"),
                                   failed("theirs", ": duplicate component id 'K'")),
    "NaN and Infinity": Row(None, constants(), None, status=0, check=check_constants),
    "a 10 MB line that both sides merge": Row(
        "theirs", edit(THEIRS, "K", source="a\nb\nc\nd\nE\n" + BIG + "\n"), None, status=0, child=True, check=check_big),
    "nesting 100,000 levels deep": Row("theirs", deep(100000), (RecursionError, FROM_READER),
                                       failed("theirs", " is nested too deeply to be read"), child=True),
    "100,000 tiny cells": Row(None, {"base": many_cells(100000), "ours": many_cells(100000),
                                     "theirs": many_cells(100000, "changed\n")},
                              None, status=0, child=True, check=check_many_cells),
})


def write_files(directory, files):
    """Writes the sides; returns {file name: bytes} of what is there to compare afterwards."""
    for side, content in files.items():
        path = os.path.join(directory, NAMES[side])
        if content == MISSING:
            continue
        if content == DIRECTORY:
            os.mkdir(path)
            continue
        if content == UNREADABLE:
            content = dumps(SIDES[side])
        data = content if isinstance(content, bytes) else dumps(content).encode("utf-8")
        with open(path, "wb") as f:
            f.write(data)
        if files[side] == UNREADABLE:
            os.chmod(path, 0)
    return snapshot(directory)


@pytest.fixture
def dirs(work, private_tmp):
    """(the notebooks' directory, a private temporary directory that merges must leave empty)."""
    return str(work), str(private_tmp)


def paths(work):
    return [os.path.join(work, NAMES[s]) for s in ("base", "ours", "theirs")] + ["nb.ipynb"]


def prefix_for(row):
    if row.content != UNREADABLE:
        return []
    prefix = drop_file_access()
    if prefix is None:
        pytest.skip("no way to make a file unreadable here (Windows; or root without setpriv)")
    return prefix


def expected_error(row, work):
    """(type, text) that merge_files must raise for `row` with its files in `work`."""
    path = os.path.join(work, NAMES[row.side]) if row.side else None
    if row.content in (MISSING, DIRECTORY):
        return host_error(lambda: open(path, encoding="utf-8"))
    if row.content == UNREADABLE:
        return PermissionError, "[Errno 13] Permission denied: %r" % path
    if row.error and row.error[1] == FROM_READER:
        return host_error(lambda: json.loads(row.content.decode("utf-8")))
    return row.error


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_merge_files(name, dirs):
    work, tmp = dirs
    row = HOSTILE[name]
    before = write_files(work, row.files())
    prefix = prefix_for(row)
    if row.child or prefix:
        outcome = merge_in_child(tmp, *paths(work), prefix=prefix)
    else:
        try:
            m.merge_files(*paths(work))
            outcome = None
        except Exception as exc:
            outcome = [type(exc).__name__, str(exc)]
    expected = expected_error(row, work)
    if expected is None:
        assert outcome is None
        assert theirs_and_base(snapshot(work)) == theirs_and_base(before)
        if row.check:
            row.check(read(os.path.join(work, NAMES["ours"])))
    else:
        assert outcome == [expected[0].__name__, expected[1]]
        assert snapshot(work) == before
    assert os.listdir(tmp) == []


def cause(row, work, named=True):
    """Why the driver cannot merge `row` cell by cell, naming the file's path when `named`."""
    file = WORDS[row.side] + (" (%s)" % NAMES[row.side] if named else "") if row.side else None
    if row.content == UNREADABLE:
        return "cannot read %s: Permission denied" % file
    if row.message is not None:
        return row.message if named else row.message.replace(" (%s)" % NAMES[row.side], "", 1)
    kind, text = expected_error(row, work)
    if kind is json.JSONDecodeError:
        return "%s is not valid JSON (%s)" % (file, text)
    if kind is UnicodeDecodeError:
        return "%s is not UTF-8 text (%s)" % (file, text.split(": ")[-1])
    return "%s: %s" % (kind.__name__, text)


def git_text_merge(work):
    """(exit status, bytes) of git's own merge of the three files, labelled as the driver does."""
    status, merged = git_merge_file(work)
    assert 0 <= status <= 127
    try:
        json.loads(merged.decode("utf-8"))
        valid = True
    except (ValueError, RecursionError):
        valid = False
    return (0 if status == 0 and valid else 1), merged


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_driver(name, dirs):
    work, tmp = dirs
    row = HOSTILE[name]
    before = write_files(work, row.files())
    row_status, check = row.driver or (row.status, row.check)
    as_text = row_status == 2 and row.content not in (MISSING, DIRECTORY, UNREADABLE)
    status, merged = git_text_merge(work) if as_text else (row_status, None)
    proc = run_driver(work, tmp, *[NAMES[s] for s in ("base", "ours", "theirs")], "nb.ipynb",
                      prefix=prefix_for(row))
    assert proc.returncode == status, proc.stderr[-2000:]
    assert proc.stdout == ""
    if row.content == MISSING:
        assert proc.stderr == "%s: error: INCOMING %r does not exist\n" % (PROG, NAMES[row.side])
    elif row.content == DIRECTORY:
        assert proc.stderr == "%s: error: CURRENT %r is a directory, not a notebook file\n" % (
            PROG, NAMES[row.side])
    elif status == 2:
        assert proc.stderr == cannot_merge(cause(row, work))
    elif as_text:
        line = "%s: nb.ipynb: merged as text by git merge-file, not cell by cell (%s)" % (
            PROG, cause(row, work, named=False))
        assert proc.stderr.startswith(line) and proc.stderr.count("\n") == 1, proc.stderr
        said = ("" if status == 0 else "to resolve between the <<<<<<< and >>>>>>> lines"
                if b"<<<<<<< nb.ipynb-current" in merged else "the merged text is not valid JSON")
        assert said in proc.stderr
        assert read_bytes(work, "ours") == merged
    else:
        assert (proc.stderr == "") == (row_status == 0), proc.stderr
        if check:
            check(read(os.path.join(work, NAMES["ours"])))
    if status == 2:
        assert snapshot(work) == before
    else:
        assert theirs_and_base(snapshot(work)) == theirs_and_base(before)
    assert os.listdir(tmp) == []


def read_bytes(work, side):
    with open(os.path.join(work, NAMES[side]), "rb") as f:
        return f.read()


def theirs_and_base(files):
    return {n: files[n] for n in files if n != NAMES["ours"]}


# Deep values the reader cannot make (it stops at the host's recursion limit) but the host's own
# code can: each level of `chain` differs at its first key, so comparing two chains answers at
# once while the cell diff walks down them level by level.
DEEP_CHAIN = """
from corvane_git.scripts.merge_driver import merge_ipynb as m

def chain(depth, tag):
    value = "bottom"
    for n in range(depth):
        value = {"y": "%s%d" % (tag, n), "v": value}
    return value

def cell(deep):
    return {"metadata": {"canvas": {"id": "K", "name": "k", "parents": []}, "deep": deep}, "source": []}
"""


class TestDeepValues:
    """The C++ walk over JSON values stops at the host's recursion limit with RecursionError: the
    process lives on. Each case runs in a child, whose crash would fail the test."""

    @pytest.mark.parametrize("first, second", [
        ('chain(100000, "a")', 'chain(100000, "b")'),        # the cell diff's own walk
        ('chain(100000, "same")', 'chain(100000, "same")'),  # the host's comparison of equal trees
    ])
    def test_cell_diff(self, first, second):
        outcome = run_python(DEEP_CHAIN + textwrap.dedent("""
            try:
                m._cell_changed(m.Cell(cell(%s), "base"), m.Cell(cell(%s), "current"))
                failure = None
            except RecursionError as exc:
                failure = str(exc)
            # The limit is whole again: a cell diff of shallow cells works.
            emit([failure, m._cell_changed(m.Cell(cell(1), "base"), m.Cell(cell(2), "current"))])
        """ % (first, second)))
        assert outcome[0].startswith("maximum recursion depth exceeded")
        assert outcome[1] == {"metadata": {"deep": 2}}

    def test_merge_with_deep_values_from_the_host_reader(self, tmp_path):
        """The host's json rebound to plant deep values in their K: the merge fails, files stay."""
        work = tmp_path / "work"
        work.mkdir()
        before = write_files(str(work), SIDES)
        outcome = run_python(DEEP_CHAIN + textwrap.dedent("""
            import json, os, tempfile
            tempfile.tempdir = %r
            class DeepJson:
                dump = staticmethod(json.dump)
                @staticmethod
                def load(fp):
                    nb = json.load(fp)
                    nb["cells"][1]["metadata"]["deep"] = chain(100000, fp.name)
                    return nb
            m.json = DeepJson
            try:
                m.merge_files(*%r)
            except RecursionError as exc:
                emit(str(exc))
        """ % (str(tmp_path), paths(str(work)))))
        assert outcome.startswith("maximum recursion depth exceeded")
        assert snapshot(str(work)) == before
        assert sorted(os.listdir(str(tmp_path))) == ["work"]


# Names that a terminal acts on (escape sequences: ESC, C1 CSI, OSC ending in BEL; a carriage
# return; line breaks that would forge a line of ours): every command prints them escaped.
HOSTILE_NAMES = ["\x1b[2J\x1b[H\n corvane-merge-driver: all good", "\rforged", "\x9b2J",
                 "\x1b]0;title\x07", "a\u2028b", "tab\tdel\x7f"]
PLAIN_NAME = "zq"


def every_command(name, capsys):
    """[(exit status, output)] of a merge, conflicts, check, resolve of one parameter and check
    after the rest was resolved by hand, of notebooks that use `name` for every name, id and
    path: a component pair renamed by them, a parameter pair, a source conflict in a named
    cell, and a component that depends on the pair (whose parent is gone after the hand edit)."""
    base = notebook(cell("A" + name, name, "a\n"), cell("C" + name, "c" + name, "c\n"),
                    cell("D", "d" + name, "d\n", parents=["A" + name]),
                    parameters=[parameter(name, "1")])
    ours = with_parameters(edit(edit(base, "A" + name, source="ours\n"), "C" + name,
                                source="c1\n"), parameter(name, "2"))
    theirs = with_parameters(edit(edit(base, "A" + name, source="theirs\n", name=name + "2"),
                                  "C" + name, source="c2\n"), parameter(name, "3"))
    path = "nb.ipynb" if ON_WINDOWS else name + ".ipynb"
    for file, nb in (("base.ipynb", base), (path, ours), ("theirs.ipynb", theirs)):
        with open(file, "w", encoding="utf-8") as f:
            f.write(dumps(nb))
    report = io.StringIO()
    outputs = [(invocation.merge_and_report("base.ipynb", path, "theirs.ipynb", name + ".ipynb",
                                         report=report), report.getvalue())]

    def run(*args):
        status = cli.main(list(args))
        out = capsys.readouterr()
        outputs.append((status, out.out + out.err))
    run("conflicts", path)
    run("check", path)
    run("resolve", path, "--ours", "--parameter", name)
    # By hand: their version kept under the plain name, ours deleted, the block edited out.
    merged = read(path)
    merged["cells"] = [c for c in merged["cells"] if c["metadata"]["canvas"]["name"] != "<<< " + name]
    for c in merged["cells"]:
        if c["metadata"]["canvas"]["name"] == ">>> " + name + "2":
            c["metadata"]["canvas"]["name"] = name
        if c["metadata"]["canvas"]["id"] == "C" + name:
            c["source"] = ["c1\n"]
    with open(path, "w", encoding="utf-8") as f:
        f.write(dumps(merged))
    run("conflicts", path)
    run("check", path)
    return outputs


class TestHostileNames:
    @pytest.mark.parametrize("name", HOSTILE_NAMES, ids=ascii)
    def test_every_command_prints_them_escaped(self, tmp_path, monkeypatch, capsys, name):
        found = {}
        for key in (PLAIN_NAME, name):
            directory = tmp_path / ("plain" if key == PLAIN_NAME else "hostile")
            directory.mkdir()
            monkeypatch.chdir(str(directory))
            found[key] = every_command(key, capsys)
        plain = found[PLAIN_NAME]
        assert [status for status, _ in plain] == [1, 0, 1, 0, 0, 1]
        assert all(PLAIN_NAME in out for _, out in plain)
        assert "(id A%s)" % PLAIN_NAME in plain[-1][1]
        assert found[name] == [(status, out.replace(PLAIN_NAME, driver.one_line(name)))
                               for status, out in plain]
