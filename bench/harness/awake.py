"""Runs a measurement with every CPU kept out of idle: a spinning process pinned to each at the
lowest priority (SCHED_IDLE), which any woken thread preempts at once."""

import os
import subprocess
import sys
import time
from contextlib import contextmanager

SPINNERS_START_S = 0.2


@contextmanager
def cpus_kept_awake():
    spinners = [subprocess.Popen(["taskset", "-c", str(cpu), "chrt", "--idle", "0",
                                  sys.executable, "-c", "while True: pass"])
                for cpu in sorted(os.sched_getaffinity(0))]
    try:
        time.sleep(SPINNERS_START_S)
        yield
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()
