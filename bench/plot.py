#!/usr/bin/python3
"""Draws benchmark runs as the pictures of docs/.

    bench/plot.py RUN.json [RUN.json ...] [--out-dir DIR] [--only NAME ...] [--list]

RUN.json is what bench/run.sh leaves in its build directory (bench.json). Several runs are merged:
a run of the 1M drains joins the default run, and where runs hold the same benchmark the fastest
counts, as the fastest repetition does within a run, so that runs at different times on a machine
shared with other work give figures that other work disturbed least. Every figure of FIGURES whose benchmarks the runs hold is written to DIR/<name>.png
(DIR defaults to docs/ beside this folder); the others are skipped with a note. --list prints the
benchmark families of the runs and the figures that would be drawn.

A figure is a few lines: a regular expression over the benchmark names (as table.py reads them:
'drain/model/equal/1000', 'registry/createTask/threads:2') whose named groups say what a point is:
  x      the number on the horizontal axis (log scale when the figure says so);
  line   the line the point belongs to: one colour each;
  style  optional, a second grouping drawn as solid, dashed and dotted lines (with and without a
         model, say), in the order the figure's `styles` lists them.
`references` is an optional second expression whose matches are drawn as horizontal lines, named
by their `line` group. The value drawn is a row's CPU nanoseconds per job unless `value` names a
counter of the run ('fill_ns', 'bytes_per_task', ...); `unit` divides it for the axis.

Needs Debian's python3-matplotlib and nothing else.
"""
import argparse
import os
import re
import sys
from dataclasses import dataclass, field

import matplotlib

matplotlib.use("Agg")  # files only: no display needed
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import table  # noqa: E402  (reads a run's JSON the way the tables do)


@dataclass
class Figure:
    name: str
    title: str
    series: str
    xlabel: str
    ylabel: str = "CPU µs per job"
    references: str = ""
    value: str = "ns"
    unit: float = 1000.0
    logx: bool = True
    # Display names of `line` and `style` values; styles are drawn in this order (solid first).
    labels: dict = field(default_factory=dict)
    styles: dict = field(default_factory=dict)


# The priority patterns of the drain benchmarks.
PATTERNS = {
    "equal": "priorities all equal",
    "five-levels": "five levels (i % 5)",
    "scattered": "scattered over 0..1023",
    "rising": "rising (each at the top)",
}

FIGURES = [
    Figure(
        name="performance",
        title="A job's whole life on a busy queue, against the jobs it waits behind",
        series=r"^drain/(?P<style>queue|model)/(?P<line>[^/]+)/(?P<x>\d+)(?:/iterations:\d+)?$",
        references=r"^lifecycle/(?P<line>floor|one-object)/1000$",
        xlabel="jobs held by the queue (N)",
        labels={
            **PATTERNS,
            "floor": "plain Qt, the same objects and signals by hand",
            "one-object": "plain Qt, one self-deleting QObject",
        },
        styles={"model": "with a WorkQueueListModel", "queue": "queue alone"},
    ),
    Figure(
        name="progress",
        title="What progress costs a job on a busy queue: each task reports ten times",
        series=r"^drain/(?P<line>queue|progress|progress-watched)/equal/(?P<x>\d+)(?:/iterations:\d+)?$",
        references=r"^lifecycle/(?P<line>floor)/1000$",
        xlabel="jobs held by the queue (N), priorities all equal",
        labels={
            "queue": "no progress reported",
            "progress": "progress reported, nobody listening",
            "progress-watched": "progress reported, every task listened to",
            "floor": "plain Qt, the same objects and signals by hand",
        },
    ),
    Figure(
        name="lanes",
        title="A job's whole life on a busy queue with four lanes, against the jobs it waits behind",
        series=r"^drain/(?P<style>queue4|model4)/(?P<line>[^/]+)/(?P<x>\d+)(?:/iterations:\d+)?$",
        xlabel="jobs held by the queue (N)",
        labels=PATTERNS,
        styles={"model4": "with a WorkQueueListModel", "queue4": "queue alone"},
    ),
    Figure(
        name="groups",
        title="No-op tasks run as the children of one parallel group, or drained by a queue",
        series=r"^group-vs-queue/(?P<line>group|queue)/(?P<x>\d+)(?:/iterations:\d+)?$",
        ylabel="CPU µs per task",
        xlabel="tasks (N)",
        labels={"group": "children of a TaskGroup", "queue": "tasks of a WorkQueue"},
    ),
]

DASHES = ["-", "--", ":", "-."]
REFERENCE_DASHES = [(0, (1, 2)), (0, (4, 2, 1, 2)), (0, (1, 4))]


def load_runs(paths):
    """The rows of every run, the fastest where several runs hold a benchmark, and the context
    of the last run."""
    rows, context = {}, {}
    for path in paths:
        for name, row in table.load(path).items():
            if name not in rows or row["ns"] < rows[name]["ns"]:
                rows[name] = row
        context = table.context(path)
    return rows, context


def points(rows, pattern, value):
    """{(line, style): [(x, y), ...]} for the rows whose name matches, sorted by x."""
    found = {}
    for name, row in rows.items():
        m = re.search(pattern, name)
        if not m or value not in row:
            continue
        groups = m.groupdict()
        key = (groups.get("line") or name, groups.get("style") or "")
        x = float(groups["x"]) if groups.get("x") else 0.0
        found.setdefault(key, []).append((x, row[value]))
    return {key: sorted(xy) for key, xy in found.items()}


def count(x, _pos=None):
    """1000 -> '1k', 1000000 -> '1M'."""
    for div, suffix in ((1e6, "M"), (1e3, "k")):
        if x >= div:
            return "%g%s" % (x / div, suffix)
    return "%g" % x


def subtitle(context):
    parts = []
    if "qt" in context:
        parts.append("Qt " + context["qt"])
    if context.get("date"):
        parts.append(context["date"][:10])
    if context.get("num_cpus"):
        parts.append("%d CPUs" % context["num_cpus"])
    parts.append("Release, fastest repetition")
    return ", ".join(parts)


def draw(fig_spec, rows, context, out_dir):
    series = points(rows, fig_spec.series, fig_spec.value)
    if not series:
        return None
    lines = list(dict.fromkeys(line for line, _ in series))
    styles = list(fig_spec.styles) + [s for _, s in series if s not in fig_spec.styles]
    styles = list(dict.fromkeys(styles))
    colours = plt.get_cmap("tab10").colors

    fig, ax = plt.subplots(figsize=(9, 5.5), dpi=100)
    for (line, style), xy in series.items():
        ax.plot([x for x, _ in xy], [y / fig_spec.unit for _, y in xy], marker="o", markersize=4,
                color=colours[lines.index(line) % len(colours)],
                linestyle=DASHES[styles.index(style) % len(DASHES)])

    references = points(rows, fig_spec.references, fig_spec.value) if fig_spec.references else {}
    reference_keys, reference_names = [], []
    for i, ((line, _), xy) in enumerate(references.items()):
        y = xy[0][1] / fig_spec.unit
        key = ax.axhline(y, color="0.45", linewidth=1.2, linestyle=REFERENCE_DASHES[i % len(REFERENCE_DASHES)])
        reference_keys.append(key)
        reference_names.append("%s: %.2f" % (fig_spec.labels.get(line, line), y))

    if fig_spec.logx:
        ax.set_xscale("log")
        xs = sorted({x for xy in series.values() for x, _ in xy})
        ax.set_xticks(xs)
        ax.xaxis.set_major_formatter(FuncFormatter(count))
        ax.xaxis.set_minor_formatter(FuncFormatter(lambda *_: ""))
        ax.set_xlim(xs[0] / 1.5, xs[-1] * 1.5)
    ax.set_ylim(bottom=0)
    ax.grid(True, which="major", color="0.9")
    ax.set_xlabel(fig_spec.xlabel)
    ax.set_ylabel(fig_spec.ylabel)
    ax.set_title(fig_spec.title + "\n" + subtitle(context), fontsize=11)

    # Colours name the lines; the second legend names the dash styles and the references.
    colour_keys = [Line2D([], [], color=colours[i % len(colours)], marker="o", markersize=4)
                   for i in range(len(lines))]
    first = ax.legend(colour_keys, [fig_spec.labels.get(l, l) for l in lines], loc="upper left", fontsize=8)
    style_keys = [Line2D([], [], color="0.3", linestyle=DASHES[i % len(DASHES)]) for i in range(len(styles))]
    style_names = [fig_spec.styles.get(s, s) for s in styles]
    if len(styles) < 2:
        style_keys, style_names = [], []
    if style_keys or reference_keys:
        ax.add_artist(first)
        ax.legend(style_keys + reference_keys, style_names + reference_names, loc="lower right", fontsize=8)

    fig.tight_layout()
    path = os.path.join(out_dir, fig_spec.name + ".png")
    fig.savefig(path)
    plt.close(fig)
    return path


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("runs", nargs="+", metavar="RUN.json")
    parser.add_argument("--out-dir", default=os.path.join(os.path.dirname(here), "docs"))
    parser.add_argument("--only", nargs="*", default=[], metavar="NAME", help="draw only these figures")
    parser.add_argument("--list", action="store_true", help="list families and figures, draw nothing")
    args = parser.parse_args()

    rows, context = load_runs(args.runs)
    figures = [f for f in FIGURES if not args.only or f.name in args.only]
    if args.list:
        for family in sorted({table.split(name)[0] for name in rows}):
            print("family", family)
        for f in figures:
            print("figure", f.name, "(%d series)" % len(points(rows, f.series, f.value)))
        return 0
    os.makedirs(args.out_dir, exist_ok=True)
    drawn = 0
    for f in figures:
        path = draw(f, rows, context, args.out_dir)
        if path:
            print("wrote", path)
            drawn += 1
        else:
            print("skipped %s: the runs hold none of its benchmarks" % f.name, file=sys.stderr)
    return 0 if drawn else 1


if __name__ == "__main__":
    sys.exit(main())
