"""How numbers are written in the report."""


def ms(value):
    if value is None:
        return "–"
    return f"{value:,.0f} ms" if value >= 100 else f"{value:.1f} ms"


def us(value):
    if value is None:
        return "–"
    if value >= 10000:
        return f"{value / 1000:,.1f} ms"
    return f"{value:,.0f} µs" if value >= 100 else f"{value:.1f} µs"


def ratio(value, floor):
    if value is None or not floor:
        return "–"
    return f"{value / floor:.2f}x"


def difference_us(value, floor):
    if value is None or floor is None:
        return "–"
    return f"{value - floor:+.1f} µs"


def mib(value):
    return "–" if value is None else f"{value / (1024 * 1024):.1f} MiB"


def count(value):
    return "–" if value is None else f"{value:,}"


def size(directories):
    return f"{int(directories):,}"


def kib(value):
    if value is None:
        return "–"
    return f"{value / 1024:,.0f} KiB" if abs(value) >= 10240 else f"{value / 1024:.1f} KiB"
