"""The command as git runs it.

A merge given the way the driver line that install writes gives it (options, "--", then
BASE CURRENT INCOMING PATH) runs at once, importing only what that merge needs; any other
command line (the other commands, help, a usage error, an older driver line) goes to the
whole command line of the cli module.
"""

import errno
import gc
import os
import signal
import sys

from corvane_git.scripts.merge_driver.driver.invocation import (
    end_by_signal,
    git_invocation,
    run_merge,
)


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
        end_by_signal(signal.SIGINT)


def _run():
    text_streams_in_utf8()
    argv = sys.argv[1:]
    merge = git_invocation(argv)
    # A command of the cli module other than diff returns its status the ordinary way.
    returns = False
    try:
        if merge is not None:
            code = run_merge(*merge)
        elif argv[:1] == ["diff"]:  # straight there: git may run it for every notebook
            from corvane_git.scripts.merge_driver.pages import notebook_diff

            gc.disable()
            code = notebook_diff.main(argv[1:])
        else:
            from corvane_git.scripts.merge_driver import cli

            returns = bool(argv) and argv[0] in cli.SUBCOMMANDS
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
    if returns:
        return code
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except Exception:  # a closed or broken stream: leave the ordinary way, which reports it
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
                stream.reconfigure(encoding="utf-8", errors=stream.errors)  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):  # a stand-in stream, or closed
            pass
