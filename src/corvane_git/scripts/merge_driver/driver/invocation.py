"""The merge as git runs it, from its command line to its exit status: the driver line's
arguments, the checks before the merge, the signals that end it, and the one line on stderr
that reports it."""

import contextlib
import gc
import os
import signal
import stat
import sys

from corvane_git.scripts.merge_driver.conflicts.report import PROG, MergeFailure, one_line
from corvane_git.scripts.merge_driver.driver import route
from corvane_git.scripts.merge_driver.git_wiring import runner
from corvane_git.scripts.merge_driver.notebooks import temporary

_DIGITS = "0123456789"


# git hands the driver an int's conflict-marker size (%L); git merge-file takes no more.
MAX_MARKER_SIZE = 2**31 - 1
# The options that carry git's conflict labels (%S %X %Y, git 2.44 and later), in the order of
# the labels a merge takes: ours, the common ancestor's, theirs.
LABEL_OPTIONS = ("--ours-label=", "--ancestor-label=", "--theirs-label=")


def git_invocation(argv):
    """(base, current, incoming, path, keep_one_line, marker_size, labels) when `argv` is
    [--keep-one-line] [--marker-size=N] [--ancestor-label=S --ours-label=X --theirs-label=Y]
    -- BASE CURRENT INCOMING PATH (options in any order, each at most once, the labels all three
    or none; labels is then (ours, base, theirs), else None); None for anything else.  A marker
    size is any number of digits above 0 here: run_merge answers one git would not give."""
    keep_one_line, marker_size, labels = None, None, [None] * 3
    args = list(argv)
    while args and args[0] != "--":
        option = args.pop(0)
        size = option[len("--marker-size=") :]
        label = [n for n, prefix in enumerate(LABEL_OPTIONS) if option.startswith(prefix)]
        if option == "--keep-one-line" and keep_one_line is None:
            keep_one_line = True
        elif (
            option.startswith("--marker-size=")
            and marker_size is None
            and size
            and all(c in _DIGITS for c in size)
            and size.strip("0")
        ):
            marker_size = marker_size_of(size)
        elif label and labels[label[0]] is None:
            labels[label[0]] = option[len(LABEL_OPTIONS[label[0]]) :]
        else:
            return None
    if len(args) != 5 or labels.count(None) not in (0, 3):
        return None
    base, current, incoming, path = args[1:]
    return (
        base,
        current,
        incoming,
        path,
        bool(keep_one_line),
        marker_size or 7,
        None if labels[0] is None else tuple(labels),
    )


def marker_size_of(digits):
    """The number that `digits` (digits only) write; one above MAX_MARKER_SIZE for any larger
    one, however many digits it has."""
    digits = digits.lstrip("0") or "0"
    return int(digits) if len(digits) <= 10 else MAX_MARKER_SIZE + 1


def run_merge(base, current, incoming, path, keep_one_line=False, marker_size=7, labels=None):
    """The merge as git runs it: the exit status for git (0 merged, 1 conflicts, 2 failed).
    `labels`: git's conflict labels (ours, base, theirs), where the driver line passes them."""
    if marker_size > MAX_MARKER_SIZE:
        say(
            sys.stderr,
            "%s: error: the --marker-size is more than git gives or takes (at "
            "most %d)\n" % (PROG, MAX_MARKER_SIZE),
        )
        return route.FAILURE
    # A file that is not there is no usage error: one line, as for every failed merge. git
    # gives regular files; anything else (a FIFO would block the read, a device never end
    # it) is refused before a byte is read. CURRENT may be a link to a regular file.
    for label, name in (("BASE", base), ("CURRENT", current), ("INCOMING", incoming)):
        problem = not_a_regular_file(name)
        if problem:
            say(sys.stderr, "%s: error: %s\n" % (PROG, one_line(problem % (label, name))))
            return route.FAILURE
    # What earlier runs killed on the way left behind (their makers are gone by now).
    temporary.remove_left_behind_for(current)
    # A merge builds three notebooks of many small containers and frees them at the end; the
    # cyclic collector would only walk them again and again while they grow.
    collecting = gc.isenabled()
    gc.disable()
    try:
        with ending_on_termination():
            return merge_and_report(
                base,
                current,
                incoming,
                path,
                keep_one_line=keep_one_line,
                marker_size=marker_size,
                labels=labels,
            )
    finally:
        if collecting:
            gc.enable()


class Terminated(KeyboardInterrupt):
    """SIGTERM (or SIGHUP) arrived: the merge unwinds as for Ctrl-C, removing what it made."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def ending_on_termination():
    """While the merge runs, SIGTERM and SIGHUP end it the way SIGINT does: the merge stops at
    the next step, what it made is removed and our notebook is the old one or the complete
    merge. The process then ends by the same signal, as if it had not been caught. A signal
    that the parent made us ignore stays ignored; a second one while unwinding is ignored."""
    got = []

    def stop(signum, frame):
        if not got:
            got.append(signum)
            raise Terminated(signum)

    names = [n for n in ("SIGTERM", "SIGHUP") if hasattr(signal, n)]
    before = {}
    try:
        for name in names:
            signum = getattr(signal, name)
            if signal.getsignal(signum) == signal.SIG_DFL:
                before[signum] = signal.signal(signum, stop)
    except ValueError:  # not the main thread: signals stay as they are
        pass
    try:
        yield
    except Terminated:
        if not got:
            raise
    finally:
        for signum, handler in before.items():
            signal.signal(signum, handler)
    if got:
        end_by_signal(got[0])


def end_by_signal(signum):
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    if os.name == "nt" and signum == signal.SIGINT:
        # Windows ends a process with an exit code: for Ctrl-C the one the interpreter uses
        # (STATUS_CONTROL_C_EXIT); os.kill would give the signal's number, which git reads as a
        # failed merge.
        os._exit(-0x3FFFFEC6)
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    os._exit(128 + signum)  # where the signal does not end the process at once


_KINDS = (
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def not_a_regular_file(path):
    """None for a regular file (or a link to one), else the message's format for the file."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "%s %r does not exist"
    except OSError:
        return None  # the merge reports what keeps it from reading the file
    if stat.S_ISREG(mode):
        return None
    kind = next((words for test, words in _KINDS if test(mode)), "not a regular file")
    return "%s %r is " + kind + ", not a notebook file"


def say(stream, text):
    """Writes to stderr or its stand-in; a closed or missing stream does not change the exit
    status that git acts on."""
    try:
        stream.write(text)
        stream.flush()
    except (AttributeError, OSError, ValueError):
        pass


def merge_and_report(
    base, current, incoming, path, report=None, keep_one_line=False, marker_size=7, labels=None
):
    report = report or sys.stderr
    # git's own conflict labels go to the merge only where the driver line gives them.
    given = {} if labels is None else {"labels": labels}
    try:
        result = route.merge(
            base,
            current,
            incoming,
            path,
            keep_one_line=keep_one_line,
            marker_size=marker_size,
            **given,
        )
    except Exception as exc:
        import shlex

        # A MergeFailure names its cause; anything else escaped the explanation of a failure
        # (the merge itself has put our file back by then). git leaves our version in the
        # working tree without conflict markers: say where theirs is.
        cause = str(exc) if isinstance(exc, MergeFailure) else runner.failure_text(exc)
        # git's PATH is relative to the top of the work tree; the commands must work from
        # any directory in it, so the pathspec says "from the top" (and, where the path holds
        # wildcard characters, "literally").
        top = ":(top,literal)" if any(c in path for c in "*?[\\") else ":/"
        say(
            report,
            "%s: cannot merge %s: %s; our version is kept, without conflict markers: "
            "take theirs with git checkout --theirs -- %s, or see it with git show %s\n"
            % (
                PROG,
                one_line(path),
                one_line(cause),
                one_line(shlex.quote(top + path)),
                one_line(shlex.quote(":3:" + path)),
            ),
        )
        return route.FAILURE
    say(report, "".join(line + "\n" for line in result.messages(path)))
    return route.CONFLICT if result else route.CLEAN
