"""The pages: the cell-by-cell diff (notebook_diff), the HTML view (view) and the merge tool
(mergetool).  Top layer, beside the command line."""
