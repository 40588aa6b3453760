"""Runs a measurement with every CPU kept out of idle by keep_cpus_awake, whose
lowest-priority spinning threads any woken thread preempts at once."""

import subprocess
import time
from contextlib import contextmanager

SPINNERS_START_S = 0.2


@contextmanager
def cpus_kept_awake(programs):
    spinners = subprocess.Popen([programs.keep_cpus_awake], stdin=subprocess.PIPE)
    try:
        time.sleep(SPINNERS_START_S)
        yield
    finally:
        spinners.stdin.close()
        spinners.wait()
