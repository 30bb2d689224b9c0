#!/usr/bin/env python3
"""Coverage-guided fuzz target for merge_files (atheris), run by tools/fuzz.sh.

An input is up to three files separated by NUL bytes, base, ours and theirs (a missing part repeats
the one before it); they are merged with merge_files, or with the driver's merge (--driver). With
--structured the input bytes instead choose three notebooks (see structured_notebooks): always
JSON, mostly well formed, with a value of the wrong kind or a missing key here and there, so that
the fuzzer reaches the decisions deep in the merge. Any exception is an answer, except these
findings, which stop the fuzzer with the input saved:
- the process crashes, or a sanitizer reports an error (the extension is built with them);
- SystemError (the extension returned failure without an exception, or the reverse);
- after a failure, our file is not byte for byte what it was, or the directory holds more;
- after a success, the written file is not one JSON document (unless the driver merged the files
  as text and said that the result holds conflict markers or is not JSON), or anything else is
  left behind;
- the driver's merge (--driver) raises anything but MergeFailure.

    tools/fuzz_merge.py seeds DIR              write the seed inputs
    tools/fuzz_merge.py [--driver] [--structured] [libFuzzer options] [CORPUS_DIR...]
"""
import copy
import json
import os
import sys
import tempfile

# The fuzzer's runtime is preloaded into this process only: git must start without it.
os.environ.pop("LD_PRELOAD", None)

NAMES = ("base.ipynb", "ours.ipynb", "theirs.ipynb")


def split(data):
    parts = data.split(b"\0", 2)
    while len(parts) < 3:
        parts.append(parts[-1])
    return parts


IDS = ["c%d" % n for n in range(6)]
ODD = [None, 0, 7, -1, 1.5, float("nan"), True, "", "x", "<<< x", [], [None], ["c1"], {}, {"id": "c1"},
       {"id": None}, [{"name": "p"}]]


def structured_notebooks(data):
    """Three notebook files chosen by the input bytes: a base of up to six cells and two sides
    derived from it (cells kept, edited, deleted, added, moved; parameters changed), where any
    value may be replaced by an odd one and any key left out."""
    import atheris
    fdp = atheris.FuzzedDataProvider(data)

    def chance(n):
        return fdp.ConsumeIntInRange(0, n - 1) == 0

    def pick(seq):
        return seq[fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def odd(value):
        return pick(ODD) if chance(12) else value

    def shaped(pairs):
        return {k: odd(v) for k, v in pairs if not chance(30)}

    def lines():
        return [pick(["a\n", "b\n", "c\n", "x = 1\n", "\u00e9\n", "end", "<<<<<<< x\n", "\r\n"])
                for _ in range(fdp.ConsumeIntInRange(0, 4))]

    def cell(link_id):
        parents = [shaped([("id", pick(IDS + ["gone"])), ("name", "p")]) for _ in range(fdp.ConsumeIntInRange(0, 2))]
        comments = [shaped([("text", pick(["one", "two"]))]) for _ in range(fdp.ConsumeIntInRange(0, 2))]
        canvas = shaped([("id", link_id), ("name", pick([None, "", "load", "train"])), ("parents", parents),
                         ("comments", comments), ("headerColor", pick(["#fff", "red"]))])
        return shaped([("cell_type", "code"), ("execution_count", pick([None, 1, 2])), ("id", "cell-" + link_id),
                       ("metadata", shaped([("canvas", canvas)])), ("outputs", [] if chance(2) else [{"t": 1}]),
                       ("source", lines())])

    def parameters():
        return [shaped([("name", pick(["rate", "size", "seed"])), ("value", pick(["1", "2"]))])
                for _ in range(fdp.ConsumeIntInRange(0, 3))]

    def notebook(cells, params):
        return shaped([("cells", cells), ("metadata", shaped([("canvas", shaped([("parameters", params)]))])),
                       ("nbformat", 4)])

    base_cells = [cell(i) for i in IDS if chance(2)]
    base_params = parameters()
    sides = [notebook(base_cells, base_params)]
    for _ in range(2):
        cells = []
        for c in base_cells:
            action = fdp.ConsumeIntInRange(0, 3)
            if action == 0:
                continue
            if action == 1 and isinstance(c, dict):
                c = dict(c, source=lines()) if chance(2) else cell(pick(IDS))
            cells.append(c)
        for _ in range(fdp.ConsumeIntInRange(0, 2)):
            cells.insert(fdp.ConsumeIntInRange(0, len(cells)), cell(pick(IDS)))
        if chance(4):
            cells.reverse()
        sides.append(notebook(cells, base_params if chance(2) else parameters()))
    return [json.dumps(nb).encode("utf-8") for nb in sides]


class Target:
    def __init__(self, use_driver, use_structure=False):
        self.use_structure = use_structure
        from corvane_git.scripts.merge_driver import merge_ipynb
        from corvane_git.scripts.merge_driver.driver import route as driver
        self.merge_ipynb, self.driver, self.use_driver = merge_ipynb, driver, use_driver
        self.work = tempfile.mkdtemp(prefix="fuzz-work-")
        self.tmp = tempfile.mkdtemp(prefix="fuzz-tmp-")
        tempfile.tempdir = self.tmp
        self.paths = [os.path.join(self.work, n) for n in NAMES]

    def __call__(self, data):
        for name in os.listdir(self.work):
            os.remove(os.path.join(self.work, name))
        parts = structured_notebooks(data) if self.use_structure else split(data)
        for path, part in zip(self.paths, parts):
            with open(path, "wb") as f:
                f.write(part)
        result = None
        try:
            if self.use_driver:
                result = self.driver.merge(self.paths[0], self.paths[1], self.paths[2], "nb.ipynb")
            else:
                self.merge_ipynb.merge_files(self.paths[0], self.paths[1], self.paths[2], "nb.ipynb")
        except SystemError:
            raise
        except Exception as exc:
            if self.use_driver and not isinstance(exc, self.driver.MergeFailure):
                raise
            self.check_untouched(parts)
        else:
            if not (isinstance(result, self.driver.TextMerge) and result):
                self.check_written()
        self.check_nothing_left()

    def check_untouched(self, parts):
        with open(self.paths[1], "rb") as f:
            if f.read() != parts[1]:
                raise AssertionError("a failed merge changed our file")

    def check_written(self):
        with open(self.paths[1], "rb") as f:
            json.loads(f.read().decode("utf-8"))

    def check_nothing_left(self):
        if sorted(os.listdir(self.work)) != sorted(NAMES) or os.listdir(self.tmp):
            raise AssertionError("left behind: %r %r" % (os.listdir(self.work), os.listdir(self.tmp)))


def seeds(directory):
    """Three-way inputs from the bundled example and small variants of it."""
    example = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "src", "corvane_git",
                           "scripts", "merge_driver", "example")
    sides = []
    for name in ("base.ipynb", "ours.ipynb", "theirs.ipynb"):
        with open(os.path.join(example, name), encoding="utf-8") as f:
            sides.append(json.load(f))
    base, ours, theirs = sides

    def emit(name, triple):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(b"\0".join(json.dumps(nb, ensure_ascii=False).encode("utf-8") for nb in triple))

    os.makedirs(directory, exist_ok=True)
    emit("example", (base, ours, theirs))
    emit("unchanged", (base, base, base))
    emit("theirs only", (base, base, theirs))
    small = copy.deepcopy(base)
    small["cells"] = small["cells"][:2]
    grown = copy.deepcopy(small)
    grown["cells"].append(copy.deepcopy(grown["cells"][0]))
    grown["cells"][-1]["metadata"]["canvas"].update(id="new", name="new")
    emit("small, one added", (small, small, grown))
    emit("small, both added", (small, grown, grown))
    swapped = copy.deepcopy(small)
    swapped["cells"].reverse()
    emit("small, moved and deleted", (small, swapped, {"cells": [], "metadata": small["metadata"]}))


def main(argv):
    if argv[1:2] == ["seeds"]:
        seeds(argv[2])
        return 0
    use_driver, use_structure = "--driver" in argv, "--structured" in argv
    argv = [a for a in argv if a not in ("--driver", "--structured")]
    import atheris
    atheris.Setup(argv, Target(use_driver, use_structure))
    atheris.Fuzz()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
