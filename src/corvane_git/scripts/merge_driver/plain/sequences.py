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


def matching_pairs(a, b):
    """Monotone pairs (i, j) with a[i] == b[j]: the common head and tail, then the keys that
    occur once in both ranges, in an order both keep, and the same again between them (the
    plain merge pairs cells with it, the diff lines)."""
    pairs = []
    ranges = [(0, len(a), 0, len(b))]
    while ranges:
        alo, ahi, blo, bhi = ranges.pop()
        while alo < ahi and blo < bhi and a[alo] == b[blo]:
            pairs.append((alo, blo))
            alo += 1
            blo += 1
        while alo < ahi and blo < bhi and a[ahi - 1] == b[bhi - 1]:
            ahi -= 1
            bhi -= 1
            pairs.append((ahi, bhi))
        if alo == ahi or blo == bhi:
            continue
        seen_a, seen_b = {}, {}
        for i in range(alo, ahi):
            seen_a[a[i]] = -1 if a[i] in seen_a else i
        for j in range(blo, bhi):
            seen_b[b[j]] = -1 if b[j] in seen_b else j
        common = [(i, seen_b[k]) for k, i in seen_a.items() if i >= 0 and seen_b.get(k, -1) >= 0]
        if not common:
            continue
        common.sort()
        anchors = [common[k] for k in increasing([j for _, j in common])]
        pairs.extend(anchors)
        edges = [(alo - 1, blo - 1)] + anchors + [(ahi, bhi)]
        for (i0, j0), (i1, j1) in zip(edges, edges[1:]):
            if i1 - i0 > 1 and j1 - j0 > 1:
                ranges.append((i0 + 1, i1, j0 + 1, j1))
    pairs.sort()
    return pairs
