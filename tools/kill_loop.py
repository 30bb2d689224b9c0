"""Kill the merge driver at random moments of a large merge, again and again, and check what
each kill leaves.

    python3 tools/kill_loop.py [--runs N] [--cells N] [--seed N] [--python PATH]

Each run merges a fresh copy of one case (bench/generate.py's synthetic case of --cells cells,
with source merges, so that worker threads and git children are about) and sends it SIGKILL
or SIGTERM at a random moment of a whole merge's time. After each kill:

- our file holds the old bytes or a complete merge (the same notebook as an undisturbed merge,
  apart from the fresh ids the merge draws);
- a SIGTERM ended the process by that signal (or the merge had finished: 0 or 1), and left
  nothing of ours;
- one second later no process of the driver's process group is alive.

Leftovers (our temporary files and directories in the private TMPDIR and beside the notebook)
are counted after each kill; the next run removes them. After the last kill one undisturbed
run must leave nothing of ours anywhere, while entries that only look like ours (decoys: a
live maker, another boot, a foreign name) stay untouched. Exit status 0 when all holds.
Uses the package from src/ (tools/devbuild.sh) unless PYTHONPATH says otherwise.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.path.insert(0, os.path.join(ROOT, "src"))
import generate  # noqa: E402
from corvane_git.scripts.merge_driver.notebooks import temporary  # noqa: E402

UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
OURS = re.compile(r"(corvane-src-|corvane-base-|\.merge_ipynb-|\.corvane-merge-)")


def normalised(data):
    """The notebook in `data` with every uuid-shaped string made one, or None if not JSON."""
    try:
        return UUID.sub("UUID", json.dumps(json.loads(data.decode("utf-8")), sort_keys=True))
    except ValueError:
        return None


def group_alive(pgid):
    """Pids of live (not zombie) processes in process group `pgid`."""
    alive = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                data = f.read()
        except OSError:
            continue
        fields = data[data.rindex(b")") + 2:].split()
        if int(fields[2]) == pgid and fields[0] not in (b"Z", b"X"):
            alive.append(int(name))
    return alive


def ours_in(*dirs):
    return sorted(os.path.join(d, n) for d in dirs for n in os.listdir(d) if OURS.match(n))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=100)
    ap.add_argument("--cells", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=16)
    ap.add_argument("--python", default=sys.executable)
    args = ap.parse_args(argv)
    rng = random.Random(args.seed)

    root = tempfile.mkdtemp(prefix="kill-loop-")
    tmp, work = os.path.join(root, "tmp"), os.path.join(root, "work")
    os.makedirs(tmp)
    os.makedirs(work)
    cases = generate.ensure_cases(os.path.join(ROOT, "build", "bench", "cases"), [args.cells], [],
                                  log=lambda text: print(text, flush=True))
    case = next(c for c in cases if c.endswith("-mixed"))
    for side in ("base", "current", "incoming"):
        shutil.copyfile(os.path.join(case, side + ".ipynb"), os.path.join(work, side + ".ipynb"))
    with open(os.path.join(work, "current.ipynb"), "rb") as f:
        old = f.read()
    target = os.path.join(work, "ours.ipynb")
    env = dict(os.environ, TMPDIR=tmp, PYTHONPATH=os.pathsep.join(
        p for p in (os.path.join(ROOT, "src"), os.environ.get("PYTHONPATH")) if p))
    command = [args.python, "-m", "corvane_git.scripts.merge_driver",
               os.path.join(work, "base.ipynb"), target, os.path.join(work, "incoming.ipynb"),
               "nb.ipynb"]

    def start():
        with open(target, "wb") as f:
            f.write(old)
        return subprocess.Popen(command, env=env, cwd=work, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, start_new_session=True)

    # Decoys: named like ours but not provably left by a dead run of this boot, or not ours.
    tag = temporary.process_tag()
    pid, start_time, ns, boot = tag.split("-")
    decoys = [os.path.join(tmp, "corvane-src-%s-keep" % tag),                 # maker alive
              os.path.join(tmp, "corvane-src-1-1-%s-%s-keep" % (ns, "f" * 32)),  # other boot
              os.path.join(tmp, "tmpabcdef"),                                  # a name not ours
              os.path.join(work, ".merge_ipynb-%s-keep.tmp" % tag)]
    for decoy in decoys:
        if decoy.endswith("keep") or "tmpabc" in decoy:
            os.makedirs(decoy)
        else:
            open(decoy, "w").close()

    t0 = time.perf_counter()
    proc = start()
    _, err = proc.communicate()
    whole = time.perf_counter() - t0
    if proc.returncode not in (0, 1):
        sys.exit("the undisturbed merge failed (%d): %s" % (proc.returncode, err.decode()))
    with open(target, "rb") as f:
        complete = normalised(f.read())
    print("case %s: an undisturbed merge takes %.2f s" % (os.path.basename(case), whole))

    counts = {"runs": 0, "SIGKILL": 0, "SIGTERM": 0, "finished first": 0, "old": 0,
              "complete": 0, "bad file": 0, "bad status": 0, "children alive": 0,
              "runs leaving files": 0, "files left": 0, "left after SIGTERM": 0}
    for _ in range(args.runs):
        signum = rng.choice((signal.SIGKILL, signal.SIGTERM))
        delay = rng.uniform(0, whole * 1.1)
        earlier = set(ours_in(tmp, work))
        proc = start()
        time.sleep(delay)
        finished = proc.poll() is not None
        if not finished:
            proc.send_signal(signum)   # the driver alone: its children are left to end
        proc.communicate()
        counts["runs"] += 1
        counts["finished first" if finished else signum.name] += 1
        if not finished and signum == signal.SIGTERM and proc.returncode not in (
                -signal.SIGTERM, 0, 1):
            counts["bad status"] += 1
            print("SIGTERM: exit status %d" % proc.returncode)
        with open(target, "rb") as f:
            data = f.read()
        state = "old" if data == old else "complete" if normalised(data) == complete else "bad file"
        counts[state] += 1
        time.sleep(1.0)
        if group_alive(proc.pid):
            counts["children alive"] += 1
        left = [p for p in ours_in(tmp, work) if p not in decoys]
        if left:
            counts["runs leaving files"] += 1
            counts["files left"] += len(left)
        if signum == signal.SIGTERM and set(left) - earlier:
            counts["left after SIGTERM"] += 1
            print("SIGTERM left %s" % sorted(set(left) - earlier))

    proc = start()
    proc.communicate()
    left = [p for p in ours_in(tmp, work) if p not in decoys]
    decoys_kept = all(os.path.lexists(d) for d in decoys)
    others = [n for n in os.listdir(work) if n not in (
        "base.ipynb", "current.ipynb", "incoming.ipynb", "ours.ipynb")
        and os.path.join(work, n) not in decoys]
    print(" ".join("%s=%d" % kv for kv in counts.items()))
    print("after one more run: %d of ours left, decoys kept: %s, other files: %s"
          % (len(left), decoys_kept, others or "none"))
    ok = (not left and decoys_kept and not others and not counts["bad file"]
          and not counts["bad status"] and not counts["children alive"]
          and not counts["left after SIGTERM"])
    shutil.rmtree(root, ignore_errors=True)
    print("OK" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
