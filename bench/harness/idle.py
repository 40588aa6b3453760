"""The cost of a watcher that waits on a quiet tree: CPU ticks and context switches of the
whole process over a window, and which threads woke."""

import time

from harness import procfs


def run(pid, seconds):
    before = procfs.threads(pid)
    ticks_before = procfs.cpu_ticks(pid)
    time.sleep(seconds)
    after = procfs.threads(pid)
    ticks = procfs.cpu_ticks(pid) - ticks_before

    woken = {}
    voluntary = involuntary = 0
    for tid, thread in after.items():
        earlier = before.get(tid, {"voluntary": 0, "involuntary": 0})
        switches = thread["voluntary"] - earlier["voluntary"]
        voluntary += switches
        involuntary += thread["involuntary"] - earlier["involuntary"]
        if switches:
            woken[thread["name"]] = woken.get(thread["name"], 0) + switches
    return {
        "seconds": seconds,
        "ticks": ticks,
        "voluntary": voluntary,
        "involuntary": involuntary,
        "threads": len(after),
        "woken_threads": woken,
    }
