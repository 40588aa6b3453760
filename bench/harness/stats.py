"""Summaries of raw samples: medians for setup rounds, percentiles for latencies."""


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return None
    return ordered[round(fraction * (len(ordered) - 1))]


def latency(samples):
    """p50, p90 and p99 of wake samples, with their count."""
    return {
        "n": len(samples),
        "p50": percentile(samples, 0.5),
        "p90": percentile(samples, 0.9),
        "p99": percentile(samples, 0.99),
    }


def rounds(samples):
    """The median of repeated rounds, with the spread between the fastest and the slowest."""
    return {
        "n": len(samples),
        "median": percentile(samples, 0.5),
        "min": min(samples) if samples else None,
        "max": max(samples) if samples else None,
    }
