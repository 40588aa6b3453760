"""chart.svg: setup time, warm and cold, and wake latency (p50) against tree size for every
watcher, on logarithmic scales, drawn with matplotlib."""

import matplotlib

matplotlib.use("svg")
# Text stays text, and the same results draw the same file.
matplotlib.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "windowsfscm"})
import matplotlib.pyplot as plt  # noqa: E402  (the back end is chosen just above)

from harness.lookup import value_at  # noqa: E402
from harness.peers import NAMES  # noqa: E402

COLOURS = {"floor": "#444444", "ours": "#d62728", "inotifywait": "#1f77b4", "parcel": "#2ca02c",
           "java_ours": "#ff7f0e", "watchservice": "#9467bd"}
# The floor on several threads, lighter as they are more.
THREAD_GREYS = ["#888888", "#aaaaaa", "#cccccc"]
PEERS = [("inotifywait", ("pipe", "inotifywait")), ("parcel", ("parcel",)),
         ("java_ours", ("java", "java_ours")), ("watchservice", ("java", "watchservice"))]


def _panels(results):
    """Each panel's title, unit and lines: (key, path to the value in a tree)."""
    threads = results["settings"]["floor_threads"]
    warm = [("floor", ("in_process", "setup_floor_ms")), ("ours", ("in_process", "setup_ours_ms")),
            *((f"floor_{n}_threads", ("in_process", f"setup_floor_{n}_threads_ms"))
              for n in threads),
            *((key, (*where, "setup_ms")) for key, where in PEERS)]
    latency = [("floor", ("in_process", "wake_floor_us")), ("ours", ("in_process", "wake_ours_us")),
               *((key, (*where, "wake_us")) for key, where in PEERS)]
    return [("Setup, warm (median)", "ms", [(key, (*path, "median")) for key, path in warm]),
            ("Setup, cold: caches dropped (median)", "ms",
             [(key, ("cold", key, "median")) for key, _ in warm]),
            ("Wake latency (p50)", "µs", [(key, (*path, "p50")) for key, path in latency])]


def _panel(axes, results, lines, labels, colours):
    sizes = sorted(int(size) for size in results["trees"])
    for key, path in lines:
        points = [(size, value_at(results["trees"][str(size)], *path)) for size in sizes]
        points = [(size, value) for size, value in points if value]
        if points:
            axes.plot(*zip(*points), marker="o", label=labels[key], color=colours[key],
                      linewidth=3 if key == "ours" else 1.5,
                      linestyle="--" if key.endswith("_threads") else "-")
    if not axes.lines:
        axes.text(0.5, 0.5, "not measured", ha="center", transform=axes.transAxes)
        axes.set(xticks=[], yticks=[])
        return
    axes.set(xscale="log", yscale="log", xlabel="directories watched")
    axes.grid(True, which="major", color="#dddddd")


def write(results, path):
    figure, panels = plt.subplots(1, 3, figsize=(13, 5.2))
    figure.subplots_adjust(left=0.06, right=0.99, top=0.88, bottom=0.24, wspace=0.25)
    threads = results["settings"]["floor_threads"]
    labels = dict(NAMES, **{f"floor_{n}_threads": f"floor, {n} threads" for n in threads})
    colours = dict(COLOURS, **{f"floor_{n}_threads": THREAD_GREYS[i % len(THREAD_GREYS)]
                               for i, n in enumerate(threads)})
    for axes, (title, unit, lines) in zip(panels, _panels(results)):
        _panel(axes, results, lines, labels, colours)
        axes.set(title=title, ylabel=unit)
    handles, names = panels[0].get_legend_handles_labels()
    figure.legend(handles, names, loc="lower center", ncols=5, frameon=False)
    machine = results["machine"]
    figure.suptitle(f"{results['date']}, {machine['cpus']} CPUs, Linux {machine['kernel']}",
                    x=0.99, ha="right", fontsize="small", color="#666666")
    figure.savefig(path, metadata={"Date": None})
    plt.close(figure)
