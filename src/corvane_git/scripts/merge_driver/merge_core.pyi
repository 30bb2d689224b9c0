"""Type stub of the extension module merge_core: the merge of merge_ipynb.merge_files on
notebooks already parsed, the result kept in memory (the driver command's entry), the source
merges of plain notebooks, and the one atomic replace and temporary-name tag."""

from typing import Any, Dict, List, Optional, Tuple

def merge_notebooks(
    base: Dict[str, Any],
    current: Dict[str, Any],
    incoming: Dict[str, Any],
    file_path: str,
    labels: Optional[Tuple[str, str, str]] = None,
    source_conflicts: Optional[List[List[str]]] = None,
) -> Dict[str, Any]:
    """Merge three notebooks as merge_files does, from their parsed JSON; return the merged
    notebook.

    The current notebook's objects become part of the result and are changed by the merge.
    labels, a tuple (ours, base, theirs), label the conflict blocks of the source merges;
    source_conflicts, a list, gets each merged source list in which git found conflicts."""

def merge_sources(
    sources: List[Tuple[List[str], List[str], List[str]]],
    labels: Optional[Tuple[str, str, str]] = None,
) -> List[Tuple[List[str], int]]:
    """Merge the sources of cells as _merge_source does; return [(lines, conflicts)].

    sources: a list of (current, base, incoming) line lists; labels: None or a tuple
    (ours, base, theirs) for the conflict blocks; conflicts: the number git reported."""

def replace_file(path: str, data: bytes) -> None:
    """Replace the file at path (a symbolic link: its target) by the bytes data in one step.

    The bytes go to a temporary file beside it first, which then takes its place with its
    permission bits (a read-only file too); a failure leaves the file as it was."""

def process_tag() -> str:
    """This process's tag, the part of the merge's temporary names after their prefix."""
