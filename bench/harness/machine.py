"""What the numbers were measured on: processor, memory, kernel, inotify limits, versions of
the peers, and how busy the machine was."""

import json
import os
import platform
import subprocess

from harness.peers import NODE_FOLDER

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


def _cpu_model():
    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.machine()


def _virtualised():
    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
        return " hypervisor " in cpuinfo.read().replace("\n", " ")


def _memory_gib():
    with open("/proc/meminfo", encoding="ascii") as meminfo:
        kilobytes = int(meminfo.readline().split()[1])
    return kilobytes / (1024 * 1024)


def _inotify_limits():
    limits = {}
    for name in ("max_user_watches", "max_user_instances", "max_queued_events"):
        with open(f"/proc/sys/fs/inotify/{name}", encoding="ascii") as limit:
            limits[name] = int(limit.read())
    return limits


def load():
    """The load averages over 1, 5 and 15 minutes."""
    return list(os.getloadavg())


def describe(peers):
    versions = {"java": _first_line([peers.programs.java, "-version"])}
    if peers.inotifywait:
        versions["inotifywait"] = _first_line([peers.inotifywait, "--help"])
    if peers.node:
        versions["node"] = _first_line([peers.node, "--version"])
        versions["@parcel/watcher"] = _package_version(PARCEL_PACKAGE)
    return {
        "cpu": _cpu_model(),
        "cpus": os.cpu_count(),
        "virtual_machine": _virtualised(),
        "memory_gib": round(_memory_gib(), 1),
        "kernel": platform.release(),
        "inotify": _inotify_limits(),
        "versions": versions,
    }
