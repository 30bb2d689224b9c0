"""Wiring the driver into git: merge.<driver> in a config file and "*.ipynb merge=<driver>"."""
import os
import shlex
import subprocess
import sys

DRIVER = "corvane-notebook"
DRIVER_NAME = "notebook merge by component id (corvane-merge-driver)"
ATTRIBUTE_LINE = "*.ipynb merge=" + DRIVER
# Written above the attribute line so that uninstall removes only a line that install added.
MARKER_LINE = "# added by corvane-merge-driver install; removed by its uninstall"


class SetupError(Exception):
    """Git setup cannot go on; the message says why."""


def driver_command(python=None, one_line=False):
    """The shell command git runs, with the interpreter that runs this code, quoted for sh.

    git quotes %P itself; "--" keeps a path that starts with "-" from reading as an option.
    %L is the conflict-marker size, for a notebook merged as text.  `one_line` keeps merged
    notebooks in the merge's one-line form.
    """
    return "%s -m corvane_git.scripts.merge_driver %s--marker-size=%%L -- %%O %%A %%B %%P" % (
        shlex.quote(os.path.abspath(python or sys.executable)),
        "--keep-one-line " if one_line else "")


def _git(args, cwd=None, check=True):
    try:
        # git writes UTF-8 whatever the locale (git for Windows included): paths, config values.
        proc = subprocess.run(["git"] + args, cwd=cwd, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, encoding="utf-8", errors="surrogateescape")
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
                raise SetupError("%s is not inside a git repository (use --global to set up "
                                 "the driver for all repositories)"
                                 % os.path.abspath(repo or os.curdir))
            self.top = proc.stdout.strip()
            self.name = "repository"
        self.config_flag = "--global" if is_global else "--local"

    @property
    def attributes_file(self):
        if not self.is_global:
            return os.path.join(self.top, ".gitattributes")
        proc = _git(["config", "--global", "--get", "core.attributesFile"], cwd=self.cwd,
                    check=False)
        if proc.returncode == 0 and proc.stdout.strip():
            return _expand_home(proc.stdout.strip())
        xdg = os.environ.get("XDG_CONFIG_HOME")
        base = xdg if xdg else os.path.join(_home(), ".config")
        return os.path.join(base, "git", "attributes")

    def get(self, key):
        proc = _git(["config", self.config_flag, "--get", key], cwd=self.top or self.cwd,
                    check=False)
        return proc.stdout.rstrip("\n") if proc.returncode == 0 else None

    def set(self, key, value):
        _git(["config", self.config_flag, key, value], cwd=self.top or self.cwd)

    def unset(self, key):
        # Exit status 5 means the key was not there, which is what unset wants.
        proc = _git(["config", self.config_flag, "--unset-all", key], cwd=self.top or self.cwd,
                    check=False)
        if proc.returncode not in (0, 5):
            raise SetupError("git config --unset-all %s failed: %s" % (key, proc.stderr.strip()))

    def remove_empty_section(self, section="merge." + DRIVER):
        proc = _git(["config", self.config_flag, "--get-regexp", "^" + section.replace(".", r"\.")
                     + r"\."], cwd=self.top or self.cwd, check=False)
        if proc.returncode == 1:
            _git(["config", self.config_flag, "--remove-section", section],
                 cwd=self.top or self.cwd, check=False)


# ---- the cell-by-cell diff: "*.ipynb diff=<driver>" and diff.<driver>.* beside the merge ------

DIFF_ATTRIBUTE_LINE = "*.ipynb diff=" + DRIVER
# git's hunk headers name the cell they are in (a cell's first line in the textconv view).
DIFF_FUNCNAME = r"^\[[a-z]+\].*$"


def diff_settings(python=None):
    """The diff driver's config, as ((key, value), ...): the external diff command, which
    git diff runs (the cell-by-cell diff, moves included), and the textconv filter, which
    git log -p, git show and --no-ext-diff use (a cell view of each version, diffed by git)."""
    command = "%s -m corvane_git.scripts.merge_driver diff" % shlex.quote(
        os.path.abspath(python or sys.executable))
    return (("diff.%s.command" % DRIVER, command + " --git"),
            ("diff.%s.textconv" % DRIVER, command + " --textconv"),
            ("diff.%s.xfuncname" % DRIVER, DIFF_FUNCNAME))


# ---- the merge tool: git mergetool --tool=corvane-notebook ----------------------------------

MERGETOOL = "corvane-notebook"


def mergetool_settings(python=None):
    """The merge tool's config, as ((key, value), ...): the page that resolves a merged
    notebook's conflicts by clicks (git mergetool --tool=corvane-notebook); its exit status
    tells git whether the notebook is resolved."""
    command = "%s -m corvane_git.scripts.merge_driver mergetool" % shlex.quote(
        os.path.abspath(python or sys.executable))
    return (("mergetool.%s.cmd" % MERGETOOL,
             command + ' "$BASE" "$LOCAL" "$REMOTE" "$MERGED"'),
            ("mergetool.%s.trustExitCode" % MERGETOOL, "true"))


def diff_status(scopes, repo=None):
    """Lines of status about the diff driver: its config, attribute lines, git's attribute."""
    lines = []
    for scope in scopes:
        lines.append("diff, repository %s:" % scope.top if scope.top else "diff, global:")
        for key, _ in diff_settings():
            value = scope.get(key)
            lines.append("  %-36s %s" % (key, value if value is not None else "(not set)"))
        found = [n for n, l in enumerate(_read_lines(scope.attributes_file) or (), 1)
                 if l.strip() == DIFF_ATTRIBUTE_LINE]
        lines.append("  %-36s %s" % (scope.attributes_file, "line %d: %s" % (
            found[0], DIFF_ATTRIBUTE_LINE) if found else "(no %r line)" % DIFF_ATTRIBUTE_LINE))
    probe = _git(["check-attr", "diff", "--", "notebook.ipynb"], cwd=repo, check=False)
    if probe.returncode == 0:
        effective = probe.stdout.strip().rsplit(": ", 1)[-1]
        lines.append("*.ipynb diff attribute: %s (%s)" % (
            effective, "git diff, log -p and show give the cell view" if effective == DRIVER
            else "git diff shows notebooks as JSON text"))
    return lines


def _home():
    """The home directory as git takes it: HOME where set (git for Windows too), else the user's."""
    return os.environ.get("HOME") or os.path.expanduser("~")


def _expand_home(path):
    """A leading "~" of a path from git's config, read as git reads it."""
    if path == "~" or path.startswith(("~/", "~" + os.sep)):
        return _home() + path[1:]
    return os.path.expanduser(path)


def _read_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return None


def _write_lines(path, lines):
    if not lines:
        os.remove(path)
        return
    parent = os.path.dirname(path)
    if parent:
        os.makedirs(parent, exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def install(scope, one_line=False):
    """Wire the driver in; returns the list of changes made (empty when all was in place)."""
    changes = []
    command = driver_command(one_line=one_line)
    for key, value in (("merge.%s.name" % DRIVER, DRIVER_NAME),
                       ("merge.%s.driver" % DRIVER, command)) + diff_settings() + \
            mergetool_settings():
        if scope.get(key) != value:
            scope.set(key, value)
            changes.append("set %s = %s (%s config)" % (key, value, scope.name))
    path = scope.attributes_file
    for attribute in (ATTRIBUTE_LINE, DIFF_ATTRIBUTE_LINE):
        lines = _read_lines(path)
        if lines is None or attribute not in (l.strip() for l in lines):
            _write_lines(path, (lines or []) + [MARKER_LINE, attribute])
            changes.append("added %r to %s" % (attribute, path))
    return changes


def uninstall(scope):
    """Remove what install added; returns the list of changes made."""
    changes = []
    for key in ("merge.%s.driver" % DRIVER, "merge.%s.name" % DRIVER) + tuple(
            key for key, _ in diff_settings() + mergetool_settings()):
        if scope.get(key) is not None:
            scope.unset(key)
            changes.append("removed %s (%s config)" % (key, scope.name))
    scope.remove_empty_section()
    scope.remove_empty_section("diff." + DRIVER)
    scope.remove_empty_section("mergetool." + MERGETOOL)
    path = scope.attributes_file
    for attribute in (ATTRIBUTE_LINE, DIFF_ATTRIBUTE_LINE):
        lines = _read_lines(path)
        if lines is None:
            break
        kept, i = [], 0
        while i < len(lines):
            if (lines[i].strip() == MARKER_LINE and i + 1 < len(lines)
                    and lines[i + 1].strip() == attribute):
                i += 2
                continue
            kept.append(lines[i])
            i += 1
        if kept != lines:
            _write_lines(path, kept)
            changes.append("removed %r from %s%s" % (
                attribute, path, "" if kept else " (now empty, deleted)"))
    return changes


def status(repo=None):
    """Describe the wiring as lines of text; the flag says whether *.ipynb merges use it."""
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
        found = [n for n, l in enumerate(_read_lines(path) or (), 1) if l.strip() == ATTRIBUTE_LINE]
        lines.append("  %-36s %s" % (path, "line %d: %s" % (found[0], ATTRIBUTE_LINE)
                                     if found else "(no %r line)" % ATTRIBUTE_LINE))
    lines.extend(diff_status(scopes, repo))
    probe = _git(["check-attr", "merge", "--", "notebook.ipynb"], cwd=repo, check=False)
    effective = probe.stdout.strip().rsplit(": ", 1)[-1] if probe.returncode == 0 else None
    wired = effective == DRIVER and command is not None
    if effective is None:
        lines.append("*.ipynb merge attribute: unknown outside a repository")
        wired = False
    else:
        lines.append("*.ipynb merge attribute: %s" % effective)
    if command is not None:
        try:
            python = shlex.split(command)[0]
        except ValueError:
            python = ""
        if not os.path.exists(python):
            lines.append("the driver command names an interpreter that does not exist: %s"
                         % python)
            wired = False
    if wired:
        lines.append("plain Jupyter notebooks (no component layer on any side) merge cell by "
                     "cell, paired by cell id or by content")
        lines.append("notebooks with the component layer on some sides or cells only, and "
                     "files that are not notebooks, merge as text by git merge-file, as without "
                     "the driver")
    lines.append("notebooks merge through the driver" if wired
                 else "notebooks do not merge through the driver")
    return wired, lines
