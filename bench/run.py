"""The merge benchmark: every contender on every case, side by side, in one run.

    python bench/run.py            # 100, 1,000 and 10,000 cells and the whole corpus
    python bench/run.py --quick    # 100 cells and two small corpus notebooks, few repeats

Run it with the interpreter the extension was built for (tools/devbuild.sh); the package is
taken from src/ unless --installed is given. Writes results.md, results.json and plot.png
under bench/results/ (bench/results/quick/ for --quick). A contender that cannot run yet is
reported as "not available", one that exceeds the per-run time limit as "timeout".
"""
import argparse
import datetime
import json
import os
import platform
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import generate  # noqa: E402
import report  # noqa: E402
from worker import enough  # noqa: E402

BUILD = os.path.join(ROOT, "build", "bench")
VENV = os.path.join(ROOT, "build", "bench-venv")
LABEL = "notebook.ipynb"
LEAK_CELLS = 20  # small, so that 1,000 merges fit in the run; it has every kind of change
QUICK_CORPUS = ("hf_sagemaker_batch_transform", "numpy100_exercises")


class Unavailable(Exception):
    """The contender cannot run here; the message says why."""


# ---- running things ------------------------------------------------------------------------

class Settings:
    def __init__(self, args):
        self.python = args.python
        self.repeats = args.repeats
        self.budget = args.budget
        self.timeout = args.timeout
        self.nbdime_timeout = args.nbdime_timeout
        self.env = dict(os.environ, PYTHONHASHSEED="0")
        self.package = None
        self.spawner = None  # set by main: whole commands with their peak memory
        # The whole-process floor is started with -m from the folder the commands run in.
        os.makedirs(BUILD, exist_ok=True)
        shutil.copyfile(os.path.join(HERE, FLOOR_MODULE + ".py"),
                        os.path.join(BUILD, FLOOR_MODULE + ".py"))
        if not args.installed:
            # A copy taken now: other builds into src/ during the run must not mix with it.
            pkg = os.path.join(BUILD, "pkg")
            shutil.rmtree(pkg, ignore_errors=True)
            shutil.copytree(os.path.join(ROOT, "src", "corvane_git"),
                            os.path.join(pkg, "corvane_git"),
                            ignore=shutil.ignore_patterns("*.cpp", "*.hpp", "__pycache__"))
            # Compiled now, as an installation compiles it: a merge then reads the bytecode
            # (also where PYTHONDONTWRITEBYTECODE keeps interpreters from writing it).
            subprocess.run([self.python, "-m", "compileall", "-q", pkg], check=True,
                           stdout=subprocess.DEVNULL)
            self.package = pkg
            self.env["PYTHONPATH"] = os.pathsep.join(
                p for p in (pkg, os.environ.get("PYTHONPATH")) if p)

    def with_repeats(self, repeats):
        other = Settings.__new__(Settings)
        other.__dict__.update(self.__dict__, repeats=repeats)
        return other


def run_worker(settings, job, timeout):
    """Runs one worker job; returns (lines received, status) where status is "ok", "timeout"
    (no line for `timeout` seconds: the worker is stopped) or the worker's error text."""
    # stderr goes to a file: a pipe nobody reads until the end could fill and stall the worker.
    errors = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen([settings.python, os.path.join(HERE, "worker.py"), json.dumps(job)],
                            stdout=subprocess.PIPE, stderr=errors, text=True,
                            env=settings.env, cwd=BUILD)
    lines = queue.Queue()

    def pump():
        for line in proc.stdout:
            lines.put(line)
        lines.put(None)

    threading.Thread(target=pump, daemon=True).start()
    got = []
    status = "ok"
    while True:
        try:
            line = lines.get(timeout=timeout)
        except queue.Empty:
            proc.kill()
            status = "timeout"
            break
        if line is None:
            break
        try:
            got.append(json.loads(line))
        except ValueError:
            continue
    proc.wait()
    errors.seek(0)
    err = errors.read()
    errors.close()
    proc.stdout.close()
    if status == "ok":
        for item in got:
            if "error" in item:
                status = item["error"]
        if not any(item.get("done") for item in got) and status == "ok":
            status = "worker exited with %s: %s" % (proc.returncode, _last_line(err))
    return got, status


def _last_line(text):
    lines = [l for l in (text or "").strip().splitlines() if l.strip()]
    return lines[-1][:300] if lines else ""


def time_command(argv, reset, settings, ok_codes, cwd=None, budget=None, timeout=None,
                 spawner=None):
    """Runs a command repeatedly; returns {"times": [...]} or {"status": why}. With a
    `spawner`, each run's peak resident memory is kept too (in "peaks_kb")."""
    return time_alternating([(argv, reset, ok_codes)], settings, cwd=cwd, budget=budget,
                            timeout=timeout, spawner=spawner, warm=False)[0]


def time_alternating(commands, settings, cwd=None, budget=None, timeout=None, spawner=None,
                     warm=True):
    """Times several commands (argv, reset, ok_codes) in turns: one run of each per round,
    until each has `enough` runs, so that a change in the machine's load falls on all alike.
    With `warm`, each command runs once untimed first (files in the page cache, compiled
    modules written). Returns one result per command: {"times": [...]} (and "peaks_kb" with a
    `spawner`) or {"status": why}, with the times taken before a failure or timeout."""
    budget = settings.budget if budget is None else budget
    timeout = timeout or settings.timeout
    results = [{"times": []} for _ in commands]
    if spawner is not None:
        for res in results:
            res["peaks_kb"] = []
    if warm:
        for (argv, reset, ok_codes), res in zip(commands, results):
            reset()
            outcome = run_once(argv, settings, cwd, timeout, spawner)
            _check(outcome, ok_codes, res, timeout)
    while True:
        due = [(cmd, res) for cmd, res in zip(commands, results)
               if "status" not in res and not enough(res["times"], settings.repeats, budget)]
        if not due:
            return results
        for (argv, reset, ok_codes), res in due:
            reset()
            outcome = run_once(argv, settings, cwd, timeout, spawner)
            if _check(outcome, ok_codes, res, timeout):
                res["times"].append(outcome["t"])
                if spawner is not None:
                    res["peaks_kb"].append(outcome["peak_kb"])
                    # A reading at or below this is the spawner's memory, not the child's.
                    res["rss_bound_kb"] = max(res.get("rss_bound_kb", 0),
                                               outcome.get("own_kb") or 0)


def _check(outcome, ok_codes, res, timeout):
    """Records a failed or stopped run in `res`; True when the run counts."""
    if outcome["timeout"]:
        res.update(status="timeout", limit_s=timeout)
        return False
    if outcome["code"] not in ok_codes:
        res["status"] = "failed (exit %d): %s" % (outcome["code"], outcome["error"])
        return False
    return True


def run_once(argv, settings, cwd, timeout, spawner=None):
    """One run of a command: {"t", "code", "timeout", "error"} (the last line of its stderr),
    and "peak_kb", "own_kb" when a spawner ran it."""
    if spawner is not None:
        return spawner.run(argv, settings.env, cwd or BUILD, timeout)
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              env=settings.env, cwd=cwd or BUILD, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"t": None, "code": None, "timeout": True, "error": ""}
    return {"t": time.perf_counter() - t0, "code": proc.returncode, "timeout": False,
            "error": _last_line(proc.stderr.decode("utf-8", "replace"))}


class Spawner:
    """bench/spawn.py in a process of its own: starts commands and reports each one's time and
    peak resident memory (see there why it is a separate, small process)."""

    def __init__(self):
        self.stderr = os.path.join(BUILD, "work", "spawn-stderr.txt")
        os.makedirs(os.path.dirname(self.stderr), exist_ok=True)
        self.proc = subprocess.Popen([sys.executable, "-S", os.path.join(HERE, "spawn.py")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        hello = json.loads(self.proc.stdout.readline() or "{}")
        if not hello.get("ready"):
            raise Unavailable("the spawner did not start")
        self.own_kb = hello.get("own_kb")

    def run(self, argv, env, cwd, timeout):
        self.proc.stdin.write(json.dumps({"argv": argv, "env": env, "cwd": cwd,
                                          "stderr": self.stderr, "timeout": timeout}) + "\n")
        self.proc.stdin.flush()
        answer = json.loads(self.proc.stdout.readline() or '{"error": "the spawner ended"}')
        if "error" in answer:
            return {"t": None, "code": -1, "timeout": False, "error": answer["error"]}
        answer["error"] = ""
        if answer["code"] != 0:
            with open(self.stderr, encoding="utf-8", errors="replace") as f:
                answer["error"] = _last_line(f.read())
        return answer

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()
        self.proc.stdout.close()


def start_spawner(log):
    """The spawner, or None where it cannot run (no fork or wait4): whole commands are then
    timed from this process, without their peak memory."""
    if not (hasattr(os, "fork") and hasattr(os, "wait4")):
        log("no os.fork / os.wait4 here: whole commands are timed without their peak memory")
        return None
    try:
        return Spawner()
    except (OSError, ValueError, Unavailable) as exc:
        log("spawner not available (%s): whole commands are timed without their peak memory"
            % exc)
        return None


class Work:
    """A private copy of one case's notebooks, for the commands that write over our side."""

    def __init__(self, case_dir, name):
        self.dir = os.path.join(BUILD, "work", name)
        os.makedirs(self.dir, exist_ok=True)
        self.paths = {}
        for side in ("base", "current", "incoming"):
            self.paths[side] = os.path.join(self.dir, side + ".ipynb")
            shutil.copyfile(os.path.join(case_dir, side + ".ipynb"), self.paths[side])
        with open(self.paths["current"], "rb") as f:
            self.ours = f.read()
        self.floor_out = os.path.join(self.dir, "floor-out.ipynb")

    def reset(self):
        """Puts our side back and removes the whole-process floor's output, so that each run
        of either writes a new file."""
        with open(self.paths["current"], "wb") as f:
            f.write(self.ours)
        if os.path.exists(self.floor_out):
            os.remove(self.floor_out)

    def merged_is_json(self):
        try:
            with open(self.paths["current"], encoding="utf-8") as f:
                json.load(f)
            return True
        except (OSError, ValueError):
            return False

    def triple(self):
        return [self.paths["base"], self.paths["current"], self.paths["incoming"]]


# ---- contenders ----------------------------------------------------------------------------

def driver_argv(settings, work):
    """The driver command as the driver line that install writes gives it (git's %L is 7)."""
    return ([settings.python, "-m", "corvane_git.scripts.merge_driver", "--marker-size=7", "--"]
            + work.triple() + [LABEL])


FLOOR_MODULE = "whole_floor"


def dump_layout(data):
    """json.dump's parameters for the layout of a notebook file's bytes, as the driver writes
    the merge in the layout of our side's file: the indentation (a first line "{" alone, then
    a key indented by spaces or tabs), raw or escaped non-ASCII text, the line ending and the
    text after the document; separators are json.dump's own for that kind of file."""
    head = data[:1 << 16].decode("utf-8", "replace")
    lines = head.lstrip().split("\n", 2)
    indent = None
    if len(lines) > 1 and lines[0].rstrip("\r") == "{":
        second = lines[1]
        indent = second[:len(second) - len(second.lstrip(" \t"))]
    raw = not data.isascii()
    escaped = b"\\u" in data
    ensure_ascii = not raw and (escaped or indent is None)
    first_break = head.find("\n")
    newline = "\r\n" if first_break > 0 and head[first_break - 1] == "\r" else "\n"
    trail = data[len(data.rstrip()):].decode("ascii").replace("\r\n", "\n")
    dump = {"ensure_ascii": ensure_ascii}
    if indent is not None:
        dump["indent"] = len(indent) if indent == " " * len(indent) else indent
    return {"dump": dump, "trail": trail, "newline": newline}


def floor_argv(settings, work):
    """The whole-process floor (bench/whole_floor.py, started with -m like the driver)."""
    return [settings.python, "-m", FLOOR_MODULE, json.dumps(dump_layout(work.ours)),
            work.floor_out] + work.triple()


def check_driver(settings, case_dir):
    """Raises Unavailable unless the driver command merges a small case."""
    work = Work(case_dir, "driver-check")
    proc = subprocess.run(driver_argv(settings, work), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=settings.env, cwd=BUILD,
                          timeout=settings.timeout)
    err = proc.stderr.decode("utf-8", "replace")
    if "No module named" in err and "merge_driver" in err:
        raise Unavailable("no driver command (%s)" % _last_line(err))
    if proc.returncode not in (0, 1) or not work.merged_is_json():
        raise Unavailable("driver command failed (exit %d): %s"
                          % (proc.returncode, _last_line(err)))


def nbdime_command(settings, build_venv, log):
    """The command of nbdime's git merge driver, from the benchmark-only environment under
    build/ (made on demand); raises Unavailable when it cannot be had."""
    exe = os.path.join(VENV, "bin", "git-nbmergedriver")
    if not os.path.exists(exe):
        if not build_venv:
            raise Unavailable("nbdime not installed (%s missing)" % exe)
        log("installing nbdime into %s (benchmark only)" % VENV)
        try:
            subprocess.run([sys.executable, "-m", "venv", VENV], check=True,
                           stdout=subprocess.DEVNULL)
            subprocess.run([os.path.join(VENV, "bin", "python"), "-m", "pip", "install", "-q",
                            "nbdime", "matplotlib"], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
        except (OSError, subprocess.CalledProcessError) as exc:
            raise Unavailable("nbdime could not be installed (%s)" % exc)
    version = subprocess.run([exe, "--version"], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True).stdout.strip()
    return exe, version


def contenders(settings, args, case_dir, log):
    """Which whole commands can be measured: {"driver": True or why not, "nbdime": its
    command and version, or why not}; the driver command is tried on `case_dir`."""
    tools = {}
    try:
        check_driver(settings, case_dir)
        tools["driver"] = True
    except subprocess.TimeoutExpired:
        tools["driver"] = "timeout"
    except (Unavailable, OSError) as exc:
        tools["driver"] = "not available: %s" % exc
    if args.no_nbdime:
        tools["nbdime"] = "not measured (--no-nbdime)"
    else:
        try:
            tools["nbdime"] = nbdime_command(settings, True, log)
        except Unavailable as exc:
            tools["nbdime"] = "not available: %s" % exc
    return tools


def measure_case(case_dir, settings, tools, log):
    with open(os.path.join(case_dir, "case.json"), encoding="utf-8") as f:
        info = json.load(f)
    name = info["name"]
    row = {"case": info, "results": {}}
    res = row["results"]
    work = Work(case_dir, name)

    # merge_files and the floor, in one process; the worker is stopped when a run hangs.
    got, status = run_worker(settings, {
        "job": "inproc", "case": case_dir, "work": os.path.join(BUILD, "work", name + "-inproc"),
        "repeats": settings.repeats, "budget": settings.budget}, settings.timeout)
    res["floor"] = {"times": [g["t"] for g in got if g.get("what") == "floor"]}
    merge = {"times": [g["t"] for g in got if g.get("what") == "merge"]}
    # Each merge with the floor run right after it, for their ratio round by round.
    timed = [g for g in got if g.get("what") in ("merge", "floor")]
    merge["pairs"] = [[a["t"], b["t"]] for a, b in zip(timed, timed[1:])
                      if a["what"] == "merge" and b["what"] == "floor"]
    for g in got:
        if "unavailable" in g:
            merge["status"] = "not available: " + g["unavailable"]
        if "digest" in g:
            row["digest"] = g["digest"]
        if "git_runs" in g:
            row["git_runs"] = g["git_runs"]
    if status != "ok":
        merge["status"] = status if status == "timeout" else "failed: " + status
        if status == "timeout":
            merge["limit_s"] = settings.timeout
        if not res["floor"]["times"]:
            res["floor"]["status"] = merge["status"]
    res["merge_files"] = merge
    merge_ok = "status" not in merge

    # git merge-file writes the merge into its first file, our side's.
    p = work.paths
    res["git_merge_file"] = time_command(["git", "merge-file", p["current"], p["base"],
                                          p["incoming"]], work.reset,
                                         settings, ok_codes=range(0, 128))

    # The whole driver command and the whole-process floor, in turns, as git would start them.
    if isinstance(tools["driver"], str):
        res["driver"] = {"status": tools["driver"]}
    elif not merge_ok:
        res["driver"] = {"status": "skipped: merge_files " + merge["status"].split(":")[0]}
    if "driver" in res:
        res["floor_whole"] = time_command(floor_argv(settings, work), work.reset, settings,
                                          ok_codes=(0,), spawner=settings.spawner)
    else:
        res["floor_whole"], res["driver"] = time_alternating(
            [(floor_argv(settings, work), work.reset, (0,)),
             (driver_argv(settings, work), work.reset, (0, 1))],
            settings, spawner=settings.spawner)
    row["floor_writes_ours"] = floor_writes_ours(settings, work)

    if isinstance(tools["nbdime"], str):
        res["nbdime"] = {"status": tools["nbdime"]}
    else:
        # Three runs at most: it is the slowest contender by far, and its spread matters less.
        # One run may take `nbdime_factor` times the driver command, so that a run stopped at
        # the limit still decides the ratio's target.
        few = settings.with_repeats(min(3, settings.repeats))
        driver = report.stats(res["driver"])
        limit = max(settings.nbdime_timeout,
                    settings.nbdime_factor * driver[0] if driver else 0)
        res["nbdime"] = time_command([tools["nbdime"][0], "merge"] + work.triple() +
                                     ["7", LABEL], work.reset, few, ok_codes=(0, 1),
                                     timeout=limit)

    rss = {}
    for kind in ("floor", "merge"):
        if kind == "merge" and not merge_ok:
            continue
        got, status = run_worker(settings, {
            "job": "rss", "kind": kind, "case": case_dir,
            "work": os.path.join(BUILD, "work", name + "-rss")}, settings.timeout)
        peak = [g["peak_kb"] for g in got if "peak_kb" in g]
        start = [g["start_kb"] for g in got if "start_kb" in g]
        if status == "ok" and peak:
            rss[kind] = {"peak_kb": peak[0], "start_kb": start[0] if start else None}
    row["rss"] = rss
    log("  %-44s %s" % (name, report.one_line(res)))
    return row


def floor_writes_ours(settings, work):
    """Whether the whole-process floor writes our side's file back byte for byte: it does for
    a file in the layout of a json.dump (Jupyter's, for every generated case), which shows that
    the floor writes the layout the driver writes. None when it could not be run."""
    work.reset()
    try:
        subprocess.run(floor_argv(settings, work), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env=settings.env, cwd=BUILD,
                       timeout=settings.timeout, check=True)
        with open(work.floor_out, "rb") as f:
            return f.read() == work.ours
    except (OSError, subprocess.SubprocessError):
        return None
    finally:
        work.reset()


def measure_plain_case(case_dir, settings, tools, log):
    """The driver command and nbdime's on a plain-notebook case; nbdime may run
    `settings.nbdime_factor` times as long as the driver command (at least
    `settings.nbdime_min`), so that a run stopped at that limit still bounds the ratio."""
    with open(os.path.join(case_dir, "case.json"), encoding="utf-8") as f:
        info = json.load(f)
    work = Work(case_dir, info["name"])
    res = {}
    p = work.paths
    res["git_merge_file"] = time_command(["git", "merge-file", p["current"], p["base"],
                                          p["incoming"]], work.reset, settings,
                                         ok_codes=range(0, 128))
    if isinstance(tools["driver"], str):
        res["driver"] = {"status": tools["driver"]}
    else:
        res["driver"] = time_command(driver_argv(settings, work), work.reset, settings,
                                     ok_codes=(0, 1))
    if isinstance(tools["nbdime"], str):
        res["nbdime"] = {"status": tools["nbdime"]}
    else:
        driver = report.stats(res["driver"])
        limit = max(settings.nbdime_min, settings.nbdime_factor * driver[0] if driver else 0)
        few = settings.with_repeats(min(3, settings.repeats))
        res["nbdime"] = time_command([tools["nbdime"][0], "merge"] + work.triple() +
                                     ["7", LABEL], work.reset, few, ok_codes=(0, 1),
                                     timeout=limit)
    log("  %-52s %s" % (info["name"], report.one_line(res)))
    return {"case": info, "results": res}


def main_plain(args, settings, argv):
    """--plain: only the plain-notebook cases; writes results.md and results.json under
    bench/results/plain/."""
    started = time.perf_counter()
    load_start = os.getloadavg()[0]

    def log(text):
        print(text, flush=True)

    corpus = [] if args.no_corpus else generate.corpus_files(generate.DEFAULT_CORPUS, args.corpus)
    cases = generate.ensure_cases(os.path.join(BUILD, "cases"), args.sizes, corpus, log=log,
                                  plain=True)
    tools = contenders(settings, args, cases[0], log)
    log("cases:")
    rows = [measure_plain_case(c, settings, tools, log) for c in cases]
    data = {"machine": machine(settings, tools), "command": shown_command(
        argv if argv is not None else sys.argv[1:]),
        "settings": {"repeats": args.repeats, "budget_s": args.budget,
                     "timeout_s": args.timeout, "nbdime_factor": settings.nbdime_factor,
                     "nbdime_min_s": settings.nbdime_min},
        "cases": rows}
    data["machine"]["load"] = "%.2f at the start, %.2f at the end" % (
        load_start, os.getloadavg()[0])
    data["ratios"] = report.plain_ratios(data)
    data["seconds"] = time.perf_counter() - started
    with open(os.path.join(args.out, "results.json"), "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)
    with open(os.path.join(args.out, "results.md"), "w", encoding="utf-8") as f:
        f.write(report.plain_markdown(data))
    log("")
    log(report.ratio_lines(data["ratios"]))
    log("wrote %s (%.0f s)" % (os.path.join(args.out, "results.md"), data["seconds"]))
    return 0


def measure_units(settings, tools, small_case, leak_case, log):
    """What does not depend on a case: one bare `git merge-file` process on three small
    files, one in-process source merge, interpreter start with the driver's imports, and
    the leak check."""
    units = {}
    d = os.path.join(BUILD, "work", "unit")
    os.makedirs(d, exist_ok=True)
    base = "a = 1\nb = 2\nc = 3\nd = 4\ne = 5\nf = 6\ng = 7"
    files = {"base": base, "current": base.replace("a = 1", "a = 10"),
             "incoming": base.replace("g = 7", "g = 70")}
    for side, text in files.items():
        with open(os.path.join(d, side), "w") as f:
            f.write(text)

    def reset():
        with open(os.path.join(d, "current"), "w") as f:
            f.write(files["current"])

    many = max(settings.repeats, 20)
    fast = settings.with_repeats(many)
    units["git_merge_file_small"] = time_command(
        ["git", "merge-file", os.path.join(d, "current"), os.path.join(d, "base"),
         os.path.join(d, "incoming")], reset, fast, ok_codes=(0,), budget=5)
    units["import_baseline"] = time_command(
        [settings.python, "-c", "import git, jsondiff"], lambda: None, fast, ok_codes=(0,),
        budget=5)

    got, status = run_worker(settings, {"job": "source_unit", "repeats": many, "budget": 5},
                             settings.timeout)
    su = {"times": [g["t"] for g in got if g.get("what") == "source_unit"]}
    for g in got:
        if "unavailable" in g:
            su["status"] = "not available: " + g["unavailable"]
    if status != "ok" and "status" not in su:
        su["status"] = status
    units["merge_source_inproc"] = su

    # The interpreter's start with json's import, against the driver command on a small
    # notebook, in turns: the start-up the driver cannot avoid, and what it adds to it.
    import_json = ([settings.python, "-c", "import json"], lambda: None, (0,))
    if isinstance(tools["driver"], str):
        units["driver_small"] = {"status": tools["driver"]}
        units["import_json"] = time_alternating([import_json], fast, budget=10,
                                                spawner=settings.spawner)[0]
    else:
        work = Work(small_case, "driver-small")
        units["import_json"], units["driver_small"] = time_alternating(
            [import_json, (driver_argv(settings, work), work.reset, (0, 1))], fast, budget=10,
            spawner=settings.spawner)

    low, high = (10, settings.leak_merges)
    got, status = run_worker(settings, {
        "job": "leak", "case": leak_case, "work": os.path.join(BUILD, "work", "leak"),
        "low": low, "high": high, "budget": settings.leak_budget}, settings.timeout)
    marks = [g for g in got if "rss_kb" in g]
    leak = {"case": os.path.basename(leak_case),
            "low": low, "high": marks[-1]["merges"] if marks else high, "wanted": high,
            "rss_kb": {str(g["merges"]): g["rss_kb"] for g in marks},
            "seconds": marks[-1]["seconds"] if marks else None}
    unavailable = [g["unavailable"] for g in got if "unavailable" in g]
    if unavailable:
        leak["status"] = "not available: " + unavailable[0]
    elif status != "ok":
        leak["status"] = status if status == "timeout" else "failed: " + status
    units["leak"] = leak
    for key, value in units.items():
        log("  %-44s %s" % (key, report.describe(value)))
    return units


# ---- machine -------------------------------------------------------------------------------

def machine(settings, tools):
    def out(argv):
        try:
            return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True, cwd=ROOT).stdout.strip()
        except OSError:
            return ""
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(next(l for l in f if l.startswith("MemTotal")).split()[1])
            mem = "%.1f GiB" % (kb / 1024 ** 2)
    except (OSError, StopIteration, ValueError):
        pass
    head = out(["git", "rev-parse", "--short", "HEAD"])
    ext = subprocess.run(
        [settings.python, "-c", "import hashlib, os, corvane_git.scripts.merge_driver."
         "merge_ipynb as m; print(os.path.basename(m.__file__), hashlib.sha256("
         "open(m.__file__, 'rb').read()).hexdigest()[:12])"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=settings.env,
        cwd=BUILD).stdout.strip()
    dirty = out(["git", "status", "--porcelain", "--untracked-files=no"])
    return {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "cpu": cpu, "cores": os.cpu_count(), "memory": mem,
        "os": "%s %s" % (platform.system(), platform.release()),
        "python": out([settings.python, "-c", "import sys; print(sys.version.split()[0])"]),
        "git": out(["git", "--version"]),
        "nbdime": tools["nbdime"][1] if not isinstance(tools["nbdime"], str) else None,
        "commit": head + (" (with uncommitted changes)" if dirty else ""),
        "load": "%.2f" % os.getloadavg()[0],
        "extension": ext.replace(" ", " sha256 ") if ext else "not importable",
        "package": "a copy of src/ taken at the start of the run" if settings.package
                   else "the installed package",
    }


def shown_command(argv):
    """The command line as a report shows it: a path inside the repository relative to it, any
    other path by its file name alone (a committed report names no place on the machine that
    ran it)."""
    shown = []
    for arg in argv:
        if os.path.isabs(arg):
            inside = os.path.relpath(arg, ROOT)
            arg = inside if not inside.startswith(os.pardir) else os.path.basename(arg)
        shown.append(arg)
    return " ".join(["python", "bench/run.py"] + shown)


# ---- main ----------------------------------------------------------------------------------

def parse(argv):
    ap = argparse.ArgumentParser(description="Merge benchmark (see bench/README.md).")
    ap.add_argument("--quick", action="store_true",
                    help="smallest size, two small corpus notebooks, few repeats")
    ap.add_argument("--sizes", type=int, nargs="*", help="synthetic cell counts")
    ap.add_argument("--corpus", nargs="*",
                    help="only corpus notebooks whose names contain one of these")
    ap.add_argument("--no-corpus", action="store_true")
    ap.add_argument("--no-nbdime", action="store_true")
    ap.add_argument("--repeats", type=int, help="runs per measurement at most")
    ap.add_argument("--budget", type=float, help="seconds per measurement before stopping")
    ap.add_argument("--timeout", type=float, help="seconds one run may take")
    ap.add_argument("--nbdime-timeout", type=float,
                    help="seconds one nbdime run may take (it is slow on 10,000 cells)")
    ap.add_argument("--leak-merges", type=int, help="merges of the leak check")
    ap.add_argument("--leak-budget", type=float,
                    help="seconds the leak check may take; it stops early past them")
    ap.add_argument("--python", default=sys.executable,
                    help="interpreter for merge_files and the driver command")
    ap.add_argument("--installed", action="store_true",
                    help="use the installed package instead of src/")
    ap.add_argument("--out", help="results folder")
    ap.add_argument("--check-against", metavar="RESULTS_JSON",
                    help="compare merged-output digests with an earlier run")
    ap.add_argument("--shapes", nargs="*", choices=sorted(generate.SHAPES), metavar="SHAPE",
                    help="run only the input-shape cases (all, or those named: %s); writes "
                         "shapes.md and shapes.json" % ", ".join(generate.SHAPES))
    ap.add_argument("--plain", action="store_true",
                    help="only the plain-notebook cases (sizes 1,000, 10,000 and 100,000 and "
                         "the corpus), the driver command against nbdime's; results under "
                         "bench/results/plain/")
    ap.add_argument("--nbdime-factor", type=float, default=30.0,
                    help="one nbdime run may take this many times the driver command's "
                         "median, at least --nbdime-timeout seconds (--plain: --timeout)")
    args = ap.parse_args(argv)
    args.argv = argv
    args.out_given = args.out is not None
    q = args.quick
    if args.plain:
        args.sizes = args.sizes if args.sizes is not None else (
            [1000] if q else list(generate.PLAIN_SIZES))
    # Commands run from build/bench/, so a relative interpreter path is resolved here.
    args.python = (os.path.abspath(args.python) if os.sep in args.python
                   else shutil.which(args.python) or args.python)
    args.sizes = args.sizes if args.sizes is not None else ([100] if q else list(generate.SIZES))
    args.repeats = args.repeats or (3 if q else 5)
    args.budget = args.budget or (2.0 if q else 8.0)
    args.timeout = args.timeout or 30.0
    args.nbdime_timeout = args.nbdime_timeout or (30.0 if q else 180.0)
    args.leak_merges = args.leak_merges or (100 if q else 1000)
    args.leak_budget = args.leak_budget or (20.0 if q else 90.0)
    args.out = args.out or os.path.join(HERE, "results", *(
        ["plain"] if args.plain else []) + (["quick"] if q else []))
    if q and args.corpus is None:
        args.corpus = list(QUICK_CORPUS)
    return args


def median(times):
    times = sorted(times)
    return times[len(times) // 2] if times else None


def run_shapes(args, log):
    """Only the input-shape cases: the floor and merge_files at two sizes of each shape, and
    whether time grows in proportion to the size and stays near the floor."""
    settings = Settings(args)
    os.makedirs(BUILD, exist_ok=True)
    shapes = args.shapes or list(generate.SHAPES)
    folders = generate.ensure_shape_cases(os.path.join(BUILD, "cases"), shapes, log=log)
    rows = []
    for folder in folders:
        with open(os.path.join(folder, "case.json"), encoding="utf-8") as f:
            info = json.load(f)
        got, status = run_worker(settings, {
            "job": "inproc", "case": folder,
            "work": os.path.join(BUILD, "work", info["name"] + "-inproc"),
            "repeats": args.repeats, "budget": args.budget}, args.timeout)
        row = {"case": info, "status": status,
               "floor": [g["t"] for g in got if g.get("what") == "floor"],
               "merge_files": [g["t"] for g in got if g.get("what") == "merge"]}
        for g in got:
            if "unavailable" in g:
                row["status"] = g["unavailable"]
        rows.append(row)
        log("  %-28s floor %s  merge_files %s  %s" % (
            info["name"], report.fmt_time(median(row["floor"])),
            report.fmt_time(median(row["merge_files"])), row["status"]))
    data = {"machine": machine(settings, {"nbdime": "not measured"}),
            "command": shown_command(argv_of(args) if args.argv is not None else sys.argv[1:]),
            "settings": {"repeats": args.repeats, "budget_s": args.budget,
                         "timeout_s": args.timeout},
            "cases": rows}
    data["ratios"] = report.shape_ratios(rows, median)
    out = args.out if args.out_given else os.path.join(HERE, "results")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "shapes.json"), "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)
    with open(os.path.join(out, "shapes.md"), "w", encoding="utf-8") as f:
        f.write(report.shape_markdown(data, median))
    log("")
    log(report.shape_lines(data["ratios"]))
    log("wrote %s" % os.path.join(out, "shapes.md"))
    return 0 if all(r["holds"] for r in data["ratios"]) else 1


def argv_of(args):
    return args.argv


def main(argv=None):
    args = parse(argv)
    if args.shapes is not None:
        return run_shapes(args, lambda text: print(text, flush=True))
    settings = Settings(args)
    settings.leak_merges = args.leak_merges
    settings.leak_budget = args.leak_budget
    settings.nbdime_factor = args.nbdime_factor
    settings.nbdime_min = args.timeout
    os.makedirs(BUILD, exist_ok=True)
    os.makedirs(args.out, exist_ok=True)
    if args.plain:
        return main_plain(args, settings, argv)
    started = time.perf_counter()
    load_start = os.getloadavg()[0]

    def log(text):
        print(text, flush=True)

    corpus = [] if args.no_corpus else generate.corpus_files(generate.DEFAULT_CORPUS, args.corpus)
    sizes = sorted(set(args.sizes) | {LEAK_CELLS, 100})  # these serve the unit checks
    cases = generate.ensure_cases(os.path.join(BUILD, "cases"), sizes, corpus, log=log)
    cases = [c for c in cases if not os.path.basename(c).startswith("synthetic-")
             or int(os.path.basename(c).split("-")[1]) in args.sizes]
    small = os.path.join(BUILD, "cases", "synthetic-100-nosrc")

    tools = contenders(settings, args, small, log)
    log("driver command: %s" % ("ready" if tools["driver"] is True else tools["driver"]))
    log("nbdime: %s" % (tools["nbdime"][1] if not isinstance(tools["nbdime"], str)
                        else tools["nbdime"]))

    settings.spawner = start_spawner(log)
    log("unit costs:")
    leak_case = os.path.join(BUILD, "cases", "synthetic-%d-mixed" % LEAK_CELLS)
    units = measure_units(settings, tools, small, leak_case, log)
    log("cases:")
    rows = [measure_case(c, settings, tools, log) for c in cases]
    spawned = settings.spawner
    if spawned is not None:
        spawned.close()

    data = {"machine": machine(settings, tools), "command": shown_command(
        argv if argv is not None else sys.argv[1:]),
        "settings": {"repeats": args.repeats, "budget_s": args.budget,
                     "timeout_s": args.timeout, "nbdime_timeout_s": args.nbdime_timeout,
                     "leak_merges": args.leak_merges,
                     "leak_budget_s": args.leak_budget, "nbdime_factor": args.nbdime_factor,
                     "spawner_kb": spawned.own_kb if spawned is not None else None},
        "units": units, "cases": rows}
    data["machine"]["load"] = "%.2f at the start, %.2f at the end" % (
        load_start, os.getloadavg()[0])
    data["ratios"] = report.ratios(data)
    data["seconds"] = time.perf_counter() - started
    with open(os.path.join(args.out, "results.json"), "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)
    plot_note = make_plot(args.out, log)
    with open(os.path.join(args.out, "results.md"), "w", encoding="utf-8") as f:
        f.write(report.markdown(data, plot_note))
    log("")
    log(report.ratio_lines(data["ratios"]))
    if args.check_against:
        log(report.compare_digests(args.check_against, data))
    log("wrote %s (%.0f s)" % (os.path.join(args.out, "results.md"), data["seconds"]))
    return 0


def make_plot(out, log):
    """Draws plot.png with matplotlib from this interpreter, or else from the benchmark
    environment; returns None when drawn, or why not."""
    script = os.path.join(HERE, "plot.py")
    for py in (sys.executable, os.path.join(VENV, "bin", "python")):
        if not os.path.exists(py):
            continue
        has = subprocess.run([py, "-c", "import matplotlib"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).returncode == 0
        if has:
            proc = subprocess.run([py, script, out], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
            if proc.returncode == 0:
                return None
            log("plot failed: %s" % _last_line(proc.stdout))
            return "plot failed: %s" % _last_line(proc.stdout)
    log("no plot: matplotlib is not installed (pip install '.[bench]')")
    return "no plot: matplotlib is not installed"


if __name__ == "__main__":
    sys.exit(main())
