"""The diff of two notebook versions as one self-contained HTML page (`view OLD NEW`).

The page holds every style and its one small script inline and loads nothing: it works from
file:// without a network.  Nothing from the notebook runs in it: sources, markdown and text
outputs are escaped (markdown is rendered from escaped text, so raw HTML in it shows as
text), images are shown from data: URLs, and HTML outputs go into frames sandboxed without
scripts.  A Content-Security-Policy lets only the page's own script (by its nonce) run.

The building blocks (cells, markdown, highlighting, outputs, the style) serve the merge tool
page too.
"""

import argparse
import base64
import difflib
import html
import json
import os
import re
import secrets
import sys
import tempfile

from corvane_git.scripts.merge_driver.pages import notebook_diff

PROG = notebook_diff.PROG
MISSING = notebook_diff.MISSING
# Outputs longer than this many lines are folded.
FOLD_LINES = 30
# Text outputs are cut at this many characters (the page says how much was left out).
MAX_TEXT = 200000

_ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")

STYLE = """
:root{--old:#ffebe9;--oldl:#ffc1bc;--new:#e6ffec;--newl:#abf2bc;--ink:#1f2328;--mute:#59636e;
--line:#d1d9e0;--card:#fff;--bg:#f6f8fa;--acc:#0969da}
*{box-sizing:border-box}
body{margin:0;font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:var(--ink);
background:var(--bg)}
header.top{position:sticky;top:0;z-index:2;background:#24292f;color:#fff;padding:8px 16px;
display:flex;gap:16px;align-items:center;flex-wrap:wrap}
header.top h1{font-size:16px;margin:0;font-weight:600}
header.top .files{font-family:ui-monospace,Consolas,monospace;font-size:12px;opacity:.85}
main{max-width:1500px;margin:0 auto;padding:12px 16px 48px}
.card{background:var(--card);border:1px solid var(--line);border-radius:6px;margin:10px 0;
overflow:hidden}
.card>h2{font-size:14px;margin:0;padding:6px 10px;background:#f0f3f6;border-bottom:1px solid
var(--line);display:flex;gap:8px;align-items:baseline;flex-wrap:wrap}
.badge{font-size:11px;font-weight:700;text-transform:uppercase;border-radius:10px;padding:1px 8px;
border:1px solid currentColor}
.k-added{color:#1a7f37}.k-deleted{color:#cf222e}.k-changed{color:#9a6700}.k-moved{color:#8250df}
.k-parameter,.k-metadata,.k-notebook{color:#0969da}.k-conflict{color:#cf222e}
.comp{font-weight:700}.ctype{color:var(--mute);font-weight:400}
.words{margin:0;padding:6px 12px 6px 28px;border-bottom:1px solid var(--line);background:#fbfcfd}
.words li{margin:1px 0}
.sides{display:grid;grid-template-columns:1fr 1fr;min-width:0}
.sides.three{grid-template-columns:1fr 1fr 1fr}
.side{min-width:0;border-right:1px solid var(--line);padding:6px 8px}
.side:last-child{border-right:0}
.side>h3{font-size:12px;margin:0 0 4px;color:var(--mute);font-weight:600;text-transform:uppercase}
.none{color:var(--mute);font-style:italic}
pre,code,textarea{font-family:ui-monospace,SFMono-Regular,Consolas,"Liberation Mono",monospace;
font-size:12.5px}
pre{margin:0;white-space:pre-wrap;word-break:break-word;overflow-wrap:anywhere}
.src{border:1px solid var(--line);border-radius:4px;background:#fff;padding:2px 0}
.src .l{display:block;padding:0 8px;min-height:1.4em}
.src .l.del{background:var(--old)}.src .l.ins{background:var(--new)}
.md{border:1px solid var(--line);border-radius:4px;padding:4px 10px;background:#fff;
overflow-wrap:anywhere}
.md h1,.md h2,.md h3,.md h4{margin:.4em 0;font-size:1.15em}
.md p{margin:.4em 0}.md pre{background:#f6f8fa;padding:6px}
.md.del{background:var(--old)}.md.ins{background:var(--new)}
.out{margin-top:6px;border-left:3px solid #d0d7de;padding-left:6px}
.out pre{background:#fafbfc;padding:4px}
.out img{max-width:100%;height:auto;background:#fff}
.out iframe{width:100%;height:220px;border:1px solid var(--line);background:#fff}
.err pre{background:#fff0f0}
.kw{color:#cf222e}.st{color:#0a3069}.cm{color:#6e7781;font-style:italic}.nu{color:#0550ae}
.dc{color:#8250df}
details.same{margin:6px 0;color:var(--mute)}
details.same>summary{cursor:pointer;padding:4px 8px}
details>summary{cursor:pointer}
.param{font-family:ui-monospace,Consolas,monospace}
del.w{background:var(--oldl);text-decoration:line-through}ins.w{background:var(--newl);text-decoration:none}
:focus-visible{outline:3px solid var(--acc);outline-offset:2px}
button{font:inherit;padding:5px 12px;border-radius:6px;border:1px solid #8c959f;background:#f6f8fa;
cursor:pointer}
button:hover{background:#eaeef2}
button.on{background:#0969da;color:#fff;border-color:#0969da}
button.primary{background:#1f883d;color:#fff;border-color:#1a7f37}
textarea{width:100%;min-height:5em;border:1px solid var(--line);border-radius:4px;padding:4px}
.actions{display:flex;gap:8px;flex-wrap:wrap;align-items:center;padding:8px 10px;
border-top:1px solid var(--line);background:#fbfcfd}
.state{color:var(--mute);margin-left:auto}
.state.done{color:#1a7f37;font-weight:600}
.summary{margin:8px 0;color:var(--mute)}
@media (max-width:900px){.sides,.sides.three{grid-template-columns:1fr}.side{border-right:0;
border-bottom:1px solid var(--line)}}
"""


def esc(value):
    return html.escape(value if isinstance(value, str) else str(value), quote=True)


def csp(nonce, connect=False):
    """The page's Content-Security-Policy: its own styles and nonce script only, images from
    data: URLs, frames for sandboxed outputs, requests to its own origin where it posts."""
    return (
        "default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
        "script-src 'nonce-%s'; frame-src data: about:; form-action 'none'; "
        "base-uri 'none'%s" % (nonce, "; connect-src 'self'" if connect else "")
    )


def page(title, body, script="", connect=False):
    nonce = secrets.token_urlsafe(16)
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">\n'
        '<meta http-equiv="Content-Security-Policy" content="%s">\n'
        '<meta name="viewport" content="width=device-width,initial-scale=1">\n'
        '<meta name="referrer" content="no-referrer">\n'
        "<title>%s</title><style>%s</style></head>\n<body>%s%s</body></html>\n"
        % (
            csp(nonce, connect),
            esc(title),
            STYLE,
            body,
            '<script nonce="%s">%s</script>' % (nonce, script) if script else "",
        )
    )


# ---- text: sources, highlighting, markdown ------------------------------------------------


def text(source):
    """A cell's source (a string or a list of strings) as one string."""
    if source is MISSING or source is None:
        return ""
    if isinstance(source, str):
        return source
    if isinstance(source, list) and all(isinstance(s, str) for s in source):
        return "".join(source)
    return json.dumps(source, ensure_ascii=False)


_PY_KEYWORDS = (
    "False None True and as assert async await break class continue def del elif "
    "else except finally for from global if import in is lambda nonlocal not or "
    "pass raise return try while with yield print self"
).split()
_TOKENS = re.compile(
    r"(?P<cm>#[^\n]*)"
    r"|(?P<st>[rRbBuUfF]{0,2}(?:\"\"\"[\s\S]*?(?:\"\"\"|$)|'''[\s\S]*?(?:'''|$)"
    r"|\"(?:[^\"\\\n]|\\.)*\"?|'(?:[^'\\\n]|\\.)*'?))"
    r"|(?P<dc>@[A-Za-z_][\w.]*)"
    r"|(?P<nu>\b(?:0[xXoObB][\da-fA-F_]+|\d[\d_]*(?:\.\d*)?(?:[eE][+-]?\d+)?j?)\b)"
    r"|(?P<kw>\b(?:%s)\b)" % "|".join(_PY_KEYWORDS)
)


def highlight(code):
    """Code as escaped HTML with spans for comments, strings, numbers, keywords; the lines of
    the result are the lines of `code`."""
    out, at = [], 0
    for m in _TOKENS.finditer(code):
        out.append(esc(code[at : m.start()]))
        kind = m.lastgroup
        # A span never crosses a line: each line of a long string gets its own.
        out.append(
            "\n".join(
                '<span class="%s">%s</span>' % (kind, esc(part)) if part else ""
                for part in m.group().split("\n")
            )
        )
        at = m.end()
    out.append(esc(code[at:]))
    return "".join(out)


_INLINE = re.compile(
    r"`([^`]+)`|\*\*(.+?)\*\*|__(.+?)__|\*([^*\s][^*]*?)\*"
    r"|\[([^\]]+)\]\(([^)\s]+)\)"
)


def _inline(line):
    """One line of markdown (raw) as HTML: escaped, with code, bold, italic and links."""
    out, at = [], 0
    for m in _INLINE.finditer(line):
        out.append(esc(line[at : m.start()]))
        code, bold, bold2, italic, label, url = m.groups()
        if code is not None:
            out.append("<code>%s</code>" % esc(code))
        elif bold is not None or bold2 is not None:
            out.append("<strong>%s</strong>" % esc(bold if bold is not None else bold2))
        elif italic is not None:
            out.append("<em>%s</em>" % esc(italic))
        else:
            # Links are shown, not followed from here: the address as a title.
            out.append('<span class="link" title="%s"><u>%s</u></span>' % (esc(url), esc(label)))
        at = m.end()
    out.append(esc(line[at:]))
    return "".join(out)


def markdown(source):
    """Markdown as safe HTML: headings, paragraphs, lists, fenced code, inline code, bold,
    italic and links.  Everything is escaped first, so HTML in the markdown shows as text and
    never runs."""
    out, para, items, fence = [], [], None, None

    def flush():
        nonlocal items
        if para:
            out.append("<p>%s</p>" % "<br>".join(_inline(line) for line in para))
            del para[:]
        if items is not None:
            tag, entries = items
            out.append(
                "<%s>%s</%s>" % (tag, "".join("<li>%s</li>" % _inline(e) for e in entries), tag)
            )
            items = None

    for line in source.splitlines():
        if fence is not None:
            if line.strip().startswith("```"):
                out.append("<pre><code>%s</code></pre>" % highlight("\n".join(fence)))
                fence = None
            else:
                fence.append(line)
            continue
        stripped = line.strip()
        heading = re.match(r"(#{1,6})\s+(.*)", stripped)
        bullet = re.match(r"[-*+]\s+(.*)", stripped)
        number = re.match(r"\d+[.)]\s+(.*)", stripped)
        if stripped.startswith("```"):
            flush()
            fence = []
        elif heading:
            flush()
            level = len(heading.group(1))
            out.append("<h%d>%s</h%d>" % (level, _inline(heading.group(2)), level))
        elif bullet or number:
            tag = "ul" if bullet else "ol"
            if para or (items is not None and items[0] != tag):
                flush()
            if items is None:
                items = (tag, [])
            items[1].append((bullet or number).group(1))  # type: ignore[index, union-attr]
        elif not stripped:
            flush()
        elif re.match(r"(-{3,}|\*{3,}|_{3,})$", stripped):
            flush()
            out.append("<hr>")
        else:
            if items is not None:
                flush()
            para.append(line)
    if fence is not None:
        out.append("<pre><code>%s</code></pre>" % highlight("\n".join(fence)))
    flush()
    return "".join(out)


# ---- cells -------------------------------------------------------------------------------


def _fold(inner, lines, label):
    if lines <= FOLD_LINES:
        return inner
    return "<details><summary>%s: %d lines (show)</summary>%s</details>" % (
        esc(label),
        lines,
        inner,
    )


def _pre_text(value):
    value = _ANSI.sub("", text(value))
    cut = ""
    if len(value) > MAX_TEXT:
        cut = "\n… %d more characters not shown" % (len(value) - MAX_TEXT)
        value = value[:MAX_TEXT]
    return value + cut


def _data_url(mime, data):
    if mime == "image/svg+xml":
        raw = text(data).encode("utf-8")
        return "data:image/svg+xml;base64," + base64.b64encode(raw).decode("ascii")
    payload = re.sub(r"\s+", "", text(data))
    return "data:%s;base64,%s" % (mime, esc(payload))


def output_html(output):
    """One output: images shown, HTML in a frame without scripts, text escaped and folded."""
    if not isinstance(output, dict):
        return '<div class="out"><pre>%s</pre></div>' % esc(json.dumps(output))
    kind = output.get("output_type")
    if kind == "stream":
        body = _pre_text(output.get("text"))
        return '<div class="out">%s</div>' % _fold(
            "<pre>%s</pre>" % esc(body),
            len(body.splitlines()),
            "output (%s)" % output.get("name", "stream"),
        )
    if kind == "error":
        body = _pre_text(
            "\n".join(output.get("traceback") or [])
            or "%s: %s" % (output.get("ename"), output.get("evalue"))
        )
        return '<div class="out err">%s</div>' % _fold(
            "<pre>%s</pre>" % esc(body), len(body.splitlines()), "error"
        )
    data = output.get("data")
    if not isinstance(data, dict):
        data = {}
    for mime in ("image/png", "image/jpeg", "image/gif", "image/svg+xml"):
        if mime in data:
            return '<div class="out"><img alt="%s output" src="%s"></div>' % (
                esc(mime),
                _data_url(mime, data[mime]),
            )
    if "text/html" in data:
        # A frame sandboxed without scripts: the output's HTML shows, none of it runs.
        return (
            '<div class="out"><iframe sandbox title="HTML output" srcdoc="%s">'
            "</iframe></div>" % esc(text(data["text/html"]))
        )
    for mime in ("text/markdown", "text/latex", "text/plain", "application/json"):
        if mime in data:
            value = (
                data[mime]
                if mime != "application/json"
                else json.dumps(data[mime], indent=1, ensure_ascii=False)
            )
            body = _pre_text(value)
            return '<div class="out">%s</div>' % _fold(
                "<pre>%s</pre>" % esc(body), len(body.splitlines()), "output (%s)" % mime
            )
    if data:
        return '<div class="out"><pre class="none">%s</pre></div>' % esc(
            ", ".join(sorted(data)) + " (not shown)"
        )
    return ""


def source_html(source, cell_type, marks=None):
    """A source as lines (each highlighted for code); marks[i] "del"/"ins" colours line i."""
    code = cell_type == "code"
    body = highlight(source) if code else esc(source)
    lines = body.split("\n")
    if source.endswith("\n"):
        lines.pop()
    marks = marks or {}
    return '<pre class="src">%s</pre>' % "".join(
        '<span class="l%s">%s</span>' % (" " + marks[i] if i in marks else "", line or " ")
        for i, line in enumerate(lines)
    )


def cell_html(cell, marks=None, outputs=True, tint=None):
    """A cell: markdown rendered (its source under it when `marks` colour changed lines), code
    highlighted, then its outputs."""
    if not isinstance(cell, dict):
        return '<p class="none">(no cell)</p>'
    kind = cell.get("cell_type")
    source = text(cell.get("source", ""))
    parts = []
    if kind == "markdown":
        parts.append('<div class="md%s">%s</div>' % (" " + tint if tint else "", markdown(source)))
        if marks:
            parts.append(
                "<details><summary>markdown source</summary>%s</details>"
                % source_html(source, kind, marks)
            )
    else:
        parts.append(source_html(source, kind, marks))
    if outputs:
        parts.extend(output_html(o) for o in cell.get("outputs") or () if o is not None)
    return "".join(parts)


def line_marks(old, new):
    """({old line: "del"}, {new line: "ins"}) of two texts."""
    a, b = old.splitlines(), new.splitlines()
    gone, came = {}, {}
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        if tag in ("replace", "delete"):
            gone.update((i, "del") for i in range(i1, i2))
        if tag in ("replace", "insert"):
            came.update((j, "ins") for j in range(j1, j2))
    return gone, came


def value_text(value):
    if value is MISSING:
        return "(none)"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    return json.dumps(value, ensure_ascii=False, sort_keys=True)


def comment_text(c):
    if isinstance(c, dict) and isinstance(c.get("text"), str):
        who = c.get("author")
        return "%s: %s" % (who, c["text"]) if isinstance(who, str) else c["text"]
    return value_text(c)


def detail_words(d):
    """One Detail of a cell, notebook parameter or metadata key in words (escaped HTML); None
    for source and outputs, which the page shows side by side."""
    a, b = d.old, d.new
    if d.aspect in ("source", "outputs"):
        return None
    if d.aspect == "name":
        return "component renamed from <b>%s</b> to <b>%s</b>" % (
            esc(value_text(a)),
            esc(value_text(b)),
        )
    if d.aspect == "parents":
        words = []
        if b:
            words.append("now also depends on " + ", ".join("<b>%s</b>" % esc(x) for x in b))
        if a:
            words.append("no longer depends on " + ", ".join("<b>%s</b>" % esc(x) for x in a))
        return "; ".join(words)
    if d.aspect == "comments":
        return "; ".join(
            ["comment added: <ins class=w>%s</ins>" % esc(comment_text(c)) for c in b]
            + ["comment removed: <del class=w>%s</del>" % esc(comment_text(c)) for c in a]
        )
    label = {"headerColor": "header colour", "cell_type": "cell type"}.get(d.aspect, d.aspect)
    if a is MISSING:
        return "%s set to <ins class=w>%s</ins>" % (esc(label), esc(value_text(b)))
    if b is MISSING:
        return "%s removed (was <del class=w>%s</del>)" % (esc(label), esc(value_text(a)))
    return "%s changed from <del class=w>%s</del> to <ins class=w>%s</ins>" % (
        esc(label),
        esc(value_text(a)),
        esc(value_text(b)),
    )


def _cell_heading(change):
    at = []
    if change.old_index is not None and change.new_index is not None:
        at.append(
            "cell %d" % (change.new_index + 1)
            if change.old_index == change.new_index
            else "cell %d → %d" % (change.old_index + 1, change.new_index + 1)
        )
    else:
        at.append(
            "cell %d"
            % ((change.new_index if change.new_index is not None else change.old_index) + 1)
        )
    name = (
        '<span class="comp">component %s</span>' % esc(change.name)
        if change.name is not None
        else esc(change.title or "")
    )
    return '<span class="badge k-%s">%s</span> %s <span class="ctype">[%s]</span> %s' % (
        change.kind,
        change.kind,
        at[0],
        esc(change.cell_type or "cell"),
        name,
    )


def words_html(items):
    items = [w for w in items if w]
    return '<ul class="words">%s</ul>' % "".join("<li>%s</li>" % w for w in items) if items else ""


def change_html(change, olds, news):
    old = olds[change.old_index] if change.old_index is not None else None
    new = news[change.new_index] if change.new_index is not None else None
    words = [detail_words(d) for d in change.details]
    if change.kind == "moved":
        words.insert(
            0, "moved from cell %d to cell %d" % (change.old_index + 1, change.new_index + 1)
        )
    if old is not None and new is not None:
        gone, came = line_marks(text(old.get("source", "")), text(new.get("source", "")))
        left = cell_html(old, gone or None)
        right = cell_html(new, came or None)
    else:
        left = (
            cell_html(old, tint="del")
            if old is not None
            else '<p class="none">(not in this version)</p>'
        )
        right = cell_html(new, tint="ins") if new is not None else '<p class="none">(deleted)</p>'
    return (
        '<section class="card" id="c%s"><h2>%s</h2>%s<div class="sides">'
        '<div class="side"><h3>old</h3>%s</div><div class="side"><h3>new</h3>%s</div>'
        "</div></section>"
        % (
            change.new_index if change.new_index is not None else "d%d" % change.old_index,
            _cell_heading(change),
            words_html(words),
            left,
            right,
        )
    )


def notebook_change_html(change):
    if change.kind == "parameter":
        d = change.details[0]
        if d.aspect == "parameter" and d.old is MISSING:
            words = ["parameter added: <ins class=w>%s</ins>" % esc(value_text(d.new))]
        elif d.aspect == "parameter" and d.new is MISSING:
            words = ["parameter removed: <del class=w>%s</del>" % esc(value_text(d.old))]
        else:
            words = [detail_words(x) for x in change.details]
        head = 'parameter <span class="param">%s</span>' % esc(value_text(change.name))
    else:
        words = [detail_words(d) for d in change.details]
        head = 'notebook %s <span class="param">%s</span>' % (
            "metadata" if change.kind == "metadata" else "key",
            esc(change.name),
        )
    return '<section class="card"><h2><span class="badge k-%s">%s</span> %s</h2>%s</section>' % (
        change.kind,
        change.kind,
        head,
        words_html(words),
    )


def _unchanged(cells, start, end):
    if end <= start:
        return ""
    n = end - start
    label = "cell %d" % (start + 1) if n == 1 else "cells %d–%d" % (start + 1, end)
    # In a template until opened (the page's script puts it in): a long run of unchanged
    # cells, their frames and images, costs nothing while it stays folded.
    return (
        '<details class="same"><summary>%d unchanged cell%s (%s)</summary><template>%s'
        "</template></details>"
        % (
            n,
            "" if n == 1 else "s",
            label,
            "".join(
                '<section class="card"><h2>cell %d <span class="ctype">[%s]</span></h2>'
                '<div class="side">%s</div></section>'
                % (k + 1, esc(cells[k].get("cell_type", "cell")), cell_html(cells[k]))
                for k in range(start, end)
            ),
        )
    )


def diff_page(old, new, old_label="old", new_label="new"):
    """The HTML page of the changes from notebook `old` to `new` (parsed)."""
    changes = notebook_diff.diff(old, new)
    olds, news = old["cells"], new["cells"]
    parts, shown = [], 0
    counts = {}
    for change in changes:
        counts[change.kind] = counts.get(change.kind, 0) + 1
        if change.kind in ("parameter", "metadata", "notebook"):
            parts.append(notebook_change_html(change))
            continue
        if change.new_index is not None:
            parts.append(_unchanged(news, shown, change.new_index))
            shown = change.new_index + 1
        parts.append(change_html(change, olds, news))
    parts.append(_unchanged(news, shown, len(news)))
    summary = ", ".join("%d %s" % (n, k) for k, n in counts.items()) or "no changes"
    body = (
        '<header class="top"><h1>Notebook diff</h1><span class="files">%s → %s</span>'
        '</header><main><p class="summary">%s</p>%s</main>'
        % (esc(old_label), esc(new_label), esc(summary), "".join(parts))
    )
    return page("diff: %s" % new_label, body, UNFOLD)


UNFOLD = """
document.querySelectorAll('details.same').forEach(function(d){
  d.addEventListener('toggle', function(){
    var t = d.querySelector('template');
    if (d.open && t) { d.appendChild(t.content); t.remove(); }
  });
});
"""


# ---- the command ---------------------------------------------------------------------------


def _parser():
    p = argparse.ArgumentParser(
        prog="%s view" % PROG,
        description="Show what changed between two versions of a notebook as one HTML page: "
        "the versions side by side, markdown rendered, images shown, unchanged "
        "cells folded. The page is self-contained and loads nothing.",
    )
    p.add_argument("old", metavar="OLD")
    p.add_argument("new", metavar="NEW")
    p.add_argument(
        "--output",
        "-o",
        metavar="FILE",
        help="write the page to FILE (default: a temporary file, opened in the browser)",
    )
    return p


def main(argv):
    args = _parser().parse_args(argv)
    loaded = []
    for path in (args.old, args.new):
        try:
            notebook, _ = notebook_diff.load(path)
        except notebook_diff.NotReadable as exc:
            sys.stderr.write("%s view: error: %s\n" % (PROG, exc))
            return 2
        if notebook is None:
            sys.stderr.write("%s view: error: %s is not a notebook\n" % (PROG, path))
            return 2
        loaded.append(notebook)
    data = diff_page(loaded[0], loaded[1], args.old, args.new).encode("utf-8")
    if args.output:
        with open(args.output, "wb") as f:
            f.write(data)
        return 0
    fd, path = tempfile.mkstemp(prefix="notebook-diff-", suffix=".html")
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    import webbrowser

    if not webbrowser.open("file://" + path if os.name != "nt" else path):
        print(path)
    return 0
