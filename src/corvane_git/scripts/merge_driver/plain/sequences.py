"""Sequence helpers shared by the plain-notebook merge and the notebook diff."""

import bisect


def increasing(values):
    """Indices of a longest strictly increasing subsequence of `values` (patience sorting)."""
    tails: list = []
    tail_at: list = []
    before: list = [None] * len(values)
    for i, v in enumerate(values):
        pos = bisect.bisect_left(tails, v)
        before[i] = tail_at[pos - 1] if pos else None
        if pos == len(tails):
            tails.append(v)
            tail_at.append(i)
        else:
            tails[pos] = v
            tail_at[pos] = i
    out = []
    k = tail_at[-1] if tail_at else None
    while k is not None:
        out.append(k)
        k = before[k]
    out.reverse()
    return out
