"""Draws plot.png from results.json: time against cell count for each contender, log-log.

usage: python bench/plot.py RESULTS_FOLDER   (needs matplotlib: pip install '.[bench]')
"""
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import ticker  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import CONTENDERS, stats  # noqa: E402

STYLE = {"floor": ("tab:gray", "s"), "merge_files": ("tab:blue", "o"),
         "floor_whole": ("tab:brown", "D"),
         "driver": ("tab:green", "^"), "nbdime": ("tab:red", "v"),
         "git_merge_file": ("tab:purple", "x")}


def main(folder):
    with open(os.path.join(folder, "results.json"), encoding="utf-8") as f:
        data = json.load(f)
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.5), sharey=True)
    for ax, kind in ((left, "synthetic"), (right, "corpus")):
        for key, title in CONTENDERS:
            color, marker = STYLE[key]
            labelled = False
            for variant, dash in (("mixed", "-"), ("nosrc", "--"), ("rerun", ""),
                                  ("edits", "")):
                pts = []
                for row in data["cases"]:
                    info = row["case"]
                    if info["kind"] != kind or info["variant"] != variant:
                        continue
                    s = stats(row["results"].get(key))
                    if s and not row["results"][key].get("status"):
                        pts.append((info["cells"], s[0], s[1], s[2]))
                if not pts:
                    continue
                pts.sort()
                xs = [p[0] for p in pts]
                ys = [p[1] for p in pts]
                label = None if labelled else title
                labelled = True
                if dash:
                    err = [[p[1] - p[2] for p in pts], [p[3] - p[1] for p in pts]]
                    ax.errorbar(xs, ys, yerr=err, color=color, marker=marker, linestyle=dash,
                                label=label, capsize=3)
                elif marker == "x":  # a line marker has no face to leave hollow
                    ax.scatter(xs, ys, marker=marker, label=label, color=color)
                else:
                    ax.scatter(xs, ys, marker=marker, label=label, edgecolors=color,
                               facecolors=color if variant == "rerun" else "none")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.xaxis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        ax.xaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: format(int(v), ",")))
        ax.xaxis.set_minor_formatter(ticker.NullFormatter())
        ax.set_xlabel("cells in the base notebook")
        ax.grid(True, which="both", alpha=0.3)
        ax.set_title("synthetic cases (solid: mixed, dashed: no source merge)"
                     if kind == "synthetic"
                     else "real notebooks (filled: re-run, hollow: edits)")
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize=8, loc="upper left")
    left.set_ylabel("seconds per merge (median; bars: fastest to slowest)")
    fig.suptitle("Notebook merge time against cell count (%s, %s cores)"
                 % (data["machine"]["date"], data["machine"]["cores"]))
    fig.tight_layout()
    fig.savefig(os.path.join(folder, "plot.png"), dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
