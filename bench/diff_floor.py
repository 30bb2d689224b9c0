"""The whole-process floor of a notebook diff: a fresh interpreter reads both notebooks with
json.load, and nothing more.

usage: python bench/diff_floor.py OLD NEW
"""
import json
import sys

for path in sys.argv[1:3]:
    with open(path, encoding="utf-8") as f:
        json.load(f)
