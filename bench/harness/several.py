"""Several watches of ours open at once in one JVM, as a program opens them through the Java
API, each on a tree of its own of the same size: the time each open takes, the first against
the further ones (each loads a further copy of the library), with the copies already in the
cache and with an empty one; an open on a copy whose watch closed; the closes; and what each
watch adds to the process's memory. A JVM of its own per round (JavaBench several)."""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager, nullcontext

from harness import machine, mapped, procfs, stats, trees
from harness.watchers import read_line

LIBRARY_FILE = "libwindowsfscm.so"
WATCH_THREAD = "windowsfscm-wat"  # "windowsfscm-watch", as the kernel cuts thread names
# Filled by a first JVM and kept: the common case, a user's cache that holds the copies already.
KEPT_CACHE = os.path.join(trees.BASE, "library-cache")
# The memory rounds' JVMs: a heap of a fixed size whose every page is touched at the start, so
# that the pages the garbage of an open touches are not counted as the watch's; the heap's live
# objects are read on their own.
FIXED_HEAP = ["-Xms64m", "-Xmx64m", "-XX:+AlwaysPreTouch"]
ANSWER_TIMEOUT_S = 120
# A watch's thread blocks in its wait soon after the open returns.
BLOCKED_TRIES = 100
BLOCKED_PAUSE_S = 0.01


def _say(text):
    print(f"  {text}", file=sys.stderr, flush=True)


class _Jvm:
    """One JVM running JavaBench several: a request per line, a line of JSON per answer."""

    def __init__(self, command):
        self._errors = tempfile.TemporaryFile()
        self._process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=self._errors)
        self.pid = self._process.pid
        if self._line() != "ready":
            raise RuntimeError("JavaBench several did not say it was ready")

    def _line(self):
        try:
            return read_line(self._process.stdout, time.monotonic() + ANSWER_TIMEOUT_S,
                             "JavaBench several")
        except RuntimeError as failure:
            self._errors.seek(0)
            said = self._errors.read().decode(errors="replace").strip()[-300:]
            raise RuntimeError(f"{failure}: {said}") from failure

    def ask(self, request):
        self._process.stdin.write(request.encode() + b"\n")
        self._process.stdin.flush()
        return json.loads(self._line())

    def finish(self):
        """Ends the input; the JVM closes its watches and says how long each close took."""
        self._process.stdin.close()
        answer = json.loads(self._line())
        self._process.wait(timeout=ANSWER_TIMEOUT_S)
        return answer

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        if self._process.poll() is None:
            self._process.kill()
            self._process.wait()
        self._process.stdout.close()
        self._errors.close()


@contextmanager
def _empty_cache():
    # Private to the user, as the loader wants its folders.
    folder = tempfile.mkdtemp(prefix="empty-cache-", dir=trees.BASE)
    try:
        yield folder
    finally:
        shutil.rmtree(folder)


def _cache_for(kind):
    return nullcontext(KEPT_CACHE) if kind == "cached" else _empty_cache()


def _timed_round(peers, cache, roots):
    """The opens in order, then an open on the copy the last watch left, and every close."""
    with _Jvm(peers.several_watches_command(cache, roots)) as jvm:
        opens = [jvm.ask("open")["open_ms"] for _ in roots]
        again = jvm.ask("reopen")
        closes = [again["close_ms"], *jvm.finish()["close_ms"]]
    return opens, again["open_ms"], closes


def _summary(opens, reopens, closes):
    each = [stats.rounds(samples) for samples in opens]
    for samples, summary in zip(opens[1:], each[1:]):
        summary["ratio_to_first"] = stats.ratio_within_rounds(samples, opens[0])
    return {"open_ms": each, "reopen_ms": stats.rounds(reopens), "close_ms": stats.rounds(closes)}


def _timings(peers, roots, settings):
    """Rounds with the copies in the kept cache and rounds with an empty cache, taking turns."""
    watches = len(roots)
    rounds = {"cached": settings.several_rounds, "empty": settings.several_empty_rounds}
    samples = {kind: ([[] for _ in range(watches)], [], []) for kind in rounds}
    _say(f"{watches} watches in one JVM: a first JVM fills the cache")
    _timed_round(peers, KEPT_CACHE, roots)
    for turn in range(max(rounds.values())):
        _say(f"{watches} watches in one JVM, round {turn + 1} of {max(rounds.values())}")
        for kind, count in rounds.items():
            if turn >= count:
                continue
            with _cache_for(kind) as cache:
                opens, reopen, closes = _timed_round(peers, cache, roots)
            for column, value in zip(samples[kind][0], opens):
                column.append(value)
            samples[kind][1].append(reopen)
            samples[kind][2].extend(closes)
    return {kind: _summary(*samples[kind]) for kind in rounds}


def _blocked_stack_pointers(pid, watches):
    for _ in range(BLOCKED_TRIES):
        pointers = procfs.blocked_stack_pointers(pid, WATCH_THREAD)
        if len(pointers) == watches and None not in pointers:
            return pointers
        time.sleep(BLOCKED_PAUSE_S)
    raise RuntimeError(f"{watches} watch threads did not all block in their wait: {pointers}")


def _snapshot(pid, watches, java):
    """The process's memory with `watches` watches open, and what the JVM said of its own."""
    maps = mapped.mappings(pid)
    library = mapped.of_files_named(maps, LIBRARY_FILE)
    stacks = [mapped.holding(maps, pointer) for pointer in _blocked_stack_pointers(pid, watches)]
    kernel = procfs.inotify(pid)
    copies = len({mapping.path for mapping in library})
    if copies != watches or kernel["instances"] != watches or None in stacks:
        raise RuntimeError(f"with {watches} watches open the JVM maps {copies} copies of the "
                           f"library and holds {kernel['instances']} inotify instances")
    return {**procfs.resident_parts(pid),
            "library_size": sum(mapping.size for mapping in library),
            "library_rss": sum(mapping.rss for mapping in library),
            "library_pss": sum(mapping.pss for mapping in library),
            "stack_size": sum(stack.size for stack in stacks),
            "stack_rss": sum(stack.rss for stack in stacks),
            "threads": len(os.listdir(f"/proc/{pid}/task")),
            "inotify_instances": kernel["instances"],
            "inotify_watches": kernel["watches"],
            **java}


def _memory_round(peers, roots):
    """Snapshots with the class loaded and no watch open, then after each further watch."""
    with _Jvm(peers.several_watches_command(KEPT_CACHE, roots, FIXED_HEAP)) as jvm:
        steps = [_snapshot(jvm.pid, 0, jvm.ask("memory"))]
        for opened in range(1, len(roots) + 1):
            jvm.ask("open")
            steps.append(_snapshot(jvm.pid, opened, jvm.ask("memory")))
        jvm.finish()
    return steps


def _memory(peers, roots, settings):
    watches = len(roots)
    rounds = []
    for turn in range(settings.several_memory_rounds):
        _say(f"memory of 0 to {watches} watches, round {turn + 1} of "
             f"{settings.several_memory_rounds}")
        rounds.append(_memory_round(peers, roots))
    keys = list(rounds[0][0])

    def over_rounds(value):
        return {key: stats.rounds([value(steps, key) for steps in rounds]) for key in keys}

    return {
        "baseline": over_rounds(lambda steps, key: steps[0][key]),
        "all_open": over_rounds(lambda steps, key: steps[watches][key]),
        # What the first watch adds to the JVM with the class loaded, and what the second adds
        # to the first. Then what each further one adds, from the second to the last: the
        # median in each JVM, which a step that the JIT's compilers happened to grow does not
        # move.
        "first": over_rounds(lambda steps, key: steps[1][key] - steps[0][key]),
        "second": over_rounds(lambda steps, key: steps[2][key] - steps[1][key]),
        "further": over_rounds(lambda steps, key: statistics.median(
            later[key] - earlier[key] for earlier, later in zip(steps[1:], steps[2:]))),
    }


def measure(peers, settings):
    """Every figure, with how busy the machine was meanwhile."""
    if settings.watches_at_once < 2:
        raise ValueError("several watches means two at least")
    size = settings.several_directories
    roots = [trees.ensure_tree(size, f"tree-{size}-watch-{number}").root
             for number in range(1, settings.watches_at_once + 1)]
    other_work = machine.OtherWork()
    result = {"directories": size, "watches": len(roots), "load_before": os.getloadavg()}
    result.update(_timings(peers, roots, settings))
    try:
        result["memory"] = _memory(peers, roots, settings)
    except OSError as failure:  # /proc/PID/task/TID/syscall takes the right to trace the JVM
        _say(f"memory failed: {failure}")
        result["memory"] = {"error": str(failure)}
    result["load_after"] = os.getloadavg()
    result["other_work"] = other_work.share()
    return result
