"""What a merge tells the user: the command's name in every line, the Conflicts a merged
notebook holds (the summary that the driver, the plain merge and `conflicts` print), and the
MergeFailure that stops a merge."""

PROG = "corvane-merge-driver"


def one_line(text):
    """`text` with line breaks and other control characters written as escapes."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


class MergeFailure(Exception):
    """The merge could not be made; the message is the cause, fit for one line."""


class Conflicts:
    """What the merged notebook holds for the user to resolve.

    Every name, path and note is printed with control characters escaped (one_line): a
    name from a notebook can hold anything, a terminal's escape sequences and line breaks
    included."""

    HEADLINE = "the merged notebook holds conflicts to resolve"

    def __init__(self, components, parameters, source_cells, places=None):
        self.components = components  # plain component names, in notebook order
        self.parameters = parameters  # plain parameter names, in notebook order
        self.source_cells = source_cells  # (position from 1, plain name or None)
        self.notes = []  # what else the user should hear about the merge
        # Where a conflict stands, shown after its name: ("component" or "parameter", name)
        self.places = places or {}

    def __bool__(self):
        return bool(self.components or self.parameters or self.source_cells)

    def messages(self, path):
        """The lines for stderr: the notes, then the summary when there is something to resolve."""
        lines = ["%s: %s: %s" % (PROG, one_line(path), one_line(note)) for note in self.notes]
        return lines + [self.summary(path)] if self else lines

    def summary(self, path):
        lines = ["%s: %s: %s" % (PROG, one_line(path), self.HEADLINE)]
        if self.components:
            lines.append("  components in conflict: " + self._listed("component", self.components))
        if self.parameters:
            lines.append("  parameters in conflict: " + self._listed("parameter", self.parameters))
        if self.source_cells:
            lines.append(
                "  cells with source conflicts: "
                + ", ".join(
                    "cell %d (%s)" % (pos, one_line(name)) if name else "cell %d" % pos
                    for pos, name in self.source_cells
                )
            )
        return "\n".join(lines)

    def _listed(self, kind, names):
        return ", ".join(
            "%s (%s)" % (one_line(n), one_line(self.places[kind, n]))
            if (kind, n) in self.places
            else one_line(n)
            for n in names
        )
