"""User-space instructions of a start, counted by callgrind: unlike times, the count does not
depend on what else the machine is doing, so it shows our own work per directory beside the
floor's even on a busy machine. Both make the same system calls; the kernel's part is not
counted."""

import re
import shutil
import subprocess

COLLECTED = re.compile(r"Collected\s*:\s*(\d+)")


def _count(watch_serve, subject, directory):
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", watch_serve, subject,
         directory], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE, text=True, timeout=1800, check=False)
    found = COLLECTED.search(done.stderr)
    if done.returncode != 0 or not found:
        raise RuntimeError(f"callgrind failed on {subject}: {done.stderr.strip()[-300:]}")
    return int(found.group(1))


def per_directory(programs, tree):
    """Instructions per directory of watching the tree, less those of watching one directory
    (starting and ending the process), for the floor and ours; None without valgrind."""
    if not shutil.which("valgrind"):
        return None
    result = {}
    for subject in ("floor", "ours"):
        whole = _count(programs.watch_serve, subject, tree.root)
        one = _count(programs.watch_serve, subject, tree.deepest)
        result[subject] = (whole - one) / max(1, tree.size - 1)
    return result
