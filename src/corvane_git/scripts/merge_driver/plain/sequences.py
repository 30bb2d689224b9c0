"""Sequence helpers shared by the plain-notebook merge and the notebook diff."""
import bisect


def increasing(values):
    """Indices of a longest strictly increasing subsequence of `values` (patience sorting)."""
    tails, tail_at, before = [], [], [None] * len(values)
    for k, v in enumerate(values):
        pos = bisect.bisect_left(tails, v)
        before[k] = tail_at[pos - 1] if pos else None
        if pos == len(tails):
            tails.append(v)
            tail_at.append(k)
        else:
            tails[pos] = v
            tail_at[pos] = k
    out = []
    k = tail_at[-1] if tail_at else None
    while k is not None:
        out.append(k)
        k = before[k]
    out.reverse()
    return out
