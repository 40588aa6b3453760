"""The report's section on several watches open at once in one JVM: the time each open takes,
the first against the further ones, and what each watch adds to the process's memory."""

from harness import fmt
from harness.lookup import value_at
from harness.markdown import table


def _ordinal(number):
    return {1: "1st", 2: "2nd", 3: "3rd"}.get(number, f"{number}th")


def _spread_ms(value):
    if not value:
        return "–"
    return f"{fmt.ms(value['median'])} [{fmt.ms(value['min'])}, {fmt.ms(value['max'])}]"


def _ratio(value):
    return f"{value['ratio_to_first']:.2f}x" if value and "ratio_to_first" in value else "1.00x"


def _open_rows(several):
    last = several["watches"]
    rows = []
    described = {1: "the library as the jar's loader finds it",
                 2: "copy 2 of the library and of the class", last: f"copy {last}"}
    for number, what in described.items():
        cells = []
        for kind in ("cached", "empty"):
            value = value_at(several, kind, "open_ms")[number - 1]
            cells += [_spread_ms(value), _ratio(value)]
        rows.append([f"{_ordinal(number)} watch: {what}", *cells])
    rows.append([f"another in place of the {_ordinal(last)}, closed: the copy it left",
                 _spread_ms(value_at(several, "cached", "reopen_ms")), "",
                 _spread_ms(value_at(several, "empty", "reopen_ms")), ""])
    return rows


def _bytes(value):
    if value is None:
        return "–"
    cell = fmt.kib(value["median"])
    if value["max"] - value["min"] >= 1024:
        cell += f" [{fmt.kib(value['min'])}, {fmt.kib(value['max'])}]"
    return cell


def _count(value):
    return "–" if value is None else f"{value['median']:+,.0f}"


def _rest(growth):
    """The resident growth less the library's mappings, the stack and the class metadata."""
    parts = [value_at(growth, key, "median")
             for key in ("rss", "library_rss", "stack_rss", "metaspace_used")]
    return None if None in parts else parts[0] - sum(parts[1:])


# (what, how its cell is written from the growths of a memory snapshot's values)
MEMORY_ROWS = [
    ("Process resident size (VmRSS)", lambda growth: _bytes(growth.get("rss"))),
    ("of which anonymous (RssAnon)", lambda growth: _bytes(growth.get("anonymous"))),
    ("of which file-backed (RssFile)", lambda growth: _bytes(growth.get("file"))),
    ("The library's mappings: Size, mapped", lambda growth: _bytes(growth.get("library_size"))),
    ("The library's mappings: Rss", lambda growth: _bytes(growth.get("library_rss"))),
    ("The library's mappings: Pss", lambda growth: _bytes(growth.get("library_pss"))),
    ("The watch thread's stack: mapped", lambda growth: _bytes(growth.get("stack_size"))),
    ("The watch thread's stack: resident", lambda growth: _bytes(growth.get("stack_rss"))),
    ("Class metadata (Metaspace), used", lambda growth: _bytes(growth.get("metaspace_used"))),
    ("Class metadata (Metaspace), committed",
     lambda growth: _bytes(growth.get("metaspace_committed"))),
    ("Rest of the resident growth ¹", lambda growth: fmt.kib(_rest(growth))),
    ("Java heap, live after a full collection ²", lambda growth: _bytes(growth.get("heap_live"))),
    ("Threads", lambda growth: _count(growth.get("threads"))),
    ("inotify instances ³", lambda growth: _count(growth.get("inotify_instances"))),
    ("inotify watches ³", lambda growth: _count(growth.get("inotify_watches"))),
]


def _memory(several, library_heap):
    memory = several["memory"]
    if "error" in memory:
        return ["### Memory", "", f"Not measured: {memory['error']}.", ""]
    columns = ("first", "second", "further")
    rows = [[what, *(cell(memory[column]) for column in columns)] for what, cell in MEMORY_ROWS]
    last = several["watches"]
    rounds = value_at(memory, "first", "rss", "n")
    baseline = value_at(memory, "baseline", "rss", "median")
    all_open = value_at(memory, "all_open", "rss", "median")
    lines = ["### Memory", "",
             f"Read from /proc/PID/status and /proc/PID/smaps of a JVM with the class loaded and "
             f"no watch open, then after each watch, in {rounds} "
             f"JVM{'s' if rounds > 1 else ''} (median; fewest and most in brackets where they "
             "differ by 1 KiB or more). The 1st watch is against the JVM with no watch, the 2nd "
             f"against the 1st; in the last column, what each of the 2nd to the {_ordinal(last)} "
             "added, the median in each JVM (a step in which the JIT's compilers grew their "
             "memory does not move it). The JVM's resident size was "
             f"{fmt.mib(baseline)} with no watch and {fmt.mib(all_open)} with {last}.", "",
             *table(["", "1st watch", "2nd watch", f"each further watch, 2nd to "
                      f"{_ordinal(last)}"], rows),
             "¹ The resident growth less the library's mappings, the stack and the class "
             "metadata: the library's own heap for the watch"
             + (f" (measured in-process, {fmt.kib(library_heap)} for this tree, see Memory)"
                if library_heap else "")
             + ", and the JVM's own memory for a thread and for a class loader; for the 1st "
             "watch also the classes and libraries of the JDK that the loader uses (reading "
             "the jar, SHA-256).",
             "² These JVMs run with a heap of a fixed size whose every page is touched at the "
             "start (`-Xms64m -Xmx64m -XX:+AlwaysPreTouch`), so that the pages an open's "
             "garbage touches are not counted as the watch's; the objects a watch keeps live in "
             "those pages and are not in its resident growth.",
             "³ Kernel memory, in no figure above: each watch holds an inotify instance of its "
             "own, with an inotify watch per directory of its tree.", ""]
    return lines


def section(results):
    several = results.get("several_watches")
    if not several:
        return []
    title = ["## Several watches in one JVM", ""]
    if "skipped" in several or "error" in several:
        return title + [f"Not measured: {several.get('skipped') or several.get('error')}.", ""]
    last = several["watches"]
    settings = results["settings"]
    tree = results["trees"].get(str(several["directories"]), {})
    per_directory = value_at(tree, "in_process", "heap_bytes_per_directory", "median")
    library_heap = per_directory * several["directories"] if per_directory else None
    load_before = ", ".join(f"{x:.2f}" for x in several["load_before"])
    load_after = ", ".join(f"{x:.2f}" for x in several["load_after"])
    closes = value_at(several, "cached", "close_ms")
    return title + [
        f"A program opens {last} watches one after another through "
        "`WindowsFilesystemChangeMonitor.watch` and keeps them open, each on a tree of its own "
        f"of {fmt.size(several['directories'])} directories, made as the others are and in the "
        "page cache, as a program that watches several projects would. The 1st watch loads the "
        "library as the jar's loader finds it: its copy in the cache folder, checked against "
        "its SHA-256, or extracted there when the cache is empty. Each further watch open at "
        "the same time loads a further copy of the file, "
        "`<cache>/<SHA-256>/copy-N/libwindowsfscm.so`, checked or written the same way, with a "
        "copy of the class that holds the native methods, defined by a class loader of its "
        f"own. Then the {_ordinal(last)} is closed and another watch opened in its place, on "
        "the copy it left, and every watch is closed. Each round is a JVM of its own with no "
        f"flag but `-Dwindowsfscm.cache`: {settings['several_rounds']} with the copies already "
        "in the cache, which a first JVM filled (the common case), and "
        f"{settings['several_empty_rounds']} with an empty cache, taking turns. Times run from "
        "the call to `watch` to its return, as the program sees them: median, fastest and "
        "slowest in brackets; against the 1st, the median of the ratios within each JVM.", "",
        *table(["watch", "copies in the cache", "against the 1st", "empty cache",
                 "against the 1st"], _open_rows(several)),
        f"Closing a watch took {_spread_ms(closes)} ({closes['n']} closes, with the copies in "
        "the cache): the watch's thread closes its inotify instance before it ends, and the "
        "kernel's release of the instance's watches (see Stop and release) is most of that.",
        "",
        f"Load average (1, 5, 15 min) before: {load_before}; after: {load_after}. Other "
        f"processes took {several['other_work']:.0%} of the CPUs meanwhile.", "",
        *_memory(several, library_heap)]
