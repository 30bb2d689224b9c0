"""What marks a conflict: the marks of names ("<<< name", ">>> name") and git's conflict
markers in lines of text, with the marker size as a parameter.

A marker line is a run of "<", "|", "=" or ">" of some size, followed by a space or nothing
("=" alone on its line).  The driver counts a marker line on its own from MARKER_LINE_SIZE on
(git's default size, with which cell sources are merged); `conflicts`, `check` and `resolve`
find whole blocks from BLOCK_MARKER_SIZE on, and in a file's text any size.
"""

OURS_MARK, THEIRS_MARK = "<<< ", ">>> "
MARKER_START, MARKER_MID, MARKER_END = "<<<<<<< ", "=======", ">>>>>>> "
MARKER_CHARS = ("<", "|", ">", "=")
# The shortest run of marker characters taken for a conflict marker line on its own: git's
# default size.
MARKER_LINE_SIZE = 7
# The smallest marker size taken for git's conflict blocks with all their lines.
BLOCK_MARKER_SIZE = 3


# ---- marked names -------------------------------------------------------------------------


def strip_marks(name):
    """`name` without the "<<< " and ">>> " marks in front of it."""
    while name.startswith((OURS_MARK, THEIRS_MARK)):
        name = name[len(OURS_MARK) :]
    return name


def is_marked(name):
    return isinstance(name, str) and name.startswith((OURS_MARK, THEIRS_MARK))


# ---- marker lines ------------------------------------------------------------------------


def marker_size(text, equals=True, minimum=MARKER_LINE_SIZE):
    """The marker size of `text` (one line; its line end does not count) when it reads as a
    line of git's conflict markers, else 0: a run of at least `minimum` "<", "|" or ">"
    followed by a space or nothing, or (with `equals`) a line of "=" alone.  Code such as
    ``x <<<<<<< y`` or a doctest's ">>> " does not count."""
    text = text.rstrip("\r\n")
    char = text[:1]
    if char not in MARKER_CHARS or (char == "=" and not equals):
        return 0
    size = len(text) - len(text.lstrip(char))
    rest = text[size:]
    if size < minimum or (rest.strip() if char == "=" else rest[:1] not in ("", " ")):
        return 0
    return size


def is_marker(text, char, size):
    """Whether `text` (a line without its line end) is a marker of exactly `size` `char`s."""
    return text.startswith(char * size) and (len(text) == size or text[size] == " ")


def holds_marker_line(lines, equals):
    """Whether any of `lines` is a marker line of MARKER_LINE_SIZE or more (with `equals`, a
    line of "=" alone counts too)."""
    return any(line[:1] in MARKER_CHARS and marker_size(line, equals) for line in lines)


def count_openings(lines, size=MARKER_LINE_SIZE):
    """How many of `lines` open a block with a marker of `size` followed by a space."""
    start = "<" * size + " "
    return sum(1 for line in lines if line.startswith(start))


_MARKER_RUNS = tuple(c * MARKER_LINE_SIZE for c in MARKER_CHARS)


def may_hold_markers(source):
    """False when a source (a string or a list of strings) surely holds no marker line of
    MARKER_LINE_SIZE: none of the runs of marker characters occurs in it at all (one search
    over the joined text)."""
    if isinstance(source, list):
        try:
            source = "".join(source)
        except TypeError:
            return True
    if not isinstance(source, str):
        return True
    return any(run in source for run in _MARKER_RUNS)


# Marks and markers hold three angle brackets in a row or a run of "=" or "|"; JSON may escape
# them (\u003c, \u003d, \u003e, \u007c).
_TELLTALES = (b"<<<", b">>>", b"=======", b"|||||||", b"\\u003", b"\\u007")


def may_hold_conflicts(data):
    """False when a notebook file's bytes surely hold no mark and no marker of a conflict."""
    return any(t in data for t in _TELLTALES)


def blocks(lines, minimum=BLOCK_MARKER_SIZE):
    """The conflict blocks in `lines`: (start, base, middle, end) line indices; `base` is None
    without a diff3 base section.  The marker size is read from each block's first line (at
    least `minimum`); an opening line followed by another of its size before the block's
    middle is left over from an unfinished block, and the block starts at the later one."""
    found = []
    i, n = 0, len(lines)
    while i < n:
        text = lines[i].rstrip("\r\n")
        size = len(text) - len(text.lstrip("<"))
        end = restart = None
        if size >= minimum and is_marker(text, "<", size):
            base = middle = None
            for j in range(i + 1, n):
                text = lines[j].rstrip("\r\n")
                if middle is None:
                    if text == "=" * size:
                        middle = j
                    elif is_marker(text, "<", size):
                        restart = j
                        break
                    elif base is None and is_marker(text, "|", size):
                        base = j
                elif is_marker(text, ">", size):
                    end = j
                    break
            if end is not None:
                found.append((i, base, middle, end))
                i = end + 1
                continue
            if restart is not None:
                i = restart
                continue
        i += 1
    return found


def text_markers(data):
    """The lines (from 1) of git's conflict markers in a file's text, of any size.  No line of
    a JSON text starts so."""
    return [
        number
        for number, line in enumerate(data.decode("utf-8", "replace").splitlines(), 1)
        if marker_size(line, True, 1)
    ]


# ---- saying them ---------------------------------------------------------------------------


def conflict_labels(path, labels=None):
    """The labels of conflict blocks, (ours, base, theirs): git's `labels` when given, else
    PATH-current, PATH-base and PATH-incoming."""
    if labels is not None:
        return tuple(str(label) for label in labels)
    return tuple(str(path) + suffix for suffix in ("-current", "-base", "-incoming"))


# Markers up to this size are shown as they are; longer ones (git takes up to 2**31 - 1) by
# their size, so that the line stays short and no marker is built for it.
SHOWN_MARKER_SIZE = 32


def marker_lines_text(size):
    """The marker lines of `size` in words, for a message."""
    if size <= SHOWN_MARKER_SIZE:
        return "%s and %s lines" % ("<" * size, ">" * size)
    return "marker lines of %d '<' and of %d '>'" % (size, size)
