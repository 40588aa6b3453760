"""chart.svg: setup time and wake latency (p50) against tree size for every watcher, on
logarithmic scales, drawn with matplotlib."""

import matplotlib

matplotlib.use("svg")
# Text stays text, and the same results draw the same file.
matplotlib.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "windowsfscm"})
import matplotlib.pyplot as plt  # noqa: E402  (the back end is chosen just above)

from harness.lookup import value_at  # noqa: E402
from harness.peers import NAMES  # noqa: E402

SETUP = [
    ("floor", ("in_process", "setup_floor_ms", "median")),
    ("ours", ("in_process", "setup_ours_ms", "median")),
    ("floor_two_threads", ("in_process", "setup_floor_two_threads_ms", "median")),
    ("inotifywait", ("pipe", "inotifywait", "setup_ms", "median")),
    ("parcel", ("parcel", "setup_ms", "median")),
    ("java_ours", ("java", "java_ours", "setup_ms", "median")),
    ("watchservice", ("java", "watchservice", "setup_ms", "median")),
]
LATENCY = [
    ("floor", ("in_process", "wake_floor_us", "p50")),
    ("ours", ("in_process", "wake_ours_us", "p50")),
    ("inotifywait", ("pipe", "inotifywait", "wake_us", "p50")),
    ("parcel", ("parcel", "wake_us", "p50")),
    ("java_ours", ("java", "java_ours", "wake_us", "p50")),
    ("watchservice", ("java", "watchservice", "wake_us", "p50")),
]
LABELS = dict(NAMES, floor_two_threads="floor, two threads")
COLOURS = {
    "floor": "#444444", "ours": "#d62728", "floor_two_threads": "#999999",
    "inotifywait": "#1f77b4", "parcel": "#2ca02c", "java_ours": "#ff7f0e",
    "watchservice": "#9467bd",
}


def _panel(axes, results, series, title, unit):
    sizes = sorted(int(size) for size in results["trees"])
    for key, path in series:
        points = [(size, value_at(results["trees"][str(size)], *path)) for size in sizes]
        points = [(size, value) for size, value in points if value]
        if points:
            axes.plot(*zip(*points), marker="o", label=LABELS[key], color=COLOURS[key],
                      linewidth=3 if key == "ours" else 1.5)
    axes.set(title=title, xscale="log", yscale="log", xlabel="directories watched",
             ylabel=unit)
    axes.grid(True, which="major", color="#dddddd")


def write(results, path):
    figure, panels = plt.subplots(1, 2, figsize=(10, 5.2))
    figure.subplots_adjust(left=0.08, right=0.98, top=0.88, bottom=0.24, wspace=0.25)
    _panel(panels[0], results, SETUP, "Setup time (median)", "ms")
    _panel(panels[1], results, LATENCY, "Wake latency (p50)", "µs")
    handles, labels = panels[0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncols=4, frameon=False)
    machine = results["machine"]
    figure.suptitle(f"{results['date']}, {machine['cpus']} CPUs, Linux {machine['kernel']}",
                    x=0.98, ha="right", fontsize="small", color="#666666")
    figure.savefig(path, metadata={"Date": None})
    plt.close(figure)
