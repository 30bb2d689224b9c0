"""The diff page and the merge tool in a real browser (headless Chromium driven by Playwright)."""
import copy
import http.client
import json
import os
import pathlib
import shutil
import subprocess
import threading
import urllib.parse

import pytest

from corvane_git.scripts.merge_driver.pages import mergetool
from corvane_git.scripts.merge_driver.conflicts import resolve
from corvane_git.scripts.merge_driver.pages import view
from corvane_git.scripts.merge_driver.conflicts.resolve import OURS, THEIRS, Selection
from test_notebook_diff import CASES, component_notebook
from test_resolve import EXAMPLE, example_merge

CHROMIUM = [os.environ.get("CORVANE_CHROMIUM"), "chromium", "chromium-browser",
            "google-chrome", "chrome"]


def _no_browser(why):
    # CI sets CORVANE_BROWSER_TESTS=required: there a missing browser is a failure.
    if os.environ.get("CORVANE_BROWSER_TESTS") == "required":
        pytest.fail(why)
    pytest.skip(why)


@pytest.fixture(scope="module")
def browser():
    try:
        from playwright import sync_api as sync
    except ImportError:
        _no_browser("playwright is not installed (pip install playwright)")
    found = [shutil.which(name) for name in CHROMIUM if name]
    found = [path for path in found if path]
    if not found:
        _no_browser("no Chromium on PATH (apt-get install chromium)")
    with sync.sync_playwright() as p:
        b = p.chromium.launch(executable_path=found[0], args=["--no-sandbox"])
        yield b
        b.close()


@pytest.fixture
def page(browser):
    context = browser.new_context(viewport={"width": 1366, "height": 768})
    yield context.new_page()
    context.close()


def _long_output(nb):
    nb["cells"][2]["outputs"][0]["text"] = ["line %d\n" % n for n in range(100)]


EDITS = {c[0]: c[2] for c in CASES}
EDITS["long output"] = _long_output


# (edit of the notebook diff's table, texts the page shows, a selector it shows)
DIFF_ROWS = [
    ("source", ["CHANGED", "component train", "2 unchanged cells (cells 1–2)"],
     ".l.ins >> text=steps=3"),
    ("renamed", ['component renamed from "train" to "fit"'], ".words b >> text=fit"),
    ("parents", ["now also depends on load", "no longer depends on train"], ".words"),
    ("comment", ["comment added: ana: check the path"], "ins.w"),
    ("header colour", ['header colour set to "#ff0000"'], "ins.w"),
    ("added", ["ADDED", "(not in this version)"], ".md.ins h2 >> text=Training"),
    ("deleted", ["DELETED", "component load", "(deleted)"], ".md.del, .l >> text=import pandas"),
    ("moved", ["MOVED", "moved from cell 4 to cell 1"], "text=plot(model)"),
    ("parameters", ["value changed from 10 to 20", "parameter added", "parameter removed"],
     "del.w >> text=10"),
    ("notebook metadata", ['kernelspec set to {"name": "python3"}'], "ins.w"),
    ("outputs", ["score 0.5", "score 0.7"], "img[src^='data:image/png;base64,']"),
    ("long output", ["output (stdout): 100 lines (show)"], "summary"),
]


@pytest.mark.parametrize("case, texts, visible", DIFF_ROWS, ids=[r[0] for r in DIFF_ROWS])
def test_diff_page_shows_each_kind_of_change(page, tmp_path, case, texts, visible):
    old = component_notebook()
    new = copy.deepcopy(old)
    EDITS[case](new)
    out = tmp_path / "diff.html"
    for nb, name in ((old, "old.ipynb"), (new, "new.ipynb")):
        (tmp_path / name).write_text(json.dumps(nb), encoding="utf-8")
    assert view.main([str(tmp_path / "old.ipynb"), str(tmp_path / "new.ipynb"),
                      "--output", str(out)]) == 0
    page.goto(out.as_uri())
    shown = page.inner_text("main")
    for text in texts:
        assert text in shown
    assert page.locator(visible).first.is_visible()
    if case == "long output":   # folded until asked for
        assert not page.locator("text=line 99").is_visible()
        page.locator("summary >> text=100 lines").click()
        page.locator("text=line 99").wait_for(state="visible", timeout=10000)
    if case == "source":        # unchanged cells are there, collapsed
        assert not page.locator("text=plot(model)").is_visible()
        page.locator("summary >> text=1 unchanged cell").focus()
        page.keyboard.press("Enter")   # the cells are built as they open
        page.locator("text=plot(model)").wait_for(state="visible", timeout=10000)


# ---- the merge tool ------------------------------------------------------------------------

class Running:
    """mergetool on the bundled example's merge, served from a thread."""

    def __init__(self, directory):
        self.merged = example_merge(directory)
        self.files = [str(directory / "base.ipynb"), str(EXAMPLE / "ours.ipynb"),
                      str(directory / "theirs.ipynb"), str(self.merged)]
        self.before = self.merged.read_bytes()
        self.urls, self.status = [], []
        self.thread = threading.Thread(target=lambda: self.status.append(mergetool.main(
            self.files + ["--no-browser"], announce=self.urls.append)))
        self.thread.start()
        while not self.urls and self.thread.is_alive():
            self.thread.join(0.05)
        self.url = self.urls[0]

    def sides(self):
        return [json.loads(pathlib.Path(p).read_text(encoding="utf-8")) for p in self.files[:3]]

    def stop(self):
        if self.thread.is_alive():
            request(self.url.replace("/?", "/close?"), "POST")
        self.thread.join(10)


@pytest.fixture
def tool(tmp_path):
    running = Running(tmp_path / "merged")
    yield running
    running.stop()


def request(url, method="GET", host=None):
    parts = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    conn.putrequest(method, parts.path + ("?" + parts.query if parts.query else ""),
                    skip_host=True)
    conn.putheader("Host", host or parts.netloc)
    conn.putheader("Content-Length", "0")
    conn.endheaders()
    return conn.getresponse().status


COMPONENT, PARAMETER, BLOCK = "component:train model", "parameter:epochs", "block:0:0"
THEIR_SOURCE = "model = SGDRegressor(eta0=learning_rate, max_iter=epochs, random_state=0)"


def by_hand(path, edits, sides):
    """What the edits give: our side of everything, then the edited texts put in."""
    resolve.resolve_file(str(path), OURS, None, *sides)
    nb = json.loads(path.read_text(encoding="utf-8"))
    for cell in nb["cells"]:
        if cell["metadata"]["canvas"]["name"] == "train model" and COMPONENT in edits:
            cell["source"] = edits[COMPONENT].splitlines(True)
        if cell["metadata"]["canvas"]["id"] == "notes" and BLOCK in edits:
            cell["source"] = ["# Sales forecast\n", "\n", edits[BLOCK] + "\n", "Owner: data team"]
    if PARAMETER in edits:
        for p in nb["metadata"]["canvas"]["parameters"]:
            if p["name"] == "epochs":
                p.update(json.loads(edits[PARAMETER]), name="epochs")
    return nb


# (clicks: {conflict: button}, edits: {conflict: text}, the resolve runs that give the same
#  file: [(side, selection)] or None to compare with by_hand)
@pytest.mark.parametrize("clicks, edits, same_as", [
    ({COMPONENT: "Take theirs", PARAMETER: "Take theirs", BLOCK: "Take theirs"}, {},
     [(THEIRS, None)]),
    ({COMPONENT: "Take ours", PARAMETER: "Take ours", BLOCK: "Take ours"}, {}, [(OURS, None)]),
    ({COMPONENT: "Take theirs", PARAMETER: "Take ours", BLOCK: "Take theirs"}, {},
     [(THEIRS, Selection(components=["train model"])), (OURS, Selection(parameters=["epochs"])),
      (THEIRS, Selection(cells=[1]))]),
    ({}, {COMPONENT: "model = fit()\n", PARAMETER: '{"type": "int", "value": 25}',
          BLOCK: "Train a model on the sales since 2021."}, None),
    ({COMPONENT: "Take ours", PARAMETER: "Take ours", BLOCK: "Take both"}, {}, None),
], ids=["theirs", "ours", "mixed", "edits", "both"])
def test_merge_tool_saves_what_resolve_gives(page, tool, tmp_path, clicks, edits, same_as):
    page.goto(tool.url)
    for key, button in clicks.items():
        page.locator("section[id='%s']" % key).get_by_role("button", name=button).click()
    for key, text in edits.items():
        page.locator("section[id='%s'] textarea" % key).fill(text)
    page.locator("textarea").last.focus()
    page.keyboard.press("Shift+Tab")   # to a button, by the keyboard: its focus shows
    assert page.evaluate("document.activeElement.tagName") == "BUTTON"
    assert page.evaluate("getComputedStyle(document.activeElement).outlineStyle") != "none"
    page.get_by_role("button", name="Save", exact=True).click()
    page.wait_for_selector("body.saved", timeout=10000)
    tool.thread.join(10)
    assert tool.status == [0]
    expected = tmp_path / "expected.ipynb"
    expected.write_bytes(tool.before)
    if same_as is not None:
        for side, selection in same_as:
            resolve.resolve_file(str(expected), side, selection, *tool.sides())
        assert tool.merged.read_bytes() == expected.read_bytes()
        return
    nb = json.loads(tool.merged.read_text(encoding="utf-8"))
    if edits:
        wanted = by_hand(expected, edits, tool.sides())
        assert nb["metadata"] == wanted["metadata"]
        assert nb["cells"] == wanted["cells"]
    else:   # both lines of the block, one after the other
        assert nb["cells"][0]["source"][2:4] == ["Train a model on the sales of 2023.\n",
                                                 "Train a model on all sales since 2020.\n"]
    assert not resolve.find(nb)


def test_closing_without_saving_leaves_the_notebook(page, tool):
    page.goto(tool.url)
    page.get_by_role("button", name="Take theirs").first.click()
    page.get_by_role("button", name="Close without saving").click()
    tool.thread.join(10)
    assert tool.status == [1]
    assert tool.merged.read_bytes() == tool.before


@pytest.mark.parametrize("change, method, host, status", [
    (lambda u: u, "GET", None, 200),
    (lambda u: u.split("?")[0], "GET", None, 403),
    (lambda u: u[:-3] + "xyz", "GET", None, 403),
    (lambda u: u.replace("/?", "/save?").split("?")[0], "POST", None, 403),
    (lambda u: u, "GET", "evil.example:80", 403),
], ids=["token", "no token", "wrong token", "save without token", "other host"])
def test_requests_need_the_token_and_the_address(tool, change, method, host, status):
    assert request(change(tool.url), method, host) == status
    assert tool.thread.is_alive() and tool.merged.read_bytes() == tool.before


SCRIPT_MARKDOWN = ["# Notes\n", "<script>window.ran = 1</script>\n",
                   "<img src=x onerror=\"window.ran = 2\">\n", "[x](javascript:window.ran=3)\n"]
SCRIPT_OUTPUT = {"output_type": "display_data", "metadata": {},
                 "data": {"text/html": ["<script>parent.ran = 4</script><b>bold</b>"]}}


@pytest.mark.parametrize("which", ["view", "mergetool"])
def test_notebook_html_and_script_never_run(page, tmp_path, which):
    nb = component_notebook()
    notes = nb["cells"][0]
    notes["cell_type"], notes["source"] = "markdown", SCRIPT_MARKDOWN
    del notes["outputs"], notes["execution_count"]
    nb["cells"][2]["outputs"] = [SCRIPT_OUTPUT]
    if which == "view":
        old = copy.deepcopy(nb)
        nb["cells"][0]["source"] = SCRIPT_MARKDOWN + ["more\n"]
        old["cells"][2]["outputs"] = []
        out = tmp_path / "diff.html"
        out.write_text(view.diff_page(old, nb), encoding="utf-8")
        url = out.as_uri()
    else:
        nb["cells"][2]["metadata"]["canvas"]["name"] = "<<< train"
        theirs = copy.deepcopy(nb["cells"][2])
        theirs["metadata"]["canvas"].update(name=">>> train", id="c0ffee00-0000-4000-8000-000000000000")
        nb["cells"].insert(3, theirs)
        path = tmp_path / "merged.ipynb"
        path.write_text(json.dumps(nb), encoding="utf-8")
        empty = tmp_path / "empty"
        empty.write_text("")
        urls = []
        thread = threading.Thread(target=mergetool.main, args=(
            [str(empty)] * 3 + [str(path), "--no-browser"], urls.append))
        thread.start()
        while not urls and thread.is_alive():
            thread.join(0.05)
        url = urls[0]
    page.goto(url)
    shown = page.inner_text("main")
    if which == "view":
        assert "<script>window.ran = 1</script>" in shown
    for link in page.locator("main a").all():
        assert not link.get_attribute("href", timeout=1000).startswith("javascript")
    assert page.frame_locator("iframe").first.locator("b").inner_text() == "bold"
    page.wait_for_timeout(200)
    assert page.evaluate("window.ran") is None
    if which == "mergetool":
        page.get_by_role("button", name="Close without saving").click()
        thread.join(10)


def test_a_notebook_merged_as_text_is_refused(tmp_path, capsys):
    path = tmp_path / "nb.ipynb"
    path.write_text('{"cells": [\n<<<<<<< HEAD\n1\n=======\n2\n>>>>>>> b\n]}\n')
    assert mergetool.main([str(path)] * 4 + ["--no-browser"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "merged this notebook as text" in err


def test_git_mergetool_runs_the_page_and_marks_the_notebook_resolved(page, make_repo):
    repo = make_repo(install=[], BROWSER="echo")   # the address on stdout
    sides = [json.loads((EXAMPLE / n).read_text(encoding="utf-8"))
             for n in ("base.ipynb", "ours.ipynb", "theirs.ipynb")]
    assert repo.merge_branches(*sides).returncode == 1
    proc = subprocess.Popen(["git", "mergetool", "--tool=corvane-notebook", "-y", "nb.ipynb"],
                            cwd=str(repo.path), env=repo.env, stdout=subprocess.PIPE,
                            universal_newlines=True)
    try:
        url = next(line for line in proc.stdout if line.startswith("http://127.0.0.1:"))
        page.goto(url.strip())
        for button in page.get_by_role("button", name="Take theirs").all():
            button.click()
        page.get_by_role("button", name="Save", exact=True).click()
        assert proc.wait(30) == 0
    finally:
        proc.kill()
        proc.wait()
    assert repo.git("ls-files", "-u").stdout == ""
    assert not resolve.find(repo.read("nb.ipynb"))
    assert THEIR_SOURCE in json.dumps(repo.read("nb.ipynb"))
