"""The layout of a notebook file: read it off our side's bytes, write the merge in it again.

merge_files writes the merged notebook on one line with every non-ASCII character escaped.
Notebooks in a repository are normally stored the way Jupyter writes them
(``json.dump(nb, f, indent=1, ensure_ascii=False)`` and a final newline), so the driver
writes the merged notebook again in the layout of our side's file: same indentation,
separators, raw or escaped non-ASCII text, line ending and trailing newline.  Key order is
the merge's.  For a file in such a layout, an unchanged part whose values json writes the way
the file has them comes out byte for byte as it was, and ``git diff`` shows little more than
what the merge changed.

Each property is read on its own, from the start of the file wherever it can be:

- indentation: a file whose first line is ``{`` alone and whose second line is a key
  indented by spaces only or tabs only (or not at all: ``indent=0``) has that indentation; a
  file on one line has none; any other file (several lines, but not laid out like that) is
  written with Jupyter's one-space indentation;
- separators: the first ``,`` and the first ``:`` outside a string, with the spaces around
  them; by default those of ``json.dump``: ``", "`` / ``": "`` on one line, ``","`` /
  ``": "`` with indentation;
- non-ASCII text: raw when the file holds any non-ASCII byte, escaped when it holds an escape
  like ``\\u00e9`` and no raw text; a file without either keeps the form of its layout's
  writer: raw for an indented file (Jupyter's), escaped for one on one line (json's default);
- line ending: CRLF when the first line break of the document is one, else LF;
- whitespace before and after the document (Jupyter's final newline) is kept as it was.
"""

import io
import json
import os
import re

__all__ = [
    "Layout",
    "detect",
    "render",
    "dumps_indented",
    "same_value",
    "replace_file",
    "write_in_layout",
    "write_laid_out",
]

# Separators, indentation and the line ending are read from this much of the file.
HEAD = 1 << 16

_WS = b" \t\r\n"
# A string, the start of one that the head cuts off, or a separator with its blanks.
_TOKEN = re.compile(rb'"(?:[^"\\\r\n]|\\.)*"|"|([ \t]*[,:][ \t]*)')
_ESCAPE = re.compile(rb"\\u([0-9a-fA-F]{4})")


class Layout:
    """How a notebook file is written; `recognised` says whether the indentation was read."""

    __slots__ = (
        "indent",
        "item_separator",
        "key_separator",
        "ensure_ascii",
        "newline",
        "lead",
        "trail",
        "recognised",
    )

    def __init__(
        self,
        indent=None,
        item_separator=", ",
        key_separator=": ",
        ensure_ascii=True,
        newline="\n",
        lead=b"",
        trail=b"",
        recognised=True,
    ):
        self.indent = indent  # None (one line) or the indentation unit
        self.item_separator = item_separator
        self.key_separator = key_separator
        self.ensure_ascii = ensure_ascii
        self.newline = newline  # "\n" or "\r\n", between the lines
        self.lead = lead  # bytes before the document
        self.trail = trail  # bytes after it (Jupyter: b"\n")
        self.recognised = recognised

    def __repr__(self):
        return "Layout(%s)" % ", ".join("%s=%r" % (k, getattr(self, k)) for k in self.__slots__)

    def __eq__(self, other):
        return isinstance(other, Layout) and all(
            getattr(self, k) == getattr(other, k) for k in self.__slots__
        )


def _separators(head):
    """The first item and key separators outside strings, each None when not seen."""
    item = key = None
    for m in _TOKEN.finditer(head):
        sep = m.group(1)
        if sep is None:
            if m.end() - m.start() == 1:  # a string the head cuts off: stop reading
                break
            continue
        text = sep.decode("ascii")
        if "," in text and item is None:
            item = text
        elif ":" in text and key is None:
            key = text
        if item is not None and key is not None:
            break
    return item, key


def _escapes_non_ascii(data):
    """Whether `data` holds a \\uXXXX escape of a character that json escapes only for ASCII."""
    for m in _ESCAPE.finditer(data):
        backslashes = 0
        pos = m.start() - 1
        while pos >= 0 and data[pos] == 0x5C:
            backslashes += 1
            pos -= 1
        # An odd number of backslashes before it: "\\u" is an escaped backslash, then "u".
        if backslashes % 2 == 0 and int(m.group(1), 16) >= 0x7F:
            return True
    return False


def _indentation(body):
    """(indent, recognised) for a document `body` that spans several lines."""
    first_end = body.find(b"\n")
    if body[:1] != b"{" or body[1:first_end].strip(_WS):
        return 1, False
    second_end = body.find(b"\n", first_end + 1)
    second = body[first_end + 1 : second_end if second_end != -1 else len(body)]
    stripped = second.lstrip(b" \t")
    unit = second[: len(second) - len(stripped)]
    if not stripped.startswith(b'"') or (unit.strip(b" ") and unit.strip(b"\t")):
        return 1, False
    if not unit.strip(b" "):
        return len(unit), True
    return unit.decode("ascii"), True


def detect(data):
    """The Layout of a notebook file's bytes."""
    start = len(data) - len(data.lstrip(_WS))
    end = len(data.rstrip(_WS))
    lead, trail = data[:start], data[end:]
    body = data[start:end]
    head = body[:HEAD]
    first_break = head.find(b"\n")
    if first_break == -1 and end - start > HEAD:
        first_break = body.find(b"\n")
    if first_break == -1:
        indent, recognised = None, True
        newline = "\r\n" if trail.startswith(b"\r\n") else "\n"
    else:
        indent, recognised = _indentation(body)
        newline = "\r\n" if body[first_break - 1 : first_break] == b"\r" else "\n"
    item, key = _separators(head)
    if indent is not None and not recognised:
        item = key = None  # separators of an unknown layout: take Jupyter's
    if item is None:
        item = "," if indent is not None else ", "
    if key is None:
        key = ": "
    if not data.isascii():
        ensure_ascii = False
    elif _escapes_non_ascii(body):
        ensure_ascii = True
    else:
        ensure_ascii = indent is None
    return Layout(indent, item, key, ensure_ascii, newline, lead, trail, recognised)


class _NotPlainJson(Exception):
    """A value that only the json module knows how to write (not as json.loads makes it)."""


def _float_text(x, _repr=float.__repr__, _inf=float("inf")):
    if x != x:
        return "NaN"
    if x == _inf:
        return "Infinity"
    if x == -_inf:
        return "-Infinity"
    return _repr(x)


def dumps_indented(value, indent, item_separator, key_separator, ensure_ascii, flush=None):
    """The text of ``json.dumps(value, indent=indent, separators=(item_separator,
    key_separator), ensure_ascii=ensure_ascii)`` for a value as json.loads makes it.

    The json module writes an indented document with its pure-Python encoder, one generator
    step per value; here a list of strings (a cell's source, a text output) is written by one
    join over the C string encoder, which takes the whole to about 60% of the time.
    Anything json.loads does not make (a subclass, a non-string key, a tuple) is left to
    json.dumps.

    With `flush`, the text goes to flush(part) in parts of a few thousand pieces as it is made,
    and None is returned: a large notebook is never held as one text. A value that only
    json.dumps can write then raises _NotPlainJson, whatever parts went out before.
    """
    # The C encoders of the json package (typeshed lists only their Python fallbacks).
    encoders = vars(json.encoder)
    encode = encoders["encode_basestring_ascii" if ensure_ascii else "encode_basestring"]
    unit = " " * indent if isinstance(indent, int) else indent
    pieces = []
    append = pieces.append
    str_, int_, float_, list_, dict_ = str, int, float, list, dict
    int_text = int.__repr__

    def scalar(x, t):
        if x is None:
            return "null"
        if x is True:
            return "true"
        if x is False:
            return "false"
        if t is int_:
            return int_text(x)
        if t is float_:
            return _float_text(x)
        raise _NotPlainJson

    def write(x, newline):
        t = type(x)
        if t is str_:
            append(encode(x))
        elif t is list_:
            if not x:
                append("[]")
                return
            inner = newline + unit
            separator = item_separator + inner
            if all(type(item) is str_ for item in x):
                append("[" + inner + separator.join(map(encode, x)) + newline + "]")
                return
            append("[" + inner)
            first = True
            for item in x:
                if first:
                    first = False
                else:
                    append(separator)
                if type(item) is str_:
                    append(encode(item))
                else:
                    write(item, inner)
                    if flush is not None and len(pieces) > _PIECES_PER_PART:
                        flush("".join(pieces))
                        pieces.clear()
            append(newline + "]")
        elif t is dict_:
            if not x:
                append("{}")
                return
            inner = newline + unit
            separator = item_separator + inner
            append("{" + inner)
            first = True
            for key, item in x.items():
                if type(key) is not str_:
                    raise _NotPlainJson
                if first:
                    first = False
                else:
                    append(separator)
                append(encode(key))
                append(key_separator)
                if type(item) is str_:
                    append(encode(item))
                else:
                    write(item, inner)
            append(newline + "}")
        else:
            append(scalar(x, t))

    if flush is None:
        try:
            write(value, "\n")
        except _NotPlainJson:
            return json.dumps(
                value,
                indent=indent,
                ensure_ascii=ensure_ascii,
                separators=(item_separator, key_separator),
            )
        return "".join(pieces)
    write(value, "\n")
    flush("".join(pieces))
    return None


_PIECES_PER_PART = 4096


def render(value, layout):
    """`value` as the bytes of a file in `layout`."""
    parts = []
    render_into(value, layout, parts.append, parts.clear)
    return b"".join(parts)


def render_into(value, layout, put, restart):
    """Hand the bytes of `value` in `layout` to put(part), part after part, as render would
    return them; restart() means: forget every part put so far (the text is begun again in
    another form)."""

    def emit(ensure_ascii):
        def text_out(text):
            if layout.newline != "\n":
                # json never writes a raw line break inside a string: every one is the layout's.
                text = text.replace("\n", layout.newline)
            put(text.encode("utf-8"))

        put(layout.lead)
        separators = (layout.item_separator, layout.key_separator)
        if layout.indent is None:  # json's C encoder writes one line fast enough
            text_out(json.dumps(value, ensure_ascii=ensure_ascii, separators=separators))
        else:
            try:
                dumps_indented(
                    value,
                    layout.indent,
                    layout.item_separator,
                    layout.key_separator,
                    ensure_ascii,
                    flush=text_out,
                )
            except _NotPlainJson:
                restart()
                put(layout.lead)
                text_out(
                    json.dumps(
                        value,
                        indent=layout.indent,
                        ensure_ascii=ensure_ascii,
                        separators=separators,
                    )
                )
        put(layout.trail)

    try:
        emit(layout.ensure_ascii)
    except UnicodeEncodeError:
        # A lone surrogate (a "\ud800" escape in a file) cannot be written raw.
        restart()
        emit(True)


def write_in_layout(target, ours_bytes, ours, merged):
    """Write `merged` over `target` in the layout of our side's file, `ours_bytes`.

    A merge that kept our notebook as it was gives back our file byte for byte, whatever
    its layout (numbers written as 1e3, escapes of a hand-edited file, ...).
    """
    if merged == ours and same_value(merged, ours):
        data = ours_bytes
    else:
        data = render(merged, detect(ours_bytes))
    replace_file(target, data)


def write_laid_out(target, merged, ours_bytes, may_equal):
    """Write `merged` over `target` as write_in_layout writes it, where our notebook as it was
    before the merge (whose objects the merge changes) is not at hand: `may_equal(merged)` is
    False when `merged` surely differs from it.

    The bytes go to the file part by part as they are made, compared with our file's on the
    way; our file is parsed again only when the merge may have kept it as it was and the
    layout does not give back its bytes."""
    form = detect(ours_bytes)

    def write(f):
        written = _Compared(f, ours_bytes)
        render_into(merged, form, written.put, written.restart)
        if not written.equal() and may_equal(merged):
            ours = json.loads(ours_bytes.decode("utf-8"))
            if merged == ours and same_value(merged, ours):
                written.restart()
                written.put(ours_bytes)

    replace_file(target, write)


class _Compared:
    """Parts written to a file, compared with `ours` on the way."""

    def __init__(self, f, ours):
        self.f, self.ours = f, memoryview(ours)
        self.size, self.same = 0, True

    def put(self, part):
        self.f.write(part)
        end = self.size + len(part)
        self.same = self.same and self.ours[self.size : end] == part
        self.size = end

    def restart(self):
        self.f.seek(0)
        self.f.truncate()
        self.size, self.same = 0, True

    def equal(self):
        return self.same and self.size == len(self.ours)


def same_value(a, b):
    """Whether two parsed JSON documents are the same, key order and number types included.

    Python's == counts {"a": 1, "b": 2} equal to {"b": 2, "a": 1}, 1 equal to 1.0 and to
    True; a file written from one is not the file written from the other.
    """
    if type(a) is not type(b):
        return False
    if type(a) is dict:
        if len(a) != len(b):
            return False
        for (ka, va), (kb, vb) in zip(a.items(), b.items()):
            if ka != kb or not same_value(va, vb):
                return False
        return True
    if type(a) is list:
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    return a == b


def replace_file(path, data):
    """Replace the file at `path` by `data` in one step, keeping its permission bits.

    `data` is the bytes, or a function that writes them to the binary file it is given (open
    for reading too, so that it may begin again from the start).

    The extension's merge_core.replace_file does it, as merge_files writes its notebook: the
    bytes go to a temporary file in the same directory first, so a failure leaves the file as
    it was.  A symbolic link is followed: its target is replaced, the link stays.
    """
    from corvane_git.scripts.merge_driver import merge_core

    if callable(data):
        buffer = io.BytesIO()
        data(buffer)
        data = buffer.getvalue()
    merge_core.replace_file(os.fsdecode(path), bytes(data))
