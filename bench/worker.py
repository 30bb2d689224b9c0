"""Measurements that run inside one interpreter, started by bench/run.py once per job so that a
merge that hangs can be stopped, and so that each memory reading has a process of its own.

usage: python bench/worker.py '<job as JSON>'
Prints one JSON object per line as results arrive; the last line of a finished job is
{"done": true}. A line {"unavailable": "..."} means the merge cannot be run at all.
"""
import gc
import hashlib
import json
import os
import random
import resource
import shutil
import sys
import time
import uuid

SIDES = ("base", "current", "incoming")


def emit(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


def rss_kb():
    """Resident memory now, from /proc; ru_maxrss only gives the peak."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def peak_kb():
    """Peak resident memory of this process. ru_maxrss would do, but Linux carries the
    parent's peak over fork and exec into it (a small child of a big parent reports the
    parent's peak); VmHWM is the same peak for this address space alone."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # kilobytes on Linux


class Case:
    """The three notebooks of a case copied into a work folder; `reset` puts our side back
    after a merge wrote over it (outside the timed part)."""

    def __init__(self, case_dir, work_dir):
        os.makedirs(work_dir, exist_ok=True)
        self.paths = {}
        for side in SIDES:
            self.paths[side] = os.path.join(work_dir, side + ".ipynb")
            shutil.copyfile(os.path.join(case_dir, side + ".ipynb"), self.paths[side])
        with open(self.paths["current"], "rb") as f:
            self.ours = f.read()
        self.out = os.path.join(work_dir, "floor-out.ipynb")
        self.label = "notebook.ipynb"

    def reset(self):
        """Puts our side back, and removes the floor's output so that each floor run, like
        each merge, writes a new file rather than emptying an old one."""
        with open(self.paths["current"], "wb") as f:
            f.write(self.ours)
        if os.path.exists(self.out):
            os.remove(self.out)

    def digest(self):
        with open(self.paths["current"], "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()

    def merge_args(self):
        p = self.paths
        return p["base"], p["current"], p["incoming"], self.label


def floor(case):
    """Only what any merge must do: read the three notebooks, write one."""
    loaded = []
    for side in ("current", "base", "incoming"):
        with open(case.paths[side], "r", encoding="utf-8") as f:
            loaded.append(json.load(f))
    with open(case.out, mode="w", encoding="utf-8") as f:
        json.dump(loaded[0], f)


class SeededUuid:
    """Stands in for the module's `uuid` global so that fresh ids, and so the merged file, are
    the same on every run; only used for the output digest."""

    def __init__(self):
        self.rng = random.Random(0)

    def uuid4(self):
        return uuid.UUID(int=self.rng.getrandbits(128), version=4)


class CountedGit:
    """While in use, the merge starts git through a script that counts its `merge-file` runs
    (the merge makes source merges whose edits lie apart without git); only for the untimed
    run."""

    def __init__(self, work_dir):
        self.log = os.path.join(work_dir, "git-runs.log")
        self.script = os.path.join(work_dir, "counted-git")
        real = os.environ.get("GIT_PYTHON_GIT_EXECUTABLE") or shutil.which("git") or "git"
        with open(self.script, "w") as f:
            f.write('#!/bin/sh\n[ "$1" = merge-file ] && echo run >> "%s"\nexec "%s" "$@"\n'
                    % (self.log, real))
        os.chmod(self.script, 0o755)

    def __enter__(self):
        if os.path.exists(self.log):
            os.remove(self.log)
        self.saved = os.environ.get("GIT_PYTHON_GIT_EXECUTABLE")
        os.environ["GIT_PYTHON_GIT_EXECUTABLE"] = self.script
        return self

    def __exit__(self, *exc):
        if self.saved is None:
            del os.environ["GIT_PYTHON_GIT_EXECUTABLE"]
        else:
            os.environ["GIT_PYTHON_GIT_EXECUTABLE"] = self.saved

    def runs(self):
        if not os.path.exists(self.log):
            return 0
        with open(self.log) as f:
            return len(f.read().split())


def load_merge():
    """merge_ipynb if it imports and its merge_files runs; otherwise the reason, as text."""
    try:
        from corvane_git.scripts.merge_driver import merge_ipynb
    except Exception as exc:  # a missing or broken build is a result here, not a crash
        return None, "cannot import merge_ipynb (%s: %s)" % (type(exc).__name__, exc)
    return merge_ipynb, None


def enough(times, repeats, budget):
    """The stopping rule of every repeated measurement: `repeats` runs, or fewer once
    `budget` seconds are spent, keeping three runs unless a single run is that slow."""
    n, spent = len(times), sum(times)
    if n >= repeats:
        return True
    return n >= 1 and spent >= budget and (n >= 3 or spent / n > budget / 3)


def timed_runs(what, fn, before, repeats, budget):
    """Runs fn until `enough`; prints each time as it is taken so that a parent that stops
    us keeps them."""
    times = []
    while not enough(times, repeats, budget):
        before()
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        emit(what=what, t=times[-1])


def job_inproc(job):
    """The floor and merge_files on one case in this process. After one untimed run of each,
    the floor is timed three times, then merge and floor runs alternate, so that a change in
    the machine's load falls on both alike."""
    case = Case(job["case"], job["work"])
    floor(case)
    timed_runs("floor", lambda: floor(case), case.reset, 3, job["budget"])
    m, why = load_merge()
    if m is None:
        emit(unavailable=why)
        return
    # The untimed merge runs with fixed fresh ids: its output digest is the same on every run
    # while the merge's result is. A failure here is reported instead of timings.
    real_uuid = getattr(m, "uuid", None)
    try:
        m.uuid = SeededUuid()
        case.reset()
        with CountedGit(job["work"]) as git:
            m.merge_files(*case.merge_args())
        emit(git_runs=git.runs())
        m.uuid = SeededUuid()
        case.reset()
        t0 = time.perf_counter()
        m.merge_files(*case.merge_args())
        first = time.perf_counter() - t0
        emit(digest=case.digest(), first=first)
    except Exception as exc:
        emit(unavailable="merge_files failed: %s: %s" % (type(exc).__name__, str(exc)[:300]))
        return
    finally:
        if real_uuid is not None:
            m.uuid = real_uuid
    if first > job["budget"]:
        emit(what="merge", t=first)  # one slow run is all the time allows
        return
    # A merge of up to a few hundred milliseconds varies by more than the differences measured:
    # such cases get more runs (about two seconds' worth of merges, at most 50), so that their
    # median settles.
    repeats = job["repeats"]
    if first > 0:
        repeats = max(repeats, min(50, int(2.0 / first)))
    times = []
    while not enough(times, repeats, job["budget"]):
        case.reset()
        gc.collect()
        t0 = time.perf_counter()
        m.merge_files(*case.merge_args())
        times.append(time.perf_counter() - t0)
        emit(what="merge", t=times[-1])
        case.reset()
        gc.collect()
        t0 = time.perf_counter()
        floor(case)
        emit(what="floor", t=time.perf_counter() - t0)


def job_source_unit(job):
    """_merge_source on three small line lists, in-process: one source merge as the merge
    pays it, next to the bare `git merge-file` process that run.py times."""
    m, why = load_merge()
    if m is None:
        emit(unavailable=why)
        return
    import git
    g = git.cmd.Git()
    base = ["a = 1\n", "b = 2\n", "c = 3\n", "d = 4\n", "e = 5\n", "f = 6\n", "g = 7"]
    ours = ["a = 10\n"] + base[1:]
    theirs = base[:-1] + ["g = 70"]
    try:
        result = m._merge_source(g, ours, base, theirs)
        if result != ["a = 10\n"] + base[1:-1] + ["g = 70"]:
            emit(unavailable="_merge_source gave %r" % (result,))
            return
    except Exception as exc:
        emit(unavailable="_merge_source failed: %s: %s" % (type(exc).__name__, exc))
        return
    timed_runs("source_unit", lambda: m._merge_source(g, ours, base, theirs), lambda: None,
               job["repeats"], job["budget"])


def job_rss(job):
    """Peak resident memory of one floor or one merge. Both kinds import the same modules
    first, so the difference is the work itself."""
    import git  # noqa: F401  (same imports for both kinds)
    import jsondiff  # noqa: F401
    m, why = load_merge()
    case = Case(job["case"], job["work"])
    gc.collect()
    emit(start_kb=rss_kb())
    if job["kind"] == "floor":
        floor(case)
    else:
        if m is None:
            emit(unavailable=why)
            return
        m.merge_files(*case.merge_args())
    emit(peak_kb=peak_kb())


def job_leak(job):
    """Resident memory after `low` merges of one case and after `high` merges, or after as
    many as `budget` seconds allow; a line after every merge keeps the parent's time limit
    per merge."""
    m, why = load_merge()
    if m is None:
        emit(unavailable=why)
        return
    case = Case(job["case"], job["work"])
    t0 = time.perf_counter()
    for i in range(1, job["high"] + 1):
        case.reset()
        m.merge_files(*case.merge_args())
        spent = time.perf_counter() - t0
        last = i == job["high"] or (i >= job["low"] and spent > job["budget"])
        if i == job["low"] or last:
            gc.collect()
            emit(merges=i, rss_kb=rss_kb(), seconds=spent)
        else:
            emit(merges=i)
        if last:
            break


JOBS = {"inproc": job_inproc, "source_unit": job_source_unit, "rss": job_rss, "leak": job_leak}


def main():
    job = json.loads(sys.argv[1])
    try:
        JOBS[job["job"]](job)
    except Exception as exc:
        emit(error="%s: %s" % (type(exc).__name__, str(exc)[:300]))
        return 1
    emit(done=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
