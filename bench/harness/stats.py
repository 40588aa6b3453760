"""Summaries of raw samples: medians for setup rounds, percentiles for latencies."""

import statistics


def latency(samples):
    """p50, p90 and p99 of wake samples, with their count."""
    cuts = statistics.quantiles(samples, n=100, method="inclusive")
    return {"n": len(samples), "p50": cuts[49], "p90": cuts[89], "p99": cuts[98]}


def rounds(samples):
    """The median of repeated rounds, with the spread between the fastest and the slowest."""
    return {"n": len(samples), "median": statistics.median(samples), "min": min(samples),
            "max": max(samples)}


def ratio_within_rounds(samples, floor):
    """The median of each round's ratio to the floor's time in the same round: load that drifts
    from round to round does not move it."""
    return statistics.median(value / base for value, base in zip(samples, floor))
