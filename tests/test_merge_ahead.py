"""Source merges that run ahead of their turn, as git processes, while merge_files decides its
cells.

Whatever ran ahead, each cell gets exactly what its own source merge gives (checked against
_merge_source with the git package's own handle, which never runs ahead), guesses that turn out
wrong cost nothing, a run that fails in any way is made again in turn, no thread is started, and
no directory or process outlives the merge, also when it fails.
"""
import copy
import os
import tempfile
import threading

import git
import pytest

from corvane_git.scripts.merge_driver import merge_ipynb as m
from conftest import NO_FORK, run_python
from notebooks import FILE_PATH, ThreeWay, canvas, cell, find, lines, notebook
from test_faults import fake_git

BASE_TEXT = "first {i}\nsecond {i}\nthird {i}\nfourth {i}\n"

# How each side changes a cell, and whether the merge is expected to merge its source:
#   clean      both edit the source on different lines, ours by repeating a line, which git may
#              place either side of its twin (a clean source merge that git makes)
#   apart      both edit lines apart that git would not move: made without git, never guessed
#   conflict   both edit the same line differently (git leaves markers)
#   same       both make the same edit
#   renamed    both edit the source and rename the component differently: theirs is inserted
#              after ours, no source merge, though one was guessed
#   one-sided  our side edits the source, theirs tags the cell: a source merge nobody guessed
#   untouched  nothing changes
#   long       a source of 3,000 lines, more than one gathered write takes, ASCII and not, both
#              editing it far apart, ours by repeating a line
KINDS = ("clean", "apart", "conflict", "same", "renamed", "one-sided", "untouched", "long")


def sides(kind, i):
    base = cell("C%d" % i, "comp%d" % i, BASE_TEXT.format(i=i))
    ours, theirs = copy.deepcopy(base), copy.deepcopy(base)
    text = BASE_TEXT.format(i=i)
    if kind == "clean":
        ours["source"] = lines(text.replace("second {i}\n".format(i=i), "second {i}\n".format(i=i) * 2))
        theirs["source"] = lines(text.replace("fourth", "FOURTH"))
    elif kind == "apart":
        ours["source"] = lines(text.replace("first", "FIRST"))
        theirs["source"] = lines(text.replace("fourth", "FOURTH"))
    elif kind == "conflict":
        ours["source"] = lines(text.replace("second", "ours"))
        theirs["source"] = lines(text.replace("second", "theirs"))
    elif kind == "same":
        ours["source"] = theirs["source"] = lines(text.replace("third", "both"))
    elif kind == "renamed":
        ours["source"] = lines(text.replace("first", "FIRST"))
        theirs["source"] = lines(text.replace("fourth", "FOURTH"))
        canvas(ours)["name"], canvas(theirs)["name"] = "ours%d" % i, "theirs%d" % i
    elif kind == "long":
        base["source"] = ["line %d%s\n" % (k, "é" if k % 7 == 0 else "") for k in range(3000)]
        ours["source"], theirs["source"] = list(base["source"]), list(base["source"])
        ours["source"].insert(5, ours["source"][5])
        theirs["source"][2990] = "theirs\n"
    elif kind == "one-sided":
        ours["source"] = lines(text.replace("first", "FIRST"))
        theirs["metadata"]["tags"] = ["checked"]
    return base, ours, theirs


def three_way(directory, kinds):
    triples = [sides(kind, i) for i, kind in enumerate(kinds)]
    base, ours, theirs = (notebook(*(t[k] for t in triples)) for k in range(3))
    return ThreeWay(directory, base, ours, theirs), triples


def one_by_one(triple):
    """The cell's source as its own source merge makes it, with git's own handle."""
    base, ours, theirs = triple
    return m._merge_source(git.cmd.Git(), ours["source"], base["source"], theirs["source"],
                           current_name=FILE_PATH + "-current",
                           incoming_name=FILE_PATH + "-incoming")


def child_processes():
    """The ids of this process's running children."""
    if os.name == "nt":
        return _windows_children()
    pids = set()
    for task in os.listdir("/proc/self/task"):
        with open("/proc/self/task/%s/children" % task) as f:
            pids.update(f.read().split())
    return pids


def _windows_children():
    import ctypes
    from ctypes import wintypes

    class Entry(ctypes.Structure):  # PROCESSENTRY32W
        _fields_ = [("dwSize", wintypes.DWORD), ("cntUsage", wintypes.DWORD),
                    ("th32ProcessID", wintypes.DWORD), ("th32DefaultHeapID", ctypes.c_size_t),
                    ("th32ModuleID", wintypes.DWORD), ("cntThreads", wintypes.DWORD),
                    ("th32ParentProcessID", wintypes.DWORD), ("pcPriClassBase", ctypes.c_long),
                    ("dwFlags", wintypes.DWORD), ("szExeFile", ctypes.c_wchar * 260)]

    kernel = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel.CreateToolhelp32Snapshot.restype = wintypes.HANDLE
    snapshot = kernel.CreateToolhelp32Snapshot(2, 0)  # TH32CS_SNAPPROCESS
    entry = Entry()
    entry.dwSize = ctypes.sizeof(Entry)
    pids = set()
    try:
        more = kernel.Process32FirstW(wintypes.HANDLE(snapshot), ctypes.byref(entry))
        while more:
            if entry.th32ParentProcessID == os.getpid():
                pids.add(entry.th32ProcessID)
            more = kernel.Process32NextW(wintypes.HANDLE(snapshot), ctypes.byref(entry))
    finally:
        kernel.CloseHandle(wintypes.HANDLE(snapshot))
    return pids


@pytest.fixture
def private_tmp(tmp_path, monkeypatch):
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp))
    monkeypatch.delenv("GIT_PYTHON_GIT_EXECUTABLE", raising=False)
    return str(tmp)


ORDERS = {
    "every kind, in turn": KINDS * 4,
    "guesses that are wrong come first": ("renamed",) * 6 + ("clean", "conflict") * 5,
    "many clean merges": ("clean",) * 30,
    "one merge": ("conflict",),
    "none guessed": ("one-sided", "untouched", "one-sided"),
}


@pytest.mark.parametrize("via", ["merge_files", "merge_sources"])
@pytest.mark.parametrize("order", sorted(ORDERS))
def test_each_cell_gets_its_own_merge(tmp_path, private_tmp, order, via):
    kinds = ORDERS[order]
    work = tmp_path / "work"
    work.mkdir()
    three, triples = three_way(work, kinds)
    threads, children = threading.active_count(), child_processes()
    if via == "merge_sources":   # the plain merge's: all of them known, and run, from the start
        from corvane_git.scripts.merge_driver import merge_core
        merged = merge_core.merge_sources([(o["source"], b["source"], t["source"]) for b, o, t in triples],
                                          tuple(FILE_PATH + s for s in ("-current", "-base", "-incoming")))
        assert [(lines, count > 0) for lines, count in merged] == [
            (one_by_one(t), kind == "conflict") for t, kind in zip(triples, kinds)]
        assert os.listdir(private_tmp) == []
        assert threading.active_count() == threads and child_processes() == children
        return
    three.run()
    result = three.result()
    for i, kind in enumerate(kinds):
        merged = find(result, "C%d" % i)
        if kind == "renamed":
            assert merged["source"] == triples[i][1]["source"]   # ours, theirs inserted after it
        elif kind == "untouched":
            assert merged["source"] == triples[i][0]["source"]
        else:
            assert merged["source"] == one_by_one(triples[i]), kind
        if kind == "conflict":
            assert "<<<<<<< %s-current\n" % FILE_PATH in merged["source"]
    assert os.listdir(private_tmp) == []
    assert threading.active_count() == threads and child_processes() == children


class FailingDiff:
    """The module's jsondiff, failing at its n-th diff: the merge stops in the middle of its cells."""

    def __init__(self, real, n):
        self.real, self.n = real, n

    def __getattr__(self, name):
        return getattr(self.real, name)

    def diff(self, *args, **kwargs):
        self.n -= 1
        if self.n == 0:
            raise RuntimeError("diff failed")
        return self.real.diff(*args, **kwargs)


@pytest.mark.parametrize("n", [1, 5, 20])
def test_a_merge_that_fails_midway_leaves_nothing(tmp_path, private_tmp, monkeypatch, n):
    work = tmp_path / "work"
    work.mkdir()
    three, _ = three_way(work, ("clean", "conflict", "renamed") * 8)
    before = three.snapshot()
    threads, children = threading.active_count(), child_processes()
    monkeypatch.setattr(m, "jsondiff", FailingDiff(m.jsondiff, n))
    with pytest.raises(RuntimeError, match="diff failed"):
        three.run()
    assert three.snapshot() == before
    assert os.listdir(private_tmp) == []
    assert threading.active_count() == threads and child_processes() == children


def test_a_failing_tool_fails_the_merge_as_when_run_in_turn(tmp_path, private_tmp, monkeypatch):
    """git fails for one cell's texts only: that cell's source merge raises the tool's error."""
    work = tmp_path / "work"
    work.mkdir()
    kinds = ("clean",) * 6 + ("conflict",) + ("clean",) * 6
    three, _ = three_way(work, kinds)
    before = three.snapshot()
    action = 'if grep -q "^ours " "$2"; then echo "error: refused" >&2; exit 255; fi'
    monkeypatch.setenv("PATH", fake_git(tmp_path / "bin", action))
    with pytest.raises(git.GitCommandError) as exc:
        three.run()
    assert exc.value.status == 255 and "error: refused" in str(exc.value.stderr)
    assert three.snapshot() == before and os.listdir(private_tmp) == []


def test_a_temporary_directory_that_moves_midway(tmp_path, private_tmp, monkeypatch):
    """The directory the first source merge names is the one runs ahead use; when a later source
    merge names another, it makes its own files there."""
    work = tmp_path / "work"
    work.mkdir()
    three, triples = three_way(work, ("clean",) * 10)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    real = m.tempfile
    calls = []

    class Moving:
        def __getattr__(self, name):
            return getattr(real, name)

        def gettempdir(self):
            calls.append(1)
            return private_tmp if len(calls) == 1 else str(elsewhere)

    monkeypatch.setattr(m, "tempfile", Moving())
    three.run()
    result = three.result()
    monkeypatch.setattr(m, "tempfile", real)
    assert [find(result, "C%d" % i)["source"] for i in range(10)] == \
        [one_by_one(t) for t in triples]
    assert len(calls) == 10
    assert os.listdir(private_tmp) == [] and os.listdir(str(elsewhere)) == []


# How a run ahead fails the first time git runs for its texts (again in turn, git merges).
FIRST_RUN_FAULTS = {
    "killed": "kill -9 $$",
    "fails": "exit 200",
    "leaves no result": 'rm "$2"; exit 0',
}


@pytest.mark.parametrize("via", ["merge_files", "merge_sources"])
@pytest.mark.parametrize("fault", sorted(FIRST_RUN_FAULTS))
def test_a_run_that_fails_is_made_again_in_turn(tmp_path, private_tmp, monkeypatch, fault, via):
    work, marks = tmp_path / "work", tmp_path / "marks"
    work.mkdir()
    marks.mkdir()
    kinds = ("clean", "conflict") * 5
    three, triples = three_way(work, kinds)
    expected = [one_by_one(t) for t in triples]
    # marks/ sits beside tmp/, which holds the run's private directory: two levels above "$2".
    first = ('m=$(cat "$2" "$3" "$4" | cksum | tr " " _); '
             'if mkdir "$(dirname "$2")/../../marks/$m" 2>/dev/null; then %s; fi' % FIRST_RUN_FAULTS[fault])
    monkeypatch.setenv("PATH", fake_git(tmp_path / "bin", first))
    if via == "merge_sources":
        from corvane_git.scripts.merge_driver import merge_core
        merged = [lines for lines, _ in merge_core.merge_sources(
            [(o["source"], b["source"], t["source"]) for b, o, t in triples],
            tuple(FILE_PATH + s for s in ("-current", "-base", "-incoming")))]
    else:
        three.run()
        merged = [find(three.result(), "C%d" % i)["source"] for i in range(len(kinds))]
    assert merged == expected
    assert len(os.listdir(str(marks))) == len(kinds)   # every merge went to git first ahead
    assert os.listdir(private_tmp) == []


def test_a_handle_used_on_another_thread(tmp_path, private_tmp, monkeypatch):
    """A _merge_source of the host's that hands the merge's handle to another thread: there the
    source merge runs in turn, and each cell still gets its own merge."""
    work = tmp_path / "work"
    work.mkdir()
    three, triples = three_way(work, ("clean", "conflict") * 3)
    real = m._merge_source

    def on_another_thread(g, *sources, **names):
        out = {}
        worker = threading.Thread(target=lambda: out.update(lines=real(g, *sources, **names)))
        worker.start()
        worker.join()
        return out["lines"]

    monkeypatch.setattr(m, "_merge_source", on_another_thread)
    three.run()
    result = three.result()
    monkeypatch.setattr(m, "_merge_source", real)
    assert [find(result, "C%d" % i)["source"] for i in range(6)] == [one_by_one(t) for t in triples]
    assert os.listdir(private_tmp) == []


# Keys that the host's json reader planted in two cells of base: each collides with "source" and,
# compared for the first time, changes the second cell's component id, first to a fresh string
# held nowhere else (large enough to be given back to the system when freed), then back. Only
# source merges read "source", so before the merge's own reads come the guesses at what they will
# be, which must neither run such a comparison nor keep what it frees.
KEYS_THAT_COMPARE = """
import json, tempfile
from corvane_git.scripts.merge_driver import merge_ipynb as m
tempfile.tempdir = %r

class ComparesOnce:
    def __init__(self, act):
        self.act = act
    def __hash__(self):
        return hash("source")
    def __eq__(self, other):
        act, self.act = self.act, None
        if act:
            act()
        return False

class PlantingJson:
    dump = staticmethod(json.dump)
    @staticmethod
    def load(fp):
        nb = json.load(fp)
        if fp.name.endswith("base.ipynb"):
            canvas = nb["cells"][1]["metadata"]["canvas"]
            def fresh_id():
                canvas["id"] = canvas["id"] + "-" * (64 << 20)
            def old_id():
                canvas["id"] = canvas["id"][:2]
            for i, act in ((0, fresh_id), (1, old_id)):
                key = ComparesOnce(None)
                planted = {key: None}
                planted.update(nb["cells"][i])
                nb["cells"][i], key.act = planted, act
        return nb

m.json = PlantingJson
try:
    m.merge_files(*%r)
    emit("merged")
except Exception as exc:
    emit(type(exc).__name__)
"""


def test_guesses_run_no_comparison_of_the_hosts(tmp_path):
    """Keys of the host's that act when compared: the merge goes through, in the same process."""
    work = tmp_path / "work"
    work.mkdir()
    three, _ = three_way(work, ("clean",) * 3)
    paths = (three.base, three.ours, three.theirs, FILE_PATH)
    outcome = run_python(KEYS_THAT_COMPARE % (str(tmp_path), paths))
    assert outcome == "merged"
    assert sorted(os.listdir(str(tmp_path))) == ["work"]


# The runs ahead of a merge that forks (through a hook of the host's, here tempfile's) at its n-th
# source merge: the parent waits for its child, which finishes the same merge on its own and exits.
# In the child the runs' git processes are not its children; it must neither wait for nor signal
# them, nor remove their directories. A hang ends the child with its stacks.
FORK_MIDWAY = """
import faulthandler, os, pathlib, sys, tempfile, time
sys.path.insert(0, %r)
import test_merge_ahead as t
from corvane_git.scripts.merge_driver import merge_ipynb as m

root = pathlib.Path(%r)
tmp, work = root / "tmp", root / "work"
tmp.mkdir()
work.mkdir()
tempfile.tempdir = str(tmp)
three, triples = t.three_way(work, ("clean", "conflict") * 6)
expected = [t.one_by_one(triple) for triple in triples]
real, calls, seen = m.tempfile, [], {}

def merged():
    return [t.find(three.result(), "C%%d" %% i)["source"] for i in range(len(triples))]

class Forking:
    def __getattr__(self, name):
        return getattr(real, name)

    def gettempdir(self):
        calls.append(1)
        if len(calls) == %d:
            pid = os.fork()
            if pid == 0:
                faulthandler.dump_traceback_later(60, exit=True)
                seen["child"] = True
            else:
                end = time.monotonic() + 90
                while time.monotonic() < end:
                    done, status = os.waitpid(pid, os.WNOHANG)
                    if done:
                        break
                    time.sleep(0.05)
                else:
                    os.kill(pid, 9)
                    done, status = os.waitpid(pid, 0)
                seen["child status"] = status
                seen["child merged"] = merged()
        return real.gettempdir()

m.tempfile = Forking()
try:
    three.run()
finally:
    if seen.get("child"):
        os._exit(0 if merged() == expected else 3)
m.tempfile = real
emit({"child status": seen["child status"], "child merged": seen["child merged"] == expected,
      "merged": merged() == expected, "left behind": os.listdir(str(tmp))})
"""


@NO_FORK
@pytest.mark.parametrize("at", [1, 3, 12])
def test_a_fork_midway_finishes_the_merge_in_both(tmp_path, at):
    tests = os.path.dirname(os.path.abspath(__file__))
    out = run_python(FORK_MIDWAY % (tests, str(tmp_path), at))
    assert out == {"child status": 0, "child merged": True, "merged": True, "left behind": []}
