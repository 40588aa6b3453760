"""A change storm: many appends across the tree while the watcher's wait loops, then one more
change once it has settled, which must still wake it."""

import os
import time

from harness import procfs

SETTLED_AFTER_S = 1.0  # longer than the longest batching delay of a peer (0.5 s)
SETTLE_LIMIT_S = 120
LAST_CHANGE_LIMIT_S = 10


class StormFiles:
    """file0 of `spread` directories evenly across the tree, opened for appending before the
    watcher starts so that opening them is not part of the storm, and put back as they were
    once it has ended."""

    def __init__(self, tree, spread):
        step = max(1, tree.size // spread)
        self.paths = [os.path.join(d, "file0") for d in tree.directories[::step][:spread]]
        self.last = os.path.join(tree.deepest, "file1")
        self._fds = []

    def __enter__(self):
        self._fds = [os.open(p, os.O_WRONLY | os.O_APPEND) for p in self.paths + [self.last]]
        self._sizes = [os.fstat(fd).st_size for fd in self._fds]
        return self

    def __exit__(self, *exception):
        for fd, size in zip(self._fds, self._sizes):
            os.ftruncate(fd, size)
            os.close(fd)

    def write(self, writes):
        spread = len(self._fds) - 1
        for i in range(writes):
            os.write(self._fds[i % spread], b"x")

    def write_last(self):
        os.write(self._fds[-1], b"x")


def _settle(watcher):
    """Waits until the watcher's count has not moved for a while; returns it."""
    deadline = time.monotonic() + SETTLE_LIMIT_S
    count = watcher.count()
    still_since = time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = watcher.count()
        if now != count:
            count, still_since = now, time.monotonic()
        elif time.monotonic() - still_since >= SETTLED_AFTER_S:
            break
    return count


def run(watcher, files, writes):
    before = _settle(watcher)
    cpu_before = procfs.on_cpu_ns(watcher.pid)
    begun = time.monotonic()
    files.write(writes)
    written_s = time.monotonic() - begun
    after = _settle(watcher)
    cpu_ns = procfs.on_cpu_ns(watcher.pid) - cpu_before

    files.write_last()
    deadline = time.monotonic() + LAST_CHANGE_LIMIT_S
    woke = False
    while not woke and time.monotonic() < deadline:
        time.sleep(0.02)
        woke = watcher.count() > after
    return {
        "writes": writes,
        "written_s": written_s,
        "returns": after - before,
        "cpu_us_per_change": cpu_ns / 1000 / writes,
        "last_change_woke": woke,
    }
