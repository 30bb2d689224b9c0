"""The notebook diff against nbdime's nbdiff and against the whole-process floor, and how git
shows a notebook change through the external diff command and through textconv.

    python3 bench/diff_bench.py            # ~40 minutes on 2 cores (nearly all of it nbdiff)
    python3 bench/diff_bench.py --quick    # 1,000 cells and two corpus notebooks, no 10,000

Cases (written under build/bench/diff/, the same bytes on every run):
- generated-N, N = 1,000 and 10,000: three-line code cells with a stream output, every 50th
  cell's source edited, one cell inserted (plain cells, paired by content);
- generated-N-components: the same cells with a component layer (paired by component id);
- corpus-NAME-rerun: a real notebook with a component layer against the same notebook re-run
  (every output and execution count new, as bench/generate.py makes it);
- corpus-NAME-edits: the same notebook against their side of the merge benchmark's "edits"
  case (sources edited, a cell added, a component renamed).

Each command runs as a whole process, as git would start it, timed by bench/spawn.py: the
floor (a fresh interpreter that json.loads the two files: diff_floor.py), `corvane-merge-driver
diff OLD NEW` and `nbdiff OLD NEW` (from the benchmark-only environment build/bench-venv that
bench/run.py makes), output to /dev/null. The floor and the diff alternate; the ratio is the
median of each round's diff / floor. Results: bench/results/diff/results.md and results.json.

The git part times `git diff HEAD~ HEAD` in a repository after install: through the external
diff command (one process per notebook), through textconv (`--no-ext-diff`: one process per
version, two per notebook) and as raw JSON, for one notebook of 1,000 and of 10,000 cells and
for a commit that changes 20 small notebooks.
"""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SRC = os.path.join(ROOT, "src")   # the package is copied from here at the start
BUILD = os.path.join(ROOT, "build", "bench", "diff")
NBDIFF = os.path.join(ROOT, "build", "bench-venv", "bin", "nbdiff")
RESULTS = os.path.join(HERE, "results", "diff")
SEED = 20240531
NBDIFF_LIMIT = 600   # seconds (--nbdiff-limit); nbdiff runs once per case, three times on
                     # corpus notebooks under 1 MB

sys.path.insert(0, HERE)
import generate  # noqa: E402  (the merge benchmark's corpus cases)


def code_cell(i, rng):
    lines = ["x%d = load(%d)\n" % (i, rng.randrange(1000)), "y%d = x%d * 2\n" % (i, i),
             "print(y%d)" % i]
    return {"cell_type": "code", "execution_count": i + 1, "metadata": {},
            "outputs": [{"name": "stdout", "output_type": "stream",
                         "text": ["%d\n" % rng.randrange(10 ** 6)]}],
            "source": lines}


def generated(n, components):
    rng = random.Random("%s:%d" % (SEED, n))
    old = {"cells": [code_cell(i, rng) for i in range(n)],
           "metadata": {"kernelspec": {"display_name": "Python 3", "language": "python",
                                       "name": "python3"}},
           "nbformat": 4, "nbformat_minor": 4}
    if components:
        for i, cell in enumerate(old["cells"]):
            cell["metadata"]["canvas"] = {"id": "c%d" % i, "name": "step %d" % i,
                                          "parents": [], "comments": []}
    new = json.loads(json.dumps(old))
    for i in range(0, n, 50):
        new["cells"][i]["source"][1] = "y%d = x%d * 3\n" % (i, i)
    added = code_cell(n, rng)
    if components:
        added["metadata"]["canvas"] = {"id": "new", "name": "added", "parents": [],
                                       "comments": []}
    new["cells"].insert(n // 2, added)
    return old, new


def write_pair(name, old, new):
    d = os.path.join(BUILD, name)
    os.makedirs(d, exist_ok=True)
    paths = []
    for side, nb in (("old", old), ("new", new)):
        path = os.path.join(d, side + ".ipynb")
        with open(path, "w", encoding="utf-8") as f:
            f.write(generate.dumps_notebook(nb))
        paths.append(path)
    return paths


def cases(quick):
    out = []
    for n in (1000,) if quick else (1000, 10000):
        for components in (False, True):
            name = "generated-%d%s" % (n, "-components" if components else "")
            out.append((name, write_pair(name, *generated(n, components))))
    files = generate.corpus_files(generate.DEFAULT_CORPUS)
    if quick:
        files = files[:2]
    for path in files:
        for name, base, current, incoming, info in generate.corpus_cases(path):
            new = current if info["variant"] == "rerun" else incoming
            out.append((name, write_pair(name, base, new)))
    return out


class Spawner:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-S", os.path.join(HERE, "spawn.py")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     universal_newlines=True)
        json.loads(self.proc.stdout.readline())

    def time(self, argv, env, cwd=BUILD, timeout=600):
        req = {"argv": argv, "env": env, "cwd": cwd, "timeout": timeout,
               "stderr": os.path.join(BUILD, "stderr.txt")}
        self.proc.stdin.write(json.dumps(req) + "\n")
        self.proc.stdin.flush()
        answer = json.loads(self.proc.stdout.readline())
        if answer.get("timeout"):
            return None
        if answer.get("code") != 0:
            with open(req["stderr"], encoding="utf-8", errors="replace") as f:
                raise RuntimeError("%s failed (%s): %s" % (argv, answer, f.read()[-500:]))
        return answer["t"]


def environment():
    """The commands' environment: a copy of the package from src/, compiled as an installation
    compiles it (PYTHONDONTWRITEBYTECODE would otherwise have every run compile it again), and
    the floor's script beside it, started with -m as the command is."""
    pkg = os.path.join(BUILD, "pkg")
    shutil.rmtree(pkg, ignore_errors=True)
    shutil.copytree(os.path.join(SRC, "corvane_git"), os.path.join(pkg, "corvane_git"),
                    ignore=shutil.ignore_patterns("*.cpp", "*.hpp", "__pycache__"))
    subprocess.run([sys.executable, "-m", "compileall", "-q", pkg], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.copyfile(os.path.join(HERE, "diff_floor.py"), os.path.join(BUILD, "diff_floor.py"))
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=pkg)
    env.pop("NO_COLOR", None)
    return env


def measure(spawner, env, name, old, new, rounds, nbdime_runs, limit=NBDIFF_LIMIT):
    floor_argv = [sys.executable, "-m", "diff_floor", old, new]
    diff_argv = [sys.executable, "-m", "corvane_git.scripts.merge_driver", "diff", old, new]
    floors, diffs = [], []
    spawner.time(diff_argv, env)   # warm the file cache
    for _ in range(rounds):
        floors.append(spawner.time(floor_argv, env))
        diffs.append(spawner.time(diff_argv, env))
    row = {"case": name, "bytes": os.path.getsize(old) + os.path.getsize(new),
           "floor_s": statistics.median(floors), "diff_s": statistics.median(diffs),
           "ratio": statistics.median(d / f for d, f in zip(diffs, floors))}
    if nbdime_runs and os.path.exists(NBDIFF):
        # A run stopped at the limit still bounds the ratio from below.
        times = [spawner.time([NBDIFF, old, new], env, timeout=limit)
                 for _ in range(nbdime_runs)]
        row["nbdiff_s"] = statistics.median(t if t is not None else limit for t in times)
        row["nbdiff_stopped"] = None in times
        row["nbdiff_vs_diff"] = row["nbdiff_s"] / row["diff_s"]
    return row


def git_repo(name, pairs, env):
    """A repository after install, with one commit of the old versions and one of the new."""
    repo = os.path.join(BUILD, "git-" + name)
    shutil.rmtree(repo, ignore_errors=True)
    os.makedirs(repo)

    def git(*args):
        subprocess.run(["git"] + list(args), cwd=repo, env=env, check=True,
                       stdout=subprocess.DEVNULL)
    git("init", "-q")
    subprocess.run([sys.executable, "-m", "corvane_git.scripts.merge_driver", "install"],
                   cwd=repo, env=env, check=True, stdout=subprocess.DEVNULL)
    for k in (0, 1):
        for i, pair in enumerate(pairs):
            shutil.copyfile(pair[k], os.path.join(repo, "nb%d.ipynb" % i))
        git("add", "-A")
        git("-c", "user.name=b", "-c", "user.email=b@b", "commit", "-q", "-m", str(k))
    return repo


def measure_git(spawner, env, repos, rounds):
    rows = []
    modes = (("external diff command", []), ("textconv (--no-ext-diff)", ["--no-ext-diff"]),
             ("raw JSON", ["--no-ext-diff", "--no-textconv"]))
    for name, repo in repos:
        row = {"case": name}
        times = {m: [] for m, _ in modes}
        for _ in range(rounds):
            for mode, flags in modes:
                times[mode].append(spawner.time(["git", "diff"] + flags + ["HEAD~", "HEAD"],
                                                env, cwd=repo))
        for mode, _ in modes:
            row[mode] = statistics.median(times[mode])
        rows.append(row)
    return rows


def report(rows, git_rows, command):
    out = ["# Notebook diff: the whole command against the floor and nbdiff", "",
           "`python3 bench/diff_bench.py%s`; times are medians in seconds; floor = python "
           "start plus json.load of both files; ratio = median of the rounds' diff / floor; "
           "\"> N\": nbdiff stopped after N seconds." % command, "",
           "| case | MB | floor | diff | diff / floor | nbdiff | nbdiff / diff |",
           "|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        out.append("| %s | %.1f | %.3f | %.3f | %.2f | %s | %s |" % (
            r["case"], r["bytes"] / 1e6, r["floor_s"], r["diff_s"], r["ratio"],
            ("> %.0f" if r.get("nbdiff_stopped") else "%.2f") % r["nbdiff_s"]
            if "nbdiff_s" in r else "-",
            ("> %.0f×" if r.get("nbdiff_stopped") else "%.0f×") % r["nbdiff_vs_diff"]
            if "nbdiff_vs_diff" in r else "-"))
    out += ["", "## git diff HEAD~ HEAD after install", "",
            "| case | external diff command | textconv (--no-ext-diff) | raw JSON |",
            "|---|---:|---:|---:|"]
    for r in git_rows:
        out.append("| %s | %.3f | %.3f | %.3f |" % (
            r["case"], r["external diff command"], r["textconv (--no-ext-diff)"],
            r["raw JSON"]))
    return "\n".join(out) + "\n"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--no-nbdime", action="store_true")
    ap.add_argument("--nbdiff-limit", type=float, default=NBDIFF_LIMIT,
                    help="seconds after which an nbdiff run is stopped (it then bounds the "
                         "ratio from below)")
    args = ap.parse_args(argv)
    os.makedirs(BUILD, exist_ok=True)
    env = environment()
    spawner = Spawner()
    rows = []
    all_cases = cases(args.quick)
    for name, (old, new) in all_cases:
        runs = 0 if args.no_nbdime else (3 if os.path.getsize(old) < 1e6 and
                                         name.startswith("corpus") else 1)
        rows.append(measure(spawner, env, name, old, new, args.rounds, runs, args.nbdiff_limit))
        print(json.dumps(rows[-1]), flush=True)
    by_name = dict(all_cases)
    small = [generate_small(i) for i in range(20)]
    repos = [("1 notebook, 1,000 cells", git_repo("1000", [by_name["generated-1000-components"]],
                                                    env)),
             ("20 notebooks of 10 cells", git_repo("small", small, env))]
    if "generated-10000-components" in by_name:
        repos.insert(1, ("1 notebook, 10,000 cells",
                         git_repo("10000", [by_name["generated-10000-components"]], env)))
    git_rows = measure_git(spawner, env, repos, args.rounds)
    for r in git_rows:
        print(json.dumps(r), flush=True)
    command = " ".join(a for a in (argv if argv is not None else sys.argv[1:]))
    command = (" " + command) if command else ""
    target = os.path.join(RESULTS, "quick") if args.quick else RESULTS
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(target, "results.json"), "w") as f:
        json.dump({"rows": rows, "git": git_rows}, f, indent=1)
    with open(os.path.join(target, "results.md"), "w", encoding="utf-8") as f:
        f.write(report(rows, git_rows, command))
    print(report(rows, git_rows, command))
    return 0


def generate_small(i):
    return write_pair("small-%d" % i, *generated(10, True))


if __name__ == "__main__":
    sys.exit(main())
