"""Figures and targets of a benchmark run: statistics, the target ratios, the markdown report."""
import json
import statistics

CONTENDERS = (  # key in a case's results, column title
    ("floor", "floor in-process"),
    ("merge_files", "merge_files"),
    ("floor_whole", "whole-process floor"),
    ("driver", "driver command"),
    ("nbdime", "nbdime driver"),
    ("git_merge_file", "git merge-file (raw)"),
)


# ---- single measurements -------------------------------------------------------------------

def stats(res):
    """(median, min, max) of a measurement, or None when it has no times."""
    times = (res or {}).get("times") or []
    if not times:
        return None
    return statistics.median(times), min(times), max(times)


def estimate(res, timeout):
    """(seconds, relation): the median with "=", or, for a run stopped at the time limit, the
    limit as a lower bound with ">"; None when nothing is known."""
    if not res:
        return None
    if res.get("status") == "timeout":
        s = stats(res)
        limit = res.get("limit_s", timeout)
        return (max(s[0], limit) if s else limit), ">"
    if res.get("status"):
        return None
    s = stats(res)
    return (s[0], "=") if s else None


def _spread(res):
    """How far a measurement's runs spread: the interquartile range (the middle half of the
    runs, as the median moves with them), or fastest to slowest for fewer than four runs."""
    times = (res or {}).get("times") or []
    if len(times) >= 4:
        q1, _, q3 = statistics.quantiles(times, n=4)
        return q3 - q1
    s = stats(res)
    return s[2] - s[1] if s else 0.0


def fmt_time(t):
    if t is None:
        return "–"
    if t >= 1:
        return "%.2f s" % t
    if t >= 1e-3:
        return "%.1f ms" % (t * 1e3)
    return "%.0f µs" % (t * 1e6)


def describe(res):
    """One cell of the table: "median (min–max)", or the status."""
    if res is None:
        return "–"
    if "rss_kb" in res:  # the leak check
        if res.get("status"):
            return res["status"]
        r = res["rss_kb"]
        lo, hi = r.get(str(res["low"])), r.get(str(res["high"]))
        if lo is None or hi is None:
            return "incomplete"
        text = "RSS %s after %d merges, %s after %d (%+d KB)" % (
            fmt_kb(lo), res["low"], fmt_kb(hi), res["high"], hi - lo)
        if res["high"] < res.get("wanted", res["high"]):
            text += "; stopped at the time limit (%.0f s), %d merges wanted" % (
                res["seconds"], res["wanted"])
        return text
    status = res.get("status")
    s = stats(res)
    if status == "timeout":
        limit = " (> %g s)" % res["limit_s"] if res.get("limit_s") else ""
        return "timeout" + limit + ("; %s in %d runs before" % (fmt_time(s[0]), len(res["times"]))
                            if s else "")
    if status:
        return status
    if not s:
        return "–"
    if len(res["times"]) == 1:
        return "%s (1 run)" % fmt_time(s[0])
    return "%s (%s–%s, n=%d)" % (fmt_time(s[0]), fmt_time(s[1]), fmt_time(s[2]),
                                 len(res["times"]))


def fmt_kb(kb):
    return "–" if kb is None else "%.1f MB" % (kb / 1024)


def one_line(res):
    parts = []
    for key, _ in CONTENDERS:
        r = res.get(key)
        s = stats(r)
        if r and r.get("status"):
            parts.append("%s=%s" % (key, r["status"].split(":")[0]))
        elif s:
            parts.append("%s=%s" % (key, fmt_time(s[0])))
    return "  ".join(parts)


# ---- targets -------------------------------------------------------------------------------

def _ratio(num, den):
    """Ratio of two estimates, with its relation ("=", ">" or "<"), or None."""
    if not num or not den or den[0] <= 0:
        return None
    if num[1] == ">" and den[1] == ">":
        return None
    rel = ">" if num[1] == ">" else "<" if den[1] == ">" else "="
    return num[0] / den[0], rel


def paired_ratio(res, timeout):
    """merge_files / floor in-process: the median of the ratios of the rounds, each merge against
    the floor run right after it. The machine's speed drifts between rounds (the floor at 1,000
    cells moved from 74 to 128 ms within one run) and each round's two runs drift together, so
    this ratio is steadier than the ratio of the two medians, which it replaces when the run
    has at least four rounds."""
    merge = res.get("merge_files") or {}
    pairs = [p for p in merge.get("pairs") or [] if p[1] > 0]
    if merge.get("status") or len(pairs) < 4:
        return _ratio(estimate(merge, timeout), estimate(res.get("floor"), timeout))
    return statistics.median(a / b for a, b in pairs), "="


def _verdict(ratio, op, target):
    """True / False when the ratio decides the target, None when it cannot."""
    if ratio is None:
        return None
    value, rel = ratio
    if op == "<=":
        if rel in ("=", "<") and value <= target:
            return True
        if rel in ("=", ">") and value > target:
            return False
        return None
    if rel in ("=", ">") and value >= target:
        return True
    if rel in ("=", "<") and value < target:
        return False
    return None


def ratios(data):
    """Every target ratio that this run can state, with whether it holds."""
    timeout = data["settings"]["timeout_s"]
    by_name = {row["case"]["name"]: row for row in data["cases"]}
    out = []

    def est(name, key):
        row = by_name.get(name)
        return estimate(row["results"].get(key), timeout) if row else None

    def add(label, ratio, op, target, why=""):
        if why == "case not run":
            return
        holds = _verdict(ratio, op, target)
        if not ratio:
            why = why or "not measured"
        elif holds is None:
            why = "only a bound is known (a run hit the time limit)"
        else:
            why = ""
        out.append({"label": label, "value": ratio[0] if ratio else None,
                    "relation": ratio[1] if ratio else None, "op": op, "target": target,
                    "holds": holds, "why": why})

    def why_missing(name, *keys):
        row = by_name.get(name)
        if not row:
            return "case not run"
        for key in keys:
            st = row["results"].get(key, {}).get("status")
            if st:
                return "%s: %s" % (key, st)
        return "not measured"

    units = data["units"]
    git_unit = estimate(units.get("git_merge_file_small"), timeout)
    # Rows for a size appear when the run measured it (100,000 cells only with --sizes).
    sizes = sorted({int(row["case"]["name"].split("-")[1]) for row in data["cases"]
                    if row["case"]["kind"] == "synthetic"})
    synthetic = [name for n in sizes if n >= 1000 for name in (
        "synthetic-%d-mixed" % n, "synthetic-%d-nosrc" % n) if name in by_name]
    corpus = [row["case"]["name"] for row in data["cases"] if row["case"]["kind"] == "corpus"]

    # The whole command as git starts it, against a fresh interpreter that only reads the three
    # notebooks and writes one in the same layout.
    for name in synthetic + corpus:
        add("%s: driver command / whole-process floor" % name,
            _ratio(est(name, "driver"), est(name, "floor_whole")), "<=", 1.5,
            why_missing(name, "driver", "floor_whole"))
    for name in synthetic + corpus:
        row = by_name.get(name)
        res = row["results"] if row else {}
        a, b = peak_rss(res.get("driver")), peak_rss(res.get("floor_whole"))
        add("%s: peak RSS driver command / whole-process floor" % name,
            (a[0] / b[0], "=") if a and b and a[1] == b[1] == "=" else None, "<=", 1.5,
            why_missing(name, "driver", "floor_whole") if not (a and b) else
            "a reading is at the spawner's own memory (%s)" % fmt_kb(max(a[0], b[0])))
    add("driver command on a small notebook / python -c \"import json\"",
        _ratio(estimate(units.get("driver_small"), timeout),
               estimate(units.get("import_json"), timeout)), "<=", 2.5,
        (units.get("driver_small") or {}).get("status", "")
        or (units.get("import_json") or {}).get("status", ""))

    for n in sizes:
        if n < 1000:
            continue
        name = "synthetic-%d-nosrc" % n
        add("no source merge, %s cells: merge_files / floor in-process" % format(n, ","),
            paired_ratio(by_name[name]["results"], timeout) if name in by_name else None, "<=", 1.2,
            why_missing(name, "merge_files", "floor"))

    for n in sizes:
        if n < 1000:
            continue
        mixed, nosrc = "synthetic-%d-mixed" % n, "synthetic-%d-nosrc" % n
        if mixed not in by_name or nosrc not in by_name:
            continue
        k = by_name[mixed]["case"]["source_merges"]
        runs = by_name[mixed].get("git_runs")
        merges = "%d merges" % k if runs is None else "%d merges, %d by git" % (k, runs)
        for key, label, target in (
                ("merge_files", "per source merge (%s cells: (mixed − nosrc) / %s) / "
                 "one git merge-file", 0.5),
                ("driver", "per source merge in the driver command (%s cells: (mixed − nosrc) "
                 "/ %s) / one git merge-file (for reference)", 0.5)):
            a, b = est(mixed, key), est(nosrc, key)
            per = None
            noise = ""
            if a and b and a[1] == "=" and b[1] == "=" and k:
                per = ((a[0] - b[0]) / k, "=")
                spread = max(_spread(by_name[mixed]["results"][key]),
                             _spread(by_name[nosrc]["results"][key]))
                if a[0] - b[0] <= spread:
                    noise = "mixed − nosrc (%s) is within the runs' interquartile range (%s)" % (
                        fmt_time(a[0] - b[0]), fmt_time(spread))
            add(label % (format(n, ","), merges), _ratio(per, git_unit), "<=", target,
                why_missing(mixed, key) if not a else why_missing(nosrc, key))
            if noise:
                out[-1].update(holds=None, why=noise)
    su = estimate(units.get("merge_source_inproc"), timeout)
    add("one _merge_source call in-process / one git merge-file (for reference)",
        _ratio(su, git_unit), "<=", 1.2,
        (units.get("merge_source_inproc") or {}).get("status", ""))

    steps = [(n0, n1) for n0, n1 in zip(sizes, sizes[1:]) if n0 >= 1000]
    for variant in ("nosrc", "mixed"):
        for n0, n1 in steps:
            big, small = "synthetic-%d-%s" % (n1, variant), "synthetic-%d-%s" % (n0, variant)
            if big not in by_name or small not in by_name:
                continue
            a, b = est(big, "merge_files"), est(small, "merge_files")
            per_big = (a[0] / n1, a[1]) if a else None
            per_small = (b[0] / n0, b[1]) if b else None
            sizes_text = (format(n1, ","), format(n0, ","))
            add("growth (%s): time per cell at %s / at %s" % ((variant,) + sizes_text),
                _ratio(per_big, per_small), "<=", 1.3,
                why_missing(big, "merge_files") if not a else why_missing(small, "merge_files"))
            # The floor itself grows (the host's reader and allocator on a heap ten times
            # larger): the same growth measured against the floor's shows what the merge adds.
            fa, fb = est(big, "floor"), est(small, "floor")
            growth, floor_growth = _ratio(per_big, per_small), _ratio(fa, fb)
            floor_growth = (floor_growth[0] * n0 / n1, floor_growth[1]) if floor_growth else None
            add("growth (%s) against the floor's (floor per cell at %s / at %s: %s, for "
                "reference)" % ((variant,) + sizes_text + (
                    "%.2f×" % floor_growth[0] if floor_growth else "?",)),
                _ratio(growth, floor_growth), "<=", 1.3,
                why_missing(big, "merge_files", "floor") if not (a and fa)
                else why_missing(small, "merge_files", "floor"))

    for name in synthetic:
        add("%s: nbdime command / driver command" % name,
            _ratio(est(name, "nbdime"), est(name, "driver")), ">=", 20,
            why_missing(name, "driver", "nbdime"))
    for name in corpus:
        add("%s: nbdime command / driver command" % name,
            _ratio(est(name, "nbdime"), est(name, "driver")), ">=", 5,
            why_missing(name, "driver", "nbdime"))

    for name in synthetic:
        row = by_name.get(name)
        rss = row.get("rss", {}) if row else {}
        r = None
        if "merge" in rss and "floor" in rss:
            r = (rss["merge"]["peak_kb"] / rss["floor"]["peak_kb"], "=")
        add("%s: peak RSS merge_files / floor, in-process" % name, r, "<=", 1.5,
            why_missing(name, "merge_files"))

    for name in corpus:
        if by_name[name]["case"]["variant"] == "rerun":
            add("%s: merge_files / floor in-process" % name,
                paired_ratio(by_name[name]["results"], timeout), "<=", 2,
                why_missing(name, "merge_files", "floor"))

    leak = units.get("leak") or {}
    r = leak.get("rss_kb", {})
    lo, hi = r.get(str(leak.get("low"))), r.get(str(leak.get("high")))
    per = None
    if lo is not None and hi is not None and leak["high"] > leak["low"]:
        per = (hi - lo) / (leak["high"] - leak["low"])
    out.append({"label": "leak: RSS growth per merge from %s to %s merges (KB)"
                % (leak.get("low"), leak.get("high")),
                "value": per, "relation": "=", "op": "<=", "target": 2,
                "holds": (per <= 2) if per is not None else None,
                "why": leak.get("status", "not measured")})
    return out


def peak_rss(res):
    """(median peak in KB, "=") of a whole command's runs; (kb, "<=") when the reading is at
    the spawner's own memory (the command's own peak may be lower); None when not measured."""
    kbs = (res or {}).get("peaks_kb") or []
    if not kbs or (res or {}).get("status"):
        return None
    kb = statistics.median(kbs)
    return (kb, "<=") if kb <= res.get("rss_bound_kb", 0) else (kb, "=")


def _fmt_ratio(r):
    if r["value"] is None:
        return "–"
    rel = "" if r["relation"] == "=" else r["relation"] + " "
    if "KB" in r["label"]:
        return "%s%+.2f" % (rel, r["value"])
    return "%s%.2f×" % (rel, r["value"]) if r["value"] < 100 else "%s%.0f×" % (rel, r["value"])


def _fmt_target(r):
    op = "≤" if r["op"] == "<=" else "≥"
    return "%s %s" % (op, r["target"]) if "KB" in r["label"] else "%s %g×" % (op, r["target"])


def _fmt_holds(r):
    return {True: "yes", False: "NO", None: "n/a"}[r["holds"]]


def ratio_lines(rs):
    lines = ["target ratios:"]
    for r in rs:
        extra = "  (%s)" % r["why"] if r["value"] is None or r["holds"] is None else ""
        lines.append("  %-4s %-84s %10s  target %-8s%s" % (
            _fmt_holds(r), r["label"], _fmt_ratio(r), _fmt_target(r), extra))
    return "\n".join(lines)


# ---- the report ----------------------------------------------------------------------------

def markdown(data, plot_note=None):
    m = data["machine"]
    s = data["settings"]
    lines = [
        "# Merge benchmark results", "",
        "Command: `%s`, %s, %.0f s in all." % (data["command"], m["date"], data["seconds"]), "",
        "Machine: %s, %s cores, %s; %s; Python %s; %s; nbdime %s; load average %s." % (
            m["cpu"] or "unknown CPU", m["cores"], m["memory"], m["os"], m["python"],
            m["git"], m["nbdime"] or "not measured", m.get("load", "?")), "",
        "Measured: commit %s; extension %s, from %s." % (
            m["commit"], m.get("extension", "?"), m.get("package", "?")), "",
        "Each figure is the median of up to %d runs (fewer once %g s are spent; in-process merges "
        "of up to a few hundred milliseconds get up to 50, about two seconds' worth), with the "
        "fastest and slowest run in brackets; one run may take at most %g s, one nbdime run "
        "%g s (else \"timeout\", and the limit counts as a lower bound)."
        % (s["repeats"], s["budget_s"], s["timeout_s"], s.get("nbdime_timeout_s", 0)), "",
        "## Targets", "",
        "| holds | ratio | measured | target | note |", "|---|---|---:|---|---|"]
    for r in data["ratios"]:
        lines.append("| %s | %s | %s | %s | %s |" % (
            _fmt_holds(r), r["label"], _fmt_ratio(r), _fmt_target(r),
            _cell(r["why"]) if r["value"] is None or r["holds"] is None else ""))
    lines += ["", "## Unit costs", "", "| what | time |", "|---|---|"]
    u = data["units"]
    for key, label in (
            ("git_merge_file_small", "`git merge-file` process on three small files"),
            ("merge_source_inproc", "`_merge_source` on three small line lists, in-process"),
            ("import_json", "`python -c \"import json\"`"),
            ("import_baseline", "`python -c \"import git, jsondiff\"` (for reference)"),
            ("driver_small", "driver command on synthetic-100-nosrc"),
            ("leak", "leak check (%s, one process)"
             % (u.get("leak") or {}).get("case", "synthetic-20-mixed"))):
        text = describe(u.get(key))
        rss = peak_rss(u.get(key))
        if rss:
            text += "; peak RSS %s%s" % ("≤ " if rss[1] != "=" else "", fmt_kb(rss[0]))
        lines.append("| %s | %s |" % (label, _cell(text)))
    spawner = s.get("spawner_kb")
    lines += ["", "## Cases", "",
              "Sizes are the three notebook files together; \"merges\" is the number of "
              "cells whose sources the merge has to merge through `git merge-file`. In "
              "process: the floor (`json.load` of the three notebooks, `json.dump` of one in "
              "`merge_files`' one-line form) and `merge_files`, runs in turns; their peak RSS "
              "each in a process of its own after the same imports. "
              "Whole processes, as git starts the driver: the whole-process floor (a fresh "
              "interpreter started with `-m` that reads the three notebooks with `json.load` "
              "and writes one in the layout the driver writes) and the driver command, runs "
              "in turns; their peak RSS is each process's own (`os.wait4`)%s." % (
                  ", read from a spawner of %s" % fmt_kb(spawner) if spawner else ""), "",
              "| case | cells | merges | size | " +
              " | ".join(title for _, title in CONTENDERS[:2]) + " | merge / floor | " +
              " | ".join(title for _, title in CONTENDERS[2:4]) + " | driver / floor | " +
              CONTENDERS[4][1] + " | nbdime / driver | " +
              " | ".join(title for _, title in CONTENDERS[5:]) + " | peak RSS whole floor | peak RSS driver | RSS driver / floor | "
              "peak RSS floor in-process | peak RSS merge in-process |",
              "|---|---:|---:|---:|" + "---|---|---:|" * 2 + "---|---:|---|" +
              "---:|" * 5]
    notes = []

    def short(key, res):
        """The table keeps the first words of a status; the whole text goes to the notes."""
        text = describe(res)
        status = (res or {}).get("status")
        if status and ":" in status:
            note = "%s: %s" % (dict(CONTENDERS)[key], status)
            if note not in notes:
                notes.append(note)
            return "%s [%d]" % (status.split(":")[0], notes.index(note) + 1)
        return text

    def ratio_text(num, den):
        r = paired_ratio(res, s["timeout_s"]) if (num, den) == ("merge_files", "floor") else \
            _ratio(estimate(res.get(num), s["timeout_s"]), estimate(res.get(den), s["timeout_s"]))
        return ("%s%.2f" % ("" if r[1] == "=" else r[1], r[0])) if r else "–"

    def rss_text(key):
        r = peak_rss(res.get(key))
        return ("≤ " if r[1] != "=" else "") + fmt_kb(r[0]) if r else "–"

    for row in data["cases"]:
        info, res, rss = row["case"], row["results"], row.get("rss", {})
        size = sum(info.get("bytes", {}).values()) / 1e6
        a, b = peak_rss(res.get("driver")), peak_rss(res.get("floor_whole"))
        cells = [_cell(short(key, res.get(key))) for key, _ in CONTENDERS]
        lines.append("| %s | %s | %s | %.1f MB | %s |" % (
            info["name"], format(info["cells"], ","), merges_text(row), size,
            " | ".join(cells[:2] + [ratio_text("merge_files", "floor")] + cells[2:4] +
                       [ratio_text("driver", "floor_whole")] + cells[4:5] +
                       [ratio_text("nbdime", "driver")] + cells[5:] +
                       [rss_text("floor_whole"),
                        rss_text("driver"),
                        "%.2f" % (a[0] / b[0]) if a and b else "–",
                        fmt_kb(rss.get("floor", {}).get("peak_kb")),
                        fmt_kb(rss.get("merge", {}).get("peak_kb"))])))
    same = sum(1 for row in data["cases"] if row.get("floor_writes_ours"))
    odd = [row["case"]["name"] for row in data["cases"] if row.get("floor_writes_ours") is False]
    lines += ["", "The whole-process floor writes our side's file back byte for byte in %d of "
              "%d cases%s." % (same, len(data["cases"]),
                               "; not in: " + ", ".join(odd) if odd else "")]
    if notes:
        lines += [""] + ["%d. %s" % (i + 1, _cell(n)) for i, n in enumerate(notes)]
    lines += ["", "## Plot", ""]
    lines.append(plot_note or "![time against cell count](plot.png)")
    lines += ["", "## Cases in brief", "",
              "- `synthetic-N-mixed`: N generated cells (code with long text outputs, "
              "HTML tables and PNG images; markdown; non-ASCII text; a third of the cells "
              "components with names, parents and comments) and 20 notebook parameters. "
              "Each side edits, re-runs, renames and deletes cells and adds 3%; both sides "
              "edit some cells, cleanly mergeable or conflicting, and rename some "
              "components differently; the parameters change on both sides.",
              "- `synthetic-N-nosrc`: the same without the cells that both sides edited, so "
              "that no source merge is needed.",
              "- `corpus-NAME-rerun`: a real notebook with a canvas layer added; our side "
              "re-ran it (every output and execution count new), their side edited four cells.",
              "- `corpus-NAME-edits`: the same notebook; each side edited three cells, both "
              "edited two (one clean, one conflicting source merge), their side added a cell "
              "and renamed a component, our side deleted a cell.", ""]
    return "\n".join(lines)


def _cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def merges_text(row):
    """A case's source merges, and how many of them ran git when that was counted."""
    k, runs = row["case"].get("source_merges", ""), row.get("git_runs")
    return "%s" % k if runs is None or not k else "%s (%d by git)" % (k, runs)


def compare_digests(path, data):
    """Which cases give a merged file different from an earlier run's."""
    with open(path, encoding="utf-8") as f:
        old = {r["case"]["name"]: r.get("digest") for r in json.load(f)["cases"]}
    same, differ, missing = [], [], []
    for row in data["cases"]:
        name, new = row["case"]["name"], row.get("digest")
        if not new or not old.get(name):
            missing.append(name)
        elif new == old[name]:
            same.append(name)
        else:
            differ.append(name)
    lines = ["merged output against %s: %d identical, %d different, %d not comparable"
             % (path, len(same), len(differ), len(missing))]
    lines += ["  DIFFERENT: %s" % n for n in differ]
    return "\n".join(lines)


# ---- input shapes ------------------------------------------------------------------------------

GROWTH_TARGET, FLOOR_TARGET = 1.3, 3.0


def shape_ratios(rows, median):
    """For each shape: time per unit at the larger size over the smaller (<= 1.3), and
    merge_files over the floor at each size (<= 3)."""
    by_shape = {}
    for row in rows:
        by_shape.setdefault(row["case"]["shape"], []).append(row)
    out = []

    def add(label, value, target):
        out.append({"label": label, "value": value, "target": target,
                    "holds": value is not None and value <= target})

    for shape, pair in by_shape.items():
        pair.sort(key=lambda r: r["case"]["size"])
        per_unit = [median(r["merge_files"]) / r["case"]["size"]
                    if r["status"] == "ok" and r["merge_files"] else None for r in pair]
        if len(pair) == 2:
            small, large = pair
            unit = "MB" if "MB" in small["case"]["unit"] else small["case"]["unit"].rstrip("s")
            sizes = (format(large["case"]["size"], ","), format(small["case"]["size"], ","))
            growth = per_unit[1] / per_unit[0] if None not in per_unit else None
            add("%s: time per %s at %s / at %s" % ((shape, unit) + sizes), growth,
                GROWTH_TARGET)
            floors = [median(r["floor"]) for r in pair]
            if growth and None not in floors and floors[0]:
                floor_growth = floors[1] / floors[0] * small["case"]["size"] / large["case"]["size"]
                add("%s: the same against the floor's (floor per %s at %s / at %s: %.2f)"
                    % ((shape, unit) + sizes + (floor_growth,)), growth / floor_growth,
                    GROWTH_TARGET)
        for row in pair:
            m, f = median(row["merge_files"]), median(row["floor"])
            add("%s at %s %s: merge_files / floor" % (shape, format(row["case"]["size"], ","),
                                                     row["case"]["unit"]),
                m / f if row["status"] == "ok" and m and f else None, FLOOR_TARGET)
    return out


def shape_lines(rs):
    lines = ["input shapes:"]
    for r in rs:
        lines.append("  %-4s %-64s %8s  target <= %g" % (
            "ok" if r["holds"] else "MISS", r["label"],
            "%.2f" % r["value"] if r["value"] is not None else "–", r["target"]))
    return "\n".join(lines)


def shape_markdown(data, median):
    m = data["machine"]
    lines = [
        "# Input shapes", "",
        "Command: `%s`, %s. Machine: %s, %s cores, %s; %s; Python %s; %s; load average %s. "
        "Measured: commit %s; extension %s." % (
            data["command"], m["date"], m["cpu"] or "unknown CPU", m["cores"], m["memory"],
            m["os"], m["python"], m["git"], m.get("load", "?"), m["commit"],
            m.get("extension", "?")), "",
        "Each figure is the median of up to %d runs of `merge_files` in one process, against "
        "the floor (reading the three notebooks with `json.load` and writing one with "
        "`json.dump`) in the same process, runs alternating." % data["settings"]["repeats"], "",
        "| case | size | changes | floor | merge_files | merge / floor |",
        "|---|---|---|---|---|---|"]
    for row in data["cases"]:
        c = row["case"]
        mm, f = median(row["merge_files"]), median(row["floor"])
        lines.append("| %s | %s %s | %s | %s | %s | %s |" % (
            c["shape"], format(c["size"], ","), c["unit"], c["changes"], fmt_time(f),
            fmt_time(mm) if row["status"] == "ok" else row["status"],
            "%.2f" % (mm / f) if row["status"] == "ok" and mm and f else "–"))
    lines += ["", "| target | value | holds |", "|---|---|---|"]
    for r in data["ratios"]:
        lines.append("| %s ≤ %g | %s | %s |" % (
            r["label"], r["target"], "%.2f" % r["value"] if r["value"] is not None else "–",
            "yes" if r["holds"] else "**no**"))
    return "\n".join(lines) + "\n"


# ---- plain notebooks -------------------------------------------------------------------------

PLAIN_CONTENDERS = (("driver", "driver command"), ("nbdime", "nbdime driver"),
                    ("git_merge_file", "git merge-file (raw)"))


def plain_ratios(data):
    """The targets of the plain-notebook cases: the driver command against nbdime's (≥ 10× on
    every corpus case, ≥ 20× at 1,000 cells and more), and time per cell growing at most 1.3×
    from one size to the next (linear)."""
    timeout = data["settings"]["timeout_s"]
    out = []

    def add(label, ratio, op, target):
        holds = _verdict(ratio, op, target)
        out.append({"label": label, "value": ratio[0] if ratio else None,
                    "relation": ratio[1] if ratio else None, "op": op, "target": target,
                    "holds": holds, "why": "not measured" if not ratio else
                    "only a bound is known (a run hit the time limit)" if holds is None else ""})

    sizes = []
    for row in data["cases"]:
        info, res = row["case"], row["results"]
        driver = estimate(res.get("driver"), timeout)
        nbdime = estimate(res.get("nbdime"), timeout)
        synthetic = info["kind"] == "plain-synthetic"
        add("%s: nbdime command / driver command" % info["name"], _ratio(nbdime, driver), ">=",
            20 if synthetic else 10)
        if synthetic and driver and driver[1] == "=":
            sizes.append((info["cells"], driver[0]))
    sizes.sort()
    for (n0, t0), (n1, t1) in zip(sizes, sizes[1:]):
        add("growth: driver time per cell at %s / at %s cells" % (format(n1, ","), format(n0, ",")),
            ((t1 / n1) / (t0 / n0), "="), "<=", 1.3)
    return out


def plain_markdown(data):
    m = data["machine"]
    lines = [
        "# Plain-notebook merge benchmark", "",
        "Command: `%s`, %s, %.0f s in all." % (data["command"], m["date"], data["seconds"]), "",
        "Machine: %s, %s cores, %s; %s; Python %s; %s; nbdime %s; load average %s." % (
            m["cpu"] or "unknown CPU", m["cores"], m["memory"], m["os"], m["python"],
            m["git"], m["nbdime"] or "not measured", m.get("load", "?")), "",
        "Measured: commit %s, from %s." % (m["commit"], m.get("package", "?")), "",
        "Plain Jupyter notebooks (no component layer): the whole driver command as git starts "
        "it, against nbdime's merge driver. Each figure is the median of its runs with the "
        "fastest and slowest in brackets. One nbdime run may take %s times the driver "
        "command's median (at least %g s); a slower one is stopped, and the limit counts as a "
        "lower bound." % (data["settings"]["nbdime_factor"], data["settings"]["nbdime_min_s"]),
        "", "## Targets", "", "| holds | ratio | measured | target | note |",
        "|---|---|---:|---|---|"]
    for r in data["ratios"]:
        lines.append("| %s | %s | %s | %s | %s |" % (
            _fmt_holds(r), r["label"], _fmt_ratio(r), _fmt_target(r),
            _cell(r["why"]) if r["value"] is None or r["holds"] is None else ""))
    lines += ["", "## Cases", "",
              "Sizes are the three notebook files together; \"merges\" is the number of cells "
              "whose sources both sides edited (merged with git merge-file).", "",
              "| case | cells | merges | size | " +
              " | ".join(title for _, title in PLAIN_CONTENDERS) + " |",
              "|---|---:|---:|---:|" + "---|" * len(PLAIN_CONTENDERS)]
    for row in data["cases"]:
        info, res = row["case"], row["results"]
        size = sum(info.get("bytes", {}).values()) / 1e6
        lines.append("| %s | %s | %d | %.1f MB | %s |" % (
            info["name"], format(info["cells"], ","), info.get("source_merges", 0), size,
            " | ".join(_cell(describe(res.get(key))) for key, _ in PLAIN_CONTENDERS)))
    lines += ["", "## Cases in brief", "",
              "- `plain-N`: N generated plain cells without ids (paired by content), about 65% "
              "code with short text outputs; each side edits 1% of the cells, deletes 0.5% and "
              "inserts 1% at random places, both edit 0.2% (half lines apart, half the same "
              "line), our side re-ran 5%.",
              "- `plain-corpus-NAME-apart`: a real notebook as it is; each side edits three "
              "cells and inserts one in the middle, our side deletes one.",
              "- `plain-corpus-NAME-rerun`: our side re-ran every code cell, their side edited "
              "four cells.",
              "- `plain-corpus-NAME-same`: both sides edited the same line of one cell "
              "(a conflict block), and each two other cells.", ""]
    return "\n".join(lines)
