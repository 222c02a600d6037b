"""Draw a benchmark run written by ``bench.py --json FILE``.

    python benchmarks/plot.py FILE OUT.png

One row per case and peer: tarnwick's time as a multiple of the peer's (the ratio of the
medians; left of 1 tarnwick is faster), the middle half of the ratios of samples taken side by
side as a bar (the spread without the outliers of a busy machine), and the case's goal as a
vertical tick. Met goals are green, missed ones red, cases without a goal
grey.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402

COLOURS = {"ok": "#2e7d32", "missed": "#c62828", "none": "#757575"}
MARKERS = {"peer": "o", "torch": "s"}


def _rows(document: dict) -> list[dict]:
    """One row per comparison of tarnwick with a peer, in the run's order."""
    rows = []
    for result in document["results"]:
        ours = result["sides"][0]
        for side, comparison in zip(result["sides"][1:], result["comparisons"]):
            pairs = list(zip(ours.get("samples", []), side.get("samples", [])))
            if len(pairs) >= 2:  # interleaved samples: each pair saw the same machine state
                low, _, high = statistics.quantiles([a / b for a, b in pairs], n=4)
            else:
                low, high = ours["min"] / side["max"], ours["max"] / side["min"]
            goal = comparison["goal"]
            state = "none" if goal is None else ("missed" if comparison["missed"] else "ok")
            label = f"{result['name']}  vs  {side['name']}"
            rows.append({"family": result["family"], "label": label, "role": side["role"],
                         "ratio": comparison["ratio"], "low": low, "high": high, "goal": goal,
                         "state": state})
    return rows


def _title(environment: dict) -> str:
    machine, versions = environment["machine"], environment["versions"]
    parts = [f"tarnwick {versions.get('tarnwick') or '?'}", f"NumPy {versions['numpy']}"]
    if versions.get("torch"):
        parts.append(f"torch {versions['torch']}")
    return (f"{', '.join(parts)}, Python {versions['python']}\n{machine['cpu']}, "
            f"{machine['usable_cpus']} of {machine['logical_cpus']} CPUs, "
            f"pool of {environment['threads']['tarnwick_pool']} threads, "
            f"{environment['date']}")


def plot(document: dict, out: Path) -> None:
    rows = _rows(document)
    if not rows:
        raise SystemExit("plot.py: the run has no cases to draw")
    height = 1.6 + 0.2 * len(rows)
    fig, ax = plt.subplots(figsize=(11, height))
    ys = range(len(rows))[::-1]  # the first case at the top
    for y, row in zip(ys, rows):
        colour = COLOURS[row["state"]]
        ax.plot([row["low"], row["high"]], [y, y], color=colour, alpha=0.35, linewidth=3,
                solid_capstyle="butt")
        ax.plot(row["ratio"], y, MARKERS.get(row["role"], "o"), color=colour, markersize=5)
        if row["goal"] is not None:
            ax.plot(row["goal"], y, "|", color="black", markersize=11, markeredgewidth=1.5)
    ax.axvline(1.0, color="black", linewidth=0.8, linestyle="--")
    ax.set_xscale("log")
    ax.set_yticks(list(ys), [r["label"] for r in rows], fontsize=7)
    ax.set_ylim(-0.7, len(rows) - 0.3)
    ax.set_xlabel("tarnwick time / peer time (dot: medians; bar: middle half of paired samples; "
                  "|: goal; left of 1: tarnwick faster)", fontsize=8)
    # Family names beside their first row.
    for i, row in enumerate(rows):
        if i == 0 or rows[i - 1]["family"] != row["family"]:
            ax.axhline(ys[i] + 0.5, color="#bdbdbd", linewidth=0.6)
            ax.annotate(row["family"], xy=(1.0, ys[i]), xycoords=("axes fraction", "data"),
                        xytext=(4, 0), textcoords="offset points", fontsize=8,
                        fontweight="bold", va="center")
    handles = [plt.Line2D([], [], marker=MARKERS[r], linestyle="", color="black", label=l)
               for r, l in (("peer", "vs NumPy / Python peer"), ("torch", "vs PyTorch CPU"))]
    handles += [plt.Line2D([], [], marker="o", linestyle="", color=COLOURS[s], label=l)
                for s, l in (("ok", "goal met"), ("missed", "goal missed"), ("none", "no goal"))]
    ax.legend(handles=handles, loc="lower center", bbox_to_anchor=(0.5, 1.0),
              ncols=len(handles), fontsize=7, frameon=False)
    ax.grid(axis="x", which="both", color="#eeeeee")
    ax.set_title(_title(document["environment"]), fontsize=8, pad=22)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    plt.close(fig)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="plot.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("file", type=Path, help="JSON written by bench.py --json")
    parser.add_argument("out", type=Path, help="the picture to write (PNG)")
    args = parser.parse_args(argv)
    try:
        document = json.loads(args.file.read_text())
    except (OSError, ValueError) as error:
        parser.error(f"cannot read {args.file}: {error}")
    plot(document, args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
