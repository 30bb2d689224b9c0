"""Time to open the diff page and the merge tool: the page written (or served) and rendered
in headless Chromium, for each corpus notebook ("edits" case) and a 1,000-cell synthetic one.

    PYTHONPATH=src python bench/pages.py [--chromium PATH] [--corpus NAME ...]

Rendered: from page.goto() until the load event (the page laid out, its images decoded).
Median of three rounds; times in milliseconds.
"""
import argparse
import glob
import json
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import generate  # noqa: E402

from corvane_git.scripts.merge_driver.driver import route as driver
from corvane_git.scripts.merge_driver.pages import mergetool
from corvane_git.scripts.merge_driver.pages import view  # noqa: E402

ROUNDS = 3


def cases(names):
    paths = sorted(glob.glob(os.path.join(HERE, os.pardir, "tests", "data", "corpus", "*.ipynb")))
    for path in paths:
        if names and os.path.splitext(os.path.basename(path))[0] not in names:
            continue
        for name, base, current, incoming, _ in generate.corpus_cases(path):
            if name.endswith("-edits"):
                yield name, base, current, incoming
    name, base, current, incoming, _ = next(generate.synthetic_cases(1000))
    yield name, base, current, incoming


def write(path, nb):
    with open(path, "w", encoding="utf-8") as f:
        f.write(json.dumps(nb, indent=1, ensure_ascii=False) + "\n")


def one_round(browser, work, base, current, incoming):
    files = [os.path.join(work, n) for n in ("base.ipynb", "ours.ipynb", "theirs.ipynb")]
    for path, nb in zip(files, (base, current, incoming)):
        write(path, nb)
    page = browser.new_page(viewport={"width": 1366, "height": 768})
    out = os.path.join(work, "diff.html")
    start = time.perf_counter()
    view.main([files[0], files[1], "--output", out])
    written = time.perf_counter()
    page.goto("file://" + out, wait_until="load")
    shown = time.perf_counter()
    merged = os.path.join(work, "merged.ipynb")
    shutil.copy(files[1], merged)
    driver.merge(files[0], merged, files[2], path="merged.ipynb")
    urls = []
    tool = threading.Thread(target=mergetool.main, args=(files + [merged, "--no-browser"],
                                                         urls.append))
    started = time.perf_counter()
    tool.start()
    while not urls and tool.is_alive():
        tool.join(0.001)
    if urls:
        page.goto(urls[0], wait_until="load")
        served = time.perf_counter()
        page.get_by_role("button", name="Close without saving").click()
        conflicts = page.locator("section.item").count()
    else:
        served, conflicts = None, 0   # no conflicts: the tool does not start
    tool.join()
    page.close()
    size = os.path.getsize(out)
    return (written - start, shown - written, (served - started) if served else None,
            conflicts, size)


def main(argv=None):
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("--chromium", default=shutil.which("chromium"))
    args.add_argument("--corpus", nargs="*", default=[])
    args = args.parse_args(argv)
    from playwright.sync_api import sync_playwright
    rows = []
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=args.chromium, args=["--no-sandbox"])
        for name, base, current, incoming in cases(args.corpus):
            work = tempfile.mkdtemp()
            got = [one_round(browser, work, base, current, incoming) for _ in range(ROUNDS)]
            shutil.rmtree(work)
            med = [statistics.median(g[k] for g in got) if got[0][k] is not None else None
                   for k in range(3)]
            rows.append((name, len(base["cells"]), got[0][4], med, got[0][3]))
        browser.close()
    print("%-44s %6s %9s %9s %9s %11s %9s" % ("case", "cells", "page kB", "written",
                                             "rendered", "diff total", "merge"))
    for name, cells, size, (w, r, m), conflicts in rows:
        print("%-44s %6d %9.0f %7.0fms %7.0fms %9.0fms %9s" % (
            name, cells, size / 1000, w * 1000, r * 1000, (w + r) * 1000,
            "%.0fms (%d)" % (m * 1000, conflicts) if m is not None else "-"))


if __name__ == "__main__":
    main()
