"""The merge of plain notebooks (merge), the extension's source merge as both merges load it
(engine), and the sequence helpers (sequences).  Above notebooks/, conflicts/ and the git
runner; below the driver."""
