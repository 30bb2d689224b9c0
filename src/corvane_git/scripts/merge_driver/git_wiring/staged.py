"""The notebooks staged for commit, as the index holds them (what `check --staged` reads), and
git's output for a command that must succeed."""

import os
import subprocess

from corvane_git.scripts.merge_driver.git_wiring import runner


class GitError(Exception):
    """Git cannot tell what is staged (or what else is asked), or the pre-commit hook cannot be
    written; the message says why."""


def git_output(args, cwd=None):
    try:
        proc = runner.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as exc:
        raise GitError("cannot run git: %s" % (exc.strerror or exc)) from exc
    if proc.returncode != 0:
        raise GitError(
            "git %s failed: %s"
            % (" ".join(args[:2]), proc.stderr.decode("utf-8", "replace").strip())
        )
    return proc.stdout


# The modes of a regular file in the index; a symbolic link (120000) or a submodule (160000)
# named *.ipynb is no notebook.
FILE_MODES = (b"100644", b"100755")


def staged_notebooks(cwd=None):
    """[(path from the top of the work tree, staged bytes)] of the notebooks staged for
    commit (added, modified, or changed from another kind of entry), as the index holds them.

    The listing is NUL-separated, so a name may hold any character (a line break too), and
    each notebook is read by the object id that the index holds for it, never by a name that
    git would parse (``:0:x.ipynb`` names stage 0 of x.ipynb)."""
    top = git_output(["rev-parse", "--show-toplevel"], cwd).decode("utf-8", "surrogateescape")
    top = top.rstrip("\n")
    # Each entry: ":old-mode new-mode old-id new-id status", then the path; each ends in NUL.
    fields = git_output(
        [
            "diff",
            "--cached",
            "--raw",
            "-z",
            "--no-abbrev",
            "--no-renames",
            "--no-color",
            "--no-ext-diff",
            "--diff-filter=ACMT",
            "--",
            "*.ipynb",
        ],
        top,
    ).split(b"\0")
    staged = []
    for at in range(0, len(fields) - 1, 2):
        header, name = fields[at].split(), fields[at + 1]
        if len(header) == 5 and header[1] in FILE_MODES:
            staged.append((os.fsdecode(name), header[3]))
    if not staged:
        return []
    return [(path, data) for (path, _), data in zip(staged, _batch(top, staged))]


def _batch(top, staged):
    """The contents of the objects of `staged` ([(path, object id)]), through one git cat-file
    --batch."""
    try:
        proc = runner.run(
            ["cat-file", "--batch"],
            cwd=top,
            input=b"".join(key + b"\n" for _, key in staged),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
    except OSError as exc:
        raise GitError("cannot run git: %s" % (exc.strerror or exc)) from exc
    if proc.returncode != 0:
        raise GitError("git cat-file failed: %s" % proc.stderr.decode("utf-8", "replace"))
    data, at, contents = proc.stdout, 0, []
    for path, key in staged:
        end = data.index(b"\n", at)
        header = data[at:end].split()
        if len(header) != 3 or header[1] != b"blob":
            raise GitError(
                "git cat-file: the staged version of %s (object %s) cannot be read"
                % (path, key.decode("ascii", "replace"))
            )
        size = int(header[2])
        contents.append(data[end + 1 : end + 1 + size])
        at = end + 1 + size + 1
    return contents
