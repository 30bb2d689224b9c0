"""The extension's merge as both notebook merges use it: loading merge_core, and telling
whether one of its failures comes from what the files hold or from the machine."""

import warnings

from corvane_git.scripts.merge_driver.conflicts.report import MergeFailure
from corvane_git.scripts.merge_driver.git_wiring import runner


def load_engine():
    """Import merge_core, the merge of merge_files on parsed notebooks; a load problem becomes a
    MergeFailure naming its cause."""
    try:
        with warnings.catch_warnings():
            # A build made for another host version warns at load; git would show the
            # warning on every merge, and the merge does not depend on it.
            warnings.filterwarnings(
                "ignore", message="compiletime version", category=RuntimeWarning
            )
            from corvane_git.scripts.merge_driver import merge_core
    except ImportError as exc:
        if runner.is_git_missing(exc):
            raise MergeFailure(runner.GIT_MISSING) from exc
        raise MergeFailure("the extension merge_core cannot be loaded (%s)" % exc) from exc
    return merge_core


def from_content(exc):
    """Whether a failure of merge_files comes from what the three files hold (their shape:
    JSON, UTF-8, the component layer, value types) rather than from the machine (a file that
    cannot be read or written, git missing or failing, memory)."""
    if isinstance(exc, (OSError, MemoryError)) or runner.is_git_missing(exc):
        return False
    if runner.is_git_failure(exc):
        # A source that git takes for binary (it holds a NUL character) is content; the
        # notebook file itself holds it escaped, as text.
        return exc.status == 255 and "binary" in str(exc.stderr).lower()
    return isinstance(exc, Exception)
