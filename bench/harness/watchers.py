"""Watchers run as processes of their own, for what is measured from outside them: resident
size, idle cost and change storms.

Two kinds: our own subject programs, which print "ready" and answer "count" with the number of
times their wait returned, and `inotifywait -m`, which announces itself on standard error and
prints a line per event, counted here."""

import os
import select
import subprocess
import threading
import time

READY_TIMEOUT_S = 600


class WatcherFailed(RuntimeError):
    pass


def _read_line(stream, deadline, what):
    """A line from a pipe, or WatcherFailed when none comes before the deadline."""
    line = b""
    fd = stream.fileno()
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise WatcherFailed(f"no answer from {what}")
        byte = os.read(fd, 1)
        if not byte:
            raise WatcherFailed(f"{what} ended")
        line += byte
    return line.decode(errors="replace").rstrip("\n")


class CountingWatcher:
    """One of our subject programs: "ready", then "count N" for each "count" it is sent."""

    def __init__(self, name, command, env=None):
        self.name = name
        self._command = command
        self._env = env
        self._process = None
        self.setup_s = None

    @property
    def pid(self):
        return self._process.pid

    def start(self):
        begun = time.monotonic()
        self._process = subprocess.Popen(
            self._command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, env=self._env)
        deadline = begun + READY_TIMEOUT_S
        while _read_line(self._process.stdout, deadline, self.name) != "ready":
            pass
        self.setup_s = time.monotonic() - begun

    def count(self):
        self._process.stdin.write(b"count\n")
        self._process.stdin.flush()
        deadline = time.monotonic() + 30
        while True:
            line = _read_line(self._process.stdout, deadline, self.name)
            if line.startswith("count "):
                return int(line.split()[1])

    def stop(self):
        if self._process is None:
            return
        self._process.stdin.close()
        try:
            self._process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._process.stdout.close()


class LineWatcher:
    """`inotifywait -m`: ready at "Watches established.", then a line per event."""

    READY = "Watches established."

    def __init__(self, name, command):
        self.name = name
        self._command = command
        self._process = None
        self._lines = 0
        self._lock = threading.Lock()
        self._reader = None
        self.setup_s = None

    @property
    def pid(self):
        return self._process.pid

    def start(self):
        begun = time.monotonic()
        self._process = subprocess.Popen(
            self._command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        deadline = begun + READY_TIMEOUT_S
        while self.READY not in _read_line(self._process.stderr, deadline, self.name):
            pass
        self.setup_s = time.monotonic() - begun
        self._reader = threading.Thread(target=self._count_lines, daemon=True)
        self._reader.start()

    def _count_lines(self):
        for _ in self._process.stdout:
            with self._lock:
                self._lines += 1

    def count(self):
        with self._lock:
            return self._lines

    def stop(self):
        if self._process is None:
            return
        self._process.terminate()
        self._process.wait()
        if self._reader is not None:
            self._reader.join()
        self._process.stdout.close()
        self._process.stderr.close()
