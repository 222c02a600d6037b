"""Draw a benchmark run written by ``bench.py --json FILE``.

    python benchmarks/plot.py FILE OUT.png                    every case (the docs' picture)
    python benchmarks/plot.py FILE OUT.png --family linear    the cases of one family
    python benchmarks/plot.py FILE OUT.png --summary          one strip per family and peer

One row per case and peer: tarnwick's time as a multiple of the peer's (the ratio of the
medians; left of 1 tarnwick is faster), the middle half of the ratios of samples taken side by
side as a bar (the spread without the outliers of a busy machine), and the case's goal as a
vertical tick. Met goals are green, missed ones red, cases without a goal grey. The summary
draws every case of a family against one peer as a dot on one strip, with the median ratio
marked, and stays legible at the width of a README.
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FixedFormatter, FixedLocator, NullLocator  # noqa: E402

COLOURS = {"ok": "#2e7d32", "missed": "#c62828", "none": "#757575"}
MARKERS = {"peer": "o", "torch": "s", "self": "D"}
PEER_LABELS = {"peer": "vs NumPy / Python peer", "torch": "vs PyTorch CPU",
               "self": "vs tarnwick on contiguous copies"}
SHORT_PEER_LABELS = {"peer": "NumPy / Python", "torch": "PyTorch CPU",
                     "self": "its own contiguous run"}
STATE_LABELS = {"ok": "goal met", "missed": "goal missed", "none": "no goal"}


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
            # Layout cases time tarnwick against itself on contiguous copies.
            role = "self" if side["name"].startswith("ours") else side["role"]
            rows.append({"family": result["family"], "label": label, "role": role,
                         "ratio": comparison["ratio"], "low": low, "high": high, "goal": goal,
                         "state": state})
    return rows


def _title(environment: dict) -> str:
    machine, versions = environment["machine"], environment["versions"]
    parts = [f"tarnwick {versions.get('tarnwick') or '?'}", f"NumPy {versions['numpy']}"]
    if versions.get("torch"):
        parts.append(f"torch {versions['torch']}")
    level = environment.get("tarnwick_cpu_level")
    return (f"{', '.join(parts)}, Python {versions['python']}\n{machine['cpu']}, "
            f"{machine['usable_cpus']} of {machine['logical_cpus']} CPUs, "
            f"CPU level {level or 'not recorded'}, "
            f"pool of {environment['threads']['tarnwick_pool']} threads, "
            f"{environment['date'][:10]}")


def _decades(low: float, high: float) -> list[float]:
    """Ticks at 1, 2 and 5 times the powers of ten from `low` to `high`."""
    ticks = []
    exponent = math.floor(math.log10(low))
    while 10.0 ** exponent <= high:
        ticks += [m * 10.0 ** exponent for m in (1, 2, 5)
                  if low <= m * 10.0 ** exponent <= high]
        exponent += 1
    return ticks


def _ratio_axis(ax, values: list[float], fontsize: float) -> None:
    """A log axis that spans at least 0.1 to 5 and labels 1-2-5 steps in plain numbers."""
    values = [v for v in values if v and math.isfinite(v) and v > 0]
    low = min([0.1] + [v / 1.25 for v in values])
    high = max([5.0] + [v * 1.25 for v in values])
    ax.set_xscale("log")
    ax.set_xlim(low, high)
    ticks = _decades(low, high)
    ax.xaxis.set_major_locator(FixedLocator(ticks))
    ax.xaxis.set_major_formatter(FixedFormatter([f"{t:g}" for t in ticks]))
    ax.xaxis.set_minor_locator(NullLocator())
    ax.tick_params(axis="x", labelsize=fontsize)
    ax.grid(axis="x", color="#e6e6e6")
    ax.axvline(1.0, color="black", linewidth=0.8, linestyle="--")


def _legend(ax, roles: set[str], states: set[str], fontsize: float, peer_labels: dict,
            rows: int = 1) -> None:
    """Only the peers and goal states that the picture shows."""
    handles = [plt.Line2D([], [], marker=MARKERS[r], linestyle="", color="black",
                          label=peer_labels[r]) for r in MARKERS if r in roles]
    handles += [plt.Line2D([], [], marker="o", linestyle="", color=COLOURS[s],
                           label=STATE_LABELS[s]) for s in COLOURS if s in states]
    ax.legend(handles=handles, loc="lower center", bbox_to_anchor=(0.5, 1.0),
              ncols=math.ceil(len(handles) / rows), fontsize=fontsize, frameon=False)


def plot(document: dict, out: Path, family: str | None = None) -> None:
    fig = draw(document, family)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    plt.close(fig)


def plot_summary(document: dict, out: Path) -> None:
    fig = draw_summary(document)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    plt.close(fig)


def draw(document: dict, family: str | None = None) -> plt.Figure:
    """One row per case and peer, of every family or of one."""
    rows = _rows(document)
    if family is not None:
        families = sorted({r["family"] for r in rows})
        rows = [r for r in rows if r["family"] == family]
        if not rows:
            raise SystemExit(f"plot.py: no family {family!r} in the run "
                             f"(it has {', '.join(families)})")
    if not rows:
        raise SystemExit("plot.py: the run has no cases to draw")
    compact = family is not None
    label_size = 8 if compact else 7
    height = 1.8 + (0.24 if compact else 0.2) * len(rows)
    fig, ax = plt.subplots(figsize=(8.2 if compact else 11, height))
    ys = range(len(rows))[::-1]  # the first case at the top
    for y, row in zip(ys, rows):
        colour = COLOURS[row["state"]]
        ax.plot([row["low"], row["high"]], [y, y], color=colour, alpha=0.35, linewidth=3,
                solid_capstyle="butt")
        ax.plot(row["ratio"], y, MARKERS.get(row["role"], "o"), color=colour, markersize=5)
        if row["goal"] is not None:
            ax.plot(row["goal"], y, "|", color="black", markersize=11, markeredgewidth=1.5)
    _ratio_axis(ax, [v for r in rows for v in (r["low"], r["high"], r["ratio"], r["goal"])],
                label_size + 1)
    ax.set_yticks(list(ys), [r["label"] for r in rows], fontsize=label_size)
    ax.set_ylim(-0.7, len(rows) - 0.3)
    ax.set_xlabel("tarnwick time / peer time (dot: medians; bar: middle half of paired samples; "
                  "|: goal; left of 1: tarnwick faster)", fontsize=label_size)
    if not compact:
        # Family names beside their first row.
        for i, row in enumerate(rows):
            if i == 0 or rows[i - 1]["family"] != row["family"]:
                ax.axhline(ys[i] + 0.5, color="#bdbdbd", linewidth=0.6)
                ax.annotate(row["family"], xy=(1.0, ys[i]), xycoords=("axes fraction", "data"),
                            xytext=(4, 0), textcoords="offset points", fontsize=8,
                            fontweight="bold", va="center")
    _legend(ax, {r["role"] for r in rows}, {r["state"] for r in rows}, label_size, PEER_LABELS)
    title = _title(document["environment"])
    if compact:
        title = f"{family}: " + title
    ax.set_title(title, fontsize=label_size, pad=22)
    return fig


def draw_summary(document: dict) -> plt.Figure:
    """One strip per family and peer: a dot per case at its ratio, the median as a bar."""
    rows = _rows(document)
    if not rows:
        raise SystemExit("plot.py: the run has no cases to draw")
    strips: dict[tuple[str, str], list[dict]] = {}
    for row in rows:
        strips.setdefault((row["family"], row["role"]), []).append(row)
    # Narrow enough to be shown at its own size on a README page (about 800 pixels).
    fig, ax = plt.subplots(figsize=(6.4, 1.9 + 0.55 * len(strips)))
    ys = range(len(strips))[::-1]
    labels = []
    for y, ((family, role), members) in zip(ys, strips.items()):
        for i, row in enumerate(members):
            jitter = ((i * 7) % 9 - 4) * 0.045  # spread neighbours apart, the same every time
            ax.plot(row["ratio"], y + jitter, MARKERS.get(role, "o"),
                    color=COLOURS[row["state"]], markersize=5, alpha=0.85)
        median = statistics.median(r["ratio"] for r in members)
        ax.plot([median, median], [y - 0.3, y + 0.3], color="black", linewidth=2)
        labels.append(f"{family} vs {SHORT_PEER_LABELS.get(role, role)}\n"
                      f"{len(members)} cases, median {median:.2g}")
    _ratio_axis(ax, [r["ratio"] for r in rows], 10)
    ax.set_yticks(list(ys), labels, fontsize=10)
    ax.set_ylim(-0.6, len(strips) - 0.4)
    for y in list(ys)[:-1]:
        ax.axhline(y - 0.5, color="#d0d0d0", linewidth=0.6)
    ax.set_xlabel("tarnwick time / peer time, one dot per case\n(left of 1: tarnwick faster; "
                  "black bar: median)", fontsize=10)
    _legend(ax, {r["role"] for r in rows}, {r["state"] for r in rows}, 9.5, PEER_LABELS, rows=2)
    ax.set_title(_title(document["environment"]), fontsize=8.5, pad=44)
    return fig


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="plot.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("file", type=Path, help="JSON written by bench.py --json")
    parser.add_argument("out", type=Path, help="the picture to write (PNG)")
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument("--family", help="draw only this family's cases, compactly")
    choice.add_argument("--summary", action="store_true",
                        help="one strip per family and peer instead of one row per case")
    args = parser.parse_args(argv)
    try:
        document = json.loads(args.file.read_text())
    except (OSError, ValueError) as error:
        parser.error(f"cannot read {args.file}: {error}")
    if args.summary:
        plot_summary(document, args.out)
    else:
        plot(document, args.out, args.family)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
