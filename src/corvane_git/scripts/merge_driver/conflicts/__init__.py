"""What a conflict is and how it is finished: the one grammar of marks and marker lines
(markers), the report of a merge (report), and the conflicts, resolve and check commands
(resolve).  Above notebooks/ and the git runner; below the merges."""
