"""chart.svg: setup time and wake latency (p50) against tree size for every watcher, on
logarithmic scales, drawn directly as SVG."""

import math

from harness.lookup import value_at
from harness.peers import NAMES

WIDTH, HEIGHT = 980, 470
PLOT_W, PLOT_H = 380, 300
LEFT = (80, 560)
TOP = 50
COLOURS = {
    "floor": "#444444", "ours": "#d62728", "floor_two_threads": "#999999",
    "inotifywait": "#1f77b4", "parcel": "#2ca02c", "java_ours": "#ff7f0e",
    "watchservice": "#9467bd",
}

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


def _decades(low, high):
    return list(range(math.floor(math.log10(low)), math.ceil(math.log10(high)) + 1))


def _tick_label(exponent, unit):
    value = 10 ** exponent
    larger = {"µs": "ms", "ms": "s"}
    if unit in larger and value >= 1000:
        return _tick_label(exponent - 3, larger[unit])
    return f"{value:,} {unit}" if exponent >= 0 else f"{value:g} {unit}"


def _panel(results, series, left, title, unit):
    sizes = sorted(int(size) for size in results["trees"])
    lines = {}
    for key, path in series:
        points = [(size, value_at(results["trees"][str(size)], *path)) for size in sizes]
        points = [(size, value) for size, value in points if value]
        if points:
            lines[key] = points
    if not lines:
        return []
    values = [value for points in lines.values() for _, value in points]
    x_decades = _decades(min(sizes), max(sizes))
    y_decades = _decades(min(values), max(values))
    x_span = max(1, x_decades[-1] - x_decades[0])
    y_span = max(1, y_decades[-1] - y_decades[0])

    def x(size):
        return left + PLOT_W * (math.log10(size) - x_decades[0]) / x_span

    def y(value):
        return TOP + PLOT_H * (1 - (math.log10(value) - y_decades[0]) / y_span)

    out = [f'<text x="{left + PLOT_W / 2}" y="{TOP - 18}" text-anchor="middle" '
           f'font-weight="bold">{title}</text>',
           f'<rect x="{left}" y="{TOP}" width="{PLOT_W}" height="{PLOT_H}" fill="none" '
           'stroke="#888"/>']
    for exponent in y_decades:
        level = y(10 ** exponent)
        out.append(f'<line x1="{left}" y1="{level:.1f}" x2="{left + PLOT_W}" y2="{level:.1f}" '
                   'stroke="#ddd"/>')
        out.append(f'<text x="{left - 6}" y="{level + 4:.1f}" text-anchor="end">'
                   f'{_tick_label(exponent, unit)}</text>')
    for exponent in x_decades:
        at = x(10 ** exponent)
        out.append(f'<line x1="{at:.1f}" y1="{TOP}" x2="{at:.1f}" y2="{TOP + PLOT_H}" '
                   'stroke="#ddd"/>')
        out.append(f'<text x="{at:.1f}" y="{TOP + PLOT_H + 18}" text-anchor="middle">'
                   f'{10 ** exponent:,}</text>')
    out.append(f'<text x="{left + PLOT_W / 2}" y="{TOP + PLOT_H + 38}" '
               'text-anchor="middle">directories watched</text>')
    for key, points in lines.items():
        path = " ".join(f"{x(size):.1f},{y(value):.1f}" for size, value in points)
        colour = COLOURS[key]
        width = 3 if key == "ours" else 1.5
        out.append(f'<polyline points="{path}" fill="none" stroke="{colour}" '
                   f'stroke-width="{width}"/>')
        for size, value in points:
            out.append(f'<circle cx="{x(size):.1f}" cy="{y(value):.1f}" r="3" '
                       f'fill="{colour}"/>')
    return out


def _legend():
    out = []
    for i, key in enumerate(COLOURS):
        column, row = i % 4, i // 4
        at_x = LEFT[0] + column * 210
        at_y = TOP + PLOT_H + 62 + row * 20
        out.append(f'<line x1="{at_x}" y1="{at_y - 4}" x2="{at_x + 24}" y2="{at_y - 4}" '
                   f'stroke="{COLOURS[key]}" stroke-width="3"/>')
        out.append(f'<text x="{at_x + 30}" y="{at_y}">{LABELS[key]}</text>')
    return out


def render(results):
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{HEIGHT}" '
             f'viewBox="0 0 {WIDTH} {HEIGHT}" font-family="sans-serif" font-size="12">',
             f'<rect width="{WIDTH}" height="{HEIGHT}" fill="white"/>']
    parts += _panel(results, SETUP, LEFT[0], "Setup time (median)", "ms")
    parts += _panel(results, LATENCY, LEFT[1], "Wake latency (p50)", "µs")
    parts += _legend()
    parts.append(f'<text x="{WIDTH - 10}" y="{HEIGHT - 8}" text-anchor="end" fill="#666">'
                 f'{results["date"]}, {results["machine"]["cpus"]} CPUs, Linux '
                 f'{results["machine"]["kernel"]}</text>')
    return "\n".join(parts + ["</svg>"]) + "\n"
