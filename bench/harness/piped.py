"""A watcher that runs as a command and reports through a pipe, as `inotifywait -m` does. Its
setup runs from just before the command is started to its "Watches established." line on
standard error; a wake from just before a byte is appended to a file in the probe directory to
the first output that follows. The pipe and the second process cost something of their own, so
the floor runs through the same pipe (`watch_serve floor ROOT --lines`) to tell that part
apart."""

import gc
import os
import select
import subprocess
import time

from harness import stats

READY = b"Watches established."
READY_TIMEOUT_S = 600
NO_ANSWER_MS = 5000


def start(command):
    """The command's process, once it has said it watches, and the milliseconds that took."""
    begun = time.perf_counter()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    said = b""
    while READY not in said:
        left = begun + READY_TIMEOUT_S - time.perf_counter()
        ready = select.select([process.stderr], [], [], max(0, left))[0]
        chunk = os.read(process.stderr.fileno(), 4096) if ready else b""
        if not chunk:
            end(process)
            raise RuntimeError(f"{command[0]} never said it watched: {said.decode()[-300:]}")
        said += chunk
    return process, (time.perf_counter() - begun) * 1000


def end(process):
    process.terminate()
    process.wait()
    process.stdout.close()
    process.stderr.close()


def _wakes(process, probe, samples, gap_ms):
    """Wake samples in microseconds, and how many writes got no answer."""
    output = process.stdout.fileno()
    os.set_blocking(output, False)
    answered = select.poll()
    answered.register(output, select.POLLIN)
    path = os.path.join(probe, "latency-probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    wakes, unanswered = [], 0
    gc.disable()  # a collection inside a sample would be counted as the watcher's
    try:
        for i in range(samples + 1):
            time.sleep(gap_ms / 1000)
            try:
                while os.read(output, 4096):
                    pass
            except BlockingIOError:
                pass
            written = time.perf_counter_ns()
            os.write(fd, b"x")
            if not answered.poll(NO_ANSWER_MS):
                unanswered += 1
            elif i > 0:  # the first write follows the file's creation; it only settles
                wakes.append((time.perf_counter_ns() - written) / 1000)
    finally:
        gc.enable()
        os.close(fd)
        os.unlink(path)
    return wakes, unanswered


def measure(command, probe, rounds, samples, gap_ms):
    """Setup rounds after a warm-up round, then wake samples while the last round watches."""
    setups = []
    for round_ in range(rounds + 1):
        process, setup_ms = start(command)
        try:
            if round_ == rounds:
                wakes, unanswered = _wakes(process, probe, samples, gap_ms)
        finally:
            end(process)
        if round_ > 0:
            setups.append(setup_ms)
    return {"setup_ms": stats.rounds(setups), "wake_us": stats.latency(wakes),
            "unanswered": unanswered}


def setup_once(command):
    """One setup with no warm-up, in milliseconds, for a start after the caches were dropped."""
    process, setup_ms = start(command)
    end(process)
    return [setup_ms]
