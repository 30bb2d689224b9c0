"""Merge driver for notebooks: the extension `merge_ipynb` and the command git runs."""
