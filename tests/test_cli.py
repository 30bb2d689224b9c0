"""The driver's command line: arguments, exit codes and messages, git setup, the example."""
import json
import os
import re
import shlex
import stat
import subprocess
import sys
import sysconfig

import pytest

from conftest import PACKAGE_ROOT, SHELL_SCRIPT_PROGRAMS
from corvane_git.scripts.merge_driver.driver import route as driver
from corvane_git.scripts.merge_driver.git_wiring import settings as git_setup
from corvane_git.scripts.merge_driver.git_wiring import hook as hook_module
from corvane_git.scripts.merge_driver.cli import SUBCOMMANDS
from notebooks import (ThreeWay, base_notebook, cell, change, layered_top, notebook, param, plain,
                       set_param)
from reference import git_merge_file

PROG = "corvane-merge-driver"
DRIVER = "corvane-notebook"


def run(args, cwd, env=None, module=True):
    command = [sys.executable, "-m", "corvane_git.scripts.merge_driver"] if module else []
    proc = subprocess.run(command + list(args), cwd=str(cwd), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    return proc


@pytest.fixture
def env():
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, e.get("PYTHONPATH")) if p)
    return e


ARGS = ["base.ipynb", "ours.ipynb", "theirs.ipynb", "nb.ipynb"]


TOO_LARGE = "the --marker-size is more than git gives or takes (at most 2147483647)"


class TestArguments:
    @pytest.mark.parametrize("args, message", [
        ([], "the following arguments are required: BASE, CURRENT, INCOMING, PATH"),
        (["b.ipynb", "o.ipynb", "t.ipynb"], "the following arguments are required: PATH"),
        (["b.ipynb", "o.ipynb", "t.ipynb", "nb", "extra"],
         "too many arguments: extra (a merge takes exactly BASE CURRENT INCOMING PATH)"),
        (["b.ipynb", "o.ipynb", "t.ipynb", "nb", "--quiet"], "unknown option: --quiet"),
        (["b.ipynb", "dir", "t.ipynb", "nb"], "CURRENT 'dir' is a directory, not a notebook file"),
        (["b.ipynb", "o.ipynb", "gone.ipynb", "nb"], "INCOMING 'gone.ipynb' does not exist"),
        (["fifo", "o.ipynb", "t.ipynb", "nb"], "BASE 'fifo' is a FIFO, not a notebook file"),
        (["b.ipynb", "to-fifo", "t.ipynb", "nb"],
         "CURRENT 'to-fifo' is a FIFO, not a notebook file"),
        (["b.ipynb", "o.ipynb", os.devnull, "nb"],
         "INCOMING '%s' is a character device, not a notebook file" % os.devnull),
        (["install", "now"], "unrecognized arguments: now"),
        (["status", "--repo", "nowhere"], "--repo 'nowhere' is not a directory"),
        (["example", "b.ipynb"], "'b.ipynb' is not a directory"),
        (["instal"], "unknown command 'instal'; the commands are %s (a merge takes BASE CURRENT "
                     "INCOMING PATH)" % ", ".join(SUBCOMMANDS)),
        (["statu", "--repo", "."], "unknown command 'statu'; the commands are %s (a merge takes "
                                   "BASE CURRENT INCOMING PATH)" % ", ".join(SUBCOMMANDS)),
        (["b.ipynb", "o.ipynb", "t.ipynb", "nb", "--marker-size=0"],
         "argument --marker-size: --marker-size takes a positive number, not '0'"),
        # Sizes that git never gives (%L is an int): one line, before anything is read.
        (["--marker-size=2147483648", "--", "b.ipynb", "o.ipynb", "t.ipynb", "nb"], TOO_LARGE),
        (["--marker-size=99999999999999999999", "--", "b.ipynb", "o.ipynb", "t.ipynb", "nb"],
         TOO_LARGE),
        (["--marker-size=%s" % ("9" * 5000), "--", "b.ipynb", "o.ipynb", "t.ipynb", "nb"],
         TOO_LARGE),
        (["b.ipynb", "o.ipynb", "t.ipynb", "nb", "--marker-size=2147483648"], TOO_LARGE),
        (["b.ipynb", "o.ipynb", "t.ipynb", "nb", "--ours-label=HEAD"],
         "--ancestor-label, --ours-label and --theirs-label go together"),
    ])
    def test_errors_exit_2_with_a_message(self, tmp_path, env, args, message):
        for name in ("b.ipynb", "o.ipynb", "t.ipynb"):
            (tmp_path / name).write_text("{}")
        (tmp_path / "dir").mkdir()
        if hasattr(os, "mkfifo"):
            os.mkfifo(str(tmp_path / "fifo"))
            os.symlink("fifo", str(tmp_path / "to-fifo"))
        elif "fifo" in args or "to-fifo" in args:
            pytest.skip("no FIFOs here")
        proc = run(args, tmp_path, env)
        assert proc.returncode == 2
        prog = PROG + " install" if args[:1] == ["install"] else PROG
        assert proc.stderr.splitlines()[-1] == "%s: error: %s" % (prog, message)
        if "more than git" in message:
            assert len(proc.stderr.splitlines()) == 1
        assert (tmp_path / "o.ipynb").read_text() == "{}"

    @pytest.mark.parametrize("incoming", ["gone.ipynb", "binary.ipynb"])
    @pytest.mark.parametrize("stderr", ["closed", "broken pipe"])
    def test_a_failure_exits_2_whatever_stderr_is(self, tmp_path, env, stderr, incoming):
        """git acts on the status alone: a stderr closed or read by nobody must not change it."""
        for name in ("b.ipynb", "o.ipynb"):
            (tmp_path / name).write_text(json.dumps(base_notebook()))
        (tmp_path / "binary.ipynb").write_bytes(b'{"cells": "\x00"}')
        command = [sys.executable, "-m", "corvane_git.scripts.merge_driver", "b.ipynb",
                   "o.ipynb", incoming, "nb"]
        if stderr == "closed":
            if os.name == "nt":
                pytest.skip("closing a child's stderr before it starts needs preexec_fn, "
                            "which Windows lacks")
            proc = subprocess.run(command, cwd=str(tmp_path), env=env, stderr=subprocess.DEVNULL,
                                  preexec_fn=lambda: os.close(2), timeout=120)
        else:
            read, write = os.pipe()
            os.close(read)
            try:
                proc = subprocess.run(command, cwd=str(tmp_path), env=env, stderr=write,
                                      timeout=120)
            finally:
                os.close(write)
        assert proc.returncode == 2

    def test_help_explains_the_exit_codes_and_commands(self, tmp_path, env):
        proc = run(["--help"], tmp_path, env)
        assert proc.returncode == 0
        text = " ".join(proc.stdout.split())
        for part in ("BASE CURRENT INCOMING PATH", "0 merged; nothing needs a decision",
                     "1 merged, with conflicts to resolve", "2 failure", '"<<< name" (ours)',
                     "install [--global]", "uninstall", "status", "example [DIR]",
                     "--keep-one-line", "[--one-line]", "Jupyter's indent=1",
                     "{%s} ..." % ",".join(SUBCOMMANDS)):
            assert part in text

    @pytest.mark.parametrize("options, labels", [
        ([], None),
        (["--ancestor-label=base", "--ours-label=HEAD", "--theirs-label=topic x"],
         ("HEAD", "base", "topic x")),
        (["--theirs-label=t", "--marker-size=9", "--ours-label=", "--ancestor-label=a=b"],
         ("", "a=b", "t")),
        (["--ours-label=HEAD"], "not a git invocation"),
        (["--ours-label=a", "--ours-label=b", "--ancestor-label=c", "--theirs-label=d"],
         "not a git invocation"),
    ])
    def test_git_gives_its_conflict_labels(self, monkeypatch, options, labels):
        """git 2.44 and later passes its labels (the branch names) on: they reach the merge as
        (ours, base, theirs), and only where given."""
        from corvane_git.scripts.merge_driver.driver import invocation as command
        invocation = command.git_invocation(options + ["--", "b", "o", "t", "nb"])
        if labels == "not a git invocation":
            assert invocation is None
            return
        assert invocation[6] == labels
        seen = []
        monkeypatch.setattr(driver, "merge", lambda *args, **kwargs: seen.append(kwargs) or
                            driver.Conflicts([], [], []))
        monkeypatch.setattr(command, "not_a_regular_file", lambda name: None)
        monkeypatch.setattr(command.temporary, "remove_left_behind_for", lambda name: None)
        assert command.run_merge(*invocation) == 0
        assert seen[0].get("labels", "none given") == (labels or "none given")

    @pytest.mark.parametrize("platform, preset, written", [
        ("nt", None, "模型 données".encode("utf-8")),
        ("nt", "cp1252:backslashreplace", b"\\u6a21\\u578b donn\xe9es"),
        ("posix", None, b"\\u6a21\\u578b donn\xe9es"),
    ])
    def test_streams_write_utf8_on_windows(self, monkeypatch, platform, preset, written):
        import io
        from corvane_git.scripts.merge_driver import command
        monkeypatch.delenv("PYTHONIOENCODING", raising=False)
        if preset:
            monkeypatch.setenv("PYTHONIOENCODING", preset)
        raw = io.BytesIO()
        stream = io.TextIOWrapper(raw, encoding="cp1252", errors="backslashreplace")
        command.text_streams_in_utf8([stream], platform)
        stream.write("模型 données")
        stream.flush()
        assert raw.getvalue() == written


def console_command():
    """The installed console command (beside the interpreter in a virtual environment, in the
    scripts folder of an installation: Scripts\\ on Windows), or None."""
    name = PROG + (".exe" if os.name == "nt" else "")
    for folder in (os.path.dirname(sys.executable), sysconfig.get_path("scripts")):
        if os.path.exists(os.path.join(folder, name)):
            return os.path.join(folder, name)
    return None


class TestMergeExitCodes:
    @pytest.mark.parametrize("conflicts", [False, True])
    def test_exit_status_and_summary(self, tmp_path, env, conflicts):
        ours, theirs = base_notebook(), base_notebook()
        set_param(theirs, "alpha", 0.2)
        for nb, word in ((ours, "ours"), (theirs, "theirs")) if conflicts else ():
            set_param(nb, "epochs", len(word))
            change(nb, "notes")["source"] = [word + "\n"]
            change(nb, "load", parents=[{"id": word}])["source"] = [word + "\n"]
            change(nb, "plot")["source"] = ["plot(%s)\n" % word]
        sides = ThreeWay(tmp_path, base_notebook(), ours, theirs)
        proc = run(ARGS, tmp_path, env)
        assert (proc.returncode, proc.stderr) == ((1, (
            "corvane-merge-driver: nb.ipynb: the merged notebook holds conflicts to resolve\n"
            "  components in conflict: load\n"
            "  parameters in conflict: epochs\n"
            "  cells with source conflicts: cell 1, cell 5 (plot)\n")) if conflicts else (0, ""))
        assert sides.result()["metadata"]["canvas"]["parameters"][0] == param("alpha", 0.2)

    @pytest.mark.parametrize("module", [True, False], ids=["python -m", "console command"])
    def test_a_long_summary_arrives_whole(self, tmp_path, env, module):
        """The command ends without the interpreter's clean-up: its summary and exit status must
        be out in full all the same."""
        names = ["component_%03d_%s" % (i, "x" * 40) for i in range(300)]
        base, ours, theirs = (notebook(*[cell("c%d" % i, n + suffix, "x = %d\n" % i)
                                         for i, n in enumerate(names)])
                              for suffix in ("", "_ours", "_theirs"))
        ThreeWay(tmp_path, base, ours, theirs)
        if module:
            proc = run(ARGS, tmp_path, env)
        else:
            script = console_command()
            if not script:
                pytest.skip("the package is not installed in this interpreter")
            proc = run([script] + ARGS, tmp_path, env, module=False)
        assert proc.returncode == 1
        listed = proc.stderr.splitlines()[1]
        assert listed.startswith("  components in conflict: ")
        assert listed[len("  components in conflict: "):].split(", ") == [
            n + suffix for n in names for suffix in ("_ours", "_theirs")]
        assert proc.stderr.endswith("\n")

    def test_a_failure_says_how_to_get_their_version(self, tmp_path, env):
        """git missing: even a text merge is out of reach, and git keeps our version unmarked."""
        ours, theirs = base_notebook(), base_notebook()
        change(ours, "notes")["source"] = ["ours\n"]
        change(theirs, "notes")["source"] = ["theirs\n"]
        s = ThreeWay(tmp_path, base_notebook(), ours, theirs)
        env = dict(env, PATH=str(tmp_path / "nothing-here"))
        env.pop("GIT_PYTHON_GIT_EXECUTABLE", None)
        proc = run(["base.ipynb", "ours.ipynb", "theirs.ipynb", "a b.ipynb"], tmp_path, env)
        assert proc.returncode == 2
        assert proc.stderr == (
            "corvane-merge-driver: cannot merge a b.ipynb: the git command was not found "
            "(install git, or name it in GIT_PYTHON_GIT_EXECUTABLE); our version is kept, "
            "without conflict markers: take theirs with git checkout --theirs -- ':/a b.ipynb', "
            "or see it with git show ':3:a b.ipynb'\n")
        assert s.unchanged()

    @pytest.mark.skipif(os.name == "nt", reason="the commands are quoted for git's POSIX shell, "
                                                "not for cmd.exe, which runs shell=True here")
    def test_the_recovery_commands_work_from_a_subdirectory(self, repo):
        theirs, ours = '{"cells": "\x00"}', base_notebook()
        set_param(ours, "alpha", 0.3)
        proc = repo.merge_branches(base_notebook(), ours, theirs, rel="sub/n b.ipynb")
        assert proc.returncode == 1
        line = [l for l in proc.stderr.splitlines() if "our version is kept" in l][0]
        take, show = line.split("take theirs with ")[1].split(", or see it with ")
        sub = repo.path / "sub"
        shown = subprocess.run(show, shell=True, cwd=str(sub), env=repo.env, stdout=subprocess.PIPE)
        assert shown.stdout.decode("utf-8") == theirs
        subprocess.run(take, shell=True, cwd=str(sub), env=repo.env, check=True)
        assert (sub / "n b.ipynb").read_text(encoding="utf-8") == theirs

    @pytest.mark.parametrize("error, outcome", [
        (OSError(28, "No space left on device"), "[Errno 28] No space left on device"),
        (ValueError("Out of range float values are not JSON compliant"),
         "ValueError: Out of range float values are not JSON compliant"),
    ], ids=["machine", "content"])
    def test_a_failing_merge_leaves_our_file_as_it_was(self, tmp_path, error, outcome):
        """A failure of the machine is reported; one of the content falls back to git's merge,
        which starts from our file as it was. The merge itself never writes our file."""
        class Failing:
            @staticmethod
            def merge_notebooks(base, current, incoming, path):
                current["cells"] = None   # the merge may change our notebook's objects
                raise error

        ours = base_notebook()
        set_param(ours, "alpha", 0.3)
        s = ThreeWay(tmp_path, base_notebook(), ours, base_notebook())
        paths = [str(tmp_path / (n + ".ipynb")) for n in ("base", "ours", "theirs")]
        if isinstance(error, OSError):
            with pytest.raises(driver.MergeFailure) as exc:
                driver.merge(*paths, path="nb.ipynb", engine=Failing)
            assert str(exc.value) == "OSError: " + outcome
        else:
            result = driver.merge(*paths, path="nb.ipynb", engine=Failing)
            assert (result.reason, bool(result)) == (outcome, False)
        assert s.unchanged()


def edited(nb, position, source):
    nb["cells"][position]["source"] = source
    return nb


TEXT = "corvane-merge-driver: nb.ipynb: merged as text by git merge-file, not cell by cell "
ONE_CONFLICT = "; 1 conflict to resolve between the <<<<<<< and >>>>>>> lines"
INVALID = "<not JSON>"
NO_LAYER = '(our version: no top-level "metadata" -> "canvas" map)'
# Plain cells, but their notebook has the layer's parameters: neither merge takes it.
SAME_LINES = dict(base=plain(base_notebook()), ours=edited(plain(base_notebook()), 1, ["ours\n"]),
                  theirs=layered_top(edited(plain(base_notebook()), 1, ["theirs\n"])))


class TestMergedAsText:
    """Files that the merge cannot take are merged as git merges them without the driver: the
    bytes of git merge-file, exit 0 only when that is clean and JSON, one line saying why."""

    @pytest.mark.parametrize("sides, options, status, line", [
        (dict(base=plain(base_notebook()), ours=edited(plain(base_notebook()), 1, ["numpy\n"]),
              theirs=layered_top(edited(plain(base_notebook()), 3, ["plot()\n"]))), [], 0,
         NO_LAYER),
        (SAME_LINES, [], 1, NO_LAYER + ONE_CONFLICT),
        (SAME_LINES, ["--marker-size=10"], 1,
         NO_LAYER + ONE_CONFLICT.replace("<" * 7, "<" * 10).replace(">" * 7, ">" * 10)),
        (SAME_LINES, ["--marker-size=20000000"], 1,
         NO_LAYER + "; 1 conflict to resolve between the marker lines of 20000000 '<' and of "
         "20000000 '>'"),
        # A clean text merge whose result is not JSON: ours lost its last brace.
        (dict(ours=json.dumps(base_notebook(), indent=1)[:-1] + "\n"), [], 1,
         "(our version is not valid JSON (Expecting ',' delimiter: line 103 column 1 (char 1524)))"
         + INVALID),
    ], ids=["mixed, apart", "mixed, same lines", "marker size", "long markers", "not JSON after"])
    def test_exit_status_and_bytes(self, tmp_path, env, sides, options, status, line):
        files = dict(base=base_notebook(), ours=base_notebook(), theirs=base_notebook())
        files["theirs"]["cells"][0]["source"] = ["changed\n"]
        files.update(sides)
        s = ThreeWay(tmp_path, **files)
        marker_size = int(options[0].split("=")[1]) if options else 7
        expected = git_merge_file(tmp_path, marker_size)[1]
        proc = run(options + ARGS, tmp_path, env)
        if line.endswith(INVALID):
            line = line.replace(INVALID, "; the merged text is not valid JSON (%s): repair it "
                                         "before git add" % json_error(expected))
        assert (proc.returncode, proc.stderr) == (status, TEXT + line + "\n")
        assert (tmp_path / "ours.ipynb").read_bytes() == expected
        if "conflict" in line:
            assert ("\n" + "<" * marker_size + " nb.ipynb-current\n").encode() in expected
        assert s.unchanged(but="ours")

    def test_binary_content_fails(self, tmp_path, env):
        s = ThreeWay(tmp_path, base_notebook(), base_notebook(), b'{"cells": "\x00"}')
        proc = run(ARGS, tmp_path, env)
        assert proc.returncode == 2
        assert proc.stderr == (
            "corvane-merge-driver: cannot merge nb.ipynb: their version is not valid JSON "
            "(Invalid control character at: line 1 column 12 (char 11)), and git merge-file cannot "
            "merge it as text either (Cannot merge binary files: their version); our version is "
            "kept, without conflict markers: take theirs with git checkout --theirs -- :/nb.ipynb, "
            "or see it with git show :3:nb.ipynb\n")
        assert s.unchanged()


def json_error(data):
    try:
        json.loads(data.decode("utf-8"))
    except ValueError as exc:
        return "%s: %s" % (type(exc).__name__, exc)
    raise AssertionError("valid JSON")


def nb_with(names=(), params=(), sources=()):
    """A notebook whose cells have these names (component id = position) and these sources."""
    cells = [cell(str(i), name) for i, name in enumerate(names)]
    for i, source in sources:
        cells[i]["source"] = source
    return notebook(*cells, parameters=[{"name": p} for p in params])


CONFLICT = ["a\n", "<<<<<<< nb-current\n", "b\n", "=======\n", "c\n", ">>>>>>> nb-incoming\n"]


class TestFindConflicts:
    @pytest.mark.parametrize("ours, merged, expected", [
        (nb_with(["a", "b"]), nb_with(["a", "b", "c"]), ([], [], [])),
        (nb_with(["a"]), nb_with(["<<< a", ">>> a"]), (["a"], [], [])),
        # Marks our side had committed already are not new conflicts; one more of them is.
        (nb_with(["<<< a", ">>> a"]), nb_with(["<<< a", ">>> a"]), ([], [], [])),
        (nb_with(["<<< a", ">>> a"]), nb_with(["<<< a", ">>> a", ">>> a"]), (["a"], [], [])),
        (nb_with(["x"]), nb_with(["<<< >>> x"]), (["x"], [], [])),
        (nb_with(params=["p", "q"]), nb_with(params=["p", "<<< q", ">>> q"]), ([], ["q"], [])),
        (nb_with(params=[">>> q"]), nb_with(params=[">>> q"]), ([], [], [])),
        (nb_with([None, "b"]), nb_with([None, "b"], sources=[(0, CONFLICT), (1, CONFLICT)]),
         ([], [], [(1, None), (2, "b")])),
        (nb_with([None], sources=[(0, CONFLICT)]), nb_with([None], sources=[(0, CONFLICT)]),
         ([], [], [])),
        # A marker line that the merge brought without its block is left to resolve as well.
        (nb_with([None]), nb_with([None], sources=[(0, CONFLICT[:3])]), ([], [], [(1, None)])),
    ])
    def test_only_what_this_merge_added_counts(self, ours, merged, expected):
        found = driver.find_conflicts(ours, merged)
        assert (found.components, found.parameters, found.source_cells) == expected
        assert bool(found) == any(expected)


class TestSetup:
    @pytest.fixture
    def bare(self, make_repo):
        return make_repo("my repo é")

    def read_attributes(self, repo):
        return (repo.path / ".gitattributes").read_text()

    @pytest.mark.skipif(os.name == "nt", reason="Windows file names hold no control characters")
    @pytest.mark.parametrize("command", ["install", "status", "uninstall"])
    def test_a_hostile_repository_path_is_printed_escaped(self, make_repo, command):
        repo = make_repo("r\x1b[2J\n corvane-merge-driver: all good",
                         install=None if command == "install" else ["--no-hook"])
        out = repo.driver(command, check=False).stdout
        assert "\\x1b[2J\\n corvane-merge-driver: all good" in out
        assert not any(c in out.replace("\n", "") for c in "\x1b\r")

    def test_install_writes_config_and_attributes(self, repo):
        # Quoted for sh where the path needs it (a Windows path always: its backslashes).
        # The installed package runs, not one from the work tree; where the interpreter is
        # gone, git merge-file merges.
        python = shlex.quote(os.path.abspath(sys.executable))
        assert repo.git("config", "merge.%s.driver" % DRIVER).stdout.strip() == (
            "if command -v {0} >/dev/null 2>&1; then exec {0} -c {1} --marker-size=%L -- %O %A "
            "%B %P; else echo {2}%P' merged as text by git merge-file' >&2; git merge-file "
            "--marker-size=%L -L %P-current -L %P-base -L %P-incoming -- %A %O %B; fi".format(
                python, shlex.quote(git_setup.BOOTSTRAP), shlex.quote(
                    "corvane-merge-driver: the interpreter of the driver line is gone, run "
                    "install again: ")))
        assert repo.git("check-attr", "merge", "--", "x/y.ipynb").stdout == (
            "x/y.ipynb: merge: %s\n" % DRIVER)
        assert repo.git("check-attr", "merge", "--", "y.py").stdout == "y.py: merge: unspecified\n"

    @SHELL_SCRIPT_PROGRAMS  # the Windows runs keep the interpreter itself in a folder with a space
    def test_interpreter_path_with_spaces(self, repo, tmp_path):
        # A launcher in a directory with spaces stands for a virtual environment there.
        launcher = tmp_path / "my envs" / "py thon"
        launcher.parent.mkdir()
        launcher.write_text('#!/bin/sh\nexec "%s" "$@"\n' % sys.executable)
        launcher.chmod(launcher.stat().st_mode | stat.S_IEXEC)
        repo.git("config", "merge.%s.driver" % DRIVER, git_setup.driver_command(str(launcher)))
        ours, theirs = base_notebook(), base_notebook()
        set_param(ours, "epochs", 20)
        set_param(theirs, "epochs", 30)
        proc = repo.merge_branches(base_notebook(), ours, theirs)
        assert proc.returncode == 1
        assert "parameters in conflict: epochs" in proc.stderr

    def test_uninstall_removes_only_what_install_added(self, bare):
        (bare.path / ".gitattributes").write_text("*.png binary\n")
        bare.git("config", "merge.corvane-notebook.recursive", "binary")
        bare.driver("install")
        with open(str(bare.path / ".gitattributes"), "a") as f:
            f.write("*.csv text\n")
        out = bare.driver("uninstall").stdout
        assert self.read_attributes(bare) == "*.png binary\n*.csv text\n"
        assert bare.git("config", "--get-regexp", "^(merge|diff|mergetool)").stdout == (
            "merge.corvane-notebook.recursive binary\n")
        assert "removed merge.corvane-notebook.name" in out
        assert bare.git("check-attr", "merge", "--", "nb.ipynb").stdout == (
            "nb.ipynb: merge: unspecified\n")
        assert bare.driver("status", check=False).returncode == 1
        assert bare.driver("uninstall").stdout == (
            "nothing to change: the driver is not set up here\n")

    def test_uninstall_keeps_a_line_written_by_hand(self, bare):
        (bare.path / ".gitattributes").write_text(git_setup.ATTRIBUTE_LINE + "\n")
        bare.driver("install")
        assert self.read_attributes(bare) == "%s\n%s\n%s\n" % (
            git_setup.ATTRIBUTE_LINE, git_setup.MARKER_LINE, git_setup.DIFF_ATTRIBUTE_LINE)
        bare.driver("uninstall")
        assert self.read_attributes(bare) == git_setup.ATTRIBUTE_LINE + "\n"

    def test_status(self, bare):
        before = bare.driver("status", check=False)
        bare.driver("install")
        after = bare.driver("status", check=False)
        assert before.returncode == 1
        assert before.stdout.splitlines()[-1] == "notebooks do not merge through the driver"
        assert after.returncode == 0
        assert ["merge.corvane-notebook.driver"] + git_setup.driver_command().split() in [
            line.split() for line in after.stdout.splitlines()]
        assert "line 2: *.ipynb merge=corvane-notebook" in after.stdout
        assert after.stdout.splitlines()[-4:] == [
            "*.ipynb merge attribute: corvane-notebook",
            "plain Jupyter notebooks (no component layer on any side) merge cell by cell, "
            "paired by cell id or by content",
            "notebooks with the component layer on some sides only, and files that are "
            "not notebooks, merge as text by git merge-file, as without the driver",
            "notebooks merge through the driver"]

    def test_status_notices_a_vanished_interpreter(self, bare):
        bare.driver("install")
        bare.git("config", "merge.corvane-notebook.driver", "'/gone/py thon' -m x %O %A %B %P")
        proc = bare.driver("status", check=False)
        assert proc.returncode == 1
        assert ("the driver command names an interpreter that does not exist: /gone/py thon"
                in proc.stdout.splitlines())

    OURS = "".join(git_setup.MARKER_LINE + "\n" + line + "\n" for line in (
        git_setup.ATTRIBUTE_LINE, git_setup.DIFF_ATTRIBUTE_LINE)).encode("ascii")

    @pytest.mark.parametrize("before, installed", [
        (None, OURS),
        (b"*.png binary\r\n*.csv text\r\n", b"*.png binary\r\n*.csv text\r\n" + OURS.replace(
            b"\n", b"\r\n")),
        (b"*.a diff\x0cmore\n*.b text\xe2\x80\xa8x\n", None),
        (b"*.txt text # caf\xe9, not UTF-8\n\n", None),
        (b"*.png binary", b"*.png binary\n" + OURS),
        (b"*.png binary\r\n*.csv text", b"*.png binary\r\n*.csv text\r\n" + OURS.replace(
            b"\n", b"\r\n")),
    ], ids=["no file", "CRLF", "form feed, line separator", "not UTF-8", "no last line end",
            "CRLF, no last line end"])
    def test_attributes_are_bytes(self, bare, before, installed):
        """install adds and uninstall removes our two lines; every other byte stays. A second
        install changes nothing."""
        path = bare.path / ".gitattributes"
        if before is not None:
            path.write_bytes(before)
        assert "set merge.corvane-notebook.driver" in bare.driver("install").stdout
        config = (bare.path / ".git" / "config").read_text()
        assert bare.driver("install").stdout == "nothing to change: the driver is already set up\n"
        assert (bare.path / ".git" / "config").read_text() == config
        assert path.read_bytes() == (installed or before + self.OURS)
        status = bare.driver("status")
        assert "line %d: %s" % (len((installed or before + self.OURS).split(b"\n")) - 3,
                                git_setup.ATTRIBUTE_LINE) in status.stdout
        bare.driver("uninstall")
        if before is None:
            assert not path.exists()
        elif before.endswith(b"\n"):
            assert path.read_bytes() == before
        else:   # with the line end that install gave the last line
            assert path.read_bytes() == before + (b"\r\n" if b"\r\n" in before else b"\n")

    @pytest.mark.parametrize("command", ["install", "uninstall"])
    def test_config_and_attribute_both_or_neither(self, bare, monkeypatch, command):
        if command == "uninstall":
            bare.driver("install", "--no-hook")
        def settings():   # ours, in any order (a setting taken back goes to its section's end)
            return sorted(bare.git("config", "--get-regexp", "^(merge|diff)", check=False)
                          .stdout.splitlines())

        config, attributes = settings(), (bare.path / ".gitattributes").exists()

        def cannot(path, data):
            raise PermissionError(13, "Permission denied")

        monkeypatch.setattr(git_setup, "_write_bytes", cannot)
        scope = git_setup.Scope(False, str(bare.path))
        with pytest.raises(git_setup.SetupError) as raised:
            getattr(git_setup, command)(scope)
        assert str(raised.value).endswith(": Permission denied; nothing was changed")
        assert settings() == config
        assert (bare.path / ".gitattributes").exists() == attributes
        if command == "install":
            # Through the command line: one line, exit status 2, no traceback, nothing set.
            (bare.path / ".gitattributes").mkdir()
            proc = bare.driver("install", check=False)
            assert proc.returncode == 2 and len(proc.stderr.splitlines()) == 1
            assert proc.stderr.startswith("%s: error: cannot read %s: " % (
                PROG, bare.path / ".gitattributes"))
            assert bare.git("config", "--get-regexp", "^merge", check=False).stdout == ""

    @pytest.mark.parametrize("version, labels", [
        ((2, 39, 5), False), ((2, 43, 7), False), ((2, 44, 0), True), ((3, 0), True), ((), False)])
    def test_git_labels_from_2_44(self, version, labels):
        line = git_setup.driver_command(git_version=version)
        assert ("--ancestor-label=%S --ours-label=%X --theirs-label=%Y -- %O %A %B %P" in line) \
            == labels
        assert line.endswith("git merge-file --marker-size=%%L %s -- %%A %%O %%B; fi" % (
            "-L %X -L %S -L %Y" if labels else "-L %P-current -L %P-base -L %P-incoming"))

    @pytest.mark.parametrize("driver_line, hook, lines", [
        (None, "install", ["pre-commit hook: {hook} (refuses commits of notebooks "
                           "with conflicts)"]),
        (None, "gone hook", ["the pre-commit hook names an interpreter that does not exist: "
                             "{gone}: it refuses commits with notebooks; run install again"]),
        ("diff.corvane-notebook.command={python} -m corvane_git.scripts.merge_driver diff "
         "--git", "--no-hook", [
             "unsafe: diff.corvane-notebook.command (repository config) runs the package with "
             "-m, which imports it from the top of the work tree when a corvane_git folder is "
             "there: run install again"]),
        ("mergetool.corvane-notebook.cmd={gone} -c x mergetool", "--no-hook", [
            "mergetool.corvane-notebook.cmd (repository config) names an interpreter that does "
            "not exist: {gone}: git mergetool fails; run install again"]),
        (None, "--no-hook", ["pre-commit hook: none (install writes it; it refuses commits of "
                             "notebooks with conflicts)"]),
        ("{python} -m corvane_git.scripts.merge_driver --marker-size=%L -- %O %A %B %P",
         "--no-hook", ["unsafe: the driver command runs the package with -m, which imports it "
                       "from the top of the work tree being merged when a corvane_git folder is "
                       "there: run install again"]),
        (None, "old hook", ["unsafe: the pre-commit hook runs the package with -m, which "
                            "imports it from the top of the work tree when a corvane_git "
                            "folder is there: run install again"]),
    ])
    def test_status_names_the_hook_and_old_lines(self, bare, driver_line, hook, lines):
        bare.driver("install", *([hook] if hook.startswith("--") else []))
        hooks = bare.path / ".git" / "hooks"
        gone = os.path.abspath(str(bare.path / "gone" / "python"))
        if hook == "old hook":
            text = (hooks / "pre-commit").read_text()
            (hooks / "pre-commit").write_text(text.replace(
                "-c " + shlex.quote(git_setup.BOOTSTRAP), git_setup.UNSAFE_RUN).replace(
                hook_module.MARKER_LINE, hook_module.OLD_MARKER_LINES[0]))
        if hook == "gone hook":
            (hooks / "pre-commit").write_text(hook_module.hook_text(gone), encoding="utf-8")
        if driver_line:
            key, line = ["merge.corvane-notebook.driver", driver_line] if (
                driver_line.startswith("{")) else driver_line.split("=", 1)
            bare.git("config", key, line.format(
                python=shlex.quote(sys.executable), gone=shlex.quote(gone)))
        # The hook's path as git names the hooks directory ("<top>/.git/hooks" on Windows too).
        out = [re.sub(r"^(pre-commit hook: )(.*)( \(refuses)", lambda m: m.group(1) +
                      os.path.normpath(m.group(2)) + m.group(3), l.strip())
               for l in bare.driver("status").stdout.splitlines()]
        for line in lines:
            assert line.format(hook=os.path.normpath(str(hooks / "pre-commit")),
                               gone=gone) in out, out
        if driver_line:   # install brings the line up to date
            bare.driver("install", "--no-hook")
            assert "unsafe" not in bare.driver("status").stdout
            assert bare.git("config", key).stdout.strip() == dict(
                git_setup.diff_settings() + git_setup.mergetool_settings()).get(
                key, git_setup.driver_command())

    @pytest.mark.parametrize("hooks_path, args, written", [
        (".githooks", [], False),
        (".githooks", ["--pre-commit"], True),
        ("../shared hooks", [], True),
    ])
    def test_a_hooks_folder_in_the_work_tree_gets_no_hook_unasked(self, bare, hooks_path, args,
                                                                  written):
        hooks = bare.path / hooks_path
        hooks.mkdir()
        (hooks / "pre-commit").write_text("#!/bin/sh\nexit 0\n")
        bare.git("config", "core.hooksPath", hooks_path)
        out = bare.driver("install", *args).stdout
        assert (hook_module.MARKER_LINE in (hooks / "pre-commit").read_text()) == written
        assert sorted(os.listdir(str(hooks))) == ["pre-commit"] + (
            [hook_module.KEPT] if written else [])
        assert ("left out the pre-commit hook: the hooks directory" in out) != written

    def test_install_outside_a_repository(self, tmp_path, git_env):
        proc = run(["install"], tmp_path, git_env)
        assert proc.returncode == 2
        assert proc.stderr == (
            "corvane-merge-driver: error: %s is not inside a git repository (use --global to "
            "set up the driver for all repositories)\n" % tmp_path)

    @pytest.mark.parametrize("attributes_file, expected", [
        (None, ".config/git/attributes"),
        ("~/my attributes", "my attributes"),
    ])
    def test_global_setup_reaches_every_repository(self, tmp_path, git_env, make_repo, attributes_file,
                                                   expected):
        home = tmp_path / "home"
        if attributes_file:
            run(["git", "config", "--global", "core.attributesFile", attributes_file], tmp_path,
                git_env, module=False)
        proc = run(["install", "--global"], tmp_path, git_env)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.endswith("\nno pre-commit hook: a hook is one repository's; install "
                                    "in a repository writes it there\n")
        assert (home / expected).read_text() == "%s\n%s\n%s\n%s\n" % (
            git_setup.MARKER_LINE, git_setup.ATTRIBUTE_LINE, git_setup.MARKER_LINE,
            git_setup.DIFF_ATTRIBUTE_LINE)
        repo = make_repo("any")
        assert repo.git("check-attr", "merge", "--", "a.ipynb").stdout == (
            "a.ipynb: merge: corvane-notebook\n")
        assert repo.driver("status").returncode == 0
        assert run(["uninstall", "--global"], tmp_path, git_env).returncode == 0
        assert not (home / expected).exists()
        assert repo.git("config", "--global", "--get-regexp", "^(merge|diff)", check=False).stdout == ""


class TestExample:
    def test_example_merges_the_bundled_notebooks(self, tmp_path, env):
        target = tmp_path / "ex"
        proc = run(["example", str(target)], tmp_path, env)
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.splitlines()
        for line in ("  components in conflict: train model",
                     "  parameters in conflict: epochs",
                     "  cells with source conflicts: cell 1",
                     "  [4] <<< train model  <code>    <- conflict: our version",
                     "  [5] >>> train model  <code>    <- conflict: their version",
                     "      ! <<<<<<< notebook.ipynb-current",
                     "      comment: author=ana; text=the file has a header row; check the "
                     "delimiter",
                     "exit status 1: merged with conflicts to resolve: git would stop here and "
                     "leave this notebook in the working tree"):
            assert line in lines
        assert sorted(os.listdir(str(target))) == ["base.ipynb", "merged.ipynb", "ours.ipynb",
                                                   "theirs.ipynb"]

    def test_default_directory_is_new_and_named(self, tmp_path, env):
        tmp, cwd = tmp_path / "tmp", tmp_path / "cwd"
        tmp.mkdir()
        cwd.mkdir()
        proc = run(["example"], cwd, dict(env, TMPDIR=str(tmp)))
        made = os.listdir(str(tmp))
        assert proc.returncode == 0 and len(made) == 1 and made[0].startswith("corvane-example-")
        assert proc.stdout.startswith("In %s," % (tmp / made[0]))
        assert proc.stdout.splitlines()[-1] == (
            "The example's files are in %s; nothing else was written." % (tmp / made[0]))
        assert sorted(os.listdir(str(tmp / made[0]))) == [
            "base.ipynb", "merged.ipynb", "ours.ipynb", "theirs.ipynb"]
        assert os.listdir(str(cwd)) == []

    def test_files_in_the_directory_are_not_overwritten(self, tmp_path, env):
        (tmp_path / "ours.ipynb").write_text("mine")
        proc = run(["example", str(tmp_path)], tmp_path, env)
        assert (proc.returncode, proc.stdout) == (2, "")
        assert proc.stderr == (
            "corvane-merge-driver: error: %s already holds ours.ipynb: nothing was overwritten "
            "(name a new or empty directory)\n" % tmp_path)
        assert os.listdir(str(tmp_path)) == ["ours.ipynb"]
        assert (tmp_path / "ours.ipynb").read_text() == "mine"

    def test_a_closed_pipe_ends_it_quietly(self, tmp_path, env):
        """`example | head -3`: the reader is gone before the output is written."""
        proc = subprocess.Popen(
            [sys.executable, "-m", "corvane_git.scripts.merge_driver", "example",
             str(tmp_path / "ex")], cwd=str(tmp_path), env=env, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        proc.stdout.close()
        stderr = proc.stderr.read().decode()
        assert proc.wait(timeout=120) == 1
        assert stderr == ""
