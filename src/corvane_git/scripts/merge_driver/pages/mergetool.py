"""The merge tool: the conflicts of a merged notebook on a local page, resolved by clicks.

`mergetool BASE LOCAL REMOTE MERGED` (git mergetool's four files) serves one page that lists
the conflicts MERGED holds: component pairs, parameter pairs, conflict blocks in cell sources
and cells that one side deleted while the other changed them, each with base, ours and theirs,
the buttons "Take ours", "Take theirs" (and "Take both" for a source block) and an edit box.
"Save" applies the choices through resolve() (our component and cell ids kept, parents
linked) and writes MERGED in its own layout; the command exits 0.  Closing the page (or "Close
without saving", or a long idle time) exits 1 and leaves MERGED as it was.

The server is the standard library's, bound to 127.0.0.1 on a free port; every request must
carry the random token of the address (403 otherwise) and name that address in its Host
header (no DNS rebinding).  Everything from the notebook is escaped or shown in a frame
sandboxed without scripts (see view).
"""

import argparse
import copy
import hmac
import http.server
import json
import secrets
import sys
import time
import urllib.parse

from corvane_git.scripts.merge_driver.conflicts import resolve
from corvane_git.scripts.merge_driver.conflicts.markers import strip_marks
from corvane_git.scripts.merge_driver.conflicts.report import PROG, one_line
from corvane_git.scripts.merge_driver.notebooks import layout, shape
from corvane_git.scripts.merge_driver.pages import view

OURS, THEIRS = resolve.OURS, resolve.THEIRS
# Seconds without a request after which the tool stops (as if closed).
IDLE = 30 * 60


# ---- the conflicts as items of the page ----------------------------------------------------


class Item:
    """One thing to decide: key (what the page posts back), kind ("component", "parameter",
    "block"), a title, the three versions as HTML, the sides offered, the edit box's text."""

    def __init__(self, key, kind, title, versions, sides, edit, note=""):
        self.key, self.kind, self.title = key, kind, title
        self.versions, self.sides, self.edit, self.note = versions, sides, edit, note


def _read_json(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
        return json.loads(data.decode("utf-8-sig")) if data.strip() else None
    except (OSError, ValueError, RecursionError):
        return None


def _by_component(notebook):
    out = {}
    for cell in shape.cell_list(notebook):
        key = shape.component_id(cell)
        if key is not None:
            out.setdefault(key, cell)
    return out


def _parameter(notebook, name):
    for p in shape.parameter_list(notebook):
        if isinstance(p, dict) and p.get("name") == name:
            return p
    return None


def _names(notebook):
    return {
        k: strip_marks(shape.canvas(c).get("name") or "") or str(k)
        for k, c in _by_component(notebook).items()
    }


def _component_html(cell, names, base=None):
    """A component's version in words and its cell, the lines that differ from the base's
    version coloured."""
    if cell is None:
        return '<p class="none">(deleted)</p>'
    canvas = shape.canvas(cell)
    parents = [
        names.get(p.get("id"), str(p.get("id"))) if isinstance(p, dict) else str(p)
        for p in canvas.get("parents") or ()
    ]
    words = [
        "name <b>%s</b>" % view.esc(strip_marks(canvas.get("name") or "")),
        "depends on "
        + (", ".join("<b>%s</b>" % view.esc(p) for p in parents) if parents else "nothing"),
    ]
    if canvas.get("headerColor"):
        words.append("header colour %s" % view.esc(canvas["headerColor"]))
    for c in canvas.get("comments") or ():
        words.append("comment: " + view.esc(view.comment_text(c)))
    marks = None
    if base is not None and base is not cell:
        marks = (
            view.line_marks(view.text(base.get("source", "")), view.text(cell.get("source", "")))[1]
            or None
        )
    return view.words_html(words) + view.cell_html(cell, marks)


def _plain_param(p):
    if not isinstance(p, dict):
        return p
    p = dict(p)
    p["name"] = strip_marks(p.get("name") or "")
    return p


def _param_html(p):
    if p is None:
        return '<p class="none">(none)</p>'
    return "<pre>%s</pre>" % view.esc(json.dumps(_plain_param(p), indent=1, ensure_ascii=False))


def _lines_html(lines, cell_type):
    if lines is None:
        return '<p class="none">(not known)</p>'
    if not lines:
        return '<p class="none">(no lines)</p>'
    return view.source_html("".join(lines), cell_type)


def items(notebook, found, base, ours, theirs):
    """The Items of a merged notebook's conflicts (found = resolve.find of it)."""
    out = []
    cells = shape.cell_list(notebook)
    base_cells = _by_component(base)
    names = _names(notebook)
    for c in found.components:
        if c.shape == "ambiguous":
            continue
        mine = cells[c.ours[0]] if c.ours else None
        other = cells[c.theirs[0]] if c.theirs else None
        key = shape.component_id(mine if mine is not None else other)
        old = base_cells.get(key)
        title = "component %s" % c.name + (
            " (theirs renamed it %s)" % c.their_name if c.their_name else ""
        )
        note = {
            OURS: "changed by us, deleted by them",
            THEIRS: "changed by them, deleted by us",
        }.get(c.shape, "changed on both sides")
        kept = mine if mine is not None else other
        out.append(
            Item(
                "component:" + c.name,
                "component",
                title,
                [
                    _component_html(old, names)
                    if old is not None
                    else '<p class="none">(not in the base)</p>',
                    _component_html(mine, names, old),
                    _component_html(other, names, old),
                ],
                (OURS, THEIRS),
                view.text(kept.get("source", "")),
                note,
            )
        )
    params = shape.parameter_list(notebook)
    for c in found.parameters:
        if c.shape == "ambiguous":
            continue
        mine = params[c.ours[0]] if c.ours else None
        other = params[c.theirs[0]] if c.theirs else None
        kept = _plain_param(mine if mine is not None else other)
        note = {
            OURS: "changed by us, deleted by them",
            THEIRS: "changed by them, deleted by us",
        }.get(c.shape, "changed on both sides")
        out.append(
            Item(
                "parameter:" + c.name,
                "parameter",
                "parameter %s" % c.name,
                [_param_html(_parameter(base, c.name)), _param_html(mine), _param_html(other)],
                (OURS, THEIRS),
                json.dumps(kept, indent=1, ensure_ascii=False),
                note,
            )
        )
    for pos, name in found.source_cells:
        cell = cells[pos]
        lines = shape.shown_lines(cell)
        kind = cell.get("cell_type")
        gone = found.deleted.get(pos)
        for k, (start, middle_base, middle, end) in enumerate(resolve.blocks(lines)):
            mine = lines[start + 1 : middle_base if middle_base is not None else middle]
            other = lines[middle + 1 : end]
            old = lines[middle_base + 1 : middle] if middle_base is not None else None
            title = "cell %d%s, conflict block %d" % (
                pos + 1,
                " (%s)" % name if name else "",
                k + 1,
            )
            if gone:
                note = resolve.NOTES[gone]
                sides: tuple = (OURS, THEIRS)
                mine = None if gone == OURS else mine
                other = None if gone == THEIRS else other
                versions = [
                    _lines_html(old, kind),
                    _lines_html(mine, kind)
                    if mine is not None
                    else '<p class="none">(deleted this cell)</p>',
                    _lines_html(other, kind)
                    if other is not None
                    else '<p class="none">(deleted this cell)</p>',
                ]
                edit = "".join(mine if mine is not None else other)
            else:
                note = "changed on both sides"
                sides = (OURS, THEIRS, "both")
                versions = [
                    _lines_html(old, kind),
                    _lines_html(mine, kind),
                    _lines_html(other, kind),
                ]
                edit = "".join(mine)
            out.append(Item("block:%d:%d" % (pos, k), "block", title, versions, sides, edit, note))
    return out


# ---- applying the choices ------------------------------------------------------------------


class Refused(Exception):
    """The choices cannot be saved; the message says why (the page shows it)."""


def _set_source(cell, text):
    cell["source"] = text if isinstance(cell.get("source"), str) else text.splitlines(True)


def _with_line_end(text, newline):
    return text if not text or text.endswith(("\n", "\r")) else text + newline


def apply(notebook, choices, base=None, ours=None, theirs=None):
    """Apply the page's choices ({key: {"side": "ours"|"theirs"|"both"|"edit", "text": ...}})
    to the merged notebook in place; returns what is left (a resolve.Found).  Whole choices of
    one side go through resolve(), exactly as the resolve command would take them."""
    fresh = resolve.fresh_copy_test(ours, base, theirs)
    found = resolve.find(notebook, fresh)
    cells = shape.cell_list(notebook)
    # Source blocks first, from the last cell up: resolving one never moves those before it.
    by_cell = {}
    for key, choice in choices.items():
        if key.startswith("block:"):
            pos, k = map(int, key.split(":")[1:])
            by_cell.setdefault(pos, {})[k] = choice
    for pos in sorted(by_cell, reverse=True):
        if pos >= len(cells):
            raise Refused("no cell %d" % (pos + 1))
        chosen = by_cell[pos]
        lines = shape.shown_lines(cells[pos])
        found_blocks = resolve.blocks(lines)
        sides = {c.get("side") for c in chosen.values()}
        if len(chosen) == len(found_blocks) and len(sides) == 1 and sides <= {OURS, THEIRS}:
            resolve.resolve(
                notebook, sides.pop(), resolve.Selection(cells=[pos + 1]), ours, base, theirs
            )
            continue
        gone = resolve.deleted_by(lines, found_blocks)
        newline = "\r\n" if lines and lines[0].endswith("\r\n") else "\n"
        out, at = [], 0
        for k, (start, middle_base, middle, end) in enumerate(found_blocks):
            out.extend(lines[at:start])
            at = end + 1
            choice = chosen.get(k)
            if choice is None:
                out.extend(lines[start : end + 1])
                continue
            side = choice.get("side")
            if side == "edit":
                last = end == len(lines) - 1
                text = str(choice.get("text", ""))
                out.append(text if last else _with_line_end(text, newline))
            elif gone and side == gone:
                out = None  # type: ignore[assignment]  # the cell goes, as the side that deleted it wants
                break
            else:
                mine = lines[start + 1 : middle_base if middle_base is not None else middle]
                other = lines[middle + 1 : end]
                out.extend(mine if side == OURS else other if side == THEIRS else mine + other)
        if out is None:
            del cells[pos]
        else:
            out.extend(lines[at:])
            _set_source(cells[pos], "".join(out))
    # Parameters and components: one resolve() per side, then the edits on the kept version.
    for kind, conflicts in (("parameter", found.parameters), ("component", found.components)):
        shapes = {c.name: c.shape for c in conflicts}
        picks = {OURS: [], THEIRS: []}
        edits = {}
        for key, choice in choices.items():
            if not key.startswith(kind + ":"):
                continue
            name = key.split(":", 1)[1]
            if name not in shapes:
                raise Refused("no conflict of %s %s" % (kind, name))
            side = choice.get("side")
            if side == "edit":
                edits[name] = str(choice.get("text", ""))
                side = shapes[name] if shapes[name] in (OURS, THEIRS) else OURS
            if side not in picks:
                raise Refused("%s %s: choose ours or theirs" % (kind, name))
            picks[side].append(name)
        for side, names in picks.items():
            if names:
                selection = resolve.Selection(**{kind + "s": names})
                resolve.resolve(notebook, side, selection, ours, base, theirs)
        for name, text in edits.items():
            if kind == "parameter":
                try:
                    value = json.loads(text)
                except ValueError as exc:
                    raise Refused("parameter %s: the edit is no JSON: %s" % (name, exc)) from exc
                if not isinstance(value, dict):
                    raise Refused("parameter %s: the edit must be a JSON object" % name)
                value["name"] = name
                params = shape.parameter_list(notebook)
                named = [
                    i for i, p in enumerate(params) if isinstance(p, dict) and p.get("name") == name
                ]
                if named:
                    params[named[0]] = value
            else:
                for cell in shape.cell_list(notebook):
                    if shape.canvas(cell).get("name") == name:
                        _set_source(cell, text)
                        break
    return resolve.find(notebook, fresh)


# ---- the page ------------------------------------------------------------------------------

SCRIPT = r"""
(function(){
var token = document.body.getAttribute('data-token');
var choices = {};
var items = document.querySelectorAll('section.item');
function left(){
  var n = 0;
  items.forEach(function(s){ if(!choices[s.id]) n++; });
  document.getElementById('left').textContent =
    n ? n + ' of ' + items.length + ' conflicts left'
      : 'all ' + items.length + ' conflicts resolved';
  return n;
}
function mark(s, label){
  var st = s.querySelector('.state');
  st.textContent = label; st.className = 'state done';
  s.querySelectorAll('button[data-side]').forEach(function(b){
    var on = choices[s.id] && b.getAttribute('data-side') === choices[s.id].side;
    b.classList.toggle('on', on); b.setAttribute('aria-pressed', on ? 'true' : 'false');
  });
  left();
}
items.forEach(function(s){
  s.querySelectorAll('button[data-side]').forEach(function(b){
    b.addEventListener('click', function(){
      choices[s.id] = {side: b.getAttribute('data-side')};
      mark(s, 'Chosen: ' + b.textContent.replace('Take ', ''));
    });
  });
  var box = s.querySelector('textarea');
  box.addEventListener('input', function(){
    choices[s.id] = {side: 'edit', text: box.value};
    mark(s, 'Chosen: your edit');
  });
});
function post(path, body){
  return fetch(path + '?token=' + encodeURIComponent(token), {method: 'POST',
    headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body || {})});
}
var done = false;
document.getElementById('save').addEventListener('click', function(){
  var msg = document.getElementById('message');
  if (left()) { msg.textContent = 'Choose a side or edit each conflict before saving.'; return; }
  post('/save', {choices: choices}).then(function(r){ return r.text().then(function(t){
    msg.textContent = t;
    if (r.ok) { done = true; document.body.classList.add('saved'); }
  }); }).catch(function(e){ msg.textContent = 'Not saved: ' + e; });
});
document.getElementById('close').addEventListener('click', function(){
  post('/close').then(function(){ done = true;
    document.getElementById('message').textContent =
      'Closed without saving; the notebook is as it was.'; });
});
window.addEventListener('pagehide', function(){
  if (!done) navigator.sendBeacon('/close?token=' + encodeURIComponent(token), '');
});
left();
})();
"""

SIDE_LABELS = {OURS: "Take ours", THEIRS: "Take theirs", "both": "Take both"}


def item_html(item):
    return (
        '<section class="card item" id="%s" aria-label="%s"><h2><span class="badge '
        'k-conflict">%s</span> %s <span class="ctype">%s</span></h2>'
        '<div class="sides three"><div class="side"><h3>base</h3>%s</div>'
        '<div class="side"><h3>ours</h3>%s</div><div class="side"><h3>theirs</h3>%s</div>'
        '</div><div class="actions">%s<span class="state">not resolved</span></div>'
        '<div class="actions"><label style="flex:1">Edit the result by hand (%s):'
        '<textarea spellcheck="false">%s</textarea></label></div></section>'
    ) % (
        view.esc(item.key),
        view.esc(item.title),
        view.esc(item.kind),
        view.esc(item.title),
        view.esc(item.note),
        item.versions[0],
        item.versions[1],
        item.versions[2],
        "".join(
            '<button type="button" data-side="%s" aria-pressed="false">%s</button>'
            % (side, SIDE_LABELS[side])
            for side in item.sides
        ),
        {
            "component": "the cell's source; the other changes are ours",
            "parameter": "the parameter as JSON",
            "block": "the lines that replace the block",
        }[item.kind],
        view.esc(item.edit),
    )


def tool_page(path, listed, token, by_hand=()):
    body = (
        '<header class="top"><h1>Notebook merge</h1><span class="files">%s</span>'
        '<span id="left" class="state" role="status"></span>'
        '<button type="button" id="save" class="primary">Save</button>'
        '<button type="button" id="close">Close without saving</button></header><main>'
        '<p id="message" class="summary" role="status" aria-live="polite">Choose a side or '
        "edit each conflict, then Save. Closing this page without saving leaves the "
        "notebook as it was.</p>%s%s</main>"
    ) % (
        view.esc(path),
        "".join(
            '<p class="summary">Needs a hand in the notebook: %s</p>' % view.esc(t) for t in by_hand
        ),
        "".join(item_html(i) for i in listed),
    )
    html = view.page("merge: %s" % path, body, SCRIPT, connect=True)
    return html.replace("<body>", '<body data-token="%s">' % view.esc(token), 1)


# ---- the server ----------------------------------------------------------------------------


class Tool:
    """The state of one run: the merged file, its conflicts, the outcome."""

    def __init__(self, merged, data, notebook, base, ours, theirs):
        self.merged, self.data, self.notebook = merged, data, notebook
        self.base, self.ours, self.theirs = base, ours, theirs
        self.token = secrets.token_urlsafe(24)
        self.found = resolve.find(notebook, resolve.fresh_copy_test(ours, base, theirs))
        self.items = items(notebook, self.found, base, ours, theirs)
        self.by_hand = [
            c.place("cell") for c in self.found.components if c.shape == "ambiguous"
        ] + [c.place("parameter") for c in self.found.parameters if c.shape == "ambiguous"]
        self.status = None  # 0 saved, 1 closed
        self.last = time.monotonic()

    def save(self, choices):
        notebook = copy.deepcopy(self.notebook)
        left = apply(notebook, choices, self.base, self.ours, self.theirs)
        if left:
            raise Refused("Not saved: " + left.summary(self.merged).split("\n", 1)[-1].strip())
        layout.replace_file(self.merged, layout.render(notebook, layout.detect(self.data)))
        self.status = 0


def handler(tool, host):
    allowed = {"%s:%d" % (name, host[1]) for name in ("127.0.0.1", "localhost")}

    class Handler(http.server.BaseHTTPRequestHandler):
        server_version = "notebook-merge"
        sys_version = ""

        def log_message(self, *args):
            pass

        def _reply(self, code, body, kind="text/plain; charset=utf-8"):
            data = body.encode("utf-8")
            self.send_response(code)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Cache-Control", "no-store")
            self.send_header("X-Content-Type-Options", "nosniff")
            self.send_header("X-Frame-Options", "DENY")
            self.end_headers()
            self.wfile.write(data)

        def _allowed(self):
            url = urllib.parse.urlsplit(self.path)
            given = urllib.parse.parse_qs(url.query).get("token", [""])[0]
            if self.headers.get("Host") not in allowed or not hmac.compare_digest(
                given.encode("utf-8"), tool.token.encode("utf-8")
            ):
                self._reply(403, "Forbidden")
                return None
            tool.last = time.monotonic()
            return url.path

        def do_GET(self):
            path = self._allowed()
            if path is None:
                return
            if path != "/":
                return self._reply(404, "Not found")
            self._reply(
                200,
                tool_page(tool.merged, tool.items, tool.token, tool.by_hand),
                "text/html; charset=utf-8",
            )

        def do_POST(self):
            path = self._allowed()
            if path is None:
                return
            length = self.headers.get("Content-Length") or "0"
            length = int(length) if length.isdigit() else 0
            body = self.rfile.read(length) if 0 < length <= 1 << 26 else b""
            if path == "/close":
                if tool.status is None:
                    tool.status = 1
                return self._reply(200, "closed")
            if path != "/save":
                return self._reply(404, "Not found")
            if tool.status is not None:
                return self._reply(409, "Already %s." % ("saved" if tool.status == 0 else "closed"))
            try:
                choices = json.loads(body.decode("utf-8")).get("choices")
                if not isinstance(choices, dict) or not all(
                    isinstance(v, dict) for v in choices.values()
                ):
                    raise Refused("Not saved: no choices given")
                tool.save(choices)
            except Refused as exc:
                return self._reply(409, str(exc))
            except (ValueError, AttributeError, resolve.ResolveError) as exc:
                return self._reply(400, "Not saved: %s" % exc)
            self._reply(200, "Saved %s; no conflicts left. You can close this page." % tool.merged)

    return Handler


def serve(tool, open_browser=True, idle=IDLE, announce=None):
    """Serve the page until it is saved or closed or `idle` seconds pass without a request;
    returns the exit status."""
    server = http.server.HTTPServer(("127.0.0.1", 0), None)  # type: ignore[arg-type]
    server.RequestHandlerClass = handler(tool, server.server_address)
    server.timeout = 0.5
    url = "http://127.0.0.1:%d/?token=%s" % (server.server_address[1], tool.token)
    try:
        if announce:
            announce(url)
        opened = False
        if open_browser:
            import webbrowser

            opened = webbrowser.open(url)
        if not opened:
            print("%s mergetool: open %s" % (PROG, url), flush=True)
        while tool.status is None and time.monotonic() - tool.last < idle:
            server.handle_request()
    finally:
        server.server_close()
    return 0 if tool.status == 0 else 1


def _parser():
    p = argparse.ArgumentParser(
        prog="%s mergetool" % PROG,
        description="Resolve the conflicts of a merged notebook on a local page: base, ours "
        "and theirs of each, Take ours / Take theirs / an edit, then Save. For git "
        "mergetool --tool=corvane-notebook (install registers it). Exit status 0 "
        "when saved with no conflict left, 1 when closed without saving (MERGED "
        "is left as it was), 2 on errors.",
    )
    for name in ("BASE", "LOCAL", "REMOTE", "MERGED"):
        p.add_argument(name.lower(), metavar=name)
    p.add_argument(
        "--no-browser",
        action="store_true",
        help="print the page's address instead of opening a browser",
    )
    return p


def load(args):
    """The Tool for the command's files; raises resolve.ResolveError for a file that is no
    notebook."""
    data = resolve.read_file(args.merged)
    notebook, found = resolve.read(data)
    if notebook is None:
        raise resolve.ResolveError(
            "git merged this notebook as text: edit its conflict markers out in a text editor "
            "(lines %s), or take one side with git checkout --ours (or --theirs)"
            % ", ".join(str(n) for n in found.text_lines[:10])
        )
    return Tool(
        args.merged,
        data,
        notebook,
        _read_json(args.base),
        _read_json(args.local),
        _read_json(args.remote),
    )


def main(argv, announce=None):
    args = _parser().parse_args(argv)
    try:
        tool = load(args)
    except resolve.ResolveError as exc:
        sys.stderr.write(
            "%s mergetool: %s: %s\n" % (PROG, one_line(args.merged), one_line(str(exc)))
        )
        return 2
    if not tool.items and not tool.by_hand:
        print("%s mergetool: %s: no conflicts" % (PROG, one_line(args.merged)))
        return 0 if not tool.found else 1
    return serve(tool, not args.no_browser, announce=announce)
