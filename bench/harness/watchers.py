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


class _WatcherProcess:
    """A watcher's process."""

    def __init__(self, name, command):
        self.name = name
        self._command = command
        self._process = None

    @property
    def pid(self):
        return self._process.pid

    def _launch(self, announces_on, is_ready, **popen_args):
        """Starts the command and reads the stream named `announces_on` up to the line that
        `is_ready` accepts."""
        self._process = subprocess.Popen(self._command, **popen_args)
        deadline = time.monotonic() + READY_TIMEOUT_S
        while not is_ready(_read_line(getattr(self._process, announces_on), deadline, self.name)):
            pass


class CountingWatcher(_WatcherProcess):
    """One of our subject programs: "ready", then "count N" for each "count" it is sent."""

    def start(self):
        self._launch("stdout", lambda line: line == "ready", stdin=subprocess.PIPE,
                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

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


class LineWatcher(_WatcherProcess):
    """`inotifywait -m`: ready at "Watches established.", then a line per event."""

    READY = "Watches established."

    def __init__(self, name, command):
        super().__init__(name, command)
        self._lines = 0
        self._lock = threading.Lock()
        self._reader = None

    def start(self):
        self._launch("stderr", lambda line: self.READY in line, stdin=subprocess.DEVNULL,
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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
