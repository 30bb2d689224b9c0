"""The plain git pre-commit hook that refuses notebooks with unresolved conflicts.

`install` writes it into the repository's hooks directory (core.hooksPath where set); a hook
that was there before is kept beside it under another name and runs first.  Beside the
pre-commit framework's hook ours goes to pre-commit.legacy, which the framework's hook runs
(and where its `pre-commit install` moves ours).  `uninstall` removes ours and puts the
earlier one back.  The hook runs
``check --staged``, which reads the notebooks as the index holds them: what the commit takes.
"""
import os
import shlex
import stat
import subprocess
import sys

from corvane_git.scripts.merge_driver.git_wiring import runner

HOOK = "pre-commit"
KEPT = "pre-commit.before-corvane"   # a hook that was there before ours
MARKER_LINE = "# written by corvane-merge-driver install; removed by its uninstall"
# What hooks of older installs say instead; still ours.
OLD_MARKER_LINES = ("# written by corvane-merge-driver install --pre-commit; removed by its "
                    "uninstall",)


class HookError(Exception):
    """Git cannot tell what is staged, or the hook cannot be written; the message says why."""


def _git(args, cwd=None):
    try:
        proc = runner.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as exc:
        raise HookError("cannot run git: %s" % (exc.strerror or exc)) from exc
    if proc.returncode != 0:
        raise HookError("git %s failed: %s" % (" ".join(args[:2]), proc.stderr.decode(
            "utf-8", "replace").strip()))
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
    top = _git(["rev-parse", "--show-toplevel"], cwd).decode("utf-8", "surrogateescape")
    top = top.rstrip("\n")
    # Each entry: ":old-mode new-mode old-id new-id status", then the path; each ends in NUL.
    fields = _git(["diff", "--cached", "--raw", "-z", "--no-abbrev", "--no-renames",
                   "--no-color", "--no-ext-diff", "--diff-filter=ACMT", "--", "*.ipynb"],
                  top).split(b"\0")
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
        proc = runner.run(["cat-file", "--batch"], cwd=top,
                          input=b"".join(key + b"\n" for _, key in staged),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as exc:
        raise HookError("cannot run git: %s" % (exc.strerror or exc)) from exc
    if proc.returncode != 0:
        raise HookError("git cat-file failed: %s" % proc.stderr.decode("utf-8", "replace"))
    data, at, contents = proc.stdout, 0, []
    for path, key in staged:
        end = data.index(b"\n", at)
        header = data[at:end].split()
        if len(header) != 3 or header[1] != b"blob":
            raise HookError("git cat-file: the staged version of %s (object %s) cannot be read"
                            % (path, key.decode("ascii", "replace")))
        size = int(header[2])
        contents.append(data[end + 1:end + 1 + size])
        at = end + 1 + size + 1
    return contents


def hook_text(python=None):
    """The hook: the earlier hook first (when there was one), then our check.  The interpreter
    runs the installed package only (see git_setup.BOOTSTRAP); where it is gone, a commit with
    no notebook staged goes through, one with notebooks is refused with a line that says why
    (git commit --no-verify goes past it)."""
    from corvane_git.scripts.merge_driver.git_wiring import settings as git_setup
    path = os.path.abspath(python or sys.executable)
    return "\n".join([
        "#!/bin/sh",
        MARKER_LINE,
        "# Refuses a commit whose notebooks still hold conflicts left by a merge.",
        'kept="$(dirname "$0")/%s"' % KEPT,
        'if [ -x "$kept" ]; then',
        '    "$kept" "$@" || exit $?',
        "fi",
        "if ! command -v %s >/dev/null 2>&1; then" % shlex.quote(path),
        "    git diff --cached --quiet --no-ext-diff --no-renames --diff-filter=ACMT -- "
        "'*.ipynb' && exit 0",
        "    printf '%%s\\n' %s >&2" % shlex.quote(
            "%s: the interpreter of the pre-commit hook (%s) is gone: run install again, or "
            "uninstall" % (git_setup.DRIVER_PROG, path)),
        "    exit 1",
        "fi",
        "exec %s check --staged" % git_setup.python_command(path),
        ""])


def hooks_directory(top):
    path = _git(["rev-parse", "--git-path", "hooks"], top).decode("utf-8", "surrogateescape")
    return os.path.join(top, path.rstrip("\n"))


def _holds(path, text):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return text in f.read()
    except OSError:   # not there, a directory, not readable: not a hook we can tell
        return False


def _is_ours(path):
    return any(_holds(path, line) for line in (MARKER_LINE,) + OLD_MARKER_LINES)


def in_work_tree(top, directory):
    """Whether the hooks `directory` lies in the work tree at `top` (core.hooksPath set to a
    tracked folder), outside the git directory: a hook there is a file to commit."""
    common = _git(["rev-parse", "--git-common-dir"], top).decode("utf-8", "surrogateescape")
    inside = [os.path.normcase(os.path.realpath(p)) for p in (
        directory, top, os.path.join(top, common.rstrip("\n")))]
    return (os.path.commonpath(inside[:2]) == inside[1]
            and os.path.commonpath([inside[0], inside[2]]) != inside[2])


# The pre-commit framework's hook script says so in its second line.  `pre-commit install`
# moves a hook that is not its own to pre-commit.legacy and runs that first; a framework
# script in that place (or run from a hook it runs) refuses every commit ("migration mode").
FRAMEWORK_LINE = "# File generated by pre-commit"
LEGACY = "pre-commit.legacy"
# Where our hook may be: its own place, or where the framework runs it from.
SLOTS = (HOOK, LEGACY)


def _is_framework(path):
    return _holds(path, FRAMEWORK_LINE)


def _our_slot(directory):
    """The path of our hook in `directory`, or None."""
    for slot in SLOTS:
        path = os.path.join(directory, slot)
        if _is_ours(path):
            return path
    return None


def _drop_framework_copies(directory, changes):
    """With the framework's script in the hook's own place, a copy of it where it would run as
    an earlier hook (left by an older install, or its uninstall) goes: it would refuse every
    commit."""
    if not _is_framework(os.path.join(directory, HOOK)):
        return
    for name in (KEPT, LEGACY):
        path = os.path.join(directory, name)
        if _is_framework(path):
            os.remove(path)
            changes.append("removed %s, a copy of the pre-commit framework's hook that would "
                           "refuse every commit" % path)


def install(top, explicit=False):
    """Write the hook into the repository at `top`; returns the changes made.

    Beside the pre-commit framework's hook, ours goes where the framework runs a hook of
    another's (pre-commit.legacy), so that neither moves the other.  Into a hooks directory
    in the work tree (tracked, shared) the hook goes only when asked for (`explicit`): it
    names this machine's interpreter."""
    directory = hooks_directory(top)
    if not explicit and in_work_tree(top, directory):
        return ["left out the pre-commit hook: the hooks directory %s is in the work tree "
                "(core.hooksPath), where it would be a tracked file naming this machine's "
                "interpreter; install --pre-commit writes it there" % directory]
    main, kept = os.path.join(directory, HOOK), os.path.join(directory, KEPT)
    text, changes = hook_text(), []
    path = _our_slot(directory)
    if path == main and _is_framework(kept):
        # An older install moved the framework's hook aside for ours: put it back in its
        # place, ours where it runs ours.
        os.replace(kept, main)
        changes.append("put the pre-commit framework's hook back at %s" % main)
        path = None
    _drop_framework_copies(directory, changes)
    if path is not None:
        # Ours already runs (from the framework's place too): bring its text up to date.
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return changes
    else:
        path = os.path.join(directory, LEGACY) if _is_framework(main) else main
        if os.path.lexists(path):
            if os.path.lexists(kept):
                raise HookError("%s is not ours, and %s is taken: move one of them away first"
                                % (path, kept))
            os.rename(path, kept)
            changes.append("moved the existing hook %s to %s (it runs first)" % (path, kept))
    os.makedirs(directory, exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    changes.append("wrote the pre-commit hook %s" % path)
    return changes


def uninstall(top):
    """Remove our hook (from its own place or the one the pre-commit framework moved it to)
    and put the hook it kept back in that place; returns the changes made."""
    directory = hooks_directory(top)
    kept = os.path.join(directory, KEPT)
    changes, found = [], False
    for slot in SLOTS:
        path = os.path.join(directory, slot)
        if not _is_ours(path):
            continue
        found = True
        try:
            os.remove(path)
            changes.append("removed the pre-commit hook %s" % path)
            if os.path.lexists(kept) and not (slot == LEGACY and _is_framework(kept)):
                os.rename(kept, path)
                changes.append("put the earlier hook back at %s" % path)
        except OSError as exc:
            changes.append("could not %s: %s; do it by hand" % (
                "remove the pre-commit hook %s" % path if os.path.lexists(path) else
                "put the earlier hook %s back at %s" % (kept, path), exc.strerror or exc))
    try:
        _drop_framework_copies(directory, changes)
    except OSError as exc:
        changes.append("could not remove a copy of the pre-commit framework's hook: %s; do it "
                       "by hand" % (exc.strerror or exc))
    if not found and os.path.lexists(kept):
        changes.append("left %s in place: the hook that ran it is no longer at %s; move it "
                       "back by hand if you want it to run" % (kept, " or ".join(
                           os.path.join(directory, slot) for slot in SLOTS)))
    return changes


def status(top):
    """Lines saying whether our hook is there, where, and whether it is of an older, unsafe
    kind."""
    path = _our_slot(hooks_directory(top))
    if path is None:
        return ["pre-commit hook: none (install writes it; it refuses commits of notebooks "
                "with conflicts)"]
    lines = ["pre-commit hook: %s (refuses commits of notebooks with conflicts)" % path]
    from corvane_git.scripts.merge_driver.git_wiring import settings as git_setup
    if _holds(path, git_setup.UNSAFE_RUN):
        lines.append("unsafe: the pre-commit hook runs the package with -m, which imports it "
                     "from the top of the work tree when a corvane_git folder is there: run "
                     "install again")
    python = _interpreter(path)
    if python and not os.path.exists(python):
        lines.append("the pre-commit hook names an interpreter that does not exist: %s: it "
                     "refuses commits with notebooks; run install again" % python)
    return lines


def _interpreter(path):
    """The interpreter that our hook at `path` runs ("" where it cannot be told)."""
    from corvane_git.scripts.merge_driver.git_wiring import settings as git_setup
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("exec "):
                    return git_setup.line_interpreter(line[len("exec "):])
    except OSError:
        pass
    return ""
