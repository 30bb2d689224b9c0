"""The command line: the merge that git runs, git setup, and the bundled example."""

import argparse
import json
import os
import re
import shutil
import sys
import tempfile

from corvane_git.scripts.merge_driver.conflicts import markers
from corvane_git.scripts.merge_driver.conflicts.report import PROG, one_line
from corvane_git.scripts.merge_driver.driver import invocation, route as driver
from corvane_git.scripts.merge_driver.driver.invocation import merge_and_report
from corvane_git.scripts.merge_driver.git_wiring import settings as git_setup
from corvane_git.scripts.merge_driver.notebooks import shape

SUBCOMMANDS = (
    "install",
    "uninstall",
    "status",
    "example",
    "conflicts",
    "resolve",
    "check",
    "diff",
    "view",
    "mergetool",
)

DESCRIPTION = """\
Git merge driver for Jupyter notebooks whose cells carry a component layer
(metadata -> canvas: component id, name, parents, comments; notebook
parameters). Cells are paired by component id and merged one by one; sources
that both sides edited are merged line by line with git merge-file. Plain
Jupyter notebooks are merged cell by cell too (below).

usage as git runs it:
  %(prog)s [--keep-one-line] [--marker-size=N] [--] BASE CURRENT INCOMING PATH
      BASE, CURRENT, INCOMING: the ancestor's, our and their notebook (git's
      %%O %%A %%B); the merged notebook is written over CURRENT. PATH (%%P) is
      the notebook's path in the repository, used in messages and in the
      labels of conflict markers. After "--" every argument is a file, even
      one that starts with "-" or is named like a command. An empty BASE
      (both sides added the notebook) counts as a notebook without cells.
      --marker-size=N (git's %%L, default 7) is the length of the conflict
      markers of a notebook merged as text (below). With git 2.44 or later
      the line also passes git's conflict labels (%%S %%X %%Y) as
      --ancestor-label=, --ours-label= and --theirs-label=.

plain Jupyter notebooks:
  When no side has the component layer (no cell and not the notebook has
  metadata -> canvas), cells are paired by their "id" when every cell of
  the three versions has a unique one, else by content, and merged cell by
  cell: each side's insertions, deletions and moves land where that side
  made them (ours first where both inserted at one place); sources that both
  sides edited are merged with git merge-file; outputs and execution counts
  come from the side that re-ran the cell (ours when both did, listed);
  metadata merges per key (ours where both changed a key, listed). A cell
  deleted on one side and edited on the other stays, with a conflict block
  in its source saying which side deleted it.

notebooks the merge cannot take:
  A notebook with the component layer on some sides only, or a
  file that is not a notebook, not JSON or not UTF-8, is merged as git
  merges it without the driver: a line merge of the whole files by git
  merge-file, written over CURRENT. One line on stderr says so and why; the
  exit status is 0 when that merge is clean and its result is JSON, 1
  otherwise.

layout of the merged notebook:
  It is written the way CURRENT was: same indentation (Jupyter's one space,
  another indent, or one line), separators, raw or escaped non-ASCII text,
  line ending (LF or CRLF) and final newline; key order is the merge's. So
  git diff of a notebook in Jupyter's layout shows the changed lines, and
  beyond them only parent entries that lost their names and values that
  Python's json writes in another form (1e3 as 1000.0, escapes). A file
  with several lines but no recognisable indentation is written with
  Jupyter's indent=1.
  --keep-one-line  leave the merged notebook on one line with non-ASCII text
                   escaped (json's defaults), as the merge itself writes it

other commands:
  %(prog)s install [--global] [--repo DIR] [--one-line] [--no-hook]
                                             wire the driver into git, and the
                                             pre-commit hook that runs check
  %(prog)s uninstall [--global] [--repo DIR] remove exactly what install added
  %(prog)s status [--repo DIR]               show the wiring
  %(prog)s example [DIR]                     merge the bundled example notebooks
  %(prog)s conflicts PATH...                 list the conflicts notebooks hold
  %(prog)s resolve PATH (--ours | --theirs) [--component NAME]...
          [--parameter NAME]... [--cell N]...
                                             keep one side of the conflicts
  %(prog)s check PATH...                     exit 1 while a notebook holds conflicts
  %(prog)s diff OLD NEW                      what changed, cell by cell
  %(prog)s view OLD NEW [--output FILE]      the same as a page in the browser
  %(prog)s mergetool BASE LOCAL REMOTE MERGED
                                             resolve conflicts by clicks in the
                                             browser (git mergetool
                                             --tool=corvane-notebook)
  (%(prog)s COMMAND --help tells more)

exit status of a merge:
  0  merged; nothing needs a decision
  1  merged, with conflicts to resolve in the notebook (listed on stderr):
     components and parameters kept twice, named "<<< name" (ours) and
     ">>> name" (theirs); and cells whose source holds git's conflict markers
     (<<<<<<<, =======, >>>>>>>). git stops and leaves the merged notebook in
     the working tree: keep one version of each pair, remove the prefix,
     edit the markers out (or let resolve keep one side), then git add the
     notebook.
  2  failure, even as text (git missing, a file that cannot be read, binary
     content): one line on stderr names the notebook and the cause and how to
     get their version; no file was changed, so git reports a conflict with
     our version in place and no conflict markers.
"""


def _parser(name, description, usage=None, raw=False):
    return argparse.ArgumentParser(
        prog=name,
        usage=usage,
        description=description,
        formatter_class=argparse.RawDescriptionHelpFormatter if raw else argparse.HelpFormatter,
    )


def merge_parser():
    p = _parser(
        PROG,
        DESCRIPTION % {"prog": PROG},
        usage="%%(prog)s [--keep-one-line] [--marker-size=N] BASE CURRENT INCOMING "
        "PATH\n       %%(prog)s {%s} ..." % ",".join(SUBCOMMANDS),
        raw=True,
    )
    p.add_argument("base", metavar="BASE", help=argparse.SUPPRESS)
    p.add_argument("current", metavar="CURRENT", help=argparse.SUPPRESS)
    p.add_argument("incoming", metavar="INCOMING", help=argparse.SUPPRESS)
    p.add_argument("path", metavar="PATH", help=argparse.SUPPRESS)
    p.add_argument("--keep-one-line", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--marker-size", type=_marker_size, default=7, help=argparse.SUPPRESS)
    for option in invocation.LABEL_OPTIONS:
        p.add_argument(option.rstrip("="), default=None, help=argparse.SUPPRESS)
    return p


def _marker_size(text):
    if text.isdigit() and text.isascii():  # a size git never gives is answered by run_merge
        size = invocation.marker_size_of(text)
    else:
        try:
            size = int(text)
        except ValueError:
            size = 0
    if size < 1:
        raise argparse.ArgumentTypeError(
            "--marker-size takes a positive number, not %r" % one_line(text[:40])
        )
    return size


def run_merge(parser, args):
    labels = (args.ours_label, args.ancestor_label, args.theirs_label)
    if labels.count(None) not in (0, 3):
        parser.error("--ancestor-label, --ours-label and --theirs-label go together")
    return invocation.run_merge(
        args.base,
        args.current,
        args.incoming,
        args.path,
        keep_one_line=args.keep_one_line,
        marker_size=args.marker_size,
        labels=None if labels[0] is None else labels,
    )


# ---- git setup ---------------------------------------------------------------------------


def setup_parser(command):
    text = {
        "install": "Wire the driver into git: merge.%s.driver and .name in the repository's "
        "config (or the global one), and %r in .gitattributes (or the global "
        "attributes file: core.attributesFile, by default ~/.config/git/attributes). "
        "The driver command names this interpreter (%s), so it keeps working from a "
        "virtual environment, and runs the installed package only, never code from "
        "the repository being merged; where the interpreter is gone, git merge-file "
        "merges notebooks as text. In a repository it also writes the pre-commit "
        "hook that runs check on the staged notebooks (--no-hook leaves it out). "
        "Running it again changes nothing, unless --one-line is given or left out "
        "where it was not before, or the command was written by an older install: "
        "then the driver command is updated. For the cell view of git diff, log -p "
        "and show, also diff.%s (command, textconv, xfuncname) and %r; for git "
        "mergetool --tool=%s, mergetool.%s.cmd and .trustExitCode."
        % (
            git_setup.DRIVER,
            git_setup.ATTRIBUTE_LINE,
            sys.executable,
            git_setup.DRIVER,
            git_setup.DIFF_ATTRIBUTE_LINE,
            git_setup.MERGETOOL,
            git_setup.MERGETOOL,
        ),
        "uninstall": "Remove exactly what install added: the merge.%s, diff.%s and "
        "mergetool.%s settings, the attribute lines that install wrote (a line "
        "you wrote yourself stays), and the pre-commit hook."
        % (git_setup.DRIVER, git_setup.DRIVER, git_setup.MERGETOOL),
        "status": "Show the driver's settings in the repository and global config, the "
        "attribute lines, and the merge attribute git applies to *.ipynb. Exit "
        "status 0 when notebooks merge through the driver, 1 when not.",
    }[command]
    p = _parser("%s %s" % (PROG, command), text)
    if command != "status":
        p.add_argument(
            "--global",
            dest="is_global",
            action="store_true",
            help="use the user's global config and attributes file",
        )
    p.add_argument(
        "--repo",
        metavar="DIR",
        default=None,
        help="the repository (default: the current directory)",
    )
    if command == "install":
        p.add_argument(
            "--no-hook",
            action="store_true",
            help="leave out the git pre-commit hook that install writes into the "
            "repository by default; the hook refuses notebooks with unresolved "
            "conflicts (a hook already there is kept and runs first), and "
            "uninstall removes it",
        )
        p.add_argument(
            "--pre-commit",
            action="store_true",
            help="write the hook also where core.hooksPath names a folder in the "
            "work tree (install leaves it out there: it would be a tracked "
            "file naming this machine's interpreter)",
        )
        p.add_argument(
            "--one-line",
            action="store_true",
            help="merged notebooks stay on one line, as the merge writes them "
            "(the driver command gets --keep-one-line), instead of taking "
            "the layout of our version",
        )
    return p


def run_setup(command, args):
    if args.repo is not None and not os.path.isdir(args.repo):
        raise git_setup.SetupError("--repo %r is not a directory" % args.repo)
    if command == "status":
        from corvane_git.scripts.merge_driver.git_wiring import hook

        wired, lines = git_setup.status(args.repo, hook.status_lines)
        print("\n".join(one_line(line) for line in lines))
        return 0 if wired else 1
    if command == "install" and args.pre_commit and args.is_global:
        raise git_setup.SetupError("--pre-commit writes one repository's hook: leave out --global")
    if command == "install" and args.pre_commit and args.no_hook:
        raise git_setup.SetupError("--pre-commit and --no-hook contradict each other")
    scope = git_setup.Scope(args.is_global, args.repo)
    if command == "install":
        changes = git_setup.install(scope, one_line=args.one_line)
    else:
        changes = git_setup.uninstall(scope)
    # The hook is the repository's: install writes it (--pre-commit, from before it was the
    # default, changes nothing), uninstall removes it.
    if scope.top and (command == "uninstall" or not args.no_hook):
        from corvane_git.scripts.merge_driver.git_wiring import hook

        try:
            changes += (
                hook.install(scope.top, explicit=args.pre_commit)
                if (command == "install")
                else hook.uninstall(scope.top)
            )
        except (hook.HookError, OSError) as exc:
            for change in changes:
                print(one_line(change))
            raise git_setup.SetupError(
                "%s%s"
                % (
                    "the driver is set up, the pre-commit hook is not: "
                    if command == "install"
                    else "",
                    exc,
                )
            ) from exc
    for change in changes:
        print(one_line(change))
    if not changes:
        print(
            "nothing to change: the driver is %s"
            % ("already set up" if command == "install" else "not set up here")
        )
    if command == "install" and scope.is_global and not args.no_hook:
        print(
            "no pre-commit hook: a hook is one repository's; install in a repository "
            "writes it there"
        )
    return 0


# ---- the example -------------------------------------------------------------------------

EXAMPLE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "example")
EXAMPLE_FILES = ("base.ipynb", "ours.ipynb", "theirs.ipynb")

STATUS_MEANING = {
    driver.CLEAN: "merged; nothing needs a decision",
    driver.CONFLICT: "merged with conflicts to resolve: git would stop here and leave this "
    "notebook in the working tree",
    driver.FAILURE: "the merge failed; git would keep our version and report a conflict",
}


RESOLVE_HINT = (
    """\
To resolve, open the notebook: of each "<<< name" / ">>> name" pair keep one
(or combine them) under the plain name, pick the parameter value to keep, and
edit the <<<<<<< ======= >>>>>>> blocks out of the cell sources; then git add.
Or keep one side of them all: %s resolve merged.ipynb --ours (or --theirs)."""
    % PROG
)


def example_parser():
    p = _parser(
        "%s example" % PROG,
        "Copy the bundled example (base.ipynb, ours.ipynb, theirs.ipynb) into DIR, "
        "merge it the way git would (ours.ipynb copied to merged.ipynb, merged.ipynb "
        "written over), and show the merged notebook.",
    )
    p.add_argument(
        "dir",
        metavar="DIR",
        nargs="?",
        default=None,
        help="where to put the files (default: a new temporary directory)",
    )
    return p


def run_example(args):
    target = args.dir or tempfile.mkdtemp(prefix="corvane-example-")
    if os.path.exists(target) and not os.path.isdir(target):
        raise git_setup.SetupError("%r is not a directory" % target)
    taken = [
        name
        for name in EXAMPLE_FILES + ("merged.ipynb",)
        if os.path.lexists(os.path.join(target, name))
    ]
    if taken:
        raise git_setup.SetupError(
            "%s already holds %s: nothing was overwritten (name a new or "
            "empty directory)" % (target, ", ".join(taken))
        )
    os.makedirs(target, exist_ok=True)
    for name in EXAMPLE_FILES:
        shutil.copyfile(os.path.join(EXAMPLE_DIR, name), os.path.join(target, name))
    merged = os.path.join(target, "merged.ipynb")
    shutil.copyfile(os.path.join(target, "ours.ipynb"), merged)
    print("In %s, merged.ipynb started as a copy of ours.ipynb; then, as git would:" % target)
    print("  %s base.ipynb merged.ipynb theirs.ipynb notebook.ipynb" % PROG)
    print()
    here = os.getcwd()
    os.chdir(target)
    try:
        status = merge_and_report(
            "base.ipynb", "merged.ipynb", "theirs.ipynb", "notebook.ipynb", report=sys.stdout
        )
    finally:
        os.chdir(here)
    if status != driver.FAILURE:
        with open(merged, encoding="utf-8") as f:
            print()
            print("merged.ipynb:")
            print(render(json.load(f)))
    print()
    print("exit status %d: %s" % (status, STATUS_MEANING[status]))
    if status == driver.CONFLICT:
        print(RESOLVE_HINT)
    if not args.dir:
        print()
        print("The example's files are in %s; nothing else was written." % target)
    return 0 if status != driver.FAILURE else status


def render(notebook):
    """A notebook as text: its parameters, then each cell with its name, links and source
    (control characters escaped: one line on the screen for each)."""
    text = one_line
    out = ["parameters:"]
    for param in shape.parameters(notebook):
        rest = {k: v for k, v in param.items() if k != "name"}
        out.append(
            "  %-18s %s%s"
            % (
                text(str(param.get("name"))),
                text(json.dumps(rest, ensure_ascii=False)),
                _mark_note(param.get("name")),
            )
        )
    names = {}
    for cell in shape.cell_maps(notebook):
        canvas = shape.canvas(cell)
        names[canvas.get("id")] = canvas.get("name") or canvas.get("id")
    out.append("cells:")
    for pos, cell in enumerate(shape.cell_maps(notebook), 1):
        canvas = shape.canvas(cell)
        name = canvas.get("name")
        title = name if name else "(not a component)"
        out.append(
            "  [%d] %s  <%s>%s"
            % (pos, text(str(title)), text(str(cell.get("cell_type", "cell"))), _mark_note(name))
        )
        parents = [
            names.get(p.get("id"), p.get("id"))
            for p in canvas.get("parents") or ()
            if isinstance(p, dict)
        ]
        if parents:
            out.append("      parents: " + ", ".join(text(str(p)) for p in parents))
        for comment in canvas.get("comments") or ():
            if isinstance(comment, dict):
                out.append(
                    "      comment: "
                    + text("; ".join("%s=%s" % (k, v) for k, v in comment.items()))
                )
        for line in shape.source_lines(cell):
            line = line.rstrip("\n")
            conflict = (
                line.startswith((markers.MARKER_START, markers.MARKER_END))
                or line == markers.MARKER_MID
            )
            out.append("      %s %s" % ("!" if conflict else "|", text(line)))
    return "\n".join(out)


def _mark_note(name):
    if not isinstance(name, str):
        return ""
    if name.startswith(markers.OURS_MARK):
        return "    <- conflict: our version"
    if name.startswith(markers.THEIRS_MARK):
        return "    <- conflict: their version"
    return ""


# ---- dispatch ------------------------------------------------------------------------------


def unknown_command(argv):
    """The first argument when it reads as a mistyped command rather than a merge's BASE: a
    plain word that names no file, with fewer words after it than a merge takes."""
    if not argv or "--" in argv:
        return None
    words = [a for a in argv if not a.startswith("-")]
    word = argv[0]
    if re.match(r"[A-Za-z][\w-]*\Z", word) and len(words) < 4 and not os.path.exists(word):
        return word
    return None


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        if argv and argv[0] in SUBCOMMANDS:
            command, rest = argv[0], argv[1:]
            if command == "example":
                return run_example(example_parser().parse_args(rest))
            if command == "diff":
                from corvane_git.scripts.merge_driver.pages import notebook_diff

                return notebook_diff.main(rest)
            if command == "view":
                from corvane_git.scripts.merge_driver.pages import view

                return view.main(rest)
            if command == "mergetool":
                from corvane_git.scripts.merge_driver.pages import mergetool

                return mergetool.main(rest)
            if command in ("conflicts", "resolve", "check"):
                from corvane_git.scripts.merge_driver.conflicts import resolve

                return resolve.main(command, rest)
            return run_setup(command, setup_parser(command).parse_args(rest))
        parser = merge_parser()
        typo = unknown_command(argv)
        if typo is not None:
            parser.error(
                "unknown command %r; the commands are %s (a merge takes BASE CURRENT "
                "INCOMING PATH)" % (typo, ", ".join(SUBCOMMANDS))
            )
        args, extra = parser.parse_known_args(argv)
        options = [a for a in extra if a.startswith("-") and a != "-"]
        if options:
            parser.error("unknown option: %s" % options[0])
        if extra:
            parser.error(
                "too many arguments: %s (a merge takes exactly BASE CURRENT INCOMING "
                "PATH)" % " ".join(extra)
            )
        return run_merge(parser, args)
    except git_setup.SetupError as exc:
        sys.stderr.write("%s: error: %s\n" % (PROG, one_line(str(exc))))
        return 2
