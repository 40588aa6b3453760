"""One tree, every peer: cold starts, the in-process, pipe, Node and Java measurements, then the
processes measured from outside. Each returns summaries; a peer that fails is reported, not
fatal."""

import json
import subprocess
import sys
import time
from functools import partial

from harness import cold, idle, instructions, piped, stats, storm
from harness.awake import cpus_kept_awake
from harness.procfs import resident_bytes

# Long enough for the slowest peer to watch 100,000 directories several times over.
COMMAND_LIMIT_S = 1800


def _json_of(command):
    done = subprocess.run(command, capture_output=True, timeout=COMMAND_LIMIT_S, check=False)
    lines = done.stdout.decode(errors="replace").strip().splitlines()
    if done.returncode != 0 or not lines:
        raise RuntimeError(f"{command[0]} failed ({done.returncode}): "
                           + done.stderr.decode(errors="replace").strip()[-300:])
    return json.loads(lines[-1])


def _say(text):
    print(f"  {text}", file=sys.stderr, flush=True)


def in_process(programs, tree, settings):
    """Ours against the floor in one process: setup, stop, memory and wake latency, then the
    wake latency again on one CPU and with the CPUs kept out of idle."""
    command = [programs.core_bench, "--root", tree.root, "--probe", tree.deepest,
               "--directories", str(tree.size), "--rounds", str(settings.core_rounds),
               "--samples", str(settings.samples)]
    _say("floor and ours in one process")
    raw = _json_of([*command, "--floor-threads", ",".join(map(str, settings.floor_threads))])
    _say("wake latency on one CPU, and with the CPUs kept awake")
    one_cpu = _json_of(["taskset", "-c", "0", *command, "--wake-only"])
    with cpus_kept_awake():
        awake = _json_of([*command, "--wake-only"])
    result = {key: stats.rounds(raw[key]) for key in raw if not key.startswith("wake_")}
    # Each round runs every walk back to back.
    for key in ["setup_ours_ms", *(f"setup_floor_{n}_threads_ms" for n in settings.floor_threads)]:
        result[key]["ratio_to_floor"] = stats.ratio_within_rounds(raw[key], raw["setup_floor_ms"])
    for key in ("wake_floor_us", "wake_ours_us"):
        result[key] = stats.latency(raw[key])
        result[key + "_one_cpu"] = stats.latency(one_cpu[key])
        result[key + "_awake"] = stats.latency(awake[key])
    return result


def _setups_of(command):
    return _json_of(command)["setup_ms"]


def _one_start_each(programs, peers, tree, settings):
    """What makes one cold start of each watcher and returns its time: ours and the floors,
    then the other peers."""
    once = [programs.core_bench, "--root", tree.root, "--start-once"]
    core = {"floor": partial(_setups_of, [*once, "floor"]),
            "ours": partial(_setups_of, [*once, "ours"])}
    for threads in settings.floor_threads:
        core[f"floor_{threads}_threads"] = partial(_setups_of,
                                                   [*once, "floor", "--threads", str(threads)])
    others = {"floor_process": partial(piped.setup_once, _floor_lines(programs, tree))}
    if peers.inotifywait:
        others["inotifywait"] = partial(piped.setup_once, peers.inotifywait_command(tree.root))
    if peers.node:
        others["parcel"] = partial(_setups_of, peers.node_command("cold", tree.root))
    for key, subject in (("java_ours", "ours"), ("watchservice", "watchservice")):
        others[key] = partial(_setups_of, peers.java_command("cold", subject, tree.root))
    return core, others


def cold_starts(programs, peers, tree, settings):
    """Each watcher's start right after the caches were dropped, a program run per start. In
    each round the watchers take turns in an order that rotates from round to round; the other
    peers take part in the first rounds only. A start that fails is tried once more: every
    process of the user shares fs.inotify.max_user_watches, which two large trees can fill."""
    core, others = _one_start_each(programs, peers, tree, settings)
    samples = {key: [] for key in [*core, *others]}
    failed = {}
    for turn in range(settings.cold_rounds):
        _say(f"cold starts, round {turn + 1} of {settings.cold_rounds}")
        starts = {**core, **others} if turn < settings.peer_cold_rounds else core
        keys = [key for key in starts if key not in failed]
        for key in keys[turn % len(keys):] + keys[:turn % len(keys)]:
            for attempt in range(2):
                cold.drop_caches()
                try:
                    samples[key] += starts[key]()
                    break
                except (RuntimeError, ValueError, KeyError, subprocess.TimeoutExpired) as error:
                    _say(f"{key} failed: {error}")
                    if attempt == 1:
                        failed[key] = str(error)
    results = {key: {"error": failed[key]} if key in failed else stats.rounds(values)
               for key, values in samples.items() if values or key in failed}
    for key in core:
        if key != "floor" and "floor" not in failed and key not in failed:
            results[key]["ratio_to_floor"] = stats.ratio_within_rounds(samples[key],
                                                                       samples["floor"])
    return results


def move_out(programs, tree, settings):
    """Leaf directories moved out of the watched tree one by one: the CPU time of our waiting
    thread per move, a sample per batch."""
    _say(f"{settings.move_outs} directories moved out one by one")
    raw = _json_of([programs.core_bench, "--root", tree.root,
                    "--move-out", str(settings.move_outs)])
    return {"cpu_us_per_move": stats.rounds(raw["move_out_cpu_us"]), "moves": int(raw["moves"])}


def _floor_lines(programs, tree):
    """The floor as a command that prints a line per wake, as inotifywait does."""
    return [programs.watch_serve, "floor", tree.root, "--lines"]


def through_pipe(programs, peers, tree, settings):
    """inotifywait and, to tell what the pipe costs, the floor through the same pipe."""
    commands = {"floor": _floor_lines(programs, tree)}
    if peers.inotifywait:
        commands["inotifywait"] = peers.inotifywait_command(tree.root)
    results = {}
    for key, command in commands.items():
        _say(f"{key} through a pipe")
        results[key] = piped.measure(command, tree.deepest, settings.peer_rounds,
                                     settings.samples, settings.gap_ms)
    return results


def _latency_program(command):
    raw = _json_of(command)
    return {"setup_ms": stats.rounds(raw["setup_ms"]), "wake_us": stats.latency(raw["wake_us"])}


def parcel(peers, tree, settings):
    _say("@parcel/watcher")
    return _latency_program(peers.node_command(
        "latency", tree.root, tree.deepest, str(settings.peer_rounds),
        str(settings.batched_samples), str(settings.gap_ms)))


def java(programs, peers, tree, settings):
    """Both Java peers, then their wake latency again with the whole JVM on one CPU, and with
    the CPUs kept out of idle."""
    results = {}
    for key, subject in (("java_ours", "ours"), ("watchservice", "watchservice")):
        _say(f"Java: {subject}")
        results[key] = _latency_program(peers.java_command(
            "latency", subject, tree.root, tree.deepest, str(settings.peer_rounds),
            str(settings.samples)))
        wakes_only = peers.java_command("latency", subject, tree.root, tree.deepest, "1",
                                        str(settings.samples))
        one_cpu = _latency_program(["taskset", "-c", "0", *wakes_only])
        with cpus_kept_awake():
            awake = _latency_program(wakes_only)
        results[key]["wake_us_one_cpu"] = one_cpu["wake_us"]
        results[key]["wake_us_awake"] = awake["wake_us"]
    return results


def from_outside(peers, tree, settings, idle_seconds):
    """Each peer as a process of its own: resident size after setup, idle cost when asked
    for, and a change storm."""
    results = {}
    for key, watcher in peers.served(tree).items():
        _say(f"{key} as a process: memory, {'idle, ' if idle_seconds else ''}storm")
        with storm.StormFiles(tree, settings.storm_spread) as files:
            try:
                watcher.start()
                result = {"resident_bytes": resident_bytes(watcher.pid)}
                if idle_seconds:
                    time.sleep(settings.idle_settle_s)
                    result["idle"] = idle.run(watcher.pid, idle_seconds)
                result["storm"] = storm.run(watcher, files, settings.storm_writes)
                results[key] = result
            except (RuntimeError, OSError) as failure:
                results[key] = {"error": str(failure)}
            finally:
                watcher.stop()
    return results


def one_tree(programs, peers, tree, settings, with_idle, with_cold):
    """Everything measured on one tree; a failing part is kept as its error. The cold starts
    come first: every part after them warms the caches before it measures."""
    parts = {}
    if with_cold:
        parts["cold"] = lambda: cold_starts(programs, peers, tree, settings)
    parts.update({
        "in_process": lambda: in_process(programs, tree, settings),
        "move_out": lambda: move_out(programs, tree, settings),
        "pipe": lambda: through_pipe(programs, peers, tree, settings),
        "java": lambda: java(programs, peers, tree, settings),
        "outside": lambda: from_outside(peers, tree, settings,
                                        settings.idle_s if with_idle else 0),
    })
    if peers.node:
        parts["parcel"] = lambda: parcel(peers, tree, settings)
    parts["instructions"] = lambda: instructions.per_directory(programs, tree)
    results = {"directories": tree.size, "name_bytes": tree.average_name_bytes()}
    for name, part in parts.items():
        try:
            results[name] = part()
        except (RuntimeError, OSError, ValueError, subprocess.TimeoutExpired) as failure:
            _say(f"{name} failed: {failure}")
            results[name] = {"error": str(failure)}
    return results
