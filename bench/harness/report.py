"""bench/results/report.md: a table per figure, absolute values with ratios to the floor."""

from harness import fmt, goals, several_report
from harness.lookup import value_at
from harness.markdown import table as _table
from harness.peers import NAMES

VERDICTS = {True: "met", False: "**missed**", None: "skipped"}


def _sizes(results):
    return sorted(results["trees"], key=int)


def _largest(results):
    return results["trees"][max(results["trees"], key=int)]


def headline(results):
    """The goals table, also shown in the README."""
    rows = [[goal.what, goal.floor, goal.ours, goal.goal, VERDICTS[goal.met]]
            for goal in goals.judge(results)]
    machine = results["machine"]
    return "\n".join(_table(["", "floor", "windowsfscm", "goal", ""], rows) + [
        f"Measured {results['date']} by `{results['command']}` on {machine['cpus']} CPUs"
        f"{' of a virtual machine' if machine['virtual_machine'] else ''}, Linux "
        f"{machine['kernel']}, while other processes took {results.get('other_work', 0):.0%} "
        "of the CPUs."]) + "\n"


def _setup_rows(results):
    """(name, where its warm starts are in a tree, what they are compared with, where its cold
    starts are, what those are compared with)"""
    floor = ("in_process", "setup_floor_ms")
    piped = ("pipe", "floor", "setup_ms")
    rows = [("floor", floor, floor, "floor", "floor"),
            (NAMES["ours"], ("in_process", "setup_ours_ms"), floor, "ours", "floor")]
    rows += [(f"floor, {n} threads walking", ("in_process", f"setup_floor_{n}_threads_ms"), floor,
              f"floor_{n}_threads", "floor") for n in results["settings"]["floor_threads"]]
    rows += [("floor, own process ¹", piped, piped, "floor_process", "floor_process"),
             (NAMES["inotifywait"] + " ¹", ("pipe", "inotifywait", "setup_ms"), piped,
              "inotifywait", "floor_process"),
             (NAMES["parcel"], ("parcel", "setup_ms"), floor, "parcel", "floor"),
             (NAMES["java_ours"], ("java", "java_ours", "setup_ms"), floor, "java_ours", "floor"),
             (NAMES["watchservice"], ("java", "watchservice", "setup_ms"), floor, "watchservice",
              "floor")]
    return rows


def _setup_cell(tree, path, against):
    value = value_at(tree, *path)
    if not value or "median" not in value:
        return "–"
    spread = value["max"] / value["min"] if value["min"] else 0
    ratio = (f"{value['ratio_to_floor']:.2f}x" if "ratio_to_floor" in value
             else fmt.ratio(value["median"], value_at(tree, *against, "median")))
    return f"{fmt.ms(value['median'])} ({ratio}) [{spread:.2f}]"


def _setup_table(results, cold):
    sizes = _sizes(results)
    rows = []
    for name, warm, warm_against, cold_key, cold_against in _setup_rows(results):
        path, against = (("cold", cold_key), ("cold", cold_against)) if cold else (warm,
                                                                                    warm_against)
        cells = [_setup_cell(results["trees"][size], path, against) for size in sizes]
        if any(cell != "–" for cell in cells):
            rows.append([name, *cells])
    return _table(["watcher", *(f"{fmt.size(size)} dirs" for size in sizes)], rows)


def _setup(results):
    settings = results["settings"]
    lines = ["## Setup: time for a start to return, the whole tree watched", "",
             "Median of the rounds, and its ratio to the floor's; for the watchers measured in "
             "one process with the floor, and for ours and the floors when cold, the median of "
             "the ratios within each round, which drifting load does not move. Slowest round "
             "over fastest in brackets tells the noise.", "",
             "### Warm: the tree in the page cache", "", *_setup_table(results, cold=False),
             "### Cold: the caches dropped before each start", "",
             "Before each start the kernel drops its page cache and its caches of directory "
             "entries and inodes (`sync; echo 3 > /proc/sys/vm/drop_caches`), so the start "
             "reads the tree from the disk, as the first start after a boot does. Each start "
             "is a program run of its own with no warm-up, timed as the warm ones are; in each "
             "round the watchers take turns in an order that rotates from round to round. "
             f"Rounds: {settings['cold_rounds']} for ours and the floors, "
             f"{settings['peer_cold_rounds']} for the other peers.", ""]
    if results.get("cold_skipped"):
        lines += [f"Skipped: {results['cold_skipped']}.", ""]
    else:
        lines += _setup_table(results, cold=True)
    lines += ["¹ Started as a command and timed to its \"Watches established.\" line, so "
              "starting the process is included; compared with the floor started the same way.",
              ""]
    return lines + _instructions(results) + _threads(results)


def _instructions(results):
    rows = []
    for size in _sizes(results):
        counts = results["trees"][size].get("instructions")
        if isinstance(counts, dict) and "ours" in counts:
            rows.append([fmt.size(size), f"{counts['floor']:,.0f}", f"{counts['ours']:,.0f}",
                         f"{counts['ours'] - counts['floor']:+,.0f}"])
    if not rows:
        return []
    return ["User-space instructions per directory watched, counted by callgrind: a count that "
            "does not depend on the machine's load. Both make the same system calls, one open, "
            "two getdents64, one close and one inotify_add_watch per directory, which cost far "
            "more and are not counted here.", "",
            *_table(["dirs", "floor", "windowsfscm", "difference"], rows)]


def _threads(results):
    """What sharing the floor's walk among threads gives on the largest tree, warm and cold."""
    tree = _largest(results)
    found = []
    for where, part in (("warm", "in_process"), ("cold", "cold")):
        ratios = [value_at(tree, *goals.floor_threads_path(part, n), "ratio_to_floor")
                  for n in results["settings"]["floor_threads"]]
        if None not in ratios:
            found.append(f"{where} {', '.join(f'{ratio:.2f}x' for ratio in ratios)}")
    if not found:
        return []
    counts = ", ".join(str(n) for n in results["settings"]["floor_threads"])
    return [f"Threads: the floor's walk shared by {counts} threads that take directories from "
            f"one work list, on {fmt.size(tree['directories'])} directories, took "
            f"{'; '.join(found)} of the time of the floor on one thread. Warm, a walk can use "
            f"no more than the CPUs there are ({results['machine']['cpus']} here); cold, a "
            "thread spends much of its time waiting for the disk, and threads beyond the CPUs "
            "wait at the same time.", ""]


def _wake_rows():
    return [
        ("floor", ("in_process", "wake_floor_us"), ("in_process", "wake_floor_us")),
        (NAMES["ours"], ("in_process", "wake_ours_us"), ("in_process", "wake_floor_us")),
        ("floor, through a pipe ²", ("pipe", "floor", "wake_us"), ("pipe", "floor", "wake_us")),
        (NAMES["inotifywait"] + " ²", ("pipe", "inotifywait", "wake_us"),
         ("pipe", "floor", "wake_us")),
        (NAMES["parcel"] + " ³", ("parcel", "wake_us"), ("in_process", "wake_floor_us")),
        (NAMES["java_ours"], ("java", "java_ours", "wake_us"), ("in_process", "wake_floor_us")),
        (NAMES["watchservice"], ("java", "watchservice", "wake_us"),
         ("in_process", "wake_floor_us")),
    ]


def _wake(results):
    rows = []
    for size in _sizes(results):
        tree = results["trees"][size]
        for name, path, against in _wake_rows():
            value = value_at(tree, *path)
            floor = value_at(tree, *against, "p50")
            if value:
                rows.append([fmt.size(size), name, fmt.us(value["p50"]), fmt.us(value["p90"]),
                             fmt.us(value["p99"]), f"{fmt.difference_us(value['p50'], floor)} "
                             f"({fmt.ratio(value['p50'], floor)})", value["n"]])
    return ["## Wake latency: a byte appended in the deepest directory to the wait returning", "",
            *_table(["dirs", "watcher", "p50", "p90", "p99", "p50 against the floor", "samples"],
                    rows),
            "² Read from the command's output through a pipe, and compared with the floor "
            "printing a line per wake through the same pipe: the difference is the watcher's "
            "own.", "³ @parcel/watcher gathers events for at least 50 ms before it calls back, "
            "by design.", ""]


def _idle_states(results):
    watchers = [("floor", ("in_process", "wake_floor_us")),
                (NAMES["ours"], ("in_process", "wake_ours_us")),
                (NAMES["java_ours"], ("java", "java_ours", "wake_us")),
                (NAMES["watchservice"], ("java", "watchservice", "wake_us"))]
    rows = []
    for size in _sizes(results):
        for name, (*part, key) in watchers:
            values = [value_at(results["trees"][size], *part, key + suffix)
                      for suffix in ("", "_one_cpu", "_awake")]
            rows.append([fmt.size(size), name, *(f"{fmt.us(value['p50'])} / "
                                                  f"{fmt.us(value['p99'])}" if value else "–"
                                                  for value in values)])
    return ["## Wake latency and idle CPUs", "",
            "The same measurement three ways: as the scheduler places the threads; with the "
            "whole process on one CPU (`taskset -c 0`); and with every CPU kept out of idle by "
            "a spinning process pinned to each at the lowest priority (`SCHED_IDLE`), which "
            "any woken thread preempts at once.", "",
            *_table(["dirs", "watcher", "as placed p50 / p99", "one CPU p50 / p99",
                     "CPUs awake p50 / p99"], rows),
            "On this virtual machine a CPU with nothing to run halts, and waking a thread on a "
            "halted CPU costs an exit to the hypervisor and back, and caches that other guests "
            "cooled meanwhile. Waits that block for milliseconds between changes pay it on "
            "every wake, floor and ours alike, and a JVM, which runs more code on the way back "
            "from the kernel, pays more of it; with the CPUs kept awake it disappears.", ""]


def _stop(results):
    rows = []
    for size in _sizes(results):
        median = {key: value.get("median") for key, value in
                  results["trees"][size].get("in_process", {}).items()
                  if isinstance(value, dict) and "median" in value}.get
        rows.append([fmt.size(size), fmt.us(median("stop_one_directory_floor_us")),
                     fmt.us(median("stop_one_directory_ours_us")), fmt.us(median("stop_floor_us")),
                     fmt.ms(median("release_floor_ms")), fmt.ms(median("stop_ours_ms")),
                     fmt.ms(median("release_ours_ms"))])
    return ["## Stop and release", "",
            "A stop is requested from another thread while the wait is blocked. With one "
            "directory watched, the time runs until the wait has returned and the watch is "
            "released, for both. On the whole tree the floor's poll wakes and it then closes "
            "its inotify descriptor, which releases every watch; our wait releases the watch "
            "before it returns, so its stop includes the release, and alternate rounds time "
            "the release alone (the stop requested first, then a wait on the same thread that "
            "returns at once).", "",
            *_table(["dirs", "one directory: floor", "one directory: windowsfscm",
                     "tree: floor's wake", "tree: floor's release",
                     "tree: windowsfscm, release included", "tree: windowsfscm's release"], rows),
            "Closing an inotify descriptor makes the kernel free each of its watches and then "
            "wait for a grace period of its own, shared by every process on the machine: that "
            "is the release, the same for every inotify watcher, and it grows when other "
            "processes close inotify descriptors at the same time.", ""]


def _watcher_names(results, part):
    keys = []
    for tree in results["trees"].values():
        for key in (tree.get(part) or {}):
            if key not in keys and key != "error":
                keys.append(key)
    return keys


# The threads that do the watching in the Java peers, as the kernel names them: ours, and the
# WatchService's poller with the benchmark's thread that takes its keys.
JAVA_WATCH_THREADS = {"java_ours": ["windowsfscm-wat"],
                      "watchservice": ["FileSystemWatch", "watchservice-wa"]}


def _idle(results):
    size = max(results["trees"], key=int)
    tree = results["trees"][size]
    rows = []
    for key in _watcher_names(results, "outside"):
        idle = value_at(tree, "outside", key, "idle")
        if idle:
            woken = ", ".join(f"{name} ×{n}" for name, n in sorted(
                idle["woken_threads"].items(), key=lambda item: -item[1])) or "none"
            rows.append([NAMES[key], idle["ticks"], idle["voluntary"], idle["involuntary"],
                         idle["threads"], woken])
    lines = [f"## Idle: the wait blocked on a quiet tree of {fmt.size(size)} directories", "",
             "Whole process, every thread, read from /proc over the window.", "",
             *_table(["watcher", "CPU ticks", "voluntary switches", "involuntary", "threads",
                      "threads that woke"], rows)]
    seconds = value_at(tree, "outside", "ours", "idle", "seconds")
    if seconds:
        lines += [f"Window: {seconds:g} s; a tick is 1/100 s of CPU. Thread names are the "
                  "kernel's, cut to 15 characters.", ""]
    for key, names in JAVA_WATCH_THREADS.items():
        woken = value_at(tree, "outside", key, "idle", "woken_threads")
        if woken is not None:
            woke = [name for name in names if name in woken]
            verdict = f"woke ({', '.join(woke)})" if woke else "did not wake"
            lines.append(f"In {NAMES[key]}, the JVM's own threads wake on their timers; the "
                         f"threads that watch ({', '.join(names)}) {verdict}.")
    return lines + [""]


def _memory(results):
    sizes = _sizes(results)
    rows = []
    for key in _watcher_names(results, "outside"):
        resident = [value_at(results["trees"][s], "outside", key, "resident_bytes") for s in sizes]
        slope = "–"
        if len(sizes) > 1 and resident[0] is not None and resident[-1] is not None:
            slope = f"{round((resident[-1] - resident[0]) / (int(sizes[-1]) - int(sizes[0]))):,}"
        rows.append([NAMES[key], *(fmt.mib(r) for r in resident), slope])
    heap_rows = []
    for size in sizes:
        tree = results["trees"][size]
        heap = value_at(tree, "in_process", "heap_bytes_per_directory", "median")
        fixed = value_at(tree, "in_process", "heap_bytes_one_directory", "median")
        resident = value_at(tree, "in_process", "resident_bytes_per_directory", "median")
        if heap is not None:
            heap_rows.append([fmt.size(size), f"{heap:.1f}", fmt.count(fixed and round(fixed)),
                              f"{goals.marginal_heap_bytes(tree):.1f}",
                              f"{tree['name_bytes']:.1f}", f"{resident:.1f}"])
    return ["## Memory", "",
            "Resident size of each watcher's process once the tree is watched, and what each "
            "directory adds to it (the slope between the smallest and the largest tree).", "",
            *_table(["watcher", *(f"{fmt.size(s)} dirs" for s in sizes), "bytes per directory"],
                    rows),
            "User memory of our watch, measured in-process around the start: malloc's count of "
            "the heap, the part of it a watch holds whatever the tree (its event and listing "
            "buffers), what each directory adds beyond that, and resident pages:", "",
            *_table(["dirs", "heap bytes per directory", "held for any tree",
                     "added per directory", "of which the name", "resident bytes per directory"],
                    heap_rows),
            "Every watcher also costs the kernel the same memory per inotify watch; that is not "
            "counted here.", ""]


def _storm(results):
    rows = []
    for size in _sizes(results):
        tree = results["trees"][size]
        floor = value_at(tree, "outside", "floor", "storm", "cpu_us_per_change")
        for key in _watcher_names(results, "outside"):
            entry = value_at(tree, "outside", key)
            if entry is None:
                continue
            if "error" in entry:
                rows.append([fmt.size(size), NAMES[key], f"failed: {entry['error']}", "", "", "",
                             ""])
                continue
            storm = entry["storm"]
            rows.append([fmt.size(size), NAMES[key], fmt.count(storm["writes"]),
                         fmt.count(storm["returns"]), fmt.us(storm["cpu_us_per_change"]),
                         fmt.ratio(storm["cpu_us_per_change"], floor),
                         "yes" if storm["last_change_woke"] else "**no**"])
    return ["## Change storm", "",
            "Appends spread over the tree as fast as one thread writes them, while the "
            "watcher's wait loops; then, once it has settled, one more append in the deepest "
            "directory, which must wake it. CPU is the watcher process's own, every thread.", "",
            *_table(["dirs", "watcher", "writes", "waits returned", "CPU per change",
                     "against the floor", "last change woke it"], rows),
            "inotifywait's count is lines printed, one per event, not waits.", ""]


def _move_out(results):
    sizes = _sizes(results)
    smallest = value_at(results["trees"][sizes[0]], "move_out", "cpu_us_per_move", "median")
    rows = []
    for size in sizes:
        value = value_at(results["trees"][size], "move_out", "cpu_us_per_move")
        if value:
            rows.append([fmt.size(size), f"{results['trees'][size]['move_out']['moves']:,}",
                         f"{fmt.us(value['median'])} [{fmt.us(value['min'])}, "
                         f"{fmt.us(value['max'])}]", fmt.ratio(value["median"], smallest)])
    return ["## Moving directories out", "",
            "Leaf directories spread over the tree are moved out of it one by one, each once "
            "the wait has returned on the one before. The figure is the CPU time of the thread "
            "that waits, per move: the median of ten batches, fastest and slowest in brackets. "
            "Each batch's directories move back after it, unmeasured. The time includes the "
            "kernel's, which is most of it: each move takes the library three path lookups (the "
            "directory's old path, the root, the parent), and the kernel's lookups slow as its "
            "caches of directory entries and inodes grow with the tree.", "",
            *_table(["dirs", "moves", "CPU per move", "against the smallest tree"], rows)]


def _goals(results):
    tree = _largest(results)
    lines = [f"## Goals, on the largest tree ({fmt.size(tree['directories'])} directories)", ""]
    for goal in goals.judge(results):
        line = f"- {goal.what} ({goal.goal}): {VERDICTS[goal.met]}, {goal.ours}"
        line += "." if goal.met is None else f" against {goal.floor}."
        lines.append(line + (f" Why: {goal.why}." if goal.why else ""))
    return lines + [""]


def _machine(results):
    machine = results["machine"]
    settings = results["settings"]
    limits = machine["inotify"]
    versions = "; ".join(version if version.startswith(name) else f"{name} {version}"
                         for name, version in machine["versions"].items() if version)
    load_before = ", ".join(f"{x:.2f}" for x in results["load_before"])
    load_after = ", ".join(f"{x:.2f}" for x in results["load_after"])
    lines = [
        f"Measured on {results['date']} by `{results['command']}` in {results['minutes']} "
        "minutes.", "",
        f"- Machine: {machine['cpu']}, {machine['cpus']} CPUs, {machine['memory_gib']} GiB"
        + (", a virtual machine" if machine["virtual_machine"] else "")
        + f"; Linux {machine['kernel']}.",
        f"- inotify limits (/proc/sys/fs/inotify): max_user_watches "
        f"{limits['max_user_watches']:,}, max_user_instances {limits['max_user_instances']}, "
        f"max_queued_events {limits['max_queued_events']:,}.",
        f"- Peers: {versions}.",
        f"- Load average (1, 5, 15 min) before: {load_before}; after: {load_after}. Other "
        f"processes took {results.get('other_work', 0):.0%} of the CPUs during the run.",
        f"- Runs: warm setup of ours and the floor {settings['core_rounds']} rounds each, the "
        f"other peers {settings['peer_rounds']}, each after a warm-up round; cold setup of ours "
        f"and the floors {settings['cold_rounds']}, the other peers "
        f"{settings['peer_cold_rounds']}; the floor's walk also on "
        f"{', '.join(map(str, settings['floor_threads']))} threads; "
        f"{settings['samples']} wake samples per watcher ({settings['batched_samples']} for "
        f"@parcel/watcher), {settings['gap_ms']} ms apart; idle window {settings['idle_s']} s; "
        f"storms of {settings['storm_writes']:,} appends over {settings['storm_spread']:,} "
        f"directories; {settings['move_outs']:,} directories moved out of each tree.",
        "- Trees: fanout 10, three small files per directory; file system "
        f"{machine['tree_filesystem']}.",
    ]
    lines += [f"- Skipped: {line}." for line in results["skipped"]]
    return lines + [""]


def render(results):
    lines = ["# windowsfscm against the floor and its peers", ""]
    lines += _machine(results)
    lines += ["## At a glance", "", headline(results), "![Setup time, warm and cold, and wake "
              "latency against tree size](chart.svg)", ""]
    lines += _goals(results)
    lines += _setup(results)
    lines += _wake(results)
    lines += _idle_states(results)
    lines += _stop(results)
    lines += _idle(results)
    lines += _memory(results)
    lines += _storm(results)
    lines += _move_out(results)
    lines += several_report.section(results)
    return "\n".join(lines).rstrip() + "\n"
