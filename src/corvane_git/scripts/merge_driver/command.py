"""The command as git runs it.

A merge given the way the driver line that install writes gives it (options, "--", then
BASE CURRENT INCOMING PATH) runs at once, importing only what that merge needs; any other
command line (the other commands, help, a usage error, an older driver line) goes to the
whole command line of the cli module.
"""
import contextlib
import errno
import gc
import os
import signal
import stat
import sys

from corvane_git.scripts.merge_driver.driver import route as driver
from corvane_git.scripts.merge_driver.notebooks import temporary

PROG = driver.PROG
_DIGITS = "0123456789"


# git hands the driver an int's conflict-marker size (%L); git merge-file takes no more.
MAX_MARKER_SIZE = 2 ** 31 - 1
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
        size = option[len("--marker-size="):]
        label = [n for n, prefix in enumerate(LABEL_OPTIONS) if option.startswith(prefix)]
        if option == "--keep-one-line" and keep_one_line is None:
            keep_one_line = True
        elif (option.startswith("--marker-size=") and marker_size is None and size
              and all(c in _DIGITS for c in size) and size.strip("0")):
            marker_size = marker_size_of(size)
        elif label and labels[label[0]] is None:
            labels[label[0]] = option[len(LABEL_OPTIONS[label[0]]):]
        else:
            return None
    if len(args) != 5 or labels.count(None) not in (0, 3):
        return None
    base, current, incoming, path = args[1:]
    return (base, current, incoming, path, bool(keep_one_line), marker_size or 7,
            None if labels[0] is None else tuple(labels))


def marker_size_of(digits):
    """The number that `digits` (digits only) write; one above MAX_MARKER_SIZE for any larger
    one, however many digits it has."""
    digits = digits.lstrip("0") or "0"
    return int(digits) if len(digits) <= 10 else MAX_MARKER_SIZE + 1


def run():
    """The command as git runs it: main(), and after a merge leave at once.

    Tearing the interpreter down (its modules among them) takes longer than many merges; a
    merge keeps nothing that needs it (no open files, no child processes, nothing registered
    to run at exit), so once the output is flushed the process ends right there.

    Ctrl-C (SIGINT) unwinds whatever runs, removing what it made, and the process then ends by
    that signal as an interpreter without our handling would, without a traceback.
    """
    try:
        return _run()
    except KeyboardInterrupt:
        _end_by_signal(signal.SIGINT)


def _run():
    text_streams_in_utf8()
    argv = sys.argv[1:]
    merge = git_invocation(argv)
    try:
        if merge is not None:
            code = run_merge(*merge)
        elif argv[:1] == ["diff"]:   # straight there: git may run it for every notebook
            from corvane_git.scripts.merge_driver.pages import notebook_diff
            gc.disable()
            code = notebook_diff.main(argv[1:])
        else:
            from corvane_git.scripts.merge_driver import cli
            code = cli.main(argv)
        sys.stdout.flush()
    except OSError as exc:
        # Whoever read our output stopped (`example | head -3`): end quietly as other
        # commands in a pipe do; what is still buffered goes nowhere instead of failing at exit.
        # Windows reports a write to a closed pipe as EINVAL.
        if not (isinstance(exc, BrokenPipeError) or os.name == "nt" and exc.errno == errno.EINVAL):
            raise
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    if merge is None and argv and argv[0] in SUBCOMMANDS and argv[0] != "diff":
        return code
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except Exception:   # a closed or broken stream: leave the ordinary way, which reports it
        return code
    os._exit(code)


def text_streams_in_utf8(streams=None, platform=os.name):
    """On Windows, stdout and stderr write UTF-8 to a pipe or a file as everywhere else (git
    for Windows and its terminal read UTF-8; Python writes the ANSI code page there, with
    escapes for what it lacks).  A console stays as Python sets it up, and PYTHONIOENCODING,
    where set, has the last word.  The one place where the platforms' streams differ."""
    if platform != "nt" or os.environ.get("PYTHONIOENCODING"):
        return
    for stream in streams or (sys.stdout, sys.stderr):
        try:
            if stream.encoding.replace("_", "-").lower() not in ("utf-8", "utf8"):
                stream.reconfigure(encoding="utf-8", errors=stream.errors)
        except (AttributeError, ValueError, OSError):   # a stand-in stream, or closed
            pass


SUBCOMMANDS = ("install", "uninstall", "status", "example", "conflicts", "resolve", "check",
               "diff", "view", "mergetool")


def run_merge(base, current, incoming, path, keep_one_line=False, marker_size=7, labels=None):
    """The merge as git runs it: the exit status for git (0 merged, 1 conflicts, 2 failed).
    `labels`: git's conflict labels (ours, base, theirs), where the driver line passes them."""
    if marker_size > MAX_MARKER_SIZE:
        _say(sys.stderr, "%s: error: the --marker-size is more than git gives or takes (at "
                         "most %d)\n" % (PROG, MAX_MARKER_SIZE))
        return driver.FAILURE
    # A file that is not there is no usage error: one line, as for every failed merge. git
    # gives regular files; anything else (a FIFO would block the read, a device never end
    # it) is refused before a byte is read. CURRENT may be a link to a regular file.
    for label, name in (("BASE", base), ("CURRENT", current), ("INCOMING", incoming)):
        problem = not_a_regular_file(name)
        if problem:
            _say(sys.stderr, "%s: error: %s\n" % (PROG, driver.one_line(problem % (label, name))))
            return driver.FAILURE
    # What earlier runs killed on the way left behind (their makers are gone by now).
    temporary.remove_left_behind_for(current)
    # A merge builds three notebooks of many small containers and frees them at the end; the
    # cyclic collector would only walk them again and again while they grow.
    collecting = gc.isenabled()
    gc.disable()
    try:
        with _ending_on_termination():
            return merge_and_report(base, current, incoming, path,
                                    keep_one_line=keep_one_line, marker_size=marker_size,
                                    labels=labels)
    finally:
        if collecting:
            gc.enable()


class Terminated(KeyboardInterrupt):
    """SIGTERM (or SIGHUP) arrived: the merge unwinds as for Ctrl-C, removing what it made."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def _ending_on_termination():
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
    except ValueError:   # not the main thread: signals stay as they are
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
        _end_by_signal(got[0])


def _end_by_signal(signum):
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
    os._exit(128 + signum)   # where the signal does not end the process at once


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket"))


def not_a_regular_file(path):
    """None for a regular file (or a link to one), else the message's format for the file."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "%s %r does not exist"
    except OSError:
        return None   # the merge reports what keeps it from reading the file
    if stat.S_ISREG(mode):
        return None
    kind = next((words for test, words in _KINDS if test(mode)), "not a regular file")
    return "%s %r is " + kind + ", not a notebook file"


def _say(stream, text):
    """Writes to stderr or its stand-in; a closed or missing stream does not change the exit
    status that git acts on."""
    try:
        stream.write(text)
        stream.flush()
    except (AttributeError, OSError, ValueError):
        pass


def merge_and_report(base, current, incoming, path, report=None, keep_one_line=False,
                     marker_size=7, labels=None):
    report = report or sys.stderr
    # git's own conflict labels go to the merge only where the driver line gives them.
    given = {} if labels is None else {"labels": labels}
    try:
        result = driver.merge(base, current, incoming, path, keep_one_line=keep_one_line,
                              marker_size=marker_size, **given)
    except Exception as exc:
        import shlex
        # A MergeFailure names its cause; anything else escaped the explanation of a failure
        # (the merge itself has put our file back by then). git leaves our version in the
        # working tree without conflict markers: say where theirs is.
        cause = str(exc) if isinstance(exc, driver.MergeFailure) else driver._text(exc)
        # git's PATH is relative to the top of the work tree; the commands must work from
        # any directory in it, so the pathspec says "from the top" (and, where the path holds
        # wildcard characters, "literally").
        top = ":(top,literal)" if any(c in path for c in "*?[\\") else ":/"
        _say(report, "%s: cannot merge %s: %s; our version is kept, without conflict markers: "
                     "take theirs with git checkout --theirs -- %s, or see it with git show %s\n"
                     % (PROG, driver.one_line(path), driver.one_line(cause),
                        driver.one_line(shlex.quote(top + path)),
                        driver.one_line(shlex.quote(":3:" + path))))
        return driver.FAILURE
    _say(report, "".join(line + "\n" for line in result.messages(path)))
    return driver.CONFLICT if result else driver.CLEAN
