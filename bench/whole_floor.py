"""The whole-process floor: what any merge driver started by git must do at the least. A fresh
interpreter reads the three notebooks with json.load and writes one of them with json.dump in
the layout the driver writes for the case (Jupyter's: indent 1, raw UTF-8, a final newline).

usage: python -m whole_floor LAYOUT OUT BASE CURRENT INCOMING
LAYOUT is JSON: {"dump": json.dump's keyword arguments, "trail": text after the document,
"newline": the line ending}. bench/run.py copies this file next to its work folders and starts
it with `-m`, as git starts the driver, so that both start up the same way.
"""
import json
import sys


def main(argv):
    layout = json.loads(argv[0])
    loaded = []
    for path in argv[2:5]:
        with open(path, encoding="utf-8") as f:
            loaded.append(json.load(f))
    with open(argv[1], "w", encoding="utf-8", newline=layout["newline"]) as f:
        json.dump(loaded[1], f, **layout["dump"])
        f.write(layout["trail"])


if __name__ == "__main__":
    main(sys.argv[1:])
