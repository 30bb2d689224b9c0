"""Shared helpers: cell dicts, traceback entries of the extension, child interpreters, and a real
git repository with the driver installed (the fixtures `repo` and `make_repo`)."""
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import traceback

import pytest

import corvane_git

MODULE = "corvane_git.scripts.merge_driver.merge_ipynb"
SOURCE = "corvane_git\\scripts\\merge_driver\\merge_ipynb"
PACKAGE_ROOT = str(pathlib.Path(corvane_git.__file__).resolve().parents[1])


# What only a POSIX system has, skipped on Windows with the reason.
ON_WINDOWS = os.name == "nt"
NO_SIGNALS = pytest.mark.skipif(ON_WINDOWS, reason="Windows ends a process with an exit code, not a signal")
NO_FORK = pytest.mark.skipif(ON_WINDOWS, reason="Windows has no fork")
SHELL_SCRIPT_PROGRAMS = pytest.mark.skipif(
    ON_WINDOWS, reason="uses a shell script as a program, which Windows cannot start")

# File modes that the platform keeps: on Windows only the owner's write bit (the read-only mark).
KEPT_MODES = [0o444, 0o666] if ON_WINDOWS else [0o640, 0o444]


def can_symlink(directory):
    """Whether a symbolic link made in `directory` resolves (not on Windows without the
    privilege, nor under Wine)."""
    target, link = os.path.join(directory, "symlink-probe"), os.path.join(directory, "symlink-probe-link")
    try:
        with open(target, "w") as f:
            f.write("x")
        os.symlink("symlink-probe", link)
        with open(link) as f:
            return f.read() == "x" and os.path.islink(link)
    except (OSError, NotImplementedError):
        return False
    finally:
        for path in (link, target):
            try:
                os.remove(path)
            except OSError:
                pass


@pytest.fixture
def private_tmp(tmp_path, monkeypatch):
    """A temporary directory of the test's own (tempfile's, in this process), to see that
    merges leave nothing in it."""
    d = tmp_path / "tmp"
    d.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(d))
    return d


@pytest.fixture
def work(tmp_path):
    """The notebooks' directory, apart from the temporary one."""
    d = tmp_path / "work"
    d.mkdir()
    return d


@pytest.fixture
def symlinks(tmp_path):
    if not can_symlink(str(tmp_path)):
        pytest.skip("symbolic links cannot be made here")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a long sweep or a rebuild of the extension; runs only with "
                                       "CORVANE_SLOW_TESTS=1 (as CI does)")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("CORVANE_SLOW_TESTS", "") not in ("", "0"):
        return
    skip = pytest.mark.skip(reason="slow: set CORVANE_SLOW_TESTS=1 to run it")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


def make_cell_dict(name="loader", link_id="comp-1", cell_id="cell-1"):
    return {
        "cell_type": "code",
        "execution_count": 3,
        "id": cell_id,
        "metadata": {"canvas": {
            "comments": [{"author": "ana", "text": "check the path"}],
            "headerColor": "blue",
            "id": link_id,
            "name": name,
            "parents": [{"id": "comp-0", "name": "reader"}],
        }},
        "outputs": [],
        "source": ["import os\n", "x = 1"],
    }


@pytest.fixture
def cell_dict():
    return make_cell_dict()


def entry(qualname, line):
    """The traceback entry that a function of the extension adds, as (name, file, line)."""
    return (MODULE + "." + qualname, SOURCE, line)


def module_entries(exc):
    """The entries of the extension in the traceback of `exc`, outermost first."""
    return [(f.name, f.filename, f.lineno)
            for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE]


def last_entries(exc, n):
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)[-n:]]


# Code run in a child before the test's own: `emit` prints one JSON document as the last line,
# `describe` turns an exception into type, text, args and the extension's traceback entries.
CHILD_PRELUDE = """
import json, sys, traceback
MODULE = %r
SOURCE = %r
def describe(e):
    return {"type": type(e).__name__, "text": str(e), "args": [repr(a) for a in e.args],
            "entries": [[f.name, f.filename, f.lineno] for f in traceback.extract_tb(e.__traceback__)
                        if f.filename == SOURCE]}
def emit(*values):
    sys.stdout.flush()
    print(json.dumps(values[0] if len(values) == 1 else values))
""" % (MODULE, SOURCE)


def run_python(code, *flags, root=PACKAGE_ROOT):
    """Runs `code` in a new interpreter with `root` on its path; returns what it emitted last."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable] + list(flags) + ["-c", CHILD_PRELUDE + textwrap.dedent(code)],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


class Repo:
    """A git repository made by the test, on branch main, run with the environment `env`."""

    def __init__(self, path, env):
        self.path, self.env = path, env
        path.mkdir(parents=True)
        self.git("init", "-q")
        self.git("symbolic-ref", "HEAD", "refs/heads/main")

    def run(self, *args, check=True):
        # git writes UTF-8, and so does the driver (on Windows too, to a pipe).
        proc = subprocess.run(list(args), cwd=str(self.path), env=self.env, encoding="utf-8",
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if check:
            assert proc.returncode == 0, (args, proc.stdout, proc.stderr)
        return proc

    def git(self, *args, check=True):
        return self.run("git", *args, check=check)

    def driver(self, *args, check=True):
        return self.run(sys.executable, "-m", "corvane_git.scripts.merge_driver", *args,
                        check=check)

    def write(self, rel, nb):
        target = self.path / rel
        target.parent.mkdir(parents=True, exist_ok=True)
        text = nb if isinstance(nb, str) else json.dumps(nb, indent=1, ensure_ascii=False) + "\n"
        target.write_bytes(text.encode("utf-8"))

    def read(self, rel):
        return json.loads((self.path / rel).read_text(encoding="utf-8"))

    def commit(self, message):
        self.git("add", "-A")
        self.git("commit", "-q", "-m", message)

    def merge_branches(self, base, ours, theirs, rel="nb.ipynb"):
        """main holds `ours`, branch theirs holds `theirs`, both from `base`; merge theirs."""
        self.write(rel, base)
        self.commit("base")
        self.git("checkout", "-q", "-b", "theirs")
        self.write(rel, theirs)
        self.commit("theirs")
        self.git("checkout", "-q", "main")
        self.write(rel, ours)
        self.commit("ours")
        return self.git("merge", "--no-edit", "theirs", check=False)

    def parents_of_head(self):
        return self.git("rev-list", "--parents", "-n", "1", "HEAD").stdout.split()[1:]


@pytest.fixture
def git_env(tmp_path):
    """An environment that sees no config of the machine's user and finds the package."""
    env = dict(os.environ)
    for key in ("XDG_CONFIG_HOME", "GIT_DIR", "GIT_WORK_TREE", "GIT_CONFIG_GLOBAL"):
        env.pop(key, None)
    home = tmp_path / "home"
    home.mkdir()
    env.update(HOME=str(home), GIT_CONFIG_NOSYSTEM="1", GIT_AUTHOR_NAME="Ana",
               GIT_AUTHOR_EMAIL="ana@example.org", GIT_COMMITTER_NAME="Ana",
               GIT_COMMITTER_EMAIL="ana@example.org", LC_ALL="C.UTF-8")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    return env


@pytest.fixture
def make_repo(tmp_path, git_env):
    """make_repo(name, install=None, **env): a new repository in tmp_path/name; `install` (a
    list of options) runs the driver's install there; `env` adds to the environment."""
    def make(name="repo", install=None, **env):
        made = Repo(tmp_path / name, dict(git_env, **env))
        if install is not None:
            made.driver("install", *install)
        return made
    return make


@pytest.fixture
def repo(make_repo):
    # The pre-commit hook has tests of its own; here it would only start with every commit.
    return make_repo(install=["--no-hook"])
