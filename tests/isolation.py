"""Merges watched from outside: what a directory holds, a private TMPDIR, the driver and merges in
child processes, and a file system of the test's own.

    before = snapshot(work)
    proc = run_driver(work, tmp, "base.ipynb", "ours.ipynb", "theirs.ipynb", "nb.ipynb")
    assert snapshot(work) == before and os.listdir(tmp) == []
"""
import json
import os
import shutil
import subprocess
import sys

from conftest import PACKAGE_ROOT

PROG = "corvane-merge-driver"


def cannot_merge(cause, path="nb.ipynb"):
    """The driver's line for a merge that failed even as text (a plain `path`, no quoting)."""
    return ("%s: cannot merge %s: %s; our version is kept, without conflict markers: take theirs "
            "with git checkout --theirs -- :/%s, or see it with git show :3:%s\n"
            % (PROG, path, cause, path, path))


def snapshot(directory):
    """Every entry of `directory`: a file's bytes, a directory's listing, a link's target."""
    files = {}
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if os.path.islink(path):
            files[name] = ("link", os.readlink(path))
        elif os.path.isdir(path):
            files[name] = sorted(os.listdir(path))
        else:
            with open(path, "rb") as f:
                files[name] = f.read()
    return files


def child_env(tmp, **extra):
    """The environment of a child that imports the package and keeps its temporary files in `tmp`."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    env["TMPDIR"] = str(tmp)
    env.update(extra)
    return env


def run_driver(cwd, tmp, *args, prefix=(), **env):
    """The driver command as git starts it, in `cwd`, with TMPDIR=`tmp`."""
    command = list(prefix) + [sys.executable, "-m", "corvane_git.scripts.merge_driver"] + list(args)
    return subprocess.run(command, cwd=str(cwd), env=child_env(tmp, **env), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=300)


MERGE_IN_CHILD = """
import json, sys, tempfile
tempfile.tempdir = sys.argv[1]
from corvane_git.scripts.merge_driver import merge_ipynb as m
try:
    m.merge_files(*sys.argv[2:6])
    result = None
except Exception as exc:
    result = [type(exc).__name__, str(exc)]
print(json.dumps(result))
"""


def merge_in_child(tmp, base, ours, theirs, file_path, prefix=()):
    """merge_files in a child process: None when it merged, else [exception type name, text].
    The child must end normally: a signal (a crash) fails the test."""
    proc = subprocess.run(list(prefix) + [sys.executable, "-c", MERGE_IN_CHILD, str(tmp), base, ours,
                                          theirs, file_path],
                          env=child_env(tmp), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


def drop_file_access():
    """The command prefix under which a child obeys file modes as a user does: [] when it does
    already, None when there is no way (root without setpriv). As root it drops the capabilities
    that override file modes."""
    if os.name == "nt":
        return None  # Windows has no file modes that keep a file from being read
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    return None if setpriv is None else [setpriv, "--bounding-set=-dac_override,-dac_read_search"]


class SmallFileSystem:
    """A tmpfs of `size` bytes mounted at `path` (root only); `available` says whether it is."""

    def __init__(self, path, size):
        self.path = str(path)
        os.makedirs(self.path, exist_ok=True)
        self.available = os.name != "nt" and os.geteuid() == 0 and shutil.which("mount") is not None and subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % size, "tmpfs", self.path],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE).returncode == 0

    def read_only(self):
        subprocess.run(["mount", "-o", "remount,ro", self.path], check=True)

    def fill(self, leave=0):
        """Takes all free space but about `leave` bytes, in a file named "filler"."""
        path = os.path.join(self.path, "filler")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            while os.write(fd, b"\0" * 4096):
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        if leave:
            os.truncate(path, max(0, os.path.getsize(path) - leave))

    def unmount(self):
        if self.available:
            subprocess.run(["umount", "-l", self.path], check=True)
