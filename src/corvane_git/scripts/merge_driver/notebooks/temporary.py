"""Temporary files and directories of ours: names that tell which process made them, and the
removal of those that a killed run left behind.

Every temporary name the merge makes carries its maker's tag, "PID-START-NS-BOOT": the process
id, the process's start time (Linux: clock ticks after boot), its pid namespace and the boot
id. A name is left by a dead run when the tag's boot and namespace are this process's own and
no process with that id and start time is alive here (so a reused process id cannot pass for
the maker). Where the system cannot prove that (no /proc, or a /proc of another pid namespace
than this process's: the tag is "PID-0-0-0"), nothing is ever removed. Removal never leaves the
file system of the directory it looks at (a mount point on or inside a leftover stays with what
it holds) and never follows a symbolic link.

The merge makes, with these prefixes (the tag is always the extension's, process_tag here):

- in the temporary directory: "corvane-src-TAG-XXXXXX" directories (one source merge each)
  and "corvane-base-TAG-XXXXXXXX.ipynb" files (the base of a notebook that both sides added);
- beside the notebook that is written: ".merge_ipynb-TAG-XXXXXXXX.tmp" and
  ".corvane-merge-TAG-XXXXXXXX.tmp" files (the merged notebook before it replaces ours).
"""

import errno
import os
import re
import stat
import tempfile

SOURCE_MERGE, EMPTY_BASE = "corvane-src-", "corvane-base-"
MERGED, LAID_OUT = ".merge_ipynb-", ".corvane-merge-"

# What a killed run can leave in each place: the name's prefix and suffix around the tag and a
# random part, and whether it is a directory.
IN_TEMP_DIR = ((SOURCE_MERGE, "", True), (EMPTY_BASE, ".ipynb", False))
BESIDE_NOTEBOOK = ((MERGED, ".tmp", False), (LAID_OUT, ".tmp", False))

_TAG = r"(?P<pid>[0-9]+)-(?P<start>[0-9]+)-(?P<ns>[0-9]+)-(?P<boot>[0-9a-f]+)-[A-Za-z0-9_]+"
_PATTERNS = {
    (prefix, suffix): re.compile(re.escape(prefix) + _TAG + re.escape(suffix) + r"\Z")
    for prefix, suffix, _ in IN_TEMP_DIR + BESIDE_NOTEBOOK
}


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def _start_time(pid):
    """The start time of process `pid` from /proc, None when there is no such process alive
    (a zombie has ended), "unknown" when /proc cannot say."""
    data = _read("/proc/%d/stat" % pid)
    if data is None:
        return (
            None
            if os.path.isdir("/proc/self") and not os.path.exists("/proc/%d" % pid)
            else "unknown"
        )
    try:
        fields = data[data.rindex(b")") + 2 :].split()
        state, start = fields[0], int(fields[19])
    except (ValueError, IndexError):
        return "unknown"
    return None if state in (b"Z", b"X") else start


def _host():
    """(namespace, boot) of this process, or None where they cannot be read or /proc is not
    this process's pid namespace's (/proc/self is then another pid than getpid())."""
    try:
        if os.readlink("/proc/self") != str(os.getpid()):
            return None
        ns = re.match(r"pid:\[([0-9]+)\]\Z", os.readlink("/proc/self/ns/pid"))
    except OSError:
        ns = None
    boot = _read("/proc/sys/kernel/random/boot_id")
    if not ns or not boot:
        return None
    boot = boot.decode("ascii", "replace").strip().replace("-", "")
    return (ns.group(1), boot) if re.match(r"[0-9a-f]+\Z", boot) else None


def process_tag():
    """This process's tag, the part of our temporary names after the prefix: the extension's
    own (merge_core.process_tag), so that the merge and the driver name their files alike."""
    from corvane_git.scripts.merge_driver import merge_core

    return merge_core.process_tag()


def mkstemp(prefix, suffix, directory=None):
    """tempfile.mkstemp with a name that carries this process's tag."""
    return tempfile.mkstemp(prefix=prefix + process_tag() + "-", suffix=suffix, dir=directory)


def _maker_is_gone(match, host):
    if host is None or (match.group("ns"), match.group("boot")) != host:
        return False
    start = _start_time(int(match.group("pid")))
    return start is None or (isinstance(start, int) and start != int(match.group("start")))


def _remove_tree(name, parent_fd, device):
    """Remove the directory `name` in the directory open at `parent_fd` with everything in it,
    walking by descriptors: links are removed, not followed; a directory on another device than
    `device` fails the removal (OSError), and what it holds stays."""
    fd = os.open(
        name,
        os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0),
        dir_fd=parent_fd,
    )
    try:
        if os.fstat(fd).st_dev != device:
            raise OSError(errno.EXDEV, "on another file system", name)
        with os.scandir(fd) as listing:
            entries = list(listing)
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                _remove_tree(entry.name, fd, device)
            else:
                os.unlink(entry.name, dir_fd=fd)
    finally:
        os.close(fd)
    os.rmdir(name, dir_fd=parent_fd)


def remove_left_behind(directory, kinds):
    """Remove what killed runs left in `directory`: entries named as one of `kinds` (one of
    IN_TEMP_DIR and BESIDE_NOTEBOOK) that this user owns and whose maker is gone.
    One listing of `directory`; anything that cannot be looked at or removed stays."""
    host = _host()
    if host is None:
        return
    prefixes = tuple(prefix for prefix, _, _ in kinds)
    try:
        dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return
    try:
        device = os.fstat(dir_fd).st_dev
        with os.scandir(dir_fd) as listing:
            entries = [entry for entry in listing if entry.name.startswith(prefixes)]
        for entry in entries:
            _remove_if_left_behind(entry, kinds, dir_fd, device, host)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def _remove_if_left_behind(entry, kinds, dir_fd, device, host):
    for prefix, suffix, is_directory in kinds:  # noqa: B007 (the match found is used below)
        match = _PATTERNS[prefix, suffix].match(entry.name)
        if match:
            break
    else:
        return
    try:
        info = entry.stat(follow_symlinks=False)
    except OSError:
        return
    kind_ok = stat.S_ISDIR(info.st_mode) if is_directory else stat.S_ISREG(info.st_mode)
    if (
        not kind_ok
        or info.st_uid != os.geteuid()
        or info.st_dev != device
        or not _maker_is_gone(match, host)
    ):
        return
    try:
        if is_directory:
            _remove_tree(entry.name, dir_fd, device)
        else:
            os.unlink(entry.name, dir_fd=dir_fd)
    except OSError:
        pass


def remove_left_behind_for(current):
    """The cleanup before a merge of `current`: the temporary directory and the notebook's."""
    if not hasattr(os, "geteuid"):
        return
    remove_left_behind(tempfile.gettempdir(), IN_TEMP_DIR)
    target = os.path.realpath(current)
    remove_left_behind(os.path.dirname(target) or os.curdir, BESIDE_NOTEBOOK)
