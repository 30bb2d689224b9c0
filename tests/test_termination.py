"""A driver stopped in the middle of a merge: SIGTERM ends it as Ctrl-C does, and what a SIGKILL
leaves behind the next run removes, touching nothing that is not provably a dead run's."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

from isolation import child_env, snapshot
from notebooks import ThreeWay
from test_faults import BASE, OURS, THEIRS, ARGS, fake_git
from corvane_git.scripts.merge_driver.notebooks import temporary

if not os.path.isdir("/proc/self") or not hasattr(signal, "SIGHUP"):
    pytest.skip("needs /proc and POSIX signals", allow_module_level=True)


@pytest.fixture
def stalled(tmp_path):
    """The three notebooks in work/, a private TMPDIR, and a git whose first merge-file waits
    a second after saying that it started."""
    work, tmp = tmp_path / "work", tmp_path / "tmp"
    work.mkdir()
    tmp.mkdir()
    ThreeWay(work, BASE, OURS, THEIRS)
    started = tmp_path / "started"
    path = fake_git(tmp_path / "bin", "if mkdir %s 2>/dev/null; then sleep 1; fi" % started)
    env = child_env(tmp, PATH=path)
    env.pop("GIT_PYTHON_GIT_EXECUTABLE", None)
    return work, tmp, started, env


def start_driver(work, env):
    return subprocess.Popen([sys.executable, "-m", "corvane_git.scripts.merge_driver"] + list(ARGS),
                            cwd=str(work), env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


@pytest.mark.parametrize("signum, left", [(signal.SIGTERM, False), (signal.SIGHUP, False),
                                          (signal.SIGINT, False), (signal.SIGKILL, True)])
def test_stopped_while_git_runs(stalled, signum, left):
    """SIGTERM, SIGHUP, Ctrl-C: the driver ends by that signal, silently (no traceback), with
    our file and both directories as they were. SIGKILL leaves the source merge's directory, which the next run removes before it
    merges."""
    work, tmp, started, env = stalled
    before = snapshot(str(work))
    proc = start_driver(work, env)
    deadline = time.monotonic() + 60
    while not started.exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (-signum, b"")
    assert snapshot(str(work)) == before
    names = os.listdir(str(tmp))
    assert bool(names) == left
    assert all(n.startswith("corvane-src-%d-" % proc.pid) for n in names)
    time.sleep(1.5)   # the killed run's git, left running, ends
    # What a kill during the final write leaves beside the notebook, under the killed run's tag.
    tag = temporary.process_tag().split("-", 2)[2]   # this boot's and namespace's, start 0
    for prefix in (temporary.MERGED, temporary.LAID_OUT):
        (work / ("%s%d-0-%s-k1ll3d.tmp" % (prefix, proc.pid, tag))).write_text("{")
    again = start_driver(work, env)
    again.communicate(timeout=60)
    assert again.returncode == 0 and os.listdir(str(tmp)) == []
    assert sorted(os.listdir(str(work))) == sorted(before)


def test_only_what_a_dead_run_left_is_removed(tmp_path):
    """Of the entries named like ours, only this user's of the right kind whose maker is gone
    (no such process, or its id reused by a process started later) are removed."""
    tag = temporary.process_tag()
    pid, start, ns, boot = tag.split("-")
    if start == "0":
        pytest.skip("the system does not say when a process started")
    dead = subprocess.Popen(["true"])
    dead.wait()
    entries = {   # name: (is a directory, removed)
        "corvane-src-%d-%s-%s-%s-ab12CD" % (dead.pid, start, ns, boot): (True, True),
        "corvane-src-%s-%d-%s-%s-ab12CD" % (pid, int(start) - 1, ns, boot): (True, True),
        "corvane-base-%d-%s-%s-%s-x_1.ipynb" % (dead.pid, start, ns, boot): (False, True),
        "corvane-src-%s-ab12CD" % tag: (True, False),                           # alive
        "corvane-src-%d-1-%s-%s-ab12CD" % (dead.pid, ns, "0" * 32): (True, False),  # other boot
        "corvane-src-%d-1-1-%s-ab12CD" % (dead.pid, boot): (True, False),       # other namespace
        "corvane-base-%d-1-%s-%s-ab12CD" % (dead.pid, ns, boot): (True, False),  # a directory
        "corvane-src-%d-1-%s-%s-file" % (dead.pid, ns, boot): (False, False),   # a file
        "corvane-src-%d-1-%s-%s" % (dead.pid, ns, boot): (True, False),         # no random part
        "tmp%d-1-%s-%s-ab12CD" % (dead.pid, ns, boot): (True, False),           # not our prefix
        ".merge_ipynb-%d-1-%s-%s-ab12CD.tmp" % (dead.pid, ns, boot): (False, False),  # elsewhere
    }
    for name, (is_directory, _) in entries.items():
        path = tmp_path / name
        if is_directory:
            path.mkdir()
            (path / "current").write_text("x")
        else:
            path.write_text("x")
    link = "corvane-src-%d-1-%s-%s-link" % (dead.pid, ns, boot)
    os.symlink(str(tmp_path / ("tmp%d-1-%s-%s-ab12CD" % (dead.pid, ns, boot))),
               str(tmp_path / link))
    entries[link] = (True, False)
    if os.geteuid() == 0:
        other = "corvane-src-%d-1-%s-%s-owner" % (dead.pid, ns, boot)
        (tmp_path / other).mkdir()
        os.chown(str(tmp_path / other), 12345, 12345)
        entries[other] = (True, False)
    temporary.remove_left_behind(str(tmp_path), temporary.IN_TEMP_DIR)
    assert sorted(os.listdir(str(tmp_path))) == sorted(
        name for name, (_, removed) in entries.items() if not removed)
    assert os.listdir(str(tmp_path / link)) == ["current"]


NAMESPACES = pytest.mark.skipif(not shutil.which("unshare") or os.geteuid() != 0,
                                reason="needs unshare and root")
# Run in a new namespace: makes a leftover named for a maker that looks gone from there, lets the
# shell text (L: the leftover) put a file "kept" in it, runs the removal and counts "kept" files.
IN_NAMESPACE = """
import os, re, subprocess, sys
from corvane_git.scripts.merge_driver.notebooks import temporary
ns = re.search(r"[[]([0-9]+)[]]", os.readlink("/proc/self/ns/pid")).group(1)
with open("/proc/sys/kernel/random/boot_id") as f:
    boot = f.read().strip().replace("-", "")
dead = subprocess.Popen(["true"])
dead.wait()
leftover = os.path.join(sys.argv[1], "corvane-src-%d-1-%s-%s-ab12CD" % (dead.pid, ns, boot))
os.mkdir(leftover)
subprocess.check_call(["sh", "-ec", sys.argv[2]], env=dict(os.environ, L=leftover))
temporary.remove_left_behind(sys.argv[1], temporary.IN_TEMP_DIR)
print(sum(names.count("kept") for _, _, names in os.walk(sys.argv[1])))
"""


@NAMESPACES
@pytest.mark.parametrize("unshare, setup", [
    (["--mount"], 'mount -t tmpfs t "$L"; echo x > "$L/kept"'),
    (["--mount"], 'mkdir "$L/in"; mount -t tmpfs t "$L/in"; echo x > "$L/in/kept"'),
    (["--pid", "--fork"], 'echo x > "$L/kept"'),
], ids=["mount-on-the-leftover", "mount-inside-it", "pid-namespace-seeing-the-host-proc"])
def test_removal_stays_on_its_file_system_and_in_its_namespace(tmp_path, unshare, setup):
    """A file system mounted on or inside a dead run's leftover keeps what it holds; in a pid
    namespace without its own /proc, where /proc/PID is another process, nothing is removed."""
    out = subprocess.run(["unshare"] + unshare + [sys.executable, "-c", IN_NAMESPACE, str(tmp_path), setup],
                         stdout=subprocess.PIPE, check=True).stdout
    assert out.strip() == b"1"


@NAMESPACES
def test_names_made_in_a_pid_namespace_without_its_proc_prove_nothing(tmp_path):
    """There /proc/self is not this process: both the driver's and the extension's tags take the
    PID-0-0-0 form that no later run takes for a dead maker's."""
    work, tmp = tmp_path / "work", tmp_path / "tmp"
    work.mkdir()
    tmp.mkdir()
    ThreeWay(work, BASE, OURS, THEIRS)
    listing = tmp_path / "listing"
    env = child_env(tmp, PATH=fake_git(tmp_path / "bin", 'ls "$TMPDIR" >> %s' % listing))
    env.pop("GIT_PYTHON_GIT_EXECUTABLE", None)
    tag = subprocess.run(["unshare", "--pid", "--fork", sys.executable, "-c",
                          "from corvane_git.scripts.merge_driver.notebooks import temporary; print(temporary.process_tag())"],
                         env=env, stdout=subprocess.PIPE, check=True).stdout
    assert re.match(br"[0-9]+-0-0-0\n\Z", tag)
    driver = subprocess.run(["unshare", "--pid", "--fork", sys.executable, "-m", "corvane_git.scripts.merge_driver"]
                            + list(ARGS), cwd=str(work), env=env)
    assert driver.returncode == 0
    names = listing.read_text().split()
    assert names and all(re.match(r"corvane-src-[0-9]+-0-0-0-", n) for n in names)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's shadow memory needs an unlimited address space")
@pytest.mark.parametrize("limit_mb", [100, 146, 200, 400, 800])
def test_under_a_memory_limit_it_merges_or_fails_cleanly(tmp_path, limit_mb):
    """Under a limit on address space the driver merges or fails with exit 2, our file as it
    was; never aborts, never leaves a directory behind."""
    import resource
    work, tmp = tmp_path / "work", tmp_path / "tmp"
    work.mkdir()
    tmp.mkdir()
    ThreeWay(work, BASE, OURS, THEIRS)
    before = snapshot(str(work))
    limit = limit_mb << 20
    proc = subprocess.run(
        [sys.executable, "-m", "corvane_git.scripts.merge_driver"] + list(ARGS), cwd=str(work),
        env=child_env(tmp), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert proc.returncode in (0, 2), proc.stderr
    assert os.listdir(str(tmp)) == []
    if proc.returncode == 2:
        assert snapshot(str(work)) == before
