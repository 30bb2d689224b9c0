"""Wiring the driver into git: merge.<driver> in a config file and "*.ipynb merge=<driver>"."""

import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

from corvane_git.scripts.merge_driver.git_wiring import runner

DRIVER = "corvane-notebook"
DRIVER_PROG = "corvane-merge-driver"
DRIVER_NAME = "notebook merge by component id (corvane-merge-driver)"
ATTRIBUTE_LINE = "*.ipynb merge=" + DRIVER
# Written above the attribute line so that uninstall removes only a line that install added.
MARKER_LINE = "# added by corvane-merge-driver install; removed by its uninstall"


class SetupError(Exception):
    """Git setup cannot go on; the message says why."""


# What the interpreter runs instead of "-m corvane_git.scripts.merge_driver".  git starts the
# driver (and the hook) at the top of the work tree being merged, and both "-m" and "-c" put
# that directory first on sys.path: a tracked folder corvane_git/ would be imported instead of the
# installed package.  These few statements drop the current directory and every relative entry
# from sys.path before anything of ours is imported; they need nothing newer than Python 3.7
# ("-P" is 3.11's) and keep the user's site-packages (which "-I" drops, and `pip install --user`
# relies on).  The console script's absolute path would do too, but it is not there where the
# package is run from a source tree, and on Windows it is a launcher of its own.
BOOTSTRAP = (
    "import os,sys;c=os.path.normcase(os.getcwd());sys.path[:]=[p for p in sys.path "
    "if os.path.isabs(p) and os.path.normcase(os.path.normpath(p))!=c];"
    "from corvane_git.scripts.merge_driver.command import run;sys.exit(run())"
)
# What a driver line or hook that an older install wrote runs: the package from the work tree
# when one is there.
UNSAFE_RUN = "-m corvane_git.scripts.merge_driver"

# git passes its own conflict labels to a merge driver (%S %X %Y) from this version on.
LABELS_SINCE = (2, 44)


def python_command(python=None):
    """The interpreter that runs this code and the bootstrap, quoted for sh."""
    return "%s -c %s" % (
        shlex.quote(os.path.abspath(python or sys.executable)),
        shlex.quote(BOOTSTRAP),
    )


def driver_command(python=None, one_line=False, git_version=None):
    """The shell command git runs, quoted for sh (git for Windows' too).

    git quotes %O %A %B %P (and %S %X %Y) itself; "--" keeps a path that starts with "-" from
    reading as an option.  %L is the conflict-marker size, for a notebook merged as text.
    `one_line` keeps merged notebooks in the merge's one-line form.  With a `git_version` of
    2.44 or later the line passes git's conflict labels (the branch names) on.

    Where the interpreter is gone (a virtual environment deleted or moved), the line merges the
    notebook as git does without a driver, with git merge-file, and says why on stderr: else
    the shell's exit status 127 would read to git as a conflict, with our version and no
    conflict markers in the work tree.
    """
    labels = tuple(git_version or ()) >= LABELS_SINCE
    path = os.path.abspath(python or sys.executable)
    # No backslash in what echo prints (some shells' echo reads escapes), no "%" but git's.
    gone = "%s: the interpreter of the driver line is gone, run install again: " % DRIVER_PROG
    return (
        "if command -v {python} >/dev/null 2>&1; then exec {command} {one_line}"
        "--marker-size=%L {labels}-- %O %A %B %P; else echo {gone}%P{merged} >&2; "
        "git merge-file --marker-size=%L {text_labels} -- %A %O %B; fi"
    ).format(
        python=shlex.quote(path),
        command=python_command(path),
        one_line="--keep-one-line " if one_line else "",
        labels="--ancestor-label=%S --ours-label=%X --theirs-label=%Y " if labels else "",
        gone=shlex.quote(gone),
        merged=shlex.quote(" merged as text by git merge-file"),
        text_labels="-L %X -L %S -L %Y" if labels else "-L %P-current -L %P-base -L %P-incoming",
    )


def line_interpreter(command):
    """The interpreter that a command we wrote (of this version or an older one) runs: the
    one its "command -v" guard tests, else its first word."""
    try:
        words = shlex.split(command)
    except ValueError:
        return ""
    for at in range(len(words) - 2):
        if words[at : at + 2] == ["command", "-v"]:
            return words[at + 2]
    return words[0] if words else ""


def guarded(python, name, run, fallback):
    """A shell function `name` that runs `run` (our command, with the arguments that git
    appends) where the interpreter `python` is there, else `fallback`; then calls it.  git
    runs such a setting as `<setting> "$@"`, so the arguments reach the function."""
    return '%s() { if command -v %s >/dev/null 2>&1; then exec %s "$@"; else %s; fi; }; %s' % (
        name,
        shlex.quote(python),
        run,
        fallback,
        name,
    )


def git_version(cwd=None):
    """The installed git's version as a tuple of numbers; () where it cannot be told."""
    proc = _git(["version"], cwd=cwd, check=False)
    found = re.search(r"(\d+)\.(\d+)(?:\.(\d+))?", proc.stdout or "")
    return tuple(int(n) for n in found.groups("0")) if found else ()


def _git(args, cwd=None, check=True):
    try:
        # git writes UTF-8 whatever the locale (git for Windows included): paths, config values.
        proc = runner.run(
            args,
            cwd=cwd,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            encoding="utf-8",
            errors="surrogateescape",
        )
    except OSError as exc:
        raise SetupError("cannot run git: %s" % (exc.strerror or exc)) from exc
    if check and proc.returncode != 0:
        raise SetupError("git %s failed: %s" % (" ".join(args), proc.stderr.strip()))
    return proc


class Scope:
    """One place to wire the driver: a repository, or the user's global git setup."""

    def __init__(self, is_global, repo=None):
        self.is_global = is_global
        self.cwd = repo
        if is_global:
            self.name = "global"
            self.top = None
        else:
            proc = _git(["rev-parse", "--show-toplevel"], cwd=repo, check=False)
            if proc.returncode != 0:
                raise SetupError(
                    "%s is not inside a git repository (use --global to set up "
                    "the driver for all repositories)" % os.path.abspath(repo or os.curdir)
                )
            self.top = proc.stdout.strip()
            self.name = "repository"
        self.config_flag = "--global" if is_global else "--local"

    @property
    def attributes_file(self):
        if not self.is_global:
            return os.path.join(self.top, ".gitattributes")  # type: ignore[arg-type]
        proc = _git(
            ["config", "--global", "--get", "core.attributesFile"], cwd=self.cwd, check=False
        )
        if proc.returncode == 0 and proc.stdout.strip():
            return _expand_home(proc.stdout.strip())
        xdg = os.environ.get("XDG_CONFIG_HOME")
        base = xdg if xdg else os.path.join(_home(), ".config")
        return os.path.join(base, "git", "attributes")

    def get(self, key):
        proc = _git(
            ["config", self.config_flag, "--get", key], cwd=self.top or self.cwd, check=False
        )
        return proc.stdout.rstrip("\n") if proc.returncode == 0 else None

    def set(self, key, value):
        _git(["config", self.config_flag, key, value], cwd=self.top or self.cwd)

    def unset(self, key):
        # Exit status 5 means the key was not there, which is what unset wants.
        proc = _git(
            ["config", self.config_flag, "--unset-all", key], cwd=self.top or self.cwd, check=False
        )
        if proc.returncode not in (0, 5):
            raise SetupError("git config --unset-all %s failed: %s" % (key, proc.stderr.strip()))

    def remove_empty_section(self, section="merge." + DRIVER):
        proc = _git(
            ["config", self.config_flag, "--get-regexp", "^" + section.replace(".", r"\.") + r"\."],
            cwd=self.top or self.cwd,
            check=False,
        )
        if proc.returncode == 1:
            _git(
                ["config", self.config_flag, "--remove-section", section],
                cwd=self.top or self.cwd,
                check=False,
            )


# ---- the cell-by-cell diff: "*.ipynb diff=<driver>" and diff.<driver>.* beside the merge ------

DIFF_ATTRIBUTE_LINE = "*.ipynb diff=" + DRIVER
# git's hunk headers name the cell they are in (a cell's first line in the textconv view).
DIFF_FUNCNAME = r"^\[[a-z]+\].*$"


def diff_settings(python=None):
    """The diff driver's config, as ((key, value), ...): the external diff command, which
    git diff runs (the cell-by-cell diff, moves included), and the textconv filter, which
    git log -p, git show and --no-ext-diff use (a cell view of each version, diffed by git)."""
    path = os.path.abspath(python or sys.executable)
    command = python_command(path) + " diff"
    # Where the interpreter is gone: git's own diff of the two files (git passes path, old
    # file, old id, old mode, new file, ...; exit status 1 means "they differ", which git
    # would read from an external diff as its death), and the raw text for textconv.
    gone = shlex.quote(
        "%s: the interpreter of the diff settings is gone, run install again: " % DRIVER_PROG
    )
    return (
        (
            "diff.%s.command" % DRIVER,
            guarded(
                path,
                "corvane_diff",
                command + " --git",
                'echo %s"$1" shown as text >&2; git diff --no-index --no-ext-diff --no-textconv '
                '-- "$2" "$5"; [ $? -le 1 ]' % gone,
            ),
        ),
        (
            "diff.%s.textconv" % DRIVER,
            guarded(path, "corvane_textconv", command + " --textconv", 'cat -- "$1"'),
        ),
        ("diff.%s.xfuncname" % DRIVER, DIFF_FUNCNAME),
    )


# ---- the merge tool: git mergetool --tool=corvane-notebook ----------------------------------

MERGETOOL = "corvane-notebook"


def mergetool_settings(python=None):
    """The merge tool's config, as ((key, value), ...): the page that resolves a merged
    notebook's conflicts by clicks (git mergetool --tool=corvane-notebook); its exit status
    tells git whether the notebook is resolved."""
    command = python_command(python) + " mergetool"
    return (
        ("mergetool.%s.cmd" % MERGETOOL, command + ' "$BASE" "$LOCAL" "$REMOTE" "$MERGED"'),
        ("mergetool.%s.trustExitCode" % MERGETOOL, "true"),
    )


def diff_status(scopes, repo=None):
    """Lines of status about the diff driver: its config, attribute lines, git's attribute."""
    lines = []
    for scope in scopes:
        lines.append("diff, repository %s:" % scope.top if scope.top else "diff, global:")
        for key, _ in diff_settings():
            value = scope.get(key)
            lines.append("  %-36s %s" % (key, value if value is not None else "(not set)"))
        found = _attribute_lines(_read_bytes(scope.attributes_file), DIFF_ATTRIBUTE_LINE)
        lines.append(
            "  %-36s %s"
            % (
                scope.attributes_file,
                "line %d: %s" % (found[0], DIFF_ATTRIBUTE_LINE)
                if found
                else "(no %r line)" % DIFF_ATTRIBUTE_LINE,
            )
        )
    probe = _git(["check-attr", "diff", "--", "notebook.ipynb"], cwd=repo, check=False)
    if probe.returncode == 0:
        effective = probe.stdout.strip().rsplit(": ", 1)[-1]
        # The settings that git takes: the repository's where set, else the global ones.
        command = next(
            (
                value
                for value in (
                    scope.get("diff.%s.%s" % (DRIVER, key))
                    for key in ("command", "textconv")
                    for scope in scopes
                )
                if value is not None
            ),
            None,
        )
        python = line_interpreter(command or "")
        lines.append(
            "*.ipynb diff attribute: %s (%s)"
            % (
                effective,
                "git diff shows notebooks as JSON text"
                if effective != DRIVER
                else "git diff, log -p and show give the cell view"
                if os.path.exists(python)
                else "the diff settings are not set: git diff shows notebooks as JSON text"
                if command is None
                else "the diff settings' interpreter is gone: "
                "git diff shows notebooks as JSON text",
            )
        )
    return lines


def _command_faults(scopes, keys):
    """Lines naming the commands among `keys` (the diff's and the merge tool's) that run the
    package with -m or name an interpreter that is gone."""
    lines = []
    for scope in scopes:
        for key in keys:
            value = scope.get(key)
            if value is None:
                continue
            if UNSAFE_RUN in value:
                lines.append(
                    "unsafe: %s (%s config) runs the package with -m, which imports "
                    "it from the top of the work tree when a corvane_git folder is "
                    "there: run install again" % (key, scope.name)
                )
            python = line_interpreter(value)
            if python and not os.path.exists(python):
                lines.append(
                    "%s (%s config) names an interpreter that does not exist: %s: %s; "
                    "run install again"
                    % (
                        key,
                        scope.name,
                        python,
                        (
                            "git mergetool fails"
                            if key.startswith("mergetool.")
                            else "notebooks show as JSON text"
                        ),
                    )
                )
    return lines


def _home():
    """The home directory as git takes it: HOME where set (git for Windows too), else the user's."""
    return os.environ.get("HOME") or os.path.expanduser("~")


def _expand_home(path):
    """A leading "~" of a path from git's config, read as git reads it."""
    if path == "~" or path.startswith(("~/", "~" + os.sep)):
        return _home() + path[1:]
    return os.path.expanduser(path)


# Attribute files are bytes to us: our two lines go in and out, every other byte stays as it
# was (line ends, form feeds, text that is not UTF-8).  git ends a line at LF alone.
_MARKER = MARKER_LINE.encode("ascii")


def _read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise SetupError("cannot read %s: %s" % (path, exc.strerror or exc)) from exc


def _lines(data):
    """The lines of an attributes file, each with its LF (the last one may have none)."""
    parts = (data or b"").split(b"\n")
    return [part + b"\n" for part in parts[:-1]] + ([parts[-1]] if parts[-1] else [])


def _is(line, text):
    return line.rstrip(b"\n").strip(b" \t\r") == text


def _attribute_lines(data, attribute=ATTRIBUTE_LINE):
    """The numbers (from 1) of the lines that set our attribute (the merge's by default)."""
    attribute = attribute.encode("ascii")
    return [n for n, line in enumerate(_lines(data), 1) if _is(line, attribute)]


def _with_our_lines(data, attribute=ATTRIBUTE_LINE):
    """`data` (None: no file) with our two lines (the marker and `attribute`) at the end, in
    the line end of its last line; None where a line sets that attribute already."""
    if _attribute_lines(data, attribute):
        return None
    ended = [line for line in _lines(data) if line.endswith(b"\n")]
    newline = b"\r\n" if ended and ended[-1].endswith(b"\r\n") else b"\n"
    head = data or b""
    if head and not head.endswith(b"\n"):
        head += newline
    return head + _MARKER + newline + attribute.encode("ascii") + newline


def _without_our_lines(data, attribute=ATTRIBUTE_LINE):
    """`data` without the pairs of lines (the marker and `attribute`) that install wrote; None
    where there are none."""
    ours, lines, kept, i = attribute.encode("ascii"), _lines(data), [], 0
    while i < len(lines):
        if _is(lines[i], _MARKER) and i + 1 < len(lines) and _is(lines[i + 1], ours):
            i += 2
            continue
        kept.append(lines[i])
        i += 1
    return b"".join(kept) if len(kept) != len(lines) else None


def _write_bytes(path, data):
    """Replace the file at `path` (through a link, the file it names) with `data` in one step,
    keeping its mode; an empty `data` deletes it."""
    path = os.path.realpath(path)
    if not data:
        os.remove(path)
        return
    parent = os.path.dirname(path)
    os.makedirs(parent, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=".corvane-attributes-", dir=parent)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        if os.path.exists(path):
            shutil.copymode(path, temporary)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise


class _Settings:
    """Config changes that can be taken back: the driver's config and attribute line are set
    up both or neither."""

    def __init__(self, scope):
        self.scope, self.before = scope, []

    def set(self, key, value):
        self.before.append((key, self.scope.get(key)))
        self.scope.set(key, value)

    def unset(self, key):
        self.before.append((key, self.scope.get(key)))
        self.scope.unset(key)

    def take_back(self):
        for key, value in reversed(self.before):
            try:
                if value is None:
                    self.scope.unset(key)
                else:
                    self.scope.set(key, value)
            except SetupError:
                pass


def _change(scope, settings, path, data, change):
    """Apply the config `settings` ([(key, value or None to unset)]), then write `data` to the
    attributes file at `path` (None: leave it); on a failure take the config back."""
    done = _Settings(scope)
    try:
        for key, value in settings:
            if value is None:
                done.unset(key)
            else:
                done.set(key, value)
        if data is not None:
            _write_bytes(path, data)
    except (SetupError, OSError) as exc:
        done.take_back()
        cause = (
            str(exc)
            if isinstance(exc, SetupError)
            else "cannot %s %s: %s" % (change, path, exc.strerror or exc)
        )
        raise SetupError("%s; nothing was changed" % cause) from exc


def install(scope, one_line=False):
    """Wire the driver in; returns the list of changes made (empty when all was in place)."""
    command = driver_command(one_line=one_line, git_version=git_version(scope.top or scope.cwd))
    path = scope.attributes_file
    data, added = _read_bytes(path), []
    for attribute in (ATTRIBUTE_LINE, DIFF_ATTRIBUTE_LINE):
        with_it = _with_our_lines(data, attribute)
        if with_it is not None:
            data = with_it
            added.append(attribute)
    settings = [
        (key, value)
        for key, value in (
            ("merge.%s.name" % DRIVER, DRIVER_NAME),
            ("merge.%s.driver" % DRIVER, command),
        )
        + diff_settings()
        + mergetool_settings()
        if scope.get(key) != value
    ]
    _change(scope, settings, path, data if added else None, "write")
    changes = ["set %s = %s (%s config)" % (key, value, scope.name) for key, value in settings]
    changes.extend("added %r to %s" % (attribute, path) for attribute in added)
    return changes


def uninstall(scope):
    """Remove what install added; returns the list of changes made."""
    path = scope.attributes_file
    data, removed = _read_bytes(path), []
    for attribute in (ATTRIBUTE_LINE, DIFF_ATTRIBUTE_LINE):
        without_it = _without_our_lines(data, attribute)
        if without_it is not None:
            data = without_it
            removed.append(attribute)
    settings = [
        (key, None)
        for key in ("merge.%s.driver" % DRIVER, "merge.%s.name" % DRIVER)
        + tuple(key for key, _ in diff_settings() + mergetool_settings())
        if scope.get(key) is not None
    ]
    _change(scope, settings, path, data if removed else None, "remove %r from" % ATTRIBUTE_LINE)
    scope.remove_empty_section()
    scope.remove_empty_section("diff." + DRIVER)
    scope.remove_empty_section("mergetool." + MERGETOOL)
    changes = ["removed %s (%s config)" % (key, scope.name) for key, _ in settings]
    changes.extend(
        "removed %r from %s%s" % (attribute, path, "" if data else " (now empty, deleted)")
        for attribute in removed
    )
    return changes


def status(repo=None, hook_status=None):
    """Describe the wiring as lines of text; the flag says whether *.ipynb merges use it.
    `hook_status(top)` gives the lines on a repository's pre-commit hook (hook.status_lines)."""
    lines = []
    scopes = [Scope(True, repo)]
    try:
        scopes.insert(0, Scope(False, repo))
    except SetupError:
        lines.append("not inside a git repository: showing the global setup only")
    command = None
    for scope in scopes:
        lines.append("repository %s:" % scope.top if scope.top else "global:")
        for key in ("merge.%s.driver" % DRIVER, "merge.%s.name" % DRIVER):
            value = scope.get(key)
            lines.append("  %-36s %s" % (key, value if value is not None else "(not set)"))
            if key.endswith(".driver") and value is not None and command is None:
                command = value
        path = scope.attributes_file
        found = _attribute_lines(_read_bytes(path))
        lines.append(
            "  %-36s %s"
            % (
                path,
                "line %d: %s" % (found[0], ATTRIBUTE_LINE)
                if found
                else "(no %r line)" % ATTRIBUTE_LINE,
            )
        )
        if scope.top and hook_status is not None:
            lines.extend("  " + line for line in hook_status(scope.top))
    lines.extend(diff_status(scopes, repo))
    lines.extend(
        _command_faults(
            scopes,
            [key for key, _ in diff_settings() if not key.endswith("xfuncname")]
            + ["mergetool.%s.cmd" % MERGETOOL],
        )
    )
    probe = _git(["check-attr", "merge", "--", "notebook.ipynb"], cwd=repo, check=False)
    effective = probe.stdout.strip().rsplit(": ", 1)[-1] if probe.returncode == 0 else None
    wired = effective == DRIVER and command is not None
    if effective is None:
        lines.append("*.ipynb merge attribute: unknown outside a repository")
        wired = False
    else:
        lines.append("*.ipynb merge attribute: %s" % effective)
    if command is not None:
        python = line_interpreter(command)
        if UNSAFE_RUN in command:
            lines.append(
                "unsafe: the driver command runs the package with -m, which imports it "
                "from the top of the work tree being merged when a corvane_git folder "
                "is there: run install again"
            )
        if not os.path.exists(python):
            lines.append("the driver command names an interpreter that does not exist: %s" % python)
            wired = False
    if wired:
        lines.append(
            "plain Jupyter notebooks (no component layer on any side) merge cell by "
            "cell, paired by cell id or by content"
        )
        lines.append(
            "notebooks with the component layer on some sides only, and "
            "files that are not notebooks, merge as text by git merge-file, as without "
            "the driver"
        )
    lines.append(
        "notebooks merge through the driver"
        if wired
        else "notebooks do not merge through the driver"
    )
    return wired, lines
