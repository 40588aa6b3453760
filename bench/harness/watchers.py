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

from harness import piped

READY_TIMEOUT_S = 600
ANSWER_TIMEOUT_S = 30


def read_line(stream, deadline, what):
    """A line from a pipe, or RuntimeError when none comes before the deadline."""
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            raise RuntimeError(f"no answer from {what}")
        byte = os.read(stream.fileno(), 1)
        if not byte:
            raise RuntimeError(f"{what} ended")
        line += byte
    return line.decode(errors="replace").rstrip("\n")


class CountingWatcher:
    """One of our subject programs: "ready", then "count N" for each "count" it is sent."""

    def __init__(self, name, command):
        self._name = name
        self._command = command
        self._process = None

    @property
    def pid(self):
        return self._process.pid

    def start(self):
        self._process = subprocess.Popen(self._command, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + READY_TIMEOUT_S
        while read_line(self._process.stdout, deadline, self._name) != "ready":
            pass

    def count(self):
        self._process.stdin.write(b"count\n")
        self._process.stdin.flush()
        deadline = time.monotonic() + ANSWER_TIMEOUT_S
        while True:
            line = read_line(self._process.stdout, deadline, self._name)
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
    """`inotifywait -m`: started as for the pipe measurements, then a line per event."""

    def __init__(self, command):
        self._command = command
        self._process = None
        self._lines = 0
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._count_lines, daemon=True)

    @property
    def pid(self):
        return self._process.pid

    def start(self):
        self._process, _ = piped.start(self._command)
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
        self._reader.join()  # it reads up to the end of the output
        piped.end(self._process)
