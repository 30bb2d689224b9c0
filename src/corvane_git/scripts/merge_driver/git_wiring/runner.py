"""The one way git is started, and what a failure of git (or of GitPython) means.

Every command line of git that this package runs goes through `run`, which names the git of
GIT_PYTHON_GIT_EXECUTABLE where that is set (as GitPython and the extension do), else "git"
on the PATH.  Nothing is imported at load beyond `os`: the merge and `check` stay quick.
"""

import os

GIT_MISSING = "the git command was not found (install git, or name it in GIT_PYTHON_GIT_EXECUTABLE)"


def executable():
    """The git to run: GIT_PYTHON_GIT_EXECUTABLE where set, else "git"."""
    return os.environ.get("GIT_PYTHON_GIT_EXECUTABLE") or "git"


def run(args, **options):
    """subprocess.run of git with `args` (the words after "git"); `options` go to
    subprocess.run as they are.  An OSError (git not found, not runnable) is the caller's."""
    import subprocess

    return subprocess.run([executable()] + list(args), **options)


def is_git_missing(exc):
    """Whether `exc` says that git cannot be found (GitPython's way of saying it included)."""
    try:
        import git
    except ImportError:
        return "git executable" in str(exc).lower()
    return isinstance(exc, git.GitCommandNotFound) or (
        isinstance(exc, ImportError) and "git executable" in str(exc).lower()
    )


def is_git_failure(exc):
    """Whether `exc` is a git command that ran and failed (GitPython's GitCommandError)."""
    try:
        import git
    except ImportError:
        return False
    return isinstance(exc, git.GitCommandError)


def failure_text(exc):
    """Any exception in one line: a failed git command as git_failure_text says it, a missing
    key by its name, else the exception's type and text."""
    if isinstance(exc, KeyError) and exc.args:
        return "missing key %r" % (exc.args[0],)
    if is_git_failure(exc):
        return git_failure_text(exc)
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def git_failure_text(exc):
    """A failed git command in one line: which command, its exit status, its first error line."""
    words = [str(word) for word in exc.command[:2]]
    command = " ".join([os.path.basename(words[0])] + words[1:]) if words else "git"
    status = exc.status
    if isinstance(status, int) and status < 0:
        text = "%s was killed by signal %d" % (command, -status)
    else:
        text = "%s failed (exit status %s)" % (command, status)
    stderr = exc.stderr or ""
    prefix = "\n  stderr: '"
    if stderr.startswith(prefix) and stderr.endswith("'"):
        stderr = stderr[len(prefix) : -1]
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    return "%s: %s" % (text, lines[0]) if lines else text
