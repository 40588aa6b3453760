"""What the numbers were measured on: processor, memory, kernel, inotify limits, versions of
the peers, and how busy the machine was."""

import json
import os
import platform
import re
import subprocess
import time

from harness.peers import NODE_FOLDER
from harness.trees import BASE

PARCEL_PACKAGE = os.path.join(NODE_FOLDER, "node_modules", "@parcel", "watcher", "package.json")


def _first_line(command):
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=30, check=False)
    except OSError:
        return None
    text = (done.stdout + done.stderr).strip()
    return text.splitlines()[0] if text else None


def _package_version(path):
    with open(path, encoding="utf-8") as package:
        return json.load(package)["version"]


def _cpu():
    """The processor's model, and whether it runs under a hypervisor."""
    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
        text = cpuinfo.read()
    model = re.search(r"^model name\s*:\s*(.*)$", text, re.MULTILINE)
    virtual = re.search(r"^flags\s*:.*\bhypervisor\b", text, re.MULTILINE) is not None
    return (model.group(1) if model else platform.machine()), virtual


def _inotify_limits():
    limits = {}
    for name in ("max_user_watches", "max_user_instances", "max_queued_events"):
        with open(f"/proc/sys/fs/inotify/{name}", encoding="ascii") as limit:
            limits[name] = int(limit.read())
    return limits


def _busy_seconds():
    """CPU seconds the whole machine has spent busy since it booted."""
    with open("/proc/stat", encoding="ascii") as stat:
        fields = [int(field) for field in stat.readline().split()[1:]]
    # user, nice, system, idle, iowait, irq, softirq, steal; guest time is within user.
    busy = fields[0] + fields[1] + fields[2] + fields[5] + fields[6] + fields[7]
    return busy / os.sysconf("SC_CLK_TCK")


def _own_seconds():
    """CPU seconds of this harness and every program it ran and waited for."""
    times = os.times()
    return times.user + times.system + times.children_user + times.children_system


class OtherWork:
    """How much of the CPUs other processes took while the benchmarks ran: the noise."""

    def __init__(self):
        self._started = (time.monotonic(), _busy_seconds(), _own_seconds())

    def share(self):
        wall, busy, own = self._started
        elapsed = time.monotonic() - wall
        others = (_busy_seconds() - busy) - (_own_seconds() - own)
        return max(0.0, others / (elapsed * (os.cpu_count() or 1)))


def describe(peers):
    os.makedirs(BASE, exist_ok=True)
    versions = {"java": _first_line([peers.programs.java, "-version"])}
    if peers.inotifywait:
        versions["inotifywait"] = _first_line([peers.inotifywait, "--help"])
    if peers.node:
        versions["node"] = _first_line([peers.node, "--version"])
        versions["@parcel/watcher"] = _package_version(PARCEL_PACKAGE)
    model, virtual = _cpu()
    return {
        "cpu": model,
        "cpus": os.cpu_count(),
        "virtual_machine": virtual,
        "memory_gib": round(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") / 2**30, 1),
        "kernel": platform.release(),
        "inotify": _inotify_limits(),
        "tree_filesystem": _first_line(["stat", "--file-system", "--format=%T", BASE]),
        "versions": versions,
    }
