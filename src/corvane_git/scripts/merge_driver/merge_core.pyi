"""Type stub of the extension module merge_core: the merge of merge_ipynb.merge_files on
notebooks already parsed, the result kept in memory (the driver command's entry)."""
from typing import Any, Dict

def merge_notebooks(
    base: Dict[str, Any],
    current: Dict[str, Any],
    incoming: Dict[str, Any],
    file_path: str,
) -> Dict[str, Any]:
    """Merge three notebooks as merge_files does, from their parsed JSON; return the merged notebook.

    The current notebook's objects become part of the result and are changed by the merge."""
