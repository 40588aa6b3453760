"""bench/run: the whole benchmark in one command."""

import argparse
import datetime
import json
import os
import subprocess
import sys
from dataclasses import asdict, dataclass, replace

from harness import build, chart, cold, machine, measure, readme, report, several, trees
from harness.peers import Peers

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(BENCH)


@dataclass
class Settings:
    sizes: list
    core_rounds: int  # setup rounds of ours and the floor, after one warm-up round
    peer_rounds: int  # setup rounds of the other peers, after one warm-up round
    floor_threads: list  # thread counts the floor's walk is also shared among
    cold_rounds: int  # cold starts of ours and the floors, each after the caches were dropped
    peer_cold_rounds: int  # cold starts of the other peers
    samples: int  # wake samples per watcher
    batched_samples: int  # for @parcel/watcher, which batches changes for 50 ms
    gap_ms: int  # between wake samples
    idle_s: int  # idle window, on the largest tree
    idle_settle_s: float  # after setup, before the idle window
    storm_writes: int
    storm_spread: int  # directories the storm's writes go to
    move_outs: int  # leaf directories moved out of each tree, one by one
    watches_at_once: int  # our Java watches open at once in one JVM, each on a tree of its own
    several_directories: int  # the size of each of those trees
    several_rounds: int  # JVMs that open them with the copies of the library in the cache
    several_empty_rounds: int  # JVMs that open them with an empty cache
    several_memory_rounds: int  # JVMs whose memory is read after each open


# About 11 minutes on 2 CPUs, 3 of them cold starts: on 100,000 directories a cold round of ours
# and the floors takes about 30 s, one of the other peers about 70 s (WatchService alone 20 s).
FULL = Settings(sizes=[1000, 10000, 100000], core_rounds=9, peer_rounds=5,
                floor_threads=[2, 8, 16], cold_rounds=3, peer_cold_rounds=1, samples=300,
                batched_samples=100, gap_ms=3, idle_s=10, idle_settle_s=2, storm_writes=20000,
                storm_spread=1000, move_outs=1000, watches_at_once=8, several_directories=1000,
                several_rounds=9, several_empty_rounds=5, several_memory_rounds=5)
QUICK = Settings(sizes=[1000, 10000], core_rounds=2, peer_rounds=1, floor_threads=[2, 8, 16],
                 cold_rounds=1, peer_cold_rounds=1, samples=50, batched_samples=10, gap_ms=3,
                 idle_s=2, idle_settle_s=0.5, storm_writes=2000, storm_spread=200, move_outs=200,
                 watches_at_once=8, several_directories=1000, several_rounds=2,
                 several_empty_rounds=1, several_memory_rounds=1)


def _arguments():
    parser = argparse.ArgumentParser(
        prog="bench/run",
        description="Measures windowsfscm against the floor and its peers and writes the report "
                    "(bench/results/ for a full run, build-bench/quick-results/ for --quick).")
    parser.add_argument("--quick", action="store_true",
                        help="small trees and few samples: checks that everything runs")
    parser.add_argument("--sizes", help="tree sizes, comma-separated (default 1000,10000,100000; "
                                        "quick: 1000,10000)")
    parser.add_argument("--output", help="folder for report.md, chart.svg and results.json")
    return parser.parse_args()


def _several_watches(peers, settings, watch_limit):
    needed = settings.watches_at_once * settings.several_directories
    if needed > watch_limit:
        return {"skipped": f"{settings.watches_at_once} watches of {settings.several_directories} "
                           f"directories need {needed} inotify watches, over "
                           f"fs.inotify.max_user_watches ({watch_limit})"}
    print(f"{settings.watches_at_once} Java watches at once, each on a tree of "
          f"{settings.several_directories} directories", file=sys.stderr, flush=True)
    try:
        return several.measure(peers, settings)
    except (RuntimeError, OSError, ValueError, KeyError, subprocess.TimeoutExpired) as failure:
        print(f"  several watches failed: {failure}", file=sys.stderr, flush=True)
        return {"error": str(failure)}


def main():
    arguments = _arguments()
    # Java turns file names into bytes through the locale; the trees are ASCII, but keep it exact.
    os.environ["LC_ALL"] = "C.UTF-8"
    settings = QUICK if arguments.quick else FULL
    if arguments.sizes:
        settings = replace(settings, sizes=[int(size) for size in arguments.sizes.split(",")])
    build_folder = os.path.join(REPO, "build-bench")
    default_output = (os.path.join(build_folder, "quick-results") if arguments.quick
                      else os.path.join(BENCH, "results"))
    output = os.path.abspath(arguments.output or default_output)

    print("building (Release) in build-bench/", file=sys.stderr, flush=True)
    programs = build.build(REPO, build_folder)
    peers = Peers(programs)
    described = machine.describe(peers)
    no_cold = cold.unavailable(described["tree_filesystem"])
    if no_cold:
        peers.skipped.append(f"cold starts: {no_cold}")
    for line in peers.skipped:
        print(f"skipped {line}", file=sys.stderr, flush=True)

    other_work = machine.OtherWork()
    started = datetime.datetime.now(datetime.timezone.utc)
    results = {
        "date": started.strftime("%Y-%m-%d %H:%M UTC"),
        "command": "bench/run" + (" --quick" if arguments.quick else ""),
        "settings": asdict(settings),
        "machine": described,
        "load_before": os.getloadavg(),
        "skipped": peers.skipped,
        "cold_skipped": no_cold,
        "trees": {},
    }
    watch_limit = results["machine"]["inotify"]["max_user_watches"]
    for size in settings.sizes:
        if size > watch_limit:
            skipped = (f"the tree of {size} directories: over fs.inotify.max_user_watches "
                       f"({watch_limit}); raise it with sysctl to measure it")
            print(f"skipped {skipped}", file=sys.stderr, flush=True)
            results["skipped"].append(skipped)
            continue
        print(f"tree of {size} directories", file=sys.stderr, flush=True)
        tree = trees.ensure_tree(size)
        results["trees"][str(size)] = measure.one_tree(
            programs, peers, tree, settings, with_idle=size == max(settings.sizes),
            with_cold=not no_cold)
    if not results["trees"]:
        print("no tree could be measured", file=sys.stderr)
        return 1
    results["several_watches"] = _several_watches(peers, settings, watch_limit)
    results["load_after"] = os.getloadavg()
    results["other_work"] = other_work.share()
    results["minutes"] = round(
        (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds() / 60, 1)

    os.makedirs(output, exist_ok=True)
    with open(os.path.join(output, "results.json"), "w", encoding="utf-8") as raw:
        json.dump(results, raw, indent=1)
    chart.write(results, os.path.join(output, "chart.svg"))
    with open(os.path.join(output, "report.md"), "w", encoding="utf-8") as markdown:
        markdown.write(report.render(results))
    if not arguments.quick and not arguments.output:
        readme.update(os.path.join(REPO, "README.md"), report.headline(results))
    print(report.headline(results))
    print(f"wrote {output}/report.md and chart.svg", file=sys.stderr)
    return 0
