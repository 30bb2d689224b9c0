"""Screenshots of the diff page and the merge tool for docs/diff-and-mergetool.md (docs/*.png),
taken with headless Chromium on the bundled example: python tools/screenshots.py [CHROMIUM]."""
import os
import shutil
import sys
import tempfile
import threading

from playwright.sync_api import sync_playwright

from corvane_git.scripts.merge_driver import cli
from corvane_git.scripts.merge_driver.driver import route as driver
from corvane_git.scripts.merge_driver.pages import mergetool
from corvane_git.scripts.merge_driver.pages import view

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs")
EXAMPLE = [os.path.join(cli.EXAMPLE_DIR, n + ".ipynb") for n in ("base", "ours", "theirs")]


def main():
    chromium = sys.argv[1] if len(sys.argv) > 1 else shutil.which("chromium")
    docs = os.path.abspath(DOCS)
    work = tempfile.mkdtemp()
    os.chdir(work)   # the pages name the files as given: short names
    for path in EXAMPLE:
        shutil.copy(path, os.path.basename(path))
    diff_page = os.path.join(work, "diff.html")
    view.main(["base.ipynb", "theirs.ipynb", "--output", diff_page])
    merged = "notebook.ipynb"
    shutil.copy("ours.ipynb", merged)
    driver.merge("base.ipynb", merged, "theirs.ipynb", path=merged)
    urls = []
    tool = threading.Thread(target=mergetool.main, args=(
        ["base.ipynb", "ours.ipynb", "theirs.ipynb", merged, "--no-browser"], urls.append))
    tool.start()
    while not urls:
        tool.join(0.05)
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        page = browser.new_page(viewport={"width": 1280, "height": 800})
        page.goto("file://" + diff_page)
        page.screenshot(path=os.path.join(docs, "diff-page.png"))
        page.goto(urls[0])
        page.locator("section[id='parameter:epochs']").get_by_role(
            "button", name="Take theirs").click()
        page.screenshot(path=os.path.join(docs, "merge-tool.png"))
        page.get_by_role("button", name="Close without saving").click()
        browser.close()
    tool.join()
    os.chdir(docs)
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
