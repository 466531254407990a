"""Charts of the benchmarks' printed figures, as PNG files.

  plot_figures.py engine ENGINE_OUTPUT PNG   queries per second and recall@10 next to hnswlib,
                                             per data set (vexradb_engine_bench's output)
  plot_figures.py filter FILTER_OUTPUT PNG   filtered search speed against the share of vectors
                                             that qualify, for the planned search, the graph walk
                                             and the exact scan (vexradb_filter_bench's output)
  plot_figures.py curves CURVES_OUTPUT... PNG
                                             recall@10 against queries per second over the beam
                                             sweep, one panel per data set, one curve per engine
                                             (vexradb_engine_bench --curves and faiss_curves.py
                                             outputs; tables of the same set are merged)

Runs on Debian's interpreter with python3-matplotlib (/usr/bin/python3).
"""

import re
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402


def engine_figures(text):
    """[(data set, {figure: (ours, hnswlib)})] from the engine benchmark's per-set tables."""
    sets = []
    for line in text.splitlines():
        header = re.match(r"^(\S.*?): \d+ vectors, \d+ queries$", line)
        if header:
            sets.append((header.group(1), {}))
            continue
        row = re.match(r"^  (queries/s, 1 thread|recall@10)\s+([\d.]+)\s+([\d.]+)\s", line)
        if row and sets:
            sets[-1][1][row.group(1)] = (float(row.group(2)), float(row.group(3)))
    return [(name, figures) for name, figures in sets if len(figures) == 2]


def load_average(text):
    """The load average the benchmark printed first, for the chart's title."""
    found = re.search(r"[Ll]oad average:? ([\d.]+ [\d.]+ [\d.]+)", text)
    return "load average " + found.group(1) if found else "load average not printed"


def plot_engine(text, out):
    sets = engine_figures(text)
    if not sets:
        raise SystemExit("no engine benchmark tables found")
    names = [re.sub(r" \(", "\n(", name) for name, _ in sets]
    positions = range(len(sets))
    fig, (qps_axes, recall_axes) = plt.subplots(2, 1, figsize=(11, 8), sharex=True)
    for axes, figure, label in ((qps_axes, "queries/s, 1 thread", "queries per second, 1 thread"),
                                (recall_axes, "recall@10", "recall@10")):
        ours = [figures[figure][0] for _, figures in sets]
        theirs = [figures[figure][1] for _, figures in sets]
        axes.bar([p - 0.2 for p in positions], ours, 0.4, label="VexraDB")
        axes.bar([p + 0.2 for p in positions], theirs, 0.4, label="hnswlib")
        axes.set_ylabel(label)
        axes.grid(axis="y", alpha=0.3)
    qps_axes.set_yscale("log")
    qps_axes.legend()
    recall_axes.set_ylim(0, 1.05)
    recall_axes.set_xticks(list(positions), names, fontsize=8)
    fig.suptitle("Search next to hnswlib (M = 16, ef_construction = 200, ef = 100, k = 10; %s)"
                 % load_average(text))
    fig.tight_layout()
    fig.savefig(out, dpi=100)


def filter_rows(text):
    """[(qualifying vectors, planned q/s, walk q/s, scan q/s)] of the filter rows."""
    total = int(re.search(r"Filtered search: (\d+) ", text).group(1))
    rows = []
    for line in text.splitlines():
        cells = [cell.split() for cell in line.split("|")]
        if len(cells) != 4 or len(cells[0]) < 2 or not cells[0][-1].isdigit():
            continue
        if "no filter" in line:
            continue  # unfiltered searches, before and after deletions
        rows.append((int(cells[0][-1]) / total, float(cells[1][0]), float(cells[2][0]),
                     float(cells[3][0])))
    return rows


def plot_filter(text, out):
    rows = sorted(filter_rows(text))
    if not rows:
        raise SystemExit("no filter benchmark rows found")
    shares = [row[0] for row in rows]
    fig, axes = plt.subplots(figsize=(9, 5))
    for column, label in ((1, "planned (the engine's choice)"), (2, "graph walk"),
                          (3, "exact scan of the qualifying vectors")):
        axes.plot(shares, [row[column] for row in rows], marker="o", label=label)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("share of the vectors that pass the filter")
    axes.set_ylabel("queries per second, 1 thread")
    axes.grid(alpha=0.3, which="both")
    axes.legend()
    axes.set_title("Filtered search, k = 10, clustered 128-d vectors (%s)" % load_average(text))
    fig.tight_layout()
    fig.savefig(out, dpi=100)


def curve_tables(text, curves):
    """Adds the sweep tables of one output to curves: {data set: {engine: [(recall, q/s)]}};
    returns the engines of its tables."""
    engines = []
    for line in text.splitlines():
        header = re.match(r"^(\S.*?): \d+ vectors, \d+ queries", line)
        if header:
            points = curves.setdefault(header.group(1), {})
            continue
        cells = [cell.split() for cell in line.split("|")]
        if len(cells) < 2 or not cells[0]:
            continue
        if cells[0] == ["ef"]:
            engines = [cell[0] for cell in cells[1:]]
            for engine in engines:
                points[engine] = []
        elif cells[0][0].isdigit():
            for engine, cell in zip(engines, cells[1:]):
                if cell[0] != "failed":
                    points[engine].append((float(cell[0]), float(cell[1])))
    return engines


def plot_curves(texts, out):
    curves = {}
    loads = []  # each output's load average, with the engines it measured
    for text in texts:
        engines = curve_tables(text, curves)
        if engines:
            loads.append("%s (%s)" % (load_average(text), ", ".join(engines)))
    curves = {name: engines for name, engines in curves.items() if engines}
    if not curves:
        raise SystemExit("no recall/speed tables found")
    fig, panels = plt.subplots(1, len(curves), figsize=(6 * len(curves), 5), squeeze=False)
    for axes, (name, engines) in zip(panels[0], curves.items()):
        for engine, points in engines.items():
            axes.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=engine)
        axes.set_yscale("log")
        axes.set_xlabel("recall@10")
        axes.set_ylabel("queries per second, 1 thread")
        axes.grid(alpha=0.3, which="both")
        axes.legend()
        axes.set_title(name)
    fig.suptitle("Recall against speed over ef = 10 to 512 (M = 16, ef_construction = 200, "
                 "k = 10)\n%s" % "; ".join(loads))
    fig.tight_layout()
    fig.savefig(out, dpi=100)


def main():
    charts = {"engine": plot_engine, "filter": plot_filter}
    if sys.argv[1:2] == ["curves"] and len(sys.argv) >= 4:
        texts = []
        for path in sys.argv[2:-1]:
            with open(path, encoding="utf-8") as output:
                texts.append(output.read())
        plot_curves(texts, sys.argv[-1])
        return
    if len(sys.argv) != 4 or sys.argv[1] not in charts:
        raise SystemExit(__doc__)
    with open(sys.argv[2], encoding="utf-8") as output:
        text = output.read()
    charts[sys.argv[1]](text, sys.argv[3])


if __name__ == "__main__":
    main()
