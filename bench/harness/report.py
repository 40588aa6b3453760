"""bench/results/report.md: a table per figure, absolute values with ratios to the floor."""

from harness import fmt, goals
from harness.lookup import value_at
from harness.peers import NAMES


def _largest(results):
    return results["trees"][max(results["trees"], key=int)]


def headline(results):
    """The goals table, also shown in the README."""
    lines = ["| | floor | windowsfscm | goal | |", "|---|---|---|---|---|"]
    for goal in goals.judge(results):
        verdict = "met" if goal.met else "**missed**"
        lines.append(f"| {goal.what} | {goal.floor} | {goal.ours} | {goal.goal} | {verdict} |")
    machine = results["machine"]
    lines += ["", f"Measured {results['date']} by `{results['command']}` on {machine['cpus']} "
              f"CPUs{' of a virtual machine' if machine['virtual_machine'] else ''}, Linux "
              f"{machine['kernel']}, while other processes took "
              f"{results.get('other_work', 0):.0%} of the CPUs."]
    return "\n".join(lines) + "\n"


def _setup_rows(results):
    """(name, key path to the setup summary in a tree, key path to what it is compared with)"""
    return [
        ("floor", ("in_process", "setup_floor_ms"), ("in_process", "setup_floor_ms")),
        (NAMES["ours"], ("in_process", "setup_ours_ms"), ("in_process", "setup_floor_ms")),
        ("floor, two threads walking", ("in_process", "setup_floor_two_threads_ms"),
         ("in_process", "setup_floor_ms")),
        ("floor, own process ¹", ("pipe", "floor", "setup_ms"), ("pipe", "floor", "setup_ms")),
        (NAMES["inotifywait"] + " ¹", ("pipe", "inotifywait", "setup_ms"),
         ("pipe", "floor", "setup_ms")),
        (NAMES["parcel"], ("parcel", "setup_ms"), ("in_process", "setup_floor_ms")),
        (NAMES["java_ours"], ("java", "java_ours", "setup_ms"), ("in_process", "setup_floor_ms")),
        (NAMES["watchservice"], ("java", "watchservice", "setup_ms"),
         ("in_process", "setup_floor_ms")),
    ]


def _sizes(results):
    return sorted(results["trees"], key=int)


def _setup(results):
    sizes = _sizes(results)
    lines = ["## Setup: time for a start to return, the whole tree watched", "",
             "Median of the rounds, and its ratio to the floor's; for the watchers measured in "
             "one process with the floor, the median of the ratios within each round, which "
             "drifting load does not move. Slowest round over fastest in brackets tells the "
             "noise.", "",
             "| watcher | " + " | ".join(f"{fmt.size(s)} dirs" for s in sizes) + " |",
             "|---|" + "---|" * len(sizes)]
    for name, path, against in _setup_rows(results):
        cells = []
        for size in sizes:
            tree = results["trees"][size]
            value = value_at(tree, *path)
            floor = value_at(tree, *against, "median")
            if not value:
                cells.append("–")
                continue
            spread = value["max"] / value["min"] if value["min"] else 0
            ratio = (f"{value['ratio_to_floor']:.2f}x" if "ratio_to_floor" in value
                     else fmt.ratio(value["median"], floor))
            cells.append(f"{fmt.ms(value['median'])} ({ratio}) [{spread:.2f}]")
        if any(cell != "–" for cell in cells):
            lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "¹ Started as a command and timed to its \"Watches established.\" line, so "
              "starting the process is included; compared with the floor started the same way.",
              ""]
    return lines + _instructions(results) + _both_cores(results)


def _instructions(results):
    rows = []
    for size in _sizes(results):
        counts = results["trees"][size].get("instructions")
        if isinstance(counts, dict) and "ours" in counts:
            rows.append(f"| {fmt.size(size)} | {counts['floor']:,.0f} | {counts['ours']:,.0f} "
                        f"| {counts['ours'] - counts['floor']:+,.0f} |")
    if not rows:
        return []
    return ["User-space instructions per directory watched, counted by callgrind: a count that "
            "does not depend on the machine's load. Both make the same system calls, one open, "
            "two getdents64, one close and one inotify_add_watch per directory, which cost far "
            "more and are not counted here.", "",
            "| dirs | floor | windowsfscm | difference |", "|---|---|---|---|", *rows, ""]


def _both_cores(results):
    """Whether a walk on both cores beats the floor, on the largest tree."""
    tree = _largest(results)
    two = value_at(tree, "in_process", "setup_floor_two_threads_ms")
    if not two or "ratio_to_floor" not in two:
        return []
    ratio = two["ratio_to_floor"]
    verdict = "beats" if ratio < 1 else "does not beat"
    return [f"Both cores: the floor's walk shared by two threads {verdict} the floor on "
            f"{fmt.size(tree['directories'])} directories ({fmt.ms(two['median'])}, "
            f"{ratio:.2f}x of its time): the directories are listed and watched in "
            "parallel, though the kernel takes a lock of the inotify instance for each watch "
            "added. Our library does not do it: it runs on the threads of its caller and "
            "creates none of its own.", ""]


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
    lines = ["## Wake latency: a byte appended in the deepest directory to the wait returning",
             "", "| dirs | watcher | p50 | p90 | p99 | p50 against the floor | samples |",
             "|---|---|---|---|---|---|---|"]
    for size in _sizes(results):
        tree = results["trees"][size]
        for name, path, against in _wake_rows():
            value = value_at(tree, *path)
            floor = value_at(tree, *against, "p50")
            if not value:
                continue
            lines.append(
                f"| {fmt.size(size)} | {name} | {fmt.us(value['p50'])} | {fmt.us(value['p90'])} "
                f"| {fmt.us(value['p99'])} | {fmt.difference_us(value['p50'], floor)} "
                f"({fmt.ratio(value['p50'], floor)}) | {value['n']} |")
    lines += ["", "² Read from the command's output through a pipe, and compared with the floor "
              "printing a line per wake through the same pipe: the difference is the watcher's "
              "own.", "³ @parcel/watcher gathers events for at least 50 ms before it calls back, "
              "by design.", ""]
    return lines


def _idle_states(results):
    lines = ["## Wake latency and idle CPUs", "",
             "The same measurement three ways: as the scheduler places the threads; with the "
             "whole process on one CPU (`taskset -c 0`); and with every CPU kept out of idle by "
             "a spinning process pinned to each at the lowest priority (`SCHED_IDLE`), which "
             "any woken thread preempts at once.", "",
             "| dirs | watcher | as placed p50 / p99 | one CPU p50 / p99 | CPUs awake p50 / p99 |",
             "|---|---|---|---|---|"]
    rows = [("floor", "in_process", "wake_floor_us", ""),
            (NAMES["ours"], "in_process", "wake_ours_us", ""),
            (NAMES["java_ours"], "java", "java_ours", "wake_us"),
            (NAMES["watchservice"], "java", "watchservice", "wake_us")]
    for size in _sizes(results):
        tree = results["trees"][size]
        for name, part, key, inner in rows:
            cells = []
            for suffix in ("", "_one_cpu", "_awake"):
                path = (part, key + suffix) if not inner else (part, key, inner + suffix)
                value = value_at(tree, *path)
                cells.append(f"{fmt.us(value['p50'])} / {fmt.us(value['p99'])}" if value else "–")
            lines.append(f"| {fmt.size(size)} | {name} | " + " | ".join(cells) + " |")
    lines += ["", "On this virtual machine a CPU with nothing to run halts, and waking a "
              "thread on a halted CPU costs an exit to the hypervisor and back, and caches that "
              "other guests cooled meanwhile. Waits that block for milliseconds between changes "
              "pay it on every wake, floor and ours alike, and a JVM, which runs more code on "
              "the way back from the kernel, pays more of it; with the CPUs kept awake it "
              "disappears.", ""]
    return lines


def _stop(results):
    lines = ["## Stop and release", "",
             "A stop is requested from another thread while the wait is blocked. With one "
             "directory watched, the time runs until the wait has returned and the watch is "
             "released, for both. On the whole tree the floor's poll wakes and it then closes "
             "its inotify descriptor, which releases every watch; our wait releases the watch "
             "before it returns, so its stop includes the release, and alternate rounds time "
             "the release alone (the stop requested first, then a wait on the same thread that "
             "returns at once).", "",
             "| dirs | one directory: floor | one directory: windowsfscm | tree: floor's wake "
             "| tree: floor's release | tree: windowsfscm, release included | tree: windowsfscm's "
             "release |", "|---|---|---|---|---|---|---|"]
    for size in _sizes(results):
        medians = {key: value.get("median") for key, value in
                   results["trees"][size].get("in_process", {}).items()
                   if isinstance(value, dict) and "median" in value}
        lines.append(f"| {fmt.size(size)} | {fmt.us(medians.get('stop_one_directory_floor_us'))} "
                     f"| {fmt.us(medians.get('stop_one_directory_ours_us'))} "
                     f"| {fmt.us(medians.get('stop_floor_us'))} "
                     f"| {fmt.ms(medians.get('release_floor_ms'))} "
                     f"| {fmt.ms(medians.get('stop_ours_ms'))} "
                     f"| {fmt.ms(medians.get('release_ours_ms'))} |")
    lines += ["", "Closing an inotify descriptor makes the kernel free each of its watches and "
              "then wait for a grace period of its own, shared by every process on the machine: "
              "that is the release, the same for every inotify watcher, and it grows when other "
              "processes close inotify descriptors at the same time.", ""]
    return lines


def _watcher_names(results, part):
    keys = []
    for tree in results["trees"].values():
        for key in (tree.get(part) or {}):
            if key not in keys and key != "error":
                keys.append(key)
    return keys


def _idle(results):
    size = max(results["trees"], key=int)
    tree = results["trees"][size]
    lines = [f"## Idle: the wait blocked on a quiet tree of {fmt.size(size)} directories", "",
             "Whole process, every thread, read from /proc over the window.", "",
             "| watcher | CPU ticks | voluntary switches | involuntary | threads "
             "| threads that woke |", "|---|---|---|---|---|---|"]
    for key in _watcher_names(results, "outside"):
        idle = value_at(tree, "outside", key, "idle")
        if not idle:
            continue
        woken = ", ".join(f"{name} ×{n}" for name, n in sorted(
            idle["woken_threads"].items(), key=lambda item: -item[1])) or "none"
        lines.append(f"| {NAMES[key]} | {idle['ticks']} | {idle['voluntary']} | "
                     f"{idle['involuntary']} | {idle['threads']} | {woken} |")
    seconds = value_at(tree, "outside", "ours", "idle", "seconds")
    lines += ["", f"Window: {seconds:g} s; a tick is 1/100 s of CPU. Thread names are the "
              "kernel's, cut to 15 characters." if seconds else "", ""]
    return lines + _java_watch_threads(tree)


# The threads that do the watching in the Java peers, as the kernel names them: ours, and the
# WatchService's poller with the benchmark's thread that takes its keys.
JAVA_WATCH_THREADS = {"java_ours": ["windowsfscm-wat"],
                      "watchservice": ["FileSystemWatch", "watchservice-wa"]}


def _java_watch_threads(tree):
    lines = []
    for key, names in JAVA_WATCH_THREADS.items():
        woken = value_at(tree, "outside", key, "idle", "woken_threads")
        if woken is None:
            continue
        woke = [name for name in names if name in woken]
        verdict = f"woke ({', '.join(woke)})" if woke else "did not wake"
        lines.append(f"In {NAMES[key]}, the JVM's own threads wake on their timers; the "
                     f"threads that watch ({', '.join(names)}) {verdict}.")
    return lines + [""] if lines else []


def _memory(results):
    sizes = _sizes(results)
    lines = ["## Memory", "",
             "Resident size of each watcher's process once the tree is watched, and what each "
             "directory adds to it (the slope between the smallest and the largest tree).", "",
             "| watcher | " + " | ".join(f"{fmt.size(s)} dirs" for s in sizes)
             + " | bytes per directory |", "|---|" + "---|" * (len(sizes) + 1)]
    for key in _watcher_names(results, "outside"):
        resident = [value_at(results["trees"][s], "outside", key, "resident_bytes") for s in sizes]
        slope = "–"
        if len(sizes) > 1 and resident[0] is not None and resident[-1] is not None:
            slope = f"{round((resident[-1] - resident[0]) / (int(sizes[-1]) - int(sizes[0]))):,}"
        lines.append(f"| {NAMES[key]} | " + " | ".join(fmt.mib(r) for r in resident)
                     + f" | {slope} |")
    lines += ["", "User memory of our watch, measured in-process around the start: malloc's "
              "count of the heap, the part of it a watch holds whatever the tree (its event and "
              "listing buffers), what each directory adds beyond that, and resident pages:", "",
              "| dirs | heap bytes per directory | held for any tree | added per directory "
              "| of which the name | resident bytes per directory |", "|---|---|---|---|---|---|"]
    for size in sizes:
        tree = results["trees"][size]
        heap = value_at(tree, "in_process", "heap_bytes_per_directory", "median")
        fixed = value_at(tree, "in_process", "heap_bytes_one_directory", "median")
        resident = value_at(tree, "in_process", "resident_bytes_per_directory", "median")
        if heap is not None:
            lines.append(f"| {fmt.size(size)} | {heap:.1f} | {fmt.count(fixed and round(fixed))} "
                         f"| {goals.marginal_heap_bytes(tree):.1f} | {tree['name_bytes']:.1f} "
                         f"| {resident:.1f} |")
    lines += ["", "Every watcher also costs the kernel the same memory per inotify watch; that "
              "is not counted here.", ""]
    return lines


def _storm(results):
    lines = ["## Change storm", "",
             "Appends spread over the tree as fast as one thread writes them, while the "
             "watcher's wait loops; then, once it has settled, one more append in the deepest "
             "directory, which must wake it. CPU is the watcher process's own, every thread.", "",
             "| dirs | watcher | writes | waits returned | CPU per change | against the floor "
             "| last change woke it |", "|---|---|---|---|---|---|---|"]
    for size in _sizes(results):
        tree = results["trees"][size]
        floor = value_at(tree, "outside", "floor", "storm", "cpu_us_per_change")
        for key in _watcher_names(results, "outside"):
            entry = value_at(tree, "outside", key)
            if entry is None:
                continue
            if "error" in entry:
                lines.append(f"| {fmt.size(size)} | {NAMES[key]} | failed: {entry['error']} "
                             "| | | | |")
                continue
            storm = entry["storm"]
            lines.append(
                f"| {fmt.size(size)} | {NAMES[key]} | {fmt.count(storm['writes'])} | "
                f"{fmt.count(storm['returns'])} | {fmt.us(storm['cpu_us_per_change'])} | "
                f"{fmt.ratio(storm['cpu_us_per_change'], floor)} | "
                f"{'yes' if storm['last_change_woke'] else '**no**'} |")
    lines += ["", "inotifywait's count is lines printed, one per event, not waits.", ""]
    return lines


def _move_out(results):
    lines = ["## Moving directories out", "",
             "Leaf directories spread over the tree are moved out of it one by one, each once "
             "the wait has returned on the one before. The figure is the CPU time of the thread "
             "that waits, per move: the median of ten batches, fastest and slowest in brackets. "
             "Each batch's directories move back after it, unmeasured.", "",
             "| dirs | moves | CPU per move | against the smallest tree |", "|---|---|---|---|"]
    sizes = _sizes(results)
    smallest = value_at(results["trees"][sizes[0]], "move_out", "cpu_us_per_move", "median")
    for size in sizes:
        value = value_at(results["trees"][size], "move_out", "cpu_us_per_move")
        if not value:
            continue
        lines.append(f"| {fmt.size(size)} | {results['trees'][size]['move_out']['moves']:,} "
                     f"| {fmt.us(value['median'])} [{fmt.us(value['min'])}, "
                     f"{fmt.us(value['max'])}] | {fmt.ratio(value['median'], smallest)} |")
    return lines + [""]


def _goals(results):
    tree = _largest(results)
    lines = [f"## Goals, on the largest tree ({fmt.size(tree['directories'])} directories)", ""]
    for goal in goals.judge(results):
        verdict = "met" if goal.met else "**missed**"
        line = f"- {goal.what} ({goal.goal}): {verdict}, {goal.ours} against {goal.floor}."
        if goal.why:
            line += f" Why: {goal.why}."
        lines.append(line)
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
        f"- Runs: setup of ours and the floor {settings['core_rounds']} rounds each, the other "
        f"peers {settings['peer_rounds']}, each after a warm-up round; {settings['samples']} wake "
        f"samples per watcher ({settings['batched_samples']} for @parcel/watcher), "
        f"{settings['gap_ms']} ms apart; idle window {settings['idle_s']} s; storms of "
        f"{settings['storm_writes']:,} appends over {settings['storm_spread']:,} directories; "
        f"{settings.get('move_outs', 0):,} directories moved out of each tree.",
        "- Trees: fanout 10, three small files per directory, warm page cache.",
    ]
    lines += [f"- Skipped: {line}." for line in results["skipped"]]
    return lines + [""]


def render(results):
    lines = ["# windowsfscm against the floor and its peers", ""]
    lines += _machine(results)
    lines += ["## At a glance", "", headline(results), "![Setup time and wake latency against "
              "tree size](chart.svg)", ""]
    lines += _goals(results)
    lines += _setup(results)
    lines += _wake(results)
    lines += _idle_states(results)
    lines += _stop(results)
    lines += _idle(results)
    lines += _memory(results)
    lines += _storm(results)
    lines += _move_out(results)
    return "\n".join(lines).rstrip() + "\n"
